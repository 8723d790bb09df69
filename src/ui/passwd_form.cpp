#include "ui/passwd_form.h"

#include "phone/account_fields.h"
#include "ui/byte_limit_validator.h"
#include "ui/qt_text.h"
#include "ui/skin_images.h"

namespace orvalis::ui {

namespace {

using Model = phone::PasswdDialog;

// Puts the model's text back when it differs from what was typed or
// pasted (blanks dropped), keeping the cursor's distance from the end.
void showFiltered(QLineEdit* edit, const std::string& kept) {
  const QString text = qtText(kept);
  if (edit->text() == text) return;
  const int fromEnd = static_cast<int>(edit->text().size()) - edit->cursorPosition();
  edit->setText(text);
  edit->setCursorPosition(std::max(0, static_cast<int>(text.size()) - fromEnd));
}

}  // namespace

PasswdForm::PasswdForm(Model& model, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      model_(model),
      status_(new QLabel(this)),
      passwd1_(new QLineEdit(this)),
      passwd2_(new QLineEdit(this)),
      save_(new QCheckBox(this)),
      accept_(new QPushButton(QStringLiteral("Accept"), this)),
      cancel_(new QPushButton(QStringLiteral("Cancel"), this)) {
  setObjectName(QStringLiteral("FPasswd"));
  setFont(skinFont());
  setModal(true);
  move(736, 123);
  status_->setGeometry(0, 0, 200, 14);
  passwd1_->setGeometry(21, 18, 121, 21);
  passwd2_->setGeometry(21, 42, 121, 21);
  for (QLineEdit* edit : {passwd1_, passwd2_}) {
    edit->setEchoMode(QLineEdit::Password);
    edit->setMaxLength(static_cast<int>(phone::maxPasswdLength));
    edit->setValidator(
        new ByteLimitValidator(phone::maxPasswdLength, ByteLimitValidator::Spaces::allowed, edit));
  }
  save_->setGeometry(20, 68, 122, 14);
  accept_->setGeometry(3, 90, 75, 25);
  cancel_->setGeometry(91, 90, 75, 25);
  applyTexts();
  status_->setText(qtText(model_.text(Model::txtEnterTwice)));
  setFixedSize(200, 123);

  connect(passwd1_, &QLineEdit::textEdited, this, [this](const QString& text) {
    model_.setPasswd1(utf8Text(text));
    showFiltered(passwd1_, model_.passwd1());
  });
  connect(passwd2_, &QLineEdit::textEdited, this, [this](const QString& text) {
    model_.setPasswd2(utf8Text(text));
    showFiltered(passwd2_, model_.passwd2());
  });
  connect(save_, &QCheckBox::clicked, this, [this](bool ticked) { model_.setSavePasswd(ticked); });
  connect(accept_, &QPushButton::clicked, this, &PasswdForm::acceptClicked);
  connect(cancel_, &QPushButton::clicked, this, &PasswdForm::cancelClicked);

  timer_.setInterval(pollPeriodMs);
  connect(&timer_, &QTimer::timeout, this, &PasswdForm::timerFired);
}

void PasswdForm::setText(std::int32_t code, std::string_view text) {
  if (model_.setText(code, text)) applyTexts();
}

void PasswdForm::applyTexts() {
  setWindowTitle(qtText(model_.text(Model::capDialog)));
  save_->setText(qtText(model_.text(Model::capSavePasswd)));
  // The status line follows its texts only while shown; sync redraws it.
  if (isVisible()) status_->setText(qtText(model_.statusLine()));
}

void PasswdForm::runModal() {
  if (!model_.open()) model_.formShow();
  exec();
}

void PasswdForm::showEvent(QShowEvent* event) {
  if (!model_.open()) model_.formShow();
  save_->setChecked(model_.pwSavePasswd);
  sync();
  timer_.start();
  QDialog::showEvent(event);
}

void PasswdForm::hideEvent(QHideEvent* event) {
  timer_.stop();
  model_.formClose();
  QDialog::hideEvent(event);
}

void PasswdForm::acceptClicked() {
  model_.acceptClick();
  sync();
}

void PasswdForm::cancelClicked() {
  model_.cancelClick();
  sync();
}

void PasswdForm::timerFired() {
  model_.timer1();
  sync();
}

void PasswdForm::sync() {
  showFiltered(passwd1_, model_.passwd1());
  showFiltered(passwd2_, model_.passwd2());
  const bool idle = !model_.busy();
  accept_->setEnabled(idle);
  cancel_->setEnabled(idle);
  status_->setText(qtText(model_.statusLine()));
  if (!model_.open() && isVisible()) done(model_.pwResult ? Accepted : Rejected);
}

}  // namespace orvalis::ui
