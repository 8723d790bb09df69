#pragma once
// The change-password window: draws phone::PasswdDialog and forwards its
// events. Its 500 ms timer polls the password-change slot while it is
// shown; a success closes it.

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdint>
#include <string_view>

#include "phone/passwd_change.h"

namespace orvalis::ui {

class PasswdForm : public QDialog {
  Q_OBJECT

 public:
  static constexpr int pollPeriodMs = 500;

  PasswdForm(phone::PasswdDialog& model, QWidget* parent);

  // A language text (400..408); the caption and the save box's are redrawn.
  void setText(std::int32_t code, std::string_view text);

  // Shows the window modally until the model closes.
  void runModal();

  // The window's events, also for tests.
  void acceptClicked();
  void cancelClicked();
  void timerFired();

  QLineEdit* passwd1Edit() const { return passwd1_; }
  QLineEdit* passwd2Edit() const { return passwd2_; }
  QCheckBox* saveBox() const { return save_; }
  QLabel* statusLabel() const { return status_; }
  QPushButton* acceptButton() const { return accept_; }
  QPushButton* cancelButton() const { return cancel_; }
  const QTimer& timer() const { return timer_; }

 public slots:
  // Escape and the window manager's close act as Cancel.
  void reject() override { cancelClicked(); }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void applyTexts();
  void sync();

  phone::PasswdDialog& model_;
  QLabel* status_;
  QLineEdit* passwd1_;
  QLineEdit* passwd2_;
  QCheckBox* save_;
  QPushButton* accept_;
  QPushButton* cancel_;
  QTimer timer_;
};

}  // namespace orvalis::ui
