#include "platform/win32/CabinetSetupApi.h"

#include <windows.h>
#include <setupapi.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include "platform/ErrorCodes.h"
#include "platform/win32/Win32Error.h"

namespace orv::win32 {

namespace {

// The cabinet header's flags word, and its bits saying that the cabinet is
// one part of a set.
constexpr long kHeaderFlags = 0x1E;
constexpr unsigned kHasPreviousCabinet = 0x0001;
constexpr unsigned kHasNextCabinet = 0x0002;
// The attribute bit of a file whose name the cabinet keeps in UTF-8.
constexpr unsigned kNameIsUtf8 = 0x80;

// Files of a multi-cabinet set may continue in a cabinet the launcher never
// has: such a set is refused whole rather than half extracted. True only
// for a readable cabinet header that says so; anything else is left to
// SetupAPI to judge.
bool IsPartOfASet(const char* cabinetPath)
{
  std::FILE* file = std::fopen(cabinetPath, "rb");
  if (!file)
    return false;
  unsigned char header[kHeaderFlags + 2] = {};
  const bool complete = std::fread(header, 1, sizeof header, file) == sizeof header;
  std::fclose(file);
  if (!complete || std::memcmp(header, "MSCF", 4) != 0)
    return false;
  const unsigned flags = header[kHeaderFlags] | header[kHeaderFlags + 1] << 8;
  return (flags & (kHasPreviousCabinet | kHasNextCabinet)) != 0;
}

// A name beside the target for the file being extracted, unique among the
// walks of this process and, through the process id, of others.
std::string PartialName(const std::string& target)
{
  static std::atomic<unsigned> counter{0};
  const std::size_t separator = LastSeparator(target.c_str());
  const std::string folder =
      separator == std::string::npos ? std::string() : target.substr(0, separator + 1);
  return folder + ".orv-cab-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(++counter) + ".part";
}

// The in-cabinet name as the launcher spells it, in the ANSI code page its
// file functions read. Packing tools keep a name outside ASCII in UTF-8 and
// mark it so, and wine's SetupAPI hands those bytes on unchanged: taken as
// they were, they named files that were never in the cabinet. A marked name
// that is no valid UTF-8 is kept as it is: a SetupAPI that converts marked
// names itself hands on the ANSI bytes. False when the name has no form in
// the code page.
bool LauncherName(const FILE_IN_CABINET_INFO_A& info, std::string& name)
{
  name = info.NameInCabinet;
  if (!(info.DosAttribs & kNameIsUtf8))
    return true;
  const int wideSize = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.c_str(), -1,
                                           nullptr, 0);
  if (wideSize <= 0)
    return true;
  std::wstring wide(static_cast<std::size_t>(wideSize), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.c_str(), -1, wide.data(), wideSize);
  BOOL lossy = FALSE;
  const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, nullptr,
                                       0, nullptr, &lossy);
  if (size <= 0 || lossy)
    return false;
  std::string converted(static_cast<std::size_t>(size), '\0');
  if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, converted.data(), size,
                          nullptr, &lossy) != size ||
      lossy)
    return false;
  converted.resize(static_cast<std::size_t>(size) - 1);  // the terminator
  name = std::move(converted);
  return true;
}

struct Walk {
  explicit Walk(const CabinetWalker::FileCallback& onFile) : onFile(onFile) {}

  const CabinetWalker::FileCallback& onFile;
  // Why the walk ended early, in the launcher's numbers; 0 when SetupAPI's
  // own error is the reason.
  std::uint32_t error = 0;
  std::exception_ptr thrown;
  // The file being extracted: where SetupAPI writes it and where it goes.
  std::string partial;
  std::string target;
  std::uint32_t size = 0;

  void DiscardPartial()
  {
    if (!partial.empty())
      DeleteFileA(partial.c_str());
    partial.clear();
  }
};

