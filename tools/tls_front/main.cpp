// A TLS front for the loopback servers of the Windows tests under wine: the
// tests serve plain HTTP on Winsock, and this native program puts TLS in
// front of them with OpenSSL, so that WinINet talks HTTPS to them.
//
//   tls_front <control port> <token>
//
// It makes a self-signed certificate for "localhost" and 127.0.0.1, the test
// authority, and one for another name, connects to 127.0.0.1:<control port>
// (the test process listens there) and sends "<token> <length>\n" followed
// by both certificates' PEM, for the test process to trust. Then the test
// process sends one command a line:
//   "forward <port>" a new listener on 127.0.0.1 whose TLS connections are
//                    relayed to 127.0.0.1:<port>; answers "<listener port>"
//   "forward-misnamed <port>"  the same with the certificate for another name
//   "stop <port>"    closes that listener and cuts its connections;
//                    answers "stopped"
// or "error" for anything else. The front ends when the control connection
// ends: wine gives a Windows program no way to wait for or kill a Linux
// process it started, but its sockets close when it exits.
//
// Each relayed connection carries the bytes both ways and passes each end on:
// a server that closes or cuts its connection closes the TLS connection too
// (after what the server sent), and a client that goes away closes the
// connection to the server.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/TestCertificate.h"

namespace {

// A client that has not finished its handshake by then is dropped.
constexpr std::int64_t kHandshakeMs = 10000;
// Once the server's side has ended, the client has this long to close.
constexpr std::int64_t kLingerMs = 5000;
// Connections relayed at once; more wait in the listeners' backlogs.
constexpr std::size_t kMaxLinks = 256;
// What is read from one side before it is written to the other.
constexpr std::size_t kBlock = 16 * 1024;
// Longer control lines than this are no command of the test process.
constexpr std::size_t kMaxCommand = 64;

[[noreturn]] void Fail(const char* what)
{
  std::fprintf(stderr, "tls_front: %s\n", what);
  ERR_print_errors_fp(stderr);
  std::exit(1);
}

std::int64_t NowMs()
{
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A port number written in decimal, nothing else; 0 when it is none.
std::uint16_t ParsePort(const std::string& text)
{
  if (text.empty() || text.size() > 5)
    return 0;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return 0;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  return value <= 65535 ? static_cast<std::uint16_t>(value) : 0;
}

sockaddr_in Loopback(std::uint16_t port)
{
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

void SetNonBlocking(int fd)
{
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// A connected socket to 127.0.0.1:port (blocking), or -1.
int ConnectTo(std::uint16_t port)
{
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    // Requests leave in one piece; the peer should not wait for more.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
  }
  if (fd >= 0)
    close(fd);
  return -1;
}

// --- The server's certificate ---

// A TLS context for servers of those names, and the PEM of its certificate
// for the test process to trust. One self-signed certificate is the
// server's and its own authority.
SSL_CTX* MakeContext(const char* serverNames, std::string& authorityPem)
{
  // Test processes that run at once share one store of trusted authorities:
  // each one's certificate has a name and serial of its own.
  std::uint32_t serial = 0;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) != 1)
    Fail("no random numbers");
  serial = (serial >> 1) | 1;
  const orv::test::KeyPtr key = orv::test::MakeKey();
  const orv::test::CertificatePtr certificate = orv::test::MakeCertificate(
      key.get(), "Orv loopback test server " + std::to_string(serial), serial,
      orv::test::CertificateUse::AuthorityAndServer, nullptr, nullptr, serverNames);
  authorityPem = orv::test::CertificatePem(certificate.get());

  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (!context || SSL_CTX_use_certificate(context, certificate.get()) != 1 ||
      SSL_CTX_use_PrivateKey(context, key.get()) != 1 ||
      SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1)
    Fail("cannot set up TLS");
  // A client that drops the TCP connection without a TLS goodbye has ended
  // its side all the same; WinINet does so.
  SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return context;
}

// --- Relayed connections ---

struct Forward {
  SSL_CTX* context = nullptr;
  int listener = -1;
  std::uint16_t port = 0;    // where TLS clients connect
  std::uint16_t target = 0;  // the plain server behind it
};

// One client's TLS connection and the plain connection to the server.
class Link {
 public:
  Link(int client, const Forward& forward)
      : m_port(forward.port), m_target(forward.target), m_client(client),
        m_deadline(NowMs() + kHandshakeMs)
  {
    m_ssl = SSL_new(forward.context);
    if (!m_ssl || SSL_set_fd(m_ssl, client) != 1)
      Fail("out of memory");
  }
  ~Link()
  {
    SSL_free(m_ssl);
    close(m_client);
    if (m_server >= 0)
      close(m_server);
  }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  std::uint16_t port() const { return m_port; }

