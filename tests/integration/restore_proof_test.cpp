// Restore tests through the exports against the simulated server over
// loopback TCP: a chain restored under a copy's name, DBCC CHECKDB of the
// copy, and the copy dropped by its identity once it exists, never a
// database the session did not create.
// What the server holds afterwards is read back with a client of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "raw_tds.h"
#include "sim_process.h"
#include "session_run.h"
#include "strict_json.h"
#include "vaultrun.h"

namespace {

using namespace vaultrun_test;
using Clock = std::chrono::steady_clock;

bool failed(const std::vector<Token>& ts) { return !ts.empty() && (ts.back().status & 0x0002) != 0; }

// The member's raw JSON value ("..." with its quotes, a number, true,
// false, null, or the text of an object or array up to its close); "" when absent.
std::string member(const std::string& doc, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  const size_t at = doc.find(key);
  if (at == std::string::npos) return "";
  size_t i = at + key.size(), depth = 0;
  bool in_text = false;
  const size_t start = i;
  for (; i < doc.size(); ++i) {
    const char c = doc[i];
    if (in_text) {
      if (c == '\\') ++i;
      else if (c == '"') in_text = false;
      if (!in_text && depth == 0) return doc.substr(start, i + 1 - start);
      continue;
    }
    if (c == '"') in_text = true;
    else if (c == '{' || c == '[') ++depth;
    else if (c == '}' || c == ']') {
      if (depth == 0) break;
      if (--depth == 0) return doc.substr(start, i + 1 - start);
    } else if (c == ',' && depth == 0) break;
  }
  return doc.substr(start, i - start);
}

class RestoreProof : public ::testing::Test {
 protected:
  void start(std::vector<std::string> args = {}) {
    log_ = dir_.file("sim.log");
    // Defaults first: a test's own value of a flag comes later and wins.
    args.insert(args.begin(), {"--backup-ms", "30", "--log", log_});
    sim_ = std::make_unique<SimProcess>(args);
    ASSERT_TRUE(sim_->ok()) << sim_->error();
    c_ = std::make_unique<Client>(sim_->port());
    ASSERT_NO_FATAL_FAILURE(login(*c_));
  }
  void TearDown() override {
    for (int32_t i = 0; i < 4; ++i) vaultrun_free(i);
  }
  std::string file(const std::string& name) const { return dir_.file(name); }
  void sql(const std::string& text) {
    auto ts = exec(*c_, text);
    ASSERT_FALSE(failed(ts)) << text;
  }
  void backup(const std::string& db, const std::string& kind, const std::string& name, const std::string& with = "") {
    sql("BACKUP " + kind + " " + bracket(db) + " TO DISK = " + quote(file(name)) + (with.empty() ? "" : " WITH " + with));
  }
  std::string config(const std::string& db, const std::string& extra = "") const {
    return "{\"port\":" + std::to_string(sim_->port()) + ",\"user\":\"sa\",\"password\":\"vaultrun\",\"database\":\"" +
           db + "\",\"operation\":\"restore_test\"" + extra + "}";
  }
  // Starts a session; -1 when refused.
  int32_t begin(const std::string& cfg) { return vaultrun_start(cfg.c_str()); }
  std::string finish(int32_t idx, int64_t bound_ms = 20000) {
    return vaultrun_test::finish_session(idx, std::chrono::milliseconds(bound_ms));
  }
  std::string run(const std::string& cfg) {
    const int32_t idx = begin(cfg);
    if (idx < 0) return std::string("refused: ") + vaultrun_last_error();
    return finish(idx);
  }
  // Waits until the session's progress names the phase; its document then.
  std::string wait_phase(int32_t idx, const std::string& phase, int64_t bound_ms = 10000) {
    const auto t0 = Clock::now();
    std::string p;
    while (Clock::now() - t0 < std::chrono::milliseconds(bound_ms)) {
      p = vaultrun_progress(idx);
      if (p.find("\"phase\":\"" + phase + "\"") != std::string::npos) return p;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ADD_FAILURE() << "never reached " << phase << ": " << p;
    return p;
  }
  std::vector<std::string> databases() {
    std::vector<std::string> names;
    for (const Token& t : exec(*c_, "SELECT name FROM sys.databases")) {
      if (t.type == 0xD1) names.push_back(t.cells.at(0));
    }
    return names;
  }
  bool has_database(const std::string& name) {
    auto names = databases();
    return std::find(names.begin(), names.end(), name) != names.end();
  }
  // The statements the server saw that mention text.
  std::vector<std::string> logged(const std::string& text) const {
    std::vector<std::string> out;
    for (const std::string& line : read_lines(log_)) {
      if (line.find(text) != std::string::npos) out.push_back(line);
    }
    return out;
  }

  TempDir dir_;
  std::string log_;
  std::unique_ptr<SimProcess> sim_;
  std::unique_ptr<Client> c_;
};

// A full backup proven clean, then the same database marked damaged: the
// copy fails its check with the server's errors, and is dropped both times.
TEST_F(RestoreProof, CleanAndDamagedCopiesAreCheckedAndDropped) {
  ASSERT_NO_FATAL_FAILURE(start({"--damaged", "sales"}));
  backup("inventory", "DATABASE", "inv.bak");
  backup("sales", "DATABASE", "sales.bak");

  const std::string clean = run(config("inventory"));
  EXPECT_EQ(member(clean, "ok"), "true") << clean;
  EXPECT_EQ(member(clean, "operation"), "\"restore_test\"");
  EXPECT_EQ(member(clean, "database"), "\"inventory\"");
  EXPECT_EQ(member(clean, "scratch_database"), "\"inventory_restore_test\"");
  EXPECT_EQ(member(clean, "restore_tested"), "true");
  EXPECT_EQ(member(clean, "checkdb"), "\"clean\"");
  EXPECT_EQ(member(clean, "checkdb_mode"), "\"full\"");
  EXPECT_EQ(member(clean, "recovered"), "true");
  EXPECT_EQ(member(clean, "dropped"), "true");
  EXPECT_EQ(member(clean, "left_behind"), "false");
  EXPECT_TRUE(std::regex_match(member(clean, "phases"),
                               std::regex(R"(\{"restore_ms":\d+,"check_ms":\d+,"drop_ms":\d+\})")));
  EXPECT_NE(member(clean, "restored").find("\"type\":\"full\""), std::string::npos);

  const std::string damaged = run(config("sales"));
  EXPECT_EQ(member(damaged, "ok"), "false") << damaged;
  EXPECT_EQ(member(damaged, "restore_tested"), "true");
  EXPECT_EQ(member(damaged, "checkdb"), "\"damaged\"");
  EXPECT_EQ(member(damaged, "failed_phase"), "\"check\"");
  EXPECT_EQ(member(damaged, "error").rfind("\"Msg 8928: ", 0), 0u) << damaged;
  EXPECT_NE(member(damaged, "error").find("; Msg 8939: "), std::string::npos);
  const std::string errors = member(damaged, "checkdb_errors");
  EXPECT_NE(errors.find("{\"number\":8928,\"text\":\"Object ID 0"), std::string::npos) << errors;
  EXPECT_NE(errors.find("\"number\":8989"), std::string::npos);
  EXPECT_EQ(member(damaged, "dropped"), "true");

  // Every statement the copies met, in order, and nothing of them left.
  // claim, restore, recovery, identity, check, drop
  EXPECT_EQ(logged("inventory_restore_test").size(), 6u);
  EXPECT_EQ(logged("DBCC CHECKDB ([sales_restore_test]) WITH NO_INFOMSGS, ALL_ERRORMSGS"),
            std::vector<std::string>{"DBCC CHECKDB ([sales_restore_test]) WITH NO_INFOMSGS, ALL_ERRORMSGS"});
  EXPECT_EQ(logged("DROP DATABASE").size(), 2u);
  EXPECT_FALSE(has_database("inventory_restore_test"));
  EXPECT_FALSE(has_database("sales_restore_test"));
  EXPECT_TRUE(has_database("sales"));
}

// The check's modes: the statement sent, or none at all.
TEST_F(RestoreProof, CheckModesSendTheirStatementOrNone) {
  ASSERT_NO_FATAL_FAILURE(start({"--damaged", "hr"}));
  backup("hr", "DATABASE", "hr.bak");
  const struct {
    const char* mode;
    const char* ok;
    const char* checkdb;
    const char* statement;  // "" for none
  } cases[] = {
      {"physical_only", "false", "\"damaged\"",
       "DBCC CHECKDB ([hr_restore_test]) WITH NO_INFOMSGS, ALL_ERRORMSGS, PHYSICAL_ONLY"},
      {"none", "true", "\"none\"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    const size_t checks = logged("DBCC").size();
    const std::string doc = run(config("hr", std::string(",\"checkdb\":\"") + c.mode + "\""));
    EXPECT_EQ(member(doc, "ok"), c.ok) << doc;
    EXPECT_EQ(member(doc, "checkdb"), c.checkdb);
    EXPECT_EQ(member(doc, "checkdb_mode"), std::string("\"") + c.mode + "\"");
    EXPECT_EQ(member(doc, "dropped"), "true");
    const auto after = logged("DBCC");
    ASSERT_EQ(after.size(), checks + (c.statement[0] != 0 ? 1 : 0));
    if (c.statement[0] != 0) {
      EXPECT_EQ(after.back(), c.statement);
    } else {
      EXPECT_NE(member(doc, "phases").find("\"check_ms\":0"), std::string::npos);
    }
  }
  EXPECT_FALSE(has_database("hr_restore_test"));
}

// A log and a differential backup are tested with the chain they need; a
// copy name that exists is never used, replaced or dropped.
TEST_F(RestoreProof, ChainsAndNamesThatExist) {
  ASSERT_NO_FATAL_FAILURE(start());
  backup("inventory", "DATABASE", "f.bak");
  backup("inventory", "DATABASE", "d.bak", "DIFFERENTIAL");
  backup("inventory", "LOG", "l1.trn");
  backup("inventory", "LOG", "l2.trn");
  // A database of the default name: the next suffix is used, the existing one untouched.
  sql("RESTORE DATABASE [inventory_restore_test] FROM DISK = " + quote(file("f.bak")) +
      " WITH MOVE N'inventory' TO " + quote(file("keep.mdf")) + ", MOVE N'inventory_log' TO " + quote(file("keep.ldf")));

  const std::string chain = run(config("inventory"));
  EXPECT_EQ(member(chain, "ok"), "true") << chain;
  EXPECT_EQ(member(chain, "scratch_database"), "\"inventory_restore_test_2\"");
  const std::string steps = member(chain, "restored");
  EXPECT_TRUE(std::regex_search(steps, std::regex("\"full\".*\"differential\".*\"log\".*\"log\""))) << steps;
  EXPECT_EQ(logged("inventory_restore_test_2.mdf").size(), 1u);  // the copy's own files

  const std::string exists = run(config("inventory", ",\"scratch_database\":\"Inventory_Restore_Test\""));
  EXPECT_EQ(exists, "{\"ok\":false,\"error\":\"scratch database exists: Inventory_Restore_Test\"}");
  EXPECT_TRUE(has_database("inventory_restore_test"));
  EXPECT_FALSE(has_database("inventory_restore_test_2"));
  EXPECT_EQ(logged("DROP DATABASE [inventory_restore_test]").size(), 0u);
  EXPECT_EQ(logged("RESTORE DATABASE [Inventory_Restore_Test]").size(), 0u);

  // Files that would land on an existing database's are refused before any step.
  const std::string clash = run(config("inventory", ",\"scratch_database\":\"c\",\"move\":{\"inventory\":\"" +
                                                    file("KEEP.mdf") + "\",\"inventory_log\":\"" + file("c.ldf") + "\"}"));
  EXPECT_EQ(clash, "{\"ok\":false,\"error\":\"scratch database file exists: " + file("KEEP.mdf") + "\"}");
  EXPECT_EQ(logged("RESTORE DATABASE [c]").size(), 0u);
}

// A first step that fails: the steps done, which failed and why; it created
// nothing, so nothing is dropped.
TEST_F(RestoreProof, AFailedFirstStepIsNamedAndNothingDropped) {
  ASSERT_NO_FATAL_FAILURE(start({"--corrupt-newest"}));
  backup("inventory", "DATABASE", "f.bak");
  const std::string doc = run(config("inventory"));
  EXPECT_EQ(member(doc, "ok"), "false") << doc;
  EXPECT_EQ(member(doc, "restore_tested"), "false");
  EXPECT_EQ(member(doc, "failed_phase"), "\"restore\"");
  EXPECT_EQ(member(doc, "failed_step"), "{\"step\":1,\"type\":\"full\"}");
  EXPECT_EQ(member(doc, "checkdb"), "");
  EXPECT_EQ(member(doc, "left_behind"), "false");
  EXPECT_EQ(member(doc, "dropped"), "false");
  EXPECT_EQ(member(doc, "copy"), "\"not_created\"");
  EXPECT_FALSE(has_database("inventory_restore_test"));
  EXPECT_EQ(logged("DROP DATABASE").size(), 0u);
}

// A cancel stops the phase it arrives in; the copy is still dropped, and
// the progress named each phase on the way.
TEST_F(RestoreProof, CancelInEachPhaseStillDrops) {
  ASSERT_NO_FATAL_FAILURE(start({"--backup-ms", "1500"}));
  backup("hr", "DATABASE", "hr.bak");
  for (const char* phase : {"restore", "check"}) {
    SCOPED_TRACE(phase);
    const int32_t idx = begin(config("hr"));
    ASSERT_GE(idx, 0) << vaultrun_last_error();
    const std::string progress = wait_phase(idx, phase);
    EXPECT_NE(progress.find(std::string("\"message\":\"") + phase + ": "), std::string::npos) << progress;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    vaultrun_cancel(idx);
    const std::string doc = finish(idx);
    EXPECT_EQ(member(doc, "error"), "\"cancelled\"") << doc;
    EXPECT_EQ(member(doc, "failed_phase"), std::string("\"") + phase + "\"");
    EXPECT_EQ(member(doc, "dropped"), "true");
    EXPECT_FALSE(has_database("hr_restore_test"));
  }
}

// A connection lost during the check (closed, or never answered and then
// cancelled): the copy is dropped through a new connection.
TEST_F(RestoreProof, ConnectionLostDuringTheCheckDropsThroughANewOne) {
  for (const char* fault : {"close", "hang"}) {
    SCOPED_TRACE(fault);
    ASSERT_NO_FATAL_FAILURE(start({"--fault-checkdb", fault}));
    backup("hr", "DATABASE", "hr.bak");
    const size_t drops = logged("DROP DATABASE [hr_restore_test]").size();  // the log outlives each server
    const int32_t idx = begin(config("hr", ",\"connect_timeout_ms\":5000"));
    ASSERT_GE(idx, 0);
    if (std::string(fault) == "hang") {
      wait_phase(idx, "check");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      vaultrun_cancel(idx);
    }
    const std::string doc = finish(idx);
    EXPECT_EQ(member(doc, "ok"), "false") << doc;
    EXPECT_EQ(member(doc, "failed_phase"), "\"check\"");
    EXPECT_EQ(member(doc, "dropped"), "true");
    EXPECT_EQ(member(doc, "left_behind"), "false");
    EXPECT_FALSE(has_database("hr_restore_test"));
    EXPECT_EQ(logged("DROP DATABASE [hr_restore_test]").size(), drops + 1);
    c_.reset();
    sim_.reset();
  }
}

// A dry run plans with the copy's name and shows every statement, and
// changes nothing.
TEST_F(RestoreProof, DryRunShowsEveryStatementAndSendsNone) {
  ASSERT_NO_FATAL_FAILURE(start());
  backup("hr", "DATABASE", "hr.bak");
  const std::string doc = run(config("hr", ",\"dry_run\":true,\"checkdb\":\"physical_only\""));
  EXPECT_EQ(member(doc, "ok"), "true") << doc;
  const std::string plan = member(doc, "plan");
  EXPECT_NE(plan.find("RESTORE DATABASE [hr_restore_test] FROM DISK"), std::string::npos) << plan;
  EXPECT_NE(plan.find("{\"type\":\"check\",\"statement\":\"DBCC CHECKDB ([hr_restore_test]) WITH NO_INFOMSGS, "
                      "ALL_ERRORMSGS, PHYSICAL_ONLY\"}"),
            std::string::npos);
  // The drop names the copy's identity, known once it exists.
  EXPECT_NE(plan.find("{\"type\":\"drop\"}"), std::string::npos);
  const std::vector<std::string> sent = logged("hr_restore_test");
  ASSERT_EQ(sent.size(), 1u);  // the claim only
  EXPECT_EQ(sent[0].rfind("DECLARE @claim", 0), 0u) << sent[0];
}

// A backup that proves itself: a full by its own set, a differential and a
// log with the chain the history gives them; no VERIFYONLY is sent, and a
// damaged database's backup fails its proof.
TEST_F(RestoreProof, BackupsProveThemselvesByARestoreTest) {
  ASSERT_NO_FATAL_FAILURE(start({"--damaged", "sales"}));
  const auto backup_cfg = [&](const std::string& db, const std::string& name, const std::string& extra) {
    return "{\"port\":" + std::to_string(sim_->port()) + ",\"user\":\"sa\",\"password\":\"vaultrun\",\"database\":\"" +
           db + "\",\"out_path\":\"" + file(name) + "\",\"verify\":\"restore\"" + extra + "}";
  };
  const struct {
    const char* name;
    std::string db, file, extra;
    const char* steps;  // the kinds restored, in order
  } cases[] = {
      {"full", "inventory", "f.bak", "", "full"},
      {"differential", "inventory", "d.bak", ",\"type\":\"differential\"", "full,differential"},
      {"log", "inventory", "l.trn", ",\"type\":\"log\",\"checkdb\":\"physical_only\"", "full,differential,log"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string doc = run(backup_cfg(c.db, c.file, c.extra));
    EXPECT_EQ(member(doc, "ok"), "true") << doc;
    EXPECT_EQ(member(doc, "out_path"), "\"" + file(c.file) + "\"");
    EXPECT_EQ(member(doc, "verified"), "true");
    const std::string test = member(doc, "restore_test");
    EXPECT_EQ(member(test, "checkdb"), "\"clean\"") << test;
    EXPECT_EQ(member(test, "dropped"), "true");
    static const std::regex TYPE("\"type\":\"(\\w+)\"");
    std::string kinds;
    for (std::sregex_iterator m(test.begin(), test.end(), TYPE), end; m != end; ++m) {
      kinds += (kinds.empty() ? "" : ",") + (*m)[1].str();
    }
    EXPECT_EQ(kinds, c.steps);
    // The chain's last step is the set just written.
    EXPECT_NE(test.find(file(c.file) + "\",\"position\":1"), std::string::npos) << test;
  }
  EXPECT_EQ(logged("VERIFYONLY").size(), 0u);

  const std::string damaged = run(backup_cfg("sales", "s.bak", ""));
  EXPECT_EQ(member(damaged, "ok"), "false") << damaged;
  EXPECT_EQ(member(damaged, "error").rfind("\"restore test failed: Msg 8928: ", 0), 0u);
  EXPECT_EQ(member(damaged, "verified"), "false");
  EXPECT_EQ(member(member(damaged, "restore_test"), "checkdb"), "\"damaged\"");
  EXPECT_FALSE(has_database("sales_restore_test"));
  EXPECT_FALSE(has_database("inventory_restore_test"));
}

// A name the server resolves to a database that exists (trailing spaces,
// case beyond ASCII) is never restored into nor dropped; the copy takes a
// name the server itself says is free.
TEST_F(RestoreProof, NamesAreJudgedFreeByTheServer) {
  ASSERT_NO_FATAL_FAILURE(start({"--database", "Café:8:FULL", "--database", "CAFÉ_restore_test:8:FULL"}));
  backup("sales", "DATABASE", "sales.bak");
  backup("Café", "DATABASE", "cafe.bak");
  const struct {
    const char* name;
    std::string cfg;
    std::string error;    // "" when the test runs
    const char* scratch;  // the copy when it runs
  } cases[] = {
      {"trailing space reaches the source", config("sales", ",\"scratch_database\":\"sales \""),
       "\"scratch database exists: sales \"", nullptr},
      {"another case and a trailing space", config("sales", ",\"scratch_database\":\"Sales \""),
       "\"scratch database exists: Sales \"", nullptr},
      {"accented capitals", config("Café"), "", "\"Café_restore_test_2\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string doc = run(c.cfg);
    if (!c.error.empty()) {
      EXPECT_EQ(doc, "{\"ok\":false,\"error\":" + c.error + "}");
      continue;
    }
    EXPECT_EQ(member(doc, "ok"), "true") << doc;
    EXPECT_EQ(member(doc, "scratch_database"), c.scratch);
    EXPECT_EQ(member(doc, "dropped"), "true");
  }
  EXPECT_EQ(logged("RESTORE DATABASE [sales").size(), 0u);
  EXPECT_EQ(logged("RESTORE DATABASE [CAFÉ").size(), 0u);
  EXPECT_TRUE(has_database("sales"));
  EXPECT_TRUE(has_database("CAFÉ_restore_test"));
}

// Another database holds the name the claim found free: created by another
// connection right after the claim, or one the login cannot see. The first
// RESTORE is refused, and nothing is dropped.
TEST_F(RestoreProof, ANameHeldByAnotherDatabaseIsNeverDropped) {
  const struct {
    const char* name;
    std::vector<std::string> args;
  } cases[] = {
      {"created between two statements", {"--race-create"}},
      {"hidden from the login", {"--database", "hr_restore_test:8:FULL", "--hidden", "hr_restore_test"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(start(c.args));
    backup("hr", "DATABASE", "hr.bak");
    const size_t drops = logged("DROP DATABASE").size();  // the log outlives each server
    const std::string doc = run(config("hr"));
    EXPECT_EQ(member(doc, "ok"), "false") << doc;
    EXPECT_EQ(member(doc, "failed_step"), "{\"step\":1,\"type\":\"full\"}") << doc;
    EXPECT_EQ(member(doc, "copy"), "\"not_created\"");
    EXPECT_EQ(member(doc, "dropped"), "false");
    EXPECT_EQ(member(doc, "left_behind"), "false");
    EXPECT_EQ(logged("DROP DATABASE").size(), drops);
    c_.reset();
    sim_.reset();
  }
}

// Two tests of one database at once: each claims its own name on the
// server, and each drops only its own copy.
TEST_F(RestoreProof, TwoTestsAtOnceNeverShareACopy) {
  ASSERT_NO_FATAL_FAILURE(start({"--backup-ms", "300"}));
  backup("hr", "DATABASE", "hr.bak");
  const int32_t a = begin(config("hr"));
  const int32_t b = begin(config("hr"));
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  const std::string da = finish(a), db = finish(b);
  EXPECT_EQ(member(da, "ok"), "true") << da;
  EXPECT_EQ(member(db, "ok"), "true") << db;
  EXPECT_NE(member(da, "scratch_database"), member(db, "scratch_database"));
  EXPECT_EQ(member(da, "dropped"), "true");
  EXPECT_EQ(member(db, "dropped"), "true");
  EXPECT_FALSE(has_database("hr_restore_test"));
  EXPECT_FALSE(has_database("hr_restore_test_2"));
}

// The connection breaks during the check and the new login reaches a
// second server behind the same host name, which has a database of the
// copy's name: nothing is dropped there, and the copy is named left behind
// on its own server.
TEST_F(RestoreProof, ASecondServerBehindTheHostNameDropsNothing) {
  ASSERT_NO_FATAL_FAILURE(start({"--fault-checkdb", "close", "--failover-server-name", "OTHER-NODE"}));
  backup("hr", "DATABASE", "hr.bak");
  const std::string doc = run(config("hr", ",\"connect_timeout_ms\":5000"));
  EXPECT_EQ(member(doc, "ok"), "false") << doc;
  EXPECT_EQ(member(doc, "dropped"), "false");
  EXPECT_EQ(member(doc, "left_behind"), "true");
  EXPECT_EQ(member(doc, "copy"), "\"left_behind\"");
  EXPECT_EQ(member(doc, "server"), "\"VAULTRUN-SIM\"");
  EXPECT_NE(member(doc, "error").find("scratch database hr_restore_test on server VAULTRUN-SIM was not dropped: "
                                      "the connection reached another server"),
            std::string::npos)
      << doc;
  EXPECT_TRUE(has_database("hr_restore_test"));
}

// CHECKDB's answer classified: a check that could not run is a failed
// check with the server's text, not damage; corruption messages received
// before the connection broke are kept.
TEST_F(RestoreProof, CheckdbAnswersAreClassified) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    const char* checkdb;
    const char* first_error;
  } cases[] = {
      {"no snapshot", {"--fault-checkdb", "snapshot"}, "\"failed\"", "{\"number\":5030,"},
      {"damage, then the connection breaks", {"--fault-checkdb", "close", "--damaged", "hr"}, "\"damaged\"",
       "{\"number\":8928,"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(start(c.args));
    backup("hr", "DATABASE", "hr.bak");
    const std::string doc = run(config("hr", ",\"connect_timeout_ms\":5000"));
    EXPECT_EQ(member(doc, "ok"), "false") << doc;
    EXPECT_EQ(member(doc, "checkdb"), c.checkdb);
    EXPECT_EQ(member(doc, "checkdb_errors").rfind(std::string("[") + c.first_error, 0), 0u) << doc;
    EXPECT_EQ(member(doc, "failed_phase"), "\"check\"");
    EXPECT_EQ(member(doc, "dropped"), "true");
    EXPECT_FALSE(has_database("hr_restore_test"));
    c_.reset();
    sim_.reset();
  }
}

// A restore with REPLACE whose file paths were derived from the target's
// name: a path that is another database's file is refused before any
// RESTORE; one of the target's own files is not.
TEST_F(RestoreProof, DerivedPathsOfAnotherDatabaseRefuseReplace) {
  ASSERT_NO_FATAL_FAILURE(start({"--database", "a_b:8:FULL"}));
  backup("hr", "DATABASE", "hr.bak");
  const auto restore = [&](const std::string& target) {
    return "{\"port\":" + std::to_string(sim_->port()) +
           ",\"user\":\"sa\",\"password\":\"vaultrun\",\"operation\":\"restore\",\"database\":\"" + target +
           "\",\"source_database\":\"hr\",\"replace\":true}";
  };
  const std::string refused = run(restore("a/b"));
  EXPECT_EQ(member(refused, "ok"), "false") << refused;
  EXPECT_NE(member(refused, "error").find("replace refused: the file belongs to another database: "),
            std::string::npos)
      << refused;
  EXPECT_EQ(logged("RESTORE DATABASE [a/b]").size(), 0u);
  EXPECT_TRUE(has_database("a_b"));
  const std::string own = run(restore("a_b"));
  EXPECT_EQ(member(own, "ok"), "true") << own;
}

// A restore test of an explicit set proves the source only with a set of
// the source (as the server compares names); another database's set is
// refused before any RESTORE.
TEST_F(RestoreProof, AnExplicitSetMustBeOfTheSource) {
  ASSERT_NO_FATAL_FAILURE(start());
  backup("hr", "DATABASE", "hr.bak");
  const std::string set = ",\"out_path\":\"" + file("hr.bak") + "\",\"file\":1";
  const std::string other = run(config("inventory", set));
  EXPECT_EQ(other, "{\"ok\":false,\"error\":\"the backup set is of another database: hr\"}");
  EXPECT_EQ(logged("RESTORE DATABASE").size(), 0u);
  const std::string same = run(config("HR", set));
  EXPECT_EQ(member(same, "ok"), "true") << same;
  EXPECT_EQ(member(same, "dropped"), "true");
}

}  // namespace
