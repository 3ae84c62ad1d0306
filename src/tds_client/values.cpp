// Rendering of one column value of a row as text into its cell.
//
// The types rendered and the layout of their values come from the type
// table (type_codes.h): values with a length byte, the fixed sizes, the
// 2-byte-length character and binary types, whole or chunked, and
// sql_variant as its base value. A 2-byte length of 0xFFFF is NULL and 0 an
// empty text; BIGVARCHR and BIGCHAR text is in the code page of the
// column's collation, the others in UTF-16LE. Dates and times show as
// "YYYY-MM-DD HH:MM:SS[.fff]", identifiers in the server's upper-case
// form, binary as "0x" and hexadecimal digits, money with four places.
//
// Every read is checked against what is left before it happens, and the
// cell is written only once the whole value has been found in range, so a
// value that cannot be read leaves an empty cell behind.
#include <climits>
#include <cstdio>
#include <cstring>

#include "tds_client/cursor.h"
#include "tds_client/float_text.h"
#include "tds_client/tds_client.h"
#include "tds_client/type_codes.h"

namespace {

constexpr uint64_t CHUNKED_NULL = ~uint64_t(0);
constexpr uint64_t CHUNKED_UNKNOWN_LEN = ~uint64_t(0) - 1;

// Two decimal digits per table entry: integer formatting is on the path of
// every numeric cell, so it avoids the general-purpose formatter.
struct digit_pairs {
  char d[200];
  constexpr digit_pairs() : d() {
    for (int i = 0; i < 100; ++i) {
      d[2 * i] = static_cast<char>('0' + i / 10);
      d[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};
constexpr digit_pairs DIGITS;

// Writes the digits of v right-aligned so that they end at `end`; returns
// the first digit.
char* digits_back(char* end, uint64_t v) {
  char* t = end;
  while (v >= 100) {
    unsigned r = static_cast<unsigned>(v % 100);
    v /= 100;
    t -= 2;
    t[0] = DIGITS.d[2 * r];
    t[1] = DIGITS.d[2 * r + 1];
  }
  if (v >= 10) {
    t -= 2;
    t[0] = DIGITS.d[2 * v];
    t[1] = DIGITS.d[2 * v + 1];
  } else {
    *--t = static_cast<char>('0' + v);
  }
  return t;
}

// Writes v in decimal, at least `width` digits (zero-padded on the left);
// returns one past the last digit. width is at most 20.
char* put_u64(char* out, uint64_t v, int width = 1) {
  char tmp[20];
  char* first = digits_back(tmp + sizeof tmp, v);
  int n = static_cast<int>(tmp + sizeof tmp - first);
  while (n < width) {
    *out++ = '0';
    --width;
  }
  std::memcpy(out, first, static_cast<size_t>(n));
  return out + n;
}

void put_i64(char* cell, int64_t v) {
  char* o = cell;
  uint64_t u = static_cast<uint64_t>(v);
  if (v < 0) {
    *o++ = '-';
    u = 0 - u;  // the smallest value has no positive counterpart in int64
  }
  *put_u64(o, u) = 0;
}

// Little-endian unsigned number of n <= 8 bytes.
uint64_t le_uint(const uint8_t* p, uint64_t n) {
  uint64_t v = 0;
  for (uint64_t i = n; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

// Decimal digits of the little-endian magnitude mag[0..n), n <= 255, written
// right-aligned to end at `end`; returns the first digit. Repeated division
// by 10^9 over 32-bit limbs: exact for any magnitude a value can carry.
constexpr uint64_t WIDE_MAX_BYTES = 255;
constexpr uint64_t WIDE_MAX_DIGITS = 616;  // > 255 * 8 * log10(2)

char* wide_digits(char* end, const uint8_t* mag, uint64_t n) {
  uint32_t limbs[(WIDE_MAX_BYTES + 3) / 4] = {};
  for (uint64_t i = 0; i < n; ++i) limbs[i / 4] |= static_cast<uint32_t>(mag[i]) << (8 * (i % 4));
  uint64_t nl = (n + 3) / 4;
  while (nl > 0 && limbs[nl - 1] == 0) --nl;
  char* t = end;
  if (nl == 0) {
    *--t = '0';
    return t;
  }
  while (nl > 0) {
    uint64_t rem = 0;
    for (uint64_t i = nl; i-- > 0;) {
      uint64_t cur = (rem << 32) | limbs[i];
      limbs[i] = static_cast<uint32_t>(cur / 1000000000u);
      rem = cur % 1000000000u;
    }
    while (nl > 0 && limbs[nl - 1] == 0) --nl;
    if (nl > 0) {
      for (int k = 0; k < 9; ++k) {  // an inner group keeps its leading zeros
        *--t = static_cast<char>('0' + rem % 10);
        rem /= 10;
      }
    } else {
      t = digits_back(t, rem);
    }
  }
  return t;
}

constexpr uint64_t POW10[20] = {1ull,
                                1ull * 10,
                                1ull * 100,
                                1ull * 1000,
                                1ull * 10000,
                                1ull * 100000,
                                1ull * 1000000,
                                1ull * 10000000,
                                1ull * 100000000,
                                1ull * 1000000000,
                                1ull * 10000000000,
                                1ull * 100000000000,
                                1ull * 1000000000000,
                                1ull * 10000000000000,
                                1ull * 100000000000000,
                                1ull * 1000000000000000,
                                1ull * 10000000000000000,
                                1ull * 100000000000000000,
                                1ull * 1000000000000000000,
                                1ull * 10000000000000000000u};

// DECIMALN / NUMERICN: sign byte (0 negative), then the magnitude, least
// significant byte first, scaled by 10^-scale. Magnitudes below 2^64 with a
// scale up to 19 take the 64-bit path; anything larger is rendered exactly
// from the bytes.
void render_decimal(const uint8_t* v, uint64_t len, uint8_t scale, char* cell) {
  char* o = cell;
  if (v[0] == 0) *o++ = '-';
  const uint8_t* mag = v + 1;
  const uint64_t n = len - 1;

  bool fits64 = scale <= 19;
  for (uint64_t i = 8; fits64 && i < n; ++i) fits64 = mag[i] == 0;
  if (fits64) {
    uint64_t m = le_uint(mag, n < 8 ? n : 8);
    if (scale == 0) {
      o = put_u64(o, m);
    } else {
      const uint64_t p = POW10[scale];
      o = put_u64(o, m / p);
      *o++ = '.';
      o = put_u64(o, m % p, scale);
    }
    *o = 0;
    return;
  }

  char buf[WIDE_MAX_DIGITS];
  char* end = buf + sizeof buf;
  char* d = wide_digits(end, mag, n);
  uint64_t nd = static_cast<uint64_t>(end - d);
  // Sign, at most 616 digits, "0." and 255 zeros: well inside a cell.
  if (scale == 0) {
    std::memcpy(o, d, nd);
    o += nd;
  } else if (nd > scale) {
    std::memcpy(o, d, nd - scale);
    o += nd - scale;
    *o++ = '.';
    std::memcpy(o, d + nd - scale, scale);
    o += scale;
  } else {
    *o++ = '0';
    *o++ = '.';
    std::memset(o, '0', scale - nd);
    o += scale - nd;
    std::memcpy(o, d, nd);
    o += nd;
  }
  *o = 0;
}

void put_text(char* cell, const char* text) {
  size_t n = std::strlen(text);
  std::memcpy(cell, text, n + 1);
}

// ---- Dates, times, money, identifiers and bytes -------------------------------

// Year, month and day of a count of days since 1970-01-01 (proleptic
// Gregorian), by whole 400-year eras so that no table is needed.
void civil_from_days(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

// Day counts of the two epochs the server counts from, relative to 1970.
constexpr int64_t DAYS_0001_TO_1970 = 719162;
constexpr int64_t DAYS_1900_TO_1970 = 25567;

// "YYYY-MM-DD" of a day count since 1970; returns one past the text.
char* put_date(char* o, int64_t days) {
  int64_t y;
  unsigned m, d;
  civil_from_days(days, &y, &m, &d);
  if (y < 0) {  // cannot come from a server's value; kept well-formed anyway
    *o++ = '-';
    y = -y;
  }
  o = put_u64(o, static_cast<uint64_t>(y), 4);
  *o++ = '-';
  o = put_u64(o, m, 2);
  *o++ = '-';
  return put_u64(o, d, 2);
}

// "HH:MM:SS" and, with digits > 0, a fraction of that many digits, of
// `units` of 10^-digits seconds since midnight.
char* put_time(char* o, uint64_t units, int digits) {
  const uint64_t per_second = POW10[digits];
  const uint64_t secs = units / per_second;
  o = put_u64(o, secs / 3600, 2);
  *o++ = ':';
  o = put_u64(o, secs / 60 % 60, 2);
  *o++ = ':';
  o = put_u64(o, secs % 60, 2);
  if (digits > 0) {
    *o++ = '.';
    o = put_u64(o, units % per_second, digits);
  }
  return o;
}

// The classic datetime: days since 1900-01-01, then three-hundredths of a
// second since midnight, shown as the server shows them, to the nearest
// millisecond.
void render_datetime(const uint8_t* v, char* cell) {
  const int64_t days = static_cast<int32_t>(le32(v));
  const uint64_t ticks = le32(v + 4);
  char* o = put_date(cell, days - DAYS_1900_TO_1970);
  *o++ = ' ';
  *put_time(o, (ticks * 10 + 1) / 3, 3) = 0;
}

// smalldatetime: days since 1900-01-01 and minutes since midnight.
void render_smalldatetime(const uint8_t* v, char* cell) {
  char* o = put_date(cell, static_cast<int64_t>(le16(v)) - DAYS_1900_TO_1970);
  *o++ = ' ';
  *put_time(o, static_cast<uint64_t>(le16(v + 2)) * 60, 0) = 0;
}

// Bytes of the time part of TIME, DATETIME2 and DATETIMEOFFSET by scale.
uint64_t time_bytes(uint8_t scale) { return scale <= 2 ? 3 : scale <= 4 ? 4 : 5; }

// DATE, TIME(n), DATETIME2(n), DATETIMEOFFSET(n): the time in 10^-n
// seconds, the date in days since 0001-01-01, and for an offset the signed
// minutes east of UTC (the date and time are UTC; shown in the offset's own
// local time, as the server shows them). False for a length that does not
// match the scale.
bool render_datetime_family(uint8_t type, uint8_t scale, const uint8_t* v, uint64_t len, char* cell) {
  if (scale > 7) return false;
  const uint64_t tb = type == TDS_TYPE_DATEN ? 0 : time_bytes(scale);
  const uint64_t db = type == TDS_TYPE_TIMEN ? 0 : 3;
  const uint64_t ob = type == TDS_TYPE_DATETIMEOFFSETN ? 2 : 0;
  if (len != tb + db + ob) return false;
  uint64_t units = le_uint(v, tb);
  const uint64_t per_day = 86400 * POW10[scale];
  if (units >= per_day) return false;
  int64_t days = static_cast<int64_t>(le_uint(v + tb, db)) - DAYS_0001_TO_1970;
  int offset = 0;
  if (ob != 0) {
    offset = static_cast<int16_t>(le16(v + tb + db));
    if (offset < -840 || offset > 840) return false;
    int64_t local = static_cast<int64_t>(units) + offset * 60 * static_cast<int64_t>(POW10[scale]);
    if (local < 0) {
      local += static_cast<int64_t>(per_day);
      --days;
    } else if (local >= static_cast<int64_t>(per_day)) {
      local -= static_cast<int64_t>(per_day);
      ++days;
    }
    units = static_cast<uint64_t>(local);
  }
  char* o = cell;
  if (db != 0) o = put_date(o, days);
  if (db != 0 && tb != 0) *o++ = ' ';
  if (tb != 0) o = put_time(o, units, scale);
  if (ob != 0) {
    const int a = offset < 0 ? -offset : offset;
    *o++ = ' ';
    *o++ = offset < 0 ? '-' : '+';
    o = put_u64(o, static_cast<uint64_t>(a / 60), 2);
    *o++ = ':';
    o = put_u64(o, static_cast<uint64_t>(a % 60), 2);
  }
  *o = 0;
  return true;
}

// money (8 bytes: the high 32 bits first) and smallmoney (4 bytes), in
// ten-thousandths, with four decimal places.
void render_money(const uint8_t* v, uint64_t len, char* cell) {
  const int64_t units = len == 8 ? static_cast<int64_t>((static_cast<uint64_t>(le32(v)) << 32) | le32(v + 4))
                                 : static_cast<int32_t>(le32(v));
  char* o = cell;
  uint64_t u = static_cast<uint64_t>(units);
  if (units < 0) {
    *o++ = '-';
    u = 0 - u;
  }
  o = put_u64(o, u / 10000);
  *o++ = '.';
  *put_u64(o, u % 10000, 4) = 0;
}

const char HEX[] = "0123456789ABCDEF";

// uniqueidentifier: three little-endian groups, then eight bytes in order.
void render_guid(const uint8_t* v, char* cell) {
  static const int ORDER[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  char* o = cell;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *o++ = '-';
    *o++ = HEX[v[ORDER[i]] >> 4];
    *o++ = HEX[v[ORDER[i]] & 15];
  }
  *o = 0;
}

// "0x" and two upper-case digits a byte. A value longer than a cell shows
// holds its first 2046 bytes: whole bytes, never half of one.
void render_hex(const uint8_t* v, uint64_t len, char* cell) {
  const uint64_t room = (TDS_CELL_SIZE - 3) / 2;
  if (len > room) len = room;
  char* o = cell;
  *o++ = '0';
  *o++ = 'x';
  for (uint64_t i = 0; i < len; ++i) {
    *o++ = HEX[v[i] >> 4];
    *o++ = HEX[v[i] & 15];
  }
  *o = 0;
}

bool is_binary(uint8_t type) {
  return type == TDS_TYPE_VARBINARY || type == TDS_TYPE_BINARY || type == TDS_TYPE_BIGVARBIN ||
         type == TDS_TYPE_BIGBINARY;
}

// The bytes of one non-NULL value of a fixed or length-byte type, without
// its length, into text. False for a length the type cannot have.
bool render_plain(uint8_t type, uint8_t scale, const uint8_t* v, uint64_t len, char* cell) {
  switch (type) {
    case TDS_TYPE_INT1:
      if (len != 1) return false;
      put_i64(cell, v[0]);
      return true;
    case TDS_TYPE_INT2:
    case TDS_TYPE_INT4:
    case TDS_TYPE_INT8:
    case TDS_TYPE_INTN:
      if (len == 1) put_i64(cell, v[0]);
      else if (len == 2) put_i64(cell, static_cast<int16_t>(le16(v)));
      else if (len == 4) put_i64(cell, static_cast<int32_t>(le32(v)));
      else if (len == 8) put_i64(cell, static_cast<int64_t>(le_uint(v, 8)));
      else std::snprintf(cell, TDS_CELL_SIZE, "(invalid int length %u)", static_cast<unsigned>(len));
      return true;
    case TDS_TYPE_BIT:
    case TDS_TYPE_BITN:
      put_text(cell, v[0] != 0 ? "1" : "0");
      return true;
    case TDS_TYPE_FLT4:
    case TDS_TYPE_FLT8:
    case TDS_TYPE_FLTN:
      if (len == 4) {
        uint32_t bits = le32(v);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        float_g_text(static_cast<double>(f), cell, TDS_CELL_SIZE);
      } else if (len == 8) {
        uint64_t bits = le_uint(v, 8);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        float_g_text(d, cell, TDS_CELL_SIZE);
      } else {
        std::snprintf(cell, TDS_CELL_SIZE, "(invalid float length %u)", static_cast<unsigned>(len));
      }
      return true;
    case TDS_TYPE_DECIMALN:
    case TDS_TYPE_NUMERICN:
      render_decimal(v, len, scale, cell);
      return true;
    case TDS_TYPE_MONEY:
    case TDS_TYPE_MONEY4:
    case TDS_TYPE_MONEYN:
      if (len != 4 && len != 8) return false;
      render_money(v, len, cell);
      return true;
    case TDS_TYPE_GUID:
      if (len != 16) return false;
      render_guid(v, cell);
      return true;
    case TDS_TYPE_DATETIM4:
    case TDS_TYPE_DATETIME:
    case TDS_TYPE_DATETIMN:
      if (len == 4) render_smalldatetime(v, cell);
      else if (len == 8) render_datetime(v, cell);
      else return false;
      return true;
    case TDS_TYPE_DATEN:
    case TDS_TYPE_TIMEN:
    case TDS_TYPE_DATETIME2N:
    case TDS_TYPE_DATETIMEOFFSETN:
      return render_datetime_family(type, scale, v, len, cell);
    default:
      if (!is_binary(type)) return false;
      render_hex(v, len, cell);
      return true;
  }
}

// Values with a length byte. Returns bytes consumed or -1.
int read_len8(tds_cursor& c, const tds_col* col, char* cell, int32_t* is_null) {
  uint8_t len;
  const uint8_t* v;
  if (!rd_u8(c, &len) || !rd_bytes(c, len, &v)) return -1;
  if (len == 0) {
    *is_null = 1;
    return 1;
  }
  return render_plain(col->type, col->scale, v, len, cell) ? 1 + len : -1;
}

bool is_wide(const tds_col* col) {
  return col->type == TDS_TYPE_NVARCHAR || col->type == TDS_TYPE_NCHAR;
}

// Character text of either width into a cell: at most 4095 bytes of valid
// UTF-8, cut before the first character that does not fit. Binary values
// as hexadecimal.
void put_chars(const tds_col* col, const uint8_t* v, uint64_t len, char* cell) {
  if (is_binary(col->type)) {
    render_hex(v, len, cell);
  } else if (is_wide(col)) {
    ucs2_to_utf8(v, len, cell, TDS_CELL_SIZE);
  } else {
    codepage_to_utf8(v, len, tds_code_page(col->collation), cell, TDS_CELL_SIZE);
  }
}

// Character and binary values with a 2-byte length.
int read_len16(tds_cursor& c, const tds_col* col, char* cell, int32_t* is_null) {
  uint16_t len;
  if (!rd_u16le(c, &len)) return -1;
  if (len == 0xFFFF) {
    *is_null = 1;
    return 2;
  }
  const uint8_t* v;
  if (!rd_bytes(c, len, &v)) return -1;
  put_chars(col, v, len, cell);
  return 2 + len;
}

// Character values in the chunked form. The text is gathered first, since
// chunks may split a code unit or a character anywhere, then converted
// once. Every code unit or byte gives at least one byte of UTF-8, so 4096 of
// them decide everything a cell can show: a character that the end of the
// gathered text cuts short starts too late to fit in 4095 bytes either way,
// and the conversion cuts exactly where it would on the whole value. Binary
// values take two digits a byte, so half a cell of them is all a cell shows.
constexpr uint64_t CHUNKED_STAGE = 2 * TDS_CELL_SIZE;

int read_chunked(tds_cursor& c, const tds_col* col, char* cell, int32_t* is_null) {
  const uint8_t* start = c.p;
  const uint8_t* tp;
  if (!rd_bytes(c, 8, &tp)) return -1;
  const uint64_t total = le_uint(tp, 8);
  if (total == CHUNKED_NULL) {
    *is_null = 1;
    return 8;
  }
  const uint64_t stage_max = is_wide(col) ? CHUNKED_STAGE : CHUNKED_STAGE / 2;
  uint8_t stage[CHUNKED_STAGE];
  uint64_t staged = 0;
  uint64_t sum = 0;
  for (;;) {
    uint32_t n;
    const uint8_t* chunk;
    if (!rd_u32le(c, &n)) return -1;
    if (n == 0) break;
    if (!rd_bytes(c, n, &chunk)) return -1;
    sum += n;
    const uint64_t room = stage_max - staged;
    const uint64_t take = n < room ? n : room;
    std::memcpy(stage + staged, chunk, take);
    staged += take;
  }
  // A known total that disagrees with the chunks means the value is not
  // what it claims to be; the rest of the row cannot be trusted either.
  const uint64_t consumed = static_cast<uint64_t>(c.p - start);
  if ((total != CHUNKED_UNKNOWN_LEN && sum != total) || consumed > INT_MAX) return -1;
  put_chars(col, stage, staged, cell);
  return static_cast<int>(consumed);
}

// A fixed-size value: never NULL, its size from the type table.
int read_fixed(tds_cursor& c, const tds_col* col, const tds_type_rule* r, char* cell) {
  const uint8_t* v;
  if (!rd_bytes(c, r->fixed_size, &v)) return -1;
  return render_plain(col->type, 0, v, r->fixed_size, cell) ? r->fixed_size : -1;
}

// sql_variant: a 4-byte length (0: NULL), then the base type, the count
// of property bytes, the properties and the value. Shown as its base value;
// a base type this renderer does not show (or bytes that do not fit it)
// makes the value unreadable, as that type's column would be.
int read_variant(tds_cursor& c, char* cell, int32_t* is_null) {
  uint32_t len;
  const uint8_t* v;
  if (!rd_u32le(c, &len) || !rd_bytes(c, len, &v)) return -1;
  if (len == 0) {
    *is_null = 1;
    return 4;
  }
  if (len < 2 || v[1] > len - 2) return -1;
  tds_col base{};
  base.type = v[0];
  const uint8_t props = v[1];
  const uint8_t* p = v + 2;
  const uint64_t n = len - 2 - props;
  const uint8_t* data = p + props;
  switch (base.type) {
    case TDS_TYPE_TIMEN:
    case TDS_TYPE_DATETIME2N:
    case TDS_TYPE_DATETIMEOFFSETN:
      if (props != 1) return -1;
      base.scale = p[0];
      break;
    case TDS_TYPE_DECIMALN:
    case TDS_TYPE_NUMERICN:
      if (props != 2) return -1;
      base.scale = p[1];
      break;
    case TDS_TYPE_BIGVARCHR:
    case TDS_TYPE_BIGCHAR:
    case TDS_TYPE_NVARCHAR:
    case TDS_TYPE_NCHAR:
      // The collation, then the maximum length.
      if (props != 7) return -1;
      std::memcpy(base.collation, p, TDS_COLLATION_LEN);
      put_chars(&base, data, n, cell);
      return static_cast<int>(4 + len);
    case TDS_TYPE_BIGVARBIN:
    case TDS_TYPE_BIGBINARY:
      render_hex(data, n, cell);
      return static_cast<int>(4 + len);
    default:
      break;
  }
  if (n == 0 || !render_plain(base.type, base.scale, data, n, cell)) return -1;
  return static_cast<int>(4 + len);
}

int read_one(tds_cursor& c, const tds_col* col, char* cell, int32_t* is_null) {
  const tds_type_rule* r = tds_type_rule_of(col->type);
  if (r == nullptr || !r->rendered) return -1;
  switch (r->value) {
    case tds_value_form::fixed:
      return read_fixed(c, col, r, cell);
    case tds_value_form::byte_len:
      return read_len8(c, col, cell, is_null);
    case tds_value_form::ushort:
      if (col->max_len == TDS_MAX_LEN_CHUNKED) return read_chunked(c, col, cell, is_null);
      return read_len16(c, col, cell, is_null);
    case tds_value_form::variant:
      return read_variant(c, cell, is_null);
    default:
      return -1;
  }
}

}  // namespace

int read_value(const uint8_t* p, const uint8_t* end, const tds_col* col, char* cell,
               int32_t* is_null) {
  *is_null = 0;
  cell[0] = 0;
  tds_cursor c = cur_make(p, end);
  int n = read_one(c, col, cell, is_null);
  if (n < 0) {
    // A value cut short may have written part of its text already.
    cell[0] = 0;
    *is_null = 0;
  }
  return n;
}
