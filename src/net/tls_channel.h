#pragma once
// A TLS 1.3 client session over a connected Socket, for the routes that
// carry the server's own bytes (direct, SOCKS5, the gate). The server's
// certificate is not checked against any authority: servers make their
// own. What identifies a server is the SHA-256 of its public key, which the
// phone pins at its first TLS login and compares ever after.

#include <openssl/bio.h>
#include <openssl/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "net/packet.h"
#include "net/socket.h"
#include "store/server_keys.h"

namespace orvalis::net {

using store::KeyPin;

class TlsChannel {
 public:
  // Uses socket for its bytes, under the socket's deadline; a close of the
  // socket from another thread ends whatever the channel waits for.
  explicit TlsChannel(Socket& socket);
  ~TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  // The handshake; the pin of the server's key, nullopt when it failed
  // (a server that does not speak TLS closes the connection on it).
  std::optional<KeyPin> handshake();
  // Whole messages, as sendPacket and recvPacket do on a plain socket:
  // the code, or 0 on failure.
  int sendPacket(const CPacket& packet);
  int recvPacket(CPacket& packet);

 private:
  bool readAll(std::span<std::uint8_t> bytes);

  Socket& socket_;
  SSL_CTX* context_ = nullptr;
  BIO_METHOD* method_ = nullptr;
  SSL* ssl_ = nullptr;
};

}  // namespace orvalis::net
