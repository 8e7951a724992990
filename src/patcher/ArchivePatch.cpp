#include "patcher/ArchivePatch.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "app/CGlobal.h"
#include "app/LauncherApp.h"
#include "app/PathParts.h"
#include "app/Text.h"
#include "patcher/ArchiveFormat.h"
#include "patcher/Recovery.h"
#include "patcher/SafePath.h"
#include "platform/ErrorCodes.h"

namespace orv {

namespace {

using archive::BufferedFile;
using archive::IndexRecord;

constexpr const char* kWorkFolderPattern = "\\_temp\\*.dfl";
constexpr const char* kWorkFolder = "\\_temp\\";

// What the patch reports when an archive or a patch file lies about its
// sizes, cannot be read, or cannot be written.
constexpr const char* kArchivePathRefused = "%sはゲームフォルダの外を指しています";
constexpr const char* kIndexHasNoRecord = "%s.hedにレコードがありません";
constexpr const char* kIndexTooLarge = "%s.hedが大きすぎます";
constexpr const char* kRecordOutsideData = "%s.hedのレコードが%s.datの外を指しています";
constexpr const char* kNameTableBroken = "%s.datの名前表が壊れています";
constexpr const char* kNameTableNotUnpacked = "%s.datの名前表を解凍できませんでした";
constexpr const char* kPatchTruncated = "%sが途中で終わっています";
constexpr const char* kPatchSizesInvalid = "%sのサイズ指定が不正です";
constexpr const char* kPatchNamesNotUnpacked = "%sの名前を解凍できませんでした";
constexpr const char* kPatchEntryNotUnpacked = "%sの%sを解凍できませんでした";
constexpr const char* kOpenForUpdateFailed = "%s.%sを書込み用に開けませんでした";
constexpr const char* kWriteFailed = "%s.%sへの書込みに失敗しました";
constexpr const char* kDataTooLarge = "%s.datが大きすぎます";
constexpr const char* kFlushFailed = "%sをディスクに書き出せませんでした Err:[%d]";
constexpr const char* kNotCutBack = "%s.datを元の長さに戻せませんでした Err:[%d]";
constexpr const char* kCutBack = "%s.datの書きかけの%lluバイトを切り詰めました";
constexpr const char* kRebuildNotNoted = "%sの再構築を始められませんでした";

// The names of a names block: up to count NUL-ended strings from its start,
// never read past its end, so a short block gives fewer names. They stay in
// the block, each still followed by its NUL.
std::vector<std::string_view> ReadNameBlock(std::uint32_t count,
                                            const std::vector<std::uint8_t>& block)
{
  std::vector<std::string_view> names;
  names.reserve(std::min<std::size_t>(count, block.size()));
  const char* cursor = reinterpret_cast<const char*>(block.data());
  const char* const end = cursor + block.size();
  while (names.size() < count && cursor < end) {
    const char* nul = static_cast<const char*>(std::memchr(cursor, '\0', end - cursor));
    if (!nul)
      break;  // an unended last name is not a name
    names.emplace_back(cursor, static_cast<std::size_t>(nul - cursor));
    cursor = nul + 1;
  }
  return names;
}

// Applies one .dfl to its archive pair. The archive's names stay in the name
// table and the patch's names block as they were read (each name ends in its
// NUL there), found through a hash of each name's first index. The .hed is
// small and is kept as an image in memory: every positioned write of the
// patch goes to the image, and the image replaces the file as a whole once
// the appended bytes of the .dat are on the disk, so a record never points
// at bytes the .dat does not hold yet.
class ArchivePatcher {
 public:
  explicit ArchivePatcher(CGlobal& global) : m_global(global), m_files(global.platform().files) {}

