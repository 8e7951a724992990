#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/CGlobal.h"
#include "app/PathParts.h"
#include "app/Text.h"
#include "patcher/ArchiveFormat.h"
#include "patcher/ArchivePatch.h"
#include "platform/ErrorCodes.h"

namespace orv {

namespace {

using archive::BufferedFile;
using archive::IndexRecord;

constexpr const char* kStaleBackup = "%sが残っているため再構築しません";
constexpr const char* kMoveFailed = "%sを移動できませんでした Err:[%d]";
constexpr const char* kOpenFailed = "%sを開けませんでした";
constexpr const char* kDataBroken = "%sのデータが壊れています";
constexpr const char* kWriteFailed = "%sへの書込みに失敗しました";
constexpr const char* kTooLarge = "%sが大きすぎます";
constexpr const char* kRestored = "%sを再構築前の状態に戻しました";
constexpr const char* kCannotTell = "%sを確認できませんでした Err:[%d]";
constexpr const char* kNotRestored = "%sを元に戻せませんでした Err:[%d]";
constexpr const char* kBackupNotRemoved = "%sを削除できませんでした Err:[%d]";
constexpr const char* kCommitted = "%sの再構築を完了しました";
constexpr const char* kNewPairDropped = "%sの書きかけの再構築を破棄しました";
constexpr const char* kFlushFailed = "%sをディスクに書き出せませんでした Err:[%d]";

// Entries stored as they are are copied through a buffer of this size, so a
// large entry never has to fit in memory at once.
constexpr std::size_t kCopyChunk = 1u << 20;

// The names an archive's files take during a rebuild, in its folder.
struct RebuildNames {
  explicit RebuildNames(std::string base)
      : base(std::move(base)),
        dat(this->base + ".dat"),
        hed(this->base + ".hed"),
        datBackup(this->base + std::string(archive::kDataBackupExtension)),
        hedBackup(this->base + std::string(archive::kIndexBackupExtension)),
        newDat(this->base + std::string(archive::kNewDataExtension)),
        newHed(archive::NewIndexPath(this->base))
  {
  }
  std::string Folder() const { return SplitPath(base).Location(); }

  std::string base;  // the archive's path without extension
  std::string dat;
  std::string hed;
  std::string datBackup;
  std::string hedBackup;
  std::string newDat;
  std::string newHed;
};

// The rebuild writes the new pair beside the old one and swaps them in:
//   1. the new pair under .nwdat/.nwhed, written and flushed to the disk;
//   2. the old pair moved to .bkhed/.bkdat, the .hed first;
//   3. the new pair moved to .dat/.hed;
//   4. .bkhed deleted: the commit point; then .bkdat, and the folder flushed.
// So at every moment the files say which pair is the archive: a .bkhed means
// the swap did not commit and the backups are the archive; a .bkdat without
// it means it did and the new pair is; .nwdat/.nwhed alone are an unfinished
// new pair beside an untouched old one. SettleArchive applies these rules
// after a kill or a power cut.
class ArchiveRebuilder {
 public:
  ArchiveRebuilder(CGlobal& global, const std::string& datPath)
      : m_global(global),
        m_files(global.platform().files),
        m_view(global.platform().view),
        m_names(SplitPath(datPath).WithoutExtension())
  {
  }

  RebuildOutcome Run()
  {
    switch (StaleBackup()) {
      case Backup::None:
        break;
      case Backup::Present:
        return RebuildOutcome::NotStarted;
      case Backup::Unknown:
        return RebuildOutcome::Failed;
    }
    if (!OpenFiles() || !CopyRecords() || !CloseNewPair()) {
      DropNewPair();
      return RebuildOutcome::Failed;
    }
    return SwapPairs() ? RebuildOutcome::Rebuilt : RebuildOutcome::Failed;
  }

 private:
  enum class Backup { None, Present, Unknown };
  Backup StaleBackup();
  bool OpenFiles();
  bool CopyRecords();
  bool CopyRecord(const IndexRecord& record);
  bool CloseNewPair();
  void DropNewPair();
  bool SwapPairs();
  bool Move(const std::string& from, const std::string& to);

  CGlobal& m_global;
  FileSystem& m_files;
  View& m_view;
  const RebuildNames m_names;

