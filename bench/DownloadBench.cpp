// DownloadToFile from a loopback server against curl from the same server:
// `curl -o /dev/null` (the transfer alone) and `curl -o <file>` (the
// transfer and storing it), with the peak memory a gigabyte download costs.
// The three run in alternation, each after a sync, so that the writeback of
// one run's file does not land on the next.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include "BenchSupport.h"
#include "net/ConnectionContext.h"
#include "net/Download.h"
#include "support/LoopbackServer.h"

namespace orv::bench {
namespace {

const std::uint64_t kSize = Scaled(1ull << 30);
constexpr const char* kPath = "/D00000042/big.bin";

void Downloads(benchmark::State& state)
{
  test::LoopbackServer server;
  server.ServeGenerated(kPath, kSize);
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + kPath;
  Deployment deployment;
  deployment.patchHost = "127.0.0.1";
  deployment.patchPort = server.port();
  BenchLauncher launcher(deployment);
  CGlobal& global = launcher.global();
  ConnectionContext context(global);
  context.session.Open(60000);
  const std::filesystem::path curlFile = launcher.start() / "_temp" / "curl.bin";
  const std::filesystem::path ourFile = launcher.start() / "_temp" / "big.bin";

  std::uint64_t peak = 0;
  std::vector<std::uint8_t> sink(256 << 10);
  for (auto _ : state) {
    sync();
    Measured().Add("curl", TimeCommand({"curl", "-s", "-o", "/dev/null", url}));

    // The same transfer through the launcher's session, the bytes dropped
    // as curl drops them into /dev/null.
    {
      HttpSession& session = context.session;
      const auto begin = std::chrono::steady_clock::now();
      std::uint32_t status = 0, available = 0, read = 0;
      std::uint64_t total = 0;
      session.Connect("127.0.0.1", server.port());
      session.OpenRequest("GET", kPath, nullptr, 0);
      session.SendRequest(nullptr, 0, nullptr, 0);
      session.QueryInfo(HttpClient::kQueryStatusCode | HttpClient::kQueryFlagNumber, status);
      do {
        if (session.InetQueryDataAvail(available) < 0 ||
            session.InetReadFile(sink.data(), std::min<std::uint32_t>(available, sink.size()),
                                 read) < 0)
          break;
        total += read;
      } while (read > 0);
      session.CloseExchange();
      if (status != 200 || total != kSize) {
        state.SkipWithError("transfer failed");
        return;
      }
      Measured().Add("session", std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                              begin).count());
    }
    sync();
    Measured().Add("curl file", TimeCommand({"curl", "-s", "-o", curlFile.string(), url}));
    std::filesystem::remove(curlFile);
    sync();

    const std::uint64_t before = CurrentMemory();
    ResetPeakMemory();
    const auto begin = std::chrono::steady_clock::now();
    std::uint64_t received = 0;
    if (DownloadToFile(global, context, kPath, std::string(global.startDir) + "\\_temp\\big.bin",
                       "big.bin", received) != FileDownload::Complete) {
      state.SkipWithError("download failed");
      return;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    state.SetIterationTime(seconds);
    Measured().Add("launcher", seconds);
    const std::uint64_t after = PeakMemory();
    peak = std::max(peak, after > before ? after - before : 0);
    std::filesystem::remove(ourFile);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
  state.counters["peak_MiB"] = static_cast<double>(peak) / (1 << 20);
}

BENCHMARK(Downloads)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace orv::bench

int main(int argc, char** argv)
{
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  using orv::bench::Measured;
  std::printf(
      "seconds per %llu MiB: curl -o /dev/null %.3f, session reads dropped %.3f, "
      "curl -o file %.3f, DownloadToFile %.3f\n",
      static_cast<unsigned long long>(orv::bench::kSize >> 20), Measured().Median("curl"),
      Measured().Median("session"), Measured().Median("curl file"), Measured().Median("launcher"));
  std::printf("ratio: session transfer throughput / curl -o /dev/null throughput = %.2f\n",
              Measured().Median("curl") / Measured().Median("session"));
  std::printf("ratio: DownloadToFile throughput / curl -o /dev/null throughput = %.2f\n",
              Measured().Median("curl") / Measured().Median("launcher"));
  std::printf("ratio: DownloadToFile throughput / curl -o <file> throughput = %.2f\n",
              Measured().Median("curl file") / Measured().Median("launcher"));
  return 0;
}
