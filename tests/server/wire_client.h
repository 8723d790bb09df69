#pragma once
// A blocking loopback client for the server tests: one connection, bytes
// out, everything the server sends until it closes; and one framed request
// answered over it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "net/packet.h"
#include "net/requests.h"

namespace orvalis::server::testing {

class WireClient {
 public:
  // From source (network order) when it is not 0: another loopback
  // address stands for another machine.
  explicit WireClient(std::uint16_t port, int receiveTimeoutSeconds = 20, std::uint32_t source = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("no socket");
    timeval tv{receiveTimeoutSeconds, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    if (source != 0) {
      sa.sin_addr.s_addr = source;
      if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        throw std::runtime_error("cannot bind the source address");
    }
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  ~WireClient() { ::close(fd_); }
  WireClient(const WireClient&) = delete;
  WireClient& operator=(const WireClient&) = delete;

  bool connected() const { return connected_; }
  int fd() const { return fd_; }
  // The server reset the connection rather than closing it.
  bool reset() const { return reset_; }

  bool send(std::span<const std::uint8_t> bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  bool send(std::string_view text) {
    return send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  }

  // Everything received until the server closes; nullopt when the receive
  // timed out first (the server held the connection open). A reset ends it too.
  std::optional<std::vector<std::uint8_t>> readToEnd() {
    std::vector<std::uint8_t> out;
    std::array<std::uint8_t, 4096> buffer{};
    for (;;) {
      const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
      if (n == 0) return out;
      if (n < 0) {
        if (errno == ECONNRESET) {
          reset_ = true;
          return out;
        }
        return std::nullopt;
      }
      out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    }
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool reset_ = false;
};

inline std::vector<std::uint8_t> wireBytes(const net::CPacket& p) {
  std::array<std::uint8_t, net::headerSize + net::maxPayload> out{};
  const std::size_t n = net::encodePacket(p, out);
  return {out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n)};
}

inline net::CPacket packet(std::int16_t code, std::span<const std::uint8_t> payload = {}) {
  net::CPacket p;
  net::buildPacket(p, code, static_cast<std::int16_t>(payload.size()), payload);
  return p;
}

// The answer to one framed request; nullopt when the server closed without one.
inline std::optional<net::CPacket> exchange(std::uint16_t port, const net::CPacket& request,
                                            std::uint32_t source = 0) {
  WireClient client(port, 20, source);
  if (!client.connected() || !client.send(wireBytes(request))) return std::nullopt;
  const auto bytes = client.readToEnd();
  if (!bytes || bytes->size() < net::headerSize) return std::nullopt;
  const auto header = net::parseHeader(
      std::span<const std::uint8_t, net::headerSize>(bytes->data(), net::headerSize));
  if (bytes->size() != net::headerSize + static_cast<std::size_t>(std::max<int>(header.length, 0)))
    return std::nullopt;
  net::CPacket answer;
  answer.code = header.code;
  answer.length = header.length;
  std::copy(bytes->begin() + net::headerSize, bytes->end(), answer.payload.begin());
  return answer;
}

// The answer to one framed request sent inside TLS 1.3, the server's
// certificate unchecked; its public key (DER) goes to publicKey. nullopt
// when the handshake or the exchange failed.
inline std::optional<net::CPacket> tlsExchange(std::uint16_t port, const net::CPacket& request,
                                               std::vector<std::uint8_t>* publicKey = nullptr) {
  WireClient client(port);
  if (!client.connected()) return std::nullopt;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                            SSL_CTX_free);
  SSL_CTX_set_min_proto_version(context.get(), TLS1_3_VERSION);
  std::unique_ptr<SSL, decltype(&SSL_free)> tls(SSL_new(context.get()), SSL_free);
  SSL_set_fd(tls.get(), client.fd());
  if (SSL_connect(tls.get()) != 1) return std::nullopt;
  if (publicKey != nullptr) {
    X509* cert = SSL_get1_peer_certificate(tls.get());
    unsigned char* der = nullptr;
    const int n = cert != nullptr ? i2d_PUBKEY(X509_get0_pubkey(cert), &der) : 0;
    publicKey->assign(der, der + std::max(n, 0));
    OPENSSL_free(der);
    X509_free(cert);
  }
  const auto bytes = wireBytes(request);
  if (SSL_write(tls.get(), bytes.data(), static_cast<int>(bytes.size())) !=
      static_cast<int>(bytes.size()))
    return std::nullopt;
  std::vector<std::uint8_t> got;
  std::array<std::uint8_t, 1024> buffer{};
  for (int n; (n = SSL_read(tls.get(), buffer.data(), buffer.size())) > 0;)
    got.insert(got.end(), buffer.begin(), buffer.begin() + n);
  // The answer ends with the server's close_notify, not a cut connection.
  if (SSL_get_error(tls.get(), 0) != SSL_ERROR_ZERO_RETURN || got.size() < net::headerSize)
    return std::nullopt;
  const auto header = net::parseHeader(
      std::span<const std::uint8_t, net::headerSize>(got.data(), net::headerSize));
  net::CPacket answer;
  answer.code = header.code;
  answer.length = header.length;
  std::copy(got.begin() + net::headerSize, got.end(), answer.payload.begin());
  return answer;
}

}  // namespace orvalis::server::testing
