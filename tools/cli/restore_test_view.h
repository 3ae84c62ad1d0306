// What a run shows of one restore test (restore, DBCC CHECKDB of the scratch
// copy, drop), read from the library's result document. No I/O, so the
// tests feed fixed documents.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "json.h"

namespace cli {

enum class ProofOutcome { Proven, Damaged, Failed, Cancelled, Planned };

// One database's line in the table of a restore-test run, and its --json
// line's members.
struct ProofRow {
  ProofOutcome outcome = ProofOutcome::Failed;
  std::string checkdb;   // clean, damaged, none; "" when no check ran
  std::string scratch;   // the copy's name; "" when none was chosen
  std::optional<int64_t> restore_ms, check_ms, drop_ms;
  bool dropped = false;
  bool left_behind = false;  // the copy is still on the server
  std::string error;         // the cause, with the step or phase it arose in
};

// The row of a restore test's result (a restore test's own, or the
// "restore_test" member of a backup proved by one). cancel_sent: the run
// cancelled it, so a failure reads as cancelled. A result that claims
// success while its copy was left behind is read as a failure.
ProofRow proof_row(const JsonValue& result, bool cancel_sent);

// "proven", "damaged", "failed", "cancelled", "planned".
const char* proof_outcome_name(ProofOutcome o);

// What became of the copy: "dropped", "LEFT BEHIND" (in capitals, so that it
// stands out in the table), "none made" when a failure came before the copy
// existed, "-" when nothing was sent (a refusal, a dry run).
std::string copy_text(const ProofRow& row);

// The row's members for a --json line, each after a comma: outcome,
// scratch_database, checkdb, phases, dropped, left_behind and the error.
std::string proof_json_members(const ProofRow& row);

// The plan of a dry run, one line each: the scratch name, each restore
// step with its statement, then the check's and the drop's statements.
std::string proof_plan_text(const JsonValue& result);

// The line that asks for a left-behind copy to be dropped by hand.
std::string left_behind_warning(const std::string& scratch, const std::string& database);

}  // namespace cli
