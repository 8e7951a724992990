// The Linux launcher: the Qt window on the Linux back-ends.
#include <QApplication>
#include <QIcon>
#include <cstdlib>
#include <string>

#include "BuildDeployment.h"
#include "frontend/qt/QtView.h"
#include "platform/posix/PosixPlatform.h"
#include "root/Launcher.h"

namespace {

bool Set(const char* variable)
{
  const char* value = std::getenv(variable);
  return value && *value;
}

}  // namespace

int main(int argc, char** argv)
{
  // With no display to show it on (the demo runs headless), the window is
  // drawn off screen; it works the same.
  if (!Set("QT_QPA_PLATFORM") && !Set("DISPLAY") && !Set("WAYLAND_DISPLAY"))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  // The installed package's icon and desktop entry, by which the desktop
  // shows and groups the window.
  QApplication::setWindowIcon(QIcon::fromTheme("orvlauncher"));
  QGuiApplication::setDesktopFileName("orvlauncher");
  orv::qt::QtView view;

  const orv::Deployment deployment = orv::BuildDeployment();
  // The build may name an authority to trust besides the system's (the demo
  // build names the certificate of its loopback sites).
  orv::posix::PosixPlatform backends(deployment.extraCaFile);
  orv::Launcher launcher(backends.With(view), deployment);
  return launcher.Run();
}
