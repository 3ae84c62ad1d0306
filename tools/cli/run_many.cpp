// A backup run over several databases. The run keeps a queue of databases
// and at most --parallel of them in the library's slots; each poll starts
// what fits, reads the progress of the running ones and collects those that
// ended, so one failure never holds up or stops the others.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include "cleanup_view.h"
#include "commands.h"
#include "decisions.h"
#include "json.h"
#include "metrics.h"
#include "name_template.h"
#include "restore_test_view.h"
#include "terminal.h"
#include "vaultrun.h"

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(150);
constexpr size_t MAX_OUT_PATH_BYTES = 1023;  // the library's field for the path
constexpr size_t MAX_METRICS_BYTES = 1 << 20;

enum class Outcome { Queued, Running, Succeeded, Failed, Damaged, Cancelled, NotStarted, Skipped };

const char* outcome_name(Outcome o) {
  switch (o) {
    case Outcome::Queued: return "queued";
    case Outcome::Running: return "running";
    case Outcome::Succeeded: return "succeeded";
    case Outcome::Failed: return "failed";
    case Outcome::Damaged: return "damaged";
    case Outcome::Cancelled: return "cancelled";
    case Outcome::NotStarted: return "not started";
    case Outcome::Skipped: return "skipped";
  }
  return "";
}

struct Job {
  std::string database;
  std::string out_path;
  std::string refusal;  // why it cannot be started at all
  // The decision on the listing's facts: the kind taken, whether copy-only
  // was forced, why either changed, and why the database is skipped.
  std::string type;
  bool copy_only = false;
  std::string note, skip;
  Outcome outcome = Outcome::Queued;
  int32_t session = -1;
  Clock::time_point started;
  int64_t elapsed_ms = 0;
  std::time_t ended_at = 0;
  // Live progress.
  int32_t state = 0;
  int percent = 0;
  std::string message;
  // The result.
  int64_t pages = 0;
  bool verified = false;
  std::string error;
  // A restore test's (or a backup's proof by one): its row, its phase while
  // it runs, and the library's result as it came.
  bool proved = false;
  ProofRow proof;
  std::string phase;
  std::string result_raw;
  // A cleanup's row.
  bool cleaned = false;
  CleanupRow cleanup;
  // A backup run with --keep cleans each database after its own backup
  // succeeded: the job is queued again, its session is then the cleanup's,
  // and its outcome stays the backup's. The cleanup's outcome and end.
  bool then_clean = false;
  Outcome clean_outcome = Outcome::NotStarted;
  std::time_t cleanup_ended_at = 0;
};

struct Run {
  const Settings& s;
  RunRules rules;
  bool json, tty, verify;
  std::vector<Job> jobs;
  bool interrupted = false;
  size_t ended = 0, live_lines = 0;
  std::vector<std::string> pending_lines;  // plain lines not yet printed
};

// ---- Answers --------------------------------------------------------------------

bool parse_object(const char* answer, JsonValue& v) {
  return parse_json(answer ? answer : "", v).empty() && v.kind == JsonValue::Kind::Object;
}

// ---- The list of databases and their files -------------------------------------

bool excluded(const Settings& s, const std::string& name) {
  return std::any_of(s.many.excludes.begin(), s.many.excludes.end(),
                     [&](const std::string& p) { return wildcard_match(p, name); });
}

// What the listing tells a run: the databases of --all (less the
// exclusions) and, with details, each one's facts.
struct Listing {
  std::vector<std::string> names;
  std::vector<DatabaseFacts> facts;
};

// Whether the run decides per database, which takes the detailed listing:
// a run over the whole server, a kind other than full, or an option that
// decides.
bool decides(const Settings& s, const std::string& type) {
  const ManyOptions& m = s.many;
  // A restore test tests what it is given: a database's backups can be
  // proved whatever state or role the database itself is in now. Over the
  // whole server it leaves out the databases whose backups are not here.
  if (s.proving || s.cleaning) return m.all;
  return m.all || type != "full" || m.system || m.change_type || m.all_replicas || m.if_older_than.has_value();
}

// Reads the listing into out. "" or why it failed.
std::string read_listing(const Settings& s, bool details, Listing& out) {
  Settings ls = s;
  const bool named_system = std::any_of(s.many.databases.begin(), s.many.databases.end(), is_system_database);
  if (details) ls.extra.emplace_back("details", "true");
  if (s.many.system || named_system) ls.extra.emplace_back("include_system", "true");
  std::string cfg = config_json(ls);
  const char* answer = vaultrun_list_databases(cfg.c_str());
  wipe(cfg);
  JsonValue v;
  if (!parse_object(answer, v)) return "unreadable answer from the library: " + printable(answer ? answer : "");
  if (!member_bool(v, "ok")) {
    return printable(endpoint(s)) + ": cannot list the databases: " + one_line(member_text(v, "error"));
  }
  const JsonValue* dbs = v.find("databases");
  if (!dbs || dbs->kind != JsonValue::Kind::Array) return "unexpected listing from the library: " + printable(answer);
  for (const JsonValue& item : dbs->items) {
    DatabaseFacts f;
    if (!facts_of(item, f)) continue;
    if (s.many.all && !excluded(s, f.name)) out.names.push_back(f.name);
    if (details) out.facts.push_back(f);
  }
  if (s.many.all && out.names.empty()) {
    return std::string(s.proving ? "no database to test" : s.cleaning ? "no database to clean up" : "no database to back up") + " on " +
           printable(endpoint(s)) + " (the listing had " +
           std::to_string(dbs->items.size()) + (dbs->items.empty() ? ")" : ", every one excluded)");
  }
  return "";
}

// The facts of a named database: its own name first, else in any case, as
// the server's default collation compares names.
const DatabaseFacts* facts_for(const Listing& l, const std::string& name) {
  for (const DatabaseFacts& f : l.facts)
    if (f.name == name) return &f;
  auto lower = [](std::string t) {
    std::transform(t.begin(), t.end(), t.begin(), [](char c) { return char(std::tolower((unsigned char)c)); });
    return t;
  };
  for (const DatabaseFacts& f : l.facts)
    if (lower(f.name) == lower(name)) return &f;
  return nullptr;
}

