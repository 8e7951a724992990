// Archives compared entry by entry, and the .dfl of what changed.
//
// An archive is opened by its index and name table only; entries are then
// read one at a time into buffers reused from entry to entry, so memory
// follows the largest entry, not the archive. The .dfl holds its names
// before its entries, and the names are known only at the end: the entries
// go to a body file beside it as they are found, and the .dfl is then
// written as header, names and body.
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "MkStep.h"
#include "patcher/ArchiveFormat.h"

namespace orv::mkstep {

namespace {

using archive::BufferedFile;
using archive::IndexRecord;

// compress2's default: the entries are downloaded once by every player.
constexpr std::int32_t kEntryPackLevel = 6;
constexpr std::int32_t kZlibFormat = 1;
constexpr std::uint64_t kProgressEvery = 256;

fs::path WithExtension(const fs::path& base, const char* extension)
{
  fs::path path = base;
  path += extension;
  return path;
}

// Unpacks stored bytes by the launcher's rule: equal size words mean the
// bytes are the entry as they are.
bool UnpackStored(const Packing& packing, const IndexRecord& record,
                  const std::vector<std::uint8_t>& stored, std::vector<std::uint8_t>& out)
{
  if (record.PackSize == record.UnpackSize) {
    out.assign(stored.begin(), stored.end());
    return true;
  }
  out.resize(record.UnpackSize);
  std::uint8_t empty = 0;
  void* buffer = out.empty() ? &empty : out.data();
  std::uint32_t size = record.UnpackSize;
  return packing.unpack(stored.data(), record.StoredBytes(), &buffer, &size, kZlibFormat) != 0 &&
         size == record.UnpackSize;
}

class ArchiveReader {
 public:
  explicit ArchiveReader(const Packing& packing) : m_packing(packing) {}

  bool Open(const fs::path& base, std::string& error)
  {
    m_label = Utf8Path(base);
    if (!ReadIndex(WithExtension(base, ".hed"), error))
      return false;
    if (!m_dat.Attach(OpenFile(WithExtension(base, ".dat"), "rb"), archive::kStreamBufferSize) ||
        !archive::SeekToEnd(m_dat.get(), m_datSize))
      return Fail("cannot open the .dat", error);
    std::vector<std::uint8_t> table;
    if (m_records.empty() || !Read(m_records[0], m_stored, table))
      return Fail("the name table cannot be read", error);
    if (table.size() < archive::kNameCountSize)
      return Fail("the name table has no count", error);
    const std::uint32_t count = archive::ReadLe32(table.data());
    if (count > table.size() - archive::kNameCountSize || count >= m_records.size())
      return Fail("the name table counts more names than it or the index holds", error);
    const char* cursor = reinterpret_cast<const char*>(table.data()) + archive::kNameCountSize;
    const char* const end = reinterpret_cast<const char*>(table.data()) + table.size();
    m_names.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      const char* nul = static_cast<const char*>(std::memchr(cursor, '\0', end - cursor));
      if (!nul)
        return Fail("the name table ends inside its names", error);
      m_names.emplace_back(cursor, static_cast<std::size_t>(nul - cursor));
      cursor = nul + 1;
    }
    m_index.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i)
      m_index.emplace(m_names[i], i);  // the first of equal names is the one found
    return true;
  }

  std::size_t Count() const { return m_names.size(); }
  const std::string& Name(std::size_t i) const { return m_names[i]; }
  const IndexRecord& Record(std::size_t i) const { return m_records[i + 1]; }
  // The index of the first entry of that name, or -1.
  std::ptrdiff_t Find(const std::string& name) const
  {
    const auto found = m_index.find(name);
    return found == m_index.end() ? -1 : static_cast<std::ptrdiff_t>(found->second);
  }
  bool IsFirst(std::size_t i) const { return m_index.at(m_names[i]) == i; }

  bool ReadStored(std::size_t i, std::vector<std::uint8_t>& stored, std::string& error)
  {
    return ReadStoredRecord(Record(i), stored) ||
           Fail("entry " + std::to_string(i + 1) + " cannot be read", error);
  }
  bool Unpack(std::size_t i, const std::vector<std::uint8_t>& stored,
              std::vector<std::uint8_t>& out, std::string& error)
  {
    return UnpackStored(m_packing, Record(i), stored, out) ||
           Fail("entry " + std::to_string(i + 1) + " does not unpack", error);
  }

