// The address a login announces, and when the user must be told that other
// computers cannot call.

#include "net/announce.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "net/address.h"

namespace orvalis::net {
namespace {

using store::ConnectWay;

const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
const std::uint32_t lanAddress = htonl(0xC6336407);  // 198.51.100.7
const std::uint32_t hostOwn = htonl(0xCB00710A);     // 203.0.113.10
const std::uint32_t publicAddress = htonl(0xCB007101);

TEST(Announce, TheWayToTheServerDecidesAndLoopbackIsNeverAnnounced) {
  store::CnfData cnf;
  cnf.connectServer = static_cast<std::int32_t>(ConnectWay::direct);
  EXPECT_EQ(announcedAddress(cnf, lanAddress, hostOwn), lanAddress);
  EXPECT_EQ(announcedAddress(cnf, loopback, hostOwn), 0u);
  EXPECT_EQ(announcedAddress(cnf, htonl(0x7F000101), hostOwn), 0u);
  cnf.connectServer = 9;  // read as direct
  EXPECT_EQ(announcedAddress(cnf, lanAddress, hostOwn), lanAddress);

  for (const auto way : {ConnectWay::socks5, ConnectWay::httpTunnel, ConnectWay::gate}) {
    cnf.connectServer = static_cast<std::int32_t>(way);
    EXPECT_EQ(announcedAddress(cnf, loopback, hostOwn), hostOwn);
    EXPECT_EQ(announcedAddress(cnf, lanAddress, 0), 0u);
  }

  cnf.useReDirectCallIn = 1;  // the NAT option: the user's address as it is
  cnf.reHost = publicAddress;
  EXPECT_EQ(announcedAddress(cnf, lanAddress, hostOwn), publicAddress);
}

TEST(Announce, OnlyAPhoneWithoutAddressAndAServerElsewhereIsUnreachable) {
  store::CnfData cnf;
  cnf.serverHost = loopback;
  EXPECT_FALSE(unreachableFromOthers(cnf, 0));  // everything on this machine
  cnf.serverHost = lanAddress;
  EXPECT_TRUE(unreachableFromOthers(cnf, 0));
  EXPECT_FALSE(unreachableFromOthers(cnf, hostOwn));
  cnf.useReDirectCallIn = 1;
  EXPECT_FALSE(unreachableFromOthers(cnf, 0));
  cnf.useReDirectCallIn = 0;

  // Through the relay, the relay's host is the one that counts.
  cnf.connectServer = static_cast<std::int32_t>(ConnectWay::gate);
  cnf.gateHost = loopback;
  EXPECT_FALSE(unreachableFromOthers(cnf, 0));
}

TEST(Announce, OwnAddressesAreNeverLoopback) {
  EXPECT_TRUE(isLoopback(loopback));
  EXPECT_TRUE(isLoopback(htonl(0x7FFFFFFF)));
  EXPECT_FALSE(isLoopback(htonl(0x80000001)));
  EXPECT_FALSE(isLoopback(0));
  EXPECT_FALSE(isLoopback(localHostAddress()));
  EXPECT_EQ(sourceAddressTo(loopback, 3393), loopback);
}

}  // namespace
}  // namespace orvalis::net
