#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Writes cabinets with stored (uncompressed) data: the smallest cabinet
// SetupAPI reads, made inside the test so that every byte is under its
// control.
namespace orv::test::win32 {

struct CabinetEntry {
  std::string name;  // as stored: Shift_JIS, folders separated by `\`
  std::string content;
};

// Header flags that make a cabinet one part of a set.
inline constexpr std::uint16_t kCabinetHasPrevious = 0x0001;
inline constexpr std::uint16_t kCabinetHasNext = 0x0002;

inline std::string MakeCabinet(const std::vector<CabinetEntry>& files, std::uint16_t flags = 0)
{
  // Sizes of the fixed parts, and the largest data block the format allows.
  constexpr std::size_t kHeaderSize = 36;
  constexpr std::size_t kFolderSize = 8;
  constexpr std::size_t kBlockMax = 32768;
  constexpr std::uint16_t kDate = (2024 - 1980) << 9 | 1 << 5 | 1;
  constexpr std::uint16_t kArchive = 0x20;

  auto put = [](std::string& out, std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i)
      out += static_cast<char>(value >> (8 * i));
  };

  std::string setNames;  // the neighbours' cabinet and disk names
  if (flags & kCabinetHasPrevious)
    setNames += std::string("prev.cab\0disk\0", 14);
  if (flags & kCabinetHasNext)
    setNames += std::string("next.cab\0disk\0", 14);

  std::string stream;
  std::string entries;
  for (const CabinetEntry& file : files) {
    put(entries, static_cast<std::uint32_t>(file.content.size()), 4);
    put(entries, static_cast<std::uint32_t>(stream.size()), 4);  // offset in the folder
    put(entries, 0, 2);                                         // folder 0
    put(entries, kDate, 2);
    put(entries, 0, 2);  // time
    put(entries, kArchive, 2);
    entries += file.name;
    entries += '\0';
    stream += file.content;
  }

  const std::size_t filesAt = kHeaderSize + setNames.size() + kFolderSize;
  const std::size_t dataAt = filesAt + entries.size();
  std::string blocks;
  std::size_t blockCount = 0;
  for (std::size_t at = 0; at < stream.size(); at += kBlockMax, ++blockCount) {
    const std::size_t size = std::min(kBlockMax, stream.size() - at);
    put(blocks, 0, 4);  // no checksum
    put(blocks, static_cast<std::uint32_t>(size), 2);
    put(blocks, static_cast<std::uint32_t>(size), 2);
    blocks.append(stream, at, size);
  }

  std::string cabinet = "MSCF";
  put(cabinet, 0, 4);
  put(cabinet, static_cast<std::uint32_t>(dataAt + blocks.size()), 4);
  put(cabinet, 0, 4);
  put(cabinet, static_cast<std::uint32_t>(filesAt), 4);
  put(cabinet, 0, 4);
  cabinet += '\x03';  // format version 1.3
  cabinet += '\x01';
  put(cabinet, 1, 2);  // one folder
  put(cabinet, static_cast<std::uint32_t>(files.size()), 2);
  put(cabinet, flags, 2);
  put(cabinet, 0x4F52, 2);  // set id
  put(cabinet, flags & kCabinetHasPrevious ? 1 : 0, 2);
  cabinet += setNames;
  put(cabinet, static_cast<std::uint32_t>(dataAt), 4);
  put(cabinet, static_cast<std::uint32_t>(blockCount), 2);
  put(cabinet, 0, 2);  // stored, no compression
  return cabinet + entries + blocks;
}

}  // namespace orv::test::win32
