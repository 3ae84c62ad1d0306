// The result documents' members of a restore and a restore test: the
// steps, the sets passed over, the copy's check and drop.
#include <cstdio>
#include <cstring>

#include "vaultrun.h"
#include "vaultrun/answers.h"
#include "vaultrun/doc_text.h"
#include "vaultrun/restore_work.h"
#include "vaultrun/statements.h"
#include "vaultrun/restore_test_run.h"

namespace restore_impl {

const char* step_type_name(uint8_t type) {
  return type == SET_FULL ? "full" : type == SET_DIFFERENTIAL ? "differential" : "log";
}

void doc_steps(doc_text* d, restore_work* w, const char* name, int32_t done, bool statements,
               bool close) {
  doc_raw(d, ",\"");
  doc_raw(d, name);
  doc_raw(d, "\":[");
  for (int32_t k = 0; k < done; ++k) {
    const plan_step& st = w->plan.step[k];
    const plan_set& set = w->src.sets[st.set];
    restore_targets t;
    targets_of(w, st.set, &t);
    doc_raw(d, k == 0 ? "{\"type\":" : ",{\"type\":");
    doc_string(d, step_type_name(st.type));
    doc_member(d, "target", t.count > 0 ? t.path[0] : "");
    doc_number(d, "position", set.position);
    doc_member(d, "finished", set.finish);
    if (statements) {
      if (!step_statement(w, k)) d->failed = true;
      else doc_member(d, "statement", w->sql);
    }
    doc_raw(d, "}");
  }
  if (statements && w->cfg.recovery && restore_recovery_statement(&w->cfg, w->sql, sizeof w->sql)) {
    doc_raw(d, done > 0 ? ",{\"type\":\"recovery\"" : "{\"type\":\"recovery\"");
    doc_member(d, "statement", w->sql);
    doc_raw(d, "}");
  }
  if (close) doc_raw(d, "]");
}

void doc_names(doc_text* d, restore_work* w) {
  doc_member(d, "database", w->cfg.database);
  doc_member(d, "source_database", restore_source(&w->cfg));
}

// The fulls and differentials the plan passed over, and why; no member
// when there were none.
void doc_passed_over(doc_text* d, restore_work* w) {
  const restore_plan& plan = w->plan;
  if (plan.passed == 0 && w->src.nunread == 0) return;
  doc_raw(d, ",\"passed_over\":[");
  for (int32_t k = 0; k < w->src.nunread; ++k) {
    doc_raw(d, k == 0 ? "{\"type\":null" : ",{\"type\":null");
    doc_member(d, "target", w->src.names + w->src.unread[k].at);
    doc_raw(d, ",\"position\":null,\"finished\":null");
    doc_member(d, "reason", w->src.unread[k].missing_families ? "its media set is missing families"
                                                         : "its header cannot be read");
    doc_raw(d, "}");
  }
  for (int32_t k = 0; k < plan.passed; ++k) {
    const plan_set& set = w->src.sets[plan.pass[k].set];
    restore_targets t;
    targets_of(w, plan.pass[k].set, &t);
    doc_raw(d, k + w->src.nunread == 0 ? "{\"type\":" : ",{\"type\":");
    doc_string(d, step_type_name(set.type));
    doc_member(d, "target", t.count > 0 ? t.path[0] : "");
    doc_number(d, "position", set.position);
    doc_member(d, "finished", set.finish);
    doc_member(d, "reason", plan.pass[k].reason == PASS_MISSING_FAMILIES ? "its media set is missing families"
                                                                          : "its header cannot be read");
    doc_raw(d, "}");
  }
  doc_raw(d, "]");
}

void doc_stop_at(doc_text* d, restore_work* w) {
  if (w->cfg.stop_at[0] != 0) doc_member(d, "stop_at", w->cfg.stop_at);
  else doc_raw(d, ",\"stop_at\":null");
}

// The failure after a RESTORE was sent: the server's cause, the steps that
// completed, and that the database was not recovered (it is left
// restoring).
void report_failure(session_outcome* o, restore_work* w, int32_t done, const char* error) {
  outcome_fail(o, error);
  doc_text* d = &o->members;
  doc_member(d, "database", w->cfg.database);
  doc_steps(d, w, "restored", done, false);
  doc_raw(d, ",\"recovered\":false");
}

void report_plan(session_outcome* o, restore_work* w) {
  doc_text* d = &o->members;
  doc_raw(d, ",\"dry_run\":true");
  doc_names(d, w);
  doc_steps(d, w, "plan", w->plan.steps, true);
  doc_passed_over(d, w);
  doc_stop_at(d, w);
  doc_raw(d, w->cfg.recovery ? ",\"recovered\":true" : ",\"recovered\":false");
}

void report_done(session_outcome* o, restore_work* w, int64_t start_ms) {
  doc_text* d = &o->members;
  doc_names(d, w);
  doc_steps(d, w, "restored", w->plan.steps, false);
  doc_passed_over(d, w);
  doc_stop_at(d, w);
  doc_raw(d, w->cfg.recovery ? ",\"recovered\":true" : ",\"recovered\":false");
  doc_number(d, "elapsed_ms", plat_mono_ms() - start_ms);
}

// What became of the copy, in one word.
const char* copy_outcome(const test_run* r) {
  if (r->not_created) return "not_created";
  if (r->dropped) return "dropped";
  if (r->gone) return "gone";
  return r->left_behind ? "left_behind" : "none";
}

// The restore test's members after "ok" (and "error"): everything but the
// operation, so that a backup can carry them too.
void doc_test_members(doc_text* d, restore_work* w, const test_run* r) {
  doc_member(d, "database", w->cfg.source_database);
  doc_member(d, "scratch_database", r->copy.name);
  doc_steps(d, w, "restored", r->steps_done < w->plan.steps ? r->steps_done : w->plan.steps, false);
  doc_stop_at(d, w);
  doc_raw(d, r->restored ? ",\"recovered\":true" : ",\"recovered\":false");
  doc_raw(d, r->checked ? ",\"restore_tested\":true" : ",\"restore_tested\":false");
  if (r->checked) {
    doc_member(d, "checkdb", w->cfg.checkdb == CHECKDB_NONE ? "none" : r->damaged ? "damaged" : "clean");
  } else if (r->check_failed) {
    doc_member(d, "checkdb", "failed");
  }
  doc_member(d, "checkdb_mode", CHECKDB_MODES[w->cfg.checkdb]);
  if (r->damaged || r->check_failed) {
    doc_raw(d, ",\"checkdb_errors\":[");
    const int32_t kept = r->report.count < CHECKDB_ERRORS_KEPT ? r->report.count : CHECKDB_ERRORS_KEPT;
    for (int32_t i = 0; i < kept; ++i) {
      char head[40];
      std::snprintf(head, sizeof head, "%s{\"number\":%d", i == 0 ? "" : ",", r->report.number[i]);
      doc_raw(d, head);
      doc_member(d, "text", r->report.text[i]);
      doc_raw(d, "}");
    }
    doc_raw(d, "]");
    doc_number(d, "checkdb_error_count", r->report.count);
  }
  if (r->failed_phase != PHASE_NONE) doc_member(d, "failed_phase", session_phase_name(r->failed_phase));
  if (r->failed_phase == PHASE_RESTORE && !r->cancelled) {
    const int32_t k = r->steps_done;
    doc_raw(d, ",\"failed_step\":{\"step\":");
    char num[16];
    std::snprintf(num, sizeof num, "%d", k + 1);
    doc_raw(d, num);
    doc_member(d, "type", k < w->plan.steps ? step_type_name(w->plan.step[k].type) : "recovery");
    doc_raw(d, "}");
  }
  doc_raw(d, r->dropped ? ",\"dropped\":true" : ",\"dropped\":false");
  doc_raw(d, r->left_behind ? ",\"left_behind\":true" : ",\"left_behind\":false");
  if (r->copy.restore_sent) doc_member(d, "copy", copy_outcome(r));
  if (r->copy.server[0] != 0) doc_member(d, "server", r->copy.server);
  char phases[160];
  std::snprintf(phases, sizeof phases, ",\"phases\":{\"restore_ms\":%lld,\"check_ms\":%lld,\"drop_ms\":%lld}",
                static_cast<long long>(r->restore_ms), static_cast<long long>(r->check_ms),
                static_cast<long long>(r->drop_ms));
  doc_raw(d, phases);
}

// The outcome's error: the first failure ("cancelled" for a cancel), and
// a copy left behind named after it. "" on success.
void test_error(const test_run* r, char* out, size_t cap) {
  out[0] = 0;
  if (r->failed_phase != PHASE_NONE) utf8_copy_cut(out, cap, r->cancelled ? "cancelled" : r->error);
  if (!r->left_behind && !r->gone) return;
  size_t len = std::strlen(out);
  std::snprintf(out + len, cap - len, "%sscratch database ", len > 0 ? "; " : "");
  len = std::strlen(out);
  utf8_copy_cut(out + len, cap - len, r->copy.name);
  len = std::strlen(out);
  std::snprintf(out + len, cap - len, " on server ");
  len = std::strlen(out);
  utf8_copy_cut(out + len, cap - len, r->copy.server);
  len = std::strlen(out);
  if (r->gone) {
    std::snprintf(out + len, cap - len, " was gone before the drop: removed or replaced by another hand");
    return;
  }
  std::snprintf(out + len, cap - len, " was not dropped: ");
  len = std::strlen(out);
  utf8_copy_cut(out + len, cap - len, r->drop_error[0] != 0 ? r->drop_error : "unknown");
}

void report_test_plan(session_outcome* o, restore_work* w, const test_run* r) {
  doc_text& d = o->members;
  doc_raw(&d, ",\"dry_run\":true,\"operation\":\"restore_test\"");
  doc_member(&d, "database", w->cfg.source_database);
  doc_member(&d, "scratch_database", r->copy.name);
  doc_steps(&d, w, "plan", w->plan.steps, true, false);
  // The copy's check as it would be sent once it is restored; shown only,
  // on a record of its own.
  scratch_copy shown = r->copy;
  shown.restore_sent = true;
  if (w->cfg.checkdb != CHECKDB_NONE && checkdb_statement(&shown, w->cfg.checkdb, w->sql, sizeof w->sql)) {
    doc_raw(&d, ",{\"type\":\"check\"");
    doc_member(&d, "statement", w->sql);
    doc_raw(&d, "}");
  }
  // The drop names the identity the server gives the copy, known only
  // once it is restored: shown as its kind alone.
  doc_raw(&d, ",{\"type\":\"drop\"}");
  doc_raw(&d, "]");
  doc_stop_at(&d, w);
  doc_member(&d, "checkdb_mode", CHECKDB_MODES[w->cfg.checkdb]);
}

void report_test(backup_session* s, session_outcome* o, restore_work* w, const test_run* r) {
  char error[TDS_ERR_SIZE * 2];
  test_error(r, error, sizeof error);
  const bool ok = error[0] == 0;
  if (!ok) outcome_fail(o, error);
  doc_raw(&o->members, ",\"operation\":\"restore_test\"");
  doc_test_members(&o->members, w, r);
  doc_number(&o->members, "elapsed_ms", plat_mono_ms() - s->start_ms);
  if (ok) s->percent.store(100, std::memory_order_relaxed);
}

}  // namespace restore_impl
