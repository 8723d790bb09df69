#pragma once
// AddrBook: the phone's contacts (at most 49) and their file "users201.txt",
// one contact a line: nick, type letter, number text and memo, TAB-separated,
// ended by CR LF. Row 0 of the model is the header; rows 1..49 hold contacts.
// The window's list only shows this model.
//
// Everything but typeOf belongs to the user-interface thread; typeOf may be
// called from any thread (the incoming-call listener asks it about callers).

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace orvalis::store {

inline constexpr int bookRows = 50;
inline constexpr int bookColumns = 3;  // nick, type letter, number text

// Contact types as held in phonesType; letters "N", "V", "B" in the file.
inline constexpr std::int32_t contactNormal = 0;
inline constexpr std::int32_t contactVoiceCall = 1;  // ended as soon as it rings
inline constexpr std::int32_t contactBlackList = 2;  // refused by the listener

class AddrBook {
 public:
  // Loads the book from path (creating an empty file when it is missing) and
  // selects row 1. showWrongNumber tells the user that addNumber was given
  // no valid number.
  AddrBook(std::string path, std::function<void()> showWrongNumber);

  // Called on the user-interface thread after loads, adds, deletes and edits.
  void setOnChanged(std::function<void()> f) { onChanged_ = std::move(f); }
  // Called after every selectRow, also when the row stays the same.
  void setOnCurrentRowChanged(std::function<void()> f) { onCurrentRow_ = std::move(f); }

  // Replaces the model with the file's contents. False when the file exists
  // but could not be read, or is no regular file (a FIFO is never waited
  // on); saving is then refused so the file is not lost.
  bool loadFile();
  // Writes the contacts, then the lines the load could not show; false when
  // the file was not written (it then stays as it was).
  bool saveFile();

  // Selects the row of a number already in the book, or adds the number as a
  // new contact, saves and reloads. Does nothing when the book is full.
  void addNumber(std::string_view text);
  // Empties the current row, saves, reloads and selects the same row index.
  void deleteCurrent();
  // The entry editor's accept: sets nick, type and memo of the current
  // contact and saves without reloading. False when the current row holds
  // no contact or the file was not written.
  bool updateCurrent(std::string_view nick, std::int32_t type, std::string_view memo);

  // The first data row whose number text equals text byte for byte, or 0.
  int findNumber(std::string_view text) const;
  // The first data row with an empty nick, or 0.
  int findFreeRow() const;
  // The type of the first contact with this number; 0 when there is none.
  std::int32_t typeOf(std::int32_t number) const;

  void selectRow(int row);
  int currentRow() const { return current_; }

  // Cells outside the model read as empty and are not written.
  const std::string& cell(int col, int row) const;
  // Cells are single words, so bytes up to 0x20 are dropped; setting the type
  // letter or the number text updates phonesType or phonesId.
  void setCell(int col, int row, std::string_view text);
  const std::string& memoBook(int row) const;
  std::int32_t phonesId(int row) const;
  std::int32_t phonesType(int row) const;

 private:
  using Row = std::array<std::string, bookColumns>;
  bool storeCell(int col, int row, std::string_view text);
  void changed() const;

  const std::string path_;
  const std::function<void()> showWrongNumber_;
  std::function<void()> onChanged_;
  std::function<void()> onCurrentRow_;

  std::array<Row, bookRows> cells_;
  std::array<std::string, bookRows> memo_;
  mutable std::mutex idsMutex_;  // typeOf reads these from the listener thread
  std::array<std::int32_t, bookRows> ids_{};
  std::array<std::int32_t, bookRows> types_{};
  std::vector<std::string> kept_;  // file lines that are not contacts, as read
  bool readable_ = true;
  int current_ = 0;
};

}  // namespace orvalis::store
