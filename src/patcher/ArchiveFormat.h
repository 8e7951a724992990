#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

// The game's archive formats: a .hed index of records, a .dat of stored
// bytes, the name table inside the .dat, and the .dfl patch file. Every
// integer is 32-bit unsigned little-endian, whatever the machine.

namespace orv::archive {

// --- IndexRecord: one entry of the .hed, which has no header ---
inline constexpr std::size_t kRecordSize = 12;
inline constexpr std::size_t kRecordOffsetField = 0;      // where the stored bytes start in the .dat
inline constexpr std::size_t kRecordPackSizeField = 4;    // stored size, bit 31 = packed
inline constexpr std::size_t kRecordUnpackSizeField = 8;  // size after unpacking
// Record 0 describes the name table; record i (from 1) the i-th name's entry.
inline constexpr std::uint32_t kNameTableRecord = 0;

// The stored-size word of a record and of a .dfl entry: the low 31 bits count
// the stored bytes, the top bit marks them packed.
inline constexpr std::uint32_t kPackedBit = 0x80000000u;
inline constexpr std::uint32_t kStoredSizeMask = 0x7FFFFFFFu;

// --- Name table: the unpacked bytes of record 0 ---
// A count, then that many names, each ended by one NUL, in index order.
inline constexpr std::size_t kNameCountSize = 4;

// --- .dfl patch file ---
inline constexpr std::size_t kDflEntryCountField = 0;
inline constexpr std::size_t kDflNamesPackSizeField = 4;
inline constexpr std::size_t kDflNamesUnpackSizeField = 8;
inline constexpr std::size_t kDflHeaderSize = 12;  // then the stored names block
// Each entry, in the order of the names: PackSize, UnpackSize, stored bytes.
inline constexpr std::size_t kDflEntryPackSizeField = 0;
inline constexpr std::size_t kDflEntryUnpackSizeField = 4;
inline constexpr std::size_t kDflEntryHeaderSize = 8;

// --- Limits on what a file may claim ---
// The packed format is zlib's, which expands at most 1032:1 (plus a few bytes
// of header): a larger unpacked size than that is a lie, refused before any
// buffer is allocated for it.
inline constexpr std::uint64_t kMaxExpansion = 1032;
inline constexpr std::uint64_t kExpansionSlack = 1024;
// No entry of the game comes near this; a claim above it would only make the
// launcher allocate what the machine may not have.
inline constexpr std::uint32_t kMaxEntrySize = 1u << 30;
// Offsets in records are 32-bit: a .dat cannot grow past this.
inline constexpr std::uint64_t kMaxDatOffset = 0xFFFFFFFFu;

struct IndexRecord {
  std::uint32_t Offset = 0;
  std::uint32_t PackSize = 0;
  std::uint32_t UnpackSize = 0;

  std::uint32_t StoredBytes() const { return PackSize & kStoredSizeMask; }
  // The trailing records the writer leaves describe nothing.
  bool IsEmpty() const { return Offset == 0 && PackSize == 0 && UnpackSize == 0; }
};

inline std::uint32_t ReadLe32(const std::uint8_t* bytes)
{
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

inline void WriteLe32(std::uint8_t* bytes, std::uint32_t value)
{
  bytes[0] = static_cast<std::uint8_t>(value);
  bytes[1] = static_cast<std::uint8_t>(value >> 8);
  bytes[2] = static_cast<std::uint8_t>(value >> 16);
  bytes[3] = static_cast<std::uint8_t>(value >> 24);
}

inline IndexRecord DecodeRecord(const std::uint8_t* bytes)
{
  return {ReadLe32(bytes + kRecordOffsetField), ReadLe32(bytes + kRecordPackSizeField),
          ReadLe32(bytes + kRecordUnpackSizeField)};
}

inline void EncodeRecord(const IndexRecord& record, std::uint8_t* bytes)
{
  WriteLe32(bytes + kRecordOffsetField, record.Offset);
  WriteLe32(bytes + kRecordPackSizeField, record.PackSize);
  WriteLe32(bytes + kRecordUnpackSizeField, record.UnpackSize);
}

// Whether stored bytes of packSize can honestly unpack to unpackSize bytes.
// Equal sizes mean the bytes are used as they are; anything else goes through
// the packing library.
inline bool PlausibleSizes(std::uint32_t packSize, std::uint32_t unpackSize)
{
  const std::uint32_t stored = packSize & kStoredSizeMask;
  if (stored > kMaxEntrySize || unpackSize > kMaxEntrySize)
    return false;
  if (packSize == unpackSize)
    return true;
  return unpackSize <= stored * kMaxExpansion + kExpansionSlack;
}

// Positions past 2 GiB: long is 32-bit on Windows, so fseek/ftell would stop
// there while a .dat may reach 4 GiB.
inline bool SeekTo(std::FILE* file, std::uint64_t offset)
{
  return fseeko64(file, static_cast<std::int64_t>(offset), SEEK_SET) == 0;
}

// Moves to the end and answers the size; false when the file cannot seek.
inline bool SeekToEnd(std::FILE* file, std::uint64_t& size)
{
  if (fseeko64(file, 0, SEEK_END) != 0)
    return false;
  const auto position = ftello64(file);
  if (position < 0)
    return false;
  size = static_cast<std::uint64_t>(position);
  return true;
}

// A stdio stream with a large buffer of its own. glibc ignores the size
// given to setvbuf without a buffer, so the buffer is ours and lives until
// the stream is closed.
class BufferedFile {
 public:
  BufferedFile() = default;
  ~BufferedFile() { Close(); }
  BufferedFile(const BufferedFile&) = delete;
  BufferedFile& operator=(const BufferedFile&) = delete;

  // Takes an open stream (or nullptr); false when there is none.
  bool Attach(std::FILE* file, std::size_t bufferSize)
  {
    Close();
    m_file = file;
    if (!m_file)
      return false;
    m_buffer.reset(new char[bufferSize]);
    std::setvbuf(m_file, m_buffer.get(), _IOFBF, bufferSize);
    return true;
  }
  // False when buffered bytes could not be written; true when not open.
  bool Close()
  {
    if (!m_file)
      return true;
    const bool closed = std::fclose(m_file) == 0;
    m_file = nullptr;
    m_buffer.reset();
    return closed;
  }
  std::FILE* get() const { return m_file; }
  explicit operator bool() const { return m_file != nullptr; }

  bool Read(void* bytes, std::size_t size)
  {
    return size == 0 || std::fread(bytes, 1, size, m_file) == size;
  }
  bool Write(const void* bytes, std::size_t size)
  {
    return size == 0 || std::fwrite(bytes, 1, size, m_file) == size;
  }

 private:
  std::FILE* m_file = nullptr;
  std::unique_ptr<char[]> m_buffer;
};

// Large enough that a big entry goes to the disk in few system calls.
inline constexpr std::size_t kStreamBufferSize = 1u << 20;

// --- An archive's files, named from its path without extension ---
// A patch or a rebuild writes the new index whole under this name and then
// moves it over the .hed, so a file of this name left behind is a new index
// that was never finished; the rebuild's new data and the backups of both
// stand beside it until the change is settled.
inline constexpr std::string_view kNewIndexExtension = ".nwhed";
inline constexpr std::string_view kNewDataExtension = ".nwdat";
inline constexpr std::string_view kIndexBackupExtension = ".bkhed";
inline constexpr std::string_view kDataBackupExtension = ".bkdat";

inline std::string NewIndexPath(std::string_view archiveBase)
{
  return std::string(archiveBase) + std::string(kNewIndexExtension);
}

}  // namespace orv::archive
