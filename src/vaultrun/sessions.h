// Background backup sessions: four slots, each run by a worker thread of
// its own while the host polls, cancels and releases it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "vaultrun/answers.h"
#include "vaultrun/config.h"

constexpr int MAX_SESSIONS = 4;

enum : int32_t {
  SESSION_FREE = 0,
  SESSION_STARTING = 1,
  SESSION_RUNNING = 2,
  SESSION_DONE = 3,
  SESSION_CANCELLED = 4,  // never set: a cancel ends in SESSION_FAILED with "cancelled"
  SESSION_FAILED = 5,
};

// The worker thread's stack: its own buffers (some 6 KiB) plus one statement
// execution (some 280 KiB, most of it a scratch row). The margin is wide
// because some runtimes carve their thread-local storage out of the same
// allocation; untouched pages cost only address space.
constexpr size_t WORKER_STACK_BYTES = 2u << 20;

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
  char error[512];
  char progress_json[1024];
  // Room for the success document whatever the path: each of its bytes may
  // take a six-byte escape.
  char result_json[json_escape_cap(sizeof(backup_config::out_path) - 1) + 128];

  std::atomic_flag text_lock;
  // Set by vaultrun_free when the worker had not ended within its wait:
  // the slot reads as free to the host but stays reserved until the worker
  // has returned, so nothing can hand it out while the worker still writes.
  int32_t release_pending;
};

extern backup_session g_sessions[MAX_SESSIONS];

int64_t now_ms();
void on_info_cb(void* ctx, int32_t number, const char* text);
int backup_worker(void* slot);

// Reads a slot's text consistently into out (cap bytes).
void session_read_text(backup_session* s, const char* field, char* out, size_t cap);

// Clears the slot to zero (state SESSION_FREE). Only when no worker runs on it.
void session_clear(backup_session* s);

// Completes a pending release once the slot's worker has returned.
// Returns true when the slot is (now) free of any worker.
bool session_settle(backup_session* s);
