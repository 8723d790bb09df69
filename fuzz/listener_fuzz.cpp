// The first message of a connection to the phone's listener, from any
// bytes: only a whole call request from a caller who is not black-listed
// starts a call, a call request while a call is on is answered busy and
// nothing else is ever sent; every other connection is closed and the
// call state left as it was.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_call_host.h"
#include "fuzz_support.h"
#include "net/packet_io.h"
#include "store/addr_book.h"

using namespace orvalis;
using namespace orvalis::net;

namespace {

struct Phone {
  fuzz::FuzzCallHost host;
  CBind bind{host, std::chrono::seconds(2)};
  Phone() { FUZZ_CHECK(bind.waitSettled(std::chrono::seconds(5)) && !bind.ended()); }
  ~Phone() { stopNetwork(host.call); }
};

// Each connection from another loopback address: the ones before wait out
// their TIME_WAIT, and one address has too few ports for a long run.
int connectTo(std::uint16_t port) {
  static std::uint32_t next = 0;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x7F010000u | (next++ & 0xFFFFu));
  FUZZ_CHECK(::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  int done = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  // A connect cut short by a signal goes on by itself; wait for it.
  if (done != 0 && errno == EINTR) {
    pollfd p{fd, POLLOUT, 0};
    while (::poll(&p, 1, 1000) < 0 && errno == EINTR) {
    }
    int error = 0;
    socklen_t len = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
    done = error == 0 ? 0 : -1;
  }
  if (done != 0) {
    std::perror("connect to the listener");
    std::abort();
  }
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Phone phone;
  fuzz::FuzzCallHost& host = phone.host;
  if (size < 1) return 0;
  const bool loggedIn = (data[0] & 1) == 0;
  const bool callOn = (data[0] & 2) != 0;
  const std::span<const std::uint8_t> message(data + 1, size - 1);

  host.logged = loggedIn;
  const ClientState before = callOn ? ClientState::clientTalk : ClientState::clientIdle;
  host.call.stateClient = before;
  host.fields.number = 0;
  const int calls = host.incomingCalls;

  const int fd = connectTo(host.port);
  fuzz::sendAndEnd(fd, message.data(), message.size());
  std::vector<std::uint8_t> received;
  bool handedOver = false;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    FUZZ_CHECK(std::chrono::steady_clock::now() < until);
    if (!handedOver && host.incomingCalls != calls) {
      handedOver = true;
      host.hangUpIncoming();
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1) <= 0) continue;
    std::array<std::uint8_t, 256> buf{};
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    received.insert(received.end(), buf.begin(), buf.begin() + n);
  }
  ::close(fd);

  // What the first message is, read from the bytes.
  bool callRequest = false;
  std::int32_t caller = 0;
  if (message.size() >= headerSize) {
    const PacketHeader h = parseHeader(message.first<headerSize>());
    const std::size_t length = h.length > 0 ? static_cast<std::size_t>(h.length) : 0;
    callRequest = h.code == peerCall && length <= maxPayload &&
                  message.size() - headerSize >= length;
    if (callRequest) {
      std::array<std::uint8_t, maxPayload> payload{};
      std::copy_n(message.begin() + headerSize, length, payload.begin());
      caller = readInt32(payload, 4);
    }
  }
  const bool answered = loggedIn && callRequest;
  const bool busy = answered && callOn;
  const bool blackListed = answered && !callOn && host.typeOf(caller) == store::contactBlackList;

  if (busy) {
    FUZZ_CHECK(received.size() == headerSize);
    FUZZ_CHECK(parseHeader(std::span(received).first<headerSize>()).code == peerBusy);
  } else {
    FUZZ_CHECK(received.empty());
  }
  FUZZ_CHECK(handedOver == (answered && !callOn && !blackListed));
  if (answered && !callOn) FUZZ_CHECK(host.fields.number == caller);
  FUZZ_CHECK(host.call.stateClient == before);
  FUZZ_CHECK(!phone.bind.ended());
  return 0;
}
