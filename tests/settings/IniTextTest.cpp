#include <gtest/gtest.h>

#include "settings/IniText.h"

namespace orv::test {
namespace {

using ini::Find;
using ini::Set;

// --- Reading ---

TEST(IniFind, MissingSectionOrKeyIsNothing)
{
  const std::string text = "[Conf]\r\nTimeout=5\r\n";
  EXPECT_FALSE(Find(text, "Other", "Timeout"));
  EXPECT_FALSE(Find(text, "Conf", "Logging"));
  EXPECT_FALSE(Find("", "Conf", "Timeout"));
  EXPECT_EQ(Find(text, "Conf", "Timeout"), "5");
}

TEST(IniFind, BlanksAroundNamesAndValuesDoNotCount)
{
  const std::string text = "  [ Conf ]  \n\tTimeout \t=  5 0 \t\nHome=\n";
  EXPECT_EQ(Find(text, "Conf", "Timeout"), "5 0");
  EXPECT_EQ(Find(text, "Conf", "Home"), "");
}

TEST(IniFind, MatchingQuotesAreRemovedOthersKept)
{
  const std::string text =
      "[S]\nA=\"quoted value\"\nB='single'\nC=\"unbalanced\nD=\"mixed'\nE=\"\"\nF=\"a\" b\"\n";
  EXPECT_EQ(Find(text, "S", "A"), "quoted value");
  EXPECT_EQ(Find(text, "S", "B"), "single");
  EXPECT_EQ(Find(text, "S", "C"), "\"unbalanced");
  EXPECT_EQ(Find(text, "S", "D"), "\"mixed'");
  EXPECT_EQ(Find(text, "S", "E"), "");
  EXPECT_EQ(Find(text, "S", "F"), "a\" b");
}

TEST(IniFind, LetterCaseOfNamesDoesNotMatterButShiftJisBytesDo)
{
  const std::string text = "[accountdata0]\nKIVORAID=x\n[ア]\nk=katakana a\n";
  EXPECT_EQ(Find(text, "AccountData0", "KivoraID"), "x");
  // "ア" is 83 41 and "ヂ" is 83 61: folding the second byte as a letter
  // would make them one name.
  EXPECT_EQ(Find(text, "ア", "k"), "katakana a");
  EXPECT_FALSE(Find(text, "ヂ", "k"));
}

TEST(IniFind, SectionNameEndsAtABracketThatIsACharacterOfItsOwn)
{
  // "ゾ" is 83 5D: its second byte is "]" and must not close the name.
  const std::string text = "[ゾーン]\nk=v\n";
  EXPECT_EQ(Find(text, "ゾーン", "k"), "v");
  EXPECT_FALSE(Find(text, "\x83", "k"));
}

TEST(IniFind, CommentsLinesWithoutEqualsAndKeysBeforeAnySectionHoldNothing)
{
  const std::string text = "Timeout=1\n[Conf]\n;Timeout=2\nTimeout\nLogging=1\n";
  EXPECT_FALSE(Find(text, "Conf", "Timeout"));
  EXPECT_EQ(Find(text, "Conf", "Logging"), "1");
}

TEST(IniFind, FirstMatchingKeyWinsAcrossRepeatedSections)
{
  const std::string text = "[Conf]\nA=1\nA=2\n[Other]\nB=x\n[conf]\nA=3\nB=4\n";
  EXPECT_EQ(Find(text, "Conf", "A"), "1");
  EXPECT_EQ(Find(text, "Conf", "B"), "4");
}

TEST(IniFind, LfAndCrLfLineEndsReadAlike)
{
  EXPECT_EQ(Find("[S]\r\nk=v\r\n", "S", "k"), "v");
  EXPECT_EQ(Find("[S]\nk=v", "S", "k"), "v");
}

TEST(IniSectionHasKeys, OnlyASectionWithAKeyCounts)
{
  const std::string text = "[Empty]\n; nothing\n[Full]\nk=\n";
  EXPECT_FALSE(ini::SectionHasKeys(text, "Empty"));
  EXPECT_TRUE(ini::SectionHasKeys(text, "full"));
  EXPECT_FALSE(ini::SectionHasKeys(text, "Absent"));
}

// --- Writing ---

TEST(IniSet, NewFileGetsSectionAndKey)
{
  EXPECT_EQ(Set("", "Conf", "LastGID", "0"), "[Conf]\r\nLastGID=0\r\n");
}

TEST(IniSet, ExistingKeyIsReplacedWhereItStands)
{
  EXPECT_EQ(Set("[Conf]\nA=1\nB=2\nC=3\n", "CONF", "b", "20"), "[Conf]\nA=1\nb=20\nC=3\n");
  EXPECT_EQ(Set("[Conf]\r\nB = \"2\"  \r\n", "Conf", "B", "x"), "[Conf]\r\nB=x\r\n");
}

TEST(IniSet, NewKeyFollowsTheLastKeyOfItsSection)
{
  EXPECT_EQ(Set("[A]\nx=1\n\n[B]\ny=2\n", "A", "z", "3"), "[A]\nx=1\nz=3\r\n\n[B]\ny=2\n");
  EXPECT_EQ(Set("[A]\n[B]\n", "A", "z", "3"), "[A]\nz=3\r\n[B]\n");
  EXPECT_EQ(Set("[A]\nx=1", "A", "z", "3"), "[A]\nx=1\r\nz=3\r\n");
  // A last line ending in a bare CR still needs a line end before the new key,
  // or the new key would run on into the old value.
  EXPECT_EQ(Find(Set("[A]\nx=1\r", "A", "z", "3"), "A", "x"), "1");
}

TEST(IniSet, NewSectionIsAppendedAfterAMissingLineEnd)
{
  EXPECT_EQ(Set("[A]\nx=1", "B", "y", "2"), "[A]\nx=1\r\n[B]\r\ny=2\r\n");
  EXPECT_EQ(Set("[A]\nx=1\n", "B", "y", "2"), "[A]\nx=1\n[B]\r\ny=2\r\n");
}

TEST(IniSet, ValuesLongerThan255BytesAreWrittenWhole)
{
  const std::string value(400, 'v');
  EXPECT_EQ(Find(Set("", "S", "k", value), "S", "k"), value);
}

// --- Numbers ---

TEST(IniParseInt, LeadingDigitsWithOptionalBlanksAndSign)
{
  EXPECT_EQ(ini::ParseInt("42"), 42u);
  EXPECT_EQ(ini::ParseInt("  17 apples"), 17u);
  EXPECT_EQ(static_cast<std::int32_t>(ini::ParseInt("-3")), -3);
  EXPECT_EQ(ini::ParseInt("+8"), 8u);
  EXPECT_EQ(ini::ParseInt("abc"), 0u);
  EXPECT_EQ(ini::ParseInt("- 3"), 0u);
  EXPECT_EQ(ini::ParseInt("16777215"), 16777215u);
}

}  // namespace
}  // namespace orv::test
