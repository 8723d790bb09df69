#pragma once
// CPhone: the phone's controller and the home of everything one phone
// shares between its threads: the settings records, the transaction slots,
// the call state and the controller's own fields. Its 50 ms tick runs on
// the user-interface thread; worker threads write single atomic fields or
// post a text, which the next tick shows.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "audio/audio_port.h"
#include "audio/sound_links.h"
#include "net/auth_server.h"
#include "net/auth_slot.h"
#include "net/call_host.h"
#include "net/call_state.h"
#include "net/call_thread.h"
#include "net/listener.h"
#include "net/reach/reach_keeper.h"
#include "net/requests.h"
#include "phone/phone_texts.h"
#include "phone/phone_ui.h"
#include "store/addr_book.h"
#include "store/cnf_data.h"
#include "store/config.h"
#include "store/server_keys.h"
#include "store/device_names.h"

namespace orvalis::phone {

enum class FindState : std::int32_t {
  idle = 0,
  searching = 1,
  found = 2,    // the following three last only inside one step
  invalid = 3,
  failed = 4,
};

enum class ServerState : std::int32_t {
  loggedOut = 0,  // automatic login active
  suspended = 1,  // automatic login suspended
  loggedIn = 2,   // ticket valid
};

using net::Floor;

// Which melody accompanies a shown text; other values play nothing.
enum class MelodyKind : std::int32_t { callIn = 0, callOut = 1, find = 2, info = 3, none = -1 };

inline constexpr std::int32_t ticksPerSecond = 20;         // one tick is 50 ms
inline constexpr std::int32_t autoLoginInterval = 20;      // ticks between login attempts
inline constexpr std::int32_t deferredStartValue = 3;      // countdowns act at 3 and at 1
inline constexpr std::int32_t minUserNumber = 100000000;
inline constexpr std::int32_t maxUserNumber = 999999999;

// The call fields (number, numberType, numberChanged, floor, voiceActive,
// callMode, spurtStarted) are the controller's own, shared with the call
// thread and the listener, which reach the phone as their CallHost.
class CPhone : public net::CallFields, private net::CallHost {
 public:
  using HostLookup = std::function<std::uint32_t()>;
  // Builds the sound side on the phone's fields; none: a silent phone.
  using AudioFactory = std::function<std::unique_ptr<audio::AudioPort>(const audio::SoundLinks&)>;

  // Builds the phone in baseDir: loads (or creates) its settings there.
  // reachOptions: how port mappings are made and kept (tests shorten the
  // lease).
  CPhone(PhoneUi& ui, std::string baseDir = store::currentDirectory(),
         const AudioFactory& makeAudio = nullptr, HostLookup hostLookup = nullptr,
         net::ReachOptions reachOptions = {});
  ~CPhone();
  CPhone(const CPhone&) = delete;
  CPhone& operator=(const CPhone&) = delete;

  // The periodic step, every 50 ms on the user-interface thread.
  void tick();

  // User-interface thread: show a text now; ticks 0 keeps it until replaced.
  void showState(std::string_view text, std::int32_t ticks, MelodyKind melody);
  // Any thread: the next tick shows the text; a newer posting replaces one
  // not yet shown.
  void postState(std::string_view text, std::int32_t ticks, MelodyKind melody);
  // Replaces the text of a code (100..124); other codes are ignored.
  void setText(std::int32_t code, std::string_view text);
  std::string text(PhoneText id) const { return texts_.get(id); }

  // The number to show, once, when a new one was set; otherwise 0.
  std::int32_t takeNumber();

