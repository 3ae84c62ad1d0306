// The simulated server's TLS seen from a raw socket, with OpenSSL as the
// client: the ENCRYPTION answer and what follows it for each pair of
// settings, the handshake wrapped in PRELOGIN packets and the strict one
// with its ALPN rule, the certificate it serves, the handshake faults, and
// the ordinary faults, a backup and its cancel carried inside TLS.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "raw_tds.h"
#include "script_peer.h"
#include "sim_process.h"
#include "tds_client/tds_client.h"
#include "wire.h"

namespace {

using vaultrun_test::SimProcess;
using vaultrun_test::TempDir;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint8_t PRELOGIN = 0x12, REPLY = 0x04, LOGIN7 = 0x10, BATCH = 0x01, ATTENTION = 0x06;
constexpr uint8_t ENC_OFF = 0, ENC_ON = 1, ENC_NOT_SUP = 2, ENC_REQ = 3;
constexpr uint8_t TOKEN_LOGINACK = 0xAD, TOKEN_DONE = 0xFD;
constexpr uint16_t DONE_ATTN = 0x0020;

// The library's PRELOGIN with its ENCRYPTION value replaced.
Bytes prelogin(uint8_t encryption) {
  Bytes p(TDS_PRELOGIN_PAYLOAD, TDS_PRELOGIN_PAYLOAD + TDS_PRELOGIN_LEN);
  for (size_t at = 0; at + 5 <= p.size() && p[at] != 0xFF; at += 5) {
    if (p[at] == 0x01) p[size_t(p[at + 1] << 8 | p[at + 2])] = encryption;
  }
  return p;
}

// The ENCRYPTION value of a PRELOGIN answer; -1 when it has none.
int answered_encryption(const Bytes& p) {
  for (size_t at = 0; at + 5 <= p.size() && p[at] != 0xFF; at += 5) {
    size_t offset = size_t(p[at + 1] << 8 | p[at + 2]);
    if (p[at] == 0x01 && offset < p.size()) return p[offset];
  }
  return -1;
}

Bytes login7() {
  Bytes r(TDS_LOGIN7_MAX);
  r.resize(tds_build_login7("127.0.0.1", "sa", "vaultrun", nullptr, r.data(), r.size()));
  return r;
}

bool has_utf16(const Bytes& b, const std::string& ascii) {
  Bytes u;
  for (char c : ascii) u.insert(u.end(), {uint8_t(c), 0});
  return std::search(b.begin(), b.end(), u.begin(), u.end()) != b.end();
}

bool has_loginack(const Bytes& b) { return !b.empty() && std::find(b.begin(), b.end(), TOKEN_LOGINACK) != b.end(); }

// ---- A TDS client with OpenSSL behind its packets ------------------------------

struct ClientOptions {
  std::string alpn;     // offered in the ClientHello when not empty
  std::string ca_file;  // when set, the certificate must chain to it and name `host`
  std::string host = "localhost";
  bool host_is_ip = false;
  int max_version = 0;
};

enum class Hs { Ok, Failed, Eof };

class Client {
 public:
  Client(int port, const ClientOptions& o = {}) {
    fd_ = vaultrun_test::loopback_connect(port);
    ctx_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    if (o.max_version) SSL_CTX_set_max_proto_version(ctx_, o.max_version);
    if (!o.ca_file.empty()) {
      SSL_CTX_load_verify_locations(ctx_, o.ca_file.c_str(), nullptr);
      SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    }
    ssl_ = SSL_new(ctx_);
    rbio_ = BIO_new(BIO_s_mem());
    wbio_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, rbio_, wbio_);
    SSL_set_connect_state(ssl_);
    if (!o.alpn.empty()) {
      Bytes wire{uint8_t(o.alpn.size())};
      wire.insert(wire.end(), o.alpn.begin(), o.alpn.end());
      SSL_set_alpn_protos(ssl_, wire.data(), unsigned(wire.size()));
    }
    if (!o.ca_file.empty()) {
      X509_VERIFY_PARAM* vp = SSL_get0_param(ssl_);
      if (o.host_is_ip) X509_VERIFY_PARAM_set1_ip_asc(vp, o.host.c_str());
      else X509_VERIFY_PARAM_set1_host(vp, o.host.c_str(), 0);
    }
    ERR_clear_error();
  }
  ~Client() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
    if (fd_ >= 0) ::close(fd_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return fd_ >= 0; }
  SSL* ssl() const { return ssl_; }
  // The reason OpenSSL gave for the last failure.
  int last_reason() const { return reason_; }
  // From now on the packets travel as TLS records, or in clear again.
  void set_tls(bool on) { tls_ = on; }

