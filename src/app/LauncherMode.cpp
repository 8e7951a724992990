#include "app/LauncherMode.h"

namespace orv {

const char* LauncherModeCaption(std::int32_t mode)
{
  static constexpr const char* kCaptions[] = {"Update", "Login", "GameStart", "Force Login"};
  if (static_cast<std::uint32_t>(mode) > kForceLogin)
    return nullptr;
  return kCaptions[mode];
}

}  // namespace orv
