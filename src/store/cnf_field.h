#pragma once
// Field types of the settings image. Each field is stored exactly as it lies
// in "phone201.cnf" (little-endian integers, IPv4 octets in network order,
// NUL-terminated texts), so the record can be checked byte for byte against
// the file layout. The storage is atomic because worker threads read
// settings while the user-interface thread edits them.

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace orvalis::store {

namespace detail {
constexpr std::uint32_t toLittle(std::uint32_t v) {
  if constexpr (std::endian::native == std::endian::big) return __builtin_bswap32(v);
  return v;
}
}  // namespace detail

// A 32-bit little-endian integer field.
class LeInt32 {
 public:
  static constexpr std::size_t size = 4;
  LeInt32() = default;
  LeInt32(const LeInt32&) = delete;
  LeInt32& operator=(const LeInt32&) = delete;

  std::int32_t get() const {
    return static_cast<std::int32_t>(detail::toLittle(raw_.load(std::memory_order_relaxed)));
  }
  void set(std::int32_t v) {
    raw_.store(detail::toLittle(static_cast<std::uint32_t>(v)), std::memory_order_relaxed);
  }
  operator std::int32_t() const { return get(); }
  LeInt32& operator=(std::int32_t v) { set(v); return *this; }

  void toBytes(std::span<std::uint8_t, size> out) const;
  void fromBytes(std::span<const std::uint8_t, size> in);

 private:
  std::atomic<std::uint32_t> raw_{0};
};

// An IPv4 address: four octets, first octet at the lowest offset. get() and
// set() use the in-memory value of a socket address (network order).
class IpField {
 public:
  static constexpr std::size_t size = 4;
  IpField() = default;
  IpField(const IpField&) = delete;
  IpField& operator=(const IpField&) = delete;

  std::uint32_t get() const { return raw_.load(std::memory_order_relaxed); }
  void set(std::uint32_t networkOrder) { raw_.store(networkOrder, std::memory_order_relaxed); }
  operator std::uint32_t() const { return get(); }
  IpField& operator=(std::uint32_t v) { set(v); return *this; }

  void toBytes(std::span<std::uint8_t, size> out) const;
  void fromBytes(std::span<const std::uint8_t, size> in);

 private:
  std::atomic<std::uint32_t> raw_{0};
};

// A 16-bit little-endian port followed by two padding bytes, which are kept
// as stored.
class PortField {
 public:
  static constexpr std::size_t size = 4;
  PortField() = default;
  PortField(const PortField&) = delete;
  PortField& operator=(const PortField&) = delete;

  std::uint16_t get() const;
  void set(std::uint16_t port);
  operator std::uint16_t() const { return get(); }
  PortField& operator=(std::uint16_t v) { set(v); return *this; }

  void toBytes(std::span<std::uint8_t, size> out) const;
  void fromBytes(std::span<const std::uint8_t, size> in);

 private:
  std::atomic<std::uint32_t> raw_{0};  // little-endian port in the low half
};

// A fixed-size NUL-terminated byte string (at most N - 1 bytes of text).
template <std::size_t N>
class TextField {
 public:
  static constexpr std::size_t size = N;
  TextField() = default;
  TextField(const TextField&) = delete;
  TextField& operator=(const TextField&) = delete;

  // The text up to its first zero byte.
  std::string str() const {
    std::string s;
    for (const auto& c : bytes_) {
      const char ch = c.load(std::memory_order_relaxed);
      if (ch == '\0') break;
      s.push_back(ch);
    }
    return s;
  }
  // Zero the whole field, then copy in at most N - 1 bytes of the text.
  void set(std::string_view text) {
    const std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
    for (std::size_t i = 0; i < N; ++i)
      bytes_[i].store(i < n ? text[i] : '\0', std::memory_order_relaxed);
  }
  void clear() { set({}); }
  TextField& operator=(std::string_view text) { set(text); return *this; }

  void toBytes(std::span<std::uint8_t, size> out) const {
    for (std::size_t i = 0; i < N; ++i)
      out[i] = static_cast<std::uint8_t>(bytes_[i].load(std::memory_order_relaxed));
  }
  void fromBytes(std::span<const std::uint8_t, size> in) {
    for (std::size_t i = 0; i < N; ++i)
      bytes_[i].store(static_cast<char>(in[i]), std::memory_order_relaxed);
  }

 private:
  std::array<std::atomic<char>, N> bytes_{};
};

}  // namespace orvalis::store
