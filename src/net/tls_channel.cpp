#include "net/tls_channel.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <climits>

namespace orvalis::net {

namespace {

// The BIO hands OpenSSL's bytes to the Socket, whose deadline and wake-up
// on close then hold for the whole session.
int bioWrite(BIO* bio, const char* data, int size) {
  auto* socket = static_cast<Socket*>(BIO_get_data(bio));
  const ssize_t n = socket->send(std::span(reinterpret_cast<const std::uint8_t*>(data),
                                           static_cast<std::size_t>(size)));
  return n < 0 ? -1 : static_cast<int>(n);
}

int bioRead(BIO* bio, char* data, int size) {
  auto* socket = static_cast<Socket*>(BIO_get_data(bio));
  const ssize_t n = socket->recv(
      std::span(reinterpret_cast<std::uint8_t*>(data), static_cast<std::size_t>(size)));
  return n <= 0 ? -1 : static_cast<int>(n);
}

long bioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int bioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

}  // namespace

TlsChannel::TlsChannel(Socket& socket) : socket_(socket) {
  context_ = SSL_CTX_new(TLS_client_method());
  method_ = BIO_meth_new(BIO_TYPE_SOURCE_SINK, "orvalis socket");
  if (context_ == nullptr || method_ == nullptr) return;
  SSL_CTX_set_min_proto_version(context_, TLS1_3_VERSION);
  BIO_meth_set_write(method_, bioWrite);
  BIO_meth_set_read(method_, bioRead);
  BIO_meth_set_ctrl(method_, bioControl);
  BIO_meth_set_create(method_, bioCreate);
  ssl_ = SSL_new(context_);
  BIO* bio = BIO_new(method_);
  if (ssl_ == nullptr || bio == nullptr) {
    BIO_free(bio);
    return;
  }
  BIO_set_data(bio, &socket_);
  SSL_set_bio(ssl_, bio, bio);
}

TlsChannel::~TlsChannel() {
  SSL_free(ssl_);
  BIO_meth_free(method_);
  SSL_CTX_free(context_);
}

std::optional<KeyPin> TlsChannel::handshake() {
  if (ssl_ == nullptr || SSL_connect(ssl_) != 1) return std::nullopt;
  X509* cert = SSL_get1_peer_certificate(ssl_);
  if (cert == nullptr) return std::nullopt;
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(X509_get0_pubkey(cert), &der);
  X509_free(cert);
  std::optional<KeyPin> pin;
  unsigned int size = 0;
  if (length > 0 && EVP_Digest(der, static_cast<std::size_t>(length), pin.emplace().data(), &size,
                               EVP_sha256(), nullptr) != 1)
    pin.reset();
  OPENSSL_free(der);
  return pin;
}

int TlsChannel::sendPacket(const CPacket& packet) {
  std::array<std::uint8_t, headerSize + maxPayload> wire{};
  const std::size_t count = encodePacket(packet, wire);
  if (ssl_ == nullptr || count == 0) return 0;
  return SSL_write(ssl_, wire.data(), static_cast<int>(count)) == static_cast<int>(count)
             ? packet.code
             : 0;
}

bool TlsChannel::readAll(std::span<std::uint8_t> bytes) {
  std::size_t got = 0;
  while (got < bytes.size()) {
    const int n = SSL_read(ssl_, bytes.data() + got, static_cast<int>(bytes.size() - got));
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

int TlsChannel::recvPacket(CPacket& packet) {
  packet = CPacket{};
  std::array<std::uint8_t, headerSize> raw{};
  if (ssl_ == nullptr || !readAll(raw)) return 0;
  const PacketHeader header = parseHeader(raw);
  packet.marker = header.marker;
  packet.reserved = header.reserved;
  packet.code = header.code;
  packet.length = header.length;
  if (packet.payloadSize() > maxPayload) return 0;
  if (packet.payloadSize() > 0 &&
      !readAll(std::span<std::uint8_t>(packet.payload.data(), packet.payloadSize())))
    return 0;
  return packet.code;
}

}  // namespace orvalis::net