  // One message as a single packet.
  bool send(uint8_t type, const Bytes& payload) {
    Bytes p = sim::frame_message(type, payload, payload.size() + sim::PACKET_HEADER_LEN, 0);
    return send_bytes(p);
  }

  // Up to n bytes within timeout_ms; fewer when the peer closes or the time is up.
  Bytes read_some(size_t n, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (plain_.size() < n && fill(deadline)) {
    }
    size_t take = std::min(n, plain_.size());
    Bytes out(plain_.begin(), plain_.begin() + long(take));
    plain_.erase(plain_.begin(), plain_.begin() + long(take));
    return out;
  }

  // Packets up to end of message, payloads joined; types gets each packet's type.
  bool read_message(Bytes& payload, std::vector<uint8_t>* types = nullptr, int timeout_ms = 5000) {
    payload.clear();
    for (;;) {
      Bytes h = read_some(8, timeout_ms);
      if (h.size() != 8) return false;
      size_t len = size_t(h[2] << 8 | h[3]);
      if (len < 8) return false;
      Bytes body = read_some(len - 8, timeout_ms);
      if (body.size() != len - 8) return false;
      payload.insert(payload.end(), body.begin(), body.end());
      if (types) types->push_back(h[0]);
      if (h[1] & 0x01) return true;
    }
  }

  bool peer_closed(int timeout_ms = 2000) {
    read_some(1 << 20, timeout_ms);
    return eof_;
  }

  // The handshake inside PRELOGIN packets: each flight of ours one message
  // of type 0x12, each of the server's read as one message; types gets the
  // packet types the server used.
  Hs handshake_wrapped(std::vector<uint8_t>* types = nullptr) {
    for (;;) {
      int r = SSL_do_handshake(ssl_);
      Bytes flight = take_output();
      if (!flight.empty() && !send(PRELOGIN, flight)) return Hs::Eof;
      if (r == 1) break;
      if (SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ) return failed();
      Bytes m;
      if (!read_message(m, types)) return Hs::Eof;
      BIO_write(rbio_, m.data(), int(m.size()));
    }
    tls_ = true;
    return Hs::Ok;
  }

  // The handshake from the first byte, records straight on the socket.
  Hs handshake_strict() {
    for (;;) {
      int r = SSL_do_handshake(ssl_);
      Bytes flight = take_output();
      if (!flight.empty() && !send_raw(flight)) return Hs::Eof;
      if (r == 1) break;
      if (SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ) return failed();
      if (!fill(Clock::now() + std::chrono::seconds(5))) return Hs::Eof;
      BIO_write(rbio_, plain_.data(), int(plain_.size()));
      plain_.clear();
    }
    tls_ = true;
    return Hs::Ok;
  }

 private:
  Hs failed() {
    reason_ = ERR_GET_REASON(ERR_peek_last_error());
    send_raw(take_output());  // the alert, if any
    return Hs::Failed;
  }

  Bytes take_output() {
    Bytes b(BIO_ctrl_pending(wbio_));
    if (!b.empty()) b.resize(size_t(std::max(BIO_read(wbio_, b.data(), int(b.size())), 0)));
    return b;
  }

