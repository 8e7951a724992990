#include "platform/posix/FileSystemPosix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/ErrorCodes.h"
#include "platform/posix/AsciiText.h"
#include "platform/posix/Cp932.h"

namespace orv::posix {

namespace {

// Splits a launcher path at its last separator; a `\` inside a double-byte
// character is not one. npos when there is none.
std::size_t LastSeparator(std::string_view path)
{
  std::size_t last = std::string_view::npos;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(path[i]);
    if (IsCp932LeadByte(byte) && i + 1 < path.size())
      ++i;
    else if (byte == '\\' || byte == '/')
      last = i;
  }
  return last;
}

// `*` and `?` over Shift_JIS bytes, ASCII letters without regard to case; a
// double-byte character counts as one for `?`.
bool WildcardMatch(std::string_view pattern, std::string_view name)
{
  if (pattern.empty())
    return name.empty();
  if (pattern[0] == '*') {
    for (std::size_t skip = 0; skip <= name.size(); ++skip) {
      if (WildcardMatch(pattern.substr(1), name.substr(skip)))
        return true;
      if (skip < name.size() && IsCp932LeadByte(static_cast<unsigned char>(name[skip])))
        ++skip;
    }
    return false;
  }
  if (name.empty())
    return false;
  const std::size_t width =
      IsCp932LeadByte(static_cast<unsigned char>(name[0])) && name.size() > 1 ? 2 : 1;
  if (pattern[0] == '?')
    return WildcardMatch(pattern.substr(1), name.substr(width));
  if (pattern.size() < width)
    return false;
  // Only single-byte letters fold: the second byte of a double-byte
  // character may be a letter's byte ("ア" is 83 41, "ヂ" 83 61).
  if (width == 1 ? AsciiLower(pattern[0]) != AsciiLower(name[0])
                 : pattern.substr(0, 2) != name.substr(0, 2))
    return false;
  return WildcardMatch(pattern.substr(width), name.substr(width));
}

// As Windows lists: a pattern ending in ".*" also takes names with no
// extension, so "*.*" lists every name and "readme.*" finds "readme".
bool PatternMatch(std::string_view pattern, std::string_view name)
{
  if (WildcardMatch(pattern, name))
    return true;
  return pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*" &&
         WildcardMatch(pattern.substr(0, pattern.size() - 2), name);
}

std::uint32_t LastError() { return WindowsErrorFromErrno(errno); }

// A name beside the file for a copy in progress, unique among the copies of
// this process and, through the process id, of others.
std::string PartialName(const std::string& native)
{
  static std::atomic<unsigned> counter{0};
  const std::size_t slash = native.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : native.substr(0, slash + 1);
  return folder + kCopyTempPrefix + std::to_string(getpid()) + "-" + std::to_string(++counter) +
         kCopyTempSuffix;
}

std::uint32_t Native(const char* path, std::string& native)
{
  return ToNativePath(path, native) ? 0 : err::kInvalidName;
}

// Both paths of a copy or a move.
std::uint32_t Native(const char* from, std::string& source, const char* to, std::string& target)
{
  if (std::uint32_t error = Native(from, source))
    return error;
  return Native(to, target);
}

}  // namespace

std::uint32_t WindowsErrorFromErrno(int error)
{
  switch (error) {
    case 0: return 0;
    case ENOENT: return err::kFileNotFound;
    case ENOTDIR: return err::kPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return err::kAccessDenied;
    case EBADF: return err::kInvalidHandle;
    case ENOMEM: return err::kNotEnoughMemory;
    case EBUSY:
    case ETXTBSY: return err::kSharingViolation;
    case EEXIST: return err::kAlreadyExists;
    case EINVAL: return err::kInvalidParameter;
    case ENOSPC:
    case EDQUOT: return err::kDiskFull;
    case EILSEQ: return err::kInvalidName;
    case ENOTEMPTY: return err::kDirNotEmpty;
    case ENAMETOOLONG: return err::kFilenameTooLong;
    case EIO: return err::kWriteFault;
    default: return err::kInvalidParameter;
  }
}

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

