// The settings record in memory: field byte images, the file layout, partial
// overlays, and concurrent access.

#include "store/cnf_data.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace orvalis::store {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <class Field>
Bytes image(const Field& f) {
  std::array<std::uint8_t, Field::size> out{};
  f.toBytes(out);
  return {out.begin(), out.end()};
}

TEST(CnfField, BytesAreLittleEndianAndNetworkOrder) {
  LeInt32 i;
  i = -2;
  EXPECT_EQ(image(i), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(i.get(), -2);

  IpField ip;
  in_addr a{};
  ASSERT_EQ(inet_pton(AF_INET, "10.1.2.3", &a), 1);
  ip = a.s_addr;
  EXPECT_EQ(image(ip), (Bytes{10, 1, 2, 3}));

  PortField port;
  port.fromBytes(std::array<std::uint8_t, 4>{0x41, 0x0D, 0xAA, 0xBB});
  EXPECT_EQ(port.get(), 3393);
  port = 0x1234;
  EXPECT_EQ(image(port), (Bytes{0x34, 0x12, 0xAA, 0xBB})) << "padding must survive set()";
}

// Gives field k the bytes k+1, k+2, ... so every byte of the image names its
// field and position.
void fillDistinct(CnfData& cnf) {
  std::uint8_t k = 0;
  forEachField(cnf, [&](auto& field) {
    std::array<std::uint8_t, std::remove_cvref_t<decltype(field)>::size> b{};
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(k + 1 + i);
    field.fromBytes(b);
    ++k;
  });
}

TEST(CnfData, EncodeFollowsTheLayout) {
  CnfData cnf;
  fillDistinct(cnf);
  const auto bytes = cnf.encode();
  // Spot checks at fixed offsets of the file.
  EXPECT_EQ(bytes[0], 1);                        // language, field 0
  EXPECT_EQ(bytes[112], 5);                      // userPort, field 4
  EXPECT_EQ(bytes[124], 8);                      // autoReach, field 7
  EXPECT_EQ(bytes[4268], 24);                    // userNumber, field 23
  EXPECT_EQ(bytes[4275], 28);                    // passwdLen last byte, field 24
  EXPECT_EQ(bytes[4375], 41 + 3);                // gatePort padding, field 40

  // The in-memory record is the file image itself on a little-endian host.
  if constexpr (std::endian::native == std::endian::little) {
    EXPECT_EQ(std::memcmp(bytes.data(), reinterpret_cast<const unsigned char*>(&cnf), cnfSize), 0);
  }

  CnfData back;
  back.overlay(bytes);
  EXPECT_EQ(back.encode(), bytes);
}

TEST(CnfData, OverlayReplacesOnlyTheGivenBytes) {
  CnfData base;
  fillDistinct(base);
  const auto before = base.encode();
  CnfData other;
  other.zero();
  other.userNumber = 0x11223344;
  other.userPort = 0x5566;
  const auto src = other.encode();

  // Cuts at a field edge, inside an int, inside a port, inside a text.
  for (std::size_t cut : {std::size_t{0}, std::size_t{100}, std::size_t{114}, std::size_t{150}, std::size_t{4270}, cnfSize}) {
    CnfData cnf;
    cnf.overlay(before);
    cnf.overlay(std::span(src).first(cut));
    const auto got = cnf.encode();
    for (std::size_t i = 0; i < cnfSize; ++i)
      ASSERT_EQ(got[i], i < cut ? src[i] : before[i]) << "cut " << cut << " byte " << i;
  }

  CnfData cnf;
  cnf.overlay(before);
  cnf.overlay(std::span(src).first(4270));
  EXPECT_EQ(static_cast<std::uint32_t>(cnf.userNumber.get()), 0x1B1A3344u);

  Bytes longer(src.begin(), src.end());
  longer.resize(cnfSize + 600, 0xEE);
  cnf.overlay(longer);
  EXPECT_EQ(cnf.encode(), src);

  CnfData copy;
  copy.copyFrom(base);
  EXPECT_EQ(copy.encode(), before);
  copy.zero();
  EXPECT_EQ(copy.encode(), (std::array<std::uint8_t, cnfSize>{}));
}

TEST(CnfData, MelodySlots) {
  CnfData cnf;
  EXPECT_EQ(cnf.melody(0), &cnf.musicCallIn);
  EXPECT_EQ(cnf.melody(1), &cnf.musicCallOut);
  EXPECT_EQ(cnf.melody(2), &cnf.musicFind);
  EXPECT_EQ(cnf.melody(3), &cnf.musicMsg);
  EXPECT_EQ(cnf.melody(-1), nullptr);
  EXPECT_EQ(cnf.melody(4), nullptr);
  const CnfData& c = cnf;
  EXPECT_EQ(c.melody(3), &cnf.musicMsg);
}

// A worker reads settings while the interface thread edits them; the
// thread sanitizer reports any non-atomic access.
TEST(CnfData, ConcurrentEditAndRead) {
  CnfData cnf;
  cnf.zero();
  std::thread reader([&] {
    for (int i = 0; i < 2000; ++i) {
      const auto bytes = cnf.encode();
      ASSERT_TRUE(bytes[113] == 0 || bytes[113] == 0x0D);
      (void)cnf.musicMsg.str();
    }
  });
  for (int i = 0; i < 2000; ++i) {
    cnf.userPort = (i % 2) ? 3393 : 0;
    cnf.musicMsg = (i % 2) ? "4e2 !" : "";
    cnf.userNumber = i;
  }
  reader.join();
  EXPECT_EQ(cnf.userPort.get(), 3393);
}

}  // namespace
}  // namespace orvalis::store
