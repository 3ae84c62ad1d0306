// A restore session's work on its logged-in connection: read the backup
// sets its source offers, plan the chain, then one RESTORE per step and the
// recovery, publishing progress and the result document into the slot.
#pragma once

#include "tds_client/tds_client.h"
#include "vaultrun/doc_text.h"
#include "vaultrun/session_outcome.h"
#include "vaultrun/session_slots.h"

// What a restore step does, as the progress document names it.
enum restore_progress_kind : int32_t {
  PROGRESS_FULL = 0,
  PROGRESS_DIFFERENTIAL = 1,
  PROGRESS_LOG = 2,
  PROGRESS_RECOVERY = 3,
};
const char* restore_progress_name(int32_t kind);

// Runs the restore of s->cfg on conn, publishing its progress, and returns
// its outcome. Every read-only query runs before the first RESTORE is
// sent, and a plan that cannot finish is refused before it.
session_outcome run_restore(backup_session* s, tds_conn* conn);

// Runs the restore test of s->cfg on conn: the chain of its database
// restored under a copy's name found free, DBCC CHECKDB of the copy, and the
// copy dropped in every outcome once a RESTORE into it went out (through a
// new connection with password when conn broke). Returns its outcome.
session_outcome run_restore_test(backup_session* s, tds_conn* conn, const char* password);

// What a backup's proof by restore test found: its cause ("" when the set
// proved sound) and the test's members as the backup's "restore_test"
// member (none when no copy was claimed).
struct backup_proof {
  char cause[TDS_ERR_SIZE * 2];
  doc_text members;
};

// A backup's proof: the restore test of the set it just wrote (at position
// in its targets), a differential or a log with its chain from the
// history, instead of RESTORE VERIFYONLY. False when it could not start for
// want of memory.
bool prove_backup(backup_session* s, tds_conn* conn, int32_t position, const char* password, backup_proof* proof);
