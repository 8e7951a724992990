#include "patchkit/Files.h"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace orv::patchkit {

bool ReadWholeFile(const std::filesystem::path& path, std::string& bytes, std::string& error)
{
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path.string();
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    error = "cannot read " + path.string();
    return false;
  }
  return true;
}

bool WriteWholeFile(const std::filesystem::path& path, const std::string& bytes,
                    std::string& error)
{
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    error = "cannot create " + path.string();
    return false;
  }
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    error = "cannot write " + path.string();
    return false;
  }
  return true;
}

ScratchFolder::ScratchFolder()
{
  std::error_code failure;
  const std::filesystem::path base = std::filesystem::temp_directory_path(failure);
  if (failure) {
    m_error = "no temporary folder: " + failure.message();
    return;
  }
  std::string pattern = (base / "orv-patchkit-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    m_error = "cannot create a folder under " + base.string() + ": " + std::strerror(errno);
    return;
  }
  m_path = pattern;
}

ScratchFolder::~ScratchFolder()
{
  if (m_path.empty())
    return;
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

}  // namespace orv::patchkit
