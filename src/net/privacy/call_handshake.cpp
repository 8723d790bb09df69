#include "net/privacy/call_handshake.h"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>

namespace orvalis::net {

namespace {

using Secret = std::array<std::uint8_t, 32>;

constexpr char kdfContext[crypto_kdf_CONTEXTBYTES + 1] = "orvcall1";
enum Subkey : std::uint64_t { calleeProof = 1, callerProof = 2, callerToCallee = 3, calleeToCaller = 4 };

void ensureSodium() {
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
}

bool exchange(Secret& out, const Secret& secret, const PublicKey& other) {
  return crypto_scalarmult(out.data(), secret.data(), other.data()) == 0;
}

void putNumber(crypto_generichash_state& h, std::int32_t n) {
  std::array<std::uint8_t, 4> b{};
  for (int i = 0; i < 4; ++i) b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(n >> (8 * i));
  crypto_generichash_update(&h, b.data(), b.size());
}

// The call's master secret: the three exchanges, bound to the transcript.
Secret master(std::int32_t callerNumber, std::int32_t calleeNumber, const PublicKey& callerKey,
              const PublicKey& callerEphemeral, const PublicKey& calleeKey,
              const PublicKey& calleeEphemeral, const Secret& ee, const Secret& es,
              const Secret& se) {
  crypto_generichash_state h;
  crypto_generichash_init(&h, nullptr, 0, 32);
  static constexpr std::uint8_t label[] = "orvalis private call 1";
  crypto_generichash_update(&h, label, sizeof label);
  putNumber(h, callerNumber);
  putNumber(h, calleeNumber);
  for (const auto* k : {&callerKey, &callerEphemeral, &calleeKey, &calleeEphemeral})
    crypto_generichash_update(&h, k->data(), k->size());
  for (const auto* s : {&ee, &es, &se}) crypto_generichash_update(&h, s->data(), s->size());
  Secret out{};
  crypto_generichash_final(&h, out.data(), out.size());
  return out;
}

Secret subkey(const Secret& master, Subkey id) {
  Secret out{};
  crypto_kdf_derive_from_key(out.data(), out.size(), id, kdfContext, master.data());
  return out;
}

CallKeys keysOf(const Secret& master, bool caller) {
  const Secret toCallee = subkey(master, callerToCallee);
  const Secret toCaller = subkey(master, calleeToCaller);
  return caller ? CallKeys{toCallee, toCaller} : CallKeys{toCaller, toCallee};
}

bool allZero(const Secret& s) { return sodium_is_zero(s.data(), s.size()) == 1; }

void wipe(KeyPair& k) { sodium_memzero(k.secretKey.data(), k.secretKey.size()); }

}  // namespace

KeyPair KeyPair::generate() {
  ensureSodium();
  KeyPair k;
  crypto_box_keypair(k.publicKey.data(), k.secretKey.data());
  return k;
}

KeyPair KeyPair::fromSecret(const std::array<std::uint8_t, 32>& secret) {
  ensureSodium();
  KeyPair k;
  k.secretKey = secret;
  crypto_scalarmult_base(k.publicKey.data(), k.secretKey.data());
  return k;
}

CallerHandshake::CallerHandshake(const KeyPair& own, const PublicKey& callee,
                                 std::int32_t callerNumber, std::int32_t calleeNumber)
    : own_(own),
      ephemeral_(KeyPair::generate()),
      callee_(callee),
      callerNumber_(callerNumber),
      calleeNumber_(calleeNumber) {}

CallerHandshake::~CallerHandshake() {
  wipe(own_);
  wipe(ephemeral_);
}

std::array<std::uint8_t, helloSize> CallerHandshake::hello() const {
  std::array<std::uint8_t, helloSize> out{};
  out[0] = handshakeVersion;
  std::copy(ephemeral_.publicKey.begin(), ephemeral_.publicKey.end(), out.begin() + 1);
  std::copy(own_.publicKey.begin(), own_.publicKey.end(), out.begin() + 1 + publicKeySize);
  return out;
}

std::optional<CallerHandshake::Done> CallerHandshake::takeReply(
    std::span<const std::uint8_t> reply) {
  if (reply.size() != replySize) return std::nullopt;
  PublicKey calleeEphemeral{};
  std::copy_n(reply.begin(), publicKeySize, calleeEphemeral.begin());
  Secret ee{}, es{}, se{};
  // A low-order key gives an all-zero exchange, which proves nothing.
  if (!exchange(ee, ephemeral_.secretKey, calleeEphemeral) ||
      !exchange(es, ephemeral_.secretKey, callee_) ||
      !exchange(se, own_.secretKey, calleeEphemeral) || allZero(ee) || allZero(es) || allZero(se))
    return std::nullopt;
  const Secret m = master(callerNumber_, calleeNumber_, own_.publicKey, ephemeral_.publicKey,
                          callee_, calleeEphemeral, ee, es, se);
  const Secret expected = subkey(m, calleeProof);
  if (sodium_memcmp(expected.data(), reply.data() + publicKeySize, expected.size()) != 0)
    return std::nullopt;
  Done done{keysOf(m, true), subkey(m, callerProof)};
  sodium_memzero(ee.data(), ee.size());
  sodium_memzero(es.data(), es.size());
  sodium_memzero(se.data(), se.size());
  return done;
}

CalleeHandshake::CalleeHandshake(const KeyPair& own, std::int32_t callerNumber,
                                 std::int32_t calleeNumber)
    : own_(own),
      ephemeral_(KeyPair::generate()),
      callerNumber_(callerNumber),
      calleeNumber_(calleeNumber) {}

CalleeHandshake::~CalleeHandshake() {
  wipe(own_);
  wipe(ephemeral_);
  sodium_memzero(master_.data(), master_.size());
}

std::optional<std::array<std::uint8_t, replySize>> CalleeHandshake::takeHello(
    std::span<const std::uint8_t> hello) {
  if (helloTaken_ || hello.size() != helloSize || hello[0] != handshakeVersion) return std::nullopt;
  std::copy_n(hello.begin() + 1, publicKeySize, callerEphemeral_.begin());
  std::copy_n(hello.begin() + 1 + publicKeySize, publicKeySize, caller_.begin());
  Secret ee{}, es{}, se{};
  if (!exchange(ee, ephemeral_.secretKey, callerEphemeral_) ||
      !exchange(es, own_.secretKey, callerEphemeral_) ||
      !exchange(se, ephemeral_.secretKey, caller_) || allZero(ee) || allZero(es) || allZero(se))
    return std::nullopt;
  helloTaken_ = true;
  master_ = master(callerNumber_, calleeNumber_, caller_, callerEphemeral_, own_.publicKey,
                   ephemeral_.publicKey, ee, es, se);
  std::array<std::uint8_t, replySize> out{};
  std::copy(ephemeral_.publicKey.begin(), ephemeral_.publicKey.end(), out.begin());
  const Secret proof = subkey(master_, calleeProof);
  std::copy(proof.begin(), proof.end(), out.begin() + publicKeySize);
  return out;
}

std::optional<CallKeys> CalleeHandshake::takeProof(std::span<const std::uint8_t> proof) {
  if (!helloTaken_ || proof.size() != proofSize) return std::nullopt;
  const Secret expected = subkey(master_, callerProof);
  if (sodium_memcmp(expected.data(), proof.data(), expected.size()) != 0) return std::nullopt;
  return keysOf(master_, false);
}

}  // namespace orvalis::net
