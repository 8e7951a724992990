#include "platform/posix/VersionResourcePosix.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>

#include "platform/posix/Cp932.h"

namespace orv::posix {

namespace {

constexpr std::string_view kSectionName = ".orv.version";
constexpr std::string_view kFormat = "OrvVersion1";
constexpr std::string_view kTranslationName = "Translation";
// The block begins with the translation (language, code page: two 16-bit
// numbers) as the Windows resource gives it; the name and value texts follow.
constexpr std::size_t kTranslationSize = 4;
// A version table is a few hundred bytes; anything larger is not one, and a
// plugin folder may hold any file under a plugin's name.
constexpr std::uint64_t kMaxSectionSize = 64 * 1024;
// Section names only: a few kilobytes even with debugging sections.
constexpr std::uint64_t kMaxNameTableSize = 1024 * 1024;

class File {
 public:
  // Not blocking: a named pipe under a plugin's name must not hold the
  // launcher; only a regular file is read.
  explicit File(const std::string& path)
      : m_fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK))
  {
    struct stat info = {};
    if (m_fd >= 0 && fstat(m_fd, &info) == 0 && S_ISREG(info.st_mode))
      m_size = static_cast<std::uint64_t>(info.st_size);
  }
  ~File()
  {
    if (m_fd >= 0)
      close(m_fd);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Reads exactly size bytes at offset; false when any of them lies past the
  // end of the file.
  bool ReadAt(std::uint64_t offset, std::uint64_t size, void* into) const
  {
    if (offset > m_size || size > m_size - offset)
      return false;
    auto* bytes = static_cast<char*>(into);
    while (size > 0) {
      const ssize_t got = pread(m_fd, bytes, size, static_cast<off_t>(offset));
      if (got <= 0)
        return false;
      bytes += got;
      offset += static_cast<std::uint64_t>(got);
      size -= static_cast<std::uint64_t>(got);
    }
    return true;
  }

 private:
  int m_fd;
  std::uint64_t m_size = 0;
};

struct Section {
  std::uint32_t name;
  std::uint32_t type;
  std::uint64_t offset;
  std::uint64_t size;
};

// The section headers of a 32- or 64-bit little-endian ELF file.
template <typename Header, typename SectionHeader>
bool ReadSections(const File& file, std::vector<Section>& sections, std::size_t& nameTable)
{
  Header header = {};
  if (!file.ReadAt(0, sizeof header, &header) || header.e_shentsize != sizeof(SectionHeader) ||
      header.e_shnum == 0 || header.e_shstrndx >= header.e_shnum)
    return false;
  std::vector<SectionHeader> raw(header.e_shnum);
  if (!file.ReadAt(header.e_shoff, raw.size() * sizeof(SectionHeader), raw.data()))
    return false;
  for (const SectionHeader& section : raw)
    sections.push_back({section.sh_name, section.sh_type, section.sh_offset, section.sh_size});
  nameTable = header.e_shstrndx;
  return true;
}

bool ReadSection(const File& file, const Section& section, std::uint64_t limit,
                 std::string& contents)
{
  if (section.type == SHT_NOBITS || section.size > limit)
    return false;
  contents.resize(section.size);
  return file.ReadAt(section.offset, section.size, contents.data());
}

// The contents of the version section, or false when the file is no ELF file
// or has none.
bool FindVersionSection(const File& file, std::string& contents)
{
  unsigned char ident[EI_NIDENT] = {};
  if (!file.ReadAt(0, sizeof ident, ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0 ||
      ident[EI_DATA] != ELFDATA2LSB)
    return false;
  std::vector<Section> sections;
  std::size_t nameTableIndex = 0;
  const bool read = ident[EI_CLASS] == ELFCLASS64
                        ? ReadSections<Elf64_Ehdr, Elf64_Shdr>(file, sections, nameTableIndex)
                    : ident[EI_CLASS] == ELFCLASS32
                        ? ReadSections<Elf32_Ehdr, Elf32_Shdr>(file, sections, nameTableIndex)
                        : false;
  std::string names;
  if (!read || !ReadSection(file, sections[nameTableIndex], kMaxNameTableSize, names))
    return false;
  for (const Section& section : sections) {
    if (section.name >= names.size())
      continue;
    const std::size_t end = names.find('\0', section.name);
    if (end != std::string::npos &&
        std::string_view(names).substr(section.name, end - section.name) == kSectionName)
      return ReadSection(file, section, kMaxSectionSize, contents);
  }
  return false;
}

int HexDigit(char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// Eight hexadecimal digits: the language, then the code page.
bool ParseTranslation(std::string_view text, std::uint16_t& language, std::uint16_t& codePage)
{
  if (text.size() != 8)
    return false;
  std::uint32_t value = 0;
  for (char c : text) {
    const int digit = HexDigit(c);
    if (digit < 0)
      return false;
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  language = static_cast<std::uint16_t>(value >> 16);
  codePage = static_cast<std::uint16_t>(value & 0xFFFF);
  return true;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b)
{
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i]))
      return false;
  }
  return true;
}

