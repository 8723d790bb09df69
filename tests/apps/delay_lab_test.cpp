// Voice across a long path: two phones 100 ms apart each way (a lab whose
// router holds every packet), the caller transmitting constantly, two
// frames a message. What the caller's call socket puts on the wire is
// captured on its own interface: each voice message must leave in a
// segment of its own as soon as it is made, on the 40 ms clock of its
// frames, not wait for the far end's acknowledgement.

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_format.h"
#include "audio/wav_file.h"
#include "cli_phones.h"
#include "net/address.h"
#include "net/message_codes.h"
#include "net/packet.h"
#include "net/privacy/call_seal.h"
#include "net/privacy/private_call_codes.h"
#include "support/delay_line.h"

namespace orvalis::testing {
namespace {

constexpr double messagePeriodMs = 40;  // two 20 ms frames
constexpr std::size_t voiceMessageBytes = net::headerSize + 2 * net::gsmFrameSize;

std::uint32_t ipv4(const std::string& text) { return net::parseAddress(text).value(); }

// One TCP segment with data, as it left.
struct Segment {
  double ms = 0;  // the kernel's timestamp
  std::uint32_t sequence = 0;
  std::vector<std::uint8_t> payload;
};

// The TCP segments with data that the calling thread's host sends by eth0
// to address:port during `span`.
std::vector<Segment> captureOutgoing(std::uint32_t address, std::uint16_t port,
                                     Clock::duration span) {
  // Only a socket of every protocol sees what the host sends.
  const int fd = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL));
  if (fd < 0) throw std::runtime_error("no packet socket");
  sockaddr_ll device{};
  device.sll_family = AF_PACKET;
  device.sll_protocol = htons(ETH_P_ALL);
  device.sll_ifindex = static_cast<int>(::if_nametoindex("eth0"));
  const int on = 1;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&device), sizeof device) != 0 ||
      ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
    ::close(fd);
    throw std::runtime_error("packet socket not bound to eth0");
  }
  std::vector<Segment> segments;
  std::vector<std::uint8_t> packet(65536);
  for (const auto until = Clock::now() + span; Clock::now() < until;) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 50) != 1) continue;
    sockaddr_ll from{};
    alignas(cmsghdr) char control[256];
    iovec data{packet.data(), packet.size()};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t size = ::recvmsg(fd, &message, 0);
    if (size < 40 || from.sll_pkttype != PACKET_OUTGOING || from.sll_protocol != htons(ETH_P_IP))
      continue;
    const std::uint8_t* ip = packet.data();
    const std::size_t ipHeader = (ip[0] & 0x0f) * 4u;
    const std::size_t total = std::min<std::size_t>(ntohs(*reinterpret_cast<const std::uint16_t*>(ip + 2)),
                                                    static_cast<std::size_t>(size));
    std::uint32_t to = 0;
    std::memcpy(&to, ip + 16, sizeof to);
    if ((ip[0] >> 4) != 4 || ip[9] != IPPROTO_TCP || to != address) continue;
    const std::uint8_t* tcp = ip + ipHeader;
    if (((tcp[2] << 8) | tcp[3]) != port) continue;
    const std::size_t tcpHeader = (tcp[12] >> 4) * 4u;
    if (ipHeader + tcpHeader >= total) continue;  // no data: an acknowledgement
    Segment s;
    s.sequence = (std::uint32_t{tcp[4]} << 24) | (tcp[5] << 16) | (tcp[6] << 8) | tcp[7];
    s.payload.assign(tcp + tcpHeader, ip + total);
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec t{};
        std::memcpy(&t, CMSG_DATA(c), sizeof t);
        s.ms = static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
      }
    }
    segments.push_back(std::move(s));
  }
  ::close(fd);
  return segments;
}

// The call's messages read back out of the segments.
struct Departures {
  std::vector<double> voiceMs;           // when each voice message had wholly left
  std::vector<int> voicePerSegment;      // of each segment that carries voice
  int notAlone = 0;                      // such segments that are not one whole voice message
  int resent = 0;                        // segments sent again
  std::string broken;                    // why the stream could not be read; empty when it could
};

