// PRELOGIN and LOGIN7 bytes, the PRELOGIN answer and login-response walks on
// fixtures, and tds_connect against a scripted peer over loopback: success,
// every failure, time-outs and cancel, and the state each failure leaves.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "script_peer.h"
#include "tds_client/tds_client.h"

namespace {

using clock_type = std::chrono::steady_clock;

int64_t ms_since(clock_type::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t).count();
}

const char* const kEncryptionText =
    "server requires encryption (TLS) - not supported; disable Force Encryption";

// A failed connect leaves nothing that needs releasing, only its text.
void expect_released(const tds_conn& c) {
  EXPECT_EQ(c.sock, PLAT_INVALID_SOCKET);
  EXPECT_EQ(c.rbuf, nullptr);
  EXPECT_EQ(c.rcap, 0u);
  EXPECT_EQ(c.rlen, 0u);
  EXPECT_EQ(c.cancel_flag, nullptr);
  EXPECT_EQ(c.deadline_ms, 0);
  EXPECT_NE(c.err[0], 0) << "a failure always leaves a text";
}

uint16_t le16_at(const bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }

// ---- PRELOGIN and LOGIN7 bytes -------------------------------------------------

TEST(Prelogin, PayloadBytes) {
  const bytes want = {0x00, 0x00, 0x0B, 0x00, 0x06, 0x01, 0x00, 0x11, 0x00,
                      0x01, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02};
  EXPECT_EQ(bytes(TDS_PRELOGIN_PAYLOAD, TDS_PRELOGIN_PAYLOAD + TDS_PRELOGIN_LEN), want);
}

// host "db1", user "sa", empty password, no database.
const bytes kLogin7Example = cat({
    {0xB6, 0x00, 0x00, 0x00,  // Length 182
     0x04, 0x00, 0x00, 0x74,  // TDS 7.4
     0x00, 0x10, 0x00, 0x00,  // PacketSize 4096
     0, 0, 0, 0,              // ClientProgVer
     0, 0, 0, 0,              // ClientPID
     0, 0, 0, 0,              // ConnectionID
     0xE0, 0x03, 0x00, 0x00,  // OptionFlags1, OptionFlags2, TypeFlags, OptionFlags3
     0, 0, 0, 0,              // ClientTimeZone
     0, 0, 0, 0,              // ClientLCID
     94, 0, 5, 0,             // HostName
     104, 0, 2, 0,            // UserName
     108, 0, 0, 0,            // Password
     108, 0, 17, 0,           // AppName
     142, 0, 3, 0,            // ServerName
     148, 0, 0, 0,            // Extension
     148, 0, 17, 0,           // CltIntName
     182, 0, 0, 0,            // Language
     182, 0, 0, 0,            // Database
     1, 2, 3, 4, 5, 6,        // ClientID
     182, 0, 0, 0,            // SSPI
     182, 0, 0, 0,            // AtchDBFile
     182, 0, 0, 0,            // ChangePassword
     0, 0, 0, 0},             // cbSSPILong
    utf16le("kvcli"), utf16le("sa"), utf16le("kestrova-vaultrun"), utf16le("db1"),
    utf16le("kestrova-vaultrun"),
});

TEST(Login7, ExampleRecordByteForByte) {
  ASSERT_EQ(kLogin7Example.size(), 182u);
  bytes out(TDS_LOGIN7_MAX, 0xEE);
  uint64_t n = tds_build_login7("db1", "sa", "", nullptr, out.data(), out.size());
  out.resize(n);
  EXPECT_EQ(out, kLogin7Example) << "got\n" << hex(out) << "\nwant\n" << hex(kLogin7Example);
  // An empty database is the same as none.
  bytes again(TDS_LOGIN7_MAX);
  again.resize(tds_build_login7("db1", "sa", "", "", again.data(), again.size()));
  EXPECT_EQ(again, kLogin7Example);
}