  bool send_raw(const Bytes& b) {
    return b.empty() || ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size());
  }

  bool send_bytes(const Bytes& b) {
    if (!tls_) return send_raw(b);
    return SSL_write(ssl_, b.data(), int(b.size())) == int(b.size()) && send_raw(take_output());
  }

  // Adds what the next bytes from the socket give to plain_: themselves in
  // clear, what their records decrypt to under TLS (before the handshake
  // ends, the raw bytes). False at the deadline or the end of the stream.
  bool fill(Clock::time_point deadline) {
    int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    pollfd p{fd_, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, left) <= 0) return false;
    uint8_t buf[16384];
    ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
    if (r <= 0) {
      eof_ = true;
      return false;
    }
    if (!tls_) {
      plain_.insert(plain_.end(), buf, buf + r);
      return true;
    }
    BIO_write(rbio_, buf, int(r));
    for (;;) {
      int n = SSL_read(ssl_, buf, sizeof buf);
      if (n <= 0) return SSL_get_error(ssl_, n) == SSL_ERROR_WANT_READ;
      plain_.insert(plain_.end(), buf, buf + n);
    }
  }

  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* rbio_ = nullptr;
  BIO* wbio_ = nullptr;
  bool tls_ = false;
  bool eof_ = false;
  int reason_ = 0;
  Bytes plain_;
};

// PRELOGIN with ENCRYPT_ON, the wrapped handshake and the login inside TLS.
void tls_login(Client& c) {
  ASSERT_TRUE(c.connected());
  ASSERT_TRUE(c.send(PRELOGIN, prelogin(ENC_ON)));
  Bytes r;
  ASSERT_TRUE(c.read_message(r));
  ASSERT_EQ(c.handshake_wrapped(), Hs::Ok);
  ASSERT_TRUE(c.send(LOGIN7, login7()));
  ASSERT_TRUE(c.read_message(r));
  ASSERT_TRUE(has_loginack(r));
}

Bytes exec(Client& c, const std::string& sql) {
  Bytes r;
  EXPECT_TRUE(c.send(BATCH, tds_batch_payload(sql)));
  EXPECT_TRUE(c.read_message(r, nullptr, 15000));
  return r;
}

// ---- Tests ---------------------------------------------------------------------------

// What follows the PRELOGIN answer.
enum class Then { Clear, Tls, TlsLogin, Refused };

TEST(SimTls, EncryptionAnswerAndWhatFollowsDependOnBothSides) {
  const struct {
    const char* setting;
    uint8_t client;
    uint8_t answer;
    Then then;
  } cases[] = {
      {"notsup", ENC_ON, ENC_NOT_SUP, Then::Clear},
      {"off", ENC_NOT_SUP, ENC_OFF, Then::Clear},
      {"off", ENC_OFF, ENC_OFF, Then::TlsLogin},
      {"off", ENC_ON, ENC_ON, Then::Tls},
      {"on", ENC_OFF, ENC_ON, Then::Tls},
      {"on", ENC_ON, ENC_ON, Then::Tls},
      {"on", ENC_NOT_SUP, ENC_ON, Then::Refused},
      {"req", ENC_ON, ENC_REQ, Then::Tls},
      {"req", ENC_REQ, ENC_REQ, Then::Tls},
      {"req", ENC_NOT_SUP, ENC_REQ, Then::Refused},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.setting) + " against client value " + std::to_string(k.client));
    TempDir dir;
    SimProcess sim({"--encryption", k.setting, "--log", dir.file("log")});
    ASSERT_TRUE(sim.ok()) << sim.error();
    Client c(sim.port());
    ASSERT_TRUE(c.send(PRELOGIN, prelogin(k.client)));
    Bytes r;
    std::vector<uint8_t> types;
    ASSERT_TRUE(c.read_message(r, &types));
    EXPECT_EQ(types, std::vector<uint8_t>{REPLY});
    EXPECT_EQ(answered_encryption(r), k.answer);

    if (k.then == Then::Tls || k.then == Then::TlsLogin) {
      ASSERT_EQ(c.handshake_wrapped(), Hs::Ok);
    }
    ASSERT_TRUE(c.send(LOGIN7, login7()));
    if (k.then == Then::TlsLogin) c.set_tls(false);  // the login was all TLS covered
    if (k.then == Then::Refused) {
      EXPECT_TRUE(c.read_some(1, 2000).empty());
      EXPECT_TRUE(c.peer_closed());
      continue;
    }
    ASSERT_TRUE(c.read_message(r));
    EXPECT_TRUE(has_loginack(r));
    EXPECT_TRUE(has_utf16(exec(c, "SELECT @@VERSION"), "16.0.4135.4"));
    auto log = vaultrun_test::read_lines(dir.file("log"));
    bool tls_logged = std::find(log.begin(), log.end(), "TLS established: TLSv1.2") != log.end();
    EXPECT_EQ(tls_logged, k.then != Then::Clear);
  }
}

