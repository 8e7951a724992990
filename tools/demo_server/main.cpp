// demo_server: serves one folder over plain HTTP on 127.0.0.1, and the
// publisher's portal and member sites over HTTPS, for the demo.
//
//   demo_server <folder> <port> [<port>...]
//               [--sites <portal-port> <member-port> <certificate.pem> <key.pem>
//                        <kivora-id> <password> <orv-id> [<orv-id>...]]
//
// Every port serves the same folder: a GET of "/a/b.txt" answers the file
// <folder>/a/b.txt, anything missing (or a folder) answers 404, and nothing
// outside the folder is ever answered, whether asked for with ".." or
// reached through a symbolic link (403). Once every port is bound it prints
// one "serving" line; then one line per request (port, method, path,
// status). SIGTERM or SIGINT stops it cleanly.
//
// With --sites, the portal refuses every sign-in, and the member site signs
// in the one account given (names in UTF-8), lists its ORV accounts and
// issues a new one-time password for each menu page asked for, printing it
// ("one-time password ...") so that whoever runs the demo can check it.
//
//   demo_server --silent <port> [<port>...]
//
// stands for servers that have hung: every port takes connections and
// requests and never answers. It prints one "silent" line once all listen.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KivoraPages.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kHost = "127.0.0.1";
// Longer keep-alive waits would only hold up the shutdown.
constexpr time_t kKeepAliveSeconds = 1;

std::mutex g_outputLock;

// A request path as it may be printed: control bytes a client sent must not
// reach the terminal.
std::string Printable(const std::string& text)
{
  std::string printable;
  for (const char c : text)
    printable += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  return printable;
}

void PrintLine(const std::string& line)
{
  std::lock_guard<std::mutex> guard(g_outputLock);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

enum class Lookup { Found, Missing, Outside };

// Where a request path leads inside the root. The path is checked word by
// word before it touches the file system, and the file found is checked
// again after links are resolved, so neither ".." nor a link leaves the root.
Lookup Resolve(const fs::path& root, const std::string& requestPath, fs::path& file)
{
  if (requestPath.empty() || requestPath[0] != '/' ||
      requestPath.find('\0') != std::string::npos || requestPath.find('\\') != std::string::npos)
    return Lookup::Outside;
  fs::path relative;
  std::size_t at = 1;
  while (at <= requestPath.size()) {
    std::size_t end = requestPath.find('/', at);
    if (end == std::string::npos)
      end = requestPath.size();
    const std::string word = requestPath.substr(at, end - at);
    if (word == "..")
      return Lookup::Outside;
    if (!word.empty() && word != ".")
      relative /= word;
    at = end + 1;
  }
  if (relative.empty())
    return Lookup::Missing;  // no folder listings

  std::error_code error;
  const fs::path real = fs::canonical(root / relative, error);
  if (error)
    return Lookup::Missing;
  const std::string inside = root.string() + "/";
  if (real.string().compare(0, inside.size(), inside) != 0)
    return Lookup::Outside;
  if (!fs::is_regular_file(real, error))
    return Lookup::Missing;
  file = real;
  return Lookup::Found;
}

void Serve(const fs::path& root, const httplib::Request& request, httplib::Response& response)
{
  fs::path file;
  switch (Resolve(root, request.path, file)) {
    case Lookup::Outside:
      response.status = 403;
      response.set_content("outside the served folder\n", "text/plain");
      return;
    case Lookup::Missing:
      response.status = 404;
      response.set_content("not found\n", "text/plain");
      return;
    case Lookup::Found:
      break;
  }
  std::ifstream in(file, std::ios::binary);
  std::string bytes(std::istreambuf_iterator<char>(in), {});
  if (!in.is_open() || in.bad()) {
    response.status = 500;
    response.set_content("cannot read the file\n", "text/plain");
    return;
  }
  // A validator and ranges, as static web servers answer: a launcher that
  // lost its connection goes on where it stopped. cpp-httplib cuts the body
  // to a single range by itself but leaves the status line at 200 and
  // ignores If-Range, so both are settled here.
  struct stat info {};
  stat(file.c_str(), &info);
  char validator[64];
  std::snprintf(validator, sizeof validator, "\"%llx-%zx\"",
                static_cast<unsigned long long>(info.st_mtim.tv_sec) * 1000000000ull +
                    static_cast<unsigned long long>(info.st_mtim.tv_nsec),
                bytes.size());
  response.set_header("ETag", validator);
  auto& ranges = const_cast<httplib::Request&>(request).ranges;
  const std::string ifRange = request.get_header_value("If-Range");
  if (!ifRange.empty() && ifRange != validator)
    ranges.clear();
  if (ranges.size() == 1 && ranges[0].first >= static_cast<ssize_t>(bytes.size())) {
    ranges.clear();
    response.status = 416;
    response.set_header("Content-Range", "bytes */" + std::to_string(bytes.size()));
    return;
  }
  response.status = ranges.empty() ? 200 : 206;
  response.set_content(std::move(bytes), "application/octet-stream");
}

bool ParsePort(const char* text, int& port)
{
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || value < 1 || value > 65535)
    return false;
  port = static_cast<int>(value);
  return true;
}

