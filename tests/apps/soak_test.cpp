// A soak of two headless phones on loopback with a real server: many calls,
// each hung up from either side at a random moment of its road (search,
// ringing, handshake, talk), push-to-talk keys pressed at random and now
// and then a microphone test. Afterwards both phones are idle, logged in,
// answer at once and hold no more descriptors or threads than before.
// Then bursts of commands to three phones, with every processor kept busy:
// after each one all three are idle and place a call, holding no more than
// before. ORVALIS_SOAK_CALLS sets the number of calls, ORVALIS_CHAOS_BURSTS
// that of bursts, ORVALIS_SOAK_SEED the random choices (bench/soak.sh runs
// long ones).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include "cli_phones.h"

namespace orvalis::testing {
namespace {

constexpr std::uint64_t defaultCalls = 50;  // about a minute in the ThreadSanitizer build
constexpr std::uint64_t defaultSeed = 20261208;
constexpr std::uint64_t defaultBursts = 8;

std::uint64_t fromEnvironment(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::stoull(text) : fallback;
}

// What a process holds: open descriptors and threads.
struct Holdings {
  int fds = 0;
  int threads = 0;
  bool within(const Holdings& limit) const { return fds <= limit.fds && threads <= limit.threads; }
};

int entries(const std::filesystem::path& dir) {
  std::error_code error;
  int count = 0;
  for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end;
       it.increment(error))
    ++count;
  return count;
}

Holdings holdingsOf(pid_t pid) {
  const std::filesystem::path proc = "/proc/" + std::to_string(pid);
  return {entries(proc / "fd"), entries(proc / "task")};
}

// Whether a status line shows an idle phone with no search under way.
bool idle(const std::string& status) {
  return status.find("stateClient=5 ") != std::string::npos &&
         status.find("findState=0 ") != std::string::npos;
}

// Whether a status line shows a phone logged in at the port it listens on:
// after a change of port, callers are sent to the old one until then.
bool announcedItsPort(const std::string& status) {
  const auto value = [&](const std::string& key) {
    const auto at = status.find(" " + key + "=");
    if (at == std::string::npos) return std::string();
    const auto from = at + key.size() + 2;
    return status.substr(from, status.find(' ', from) - from);
  };
  const std::string port = value("userPort");
  const std::string reachable = value("reachableAt");
  return status.starts_with("serverState=2 ") && value("stateBind") == "3" && !port.empty() &&
         reachable.ends_with(":" + port);
}

// Phones watched together: what each holds at rest, and the settling of
// all of them after calls.
class Fleet {
 public:
  explicit Fleet(std::vector<Phone*> phones) : phones_(std::move(phones)) {}

  // What every phone holds at rest, the measure for every call after: the
  // least seen over a second, while the sound devices' last switches end.
  void takeBaseline() {
    before_.clear();
    for (const Phone* p : phones_) before_.push_back(holdingsOf(p->pid()));
    for (const auto until = Clock::now() + 1s; Clock::now() < until;) {
      std::this_thread::sleep_for(50ms);
      for (std::size_t i = 0; i < phones_.size(); ++i) {
        const Holdings now = holdingsOf(phones_[i]->pid());
        before_[i] = {std::min(before_[i].fds, now.fds), std::min(before_[i].threads, now.threads)};
      }
    }
  }

  // Whether every phone holds no more than at the baseline, given a while
  // to let go of what the call just ended still had.
  ::testing::AssertionResult holdNoMore() {
    std::string figures;
    bool within = true;
    for (std::size_t i = 0; i < phones_.size(); ++i) {
      const Phone& p = *phones_[i];
      Holdings now = holdingsOf(p.pid());
      for (const auto until = Clock::now() + 5s; !now.within(before_[i]) && Clock::now() < until;
           now = holdingsOf(p.pid()))
        std::this_thread::sleep_for(50ms);
      within = within && now.within(before_[i]);
      figures += "phone " + p.number() + " fds " + std::to_string(before_[i].fds) + " -> " +
                 std::to_string(now.fds) + ", threads " + std::to_string(before_[i].threads) +
                 " -> " + std::to_string(now.threads) + "\n";
    }
    if (within) return ::testing::AssertionSuccess() << figures;
    return ::testing::AssertionFailure() << "more held than before:\n" << figures;
  }

