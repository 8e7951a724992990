// The file system through the Win32 ANSI calls. Laid out as: the retry of
// an operation another program's handle blocks for a moment (Retried), the
// helpers of the copy (its partial file, which may name a path longer than
// the ANSI calls take) and of flushing, then the interface's operations in
// the order the header declares them, then the lock.
#include "platform/win32/FileSystemWin32.h"

#include <windows.h>
#include <imagehlp.h>
#include <shlwapi.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "platform/ErrorCodes.h"
#include "platform/win32/Win32Error.h"

namespace orv::win32 {

namespace {

std::uint32_t Result(BOOL succeeded, std::uint32_t fallback = err::kInvalidParameter)
{
  return succeeded ? 0 : LastErrorOr(fallback);
}

// An ANSI path in UTF-16, converted as the ANSI calls convert it.
std::wstring Wide(const char* path)
{
  const int length = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
  if (length <= 1)
    return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path, -1, wide.data(), length);
  wide.pop_back();  // the terminator
  return wide;
}

// --- Retrying what a scanner blocks ---

// A virus scanner, an indexer or a sync client opens a file just written for
// a moment, often without sharing it; whatever the launcher does to the file
// meanwhile fails. Such a hold ends within a second or so: the waits grow
// from kFirstWait, none longer than kLongestWait, kPatience in all.
constexpr DWORD kFirstWait = 10;
constexpr DWORD kLongestWait = 400;
constexpr DWORD kPatience = 1500;

// Whether the error can be another program's passing hold on one of the
// paths. Access is denied for a moment to a file whose deletion waits for a
// handle to close, but for good to a read-only file or a folder: those are
// not waited for.
bool MayPass(std::uint32_t error, std::initializer_list<std::wstring> paths)
{
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
    return true;
  if (error != ERROR_ACCESS_DENIED)
    return false;
  for (const std::wstring& path : paths) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
      return false;
  }
  return true;
}

// Runs the attempt (0 or an error number) until it succeeds, fails in a way
// that will not pass, or patience runs out; answers its last result.
template <typename Attempt>
std::uint32_t Retried(std::initializer_list<std::wstring> paths, Attempt attempt)
{
  std::uint32_t error = attempt();
  DWORD waited = 0;
  DWORD wait = kFirstWait;
  while (error != 0 && waited < kPatience && MayPass(error, paths)) {
    const DWORD now = std::min(wait, kPatience - waited);
    Sleep(now);
    waited += now;
    wait = std::min(wait * 2, kLongestWait);
    error = attempt();
  }
  return error;
}

// --- Helpers of the copy and of flushing ---

// The name as NTFS orders it: UTF-16, compared after folding to upper case.
std::wstring SortKey(const std::string& name)
{
  const int length = MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()),
                                         nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
  if (length > 0)
    MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), wide.data(),
                        length);
  return wide;
}

