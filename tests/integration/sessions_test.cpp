// Backup sessions end to end against the simulated server: the statements
// sent, the documents polled, cancel and release, the slot table, live
// progress and the cause of a failure.
#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "script_peer.h"
#include "sim_process.h"
#include "strict_json.h"
#include "vaultrun.h"
#include "vaultrun/session_slots.h"

namespace {

using vaultrun_test::read_lines;
using vaultrun_test::SimProcess;
using vaultrun_test::TempDir;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

int64_t ms_since(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::string json_text(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

struct backup_request {
  std::string database = "hr";
  std::string out_path;
  std::string extra;  // further members, each with a leading comma
  std::string password = "vaultrun";
};

std::string backup_config(int port, const backup_request& r) {
  return "{\"port\":" + std::to_string(port) + ",\"user\":\"sa\",\"password\":\"" + r.password +
         "\",\"database\":\"" + json_text(r.database) + "\",\"out_path\":\"" + json_text(r.out_path) + "\"" +
         r.extra + "}";
}

bool is_final(int32_t state) { return state == VAULTRUN_SESSION_DONE || state == VAULTRUN_SESSION_FAILED; }

// Polls until the session has ended; returns its final state, or -9 on time-out.
int32_t wait_final(int32_t idx, int64_t bound_ms = 15000) {
  auto t0 = Clock::now();
  while (ms_since(t0) < bound_ms) {
    int32_t st = vaultrun_status(idx);
    if (is_final(st)) return st;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -9;
}

// Every test leaves the slot table as it found it: all free.
class Sessions : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int32_t i = 0; i < 4; ++i) vaultrun_free(i);
    for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(vaultrun_status(i), VAULTRUN_SESSION_FREE);
  }
  TempDir dir;
};

// The backup history query for the newest set of this database and kind in
// the media at device, finished within the last N seconds (the time the
// backup took, which a loaded machine stretches, and some slack).
std::string history_query(const std::string& db, const std::string& type, const std::string& device) {
  return "SELECT TOP (2) s.position FROM msdb.dbo.backupset AS s JOIN msdb.dbo.backupmediafamily AS f "
         "ON f.media_set_id = s.media_set_id WHERE s.database_name = N'" + db + "' AND s.type = '" + type +
         "' AND f.physical_device_name = N'" + device +
         "' AND s.backup_finish_date >= DATEADD(SECOND, -N, GETDATE()) ORDER BY s.backup_set_id DESC";
}

// The server's log with the history query's window written as N.
std::vector<std::string> logged_statements(const std::string& log) {
  std::vector<std::string> lines = read_lines(log);
  for (std::string& line : lines) line = std::regex_replace(line, std::regex("DATEADD\\(SECOND, -\\d+,"), "DATEADD(SECOND, -N,");
  return lines;
}

const std::regex DONE_DOC(
    R"re(\{"ok":true,"out_path":"(.*)","verified":(true|false),"pages":(\d+),"elapsed_ms":(\d+)\})re");

TEST_F(Sessions, EveryOptionCombinationSendsItsStatementsAndWritesTheFile) {
  std::string log = dir.file("sim.log");
  SimProcess sim({"--backup-ms", "50", "--log", log});
  ASSERT_TRUE(sim.ok()) << sim.error();
  size_t seen = 0;
  for (int combo = 0; combo < 8; ++combo) {
    bool compression = combo & 1, copy_only = combo & 2, verify = combo & 4;
    SCOPED_TRACE(combo);
    backup_request r;
    r.out_path = dir.file("hr" + std::to_string(combo) + ".bak");
    r.extra = std::string(",\"compression\":") + (compression ? "true" : "false") +
              ",\"copy_only\":" + (copy_only ? "true" : "false") + ",\"verify\":" + (verify ? "true" : "false");
    int32_t idx = vaultrun_start(backup_config(sim.port(), r).c_str());
    ASSERT_EQ(idx, 0);
    ASSERT_EQ(wait_final(idx), VAULTRUN_SESSION_DONE) << vaultrun_result(idx);

    std::smatch m;
    std::string result = vaultrun_result(idx);
    ASSERT_TRUE(std::regex_match(result, m, DONE_DOC)) << result;
    EXPECT_EQ(m[1].str(), r.out_path);
    EXPECT_EQ(m[2].str(), verify ? "true" : "false");
    EXPECT_EQ(m[3].str(), "2048");  // 16 MB of 8 KiB pages
    EXPECT_TRUE(fs::exists(r.out_path));
    std::string progress = vaultrun_progress(idx);
    EXPECT_EQ(progress.rfind("{\"state\":3,\"percent\":100,\"message\":\"", 0), 0u) << progress;
    vaultrun_free(idx);

    std::vector<std::string> lines = logged_statements(log);
    std::vector<std::string> expected = {"BACKUP DATABASE [hr] TO DISK = N'" + r.out_path + "' WITH STATS = 5" +
                                         (compression ? ", COMPRESSION" : "") + (copy_only ? ", COPY_ONLY" : "")};
    if (verify) {
      expected.push_back(history_query("hr", "D", r.out_path));
      expected.push_back("RESTORE VERIFYONLY FROM DISK = N'" + r.out_path + "' WITH FILE = 1");
    }
    ASSERT_EQ(lines.size(), seen + expected.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + seen, lines.end()), expected);
    seen = lines.size();
  }
}

