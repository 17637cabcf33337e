#include "tls/tls_identity.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace parlivo {
namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;

constexpr long kCertificateDays = 3650;

SSL_CTX* NewContext(const SSL_METHOD* method) {
  SSL_CTX* context = SSL_CTX_new(method);
  if (context == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  // Writes hand over what the socket takes and are retried with the queue's
  // front wherever it now lives; idle connections give their buffers back.
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                                SSL_MODE_RELEASE_BUFFERS);
  // Renegotiation lets one client make the server repeat its most costly
  // work at will; nothing here needs it.
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
  // AES-128 first: as safe for chat and a third cheaper to relay than
  // AES-256; ChaCha20 for machines without AES instructions.
  SSL_CTX_set_ciphersuites(context, "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384");
  SSL_CTX_set_cipher_list(context,
                          "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:"
                          "ECDHE-RSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384");
  return context;
}

bool Fail(std::string& error, const std::string& what) {
  const std::string detail = TakeTlsErrorText();
  error = detail.empty() ? what : what + ": " + detail;
  return false;
}

KeyPtr NewKey() { return KeyPtr(EVP_EC_gen("P-256")); }

CertPtr SelfSign(EVP_PKEY* key) {
  CertPtr certificate(X509_new());
  if (!certificate) return nullptr;
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) return nullptr;
  serial[0] &= 0x7f;  // a positive serial number
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  const bool ok = number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get())) != nullptr;
  BN_free(number);
  if (!ok || X509_set_version(certificate.get(), 2) != 1) return nullptr;
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -60 * 60);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kCertificateDays * 24 * 60 * 60);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  char host[256] = "Parlivo Server";
  ::gethostname(host, sizeof host - 1);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(host), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Parlivo Server"), -1,
                             -1, 0);
  X509_set_issuer_name(certificate.get(), name);
  if (X509_set_pubkey(certificate.get(), key) != 1 || X509_sign(certificate.get(), key, EVP_sha256()) <= 0)
    return nullptr;
  return certificate;
}

// Writes `write`'s PEM output to `path` through a new file with `mode`
// under a temporary name beside it, synced, then renamed over `path`. The
// temporary file is made by mkostemp: a fresh name nobody could foresee,
// created exclusively, so nothing planted in the folder (a link under the
// old fixed name "path.new" to a file of the user's) is opened, followed or
// written through. Its first mode is 0600, so the key is never readable by
// others, not even for a moment.
template <typename Write>
bool WritePem(const std::string& path, mode_t mode, Write&& write) {
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  std::FILE* file = ::fchmod(fd, mode) == 0 ? ::fdopen(fd, "w") : nullptr;
  if (file == nullptr) {
    ::close(fd);
    std::remove(temporary.c_str());
    return false;
  }
  const bool written = write(file) && std::fflush(file) == 0 && ::fsync(fd) == 0;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace

std::string TakeTlsErrorText() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return {};
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  // "error:0A00010B:SSL routines::wrong version number": the reason is what
  // a person can read.
  std::string full(text);
  const auto colon = full.rfind(':');
  return colon == std::string::npos ? full : full.substr(colon + 1);
}

std::string CertificateFingerprint(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (certificate == nullptr || X509_digest(certificate, EVP_sha256(), digest, &length) != 1) return {};
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(length * 3);
  for (unsigned int i = 0; i < length; ++i) {
    if (i != 0) text += ':';
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

TlsContext::~TlsContext() { SSL_CTX_free(context_); }

std::shared_ptr<TlsContext> TlsContext::LoadServer(const std::string& certificateFile, const std::string& keyFile,
                                                   std::string& error) {
  ERR_clear_error();
  SSL_CTX* raw = NewContext(TLS_server_method());
  if (raw == nullptr) {
    Fail(error, "cannot make a TLS context");
    return nullptr;
  }
  std::shared_ptr<TlsContext> context(new TlsContext(raw));
  // The server's order of ciphers wins (AES-128 first, see NewContext).
  SSL_CTX_set_options(raw, SSL_OP_CIPHER_SERVER_PREFERENCE);
  // No client resumes sessions: tickets would only cost every handshake.
  SSL_CTX_set_num_tickets(raw, 0);
  SSL_CTX_set_session_cache_mode(raw, SSL_SESS_CACHE_OFF);
  if (SSL_CTX_use_certificate_chain_file(raw, certificateFile.c_str()) != 1) {
    Fail(error, "cannot load the certificate " + certificateFile);
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(raw, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    if (ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH) {
      ERR_clear_error();
      error = "the key " + keyFile + " does not belong to the certificate " + certificateFile;
      return nullptr;
    }
    Fail(error, "cannot load the key " + keyFile);
    return nullptr;
  }
  if (SSL_CTX_check_private_key(raw) != 1) {
    Fail(error, "the key " + keyFile + " does not belong to the certificate " + certificateFile);
    return nullptr;
  }
  context->fingerprint_ = CertificateFingerprint(SSL_CTX_get0_certificate(raw));
  return context;
}

std::shared_ptr<TlsContext> TlsContext::LoadOrCreateServer(const std::string& certificateFile,
                                                           const std::string& keyFile, bool& created,
                                                           std::string& error) {
  created = false;
  // Only a pair that is wholly missing is made: one file without the other
  // is the operator's to sort out, not something to overwrite.
  if (!Exists(certificateFile) && !Exists(keyFile)) {
    ERR_clear_error();
    const KeyPtr key = NewKey();
    const CertPtr certificate = key ? SelfSign(key.get()) : nullptr;
    if (!certificate) {
      Fail(error, "cannot make a key and certificate");
      return nullptr;
    }
    // The key first: a certificate must never stand without its key.
    const bool keyWritten = WritePem(keyFile, 0600, [&](std::FILE* file) {
      return PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    });
    const bool certificateWritten = keyWritten && WritePem(certificateFile, 0644, [&](std::FILE* file) {
      return PEM_write_X509(file, certificate.get()) == 1;
    });
    if (!certificateWritten) {
      if (keyWritten) std::remove(keyFile.c_str());
      error = "cannot write the key and certificate to " + keyFile + " and " + certificateFile;
      return nullptr;
    }
    created = true;
  }
  return LoadServer(certificateFile, keyFile, error);
}

std::shared_ptr<TlsContext> TlsContext::Client(std::string& error) {
  ERR_clear_error();
  SSL_CTX* raw = NewContext(TLS_client_method());
  if (raw == nullptr) {
    Fail(error, "cannot make a TLS context");
    return nullptr;
  }
  // The certificate is checked by its pinned fingerprint, not by an authority.
  SSL_CTX_set_verify(raw, SSL_VERIFY_NONE, nullptr);
  // One receive takes every record that has come (a relay pass sends one
  // record per client, but many may wait); TlsStream::buffered() tells a
  // reader what is left inside.
  SSL_CTX_set_read_ahead(raw, 1);
  return std::shared_ptr<TlsContext>(new TlsContext(raw));
}

}  // namespace parlivo
