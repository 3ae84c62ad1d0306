#include "vaultrun/restore_test_run.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vaultrun.h"
#include "vaultrun/answers.h"
#include "vaultrun/doc_text.h"
#include "vaultrun/restore_work.h"
#include "vaultrun/statements.h"
#include "vaultrun/restore_steps.h"

namespace restore_impl {

const char* const CHECKDB_MODES[3] = {"full", "physical_only", "none"};

namespace {

// Server errors a DROP DATABASE answers that decide what was left behind.
constexpr int32_t ERR_DATABASE_IN_USE = 3702;   // an old session still holds it
constexpr int64_t DEFAULT_RECONNECT_MS = 15000;
constexpr int64_t DROP_BOUND_MS = 60000;

}  // namespace

void set_phase(backup_session* s, int32_t phase, int32_t percent, const char* message) {
  s->phase.store(phase, std::memory_order_relaxed);
  s->percent.store(percent, std::memory_order_relaxed);
  session_write_text(s, s->message, sizeof s->message, message);
}

// A server's time or create_date as style 126 writes it: digits and
// "-:T." only, so that it reads back as the same literal.
bool server_time_text(const char* text) {
  const size_t n = std::strlen(text);
  if (n < 19 || n >= SERVER_TIME_BYTES) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::strchr("0123456789-:T.", text[i]) == nullptr) return false;
  }
  return true;
}

struct claim_answer {
  bool row;
  int64_t claim;
  int64_t database_id;  // 0 when the name resolves to none
  char server[SERVER_NAME_BYTES];
  char time[SERVER_TIME_BYTES];
};

const char* on_claim_row(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* a = static_cast<claim_answer*>(ctx);
  a->row = true;
  a->claim = int_of(cell_of(meta, row, "claim"));
  a->database_id = int_of(cell_of(meta, row, "database_id"));
  utf8_copy_cut(a->server, sizeof a->server, cell_of(meta, row, "server_name"));
  utf8_copy_cut(a->time, sizeof a->time, cell_of(meta, row, "server_time"));
  return nullptr;
}

const char* on_identity_row(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* id = static_cast<copy_identity*>(ctx);
  const int64_t database_id = int_of(cell_of(meta, row, "database_id"));
  const char* created = cell_of(meta, row, "create_date");
  if (id->recorded || database_id <= 4 || database_id > INT32_MAX || !server_time_text(created)) return nullptr;
  // The name is the copy's, set by the caller before the query.
  id->database_id = static_cast<int32_t>(database_id);
  utf8_copy_cut(id->create_date, sizeof id->create_date, created);
  utf8_copy_cut(id->server, sizeof id->server, cell_of(meta, row, "server_name"));
  id->recorded = true;
  return nullptr;
}

struct gone_answer {
  bool row;
  int64_t present;
  char server[SERVER_NAME_BYTES];
};

const char* on_gone_row(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* g = static_cast<gone_answer*>(ctx);
  g->row = true;
  g->present = int_of(cell_of(meta, row, "present"));
  utf8_copy_cut(g->server, sizeof g->server, cell_of(meta, row, "server_name"));
  return nullptr;
}

void on_checkdb_error(void* ctx, int32_t number, const char* text) {
  checkdb_add(static_cast<checkdb_report*>(ctx), number, text);
}

// Whether the failure of the last statement on conn left it fit for the
// next one: the server answered (an error of its own), or a cancel whose
// ATTENTION it acknowledged.
bool fit_after_failure(const tds_conn* conn, bool cancelled) {
  return tds_stream_usable(conn) && (cancelled || conn->rx_stop == TDS_STOP_NONE);
}

