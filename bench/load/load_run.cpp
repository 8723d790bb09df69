#include "load/load_run.h"

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "net/message_codes.h"
#include "net/packet_io.h"
#include "net/requests.h"

namespace orvalis::bench {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto transactionLimit = std::chrono::seconds(10);

// One transaction on its own connection; the answer's code, 0 on failure.
int transact(const LoadSettings& s, std::int16_t code, std::span<const std::uint8_t> payload,
             net::CPacket& answer) {
  net::CPacket request;
  net::buildPacket(request, code, static_cast<std::int16_t>(payload.size()), payload);
  net::SocketPtr socket;
  int result = 0;
  if (net::connectTcp(socket, s.address, s.port, Clock::now() + transactionLimit) ==
          net::ConnectResult::ok &&
      net::sendPacket(*socket, request) != 0) {
    result = net::recvPacket(*socket, answer);
  }
  if (socket) socket->close();
  return result;
}

// Times one transaction and files it under its kind.
template <class Payload>
int timed(const LoadSettings& s, Latencies& into, std::int16_t code, const Payload& payload,
          net::CPacket& answer, std::initializer_list<std::int16_t> expected) {
  const auto start = Clock::now();
  const int got = transact(s, code, payload, answer);
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
  bool ok = false;
  for (const std::int16_t e : expected) ok = ok || got == e;
  if (ok) into.micros.push_back(static_cast<std::uint32_t>(micros));
  else ++into.failures;
  return got;
}

void testOnly(const LoadSettings& s, Clock::time_point until, LoadResult& out) {
  net::CPacket answer;
  while (Clock::now() < until) {
    timed(s, out.test, net::reqTestServer, std::span<const std::uint8_t>(), answer, {net::ansDone});
  }
}

// Client k uses the numbers congruent to k, so no two clients log in as the
// same user and no session is replaced under another client's feet.
void client(const LoadSettings& s, int k, Clock::time_point until, LoadResult& out) {
  if (s.mix == Mix::test) return testOnly(s, until, out);
  std::mt19937 random(static_cast<std::uint32_t>(k) * 7919u + 1u);
  const std::int32_t perClient = s.users / s.clients;
  std::uniform_int_distribution<std::int32_t> own(0, perClient - 1);
  std::uniform_int_distribution<std::int32_t> anyone(0, s.users - 1);
  net::CPacket answer;
  while (Clock::now() < until) {
    const std::int32_t number = s.firstNumber + own(random) * s.clients + k;
    const auto port = static_cast<std::uint16_t>(20000 + k);
    if (timed(s, out.login, net::reqLogin, net::loginPayload(number, s.password, s.address, port),
              answer, {net::ansLoggedIn}) != net::ansLoggedIn) {
      continue;
    }
    const net::Ticket ticket = net::parseTicket(answer);
    do {
      timed(s, out.find, net::reqFindUser,
            net::findUserPayload(ticket, s.firstNumber + anyone(random)), answer,
            {net::ansUserFound, net::ansUserOffline});
    } while (s.mix == Mix::find && Clock::now() < until);
    timed(s, out.logout, net::reqLogout, ticket, answer, {net::ansDone});
  }
}

}  // namespace

LoadResult runLoad(const LoadSettings& settings) {
  std::vector<LoadResult> perClient(static_cast<std::size_t>(settings.clients));
  const auto start = Clock::now();
  const auto until = start + settings.duration;
  {
    std::vector<std::jthread> threads;
    for (int k = 0; k < settings.clients; ++k) {
      threads.emplace_back(client, std::cref(settings), k, until,
                           std::ref(perClient[static_cast<std::size_t>(k)]));
    }
  }
  LoadResult total;
  total.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (const LoadResult& r : perClient) {
    total.login.merge(r.login);
    total.find.merge(r.find);
    total.logout.merge(r.logout);
    total.test.merge(r.test);
  }
  return total;
}

}  // namespace orvalis::bench
