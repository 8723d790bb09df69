// The settings record as a file image.

#include "store/cnf_data.h"

#include <algorithm>
#include <type_traits>

namespace orvalis::store {

namespace {

// Fixed-size view of size bytes at offset; callers keep offset + size within
// the image.
template <std::size_t N, class Byte>
std::span<Byte, N> at(std::span<Byte> image, std::size_t offset) {
  return std::span<Byte, N>(image.data() + offset, N);
}

}  // namespace

TextField<melodySize>* CnfData::melody(std::int32_t slot) {
  switch (static_cast<MelodySlot>(slot)) {
    case MelodySlot::callIn: return &musicCallIn;
    case MelodySlot::callOut: return &musicCallOut;
    case MelodySlot::find: return &musicFind;
    case MelodySlot::msg: return &musicMsg;
  }
  return nullptr;
}

const TextField<melodySize>* CnfData::melody(std::int32_t slot) const {
  return const_cast<CnfData*>(this)->melody(slot);
}

std::array<std::uint8_t, cnfSize> CnfData::encode() const {
  std::array<std::uint8_t, cnfSize> image{};
  const std::span<std::uint8_t> out(image);
  std::size_t offset = 0;
  forEachField(*this, [&](const auto& field) {
    constexpr std::size_t n = std::remove_cvref_t<decltype(field)>::size;
    field.toBytes(at<n>(out, offset));
    offset += n;
  });
  return image;
}

void CnfData::overlay(std::span<const std::uint8_t> bytes) {
  const std::size_t given = std::min(bytes.size(), cnfSize);
  std::size_t offset = 0;
  forEachField(*this, [&](auto& field) {
    constexpr std::size_t n = std::remove_cvref_t<decltype(field)>::size;
    if (offset + n <= given) {
      field.fromBytes(at<n>(bytes, offset));
    } else if (offset < given) {
      // The input ends inside this field: its tail keeps the current bytes.
      std::array<std::uint8_t, n> mixed{};
      field.toBytes(mixed);
      std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                bytes.begin() + static_cast<std::ptrdiff_t>(given), mixed.begin());
      field.fromBytes(mixed);
    }
    offset += n;
  });
}

void CnfData::zero() {
  const std::array<std::uint8_t, cnfSize> zeros{};
  overlay(zeros);
}

}  // namespace orvalis::store
