// The restore command's options, the configuration they make, and what it
// prints from the library's result and progress documents.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_fixture.h"
#include "json.h"
#include "options.h"
#include "restore_view.h"

namespace {

using namespace cli;
using namespace cli_test;

TEST(CliRestoreOptions, BuildTheLibrarysKeys) {
  const std::string A = "(absent)";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::pair<const char*, std::string>> members;  // key, raw JSON or A
  } cases[] = {
      {"history, newest point",
       {"restore", "--user", "sa", "--database", "inv"},
       {{"operation", "\"restore\""}, {"database", "\"inv\""}, {"source_database", A}, {"backup_files", A},
        {"out_path", A}, {"stripes", A}, {"file", A}, {"stop_at", A}, {"move", A}, {"replace", A},
        {"recovery", A}, {"dry_run", A}, {"compression", A}, {"copy_only", A}, {"verify", A}}},
      {"--as sets the target and the source",
       {"restore", "--user", "sa", "--database", "inv", "--as", "inv_copy"},
       {{"database", "\"inv_copy\""}, {"source_database", "\"inv\""}, {"move", A}}},
      {"--stop-at with a space is sent with T",
       {"restore", "--user", "sa", "--database", "inv", "--stop-at", "2026-12-10 20:31:07.1234567"},
       {{"stop_at", "\"2026-12-10T20:31:07.1234567\""}}},
      {"--files takes the arguments up to the next option",
       {"restore", "--user", "sa", "--database", "inv", "--files", "/b/f.bak", "/b/d.bak", "/b/l.trn", "--replace"},
       {{"backup_files", "[\"/b/f.bak\",\"/b/d.bak\",\"/b/l.trn\"]"}, {"replace", "true"}, {"out_path", A}}},
      {"--files repeated adds to the list",
       {"restore", "--user", "sa", "--database", "inv", "--files=/b/a.bak", "--files", "/b/b.bak"},
       {{"backup_files", "[\"/b/a.bak\",\"/b/b.bak\"]"}}},
      {"one --from is out_path, with its --file",
       {"restore", "--user", "sa", "--database", "inv", "--from", "/b/l.trn", "--file", "0003", "--no-recovery"},
       {{"out_path", "\"/b/l.trn\""}, {"file", "3"}, {"recovery", "false"}, {"stripes", A}}},
      {"several --from are the stripes of one set",
       {"restore", "--user", "sa", "--database", "inv", "--from", "/b/s1.bak", "--from", "/b/s2.bak"},
       {{"stripes", "[\"/b/s1.bak\",\"/b/s2.bak\"]"}, {"out_path", A}, {"file", A}}},
      {"--move pairs, a path that holds '='",
       {"restore", "--user", "sa", "--database", "inv", "--as", "x", "--move", "inv=/d/x.mdf", "--move",
        "inv_log=/d/a=b.ldf"},
       {{"move", "{\"inv\":\"/d/x.mdf\",\"inv_log\":\"/d/a=b.ldf\"}"}}},
      {"--move default",
       {"restore", "--user", "sa", "--database", "inv", "--move", "default", "--dry-run"},
       {{"move", "\"default\""}, {"dry_run", "true"}}},
      {"tuning keys shared with a backup",
       {"restore", "--user", "sa", "--database", "inv", "--checksum", "--credential", "c", "--buffer-count", "8"},
       {{"checksum", "true"}, {"credential", "\"c\""}, {"buffer_count", "8"}}},
      {"a backup is as before",
       {"backup", "--user", "sa", "--database", "inv", "--out", "/b/x.bak"},
       {{"operation", A}, {"database", "\"inv\""}, {"out_path", "\"/b/x.bak\""}, {"verify", "true"}}},
  };
  for (const Case& c : cases) {
    JsonValue cfg;
    ASSERT_EQ(configure(c.args, cfg), "") << c.name;
    for (const auto& [key, want] : c.members) EXPECT_EQ(raw(cfg, key), want) << c.name << ": " << key;
  }
}

