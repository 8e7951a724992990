#include "support/LoopbackServer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "support/LoopbackContent.h"
#include "support/TestCertificate.h"

namespace orv::test {

using loopback::EqualNoCase;
using loopback::FileUnder;
using loopback::kPatternPeriod;
using loopback::Pattern;

namespace {

namespace fs = std::filesystem;

// How much of a generated body one call of the content provider sends.
constexpr std::size_t kProviderSlice = 1024 * 1024;

// A client that goes away in the middle of a body must not kill the test
// process with SIGPIPE when the server writes to it.
void IgnoreBrokenPipes()
{
  static const bool ignored = [] {
    signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  static_cast<void>(ignored);
}

std::uint64_t NowMs()
{
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

// --- The test authority ---

// An authority and the server certificate it signed, made once per process
// (key generation is the slow part), with the authority's PEM file removed
// when the process ends.
struct TestAuthority {
  TestAuthority()
      : authorityKey(MakeKey()),
        serverKey(MakeKey()),
        authority(MakeCertificate(authorityKey.get(), "Orv loopback test authority", 1,
                                  CertificateUse::Authority)),
        server(MakeCertificate(serverKey.get(), "localhost", 2, CertificateUse::Server,
                               authority.get(), authorityKey.get())),
        elsewhere(MakeCertificate(serverKey.get(), "elsewhere.invalid", 3,
                                  CertificateUse::Server, authority.get(), authorityKey.get(),
                                  kAnotherName))
  {
    const std::string pem = CertificatePem(authority.get());
    std::string pattern = (fs::temp_directory_path() / "orv-test-ca-XXXXXX.pem").string();
    const int fd = mkstemps(pattern.data(), 4);
    if (fd < 0)
      throw std::runtime_error("cannot create the test authority's file");
    const bool written = write(fd, pem.data(), pem.size()) == static_cast<ssize_t>(pem.size());
    if (close(fd) != 0 || !written) {
      std::remove(pattern.c_str());
      throw std::runtime_error("cannot write the test authority's file");
    }
    file = pattern;
  }

  ~TestAuthority() { std::remove(file.c_str()); }

  KeyPtr authorityKey;
  KeyPtr serverKey;
  CertificatePtr authority;
  CertificatePtr server;
  CertificatePtr elsewhere;
  std::string file;
};

TestAuthority& Authority()
{
  static TestAuthority authority;
  return authority;
}

// Shuts down every connection accepted on a port of this process, so the
// server threads blocked on them (a keep-alive wait, a client that stopped
// reading) return at once instead of after their time-outs.
void CutConnectionsTo(std::uint16_t port)
{
  DIR* folder = opendir("/proc/self/fd");
  if (!folder)
    return;
  while (const dirent* entry = readdir(folder)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == dirfd(folder))
      continue;
    sockaddr_in local{};
    sockaddr_in peer{};
    socklen_t localSize = sizeof local;
    socklen_t peerSize = sizeof peer;
    if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &localSize) == 0 &&
        local.sin_family == AF_INET && ntohs(local.sin_port) == port &&
        getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peerSize) == 0)
      shutdown(static_cast<int>(fd), SHUT_RDWR);
  }
  closedir(folder);
}

HttpRequestSeen Seen(const httplib::Request& request)
{
  HttpRequestSeen seen;
  seen.method = request.method;
  seen.path = request.path;
  seen.target = request.target;
  const std::size_t question = request.target.find('?');
  if (question != std::string::npos)
    seen.query = request.target.substr(question + 1);
  seen.body = request.body;
  for (const auto& [name, value] : request.headers) {
    // cpp-httplib files the peer's addresses among the headers.
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
        name == "LOCAL_PORT")
      continue;
    seen.headers.emplace_back(name, value);
  }
  return seen;
}

void Reply(const HttpReply& reply, httplib::Response& response)
{
  response.status = reply.status;
  std::string contentType = "text/plain";
  for (const auto& [name, value] : reply.headers) {
    if (EqualNoCase(name, "Content-Type"))
      contentType = value;
    else
      response.set_header(name, value);
  }
  if (!reply.withoutLength) {
    response.set_content(reply.body, contentType);
    return;
  }
  auto body = std::make_shared<std::string>(reply.body);
  response.set_chunked_content_provider(contentType,
                                        [body](std::size_t offset, httplib::DataSink& sink) {
                                          if (offset < body->size())
                                            return sink.write(body->data() + offset,
                                                              body->size() - offset);
                                          sink.done();
                                          return true;
                                        });
}

}  // namespace

