#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orv {

class VersionResource;

// The version strings of a program or library file, in fixed fields. The
// caller clears the record before reading; fields the file has no value for
// stay empty.
struct ModuleVersionInfo {
  char Comments[512];
  char CompanyName[64];
  char FileDescription[64];
  char FileVersion[64];
  char InternalName[64];
  char LegalCopyright[64];
  char LegalTrademarks[64];
  char OriginalFilename[64];
  char ProductName[64];
  char ProductVersion[64];
  char PrivateBuild[64];
  char SpecialBuild[64];
};
static_assert(sizeof(ModuleVersionInfo) == 1216, "plugins see this record's layout");

// The query path of one string of a translation: lower-case hexadecimal
// language id and code page, four digits each.
std::string VersionStringQuery(std::uint16_t language, std::uint16_t codePage, const char* name);

// True when the file has a version resource with a translation table, even if
// no string was found. With several translations a later one overwrites what
// an earlier one set.
bool ReadVersionInfo(VersionResource& resources, const char* path, ModuleVersionInfo& record);

}  // namespace orv
