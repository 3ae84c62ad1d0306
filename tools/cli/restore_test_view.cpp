#include "restore_test_view.h"

#include <vector>

#include "terminal.h"

namespace cli {

namespace {

std::optional<int64_t> phase_ms(const JsonValue& phases, const char* key) {
  int64_t n = member_int(phases, key, -1);
  return n >= 0 ? std::optional<int64_t>(n) : std::nullopt;
}

// "restore step 2 (log): why", "check: why": where a failure arose.
std::string located_error(const JsonValue& result, const std::string& error) {
  const JsonValue* step = result.find("failed_step");
  if (step && step->kind == JsonValue::Kind::Object && member_int(*step, "step") > 0) {
    std::string where = "restore step " + std::to_string(member_int(*step, "step"));
    std::string type = member_text(*step, "type");
    if (!type.empty()) where += " (" + type + ")";
    return where + ": " + error;
  }
  return error;
}

}  // namespace

ProofRow proof_row(const JsonValue& result, bool cancel_sent) {
  ProofRow row;
  row.scratch = member_text(result, "scratch_database");
  row.checkdb = member_text(result, "checkdb");
  if (const JsonValue* p = result.find("phases"); p && p->kind == JsonValue::Kind::Object) {
    row.restore_ms = phase_ms(*p, "restore_ms");
    row.check_ms = phase_ms(*p, "check_ms");
    row.drop_ms = phase_ms(*p, "drop_ms");
  }
  row.dropped = member_bool(result, "dropped");
  row.left_behind = member_bool(result, "left_behind");
  const std::string error = member_text(result, "error");
  const std::string phase = member_text(result, "failed_phase");
  if (member_bool(result, "ok")) {
    if (row.left_behind) {
      row.outcome = ProofOutcome::Failed;
      row.error = "scratch database " + row.scratch + " was not dropped";
    } else {
      row.outcome = member_bool(result, "dry_run") ? ProofOutcome::Planned : ProofOutcome::Proven;
    }
    return row;
  }
  // Damage found before a cancel is still damage: the check had ended.
  if (row.checkdb != "damaged" && (error == "cancelled" || cancel_sent)) {
    row.outcome = ProofOutcome::Cancelled;
    if (error.empty() || error == "cancelled") {
      row.error = phase.empty() ? "cancelled" : "cancelled during the " + phase;
    } else {
      row.error = located_error(result, error);
    }
    return row;
  }
  row.outcome = row.checkdb == "damaged" ? ProofOutcome::Damaged : ProofOutcome::Failed;
  row.error = error.empty() ? "no reason given" : located_error(result, error);
  return row;
}

const char* proof_outcome_name(ProofOutcome o) {
  switch (o) {
    case ProofOutcome::Proven: return "proven";
    case ProofOutcome::Damaged: return "damaged";
    case ProofOutcome::Failed: return "failed";
    case ProofOutcome::Cancelled: return "cancelled";
    case ProofOutcome::Planned: return "planned";
  }
  return "";
}

std::string copy_text(const ProofRow& row) {
  if (row.outcome == ProofOutcome::Planned) return "-";
  if (row.left_behind) return "LEFT BEHIND";
  if (row.dropped) return "dropped";
  if (row.restore_ms || row.checkdb == "damaged" || !row.scratch.empty()) return "none made";
  return "-";
}

std::string proof_json_members(const ProofRow& row) {
  std::string out = ",\"outcome\":" + json_quote(proof_outcome_name(row.outcome));
  if (!row.scratch.empty()) out += ",\"scratch_database\":" + json_quote(valid_utf8(row.scratch));
  if (!row.checkdb.empty()) out += ",\"checkdb\":" + json_quote(valid_utf8(row.checkdb));
  if (row.restore_ms || row.check_ms || row.drop_ms) {
    out += ",\"phases\":{";
    const char* sep = "";
    auto add = [&](const char* key, const std::optional<int64_t>& ms) {
      if (!ms) return;
      out += sep + json_quote(key) + ":" + std::to_string(*ms);
      sep = ",";
    };
    add("restore_ms", row.restore_ms);
    add("check_ms", row.check_ms);
    add("drop_ms", row.drop_ms);
    out += "}";
  }
  out += std::string(",\"dropped\":") + (row.dropped ? "true" : "false");
  out += std::string(",\"left_behind\":") + (row.left_behind ? "true" : "false");
  if (!row.error.empty()) out += ",\"error\":" + json_quote(valid_utf8(row.error));
  return out;
}

std::string proof_plan_text(const JsonValue& result) {
  std::string out = "  scratch:   " + printable(member_text(result, "scratch_database")) + "\n";
  const JsonValue* plan = result.find("plan");
  size_t k = 0;
  for (const JsonValue& step : plan && plan->kind == JsonValue::Kind::Array ? plan->items : std::vector<JsonValue>{}) {
    std::string what = member_text(step, "type");
    std::string statement = member_text(step, "statement");
    if (step.kind == JsonValue::Kind::String) statement = step.text;
    out += "  step " + std::to_string(++k) + ":" + (what.empty() ? "" : " " + printable(what)) + "\n";
    if (!statement.empty()) out += "    " + printable(statement) + "\n";
  }
  for (const char* key : {"checkdb_statement", "drop_statement"}) {
    const std::string statement = member_text(result, key);
    if (!statement.empty()) out += "  then:      " + printable(statement) + "\n";
  }
  return out;
}

std::string left_behind_warning(const std::string& scratch, const std::string& database) {
  return "scratch database " + printable(scratch) + " (a copy of " + printable(database) +
         ") was left on the server: drop it by hand";
}

}  // namespace cli