  void startPlayback();
  void stopPlayback();
  void startCapture();
  void stopCapture();
  // Keeps the microphone running between calls in full duplex (and lets it
  // go in half duplex); after every restart of the speaker.
  void standbyMicrophone();
  // The loudspeaker and the microphone are remembered by name as well as by
  // position (in sound201.txt beside the settings), so that a device stays
  // in use when the positions in the lists move, as they do when the
  // system's default changes. rememberDevices takes the names of the
  // devices at the settings' positions (the configuration dialog's Apply);
  // resolveDevices, before every restart of the speaker, moves the
  // positions to where the remembered names are now, or to the default
  // device (position 0) when one is missing, which is said once.
  void rememberDevices();
  void resolveDevices();
  // Echo cancellation and noise suppression (full duplex only), kept in the
  // same file; a change takes effect at once.
  bool soundProcessing() const { return soundProcessing_.load(); }
  void setSoundProcessing(bool on);
  // Reads the device lists afresh, so that a device plugged in since is
  // offered; only when nothing sounds that the sound library's restart
  // would cut: no call, no microphone test, no melody. True when it did.
  bool refreshDevices();
  // Both start over at once, unless one is already under way.
  void restartListener();
  void restartPlayback() override;
  // The restarts that applied settings ask for: at once while no call is
  // up; during a call (which the listener's restart would drop and the
  // devices' restart would cut) they wait for its end, which is said.
  void restartListenerOutsideCall();
  void restartPlaybackOutsideCall();
  // In half duplex the latest switch wins: one not yet done is dropped.
  void switchToCapture() override;
  void switchToPlayback() override;
  bool anyTransactionRunning() const;

  // The sound side: key tones, melodies, volume, device lists.
  audio::AudioPort& audio() { return *audio_; }
  audio::SpoolState spool() const { return audio_->spool(); }
  // The microphone test. It starts only when no test recording runs and no
  // call is up; false otherwise. Stop acts only while no call is up (a call
  // has ended the test itself, and its microphone is not the test's).
  bool startMicTest();
  void stopMicTest();
  // The heartbeat's sound duties, every 50 ms: the voice hold countdown,
  // the voice meter's reset while the microphone is closed, and the spool.
  void soundTick();

  // Queueing of server transactions; each acts only on an idle slot.
  bool registerNew(std::int32_t number, std::string_view password);
  bool login(std::int32_t number, std::string_view password, std::uint32_t address,
             std::uint16_t port);
  // A login that announces where this phone takes calls: a port mapping's
  // or the call relay's address and port when the reachability plan has
  // one, otherwise the address the login's own connection comes from (see
  // net::announcedAddress) and the listening port.
  bool loginAnnouncing(std::int32_t number, std::string_view password);
  // How callers reach this phone now, and where ("ADDRESS:PORT" of the
  // latest login; empty before one).
  net::ReachPlan reachPlan() const { return reach_->plan(); }
  const std::string& reachableAt() const { return reachableAt_; }
  void logout();
  // Just before the live settings move to another server: a logged-in
  // phone logs out from the current one at once, whatever the sweep is
  // doing, and automatic login logs in to the new one once that is done.
  // Answers still to come from the current one are not taken for the new.
  void leaveServer();
  void requestDeleteUser();
  bool requestChangePasswd(std::string_view password);
  void findUser(std::int32_t number);
  bool testServer();
  // Forgets the TLS key pinned for the server the settings name, after its
  // administrator gave it a new one; the next login pins what it meets.
  bool forgetServerKey();

  // Commands of the keys. dial dials when idle and answers a ringing call.
  void dial(std::int32_t num);
  void hangUp();
  void stopVoice() override;
  void requestFloor() override;
  void offerFloor();
  // Starts the outgoing call to a found user (port in host order); 0 when
  // the call state was not idle.
  // With the callee's key (as the server gave it), the call is private.
  int startCall(std::uint32_t address, std::uint16_t port,
                std::optional<net::PublicKey> calleeKey = std::nullopt);

  // Settings: the live record, the configuration dialog's copy, and the
  // object that loads and saves them. Declared first: everything below
  // reads them from construction on.
  store::CnfData cnf;
  store::CnfData cnfEdit;
  store::CConfig config;
  // The address book, in the base directory; the listener reads the group
  // of a calling number from it.
  store::AddrBook addrBook;

