#include "server/tls_identity.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <system_error>

namespace orvalis::server {

namespace {

template <class T, void (*Free)(T*)>
struct Freer {
  void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Freer<X509, X509_free>>;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens a new file for writing with this mode; fails when it exists.
FilePtr createFile(const std::filesystem::path& path, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return nullptr;
  FilePtr f(::fdopen(fd, "w"));
  if (!f) ::close(fd);
  return f;
}

CertPtr selfSigned(EVP_PKEY* key) {
  CertPtr cert(X509_new());
  if (!cert) return nullptr;
  X509_set_version(cert.get(), 2);
  // A random serial: two servers' made certificates never share one.
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) return nullptr;
  serial[0] &= 0x7F;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  const bool serialSet = bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  if (!serialSet) return nullptr;
  constexpr long tenYears = 10L * 365 * 24 * 3600;
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), tenYears);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("orvalis-server"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  if (X509_set_pubkey(cert.get(), key) != 1 || X509_sign(cert.get(), key, EVP_sha256()) == 0)
    return nullptr;
  return cert;
}

}  // namespace

TlsFiles defaultTlsFiles(const std::string& dbPath) {
  std::filesystem::path dir;
  if (!dbPath.starts_with("postgresql://") && !dbPath.starts_with("postgres://"))
    dir = std::filesystem::path(dbPath).parent_path();
  return {dir / "server-tls.crt", dir / "server-tls.key"};
}

std::string makeSelfSignedUnlessPresent(const TlsFiles& files) {
  std::error_code ec;
  const bool haveCert = std::filesystem::exists(files.certificate, ec);
  const bool haveKey = std::filesystem::exists(files.key, ec);
  if (haveCert && haveKey) return {};
  if (haveCert || haveKey)
    return "only one of " + files.certificate.string() + " and " + files.key.string() + " exists";
  KeyPtr key(EVP_EC_gen("P-256"));
  if (!key) return "cannot make a key";
  const CertPtr cert = selfSigned(key.get());
  if (!cert) return "cannot make a certificate";
  // The key first, owner-only from its creation; the certificate, which
  // tells the pair is complete, last.
  {
    FilePtr out = createFile(files.key, 0600);
    if (!out || PEM_write_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        std::fflush(out.get()) != 0 || ::fsync(::fileno(out.get())) != 0)
      return "cannot write " + files.key.string();
  }
  FilePtr out = createFile(files.certificate, 0644);
  if (!out || PEM_write_X509(out.get(), cert.get()) != 1 || std::fflush(out.get()) != 0)
    return "cannot write " + files.certificate.string();
  return {};
}

std::shared_ptr<asio::ssl::context> serverTlsContext(const TlsFiles& files) {
  auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
  SSL_CTX* native = context->native_handle();
  SSL_CTX_set_min_proto_version(native, TLS1_3_VERSION);
  // One request per connection: resumption would only keep state around.
  SSL_CTX_set_session_cache_mode(native, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(native, 0);
  std::error_code ec;
  context->use_certificate_chain_file(files.certificate.string(), ec);
  if (ec) throw std::runtime_error("cannot load the TLS certificate " + files.certificate.string());
  context->use_private_key_file(files.key.string(), asio::ssl::context::pem, ec);
  if (ec) throw std::runtime_error("cannot load the TLS key " + files.key.string());
  if (SSL_CTX_check_private_key(native) != 1)
    throw std::runtime_error("the TLS key does not match the certificate");
  return context;
}

}  // namespace orvalis::server