// The kind of backup for {type}: the --type flag's, else the file's, else full.
std::string backup_type(const Settings& s) {
  std::string type = "full";
  auto take = [&](const std::vector<std::pair<std::string, std::string>>& members) {
    for (const auto& [key, json] : members) {
      JsonValue v;
      if (key == "type" && parse_json(json, v).empty() && v.kind == JsonValue::Kind::String) type = v.text;
    }
  };
  take(s.extra);
  take(s.kind_members);
  std::transform(type.begin(), type.end(), type.begin(), [](char c) { return char(std::tolower((unsigned char)c)); });
  return type;
}

bool has_control(const std::string& s) {
  return std::any_of(s.begin(), s.end(), [](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 && u != '\t' && u != '\n' && u != '\r';
  });
}

std::vector<Job> plan_jobs(const Settings& s, const RunRules& rules, const std::vector<std::string>& databases,
                          const Listing& listing) {
  std::vector<Job> jobs(databases.size());
  std::vector<std::string> names;
  const std::time_t now = std::time(nullptr);
  NameValues values{s.host, "", rules.type, now};
  for (size_t i = 0; i < databases.size(); ++i) {
    jobs[i].type = rules.type;
    if (const DatabaseFacts* f = facts_for(listing, databases[i])) {
      const Decision d = decide(*f, rules, int64_t(now));
      jobs[i].type = d.type;
      jobs[i].copy_only = d.copy_only;
      jobs[i].note = d.note;
      jobs[i].skip = d.skip;
    }
    values.database = databases[i];
    values.type = jobs[i].type;
    // A restore test and a cleanup write no file.
    if (!s.proving && !s.cleaning) names.push_back(expand_name_template(s.many.name_template.value_or(DEFAULT_NAME_TEMPLATE), values));
    else names.emplace_back();
  }
  make_unique(names);
  for (size_t i = 0; i < jobs.size(); ++i) {
    jobs[i].database = databases[i];
    jobs[i].out_path = s.proving || s.cleaning ? "" : s.many.out_dir ? join_path(*s.many.out_dir, names[i]) : s.out_path;
    if (has_control(jobs[i].database)) {
      // The library's configuration reader takes \uXXXX as letters: the
      // name would arrive as another one, which might exist.
      jobs[i].refusal = "the database name holds a control character, which the library's configuration cannot carry";
    } else if (jobs[i].out_path.size() > MAX_OUT_PATH_BYTES) {
      jobs[i].refusal = "the backup path would be " + std::to_string(jobs[i].out_path.size()) +
                        " bytes long, more than the " + std::to_string(MAX_OUT_PATH_BYTES) + " the library takes";
    }
  }
  return jobs;
}

// ---- Output ---------------------------------------------------------------------

// A restore test names its outcome by what it proved; a database that never
// ran keeps the run's own words.
const char* outcome_text(const Run& r, const Job& j) {
  if (r.s.proving && j.proved) return proof_outcome_name(j.proof.outcome);
  return outcome_name(j.outcome);
}

// A cleanup's line: its row, or the run's words for one that never ran.
std::string cleanup_json_line(const Job& j, std::string out) {
  out += ",\"outcome\":" + json_quote(outcome_name(j.outcome));
  if (j.outcome == Outcome::Skipped) return out + ",\"skipped\":" + json_quote(valid_utf8(j.skip)) + "}";
  if (j.cleaned) out += cleanup_json_members(j.cleanup);
  else out += ",\"error\":" + json_quote(valid_utf8(j.error));
  out += ",\"elapsed_ms\":" + std::to_string(j.elapsed_ms);
  if (!j.result_raw.empty()) out += ",\"result\":" + j.result_raw;
  return out + "}";
}

// The members of the cleanup after a backup: its outcome and its row, or
// why it did not run.
std::string after_cleanup_members(const Job& j) {
  std::string out = ",\"outcome\":" + json_quote(outcome_name(j.clean_outcome));
  if (j.cleaned) return out + cleanup_json_members(j.cleanup);
  return out + ",\"error\":" + json_quote(valid_utf8(j.cleanup.error));
}

// "cleanup: 3 files deleted, ..." or what kept the cleanup after a backup from succeeding.
std::string after_cleanup_words(const Job& j) {
  if (j.cleaned) return "cleanup: " + cleanup_words(j.cleanup) + (j.cleanup.ok ? "" : ": " + one_line(j.cleanup.error));
  return std::string("cleanup ") + outcome_name(j.clean_outcome) + ": " + one_line(j.cleanup.error);
}

bool cleanup_unfinished(const Job& j) { return j.then_clean && j.clean_outcome != Outcome::Succeeded; }
bool backup_unfinished(const Job& j) { return j.outcome != Outcome::Succeeded && j.outcome != Outcome::Skipped; }

size_t cleanups_not_succeeded(const Run& r) {
  return size_t(std::count_if(r.jobs.begin(), r.jobs.end(), cleanup_unfinished));
}

// "a, b, c": the databases whose jobs match.
std::string names_where(const Run& r, bool (*match)(const Job&)) {
  std::string names;
  for (const Job& j : r.jobs) {
    if (match(j)) names += (names.empty() ? "" : ", ") + printable(j.database);
  }
  return names;
}

