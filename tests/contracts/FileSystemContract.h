#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "support/TempDir.h"

// What every FileSystem back-end must do, written once against the interface
// (FileSystemContract.cpp) and instantiated by each back-end's test file.
namespace orv::test {

struct FileSystemBackend {
  const char* name;
  std::function<std::unique_ptr<FileSystem>()> make;
  // Why names outside ASCII cannot be made on this system, or "".
  std::function<std::string()> japaneseNamesMissing = [] { return std::string(); };
};

inline std::string BackendName(const ::testing::TestParamInfo<FileSystemBackend>& info)
{
  return info.param.name;
}
inline void PrintTo(const FileSystemBackend& backend, std::ostream* out)
{
  *out << backend.name;
}

using Strings = std::vector<std::string>;

// A temporary folder spoken to only through the interface, as the launcher
// speaks: Shift_JIS paths with `\`.
class FileSystemContract : public ::testing::TestWithParam<FileSystemBackend> {
 protected:
  std::string Path(const std::string& relative) const;
  void Write(const std::string& relative, const std::string& content);
  // The file's content, or "<missing>" when it cannot be opened.
  std::string Read(const std::string& relative);
  // The names of a listing, which must succeed, in the order it gave them.
  std::vector<FoundFile> List(const std::string& pattern);
  Strings Names(const std::string& pattern);

  TempDir m_dir;
  std::unique_ptr<FileSystem> m_backend = GetParam().make();
  FileSystem& m_files = *m_backend;
};

}  // namespace orv::test
