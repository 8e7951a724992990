#include "patchkit/ArchiveMaker.h"

#include <zlib.h>


#include "patchkit/Files.h"

namespace orv::patchkit {

namespace {

constexpr std::uint32_t kPacked = 0x80000000u;
constexpr std::size_t kRecordSize = 12;

// Sizes are 31-bit fields: bit 31 of a stored size marks packed bytes, so a
// larger size would read back as a different one.
bool Size31(std::size_t size, std::uint32_t& out, std::string& error)
{
  if (size >= kPacked) {
    error = "a size of " + std::to_string(size) + " bytes does not fit an archive record";
    return false;
  }
  out = static_cast<std::uint32_t>(size);
  return true;
}

bool Pack(const std::string& bytes, std::string& packed, std::string& error)
{
  uLongf length = compressBound(bytes.size());
  packed.assign(length, '\0');
  const int status = compress2(reinterpret_cast<Bytef*>(packed.data()), &length,
                               reinterpret_cast<const Bytef*>(bytes.data()), bytes.size(), 6);
  if (status != Z_OK) {
    error = "zlib cannot pack an entry (status " + std::to_string(status) + ")";
    return false;
  }
  packed.resize(length);
  return true;
}

// The stored bytes and the two size words of one entry.
struct Stored {
  std::string bytes;
  std::uint32_t packSize = 0;
  std::uint32_t unpackSize = 0;
};

bool Store(const std::string& bytes, bool packed, Stored& stored, std::string& error)
{
  if (!Size31(bytes.size(), stored.unpackSize, error))
    return false;
  if (!packed) {
    stored.bytes = bytes;
    stored.packSize = stored.unpackSize;
    return true;
  }
  if (!Pack(bytes, stored.bytes, error) || !Size31(stored.bytes.size(), stored.packSize, error))
    return false;
  stored.packSize |= kPacked;
  return true;
}

std::uint32_t At(const std::string& bytes, std::size_t offset)
{
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + offset;
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The unpacked bytes of a stored entry.
bool Unstore(const std::string& stored, std::uint32_t packSize, std::uint32_t unpackSize,
             std::string& out, std::string& error)
{
  if (packSize == unpackSize) {
    out = stored;
    return true;
  }
  out.assign(unpackSize, '\0');
  uLongf length = unpackSize;
  if (uncompress(reinterpret_cast<Bytef*>(out.data()), &length,
                 reinterpret_cast<const Bytef*>(stored.data()), stored.size()) != Z_OK ||
      length != unpackSize) {
    error = "an entry does not unpack to its size " + std::to_string(unpackSize);
    return false;
  }
  return true;
}

std::filesystem::path WithExtension(const std::filesystem::path& base, const char* extension)
{
  std::filesystem::path path = base;
  path += extension;
  return path;
}

}  // namespace

std::string Le32(std::uint32_t value)
{
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i)
    bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

bool WriteArchive(const std::filesystem::path& base, const std::vector<ArchiveEntry>& entries,
                  bool packNames, std::string& error)
{
  std::uint32_t count = 0;
  if (!Size31(entries.size(), count, error))
    return false;
  std::string table = Le32(count);
  for (const ArchiveEntry& entry : entries)
    table += entry.name + '\0';
  std::string hed, dat;
  auto add = [&](const std::string& bytes, bool packed) {
    Stored stored;
    std::uint32_t offset = 0;
    if (!Store(bytes, packed, stored, error) || !Size31(dat.size(), offset, error))
      return false;
    hed += Le32(offset) + Le32(stored.packSize) + Le32(stored.unpackSize);
    dat += stored.bytes;
    return true;
  };
  if (!add(table, packNames))
    return false;
  for (const ArchiveEntry& entry : entries)
    if (!add(entry.bytes, entry.packed))
      return false;
  return WriteWholeFile(WithExtension(base, ".hed"), hed, error) &&
         WriteWholeFile(WithExtension(base, ".dat"), dat, error);
}

bool MakeDfl(const std::vector<ArchiveEntry>& entries, bool packNames, std::string& dfl,
             std::string& error)
{
  std::uint32_t count = 0;
  if (!Size31(entries.size(), count, error))
    return false;
  std::string names;
  for (const ArchiveEntry& entry : entries)
    names += entry.name + '\0';
  Stored block;
  if (!Store(names, packNames, block, error))
    return false;
  dfl = Le32(count) + Le32(block.packSize) + Le32(block.unpackSize) + block.bytes;
  for (const ArchiveEntry& entry : entries) {
    Stored stored;
    if (!Store(entry.bytes, entry.packed, stored, error))
      return false;
    dfl += Le32(stored.packSize) + Le32(stored.unpackSize) + stored.bytes;
  }
  return true;
}

bool ReadIndex(const std::filesystem::path& hedPath, std::vector<RawRecord>& records,
               std::string& error)
{
  records.clear();
  std::error_code ignored;
  if (!std::filesystem::exists(hedPath, ignored))
    return true;
  std::string hed;
  if (!ReadWholeFile(hedPath, hed, error))
    return false;
  for (std::size_t at = 0; at + kRecordSize <= hed.size(); at += kRecordSize)
    records.push_back({At(hed, at), At(hed, at + 4), At(hed, at + 8)});
  if (hed.size() % kRecordSize != 0) {
    error = hedPath.string() + " ends inside a record (" + std::to_string(hed.size()) + " bytes)";
    return false;
  }
  return true;
}

bool ReadArchive(const std::filesystem::path& base, std::vector<ArchiveEntry>& entries,
                 std::string& error)
{
  entries.clear();
  std::vector<RawRecord> records;
  std::string dat;
  if (!ReadIndex(WithExtension(base, ".hed"), records, error) ||
      !ReadWholeFile(WithExtension(base, ".dat"), dat, error))
    return false;
  auto entryBytes = [&](const RawRecord& record, std::string& out) {
    const std::uint32_t stored = record.packSize & ~kPacked;
    if (std::uint64_t{record.offset} + stored > dat.size()) {
      error = "a record points past the end of " + base.string() + ".dat";
      return false;
    }
    return Unstore(dat.substr(record.offset, stored), record.packSize, record.unpackSize, out,
                   error);
  };
  if (records.empty()) {
    error = base.string() + ".hed holds no record";
    return false;
  }
  std::string table;
  if (!entryBytes(records[0], table))
    return false;
  if (table.size() < 4) {
    error = "the name table of " + base.string() + " has no count";
    return false;
  }
  const std::uint32_t count = At(table, 0);
  if (records.size() <= count) {
    error = base.string() + ".hed holds fewer records than names";
    return false;
  }
  std::size_t cursor = 4;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t nul = table.find('\0', cursor);
    if (nul == std::string::npos) {
      error = "the name table of " + base.string() + " ends inside its names";
      entries.clear();
      return false;
    }
    ArchiveEntry entry{table.substr(cursor, nul - cursor), {}, false};
    cursor = nul + 1;
    const RawRecord& record = records[i + 1];
    entry.packed = (record.packSize & kPacked) != 0;
    if (!entryBytes(record, entry.bytes)) {
      entries.clear();
      return false;
    }
    entries.push_back(std::move(entry));
  }
  return true;
}

}  // namespace orv::patchkit
