// The private call's handshake and sealing: both sides end with the same
// keys only when each holds the long-term key the other expects, for these
// two numbers; sealed messages open only in order and untouched.

#include <gtest/gtest.h>

#include <algorithm>

#include "call_fakes.h"
#include "net/privacy/call_handshake.h"
#include "net/privacy/call_seal.h"
#include "net/privacy/private_call_codes.h"
#include "support/recording_relay.h"

namespace orvalis::net {
namespace {

constexpr std::int32_t alice = 200000001, bob = 200000002;

std::vector<std::uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST(CallPrivacy, HandshakeGivesBothSidesTheSameKeysAndSealsInOrder) {
  const KeyPair a = KeyPair::generate(), b = KeyPair::generate();
  CallerHandshake caller(a, b.publicKey, alice, bob);
  CalleeHandshake callee(b, alice, bob);
  const auto reply = callee.takeHello(caller.hello());
  ASSERT_TRUE(reply);
  EXPECT_EQ(callee.callerKey(), a.publicKey);
  const auto done = caller.takeReply(*reply);
  ASSERT_TRUE(done);
  const auto keys = callee.takeProof(done->proof);
  ASSERT_TRUE(keys);
  EXPECT_EQ(keys->receive, done->keys.send);
  EXPECT_EQ(keys->send, done->keys.receive);
  EXPECT_NE(keys->send, keys->receive);

  CallSeal out(done->keys.send), in(keys->receive);
  const auto first = out.seal(bytes("voice 1"));
  const auto second = out.seal(bytes("voice 2"));
  EXPECT_EQ(first.size(), 7 + sealOverhead);
  EXPECT_NE(first, out.seal(bytes("voice 1"))) << "a repeated message looks the same";
  // Out of order: refused, and the channel stays refused.
  EXPECT_FALSE(CallSeal(keys->receive).open(second));
  EXPECT_EQ(in.open(first), bytes("voice 1"));
  auto tampered = second;
  tampered[0] ^= 1;
  EXPECT_FALSE(in.open(tampered));
  EXPECT_FALSE(in.open(second));
}

TEST(CallPrivacy, WhoeverLacksTheExpectedKeyFails) {
  const KeyPair a = KeyPair::generate(), b = KeyPair::generate(), m = KeyPair::generate();
  {  // Someone answering in the callee's place, without its secret key.
    CallerHandshake caller(a, b.publicKey, alice, bob);
    CalleeHandshake impostor(m, alice, bob);
    const auto reply = impostor.takeHello(caller.hello());
    ASSERT_TRUE(reply);
    EXPECT_FALSE(caller.takeReply(*reply));
  }
  {  // A caller showing alice's public key without her secret one.
    const KeyPair claimed{a.publicKey, m.secretKey};
    CallerHandshake mallory(claimed, b.publicKey, alice, bob);
    CalleeHandshake callee(b, alice, bob);
    const auto reply = callee.takeHello(mallory.hello());
    ASSERT_TRUE(reply);
    EXPECT_EQ(callee.callerKey(), a.publicKey);
    const auto done = mallory.takeReply(*reply);
    EXPECT_FALSE(done && callee.takeProof(done->proof));
  }
  {  // The two sides disagree on who calls whom.
    CallerHandshake caller(a, b.publicKey, alice, bob);
    CalleeHandshake callee(b, 300000000, bob);
    const auto reply = callee.takeHello(caller.hello());
    ASSERT_TRUE(reply);
    EXPECT_FALSE(caller.takeReply(*reply));
  }
  {  // Malformed hellos: another version, a key of low order.
    CallerHandshake caller(a, b.publicKey, alice, bob);
    auto hello = caller.hello();
    hello[0] = 2;
    EXPECT_FALSE(CalleeHandshake(b, alice, bob).takeHello(hello));
    hello = caller.hello();
    std::fill(hello.begin() + 1, hello.begin() + 1 + publicKeySize, 0);
    EXPECT_FALSE(CalleeHandshake(b, alice, bob).takeHello(hello));
    EXPECT_FALSE(CalleeHandshake(b, alice, bob).takeProof(std::array<std::uint8_t, proofSize>{}));
  }
}

// ---- private calls between two phones' call threads and listener ---------------

using namespace testing;

// Two phones with keys, the callee listening behind a relay that keeps
// every byte of the call.
struct PrivatePair {
  PrivatePair() {
    caller.keys = KeyPair::generate();
    callee.keys = KeyPair::generate();
    caller.cnf.userNumber = alice;
    callee.cnf.userNumber = bob;
    caller.cnf.msa = 0;
    callee.cnf.msa = 0;
    bind = std::make_unique<CBind>(callee);
    EXPECT_TRUE(eventually([&] { return callee.call.stateBind.load() == BindState::bindListening; }));
    wire = std::make_unique<::orvalis::testing::RecordingRelay>(callee.port.load());
  }
  ~PrivatePair() {
    client.reset();
    stopNetwork(callee.call);
    bind.reset();
  }
  // Dials bob with the key the caller was given for him.
  void dial(const PublicKey& calleeKey) {
    caller.fields.number = bob;
    const auto generation =
        beginOutgoing(caller.call, PeerAddress{loopback, htons(wire->port()), 0});
    ASSERT_TRUE(generation);
    client = std::make_unique<CClient>(caller, *generation, nullptr, callConnectWait, calleeKey);
  }

