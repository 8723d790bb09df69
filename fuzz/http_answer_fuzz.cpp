// The HTTP answer of the tunnel, read from a connection one byte at a time
// and from a whole buffer: both give the same verdict and message.
#include <cstdint>
#include <cstring>
#include <span>

#include "fuzz_support.h"
#include "net/http_tunnel.h"

using namespace orvalis::net;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parsed = parseHttpAnswer(std::span(data, size));

  orvalis::fuzz::SocketPair pair;
  orvalis::fuzz::sendAndEnd(pair.far, data, size);
  CPacket answer;
  const int ok = httpReadAnswer(*pair.near, answer);

  FUZZ_CHECK(ok == (parsed ? 1 : 0));
  if (parsed) {
    FUZZ_CHECK(std::memcmp(&answer, &*parsed, sizeof answer) == 0);
    FUZZ_CHECK(parsed->payloadSize() <= maxPayload);
  }
  return 0;
}
