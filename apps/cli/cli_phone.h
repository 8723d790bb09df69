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
#include "net/auth_server.h"
#include "phone/account_actions.h"
#include "phone/dialog_host.h"
#include "phone/passwd_change.h"
#include "phone/phone.h"
#include "phone/phone_ui.h"
#include "phone/registration.h"
#include "phone/server_test.h"

namespace orvalis::cli {

// The user interface of the headless phone: display texts become
// "display: ..." lines; the login dialog asks "login: <prompt>" and takes
// "password TEXT [save|nosave]" or "cancel"; message boxes become
// "message: ..." lines and the server test's label "test-server: ...".
class CliUi final : public phone::PhoneUi, public phone::DialogHost {
 public:
  CliUi(std::ostream& out, LineInput& in) : out_(out), in_(in) {}

  void setDisplay(std::string_view text) override;
  void setLoginCaption(std::string_view text) override { loginCaption_ = text; }
  void setLoginPrompt(std::string_view text) override { loginPrompt_ = text; }
  void setLoginSaveCaption(std::string_view text) override { loginSaveCaption_ = text; }
  phone::LoginOutcome runLoginDialog(const phone::LoginPrefill& prefill) override;
  void setLocalHostLabel(std::string_view text) override { localHostLabel_ = text; }
  void setTestServerLabel(std::string_view text) override;
  // "logged in: NUMBER, reachable at ADDR:PORT" and "login failed: REASON".
  void loggedIn(std::int32_t number, std::string_view reachableAt) override;
  void loginFailed(std::string_view reason) override;

  // One line per box, its line feeds made blanks.
  void message(std::string_view text) override;
  void showMessage(std::string_view text) override { message(text); }
  // The questions asked (whether to delete the account, whether to take
  // changed connection or sound settings) follow a command, which is the
  // user's Yes.
  bool confirm(std::string_view, std::string_view) override { return true; }
  int messagesShown() const { return messagesShown_; }

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
  int messagesShown_ = 0;
  bool quitRequested_ = false;
};

// The account dialogs and actions of the phone, without windows.
struct AccountParts {
  AccountParts(phone::CPhone& phone, CliUi& ui)
      : registration(phone, ui), passwd(phone, ui), serverTest(phone, ui), actions(phone, ui, ui) {}

  phone::RegistrationDialog registration;
  phone::PasswdDialog passwd;
  phone::ServerTest serverTest;
  phone::AccountActions actions;
};

class CliPhone {
 public:
  static constexpr std::chrono::milliseconds tickPeriod{50};
  static constexpr int ticksPerDialogPoll = 10;  // the dialogs' 500 ms timers

  // Builds the phone in dir (its settings file lives there), with the
  // sound side makeAudio builds.
  // stopFd, when given, ends the phone as the end of its input does.
  CliPhone(std::ostream& out, int inputFd, std::string dir,
           const phone::CPhone::AudioFactory& makeAudio = nullptr, int stopFd = -1,
           net::ReachOptions reachOptions = {});

  // How long quitting waits for the logout's answer.
  static constexpr std::chrono::milliseconds logoutWait{2000};
  // How long quitting waits for a login under way: as long as its
  // transaction may take.
  static constexpr std::chrono::milliseconds loginWait = net::transactionTimeLimit;

  // Runs until "quit" or the end of the input; returns the exit status.
  // Its first line says the phone is ready: how to register when it has
  // no number yet, else which number logs in to which server.
  int run();

  // Says once, as the window does at start, that the sound side has no
  // loudspeaker or no microphone; a phone run without sound has none to miss.
  void reportMissingDevices();

 private:
  using Command = std::function<void(std::string_view args)>;

  void handle(std::string_view line);
  // Logs out when logged in, so that callers learn the phone is offline;
  // waits for the answer at most logoutWait. A login under way is waited
  // for first (at most loginWait): the server would otherwise keep the
  // phone online at an address where nothing answers.
  void logOutBeforeQuit();
  // Keeps the heartbeat going while more() holds, at most until then; for
  // the requests of quitting, when quitRequested ends tickWhile at once.
  void tickWhileBefore(const std::function<bool()>& more,
                       std::chrono::steady_clock::time_point until);
  void printStatus();
  void printReady();
  // One heartbeat: the controller's tick and the server test's poll.
  void tickOnce();
  // Keeps the heartbeat going, reading no input, while more() holds; runs
  // poll every ticksPerDialogPoll ticks.
  void tickWhile(const std::function<bool()>& more, const std::function<void()>& poll = {});

  // A command that takes no arguments; "name" is its word.
  Command noArgs(std::string_view name, std::function<void()> action);

  // The account commands (cli_account.cpp).
  void addAccountCommands();
  void registerCommand(std::string_view name, std::string_view args, bool existing);
  void changePasswordCommand(std::string_view args);
  void waitCommand(std::string_view args);
  // Prints the note for an outcome that needs one; "what" names the command.
  void report(std::string_view what, phone::FlowOutcome outcome, std::string_view unavailable,
              std::string_view unchanged = {});

  // The call keys (cli_calls.cpp): the dial key with NUMBER typed into the
  // number field, or with what the field holds; the hang-up key.
  void addCallCommands();
  void dialKey(std::string_view args);
  void hangUpKey();
  // Each tick, as the window's refresh: reports a changed call state and a
  // number handed over to show, ends a ringing call from a "V" contact,
  // lifts mute when no call is up.
  void refreshCall();

  // The sound commands (cli_sound.cpp); each tick, the heartbeat's sound
  // duties and a report of changed microphone-test states.
  void addSoundCommands();
  void refreshSound();

  // The settings commands (cli_config.cpp): "config get|set|list".
  void addConfigCommands();
  void configCommand(std::string_view args);
  void printSetting(std::string_view field);
  void setSetting(std::string_view field, std::string_view value);

  // The address-book commands (cli_book.cpp).
  void addBookCommands();
  void bookCommand(std::string_view args);
  void listBook();
  void addToBook(std::string_view args);
  void deleteFromBook(std::string_view args);
  void setInBook(std::string_view args);
  // The number of the first contact with this nick, or text itself.
  std::string numberOfNick(const std::string& text) const;
  // Prints the nick of the contact with this number text, if any.
  void showNameOf(const std::string& number);

  LineInput input_;
  CliUi ui_;
  std::unique_ptr<phone::CPhone> phone_;
  std::unique_ptr<AccountParts> account_;  // refers to phone_: declared after it
  std::map<std::string, Command, std::less<>> commands_;
  std::chrono::steady_clock::time_point nextTick_;
  std::string shownNumber_;  // what the window's number field would hold
  net::ClientState reportedState_ = net::ClientState::clientIdle;
  audio::TestStates reportedTest_;
};

}  // namespace orvalis::cli
