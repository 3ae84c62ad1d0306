// The connection test and the database listing: each runs on the host's
// thread, opens a connection of its own, runs one statement and answers in
// g_sync_buf.
#include <cstdio>
#include <cstring>

#include "tds_client/tds_client.h"
#include "vaultrun.h"
#include "vaultrun/answers.h"
#include "vaultrun/config.h"
#include "vaultrun/secret.h"

namespace {

const char VERSION_SQL[] =
    "SELECT CAST(SERVERPROPERTY('ProductVersion') AS NVARCHAR(64)) + N' ' + "
    "CAST(SERVERPROPERTY('Edition') AS NVARCHAR(64))";

const char LISTING_SQL[] =
    "SELECT d.name, CAST(SUM(mf.size) * 8 / 1024 AS INT), d.recovery_model_desc FROM "
    "sys.databases d JOIN sys.master_files mf ON mf.database_id = d.database_id WHERE "
    "d.database_id > 4 AND d.state = 0 GROUP BY d.name, d.recovery_model_desc ORDER BY d.name";

constexpr int LISTING_ROWS = 256;
// The listing's columns, in the statement's order.
constexpr int COL_NAME = 0, COL_SIZE = 1, COL_RECOVERY = 2, LISTING_COLS = 3;
const char LISTING_OPEN[] = "{\"ok\":true,\"databases\":[";
const char LISTING_CLOSE[] = "]}";
// One row: {"name":"N","size_mb":S,"recovery":"R"}
const char ROW_NAME[] = "{\"name\":\"";
const char ROW_SIZE[] = "\",\"size_mb\":";
const char ROW_RECOVERY[] = ",\"recovery\":\"";
const char ROW_CLOSE[] = "\"}";

// Copies n bytes of text to buf at pos; returns the position after them.
size_t put_piece(char* buf, size_t pos, const char* text, size_t n) {
  std::memcpy(buf + pos, text, n);
  return pos + n;
}

// Parses the configuration, checks the user and logs in. On failure the
// reason is in g_err and the failure document in g_sync_buf; returns -1.
// Either way the password is wiped from cfg once the login has gone out.
int open_for_host(const char* config_json, backup_config* cfg, tds_conn* conn) {
  const char* refusal = "invalid config json";
  int rc = -1;
  if (config_json == nullptr || parse_config(config_json, cfg, &refusal) != 0) {
    set_g_err(refusal);
  } else if (cfg->user[0] == 0) {
    set_g_err("user required");
  } else {
    const tds_connect_opts opts = config_connect_opts(cfg, nullptr);
    rc = tds_connect(conn, cfg->host, cfg->port, cfg->user, cfg->password, nullptr, &opts);
    if (rc == 0) {
      conn->query_timeout_ms = cfg->query_timeout_ms;
    } else {
      set_g_err(conn->err);
    }
  }
  wipe_secret(cfg->password, sizeof cfg->password);
  if (rc != 0) write_failure(g_sync_buf, sizeof g_sync_buf, g_err);
  return rc;
}

// True when text is a JSON number, as every integer or decimal cell is. The
// size goes into the answer unquoted, so anything else (a server that sends
// text in that column) would break the document or inject members into it.
bool is_json_number(const char* t) {
  if (*t == '-') ++t;
  if (*t == '0') {
    ++t;
  } else if (*t >= '1' && *t <= '9') {
    while (*t >= '0' && *t <= '9') ++t;
  } else {
    return false;
  }
  if (*t == '.') {
    ++t;
    if (!(*t >= '0' && *t <= '9')) return false;
    while (*t >= '0' && *t <= '9') ++t;
  }
  if (*t == 'e' || *t == 'E') {
    ++t;
    if (*t == '+' || *t == '-') ++t;
    if (!(*t >= '0' && *t <= '9')) return false;
    while (*t >= '0' && *t <= '9') ++t;
  }
  return *t == 0;
}

// Rows of the listing buffer that the last listing may have written; every
// row past them reads as NULL in the listing's columns (never written, or
// marked below).
int32_t g_rows_written = 0;

// Marks the listing's cells in the rows an earlier listing wrote as NULL, so
// a cell that this answer does not carry (a server that sends fewer
// columns) reads as NULL rather than as another server's value. Only the
// flags are touched: clearing the cells would touch all 64 MiB.
void forget_earlier_rows(tds_row* rows) {
  for (int32_t k = 0; k < g_rows_written; ++k)
    for (int c = 0; c < LISTING_COLS; ++c) rows[k].is_null[c] = 1;
  g_rows_written = 0;
}

const char* cell_text(const tds_row& row, int col) { return row.is_null[col] ? "" : row.cells[col]; }

// Appends one row's object to the answer at pos (after a comma unless it is
// the first); returns the new end, or pos unchanged when the row was dropped.
// The row is copied piece by piece: a formatted write per row was a tenth of
// the listing's time on the host's thread.
size_t append_row(char* buf, size_t pos, const tds_row& row, bool first) {
  constexpr size_t CAP = G_SYNC_BUF_SIZE;
  char name[256], recovery[64];
  json_escape(cell_text(row, COL_NAME), name, sizeof name);
  json_escape(cell_text(row, COL_RECOVERY), recovery, sizeof recovery);
  const char* size = cell_text(row, COL_SIZE);
  if (!is_json_number(size)) size = "0";
  const size_t name_len = std::strlen(name);
  if (pos + name_len + 96 > CAP - 1) return pos;
  const size_t row_start = pos;
  if (!first && pos <= CAP - 3) buf[pos++] = ',';
  const size_t size_len = std::strlen(size);
  const size_t recovery_len = std::strlen(recovery);
  const size_t len = (sizeof ROW_NAME - 1) + name_len + (sizeof ROW_SIZE - 1) + size_len +
                     (sizeof ROW_RECOVERY - 1) + recovery_len + (sizeof ROW_CLOSE - 1);
  // A row cut by the end of the buffer would leave broken JSON: drop it
  // whole, keeping room for the closing "]}".
  if (len + 3 > CAP - pos) {
    buf[row_start] = 0;
    return row_start;
  }
  pos = put_piece(buf, pos, ROW_NAME, sizeof ROW_NAME - 1);
  pos = put_piece(buf, pos, name, name_len);
  pos = put_piece(buf, pos, ROW_SIZE, sizeof ROW_SIZE - 1);
  pos = put_piece(buf, pos, size, size_len);
  pos = put_piece(buf, pos, ROW_RECOVERY, sizeof ROW_RECOVERY - 1);
  pos = put_piece(buf, pos, recovery, recovery_len);
  return put_piece(buf, pos, ROW_CLOSE, sizeof ROW_CLOSE - 1);
}

// The success document of a listing of n rows, in g_sync_buf.
void write_listing(const tds_row* rows, int n) {
  char* buf = g_sync_buf;
  size_t pos = sizeof LISTING_OPEN - 1;
  std::memcpy(buf, LISTING_OPEN, pos + 1);
  bool first = true;
  for (int k = 0; k < n; ++k) {
    const size_t end = append_row(buf, pos, rows[k], first);
    if (end != pos) first = false;
    pos = end;
  }
  // Every accepted row left room for these three bytes.
  std::memcpy(buf + pos, LISTING_CLOSE, sizeof LISTING_CLOSE);
}

// What one synchronous call works in: static rather than on the host's
// stack, which may be small (128 KiB on some systems' threads), since
// hosts call the exports from one thread at a time. The version row alone
// is 256 KiB; the pages stay untouched until a call writes them.
struct sync_space {
  backup_config cfg;
  tds_conn conn;
  tds_meta meta;
  tds_row version_row;
};
sync_space g_sync;

}  // namespace

