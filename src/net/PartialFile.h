#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace orv {

class FileSystem;

// What the bytes of a partial download are: how many of them are known to
// be on the disk, the whole file's length, and the server's validator of
// the version they belong to (its ETag, else its Last-Modified; may be "").
struct ResumeRecord {
  std::uint64_t length = 0;
  std::uint64_t total = 0;
  std::string validator;
};

// A file of the download store on its way in. The bytes so far are in
// "<destination>.part" and what they are in "<destination>.resume", written
// beside it and moved into place after the bytes it counts have been
// flushed: after a power cut the record never counts bytes the disk lost,
// and bytes past the recorded length (a torn tail) are written over when
// the download goes on, never kept. The complete file takes the
// destination's name; until then there is no file of that name.
class PartialFile {
 public:
  PartialFile(FileSystem& files, std::string destination);
  ~PartialFile();
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  // What an earlier download left that can be continued; false when there
  // is nothing (or nothing readable: that is started over).
  bool Load(ResumeRecord& record);
  // Opens the partial file to write at record.length (0: emptied first)
  // and records record as it stands.
  bool Begin(const ResumeRecord& record);
  bool Write(const std::uint8_t* bytes, std::size_t size);
  // Flushes what was written and records the new length.
  bool Checkpoint();
  // Flushes the whole file, gives it the destination's name and removes the
  // record; the file holds record.total bytes.
  bool Complete();
  // Removes the partial file and its record.
  void Discard();

  const ResumeRecord& record() const { return m_record; }
  const std::string& destination() const { return m_destination; }
  const std::string& partialPath() const { return m_partial; }

 private:
  bool WriteRecord();
  void CloseFile();

  FileSystem& m_files;
  const std::string m_destination;
  const std::string m_partial;
  const std::string m_recordPath;
  std::FILE* m_out = nullptr;
  ResumeRecord m_record;
  // Bytes written since the record was last brought up to date.
  std::uint64_t m_unrecorded = 0;
};

}  // namespace orv
