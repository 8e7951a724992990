// The in-memory and file downloads against real loopback servers.
#include <atomic>
#include <functional>
#include <thread>

#include "net/ConnectionContext.h"
#include "net/Download.h"
#include "support/FrameFixture.h"
#include "support/LoopbackServer.h"
#include "support/PluginFolder.h"

namespace orv::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

class DownloadTest : public FrameFixture {
 protected:
  // A started launcher whose patch server is the loopback server, with a
  // work folder and an open session on a context of its own.
  CGlobal& Start(std::int32_t timeoutMilliseconds = 10000, std::uint16_t patchPort = 0)
  {
    m_deployment.patchHost = "127.0.0.1";
    m_deployment.patchPort = patchPort ? patchPort : m_server.port();
    CGlobal& global = StartLauncher();
    global.workerRun = 1;
    std::filesystem::create_directory(m_start.path() / "_temp");
    m_context = std::make_unique<ConnectionContext>(global);
    EXPECT_EQ(m_context->session.Open(timeoutMilliseconds), 0);
    return global;
  }
  bool ToMemory(CGlobal& global, const char* path, std::uint16_t port = 0)
  {
    return DownloadToMemory(global, path, *m_context, "127.0.0.1", port ? port : m_server.port());
  }
  std::filesystem::path Work(const std::string& name) const { return m_start.path() / "_temp" / name; }
  // One try at "<work folder>\\<name>".
  FileDownload ToFile(CGlobal& global, const char* path, const char* name)
  {
    std::uint64_t received = 0;
    return DownloadToFile(global, *m_context, path,
                          std::string(global.startDir) + "\\_temp\\" + name, name, received);
  }

  LoopbackServer m_server;
  std::unique_ptr<ConnectionContext> m_context;
};

TEST_F(DownloadTest, MemoryDownloadFillsTheBodyWithProgressAndSendsNoCookie)
{
  m_server.Handle("GET", "/cookie", [](const HttpRequestSeen&) {
    return HttpReply{200, "x", {{"Set-Cookie", "sign=on; Path=/"}}};
  });
  m_server.ServeText("/orv/orvnew.ver", "42\r\n");
  CGlobal& global = Start();
  ASSERT_EQ(ToFile(global, "/cookie", "cookie.txt"), FileDownload::Complete);  // may keep cookies

  ASSERT_TRUE(ToMemory(global, "/orv/orvnew.ver"));
  EXPECT_EQ(std::string(m_context->body.begin(), m_context->body.end()), "42\r\n");
  EXPECT_EQ(m_view.Status(), "--> /orv/orvnew.ver  4/4");
  EXPECT_EQ(m_view.ProgressBar().positions.back(), 100);
  const HttpRequestSeen request = m_server.Requests().back();
  EXPECT_EQ(request.Header("Cookie"), "");
  EXPECT_EQ(request.Header("Connection"), "Keep-Alive:");
}

TEST_F(DownloadTest, MemoryDownloadFailuresWriteTheirLines)
{
  m_server.Handle("GET", "/chunked", [](const HttpRequestSeen&) {
    HttpReply reply{200, "12", {}};
    reply.withoutLength = true;
    return reply;
  });
  m_server.ServeText("/empty", "");
  m_server.ServeText("/text", "abc");
  CGlobal& global = Start();

  EXPECT_FALSE(ToMemory(global, "/missing"));
  EXPECT_EQ(m_view.LastLogLine(), "Http Error: [404]");
  EXPECT_THAT(m_view.StatusLines(), IsEmpty());  // no body was read

  EXPECT_FALSE(ToMemory(global, "/chunked"));
  EXPECT_EQ(m_view.LogLines().rbegin()[1], "QueryInfo Err:[12150]");
  EXPECT_EQ(m_view.LogLines().rbegin()[0], "ダウンロードクエリ情報の取得に失敗 Err:[12150]");

  EXPECT_FALSE(ToMemory(global, "/empty"));
  EXPECT_EQ(m_view.LastLogLine(), "ダウンロードサイズエラー");

  // Stopped before the transfer: the request is answered, no byte is read.
  global.workerRun = 0;
  m_context->body.assign(3, 'x');
  EXPECT_FALSE(ToMemory(global, "/text"));
  EXPECT_THAT(m_context->body, IsEmpty());
  EXPECT_EQ(m_server.Requests().back().path, "/text");
  EXPECT_THAT(m_view.StatusLines(), IsEmpty());
}

