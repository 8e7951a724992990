#pragma once

#include <cstdint>
#include <string>

namespace orv {

// Where the four servers are; fixed when the launcher is built and handed to
// the logic by the entry point (tests point it at their loopback servers).
struct Deployment {
  std::string patchHost = "patch.orv.example";
  std::uint16_t patchPort = 8081;
  std::string infoHost = "info.orv.example";
  std::uint16_t infoPort = 80;
  std::string portalHost = "games.kivora.example";
  std::uint16_t portalPort = 443;
  std::string memberHost = "member.kivora.example";
  std::uint16_t memberPort = 443;
  // A PEM file trusted besides the system's certificates; empty in releases.
  std::string extraCaFile;
  // The publisher's public key (PEM): when set, every step must carry a
  // manifest signed with it, and every file of the step must match it.
  std::string updateKey;
  // The patch server and the information site are asked over HTTPS. With
  // signed steps it is not needed for the files' integrity; it hides what a
  // player downloads.
  bool patchSecure = false;
};

// The default home page: the member site's ORV centre.
std::string DefaultHomePage(const Deployment& deployment);

}  // namespace orv
