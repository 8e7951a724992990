#include "net/PartialFile.h"

#include <cinttypes>
#include <climits>
#include <cstring>
#include <utility>

#include "platform/FileSystem.h"

namespace orv {

namespace {

// The record is one line: a tag naming its layout, the two numbers, and
// the validator as the rest of the line (an ETag may hold blanks).
constexpr const char* kRecordTag = "orv-resume-1";

}  // namespace

PartialFile::PartialFile(FileSystem& files, std::string destination)
    : m_files(files),
      m_destination(std::move(destination)),
      m_partial(m_destination + ".part"),
      m_recordPath(m_destination + ".resume")
{
}

PartialFile::~PartialFile()
{
  CloseFile();
}

void PartialFile::CloseFile()
{
  if (m_out)
    std::fclose(m_out);
  m_out = nullptr;
}

bool PartialFile::Load(ResumeRecord& record)
{
  std::FILE* in = m_files.OpenFile(m_recordPath.c_str(), "rb");
  if (!in)
    return false;
  char line[1024] = {};
  const bool read = std::fgets(line, sizeof line, in) != nullptr;
  std::fclose(in);
  char tag[16] = {};
  std::uint64_t length = 0;
  std::uint64_t total = 0;
  int consumed = 0;
  if (!read ||
      std::sscanf(line, "%15s %" SCNu64 " %" SCNu64 " %n", tag, &length, &total, &consumed) != 3 ||
      std::strcmp(tag, kRecordTag) != 0 || length > total)
    return false;
  std::string validator = line + consumed;
  while (!validator.empty() && (validator.back() == '\n' || validator.back() == '\r'))
    validator.pop_back();
  // The partial file must hold at least the recorded bytes; if it holds
  // fewer the disk lost what the record counts, and nothing is trusted.
  std::FILE* part = m_files.OpenFile(m_partial.c_str(), "rb");
  if (!part)
    return false;
  const bool longEnough = length <= static_cast<std::uint64_t>(LONG_MAX) &&
                          std::fseek(part, 0, SEEK_END) == 0 &&
                          std::ftell(part) >= static_cast<long>(length);
  std::fclose(part);
  if (!longEnough)
    return false;
  record = ResumeRecord{length, total, std::move(validator)};
  return true;
}

bool PartialFile::Begin(const ResumeRecord& record)
{
  CloseFile();
  m_record = record;
  m_unrecorded = 0;
  if (record.length == 0) {
    m_out = m_files.OpenFile(m_partial.c_str(), "wb");
  } else {
    // Whatever lies past the recorded length was never counted: it is
    // written over from there.
    m_out = m_files.OpenFile(m_partial.c_str(), "r+b");
    if (m_out && std::fseek(m_out, static_cast<long>(record.length), SEEK_SET) != 0)
      CloseFile();
  }
  return m_out != nullptr && WriteRecord();
}

bool PartialFile::Write(const std::uint8_t* bytes, std::size_t size)
{
  if (!m_out || std::fwrite(bytes, 1, size, m_out) != size)
    return false;
  m_record.length += size;
  m_unrecorded += size;
  return true;
}

bool PartialFile::Checkpoint()
{
  if (!m_out)
    return false;
  if (m_unrecorded == 0)
    return true;
  if (std::fflush(m_out) != 0 || m_files.FlushFile(m_partial.c_str()) != 0)
    return false;
  m_unrecorded = 0;
  return WriteRecord();
}

bool PartialFile::WriteRecord()
{
  const std::string next = m_recordPath + ".new";
  std::FILE* out = m_files.OpenFile(next.c_str(), "wb");
  if (!out)
    return false;
  const int written = std::fprintf(out, "%s %" PRIu64 " %" PRIu64 " %s\n", kRecordTag,
                                   m_record.length, m_record.total, m_record.validator.c_str());
  const bool closed = std::fclose(out) == 0;
  return written > 0 && closed && m_files.FlushFile(next.c_str()) == 0 &&
         m_files.MoveFileOver(next.c_str(), m_recordPath.c_str()) == 0;
}

bool PartialFile::Complete()
{
  if (!m_out)
    return false;
  const bool flushed = std::fflush(m_out) == 0;
  CloseFile();
  if (!flushed || m_files.FlushFile(m_partial.c_str()) != 0 ||
      m_files.MoveFileOver(m_partial.c_str(), m_destination.c_str()) != 0)
    return false;
  m_files.RemoveFile(m_recordPath.c_str());
  return true;
}

void PartialFile::Discard()
{
  CloseFile();
  m_files.RemoveFile(m_recordPath.c_str());
  m_files.RemoveFile(m_partial.c_str());
  m_record = ResumeRecord{};
  m_unrecorded = 0;
}

}  // namespace orv
