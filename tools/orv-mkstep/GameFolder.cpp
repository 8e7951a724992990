// Game folders as lists of launcher names, and byte comparison of files.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>

#include "MkStep.h"
#include "app/Text.h"
#include "patcher/VersionCheck.h"
#include "patchkit/Files.h"

namespace orv::mkstep {

const GameFile* GameFolder::Find(const std::string& name) const
{
  const auto found =
      std::lower_bound(files.begin(), files.end(), name,
                       [](const GameFile& file, const std::string& n) { return file.name < n; });
  return found != files.end() && found->name == name ? &*found : nullptr;
}

bool ScanGameFolder(const fs::path& root, GameFolder& folder, std::string& error)
{
  folder = {};
  std::error_code failure;
  fs::recursive_directory_iterator walk(root, failure);
  if (failure) {
    error = "cannot list " + Utf8Path(root) + ": " + failure.message();
    return false;
  }
  for (; walk != fs::recursive_directory_iterator(); walk.increment(failure)) {
    if (failure)
      break;
    const fs::directory_entry& entry = *walk;
    const fs::path relative = entry.path().lexically_relative(root);
    std::string name;
    if (!LauncherName(relative, name)) {
      folder.refused.push_back(Utf8Path(relative));
      if (entry.is_directory(failure))
        walk.disable_recursion_pending();
      continue;
    }
    if (!entry.is_regular_file(failure))
      continue;
    folder.files.push_back({name, entry.path(), entry.file_size(failure)});
    if (failure)
      break;
  }
  if (failure) {
    error = "cannot list " + Utf8Path(root) + ": " + failure.message();
    return false;
  }
  std::sort(folder.files.begin(), folder.files.end(),
            [](const GameFile& a, const GameFile& b) { return a.name < b.name; });
  std::sort(folder.refused.begin(), folder.refused.end());
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