std::string json_line(const Run& r, const Job& j) {
  std::string out = "{\"database\":" + json_quote(valid_utf8(j.database));
  if (r.s.cleaning) return cleanup_json_line(j, out);
  if (r.s.proving) {
    if (j.proved) {
      out += proof_json_members(j.proof);
    } else if (j.outcome == Outcome::Skipped) {
      return out + ",\"outcome\":\"skipped\",\"skipped\":" + json_quote(valid_utf8(j.skip)) + "}";
    } else {
      out += ",\"outcome\":" + json_quote(outcome_name(j.outcome));
      out += ",\"error\":" + json_quote(valid_utf8(j.error));
    }
    out += ",\"elapsed_ms\":" + std::to_string(j.elapsed_ms);
    // The library's own document, for a host that wants every member.
    if (!j.result_raw.empty()) out += ",\"result\":" + j.result_raw;
    return out + "}";
  }
  out += ",\"outcome\":" + json_quote(outcome_name(j.outcome));
  out += ",\"type\":" + json_quote(valid_utf8(j.type));
  if (j.outcome == Outcome::Skipped) return out + ",\"skipped\":" + json_quote(valid_utf8(j.skip)) + "}";
  out += ",\"out_path\":" + json_quote(valid_utf8(j.out_path));
  if (j.copy_only) out += ",\"copy_only\":true";
  if (!j.note.empty()) out += ",\"note\":" + json_quote(valid_utf8(j.note));
  if (j.outcome == Outcome::Succeeded) {
    out += ",\"verified\":" + std::string(j.verified ? "true" : "false");
    out += ",\"pages\":" + std::to_string(j.pages);
  }
  if (j.proved) out += ",\"restore_test\":{" + proof_json_members(j.proof).substr(1) + "}";
  if (j.then_clean) out += ",\"cleanup\":{" + after_cleanup_members(j).substr(1) + "}";
  out += ",\"elapsed_ms\":" + std::to_string(j.elapsed_ms);
  if (j.outcome != Outcome::Succeeded) out += ",\"error\":" + json_quote(valid_utf8(j.error));
  return out + "}";
}

size_t count_of(const Run& r, Outcome o) {
  return size_t(std::count_if(r.jobs.begin(), r.jobs.end(), [&](const Job& j) { return j.outcome == o; }));
}

size_t left_behind_count(const Run& r) {
  return size_t(
      std::count_if(r.jobs.begin(), r.jobs.end(), [](const Job& j) { return j.proved && j.proof.left_behind; }));
}

std::string summary_json(const Run& r, int64_t elapsed_ms) {
  std::string out = "{\"summary\":true,\"databases\":" + std::to_string(r.jobs.size());
  out += ",\"succeeded\":" + std::to_string(count_of(r, Outcome::Succeeded));
  out += ",\"failed\":" + std::to_string(count_of(r, Outcome::Failed));
  if (r.s.proving) out += ",\"damaged\":" + std::to_string(count_of(r, Outcome::Damaged));
  out += ",\"cancelled\":" + std::to_string(count_of(r, Outcome::Cancelled));
  out += ",\"not_started\":" + std::to_string(count_of(r, Outcome::NotStarted));
  out += ",\"skipped\":" + std::to_string(count_of(r, Outcome::Skipped));
  if (r.s.proving || r.s.proof.by_restore) out += ",\"left_behind\":" + std::to_string(left_behind_count(r));
  if (r.s.cleaning || r.s.cleanup.keep) {
    if (!r.s.cleaning) out += ",\"cleanups_failed\":" + std::to_string(cleanups_not_succeeded(r));
    int64_t deleted = 0, freed = 0;
    for (const Job& j : r.jobs) {
      deleted += j.cleaned ? j.cleanup.deleted : 0;
      freed += j.cleaned ? j.cleanup.freed_bytes : 0;
    }
    out += ",\"dry_run\":" + std::string(r.s.restore.dry_run ? "true" : "false");
    out += ",\"files_deleted\":" + std::to_string(deleted) + ",\"freed_bytes\":" + std::to_string(freed);
  }
  out += ",\"interrupted\":" + std::string(r.interrupted ? "true" : "false");
  out += ",\"elapsed_ms\":" + std::to_string(elapsed_ms);
  return out + "}";
}

std::string progress_text(const Run& r) {
  size_t running = count_of(r, Outcome::Running);
  size_t skipped = count_of(r, Outcome::Skipped);
  size_t failed = r.ended - count_of(r, Outcome::Succeeded) - skipped;
  std::string text = std::to_string(r.ended) + " of " + std::to_string(r.jobs.size()) + " done";
  if (running) text += ", " + std::to_string(running) + " running";
  if (skipped) text += ", " + std::to_string(skipped) + " skipped";
  if (failed) text += ", " + std::to_string(failed) + " not succeeded";
  if (r.interrupted) text += ", cancelling";
  return text;
}

std::string ms_text(const std::optional<int64_t>& ms) { return ms ? duration_text(*ms) : "-"; }

// "copy dropped", or the left-behind copy named so that it can be dropped by hand.
std::string copy_words(const ProofRow& p) {
  if (p.left_behind) return "scratch copy " + printable(p.scratch) + " LEFT BEHIND on the server";
  if (p.dropped) return "copy " + printable(p.scratch) + " dropped";
  return "";
}

std::string end_line(const Run& r, const Job& j) {
  std::string line = "[" + std::to_string(r.ended) + "/" + std::to_string(r.jobs.size()) + "] " +
                     printable(j.database) + ": " + outcome_text(r, j);
  if (r.s.proving && j.proved) {
    const ProofRow& p = j.proof;
    if (!p.checkdb.empty()) line += ", checkdb " + printable(p.checkdb);
    if (p.restore_ms) {
      line += ", restore " + ms_text(p.restore_ms) + ", check " + ms_text(p.check_ms) + ", drop " + ms_text(p.drop_ms);
    }
    if (!copy_words(p).empty()) line += ", " + copy_words(p);
    if (!p.error.empty()) line += ": " + one_line(p.error);
  } else if (r.s.cleaning && j.cleaned) {
    line += ", " + cleanup_words(j.cleanup);
    if (!j.cleanup.ok) line += ": " + one_line(j.cleanup.error);
  } else if (j.outcome == Outcome::Succeeded) {
    line += ", " + std::to_string(j.pages) + " pages" + (j.verified ? ", verified" : "") +
            (j.proved ? " by a restore test" : "") + ", " + duration_text(j.elapsed_ms) + ", " + printable(j.out_path);
    if (!j.note.empty()) line += " (" + printable(j.note) + ")";
    if (j.then_clean) line += "; " + after_cleanup_words(j);
  } else if (j.outcome == Outcome::Skipped) {
    line += ": " + one_line(j.skip);
  } else if (!j.error.empty()) {
    line += ": " + one_line(j.error);
  }
  if (!r.s.proving && j.proved && j.proof.left_behind) line += "; " + copy_words(j.proof);
  return line;
}

