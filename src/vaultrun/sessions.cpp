#include "vaultrun/sessions.h"

#include <cstdio>
#include <cstring>

#include "tds_client/tds_client.h"
#include "vaultrun.h"
#include "vaultrun/answers.h"
#include "vaultrun/secret.h"
#include "vaultrun/statements.h"

backup_session g_sessions[MAX_SESSIONS];

namespace {

std::atomic<int64_t> g_freq{0};

// Informational messages of a backup and its verification that carry progress.
constexpr int32_t MSG_PERCENT_PROCESSED = 3211;  // "N percent processed."
constexpr int32_t MSG_BACKUP_PAGES = 3014;       // "BACKUP DATABASE successfully processed P pages ..."
constexpr int32_t MSG_FILE_PAGES = 4035;         // "Processed P pages for database ..."

void text_lock(backup_session* s) {
  while (s->text_lock.test_and_set(std::memory_order_acquire)) {
  }
}

void text_unlock(backup_session* s) { s->text_lock.clear(std::memory_order_release); }

void write_text(backup_session* s, char* field, size_t cap, const char* text) {
  text_lock(s);
  copy_text_cut(field, cap, text);
  text_unlock(s);
}

void fail(backup_session* s, const char* reason) {
  write_text(s, s->error, sizeof s->error, reason);
  s->state.store(SESSION_FAILED, std::memory_order_release);
}

}  // namespace

int64_t now_ms() {
  int64_t f = g_freq.load(std::memory_order_relaxed);
  if (f == 0) {
    f = plat_counter_freq();
    g_freq.store(f, std::memory_order_relaxed);
  }
  int64_t c = plat_counter();
  // Split so that counter * 1000 cannot overflow on a fine-grained counter.
  return (c / f) * 1000 + (c % f) * 1000 / f;
}

void session_read_text(backup_session* s, const char* field, char* out, size_t cap) {
  text_lock(s);
  copy_text_cut(out, cap, field);
  text_unlock(s);
}

void session_clear(backup_session* s) {
  s->state.store(SESSION_FREE, std::memory_order_relaxed);
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
  std::memset(s->error, 0, sizeof s->error);
  std::memset(s->progress_json, 0, sizeof s->progress_json);
  std::memset(s->result_json, 0, sizeof s->result_json);
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

void on_info_cb(void* ctx, int32_t number, const char* text) {
  auto* s = static_cast<backup_session*>(ctx);
  if (number == MSG_PERCENT_PROCESSED) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool neg = false;
    if (*p == '+' || *p == '-') neg = *p++ == '-';
    int64_t v = 0;
    for (; *p >= '0' && *p <= '9' && v <= 1000; ++p) v = v * 10 + (*p - '0');
    if (!neg && v >= 1 && v <= 100) s->percent.store(static_cast<int32_t>(v), std::memory_order_relaxed);
  } else if (number == MSG_BACKUP_PAGES || number == MSG_FILE_PAGES) {
    // The first number in the text is the page count.
    const char* p = text;
    while (*p && !(*p >= '0' && *p <= '9')) ++p;
    int64_t v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
      if (v > (INT64_MAX - 9) / 10) break;
      v = v * 10 + (*p - '0');
    }
    if (v > 0) s->pages.store(v, std::memory_order_relaxed);
  }
  write_text(s, s->message, sizeof s->message, text);
  s->elapsed_ms.store(now_ms() - s->start_ms, std::memory_order_release);
}

// Runs the backup and, when asked, its verification on a logged-in
// connection; publishes the outcome.
void run_statements(backup_session* s, tds_conn* conn) {
  const backup_config& cfg = s->cfg;
  char sql[STATEMENT_CAP];
  if (!backup_statement(&cfg, sql, sizeof sql)) return fail(s, "statement too long");
  if (tds_exec(conn, sql, nullptr, nullptr, 0) < 0) return fail(s, conn->err);
  s->percent.store(100, std::memory_order_relaxed);
  if (cfg.verify) {
    if (!verify_statement(&cfg, sql, sizeof sql)) return fail(s, "statement too long");
    if (tds_exec(conn, sql, nullptr, nullptr, 0) < 0) return fail(s, conn->err);
    s->verified.store(1, std::memory_order_relaxed);
  }
  s->elapsed_ms.store(now_ms() - s->start_ms, std::memory_order_relaxed);
  s->state.store(SESSION_DONE, std::memory_order_release);
}

int backup_worker(void* slot) {
  auto* s = static_cast<backup_session*>(slot);
  backup_config& cfg = s->cfg;
  s->start_ms = now_ms();

  tds_conn conn;
  // The login is cancellable and, when the host asked, bounded in time.
  tds_connect_opts opts{&s->cancel, cfg.connect_timeout_ms};
  const int login = tds_connect(&conn, cfg.host, cfg.port, cfg.user, cfg.password, nullptr, &opts);
  // The login has gone out (or never will): the slot needs the password no more.
  wipe_secret(cfg.password, sizeof cfg.password);
  if (login != 0) {
    fail(s, conn.err);
  } else {
    conn.cancel_flag = &s->cancel;
    conn.info_cb = on_info_cb;
    conn.info_ctx = s;
    s->state.store(SESSION_RUNNING, std::memory_order_release);
    run_statements(s, &conn);
    tds_close(&conn);
  }
  s->elapsed_ms.store(now_ms() - s->start_ms, std::memory_order_release);
  return 0;
}

namespace {

// Takes the lowest free slot for an accepted configuration and starts its
// worker. Returns the slot's index, or -1 / -2 with the reason in g_err.
int32_t start_session(const backup_config& cfg) {
  int idx = -1;
  for (int i = 0; i < MAX_SESSIONS && idx < 0; ++i) {
    backup_session* s = &g_sessions[i];
    if (!session_settle(s)) continue;
    int32_t st = s->state.load(std::memory_order_acquire);
    if (st == SESSION_FREE || ((st == SESSION_DONE || st == SESSION_FAILED || st == SESSION_CANCELLED) &&
                               s->thread_open == 0))
      idx = i;
  }
  if (idx < 0) {
    set_g_err("no free sessions");
    return -2;
  }
  backup_session* s = &g_sessions[idx];
  session_clear(s);
  s->state.store(SESSION_STARTING, std::memory_order_relaxed);
  s->cfg = cfg;
  s->thread_open = 1;
  if (plat_thread_create(&s->thread, backup_worker, s, WORKER_STACK_BYTES) != 0) {
    wipe_secret(s->cfg.password, sizeof s->cfg.password);
    s->state.store(SESSION_FAILED, std::memory_order_relaxed);
    s->thread_open = 0;
    set_g_err("thread create failed");
    return -1;
  }
  return idx;
}

}  // namespace

extern "C" VAULTRUN_API int32_t vaultrun_start(const char* config_json) {
  backup_config cfg;
  const char* refusal = "invalid config json";
  int32_t result = -1;
  if (config_json == nullptr || parse_config(config_json, &cfg, &refusal) != 0) {
    set_g_err(refusal);
  } else if (cfg.user[0] == 0 || cfg.database[0] == 0 || cfg.out_path[0] == 0) {
    set_g_err("user, database and out_path required");
  } else {
    result = start_session(cfg);
  }
  // The slot holds its own copy; this frame's must not outlive the call.
  wipe_secret(cfg.password, sizeof cfg.password);
  return result;
}
