#pragma once

namespace orv {

class CGlobal;
class CPlugIn;

// The main button in GameStart: unless a plugin takes the start over, starts
// orv.exe in the game folder with the chosen ORV account and the one-time
// password, and ends the launcher once the game runs.
void LaunchGame(CGlobal& global, CPlugIn& plugins);

// The WebPage button: opens the home page in the browser and ends the
// launcher, whether or not a browser came up.
void OpenHomePage(CGlobal& global);

}  // namespace orv
