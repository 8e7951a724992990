#include "platform/win32/DynamicLibraryWin32.h"

#include <windows.h>

#include <cstdint>

#include "platform/win32/Win32Error.h"

namespace orv::win32 {

namespace {
// Kept per thread, as the error number it comes from is.
thread_local std::uint32_t t_loadError = 0;
}  // namespace

LibraryHandle DynamicLibrariesWin32::Load(const char* name)
{
  t_loadError = 0;
  if (!name) {
    t_loadError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  HMODULE library = LoadLibraryA(name);
  if (!library)
    t_loadError = LastErrorOr(ERROR_MOD_NOT_FOUND);
  return library;
}

std::string DynamicLibrariesWin32::LoadFailure()
{
  return t_loadError != 0 ? "LoadLibrary error " + ErrorText(t_loadError) : std::string();
}

void* DynamicLibrariesWin32::Symbol(LibraryHandle library, const char* name)
{
  // GetProcAddress(nullptr, ...) would search the executable itself.
  if (!library || !name)
    return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void DynamicLibrariesWin32::Free(LibraryHandle library)
{
  if (library)
    FreeLibrary(static_cast<HMODULE>(library));
}

std::string DynamicLibrariesWin32::ProgramPath()
{
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  // A path cut at the buffer's end names another file.
  if (length == 0 || length >= sizeof path)
    return {};
  return std::string(path, length);
}

}  // namespace orv::win32
