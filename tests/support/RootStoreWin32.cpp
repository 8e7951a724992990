#include "support/RootStoreWin32.h"

#include <wincrypt.h>

#include <cwchar>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "support/TestPlatform.h"

namespace orv::test {

namespace rootstore {

namespace {

// How long a process waits for its turn at the store: far longer than any
// turn takes, short of CTest's time-out.
constexpr DWORD kTurnMs = 60000;
// How long a process waits for another's session: the length of a few HTTPS
// tests.
constexpr DWORD kSessionMs = 300000;
// What a mark starts with: the rest is the owner's id and start time.
constexpr const wchar_t* kMarkPrefix = L"orv test authority ";

// A mutex of the machine (under wine, of the wine server), owned once
// taken; one abandoned by a process that ended is taken all the same.
HANDLE TakeMutex(const char* name, DWORD milliseconds, const char* whatOthersDo)
{
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  if (!mutex)
    throw std::runtime_error(std::string("no mutex ") + name + ": error " +
                             std::to_string(GetLastError()));
  const DWORD waited = WaitForSingleObject(mutex, milliseconds);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(mutex);
    throw std::runtime_error(std::string("another test process ") + whatOthersDo);
  }
  return mutex;
}

ULONGLONG Ticks(const FILETIME& time)
{
  return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The machine's root store, open for a change. The store writes back every
// certificate it read when it commits, so a process that opened it before
// another deleted a certificate would bring that certificate back; and a
// process that reads the store while another changes it can miss entries
// (the registry lists its keys by position). Test processes running at once
// take turns, under a mutex of the machine (under wine, of the wine server).
class Turn {
 public:
  Turn() : m_turn(TakeMutex("orv-test-root-store", kTurnMs, "keeps the root store"))
  {
    m_root = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE,
                           "ROOT");
    if (!m_root) {
      const DWORD error = GetLastError();
      Release();
      throw std::runtime_error("cannot open the root store: error " + std::to_string(error));
    }
  }
  ~Turn()
  {
    // A change reaches the registry only when committed.
    CertControlStore(m_root, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    CertCloseStore(m_root, 0);
    Release();
  }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

  HCERTSTORE store() const { return m_root; }

 private:
  void Release()
  {
    ReleaseMutex(m_turn);
    CloseHandle(m_turn);
  }

  HANDLE m_turn;
  HCERTSTORE m_root = nullptr;
};

// The stored copy of the certificate, or null; the caller frees it.
PCCERT_CONTEXT Find(HCERTSTORE store, const std::vector<BYTE>& der)
{
  PCCERT_CONTEXT wanted =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (!wanted)
    throw std::runtime_error("not a certificate");
  PCCERT_CONTEXT stored =
      CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr);
  CertFreeCertificateContext(wanted);
  return stored;
}

// The owner a stored certificate is marked with; false for one without a
// mark, which is not a test authority of these tests.
bool MarkedOwner(PCCERT_CONTEXT certificate, Owner& owner)
{
  wchar_t mark[64] = {};
  DWORD size = sizeof mark - sizeof mark[0];
  if (!CertGetCertificateContextProperty(certificate, CERT_FRIENDLY_NAME_PROP_ID, mark, &size))
    return false;
  const std::size_t prefix = std::wcslen(kMarkPrefix);
  if (std::wcsncmp(mark, kMarkPrefix, prefix) != 0)
    return false;
  wchar_t* end = nullptr;
  owner.process = static_cast<DWORD>(std::wcstoul(mark + prefix, &end, 10));
  if (*end != L' ')
    return false;
  owner.started = std::wcstoull(end + 1, &end, 10);
  return *end == L'\0';
}

// Whether the process is still running. One that cannot be looked at is
// taken to be: its authority is better left than pulled from under it.
bool Running(const Owner& owner)
{
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, owner.process);
  if (!process)
    return GetLastError() == ERROR_ACCESS_DENIED;
  FILETIME created, exited, kernel, user;
  DWORD code = 0;
  bool running = true;
  if (GetProcessTimes(process, &created, &exited, &kernel, &user) &&
      GetExitCodeProcess(process, &code))
    running = Ticks(created) == owner.started && code == STILL_ACTIVE;
  CloseHandle(process);
  return running;
}

void AddIn(const Turn& turn, const std::vector<BYTE>& der, const Owner& owner)
{
  // A copy already there goes first: under wine, replacing it in place left
  // its old mark in the registry.
  if (PCCERT_CONTEXT stored = Find(turn.store(), der))
    CertDeleteCertificateFromStore(stored);  // frees the context
  PCCERT_CONTEXT added = nullptr;
  if (!CertAddEncodedCertificateToStore(turn.store(), X509_ASN_ENCODING, der.data(),
                                        static_cast<DWORD>(der.size()), CERT_STORE_ADD_NEW,
                                        &added))
    throw std::runtime_error("cannot add to the root store: error " +
                             std::to_string(GetLastError()));
  const std::wstring mark =
      kMarkPrefix + std::to_wstring(owner.process) + L" " + std::to_wstring(owner.started);
  CRYPT_DATA_BLOB blob{static_cast<DWORD>((mark.size() + 1) * sizeof(wchar_t)),
                       reinterpret_cast<BYTE*>(const_cast<wchar_t*>(mark.c_str()))};
  const bool marked =
      CertSetCertificateContextProperty(added, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob);
  CertFreeCertificateContext(added);
  if (!marked)
    throw std::runtime_error("cannot mark a test authority");
}

int RemoveOrphansIn(const Turn& turn)
{
  // Deleting while enumerating would lose the enumeration's place.
  std::vector<PCCERT_CONTEXT> orphans;
  PCCERT_CONTEXT certificate = nullptr;
  while ((certificate = CertEnumCertificatesInStore(turn.store(), certificate)) != nullptr) {
    Owner owner;
    if (MarkedOwner(certificate, owner) && !Running(owner))
      orphans.push_back(CertDuplicateCertificateContext(certificate));
  }
  for (PCCERT_CONTEXT orphan : orphans)
    CertDeleteCertificateFromStore(orphan);
  return static_cast<int>(orphans.size());
}

// Whether a certificate is trusted as it stands, by the process's default
// chain engine, the one WinINet uses: a root of the store, and signed as it
// says.
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
    trusted = (chain->TrustStatus.dwErrorStatus &
               (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_NOT_SIGNATURE_VALID)) == 0;
    CertFreeCertificateChain(chain);
  }
  CertFreeCertificateContext(certificate);
  return trusted;
}