const char* phase_of(const Run& r, const Job& j) {
  if (r.interrupted) return "cancelling";
  if (j.state == VAULTRUN_SESSION_STARTING) return "connecting";
  if (j.phase == "restore") return "restoring";
  if (j.phase == "check") return "checking";
  if (j.phase == "drop") return "dropping";
  if (r.s.proving) return "restoring";
  if (r.s.cleaning || j.then_clean) return "cleaning";
  return r.verify && j.percent >= 100 ? "verifying" : "backing up";
}

// Redraws the live block on a terminal: lines that are final go above it,
// then one line per running backup and the overall line, each cut to the
// width so the terminal never wraps them.
void draw(Run& r) {
  if (!r.tty) {
    for (const std::string& line : r.pending_lines) std::printf("%s\n", line.c_str());
    r.pending_lines.clear();
    std::fflush(stdout);
    return;
  }
  int cols = terminal_columns(STDOUT_FILENO);
  size_t width = cols > 1 ? size_t(cols - 1) : 1;
  std::string out;
  if (r.live_lines > 0) out += "\x1b[" + std::to_string(r.live_lines) + "A";
  out += "\r\x1b[J";
  // Final lines are printed whole: they scroll away above the live block.
  for (const std::string& line : r.pending_lines) out += line + "\n";
  r.pending_lines.clear();
  r.live_lines = 0;
  for (const Job& j : r.jobs) {
    if (j.outcome != Outcome::Running) continue;
    char pct[16];
    std::snprintf(pct, sizeof pct, "%3d%%", std::clamp(j.percent, 0, 100));
    std::string line = printable(j.database) + "  " + pct + "  " + phase_of(r, j);
    if (!j.message.empty()) line += "  " + printable(j.message);
    out += fit_width(line, width) + "\n";
    ++r.live_lines;
  }
  out += fit_width(progress_text(r), width) + "\n";
  ++r.live_lines;
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
}

void clear_live(Run& r) {
  if (r.tty && r.live_lines > 0) {
    std::printf("\x1b[%zuA\r\x1b[J", r.live_lines);
    r.live_lines = 0;
  }
  std::fflush(stdout);
}

// Prints rows of cells in aligned columns; a column marked in right is
// aligned right, and the last cell of a row (the note) is never padded.
void print_columns(const std::vector<std::vector<std::string>>& rows, const std::vector<bool>& right) {
  std::vector<size_t> w(right.size(), 0);
  for (const auto& row : rows)
    for (size_t c = 0; c + 1 < row.size() && c < w.size(); ++c) w[c] = std::max(w[c], display_width(row[c]));
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c + 1 < row.size(); ++c) {
      const std::string gap(w[c] - display_width(row[c]), ' ');
      line += (c ? "  " : "") + (c < right.size() && right[c] ? gap + row[c] : row[c] + gap);
    }
    if (!row.back().empty()) line += "  " + row.back();
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::printf("%s\n", line.c_str());
  }
}

// A restore-test run: what each test proved, its check, its copy and the
// time of each phase; a copy left behind is written in capitals.
void print_proof_table(const Run& r) {
  std::vector<std::vector<std::string>> rows{
      {"DATABASE", "OUTCOME", "CHECKDB", "SCRATCH", "RESTORE", "CHECK", "DROP", "COPY", "NOTE"}};
  for (const Job& j : r.jobs) {
    const ProofRow& p = j.proof;
    if (!j.proved) {
      rows.push_back({printable(j.database), outcome_text(r, j), "-", "-", "-", "-", "-", "-", one_line(j.error)});
      continue;
    }
    rows.push_back({printable(j.database), outcome_text(r, j), p.checkdb.empty() ? "-" : printable(p.checkdb),
                    p.scratch.empty() ? "-" : printable(p.scratch), ms_text(p.restore_ms), ms_text(p.check_ms),
                    ms_text(p.drop_ms), copy_text(p), one_line(p.error)});
  }
  print_columns(rows, {false, false, false, false, true, true, true, false});
  std::printf("%zu of %zu restore tests %s", count_of(r, Outcome::Succeeded), r.jobs.size(),
              r.s.restore.dry_run ? "planned" : "proven");
  if (size_t damaged = count_of(r, Outcome::Damaged)) std::printf(", %zu damaged", damaged);
  if (size_t left = left_behind_count(r)) std::printf(", %zu scratch cop%s LEFT BEHIND", left, left == 1 ? "y" : "ies");
  std::printf("\n");
}

// A cleanup run: each database's files deleted and kept, the bytes freed
// and the oldest point that the files left restore to.
void print_cleanup_table(const Run& r) {
  const bool dry = r.s.restore.dry_run;
  std::vector<std::vector<std::string>> rows{
      {"DATABASE", "OUTCOME", dry ? "WOULD DELETE" : "DELETED", "KEPT", dry ? "WOULD FREE" : "FREED",
       "OLDEST RESTORABLE", "TIME", "NOTE"}};
  for (const Job& j : r.jobs) {
    const CleanupRow& c = j.cleanup;
    const bool ran = j.outcome != Outcome::NotStarted && j.outcome != Outcome::Skipped;
    const std::string note = j.outcome == Outcome::Skipped ? one_line(j.skip) : one_line(j.error);
    if (!j.cleaned) {
      rows.push_back({printable(j.database), outcome_name(j.outcome), "-", "-", "-", "-",
                      ran ? duration_text(j.elapsed_ms) : "-", note});
      continue;
    }
    rows.push_back({printable(j.database), outcome_name(j.outcome), std::to_string(c.deleted), std::to_string(c.kept),
                    bytes_words(c.freed_bytes), c.oldest_restorable.empty() ? "none" : printable(c.oldest_restorable),
                    duration_text(j.elapsed_ms), note});
  }
  print_columns(rows, {false, false, true, true, true, false, true});
  int64_t deleted = 0, freed = 0;
  for (const Job& j : r.jobs) {
    deleted += j.cleaned ? j.cleanup.deleted : 0;
    freed += j.cleaned ? j.cleanup.freed_bytes : 0;
  }
  std::printf("%zu of %zu cleanups succeeded, %lld file%s %s, %s %s\n", count_of(r, Outcome::Succeeded),
              r.jobs.size(), (long long)deleted, deleted == 1 ? "" : "s", dry ? "would be deleted" : "deleted",
              bytes_words(freed).c_str(), dry ? "would be freed" : "freed");
}

