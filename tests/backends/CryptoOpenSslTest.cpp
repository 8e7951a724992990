#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "contracts/CryptoContract.h"
#include "orv-mkstep/Signer.h"
#include "patchkit/Files.h"
#include "platform/posix/CryptoOpenSsl.h"
#include "support/TempDir.h"

namespace orv::test {
namespace {

std::unique_ptr<Crypto> MakeOpenSsl()
{
  return std::make_unique<posix::CryptoOpenSsl>();
}
const CryptoBackend kOpenSsl{"OpenSsl", MakeOpenSsl};
INSTANTIATE_TEST_SUITE_P(OpenSsl, CryptoContract, ::testing::Values(kOpenSsl), BackendName);

int Shell(const std::string& command)
{
  const int status = std::system((command + " 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The DER form the openssl command reads, from r then s.
std::string Der(const std::uint8_t (&signature)[64])
{
  ECDSA_SIG* pair = ECDSA_SIG_new();
  ECDSA_SIG_set0(pair, BN_bin2bn(signature, 32, nullptr), BN_bin2bn(signature + 32, 32, nullptr));
  unsigned char* der = nullptr;
  const int size = i2d_ECDSA_SIG(pair, &der);
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(size));
  OPENSSL_free(der);
  ECDSA_SIG_free(pair);
  return bytes;
}

// The contract shows the signer and verifier agree with each other and with
// one fixed key; here openssl itself makes a new key and checks our
// signature, so the two cannot share a mistake.
TEST(SignerOpenSsl, AKeyTheOpensslCommandMakesNowSignsWhatTheOpensslCommandVerifies)
{
  TempDir dir;
  const std::string key = (dir / "key.pem").string();
  const std::string publicKey = (dir / "public.pem").string();
  ASSERT_EQ(Shell("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out '" + key +
                  "' && openssl pkey -in '" + key + "' -pubout -out '" + publicKey + "'"),
            0);
  std::string privatePem, expectedPublic, error;
  ASSERT_TRUE(patchkit::ReadWholeFile(key, privatePem, error)) << error;
  ASSERT_TRUE(patchkit::ReadWholeFile(publicKey, expectedPublic, error)) << error;

  std::string publicPem;
  ASSERT_TRUE(mkstep::PublicKeyPemOf(privatePem, publicPem, error)) << error;
  EXPECT_EQ(publicPem, expectedPublic);

  const std::string message = "from 42 to 43\nsize 12345\n";
  std::uint8_t signature[64];
  ASSERT_TRUE(mkstep::SignP256(privatePem, message, signature, error)) << error;
  ASSERT_TRUE(patchkit::WriteWholeFile(dir / "message", message, error)) << error;
  ASSERT_TRUE(patchkit::WriteWholeFile(dir / "signature.der", Der(signature), error)) << error;
  EXPECT_EQ(Shell("openssl dgst -sha256 -verify '" + publicKey + "' -signature '" +
                  (dir / "signature.der").string() + "' '" + (dir / "message").string() + "'"),
            0);
}

}  // namespace
}  // namespace orv::test