// Chooses the copy's name and checks its files against every file the
// server's databases hold; false once failed (nothing sent that changes
// the server).
// Claims a name on the server, under its own comparison, and keeps the
// first that no database holds and no other session claimed: copy->name,
// server and claim time set, checked_free true. False once failed.
bool claim_copy(session_outcome* o, const backup_config* source, tds_conn* conn, restore_work* w,
                scratch_copy* copy) {
  scratch_choice choice;
  const char* why = scratch_begin(source, &choice);
  if (why != nullptr) return outcome_fail(o, why), false;
  *copy = scratch_copy{};
  bool claimed_by_other = false, too_long = choice.wanted[0] == 0;
  for (int32_t n = 1; n <= scratch_candidates(&choice) && !too_long; ++n) {
    if (!scratch_candidate(&choice, n, copy->name, sizeof copy->name)) {
      too_long = true;
      break;
    }
    if (!claim_statement(copy->name, w->sql, sizeof w->sql)) return outcome_fail(o, "statement too long"), false;
    claim_answer a{};
    if (!query(o, conn, w->sql, on_claim_row, &a)) return false;
    if (!a.row || a.server[0] == 0 || !server_time_text(a.time)) return outcome_fail(o, "the server did not answer the claim"), false;
    claimed_by_other = claimed_by_other || a.claim < 0;
    if (a.claim < 0 || a.database_id != 0) continue;
    std::memcpy(copy->server, a.server, sizeof copy->server);
    std::memcpy(copy->claimed_at, a.time, sizeof copy->claimed_at);
    copy->checked_free = true;
    return true;
  }
  char text[TDS_ERR_SIZE];
  if (too_long) {
    std::snprintf(text, sizeof text, "scratch database name too long; set scratch_database");
  } else if (choice.explicit_name) {
    std::snprintf(text, sizeof text, "%s", claimed_by_other ? "scratch database claimed by another restore test: "
                                                             : "scratch database exists: ");
    utf8_copy_cut(text + std::strlen(text), sizeof text - std::strlen(text), choice.wanted);
  } else {
    std::snprintf(text, sizeof text, "every scratch database name from ");
    utf8_copy_cut(text + std::strlen(text), sizeof text - std::strlen(text), choice.wanted);
    const size_t used = std::strlen(text);
    std::snprintf(text + used, sizeof text - used, " to _%d exists; set scratch_database", SCRATCH_CANDIDATES);
  }
  copy->name[0] = 0;
  return outcome_fail(o, text), false;
}

// Chooses the copy's name and checks its files against every file the
// server's databases hold; false once failed (nothing sent that changes
// the server).
bool plan_copy(session_outcome* o, const backup_config* source, tds_conn* conn, restore_work* w, test_run* r) {
  if (!claim_copy(o, source, conn, w, &r->copy)) return false;
  // The copy is restored from the source's backups, under its own name.
  std::memcpy(w->cfg.source_database, source->database, sizeof w->cfg.source_database);
  std::memcpy(w->cfg.database, r->copy.name, sizeof w->cfg.database);
  if (w->cfg.move == MOVE_NONE) w->cfg.move = MOVE_DEFAULT;
  if (!restore_prepare(o, conn, w)) return false;
  file_check f{&w->place.moves, ""};
  if (!query(o, conn, database_files_statement(), on_master_file_row, &f)) return false;
  if (f.clash[0] != 0) {
    char text[TDS_ERR_SIZE];
    std::snprintf(text, sizeof text, "scratch database file exists: ");
    utf8_copy_cut(text + std::strlen(text), sizeof text - std::strlen(text), f.clash);
    return outcome_fail(o, text), false;
  }
  return true;
}

struct set_name {
  int32_t position;
  bool seen;
  char database[3 * DATABASE_MAX_UNITS + 1];
};

const char* on_set_name_row(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* n = static_cast<set_name*>(ctx);
  if (n->seen || int_of(cell_of(meta, row, "Position")) != n->position) return nullptr;
  n->seen = true;
  utf8_copy_cut(n->database, sizeof n->database, cell_of(meta, row, "DatabaseName"));
  return nullptr;
}

