#include "net/socks5.h"

#include <algorithm>
#include <bit>
#include <string_view>

#include "store/text_codec.h"

namespace orvalis::net {

namespace {

constexpr std::uint8_t version = 0x05;
constexpr std::uint8_t authVersion = 0x01;
constexpr std::uint8_t commandConnect = 0x01;
constexpr std::uint8_t typeIpv4 = 0x01;
constexpr std::uint8_t typeDomain = 0x03;
constexpr std::uint8_t typeIpv6 = 0x04;
constexpr std::size_t fieldSize = 16;

// Copies the first len bytes of a 16-byte field, never part of a UTF-8
// character; the rest stay zero.
void putField(std::span<std::uint8_t> out, std::span<const std::uint8_t, fieldSize> field,
              std::int32_t len) {
  auto n = static_cast<std::size_t>(std::clamp<std::int32_t>(len, 0, fieldSize));
  const std::string_view text(reinterpret_cast<const char*>(field.data()),
                              std::ranges::find(field, 0) - field.begin());
  if (n < text.size()) n = store::utf8Prefix(text, n).size();
  std::copy_n(field.begin(), n, out.begin());
}

bool sendAll(Socket& socket, std::span<const std::uint8_t> bytes) {
  return socket.send(bytes) == static_cast<ssize_t>(bytes.size());
}

bool recvExact(Socket& socket, std::span<std::uint8_t> bytes) {
  return recvAll(socket, bytes) == static_cast<int>(bytes.size());
}

// The dialogue on a socket already connected to the proxy; true when the
// proxy has connected it to the target.
bool negotiate(Socket& socket, const store::CnfData& cnf, std::uint32_t address,
               std::uint16_t port) {
  const bool withAuth = cnf.socks5Auth.get() != 0;
  if (!sendAll(socket, socks5Greeting(withAuth))) return false;
  std::array<std::uint8_t, 2> reply{};
  if (!recvExact(socket, reply)) return false;
  if (reply[1] != (withAuth ? socks5MethodPassword : socks5MethodNone)) return false;

  if (withAuth) {
    if (!sendAll(socket, socks5AuthMessage(cnf))) return false;
    if (!recvExact(socket, reply) || reply[1] != 0) return false;
  }

  if (!sendAll(socket, socks5ConnectRequest(address, port))) return false;
  // The bound address may be longer than IPv4: its type decides how much
  // follows, so none of it is left to be taken for the target's first
  // message.
  std::array<std::uint8_t, socks5ReplyHead> head{};
  if (!recvExact(socket, head) || head[1] != 0) return false;
  const int rest = socks5ReplyRest(head);
  if (rest < 0) return false;
  std::array<std::uint8_t, 256 + 2> tail{};
  return recvExact(socket, std::span(tail).first(static_cast<std::size_t>(rest)));
}

int finish(const SocketPtr& held, const store::CnfData& cnf, std::uint32_t address,
           std::uint16_t port) {
  // The variable may have been emptied by a hang-up from another thread.
  if (!held) return 1;
  if (negotiate(*held, cnf, address, port)) return 0;
  // A half-negotiated connection is of no use to anyone.
  held->close();
  return 1;
}

}  // namespace

std::array<std::uint8_t, 3> socks5Greeting(bool withAuth) {
  return {version, 0x01, withAuth ? socks5MethodPassword : socks5MethodNone};
}

std::array<std::uint8_t, 35> socks5AuthMessage(std::span<const std::uint8_t, 16> user,
                                               std::int32_t userLen,
                                               std::span<const std::uint8_t, 16> passwd,
                                               std::int32_t passwdLen) {
  std::array<std::uint8_t, 35> msg{};
  msg[0] = authVersion;
  msg[1] = fieldSize;
  putField(std::span(msg).subspan(2, fieldSize), user, userLen);
  msg[18] = fieldSize;
  putField(std::span(msg).subspan(19, fieldSize), passwd, passwdLen);
  return msg;
}

std::array<std::uint8_t, 35> socks5AuthMessage(const store::CnfData& cnf) {
  std::array<std::uint8_t, fieldSize> user{};
  std::array<std::uint8_t, fieldSize> passwd{};
  cnf.socks5User.toBytes(user);
  cnf.socks5Passwd.toBytes(passwd);
  return socks5AuthMessage(user, cnf.socks5UserLen.get(), passwd, cnf.socks5PasswdLen.get());
}

std::array<std::uint8_t, 10> socks5ConnectRequest(std::uint32_t address, std::uint16_t port) {
  // The address is already in network order: its bytes go out as they lie.
  const auto octets = std::bit_cast<std::array<std::uint8_t, 4>>(address);
  return {version, commandConnect, 0x00, typeIpv4, octets[0], octets[1], octets[2], octets[3],
          static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port & 0xFF)};
}

int socks5ReplyRest(std::span<const std::uint8_t, socks5ReplyHead> head) {
  switch (head[3]) {
    case typeIpv4: return 4 - 1 + 2;
    case typeDomain: return head[4] + 2;  // head[4] is the name's length byte
    case typeIpv6: return 16 - 1 + 2;
    default: return -1;
  }
}

int socks5Connect(SocketPtr& socket, const store::CnfData& cnf, std::uint32_t address,
                  std::uint16_t port, Deadline deadline) {
  const ConnectResult connected =
      connectTcp(socket, cnf.socks5Host.get(), cnf.socks5Port.get(), deadline);
  if (connected != ConnectResult::ok) return static_cast<int>(connected);
  const SocketPtr held = socket;
  return finish(held, cnf, address, port);
}

int socks5Connect(Socket& fresh, const store::CnfData& cnf, std::uint32_t address,
                  std::uint16_t port) {
  if (!fresh.connect(cnf.socks5Host.get(), cnf.socks5Port.get())) {
    return static_cast<int>(ConnectResult::failed);
  }
  if (negotiate(fresh, cnf, address, port)) return 0;
  fresh.close();
  return 1;
}

int socks5Connect(SharedSocket& socket, const store::CnfData& cnf, std::uint32_t address,
                  std::uint16_t port, Deadline deadline) {
  const ConnectResult connected =
      connectTcp(socket, cnf.socks5Host.get(), cnf.socks5Port.get(), deadline);
  if (connected != ConnectResult::ok) return static_cast<int>(connected);
  return finish(socket.get(), cnf, address, port);
}

}  // namespace orvalis::net
