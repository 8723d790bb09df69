#include "audio/wav_file.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <string_view>

#include "audio/audio_format.h"

namespace orvalis::audio {
namespace {

std::uint32_t le32(std::span<const std::uint8_t> b, std::size_t at) {
  return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
         std::uint32_t{b[at + 3]} << 24;
}

std::uint16_t le16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

void put32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void put16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

bool tagIs(std::span<const std::uint8_t> b, std::size_t at, std::string_view tag) {
  return std::equal(tag.begin(), tag.end(), b.begin() + static_cast<std::ptrdiff_t>(at),
                    [](char c, std::uint8_t u) { return static_cast<std::uint8_t>(c) == u; });
}

WavRead failure(std::string message) { return WavRead{{}, std::move(message)}; }

// Why the fmt chunk is not the phone's format, or nothing.
std::optional<std::string> formatProblem(std::span<const std::uint8_t> fmt) {
  if (fmt.size() < 16) return "WAV fmt chunk too short";
  const WaveFormat want{};
  const std::uint16_t tag = le16(fmt, 0);
  const std::uint16_t channels = le16(fmt, 2);
  const std::uint32_t rate = le32(fmt, 4);
  const std::uint16_t bits = le16(fmt, 14);
  if (tag != want.formatTag) return "WAV format tag " + std::to_string(tag) + " is not linear PCM";
  if (channels != want.channels) return "WAV has " + std::to_string(channels) + " channels, need mono";
  if (rate != want.samplesPerSec)
    return "WAV rate is " + std::to_string(rate) + " Hz, need " + std::to_string(want.samplesPerSec);
  if (bits != want.bitsPerSample) return "WAV has " + std::to_string(bits) + "-bit samples, need 16";
  return std::nullopt;
}

}  // namespace

WavRead parseWav(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 12 || !tagIs(bytes, 0, "RIFF") || !tagIs(bytes, 8, "WAVE"))
    return failure("not a RIFF WAVE file");

  std::optional<std::span<const std::uint8_t>> fmt;
  std::optional<std::span<const std::uint8_t>> data;
  std::size_t at = 12;
  // The RIFF size field is not trusted: streaming writers leave it wrong.
  while (bytes.size() - at >= 8) {
    const std::size_t claimed = le32(bytes, at + 4);
    const std::size_t bodyAt = at + 8;
    const std::size_t body = std::min(claimed, bytes.size() - bodyAt);
    const auto chunk = bytes.subspan(bodyAt, body);
    if (tagIs(bytes, at, "fmt ") && !fmt) fmt = chunk;
    if (tagIs(bytes, at, "data") && !data) data = chunk;
    if (body < claimed) break;  // cut short: nothing follows
    at = bodyAt + body + (body & 1);
    if (at > bytes.size()) break;
  }

  if (!fmt) return failure("WAV file has no fmt chunk");
  if (auto problem = formatProblem(*fmt)) return failure(std::move(*problem));
  if (!data) return failure("WAV file has no data chunk");

  WavRead read;
  read.samples.resize(data->size() / 2);
  for (std::size_t i = 0; i < read.samples.size(); ++i)
    read.samples[i] = static_cast<std::int16_t>(le16(*data, 2 * i));
  return read;
}

std::array<std::uint8_t, wavHeaderBytes> wavHeader(std::size_t sampleCount) {
  constexpr std::size_t maxData = std::numeric_limits<std::uint32_t>::max() - (wavHeaderBytes - 8);
  const auto dataBytes = static_cast<std::uint32_t>(std::min(sampleCount, maxData / 2) * 2);
  const WaveFormat f{};
  std::array<std::uint8_t, wavHeaderBytes> h{};
  const auto tag = [&h](std::size_t at, std::string_view t) { std::copy(t.begin(), t.end(), h.begin() + static_cast<std::ptrdiff_t>(at)); };
  tag(0, "RIFF");
  put32(h, 4, dataBytes + static_cast<std::uint32_t>(wavHeaderBytes - 8));
  tag(8, "WAVE");
  tag(12, "fmt ");
  put32(h, 16, 16);
  put16(h, 20, f.formatTag);
  put16(h, 22, f.channels);
  put32(h, 24, f.samplesPerSec);
  put32(h, 28, f.avgBytesPerSec);
  put16(h, 32, f.blockAlign);
  put16(h, 34, f.bitsPerSample);
  tag(36, "data");
  put32(h, 40, dataBytes);
  return h;
}

std::vector<std::uint8_t> buildWav(std::span<const std::int16_t> samples) {
  const auto header = wavHeader(samples.size());
  std::vector<std::uint8_t> bytes(header.begin(), header.end());
  bytes.reserve(header.size() + 2 * samples.size());
  for (const std::int16_t s : samples) {
    const auto u = static_cast<std::uint16_t>(s);
    bytes.push_back(static_cast<std::uint8_t>(u));
    bytes.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  return bytes;
}

WavRead loadWav(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return failure("cannot open " + path.string());
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return failure("cannot read " + path.string());
  WavRead read = parseWav(bytes);
  if (!read.ok()) read.error = path.string() + ": " + read.error;
  return read;
}

std::string saveWav(const std::filesystem::path& path, std::span<const std::int16_t> samples) {
  const auto bytes = buildWav(samples);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return "cannot create " + path.string();
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) return "cannot write " + path.string();
  return {};
}

}  // namespace orvalis::audio
