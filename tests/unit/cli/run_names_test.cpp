// The command-line host's pure pieces for a run over several databases: the
// exclusion wildcards, the name template, the separator a directory implies,
// unique names, and the metrics text with its earlier successes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "metrics.h"
#include "name_template.h"

namespace {

using namespace cli;

TEST(CliWildcard, MatchesAsTheExclusionsNeed) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  } cases[] = {
      {"hr", "hr", true},           {"hr", "HR", true},          {"hr", "hrx", false},
      {"*", "", true},              {"*", "anything", true},     {"test_*", "test_a", true},
      {"test_*", "prod_test_a", false}, {"*_old", "sales_old", true}, {"*_old", "sales_old2", false},
      {"a*b*c", "aXbYc", true},     {"a*b*c", "abcbc", true},    {"a*b*c", "acb", false},
      {"*a*", "bab", true},         {"**", "x", true},           {"", "", true},
      {"", "x", false},             {"caf\xc3\xa9*", "caf\xc3\xa9s", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wildcard_match(c.pattern, c.name), c.match) << c.pattern << " vs " << c.name;
  }
}

TEST(CliNames, JoinUsesTheDirectorySeparator) {
  struct Case {
    const char* dir;
    const char* joined;
  } cases[] = {
      {"/var/backups", "/var/backups/x.bak"},
      {"/var/backups/", "/var/backups/x.bak"},
      {"D:\\Backups", "D:\\Backups\\x.bak"},
      {"D:\\Backups\\", "D:\\Backups\\x.bak"},
      {"d:/Backups", "d:/Backups\\x.bak"},  // a drive letter makes it Windows; a trailing '/' is a separator there
      {"d:/Backups/", "d:/Backups/x.bak"},
      {"\\\\nas\\share", "\\\\nas\\share\\x.bak"},
      {"C:", "C:x.bak"},
      {"backups", "backups/x.bak"},
      {"https://acct.example/container", "https://acct.example/container/x.bak"},
  };
  for (const Case& c : cases) EXPECT_EQ(join_path(c.dir, "x.bak"), c.joined) << c.dir;
  EXPECT_FALSE(is_windows_dir("/srv/C:/x"));
  EXPECT_TRUE(is_windows_dir("C:"));
}

TEST(CliNames, UnsafeValuesBecomeFileNameParts) {
  struct Case {
    const char* value;
    const char* safe;
  } cases[] = {
      {"sales", "sales"},
      {"Sales-2024_v1.0", "Sales-2024_v1.0"},
      {"../etc/passwd", "_._etc_passwd"},
      {"..", "__"},
      {"x.", "x_"},
      {".", "_"},
      {"a..b", "a._b"},
      {"a\\b:c*d?e\"f<g>h|i", "a_b_c_d_e_f_g_h_i"},
      {"with space", "with_space"},
      {"caf\xc3\xa9", "caf_"},          // one '_' for one character, not per byte
      {"\xf0\x9f\x98\x80x", "_x"},
      {"", "_"},
      {"\x1b[31m", "__31m"},
  };
  for (const Case& c : cases) EXPECT_EQ(safe_name_part(c.value), c.safe) << c.value;
}

TEST(CliNames, TemplateExpandsEveryPlaceholder) {
  NameValues v{"db01\\inst", "sales/eu", "log", 1796916600};  // 2026-12-10 15:30:00 UTC
  EXPECT_EQ(expand_name_template(DEFAULT_NAME_TEMPLATE, v), "sales_eu_log_20261210T153000Z.bak");
  EXPECT_EQ(expand_name_template("{server}-{date}-{database}.bak", v), "db01_inst-2026-12-10-sales_eu.bak");
  EXPECT_EQ(utc_timestamp(0), "19700101T000000Z");
  EXPECT_EQ(utc_date(0), "1970-01-01");
}

TEST(CliNames, TemplateRefusals) {
  struct Case {
    const char* tmpl;
    const char* error;  // part of the refusal, "" when accepted
  } cases[] = {
      {"{database}.bak", ""},
      {"plain.bak", ""},
      {"{server}_{database}_{type}_{timestamp}_{date}.bak", ""},
      {"{db}.bak", "unknown placeholder {db}"},
      {"{Database}.bak", "unknown placeholder {Database}"},
      {"{database.bak", "without its '}'"},
      {"database}.bak", "without its '{'"},
      {"sub/{database}.bak", "cannot hold"},
      {"sub\\{database}.bak", "cannot hold"},
      {"{database}:x", "cannot hold"},
      {"a\tb", "cannot hold"},
      {"", "empty"},
      {"..", "names no file"},
  };
  for (const Case& c : cases) {
    std::string e = check_name_template(c.tmpl);
    if (*c.error == '\0') EXPECT_EQ(e, "") << c.tmpl;
    else EXPECT_NE(e.find(c.error), std::string::npos) << c.tmpl << ": " << e;
  }
}

