// The server's request reader, called again as more bytes of a request
// arrive: an early part of the bytes never gives another verdict than the
// whole (however TCP splits a request, it is read the same), and the
// answer in the request's form reads back.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "net/hex_packet.h"
#include "net/http_tunnel.h"
#include "server/request_reader.h"

using namespace orvalis;
using server::ReadState;

namespace {

bool samePacket(const net::CPacket& a, const net::CPacket& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Split points: every one for short inputs; else the start, the end, the
// head limit and a spread of others.
std::vector<std::size_t> splits(std::size_t size) {
  std::vector<std::size_t> out;
  if (size <= 300) {
    for (std::size_t i = 1; i < size; ++i) out.push_back(i);
    return out;
  }
  for (std::size_t i = 1; i < 40; ++i) out.push_back(i);
  for (std::size_t i = size - 40; i < size; ++i) out.push_back(i);
  for (std::size_t i = server::maxHttpHead - 8; i <= server::maxHttpHead + 8; ++i)
    if (i < size) out.push_back(i);
  std::uint32_t x = static_cast<std::uint32_t>(size) * 2654435761u;
  for (int i = 0; i < 64; ++i) {
    x = x * 1664525u + 1013904223u;
    out.push_back(1 + x % (size - 1));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const server::ReadResult whole = server::readRequest(bytes);

  for (const std::size_t cut : splits(size)) {
    const server::ReadResult part = server::readRequest(bytes.first(cut));
    if (part.state == ReadState::needMore) continue;
    FUZZ_CHECK(part.state == whole.state);
    if (part.state != ReadState::malformed) FUZZ_CHECK(samePacket(part.request, whole.request));
  }

  if (whole.state == ReadState::binary) {
    const std::vector<std::uint8_t> wire = server::encodeAnswer(whole.request, whole.state);
    if (whole.request.length <= static_cast<std::int16_t>(net::maxPayload)) {
      const server::ReadResult again = server::readRequest(wire);
      FUZZ_CHECK(again.state == ReadState::binary);
      FUZZ_CHECK(again.request.code == whole.request.code &&
                 again.request.length == whole.request.length);
      FUZZ_CHECK(std::equal(whole.request.body().begin(), whole.request.body().end(),
                            again.request.payload.begin()));
    }
  } else if (whole.state == ReadState::http) {
    // The phone's reader takes the answer back, when it is short enough
    // for an answer.
    const std::vector<std::uint8_t> wire = server::encodeAnswer(whole.request, whole.state);
    const auto answer = net::parseHttpAnswer(wire);
    if (2 * (net::headerSize + whole.request.payloadSize()) <= net::maxAnswerHex) {
      FUZZ_CHECK(answer && answer->code == whole.request.code &&
                 answer->length == whole.request.length);
    }
  }
  return 0;
}