  BufferedFile m_oldHed;
  BufferedFile m_oldDat;
  BufferedFile m_newHed;
  BufferedFile m_newDat;
  std::uint64_t m_oldDatSize = 0;
  std::uint64_t m_oldDatPosition = 0;
  std::uint64_t m_newDatSize = 0;
  std::unique_ptr<std::uint8_t[]> m_chunk;
  std::vector<std::uint8_t> m_stored;
  std::vector<std::uint8_t> m_unpacked;
};

// A backup the rebuild did not make (the player's, or one that could not be
// settled) may be the only good copy of something: the rebuild leaves the
// pair and the backup as they are, for good. One that cannot be looked at
// just now stops this try only.
ArchiveRebuilder::Backup ArchiveRebuilder::StaleBackup()
{
  for (const std::string* backup : {&m_names.datBackup, &m_names.hedBackup}) {
    std::uint32_t attributes = 0;
    const std::uint32_t error = m_files.ProbeFile(backup->c_str(), attributes);
    if (error == 0) {
      m_global.WriteProcessLog(kStaleBackup, backup->c_str());
      return Backup::Present;
    }
    if (error != err::kFileNotFound && error != err::kPathNotFound) {
      m_global.WriteProcessLog(kCannotTell, backup->c_str(), static_cast<int>(error));
      return Backup::Unknown;
    }
  }
  return Backup::None;
}

bool ArchiveRebuilder::OpenFiles()
{
  const std::size_t size = archive::kStreamBufferSize;
  if (!m_oldHed.Attach(m_files.OpenFile(m_names.hed.c_str(), "rb"), size)) {
    m_global.WriteProcessLog(kOpenFailed, m_names.hed.c_str());
    return false;
  }
  if (!m_oldDat.Attach(m_files.OpenFile(m_names.dat.c_str(), "rb"), size)) {
    m_global.WriteProcessLog(kOpenFailed, m_names.dat.c_str());
    return false;
  }
  if (!m_newHed.Attach(m_files.OpenFile(m_names.newHed.c_str(), "wb"), size)) {
    m_global.WriteProcessLog(kOpenFailed, m_names.newHed.c_str());
    return false;
  }
  if (!m_newDat.Attach(m_files.OpenFile(m_names.newDat.c_str(), "wb"), size)) {
    m_global.WriteProcessLog(kOpenFailed, m_names.newDat.c_str());
    return false;
  }
  if (!archive::SeekToEnd(m_oldDat.get(), m_oldDatSize) || !archive::SeekTo(m_oldDat.get(), 0)) {
    m_global.WriteProcessLog(kOpenFailed, m_names.dat.c_str());
    return false;
  }
  return true;
}

bool ArchiveRebuilder::CopyRecords()
{
  std::uint64_t hedSize = 0;
  if (!archive::SeekToEnd(m_oldHed.get(), hedSize) || !archive::SeekTo(m_oldHed.get(), 0)) {
    m_global.WriteProcessLog(kOpenFailed, m_names.hed.c_str());
    return false;
  }
  const std::uint64_t count = hedSize / archive::kRecordSize;
  const int barEnd = static_cast<int>(std::min<std::uint64_t>(count, INT_MAX));
  m_view.SetProgressPosition(0);
  m_view.SetProgressRange(0, barEnd);
  m_view.SetProgressStep(1);

  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint8_t bytes[archive::kRecordSize];
    if (!m_oldHed.Read(bytes, sizeof bytes)) {
      m_global.WriteProcessLog(kDataBroken, m_names.hed.c_str());
      return false;
    }
    const IndexRecord record = archive::DecodeRecord(bytes);
    // The records the patch leaves at the end describe nothing; the copy
    // ends at the first of them.
    if (record.IsEmpty()) {
      m_view.StepProgress();
      break;
    }
    if (!CopyRecord(record))
      return false;
    m_view.StepProgress();
  }
  m_view.SetProgressPosition(barEnd);
  return true;
}

// One record: its bytes unpacked to the end of the new .dat, its new record
// to the end of the new .hed.
bool ArchiveRebuilder::CopyRecord(const IndexRecord& record)
{
  const std::uint32_t stored = record.StoredBytes();
  if (std::uint64_t{record.Offset} + stored > m_oldDatSize ||
      !archive::PlausibleSizes(record.PackSize, record.UnpackSize)) {
    m_global.WriteProcessLog(kDataBroken, m_names.dat.c_str());
    return false;
  }
  if (m_newDatSize > archive::kMaxDatOffset) {
    m_global.WriteProcessLog(kTooLarge, m_names.newDat.c_str());
    return false;
  }
  if (m_oldDatPosition != record.Offset) {
    if (!archive::SeekTo(m_oldDat.get(), record.Offset)) {
      m_global.WriteProcessLog(kDataBroken, m_names.dat.c_str());
      return false;
    }
    m_oldDatPosition = record.Offset;
  }

  if (record.PackSize == record.UnpackSize) {
    // Stored as it is: copied without holding the whole entry.
    if (!m_chunk)
      m_chunk.reset(new std::uint8_t[kCopyChunk]);
    for (std::uint32_t done = 0; done < stored;) {
      const auto part = static_cast<std::size_t>(std::min<std::uint64_t>(stored - done, kCopyChunk));
      if (!m_oldDat.Read(m_chunk.get(), part)) {
        m_global.WriteProcessLog(kDataBroken, m_names.dat.c_str());
        return false;
      }
      if (!m_newDat.Write(m_chunk.get(), part)) {
        m_global.WriteProcessLog(kWriteFailed, m_names.newDat.c_str());
        return false;
      }
      done += static_cast<std::uint32_t>(part);
    }
  } else {
    m_stored.resize(stored);
    if (!m_oldDat.Read(m_stored.data(), stored)) {
      m_global.WriteProcessLog(kDataBroken, m_names.dat.c_str());
      return false;
    }
    if (!m_global.Unpack(record.PackSize, record.UnpackSize, m_stored.data(), m_unpacked)) {
      m_global.WriteProcessLog(kDataBroken, m_names.dat.c_str());
      return false;
    }
    if (!m_newDat.Write(m_unpacked.data(), m_unpacked.size())) {
      m_global.WriteProcessLog(kWriteFailed, m_names.newDat.c_str());
      return false;
    }
  }
  m_oldDatPosition += stored;

  std::uint8_t bytes[archive::kRecordSize];
  archive::EncodeRecord(IndexRecord{static_cast<std::uint32_t>(m_newDatSize), record.UnpackSize,
                                    record.UnpackSize},
                        bytes);
  if (!m_newHed.Write(bytes, sizeof bytes)) {
    m_global.WriteProcessLog(kWriteFailed, m_names.newHed.c_str());
    return false;
  }
  m_newDatSize += record.UnpackSize;
  return true;
}

// The new pair is complete once both files are closed without error and
// are on the disk.
bool ArchiveRebuilder::CloseNewPair()
{
  m_oldHed.Close();
  m_oldDat.Close();
  for (auto [file, path] : {std::pair{&m_newDat, &m_names.newDat}, {&m_newHed, &m_names.newHed}}) {
    if (!file->Close()) {
      m_global.WriteProcessLog(kWriteFailed, path->c_str());
      return false;
    }
    if (std::uint32_t error = m_files.FlushFile(path->c_str())) {
      m_global.WriteProcessLog(kFlushFailed, path->c_str(), static_cast<int>(error));
      return false;
    }
  }
  return true;
}

// The old pair was never touched: only what was written goes.
void ArchiveRebuilder::DropNewPair()
{
  m_oldHed.Close();
  m_oldDat.Close();
  m_newHed.Close();
  m_newDat.Close();
  m_files.RemoveFile(m_names.newDat.c_str());
  m_files.RemoveFile(m_names.newHed.c_str());
  m_global.WriteProcessLog(kRestored, m_names.base.c_str());
}

bool ArchiveRebuilder::Move(const std::string& from, const std::string& to)
{
  if (std::uint32_t error = m_files.MoveFileTo(from.c_str(), to.c_str())) {
    m_global.WriteProcessLog(kMoveFailed, from.c_str(), static_cast<int>(error));
    return false;
  }
  return true;
}

bool ArchiveRebuilder::SwapPairs()
{
  const RebuildNames& n = m_names;
  const bool swapped = Move(n.hed, n.hedBackup) && Move(n.dat, n.datBackup) &&
                       Move(n.newDat, n.dat) && Move(n.newHed, n.hed);
  if (!swapped) {
    // Not committed: the same rules as after a kill put the old pair back.
    SettleArchive(m_global, n.base);
    return false;
  }
  if (std::uint32_t error = m_files.RemoveFile(n.hedBackup.c_str())) {
    // The backups stay the archive: the new pair goes.
    m_global.WriteProcessLog(kBackupNotRemoved, n.hedBackup.c_str(), static_cast<int>(error));
    SettleArchive(m_global, n.base);
    return false;
  }
  // Committed. A .bkdat left here would keep a whole old .dat on the disk
  // and stop every later rebuild: the step fails, so that its marker stays
  // and the next start removes it.
  if (std::uint32_t error = m_files.RemoveFile(n.datBackup.c_str())) {
    m_global.WriteProcessLog(kBackupNotRemoved, n.datBackup.c_str(), static_cast<int>(error));
    return false;
  }
  if (std::uint32_t error = m_files.FlushFolder(n.Folder().c_str())) {
    m_global.WriteProcessLog(kFlushFailed, n.Folder().c_str(), static_cast<int>(error));
    return false;
  }
  return true;
}

}  // namespace

