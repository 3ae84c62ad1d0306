// The TLS session on OpenSSL 3: one SSL per connection over a pair of
// memory BIOs, so no socket is ever handed to the library, made from an
// SSL_CTX shared by the connections with the same verification setting.
//
// OpenSSL is loaded on the first encrypted connection, not with this
// library: linked in, its relocations alone would add about 2 MiB to every
// host's memory, encrypting or not. The functions are called through a
// table each session fills when it is made; OpenSSL then
// initialises itself, thread-safely. The headers give the types only.
//
// Errors: OpenSSL keeps a per-thread error queue; each call clears it first
// so a reason left by an earlier failure is never reported as this one's.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/platform.h"
#include "tds_client/tds_client.h"
#include "tds_client/tls.h"

namespace {

// The OpenSSL 3 library; libcrypto comes in as its dependency.
constexpr const char* LIBSSL_NAME = "libssl.so.3";

#define OPENSSL_FUNCTIONS                                                                  \
  X(TLS_client_method) X(SSL_CTX_new) X(SSL_CTX_free) X(SSL_CTX_ctrl) X(SSL_CTX_set_verify)  \
  X(SSL_CTX_load_verify_locations) X(SSL_new) X(SSL_free) \
  X(SSL_ctrl) X(SSL_set_bio) X(SSL_set_connect_state) X(SSL_set_alpn_protos) X(SSL_get0_param) \
  X(SSL_set1_host) X(SSL_do_handshake) X(SSL_get_error) X(SSL_get_verify_result)             \
  X(SSL_get0_alpn_selected) X(SSL_write_ex) X(SSL_read_ex) X(BIO_new) X(BIO_s_mem) X(BIO_free) \
  X(BIO_ctrl) X(BIO_write) X(BIO_read) X(BIO_ctrl_pending) X(ERR_clear_error)                 \
  X(ERR_peek_last_error) X(ERR_reason_error_string) X(X509_verify_cert_error_string)          \
  X(X509_VERIFY_PARAM_set1_ip_asc) X(a2i_IPADDRESS) X(ASN1_OCTET_STRING_free)                 \
  X(X509_STORE_new) X(X509_STORE_free) X(X509_STORE_set_default_paths) X(SSL_CTX_set1_cert_store) \
  X(SSL_CTX_up_ref) X(BIO_new_file)

struct ssl_api {
#define X(f) decltype(&::f) f;
  OPENSSL_FUNCTIONS
#undef X
};

// Fills f from OpenSSL 3, loaded on the first call and kept loaded after
// (later calls find it already there). False when it cannot be loaded.
bool lookup_api(ssl_api* f) {
  void* lib = plat_lib_open(LIBSSL_NAME);
  if (lib == nullptr) return false;
#define X(name)                                                               \
  f->name = reinterpret_cast<decltype(&::name)>(plat_lib_sym(lib, #name));   \
  if (f->name == nullptr) return false;
  OPENSSL_FUNCTIONS
#undef X
  return true;
}

// The first complete table, kept for the sessions after it so that they
// skip the loader's lock and the symbol lookups: written once, before
// g_api_ready is set, and never changed after. A failed load is not kept,
// so OpenSSL installed later is found by the next session.
ssl_api g_api;
std::atomic<int> g_api_ready{0};
std::atomic_flag g_api_busy;

// Each session keeps its own copy of the table.
bool load_api(ssl_api* f) {
  if (g_api_ready.load(std::memory_order_acquire) == 1) {
    *f = g_api;
    return true;
  }
  if (!lookup_api(f)) return false;
  while (g_api_busy.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  if (g_api_ready.load(std::memory_order_relaxed) == 0) {
    g_api = *f;
    g_api_ready.store(1, std::memory_order_release);
  }
  g_api_busy.clear(std::memory_order_release);
  return true;
}

}  // namespace

struct tds_tls {
  ssl_api f;
  SSL_CTX* ctx;
  SSL* ssl;
  BIO* in;   // ciphertext from the server, owned by ssl
  BIO* out;  // ciphertext for the server, owned by ssl
  uint8_t mode;
  bool verify;
  char name[256];
};

namespace {

// ALPN wire form: one length byte, then the protocol name.
constexpr unsigned char ALPN_TDS8[] = {7, 't', 'd', 's', '/', '8', '.', '0'};

// The text of a failure: prefix, then OpenSSL's reason for the most recent
// error in this thread's queue, or fallback when there is none.
void set_reason(const ssl_api& F, char* err, const char* prefix, const char* fallback) {
  const unsigned long e = F.ERR_peek_last_error();
  const char* reason = e != 0 ? F.ERR_reason_error_string(e) : nullptr;
  char text[TDS_ERR_SIZE];
  std::snprintf(text, sizeof text, "%s%s", prefix, reason != nullptr ? reason : fallback);
  tds_err_text(err, text);
  F.ERR_clear_error();
}

void set_text2(char* err, const char* a, const char* b) {
  char text[TDS_ERR_SIZE];
  std::snprintf(text, sizeof text, "%s%s", a, b);
  tds_err_text(err, text);
}

// Whether text is an IPv4 or IPv6 literal, which certificates carry as
// addresses rather than as names.
bool is_ip_literal(const tds_tls* t) {
  ASN1_OCTET_STRING* ip = t->f.a2i_IPADDRESS(t->name);
  if (ip == nullptr) return false;
  t->f.ASN1_OCTET_STRING_free(ip);
  return true;
}

// The system's trusted roots, read once for the process: reading them takes
// tens of milliseconds, more than the rest of a connection. Shared by every
// session (a store is safe to verify against from several threads); the
// first to finish reading publishes its copy, a later one drops its own.
std::atomic<X509_STORE*> g_system_roots{nullptr};

X509_STORE* system_roots(const ssl_api& f) {
  X509_STORE* roots = g_system_roots.load(std::memory_order_acquire);
  if (roots != nullptr) return roots;
  X509_STORE* fresh = f.X509_STORE_new();
  if (fresh == nullptr) return nullptr;
  if (f.X509_STORE_set_default_paths(fresh) != 1) {
    f.X509_STORE_free(fresh);
    return nullptr;
  }
  if (g_system_roots.compare_exchange_strong(roots, fresh, std::memory_order_acq_rel)) return fresh;
  f.X509_STORE_free(fresh);
  return roots;
}

// A fresh context for one verification setting: TLS 1.2 at least (1.3
// whenever the server offers it), and the roots to check against. Null with
// err set.
SSL_CTX* build_ctx(const ssl_api& f, bool verify, const char* ca_file, char* err) {
  SSL_CTX* ctx = f.SSL_CTX_new(f.TLS_client_method());
  if (ctx == nullptr || f.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr) != 1) {
    set_reason(f, err, "TLS setup failed: ", "out of memory");
    f.SSL_CTX_free(ctx);
    return nullptr;
  }
  if (!verify) {
    f.SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    return ctx;
  }
  f.SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  const bool own_roots = ca_file != nullptr && ca_file[0] != 0;
  X509_STORE* roots = own_roots ? nullptr : system_roots(f);
  if (roots != nullptr) f.SSL_CTX_set1_cert_store(ctx, roots);
  if (own_roots ? f.SSL_CTX_load_verify_locations(ctx, ca_file, nullptr) != 1 : roots == nullptr) {
    f.ERR_clear_error();
    f.SSL_CTX_free(ctx);
    tds_err_text(err, own_roots ? "cannot read ca_file" : "cannot read the system's trusted certificates");
    return nullptr;
  }
  return ctx;
}

// ---- Contexts shared between connections ----------------------------------------
// Making a context and reading a ca_file into it costs more than the rest
// of a connection's TLS setup together, so a few contexts are kept, one per
// verification setting: no check, the system's roots, or a ca_file. A
// ca_file is read again by every connection and its context reused only
// while its bytes are the same, so a file that is replaced, emptied or
// removed takes effect on the next connection, exactly as when each
// connection loaded it. A file too large to keep a copy of is never cached.

constexpr int CTX_CACHE_SLOTS = 4;
constexpr size_t CA_COPY_MAX = 1u << 20;

enum ctx_kind : uint8_t { CTX_FREE = 0, CTX_TRUST, CTX_SYSTEM, CTX_FILE };

struct ctx_slot {
  ctx_kind kind;
  char* path;     // CTX_FILE: the ca_file named, and
  uint8_t* pem;   // its bytes when the context was made
  size_t pem_len;
  SSL_CTX* ctx;   // one reference held by the cache
  uint64_t used;  // when last handed out, to evict the oldest
};

// The lock is held only to look at or swap entries: making, loading and
// freeing contexts happen outside it, so a waiter never waits long.
struct ctx_cache {
  std::atomic_flag busy;
  ctx_slot slots[CTX_CACHE_SLOTS];
  uint64_t clock;
};

ctx_cache g_ctx_cache;

void cache_lock() {
  while (g_ctx_cache.busy.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
}

void cache_unlock() { g_ctx_cache.busy.clear(std::memory_order_release); }

// The whole of a ca_file, or null when it cannot be read or is CA_COPY_MAX
// bytes or more (the caller then builds an uncached context, whose own read
// reports a file that cannot be read). Free with std::free.
uint8_t* read_ca_file(const ssl_api& f, const char* path, size_t* len) {
  BIO* b = f.BIO_new_file(path, "rb");
  if (b == nullptr) {
    f.ERR_clear_error();
    return nullptr;
  }
  size_t cap = 16384, n = 0;
  uint8_t* buf = static_cast<uint8_t*>(std::malloc(cap));
  for (;;) {
    if (buf == nullptr) break;
    if (n == cap) {
      uint8_t* more = cap < CA_COPY_MAX ? static_cast<uint8_t*>(std::realloc(buf, cap * 2)) : nullptr;
      if (more == nullptr) {
        std::free(buf);
        buf = nullptr;
        break;
      }
      buf = more;
      cap *= 2;
    }
    const int got = f.BIO_read(b, buf + n, static_cast<int>(cap - n));
    if (got <= 0) break;
    n += static_cast<size_t>(got);
  }
  f.BIO_free(b);
  f.ERR_clear_error();
  *len = n;
  return buf;
}

bool slot_matches(const ctx_slot& s, ctx_kind kind, const char* path, const uint8_t* pem, size_t len) {
  if (s.kind != kind) return false;
  if (kind != CTX_FILE) return true;
  return std::strcmp(s.path, path) == 0 && s.pem_len == len && std::memcmp(s.pem, pem, len) == 0;
}

void slot_free(const ssl_api& f, ctx_slot* s) {
  f.SSL_CTX_free(s->ctx);
  std::free(s->path);
  std::free(s->pem);
}

// A cached context for the setting with one reference for the caller, or null.
SSL_CTX* cache_find(const ssl_api& f, ctx_kind kind, const char* path, const uint8_t* pem, size_t len) {
  SSL_CTX* found = nullptr;
  cache_lock();
  for (ctx_slot& s : g_ctx_cache.slots) {
    if (!slot_matches(s, kind, path, pem, len) || f.SSL_CTX_up_ref(s.ctx) != 1) continue;
    s.used = ++g_ctx_cache.clock;
    found = s.ctx;
    break;
  }
  cache_unlock();
  return found;
}

// Keeps ctx for the setting in place of the oldest entry (or a stale entry
// for the same file). Takes the pem copy; the caller keeps its reference.
void cache_keep(const ssl_api& f, ctx_kind kind, const char* path, uint8_t* pem, size_t len,
                SSL_CTX* ctx) {
  char* path_copy = nullptr;
  if (kind == CTX_FILE) {
    const size_t n = std::strlen(path) + 1;
    path_copy = static_cast<char*>(std::malloc(n));
    if (path_copy != nullptr) std::memcpy(path_copy, path, n);
  }
  if ((kind == CTX_FILE && path_copy == nullptr) || f.SSL_CTX_up_ref(ctx) != 1) {
    std::free(path_copy);
    std::free(pem);
    return;
  }
  cache_lock();
  ctx_slot* victim = &g_ctx_cache.slots[0];
  for (ctx_slot& s : g_ctx_cache.slots) {
    const bool same = s.kind == kind && (kind != CTX_FILE || std::strcmp(s.path, path) == 0);
    if (same || s.kind == CTX_FREE) {
      victim = &s;
      break;
    }
    if (s.used < victim->used) victim = &s;
  }
  ctx_slot old = *victim;
  *victim = ctx_slot{kind, path_copy, pem, len, ctx, ++g_ctx_cache.clock};
  cache_unlock();
  slot_free(f, &old);
}

// The context for the session's setting, with one reference that the
// session owns: from the cache, or built (and then kept) here.
bool setup_ctx(tds_tls* t, const tds_tls_opts* o, char* err) {
  const bool own_roots = t->verify && o->ca_file != nullptr && o->ca_file[0] != 0;
  const ctx_kind kind = !t->verify ? CTX_TRUST : own_roots ? CTX_FILE : CTX_SYSTEM;
  size_t len = 0;
  uint8_t* pem = kind == CTX_FILE ? read_ca_file(t->f, o->ca_file, &len) : nullptr;
  const bool cacheable = kind != CTX_FILE || pem != nullptr;
  t->ctx = cacheable ? cache_find(t->f, kind, o->ca_file, pem, len) : nullptr;
  if (t->ctx != nullptr) {
    std::free(pem);
    return true;
  }
  t->ctx = build_ctx(t->f, t->verify, o->ca_file, err);
  if (t->ctx == nullptr || !cacheable) {
    std::free(pem);
    return t->ctx != nullptr;
  }
  // Kept only when the file did not change while it was being loaded.
  if (kind == CTX_FILE) {
    size_t again_len = 0;
    uint8_t* again = read_ca_file(t->f, o->ca_file, &again_len);
    const bool same = again != nullptr && again_len == len && std::memcmp(again, pem, len) == 0;
    std::free(again);
    if (!same) {
      std::free(pem);
      return true;
    }
  }
  cache_keep(t->f, kind, o->ca_file, pem, len, t->ctx);
  return true;
}

// The name the certificate must carry, and the server name sent in the
// hello (for host names only: an address is never sent as SNI).
bool setup_name(tds_tls* t, char* err) {
  const bool ip = is_ip_literal(t);
  if (!ip && t->name[0] != 0 &&
      t->f.SSL_ctrl(t->ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, t->name) != 1) {
    set_reason(t->f, err, "TLS setup failed: ", "invalid host name");
    return false;
  }
  if (!t->verify) return true;
  const int ok = ip ? t->f.X509_VERIFY_PARAM_set1_ip_asc(t->f.SSL_get0_param(t->ssl), t->name)
                    : t->f.SSL_set1_host(t->ssl, t->name);
  if (ok != 1 || t->name[0] == 0) {
    t->f.ERR_clear_error();
    tds_err_text(err, "no host name to check the server certificate against");
    return false;
  }
  return true;
}

bool setup_ssl(tds_tls* t, char* err) {
  t->ssl = t->f.SSL_new(t->ctx);
  t->in = t->f.BIO_new(t->f.BIO_s_mem());
  t->out = t->f.BIO_new(t->f.BIO_s_mem());
  if (t->ssl == nullptr || t->in == nullptr || t->out == nullptr) {
    t->f.BIO_free(t->in);
    t->f.BIO_free(t->out);
    t->in = t->out = nullptr;
    set_reason(t->f, err, "TLS setup failed: ", "out of memory");
    return false;
  }
  // An empty input BIO means "wait for more", never end of stream.
  t->f.BIO_ctrl(t->in, BIO_C_SET_BUF_MEM_EOF_RETURN, -1, nullptr);
  t->f.SSL_set_bio(t->ssl, t->in, t->out);
  t->f.SSL_set_connect_state(t->ssl);
  // SSL_set_alpn_protos returns 0 on success.
  if (t->mode == TDS_ENCRYPT_STRICT &&
      t->f.SSL_set_alpn_protos(t->ssl, ALPN_TDS8, sizeof ALPN_TDS8) != 0) {
    set_reason(t->f, err, "TLS setup failed: ", "ALPN");
    return false;
  }
  return setup_name(t, err);
}

// The reason a handshake failed, told apart by what the certificate check
// found: a name that does not match, a chain that is not trusted (expired
// and self-signed certificates included), or the exchange itself.
void set_handshake_failure(tds_tls* t, char* err) {
  const long v = t->f.SSL_get_verify_result(t->ssl);
  if (t->verify && v != X509_V_OK) {
    t->f.ERR_clear_error();
    if (v == X509_V_ERR_HOSTNAME_MISMATCH || v == X509_V_ERR_IP_ADDRESS_MISMATCH)
      set_text2(err, "server certificate does not match ", t->name);
    else
      set_text2(err, "server certificate not trusted: ", t->f.X509_verify_cert_error_string(v));
    return;
  }
  const unsigned long e = t->f.ERR_peek_last_error();
  if (t->mode == TDS_ENCRYPT_STRICT && ERR_GET_REASON(e) == SSL_R_TLSV1_ALERT_NO_APPLICATION_PROTOCOL) {
    t->f.ERR_clear_error();
    tds_err_text(err, "server did not select the tds/8.0 protocol");
    return;
  }
  set_reason(t->f, err, "TLS handshake failed: ", "unexpected message from the server");
}

bool alpn_selected(const tds_tls* t) {
  const unsigned char* p = nullptr;
  unsigned int n = 0;
  t->f.SSL_get0_alpn_selected(t->ssl, &p, &n);
  return n == sizeof ALPN_TDS8 - 1 && std::memcmp(p, ALPN_TDS8 + 1, n) == 0;
}

}  // namespace

tds_tls* tds_tls_new(const tds_tls_opts* o, char* err) {
  tds_tls* t = static_cast<tds_tls*>(std::calloc(1, sizeof(tds_tls)));
  if (t == nullptr) {
    tds_err_text(err, "out of memory");
    return nullptr;
  }
  if (!load_api(&t->f)) {
    std::free(t);
    tds_err_text(err, "encryption is not available: cannot load OpenSSL 3 (libssl.so.3)");
    return nullptr;
  }
  t->f.ERR_clear_error();
  t->mode = o->mode;
  t->verify = !o->trust_server_certificate;
  if (!utf8_copy_cut(t->name, sizeof t->name, o->name)) {
    tds_err_text(err, "host name too long for the certificate check");
    tds_tls_free(t);
    return nullptr;
  }
  if (!setup_ctx(t, o, err) || !setup_ssl(t, err)) {
    tds_tls_free(t);
    return nullptr;
  }
  return t;
}

void tds_tls_free(tds_tls* t) {
  if (t == nullptr) return;
  t->f.SSL_free(t->ssl);  // frees both BIOs once they are attached
  t->f.SSL_CTX_free(t->ctx);
  std::free(t);
}

int tds_tls_handshake(tds_tls* t, char* err) {
  t->f.ERR_clear_error();
  const int r = t->f.SSL_do_handshake(t->ssl);
  if (r == 1) {
    if (t->mode == TDS_ENCRYPT_STRICT && !alpn_selected(t)) {
      tds_err_text(err, "server did not select the tds/8.0 protocol");
      return TDS_TLS_FAILED;
    }
    return TDS_TLS_DONE;
  }
  if (t->f.SSL_get_error(t->ssl, r) == SSL_ERROR_WANT_READ) return TDS_TLS_WANT_INPUT;
  set_handshake_failure(t, err);
  return TDS_TLS_FAILED;
}

bool tds_tls_feed(tds_tls* t, const uint8_t* p, size_t n) {
  while (n > 0) {
    const int chunk = n > (1u << 30) ? (1 << 30) : static_cast<int>(n);
    const int w = t->f.BIO_write(t->in, p, chunk);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

size_t tds_tls_pending(const tds_tls* t) { return t->f.BIO_ctrl_pending(t->out); }

size_t tds_tls_take(tds_tls* t, uint8_t* out, size_t cap) {
  const int want = cap > (1u << 30) ? (1 << 30) : static_cast<int>(cap);
  const int got = t->f.BIO_read(t->out, out, want);
  return got > 0 ? static_cast<size_t>(got) : 0;
}

int tds_tls_write(tds_tls* t, const uint8_t* p, size_t n, char* err) {
  if (n == 0) return 0;
  t->f.ERR_clear_error();
  // A memory BIO takes everything, so one call encrypts all it is given.
  size_t written = 0;
  if (t->f.SSL_write_ex(t->ssl, p, n, &written) != 1 || written != n) {
    set_reason(t->f, err, "TLS write failed: ", "session closed");
    return -1;
  }
  return 0;
}

long tds_tls_read(tds_tls* t, uint8_t* out, size_t cap, char* err) {
  t->f.ERR_clear_error();
  size_t got = 0;
  if (t->f.SSL_read_ex(t->ssl, out, cap, &got) == 1) return static_cast<long>(got);
  switch (t->f.SSL_get_error(t->ssl, 0)) {
    case SSL_ERROR_WANT_READ:
      return 0;
    case SSL_ERROR_ZERO_RETURN:
      tds_err_text(err, "server closed the encrypted session");
      return -1;
    default:
      set_reason(t->f, err, "TLS read failed: ", "unexpected record from the server");
      return -1;
  }
}
