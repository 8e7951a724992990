#include "platform/posix/CryptoOpenSsl.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <climits>

namespace orv::posix {

namespace {

thread_local std::string t_verifyFailure;

template <typename T, void (*Free)(T*)>
struct Freer {
  void operator()(T* object) const { Free(object); }
};
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using PublicKeyInfo = std::unique_ptr<X509_PUBKEY, Freer<X509_PUBKEY, X509_PUBKEY_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX, EVP_MD_CTX_free>>;
using EcdsaSignature = std::unique_ptr<ECDSA_SIG, Freer<ECDSA_SIG, ECDSA_SIG_free>>;

class Sha256OpenSsl final : public Sha256 {
 public:
  explicit Sha256OpenSsl(DigestContext context) : m_context(std::move(context)) {}

  void Update(const void* data, std::size_t size) override
  {
    EVP_DigestUpdate(m_context.get(), data, size);
  }

  Sha256Digest Finish() override
  {
    Sha256Digest digest{};
    unsigned int size = 0;
    EVP_DigestFinal_ex(m_context.get(), digest.data(), &size);
    return digest;
  }

 private:
  DigestContext m_context;
};

bool Refuse(const std::string& why)
{
  t_verifyFailure = why;
  const std::string said = OpenSslError();
  if (!said.empty())
    t_verifyFailure += " (" + said + ")";
  return false;
}

// The key only when it is exactly what the Windows back-end can take as
// well: id-ecPublicKey on the named curve P-256 with an uncompressed point.
// A compressed point or explicit curve parameters would verify here and
// nowhere else.
Key ReadP256PublicKey(const std::string& pem)
{
  if (pem.size() > INT_MAX) {
    Refuse("the public key is not PEM text");
    return nullptr;
  }
  Bio text(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  PublicKeyInfo info(text ? PEM_read_bio_X509_PUBKEY(text.get(), nullptr, nullptr, nullptr)
                          : nullptr);
  if (!info) {
    Refuse("the public key is not a PEM \"PUBLIC KEY\"");
    return nullptr;
  }
  ASN1_OBJECT* algorithm = nullptr;
  const unsigned char* point = nullptr;
  int pointSize = 0;
  X509_ALGOR* parameters = nullptr;
  X509_PUBKEY_get0_param(&algorithm, &point, &pointSize, &parameters, info.get());
  const ASN1_OBJECT* curve = nullptr;
  int curveType = V_ASN1_UNDEF;
  const void* curveValue = nullptr;
  if (parameters)
    X509_ALGOR_get0(&curve, &curveType, &curveValue, parameters);
  if (OBJ_obj2nid(algorithm) != NID_X9_62_id_ecPublicKey || curveType != V_ASN1_OBJECT ||
      OBJ_obj2nid(static_cast<const ASN1_OBJECT*>(curveValue)) != NID_X9_62_prime256v1) {
    Refuse("the key is not a P-256 public key");
    return nullptr;
  }
  if (pointSize != 65 || point[0] != 0x04) {
    Refuse("the key's point is not in the uncompressed form");
    return nullptr;
  }
  // Decodes the point, which must lie on the curve.
  Key key(X509_PUBKEY_get(info.get()));
  if (!key)
    Refuse("the key's point is not on P-256");
  return key;
}

// The DER form libcrypto verifies, from r and s as two 32-byte big-endian
// numbers; zero or out-of-range values are left for the verification to
// refuse.
std::string DerSignature(const std::uint8_t (&signature)[64])
{
  EcdsaSignature pair(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(signature, 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature + 32, 32, nullptr);
  if (!pair || !r || !s || !ECDSA_SIG_set0(pair.get(), r, s)) {
    BN_free(r);
    BN_free(s);
    return {};
  }
  unsigned char* der = nullptr;
  const int size = i2d_ECDSA_SIG(pair.get(), &der);
  if (size <= 0)
    return {};
  std::string result(reinterpret_cast<const char*>(der), static_cast<std::size_t>(size));
  OPENSSL_free(der);
  return result;
}

}  // namespace

std::string OpenSslError()
{
  // The earliest entry is the cause; the later ones are the callers that
  // passed it on.
  const unsigned long error = ERR_get_error();
  ERR_clear_error();
  if (error == 0)
    return {};
  char text[256];
  ERR_error_string_n(error, text, sizeof text);
  return text;
}

std::unique_ptr<Sha256> CryptoOpenSsl::NewSha256()
{
  DigestContext context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    OpenSslError();
    return nullptr;
  }
  return std::make_unique<Sha256OpenSsl>(std::move(context));
}

bool CryptoOpenSsl::VerifyP256(const std::string& publicKeyPem, const void* message,
                               std::size_t size, const std::uint8_t (&signature)[64])
{
  t_verifyFailure.clear();
  const Key key = ReadP256PublicKey(publicKeyPem);
  if (!key)
    return false;
  const std::string der = DerSignature(signature);
  if (der.empty())
    return Refuse("the signature cannot be encoded");
  static const unsigned char kNothing = 0;
  DigestContext context(EVP_MD_CTX_new());
  if (!context ||
      EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1)
    return Refuse("the verification cannot start");
  const int verdict = EVP_DigestVerify(
      context.get(), reinterpret_cast<const unsigned char*>(der.data()), der.size(),
      message ? static_cast<const unsigned char*>(message) : &kNothing, size);
  if (verdict != 1)
    return Refuse("the signature does not match the message under this key");
  return true;
}

std::string CryptoOpenSsl::VerifyFailure()
{
  return t_verifyFailure;
}

}  // namespace orv::posix
