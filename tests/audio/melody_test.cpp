#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "audio/melody_notation.h"
#include "audio/melody_synth.h"
#include "store/config.h"

namespace orvalis::audio {
namespace {

using Samples = std::vector<std::int16_t>;

struct Synth {
  Synth() {
    store::setDefaults(cnf);
    synth.setVolume(cnf.musicVol);
  }
  // Plays a text from its start for `count` samples in blocks of 5 frames.
  Samples play(std::string_view text, std::size_t count) {
    synth.setMelody(text);
    synth.startMelody();
    return more(count);
  }
  Samples more(std::size_t count) {
    Samples out(count + 800, 0);
    for (std::size_t at = 0; at < count; at += 800) synth.mixMelody(5, std::span(out).subspan(at, 800));
    out.resize(count);
    return out;
  }
  store::CnfData cnf;
  MelodySynth synth{cnf};
};

int cycles(std::span<const std::int16_t> s) {
  int n = 0;
  for (std::size_t i = 1; i < s.size(); ++i) n += s[i - 1] < 0 && s[i] >= 0;
  return n;
}
double hertz(const Samples& s, std::size_t from, std::size_t to) {
  return cycles(std::span(s).subspan(from, to - from)) * 8000.0 / static_cast<double>(to - from);
}
bool silent(const Samples& s, std::size_t from, std::size_t to) {
  return std::all_of(s.begin() + from, s.begin() + to, [](auto v) { return v == 0; });
}

TEST(MelodyNotation, TokenRules) {
  const auto token = [](std::string_view text, std::int32_t pos) {
    const auto t = readToken(text, pos);
    return std::string(t.duration.view()) + "|" + std::string(t.note.view());
  };
  EXPECT_EQ(token("16#c2xyz ", 0), "16|#c2x");  // six bytes at most
  EXPECT_EQ(token("16#c2xyz ", 6), "y|z");
  EXPECT_EQ(token("c1 4d1 ", 0), "c1|");
  EXPECT_EQ(token("4d1 4e1", 4), "4|e14d1");  // wraps mid-token
  EXPECT_EQ(token("4a1\xd0\xb0" "8- ", 4), "8|-");
  EXPECT_EQ(readToken("4e2 !", 3).kind, ReadKind::stop);
  // Texts without any token end the search instead of looping.
  EXPECT_EQ(readToken("", 0).kind, ReadKind::none);
  EXPECT_EQ(readToken(" \t\x85 ", 2).kind, ReadKind::none);

  EXPECT_EQ(durationDivisor("c1"), 4);
  EXPECT_EQ(noteIndex("#b3"), 41);
  EXPECT_FALSE(noteIndex("a4"));
  EXPECT_DOUBLE_EQ(MelodySynth::noteSteps[5], MelodySynth::noteSteps[6]);    // #e1 = f1
  EXPECT_DOUBLE_EQ(MelodySynth::noteSteps[13], MelodySynth::noteSteps[14]);  // #b1 = c2
  EXPECT_EQ(noteSamples(50, 4), 2400);
  EXPECT_EQ(noteSamples(0, 1), 16000);  // tempo kept within 30..100
  EXPECT_EQ(noteSamples(1000, 16), 300);
}

TEST(MelodySynth, PlaysNotesRestsAndStopMark) {
  Synth s;
  const auto msg = s.play("4e2 4#c2 !", 9600);
  EXPECT_NEAR(hertz(msg, 0, 2400), 659.26, 10);
  EXPECT_NEAR(hertz(msg, 2400, 4800), 554.36, 10);
  EXPECT_FALSE(silent(msg, 4700, 4800));
  EXPECT_TRUE(silent(msg, 4800, 9600));
  EXPECT_FALSE(s.synth.melodyOn());
  s.synth.startMelody();
  EXPECT_EQ(s.more(4800), Samples(msg.begin(), msg.begin() + 4800));

  const auto alt = s.play("8- 8a1 ", 4800);
  for (std::size_t at = 0; at < 4800; at += 2400) {
    EXPECT_TRUE(silent(alt, at, at + 1200));
    EXPECT_NEAR(hertz(alt, at + 1200, at + 2400), 440, 12);
  }
  const auto wrapped = s.play("4d1 4e1", 12000);
  EXPECT_NEAR(hertz(wrapped, 0, 2400), 293.67, 10);
  EXPECT_TRUE(silent(wrapped, 2400, 12000));
  EXPECT_TRUE(s.synth.melodyOn());

  EXPECT_EQ(s.play("4C1 ", 4800), s.play("4c1 ", 4800));
  s.synth.stopMelody();
  EXPECT_TRUE(silent(s.more(800), 0, 800));
}

TEST(MelodySynth, EmptyTextsAndBadTempoStillEnd) {
  Synth s;
  for (const char* text : {"", "   ", "\x90\xa0 "}) {
    s.play(text, 800);
    EXPECT_FALSE(s.synth.melodyOn()) << text;
  }
  s.cnf.musicTakt = 0;  // a damaged setting: played as 30
  const auto slow = s.play("1a1 !", 17000);
  EXPECT_FALSE(silent(slow, 15900, 16000));
  EXPECT_TRUE(silent(slow, 16000, 17000));
}

TEST(MelodySynth, KeyToneLengthAndRestart) {
  Synth s;
  Samples block(800);
  const auto framesPlayed = [&](int n) {
    int produced = 0;
    for (; s.synth.toneState() != ToneState::idle; produced += n) {
      std::fill(block.begin(), block.end(), 0);
      s.synth.mixTone(n, block);
      EXPECT_FALSE(silent(block, 0, n * 160u));
    }
    return produced;
  };
  for (const auto& [n, frames] : {std::pair{1, 11}, std::pair{2, 12}, std::pair{5, 15}}) {
    s.synth.startTone('5');
    EXPECT_EQ(framesPlayed(n), frames) << n;
  }
  s.synth.startTone('1');
  s.synth.mixTone(5, block);
  s.synth.mixTone(5, block);
  s.synth.startTone('2');  // a new key press starts over
  EXPECT_EQ(framesPlayed(5), 15);
}

// A restart posted while the playback thread ends the melody at its stop
// mark must never be lost: the last melody heard is the last one started.
TEST(MelodySynth, RestartsAreNeverLost) {
  Synth s;
  std::atomic<int> started{0}, finished{0}, lastCycles{0};
  std::atomic<bool> done{false};
  std::thread audio([&] {
    Samples block(800);
    for (int b = 1; !done; finished = b++) {
      started = b;
      std::fill(block.begin(), block.end(), 0);
      if (s.synth.mixMelody(5, block)) lastCycles = cycles(block);
      s.synth.mixTone(5, block);
    }
  });
  int lost = 0;
  for (int i = 0; i < 400; ++i) {
    // Each ends within one block: a1 has 33 cycles, c1 19.
    s.synth.setMelody("16a1 !");
    s.synth.startMelody();
    for (int spin = 0; spin < i % 17; ++spin) std::this_thread::yield();
    s.synth.setMelody("16c1 !");
    s.synth.startMelody();  // may land while the first one is played
    s.synth.startTone('7');
    while (s.synth.melodyOn()) std::this_thread::yield();
    for (const int last = started; finished < last;) std::this_thread::yield();
    lost += lastCycles > 26;
  }
  done = true;
  audio.join();
  EXPECT_EQ(lost, 0);
}

}  // namespace
}  // namespace orvalis::audio
