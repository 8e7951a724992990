#pragma once

#include <cstdint>

namespace orv {

// Operations that answer with a 32-bit status return 0 for success and the
// platform's general failure code (E_FAIL) otherwise; callers test the sign.
inline constexpr std::int32_t kOk = 0;
inline constexpr std::int32_t kEFail = static_cast<std::int32_t>(0x80004005u);

}  // namespace orv