TEST(Login7, PasswordDatabaseAndCapacities) {
  const std::string server(200, 's');
  bytes out(TDS_LOGIN7_MAX);
  uint64_t n = tds_build_login7(server.c_str(), "user", "a\xE2\x82\xAC", "db", out.data(), out.size());
  out.resize(n);
  // Password "a€": units 0061 20AC; each byte nibble-swapped, then XOR 0xA5.
  const uint16_t pw_at = le16_at(out, 44);
  EXPECT_EQ(le16_at(out, 46), 2);
  EXPECT_EQ(bytes(out.begin() + pw_at, out.begin() + pw_at + 4), (bytes{0xB3, 0xA5, 0x6F, 0xA7}));
  // The server name is cut to 128 code units; the database follows CltIntName.
  EXPECT_EQ(le16_at(out, 54), 128);
  EXPECT_EQ(le16_at(out, 70), 2);
  EXPECT_EQ(le16_at(out, 68), le16_at(out, 64));
  EXPECT_EQ(le16_at(out, 60) + 34, le16_at(out, 68));
  EXPECT_EQ(bytes(out.begin() + le16_at(out, 68), out.begin() + le16_at(out, 68) + 4), utf16le("db"));
  EXPECT_EQ(le16_at(out, 78), n);
  EXPECT_EQ(out[0] | (out[1] << 8), static_cast<int>(n));
  EXPECT_EQ(n, 94u + 10 + 8 + 4 + 256 + 4 + 2 * 34);

  // Longest fields at their capacities still fit the declared maximum.
  const std::string long_name(400, 'n'), long_pw(400, 'p');
  bytes big(TDS_LOGIN7_MAX);
  uint64_t m = tds_build_login7(long_name.c_str(), long_name.c_str(), long_pw.c_str(),
                                long_name.c_str(), big.data(), big.size());
  EXPECT_EQ(m, 94u + 10 + 256 + 512 + 34 + 256 + 34 + 256);
  EXPECT_EQ(tds_build_login7("db1", "sa", "", nullptr, big.data(), 181), 0u) << "too small";
}

// ---- PRELOGIN answer -----------------------------------------------------------

struct prelogin_case {
  const char* name;
  bytes answer;
  int want;
};

TEST(PreloginAnswer, EncryptionValue) {
  const prelogin_case cases[] = {
      {"off", tds_prelogin_answer(0x00), 0x00},
      {"on", tds_prelogin_answer(0x01), 0x01},
      {"not supported", tds_prelogin_answer(0x02), 0x02},
      {"required", tds_prelogin_answer(0x03), 0x03},
      {"other value", tds_prelogin_answer(0x81), 0x81},
      {"empty", {}, -1},
      {"4 bytes are not examined", {0x01, 0x00, 0x00, 0x00}, -1},
      {"5 bytes: one entry pointing at itself", {0x01, 0x00, 0x00, 0x00, 0x01}, 0x01},
      {"no ENCRYPTION entry", {0x00, 0x00, 0x06, 0x00, 0x01, 0xFF, 0x09}, -1},
      {"the later of two entries wins",
       {0x01, 0x00, 0x0B, 0x00, 0x01, 0x01, 0x00, 0x0C, 0x00, 0x01, 0xFF, 0x03, 0x00}, 0x00},
      {"data length 0 is ignored",
       {0x01, 0x00, 0x0B, 0x00, 0x01, 0x01, 0x00, 0x0C, 0x00, 0x00, 0xFF, 0x03, 0x00}, 0x03},
      {"offset at the end is ignored", {0x01, 0x00, 0x06, 0x00, 0x01, 0xFF}, -1},
      {"offset beyond the end is ignored", {0x01, 0xFF, 0xFF, 0x00, 0x01, 0xFF}, -1},
      {"entries after the terminator are not read",
       {0xFF, 0x01, 0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01}, -1},
      {"a cut entry is not read", {0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}, -1},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    EXPECT_EQ(tds_prelogin_encryption(tc.answer.data(), tc.answer.size()), tc.want);
  }
}

// ---- Login response walk ---------------------------------------------------------

struct walk_case {
  const char* name;
  bytes data;
  int want;
  std::string err;
};

bytes raw_token(uint8_t type, const bytes& body) {
  bytes t = {type, static_cast<uint8_t>(body.size()), static_cast<uint8_t>(body.size() >> 8)};
  t.insert(t.end(), body.begin(), body.end());
  return t;
}

// An ERROR whose character count claims more text than its length holds.
bytes error_with_count(uint16_t count, const bytes& text) {
  bytes body = {0x18, 0x48, 0, 0, 1, 14, static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8)};
  body.insert(body.end(), text.begin(), text.end());
  return raw_token(0xAA, body);
}