// --- LoopbackServer ---

struct LoopbackServer::Impl {
  using Route = std::function<void(const HttpRequestSeen&, httplib::Response&)>;

  explicit Impl(Scheme scheme)
  {
    IgnoreBrokenPipes();
    if (scheme != Scheme::Http) {
      const TestAuthority& authority = Authority();
      server = std::make_unique<httplib::SSLServer>(
          scheme == Scheme::Https ? authority.server.get() : authority.elsewhere.get(),
          authority.serverKey.get());
      caFile = authority.file;
    } else {
      server = std::make_unique<httplib::Server>();
    }
    if (!server->is_valid())
      throw std::runtime_error("cannot set up the loopback server");

    const httplib::Server::Handler dispatch = [this](const httplib::Request& request,
                                                     httplib::Response& response) {
      Dispatch(request, response);
    };
    // Every path of every method comes to Dispatch, which keeps its own
    // table: cpp-httplib's routes are regular expressions.
    const std::string everything = "[\\s\\S]*";
    server->Get(everything, dispatch);
    server->Post(everything, dispatch);
    server->Put(everything, dispatch);
    server->Patch(everything, dispatch);
    server->Delete(everything, dispatch);
    server->Options(everything, dispatch);
    // A backstop for a connection CutConnectionsTo could not see; short waits
    // keep the destructor prompt.
    server->set_keep_alive_timeout(2);
    server->set_read_timeout(2, 0);
    server->set_write_timeout(2, 0);
    // cpp-httplib writes headers and body separately; with Nagle's algorithm
    // the body would wait for the client's delayed acknowledgement (40 ms).
    server->set_tcp_nodelay(true);

    const int bound = server->bind_to_any_port("127.0.0.1");
    if (bound <= 0)
      throw std::runtime_error("cannot bind the loopback server");
    port = static_cast<std::uint16_t>(bound);
    thread = std::thread([this] {
      server->listen_after_bind();
      listenerDone = true;
    });
    // stop() does nothing before the server runs: wait for it, so that a
    // server destroyed at once still stops.
    while (!server->is_running() && !listenerDone)
      usleep(200);
  }

  ~Impl()
  {
    stopping = true;
    server->stop();
    CutConnectionsTo(port);
    thread.join();
  }

  void Dispatch(const httplib::Request& request, httplib::Response& response)
  {
    const HttpRequestSeen seen = Seen(request);
    Route route;
    std::optional<fs::path> root;
    {
      std::lock_guard<std::mutex> guard(lock);
      requests.push_back(seen);
      auto it = routes.find({seen.method, seen.path});
      if (it == routes.end() && seen.method == "HEAD")
        it = routes.find({"GET", seen.path});
      if (it != routes.end())
        route = it->second;
      root = folder;
    }
    if (route) {
      // A handler's reply goes out as it stands: cpp-httplib would cut its
      // body to the request's Range on its own.
      const_cast<httplib::Request&>(request).ranges.clear();
      route(seen, response);
      return;
    }
    if (root && (seen.method == "GET" || seen.method == "HEAD"))
      if (const auto file = FileUnder(*root, seen.path)) {
        ServeFile(*file, request, response);
        return;
      }
    response.status = 404;
    response.set_content("not found", "text/plain");
  }

