// The cabinets on Linux: libgcab lays them out and compresses them, reading
// each file from where it lies; the names are then written in place.
#include "patchkit/CabinetMaker.h"

#include <libgcab.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "patchkit/CabinetWriter.h"
#include "platform/posix/Cp932.h"

namespace orv::patchkit {

namespace {

// Where the cabinet keeps its file table.
constexpr std::size_t kHeaderSize = 0x24;
constexpr std::size_t kHeaderFilesOffset = 0x10;  // u32: offset of the first file entry
constexpr std::size_t kHeaderFileCount = 0x1C;    // u16
constexpr std::size_t kHeaderFlags = 0x1E;        // u16
constexpr std::uint16_t kFlagReserve = 0x0004;    // reserved areas shift every offset
constexpr std::size_t kFileEntrySize = 16;        // fixed part; the name follows
constexpr std::size_t kFileAttributes = 14;       // u16 within a file entry
constexpr std::uint16_t kAttributeUtf8Name = 0x80;
// The file count is a 16-bit field of the header.
constexpr std::size_t kMaxFiles = 0xFFFF;

template <typename T>
struct GObjectUnref {
  void operator()(T* object) const { g_object_unref(object); }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectUnref<T>>;

struct GErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};

std::string Reason(GError* error)
{
  const std::unique_ptr<GError, GErrorFree> owned(error);
  return error != nullptr ? error->message : "no reason given";
}

// The bytes a name is stored as: `\` separators, and UTF-8 where the name
// is Shift_JIS, as the usual tools store names that are not ASCII.
bool StoredName(const std::string& name, std::string& stored)
{
  return posix::Cp932ToUtf8(CabinetName(name), stored);
}

// A plain file name of the given length, different for every index: the
// library stores it, and it is then overwritten in place by the real name.
// The library would tidy a real name ("..", leading separators, drive
// letters) and store it as it sees fit; hostile names must stay as given.
bool Placeholder(std::size_t index, std::size_t length, std::string& placeholder)
{
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  placeholder.assign(length, '_');
  for (std::size_t i = length; i-- > 0 && index > 0; index /= 36)
    placeholder[i] = kDigits[index % 36];
  return index == 0 && length > 0;
}

// A name the library stores as it is given: letters, digits, '_', '-' and
// dots inside.
bool IsPlain(const std::string& name)
{
  if (name.empty() || name.front() == '.' || name.back() == '.')
    return false;
  for (const char c : name) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letter && c != '_' && c != '-' && c != '.')
      return false;
  }
  return true;
}

std::uint32_t Get(const std::string& bytes, std::size_t at, int width)
{
  std::uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  return value;
}

GCabFile* NewFile(const CabinetFile& file, const std::string& name)
{
  if (!file.source.empty()) {
    const GPtr<GFile> source(g_file_new_for_path(file.source.c_str()));
    return gcab_file_new_with_file(name.c_str(), source.get());
  }
  GBytes* bytes = g_bytes_new(file.content.data(), file.content.size());
  GCabFile* made = gcab_file_new_with_bytes(name.c_str(), bytes);
  g_bytes_unref(bytes);
  return made;
}

bool WriteWithPlaceholders(const std::filesystem::path& cabinet,
                           const std::vector<CabinetFile>& files,
                           const std::vector<std::string>& placeholders, bool compress,
                           std::string& error)
{
  const GPtr<GCabFolder> folder(
      gcab_folder_new(compress ? GCAB_COMPRESSION_MSZIP : GCAB_COMPRESSION_NONE));
  for (std::size_t i = 0; i < files.size(); ++i) {
    const GPtr<GCabFile> file(NewFile(files[i], placeholders[i]));
    GError* failure = nullptr;
    if (!gcab_folder_add_file(folder.get(), file.get(), FALSE, nullptr, &failure)) {
      error = "cannot add file " + std::to_string(i) + " to the cabinet: " + Reason(failure);
      return false;
    }
  }
  const GPtr<GCabCabinet> made(gcab_cabinet_new());
  GError* failure = nullptr;
  if (!gcab_cabinet_add_folder(made.get(), folder.get(), &failure)) {
    error = "cannot lay out the cabinet: " + Reason(failure);
    return false;
  }
  const GPtr<GFile> target(g_file_new_for_path(cabinet.c_str()));
  const GPtr<GFileOutputStream> out(g_file_replace(
      target.get(), nullptr, FALSE, G_FILE_CREATE_REPLACE_DESTINATION, nullptr, &failure));
  if (!out) {
    error = "cannot create " + cabinet.string() + ": " + Reason(failure);
    return false;
  }
  if (!gcab_cabinet_write_simple(made.get(), G_OUTPUT_STREAM(out.get()), nullptr, nullptr, nullptr,
                                 &failure)) {
    error = "cannot write " + cabinet.string() + ": " + Reason(failure);
    return false;
  }
  if (!g_output_stream_close(G_OUTPUT_STREAM(out.get()), nullptr, &failure)) {
    error = "cannot finish " + cabinet.string() + ": " + Reason(failure);
    return false;
  }
  return true;
}

