#include "net/Download.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <thread>

#include "app/CGlobal.h"
#include "app/Status.h"
#include "net/ConnectionContext.h"
#include "net/PartialFile.h"
#include "platform/ControlIds.h"
#include "platform/ErrorCodes.h"

namespace orv {

namespace {

// The bar position for a transfer: computed in single precision first, as
// the window has always shown it.
int ProgressPercent(std::uint32_t received, std::uint32_t total)
{
  const float share = static_cast<float>(received) / static_cast<float>(total);
  return static_cast<int>(static_cast<double>(share) * 100.0);
}

// Bytes of a file download held in memory before they go to the disk.
constexpr std::uint32_t kChunk = 1u << 18;
// How often a file download's bytes are flushed and their count recorded:
// what a power cut can cost at most.
constexpr std::uint64_t kCheckpointBytes = 4u << 20;
// Below this rate for a whole time-out a transfer counts as stalled.
constexpr std::uint64_t kLowSpeedBytesPerSecond = 1024;

void ResetProgress(View& view)
{
  view.SetProgressRange(0, 100);
  view.SetProgressStep(1);
  view.SetProgressPosition(0);
}

// Steps 1 to 4 of every download: connect, open, send. Writes the lines
// of whatever fails.
bool SendDownloadRequest(CGlobal& global, HttpSession& session, const char* host,
                         std::uint16_t port, const char* path, std::uint32_t flags,
                         const char* headers)
{
  if (session.Connect(host, port) < 0) {
    global.WriteProcessLog("サーバーへの接続に失敗 Err:[%d]", static_cast<int>(session.LastError()));
    return false;
  }
  if (session.OpenRequest("GET", path, nullptr, flags) < 0) {
    global.WriteProcessLog("ダウンロードリクエストの作成に失敗 Err:[%d]",
                           static_cast<int>(session.LastError()));
    return false;
  }
  const std::uint32_t headersLength = headers ? static_cast<std::uint32_t>(std::strlen(headers)) : 0;
  if (session.SendRequest(headers, headersLength, nullptr, 0) < 0) {
    global.WriteProcessLog("ダウンロードリクエストの送信に失敗 Err:[%d]",
                           static_cast<int>(session.LastError()));
    return false;
  }
  return true;
}

bool QueryStatus(CGlobal& global, HttpSession& session, std::uint32_t& status)
{
  if (session.QueryInfo(HttpClient::kQueryStatusCode | HttpClient::kQueryFlagNumber, status) < 0) {
    global.WriteProcessLog("クエリ情報の取得に失敗");
    return false;
  }
  return true;
}

bool QueryLength(CGlobal& global, HttpSession& session, std::uint32_t& length)
{
  if (session.QueryInfo(HttpClient::kQueryContentLength | HttpClient::kQueryFlagNumber, length) <
      0) {
    global.WriteProcessLog("ダウンロードクエリ情報の取得に失敗 Err:[%d]",
                           static_cast<int>(session.LastError()));
    return false;
  }
  return true;
}

// Steps 1 to 6 of the in-memory download: the request, status 200, and the
// announced length.
bool StartDownload(CGlobal& global, HttpSession& session, const char* host, std::uint16_t port,
                   const char* path, std::uint32_t flags, const char* headers,
                   std::uint32_t& length)
{
  if (!SendDownloadRequest(global, session, host, port, path, flags, headers))
    return false;
  std::uint32_t status = 0;
  if (!QueryStatus(global, session, status))
    return false;
  if (status != 200) {
    global.WriteProcessLog("Http Error: [%d]", static_cast<int>(status));
    return false;
  }
  return QueryLength(global, session, length);
}

// The outcome of one bounded read of a body of announced length.
// Overlong and Short are bodies that go on past or end before their
// announced length; Failed is the transfer's own failure.
enum class Piece { Bytes, End, Failed, Overlong, Short };

// Asks what is available and reads at most `room` bytes of it. A body that
// goes on past its announced length, or ends before it, is a failed
// download: the bytes the server announced are the bytes the launcher uses.
Piece ReadPiece(CGlobal& global, HttpSession& session, std::uint8_t* into, std::uint32_t room,
                std::uint32_t received, std::uint32_t length, const char* availFailureLine,
                std::uint32_t& read)
{
  std::uint32_t available = 0;
  if (session.InetQueryDataAvail(available) < 0) {
    if (availFailureLine)
      global.WriteProcessLog(availFailureLine, static_cast<int>(session.LastError()));
    return Piece::Failed;
  }
  if (available > 0 && received == length) {
    global.WriteProcessLog("ダウンロードサイズエラー");
    return Piece::Overlong;
  }
  if (session.InetReadFile(into, std::min(available, room), read) < 0) {
    global.WriteProcessLog("ファイルダウンロードに失敗 Err:[%d]", static_cast<int>(session.LastError()));
    return Piece::Failed;
  }
  if (read > 0)
    return Piece::Bytes;
  if (received != length) {
    global.WriteProcessLog("ダウンロードサイズエラー");
    return Piece::Short;
  }
  return Piece::End;
}

}  // namespace

bool DownloadToMemory(CGlobal& global, const char* path, ConnectionContext& context,
                      const char* host, std::uint16_t port)
{
  View& view = global.platform().view;
  HttpSession& session = context.session;
  context.body.clear();
  ResetProgress(view);

  bool ok = false;
  std::uint32_t length = 0;
  const std::uint32_t secure = global.deployment().patchSecure ? HttpClient::kSecure : 0;
  if (StartDownload(global, session, host, port, path, HttpClient::kNoCookies | secure,
                    "Connection: Keep-Alive:", length)) {
    std::unique_ptr<std::uint8_t[]> staging;
    if (length != 0 && length <= kMemoryDownloadLimit)
      staging.reset(new (std::nothrow) std::uint8_t[length]);
    if (length == 0) {
      global.WriteProcessLog("ダウンロードサイズエラー");
    } else if (!staging) {
      global.WriteProcessLog("メモリの確保に失敗しました");
    } else if (global.workerRun != 0) {
      std::uint32_t received = 0;
      for (;;) {
        std::uint32_t read = 0;
        const Piece piece =
            ReadPiece(global, session, staging.get() + received, length - received, received,
                      length, "読み込みサイズの取得に失敗 Err:[%d]", read);
        if (piece == Piece::End)
          ok = true;
        if (piece != Piece::Bytes)
          break;
        context.body.insert(context.body.end(), staging.get() + received,
                            staging.get() + received + read);
        received += read;
        global.WriteStatus("--> %s  %d/%d", path, static_cast<int>(received),
                           static_cast<int>(length));
        view.SetProgressPosition(ProgressPercent(received, length));
        if (global.workerRun == 0)
          break;
      }
    }
  }
  session.CloseExchange();
  return ok;
}

namespace {

// The validator of the version a response carries: its ETag, else its
// Last-Modified, else "".
std::string ValidatorOf(HttpSession& session)
{
  std::string value;
  if (session.QueryHeader("ETag", value) == kOk ||
      session.QueryHeader("Last-Modified", value) == kOk)
    return value;
  return {};
}

// "bytes <first>-<last>/<total>" of a Content-Range header.
bool ParseContentRange(const std::string& text, std::uint64_t& first, std::uint64_t& last,
                       std::uint64_t& total)
{
  unsigned long long a = 0;
  unsigned long long b = 0;
  unsigned long long t = 0;
  char unit[8] = {};
  int end = 0;
  if (std::sscanf(text.c_str(), "%7s %llu-%llu/%llu%n", unit, &a, &b, &t, &end) != 4 ||
      std::strcmp(unit, "bytes") != 0 || static_cast<std::size_t>(end) != text.size() || a > b ||
      b >= t)
    return false;
  first = a;
  last = b;
  total = t;
  return true;
}

// Answers a status that is not the body: the next try may fare better for
// the server's passing troubles (busy, overloaded, slow to answer), never
// for what it says of the file (not there, forbidden).
FileDownload StatusOutcome(std::uint32_t status)
{
  return status == 408 || status == 429 || (status >= 500 && status <= 599) ? FileDownload::Retry
                                                                            : FileDownload::Fail;
}

// Feeds the first `length` bytes of a file to hash.
bool HashFilePrefix(CGlobal& global, const std::string& path, std::uint64_t length, Sha256& hash)
{
  if (length == 0)
    return true;
  std::FILE* in = global.platform().files.OpenFile(path.c_str(), "rb");
  if (!in)
    return false;
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kChunk]);
  while (length > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(length, kChunk));
    const std::size_t got = std::fread(buffer.get(), 1, want, in);
    if (got == 0)
      break;
    hash.Update(buffer.get(), got);
    length -= got;
  }
  std::fclose(in);
  return length == 0;
}

