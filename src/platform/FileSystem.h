#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

// File attribute bits as the launcher reads and sets them.
inline constexpr std::uint32_t kAttributeReadOnly = 0x01;
inline constexpr std::uint32_t kAttributeDirectory = 0x10;
inline constexpr std::uint32_t kAttributeArchive = 0x20;
inline constexpr std::uint32_t kAttributeNormal = 0x80;  // none of the others
// A symbolic link or a junction, as listed or probed: the entry itself, not
// what it points at. May come with kAttributeDirectory.
inline constexpr std::uint32_t kAttributeLink = 0x400;

// A copy in progress is written beside its destination under a name of this
// shape ("<prefix><anything><suffix>"), so that one a killed process left
// behind can be told from the game's own files and removed.
inline constexpr const char* kCopyTempPrefix = ".orv-copy-";
inline constexpr const char* kCopyTempSuffix = ".part";

// Whether a file name has the shape of a copy's temporary name.
inline bool IsCopyTemporaryName(std::string_view name)
{
  const std::string_view prefix = kCopyTempPrefix;
  const std::string_view suffix = kCopyTempSuffix;
  return name.size() > prefix.size() + suffix.size() && name.substr(0, prefix.size()) == prefix &&
         name.substr(name.size() - suffix.size()) == suffix;
}

// One entry of a folder listing.
struct FoundFile {
  std::string name;  // without folder
  std::uint32_t attributes = 0;
};

// A lock one process holds on a file for as long as this object lives.
class HeldLock {
 public:
  virtual ~HeldLock() = default;
};

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

  // The operations below answer 0 on success or an error number of
  // platform/ErrorCodes.h.

  // Lists the entries of a folder that match the pattern's last component
  // ("folder\*.*", "folder\*.dfl"; `*` and `?`, letters matched without
  // regard to case; "*" and "*.*" match every name, "." and ".." included,
  // as the Windows listing gives them). err::kPathNotFound when the folder
  // does not exist, err::kFileNotFound when nothing matches.
  virtual std::uint32_t FindFiles(const char* pattern, std::vector<FoundFile>& found) = 0;
  // Creates one folder. err::kPathNotFound when its parent is missing,
  // err::kAlreadyExists when it exists.
  virtual std::uint32_t MakeFolder(const char* path) = 0;
  // Creates every missing folder of the path up to its last `\`.
  virtual std::uint32_t MakePath(const char* path) = 0;
  virtual bool IsFolder(const char* path) = 0;
  // kAttributeNormal clears the read-only bit; kAttributeReadOnly sets it.
  virtual std::uint32_t SetAttributes(const char* path, std::uint32_t attributes) = 0;
  virtual std::uint32_t RemoveFile(const char* path) = 0;
  // Removes an empty folder.
  virtual std::uint32_t RemoveFolder(const char* path) = 0;
  // Copies a file, replacing the destination (err::kAccessDenied when the
  // destination is read-only). The copy is written beside the destination
  // under a temporary name (kCopyTempPrefix ... kCopyTempSuffix) and then
  // replaces it in one step, so that a kill leaves the old file or the whole
  // new one. With flush, the copy is on the disk before it takes the name, so
  // a power cut does too; without, FlushFiles must follow before anything
  // relies on it being on the disk.
  virtual std::uint32_t CopyFileOver(const char* from, const char* to, bool flush) = 0;
  // Renames a file; err::kAlreadyExists when the destination exists.
  virtual std::uint32_t MoveFileTo(const char* from, const char* to) = 0;
  // Renames a file onto the destination, replacing it in one step.
  virtual std::uint32_t MoveFileOver(const char* from, const char* to) = 0;
  // Waits until what was written to the file is on the disk.
  virtual std::uint32_t FlushFile(const char* path) = 0;
  // The same for many files, at once where the platform can.
  virtual std::uint32_t FlushFiles(const std::vector<std::string>& paths) = 0;
  // Waits until the folder's entries (files made, renamed or removed in it)
  // are on the disk; 0 where the file system keeps them in order by itself.
  virtual std::uint32_t FlushFolder(const char* path) = 0;

  // Whether anything is at the path, without following a link at its end:
  // 0 with its attributes; err::kFileNotFound or err::kPathNotFound when
  // nothing is; any other error when the platform cannot tell just now (a
  // sharing violation, no descriptors left), which is not "absent".
  virtual std::uint32_t ProbeFile(const char* path, std::uint32_t& attributes) = 0;
  // Cuts a file to the given length and waits until that is on the disk.
  virtual std::uint32_t SetFileLength(const char* path, std::uint64_t length) = 0;
  // Takes an exclusive lock on the file, made when missing, for as long as
  // the lock given back lives; err::kSharingViolation when another holder,
  // in this process or another, has it. A started child process does not
  // inherit it.
  virtual std::uint32_t TakeLock(const char* path, std::unique_ptr<HeldLock>& lock) = 0;
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
