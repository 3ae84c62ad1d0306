#include "vaultrun/sessions.h"

#include <cstdio>
#include <cstring>

#include "tds_client/tds_client.h"
#include "vaultrun.h"
#include "vaultrun/answers.h"

backup_session g_sessions[MAX_SESSIONS];

namespace {

std::atomic<int64_t> g_freq{0};

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

// Copies src into dst doubling every `twice` byte; stops once the text has
// reached cap - 2 bytes, so a doubled byte is never split.
void escape_doubling(const char* src, char twice, char* dst, size_t cap) {
  size_t w = 0;
  for (; *src; ++src) {
    dst[w++] = *src;
    if (*src == twice) dst[w++] = *src;
    if (w >= cap - 2) break;
  }
  dst[w] = 0;
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
  if (number == 3211) {
    // "N percent processed."
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool neg = false;
    if (*p == '+' || *p == '-') neg = *p++ == '-';
    int64_t v = 0;
    for (; *p >= '0' && *p <= '9' && v <= 1000; ++p) v = v * 10 + (*p - '0');
    if (!neg && v >= 1 && v <= 100) s->percent.store(static_cast<int32_t>(v), std::memory_order_relaxed);
  } else if (number == 3014 || number == 4035) {
    // "Processed P pages ..." / "... successfully processed P pages ..."
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

int backup_worker(void* slot) {
  auto* s = static_cast<backup_session*>(slot);
  const backup_config& cfg = s->cfg;
  s->start_ms = now_ms();

  tds_conn conn;
  // The login is cancellable and, when the host asked, bounded in time.
  tds_connect_opts opts{&s->cancel, cfg.connect_timeout_ms};
  if (tds_connect(&conn, cfg.host, cfg.port, cfg.user, cfg.password, nullptr, &opts) != 0) {
    fail(s, conn.err);
  } else {
    conn.cancel_flag = &s->cancel;
    conn.info_cb = on_info_cb;
    conn.info_ctx = s;
    s->state.store(SESSION_RUNNING, std::memory_order_release);

    char name[300], path[2048], sql[3072];
    escape_doubling(cfg.database, ']', name, sizeof name);
    escape_doubling(cfg.out_path, '\'', path, sizeof path);
    std::snprintf(sql, sizeof sql, "BACKUP DATABASE [%s] TO DISK = N'%s' WITH STATS = 5%s%s", name, path,
                  cfg.compression ? ", COMPRESSION" : "", cfg.copy_only ? ", COPY_ONLY" : "");
    if (tds_exec(&conn, sql, nullptr, nullptr, 0) < 0) {
      fail(s, conn.err);
    } else {
      s->percent.store(100, std::memory_order_relaxed);
      bool ok = true;
      if (cfg.verify) {
        std::snprintf(sql, sizeof sql, "RESTORE VERIFYONLY FROM DISK = N'%s'", path);
        if (tds_exec(&conn, sql, nullptr, nullptr, 0) < 0) {
          fail(s, conn.err);
          ok = false;
        } else {
          s->verified.store(1, std::memory_order_relaxed);
        }
      }
      if (ok) {
        s->elapsed_ms.store(now_ms() - s->start_ms, std::memory_order_relaxed);
        s->state.store(SESSION_DONE, std::memory_order_release);
      }
    }
    tds_close(&conn);
  }
  s->elapsed_ms.store(now_ms() - s->start_ms, std::memory_order_release);
  return 0;
}

extern "C" VAULTRUN_API int32_t vaultrun_start(const char* config_json) {
  backup_config cfg;
  if (config_json == nullptr || parse_config(config_json, &cfg) != 0) {
    set_g_err("invalid config json");
    return -1;
  }
  if (cfg.user[0] == 0 || cfg.database[0] == 0 || cfg.out_path[0] == 0) {
    set_g_err("user, database and out_path required");
    return -1;
  }
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
    s->state.store(SESSION_FAILED, std::memory_order_relaxed);
    s->thread_open = 0;
    set_g_err("thread create failed");
    return -1;
  }
  return idx;
}
