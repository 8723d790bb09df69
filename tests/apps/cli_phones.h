#pragma once
// Headless phones for end-to-end tests: a real server, and orvalis-cli
// processes in directories of their own, driven line by line.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "store/cnf_data.h"
#include "store/config.h"
#include "store/device_names.h"
#include "support/child_process.h"
#include "support/interactive_process.h"
#include "support/temp_dir.h"

namespace orvalis::testing {

using namespace std::chrono_literals;

// Generous: the sanitizer builds are slow, and a login waits a second.
inline constexpr auto patience = 30s;
inline const std::uint32_t loopback = htonl(INADDR_LOOPBACK);

using Clock = std::chrono::steady_clock;

// For the figures that the tests print.
inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A program started under a launcher: a command that runs the rest of its
// arguments, such as "ip netns exec HOST" for a host of a lab; none runs it
// here.
using Launcher = std::vector<std::string>;

struct Launch {
  std::string program;
  std::vector<std::string> args;
};

inline Launch launch(const Launcher& launcher, std::string program,
                     std::vector<std::string> args) {
  if (launcher.empty()) return {std::move(program), std::move(args)};
  std::vector<std::string> all(launcher.begin() + 1, launcher.end());
  all.push_back(std::move(program));
  all.insert(all.end(), args.begin(), args.end());
  return {launcher.front(), std::move(all)};
}

class Server {
 public:
  // On loopback unless told where to run and which address to bind.
  explicit Server(const Launcher& launcher = {}, const std::string& bind = "127.0.0.1")
      : process_(start(launcher, bind)) {
    const auto port = process_.waitForLine("listening on ", patience);
    if (!port) throw std::runtime_error("server did not start: " + process_.errText());
    port_ = static_cast<std::uint16_t>(std::stoi(*port));
  }
  std::uint16_t port() const { return port_; }
  // The call relay's port, as the server said; 0 when it has none.
  std::uint16_t relayPort() {
    const auto port = process_.waitForLine("call relay on ", std::chrono::milliseconds(0));
    return port ? static_cast<std::uint16_t>(std::stoi(*port)) : 0;
  }
  // What the server wrote to its log (standard error) so far.
  std::string log() const { return process_.errText(); }

 private:
  ChildProcess start(const Launcher& launcher, const std::string& bind) const {
    auto [program, args] =
        launch(launcher, ORVALIS_SERVER_PATH,
               {"--port", "0", "--bind", bind, "--db", dir_.file("server.db").string(),
                "--hash-cost", "min"});
    return ChildProcess(std::move(program), std::move(args));
  }

  TempDir dir_;
  ChildProcess process_;
  std::uint16_t port_ = 0;
};

struct PhoneSettings {
  std::int32_t msa = 0;
  std::uint16_t socks5Port = 0;  // calls out through this proxy when set
  std::string audio = "null";    // the --audio choice
  bool silentMelodies = false;   // every melody a rest, so only speech sounds
  bool fullDuplex = false;       // speaker and microphone open together
  std::int32_t soundSp = 0;      // the loudspeaker's device number
  std::int32_t soundMc = 0;      // the microphone's device number
  std::uint32_t serverHost = loopback;
  // The NAT option's address, announced by every login; by default
  // loopback, so that logins on this machine do not announce whatever its
  // host name resolves to. None: the option stays off, as a user leaves it.
  std::optional<std::uint32_t> reHost = loopback;
  std::uint16_t fixedPort = 0;  // the listener's port; 0: a free one
  Launcher launcher{};          // where the phone runs
  std::vector<std::string> args{};  // more of orvalis-cli's options
  std::int32_t nGsm = 0;            // frames per voice message, less one
  bool soundProcessing = true;      // echo cancellation and noise suppression
};

// One phone in a directory of its own. Expectations look at the lines
// printed since the last markNow, in any order.
class Phone {
 public:
  Phone(std::int32_t number, std::uint16_t serverPort, PhoneSettings settings = {})
      : number_(std::to_string(number)),
        launch_(launch(settings.launcher, ORVALIS_CLI_PATH, cliArgs(settings))) {
    store::CnfData cnf, cnfEdit;
    store::CConfig config(cnf, cnfEdit, dir_.dir());
    cnf.serverHost = settings.serverHost;
    cnf.serverPort = serverPort;
    cnf.dynamicPort = settings.fixedPort == 0 ? 1 : 0;
    if (settings.fixedPort != 0) cnf.userPort = settings.fixedPort;
    if (settings.reHost) {
      cnf.useReDirectCallIn = 1;
      cnf.reHost = *settings.reHost;
    }
    cnf.msa = settings.msa;
    cnf.nGsm = settings.nGsm;
    if (settings.socks5Port != 0) {
      cnf.useSocks5CallOut = 1;
      cnf.socks5Host = loopback;
      cnf.socks5Port = settings.socks5Port;
    }
    if (settings.fullDuplex) cnf.soundSystem = static_cast<std::int32_t>(store::SoundSystem::fullDuplex);
    cnf.soundSp = settings.soundSp;
    cnf.soundMc = settings.soundMc;
    if (settings.silentMelodies) {
      for (auto* melody : {&cnf.musicCallIn, &cnf.musicCallOut, &cnf.musicFind, &cnf.musicMsg})
        melody->set("1- ");
    }
    if (!config.save()) throw std::runtime_error("settings not saved");
    if (!store::saveSoundProcessing(dir_.file(std::string(store::deviceNamesFile)).string(),
                                    settings.soundProcessing))
      throw std::runtime_error("sound settings not saved");
    start();
  }

