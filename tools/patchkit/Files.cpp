#include "patchkit/Files.h"

#include <fstream>
#include <iterator>
#include <random>

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
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate = base / ("orv-patchkit-" + std::to_string(random()));
    // False without an error: the name is taken, try another.
    if (std::filesystem::create_directory(candidate, failure)) {
      m_path = candidate;
      return;
    }
    if (failure) {
      m_error = "cannot create a folder under " + base.string() + ": " + failure.message();
      return;
    }
  }
  m_error = "no free folder name under " + base.string();
}

ScratchFolder::~ScratchFolder()
{
  if (m_path.empty())
    return;
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

}  // namespace orv::patchkit
