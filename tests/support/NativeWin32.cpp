// The Windows side of the test support's platform helpers. Paths are taken
// from std::filesystem in UTF-16 and handed to the launcher in the ANSI code
// page, the way its file functions read them.
#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/PluginFolder.h"
#include "support/StubGame.h"
#include "support/TestPlatform.h"

namespace orv::test {

std::filesystem::path ExecutableFolder()
{
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0)
      throw std::runtime_error("cannot find the test program");
    // A full buffer may hold a cut path.
    if (length < path.size())
      return std::filesystem::path(std::wstring(path.data(), length)).parent_path();
    path.resize(path.size() * 2);
  }
}

std::string ProgramFileName(const std::string& name)
{
  return name + ".exe";
}

bool LibraryLoadedAt(const std::filesystem::path& library)
{
  // Takes no reference: nothing to release.
  return GetModuleHandleW(library.c_str()) != nullptr;
}

std::string LauncherPath(const std::filesystem::path& native)
{
  const std::wstring wide = native.wstring();
  if (wide.empty())
    return {};
  BOOL lossy = FALSE;
  const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(),
                                       static_cast<int>(wide.size()), nullptr, 0, nullptr, &lossy);
  std::string path(static_cast<std::size_t>(size), '\0');
  if (size <= 0 ||
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                          path.data(), size, nullptr, &lossy) != size ||
      lossy)
    throw std::runtime_error("a test path without a form in the ANSI code page");
  return path;
}

std::string ProgramSidePath(const std::filesystem::path& native)
{
  return LauncherPath(native);
}

void PauseMilliseconds(int milliseconds)
{
  Sleep(static_cast<DWORD>(milliseconds));
}

std::string NativeLibraryName(const std::string& windowsName)
{
  return windowsName;
}

bool LocaleFollowsEnvironment(std::string& whyNot)
{
  whyNot =
      "the Windows user locale is fixed when the process starts (under wine, from its LC_ALL); "
      "changing the environment afterwards does not change it";
  return false;
}

// A file held open without sharing: it is listed in its folder, and every
// other open fails with a sharing violation, whoever asks, until the handle
// is closed.
std::shared_ptr<void> MakeUnopenableFile(const std::filesystem::path& path, std::string& whyNot)
{
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    whyNot = "cannot create " + path.string() + ": error " + std::to_string(GetLastError());
    return nullptr;
  }
  return std::shared_ptr<void>(file, [](HANDLE handle) { CloseHandle(handle); });
}

// ShellExecute has no seam: "iexplore.exe" is whatever the system finds
// under that name. Under wine that is always its own browser in system32,
// found before a copy in the program's or the current folder; started from a
// test it stays running and holds CTest's output pipe open until CTest gives
// up on the test.
constexpr const char* kNoOpenerSeam =
    "ShellExecute finds the system's own iexplore.exe before any stand-in a test can place, "
    "and that browser would outlive the test";

bool InstallPageOpener(TestPlatform&, std::string& whyNot)
{
  whyNot = kNoOpenerSeam;
  return false;
}

bool BreakPageOpener(TestPlatform&, std::string& whyNot)
{
  whyNot = kNoOpenerSeam;
  return false;
}

namespace {

// The machine's root store, open for a change. The store writes back every
// certificate it read when it commits, so a process that opened it before
// another deleted a certificate would bring that certificate back; and a
// process that reads the store while another changes it can miss entries
// (the registry lists its keys by position). Test processes running at once
// take turns, under a mutex of the machine (under wine, of the wine server).
class RootStoreTurn {
 public:
  RootStoreTurn() : m_turn(CreateMutexA(nullptr, FALSE, "orv-test-root-store"))
  {
    // An abandoned turn is ours all the same: its holder ended.
    if (m_turn)
      WaitForSingleObject(m_turn, INFINITE);
    m_root = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE,
                           "ROOT");
  }
  ~RootStoreTurn()
  {
    Commit();
    if (m_turn) {
      ReleaseMutex(m_turn);
      CloseHandle(m_turn);
    }
  }
  RootStoreTurn(const RootStoreTurn&) = delete;
  RootStoreTurn& operator=(const RootStoreTurn&) = delete;

