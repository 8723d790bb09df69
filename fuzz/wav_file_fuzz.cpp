// WAV files of any content: a file that reads gives samples that, written
// in the phone's format, read back the same.
#include <cstdint>
#include <span>

#include "audio/wav_file.h"
#include "fuzz_support.h"

using namespace orvalis::audio;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const WavRead read = parseWav(std::span(data, size));
  if (!read.ok()) return 0;
  FUZZ_CHECK(read.samples.size() * 2 <= size);
  const auto bytes = buildWav(read.samples);
  FUZZ_CHECK(bytes.size() == wavHeaderBytes + 2 * read.samples.size());
  const WavRead again = parseWav(bytes);
  FUZZ_CHECK(again.ok() && again.samples == read.samples);
  return 0;
}
