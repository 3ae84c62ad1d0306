// A restore session's work on its logged-in connection: read the backup
// sets its source offers, plan the chain, then one RESTORE per step and the
// recovery, publishing progress into the slot; its outcome is returned.
#pragma once

#include "tds_client/tds_client.h"
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
