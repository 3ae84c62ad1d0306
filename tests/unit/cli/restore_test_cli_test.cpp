// The restore-test command and backup --verify restore: the configuration
// they make, what a run shows of each result document, and the metrics file
// that keeps the time of the last proven restore.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "json.h"
#include "metrics.h"
#include "options.h"
#include "restore_test_view.h"

namespace {

using namespace cli;
using namespace cli_test;

const std::string A = "(absent)";

TEST(CliRestoreTestOptions, BuildTheLibrarysKeys) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::pair<const char*, std::string>> members;  // key, raw JSON or A
  } cases[] = {
      {"defaults leave the check and the name to the library",
       {"restore-test", "--user", "sa", "--database", "inv"},
       {{"operation", "\"restore_test\""}, {"database", "\"inv\""}, {"checkdb", A}, {"scratch_database", A},
        {"source_database", A}, {"verify", A}, {"compression", A}, {"copy_only", A}, {"out_path", A}, {"dry_run", A}}},
      {"check, name, point in time and dry run",
       {"restore-test", "--user", "sa", "--database", "inv", "--checkdb", "physical_only", "--scratch-database",
        "inv_probe", "--stop-at", "2026-12-10 20:31:07", "--dry-run"},
       {{"checkdb", "\"physical_only\""}, {"scratch_database", "\"inv_probe\""},
        {"stop_at", "\"2026-12-10T20:31:07\""}, {"dry_run", "true"}}},
      {"backup proved by a restore test",
       {"backup", "--user", "sa", "--database", "inv", "--out", "/b/x.bak", "--verify", "restore", "--checkdb", "none"},
       {{"operation", A}, {"verify", "\"restore\""}, {"checkdb", "\"none\""}, {"scratch_database", A}}},
      {"backup as before",
       {"backup", "--user", "sa", "--database", "inv", "--out", "/b/x.bak"},
       {{"verify", "true"}, {"checkdb", A}, {"scratch_database", A}}},
  };
  for (const Case& c : cases) {
    JsonValue cfg;
    ASSERT_EQ(configure(c.args, cfg), "") << c.name;
    for (const auto& [key, want] : c.members) EXPECT_EQ(raw(cfg, key), want) << c.name << ": " << key;
  }
}

TEST(CliRestoreTestOptions, RefusesBeforeConnecting) {
  struct Case {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {{"restore-test", "--user", "sa"}, "a database is required"},
      {{"restore-test", "--user", "sa", "--all", "--database", "a"}, "--all and --database cannot both be given"},
      {{"restore-test", "--user", "sa", "--database", "a", "--exclude", "x*"}, "--exclude applies with --all only"},
      {{"restore-test", "--user", "sa", "--database", "a", "--database", "a"}, "named twice"},
      {{"restore-test", "--user", "sa", "--database", "a", "--database", "b", "--scratch-database", "s"},
       "--scratch-database applies to one --database only"},
      {{"restore-test", "--user", "sa", "--all", "--scratch-database", "s"}, "one --database only"},
      {{"restore-test", "--user", "sa", "--database", "a", "--scratch-database", std::string(129, 's')},
       "--scratch-database: the database name is too long"},
      {{"restore-test", "--user", "sa", "--database", "a", "--checkdb", "quick"}, "takes full, physical_only or none"},
      {{"restore-test", "--user", "sa", "--database", "a", "--parallel", "5"}, "--parallel takes 1 to 4"},
      {{"restore-test", "--user", "sa", "--database", "a", "--stop-at", "now"}, "--stop-at takes the server's local time"},
      {{"restore-test", "--user", "sa", "--database", "a", "--out-dir", "/b"}, "option --out-dir applies to backup only"},
      {{"restore-test", "--user", "sa", "--database", "a", "--as", "b"}, "option --as applies to restore only"},
      {{"restore", "--user", "sa", "--database", "a", "--checkdb", "none"}, "applies to backup and restore-test only"},
      {{"backup", "--user", "sa", "--database", "a", "--out", "/x", "--checkdb", "none"},
       "apply with --verify restore only"},
      {{"backup", "--user", "sa", "--database", "a", "--out", "/x", "--verify", "yes"}, "--verify takes restore"},
      {{"backup", "--user", "sa", "--database", "a", "--out", "/x", "--verify", "restore", "--no-verify"},
       "cannot both be given"},
      {{"backup", "--user", "sa", "--database", "a", "--database", "b", "--out-dir", "/b", "--verify", "restore",
        "--scratch-database", "s"},
       "one --database only"},
  };
  for (const Case& c : cases) {
    JsonValue cfg;
    std::string e = configure(c.args, cfg);
    EXPECT_NE(e.find(c.error), std::string::npos) << c.args.back() << ": got '" << e << "'";
  }
}

