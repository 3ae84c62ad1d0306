// A cleanup session's work on its logged-in connection: deletes the backup
// files of one database that no point of its recovery window needs,
// publishing progress and the result document into the slot.
#pragma once

#include "tds_client/tds_client.h"
#include "vaultrun/session_outcome.h"
#include "vaultrun/session_slots.h"

// Runs the cleanup of s->cfg on conn, publishing its progress, and returns
// its outcome. Everything is read and decided before the first file is deleted;
// a cancel stops between files.
session_outcome run_cleanup(backup_session* s, tds_conn* conn);
