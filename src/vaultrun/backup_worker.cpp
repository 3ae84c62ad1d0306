#include "vaultrun/backup_worker.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tds_client/tds_client.h"
#include "vaultrun.h"
#include "vaultrun/doc_text.h"
#include "vaultrun/backup_proof.h"
#include "vaultrun/cleanup_run.h"
#include "vaultrun/restore_steps.h"
#include "vaultrun/restore_test_run.h"
#include "vaultrun/secret.h"
#include "vaultrun/session_outcome.h"
#include "vaultrun/statements.h"

namespace {

// Informational messages of a backup and its verification that carry progress.
constexpr int32_t MSG_PERCENT_PROCESSED = 3211;  // "N percent processed."
constexpr int32_t MSG_BACKUP_PAGES = 3014;       // "BACKUP DATABASE successfully processed P pages ..."
constexpr int32_t MSG_FILE_PAGES = 4035;         // "Processed P pages for database ..."

void publish_elapsed(backup_session* s, std::memory_order order) {
  s->elapsed_ms.store(plat_mono_ms() - s->start_ms, order);
}

// The percentage of "N percent processed.", read as a leading decimal
// number; 0 when it is not one of 1 to 100.
int32_t percent_of(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = *p++ == '-';
  int64_t v = 0;
  for (; *p >= '0' && *p <= '9' && v <= 1000; ++p) v = v * 10 + (*p - '0');
  return !neg && v >= 1 && v <= 100 ? static_cast<int32_t>(v) : 0;
}

// The first number in the text (the page count), stopped short of
// overflow; 0 when there is none.
int64_t first_number(const char* text) {
  const char* p = text;
  while (*p && !(*p >= '0' && *p <= '9')) ++p;
  int64_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (v > (INT64_MAX - 9) / 10) break;
    v = v * 10 + (*p - '0');
  }
  return v;
}

// Slack on the window of the history query, on top of the time the backup
// took on this side: the server's clock reads its history in whole steps.
constexpr int64_t HISTORY_SLACK_S = 2;

const char NO_BACKUP_SET[] = "cannot find the backup set just written in the server's backup history";
const char BAD_POSITION[] = "the server's backup history gave no usable position for the backup set";
const char POSITIONS_DISAGREE[] =
    "the backup history and the server's messages disagree on the backup set's position";
const char LATER_SET[] =
    "another backup set of the database finished on the same device meanwhile, and the server did not name the "
    "set just written";

// Errors of a login that may back up but not read msdb's history.
constexpr int32_t ERR_SELECT_DENIED = 229;  // "The SELECT permission was denied on the object ..."
constexpr int32_t ERR_COLUMN_DENIED = 230;  // the same for a column
constexpr int32_t ERR_DB_ACCESS = 916;      // "... not able to access the database 'msdb' ..."

bool history_refused(int32_t number) {
  return number == ERR_SELECT_DENIED || number == ERR_COLUMN_DENIED || number == ERR_DB_ACCESS;
}

// The position that ends "Processed N pages for database 'D', file 'F' on
// file P.", read after the last " on file " so that no name can stand in
// for it; 0 when the text does not end that way.
int32_t reported_position_of(const char* text) {
  static const char KEY[] = " on file ";
  const char* at = nullptr;
  for (const char* p = std::strstr(text, KEY); p != nullptr; p = std::strstr(p + 1, KEY)) at = p;
  if (at == nullptr) return 0;
  const char* digits = at + sizeof KEY - 1;
  const char* p = digits;
  int64_t v = 0;
  for (; *p >= '0' && *p <= '9' && v <= INT32_MAX; ++p) v = v * 10 + (*p - '0');
  const bool whole = p != digits && p[0] == '.' && p[1] == 0;
  return whole && v >= 1 && v <= INT32_MAX ? static_cast<int32_t>(v) : 0;
}

// A position as the server renders an int cell: 1 to INT32_MAX, else 0.
int32_t position_of(const char* cell) {
  int64_t v = 0;
  const char* p = cell;
  for (; *p >= '0' && *p <= '9' && v <= INT32_MAX; ++p) v = v * 10 + (*p - '0');
  return *p == 0 && p != cell && v >= 1 && v <= INT32_MAX ? static_cast<int32_t>(v) : 0;
}

// The history's answer: the newest set's position (0 when its cell is no
// position) and how many sets the window holds, up to the two asked for.
struct history_sets {
  int32_t newest;
  int32_t count;
};

const char* on_history_set(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* h = static_cast<history_sets*>(ctx);
  if (h->count++ == 0) h->newest = meta->ncols == 1 && !row->is_null[0] ? position_of(row->cells[0]) : 0;
  return nullptr;
}

