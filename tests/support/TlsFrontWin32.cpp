#include "support/TlsFrontWin32.h"

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include "support/PluginFolder.h"

namespace orv::test {

namespace {

// How long the front may take to start and call back, and to answer.
constexpr int kFrontStartMs = 20000;
constexpr int kFrontAnswerMs = 10000;
// An authority's PEM is a few hundred bytes; a larger one is no greeting of
// the front.
constexpr std::size_t kMaxAuthorityBytes = 16 * 1024;
// The greeting and the answers are short lines.
constexpr std::size_t kMaxLineBytes = 4096;

// The front is a Linux program beside the tests; wine starts it from its
// drive path like any other.
void StartFront(std::uint16_t controlPort, const std::string& token)
{
  const std::filesystem::path program = ExecutableFolder() / "tls_front";
  std::wstring commandLine = L"\"" + program.wstring() + L"\" " + std::to_wstring(controlPort) +
                             L" " + std::wstring(token.begin(), token.end());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process))
    throw std::runtime_error("cannot start " + program.string() + ": error " +
                             std::to_string(GetLastError()));
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

}  // namespace

TlsFront& TlsFront::Get()
{
  static TlsFront front;
  return front;
}

TlsFront::TlsFront()
{
  std::uint16_t controlPort = 0;
  const SOCKET listener = winsock::Listen(controlPort);
  try {
    // Whoever else calls at that port is not the front.
    const std::string token = std::to_string(std::random_device{}()) + "x" +
                              std::to_string(GetCurrentProcessId());
    StartFront(controlPort, token);
    if (!winsock::WaitFor(listener, false, kFrontStartMs, m_never))
      throw std::runtime_error("the TLS front did not call back (its message, if any, is above)");
    m_control = accept(listener, nullptr, nullptr);
    if (m_control == INVALID_SOCKET)
      throw std::runtime_error("cannot accept the TLS front's call");
    // A process the tests start must not hold the front alive.
    SetHandleInformation(reinterpret_cast<HANDLE>(m_control), HANDLE_FLAG_INHERIT, 0);
    ReceiveAuthority(token);
  } catch (...) {
    closesocket(listener);
    Close();
    throw;
  }
  closesocket(listener);
}

TlsFront::~TlsFront() { Close(); }

void TlsFront::Close()
{
  if (m_control != INVALID_SOCKET)
    closesocket(m_control);
  m_control = INVALID_SOCKET;
  if (!m_authorityFile.empty())
    DeleteFileA(m_authorityFile.c_str());
}

std::uint16_t TlsFront::Forward(std::uint16_t target, bool misnamed)
{
  const std::string answer =
      Ask((misnamed ? "forward-misnamed " : "forward ") + std::to_string(target));
  const unsigned long port = std::strtoul(answer.c_str(), nullptr, 10);
  if (port == 0 || port > 65535 || answer.find_first_not_of("0123456789") != std::string::npos)
    throw std::runtime_error("the TLS front cannot listen: " + answer);
  return static_cast<std::uint16_t>(port);
}

void TlsFront::Stop(std::uint16_t port)
{
  const std::string answer = Ask("stop " + std::to_string(port));
  if (answer != "stopped")
    throw std::runtime_error("the TLS front did not stop port " + std::to_string(port) + ": " +
                             answer);
}

// "<token> <length>\n" and the authority's PEM, kept in a file of its own.
void TlsFront::ReceiveAuthority(const std::string& token)
{
  const std::string greeting = ReadLine();
  const std::size_t space = greeting.find(' ');
  const unsigned long length =
      space == std::string::npos ? 0 : std::strtoul(greeting.c_str() + space + 1, nullptr, 10);
  if (greeting.substr(0, space) != token || length == 0 || length > kMaxAuthorityBytes)
    throw std::runtime_error("the TLS front's call is not the front's: " + greeting);
  while (m_received.size() < length)
    Receive();
  const std::string pem = m_received.substr(0, length);
  m_received.erase(0, length);

  char folder[MAX_PATH];
  char file[MAX_PATH];
  const DWORD size = GetTempPathA(sizeof folder, folder);
  if (size == 0 || size >= sizeof folder || !GetTempFileNameA(folder, "orv", 0, file))
    throw std::runtime_error("cannot make a file for the test authority");
  m_authorityFile = file;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out.write(pem.data(), static_cast<std::streamsize>(pem.size())) || !out.flush())
    throw std::runtime_error("cannot write the test authority to " + m_authorityFile);
}

void TlsFront::Receive()
{
  char block[4096];
  if (!winsock::WaitFor(m_control, false, kFrontAnswerMs, m_never))
    throw std::runtime_error("the TLS front does not answer");
  const int got = recv(m_control, block, sizeof block, 0);
  if (got <= 0)
    throw std::runtime_error("the TLS front has gone");
  m_received.append(block, static_cast<std::size_t>(got));
}

std::string TlsFront::ReadLine()
{
  std::size_t end;
  while ((end = m_received.find('\n')) == std::string::npos) {
    if (m_received.size() > kMaxLineBytes)
      throw std::runtime_error("the TLS front sends no lines");
    Receive();
  }
  std::string line = m_received.substr(0, end);
  m_received.erase(0, end + 1);
  return line;
}

std::string TlsFront::Ask(const std::string& command)
{
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_control == INVALID_SOCKET)
    throw std::runtime_error("the TLS front has gone");
  try {
    const std::string line = command + "\n";
    if (!winsock::SendAll(m_control, line.data(), line.size(), m_never))
      throw std::runtime_error("the TLS front has gone");
    return ReadLine();
  } catch (...) {
    // A late answer would be taken for the next question's: a front that
    // failed to answer is given up, and without its control connection it
    // ends.
    closesocket(m_control);
    m_control = INVALID_SOCKET;
    throw;
  }
}

}  // namespace orv::test
