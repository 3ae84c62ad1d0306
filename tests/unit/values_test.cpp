// Rendering of single column values: every type the client reads, NULLs,
// lengths that run past the end, long texts cut to a cell, the chunked form
// of (max) character columns, 8-bit text under its column's code page, and
// decimals beyond 64 bits.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "script_peer.h"
#include "tds_client/tds_client.h"

namespace {

using u128 = unsigned __int128;

constexpr size_t GUARD = 64;

tds_col column(uint8_t type, uint8_t scale = 0, uint32_t max_len = 0) {
  tds_col c{};
  c.type = type;
  c.scale = scale;
  c.max_len = max_len;
  return c;
}

// Collations of 8-bit character columns: Windows-1252 (sort id 52, the
// server's usual default), a UTF-8 collation, and Cyrillic (code page 1251,
// which the client has no table for).
constexpr uint8_t LATIN1[TDS_COLLATION_LEN] = {0x09, 0x04, 0xD0, 0x00, 0x34};
constexpr uint8_t UTF8[TDS_COLLATION_LEN] = {0x09, 0x04, 0xD0, 0x14, 0x00};
constexpr uint8_t CYRILLIC[TDS_COLLATION_LEN] = {0x19, 0x04, 0xD0, 0x00, 0x00};

tds_col text_column(uint8_t type, uint32_t max_len, const uint8_t* collation) {
  tds_col c = column(type, 0, max_len);
  std::memcpy(c.collation, collation, TDS_COLLATION_LEN);
  return c;
}

// The result of one read_value call over a copy of the input that ends
// exactly at its last byte (so a read past it shows under the sanitizer),
// into a cell with guard bytes behind it.
struct rendered {
  int consumed;
  std::string text;
  int32_t is_null;
};

rendered render(const tds_col& col, const bytes& in, size_t end_at) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[end_at + 1]);
  if (end_at) std::memcpy(copy.get(), in.data(), end_at);
  std::vector<char> cell(TDS_CELL_SIZE + GUARD, '\x55');
  int32_t is_null = 77;
  int n = read_value(copy.get(), copy.get() + end_at, &col, cell.data(), &is_null);
  for (size_t i = TDS_CELL_SIZE; i < cell.size(); ++i)
    EXPECT_EQ(cell[i], '\x55') << "cell overrun at byte " << i;
  const void* nul = std::memchr(cell.data(), 0, TDS_CELL_SIZE);
  EXPECT_NE(nul, nullptr) << "cell not terminated";
  return {n, nul ? std::string(cell.data()) : std::string(), is_null};
}

rendered render(const tds_col& col, const bytes& in) { return render(col, in, in.size()); }

bytes le_bytes(u128 v, size_t n) {
  bytes b;
  for (size_t i = 0; i < n; ++i) {
    b.push_back(static_cast<uint8_t>(v));
    v >>= 8;
  }
  return b;
}

u128 pow10_128(int n) {
  u128 v = 1;
  for (int i = 0; i < n; ++i) v *= 10;
  return v;
}

// A DECIMALN value: length byte, sign byte, magnitude of n bytes.
bytes decimal(uint8_t sign, u128 magnitude, size_t n) {
  bytes b = {static_cast<uint8_t>(1 + n), sign};
  bytes m = le_bytes(magnitude, n);
  b.insert(b.end(), m.begin(), m.end());
  return b;
}

bytes f32(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return cat({{4}, le_bytes(u, 4)});
}

bytes f64(double d) {
  uint64_t u;
  std::memcpy(&u, &d, 8);
  return cat({{8}, le_bytes(u, 8)});
}

// A character value in the chunked form: total length (or a marker), then
// the given chunks and the empty chunk that ends them.
bytes chunked(uint64_t total, const std::vector<bytes>& chunks) {
  bytes b = le_bytes(total, 8);
  for (const bytes& c : chunks) {
    bytes n = le_bytes(c.size(), 4);
    b.insert(b.end(), n.begin(), n.end());
    b.insert(b.end(), c.begin(), c.end());
  }
  bytes z = le_bytes(0, 4);
  b.insert(b.end(), z.begin(), z.end());
  return b;
}

constexpr uint64_t CHUNKED_NULL = ~uint64_t(0);
constexpr uint64_t CHUNKED_UNKNOWN = ~uint64_t(0) - 1;

struct value_case {
  const char* name;
  tds_col col;
  bytes in;
  int consumed;  // -1: cannot be read
  std::string text;
  int32_t is_null;
};

