#include "app/Deployment.h"

namespace orv {

std::string DefaultHomePage(const Deployment& deployment)
{
  std::string address = "https://" + deployment.memberHost;
  if (deployment.memberPort != 443)
    address += ":" + std::to_string(deployment.memberPort);
  return address + "/front/member/webgs/orvcenter.aspx";
}

}  // namespace orv