TEST_F(DownloadTest, UnreachableServerFailsWhenTheRequestIsSent)
{
  CGlobal& global = Start();
  std::uint16_t closedPort = 0;
  {
    RawServer gone("");
    closedPort = gone.port();
  }
  EXPECT_FALSE(ToMemory(global, "/x", closedPort));
  EXPECT_EQ(m_view.LogLines().rbegin()[1], "SendRequest Err:[12029]");
  EXPECT_EQ(m_view.LogLines().rbegin()[0], "ダウンロードリクエストの送信に失敗 Err:[12029]");
}

TEST_F(DownloadTest, BodiesThatDisagreeWithTheirLengthFail)
{
  RawServer shortBody("HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: close\r\n\r\n12345");
  RawServer longBody(
      "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\n123456789");
  CGlobal& global = Start();
  EXPECT_FALSE(ToMemory(global, "/v", shortBody.port()));

  // A longer body gives exactly the announced bytes or fails; it never
  // writes past them.
  const bool longOk = ToMemory(global, "/v", longBody.port());
  if (longOk) {
    EXPECT_EQ(std::string(m_context->body.begin(), m_context->body.end()), "123");
  }

}

TEST_F(DownloadTest, FileBodyCutShortIsKeptButNeverTakesTheNameAndNoProgressIsGivenUpOn)
{
  RawServer shortBody(
      "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nETag: \"e1\"\r\nConnection: close\r\n\r\n12345");
  CGlobal& global = Start(10000, shortBody.port());
  EXPECT_EQ(ToFile(global, "/v", "v.bin"), FileDownload::Retry);
  EXPECT_FALSE(std::filesystem::exists(Work("v.bin")));
  EXPECT_EQ(ReadFile(Work("v.bin.part")), "12345");
  EXPECT_EQ(ReadFile(Work("v.bin.resume")), "orv-resume-1 5 10 \"e1\"\n");

  // The same first bytes every time are no progress: once the waits are
  // used up, the download is given up on.
  EXPECT_FALSE(DownloadWithRetries(global, *m_context, "/v",
                                   std::string(global.startDir) + "\\_temp\\v.bin", "v.bin",
                                   RetryWaits{{5, 5}}));
  EXPECT_EQ(shortBody.connections(), 4);
  EXPECT_EQ(m_view.LastLogLine(), "v.binのダウンロードを3回試みましたが失敗しました");
}

TEST_F(DownloadTest, StalledServerTimesOut)
{
  auto stalled = std::make_unique<RawServer>("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n12",
                                             /*stall=*/true);
  const std::uint16_t port = stalled->port();
  CGlobal& global = Start(/*timeoutMilliseconds=*/400);
  // A client that ignores its time-out would wait for the stall forever:
  // after a few seconds the server goes, which ends the wait another way.
  std::atomic<bool> done{false};
  bool cut = false;
  std::thread backstop([&] {
    for (int waited = 0; !done && waited < 5000; waited += 10)
      PauseMilliseconds(10);
    if (!done) {
      cut = true;
      stalled.reset();
    }
  });
  const bool ok = ToMemory(global, "/v", port);
  done = true;
  backstop.join();
  if (cut)
    GTEST_SKIP() << "the HTTP client does not apply its receive time-out here (wine's WinINet "
                    "ignores it): the download waited until the stalled server went away";
  EXPECT_FALSE(ok);
  EXPECT_THAT(m_view.LogLines(), Contains("InetQueryDataAvail Err:[12002]"));
}

TEST_F(DownloadTest, FileDownloadStreamsTheWholeBodyIntoTheWorkFolder)
{
  m_server.ServeGenerated("/D00000042/big.cab", 5u << 20);
  m_server.ServeText("/D00000042/empty.txt", "");
  CGlobal& global = Start();
  ASSERT_EQ(ToFile(global, "/D00000042/big.cab", "big.cab"), FileDownload::Complete);
  EXPECT_TRUE(ReadFile(Work("big.cab")) == GeneratedContent(0, 5u << 20));
  EXPECT_FALSE(std::filesystem::exists(Work("big.cab.part")));
  EXPECT_FALSE(std::filesystem::exists(Work("big.cab.resume")));
  EXPECT_EQ(m_view.Status(), "--> big.cab  5242880/5242880");
  EXPECT_EQ(m_view.ProgressBar().positions.back(), 100);

  // An empty body is an empty file.
  ASSERT_EQ(ToFile(global, "/D00000042/empty.txt", "empty.txt"), FileDownload::Complete);
  EXPECT_EQ(ReadFile(Work("empty.txt")), "");
}

