// The --metrics-file of a run over several databases: text in the format a
// node exporter's text-file collector reads, the last successes kept from
// the previous file, and the file replaced in one rename.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

struct DatabaseMetrics {
  std::string database;
  bool ran = false;        // false: never started (the run was interrupted)
  bool succeeded = false;
  bool skipped = false;    // decided against; its last success stays as it was
  double duration_s = 0;
  std::optional<double> last_success;  // Unix time, this run's or an earlier one
  std::string type;        // the kind taken when not the run's (a change to full)
};

// A label value as the format writes it: backslash, quote and line feed
// escaped, invalid UTF-8 replaced.
std::string metrics_label(std::string_view value);

// The whole file of one run of a kind (type: full, differential or log):
// for each database that ran its outcome (1 or 0) and duration, for each
// skipped one a 1, for each with a known one the time of its last success,
// each labelled with server, database and type; then the run's own outcome
// (1 when nothing failed, 0 also when the listing or connection did) and
// its time.
std::string metrics_text(const std::string& server, const std::string& type, const std::vector<DatabaseMetrics>& dbs,
                         bool run_ok, double run_time);

// The last-success time that an earlier file recorded for this server,
// kind and database, if it holds one. A sample without a type label (a
// file of an older version) counts as a full backup's.
std::optional<double> previous_success(std::string_view old_text, const std::string& server, const std::string& type,
                                       const std::string& database);

// Every database of this server and kind with a last success in the old
// file, in its order: what a run that could not list keeps.
std::vector<std::string> previous_databases(std::string_view old_text, const std::string& server,
                                            const std::string& type);

// One database's restore test, for the metrics file of a restore-test run.
struct ProofMetrics {
  std::string database;
  bool ran = false;          // false: never started (the run was interrupted)
  bool proven = false;
  bool left_behind = false;  // the scratch copy is still on the server
  std::optional<double> restore_s, check_s, drop_s;  // the phases that ran
  std::optional<double> last_success;  // Unix time, this run's or an earlier one
  bool skipped = false;      // decided against: its backups are not this server's
};

// The whole file of a restore-test run: for each database that ran its
// outcome (1 or 0), whether its copy was left behind and each phase's
// duration; for each skipped one a 1; for each with a known one the time of its last proven restore;
// then the run's own outcome and time (type "restore_test").
std::string restore_test_metrics_text(const std::string& server, const std::vector<ProofMetrics>& dbs, bool run_ok,
                                      double run_time);

// The time of the last proven restore that an earlier file recorded for
// this server and database, if it holds one.
std::optional<double> previous_proof(std::string_view old_text, const std::string& server, const std::string& database);

// Every database of this server with a proven restore in the old file, in
// its order: what a run that could not list keeps.
std::vector<std::string> previous_proven_databases(std::string_view old_text, const std::string& server);

// One database's cleanup, for the metrics file of a cleanup run.
struct CleanupMetrics {
  std::string database;
  bool ran = false;  // false: never started (the run was interrupted)
  bool succeeded = false;
  int64_t files_deleted = 0, freed_bytes = 0;  // this run's, also after a failure
  // The promised window and the oldest point the files left restore to
  // (Unix time); an earlier run's when this one could not tell.
  std::optional<double> promised_s, oldest_restorable;
};

// The whole file of a cleanup run: for each database that ran its outcome,
// the files it deleted and the bytes they held; for each with one known the
// promised window and the oldest restorable point; then the run's own
// outcome and time (type "cleanup").
std::string cleanup_metrics_text(const std::string& server, const std::vector<CleanupMetrics>& dbs, bool run_ok,
                                 double run_time);

// The promised window and the oldest restorable point that an earlier file
// recorded for this server and database.
void previous_cleanup(std::string_view old_text, const std::string& server, CleanupMetrics& m);

// Every database of this server with a promised window in the old file.
std::vector<std::string> previous_cleaned_databases(std::string_view old_text, const std::string& server);

// The file of a run (fresh) with the samples of the old file that are not
// this run's kept: those of other servers and other kinds (kind: full,
// differential, log, restore_test or cleanup), unless the run wrote the same series.
// Each metric keeps one HELP and TYPE, with its samples together.
std::string keep_other_samples(const std::string& fresh, std::string_view old_text, const std::string& server,
                               const std::string& kind);

// Writes text to PATH.tmp-XXXXXX beside path and renames it over path, so
// that a reader sees the old file or the new one, never a part. "" or why not.
std::string replace_file(const std::string& path, const std::string& text);

}  // namespace cli
