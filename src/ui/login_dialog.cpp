#include "ui/login_dialog.h"

#include <QDialogButtonBox>
#include <QVBoxLayout>

#include "phone/account_fields.h"
#include "ui/qt_text.h"

namespace orvalis::ui {

LoginDialog::LoginDialog(QWidget* parent)
    : QDialog(parent),
      prompt_(new QLabel(QStringLiteral("Enter the password."), this)),
      passwd_(new QLineEdit(this)),
      save_(new QCheckBox(QStringLiteral("Save password."), this)) {
  setWindowTitle(QStringLiteral("Connection to server."));
  passwd_->setEchoMode(QLineEdit::Password);
  // The settings keep no longer password.
  passwd_->setMaxLength(static_cast<int>(phone::maxPasswdLength));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(prompt_);
  layout->addWidget(passwd_);
  layout->addWidget(save_);
  layout->addWidget(buttons);
}

phone::LoginOutcome LoginDialog::run(const phone::LoginPrefill& prefill) {
  save_->setChecked(prefill.savePasswd);
  passwd_->setText(prefill.savePasswd ? qtText(prefill.passwd) : QString());
  passwd_->setFocus();
  phone::LoginOutcome outcome;
  outcome.ok = exec() == QDialog::Accepted;
  outcome.savePasswd = save_->isChecked();
  if (outcome.ok) outcome.passwd = phone::passwdFieldText(utf8Text(passwd_->text()));
  passwd_->clear();
  return outcome;
}

}  // namespace orvalis::ui
