#pragma once

#include "platform/Crypto.h"

namespace orv::posix {

// SHA-256 and ECDSA P-256 verification by libcrypto's EVP interface.
class CryptoOpenSsl final : public Crypto {
 public:
  std::unique_ptr<Sha256> NewSha256() override;
  bool VerifyP256(const std::string& publicKeyPem, const void* message, std::size_t size,
                  const std::uint8_t (&signature)[64]) override;
  std::string VerifyFailure() override;
};

// libcrypto's words for what went wrong last on this thread, or "" when it
// said nothing; its error queue is emptied either way, so that a failure of
// ours is never blamed on the next TLS connection of the thread.
std::string OpenSslError();

}  // namespace orv::posix