// A name beside the destination for a copy in progress, unique among the
// copies of this process and, through the process id, of others. It is
// longer than the destination's own name and may take a path that fits the
// ANSI calls past MAX_PATH: it is spoken to through the wide calls, as a
// whole path with the prefix that lifts the limit when it needs it. Empty
// when the destination's folder cannot be named.
std::wstring PartialName(const char* destination)
{
  static std::atomic<unsigned> counter{0};
  const std::size_t end = LastSeparator(destination);
  const std::string folder = end == std::string::npos ? "" : std::string(destination, end + 1);
  const std::wstring relative =
      Wide((folder + kCopyTempPrefix + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(++counter) + kCopyTempSuffix)
               .c_str());
  const DWORD size = GetFullPathNameW(relative.c_str(), 0, nullptr, nullptr);
  if (size == 0)
    return std::wstring();
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(relative.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size)
    return std::wstring();
  full.resize(length);
  if (full.size() < MAX_PATH || full.rfind(L"\\\\?\\", 0) == 0)
    return full;
  if (full.rfind(L"\\\\", 0) == 0)
    return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// Whether two paths name one file (the same name, another spelling of it, or
// a hard link).
bool SameFile(const char* a, const char* b)
{
  BY_HANDLE_FILE_INFORMATION info[2];
  const char* paths[2] = {a, b};
  for (int i = 0; i < 2; ++i) {
    HANDLE file = CreateFileA(paths[i], 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
      return false;
    const BOOL got = GetFileInformationByHandle(file, &info[i]);
    CloseHandle(file);
    if (!got)
      return false;
  }
  return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
         info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
         info[0].nFileIndexLow == info[1].nFileIndexLow;
}

// FlushFileBuffers needs a handle that may write; a read-only file gets one
// for the moment of the flush.
std::uint32_t Flush(const std::wstring& wide)
{
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return LastErrorOr(err::kFileNotFound);
  const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (readOnly)
    SetFileAttributesW(wide.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  HANDLE file = INVALID_HANDLE_VALUE;
  std::uint32_t result = Retried({wide}, [&] {
    file = CreateFileW(wide.c_str(), GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? LastErrorOr(err::kAccessDenied) : 0;
  });
  if (result == 0) {
    if (!FlushFileBuffers(file))
      result = LastErrorOr(err::kWriteFault);
    CloseHandle(file);
  }
  if (readOnly)
    SetFileAttributesW(wide.c_str(), attributes);
  return result;
}

std::uint32_t Flush(const char* path)
{
  return Flush(Wide(path));
}

// Whether a reparse point stands for another name (a symbolic link, a
// junction, a mount point), which a walk must not follow. Others, such as a
// sync client's placeholder of a file kept in the cloud, are the file itself.
bool IsLink(DWORD attributes, DWORD reparseTag)
{
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(reparseTag);
}

}  // namespace

std::FILE* FileSystemWin32::OpenFile(const char* path, const char* mode)
{
  std::FILE* file = nullptr;
  // The C library keeps the system's error of the failed open in _doserrno.
  Retried({Wide(path)}, [&] {
    _doserrno = 0;
    file = std::fopen(path, mode);
    return file ? 0u
                : (_doserrno != 0 ? static_cast<std::uint32_t>(_doserrno) : err::kInvalidParameter);
  });
  return file;
}

bool FileSystemWin32::CurrentDirectory(std::string& path)
{
  // A folder whose name has no ANSI form comes back from the ANSI call with
  // '?' in its place, which names another folder or none: refuse it.
  const DWORD wideLength = GetCurrentDirectoryW(0, nullptr);
  if (wideLength == 0)
    return false;
  std::wstring wide(wideLength, L'\0');
  const DWORD wideWritten = GetCurrentDirectoryW(wideLength, wide.data());
  if (wideWritten == 0 || wideWritten >= wideLength)
    return false;
  // Converted here rather than asked of the ANSI call, which fails outright
  // for a folder of MAX_PATH characters or more: the launcher must see such
  // a path to tell the user it is too long.
  BOOL lossy = FALSE;
  const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(),
                                         static_cast<int>(wideWritten), nullptr, 0, nullptr,
                                         &lossy);
  if (length <= 0 || lossy)
    return false;
  std::string current(static_cast<std::size_t>(length), '\0');
  if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wideWritten),
                          current.data(), length, nullptr, &lossy) != length ||
      lossy)
    return false;
  path = std::move(current);
  return true;
}

std::uint32_t FileSystemWin32::FindFiles(const char* pattern, std::vector<FoundFile>& found)
{
  found.clear();
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(pattern, &data);
  if (find == INVALID_HANDLE_VALUE)
    return LastErrorOr(err::kFileNotFound);
  do {
    // The reparse bit is the link bit: it stays only on real links, so that
    // a walk of a tree leaves junctions (which may point upwards) alone.
    DWORD attributes = data.dwFileAttributes;
    if (!IsLink(attributes, data.dwReserved0))
      attributes &= ~FILE_ATTRIBUTE_REPARSE_POINT;
    found.push_back({data.cFileName, attributes});
  } while (FindNextFileA(find, &data));
  const DWORD ended = GetLastError();
  FindClose(find);
  if (ended != ERROR_NO_MORE_FILES) {
    found.clear();
    return ended != 0 ? ended : err::kReadFault;
  }
  // NTFS lists a folder in this order, FAT and network shares in whatever
  // order they hold; patches of one step are applied in listing order, so
  // the order is made the same everywhere.
  std::vector<std::pair<std::wstring, FoundFile>> keyed;
  keyed.reserve(found.size());
  for (FoundFile& file : found)
    keyed.emplace_back(SortKey(file.name), std::move(file));
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
    return CompareStringOrdinal(a.first.data(), static_cast<int>(a.first.size()), b.first.data(),
                                static_cast<int>(b.first.size()), TRUE) == CSTR_LESS_THAN;
  });
  found.clear();
  for (auto& [key, file] : keyed)
    found.push_back(std::move(file));
  return 0;
}

