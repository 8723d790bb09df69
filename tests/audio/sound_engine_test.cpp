#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numbers>
#include <vector>

#include "audio/sound_engine.h"
#include "net/message_codes.h"
#include "net/packet_io.h"
#include "store/config.h"
#include "support/bounded_wait.h"
#include "support/socket_pair.h"

namespace orvalis::audio {
namespace {

using Samples = std::vector<std::int16_t>;
using Bytes = std::array<std::uint8_t, gsmBytes>;
using Sent = std::pair<int, int>;  // code and payload length of a message

Samples alternating(std::size_t count, std::int16_t hi, std::int16_t lo = 0) {
  Samples s(count, lo);
  for (std::size_t i = 0; i < count; i += 2) s[i] = hi;
  return s;
}

struct Settings {
  Settings() {
    store::setDefaults(cnf);
    cnf.msa = 0;
    cnf.nGsmDelay = 0;
  }
  store::CnfData cnf;
};

class Engine : public ::testing::Test, protected Settings {
 protected:
  Engine() {
    calls.stateClient = net::ClientState::clientTalk;
    calls.sockClient.set(link.near);
    calls.voiceSender.set(sender);
  }
  ~Engine() override {
    link.near->close();  // a sender waiting on a stalled far end stops at once
    sender->stop();
  }
  Sent received() {
    net::CPacket packet;
    const int code = net::recvPacket(*link.far, packet);
    for (int at = 0; at < packet.length; at += 33) EXPECT_EQ(packet.payload[at] >> 4, 0xD);
    return {code, packet.length};
  }
  Bytes encoded(const Samples& s, std::size_t frame) {
    Bytes out;
    snd.encodeFrame(std::span(s).subspan(frame * 160).first<160>(), out);
    return out;
  }

