#include "commands.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <thread>

#include "json.h"
#include "restore_test_view.h"
#include "restore_view.h"
#include "terminal.h"
#include "vaultrun.h"

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(150);
constexpr int BAR_WIDTH = 24;

}  // namespace

// The library joins several server errors with line feeds, cause first;
// on one line they read as sentences in a row.
std::string one_line(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string part = text.substr(start, end - start);
    if (!part.empty()) {
      if (!out.empty()) out += out.back() == '.' ? " " : "; ";
      out += part;
    }
    start = end + 1;
  }
  return printable(out);
}

std::string clock_text(int64_t ms) {
  int64_t s = ms / 1000;
  char buf[32];
  if (s >= 3600) {
    std::snprintf(buf, sizeof buf, "%" PRId64 ":%02d:%02d", s / 3600, int(s / 60 % 60), int(s % 60));
  } else {
    std::snprintf(buf, sizeof buf, "%d:%02d", int(s / 60), int(s % 60));
  }
  return buf;
}

std::string duration_text(int64_t ms) {
  if (ms < 60000) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s", double(ms) / 1000.0);
    return buf;
  }
  return clock_text(ms);
}

namespace {

// Reads a library answer; an unreadable one is reported as a failure.
bool read_answer(const char* answer, JsonValue& v) {
  std::string e = parse_json(answer ? answer : "", v);
  if (e.empty() && v.kind == JsonValue::Kind::Object) return true;
  print_error("unreadable answer from the library (" + e + "): " + printable(answer ? answer : ""));
  return false;
}

bool is_ok(const JsonValue& v) {
  const JsonValue* ok = v.find("ok");
  return ok && ok->kind == JsonValue::Kind::Bool && ok->boolean;
}

std::string text_of(const JsonValue& v, const char* key) {
  const JsonValue* m = v.find(key);
  return m && m->kind == JsonValue::Kind::String ? m->text : std::string();
}

int64_t int_of(const JsonValue& v, const char* key) {
  const JsonValue* m = v.find(key);
  int64_t n = 0;
  return m && m->as_int(n) ? n : 0;
}

struct Progress {
  int32_t state = 0;
  int percent = 0;
  std::string message;
  int64_t elapsed_ms = 0;
  std::string step;  // a restore's "step 2/5 log", "" before its first step
  std::string phase;  // a restore test's restore, check or drop
};

enum class Phase { Connecting, BackingUp, Verifying, Done, Failed };

const char* phase_name(Phase p, bool cancelling) {
  if (cancelling && (p == Phase::Connecting || p == Phase::BackingUp || p == Phase::Verifying)) return "cancelling";
  switch (p) {
    case Phase::Connecting: return "connecting";
    case Phase::BackingUp: return "backing up";
    case Phase::Verifying: return "verifying";
    case Phase::Done: return "done";
    case Phase::Failed: return "failed";
  }
  return "";
}

// What a running session does: a backup or a restore.
enum class Work { Backup, Restore };

// Shows a running backup or restore: a bar redrawn in place on a terminal, a
// line per change otherwise, the library's own documents with --json. A
// restore names its step where a backup says "backing up".
class ProgressView {
 public:
  ProgressView(bool json, bool verify, Work work)
      : json_(json), tty_(!json && is_terminal(STDOUT_FILENO)), verify_(verify), work_(work) {}

  void update(const Progress& p, const std::string& raw, int64_t elapsed_ms, bool cancelling) {
    const std::string phase = phase_text(p, cancelling);
    std::string message = printable(p.message);
    bool changed = !shown_ || p.state != last_.state || p.percent != last_.percent ||
                   p.message != last_.message || p.step != last_.step || cancelling != last_cancelling_;
    if (json_) {
      if (changed) std::printf("%s\n", raw.c_str());
    } else if (tty_) {
      draw_bar(p.percent, elapsed_ms, phase.c_str(), message);
    } else if (changed) {
      std::printf("%3d%%  %s  %s%s%s\n", p.percent, clock_text(elapsed_ms).c_str(), phase.c_str(),
                  message.empty() ? "" : "  ", message.c_str());
    }
    std::fflush(stdout);
    shown_ = true;
    last_ = p;
    last_cancelling_ = cancelling;
  }

  // Ends the bar's line so that what follows starts on a fresh one.
  void close() {
    if (tty_ && shown_) {
      std::printf("\n");
      std::fflush(stdout);
    }
    shown_ = false;
  }

 private:
  bool json_, tty_, verify_;
  Work work_;
  bool shown_ = false;
  bool last_cancelling_ = false;
  Progress last_;