  // Hangs up whatever still runs until every phone stays idle (and, with
  // loggedIn, logged in): a hang-up during the search does not stop it, so
  // its call can still start.
  ::testing::AssertionResult settle(bool loggedIn = false) {
    constexpr int quietPolls = 5;
    const auto until = Clock::now() + patience;
    std::string statuses;
    for (int quiet = 0; quiet < quietPolls;) {
      if (Clock::now() > until)
        return ::testing::AssertionFailure() << "the phones stayed busy:\n" << statuses;
      statuses.clear();
      ++quiet;
      for (Phone* p : phones_) {
        const std::string status = p->status();
        statuses += p->number() + ": " + status + "\n";
        if (idle(status) && (!loggedIn || announcedItsPort(status))) continue;
        quiet = 0;
        if (!idle(status)) p->send("hangup");
      }
      std::this_thread::sleep_for(100ms);  // the poll's pace
    }
    return ::testing::AssertionSuccess();
  }

  // What every phone printed since its mark.
  void showOutput() const {
    for (const Phone* p : phones_)
      std::printf("phone %s printed:\n%s\n", p->number().c_str(), p->outputSinceMark().c_str());
  }

 private:
  std::vector<Phone*> phones_;
  std::vector<Holdings> before_;
};

enum class Moment { search, ringing, handshake, talk };
constexpr std::array momentNames{"search", "ringing", "handshake", "talk"};

class Soak {
 public:
  Soak(Phone& a, Phone& b, std::uint64_t seed) : a_(a), b_(b), random_(seed), fleet_({&a, &b}) {}

  // One call from a random side, hung up by a random side at a random
  // moment; then both phones are idle again. What both printed is shown
  // when it goes wrong.
  void call(std::uint64_t index) {
    placeAndEnd(index);
    if (::testing::Test::HasFatalFailure()) fleet_.showOutput();
  }

  void takeBaseline() { fleet_.takeBaseline(); }
  ::testing::AssertionResult holdNoMore() { return fleet_.holdNoMore(); }
  ::testing::AssertionResult settle() { return fleet_.settle(); }

 private:
  void placeAndEnd(std::uint64_t index) {
    const bool aCalls = chance(50);
    Phone& caller = aCalls ? a_ : b_;
    Phone& callee = aCalls ? b_ : a_;
    Phone& hanger = chance(50) ? caller : callee;
    const auto moment = static_cast<Moment>(below(momentNames.size()));
    SCOPED_TRACE("call " + std::to_string(index) + ": " + caller.number() + " calls, " +
                 hanger.number() + " hangs up at " + momentNames[static_cast<int>(moment)]);
    caller.send(chance(50) ? "config set msa 1" : "config set msa 0");  // push-to-talk or not
    if (chance(15)) micTest(chance(50) ? caller : callee);

    markAll({&caller, &callee});
    caller.send("dial " + callee.number());
    if (moment != Moment::search) {
      ASSERT_TRUE(callee.expect("display: Input Call"));
      if (moment != Moment::ringing) callee.send("dial");
      if (moment == Moment::talk) {
        for (Phone* p : {&caller, &callee}) ASSERT_TRUE(p->expect("display: User Online"));
        pressFloorKeys();
      }
    }
    pause(hanger, moment == Moment::handshake ? 50 : 300);
    hanger.send("hangup");
    if (moment != Moment::search) {
      for (Phone* p : {&caller, &callee}) EXPECT_TRUE(p->expect("display: User Disconnected"));
    }
    ASSERT_TRUE(settle());
    ASSERT_TRUE(holdNoMore());
  }

  bool chance(int percent) { return below(100) < static_cast<std::uint64_t>(percent); }
  std::uint64_t below(std::uint64_t n) {
    return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(random_);
  }

  // The phone reads no further line for a random while up to most ms.
  void pause(Phone& phone, int most) { phone.send("wait " + std::to_string(below(most + 1))); }