  bool Apply(const std::string& dflPath)
  {
    if (!ResolveArchivePaths(dflPath))
      return false;
    if (!ReadArchiveNames())
      return false;
    // The archive takes the patch whole or not at all: an entry that does
    // not unpack, a patch that ends early or a .dat at its limit part-way
    // leave the index as it was, and the bytes appended go again.
    if (ApplyPatchEntries(dflPath) && WriteArchiveNames() && CloseArchive())
      return true;
    TakeBackAppended();
    return false;
  }

  const std::string& DatPath() const { return m_datPath; }
  const std::string& ArchivePath() const { return m_archivePath; }

 private:
  bool ResolveArchivePaths(const std::string& dflPath);
  bool ReadArchiveNames();
  bool ReadNameTable(std::FILE* dat);
  bool ApplyPatchEntries(const std::string& dflPath);
  bool OpenArchiveForUpdate();
  bool WriteArchiveEntry(std::string_view name, const std::vector<std::uint8_t>& bytes);
  std::uint32_t FindOrAddName(std::string_view name);
  bool WriteArchiveNames();
  bool CloseArchive();
  void TakeBackAppended();

  // The .hed's positioned writes, on the image.
  void WriteIndexRecord(std::uint64_t position, const IndexRecord& record);
  void AppendEmptyRecord() { WriteIndexRecord(m_index.size(), IndexRecord{}); }

  CGlobal& m_global;
  FileSystem& m_files;
  std::string m_archivePath;  // relative to the game folder, without extension
  std::string m_hedPath;
  std::string m_datPath;
  std::string m_newHedPath;  // the whole new index before it replaces the .hed

  std::vector<std::uint8_t> m_nameTable;   // the archive's, unpacked
  std::vector<std::uint8_t> m_patchNames;  // the patch's names block, unpacked
  std::vector<std::string_view> m_names;   // position p holds the name of record p + 1
  // The index's nodes come from one arena: they lie close together and go
  // all at once with the patch.
  std::pmr::monotonic_buffer_resource m_nameArena;
  std::pmr::unordered_map<std::string_view, std::uint32_t> m_nameIndex{&m_nameArena};

  std::vector<std::uint8_t> m_index;  // the .hed
  std::size_t m_indexDirtyFrom = 0;   // the image differs from the file from here on
  BufferedFile m_dat;
  std::uint64_t m_datSize = 0;
  // The .dat's length when it was opened for writing; kNotOpened before.
  static constexpr std::uint64_t kNotOpened = ~std::uint64_t{0};
  std::uint64_t m_datSizeAtOpen = kNotOpened;
  bool m_committed = false;
  bool m_writeFailed = false;