// Both kinds of server bind the same way and log every request.
bool Bind(httplib::Server& server, int port)
{
  server.set_keep_alive_timeout(kKeepAliveSeconds);
  // cpp-httplib's default adds SO_REUSEPORT, which lets a second server
  // share a port already taken, say by an earlier demo still running: the
  // launcher would then reach either. Binding must fail instead.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.set_logger([port](const httplib::Request& request, const httplib::Response& response) {
    PrintLine(":" + std::to_string(port) + " " + request.method + " " + Printable(request.path) +
              " " + std::to_string(response.status));
  });
  if (!server.bind_to_port(kHost, port)) {
    std::fprintf(stderr, "demo_server: cannot listen on %s:%d: %s\n", kHost, port,
                 std::strerror(errno));
    return false;
  }
  return true;
}

void Answer(httplib::Response& response, const demo::Page& page)
{
  response.status = page.status;
  if (!page.setCookie.empty())
    response.set_header("Set-Cookie", page.setCookie);
  response.set_content(page.body, "text/html; charset=Shift_JIS");
}

void ServeSites(httplib::Server& portal, httplib::Server& member, demo::KivoraPages& pages)
{
  portal.Post("/index.php", [&pages](const httplib::Request& request, httplib::Response& response) {
    Answer(response, pages.PortalLogin(request.get_header_value("Host")));
  });
  member.Post("/front/guest/login.aspx",
              [&pages](const httplib::Request& request, httplib::Response& response) {
                Answer(response, pages.MemberLogin(request.body));
              });
  member.Get("/front/member/center.aspx",
             [&pages](const httplib::Request& request, httplib::Response& response) {
               Answer(response, pages.CentrePage(request.get_header_value("Cookie")));
             });
  member.Get("/front/orv/iframe/menu.aspx",
             [&pages](const httplib::Request& request, httplib::Response& response) {
               std::string printed;
               Answer(response, pages.MenuPage(request.get_header_value("Cookie"),
                                               request.get_param_value("SIID"), printed));
               if (!printed.empty())
                 PrintLine("demo_server: " + printed);
             });
}

// Listens on each port and never takes a connection off the queue: the
// system completes the connections and keeps what the clients send, and
// nothing ever answers. Until SIGTERM or SIGINT.
int StaySilent(const std::vector<int>& ports, sigset_t& stopSignals)
{
  std::string where;
  for (const int port : ports) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, kHost, &address.sin_addr);
    if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, SOMAXCONN) != 0) {
      std::fprintf(stderr, "demo_server: cannot listen on %s:%d: %s\n", kHost, port,
                   std::strerror(errno));
      return 1;
    }
    where += (where.empty() ? "" : ", ") + std::string(kHost) + ":" + std::to_string(port);
  }
  PrintLine("demo_server: silent on " + where);
  int received = 0;
  sigwait(&stopSignals, &received);
  return 0;
}

}  // namespace