 private:
  bool ReadIndex(const fs::path& hedPath, std::string& error)
  {
    BufferedFile hed;
    std::uint64_t size = 0;
    if (!hed.Attach(OpenFile(hedPath, "rb"), archive::kStreamBufferSize) ||
        !archive::SeekToEnd(hed.get(), size) || !archive::SeekTo(hed.get(), 0))
      return Fail("cannot open the .hed", error);
    if (size > archive::kMaxEntrySize)
      return Fail("the .hed is too large", error);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (!hed.Read(bytes.data(), bytes.size()))
      return Fail("cannot read the .hed", error);
    for (std::size_t at = 0; at + archive::kRecordSize <= bytes.size(); at += archive::kRecordSize)
      m_records.push_back(archive::DecodeRecord(bytes.data() + at));
    return true;
  }

  bool ReadStoredRecord(const IndexRecord& record, std::vector<std::uint8_t>& stored)
  {
    if (!archive::PlausibleSizes(record.PackSize, record.UnpackSize) ||
        std::uint64_t{record.Offset} + record.StoredBytes() > m_datSize)
      return false;
    stored.resize(record.StoredBytes());
    // Entries mostly follow each other: a seek would throw the buffer away.
    if (record.Offset != m_position && !archive::SeekTo(m_dat.get(), record.Offset)) {
      m_position = kUnknownPosition;
      return false;
    }
    m_position = kUnknownPosition;
    if (!m_dat.Read(stored.data(), stored.size()))
      return false;
    m_position = std::uint64_t{record.Offset} + stored.size();
    return true;
  }

  bool Read(const IndexRecord& record, std::vector<std::uint8_t>& stored,
            std::vector<std::uint8_t>& out)
  {
    return ReadStoredRecord(record, stored) && UnpackStored(m_packing, record, stored, out);
  }

  bool Fail(const std::string& why, std::string& error)
  {
    error = m_label + ": " + why;
    return false;
  }

  const Packing& m_packing;
  std::string m_label;
  std::vector<IndexRecord> m_records;
  std::vector<std::string> m_names;
  std::unordered_map<std::string_view, std::size_t> m_index;
  static constexpr std::uint64_t kUnknownPosition = ~std::uint64_t{0};
  BufferedFile m_dat;
  std::uint64_t m_datSize = 0;
  std::uint64_t m_position = kUnknownPosition;
  std::vector<std::uint8_t> m_stored;
};

// The .dfl being written: entries into the body file as they come, packed
// on a thread of their own so that packing the changed entries overlaps
// reading and comparing the rest. A few entries wait at most, which bounds
// the memory.
class DflWriter {
 public:
  DflWriter(const fs::path& path, const Packing& packing)
      : m_path(path), m_bodyPath(WithExtension(path, ".body")), m_packing(packing)
  {
  }
  ~DflWriter()
  {
    StopPacking();
    m_body.Close();
    std::error_code ignored;
    fs::remove(m_bodyPath, ignored);
  }

  bool Add(const std::string& name, const std::vector<std::uint8_t>& bytes, std::string& error)
  {
    if (!m_body) {
      if (!m_body.Attach(OpenFile(m_bodyPath, "wb"), archive::kStreamBufferSize)) {
        error = "cannot create " + Utf8Path(m_bodyPath);
        return false;
      }
      m_packer = std::thread([this] { PackEntries(); });
    }
    ++m_count;
    m_names.append(name).push_back('\0');
    std::unique_lock lock(m_lock);
    m_room.wait(lock, [&] { return m_queue.size() < kWaitingEntries || m_failed; });
    if (m_failed) {
      error = m_packerError;
      return false;
    }
    // Buffers go round between the two threads instead of being allocated
    // for every entry.
    std::vector<std::uint8_t> copy;
    if (!m_spare.empty()) {
      copy = std::move(m_spare.back());
      m_spare.pop_back();
    }
    copy.assign(bytes.begin(), bytes.end());
    m_queue.push_back(std::move(copy));
    m_ready.notify_one();
    return true;
  }

