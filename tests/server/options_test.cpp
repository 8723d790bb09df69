// Command line parsing and the transaction log line.

#include "server/options.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "net/message_codes.h"
#include "server/transaction_log.h"

namespace orvalis::server {
namespace {

ParseResult parse(std::initializer_list<std::string_view> args) {
  const std::vector<std::string_view> v(args);
  return parseOptions(v);
}

Options ok(std::initializer_list<std::string_view> args) {
  const auto r = parse(args);
  if (const auto* error = std::get_if<std::string>(&r)) ADD_FAILURE() << *error;
  return std::holds_alternative<Options>(r) ? std::get<Options>(r) : Options{};
}

bool fails(std::initializer_list<std::string_view> args) {
  return std::holds_alternative<std::string>(parse(args));
}

TEST(Options, TheCallRelaySitsBesideTheServerUnlessToldOtherwise) {
  EXPECT_TRUE(ok({}).callRelay);
  EXPECT_EQ(callRelayPortOf(ok({})), 3394);
  EXPECT_EQ(callRelayPortOf(ok({"--port", "0"})), 0);         // any free one, like the server
  EXPECT_EQ(callRelayPortOf(ok({"--port", "65535"})), 0);     // no port after the last
  const Options o = ok({"--port", "4000", "--call-relay-port", "5000", "--call-relay-address",
                        "203.0.113.7", "--max-relayed-calls", "9", "--call-relay-bind",
                        "0.0.0.0"});
  EXPECT_EQ(o.callRelayBind, 0u);
  EXPECT_EQ(callRelayPortOf(o), 5000);
  EXPECT_EQ(o.callRelayAddress, htonl(0xCB007107));
  EXPECT_EQ(o.maxRelayedCalls, 9u);
  EXPECT_FALSE(ok({"--no-call-relay"}).callRelay);
  EXPECT_TRUE(fails({"--call-relay-address", "0.0.0.0"}));
  EXPECT_TRUE(fails({"--max-relayed-calls", "0"}));
  EXPECT_TRUE(fails({"--call-relay-port", "70000"}));
}

TEST(Options, DefaultsAndEveryOption) {
  const Options d = ok({});
  EXPECT_EQ(d.command, Command::serve);
  EXPECT_EQ(d.port, 3393);
  EXPECT_EQ(d.bindAddress, 0u);
  EXPECT_EQ(d.dbPath, "orvalis.db");
  EXPECT_EQ(d.hashCost, HashCost::interactive);
  EXPECT_EQ(d.timeoutMs, 10000u);
  EXPECT_EQ(d.maxConnections, 10000u);
  EXPECT_FALSE(d.closed);
  EXPECT_FALSE(d.quiet);

  const Options o =
      ok({"--port", "0", "--bind", "127.0.0.1", "--db", "x.db", "--hash-cost", "min", "--closed",
          "--timeout-ms", "250", "--max-connections", "7", "--threads", "3", "--quiet"});
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(o.bindAddress, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(o.dbPath, "x.db");
  EXPECT_EQ(o.hashCost, HashCost::min);
  EXPECT_TRUE(o.closed);
  EXPECT_EQ(o.timeoutMs, 250u);
  EXPECT_EQ(o.maxConnections, 7u);
  EXPECT_EQ(o.threads, 3u);
  EXPECT_TRUE(o.quiet);
  EXPECT_EQ(ok({"--hash-cost", "moderate"}).hashCost, HashCost::moderate);

  const Options r = ok({"--relay", "127.0.0.1:4000", "--port", "5000"});
  EXPECT_EQ(r.command, Command::relay);
  EXPECT_EQ(r.relayAddress, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(r.relayPort, 4000);
  EXPECT_EQ(ok({"--port", "1", "--help", "--bogus"}).command, Command::help);

  const Options proxies = ok({"--trusted-proxy", "127.0.0.1", "--trusted-proxy", "10.0.0.2"});
  EXPECT_EQ(proxies.trustedProxies,
            (std::vector<std::uint32_t>{htonl(INADDR_LOOPBACK), htonl(0x0A000002)}));
}

TEST(Options, Commands) {
  const Options add = ok({"--db", "u.db", "add-user", "200000001", "secret", "--hash-cost", "min"});
  EXPECT_EQ(add.command, Command::addUser);
  EXPECT_EQ(add.number, 200000001);
  EXPECT_EQ(add.password, "secret");
  EXPECT_EQ(add.dbPath, "u.db");
  EXPECT_EQ(ok({"delete-user", "999999999"}).number, 999999999);
  EXPECT_EQ(ok({"list-users"}).command, Command::listUsers);

  const Options asked = ok({"add-user", "200000001"});
  EXPECT_TRUE(asked.passwordFromInput);
  EXPECT_EQ(asked.number, 200000001);
  EXPECT_FALSE(add.passwordFromInput);
  EXPECT_TRUE(fails({"add-user"}));
  EXPECT_TRUE(fails({"add-user", "200000001", "pw", "extra"}));
  EXPECT_TRUE(fails({"add-user", "99999999", "pw"}));
  EXPECT_TRUE(fails({"add-user", "200000001", ""}));
  EXPECT_TRUE(fails({"add-user", "200000001", std::string_view("01234567890123456789")}));
  EXPECT_TRUE(fails({"delete-user", "2000000x1"}));
  EXPECT_TRUE(fails({"list-users", "extra"}));
  EXPECT_TRUE(fails({"frobnicate"}));
  EXPECT_TRUE(fails({"--relay", "127.0.0.1:1", "list-users"}));
}

TEST(Options, BadValuesAreErrors) {
  for (const auto& args : std::vector<std::vector<std::string_view>>{{"--port"},
                                                                     {"--port", "65536"},
                                                                     {"--port", "-1"},
                                                                     {"--port", "12x"},
                                                                     {"--bind", "localhost"},
                                                                     {"--bind", "1.2.3"},
                                                                     {"--relay", "127.0.0.1"},
                                                                     {"--relay", "host:80"},
                                                                     {"--relay", "127.0.0.1:0"},
                                                                     {"--relay", "127.0.0.1:70000"},
                                                                     {"--hash-cost", "max"},
                                                                     {"--timeout-ms", "0"},
                                                                     {"--max-connections", "0"},
                                                                     {"--threads", "0"},
                                                                     {"--threads", "1000"},
                                                                     {"--db", ""},
                                                                     {"--trusted-proxy", "0.0.0.0"},
                                                                     {"--trusted-proxy", "lb"},
                                                                     {"--verbose"}}) {
    EXPECT_TRUE(std::holds_alternative<std::string>(parseOptions(args))) << args[0];
  }
  EXPECT_FALSE(usageText().empty());
}

TEST(TransactionLog, LineNamesNumberRequestAnswerAndPeer) {
  const Peer peer{htonl(0x7F000001), 40123};
  net::CPacket found;
  net::buildPacket(found, net::ansUserFound, 0);
  EXPECT_EQ(formatTransaction(net::reqFindUser, {found, 200000001, 200000002}, peer),
            "number=200000001 request=reqFindUser answer=ansUserFound peer=127.0.0.1:40123 "
            "target=200000002");
  net::CPacket failed;
  net::buildPacket(failed, net::ansFailed, 0);
  EXPECT_EQ(formatTransaction(99, {failed, 0, 0}, peer),
            "number=- request=unknown(99) answer=ansFailed peer=127.0.0.1:40123");
  EXPECT_EQ(formatTransaction(net::reqLogin, {std::nullopt, 200000001, 0}, peer),
            "number=200000001 request=reqLogin answer=malformed peer=127.0.0.1:40123");
}

// What a pipe holds, read until it stays empty for `quiet`.
std::string drain(int fd, int quietMs) {
  std::string out;
  char chunk[65536];
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, quietMs) == 1) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    out.append(chunk, static_cast<std::size_t>(n));
  }
  return out;
}

// A reader that stops reading (a full journal pipe) holds up neither the
// threads that log nor the end of the log; what could not be queued is
// counted, and every line that arrives arrives whole.
TEST(TransactionLog, NeverWaitsForItsReader) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  {
    TransactionLog quiet(fds[1], true);
    quiet.write("x");
    TransactionLog loud(fds[1], false);
    loud.write("one");
    loud.write("two");
  }
  EXPECT_EQ(drain(fds[0], 100), "one\ntwo\n");

  const std::string line(60, 'x');
  constexpr int lines = 100'000;  // six times what the pipe and the queue hold
  std::string arrived;
  {
    TransactionLog stalled(fds[1], false);
    for (int i = 0; i < lines; ++i) stalled.write(line);
    arrived = drain(fds[0], 2000);
  }
  // The writer says how many it dropped after each batch it got out.
  const std::string dropped = "orvalis-server: ";
  int lost = 0;
  std::string kept;
  for (std::size_t from = 0; from < arrived.size();) {
    const std::size_t end = arrived.find('\n', from);
    ASSERT_NE(end, std::string::npos);
    const std::string_view one = std::string_view(arrived).substr(from, end + 1 - from);
    if (one.starts_with(dropped))
      lost += std::stoi(std::string(one.substr(dropped.size())));
    else
      kept += one;
    from = end + 1;
  }
  EXPECT_GT(lost, 0);
  ASSERT_EQ(kept.size() % (line.size() + 1), 0U);
  EXPECT_EQ(static_cast<int>(kept.size() / (line.size() + 1)) + lost, lines);
  EXPECT_EQ(kept.find_first_not_of("x\n"), std::string::npos);
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace orvalis::server
