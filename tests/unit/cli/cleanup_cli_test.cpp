// The cleanup command: the configuration it makes, its refusals before
// anything is sent, what a run shows of a result document, and its metrics.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cleanup_view.h"
#include "cli_fixture.h"
#include "json.h"
#include "metrics.h"
#include "options.h"

namespace {

using namespace cli;
using namespace cli_test;

const std::string A = "(absent)";

TEST(CliCleanupOptions, BuildTheLibrarysKeys) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::pair<const char*, std::string>> members;  // key, raw JSON or A
  } cases[] = {
      {"hours, one folder",
       {"cleanup", "--user", "sa", "--database", "inv", "--keep", "36h", "--folder", "/b"},
       {{"operation", "\"cleanup\""}, {"database", "\"inv\""}, {"keep_hours", "36"}, {"folders", "[\"/b\"]"},
        {"dry_run", A}, {"out_path", A}, {"verify", A}, {"compression", A}}},
      {"days, several folders, dry run",
       {"cleanup", "--user", "sa", "--database", "inv", "--keep=14d", "--folder", "D:\\b", "E:\\c", "--dry-run"},
       {{"keep_hours", "336"}, {"folders", "[\"D:\\\\b\",\"E:\\\\c\"]"}, {"dry_run", "true"}}},
      {"the longest window",
       {"cleanup", "--user", "sa", "--database", "inv", "--keep", "36500d", "--folder", "/b", "--folder", "/c"},
       {{"keep_hours", "876000"}, {"folders", "[\"/b\",\"/c\"]"}}},
  };
  for (const Case& c : cases) {
    JsonValue cfg;
    ASSERT_EQ(configure(c.args, cfg), "") << c.name;
    for (const auto& [key, want] : c.members) EXPECT_EQ(raw(cfg, key), want) << c.name << ": " << key;
  }
}

TEST(CliCleanupOptions, RefusesBeforeConnecting) {
  const std::vector<std::string> base = {"cleanup", "--user", "sa", "--database", "a", "--folder", "/b"};
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  struct Case {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {base, "a window to keep is required"},
      {with({"--keep", "0h"}), "--keep takes hours or days"},
      {with({"--keep", "876001h"}), "--keep takes hours or days"},
      {with({"--keep", "36501d"}), "--keep takes hours or days"},
      {with({"--keep", "36"}), "--keep takes hours or days"},
      {with({"--keep", "1d12h"}), "--keep takes hours or days"},
      {with({"--keep", "90m"}), "--keep takes hours or days"},
      {with({"--keep", "-3d"}), "--keep takes hours or days"},
      {with({"--keep", " 3d"}), "--keep takes hours or days"},
      {with({"--keep", "99999999999999999999h"}), "--keep takes hours or days"},
      {{"cleanup", "--user", "sa", "--database", "a", "--keep", "3d"}, "a folder on the server"},
      {with({"--keep", "3d", "--folder", ""}), "--folder needs a directory"},
      {with({"--keep", "3d", "--folder", "/x\x01y"}), "control character"},
      {with({"--keep", "3d", "--folder", "/" + std::string(1100, 'x')}), "too long"},
      {{"cleanup", "--user", "sa", "--keep", "3d", "--folder", "/b"}, "a database is required"},
      {with({"--keep", "3d", "--all"}), "--all and --database cannot both be given"},
      {with({"--keep", "3d", "--exclude", "x*"}), "--exclude applies with --all only"},
      {with({"--keep", "3d", "--system"}), "--system applies with --all only"},
      {with({"--keep", "3d", "--parallel", "5"}), "--parallel takes 1 to 4"},
      {with({"--keep", "3d", "--out", "/x.bak"}), "option --out applies to backup only"},
      {with({"--keep", "3d", "--stop-at", "2026-01-01T00:00:00"}), "applies to restore and restore-test only"},
      {{"restore", "--user", "sa", "--database", "a", "--system"}, "applies to backup and cleanup only"},
      {{"restore", "--user", "sa", "--database", "a", "--keep", "3d"}, "applies to backup and cleanup only"},
      // A backup run cleans after each backup in --out-dir, or in --folder:
      // refused before any backup is taken.
      {{"backup", "--user", "sa", "--database", "a", "--out", "/x", "--folder", "/b"},
       "--folder applies to a backup run with --keep only"},
      {{"backup", "--user", "sa", "--database", "a", "--out", "/x.bak", "--keep", "3d"}, "a folder on the server"},
      {{"backup", "--user", "sa", "--all", "--out-dir", "/b", "--keep", "90m"}, "--keep takes hours or days"},
      {{"backup", "--user", "sa", "--all", "--out-dir", "b", "--keep", "3d"}, "must then be an absolute server folder"},
      {{"backup", "--user", "sa", "--all", "--out-dir", "/b/../c", "--keep", "3d"}, "must then be an absolute"},
      {{"backup", "--user", "sa", "--all", "--out-dir", "C:bk", "--keep", "3d"}, "must then be an absolute"},
      {{"backup", "--user", "sa", "--all", "--out-dir", "https://acct.blob/c", "--keep", "3d"}, "must then be an absolute"},
  };
  for (const Case& c : cases) {
    JsonValue cfg;
    const std::string e = configure(c.args, cfg);
    EXPECT_NE(e.find(c.error), std::string::npos) << c.args.back() << ": " << e;
  }
  // A server folder from any root passes, and --folder stands for --out-dir.
  for (const std::vector<std::string>& ok :
       {std::vector<std::string>{"backup", "--user", "sa", "--all", "--out-dir", "C:\\bk", "--keep", "3d"},
        {"backup", "--user", "sa", "--all", "--out-dir", "d:/bk/x", "--keep", "14d"},
        {"backup", "--user", "sa", "--all", "--out-dir", "/b/..x", "--keep", "36h"},
        {"backup", "--user", "sa", "--all", "--out-dir", "b", "--keep", "36h", "--folder", "/b"}}) {
    JsonValue cfg;
    EXPECT_EQ(configure(ok, cfg), "") << ok[5];
  }
  // Too many folders: the library takes at most 64.
  std::vector<std::string> many = {"cleanup", "--user", "sa", "--database", "a", "--keep", "3d", "--folder"};
  for (int i = 0; i < 65; ++i) many.push_back("/f" + std::to_string(i));
  JsonValue cfg;
  EXPECT_NE(configure(many, cfg).find("more than 64"), std::string::npos);
}

