// The headless phone's account commands: each drives the account dialogs
// the way a user would, and waits, ticking, until their outcome is in.

#include <charconv>
#include <string>

#include "cli/cli_phone.h"
#include "cli/words.h"

namespace orvalis::cli {

namespace {

using phone::FlowOutcome;

bool allDigits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

CliPhone::Command CliPhone::noArgs(std::string_view name, std::function<void()> action) {
  return [this, name, action = std::move(action)](std::string_view args) {
    if (!args.empty()) ui_.print("error: " + std::string(name) + " takes no arguments");
    else action();
  };
}

void CliPhone::addAccountCommands() {
  commands_.emplace("register-new", [this](std::string_view args) {
    registerCommand("register-new", args, false);
  });
  commands_.emplace("register-existing", [this](std::string_view args) {
    registerCommand("register-existing", args, true);
  });
  commands_.emplace("change-password", [this](std::string_view args) { changePasswordCommand(args); });
  commands_.emplace("connect", noArgs("connect", [this] {
    if (!account_->actions.connectUser())
      ui_.print("connect: the automatic login is not suspended");
  }));
  commands_.emplace("disconnect", noArgs("disconnect", [this] {
    if (!account_->actions.disconnectUser()) ui_.print("disconnect: not logged in");
  }));
  commands_.emplace("delete-user", noArgs("delete-user", [this] {
    report("delete-user", account_->actions.deleteUser(), "not logged in",
           "a deletion is already under way");
  }));
  commands_.emplace("test-server", noArgs("test-server", [this] {
    phone::ServerTest& test = account_->serverTest;
    test.start();
    tickWhile([&test] { return !test.buttonEnabled(); });
  }));
  commands_.emplace("wait", [this](std::string_view args) { waitCommand(args); });
}

void CliPhone::report(std::string_view what, FlowOutcome outcome, std::string_view unavailable,
                      std::string_view unchanged) {
  const auto note = [&](std::string_view text) {
    if (!text.empty()) ui_.print(std::string(what) + ": " + std::string(text));
  };
  switch (outcome) {
    case FlowOutcome::notAvailable: note(unavailable); break;
    case FlowOutcome::unchanged: note(unchanged); break;
    case FlowOutcome::notSaved: ui_.print("error: the settings file could not be written"); break;
    case FlowOutcome::done: break;
  }
}

void CliPhone::registerCommand(std::string_view name, std::string_view args, bool existing) {
  const auto words = splitWords(args);
  if (words.size() < 2 || words.size() > 3 || (words.size() == 3 && words[2] != "nosave") ||
      !allDigits(words[0])) {
    ui_.print("error: expected: " + std::string(name) + " NUMBER PASSWORD [nosave]");
    return;
  }
  phone::RegistrationDialog& dialog = account_->registration;
  const auto show = [&] {
    dialog.setNumberText(words[0]);
    dialog.setPasswd1(words[1]);
    dialog.setPasswd2(words[1]);
    dialog.setSavePasswd(words.size() == 2);
    const int shownBefore = ui_.messagesShown();
    if (existing) dialog.addExistsClick();
    else dialog.addNewClick();
    if (!dialog.busy() && ui_.messagesShown() == shownBefore)
      ui_.print(std::string(name) + ": a registration is already under way");
    tickWhile([&] { return dialog.open() && dialog.busy(); }, [&] { dialog.timer1(); });
    dialog.cancelClick();  // after a failure; a success has closed it already
  };
  report(name, account_->actions.registerUser(dialog, show), "the phone already has a number");
}

void CliPhone::changePasswordCommand(std::string_view args) {
  const auto words = splitWords(args);
  if (words.empty() || words.size() > 2 || (words.size() == 2 && words[1] != "save")) {
    ui_.print("error: expected: change-password PASSWORD [save]");
    return;
  }
  phone::PasswdDialog& dialog = account_->passwd;
  const auto show = [&] {
    dialog.setPasswd1(words[0]);
    dialog.setPasswd2(words[0]);
    dialog.setSavePasswd(words.size() == 2);
    const int shownBefore = ui_.messagesShown();
    dialog.acceptClick();
    if (!dialog.busy() && ui_.messagesShown() == shownBefore)
      ui_.print("change-password: a change is already under way");
    tickWhile([&] { return dialog.open() && dialog.busy(); }, [&] { dialog.timer1(); });
    dialog.cancelClick();
  };
  report("change-password", account_->actions.changePasswd(dialog, show), "not logged in");
}

void CliPhone::waitCommand(std::string_view args) {
  int ms = 0;
  const auto [end, error] = std::from_chars(args.data(), args.data() + args.size(), ms);
  if (args.empty() || error != std::errc() || end != args.data() + args.size() || ms < 0) {
    ui_.print("error: expected: wait MS");
    return;
  }
  // Counted in ticks, so that a slow machine still gets every one of them.
  const int period = static_cast<int>(tickPeriod.count());
  const int ticks = ms / period + (ms % period != 0 ? 1 : 0);
  int done = 0;
  tickWhile([&] { return done++ < ticks; });
}

}  // namespace orvalis::cli
