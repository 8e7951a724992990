#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orv {

using Sha256Digest = std::array<std::uint8_t, 32>;

// A SHA-256 computed piece by piece, so that a file of any size is hashed as
// it is read or downloaded.
class Sha256 {
 public:
  virtual ~Sha256() = default;
  virtual void Update(const void* data, std::size_t size) = 0;
  // The digest of everything given to Update. The object is spent
  // afterwards: the next file takes a new one.
  virtual Sha256Digest Finish() = 0;
};

// The platform's cryptography, for the publisher's signatures over update
// steps and the hashes of the files they name. Nothing here is our own
// arithmetic: libcrypto on Linux, CNG on Windows. One instance may serve
// several threads at once; a Sha256 it made must not outlive it.
class Crypto {
 public:
  virtual ~Crypto() = default;

  // nullptr only when the platform cannot make one (out of memory).
  virtual std::unique_ptr<Sha256> NewSha256() = 0;

  // Whether signature is a valid ECDSA P-256 signature of SHA-256(message)
  // under the public key. The key is PEM text "-----BEGIN PUBLIC KEY-----"
  // (SubjectPublicKeyInfo) naming the curve P-256 with an uncompressed point,
  // as `openssl pkey -pubout` writes it; the signature is r then s, 32 bytes
  // each, big-endian, whatever the platform's own format. A malformed or
  // foreign key or signature answers false, never crashes.
  virtual bool VerifyP256(const std::string& publicKeyPem, const void* message, std::size_t size,
                          const std::uint8_t (&signature)[64]) = 0;

  // Why the calling thread's last VerifyP256 answered false ("the key is not
  // a P-256 public key", "the signature does not match"), with what the
  // platform said where it said something; for the log file.
  virtual std::string VerifyFailure() { return {}; }
};

}  // namespace orv