TEST_F(DownloadTest, FileDownloadFailuresLeaveNoBytes)
{
  m_server.Handle("GET", "/chunked", [](const HttpRequestSeen&) {
    HttpReply reply{200, "12", {}};
    reply.withoutLength = true;
    return reply;
  });
  m_server.ServeText("/a.txt", "abc");
  CGlobal& global = Start();

  EXPECT_EQ(ToFile(global, "/chunked", "c.txt"), FileDownload::Fail);
  EXPECT_FALSE(std::filesystem::exists(Work("c.txt.part")));  // failed before the file

  EXPECT_EQ(ToFile(global, "/a.txt", "nofolder\\a.txt"), FileDownload::Fail);
  EXPECT_EQ(m_view.LastLogLine(), "nofolder\\a.txtの作成に失敗");
}

TEST_F(DownloadTest, ClearingWorkerRunStopsTheFileDownloadAndKeepsWhatArrived)
{
  // A body that trickles in for far longer than the test: a download that
  // did not stop at the flag would read on until the backstop cut it.
  auto trickle = std::make_unique<RawServer>(
      "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(100000, 't'), true, 1);
  CGlobal& global = Start(10000, trickle->port());
  Clock& clock = global.platform().clock;
  std::atomic<bool> done{false};
  std::atomic<std::uint32_t> stoppedAt{0};
  std::thread stopper([&] {
    while (!done && m_view.StatusLines().empty())
      PauseMilliseconds(1);
    stoppedAt = clock.Milliseconds();
    global.workerRun = 0;
    for (int waited = 0; !done && waited < 3000; waited += 10)
      PauseMilliseconds(10);
    if (!done)
      trickle.reset();
  });
  const bool ok = ToFile(global, "/huge.bin", "huge.bin") != FileDownload::Stopped;
  const std::uint32_t stopTook = clock.Milliseconds() - stoppedAt;
  done = true;
  stopper.join();
  EXPECT_FALSE(ok);
  EXPECT_LT(stopTook, 1500u) << "the download did not stop before the backstop";
  EXPECT_FALSE(std::filesystem::exists(Work("huge.bin")));
  const std::string kept = ReadFile(Work("huge.bin.part"));
  EXPECT_GT(kept.size(), 0u);
  EXPECT_EQ(ReadFile(Work("huge.bin.resume")),
            "orv-resume-1 " + std::to_string(kept.size()) + " 100000 \n");
}

TEST_F(DownloadTest, AnAbortedSessionEndsItsWaitsAtOnceAndRefusesLaterOnes)
{
  // Servers that accept and never answer, and that stop in the middle of a
  // body: without the abort each wait lasted the whole time-out (under wine
  // for ever), and Exit waited with it.
  auto silent = std::make_unique<RawServer>("", true);
  auto stalled =
      std::make_unique<RawServer>("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123", true);
  CGlobal& global = Start(60000, silent->port());
  Clock& clock = global.platform().clock;
  ConnectionContext other(global);
  ASSERT_EQ(other.session.Open(60000), 0);

  // Runs download while another thread aborts the session once waiting
  // holds; answers how long the download outlasted the abort. The server
  // goes at 5 s if the abort did not end the wait.
  const auto abortedAfter = [&](HttpSession& session, std::unique_ptr<RawServer>& server,
                                const std::function<bool()>& waiting,
                                const std::function<bool()>& download) {
    std::atomic<bool> done{false};
    std::atomic<std::uint32_t> abortedAt{0};
    std::thread aborter([&] {
      while (!done && !waiting())
        PauseMilliseconds(1);
      PauseMilliseconds(50);
      abortedAt = clock.Milliseconds();
      session.Abort();
      for (int waited = 0; !done && waited < 5000; waited += 10)
        PauseMilliseconds(10);
      if (!done)
        server.reset();
    });
    EXPECT_FALSE(download());
    const std::uint32_t took = clock.Milliseconds() - abortedAt;
    done = true;
    aborter.join();
    return took;
  };
  EXPECT_LT(abortedAfter(
                m_context->session, silent, [&] { return silent->connections() > 0; },
                [&] { return ToFile(global, "/f", "f.bin") != FileDownload::Stopped; }),
            1500u);
  EXPECT_EQ(m_view.LastLogLine(), "ダウンロードリクエストの送信に失敗 Err:[12017]");
  EXPECT_LT(abortedAfter(
                other.session, stalled, [&] { return !m_view.StatusLines().empty(); },
                [&] { return DownloadToMemory(global, "/m", other, "127.0.0.1", stalled->port()); }),
            1500u);
  EXPECT_EQ(std::string(other.body.begin(), other.body.end()), "0123");

  // Every later exchange fails at once, before anything is sent.
  RawServer answering("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  EXPECT_FALSE(ToMemory(global, "/later", answering.port()));
  EXPECT_EQ(m_view.LastLogLine(), "ダウンロードリクエストの送信に失敗 Err:[12017]");
  EXPECT_EQ(answering.connections(), 0);
}

TEST_F(DownloadTest, AKeptPartialGoesOnOnlyWhereTheServerStillHasTheSameFile)
{
  constexpr std::size_t kTotal = 300000;
  constexpr std::size_t kKept = 100000;
  const std::string content = GeneratedContent(0, kTotal);
  const std::string other = GeneratedContent(7, kTotal);
  // How the server answers a request for the rest of the file.
  enum class Answer { Rest, Whole, NewVersion, RestOfAnother, Unsatisfiable, WrongPart, PartAs200 };
  struct Row {
    Answer answer;
    FileDownload outcome;
    const std::string* file;  // the file afterwards; null: nothing kept
  };
  const Row rows[] = {
      {Answer::Rest, FileDownload::Complete, &content},
      {Answer::Whole, FileDownload::Complete, &content},
      {Answer::NewVersion, FileDownload::Complete, &other},
      {Answer::RestOfAnother, FileDownload::Restart, nullptr},
      {Answer::Unsatisfiable, FileDownload::Restart, nullptr},
      {Answer::WrongPart, FileDownload::Restart, nullptr},
      {Answer::PartAs200, FileDownload::Complete, &content},
  };
  Answer answer = Answer::Rest;
  m_server.Handle("GET", "/f", [&](const HttpRequestSeen&) {
    const std::string rest = "bytes 100000-299999/300000";
    switch (answer) {
      case Answer::Rest:
        return HttpReply{206, content.substr(kKept), {{"ETag", "\"v1\""}, {"Content-Range", rest}}};
      case Answer::Whole:
        return HttpReply{200, content, {{"ETag", "\"v1\""}}};
      case Answer::NewVersion:
        return HttpReply{200, other, {{"ETag", "\"v2\""}}};
      case Answer::RestOfAnother:
        return HttpReply{206, other.substr(kKept), {{"ETag", "\"v2\""}, {"Content-Range", rest}}};
      case Answer::Unsatisfiable:
        return HttpReply{416, "", {{"Content-Range", "bytes */300000"}}};
      case Answer::WrongPart:
        return HttpReply{206,
                         content.substr(kKept + 1),
                         {{"ETag", "\"v1\""}, {"Content-Range", "bytes 100001-299999/300000"}}};
      case Answer::PartAs200:
        return HttpReply{200, content.substr(kKept), {{"ETag", "\"v1\""}, {"Content-Range", rest}}};
    }
    return HttpReply{500, "", {}};
  });
  CGlobal& global = Start();
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.answer));
    answer = row.answer;
    std::filesystem::remove(Work("f.bin"));
    // The bytes counted, and a torn tail past them that must never be kept.
    WriteFile(Work("f.bin.part"), content.substr(0, kKept) + "TORN TAIL");
    WriteFile(Work("f.bin.resume"), "orv-resume-1 100000 300000 \"v1\"\n");
    EXPECT_EQ(ToFile(global, "/f", "f.bin"), row.outcome) << m_view.LastLogLine();
    const HttpRequestSeen request = m_server.Requests().back();
    EXPECT_EQ(request.Header("Range"), "bytes=100000-");
    EXPECT_EQ(request.Header("If-Range"), "\"v1\"");
    if (row.file) {
      EXPECT_TRUE(ReadFile(Work("f.bin")) == *row.file);
    } else {
      EXPECT_FALSE(std::filesystem::exists(Work("f.bin")));
      EXPECT_FALSE(std::filesystem::exists(Work("f.bin.part")));
    }
    EXPECT_FALSE(std::filesystem::exists(Work("f.bin.resume")));
  }
  // A whole file given as a part is no file at all.
  answer = Answer::PartAs200;
  EXPECT_EQ(ToFile(global, "/f", "g.bin"), FileDownload::Fail);
  EXPECT_FALSE(std::filesystem::exists(Work("g.bin")));
}

