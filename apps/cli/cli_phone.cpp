#include "cli/cli_phone.h"

#include <algorithm>
#include <sstream>
#include <string>
#include <thread>

#include "cli/cli_help.h"
#include "cli/words.h"
#include "net/address.h"
#include "phone/account_fields.h"

namespace orvalis::cli {

namespace {

template <class E>
long asNumber(E value) {
  return static_cast<long>(value);
}

}  // namespace

// ---- CliUi --------------------------------------------------------------------

void CliUi::print(std::string_view line) {
  out_ << line << '\n';
  out_.flush();
}

void CliUi::setDisplay(std::string_view text) {
  print(text.empty() ? std::string("display:") : "display: " + std::string(text));
}

void CliUi::setTestServerLabel(std::string_view text) {
  testServerLabel_ = text;
  // The label is emptied when its time runs out; that is no news.
  if (!text.empty()) print("test-server: " + testServerLabel_);
}

void CliUi::loggedIn(std::int32_t number, std::string_view reachableAt) {
  print("logged in: " + std::to_string(number) + ", reachable at " + std::string(reachableAt));
}

void CliUi::loginFailed(std::string_view reason) {
  print("login failed: " + std::string(reason));
}

void CliUi::message(std::string_view text) {
  std::string line(text);
  std::replace(line.begin(), line.end(), '\n', ' ');
  ++messagesShown_;
  print("message: " + line);
}

phone::LoginOutcome CliUi::runLoginDialog(const phone::LoginPrefill& prefill) {
  phone::LoginOutcome outcome;
  outcome.savePasswd = prefill.savePasswd;
  print("login: " + loginPrompt_);
  if (prefill.serverKeyRefused)
    print("login: the server's key is not the one met before; trust-new-key trusts it");
  std::string line;
  while (in_.next(line, -1) == LineInput::Status::line) {
    const auto [word, rest] = splitWord(line);
    if (word == "cancel") return outcome;
    if (word == "quit") {
      quitRequested_ = true;
      return outcome;
    }
    if (word == "trust-new-key") {  // the window's "Trust the server's new key"
      outcome.forgetServerKey = true;
      continue;
    }
    if (word == "password") {
      // The dialog's field drops blanks, so the password is one word.
      const auto [passwd, flag] = splitWord(rest);
      if (flag != "save" && flag != "nosave" && !flag.empty()) {
        print("error: expected: password TEXT [save|nosave]");
        continue;
      }
      // The window's field takes no more bytes than the settings keep.
      if (passwd.size() > phone::maxPasswdLength) {
        print("error: the password is longer than " + std::to_string(phone::maxPasswdLength) +
              " bytes");
        continue;
      }
      if (!flag.empty()) outcome.savePasswd = flag == "save";
      outcome.ok = true;
      outcome.passwd = passwd;
      return outcome;
    }
    if (!word.empty())
      print("error: the login dialog expects: password TEXT [save|nosave], trust-new-key or cancel");
  }
  quitRequested_ = true;  // the input ended while the dialog waited
  return outcome;
}

// ---- CliPhone -----------------------------------------------------------------

CliPhone::CliPhone(std::ostream& out, int inputFd, std::string dir,
                   const phone::CPhone::AudioFactory& makeAudio, int stopFd,
                   net::ReachOptions reachOptions)
    : input_(inputFd, stopFd), ui_(out, input_) {
  phone_ = std::make_unique<phone::CPhone>(ui_, std::move(dir), makeAudio, nullptr,
                                           std::move(reachOptions));
  account_ = std::make_unique<AccountParts>(*phone_, ui_);
  commands_.emplace("status", [this](std::string_view) { printStatus(); });
  commands_.emplace("help", [this](std::string_view) {
    ui_.print(commandHelp.substr(0, commandHelp.find_last_not_of('\n') + 1));
  });
  commands_.emplace("quit", [this](std::string_view) { ui_.requestQuit(); });
  addAccountCommands();
  addCallCommands();
  addBookCommands();
  addSoundCommands();
  addConfigCommands();
}

void CliPhone::printStatus() {
  const phone::CPhone& p = *phone_;
  std::ostringstream s;
  s << "serverState=" << asNumber(p.serverState.load())
    << " stateClient=" << asNumber(p.callState.stateClient.load())
    << " findState=" << asNumber(p.findState.load())
    << " authThread=" << asNumber(p.authThread.load())
    << " floor=" << asNumber(p.floor.load())
    << " callMode=" << p.callMode.load()
    << " userNumber=" << p.cnf.userNumber.get()
    << " stateBind=" << asNumber(p.callState.stateBind.load())
    << " userPort=" << p.cnf.userPort.get()
    << " ptt=" << p.callState.stateLabel[net::labelPtt].load()
    << " mute=" << p.callState.stateLabel[net::labelMute].load()
    << " reach=" << net::reachName(p.reachPlan().reach)
    << " reachableAt=" << (p.reachableAt().empty() ? "-" : p.reachableAt())
    << " spoolMs=" << p.spool().spoolMs
    << " privateCall=" << (p.privateCall.load() ? 1 : 0)
    << " callerVerified=" << (p.callerVerified.load() ? 1 : 0);
  ui_.print(s.str());
}

void CliPhone::printReady() {
  const store::CnfData& cnf = phone_->cnf;
  const std::string server =
      net::formatAddress(cnf.serverHost.get()) + ":" + std::to_string(cnf.serverPort.get());
  if (cnf.userNumber.get() <= 0) {
    ui_.print("ready: no number yet; register one on " + server +
              " with: register-new NUMBER PASSWORD (9 digits, a password of at least " +
              std::to_string(phone::minPasswdLength) + " characters); help lists the commands");
  } else {
    ui_.print("ready: " + std::to_string(cnf.userNumber.get()) + " logs in to " + server +
              "; help lists the commands");
  }
}

void CliPhone::reportMissingDevices() {
  const audio::AudioPort& sound = phone_->audio();
  if (dynamic_cast<const audio::SilentAudio*>(&sound) != nullptr) return;
  // The window's texts for the same lack.
  if (sound.deviceNames(audio::Direction::playback).empty()) ui_.message("Error: Not WaveOut .");
  if (sound.deviceNames(audio::Direction::capture).empty()) ui_.message("Error: Not WaveIn.");
}

void CliPhone::handle(std::string_view line) {
  const auto [word, rest] = splitWord(line);
  if (word.empty()) return;
  const auto command = commands_.find(word);
  if (command == commands_.end()) {
    ui_.print("error: unknown command: " + std::string(word));
    return;
  }
  command->second(rest);
}

void CliPhone::tickOnce() {
  phone_->tick();
  account_->serverTest.poll();
  // The configuration dialog's duty until there is one: keep a port the
  // listener got from the system in the settings file.
  if (phone_->callState.refreshLocalPort.exchange(false)) phone_->config.save();
  refreshCall();
  refreshSound();
  // Ticks that fell due while a dialog waited are dropped, not caught up.
  nextTick_ = std::max(nextTick_ + tickPeriod, std::chrono::steady_clock::now());
}

void CliPhone::tickWhile(const std::function<bool()>& more, const std::function<void()>& poll) {
  for (int n = 1; more() && !ui_.quitRequested(); ++n) {
    std::this_thread::sleep_until(nextTick_);
    tickOnce();
    if (poll && n % ticksPerDialogPoll == 0) poll();
  }
}

void CliPhone::tickWhileBefore(const std::function<bool()>& more,
                               std::chrono::steady_clock::time_point until) {
  while (more() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_until(std::min(nextTick_, until));
    tickOnce();
  }
}

void CliPhone::logOutBeforeQuit() {
  using Clock = std::chrono::steady_clock;
  const net::AuthSlot& login = phone_->quiryAuth[net::reqLogin];
  // The tick takes a login's answer after the step that may start another
  // one, so none is queued once this one is done.
  tickWhileBefore([&login] {
    const net::SlotState state = login.load();
    return state == net::SlotState::slotQueued || state == net::SlotState::slotRunning;
  }, Clock::now() + loginWait);
  if (login.finished()) tickOnce();  // takes the answer: logged in, or not
  if (!account_->actions.disconnectUser()) return;
  const net::AuthSlot& logout = phone_->quiryAuth[net::reqLogout];
  // The tick sends the logout and frees the slot once it is answered.
  tickWhileBefore([&logout] { return logout.load() != net::SlotState::slotIdle; },
                  Clock::now() + logoutWait);
}

int CliPhone::run() {
  using Clock = std::chrono::steady_clock;
  nextTick_ = Clock::now();
  printReady();
  std::string line;
  while (!ui_.quitRequested()) {
    const auto now = Clock::now();
    if (now >= nextTick_) {
      tickOnce();
      continue;
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextTick_ - now);
    switch (input_.next(line, static_cast<int>(wait.count()) + 1)) {
      case LineInput::Status::line: handle(line); break;
      case LineInput::Status::timeout: break;
      case LineInput::Status::end: ui_.requestQuit(); break;
    }
  }
  logOutBeforeQuit();
  account_.reset();
  phone_.reset();
  return 0;
}

}  // namespace orvalis::cli