TEST(CliRestoreOptions, RefusesBeforeConnecting) {
  const std::string long_path(1024, 'p');
  struct Case {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {{"restore", "--user", "sa"}, "a database is required"},
      {{"restore", "--user", "sa", "--database", "a", "--database", "b"}, "restore takes one --database"},
      {{"restore", "--user", "sa", "--database", "a", "--files", "x", "--from", "y"}, "--files and --from cannot both"},
      {{"restore", "--user", "sa", "--database", "a", "--file", "2"}, "--file needs --from"},
      {{"restore", "--user", "sa", "--database", "a", "--from", "x", "--file", "0"}, "--file takes a set's position"},
      {{"restore", "--user", "sa", "--database", "a", "--from", "x", "--file", "32768"}, "from 1 to 32767"},
      {{"restore", "--user", "sa", "--database", "a", "--from", "x", "--file", "two"}, "--file takes a whole number"},
      {{"restore", "--user", "sa", "--database", "a", "--files"}, "option --files needs a value"},
      {{"restore", "--user", "sa", "--database", "a", "--from", ""}, "--from needs a path"},
      {{"restore", "--user", "sa", "--database", "a", "--from", long_path}, "--from path is too long"},
      {{"restore", "--user", "sa", "--database", "a", "--as", ""}, "--as needs a database name"},
      {{"restore", "--user", "sa", "--database", "a", "--as", std::string(129, 'n')}, "--as: the database name is too long"},
      {{"restore", "--user", "sa", "--database", "a", "--move", "data"}, "--move takes LOGICAL=PATH or default"},
      {{"restore", "--user", "sa", "--database", "a", "--move", "=/d/x.mdf"}, "needs a logical file name and a path"},
      {{"restore", "--user", "sa", "--database", "a", "--move", "data="}, "needs a logical file name and a path"},
      {{"restore", "--user", "sa", "--database", "a", "--move", "default", "--move", "d=/x"}, "cannot be combined"},
      {{"restore", "--user", "sa", "--database", "a", "--move", "d=/x", "--move", "D=/y"}, "the logical file D is moved twice"},
      {{"restore", "--user", "sa", "--database", "a", "--move", std::string(129, 'l') + "=/x"}, "is too long (at most 128"},
      {{"restore", "--user", "sa", "--database", "a", "--out", "/x"}, "option --out applies to backup only"},
      {{"backup", "--user", "sa", "--database", "a", "--out", "/x", "--replace"}, "option --replace applies to restore only"},
      {{"list", "--user", "sa", "--checksum"}, "applies to backup, restore and restore-test only"},
  };
  for (const Case& c : cases) {
    JsonValue cfg;
    std::string e = configure(c.args, cfg);
    EXPECT_NE(e.find(c.error), std::string::npos) << c.args.back() << ": got '" << e << "'";
  }
  JsonValue cfg;
  std::vector<std::string> many = {"restore", "--user", "sa", "--database", "a", "--files"};
  for (int i = 0; i < 257; ++i) many.push_back("/b/" + std::to_string(i) + ".bak");
  EXPECT_NE(configure(many, cfg).find("at most 256 --files"), std::string::npos);
}

TEST(CliRestoreOptions, StopAtForms) {
  struct Case {
    const char* text;
    bool ok;
  } cases[] = {
      {"2026-12-10T20:31:07", true},       {"2026-12-10 20:31:07", true},      {"2026-12-10T20:31:07.5", true},
      {"2026-12-10T20:31:07.1234567", true}, {"2026-12-10T20:31:07.12345678", false}, {"2026-12-10T20:31:07.", false},
      {"2026-12-10T20:31", false},         {"2026-12-10", false},              {"2026-00-10T20:31:07", false},
      {"2026-12-32T20:31:07", false},      {"2026-12-10T24:00:00", false},     {"2026-12-10T20:60:07", false},
      {"2026-12-10X20:31:07", false},      {"2026-12-10T20:31:07Z", false},    {"+026-12-10T20:31:07", false},
      {"", false},
  };
  for (const Case& c : cases) {
    JsonValue cfg;
    std::string e = configure({"restore", "--user", "sa", "--database", "a", "--stop-at", c.text}, cfg);
    EXPECT_EQ(e.empty(), c.ok) << c.text << ": " << e;
  }
}

