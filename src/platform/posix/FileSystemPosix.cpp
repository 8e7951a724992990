#include "platform/posix/FileSystemPosix.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/posix/Cp932.h"

namespace orv::posix {

std::FILE* FileSystemPosix::OpenFile(const char* path, const char* mode)
{
  std::string native;
  if (!ToNativePath(path, native)) {
    errno = EILSEQ;
    return nullptr;
  }
  std::FILE* file = std::fopen(native.c_str(), mode);
  if (!file)
    return nullptr;
  // Linux opens a folder for reading; Windows does not, and the launcher
  // treats a folder named like the file it wants as no file at all.
  struct stat info;
  if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(file);
    errno = EISDIR;
    return nullptr;
  }
  return file;
}

bool FileSystemPosix::CurrentDirectory(std::string& path)
{
  char native[PATH_MAX];
  if (!getcwd(native, sizeof native))
    return false;
  return Utf8ToCp932(native, path);
}

}  // namespace orv::posix