TEST(SimTls, WrappedFlightsUseTheConfiguredPacketTypeAndVersion) {
  const struct {
    std::vector<std::string> args;
    uint8_t type;
    int version;
    size_t min_packets;  // over both flights
  } cases[] = {
      {{"--encryption", "on"}, PRELOGIN, TLS1_2_VERSION, 2},
      {{"--encryption", "on", "--tls-packet-type", "reply"}, REPLY, TLS1_2_VERSION, 2},
      {{"--encryption", "req", "--tls-wrapped-max", "1.3"}, PRELOGIN, TLS1_3_VERSION, 1},
      {{"--encryption", "req", "--split", "64"}, PRELOGIN, TLS1_2_VERSION, 10},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.args.back());
    SimProcess sim(k.args);
    ASSERT_TRUE(sim.ok()) << sim.error();
    Client c(sim.port());
    ASSERT_TRUE(c.send(PRELOGIN, prelogin(ENC_ON)));
    Bytes r;
    ASSERT_TRUE(c.read_message(r));
    std::vector<uint8_t> types;
    ASSERT_EQ(c.handshake_wrapped(&types), Hs::Ok);
    EXPECT_GE(types.size(), k.min_packets);
    EXPECT_TRUE(std::all_of(types.begin(), types.end(), [&](uint8_t t) { return t == k.type; }));
    EXPECT_EQ(SSL_version(c.ssl()), k.version);
    ASSERT_TRUE(c.send(LOGIN7, login7()));
    ASSERT_TRUE(c.read_message(r));
    EXPECT_TRUE(has_loginack(r));
  }
}