// "verify":"restore" in a file proves the backup; the flags still decide.
TEST(CliRestoreTestOptions, ConfigFileVerifyRestore) {
  const std::string path = ::testing::TempDir() + "vaultrun_proof_cfg.json";
  auto write = [&](const char* text) {
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(text, f);
    std::fclose(f);
  };
  write(R"({"user":"sa","database":"inv","out_path":"/b/x.bak","verify":"restore","checkdb":"none"})");
  JsonValue r;
  ASSERT_EQ(configure({"backup", "--config", path}, r), "");
  EXPECT_EQ(raw(r, "verify"), "\"restore\"");
  EXPECT_EQ(raw(r, "checkdb"), "\"none\"");
  ASSERT_EQ(configure({"backup", "--config", path, "--no-verify"}, r), "");
  EXPECT_EQ(raw(r, "verify"), "false");
  // A restore test of the same file sends its source, not the backup's keys.
  ASSERT_EQ(configure({"restore-test", "--config", path}, r), "");
  EXPECT_EQ(raw(r, "operation"), "\"restore_test\"");
  EXPECT_EQ(raw(r, "database"), "\"inv\"");
  EXPECT_EQ(raw(r, "verify"), A);
  // One scratch name per job: a file's is refused for a run of several
  // databases, as the flag is.
  write(R"({"user":"sa","database":"inv","scratch_database":"copy"})");
  ASSERT_EQ(configure({"restore-test", "--config", path}, r), "");
  EXPECT_EQ(raw(r, "scratch_database"), "\"copy\"");
  EXPECT_EQ(configure({"restore-test", "--config", path, "--database", "a", "--database", "b"}, r),
            "\"scratch_database\" in the --config file applies to one database only");
  EXPECT_EQ(configure({"restore-test", "--config", path, "--all", "--parallel", "2"}, r),
            "\"scratch_database\" in the --config file applies to one database only");
  write(R"({"user":"sa","database":"inv","out_path":"/b/x.bak","verify":false})");
  ASSERT_EQ(configure({"backup", "--config", path, "--verify", "restore"}, r), "");
  EXPECT_EQ(raw(r, "verify"), "\"restore\"");
  write(R"({"user":"sa","database":"inv","out_path":"/b/x.bak","verify":"sometimes"})");
  EXPECT_NE(configure({"backup", "--config", path}, r).find("\"verify\" must be true, false or \"restore\""),
            std::string::npos);
  std::remove(path.c_str());
}

