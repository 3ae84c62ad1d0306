// What a scheduled run decides per database: a table of databases as the
// detailed listing describes them, each under the run's rules, with the
// kind taken, copy-only and the reason for a skip.
#include <gtest/gtest.h>

#include <string>

#include "decisions.h"
#include "json.h"

namespace {

using namespace cli;

constexpr int64_t NOW = 1796916600;  // 2026-12-10T15:30:00Z
constexpr int64_t HOUR = 3600;

DatabaseFacts db(const char* name, const char* recovery = "FULL") {
  DatabaseFacts f;
  f.name = name;
  f.recovery = recovery;
  f.state = "ONLINE";
  f.last_full = NOW - 20 * HOUR;
  return f;
}

TEST(CliDecisions, EachRuleInItsOrder) {
  DatabaseFacts offline = db("gone"), restoring = db("incoming"), simple = db("sales", "SIMPLE");
  offline.state = "OFFLINE";
  restoring.state = "RESTORING";
  DatabaseFacts frozen = db("frozen"), master = db("master", "SIMPLE"), model = db("model");
  frozen.read_only = true;
  DatabaseFacts secondary = db("replica"), other = db("other_replica"), primary = db("prim");
  secondary.ag_role = "secondary";
  other.ag_role = "secondary";
  other.preferred_replica = false;
  primary.ag_role = "primary";
  DatabaseFacts nobase = db("nobase");
  nobase.last_full.reset();
  DatabaseFacts recent = db("recent");
  recent.last_log = NOW - 5 * 60;
  recent.last_differential = NOW - 30 * HOUR;

  RunRules full, diff, log, log_change, diff_change, all_replicas, log_due;
  diff.type = diff_change.type = "differential";
  log.type = log_change.type = log_due.type = "log";
  log_change.change_type = diff_change.change_type = true;
  all_replicas.all_replicas = true;
  log_due.if_older_than_s = 15 * 60;
  RunRules diff_due = diff;
  diff_due.if_older_than_s = 20 * HOUR;
  RunRules log_all = log;
  log_all.all_replicas = true;
  RunRules diff_all = diff;
  diff_all.all_replicas = true;
  // A restore test over the whole server: only whether this server holds
  // the backups counts, not the database's state or role now.
  RunRules proof;
  proof.type = "restore_test";
  DatabaseFacts elsewhere = other;
  elsewhere.last_full.reset();

  struct Case {
    const char* name;
    const DatabaseFacts& facts;
    const RunRules& rules;
    const char* skip;
    const char* type;
    bool copy_only;
  } cases[] = {
      {"online full", primary, full, "", "full", false},
      {"offline is skipped by its state", offline, full, "OFFLINE", "full", false},
      {"restoring too, before any rule of the kind", restoring, log, "RESTORING", "log", false},
      {"log skips SIMPLE", simple, log, "SIMPLE recovery model", "log", false},
      {"log skips read-only", frozen, log, "read-only", "log", false},
      {"full of read-only", frozen, full, "", "full", false},
      {"log skips master", master, log, "no log backup of master", "log", false},
      {"differential skips master", master, diff, "no differential backup of master", "differential", false},
      {"log of model", model, log, "", "log", false},
      {"full of master", master, full, "", "full", false},
      {"not the preferred replica", other, full, "not the preferred backup replica", "full", false},
      {"preferred secondary: full is copy-only", secondary, full, "", "full", true},
      {"every replica: copy-only full", other, all_replicas, "", "full", true},
      {"every replica: log as asked", other, log_all, "", "log", false},
      {"secondary: no differential", other, diff_all, "no differential backup on a secondary replica",
       "differential", false},
      {"no base without --change-type", nobase, log, "", "log", false},
      {"no base: log changed to full", nobase, log_change, "", "full", false},
      {"no base: differential changed to full", nobase, diff_change, "", "full", false},
      {"a base: kept", recent, diff_change, "", "differential", false},
      {"log within its interval", recent, log_due, "last log backup 5m ago, within 15m", "log", false},
      {"differential due", recent, diff_due, "", "differential", false},
      {"never backed up is due", nobase, log_due, "", "log", false},
      {"restore test of an offline database", offline, proof, "", "restore_test", false},
      {"restore test of a read-only database", frozen, proof, "", "restore_test", false},
      {"restore test where backups of it were taken here", other, proof, "", "restore_test", false},
      {"restore test without a full backup here", nobase, proof, "no full backup of it in this server's history",
       "restore_test", false},
      {"restore test on the replica that takes none", elsewhere, proof,
       "not the preferred backup replica: no full backup of it in this server's history", "restore_test", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Decision d = decide(c.facts, c.rules, NOW);
    EXPECT_EQ(d.skip, c.skip);
    EXPECT_EQ(d.type, c.type);
    EXPECT_EQ(d.copy_only, c.copy_only);
    // Whatever changed the kind or forced copy-only is said.
    EXPECT_EQ(d.note.empty(), d.type == c.rules.type && !d.copy_only) << d.note;
  }
}

TEST(CliDecisions, ServerRefusalForWantOfABase) {
  EXPECT_TRUE(is_missing_base_error("BACKUP LOG cannot be performed because there is no current database backup."));
  EXPECT_TRUE(is_missing_base_error("Cannot perform a differential backup for database \"x\", because a current "
                                    "database backup does not exist. Perform a full database backup"));
  EXPECT_FALSE(is_missing_base_error("The statement BACKUP LOG is not allowed while the recovery model is SIMPLE."));
}

TEST(CliDecisions, DurationsAndTimes) {
  struct {
    const char* text;
    int64_t seconds;  // -1: refused
  } durations[] = {{"15m", 900}, {"20h", 72000}, {"1d12h", 129600}, {"90s", 90}, {"1h30m", 5400},
                   {"", -1},     {"15", -1},     {"m", -1},         {"0m", -1},  {"15x", -1},
                   {"-5m", -1},  {"1.5h", -1},   {"1234567890s", -1}};
  for (const auto& c : durations) {
    int64_t s = -1;
    EXPECT_EQ(parse_duration(c.text, s), c.seconds >= 0) << c.text;
    if (c.seconds >= 0) {
      EXPECT_EQ(s, c.seconds) << c.text;
    }
  }
  EXPECT_EQ(duration_words(129600 + 65), "1d12h1m5s");
  EXPECT_EQ(duration_words(0), "0s");

  struct {
    const char* text;
    int64_t seconds;
  } times[] = {{"2026-12-10T15:30:00Z", NOW}, {"2026-12-10T15:30:00.123Z", NOW}, {"1970-01-01T00:00:00Z", 0},
               {"2024-02-29T00:00:00Z", 1709164800}, {"2026-12-10T15:30:00", -1}, {"2026-13-10T15:30:00Z", -1},
               {"2026-12-10 15:30:00Z", -1}, {"2026-12-10T15:30:00.Zx", -1}, {"", -1}};
  for (const auto& c : times) {
    int64_t s = -1;
    EXPECT_EQ(parse_utc_time(c.text, s), c.seconds >= 0) << c.text;
    if (c.seconds >= 0) {
      EXPECT_EQ(s, c.seconds) << c.text;
    }
  }
}

TEST(CliDecisions, FactsFromAListingItem) {
  JsonValue v;
  ASSERT_EQ(parse_json(R"({"name":"prim","size_mb":1,"recovery":"FULL","state":"ONLINE","read_only":true,)"
                       R"("ag_role":"secondary","preferred_replica":false,"last_full":"2026-12-10T15:30:00Z",)"
                       R"("last_differential":null,"last_log":"garbage"})",
                       v),
            "");
  DatabaseFacts f;
  ASSERT_TRUE(facts_of(v, f));
  EXPECT_EQ(f.name, "prim");
  EXPECT_EQ(f.state, "ONLINE");
  EXPECT_TRUE(f.read_only);
  EXPECT_EQ(f.ag_role, "secondary");
  EXPECT_FALSE(f.preferred_replica);
  EXPECT_EQ(f.last_full, NOW);
  EXPECT_FALSE(f.last_differential.has_value());
  EXPECT_FALSE(f.last_log.has_value());
  // A plain listing's item: online, preferred, no history.
  ASSERT_EQ(parse_json(R"({"name":"hr","size_mb":1,"recovery":"FULL"})", v), "");
  ASSERT_TRUE(facts_of(v, f));
  EXPECT_TRUE(f.preferred_replica);
  EXPECT_FALSE(f.last_full.has_value());
}

}  // namespace