  bool Empty() const { return m_count == 0; }

  // Header, names and body into the .dfl; its size in `size`.
  bool Finish(std::uint64_t& size, std::string& error)
  {
    if (!StopPacking()) {
      error = m_packerError;
      return false;
    }
    if (!m_body.Close()) {
      error = "cannot write " + Utf8Path(m_bodyPath);
      return false;
    }
    BufferedFile dfl;
    if (!dfl.Attach(OpenFile(m_path, "wb"), archive::kStreamBufferSize)) {
      error = "cannot create " + Utf8Path(m_path);
      return false;
    }
    std::uint8_t count[4];
    archive::WriteLe32(count, m_count);
    bool written =
        dfl.Write(count, sizeof count) &&
        Store(reinterpret_cast<const std::uint8_t*>(m_names.data()), m_names.size(), dfl, error) &&
        AppendBody(dfl);
    written = dfl.Close() && written;
    if (!written) {
      if (error.empty())
        error = "cannot write " + Utf8Path(m_path);
      return false;
    }
    std::error_code failure;
    size = fs::file_size(m_path, failure);
    return !failure;
  }

 private:
  // Size words and bytes, packed when that is smaller.
  bool Store(const std::uint8_t* bytes, std::size_t size, BufferedFile& out, std::string& error)
  {
    if (size > archive::kMaxEntrySize) {
      error = "an entry of " + std::to_string(size) + " bytes is larger than the launcher reads";
      return false;
    }
    void* packed = nullptr;
    std::uint32_t packedSize = 0;
    const bool didPack = size > 0 && m_packing.pack(bytes, static_cast<std::uint32_t>(size),
                                                    &packed, &packedSize, kEntryPackLevel, 0) != 0;
    std::unique_ptr<void, PackFreeFunction> owned(packed, m_packing.packFree);
    if (!didPack)
      owned.release();
    const bool usePacked = didPack && packedSize < size;
    std::uint8_t words[8];
    const auto unpackSize = static_cast<std::uint32_t>(size);
    archive::WriteLe32(words, usePacked ? packedSize | archive::kPackedBit : unpackSize);
    archive::WriteLe32(words + 4, unpackSize);
    if (!out.Write(words, sizeof words) ||
        !out.Write(usePacked ? packed : bytes, usePacked ? packedSize : size)) {
      error = "cannot write the .dfl of " + Utf8Path(m_path);
      return false;
    }
    return true;
  }

  // The packing thread: every entry in the order added, until stopped.
  void PackEntries()
  {
    for (;;) {
      std::vector<std::uint8_t> bytes;
      {
        std::unique_lock lock(m_lock);
        m_ready.wait(lock, [&] { return !m_queue.empty() || m_stopping; });
        if (m_queue.empty())
          return;
        bytes = std::move(m_queue.front());
        m_queue.pop_front();
      }
      m_room.notify_one();
      std::string error;
      const bool stored = Store(bytes.data(), bytes.size(), m_body, error);
      std::lock_guard lock(m_lock);
      m_spare.push_back(std::move(bytes));
      if (!stored) {
        m_failed = true;
        m_packerError = error;
        m_room.notify_all();
        return;
      }
    }
  }

  // Lets the packing thread finish what waits and ends it; false when it
  // failed.
  bool StopPacking()
  {
    {
      std::lock_guard lock(m_lock);
      m_stopping = true;
    }
    m_ready.notify_all();
    if (m_packer.joinable())
      m_packer.join();
    return !m_failed;
  }

  bool AppendBody(BufferedFile& dfl)
  {
    if (m_count == 0)
      return true;
    BufferedFile body;
    if (!body.Attach(OpenFile(m_bodyPath, "rb"), archive::kStreamBufferSize))
      return false;
    std::unique_ptr<char[]> block(new char[archive::kStreamBufferSize]);
    for (;;) {
      const std::size_t got = std::fread(block.get(), 1, archive::kStreamBufferSize, body.get());
      if (got > 0 && !dfl.Write(block.get(), got))
        return false;
      if (got < archive::kStreamBufferSize)
        return std::ferror(body.get()) == 0;
    }
  }

