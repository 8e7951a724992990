#include "platform/win32/CryptoCng.h"

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>

#include "platform/win32/CngKeys.h"
#include "platform/win32/Win32Error.h"

namespace orv::win32 {

namespace {

thread_local std::string t_verifyFailure;

bool Refuse(const std::string& why)
{
  t_verifyFailure = why;
  return false;
}

class Sha256Cng final : public Sha256 {
 public:
  explicit Sha256Cng(BCRYPT_HASH_HANDLE hash) : m_hash(hash) {}
  ~Sha256Cng() override { BCryptDestroyHash(m_hash); }
  Sha256Cng(const Sha256Cng&) = delete;
  Sha256Cng& operator=(const Sha256Cng&) = delete;

  void Update(const void* data, std::size_t size) override
  {
    // CNG takes at most 4 GiB a call.
    const BYTE* bytes = static_cast<const BYTE*>(data);
    while (size > 0) {
      const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
      BCryptHashData(m_hash, const_cast<BYTE*>(bytes), piece, 0);
      bytes += piece;
      size -= piece;
    }
  }

  Sha256Digest Finish() override
  {
    Sha256Digest digest{};
    BCryptFinishHash(m_hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
    return digest;
  }

 private:
  BCRYPT_HASH_HANDLE m_hash;
};

// The uncompressed point of the key, once it is exactly the key the Linux
// back-end takes as well: id-ecPublicKey on the named curve P-256.
bool ReadP256PublicKey(const std::string& pem, std::string& point)
{
  std::string der;
  if (!PemToDer(pem, "PUBLIC KEY", der))
    return Refuse("the public key is not a PEM \"PUBLIC KEY\"");
  const auto info = Decode<CERT_PUBLIC_KEY_INFO>(X509_PUBLIC_KEY_INFO, der.data(), der.size());
  if (!info)
    return Refuse("the public key cannot be read: " + ErrorText(LastErrorOr(ERROR_INVALID_DATA)));
  // Explicit curve parameters are a sequence, not a name, and do not decode.
  const auto curve = Decode<LPSTR>(X509_OBJECT_IDENTIFIER, info->Algorithm.Parameters);
  if (!info->Algorithm.pszObjId ||
      std::strcmp(info->Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) != 0 || !curve ||
      std::strcmp(*curve, szOID_ECC_CURVE_P256) != 0)
    return Refuse("the key is not a P-256 public key");
  const CRYPT_BIT_BLOB& bits = info->PublicKey;
  if (bits.cbData != kP256PointSize || bits.cUnusedBits != 0 || bits.pbData[0] != 0x04)
    return Refuse("the key's point is not in the uncompressed form");
  point.assign(reinterpret_cast<const char*>(bits.pbData), bits.cbData);
  return true;
}

}  // namespace

CryptoCng::CryptoCng()
{
  BCRYPT_ALG_HANDLE provider = nullptr;
  if (BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
    m_sha256 = provider;
  provider = nullptr;
  m_ecdsaStatus = BCryptOpenAlgorithmProvider(&provider, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
  if (BCRYPT_SUCCESS(m_ecdsaStatus))
    m_ecdsaP256 = provider;
}

CryptoCng::~CryptoCng()
{
  if (m_sha256)
    BCryptCloseAlgorithmProvider(m_sha256, 0);
  if (m_ecdsaP256)
    BCryptCloseAlgorithmProvider(m_ecdsaP256, 0);
}

std::unique_ptr<Sha256> CryptoCng::NewSha256()
{
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!m_sha256 || !BCRYPT_SUCCESS(BCryptCreateHash(m_sha256, &hash, nullptr, 0, nullptr, 0, 0)))
    return nullptr;
  return std::make_unique<Sha256Cng>(hash);
}

bool CryptoCng::VerifyP256(const std::string& publicKeyPem, const void* message, std::size_t size,
                           const std::uint8_t (&signature)[64])
{
  t_verifyFailure.clear();
  if (!m_ecdsaP256)
    return Refuse("CNG has no ECDSA P-256 (" + StatusText(m_ecdsaStatus) + ")");
  std::string point;
  if (!ReadP256PublicKey(publicKeyPem, point))
    return false;
  Key key;
  if (const NTSTATUS status = ImportP256(m_ecdsaP256, point, {}, key); !BCRYPT_SUCCESS(status))
    return Refuse("the key's point is not on P-256 (" + StatusText(status) + ")");
  const std::unique_ptr<Sha256> hash = NewSha256();
  if (!hash)
    return Refuse("CNG cannot hash");
  hash->Update(message, size);
  Sha256Digest digest = hash->Finish();
  const NTSTATUS status =
      BCryptVerifySignature(key.get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                            const_cast<std::uint8_t*>(signature), 64, 0);
  if (!BCRYPT_SUCCESS(status))
    return Refuse("the signature does not match the message under this key (" + StatusText(status) +
                  ")");
  return true;
}

std::string CryptoCng::VerifyFailure()
{
  return t_verifyFailure;
}

}  // namespace orv::win32
