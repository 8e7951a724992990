#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

// Certificates for the loopback HTTPS servers, made with OpenSSL when the
// tests run: the Linux servers' authority and the server certificate it
// signs, and the self-signed certificate of the TLS front that stands before
// the Windows servers (tools/tls_front compiles this file too, with the
// host's compiler, so it includes nothing of the launcher). Failures throw
// std::runtime_error.

namespace orv::test {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertificatePtr = std::unique_ptr<X509, CertificateFree>;

enum class CertificateUse {
  Authority,           // signs server certificates
  Server,              // for the server names given, signed by an authority
  AuthorityAndServer,  // a server certificate that is its own root
};

// The names the tests reach a loopback server by (the launcher reaches one
// publisher site as 127.0.0.1 and the other as localhost; wine's check of
// the name compares DNS names only, so the address stands among them too),
// and a name they never use: a certificate for that one belongs to another
// server, and a client that checks names refuses it.
inline constexpr const char* kLoopbackNames = "DNS:localhost,DNS:127.0.0.1,IP:127.0.0.1";
inline constexpr const char* kAnotherName = "DNS:elsewhere.invalid";

// A new P-256 key.
KeyPtr MakeKey();

// A certificate of key for that use, valid from an hour ago for 30 days. An
// Authority or AuthorityAndServer certificate signs itself; a Server
// certificate is signed by issuer with issuerKey. serverNames are the
// subject's alternative names of a server certificate.
CertificatePtr MakeCertificate(EVP_PKEY* key, const std::string& commonName, long serial,
                               CertificateUse use, X509* issuer = nullptr,
                               EVP_PKEY* issuerKey = nullptr,
                               const char* serverNames = kLoopbackNames);

// The certificate in PEM form.
std::string CertificatePem(X509* certificate);

}  // namespace orv::test