int main(int argc, char** argv)
{
  const char* usage =
      "usage: demo_server <folder> <port> [<port>...] [--sites <portal-port> <member-port> "
      "<certificate.pem> <key.pem> <kivora-id> <password> <orv-id> [<orv-id>...]]\n"
      "       demo_server --silent <port> [<port>...]\n";
  if (argc < 3) {
    std::fputs(usage, stderr);
    return 2;
  }
  if (std::strcmp(argv[1], "--silent") == 0) {
    std::vector<int> ports(static_cast<std::size_t>(argc - 2));
    for (int at = 2; at < argc; ++at) {
      if (!ParsePort(argv[at], ports[static_cast<std::size_t>(at - 2)])) {
        std::fprintf(stderr, "demo_server: %s is not a port\n", argv[at]);
        return 2;
      }
    }
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return StaySilent(ports, stopSignals);
  }
  std::error_code error;
  const fs::path root = fs::canonical(argv[1], error);
  if (error || !fs::is_directory(root, error)) {
    std::fprintf(stderr, "demo_server: %s is not a folder\n", argv[1]);
    return 2;
  }
  std::vector<int> ports;
  int i = 2;
  for (; i < argc && std::strcmp(argv[i], "--sites") != 0; ++i) {
    int port = 0;
    if (!ParsePort(argv[i], port)) {
      std::fprintf(stderr, "demo_server: %s is not a port\n", argv[i]);
      return 2;
    }
    ports.push_back(port);
  }
  const bool withSites = i < argc;
  int portalPort = 0;
  int memberPort = 0;
  std::unique_ptr<demo::KivoraPages> pages;
  std::string certificate, key;
  if (withSites) {
    if (argc - i < 8 || !ParsePort(argv[i + 1], portalPort) || !ParsePort(argv[i + 2], memberPort)) {
      std::fputs(usage, stderr);
      return 2;
    }
    certificate = argv[i + 3];
    key = argv[i + 4];
    demo::DemoAccount account;
    bool converted = demo::ToShiftJis(argv[i + 5], account.kivoraId) &&
                     demo::ToShiftJis(argv[i + 6], account.password);
    for (int at = i + 7; at < argc; ++at) {
      account.orvIds.emplace_back();
      converted = converted && demo::ToShiftJis(argv[at], account.orvIds.back());
    }
    if (!converted) {
      std::fprintf(stderr, "demo_server: the account's names must be UTF-8 with a Shift_JIS form\n");
      return 2;
    }
    pages = std::make_unique<demo::KivoraPages>(std::move(account));
  }

  // The stop signals are taken by sigwait below, never by a server thread;
  // a client that goes away mid-body must not end the process either.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::vector<std::unique_ptr<httplib::Server>> servers;
  std::string where;
  for (const int port : ports) {
    auto server = std::make_unique<httplib::Server>();
    server->Get(".*", [&root](const httplib::Request& request, httplib::Response& response) {
      Serve(root, request, response);
    });
    if (!Bind(*server, port))
      return 1;
    servers.push_back(std::move(server));
    where += (where.empty() ? "" : ", ") + std::string(kHost) + ":" + std::to_string(port);
  }
  if (withSites) {
    auto portal = std::make_unique<httplib::SSLServer>(certificate.c_str(), key.c_str());
    auto member = std::make_unique<httplib::SSLServer>(certificate.c_str(), key.c_str());
    if (!portal->is_valid() || !member->is_valid()) {
      std::fprintf(stderr, "demo_server: cannot use the certificate %s with the key %s\n",
                   certificate.c_str(), key.c_str());
      return 1;
    }
    ServeSites(*portal, *member, *pages);
    if (!Bind(*portal, portalPort) || !Bind(*member, memberPort))
      return 1;
    servers.push_back(std::move(portal));
    servers.push_back(std::move(member));
    where += ", the portal on https://" + std::string(kHost) + ":" + std::to_string(portalPort) +
             " and the member site on https://localhost:" + std::to_string(memberPort);
  }

  std::vector<std::thread> listeners;
  std::vector<std::unique_ptr<std::atomic<bool>>> ended;
  for (auto& server : servers) {
    ended.push_back(std::make_unique<std::atomic<bool>>(false));
    listeners.emplace_back([&server, done = ended.back().get()] {
      server->listen_after_bind();
      *done = true;
    });
  }
  PrintLine("demo_server: serving " + root.string() + " on " + where);

  int received = 0;
  sigwait(&stopSignals, &received);

  for (std::size_t at = 0; at < servers.size(); ++at) {
    // stop() does nothing before the server runs: wait until it does.
    while (!servers[at]->is_running() && !*ended[at])
      std::this_thread::yield();
    servers[at]->stop();
  }
  for (std::thread& listener : listeners)
    listener.join();
  PrintLine(std::string("demo_server: stopped by ") + (received == SIGINT ? "SIGINT" : "SIGTERM"));
  return 0;
}