TEST(SimTls, StrictNeedsTheTds8Protocol) {
  const struct {
    const char* alpn;
    bool up;
  } cases[] = {{"tds/8.0", true}, {"", false}, {"h2", false}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.alpn);
    SimProcess sim({"--strict", "--encryption", "req"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    ClientOptions o;
    o.alpn = k.alpn;
    Client c(sim.port(), o);
    ASSERT_TRUE(c.connected());
    if (!k.up) {
      EXPECT_EQ(c.handshake_strict(), Hs::Failed);
      EXPECT_EQ(c.last_reason(), SSL_R_TLSV1_ALERT_NO_APPLICATION_PROTOCOL);
      continue;
    }
    ASSERT_EQ(c.handshake_strict(), Hs::Ok);
    EXPECT_EQ(SSL_version(c.ssl()), TLS1_3_VERSION);
    // PRELOGIN and all after it inside TLS; the answer carries the setting
    // and no second handshake follows, whatever the client announces.
    ASSERT_TRUE(c.send(PRELOGIN, prelogin(ENC_NOT_SUP)));
    Bytes r;
    ASSERT_TRUE(c.read_message(r));
    EXPECT_EQ(answered_encryption(r), ENC_REQ);
    ASSERT_TRUE(c.send(LOGIN7, login7()));
    ASSERT_TRUE(c.read_message(r));
    EXPECT_TRUE(has_loginack(r));
    EXPECT_TRUE(has_utf16(exec(c, "SELECT @@VERSION"), "16.0.4135.4"));
  }
}

// A certificate and key written as PEM, for --tls-cert and --tls-key.
void write_cert_files(const std::string& cert, const std::string& key, const char* name) {
  EVP_PKEY* k = EVP_EC_gen("P-256");
  X509* x = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600);
  X509_set_pubkey(x, k);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
  X509_set_issuer_name(x, X509_get_subject_name(x));
  X509_sign(x, k, EVP_sha256());
  FILE* f = std::fopen(cert.c_str(), "w");
  PEM_write_X509(f, x);
  std::fclose(f);
  f = std::fopen(key.c_str(), "w");
  PEM_write_PrivateKey(f, k, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
  X509_free(x);
  EVP_PKEY_free(k);
}

TEST(SimTls, ServedCertificateVerifiesAgainstItsOwnPem) {
  TempDir dir;
  const std::string out = dir.file("served.pem");
  write_cert_files(dir.file("given.pem"), dir.file("given.key"), "given.test");
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string host;
    bool ip;
    long verify;  // X509_V_OK or the failure the client must see
  } cases[] = {
      {"generated, by name", {}, "localhost", false, X509_V_OK},
      {"generated, by address", {}, "127.0.0.1", true, X509_V_OK},
      {"generated, another name", {}, "db.example", false, X509_V_ERR_HOSTNAME_MISMATCH},
      {"from files", {"--tls-cert", dir.file("given.pem"), "--tls-key", dir.file("given.key")},
       "given.test", false, X509_V_OK},
      {"wrong-name fault", {"--tls-fault", "wrong-name"}, "localhost", false, X509_V_ERR_HOSTNAME_MISMATCH},
      {"wrong-name fault, its own name", {"--tls-fault", "wrong-name"}, "other.example", false, X509_V_OK},
      {"expired fault", {"--tls-fault", "expired"}, "localhost", false, X509_V_ERR_CERT_HAS_EXPIRED},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    std::remove(out.c_str());
    std::vector<std::string> args = {"--encryption", "on", "--tls-cert-out", out};
    args.insert(args.end(), k.args.begin(), k.args.end());
    SimProcess sim(args);
    ASSERT_TRUE(sim.ok()) << sim.error();
    ClientOptions o;
    o.ca_file = out;
    o.host = k.host;
    o.host_is_ip = k.ip;
    Client c(sim.port(), o);
    ASSERT_TRUE(c.send(PRELOGIN, prelogin(ENC_ON)));
    Bytes r;
    ASSERT_TRUE(c.read_message(r));
    EXPECT_EQ(c.handshake_wrapped(), k.verify == X509_V_OK ? Hs::Ok : Hs::Failed);
    EXPECT_EQ(SSL_get_verify_result(c.ssl()), k.verify);
  }
}

TEST(SimTls, StartFailsOnUnusableCertificateFiles) {
  TempDir dir;
  write_cert_files(dir.file("a.pem"), dir.file("a.key"), "a.test");
  write_cert_files(dir.file("b.pem"), dir.file("b.key"), "b.test");
  const std::vector<std::string> cases[] = {
      {"--tls-cert", dir.file("a.pem")},
      {"--tls-key", dir.file("a.key")},
      {"--tls-cert", dir.file("missing.pem"), "--tls-key", dir.file("a.key")},
      {"--tls-cert", dir.file("a.pem"), "--tls-key", dir.file("b.key")},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.back());
    SimProcess sim(args);
    EXPECT_FALSE(sim.ok());
  }
}

TEST(SimTls, HandshakeFaultsBreakTheHandshakeAsNamed) {
  const struct {
    const char* fault;
    bool strict;
    Hs want;
  } cases[] = {
      {"drop", false, Hs::Eof},
      {"drop", true, Hs::Eof},
      {"garbage", false, Hs::Failed},
      {"garbage", true, Hs::Failed},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.fault) + (k.strict ? " strict" : " wrapped"));
    std::vector<std::string> args = {"--encryption", "req", "--tls-fault", k.fault};
    if (k.strict) args.push_back("--strict");
    SimProcess sim(args);
    ASSERT_TRUE(sim.ok()) << sim.error();
    ClientOptions o;
    o.alpn = "tds/8.0";
    Client c(sim.port(), o);
    Hs got;
    if (k.strict) {
      got = c.handshake_strict();
    } else {
      ASSERT_TRUE(c.send(PRELOGIN, prelogin(ENC_ON)));
      Bytes r;
      ASSERT_TRUE(c.read_message(r));
      got = c.handshake_wrapped();
    }
    EXPECT_EQ(got, k.want);
    // Garbage is no record, and the server waits for the client to give up;
    // a dropped handshake ends the connection.
    if (k.want == Hs::Failed) {
      EXPECT_EQ(c.last_reason(), SSL_R_WRONG_VERSION_NUMBER);
    } else {
      EXPECT_TRUE(c.peer_closed());
    }
  }
}

