#pragma once
// The handshake that makes a call private. Each phone has a long-term
// X25519 key pair; the caller knows the callee's public key as the server
// vouches for it. Three messages, the last riding with the caller's first
// sealed message, so the call waits at most one round trip longer:
//
//   hello   caller -> callee   version, caller's ephemeral key, caller's
//                              long-term key
//   reply   callee -> caller   callee's ephemeral key, callee's proof
//   proof   caller -> callee   caller's proof
//
// Both sides mix three exchanges: ephemeral with ephemeral (past calls stay
// private when a long-term key leaks later), the caller's ephemeral with
// the callee's long-term key (only the callee can answer), the caller's
// long-term key with the callee's ephemeral (only the caller can prove).
// The transcript (both numbers, every key sent) is bound into the keys, so
// a message moved from another call fails the proof. The callee must still
// check that the caller's long-term key is the one its claimed number has.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "net/privacy/call_seal.h"
#include "net/privacy/public_key.h"

namespace orvalis::net {


struct KeyPair {
  PublicKey publicKey{};
  std::array<std::uint8_t, 32> secretKey{};
  static KeyPair generate();
  // The pair of a kept secret key.
  static KeyPair fromSecret(const std::array<std::uint8_t, 32>& secret);
};

inline constexpr std::uint8_t handshakeVersion = 1;
inline constexpr std::size_t helloSize = 1 + 2 * publicKeySize;
inline constexpr std::size_t replySize = publicKeySize + 32;
inline constexpr std::size_t proofSize = 32;

// Both directions of a call once the handshake holds.
struct CallKeys {
  SealKey send{};
  SealKey receive{};
};

class CallerHandshake {
 public:
  CallerHandshake(const KeyPair& own, const PublicKey& callee, std::int32_t callerNumber,
                  std::int32_t calleeNumber);
  ~CallerHandshake();
  std::array<std::uint8_t, helloSize> hello() const;
  // The callee's reply: the keys and the proof to send, or nullopt when
  // the callee did not prove the expected key.
  struct Done {
    CallKeys keys;
    std::array<std::uint8_t, proofSize> proof{};
  };
  std::optional<Done> takeReply(std::span<const std::uint8_t> reply);

 private:
  KeyPair own_, ephemeral_;
  PublicKey callee_;
  std::int32_t callerNumber_, calleeNumber_;
};

class CalleeHandshake {
 public:
  CalleeHandshake(const KeyPair& own, std::int32_t callerNumber, std::int32_t calleeNumber);
  ~CalleeHandshake();
  // The caller's hello: the reply to send, or nullopt when it is not one.
  std::optional<std::array<std::uint8_t, replySize>> takeHello(std::span<const std::uint8_t> hello);
  // The long-term key the caller claims, once its hello is taken: to be
  // checked against the one its number has.
  const PublicKey& callerKey() const { return caller_; }
  // The caller's proof: the keys, or nullopt when it proved nothing.
  std::optional<CallKeys> takeProof(std::span<const std::uint8_t> proof);

 private:
  KeyPair own_, ephemeral_;
  PublicKey caller_{}, callerEphemeral_{};
  std::int32_t callerNumber_, calleeNumber_;
  bool helloTaken_ = false;
  std::array<std::uint8_t, 32> master_{};
};

}  // namespace orvalis::net
