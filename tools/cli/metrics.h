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
  double duration_s = 0;
  std::optional<double> last_success;  // Unix time, this run's or an earlier one
};

// A label value as the format writes it: backslash, quote and line feed
// escaped, invalid UTF-8 replaced.
std::string metrics_label(std::string_view value);

// The whole file: for each database that ran its outcome (1 or 0) and
// duration, and for each with a known one the time of its last success.
std::string metrics_text(const std::string& server, const std::vector<DatabaseMetrics>& dbs);

// The last-success time that an earlier file recorded for this server and
// database, if it holds one.
std::optional<double> previous_success(std::string_view old_text, const std::string& server,
                                       const std::string& database);

// Writes text to PATH.tmp-XXXXXX beside path and renames it over path, so
// that a reader sees the old file or the new one, never a part. "" or why not.
std::string replace_file(const std::string& path, const std::string& text);

}  // namespace cli
