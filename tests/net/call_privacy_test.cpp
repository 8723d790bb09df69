// The private call's handshake and sealing: both sides end with the same
// keys only when each holds the long-term key the other expects, for these
// two numbers; sealed messages open only in order and untouched.

#include <gtest/gtest.h>

#include "net/privacy/call_handshake.h"
#include "net/privacy/call_seal.h"

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

}  // namespace
}  // namespace orvalis::net
