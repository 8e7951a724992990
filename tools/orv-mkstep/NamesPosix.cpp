// Names and flushes on Linux: file names are UTF-8 bytes.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>

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
  // The C library's converter gives some characters the bytes of others
  // (the yen sign becomes `\`, the wave dash and the full-width tilde one
  // character): only a name that comes back unchanged is the same name on
  // the players' side.
  std::string cp932, back;
  if (!posix::Utf8ToCp932(joined, cp932) || !posix::Cp932ToUtf8(cp932, back) || back != joined)
    return false;
  // Every `/` is a separator: no Shift_JIS character has it as second byte.
  for (char& c : cp932)
    if (c == '/')
      c = '\\';
  name = cp932;
  return true;
}

bool SjisToUtf8(const Sjis& name, Utf8& utf8)
{
  return posix::Cp932ToUtf8(name, utf8);
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

namespace orv::mkstep {

FileLock::~FileLock()
{
  if (m_handle >= 0)
    close(static_cast<int>(m_handle));
}

bool FileLock::TryLock(const fs::path& file, bool& busy, std::string& error)
{
  busy = false;
  const int descriptor = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor < 0) {
    error = "cannot open " + file.string() + ": " + std::strerror(errno);
    return false;
  }
  if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
    busy = errno == EWOULDBLOCK;
    error = "cannot lock " + file.string() + ": " + std::strerror(errno);
    close(descriptor);
    return false;
  }
  m_handle = descriptor;
  return true;
}

}  // namespace orv::mkstep