// The capture starts in mid-call, between two segments, so the first
// segment starts a message.
Departures readDepartures(const std::vector<Segment>& segments) {
  Departures d;
  std::vector<std::uint8_t> pending;
  std::optional<std::uint32_t> next;
  for (const Segment& s : segments) {
    if (next && s.sequence != *next) {
      if (static_cast<std::int32_t>(s.sequence - *next) < 0) {
        ++d.resent;
        continue;
      }
      d.broken = "bytes missing from the capture";
      return d;
    }
    next = s.sequence + static_cast<std::uint32_t>(s.payload.size());
    const bool carried = !pending.empty();
    pending.insert(pending.end(), s.payload.begin(), s.payload.end());
    int voice = 0, other = 0;
    std::size_t at = 0, voiceBytes = 0;
    while (pending.size() - at >= net::headerSize) {
      if (pending[at] != net::packetMarker) {
        d.broken = "a message without its marker";
        return d;
      }
      const auto code = static_cast<std::int16_t>(pending[at + 2] | (pending[at + 3] << 8));
      const auto length = static_cast<std::int16_t>(pending[at + 4] | (pending[at + 5] << 8));
      const std::size_t whole = net::headerSize + static_cast<std::size_t>(std::max<int>(length, 0));
      if (pending.size() - at < whole) break;
      // Between two phones with keys, voice travels sealed, the message whole
      // inside: known by its size.
      const bool sealedVoice = code == net::peerSealed &&
                               whole == net::headerSize + voiceMessageBytes + net::sealOverhead;
      if (code == net::peerVoiceFirst || code == net::peerVoice || sealedVoice) {
        ++voice;
        voiceBytes = whole;
        d.voiceMs.push_back(s.ms);
      } else {
        ++other;
      }
      at += whole;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
    const bool voiceLeftOver =
        pending.size() >= 4 && (pending[2] == net::peerVoiceFirst || pending[2] == net::peerVoice ||
                                pending[2] == net::peerSealed);
    if (voice == 0 && !voiceLeftOver) continue;
    d.voicePerSegment.push_back(voice);
    if (voice != 1 || other != 0 || carried || !pending.empty() ||
        s.payload.size() != voiceBytes)
      ++d.notAlone;
  }
  return d;
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size()))) - 1;
  return values[std::min(at, values.size() - 1)];
}

// How late each message left against a 40 ms clock whose phase is that of
// the earliest message: the i-th is due i periods after it.
std::vector<double> lateness(const std::vector<double>& departures) {
  double phase = departures.front();
  for (std::size_t i = 0; i < departures.size(); ++i)
    phase = std::min(phase, departures[i] - messagePeriodMs * static_cast<double>(i));
  std::vector<double> late;
  for (std::size_t i = 0; i < departures.size(); ++i)
    late.push_back(departures[i] - messagePeriodMs * static_cast<double>(i) - phase);
  return late;
}

TEST(LongPath, VoiceMessagesLeaveOneASegmentOnTheirFrameClock) {
  std::optional<LongPathLab> path;
  try {
    path.emplace(DelayOptions{.delay = std::chrono::milliseconds(100)});
  } catch (const LabUnavailable& e) {
    GTEST_SKIP() << "no lab of network namespaces on this machine: " << e.what();
  }
  NetnsLab& lab = path->lab;
  const std::string nearAddress = LongPathLab::nearAddress;
  const std::string farAddress = LongPathLab::farAddress;

  TempDir media;
  std::vector<std::int16_t> tone(static_cast<std::size_t>(audio::sampleRate) * 20);
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<std::int16_t>(
        8000 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / audio::sampleRate));
  const auto tonePath = media.file("tone.wav");
  ASSERT_EQ(audio::saveWav(tonePath, tone), "");

  Server server(lab.launcher("near"), nearAddress);
  const PhoneSettings common{.silentMelodies = true, .fullDuplex = true,
                             .serverHost = ipv4(nearAddress), .reHost = {}};
  PhoneSettings callerSettings = common;
  callerSettings.msa = 0;
  callerSettings.audio = "wav:" + tonePath.string() + ",";
  callerSettings.launcher = lab.launcher("near");
  callerSettings.nGsm = 1;
  PhoneSettings calleeSettings = common;
  calleeSettings.audio = "wav:,";
  calleeSettings.launcher = lab.launcher("far");
  Phone caller(400000001, server.port(), callerSettings);
  Phone callee(400000002, server.port(), calleeSettings);
  ASSERT_TRUE(caller.registerNew());
  ASSERT_TRUE(callee.registerNew());
  const auto calleePort = static_cast<std::uint16_t>(std::stoi(callee.statusValue("userPort")));
  ASSERT_NO_FATAL_FAILURE(connect(caller, callee));

  const auto segments = lab.inHost("near", [&] {
    return captureOutgoing(ipv4(farAddress), calleePort, std::chrono::seconds(3));
  });
  hangUpOn(caller, callee);
  EXPECT_EQ(caller.quit(), 0);
  EXPECT_EQ(callee.quit(), 0);

  const Departures d = readDepartures(segments);
  ASSERT_EQ(d.broken, "");
  ASSERT_GE(d.voiceMs.size(), 50u) << "the capture saw too little of the call";
  const auto late = lateness(d.voiceMs);
  const double median = percentile(late, 0.5), p95 = percentile(late, 0.95);
  const int most = *std::max_element(d.voicePerSegment.begin(), d.voicePerSegment.end());
  std::printf("[figure] across 200 ms round trip: %zu voice messages in %zu segments (%.2f a "
              "segment, at most %d), %d segments not one whole message, %d resent; lateness "
              "against the 40 ms clock: median %.1f ms, p95 %.1f ms\n",
              d.voiceMs.size(), d.voicePerSegment.size(),
              static_cast<double>(d.voiceMs.size()) / static_cast<double>(d.voicePerSegment.size()),
              most, d.notAlone, d.resent, median, p95);
  EXPECT_EQ(d.notAlone, 0) << "voice messages share segments (or are split)";
  EXPECT_LE(p95, 10.0);
}

}  // namespace
}  // namespace orvalis::testing