  fs::path m_path;
  fs::path m_bodyPath;
  const Packing& m_packing;
  BufferedFile m_body;
  std::uint32_t m_count = 0;
  std::string m_names;

  static constexpr std::size_t kWaitingEntries = 4;
  std::thread m_packer;
  std::mutex m_lock;
  std::condition_variable m_ready;  // an entry waits, or the end
  std::condition_variable m_room;   // the queue has room, or packing failed
  std::deque<std::vector<std::uint8_t>> m_queue;
  std::vector<std::vector<std::uint8_t>> m_spare;
  bool m_stopping = false;
  bool m_failed = false;
  std::string m_packerError;
};

}  // namespace

bool CompareArchive(const fs::path& oldBase, const fs::path& newBase, const fs::path& dflPath,
                    const Packing& packing, ArchiveStats& stats, std::string& error,
                    const std::function<void(std::uint64_t, std::uint64_t)>& progress)
{
  stats = {};
  ArchiveReader before(packing), after(packing);
  if (!before.Open(oldBase, error) || !after.Open(newBase, error))
    return false;
  // Without a .dfl the names of the differing entries are the outcome.
  std::optional<DflWriter> dfl;
  if (!dflPath.empty())
    dfl.emplace(dflPath, packing);
  std::vector<std::uint8_t> oldStored, newStored, oldBytes, newBytes;
  for (std::size_t i = 0; i < after.Count(); ++i) {
    if (progress && i % kProgressEvery == 0)
      progress(i, after.Count());
    const std::string& name = after.Name(i);
    // The launcher patches and reads the first entry of a name only.
    if (!after.IsFirst(i)) {
      stats.duplicates.push_back(name);
      continue;
    }
    ++stats.entries;
    if (!after.ReadStored(i, newStored, error))
      return false;
    const std::ptrdiff_t old = before.Find(name);
    bool same = false;
    if (old >= 0) {
      const IndexRecord& a = before.Record(static_cast<std::size_t>(old));
      const IndexRecord& b = after.Record(i);
      if (!before.ReadStored(static_cast<std::size_t>(old), oldStored, error))
        return false;
      // Bytes stored alike are alike unpacked; only otherwise unpack both.
      same = a.PackSize == b.PackSize && a.UnpackSize == b.UnpackSize && oldStored == newStored;
      if (!same) {
        if (!before.Unpack(static_cast<std::size_t>(old), oldStored, oldBytes, error) ||
            !after.Unpack(i, newStored, newBytes, error))
          return false;
        same = oldBytes == newBytes;
      }
    } else if (!after.Unpack(i, newStored, newBytes, error)) {
      return false;
    }
    if (same) {
      ++stats.same;
      continue;
    }
    ++(old >= 0 ? stats.changed : stats.added);
    stats.changedBytes += newBytes.size();
    if (!dfl)
      stats.differing.push_back(name);
    else if (!dfl->Add(name, newBytes, error))
      return false;
  }
  for (std::size_t i = 0; i < before.Count(); ++i)
    if (before.IsFirst(i) && after.Find(before.Name(i)) < 0)
      stats.kept.push_back(before.Name(i));
  if (progress)
    progress(after.Count(), after.Count());
  return !dfl || dfl->Empty() || dfl->Finish(stats.dflBytes, error);
}

bool ForEachEntry(
    const fs::path& base, const Packing& packing,
    const std::function<bool(const std::string&, const std::vector<std::uint8_t>&)>& visit,
    std::string& error)
{
  ArchiveReader reader(packing);
  if (!reader.Open(base, error))
    return false;
  std::vector<std::uint8_t> stored, bytes;
  for (std::size_t i = 0; i < reader.Count(); ++i) {
    if (!reader.IsFirst(i))
      continue;
    if (!reader.ReadStored(i, stored, error) || !reader.Unpack(i, stored, bytes, error))
      return false;
    if (!visit(reader.Name(i), bytes))
      return true;
  }
  return true;
}

}  // namespace orv::mkstep

namespace orv::mkstep {

bool HoldsRecords(const fs::path& base)
{
  std::error_code failure;
  const std::uintmax_t size = fs::file_size(WithExtension(base, ".hed"), failure);
  return !failure && size >= archive::kRecordSize;
}

}  // namespace orv::mkstep