  // Moves whatever can move without waiting; false once the link is over
  // and may be closed.
  bool Pump()
  {
    m_tlsWants = 0;
    if (m_server < 0 && !Handshake())
      return false;
    if (m_server < 0)
      return NowMs() < m_deadline;
    if (!ClientToServer() || !ServerToClient())
      return false;
    // Over when both ways have ended, or when the server's has and the
    // client keeps its side open too long.
    return !m_goodbyeSent || (!m_serverShut && NowMs() < m_deadline);
  }

  // What to wait for on each socket; a socket waited on for nothing is left
  // out of poll, so that a peer's hang-up does not wake it again and again.
  pollfd ClientPoll() const { return Wanted(m_client, m_tlsWants); }
  pollfd ServerPoll() const
  {
    short events = m_toServer.empty() ? 0 : POLLOUT;
    if (!m_serverEnded && m_toClient.empty())
      events |= POLLIN;
    return Wanted(m_server, events);
  }

 private:
  static pollfd Wanted(int fd, short events) { return {events ? fd : -1, events, 0}; }

  // Notes what an SSL call that did not complete waits for; false for a
  // failure.
  bool Waits(int result)
  {
    switch (SSL_get_error(m_ssl, result)) {
      case SSL_ERROR_WANT_READ:
        m_tlsWants |= POLLIN;
        return true;
      case SSL_ERROR_WANT_WRITE:
        m_tlsWants |= POLLOUT;
        return true;
      default:
        ERR_clear_error();
        return false;
    }
  }

  // The server is reached only once the client has proved to speak TLS:
  // a refused handshake never shows at the server.
  bool Handshake()
  {
    const int result = SSL_accept(m_ssl);
    if (result != 1)
      return Waits(result);
    m_server = ConnectTo(m_target);
    if (m_server < 0)
      return false;
    SetNonBlocking(m_server);
    return true;
  }

  bool ClientToServer()
  {
    for (;;) {
      if (!m_toServer.empty()) {
        const ssize_t sent = send(m_server, m_toServer.data(), m_toServer.size(), MSG_NOSIGNAL);
        if (sent > 0) {
          m_toServer.erase(0, static_cast<std::size_t>(sent));
          continue;
        }
        return sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
      }
      if (m_clientEnded) {
        if (!m_serverShut)
          shutdown(m_server, SHUT_WR);
        m_serverShut = true;
        return true;
      }
      char block[kBlock];
      const int got = SSL_read(m_ssl, block, sizeof block);
      if (got > 0) {
        m_toServer.assign(block, static_cast<std::size_t>(got));
        continue;
      }
      if (SSL_get_error(m_ssl, got) == SSL_ERROR_ZERO_RETURN) {
        m_clientEnded = true;
        continue;
      }
      return Waits(got);
    }
  }

  bool ServerToClient()
  {
    for (;;) {
      if (!m_toClient.empty()) {
        const int sent = SSL_write(m_ssl, m_toClient.data(), static_cast<int>(m_toClient.size()));
        if (sent > 0) {
          m_toClient.erase(0, static_cast<std::size_t>(sent));
          continue;
        }
        return Waits(sent);
      }
      if (m_serverEnded)
        return SayGoodbye();
      char block[kBlock];
      const ssize_t got = recv(m_server, block, sizeof block, 0);
      if (got > 0) {
        m_toClient.assign(block, static_cast<std::size_t>(got));
        continue;
      }
      if (got == 0) {
        m_serverEnded = true;
        continue;
      }
      // A server that reset its connection has cut it: so is the client's.
      return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
  }

  // All the server sent is out: the client learns of the end with a TLS
  // close_notify and a TCP end, and may still send until it closes too.
  bool SayGoodbye()
  {
    if (m_goodbyeSent)
      return true;
    const int result = SSL_shutdown(m_ssl);
    if (result < 0)
      return Waits(result);
    shutdown(m_client, SHUT_WR);
    m_goodbyeSent = true;
    m_deadline = NowMs() + kLingerMs;
    return true;
  }

  const std::uint16_t m_port;
  const std::uint16_t m_target;
  const int m_client;
  int m_server = -1;
  SSL* m_ssl = nullptr;
  // The handshake's end, later the end of the wait for the client to close.
  std::int64_t m_deadline;
  std::string m_toServer, m_toClient;
  bool m_clientEnded = false, m_serverEnded = false;
  bool m_serverShut = false, m_goodbyeSent = false;
  short m_tlsWants = 0;
};

class Front {
 public:
  Front(SSL_CTX* context, SSL_CTX* misnamed, int control)
      : m_context(context), m_misnamed(misnamed), m_control(control)
  {
  }
  ~Front()
  {
    m_links.clear();
    for (const Forward& forward : m_forwards)
      close(forward.listener);
  }
  Front(const Front&) = delete;
  Front& operator=(const Front&) = delete;

