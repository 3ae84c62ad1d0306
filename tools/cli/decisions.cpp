#include "decisions.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "json.h"

namespace cli {

namespace {

bool same_word(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != 0; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return i == a.size() && b[i] == 0;
}

const std::optional<int64_t>& last_of(const DatabaseFacts& db, const std::string& type) {
  return type == "log" ? db.last_log : type == "differential" ? db.last_differential : db.last_full;
}

std::string text_member(const JsonValue& v, const char* key) {
  const JsonValue* m = v.find(key);
  return m && m->kind == JsonValue::Kind::String ? m->text : std::string();
}

std::optional<int64_t> time_member(const JsonValue& v, const char* key) {
  int64_t t = 0;
  if (parse_utc_time(text_member(v, key), t)) return t;
  return std::nullopt;
}

}  // namespace

bool is_system_database(const std::string& name) {
  return same_word(name, "master") || same_word(name, "model") || same_word(name, "msdb");
}

// The order matters: a database that cannot be backed up at all (its state)
// is reported as such before any rule of the run's kind, and the kind is
// settled before the replica's rules, which depend on it.
Decision decide(const DatabaseFacts& db, const RunRules& rules, int64_t now) {
  Decision d;
  d.type = rules.type;
  // A cleanup reads the history, whatever the database's state or role now.
  if (rules.type == "cleanup") return d;
  if (rules.type == "restore_test") {
    // A restore test proves backups whatever the database's state now, but
    // only those this server's history holds: a replica that is not the
    // preferred one (its backups are another's) has none to start from.
    if (!db.last_full) {
      d.skip = db.preferred_replica ? "no full backup of it in this server's history"
                                    : "not the preferred backup replica: no full backup of it in this server's history";
    }
    return d;
  }
  if (!db.state.empty() && db.state != "ONLINE") {
    d.skip = db.state;
    return d;
  }
  if (!db.preferred_replica && !rules.all_replicas) {
    d.skip = "not the preferred backup replica";
    return d;
  }
  if (rules.type == "log") {
    if (same_word(db.name, "master")) d.skip = "no log backup of master";
    else if (same_word(db.recovery, "SIMPLE")) d.skip = "SIMPLE recovery model";
    else if (db.read_only) d.skip = "read-only";
  } else if (rules.type == "differential" && same_word(db.name, "master")) {
    d.skip = "no differential backup of master";
  }
  if (!d.skip.empty()) return d;
  if (rules.if_older_than_s) {
    const std::optional<int64_t>& last = last_of(db, rules.type);
    if (last && now - *last < *rules.if_older_than_s) {
      d.skip = "last " + rules.type + " backup " + duration_words(std::max<int64_t>(0, now - *last)) +
               " ago, within " + duration_words(*rules.if_older_than_s);
      return d;
    }
  }
  if (rules.change_type && rules.type != "full" && !db.last_full) {
    d.type = "full";
    d.note = rules.type + " changed to full: no full backup to base it on";
  }
  if (db.ag_role == "secondary") {
    // A secondary replica takes log backups and copy-only full backups only.
    if (d.type == "differential") {
      d.skip = "no differential backup on a secondary replica";
    } else if (d.type == "full") {
      d.copy_only = true;
      d.note += std::string(d.note.empty() ? "" : "; ") + "copy-only on a secondary replica";
    }
  }
  return d;
}

bool is_missing_base_error(const std::string& error) {
  return error.find("because a current database backup does not exist") != std::string::npos ||
         error.find("there is no current database backup") != std::string::npos;
}

bool parse_duration(const std::string& text, int64_t& seconds) {
  int64_t total = 0;
  size_t i = 0;
  if (text.empty()) return false;
  while (i < text.size()) {
    int64_t n = 0;
    size_t digits = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && digits < 9; ++i, ++digits)
      n = n * 10 + (text[i] - '0');
    if (digits == 0 || i == text.size()) return false;
    const char unit = text[i++];
    const int64_t scale = unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600 : unit == 'd' ? 86400 : 0;
    if (scale == 0) return false;
    total += n * scale;
  }
  if (total <= 0) return false;
  seconds = total;
  return true;
}

std::string duration_words(int64_t seconds) {
  static const struct { int64_t size; char unit; } UNITS[] = {{86400, 'd'}, {3600, 'h'}, {60, 'm'}, {1, 's'}};
  std::string out;
  for (const auto& u : UNITS) {
    if (seconds >= u.size) {
      out += std::to_string(seconds / u.size) + u.unit;
      seconds %= u.size;
    }
  }
  return out.empty() ? "0s" : out;
}

bool parse_utc_time(const std::string& text, int64_t& seconds) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &used) != 6 || used != 19)
    return false;
  size_t i = 19;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  }
  if (i + 1 != text.size() || text[i] != 'Z') return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) return false;
  // Days from the civil date (proleptic Gregorian), so no time zone applies.
  const int yy = mo <= 2 ? y - 1 : y;
  const int era = (yy >= 0 ? yy : yy - 399) / 400;
  const int yoe = yy - era * 400;
  const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = int64_t(era) * 146097 + doe - 719468;
  seconds = days * 86400 + h * 3600 + mi * 60 + s;
  return true;
}

bool facts_of(const JsonValue& item, DatabaseFacts& out) {
  out.name = text_member(item, "name");
  if (out.name.empty()) return false;
  out.recovery = text_member(item, "recovery");
  out.state = text_member(item, "state");
  out.ag_role = text_member(item, "ag_role");
  const JsonValue* ro = item.find("read_only");
  out.read_only = ro && ro->kind == JsonValue::Kind::Bool && ro->boolean;
  const JsonValue* pr = item.find("preferred_replica");
  out.preferred_replica = !(pr && pr->kind == JsonValue::Kind::Bool && !pr->boolean);
  out.last_full = time_member(item, "last_full");
  out.last_differential = time_member(item, "last_differential");
  out.last_log = time_member(item, "last_log");
  return true;
}

}  // namespace cli
