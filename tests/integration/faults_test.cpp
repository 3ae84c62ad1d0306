// Hostile and broken servers: each fault ends the call with its own text,
// leaks nothing, and leaves the library ready for the next call.
//
// The simulated server's fault modes hit one phase (PRELOGIN, login, the
// first batch): a connection cut in the middle of a message, a packet whose
// Length is below the header's 8 bytes, packets of one payload byte, a
// server that demands encryption, one that refuses the login, one that
// stops answering, one that dies. A scripted peer sends what the simulated
// server has no mode for: an answer of tens of megabytes, packets that never
// end a message in each phase (bounded by "response too large", or taken as
// they come during a backup), and answers that must not read as success.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "script_peer.h"
#include "sim_process.h"
#include "tds_client/tds_client.h"
#include "vaultrun.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define FAULTS_HAVE_LSAN 1
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FAULTS_SANITIZED 1
#endif

namespace {

using vaultrun_test::SimProcess;
using vaultrun_test::TempDir;
using Clock = std::chrono::steady_clock;

// The bound vaultrun_free gives a running worker before it stops waiting.
constexpr int64_t RELEASE_TIMEOUT_MS = 10000;

const char ENCRYPTION_TEXT[] = "server requires encryption (TLS) - not supported; disable Force Encryption";
const char HEALTHY_VERSION[] = "{\"ok\":true,\"server_version\":\"16.0.4135.4 Developer Edition (64-bit)\"}";

int64_t ms_since(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::string host_config(int port, const std::string& user = "sa", const std::string& password = "vaultrun") {
  return "{\"port\":" + std::to_string(port) + ",\"user\":\"" + user + "\",\"password\":\"" + password + "\"}";
}

std::string backup_config(int port, const std::string& out_path) {
  return "{\"port\":" + std::to_string(port) +
         ",\"user\":\"sa\",\"password\":\"vaultrun\",\"database\":\"hr\",\"out_path\":\"" + out_path + "\"}";
}

std::string failure(const std::string& text) { return "{\"ok\":false,\"error\":\"" + text + "\"}"; }

bool is_final(int32_t state) { return state == VAULTRUN_SESSION_DONE || state == VAULTRUN_SESSION_FAILED; }

// Polls until the session reaches `state` (or a final state when state is
// -1); returns what it saw last.
int32_t wait_state(int32_t idx, int32_t state, int64_t bound_ms) {
  auto t0 = Clock::now();
  int32_t st = vaultrun_status(idx);
  while (ms_since(t0) < bound_ms) {
    st = vaultrun_status(idx);
    if (state < 0 ? is_final(st) : st == state) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return st;
}

// Leaks are looked for after every case, so that one shows against the
// fault that caused it rather than at the end of the run.
void expect_no_leaks() {
#ifdef FAULTS_HAVE_LSAN
  EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "LeakSanitizer found leaks (report above)";
#endif
}

// One healthy server for the whole suite: after every fault the next calls
// against it must work as if nothing had happened.
class Faults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { healthy_ = new SimProcess({"--backup-ms", "100"}); }
  static void TearDownTestSuite() {
    delete healthy_;
    healthy_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(healthy_->ok()) << healthy_->error(); }
  void TearDown() override {
    for (int32_t i = 0; i < 4; ++i) vaultrun_free(i);
    expect_no_leaks();
  }

  void expect_host_calls_work() {
    EXPECT_STREQ(vaultrun_test_connection(host_config(healthy_->port()).c_str()), HEALTHY_VERSION);
    std::string listing = vaultrun_list_databases(host_config(healthy_->port()).c_str());
    EXPECT_NE(listing.find("{\"name\":\"hr\",\"size_mb\":16,\"recovery\":\"BULK_LOGGED\"}"), std::string::npos)
        << listing;
  }

  // A backup against the healthy server takes slot `idx` again and completes.
  void expect_slot_reused(int32_t idx) {
    int32_t again = vaultrun_start(backup_config(healthy_->port(), dir_.file("again.bak")).c_str());
    EXPECT_EQ(again, idx) << vaultrun_last_error();
    if (again < 0) return;
    EXPECT_EQ(wait_state(again, -1, 10000), VAULTRUN_SESSION_DONE) << vaultrun_result(again);
    vaultrun_free(again);
  }

  static SimProcess* healthy_;
  TempDir dir_;
};

SimProcess* Faults::healthy_ = nullptr;

// ---- Connection test and listing -------------------------------------------------

enum class call { test_connection, list_databases };

struct host_fault {
  const char* name;
  std::vector<std::string> sim_args;
  call which;
  std::string user, password;
  std::string answer;      // the whole document
  std::string last_error;  // expected vaultrun_last_error, "" when the call leaves it alone
};

const host_fault HOST_FAULTS[] = {
    {"PreloginAnswerCutInsideItsHeader", {"--fault-on", "prelogin", "--close-after", "4"},
     call::test_connection, "sa", "vaultrun", failure("socket read failed"), "socket read failed"},
    {"LoginAnswerCutMidMessage", {"--fault-on", "login", "--close-after", "20"},
     call::test_connection, "sa", "vaultrun", failure("socket read failed"), "socket read failed"},
    {"ListingCutMidMessage", {"--fault-on", "batch", "--close-after", "100"},
     call::list_databases, "sa", "vaultrun", failure("socket read failed"), ""},
    {"PreloginLengthBelowHeader", {"--fault-on", "prelogin", "--bad-length"},
     call::test_connection, "sa", "vaultrun", failure("bad packet length"), "bad packet length"},
    {"LoginLengthBelowHeader", {"--fault-on", "login", "--bad-length"},
     call::list_databases, "sa", "vaultrun", failure("bad packet length"), "bad packet length"},
    {"ListingLengthBelowHeader", {"--fault-on", "batch", "--bad-length"},
     call::list_databases, "sa", "vaultrun", failure("bad packet length"), ""},
    {"EncryptionRequired", {"--encryption", "req"},
     call::test_connection, "sa", "vaultrun", failure(ENCRYPTION_TEXT), ENCRYPTION_TEXT},
    {"EncryptionOn", {"--encryption", "on"},
     call::list_databases, "sa", "vaultrun", failure(ENCRYPTION_TEXT), ENCRYPTION_TEXT},
    {"LoginRefused", {}, call::test_connection, "x", "wrong",
     failure("Login failed for user 'x'."), "Login failed for user 'x'."},
    {"OnePayloadBytePerPacket", {"--split", "9"}, call::test_connection, "sa", "vaultrun", HEALTHY_VERSION, ""},
};

class HostFaults : public Faults, public ::testing::WithParamInterface<host_fault> {};

TEST_P(HostFaults, AnswerCarriesTheTextAndTheNextCallsWork) {
  const host_fault& f = GetParam();
  SimProcess sim(f.sim_args);
  ASSERT_TRUE(sim.ok()) << sim.error();
  vaultrun_test_connection("[]");  // a known text in the last error
  const std::string config = host_config(sim.port(), f.user, f.password);
  const char* answer = f.which == call::test_connection ? vaultrun_test_connection(config.c_str())
                                                        : vaultrun_list_databases(config.c_str());
  EXPECT_EQ(answer, f.answer);
  EXPECT_STREQ(vaultrun_last_error(), f.last_error.empty() ? "invalid config json" : f.last_error.c_str());
  expect_host_calls_work();
}

INSTANTIATE_TEST_SUITE_P(Each, HostFaults, ::testing::ValuesIn(HOST_FAULTS),
                         [](const ::testing::TestParamInfo<host_fault>& p) { return std::string(p.param.name); });

// Packets of one payload byte carry a whole backup, progress included.
TEST_F(Faults, BackupInOnePayloadBytePackets) {
  SimProcess sim({"--split", "9", "--backup-ms", "200"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  int32_t idx = vaultrun_start(backup_config(sim.port(), dir_.file("split.bak")).c_str());
  ASSERT_GE(idx, 0) << vaultrun_last_error();
  ASSERT_EQ(wait_state(idx, -1, 15000), VAULTRUN_SESSION_DONE) << vaultrun_result(idx);
  std::string result = vaultrun_result(idx);
  EXPECT_NE(result.find("\"verified\":true,\"pages\":2048,"), std::string::npos) << result;
  EXPECT_NE(std::string(vaultrun_progress(idx)).find("\"percent\":100,"), std::string::npos);
  vaultrun_free(idx);
}

// ---- Backups ----------------------------------------------------------------------

struct backup_fault {
  const char* name;
  std::vector<std::string> sim_args;
  bool kill_when_running;  // the server process dies once the backup runs
  std::string error;
};

const backup_fault BACKUP_FAULTS[] = {
    {"LoginAnswerCutMidMessage", {"--fault-on", "login", "--close-after", "20"}, false, "socket read failed"},
    {"BackupAnswerCutMidMessage", {"--fault-on", "batch", "--close-after", "40", "--backup-ms", "300"}, false,
     "socket read failed"},
    {"BackupAnswerLengthBelowHeader", {"--fault-on", "batch", "--bad-length", "--backup-ms", "300"}, false,
     "bad packet length"},
    {"ServerKilledWhileTheBackupRuns", {"--backup-ms", "20000"}, true, "socket read failed"},
};

class BackupFaults : public Faults, public ::testing::WithParamInterface<backup_fault> {};

TEST_P(BackupFaults, SessionFailsWithTheTextAndTheSlotIsReused) {
  const backup_fault& f = GetParam();
  SimProcess sim(f.sim_args);
  ASSERT_TRUE(sim.ok()) << sim.error();
  int32_t idx = vaultrun_start(backup_config(sim.port(), dir_.file("fault.bak")).c_str());
  ASSERT_GE(idx, 0) << vaultrun_last_error();
  if (f.kill_when_running) {
    ASSERT_EQ(wait_state(idx, VAULTRUN_SESSION_RUNNING, 10000), VAULTRUN_SESSION_RUNNING);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the worker waits for the answer
    ASSERT_EQ(::kill(sim.pid(), SIGKILL), 0);
  }
  EXPECT_EQ(wait_state(idx, -1, 10000), VAULTRUN_SESSION_FAILED);
  EXPECT_EQ(vaultrun_result(idx), failure(f.error));
  vaultrun_free(idx);
  EXPECT_EQ(vaultrun_status(idx), VAULTRUN_SESSION_FREE);
  expect_slot_reused(idx);
}

INSTANTIATE_TEST_SUITE_P(Each, BackupFaults, ::testing::ValuesIn(BACKUP_FAULTS),
                         [](const ::testing::TestParamInfo<backup_fault>& p) { return std::string(p.param.name); });

// A server that stops answering once the backup statement is sent, and
// ignores the attention too: cancel and release are still bounded.
TEST_F(Faults, SilentServerDuringABackupIsCancelledAndReleasedInBoundedTime) {
  SimProcess mute({"--fault-on", "batch", "--silent"});
  ASSERT_TRUE(mute.ok()) << mute.error();

  // Released while it runs: vaultrun_free returns within the release
  // time-out and the worker is gone, since the slot can be taken again.
  int32_t idx = vaultrun_start(backup_config(mute.port(), dir_.file("a.bak")).c_str());
  ASSERT_GE(idx, 0) << vaultrun_last_error();
  ASSERT_EQ(wait_state(idx, VAULTRUN_SESSION_RUNNING, 10000), VAULTRUN_SESSION_RUNNING);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto t0 = Clock::now();
  vaultrun_free(idx);
  const int64_t free_ms = ms_since(t0);
  EXPECT_LE(free_ms, RELEASE_TIMEOUT_MS + 500);
  EXPECT_EQ(vaultrun_status(idx), VAULTRUN_SESSION_FREE);
  expect_slot_reused(idx);

  // Cancelled while it runs: it ends failed with "cancelled" within the same
  // bound, and the release after that is quick.
  idx = vaultrun_start(backup_config(mute.port(), dir_.file("b.bak")).c_str());
  ASSERT_GE(idx, 0) << vaultrun_last_error();
  ASSERT_EQ(wait_state(idx, VAULTRUN_SESSION_RUNNING, 10000), VAULTRUN_SESSION_RUNNING);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  t0 = Clock::now();
  vaultrun_cancel(idx);
  EXPECT_EQ(wait_state(idx, -1, RELEASE_TIMEOUT_MS), VAULTRUN_SESSION_FAILED);
  EXPECT_LE(ms_since(t0), RELEASE_TIMEOUT_MS);
  EXPECT_EQ(vaultrun_result(idx), failure("cancelled"));
  t0 = Clock::now();
  vaultrun_free(idx);
  EXPECT_LT(ms_since(t0), 1500);
  EXPECT_EQ(vaultrun_status(idx), VAULTRUN_SESSION_FREE);
  expect_slot_reused(idx);
}

// ---- An answer of tens of megabytes ------------------------------------------------

// Resident memory of the process in bytes.
int64_t resident_bytes() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  int n = std::fscanf(f, "%ld %ld", &pages, &resident);
  std::fclose(f);
  return n == 2 ? int64_t(resident) * ::sysconf(_SC_PAGESIZE) : -1;
}

// One NVARCHAR(4000) column and `rows` rows of 4000 characters each,
// row k filled with the letter 'a' + k % 26.
bytes big_answer(int rows) {
  bytes p = {0x81, 0x01, 0x00, 0, 0, 0, 0, 0x09, 0x00, 0xE7, 0x40, 0x1F, 0x09, 0x04, 0xD0, 0x00, 0x34, 0x00};
  p.reserve(p.size() + size_t(rows) * 8003 + 13);
  for (int k = 0; k < rows; ++k) {
    p.insert(p.end(), {0xD1, 0x40, 0x1F});
    for (int i = 0; i < 4000; ++i) p.insert(p.end(), {uint8_t('a' + k % 26), 0});
  }
  bytes done = tds_done_token(0x10, uint64_t(rows));
  p.insert(p.end(), done.begin(), done.end());
  return p;
}

// A buffer of two packets of 32000 bytes is all a streamed answer needs.
constexpr uint64_t STREAMED_RCAP = 131072;

// Rows that are kept bound the answer as a whole; a statement run for its
// effect takes the same answer as it arrives, holding about one packet.
TEST_F(Faults, AnswerOfTensOfMegabytesIsRefusedWhenKeptAndStreamedOtherwise) {
  const bytes payload = big_answer(5000);  // some 40 MB
  ASSERT_GT(payload.size(), 40'000'000u);
  const bytes whole = tds_message(0x04, payload, 32000);
  static tds_row rows[2];
  tds_meta meta;
  {
    ScriptPeer peer;
    peer.accept_login().read_message().send(whole);
    peer.start();
    tds_conn c;
    ASSERT_EQ(tds_connect(&c, "127.0.0.1", peer.port(), "sa", "pw", nullptr), 0) << c.err;
    EXPECT_EQ(tds_exec(&c, "SELECT big", &meta, rows, 2), -1);
    EXPECT_STREQ(c.err, "response too large");
    EXPECT_LE(c.rcap, STREAMED_RCAP);
    tds_close(&c);  // the peer's send ends with the connection
  }
  {
    ScriptPeer peer;
    peer.accept_login().read_message().send(whole).read_message().send(
        tds_message(0x04, tds_done_token(0x10, 0)));
    peer.start();
    tds_conn c;
    ASSERT_EQ(tds_connect(&c, "127.0.0.1", peer.port(), "sa", "pw", nullptr), 0) << c.err;
    EXPECT_EQ(tds_exec(&c, "BACKUP big", nullptr, nullptr, 0), 0) << c.err;
    EXPECT_LE(c.rcap, STREAMED_RCAP);
    // The stream stands at the next answer.
    EXPECT_EQ(tds_exec(&c, "SELECT 1", &meta, rows, 2), 0) << c.err;
    tds_close(&c);
    EXPECT_TRUE(peer.wait_done()) << peer.failure();
  }
  {
    // The same answer cut off halfway: the read fails, and tds_close still
    // releases all that was collected.
    ScriptPeer peer;
    peer.accept_login().read_message().send(bytes(whole.begin(), whole.begin() + whole.size() / 2)).close();
    peer.start();
    tds_conn c;
    ASSERT_EQ(tds_connect(&c, "127.0.0.1", peer.port(), "sa", "pw", nullptr), 0) << c.err;
    EXPECT_EQ(tds_exec(&c, "SELECT big", nullptr, nullptr, 0), -1);
    EXPECT_STREQ(c.err, "socket read failed");
    EXPECT_LE(c.rcap, STREAMED_RCAP);
    tds_close(&c);
    EXPECT_EQ(c.rbuf, nullptr);
    EXPECT_TRUE(peer.wait_done()) << peer.failure();
  }
  expect_host_calls_work();
}

// ---- Peers that never stop sending -------------------------------------------------

// The most the resident size grew above its level at the start while fn
// ran, sampled every few milliseconds.
int64_t peak_growth_during(const std::function<void()>& fn) {
  const int64_t start = resident_bytes();
  std::atomic<bool> done{false};
  std::atomic<int64_t> peak{start};
  std::thread sampler([&] {
    while (!done) {
      const int64_t now = resident_bytes();
      if (now > peak) peak = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  fn();
  done = true;
  sampler.join();
  return peak - start;
}

// A packet without the end-of-message bit whose payload is `unit` over and
// over, as much as a packet holds.
bytes endless_packet(const bytes& unit) {
  bytes payload;
  while (payload.size() + unit.size() <= 65527) payload.insert(payload.end(), unit.begin(), unit.end());
  return tds_packet(0x04, 0x00, payload);
}

// Some 100 MB in all, far beyond every cap, yet bounded so that a library
// without the caps fails the test rather than the machine.
constexpr size_t FLOOD_PACKETS = 1600;
constexpr int64_t FLOOD_GROWTH_BOUND = 40 << 20;

enum class phase { prelogin, login, listing };

struct flood_case {
  const char* name;
  phase at;
  call which;
};

const flood_case FLOODS[] = {
    {"PreloginAnswer", phase::prelogin, call::test_connection},
    {"LoginAnswer", phase::login, call::test_connection},
    {"Listing", phase::listing, call::list_databases},
};

class Floods : public Faults, public ::testing::WithParamInterface<flood_case> {};

// Valid tokens without end (DONE with the MORE bit) or bytes that never end
// a message: the call ends with "response too large" and memory stays low.
TEST_P(Floods, EndWithResponseTooLargeInBoundedMemory) {
  const flood_case& f = GetParam();
  ScriptPeer peer;
  peer.read_message();
  if (f.at != phase::prelogin) peer.send(tds_message(0x04, tds_prelogin_answer(0x02))).read_message();
  if (f.at == phase::listing)
    peer.send(tds_message(0x04, cat({tds_loginack_token(), tds_done_token(0)}))).read_message();
  peer.flood(endless_packet(tds_done_token(0x0001)), FLOOD_PACKETS);
  peer.start();
  const std::string config = host_config(peer.port());
  std::string answer;
  auto t0 = Clock::now();
  const int64_t growth = peak_growth_during([&] {
    answer = f.which == call::test_connection ? vaultrun_test_connection(config.c_str())
                                              : vaultrun_list_databases(config.c_str());
  });
  EXPECT_EQ(answer, failure("response too large"));
  EXPECT_LT(growth, FLOOD_GROWTH_BOUND);
  EXPECT_LT(ms_since(t0), 20000);
  expect_host_calls_work();
}

INSTANTIATE_TEST_SUITE_P(Each, Floods, ::testing::ValuesIn(FLOODS),
                         [](const ::testing::TestParamInfo<flood_case>& p) { return std::string(p.param.name); });

// During a backup there is no bound on the answer as a whole: progress that
// never ends is taken as it comes, in bounded memory, until the host
// cancels. A token that never completes is refused once it outgrows what a
// token may hold.
TEST_F(Faults, BackupFloodsStayInBoundedMemory) {
  {
    ScriptPeer peer;
    peer.accept_login().read_message().flood(
        endless_packet(cat({tds_msg_token(0xAB, 3211, 0, "5 percent processed."), tds_done_token(0x0001)})),
        FLOOD_PACKETS);
    peer.start();
    int32_t idx = -1;
    const int64_t growth = peak_growth_during([&] {
      idx = vaultrun_start(backup_config(peer.port(), dir_.file("flood.bak")).c_str());
      if (idx < 0) return;
      wait_state(idx, VAULTRUN_SESSION_RUNNING, 10000);
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    });
    ASSERT_GE(idx, 0) << vaultrun_last_error();
    EXPECT_LT(growth, FLOOD_GROWTH_BOUND);
    EXPECT_NE(std::string(vaultrun_progress(idx)).find("\"percent\":5,"), std::string::npos)
        << vaultrun_progress(idx);
    vaultrun_cancel(idx);
    EXPECT_EQ(wait_state(idx, -1, RELEASE_TIMEOUT_MS), VAULTRUN_SESSION_FAILED);
    EXPECT_EQ(vaultrun_result(idx), failure("cancelled"));
    vaultrun_free(idx);
  }
  {
    // A SESSIONSTATE that claims 4 GB, then its body without end.
    ScriptPeer peer;
    peer.accept_login().read_message().send(tds_packet(0x04, 0x00, {0xE4, 0xFF, 0xFF, 0xFF, 0xFF}));
    peer.flood(endless_packet({0}), FLOOD_PACKETS);
    peer.start();
    int32_t idx = -1;
    const int64_t growth = peak_growth_during([&] {
      idx = vaultrun_start(backup_config(peer.port(), dir_.file("token.bak")).c_str());
      if (idx >= 0) wait_state(idx, -1, 20000);
    });
    ASSERT_GE(idx, 0) << vaultrun_last_error();
    EXPECT_LT(growth, FLOOD_GROWTH_BOUND);
    EXPECT_EQ(vaultrun_result(idx), failure("response too large"));
    vaultrun_free(idx);
  }
}

// ---- Answers that must not read as success -------------------------------------------

bytes error_token(const std::string& text) { return tds_msg_token(0xAA, 3201, 16, text); }

// An ERROR whose declared length runs one byte past the end of the answer.
bytes error_past_the_end() {
  bytes e = error_token("Cannot open backup device.");
  e[1] += 1;
  return e;
}

struct broken_answer {
  const char* name;
  bytes answer;  // to the backup statement
  std::string result;
};

const broken_answer BROKEN[] = {
    {"UnknownTokenBeforeAnError",
     cat({bytes{0x02}, error_token("Cannot open backup device."), tds_done_token(0x0002)}),
     failure("malformed response")},
    {"FinalDoneWithTheErrorBitAlone", tds_done_token(0x0002), failure("sql error")},
    {"ErrorRunningPastTheEnd", error_past_the_end(), failure("response ended early")},
    {"NoFinalDone", cat({tds_msg_token(0xAB, 3211, 0, "10 percent processed."), tds_done_token(0x0001)}),
     failure("response ended early")},
};

class BrokenAnswers : public Faults, public ::testing::WithParamInterface<broken_answer> {};

TEST_P(BrokenAnswers, FailTheBackup) {
  const broken_answer& b = GetParam();
  ScriptPeer peer;
  peer.accept_login().read_message().send(tds_message(0x04, b.answer)).read_message().send(
      tds_message(0x04, tds_done_token(0)));
  peer.start();
  const int32_t idx = vaultrun_start(backup_config(peer.port(), dir_.file("broken.bak")).c_str());
  ASSERT_GE(idx, 0) << vaultrun_last_error();
  EXPECT_EQ(wait_state(idx, -1, 10000), VAULTRUN_SESSION_FAILED);
  EXPECT_EQ(vaultrun_result(idx), b.result);
  vaultrun_free(idx);
}

INSTANTIATE_TEST_SUITE_P(Each, BrokenAnswers, ::testing::ValuesIn(BROKEN),
                         [](const ::testing::TestParamInfo<broken_answer>& p) { return std::string(p.param.name); });

// The same rules hold for the login and the listing.
TEST_F(Faults, BrokenLoginAndListingAnswersFail) {
  {
    ScriptPeer peer;
    peer.read_message().send(tds_message(0x04, tds_prelogin_answer(0x02))).read_message().send(
        tds_message(0x04, cat({tds_loginack_token(), tds_done_token(0x0002)})));
    peer.start();
    EXPECT_EQ(std::string(vaultrun_test_connection(host_config(peer.port()).c_str())), failure("login failed"));
  }
  {
    ScriptPeer peer;
    peer.accept_login().read_message().send(
        tds_message(0x04, cat({bytes{0x02}, error_token("x"), tds_done_token(0x0002)})));
    peer.start();
    EXPECT_EQ(std::string(vaultrun_list_databases(host_config(peer.port()).c_str())),
              failure("malformed response"));
  }
}

}  // namespace
