// fault_server: a static HTTP/1.1 file server on 127.0.0.1 that misbehaves
// on purpose, for the network tests of the launcher's downloads.
//
//   fault_server <folder> <port> [--threshold BYTES] [--stats FILE] [FAULT...]
//   fault_server --relay <upstream-port> <port> [--stats FILE] [cut:BYTES]
//
// It serves the folder as a careful static server does: GET only, 404 for
// what is missing, nothing outside the folder; every file with
// Content-Length, ETag and Last-Modified; a single range "bytes=N-" (or
// N-M, or -S) answered with 206 and Content-Range, 416 with "bytes */T"
// when N is at or past the end, and the whole file with 200 when If-Range
// names another version; connections kept alive.
//
// The faults touch only files larger than the threshold (default 512 KiB),
// the cabinets of a step, and each one that fires is written on the
// request's line:
//
//   cut:BYTES        the first response of each file that is longer is cut
//                    (FIN) after BYTES body bytes; once per file
//   reset:BYTES      the same with a reset (RST), once per file
//   stall:BYTES      the same, but the connection stays open and silent
//                    until the client gives up; once per file
//   trickle:BYTES    the same, but the rest comes at 128 bytes a second;
//                    once per file
//   every:BYTES      the connection is cut whenever BYTES body bytes of big
//                    files have gone out since the last cut, whatever the
//                    file: a link that drops every BYTES
//   status503:COUNT  the first COUNT requests of each file are answered 503
//   416-once         the first range request of each file is answered 416
//   ignore-range     ranges are ignored: 200 and the whole file
//   change-validator the validator changes after the first response of each
//                    file, as a re-upload of identical bytes would
//   rate:BYTES       big files go out at BYTES a second at most
//
// Each request prints one line (method, path, Range and If-Range, status,
// body bytes sent, the fault); SIGTERM or SIGINT prints a summary and ends
// it. With --stats, FILE holds "<bytes> <path>" lines, the file body bytes
// sent per path, rewritten after each response and during long ones, so
// that a script can count what a client really fetched.
//
// With --relay it serves nothing itself: each connection is forwarded to
// 127.0.0.1:<upstream-port>, and cut:BYTES closes the first connection that
// carries more than BYTES towards the client at that point, once. The stats
// file then holds one line, "<bytes> relay", everything sent to clients.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

// ----------------------------------------------------------------------------
// Options and shared state

struct Options {
  std::string root;  // canonical, without a trailing '/'
  int port = 0;
  int relayTo = 0;
  std::uint64_t threshold = 512 * 1024;
  std::string stats;
  std::uint64_t cut = 0, reset = 0, stall = 0, trickle = 0, every = 0, rate = 0;
  int status503 = 0;
  bool once416 = false, ignoreRange = false, changeValidator = false;
};

// What has happened to one file so far.
struct FileState {
  int requests = 0;
  int responses = 0;
  bool faulted = false;  // its one cut, reset, stall or trickle has fired
  bool refused416 = false;
  std::uint64_t sent = 0;
};

Options g_options;
std::mutex g_lock;  // guards everything below, and stdout
std::map<std::string, FileState> g_files;
std::uint64_t g_sinceEvery = 0;
std::uint64_t g_relayed = 0;
int g_requests = 0;
std::map<std::string, int> g_faultCounts;

double Now()
{
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void Sleep(double seconds)
{
  if (seconds <= 0)
    return;
  timespec wait{
      static_cast<time_t>(seconds),
      static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9)};
  nanosleep(&wait, nullptr);
}

// Rewrites the stats file beside itself and renames it, so that a reader
// never sees half of it. Called with g_lock held.
void WriteStats()
{
  if (g_options.stats.empty())
    return;
  const std::string next = g_options.stats + ".new";
  std::FILE* out = std::fopen(next.c_str(), "w");
  if (!out)
    return;
  if (g_options.relayTo != 0)
    std::fprintf(out, "%llu relay\n", static_cast<unsigned long long>(g_relayed));
  for (const auto& [path, state] : g_files)
    std::fprintf(out, "%llu %s\n", static_cast<unsigned long long>(state.sent), path.c_str());
  std::fclose(out);
  std::rename(next.c_str(), g_options.stats.c_str());
}

