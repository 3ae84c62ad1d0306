#include "vaultrun/restore_steps.h"

#include <cstring>

#include "vaultrun.h"
#include "vaultrun/answers.h"
#include "vaultrun/doc_text.h"
#include "vaultrun/restore_work.h"
#include "vaultrun/statements.h"

namespace restore_impl {

// The statement of plan step k into w->sql.
bool step_statement(restore_work* w, int32_t k) {
  const plan_step& st = w->plan.step[k];
  restore_targets t;
  targets_of(w, st.set, &t);
  const restore_step_kind kind = st.type == SET_FULL ? STEP_FULL : st.type == SET_DIFFERENTIAL ? STEP_DIFFERENTIAL
                                                                                               : STEP_LOG;
  return restore_step_statement(&w->cfg, kind, &t, w->src.sets[st.set].position, k == 0 ? &w->place.moves : nullptr,
                                st.stop_at != 0, w->sql, sizeof w->sql);
}

// A restore's share of the progress: all of it, or the first 80 percent in
// a restore test, where the check and the drop follow.
int32_t phase_percent(backup_session* s, int32_t percent) {
  return s->phase.load(std::memory_order_relaxed) == PHASE_RESTORE ? percent * 80 / 100 : percent;
}

// Step k (from 0) starts: the share of the steps before it is done.
void start_step(backup_session* s, int32_t k, int32_t kind) {
  s->step_type.store(kind, std::memory_order_relaxed);
  s->step.store(k + 1, std::memory_order_relaxed);
  const int32_t steps = s->steps.load(std::memory_order_relaxed);
  if (steps > 0) s->percent.store(phase_percent(s, k * 100 / steps), std::memory_order_relaxed);
}

// Reads the sources and plans: the steps, the moves and every statement,
// before anything that changes the server is sent. False once failed.
bool restore_prepare(session_outcome* o, tds_conn* conn, restore_work* w) {
  const backup_config& cfg = w->cfg;
  const bool explicit_set = backup_target_count(&cfg) > 0;
  if (explicit_set) {
    restore_targets t{};
    for (int i = 0; i < backup_target_count(&cfg); ++i) t.path[t.count++] = backup_target(&cfg, i);
    if (!read_headers(o, conn, w, &t, nullptr, 0)) return false;
    if (plan_single(w->src.sets, w->src.nsets, cfg.file > 0 ? cfg.file : 1, cfg.stop_at, &w->plan) != 0)
      return outcome_fail(o, w->plan.refusal), false;
  } else {
    if (cfg.backup_file_count > 0 ? !read_backup_files(o, conn, w) : !read_history(o, conn, w)) return false;
    if (plan_restore(w->src.sets, w->src.nsets, cfg.stop_at, &w->plan) != 0) return outcome_fail(o, w->plan.refusal), false;
  }
  if (!plan_moves(o, conn, w) || !derived_paths_own(o, conn, w)) return false;
  // Every statement must be buildable before the first is sent.
  for (int32_t k = 0; k < w->plan.steps; ++k) {
    if (!step_statement(w, k)) return outcome_fail(o, "statement too long"), false;
  }
  if (cfg.recovery && !restore_recovery_statement(&cfg, w->sql, sizeof w->sql))
    return outcome_fail(o, "statement too long"), false;
  return true;
}

// A statement that could not be built fails where it would have gone out:
// nothing is sent (the buffer still holds the one before), and the cause
// reads as the connection's own.
void unbuilt(tds_conn* conn) {
  tds_set_err(conn, "statement too long");
  conn->err_number = 0;
}

// Runs the planned steps and the recovery. Returns the steps completed;
// all of them (plan steps, and the recovery when asked) on success.
int32_t restore_steps(backup_session* s, tds_conn* conn, restore_work* w) {
  const backup_config& cfg = w->cfg;
  const int32_t steps = w->plan.steps + (cfg.recovery ? 1 : 0);
  s->steps.store(steps, std::memory_order_relaxed);
  for (int32_t k = 0; k < w->plan.steps; ++k) {
    const uint8_t type = w->plan.step[k].type;
    start_step(s, k, type == SET_FULL ? PROGRESS_FULL : type == SET_DIFFERENTIAL ? PROGRESS_DIFFERENTIAL
                                                                                 : PROGRESS_LOG);
    if (!step_statement(w, k)) return unbuilt(conn), k;
    if (tds_exec(conn, w->sql, nullptr, nullptr, 0) < 0) return k;
  }
  if (cfg.recovery) {
    start_step(s, w->plan.steps, PROGRESS_RECOVERY);
    if (!restore_recovery_statement(&cfg, w->sql, sizeof w->sql)) return unbuilt(conn), w->plan.steps;
    if (tds_exec(conn, w->sql, nullptr, nullptr, 0) < 0) return w->plan.steps;
  }
  return steps;
}

// Plans and runs; the caller frees w.
void restore_with(backup_session* s, session_outcome* o, tds_conn* conn, restore_work* w) {
  if (!restore_prepare(o, conn, w)) return;
  if (w->cfg.dry_run) return report_plan(o, w);
  const int32_t done = restore_steps(s, conn, w);
  if (done < w->plan.steps + (w->cfg.recovery ? 1 : 0)) return report_failure(o, w, done, conn->err);
  s->percent.store(100, std::memory_order_relaxed);
  report_done(o, w, s->start_ms);
}

}  // namespace restore_impl

using namespace restore_impl;

const char* restore_progress_name(int32_t kind) {
  static const char* const NAMES[] = {"full", "differential", "log", "recovery"};
  return kind >= 0 && kind <= PROGRESS_RECOVERY ? NAMES[kind] : "full";
}

session_outcome run_restore(backup_session* s, tds_conn* conn) {
  session_outcome o = outcome_begin();
  restore_work* w = work_new(&s->cfg);
  if (w == nullptr) outcome_fail(&o, "out of memory");
  else restore_with(s, &o, conn, w);
  work_free(w);
  return o;
}
