// What a whole-server run does with each database, decided from the
// library's detailed listing before anything starts: back it up as asked,
// take another kind or a copy-only backup instead, or skip it with a
// reason. Pure functions of the listing's facts, the run's rules and the
// time, so that every decision is testable without a server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace cli {

struct JsonValue;

// One database as the detailed listing describes it.
struct DatabaseFacts {
  std::string name, recovery, state, ag_role;  // ag_role: "primary", "secondary" or "" outside a group
  bool read_only = false;
  bool preferred_replica = true;
  // Unix times at which the last backup of each kind finished.
  std::optional<int64_t> last_full, last_differential, last_log;
};

// The run's rules: its kind and the options that change decisions.
struct RunRules {
  std::string type = "full";  // full, differential, log, or restore_test
  bool change_type = false;   // --change-type
  bool all_replicas = false;  // --all-replicas
  std::optional<int64_t> if_older_than_s;
};

// What to do with one database: skip (with the reason), or back it up as
// type, copy-only when forced; note says why the kind or copy-only changed.
struct Decision {
  std::string skip;
  std::string type;
  bool copy_only = false;
  std::string note;
};

Decision decide(const DatabaseFacts& db, const RunRules& rules, int64_t now);

// Whether a failed backup's error is the server's refusal of a differential
// or log backup for want of a full one to base it on.
bool is_missing_base_error(const std::string& error);

// master, model and msdb (tempdb is never backed up), in any case.
bool is_system_database(const std::string& name);

// "15m", "20h", "2d", "90s", "1h30m": a positive count of seconds. False
// for anything else.
bool parse_duration(const std::string& text, int64_t& seconds);

// "30s", "15m", "2h5m", "1d2h" for a count of seconds.
std::string duration_words(int64_t seconds);

// A listing's UTC time "yyyy-mm-ddThh:mi:ss[.fff]Z" as Unix seconds.
bool parse_utc_time(const std::string& text, int64_t& seconds);

// The facts of one item of a detailed listing; false without a name.
bool facts_of(const JsonValue& item, DatabaseFacts& out);

}  // namespace cli
