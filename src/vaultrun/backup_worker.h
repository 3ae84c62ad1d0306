// The worker thread of a session: it logs in, runs the slot's operation (a
// backup with its verification, a restore or a restore test; the name is
// the backup's, the first it ran), and publishes progress and the outcome
// into its slot.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vaultrun/session_slots.h"

// The worker thread's stack: its own buffers (some 40 KiB, most of it the
// statement) plus one statement execution (some 280 KiB, most of it a
// scratch row), and for the history query a row of its own (some 270 KiB)
// alongside that execution. The margin is wide
// because some runtimes carve their thread-local storage out of the same
// allocation; untouched pages cost only address space.
constexpr size_t WORKER_STACK_BYTES = 2u << 20;

// Thread routine; slot is the backup_session it runs. Always returns 0: the
// outcome is in the slot.
int backup_worker(void* slot);

// Takes one informational message of the running statement (ctx is the
// slot): keeps it as the progress message and reads the percentage or the
// page count from the messages that carry them.
void on_info_cb(void* ctx, int32_t number, const char* text);