TEST(SimTls, ResponseFaultsHitThePacketsInsideTls) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::function<void(Client&)> check;
  } cases[] = {
      {"close after 30 bytes of the batch answer", {"--fault-on", "batch", "--close-after", "30"},
       [](Client& c) {
         ASSERT_TRUE(c.send(BATCH, tds_batch_payload("SELECT @@VERSION")));
         EXPECT_EQ(c.read_some(1000, 2000).size(), 30u);
         EXPECT_TRUE(c.peer_closed());
       }},
      {"bad length", {"--fault-on", "batch", "--bad-length"},
       [](Client& c) {
         ASSERT_TRUE(c.send(BATCH, tds_batch_payload("SELECT @@VERSION")));
         Bytes h = c.read_some(8, 2000);
         ASSERT_EQ(h.size(), 8u);
         EXPECT_EQ(h[2] << 8 | h[3], 4);
       }},
      {"silent", {"--fault-on", "batch", "--silent"},
       [](Client& c) {
         ASSERT_TRUE(c.send(BATCH, tds_batch_payload("SELECT @@VERSION")));
         EXPECT_TRUE(c.read_some(1, 300).empty());
         EXPECT_FALSE(c.peer_closed(100));
       }},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    std::vector<std::string> args = {"--encryption", "req"};
    args.insert(args.end(), k.args.begin(), k.args.end());
    SimProcess sim(args);
    ASSERT_TRUE(sim.ok()) << sim.error();
    Client c(sim.port());
    ASSERT_NO_FATAL_FAILURE(tls_login(c));
    k.check(c);
  }
}

// Progress arrives while the backup runs, in packets split small, and an
// attention inside TLS stops it; the log still shows the statements.
TEST(SimTls, BackupProgressAndAttentionTravelInsideTls) {
  TempDir dir;
  SimProcess sim({"--encryption", "req", "--split", "64", "--backup-ms", "3000", "--log", dir.file("log")});
  ASSERT_TRUE(sim.ok()) << sim.error();
  Client c(sim.port());
  ASSERT_NO_FATAL_FAILURE(tls_login(c));
  const std::string sql = "BACKUP DATABASE [hr] TO DISK = N'" + dir.file("hr.bak") + "' WITH STATS = 10";
  ASSERT_TRUE(c.send(BATCH, tds_batch_payload(sql)));

  // The first progress message: packets of at most 64 bytes, no end of message yet.
  Bytes progress;
  while (!has_utf16(progress, "10 percent processed.")) {
    Bytes h = c.read_some(8, 5000);
    ASSERT_EQ(h.size(), 8u);
    size_t len = size_t(h[2] << 8 | h[3]);
    ASSERT_LE(len, 64u);
    ASSERT_EQ(h[1] & 0x01, 0);
    Bytes body = c.read_some(len - 8, 5000);
    progress.insert(progress.end(), body.begin(), body.end());
  }
  ASSERT_TRUE(c.send(ATTENTION, {}));
  Bytes r, ack;
  ASSERT_TRUE(c.read_message(r));  // the interrupted answer's end
  ASSERT_TRUE(c.read_message(ack));
  ASSERT_GE(ack.size(), 3u);
  EXPECT_EQ(ack[0], TOKEN_DONE);
  EXPECT_TRUE((ack[1] | ack[2] << 8) & DONE_ATTN);
  EXPECT_TRUE(has_utf16(exec(c, "SELECT @@VERSION"), "16.0.4135.4"));

  auto log = vaultrun_test::read_lines(dir.file("log"));
  EXPECT_EQ(log, (std::vector<std::string>{"TLS established: TLSv1.2", sql, "ATTENTION", "SELECT @@VERSION"}));
}

}  // namespace
