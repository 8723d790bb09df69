#pragma once
// CallCipher: the seal a private call puts on its connection once the
// handshake holds. Each whole message, header included, travels as the
// payload of a peerSealed message, encrypted and authenticated in its
// direction's key with its place in the call as nonce.

#include <mutex>

#include "net/privacy/call_handshake.h"
#include "net/privacy/call_seal.h"
#include "net/socket.h"

namespace orvalis::net {

class CallCipher final : public SocketSeal {
 public:
  explicit CallCipher(const CallKeys& keys) : send_(keys.send), receive_(keys.receive) {}
  std::vector<std::uint8_t> seal(std::span<const std::uint8_t> message) override;
  std::optional<std::vector<std::uint8_t>> open(std::span<const std::uint8_t> message) override;

 private:
  CallSeal send_;     // under the socket's send lock
  CallSeal receive_;  // the call thread's alone
};

}  // namespace orvalis::net
