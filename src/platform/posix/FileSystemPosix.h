#pragma once

#include "platform/FileSystem.h"

namespace orv::posix {

// Files on Linux: launcher paths become UTF-8 with `/`, names listed by the
// system come back as Shift_JIS. A plain file with write permission is
// listed as kAttributeNormal (Linux keeps no archive bit), one without as
// kAttributeReadOnly.
class FileSystemPosix final : public FileSystem {
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

// The Windows error number for an errno value.
std::uint32_t WindowsErrorFromErrno(int error);

}  // namespace orv::posix
