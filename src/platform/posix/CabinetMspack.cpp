#include "platform/posix/CabinetMspack.h"

#include <fcntl.h>
#include <mspack.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "platform/ErrorCodes.h"
#include "platform/posix/Cp932.h"
#include "platform/posix/FileSystemPosix.h"

// How a walk fails, in the numbers the launcher logs:
//   err::kFileNotFound      the cabinet does not exist
//   err::kPathNotFound      a folder of the cabinet's path, or the target's folder, is missing
//   err::kAccessDenied      the cabinet or a target cannot be opened (permissions, a folder)
//   err::kInvalidData       not a cabinet, damaged (truncated, sizes that lie, bad checksum,
//                           corrupt compressed data), or one part of a multi-cabinet set
//   err::kInvalidName       a path or an in-cabinet name with no Shift_JIS / UTF-8 form
//   err::kInvalidParameter  Extract answered with an empty target
//   err::kReadFault         the system could not read the cabinet
//   err::kWriteFault / err::kDiskFull   a target could not be written
//   err::kNotEnoughMemory   libmspack ran out of memory
//   err::kCancelled         the callback answered Abort
namespace orv::posix {

namespace {

// libmspack reads and writes through these instead of its stdio defaults:
// its default close ignores the error of the last buffered write, which
// would leave a short file looking complete, and the errno of a failed call
// tells a missing cabinet from a damaged one.
struct NativeSystem {
  mspack_system calls;  // first: libmspack hands this pointer back to Open
  int openErrno = 0;
  int readErrno = 0;
  int writeErrno = 0;
  // The one file extraction may write: the partial file Iterate created for
  // the current target. libmspack cannot be steered to write anywhere else.
  std::string outputName;
  int outputFd = -1;
};

struct NativeFile {
  int fd;
  bool output;
  NativeSystem* owner;
};

NativeFile* AsNative(mspack_file* file) { return reinterpret_cast<NativeFile*>(file); }

mspack_file* Open(mspack_system* self, const char* filename, int mode)
{
  NativeSystem* system = reinterpret_cast<NativeSystem*>(self);
  int fd = -1;
  if (mode == MSPACK_SYS_OPEN_READ) {
    fd = open(filename, O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
      close(fd);
      fd = -1;
      errno = EISDIR;
    }
  } else if (mode == MSPACK_SYS_OPEN_WRITE && system->outputFd >= 0 &&
             system->outputName == filename) {
    fd = std::exchange(system->outputFd, -1);
  } else {
    errno = EACCES;
  }
  if (fd < 0) {
    system->openErrno = errno;
    return nullptr;
  }
  NativeFile* file = new (std::nothrow) NativeFile{fd, mode != MSPACK_SYS_OPEN_READ, system};
  if (!file) {
    close(fd);
    system->openErrno = ENOMEM;
    return nullptr;
  }
  return reinterpret_cast<mspack_file*>(file);
}

void Close(mspack_file* handle)
{
  NativeFile* file = AsNative(handle);
  if (close(file->fd) != 0 && file->output && file->owner->writeErrno == 0)
    file->owner->writeErrno = errno;
  delete file;
}

int Read(mspack_file* handle, void* buffer, int bytes)
{
  NativeFile* file = AsNative(handle);
  int done = 0;
  while (done < bytes) {
    const ssize_t got =
        read(file->fd, static_cast<char*>(buffer) + done, static_cast<std::size_t>(bytes - done));
    if (got == 0)
      break;  // a cabinet shorter than it says: libmspack calls it damaged
    if (got < 0) {
      if (errno == EINTR)
        continue;
      file->owner->readErrno = errno;
      return -1;
    }
    done += static_cast<int>(got);
  }
  return done;
}

int Write(mspack_file* handle, void* buffer, int bytes)
{
  NativeFile* file = AsNative(handle);
  int done = 0;
  while (done < bytes) {
    const ssize_t put = write(file->fd, static_cast<const char*>(buffer) + done,
                              static_cast<std::size_t>(bytes - done));
    if (put < 0 && errno == EINTR)
      continue;
    if (put <= 0) {
      file->owner->writeErrno = put < 0 ? errno : EIO;
      return -1;
    }
    done += static_cast<int>(put);
  }
  return done;
}

int Seek(mspack_file* handle, off_t offset, int mode)
{
  int whence = SEEK_SET;
  if (mode == MSPACK_SYS_SEEK_CUR)
    whence = SEEK_CUR;
  else if (mode == MSPACK_SYS_SEEK_END)
    whence = SEEK_END;
  return lseek(AsNative(handle)->fd, offset, whence) < 0 ? -1 : 0;
}

off_t Tell(mspack_file* handle) { return lseek(AsNative(handle)->fd, 0, SEEK_CUR); }

// libmspack's warnings are for a person at a console; the walk's result
// says what went wrong.
void Message(mspack_file*, const char*, ...) {}

void* Alloc(mspack_system*, std::size_t bytes) { return std::malloc(bytes); }

void Free(void* memory) { std::free(memory); }

void Copy(void* from, void* to, std::size_t bytes) { std::memcpy(to, from, bytes); }

struct DecompressorDeleter {
  void operator()(mscab_decompressor* decompressor) const
  {
    mspack_destroy_cab_decompressor(decompressor);
  }
};
using Decompressor = std::unique_ptr<mscab_decompressor, DecompressorDeleter>;

// Closes the cabinet before the decompressor that opened it goes.
class OpenCabinet {
 public:
  OpenCabinet(mscab_decompressor* decompressor, mscabd_cabinet* cabinet)
      : m_decompressor(decompressor), m_cabinet(cabinet)
  {
  }
  ~OpenCabinet()
  {
    if (m_cabinet)
      m_decompressor->close(m_decompressor, m_cabinet);
  }
  OpenCabinet(const OpenCabinet&) = delete;
  OpenCabinet& operator=(const OpenCabinet&) = delete;