  HCERTSTORE store() const { return m_root; }

  // The store keeps its certificates in the registry; a change reaches the
  // registry only when committed.
  void Commit()
  {
    if (!m_root)
      return;
    CertControlStore(m_root, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    CertCloseStore(m_root, 0);
    m_root = nullptr;
  }

 private:
  HANDLE m_turn;
  HCERTSTORE m_root = nullptr;
};

// Whether a certificate is trusted as it stands, by the process's default
// chain engine, the one WinINet uses.
bool ChainsToATrustedRoot(const std::vector<BYTE>& der)
{
  PCCERT_CONTEXT certificate =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (!certificate)
    return false;
  CERT_CHAIN_PARA parameters{};
  parameters.cbSize = sizeof parameters;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  bool trusted = false;
  if (CertGetCertificateChain(nullptr, certificate, nullptr, nullptr, &parameters, 0, nullptr,
                              &chain)) {
    trusted = (chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_UNTRUSTED_ROOT) == 0;
    CertFreeCertificateChain(chain);
  }
  CertFreeCertificateContext(certificate);
  return trusted;
}

// The authorities this process added to the machine's root store. Each test
// process has an authority of its own; it leaves the store at exit, so the
// store of the build's wine prefix does not grow with every run.
class TrustedAuthorities {
 public:
  ~TrustedAuthorities()
  {
    if (m_added.empty())
      return;
    RootStoreTurn turn;
    HCERTSTORE root = turn.store();
    if (!root)
      return;
    for (const auto& [file, der] : m_added) {
      PCCERT_CONTEXT added = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                          static_cast<DWORD>(der.size()));
      if (!added)
        continue;
      if (PCCERT_CONTEXT stored = CertFindCertificateInStore(root, X509_ASN_ENCODING, 0,
                                                             CERT_FIND_EXISTING, added, nullptr))
        CertDeleteCertificateFromStore(stored);  // frees the context
      CertFreeCertificateContext(added);
    }
  }

  void Add(const std::string& pemFile)
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_added.count(pemFile))
      return;
    const std::vector<BYTE> der = ReadCertificate(pemFile);
    RootStoreTurn turn;
    if (!turn.store())
      throw std::runtime_error("cannot open the root store: error " +
                               std::to_string(GetLastError()));
    if (!CertAddEncodedCertificateToStore(turn.store(), X509_ASN_ENCODING, der.data(),
                                          static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
      throw std::runtime_error("cannot trust " + pemFile + ": error " +
                               std::to_string(GetLastError()));
    turn.Commit();
    m_added.emplace(pemFile, der);
    // WinINet checks certificates with the process's default chain engine,
    // which reads the root store when it is first used: that first use is
    // here, in this process's turn, so that the read is whole and holds the
    // new authority.
    if (!ChainsToATrustedRoot(der))
      throw std::runtime_error("the root store does not trust " + pemFile + " after all");
  }

 private:
  static std::vector<BYTE> ReadCertificate(const std::string& pemFile)
  {
    std::ifstream in(pemFile, std::ios::binary);
    const std::string pem{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    DWORD size = 0;
    if (pem.empty() ||
        !CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
      throw std::runtime_error("no certificate in " + pemFile);
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()),
                              CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr))
      throw std::runtime_error("no certificate in " + pemFile);
    der.resize(size);
    return der;
  }

  std::mutex m_lock;
  std::map<std::string, std::vector<BYTE>> m_added;
};

}  // namespace

void TrustAuthority(const std::string& pemFile)
{
  static TrustedAuthorities trusted;
  trusted.Add(pemFile);
}

}  // namespace orv::test
