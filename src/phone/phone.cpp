#include "phone/phone.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <utility>

#include "net/address.h"
#include "net/announce.h"
#include "net/message_codes.h"
#include "store/gsm_frames.h"

namespace orvalis::phone {

using net::SlotState;

namespace {

// How long start-up waits for the listener to bind, so that the first
// login announces a port that listens.
constexpr std::chrono::milliseconds listenerStartWait{1000};

constexpr std::string_view speakerFailedText =
    "The loudspeaker cannot be opened: the call is not heard.";
constexpr std::string_view microphoneFailedText =
    "The microphone cannot be opened: the other side hears nothing.";

constexpr std::string_view soundAfterCallText =
    "The new sound settings take effect when the call ends.";
constexpr std::string_view connectionAfterCallText =
    "The new connection settings take effect when the call ends.";

// One step of a countdown: the value is read and decremented in one atomic
// step, before the step acts, so that a request stored meanwhile by the
// call thread is kept for the following ticks. Returns the value taken.
std::int32_t takeStep(std::atomic<std::int32_t>& value) {
  std::int32_t seen = value.load();
  while (seen > 0 && !value.compare_exchange_weak(seen, seen - 1)) {
  }
  return seen;
}
std::int32_t takeStep(std::int32_t& value) { return value > 0 ? value-- : value; }

// Whether this side of an established call speaks: always, or in
// push-to-talk while it holds the floor.
bool mayTalk(const net::CallState& call, const net::CallFields& fields) {
  if (call.stateClient.load() != net::ClientState::clientTalk) return false;
  return (fields.callMode.load() & net::callModePushToTalk) == 0 ||
         fields.floor.load() == net::Floor::talking;
}

// Keeps tick from being re-entered while a modal dialog runs inside it.
class TickGuard {
 public:
  explicit TickGuard(bool& flag) : flag_(flag) { flag_ = true; }
  ~TickGuard() { flag_ = false; }
  TickGuard(const TickGuard&) = delete;
  TickGuard& operator=(const TickGuard&) = delete;