  // Reused from entry to entry.
  std::vector<std::uint8_t> m_stored;
  std::vector<std::uint8_t> m_unpacked;
};

bool ArchivePatcher::ResolveArchivePaths(const std::string& dflPath)
{
  m_archivePath = PatchedArchive(dflPath);
  // The name comes from the server's cabinet: it must not reach out of the
  // game folder.
  if (!IsContainedRelativePath(m_archivePath)) {
    m_global.WriteProcessLog(kArchivePathRefused, m_archivePath.c_str());
    return false;
  }
  const std::string base = std::string(m_global.OrvDir) + "\\" + m_archivePath;
  m_hedPath = base + ".hed";
  m_datPath = base + ".dat";
  m_newHedPath = archive::NewIndexPath(base);
  if (!FileReadable(m_files, m_hedPath.c_str())) {
    m_global.WriteProcessLog("%s.hedを開けませんでした", m_archivePath.c_str());
    return false;
  }
  if (!FileReadable(m_files, m_datPath.c_str())) {
    m_global.WriteProcessLog("%s.datを開けませんでした", m_archivePath.c_str());
    return false;
  }
  return true;
}

bool ArchivePatcher::ReadArchiveNames()
{
  m_names.clear();
  m_nameIndex.clear();

  BufferedFile hed;
  if (!hed.Attach(m_files.OpenFile(m_hedPath.c_str(), "rb"), archive::kStreamBufferSize)) {
    m_global.app().ShowMessage("Error", "hedファイルの取得に失敗しました");
    return false;
  }
  std::uint64_t hedSize = 0;
  if (!archive::SeekToEnd(hed.get(), hedSize) || hedSize < archive::kRecordSize) {
    m_global.WriteProcessLog(kIndexHasNoRecord, m_archivePath.c_str());
    return false;
  }
  if (hedSize > archive::kMaxEntrySize) {
    m_global.WriteProcessLog(kIndexTooLarge, m_archivePath.c_str());
    return false;
  }
  m_index.resize(static_cast<std::size_t>(hedSize));
  if (!archive::SeekTo(hed.get(), 0) || !hed.Read(m_index.data(), m_index.size())) {
    m_global.WriteProcessLog(kIndexHasNoRecord, m_archivePath.c_str());
    return false;
  }
  m_indexDirtyFrom = m_index.size();
  hed.Close();

  BufferedFile dat;
  if (!dat.Attach(m_files.OpenFile(m_datPath.c_str(), "rb"), archive::kStreamBufferSize)) {
    m_global.app().ShowMessage("Error", "datファイルの取得に失敗しました");
    return false;
  }
  return ReadNameTable(dat.get());
}

bool ArchivePatcher::ReadNameTable(std::FILE* dat)
{
  const char* archivePath = m_archivePath.c_str();
  const IndexRecord record =
      archive::DecodeRecord(m_index.data() + archive::kNameTableRecord * archive::kRecordSize);
  std::uint64_t datSize = 0;
  if (!archive::SeekToEnd(dat, datSize) ||
      std::uint64_t{record.Offset} + record.StoredBytes() > datSize) {
    m_global.WriteProcessLog(kRecordOutsideData, archivePath, archivePath);
    return false;
  }
  if (!archive::PlausibleSizes(record.PackSize, record.UnpackSize)) {
    m_global.WriteProcessLog(kNameTableBroken, archivePath);
    return false;
  }
  m_stored.resize(record.StoredBytes());
  if (!archive::SeekTo(dat, record.Offset) ||
      (!m_stored.empty() && std::fread(m_stored.data(), 1, m_stored.size(), dat) != m_stored.size())) {
    m_global.WriteProcessLog(kRecordOutsideData, archivePath, archivePath);
    return false;
  }
  if (!m_global.Unpack(record.PackSize, record.UnpackSize, m_stored.data(), m_unpacked)) {
    m_global.WriteProcessLog(kNameTableNotUnpacked, archivePath);
    return false;
  }

  m_nameTable.swap(m_unpacked);
  const std::vector<std::uint8_t>& table = m_nameTable;
  if (table.size() < archive::kNameCountSize) {
    m_global.WriteProcessLog(kNameTableBroken, archivePath);
    return false;
  }
  const std::uint32_t count = archive::ReadLe32(table.data());
  // Every name takes at least its NUL.
  if (count > table.size() - archive::kNameCountSize) {
    m_global.WriteProcessLog(kNameTableBroken, archivePath);
    return false;
  }
  const char* cursor = reinterpret_cast<const char*>(table.data()) + archive::kNameCountSize;
  const char* const end = reinterpret_cast<const char*>(table.data()) + table.size();
  m_names.reserve(count);
  m_nameIndex.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const char* nul = static_cast<const char*>(std::memchr(cursor, '\0', end - cursor));
    if (!nul) {
      m_global.WriteProcessLog(kNameTableBroken, archivePath);
      return false;
    }
    m_names.emplace_back(cursor, static_cast<std::size_t>(nul - cursor));
    // A name listed twice is found at its first place, as a scan would.
    m_nameIndex.emplace(m_names.back(), i + 1);
    cursor = nul + 1;
  }
  return true;
}

bool ArchivePatcher::ApplyPatchEntries(const std::string& dflPath)
{
  const std::string dflName = SplitPath(dflPath).FileName();
  BufferedFile dfl;
  if (!dfl.Attach(m_files.OpenFile(dflPath.c_str(), "rb"), archive::kStreamBufferSize)) {
    m_global.app().ShowMessage("Error", "dflファイルをオープンできませんでした");
    return false;
  }
  std::uint64_t left = 0;
  if (!archive::SeekToEnd(dfl.get(), left) || !archive::SeekTo(dfl.get(), 0)) {
    m_global.WriteProcessLog(kPatchTruncated, dflName.c_str());
    return false;
  }
  // Reads the next bytes of the patch; a patch that ends before what it
  // declares is refused before anything of the entry is written.
  auto take = [&](void* bytes, std::uint64_t size) {
    if (size > left || !dfl.Read(bytes, static_cast<std::size_t>(size))) {
      m_global.WriteProcessLog(kPatchTruncated, dflName.c_str());
      return false;
    }
    left -= size;
    return true;
  };

  std::uint8_t header[archive::kDflHeaderSize];
  if (!take(header, sizeof header))
    return false;
  const std::uint32_t entryCount = archive::ReadLe32(header + archive::kDflEntryCountField);
  const std::uint32_t namesPackSize = archive::ReadLe32(header + archive::kDflNamesPackSizeField);
  const std::uint32_t namesUnpackSize =
      archive::ReadLe32(header + archive::kDflNamesUnpackSizeField);
  if (!archive::PlausibleSizes(namesPackSize, namesUnpackSize)) {
    m_global.WriteProcessLog(kPatchSizesInvalid, dflName.c_str());
    return false;
  }
  const std::uint32_t namesStored = namesPackSize & archive::kStoredSizeMask;
  if (namesStored > left) {
    m_global.WriteProcessLog(kPatchTruncated, dflName.c_str());
    return false;
  }
  m_stored.resize(namesStored);
  if (!take(m_stored.data(), namesStored))
    return false;
  if (!m_global.Unpack(namesPackSize, namesUnpackSize, m_stored.data(), m_unpacked)) {
    m_global.WriteProcessLog(kPatchNamesNotUnpacked, dflName.c_str());
    return false;
  }
  m_patchNames.swap(m_unpacked);
  const std::vector<std::string_view> patchNames = ReadNameBlock(entryCount, m_patchNames);
  if (patchNames.size() != entryCount) {
    m_global.WriteProcessLog("dflファイルの名称取得数に相違があります。 %d/%d",
                             static_cast<int>(patchNames.size()), static_cast<int>(entryCount));
    return false;
  }

  m_nameIndex.reserve(m_names.size() + patchNames.size());
  if (!OpenArchiveForUpdate())
    return false;
  // As many entries as the patch declares; its names block already proved
  // that it holds that many names.
  for (std::uint32_t i = 0; i < entryCount; ++i) {
    std::uint8_t sizes[archive::kDflEntryHeaderSize];
    if (!take(sizes, sizeof sizes))
      return false;
    const std::uint32_t packSize = archive::ReadLe32(sizes + archive::kDflEntryPackSizeField);
    const std::uint32_t unpackSize = archive::ReadLe32(sizes + archive::kDflEntryUnpackSizeField);
    if (!archive::PlausibleSizes(packSize, unpackSize)) {
      m_global.WriteProcessLog(kPatchSizesInvalid, dflName.c_str());
      return false;
    }
    const std::uint32_t stored = packSize & archive::kStoredSizeMask;
    if (stored > left) {
      m_global.WriteProcessLog(kPatchTruncated, dflName.c_str());
      return false;
    }
    m_stored.resize(stored);
    if (!take(m_stored.data(), stored))
      return false;
    // Bytes that did not unpack are not the entry: nothing is written for it.
    if (!m_global.Unpack(packSize, unpackSize, m_stored.data(), m_unpacked)) {
      m_global.WriteProcessLog(kPatchEntryNotUnpacked, dflName.c_str(), patchNames[i].data());
      return false;
    }
    if (!WriteArchiveEntry(patchNames[i], m_unpacked))
      return false;
  }
  return true;
}

// The .hed and .dat stay open across the entries of the patch.
bool ArchivePatcher::OpenArchiveForUpdate()
{
  m_writeFailed = false;
  if (!m_dat.Attach(m_files.OpenFile(m_datPath.c_str(), "rb+"), archive::kStreamBufferSize)) {
    m_global.WriteProcessLog(kOpenForUpdateFailed, m_archivePath.c_str(), "dat");
    return false;
  }
  // The .hed is replaced as a whole at the end; one that may not be
  // written is refused before anything is.
  BufferedFile hed;
  if (!hed.Attach(m_files.OpenFile(m_hedPath.c_str(), "rb+"), archive::kStreamBufferSize)) {
    m_global.WriteProcessLog(kOpenForUpdateFailed, m_archivePath.c_str(), "hed");
    m_dat.Close();
    return false;
  }
  // Everything goes to the end of the .dat, so the stream stays there.
  if (!archive::SeekToEnd(m_dat.get(), m_datSize)) {
    m_global.WriteProcessLog(kOpenForUpdateFailed, m_archivePath.c_str(), "dat");
    return false;
  }
  m_datSizeAtOpen = m_datSize;
  return true;
}

bool ArchivePatcher::WriteArchiveEntry(std::string_view name,
                                       const std::vector<std::uint8_t>& bytes)
{
  m_global.WriteStatus("%sを書込み", name.data());
  // The record's offset is 32-bit: past that it would point at the start of
  // the .dat again.
  if (m_datSize > archive::kMaxDatOffset) {
    m_global.WriteProcessLog(kDataTooLarge, m_archivePath.c_str());
    return false;
  }
  const std::uint32_t index = FindOrAddName(name);
  const auto size = static_cast<std::uint32_t>(bytes.size());
  WriteIndexRecord(std::uint64_t{index} * archive::kRecordSize,
                   IndexRecord{static_cast<std::uint32_t>(m_datSize), size, size});
  if (!m_dat.Write(bytes.data(), bytes.size())) {
    m_global.WriteProcessLog(kWriteFailed, m_archivePath.c_str(), "dat");
    m_writeFailed = true;
    return false;
  }
  m_datSize += size;
  AppendEmptyRecord();
  return true;
}

std::uint32_t ArchivePatcher::FindOrAddName(std::string_view name)
{
  const auto found = m_nameIndex.find(name);
  if (found != m_nameIndex.end())
    return found->second;
  m_names.push_back(name);
  const auto index = static_cast<std::uint32_t>(m_names.size());
  m_nameIndex.emplace(name, index);
  AppendEmptyRecord();
  return index;
}

bool ArchivePatcher::WriteArchiveNames()
{
  if (m_datSize > archive::kMaxDatOffset) {
    m_global.WriteProcessLog(kDataTooLarge, m_archivePath.c_str());
    return false;
  }
  std::size_t size = archive::kNameCountSize;
  for (std::string_view name : m_names)
    size += name.size() + 1;
  // Larger than any entry the reader accepts: it would lock the archive.
  if (size > archive::kMaxEntrySize) {
    m_global.WriteProcessLog(kNameTableBroken, m_archivePath.c_str());
    return false;
  }
  std::vector<std::uint8_t> table(size);
  archive::WriteLe32(table.data(), static_cast<std::uint32_t>(m_names.size()));
  std::uint8_t* cursor = table.data() + archive::kNameCountSize;
  for (std::string_view name : m_names) {
    std::memcpy(cursor, name.data(), name.size());
    cursor += name.size() + 1;  // the NUL is already there
  }
  const auto offset = static_cast<std::uint32_t>(m_datSize);
  if (!m_dat.Write(table.data(), table.size())) {
    m_global.WriteProcessLog(kWriteFailed, m_archivePath.c_str(), "dat");
    m_writeFailed = true;
    return false;
  }
  m_datSize += size;
  const auto tableSize = static_cast<std::uint32_t>(size);
  WriteIndexRecord(archive::kNameTableRecord * archive::kRecordSize,
                   IndexRecord{offset, tableSize, tableSize});
  return true;
}

// The order in which the patch reaches the files is what keeps an archive
// whole across a kill or a power cut at any moment:
//   1. the appended bytes of the .dat, flushed to the disk; no record points
//      at them yet, so the archive still reads as it did;
//   2. the whole new .hed written beside the old one as .nwhed and flushed;
//   3. .nwhed moved over the .hed: the commit point of the patch.
// The archive therefore reads as before the patch or as after it, never as
// a mix; a .nwhed left by a cut is an unfinished patch, and start-up
// removes it. Should the .dat fail, the .hed stays as it was.
bool ArchivePatcher::CloseArchive()
{
  if (!m_dat)
    return true;  // nothing was opened for writing
  if (m_writeFailed || std::fflush(m_dat.get()) != 0 || !m_dat.Close() ||
      m_files.FlushFile(m_datPath.c_str()) != 0) {
    if (!m_writeFailed)
      m_global.WriteProcessLog(kWriteFailed, m_archivePath.c_str(), "dat");
    m_dat.Close();
    return false;
  }
  if (m_indexDirtyFrom >= m_index.size())
    return true;
  const std::string& newHed = m_newHedPath;
  BufferedFile hed;
  bool written = hed.Attach(m_files.OpenFile(newHed.c_str(), "wb"), archive::kStreamBufferSize) &&
                 hed.Write(m_index.data(), m_index.size());
  written = hed.Close() && written && m_files.FlushFile(newHed.c_str()) == 0 &&
            m_files.MoveFileOver(newHed.c_str(), m_hedPath.c_str()) == 0;
  if (!written) {
    m_global.WriteProcessLog(kWriteFailed, m_archivePath.c_str(), "hed");
    return false;
  }
  m_committed = true;
  m_indexDirtyFrom = m_index.size();
  const std::string folder = SplitPath(m_hedPath).Location();
  if (std::uint32_t error = m_files.FlushFolder(folder.c_str())) {
    m_global.WriteProcessLog(kFlushFailed, folder.c_str(), static_cast<int>(error));
    return false;
  }
  return true;
}

// Before the commit, nothing points at the bytes appended to the .dat: they
// are cut off, so that a failed patch neither keeps the space nor moves the
// .dat towards its limit on every try. Should the cut fail too, the next
// start cuts them, as the step's marker records the length.
void ArchivePatcher::TakeBackAppended()
{
  if (m_committed || m_datSizeAtOpen == kNotOpened)
    return;
  m_dat.Close();
  m_files.RemoveFile(m_newHedPath.c_str());
  if (std::uint32_t error = m_files.SetFileLength(m_datPath.c_str(), m_datSizeAtOpen))
    m_global.WriteProcessLog(kNotCutBack, m_archivePath.c_str(), static_cast<int>(error));
}

// A write past the end fills the gap with zeros, as the file system does.
void ArchivePatcher::WriteIndexRecord(std::uint64_t position, const IndexRecord& record)
{
  const auto at = static_cast<std::size_t>(position);
  if (at + archive::kRecordSize > m_index.size())
    m_index.resize(at + archive::kRecordSize, 0);
  archive::EncodeRecord(record, m_index.data() + at);
  m_indexDirtyFrom = std::min(m_indexDirtyFrom, at);
}

}  // namespace

