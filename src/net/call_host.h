#pragma once
// CallHost: what the call thread and the listener need of their phone. The
// controller implements it; tests fake it, so both threads can be driven
// without a controller.

#include <cstdint>
#include <span>

#include "net/call_state.h"
#include "net/message_codes.h"
#include "net/privacy/call_handshake.h"
#include "net/socket.h"
#include "store/cnf_data.h"

namespace orvalis::net {

// The texts the call thread shows, and the melody that goes with each.
enum class CallText {
  inputCall,
  outputCall,
  userOnline,
  userDisconnected,
  userInaccessable,
  privateFailed,  // the handshake of a private call failed: it ended
};
enum class CallMelody : std::int32_t { callIn = 0, callOut = 1, info = 3 };

class CallHost {
 public:
  virtual ~CallHost() = default;

  virtual CallState& calls() = 0;
  virtual CallFields& callFields() = 0;
  // The live settings record.
  virtual const store::CnfData& settings() const = 0;

  // Any thread: shown by the next tick of the user-interface thread.
  virtual void postCallText(CallText text, std::int32_t ticks, CallMelody melody) = 0;

  // The listener's needs.
  virtual bool loggedIn() const = 0;
  virtual std::int32_t typeOf(std::int32_t number) = 0;  // address-book group
  // The port the listener got from the system, for both settings records.
  virtual void setListeningPort(std::uint16_t port) = 0;
  // The listening port was taken; reported on the user-interface thread.
  virtual void portInUse() = 0;
  // Starts the call thread of the incoming call of generation, taken on
  // the accepted connection. Called with no lock held.
  virtual void startIncomingCall(SocketPtr connection, CallGeneration generation) = 0;

  // Private calls: the phone's own key pair, none when it has none.
  virtual const KeyPair* ownKeys() const { return nullptr; }
  // The call of generation was taken from number: the phone asks its server
  // which key that number has, against the one the caller proved it holds
  // (none: a plain call).
  virtual void verifyCaller(std::int32_t /*number*/, const std::optional<PublicKey>& /*proven*/,
                            CallGeneration /*generation*/) {}

  // The sound side, and the floor request the caller makes at once.
  virtual void stopTest() = 0;
  virtual void stopVoice() = 0;
  virtual void stopMelody() = 0;
  virtual void restartPlayback() = 0;
  virtual void switchToCapture() = 0;
  virtual void switchToPlayback() = 0;
  virtual void requestFloor() = 0;
  // A received voice message: the start of a talk spurt, then its frames.
  virtual void markSpurt() = 0;
  virtual void putFrame(std::span<const std::uint8_t, gsmFrameSize> frame) = 0;
};

}  // namespace orvalis::net