  // Server transactions and the call state shared with the worker threads.
  net::AuthTable quiryAuth;
  // The server generation and the ticket as the sweeps know them, before
  // the tick takes an answer.
  net::ServerSession serverSession;
  // The servers' TLS keys as first met, beside the settings.
  store::ServerKeys serverKeys;
  net::CallState callState;
  // The latest transaction thread; it reads quiryAuth and cnf.
  std::unique_ptr<net::CAuthServer> authServer;
  // The listener. The relay link's thread hands connections to it, so
  // myBind changes under bindLock_.
  std::unique_ptr<net::CBind> myBind;
  // Call threads not yet reaped: the latest call's, and older ones still
  // finishing.
  std::size_t callThreads();

  // Fields shared with the worker threads (and those of net::CallFields).
  std::atomic<FindState> findState{FindState::idle};
  std::atomic<net::AuthThread> authThread{net::AuthThread::none};
  std::atomic<ServerState> serverState{ServerState::loggedOut};
  std::atomic<std::int32_t> voiceLevel{0};
  std::atomic<std::int32_t> voiceHold{0};
  // Deferred device switches, which the call thread asks for too.
  std::atomic<std::int32_t> playRestart{0};
  std::atomic<std::int32_t> toCapture{0};
  std::atomic<std::int32_t> toPlayback{0};

  // Fields of the user-interface thread.
  std::int32_t displayTicks = 0;
  bool askPasswd = false;
  std::int32_t loginCountdown = 0;
  net::Ticket ticket{};
  std::int32_t bindRestart = 0;
  bool netReady = false;
  std::int32_t testServerTicks = 0;

 private:
  struct PostedState {
    std::string postedText;
    std::int32_t postedTicks = 0;
    MelodyKind postedMelodyType = MelodyKind::none;
    bool postPending = false;
  };

  void runDeferred();
  bool callUp() const;
  // Ends the microphone test and gives the card back to playback: any
  // thread (the call thread at the start of a call).
  void endMicTest();
  // While a call is up or the microphone test runs: says once that the
  // loudspeaker or the microphone could not be opened.
  void reportDeviceFailures();
  void autoLogin();
  void consumeAnswer(std::size_t slot);
  void consumeLogin(net::AuthSlot& slot);
  // A login performed for a server the phone has left since: no session
  // is kept there.
  void dropLogin(net::AuthSlot& slot);
  // Logs out from the server of settings with the ticket it issued, on a
  // thread of its own.
  void logoutFrom(const store::CnfData& settings, const net::Ticket& issued);
  // Logged in, with a listener that now listens on another port than the
  // login announced: log in again so that the server learns it.
  void reannounce();
  // No login goes out while the listener is starting or restarting, so that
  // the port announced is the one that listens.
  bool listenerReady() const;
  // What the reachability plan is decided on.
  net::ReachInput reachInput() const;
  // True once the plan is decided for the current settings, or the login
  // has waited long enough for it and goes with what there is.
  bool reachSettled();
  // After a successful login: the relay its answer offers, and the ticket
  // the relay link says who it is with.
  void reachLoggedIn(const net::CPacket& answer);
  // A connection the call relay asked for: examined by the listener.
  void adoptRelayed(net::SocketPtr connection);
  void replaceListener(std::unique_ptr<net::CBind> next);
  void consumeFindUser(net::AuthSlot& slot);
  // Stores (or clears, for an empty password) the saved password in both
  // records.
  void storePassword(std::string_view password);
  bool queue(std::int16_t code, std::span<const std::uint8_t> payload,
             bool announceFromConnection = false);
  std::string melodyText(MelodyKind kind) const;
  bool halfDuplex() const;
  // Looks up the own address and stores it in both settings records.
  std::uint32_t refreshLocalHost();
  // Close the call and listening sockets and reset the call state; start
  // listening for calls.
  void stopNetwork();
  void startListener();
  void startCallThread(net::CallGeneration generation, net::SocketPtr incoming,
                       std::optional<net::PublicKey> calleeKey = std::nullopt);
  // Joins the call threads that have finished, outside any lock; all of
  // them with everything: the network must have been stopped.
  void reapCallThreads(bool everything = false);
  void sendOnCall(std::int16_t code, std::span<const std::uint8_t> payload = {});

