#include "vaultrun/backup_proof.h"

#include <cstdlib>
#include <cstring>

#include "vaultrun.h"
#include "vaultrun/answers.h"
#include "vaultrun/doc_text.h"
#include "vaultrun/restore_work.h"
#include "vaultrun/statements.h"
#include "vaultrun/restore_test_run.h"

namespace restore_impl {

// Whether the plan ends with the set at position in the backup's first
// target: the set a backup just wrote, so the test proves that set.
bool ends_with_written(restore_work* w, const backup_config* backup, int32_t position) {
  if (w->plan.steps == 0) return false;
  const plan_step& last = w->plan.step[w->plan.steps - 1];
  restore_targets t;
  targets_of(w, last.set, &t);
  return w->src.sets[last.set].position == position && t.count > 0 && std::strcmp(t.path[0], backup_target(backup, 0)) == 0;
}

// The test's members as the backup's "restore_test" member: only once a
// copy was claimed, so that there is something of a copy to report.
void report_proof(backup_proof* proof, restore_work* w, const test_run* r) {
  if (!r->copy.checked_free) return;
  doc_text* d = &proof->members;
  doc_raw(d, ",\"restore_test\":{\"ok\":");
  doc_raw(d, proof->cause[0] == 0 ? "true" : "false");
  doc_test_members(d, w, r);
  doc_raw(d, "}");
}

// The restore test's own configuration for the set just written: a full
// backup's set by itself, from its targets; a differential or a log with
// the chain the history gives it.
void proof_config(backup_config* cfg, int32_t position) {
  cfg->operation = OPERATION_RESTORE_TEST;
  cfg->dry_run = 0;
  cfg->stop_at[0] = 0;
  cfg->source_database[0] = 0;
  cfg->backup_file_count = 0;
  if (cfg->type == BACKUP_FULL) {
    cfg->file = position;
  } else {
    cfg->out_path[0] = 0;
    cfg->stripe_count = 0;
    cfg->file = 0;
  }
}

}  // namespace restore_impl

using namespace restore_impl;

bool prove_backup(backup_session* s, tds_conn* conn, int32_t position, const char* password, backup_proof* proof) {
  restore_work* w = work_new(&s->cfg);
  auto* r = static_cast<test_run*>(std::calloc(1, sizeof(test_run)));
  if (w == nullptr || r == nullptr) {
    std::free(r);
    work_free(w);
    return false;
  }
  proof_config(&w->cfg, position);
  // The planning's refusal is the test's cause, not yet the backup's end.
  session_outcome planning = outcome_begin();
  bool planned = plan_copy(&planning, &s->cfg, conn, w, r);
  if (planned && s->cfg.type != BACKUP_FULL && !ends_with_written(w, &s->cfg, position)) {
    planned = false;
    outcome_fail(&planning, "the backup just written is not the newest in the history");
  }
  if (!planned) {
    utf8_copy_cut(proof->cause, sizeof proof->cause,
                  planning.error[0] != 0 ? planning.error : "the restore test could not be planned");
    r->copy.checked_free = false;  // nothing of a copy to report
  } else {
    test_copy(s, conn, w, r, password);
    test_error(r, proof->cause, sizeof proof->cause);
  }
  report_proof(proof, w, r);
  std::free(r);
  work_free(w);
  return true;
}