TEST(CliCleanupOptions, WholeServerRunTakesTheRunsOptions) {
  std::vector<std::string> args = {"cleanup", "--user",   "sa",       "--all",   "--exclude", "tmp*", "--system",
                                   "--keep",  "3d",       "--folder", "/b",      "--parallel", "1",
                                   "--metrics-file",      "/m.prom"};
  std::vector<char*> argv;
  std::vector<std::string> full = args;
  full.insert(full.begin(), "vaultrun");
  for (std::string& a : full) argv.push_back(a.data());
  Options opt;
  Settings s;
  s.password = "pw";
  ASSERT_EQ(parse_args(int(argv.size()), argv.data(), opt), "");
  ASSERT_EQ(resolve_settings(opt, s), "");
  ASSERT_EQ(check_settings(opt.command, s), "");
  EXPECT_TRUE(is_many_run(s));
  EXPECT_TRUE(s.many.system);
  EXPECT_EQ(parallel_of(s), 1);
}

TEST(CliCleanupView, ReadsTheResultDocument) {
  const JsonValue ok = doc(
      R"({"ok":true,"database":"inv","dry_run":false,"keep_hours":72,"window_start":"2026-12-07T10:00:00",)"
      R"("deleted":[{"path":"/b/1.bak","size_bytes":100},{"path":"/b/2.bak","size_bytes":50}],)"
      R"("kept":[{"path":"/b/3.bak","reason":"needed"}],"freed_bytes":150,"oldest_restorable":"2026-12-06T22:00:00"})");
  CleanupRow row = cleanup_row(ok);
  EXPECT_TRUE(row.ok);
  EXPECT_EQ(row.deleted, 2);
  EXPECT_EQ(row.kept, 1);
  EXPECT_EQ(row.freed_bytes, 150);
  ASSERT_TRUE(row.restorable_s.has_value());
  // Now is 2026-12-10T10:00:00 on the server; the files restore 3.5 days back.
  EXPECT_EQ(*row.restorable_s, 84 * 3600);
  EXPECT_EQ(cleanup_words(row), "2 files deleted, 150 B freed, 1 kept, oldest restorable 2026-12-06T22:00:00");

  // A window across a month's and a leap year's end.
  EXPECT_EQ(*server_seconds("2024-03-01T00:00:00") - *server_seconds("2024-02-28T00:00:00"), 2 * 86400);
  EXPECT_EQ(*server_seconds("2027-01-01 00:00:00.123") - *server_seconds("2026-12-31T23:00:00"), 3600);
  EXPECT_FALSE(server_seconds("2026-13-01T00:00:00"));
  EXPECT_FALSE(server_seconds("yesterday"));

  // A failure keeps what was deleted before it; "ok" without the lists is no success.
  row = cleanup_row(doc(R"({"ok":false,"error":"xp_delete_file: denied","deleted":[],"freed_bytes":0})"));
  EXPECT_FALSE(row.ok);
  EXPECT_EQ(row.error, "xp_delete_file: denied");
  EXPECT_FALSE(row.restorable_s);
  EXPECT_NE(cleanup_json_members(row).find("\"oldest_restorable\":null"), std::string::npos);
  row = cleanup_row(doc(R"({"ok":true})"));
  EXPECT_FALSE(row.ok);

  row = cleanup_row(doc(R"({"ok":true,"dry_run":true,"deleted":[{"path":"/b/1.bak"}],"kept":[],"freed_bytes":2048})"));
  EXPECT_EQ(cleanup_words(row), "1 file would be deleted, 2.0 KB would be freed, 0 kept, oldest restorable none");
}

