#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/CGlobal.h"
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
constexpr const char* kNotRestored = "%sを元に戻せませんでした Err:[%d]";
constexpr const char* kBackupNotRemoved = "%sを削除できませんでした Err:[%d]";

// Entries stored as they are are copied through a buffer of this size, so a
// large entry never has to fit in memory at once.
constexpr std::size_t kCopyChunk = 1u << 20;

// The archive's folder (with its separator) and its path without extension.
std::string ArchiveBase(std::string_view datPath)
{
  std::size_t nameStart = 0;
  for (std::size_t i = 0; i < datPath.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(datPath[i]);
    if (IsLeadByte(byte) && i + 1 < datPath.size())
      ++i;
    else if (byte == '\\' || byte == '/')
      nameStart = i + 1;
  }
  const std::size_t dot = datPath.rfind('.');
  const std::size_t end = dot == std::string_view::npos || dot < nameStart ? datPath.size() : dot;
  return std::string(datPath.substr(0, end));
}

class ArchiveRebuilder {
 public:
  ArchiveRebuilder(CGlobal& global, const std::string& datPath)
      : m_global(global),
        m_files(global.platform().files),
        m_view(global.platform().view),
        m_base(ArchiveBase(datPath)),
        m_datPath(m_base + ".dat"),
        m_datBackup(m_base + ".bkdat"),
        m_hedPath(m_base + ".hed"),
        m_hedBackup(m_base + ".bkhed")
  {
  }

  bool Run()
  {
    if (!MoveToBackups())
      return false;
    if (!OpenFiles() || !CopyRecords() || !CloseNewPair()) {
      Restore();
      return false;
    }
    RemoveBackups();
    return true;
  }

 private:
  bool MoveToBackups();
  bool OpenFiles();
  bool CopyRecords();
  bool CopyRecord(const IndexRecord& record);
  bool CloseNewPair();
  void Restore();
  void RemoveBackups();

  CGlobal& m_global;
  FileSystem& m_files;
  View& m_view;
  const std::string m_base;
  const std::string m_datPath;
  const std::string m_datBackup;
  const std::string m_hedPath;
  const std::string m_hedBackup;

  BufferedFile m_oldHed;
  BufferedFile m_oldDat;
  BufferedFile m_newHed;
  BufferedFile m_newDat;
  bool m_createdHed = false;
  bool m_createdDat = false;
  std::uint64_t m_oldDatSize = 0;
  std::uint64_t m_oldDatPosition = 0;
  std::uint64_t m_newDatSize = 0;
  std::unique_ptr<std::uint8_t[]> m_chunk;
  std::vector<std::uint8_t> m_stored;
  std::vector<std::uint8_t> m_unpacked;
};

// A backup left by an earlier run that did not finish may be the only good
// copy of the archive: the move refuses to replace it, and the rebuild leaves
// the pair as it is.
bool ArchiveRebuilder::MoveToBackups()
{
  std::uint32_t error = m_files.MoveFileTo(m_datPath.c_str(), m_datBackup.c_str());
  if (error != 0) {
    if (error == err::kAlreadyExists)
      m_global.WriteProcessLog(kStaleBackup, m_datBackup.c_str());
    else
      m_global.WriteProcessLog(kMoveFailed, m_datPath.c_str(), static_cast<int>(error));
    return false;
  }
  error = m_files.MoveFileTo(m_hedPath.c_str(), m_hedBackup.c_str());
  if (error != 0) {
    if (error == err::kAlreadyExists)
      m_global.WriteProcessLog(kStaleBackup, m_hedBackup.c_str());
    else
      m_global.WriteProcessLog(kMoveFailed, m_hedPath.c_str(), static_cast<int>(error));
    m_files.MoveFileOver(m_datBackup.c_str(), m_datPath.c_str());
    return false;
  }
  return true;
}

bool ArchiveRebuilder::OpenFiles()
{
  const std::size_t size = archive::kStreamBufferSize;
  if (!m_oldHed.Attach(m_files.OpenFile(m_hedBackup.c_str(), "rb"), size)) {
    m_global.WriteProcessLog(kOpenFailed, m_hedBackup.c_str());
    return false;
  }
  if (!m_oldDat.Attach(m_files.OpenFile(m_datBackup.c_str(), "rb"), size)) {
    m_global.WriteProcessLog(kOpenFailed, m_datBackup.c_str());
    return false;
  }
  m_createdHed = m_newHed.Attach(m_files.OpenFile(m_hedPath.c_str(), "wb"), size);
  if (!m_createdHed) {
    m_global.WriteProcessLog(kOpenFailed, m_hedPath.c_str());
    return false;
  }
  m_createdDat = m_newDat.Attach(m_files.OpenFile(m_datPath.c_str(), "wb"), size);
  if (!m_createdDat) {
    m_global.WriteProcessLog(kOpenFailed, m_datPath.c_str());
    return false;
  }
  if (!archive::SeekToEnd(m_oldDat.get(), m_oldDatSize) || !archive::SeekTo(m_oldDat.get(), 0)) {
    m_global.WriteProcessLog(kOpenFailed, m_datBackup.c_str());
    return false;
  }
  return true;
}