  void pressFloorKeys() {
    for (auto presses = below(5); presses > 0; --presses) {
      Phone& p = chance(50) ? a_ : b_;
      p.send(chance(50) ? "floor-request" : "floor-offer");
      pause(p, 100);
    }
  }

  // Starts the microphone test, and stops it or leaves it to the call.
  void micTest(Phone& phone) {
    phone.send("mic-test start");
    pause(phone, 400);
    if (chance(50)) phone.send("mic-test stop");
  }

  Phone& a_;
  Phone& b_;
  std::mt19937_64 random_;
  Fleet fleet_;
};

TEST(PhoneSoak, CallsHungUpAtRandomMomentsLeaveBothPhonesIdleAndNothingHeld) {
  const std::uint64_t calls = fromEnvironment("ORVALIS_SOAK_CALLS", defaultCalls);
  const std::uint64_t seed = fromEnvironment("ORVALIS_SOAK_SEED", defaultSeed);
  SCOPED_TRACE("ORVALIS_SOAK_SEED=" + std::to_string(seed));
  Server server;
  // Voice flows in every call: a virtual microphone's silence, sent as is.
  Phone a(200000001, server.port(), {.audio = "wav:,"});
  Phone b(200000002, server.port(), {.audio = "wav:,"});
  for (Phone* p : {&a, &b}) ASSERT_TRUE(p->registerOnServer());
  Soak soak(a, b, seed);

  // A first call and microphone test open what stays open between calls.
  ASSERT_NO_FATAL_FAILURE(connect(a, b));
  b.send("wait 500");  // a call of some length
  hangUpOn(b, a);
  a.markNow();
  a.send("mic-test start");
  ASSERT_TRUE(a.expect("mic-test: rec=0"));
  a.send("mic-test stop");
  ASSERT_TRUE(soak.settle());
  soak.takeBaseline();

  const auto start = Clock::now();
  std::uint64_t done = 0;
  for (; done < calls && !::testing::Test::HasFatalFailure(); ++done) soak.call(done);
  const double took = secondsSince(start);
  std::printf("[figure] soak: %llu calls placed in %.1f s (%.2f s a call), seed %llu\n",
              static_cast<unsigned long long>(done), took, took / static_cast<double>(done),
              static_cast<unsigned long long>(seed));
  if (::testing::Test::HasFatalFailure()) return;

  for (Phone* p : {&a, &b}) {
    const auto asked = Clock::now();
    const std::string status = p->status();
    const double answered = secondsSince(asked);
    EXPECT_TRUE(idle(status)) << status;
    EXPECT_NE(status.find("serverState=2 "), std::string::npos) << status;
    EXPECT_LT(answered, 2.0) << "status took " << answered << " s";
  }
  const auto held = soak.holdNoMore();
  EXPECT_TRUE(held);
  std::printf("[figure] soak: held before and after the calls:\n%s", held.message());
  for (Phone* p : {&a, &b}) EXPECT_EQ(p->quit(), 0);
}

// Keeps every processor busy while it lives, so that the phones' threads
// are preempted at any step.
class Burners {
 public:
  Burners() {
    for (unsigned i = 0; i < std::max(1u, std::thread::hardware_concurrency()); ++i) {
      threads_.emplace_back([this] {
        std::uint64_t spin = 0;
        while (!stop_.load(std::memory_order_relaxed)) spin = spin * 6364136223846793005u + 1;
        sink_.fetch_add(spin, std::memory_order_relaxed);
      });
    }
  }
  ~Burners() {
    stop_ = true;
    for (std::thread& t : threads_) t.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> sink_{0};
  std::vector<std::thread> threads_;
};

// Bursts of commands to three phones at random moments: dials, hang-ups,
// answers, redials, calls that cross, and changes of the listening port.
class Chaos {
 public:
  Chaos(std::vector<Phone*> phones, std::uint64_t seed)
      : phones_(std::move(phones)), random_(seed), fleet_(phones_) {}

  Fleet& fleet() { return fleet_; }

