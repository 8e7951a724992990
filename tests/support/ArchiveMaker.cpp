#include "support/ArchiveMaker.h"

#include <gtest/gtest.h>

namespace orv::test {

std::string Le32(std::uint32_t value) { return patchkit::Le32(value); }

void WriteArchive(const std::filesystem::path& base, const std::vector<ArchiveEntry>& entries,
                  bool packNames)
{
  std::string error;
  if (!patchkit::WriteArchive(base, entries, packNames, error))
    ADD_FAILURE() << error;
}

std::string MakeDfl(const std::vector<ArchiveEntry>& entries, bool packNames)
{
  std::string dfl, error;
  if (!patchkit::MakeDfl(entries, packNames, dfl, error))
    ADD_FAILURE() << error;
  return dfl;
}

std::vector<RawRecord> ReadIndex(const std::filesystem::path& hedPath)
{
  std::vector<RawRecord> records;
  std::string error;
  if (!patchkit::ReadIndex(hedPath, records, error))
    ADD_FAILURE() << error;
  return records;
}

std::vector<ArchiveEntry> ReadArchive(const std::filesystem::path& base)
{
  std::vector<ArchiveEntry> entries;
  std::string error;
  if (!patchkit::ReadArchive(base, entries, error))
    ADD_FAILURE() << error;
  return entries;
}

}  // namespace orv::test
