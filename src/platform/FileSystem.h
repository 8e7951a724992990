#pragma once

#include <cstdio>
#include <string>

namespace orv {

// Files and folders as the launcher names them: Shift_JIS paths with `\` as
// the separator. A back-end turns them into whatever its platform wants, so
// nothing above this interface converts a path.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // fopen with the given mode; nullptr when the file cannot be opened.
  virtual std::FILE* OpenFile(const char* path, const char* mode) = 0;

  // The process's current directory; false when the platform cannot express
  // it as a launcher path (for example a name with no Shift_JIS form).
  virtual bool CurrentDirectory(std::string& path) = 0;
};

// Whether the file can be opened for reading; a folder cannot.
inline bool FileReadable(FileSystem& files, const char* path)
{
  std::FILE* file = files.OpenFile(path, "r");
  if (!file)
    return false;
  std::fclose(file);
  return true;
}

}  // namespace orv