std::uint32_t FileSystemPosix::FindFiles(const char* pattern, std::vector<FoundFile>& found)
{
  found.clear();
  const std::string_view text(pattern);
  const std::size_t separator = LastSeparator(text);
  // "\*.*" lists the root folder, not the current one.
  const std::string folder(separator == std::string_view::npos ? "."
                           : separator == 0                  ? text.substr(0, 1)
                                                             : text.substr(0, separator));
  const std::string_view wildcard =
      separator == std::string_view::npos ? text : text.substr(separator + 1);
  std::string native;
  if (std::uint32_t error = Native(folder.c_str(), native))
    return error;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(native.c_str()), closedir);
  if (!dir)
    return errno == ENOENT || errno == ENOTDIR ? err::kPathNotFound : LastError();
  while (dirent* entry = readdir(dir.get())) {
    std::string name;
    if (!Utf8ToCp932(entry->d_name, name))
      continue;  // a name the launcher could not even spell
    if (!PatternMatch(wildcard, name))
      continue;
    // A link is listed as the link, not as what it points at, so that
    // deleting a folder tree never follows one out of the tree.
    struct stat info;
    const std::string full = native + "/" + entry->d_name;
    if (lstat(full.c_str(), &info) != 0)
      continue;  // gone meanwhile
    FoundFile file{name, 0};
    if (S_ISLNK(info.st_mode))
      file.attributes = kAttributeLink;
    else if (S_ISDIR(info.st_mode))
      file.attributes = kAttributeDirectory;
    else if ((info.st_mode & S_IWUSR) == 0)
      file.attributes = kAttributeReadOnly;
    else
      file.attributes = kAttributeNormal;
    found.push_back(std::move(file));
  }
  // Windows lists a folder in name order with letters folded to upper case
  // (so "_" sorts after letters) and double-byte characters after every
  // single-byte one; patches of one step are applied in listing order, so
  // the order must not be the disk's whim.
  std::sort(found.begin(), found.end(), [](const FoundFile& a, const FoundFile& b) {
    return std::lexicographical_compare(
        a.name.begin(), a.name.end(), b.name.begin(), b.name.end(), [](char x, char y) {
          return static_cast<unsigned char>(AsciiUpper(x)) <
                 static_cast<unsigned char>(AsciiUpper(y));
        });
  });
  return found.empty() ? err::kFileNotFound : 0;
}

std::uint32_t FileSystemPosix::MakeFolder(const char* path)
{
  std::string native;
  if (std::uint32_t error = Native(path, native))
    return error;
  if (mkdir(native.c_str(), 0777) == 0)
    return 0;
  return errno == ENOENT ? err::kPathNotFound : LastError();
}

std::uint32_t FileSystemPosix::MakePath(const char* path)
{
  const std::string_view text(path);
  const std::size_t end = LastSeparator(text);
  if (end == std::string_view::npos)
    return 0;
  std::string native;
  if (std::uint32_t error = Native(std::string(text.substr(0, end)).c_str(), native))
    return error;
  for (std::size_t i = 1; i <= native.size(); ++i) {
    if (i < native.size() && native[i] != '/')
      continue;
    const std::string prefix = native.substr(0, i);
    struct stat info;
    if (stat(prefix.c_str(), &info) == 0) {
      if (!S_ISDIR(info.st_mode))
        return err::kPathNotFound;
      continue;
    }
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST)
      return LastError();
  }
  return 0;
}

