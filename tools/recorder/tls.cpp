#include "tls.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>

namespace talo_recorder {
namespace {

namespace fs = std::filesystem;

// OpenSSL's last queued reason, and the queue emptied for the next call.
std::string SslReason() {
  const unsigned long code = ERR_peek_last_error();
  char text[256] = "unknown reason";
  if (code) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

[[noreturn]] void Fail(const std::string &what) { throw std::runtime_error(what + ": " + SslReason()); }

struct Deleter {
  void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
  void operator()(X509 *p) const { X509_free(p); }
  void operator()(X509_EXTENSION *p) const { X509_EXTENSION_free(p); }
  void operator()(FILE *f) const { std::fclose(f); }
};
template <typename T>
using Owned = std::unique_ptr<T, Deleter>;

void AddExtension(X509 *cert, int nid, const std::string &value) {
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
  Owned<X509_EXTENSION> ext(X509V3_EXT_conf_nid(nullptr, &v3, nid, value.c_str()));
  if (!ext || !X509_add_ext(cert, ext.get(), -1)) Fail("cannot add the certificate's " + std::string(OBJ_nid2sn(nid)));
}

// A new file only: an operator's real key is never overwritten.
Owned<FILE> CreateFile(const std::string &path, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0)
    throw std::runtime_error("cannot create '" + path + "': " + std::strerror(errno) +
                             (errno == EEXIST ? " (remove it first to make a new one)" : ""));
  // O_CREAT's mode passes through the umask; the key's must not.
  ::fchmod(fd, mode);
  Owned<FILE> f(::fdopen(fd, "w"));
  if (!f) ::close(fd);
  return f;
}

}  // namespace

bool SetUpServerTls(SSL_CTX *ctx, const std::string &cert, const std::string &key, std::string *error) {
  ERR_clear_error();
  if (SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) != 1) {
    *error = "\"console.tls.cert\": cannot use '" + cert + "' as a PEM certificate chain: " + SslReason();
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    *error = "\"console.tls.key\": cannot use '" + key + "' as a PEM private key: " + SslReason();
    return false;
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    *error = "\"console.tls.key\": '" + key + "' is not the key of the certificate '" + cert + "'";
    ERR_clear_error();
    return false;
  }
  // Older protocol versions have known breaks; every browser in use speaks 1.2.
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // AES-128 first: as strong for this use and the cheapest for both ends.
  SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  return true;
}

MadeCert MakeSelfSignedCert(const std::string &dir, const std::string &host) {
  if (host.empty() || host.find_first_of(", \t\r\n") != std::string::npos)
    throw std::runtime_error("--host: a host name, not '" + host + "'");
  // Absolute: the configuration takes relative paths from its own folder.
  const fs::path folder = fs::absolute(dir).lexically_normal();
  MadeCert made{(folder / "console.crt").string(), (folder / "console.key").string()};
  std::error_code ec;
  for (const std::string &file : {made.cert, made.key})
    if (fs::exists(fs::symlink_status(file, ec)))
      throw std::runtime_error("'" + file + "' exists: remove it first to make a new one");
  ERR_clear_error();
  Owned<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) Fail("cannot make a P-256 key");
  Owned<X509> cert(X509_new());
  if (!cert) Fail("cannot make a certificate");
  // A random serial: browsers refuse two certificates of one issuer with the same one.
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) Fail("cannot draw a serial number");
  serial[0] &= 0x7f;  // positive
  BIGNUM *number = BN_bin2bn(serial, sizeof serial, nullptr);
  const bool serial_set = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get()));
  BN_free(number);
  X509_NAME *name = X509_get_subject_name(cert.get());
  const bool ok = serial_set && X509_set_version(cert.get(), 2) &&
                  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60) &&
                  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 24 * 3600) &&
                  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                             reinterpret_cast<const unsigned char *>(host.c_str()), -1, -1, 0) &&
                  X509_set_issuer_name(cert.get(), name) && X509_set_pubkey(cert.get(), key.get());
  if (!ok) Fail("cannot fill in the certificate");
  std::string names = "DNS:" + host;
  if (host != "localhost") names += ",DNS:localhost";
  names += ",IP:127.0.0.1";
  AddExtension(cert.get(), NID_subject_alt_name, names);
  AddExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(cert.get(), NID_key_usage, "critical,digitalSignature");
  AddExtension(cert.get(), NID_ext_key_usage, "serverAuth");
  AddExtension(cert.get(), NID_subject_key_identifier, "hash");
  if (!X509_sign(cert.get(), key.get(), EVP_sha256())) Fail("cannot sign the certificate");

  // The certificate first: a key left alone without it would be of no use.
  {
    Owned<FILE> out = CreateFile(made.cert, 0644);
    if (!out || !PEM_write_X509(out.get(), cert.get()) || std::fflush(out.get()) != 0)
      Fail("cannot write '" + made.cert + "'");
  }
  Owned<FILE> out = CreateFile(made.key, 0600);
  if (!out || !PEM_write_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) ||
      std::fflush(out.get()) != 0)
    Fail("cannot write '" + made.key + "'");
  return made;
}

}  // namespace talo_recorder
