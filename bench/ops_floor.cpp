// The floor: a client that sends the library's request bytes (built once
// with the library's own builders) and reads every answer whole by its
// packet headers, without looking inside. Nothing a real client must do can
// be cheaper than this over the same socket.
//
//   ops_floor PORT test N          N x (connect, PRELOGIN, LOGIN7, version query, close)
//   ops_floor PORT list N          the same with the database listing
//   ops_floor PORT fetch N SQL     one login, then N x the statement
//   ops_floor PORT capture DIR     writes the server's answers (wire form) to DIR
//   ops_floor PORT test|list N CA_FILE|trust
//                                  encrypted: PRELOGIN with ENCRYPT_ON, the TLS
//                                  handshake inside PRELOGIN packets (OpenSSL,
//                                  TLS 1.2 at least, the certificate checked
//                                  against CA_FILE and 127.0.0.1 as the library
//                                  checks it, or not at all with "trust"), then
//                                  LOGIN7 and the statement inside TLS
//
// Prints one line per operation: nanoseconds, then bytes received.
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_sql.h"
#include "requests.h"
#include "tds_client/tds_client.h"
#include "wire.h"
#include "wire_io.h"

namespace {

using bench::now_ns;

constexpr uint64_t HEADER_LEN = sim::PACKET_HEADER_LEN;

// Packets exactly as the library frames them: at most TDS_MAX_PAYLOAD
// payload bytes, SPID, packet id and window 0.
std::vector<uint8_t> frame(uint8_t type, const uint8_t* payload, uint64_t len) {
  return sim::frame_message(type, std::vector<uint8_t>(payload, payload + len),
                            TDS_MAX_PAYLOAD + HEADER_LEN, 0);
}

std::vector<uint8_t> batch(const char* sql) {
  const std::vector<uint8_t> payload = bench::batch_payload(sql);
  return frame(TDS_PKT_SQL_BATCH, payload.data(), payload.size());
}

struct requests {
  std::vector<uint8_t> prelogin, login, statement;
};

requests build(const char* sql) {
  requests r;
  r.prelogin = frame(TDS_PKT_PRELOGIN, TDS_PRELOGIN_PAYLOAD, TDS_PRELOGIN_LEN);
  uint8_t login[TDS_LOGIN7_MAX];
  const uint64_t n = tds_build_login7(BENCH_HOST, BENCH_USER, BENCH_PASSWORD, nullptr, login,
                                      sizeof login);
  r.login = frame(TDS_PKT_LOGIN7, login, n);
  if (sql != nullptr) r.statement = batch(sql);
  return r;
}

// Follows packet headers across read boundaries without looking inside the
// packets: says when the end-of-message packet is complete.
struct answer_walk {
  uint8_t hdr[HEADER_LEN];
  uint64_t hdr_have = 0, body_left = 0;
  bool eom = false;

  // 1: the answer is whole, 0: more to come, -1: a broken header.
  int feed(const uint8_t* buf, uint64_t n) {
    uint64_t p = 0;
    while (p < n) {
      if (body_left > 0) {
        const uint64_t take = std::min<uint64_t>(body_left, n - p);
        p += take;
        body_left -= take;
      } else {
        const uint64_t take = std::min<uint64_t>(HEADER_LEN - hdr_have, n - p);
        std::memcpy(hdr + hdr_have, buf + p, take);
        hdr_have += take;
        p += take;
        if (hdr_have < HEADER_LEN) continue;
        hdr_have = 0;
        const uint64_t plen = (static_cast<uint64_t>(hdr[2]) << 8) | hdr[3];
        if (plen < HEADER_LEN) return -1;
        body_left = plen - HEADER_LEN;
        eom = (hdr[1] & 1) != 0;
      }
      if (body_left == 0 && hdr_have == 0 && eom) return 1;
    }
    return 0;
  }
};

// Reads one whole answer: big reads, packet headers followed across read
// boundaries, done at the end-of-message packet. Returns the bytes read, or
// -1 when the stream ends first.
int64_t read_answer(int fd, uint8_t* buf, uint64_t cap) {
  int64_t total = 0;
  answer_walk walk;
  for (;;) {
    const ssize_t n = recv(fd, buf, cap, 0);
    if (n <= 0) return -1;
    total += n;
    const int done = walk.feed(buf, static_cast<uint64_t>(n));
    if (done != 0) return done > 0 ? total : -1;
  }
}

bool exchange(int fd, const std::vector<uint8_t>& req, std::vector<uint8_t>& buf, int64_t* got) {
  if (!bench::send_all(fd, req.data(), req.size())) return false;
  const int64_t n = read_answer(fd, buf.data(), buf.size());
  if (n < 0) return false;
  *got += n;
  return true;
}

int fail(const char* what) {
  std::fprintf(stderr, "ops_floor: %s\n", what);
  return 1;
}

int capture(int port, const char* dir) {
  const requests r = build(nullptr);
  struct step {
    const char* file;
    std::vector<uint8_t> req;
  };
  const step steps[] = {{"prelogin.bin", r.prelogin},
                        {"login.bin", r.login},
                        {"version.bin", batch(BENCH_VERSION_SQL)},
                        {"listing.bin", batch(BENCH_LISTING_SQL)}};
  const int fd = bench::connect_loopback(port);
  if (fd < 0) return fail("cannot connect");
  std::vector<uint8_t> wire;
  for (const step& s : steps) {
    uint8_t type;
    if (!bench::send_all(fd, s.req.data(), s.req.size()) || !bench::recv_message(fd, wire, &type))
      return fail("exchange failed");
    const std::string path = std::string(dir) + "/" + s.file;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(wire.data(), 1, wire.size(), f) != wire.size()) return fail("cannot write");
    std::fclose(f);
  }
  close(fd);
  return 0;
}

