// SQL batches and the decoding of their answers.
//
// SQL batch payload (packet type 1), integers little-endian:
//   0   4  ALL_HEADERS total length      22
//   4   4  header length                 18
//   8   2  header type                   2 (transaction descriptor)
//   10  8  transaction descriptor        0
//   18  4  outstanding request count     1
//   22  n  SQL text, UTF-16LE, no terminator
//
// The answer is walked as it arrives, one whole token at a time (sizes from
// tokens.h), so informational messages reach the callback while a long
// statement runs and the bytes held stay those of one incomplete token.
// Tokens the walk acts on:
//   0x81 COLMETADATA   the column descriptions of the rows that follow
//   0xD1 ROW           one value per column
//   0xD2 NBCROW        null bitmap of ncols / 8 rounded up, then the values
//                      of the columns whose bit is clear
//   0xAA ERROR         Length (2), Number (4), State, Class, MsgText
//   0xAB INFO          (US_VARCHAR), server, procedure, line: same layout
//   0xFD/0xFE          DONE, DONEPROC: the one without the MORE bit ends the
//                      answer; its ERROR bit fails the statement even when
//                      no error text came with it
// Every other token of the protocol is skipped by its length; a byte that
// names no token the walk can size ends the statement as malformed.
#include <cstdlib>
#include <cstring>

#include "tds_client/cursor.h"
#include "tds_client/tds_client.h"
#include "tds_client/tokens.h"
#include "tds_client/type_codes.h"