// Replaces the placeholders by the stored names in the file table, which
// lies before the data; only the table is read, however large the data.
bool WriteNames(const std::filesystem::path& cabinet, const std::vector<std::string>& stored,
                const std::vector<std::string>& placeholders, std::string& error)
{
  std::fstream file(cabinet, std::ios::in | std::ios::out | std::ios::binary);
  std::string header(kHeaderSize, '\0');
  if (!file || !file.read(header.data(), static_cast<std::streamsize>(header.size())) ||
      header.compare(0, 4, "MSCF") != 0 || (Get(header, kHeaderFlags, 2) & kFlagReserve) != 0 ||
      Get(header, kHeaderFileCount, 2) != stored.size()) {
    error = "libgcab wrote a cabinet of an unexpected layout: " + cabinet.string();
    return false;
  }
  const std::size_t tableStart = Get(header, kHeaderFilesOffset, 4);
  std::size_t tableSize = 0;
  for (const std::string& name : stored)
    tableSize += kFileEntrySize + name.size() + 1;
  std::string table(tableSize, '\0');
  if (!file.seekg(static_cast<std::streamoff>(tableStart)) ||
      !file.read(table.data(), static_cast<std::streamsize>(table.size()))) {
    error = "cannot read the file table of " + cabinet.string();
    return false;
  }
  std::size_t at = 0;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    const std::size_t name = at + kFileEntrySize;
    if (table.compare(name, placeholders[i].size() + 1, placeholders[i].c_str(),
                      placeholders[i].size() + 1) != 0) {
      error = "libgcab did not store file " + std::to_string(i) + " as " + placeholders[i];
      return false;
    }
    table.replace(name, stored[i].size(), stored[i]);
    bool ascii = true;
    for (unsigned char byte : stored[i])
      ascii = ascii && byte < 0x80;
    const std::size_t attributes = at + kFileAttributes;
    table[attributes] = static_cast<char>(ascii ? table[attributes] & ~kAttributeUtf8Name
                                                : table[attributes] | kAttributeUtf8Name);
    at = name + stored[i].size() + 1;
  }
  if (!file.seekp(static_cast<std::streamoff>(tableStart)) ||
      !file.write(table.data(), static_cast<std::streamsize>(table.size())) || !file.flush()) {
    error = "cannot write the names into " + cabinet.string();
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
  std::vector<std::string> stored(files.size());
  std::vector<std::string> placeholders(files.size());
  // A plain name stands for itself; the others get a placeholder of their
  // length that no name of the cabinet uses, counted per length, so that
  // one short name among many files still finds one.
  std::set<std::string> used;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!StoredName(files[i].name, stored[i])) {
      error = "cannot store the cabinet name of file " + std::to_string(i);
      return false;
    }
    if (IsPlain(stored[i]) && used.insert(stored[i]).second)
      placeholders[i] = stored[i];
  }
  std::map<std::size_t, std::size_t> nextOfLength;
  for (std::size_t i = 0; i < files.size(); ++i) {
    while (placeholders[i].empty()) {
      std::string candidate;
      if (!Placeholder(nextOfLength[stored[i].size()]++, stored[i].size(), candidate)) {
        error = "no placeholder of length " + std::to_string(stored[i].size()) +
                " is left for the cabinet name of file " + std::to_string(i);
        return false;
      }
      if (used.insert(candidate).second)
        placeholders[i] = candidate;
    }
  }
  return WriteWithPlaceholders(cabinet, files, placeholders, compress, error) &&
         WriteNames(cabinet, stored, placeholders, error);
}

}  // namespace orv::patchkit
