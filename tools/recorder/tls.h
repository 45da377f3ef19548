// The console's HTTPS: setting up the server's TLS context from the
// configured certificate and key, and making a self-signed pair for a first
// trial (talo-recorder make-cert).
#pragma once

#include <openssl/ssl.h>

#include <string>

namespace talo_recorder {

// Loads the PEM certificate chain and its key into the context and allows
// TLS 1.2 and newer only. False with the cause, naming the key
// ("console.tls.cert" or "console.tls.key"), in *error.
bool SetUpServerTls(SSL_CTX *ctx, const std::string &cert, const std::string &key, std::string *error);

struct MadeCert {
  std::string cert;  // <dir>/console.crt
  std::string key;   // <dir>/console.key, its owner's alone
};

// A self-signed certificate for `host`, "localhost" and 127.0.0.1, valid a
// year, with a new P-256 key. Files already there are left alone: a
// std::runtime_error says so, as it says any other failure.
MadeCert MakeSelfSignedCert(const std::string &dir, const std::string &host);

}  // namespace talo_recorder
