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
// Answer tokens handled (anything else ends the walk, where the rows stored
// so far are the result):
//   0x81 COLMETADATA   count (2), then per column: UserType (4), Flags (2),
//                      type code, rest of TYPE_INFO, name (B_VARCHAR)
//   0xD1 ROW           one value per column
//   0xD2 NBCROW        null bitmap of ncols / 8 rounded up, then the values
//                      of the columns whose bit is clear
//   0xAA ERROR         Length (2), Number (4), State, Class, MsgText
//   0xAB INFO          (US_VARCHAR), server, procedure, line: same layout
//   0xA9 ORDER         Length (2), skipped
//   0xE3 ENVCHANGE     Length (2), skipped
//   0x79 RETURNSTATUS  4 bytes, skipped
//   0xFD/0xFE/0xFF     DONE, DONEPROC, DONEINPROC: 12 bytes, skipped; success
//                      is decided by ERROR tokens alone
#include <cstdlib>
#include <cstring>

#include "tds_client/cursor.h"
#include "tds_client/tds_client.h"
#include "tds_client/type_codes.h"

namespace {

constexpr uint8_t TOKEN_RETURNSTATUS = 0x79;
constexpr uint8_t TOKEN_COLMETADATA = 0x81;
constexpr uint8_t TOKEN_ORDER = 0xA9;
constexpr uint8_t TOKEN_ERROR = 0xAA;
constexpr uint8_t TOKEN_INFO = 0xAB;
constexpr uint8_t TOKEN_ROW = 0xD1;
constexpr uint8_t TOKEN_NBCROW = 0xD2;
constexpr uint8_t TOKEN_ENVCHANGE = 0xE3;
constexpr uint8_t TOKEN_DONE = 0xFD;
constexpr uint8_t TOKEN_DONEPROC = 0xFE;
constexpr uint8_t TOKEN_DONEINPROC = 0xFF;

constexpr uint64_t RETURNSTATUS_LEN = 5;  // token byte included
constexpr uint64_t DONE_LEN = 13;         // token byte included
constexpr uint16_t NO_METADATA = 0xFFFF;
constexpr uint8_t MAX_INFO_CLASS = 10;    // ERROR tokens up to this class only inform
constexpr uint16_t MESSAGE_FIXED = 8;     // Number, State, Class, MsgText count

constexpr uint64_t COLUMN_FIXED = 7;      // UserType, Flags, type code

const uint8_t ALL_HEADERS[TDS_ALL_HEADERS_LEN] = {
    0x16, 0x00, 0x00, 0x00,  // total length
    0x12, 0x00, 0x00, 0x00,  // header length
    0x02, 0x00,              // transaction descriptor header
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x00, 0x00,  // outstanding requests
};

void set_text(char* err, const char* text) {
  size_t n = std::strlen(text);
  if (n > TDS_ERR_SIZE - 1) n = TDS_ERR_SIZE - 1;
  std::memmove(err, text, n);
  err[n] = 0;
}

// Appends a further server error to err after a line feed. The joined
// texts are cut before the first UTF-8 character that does not fit, and
// once one is cut nothing more is added: false then. A text of which
// nothing fits adds nothing, not even the line feed.
bool append_error(char* err, const char* text) {
  size_t have = std::strlen(err);
  if (have + 2 > TDS_ERR_SIZE - 1) return false;  // room for the line feed and one byte?
  size_t room = TDS_ERR_SIZE - 1 - have - 1;
  size_t n = std::strlen(text);
  bool whole = true;
  if (n > room) {
    whole = false;
    n = room;
    while (n > 0 && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80) --n;
  }
  if (n == 0) return false;
  err[have] = '\n';
  std::memcpy(err + have + 1, text, n);
  err[have + 1 + n] = 0;
  return whole;
}

// The parts of an ERROR or INFO body (the Length bytes after the length).
struct message {
  int32_t number;
  bool is_error;   // ERROR above class 10; the rest only inform
  bool has_text;   // the text lay inside the token and is in `text`
  char text[TDS_ERR_SIZE];
};

// Decodes a message body of `len` bytes. false: too short to hold one
// (Length 8 or less), to be skipped without effect.
bool decode_message(uint8_t token, const uint8_t* body, uint16_t len, message* m) {
  if (len <= MESSAGE_FIXED) return false;
  m->number = static_cast<int32_t>(le32(body));
  m->is_error = token == TOKEN_ERROR && body[5] > MAX_INFO_CLASS;
  uint16_t units = le16(body + 6);
  m->has_text = MESSAGE_FIXED + 2 * static_cast<uint32_t>(units) <= len;
  m->text[0] = 0;
  if (m->has_text) ucs2_to_utf8(body + MESSAGE_FIXED, 2 * static_cast<uint64_t>(units), m->text, TDS_ERR_SIZE);
  return true;
}

void deliver_info(const message& m, tds_info_fn cb, void* ctx) {
  if (!m.is_error && m.has_text && m.text[0] != 0 && cb != nullptr) cb(ctx, m.number, m.text);
}

bool has_length_word(uint8_t token) {
  return token == TOKEN_ERROR || token == TOKEN_INFO || token == TOKEN_ORDER ||
         token == TOKEN_ENVCHANGE;
}

bool is_done(uint8_t token) {
  return token == TOKEN_DONE || token == TOKEN_DONEPROC || token == TOKEN_DONEINPROC;
}

// ---- Column metadata ----------------------------------------------------------

// The TYPE_INFO after the type code. false: the code is not one the client
// reads (*unsupported) or its bytes run past the end.
bool read_type_info(tds_cursor& c, tds_col* col, bool* unsupported) {
  uint8_t b;
  uint16_t w;
  switch (col->type) {
    case TDS_TYPE_GUID:
    case TDS_TYPE_INTN:
    case TDS_TYPE_BITN:
    case TDS_TYPE_FLTN:
    case TDS_TYPE_MONEYN:
    case TDS_TYPE_DATETIMN:
      if (!rd_u8(c, &b)) return false;
      col->max_len = b;
      return true;
    case TDS_TYPE_DATEN:
      col->max_len = 3;
      return true;
    case TDS_TYPE_TIMEN:
    case TDS_TYPE_DATETIME2N:
    case TDS_TYPE_DATETIMEOFFSETN:
      if (!rd_u8(c, &b)) return false;
      col->scale = b;
      return true;
    case TDS_TYPE_INT4:
      col->max_len = 4;
      return true;
    case TDS_TYPE_DECIMALN:
    case TDS_TYPE_NUMERICN:
      if (!rd_u8(c, &b)) return false;
      col->max_len = b;
      return rd_u8(c, &col->precision) && rd_u8(c, &col->scale);
    case TDS_TYPE_BIGVARCHR:
    case TDS_TYPE_BIGCHAR:
    case TDS_TYPE_NVARCHAR:
    case TDS_TYPE_NCHAR:
      if (!rd_u16le(c, &w)) return false;
    {
      col->max_len = w;
      const uint8_t* coll;
      if (!rd_bytes(c, TDS_COLLATION_LEN, &coll)) return false;
      std::memcpy(col->collation, coll, TDS_COLLATION_LEN);
      return true;
    }
    default:
      *unsupported = true;
      return false;
  }
}

// COLMETADATA after its token byte. 1: read; 0: cut off before the count
// (ends the walk); -1: failure with err set.
int read_colmetadata(tds_cursor& c, tds_meta* meta, char* err) {
  uint16_t count;
  if (!rd_u16le(c, &count)) return 0;
  meta->ncols = 0;
  if (count == NO_METADATA) return 1;
  if (count > TDS_MAX_COLS) {
    set_text(err, "too many columns");
    return -1;
  }
  for (int i = 0; i < count; ++i) {
    tds_col* col = &meta->cols[i];
    const uint8_t* fixed;
    if (!rd_bytes(c, COLUMN_FIXED, &fixed)) {
      set_text(err, "bad colmeta");
      return -1;
    }
    col->type = fixed[6];
    col->max_len = 0;
    col->precision = 0;
    col->scale = 0;
    std::memset(col->collation, 0, sizeof col->collation);
    bool unsupported = false;
    if (!read_type_info(c, col, &unsupported)) {
      set_text(err, unsupported ? "unsupported column type" : "bad colmeta");
      return -1;
    }
    uint8_t units;
    const uint8_t* name;
    if (!rd_u8(c, &units) || !rd_bytes(c, 2 * static_cast<uint64_t>(units), &name)) {
      set_text(err, "bad colmeta");
      return -1;
    }
    ucs2_to_utf8(name, 2 * static_cast<uint64_t>(units), col->name, sizeof col->name);
  }
  meta->ncols = count;
  return 1;
}

// ---- Rows -------------------------------------------------------------------------

// ROW or NBCROW after its token byte, into the caller's next row or the
// scratch row. -1: failure with err set.
int read_row(tds_cursor& c, bool nbc, tds_walk* w, int32_t* stored) {
  const tds_meta* meta = w->meta;
  if (meta->ncols == 0) {
    set_text(w->err, "row before metadata");
    return -1;
  }
  const uint8_t* bitmap = nullptr;
  if (nbc && !rd_bytes(c, (static_cast<uint64_t>(meta->ncols) + 7) / 8, &bitmap)) {
    set_text(w->err, "bad nbcrow");
    return -1;
  }
  const bool keep = w->rows != nullptr && *stored < w->cap;
  tds_row* row = keep ? &w->rows[*stored] : w->scratch;
  const uint8_t* end = c.p + c.left;
  for (int i = 0; i < meta->ncols; ++i) {
    if (nbc && (bitmap[i / 8] >> (i % 8)) & 1) {
      row->is_null[i] = 1;
      row->cells[i][0] = 0;
      continue;
    }
    int n = read_value(c.p, end, &meta->cols[i], row->cells[i], &row->is_null[i]);
    if (n < 0 || !cur_skip(c, static_cast<uint64_t>(n))) {
      set_text(w->err, nbc ? "nbcrow parse failed" : "row parse failed");
      return -1;
    }
  }
  if (keep) ++*stored;
  return 0;
}

// ---- While the answer arrives ----------------------------------------------------

struct scan_state {
  uint64_t offset;  // where the next scan starts; everything before it is delivered
};

void on_packet(tds_conn* c, void* ctx) {
  scan_state* s = static_cast<scan_state*>(ctx);
  s->offset = tds_scan_info(c->rbuf, c->rlen, s->offset, c->info_cb, c->info_ctx);
}

}  // namespace

