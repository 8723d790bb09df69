// A load balancer's header, read again as more bytes arrive: a verdict on
// an early part is never taken back by the whole, and a header never
// claims more bytes than arrived or than the bound.
#include <cstdint>
#include <span>

#include "fuzz_support.h"
#include "server/proxy_header.h"

using namespace orvalis;
using server::ProxyState;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const server::ProxyHeader whole = server::readProxyHeader(bytes);
  const bool complete = whole.state == ProxyState::local || whole.state == ProxyState::proxied;
  if (complete) FUZZ_CHECK(whole.length >= 16 && whole.length <= size &&
                           whole.length <= server::maxProxyHeader);
  for (std::size_t cut = 0; cut < size && cut <= server::maxProxyHeader; ++cut) {
    const server::ProxyHeader part = server::readProxyHeader(bytes.first(cut));
    if (part.state == ProxyState::needMore) continue;
    FUZZ_CHECK(part.state == whole.state);
    FUZZ_CHECK(part.length == whole.length && part.source == whole.source &&
               part.sourcePort == whole.sourcePort && part.destination == whole.destination &&
               part.destinationPort == whole.destinationPort);
  }
  return 0;
}
