// Byte images of the settings fields. The atomics already hold the bytes in
// file order, so an image is the stored word taken apart byte by byte.

#include "store/cnf_field.h"

#include <bit>

namespace orvalis::store {

namespace {

using Word = std::array<std::uint8_t, 4>;

Word bytesOf(std::uint32_t raw) { return std::bit_cast<Word>(raw); }

std::uint32_t wordOf(std::span<const std::uint8_t, 4> in) {
  return std::bit_cast<std::uint32_t>(Word{in[0], in[1], in[2], in[3]});
}

void copyOut(std::uint32_t raw, std::span<std::uint8_t, 4> out) {
  const Word w = bytesOf(raw);
  for (std::size_t i = 0; i < w.size(); ++i) out[i] = w[i];
}

}  // namespace

void LeInt32::toBytes(std::span<std::uint8_t, size> out) const {
  copyOut(raw_.load(std::memory_order_relaxed), out);
}

void LeInt32::fromBytes(std::span<const std::uint8_t, size> in) {
  raw_.store(wordOf(in), std::memory_order_relaxed);
}

void IpField::toBytes(std::span<std::uint8_t, size> out) const {
  copyOut(raw_.load(std::memory_order_relaxed), out);
}

void IpField::fromBytes(std::span<const std::uint8_t, size> in) {
  raw_.store(wordOf(in), std::memory_order_relaxed);
}

std::uint16_t PortField::get() const {
  const Word w = bytesOf(raw_.load(std::memory_order_relaxed));
  return static_cast<std::uint16_t>(w[0] | (w[1] << 8));
}

void PortField::set(std::uint16_t port) {
  // Only the port half changes; the padding bytes keep what the file had.
  std::uint32_t old = raw_.load(std::memory_order_relaxed);
  std::uint32_t next = 0;
  do {
    Word w = bytesOf(old);
    w[0] = static_cast<std::uint8_t>(port & 0xFF);
    w[1] = static_cast<std::uint8_t>(port >> 8);
    next = std::bit_cast<std::uint32_t>(w);
  } while (!raw_.compare_exchange_weak(old, next, std::memory_order_relaxed));
}

void PortField::toBytes(std::span<std::uint8_t, size> out) const {
  copyOut(raw_.load(std::memory_order_relaxed), out);
}

void PortField::fromBytes(std::span<const std::uint8_t, size> in) {
  raw_.store(wordOf(in), std::memory_order_relaxed);
}

}  // namespace orvalis::store