TEST_F(DownloadTest, PassingFailuresAreTriedAgainAfterAWaitThatExitEnds)
{
  int busy = 0;
  m_server.Handle("GET", "/busy.txt", [&](const HttpRequestSeen&) {
    return ++busy <= 2 ? HttpReply{503, "later", {}} : HttpReply{200, "ok", {}};
  });
  m_server.Handle("GET", "/down.txt", [](const HttpRequestSeen&) {
    return HttpReply{503, "x", {}};
  });
  CGlobal& global = Start();
  const std::string work = std::string(global.startDir) + "\\_temp\\";
  const RetryWaits quick{{5, 5}};
  const auto download = [&](const char* path, const char* name, const RetryWaits& waits) {
    return DownloadWithRetries(global, *m_context, path, work + name, name, waits);
  };

  ASSERT_TRUE(download("/busy.txt", "busy.txt", quick));
  EXPECT_EQ(ReadFile(Work("busy.txt")), "ok");
  EXPECT_THAT(m_view.LogLines(), Contains("busy.txtのダウンロードを0秒後に再試行します (2/2)"));
  EXPECT_THAT(m_view.StatusLines(), Contains("--> 再試行を待っています 0秒 (1/2)"));

  // What trying again would only repeat is not tried again.
  const std::size_t before = m_server.Requests().size();
  EXPECT_FALSE(download("/missing.txt", "missing.txt", quick));
  EXPECT_EQ(m_server.Requests().size(), before + 1);

  // Exit ends a long wait at once.
  Clock& clock = global.platform().clock;
  std::atomic<std::uint32_t> stoppedAt{0};
  const std::size_t shown = m_view.StatusLines().size();
  std::thread exit([&] {
    for (;;) {
      const std::vector<std::string> lines = m_view.StatusLines();
      if (lines.size() > shown && lines.back().rfind("--> 再試行", 0) == 0)
        break;
      PauseMilliseconds(1);
    }
    stoppedAt = clock.Milliseconds();
    global.workerRun = 0;
  });
  EXPECT_FALSE(download("/down.txt", "down.txt", RetryWaits{{60000}}));
  const std::uint32_t took = clock.Milliseconds() - stoppedAt;
  exit.join();
  EXPECT_LT(took, 1000u);
}

TEST_F(DownloadTest, ATrickleBelowTheFloorForAWholeTimeOutIsAStall)
{
  // About 50 bytes a second, for longer than the test.
  RawServer trickle("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 't'),
                    true, 20);
  CGlobal& global = Start(10000, trickle.port());
  global.Timeout = 1;
  EXPECT_EQ(ToFile(global, "/t", "t.bin"), FileDownload::Retry);
  EXPECT_TRUE(m_view.LastLogLine().rfind("t.binの受信が遅すぎます", 0) == 0)
      << m_view.LastLogLine();
  EXPECT_GT(std::filesystem::file_size(Work("t.bin.part")), 0u);  // kept for the next try
}

TEST_F(DownloadTest, ParallelPatchingHidesTheProgress)
{
  m_server.ServeText("/a.txt", "abc");
  CGlobal& global = Start();
  global.parallelPatch = 1;
  ASSERT_EQ(ToFile(global, "/a.txt", "a.txt"), FileDownload::Complete);
  EXPECT_THAT(m_view.StatusLines(), IsEmpty());
  EXPECT_THAT(m_view.ProgressBar().positions, ElementsAre(0));
}

}  // namespace
}  // namespace orv::test
