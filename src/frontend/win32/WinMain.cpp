// The Windows launcher: the dialogs of the program's own resources on the
// Win32 back-ends.
#include <windows.h>

#include "BuildDeployment.h"
#include "frontend/win32/Win32View.h"
#include "platform/win32/Win32Platform.h"
#include "root/Launcher.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
  orv::win32::Win32View view(instance);
  orv::win32::Win32Platform backends;
  orv::Launcher launcher(backends.With(view), orv::BuildDeployment());
  return launcher.Run();
}
