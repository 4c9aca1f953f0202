// The emulator's TLS identity: one EC P-256 key per process and a self-signed
// certificate per address, made in memory (no files to ship or to expire).

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <ctime>
#include <map>
#include <mutex>

#include "service_emulator.h"

namespace service_emulator {
namespace {

EVP_PKEY* processKey() {
  // Key generation is the slow part; every emulator of the process shares it.
  static EVP_PKEY* const key = EVP_EC_gen("P-256");
  return key;
}

X509* selfSigned(EVP_PKEY* key, const std::string& address) {
  X509* cert = X509_new();
  if (cert == nullptr) return nullptr;
  static long serial = 1;
  bool ok = X509_set_version(cert, 2) == 1;
  ok = ok && ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++) == 1;
  ok = ok && X509_gmtime_adj(X509_getm_notBefore(cert), -60) != nullptr;
  ok = ok && X509_gmtime_adj(X509_getm_notAfter(cert), 24L * 60 * 60) != nullptr;
  X509_NAME* name = X509_get_subject_name(cert);
  ok = ok && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                        reinterpret_cast<const unsigned char*>(address.c_str()), -1,
                                        -1, 0) == 1;
  ok = ok && X509_set_issuer_name(cert, name) == 1;
  ok = ok && X509_set_pubkey(cert, key) == 1;
  ok = ok && X509_sign(cert, key, EVP_sha256()) > 0;
  if (!ok) {
    X509_free(cert);
    return nullptr;
  }
  return cert;
}

std::string toPem(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return {};
  std::string pem;
  if (PEM_write_bio_X509(bio, cert) == 1) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    if (n > 0) pem.assign(data, static_cast<size_t>(n));
  }
  BIO_free(bio);
  return pem;
}

}  // namespace

const TlsIdentity& tlsIdentity(const std::string& address) {
  static std::mutex mutex;
  // Never freed: the identities live as long as the process.
  static auto* identities = new std::map<std::string, TlsIdentity>();
  std::lock_guard lock(mutex);
  auto it = identities->find(address);
  if (it == identities->end()) {
    TlsIdentity identity;
    identity.key = processKey();
    if (identity.key != nullptr) identity.certificate = selfSigned(identity.key, address);
    if (identity.certificate != nullptr) identity.certificatePem = toPem(identity.certificate);
    it = identities->emplace(address, std::move(identity)).first;
  }
  return it->second;
}

SSL_CTX* newServerContext(const std::string& address) {
  const TlsIdentity& identity = tlsIdentity(address);
  if (identity.key == nullptr || identity.certificate == nullptr) return nullptr;
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) return nullptr;
  if (SSL_CTX_use_certificate(ctx, identity.certificate) != 1 ||
      SSL_CTX_use_PrivateKey(ctx, identity.key) != 1) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  // Writes move their buffer between retries, and each write is one record.
  SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return ctx;
}

}  // namespace service_emulator