// Whether two database names are one under the server's comparison: case
// ignored, trailing spaces ignored.
bool same_database_name(const char* a, const char* b) {
  size_t la = std::strlen(a), lb = std::strlen(b);
  while (la > 0 && a[la - 1] == ' ') --la;
  while (lb > 0 && b[lb - 1] == ' ') --lb;
  if (la != lb) return false;
  for (size_t i = 0; i < la; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// An explicit set must be a backup of the source: a test of another
// database's backup would prove nothing about the source.
bool set_is_of_source(session_outcome* o, tds_conn* conn, restore_work* w) {
  const backup_config& cfg = w->cfg;
  if (backup_target_count(&cfg) == 0 || w->plan.steps == 0) return true;
  restore_targets t{};
  for (int i = 0; i < backup_target_count(&cfg); ++i) t.path[t.count++] = backup_target(&cfg, i);
  if (!restore_headeronly_statement(&cfg, &t, w->sql, sizeof w->sql)) return outcome_fail(o, "statement too long"), false;
  set_name n{w->src.sets[w->plan.step[0].set].position, false, ""};
  if (!query(o, conn, w->sql, on_set_name_row, &n)) return false;
  if (n.seen && same_database_name(n.database, cfg.source_database)) return true;
  char text[TDS_ERR_SIZE];
  std::snprintf(text, sizeof text, "the backup set is of another database: ");
  utf8_copy_cut(text + std::strlen(text), sizeof text - std::strlen(text), n.database);
  return outcome_fail(o, text), false;
}

void note_failure(test_run* r, int32_t phase, const tds_conn* conn, backup_session* s) {
  r->failed_phase = phase;
  r->cancelled = s->cancel.load(std::memory_order_acquire) != 0 && std::strcmp(conn->err, "cancelled") == 0;
  utf8_copy_cut(r->error, sizeof r->error, conn->err);
}

// Errors a first RESTORE answers when the name held another database: the
// copy was never created.
bool refused_onto_other(int32_t number) { return number == 3154 || number == 3159 || number == 1801; }

// Whether the copy is still there by its identity, after a drop on conn:
// sets dropped, gone or left_behind. On another server, nothing is judged.
void confirm_gone(tds_conn* conn, test_run* r, bool drop_ran) {
  gone_answer g{};
  char sql[2 * (sizeof r->id) + 512];
  if (!gone_statement(&r->id, sql, sizeof sql) || tds_exec_rows(conn, sql, on_gone_row, &g) < 0 || !g.row) {
    if (r->drop_error[0] == 0) utf8_copy_cut(r->drop_error, sizeof r->drop_error, conn->err);
    return;
  }
  utf8_copy_cut(r->answered_by, sizeof r->answered_by, g.server);
  if (g.present < 0) {
    std::snprintf(r->drop_error, sizeof r->drop_error, "the connection reached another server: ");
    utf8_copy_cut(r->drop_error + std::strlen(r->drop_error), sizeof r->drop_error - std::strlen(r->drop_error),
                  g.server);
  } else if (g.present == 0) {
    r->left_behind = false;
    r->dropped = drop_ran;
    r->gone = !drop_ran;
  } else if (r->drop_error[0] == 0) {
    utf8_copy_cut(r->drop_error, sizeof r->drop_error, "still present after DROP DATABASE");
  }
}

// Drops the copy on conn by its recorded identity, which the server checks
// again just before the drop, bounded in time, not cancellable: a copy is
// never left behind because the host stopped waiting. Retries a copy still
// held by the session that broke, within the bound. Counts a drop only
// once the server confirms the copy is gone.
void drop_on(tds_conn* conn, restore_work* w, test_run* r, int64_t deadline) {
  conn->cancel_flag = nullptr;
  conn->error_cb = nullptr;
  if (!r->id.recorded) {
    // Not read after the first RESTORE: a database of the name created
    // since the claim is the copy.
    std::memcpy(r->id.name, r->copy.name, sizeof r->id.name);
    if (!identity_statement(&r->copy, w->sql, sizeof w->sql)) {
      utf8_copy_cut(r->drop_error, sizeof r->drop_error, "statement too long");
      return;
    }
    if (tds_exec_rows(conn, w->sql, on_identity_row, &r->id) < 0) {
      utf8_copy_cut(r->drop_error, sizeof r->drop_error, conn->err);
      return;
    }
    if (r->id.recorded && std::strcmp(r->id.server, r->copy.server) != 0) {
      r->id.recorded = false;
      std::snprintf(r->drop_error, sizeof r->drop_error, "the connection reached another server");
      return;
    }
    if (!r->id.recorded) {
      r->not_created = true;  // no database of the name was created since the claim
      r->left_behind = false;
      return;
    }
  }
  if (!drop_statement(&r->id, w->sql, sizeof w->sql)) {
    utf8_copy_cut(r->drop_error, sizeof r->drop_error, "statement too long");
    return;
  }
  for (;;) {
    conn->query_timeout_ms = deadline - plat_mono_ms();
    if (conn->query_timeout_ms <= 0) conn->query_timeout_ms = 1;
    if (tds_exec(conn, w->sql, nullptr, nullptr, 0) >= 0) return confirm_gone(conn, r, true);
    const bool answered = conn->rx_stop == TDS_STOP_NONE;
    if (answered && conn->err_number == ERR_NOT_THE_COPY) return confirm_gone(conn, r, false);
    utf8_copy_cut(r->drop_error, sizeof r->drop_error, conn->err);
    if (!answered || conn->err_number != ERR_DATABASE_IN_USE || plat_mono_ms() + 1000 >= deadline) return;
    plat_wait_readable(conn->sock, 500);  // a pause: nothing is due on it
  }
}

// Drops the copy once a RESTORE into it went out and created it: on conn
// when it is still fit, else through a new connection with the same
// configuration, which drops only on the server that has the copy.
void drop_copy(backup_session* s, tds_conn* conn, bool conn_fit, restore_work* w, test_run* r, const char* password) {
  if (!r->copy.restore_sent) return;
  if (r->not_created) return;
  const int64_t started = plat_mono_ms();
  set_phase(s, PHASE_DROP, 98, "drop: DROP DATABASE");
  r->left_behind = true;
  r->drop_error[0] = 0;
  if (conn_fit) drop_on(conn, w, r, plat_mono_ms() + DROP_BOUND_MS);
  if (r->left_behind && (!conn_fit || !fit_after_failure(conn, false))) {
    tds_close(conn);
    tds_conn fresh;
    tds_connect_opts opts = config_connect_opts(&w->cfg, nullptr);
    if (opts.timeout_ms <= 0) opts.timeout_ms = DEFAULT_RECONNECT_MS;
    r->drop_error[0] = 0;
    if (tds_connect(&fresh, w->cfg.host, w->cfg.port, w->cfg.user, password, nullptr, &opts) != 0) {
      utf8_copy_cut(r->drop_error, sizeof r->drop_error, fresh.err);
    } else {
      drop_on(&fresh, w, r, plat_mono_ms() + DROP_BOUND_MS);
      tds_close(&fresh);
    }
  }
  r->drop_ms = plat_mono_ms() - started;
}

// The copy's identity, read once its first RESTORE was accepted, on the
// connection that holds the claim.
void record_identity(tds_conn* conn, restore_work* w, test_run* r) {
  if (!identity_statement(&r->copy, w->sql, sizeof w->sql)) return;
  std::memcpy(r->id.name, r->copy.name, sizeof r->id.name);
  if (tds_exec_rows(conn, w->sql, on_identity_row, &r->id) < 0) return;
  if (r->id.recorded && std::strcmp(r->id.server, r->copy.server) != 0) r->id.recorded = false;
}

// The check of the copy: clean, damaged (a corruption message, kept even
// when the connection broke after it), or failed with the server's text.
// Returns whether conn is fit for the drop.
bool check_copy(backup_session* s, tds_conn* conn, restore_work* w, test_run* r) {
  const int64_t check_start = plat_mono_ms();
  set_phase(s, PHASE_CHECK, 80, "check: DBCC CHECKDB");
  s->steps.store(0, std::memory_order_relaxed);
  conn->error_cb = on_checkdb_error;
  conn->error_ctx = &r->report;
  int rc = -1;
  if (!checkdb_statement(&r->copy, w->cfg.checkdb, w->sql, sizeof w->sql)) unbuilt(conn);
  else rc = tds_exec(conn, w->sql, nullptr, nullptr, 0);
  conn->error_cb = nullptr;
  r->check_ms = plat_mono_ms() - check_start;
  if (rc >= 0) return r->checked = true;
  bool fit = true;
  if (conn->rx_stop == TDS_STOP_NONE) {
    if (r->report.count == 0) checkdb_add(&r->report, conn->err_number, conn->err);
    r->failed_phase = PHASE_CHECK;
    checkdb_join(&r->report, r->error, sizeof r->error);
  } else {
    note_failure(r, PHASE_CHECK, conn, s);
    fit = fit_after_failure(conn, r->cancelled);
  }
  // Damage only from what the check reported as such; anything else is a
  // check that could not run.
  r->damaged = checkdb_damage(&r->report);
  r->checked = r->damaged;
  r->check_failed = !r->damaged;
  if (r->damaged && conn->rx_stop != TDS_STOP_NONE) checkdb_join(&r->report, r->error, sizeof r->error);
  return fit;
}

// Restores, checks and drops; every outcome is left in r.
void test_copy(backup_session* s, tds_conn* conn, restore_work* w, test_run* r, const char* password) {
  const int64_t started = plat_mono_ms();
  set_phase(s, PHASE_RESTORE, 0, "restore: RESTORE DATABASE");
  r->copy.restore_sent = true;
  r->steps_done = restore_steps(s, conn, w);
  r->restored = r->steps_done == w->plan.steps + 1;
  r->restore_ms = plat_mono_ms() - started;
  bool fit = true;
  if (!r->restored) {
    note_failure(r, PHASE_RESTORE, conn, s);
    fit = fit_after_failure(conn, r->cancelled);
    // The name held a database the server would not restore over: it is
    // not the copy, and nothing is dropped.
    if (r->steps_done == 0 && fit && !r->cancelled && refused_onto_other(conn->err_number)) r->not_created = true;
  }
  if (fit && !r->not_created) record_identity(conn, w, r);
  if (r->restored && w->cfg.checkdb == CHECKDB_NONE) {
    r->checked = true;
  } else if (r->restored) {
    fit = check_copy(s, conn, w, r);
  }
  drop_copy(s, conn, fit, w, r, password);
}

}  // namespace restore_impl

using namespace restore_impl;

session_outcome run_restore_test(backup_session* s, tds_conn* conn, const char* password) {
  session_outcome o = outcome_begin();
  restore_work* w = work_new(&s->cfg);
  auto* r = static_cast<test_run*>(std::calloc(1, sizeof(test_run)));
  if (w == nullptr || r == nullptr) {
    outcome_fail(&o, "out of memory");
  } else if (plan_copy(&o, &s->cfg, conn, w, r) && set_is_of_source(&o, conn, w)) {
    if (w->cfg.dry_run) {
      report_test_plan(&o, w, r);
    } else {
      test_copy(s, conn, w, r, password);
      report_test(s, &o, w, r);
    }
  }
  std::free(r);
  work_free(w);
  return o;
}
