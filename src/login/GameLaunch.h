#pragma once

#include <functional>

namespace orv {

class CGlobal;

// The main button in GameStart: unless a plugin takes the start over, starts
// orv.exe in the game folder with the chosen ORV account and the one-time
// password, and ends the launcher once the game runs. pluginTakesOver asks
// the registered plugins (the plugin manager stands above this subsystem, so
// the caller hands the question in); it is asked only once an account is
// chosen.
void LaunchGame(CGlobal& global, const std::function<bool()>& pluginTakesOver);

// The WebPage button: opens the home page in the browser and ends the
// launcher, whether or not a browser came up.
void OpenHomePage(CGlobal& global);

}  // namespace orv
