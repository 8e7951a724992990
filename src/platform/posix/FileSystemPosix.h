#pragma once

#include "platform/FileSystem.h"

namespace orv::posix {

class FileSystemPosix final : public FileSystem {
 public:
  std::FILE* OpenFile(const char* path, const char* mode) override;
  bool CurrentDirectory(std::string& path) override;
};

}  // namespace orv::posix