TEST(CliRestoreTestView, RowOfEachOutcome) {
  struct Case {
    const char* name;
    const char* result;
    bool cancel_sent;
    ProofOutcome outcome;
    const char* checkdb;
    const char* copy;
    const char* error;  // a part of it; "" for none
  } cases[] = {
      {"proven",
       R"({"ok":true,"operation":"restore_test","database":"inv","scratch_database":"inv_restore_test",
           "restore_tested":true,"checkdb":"clean","checkdb_mode":"full","dropped":true,"left_behind":false,
           "phases":{"restore_ms":1200,"check_ms":300,"drop_ms":40},"elapsed_ms":1600})",
       false, ProofOutcome::Proven, "clean", "dropped", ""},
      {"damaged",
       R"({"ok":false,"error":"Msg 8928: Object ID 5, index ID 1: page (1:153) could not be processed; Msg 8939: Table error",
           "scratch_database":"inv_restore_test","restore_tested":true,"checkdb":"damaged",
           "checkdb_errors":[{"number":8928,"text":"x"},{"number":8939,"text":"y"}],"dropped":true,"left_behind":false,
           "phases":{"restore_ms":1000,"check_ms":200,"drop_ms":30}})",
       false, ProofOutcome::Damaged, "damaged", "dropped", "Msg 8928: Object ID 5"},
      {"a failed restore step",
       R"({"ok":false,"error":"the log chain is broken","scratch_database":"inv_restore_test","restore_tested":false,
           "failed_phase":"restore","failed_step":{"step":2,"type":"log"},"dropped":true,"left_behind":false})",
       false, ProofOutcome::Failed, "", "dropped", "restore step 2 (log): the log chain is broken"},
      {"a first step that made no copy",
       R"({"ok":false,"error":"cannot open backup device","scratch_database":"inv_restore_test","restore_tested":false,
           "failed_phase":"restore","failed_step":{"step":1,"type":"full"},"dropped":false,"left_behind":false})",
       false, ProofOutcome::Failed, "", "none made", "restore step 1 (full)"},
      {"cancelled during the check",
       R"({"ok":false,"error":"cancelled","failed_phase":"check","scratch_database":"inv_restore_test",
           "dropped":true,"left_behind":false})",
       true, ProofOutcome::Cancelled, "", "dropped", "cancelled during the check"},
      {"damage found before a cancel stays damage",
       R"({"ok":false,"error":"Msg 8928: x","checkdb":"damaged","scratch_database":"s","dropped":true})",
       true, ProofOutcome::Damaged, "damaged", "dropped", "Msg 8928"},
      {"left behind",
       R"({"ok":false,"error":"scratch database inv_restore_test was not dropped: connection lost",
           "scratch_database":"inv_restore_test","restore_tested":true,"checkdb":"clean","dropped":false,
           "left_behind":true})",
       false, ProofOutcome::Failed, "clean", "LEFT BEHIND", "was not dropped: connection lost"},
      {"a success that left its copy is no success",
       R"({"ok":true,"scratch_database":"inv_restore_test","checkdb":"clean","dropped":false,"left_behind":true})",
       false, ProofOutcome::Failed, "clean", "LEFT BEHIND", "inv_restore_test was not dropped"},
      {"refused before anything was sent",
       R"({"ok":false,"error":"scratch database exists: inv_probe"})",
       false, ProofOutcome::Failed, "", "-", "scratch database exists: inv_probe"},
      {"dry run", R"({"ok":true,"dry_run":true,"scratch_database":"inv_restore_test","plan":[]})", false,
       ProofOutcome::Planned, "", "-", ""},
  };
  for (const Case& c : cases) {
    const ProofRow row = proof_row(doc(c.result), c.cancel_sent);
    EXPECT_EQ(proof_outcome_name(row.outcome), std::string(proof_outcome_name(c.outcome))) << c.name;
    EXPECT_EQ(row.checkdb, c.checkdb) << c.name;
    EXPECT_EQ(copy_text(row), c.copy) << c.name;
    if (*c.error) EXPECT_NE(row.error.find(c.error), std::string::npos) << c.name << ": " << row.error;
    else EXPECT_EQ(row.error, "") << c.name;
    // The --json line's members always read back as JSON.
    JsonValue line;
    EXPECT_EQ(parse_json("{\"database\":\"inv\"" + proof_json_members(row) + "}", line), "") << c.name;
  }
}

TEST(CliRestoreTestView, PhasesReachTheJsonLine) {
  const ProofRow row = proof_row(
      doc(R"({"ok":true,"scratch_database":"inv_t","checkdb":"none","dropped":true,"phases":{"restore_ms":5,"check_ms":0,"drop_ms":7}})"),
      false);
  JsonValue line = doc(("{" + proof_json_members(row).substr(1) + "}").c_str());
  EXPECT_EQ(raw(line, "outcome"), "\"proven\"");
  EXPECT_EQ(raw(line, "phases"), R"({"restore_ms":5,"check_ms":0,"drop_ms":7})");
  EXPECT_EQ(raw(line, "left_behind"), "false");
  EXPECT_EQ(raw(line, "error"), A);
}

