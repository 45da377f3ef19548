// make-cert's pair is what the console's TLS set-up takes: the host's names in
// the certificate, the key its owner's alone, nothing overwritten.
#include "tls.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "recorder_process.h"

namespace talo_recorder_test {
namespace {

TEST(RecorderTls, MadeCertificateServesItsNames) {
  TempDir dir;
  const talo_recorder::MadeCert made = talo_recorder::MakeSelfSignedCert(dir.path.string(), "rec.example");
  EXPECT_EQ(fs::status(made.key).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  FILE *file = std::fopen(made.cert.c_str(), "r");
  ASSERT_NE(file, nullptr);
  X509 *cert = PEM_read_X509(file, nullptr, nullptr, nullptr);
  std::fclose(file);
  ASSERT_NE(cert, nullptr);
  EXPECT_EQ(X509_check_host(cert, "rec.example", 0, 0, nullptr), 1);
  EXPECT_EQ(X509_check_host(cert, "localhost", 0, 0, nullptr), 1);
  EXPECT_EQ(X509_check_host(cert, "other.example", 0, 0, nullptr), 0);
  EXPECT_EQ(X509_check_ip_asc(cert, "127.0.0.1", 0), 1);
  X509_free(cert);

  SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
  std::string error;
  EXPECT_TRUE(talo_recorder::SetUpServerTls(ctx, made.cert, made.key, &error)) << error;
  EXPECT_EQ(SSL_CTX_get_min_proto_version(ctx), TLS1_2_VERSION);
  EXPECT_FALSE(talo_recorder::SetUpServerTls(ctx, made.cert, made.cert, &error));
  EXPECT_NE(error.find("\"console.tls.key\""), std::string::npos) << error;
  SSL_CTX_free(ctx);
  // A second run keeps the first pair.
  const std::string key = ReadFile(made.key);
  EXPECT_THROW(talo_recorder::MakeSelfSignedCert(dir.path.string(), "rec.example"), std::runtime_error);
  EXPECT_EQ(ReadFile(made.key), key);
}

}  // namespace
}  // namespace talo_recorder_test