 private:
  bool& flag_;
};

}  // namespace

CPhone::CPhone(PhoneUi& ui, std::string baseDir, const AudioFactory& makeAudio,
               HostLookup hostLookup, net::ReachOptions reachOptions)
    : config(cnf, cnfEdit, std::move(baseDir)),
      addrBook(config.usersPath,
               [this] { display_.showMessage(text(PhoneText::txtWrongNumber)); }),
      serverKeys(std::filesystem::path(config.cnfPath).replace_filename("server-keys").string()),
      display_(ui),
      audio_(makeAudio ? makeAudio(audio::SoundLinks{cnf, *this, callState, voiceLevel, voiceHold,
                                                     [this] { switchToPlayback(); }})
                       : nullptr),
      hostLookup_(hostLookup ? std::move(hostLookup) : HostLookup(net::localHostAddress)) {
  reach_ = std::make_unique<net::ReachKeeper>(std::move(reachOptions));
  if (!audio_) audio_ = std::make_unique<audio::SilentAudio>();
  devicesPath_ =
      std::filesystem::path(config.cnfPath).replace_filename(store::deviceNamesFile).string();
  savedDevices_ = store::loadDeviceNames(devicesPath_);
  soundProcessing_ = store::loadSoundProcessing(devicesPath_);
  loadOwnKeys();
  audio_->setSoundProcessing(soundProcessing_);
  // POSIX sockets need no start-up of their own.
  netReady = true;
  refreshLocalHost();
  net::resetNetState(callState);
  if (!callState.sockBind) startListener();
  restartPlayback();
  askPasswd = false;
}

CPhone::~CPhone() {
  // By now the window has waited for the logout; whatever is still under
  // way is given up rather than waited for.
  if (authServer) authServer->abort();
  for (const auto& logout : leaving_) logout->abort();
  authServer.reset();
  leaving_.clear();
  // The mapping goes from the router, and the relay link hands over no
  // more connections.
  reach_.reset();
  stopNetwork();  // ends the listener and the call thread
  replaceListener(nullptr);
  reapCallThreads(true);
}

// ---- display -------------------------------------------------------------

void CPhone::showState(std::string_view text, std::int32_t ticks, MelodyKind melody) {
  display_.setDisplay(text);
  displayTicks = ticks;
  audio_->setMelody(melodyText(melody));
  audio_->startMelody();
}

void CPhone::postState(std::string_view text, std::int32_t ticks, MelodyKind melody) {
  std::lock_guard guard(postLock_);
  posted_.postedText.assign(text);
  posted_.postedTicks = ticks;
  posted_.postedMelodyType = melody;
  posted_.postPending = true;
}

void CPhone::setText(std::int32_t code, std::string_view text) {
  const auto id = phoneTextOfCode(code);
  if (!id) return;
  texts_.set(*id, text);
  if (*id == PhoneText::txtEnterPasswd) display_.setLoginPrompt(text);
}

std::string CPhone::melodyText(MelodyKind kind) const {
  // The melody kinds number the melody slots of the settings.
  const auto* melody = cnf.melody(static_cast<std::int32_t>(kind));
  return melody ? melody->str() : std::string();
}

std::int32_t CPhone::takeNumber() {
  if (!numberChanged.exchange(false)) return 0;
  return number.load();
}

// ---- the tick --------------------------------------------------------------

void CPhone::tick() {
  if (inTick_) return;  // a modal dialog of this step keeps the timer running
  TickGuard guard(inTick_);

  runDeferred();
  reapCallThreads();
  askCallerKey();
  if (netReady && authThread.load() == net::AuthThread::none &&
      std::any_of(quiryAuth.begin(), quiryAuth.end(),
                  [](const net::AuthSlot& s) { return s.load() == SlotState::slotQueued; })) {
    startTransactions();
  }
  if (loginCountdown == 0) {
    loginCountdown = autoLoginInterval;
    autoLogin();
  } else {
    --loginCountdown;
  }
  for (std::size_t i = 0; i < quiryAuth.size(); ++i)
    if (quiryAuth[i].finished()) consumeAnswer(i);
}

void CPhone::runDeferred() {
  if (displayTicks > 0) {
    if (displayTicks == 1) display_.setDisplay({});
    --displayTicks;
  }

  PostedState shown;
  {
    std::lock_guard guard(postLock_);
    if (posted_.postPending) {
      shown = std::move(posted_);
      posted_ = PostedState{};
    }
  }
  if (shown.postPending) showState(shown.postedText, shown.postedTicks, shown.postedMelodyType);
  if (portInUsePending_.exchange(false)) display_.showMessage(text(PhoneText::txtPortInUse));

  if (!callUp()) {
    if (std::exchange(listenerAfterCall_, false)) restartListener();
    if (std::exchange(playbackAfterCall_, false)) restartPlayback();
  }

  // Each countdown acts at 3 and at 1, two ticks apart, so a device or
  // socket has time to close before it is opened again.
  auto countdown = [](auto& value, auto atThree, auto atOne) {
    const std::int32_t step = takeStep(value);
    if (step == deferredStartValue) atThree();
    if (step == 1) atOne();
  };
  countdown(bindRestart, [this] { stopNetwork(); }, [this] { startListener(); });
  countdown(playRestart, [this] { stopCapture(); stopPlayback(); }, [this] {
    resolveDevices();
    // A call that came up since the devices closed (or the microphone test)
    // keeps the microphone: in half duplex its pending switch opens it, so
    // the speaker stays closed; in full duplex it was closed here and opens
    // again.
    const bool toMicrophone = halfDuplex() && toCapture.load() > 0;
    if (!toMicrophone) startPlayback();
    standbyMicrophone();
    if (!halfDuplex() && (mayTalk(callState, *this) ||
                          audio_->testStates().rec == audio::TestState::running)) {
      startCapture();
    }
  });
  countdown(toCapture, [this] { stopPlayback(); }, [this] { startCapture(); });
  countdown(toPlayback, [this] { stopCapture(); }, [this] { startPlayback(); });

  if (testServerTicks > 0) {
    if (testServerTicks == 1) display_.setTestServerLabel({});
    --testServerTicks;
  }
  reportDeviceFailures();
}

void CPhone::reportDeviceFailures() {
  const audio::TestStates test = audio_->testStates();
  const bool inUse = callState.stateClient.load() != net::ClientState::clientIdle ||
                     test.rec == audio::TestState::running ||
                     test.play == audio::TestState::running;
  if (!inUse) {
    deviceFailuresTold_ = {};  // the next call tells again
    return;
  }
  const audio::AudioPort::OpenFailures failed = audio_->openFailures();
  if (failed.playback && !deviceFailuresTold_.playback) {
    deviceFailuresTold_.playback = true;
    display_.showMessage(speakerFailedText);
  }
  if (failed.capture && !deviceFailuresTold_.capture) {
    deviceFailuresTold_.capture = true;
    display_.showMessage(microphoneFailedText);
  }
}

bool CPhone::listenerReady() const {
  if (bindRestart > 0 || listenerAfterCall_) return false;
  if (callState.stateBind.load() == net::BindState::bindListening) return true;
  // A listener that gave up (its port is taken) holds nothing back.
  return !myBind || myBind->ended();
}

// ---- seams of the worker threads -----------------------------------------------

void CPhone::startListener() {
  if (callState.sockBind) return;
  replaceListener(nullptr);  // the previous listener ended when its socket closed
  auto fresh = std::make_unique<net::CBind>(static_cast<net::CallHost&>(*this));
  net::CBind& started = *fresh;
  replaceListener(std::move(fresh));
  started.waitSettled(listenerStartWait);
}

void CPhone::replaceListener(std::unique_ptr<net::CBind> next) {
  {
    std::lock_guard guard(bindLock_);
    std::swap(myBind, next);
  }
  next.reset();  // the old listener is joined outside the lock
}

void CPhone::stopNetwork() { net::stopNetwork(callState); }

void CPhone::restartListener() {
  if (bindRestart <= 0) bindRestart = deferredStartValue;
}

void CPhone::restartPlayback() {
  // A switch still pending from the call that ended would open the
  // microphone beside the restarted speaker.
  toCapture = 0;
  toPlayback = 0;
  std::int32_t seen = playRestart.load();
  while (seen <= 0 && !playRestart.compare_exchange_weak(seen, deferredStartValue)) {
  }
}

void CPhone::restartListenerOutsideCall() {
  if (!callUp()) {
    restartListener();
  } else {
    listenerAfterCall_ = true;
    display_.showMessage(connectionAfterCallText);
  }
}

void CPhone::restartPlaybackOutsideCall() {
  if (!callUp()) {
    restartPlayback();
  } else {
    playbackAfterCall_ = true;
    display_.showMessage(soundAfterCallText);
  }
}

bool CPhone::callUp() const {
  return callState.stateClient.load() != net::ClientState::clientIdle;
}

bool CPhone::halfDuplex() const { return store::isHalfDuplex(cnf.soundSystem); }

void CPhone::switchToCapture() {
  if (!halfDuplex()) {
    startCapture();
    return;
  }
  toPlayback = 0;
  toCapture = deferredStartValue;
}

void CPhone::switchToPlayback() {
  if (!halfDuplex()) {
    startPlayback();
    return;
  }
  toCapture = 0;
  toPlayback = deferredStartValue;
}

}  // namespace orvalis::phone