// A failed run keeps the time of the last proven restore from the old file:
// only this server's, only the restore test's (not a backup's success).
TEST(CliRestoreTestMetrics, LastProvenRestoreIsCarriedOver) {
  const std::string old =
      "vaultrun_backup_last_success_timestamp_seconds{server=\"db01:1433\",database=\"inv\",type=\"full\"} 1796000000\n"
      "vaultrun_restore_test_last_success_timestamp_seconds{server=\"db01:1433\",database=\"inv\"} 1795000000\n"
      "vaultrun_restore_test_last_success_timestamp_seconds{server=\"db02:1433\",database=\"hr\"} 1794000000\n"
      "vaultrun_restore_test_last_success_timestamp_seconds{server=\"db01:1433\",database=\"hr\"} 1793000000\n";
  EXPECT_EQ(previous_proof(old, "db01:1433", "inv"), 1795000000.0);
  EXPECT_EQ(previous_proof(old, "db02:1433", "inv"), std::nullopt);
  EXPECT_EQ(previous_proof(old, "db01:1433", "sales"), std::nullopt);
  EXPECT_EQ(previous_proof("", "db01:1433", "inv"), std::nullopt);
  EXPECT_EQ(previous_proven_databases(old, "db01:1433"), (std::vector<std::string>{"inv", "hr"}));

  std::vector<ProofMetrics> dbs(3);
  dbs[0] = {"inv", true, false, false, 12.5, 0.25, 0.125, previous_proof(old, "db01:1433", "inv"), false};
  dbs[1] = {"hr", true, false, true, 3.0, std::nullopt, std::nullopt, std::nullopt, false};
  dbs[2] = {"sales", true, true, false, 1.0, 2.0, 0.5, 1797000000.0, false};
  const std::string text = restore_test_metrics_text("db01:1433", dbs, false, 1797000100);
  for (const char* line : {
           "vaultrun_restore_test_success{server=\"db01:1433\",database=\"inv\"} 0\n",
           "vaultrun_restore_test_success{server=\"db01:1433\",database=\"sales\"} 1\n",
           "vaultrun_restore_test_left_behind{server=\"db01:1433\",database=\"hr\"} 1\n",
           "vaultrun_restore_test_left_behind{server=\"db01:1433\",database=\"inv\"} 0\n",
           "vaultrun_restore_test_duration_seconds{server=\"db01:1433\",database=\"inv\",phase=\"check\"} 0.250\n",
           "vaultrun_restore_test_duration_seconds{server=\"db01:1433\",database=\"hr\",phase=\"restore\"} 3.000\n",
           "vaultrun_restore_test_last_success_timestamp_seconds{server=\"db01:1433\",database=\"inv\"} 1795000000\n",
           "vaultrun_restore_test_last_success_timestamp_seconds{server=\"db01:1433\",database=\"sales\"} 1797000000\n",
           "vaultrun_run_last_outcome{server=\"db01:1433\",type=\"restore_test\"} 0\n",
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
  }
  // hr never had a proven restore and its check never ran: neither is made up.
  EXPECT_EQ(text.find("database=\"hr\"} 17"), std::string::npos) << text;
  EXPECT_EQ(text.find("database=\"hr\",phase=\"check\""), std::string::npos) << text;
  // The file read back gives the same time: the next failed run keeps it too.
  EXPECT_EQ(previous_proof(text, "db01:1433", "inv"), 1795000000.0);
}

}  // namespace

