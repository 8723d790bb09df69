#pragma once
// Payloads of the server requests and of the answers the phone reads.
// Passwords travel as a length byte followed by the password bytes, zero
// padded to the end of their field; a longer password is cut to the field.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "net/packet.h"
#include "net/privacy/public_key.h"

namespace orvalis::net {

using Ticket = std::array<std::uint8_t, 8>;

inline constexpr std::size_t registerSize = 24;
inline constexpr std::size_t loginSize = 32;
inline constexpr std::size_t changePasswdSize = 28;
inline constexpr std::size_t findUserSize = 12;
inline constexpr std::size_t userFoundSize = 12;
// Room for the password bytes after the length byte.
inline constexpr std::size_t passwdFieldSize = 19;
// Where a login carries the address it announces for incoming calls.
inline constexpr std::size_t loginAddressOffset = 24;

// [0..3] number; [4] password length; [5..23] password.
std::array<std::uint8_t, registerSize> registerPayload(std::int32_t number,
                                                       std::string_view password);
// [0..3] number; [4] length; [5..23] password; [24..27] address (network
// order); [28..29] port (little-endian); [30..31] zero.
std::array<std::uint8_t, loginSize> loginPayload(std::int32_t number, std::string_view password,
                                                 std::uint32_t address, std::uint16_t port);
// The same, then [32..63] the phone's public key: sent over TLS only.
inline constexpr std::size_t loginWithKeySize = loginSize + publicKeySize;
std::array<std::uint8_t, loginWithKeySize> loginPayload(std::int32_t number,
                                                        std::string_view password,
                                                        std::uint32_t address, std::uint16_t port,
                                                        const PublicKey& key);
// The announced address of a login request (network order), and its
// replacement.
std::uint32_t loginAddress(const CPacket& login);
std::uint16_t loginPort(const CPacket& login);
void setLoginAddress(CPacket& login, std::uint32_t address);

// Logout and delete user carry the ticket alone, [0..7]; they and the two
// below start with it. Whether a request does, and the ticket replaced.
bool startsWithTicket(std::int16_t code);
void setRequestTicket(CPacket& request, const Ticket& ticket);

// [0..7] ticket; [8] length; [9..27] new password.
std::array<std::uint8_t, changePasswdSize> changePasswdPayload(const Ticket& ticket,
                                                               std::string_view password);
// [0..7] ticket; [8..11] number looked for.
std::array<std::uint8_t, findUserSize> findUserPayload(const Ticket& ticket, std::int32_t number);

// The callee of an ansUserFound answer: address from bytes 4..7 (network
// order), port from bytes 8..9 (little-endian, host order).
struct FoundUser {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
};
FoundUser parseUserFound(const CPacket& answer);

// Over TLS, an ansUserFound answer may carry the callee's public key in
// [12..43]; nullopt when it does not (or is no ansUserFound).
inline constexpr std::size_t userFoundWithKeySize = userFoundSize + publicKeySize;
std::optional<PublicKey> parseFoundKey(const CPacket& answer);

// reqUserKey: [0..7] ticket; [8..11] number, as a look-up. ansUserKey:
// [0..3] number; [4..35] its key.
inline constexpr std::size_t userKeySize = 4 + publicKeySize;
std::array<std::uint8_t, findUserSize> userKeyPayload(const Ticket& ticket, std::int32_t number);
// The key of an ansUserKey answer about expectedNumber; nullopt when the
// answer is short, another answer, or about another number.
std::optional<PublicKey> parseUserKey(const CPacket& answer, std::int32_t expectedNumber);

// The ticket of an ansLoggedIn answer.
Ticket parseTicket(const CPacket& answer);

}  // namespace orvalis::net