  FakeCallHost caller, callee;
  std::unique_ptr<CBind> bind;
  std::unique_ptr<::orvalis::testing::RecordingRelay> wire;
  std::unique_ptr<CClient> client;
};

TEST(PrivateCall, EveryMessageIsSealedAndTheCallRunsAsAPlainOne) {
  PrivatePair p;
  p.dial(p.callee.keys->publicKey);
  ASSERT_TRUE(eventually([&] { return p.callee.state() == ClientState::clientIncoming; }));
  EXPECT_TRUE(p.callee.fields.privateCall.load());
  EXPECT_FALSE(p.callee.fields.callerVerified.load());  // until its server confirms
  ASSERT_TRUE(eventually([&] { return p.callee.checkedCaller().has_value(); }));
  const auto checked = p.callee.checkedCaller();
  EXPECT_EQ(checked->first, alice);
  EXPECT_EQ(checked->second, p.caller.keys->publicKey);

  // The callee's user answers; voice and the floor go both ways.
  sendCode(*p.callee.call.sockClient.get(), peerAccept, std::array<std::uint8_t, 4>{});
  ASSERT_TRUE(eventually([&] {
    return p.caller.state() == ClientState::clientTalk && p.callee.state() == ClientState::clientTalk;
  }));
  EXPECT_TRUE(p.caller.fields.privateCall.load());
  EXPECT_TRUE(p.caller.fields.callerVerified.load());
  const std::vector<std::uint8_t> speech(3 * gsmFrameSize, 0x5A);
  sendCode(*p.caller.call.sockClient.get(), peerVoiceFirst, speech);
  sendCode(*p.callee.call.sockClient.get(), peerVoice, speech);
  ASSERT_TRUE(eventually([&] { return p.callee.frames.load() == 3 && p.caller.frames.load() == 3; }));
  EXPECT_EQ(p.callee.spurts.load(), 1);

  hangUpCall(p.caller.call);
  p.client.reset();
  ASSERT_TRUE(eventually([&] { return p.callee.state() == ClientState::clientIdle; }));
  EXPECT_FALSE(p.caller.fields.privateCall.load());

  // On the wire: the handshake, then sealed messages only; no voice
  // message, no speech byte pattern, not even the numbers after the call.
  const std::string carried = p.wire->carried();
  const auto has = [&](std::initializer_list<std::uint8_t> b) {
    return carried.find(std::string(b.begin(), b.end())) != std::string::npos;
  };
  EXPECT_TRUE(has({packetMarker, 0, peerPrivateCall, 0}));
  EXPECT_TRUE(has({packetMarker, 0, peerSealed, 0}));
  EXPECT_FALSE(has({packetMarker, 0, peerVoice, 0, 3 * gsmFrameSize, 0}));
  EXPECT_FALSE(has({packetMarker, 0, peerVoiceFirst, 0, 3 * gsmFrameSize, 0}));
  EXPECT_FALSE(has({packetMarker, 0, peerAccept, 0}));
  EXPECT_FALSE(has({packetMarker, 0, peerHangUp, 0}));
  EXPECT_EQ(carried.find(std::string(8, '\x5A')), std::string::npos);
}

TEST(PrivateCall, AWrongKeyEndsTheCallAndNothingGoesInPlain) {
  PrivatePair p;
  p.dial(KeyPair::generate().publicKey);  // not the key bob holds
  ASSERT_TRUE(eventually([&] { return p.caller.shown(CallText::privateFailed); }));
  p.client.reset();
  EXPECT_EQ(p.caller.state(), ClientState::clientIdle);
  EXPECT_EQ(p.callee.state(), ClientState::clientIdle);  // it never rang
  EXPECT_FALSE(p.callee.checkedCaller());
  const std::string carried = p.wire->carried();
  EXPECT_EQ(carried.find(std::string{char(packetMarker), 0, char(peerCall), 0}), std::string::npos);

  // A plain caller still reaches the phone with a key, in plain.
  const SocketPtr plain = Socket::createTcp();
  ASSERT_TRUE(plain->connect(loopback, p.callee.port.load()));
  std::array<std::uint8_t, 8> numbers{};
  writeInt32(numbers, 0, bob);
  writeInt32(numbers, 4, 300000003);
  sendCode(*plain, peerCall, numbers);
  ASSERT_TRUE(eventually([&] { return p.callee.state() == ClientState::clientIncoming; }));
  EXPECT_FALSE(p.callee.fields.privateCall.load());
  ASSERT_TRUE(eventually([&] { return p.callee.checkedCaller().has_value(); }));
  EXPECT_EQ(p.callee.checkedCaller()->first, 300000003);
  EXPECT_FALSE(p.callee.checkedCaller()->second);
  sendCode(*plain, peerHangUp);
  ASSERT_TRUE(eventually([&] { return p.callee.state() == ClientState::clientIdle; }));

  // A private call to a phone without keys is closed unanswered.
  p.callee.keys.reset();
  const SocketPtr hopeful = Socket::createTcp();
  ASSERT_TRUE(hopeful->connect(loopback, p.callee.port.load()));
  CallerHandshake handshake(*p.caller.keys, KeyPair::generate().publicKey, alice, bob);
  std::array<std::uint8_t, 8 + helloSize> call{};
  const auto hello = handshake.hello();
  std::copy(hello.begin(), hello.end(), call.begin() + 8);
  sendCode(*hopeful, peerPrivateCall, call);
  EXPECT_EQ(recvCode(*hopeful), 0);
}

}  // namespace
}  // namespace orvalis::net