std::string ReplaceAll(std::string_view text, std::string_view find, std::string_view replacement)
{
  if (find.empty())
    return std::string(text);
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, find.size(), find) == 0) {
      result += replacement;
      i += find.size();
      continue;
    }
    const bool doubleByte =
        IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size();
    const std::size_t width = doubleByte ? 2 : 1;
    result.append(text.substr(i, width));
    i += width;
  }
  return result;
}

bool ApplyPatchFile(CGlobal& global, const std::string& dflPath)
{
  ArchivePatcher patcher(global);
  if (!patcher.Apply(dflPath))
    return false;
  if (global.ReStruct != 1)
    return true;
  // Settling after a cut must know that this archive's rebuild files are
  // the launcher's, and only this archive's.
  if (!NoteRebuildStarting(global, patcher.ArchivePath())) {
    global.WriteProcessLog(kRebuildNotNoted, patcher.ArchivePath().c_str());
    return false;
  }
  global.WriteStatus("再構築中…");
  const RebuildOutcome outcome = RebuildArchive(global, patcher.DatPath());
  global.WriteStatus("再構築が終了");
  // A rebuild that did not start leaves the patched pair as it is, which is
  // the new version; one that started and did not commit fails the step,
  // whose marker then stays for the next start to settle.
  return outcome != RebuildOutcome::Failed;
}

