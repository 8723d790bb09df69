// Speech between two headless phones on the virtual sound device: a spoken
// sentence goes into A's microphone, B's speaker is recorded, and B must
// have heard the sentence (its energy envelope follows A's) in each way of
// activating the transmission, and nothing from a muted A.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <thread>

#include "audio/wav_file.h"
#include "cli_phones.h"
#include "speech.h"

namespace orvalis::testing {
namespace {

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
  // Both have keys and their server speaks TLS: the speech is sealed.
  EXPECT_TRUE(b.expectStatus({"privateCall=1 callerVerified=1"}));
  if (way == Way::muted) {
    a.send("mute on");
    EXPECT_TRUE(a.expectStatus({"mute=1"}));
  }
  if (way == Way::button) {
    // The microphone opens, and the words start, when the floor comes.
    a.send("floor-request");
    EXPECT_TRUE(a.expectStatus({"floor=2 "}));
  }
  // The sentence, B's spool and some slack.
  const auto seconds = static_cast<double>(c.spoken.size()) / 8000.0 + 2.0;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  // A new user's spool adapts: on loopback it holds a spurt's start for no
  // more than a few frames.
  const std::string spool = b.statusValue("spoolMs");
  EXPECT_GE(std::atoi(spool.c_str()), 40) << spool;
  EXPECT_LE(std::atoi(spool.c_str()), 100) << spool;
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

// A device that cannot be opened (here a device number the virtual device
// does not have) is said once when a call needs it, not kept quiet.
TEST(PhoneVoice, ADeviceThatCannotBeOpenedIsSaidAtTheCall) {
  Server server;
  Phone a(300000001, server.port(), {.audio = "wav:,", .fullDuplex = true, .soundMc = 3});
  Phone b(300000002, server.port(), {.audio = "wav:,", .fullDuplex = true, .soundSp = 3});
  ASSERT_TRUE(a.registerOnServer());
  ASSERT_TRUE(b.registerOnServer());
  EXPECT_FALSE(a.printedSinceMark("message: The microphone cannot be opened"));
  EXPECT_FALSE(b.printedSinceMark("message: The loudspeaker cannot be opened"));
  connect(a, b);
  EXPECT_TRUE(a.expect("message: The microphone cannot be opened: the other side hears nothing."));
  EXPECT_TRUE(b.expect("message: The loudspeaker cannot be opened: the call is not heard."));
  EXPECT_FALSE(a.printedSinceMark("message: The loudspeaker"));
  EXPECT_FALSE(b.printedSinceMark("message: The microphone"));
  hangUpOn(a, b);
  EXPECT_EQ(a.quit(), 0);
  EXPECT_EQ(b.quit(), 0);
}

}  // namespace
}  // namespace orvalis::testing