namespace {

// One file shared by several kinds and servers: a run replaces only its own
// samples (its server and kind), keeps every other whole sample under the
// one HELP and TYPE of its metric, and drops a line cut short.
TEST(CliMetricsFile, KeepsOtherKindsAndServers) {
  std::vector<DatabaseMetrics> full(1);
  full[0] = {"hr", true, true, false, 2.0, 1796000000.0, ""};
  std::vector<DatabaseMetrics> log_run(2);
  log_run[0] = {"hr", true, false, false, 1.0, std::nullopt, ""};
  log_run[1] = {"new", true, true, false, 1.0, 1796000500.0, "full"};  // changed to a full backup
  std::vector<ProofMetrics> proof(2);
  proof[0] = {"hr", true, true, false, 1.0, 1.0, 1.0, 1796000100.0, false};
  proof[1].database = "replica";
  proof[1].skipped = true;
  std::string old = keep_other_samples(metrics_text("db01:1433", "full", full, true, 1796000000), "", "db01:1433", "full");
  old = keep_other_samples(restore_test_metrics_text("db01:1433", proof, true, 1796000100), old, "db01:1433",
                           "restore_test");
  old = keep_other_samples(metrics_text("db02:1433", "log", log_run, true, 1796000200), old, "db02:1433", "log");
  old = keep_other_samples(metrics_text("db01:1433", "log", log_run, true, 1796000300), old, "db01:1433", "log");
  // An older version's sample without a type, and a line cut short (an old
  // file read up to its cap).
  old += "vaultrun_backup_last_outcome{server=\"db04:1433\",database=\"hr\"} 1\n";
  old += "vaultrun_backup_last_outcome{server=\"db03:1433\",database=\"cut";
  log_run[0].succeeded = true;
  log_run[0].last_success = 1796000400.0;
  const std::string text = keep_other_samples(metrics_text("db01:1433", "log", log_run, true, 1796000400), old,
                                              "db01:1433", "log");
  for (const char* line : {
           "vaultrun_backup_last_outcome{server=\"db01:1433\",database=\"hr\",type=\"full\"} 1\n",
           "vaultrun_backup_last_outcome{server=\"db01:1433\",database=\"hr\",type=\"log\"} 1\n",
           "vaultrun_backup_last_outcome{server=\"db02:1433\",database=\"hr\",type=\"log\"} 0\n",
           "vaultrun_backup_last_outcome{server=\"db01:1433\",database=\"new\",type=\"full\"} 1\n",
           "vaultrun_backup_last_success_timestamp_seconds{server=\"db01:1433\",database=\"hr\",type=\"full\"} 1796000000\n",
           "vaultrun_backup_last_success_timestamp_seconds{server=\"db01:1433\",database=\"hr\",type=\"log\"} 1796000400\n",
           "vaultrun_restore_test_success{server=\"db01:1433\",database=\"hr\"} 1\n",
           "vaultrun_restore_test_skipped{server=\"db01:1433\",database=\"replica\"} 1\n",
           "vaultrun_run_last_timestamp_seconds{server=\"db01:1433\",type=\"full\"} 1796000000\n",
           "vaultrun_run_last_timestamp_seconds{server=\"db01:1433\",type=\"restore_test\"} 1796000100\n",
           "vaultrun_run_last_timestamp_seconds{server=\"db02:1433\",type=\"log\"} 1796000200\n",
           "vaultrun_run_last_timestamp_seconds{server=\"db01:1433\",type=\"log\"} 1796000400\n",
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
  }
  EXPECT_EQ(text.find("1796000300"), std::string::npos) << "this run's kind replaced whole:\n" << text;
  EXPECT_EQ(text.find("db03"), std::string::npos) << text;
  EXPECT_EQ(text.find("db04"), std::string::npos) << text;
  // Each metric once, its samples together.
  std::vector<std::string> seen;
  std::string last;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.rfind("# TYPE ", 0) == 0) {
      const std::string name = line.substr(7, line.find(' ', 7) - 7);
      EXPECT_EQ(std::count(seen.begin(), seen.end(), name), 0) << name;
      seen.push_back(name);
      last = name;
    } else if (line[0] != '#') {
      EXPECT_EQ(line.rfind(last + "{", 0), 0u) << line;
    }
  }
}

}  // namespace
