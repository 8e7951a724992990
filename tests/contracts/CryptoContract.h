#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "platform/Crypto.h"

// What every Crypto back-end, and the publisher's signer of the same
// platform, must do: written once against the interface
// (CryptoContract.cpp) and instantiated by each back-end's test file.
namespace orv::test {

struct CryptoBackend {
  const char* name;
  std::function<std::unique_ptr<Crypto>()> make;
};

inline std::string BackendName(const ::testing::TestParamInfo<CryptoBackend>& info)
{
  return info.param.name;
}
inline void PrintTo(const CryptoBackend& backend, std::ostream* out)
{
  *out << backend.name;
}

class CryptoContract : public ::testing::TestWithParam<CryptoBackend> {
 protected:
  std::unique_ptr<Crypto> m_backend = GetParam().make();
  Crypto& m_crypto = *m_backend;
};

}  // namespace orv::test
