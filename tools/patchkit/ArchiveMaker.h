#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace orv::patchkit {

// One entry of an archive or a patch. packed: stored zlib-compressed
// (compress2) with bit 31 of its stored size set.
struct ArchiveEntry {
  std::string name;
  std::string bytes;
  bool packed = false;
};

// One record of a .hed as it stands in the file.
struct RawRecord {
  std::uint32_t offset = 0;
  std::uint32_t packSize = 0;
  std::uint32_t unpackSize = 0;
  bool operator==(const RawRecord&) const = default;
};

// Every function answers false with the reason in `error` when it fails.
//
// The formats are written and read here independently of the launcher's
// code, so that the two check each other.

// Writes base + ".hed" and base + ".dat" (base: a path without extension)
// holding the entries in index order: the name table (record 0) at offset 0,
// then the entries.
bool WriteArchive(const std::filesystem::path& base, const std::vector<ArchiveEntry>& entries,
                  bool packNames, std::string& error);

// The bytes of a .dfl holding the entries in order; packNames stores the
// names block packed.
bool MakeDfl(const std::vector<ArchiveEntry>& entries, bool packNames, std::string& dfl,
             std::string& error);

// Every record of a .hed, trailing empty ones included. A missing file holds
// no record; a file that ends inside a record is refused (the whole records
// before the end are still returned).
bool ReadIndex(const std::filesystem::path& hedPath, std::vector<RawRecord>& records,
               std::string& error);

// Reads an archive back through its name table: the names in index order
// with each entry's unpacked bytes (packed: whether it was stored packed).
bool ReadArchive(const std::filesystem::path& base, std::vector<ArchiveEntry>& entries,
                 std::string& error);

// The four bytes of a 32-bit little-endian number.
std::string Le32(std::uint32_t value);

}  // namespace orv::patchkit
