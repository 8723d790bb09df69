// Every request and answer of the account service, over a real database in
// a temporary directory.

#include "server/request_handler.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "net/message_codes.h"
#include "net/relay_wire.h"
#include "net/requests.h"
#include "server/sqlite_store.h"
#include "support/temp_dir.h"

namespace orvalis::server {
namespace {

constexpr std::int32_t alice = 200000001;
constexpr std::int32_t bob = 200000002;
const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
const Peer peer{htonl(0x0A000005), 40000};  // 10.0.0.5, only ever an input here

net::CPacket packet(std::int16_t code, std::span<const std::uint8_t> payload = {}) {
  net::CPacket p;
  net::buildPacket(p, code, static_cast<std::int16_t>(payload.size()), payload);
  return p;
}

class Handler : public ::testing::Test {
 protected:
  std::int16_t send(std::int16_t code, std::span<const std::uint8_t> payload = {}) {
    last_ = handler_.handle(packet(code, payload), peer);
    return last_.answer ? last_.answer->code : 0;
  }
  std::int16_t registerUser(std::int32_t number, std::string_view password) {
    return send(net::reqRegister, net::registerPayload(number, password));
  }
  std::int16_t login(std::int32_t number, std::string_view password,
                     std::uint32_t address = loopback, std::uint16_t port = 5000) {
    return send(net::reqLogin, net::loginPayload(number, password, address, port));
  }
  net::Ticket ticket() const { return net::parseTicket(*last_.answer); }
  std::int16_t find(const net::Ticket& t, std::int32_t number) {
    return send(net::reqFindUser, net::findUserPayload(t, number));
  }

