// Data types of TDS 7.4: every type code with its hex value, and the one
// table that says how the TYPE_INFO after each code and each of its values
// are laid out. The token sizer, the column metadata reader and the value
// renderer all look a type up here, so a layout is written down once.
#pragma once

#include <cstdint>

constexpr uint8_t TDS_TYPE_NULL = 0x1F;            // NULLTYPE, fixed 0 bytes
constexpr uint8_t TDS_TYPE_IMAGE = 0x22;           // IMAGETYPE, long
constexpr uint8_t TDS_TYPE_TEXT = 0x23;            // TEXTTYPE, long
constexpr uint8_t TDS_TYPE_GUID = 0x24;            // GUIDTYPE, length byte
constexpr uint8_t TDS_TYPE_VARBINARY = 0x25;       // VARBINARYTYPE, length byte
constexpr uint8_t TDS_TYPE_INTN = 0x26;            // INTNTYPE, length byte
constexpr uint8_t TDS_TYPE_VARCHAR = 0x27;         // VARCHARTYPE, length byte
constexpr uint8_t TDS_TYPE_DATEN = 0x28;           // DATENTYPE, length byte
constexpr uint8_t TDS_TYPE_TIMEN = 0x29;           // TIMENTYPE, length byte
constexpr uint8_t TDS_TYPE_DATETIME2N = 0x2A;      // DATETIME2NTYPE, length byte
constexpr uint8_t TDS_TYPE_DATETIMEOFFSETN = 0x2B; // DATETIMEOFFSETNTYPE, length byte
constexpr uint8_t TDS_TYPE_BINARY = 0x2D;          // BINARYTYPE, length byte
constexpr uint8_t TDS_TYPE_CHAR = 0x2F;            // CHARTYPE, length byte
constexpr uint8_t TDS_TYPE_INT1 = 0x30;            // INT1TYPE, fixed 1 byte
constexpr uint8_t TDS_TYPE_BIT = 0x32;             // BITTYPE, fixed 1 byte
constexpr uint8_t TDS_TYPE_INT2 = 0x34;            // INT2TYPE, fixed 2 bytes
constexpr uint8_t TDS_TYPE_DECIMAL = 0x37;         // DECIMALTYPE, length byte
constexpr uint8_t TDS_TYPE_INT4 = 0x38;            // INT4TYPE, fixed 4 bytes
constexpr uint8_t TDS_TYPE_DATETIM4 = 0x3A;        // DATETIM4TYPE, fixed 4 bytes
constexpr uint8_t TDS_TYPE_FLT4 = 0x3B;            // FLT4TYPE, fixed 4 bytes
constexpr uint8_t TDS_TYPE_MONEY = 0x3C;           // MONEYTYPE, fixed 8 bytes
constexpr uint8_t TDS_TYPE_DATETIME = 0x3D;        // DATETIMETYPE, fixed 8 bytes
constexpr uint8_t TDS_TYPE_FLT8 = 0x3E;            // FLT8TYPE, fixed 8 bytes
constexpr uint8_t TDS_TYPE_NUMERIC = 0x3F;         // NUMERICTYPE, length byte
constexpr uint8_t TDS_TYPE_SSVARIANT = 0x62;       // SSVARIANTTYPE, 4-byte length
constexpr uint8_t TDS_TYPE_NTEXT = 0x63;           // NTEXTTYPE, long
constexpr uint8_t TDS_TYPE_BITN = 0x68;            // BITNTYPE, length byte
constexpr uint8_t TDS_TYPE_DECIMALN = 0x6A;        // DECIMALNTYPE, length byte
constexpr uint8_t TDS_TYPE_NUMERICN = 0x6C;        // NUMERICNTYPE, length byte
constexpr uint8_t TDS_TYPE_FLTN = 0x6D;            // FLTNTYPE, length byte
constexpr uint8_t TDS_TYPE_MONEYN = 0x6E;          // MONEYNTYPE, length byte
constexpr uint8_t TDS_TYPE_DATETIMN = 0x6F;        // DATETIMNTYPE, length byte
constexpr uint8_t TDS_TYPE_MONEY4 = 0x7A;          // MONEY4TYPE, fixed 4 bytes
constexpr uint8_t TDS_TYPE_INT8 = 0x7F;            // INT8TYPE, fixed 8 bytes
constexpr uint8_t TDS_TYPE_BIGVARBIN = 0xA5;       // BIGVARBINTYPE, 2-byte length
constexpr uint8_t TDS_TYPE_BIGVARCHR = 0xA7;       // BIGVARCHRTYPE, 2-byte length
constexpr uint8_t TDS_TYPE_BIGBINARY = 0xAD;       // BIGBINARYTYPE, 2-byte length
constexpr uint8_t TDS_TYPE_BIGCHAR = 0xAF;         // BIGCHARTYPE, 2-byte length
constexpr uint8_t TDS_TYPE_NVARCHAR = 0xE7;        // NVARCHARTYPE, 2-byte length
constexpr uint8_t TDS_TYPE_NCHAR = 0xEF;           // NCHARTYPE, 2-byte length
constexpr uint8_t TDS_TYPE_UDT = 0xF0;             // UDTTYPE, chunked
constexpr uint8_t TDS_TYPE_XML = 0xF1;             // XMLTYPE, chunked

// A column of a 2-byte-length type declared with this maximum length
// (varchar(max), nvarchar(max), varbinary(max)) sends its values in the
// chunked form instead.
constexpr uint32_t TDS_MAX_LEN_CHUNKED = 0xFFFF;

// What follows the type code in a TYPE_INFO.
enum class tds_info_form : uint8_t {
  none,         // nothing: the size is fixed (or, for DATEN, always 3)
  length,       // maximum length byte
  scale,        // scale byte (TIMEN, DATETIME2N, DATETIMEOFFSETN)
  decimal,      // maximum length, precision and scale bytes
  ushort,       // 2-byte maximum length
  ushort_coll,  // 2-byte maximum length, then the 5-byte collation
  long_len,     // 4-byte maximum length
  long_coll,    // 4-byte maximum length, then the 5-byte collation
  xml,          // schema-present byte, then (if set) database, owner, collection
  udt,          // 2-byte maximum length, database, schema, type, assembly names
};

// How one value of the type is laid out in a row.
enum class tds_value_form : uint8_t {
  fixed,     // fixed_size bytes, never NULL
  byte_len,  // a length byte, then that many bytes (0: NULL)
  ushort,    // a 2-byte length (0xFFFF: NULL), then the bytes; a column
             // declared with TDS_MAX_LEN_CHUNKED takes the chunked form
  chunked,   // an 8-byte total (all ones: NULL), then chunks of a 4-byte
             // length and data, ended by an empty chunk
  long_len,  // a text-pointer length byte (0: NULL), the pointer, an 8-byte
             // timestamp, a 4-byte length, the data
  variant,   // a 4-byte length, then the data
};

struct tds_type_rule {
  uint8_t code;
  tds_info_form info;
  tds_value_form value;
  uint8_t fixed_size;  // of a fixed value; the TYPE_INFO's maximum length for DATEN
  bool rendered;       // read_value turns its values into text
};

// Every type of TDS 7.4, in code order.
extern const tds_type_rule TDS_TYPE_RULES[];
extern const int TDS_TYPE_RULE_COUNT;

// The rule of a type code, or null for a code TDS 7.4 does not define.
const tds_type_rule* tds_type_rule_of(uint8_t code);

inline bool tds_renders(uint8_t code) {
  const tds_type_rule* r = tds_type_rule_of(code);
  return r != nullptr && r->rendered;
}
