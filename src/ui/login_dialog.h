#pragma once
// The password prompt the controller opens when it cannot log in alone:
// a prompt, a password field and the box that keeps the password. Only
// collects the password; the controller sends it.

#include <QCheckBox>
#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "phone/phone_ui.h"

namespace orvalis::ui {

class LoginForm : public QDialog {
  Q_OBJECT

 public:
  explicit LoginForm(QWidget* parent);

  void setCaption(const QString& text) { setWindowTitle(text); }
  void setPrompt(const QString& text);
  void setSaveCaption(const QString& text) { save_->setText(text); }
  QString prompt() const { return prompt_->text(); }

  // Shows the dialog modally with the saved password (when it is kept)
  // and reports what the user chose. The password field is emptied after,
  // so it does not linger in the hidden window.
  phone::LoginOutcome run(const phone::LoginPrefill& prefill);

  // The buttons, also for tests.
  void okClicked() { done(Accepted); }
  void cancelClicked() { done(Rejected); }

  QLineEdit* passwdEdit() const { return passwd_; }
  QCheckBox* saveBox() const { return save_; }
  QCheckBox* forgetKeyBox() const { return forgetKey_; }

 private:
  void layOut(bool withKeyBox);

  QLabel* prompt_;
  QLineEdit* passwd_;
  QCheckBox* save_;
  QCheckBox* forgetKey_;  // shown only when the server's key was refused
  QPushButton* cancel_;
  QPushButton* ok_;
  QFrame* line_ = nullptr;
};

// The name the main window knows it by.
using LoginDialog = LoginForm;

}  // namespace orvalis::ui
