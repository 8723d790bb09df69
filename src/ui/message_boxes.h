#pragma once
// Message boxes over the main window, for the controller and the account
// actions.

#include <QPointer>
#include <QWidget>

#include <functional>
#include <string>

#include "phone/dialog_host.h"

namespace orvalis::ui {

class MessageBoxes final : public phone::DialogHost {
 public:
  using Trace = std::function<void(const std::string&)>;

  // trace, when set, also gets every message as "message: TEXT".
  explicit MessageBoxes(QWidget* parent, Trace trace = {})
      : parent_(parent), trace_(std::move(trace)) {}

  // One OK button, the application's title as caption.
  void message(std::string_view text) override;
  // Yes and No; true for Yes.
  bool confirm(std::string_view title, std::string_view text) override;

 private:
  QPointer<QWidget> parent_;
  Trace trace_;
};

}  // namespace orvalis::ui
