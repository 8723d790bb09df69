#pragma once
// The password prompt the controller opens when it cannot log in alone:
// a prompt, a password field and the box that keeps the password.

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>

#include "phone/phone_ui.h"

namespace orvalis::ui {

class LoginDialog : public QDialog {
  Q_OBJECT

 public:
  explicit LoginDialog(QWidget* parent);

  void setCaption(const QString& text) { setWindowTitle(text); }
  void setPrompt(const QString& text) { prompt_->setText(text); }
  void setSaveCaption(const QString& text) { save_->setText(text); }
  QString prompt() const { return prompt_->text(); }

  // Shows the dialog modally with the saved password (when it is kept)
  // and reports what the user chose.
  phone::LoginOutcome run(const phone::LoginPrefill& prefill);

 private:
  QLabel* prompt_;
  QLineEdit* passwd_;
  QCheckBox* save_;
};

}  // namespace orvalis::ui