// ---- Encrypted ----------------------------------------------------------------
// One context for the process, as a client that knows its settings up front
// would keep it; a session per connection over memory BIOs, the socket
// driven here with one send per flight and large reads.

struct tls_conn {
  SSL* ssl = nullptr;
  BIO* in = nullptr;   // ciphertext from the server, owned by ssl
  BIO* out = nullptr;  // ciphertext for the server, owned by ssl
};

SSL_CTX* tls_context(const char* ca) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) return nullptr;
  if (std::strcmp(ca, "trust") == 0) {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    return ctx;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  return SSL_CTX_load_verify_locations(ctx, ca, nullptr) == 1 ? ctx : nullptr;
}

bool tls_start(SSL_CTX* ctx, bool verify, tls_conn* t) {
  t->ssl = SSL_new(ctx);
  t->in = BIO_new(BIO_s_mem());
  t->out = BIO_new(BIO_s_mem());
  if (t->ssl == nullptr || t->in == nullptr || t->out == nullptr) return false;
  BIO_set_mem_eof_return(t->in, -1);
  SSL_set_bio(t->ssl, t->in, t->out);
  SSL_set_connect_state(t->ssl);
  // The library checks an address literal as an address, and sends no SNI.
  return !verify || X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(t->ssl), BENCH_HOST) == 1;
}

// Everything the session has to send, as it is or as PRELOGIN packets.
bool tls_flush(int fd, tls_conn* t, bool wrapped) {
  std::vector<uint8_t> c(BIO_ctrl_pending(t->out));
  if (c.empty()) return true;
  if (BIO_read(t->out, c.data(), static_cast<int>(c.size())) != static_cast<int>(c.size())) return false;
  if (wrapped) c = frame(TDS_PKT_PRELOGIN, c.data(), c.size());
  return bench::send_all(fd, c.data(), c.size());
}

bool tls_handshake(int fd, tls_conn* t) {
  std::vector<uint8_t> wire;
  for (;;) {
    const int r = SSL_do_handshake(t->ssl);
    if (!tls_flush(fd, t, true)) return false;
    if (r == 1) return true;
    if (SSL_get_error(t->ssl, r) != SSL_ERROR_WANT_READ) return false;
    uint8_t type;
    if (!bench::recv_message(fd, wire, &type)) return false;
    // Each packet's payload, headers dropped.
    for (size_t p = 0; p < wire.size();) {
      const size_t plen = (static_cast<size_t>(wire[p + 2]) << 8) | wire[p + 3];
      BIO_write(t->in, wire.data() + p + HEADER_LEN, static_cast<int>(plen - HEADER_LEN));
      p += plen;
    }
  }
}