// Finds the position of the backup set this session wrote, from the
// server's history of sets that finished since the backup was sent
// (sent_ms, the monotonic clock), so that an older set in the same media
// is never verified in its place. A login refused the history, or a history
// that has no row (a clock step, a device name longer than it keeps), falls
// back on the position the backup's own messages reported (0: none); when
// both are known they must agree. Another backup of the database may have
// finished on the same device in the window: the newest set is then not
// surely this one, and without a reported position to check it against,
// nothing is verified. sql is the caller's statement buffer.
// 0 and the position, or -1 once o has failed.
int find_backup_set(backup_session* s, session_outcome* o, tds_conn* conn, int64_t sent_ms, char* sql,
                    int32_t* file) {
  // Messages that disagreed among themselves (-1) vouch for nothing.
  const int32_t reported = s->reported_position > 0 ? s->reported_position : 0;
  const int64_t seconds = (plat_mono_ms() - sent_ms) / 1000 + HISTORY_SLACK_S;
  if (!history_statement(&s->cfg, seconds, sql, STATEMENT_CAP)) return outcome_fail(o, "statement too long"), -1;
  history_sets h{0, 0};
  const int rows = tds_exec_rows(conn, sql, on_history_set, &h);
  if (rows < 0 && !(reported > 0 && history_refused(conn->err_number))) return outcome_fail(o, conn->err), -1;
  if (rows <= 0) {
    if (reported == 0) return outcome_fail(o, NO_BACKUP_SET), -1;
    *file = reported;
    return 0;
  }
  *file = h.newest;
  if (*file == 0) return outcome_fail(o, BAD_POSITION), -1;
  if (reported > 0 && reported != *file) return outcome_fail(o, POSITIONS_DISAGREE), -1;
  if (reported == 0 && h.count > 1) return outcome_fail(o, LATER_SET), -1;
  return 0;
}

const char* const KIND_NAMES[] = {"full", "differential", "log"};

// The members a configuration with the backup kinds' keys adds to the
// backup's document: the kind, the verified set's position (null when not
// verified) and, for striped targets, their number.
void kind_members(doc_text* d, const backup_session* s) {
  const backup_config& cfg = s->cfg;
  if (!cfg.extended) return;
  doc_member(d, "type", KIND_NAMES[cfg.type >= BACKUP_FULL && cfg.type <= BACKUP_LOG ? cfg.type : 0]);
  const int32_t file = s->position.load(std::memory_order_relaxed);
  if (file > 0) doc_number(d, "position", file);
  else doc_raw(d, ",\"position\":null");
  if (cfg.stripe_count > 0) doc_number(d, "stripes", cfg.stripe_count);
}

// The backup's own members; out_path names the first target.
void backup_members(doc_text* d, const backup_session* s) {
  doc_member(d, "out_path", backup_target(&s->cfg, 0));
  doc_raw(d, s->verified.load(std::memory_order_relaxed) ? ",\"verified\":true" : ",\"verified\":false");
  doc_number(d, "pages", s->pages.load(std::memory_order_relaxed));
  doc_number(d, "elapsed_ms", plat_mono_ms() - s->start_ms);
  kind_members(d, s);
}

// The backup proved by a restore test of the set at position: verified
// when it passed, failed with the test's cause when not, and the test's
// members after the backup's own either way.
void prove_written(backup_session* s, tds_conn* conn, int32_t position, const char* password, session_outcome* o) {
  backup_proof proof{};
  if (!prove_backup(s, conn, position, password, &proof)) return outcome_fail(o, "out of memory");
  if (proof.cause[0] == 0) {
    s->verified.store(1, std::memory_order_relaxed);
    s->percent.store(100, std::memory_order_relaxed);
  } else {
    char error[sizeof proof.cause + 32] = "restore test failed: ";
    utf8_copy_cut(error + std::strlen(error), sizeof error - std::strlen(error), proof.cause);
    outcome_fail(o, error);
  }
  backup_members(&o->members, s);
  doc_put(&o->members, proof.members.p, proof.members.len);
  o->members.failed = o->members.failed || proof.members.failed;
  std::free(proof.members.p);
}

