#include "audio/wav_file.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/temp_dir.h"

namespace orvalis::audio {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Samples = std::vector<std::int16_t>;

void set(Bytes& b, std::size_t at, std::uint32_t v, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

TEST(WavFile, RoundTripsThroughBytesAndFiles) {
  Samples samples;
  for (int i = -40000; i < 40000; i += 97) samples.push_back(static_cast<std::int16_t>(i));
  const Bytes bytes = buildWav(samples);
  ASSERT_EQ(bytes.size(), wavHeaderBytes + 2 * samples.size());
  const WavRead read = parseWav(bytes);
  ASSERT_TRUE(read.ok()) << read.error;
  EXPECT_EQ(read.samples, samples);
  EXPECT_TRUE(parseWav(buildWav({})).ok());

  orvalis::testing::TempDir dir;
  ASSERT_EQ(saveWav(dir.file("a.wav"), samples), "");
  EXPECT_EQ(loadWav(dir.file("a.wav")).samples, samples);
  EXPECT_NE(loadWav(dir.file("missing.wav")).error, "");
  EXPECT_NE(saveWav(dir.file("no/such/dir.wav"), samples), "");

  // Sizes a 32-bit header cannot hold are saturated, never wrapped.
  const auto huge = wavHeader(std::size_t{1} << 33);
  EXPECT_EQ(huge[7], 0xFF);
  EXPECT_EQ(huge[43], 0xFF);
}

TEST(WavFile, ToleratesOtherChunksPaddingAndCutData) {
  Bytes b = buildWav(Samples{1, -2, 3});
  const Bytes list{'L', 'I', 'S', 'T', 3, 0, 0, 0, 'a', 'b', 'c', 0};  // odd chunk and its pad byte
  b.insert(b.begin() + 12, list.begin(), list.end());
  WavRead read = parseWav(b);
  ASSERT_TRUE(read.ok()) << read.error;
  EXPECT_EQ(read.samples, (Samples{1, -2, 3}));

  // A recording never closed: data claims more than there is, odd tail byte.
  Bytes open = buildWav(Samples{7, 8});
  set(open, 40, 0xFFFFFFFF, 4);
  open.push_back(9);
  read = parseWav(open);
  ASSERT_TRUE(read.ok()) << read.error;
  EXPECT_EQ(read.samples, (Samples{7, 8}));
}

TEST(WavFile, RefusesOtherFormatsSayingWhy) {
  const auto errorWith = [](std::size_t at, std::uint32_t value, std::size_t width) {
    Bytes b = buildWav(Samples{1, 2});
    set(b, at, value, width);
    const WavRead read = parseWav(b);
    EXPECT_TRUE(read.samples.empty());
    return read.error;
  };
  EXPECT_NE(errorWith(22, 2, 2).find("channels"), std::string::npos);
  EXPECT_NE(errorWith(24, 44100, 4).find("44100"), std::string::npos);
  EXPECT_NE(errorWith(34, 8, 2).find("8-bit"), std::string::npos);
  EXPECT_NE(errorWith(20, 3, 2).find("PCM"), std::string::npos);
  EXPECT_NE(errorWith(16, 10, 4).find("short"), std::string::npos);
  EXPECT_NE(errorWith(36, 'x', 1).find("data"), std::string::npos);
  EXPECT_NE(errorWith(12, 'x', 1).find("fmt"), std::string::npos);
  EXPECT_NE(errorWith(0, 'X', 1).find("RIFF"), std::string::npos);
  EXPECT_FALSE(parseWav({}).ok());
}

TEST(WavFile, DamagedInputNeverCrashes) {
  Bytes good = buildWav(Samples{1, 2, 3, 4, 5, 6});
  const Bytes list{'L', 'I', 'S', 'T', 5, 0, 0, 0, 1, 2, 3, 4, 5, 0};
  good.insert(good.begin() + 12, list.begin(), list.end());
  const auto check = [](const Bytes& b) {
    const WavRead read = parseWav(b);
    EXPECT_NE(read.ok(), !read.error.empty());
    EXPECT_LE(read.samples.size() * 2, b.size());
  };
  for (std::size_t n = 0; n <= good.size(); ++n) check(Bytes(good.begin(), good.begin() + static_cast<long>(n)));

  std::mt19937 rng(1234);
  for (int round = 0; round < 3000; ++round) {
    Bytes b = good;
    for (int f = 1 + static_cast<int>(rng() % 6); f > 0; --f) b[rng() % b.size()] = static_cast<std::uint8_t>(rng());
    b.resize(rng() % (b.size() + 1));
    check(b);
    Bytes noise(rng() % 80);
    for (auto& x : noise) x = static_cast<std::uint8_t>(rng());
    if (noise.size() >= 12) std::copy(good.begin(), good.begin() + 12, noise.begin());
    check(noise);
  }
}

}  // namespace
}  // namespace orvalis::audio