std::uint32_t FileSystemWin32::MakeFolder(const char* path)
{
  return Result(CreateDirectoryA(path, nullptr));
}

// Folder by folder at each separator. The system's path maker splits at
// every `\` byte, the second byte of a character such as 能 included, and
// left a stray folder beside the one the path names.
std::uint32_t FileSystemWin32::MakePath(const char* path)
{
  const std::size_t end = LastSeparator(path);
  if (end == std::string::npos)
    return 0;
  const std::string folder(path, end);
  std::uint32_t error = 0;
  for (std::size_t i = 0; i <= folder.size(); ++i) {
    if (i < folder.size()) {
      if (IsDBCSLeadByte(static_cast<BYTE>(folder[i])) && i + 1 < folder.size()) {
        ++i;
        continue;
      }
      if (folder[i] != '\\' && folder[i] != '/')
        continue;
    }
    const std::string prefix = folder.substr(0, i);
    // The root, a drive or a share's name is no folder to make.
    if (prefix.empty() || prefix.back() == ':' || PathIsDirectoryA(prefix.c_str()))
      continue;
    error = CreateDirectoryA(prefix.c_str(), nullptr) ? 0 : LastErrorOr(err::kPathNotFound);
  }
  // A plain file standing where a folder should be leaves none made.
  if (end > 0 && !PathIsDirectoryA(folder.c_str()))
    return error != 0 && error != ERROR_ALREADY_EXISTS ? error : err::kPathNotFound;
  return 0;
}

bool FileSystemWin32::IsFolder(const char* path)
{
  return PathIsDirectoryA(path) != FALSE;
}

std::uint32_t FileSystemWin32::SetAttributes(const char* path, std::uint32_t attributes)
{
  return Result(SetFileAttributesA(path, attributes));
}

std::uint32_t FileSystemWin32::RemoveFile(const char* path)
{
  return Retried({Wide(path)}, [&] { return Result(DeleteFileA(path)); });
}

std::uint32_t FileSystemWin32::RemoveFolder(const char* path)
{
  return Result(RemoveDirectoryA(path));
}