// A restore's own config file can serve a backup and the other way round:
// the keys that belong to the other command stay out of the text.
TEST(CliRestoreOptions, ConfigFileKeysOfTheOtherCommandStayOut) {
  const std::string path = ::testing::TempDir() + "vaultrun_restore_cfg.json";
  FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs(R"({"user":"sa","database":"inv","out_path":"/b/nightly.bak","stripes":["/b/1","/b/2"],)"
             R"("type":"log","operation":"restore","backup_files":["/b/f.bak"],"file":2,"stop_at":"2026-12-10T20:00:00"})",
             f);
  std::fclose(f);
  JsonValue r;
  ASSERT_EQ(configure({"restore", "--config", path}, r), "");
  EXPECT_EQ(raw(r, "out_path"), "(absent)");
  EXPECT_EQ(raw(r, "stripes"), "(absent)");
  EXPECT_EQ(raw(r, "type"), "(absent)");
  EXPECT_EQ(raw(r, "backup_files"), "[\"/b/f.bak\"]");
  EXPECT_EQ(raw(r, "stop_at"), "\"2026-12-10T20:00:00\"");
  // A source flag replaces the file's source whole.
  ASSERT_EQ(configure({"restore", "--config", path, "--from", "/b/l.trn"}, r), "");
  EXPECT_EQ(raw(r, "backup_files"), "(absent)");
  EXPECT_EQ(raw(r, "file"), "(absent)");
  EXPECT_EQ(raw(r, "out_path"), "\"/b/l.trn\"");
  // The backup command backs up, whatever the file's operation says.
  JsonValue b;
  ASSERT_EQ(configure({"backup", "--config", path}, b), "");
  EXPECT_EQ(raw(b, "operation"), "\"backup\"");
  EXPECT_EQ(raw(b, "out_path"), "\"/b/nightly.bak\"");
  std::remove(path.c_str());
}


TEST(CliRestoreView, StepLabels) {
  struct Case {
    const char* progress;
    const char* label;
  } cases[] = {
      {R"({"state":1,"percent":40,"message":"","elapsed_ms":5,"step":2,"steps":5,"step_type":"log"})", "step 2/5 log"},
      {R"({"state":1,"percent":99,"step":5,"steps":5,"step_type":"recovery"})", "step 5/5 recovery"},
      {R"({"state":1,"percent":0,"message":"","elapsed_ms":5})", ""},
      {R"({"state":1,"step":0,"steps":3})", ""},
      {R"({"state":1,"step":1,"steps":2})", "step 1/2"},
      {R"({"state":1,"step":1,"steps":2,"step_type":"l\u001bg"})", "step 1/2 l?g"},
  };
  for (const Case& c : cases) EXPECT_EQ(step_label(doc(c.progress)), c.label) << c.progress;
}

TEST(CliRestoreView, SummaryOfARestore) {
  JsonValue r = doc(
      R"({"ok":true,"database":"inv_copy","source_database":"inv","restored":[)"
      R"({"type":"full","target":"/b/full.bak","position":1,"finished":"2026-12-10T20:30:37.123"},)"
      R"({"type":"differential","target":["/b/d1.bak","/b/d2.bak"],"position":1,"finished":"2026-12-10T20:30:50.000"},)"
      R"({"type":"log","target":"/b/log.trn","position":2,"finished":"2026-12-10T20:31:07.000"}],)"
      R"("stop_at":"2026-12-10T20:31:00","recovered":true,"elapsed_ms":1234})");
  EXPECT_EQ(restore_summary(r),
            "restore done\n"
            "  database:  inv_copy (from the backups of inv)\n"
            "  restored:  full          /b/full.bak, set 1, finished 2026-12-10T20:30:37.123\n"
            "             differential  /b/d1.bak, /b/d2.bak, set 1, finished 2026-12-10T20:30:50.000\n"
            "             log           /b/log.trn, set 2, finished 2026-12-10T20:31:07.000\n"
            "  stop at:   2026-12-10T20:31:00\n"
            "  recovered: yes, the database is online\n");
  // Sets passed over: a full whose stripe is gone, a media set whose headers
  // could not be read.
  JsonValue passed = doc(
      R"({"ok":true,"database":"inv","source_database":"inv","restored":[)"
      R"({"type":"full","target":"/b/full.bak","position":1,"finished":"2026-12-10T20:30:37.123"}],"passed_over":[)"
      R"({"type":"full","target":"/b/new_a.bak","position":1,"finished":"2026-12-10T21:00:00.000","reason":"its media set is missing families"},)"
      R"({"type":null,"target":"/b/x.bak","position":null,"finished":null,"reason":"its header cannot be read"}],)"
      R"("stop_at":null,"recovered":true})");
  EXPECT_EQ(restore_summary(passed),
            "restore done\n"
            "  database:  inv\n"
            "  restored:  full          /b/full.bak, set 1, finished 2026-12-10T20:30:37.123\n"
            "  passed over: full          /b/new_a.bak, set 1, finished 2026-12-10T21:00:00.000 (its media set is "
            "missing families)\n"
            "               media set     /b/x.bak (its header cannot be read)\n"
            "  stop at:   the newest point the backups reach\n"
            "  recovered: yes, the database is online\n");
  JsonValue same = doc(R"({"ok":true,"database":"inv","source_database":"inv","restored":[)"
                       R"({"type":"log","target":"/b/l.trn","position":3}],"stop_at":null,"recovered":false})");
  EXPECT_EQ(restore_summary(same),
            "restore done\n"
            "  database:  inv\n"
            "  restored:  log           /b/l.trn, set 3\n"
            "  stop at:   the newest point the backups reach\n"
            "  recovered: no, the database is left restoring for further logs\n");
}

