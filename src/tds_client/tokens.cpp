// Length rules of the server's tokens and of the TYPE_INFO and values inside
// them. Integers are little-endian.
//
// Data types by how their values are sized:
//   fixed      NULL 0x1F (0), INT1 0x30 and BIT 0x32 (1), INT2 0x34 (2),
//              INT4 0x38, DATETIM4 0x3A, FLT4 0x3B, MONEY4 0x7A (4),
//              MONEY 0x3C, DATETIME 0x3D, FLT8 0x3E, INT8 0x7F (8);
//              no TYPE_INFO after the code
//   byte       GUID, INTN, BITN, DECIMALN, NUMERICN, FLTN, MONEYN, DATETIMN,
//              DATEN, TIMEN, DATETIME2N, DATETIMEOFFSETN and the old CHAR,
//              VARCHAR, BINARY, VARBINARY, DECIMAL, NUMERIC: a length byte,
//              then that many bytes (0: NULL)
//   ushort     BIGVARBIN, BIGVARCHR, BIGBINARY, BIGCHAR, NVARCHAR, NCHAR: a
//              2-byte length (0xFFFF: NULL); declared with maximum length
//              0xFFFF, chunked as below
//   chunked    XML, UDT and the (max) types: an 8-byte total (all ones:
//              NULL), then chunks of a 4-byte length and data, ended by an
//              empty chunk
//   long       TEXT, NTEXT, IMAGE: a text-pointer length byte (0: NULL),
//              the pointer, an 8-byte timestamp, a 4-byte length, the data
//   variant    SSVARIANT: a 4-byte length, then the data
#include <cstring>

#include "tds_client/tokens.h"
#include "tds_client/type_codes.h"

