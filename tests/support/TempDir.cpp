#include "support/TempDir.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace orv::test {

namespace {

void SetVariable(const std::string& name, const std::string& value)
{
#ifdef _WIN32
  _putenv_s(name.c_str(), value.c_str());
#else
  setenv(name.c_str(), value.c_str(), 1);
#endif
}

void UnsetVariable(const std::string& name)
{
#ifdef _WIN32
  _putenv_s(name.c_str(), "");
#else
  unsetenv(name.c_str());
#endif
}

}  // namespace

TempDir::TempDir() : TempDir(std::filesystem::temp_directory_path()) {}

TempDir::TempDir(const std::filesystem::path& base)
{
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto candidate = base / ("orv-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(candidate)) {
      m_path = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir()
{
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

ScopedCurrentDirectory::ScopedCurrentDirectory(const std::filesystem::path& path)
    : m_previous(std::filesystem::current_path())
{
  std::filesystem::current_path(path);
}

ScopedCurrentDirectory::~ScopedCurrentDirectory()
{
  std::error_code ignored;
  std::filesystem::current_path(m_previous, ignored);
}

ScopedEnvironment::ScopedEnvironment(const char* name, std::optional<std::string> value)
    : m_name(name)
{
  if (const char* previous = std::getenv(name))
    m_previous = previous;
  if (value)
    SetVariable(m_name, *value);
  else
    UnsetVariable(m_name);
}

ScopedEnvironment::~ScopedEnvironment()
{
  if (m_previous)
    SetVariable(m_name, *m_previous);
  else
    UnsetVariable(m_name);
}

std::string ReadFile(const std::filesystem::path& path)
{
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::filesystem::path& path, const std::string& content)
{
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace orv::test