TEST(CliRestoreView, DryRunShowsThePlanAndItsStatements) {
  JsonValue r = doc(
      R"({"ok":true,"dry_run":true,"database":"x","source_database":"inv","plan":[)"
      R"({"type":"full","target":"/b/f.bak","position":1,"finished":"2026-12-10T20:30:37.123",)"
      R"("statement":"RESTORE DATABASE [x] FROM DISK = N'/b/f.bak' WITH FILE = 1, NORECOVERY, STATS = 5"},)"
      R"({"type":"log","target":"/b/l.trn","position":2,"statement":"RESTORE LOG [x] FROM DISK = N'/b/l.trn' WITH FILE = 2, NORECOVERY, STATS = 5"},)"
      R"({"type":"recovery","statement":"RESTORE DATABASE [x] WITH RECOVERY"}],"stop_at":null,"recovered":true})");
  EXPECT_EQ(restore_summary(r),
            "restore plan (dry run: nothing was restored)\n"
            "  database:  x (from the backups of inv)\n"
            "  step 1:    full          /b/f.bak, set 1, finished 2026-12-10T20:30:37.123\n"
            "             RESTORE DATABASE [x] FROM DISK = N'/b/f.bak' WITH FILE = 1, NORECOVERY, STATS = 5\n"
            "  step 2:    log           /b/l.trn, set 2\n"
            "             RESTORE LOG [x] FROM DISK = N'/b/l.trn' WITH FILE = 2, NORECOVERY, STATS = 5\n"
            "  step 3:    recovery\n"
            "             RESTORE DATABASE [x] WITH RECOVERY\n"
            "  stop at:   the newest point the backups reach\n"
            "  recovery:  at the end, the database comes online\n");
}

TEST(CliRestoreView, FailuresSayWhatWasDoneAndWhatIsLeft) {
  JsonValue before = doc(R"({"ok":false,"error":"no full backup of inv finished by 2026-12-10T20:00:00"})");
  JsonValue refused = doc(R"({"ok":false,"error":"Database 'inv' already exists.","database":"inv","restored":[],"recovered":false})");
  JsonValue midway = doc(
      R"({"ok":false,"error":"cancelled","database":"inv","restored":[{"type":"full","target":"/b/f.bak","position":1}],"recovered":false})");
  EXPECT_EQ(restore_failure_detail(before), "");
  EXPECT_EQ(restore_failure_detail(refused), "");
  EXPECT_EQ(restore_failure_detail(midway), "restored before the failure:\n  full          /b/f.bak, set 1\n");
  EXPECT_FALSE(left_restoring(before, true));
  EXPECT_FALSE(left_restoring(refused, false));  // the server refused the first step: nothing changed
  EXPECT_TRUE(left_restoring(refused, true));    // a cancel in the first step leaves it restoring
  EXPECT_TRUE(left_restoring(midway, false));
}

}  // namespace