uint64_t tds_scan_info(const uint8_t* data, uint64_t len, uint64_t from, tds_info_fn cb,
                       void* ctx) {
  uint64_t pos = from;
  while (pos < len) {
    const uint8_t token = data[pos];
    const uint64_t left = len - pos;
    if (has_length_word(token)) {
      if (left < 3) break;
      const uint16_t body_len = le16(data + pos + 1);
      if (body_len > left - 3) break;
      if (token == TOKEN_ERROR || token == TOKEN_INFO) {
        message m;
        if (decode_message(token, data + pos + 3, body_len, &m)) deliver_info(m, cb, ctx);
      }
      pos += 3 + static_cast<uint64_t>(body_len);
    } else if (token == TOKEN_RETURNSTATUS) {
      if (left < RETURNSTATUS_LEN) break;
      pos += RETURNSTATUS_LEN;
    } else if (is_done(token)) {
      if (left < DONE_LEN) break;
      pos += DONE_LEN;
    } else {
      break;  // column metadata, rows, or a token without a length to skip by
    }
  }
  return pos;
}

int tds_walk_tokens(const uint8_t* data, uint64_t len, tds_walk* w) {
  w->meta->ncols = 0;
  int32_t stored = 0;
  int errors = 0;
  bool err_full = false;  // a cut error text ends the joining
  tds_cursor c{data, data != nullptr ? len : 0};
  while (c.left > 0) {
    const uint64_t token_at = len - c.left;
    uint8_t token;
    rd_u8(c, &token);
    if (token == TOKEN_COLMETADATA) {
      int r = read_colmetadata(c, w->meta, w->err);
      if (r < 0) return -1;
      if (r == 0) break;
    } else if (token == TOKEN_ROW || token == TOKEN_NBCROW) {
      if (read_row(c, token == TOKEN_NBCROW, w, &stored) != 0) return -1;
    } else if (has_length_word(token)) {
      uint16_t body_len;
      const uint8_t* body;
      if (!rd_u16le(c, &body_len) || !rd_bytes(c, body_len, &body)) break;
      if (token != TOKEN_ERROR && token != TOKEN_INFO) continue;
      message m;
      if (!decode_message(token, body, body_len, &m)) continue;
      if (!m.is_error) {
        // Delivered already if the scan saw it while the answer arrived.
        if (token_at >= w->info_done) deliver_info(m, w->info_cb, w->info_ctx);
        continue;
      }
      const char* text = m.has_text && m.text[0] != 0 ? m.text : "sql error";
      if (errors++ == 0) {
        set_text(w->err, text);
      } else if (!err_full) {
        err_full = !append_error(w->err, text);
      }
    } else if (token == TOKEN_RETURNSTATUS) {
      if (!cur_skip(c, RETURNSTATUS_LEN - 1)) break;
    } else if (is_done(token)) {
      if (!cur_skip(c, DONE_LEN - 1)) break;
    } else {
      // RETURNVALUE, COLINFO, TABNAME and anything unknown: a batch's
      // answer does not carry them, so the walk ends here with what it has
      // rather than guess at their layout.
      break;
    }
  }
  return errors != 0 ? -1 : stored;
}

