#pragma once

#include <memory>
#include <string>

#include "app/Deployment.h"
#include "support/LoopbackServer.h"

namespace orv::test {

// The publisher's two web sites on HTTPS loopback servers, answering as for
// an account that signs in: the portal accepts, the member site's form sets
// a sign-on cookie, the centre page lists the ORV accounts orv1 and orv2,
// and the menu page launches with kOneTimePass. Tests replace what they
// need answered otherwise.
class KivoraSites {
 public:
  KivoraSites();
  // Points the deployment's portal (127.0.0.1) and member site (localhost)
  // at the servers.
  void PointAt(Deployment& deployment) const;

  static const std::string kSiid1, kSiid2, kOneTimePass;
  static std::string CentreEntry(const std::string& orvAccount, const std::string& siid);
  static std::string MenuPage(const std::string& siid, const std::string& password);
  static HttpReply Reply(int status, std::string body);

  LoopbackServer portal{LoopbackServer::Scheme::Https};
  LoopbackServer member{LoopbackServer::Scheme::Https};
};

}  // namespace orv::test
