#include "net/requests.h"

#include <algorithm>
#include <cstring>

#include "net/message_codes.h"

namespace orvalis::net {

namespace {

// Writes length byte and password at offset; the field after it is zero.
void putPassword(std::span<std::uint8_t> out, std::size_t offset, std::string_view password) {
  const std::size_t n = std::min(password.size(), passwdFieldSize);
  out[offset] = static_cast<std::uint8_t>(n);
  std::memcpy(out.data() + offset + 1, password.data(), n);
}

}  // namespace

std::array<std::uint8_t, registerSize> registerPayload(std::int32_t number,
                                                       std::string_view password) {
  std::array<std::uint8_t, registerSize> p{};
  writeInt32(p, 0, number);
  putPassword(p, 4, password);
  return p;
}

std::array<std::uint8_t, loginSize> loginPayload(std::int32_t number, std::string_view password,
                                                 std::uint32_t address, std::uint16_t port) {
  std::array<std::uint8_t, loginSize> p{};
  writeInt32(p, 0, number);
  putPassword(p, 4, password);
  std::memcpy(p.data() + loginAddressOffset, &address, 4);  // already in network order
  writeUint16(p, 28, port);
  return p;
}

std::array<std::uint8_t, loginWithKeySize> loginPayload(std::int32_t number,
                                                        std::string_view password,
                                                        std::uint32_t address, std::uint16_t port,
                                                        const PublicKey& key) {
  std::array<std::uint8_t, loginWithKeySize> p{};
  const auto plain = loginPayload(number, password, address, port);
  std::copy(plain.begin(), plain.end(), p.begin());
  std::copy(key.begin(), key.end(), p.begin() + loginSize);
  return p;
}

std::uint32_t loginAddress(const CPacket& login) {
  std::uint32_t address = 0;
  std::memcpy(&address, login.payload.data() + loginAddressOffset, 4);
  return address;
}

std::uint16_t loginPort(const CPacket& login) { return readUint16(login.payload, 28); }

void setLoginAddress(CPacket& login, std::uint32_t address) {
  std::memcpy(login.payload.data() + loginAddressOffset, &address, 4);
}

bool startsWithTicket(std::int16_t code) {
  return code == reqLogout || code == reqDeleteUser || code == reqChangePasswd ||
         code == reqFindUser || code == reqUserKey;
}

void setRequestTicket(CPacket& request, const Ticket& ticket) {
  std::copy(ticket.begin(), ticket.end(), request.payload.begin());
}

std::array<std::uint8_t, changePasswdSize> changePasswdPayload(const Ticket& ticket,
                                                               std::string_view password) {
  std::array<std::uint8_t, changePasswdSize> p{};
  std::copy(ticket.begin(), ticket.end(), p.begin());
  putPassword(p, 8, password);
  return p;
}

std::array<std::uint8_t, findUserSize> findUserPayload(const Ticket& ticket, std::int32_t number) {
  std::array<std::uint8_t, findUserSize> p{};
  std::copy(ticket.begin(), ticket.end(), p.begin());
  writeInt32(p, 8, number);
  return p;
}

FoundUser parseUserFound(const CPacket& answer) {
  FoundUser user;
  std::memcpy(&user.address, answer.payload.data() + 4, 4);
  user.port = readUint16(answer.payload, 8);
  return user;
}

std::optional<PublicKey> parseFoundKey(const CPacket& answer) {
  if (answer.code != ansUserFound || answer.payloadSize() < userFoundWithKeySize)
    return std::nullopt;
  PublicKey key{};
  std::copy_n(answer.payload.begin() + userFoundSize, key.size(), key.begin());
  return key;
}

std::array<std::uint8_t, findUserSize> userKeyPayload(const Ticket& ticket, std::int32_t number) {
  return findUserPayload(ticket, number);
}

std::optional<PublicKey> parseUserKey(const CPacket& answer, std::int32_t expectedNumber) {
  if (answer.code != ansUserKey || answer.payloadSize() < userKeySize) return std::nullopt;
  if (readInt32(answer.body(), 0) != expectedNumber) return std::nullopt;
  PublicKey key{};
  std::copy_n(answer.payload.begin() + 4, key.size(), key.begin());
  return key;
}

Ticket parseTicket(const CPacket& answer) {
  Ticket ticket{};
  std::copy_n(answer.payload.begin(), ticket.size(), ticket.begin());
  return ticket;
}

}  // namespace orvalis::net