// Flushes the chunk's bytes into the partial file; on a failure the line
// says so.
bool Flush(CGlobal& global, PartialFile& file, const char* fileName, const std::uint8_t* bytes,
           std::uint32_t& filled, bool checkpoint)
{
  if ((filled != 0 && !file.Write(bytes, filled)) || (checkpoint && !file.Checkpoint())) {
    global.WriteProcessLog("%sの書き込みに失敗しました", fileName);
    filled = 0;
    return false;
  }
  filled = 0;
  return true;
}

}  // namespace

FileDownload DownloadToFile(CGlobal& global, ConnectionContext& context, const char* path,
                            const std::string& destination, const char* fileName,
                            std::uint64_t& reached, const ExpectedFile* expected,
                            std::uint64_t sizeLimit)
{
  View& view = global.platform().view;
  Clock& clock = global.platform().clock;
  HttpSession& session = context.session;
  const Deployment& deployment = global.deployment();
  reached = 0;
  ResetProgress(view);

  PartialFile file(global.platform().files, destination);
  ResumeRecord earlier;
  const bool resuming = file.Load(earlier) && earlier.length > 0;
  if (resuming && earlier.length == earlier.total) {
    // Every byte arrived before; only the last rename was missing.
    if (expected && !FileMatches(global, file.partialPath(), fileName, *expected)) {
      file.Discard();
      return FileDownload::Fail;
    }
    if (!file.Begin(earlier) || !file.Complete()) {
      global.WriteProcessLog("%sの書き込みに失敗しました", fileName);
      return FileDownload::Fail;
    }
    return FileDownload::Complete;
  }
  std::string headers;
  if (resuming) {
    headers = "Range: bytes=" + std::to_string(earlier.length) + "-\r\n";
    if (!earlier.validator.empty())
      headers += "If-Range: " + earlier.validator + "\r\n";
  }

  FileDownload outcome = FileDownload::Retry;
  const auto finish = [&](FileDownload result) {
    session.CloseExchange();
    return result;
  };
  if (!SendDownloadRequest(global, session, deployment.patchHost.c_str(), deployment.patchPort,
                           path, deployment.patchSecure ? HttpClient::kSecure : 0,
                           headers.empty() ? nullptr : headers.c_str()))
    return finish(session.LastError() == err::kInternetOperationCancelled ? FileDownload::Stopped
                                                                          : FileDownload::Retry);
  std::uint32_t status = 0;
  std::uint32_t length = 0;
  if (!QueryStatus(global, session, status))
    return finish(FileDownload::Retry);
  if (status == 416 && resuming) {
    // The server has no byte where the file went on: it is not the file
    // the partial one was part of.
    global.WriteProcessLog("%sを最初からダウンロードし直します (Http %d)", fileName,
                           static_cast<int>(status));
    file.Discard();
    return finish(FileDownload::Restart);
  }
  if (status != 200 && status != 206) {
    global.WriteProcessLog("Http Error: [%d]", static_cast<int>(status));
    return finish(StatusOutcome(status));
  }
  if (!QueryLength(global, session, length))
    return finish(FileDownload::Fail);

  // A part of the file, whatever the status line says: some servers answer
  // a range with 200 and the part, which taken for the whole file would
  // make a short file look complete.
  ResumeRecord record{0, length, ValidatorOf(session)};
  std::string range;
  const bool hasRange = session.QueryHeader("Content-Range", range) == kOk;
  if (status == 206 || hasRange) {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t total = 0;
    const bool parsed = ParseContentRange(range, first, last, total);
    bool fits = parsed && first == (resuming ? earlier.length : 0) && last + 1 == total &&
                length == total - first;
    if (resuming) {
      const bool sameVersion = record.validator.empty() || earlier.validator.empty() ||
                               record.validator == earlier.validator;
      fits = fits && total == earlier.total && sameVersion;
    }
    if (!fits) {
      global.WriteProcessLog("%sを最初からダウンロードし直します (%d Content-Range: %s)", fileName,
                             static_cast<int>(status), range.c_str());
      file.Discard();
      return finish(resuming ? FileDownload::Restart : FileDownload::Fail);
    }
    if (resuming) {
      const std::string validator = record.validator;
      record = earlier;
      if (record.validator.empty())
        record.validator = validator;
    }
  } else if (resuming) {
    global.WriteProcessLog("%sを最初からダウンロードします", fileName);
  }
  if (sizeLimit != 0 && record.total > sizeLimit) {
    global.WriteProcessLog("%sが大きすぎます (%llu bytes)", fileName,
                           static_cast<unsigned long long>(record.total));
    file.Discard();
    return finish(FileDownload::Fail);
  }
  std::unique_ptr<Sha256> hash;
  if (expected) {
    if (record.total != expected->size) {
      global.WriteProcessLog("%sのサイズが署名と一致しません (%llu/%llu)", fileName,
                             static_cast<unsigned long long>(record.total),
                             static_cast<unsigned long long>(expected->size));
      file.Discard();
      return finish(FileDownload::Fail);
    }
    hash = global.platform().crypto.NewSha256();
    if (!hash || !HashFilePrefix(global, file.partialPath(), record.length, *hash)) {
      global.WriteProcessLog("%sを検証できません", fileName);
      file.Discard();
      return finish(FileDownload::Fail);
    }
  }
  if (!file.Begin(record)) {
    global.WriteProcessLog("%sの作成に失敗", fileName);
    return finish(FileDownload::Fail);
  }

  // Where the body starts within the file, and what the bar counts.
  const std::uint64_t offset = record.length;
  const std::uint64_t total = record.total;
  const std::uint32_t timeout = TimeoutMilliseconds(global.Timeout);
  std::uint32_t windowStart = clock.Milliseconds();
  std::uint64_t windowBytes = 0;
  std::uint64_t sinceCheckpoint = 0;

  // The body passes through a bounded buffer into the file, however large
  // the file is.
  std::unique_ptr<std::uint8_t[]> chunk(new std::uint8_t[kChunk]);
  std::uint32_t filled = 0;
  std::uint32_t bodyReceived = 0;
  for (;;) {
    if (global.workerRun == 0) {
      outcome = FileDownload::Stopped;
      break;
    }
    std::uint32_t read = 0;
    const std::uint32_t room = std::min(kChunk - filled, length - bodyReceived);
    const Piece piece =
        ReadPiece(global, session, chunk.get() + filled, room, bodyReceived, length, nullptr, read);
    if (piece == Piece::Failed || piece == Piece::Short) {
      outcome = session.LastError() == err::kInternetOperationCancelled ? FileDownload::Stopped
                                                                        : FileDownload::Retry;
      break;
    }
    if (piece == Piece::Overlong) {
      // The server's length is not the file's; nothing it sent is kept.
      filled = 0;
      file.Discard();
      return finish(FileDownload::Fail);
    }
    if (piece == Piece::End) {
      if (hash && hash->Finish() != expected->sha256) {
        global.WriteProcessLog("%sが署名と一致しません", fileName);
        file.Discard();
        return finish(FileDownload::Fail);
      }
      if (!Flush(global, file, fileName, chunk.get(), filled, false))
        return finish(FileDownload::Fail);
      if (!file.Complete()) {
        global.WriteProcessLog("%sの書き込みに失敗しました", fileName);
        return finish(FileDownload::Fail);
      }
      return finish(FileDownload::Complete);
    }
    if (hash)
      hash->Update(chunk.get() + filled, read);
    filled += read;
    bodyReceived += read;
    reached = offset + bodyReceived;
    sinceCheckpoint += read;
    windowBytes += read;
    if (filled == kChunk) {
      const bool checkpoint = sinceCheckpoint >= kCheckpointBytes;
      if (!Flush(global, file, fileName, chunk.get(), filled, checkpoint))
        return finish(FileDownload::Fail);
      if (checkpoint)
        sinceCheckpoint = 0;
    }
    if (global.parallelPatch == 0) {
      const std::uint64_t done = offset + bodyReceived;
      global.WriteStatus("--> %s  %llu/%llu", fileName, static_cast<unsigned long long>(done),
                         static_cast<unsigned long long>(total));
      view.SetProgressPosition(
          ProgressPercent(static_cast<std::uint32_t>(done), static_cast<std::uint32_t>(total)));
    }
    // A link that only trickles would hold the step for hours; below the
    // floor for a whole time-out it is treated as one that stalled.
    const std::uint32_t elapsed = clock.Milliseconds() - windowStart;
    if (elapsed >= timeout) {
      if (windowBytes * 1000 < static_cast<std::uint64_t>(kLowSpeedBytesPerSecond) * elapsed) {
        global.WriteProcessLog("%sの受信が遅すぎます %llu bytes/%u ms", fileName,
                               static_cast<unsigned long long>(windowBytes), elapsed);
        outcome = FileDownload::Retry;
        break;
      }
      windowStart += elapsed;
      windowBytes = 0;
    }
  }
  // The bytes that did arrive are kept for the next try.
  if (!Flush(global, file, fileName, chunk.get(), filled, true))
    return finish(FileDownload::Fail);
  return finish(outcome);
}

