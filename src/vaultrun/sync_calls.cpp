// The connection test and the database listing: each runs on the host's
// thread, opens a connection of its own, runs one statement and answers in
// g_sync_buf.
#include <cstdio>
#include <cstring>

#include "tds_client/tds_client.h"
#include "tds_client/type_codes.h"
#include "vaultrun.h"
#include "vaultrun/answers.h"
#include "vaultrun/config.h"
#include "vaultrun/secret.h"
#include "vaultrun/statements.h"

namespace {

const char VERSION_SQL[] =
    "SELECT CAST(SERVERPROPERTY('ProductVersion') AS NVARCHAR(64)) + N' ' + "
    "CAST(SERVERPROPERTY('Edition') AS NVARCHAR(64))";

constexpr int LISTING_ROWS = 256;
// The listing's columns, in the statement's order; the details follow the
// first three.
constexpr int COL_NAME = 0, COL_SIZE = 1, COL_RECOVERY = 2, COL_STATE = 3, COL_READ_ONLY = 4, COL_AG_ROLE = 5,
              COL_PREFERRED = 6, COL_LAST_FULL = 7, LISTING_COLS = 10;
// The kind of each column, in the statement's order: 't' text, 'n' integer.
const char LISTING_KINDS[] = "tnttntnttt";  // with the details; without, the first three
const char VERSION_KINDS[] = "t";
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
// row past them reads as NULL in the listing's columns (marked below). All of
// them at first: a zeroed row reads as empty text, not as NULL.
int32_t g_rows_written = LISTING_ROWS;

// Marks the listing's cells in the rows an earlier listing wrote as NULL, so
// a cell that this answer does not carry (a server that sends fewer
// columns) reads as NULL rather than as another server's value. Only the
// flags are touched: clearing the cells would touch all 64 MiB.
void forget_earlier_rows(tds_row* rows) {
  for (int32_t k = 0; k < g_rows_written; ++k)
    for (int c = 0; c < LISTING_COLS; ++c) rows[k].is_null[c] = 1;
  g_rows_written = 0;
}

// True when a column of the type reads as the kind ('t' or 'n'). A column
// the server could not type (NULL throughout) fits either.
bool column_fits(uint8_t type, char kind) {
  if (type == TDS_TYPE_NULL) return true;
  switch (type) {
    case TDS_TYPE_NVARCHAR: case TDS_TYPE_NCHAR: case TDS_TYPE_BIGVARCHR: case TDS_TYPE_BIGCHAR:
    case TDS_TYPE_VARCHAR: case TDS_TYPE_CHAR: case TDS_TYPE_TEXT: case TDS_TYPE_NTEXT:
      return kind == 't';
    case TDS_TYPE_INTN: case TDS_TYPE_INT1: case TDS_TYPE_INT2: case TDS_TYPE_INT4: case TDS_TYPE_INT8:
    case TDS_TYPE_BIT: case TDS_TYPE_BITN:
      return kind == 'n';
    default:
      return false;
  }
}

// The cells are read by position, so an answer whose columns are not the
// ones the statement asked for (a proxy, an odd server) would put empty or
// foreign text in their place: every database "not the preferred replica",
// and a whole-server run that skips them all and calls it a success. Null,
// or why the answer cannot be read, in `why` (TDS_ERR_SIZE bytes).
const char* check_columns(const tds_meta& meta, const char* kinds, const char* what, char* why) {
  const int want = int(std::strlen(kinds));
  if (meta.ncols != want) {
    std::snprintf(why, TDS_ERR_SIZE, "unexpected answer to the %s: %d columns where %d were asked for", what,
                  int(meta.ncols), want);
    return why;
  }
  for (int k = 0; k < want; ++k) {
    if (column_fits(meta.cols[k].type, kinds[k])) continue;
    std::snprintf(why, TDS_ERR_SIZE, "unexpected answer to the %s: column %d is not %s", what, k + 1,
                  kinds[k] == 't' ? "text" : "an integer");
    return why;
  }
  return nullptr;
}

const char* cell_text(const tds_row& row, int col) { return row.is_null[col] ? "" : row.cells[col]; }

// A finish time as the listing's statement renders it,
// yyyy-mm-ddThh:mi:ss with optional fractions; anything else reads as none.
bool is_finish_time(const char* t) {
  static const char SHAPE[] = "dddd-dd-ddTdd:dd:dd";
  size_t i = 0;
  for (; SHAPE[i] != 0; ++i) {
    const bool digit = t[i] >= '0' && t[i] <= '9';
    if (SHAPE[i] == 'd' ? !digit : t[i] != SHAPE[i]) return false;
  }
  if (t[i] == 0) return true;
  if (t[i++] != '.' || t[i] == 0) return false;
  for (int k = 0; t[i] != 0; ++i, ++k)
    if (k == 7 || t[i] < '0' || t[i] > '9') return false;
  return true;
}

// The detail members' room: the state (60 characters of the server's, each
// escaped to at most 6 bytes), the role likewise, three times, the fixed words.
constexpr size_t DETAILS_CAP = 2 * json_escape_cap(60) + 3 * 40 + 256;

// Writes the detail members that follow "recovery":"R into out, ending
// just before the row's closing brace; returns their length.
size_t write_details(const tds_row& row, char* out) {
  static const char* const LAST_KEYS[] = {"last_full", "last_differential", "last_log"};
  char state[json_escape_cap(60)], role[json_escape_cap(60)];
  json_escape(cell_text(row, COL_STATE), state, sizeof state);
  json_escape(cell_text(row, COL_AG_ROLE), role, sizeof role);
  // Unknown counts as preferred: a run then tries the backup and the server
  // says whether it may, rather than every database being skipped quietly.
  const bool preferred = row.is_null[COL_PREFERRED] || std::strcmp(cell_text(row, COL_PREFERRED), "1") == 0;
  int n = std::snprintf(out, DETAILS_CAP, ",\"state\":\"%s\",\"read_only\":%s,\"ag_role\":%s%s%s,\"preferred_replica\":%s",
                        state, std::strcmp(cell_text(row, COL_READ_ONLY), "1") == 0 ? "true" : "false",
                        row.is_null[COL_AG_ROLE] ? "null" : "\"", row.is_null[COL_AG_ROLE] ? "" : role,
                        row.is_null[COL_AG_ROLE] ? "" : "\"",
                        preferred ? "true" : "false");
  for (int k = 0; k < 3; ++k) {
    const char* t = cell_text(row, COL_LAST_FULL + k);
    const bool known = !row.is_null[COL_LAST_FULL + k] && is_finish_time(t);
    n += std::snprintf(out + n, DETAILS_CAP - size_t(n), ",\"%s\":%s%s%s", LAST_KEYS[k], known ? "\"" : "null",
                       known ? t : "", known ? "Z\"" : "");
  }
  return size_t(n);
}

// Appends one row's object to the answer at pos (after a comma unless it is
// the first); returns the new end, or pos unchanged when the row was dropped.
// The row is copied piece by piece: a formatted write per row was a tenth of
// the listing's time on the host's thread.
size_t append_row(char* buf, size_t pos, const tds_row& row, bool first, bool details) {
  constexpr size_t CAP = G_SYNC_BUF_SIZE;
  char name[256], recovery[64], more[DETAILS_CAP];
  const size_t more_len = details ? write_details(row, more) : 0;
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
                     (sizeof ROW_RECOVERY - 1) + recovery_len + more_len + (sizeof ROW_CLOSE - 1);
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
  if (details) {
    // The recovery's closing quote, the details, then the brace.
    buf[pos++] = '"';
    pos = put_piece(buf, pos, more, more_len);
    buf[pos++] = '}';
    return pos;
  }
  return put_piece(buf, pos, ROW_CLOSE, sizeof ROW_CLOSE - 1);
}

// The success document of a listing of n rows, in g_sync_buf.
void write_listing(const tds_row* rows, int n, bool details) {
  char* buf = g_sync_buf;
  size_t pos = sizeof LISTING_OPEN - 1;
  std::memcpy(buf, LISTING_OPEN, pos + 1);
  bool first = true;
  for (int k = 0; k < n; ++k) {
    const size_t end = append_row(buf, pos, rows[k], first, details);
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
  char why[TDS_ERR_SIZE];
  if (n <= 0 || check_columns(g_sync.meta, VERSION_KINDS, "version query", why) != nullptr || row.is_null[0]) {
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
  const bool details = g_sync.cfg.list_details != 0;
  int n = tds_exec(&conn, listing_statement(details, g_sync.cfg.list_system != 0), &g_sync.meta, rows, LISTING_ROWS);
  // A failed walk may have stored rows without saying how many.
  g_rows_written = n < 0 ? LISTING_ROWS : n;
  char why[TDS_ERR_SIZE];
  char kinds[sizeof LISTING_KINDS];
  std::snprintf(kinds, sizeof kinds, "%.*s", details ? LISTING_COLS : COL_STATE, LISTING_KINDS);
  // With no row there is no cell to misread.
  const char* wrong = n < 0 ? conn.err : n > 0 ? check_columns(g_sync.meta, kinds, "listing", why) : nullptr;
  if (wrong != nullptr) {
    write_failure(g_sync_buf, sizeof g_sync_buf, wrong);
    tds_close(&conn);
    return g_sync_buf;
  }

  write_listing(rows, n, details);
  tds_close(&conn);
  return g_sync_buf;
}

}  // extern "C"
