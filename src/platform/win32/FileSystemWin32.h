#pragma once

#include "platform/FileSystem.h"

namespace orv::win32 {

// Files through the Win32 ANSI calls: launcher paths are already what they
// take, and every failure answers GetLastError(). An operation that another
// program's handle blocks is tried again for a second or two before it
// fails; the partial file of a copy goes through the wide calls, since its
// longer name may not fit where the destination's does.
class FileSystemWin32 final : public FileSystem {
 public:
  std::FILE* OpenFile(const char* path, const char* mode) override;
  bool CurrentDirectory(std::string& path) override;
  std::uint32_t FindFiles(const char* pattern, std::vector<FoundFile>& found) override;
  std::uint32_t MakeFolder(const char* path) override;
  std::uint32_t MakePath(const char* path) override;
  bool IsFolder(const char* path) override;
  std::uint32_t SetAttributes(const char* path, std::uint32_t attributes) override;
  std::uint32_t RemoveFile(const char* path) override;
  std::uint32_t RemoveFolder(const char* path) override;
  std::uint32_t CopyFileOver(const char* from, const char* to, bool flush) override;
  std::uint32_t MoveFileTo(const char* from, const char* to) override;
  std::uint32_t MoveFileOver(const char* from, const char* to) override;
  std::uint32_t FlushFile(const char* path) override;
  std::uint32_t FlushFiles(const std::vector<std::string>& paths) override;
  std::uint32_t FlushFolder(const char* path) override;
  std::uint32_t ProbeFile(const char* path, std::uint32_t& attributes) override;
  std::uint32_t SetFileLength(const char* path, std::uint64_t length) override;
  std::uint32_t TakeLock(const char* path, std::unique_ptr<HeldLock>& lock) override;
};

}  // namespace orv::win32
