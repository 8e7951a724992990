#pragma once

#include "platform/Crypto.h"

namespace orv::win32 {

// SHA-256 and ECDSA P-256 verification by CNG (bcrypt), the keys read with
// crypt32.
class CryptoCng final : public Crypto {
 public:
  CryptoCng();
  ~CryptoCng() override;
  CryptoCng(const CryptoCng&) = delete;
  CryptoCng& operator=(const CryptoCng&) = delete;

  std::unique_ptr<Sha256> NewSha256() override;
  bool VerifyP256(const std::string& publicKeyPem, const void* message, std::size_t size,
                  const std::uint8_t (&signature)[64]) override;
  std::string VerifyFailure() override;

 private:
  // The providers, opened once: opening one is far dearer than a hash.
  // BCRYPT_ALG_HANDLE, null when CNG could not open it.
  void* m_sha256 = nullptr;
  void* m_ecdsaP256 = nullptr;
  // Why the ECDSA provider could not be opened (an NTSTATUS).
  long m_ecdsaStatus = 0;
};

}  // namespace orv::win32