// Sends a request inside TLS and reads its answer whole; *got counts the
// plaintext bytes of the answer.
bool tls_exchange(int fd, tls_conn* t, const std::vector<uint8_t>& req, std::vector<uint8_t>& buf,
                  int64_t* got) {
  size_t written = 0;
  if (SSL_write_ex(t->ssl, req.data(), req.size(), &written) != 1 || !tls_flush(fd, t, false))
    return false;
  answer_walk walk;
  for (;;) {
    size_t plain = 0;
    while (SSL_read_ex(t->ssl, buf.data(), buf.size(), &plain) == 1) {
      *got += static_cast<int64_t>(plain);
      const int done = walk.feed(buf.data(), plain);
      if (done != 0) return done > 0;
    }
    if (SSL_get_error(t->ssl, 0) != SSL_ERROR_WANT_READ) return false;
    const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0 || BIO_write(t->in, buf.data(), static_cast<int>(n)) != n) return false;
  }
}

// What was negotiated, for the report: one line on stderr.
void describe(SSL* ssl) {
  const char* group = SSL_group_to_name(ssl, SSL_get_negotiated_group(ssl));
  std::fprintf(stderr, "tls: %s %s %s, %s\n", SSL_get_version(ssl), SSL_get_cipher_name(ssl),
               group != nullptr ? group : "?", OpenSSL_version(OPENSSL_VERSION));
}

int run_tls(int port, const requests& r, int n, const char* ca) {
  SSL_CTX* ctx = tls_context(ca);
  if (ctx == nullptr) return fail("cannot set up TLS (ca file?)");
  const bool verify = std::strcmp(ca, "trust") != 0;
  uint8_t pl[TDS_PRELOGIN_LEN];
  tds_build_prelogin(TDS_PL_ENCRYPT_ON, pl);
  const std::vector<uint8_t> prelogin = frame(TDS_PKT_PRELOGIN, pl, sizeof pl);
  std::vector<uint8_t> buf(1 << 20);
  for (int i = 0; i < n; ++i) {
    int64_t got = 0;
    const int64_t t0 = now_ns();
    const int fd = bench::connect_loopback(port);
    if (fd < 0) return fail("cannot connect");
    tls_conn t;
    if (!exchange(fd, prelogin, buf, &got)) return fail("PRELOGIN exchange failed");
    if (!tls_start(ctx, verify, &t) || !tls_handshake(fd, &t)) return fail("TLS handshake failed");
    if (!tls_exchange(fd, &t, r.login, buf, &got) || !tls_exchange(fd, &t, r.statement, buf, &got))
      return fail("exchange failed");
    if (i == 0) describe(t.ssl);  // the warm-up, which is not counted
    SSL_free(t.ssl);
    close(fd);
    const int64_t t1 = now_ns();
    std::printf("%lld %lld\n", static_cast<long long>(t1 - t0), static_cast<long long>(got));
  }
  SSL_CTX_free(ctx);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return fail("usage: ops_floor PORT test|list|fetch|capture N|DIR [SQL|CA_FILE|trust]");
  const int port = std::atoi(argv[1]);
  const std::string mode = argv[2];
  if (mode == "capture") return capture(port, argv[3]);
  const int n = std::atoi(argv[3]);

  std::vector<uint8_t> buf(1 << 20);
  if (mode == "test" || mode == "list") {
    const requests r = build(mode == "test" ? BENCH_VERSION_SQL : BENCH_LISTING_SQL);
    if (argc >= 5) return run_tls(port, r, n, argv[4]);
    for (int i = 0; i < n; ++i) {
      int64_t got = 0;
      const int64_t t0 = now_ns();
      const int fd = bench::connect_loopback(port);
      if (fd < 0) return fail("cannot connect");
      if (!exchange(fd, r.prelogin, buf, &got) || !exchange(fd, r.login, buf, &got) ||
          !exchange(fd, r.statement, buf, &got))
        return fail("exchange failed");
      close(fd);
      const int64_t t1 = now_ns();
      std::printf("%lld %lld\n", static_cast<long long>(t1 - t0), static_cast<long long>(got));
    }
    return 0;
  }
  if (mode == "fetch" && argc >= 5) {
    const requests r = build(argv[4]);
    const int fd = bench::connect_loopback(port);
    int64_t got = 0;
    if (fd < 0) return fail("cannot connect");
    if (!exchange(fd, r.prelogin, buf, &got) || !exchange(fd, r.login, buf, &got))
      return fail("login exchange failed");
    for (int i = 0; i < n; ++i) {
      got = 0;
      const int64_t t0 = now_ns();
      if (!exchange(fd, r.statement, buf, &got)) return fail("exchange failed");
      const int64_t t1 = now_ns();
      std::printf("%lld %lld\n", static_cast<long long>(t1 - t0), static_cast<long long>(got));
    }
    close(fd);
    return 0;
  }
  return fail("unknown mode");
}
