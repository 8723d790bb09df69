// Whole messages over a Socket, and opening TCP connections.

#include "net/packet_io.h"

#include <algorithm>

namespace orvalis::net {

namespace {

// Encodes the message and hands its bytes to send in one piece.
template <class Send>
int sendWhole(Socket& socket, const CPacket& packet, Send send) {
  std::array<std::uint8_t, headerSize + maxPayload> wire{};
  const std::size_t count = encodePacket(packet, wire);
  if (count == 0) return 0;
  // One send under the socket's send lock keeps the message contiguous even
  // when several threads talk on the same connection.
  const ssize_t sent = send(std::span<const std::uint8_t>(wire.data(), count));
  if (sent != static_cast<ssize_t>(count)) {
    // A partial message would desynchronise the peer's framing for good.
    socket.close();
    return 0;
  }
  return packet.code;
}

}  // namespace

int sendPacket(Socket& socket, const CPacket& packet) {
  return sendWhole(socket, packet, [&](auto bytes) { return socket.send(bytes); });
}

int sendPacketBy(Socket& socket, const CPacket& packet, Socket::Clock::time_point deadline) {
  return sendWhole(socket, packet, [&](auto bytes) { return socket.sendBy(bytes, deadline); });
}

int recvAll(Socket& socket, std::span<std::uint8_t> buffer) {
  std::size_t got = 0;
  while (got < buffer.size()) {
    const ssize_t n = socket.recv(buffer.subspan(got));
    if (n <= 0) {
      socket.close();
      return -1;
    }
    got += static_cast<std::size_t>(n);
  }
  return static_cast<int>(got);
}

namespace {

int recvOne(Socket& socket, CPacket& packet) {
  packet = CPacket{};
  std::array<std::uint8_t, headerSize> raw{};
  if (recvAll(socket, raw) < 0) return 0;
  const PacketHeader header = parseHeader(raw);
  packet.marker = header.marker;
  packet.reserved = header.reserved;
  packet.code = header.code;
  packet.length = header.length;
  // An oversized length is refused before any payload is read; the caller
  // decides what to do with the connection.
  if (packet.payloadSize() > maxPayload) return 0;
  if (packet.payloadSize() > 0 &&
      recvAll(socket, std::span<std::uint8_t>(packet.payload.data(), packet.payloadSize())) < 0) {
    return 0;
  }
  return packet.code;
}

}  // namespace

int recvPacket(Socket& socket, CPacket& packet) {
  const int code = recvOne(socket, packet);
  const auto sealing = socket.seal();
  if (code == 0 || !sealing) return code;
  // A sealed connection carries nothing else: a message that does not open
  // is an attack or a broken peer, and ends it.
  std::array<std::uint8_t, headerSize + maxPayload> wire{};
  const std::size_t count = encodePacket(packet, wire);
  const auto inner = sealing->open(std::span<const std::uint8_t>(wire.data(), count));
  packet = CPacket{};
  if (!inner || inner->size() < headerSize) {
    socket.close();
    return 0;
  }
  const PacketHeader header =
      parseHeader(std::span<const std::uint8_t, headerSize>(inner->data(), headerSize));
  const std::size_t length = header.length > 0 ? static_cast<std::size_t>(header.length) : 0;
  if (length > maxPayload || inner->size() != headerSize + length) {
    socket.close();
    return 0;
  }
  packet.marker = header.marker;
  packet.reserved = header.reserved;
  packet.code = header.code;
  packet.length = header.length;
  std::copy(inner->begin() + headerSize, inner->end(), packet.payload.begin());
  return packet.code;
}

namespace {

ConnectResult connectResult(Socket& socket, std::uint32_t address, std::uint16_t port,
                            Deadline deadline) {
  if (deadline) socket.setDeadline(*deadline);
  return socket.connect(address, port) ? ConnectResult::ok : ConnectResult::failed;
}

}  // namespace

ConnectResult connectTcp(SocketPtr& socket, std::uint32_t address, std::uint16_t port,
                         Deadline deadline) {
  socket = Socket::createTcp();
  if (!socket) return ConnectResult::noSocket;
  // A local reference keeps the socket alive should the variable be reset.
  const SocketPtr held = socket;
  return connectResult(*held, address, port, deadline);
}

ConnectResult connectTcp(SharedSocket& socket, std::uint32_t address, std::uint16_t port,
                         Deadline deadline) {
  SocketPtr created = Socket::createTcp();
  socket.set(created);
  if (!created) return ConnectResult::noSocket;
  return connectResult(*created, address, port, deadline);
}

}  // namespace orvalis::net