TEST_F(Sessions, NamesAndPathsAreQuotedForTheStatement) {
  TempDir odd;
  std::string cfg_path = odd.file("sim.json");
  std::ofstream(cfg_path) << R"({"databases":[{"name":"we]ird","size_mb":1,"recovery":"FULL"}]})";
  std::string log = dir.file("sim.log");
  SimProcess sim({"--config", cfg_path, "--backup-ms", "20", "--log", log});
  ASSERT_TRUE(sim.ok()) << sim.error();
  backup_request r;
  r.database = "we]ird";
  r.out_path = dir.file("it's.bak");
  r.extra = ",\"verify\":false";
  int32_t idx = vaultrun_start(backup_config(sim.port(), r).c_str());
  ASSERT_GE(idx, 0);
  ASSERT_EQ(wait_final(idx), VAULTRUN_SESSION_DONE) << vaultrun_result(idx);
  std::string quoted_path = r.out_path;
  quoted_path.insert(quoted_path.find('\'') + 1, "'");
  EXPECT_EQ(read_lines(log),
            std::vector<std::string>{"BACKUP DATABASE [we]]ird] TO DISK = N'" + quoted_path +
                                     "' WITH STATS = 5, COMPRESSION"});
  EXPECT_TRUE(fs::exists(r.out_path));
}

