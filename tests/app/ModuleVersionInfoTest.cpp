#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "app/ModuleVersionInfo.h"
#include "platform/VersionResource.h"

namespace orv::test {
namespace {

// A version resource held in memory: Linux files carry none, and reading the
// real Windows ones is the Windows back-end's part.
class ResourceInMemory : public VersionResource {
 public:
  bool hasResource = true;
  std::string translations;  // pairs of 16-bit language id and code page
  std::map<std::string, std::string> strings;
  std::vector<std::string> queries;

  bool Read(const char*, std::vector<std::uint8_t>& block) override
  {
    block.assign(16, 0);
    return hasResource;
  }

  bool Query(const std::vector<std::uint8_t>&, const char* subBlock, const void** value,
             std::size_t* size) override
  {
    queries.push_back(subBlock);
    if (std::string(subBlock) == "\\VarFileInfo\\Translation") {
      if (translations.empty())
        return false;
      *value = translations.data();
      *size = translations.size();
      return true;
    }
    auto found = strings.find(subBlock);
    if (found == strings.end())
      return false;
    *value = found->second.c_str();
    *size = found->second.size() + 1;
    return true;
  }

  void AddTranslation(std::uint16_t language, std::uint16_t codePage)
  {
    char pair[4];
    std::memcpy(pair, &language, 2);
    std::memcpy(pair + 2, &codePage, 2);
    translations.append(pair, 4);
  }
};

ModuleVersionInfo Cleared()
{
  ModuleVersionInfo record;
  std::memset(&record, 0, sizeof record);
  return record;
}

TEST(VersionStringQuery, UsesFourLowerCaseHexDigitsEach)
{
  EXPECT_EQ(VersionStringQuery(0x0411, 0x03A4, "Comments"), "\\StringFileInfo\\041103a4\\Comments");
  EXPECT_EQ(VersionStringQuery(0x0411, 0x04B0, "PrivateBuild"),
            "\\StringFileInfo\\041104b0\\PrivateBuild");
  EXPECT_EQ(VersionStringQuery(0x9, 0xFDE9, "X"), "\\StringFileInfo\\0009fde9\\X");
}

TEST(ReadVersionInfo, FileWithoutResourceLeavesTheRecordAsCleared)
{
  ResourceInMemory resource;
  resource.hasResource = false;
  ModuleVersionInfo record = Cleared();
  EXPECT_FALSE(ReadVersionInfo(resource, "plugin.opg", record));
  const ModuleVersionInfo cleared = Cleared();
  EXPECT_EQ(std::memcmp(&record, &cleared, sizeof record), 0);
}

TEST(ReadVersionInfo, ResourceWithoutTranslationTableIsNoVersionInfo)
{
  ResourceInMemory resource;
  ModuleVersionInfo record = Cleared();
  EXPECT_FALSE(ReadVersionInfo(resource, "plugin.opg", record));
}

TEST(ReadVersionInfo, ReadsEveryFieldOfTheTranslation)
{
  ResourceInMemory resource;
  resource.AddTranslation(0x0411, 0x03A4);
  resource.strings["\\StringFileInfo\\041103a4\\ProductName"] = "プラグイン";
  resource.strings["\\StringFileInfo\\041103a4\\PrivateBuild"] = "Ver.1.0";
  resource.strings["\\StringFileInfo\\041103a4\\Comments"] = "";
  ModuleVersionInfo record = Cleared();
  EXPECT_TRUE(ReadVersionInfo(resource, "plugin.opg", record));
  EXPECT_STREQ(record.ProductName, "プラグイン");
  EXPECT_STREQ(record.PrivateBuild, "Ver.1.0");
  EXPECT_STREQ(record.Comments, "");
  // Queried once per field, in record order.
  ASSERT_EQ(resource.queries.size(), 13u);
  EXPECT_EQ(resource.queries[1], "\\StringFileInfo\\041103a4\\Comments");
  EXPECT_EQ(resource.queries[12], "\\StringFileInfo\\041103a4\\SpecialBuild");
}

TEST(ReadVersionInfo, EmptyTranslationTableStillCounts)
{
  ResourceInMemory resource;
  resource.translations = std::string("\x11\x04", 2);  // less than one pair
  ModuleVersionInfo record = Cleared();
  EXPECT_TRUE(ReadVersionInfo(resource, "plugin.opg", record));
  EXPECT_EQ(resource.queries.size(), 1u);
}

TEST(ReadVersionInfo, LongValuesAreCutToTheirFields)
{
  ResourceInMemory resource;
  resource.AddTranslation(0x0411, 0x04B0);
  resource.strings["\\StringFileInfo\\041104b0\\CompanyName"] = std::string(100, 'c');
  resource.strings["\\StringFileInfo\\041104b0\\Comments"] = std::string(600, 'm');
  ModuleVersionInfo record = Cleared();
  EXPECT_TRUE(ReadVersionInfo(resource, "x", record));
  EXPECT_EQ(std::string(record.CompanyName), std::string(63, 'c'));
  EXPECT_EQ(std::string(record.Comments), std::string(511, 'm'));
  EXPECT_EQ(record.FileDescription[0], '\0');
}

TEST(ReadVersionInfo, LaterTranslationWinsAndEmptyValuesOverwriteNothing)
{
  ResourceInMemory resource;
  resource.AddTranslation(0x0409, 0x04B0);
  resource.AddTranslation(0x0411, 0x04B0);
  resource.strings["\\StringFileInfo\\040904b0\\ProductName"] = "English";
  resource.strings["\\StringFileInfo\\041104b0\\ProductName"] = "日本語";
  resource.strings["\\StringFileInfo\\040904b0\\FileVersion"] = "1, 0";
  resource.strings["\\StringFileInfo\\041104b0\\FileVersion"] = "";
  ModuleVersionInfo record = Cleared();
  EXPECT_TRUE(ReadVersionInfo(resource, "x", record));
  EXPECT_STREQ(record.ProductName, "日本語");
  EXPECT_STREQ(record.FileVersion, "1, 0");
}

}  // namespace
}  // namespace orv::test