  // As a static web server answers: a validator, and a single range as 206
  // (cpp-httplib cuts the body to a range by itself, but leaves the status
  // line at 200 and ignores If-Range).
  static void ServeFile(const fs::path& file, const httplib::Request& request,
                        httplib::Response& response)
  {
    std::error_code error;
    const auto size = fs::file_size(file, error);
    auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
    struct stat info {};
    if (error || !*in || stat(file.c_str(), &info) != 0) {
      response.status = 500;
      return;
    }
    char validator[64];
    std::snprintf(validator, sizeof validator, "\"%llx-%llx\"",
                  static_cast<unsigned long long>(info.st_mtim.tv_sec) * 1000000000ull +
                      static_cast<unsigned long long>(info.st_mtim.tv_nsec),
                  static_cast<unsigned long long>(size));
    response.set_header("ETag", validator);
    auto& ranges = const_cast<httplib::Request&>(request).ranges;
    const std::string ifRange = request.get_header_value("If-Range");
    if (!ifRange.empty() && ifRange != validator)
      ranges.clear();
    if (ranges.size() == 1 && ranges[0].first >= static_cast<ssize_t>(size)) {
      ranges.clear();
      response.status = 416;
      response.set_header("Content-Range", "bytes */" + std::to_string(size));
      return;
    }
    response.status = ranges.empty() ? 200 : 206;
    response.set_content_provider(
        static_cast<std::size_t>(size), "application/octet-stream",
        [in](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          // cpp-httplib asks for a range's part from its first byte on.
          if (static_cast<std::size_t>(in->tellg()) != offset)
            in->seekg(static_cast<std::streamoff>(offset));
          char block[64 * 1024];
          in->read(block, static_cast<std::streamsize>(std::min(length, sizeof block)));
          const std::streamsize got = in->gcount();
          return got > 0 && sink.write(block, static_cast<std::size_t>(got));
        });
  }

  void AddRoute(const std::string& method, const std::string& path, Route route)
  {
    std::lock_guard<std::mutex> guard(lock);
    routes[{method, path}] = std::move(route);
  }

  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  std::atomic<bool> listenerDone{false};
  std::atomic<bool> stopping{false};
  std::uint16_t port = 0;
  std::string caFile;

  mutable std::mutex lock;
  std::map<std::pair<std::string, std::string>, Route> routes;
  std::optional<fs::path> folder;
  std::vector<HttpRequestSeen> requests;
};

LoopbackServer::LoopbackServer(Scheme scheme) : m_impl(std::make_unique<Impl>(scheme)) {}

LoopbackServer::~LoopbackServer() = default;

std::uint16_t LoopbackServer::port() const { return m_impl->port; }

const std::string& LoopbackServer::caFile() const { return m_impl->caFile; }

const std::string& LoopbackServer::AuthorityFile() { return Authority().file; }

void LoopbackServer::Handle(const std::string& method, const std::string& path,
                            std::function<HttpReply(const HttpRequestSeen&)> handler)
{
  m_impl->AddRoute(method, path,
                   [handler = std::move(handler)](const HttpRequestSeen& seen,
                                                  httplib::Response& response) {
                     Reply(handler(seen), response);
                   });
}

void LoopbackServer::ServeText(const std::string& path, std::string body)
{
  HttpReply reply;
  reply.body = std::move(body);
  Handle("GET", path, [reply](const HttpRequestSeen&) { return reply; });
}

void LoopbackServer::ServeFolder(const std::filesystem::path& root)
{
  std::error_code error;
  fs::path canonical = fs::weakly_canonical(root, error);
  std::lock_guard<std::mutex> guard(m_impl->lock);
  m_impl->folder = error ? root : canonical;
}

void LoopbackServer::ServeGenerated(const std::string& path, std::uint64_t size)
{
  Impl* impl = m_impl.get();
  m_impl->AddRoute("GET", path, [impl, size](const HttpRequestSeen&, httplib::Response& response) {
    response.status = 200;
    response.set_content_provider(
        static_cast<std::size_t>(size), "application/octet-stream",
        [impl](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          if (impl->stopping)
            return false;
          // Straight from the pattern: the server must not be what limits a
          // throughput measurement.
          const std::size_t at = offset % kPatternPeriod;
          const std::size_t slice = std::min({length, kPatternPeriod - at, kProviderSlice});
          return sink.write(Pattern().data() + at, slice);
        });
  });
}

std::vector<HttpRequestSeen> LoopbackServer::Requests() const
{
  std::lock_guard<std::mutex> guard(m_impl->lock);
  return m_impl->requests;
}

void LoopbackServer::CutConnections()
{
  CutConnectionsTo(m_impl->port);
}

// --- RawServer ---

