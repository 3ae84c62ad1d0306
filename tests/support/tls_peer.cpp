#include "tls_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "script_peer.h"

namespace {

constexpr int SLICE_MS = 20;
constexpr int64_t DAY = 24 * 3600;

void add_ext(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext != nullptr) {
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
}

// A certificate for key, signed by issuer_key (issuer null: by itself).
X509* make_cert(EVP_PKEY* key, const char* cn, X509* issuer, EVP_PKEY* issuer_key, bool expired) {
  static std::atomic<long> serial{1};
  X509* c = X509_new();
  X509_set_version(c, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(c), serial++);
  X509_gmtime_adj(X509_getm_notBefore(c), expired ? -3 * DAY : -3600);
  X509_gmtime_adj(X509_getm_notAfter(c), expired ? -DAY : 2 * DAY);
  X509_set_pubkey(c, key);
  X509_NAME* name = X509_get_subject_name(c);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1,
                             -1, 0);
  X509_set_issuer_name(c, issuer != nullptr ? X509_get_subject_name(issuer) : name);
  (void)issuer_key;
  return c;
}

int select_tds8(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in,
                unsigned int inlen, void*) {
  for (unsigned int i = 0; i < inlen; i += 1u + in[i]) {
    if (in[i] == 7 && i + 8 <= inlen && std::memcmp(in + i + 1, "tds/8.0", 7) == 0) {
      *out = in + i + 1;
      *outlen = 7;
      return SSL_TLSEXT_ERR_OK;
    }
  }
  return SSL_TLSEXT_ERR_ALERT_FATAL;
}

int listen_loopback(int* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

bytes take_all(BIO* out) {
  bytes b(BIO_ctrl_pending(out));
  if (!b.empty()) BIO_read(out, b.data(), static_cast<int>(b.size()));
  return b;
}

}  // namespace

// ---- Certificates ------------------------------------------------------------------

TestCa::TestCa() {
  key_ = EVP_EC_gen("P-256");
  cert_ = make_cert(key_, "vaultrun test CA", nullptr, key_, false);
  add_ext(cert_, cert_, NID_basic_constraints, "critical,CA:TRUE");
  add_ext(cert_, cert_, NID_key_usage, "critical,keyCertSign,cRLSign");
  X509_sign(cert_, key_, EVP_sha256());
  char path[] = "/tmp/vaultrun-ca-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd >= 0) {
    ::close(fd);
    pem_path_ = path;
    if (FILE* f = std::fopen(path, "w")) {
      PEM_write_X509(f, cert_);
      std::fclose(f);
    }
  }
}

TestCa::~TestCa() {
  if (!pem_path_.empty()) ::unlink(pem_path_.c_str());
  X509_free(cert_);
  EVP_PKEY_free(key_);
}

SSL_CTX* TestCa::server_ctx(const ServerSetup& setup) const {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  const bool self = setup.cert.self_signed;
  X509* cert = make_cert(key, "vaultrun test server", self ? nullptr : cert_, self ? key : key_,
                         setup.cert.expired);
  add_ext(cert, self ? cert : cert_, NID_basic_constraints, "CA:FALSE");
  std::string san;
  if (!setup.cert.dns.empty()) san = "DNS:" + setup.cert.dns;
  if (!setup.cert.ip.empty()) san += (san.empty() ? "IP:" : ",IP:") + setup.cert.ip;
  if (!san.empty()) add_ext(cert, self ? cert : cert_, NID_subject_alt_name, san.c_str());
  X509_sign(cert, self ? key : key_, EVP_sha256());

  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  SSL_CTX_use_certificate(ctx, cert);
  SSL_CTX_use_PrivateKey(ctx, key);
  // Tickets after the handshake would be records the wrapped exchange has
  // no place for; a server of this kind sends none.
  SSL_CTX_set_num_tickets(ctx, 0);
  if (setup.tls12_only) SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
  if (setup.alpn_tds8) SSL_CTX_set_alpn_select_cb(ctx, select_tds8, nullptr);
  X509_free(cert);
  EVP_PKEY_free(key);
  return ctx;
}

const TestCa& test_ca() {
  static TestCa ca;
  return ca;
}

// ---- TlsPeer --------------------------------------------------------------------------

TlsPeer::TlsPeer(Script script) : script_(std::move(script)) {
  ctx_ = test_ca().server_ctx(script_.server);
  listen_fd_ = listen_loopback(&port_);
  thread_ = std::thread([this] { run(); });
}

TlsPeer::~TlsPeer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  SSL_free(ssl_);
  SSL_CTX_free(ctx_);
  if (conn_fd_ >= 0) ::close(conn_fd_);
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

bool TlsPeer::wait_done(int timeout_ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done_) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::vector<bytes> TlsPeer::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

bytes TlsPeer::wire() const {
  std::lock_guard<std::mutex> lock(mu_);
  return wire_;
}

std::string TlsPeer::failure() const {
  std::lock_guard<std::mutex> lock(mu_);
  return failure_;
}

void TlsPeer::fail(const std::string& why) {
  std::lock_guard<std::mutex> lock(mu_);
  if (failure_.empty()) failure_ = why;
}

