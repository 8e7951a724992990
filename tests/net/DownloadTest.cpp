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
  ASSERT_TRUE(DownloadToFile(global, *m_context, "/cookie", "cookie.txt"));  // may keep cookies

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

TEST_F(DownloadTest, FileBodyShorterThanAnnouncedLeavesTheFileEmpty)
{
  RawServer shortBody("HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: close\r\n\r\n12345");
  CGlobal& global = Start(10000, shortBody.port());
  EXPECT_FALSE(DownloadToFile(global, *m_context, "/v", "v.bin"));
  EXPECT_EQ(ReadFile(Work("v.bin")), "");  // never the unreceived bytes
  EXPECT_FALSE(std::filesystem::exists(Work("v.bin.part")));
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
  ASSERT_TRUE(DownloadToFile(global, *m_context, "/D00000042/big.cab", "big.cab"));
  EXPECT_TRUE(ReadFile(Work("big.cab")) == GeneratedContent(0, 5u << 20));
  EXPECT_FALSE(std::filesystem::exists(Work("big.cab.part")));
  EXPECT_EQ(m_view.Status(), "--> big.cab  5242880/5242880");
  EXPECT_EQ(m_view.ProgressBar().positions.back(), 100);

  // An empty body is an empty file.
  ASSERT_TRUE(DownloadToFile(global, *m_context, "/D00000042/empty.txt", "empty.txt"));
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

  EXPECT_FALSE(DownloadToFile(global, *m_context, "/chunked", "c.txt"));
  EXPECT_FALSE(std::filesystem::exists(Work("c.txt")));  // failed before the file

  EXPECT_FALSE(DownloadToFile(global, *m_context, "/a.txt", "nofolder\\a.txt"));
  EXPECT_EQ(m_view.LastLogLine(), "nofolder\\a.txtの作成に失敗");
}

TEST_F(DownloadTest, ClearingWorkerRunStopsTheFileDownloadAndLeavesItEmpty)
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
  const bool ok = DownloadToFile(global, *m_context, "/huge.bin", "huge.bin");
  const std::uint32_t stopTook = clock.Milliseconds() - stoppedAt;
  done = true;
  stopper.join();
  EXPECT_FALSE(ok);
  EXPECT_LT(stopTook, 1500u) << "the download did not stop before the backstop";
  EXPECT_EQ(std::filesystem::file_size(Work("huge.bin")), 0u);
  EXPECT_FALSE(std::filesystem::exists(Work("huge.bin.part")));
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
                [&] { return DownloadToFile(global, *m_context, "/f", "f.bin"); }),
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

TEST_F(DownloadTest, ParallelPatchingHidesTheProgress)
{
  m_server.ServeText("/a.txt", "abc");
  CGlobal& global = Start();
  global.parallelPatch = 1;
  ASSERT_TRUE(DownloadToFile(global, *m_context, "/a.txt", "a.txt"));
  EXPECT_THAT(m_view.StatusLines(), IsEmpty());
  EXPECT_THAT(m_view.ProgressBar().positions, ElementsAre(0));
}

}  // namespace
}  // namespace orv::test