void print_table(const Run& r) {
  if (r.s.proving) return print_proof_table(r);
  if (r.s.cleaning) return print_cleanup_table(r);
  std::vector<std::vector<std::string>> rows{{"DATABASE", "OUTCOME", "PAGES", "TIME", "NOTE"}};
  for (const Job& j : r.jobs) {
    bool ok = j.outcome == Outcome::Succeeded;
    bool ran = j.outcome != Outcome::NotStarted && j.outcome != Outcome::Skipped;
    std::string note = ok ? one_line(j.note) : j.outcome == Outcome::Skipped ? one_line(j.skip) : one_line(j.error);
    if (!ok && !j.note.empty() && j.outcome != Outcome::Skipped) note = one_line(j.note) + ": " + note;
    if (j.proved && j.proof.left_behind) note += (note.empty() ? "" : "; ") + copy_words(j.proof);
    if (j.then_clean) note += (note.empty() ? "" : "; ") + after_cleanup_words(j);
    rows.push_back({printable(j.database), outcome_name(j.outcome), ok ? std::to_string(j.pages) : "-",
                    ran ? duration_text(j.elapsed_ms) : "-", note});
  }
  print_columns(rows, {false, false, true, true});
  const size_t skipped = count_of(r, Outcome::Skipped);
  std::printf("%zu of %zu backups succeeded", count_of(r, Outcome::Succeeded), r.jobs.size() - skipped);
  if (skipped) std::printf(", %zu skipped", skipped);
  std::printf("\n");
}

// ---- The slots ------------------------------------------------------------------

void finish(Run& r, Job& j, Outcome o, const std::string& error) {
  j.outcome = o;
  j.error = error;
  if (j.then_clean) {
    j.cleanup_ended_at = std::time(nullptr);  // the backup's own end and time were taken as it ended
  } else {
    j.ended_at = std::time(nullptr);
    if (j.session >= 0) j.elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - j.started).count();
  }
  ++r.ended;
  if (r.json) {
    std::printf("%s\n", json_line(r, j).c_str());
    std::fflush(stdout);  // as each ends, also through a pipe
  } else {
    r.pending_lines.push_back(end_line(r, j));
  }
}

// A backup proved by a restore test carries the test's result in a member.
void read_backup_proof(Job& j, const JsonValue& v, bool interrupted) {
  const JsonValue* t = v.find("restore_test");
  if (!t || t->kind != JsonValue::Kind::Object) return;
  j.proved = true;
  j.proof = proof_row(*t, interrupted);
}

// A restore test's result: its row, and the run's outcome from what it proved.
void collect_proof(Run& r, Job& j, const JsonValue& v, const std::string& text) {
  j.proved = true;
  j.proof = proof_row(v, r.interrupted);
  j.result_raw = text;
  switch (j.proof.outcome) {
    case ProofOutcome::Proven: return finish(r, j, Outcome::Succeeded, "");
    case ProofOutcome::Planned:
      finish(r, j, Outcome::Succeeded, "");
      if (!r.json) {
        std::string plan = proof_plan_text(v);
        plan.pop_back();  // each pending line gets its own line feed
        r.pending_lines.push_back(plan);
      }
      return;
    case ProofOutcome::Damaged: return finish(r, j, Outcome::Damaged, j.proof.error);
    case ProofOutcome::Failed: return finish(r, j, Outcome::Failed, j.proof.error);
    case ProofOutcome::Cancelled: return finish(r, j, Outcome::Cancelled, j.proof.error);
  }
}

// A backup that succeeded in a run with --keep: queued again for its
// cleanup, its own time and end kept.
void queue_cleanup(Job& j) {
  j.then_clean = true;
  j.ended_at = std::time(nullptr);
  j.elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - j.started).count();
  j.outcome = Outcome::Queued;
}

// The cleanup after a backup ended: the job ends with the backup's outcome
// and the cleanup's beside it.
void collect_cleanup(Run& r, Job& j, const JsonValue* v) {
  if (v != nullptr) {
    j.cleaned = true;
    j.cleanup = cleanup_row(*v);
  } else {
    j.cleanup.error = "unreadable answer from the library";
  }
  j.clean_outcome = j.cleaned && j.cleanup.ok ? Outcome::Succeeded : r.interrupted ? Outcome::Cancelled : Outcome::Failed;
  finish(r, j, Outcome::Succeeded, "");
}