TEST(CliCleanupMetrics, WritesTheWindowAndKeepsOtherRuns) {
  CleanupMetrics ran{"inv", true, true, 3, 4096, 259200.0, 1765000000.0};
  CleanupMetrics failed{"hr", true, false, 0, 0, std::nullopt, std::nullopt};
  const std::string old =
      "vaultrun_restore_window_promised_seconds{server=\"s:1433\",database=\"hr\"} 86400\n"
      "vaultrun_oldest_restorable_timestamp_seconds{server=\"s:1433\",database=\"hr\"} 1764000000\n"
      "vaultrun_backup_last_success_timestamp_seconds{server=\"s:1433\",database=\"hr\",type=\"full\"} 1764900000\n";
  previous_cleanup(old, "s:1433", failed);
  ASSERT_TRUE(failed.oldest_restorable);
  EXPECT_EQ(*failed.oldest_restorable, 1764000000.0);
  const std::string text = keep_other_samples(cleanup_metrics_text("s:1433", {ran, failed}, false, 1765100000.0), old,
                                              "s:1433", "cleanup");
  for (const char* line : {
           "vaultrun_cleanup_success{server=\"s:1433\",database=\"inv\"} 1\n",
           "vaultrun_cleanup_success{server=\"s:1433\",database=\"hr\"} 0\n",
           "vaultrun_cleanup_files_deleted{server=\"s:1433\",database=\"inv\"} 3\n",
           "vaultrun_cleanup_freed_bytes{server=\"s:1433\",database=\"inv\"} 4096\n",
           "vaultrun_restore_window_promised_seconds{server=\"s:1433\",database=\"inv\"} 259200\n",
           "vaultrun_restore_window_promised_seconds{server=\"s:1433\",database=\"hr\"} 86400\n",
           "vaultrun_oldest_restorable_timestamp_seconds{server=\"s:1433\",database=\"hr\"} 1764000000\n",
           "vaultrun_run_last_outcome{server=\"s:1433\",type=\"cleanup\"} 0\n",
           "vaultrun_backup_last_success_timestamp_seconds{server=\"s:1433\",database=\"hr\",type=\"full\"} 1764900000\n",
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  }
  // A backup run keeps the cleanup's series, which carry no type label.
  const std::string after_backup = keep_other_samples("", text, "s:1433", "full");
  EXPECT_NE(after_backup.find("vaultrun_oldest_restorable_timestamp_seconds{server=\"s:1433\",database=\"inv\"}"),
            std::string::npos);
}

}  // namespace