  const std::string& number() const { return number_; }
  const TempDir& dir() const { return dir_; }
  void send(std::string_view line) { process_->send(line); }
  void markNow() { mark_ = process_->mark(); }

  ::testing::AssertionResult expect(std::string_view text) { return expectWithin(text, patience); }
  ::testing::AssertionResult expectWithin(std::string_view text, std::chrono::milliseconds limit) {
    if (process_->waitForLine(mark_, text, limit)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "phone " << number_ << " did not print \"" << text << "\"; since the mark:\n"
           << process_->outputSince(mark_);
  }
  std::string outputSinceMark() const { return process_->outputSince(mark_); }
  bool printedSinceMark(std::string_view text) const {
    return process_->waitForLine(mark_, text, 0ms).has_value();
  }

  // Asks for the status until it contains every part.
  ::testing::AssertionResult expectStatus(std::initializer_list<std::string_view> parts) {
    std::string last;
    for (const auto until = std::chrono::steady_clock::now() + patience;
         std::chrono::steady_clock::now() < until;) {
      const std::size_t from = process_->mark();
      send("status");
      const auto at = process_->waitForLine(from, "serverState=", patience);
      if (!at) break;
      last = process_->line(*at);
      if (std::all_of(parts.begin(), parts.end(),
                      [&](std::string_view p) { return last.find(p) != std::string::npos; }))
        return ::testing::AssertionSuccess();
      send("wait 100");
    }
    return ::testing::AssertionFailure() << "phone " << number_ << " status stayed: " << last;
  }

  // A fresh status line; empty when none came.
  std::string status() {
    const std::size_t from = process_->mark();
    send("status");
    const auto at = process_->waitForLine(from, "serverState=", patience);
    return at ? process_->line(*at) : std::string();
  }

  // One value of a fresh status line.
  std::string statusValue(std::string_view key) {
    std::istringstream words(status());
    const std::string prefix = std::string(key) + '=';
    for (std::string word; words >> word;)
      if (word.starts_with(prefix)) return word.substr(prefix.size());
    return {};
  }

  // Registers the number as its user would: the phone keeps the password
  // and logs in.
  ::testing::AssertionResult registerNew() {
    markNow();
    send("register-new " + number_ + " secret1");
    if (auto r = expect("message: Registration Ok!"); !r) return r;
    return expectStatus({"serverState=2 "});
  }
  // Registers the number, then logs in again so that the login announces
  // the loopback address rather than whatever the host name resolves to.
  ::testing::AssertionResult registerOnServer() {
    if (auto r = registerNew(); !r) return r;
    return relogin();
  }
  ::testing::AssertionResult logOut() {
    send("disconnect");
    send("wait 150");  // the logout's sweep has started by then
    return expectStatus({"serverState=1 ", "authThread=0 "});
  }
  ::testing::AssertionResult relogin() {
    if (auto r = logOut(); !r) return r;
    send("connect");
    return expectStatus({"serverState=2 "});
  }

  // Ends the program as its user would; its exit status (a sanitizer
  // report makes it non-zero).
  int quit() { return process_->finish(patience); }
  // Ends the program with a signal; its exit status.
  int stopBySignal(int number) {
    signal(number);
    return quit();
  }
  void signal(int number) { process_->signal(number); }
  // The program's process, for a look at it in /proc.
  pid_t pid() const { return process_->pid(); }
  // Quits, and starts the program again on the same settings.
  int restart() {
    const int status = quit();
    start();
    return status;
  }

 private:
  void start() {
    process_.reset();
    process_ = std::make_unique<InteractiveProcess>(launch_.program, launch_.args,
                                                    dir_.path().string());
    mark_ = 0;
  }

  static std::vector<std::string> cliArgs(const PhoneSettings& settings) {
    std::vector<std::string> args{"--audio", settings.audio};
    args.insert(args.end(), settings.args.begin(), settings.args.end());
    return args;
  }

  TempDir dir_;
  std::string number_;
  Launch launch_;
  std::unique_ptr<InteractiveProcess> process_;
  std::size_t mark_ = 0;
};

inline void markAll(std::initializer_list<Phone*> phones) {
  for (Phone* p : phones) p->markNow();
}

// One call set up from caller to callee, answered, and both talking.
inline void connect(Phone& caller, Phone& callee) {
  markAll({&caller, &callee});
  caller.send("dial " + callee.number());
  EXPECT_TRUE(caller.expect("display: Search ..."));
  // Connected to the callee's listener: without that nothing else follows.
  ASSERT_TRUE(caller.expect("display: Output Call"));
  EXPECT_TRUE(caller.expect("state: stateClient=7"));
  EXPECT_TRUE(callee.expect("state: stateClient=6"));
  EXPECT_TRUE(callee.expect("number: " + caller.number()));
  ASSERT_TRUE(callee.expect("display: Input Call"));
  callee.send("dial");
  for (Phone* p : {&caller, &callee}) {
    EXPECT_TRUE(p->expect("display: User Online"));
    EXPECT_TRUE(p->expect("state: stateClient=8"));
  }
}

// Hangs up on one side; both end as the call ends.
inline void hangUpOn(Phone& side, Phone& other) {
  markAll({&side, &other});
  side.send("hangup");
  for (Phone* p : {&side, &other}) {
    EXPECT_TRUE(p->expect("display: User Disconnected"));
    EXPECT_TRUE(p->expect("state: stateClient=5"));
  }
}

}  // namespace orvalis::testing
