// A restore test's run: the chain of its database restored under a copy's
// name the server found free and this session claimed, checked with DBCC
// CHECKDB, and dropped by the identity the server gave it once it exists,
// whatever happened after.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tds_client/tds_client.h"
#include "vaultrun/restore_test.h"
#include "vaultrun/restore_work.h"
#include "vaultrun/session_outcome.h"
#include "vaultrun/session_slots.h"

// Runs the restore test of s->cfg on conn: the copy restored, checked and
// dropped in every outcome once a RESTORE into it went out (through a new
// connection with password when conn broke). Returns its outcome.
session_outcome run_restore_test(backup_session* s, tds_conn* conn, const char* password);

namespace restore_impl {

extern const char* const CHECKDB_MODES[3];

// Everything that became of one test's copy.
struct test_run {
  scratch_copy copy;
  int32_t steps_done;
  bool restored;       // every step and the recovery completed
  bool checked;        // CHECKDB answered, or none was asked for
  bool damaged;
  bool cancelled;
  int32_t failed_phase;  // session_phase; PHASE_NONE when nothing failed
  bool check_failed;    // CHECKDB could not run: not damage
  bool dropped, left_behind;
  bool gone;            // the copy was created, then gone by another hand
  bool not_created;     // the first RESTORE created nothing of this session's
  copy_identity id;
  char answered_by[SERVER_NAME_BYTES];  // the server that answered the drop's last check
  int64_t restore_ms, check_ms, drop_ms;
  char error[TDS_ERR_SIZE];       // the first failure's cause
  char drop_error[TDS_ERR_SIZE];  // why the drop failed
  checkdb_report report;
};

// Chooses the copy's name (source is the configuration that names the
// database tested) and plans its restore; false once o failed (nothing
// sent that changes the server).
bool plan_copy(session_outcome* o, const backup_config* source, tds_conn* conn, restore_work* w, test_run* r);
// Restores, checks and drops; every outcome is left in r.
void test_copy(backup_session* s, tds_conn* conn, restore_work* w, test_run* r, const char* password);

// The test's members after "ok" (and "error"): everything but the
// operation, so that a backup can carry them too.
void doc_test_members(doc_text* d, restore_work* w, const test_run* r);
// The outcome's error: the first failure ("cancelled" for a cancel), and
// a copy left behind named after it. "" on success.
void test_error(const test_run* r, char* out, size_t cap);
// A restore test's outcome: planned (a dry run), or run.
void report_test_plan(session_outcome* o, restore_work* w, const test_run* r);
void report_test(backup_session* s, session_outcome* o, restore_work* w, const test_run* r);

}  // namespace restore_impl
