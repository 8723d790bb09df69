// Messages read from a connection: the far end sends any bytes and closes.
// Each message the socket reader returns must be exactly the next header
// and payload of the byte stream, and reading stops where the stream can
// no longer hold a whole message.
#include <algorithm>
#include <cstdint>
#include <span>

#include "fuzz_support.h"
#include "net/packet_io.h"

using namespace orvalis::net;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orvalis::fuzz::SocketPair pair;
  orvalis::fuzz::sendAndEnd(pair.far, data, size);

  const std::span<const std::uint8_t> stream(data, size);
  std::size_t at = 0;
  for (;;) {
    CPacket packet;
    const int code = recvPacket(*pair.near, packet);
    if (stream.size() - at < headerSize) {
      FUZZ_CHECK(code == 0);
      break;
    }
    const PacketHeader header = parseHeader(stream.subspan(at).first<headerSize>());
    const std::size_t length = header.length > 0 ? static_cast<std::size_t>(header.length) : 0;
    if (length > maxPayload) {
      // Refused before its payload is read; the connection stays open.
      FUZZ_CHECK(code == 0 && pair.near->isOpen());
      break;
    }
    if (stream.size() - at - headerSize < length) {
      FUZZ_CHECK(code == 0);
      break;
    }
    FUZZ_CHECK(code == header.code && packet.length == header.length &&
               packet.marker == header.marker && packet.reserved == header.reserved);
    const auto payload = stream.subspan(at + headerSize, length);
    FUZZ_CHECK(std::equal(payload.begin(), payload.end(), packet.payload.begin()));
    FUZZ_CHECK(std::all_of(packet.payload.begin() + static_cast<std::ptrdiff_t>(length),
                           packet.payload.end(), [](std::uint8_t b) { return b == 0; }));
    at += headerSize + length;
    if (code == 0) break;  // a code of 0 cannot be told from a failure
  }
  return 0;
}
