#include "vaultrun/session_slots.h"

#include <cstdlib>
#include <cstring>

#include "vaultrun.h"

backup_session g_sessions[MAX_SESSIONS];

namespace {

void text_lock(backup_session* s) {
  while (s->text_lock.test_and_set(std::memory_order_acquire)) {
  }
}

void text_unlock(backup_session* s) { s->text_lock.clear(std::memory_order_release); }

}  // namespace

void session_write_text(backup_session* s, char* field, size_t cap, const char* text) {
  text_lock(s);
  copy_text_cut(field, cap, text);
  text_unlock(s);
}

void session_read_text(backup_session* s, const char* field, char* out, size_t cap) {
  text_lock(s);
  copy_text_cut(out, cap, field);
  text_unlock(s);
}

void session_clear(backup_session* s) {
  s->state.store(VAULTRUN_SESSION_FREE, std::memory_order_relaxed);
  s->cancel.store(0, std::memory_order_relaxed);
  std::memset(&s->cfg, 0, sizeof s->cfg);
  std::memset(&s->thread, 0, sizeof s->thread);
  s->thread_open = 0;
  s->percent.store(0, std::memory_order_relaxed);
  std::memset(s->message, 0, sizeof s->message);
  s->pages.store(0, std::memory_order_relaxed);
  s->start_ms = 0;
  s->elapsed_ms.store(0, std::memory_order_relaxed);
  s->verified.store(0, std::memory_order_relaxed);
  s->position.store(0, std::memory_order_relaxed);
  s->reported_position = 0;
  std::memset(s->error, 0, sizeof s->error);
  std::memset(s->progress_json, 0, sizeof s->progress_json);
  std::memset(s->result_json, 0, sizeof s->result_json);
  s->step.store(0, std::memory_order_relaxed);
  s->steps.store(0, std::memory_order_relaxed);
  s->step_type.store(0, std::memory_order_relaxed);
  s->phase.store(PHASE_NONE, std::memory_order_relaxed);
  std::free(s->result_doc);
  s->result_doc = nullptr;
  s->text_lock.clear();
  s->release_pending = 0;
}

bool session_settle(backup_session* s) {
  if (!s->release_pending) return true;
  if (!plat_thread_wait(&s->thread, 0)) return false;
  plat_thread_close(&s->thread);
  session_clear(s);
  return true;
}

int session_find_free() {
  for (int i = 0; i < MAX_SESSIONS; ++i) {
    backup_session* s = &g_sessions[i];
    if (!session_settle(s)) continue;
    const int32_t st = s->state.load(std::memory_order_acquire);
    if (st == VAULTRUN_SESSION_FREE) return i;
    const bool ended = st == VAULTRUN_SESSION_DONE || st == VAULTRUN_SESSION_FAILED;
    if (ended && s->thread_open == 0) return i;
  }
  return -1;
}

const char* session_phase_name(int32_t phase) {
  static const char* const NAMES[] = {"", "restore", "check", "drop"};
  return phase >= PHASE_NONE && phase <= PHASE_DROP ? NAMES[phase] : "";
}