// Takes the ended session's result and releases its slot.
void collect(Run& r, Job& j, bool unreadable) {
  std::string text = unreadable ? std::string() : std::string(vaultrun_result(j.session));
  vaultrun_free(j.session);
  JsonValue v;
  const bool readable = !unreadable && parse_object(text.c_str(), v);
  if (j.then_clean) {
    collect_cleanup(r, j, readable ? &v : nullptr);
  } else if (!readable) {
    finish(r, j, r.interrupted ? Outcome::Cancelled : Outcome::Failed, "unreadable answer from the library");
  } else if (r.s.proving) {
    collect_proof(r, j, v, text);
  } else if (r.s.cleaning) {
    j.cleaned = true;
    j.cleanup = cleanup_row(v);
    j.result_raw = text;
    finish(r, j, j.cleanup.ok ? Outcome::Succeeded : r.interrupted ? Outcome::Cancelled : Outcome::Failed,
           j.cleanup.ok ? "" : j.cleanup.error);
  } else if (member_bool(v, "ok")) {
    j.pages = member_int(v, "pages");
    j.verified = member_bool(v, "verified");
    read_backup_proof(j, v, r.interrupted);
    if (!r.s.cleanup.keep) {
      finish(r, j, Outcome::Succeeded, "");
    } else {
      queue_cleanup(j);
      if (r.interrupted) {
        j.cleanup.error = "interrupted before it started";
        finish(r, j, Outcome::Succeeded, "");
      }
    }
  } else {
    std::string why = member_text(v, "error");
    if (!r.interrupted && r.rules.change_type && j.type != "full" && is_missing_base_error(why)) {
      // The server knows of no base the listing did not show: the same
      // database again, as a full backup, in the next free slot.
      j.note = j.type + " changed to full: the server has no full backup to base it on";
      j.type = "full";
      j.outcome = Outcome::Queued;
      j.session = -1;
      return;
    }
    read_backup_proof(j, v, r.interrupted);
    finish(r, j, r.interrupted ? Outcome::Cancelled : Outcome::Failed, why.empty() ? "no reason given" : why);
  }
  j.session = -1;
}

// The configuration of one database's backup: later members win in the
// library's reading, so the decided kind overrides the file's and the flag's.
Settings backup_settings(const Run& r, const Job& j) {
  Settings one = r.s;
  one.database = j.database;
  one.out_path = j.out_path;
  if (j.type != r.rules.type) one.kind_members.emplace_back("type", json_quote(j.type));
  if (j.copy_only) one.copy_only = true;
  return one;
}

// The configuration of the cleanup after a backup: the run's connection,
// the window and the folders, none of the backup's own members.
Settings cleanup_settings(const Settings& s, const Job& j) {
  Settings one = s;
  one.database = j.database;
  one.cleaning = true;
  one.cleanup.folders = cleanup_folders(s);
  one.out_path.clear();
  one.kind_members.clear();
  one.stripes.clear();
  one.proof.by_restore = false;
  return one;
}

// Starts the job in a free slot. False when every slot is taken: the job
// stays queued for the next poll.
bool start(Run& r, Job& j) {
  if (!j.skip.empty()) {
    finish(r, j, Outcome::Skipped, "");
    return true;
  }
  if (!j.refusal.empty()) {
    finish(r, j, Outcome::Failed, j.refusal);
    return true;
  }
  std::string cfg = config_json(j.then_clean ? cleanup_settings(r.s, j) : backup_settings(r, j));
  j.started = Clock::now();
  const int32_t session = vaultrun_start(cfg.c_str());
  wipe(cfg);  // it holds the password
  if (session == -2) return false;
  if (session < 0 && j.then_clean) {
    j.cleanup.error = "cannot start the cleanup: " + std::string(vaultrun_last_error());
    j.clean_outcome = Outcome::Failed;
    finish(r, j, Outcome::Succeeded, "");
    return true;
  }
  if (session < 0) {
    std::string why = vaultrun_last_error();
    finish(r, j, Outcome::Failed, std::string(r.s.proving    ? "cannot start the restore test: "
                                              : r.s.cleaning ? "cannot start the cleanup: "
                                                             : "cannot start the backup: ") +
                                      (why.empty() ? std::string("no reason given") : why));
    return true;
  }
  j.session = session;
  j.outcome = Outcome::Running;
  if (!r.json && !r.tty) {
    r.pending_lines.push_back(r.s.proving                   ? "started the restore test of " + printable(j.database)
                              : r.s.cleaning || j.then_clean ? "started the cleanup of " + printable(j.database)
                                             : "started " + printable(j.database) + " -> " + printable(j.out_path));
  }
  return true;
}

void start_what_fits(Run& r) {
  size_t running = count_of(r, Outcome::Running);
  for (Job& j : r.jobs) {
    if (r.interrupted || running >= size_t(parallel_of(r.s))) return;
    if (j.outcome != Outcome::Queued) continue;
    if (!start(r, j)) return;
    if (j.outcome == Outcome::Running) ++running;
  }
}

void poll_running(Run& r) {
  for (Job& j : r.jobs) {
    if (j.outcome != Outcome::Running) continue;
    const char* raw = vaultrun_progress(j.session);
    JsonValue v;
    int64_t state = -1;
    const JsonValue* st = parse_object(raw, v) ? v.find("state") : nullptr;
    if (!st || !st->as_int(state)) {
      collect(r, j, true);
      continue;
    }
    j.state = int32_t(state);
    j.percent = int(member_int(v, "percent"));
    j.message = member_text(v, "message");
    j.phase = member_text(v, "phase");
    if (j.state != VAULTRUN_SESSION_STARTING && j.state != VAULTRUN_SESSION_RUNNING) collect(r, j, false);
  }
}

// Ctrl-C: every running backup is cancelled and none is started; the poll
// goes on until the cancelled ones have ended and their slots are free.
void interrupt(Run& r) {
  r.interrupted = true;
  for (Job& j : r.jobs) {
    if (j.outcome == Outcome::Running) vaultrun_cancel(j.session);
  }
  for (Job& j : r.jobs) {
    if (j.outcome != Outcome::Queued) continue;
    if (j.then_clean) {
      j.cleanup.error = "interrupted before it started";
      finish(r, j, Outcome::Succeeded, "");
    } else {
      finish(r, j, Outcome::NotStarted, "interrupted before it started");
    }
  }
}

// ---- Metrics --------------------------------------------------------------------

// Writes the metrics file of a run of kind type over jobs (none when the
// listing or the connection failed: the databases of the old file then
// keep their last successes). run_ok: nothing failed.
// Whether the run writes its metrics file. A restore test's dry run proves
// nothing: its file would record every database as unproven and set off
// the alerts.
// Nor does a cleanup's: it deleted nothing.
bool records_metrics(const Settings& s) {
  return s.many.metrics_file && !((s.proving || s.cleaning) && s.restore.dry_run);
}

