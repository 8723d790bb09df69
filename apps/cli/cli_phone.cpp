#include "cli/cli_phone.h"

#include <sstream>

namespace orvalis::cli {

namespace {

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

// Splits "word rest" into the word and the trimmed rest.
std::pair<std::string_view, std::string_view> splitWord(std::string_view s) {
  s = trim(s);
  const auto space = s.find_first_of(" \t");
  if (space == std::string_view::npos) return {s, {}};
  return {s.substr(0, space), trim(s.substr(space))};
}

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

phone::LoginOutcome CliUi::runLoginDialog(const phone::LoginPrefill& prefill) {
  phone::LoginOutcome outcome;
  outcome.savePasswd = prefill.savePasswd;
  print("login: " + loginPrompt_);
  std::string line;
  while (in_.next(line, -1) == LineInput::Status::line) {
    const auto [word, rest] = splitWord(line);
    if (word == "cancel") return outcome;
    if (word == "quit") {
      quitRequested_ = true;
      return outcome;
    }
    if (word == "password") {
      // The dialog's field drops blanks, so the password is one word.
      const auto [passwd, flag] = splitWord(rest);
      if (flag == "save") outcome.savePasswd = true;
      else if (flag == "nosave") outcome.savePasswd = false;
      else if (!flag.empty()) {
        print("error: expected: password TEXT [save|nosave]");
        continue;
      }
      outcome.ok = true;
      outcome.passwd = passwd;
      return outcome;
    }
    if (!word.empty()) print("error: the login dialog expects: password TEXT [save|nosave] or cancel");
  }
  quitRequested_ = true;  // the input ended while the dialog waited
  return outcome;
}

// ---- CliPhone -----------------------------------------------------------------

CliPhone::CliPhone(std::ostream& out, int inputFd, std::string dir)
    : input_(inputFd), ui_(out, input_) {
  phone_ = std::make_unique<phone::CPhone>(ui_, std::move(dir));
  commands_.emplace("status", [this](std::string_view) { printStatus(); });
  commands_.emplace("quit", [this](std::string_view) { ui_.requestQuit(); });
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
    << " userPort=" << p.cnf.userPort.get();
  ui_.print(s.str());
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

int CliPhone::run() {
  using Clock = std::chrono::steady_clock;
  auto nextTick = Clock::now();
  std::string line;
  while (!ui_.quitRequested()) {
    const auto now = Clock::now();
    if (now >= nextTick) {
      phone_->tick();
      // Ticks that fell due while a dialog waited are dropped, not caught up.
      nextTick = std::max(nextTick + tickPeriod, Clock::now());
      continue;
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - now);
    switch (input_.next(line, static_cast<int>(wait.count()) + 1)) {
      case LineInput::Status::line: handle(line); break;
      case LineInput::Status::timeout: break;
      case LineInput::Status::end: ui_.requestQuit(); break;
    }
  }
  phone_.reset();
  return 0;
}

}  // namespace orvalis::cli
