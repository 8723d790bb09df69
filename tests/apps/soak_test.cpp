// A soak of two headless phones on loopback with a real server: many calls,
// each hung up from either side at a random moment of its road (search,
// ringing, handshake, talk), push-to-talk keys pressed at random and now
// and then a microphone test. Afterwards both phones are idle, logged in,
// answer at once and hold no more descriptors or threads than before.
// ORVALIS_SOAK_CALLS sets the number of calls, ORVALIS_SOAK_SEED the
// random choices (bench/soak.sh runs a long one).

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "cli_phones.h"

namespace orvalis::testing {
namespace {

constexpr std::uint64_t defaultCalls = 50;  // about a minute in the ThreadSanitizer build
constexpr std::uint64_t defaultSeed = 20261208;

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

enum class Moment { search, ringing, handshake, talk };
constexpr std::array momentNames{"search", "ringing", "handshake", "talk"};

class Soak {
 public:
  Soak(Phone& a, Phone& b, std::uint64_t seed) : a_(a), b_(b), random_(seed) {}

  // One call from a random side, hung up by a random side at a random
  // moment; then both phones are idle again. What both printed is shown
  // when it goes wrong.
  void call(std::uint64_t index) {
    placeAndEnd(index);
    if (!::testing::Test::HasFatalFailure()) return;
    for (const Phone* p : {&a_, &b_})
      std::printf("phone %s printed:\n%s\n", p->number().c_str(), p->outputSinceMark().c_str());
  }

  // What both phones hold at rest, the measure for every call after: the
  // least seen over a second, while the sound devices' last switches end.
  void takeBaseline() {
    before_ = {holdingsOf(a_.pid()), holdingsOf(b_.pid())};
    for (const auto until = Clock::now() + 1s; Clock::now() < until;) {
      std::this_thread::sleep_for(50ms);
      for (int side = 0; side < 2; ++side) {
        const Holdings now = holdingsOf((side == 0 ? a_ : b_).pid());
        before_[side] = {std::min(before_[side].fds, now.fds),
                         std::min(before_[side].threads, now.threads)};
      }
    }
  }

  // Whether both phones hold no more than at the baseline, given a while
  // to let go of what the call just ended still had.
  ::testing::AssertionResult holdNoMore() {
    std::string figures;
    bool within = true;
    for (int side = 0; side < 2; ++side) {
      const Phone& p = side == 0 ? a_ : b_;
      Holdings now = holdingsOf(p.pid());
      for (const auto until = Clock::now() + 5s; !now.within(before_[side]) && Clock::now() < until;
           now = holdingsOf(p.pid()))
        std::this_thread::sleep_for(50ms);
      within = within && now.within(before_[side]);
      figures += "phone " + p.number() + " fds " + std::to_string(before_[side].fds) + " -> " +
                 std::to_string(now.fds) + ", threads " + std::to_string(before_[side].threads) +
                 " -> " + std::to_string(now.threads) + "\n";
    }
    if (within) return ::testing::AssertionSuccess() << figures;
    return ::testing::AssertionFailure() << "more held than before:\n" << figures;
  }

  // Hangs up whatever still runs until both phones stay idle: a hang-up
  // during the search does not stop it, so its call can still start.
  ::testing::AssertionResult settle() {
    constexpr int quietPolls = 5;
    const auto until = Clock::now() + patience;
    std::string statuses;
    for (int quiet = 0; quiet < quietPolls;) {
      if (Clock::now() > until)
        return ::testing::AssertionFailure() << "the phones stayed busy:\n" << statuses;
      statuses.clear();
      ++quiet;
      for (Phone* p : {&a_, &b_}) {
        const std::string status = p->status();
        statuses += p->number() + ": " + status + "\n";
        if (idle(status)) continue;
        quiet = 0;
        p->send("hangup");
      }
      std::this_thread::sleep_for(100ms);  // the poll's pace
    }
    return ::testing::AssertionSuccess();
  }

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
  std::array<Holdings, 2> before_{};
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

}  // namespace
}  // namespace orvalis::testing
