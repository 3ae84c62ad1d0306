#include "restore_view.h"

#include "terminal.h"

namespace cli {

namespace {

std::string text_of(const JsonValue& v, const char* key) {
  const JsonValue* m = v.find(key);
  return m && m->kind == JsonValue::Kind::String ? printable(m->text) : std::string();
}

int64_t int_of(const JsonValue& v, const char* key) {
  const JsonValue* m = v.find(key);
  int64_t n = 0;
  return m && m->as_int(n) ? n : 0;
}

bool bool_of(const JsonValue& v, const char* key, bool absent) {
  const JsonValue* m = v.find(key);
  return m && m->kind == JsonValue::Kind::Bool ? m->boolean : absent;
}

const JsonValue* array_of(const JsonValue& v, const char* key) {
  const JsonValue* m = v.find(key);
  return m && m->kind == JsonValue::Kind::Array ? m : nullptr;
}

// A step's files: one text, or the stripes of a set joined.
std::string target_of(const JsonValue& step) {
  const JsonValue* t = step.find("target");
  if (!t) return "";
  if (t->kind == JsonValue::Kind::String) return printable(t->text);
  std::string out;
  for (const JsonValue& part : t->items) {
    if (part.kind != JsonValue::Kind::String) continue;
    out += (out.empty() ? "" : ", ") + printable(part.text);
  }
  return out;
}

// "log           /b/inv.trn, set 2, finished 2026-12-10T20:31:07.000"
std::string step_line(const JsonValue& step) {
  std::string type = text_of(step, "type");
  std::string line = type;
  std::string where = target_of(step);
  if (!where.empty() || int_of(step, "position") > 0) {
    line.append(type.size() < 12 ? 12 - type.size() : 0, ' ');
    line += "  " + where;
    if (int_of(step, "position") > 0) line += (where.empty() ? "set " : ", set ") + std::to_string(int_of(step, "position"));
  }
  std::string finished = text_of(step, "finished");
  if (!finished.empty()) line += ", finished " + finished;
  return line;
}

std::string target_line(const JsonValue& r) {
  std::string db = text_of(r, "database"), source = text_of(r, "source_database");
  std::string line = "  database:  " + db;
  if (!source.empty() && source != db) line += " (from the backups of " + source + ")";
  return line + "\n";
}

std::string stop_at_line(const JsonValue& r) {
  std::string at = text_of(r, "stop_at");
  return "  stop at:   " + (at.empty() ? std::string("the newest point the backups reach") : at) + "\n";
}

const char INDENT[] = "             ";

// The sets the plan passed over, each with why; nothing when none.
std::string passed_over_lines(const JsonValue& r) {
  const JsonValue* passed = array_of(r, "passed_over");
  std::string out;
  const char* head = "  passed over: ";
  for (const JsonValue& set : passed ? passed->items : std::vector<JsonValue>{}) {
    std::string line = text_of(set, "type").empty() ? "media set     " + target_of(set) : step_line(set);
    out += head + line + " (" + text_of(set, "reason") + ")\n";
    head = "               ";
  }
  return out;
}

}  // namespace

std::string step_label(const JsonValue& progress) {
  int64_t step = int_of(progress, "step"), steps = int_of(progress, "steps");
  if (step <= 0 || steps <= 0) return "";
  std::string label = "step " + std::to_string(step) + "/" + std::to_string(steps);
  std::string type = text_of(progress, "step_type");
  return type.empty() ? label : label + " " + type;
}

bool left_restoring(const JsonValue& result, bool cancelled) {
  const JsonValue* done = array_of(result, "restored");
  if (!done || bool_of(result, "recovered", false)) return false;
  return !done->items.empty() || cancelled;
}

std::string restore_summary(const JsonValue& r) {
  std::string out;
  if (bool_of(r, "dry_run", false)) {
    out += "restore plan (dry run: nothing was restored)\n";
    out += target_line(r);
    const JsonValue* plan = array_of(r, "plan");
    size_t k = 0;
    for (const JsonValue& step : plan ? plan->items : std::vector<JsonValue>{}) {
      std::string head = "  step " + std::to_string(++k) + ":";
      head.append(head.size() < 13 ? 13 - head.size() : 1, ' ');
      out += head + step_line(step) + "\n";
      std::string statement = text_of(step, "statement");
      if (!statement.empty()) out += INDENT + statement + "\n";
    }
    if (k == 0) out += "  (no step)\n";
    out += passed_over_lines(r);
    out += stop_at_line(r);
    out += bool_of(r, "recovered", true) ? "  recovery:  at the end, the database comes online\n"
                                          : "  recovery:  none, the database is left restoring\n";
    return out;
  }
  out += "restore done\n";
  out += target_line(r);
  const JsonValue* done = array_of(r, "restored");
  const char* head = "  restored:  ";
  for (const JsonValue& step : done ? done->items : std::vector<JsonValue>{}) {
    out += head + step_line(step) + "\n";
    head = INDENT;
  }
  out += passed_over_lines(r);
  out += stop_at_line(r);
  out += bool_of(r, "recovered", true) ? "  recovered: yes, the database is online\n"
                                        : "  recovered: no, the database is left restoring for further logs\n";
  return out;
}

std::string restore_failure_detail(const JsonValue& r) {
  const JsonValue* done = array_of(r, "restored");
  if (!done || done->items.empty()) return "";
  std::string out = "restored before the failure:\n";
  for (const JsonValue& step : done->items) out += "  " + step_line(step) + "\n";
  return out;
}

}  // namespace cli