// The authorities this process trusts, each added once and removed when the
// process ends, so that the store of the build's wine prefix does not grow
// with every run. The process keeps the store to itself from its first
// authority to its end.
class TrustedAuthorities {
 public:
  ~TrustedAuthorities()
  {
    if (m_added.empty())
      return;
    try {
      Turn turn;
      for (const auto& [file, certificates] : m_added)
        for (const std::vector<BYTE>& der : certificates)
          if (PCCERT_CONTEXT stored = Find(turn.store(), der))
            CertDeleteCertificateFromStore(stored);  // frees the context
    } catch (const std::exception&) {
      // The next process that trusts an authority removes them.
    }
  }

  void Add(const std::string& pemFile)
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_added.count(pemFile))
      return;
    const std::vector<std::vector<BYTE>> certificates = ReadPems(pemFile);
    if (!m_session)
      m_session = std::make_unique<Session>();
    {
      Turn turn;
      RemoveOrphansIn(turn);
      for (const std::vector<BYTE>& der : certificates)
        AddIn(turn, der, ThisProcess());
      m_added.emplace(pemFile, certificates);
    }
    // WinINet checks certificates with the process's default chain engine,
    // which reads the root store when it is first used: that first use is
    // here, after the change was committed, so that the read holds the new
    // authorities. Those of a later file would not be seen.
    for (const std::vector<BYTE>& der : certificates)
      if (!ChainsToATrustedRoot(der))
        throw std::runtime_error("the root store does not trust " + pemFile + " after all");
  }

 private:
  std::mutex m_lock;
  // Released once the destructor has taken the authorities out.
  std::unique_ptr<Session> m_session;
  std::map<std::string, std::vector<std::vector<BYTE>>> m_added;
};

}  // namespace

Session::Session()
    : m_mutex(TakeMutex("orv-test-root-store-session", kSessionMs,
                        "keeps the root store to itself"))
{
}

Session::~Session()
{
  ReleaseMutex(m_mutex);
  CloseHandle(m_mutex);
}

Owner ThisProcess()
{
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
    throw std::runtime_error("cannot read this process's start time");
  return {GetCurrentProcessId(), Ticks(created)};
}

std::vector<std::vector<BYTE>> ReadPems(const std::string& pemFile)
{
  std::ifstream in(pemFile, std::ios::binary);
  const std::string pem{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  // The decoder takes the first block of a text: each block goes on its own.
  const std::string end = "-----END CERTIFICATE-----";
  std::vector<std::vector<BYTE>> certificates;
  for (std::size_t at = pem.find("-----BEGIN"); at != std::string::npos;
       at = pem.find("-----BEGIN", at + 1)) {
    const std::size_t stop = pem.find(end, at);
    if (stop == std::string::npos)
      break;
    const std::string block = pem.substr(at, stop + end.size() - at);
    DWORD size = 0;
    if (!CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
      throw std::runtime_error("a broken certificate in " + pemFile);
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()),
                              CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr))
      throw std::runtime_error("a broken certificate in " + pemFile);
    der.resize(size);
    certificates.push_back(std::move(der));
  }
  if (certificates.empty())
    throw std::runtime_error("no certificate in " + pemFile);
  return certificates;
}

std::vector<BYTE> ReadPem(const std::string& pemFile)
{
  return ReadPems(pemFile).front();
}

void Add(const std::vector<BYTE>& der, const Owner& owner)
{
  Turn turn;
  AddIn(turn, der, owner);
}

void Remove(const std::vector<BYTE>& der)
{
  Turn turn;
  if (PCCERT_CONTEXT stored = Find(turn.store(), der))
    CertDeleteCertificateFromStore(stored);
}

bool Holds(const std::vector<BYTE>& der)
{
  Turn turn;
  PCCERT_CONTEXT stored = Find(turn.store(), der);
  CertFreeCertificateContext(stored);
  return stored != nullptr;
}

int RemoveOrphans()
{
  Turn turn;
  return RemoveOrphansIn(turn);
}

}  // namespace rootstore

void TrustAuthority(const std::string& pemFile)
{
  static rootstore::TrustedAuthorities trusted;
  trusted.Add(pemFile);
}

}  // namespace orv::test