bool ArchiveRebuilder::CopyRecords()
{
  std::uint64_t hedSize = 0;
  if (!archive::SeekToEnd(m_oldHed.get(), hedSize) || !archive::SeekTo(m_oldHed.get(), 0)) {
    m_global.WriteProcessLog(kOpenFailed, m_hedBackup.c_str());
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
      m_global.WriteProcessLog(kDataBroken, m_hedBackup.c_str());
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
    m_global.WriteProcessLog(kDataBroken, m_datBackup.c_str());
    return false;
  }
  if (m_newDatSize > archive::kMaxDatOffset) {
    m_global.WriteProcessLog(kTooLarge, m_datPath.c_str());
    return false;
  }
  if (m_oldDatPosition != record.Offset) {
    if (!archive::SeekTo(m_oldDat.get(), record.Offset)) {
      m_global.WriteProcessLog(kDataBroken, m_datBackup.c_str());
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
        m_global.WriteProcessLog(kDataBroken, m_datBackup.c_str());
        return false;
      }
      if (!m_newDat.Write(m_chunk.get(), part)) {
        m_global.WriteProcessLog(kWriteFailed, m_datPath.c_str());
        return false;
      }
      done += static_cast<std::uint32_t>(part);
    }
  } else {
    m_stored.resize(stored);
    if (!m_oldDat.Read(m_stored.data(), stored)) {
      m_global.WriteProcessLog(kDataBroken, m_datBackup.c_str());
      return false;
    }
    if (!m_global.Unpack(record.PackSize, record.UnpackSize, m_stored.data(), m_unpacked)) {
      m_global.WriteProcessLog(kDataBroken, m_datBackup.c_str());
      return false;
    }
    if (!m_newDat.Write(m_unpacked.data(), m_unpacked.size())) {
      m_global.WriteProcessLog(kWriteFailed, m_datPath.c_str());
      return false;
    }
  }
  m_oldDatPosition += stored;

  std::uint8_t bytes[archive::kRecordSize];
  archive::EncodeRecord(IndexRecord{static_cast<std::uint32_t>(m_newDatSize), record.UnpackSize,
                                    record.UnpackSize},
                        bytes);
  if (!m_newHed.Write(bytes, sizeof bytes)) {
    m_global.WriteProcessLog(kWriteFailed, m_hedPath.c_str());
    return false;
  }
  m_newDatSize += record.UnpackSize;
  return true;
}

// The new pair is complete only once both files are closed without error.
bool ArchiveRebuilder::CloseNewPair()
{
  m_oldHed.Close();
  m_oldDat.Close();
  if (!m_newDat.Close()) {
    m_global.WriteProcessLog(kWriteFailed, m_datPath.c_str());
    return false;
  }
  if (!m_newHed.Close()) {
    m_global.WriteProcessLog(kWriteFailed, m_hedPath.c_str());
    return false;
  }
  return true;
}

// Throws away what was written and puts the backups back under their names.
void ArchiveRebuilder::Restore()
{
  m_oldHed.Close();
  m_oldDat.Close();
  m_newHed.Close();
  m_newDat.Close();
  if (m_createdDat)
    m_files.RemoveFile(m_datPath.c_str());
  if (m_createdHed)
    m_files.RemoveFile(m_hedPath.c_str());
  bool restored = true;
  if (std::uint32_t error = m_files.MoveFileOver(m_datBackup.c_str(), m_datPath.c_str())) {
    m_global.WriteProcessLog(kNotRestored, m_datPath.c_str(), static_cast<int>(error));
    restored = false;
  }
  if (std::uint32_t error = m_files.MoveFileOver(m_hedBackup.c_str(), m_hedPath.c_str())) {
    m_global.WriteProcessLog(kNotRestored, m_hedPath.c_str(), static_cast<int>(error));
    restored = false;
  }
  if (restored)
    m_global.WriteProcessLog(kRestored, m_base.c_str());
}

// A backup that stays would stop the next rebuild of this archive: say so.
void ArchiveRebuilder::RemoveBackups()
{
  if (std::uint32_t error = m_files.RemoveFile(m_datBackup.c_str()))
    m_global.WriteProcessLog(kBackupNotRemoved, m_datBackup.c_str(), static_cast<int>(error));
  if (std::uint32_t error = m_files.RemoveFile(m_hedBackup.c_str()))
    m_global.WriteProcessLog(kBackupNotRemoved, m_hedBackup.c_str(), static_cast<int>(error));
}

}  // namespace

bool RebuildArchive(CGlobal& global, const std::string& datPath)
{
  return ArchiveRebuilder(global, datPath).Run();
}

}  // namespace orv