// ----------------------------------------------------------------------------
// Sockets

bool SendAll(int socket, const char* bytes, std::size_t size)
{
  while (size > 0) {
    const ssize_t sent = send(socket, bytes, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR)
      continue;
    if (sent <= 0)
      return false;
    bytes += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

// Waits until the peer has every byte sent so far (at most two seconds), so
// that a reset throws away nothing the stats count as sent.
void Drain(int socket)
{
  for (int i = 0; i < 200; ++i) {
    int queued = 0;
    if (ioctl(socket, SIOCOUTQ, &queued) != 0 || queued == 0)
      return;
    Sleep(0.01);
  }
}

// Waits, without reading, until the peer closes its end or resets it.
void WaitForHangUp(int socket)
{
  char scratch[4096];
  for (;;) {
    pollfd watch{socket, POLLIN, 0};
    if (poll(&watch, 1, 1000) < 0 && errno != EINTR)
      return;
    if (watch.revents & (POLLHUP | POLLERR))
      return;
    if ((watch.revents & POLLIN) && recv(socket, scratch, sizeof scratch, 0) <= 0)
      return;
  }
}

int Listen(int port)
{
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
      bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, SOMAXCONN) != 0) {
    std::fprintf(stderr, "fault_server: cannot listen on 127.0.0.1:%d: %s\n", port,
                 std::strerror(errno));
    std::exit(1);
  }
  return listener;
}

// ----------------------------------------------------------------------------
// Requests

struct Request {
  std::string method, target, version;
  std::map<std::string, std::string> headers;  // names in lower case
};

// Reads one request head from the connection; `pending` keeps bytes that
// came after it. False when the client closed, went quiet for the
// keep-alive time or sent something that is not a request head.
bool ReadRequest(int socket, std::string& pending, Request& request)
{
  std::size_t end;
  while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
    if (pending.size() > 16384)
      return false;
    pollfd watch{socket, POLLIN, 0};
    if (poll(&watch, 1, 5000) <= 0)
      return false;
    char buffer[4096];
    const ssize_t got = recv(socket, buffer, sizeof buffer, 0);
    if (got <= 0)
      return false;
    pending.append(buffer, static_cast<std::size_t>(got));
  }
  const std::string head = pending.substr(0, end);
  pending.erase(0, end + 4);

  std::size_t lineEnd = head.find("\r\n");
  const std::string first = head.substr(0, lineEnd);
  const std::size_t a = first.find(' ');
  const std::size_t b = first.rfind(' ');
  if (a == std::string::npos || b == a)
    return false;
  request.method = first.substr(0, a);
  request.target = first.substr(a + 1, b - a - 1);
  request.version = first.substr(b + 1);
  request.headers.clear();
  while (lineEnd != std::string::npos) {
    const std::size_t start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    const std::string line =
        head.substr(start, lineEnd == std::string::npos ? lineEnd : lineEnd - start);
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos)
      continue;
    std::string name = line.substr(0, colon);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::size_t value = colon + 1;
    while (value < line.size() && line[value] == ' ')
      ++value;
    request.headers[name] = line.substr(value);
  }
  return true;
}

std::string Header(const Request& request, const char* name)
{
  const auto found = request.headers.find(name);
  return found == request.headers.end() ? std::string() : found->second;
}

// The file a request path names inside the root, or "" when there is none
// or the path would leave the root (by "..", or by a link).
std::string Resolve(const std::string& target)
{
  std::string path = target.substr(0, target.find('?'));
  std::string decoded;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%' && i + 2 < path.size() && std::isxdigit(path[i + 1]) &&
        std::isxdigit(path[i + 2])) {
      decoded += static_cast<char>(std::stoi(path.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      decoded += path[i];
    }
  }
  if (decoded.empty() || decoded[0] != '/' || decoded.find('\0') != std::string::npos ||
      decoded.find('\\') != std::string::npos || (decoded + "/").find("/../") != std::string::npos)
    return {};
  char real[PATH_MAX];
  if (!realpath((g_options.root + decoded).c_str(), real))
    return {};
  const std::string file = real;
  struct stat info {};
  if (file.compare(0, g_options.root.size() + 1, g_options.root + "/") != 0 ||
      stat(real, &info) != 0 || !S_ISREG(info.st_mode))
    return {};
  return file;
}

