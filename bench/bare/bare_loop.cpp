// orvalis-bare-loop: the least a server can do for the test request, to
// measure orvalis-server against. One thread, blocking calls: accept, read
// one framed request, answer "done", close. Prints "listening on PORT".
// Usage: orvalis-bare-loop [PORT]   (default: any free port on 127.0.0.1)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>

#include "net/message_codes.h"
#include "net/packet.h"

namespace {

using namespace orvalis;

// Reads exactly out.size() bytes; false at end of stream or on an error.
bool readAll(int fd, std::span<std::uint8_t> out) {
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::recv(fd, out.data() + got, out.size() - got, 0);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

void serve(int fd, std::span<const std::uint8_t> answer) {
  std::array<std::uint8_t, net::headerSize + net::maxPayload> request{};
  if (!readAll(fd, std::span(request).first<net::headerSize>())) return;
  const net::PacketHeader header = net::parseHeader(std::span(request).first<net::headerSize>());
  if (header.length < 0 || static_cast<std::size_t>(header.length) > net::maxPayload) return;
  if (!readAll(fd, std::span(request).subspan(net::headerSize,
                                              static_cast<std::size_t>(header.length)))) {
    return;
  }
  (void)::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
}

}  // namespace

int main(int argc, char** argv) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : 0));
  socklen_t len = sizeof sa;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 4096) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    std::perror("orvalis-bare-loop");
    return 1;
  }
  std::printf("listening on %u\n", ntohs(sa.sin_port));
  std::fflush(stdout);

  net::CPacket done;
  net::buildPacket(done, net::ansDone, 0);
  const auto answer = net::encodeHeader(done);
  for (;;) {
    const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    serve(client, answer);
    ::close(client);
  }
}
