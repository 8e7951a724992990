#include "app/ModuleVersionInfo.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "app/Text.h"
#include "platform/VersionResource.h"

namespace orv {

namespace {

struct Field {
  const char* name;
  std::size_t offset;
  std::size_t size;
};

#define ORV_VERSION_FIELD(name) \
  Field { #name, offsetof(ModuleVersionInfo, name), sizeof(ModuleVersionInfo::name) }

// The record's fields in order, each queried by its own name.
constexpr Field kFields[] = {
    ORV_VERSION_FIELD(Comments),         ORV_VERSION_FIELD(CompanyName),
    ORV_VERSION_FIELD(FileDescription),  ORV_VERSION_FIELD(FileVersion),
    ORV_VERSION_FIELD(InternalName),     ORV_VERSION_FIELD(LegalCopyright),
    ORV_VERSION_FIELD(LegalTrademarks),  ORV_VERSION_FIELD(OriginalFilename),
    ORV_VERSION_FIELD(ProductName),      ORV_VERSION_FIELD(ProductVersion),
    ORV_VERSION_FIELD(PrivateBuild),     ORV_VERSION_FIELD(SpecialBuild),
};

#undef ORV_VERSION_FIELD

// One entry of the translation table: language id, then code page.
constexpr std::size_t kTranslationSize = 4;

}  // namespace

std::string VersionStringQuery(std::uint16_t language, std::uint16_t codePage, const char* name)
{
  char query[96];
  std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", language, codePage, name);
  return query;
}

bool ReadVersionInfo(VersionResource& resources, const char* path, ModuleVersionInfo& record)
{
  std::vector<std::uint8_t> block;
  if (!resources.Read(path, block))
    return false;

  const void* table = nullptr;
  std::size_t tableSize = 0;
  if (!resources.Query(block, "\\VarFileInfo\\Translation", &table, &tableSize))
    return false;

  auto* bytes = reinterpret_cast<char*>(&record);
  for (std::size_t at = 0; at + kTranslationSize <= tableSize; at += kTranslationSize) {
    std::uint16_t language = 0;
    std::uint16_t codePage = 0;
    std::memcpy(&language, static_cast<const std::uint8_t*>(table) + at, 2);
    std::memcpy(&codePage, static_cast<const std::uint8_t*>(table) + at + 2, 2);

    for (const Field& field : kFields) {
      const void* value = nullptr;
      std::size_t length = 0;
      const std::string query = VersionStringQuery(language, codePage, field.name);
      if (!resources.Query(block, query.c_str(), &value, &length) || !value || length == 0)
        continue;
      const auto* text = static_cast<const char*>(value);
      const std::size_t textLength = strnlen(text, length);
      if (textLength == 0)
        continue;
      CopyText(bytes + field.offset, field.size, std::string_view(text, textLength));
    }
  }
  return true;
}

}  // namespace orv