TEST(CliNames, CollisionsGetASuffixIgnoringCase) {
  std::vector<std::string> names{"a.bak", "A.bak", "b.bak", "a.bak", "a_2.bak", "noext", "noext"};
  make_unique(names);
  EXPECT_EQ(names, (std::vector<std::string>{"a.bak", "A_3.bak", "b.bak", "a_4.bak", "a_2.bak", "noext", "noext_2"}));
}

TEST(CliMetrics, TextEscapesLabelsAndOmitsWhatIsUnknown) {
  std::vector<DatabaseMetrics> dbs{
      {"hr", true, true, false, 1.5, 1796916600.0, ""},
      {"q\"b\\s\nx", true, false, false, 0.25, std::nullopt, ""},
      {"later", false, false, false, 0, 1700000000.0, ""},
      {"simple", false, false, true, 0, std::nullopt, ""},
  };
  std::string text = metrics_text("db01:1433", "log", dbs, false, 1796916700.0);
  const std::string hr = "{server=\"db01:1433\",database=\"hr\",type=\"log\"}";
  EXPECT_NE(text.find("# TYPE vaultrun_backup_last_outcome gauge\n"), std::string::npos);
  EXPECT_NE(text.find("vaultrun_backup_last_outcome" + hr + " 1\n"), std::string::npos);
  EXPECT_NE(text.find("vaultrun_backup_last_outcome{server=\"db01:1433\",database=\"q\\\"b\\\\s\\nx\",type=\"log\"} 0\n"),
            std::string::npos);
  EXPECT_NE(text.find("vaultrun_backup_duration_seconds" + hr + " 1.500\n"), std::string::npos);
  EXPECT_NE(text.find("last_success_timestamp_seconds" + hr + " 1796916600\n"), std::string::npos);
  // A database that never ran has no outcome; one never backed up no success.
  EXPECT_EQ(text.find("outcome{server=\"db01:1433\",database=\"later\""), std::string::npos);
  EXPECT_NE(text.find("timestamp_seconds{server=\"db01:1433\",database=\"later\",type=\"log\"} 1700000000\n"),
            std::string::npos);
  EXPECT_EQ(text.find("timestamp_seconds{server=\"db01:1433\",database=\"q"), std::string::npos);
  // A skip is a gauge of its own, never an outcome.
  EXPECT_NE(text.find("vaultrun_backup_skipped{server=\"db01:1433\",database=\"simple\",type=\"log\"} 1\n"),
            std::string::npos);
  EXPECT_EQ(text.find("outcome{server=\"db01:1433\",database=\"simple\""), std::string::npos);
  EXPECT_NE(text.find("vaultrun_run_last_outcome{server=\"db01:1433\",type=\"log\"} 0\n"), std::string::npos);
  EXPECT_NE(text.find("vaultrun_run_last_timestamp_seconds{server=\"db01:1433\",type=\"log\"} 1796916700\n"),
            std::string::npos);
  EXPECT_EQ(metrics_label("a\xff"), "a\xef\xbf\xbd");
}

TEST(CliMetrics, EarlierSuccessIsReadBack) {
  const std::string db = "q\"b\\s\nx";
  std::vector<DatabaseMetrics> dbs{{db, true, true, false, 1, 1796916600.0, ""}, {"hr", true, true, false, 1, 1700000000.0, ""}};
  const std::string old = metrics_text("db01:1433", "full", dbs, true, 1796916700.0);
  EXPECT_EQ(previous_success(old, "db01:1433", "full", db), 1796916600.0);
  EXPECT_EQ(previous_success(old, "db01:1433", "full", "hr"), 1700000000.0);
  EXPECT_EQ(previous_success(old, "db01:1433", "log", "hr"), std::nullopt);   // another kind's
  EXPECT_EQ(previous_success(old, "db02:1433", "full", "hr"), std::nullopt);  // another server's
  EXPECT_EQ(previous_success(old, "db01:1433", "full", "h"), std::nullopt);
  EXPECT_EQ(previous_databases(old, "db01:1433", "full"), (std::vector<std::string>{db, "hr"}));
  EXPECT_TRUE(previous_databases(old, "db01:1433", "log").empty());
  // Damaged or foreign lines are skipped, a sample time after the value is
  // allowed, and a sample without a type (an older file) is a full backup's.
  const std::string odd =
      "vaultrun_backup_last_success_timestamp_seconds{server=\"s\",database=\"a\"} nope\n"
      "vaultrun_backup_last_success_timestamp_seconds{server=\"s\",database=\"b\n"
      "vaultrun_backup_last_success_timestamp_seconds_x{server=\"s\",database=\"c\"} 5\n"
      "vaultrun_backup_last_success_timestamp_seconds{database=\"d\",server=\"s\"} 7 1700000000000\n";
  EXPECT_EQ(previous_success(odd, "s", "full", "a"), std::nullopt);
  EXPECT_EQ(previous_success(odd, "s", "full", "b"), std::nullopt);
  EXPECT_EQ(previous_success(odd, "s", "full", "c"), std::nullopt);
  EXPECT_EQ(previous_success(odd, "s", "full", "d"), 7.0);
  EXPECT_EQ(previous_success(odd, "s", "log", "d"), std::nullopt);
}

}  // namespace
