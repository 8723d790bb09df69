// The address book: loading, saving, adding, deleting and look-ups.

#include "store/addr_book.h"

#include <array>
#include <limits>
#include <optional>
#include <span>
#include <sys/types.h>
#include <utility>

#include "store/atomic_file.h"
#include "store/regular_file.h"
#include "store/text_codec.h"
#include "store/text_fields.h"

namespace orvalis::store {

namespace {

constexpr std::int32_t minNumber = 100000000;
constexpr std::int32_t maxNumber = 999999999;
// Numbers and memos are the user's own business, like the settings.
constexpr mode_t bookMode = 0600;
constexpr std::array<const char*, 3> typeLetters = {"N", "V", "B"};


std::int32_t typeIndex(std::string_view letter) {
  return letter == "V" ? contactVoiceCall : letter == "B" ? contactBlackList : contactNormal;
}

struct Contact {
  std::array<std::string, 4> fields;  // nick, type letter, number text, memo
  std::int32_t id = 0;
  std::int32_t type = 0;
};

// Fields are runs of bytes above 0x20 separated by bytes 0x01..0x20; after the
// third separator the rest of the line is the memo, blanks included.
std::optional<Contact> parseLine(std::string_view line) {
  Contact c;
  std::size_t k = 0;
  bool afterSeparator = true;  // also skips blanks at the start of the line
  for (const char ch : line) {
    const auto b = static_cast<unsigned char>(ch);
    if (k == 3) {
      c.fields[3].push_back(ch);
    } else if (b >= 0x01 && b <= 0x20) {
      if (!afterSeparator) ++k;
      afterSeparator = true;
    } else {
      afterSeparator = false;
      c.fields[k].push_back(ch);
    }
  }
  for (auto& f : c.fields) f = std::string(trimBlanks(f));
  const std::string& letter = c.fields[1];
  c.id = parseDecimal(c.fields[2]);
  c.type = typeIndex(letter);
  if ((letter != "N" && letter != "V" && letter != "B") || c.id < minNumber || c.id > maxNumber)
    return std::nullopt;
  // A nick of zero bytes alone trims to nothing: as a contact the row would
  // look free and the save would drop it, so the line is kept as it is.
  if (c.fields[0].empty()) return std::nullopt;
  return c;
}

struct Parsed {
  std::vector<Contact> contacts;
  std::vector<std::string> kept;  // raw lines, without their line end
};

Parsed parseBook(std::string_view bytes) {
  Parsed p;
  while (!bytes.empty()) {
    // A last line without a line feed counts like any other.
    const std::size_t lf = bytes.find('\n');
    std::string_view raw = bytes.substr(0, lf);
    bytes.remove_prefix(lf == std::string_view::npos ? bytes.size() : lf + 1);
    if (p.contacts.size() < bookRows - 1) {
      if (auto c = parseLine(decodeLine(raw))) {
        p.contacts.push_back(std::move(*c));
        continue;
      }
    }
    if (trimBlanks(raw).empty()) continue;  // nothing in it worth keeping
    if (raw.back() == '\r') raw.remove_suffix(1);
    p.kept.emplace_back(raw);
  }
  return p;
}

}  // namespace

AddrBook::AddrBook(std::string path, std::function<void()> showWrongNumber)
    : path_(std::move(path)), showWrongNumber_(std::move(showWrongNumber)) {
  cells_[0] = {"NIC", "T", "PHONE"};
  loadFile();
  selectRow(1);
}

bool AddrBook::loadFile() {
  const FileBytes file = readRegularFile(path_, std::numeric_limits<std::size_t>::max());
  if (file.status == FileRead::missing) writeFileAtomically(path_, {}, bookMode);
  // Whatever could not be read whole is not replaced by a save either.
  readable_ = file.status == FileRead::ok || file.status == FileRead::missing;
  Parsed p = parseBook(file.bytes);

  std::array<std::int32_t, bookRows> ids{}, types{};
  for (int row = 1; row < bookRows; ++row) {
    cells_[row] = {};
    memo_[row].clear();
  }
  int row = 1;
  for (Contact& c : p.contacts) {
    auto& f = c.fields;
    cells_[row] = {std::move(f[0]), std::move(f[1]), std::move(f[2])};
    memo_[row] = std::move(f[3]);
    ids[row] = c.id;
    types[row] = c.type;
    ++row;
  }
  {
    // One step, so typeOf sees the old book or the new one, never a mix.
    const std::lock_guard lock(idsMutex_);
    ids_ = ids;
    types_ = types;
  }
  kept_ = std::move(p.kept);
  changed();
  return readable_;
}

bool AddrBook::saveFile() {
  // After a failed read the file may hold contacts this model never saw.
  if (!readable_) return false;
  std::string out;
  for (int row = 1; row < bookRows; ++row) {
    const Row& r = cells_[row];
    if (r[0].empty()) continue;
    out += r[0] + '\t' + r[1] + '\t' + r[2] + '\t' + memo_[row] + "\r\n";
  }
  for (const std::string& line : kept_) out += line + "\r\n";
  const auto* data = reinterpret_cast<const std::uint8_t*>(out.data());
  return writeFileAtomically(path_, std::span(data, out.size()), bookMode);
}

void AddrBook::addNumber(std::string_view text) {
  int row = findNumber(text);
  if (row == 0) {
    row = findFreeRow();
    if (row == 0) return;
    const std::int32_t n = parseDecimal(text);
    if (n < minNumber || n > maxNumber) {
      if (showWrongNumber_) showWrongNumber_();
      return;
    }
    cells_[row] = {"new", "N", std::string(text)};
    memo_[row] = "New User";
    saveFile();
    loadFile();
    // The reload compacts the rows, and drops the contact if it was not saved.
    row = findNumber(text);
    if (row == 0) return;
  }
  selectRow(row);
}

void AddrBook::deleteCurrent() {
  const int row = current_;
  if (row < 1 || row >= bookRows || cells_[row][0].empty()) return;
  cells_[row] = {};
  memo_[row].clear();
  saveFile();
  loadFile();
  selectRow(row);
}

bool AddrBook::updateCurrent(std::string_view nick, std::int32_t type, std::string_view memo) {
  const int row = current_;
  if (row < 1 || row >= bookRows || cells_[row][0].empty()) return false;
  // A nick of blanks alone would leave the row unsaved, losing the contact.
  if (!storeCell(0, row, nick)) storeCell(0, row, "New");
  storeCell(1, row, typeLetters[type == contactVoiceCall || type == contactBlackList ? type : 0]);
  // A line break inside the memo would split the contact's line.
  std::string& m = memo_[row];
  m.assign(memo);
  for (char& c : m)
    if (c == '\n' || c == '\r') c = ' ';
  changed();
  const bool saved = saveFile();
  selectRow(row);
  return saved;
}

int AddrBook::findNumber(std::string_view text) const {
  for (int row = 1; row < bookRows; ++row)
    if (cells_[row][2] == text) return row;
  return 0;
}

int AddrBook::findFreeRow() const {
  for (int row = 1; row < bookRows; ++row)
    if (cells_[row][0].empty()) return row;
  return 0;
}

std::int32_t AddrBook::typeOf(std::int32_t number) const {
  const std::lock_guard lock(idsMutex_);
  for (int row = 1; row < bookRows; ++row)
    if (ids_[row] == number) return types_[row];
  return contactNormal;
}

void AddrBook::selectRow(int row) {
  if (row < 1 || row >= bookRows) return;
  current_ = row;
  if (onCurrentRow_) onCurrentRow_();
}

const std::string& AddrBook::cell(int col, int row) const {
  static const std::string none;
  if (col < 0 || col >= bookColumns || row < 0 || row >= bookRows) return none;
  return cells_[row][col];
}

void AddrBook::setCell(int col, int row, std::string_view text) {
  storeCell(col, row, text);
  changed();
}

const std::string& AddrBook::memoBook(int row) const {
  static const std::string none;
  return row >= 0 && row < bookRows ? memo_[row] : none;
}

std::int32_t AddrBook::phonesId(int row) const {
  const std::lock_guard lock(idsMutex_);
  return row >= 0 && row < bookRows ? ids_[row] : 0;
}

std::int32_t AddrBook::phonesType(int row) const {
  const std::lock_guard lock(idsMutex_);
  return row >= 0 && row < bookRows ? types_[row] : 0;
}

// Stores a data cell without notifying; false when the cell ends up empty.
bool AddrBook::storeCell(int col, int row, std::string_view text) {
  if (col < 0 || col >= bookColumns || row < 1 || row >= bookRows) return false;
  std::string& cell = cells_[row][col];
  cell.clear();
  for (const char c : text)
    if (!isBlank(c)) cell.push_back(c);
  if (col > 0) {
    const std::lock_guard lock(idsMutex_);
    if (col == 1) types_[row] = typeIndex(cell);
    if (col == 2) ids_[row] = parseDecimal(cell);
  }
  return !cell.empty();
}

void AddrBook::changed() const {
  if (onChanged_) onChanged_();
}

}  // namespace orvalis::store