bool DownloadWithRetries(CGlobal& global, ConnectionContext& context, const char* path,
                         const std::string& destination, const char* fileName,
                         const RetryWaits& waits, const ExpectedFile* expected,
                         std::uint64_t sizeLimit)
{
  // Jitter keeps the players a server outage threw off from coming back
  // all in the same second.
  std::minstd_rand jitter(global.platform().clock.Milliseconds());
  const int tries = static_cast<int>(waits.milliseconds.size());
  int failed = 0;
  std::uint64_t furthest = 0;
  for (;;) {
    std::uint64_t reached = 0;
    const FileDownload outcome =
        DownloadToFile(global, context, path, destination, fileName, reached, expected, sizeLimit);
    if (outcome == FileDownload::Complete)
      return true;
    if (outcome == FileDownload::Fail || outcome == FileDownload::Stopped)
      return false;
    // Tries are counted in a row without progress: a line that drops every
    // few MiB still gets the whole file in the end, while a server that
    // sends the same first bytes and stops every time is given up on.
    if (reached > furthest) {
      furthest = reached;
      failed = 0;
    }
    if (failed == tries) {
      global.WriteProcessLog("%sのダウンロードを%d回試みましたが失敗しました", fileName, tries + 1);
      return false;
    }
    const std::uint32_t base = waits.milliseconds[static_cast<std::size_t>(failed)];
    ++failed;
    if (outcome == FileDownload::Restart)
      continue;
    const std::uint32_t wait =
        base - base / 5 +
        (base >= 5 ? static_cast<std::uint32_t>(jitter() % (base * 2 / 5 + 1)) : 0);
    const int seconds = static_cast<int>((wait + 500) / 1000);
    global.WriteProcessLog("%sのダウンロードを%d秒後に再試行します (%d/%d)", fileName, seconds,
                           failed, tries);
    global.WriteStatus("--> 再試行を待っています %d秒 (%d/%d)", seconds, failed, tries);
    if (!WaitUnlessStopped(global, wait))
      return false;
  }
}

