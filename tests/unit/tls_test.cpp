// The TLS layer against an in-process server over memory (certificate
// checks, ALPN), and tds_connect over loopback in both forms of encryption:
// the login inside TLS, the refusals, a handshake cut short or answered with
// garbage, and reads that find their bytes already decrypted.
#include <gtest/gtest.h>

#include <openssl/err.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "script_peer.h"
#include "tds_client/tds_client.h"
#include "tls_peer.h"

namespace {

// ---- The layer over memory --------------------------------------------------------

struct MemServer {
  SSL* ssl;
  BIO* in;
  BIO* out;
  explicit MemServer(SSL_CTX* ctx) : ssl(SSL_new(ctx)), in(BIO_new(BIO_s_mem())), out(BIO_new(BIO_s_mem())) {
    BIO_set_mem_eof_return(in, -1);
    SSL_set_bio(ssl, in, out);
    SSL_set_accept_state(ssl);
  }
  ~MemServer() { SSL_free(ssl); }
};

// Runs both sides until the client's handshake ends; the client's result,
// with its text in err.
int handshake_over_memory(tds_tls* client, MemServer* server, char* err) {
  uint8_t buf[16384];
  for (int round = 0; round < 20; ++round) {
    const int step = tds_tls_handshake(client, err);
    for (size_t n; (n = tds_tls_take(client, buf, sizeof buf)) > 0;) BIO_write(server->in, buf, static_cast<int>(n));
    if (step != TDS_TLS_WANT_INPUT) return step;
    SSL_do_handshake(server->ssl);
    ERR_clear_error();
    for (int n; (n = BIO_read(server->out, buf, sizeof buf)) > 0;) tds_tls_feed(client, buf, static_cast<size_t>(n));
  }
  return TDS_TLS_WANT_INPUT;
}

struct layer_case {
  const char* name;
  ServerSetup server;
  uint8_t mode;
  bool trust;
  bool own_ca;            // ca_file: the test CA (else the system's store)
  const char* check;      // the name the client checks
  const char* want;       // "" for a handshake that succeeds, else the start of the text
};

TEST(TlsLayer, HandshakeAndCertificateChecks) {
  const layer_case cases[] = {
      {"trusted by ca_file", {}, TDS_ENCRYPT_ON, false, true, "localhost", ""},
      {"TLS 1.2 server", {{}, false, true}, TDS_ENCRYPT_ON, false, true, "localhost", ""},
      {"IP literal checked as an address", {}, TDS_ENCRYPT_ON, false, true, "127.0.0.1", ""},
      {"name of another host", {}, TDS_ENCRYPT_ON, false, true, "db.example.com",
       "server certificate does not match db.example.com"},
      {"address of another host", {}, TDS_ENCRYPT_ON, false, true, "10.1.2.3",
       "server certificate does not match 10.1.2.3"},
      {"expired", {{"localhost", "127.0.0.1", true, false}}, TDS_ENCRYPT_ON, false, true, "localhost",
       "server certificate not trusted: certificate has expired"},
      {"self-signed", {{"localhost", "127.0.0.1", false, true}}, TDS_ENCRYPT_ON, false, true, "localhost",
       "server certificate not trusted: self-signed certificate"},
      {"test CA not in the system's store", {}, TDS_ENCRYPT_ON, false, false, "localhost",
       "server certificate not trusted: "},
      {"self-signed, trusted on request", {{"other", "", false, true}}, TDS_ENCRYPT_ON, true, false,
       "localhost", ""},
      {"expired, trusted on request", {{"localhost", "", true, false}}, TDS_ENCRYPT_ON, true, false,
       "localhost", ""},
      {"strict with tds/8.0 selected", {{}, true, false}, TDS_ENCRYPT_STRICT, false, true, "localhost", ""},
      {"strict, server without ALPN", {}, TDS_ENCRYPT_STRICT, false, true, "localhost",
       "server did not select the tds/8.0 protocol"},
      {"strict, certificate still checked", {{"other", "", false, false}, true, false}, TDS_ENCRYPT_STRICT,
       false, true, "localhost", "server certificate does not match localhost"},
  };
  for (const layer_case& c : cases) {
    SCOPED_TRACE(c.name);
    SSL_CTX* ctx = test_ca().server_ctx(c.server);
    MemServer server(ctx);
    char err[TDS_ERR_SIZE] = "";
    const tds_tls_opts o{c.mode, c.trust, c.own_ca ? test_ca().pem_path().c_str() : nullptr, c.check};
    tds_tls* t = tds_tls_new(&o, err);
    ASSERT_NE(t, nullptr) << err;
    const int step = handshake_over_memory(t, &server, err);
    if (c.want[0] == 0) {
      EXPECT_EQ(step, TDS_TLS_DONE) << err;
      // Plaintext both ways once done.
      const uint8_t hello[] = "hello";
      ASSERT_EQ(tds_tls_write(t, hello, 5, err), 0);
      uint8_t buf[4096];
      const size_t n = tds_tls_take(t, buf, sizeof buf);
      BIO_write(server.in, buf, static_cast<int>(n));
      char got[8] = "";
      EXPECT_EQ(SSL_read(server.ssl, got, sizeof got), 5);
      EXPECT_EQ(std::string(got, 5), "hello");
      EXPECT_EQ(tds_tls_read(t, buf, sizeof buf, err), 0);  // nothing yet: wants ciphertext
    } else {
      EXPECT_EQ(step, TDS_TLS_FAILED);
      EXPECT_EQ(std::string(err).rfind(c.want, 0), 0u) << err;
    }
    tds_tls_free(t);
    SSL_CTX_free(ctx);
  }
}

TEST(TlsLayer, SetupRefusals) {
  char err[TDS_ERR_SIZE] = "";
  char no_pem[] = "/tmp/vaultrun-nopem-XXXXXX";
  const int fd = mkstemp(no_pem);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "not a certificate\n", 18), 18);
  close(fd);
  for (const char* path : {"/nonexistent/roots.pem", "/tmp", static_cast<const char*>(no_pem)}) {
    SCOPED_TRACE(path);
    const tds_tls_opts o{TDS_ENCRYPT_ON, false, path, "localhost"};
    EXPECT_EQ(tds_tls_new(&o, err), nullptr);
    EXPECT_STREQ(err, "cannot read ca_file");
  }
  unlink(no_pem);
  const tds_tls_opts no_name{TDS_ENCRYPT_ON, false, nullptr, ""};
  EXPECT_EQ(tds_tls_new(&no_name, err), nullptr);
  EXPECT_STREQ(err, "no host name to check the server certificate against");
}