struct RawServer::Impl {
  Impl(std::string response, bool stall, int byteIntervalMs)
      : response(std::move(response)), stall(stall), byteIntervalMs(byteIntervalMs)
  {
    IgnoreBrokenPipes();
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        pipe2(wake, O_CLOEXEC) != 0) {
      if (listener >= 0)
        close(listener);
      throw std::runtime_error("cannot set up the raw server");
    }
    port = ntohs(address.sin_port);
    acceptor = std::thread([this] { Accept(); });
  }

  ~Impl()
  {
    // The pipe stays readable once written: every wait of every thread ends.
    const char stop = 1;
    while (write(wake[1], &stop, 1) < 0 && errno == EINTR) {
    }
    acceptor.join();
    for (std::thread& worker : workers)
      worker.join();
    close(listener);
    close(wake[0]);
    close(wake[1]);
  }

  // Waits until fd is ready for events or the server stops; false when the
  // server stops or timeoutMs passes first (-1: no limit).
  bool WaitFor(int fd, short events, int timeoutMs) const
  {
    pollfd fds[2] = {{fd, events, 0}, {wake[0], POLLIN, 0}};
    int ready;
    do {
      ready = poll(fds, 2, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && fds[1].revents == 0 && fds[0].revents != 0;
  }

  void Accept()
  {
    while (WaitFor(listener, POLLIN, -1)) {
      const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0)
        continue;
      ++connections;
      workers.emplace_back([this, client] { Serve(client); });
    }
  }

  // Reads the request, headers and announced body, so the answer does not
  // meet unread bytes: closing a socket with unread input resets the
  // connection and the client would lose the answer.
  void ReadRequest(int client) const
  {
    std::string request;
    std::size_t wanted = std::string::npos;
    const std::uint64_t deadline = NowMs() + 2000;
    char block[4096];
    while (request.size() < wanted && request.size() < (1u << 20)) {
      const std::uint64_t now = NowMs();
      if (now >= deadline || !WaitFor(client, POLLIN, static_cast<int>(deadline - now)))
        return;
      const ssize_t got = recv(client, block, sizeof block, 0);
      if (got <= 0)
        return;
      request.append(block, static_cast<std::size_t>(got));
      const std::size_t end = request.find("\r\n\r\n");
      if (wanted == std::string::npos && end != std::string::npos) {
        std::size_t length = 0;
        std::string lower = request.substr(0, end);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const std::size_t header = lower.find("\r\ncontent-length:");
        if (header != std::string::npos)
          length = std::strtoul(lower.c_str() + header + 17, nullptr, 10);
        wanted = end + 4 + length;
      }
    }
  }

  void Serve(int client)
  {
    ReadRequest(client);
    std::size_t sent = 0;
    while (sent < response.size() && WaitFor(client, POLLOUT, 2000)) {
      const std::size_t piece = byteIntervalMs > 0 ? 1 : response.size() - sent;
      const ssize_t count = send(client, response.data() + sent, piece, MSG_NOSIGNAL);
      if (count <= 0)
        break;
      sent += static_cast<std::size_t>(count);
      // The pause between two bytes ends early only when the server stops.
      pollfd stop = {wake[0], POLLIN, 0};
      if (byteIntervalMs > 0 && poll(&stop, 1, byteIntervalMs) != 0)
        break;
    }
    if (!stall)
      shutdown(client, SHUT_WR);
    // Until the client has gone (or, stalling, until the server stops):
    // whatever it still sends is read and dropped.
    char block[4096];
    while (WaitFor(client, POLLIN, stall ? -1 : 2000))
      if (recv(client, block, sizeof block, 0) <= 0)
        break;
    close(client);
  }

  const std::string response;
  const bool stall;
  const int byteIntervalMs;
  int listener = -1;
  int wake[2] = {-1, -1};
  std::uint16_t port = 0;
  std::atomic<int> connections{0};
  std::thread acceptor;
  std::vector<std::thread> workers;
};

RawServer::RawServer(std::string response, bool stall, int byteIntervalMs)
    : m_impl(std::make_unique<Impl>(std::move(response), stall, byteIntervalMs))
{
}

RawServer::~RawServer() = default;

std::uint16_t RawServer::port() const { return m_impl->port; }

int RawServer::connections() const { return m_impl->connections; }

}  // namespace orv::test
