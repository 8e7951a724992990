// Names and flushes on Linux: file names are UTF-8 bytes.
#include <fcntl.h>
#include <unistd.h>

#include "MkStep.h"
#include "platform/posix/Cp932.h"

namespace orv::mkstep {

bool LauncherName(const fs::path& relative, std::string& name)
{
  std::string joined;
  for (const fs::path& part : relative) {
    if (!joined.empty())
      joined += '/';
    joined += part.string();
  }
  for (const unsigned char byte : joined)
    if (byte < 0x20 || byte == 0x7F || byte == '\\')
      return false;
  std::string cp932;
  if (!posix::Utf8ToCp932(joined, cp932))
    return false;
  // Every `/` is a separator: no Shift_JIS character has it as second byte.
  for (char& c : cp932)
    if (c == '/')
      c = '\\';
  name = cp932;
  return true;
}

std::string Utf8Name(const std::string& name)
{
  std::string utf8;
  return posix::Cp932ToUtf8(name, utf8) ? utf8 : name;
}

std::string Utf8Path(const fs::path& path)
{
  return path.string();
}

bool FlushToDisk(const fs::path& path)
{
  const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0)
    return false;
  const bool flushed = fsync(descriptor) == 0;
  close(descriptor);
  return flushed;
}

}  // namespace orv::mkstep

namespace orv::mkstep {

std::FILE* OpenFile(const fs::path& path, const char* mode)
{
  return std::fopen(path.c_str(), mode);
}

}  // namespace orv::mkstep

namespace orv::mkstep {

bool LauncherPath(const fs::path& path, std::string& launcherPath)
{
  return posix::Utf8ToCp932(path.string(), launcherPath);
}

}  // namespace orv::mkstep

namespace orv::mkstep {

std::vector<fs::path> ProgramArguments(int argc, char** argv)
{
  return std::vector<fs::path>(argv + 1, argv + argc);
}

bool IsTerminal(std::FILE* stream)
{
  return isatty(fileno(stream)) == 1;
}

}  // namespace orv::mkstep

#include <malloc.h>

namespace orv::mkstep {

void KeepFreedMemory()
{
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
}

}  // namespace orv::mkstep
