#include "platform/win32/VersionResourceWin32.h"

#include <windows.h>

namespace orv::win32 {

bool VersionResourceWin32::Read(const char* path, std::vector<std::uint8_t>& block)
{
  block.clear();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  if (size == 0)
    return false;
  block.resize(size);
  if (!GetFileVersionInfoA(path, 0, size, block.data())) {
    block.clear();
    return false;
  }
  return true;
}

bool VersionResourceWin32::Query(const std::vector<std::uint8_t>& block, const char* subBlock,
                                 const void** value, std::size_t* size)
{
  if (block.empty() || !subBlock || !value || !size)
    return false;
  // VerQueryValueA converts the UTF-16 texts of the resource into the spare
  // half of the block that GetFileVersionInfoA reserved for them: the block
  // is written to, though the caller sees it unchanged.
  LPVOID found = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(const_cast<std::uint8_t*>(block.data()), subBlock, &found, &length))
    return false;
  *value = found;
  *size = length;
  return true;
}

}  // namespace orv::win32
