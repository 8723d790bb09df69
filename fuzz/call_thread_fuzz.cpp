// An incoming call whose far end sends any bytes and closes: its accept
// (or, when the input says so, any first message), then any sequence of
// peer messages, floor messages also in calls without push-to-talk, voice
// of any length, broken framing. The call thread takes exactly the frames
// the stream holds up to the first message that ends the call, answers
// only floor messages, and ends the call cleanly: hang-up sent while the
// connection still works, the call idle, its socket given back.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_call_host.h"
#include "fuzz_support.h"
#include "net/packet_io.h"

using namespace orvalis;
using namespace orvalis::net;

namespace {

struct Expected {
  bool established = false;
  std::int32_t peerMode = 0;  // the flags of the peer's accept
  int frames = 0;
  int spurts = 0;
  int floorAnswers = 0;  // floor requests and offers are answered
  // Ended by a message (or an oversized length) rather than by the
  // stream's end: only then is there a connection left for the hang-up.
  bool hangUpSent = false;
};

// The stream as the call thread should take it: the handshake's accept,
// then the messages of the call.
Expected expectedOf(std::span<const std::uint8_t> stream) {
  Expected e;
  if (stream.size() < headerSize) return e;
  const PacketHeader first = parseHeader(stream.first<headerSize>());
  const std::size_t firstLength = first.length > 0 ? static_cast<std::size_t>(first.length) : 0;
  if (firstLength > maxPayload) {
    e.hangUpSent = true;
    return e;
  }
  if (stream.size() - headerSize < firstLength) return e;
  if (first.code != peerAccept) {
    e.hangUpSent = true;
    return e;
  }
  std::array<std::uint8_t, maxPayload> payload{};
  std::copy_n(stream.begin() + headerSize, firstLength, payload.begin());
  e.established = true;
  e.peerMode = readInt32(payload, 0);

  std::size_t at = headerSize + firstLength;
  while (stream.size() - at >= headerSize) {
    const PacketHeader h = parseHeader(stream.subspan(at).first<headerSize>());
    const std::size_t length = h.length > 0 ? static_cast<std::size_t>(h.length) : 0;
    if (length > maxPayload) {
      e.hangUpSent = true;
      break;
    }
    if (stream.size() - at - headerSize < length) break;
    at += headerSize + length;
    if (h.code == peerVoiceFirst) ++e.spurts;
    if (h.code == peerVoiceFirst || h.code == peerVoice) {
      e.frames += static_cast<int>(length / gsmFrameSize);
    } else if (h.code == peerFloorRequest || h.code == peerFloorOffer) {
      ++e.floorAnswers;
    } else if (h.code != peerAccept && !(h.code >= peerFloorGrant && h.code <= peerFloorKeep)) {
      e.hangUpSent = true;
      break;  // hang-up, or anything the call does not know
    }
  }
  return e;
}

std::vector<std::int16_t> codesReceived(int fd) {
  const std::vector<std::uint8_t> bytes = fuzz::recvUntilClosed(fd);
  std::vector<std::int16_t> codes;
  for (std::size_t at = 0; bytes.size() - at >= headerSize;) {
    const PacketHeader h = parseHeader(std::span(bytes).subspan(at).first<headerSize>());
    FUZZ_CHECK(h.marker == packetMarker && h.length == 0);
    codes.push_back(h.code);
    at += headerSize;
  }
  return codes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::int32_t ownMode = data[0] & 3;
  const std::int32_t peerMode = (data[0] >> 2) & 3;
  const bool anyFirstMessage = (data[0] & 0x10) != 0;
  const std::span<const std::uint8_t> input(data + 1, size - 1);

  fuzz::FuzzCallHost host;
  host.cnf.msa = ownMode;
  fuzz::SocketPair pair;
  const CallGeneration generation = takeIncoming(host.call, pair.near).generation;

  std::vector<std::uint8_t> stream;
  if (!anyFirstMessage) {
    CPacket accept;
    std::array<std::uint8_t, 4> mode{};
    writeInt32(mode, 0, peerMode);
    buildPacket(accept, peerAccept, 4, mode);
    std::array<std::uint8_t, headerSize + maxPayload> wire{};
    const std::size_t count = encodePacket(accept, wire);
    stream.assign(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(count));
  }
  stream.insert(stream.end(), input.begin(), input.end());
  fuzz::sendAndEnd(pair.far, stream.data(), stream.size());

  // The far end reads the answers while the call runs, as a phone does,
  // until the call closes its connection.
  std::vector<std::int16_t> codes;
  {
    CClient call(host, generation, pair.near);
    codes = codesReceived(pair.far);
  }

  const Expected e = expectedOf(stream);
  FUZZ_CHECK(host.frames == e.frames);
  FUZZ_CHECK(host.spurts == e.spurts);
  FUZZ_CHECK(host.fields.callMode == 0);  // the ended call's mode is gone
  FUZZ_CHECK(host.call.stateClient == ClientState::clientIdle);
  FUZZ_CHECK(!host.call.sockClient);
  FUZZ_CHECK(host.fields.floor == Floor::listening);
  FUZZ_CHECK(host.call.stateLabel[labelPtt] == 0);

  FUZZ_CHECK(static_cast<int>(codes.size()) == e.floorAnswers + (e.hangUpSent ? 1 : 0));
  if (e.hangUpSent) FUZZ_CHECK(codes.back() == peerHangUp);
  for (std::size_t i = 0; i < static_cast<std::size_t>(e.floorAnswers); ++i) {
    FUZZ_CHECK(codes[i] >= peerFloorGrant && codes[i] <= peerFloorKeep);
  }
  return 0;
}
