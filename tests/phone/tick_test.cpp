// The controller's tick: texts on the display, posted texts, automatic
// login rhythm and the deferred device and listener steps.

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <thread>
#include <utility>

#include "phone_fixture.h"
#include "support/scripted_server.h"

namespace orvalis::testing {
namespace {

using phone::MelodyKind;

TEST_F(PhoneTest, AutoLoginRunsOnFirstTickThenEveryTwentyFirst) {
  makePhone();
  ui.localHostShown = 0;
  phone().tick();
  EXPECT_EQ(ui.localHostShown, 1);
  EXPECT_EQ(ui.localHostLabel, "0.0.0.0");  // nothing but loopback reaches the server
  phone().cnf.connectServer = static_cast<std::int32_t>(store::ConnectWay::gate);
  phone().cnf.gateHost = htonl(0xC6336401);  // 198.51.100.1
  ticks(20);
  EXPECT_EQ(ui.localHostShown, 1);
  phone().tick();  // the 22nd tick: 21 ticks after the first
  EXPECT_EQ(ui.localHostShown, 2);
  EXPECT_EQ(ui.localHostLabel, "10.1.2.3");  // through the relay: the host's own
  ticks(21);
  EXPECT_EQ(ui.localHostShown, 3);
}

TEST_F(PhoneTest, TransientTextClearsOnItsLastTickAndZeroKeepsIt) {
  makePhone();
  phone().showState("Hello", 20, MelodyKind::info);
  ticks(19);
  EXPECT_EQ(ui.display(), "Hello");
  phone().tick();
  EXPECT_EQ(ui.display(), "");

  // A lasting text shown meanwhile cancels the expiry of the earlier one.
  phone().showState("Short", 5, MelodyKind::info);
  ticks(2);
  phone().showState("Stays", 0, MelodyKind::info);
  ticks(50);
  EXPECT_EQ(ui.display(), "Stays");
}

TEST_F(PhoneTest, ShownTextPlaysTheMelodyOfItsKind) {
  makePhone();
  phone().cnf.musicMsg = "4e2 !";
  audioLog.clear();
  phone().showState("a", 0, MelodyKind::callIn);
  phone().showState("b", 0, MelodyKind::info);
  phone().showState("c", 0, static_cast<MelodyKind>(9));
  const std::vector<std::string> expected = {
      "melody " + phone().cnf.musicCallIn.str(), "startMelody", "melody 4e2 !", "startMelody",
      "melody ", "startMelody"};
  EXPECT_EQ(audioLog, expected);
}

TEST_F(PhoneTest, OnlyTheLatestPostingIsShown) {
  makePhone();
  ui.displays.clear();
  phone().postState("first", 0, MelodyKind::info);
  phone().postState("second", 20, MelodyKind::callOut);
  phone().tick();
  EXPECT_EQ(ui.displays, std::vector<std::string>{"second"});
  EXPECT_EQ(phone().displayTicks, 20);
  phone().tick();
  EXPECT_EQ(ui.displays.size(), 1u);  // shown once
}

TEST_F(PhoneTest, PostingsFromWorkerThreadsReachTheDisplayWhole) {
  makePhone();
  std::vector<std::thread> workers;
  for (int t = 0; t < 3; ++t)
    workers.emplace_back([this, t] {
      for (int i = 0; i < 300; ++i)
        phone().postState("worker " + std::to_string(t) + " text " + std::to_string(i), 0,
                          MelodyKind::info);
    });
  for (int i = 0; i < 200; ++i) phone().tick();
  for (auto& w : workers) w.join();
  phone().tick();
  for (const auto& shown : ui.displays) EXPECT_EQ(shown.rfind("worker ", 0), 0u) << shown;
  EXPECT_NE(ui.display().find(" text 299"), std::string::npos);
}

TEST_F(PhoneTest, SetTextReplacesKnownCodesOnly) {
  makePhone();
  phone().setText(121, "Type it.");
  EXPECT_EQ(ui.loginPrompt, "Type it.");  // the login dialog's prompt follows at once
  EXPECT_EQ(phone().text(phone::PhoneText::txtEnterPasswd), "Type it.");

  ui.loginPrompt = "untouched";
  phone().setText(109, "nothing");
  phone().setText(99, "nothing");
  phone().setText(125, "nothing");
  EXPECT_EQ(ui.loginPrompt, "untouched");
  EXPECT_EQ(phone().text(phone::PhoneText::txtYourNumber), "It Is Your Number");

  phone().setText(104, "Looking ...");
  EXPECT_EQ(phone().text(phone::PhoneText::txtSearch), "Looking ...");
}

TEST_F(PhoneTest, TakeNumberHandsANewNumberOnce) {
  makePhone();
  EXPECT_EQ(phone().takeNumber(), 0);
  phone().number = 123456789;
  phone().numberChanged = true;
  EXPECT_EQ(phone().takeNumber(), 123456789);
  EXPECT_EQ(phone().takeNumber(), 0);
}

TEST_F(PhoneTest, PlaybackOpensTwoTicksAfterTheDevicesClose) {
  makePhone();
  phone().cnf.soundSp = 2;
  phone().cnf.nGsm = 3;
  audioLog.clear();
  phone().tick();  // the constructor asked for a restart of playback
  EXPECT_EQ(audioLog, (std::vector<std::string>{"closeCapture", "closePlayback"}));
  phone().tick();
  EXPECT_EQ(audioLog.size(), 2u);
  phone().tick();
  EXPECT_EQ(audioLog.back(), "openPlayback 2 4");
  ticks(5);
  EXPECT_EQ(audioLog.size(), 3u);

  // A restart asked while one runs does not start over.
  phone().restartPlayback();
  phone().tick();
  phone().restartPlayback();
  ticks(2);
  EXPECT_EQ(std::count(audioLog.begin(), audioLog.end(), "openPlayback 2 4"), 2);

  // A damaged record's frame count gives the default, also at the top of
  // the range, where adding one would overflow.
  for (const std::int32_t damaged : {5, -1, std::numeric_limits<std::int32_t>::max()}) {
    phone().cnf.nGsm = damaged;
    audioLog.clear();
    phone().restartPlayback();
    ticks(3);
    EXPECT_EQ(audioLog.back(), "openPlayback 2 2") << damaged;
  }
}

TEST_F(PhoneTest, HalfDuplexSwitchesTheDeviceTwoTicksLater) {
  makePhone();
  ticks(3);
  phone().cnf.soundMc = 1;
  phone().cnf.soundSystem = 0;  // full duplex: capture opens at once
  audioLog.clear();
  phone().switchToCapture();
  EXPECT_EQ(audioLog, std::vector<std::string>{"openCapture 1 2"});

  phone().cnf.soundSystem = 7;  // damaged: anything but full duplex is half
  audioLog.clear();
  phone().switchToCapture();
  EXPECT_TRUE(audioLog.empty());
  phone().tick();
  EXPECT_EQ(audioLog, std::vector<std::string>{"closePlayback"});
  ticks(2);
  EXPECT_EQ(audioLog.back(), "openCapture 1 2");

  audioLog.clear();
  phone().switchToPlayback();
  ticks(3);
  EXPECT_EQ(audioLog, (std::vector<std::string>{"closeCapture", "openPlayback 0 2"}));

  // The latest switch wins: the card never has both devices open.
  audioLog.clear();
  phone().switchToCapture();
  phone().switchToPlayback();
  ticks(3);
  EXPECT_EQ(audioLog, (std::vector<std::string>{"closeCapture", "openPlayback 0 2"}));

  // A call hung up just after it came up: the restart at its end cancels
  // the switch to the microphone still pending.
  phone().switchToCapture();
  phone().restartPlayback();
  ticks(4);
  EXPECT_FALSE(audio->captureIsOpen.load());
}

// The call thread may ask for a switch or a restart while the tick is in
// the middle of a countdown's step; the request must not be lost.
TEST_F(PhoneTest, ACountdownKeepsARequestMadeWhileItActs) {
  makePhone();
  phone().cnf.soundSystem = 1;
  ticks(3);
  struct Request {
    std::atomic<std::int32_t>& countdown;
    std::string lastStep;
    std::function<void()> ask;
  };
  const std::array<Request, 3> requests = {
      Request{phone().playRestart, "openPlayback 0 2", [this] { phone().restartPlayback(); }},
      Request{phone().toCapture, "openCapture 0 2", [this] { phone().switchToCapture(); }},
      Request{phone().toPlayback, "openPlayback 0 2", [this] { phone().switchToPlayback(); }}};
  for (const Request& r : requests) {
    bool askedAgain = false;
    audio->onRequest = [&](const std::string& line) {
      if (line == r.lastStep && !std::exchange(askedAgain, true)) r.ask();
    };
    r.ask();
    audioLog.clear();
    ticks(3);
    EXPECT_TRUE(askedAgain) << r.lastStep;
    EXPECT_EQ(r.countdown.load(), phone::deferredStartValue) << r.lastStep;
    ticks(3);
    EXPECT_EQ(std::count(audioLog.begin(), audioLog.end(), r.lastStep), 2) << r.lastStep;
    audio->onRequest = nullptr;
  }
}

TEST_F(PhoneTest, TheMicrophoneIsKeptReadyBetweenCallsInFullDuplexOnly) {
  makePhone();
  phone().cnf.soundSystem = 0;
  phone().cnf.soundMc = 1;
  ticks(3);  // the start-up's restart of playback
  EXPECT_EQ(audio->standbyDevice, 1);
  phone().cnf.soundSystem = 1;  // half duplex: the card cannot do both
  phone().restartPlayback();
  ticks(2);
  EXPECT_EQ(audio->standbyDevice, 1);  // with the speaker, not before
  phone().tick();
  EXPECT_EQ(audio->standbyDevice, -1);
}

// A call that comes up while the restart at the end of the previous one is
// still counting down: its microphone is open at the end of the countdown
// when this side may talk, and in half duplex the speaker is not.
TEST_F(PhoneTest, ACallUpDuringTheRestartAfterTheLastOneKeepsItsMicrophone) {
  makePhone();
  ticks(3);
  struct Case {
    std::int32_t system;
    std::int32_t mode;
    net::Floor floor;
    bool talks;
  };
  for (const Case c : {Case{0, 0, net::Floor::listening, true},
                       Case{0, net::callModePushToTalk, net::Floor::listening, false},
                       Case{0, net::callModePushToTalk, net::Floor::talking, true},
                       Case{1, 0, net::Floor::listening, true}}) {
    SCOPED_TRACE(::testing::Message() << "system " << c.system << " mode " << c.mode);
    phone().cnf.soundSystem = c.system;
    audioLog.clear();
    phone().restartPlayback();  // the call thread of the call that ended
    phone().callState.stateClient = net::ClientState::clientTalk;
    phone().callMode = c.mode;
    phone().floor = c.floor;
    if (c.talks) phone().switchToCapture();
    ticks(3);
    EXPECT_EQ(audio->captureOpen(), c.talks);
    // Whether the speaker is open after the last of its steps.
    const auto steps = deviceSteps();
    const auto last = std::find_if(steps.rbegin(), steps.rend(),
                                   [](const std::string& s) { return s.find("Playback") != s.npos; });
    ASSERT_NE(last, steps.rend());
    EXPECT_EQ(last->starts_with("open"), c.system == 0 || !c.talks);
    phone().stopCapture();
  }

  // So does the microphone test started just after Apply restarted them.
  phone().cnf.soundSystem = 0;
  phone().callState.stateClient = net::ClientState::clientIdle;
  phone().restartPlaybackOutsideCall();
  ASSERT_TRUE(phone().startMicTest());
  ticks(3);
  EXPECT_TRUE(audio->captureOpen());
}

TEST_F(PhoneTest, ADeviceThatFailedToOpenIsSaidOnceAtEachCall) {
  makePhone();
  ticks(3);
  audio->failures = {.playback = true, .capture = true};
  ticks(2);
  EXPECT_TRUE(ui.messages.empty());  // no call: nothing needs them
  phone().callState.stateClient = net::ClientState::clientIncoming;
  phone().tick();
  EXPECT_EQ(ui.messages, (std::vector<std::string>{
                             "The loudspeaker cannot be opened: the call is not heard.",
                             "The microphone cannot be opened: the other side hears nothing."}));
  phone().callState.stateClient = net::ClientState::clientTalk;
  ticks(2);
  EXPECT_EQ(ui.messages.size(), 2u);
  phone().callState.stateClient = net::ClientState::clientIdle;
  audio->failures = {.playback = false, .capture = true};
  phone().tick();
  phone().callState.stateClient = net::ClientState::clientOutgoing;
  phone().tick();
  ASSERT_EQ(ui.messages.size(), 3u);
  EXPECT_EQ(ui.messages.back(), "The microphone cannot be opened: the other side hears nothing.");
  // The microphone test needs the microphone as well.
  phone().callState.stateClient = net::ClientState::clientIdle;
  phone().tick();
  ASSERT_TRUE(phone().startMicTest());
  phone().tick();
  EXPECT_EQ(ui.messages.size(), 4u);
}

TEST_F(PhoneTest, DevicesAreRememberedByNameAndAMissingOneIsSaidOnce) {
  makePhone();
  audio->speakers = {"Card", "USB headset"};
  audio->microphones = {"Card", "USB headset"};
  phone().cnf.soundSp = 1;
  ticks(3);  // the start-up's restart of playback learns the names
  EXPECT_EQ(audioLog.back(), "openPlayback 1 2");
  std::ifstream saved(dir.file("sound201.txt"));
  std::string text((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "speaker=USB headset\nmicrophone=Card\n");

  // The headset became the system's default, so it comes first: the phone
  // follows it, not the position.
  audio->speakers = {"USB headset", "Card"};
  audio->microphones = {"USB headset", "Card"};
  phone().restartPlayback();
  ticks(3);
  EXPECT_EQ(audioLog.back(), "openPlayback 0 2");
  EXPECT_EQ(phone().cnf.soundSp.get(), 0);
  EXPECT_EQ(phone().cnf.soundMc.get(), 1);
  EXPECT_EQ(phone().cnfEdit.soundMc.get(), 1);
  EXPECT_TRUE(ui.messages.empty());

  // Unplugged: the default is used, and that is said once.
  audio->speakers = {"Card"};
  phone().restartPlayback();
  ticks(3);
  EXPECT_EQ(audioLog.back(), "openPlayback 0 2");
  EXPECT_EQ(ui.messages, std::vector<std::string>{
                             "The loudspeaker \"USB headset\" is missing: the default device is used."});
  phone().restartPlayback();
  ticks(3);
  EXPECT_EQ(ui.messages.size(), 1u);

  // Plugged in again (as the second device): back to it.
  audio->speakers = {"Card", "USB headset"};
  phone().restartPlayback();
  ticks(3);
  EXPECT_EQ(audioLog.back(), "openPlayback 1 2");

  // The user's own choice is remembered by its name.
  phone().cnf.soundSp = 0;
  phone().rememberDevices();
  phone().restartPlayback();
  ticks(3);
  EXPECT_EQ(audioLog.back(), "openPlayback 0 2");
  std::ifstream again(dir.file("sound201.txt"));
  std::string now((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
  EXPECT_EQ(now, "speaker=Card\nmicrophone=Card\n");
  EXPECT_EQ(ui.messages.size(), 1u);
}

// Reading the device lists afresh restarts the sound library: not while
// anything sounds that it would cut.
TEST_F(PhoneTest, DeviceListsAreReadAfreshOnlyWhenNothingSounds) {
  makePhone();
  ticks(3);
  EXPECT_TRUE(phone().refreshDevices());
  EXPECT_EQ(audio->refreshes, 1);
  audio->sounding = true;
  EXPECT_FALSE(phone().refreshDevices());
  audio->sounding = false;
  ASSERT_TRUE(phone().startMicTest());
  EXPECT_FALSE(phone().refreshDevices());
  phone().stopMicTest();
  for (const auto state : {net::ClientState::clientIncoming, net::ClientState::clientOutgoing,
                           net::ClientState::clientTalk}) {
    phone().callState.stateClient = state;
    EXPECT_FALSE(phone().refreshDevices());
  }
  phone().callState.stateClient = net::ClientState::clientIdle;
  EXPECT_EQ(audio->refreshes, 1);
  EXPECT_TRUE(phone().refreshDevices());
}

TEST_F(PhoneTest, MicrophoneTestStartsOnlyWhenIdleAndStopsByDuplexMode) {
  makePhone();
  ticks(3);
  phone().cnf.soundSystem = 0;
  audioLog.clear();
  ASSERT_TRUE(phone().startMicTest());
  EXPECT_EQ(audioLog, std::vector<std::string>{"openCapture 0 2"});
  EXPECT_FALSE(phone().startMicTest());  // its recording runs
  phone().stopMicTest();
  EXPECT_EQ(audioLog.back(), "closeCapture");

  phone().callState.stateClient = net::ClientState::clientTalk;
  EXPECT_FALSE(phone().startMicTest());
  phone().callState.stateClient = net::ClientState::clientIdle;

  phone().cnf.soundSystem = 1;  // half duplex: the switches wait for ticks
  ASSERT_TRUE(phone().startMicTest());
  ticks(3);
  EXPECT_EQ(audioLog.back(), "openCapture 0 2");
  phone().stopMicTest();
  ticks(3);
  EXPECT_EQ(audioLog.back(), "openPlayback 0 2");

  // Stop touches no device when no test runs, above all not the
  // microphone of a call.
  for (const std::int32_t system : {0, 1}) {
    phone().cnf.soundSystem = system;
    phone().startCapture();
    audioLog.clear();
    phone().stopMicTest();
    phone().callState.stateClient = net::ClientState::clientTalk;
    phone().stopMicTest();
    ticks(3);
    EXPECT_TRUE(deviceSteps().empty()) << system;
    EXPECT_TRUE(audio->captureOpen()) << system;
    phone().callState.stateClient = net::ClientState::clientIdle;
  }
}

TEST_F(PhoneTest, ACallThatStartsDuringTheMicrophoneTestEndsIt) {
  ScriptedServer callee(net::ansDone, 2);  // takes each call and never answers
  makePhone();
  ticks(3);
  for (const std::int32_t system : {1, 0}) {
    phone().cnf.soundSystem = system;
    ASSERT_TRUE(phone().startMicTest());
    ticks(3);
    ASSERT_TRUE(audio->captureOpen());
    audioLog.clear();
    const std::size_t calls = callee.requests().size();
    ASSERT_EQ(phone().startCall(htonl(INADDR_LOOPBACK), callee.port()), 1);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (callee.requests().size() == calls && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(callee.requests().size(), calls + 1);  // the call thread is past its start

    EXPECT_EQ(audio->testStates(), audio::TestStates{});
    // Full duplex lets the microphone go at once; half duplex switches back
    // to playback on the ticks of this thread.
    EXPECT_EQ(audio->captureOpen(), system != 0);
    ticks(3);
    EXPECT_FALSE(audio->captureOpen()) << system;
    const std::vector<std::string> backToPlayback = {"closeCapture", "openPlayback 0 2"};
    const std::vector<std::string> closedOnly = {"closeCapture"};
    EXPECT_EQ(deviceSteps(), system == 0 ? closedOnly : backToPlayback);
    phone().hangUp();
    // The tick reaps the call thread once it has finished.
    for (int i = 0; i < 500 && phone().callThreads() != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      phone().tick();
    }
    ASSERT_EQ(phone().callThreads(), 0u);
    ticks(3);
  }
}

TEST_F(PhoneTest, SoundTickCountsTheVoiceHoldDownWhileTheMicrophoneIsOpen) {
  makePhone();
  audio->captureIsOpen = true;
  phone().voiceActive = 1;
  phone().voiceHold = 2;
  phone().soundTick();
  EXPECT_EQ(phone().voiceHold.load(), 1);
  phone().soundTick();
  phone().soundTick();
  EXPECT_EQ(phone().voiceHold.load(), 0);
  EXPECT_EQ(phone().voiceActive.load(), 1);  // the detector clears it
  EXPECT_EQ(audio->holdTicks, 3);

  phone().voiceHold = 30;
  audio->captureIsOpen = false;
  phone().soundTick();
  EXPECT_EQ(phone().voiceHold.load(), 0);
  EXPECT_EQ(phone().voiceActive.load(), 0);
}

TEST_F(PhoneTest, ListenerRestartClosesTheSocketsAtOnce) {
  makePhone();
  auto pair = std::array<int, 2>{};
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair.data()), 0);
  auto call = std::make_shared<net::Socket>(pair[0]);
  auto other = std::make_shared<net::Socket>(pair[1]);
  phone().callState.sockClient.set(call);
  phone().callState.stateClient = net::ClientState::clientTalk;
  phone().callState.refreshLocalPort = true;

  phone().restartListener();
  phone().tick();
  EXPECT_FALSE(call->isOpen());
  EXPECT_FALSE(phone().callState.sockClient);
  EXPECT_EQ(phone().callState.stateClient.load(), net::ClientState::clientIdle);
  EXPECT_EQ(phone().callState.stateBind.load(), net::BindState::bindStopped);
  EXPECT_FALSE(phone().callState.refreshLocalPort.load());
  EXPECT_EQ(phone().bindRestart, 2);
  ticks(2);
  EXPECT_EQ(phone().bindRestart, 0);
}

TEST_F(PhoneTest, ServerTestLabelClearsWhenItsTimeRunsOut) {
  makePhone();
  phone().testServerTicks = 3;
  ticks(2);
  EXPECT_EQ(ui.testServerLabel, "unset");
  phone().tick();
  EXPECT_EQ(ui.testServerLabel, "");
}

}  // namespace
}  // namespace orvalis::testing