// The previous metrics file, whose last successes a run keeps; "" when it is
// missing or unreadable, so that nothing is carried over.
std::string previous_metrics(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream buf;
  buf << in.rdbuf();
  return in.bad() ? std::string() : buf.str().substr(0, MAX_METRICS_BYTES);
}

std::optional<double> seconds_of(const std::optional<int64_t>& ms) {
  return ms ? std::optional<double>(double(*ms) / 1000.0) : std::nullopt;
}

// The restore-test run's file: a database proven now records this run's
// end, any other keeps the time its last proven restore had.
std::string proof_metrics(const Settings& s, const std::vector<Job>& jobs, const std::string& old, bool run_ok) {
  const std::string server = endpoint(s);
  std::vector<ProofMetrics> dbs;
  for (const Job& j : jobs) {
    ProofMetrics m;
    m.database = j.database;
    m.ran = j.outcome != Outcome::NotStarted && j.outcome != Outcome::Skipped;
    m.skipped = j.outcome == Outcome::Skipped;
    m.proven = j.outcome == Outcome::Succeeded && j.proved && j.proof.outcome == ProofOutcome::Proven;
    m.left_behind = j.proved && j.proof.left_behind;
    m.restore_s = seconds_of(j.proof.restore_ms);
    m.check_s = seconds_of(j.proof.check_ms);
    m.drop_s = seconds_of(j.proof.drop_ms);
    m.last_success = m.proven ? std::optional<double>(double(j.ended_at)) : previous_proof(old, server, j.database);
    dbs.push_back(m);
  }
  if (jobs.empty()) {
    for (const std::string& name : previous_proven_databases(old, server)) {
      ProofMetrics m;
      m.database = name;
      m.last_success = previous_proof(old, server, name);
      dbs.push_back(m);
    }
  }
  return restore_test_metrics_text(server, dbs, run_ok, double(std::time(nullptr)));
}

// The cleanup run's file: each database's files deleted and bytes freed,
// and the window it keeps against the one promised. The oldest restorable
// point becomes Unix time by its distance from the server's now, so the
// server's time zone does not matter.
std::string cleanup_metrics(const Settings& s, const std::vector<Job>& jobs, const std::string& old, bool run_ok) {
  const std::string server = endpoint(s);
  std::vector<CleanupMetrics> dbs;
  for (const Job& j : jobs) {
    CleanupMetrics m;
    m.database = j.database;
    m.ran = j.outcome != Outcome::NotStarted && j.outcome != Outcome::Skipped;
    m.succeeded = j.outcome == Outcome::Succeeded;
    if (j.cleaned) {
      m.files_deleted = j.cleanup.deleted;
      m.freed_bytes = j.cleanup.freed_bytes;
      if (j.cleanup.keep_hours > 0) m.promised_s = double(j.cleanup.keep_hours) * 3600.0;
      if (j.cleanup.restorable_s) m.oldest_restorable = double(j.ended_at) - double(*j.cleanup.restorable_s);
    }
    // A cleanup that succeeded tells what restores now, nothing included:
    // an older file's point would hide a window gone short.
    if (!j.cleaned || !j.cleanup.ok) previous_cleanup(old, server, m);
    dbs.push_back(m);
  }
  if (jobs.empty()) {
    for (const std::string& name : previous_cleaned_databases(old, server)) {
      CleanupMetrics m;
      m.database = name;
      previous_cleanup(old, server, m);
      dbs.push_back(m);
    }
  }
  return cleanup_metrics_text(server, dbs, run_ok, double(std::time(nullptr)));
}

// The cleanups after the backups of a run with --keep, in the cleanup
// run's samples: a database whose backup did not succeed was not cleaned.
std::string after_cleanup_metrics(const Settings& s, const std::vector<Job>& jobs, const std::string& old) {
  std::vector<Job> cleanups = jobs;
  bool all_ok = !jobs.empty();
  for (Job& c : cleanups) {
    c.outcome = c.then_clean ? c.clean_outcome : Outcome::NotStarted;
    c.ended_at = c.cleanup_ended_at;
    all_ok = all_ok && (!c.then_clean || c.clean_outcome == Outcome::Succeeded);
  }
  return cleanup_metrics(s, cleanups, old, all_ok);
}

bool write_metrics(const Settings& s, const std::string& type, const std::vector<Job>& jobs, bool run_ok) {
  const std::string& path = *s.many.metrics_file;
  const std::string old = previous_metrics(path);
  if (s.cleaning) {
    std::string e = replace_file(path, keep_other_samples(cleanup_metrics(s, jobs, old, run_ok), old, endpoint(s), "cleanup"));
    if (!e.empty()) print_error("metrics file: " + printable(e));
    return e.empty();
  }
  if (s.proving) {
    std::string e = replace_file(path, keep_other_samples(proof_metrics(s, jobs, old, run_ok), old, endpoint(s),
                                                          "restore_test"));
    if (!e.empty()) print_error("metrics file: " + printable(e));
    return e.empty();
  }
  const std::string server = endpoint(s);
  std::vector<DatabaseMetrics> dbs;
  for (const Job& j : jobs) {
    const bool ran = j.outcome != Outcome::NotStarted && j.outcome != Outcome::Skipped;
    DatabaseMetrics m{j.database, ran, j.outcome == Outcome::Succeeded, j.outcome == Outcome::Skipped,
                      double(j.elapsed_ms) / 1000.0, std::nullopt, ""};
    if (ran && !j.type.empty() && j.type != type) {
      // A backup changed to another kind (a full one) is recorded as that
      // kind; for the run's kind the database was skipped, nothing taken.
      m.type = j.type;
      m.last_success = m.succeeded ? std::optional<double>(double(j.ended_at))
                                   : previous_success(old, server, j.type, j.database);
      dbs.push_back(m);
      m = DatabaseMetrics{j.database, false, false, true, 0, std::nullopt, ""};
    } else if (m.succeeded) {
      m.last_success = double(j.ended_at);
    }
    if (!m.last_success) m.last_success = previous_success(old, server, type, j.database);
    dbs.push_back(m);
  }
  if (jobs.empty()) {
    for (const std::string& name : previous_databases(old, server, type))
      dbs.push_back({name, false, false, false, 0, previous_success(old, server, type, name), ""});
  }
  const std::string text = metrics_text(server, type, dbs, run_ok, double(std::time(nullptr)));
  std::string merged = keep_other_samples(text, old, server, type);
  if (s.cleanup.keep) merged = keep_other_samples(after_cleanup_metrics(s, jobs, old), merged, server, "cleanup");
  std::string e = replace_file(path, merged);
  if (!e.empty()) print_error("metrics file: " + printable(e));
  return e.empty();
}

