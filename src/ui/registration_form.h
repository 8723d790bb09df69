#pragma once
// The registration window: draws phone::RegistrationDialog and forwards
// its events. Its 500 ms timer polls the transaction slots while it is
// shown; a success closes it.

#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdint>
#include <string_view>

#include "phone/registration.h"

namespace orvalis::ui {

class RegistrationForm : public QDialog {
  Q_OBJECT

 public:
  static constexpr int pollPeriodMs = 500;

  RegistrationForm(phone::RegistrationDialog& model, QWidget* parent);

  // A language text (300..317); the captions among them are redrawn.
  void setText(std::int32_t code, std::string_view text);

  // Shows the window modally until the model closes.
  void runModal();

  // The window's events, also for tests.
  void clearClicked();
  void addNewClicked();
  void addExistsClicked();
  void cancelClicked();
  void timerFired();

  QLineEdit* numberEdit() const { return number_; }
  QLineEdit* passwd1Edit() const { return passwd1_; }
  QLineEdit* passwd2Edit() const { return passwd2_; }
  QCheckBox* saveBox() const { return save_; }
  QLabel* statusLabel() const { return status_; }
  QPushButton* newButton() const { return addNew_; }
  QPushButton* existsButton() const { return addExists_; }
  QPushButton* clearButton() const { return clear_; }
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
  // Brings the widgets up to the model: fields, busy state, status line;
  // closes the window once the model has.
  void sync();

  phone::RegistrationDialog& model_;
  QLabel* numberLabel_;
  QLineEdit* number_;
  QLabel* passwd1Label_;
  QLineEdit* passwd1_;
  QLabel* passwd2Label_;
  QLineEdit* passwd2_;
  QCheckBox* save_;
  QPushButton* clear_;
  QLabel* status_;
  QGroupBox* group_;
  QPushButton* addNew_;
  QPushButton* addExists_;
  QPushButton* cancel_;
  QTimer timer_;
};

}  // namespace orvalis::ui
