/*
 * The plugin interface of the launcher, for both sides: the launcher, and
 * plugin libraries (".opg") written in C or C++.
 *
 * A plugin exports, by these names and in C linkage:
 *   PlugLaunch  (required)  void PlugLaunch(void)       run from the options panel
 *   PlugInfo    (optional)  void PlugInfo(PluginInfo*)  describe the plugin
 *   PlugProc    (optional)  int  PlugProc(void)         at game start; a low byte
 *                                                      of 1 takes the start over
 *   PlugTimer   (optional)  void PlugTimer(void)        once a second
 * Mark each with ORV_PLUGIN_EXPORT. The launcher calls them with the
 * platform's default calling convention; for PlugInfo it also copes with a
 * callee that removes its argument.
 *
 * The launcher executable exports GetAppInfo. On Windows a plugin finds it
 * with GetProcAddress(GetModuleHandle(NULL), "GetAppInfo"); on Linux with
 * dlsym(RTLD_DEFAULT, "GetAppInfo").
 *
 * Layouts: on 32-bit x86 the records are byte-exact (PluginInfo 64 bytes,
 * AppInfo 152 bytes, every field 4 bytes wide at the offsets asserted below).
 * On 64-bit builds the fields keep their order, every pointer, handle and
 * reserved slot takes the native pointer size, and hostFlag stays a 32-bit
 * integer in a slot of pointer size; those records are larger.
 */
#ifndef ORV_PLUGIN_ABI_H
#define ORV_PLUGIN_ABI_H

#include <stdint.h>

#if defined(_WIN32)
#define ORV_PLUGIN_EXPORT __declspec(dllexport)
#else
#define ORV_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

/* The convention in which the callee removes the arguments; only 32-bit x86
 * has a second one. */
#if defined(__i386__) || defined(_M_IX86)
#if defined(_WIN32)
#define ORV_CALLEE_POPS __stdcall
#else
#define ORV_CALLEE_POPS __attribute__((stdcall))
#endif
#else
#define ORV_CALLEE_POPS
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What a plugin tells the launcher about itself: three texts that stay valid
 * while the library is loaded; a null pointer shows as an empty cell. */
typedef struct PluginInfo {
  const char* name;
  const char* description;
  const char* version;
  void* reserved[13]; /* zero on entry, never read */
} PluginInfo;

typedef void (*PlugLaunchFunction)(void);
typedef void (*PlugInfoFunction)(PluginInfo* info);
typedef int (*PlugProcFunction)(void);
typedef void (*PlugTimerFunction)(void);

/* Host services. The two writers format at most 511 (log) and 255 (status)
 * bytes and show the result as it is: a percent sign in it stays. */
typedef void (*HostWriteFunction)(const char* format, ...);
typedef unsigned char(ORV_CALLEE_POPS* HostPackFunction)(const void* source, uint32_t size,
                                                         void** packed, uint32_t* packedSize);
typedef unsigned char(ORV_CALLEE_POPS* HostUnpackFunction)(const void* source,
                                                           uint32_t packedSize, void** buffer,
                                                           uint32_t* size);
typedef unsigned char(ORV_CALLEE_POPS* HostReleaseFunction)(void* data);
/* -1 reads the mode; any other value sets it first. Answers the mode. */
typedef int32_t(ORV_CALLEE_POPS* HostModeFunction)(int32_t mode);

/* Filled by GetAppInfo; fields not listed there keep what the caller put in.
 * The four texts point into the launcher's own state (256 bytes each) and
 * always show the current value. */
typedef struct AppInfo {
  const char* orvDir;
  const char* oneTimePass;
  const char* orvAccountId;
  const char* configPath;
  void* reserved1[12];
  void* mainWindow;
  void* processLogList;
  void* infoEdit;
  void* progressBar;
  void* startButton;
  void* exitButton;
  void* optionButton;
  void* webPageButton;
  void* reserved2;
  int32_t hostFlag; /* 1 */
  void* reserved3[6];
  HostWriteFunction WriteLog;
  HostPackFunction Pack;
  HostUnpackFunction Unpack;
  HostReleaseFunction PackDataRelease;
  HostWriteFunction WriteStatus;
  HostModeFunction LauncherModeAccess;
} AppInfo;

typedef void (*GetAppInfoFunction)(AppInfo* info);

/* Exported by the launcher executable; plugins look it up by name. */
void GetAppInfo(AppInfo* info);

#ifdef __cplusplus
}  // extern "C"
#endif

#if defined(__cplusplus) && (defined(__i386__) || defined(_M_IX86))
#include <cstddef>
static_assert(sizeof(PluginInfo) == 64, "plugins fill 64 bytes");
static_assert(offsetof(PluginInfo, name) == 0 && offsetof(PluginInfo, description) == 4 &&
                  offsetof(PluginInfo, version) == 8 && offsetof(PluginInfo, reserved) == 12,
              "PluginInfo offsets");
static_assert(sizeof(AppInfo) == 152, "plugins pass 152 bytes");
static_assert(offsetof(AppInfo, orvDir) == 0 && offsetof(AppInfo, oneTimePass) == 4 &&
                  offsetof(AppInfo, orvAccountId) == 8 && offsetof(AppInfo, configPath) == 12 &&
                  offsetof(AppInfo, reserved1) == 16,
              "AppInfo texts");
static_assert(offsetof(AppInfo, mainWindow) == 64 && offsetof(AppInfo, processLogList) == 68 &&
                  offsetof(AppInfo, infoEdit) == 72 && offsetof(AppInfo, progressBar) == 76 &&
                  offsetof(AppInfo, startButton) == 80 && offsetof(AppInfo, exitButton) == 84 &&
                  offsetof(AppInfo, optionButton) == 88 &&
                  offsetof(AppInfo, webPageButton) == 92 && offsetof(AppInfo, reserved2) == 96,
              "AppInfo window handles");
static_assert(offsetof(AppInfo, hostFlag) == 100 && offsetof(AppInfo, reserved3) == 104,
              "AppInfo flag");
static_assert(offsetof(AppInfo, WriteLog) == 128 && offsetof(AppInfo, Pack) == 132 &&
                  offsetof(AppInfo, Unpack) == 136 && offsetof(AppInfo, PackDataRelease) == 140 &&
                  offsetof(AppInfo, WriteStatus) == 144 &&
                  offsetof(AppInfo, LauncherModeAccess) == 148,
              "AppInfo services");
#endif

#endif /* ORV_PLUGIN_ABI_H */
