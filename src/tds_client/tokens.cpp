// Length rules of the server's tokens and of the TYPE_INFO and values inside
// them, the layouts of each data type taken from its rule (type_codes.h).
// Integers are little-endian.
#include <cstring>

#include "tds_client/tokens.h"
#include "tds_client/type_codes.h"

namespace {

constexpr uint64_t CHUNKED_NULL = ~uint64_t(0);
constexpr uint16_t USHORT_NULL = 0xFFFF;
constexpr uint16_t NO_METADATA = 0xFFFF;
constexpr uint64_t COLUMN_FIXED = 7;       // UserType (4), Flags (2), type code
constexpr uint64_t TIMESTAMP_LEN = 8;      // of a TEXT, NTEXT or IMAGE value
constexpr uint8_t FEATURE_TERMINATOR = 0xFF;
constexpr uint8_t MAX_INFO_CLASS = 10;     // ERROR tokens up to this class only inform
constexpr uint64_t MESSAGE_BODY_AT = 3;    // ERROR and INFO: token byte, then a 2-byte Length
constexpr uint64_t MESSAGE_FIXED = 8;      // Number, State, Class, MsgText count

tds_tok need(bool ok) { return ok ? TDS_TOK_OK : TDS_TOK_SHORT; }

// B_VARCHAR and US_VARCHAR: a count of UTF-16 units, then the units.
bool skip_b_varchar(tds_cursor& c) {
  uint8_t n;
  return rd_u8(c, &n) && cur_skip(c, 2 * static_cast<uint64_t>(n));
}
bool skip_us_varchar(tds_cursor& c) {
  uint16_t n;
  return rd_u16le(c, &n) && cur_skip(c, 2 * static_cast<uint64_t>(n));
}

tds_tok read_collation(tds_cursor& c, tds_col* col) {
  const uint8_t* coll;
  if (!rd_bytes(c, TDS_COLLATION_LEN, &coll)) return TDS_TOK_SHORT;
  std::memcpy(col->collation, coll, TDS_COLLATION_LEN);
  return TDS_TOK_OK;
}

// XML: a schema-present byte, then (if set) database, owner and collection.
tds_tok read_xml_info(tds_cursor& c) {
  uint8_t present;
  if (!rd_u8(c, &present)) return TDS_TOK_SHORT;
  if (present == 0) return TDS_TOK_OK;
  return need(skip_b_varchar(c) && skip_b_varchar(c) && skip_us_varchar(c));
}

// UDT: maximum length, database, schema, type and assembly names.
tds_tok read_udt_info(tds_cursor& c) {
  uint16_t max;
  return need(rd_u16le(c, &max) && skip_b_varchar(c) && skip_b_varchar(c) && skip_b_varchar(c) &&
              skip_us_varchar(c));
}

tds_tok read_u16_max(tds_cursor& c, tds_col* col) {
  uint16_t w;
  if (!rd_u16le(c, &w)) return TDS_TOK_SHORT;
  col->max_len = w;
  return TDS_TOK_OK;
}

tds_tok read_u8_max(tds_cursor& c, tds_col* col) {
  uint8_t b;
  if (!rd_u8(c, &b)) return TDS_TOK_SHORT;
  col->max_len = b;
  return TDS_TOK_OK;
}

// The TYPE_INFO after the code, by the form the type's rule names.
tds_tok read_info_form(tds_cursor& c, const tds_type_rule* r, tds_col* col) {
  switch (r->info) {
    case tds_info_form::none: col->max_len = r->fixed_size; return TDS_TOK_OK;
    case tds_info_form::length: return read_u8_max(c, col);
    case tds_info_form::scale: return need(rd_u8(c, &col->scale));
    case tds_info_form::decimal:
      if (read_u8_max(c, col) != TDS_TOK_OK) return TDS_TOK_SHORT;
      return need(rd_u8(c, &col->precision) && rd_u8(c, &col->scale));
    case tds_info_form::ushort: return read_u16_max(c, col);
    case tds_info_form::ushort_coll:
      return read_u16_max(c, col) == TDS_TOK_OK ? read_collation(c, col) : TDS_TOK_SHORT;
    case tds_info_form::long_len: return need(rd_u32le(c, &col->max_len));
    case tds_info_form::long_coll:
      return rd_u32le(c, &col->max_len) ? read_collation(c, col) : TDS_TOK_SHORT;
    case tds_info_form::xml: col->max_len = TDS_MAX_LEN_CHUNKED; return read_xml_info(c);
    case tds_info_form::udt: col->max_len = TDS_MAX_LEN_CHUNKED; return read_udt_info(c);
  }
  return TDS_TOK_BAD;
}

tds_tok skip_chunked(tds_cursor& c) {
  const uint8_t* total;
  if (!rd_bytes(c, 8, &total)) return TDS_TOK_SHORT;
  if ((static_cast<uint64_t>(le32(total + 4)) << 32 | le32(total)) == CHUNKED_NULL) return TDS_TOK_OK;
  for (;;) {
    uint32_t n;
    if (!rd_u32le(c, &n)) return TDS_TOK_SHORT;
    if (n == 0) return TDS_TOK_OK;
    if (!cur_skip(c, n)) return TDS_TOK_SHORT;
  }
}

tds_tok skip_long(tds_cursor& c) {
  uint8_t ptr_len;
  if (!rd_u8(c, &ptr_len)) return TDS_TOK_SHORT;
  if (ptr_len == 0) return TDS_TOK_OK;  // NULL
  uint32_t n;
  return need(cur_skip(c, ptr_len + TIMESTAMP_LEN) && rd_u32le(c, &n) && cur_skip(c, n));
}

bool is_row(uint8_t token) { return token == TDS_TOKEN_ROW || token == TDS_TOKEN_NBCROW; }

bool has_length_word(uint8_t token) {
  switch (token) {
    case TDS_TOKEN_TABNAME:
    case TDS_TOKEN_COLINFO:
    case TDS_TOKEN_ORDER:
    case TDS_TOKEN_ERROR:
    case TDS_TOKEN_INFO:
    case TDS_TOKEN_LOGINACK:
    case TDS_TOKEN_ENVCHANGE:
    case TDS_TOKEN_SSPI: return true;
    default: return false;
  }
}

// FEATUREEXTACK after its token byte: (FeatureId, 4-byte length, data)
// options until the terminator byte.
tds_tok skip_feature_ack(tds_cursor& c) {
  for (;;) {
    uint8_t id;
    if (!rd_u8(c, &id)) return TDS_TOK_SHORT;
    if (id == FEATURE_TERMINATOR) return TDS_TOK_OK;
    uint32_t n;
    if (!rd_u32le(c, &n) || !cur_skip(c, n)) return TDS_TOK_SHORT;
  }
}

// RETURNVALUE after its token byte: ordinal, parameter name, status, user
// type, flags, TYPE_INFO, then one value of that type.
tds_tok skip_return_value(tds_cursor& c) {
  if (!cur_skip(c, 2) || !skip_b_varchar(c) || !cur_skip(c, 1 + 6)) return TDS_TOK_SHORT;
  tds_col col{};
  if (!rd_u8(c, &col.type)) return TDS_TOK_SHORT;
  tds_tok t = tds_read_type_info(c, &col);
  return t != TDS_TOK_OK ? t : tds_skip_value(c, &col);
}

}  // namespace

