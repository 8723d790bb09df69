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
      forgetKey_(new QCheckBox(QStringLiteral("Trust the server's new key"), this)),
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
  forgetKey_->setGeometry(16, 78, 176, 17);
  forgetKey_->setToolTip(
      QStringLiteral("Forget the key this phone met first. Only when the server's administrator "
                     "says its key has changed: otherwise someone may be standing in its place."));
  line_ = new QFrame(this);
  line_->setFrameShape(QFrame::HLine);
  line_->setFrameShadow(QFrame::Sunken);
  ok_->setDefault(true);
  layOut(false);

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

// The key box takes a row of its own, below the save box, only when shown.
void LoginForm::layOut(bool withKeyBox) {
  const int extra = withKeyBox ? 22 : 0;
  forgetKey_->setVisible(withKeyBox);
  line_->setGeometry(0, 84 + extra, 192, 2);
  cancel_->setGeometry(8, 93 + extra, 75, 25);
  ok_->setGeometry(104, 93 + extra, 75, 25);
  setFixedSize(192, 126 + extra);
}

void LoginForm::setPrompt(const QString& text) {
  prompt_->setText(text);
  prompt_->adjustSize();
}

phone::LoginOutcome LoginForm::run(const phone::LoginPrefill& prefill) {
  save_->setChecked(prefill.savePasswd);
  passwd_->setText(prefill.savePasswd ? qtText(prefill.passwd) : QString());
  forgetKey_->setChecked(false);
  layOut(prefill.serverKeyRefused);
  passwd_->setFocus();
  phone::LoginOutcome outcome;
  outcome.ok = exec() == QDialog::Accepted;
  outcome.savePasswd = save_->isChecked();
  outcome.forgetServerKey = prefill.serverKeyRefused && forgetKey_->isChecked();
  // An empty password is a valid answer: the server judges it.
  if (outcome.ok) outcome.passwd = phone::passwdFieldText(utf8Text(passwd_->text()));
  passwd_->clear();
  return outcome;
}

}  // namespace orvalis::ui