std::string HttpDate(time_t when)
{
  char text[64];
  tm parts{};
  gmtime_r(&when, &parts);
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return text;
}

// A single byte range of a file of `total` bytes: false when the header
// asks for none, or for something this server does not take (several
// ranges, another unit), and the whole file goes out.
bool ParseRange(const std::string& header, std::uint64_t total, std::uint64_t& first,
                std::uint64_t& last)
{
  if (total == 0 || header.compare(0, 6, "bytes=") != 0 || header.find(',') != std::string::npos)
    return false;
  const std::string spec = header.substr(6);
  const std::size_t dash = spec.find('-');
  if (dash == std::string::npos)
    return false;
  const std::string from = spec.substr(0, dash), to = spec.substr(dash + 1);
  const auto number = [](const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
      return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
  };
  if (from.empty()) {  // the last S bytes
    std::uint64_t suffix = 0;
    if (!number(to, suffix) || suffix == 0)
      return false;
    first = total - std::min(suffix, total);
    last = total - 1;
    return true;
  }
  if (!number(from, first))
    return false;
  last = total - 1;
  std::uint64_t end = 0;
  if (!to.empty() && (!number(to, end) || end < first))
    return false;
  if (!to.empty())
    last = std::min(end, last);
  return true;
}

// What one response does, decided before it starts.
struct Plan {
  int status = 200;
  std::uint64_t first = 0, length = 0;  // the part of the file sent
  std::string fault;                    // "" or the fault's name
  std::uint64_t faultAt = 0;            // body bytes before it strikes
  bool big = false;
  bool every = false;
};

// Settles status, range and fault for a request of an existing file.
Plan Decide(const Request& request, const std::string& path, std::uint64_t total,
            const std::string& etag, const std::string& modified)
{
  Plan plan;
  const bool big = total > g_options.threshold;
  plan.big = big;
  std::lock_guard<std::mutex> hold(g_lock);
  FileState& state = g_files[path];
  ++state.requests;
  const std::string range = Header(request, "range");

  if (big && state.requests <= g_options.status503) {
    plan.status = 503;
    return plan;
  }
  if (big && g_options.once416 && !range.empty() && !state.refused416) {
    state.refused416 = true;
    plan.status = 416;
    return plan;
  }
  std::uint64_t first = 0, last = 0;
  bool ranged = !(big && g_options.ignoreRange) && ParseRange(range, total, first, last);
  const std::string ifRange = Header(request, "if-range");
  if (ranged && !ifRange.empty() && ifRange != etag && ifRange != modified)
    ranged = false;
  if (ranged && first >= total) {
    plan.status = 416;
    return plan;
  }
  plan.status = ranged ? 206 : 200;
  plan.first = ranged ? first : 0;
  plan.length = ranged ? last - first + 1 : total;
  ++state.responses;
  if (!big)
    return plan;

  const std::pair<const char*, std::uint64_t> once[] = {{"cut", g_options.cut},
                                                        {"reset", g_options.reset},
                                                        {"stall", g_options.stall},
                                                        {"trickle", g_options.trickle}};
  for (const auto& [name, at] : once) {
    if (at != 0 && !state.faulted && plan.length > at) {
      state.faulted = true;
      plan.fault = name;
      plan.faultAt = at;
      return plan;
    }
  }
  if (g_options.every != 0) {
    plan.every = true;
    plan.faultAt = g_options.every - std::min(g_sinceEvery, g_options.every - 1);
    if (plan.length > plan.faultAt)
      plan.fault = "every";
  }
  return plan;
}

// ----------------------------------------------------------------------------
// Responses