  Phase phase_of(const Progress& p) const {
    if (p.state == VAULTRUN_SESSION_STARTING) return Phase::Connecting;
    if (p.state == VAULTRUN_SESSION_DONE) return Phase::Done;
    if (p.state != VAULTRUN_SESSION_RUNNING) return Phase::Failed;
    // The worker marks the backup 100 percent done before it verifies; a
    // backup proved by a restore test names the test's phase instead.
    if (work_ == Work::Backup && !p.phase.empty()) return Phase::Verifying;
    return verify_ && p.percent >= 100 ? Phase::Verifying : Phase::BackingUp;
  }

  std::string phase_text(const Progress& p, bool cancelling) const {
    Phase phase = phase_of(p);
    if (work_ == Work::Backup || phase != Phase::BackingUp || cancelling) return phase_name(phase, cancelling);
    return p.step.empty() ? "planning" : p.step;
  }

  void draw_bar(int percent, int64_t elapsed_ms, const char* phase, const std::string& message) {
    int pct = std::clamp(percent, 0, 100);
    int cols = terminal_columns(STDOUT_FILENO);
    // The message says more than the bar: narrow terminals get a shorter bar.
    int bar = std::min(BAR_WIDTH, std::max(0, (cols - 23) / 3));
    std::string line;
    char head[64];
    std::snprintf(head, sizeof head, "%-10s ", phase);
    line += head;
    if (bar > 0) {
      int filled = pct * bar / 100;
      line += '[';
      line.append(size_t(filled), '#');
      line.append(size_t(bar - filled), '-');
      line += "] ";
    }
    std::snprintf(head, sizeof head, "%3d%%  %s", pct, clock_text(elapsed_ms).c_str());
    line += head;
    if (!message.empty()) {
      line += "  ";
      line += message;
    }
    // One column short of the edge, so the terminal never wraps the line.
    line = fit_width(line, cols > 1 ? size_t(cols - 1) : 1);
    std::printf("\r%s\x1b[K", line.c_str());
  }
};

bool read_progress(const char* raw, Progress& p) {
  JsonValue v;
  if (!read_answer(raw, v)) return false;
  int64_t state = -1;
  const JsonValue* st = v.find("state");
  if (!st || !st->as_int(state)) {
    print_error("unexpected progress from the library: " + printable(raw));
    return false;
  }
  p.state = int32_t(state);
  p.percent = int(int_of(v, "percent"));
  p.message = text_of(v, "message");
  p.elapsed_ms = int_of(v, "elapsed_ms");
  p.step = step_label(v);  // already printable
  p.phase = text_of(v, "phase");
  return true;
}

bool ended(int32_t state) {
  return state != VAULTRUN_SESSION_STARTING && state != VAULTRUN_SESSION_RUNNING;
}

}  // namespace

namespace {

// The library's refusal of a server that demands encryption, kept as it has
// always read so that hosts can match it; it suggests weakening the server,
// so the user is also told how to meet it instead.
constexpr const char* ENCRYPTION_REQUIRED =
    "server requires encryption (TLS) - not supported; disable Force Encryption";
constexpr const char* ENCRYPTION_HINT =
    "vaultrun: hint: --encrypt true connects to a server that requires encryption "
    "(add --ca-file FILE when its certificate is not in the system's store)\n";

}  // namespace

void print_error(const std::string& text) {
  std::fflush(stdout);
  std::fprintf(stderr, "vaultrun: %s\n", text.c_str());
  if (text.find(ENCRYPTION_REQUIRED) != std::string::npos) std::fputs(ENCRYPTION_HINT, stderr);
}

