// The table of background sessions: four slots, each run by a worker
// thread of its own while the host polls, cancels and releases it. A slot
// (backup_session) and its worker (backup_worker) carry every operation: a
// backup, a restore or a restore test. A slot's state is one of the
// VAULTRUN_SESSION_* values the host reads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "vaultrun/answers.h"
#include "vaultrun/config.h"

constexpr int MAX_SESSIONS = 4;

enum session_phase : int32_t { PHASE_NONE = 0, PHASE_RESTORE = 1, PHASE_CHECK = 2, PHASE_DROP = 3 };
// "restore", "check" or "drop"; "" for PHASE_NONE.
const char* session_phase_name(int32_t phase);

// One slot. The worker publishes percent, pages, verified, elapsed_ms and
// the texts before the state that vouches for them (release stores; the
// host's loads acquire). message and error are copied under text_lock, a
// spin lock held only for a copy of at most 512 bytes, so a reader never
// sees a half-written text.
struct backup_session {
  std::atomic<int32_t> state;
  std::atomic<int32_t> cancel;
  // Written before the worker exists; afterwards only the worker writes it,
  // to wipe the password once the login has gone out.
  backup_config cfg;
  plat_thread thread;
  int32_t thread_open;
  std::atomic<int32_t> percent;
  char message[256];
  std::atomic<int64_t> pages;
  int64_t start_ms;  // the worker's own
  std::atomic<int64_t> elapsed_ms;
  std::atomic<int32_t> verified;
  std::atomic<int32_t> position;  // of the backup set verified, 0 until known
  // The position the backup's own messages gave for the set it wrote
  // ("... on file P."); 0 until one did, -1 when two disagreed. The worker's own.
  int32_t reported_position;
  char error[512];
  char progress_json[1024];
  // Room for the answers that have no document of their own: a failure's
  // error alone (escaped whole at 1024 bytes), "not finished".
  char result_json[1024 + 64];

  // A restore's progress through its plan: the step running (from 1), the
  // steps in all (0 until planned) and the running step's kind
  // (restore_progress_kind).
  std::atomic<int32_t> step;
  std::atomic<int32_t> steps;
  std::atomic<int32_t> step_type;
  // A restore test's phase (session_phase); PHASE_NONE outside one.
  std::atomic<int32_t> phase;
  // The operation's result document, when it got as far as one (every
  // success; a restore's failure after its first RESTORE, a restore test's
  // or a proven backup's failure): sized to what it holds on the heap,
  // written by the one publisher (publish_outcome) before the end state,
  // freed when the slot is cleared.
  char* result_doc;

  std::atomic_flag text_lock;
  // Set by vaultrun_free when the worker had not ended within its wait:
  // the slot reads as free to the host but stays reserved until the worker
  // has returned, so nothing can hand it out while the worker still writes.
  int32_t release_pending;
};

extern backup_session g_sessions[MAX_SESSIONS];

// Copies text into one of the slot's text fields (cap bytes), cut before a
// UTF-8 character that does not fit, under the text lock.
void session_write_text(backup_session* s, char* field, size_t cap, const char* text);

// Reads a slot's text consistently into out (cap bytes).
void session_read_text(backup_session* s, const char* field, char* out, size_t cap);

// Clears the slot to zero (state VAULTRUN_SESSION_FREE). Only when no worker
// runs on it.
void session_clear(backup_session* s);

// Completes a pending release once the slot's worker has returned.
// Returns true when the slot is (now) free of any worker.
bool session_settle(backup_session* s);

// The lowest slot that can take a new session (free, or ended with its
// worker released), settling pending releases on the way; -1 when none can.
int session_find_free();
