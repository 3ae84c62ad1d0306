// A backup's proof: the restore test of the set it just wrote, instead of
// RESTORE VERIFYONLY.
#pragma once

#include <cstdint>

#include "tds_client/tds_client.h"
#include "vaultrun/doc_text.h"
#include "vaultrun/session_slots.h"

// What the proof found: its cause ("" when the set proved sound) and the
// test's members as the backup's "restore_test" member (none when no copy
// was claimed).
struct backup_proof {
  char cause[TDS_ERR_SIZE * 2];
  doc_text members;
};

// The restore test of the set the backup of s just wrote (at position in
// its targets): a full backup's set by itself, a differential or a log
// with its chain from the history, which must end with that set. False
// when it could not start for want of memory.
bool prove_backup(backup_session* s, tds_conn* conn, int32_t position, const char* password, backup_proof* proof);