namespace {

// An answer the caller keeps rows or metadata of is bounded as a whole; a
// statement run for its effect alone is consumed as it arrives, so only
// the incomplete token at the end of what has arrived is held.
constexpr uint64_t RESULT_CAP = TDS_RESULT_CAP;
constexpr uint64_t HELD_TOKEN_CAP = 1u << 20;

const uint8_t ALL_HEADERS[TDS_ALL_HEADERS_LEN] = {
    0x16, 0x00, 0x00, 0x00,  // total length
    0x12, 0x00, 0x00, 0x00,  // header length
    0x02, 0x00,              // transaction descriptor header
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x00, 0x00,  // outstanding requests
};

// Appends a further server error to err after a line feed. The joined
// texts are cut before the first UTF-8 character that does not fit, and
// once one is cut nothing more is added: false then. A text of which
// nothing fits adds nothing, not even the line feed.
bool append_error(char* err, const char* text) {
  const size_t have = std::strlen(err);
  if (have + 2 > TDS_ERR_SIZE - 1) return false;  // room for the line feed and one byte?
  char* at = err + have + 1;
  const bool whole = utf8_copy_cut(at, TDS_ERR_SIZE - have - 1, text);
  if (at[0] == 0) return false;
  err[have] = '\n';
  return whole;
}

// Several server errors are joined, in order, by line feeds.
void note_error(tds_walk* w, const char* text) {
  if (w->errors++ == 0) {
    tds_err_text(w->err, text);
  } else if (!w->err_full) {
    w->err_full = !append_error(w->err, text);
  }
}

// The walk is over with a text of its own: nothing more is consumed.
int64_t fail_walk(tds_walk* w, const char* text) {
  tds_err_text(w->err, text);
  w->failed = true;
  return -1;
}

// ---- One token at a time ------------------------------------------------------------
// Each takes the whole token (token byte included) and returns its size,
// 0 when it is not all there yet, or -1 when the walk fails (err set).

int64_t take_colmetadata(tds_walk* w, const uint8_t* p, uint64_t left) {
  tds_cursor c{p + 1, left - 1};
  const char* why;
  const tds_tok t = tds_read_colmetadata(c, w->meta, tds_renders, &why);
  if (t == TDS_TOK_SHORT) return 0;
  if (t == TDS_TOK_BAD) return fail_walk(w, why);
  return static_cast<int64_t>(left - c.left);
}

// ROW or NBCROW into the caller's next row or the scratch row. Each value
// is sized first, so read_value sees exactly its bytes.
int64_t take_row(tds_walk* w, const uint8_t* p, uint64_t left) {
  const tds_meta* meta = w->meta;
  const bool nbc = p[0] == TDS_TOKEN_NBCROW;
  if (meta->ncols == 0) return fail_walk(w, "row before metadata");
  uint64_t size = 0;
  const tds_tok t = tds_row_size(p, left, meta, &size);
  if (t == TDS_TOK_SHORT) return 0;
  if (t == TDS_TOK_BAD) return fail_walk(w, "malformed response");

  tds_cursor c{p + 1, size - 1};
  const uint8_t* bitmap = nullptr;
  if (nbc) rd_bytes(c, (static_cast<uint64_t>(meta->ncols) + 7) / 8, &bitmap);
  const bool keep = w->rows != nullptr && w->stored < w->cap;
  tds_row* row = keep ? &w->rows[w->stored] : w->scratch;
  for (int i = 0; i < meta->ncols; ++i) {
    if (nbc && (bitmap[i / 8] >> (i % 8)) & 1) {
      row->is_null[i] = 1;
      row->cells[i][0] = 0;
      continue;
    }
    tds_cursor v = c;
    tds_skip_value(v, &meta->cols[i]);  // cannot fail: the row was sized
    const uint64_t vlen = c.left - v.left;
    const int n = read_value(c.p, c.p + vlen, &meta->cols[i], row->cells[i], &row->is_null[i]);
    if (n < 0 || static_cast<uint64_t>(n) != vlen)
      return fail_walk(w, nbc ? "nbcrow parse failed" : "row parse failed");
    c = v;
  }
  if (keep) {
    ++w->stored;
  } else if (w->row_cb != nullptr) {
    const char* why = w->row_cb(w->row_ctx, meta, row);
    if (why != nullptr) return fail_walk(w, why);
    ++w->stored;
  }
  return static_cast<int64_t>(size);
}

int64_t take_message(tds_walk* w, const uint8_t* p, uint64_t left) {
  uint64_t size = 0;
  if (tds_token_size(p, left, nullptr, &size) != TDS_TOK_OK) return 0;
  tds_server_message m;
  if (!tds_decode_message(p, size, &m)) return static_cast<int64_t>(size);
  if (m.is_error) {
    if (w->errors == 0) w->first_error = m.number;
    note_error(w, m.has_text && m.text[0] != 0 ? m.text : "sql error");
    if (w->error_cb != nullptr) w->error_cb(w->error_ctx, m.number, m.has_text && m.text[0] != 0 ? m.text : "sql error");
  } else if (m.has_text && m.text[0] != 0 && w->info_cb != nullptr) {
    w->info_cb(w->info_ctx, m.number, m.text);
  }
  return static_cast<int64_t>(size);
}

// DONE and DONEPROC without the MORE bit end the answer. Their ERROR bit
// alone, with no error text before it, still fails the statement.
int64_t take_done(tds_walk* w, const uint8_t* p, uint64_t left) {
  if (left < TDS_DONE_LEN) return 0;
  const uint16_t status = le16(p + 1);
  if (p[0] != TDS_TOKEN_DONEINPROC && (status & TDS_DONE_MORE) == 0) {
    w->ended = true;
    if ((status & TDS_DONE_ERROR) != 0 && w->errors == 0) note_error(w, "sql error");
  }
  return static_cast<int64_t>(TDS_DONE_LEN);
}

int64_t take_other(tds_walk* w, const uint8_t* p, uint64_t left) {
  uint64_t size = 0;
  const tds_tok t = tds_token_size(p, left, w->meta, &size);
  if (t == TDS_TOK_SHORT) return 0;
  if (t == TDS_TOK_BAD) return fail_walk(w, "malformed response");
  return static_cast<int64_t>(size);
}

int64_t take_token(tds_walk* w, const uint8_t* p, uint64_t left) {
  switch (p[0]) {
    case TDS_TOKEN_COLMETADATA: return take_colmetadata(w, p, left);
    case TDS_TOKEN_ROW:
    case TDS_TOKEN_NBCROW: return take_row(w, p, left);
    case TDS_TOKEN_ERROR:
    case TDS_TOKEN_INFO: return take_message(w, p, left);
    case TDS_TOKEN_DONE:
    case TDS_TOKEN_DONEPROC:
    case TDS_TOKEN_DONEINPROC: return take_done(w, p, left);
    default: return take_other(w, p, left);
  }
}

// ---- While the answer arrives ----------------------------------------------------

int on_packet(tds_conn* c, void* ctx) {
  tds_walk* w = static_cast<tds_walk*>(ctx);
  const int64_t used = tds_walk_feed(w, c->rbuf, c->rlen);
  if (used < 0) return -1;
  tds_rbuf_drop(c, static_cast<uint64_t>(used));
  return 0;
}

}  // namespace

void tds_walk_begin(tds_walk* w) {
  w->meta->ncols = 0;
  w->stored = 0;
  w->errors = 0;
  w->first_error = 0;
  w->err_full = false;
  w->ended = false;
  w->failed = false;
}