// The section's texts one by one; false at the end, and for good when a
// text runs past the section without its terminating zero.
class Texts {
 public:
  explicit Texts(std::string_view all) : m_all(all) {}
  bool Next(std::string_view& text)
  {
    const std::size_t end = m_all.find('\0', m_at);
    if (end == std::string_view::npos)
      return false;
    text = m_all.substr(m_at, end - m_at);
    m_at = end + 1;
    return true;
  }
  bool AtEnd() const { return m_at == m_all.size(); }

 private:
  std::string_view m_all;
  std::size_t m_at = 0;
};

}  // namespace

bool VersionResourcePosix::Read(const char* path, std::vector<std::uint8_t>& block)
{
  block.clear();
  std::string native;
  if (!path || !ToNativePath(path, native))
    return false;
  std::string section;
  if (!FindVersionSection(File(native), section))
    return false;

  Texts texts(section);
  std::string_view format, name, translation;
  std::uint16_t language = 0;
  std::uint16_t codePage = 0;
  if (!texts.Next(format) || format != kFormat || !texts.Next(name) || name != kTranslationName ||
      !texts.Next(translation) || !ParseTranslation(translation, language, codePage))
    return false;

  std::vector<std::uint8_t> result(kTranslationSize);
  std::memcpy(result.data(), &language, 2);
  std::memcpy(result.data() + 2, &codePage, 2);
  // Name and value pairs up to the end of the section, or up to an empty
  // name: the table's own terminating zero. A text without its zero means
  // the section is damaged, and nothing of it is trusted.
  std::string_view value;
  while (!texts.AtEnd()) {
    if (!texts.Next(name))
      return false;
    if (name.empty())
      break;
    if (!texts.Next(value))
      return false;
    result.insert(result.end(), name.begin(), name.end());
    result.push_back(0);
    result.insert(result.end(), value.begin(), value.end());
    result.push_back(0);
  }
  block = std::move(result);
  return true;
}

bool VersionResourcePosix::Query(const std::vector<std::uint8_t>& block, const char* subBlock,
                                 const void** value, std::size_t* size)
{
  if (block.size() < kTranslationSize || !subBlock || !value || !size)
    return false;
  const std::string_view query(subBlock);
  if (EqualIgnoringCase(query, "\\VarFileInfo\\Translation")) {
    *value = block.data();
    *size = kTranslationSize;
    return true;
  }

  constexpr std::string_view kStrings = "\\StringFileInfo\\";
  if (query.size() < kStrings.size() + 9 ||
      !EqualIgnoringCase(query.substr(0, kStrings.size()), kStrings) ||
      query[kStrings.size() + 8] != '\\')
    return false;
  std::uint16_t language = 0;
  std::uint16_t codePage = 0;
  if (!ParseTranslation(query.substr(kStrings.size(), 8), language, codePage) ||
      std::memcmp(&language, block.data(), 2) != 0 ||
      std::memcmp(&codePage, block.data() + 2, 2) != 0)
    return false;
  const std::string_view wanted = query.substr(kStrings.size() + 9);

  const std::string_view strings(reinterpret_cast<const char*>(block.data()) + kTranslationSize,
                                 block.size() - kTranslationSize);
  Texts texts(strings);
  std::string_view name, text;
  while (texts.Next(name) && texts.Next(text)) {
    if (EqualIgnoringCase(name, wanted)) {
      *value = text.data();
      *size = text.size() + 1;
      return true;
    }
  }
  return false;
}

}  // namespace orv::posix