UINT FileInCabinet(Walk& walk, FILE_IN_CABINET_INFO_A& info)
{
  // After an abort wine goes on offering the remaining files; the caller
  // is promised no call after it.
  if (walk.error || walk.thrown)
    return FILEOP_ABORT;
  std::string name;
  if (!LauncherName(info, name)) {
    // Skipping it would leave the step silently incomplete.
    walk.error = err::kInvalidName;
    return FILEOP_ABORT;
  }
  std::string target;
  CabinetFileAction action;
  try {
    action = walk.onFile(name.c_str(), info.FileSize, target);
  } catch (...) {
    // An exception must not unwind through SetupAPI's frames.
    walk.thrown = std::current_exception();
    return FILEOP_ABORT;
  }
  switch (action) {
    case CabinetFileAction::Skip: return FILEOP_SKIP;
    case CabinetFileAction::Abort: walk.error = err::kCancelled; return FILEOP_ABORT;
    case CabinetFileAction::Extract: break;
  }
  if (target.empty()) {
    walk.error = err::kInvalidParameter;
    return FILEOP_ABORT;
  }
  std::string partial = PartialName(target);
  if (target.size() >= MAX_PATH || partial.size() >= MAX_PATH) {
    walk.error = err::kFilenameTooLong;
    return FILEOP_ABORT;
  }
  std::memcpy(info.FullTargetName, partial.c_str(), partial.size() + 1);
  walk.partial = std::move(partial);
  walk.target = std::move(target);
  walk.size = info.FileSize;
  return FILEOP_DOIT;
}

// The size of the file as written, or nothing when it cannot be read.
bool WrittenSize(const std::string& path, std::uint64_t& size)
{
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
    return false;
  size = static_cast<std::uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
  return true;
}

UINT FileExtracted(Walk& walk, const FILEPATHS_A& paths)
{
  std::uint32_t error = paths.Win32Error;
  // Wine reports a file of a cabinet cut short inside its data as extracted:
  // a file shorter than the cabinet says is no file.
  std::uint64_t written = 0;
  if (error == 0 && (!WrittenSize(walk.partial, written) || written != walk.size))
    error = err::kInvalidData;
  if (error == 0 && !MoveFileExA(walk.partial.c_str(), walk.target.c_str(),
                                 MOVEFILE_REPLACE_EXISTING))
    error = LastErrorOr(err::kWriteFault);
  if (error == 0) {
    walk.partial.clear();
    return NO_ERROR;
  }
  walk.DiscardPartial();
  walk.error = error;
  return error;
}

UINT CALLBACK Notify(PVOID context, UINT notification, UINT_PTR first, UINT_PTR)
{
  Walk& walk = *static_cast<Walk*>(context);
  switch (notification) {
    case SPFILENOTIFY_FILEINCABINET:
      return FileInCabinet(walk, *reinterpret_cast<FILE_IN_CABINET_INFO_A*>(first));
    case SPFILENOTIFY_FILEEXTRACTED:
      return FileExtracted(walk, *reinterpret_cast<const FILEPATHS_A*>(first));
    case SPFILENOTIFY_NEEDNEWCABINET:
      // Only single cabinets are used; a file that goes on in another one
      // cannot be completed.
      walk.error = err::kInvalidData;
      return ERROR_INVALID_DATA;
    default:
      return NO_ERROR;
  }
}

}  // namespace

std::uint32_t CabinetSetupApi::Iterate(const char* cabinetPath, const FileCallback& onFile)
{
  if (IsPartOfASet(cabinetPath))
    return err::kInvalidData;
  Walk walk(onFile);
  SetLastError(0);
  const BOOL completed = SetupIterateCabinetA(cabinetPath, 0, Notify, &walk);
  const DWORD setupError = GetLastError();
  // SetupAPI stopped while a file was on its way: what it wrote is no file.
  walk.DiscardPartial();
  if (walk.thrown)
    std::rethrow_exception(walk.thrown);
  if (walk.error)
    return walk.error;
  if (completed)
    return 0;
  return setupError != 0 ? setupError : err::kInvalidData;
}

}  // namespace orv::win32