  net::CallFields call;
  net::CallState calls;
  std::atomic<std::int32_t> voiceLevel{0}, voiceHold{0};
  std::atomic<int> switches{0};
  CBuf testBuf{cnf, [this] { ++switches; }};
  CBuf clientBuf{cnf};
  CSnd snd{SoundLinks{cnf, call, calls, voiceLevel, voiceHold, {}}, testBuf, clientBuf};
  testing::SocketPair link = testing::makeSocketPair();
  std::shared_ptr<net::VoiceSender> sender = std::make_shared<net::VoiceSender>(link.near);
  const Samples loud = alternating(800, 2000, -2000), quiet = Samples(800, 0);
};

TEST_F(Engine, VoiceLevelAndHold) {
  EXPECT_EQ(voiceLevelOf(alternating(320, 100)), 3);
  EXPECT_EQ(voiceLevelOf(alternating(320, 1000)), 7);
  EXPECT_EQ(voiceLevelOf(alternating(320, 10000)), 15);
  EXPECT_EQ(voiceLevelOf(alternating(320, 32767, -32768)), 27);
  EXPECT_EQ(voiceLevelOf(quiet), 0);

  cnf.activationVoice = 7;  // equal to the level: speech
  snd.detectVoice(2, alternating(320, 1000));
  EXPECT_EQ(voiceLevel, 7);
  EXPECT_EQ(call.voiceActive, 1);
  EXPECT_EQ(voiceHold, 40);
  snd.detectVoice(2, quiet);  // held
  EXPECT_EQ(call.voiceActive, 1);
  voiceHold = 0;
  snd.detectVoice(2, quiet);
  EXPECT_EQ(call.voiceActive, 0);
}

TEST_F(Engine, FirstMessageOfASpurtCarriesCode7) {
  EXPECT_TRUE(snd.sendVoice(2, loud));
  EXPECT_EQ(received(), Sent(net::peerVoiceFirst, 66));
  EXPECT_TRUE(snd.sendVoice(1, quiet));  // constant mode sends silence too
  EXPECT_EQ(received(), Sent(net::peerVoice, 33));
  snd.detectVoice(2, loud);  // no onset outside detector mode
  EXPECT_TRUE(call.spurtStarted);

  call.callMode = net::callModeDetector;
  for (int onset = 0; onset < 2; ++onset) {  // each onset, also mid-call
    voiceHold = 0;
    snd.detectVoice(2, quiet);
    EXPECT_FALSE(snd.sendVoice(2, quiet));
    snd.detectVoice(2, loud);
    EXPECT_TRUE(snd.sendVoice(5, loud));
    EXPECT_EQ(received(), Sent(net::peerVoiceFirst, 165));
    snd.detectVoice(2, quiet);
    EXPECT_TRUE(snd.sendVoice(2, quiet));
    EXPECT_EQ(received(), Sent(net::peerVoice, 66));
  }
}

TEST_F(Engine, GatesDropBlocksWithoutTouchingTheSpurt) {
  using enum net::Floor;
  using enum net::ClientState;
  struct Gate { int mode; net::Floor floor; int active, mute; net::ClientState state; bool sender; };
  for (const Gate& g : {Gate{3, pending, 1, 0, clientTalk, true},
                        Gate{3, talking, 0, 0, clientTalk, true},
                        Gate{1, listening, 1, 0, clientTalk, true},
                        Gate{0, talking, 1, 1, clientTalk, true},
                        Gate{0, talking, 1, 0, clientIncoming, true},  // not yet established
                        Gate{0, talking, 1, 0, clientOutgoing, true},
                        Gate{0, talking, 1, 0, clientIdle, false}}) {  // the microphone test
    call.callMode = g.mode, call.floor = g.floor, call.voiceActive = g.active;
    calls.stateLabel[net::labelMute] = g.mute;
    calls.stateClient = g.state;
    calls.voiceSender.set(g.sender ? sender : nullptr);
    EXPECT_FALSE(snd.sendVoice(2, loud)) << g.mode << ' ' << static_cast<int>(g.state);
  }
  EXPECT_FALSE(call.spurtStarted);
  calls.stateClient = clientTalk;
  calls.voiceSender.set(sender);
  call.callMode = 3;
  EXPECT_TRUE(snd.sendVoice(2, loud));
  EXPECT_EQ(received(), Sent(net::peerVoiceFirst, 66));
}

TEST_F(Engine, CaptureNeverWaitsOnAStalledPeer) {
  // The far end reads nothing: far more than the connection holds.
  EXPECT_TRUE(testing::finishesWithin(
      std::chrono::seconds(5),
      [&] {
        for (int b = 0; b < 2'000; ++b) ASSERT_TRUE(snd.sendVoice(5, loud));
      },
      [&] { link.near->close(); }));
  EXPECT_GT(sender->dropped(), 0u);
}

TEST_F(Engine, MicrophoneTest) {
  Samples block(800);
  EXPECT_FALSE(snd.recordTest(5, loud));  // not started
  testBuf.startTest();                    // half duplex: 248 frames, then play
  for (int b = 0; b < 50; ++b) EXPECT_TRUE(snd.recordTest(5, loud)) << b;
  EXPECT_FALSE(snd.recordTest(5, loud));
  EXPECT_EQ(testBuf.writeIdx(), testFrames);
  int blocks = 0;
  while (snd.mixTest(5, block)) ++blocks;
  EXPECT_EQ(blocks, 50);
  EXPECT_EQ(testBuf.readIdx(), testFrames);
  EXPECT_EQ(testBuf.testPlay, TestState::done);

  cnf.soundSystem = 0;  // full duplex: never ends by itself
  testBuf.startTest();
  for (int b = 0; b < 120; ++b) ASSERT_TRUE(snd.recordTest(5, loud) && snd.mixTest(5, block));
  EXPECT_EQ(switches, 1);
  snd.recordTest(5, loud);
  testBuf.stopTest();
  testBuf.startTest();
  EXPECT_FALSE(snd.mixTest(5, block));  // nothing left over from the last test
}

TEST_F(Engine, CodecRoundTripAndInvalidFrames) {
  Samples tone(160 * 12), out(tone.size());
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<std::int16_t>(8000 * std::sin(2 * std::numbers::pi * 1000 * i / 8000));
  double xy = 0, xx = 0, yy = 0;
  for (std::size_t k = 0; k < 12; ++k) {
    snd.decodeFrame(encoded(tone, k), std::span(out).subspan(k * 160).first<160>());
    for (std::size_t i = k * 160; i < (k + 1) * 160 && k >= 4; ++i)
      xy += double(tone[i]) * out[i], xx += double(tone[i]) * tone[i], yy += double(out[i]) * out[i];
  }
  EXPECT_GT(xy / std::sqrt(xx * yy), 0.95);  // once the codec has settled

  clientBuf.putFrame(Bytes{});  // not a codec frame: silence
  Samples block(480, 7);
  EXPECT_TRUE(snd.mixVoice(3, block));
  EXPECT_EQ(block, Samples(480, 7));
  clientBuf.putFrame(encoded(tone, 5));  // fills the block from its start
  EXPECT_TRUE(snd.mixVoice(3, block));
  EXPECT_NE(Samples(block.begin(), block.begin() + 160), Samples(160, 7));
  EXPECT_EQ(Samples(block.begin() + 160, block.end()), Samples(320, 7));
  EXPECT_FALSE(snd.mixVoice(3, block));
}

TEST_F(Engine, PlaybackSumsAllSourcesWithClamping) {
  MelodySynth tone(cnf), melody(cnf);  // the same sources, one at a time
  for (MelodySynth* s : {static_cast<MelodySynth*>(&snd), &tone, &melody}) {
    s->setVolume(160);
    s->startTone('0');
    s->setMelody("1a2 ");
    s->startMelody();
  }
  Samples block(800, -555), a(800), b(800);
  snd.playBlock(5, block);
  tone.mixTone(5, a);
  melody.mixMelody(5, b);
  int clamped = 0;
  for (std::size_t i = 0; i < 800; ++i) {
    EXPECT_EQ(block[i], std::clamp(a[i] + b[i], -32768, 32767)) << i;
    clamped += block[i] != a[i] + b[i];
  }
  EXPECT_GT(clamped, 0);
  calls.stateClient = net::ClientState::clientTalk;
  snd.playerOpened();  // the speaker opens during a call
  EXPECT_FALSE(snd.melodyOn());
}

}  // namespace
}  // namespace orvalis::audio
