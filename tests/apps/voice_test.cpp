// Speech between two headless phones on the virtual sound device: a spoken
// sentence goes into A's microphone, B's speaker is recorded, and B must
// have heard the sentence (its energy envelope follows A's) in each way of
// activating the transmission, and nothing from a muted A.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <numeric>
#include <thread>

#include "audio/wav_file.h"
#include "cli_phones.h"
#include "support/subprocess.h"

namespace orvalis::testing {
namespace {

constexpr std::size_t window = 160;  // 20 ms envelope windows

// Speaks a sentence into an 8 kHz mono WAV file, after `leadSeconds` of
// silence.
std::vector<std::int16_t> makeSentence(const TempDir& dir, const std::string& name,
                                       double leadSeconds) {
  const std::string raw = dir.file(name + "-raw.wav").string();
  const std::string out = dir.file(name + ".wav").string();
  const RunResult spoken = runProgram(
      "espeak-ng", {"-w", raw, "-s", "150", "Orvalis carries this sentence to the other phone."},
      dir.path().string(), "");
  if (spoken.exitStatus != 0) throw std::runtime_error("espeak-ng failed");
  const RunResult converted =
      runProgram("sox", {raw, "-r", "8000", "-c", "1", "-b", "16", out, "pad",
                         std::to_string(leadSeconds), "0.5"},
                 dir.path().string(), "");
  if (converted.exitStatus != 0) throw std::runtime_error("sox failed");
  auto sentence = audio::loadWav(out);
  if (!sentence.ok()) throw std::runtime_error("the sentence cannot be read: " + sentence.error);
  return std::move(sentence.samples);
}

std::vector<double> envelope(const std::vector<std::int16_t>& samples) {
  std::vector<double> e(samples.size() / window);
  for (std::size_t k = 0; k < e.size(); ++k) {
    double sum = 0;
    for (std::size_t j = 0; j < window; ++j) sum += std::abs(samples[k * window + j]);
    e[k] = sum / window;
  }
  return e;
}

double pearson(std::span<const double> a, std::span<const double> b) {
  const double n = static_cast<double>(a.size());
  const double ma = std::accumulate(a.begin(), a.end(), 0.0) / n;
  const double mb = std::accumulate(b.begin(), b.end(), 0.0) / n;
  double ab = 0, aa = 0, bb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    ab += (a[i] - ma) * (b[i] - mb);
    aa += (a[i] - ma) * (a[i] - ma);
    bb += (b[i] - mb) * (b[i] - mb);
  }
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
}

// The best correlation of the input's envelope with the output's over
// every delay of the output.
double bestAlignment(const std::vector<std::int16_t>& input, const std::vector<std::int16_t>& output) {
  const auto a = envelope(input);
  const auto b = envelope(output);
  double best = -1;
  for (std::size_t lag = 0; lag + a.size() <= b.size(); ++lag)
    best = std::max(best, pearson(a, std::span<const double>(b).subspan(lag, a.size())));
  return best;
}

int peak(const std::vector<std::int16_t>& samples) {
  int p = 0;
  for (const std::int16_t s : samples) p = std::max(p, std::abs(static_cast<int>(s)));
  return p;
}

enum class Way { constant, button, detector, muted };

// A calls B, speaks (or stays muted) and hangs up; what B's speaker played.
struct Conversation {
  std::vector<std::int16_t> spoken;
  std::vector<std::int16_t> heard;
};

Conversation talk(Way way) {
  Server server;
  TempDir media;
  // A muted phone needs time for the mute command before the words come.
  const double lead = way == Way::muted ? 2.0 : 0.3;
  Conversation c;
  c.spoken = makeSentence(media, "sentence", lead);
  const std::string heardPath = media.file("heard.wav").string();

  const std::int32_t msa = way == Way::button ? 1 : way == Way::detector ? 2 : 0;
  // Full duplex: in half duplex a phone that transmits does not listen.
  Phone a(300000001, server.port(),
          {.msa = msa,
           .audio = "wav:" + media.file("sentence.wav").string() + ",",
           .silentMelodies = true,
           .fullDuplex = true});
  Phone b(300000002, server.port(),
          {.audio = "wav:," + heardPath, .silentMelodies = true, .fullDuplex = true});
  EXPECT_TRUE(a.registerOnServer());
  EXPECT_TRUE(b.registerOnServer());
  connect(a, b);
  if (way == Way::muted) {
    a.send("mute on");
    EXPECT_TRUE(a.expectStatus({"mute=1"}));
  }
  if (way == Way::button) {
    // The microphone opens, and the words start, when the floor comes.
    a.send("floor-request");
    EXPECT_TRUE(a.expectStatus({"floor=2 "}));
  }
  // The sentence, B's spool (1 s by default) and some slack.
  const auto seconds = static_cast<double>(c.spoken.size()) / 8000.0 + 2.0;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  hangUpOn(a, b);
  EXPECT_EQ(a.quit(), 0);
  EXPECT_EQ(b.quit(), 0);
  auto heard = audio::loadWav(heardPath);
  EXPECT_TRUE(heard.ok()) << heard.error;
  c.heard = std::move(heard.samples);
  return c;
}

TEST(PhoneVoice, TheSentenceArrivesWhenTransmittingConstantly) {
  const Conversation c = talk(Way::constant);
  EXPECT_GT(bestAlignment(c.spoken, c.heard), 0.8);
}

TEST(PhoneVoice, TheSentenceArrivesByButtonWithTheFloor) {
  const Conversation c = talk(Way::button);
  EXPECT_GT(bestAlignment(c.spoken, c.heard), 0.8);
}

TEST(PhoneVoice, TheSentenceArrivesThroughTheVoiceDetector) {
  const Conversation c = talk(Way::detector);
  EXPECT_GT(bestAlignment(c.spoken, c.heard), 0.8);
}

TEST(PhoneVoice, NothingArrivesFromAMutedPhone) {
  const Conversation c = talk(Way::muted);
  EXPECT_GT(peak(c.spoken), 5000);
  EXPECT_LT(peak(c.heard), 50);
}

}  // namespace
}  // namespace orvalis::testing