TEST(TlsLayer, GarbageInsteadOfAHandshakeFails) {
  char err[TDS_ERR_SIZE] = "";
  const tds_tls_opts o{TDS_ENCRYPT_ON, true, nullptr, "localhost"};
  tds_tls* t = tds_tls_new(&o, err);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tds_tls_handshake(t, err), TDS_TLS_WANT_INPUT);
  EXPECT_GT(tds_tls_pending(t), 0u);  // the ClientHello
  const uint8_t junk[] = "HTTP/1.1 400 Bad Request\r\n\r\n";
  ASSERT_TRUE(tds_tls_feed(t, junk, sizeof junk - 1));
  EXPECT_EQ(tds_tls_handshake(t, err), TDS_TLS_FAILED);
  EXPECT_EQ(std::string(err).rfind("TLS handshake failed: ", 0), 0u) << err;
  tds_tls_free(t);
}

// Sessions share their context between connections with the same setting;
// what a ca_file says must still hold for each new session.

std::string file_text(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    std::fclose(f);
  }
  return text;
}

void write_file(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), f), text.size());
  std::fclose(f);
}

// A handshake against a server whose certificate the test CA signed: "" when
// it succeeds, else the failure text (of the setup or of the handshake).
std::string session_result(SSL_CTX* server_ctx, const tds_tls_opts& o) {
  char err[TDS_ERR_SIZE] = "";
  tds_tls* t = tds_tls_new(&o, err);
  if (t == nullptr) return err;
  MemServer server(server_ctx);
  const int step = handshake_over_memory(t, &server, err);
  tds_tls_free(t);
  return step == TDS_TLS_DONE ? "" : err;
}

