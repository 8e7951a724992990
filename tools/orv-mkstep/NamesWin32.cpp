// Names and flushes on Windows: file names are UTF-16, the launcher's are
// code page 932.
#include <windows.h>

#include "MkStep.h"

namespace orv::mkstep {

namespace {

constexpr UINT kShiftJis = 932;

std::string FromWide(UINT codePage, const std::wstring& wide, bool& lossless)
{
  lossless = true;
  if (wide.empty())
    return {};
  BOOL usedDefault = FALSE;
  const DWORD flags = codePage == kShiftJis ? WC_NO_BEST_FIT_CHARS : 0;
  BOOL* defaultFlag = codePage == kShiftJis ? &usedDefault : nullptr;
  const int size = WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, defaultFlag);
  std::string text(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()), text.data(),
                      size, nullptr, defaultFlag);
  lossless = size > 0 && !usedDefault;
  return text;
}

std::wstring ToWide(UINT codePage, const std::string& text)
{
  if (text.empty())
    return {};
  const int size =
      MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

}  // namespace

bool LauncherName(const fs::path& relative, std::string& name)
{
  std::wstring joined;
  for (const fs::path& part : relative) {
    if (!joined.empty())
      joined += L'\\';
    joined += part.wstring();
  }
  for (const wchar_t c : joined)
    if (c < 0x20 || c == 0x7F)
      return false;
  bool lossless = false;
  std::string cp932 = FromWide(kShiftJis, joined, lossless);
  // A name that does not come back the same was not expressed.
  if (!lossless || ToWide(kShiftJis, cp932) != joined)
    return false;
  name = cp932;
  return true;
}

bool SjisToUtf8(const Sjis& name, Utf8& utf8)
{
  if (name.empty()) {
    utf8.clear();
    return true;
  }
  // Refused rather than replaced: a stray byte is shown as itself.
  const int size = MultiByteToWideChar(kShiftJis, MB_ERR_INVALID_CHARS, name.data(),
                                       static_cast<int>(name.size()), nullptr, 0);
  if (size <= 0)
    return false;
  bool lossless = false;
  utf8 = FromWide(CP_UTF8, ToWide(kShiftJis, name), lossless);
  return true;
}

std::string Utf8Path(const fs::path& path)
{
  bool lossless = false;
  return FromWide(CP_UTF8, path.wstring(), lossless);
}

bool FlushToDisk(const fs::path& path)
{
  const bool folder = fs::is_directory(path);
  HANDLE handle =
      CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, folder ? FILE_FLAG_BACKUP_SEMANTICS : 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return folder;  // folders cannot always be opened for flushing; their entries are journaled
  const bool flushed = FlushFileBuffers(handle) != 0 || folder;
  CloseHandle(handle);
  return flushed;
}

}  // namespace orv::mkstep

namespace orv::mkstep {

std::FILE* OpenFile(const fs::path& path, const char* mode)
{
  const std::string narrow(mode);
  return _wfopen(path.c_str(), std::wstring(narrow.begin(), narrow.end()).c_str());
}

}  // namespace orv::mkstep

namespace orv::mkstep {

bool LauncherPath(const fs::path& path, std::string& launcherPath)
{
  bool lossless = false;
  launcherPath = FromWide(kShiftJis, path.wstring(), lossless);
  return lossless;
}

}  // namespace orv::mkstep

#include <io.h>
#include <shellapi.h>

namespace orv::mkstep {

std::vector<fs::path> ProgramArguments(int, char**)
{
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<fs::path> paths;
  for (int i = 1; i < count; ++i)
    paths.emplace_back(arguments[i]);
  LocalFree(arguments);
  return paths;
}

bool IsTerminal(std::FILE* stream)
{
  return _isatty(_fileno(stream)) != 0;
}

}  // namespace orv::mkstep

namespace orv::mkstep {

// The Windows heap keeps freed blocks by itself.
void KeepFreedMemory() {}

}  // namespace orv::mkstep

namespace orv::mkstep {

FileLock::~FileLock()
{
  if (m_handle != -1)
    CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

bool FileLock::TryLock(const fs::path& file, bool& busy, std::string& error)
{
  busy = false;
  // Opened with no sharing: a second opener is refused until this handle
  // closes, which the system does when the process ends however it ends.
  HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    busy = code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED;
    error = "cannot lock " + Utf8Path(file) + " (error " + std::to_string(code) + ")";
    return false;
  }
  m_handle = reinterpret_cast<std::intptr_t>(handle);
  return true;
}

}  // namespace orv::mkstep