namespace {

// Echoes a synchronous answer for --json, reads it, and reports a failure
// answer as one line. True when the answer says ok.
bool accept_answer(const Settings& s, const char* answer, bool json, JsonValue& v) {
  if (json) std::printf("%s\n", answer);
  if (!read_answer(answer, v)) return false;
  if (!is_ok(v)) {
    print_error(printable(endpoint(s)) + ": " + one_line(text_of(v, "error")));
    return false;
  }
  return true;
}

// How polling a session went: whether an interrupt was passed on as a
// cancel, and whether the progress stopped being readable.
struct Watched {
  bool cancel_sent = false;
  bool unreadable = false;
};

// Polls the session until it ends, drawing its progress, and passes the
// first interrupt on as a cancel.
Watched watch_session(int32_t session, bool json, bool verify, Work work, InterruptCatcher& interrupts) {
  ProgressView view(json, verify, work);
  const auto started = Clock::now();
  Watched w;
  Progress p;
  for (;;) {
    // Further interrupts change nothing: the session is already stopping,
    // and the library bounds how long that takes.
    if (interrupts.count() > 0 && !w.cancel_sent) {
      vaultrun_cancel(session);
      w.cancel_sent = true;
    }
    const char* raw = vaultrun_progress(session);
    if (!read_progress(raw, p)) {
      w.unreadable = true;
      break;
    }
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    view.update(p, raw, elapsed, w.cancel_sent);
    if (ended(p.state)) break;
    std::this_thread::sleep_for(POLL_INTERVAL);
  }
  view.close();
  return w;
}

// Reports a session that ended with "ok":false as one line, "backup of hr
// failed: ..." (what is "backup of hr"), with after it the state the
// failure left behind, if any; returns the exit status.
int report_failure(const std::string& what, const JsonValue& r, bool cancel_sent, int interrupted_status,
                   const std::string& left = "") {
  std::string why = one_line(text_of(r, "error"));
  if (cancel_sent) {
    print_error(what + " cancelled" + (why == "cancelled" ? "" : ": " + why) + left);
    return interrupted_status;
  }
  print_error(what + " failed: " + (why.empty() ? "no reason given" : why) + left);
  return EXIT_FAILED;
}

// Tells how the backup ended and returns the exit status; cancel_sent: an
// interrupt was passed on, and a failure ends the run with
// interrupted_status (a success: run_session says so).
int report_backup(const Settings& s, bool json, const std::string& result_text, bool cancel_sent,
                  int interrupted_status) {
  JsonValue r;
  if (!read_answer(result_text.c_str(), r)) return cancel_sent ? interrupted_status : EXIT_FAILED;
  // A backup proved by a restore test: its copy, if left behind, is named
  // whatever the outcome.
  const JsonValue* test = r.find("restore_test");
  const bool proved = test && test->kind == JsonValue::Kind::Object;
  const ProofRow proof = proved ? proof_row(*test, cancel_sent) : ProofRow{};
  if (proof.left_behind) print_error(left_behind_warning(proof.scratch, s.database));
  if (!is_ok(r)) return report_failure("backup of " + printable(s.database), r, cancel_sent, interrupted_status);
  if (proof.left_behind) return EXIT_FAILED;

  const JsonValue* verified = r.find("verified");
  bool is_verified = verified && verified->kind == JsonValue::Kind::Bool && verified->boolean;
  if (!json) {
    std::printf("backup done\n");
    std::printf("  file:      %s (on the server)\n", printable(text_of(r, "out_path")).c_str());
    if (proved) {
      std::printf("  verified:  %s by a restore test (checkdb %s, copy %s %s)\n", is_verified ? "yes" : "no",
                  printable(proof.checkdb.empty() ? "-" : proof.checkdb).c_str(), printable(proof.scratch).c_str(),
                  copy_text(proof).c_str());
    } else {
      std::printf("  verified:  %s\n", is_verified ? "yes" : s.verify ? "no" : "no (--no-verify)");
    }
    std::printf("  pages:     %" PRId64 "\n", int_of(r, "pages"));
    if (r.find("type")) std::printf("  kind:      %s\n", printable(text_of(r, "type")).c_str());
    if (int_of(r, "position") > 0) std::printf("  set:       %" PRId64 " in the file\n", int_of(r, "position"));
    if (int_of(r, "stripes") > 0) std::printf("  stripes:   %" PRId64 "\n", int_of(r, "stripes"));
    std::printf("  elapsed:   %s\n", duration_text(int_of(r, "elapsed_ms")).c_str());
  }
  return EXIT_OK;
}

}  // namespace

int run_test(const Settings& s, bool json) {
  std::string cfg = config_json(s);
  const char* answer = vaultrun_test_connection(cfg.c_str());
  wipe(cfg);
  JsonValue v;
  if (!accept_answer(s, answer, json, v)) return EXIT_FAILED;
  if (!json) {
    std::printf("connected to %s as %s: %s\n", printable(endpoint(s)).c_str(), printable(s.user).c_str(),
                printable(text_of(v, "server_version")).c_str());
  }
  return EXIT_OK;
}

int run_list(const Settings& s, bool json) {
  std::string cfg = config_json(s);
  const char* answer = vaultrun_list_databases(cfg.c_str());
  wipe(cfg);
  JsonValue v;
  if (!accept_answer(s, answer, json, v)) return EXIT_FAILED;
  const JsonValue* dbs = v.find("databases");
  if (!dbs || dbs->kind != JsonValue::Kind::Array) {
    print_error("unexpected listing from the library: " + printable(answer));
    return EXIT_FAILED;
  }
  if (json) return EXIT_OK;

  struct Row {
    std::string name, size, recovery;
  };
  std::vector<Row> rows;
  Row head{"NAME", "SIZE (MB)", "RECOVERY"};
  size_t w_name = display_width(head.name), w_size = display_width(head.size);
  for (const JsonValue& item : dbs->items) {
    const JsonValue* size = item.find("size_mb");
    Row r{printable(text_of(item, "name")), size ? printable(size->text) : "", printable(text_of(item, "recovery"))};
    w_name = std::max(w_name, display_width(r.name));
    w_size = std::max(w_size, display_width(r.size));
    rows.push_back(std::move(r));
  }
  if (rows.empty()) {
    std::printf("no online user databases on %s\n", printable(endpoint(s)).c_str());
    return EXIT_OK;
  }
  auto print_row = [&](const Row& r) {
    std::string line = r.name + std::string(w_name - display_width(r.name) + 2, ' ') +
                       std::string(w_size - display_width(r.size), ' ') + r.size + "  " + r.recovery;
    std::printf("%s\n", line.c_str());
  };
  print_row(head);
  for (const Row& r : rows) print_row(r);
  return EXIT_OK;
}

