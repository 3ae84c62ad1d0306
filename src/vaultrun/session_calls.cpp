// The host's calls on backup sessions: start, status, progress and result
// documents, cancel and release. All run on the host's thread; once a worker
// runs they only read what it publishes, and only vaultrun_free may block,
// waiting for the worker.
#include <cstdio>
#include <cstring>

#include "vaultrun.h"
#include "vaultrun/answers.h"
#include "vaultrun/backup_worker.h"
#include "vaultrun/restore_steps.h"
#include "vaultrun/config.h"
#include "vaultrun/secret.h"
#include "vaultrun/session_slots.h"

namespace {

const char BAD_SESSION_PROGRESS[] = "{\"error\":\"bad session\"}";
const char BAD_SESSION_RESULT[] = "{\"ok\":false,\"error\":\"bad session\"}";

constexpr int64_t FREE_WAIT_RUNNING_MS = 10000;
constexpr int64_t FREE_WAIT_ENDED_MS = 1000;

// The slot behind a valid index, else null. Negative indexes fail the
// unsigned comparison too.
backup_session* slot_at(int32_t session) {
  if (static_cast<uint32_t>(session) >= static_cast<uint32_t>(MAX_SESSIONS)) return nullptr;
  return &g_sessions[session];
}

// A slot released while its worker still ran reads as free to the host.
int32_t visible_state(backup_session* s) {
  if (!session_settle(s)) return VAULTRUN_SESSION_FREE;
  return s->state.load(std::memory_order_acquire);
}

// A worker that has not yet published its end.
bool is_live(int32_t state) { return state == VAULTRUN_SESSION_STARTING || state == VAULTRUN_SESSION_RUNNING; }

// Takes the lowest free slot for an accepted configuration and starts its
// worker. Returns the slot's index, or -1 / -2 with the reason in g_err.
int32_t start_session(const backup_config& cfg) {
  const int idx = session_find_free();
  if (idx < 0) {
    set_g_err("no free sessions");
    return -2;
  }
  backup_session* s = &g_sessions[idx];
  session_clear(s);
  s->state.store(VAULTRUN_SESSION_STARTING, std::memory_order_relaxed);
  s->cfg = cfg;
  s->thread_open = 1;
  if (plat_thread_create(&s->thread, backup_worker, s, WORKER_STACK_BYTES) != 0) {
    wipe_secret(s->cfg.password, sizeof s->cfg.password);
    s->state.store(VAULTRUN_SESSION_FAILED, std::memory_order_relaxed);
    s->thread_open = 0;
    set_g_err("thread create failed");
    return -1;
  }
  return idx;
}

}  // namespace

extern "C" {

VAULTRUN_API int32_t vaultrun_start(const char* config_json) {
  backup_config cfg;
  const char* refusal = "invalid config json";
  int32_t result = -1;
  if (config_json == nullptr || parse_config(config_json, &cfg, &refusal) != 0) {
    set_g_err(refusal);
  } else if (cfg.operation != OPERATION_BACKUP && (cfg.user[0] == 0 || cfg.database[0] == 0)) {
    set_g_err("user and database required");
  } else if (cfg.operation == OPERATION_BACKUP &&
             (cfg.user[0] == 0 || cfg.database[0] == 0 || backup_target_count(&cfg) == 0)) {
    set_g_err("user, database and out_path required");
  } else {
    result = start_session(cfg);
  }
  // The slot holds its own copy; this frame's must not outlive the call.
  wipe_secret(cfg.password, sizeof cfg.password);
  return result;
}

VAULTRUN_API int32_t vaultrun_status(int32_t session) {
  backup_session* s = slot_at(session);
  if (!s) return -1;
  return visible_state(s);
}

VAULTRUN_API const char* vaultrun_progress(int32_t session) {
  backup_session* s = slot_at(session);
  if (!s) return BAD_SESSION_PROGRESS;
  int32_t state = visible_state(s);
  int32_t percent = 0;
  int64_t elapsed = 0;
  char message[256] = "";
  if (!s->release_pending) {
    percent = s->percent.load(std::memory_order_relaxed);
    elapsed = s->elapsed_ms.load(std::memory_order_acquire);
    session_read_text(s, s->message, message, sizeof message);
  }
  char esc[512];
  json_escape(message, esc, sizeof esc);
  // A restore names the step that runs once its plan is made.
  char step[96] = "";
  const int32_t steps = s->release_pending ? 0 : s->steps.load(std::memory_order_relaxed);
  if (steps > 0) {
    std::snprintf(step, sizeof step, ",\"step\":%d,\"steps\":%d,\"step_type\":\"%s\"",
                  s->step.load(std::memory_order_relaxed), steps,
                  restore_progress_name(s->step_type.load(std::memory_order_relaxed)));
  }
  // A restore test names its phase: restore, check or drop.
  char phase[32] = "";
  const int32_t ph = s->release_pending ? PHASE_NONE : s->phase.load(std::memory_order_relaxed);
  if (ph != PHASE_NONE) std::snprintf(phase, sizeof phase, ",\"phase\":\"%s\"", session_phase_name(ph));
  std::snprintf(s->progress_json, sizeof s->progress_json,
                "{\"state\":%d,\"percent\":%d,\"message\":\"%s\",\"elapsed_ms\":%lld%s%s}", state, percent, esc,
                static_cast<long long>(elapsed), phase, step);
  return s->progress_json;
}

VAULTRUN_API const char* vaultrun_result(int32_t session) {
  backup_session* s = slot_at(session);
  if (!s) return BAD_SESSION_RESULT;
  int32_t state = visible_state(s);
  const bool ended = state == VAULTRUN_SESSION_DONE || state == VAULTRUN_SESSION_FAILED;
  // An operation that got as far as a document of its own left it, sized
  // to what it holds; a failure before that is its error alone.
  if (ended && s->result_doc != nullptr) return s->result_doc;
  if (ended) {
    char error[512];
    session_read_text(s, s->error, error, sizeof error);
    write_failure(s->result_json, sizeof s->result_json, error);
  } else {
    std::snprintf(s->result_json, sizeof s->result_json, "{\"ok\":false,\"error\":\"not finished\"}");
  }
  return s->result_json;
}

VAULTRUN_API void vaultrun_cancel(int32_t session) {
  backup_session* s = slot_at(session);
  if (!s || s->release_pending) return;
  int32_t state = s->state.load(std::memory_order_acquire);
  if (is_live(state)) s->cancel.store(1, std::memory_order_release);
}

VAULTRUN_API void vaultrun_free(int32_t session) {
  backup_session* s = slot_at(session);
  if (!s) return;
  if (s->release_pending) {
    session_settle(s);
    return;
  }
  int32_t state = s->state.load(std::memory_order_acquire);
  bool ended = true;
  if (is_live(state)) {
    s->cancel.store(1, std::memory_order_release);
    ended = plat_thread_wait(&s->thread, FREE_WAIT_RUNNING_MS) == 1;
  } else if (s->thread_open) {
    // A worker that has published its end still closes its connection and
    // updates elapsed_ms before it returns.
    ended = plat_thread_wait(&s->thread, FREE_WAIT_ENDED_MS) == 1;
  }
  if (!ended) {
    // The worker can still write into the slot: keep it reserved until it
    // has returned; the slot search and the status calls finish the release.
    s->release_pending = 1;
    return;
  }
  if (s->thread_open) plat_thread_close(&s->thread);
  session_clear(s);
}

}  // extern "C"
