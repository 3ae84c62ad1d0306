// How every operation of a session ends: its driver returns an outcome
// record, and one publisher writes it into the slot (the result document,
// the error, the elapsed time, and the end state last, which vouches for
// them).
#pragma once

#include <cstdint>

#include "tds_client/tds_client.h"
#include "vaultrun/doc_text.h"
#include "vaultrun/session_slots.h"

struct session_outcome {
  int32_t state;  // VAULTRUN_SESSION_DONE or VAULTRUN_SESSION_FAILED
  // The cause when it failed: a server's error, or a restore test's
  // failure with the copy it left behind.
  char error[2 * TDS_ERR_SIZE + 64];
  // The result document's members after "ok" (and "error"), each with its
  // leading comma. None: the failure document of the error alone.
  doc_text members;
};

// A new outcome: done, no members yet.
session_outcome outcome_begin();

// The operation failed for cause (kept whole, cut only at the record's
// bound before a UTF-8 character). A later cause replaces an earlier one.
void outcome_fail(session_outcome* o, const char* cause);

// Publishes o into the slot and frees its members: the document
// {"ok":...[,"error":...]<members>} when it has members, the error, the
// elapsed time and then the state. A document that could not be built
// fails the operation with "out of memory" instead of a cut one.
void publish_outcome(backup_session* s, session_outcome* o);