namespace {

using Report = int (*)(const Settings& s, bool json, const std::string& result_text, bool cancel_sent,
                       int interrupted_status);

// Starts the session the configuration describes, shows heading and then
// its progress until it ends, frees it, and lets report tell the result.
int run_session(const Settings& s, bool json, Work work, const char* noun, const std::string& heading,
                Report report) {
  std::string cfg = config_json(s);
  InterruptCatcher interrupts;

  const int32_t session = vaultrun_start(cfg.c_str());
  wipe(cfg);  // it holds the password
  if (session < 0) {
    std::string why = vaultrun_last_error();
    print_error(std::string("cannot start the ") + noun + ": " + one_line(why.empty() ? "no reason given" : why));
    return EXIT_FAILED;
  }
  if (!json) {
    std::printf("%s\n", heading.c_str());
    std::fflush(stdout);
  }

  const Watched w = watch_session(session, json, work == Work::Backup && s.verify, work, interrupts);
  std::string result_text = w.unreadable ? std::string() : vaultrun_result(session);
  // Releasing cancels a session that still runs and waits for its worker.
  vaultrun_free(session);

  const int interrupted_status = 128 + (interrupts.signal() ? interrupts.signal() : SIGINT);
  if (w.unreadable) return EXIT_FAILED;
  if (json) std::printf("%s\n", result_text.c_str());
  const int status = report(s, json, result_text, w.cancel_sent, interrupted_status);
  if (status == EXIT_OK && w.cancel_sent) {
    // The work had ended well before the cancel reached it: its result
    // stands, but the run was interrupted.
    print_error(std::string("interrupted, but the ") + noun + " had already finished");
    return interrupted_status;
  }
  return status;
}

}  // namespace

int run_backup(const Settings& s, bool json) {
  return run_session(s, json, Work::Backup, "backup",
                     "backing up " + printable(s.database) + " on " + printable(endpoint(s)) + " to " +
                         printable(s.out_path),
                     report_backup);
}

namespace {

// Where the restore's sets come from, in the words of its options.
std::string source_text(const Settings& s) {
  const RestoreOptions& r = s.restore;
  const std::string set = r.file ? *r.file : "1";
  if (!r.files.empty()) return "the sets in " + std::to_string(r.files.size()) + (r.files.size() == 1 ? " file" : " files");
  if (r.from.size() == 1) return printable(r.from[0]) + ", set " + set;
  if (!r.from.empty()) return std::to_string(r.from.size()) + " stripes from " + printable(r.from[0]) + ", set " + set;
  return "the backup history of " + printable(s.database);
}

int report_restore(const Settings& s, bool json, const std::string& result_text, bool cancel_sent,
                   int interrupted_status) {
  JsonValue r;
  if (!read_answer(result_text.c_str(), r)) return cancel_sent ? interrupted_status : EXIT_FAILED;
  const std::string target = printable(s.restore.as.value_or(s.database));
  if (!is_ok(r)) {
    if (!json) std::fputs(restore_failure_detail(r).c_str(), stdout);
    const std::string left = left_restoring(r, cancel_sent) ? "; " + target + " is left restoring" : "";
    return report_failure("restore of " + target, r, cancel_sent, interrupted_status, left);
  }
  if (!json) {
    std::fputs(restore_summary(r).c_str(), stdout);
    if (r.find("elapsed_ms")) std::printf("  elapsed:   %s\n", duration_text(int_of(r, "elapsed_ms")).c_str());
  }
  return EXIT_OK;
}

}  // namespace

int run_restore(const Settings& s, bool json) {
  return run_session(s, json, Work::Restore, "restore",
                     std::string(s.restore.dry_run ? "planning the restore of " : "restoring ") +
                         printable(s.restore.as.value_or(s.database)) + " on " + printable(endpoint(s)) + " from " +
                         source_text(s),
                     report_restore);
}

}  // namespace cli
