#pragma once
// Message boxes over the main window, for the controller and the account
// actions.

#include <QPointer>
#include <QWidget>

#include "phone/dialog_host.h"

namespace orvalis::ui {

class MessageBoxes final : public phone::DialogHost {
 public:
  explicit MessageBoxes(QWidget* parent) : parent_(parent) {}

  // One OK button, the application's title as caption.
  void message(std::string_view text) override;
  // Yes and No; true for Yes.
  bool confirm(std::string_view title, std::string_view text) override;

 private:
  QPointer<QWidget> parent_;
};

}  // namespace orvalis::ui
