#pragma once

#include <winsock2.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "support/SocketServerWin32.h"

namespace orv::test {

// The TLS front of this process (tools/tls_front), started with its first
// HTTPS server: it calls back on a control connection, hands over the
// authority it made, and opens and closes a TLS listener for each server.
// Wine can neither wait for nor end a Linux program it started, so the front
// ends by itself when the control connection closes: when this process
// exits at the latest, however it ends.
class TlsFront {
 public:
  // The front, started by the first call; a front that cannot start throws,
  // and the next call tries again.
  static TlsFront& Get();

  // A PEM file of the front's two certificates, each its own authority: the
  // one for the loopback names and the one for another name.
  const std::string& authorityFile() const { return m_authorityFile; }
  // A TLS listener in front of 127.0.0.1:target, with the certificate for
  // the loopback names or the other one; answers its port.
  std::uint16_t Forward(std::uint16_t target, bool misnamed = false);
  // Closes that listener and cuts its connections.
  void Stop(std::uint16_t port);

 private:
  TlsFront();
  ~TlsFront();
  TlsFront(const TlsFront&) = delete;
  TlsFront& operator=(const TlsFront&) = delete;

  void Close();
  void ReceiveAuthority(const std::string& token);
  void Receive();
  std::string ReadLine();
  std::string Ask(const std::string& command);

  winsock::WinsockUser m_winsock;
  const std::atomic<bool> m_never{false};
  std::mutex m_lock;
  SOCKET m_control = INVALID_SOCKET;
  std::string m_received;
  std::string m_authorityFile;
};

}  // namespace orv::test