// Sends the body of a plan from the open file. The bytes are counted as
// they leave, and the fault, if any, strikes at its byte. False when the
// connection must not be used again (a reset is armed for its close).
bool SendBody(int socket, int file, const std::string& path, const Plan& plan, std::uint64_t& sent)
{
  const bool limited = plan.big && g_options.rate != 0;
  const std::uint64_t until = plan.fault.empty() ? plan.length : plan.faultAt;
  const double started = Now();
  double statsWritten = started;
  char buffer[65536];
  // Small pieces keep a limited rate smooth and the stats close behind.
  const std::size_t piece = limited ? 16384 : sizeof buffer;
  const auto pass = [&](std::size_t want) {
    const ssize_t got = pread(file, buffer, want, static_cast<off_t>(plan.first + sent));
    if (got <= 0 || !SendAll(socket, buffer, static_cast<std::size_t>(got)))
      return false;
    sent += static_cast<std::uint64_t>(got);
    std::lock_guard<std::mutex> hold(g_lock);
    g_files[path].sent += static_cast<std::uint64_t>(got);
    if (plan.every)
      g_sinceEvery += static_cast<std::uint64_t>(got);
    if (Now() - statsWritten > 0.05) {
      WriteStats();
      statsWritten = Now();
    }
    return true;
  };
  while (sent < until) {
    if (!pass(static_cast<std::size_t>(std::min<std::uint64_t>(piece, until - sent))))
      return false;
    if (limited)
      Sleep(started + static_cast<double>(sent) / static_cast<double>(g_options.rate) - Now());
  }
  if (plan.fault.empty())
    return true;

  if (plan.fault == "reset") {
    // Everything counted as sent reaches the client before the reset.
    Drain(socket);
    const linger abort{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  } else if (plan.fault == "stall") {
    WaitForHangUp(socket);
  } else if (plan.fault == "trickle") {
    // 128 bytes a second, far below any stall floor, until the client gives
    // up or the body is done.
    while (sent < plan.length) {
      Sleep(0.5);
      if (!pass(static_cast<std::size_t>(std::min<std::uint64_t>(64, plan.length - sent))))
        break;
    }
  } else if (plan.fault == "every") {
    std::lock_guard<std::mutex> hold(g_lock);
    g_sinceEvery = 0;
  }
  return false;
}

// Answers one request; false when the connection is finished.
bool Respond(int socket, const Request& request)
{
  const bool keepAlive = request.version == "HTTP/1.1"
                             ? strcasecmp(Header(request, "connection").c_str(), "close") != 0
                             : strcasecmp(Header(request, "connection").c_str(), "keep-alive") == 0;
  const std::string path = request.target.substr(0, request.target.find('?'));
  std::string head;
  Plan plan;
  std::string file;
  int fd = -1;
  std::uint64_t total = 0;
  if (request.method != "GET") {
    plan.status = 405;
    head = "Allow: GET\r\n";
  } else if ((file = Resolve(request.target)).empty() ||
             (fd = open(file.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
    plan.status = 404;
  } else {
    struct stat info {};
    fstat(fd, &info);
    total = static_cast<std::uint64_t>(info.st_size);
    // A re-upload of the same bytes: a new modification time, and with it
    // a new validator, from the second response of the file on.
    int generation = 0;
    if (g_options.changeValidator) {
      std::lock_guard<std::mutex> hold(g_lock);
      generation = g_files[path].responses > 0 ? 1 : 0;
    }
    char etag[80];
    std::snprintf(etag, sizeof etag, "\"%llx-%llx-%x\"",
                  static_cast<unsigned long long>(info.st_mtim.tv_sec),
                  static_cast<unsigned long long>(total), generation);
    const std::string modified = HttpDate(info.st_mtim.tv_sec + generation);
    plan = Decide(request, path, total, etag, modified);
    head = "ETag: " + std::string(etag) + "\r\nLast-Modified: " + modified +
           "\r\nAccept-Ranges: bytes\r\n";
    if (plan.status == 206)
      head += "Content-Range: bytes " + std::to_string(plan.first) + "-" +
              std::to_string(plan.first + plan.length - 1) + "/" + std::to_string(total) + "\r\n";
    if (plan.status == 416)
      head += "Content-Range: bytes */" + std::to_string(total) + "\r\n";
  }
  const char* reason = plan.status == 200   ? "OK"
                       : plan.status == 206 ? "Partial Content"
                       : plan.status == 404 ? "Not Found"
                       : plan.status == 405 ? "Method Not Allowed"
                       : plan.status == 416 ? "Range Not Satisfiable"
                                            : "Service Unavailable";
  const std::uint64_t length = plan.status == 200 || plan.status == 206 ? plan.length : 0;
  const std::string response = "HTTP/1.1 " + std::to_string(plan.status) + " " + reason +
                               "\r\nServer: fault_server\r\nDate: " + HttpDate(time(nullptr)) +
                               "\r\nContent-Length: " + std::to_string(length) + "\r\n" + head +
                               (keepAlive ? "" : "Connection: close\r\n") + "\r\n";
  bool open = SendAll(socket, response.data(), response.size());
  std::uint64_t sent = 0;
  if (open && length > 0)
    open = SendBody(socket, fd, path, plan, sent);
  if (fd >= 0)
    close(fd);

  std::lock_guard<std::mutex> hold(g_lock);
  ++g_requests;
  if (!plan.fault.empty())
    ++g_faultCounts[plan.fault];
  std::string printable;
  for (const char c : request.target)
    printable += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  const std::string range = Header(request, "range");
  const std::string ifRange = Header(request, "if-range");
  std::printf("%s %s range=%s%s%s -> %d sent %llu%s%s\n", request.method.c_str(), printable.c_str(),
              range.empty() ? "-" : range.c_str(),
              ifRange.empty() ? "" : " if-range=", ifRange.c_str(), plan.status,
              static_cast<unsigned long long>(sent),
              plan.fault.empty() ? "" : " fault=", plan.fault.c_str());
  std::fflush(stdout);
  if (fd >= 0)
    WriteStats();
  return open && keepAlive;
}

void ServeConnection(int socket)
{
  const int yes = 1;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  std::string pending;
  Request request;
  bool open = true;
  while (open && ReadRequest(socket, pending, request))
    open = Respond(socket, request);
  close(socket);
}

// ----------------------------------------------------------------------------
// The relay

// Forwards one connection both ways; towards the client the bytes are
// counted and, once in the run, cut at the chosen byte.
void RelayConnection(int client)
{
  static bool s_cutDone = false;
  const int upstream = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(g_options.relayTo));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(upstream, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(upstream);
    close(client);
    return;
  }
  std::uint64_t up = 0, down = 0;
  bool cut = false;
  char buffer[65536];
  for (;;) {
    pollfd watch[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
    if (poll(watch, 2, -1) < 0 && errno != EINTR)
      break;
    if (watch[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t got = recv(client, buffer, sizeof buffer, 0);
      if (got <= 0 || !SendAll(upstream, buffer, static_cast<std::size_t>(got)))
        break;
      up += static_cast<std::uint64_t>(got);
    }
    if (watch[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t got = recv(upstream, buffer, sizeof buffer, 0);
      if (got <= 0)
        break;
      {
        std::lock_guard<std::mutex> hold(g_lock);
        if (g_options.cut != 0 && !s_cutDone &&
            down + static_cast<std::uint64_t>(got) > g_options.cut) {
          s_cutDone = cut = true;
          got = static_cast<ssize_t>(g_options.cut - down);
        }
      }
      if (!SendAll(client, buffer, static_cast<std::size_t>(got)))
        break;
      down += static_cast<std::uint64_t>(got);
      std::lock_guard<std::mutex> hold(g_lock);
      g_relayed += static_cast<std::uint64_t>(got);
      WriteStats();
      if (cut)
        break;
    }
  }
  close(upstream);
  close(client);
  std::lock_guard<std::mutex> hold(g_lock);
  ++g_requests;
  if (cut)
    ++g_faultCounts["cut"];
  std::printf("relay: connection ended, %llu bytes up, %llu down%s\n",
              static_cast<unsigned long long>(up), static_cast<unsigned long long>(down),
              cut ? " fault=cut" : "");
  std::fflush(stdout);
}

// ----------------------------------------------------------------------------
// Start and stop

bool Number(const char* text, std::uint64_t& value)
{
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(text, &end, 10);
  return end != text && *end == '\0' && errno == 0 && text[0] != '-';
}

bool ParseFault(const std::string& word)
{
  const std::size_t colon = word.find(':');
  const std::string name = word.substr(0, colon);
  std::uint64_t value = 0;
  if (colon == std::string::npos) {
    if (name == "416-once")
      g_options.once416 = true;
    else if (name == "ignore-range")
      g_options.ignoreRange = true;
    else if (name == "change-validator")
      g_options.changeValidator = true;
    else
      return false;
    return true;
  }
  if (!Number(word.c_str() + colon + 1, value) || value == 0)
    return false;
  std::uint64_t* target = name == "cut"       ? &g_options.cut
                          : name == "reset"   ? &g_options.reset
                          : name == "stall"   ? &g_options.stall
                          : name == "trickle" ? &g_options.trickle
                          : name == "every"   ? &g_options.every
                          : name == "rate"    ? &g_options.rate
                                              : nullptr;
  if (target)
    *target = value;
  else if (name == "status503" && value < 1000)
    g_options.status503 = static_cast<int>(value);
  else
    return false;
  return true;
}

bool ParseArguments(int argc, char** argv)
{
  std::string positional[2];
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    std::uint64_t value = 0;
    if (word == "--stats" && i + 1 < argc) {
      g_options.stats = argv[++i];
    } else if (word == "--threshold" && i + 1 < argc && Number(argv[i + 1], value)) {
      g_options.threshold = value;
      ++i;
    } else if (word == "--relay" && i + 1 < argc && Number(argv[i + 1], value) && value > 0 &&
               value < 65536) {
      g_options.relayTo = static_cast<int>(value);
      ++i;
    } else if (!ParseFault(word)) {
      if (word.compare(0, 2, "--") == 0 || word.find(':') != std::string::npos || count == 2) {
        std::fprintf(stderr, "fault_server: %s is neither an option nor a fault\n", word.c_str());
        return false;
      }
      positional[count++] = word;
    }
  }
  std::uint64_t port = 0;
  const int wanted = g_options.relayTo != 0 ? 1 : 2;
  if (count != wanted || !Number(positional[wanted - 1].c_str(), port) || port == 0 || port > 65535)
    return false;
  g_options.port = static_cast<int>(port);
  if (wanted == 2) {
    char real[PATH_MAX];
    struct stat info {};
    if (!realpath(positional[0].c_str(), real) || stat(real, &info) != 0 ||
        !S_ISDIR(info.st_mode)) {
      std::fprintf(stderr, "fault_server: %s is not a folder\n", positional[0].c_str());
      return false;
    }
    g_options.root = real;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv)
{
  if (!ParseArguments(argc, argv)) {
    std::fputs(
        "usage: fault_server <folder> <port> [--threshold BYTES] [--stats FILE] [FAULT...]\n"
        "       fault_server --relay <upstream-port> <port> [--stats FILE] [cut:BYTES]\n"
        "faults: cut:BYTES reset:BYTES stall:BYTES trickle:BYTES every:BYTES rate:BYTES\n"
        "        status503:COUNT 416-once ignore-range change-validator\n",
        stderr);
    return 2;
  }
  // The stop signals are taken by sigwait below, never by a connection's
  // thread; a client that goes away mid-body must not end the process.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const int listener = Listen(g_options.port);
  {
    std::lock_guard<std::mutex> hold(g_lock);
    WriteStats();
    if (g_options.relayTo != 0)
      std::printf("fault_server: relaying 127.0.0.1:%d to 127.0.0.1:%d\n", g_options.port,
                  g_options.relayTo);
    else
      std::printf("fault_server: serving %s on 127.0.0.1:%d\n", g_options.root.c_str(),
                  g_options.port);
    std::fflush(stdout);
  }
  std::thread([listener] {
    for (;;) {
      const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0)
        continue;
      std::thread(g_options.relayTo != 0 ? RelayConnection : ServeConnection, connection).detach();
    }
  }).detach();

  int received = 0;
  sigwait(&stop, &received);
  std::lock_guard<std::mutex> hold(g_lock);
  std::uint64_t total = g_relayed;
  for (const auto& [path, state] : g_files)
    total += state.sent;
  std::printf("fault_server: stopped by %s after %d requests, %llu body bytes sent",
              received == SIGINT ? "SIGINT" : "SIGTERM", g_requests,
              static_cast<unsigned long long>(total));
  for (const auto& [name, count] : g_faultCounts)
    std::printf(", %s %d", name.c_str(), count);
  std::printf("\n");
  for (const auto& [path, state] : g_files)
    if (state.sent > 0)
      std::printf("  %llu %s\n", static_cast<unsigned long long>(state.sent), path.c_str());
  std::fflush(stdout);
  WriteStats();
  // Connections may be mid-transfer on their own threads: leave at once.
  _exit(0);
}
