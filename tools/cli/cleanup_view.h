// What a run shows of one database's cleanup, read from the library's result
// document. No I/O, so the tests feed fixed documents.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "json.h"

namespace cli {

// One database's row in the table of a cleanup run, and its --json line's
// members.
struct CleanupRow {
  bool ok = false;
  bool dry_run = false;
  // Files deleted and what they held; in a dry run, what it would delete.
  int64_t deleted = 0;
  int64_t freed_bytes = 0;
  int64_t kept = 0;  // candidate files that stay, each with its reason
  std::string oldest_restorable;  // "" when nothing restores
  std::string error;
  int64_t keep_hours = 0;  // the promised window
  // How far back from the server's now the files left restore to: the
  // server's times are its local ones, so only their difference means
  // anything to this program. Unset when the result does not tell.
  std::optional<int64_t> restorable_s;
};

// The row of a cleanup's result. A result that says ok but is not a whole
// cleanup document (no "deleted" array) reads as a failure.
CleanupRow cleanup_row(const JsonValue& result);

// Seconds since 0000-03-01 of a server time "YYYY-MM-DDTHH:MM:SS[.f...]"
// (a space may stand for the 'T'); unset for any other text. Only the
// differences of two such values mean anything.
std::optional<int64_t> server_seconds(const std::string& text);

// The row's members for a --json line, each after a comma.
std::string cleanup_json_members(const CleanupRow& row);

// "3 files deleted, 12.5 MB freed, oldest restorable 2026-12-08T01:00:00",
// or in a dry run "3 files would be deleted, 12.5 MB would be freed, ...".
std::string cleanup_words(const CleanupRow& row);

// A byte count for people: B, KB, MB, GB, TB with one decimal.
std::string bytes_words(int64_t bytes);

}  // namespace cli