bool FileMatches(CGlobal& global, const std::string& path, const char* fileName,
                 const ExpectedFile& expected)
{
  std::unique_ptr<Sha256> hash = global.platform().crypto.NewSha256();
  std::FILE* in = global.platform().files.OpenFile(path.c_str(), "rb");
  bool matches = false;
  if (hash && in) {
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kChunk]);
    std::uint64_t size = 0;
    std::size_t got = 0;
    while ((got = std::fread(buffer.get(), 1, kChunk, in)) > 0 && size <= expected.size) {
      hash->Update(buffer.get(), got);
      size += got;
    }
    matches = std::ferror(in) == 0 && size == expected.size && hash->Finish() == expected.sha256;
  }
  if (in)
    std::fclose(in);
  if (!matches)
    global.WriteProcessLog("%sが署名と一致しません", fileName);
  return matches;
}

bool WaitUnlessStopped(CGlobal& global, std::uint32_t milliseconds)
{
  Clock& clock = global.platform().clock;
  const std::uint32_t start = clock.Milliseconds();
  while (global.workerRun != 0) {
    const std::uint32_t waited = clock.Milliseconds() - start;
    if (waited >= milliseconds)
      return true;
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::min<std::uint32_t>(milliseconds - waited, 20)));
  }
  return false;
}

}  // namespace orv