TEST(LoginWalk, Table) {
  const bytes ack = tds_loginack_token();
  const bytes env = tds_envchange_token("master");
  const bytes info = tds_msg_token(0xAB, 5701, 0, "Changed database context to 'master'.");
  const bytes done = tds_done_token(0);
  const bytes wrong_pw = tds_msg_token(0xAA, 18456, 14, "Login failed for user 'sa'.");
  std::string long_text;
  for (int i = 0; i < 300; i++) long_text += "\xC3\xA9";  // 600 bytes of UTF-8
  const bytes ack_cut(ack.begin(), ack.end() - 1);

  const walk_case cases[] = {
      {"empty response", {}, -1, "response ended early"},
      {"usual response", cat({env, info, ack, env, done}), 0, ""},
      {"feature acknowledgement skipped", cat({env, ack, {0xAE, 0x0A, 1, 0, 0, 0, 1, 0xFF}, done}), 0, ""},
      {"LOGINACK body past the end", cat({env, ack_cut}), -1, "response ended early"},
      {"LOGINACK header cut", {0xAD, 0x05}, -1, "response ended early"},
      {"LOGINACK without a final DONE", cat({env, ack}), -1, "response ended early"},
      {"ERROR before LOGINACK", cat({wrong_pw, done, ack}), -1, "Login failed for user 'sa'."},
      {"ERROR after LOGINACK", cat({ack, wrong_pw, done}), 0, "Login failed for user 'sa'."},
      {"final DONE with the error bit", cat({ack, tds_done_token(0x0002)}), -1, "login failed"},
      {"error bit after an ERROR keeps its text", cat({ack, wrong_pw, tds_done_token(0x0002)}), -1,
       "Login failed for user 'sa'."},
      {"ERROR with empty text", cat({tds_msg_token(0xAA, 1, 16, ""), ack}), -1, "login failed"},
      {"ERROR of length 8", cat({raw_token(0xAA, bytes(8, 0)), ack}), -1, "login failed"},
      {"ERROR of length 0", cat({raw_token(0xAA, {}), ack}), -1, "login failed"},
      {"short ERROR after LOGINACK is passed", cat({ack, raw_token(0xAA, bytes(4, 0)), done}), 0, ""},
      {"ERROR count beyond its length", cat({error_with_count(3, utf16le("ab")), ack}), -1,
       "login failed"},
      {"ERROR text exactly filling its length", cat({error_with_count(2, utf16le("ab")), ack}), -1,
       "ab"},
      {"ERROR body past the end", bytes(wrong_pw.begin(), wrong_pw.end() - 1), -1,
       "response ended early"},
      {"long ERROR text cut at a whole character", cat({tds_msg_token(0xAA, 1, 14, long_text), ack}),
       -1, long_text.substr(0, 398)},
      {"unknown token before LOGINACK", cat({env, {0x02, 0x00}, ack, done}), -1, "malformed response"},
      {"unknown token after LOGINACK", cat({ack, {0x02, 0x00}, done}), -1, "malformed response"},
      {"final DONE before LOGINACK ends the answer", cat({done, ack}), -1, "login failed (no LOGINACK)"},
      {"DONE with more to come is skipped", cat({tds_done_token(0x0001), ack, done}), 0, ""},
      {"cut DONE after LOGINACK", cat({ack, bytes(done.begin(), done.begin() + 5)}), -1,
       "response ended early"},
      {"INFO past the end before LOGINACK", cat({raw_token(0xAB, {}), {0xAB, 0xFF, 0x00, 1}}), -1,
       "response ended early"},
      {"INFO header cut", {0xE3, 0x01}, -1, "response ended early"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    char err[TDS_ERR_SIZE];
    std::memset(err, 'Z', sizeof err);
    err[TDS_ERR_SIZE - 1] = 0;
    // Exact-size copy so a read past the end shows up under the sanitizer.
    std::unique_ptr<uint8_t[]> data(new uint8_t[tc.data.size() + 1]);
    if (!tc.data.empty()) std::memcpy(data.get(), tc.data.data(), tc.data.size());
    EXPECT_EQ(tds_login_walk(data.get(), tc.data.size(), err), tc.want);
    EXPECT_EQ(std::string(err), tc.err);
  }
}

// ---- tds_connect against a scripted peer -------------------------------------------

TEST(Connect, SendsExactPreloginAndLogin7AndSucceeds) {
  ScriptPeer peer;
  peer.accept_login();
  peer.start();
  tds_conn c;
  std::memset(&c, 0xA5, sizeof c);  // no preparation needed
  std::atomic<int32_t> flag{0};
  tds_connect_opts opts{&flag, 5000};
  ASSERT_EQ(tds_connect(&c, "127.0.0.1", peer.port(), "sa", "", nullptr, &opts), 0) << c.err;
  EXPECT_STREQ(c.err, "");
  EXPECT_NE(c.sock, PLAT_INVALID_SOCKET);
  // The caller installs its own hooks and bounds after a connect.
  EXPECT_EQ(c.cancel_flag, nullptr);
  EXPECT_EQ(c.info_cb, nullptr);
  EXPECT_EQ(c.info_ctx, nullptr);
  EXPECT_EQ(c.deadline_ms, 0);
  EXPECT_EQ(c.deadline_text, nullptr);
  EXPECT_EQ(c.query_timeout_ms, 0);
  ASSERT_TRUE(peer.wait_done());
  ASSERT_EQ(peer.failure(), "");
  const auto reads = peer.reads();
  EXPECT_EQ(reads[0], (bytes{0x12, 0x01, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x00, 0x00,
                             0x00, 0x0B, 0x00, 0x06, 0x01, 0x00, 0x11, 0x00, 0x01,
                             0xFF, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02}));
  bytes record(TDS_LOGIN7_MAX);
  record.resize(tds_build_login7("127.0.0.1", "sa", "", nullptr, record.data(), record.size()));
  EXPECT_EQ(reads[1], tds_packet(0x10, 0x01, record)) << hex(reads[1]);
  tds_close(&c);
}

struct encryption_case {
  uint8_t value;
  bool goes_on;
};

TEST(Connect, EncryptionAnswers) {
  const encryption_case cases[] = {{0x00, true}, {0x02, true}, {0x81, true}, {0x01, false}, {0x03, false}};
  for (const auto& tc : cases) {
    SCOPED_TRACE("ENCRYPTION " + std::to_string(tc.value));
    ScriptPeer peer;
    peer.accept_login(tc.value);
    peer.start();
    tds_conn c;
    int rc = tds_connect(&c, "127.0.0.1", peer.port(), "sa", "pw", nullptr);
    if (tc.goes_on) {
      EXPECT_EQ(rc, 0) << c.err;
      tds_close(&c);
    } else {
      EXPECT_EQ(rc, -1);
      EXPECT_STREQ(c.err, kEncryptionText);
      expect_released(c);
      // No LOGIN7 went out, and the peer sees the connection closed.
      peer.wait_done(2000);
      auto until = clock_type::now() + std::chrono::seconds(2);
      while (peer.failure().empty() && clock_type::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      EXPECT_NE(peer.failure(), "") << "the client hung up before the LOGIN7 step";
      EXPECT_EQ(peer.received().size(), 26u);
    }
  }
}

struct login_answer_case {
  const char* name;
  bytes answer;  // the whole server answer to the LOGIN7, framing included
  int want;
  std::string err;
};

TEST(Connect, LoginAnswers) {
  const bytes ack = tds_loginack_token();
  const bytes done = tds_done_token(0);
  const bytes wrong_pw = tds_msg_token(0xAA, 18456, 14, "Login failed for user 'sa'.");
  const login_answer_case cases[] = {
      {"error before LOGINACK", tds_message(0x04, cat({wrong_pw, tds_done_token(2)})), -1,
       "Login failed for user 'sa'."},
      {"error after LOGINACK", tds_message(0x04, cat({ack, wrong_pw, done})), 0,
       "Login failed for user 'sa'."},
      {"answer in 7-byte packets", tds_message(0x04, cat({tds_envchange_token("db"), ack, done}), 7), 0,
       ""},
      {"no LOGINACK", tds_message(0x04, done), -1, "login failed (no LOGINACK)"},
      {"bad packet length", {0x04, 0x01, 0x00, 0x05, 0, 0, 0, 0}, -1, "bad packet length"},
      {"peer hangs up mid-answer", {0x04, 0x01, 0x00, 0x40, 0, 0, 0, 0, 0xAD}, -1,
       "socket read failed"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    ScriptPeer peer;
    peer.read_message()
        .send(tds_message(0x04, tds_prelogin_answer(0x02)))
        .read_message()
        .send(tc.answer)
        .close();
    peer.start();
    tds_conn c;
    EXPECT_EQ(tds_connect(&c, "127.0.0.1", peer.port(), "sa", "wrong", nullptr), tc.want);
    EXPECT_EQ(std::string(c.err), tc.err);
    if (tc.want == 0) {
      EXPECT_NE(c.sock, PLAT_INVALID_SOCKET);
      tds_close(&c);
    } else {
      expect_released(c);
      tds_close(&c);  // harmless after a failed connect
    }
  }
}

TEST(Connect, PeerClosingAfterPreloginFails) {
  ScriptPeer peer;
  peer.read_message().close();
  peer.start();
  tds_conn c;
  EXPECT_EQ(tds_connect(&c, "127.0.0.1", peer.port(), "sa", "", nullptr), -1);
  EXPECT_STREQ(c.err, "socket read failed");
  expect_released(c);
}

TEST(Connect, RefusedAndUnresolvable) {
  tds_conn c;
  EXPECT_EQ(tds_connect(&c, "127.0.0.1", closed_port(), "sa", "", nullptr), -1);
  EXPECT_STREQ(c.err, "connect failed");
  expect_released(c);

  std::atomic<int32_t> flag{0};
  tds_connect_opts opts{&flag, 2000};  // the bounded path refuses the same way
  EXPECT_EQ(tds_connect(&c, "127.0.0.1", closed_port(), "sa", "", nullptr, &opts), -1);
  EXPECT_STREQ(c.err, "connect failed");
  expect_released(c);

  EXPECT_EQ(tds_connect(&c, "no-such-host.invalid", 1433, "sa", "", nullptr), -1);
  EXPECT_STREQ(c.err, "cannot resolve host");
  expect_released(c);

  // The resolver would wrap these to other ports (70000 to 4464).
  for (int port : {70000, 65536, -1}) {
    EXPECT_EQ(tds_connect(&c, "127.0.0.1", port, "sa", "", nullptr), -1);
    EXPECT_STREQ(c.err, "invalid port");
    expect_released(c);
  }
}

// ---- Time-outs and cancel while connecting and logging in -----------------------------

TEST(Connect, TcpConnectTimesOut) {
  StalledListener stalled;
  tds_conn c;
  tds_connect_opts opts{nullptr, 300};
  auto t0 = clock_type::now();
  EXPECT_EQ(tds_connect(&c, "127.0.0.1", stalled.port(), "sa", "", nullptr, &opts), -1);
  int64_t took = ms_since(t0);
  EXPECT_STREQ(c.err, "connect timed out");
  EXPECT_GE(took, 280);
  EXPECT_LT(took, 800);
  expect_released(c);
}

TEST(Connect, TcpConnectIsCancellable) {
  StalledListener stalled;
  std::atomic<int32_t> flag{0};
  tds_connect_opts opts{&flag, 0};  // no time-out: only the cancel ends it
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    flag = 1;
  });
  auto t0 = clock_type::now();
  tds_conn c;
  EXPECT_EQ(tds_connect(&c, "127.0.0.1", stalled.port(), "sa", "", nullptr, &opts), -1);
  int64_t took = ms_since(t0);
  t.join();
  EXPECT_STREQ(c.err, "cancelled");
  EXPECT_LT(took, 400);
  expect_released(c);
}

struct silent_case {
  const char* name;
  bool after_prelogin;  // silent after the PRELOGIN answer (else before it)
  bool cancel;          // ended by a cancel (else by the time-out)
  bool trickle;         // the answer trickles in a byte every 5 ms (else silence)
};

// A peer that never falls silent for long cannot defeat the time-out either.
TEST(Connect, SilentOrTricklingServerDuringLogin) {
  const silent_case cases[] = {
      {"time-out waiting for the PRELOGIN answer", false, false, false},
      {"time-out waiting for the login answer", true, false, false},
      {"cancel waiting for the PRELOGIN answer", false, true, false},
      {"cancel waiting for the login answer", true, true, false},
      {"time-out while the PRELOGIN answer trickles", false, false, true},
      {"time-out while the login answer trickles", true, false, true},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    ScriptPeer peer;
    peer.read_message();
    if (tc.after_prelogin) peer.send(tds_message(0x04, tds_prelogin_answer(0x02))).read_message();
    if (tc.trickle) peer.send(tds_packet(0x04, 0x01, bytes(2000, 0xAB)), 1, 5);
    peer.pause(10000);
    peer.start();
    std::atomic<int32_t> flag{0};
    tds_connect_opts opts{tc.cancel ? &flag : nullptr, tc.cancel ? 0 : 400};
    std::thread t;
    if (tc.cancel) {
      t = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        flag = 1;
      });
    }
    auto t0 = clock_type::now();
    tds_conn c;
    EXPECT_EQ(tds_connect(&c, "127.0.0.1", peer.port(), "sa", "", nullptr, &opts), -1);
    int64_t took = ms_since(t0);
    if (t.joinable()) t.join();
    EXPECT_STREQ(c.err, tc.cancel ? "cancelled" : "login timed out");
    EXPECT_GE(took, tc.cancel ? 240 : 380);
    EXPECT_LT(took, tc.cancel ? 400 : tc.trickle ? 1500 : 700);
    expect_released(c);
  }
}

TEST(Connect, CancelAlreadySetFailsAtOnce) {
  ScriptPeer peer;
  peer.accept_login();
  peer.start();
  std::atomic<int32_t> flag{1};
  tds_connect_opts opts{&flag, 0};
  tds_conn c;
  EXPECT_EQ(tds_connect(&c, "127.0.0.1", peer.port(), "sa", "", nullptr, &opts), -1);
  EXPECT_STREQ(c.err, "cancelled");
  expect_released(c);
}

}  // namespace
