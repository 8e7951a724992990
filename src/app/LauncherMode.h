#pragma once

#include <cstdint>

namespace orv {

// What the main button does; its caption always names the mode.
enum LauncherMode : std::int32_t {
  kUpdate = 0,
  kLogin = 1,
  kGameStart = 2,
  kForceLogin = 3,
};

// The main button's caption for a mode; nullptr for a value outside 0..3.
const char* LauncherModeCaption(std::int32_t mode);

}  // namespace orv
