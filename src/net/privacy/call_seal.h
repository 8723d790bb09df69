#pragma once
// Sealing a call's messages once its handshake holds: each is encrypted and
// authenticated (ChaCha20-Poly1305) under its direction's key, with its
// number in the call as the nonce. TCP keeps the order, so a message that
// is not exactly the next one is refused: nothing is replayed, dropped or
// moved unnoticed.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace orvalis::net {

using SealKey = std::array<std::uint8_t, 32>;
inline constexpr std::size_t sealOverhead = 16;

class CallSeal {
 public:
  explicit CallSeal(const SealKey& key) : key_(key) {}
  ~CallSeal();
  // plain, sealed: plain.size() + sealOverhead bytes.
  std::vector<std::uint8_t> seal(std::span<const std::uint8_t> plain);
  // The plain bytes, or nullopt when the message is not the next one
  // sealed with this key; after a refusal every later message is refused.
  std::optional<std::vector<std::uint8_t>> open(std::span<const std::uint8_t> sealed);

 private:
  SealKey key_;
  std::uint64_t counter_ = 0;
  bool broken_ = false;
};

}  // namespace orvalis::net