RebuildOutcome RebuildArchive(CGlobal& global, const std::string& datPath)
{
  return ArchiveRebuilder(global, datPath).Run();
}

bool IsRebuildFileName(std::string_view name)
{
  for (std::string_view extension : {archive::kIndexBackupExtension, archive::kDataBackupExtension,
                                     archive::kNewIndexExtension, archive::kNewDataExtension}) {
    if (name.size() > extension.size() &&
        name.compare(name.size() - extension.size(), extension.size(), extension) == 0)
      return true;
  }
  return false;
}

std::string RebuildArchiveBase(std::string_view path)
{
  return SplitPath(path).WithoutExtension();
}

bool SettleArchive(CGlobal& global, const std::string& base)
{
  FileSystem& files = global.platform().files;
  const RebuildNames n(base);
  // A file that is there but cannot be looked at just now (held by another
  // program, no handles left) is not absent: judged absent, the only good
  // .dat could be deleted. Nothing is touched until every one is known.
  bool known = true;
  auto present = [&](const std::string& path) {
    std::uint32_t attributes = 0;
    const std::uint32_t error = files.ProbeFile(path.c_str(), attributes);
    if (error == err::kFileNotFound || error == err::kPathNotFound)
      return false;
    if (error != 0 && known) {
      global.WriteProcessLog(kCannotTell, path.c_str(), static_cast<int>(error));
      known = false;
    }
    return true;
  };
  const bool hedBackup = present(n.hedBackup);
  const bool datBackup = present(n.datBackup);
  const bool newHed = present(n.newHed);
  const bool newDat = present(n.newDat);
  if (!known)
    return false;
  if (!hedBackup && !datBackup && !newHed && !newDat)
    return true;

  bool settled = true;
  auto report = [&](const char* what, std::uint32_t error) {
    if (error != 0 && error != err::kFileNotFound) {
      global.WriteProcessLog(kNotRestored, what, static_cast<int>(error));
      settled = false;
    }
  };
  const char* outcome = kNewPairDropped;
  if (hedBackup) {
    // Not committed: the backups are the archive. A .bkdat absent means the
    // .dat was never moved away.
    if (datBackup)
      report(n.dat.c_str(), files.MoveFileOver(n.datBackup.c_str(), n.dat.c_str()));
    if (settled)
      report(n.hed.c_str(), files.MoveFileOver(n.hedBackup.c_str(), n.hed.c_str()));
    outcome = kRestored;
  } else if (datBackup) {
    // Committed: the new pair is in place; the old .dat is dead.
    report(n.datBackup.c_str(), files.RemoveFile(n.datBackup.c_str()));
    outcome = kCommitted;
  }
  if (settled) {
    report(n.newDat.c_str(), files.RemoveFile(n.newDat.c_str()));
    report(n.newHed.c_str(), files.RemoveFile(n.newHed.c_str()));
  }
  if (settled)
    report(n.Folder().c_str(), files.FlushFolder(n.Folder().c_str()));
  if (settled)
    global.WriteProcessLog(outcome, base.c_str());
  return settled;
}

}  // namespace orv
