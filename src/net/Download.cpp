#include "net/Download.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "app/CGlobal.h"
#include "net/ConnectionContext.h"
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

void ResetProgress(View& view)
{
  view.SetProgressRange(0, 100);
  view.SetProgressStep(1);
  view.SetProgressPosition(0);
}

// Steps 1 to 6 of every download: connect, open, send, status 200, and the
// announced length. Writes the lines of whatever fails.
bool StartDownload(CGlobal& global, HttpSession& session, const char* host, std::uint16_t port,
                   const char* path, std::uint32_t flags, const char* headers,
                   std::uint32_t& length)
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
  std::uint32_t status = 0;
  if (session.QueryInfo(HttpClient::kQueryStatusCode | HttpClient::kQueryFlagNumber, status) < 0) {
    global.WriteProcessLog("クエリ情報の取得に失敗");
    return false;
  }
  if (status != 200) {
    global.WriteProcessLog("Http Error: [%d]", static_cast<int>(status));
    return false;
  }
  if (session.QueryInfo(HttpClient::kQueryContentLength | HttpClient::kQueryFlagNumber, length) <
      0) {
    global.WriteProcessLog("ダウンロードクエリ情報の取得に失敗 Err:[%d]",
                           static_cast<int>(session.LastError()));
    return false;
  }
  return true;
}

// The outcome of one bounded read of a body of announced length.
enum class Piece { Bytes, End, Failed };

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
    return Piece::Failed;
  }
  if (session.InetReadFile(into, std::min(available, room), read) < 0) {
    global.WriteProcessLog("ファイルダウンロードに失敗 Err:[%d]", static_cast<int>(session.LastError()));
    return Piece::Failed;
  }
  if (read > 0)
    return Piece::Bytes;
  if (received != length) {
    global.WriteProcessLog("ダウンロードサイズエラー");
    return Piece::Failed;
  }
  return Piece::End;
}

// Owns the two files of a file download and removes the partial one unless
// the download completed.
class FileDownload {
 public:
  FileDownload(CGlobal& global, std::string destination)
      : m_files(global.platform().files),
        m_destination(std::move(destination)),
        m_partial(m_destination + ".part")
  {
  }
  ~FileDownload()
  {
    if (m_out)
      std::fclose(m_out);
    if (m_partialCreated)
      m_files.RemoveFile(m_partial.c_str());
  }

  // The destination, created empty as the download's first mark, and the
  // file the body is streamed into.
  bool Create()
  {
    std::FILE* destination = m_files.OpenFile(m_destination.c_str(), "wb");
    if (!destination)
      return false;
    std::fclose(destination);
    m_out = m_files.OpenFile(m_partial.c_str(), "wb");
    m_partialCreated = m_out != nullptr;
    return m_out != nullptr;
  }

  bool Write(const std::uint8_t* bytes, std::size_t size)
  {
    return std::fwrite(bytes, 1, size, m_out) == size;
  }

  // Closes the streamed file and puts it in the destination's place.
  bool Complete()
  {
    const bool closed = std::fclose(m_out) == 0;
    m_out = nullptr;
    // The empty destination goes first: a rename over an existing file makes
    // some file systems write the new one out at once, which for a large
    // download costs more than the transfer.
    if (!closed || m_files.RemoveFile(m_destination.c_str()) != 0 ||
        m_files.MoveFileTo(m_partial.c_str(), m_destination.c_str()) != 0)
      return false;
    m_partialCreated = false;
    return true;
  }

 private:
  FileSystem& m_files;
  const std::string m_destination;
  const std::string m_partial;
  std::FILE* m_out = nullptr;
  bool m_partialCreated = false;
};

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
  if (StartDownload(global, session, host, port, path, HttpClient::kNoCookies,
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

bool DownloadToFile(CGlobal& global, ConnectionContext& context, const char* path,
                    const char* fileName)
{
  View& view = global.platform().view;
  HttpSession& session = context.session;
  const Deployment& deployment = global.deployment();
  ResetProgress(view);

  bool ok = false;
  std::uint32_t length = 0;
  if (StartDownload(global, session, deployment.patchHost.c_str(), deployment.patchPort, path, 0,
                    nullptr, length)) {
    FileDownload file(global, std::string(global.startDir) + "\\_temp\\" + fileName);
    if (!file.Create()) {
      global.WriteProcessLog("%sの作成に失敗", fileName);
    } else {
      // The body passes through a bounded buffer into the file, however
      // large the file is.
      constexpr std::uint32_t kChunk = 1u << 18;
      std::unique_ptr<std::uint8_t[]> chunk(new std::uint8_t[kChunk]);
      std::uint32_t filled = 0;
      std::uint32_t received = 0;
      for (;;) {
        if (global.workerRun == 0)
          break;
        std::uint32_t read = 0;
        const std::uint32_t room = std::min(kChunk - filled, length - received);
        const Piece piece = ReadPiece(global, session, chunk.get() + filled, room, received,
                                      length, nullptr, read);
        if (piece == Piece::Failed)
          break;
        if (piece == Piece::End || filled + read == kChunk) {
          if (!file.Write(chunk.get(), filled + read)) {
            global.WriteProcessLog("%sの書き込みに失敗しました", fileName);
            break;
          }
          filled = 0;
        } else {
          filled += read;
        }
        if (piece == Piece::End) {
          ok = file.Complete();
          if (!ok)
            global.WriteProcessLog("%sの書き込みに失敗しました", fileName);
          break;
        }
        received += read;
        if (global.parallelPatch == 0) {
          global.WriteStatus("--> %s  %d/%d", fileName, static_cast<int>(received),
                             static_cast<int>(length));
          view.SetProgressPosition(ProgressPercent(received, length));
        }
      }
    }
  }
  session.CloseExchange();
  return ok;
}

}  // namespace orv
