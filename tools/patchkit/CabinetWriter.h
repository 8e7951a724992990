#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "patchkit/CabinetMaker.h"

namespace orv::patchkit {

// Header flags that make a cabinet one part of a set; the neighbours' names
// are written into the header, the neighbours themselves never exist.
inline constexpr std::uint16_t kCabinetHasPrevious = 0x0001;
inline constexpr std::uint16_t kCabinetHasNext = 0x0002;

// How WriteCabinet lays a cabinet out.
struct CabinetLayout {
  // MSZIP data blocks; otherwise the data is stored as it is.
  bool compress = false;
  // kCabinetHasPrevious and kCabinetHasNext.
  std::uint16_t setFlags = 0;
  // The names are UTF-8: every one that is not plain ASCII is marked so.
  bool utf8Names = false;
};

// The bytes of a cabinet with one folder holding the files in this order,
// every data block with its checksum, made in this process so that every
// byte is under the caller's control.
// Each name is stored byte for byte as given, "..\evil.txt" included. False,
// with the reason in `error`, when the files do not fit the format's fields.
bool WriteCabinet(const std::vector<CabinetFile>& files, const CabinetLayout& layout,
                  std::string& cabinet, std::string& error);

// A name as a cabinet keeps it, with `\` between folders. A Shift_JIS
// character never has 0x2F as its second byte, so every `/` is a separator.
std::string CabinetName(const std::string& name);

}  // namespace orv::patchkit
