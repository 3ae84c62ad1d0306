#include "tls.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

constexpr long HOUR = 3600;
constexpr long DAY = 24 * HOUR;
constexpr unsigned char ALPN_TDS8[] = {7, 't', 'd', 's', '/', '8', '.', '0'};

std::string openssl_reason(const char* what) {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return what;
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return std::string(what) + ": " + buf;
}

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Cert = std::unique_ptr<X509, X509Free>;

bool add_extension(X509* x, int nid, const char* value) {
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, x, x, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
  if (!ext) return false;
  bool ok = X509_add_ext(x, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A self-signed certificate for key. No keyUsage: a self-signed certificate
// that lacked keyCertSign would not count as its own issuer, and clients
// trust it by naming it as their CA file.
Cert self_signed(EVP_PKEY* key, const char* name, const char* alt_names, long from, long to) {
  Cert x(X509_new());
  if (!x) return nullptr;
  unsigned char serial[8];
  if (RAND_bytes(serial, sizeof serial) != 1) return nullptr;
  serial[0] &= 0x7F;  // positive
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  bool ok = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x.get())) != nullptr;
  BN_free(bn);
  X509_NAME* n = X509_get_subject_name(x.get());
  ok = ok && X509_set_version(x.get(), 2) == 1 &&
       X509_gmtime_adj(X509_getm_notBefore(x.get()), from) != nullptr &&
       X509_gmtime_adj(X509_getm_notAfter(x.get()), to) != nullptr &&
       X509_set_pubkey(x.get(), key) == 1 &&
       X509_NAME_add_entry_by_txt(n, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(name),
                                  -1, -1, 0) == 1 &&
       X509_set_issuer_name(x.get(), n) == 1 &&
       add_extension(x.get(), NID_subject_alt_name, alt_names) &&
       add_extension(x.get(), NID_ext_key_usage, "serverAuth") &&
       X509_sign(x.get(), key, EVP_sha256()) > 0;
  return ok ? std::move(x) : nullptr;
}

// The certificate and key of a context that makes its own: for localhost
// and 127.0.0.1, valid from an hour ago for 30 days, unless a fault asks
// for another name or a validity that has ended.
std::string use_generated(SSL_CTX* ctx, TlsFault fault) {
  Pkey key(EVP_EC_gen("P-256"));
  if (!key) return openssl_reason("cannot make a key");
  const char* name = "localhost";
  const char* alt = "DNS:localhost,IP:127.0.0.1";
  long from = -HOUR, to = 30 * DAY;
  if (fault == TlsFault::WrongName) name = "other.example", alt = "DNS:other.example";
  if (fault == TlsFault::Expired) from = -31 * DAY, to = -DAY;
  Cert x = self_signed(key.get(), name, alt, from, to);
  if (!x) return openssl_reason("cannot make a certificate");
  if (SSL_CTX_use_certificate(ctx, x.get()) != 1 || SSL_CTX_use_PrivateKey(ctx, key.get()) != 1) {
    return openssl_reason("cannot use the certificate");
  }
  return "";
}

std::string use_files(SSL_CTX* ctx, const TlsOptions& o) {
  if (o.key_path.empty()) return "--tls-cert needs --tls-key";
  if (SSL_CTX_use_certificate_chain_file(ctx, o.cert_path.c_str()) != 1) {
    return openssl_reason(("cannot read the certificate " + o.cert_path).c_str());
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, o.key_path.c_str(), SSL_FILETYPE_PEM) != 1) {
    return openssl_reason(("cannot read the key " + o.key_path).c_str());
  }
  if (SSL_CTX_check_private_key(ctx) != 1) return "the key does not match the certificate";
  return "";
}

std::string write_cert(SSL_CTX* ctx, const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return "cannot write " + path;
  bool ok = PEM_write_X509(f, SSL_CTX_get0_certificate(ctx)) == 1;
  ok = std::fclose(f) == 0 && ok;
  return ok ? "" : "cannot write " + path;
}

// Strict clients name their protocol; one that names none is refused as one
// that names another, with the no_application_protocol alert.
int require_alpn(SSL* ssl, int* alert, void*) {
  const unsigned char* ext = nullptr;
  size_t len = 0;
  if (SSL_client_hello_get0_ext(ssl, TLSEXT_TYPE_application_layer_protocol_negotiation, &ext, &len) != 1) {
    *alert = SSL_AD_NO_APPLICATION_PROTOCOL;
    return SSL_CLIENT_HELLO_ERROR;
  }
  return SSL_CLIENT_HELLO_SUCCESS;
}

