// Bytes from the other end of a call, taken as its handshake messages and
// as sealed messages: nothing an attacker without the keys sends is ever
// accepted, and nothing crashes.
#include <cstdint>
#include <span>

#include "fuzz_support.h"
#include "net/privacy/call_handshake.h"
#include "net/privacy/call_seal.h"

using namespace orvalis;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const net::KeyPair a = net::KeyPair::generate();
  static const net::KeyPair b = net::KeyPair::generate();
  const std::span<const std::uint8_t> bytes(data, size);

  net::CallerHandshake caller(a, b.publicKey, 200000001, 200000002);
  FUZZ_CHECK(!caller.takeReply(bytes));

  net::CalleeHandshake callee(b, 200000001, 200000002);
  // A hello may be well formed; the proof after it never is.
  if (callee.takeHello(bytes.first(std::min(size, net::helloSize))))
    FUZZ_CHECK(!callee.takeProof(bytes.subspan(std::min(size, net::helloSize))));

  net::SealKey key{};
  key[0] = 1;
  net::CallSeal other(key);
  FUZZ_CHECK(!other.open(bytes));
  return 0;
}