extern "C" {

VAULTRUN_API const char* vaultrun_test_connection(const char* config_json) {
  tds_conn& conn = g_sync.conn;
  if (open_for_host(config_json, &g_sync.cfg, &conn) != 0) return g_sync_buf;

  tds_row& row = g_sync.version_row;
  int n = tds_exec(&conn, VERSION_SQL, &g_sync.meta, &row, 1);
  // A login that succeeded is a successful test, whatever the query gave.
  if (n <= 0 || row.is_null[0]) {
    std::snprintf(g_sync_buf, sizeof g_sync_buf, "{\"ok\":true,\"server_version\":\"unknown\"}");
  } else {
    char esc[256];
    json_escape(row.cells[0], esc, sizeof esc);
    std::snprintf(g_sync_buf, sizeof g_sync_buf, "{\"ok\":true,\"server_version\":\"%s\"}", esc);
  }
  tds_close(&conn);
  return g_sync_buf;
}

VAULTRUN_API const char* vaultrun_list_databases(const char* config_json) {
  // 256 rows of 64 cells of 4 KiB: static, so it lives in zero pages until
  // a listing first touches it, and never on a stack.
  static tds_row rows[LISTING_ROWS];

  tds_conn& conn = g_sync.conn;
  if (open_for_host(config_json, &g_sync.cfg, &conn) != 0) return g_sync_buf;

  forget_earlier_rows(rows);
  int n = tds_exec(&conn, LISTING_SQL, &g_sync.meta, rows, LISTING_ROWS);
  // A failed walk may have stored rows without saying how many.
  g_rows_written = n < 0 ? LISTING_ROWS : n;
  if (n < 0) {
    write_failure(g_sync_buf, sizeof g_sync_buf, conn.err);
    tds_close(&conn);
    return g_sync_buf;
  }

  write_listing(rows, n);
  tds_close(&conn);
  return g_sync_buf;
}

}  // extern "C"
