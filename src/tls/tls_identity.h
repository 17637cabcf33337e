#pragma once
// The server's TLS identity: its certificate and key, loaded from files the
// operator names or created once and kept beside the settings, and the
// OpenSSL contexts both ends of a connection use.
//
// Clients do not check the certificate against any authority: a server on a
// LAN has no name an authority could vouch for. They pin its SHA-256
// fingerprint instead, the first time they meet it (as SSH does with host
// keys), so the fingerprint is what the operator hands to users.
//
// Only TLS 1.2 and 1.3 are spoken. Nothing here throws: failures come back
// as a plain-words error.

#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct x509_st X509;

namespace parlivo {

// "AB:CD:..." (upper-case hex, colon-separated, 32 bytes) of the DER form.
std::string CertificateFingerprint(X509* certificate);

class TlsContext {
 public:
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // A server context with the certificate chain and key of two PEM files.
  // Null, with `error` set, when either does not load or they do not match.
  static std::shared_ptr<TlsContext> LoadServer(const std::string& certificateFile, const std::string& keyFile,
                                                std::string& error);
  // A server context with the key and self-signed certificate kept at
  // `certificateFile` and `keyFile`; both are made first when neither
  // exists (the key readable by its owner only). `created` tells whether
  // they were made now.
  static std::shared_ptr<TlsContext> LoadOrCreateServer(const std::string& certificateFile,
                                                        const std::string& keyFile, bool& created,
                                                        std::string& error);
  // A client context: no authority check (the caller pins the fingerprint).
  static std::shared_ptr<TlsContext> Client(std::string& error);

  SSL_CTX* get() const { return context_; }
  // The fingerprint of the server's certificate; empty for a client context.
  const std::string& fingerprint() const { return fingerprint_; }

 private:
  explicit TlsContext(SSL_CTX* context) : context_(context) {}
  SSL_CTX* context_;
  std::string fingerprint_;
};

// The text of the oldest OpenSSL error of this thread, and the queue emptied.
std::string TakeTlsErrorText();

}  // namespace parlivo
