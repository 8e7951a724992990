#include <gtest/gtest.h>

#include <memory>

#include "contracts/CryptoContract.h"
#include "platform/win32/CryptoCng.h"

namespace orv::test {
namespace {

std::unique_ptr<Crypto> MakeCng()
{
  return std::make_unique<orv::win32::CryptoCng>();
}
const CryptoBackend kCng{"Cng", MakeCng};
INSTANTIATE_TEST_SUITE_P(Cng, CryptoContract, ::testing::Values(kCng), BackendName);

}  // namespace
}  // namespace orv::test