  mscabd_cabinet* get() const { return m_cabinet; }

 private:
  mscab_decompressor* m_decompressor;
  mscabd_cabinet* m_cabinet;
};

// The launcher's number for a failed open of the cabinet or of a target.
std::uint32_t OpenError(int error)
{
  if (error == EISDIR)
    return err::kAccessDenied;
  return WindowsErrorFromErrno(error);
}

std::uint32_t WriteError(int error)
{
  return error == ENOSPC || error == EDQUOT ? err::kDiskFull : err::kWriteFault;
}

// The launcher's number for a failed libmspack call, with what the system
// calls beneath it saw.
std::uint32_t LibraryError(int error, const NativeSystem& system)
{
  switch (error) {
    case MSPACK_ERR_OK: return 0;
    case MSPACK_ERR_OPEN: return OpenError(system.openErrno);
    // A read that comes up short without a system error is a cabinet that
    // ends before its headers say it does.
    case MSPACK_ERR_READ: return system.readErrno ? err::kReadFault : err::kInvalidData;
    case MSPACK_ERR_WRITE: return WriteError(system.writeErrno);
    case MSPACK_ERR_NOMEMORY: return err::kNotEnoughMemory;
    case MSPACK_ERR_ARGS: return err::kInvalidParameter;
    default: return err::kInvalidData;  // signature, format, checksum, decompression, seek
  }
}

// The in-cabinet name as the launcher spells it: a name flagged as UTF-8 is
// converted; any other is taken as the Shift_JIS bytes the cabinet was made with.
bool LauncherName(const mscabd_file& file, std::string& name)
{
  if (file.attribs & MSCAB_ATTRIB_UTF_NAME)
    return Utf8ToCp932(file.filename, name);
  name = file.filename;
  return true;
}

// A name for the partial file beside the target, unique among concurrent
// walks of this process and, through the process id, of others.
std::string PartialName(const std::string& target)
{
  static std::atomic<unsigned> counter{0};
  const std::size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  return folder + ".orv-cab-" + std::to_string(getpid()) + "-" + std::to_string(++counter) +
         ".part";
}

// Extracts one file to the target. It is written to a partial file beside
// the target and renamed over it only when complete, so a failed extraction
// leaves no truncated file that looks whole and keeps a file it would have
// replaced.
std::uint32_t ExtractFile(mscab_decompressor* decompressor, NativeSystem& system,
                          mscabd_file* file, const std::string& target)
{
  if (target.empty())
    return err::kInvalidParameter;
  std::string native;
  if (!ToNativePath(target, native))
    return err::kInvalidName;

  std::string partial;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    partial = PartialName(native);
    fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST)
      return errno == ENOENT ? err::kPathNotFound : OpenError(errno);
  }
  if (fd < 0)
    return err::kAlreadyExists;

  system.outputName = partial;
  system.outputFd = fd;
  system.readErrno = 0;
  system.writeErrno = 0;
  const int result = decompressor->extract(decompressor, file, partial.c_str());
  if (system.outputFd >= 0)  // libmspack failed before it opened the output
    close(std::exchange(system.outputFd, -1));

  std::uint32_t error = LibraryError(result, system);
  if (!error && system.writeErrno)  // the close of the output failed
    error = WriteError(system.writeErrno);
  if (!error && rename(partial.c_str(), native.c_str()) != 0)
    error = errno == ENOENT ? err::kPathNotFound : OpenError(errno);
  if (error)
    unlink(partial.c_str());
  return error;
}

}  // namespace

std::uint32_t CabinetMspack::Iterate(const char* cabinetPath, const FileCallback& onFile)
{
  std::string native;
  if (!ToNativePath(cabinetPath, native))
    return err::kInvalidName;

  int selfTest = MSPACK_ERR_OK;
  MSPACK_SYS_SELFTEST(selfTest);
  if (selfTest != MSPACK_ERR_OK)
    return err::kInvalidParameter;

  NativeSystem system;
  system.calls = {Open, Close, Read, Write, Seek, Tell, Message, Alloc, Free, Copy, nullptr};
  Decompressor decompressor(mspack_create_cab_decompressor(&system.calls));
  if (!decompressor)
    return err::kNotEnoughMemory;
  // Its default input buffer of 4 KiB costs a read call per few blocks.
  decompressor->set_param(decompressor.get(), MSCABD_PARAM_DECOMPBUF, 1 << 16);

  OpenCabinet cabinet(decompressor.get(), decompressor->open(decompressor.get(), native.c_str()));
  if (!cabinet.get())
    return LibraryError(decompressor->last_error(decompressor.get()), system);
  // Files of a multi-cabinet set may continue in a cabinet the launcher never
  // has: such a set is refused whole rather than half extracted.
  if (cabinet.get()->flags & (MSCAB_HDR_PREVCAB | MSCAB_HDR_NEXTCAB))
    return err::kInvalidData;

  for (mscabd_file* file = cabinet.get()->files; file; file = file->next) {
    std::string name;
    if (!LauncherName(*file, name))
      return err::kInvalidName;  // skipping it would leave the step silently incomplete
    std::string target;
    switch (onFile(name.c_str(), file->length, target)) {
      case CabinetFileAction::Abort: return err::kCancelled;
      case CabinetFileAction::Skip: continue;
      case CabinetFileAction::Extract: break;
    }
    if (std::uint32_t error = ExtractFile(decompressor.get(), system, file, target))
      return error;
  }
  return 0;
}

}  // namespace orv::posix