int tds_exec(tds_conn* c, const char* sql, tds_meta* meta, tds_row* rows, int32_t cap) {
  c->err[0] = 0;
  if (sql == nullptr) sql = "";

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

  if (c->query_timeout_ms > 0) {
    c->deadline_ms = plat_mono_ms() + c->query_timeout_ms;
    c->deadline_text = "query timed out";
  }
  // Informational messages are handed on as their packets arrive, so a long
  // statement's progress is seen while it runs.
  scan_state scan{0};
  const int got = c->info_cb != nullptr ? tds_recv_each(c, on_packet, &scan) : tds_recv(c);
  if (c->query_timeout_ms > 0) {
    c->deadline_ms = 0;
    c->deadline_text = nullptr;
  }
  if (got != 0) {
    if (std::strcmp(c->err, "cancelled") == 0) {
      // Tell the server to stop; the caller closes the connection either way.
      tds_attention(c, 3000);
      tds_set_err(c, "cancelled");
    }
    return -1;
  }

  tds_meta own_meta;
  tds_row scratch;
  tds_walk w{};
  w.meta = meta != nullptr ? meta : &own_meta;
  w.rows = rows;
  w.cap = rows != nullptr ? cap : 0;
  w.scratch = &scratch;
  w.info_cb = c->info_cb;
  w.info_ctx = c->info_ctx;
  w.info_done = scan.offset;
  w.err = c->err;
  return tds_walk_tokens(c->rbuf, c->rlen, &w);
}
