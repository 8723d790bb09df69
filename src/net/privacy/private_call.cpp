#include "net/privacy/private_call.h"

#include <algorithm>
#include <array>
#include <memory>

#include "net/packet_io.h"
#include "net/privacy/call_cipher.h"
#include "net/privacy/private_call_codes.h"

namespace orvalis::net {

namespace {

template <std::size_t N>
bool sendBytes(Socket& socket, std::int16_t code, const std::array<std::uint8_t, N>& bytes) {
  CPacket message;
  buildPacket(message, code, static_cast<std::int16_t>(N), bytes);
  return sendPacket(socket, message) == code;
}

}  // namespace

bool openPrivateCall(Socket& socket, const KeyPair& own, const PublicKey& callee,
                     std::int32_t calleeNumber, std::int32_t callerNumber) {
  CallerHandshake handshake(own, callee, callerNumber, calleeNumber);
  std::array<std::uint8_t, privateCallSize> call{};
  writeInt32(call, 0, calleeNumber);
  writeInt32(call, 4, callerNumber);
  const auto hello = handshake.hello();
  std::copy(hello.begin(), hello.end(), call.begin() + 8);
  if (!sendBytes(socket, peerPrivateCall, call)) return false;
  CPacket reply;
  if (recvPacket(socket, reply) != peerPrivateReply) return false;
  auto done = handshake.takeReply(reply.body());
  if (!done || !sendBytes(socket, peerPrivateProof, done->proof)) return false;
  socket.setSeal(std::make_shared<CallCipher>(done->keys));
  return true;
}

std::optional<PublicKey> answerPrivateCall(Socket& socket, const KeyPair& own,
                                           std::int32_t ownNumber, const CPacket& privateCall) {
  const auto body = privateCall.body();
  if (privateCall.code != peerPrivateCall || body.size() != privateCallSize) return std::nullopt;
  CalleeHandshake handshake(own, readInt32(body, 4), ownNumber);
  const auto reply = handshake.takeHello(body.subspan(8));
  if (!reply || !sendBytes(socket, peerPrivateReply, *reply)) return std::nullopt;
  CPacket proof;
  if (recvPacket(socket, proof) != peerPrivateProof) return std::nullopt;
  const auto keys = handshake.takeProof(proof.body());
  if (!keys) return std::nullopt;
  socket.setSeal(std::make_shared<CallCipher>(*keys));
  return handshake.callerKey();
}

}  // namespace orvalis::net
