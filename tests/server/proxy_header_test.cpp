// The load balancer's header: read however TCP splits it, told apart from
// the phones' own first bytes, and refused when it is not one to trust.

#include "server/proxy_header.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

namespace orvalis::server {
namespace {

std::vector<std::uint8_t> header(std::uint8_t versionCommand, std::uint8_t family,
                                 const std::vector<std::uint8_t>& body) {
  constexpr std::uint8_t signature[] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                        0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
  std::vector<std::uint8_t> out(16 + body.size());
  std::copy(std::begin(signature), std::end(signature), out.begin());
  out[12] = versionCommand;
  out[13] = family;
  out[14] = static_cast<std::uint8_t>(body.size() >> 8);
  out[15] = static_cast<std::uint8_t>(body.size());
  std::copy(body.begin(), body.end(), out.begin() + 16);
  return out;
}

// 198.51.100.7:5000 reaching 203.0.113.1:3393.
const std::vector<std::uint8_t> ipv4Block{198, 51, 100, 7, 203, 0, 113, 1, 0x13, 0x88, 0x0D, 0x41};

TEST(ProxyHeader, ProxiedIpv4SplitAnywhereAndFollowedByTheRequest) {
  auto bytes = header(0x21, 0x11, ipv4Block);
  const std::size_t length = bytes.size();
  bytes.insert(bytes.end(), {12, 0, 15, 0, 0, 0});  // the request that follows
  for (std::size_t cut = 0; cut < length; ++cut)
    ASSERT_EQ(readProxyHeader(std::span(bytes).first(cut)).state, ProxyState::needMore) << cut;
  const ProxyHeader h = readProxyHeader(bytes);
  ASSERT_EQ(h.state, ProxyState::proxied);
  EXPECT_EQ(h.length, length);
  EXPECT_EQ(h.source, 0xC6336407u);
  EXPECT_EQ(h.sourcePort, 5000);
  EXPECT_EQ(h.destination, 0xCB007101u);
  EXPECT_EQ(h.destinationPort, 3393);

  // Extensions after the addresses are skipped with them.
  auto tlv = ipv4Block;
  tlv.insert(tlv.end(), {0x04, 0x00, 0x02, 0xAB, 0xCD});
  const ProxyHeader withTlv = readProxyHeader(header(0x21, 0x11, tlv));
  EXPECT_EQ(withTlv.state, ProxyState::proxied);
  EXPECT_EQ(withTlv.length, 16 + tlv.size());
}

TEST(ProxyHeader, OtherConnectionsAndHeadersNotToTrust) {
  // The phones' framed request and HTTP are not headers.
  for (const std::vector<std::uint8_t>& plain :
       {std::vector<std::uint8_t>{12, 0, 15, 0}, {'G', 'E', 'T', ' '}, {0x0D, 0x0A, 0x0D, 0x0B}})
    EXPECT_EQ(readProxyHeader(plain).state, ProxyState::absent);

  // The balancer's own check, and families this server does not speak,
  // keep the connection's addresses.
  const ProxyHeader check = readProxyHeader(header(0x20, 0x00, {}));
  EXPECT_EQ(check.state, ProxyState::local);
  EXPECT_EQ(check.length, 16u);
  EXPECT_EQ(readProxyHeader(header(0x21, 0x21, std::vector<std::uint8_t>(36))).state,
            ProxyState::local);

  for (const auto& bad : {header(0x11, 0x11, ipv4Block),  // version 1 in binary
                          header(0x22, 0x11, ipv4Block),  // no such command
                          header(0x21, 0x11, {1, 2, 3, 4, 5, 6, 7, 8}),  // short block
                          header(0x21, 0x21, ipv4Block),  // short for IPv6
                          header(0x21, 0x41, ipv4Block),  // no such family
                          header(0x21, 0x13, ipv4Block),  // no such transport
                          header(0x21, 0x11, std::vector<std::uint8_t>(maxProxyHeader))})
    EXPECT_EQ(readProxyHeader(bad).state, ProxyState::malformed);
  // A length beyond the bound is refused before it has all arrived.
  const auto huge = header(0x21, 0x11, std::vector<std::uint8_t>(maxProxyHeader));
  EXPECT_EQ(readProxyHeader(std::span(huge).first(16)).state, ProxyState::malformed);
  // So is an unknown command once its byte is in.
  const auto unknown = header(0x2F, 0x11, ipv4Block);
  EXPECT_EQ(readProxyHeader(std::span(unknown).first(13)).state, ProxyState::malformed);
  // LOCAL ignores the family, whatever it says.
  EXPECT_EQ(readProxyHeader(header(0x20, 0x41, {})).state, ProxyState::local);
}

}  // namespace
}  // namespace orvalis::server
