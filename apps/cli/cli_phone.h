#pragma once
// The headless phone: the phone's controller driven by text commands, one
// per input line, with everything the display shows printed as lines.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "cli/line_input.h"
#include "phone/phone.h"
#include "phone/phone_ui.h"

namespace orvalis::cli {

// The user interface of the headless phone: display texts become
// "display: ..." lines; the login dialog asks "login: <prompt>" and takes
// "password TEXT [save|nosave]" or "cancel".
class CliUi final : public phone::PhoneUi {
 public:
  CliUi(std::ostream& out, LineInput& in) : out_(out), in_(in) {}

  void setDisplay(std::string_view text) override;
  void setLoginCaption(std::string_view text) override { loginCaption_ = text; }
  void setLoginPrompt(std::string_view text) override { loginPrompt_ = text; }
  void setLoginSaveCaption(std::string_view text) override { loginSaveCaption_ = text; }
  phone::LoginOutcome runLoginDialog(const phone::LoginPrefill& prefill) override;
  void setLocalHostLabel(std::string_view text) override { localHostLabel_ = text; }
  void setTestServerLabel(std::string_view text) override { testServerLabel_ = text; }

  void print(std::string_view line);
  // Set when the input ended or "quit" came while the dialog waited.
  bool quitRequested() const { return quitRequested_; }
  void requestQuit() { quitRequested_ = true; }

 private:
  std::ostream& out_;
  LineInput& in_;
  std::string loginCaption_ = "Connect to server";
  std::string loginPrompt_ = "Please enter yor password";
  std::string loginSaveCaption_ = "Save password";
  std::string localHostLabel_;
  std::string testServerLabel_;
  bool quitRequested_ = false;
};

class CliPhone {
 public:
  static constexpr std::chrono::milliseconds tickPeriod{50};

  // Builds the phone in dir (its settings file lives there).
  CliPhone(std::ostream& out, int inputFd, std::string dir);

  // Runs until "quit" or the end of the input; returns the exit status.
  int run();

 private:
  using Command = std::function<void(std::string_view args)>;

  void handle(std::string_view line);
  void printStatus();

  LineInput input_;
  CliUi ui_;
  std::unique_ptr<phone::CPhone> phone_;
  std::map<std::string, Command, std::less<>> commands_;
};

}  // namespace orvalis::cli
