#include "ui/login_dialog.h"

#include <QFrame>

#include "phone/account_fields.h"
#include "ui/byte_limit_validator.h"
#include "ui/qt_text.h"
#include "ui/skin_images.h"

namespace orvalis::ui {

LoginForm::LoginForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      prompt_(new QLabel(this)),
      passwd_(new QLineEdit(this)),
      save_(new QCheckBox(QStringLiteral("Save password"), this)),
      cancel_(new QPushButton(QStringLiteral("Cancel"), this)),
      ok_(new QPushButton(QStringLiteral("Ok"), this)) {
  setObjectName(QStringLiteral("FLogin"));
  setWindowTitle(QStringLiteral("Connect to server"));
  setFont(skinFont());
  setModal(true);
  move(262, 133);
  prompt_->move(2, 0);
  setPrompt(QStringLiteral("Please enter yor password"));
  passwd_->setGeometry(16, 24, 161, 21);
  passwd_->setEchoMode(QLineEdit::Password);
  // The settings keep no longer password.
  passwd_->setMaxLength(static_cast<int>(phone::maxPasswdLength));
  passwd_->setValidator(
      new ByteLimitValidator(phone::maxPasswdLength, ByteLimitValidator::Spaces::allowed, passwd_));
  save_->setGeometry(16, 56, 153, 17);
  auto* line = new QFrame(this);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  line->setGeometry(0, 84, 192, 2);
  cancel_->setGeometry(8, 93, 75, 25);
  ok_->setGeometry(104, 93, 75, 25);
  ok_->setDefault(true);
  setFixedSize(192, 126);

  connect(passwd_, &QLineEdit::textEdited, this, [this](const QString& text) {
    const QString kept = qtText(phone::passwdFieldText(utf8Text(text)));
    if (kept == text) return;
    const int fromEnd = static_cast<int>(text.size()) - passwd_->cursorPosition();
    passwd_->setText(kept);
    passwd_->setCursorPosition(std::max(0, static_cast<int>(kept.size()) - fromEnd));
  });
  connect(ok_, &QPushButton::clicked, this, &LoginForm::okClicked);
  connect(cancel_, &QPushButton::clicked, this, &LoginForm::cancelClicked);
}

void LoginForm::setPrompt(const QString& text) {
  prompt_->setText(text);
  prompt_->adjustSize();
}

phone::LoginOutcome LoginForm::run(const phone::LoginPrefill& prefill) {
  save_->setChecked(prefill.savePasswd);
  passwd_->setText(prefill.savePasswd ? qtText(prefill.passwd) : QString());
  passwd_->setFocus();
  phone::LoginOutcome outcome;
  outcome.ok = exec() == QDialog::Accepted;
  outcome.savePasswd = save_->isChecked();
  // An empty password is a valid answer: the server judges it.
  if (outcome.ok) outcome.passwd = phone::passwdFieldText(utf8Text(passwd_->text()));
  passwd_->clear();
  return outcome;
}

}  // namespace orvalis::ui