std::vector<value_case> value_cases() {
  const uint8_t INTN = 0x26, INT4 = 0x38, BITN = 0x68, FLTN = 0x6D, DECN = 0x6A, NUMN = 0x6C;
  const uint8_t VARCHAR = 0xA7, CHAR = 0xAF, NVARCHAR = 0xE7, NCHAR = 0xEF;
  const u128 max38 = pow10_128(38) - 1;
  const u128 two64 = u128(1) << 64;
  std::vector<value_case> v = {
      {"intn_null", column(INTN), {0}, 1, "", 1},
      {"intn_1_unsigned", column(INTN), {1, 0xC8}, 2, "200", 0},
      {"intn_2_signed", column(INTN), {2, 0xFE, 0xFF}, 3, "-2", 0},
      {"intn_4", column(INTN), {4, 0xC0, 0x1D, 0xFE, 0xFF}, 5, "-123456", 0},
      {"intn_4_max", column(INTN), {4, 0xFF, 0xFF, 0xFF, 0x7F}, 5, "2147483647", 0},
      {"intn_8_min", column(INTN), {8, 0, 0, 0, 0, 0, 0, 0, 0x80}, 9, "-9223372036854775808", 0},
      {"intn_8_max", column(INTN), {8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, 9,
       "9223372036854775807", 0},
      {"intn_8_zero", column(INTN), {8, 0, 0, 0, 0, 0, 0, 0, 0}, 9, "0", 0},
      {"intn_odd_length", column(INTN), {3, 1, 2, 3}, 4, "(invalid int length 3)", 0},
      {"intn_missing_length", column(INTN), {}, -1, "", 0},
      {"intn_short", column(INTN), {4, 1, 2, 3}, -1, "", 0},
      {"int4_minus_one", column(INT4), {0xFF, 0xFF, 0xFF, 0xFF}, 4, "-1", 0},
      {"int4_min", column(INT4), {0, 0, 0, 0x80}, 4, "-2147483648", 0},
      {"int4_three_bytes", column(INT4), {0xFF, 0xFF, 0xFF}, -1, "", 0},
      {"bitn_two_is_one", column(BITN), {1, 0x02}, 2, "1", 0},
      {"bitn_zero", column(BITN), {1, 0x00}, 2, "0", 0},
      {"bitn_null", column(BITN), {0}, 1, "", 1},
      {"fltn_single", column(FLTN), f32(1.5f), 5, "1.5", 0},
      {"fltn_double", column(FLTN), f64(0.1), 9, "0.1", 0},
      {"fltn_million", column(FLTN), f64(1e6), 9, "1e+06", 0},
      {"fltn_negative", column(FLTN), f64(-2.25), 9, "-2.25", 0},
      {"fltn_null", column(FLTN), {0}, 1, "", 1},
      {"fltn_odd_length", column(FLTN), {2, 0, 0}, 3, "(invalid float length 2)", 0},
      // Decimals within 64 bits.
      {"decimal_scale2", column(DECN, 2), {5, 1, 0x39, 0x30, 0, 0}, 6, "123.45", 0},
      {"decimal_negative", column(DECN, 2), {5, 0, 0x39, 0x30, 0, 0}, 6, "-123.45", 0},
      {"numeric_padded_fraction", column(NUMN, 3), {5, 1, 5, 0, 0, 0}, 6, "0.005", 0},
      {"numeric_scale0_negative", column(NUMN, 0), {5, 0, 42, 0, 0, 0}, 6, "-42", 0},
      {"decimal_17_small", column(DECN, 2), decimal(1, 100, 16), 18, "1.00", 0},
      {"decimal_no_magnitude", column(DECN, 2), {1, 1}, 2, "0.00", 0},
      {"decimal_negative_zero", column(DECN, 0), {5, 0, 0, 0, 0, 0}, 6, "-0", 0},
      {"decimal_u64_max", column(DECN, 0), decimal(1, ~uint64_t(0), 8), 10,
       "18446744073709551615", 0},
      {"decimal_u64_max_scale19", column(DECN, 19), decimal(1, ~uint64_t(0), 16), 18,
       "1.8446744073709551615", 0},
      {"decimal_null", column(DECN, 2), {0}, 1, "", 1},
      {"decimal_short", column(DECN, 2), {5, 1, 0x39, 0x30}, -1, "", 0},
      // Beyond 64 bits: rendered exactly.
      {"decimal_2pow64", column(DECN, 0), decimal(1, two64, 16), 18, "18446744073709551616", 0},
      {"decimal_2pow64_scale2", column(DECN, 2), decimal(0, two64, 16), 18,
       "-184467440737095516.16", 0},
      {"decimal_max38_scale38", column(NUMN, 38), decimal(1, max38, 16), 18,
       "0.99999999999999999999999999999999999999", 0},
      {"decimal_max38_scale0", column(NUMN, 0), decimal(0, max38, 16), 18,
       "-99999999999999999999999999999999999999", 0},
      {"decimal_max38_scale10", column(DECN, 10), decimal(1, max38, 16), 18,
       "9999999999999999999999999999.9999999999", 0},
      {"decimal_inner_zero_groups", column(DECN, 0), decimal(1, pow10_128(27) + 1, 16), 18,
       "1000000000000000000000000001", 0},
      {"decimal_u128_max", column(DECN, 0), decimal(1, ~u128(0), 16), 18,
       "340282366920938463463374607431768211455", 0},
      {"decimal_scale20_small", column(DECN, 20), decimal(1, 5, 8), 10,
       "0.00000000000000000005", 0},
      {"decimal_scale38_zero", column(DECN, 38), decimal(1, 0, 16), 18,
       "0.00000000000000000000000000000000000000", 0},
      {"decimal_scale25_wide", column(DECN, 25), decimal(1, pow10_128(30) + 7, 16), 18,
       "100000.0000000000000000000000007", 0},
      {"decimal_magnitude_past_128_bits", column(DECN, 0), cat({{18, 1}, le_bytes(0, 16), {1}}),
       19, "340282366920938463463374607431768211456", 0},
      // Money, identifiers, dates and times, as the server shows them.
      {"money", column(0x6E), {8, 0, 0, 0, 0, 0x40, 0xE2, 0x01, 0}, 9, "12.3456", 0},
      {"money_negative", column(0x6E), {8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 9, "-0.0001", 0},
      {"money_null", column(0x6E), {0}, 1, "", 1},
      {"money_odd_length", column(0x6E), {2, 0, 0}, -1, "", 0},
      {"smallmoney_fixed", column(0x7A), {0x10, 0x27, 0, 0}, 4, "1.0000", 0},
      {"money_fixed_high_word_first", column(0x3C), {1, 0, 0, 0, 0, 0, 0, 0}, 8, "429496.7296", 0},
      {"guid_server_byte_order", column(0x24),
       {16, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xEF}, 17,
       "03020100-0504-0706-0809-0A0B0C0D0EEF", 0},
      {"guid_wrong_length", column(0x24), {4, 1, 2, 3, 4}, -1, "", 0},
      {"date", column(0x28), {3, 119, 74, 11}, 4, "2026-12-10", 0},
      {"date_first_day", column(0x28), {3, 0, 0, 0}, 4, "0001-01-01", 0},
      {"time3", column(0x29, 3), {4, 252, 206, 56, 0}, 5, "01:02:03.004", 0},
      {"time_past_midnight", column(0x29, 0), {3, 0x80, 0x51, 0x01}, -1, "", 0},
      {"datetime2_7_last_tick", column(0x2A, 7), {8, 255, 191, 105, 42, 201, 6, 36, 11}, 9,
       "1999-12-31 23:59:59.9999999", 0},
      {"datetime2_length_disagrees_with_scale", column(0x2A, 7), {6, 1, 2, 3, 4, 5, 6}, -1, "", 0},
      {"datetimeoffset_east_crosses_midnight", column(0x2B, 0), {8, 120, 74, 1, 119, 74, 11, 60, 0}, 9,
       "2026-12-11 00:30:00 +01:00", 0},
      {"datetimeoffset_west_day_before", column(0x2B, 0), {8, 32, 28, 0, 119, 74, 11, 182, 254}, 9,
       "2026-12-09 20:30:00 -05:30", 0},
      {"datetime_millisecond_rounding", column(0x6F), {8, 28, 181, 0, 0, 225, 255, 81, 1}, 9,
       "2026-12-10 20:30:37.123", 0},
      {"datetime_fixed", column(0x3D), {28, 181, 0, 0, 2, 0, 0, 0}, 8, "2026-12-10 00:00:00.007", 0},
      {"datetime_before_1900", column(0x6F), {8, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}, 9,
       "1899-12-31 00:00:00.000", 0},
      {"smalldatetime", column(0x6F), {4, 28, 181, 206, 4}, 5, "2026-12-10 20:30:00", 0},
      {"smalldatetime_fixed", column(0x3A), {28, 181, 206, 4}, 4, "2026-12-10 20:30:00", 0},
      {"datetime_null", column(0x6F), {0}, 1, "", 1},
      {"datetime_odd_length", column(0x6F), {5, 1, 2, 3, 4, 5}, -1, "", 0},
      // Fixed integers and bits.
      {"tinyint_fixed", column(0x30), {0xFF}, 1, "255", 0},
      {"smallint_fixed", column(0x34), {0xFE, 0xFF}, 2, "-2", 0},
      {"bigint_fixed", column(0x7F), {1, 0, 0, 0, 0, 0, 0, 0}, 8, "1", 0},
      {"bit_fixed", column(0x32), {1}, 1, "1", 0},
      // Binary: "0x" and upper-case digits.
      {"varbinary", column(0xA5, 0, 16), {3, 0, 0x00, 0xAB, 0x7F}, 5, "0x00AB7F", 0},
      {"varbinary_empty", column(0xA5, 0, 16), {0, 0}, 2, "0x", 0},
      {"varbinary_null", column(0xA5, 0, 16), {0xFF, 0xFF}, 2, "", 1},
      {"binary_short_form", column(0x2D, 0, 2), {2, 0xCA, 0xFE}, 3, "0xCAFE", 0},
      {"varbinary_max", column(0xA5, 0, 0xFFFF), chunked(3, {{0x01}, {0x02, 0x03}}), 23, "0x010203", 0},
      // sql_variant: its base value.
      {"variant_nvarchar", column(0x62),
       cat({{19, 0, 0, 0, 0xE7, 7, 0x09, 0x04, 0xD0, 0, 0x34, 0x08, 0}, utf16le("C:\\d\\")}), 23,
       "C:\\d\\", 0},
      {"variant_int", column(0x62), {6, 0, 0, 0, 0x38, 0, 7, 0, 0, 0}, 10, "7", 0},
      {"variant_numeric", column(0x62), {8, 0, 0, 0, 0x6C, 2, 25, 0, 1, 42, 0, 0}, 12, "42", 0},
      {"variant_null", column(0x62), {0, 0, 0, 0}, 4, "", 1},
      {"variant_props_past_end", column(0x62), {3, 0, 0, 0, 0x38, 9, 0}, -1, "", 0},
      {"variant_unshown_base", column(0x62), {3, 0, 0, 0, 0x22, 0, 0}, -1, "", 0},
      // Character data.
      {"varchar_null", column(VARCHAR, 0, 50), {0xFF, 0xFF}, 2, "", 1},
      {"varchar_empty_not_null", column(VARCHAR, 0, 50), {0, 0}, 2, "", 0},
      // 8-bit text: converted from the column's code page, never copied raw.
      {"varchar_1252", text_column(VARCHAR, 50, LATIN1), {4, 0, 'c', 0xE9, 0x80, 0x81}, 6,
       "c\xC3\xA9\xE2\x82\xAC\xC2\x81", 0},
      {"char_utf8", text_column(CHAR, 4, UTF8), {4, 0, 0xC3, 0xA9, 0xE9, 'x'}, 6,
       "\xC3\xA9\xEF\xBF\xBDx", 0},
      {"varchar_1251_not_guessed", text_column(VARCHAR, 50, CYRILLIC), {3, 0, 0xCF, 0xF0, '!'}, 5,
       "\xEF\xBF\xBD\xEF\xBF\xBD!", 0},
      {"varchar_no_collation", column(VARCHAR, 0, 50), {1, 0, 0xE9}, 3, "\xEF\xBF\xBD", 0},
      {"char", column(CHAR, 0, 3), {3, 0, 'a', 'b', ' '}, 5, "ab ", 0},
      {"varchar_short", column(VARCHAR, 0, 50), {5, 0, 'a', 'b'}, -1, "", 0},
      {"varchar_one_length_byte", column(VARCHAR, 0, 50), {5}, -1, "", 0},
      {"nvarchar_abc", column(NVARCHAR, 0, 100), {6, 0, 'a', 0, 'b', 0, 'c', 0}, 8, "abc", 0},
      {"nchar_non_ascii", column(NCHAR, 0, 4), cat({{4, 0}, utf16le("é€")}), 6, "é€", 0},
      {"nvarchar_null", column(NVARCHAR, 0, 100), {0xFF, 0xFF}, 2, "", 1},
      {"nvarchar_short", column(NVARCHAR, 0, 100), {6, 0, 'a', 0}, -1, "", 0},
      // (max) columns: the chunked form.
      {"nvarchar_max", column(NVARCHAR, 0, 0xFFFF), chunked(6, {utf16le("abc")}), 22, "abc", 0},
      {"nvarchar_max_split_code_unit", column(NVARCHAR, 0, 0xFFFF),
       chunked(8, {{'a', 0, 0xE9}, {0, 'b', 0, 'c', 0}}), 28, "aébc", 0},
      {"nvarchar_max_unknown_total", column(NVARCHAR, 0, 0xFFFF),
       chunked(CHUNKED_UNKNOWN, {utf16le("x"), utf16le("yz")}), 26, "xyz", 0},
      {"nvarchar_max_null", column(NVARCHAR, 0, 0xFFFF), le_bytes(CHUNKED_NULL, 8), 8, "", 1},
      {"nvarchar_max_empty", column(NVARCHAR, 0, 0xFFFF), chunked(0, {}), 12, "", 0},
      {"varchar_max", column(VARCHAR, 0, 0xFFFF), chunked(5, {{'h', 'e'}, {'l', 'l', 'o'}}), 25,
       "hello", 0},
      {"varchar_max_1252", text_column(VARCHAR, 0xFFFF, LATIN1),
       chunked(3, {{'a', 0xE9}, {0xFF}}), 23, "a\xC3\xA9\xC3\xBF", 0},
      {"varchar_max_utf8_split_inside_a_character", text_column(VARCHAR, 0xFFFF, UTF8),
       chunked(CHUNKED_UNKNOWN, {{'a', 0xF0, 0x9F}, {0x98}, {0x80, 'b'}}), 30,
       "a\xF0\x9F\x98\x80" "b", 0},
      {"varchar_max_total_disagrees", column(VARCHAR, 0, 0xFFFF), chunked(9, {{'h', 'e'}}), -1, "",
       0},
      {"varchar_max_no_terminator", column(VARCHAR, 0, 0xFFFF),
       cat({le_bytes(2, 8), {2, 0, 0, 0, 'h', 'e'}}), -1, "", 0},
      {"varchar_max_chunk_past_end", column(VARCHAR, 0, 0xFFFF),
       cat({le_bytes(9, 8), {9, 0, 0, 0, 'h', 'e'}}), -1, "", 0},
  };
  return v;
}

void PrintTo(const value_case& c, std::ostream* os) { *os << c.name; }

class ValueTable : public ::testing::TestWithParam<value_case> {};

TEST_P(ValueTable, RendersAndConsumes) {
  const value_case& c = GetParam();
  rendered r = render(c.col, c.in);
  EXPECT_EQ(r.consumed, c.consumed);
  EXPECT_EQ(r.text, c.text);
  EXPECT_EQ(r.is_null, c.is_null);
}

// Every value cut before its last byte cannot be read, and leaves an empty,
// non-NULL cell behind.
TEST_P(ValueTable, EveryShorterEndFails) {
  const value_case& c = GetParam();
  if (c.consumed <= 0) return;
  for (size_t end = 0; end < static_cast<size_t>(c.consumed); ++end) {
    rendered r = render(c.col, c.in, end);
    EXPECT_EQ(r.consumed, -1) << "end at " << end;
    EXPECT_EQ(r.text, "") << "end at " << end;
    EXPECT_EQ(r.is_null, 0) << "end at " << end;
  }
}

INSTANTIATE_TEST_SUITE_P(Types, ValueTable, ::testing::ValuesIn(value_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Long texts are cut to what a cell holds, and the whole value is consumed.
TEST(ValueLongText, CutToTheCell) {
  // Single-byte text: the first 4095 bytes.
  std::string text(5000, 'q');
  text[4094] = 'x';
  text[4095] = 'y';
  bytes vc = cat({le_bytes(text.size(), 2), bytes(text.begin(), text.end())});
  rendered r = render(column(0xA7, 0, 8000), vc);
  EXPECT_EQ(r.consumed, 5002);
  EXPECT_EQ(r.text.size(), 4095u);
  EXPECT_EQ(r.text.back(), 'x');

  // Two-byte UTF-8: 2047 characters (4094 bytes), not half of a 2048th.
  std::string e;
  for (int i = 0; i < 2100; ++i) e += "é";
  bytes u = utf16le(e);
  bytes nv = cat({le_bytes(u.size(), 2), u});
  r = render(column(0xE7, 0, 8000), nv);
  EXPECT_EQ(r.consumed, static_cast<int>(2 + u.size()));
  EXPECT_EQ(r.text, e.substr(0, 2047 * 2));

  // The same through the chunked form, in chunks of odd sizes, and with a
  // four-byte character that would straddle the end of the cell.
  std::vector<bytes> chunks;
  for (size_t off = 0; off < u.size(); off += 333)
    chunks.emplace_back(u.begin() + off, u.begin() + std::min(off + 333, u.size()));
  r = render(column(0xE7, 0, 0xFFFF), chunked(u.size(), chunks));
  EXPECT_EQ(r.text, e.substr(0, 2047 * 2));

  std::string mixed = std::string(4093, 'a') + "😀" + "b";
  r = render(column(0xE7, 0, 0xFFFF), chunked(CHUNKED_UNKNOWN, {utf16le(mixed)}));
  EXPECT_EQ(r.text, std::string(4093, 'a'));

  std::string big(9000, 'z');
  big[4094] = 'w';
  r = render(column(0xA7, 0, 0xFFFF),
             chunked(big.size(), {bytes(big.begin(), big.begin() + 4000),
                                  bytes(big.begin() + 4000, big.end())}));
  EXPECT_EQ(r.text.size(), 4095u);
  EXPECT_EQ(r.text.back(), 'w');
}

// 8-bit text grows when converted (up to 3 bytes for one), so the cell is
// cut before the first character that does not fit, whole, in both forms.
TEST(ValueLongText, EightBitTextCutBeforeACharacter) {
  struct Case {
    const char* name;
    const uint8_t* collation;
    bytes text;
    std::string want;
  } cases[] = {
      {"1252: 2100 times e acute, 2047 fit", LATIN1, bytes(2100, 0xE9), []{
         std::string s;
         for (int i = 0; i < 2047; ++i) s += "\xC3\xA9";
         return s;
       }()},
      {"1252: euro ends exactly at the cell's end", LATIN1,
       cat({bytes(4092, 'a'), {0x80, 'b'}}), std::string(4092, 'a') + "\xE2\x82\xAC"},
      {"1252: euro one byte too late", LATIN1, cat({bytes(4093, 'a'), {0x80}}),
       std::string(4093, 'a')},
      // The text gathered from the chunks ends inside this character; it is
      // cut, not turned into U+FFFD.
      {"UTF-8: four-byte character one byte past the cell's end", UTF8,
       cat({bytes(4092, 'a'), {0xF0, 0x9F, 0x98, 0x80}}), std::string(4092, 'a')},
      {"UTF-8: replacement ends exactly at the cell's end", UTF8,
       cat({bytes(4092, 'a'), {0xFF, 'b'}}), std::string(4092, 'a') + "\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rendered r = render(text_column(0xA7, 8000, c.collation), cat({le_bytes(c.text.size(), 2), c.text}));
    EXPECT_EQ(r.consumed, static_cast<int>(2 + c.text.size()));
    EXPECT_EQ(r.text, c.want);
    std::vector<bytes> chunks;
    for (size_t off = 0; off < c.text.size(); off += 1001)
      chunks.emplace_back(c.text.begin() + off, c.text.begin() + std::min(off + 1001, c.text.size()));
    r = render(text_column(0xA7, 0xFFFF, c.collation), chunked(c.text.size(), chunks));
    EXPECT_EQ(r.text, c.want);
  }
}

// Arbitrary bytes under every column kind: a result is -1 or lies within
// the input, and the cell stays terminated and inside its bounds.
TEST(ValueRandomInput, NeverReadsOrWritesOutOfBounds) {
  const std::vector<tds_col> cols = {
      column(0x26), column(0x38), column(0x68), column(0x6D), column(0x6A, 38),
      column(0x6C, 200), column(0x6E), column(0x24), column(0x2A, 7), column(0xA7, 0, 100),
      column(0xEF, 0, 100), column(0xE7, 0, 0xFFFF), column(0xA7, 0, 0xFFFF)};
  std::mt19937 rng(12345);
  for (int iter = 0; iter < 20000; ++iter) {
    const tds_col& col = cols[iter % cols.size()];
    bytes in(rng() % 40);
    for (uint8_t& b : in) b = static_cast<uint8_t>(rng() % 4 == 0 ? 0 : rng());
    rendered r = render(col, in);
    ASSERT_GE(r.consumed, -1);
    ASSERT_LE(r.consumed, static_cast<int>(in.size()));
  }
}

}  // namespace