  // Until the control connection ends.
  void Run()
  {
    for (;;) {
      std::vector<pollfd> fds{{m_control, POLLIN, 0}};
      for (const Forward& forward : m_forwards)
        fds.push_back({m_links.size() < kMaxLinks ? forward.listener : -1, POLLIN, 0});
      for (const auto& link : m_links) {
        fds.push_back(link->ClientPoll());
        fds.push_back(link->ServerPoll());
      }
      // A second at most: handshakes and goodbyes have deadlines.
      if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR)
        Fail("poll failed");
      for (std::size_t at = 0; at < m_forwards.size(); ++at)
        if (fds[1 + at].revents & POLLIN)
          Accept(m_forwards[at]);
      PumpLinks();
      // Last: a command changes the listeners that fds stands for.
      if (fds[0].revents && !ReadCommands())
        return;
    }
  }

 private:
  // False when the control connection has ended.
  bool ReadCommands()
  {
    char block[256];
    const ssize_t got = recv(m_control, block, sizeof block, 0);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
      return false;
    if (got > 0)
      m_commands.append(block, static_cast<std::size_t>(got));
    std::size_t end;
    while ((end = m_commands.find('\n')) != std::string::npos) {
      const std::string answer = Execute(m_commands.substr(0, end)) + "\n";
      m_commands.erase(0, end + 1);
      if (send(m_control, answer.data(), answer.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(answer.size()))
        return false;
    }
    // The test process sends short lines only; anything else is not it.
    return m_commands.size() <= kMaxCommand;
  }

  std::string Execute(const std::string& command)
  {
    const std::size_t space = command.find(' ');
    const std::string verb = command.substr(0, space);
    const std::uint16_t port =
        space == std::string::npos ? 0 : ParsePort(command.substr(space + 1));
    if (port == 0)
      return "error";
    if (verb == "forward")
      return Open(m_context, port);
    if (verb == "forward-misnamed")
      return Open(m_misnamed, port);
    if (verb == "stop" && Stop(port))
      return "stopped";
    return "error";
  }

  std::string Open(SSL_CTX* context, std::uint16_t target)
  {
    Forward forward;
    forward.context = context;
    forward.target = target;
    forward.listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address = Loopback(0);
    socklen_t size = sizeof address;
    if (forward.listener < 0 ||
        bind(forward.listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(forward.listener, SOMAXCONN) != 0 ||
        getsockname(forward.listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      if (forward.listener >= 0)
        close(forward.listener);
      return "error";
    }
    forward.port = ntohs(address.sin_port);
    m_forwards.push_back(forward);
    return std::to_string(forward.port);
  }

  bool Stop(std::uint16_t port)
  {
    for (auto it = m_forwards.begin(); it != m_forwards.end(); ++it) {
      if (it->port != port)
        continue;
      close(it->listener);
      m_forwards.erase(it);
      std::erase_if(m_links, [port](const auto& link) { return link->port() == port; });
      return true;
    }
    return false;
  }

  void Accept(const Forward& forward)
  {
    while (m_links.size() < kMaxLinks) {
      const int client = accept4(forward.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (client < 0)
        return;
      const int on = 1;
      setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      m_links.push_back(std::make_unique<Link>(client, forward));
    }
  }

  void PumpLinks()
  {
    std::erase_if(m_links, [](const auto& link) { return !link->Pump(); });
  }

  SSL_CTX* const m_context;
  SSL_CTX* const m_misnamed;
  const int m_control;
  std::string m_commands;
  std::vector<Forward> m_forwards;
  std::vector<std::unique_ptr<Link>> m_links;
};

}  // namespace

int main(int argc, char** argv)
{
  if (argc != 3 || ParsePort(argv[1]) == 0 || std::strlen(argv[2]) > kMaxCommand) {
    std::fprintf(stderr, "usage: tls_front <control port> <token>\n");
    return 2;
  }
  // A peer that goes away while we write to it is an ordinary end.
  signal(SIGPIPE, SIG_IGN);

  std::string authorityPem;
  std::string misnamedPem;
  SSL_CTX* context = nullptr;
  SSL_CTX* misnamed = nullptr;
  try {
    context = MakeContext(orv::test::kLoopbackNames, authorityPem);
    misnamed = MakeContext(orv::test::kAnotherName, misnamedPem);
  } catch (const std::exception& error) {
    Fail(error.what());
  }
  // Both are trusted: a client refuses the second for its name alone.
  authorityPem += misnamedPem;
  const int control = ConnectTo(ParsePort(argv[1]));
  if (control < 0)
    Fail("cannot reach the test process");
  const std::string hello =
      std::string(argv[2]) + " " + std::to_string(authorityPem.size()) + "\n" + authorityPem;
  if (send(control, hello.data(), hello.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hello.size()))
    Fail("cannot greet the test process");
  SetNonBlocking(control);

  Front(context, misnamed, control).Run();
  SSL_CTX_free(misnamed);
  SSL_CTX_free(context);
  return 0;
}