namespace {

constexpr uint8_t TYPE_NULL = 0x1F;
constexpr uint8_t TYPE_IMAGE = 0x22;
constexpr uint8_t TYPE_TEXT = 0x23;
constexpr uint8_t TYPE_VARBINARY = 0x25;
constexpr uint8_t TYPE_VARCHAR = 0x27;
constexpr uint8_t TYPE_BINARY = 0x2D;
constexpr uint8_t TYPE_CHAR = 0x2F;
constexpr uint8_t TYPE_INT1 = 0x30;
constexpr uint8_t TYPE_BIT = 0x32;
constexpr uint8_t TYPE_INT2 = 0x34;
constexpr uint8_t TYPE_DECIMAL = 0x37;
constexpr uint8_t TYPE_DATETIM4 = 0x3A;
constexpr uint8_t TYPE_FLT4 = 0x3B;
constexpr uint8_t TYPE_MONEY = 0x3C;
constexpr uint8_t TYPE_DATETIME = 0x3D;
constexpr uint8_t TYPE_FLT8 = 0x3E;
constexpr uint8_t TYPE_NUMERIC = 0x3F;
constexpr uint8_t TYPE_SSVARIANT = 0x62;
constexpr uint8_t TYPE_NTEXT = 0x63;
constexpr uint8_t TYPE_MONEY4 = 0x7A;
constexpr uint8_t TYPE_INT8 = 0x7F;
constexpr uint8_t TYPE_BIGVARBIN = 0xA5;
constexpr uint8_t TYPE_BIGBINARY = 0xAD;
constexpr uint8_t TYPE_UDT = 0xF0;
constexpr uint8_t TYPE_XML = 0xF1;

constexpr uint64_t CHUNKED_NULL = ~uint64_t(0);
constexpr uint16_t USHORT_NULL = 0xFFFF;
constexpr uint16_t NO_METADATA = 0xFFFF;
constexpr uint64_t COLUMN_FIXED = 7;       // UserType (4), Flags (2), type code
constexpr uint64_t TIMESTAMP_LEN = 8;      // of a TEXT, NTEXT or IMAGE value
constexpr uint8_t FEATURE_TERMINATOR = 0xFF;
constexpr uint8_t MAX_INFO_CLASS = 10;     // ERROR tokens up to this class only inform
constexpr uint64_t MESSAGE_FIXED = 8;      // Number, State, Class, MsgText count

enum class kind { unknown, fixed, byte_len, ushort_len, chunked, long_len, variant };

kind kind_of(uint8_t type, uint32_t* fixed_size) {
  switch (type) {
    case TYPE_NULL: *fixed_size = 0; return kind::fixed;
    case TYPE_INT1:
    case TYPE_BIT: *fixed_size = 1; return kind::fixed;
    case TYPE_INT2: *fixed_size = 2; return kind::fixed;
    case TDS_TYPE_INT4:
    case TYPE_DATETIM4:
    case TYPE_FLT4:
    case TYPE_MONEY4: *fixed_size = 4; return kind::fixed;
    case TYPE_MONEY:
    case TYPE_DATETIME:
    case TYPE_FLT8:
    case TYPE_INT8: *fixed_size = 8; return kind::fixed;
    case TDS_TYPE_GUID:
    case TDS_TYPE_INTN:
    case TDS_TYPE_BITN:
    case TDS_TYPE_DECIMALN:
    case TDS_TYPE_NUMERICN:
    case TDS_TYPE_FLTN:
    case TDS_TYPE_MONEYN:
    case TDS_TYPE_DATETIMN:
    case TDS_TYPE_DATEN:
    case TDS_TYPE_TIMEN:
    case TDS_TYPE_DATETIME2N:
    case TDS_TYPE_DATETIMEOFFSETN:
    case TYPE_CHAR:
    case TYPE_VARCHAR:
    case TYPE_BINARY:
    case TYPE_VARBINARY:
    case TYPE_DECIMAL:
    case TYPE_NUMERIC: return kind::byte_len;
    case TYPE_BIGVARBIN:
    case TDS_TYPE_BIGVARCHR:
    case TYPE_BIGBINARY:
    case TDS_TYPE_BIGCHAR:
    case TDS_TYPE_NVARCHAR:
    case TDS_TYPE_NCHAR: return kind::ushort_len;
    case TYPE_XML:
    case TYPE_UDT: return kind::chunked;
    case TYPE_TEXT:
    case TYPE_NTEXT:
    case TYPE_IMAGE: return kind::long_len;
    case TYPE_SSVARIANT: return kind::variant;
    default: return kind::unknown;
  }
}

bool has_collation(uint8_t type) {
  return tds_is_char_type(type) || type == TYPE_TEXT || type == TYPE_NTEXT;
}

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

tds_tok read_byte_len_info(tds_cursor& c, tds_col* col) {
  uint8_t b;
  switch (col->type) {
    case TDS_TYPE_DATEN:
      col->max_len = 3;
      return TDS_TOK_OK;
    case TDS_TYPE_TIMEN:
    case TDS_TYPE_DATETIME2N:
    case TDS_TYPE_DATETIMEOFFSETN:
      return need(rd_u8(c, &col->scale));
    case TDS_TYPE_DECIMALN:
    case TDS_TYPE_NUMERICN:
    case TYPE_DECIMAL:
    case TYPE_NUMERIC:
      if (!rd_u8(c, &b)) return TDS_TOK_SHORT;
      col->max_len = b;
      return need(rd_u8(c, &col->precision) && rd_u8(c, &col->scale));
    default:
      if (!rd_u8(c, &b)) return TDS_TOK_SHORT;
      col->max_len = b;
      return TDS_TOK_OK;
  }
}

tds_tok read_collation(tds_cursor& c, tds_col* col) {
  const uint8_t* coll;
  if (!rd_bytes(c, TDS_COLLATION_LEN, &coll)) return TDS_TOK_SHORT;
  std::memcpy(col->collation, coll, TDS_COLLATION_LEN);
  return TDS_TOK_OK;
}

// XML: a schema-present byte, then (if set) database, owner and collection.
// UDT: maximum length, database, schema, type and assembly names.
tds_tok read_chunked_info(tds_cursor& c, tds_col* col) {
  col->max_len = TDS_MAX_LEN_CHUNKED;
  if (col->type == TYPE_XML) {
    uint8_t present;
    if (!rd_u8(c, &present)) return TDS_TOK_SHORT;
    if (present == 0) return TDS_TOK_OK;
    return need(skip_b_varchar(c) && skip_b_varchar(c) && skip_us_varchar(c));
  }
  uint16_t max;
  return need(rd_u16le(c, &max) && skip_b_varchar(c) && skip_b_varchar(c) && skip_b_varchar(c) &&
              skip_us_varchar(c));
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
  uint32_t fixed = 0;
  uint16_t w;
  switch (kind_of(col->type, &fixed)) {
    case kind::fixed:
      col->max_len = fixed;
      return TDS_TOK_OK;
    case kind::byte_len:
      return read_byte_len_info(c, col);
    case kind::ushort_len:
      if (!rd_u16le(c, &w)) return TDS_TOK_SHORT;
      col->max_len = w;
      return has_collation(col->type) ? read_collation(c, col) : TDS_TOK_OK;
    case kind::long_len:
    case kind::variant:
      if (!rd_u32le(c, &col->max_len)) return TDS_TOK_SHORT;
      return has_collation(col->type) ? read_collation(c, col) : TDS_TOK_OK;
    case kind::chunked:
      return read_chunked_info(c, col);
    case kind::unknown:
      break;
  }
  return TDS_TOK_BAD;
}

tds_tok tds_skip_value(tds_cursor& c, const tds_col* col) {
  uint32_t fixed = 0;
  uint8_t b;
  uint16_t w;
  uint32_t n;
  switch (kind_of(col->type, &fixed)) {
    case kind::fixed:
      return need(cur_skip(c, fixed));
    case kind::byte_len:
      return need(rd_u8(c, &b) && cur_skip(c, b));
    case kind::ushort_len:
      if (col->max_len == TDS_MAX_LEN_CHUNKED) return skip_chunked(c);
      if (!rd_u16le(c, &w)) return TDS_TOK_SHORT;
      return need(w == USHORT_NULL || cur_skip(c, w));
    case kind::chunked:
      return skip_chunked(c);
    case kind::long_len:
      return skip_long(c);
    case kind::variant:
      return need(rd_u32le(c, &n) && cur_skip(c, n));
    case kind::unknown:
      break;
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
    uint32_t unused;
    if (kind_of(col->type, &unused) == kind::long_len) {
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

bool tds_decode_message(uint8_t token, const uint8_t* body, uint64_t len, tds_server_message* m) {
  if (len <= MESSAGE_FIXED) return false;
  m->number = static_cast<int32_t>(le32(body));
  m->is_error = token == TDS_TOKEN_ERROR && body[5] > MAX_INFO_CLASS;
  const uint64_t units = le16(body + 6);
  m->has_text = MESSAGE_FIXED + 2 * units <= len;
  m->text[0] = 0;
  if (m->has_text) ucs2_to_utf8(body + MESSAGE_FIXED, 2 * units, m->text, TDS_ERR_SIZE);
  return true;
}
