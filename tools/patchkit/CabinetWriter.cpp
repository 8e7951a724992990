#include "patchkit/CabinetWriter.h"

#include <zlib.h>

#include <algorithm>
#include <cstddef>

namespace orv::patchkit {

namespace {

// Sizes of the fixed parts of a cabinet without reserved areas.
constexpr std::size_t kHeaderSize = 36;
constexpr std::size_t kFolderSize = 8;
// The most uncompressed bytes one data block holds, and the most an MSZIP
// block may take for them: its "CK" signature and deflate's own overhead.
constexpr std::size_t kBlockMax = 32768;
constexpr std::size_t kMszipBlockMax = kBlockMax + 12;
// Counts the header keeps in 16 bits.
constexpr std::size_t kMaxCount = 0xFFFF;
constexpr std::uint16_t kStored = 0;
constexpr std::uint16_t kMszip = 1;
constexpr std::uint16_t kDate = (2024 - 1980) << 9 | 1 << 5 | 1;
constexpr std::uint16_t kAttributeArchive = 0x20;
constexpr std::uint16_t kAttributeUtf8Name = 0x80;

void Put(std::string& out, std::uint32_t value, int width)
{
  for (int i = 0; i < width; ++i)
    out += static_cast<char>(value >> (8 * i));
}

bool IsAscii(const std::string& text)
{
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The cabinet checksum: the bytes XORed together as little-endian 32-bit
// words, a last partial word taken with its first byte highest.
std::uint32_t Checksum(const std::string& bytes, std::uint32_t seed)
{
  std::uint32_t sum = seed;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t whole = bytes.size() / 4 * 4;
  for (std::size_t at = 0; at < whole; at += 4)
    sum ^= p[at] | p[at + 1] << 8 | p[at + 2] << 16 | static_cast<std::uint32_t>(p[at + 3]) << 24;
  std::uint32_t tail = 0;
  for (std::size_t at = whole; at < bytes.size(); ++at)
    tail = tail << 8 | p[at];
  return sum ^ tail;
}

// One MSZIP block: "CK", then the block as a deflate stream of its own that
// may refer back into the block before it, which the reader keeps as its
// window. Data that does not shrink goes in as one stored deflate block, so
// that no block outgrows what a reader accepts.
bool MszipBlock(const std::string& stream, std::size_t at, std::size_t size, std::string& block,
                std::string& error)
{
  const std::size_t history = std::min(at, kBlockMax);
  for (int level : {Z_DEFAULT_COMPRESSION, Z_NO_COMPRESSION}) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
      error = "zlib cannot start an MSZIP block";
      return false;
    }
    if (history > 0)
      deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(stream.data() + at - history),
                           static_cast<uInt>(history));
    block.assign(2 + deflateBound(&z, size), '\0');
    block[0] = 'C';
    block[1] = 'K';
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data() + at));
    z.avail_in = static_cast<uInt>(size);
    z.next_out = reinterpret_cast<Bytef*>(block.data() + 2);
    z.avail_out = static_cast<uInt>(block.size() - 2);
    const int status = deflate(&z, Z_FINISH);
    block.resize(2 + z.total_out);
    deflateEnd(&z);
    if (status != Z_STREAM_END) {
      error = "zlib cannot pack an MSZIP block (status " + std::to_string(status) + ")";
      return false;
    }
    if (block.size() <= kMszipBlockMax)
      return true;
  }
  error = "an MSZIP block outgrew " + std::to_string(kMszipBlockMax) + " bytes";
  return false;
}

}  // namespace

bool WriteCabinet(const std::vector<CabinetFile>& files, const CabinetLayout& layout,
                  std::string& cabinet, std::string& error)
{
  if (files.size() > kMaxCount) {
    error = "a cabinet holds at most 65535 files";
    return false;
  }
  std::string setNames;  // the neighbours' cabinet and disk names
  if (layout.setFlags & kCabinetHasPrevious)
    setNames += std::string("prev.cab\0disk\0", 14);
  if (layout.setFlags & kCabinetHasNext)
    setNames += std::string("next.cab\0disk\0", 14);

  // The folder's uncompressed bytes, and each file's entry pointing into them.
  std::string stream;
  std::string entries;
  for (const CabinetFile& file : files) {
    if (file.content.size() > UINT32_MAX || stream.size() > UINT32_MAX - file.content.size()) {
      error = "a cabinet's folder holds at most 4 GiB";
      return false;
    }
    std::uint16_t attributes = kAttributeArchive;
    if (layout.utf8Names && !IsAscii(file.name))
      attributes |= kAttributeUtf8Name;
    Put(entries, static_cast<std::uint32_t>(file.content.size()), 4);
    Put(entries, static_cast<std::uint32_t>(stream.size()), 4);  // offset in the folder
    Put(entries, 0, 2);                                         // folder 0
    Put(entries, kDate, 2);
    Put(entries, 0, 2);  // time
    Put(entries, attributes, 2);
    entries += file.name;
    entries += '\0';
    stream += file.content;
  }

  std::string blocks;
  std::size_t blockCount = 0;
  for (std::size_t at = 0; at < stream.size(); at += kBlockMax, ++blockCount) {
    if (blockCount == kMaxCount) {
      error = "a cabinet's folder holds at most 65535 data blocks";
      return false;
    }
    const std::size_t size = std::min(kBlockMax, stream.size() - at);
    std::string data;
    if (!layout.compress)
      data = stream.substr(at, size);
    else if (!MszipBlock(stream, at, size, data, error))
      return false;
    // The checksum covers the data, then the two size fields after it,
    // so a reader that checks it finds a damaged block.
    std::string sizes;
    Put(sizes, static_cast<std::uint32_t>(data.size()), 2);
    Put(sizes, static_cast<std::uint32_t>(size), 2);
    Put(blocks, Checksum(sizes, Checksum(data, 0)), 4);
    blocks += sizes;
    blocks += data;
  }

  const std::size_t filesAt = kHeaderSize + setNames.size() + kFolderSize;
  const std::size_t dataAt = filesAt + entries.size();
  if (dataAt + blocks.size() > UINT32_MAX) {
    error = "a cabinet is at most 4 GiB";
    return false;
  }
  cabinet = "MSCF";
  Put(cabinet, 0, 4);
  Put(cabinet, static_cast<std::uint32_t>(dataAt + blocks.size()), 4);
  Put(cabinet, 0, 4);
  Put(cabinet, static_cast<std::uint32_t>(filesAt), 4);
  Put(cabinet, 0, 4);
  cabinet += '\x03';  // format version 1.3
  cabinet += '\x01';
  Put(cabinet, 1, 2);  // one folder
  Put(cabinet, static_cast<std::uint32_t>(files.size()), 2);
  Put(cabinet, layout.setFlags, 2);
  Put(cabinet, 0x4F52, 2);  // set id
  Put(cabinet, layout.setFlags & kCabinetHasPrevious ? 1 : 0, 2);
  cabinet += setNames;
  Put(cabinet, static_cast<std::uint32_t>(dataAt), 4);
  Put(cabinet, static_cast<std::uint32_t>(blockCount), 2);
  Put(cabinet, layout.compress ? kMszip : kStored, 2);
  cabinet += entries;
  cabinet += blocks;
  return true;
}

std::string CabinetName(const std::string& name)
{
  std::string stored = name;
  std::replace(stored.begin(), stored.end(), '/', '\\');
  return stored;
}

}  // namespace orv::patchkit
