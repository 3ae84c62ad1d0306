#include "vaultrun/backup_worker.h"

#include "tds_client/tds_client.h"
#include "vaultrun.h"
#include "vaultrun/secret.h"
#include "vaultrun/statements.h"

namespace {

// Informational messages of a backup and its verification that carry progress.
constexpr int32_t MSG_PERCENT_PROCESSED = 3211;  // "N percent processed."
constexpr int32_t MSG_BACKUP_PAGES = 3014;       // "BACKUP DATABASE successfully processed P pages ..."
constexpr int32_t MSG_FILE_PAGES = 4035;         // "Processed P pages for database ..."

void fail(backup_session* s, const char* reason) {
  session_write_text(s, s->error, sizeof s->error, reason);
  s->state.store(VAULTRUN_SESSION_FAILED, std::memory_order_release);
}

void publish_elapsed(backup_session* s, std::memory_order order) {
  s->elapsed_ms.store(plat_mono_ms() - s->start_ms, order);
}

// The percentage of "N percent processed.", read as a leading decimal
// number; 0 when it is not one of 1 to 100.
int32_t percent_of(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = *p++ == '-';
  int64_t v = 0;
  for (; *p >= '0' && *p <= '9' && v <= 1000; ++p) v = v * 10 + (*p - '0');
  return !neg && v >= 1 && v <= 100 ? static_cast<int32_t>(v) : 0;
}

// The first number in the text (the page count), stopped short of
// overflow; 0 when there is none.
int64_t first_number(const char* text) {
  const char* p = text;
  while (*p && !(*p >= '0' && *p <= '9')) ++p;
  int64_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (v > (INT64_MAX - 9) / 10) break;
    v = v * 10 + (*p - '0');
  }
  return v;
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
  publish_elapsed(s, std::memory_order_relaxed);
  s->state.store(VAULTRUN_SESSION_DONE, std::memory_order_release);
}

}  // namespace

void on_info_cb(void* ctx, int32_t number, const char* text) {
  auto* s = static_cast<backup_session*>(ctx);
  if (number == MSG_PERCENT_PROCESSED) {
    const int32_t percent = percent_of(text);
    if (percent > 0) s->percent.store(percent, std::memory_order_relaxed);
  } else if (number == MSG_BACKUP_PAGES || number == MSG_FILE_PAGES) {
    const int64_t pages = first_number(text);
    if (pages > 0) s->pages.store(pages, std::memory_order_relaxed);
  }
  session_write_text(s, s->message, sizeof s->message, text);
  publish_elapsed(s, std::memory_order_release);
}

int backup_worker(void* slot) {
  auto* s = static_cast<backup_session*>(slot);
  backup_config& cfg = s->cfg;
  s->start_ms = plat_mono_ms();

  tds_conn conn;
  // The login is cancellable and, when the host asked, bounded in time.
  const tds_connect_opts opts = config_connect_opts(&cfg, &s->cancel);
  const int login = tds_connect(&conn, cfg.host, cfg.port, cfg.user, cfg.password, nullptr, &opts);
  // The login has gone out (or never will): the slot needs the password no more.
  wipe_secret(cfg.password, sizeof cfg.password);
  if (login != 0) {
    fail(s, conn.err);
  } else {
    conn.cancel_flag = &s->cancel;
    conn.info_cb = on_info_cb;
    conn.info_ctx = s;
    s->state.store(VAULTRUN_SESSION_RUNNING, std::memory_order_release);
    run_statements(s, &conn);
    tds_close(&conn);
  }
  publish_elapsed(s, std::memory_order_release);
  return 0;
}
