#include "platform/win32/CngKeys.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace orv::win32 {

namespace {

// STATUS_INVALID_PARAMETER, whose header cannot stand beside <windows.h>.
constexpr NTSTATUS kInvalidParameter = static_cast<NTSTATUS>(0xC000000D);

}  // namespace

bool PemToDer(const std::string& pem, const char* label, std::string& der)
{
  const std::string begin = std::string("-----BEGIN ") + label + "-----";
  const std::string end = std::string("-----END ") + label + "-----";
  const std::size_t first = pem.find(begin);
  if (first == std::string::npos)
    return false;
  const std::size_t bodyStart = first + begin.size();
  const std::size_t last = pem.find(end, bodyStart);
  if (last == std::string::npos)
    return false;
  std::string body;
  for (std::size_t i = bodyStart; i < last; ++i) {
    const char c = pem[i];
    if (c == ':')
      return false;
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
      body += c;
  }
  DWORD size = 0;
  if (body.empty() || !CryptStringToBinaryA(body.data(), static_cast<DWORD>(body.size()),
                                            CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr))
    return false;
  der.assign(size, '\0');
  if (!CryptStringToBinaryA(body.data(), static_cast<DWORD>(body.size()), CRYPT_STRING_BASE64,
                            reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr))
    return false;
  der.resize(size);
  return size > 0;
}

std::string DerToPem(const std::string& der, const char* label)
{
  const BYTE* bytes = reinterpret_cast<const BYTE*>(der.data());
  DWORD size = 0;
  CryptBinaryToStringA(bytes, static_cast<DWORD>(der.size()), CRYPT_STRING_BASE64, nullptr, &size);
  std::vector<char> text(size + 1, '\0');
  CryptBinaryToStringA(bytes, static_cast<DWORD>(der.size()), CRYPT_STRING_BASE64, text.data(),
                       &size);
  // crypt32 breaks its lines with "\r\n" at its own width.
  std::string base64;
  for (const char* c = text.data(); *c; ++c)
    if (*c != '\r' && *c != '\n')
      base64 += *c;
  std::string pem = std::string("-----BEGIN ") + label + "-----\n";
  for (std::size_t i = 0; i < base64.size(); i += 64)
    pem += base64.substr(i, 64) + "\n";
  return pem + "-----END " + label + "-----\n";
}

void* DecodeDer(LPCSTR structType, const void* der, std::size_t size)
{
  void* decoded = nullptr;
  DWORD decodedSize = 0;
  if (!der || size == 0 ||
      !CryptDecodeObjectEx(X509_ASN_ENCODING, structType, static_cast<const BYTE*>(der),
                           static_cast<DWORD>(size), CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded,
                           &decodedSize))
    return nullptr;
  return decoded;
}

NTSTATUS ImportP256(BCRYPT_ALG_HANDLE ecdsaP256, const std::string& point,
                    const std::string& scalar, Key& key)
{
  const bool isPrivate = !scalar.empty();
  if (point.size() != kP256PointSize || point[0] != 0x04 ||
      (isPrivate && scalar.size() != kP256ScalarSize))
    return kInvalidParameter;
  // The blob: its header, then x, y and, for a private key, d.
  BCRYPT_ECCKEY_BLOB header{};
  header.dwMagic = isPrivate ? BCRYPT_ECDSA_PRIVATE_P256_MAGIC : BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header.cbKey = kP256ScalarSize;
  std::vector<BYTE> blob(sizeof header);
  std::memcpy(blob.data(), &header, sizeof header);
  blob.insert(blob.end(), point.begin() + 1, point.end());
  blob.insert(blob.end(), scalar.begin(), scalar.end());
  BCRYPT_KEY_HANDLE handle = nullptr;
  const NTSTATUS status = BCryptImportKeyPair(
      ecdsaP256, nullptr, isPrivate ? BCRYPT_ECCPRIVATE_BLOB : BCRYPT_ECCPUBLIC_BLOB, &handle,
      blob.data(), static_cast<ULONG>(blob.size()), 0);
  SecureZeroMemory(blob.data(), blob.size());
  key.reset(BCRYPT_SUCCESS(status) ? handle : nullptr);
  return status;
}

std::string StatusText(NTSTATUS status)
{
  char text[32];
  std::snprintf(text, sizeof text, "NTSTATUS 0x%08lx", static_cast<unsigned long>(status));
  return text;
}

}  // namespace orv::win32
