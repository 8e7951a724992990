// Game folders as lists of launcher names, and byte comparison of files.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>

#include "MkStep.h"
#include "app/Text.h"
#include "patcher/Placement.h"
#include "patcher/VersionCheck.h"
#include "patchkit/Files.h"

namespace orv::mkstep {

const GameFile* GameFolder::Find(const Sjis& name) const
{
  const auto found =
      std::lower_bound(files.begin(), files.end(), name,
                       [](const GameFile& file, const Sjis& n) { return file.name < n; });
  return found != files.end() && found->name == name ? &*found : nullptr;
}

const GameFolderEntry* GameFolder::FindFolder(const Sjis& name) const
{
  const auto found = std::lower_bound(
      folders.begin(), folders.end(), name,
      [](const GameFolderEntry& folder, const Sjis& n) { return folder.name < n; });
  return found != folders.end() && found->name == name ? &*found : nullptr;
}

namespace {

// Why the launcher or a player's Windows could not take this name, or "".
std::string NameRefusal(const fs::path& relative, Sjis& name)
{
  const std::string windows = WindowsRefusal(Utf8Path(relative.filename()));
  if (!windows.empty())
    return "the name holds " + windows;
  if (!LauncherName(relative, name))
    return "the name has no Shift_JIS form that converts back to the same name";
  if (IsReservedGamePath(name))
    return "the launcher uses this name for its own files in the game folder";
  return {};
}

}  // namespace

bool ScanGameFolder(const fs::path& root, GameFolder& folder, std::string& error)
{
  folder = {};
  std::error_code failure;
  fs::recursive_directory_iterator walk(root, failure);
  if (failure) {
    error = "cannot list " + Utf8Path(root) + ": " + failure.message();
    return false;
  }
  // Windows holds one of two names that differ only in case.
  std::map<Utf8, Utf8> byFoldedName;
  for (; walk != fs::recursive_directory_iterator(); walk.increment(failure)) {
    if (failure)
      break;
    const fs::directory_entry& entry = *walk;
    const fs::path relative = entry.path().lexically_relative(root);
    const Utf8 shown = ShownName(relative);
    const fs::file_status status = entry.symlink_status(failure);
    if (failure)
      break;
    const bool isFolder = fs::is_directory(status);
    auto refuse = [&](const std::string& why) {
      folder.refused.push_back({shown, why});
      if (isFolder)
        walk.disable_recursion_pending();
    };
    if (!isFolder && !fs::is_regular_file(status)) {
      refuse(fs::is_symlink(status) ? "a link: players' folders cannot hold it as such"
                                    : "neither a file nor a folder (a device, pipe or socket)");
      continue;
    }
    Sjis name;
    const std::string why = NameRefusal(relative, name);
    if (!why.empty()) {
      refuse(why);
      continue;
    }
    const auto [other, fresh] = byFoldedName.emplace(FoldName(shown), shown);
    if (!fresh) {
      refuse("differs only in case from " + other->second + ": Windows holds one of the two");
      continue;
    }
    if (isFolder) {
      folder.folders.push_back({name, shown, false});
      continue;
    }
    folder.files.push_back({name, shown, entry.path(), entry.file_size(failure)});
    if (failure)
      break;
  }
  if (failure) {
    error = "cannot list " + Utf8Path(root) + ": " + failure.message();
    return false;
  }
  std::sort(folder.files.begin(), folder.files.end(),
            [](const GameFile& a, const GameFile& b) { return a.name < b.name; });
  std::sort(folder.folders.begin(), folder.folders.end(),
            [](const GameFolderEntry& a, const GameFolderEntry& b) { return a.name < b.name; });
  // A folder holds files when one lies under it, however deep.
  for (const GameFile& file : folder.files) {
    for (std::size_t i = 0; i < file.name.size(); ++i) {
      const unsigned char byte = static_cast<unsigned char>(file.name[i]);
      if (IsLeadByte(byte) && i + 1 < file.name.size()) {
        ++i;
      } else if (byte == '\\') {
        auto* parent = const_cast<GameFolderEntry*>(folder.FindFolder(file.name.substr(0, i)));
        if (parent)
          parent->holdsFiles = true;
      }
    }
  }
  std::sort(folder.refused.begin(), folder.refused.end(),
            [](const Refusal& a, const Refusal& b) { return a.name < b.name; });
  return true;
}

bool ReadGameVersion(const fs::path& root, std::int32_t& version, std::string& error)
{
  std::string text;
  if (!patchkit::ReadWholeFile(root / "orv.ver", text, error))
    return false;
  if (!ParseVersion(text.data(), text.size(), version)) {
    error = Utf8Path(root / "orv.ver") + " holds no version number";
    return false;
  }
  return true;
}

bool SameFileBytes(const fs::path& a, const fs::path& b, bool& same, std::string& error)
{
  std::error_code failure;
  const std::uintmax_t sizeA = fs::file_size(a, failure);
  const std::uintmax_t sizeB = failure ? 0 : fs::file_size(b, failure);
  if (failure) {
    error = "cannot measure " + Utf8Path(a) + " or " + Utf8Path(b) + ": " + failure.message();
    return false;
  }
  same = sizeA == sizeB;
  if (!same)
    return true;
  std::ifstream inA(a, std::ios::binary), inB(b, std::ios::binary);
  if (!inA || !inB) {
    error = "cannot open " + Utf8Path(inA ? b : a);
    return false;
  }
  constexpr std::size_t kBlock = 1u << 20;
  std::unique_ptr<char[]> blockA(new char[kBlock]), blockB(new char[kBlock]);
  for (std::uintmax_t left = sizeA; left > 0;) {
    const auto size = static_cast<std::streamsize>(std::min<std::uintmax_t>(left, kBlock));
    if (!inA.read(blockA.get(), size) || !inB.read(blockB.get(), size)) {
      error = "cannot read " + Utf8Path(inA ? b : a);
      return false;
    }
    if (std::memcmp(blockA.get(), blockB.get(), static_cast<std::size_t>(size)) != 0) {
      same = false;
      return true;
    }
    left -= static_cast<std::uintmax_t>(size);
  }
  return true;
}

std::string FoldCase(const std::string& name)
{
  std::string folded = name;
  for (std::size_t i = 0; i < folded.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(folded[i]);
    if (IsLeadByte(byte) && i + 1 < folded.size())
      ++i;  // the second byte of a double-byte character is no letter
    else if (byte >= 'A' && byte <= 'Z')
      folded[i] = static_cast<char>(byte - 'A' + 'a');
  }
  return folded;
}

std::string BaseNameOf(const std::string& name)
{
  std::size_t start = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(name[i]);
    if (IsLeadByte(byte) && i + 1 < name.size())
      ++i;
    else if (byte == '\\')
      start = i + 1;
  }
  return name.substr(start);
}

}  // namespace orv::mkstep