  // CallHost, for the call thread and the listener.
  net::CallState& calls() override { return callState; }
  net::CallFields& callFields() override { return *this; }
  const store::CnfData& settings() const override { return cnf; }
  void postCallText(net::CallText text, std::int32_t ticks, net::CallMelody melody) override;
  bool loggedIn() const override { return serverState.load() == ServerState::loggedIn; }
  std::int32_t typeOf(std::int32_t num) override;
  void setListeningPort(std::uint16_t port) override;
  void portInUse() override { portInUsePending_ = true; }
  void startIncomingCall(net::SocketPtr connection, net::CallGeneration generation) override;
  void stopTest() override { endMicTest(); }
  void stopMelody() override { audio_->stopMelody(); }
  void markSpurt() override { audio_->markSpurt(); }
  void putFrame(std::span<const std::uint8_t, net::gsmFrameSize> frame) override {
    audio_->putFrame(frame);
  }
  // Starts a sweep over the queued slots.
  void startTransactions();

  // Private calls (phone_privacy.cpp). The phone's own key pair, made at
  // its first start and kept beside the settings; none when no randomness
  // or file could be had.
  void loadOwnKeys();
  const net::KeyPair* ownKeys() const override { return ownKeys_ ? &*ownKeys_ : nullptr; }
  void verifyCaller(std::int32_t number, const std::optional<net::PublicKey>& proven,
                    net::CallGeneration generation) override;
  // The tick: asks the server for the key of the caller just taken.
  void askCallerKey();
  void consumeUserKey(net::AuthSlot& slot);
  struct CallerCheck {
    std::int32_t number = 0;
    std::optional<net::PublicKey> proven;
    net::CallGeneration generation = 0;
  };
  std::optional<net::KeyPair> ownKeys_;
  std::mutex callerCheckLock_;
  std::optional<CallerCheck> callerCheckPending_;  // guarded by callerCheckLock_
  std::optional<CallerCheck> callerCheck_;         // the one asked; the tick's alone

  std::mutex clientLock_;
  std::vector<std::unique_ptr<net::CClient>> clients_;  // guarded by clientLock_
  std::mutex bindLock_;  // guards the myBind pointer for the relay link
  // Logouts from servers left, still under way or not yet reaped.
  std::vector<std::unique_ptr<net::CServerLogout>> leaving_;
  std::unique_ptr<net::ReachKeeper> reach_;
  std::uint64_t announcedGeneration_ = 0;
  std::int32_t reachWaitTicks_ = 0;
  std::string reachableAt_;
  std::atomic<bool> portInUsePending_{false};
  // What the latest login announced, and the password it was made with, so
  // that a new port can be announced without asking again. Memory only.
  std::uint16_t announcedPort_ = 0;
  std::string sessionPasswd_;
  bool unreachableTold_ = false;
  bool keyWarned_ = false;
  void warnServerKeyChanged();
  // Restarts of applied settings waiting for the call to end.
  bool listenerAfterCall_ = false;
  bool playbackAfterCall_ = false;
  // Remembered device names, loudspeaker first; whether each one's absence
  // has been said.
  std::string devicesPath_;
  store::DeviceNames savedDevices_;
  std::atomic<bool> soundProcessing_{true};
  std::array<bool, 2> missingTold_{};
  audio::AudioPort::OpenFailures deviceFailuresTold_;
  PhoneUi& display_;
  std::unique_ptr<audio::AudioPort> audio_;
  HostLookup hostLookup_;
  PhoneTexts texts_;
  std::mutex postLock_;
  PostedState posted_;  // guarded by postLock_
  bool inTick_ = false;
};

}  // namespace orvalis::phone
