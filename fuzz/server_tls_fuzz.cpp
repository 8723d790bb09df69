// The server's side of TLS, with its own context (TLS 1.3 alone, the pair
// it makes on a first start). The first byte chooses what the rest is:
// even, a client's first flight as it arrives, in pieces; odd, what an
// honest client sends once the handshake holds, read by the server as it
// reads a request. Neither may crash, and the handshake never completes
// on bytes no client key produced.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "server/request_reader.h"
#include "server/tls_identity.h"

using namespace orvalis;

namespace {

struct Context {
  fuzz::ScratchDir dir;
  std::shared_ptr<asio::ssl::context> server;
  SSL_CTX* client = nullptr;
  Context() {
    const server::TlsFiles files{dir.file("tls.crt"), dir.file("tls.key")};
    FUZZ_CHECK(server::makeSelfSignedUnlessPresent(files).empty());
    server = server::serverTlsContext(files);
    client = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(client, TLS1_3_VERSION);
  }
};

Context& context() {
  static Context c;
  return c;
}

// One side's SSL over memory: bytes in through `in`, out through `out`.
struct End {
  SSL* ssl;
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  explicit End(SSL_CTX* ctx, bool server) : ssl(SSL_new(ctx)) {
    SSL_set_bio(ssl, in, out);
    if (server) SSL_set_accept_state(ssl);
    else SSL_set_connect_state(ssl);
  }
  ~End() { SSL_free(ssl); }
  End(const End&) = delete;
  End& operator=(const End&) = delete;
  std::vector<std::uint8_t> drain() const {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(BIO_ctrl_pending(out)));
    if (!bytes.empty()) BIO_read(out, bytes.data(), static_cast<int>(bytes.size()));
    return bytes;
  }
  void feed(std::span<const std::uint8_t> bytes) const {
    if (!bytes.empty()) BIO_write(in, bytes.data(), static_cast<int>(bytes.size()));
  }
};

void handshakeFromBytes(std::span<const std::uint8_t> bytes) {
  End server(context().server->native_handle(), true);
  // In pieces of varying size, as TCP may cut them.
  std::size_t at = 0;
  for (std::size_t piece = 1; at < bytes.size(); piece = piece * 3 % 1021 + 1) {
    const std::size_t n = std::min(piece, bytes.size() - at);
    server.feed(bytes.subspan(at, n));
    at += n;
    const int r = SSL_do_handshake(server.ssl);
    FUZZ_CHECK(r != 1);  // no client key stands behind these bytes
    if (SSL_get_error(server.ssl, r) != SSL_ERROR_WANT_READ) break;
    server.drain();
  }
  ERR_clear_error();
}

void requestInsideTls(std::span<const std::uint8_t> bytes) {
  End server(context().server->native_handle(), true);
  End client(context().client, false);
  for (int round = 0; round < 8 && !(SSL_is_init_finished(server.ssl) &&
                                     SSL_is_init_finished(client.ssl));
       ++round) {
    SSL_do_handshake(client.ssl);
    server.feed(client.drain());
    SSL_do_handshake(server.ssl);
    client.feed(server.drain());
  }
  FUZZ_CHECK(SSL_is_init_finished(server.ssl) && SSL_is_init_finished(client.ssl));
  if (!bytes.empty()) SSL_write(client.ssl, bytes.data(), static_cast<int>(bytes.size()));
  server.feed(client.drain());
  // The server reads the request as it comes out of TLS.
  std::vector<std::uint8_t> received;
  std::array<std::uint8_t, 97> chunk{};
  for (int n; (n = SSL_read(server.ssl, chunk.data(), static_cast<int>(chunk.size()))) > 0;) {
    received.insert(received.end(), chunk.begin(), chunk.begin() + n);
    const server::ReadResult r = server::readRequest(received);
    if (r.state != server::ReadState::needMore) break;
  }
  FUZZ_CHECK(received.size() <= bytes.size());
  ERR_clear_error();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  if (data[0] % 2 == 0) handshakeFromBytes(rest);
  else requestInsideTls(rest);
  return 0;
}