bool TlsPeer::recv_raw(uint8_t* buf, size_t n, size_t* got) {
  while (!stop_) {
    pollfd p{conn_fd_, POLLIN, 0};
    const int rc = ::poll(&p, 1, SLICE_MS);
    if (rc < 0 && errno != EINTR) return false;
    if (rc <= 0) continue;
    const ssize_t r = ::recv(conn_fd_, buf, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    std::lock_guard<std::mutex> lock(mu_);
    wire_.insert(wire_.end(), buf, buf + r);
    *got = static_cast<size_t>(r);
    return true;
  }
  return false;
}

bool TlsPeer::send_raw(const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t r = ::send(conn_fd_, p, n, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// One whole message in clear text: its payloads joined.
bool TlsPeer::read_raw_message(bytes* payload) {
  payload->clear();
  for (;;) {
    uint8_t hdr[8];
    size_t have = 0, got = 0;
    while (have < 8) {
      if (!recv_raw(hdr + have, 8 - have, &got)) return false;
      have += got;
    }
    const size_t len = ((size_t{hdr[2]} << 8) | hdr[3]) - 8;
    const size_t at = payload->size();
    payload->resize(at + len);
    for (have = 0; have < len; have += got)
      if (!recv_raw(payload->data() + at + have, len - have, &got)) return false;
    if (hdr[1] & 1) return true;
  }
}

bool TlsPeer::flush() {
  const bytes out = take_all(out_);
  return out.empty() || send_raw(out.data(), out.size());
}

bool TlsPeer::handshake_wrapped() {
  for (;;) {
    bytes payload;
    if (!read_raw_message(&payload)) return false;
    BIO_write(in_, payload.data(), static_cast<int>(payload.size()));
    const int r = SSL_do_handshake(ssl_);
    const bytes out = take_all(out_);
    if (!out.empty()) {
      const bytes msg = tds_message(script_.reply_type, out);
      if (!send_raw(msg.data(), msg.size())) return false;
    }
    if (r == 1) return true;
    if (SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ) return false;
  }
}

bool TlsPeer::handshake_strict() {
  uint8_t buf[16384];
  for (;;) {
    const int r = SSL_do_handshake(ssl_);
    if (!flush()) return false;
    if (r == 1) return true;
    if (SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ) return false;
    size_t got = 0;
    if (!recv_raw(buf, sizeof buf, &got)) return false;
    BIO_write(in_, buf, static_cast<int>(got));
  }
}

bool TlsPeer::tls_read_message(bytes* msg) {
  msg->clear();
  uint8_t buf[16384];
  size_t want = 8;  // the next header, then its payload
  bool eom = false;
  for (;;) {
    while (want > 0) {
      size_t got = 0;
      if (SSL_read_ex(ssl_, buf, want < sizeof buf ? want : sizeof buf, &got) == 1) {
        msg->insert(msg->end(), buf, buf + got);
        want -= got;
        continue;
      }
      if (SSL_get_error(ssl_, 0) != SSL_ERROR_WANT_READ) return false;
      if (!recv_raw(buf, sizeof buf, &got)) return false;
      BIO_write(in_, buf, static_cast<int>(got));
    }
    if (eom) return true;
    const uint8_t* hdr = msg->data() + msg->size() - 8;
    want = ((size_t{hdr[2]} << 8) | hdr[3]) - 8;
    eom = (hdr[1] & 1) != 0;
    if (want == 0 && eom) return true;
  }
}

bool TlsPeer::tls_send(const bytes& plain) {
  size_t n = 0;
  return SSL_write_ex(ssl_, plain.data(), plain.size(), &n) == 1 && flush();
}

void TlsPeer::run() {
  for (int waited = 0; conn_fd_ < 0; waited += SLICE_MS) {
    if (stop_ || waited >= 10000) {
      fail("no client connected");
      done_ = true;
      return;
    }
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, SLICE_MS) > 0) conn_fd_ = ::accept(listen_fd_, nullptr, nullptr);
  }
  ssl_ = SSL_new(ctx_);
  in_ = BIO_new(BIO_s_mem());
  out_ = BIO_new(BIO_s_mem());
  BIO_set_mem_eof_return(in_, -1);
  SSL_set_bio(ssl_, in_, out_);
  SSL_set_accept_state(ssl_);

  const bytes login_answer =
      tds_message(0x04, cat({tds_envchange_token("master"), tds_loginack_token(), tds_done_token(0)}));
  const bytes prelogin_answer = tds_message(0x04, tds_prelogin_answer(script_.encryption));
  bytes msg;
  bool ok;
  if (script_.strict) {
    ok = handshake_strict() && tls_read_message(&msg) && tls_send(prelogin_answer);
  } else {
    ok = read_raw_message(&msg) && send_raw(prelogin_answer.data(), prelogin_answer.size());
    ok = ok && (script_.encryption == 0x01 || script_.encryption == 0x03) && handshake_wrapped();
  }
  if (ok) {
    std::lock_guard<std::mutex> lock(mu_);
    if (script_.strict) requests_.push_back(msg);
  }
  ok = ok && tls_read_message(&msg);
  if (ok) {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.push_back(msg);
  }
  ok = ok && tls_send(login_answer);
  for (size_t i = 0; ok && i < script_.answers.size(); ++i) {
    ok = tls_read_message(&msg) && tls_send(script_.answers[i]);
    if (ok) {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(msg);
    }
  }
  if (!ok) fail("the exchange ended early");
  // Then answer attentions until the client goes.
  while (ok && tls_read_message(&msg)) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(msg);
    }
    if (msg[0] == 0x06) ok = tls_send(tds_message(0x04, tds_done_token(0x0020)));
  }
  done_ = true;
}
