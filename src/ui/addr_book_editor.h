#pragma once
// The address-book entry editor: nick, group and memo of the contact on
// the current row. The number is the window's title and is not editable.

#include <QButtonGroup>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <array>
#include <string>

#include "store/addr_book.h"

namespace orvalis::ui {

class AddrBookEditor : public QDialog {
  Q_OBJECT

 public:
  static constexpr int maxNickLength = 8;
  static constexpr int maxMemoLength = 50;

  AddrBookEditor(store::AddrBook& book, QWidget* parent);

  // Takes the current row into the fields; false when it holds no contact.
  bool load();
  // load, then shows the editor modally; false when there was nothing to
  // edit.
  bool runModal();

  // The buttons, also for tests. Accept stores and saves; Cancel touches
  // nothing.
  void acceptClicked();
  void cancelClicked() { done(Rejected); }

  int row() const { return row_; }
  // After Accept: the book's file was written.
  bool saved() const { return saved_; }
  QLineEdit* nickEdit() const { return nick_; }
  QLineEdit* memoEdit() const { return memo_; }
  QRadioButton* typeButton(int type) const { return types_.at(static_cast<std::size_t>(type)); }
  int typeIndex() const;

 private:
  // The row of the contact being edited, found again by its number should
  // the book have moved it meanwhile; 0 when it is gone.
  int editedRow() const;

  store::AddrBook& book_;
  QLineEdit* nick_;
  std::array<QRadioButton*, 3> types_{};
  QButtonGroup group_;
  QLineEdit* memo_;
  QPushButton* accept_;
  QPushButton* cancel_;
  int row_ = 0;
  std::string number_;  // the number text of row_ when loaded
  bool saved_ = false;
};

}  // namespace orvalis::ui
