#include "support/TestCertificate.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace orv::test {

namespace {

void AddExtension(X509* certificate, X509V3_CTX* context, int nid, const char* value)
{
  X509_EXTENSION* extension = X509V3_EXT_nconf_nid(nullptr, context, nid, value);
  const bool added = extension && X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  if (!added)
    throw std::runtime_error("cannot add a certificate extension");
}

// Whether each half of an ECDSA signature is as long as the key. Wine checks
// a signature only when they are, and refuses the rest (about one in 128)
// as badly signed.
bool SignatureFillsTheKey(const X509* certificate, EVP_PKEY* signer)
{
  if (EVP_PKEY_get_base_id(signer) != EVP_PKEY_EC)
    return true;
  const ASN1_BIT_STRING* signature = nullptr;
  X509_get0_signature(&signature, nullptr, certificate);
  const unsigned char* bytes = signature->data;
  ECDSA_SIG* halves = d2i_ECDSA_SIG(nullptr, &bytes, signature->length);
  if (!halves)
    return false;
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(halves, &r, &s);
  const int size = (EVP_PKEY_get_bits(signer) + 7) / 8;
  const bool full = BN_num_bytes(r) == size && BN_num_bytes(s) == size;
  ECDSA_SIG_free(halves);
  return full;
}

}  // namespace

KeyPtr MakeKey()
{
  KeyPtr key(EVP_EC_gen("P-256"));
  if (!key)
    throw std::runtime_error("cannot make a test key");
  return key;
}

CertificatePtr MakeCertificate(EVP_PKEY* key, const std::string& commonName, long serial,
                               CertificateUse use, X509* issuer, EVP_PKEY* issuerKey,
                               const char* serverNames)
{
  const bool selfSigned = use != CertificateUse::Server;
  if (!selfSigned && (!issuer || !issuerKey))
    throw std::logic_error("a server certificate needs its authority");
  CertificatePtr certificate(X509_new());
  if (!certificate)
    throw std::runtime_error("out of memory");
  X509* made = certificate.get();
  X509_set_version(made, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(made), serial);
  // An hour back, so that no rounding of either clock makes it "not yet
  // valid".
  X509_gmtime_adj(X509_getm_notBefore(made), -3600);
  X509_gmtime_adj(X509_getm_notAfter(made), 30L * 24 * 3600);
  X509_set_pubkey(made, key);
  X509_NAME* name = X509_get_subject_name(made);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  X509_set_issuer_name(made, selfSigned ? name : X509_get_subject_name(issuer));

  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, selfSigned ? made : issuer, made, nullptr, nullptr, 0);
  AddExtension(made, &context, NID_subject_key_identifier, "hash");
  switch (use) {
    case CertificateUse::Authority:
      AddExtension(made, &context, NID_basic_constraints, "critical,CA:TRUE");
      AddExtension(made, &context, NID_key_usage, "critical,keyCertSign,cRLSign");
      break;
    case CertificateUse::Server:
      AddExtension(made, &context, NID_authority_key_identifier, "keyid:always");
      AddExtension(made, &context, NID_basic_constraints, "critical,CA:FALSE");
      AddExtension(made, &context, NID_key_usage, "critical,digitalSignature");
      AddExtension(made, &context, NID_ext_key_usage, "serverAuth");
      AddExtension(made, &context, NID_subject_alt_name, serverNames);
      break;
    case CertificateUse::AuthorityAndServer:
      // WinINet checks the revocation of every certificate of a chain below
      // its root, and a test authority has no revocation list to offer: a
      // certificate it signed fails with "revocation check failed", while a
      // root's revocation is never asked.
      AddExtension(made, &context, NID_basic_constraints, "critical,CA:TRUE");
      AddExtension(made, &context, NID_key_usage, "critical,digitalSignature,keyCertSign");
      AddExtension(made, &context, NID_ext_key_usage, "serverAuth");
      AddExtension(made, &context, NID_subject_alt_name, serverNames);
      break;
  }
  // ECDSA draws a new random number for every signature, so signing again
  // gives one whose halves fill the key.
  EVP_PKEY* signer = selfSigned ? key : issuerKey;
  for (int attempt = 0;; ++attempt) {
    if (X509_sign(made, signer, EVP_sha256()) == 0)
      throw std::runtime_error("cannot sign a test certificate");
    if (SignatureFillsTheKey(made, signer))
      return certificate;
    if (attempt == 100)
      throw std::runtime_error("cannot give a test certificate a full-size signature");
  }
}

std::string CertificatePem(X509* certificate)
{
  BIO* pem = BIO_new(BIO_s_mem());
  char* bytes = nullptr;
  const bool written = pem && PEM_write_bio_X509(pem, certificate) == 1;
  const long length = written ? BIO_get_mem_data(pem, &bytes) : 0;
  std::string text = length > 0 ? std::string(bytes, static_cast<std::size_t>(length)) : "";
  BIO_free(pem);
  if (text.empty())
    throw std::runtime_error("cannot write a test certificate");
  return text;
}

}  // namespace orv::test
