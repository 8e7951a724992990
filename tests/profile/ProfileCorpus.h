#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Profile.h"

// Profile files as a list of cases run against any ProfileStore. Both
// back-ends run the same cases and must produce the same transcript, byte for
// byte; the transcript the Windows profile API produces is kept beside this
// file as golden.txt.
namespace orv::test::profile {

struct Operation {
  enum class Kind { GetString, GetInt, WriteString, SectionHasKeys };
  Kind kind;
  const char* section;
  const char* key = "";
  // The default of GetString, the value of WriteString.
  const char* text = "";
  std::size_t bufferSize = 256;
  std::int32_t defaultNumber = 0;
};

struct Case {
  const char* name;
  // The file's content before the first operation; nothing for no file.
  std::optional<std::string> content;
  std::vector<Operation> operations;
  // A file in a folder that does not exist: a write must fail rather than
  // invent the folder.
  bool inMissingFolder = false;
};

const std::vector<Case>& Corpus();

// Runs every case on a fresh file in folder (a full path in the platform's
// own form, separator between folder and name): one line per operation, and
// the file's bytes after each write.
std::string RunCorpus(ProfileStore& store, const std::string& folder, char separator);

// The golden transcript's path as this source tree knows it, with '/'.
std::string GoldenSourcePath();

// The file's bytes, or nothing when it cannot be read.
std::optional<std::string> ReadBytes(const std::string& path);

// Empty when the transcripts agree (line ends aside), else the first line
// that differs in both versions, with its number.
std::string FirstDifference(const std::string& expected, const std::string& actual);

// Empty when the transcript matches the golden file at goldenPath; else what
// differs. The transcript is then kept as savedAs in the current folder, to
// read whole or to take as the new golden file.
std::string CompareWithGolden(const std::string& goldenPath, const std::string& transcript,
                              const std::string& savedAs);

}  // namespace orv::test::profile
