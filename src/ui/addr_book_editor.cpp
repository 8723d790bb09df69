#include "ui/addr_book_editor.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "ui/qt_text.h"
#include "ui/skin_images.h"

namespace orvalis::ui {

namespace {

// A blank inside a nick would split the contact's saved line and lose the
// contact at the next load, so pasted blanks go as well as typed ones.
QString withoutBlanks(const QString& text) {
  QString kept;
  kept.reserve(text.size());
  for (const QChar c : text)
    if (!c.isSpace() && c.unicode() > 0x20) kept.append(c);
  return kept;
}

}  // namespace

AddrBookEditor::AddrBookEditor(store::AddrBook& book, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      book_(book),
      nick_(new QLineEdit(this)),
      memo_(new QLineEdit(this)),
      accept_(new QPushButton(QStringLiteral("Accept"), this)),
      cancel_(new QPushButton(QStringLiteral("Cancel"), this)) {
  setObjectName(QStringLiteral("FEditAddrBook"));
  setFont(skinFont());
  setModal(true);
  nick_->setMaxLength(maxNickLength);
  memo_->setMaxLength(maxMemoLength);

  auto* groupBox = new QGroupBox(QStringLiteral("Входит в группу:"), this);
  auto* groupLayout = new QVBoxLayout(groupBox);
  const std::array<QString, 3> captions = {QStringLiteral("Nolrmal "), QStringLiteral("Voice Call"),
                                           QStringLiteral("Black List")};
  for (int type = 0; type < 3; ++type) {
    auto* button = new QRadioButton(captions[static_cast<std::size_t>(type)], groupBox);
    types_[static_cast<std::size_t>(type)] = button;
    group_.addButton(button, type);
    groupLayout->addWidget(button);
  }
  types_[0]->setChecked(true);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(accept_);
  buttons->addWidget(cancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("Сетевое имя:"), this));
  layout->addWidget(nick_);
  layout->addWidget(groupBox);
  layout->addWidget(new QLabel(QStringLiteral("Описание:"), this));
  layout->addWidget(memo_);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(nick_, &QLineEdit::textEdited, this, [this](const QString& text) {
    const QString kept = withoutBlanks(text);
    if (kept == text) return;
    const int fromEnd = static_cast<int>(text.size()) - nick_->cursorPosition();
    nick_->setText(kept);
    nick_->setCursorPosition(std::max(0, static_cast<int>(kept.size()) - fromEnd));
  });
  connect(accept_, &QPushButton::clicked, this, &AddrBookEditor::acceptClicked);
  connect(cancel_, &QPushButton::clicked, this, &AddrBookEditor::cancelClicked);
}

int AddrBookEditor::typeIndex() const { return std::max(0, group_.checkedId()); }

bool AddrBookEditor::load() {
  row_ = book_.currentRow();
  number_ = book_.cell(2, row_);
  if (row_ < 1 || book_.cell(0, row_).empty()) {
    row_ = 0;
    return false;
  }
  nick_->setText(qtText(book_.cell(0, row_)));
  const std::string& letter = book_.cell(1, row_);
  types_[letter == "V" ? 1 : letter == "B" ? 2 : 0]->setChecked(true);
  setWindowTitle(qtText(number_));
  memo_->setText(qtText(book_.memoBook(row_)));
  return true;
}

bool AddrBookEditor::runModal() {
  if (!load()) return false;
  nick_->setFocus();
  exec();
  return true;
}

int AddrBookEditor::editedRow() const {
  if (row_ > 0 && book_.cell(2, row_) == number_ && !book_.cell(0, row_).empty()) return row_;
  return number_.empty() ? 0 : book_.findNumber(number_);
}

void AddrBookEditor::acceptClicked() {
  saved_ = false;
  const int row = editedRow();
  if (row > 0) {
    const QString nick = withoutBlanks(nick_->text());
    const QString memo = memo_->text();
    if (book_.currentRow() != row) book_.selectRow(row);
    // Saves without reloading, so the list keeps its order, and selects
    // the row again so the window shows the edited contact.
    saved_ = book_.updateCurrent(utf8Text(nick.isEmpty() ? QStringLiteral("New") : nick), typeIndex(),
                        utf8Text(memo.isEmpty() ? QStringLiteral("New User") : memo));
  }
  done(Accepted);
}

}  // namespace orvalis::ui
