// The layout table of the data types. A type the renderer does not turn
// into text is still sized here, so an answer that carries it in a token
// the client skips is skipped by the same rule.
#include "tds_client/type_codes.h"

namespace {

using info = tds_info_form;
using value = tds_value_form;

}  // namespace

constexpr tds_type_rule TDS_TYPE_RULES[] = {
    {TDS_TYPE_NULL, info::none, value::fixed, 0, false},
    {TDS_TYPE_IMAGE, info::long_len, value::long_len, 0, false},
    {TDS_TYPE_TEXT, info::long_coll, value::long_len, 0, false},
    {TDS_TYPE_GUID, info::length, value::byte_len, 0, true},
    {TDS_TYPE_VARBINARY, info::length, value::byte_len, 0, true},
    {TDS_TYPE_INTN, info::length, value::byte_len, 0, true},
    {TDS_TYPE_VARCHAR, info::length, value::byte_len, 0, false},
    {TDS_TYPE_DATEN, info::none, value::byte_len, 3, true},
    {TDS_TYPE_TIMEN, info::scale, value::byte_len, 0, true},
    {TDS_TYPE_DATETIME2N, info::scale, value::byte_len, 0, true},
    {TDS_TYPE_DATETIMEOFFSETN, info::scale, value::byte_len, 0, true},
    {TDS_TYPE_BINARY, info::length, value::byte_len, 0, true},
    {TDS_TYPE_CHAR, info::length, value::byte_len, 0, false},
    {TDS_TYPE_INT1, info::none, value::fixed, 1, true},
    {TDS_TYPE_BIT, info::none, value::fixed, 1, true},
    {TDS_TYPE_INT2, info::none, value::fixed, 2, true},
    {TDS_TYPE_DECIMAL, info::decimal, value::byte_len, 0, false},
    {TDS_TYPE_INT4, info::none, value::fixed, 4, true},
    {TDS_TYPE_DATETIM4, info::none, value::fixed, 4, true},
    {TDS_TYPE_FLT4, info::none, value::fixed, 4, true},
    {TDS_TYPE_MONEY, info::none, value::fixed, 8, true},
    {TDS_TYPE_DATETIME, info::none, value::fixed, 8, true},
    {TDS_TYPE_FLT8, info::none, value::fixed, 8, true},
    {TDS_TYPE_NUMERIC, info::decimal, value::byte_len, 0, false},
    {TDS_TYPE_SSVARIANT, info::long_len, value::variant, 0, true},
    {TDS_TYPE_NTEXT, info::long_coll, value::long_len, 0, false},
    {TDS_TYPE_BITN, info::length, value::byte_len, 0, true},
    {TDS_TYPE_DECIMALN, info::decimal, value::byte_len, 0, true},
    {TDS_TYPE_NUMERICN, info::decimal, value::byte_len, 0, true},
    {TDS_TYPE_FLTN, info::length, value::byte_len, 0, true},
    {TDS_TYPE_MONEYN, info::length, value::byte_len, 0, true},
    {TDS_TYPE_DATETIMN, info::length, value::byte_len, 0, true},
    {TDS_TYPE_MONEY4, info::none, value::fixed, 4, true},
    {TDS_TYPE_INT8, info::none, value::fixed, 8, true},
    {TDS_TYPE_BIGVARBIN, info::ushort, value::ushort, 0, true},
    {TDS_TYPE_BIGVARCHR, info::ushort_coll, value::ushort, 0, true},
    {TDS_TYPE_BIGBINARY, info::ushort, value::ushort, 0, true},
    {TDS_TYPE_BIGCHAR, info::ushort_coll, value::ushort, 0, true},
    {TDS_TYPE_NVARCHAR, info::ushort_coll, value::ushort, 0, true},
    {TDS_TYPE_NCHAR, info::ushort_coll, value::ushort, 0, true},
    {TDS_TYPE_UDT, info::udt, value::chunked, 0, false},
    {TDS_TYPE_XML, info::xml, value::chunked, 0, false},
};

constexpr int TDS_TYPE_RULE_COUNT = sizeof TDS_TYPE_RULES / sizeof TDS_TYPE_RULES[0];

namespace {

// Index by code, built from the table at compile time, so a lookup on the
// path of every value is one load.
struct rule_index {
  int8_t at[256];
  constexpr rule_index() : at() {
    for (int8_t& a : at) a = -1;
    for (int i = 0; i < TDS_TYPE_RULE_COUNT; ++i) at[TDS_TYPE_RULES[i].code] = static_cast<int8_t>(i);
  }
};
constexpr rule_index INDEX;

}  // namespace

const tds_type_rule* tds_type_rule_of(uint8_t code) {
  const int i = INDEX.at[code];
  return i < 0 ? nullptr : &TDS_TYPE_RULES[i];
}
