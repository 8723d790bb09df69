// Melody notation and synthesis with any text, tempo and volume: the
// token reader always moves on or says there is nothing to read, notes
// last a positive time, and a melody mixed block after block either keeps
// sounding or ends, without leaving the sample range.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "audio/melody_synth.h"
#include "fuzz_support.h"

using namespace orvalis;
using namespace orvalis::audio;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 9) return 0;
  std::int32_t tempo = 0, volume = 0;
  std::memcpy(&tempo, data, 4);
  std::memcpy(&volume, data + 4, 4);
  const std::int32_t frames = 1 + data[8] % 5;
  const std::string_view text(reinterpret_cast<const char*>(data) + 9, size - 9);

  // The reader, straight on the text.
  std::int32_t pos = 0;
  for (int i = 0; i < 64; ++i) {
    const TokenRead read = readToken(text, pos);
    if (read.kind == ReadKind::none) break;
    FUZZ_CHECK(read.duration.size + read.note.size <= maxTokenBytes);
    FUZZ_CHECK(read.next >= 0 && read.next <= static_cast<std::int32_t>(text.size()));
    const std::int32_t divisor = durationDivisor(read.duration.view());
    FUZZ_CHECK(divisor == 1 || divisor == 2 || divisor == 4 || divisor == 8 || divisor == 16);
    FUZZ_CHECK(noteSamples(tempo, divisor) > 0);
    if (const auto note = noteIndex(read.note.view())) FUZZ_CHECK(*note >= 0 && *note < noteCount);
    if (read.kind == ReadKind::stop) break;
    pos = read.next;
  }

  // The synthesizer, as the playback thread drives it.
  store::CnfData cnf;
  cnf.musicTakt = tempo;
  cnf.musicVol = volume;
  MelodySynth synth(cnf);
  synth.setMelody(text);
  FUZZ_CHECK(synth.melodyText().size() <= static_cast<std::size_t>(maxMelodyBytes));
  synth.startMelody();
  synth.startTone(static_cast<char>(data[8]));
  std::vector<std::int16_t> block(static_cast<std::size_t>(frames) * 160);
  for (int i = 0; i < 40; ++i) {
    std::fill(block.begin(), block.end(), 0);
    synth.mixTone(frames, block);
    if (!synth.mixMelody(frames, block) && !synth.melodyOn()) break;
  }
  synth.stopMelody();
  synth.stopTone();
  return 0;
}