size_t failed_count(const Run& r) {
  return r.jobs.size() - count_of(r, Outcome::Succeeded) - count_of(r, Outcome::Skipped);
}

// The exit status, with one line on standard error for a run that did not
// wholly succeed.
int exit_status(const Run& r, int signal, bool metrics_ok) {
  // A scratch copy still on the server needs someone to drop it by hand:
  // said on its own line whatever else happened.
  for (const Job& j : r.jobs) {
    if (j.proved && j.proof.left_behind) {
      print_error(left_behind_warning(j.proof.scratch, j.database));
    }
  }
  if (r.interrupted) {
    const size_t cleanups = cleanups_not_succeeded(r);
    print_error("interrupted: " + std::to_string(count_of(r, Outcome::Cancelled)) + " cancelled, " +
                std::to_string(count_of(r, Outcome::NotStarted)) + " not started" +
                (cleanups ? ", " + std::to_string(cleanups) + " cleanup" + (cleanups == 1 ? "" : "s") +
                                " after the backups not finished"
                          : std::string()));
    return 128 + (signal ? signal : SIGINT);
  }
  size_t failed = failed_count(r);
  if (size_t cleanups = cleanups_not_succeeded(r)) {
    print_error(std::to_string(cleanups) + " of " + std::to_string(r.jobs.size() - failed - count_of(r, Outcome::Skipped)) +
                " cleanups after the backups did not succeed: " + names_where(r, cleanup_unfinished));
    if (failed == 0) return EXIT_FAILED;
  }
  if (failed > 0) {
    print_error(std::to_string(failed) + " of " + std::to_string(r.jobs.size() - count_of(r, Outcome::Skipped)) +
                (r.s.proving    ? " restore tests did not prove their backups: "
                 : r.s.cleaning ? " cleanups failed: "
                                : " backups failed: ") +
                names_where(r, backup_unfinished));
    return EXIT_FAILED;
  }
  return metrics_ok ? EXIT_OK : EXIT_FAILED;
}


// A run that cannot start (the listing or the connection failed): the
// reason on standard error and, with --json, as the run's one object on
// standard output; the metrics file records the failed run.
int run_not_started(const Settings& s, const std::string& type, bool json, const std::string& why) {
  print_error(why);
  if (json) {
    std::printf("{\"summary\":true,\"server\":%s,\"type\":%s,\"outcome\":\"failed\",\"error\":%s}\n",
                json_quote(valid_utf8(endpoint(s))).c_str(), json_quote(valid_utf8(type)).c_str(),
                json_quote(valid_utf8(why)).c_str());
    std::fflush(stdout);
  }
  if (records_metrics(s)) write_metrics(s, type, {}, false);
  return EXIT_FAILED;
}

}  // namespace

int run_many(const Settings& s, bool json) {
  RunRules rules;
  rules.type = s.proving ? "restore_test" : s.cleaning ? "cleanup" : backup_type(s);
  rules.change_type = s.many.change_type;
  rules.all_replicas = s.many.all_replicas;
  int64_t seconds = 0;
  if (s.many.if_older_than && parse_duration(*s.many.if_older_than, seconds)) rules.if_older_than_s = seconds;

  std::vector<std::string> databases = s.many.databases;
  Listing listing;
  if (s.many.all || decides(s, rules.type)) {
    const std::string why = read_listing(s, decides(s, rules.type), listing);
    if (!why.empty()) return run_not_started(s, rules.type, json, why);
    if (s.many.all) databases = listing.names;
  }

  InterruptCatcher interrupts;
  Run r{s, rules, json, !json && is_terminal(STDOUT_FILENO), s.verify, plan_jobs(s, rules, databases, listing),
        false, 0, 0, {}};
  const auto run_started = Clock::now();
  if (!json) {
    std::printf("%s %zu database%s on %s, %d at a time\n",
                s.cleaning            ? (s.restore.dry_run ? "planning the cleanup of" : "cleaning up")
                : !s.proving          ? "backing up"
                : s.restore.dry_run   ? "planning the restore test of"
                                      : "testing the restore of",
                r.jobs.size(), r.jobs.size() == 1 ? "" : "s", printable(endpoint(s)).c_str(),
                std::min(parallel_of(s), int(r.jobs.size())));
  }
  for (;;) {
    if (interrupts.count() > 0 && !r.interrupted) interrupt(r);
    start_what_fits(r);
    poll_running(r);
    start_what_fits(r);  // straight into the slots that just came free
    if (!json) draw(r);
    if (r.ended == r.jobs.size()) break;
    std::this_thread::sleep_for(POLL_INTERVAL);
  }
  const int64_t elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - run_started).count();
  if (json) {
    std::printf("%s\n", summary_json(r, elapsed_ms).c_str());
  } else {
    clear_live(r);
    std::printf("\n");
    print_table(r);
  }
  std::fflush(stdout);
  const bool metrics_ok =
      !records_metrics(s) || write_metrics(s, rules.type, r.jobs, !r.interrupted && failed_count(r) == 0);
  return exit_status(r, interrupts.signal(), metrics_ok);
}

}  // namespace cli