tds_tok tds_read_type_info(tds_cursor& c, tds_col* col) {
  col->max_len = 0;
  col->precision = 0;
  col->scale = 0;
  std::memset(col->collation, 0, sizeof col->collation);
  const tds_type_rule* r = tds_type_rule_of(col->type);
  return r != nullptr ? read_info_form(c, r, col) : TDS_TOK_BAD;
}

tds_tok tds_skip_value(tds_cursor& c, const tds_col* col) {
  const tds_type_rule* r = tds_type_rule_of(col->type);
  if (r == nullptr) return TDS_TOK_BAD;
  uint8_t b;
  uint16_t w;
  uint32_t n;
  switch (r->value) {
    case tds_value_form::fixed:
      return need(cur_skip(c, r->fixed_size));
    case tds_value_form::byte_len:
      return need(rd_u8(c, &b) && cur_skip(c, b));
    case tds_value_form::ushort:
      if (col->max_len == TDS_MAX_LEN_CHUNKED) return skip_chunked(c);
      if (!rd_u16le(c, &w)) return TDS_TOK_SHORT;
      return need(w == USHORT_NULL || cur_skip(c, w));
    case tds_value_form::chunked:
      return skip_chunked(c);
    case tds_value_form::long_len:
      return skip_long(c);
    case tds_value_form::variant:
      return need(rd_u32le(c, &n) && cur_skip(c, n));
  }
  return TDS_TOK_BAD;
}

