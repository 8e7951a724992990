#include "support/ArchiveMaker.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "support/TempDir.h"

namespace orv::test {

namespace {

constexpr std::uint32_t kPacked = 0x80000000u;

std::uint32_t Size32(std::size_t size) { return static_cast<std::uint32_t>(size); }

std::string Pack(const std::string& bytes)
{
  uLongf length = compressBound(bytes.size());
  std::string packed(length, '\0');
  const int status = compress2(reinterpret_cast<Bytef*>(packed.data()), &length,
                               reinterpret_cast<const Bytef*>(bytes.data()), bytes.size(), 6);
  EXPECT_EQ(status, Z_OK);
  packed.resize(length);
  return packed;
}

// The stored bytes and the two size words of one entry.
struct Stored {
  std::string bytes;
  std::uint32_t packSize;
  std::uint32_t unpackSize;
};

Stored Store(const std::string& bytes, bool packed)
{
  if (!packed)
    return {bytes, Size32(bytes.size()), Size32(bytes.size())};
  std::string stored = Pack(bytes);
  const std::uint32_t packSize = Size32(stored.size()) | kPacked;
  return {std::move(stored), packSize, Size32(bytes.size())};
}

std::uint32_t At(const std::string& bytes, std::size_t offset)
{
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + offset;
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The unpacked bytes of a stored entry; a failure fails the current test.
bool Unstore(const std::string& stored, std::uint32_t packSize, std::uint32_t unpackSize,
             std::string& out)
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
    ADD_FAILURE() << "an entry does not unpack to its size " << unpackSize;
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

void WriteArchive(const std::filesystem::path& base, const std::vector<ArchiveEntry>& entries,
                  bool packNames)
{
  std::string table = Le32(Size32(entries.size()));
  for (const ArchiveEntry& entry : entries)
    table += entry.name + '\0';
  std::string hed, dat;
  auto add = [&](const Stored& stored) {
    hed += Le32(Size32(dat.size())) + Le32(stored.packSize) + Le32(stored.unpackSize);
    dat += stored.bytes;
  };
  add(Store(table, packNames));
  for (const ArchiveEntry& entry : entries)
    add(Store(entry.bytes, entry.packed));
  WriteFile(WithExtension(base, ".hed"), hed);
  WriteFile(WithExtension(base, ".dat"), dat);
}

std::string MakeDfl(const std::vector<ArchiveEntry>& entries, bool packNames)
{
  std::string names;
  for (const ArchiveEntry& entry : entries)
    names += entry.name + '\0';
  const Stored block = Store(names, packNames);
  std::string dfl = Le32(Size32(entries.size())) + Le32(block.packSize) +
                    Le32(block.unpackSize) + block.bytes;
  for (const ArchiveEntry& entry : entries) {
    const Stored stored = Store(entry.bytes, entry.packed);
    dfl += Le32(stored.packSize) + Le32(stored.unpackSize) + stored.bytes;
  }
  return dfl;
}

std::vector<RawRecord> ReadIndex(const std::filesystem::path& hedPath)
{
  const std::string hed = ReadFile(hedPath);
  EXPECT_EQ(hed.size() % 12, 0u) << hedPath;
  std::vector<RawRecord> records;
  for (std::size_t at = 0; at + 12 <= hed.size(); at += 12)
    records.push_back({At(hed, at), At(hed, at + 4), At(hed, at + 8)});
  return records;
}

std::vector<ArchiveEntry> ReadArchive(const std::filesystem::path& base)
{
  const std::vector<RawRecord> records = ReadIndex(WithExtension(base, ".hed"));
  const std::string dat = ReadFile(WithExtension(base, ".dat"));
  auto entryBytes = [&](const RawRecord& record, std::string& out) {
    const std::uint32_t stored = record.packSize & ~kPacked;
    if (std::uint64_t{record.offset} + stored > dat.size()) {
      ADD_FAILURE() << "a record points past the end of " << base << ".dat";
      return false;
    }
    return Unstore(dat.substr(record.offset, stored), record.packSize, record.unpackSize, out);
  };
  if (records.empty()) {
    ADD_FAILURE() << base << ".hed holds no record";
    return {};
  }
  std::string table;
  if (!entryBytes(records[0], table))
    return {};
  if (table.size() < 4) {
    ADD_FAILURE() << "the name table of " << base << " has no count";
    return {};
  }
  const std::uint32_t count = At(table, 0);
  if (records.size() <= count) {
    ADD_FAILURE() << base << ".hed holds fewer records than names";
    return {};
  }
  std::vector<ArchiveEntry> entries;
  std::size_t cursor = 4;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t nul = table.find('\0', cursor);
    if (nul == std::string::npos) {
      ADD_FAILURE() << "the name table of " << base << " ends inside its names";
      return {};
    }
    ArchiveEntry entry{table.substr(cursor, nul - cursor), {}, false};
    cursor = nul + 1;
    const RawRecord& record = records[i + 1];
    entry.packed = (record.packSize & kPacked) != 0;
    if (!entryBytes(record, entry.bytes))
      return {};
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace orv::test
