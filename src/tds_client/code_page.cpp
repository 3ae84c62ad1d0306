// Which code page a column's collation gives its 8-bit text. The client
// converts Windows-1252 (the Latin-alphabet collations, the server's usual
// default) and UTF-8; every other code page is TDS_CP_OTHER, whose text is
// kept only where it is valid UTF-8.
//
// Collation on the wire: a 32-bit little-endian word (LCID in bits 0..19,
// of which bits 0..15 are the language; flags in bits 20..27, UTF-8 being
// bit 26; a version in bits 28..31), then the sort id of a legacy collation,
// or 0 for a collation named after a language.
#include <algorithm>
#include <iterator>

#include "tds_client/cursor.h"
#include "tds_client/tds_client.h"

namespace {

constexpr uint32_t UTF8_FLAG = 1u << 26;
constexpr uint32_t LANGUAGE_MASK = 0xFFFF;

// Sort ids of the legacy collations on Windows-1252: the Latin1 "CP1"
// orders, the 1252 dictionary orders and the EBCDIC-sorted ones, which
// store their text in 1252 too.
constexpr bool sort_id_is_1252(uint8_t id) {
  return (id >= 50 && id <= 54) || (id >= 71 && id <= 75) || (id >= 183 && id <= 186) ||
         (id >= 210 && id <= 217);
}

// Languages whose collations store 8-bit text in Windows-1252, sorted.
constexpr uint16_t LANGUAGES_1252[] = {
    0x0403, 0x0406, 0x0407, 0x0409, 0x040A, 0x040B, 0x040C, 0x040F, 0x0410, 0x0413, 0x0414,
    0x0416, 0x0417, 0x041D, 0x0421, 0x042B, 0x042D, 0x042E, 0x0432, 0x0434, 0x0435, 0x0436,
    0x0437, 0x0438, 0x043B, 0x043E, 0x0441, 0x0452, 0x0456, 0x045D, 0x045E, 0x0462, 0x0464,
    0x0468, 0x046A, 0x046B, 0x046C, 0x046E, 0x046F, 0x0470, 0x0478, 0x047A, 0x047C, 0x047E,
    0x0482, 0x0483, 0x0484, 0x0486, 0x0487, 0x0488, 0x0807, 0x0809, 0x080A, 0x080C, 0x0810,
    0x0813, 0x0814, 0x0816, 0x081D, 0x082E, 0x083B, 0x083C, 0x083E, 0x085D, 0x085F, 0x086B,
    0x0C07, 0x0C09, 0x0C0A, 0x0C0C, 0x0C3B, 0x0C6B, 0x1007, 0x1009, 0x100A, 0x100C, 0x103B,
    0x1407, 0x1409, 0x140A, 0x140C, 0x143B, 0x1809, 0x180A, 0x180C, 0x183B, 0x1C09, 0x1C0A,
    0x1C3B, 0x2009, 0x200A, 0x203B, 0x2409, 0x240A, 0x243B, 0x2809, 0x280A, 0x2C09, 0x2C0A,
    0x3009, 0x300A, 0x3409, 0x340A, 0x380A, 0x3C0A, 0x4009, 0x400A, 0x4409, 0x440A, 0x4809,
    0x480A, 0x4C0A, 0x500A, 0x540A};
static_assert(std::is_sorted(std::begin(LANGUAGES_1252), std::end(LANGUAGES_1252)),
              "the language table is searched by halving");

}  // namespace

uint32_t tds_code_page(const uint8_t* collation) {
  const uint32_t info = le32(collation);
  if ((info & UTF8_FLAG) != 0) return TDS_CP_UTF8;
  const uint8_t sort_id = collation[4];
  if (sort_id != 0) return sort_id_is_1252(sort_id) ? TDS_CP_1252 : TDS_CP_OTHER;
  const uint16_t language = static_cast<uint16_t>(info & LANGUAGE_MASK);
  return std::binary_search(std::begin(LANGUAGES_1252), std::end(LANGUAGES_1252), language)
             ? TDS_CP_1252
             : TDS_CP_OTHER;
}