tds_tok tds_read_colmetadata(tds_cursor& c, tds_meta* meta, bool (*accept)(uint8_t type),
                             const char** why) {
  *why = "malformed response";
  meta->ncols = 0;
  uint16_t count;
  if (!rd_u16le(c, &count)) return TDS_TOK_SHORT;
  if (count == NO_METADATA) return TDS_TOK_OK;
  if (count > TDS_MAX_COLS) {
    *why = "too many columns";
    return TDS_TOK_BAD;
  }
  for (int i = 0; i < count; ++i) {
    tds_col* col = &meta->cols[i];
    const uint8_t* fixed;
    if (!rd_bytes(c, COLUMN_FIXED, &fixed)) return TDS_TOK_SHORT;
    col->type = fixed[6];
    if (accept != nullptr && !accept(col->type)) {
      *why = "unsupported column type";
      return TDS_TOK_BAD;
    }
    const tds_tok t = tds_read_type_info(c, col);
    if (t != TDS_TOK_OK) return t;
    if (tds_type_rule_of(col->type)->value == tds_value_form::long_len) {
      // The table a TEXT, NTEXT or IMAGE column comes from: parts of a name.
      uint8_t parts;
      if (!rd_u8(c, &parts)) return TDS_TOK_SHORT;
      for (int k = 0; k < parts; ++k)
        if (!skip_us_varchar(c)) return TDS_TOK_SHORT;
    }
    uint8_t units;
    const uint8_t* name;
    if (!rd_u8(c, &units) || !rd_bytes(c, 2 * static_cast<uint64_t>(units), &name))
      return TDS_TOK_SHORT;
    ucs2_to_utf8(name, 2 * static_cast<uint64_t>(units), col->name, sizeof col->name);
  }
  meta->ncols = count;
  return TDS_TOK_OK;
}

tds_tok tds_row_size(const uint8_t* p, uint64_t left, const tds_meta* meta, uint64_t* size) {
  if (left == 0) return TDS_TOK_SHORT;
  if (meta == nullptr || meta->ncols <= 0 || !is_row(p[0])) return TDS_TOK_BAD;
  tds_cursor c{p + 1, left - 1};
  const uint8_t* bitmap = nullptr;
  if (p[0] == TDS_TOKEN_NBCROW &&
      !rd_bytes(c, (static_cast<uint64_t>(meta->ncols) + 7) / 8, &bitmap))
    return TDS_TOK_SHORT;
  for (int i = 0; i < meta->ncols; ++i) {
    if (bitmap != nullptr && ((bitmap[i / 8] >> (i % 8)) & 1) != 0) continue;
    const tds_tok t = tds_skip_value(c, &meta->cols[i]);
    if (t != TDS_TOK_OK) return t;
  }
  *size = left - c.left;
  return TDS_TOK_OK;
}

tds_tok tds_token_size(const uint8_t* p, uint64_t left, const tds_meta* meta, uint64_t* size) {
  if (left == 0) return TDS_TOK_SHORT;
  const uint8_t token = p[0];
  if (is_row(token)) return tds_row_size(p, left, meta, size);
  tds_cursor c{p + 1, left - 1};
  tds_tok t = TDS_TOK_OK;
  if (token == TDS_TOKEN_RETURNSTATUS) {
    t = need(cur_skip(c, 4));
  } else if (tds_is_done(token)) {
    t = need(cur_skip(c, TDS_DONE_LEN - 1));
  } else if (has_length_word(token)) {
    uint16_t n;
    t = need(rd_u16le(c, &n) && cur_skip(c, n));
  } else if (token == TDS_TOKEN_SESSIONSTATE || token == TDS_TOKEN_FEDAUTHINFO) {
    uint32_t n;
    t = need(rd_u32le(c, &n) && cur_skip(c, n));
  } else if (token == TDS_TOKEN_FEATUREEXTACK) {
    t = skip_feature_ack(c);
  } else if (token == TDS_TOKEN_RETURNVALUE) {
    t = skip_return_value(c);
  } else if (token == TDS_TOKEN_COLMETADATA) {
    tds_meta own;
    const char* why;
    t = tds_read_colmetadata(c, &own, nullptr, &why);
  } else {
    t = TDS_TOK_BAD;  // compute results, or a byte that names no token
  }
  if (t == TDS_TOK_OK) *size = left - c.left;
  return t;
}

bool tds_decode_message(const uint8_t* tok, uint64_t size, tds_server_message* m) {
  if (size <= MESSAGE_BODY_AT + MESSAGE_FIXED) return false;
  const uint8_t* body = tok + MESSAGE_BODY_AT;
  const uint64_t len = size - MESSAGE_BODY_AT;
  m->number = static_cast<int32_t>(le32(body));
  m->is_error = tok[0] == TDS_TOKEN_ERROR && body[5] > MAX_INFO_CLASS;
  const uint64_t units = le16(body + 6);
  m->has_text = MESSAGE_FIXED + 2 * units <= len;
  m->text[0] = 0;
  if (m->has_text) ucs2_to_utf8(body + MESSAGE_FIXED, 2 * units, m->text, TDS_ERR_SIZE);
  return true;
}
