#pragma once
// The server's TLS identity: a certificate and its private key, given by
// the administrator or made once, self-signed, on the first start. Phones
// pin the certificate's public key at their first TLS login, so a made
// pair is kept and reused, never replaced while it can be read.

#include <filesystem>
#include <memory>
#include <string>

#include <asio/ssl/context.hpp>

namespace orvalis::server {

struct TlsFiles {
  std::filesystem::path certificate;
  std::filesystem::path key;
};

// Where a server keeps a made pair: beside its SQLite database, or in the
// working directory when the database is PostgreSQL's.
TlsFiles defaultTlsFiles(const std::string& dbPath);

// Makes a self-signed pair (P-256, ten years) in files when neither exists,
// the key readable by its owner only. Empty when the pair is there
// afterwards; otherwise what went wrong.
std::string makeSelfSignedUnlessPresent(const TlsFiles& files);

// A server context for TLS 1.3 alone with this pair; throws
// std::runtime_error saying which file would not load.
std::shared_ptr<asio::ssl::context> serverTlsContext(const TlsFiles& files);

}  // namespace orvalis::server
