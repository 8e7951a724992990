#pragma once

// What the CNG verifier and the publisher's CNG signer share: PEM text and
// DER, crypt32's decoders and the memory they hand out, and P-256 keys
// imported into CNG from their numbers. Included by Windows sources only.
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <cstddef>
#include <memory>
#include <string>

namespace orv::win32 {

// ---- PEM ----

// The bytes of the block "-----BEGIN <label>-----" ... "-----END <label>-----";
// false when the text holds no such block, the block has header lines
// (Proc-Type: an encrypted key) or is not base64.
bool PemToDer(const std::string& pem, const char* label, std::string& der);
// The block as openssl writes it: lines of 64 characters, each ending "\n".
std::string DerToPem(const std::string& der, const char* label);

// ---- crypt32's decoders ----

struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};
template <typename T>
using Decoded = std::unique_ptr<T, LocalFreer>;

// DER decoded as the structure crypt32 names structType (X509_...); nullptr
// when it is not one, GetLastError() saying why.
void* DecodeDer(LPCSTR structType, const void* der, std::size_t size);
template <typename T>
Decoded<T> Decode(LPCSTR structType, const void* der, std::size_t size)
{
  return Decoded<T>(static_cast<T*>(DecodeDer(structType, der, size)));
}
template <typename T>
Decoded<T> Decode(LPCSTR structType, const CRYPT_DER_BLOB& der)
{
  return Decode<T>(structType, der.pbData, der.cbData);
}

// ---- P-256 ----

// The algorithm's parameters in a P-256 public key: the DER of the curve's
// name, szOID_ECC_CURVE_P256. Written out because wine's crypt32 cannot
// encode an object identifier on its own.
inline constexpr BYTE kP256Parameters[] = {0x06, 0x08, 0x2a, 0x86, 0x48,
                                           0xce, 0x3d, 0x03, 0x01, 0x07};
// A point in the uncompressed form: 0x04, then x and y of 32 bytes each.
inline constexpr std::size_t kP256PointSize = 65;
inline constexpr std::size_t kP256ScalarSize = 32;

struct AlgorithmCloser {
  void operator()(void* algorithm) const { BCryptCloseAlgorithmProvider(algorithm, 0); }
};
using Algorithm = std::unique_ptr<void, AlgorithmCloser>;
struct KeyDestroyer {
  void operator()(void* key) const { BCryptDestroyKey(key); }
};
using Key = std::unique_ptr<void, KeyDestroyer>;

// A key of the ECDSA P-256 provider from its uncompressed point and, for a
// private key, its scalar d (else empty); the status CNG answered.
NTSTATUS ImportP256(BCRYPT_ALG_HANDLE ecdsaP256, const std::string& point,
                    const std::string& scalar, Key& key);

// "NTSTATUS 0xc000a000", for reports.
std::string StatusText(NTSTATUS status);

}  // namespace orv::win32
