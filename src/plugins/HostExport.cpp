#include "plugins/HostExport.h"

#include <atomic>
#include <cstdarg>

#include "app/CGlobal.h"
#include "platform/ControlIds.h"

namespace orv {

namespace {

std::atomic<CGlobal*> g_host{nullptr};

// Service texts are formatted once, into fixed buffers (the longest text a
// plugin gets through is one byte less), and then written as they are.
constexpr std::size_t kLogServiceBuffer = 512;
constexpr std::size_t kStatusServiceBuffer = 256;

enum class Output { ProcessLog, StatusLine };

// Formats once, into the output's own buffer, and writes the result as it
// is: a percent sign the expansion brought in stays a percent sign.
void Write(Output output, const char* format, std::va_list args)
{
  CGlobal* global = g_host.load();
  if (!global || !format)
    return;
  char text[kLogServiceBuffer];
  FormatText(text, output == Output::ProcessLog ? kLogServiceBuffer : kStatusServiceBuffer,
             format, args);
  if (output == Output::ProcessLog)
    global->WriteProcessLog("%s", text);
  else
    global->WriteStatus("%s", text);
}

void HostWriteLog(const char* format, ...)
{
  std::va_list args;
  va_start(args, format);
  Write(Output::ProcessLog, format, args);
  va_end(args);
}

void HostWriteStatus(const char* format, ...)
{
  std::va_list args;
  va_start(args, format);
  Write(Output::StatusLine, format, args);
  va_end(args);
}

unsigned char ORV_CALLEE_POPS HostPack(const void* source, uint32_t size, void** packed,
                                       uint32_t* packedSize)
{
  CGlobal* global = g_host.load();
  return global ? global->Pack(source, size, packed, packedSize) : 0;
}

unsigned char ORV_CALLEE_POPS HostUnpack(const void* source, uint32_t packedSize, void** buffer,
                                         uint32_t* size)
{
  CGlobal* global = g_host.load();
  return global ? global->Unpack(source, packedSize, buffer, size) : 0;
}

unsigned char ORV_CALLEE_POPS HostPackDataRelease(void* data)
{
  CGlobal* global = g_host.load();
  return global ? global->PackDataRelease(data) : 0;
}

int32_t ORV_CALLEE_POPS HostLauncherModeAccess(int32_t mode)
{
  CGlobal* global = g_host.load();
  if (!global)
    return -1;
  if (mode != -1)
    global->SetLauncherMode(mode);
  return global->launcherMode.load();
}

}  // namespace

void SetAppInfoHost(CGlobal* global)
{
  g_host.store(global);
}

}  // namespace orv

extern "C" ORV_PLUGIN_EXPORT void GetAppInfo(AppInfo* info)
{
  using namespace orv;
  CGlobal* global = g_host.load();
  if (!info || !global)
    return;
  info->orvDir = global->OrvDir;
  info->oneTimePass = global->oneTimePass;
  info->orvAccountId = global->orvAccountId;
  info->configPath = global->configPath;

  View* window = global->MainWindow();
  auto handle = [window](int id) { return window ? window->ControlHandle(id) : nullptr; };
  info->mainWindow = handle(View::kMainWindowHandle);
  info->processLogList = handle(ctl::kProcessLog);
  info->infoEdit = handle(ctl::kInformation);
  info->progressBar = handle(ctl::kProgressBar);
  info->startButton = handle(ctl::kMainButton);
  info->exitButton = handle(ctl::kExitButton);
  info->optionButton = handle(ctl::kOptionButton);
  info->webPageButton = handle(ctl::kWebPageButton);
  info->hostFlag = 1;

  info->WriteLog = &HostWriteLog;
  info->Pack = &HostPack;
  info->Unpack = &HostUnpack;
  info->PackDataRelease = &HostPackDataRelease;
  info->WriteStatus = &HostWriteStatus;
  info->LauncherModeAccess = &HostLauncherModeAccess;
}
