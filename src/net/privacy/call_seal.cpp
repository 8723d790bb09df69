#include "net/privacy/call_seal.h"

#include <sodium.h>

namespace orvalis::net {

namespace {

std::array<std::uint8_t, crypto_aead_chacha20poly1305_ietf_NPUBBYTES> nonceOf(std::uint64_t n) {
  std::array<std::uint8_t, crypto_aead_chacha20poly1305_ietf_NPUBBYTES> nonce{};
  for (int i = 0; i < 8; ++i) nonce[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(n >> (8 * i));
  return nonce;
}

}  // namespace

CallSeal::~CallSeal() { sodium_memzero(key_.data(), key_.size()); }

std::vector<std::uint8_t> CallSeal::seal(std::span<const std::uint8_t> plain) {
  std::vector<std::uint8_t> out(plain.size() + sealOverhead);
  unsigned long long length = 0;
  const auto nonce = nonceOf(counter_++);
  crypto_aead_chacha20poly1305_ietf_encrypt(out.data(), &length, plain.data(), plain.size(),
                                            nullptr, 0, nullptr, nonce.data(), key_.data());
  out.resize(length);
  return out;
}

std::optional<std::vector<std::uint8_t>> CallSeal::open(std::span<const std::uint8_t> sealed) {
  if (broken_ || sealed.size() < sealOverhead) {
    broken_ = true;
    return std::nullopt;
  }
  std::vector<std::uint8_t> out(sealed.size() - sealOverhead);
  unsigned long long length = 0;
  const auto nonce = nonceOf(counter_);
  if (crypto_aead_chacha20poly1305_ietf_decrypt(out.data(), &length, nullptr, sealed.data(),
                                                sealed.size(), nullptr, 0, nonce.data(),
                                                key_.data()) != 0) {
    broken_ = true;
    return std::nullopt;
  }
  ++counter_;
  out.resize(length);
  return out;
}

}  // namespace orvalis::net
