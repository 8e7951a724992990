#pragma once

#include "plugins/PluginAbi.h"

namespace orv {

class CGlobal;

// The launcher state GetAppInfo describes: set once the shared state exists,
// withdrawn (nullptr) before it goes. Plugins have no other way to find it,
// so this is the one process-wide pointer of the launcher.
void SetAppInfoHost(CGlobal* global);

}  // namespace orv
