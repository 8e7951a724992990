#include <gtest/gtest.h>

#include "platform/posix/IniText.h"

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

TEST(IniFind, OnlyTheFirstSectionOfANameAndItsFirstKeyCount)
{
  const std::string text = "[Conf]\nA=1\nA=2\n[Other]\nB=x\n[conf]\nA=3\nB=4\n";
  EXPECT_EQ(Find(text, "Conf", "A"), "1");
  EXPECT_FALSE(Find(text, "Conf", "B"));
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

TEST(IniSet, ExistingKeyIsReplacedWhereItStandsAndKeepsItsSpelling)
{
  EXPECT_EQ(Set("[Conf]\r\nA=1\r\nB=2\r\nC=3\r\n", "CONF", "b", "20"),
            "[Conf]\r\nA=1\r\nB=20\r\nC=3\r\n");
  // A bare name is the key's line as well: it takes the value.
  EXPECT_EQ(Set("[Conf]\r\nTimeout\r\nLogging=1\r\n", "Conf", "Timeout", "5"),
            "[Conf]\r\nTimeout=5\r\nLogging=1\r\n");
}

TEST(IniSet, AWriteWritesTheWholeFileInItsOwnForm)
{
  // Line ends, blanks and blank lines are the file's form, not its content;
  // comments and bare names are content and stay where they were.
  EXPECT_EQ(Set("; note\n[A]\n  x = 1 \n\n[B]\ny=2", "A", "z", "3"),
            "; note\r\n[A]\r\nx=1\r\nz=3\r\n[B]\r\ny=2\r\n");
  EXPECT_EQ(Set("[A]\rx=1\r", "B", "y", "2"), "[A]\r\nx=1\r\n[B]\r\ny=2\r\n");
}

TEST(IniSet, AHeaderWithAnEmptyNameKeepsItsKeys)
{
  // Without it the write dropped "[]" and its keys joined the section above.
  const std::string text = "[A]\r\nx=1\r\n[]\r\ny=2\r\n";
  EXPECT_EQ(Set(text, "A", "z", "3"), "[A]\r\nx=1\r\nz=3\r\n[]\r\ny=2\r\n");
  EXPECT_EQ(Set(text, "B", "z", "3"), text + "[B]\r\nz=3\r\n");
}

TEST(IniSet, AnUnchangedValueNeedsNoWrite)
{
  EXPECT_FALSE(Set("[A]\nx = 1\n\n", "a", "X", "  1"));
  EXPECT_TRUE(Set("[A]\nx\n", "A", "x", ""));
}

TEST(IniSet, ValuesLongerThan255BytesAreWrittenWhole)
{
  const std::string value(400, 'v');
  EXPECT_EQ(Find(Set("", "S", "k", value).value_or(""), "S", "k"), value);
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