std::string PatchedArchive(std::string_view dflName)
{
  return ReplaceAll(SplitPath(dflName).name, "_", "\\");
}

std::uint32_t FindPatchFiles(CGlobal& global, std::vector<std::string>& names)
{
  names.clear();
  std::vector<FoundFile> found;
  const std::uint32_t error = global.platform().files.FindFiles(
      (std::string(global.startDir) + kWorkFolderPattern).c_str(), found);
  if (error == err::kFileNotFound)
    return 0;  // a step without patches
  // Plain files carry the "normal" attribute: they are the patches. Only a
  // folder named like a patch is not one.
  for (const FoundFile& file : found)
    if (file.name != "." && file.name != ".." && !(file.attributes & kAttributeDirectory))
      names.push_back(file.name);
  return error;
}

bool CutDataToIndex(CGlobal& global, const std::string& base, std::uint64_t floor)
{
  FileSystem& files = global.platform().files;
  const std::string hedPath = base + ".hed";
  const std::string datPath = base + ".dat";
  BufferedFile hed;
  if (!hed.Attach(files.OpenFile(hedPath.c_str(), "rb"), archive::kStreamBufferSize)) {
    global.WriteProcessLog("%sを開けませんでした", hedPath.c_str());
    return false;
  }
  // The end of the bytes the committed index describes.
  std::uint64_t end = floor;
  std::uint8_t bytes[archive::kRecordSize];
  while (hed.Read(bytes, sizeof bytes)) {
    const IndexRecord record = archive::DecodeRecord(bytes);
    end = std::max(end, std::uint64_t{record.Offset} + record.StoredBytes());
  }
  hed.Close();
  std::FILE* dat = files.OpenFile(datPath.c_str(), "rb");
  std::uint64_t size = 0;
  const bool sized = dat && archive::SeekToEnd(dat, size);
  if (dat)
    std::fclose(dat);
  if (!sized) {
    global.WriteProcessLog("%sを開けませんでした", datPath.c_str());
    return false;
  }
  if (size <= end)
    return true;
  if (std::uint32_t error = files.SetFileLength(datPath.c_str(), end)) {
    global.WriteProcessLog(kNotCutBack, base.c_str(), static_cast<int>(error));
    return false;
  }
  global.WriteProcessLog(kCutBack, base.c_str(), static_cast<unsigned long long>(size - end));
  return true;
}

bool ApplyPatchFiles(CGlobal& global)
{
  const std::string workFolder = std::string(global.startDir) + kWorkFolder;
  std::vector<std::string> names;
  if (std::uint32_t error = FindPatchFiles(global, names)) {
    global.WriteProcessLog("dflファイルの検索に失敗しました Err:[%d]", static_cast<int>(error));
    return false;
  }
  for (const std::string& file : names) {
    const char* name = file.c_str();
    global.WriteStatus("%sを適用", name);
    if (!ApplyPatchFile(global, workFolder + file)) {
      global.WriteProcessLog("%sの適用中にエラーが発生", name);
      return false;
    }
    global.WriteStatus("%sの適用が終了", name);
  }
  return true;
}

}  // namespace orv