std::uint32_t FileSystemWin32::CopyFileOver(const char* from, const char* to, bool flush)
{
  // Windows refuses to replace a read-only file, but wine run by root
  // replaces it, as Linux lets root write it: the check keeps the promise
  // on both.
  const DWORD existing = GetFileAttributesA(to);
  if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_READONLY))
    return err::kAccessDenied;
  // A file copied onto itself is refused, as a copy straight onto the
  // destination refuses it.
  if (existing != INVALID_FILE_ATTRIBUTES && SameFile(from, to))
    return err::kSharingViolation;
  // Copied beside the destination, then moved over it: a copy cut short (a
  // full disk, a killed process) never leaves a short file under the
  // destination's name.
  const std::wstring source = Wide(from);
  const std::wstring destination = Wide(to);
  std::wstring partial;
  std::uint32_t result = err::kFileExists;
  for (int attempt = 0; attempt < 100 && result == err::kFileExists; ++attempt) {
    partial = PartialName(to);
    if (partial.empty())
      return LastErrorOr(err::kPathNotFound);
    // The partial file is new, so a hold that passes is one on the source.
    result = Retried({source}, [&] {
      return Result(CopyFileW(source.c_str(), partial.c_str(), TRUE), err::kWriteFault);
    });
  }
  if (result != 0)
    return result;
  if (flush)
    result = Flush(partial);
  if (result == 0)
    result = Retried({partial, destination}, [&] {
      return Result(MoveFileExW(partial.c_str(), destination.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    });
  if (result != 0) {
    SetFileAttributesW(partial.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(partial.c_str());
  }
  return result;
}

// Moves return once the new name is on the disk.
std::uint32_t FileSystemWin32::MoveFileTo(const char* from, const char* to)
{
  return Retried({Wide(from), Wide(to)}, [&] {
    return Result(MoveFileExA(from, to, MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH));
  });
}

std::uint32_t FileSystemWin32::MoveFileOver(const char* from, const char* to)
{
  return Retried({Wide(from), Wide(to)}, [&] {
    return Result(MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  });
}

std::uint32_t FileSystemWin32::FlushFile(const char* path) { return Flush(path); }

std::uint32_t FileSystemWin32::FlushFiles(const std::vector<std::string>& paths)
{
  for (const std::string& path : paths)
    if (std::uint32_t error = Flush(path.c_str()))
      return error;
  return 0;
}

// NTFS journals its folders' entries itself, but FAT32 and exFAT (games on
// USB drives and SD cards) write them whenever they like: a folder opened
// with backup semantics is flushed like a file. A file system that has no
// such flush refuses it, and then it has nothing to do.
std::uint32_t FileSystemWin32::FlushFolder(const char* path)
{
  HANDLE folder = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE)
    return LastErrorOr(err::kPathNotFound);
  std::uint32_t result = Result(FlushFileBuffers(folder), err::kWriteFault);
  CloseHandle(folder);
  return result == ERROR_INVALID_FUNCTION ? 0 : result;
}

// GetFileAttributes answers for a link itself, not for what it points at.
std::uint32_t FileSystemWin32::ProbeFile(const char* path, std::uint32_t& attributes)
{
  attributes = 0;
  const DWORD found = GetFileAttributesA(path);
  if (found == INVALID_FILE_ATTRIBUTES)
    return LastErrorOr(err::kInvalidParameter);
  const bool folder = (found & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (found & FILE_ATTRIBUTE_REPARSE_POINT) {
    // Only the listing carries the kind of reparse point; one that cannot
    // be told is taken for a link, which is never followed.
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(path, &data);
    const bool link =
        find == INVALID_HANDLE_VALUE || IsLink(data.dwFileAttributes, data.dwReserved0);
    if (find != INVALID_HANDLE_VALUE)
      FindClose(find);
    if (link) {
      attributes = kAttributeLink | (folder ? kAttributeDirectory : 0);
      return 0;
    }
  }
  if (folder)
    attributes = kAttributeDirectory;
  else if (found & FILE_ATTRIBUTE_READONLY)
    attributes = kAttributeReadOnly;
  else
    attributes = kAttributeNormal;
  return 0;
}

std::uint32_t FileSystemWin32::SetFileLength(const char* path, std::uint64_t length)
{
  HANDLE file = INVALID_HANDLE_VALUE;
  std::uint32_t result = Retried({Wide(path)}, [&] {
    file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? LastErrorOr(err::kAccessDenied) : 0;
  });
  if (result != 0)
    return result;
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(length);
  if (!SetFilePointerEx(file, end, nullptr, FILE_BEGIN) || !SetEndOfFile(file) ||
      !FlushFileBuffers(file))
    result = LastErrorOr(err::kWriteFault);
  CloseHandle(file);
  return result;
}

namespace {

class FileLock final : public HeldLock {
 public:
  explicit FileLock(HANDLE file) : m_file(file) {}
  ~FileLock() override { CloseHandle(m_file); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  HANDLE m_file;
};

}  // namespace

// A byte-range lock rather than an open that shares nothing: a scanner that
// opens the lock file for a moment then never makes a launcher think another
// one runs. The lock belongs to the handle, so a second take in this process
// is refused like one in another, and the system lets it go when the handle
// closes or the process ends. The handle is not inheritable: a game started
// from the launcher must not keep it. Deleting the file is not shared, so
// nobody can put another file under its name while it is held.
std::uint32_t FileSystemWin32::TakeLock(const char* path, std::unique_ptr<HeldLock>& lock)
{
  lock.reset();
  HANDLE file = INVALID_HANDLE_VALUE;
  std::uint32_t result = Retried({Wide(path)}, [&] {
    file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? LastErrorOr(err::kAccessDenied) : 0;
  });
  if (result != 0)
    return result;
  OVERLAPPED whole = {};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                  &whole)) {
    result = LastErrorOr(err::kSharingViolation);
    CloseHandle(file);
    return result == ERROR_LOCK_VIOLATION ? err::kSharingViolation : result;
  }
  lock = std::make_unique<FileLock>(file);
  return 0;
}

}  // namespace orv::win32
