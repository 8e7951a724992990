#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

// Temporary folders and whole-file helpers for the Win32 back-end tests.
// Paths are ANSI (code page 932 under the test runner) with `\`.
namespace orv::test::win32 {

inline void DeleteTree(const std::string& folder)
{
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = data.cFileName;
      if (name == "." || name == "..")
        continue;
      const std::string path = folder + "\\" + name;
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        DeleteTree(path);
      else
        DeleteFileA(path.c_str());
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
  RemoveDirectoryA(folder.c_str());
}

// A fresh folder under the temporary folder, removed with all it holds.
class TempFolder {
 public:
  TempFolder()
  {
    static unsigned counter = 0;
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    // Process ids come round again; a folder an earlier run could not remove
    // is passed over.
    for (int attempt = 0; attempt < 100; ++attempt) {
      m_path = std::string(base) + "orv-win32-" + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(++counter);
      DeleteTree(m_path);
      if (CreateDirectoryA(m_path.c_str(), nullptr))
        return;
    }
    ADD_FAILURE() << "no temporary folder could be made: " << m_path;
  }
  ~TempFolder() { DeleteTree(m_path); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return m_path; }
  std::string operator/(const std::string& relative) const { return m_path + "\\" + relative; }

 private:
  std::string m_path;
};

inline void WriteWholeFile(const std::string& path, const std::string& content)
{
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr) << path;
  std::fwrite(content.data(), 1, content.size(), file);
  std::fclose(file);
}

// The file's content, or "<missing>" when it cannot be opened.
inline std::string ReadWholeFile(const std::string& path)
{
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file)
    return "<missing>";
  std::string content;
  char chunk[4096];
  std::size_t count;
  while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0)
    content.append(chunk, count);
  std::fclose(file);
  return content;
}

inline bool Exists(const std::string& path)
{
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Wine hands a name outside ASCII to Linux in the charset of the glibc
// locale LC_ALL names; without that locale installed such a name cannot be
// created at all.
inline bool JapaneseNamesWork()
{
  static const bool works = [] {
    TempFolder probe;
    return CreateDirectoryA((probe / "テスト").c_str(), nullptr) != FALSE;
  }();
  return works;
}

}  // namespace orv::test::win32