  // One burst, then every phone idle, logged in, and able to call the next.
  void burst(std::uint64_t index) {
    for (Phone* p : phones_) p->markNow();
    const auto steps = 3 + below(8);
    std::string done;
    for (std::uint64_t i = 0; i < steps; ++i) done += step() + "; ";
    SCOPED_TRACE("burst " + std::to_string(index) + ": " + done);
    EXPECT_TRUE(fleet_.settle(true));
    Phone& caller = *phones_[index % phones_.size()];
    Phone& callee = *phones_[(index + 1) % phones_.size()];
    if (!::testing::Test::HasFailure()) connect(caller, callee);
    if (!::testing::Test::HasFailure()) hangUpOn(callee, caller);
    EXPECT_TRUE(fleet_.settle(true));
    EXPECT_TRUE(fleet_.holdNoMore());
    if (::testing::Test::HasFailure()) fleet_.showOutput();
  }

 private:
  // One random command (or two, for calls that cross); what it was.
  std::string step() {
    Phone& p = *phones_[below(phones_.size())];
    Phone& other = *phones_[(&p - phones_.front() + 1 + below(phones_.size() - 1)) % phones_.size()];
    std::this_thread::sleep_for(std::chrono::milliseconds(below(120)));
    const std::string who = p.number().substr(7);
    switch (below(6)) {
      case 0:
        p.send("dial " + other.number());
        return who + " dials " + other.number().substr(7);
      case 1:
        p.send("hangup");
        return who + " hangs up";
      case 2:
        p.send("dial");
        return who + " answers";
      case 3:
        p.send("hangup");
        p.send("dial " + other.number());
        return who + " redials " + other.number().substr(7);
      case 4:
        p.send("dial " + other.number());
        other.send("dial " + p.number());
        return who + " crosses " + other.number().substr(7);
      default: {
        // The system's choice, or the port it gave last: either way a
        // restart of the listener and a new login.
        const bool dynamic = below(2) == 0;
        p.send(std::string("config set dynamicPort ") + (dynamic ? "1" : "0"));
        return who + (dynamic ? " takes a new port" : " keeps its port");
      }
    }
  }

  std::uint64_t below(std::uint64_t n) {
    return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(random_);
  }

  std::vector<Phone*> phones_;
  std::mt19937_64 random_;
  Fleet fleet_;
};

// ORVALIS_CHAOS_BURSTS sets the number of bursts (bench/soak.sh runs 200).
TEST(PhoneSoak, BurstsOnThreeBusyPhonesLeaveEachIdleAndAbleToCall) {
  const std::uint64_t bursts = fromEnvironment("ORVALIS_CHAOS_BURSTS", defaultBursts);
  const std::uint64_t seed = fromEnvironment("ORVALIS_SOAK_SEED", defaultSeed);
  SCOPED_TRACE("ORVALIS_SOAK_SEED=" + std::to_string(seed));
  Server server;
  Phone a(200000001, server.port(), {.audio = "wav:,"});
  Phone b(200000002, server.port(), {.audio = "wav:,"});
  Phone c(200000003, server.port(), {.audio = "wav:,"});
  for (Phone* p : {&a, &b, &c}) ASSERT_TRUE(p->registerOnServer());
  Chaos chaos({&a, &b, &c}, seed);
  // A first call on each phone opens what stays open between calls.
  for (auto [caller, callee] : {std::pair{&a, &b}, std::pair{&b, &c}, std::pair{&c, &a}}) {
    ASSERT_NO_FATAL_FAILURE(connect(*caller, *callee));
    hangUpOn(*callee, *caller);
  }
  ASSERT_TRUE(chaos.fleet().settle(true));
  chaos.fleet().takeBaseline();

  const auto start = Clock::now();
  std::uint64_t done = 0;
  {
    const Burners busy;
    for (; done < bursts && !::testing::Test::HasFailure(); ++done) chaos.burst(done);
  }
  std::printf("[figure] chaos: %llu bursts on three busy phones in %.1f s, seed %llu\n",
              static_cast<unsigned long long>(done), secondsSince(start),
              static_cast<unsigned long long>(seed));
  const auto held = chaos.fleet().holdNoMore();
  EXPECT_TRUE(held);
  std::printf("[figure] chaos: held before and after the bursts:\n%s", held.message());
  for (Phone* p : {&a, &b, &c}) EXPECT_EQ(p->quit(), 0);
}

}  // namespace
}  // namespace orvalis::testing
