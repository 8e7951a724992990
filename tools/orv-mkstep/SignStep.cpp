// The publisher's signature over a step: a manifest naming the versions and
// every file the launcher downloads for the step, with its size and SHA-256,
// and the signature over the manifest's exact text.
#include <cstdio>
#include <memory>

#include "MkStep.h"
#include "Signer.h"
#include "patcher/StepManifest.h"
#include "patchkit/Files.h"
#ifdef _WIN32
#include "platform/win32/CryptoCng.h"
#else
#include "platform/posix/CryptoOpenSsl.h"
#endif

namespace orv::mkstep {

namespace {

#ifdef _WIN32
using PlatformCrypto = win32::CryptoCng;
#else
using PlatformCrypto = posix::CryptoOpenSsl;
#endif

// The names of dl_list.txt as the launcher reads them: each line that is
// not blank, up to its first comma.
std::vector<std::string> ListedNames(const std::string& list)
{
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start < list.size()) {
    std::size_t end = list.find('\n', start);
    if (end == std::string::npos)
      end = list.size();
    std::string line = list.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (line.empty())
      continue;
    names.push_back(line.substr(0, line.find(',')));
  }
  return names;
}

bool HashFile(Crypto& crypto, const fs::path& path, ManifestFile& file, std::string& error)
{
  std::unique_ptr<Sha256> hash = crypto.NewSha256();
  std::FILE* in = OpenFile(path, "rb");
  if (!hash || !in) {
    if (in)
      std::fclose(in);
    error = "cannot read " + Utf8Path(path);
    return false;
  }
  std::vector<char> buffer(1 << 20);
  std::size_t got = 0;
  file.size = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
    hash->Update(buffer.data(), got);
    file.size += got;
  }
  const bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed) {
    error = "cannot read " + Utf8Path(path);
    return false;
  }
  file.sha256 = hash->Finish();
  return true;
}

// Writes a file beside its name and moves it into place, so that a server
// never serves half of it.
bool ReplaceFile(const fs::path& path, const std::string& bytes, std::string& error)
{
  const fs::path next = path.string() + ".partial";
  if (!patchkit::WriteWholeFile(next, bytes, error))
    return false;
  if (!FlushToDisk(next)) {
    error = "cannot write " + Utf8Path(next) + " to the disk";
    return false;
  }
  std::error_code failure;
  fs::rename(next, path, failure);
  if (failure) {
    error = "cannot move " + Utf8Path(next) + " into place: " + failure.message();
    return false;
  }
  return true;
}

}  // namespace

bool SignStepFolder(const fs::path& folder, std::int32_t from, std::int32_t to,
                    const std::string& privateKeyPem, std::string& error)
{
  std::string list;
  if (!patchkit::ReadWholeFile(folder / "dl_list.txt", list, error))
    return false;
  GameFolder files;
  if (!ScanGameFolder(folder, files, error))
    return false;
  PlatformCrypto crypto;
  StepManifest manifest;
  manifest.from = from;
  manifest.to = to;
  std::vector<std::string> names = ListedNames(list);
  names.insert(names.begin(), "dl_list.txt");
  for (const std::string& name : names) {
    const GameFile* found = files.Find(name);
    if (!found) {
      error = "dl_list.txt names " + Utf8Name(name) + ", which the step folder does not hold";
      return false;
    }
    ManifestFile file;
    file.name = name;
    if (!HashFile(crypto, found->path, file, error))
      return false;
    if (manifest.Find(name)) {
      error = "dl_list.txt names " + Utf8Name(name) + " twice";
      return false;
    }
    manifest.files.push_back(std::move(file));
  }
  const std::string text = FormatStepManifest(manifest);
  std::uint8_t signature[64] = {};
  if (!SignP256(privateKeyPem, text, signature, error))
    return false;
  // The signature goes first: until the manifest it signs is in place a
  // launcher finds the old pair or a mismatch, and tries again.
  return ReplaceFile(folder / "manifest.sig", HexOf(signature, sizeof signature) + "\n", error) &&
         ReplaceFile(folder / "manifest.txt", text, error);
}

}  // namespace orv::mkstep