bool FileSystemPosix::IsFolder(const char* path)
{
  std::string native;
  struct stat info;
  return Native(path, native) == 0 && stat(native.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::uint32_t FileSystemPosix::SetAttributes(const char* path, std::uint32_t attributes)
{
  std::string native;
  if (std::uint32_t error = Native(path, native))
    return error;
  struct stat info;
  if (stat(native.c_str(), &info) != 0)
    return LastError();
  mode_t mode = info.st_mode & 07777;
  if (attributes & kAttributeReadOnly)
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  else
    mode |= S_IWUSR;
  return chmod(native.c_str(), mode) == 0 ? 0 : LastError();
}

std::uint32_t FileSystemPosix::RemoveFile(const char* path)
{
  std::string native;
  if (std::uint32_t error = Native(path, native))
    return error;
  struct stat info;
  if (lstat(native.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
    return err::kAccessDenied;
  return unlink(native.c_str()) == 0 ? 0 : LastError();
}

std::uint32_t FileSystemPosix::RemoveFolder(const char* path)
{
  std::string native;
  if (std::uint32_t error = Native(path, native))
    return error;
  return rmdir(native.c_str()) == 0 ? 0 : LastError();
}

std::uint32_t FileSystemPosix::CopyFileOver(const char* from, const char* to, bool flush)
{
  std::string source, target;
  if (std::uint32_t error = Native(from, source, to, target))
    return error;
  const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0)
    return LastError();
  struct stat info;
  if (fstat(in, &info) != 0 || S_ISDIR(info.st_mode)) {
    close(in);
    return err::kAccessDenied;
  }
  // A replaced destination keeps its permissions; a new one gets the usual.
  bool replacing = false;
  struct stat existing;
  if (stat(target.c_str(), &existing) == 0) {
    // A read-only destination is refused, as Windows refuses it, even for a
    // user whom Linux would let write.
    if (S_ISDIR(existing.st_mode) || (existing.st_mode & S_IWUSR) == 0) {
      close(in);
      return err::kAccessDenied;
    }
    // The same file under the same or another name: writing it would empty
    // the source before it is read. Windows has the source open and refuses.
    if (existing.st_dev == info.st_dev && existing.st_ino == info.st_ino) {
      close(in);
      return err::kSharingViolation;
    }
    replacing = true;
  }
  // The copy is written beside the destination and renamed over it once
  // complete: a copy that fails half-way (a full disk) leaves the old
  // destination as it was, not a short file that looks whole.
  std::string partial;
  int out = -1;
  for (int attempt = 0; attempt < 100 && out < 0; ++attempt) {
    partial = PartialName(target);
    out = open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0 && errno != EEXIST)
      break;
  }
  if (out < 0) {
    const std::uint32_t error = errno == ENOENT ? err::kPathNotFound : LastError();
    close(in);
    return error;
  }
  std::unique_ptr<char[]> buffer(new char[1 << 20]);
  std::uint32_t result = 0;
  for (;;) {
    const ssize_t got = read(in, buffer.get(), 1 << 20);
    if (got == 0)
      break;
    if (got < 0) {
      if (errno == EINTR)
        continue;
      result = err::kReadFault;
      break;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = write(out, buffer.get() + done, static_cast<std::size_t>(got - done));
      if (put < 0 && errno == EINTR)
        continue;
      if (put <= 0) {
        result = errno == ENOSPC ? err::kDiskFull : err::kWriteFault;
        break;
      }
      done += put;
    }
    if (result)
      break;
  }
  close(in);
  if (!result && replacing && fchmod(out, existing.st_mode & 07777) != 0)
    result = LastError();
  // On the disk before it takes the destination's name: a power cut after
  // the rename must not leave an empty file where the old one was.
  if (!result && flush && fsync(out) != 0)
    result = errno == ENOSPC ? err::kDiskFull : err::kWriteFault;
  if (close(out) != 0 && !result)
    result = err::kWriteFault;
  if (!result && rename(partial.c_str(), target.c_str()) != 0)
    result = LastError();
  if (result)
    unlink(partial.c_str());
  return result;
}

std::uint32_t FileSystemPosix::MoveFileTo(const char* from, const char* to)
{
  std::string source, target;
  if (std::uint32_t error = Native(from, source, to, target))
    return error;
  // One step, so that a file appearing at the destination meanwhile is
  // never replaced; a file system without that kind of rename gets the
  // check and the rename apart.
  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
    return 0;
  if (errno != EINVAL && errno != ENOSYS)
    return LastError();
  struct stat info;
  if (lstat(target.c_str(), &info) == 0)
    return err::kAlreadyExists;
  return rename(source.c_str(), target.c_str()) == 0 ? 0 : LastError();
}

std::uint32_t FileSystemPosix::MoveFileOver(const char* from, const char* to)
{
  std::string source, target;
  if (std::uint32_t error = Native(from, source, to, target))
    return error;
  return rename(source.c_str(), target.c_str()) == 0 ? 0 : LastError();
}

namespace {

// Opens the path and hands the descriptor to fsync or syncfs: fsync writes
// out the file's data whichever descriptor asks for it, syncfs everything of
// the file system the descriptor is on.
std::uint32_t Sync(const char* path, int flags, int (*sync)(int))
{
  std::string native;
  if (std::uint32_t error = Native(path, native))
    return error;
  const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC | flags);
  if (fd < 0)
    return LastError();
  const int result = sync(fd) == 0 ? 0 : errno;
  close(fd);
  if (result == 0)
    return 0;
  return result == ENOSPC || result == EDQUOT ? err::kDiskFull : err::kWriteFault;
}

}  // namespace

std::uint32_t FileSystemPosix::FlushFile(const char* path) { return Sync(path, 0, fsync); }

std::uint32_t FileSystemPosix::FlushFolder(const char* path)
{
  return Sync(path, O_DIRECTORY, fsync);
}

// Each fsync commits the file system's journal; syncfs commits it once for
// everything written, which for the thousands of files of a step is a few
// milliseconds instead of as many seconds.
std::uint32_t FileSystemPosix::FlushFiles(const std::vector<std::string>& paths)
{
  if (paths.size() <= 1)
    return paths.empty() ? 0 : FlushFile(paths[0].c_str());
  dev_t device = 0;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    std::string native;
    if (std::uint32_t error = Native(paths[i].c_str(), native))
      return error;
    struct stat info;
    if (stat(native.c_str(), &info) != 0)
      return LastError();
    if (i > 0 && info.st_dev != device) {
      for (const std::string& path : paths)
        if (std::uint32_t error = FlushFile(path.c_str()))
          return error;
      return 0;
    }
    device = info.st_dev;
  }
  return Sync(paths[0].c_str(), 0, syncfs);
}

