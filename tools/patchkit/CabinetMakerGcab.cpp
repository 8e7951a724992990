// The cabinets on Linux: gcab packs them, so that their MSZIP data comes
// from a compressor of its own, and the names are then written in place.
#include "patchkit/CabinetMaker.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "patchkit/CabinetWriter.h"
#include "patchkit/Files.h"
#include "platform/posix/Cp932.h"

namespace orv::patchkit {

namespace {

// Where the cabinet keeps its file table.
constexpr std::size_t kHeaderFilesOffset = 0x10;  // u32: offset of the first file entry
constexpr std::size_t kHeaderFileCount = 0x1C;    // u16
constexpr std::size_t kHeaderFlags = 0x1E;        // u16
constexpr std::uint16_t kFlagReserve = 0x0004;    // reserved areas shift every offset
constexpr std::size_t kFileEntrySize = 16;        // fixed part; the name follows
constexpr std::size_t kFileAttributes = 14;       // u16 within a file entry
constexpr std::uint16_t kAttributeUtf8Name = 0x80;
// The file count is a 16-bit field of the header.
constexpr std::size_t kMaxFiles = 0xFFFF;

// The bytes a name is stored as: `\` separators, and UTF-8 where the name
// is Shift_JIS, as gcab and the usual tools store names that are not ASCII.
bool StoredName(const std::string& name, std::string& stored)
{
  return posix::Cp932ToUtf8(CabinetName(name), stored);
}

// A plain file name of the given length, different for every index: gcab
// stores it, and it is then overwritten in place by the real name.
bool Placeholder(std::size_t index, std::size_t length, std::string& placeholder)
{
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  placeholder.assign(length, '_');
  for (std::size_t i = length; i-- > 0 && index > 0; index /= 36)
    placeholder[i] = kDigits[index % 36];
  return index == 0 && length > 0;
}

std::uint32_t Get(const std::string& bytes, std::size_t at, int width)
{
  std::uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  return value;
}

// Runs gcab in the staging folder, so that the names it stores are the
// relative ones it was given; its output goes to a log shown on failure.
bool RunGcab(const std::filesystem::path& staging, const std::vector<std::string>& arguments,
             std::string& error)
{
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>("gcab"));
  for (const std::string& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  // Placeholders hold no '.', so the log cannot take the place of one.
  const std::filesystem::path log = staging / "gcab.log";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, staging.c_str());
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t child = 0;
  const int spawned = posix_spawnp(&child, "gcab", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    error = std::string("cannot start gcab: ") + std::strerror(spawned);
    return false;
  }
  int status = 0;
  pid_t waited = 0;
  while ((waited = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
  }
  if (waited < 0) {
    error = std::string("cannot wait for gcab: ") + std::strerror(errno);
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string output, ignored;
    ReadWholeFile(log, output, ignored);
    error = "gcab failed (status " + std::to_string(status) + "): " + output;
    return false;
  }
  return true;
}

}  // namespace

bool MakeCabinet(const std::filesystem::path& cabinet, const std::vector<CabinetFile>& files,
                 bool compress, std::string& error)
{
  if (files.size() > kMaxFiles) {
    error = "a cabinet holds at most 65535 files";
    return false;
  }
  // gcab would drop "..", leading separators and drive letters from a path,
  // and a staged "..\x" would land outside the staging folder: every file is
  // staged under a plain placeholder of its stored name's length instead,
  // and the real names are written over the placeholders afterwards.
  ScratchFolder staging;
  if (staging.path().empty()) {
    error = staging.error();
    return false;
  }
  std::vector<std::string> stored(files.size());
  std::vector<std::string> placeholders(files.size());
  std::vector<std::string> arguments{"-c"};
  if (compress)
    arguments.push_back("-z");
  arguments.push_back(std::filesystem::absolute(cabinet).string());
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!StoredName(files[i].name, stored[i]) ||
        !Placeholder(i, stored[i].size(), placeholders[i])) {
      error = "cannot store the cabinet name of file " + std::to_string(i);
      return false;
    }
    if (!files[i].source.empty()) {
      std::error_code failed;
      std::filesystem::create_symlink(std::filesystem::absolute(files[i].source),
                                      staging.path() / placeholders[i], failed);
      if (failed) {
        error = "cannot stage " + files[i].source.string() + ": " + failed.message();
        return false;
      }
    } else if (!WriteWholeFile(staging.path() / placeholders[i], files[i].content, error)) {
      return false;
    }
    arguments.push_back(placeholders[i]);
  }
  std::error_code ignored;
  std::filesystem::remove(cabinet, ignored);
  if (!RunGcab(staging.path(), arguments, error))
    return false;

  std::string bytes;
  if (!ReadWholeFile(cabinet, bytes, error))
    return false;
  if (bytes.size() < 0x24 || bytes.compare(0, 4, "MSCF") != 0 ||
      (Get(bytes, kHeaderFlags, 2) & kFlagReserve) != 0 ||
      Get(bytes, kHeaderFileCount, 2) != files.size()) {
    error = "gcab wrote a cabinet of an unexpected layout: " + cabinet.string();
    return false;
  }
  std::size_t at = Get(bytes, kHeaderFilesOffset, 4);
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::size_t name = at + kFileEntrySize;
    if (name + stored[i].size() >= bytes.size() ||
        bytes.compare(name, placeholders[i].size() + 1, placeholders[i].c_str(),
                      placeholders[i].size() + 1) != 0) {
      error = "gcab did not store file " + std::to_string(i) + " as " + placeholders[i];
      return false;
    }
    bytes.replace(name, stored[i].size(), stored[i]);
    bool ascii = true;
    for (unsigned char byte : stored[i])
      ascii = ascii && byte < 0x80;
    const std::size_t attributes = at + kFileAttributes;
    bytes[attributes] = static_cast<char>(ascii ? bytes[attributes] & ~kAttributeUtf8Name
                                                : bytes[attributes] | kAttributeUtf8Name);
    at = name + stored[i].size() + 1;
  }
  return WriteWholeFile(cabinet, bytes, error);
}

}  // namespace orv::patchkit
