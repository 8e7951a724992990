#include "platform/win32/DynamicLibraryWin32.h"

#include <windows.h>

namespace orv::win32 {

LibraryHandle DynamicLibrariesWin32::Load(const char* name)
{
  return name ? LoadLibraryA(name) : nullptr;
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
