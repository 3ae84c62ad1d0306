// Data type codes of the column TYPE_INFO that the client reads, shared by
// the column metadata decoder and the value renderer.
#pragma once

#include <cstdint>

constexpr uint8_t TDS_TYPE_GUID = 0x24;            // GUIDTYPE, length byte
constexpr uint8_t TDS_TYPE_INTN = 0x26;            // INTNTYPE, length byte
constexpr uint8_t TDS_TYPE_DATEN = 0x28;           // DATENTYPE, length byte
constexpr uint8_t TDS_TYPE_TIMEN = 0x29;           // TIMENTYPE, length byte
constexpr uint8_t TDS_TYPE_DATETIME2N = 0x2A;      // DATETIME2NTYPE, length byte
constexpr uint8_t TDS_TYPE_DATETIMEOFFSETN = 0x2B; // DATETIMEOFFSETNTYPE, length byte
constexpr uint8_t TDS_TYPE_INT4 = 0x38;            // INT4TYPE, fixed 4 bytes
constexpr uint8_t TDS_TYPE_BITN = 0x68;            // BITNTYPE, length byte
constexpr uint8_t TDS_TYPE_DECIMALN = 0x6A;        // DECIMALNTYPE, length byte
constexpr uint8_t TDS_TYPE_NUMERICN = 0x6C;        // NUMERICNTYPE, length byte
constexpr uint8_t TDS_TYPE_FLTN = 0x6D;            // FLTNTYPE, length byte
constexpr uint8_t TDS_TYPE_MONEYN = 0x6E;          // MONEYNTYPE, length byte
constexpr uint8_t TDS_TYPE_DATETIMN = 0x6F;        // DATETIMNTYPE, length byte
constexpr uint8_t TDS_TYPE_BIGVARCHR = 0xA7;       // BIGVARCHRTYPE, 2-byte length
constexpr uint8_t TDS_TYPE_BIGCHAR = 0xAF;         // BIGCHARTYPE, 2-byte length
constexpr uint8_t TDS_TYPE_NVARCHAR = 0xE7;        // NVARCHARTYPE, 2-byte length
constexpr uint8_t TDS_TYPE_NCHAR = 0xEF;           // NCHARTYPE, 2-byte length

// A character column declared with this maximum length (varchar(max),
// nvarchar(max)) sends its values in the chunked form: an 8-byte total, then
// chunks of a 4-byte length and data, ended by an empty chunk.
constexpr uint32_t TDS_MAX_LEN_CHUNKED = 0xFFFF;

inline bool tds_is_char_type(uint8_t type) {
  return type == TDS_TYPE_BIGVARCHR || type == TDS_TYPE_BIGCHAR || type == TDS_TYPE_NVARCHAR ||
         type == TDS_TYPE_NCHAR;
}
