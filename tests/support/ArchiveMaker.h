#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "patchkit/ArchiveMaker.h"

namespace orv::test {

// The archive writer and reader live in tools/patchkit, shared with the
// step builder; these report its failures to the current test.

// One entry of an archive or a patch. packed: stored zlib-compressed
// (compress2) with bit 31 of its stored size set.
using ArchiveEntry = patchkit::ArchiveEntry;

// One record of a .hed as it stands in the file.
using RawRecord = patchkit::RawRecord;

// Writes base + ".hed" and base + ".dat" (base: a path without extension)
// holding the entries in index order: the name table (record 0) at offset 0,
// then the entries. The formats are written here independently of the
// launcher's code, so that the two check each other.
void WriteArchive(const std::filesystem::path& base, const std::vector<ArchiveEntry>& entries,
                  bool packNames = false);

// The bytes of a .dfl holding the entries in order; packNames stores the
// names block packed.
std::string MakeDfl(const std::vector<ArchiveEntry>& entries, bool packNames = false);

// Reads an archive back through its name table: the names in index order
// with each entry's unpacked bytes (packed: whether it was stored packed).
// Fails the current test on a malformed archive.
std::vector<ArchiveEntry> ReadArchive(const std::filesystem::path& base);

// Every record of a .hed, trailing empty ones included.
std::vector<RawRecord> ReadIndex(const std::filesystem::path& hedPath);

// The four bytes of a 32-bit little-endian number.
std::string Le32(std::uint32_t value);

}  // namespace orv::test