// Runs the backup and, when asked, its verification of the backup set just
// written on a logged-in connection.
void run_backup(backup_session* s, tds_conn* conn, const char* password, session_outcome* o) {
  const backup_config& cfg = s->cfg;
  char sql[STATEMENT_CAP];
  if (!backup_statement(&cfg, sql, sizeof sql)) return outcome_fail(o, "statement too long");
  const int64_t sent_ms = plat_mono_ms();
  if (tds_exec(conn, sql, nullptr, nullptr, 0) < 0) return outcome_fail(o, conn->err);
  s->percent.store(100, std::memory_order_relaxed);
  if (cfg.verify) {
    int32_t file = 0;
    if (find_backup_set(s, o, conn, sent_ms, sql, &file) != 0) return;
    s->position.store(file, std::memory_order_relaxed);
    if (cfg.verify == VERIFY_RESTORE) return prove_written(s, conn, file, password, o);
    if (!verify_statement(&cfg, file, sql, sizeof sql)) return outcome_fail(o, "statement too long");
    if (tds_exec(conn, sql, nullptr, nullptr, 0) < 0) return outcome_fail(o, conn->err);
    s->verified.store(1, std::memory_order_relaxed);
  }
  backup_members(&o->members, s);
}

// Runs the operation the slot's configuration names (a backup, a restore
// a restore test or a cleanup) on a logged-in connection and returns its outcome.
session_outcome run_operation(backup_session* s, tds_conn* conn, const char* password) {
  const int32_t operation = s->cfg.operation;
  if (operation == OPERATION_RESTORE) return run_restore(s, conn);
  if (operation == OPERATION_RESTORE_TEST) return run_restore_test(s, conn, password);
  if (operation == OPERATION_CLEANUP) return run_cleanup(s, conn);
  session_outcome o = outcome_begin();
  run_backup(s, conn, password, &o);
  return o;
}

}  // namespace

void on_info_cb(void* ctx, int32_t number, const char* text) {
  auto* s = static_cast<backup_session*>(ctx);
  const int32_t phase = s->phase.load(std::memory_order_relaxed);
  if (number == MSG_PERCENT_PROCESSED && (phase == PHASE_NONE || phase == PHASE_RESTORE)) {
    int32_t percent = percent_of(text);
    // A restore's percent runs over its whole plan: each step its share.
    const int32_t steps = s->steps.load(std::memory_order_relaxed);
    const int32_t step = s->step.load(std::memory_order_relaxed);
    if (steps > 0 && step >= 1 && step <= steps) percent = ((step - 1) * 100 + percent) / steps;
    // A restore test's restore is the first 80 percent of its work.
    if (phase == PHASE_RESTORE) percent = percent * 80 / 100;
    if (percent > 0) s->percent.store(percent, std::memory_order_relaxed);
  } else if (number == MSG_BACKUP_PAGES || number == MSG_FILE_PAGES) {
    const int64_t pages = first_number(text);
    if (pages > 0) s->pages.store(pages, std::memory_order_relaxed);
  }
  if (number == MSG_FILE_PAGES) {
    // One message for each file of the database, each naming the same set.
    const int32_t at = reported_position_of(text);
    const int32_t had = s->reported_position;
    if (at > 0) s->reported_position = had == 0 || had == at ? at : -1;
  }
  if (phase == PHASE_NONE) {
    session_write_text(s, s->message, sizeof s->message, text);
  } else {
    // A restore test's messages name the phase they belong to.
    char named[sizeof s->message];
    std::snprintf(named, sizeof named, "%s: %s", session_phase_name(phase), text);
    session_write_text(s, s->message, sizeof s->message, named);
  }
  publish_elapsed(s, std::memory_order_release);
}

int backup_worker(void* slot) {
  auto* s = static_cast<backup_session*>(slot);
  backup_config& cfg = s->cfg;
  s->start_ms = plat_mono_ms();

  tds_conn conn;
  // The login is cancellable and, when the host asked, bounded in time.
  const tds_connect_opts opts = config_connect_opts(&cfg, &s->cancel);
  const int login = tds_connect(&conn, cfg.host, cfg.port, cfg.user, cfg.password, nullptr, &opts);
  // A restore test may need a second login to drop its copy after the
  // connection broke: it keeps the password on this stack until it ends.
  char password[sizeof cfg.password] = "";
  if (login == 0 && runs_restore_test(&cfg)) std::memcpy(password, cfg.password, sizeof password);
  // The login has gone out (or never will): the slot needs the password no more.
  wipe_secret(cfg.password, sizeof cfg.password);
  if (login != 0) {
    session_outcome o = outcome_begin();
    outcome_fail(&o, conn.err);
    publish_outcome(s, &o);
  } else {
    conn.cancel_flag = &s->cancel;
    conn.info_cb = on_info_cb;
    conn.info_ctx = s;
    s->state.store(VAULTRUN_SESSION_RUNNING, std::memory_order_release);
    session_outcome o = run_operation(s, &conn, password);
    publish_outcome(s, &o);
    tds_close(&conn);
  }
  wipe_secret(password, sizeof password);
  publish_elapsed(s, std::memory_order_release);
  return 0;
}