int64_t tds_walk_feed(tds_walk* w, const uint8_t* data, uint64_t len) {
  if (w->failed) return -1;
  uint64_t pos = 0;
  while (pos < len) {
    // Whatever follows the final DONE is not part of this statement's answer.
    if (w->ended) return static_cast<int64_t>(len);
    const int64_t n = take_token(w, data + pos, len - pos);
    if (n < 0) return -1;
    if (n == 0) break;
    pos += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(pos);
}

int tds_walk_end(tds_walk* w, uint64_t unread) {
  if (w->failed) return -1;
  if (w->errors != 0) return -1;
  if (unread != 0 || !w->ended) {
    tds_err_text(w->err, "response ended early");
    return -1;
  }
  return w->stored;
}

int tds_walk_tokens(const uint8_t* data, uint64_t len, tds_walk* w) {
  tds_walk_begin(w);
  const int64_t used = tds_walk_feed(w, data, data != nullptr ? len : 0);
  if (used < 0) return -1;
  return tds_walk_end(w, (data != nullptr ? len : 0) - static_cast<uint64_t>(used));
}

// The metadata of a caller that keeps none, and the row that rows not kept
// are decoded into.
struct tds_exec_space {
  tds_meta meta;
  tds_row scratch;
};

namespace {

// The connection's space, made on its first statement and left as it
// comes: the walk sets the column count before anything is read, and every
// cell of a row is decoded before the row is handed on. Not calloc: once
// the allocator hands out such a block from its heap rather than as fresh
// pages (it does after the first is freed), it zeroes all 270 KiB on every
// connection.
tds_exec_space* exec_space(tds_conn* c) {
  if (c->exec_space == nullptr)
    c->exec_space = static_cast<tds_exec_space*>(std::malloc(sizeof(tds_exec_space)));
  if (c->exec_space == nullptr) tds_set_err(c, "out of memory");
  return c->exec_space;
}

}  // namespace

namespace {

int exec_walk(tds_conn* c, const char* sql, tds_meta* meta, tds_row* rows, int32_t cap, tds_row_fn on_row,
              void* row_ctx) {
  c->err[0] = 0;
  c->err_number = 0;
  if (sql == nullptr) sql = "";
  tds_exec_space* space = exec_space(c);
  if (space == nullptr) return -1;

  const uint64_t sql_len = std::strlen(sql);
  const uint64_t text_cap = 4 * sql_len;  // room for any UTF-8 text once converted
  uint8_t* payload = static_cast<uint8_t*>(std::malloc(TDS_ALL_HEADERS_LEN + text_cap));
  if (payload == nullptr) {
    tds_set_err(c, "out of memory");
    return -1;
  }
  std::memcpy(payload, ALL_HEADERS, TDS_ALL_HEADERS_LEN);
  const uint64_t n = utf8_to_ucs2(sql, payload + TDS_ALL_HEADERS_LEN, text_cap);
  const int sent = tds_send(c, TDS_PKT_SQL_BATCH, payload, TDS_ALL_HEADERS_LEN + n);
  std::free(payload);
  if (sent != 0) return -1;

  tds_walk w{};
  w.meta = meta != nullptr ? meta : &space->meta;
  w.rows = rows;
  w.cap = rows != nullptr ? cap : 0;
  w.scratch = &space->scratch;
  w.info_cb = c->info_cb;
  w.info_ctx = c->info_ctx;
  w.error_cb = c->error_cb;
  w.error_ctx = c->error_ctx;
  w.row_cb = on_row;
  w.row_ctx = row_ctx;
  w.err = c->err;
  tds_walk_begin(&w);

  if (c->query_timeout_ms > 0) {
    c->deadline_ms = plat_mono_ms() + c->query_timeout_ms;
    c->deadline_text = "query timed out";
  }
  const bool keeps_result = meta != nullptr || rows != nullptr;
  const tds_recv_caps caps = keeps_result ? tds_recv_caps{RESULT_CAP, RESULT_CAP}
                                          : tds_recv_caps{0, HELD_TOKEN_CAP};
  const int got = tds_recv_each(c, caps, on_packet, &w);
  if (c->query_timeout_ms > 0) {
    c->deadline_ms = 0;
    c->deadline_text = nullptr;
  }
  if (got != 0) {
    if (c->rx_stop == TDS_STOP_CANCELLED) {
      // Tell the server to stop; the caller closes the connection either way.
      tds_attention(c, 3000);
      tds_set_err(c, "cancelled");
    }
    return -1;
  }
  const int result = tds_walk_end(&w, c->rlen);
  c->err_number = w.first_error;
  return result;
}

}  // namespace

int tds_exec(tds_conn* c, const char* sql, tds_meta* meta, tds_row* rows, int32_t cap) {
  return exec_walk(c, sql, meta, rows, cap, nullptr, nullptr);
}

int tds_exec_rows(tds_conn* c, const char* sql, tds_row_fn on_row, void* ctx) {
  return exec_walk(c, sql, nullptr, nullptr, 0, on_row, ctx);
}