int select_tds8(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in,
                unsigned int inlen, void*) {
  unsigned char* chosen = nullptr;
  if (SSL_select_next_proto(&chosen, outlen, ALPN_TDS8, sizeof ALPN_TDS8, in, inlen) !=
      OPENSSL_NPN_NEGOTIATED) {
    return SSL_TLSEXT_ERR_ALERT_FATAL;
  }
  *out = chosen;
  return SSL_TLSEXT_ERR_OK;
}

}  // namespace

std::unique_ptr<TlsContext> TlsContext::create(const Config& cfg, std::string& err) {
  const TlsOptions& o = cfg.tls;
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) {
    err = openssl_reason("cannot start TLS");
    return nullptr;
  }
  std::unique_ptr<TlsContext> c(new TlsContext(ctx));
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // No tickets: nothing follows the handshake before the login's answer.
  SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
  if (o.strict) {
    SSL_CTX_set_client_hello_cb(ctx, require_alpn, nullptr);
    SSL_CTX_set_alpn_select_cb(ctx, select_tds8, nullptr);
  }
  if (o.cert_path.empty() && !o.key_path.empty()) {
    err = "--tls-key needs --tls-cert";
    return nullptr;
  }
  bool generated = o.cert_path.empty() || o.fault == TlsFault::WrongName || o.fault == TlsFault::Expired;
  err = generated ? use_generated(ctx, o.fault) : use_files(ctx, o);
  if (err.empty() && !o.cert_out.empty()) err = write_cert(ctx, o.cert_out);
  return err.empty() ? std::move(c) : nullptr;
}

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

TlsEngine::TlsEngine(const TlsContext& ctx, int max_version) {
  ssl_ = SSL_new(ctx.ctx());
  in_ = BIO_new(BIO_s_mem());
  out_ = BIO_new(BIO_s_mem());
  if (!ssl_ || !in_ || !out_) return;
  if (max_version != 0) SSL_set_max_proto_version(ssl_, max_version);
  SSL_set_bio(ssl_, in_, out_);
  SSL_set_accept_state(ssl_);
}

TlsEngine::~TlsEngine() {
  if (ssl_ && SSL_get_rbio(ssl_)) {
    SSL_free(ssl_);  // frees both buffers
  } else {
    SSL_free(ssl_);
    BIO_free(in_);
    BIO_free(out_);
  }
}

void TlsEngine::feed(const uint8_t* p, size_t n) {
  if (n > 0 && in_) BIO_write(in_, p, int(n));
}

TlsEngine::Step TlsEngine::handshake() {
  if (!ssl_ || !SSL_get_rbio(ssl_)) {
    reason_ = "no TLS engine";
    return Step::Failed;
  }
  int r = SSL_do_handshake(ssl_);
  if (r == 1) return Step::Done;
  int e = SSL_get_error(ssl_, r);
  if (e == SSL_ERROR_WANT_READ) return Step::More;
  reason_ = openssl_reason("handshake failed");
  return Step::Failed;
}

Bytes TlsEngine::take_output() {
  Bytes b;
  if (!out_) return b;
  size_t pending = BIO_ctrl_pending(out_);
  b.resize(pending);
  if (pending > 0) b.resize(size_t(std::max(BIO_read(out_, b.data(), int(pending)), 0)));
  return b;
}

bool TlsEngine::write(const uint8_t* p, size_t n) {
  // Memory buffers take every byte at once.
  return n == 0 || SSL_write(ssl_, p, int(n)) == int(n);
}

TlsEngine::Read TlsEngine::read(Bytes& out) {
  uint8_t buf[16384];
  for (;;) {
    int r = SSL_read(ssl_, buf, sizeof buf);
    if (r > 0) {
      out.insert(out.end(), buf, buf + r);
      continue;
    }
    int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ) return Read::Ok;
    if (e == SSL_ERROR_ZERO_RETURN) return Read::Closed;
    reason_ = openssl_reason("record refused");
    return Read::Failed;
  }
}

std::string TlsEngine::version() const { return ssl_ ? SSL_get_version(ssl_) : ""; }

}  // namespace sim
