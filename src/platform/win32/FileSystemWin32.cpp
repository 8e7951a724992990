#include "platform/win32/FileSystemWin32.h"

#include <windows.h>
#include <imagehlp.h>
#include <shlwapi.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "platform/ErrorCodes.h"
#include "platform/win32/Win32Error.h"

namespace orv::win32 {

namespace {

std::uint32_t Result(BOOL succeeded, std::uint32_t fallback = err::kInvalidParameter)
{
  return succeeded ? 0 : LastErrorOr(fallback);
}

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
// copies of this process and, through the process id, of others.
std::string PartialName(const char* destination)
{
  static std::atomic<unsigned> counter{0};
  const std::size_t end = LastSeparator(destination);
  const std::string folder = end == std::string::npos ? "" : std::string(destination, end + 1);
  return folder + kCopyTempPrefix + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(++counter) + kCopyTempSuffix;
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
std::uint32_t Flush(const char* path)
{
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return LastErrorOr(err::kFileNotFound);
  const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (readOnly)
    SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY);
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::uint32_t result = 0;
  if (file == INVALID_HANDLE_VALUE) {
    result = LastErrorOr(err::kAccessDenied);
  } else {
    if (!FlushFileBuffers(file))
      result = LastErrorOr(err::kWriteFault);
    CloseHandle(file);
  }
  if (readOnly)
    SetFileAttributesA(path, attributes);
  return result;
}

}  // namespace

std::FILE* FileSystemWin32::OpenFile(const char* path, const char* mode)
{
  return std::fopen(path, mode);
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
    found.push_back({data.cFileName, data.dwFileAttributes});
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

std::uint32_t FileSystemWin32::MakePath(const char* path)
{
  const std::size_t end = LastSeparator(path);
  if (end == std::string::npos)
    return 0;
  if (!MakeSureDirectoryPathExists(path))
    return LastErrorOr(err::kPathNotFound);
  // It takes a plain file standing where the last folder should be for a
  // folder that exists, and reports success for a folder it did not make.
  const std::string folder(path, end + 1);
  if (end > 0 && !PathIsDirectoryA(folder.c_str()))
    return err::kPathNotFound;
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
  return Result(DeleteFileA(path));
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
  std::string partial;
  BOOL copied = FALSE;
  for (int attempt = 0; attempt < 100 && !copied; ++attempt) {
    partial = PartialName(to);
    copied = CopyFileA(from, partial.c_str(), TRUE);
    if (!copied && GetLastError() != ERROR_FILE_EXISTS)
      break;
  }
  if (!copied)
    return LastErrorOr(err::kWriteFault);
  std::uint32_t result = flush ? Flush(partial.c_str()) : 0;
  if (result == 0)
    result = Result(MoveFileExA(partial.c_str(), to,
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  if (result != 0) {
    SetFileAttributesA(partial.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(partial.c_str());
  }
  return result;
}

// Moves return once the new name is on the disk.
std::uint32_t FileSystemWin32::MoveFileTo(const char* from, const char* to)
{
  return Result(MoveFileExA(from, to, MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH));
}

std::uint32_t FileSystemWin32::MoveFileOver(const char* from, const char* to)
{
  return Result(MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
}

std::uint32_t FileSystemWin32::FlushFile(const char* path) { return Flush(path); }

std::uint32_t FileSystemWin32::FlushFiles(const std::vector<std::string>& paths)
{
  for (const std::string& path : paths)
    if (std::uint32_t error = Flush(path.c_str()))
      return error;
  return 0;
}

// NTFS journals its folders' entries itself, and every move here is written
// through: there is nothing left to flush.
std::uint32_t FileSystemWin32::FlushFolder(const char*) { return 0; }

}  // namespace orv::win32