TEST(TlsLayer, CaFileIsReadAgainForEachSession) {
  SSL_CTX* server_ctx = test_ca().server_ctx({});
  const TestCa other;  // a root that did not sign the server's certificate
  char path[] = "/tmp/vaultrun-roots-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  const tds_tls_opts o{TDS_ENCRYPT_ON, false, path, "localhost"};
  const std::string padding(1u << 20, '#');  // text before the root, too much to keep a copy of
  const struct {
    const char* name;
    std::string contents;  // written to the ca_file before the session
    const char* want;      // "" for success, else the start of the text
  } steps[] = {
      {"the signing root", file_text(test_ca().pem_path()), ""},
      {"the same root again", file_text(test_ca().pem_path()), ""},
      {"replaced by another root", file_text(other.pem_path()), "server certificate not trusted: "},
      {"replaced by text that is no certificate", "not a certificate\n", "cannot read ca_file"},
      {"the signing root back", file_text(test_ca().pem_path()), ""},
      {"emptied", "", "cannot read ca_file"},
      {"a large file ending with the root", padding + "\n" + file_text(test_ca().pem_path()), ""},
      {"a large file with no root", padding + "\n", "cannot read ca_file"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    write_file(path, step.contents);
    const std::string got = session_result(server_ctx, o);
    EXPECT_EQ(got.rfind(step.want, 0), 0u) << got;
  }
  unlink(path);
  EXPECT_EQ(session_result(server_ctx, o), "cannot read ca_file");
  SSL_CTX_free(server_ctx);
}

// More settings than contexts are kept, used from several threads at once,
// so entries are replaced while sessions made from them still run.
TEST(TlsLayer, SessionsOfManySettingsAtOnce) {
  SSL_CTX* server_ctx = test_ca().server_ctx({});
  std::string copies[3];
  for (std::string& c : copies) {
    char path[] = "/tmp/vaultrun-roots-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    c = path;
    write_file(c, file_text(test_ca().pem_path()));
  }
  const TestCa other;
  const struct {
    tds_tls_opts o;
    const char* want;
  } settings[] = {
      {{TDS_ENCRYPT_ON, false, copies[0].c_str(), "localhost"}, ""},
      {{TDS_ENCRYPT_ON, true, nullptr, "localhost"}, ""},
      {{TDS_ENCRYPT_ON, false, copies[1].c_str(), "127.0.0.1"}, ""},
      {{TDS_ENCRYPT_ON, false, other.pem_path().c_str(), "localhost"}, "server certificate not trusted: "},
      {{TDS_ENCRYPT_ON, false, copies[2].c_str(), "localhost"}, ""},
      {{TDS_ENCRYPT_ON, false, nullptr, "localhost"}, "server certificate not trusted: "},
  };
  std::atomic<int> wrong{0};
  std::thread threads[4];
  for (int k = 0; k < 4; ++k) {
    threads[k] = std::thread([&, k] {
      for (int i = 0; i < 24; ++i) {
        const auto& s = settings[(i + k) % 6];
        if (session_result(server_ctx, s.o).rfind(s.want, 0) != 0) ++wrong;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  for (const std::string& c : copies) unlink(c.c_str());
  SSL_CTX_free(server_ctx);
}

// ---- tds_connect over loopback -------------------------------------------------------

constexpr const char* PASSWORD = "S3cret-Pa55";

bytes masked_password() {
  bytes m = utf16le(PASSWORD);
  for (uint8_t& b : m) b = static_cast<uint8_t>(((b << 4) | (b >> 4)) ^ 0xA5);
  return m;
}

bool contains(const bytes& hay, const bytes& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

tds_connect_opts encrypted(uint8_t mode, int64_t timeout_ms = 10000) {
  tds_connect_opts o{nullptr, timeout_ms};
  o.encrypt = mode;
  o.ca_file = test_ca().pem_path().c_str();
  return o;
}

TEST(TlsConnect, LoginTravelsOnlyInsideTls) {
  struct {
    const char* name;
    bool strict;
    uint8_t encryption;  // the server's PRELOGIN answer
    uint8_t reply_type;  // packet type of its handshake data
    uint8_t sent;        // the ENCRYPTION value the client's PRELOGIN must carry
  } cases[] = {
      {"wrapped, server ON", false, 0x01, 0x12, TDS_PL_ENCRYPT_ON},
      {"wrapped, server REQ, replies of type 0x04", false, 0x03, 0x04, TDS_PL_ENCRYPT_ON},
      {"strict", true, 0x02, 0x04, TDS_PL_ENCRYPT_STRICT},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    TlsPeer::Script s;
    s.server.alpn_tds8 = c.strict;
    s.strict = c.strict;
    s.encryption = c.encryption;
    s.reply_type = c.reply_type;
    TlsPeer peer(s);
    tds_conn conn;
    const tds_connect_opts o = encrypted(c.strict ? TDS_ENCRYPT_STRICT : TDS_ENCRYPT_ON);
    ASSERT_EQ(tds_connect(&conn, "localhost", peer.port(), "sa", PASSWORD, nullptr, &o), 0) << conn.err;
    tds_close(&conn);
    ASSERT_TRUE(peer.wait_done());
    EXPECT_EQ(peer.failure(), "");

    // The PRELOGIN as sent: the clear one on the wire, the strict one inside TLS.
    uint8_t payload[TDS_PRELOGIN_LEN];
    tds_build_prelogin(c.sent, payload);
    const bytes prelogin = tds_message(TDS_PKT_PRELOGIN, bytes(payload, payload + TDS_PRELOGIN_LEN));
    const bytes wire = peer.wire();
    const std::vector<bytes> requests = peer.requests();
    if (c.strict) {
      ASSERT_EQ(requests.size(), 2u);
      EXPECT_EQ(requests[0], prelogin) << hex(requests[0]);
    } else {
      ASSERT_EQ(requests.size(), 1u);
      ASSERT_GE(wire.size(), prelogin.size());
      EXPECT_EQ(bytes(wire.begin(), wire.begin() + prelogin.size()), prelogin);
    }
    // The LOGIN7 reached the server with the masked password; the wire
    // carried neither form of it.
    EXPECT_EQ(requests.back()[0], TDS_PKT_LOGIN7);
    EXPECT_TRUE(contains(requests.back(), masked_password()));
    EXPECT_FALSE(contains(wire, masked_password()));
    EXPECT_FALSE(contains(wire, utf16le(PASSWORD)));
    EXPECT_FALSE(contains(wire, bytes(PASSWORD, PASSWORD + std::strlen(PASSWORD))));
  }
}

TEST(TlsConnect, PreloginPayloadForEncryptTrue) {
  // VERSION and ENCRYPTION as in the clear payload, ENCRYPTION 0x01.
  const uint8_t want[TDS_PRELOGIN_LEN] = {0x00, 0x00, 0x0B, 0x00, 0x06, 0x01, 0x00, 0x11, 0x00,
                                          0x01, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
  uint8_t got[TDS_PRELOGIN_LEN];
  tds_build_prelogin(TDS_PL_ENCRYPT_ON, got);
  EXPECT_EQ(bytes(got, got + TDS_PRELOGIN_LEN), bytes(want, want + TDS_PRELOGIN_LEN));
  tds_build_prelogin(TDS_PL_ENCRYPT_NOT_SUP, got);
  EXPECT_EQ(std::memcmp(got, TDS_PRELOGIN_PAYLOAD, TDS_PRELOGIN_LEN), 0);
}

// Servers that cannot give a fully encrypted connection, and handshakes
// that break: each fails with its own text and never falls back.
TEST(TlsConnect, RefusalsAndBrokenHandshakes) {
  const bytes prelogin_on = tds_message(0x04, tds_prelogin_answer(0x01));
  struct {
    const char* name;
    uint8_t mode;
    std::function<void(ScriptPeer&)> script;
    const char* want;  // the start of the text
  } cases[] = {
      {"server without encryption", TDS_ENCRYPT_ON,
       [](ScriptPeer& p) { p.read_message().send(tds_message(0x04, tds_prelogin_answer(0x02))); },
       "server does not support encryption"},
      {"server answering without an ENCRYPTION option", TDS_ENCRYPT_ON,
       [](ScriptPeer& p) { p.read_message().send(tds_message(0x04, {0xFF})); },
       "server does not support encryption"},
      {"server offering the login only", TDS_ENCRYPT_ON,
       [](ScriptPeer& p) { p.read_message().send(tds_message(0x04, tds_prelogin_answer(0x00))); },
       "server offers encryption for the login only; refusing to continue in clear text"},
      {"dropped in the middle of the handshake", TDS_ENCRYPT_ON,
       [&](ScriptPeer& p) { p.read_message().send(prelogin_on).read_message().close(); },
       "TLS handshake failed: "},
      {"garbage instead of handshake data", TDS_ENCRYPT_ON,
       [&](ScriptPeer& p) {
         p.read_message().send(prelogin_on).read_message().send(
             tds_message(0x12, bytes(64, 0x5A)));
       },
       "TLS handshake failed: "},
      {"silent after the ClientHello", TDS_ENCRYPT_ON,
       [&](ScriptPeer& p) { p.read_message().send(prelogin_on).read_message().pause(3000); },
       "login timed out"},
      // Strict: the ClientHello is the first thing on the wire.
      {"strict, dropped after the ClientHello", TDS_ENCRYPT_STRICT,
       [](ScriptPeer& p) { p.read(5).close(); }, "TLS handshake failed: "},
      {"strict, a TDS answer instead of TLS", TDS_ENCRYPT_STRICT,
       [](ScriptPeer& p) { p.read(5).send(tds_message(0x04, tds_prelogin_answer(0x00))); },
       "TLS handshake failed: "},
      {"strict, silent", TDS_ENCRYPT_STRICT, [](ScriptPeer& p) { p.read(5).pause(3000); },
       "login timed out"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptPeer peer;
    c.script(peer);
    peer.start();
    tds_conn conn;
    const tds_connect_opts o = encrypted(c.mode, 1000);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(tds_connect(&conn, "localhost", peer.port(), "sa", PASSWORD, nullptr, &o), -1);
    EXPECT_EQ(std::string(conn.err).rfind(c.want, 0), 0u) << conn.err;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(conn.tls, nullptr);
    EXPECT_FALSE(contains(peer.received(), masked_password()));
  }
}

TEST(TlsConnect, CancelDuringTheHandshake) {
  ScriptPeer peer;
  peer.read_message().send(tds_message(0x04, tds_prelogin_answer(0x01))).read_message().pause(5000);
  peer.start();
  std::atomic<int32_t> flag{0};
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    flag = 1;
  });
  tds_conn conn;
  tds_connect_opts o = encrypted(TDS_ENCRYPT_ON, 0);
  o.cancel_flag = &flag;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(tds_connect(&conn, "localhost", peer.port(), "sa", PASSWORD, nullptr, &o), -1);
  EXPECT_STREQ(conn.err, "cancelled");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  canceller.join();
}

TEST(TlsConnect, ConfigurationsRefusedBeforeConnecting) {
  // A closed port shows nothing was attempted: the refusal is not "connect failed".
  const int port = closed_port();
  tds_conn conn;
  tds_connect_opts strict_trust = encrypted(TDS_ENCRYPT_STRICT);
  strict_trust.trust_server_certificate = true;
  EXPECT_EQ(tds_connect(&conn, "localhost", port, "sa", PASSWORD, nullptr, &strict_trust), -1);
  EXPECT_STREQ(conn.err, "trust_server_certificate cannot be used with strict encryption");
  tds_connect_opts bad_ca = encrypted(TDS_ENCRYPT_ON);
  bad_ca.ca_file = "/nonexistent/roots.pem";
  EXPECT_EQ(tds_connect(&conn, "localhost", port, "sa", PASSWORD, nullptr, &bad_ca), -1);
  EXPECT_STREQ(conn.err, "cannot read ca_file");
}

TEST(TlsConnect, CertificateCheckedAgainstTheNameGiven) {
  TlsPeer::Script s;
  s.server.cert.dns = "db.internal";
  s.server.cert.ip = "";
  {
    TlsPeer peer(s);
    tds_conn conn;
    const tds_connect_opts o = encrypted(TDS_ENCRYPT_ON);
    EXPECT_EQ(tds_connect(&conn, "127.0.0.1", peer.port(), "sa", PASSWORD, nullptr, &o), -1);
    EXPECT_STREQ(conn.err, "server certificate does not match 127.0.0.1");
  }
  TlsPeer peer(s);
  tds_conn conn;
  tds_connect_opts o = encrypted(TDS_ENCRYPT_ON);
  o.host_name_in_certificate = "db.internal";
  EXPECT_EQ(tds_connect(&conn, "127.0.0.1", peer.port(), "sa", PASSWORD, nullptr, &o), 0) << conn.err;
  tds_close(&conn);
}

// ---- Reads once logged in -------------------------------------------------------------

struct infos {
  std::vector<std::string> texts;
  std::atomic<int32_t>* cancel = nullptr;
};

void collect(void* ctx, int32_t, const char* text) {
  auto* i = static_cast<infos*>(ctx);
  i->texts.push_back(text);
  if (i->cancel != nullptr) i->cancel->store(1);
}

bytes info_tokens(int n) {
  bytes all;
  for (int i = 0; i < n; ++i) {
    const bytes t = tds_msg_token(0xAB, 5701, 0, "message " + std::to_string(i));
    all.insert(all.end(), t.begin(), t.end());
  }
  return all;
}

// A whole answer in one TLS write, cut into tiny packets, then silence: the
// client must take every packet from what the session already decrypted,
// not wait on a socket that will never announce them.
TEST(TlsConnect, AnswerAlreadyDecryptedIsReadWithoutWaiting) {
  TlsPeer::Script s;
  s.answers.push_back(tds_message(0x04, cat({info_tokens(200), tds_done_token(0)}), 16));
  TlsPeer peer(s);
  tds_conn conn;
  const tds_connect_opts o = encrypted(TDS_ENCRYPT_ON);
  ASSERT_EQ(tds_connect(&conn, "localhost", peer.port(), "sa", PASSWORD, nullptr, &o), 0) << conn.err;
  infos seen;
  conn.info_cb = collect;
  conn.info_ctx = &seen;
  conn.query_timeout_ms = 4000;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(tds_exec(&conn, "PRINT 1", nullptr, nullptr, 0), 0) << conn.err;
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  EXPECT_EQ(seen.texts.size(), 200u);
  tds_close(&conn);
}

// A cancel in the middle of an encrypted answer: the ATTENTION goes inside
// TLS and its acknowledgement is read through the session.
TEST(TlsConnect, CancelSendsAttentionInsideTls) {
  TlsPeer::Script s;
  bytes partial = tds_message(0x04, info_tokens(3), 4088);
  partial[1] = 0;  // the answer goes on: no end of message
  s.answers.push_back(partial);
  TlsPeer peer(s);
  tds_conn conn;
  const tds_connect_opts o = encrypted(TDS_ENCRYPT_ON);
  ASSERT_EQ(tds_connect(&conn, "localhost", peer.port(), "sa", PASSWORD, nullptr, &o), 0) << conn.err;
  std::atomic<int32_t> flag{0};
  infos seen;
  seen.cancel = &flag;
  conn.info_cb = collect;
  conn.info_ctx = &seen;
  conn.cancel_flag = &flag;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(tds_exec(&conn, "BACKUP", nullptr, nullptr, 0), -1);
  EXPECT_STREQ(conn.err, "cancelled");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  tds_close(&conn);
  ASSERT_TRUE(peer.wait_done());
  const std::vector<bytes> requests = peer.requests();
  ASSERT_EQ(requests.size(), 3u);  // LOGIN7, the batch, the attention
  EXPECT_EQ(requests[2], tds_message(TDS_PKT_ATTENTION, {}));
}

}  // namespace