std::uint32_t FileSystemPosix::ProbeFile(const char* path, std::uint32_t& attributes)
{
  attributes = 0;
  std::string native;
  if (std::uint32_t error = Native(path, native))
    return error;
  struct stat info;
  if (lstat(native.c_str(), &info) != 0)
    return errno == ENOENT    ? err::kFileNotFound
           : errno == ENOTDIR ? err::kPathNotFound
                              : LastError();
  if (S_ISLNK(info.st_mode))
    attributes = kAttributeLink;
  else if (S_ISDIR(info.st_mode))
    attributes = kAttributeDirectory;
  else
    attributes = (info.st_mode & S_IWUSR) == 0 ? kAttributeReadOnly : kAttributeNormal;
  return 0;
}

std::uint32_t FileSystemPosix::SetFileLength(const char* path, std::uint64_t length)
{
  std::string native;
  if (std::uint32_t error = Native(path, native))
    return error;
  const int fd = open(native.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0)
    return LastError();
  std::uint32_t result = 0;
  if (ftruncate(fd, static_cast<off_t>(length)) != 0 || fsync(fd) != 0)
    result = LastError();
  close(fd);
  return result;
}

namespace {

class FlockHeld final : public HeldLock {
 public:
  explicit FlockHeld(int fd) : m_fd(fd) {}
  ~FlockHeld() override { close(m_fd); }
  FlockHeld(const FlockHeld&) = delete;
  FlockHeld& operator=(const FlockHeld&) = delete;

 private:
  int m_fd;
};

}  // namespace

// flock belongs to the open file, not the process: a second open in this
// process is refused like another process, and the lock ends with the
// descriptor, also when the process is killed.
std::uint32_t FileSystemPosix::TakeLock(const char* path, std::unique_ptr<HeldLock>& lock)
{
  lock.reset();
  std::string native;
  if (std::uint32_t error = Native(path, native))
    return error;
  const int fd = open(native.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0)
    return errno == ENOENT ? err::kPathNotFound : LastError();
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    return error == EWOULDBLOCK ? err::kSharingViolation : WindowsErrorFromErrno(error);
  }
  lock = std::make_unique<FlockHeld>(fd);
  return 0;
}

}  // namespace orv::posix