  testing::TempDir dir_;
  SqliteStore store_{dir_.file("users.db").string()};
  PasswordHasher hasher_{HashCost::min};
  RequestHandler handler_{store_, hasher_, false};
  Outcome last_;
};

TEST_F(Handler, RegistersWithinTheRulesOnly) {
  EXPECT_EQ(registerUser(alice, "alice1"), net::ansDone);
  EXPECT_EQ(last_.number, alice);
  EXPECT_EQ(registerUser(alice, "other"), net::ansNumberDuplicate);
  EXPECT_EQ(registerUser(99999999, "pw"), net::ansFailed);
  EXPECT_EQ(registerUser(1000000000, "pw"), net::ansFailed);
  EXPECT_EQ(registerUser(-200000001, "pw"), net::ansFailed);
  EXPECT_EQ(registerUser(100000000, "pw"), net::ansDone);
  EXPECT_EQ(registerUser(999999999, "pw"), net::ansDone);
  EXPECT_EQ(registerUser(bob, ""), net::ansFailed);
  // 19 password bytes fill the field exactly.
  EXPECT_EQ(registerUser(bob, std::string(19, 'x')), net::ansDone);
  EXPECT_EQ(login(bob, std::string(19, 'x')), net::ansLoggedIn);

  RequestHandler closed(store_, hasher_, true);
  const auto refused =
      closed.handle(packet(net::reqRegister, net::registerPayload(300000000, "pw")), peer);
  EXPECT_EQ(refused.answer->code, net::ansFailed);
  EXPECT_EQ(store_.passwordHash(300000000).status, StoreStatus::notFound);
}

TEST_F(Handler, LoginFindAndLogout) {
  ASSERT_EQ(registerUser(alice, "alice1"), net::ansDone);
  ASSERT_EQ(registerUser(bob, "bobby1"), net::ansDone);
  EXPECT_EQ(login(alice, "wrong"), net::ansFailed);
  EXPECT_EQ(login(300000000, "alice1"), net::ansFailed);
  EXPECT_EQ(login(alice, ""), net::ansFailed);
  ASSERT_EQ(login(alice, "alice1"), net::ansLoggedIn);
  EXPECT_EQ(last_.answer->length, 8);
  const net::Ticket a = ticket();

  EXPECT_EQ(find(a, bob), net::ansUserOffline);
  EXPECT_EQ(last_.number, alice);
  EXPECT_EQ(last_.target, bob);
  EXPECT_EQ(find(a, 300000000), net::ansUserInvalid);
  EXPECT_EQ(find(a, 12), net::ansUserInvalid);

  // Address 0: the phone is reached where its request came from.
  ASSERT_EQ(login(bob, "bobby1", 0, 6001), net::ansLoggedIn);
  ASSERT_EQ(find(a, bob), net::ansUserFound);
  EXPECT_EQ(last_.answer->length, 12);
  EXPECT_EQ(net::parseUserFound(*last_.answer).address, peer.address);
  EXPECT_EQ(net::parseUserFound(*last_.answer).port, 6001);
  EXPECT_EQ(net::readInt32(last_.answer->body(), 0), 0);
  EXPECT_EQ(net::readUint16(last_.answer->body(), 10), 0);

  const net::Ticket b = [&] {
    EXPECT_EQ(login(bob, "bobby1", htonl(0xC0A80107), 6002), net::ansLoggedIn);
    return ticket();
  }();
  ASSERT_EQ(find(a, bob), net::ansUserFound);
  EXPECT_EQ(net::parseUserFound(*last_.answer).address, htonl(0xC0A80107));
  EXPECT_EQ(net::parseUserFound(*last_.answer).port, 6002);

  EXPECT_EQ(send(net::reqLogout, b), net::ansDone);
  EXPECT_EQ(last_.number, bob);
  EXPECT_EQ(send(net::reqLogout, b), net::ansFailed);
  EXPECT_EQ(find(a, bob), net::ansUserOffline);
  EXPECT_EQ(find(b, alice), net::ansFailed);
  EXPECT_EQ(send(net::reqTestServer), net::ansDone);
  EXPECT_EQ(send(77), net::ansFailed);
  EXPECT_EQ(send(-3), net::ansFailed);
}

// An unknown number must cost a login as long as a wrong password, or the
// answer time tells which numbers exist. Needs a real hashing cost.
TEST_F(Handler, UnknownNumbersAndWrongPasswordsTakeAlike) {
  PasswordHasher slow{HashCost::interactive};
  RequestHandler handler{store_, slow, false};
  ASSERT_EQ(handler.handle(packet(net::reqRegister, net::registerPayload(bob, "bobby1")), peer)
                .answer->code,
            net::ansDone);
  const auto median = [&](std::int32_t number) {
    std::vector<double> ms;
    for (int i = 0; i < 5; ++i) {
      const auto start = std::chrono::steady_clock::now();
      const auto out = handler.handle(
          packet(net::reqLogin, net::loginPayload(number, "wrong", loopback, 5000)), peer);
      ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                       .count());
      EXPECT_EQ(out.answer->code, net::ansFailed);
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
  };
  const double unknown = median(300000000);
  const double wrong = median(bob);
  std::printf("[figure] login median: unknown number %.1f ms, wrong password %.1f ms\n", unknown,
              wrong);
  EXPECT_LT(wrong, 2 * unknown);
  EXPECT_LT(unknown, 2 * wrong);
}

TEST_F(Handler, ALoopbackAnnouncementFromAnotherMachineRecordsTheSource) {
  ASSERT_EQ(registerUser(alice, "alice1"), net::ansDone);
  ASSERT_EQ(registerUser(bob, "bobby1"), net::ansDone);
  ASSERT_EQ(login(alice, "alice1"), net::ansLoggedIn);
  const net::Ticket a = ticket();
  // Where the host name resolves to 127.0.1.1, an older phone announces it.
  ASSERT_EQ(login(bob, "bobby1", htonl(0x7F000101), 6003), net::ansLoggedIn);
  ASSERT_EQ(find(a, bob), net::ansUserFound);
  EXPECT_EQ(net::parseUserFound(*last_.answer).address, peer.address);
  EXPECT_EQ(net::parseUserFound(*last_.answer).port, 6003);

  // From loopback, a loopback announcement is right; a real one always is.
  const std::uint32_t lan = htonl(0xC6336407), other = htonl(0xC6336408);
  EXPECT_EQ(reachableAddress(loopback, loopback), loopback);
  EXPECT_EQ(reachableAddress(0, loopback), loopback);
  EXPECT_EQ(reachableAddress(lan, other), lan);
  EXPECT_EQ(reachableAddress(lan, loopback), lan);
  EXPECT_EQ(reachableAddress(htonl(0x7FFFFFFE), other), other);
}

TEST_F(Handler, ReloginReplacesTheTicket) {
  ASSERT_EQ(registerUser(alice, "alice1"), net::ansDone);
  ASSERT_EQ(login(alice, "alice1"), net::ansLoggedIn);
  const net::Ticket first = ticket();
  ASSERT_EQ(login(alice, "alice1", loopback, 7000), net::ansLoggedIn);
  const net::Ticket second = ticket();
  EXPECT_NE(first, second);
  EXPECT_EQ(find(first, alice), net::ansFailed);
  EXPECT_EQ(send(net::reqLogout, first), net::ansFailed);
  ASSERT_EQ(find(second, alice), net::ansUserFound);
  EXPECT_EQ(net::parseUserFound(*last_.answer).port, 7000);
}

TEST_F(Handler, LoginsOfferTheCallRelayOnlyWhenThereIsOne) {
  ASSERT_EQ(registerUser(alice, "alice1"), net::ansDone);
  ASSERT_EQ(login(alice, "alice1"), net::ansLoggedIn);
  EXPECT_EQ(last_.answer->length, net::ticketSize);  // as before the relay
  EXPECT_FALSE(net::parseRelayOffer(*last_.answer));

  // By default the relay is where the phone reached the server.
  const std::uint32_t serverSide = htonl(0xC0000205);  // 192.0.2.5
  const Peer reached{peer.address, peer.port, serverSide};
  handler_.offerCallRelay(0, 4000);
  const auto offered =
      handler_.handle(packet(net::reqLogin, net::loginPayload(alice, "alice1", loopback, 5000)),
                      reached);
  ASSERT_EQ(offered.answer->code, net::ansLoggedIn);
  EXPECT_EQ(offered.answer->length, net::relayOfferSize);
  EXPECT_EQ(net::parseRelayOffer(*offered.answer), (net::RelayEndpoint{serverSide, 4000}));
  // The ticket in front is the session's.
  EXPECT_EQ(find(net::parseTicket(*offered.answer), alice), net::ansUserFound);

  // An address given is announced whatever the connection's.
  const std::uint32_t announced = htonl(0xCB007107);
  handler_.offerCallRelay(announced, 4000);
  const auto given =
      handler_.handle(packet(net::reqLogin, net::loginPayload(alice, "alice1", loopback, 5000)),
                      reached);
  EXPECT_EQ(net::parseRelayOffer(*given.answer), (net::RelayEndpoint{announced, 4000}));
  // Knowing neither, there is nothing to offer: the plain answer.
  handler_.offerCallRelay(0, 4000);
  ASSERT_EQ(login(alice, "alice1"), net::ansLoggedIn);
  EXPECT_EQ(last_.answer->length, net::ticketSize);
}

TEST_F(Handler, TicketRequestsNeedTheCurrentTicket) {
  ASSERT_EQ(registerUser(alice, "alice1"), net::ansDone);
  ASSERT_EQ(registerUser(bob, "bobby1"), net::ansDone);
  ASSERT_EQ(login(alice, "alice1"), net::ansLoggedIn);
  const net::Ticket a = ticket();
  const net::Ticket forged{1, 2, 3, 4, 5, 6, 7, 8};

  EXPECT_EQ(find(forged, alice), net::ansFailed);
  EXPECT_EQ(send(net::reqChangePasswd, net::changePasswdPayload(forged, "new")), net::ansFailed);
  EXPECT_EQ(send(net::reqDeleteUser, forged), net::ansFailed);
  EXPECT_EQ(send(net::reqLogout, forged), net::ansFailed);
  EXPECT_EQ(send(net::reqChangePasswd, net::changePasswdPayload(a, "")), net::ansFailed);

  EXPECT_EQ(send(net::reqChangePasswd, net::changePasswdPayload(a, "alice2")), net::ansDone);
  EXPECT_EQ(last_.number, alice);
  EXPECT_EQ(login(alice, "alice1"), net::ansFailed);
  ASSERT_EQ(login(alice, "alice2"), net::ansLoggedIn);
  const net::Ticket a2 = ticket();

  EXPECT_EQ(send(net::reqDeleteUser, a2), net::ansDone);
  EXPECT_EQ(last_.number, alice);
  EXPECT_EQ(send(net::reqDeleteUser, a2), net::ansFailed);
  EXPECT_EQ(login(alice, "alice2"), net::ansFailed);
  EXPECT_EQ(store_.sessionByTicket(a2).status, StoreStatus::notFound);
  // The number is free again; bob is untouched.
  EXPECT_EQ(registerUser(alice, "again"), net::ansDone);
  EXPECT_EQ(login(bob, "bobby1"), net::ansLoggedIn);
}

TEST_F(Handler, ShortOrOverlongPayloadsAreMalformed) {
  ASSERT_EQ(registerUser(alice, "alice1"), net::ansDone);
  const std::array<std::uint8_t, 31> shortLogin{};
  EXPECT_FALSE(handler_.handle(packet(net::reqLogin, shortLogin), peer).answer);
  for (const std::int16_t code : {net::reqRegister, net::reqDeleteUser, net::reqLogout,
                                  net::reqChangePasswd, net::reqFindUser}) {
    EXPECT_FALSE(handler_.handle(packet(code), peer).answer) << code;
  }
  auto reg = net::registerPayload(bob, "pw");
  reg[4] = 20;  // longer than its field
  EXPECT_FALSE(handler_.handle(packet(net::reqRegister, reg), peer).answer);
  auto log = net::loginPayload(alice, "alice1", loopback, 1);
  log[4] = 200;
  EXPECT_FALSE(handler_.handle(packet(net::reqLogin, log), peer).answer);
  // Extra bytes after the layout are ignored.
  std::array<std::uint8_t, 40> longer{};
  const auto good = net::loginPayload(alice, "alice1", loopback, 1);
  std::copy(good.begin(), good.end(), longer.begin());
  EXPECT_EQ(send(net::reqLogin, longer), net::ansLoggedIn);
}

// A phone's key is set and seen inside TLS only: what a plain connection
// sends and receives stays as it always was.
TEST_F(Handler, PublicKeysTravelOverTlsOnly) {
  const Peer tls{peer.address, peer.port, 0, true};
  const auto over = [&](const Peer& from, std::int16_t code, std::span<const std::uint8_t> body) {
    last_ = handler_.handle(packet(code, body), from);
    return last_.answer ? last_.answer->code : 0;
  };
  net::PublicKey bobKey{}, other{};
  bobKey.fill(0xB0);
  bobKey[31] = 1;
  other.fill(0x5A);
  ASSERT_EQ(registerUser(alice, "alice1"), net::ansDone);
  ASSERT_EQ(registerUser(bob, "bobby1"), net::ansDone);
  ASSERT_EQ(over(tls, net::reqLogin, net::loginPayload(alice, "alice1", loopback, 5000)),
            net::ansLoggedIn);
  const net::Ticket a = ticket();
  const auto keyOf = [&](std::int32_t number) {
    return over(tls, net::reqUserKey, net::userKeyPayload(a, number));
  };

  // None kept from a plain login, a wrong password or an all-zero key.
  EXPECT_EQ(over(peer, net::reqLogin, net::loginPayload(bob, "bobby1", loopback, 6000, other)),
            net::ansLoggedIn);
  EXPECT_EQ(over(tls, net::reqLogin, net::loginPayload(bob, "wrong", loopback, 6000, other)),
            net::ansFailed);
  EXPECT_EQ(over(tls, net::reqLogin, net::loginPayload(bob, "bobby1", loopback, 6000, {})),
            net::ansLoggedIn);
  EXPECT_EQ(keyOf(bob), net::ansUserInvalid);

  // The latest TLS login's key wins; a later plain login changes nothing.
  ASSERT_EQ(over(tls, net::reqLogin, net::loginPayload(bob, "bobby1", loopback, 6000, other)),
            net::ansLoggedIn);
  ASSERT_EQ(over(tls, net::reqLogin, net::loginPayload(bob, "bobby1", loopback, 6001, bobKey)),
            net::ansLoggedIn);
  ASSERT_EQ(over(peer, net::reqLogin, net::loginPayload(bob, "bobby1", loopback, 6001, other)),
            net::ansLoggedIn);
  const net::Ticket b = ticket();

  ASSERT_EQ(over(tls, net::reqFindUser, net::findUserPayload(a, bob)), net::ansUserFound);
  const net::CPacket found = *last_.answer;
  EXPECT_EQ(found.length, 44);
  EXPECT_EQ(net::parseUserFound(found).port, 6001);
  EXPECT_EQ(net::parseFoundKey(found), bobKey);
  ASSERT_EQ(find(a, bob), net::ansUserFound);
  ASSERT_EQ(last_.answer->length, 12);
  EXPECT_TRUE(std::equal(found.payload.begin(), found.payload.begin() + 12,
                         last_.answer->payload.begin()));
  // Online without a key: the usual answer, over TLS too.
  ASSERT_EQ(over(tls, net::reqFindUser, net::findUserPayload(a, alice)), net::ansUserFound);
  EXPECT_EQ(last_.answer->length, 12);

  ASSERT_EQ(keyOf(bob), net::ansUserKey);
  EXPECT_EQ(net::parseUserKey(*last_.answer, bob), bobKey);
  EXPECT_EQ(last_.number, alice);
  EXPECT_EQ(last_.target, bob);
  ASSERT_EQ(send(net::reqLogout, b), net::ansDone);
  ASSERT_EQ(keyOf(bob), net::ansUserKey);  // offline, still known
  EXPECT_EQ(net::parseUserKey(*last_.answer, bob), bobKey);
  EXPECT_EQ(keyOf(alice), net::ansUserInvalid);
  EXPECT_EQ(keyOf(300000000), net::ansUserInvalid);
  EXPECT_EQ(keyOf(12), net::ansUserInvalid);
  const net::Ticket forged{1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(over(tls, net::reqUserKey, net::userKeyPayload(forged, bob)), net::ansFailed);
  EXPECT_FALSE(handler_.handle(packet(net::reqUserKey), tls).answer);
  // Plain, the request is as unknown as ever, good ticket or not.
  EXPECT_EQ(over(peer, net::reqUserKey, net::userKeyPayload(a, bob)), net::ansFailed);
  EXPECT_EQ(over(peer, net::reqUserKey, {}), net::ansFailed);

  // The key goes with the account; the number registered again has none.
  ASSERT_EQ(over(tls, net::reqLogin, net::loginPayload(bob, "bobby1", loopback, 6002)),
            net::ansLoggedIn);
  ASSERT_EQ(send(net::reqDeleteUser, ticket()), net::ansDone);
  EXPECT_EQ(store_.userKey(bob).status, StoreStatus::notFound);
  ASSERT_EQ(registerUser(bob, "bobby2"), net::ansDone);
  EXPECT_EQ(keyOf(bob), net::ansUserInvalid);
}

TEST_F(Handler, PasswordsAreNeverStoredInClear) {
  const std::string password = "Pl4inTextSecret";
  ASSERT_EQ(registerUser(alice, password), net::ansDone);
  ASSERT_EQ(login(alice, password), net::ansLoggedIn);
  ASSERT_EQ(send(net::reqChangePasswd, net::changePasswdPayload(ticket(), "An0therSecret")),
            net::ansDone);
  const auto stored = store_.passwordHash(alice);
  ASSERT_EQ(stored.status, StoreStatus::ok);
  EXPECT_TRUE(stored.value.starts_with("$argon2id$")) << stored.value;
  EXPECT_EQ(stored.value.find("An0therSecret"), std::string::npos);

  // Neither password appears anywhere in the database files.
  std::string everything;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    std::ifstream in(entry.path(), std::ios::binary);
    everything.append(std::istreambuf_iterator<char>(in), {});
  }
  EXPECT_FALSE(everything.empty());
  EXPECT_EQ(everything.find(password), std::string::npos);
  EXPECT_EQ(everything.find("An0therSecret"), std::string::npos);
}

}  // namespace
}  // namespace orvalis::server