TEST_F(Sessions, FailuresCarryTheServersCauseFirst) {
  SimProcess sim({"--backup-ms", "20"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  struct {
    const char* name;
    backup_request r;
    std::string error;
  } cases[3];
  cases[0].name = "unknown database";
  cases[0].r.database = "nope";
  cases[0].r.out_path = dir.file("nope.bak");
  cases[0].error =
      "Database 'nope' does not exist. Make sure that the name is entered correctly.\\n"
      "BACKUP DATABASE is terminating abnormally.";
  cases[1].name = "unwritable path";
  cases[1].r.out_path = "/nonexistent-dir/hr.bak";
  cases[1].error =
      "Cannot open backup device '/nonexistent-dir/hr.bak'. Operating system error "
      "2(The system cannot find the path specified.).\\nBACKUP DATABASE is terminating abnormally.";
  cases[2].name = "wrong password";
  cases[2].r.out_path = dir.file("x.bak");
  cases[2].r.password = "wrong";
  cases[2].error = "Login failed for user 'sa'.";
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    int32_t idx = vaultrun_start(backup_config(sim.port(), c.r).c_str());
    ASSERT_EQ(idx, 0);
    ASSERT_EQ(wait_final(idx), VAULTRUN_SESSION_FAILED);
    std::string result = vaultrun_result(idx);
    if (std::string(c.name) == "unwritable path") {
      // The operating system's wording after "error" is the server's own.
      EXPECT_EQ(result.rfind("{\"ok\":false,\"error\":\"Cannot open backup device '/nonexistent-dir/hr.bak'. "
                             "Operating system error ", 0), 0u) << result;
      EXPECT_NE(result.find(".\\nBACKUP DATABASE is terminating abnormally.\"}"), std::string::npos) << result;
    } else {
      EXPECT_EQ(result, "{\"ok\":false,\"error\":\"" + c.error + "\"}");
    }
    vaultrun_free(idx);
  }
}

TEST_F(Sessions, FourSlotsThenNoFreeSessionsThenTheLowestFreeSlot) {
  SimProcess sim({"--backup-ms", "3000"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  backup_request r;
  std::vector<int32_t> got;
  for (int i = 0; i < 4; ++i) {
    r.out_path = dir.file("hr" + std::to_string(i) + ".bak");
    got.push_back(vaultrun_start(backup_config(sim.port(), r).c_str()));
  }
  EXPECT_EQ(got, (std::vector<int32_t>{0, 1, 2, 3}));
  r.out_path = dir.file("fifth.bak");
  EXPECT_EQ(vaultrun_start(backup_config(sim.port(), r).c_str()), -2);
  EXPECT_STREQ(vaultrun_last_error(), "no free sessions");
  // A successful connection test leaves that text in place.
  std::string cfg = "{\"port\":" + std::to_string(sim.port()) + ",\"user\":\"sa\",\"password\":\"vaultrun\"}";
  EXPECT_EQ(std::string(vaultrun_test_connection(cfg.c_str())).rfind("{\"ok\":true", 0), 0u);
  EXPECT_STREQ(vaultrun_last_error(), "no free sessions");

  for (int32_t i : {0, 1, 2, 3}) EXPECT_TRUE(vaultrun_status(i) == 1 || vaultrun_status(i) == 2);
  EXPECT_STREQ(vaultrun_result(2), "{\"ok\":false,\"error\":\"not finished\"}");

  auto t0 = Clock::now();
  vaultrun_free(2);  // running: cancelled and released promptly
  EXPECT_LT(ms_since(t0), 2000);
  EXPECT_EQ(vaultrun_status(2), VAULTRUN_SESSION_FREE);
  vaultrun_free(1);
  r.out_path = dir.file("again.bak");
  EXPECT_EQ(vaultrun_start(backup_config(sim.port(), r).c_str()), 1);
}

TEST_F(Sessions, CancelStopsTheServersWorkAndLeavesNoFile) {
  std::string log = dir.file("sim.log");
  SimProcess sim({"--backup-ms", "5000", "--log", log});
  ASSERT_TRUE(sim.ok()) << sim.error();
  backup_request r;
  r.out_path = dir.file("hr.bak");
  int32_t idx = vaultrun_start(backup_config(sim.port(), r).c_str());
  ASSERT_GE(idx, 0);
  auto t0 = Clock::now();
  while (vaultrun_status(idx) != VAULTRUN_SESSION_RUNNING && ms_since(t0) < 5000)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  t0 = Clock::now();
  vaultrun_cancel(idx);
  vaultrun_cancel(idx);  // twice is the same as once
  EXPECT_EQ(wait_final(idx, 3000), VAULTRUN_SESSION_FAILED);
  EXPECT_LT(ms_since(t0), 1000);
  EXPECT_STREQ(vaultrun_result(idx), "{\"ok\":false,\"error\":\"cancelled\"}");
  EXPECT_EQ(vaultrun_status(idx), VAULTRUN_SESSION_FAILED);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(fs::exists(r.out_path));
  std::vector<std::string> lines = read_lines(log);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "ATTENTION");

  // A cancel of an ended session changes nothing.
  vaultrun_cancel(idx);
  EXPECT_STREQ(vaultrun_result(idx), "{\"ok\":false,\"error\":\"cancelled\"}");
  const char* progress = vaultrun_progress(idx);
  vaultrun_free(idx);
  EXPECT_STREQ(progress, "");  // a released slot's documents read empty
  vaultrun_free(idx);          // twice: only clears the free slot again
  EXPECT_EQ(vaultrun_status(idx), VAULTRUN_SESSION_FREE);
}

TEST_F(Sessions, ProgressIsLiveWhileTheBackupRuns) {
  SimProcess sim({"--backup-ms", "2500"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  backup_request r;
  r.out_path = dir.file("hr.bak");
  r.extra = ",\"verify\":false";
  int32_t idx = vaultrun_start(backup_config(sim.port(), r).c_str());
  ASSERT_GE(idx, 0);
  const std::regex doc(R"re(\{"state":(\d),"percent":(\d+),"message":"(.*)","elapsed_ms":(\d+)\})re");
  std::vector<int> percents;
  int64_t last_elapsed = -1;
  bool elapsed_grew = false;
  while (true) {
    std::string p = vaultrun_progress(idx);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(p, m, doc)) << p;
    int state = std::stoi(m[1]);
    if (state == VAULTRUN_SESSION_DONE || state == VAULTRUN_SESSION_FAILED) break;
    int percent = std::stoi(m[2]);
    int64_t elapsed = std::stoll(m[4]);
    if (percent > 0 && percent < 100) {
      EXPECT_EQ(state, VAULTRUN_SESSION_RUNNING);
      EXPECT_EQ(m[3].str(), std::to_string(percent) + " percent processed.");
      if (percents.empty() || percents.back() != percent) percents.push_back(percent);
      if (last_elapsed >= 0 && elapsed > last_elapsed) elapsed_grew = true;
      last_elapsed = elapsed;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(vaultrun_status(idx), VAULTRUN_SESSION_DONE);
  EXPECT_GE(percents.size(), 5u) << "the percent should rise through intermediate values";
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_TRUE(elapsed_grew);
  std::smatch m;
  std::string result = vaultrun_result(idx);
  ASSERT_TRUE(std::regex_match(result, m, DONE_DOC)) << result;
  EXPECT_GE(std::stoll(m[4]), 2000);
}

TEST_F(Sessions, CancelIsPromptDuringASilentStretchAndDuringLogin) {
  SimProcess silent({"--backup-ms", "1000", "--backup-silent-ms", "60000"});
  ASSERT_TRUE(silent.ok()) << silent.error();
  backup_request r;
  r.out_path = dir.file("hr.bak");
  int32_t idx = vaultrun_start(backup_config(silent.port(), r).c_str());
  auto t0 = Clock::now();
  // Wait for the first progress message; the server then says nothing for a minute.
  while (std::string(vaultrun_progress(idx)).find("percent processed") == std::string::npos &&
         ms_since(t0) < 5000)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  t0 = Clock::now();
  vaultrun_cancel(idx);
  EXPECT_EQ(wait_final(idx, 5000), VAULTRUN_SESSION_FAILED);
  EXPECT_LT(ms_since(t0), 1000);
  EXPECT_STREQ(vaultrun_result(idx), "{\"ok\":false,\"error\":\"cancelled\"}");
  vaultrun_free(idx);

  SimProcess mute({"--silent", "--fault-on", "login"});
  ASSERT_TRUE(mute.ok()) << mute.error();
  idx = vaultrun_start(backup_config(mute.port(), r).c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(vaultrun_status(idx), VAULTRUN_SESSION_STARTING);
  t0 = Clock::now();
  vaultrun_cancel(idx);
  EXPECT_EQ(wait_final(idx, 5000), VAULTRUN_SESSION_FAILED);
  EXPECT_LT(ms_since(t0), 1000);
  EXPECT_STREQ(vaultrun_result(idx), "{\"ok\":false,\"error\":\"cancelled\"}");

  // Freeing a session stuck in its login returns promptly too.
  int32_t other = vaultrun_start(backup_config(mute.port(), r).c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  t0 = Clock::now();
  vaultrun_free(other);
  EXPECT_LT(ms_since(t0), 1000);
  EXPECT_EQ(vaultrun_status(other), VAULTRUN_SESSION_FREE);
}

TEST_F(Sessions, LoginTimeoutEndsASessionStuckInLogin) {
  SimProcess mute({"--silent", "--fault-on", "prelogin"});
  ASSERT_TRUE(mute.ok()) << mute.error();
  backup_request r;
  r.out_path = dir.file("hr.bak");
  r.extra = ",\"connect_timeout_ms\":300,\"query_timeout_ms\":1";  // backups ignore the query bound
  int32_t idx = vaultrun_start(backup_config(mute.port(), r).c_str());
  EXPECT_EQ(wait_final(idx, 3000), VAULTRUN_SESSION_FAILED);
  EXPECT_STREQ(vaultrun_result(idx), "{\"ok\":false,\"error\":\"login timed out\"}");
  vaultrun_free(idx);

  SimProcess slow({"--backup-ms", "400"});
  ASSERT_TRUE(slow.ok()) << slow.error();
  idx = vaultrun_start(backup_config(slow.port(), r).c_str());
  EXPECT_EQ(wait_final(idx), VAULTRUN_SESSION_DONE) << vaultrun_result(idx);
}

TEST_F(Sessions, ServerVanishingDuringABackupFailsTheSession) {
  auto sim = std::make_unique<SimProcess>(std::vector<std::string>{"--backup-ms", "5000"});
  ASSERT_TRUE(sim->ok()) << sim->error();
  backup_request r;
  r.out_path = dir.file("hr.bak");
  int32_t idx = vaultrun_start(backup_config(sim->port(), r).c_str());
  auto t0 = Clock::now();
  while (vaultrun_status(idx) != VAULTRUN_SESSION_RUNNING && ms_since(t0) < 5000)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  sim->stop();
  EXPECT_EQ(wait_final(idx, 5000), VAULTRUN_SESSION_FAILED);
  std::string result = vaultrun_result(idx);
  EXPECT_EQ(result, "{\"ok\":false,\"error\":\"socket read failed\"}");
}

TEST_F(Sessions, NamesThatFillTheirFieldReachTheStatementWhole) {
  std::string cyrillic;
  for (int i = 0; i < 64; ++i) cyrillic += "\xD0\x96";  // 64 letters: 128 bytes
  const std::string names[] = {cyrillic, std::string(126, 'a') + "\xC3\xA9", std::string(127, 'b') + "]"};
  TempDir odd;
  std::string cfg_path = odd.file("sim.json");
  std::ofstream(cfg_path) << "{\"databases\":[{\"name\":\"" << json_text(names[0]) << "\",\"size_mb\":1},"
                          << "{\"name\":\"" << json_text(names[1]) << "\",\"size_mb\":1},"
                          << "{\"name\":\"" << json_text(names[2]) << "\",\"size_mb\":1}]}";
  std::string log = dir.file("sim.log");
  SimProcess sim({"--config", cfg_path, "--backup-ms", "20", "--log", log});
  ASSERT_TRUE(sim.ok()) << sim.error();
  std::vector<std::string> expected;
  for (const std::string& name : names) {
    backup_request r;
    r.database = name;
    r.out_path = dir.file("wide.bak");
    r.extra = ",\"verify\":false,\"compression\":false";
    int32_t idx = vaultrun_start(backup_config(sim.port(), r).c_str());
    ASSERT_GE(idx, 0) << vaultrun_last_error();
    EXPECT_EQ(wait_final(idx), VAULTRUN_SESSION_DONE) << vaultrun_result(idx);
    vaultrun_free(idx);
    std::string quoted = name;
    if (quoted.back() == ']') quoted += "]";
    expected.push_back("BACKUP DATABASE [" + quoted + "] TO DISK = N'" + r.out_path + "' WITH STATS = 5");
  }
  EXPECT_EQ(read_lines(log), expected);
}

// A server that takes any statement and reports success: the session ends
// in VAULTRUN_SESSION_DONE whatever the path, so the success document can be read.
void accept_backup(ScriptPeer& peer, bool verify) {
  peer.accept_login().read_message().send(tds_message(0x04, tds_done_token(0)));
  if (verify) {
    peer.read_message().send(tds_message(0x04, tds_int_result("position", 1)));
    peer.read_message().send(tds_message(0x04, tds_done_token(0)));
  }
  peer.start();
}

TEST_F(Sessions, ResultDocumentIsWholeForAnyPath) {
  struct {
    const char* name;
    std::string json_path;  // as written in the configuration
    std::string escaped;    // as the document must carry it
  } cases[] = {
      {"1000 tabs", std::string(1000, '\t'), [] {
         std::string e;
         for (int i = 0; i < 1000; ++i) e += "\\t";
         return e;
       }()},
      {"1023 quotes", [] {
         std::string j;
         for (int i = 0; i < 1023; ++i) j += "\\\"";
         return j;
       }(), [] {
         std::string e;
         for (int i = 0; i < 1023; ++i) e += "\\\"";
         return e;
       }()},
      {"1023 control bytes", std::string(1023, '\x01'), [] {
         std::string e;
         for (int i = 0; i < 1023; ++i) e += "\\u0001";
         return e;
       }()},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptPeer peer;
    accept_backup(peer, true);
    std::string cfg = "{\"port\":" + std::to_string(peer.port()) +
                      ",\"user\":\"sa\",\"database\":\"hr\",\"out_path\":\"" + c.json_path + "\"}";
    int32_t idx = vaultrun_start(cfg.c_str());
    ASSERT_GE(idx, 0) << vaultrun_last_error();
    ASSERT_EQ(wait_final(idx), VAULTRUN_SESSION_DONE) << vaultrun_result(idx);
    std::string result = vaultrun_result(idx);
    EXPECT_EQ(strict_json_problem(result), "");
    // Compared piece by piece: a regular expression over a path this long
    // recurses too deeply for the sanitizer build's stack.
    const std::string head = "{\"ok\":true,\"out_path\":\"" + c.escaped + "\",\"verified\":true,\"pages\":";
    ASSERT_EQ(result.substr(0, head.size()), head);
    EXPECT_TRUE(std::regex_match(result.substr(head.size()), std::regex(R"re(\d+,"elapsed_ms":\d+\})re")))
        << result.substr(head.size());
    vaultrun_free(idx);
  }
}

TEST_F(Sessions, SlotForgetsThePasswordOnceTheLoginHasGoneOut) {
  SimProcess sim({"--backup-ms", "3000"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  const char zeros[sizeof(backup_config::password)] = {};
  struct {
    const char* name;
    std::string password;
    int32_t state;  // what the session reaches once the login is over
  } cases[] = {
      {"accepted login", "vaultrun", VAULTRUN_SESSION_RUNNING},
      {"refused login", "wrong-password-1234", VAULTRUN_SESSION_FAILED},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    backup_request r;
    r.out_path = dir.file("pw.bak");
    r.password = c.password;
    int32_t idx = vaultrun_start(backup_config(sim.port(), r).c_str());
    ASSERT_GE(idx, 0);
    auto t0 = Clock::now();
    while (vaultrun_status(idx) != c.state && ms_since(t0) < 5000)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(vaultrun_status(idx), c.state);
    EXPECT_EQ(std::memcmp(g_sessions[idx].cfg.password, zeros, sizeof zeros), 0);
    EXPECT_STREQ(g_sessions[idx].cfg.database, "hr");  // the rest of the copy stays for the statements
    vaultrun_free(idx);
  }
}

}  // namespace
