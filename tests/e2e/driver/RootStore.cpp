#include "driver/RootStore.h"

#include <windows.h>
#include <wincrypt.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "driver/RemoteDialog.h"

namespace orv::e2e {

namespace {

std::string ErrorText(const char* what)
{
  return std::string(what) + ": error " + std::to_string(GetLastError());
}

bool ReadCertificate(const std::wstring& pemFile, std::vector<BYTE>& der, std::string& error)
{
  std::ifstream in(std::filesystem::path(pemFile), std::ios::binary);
  const std::string pem{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  DWORD size = 0;
  if (pem.empty() || !CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()),
                                           CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                                           nullptr)) {
    error = "no certificate in " + Utf8(pemFile);
    return false;
  }
  der.resize(size);
  if (!CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()),
                            CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
    error = "no certificate in " + Utf8(pemFile);
    return false;
  }
  der.resize(size);
  return true;
}

// The store keeps its certificates in the registry; a change reaches the
// registry (and so every later process) only when it is committed.
class RootStore {
 public:
  RootStore()
      : m_store(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE,
                              "ROOT"))
  {
  }
  ~RootStore()
  {
    if (m_store)
      CertCloseStore(m_store, 0);
  }
  RootStore(const RootStore&) = delete;
  RootStore& operator=(const RootStore&) = delete;

  HCERTSTORE get() const { return m_store; }
  bool Commit() const { return CertControlStore(m_store, 0, CERT_STORE_CTRL_COMMIT, nullptr); }

 private:
  HCERTSTORE m_store;
};

// What a TLS client of this process concludes about the certificate when a
// server presents it under that name: the default chain engine is the one
// WinINet uses, and it reads the root store on its first use, which is here.
bool PassesServerCheck(PCCERT_CONTEXT certificate, const std::wstring& name, std::string& error)
{
  CERT_CHAIN_PARA parameters{};
  parameters.cbSize = sizeof parameters;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, certificate, nullptr, nullptr, &parameters, 0, nullptr,
                               &chain)) {
    error = ErrorText("cannot build the certificate's chain");
    return false;
  }
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = const_cast<wchar_t*>(name.c_str());
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  const bool checked =
      CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status);
  const DWORD trustErrors = chain->TrustStatus.dwErrorStatus;
  CertFreeCertificateChain(chain);
  if (!checked || status.dwError != 0) {
    char detail[96];
    wsprintfA(detail, "policy error 0x%08lX, chain status 0x%08lX",
              static_cast<unsigned long>(status.dwError), static_cast<unsigned long>(trustErrors));
    error = "the certificate does not pass the server check for " + Utf8(name) + " (" + detail +
            ")";
    return false;
  }
  return true;
}

}  // namespace

bool TrustCertificate(const std::wstring& pemFile, const std::vector<std::wstring>& names,
                      std::string& error)
{
  std::vector<BYTE> der;
  if (!ReadCertificate(pemFile, der, error))
    return false;
  {
    RootStore root;
    if (!root.get()) {
      error = ErrorText("cannot open the root store");
      return false;
    }
    if (!CertAddEncodedCertificateToStore(root.get(), X509_ASN_ENCODING, der.data(),
                                          static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
      error = ErrorText("cannot add the certificate to the root store");
      return false;
    }
    if (!root.Commit()) {
      error = ErrorText("cannot commit the root store");
      return false;
    }
  }
  PCCERT_CONTEXT certificate = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                            static_cast<DWORD>(der.size()));
  if (!certificate) {
    error = ErrorText("cannot read the certificate back");
    return false;
  }
  bool passed = true;
  for (const std::wstring& name : names)
    if (!PassesServerCheck(certificate, name, error)) {
      passed = false;
      break;
    }
  CertFreeCertificateContext(certificate);
  return passed;
}

bool DistrustCertificate(const std::wstring& pemFile, std::string& error)
{
  std::vector<BYTE> der;
  if (!ReadCertificate(pemFile, der, error))
    return false;
  PCCERT_CONTEXT certificate = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                            static_cast<DWORD>(der.size()));
  if (!certificate) {
    error = ErrorText("cannot read the certificate");
    return false;
  }
  RootStore root;
  bool removed = root.get() != nullptr;
  if (!removed)
    error = ErrorText("cannot open the root store");
  if (removed) {
    if (PCCERT_CONTEXT stored = CertFindCertificateInStore(root.get(), X509_ASN_ENCODING, 0,
                                                           CERT_FIND_EXISTING, certificate,
                                                           nullptr)) {
      // Frees the context it is given, found or not.
      if (!CertDeleteCertificateFromStore(stored) || !root.Commit()) {
        error = ErrorText("cannot remove the certificate from the root store");
        removed = false;
      }
    }
  }
  CertFreeCertificateContext(certificate);
  return removed;
}

}  // namespace orv::e2e
