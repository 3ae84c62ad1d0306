// A checked read cursor over a byte range: every reader tests what is left
// before it reads, comparing the need against the bytes left (never a sum of
// pointers), so no declared length can carry a read past the end.
#pragma once

#include <cstdint>

struct tds_cursor {
  const uint8_t* p;
  uint64_t left;
};

inline tds_cursor cur_make(const uint8_t* p, const uint8_t* end) {
  return tds_cursor{p, p < end ? static_cast<uint64_t>(end - p) : 0};
}

inline bool cur_has(const tds_cursor& c, uint64_t need) { return need <= c.left; }

inline bool cur_skip(tds_cursor& c, uint64_t n) {
  if (n > c.left) return false;
  c.p += n;
  c.left -= n;
  return true;
}

inline bool rd_u8(tds_cursor& c, uint8_t* v) {
  if (c.left < 1) return false;
  *v = c.p[0];
  c.p += 1;
  c.left -= 1;
  return true;
}

inline bool rd_u16le(tds_cursor& c, uint16_t* v) {
  if (c.left < 2) return false;
  *v = static_cast<uint16_t>(c.p[0] | (c.p[1] << 8));
  c.p += 2;
  c.left -= 2;
  return true;
}

inline bool rd_u32le(tds_cursor& c, uint32_t* v) {
  if (c.left < 4) return false;
  *v = static_cast<uint32_t>(c.p[0]) | (static_cast<uint32_t>(c.p[1]) << 8) |
       (static_cast<uint32_t>(c.p[2]) << 16) | (static_cast<uint32_t>(c.p[3]) << 24);
  c.p += 4;
  c.left -= 4;
  return true;
}

// Takes n bytes: *out points at them inside the range.
inline bool rd_bytes(tds_cursor& c, uint64_t n, const uint8_t** out) {
  if (n > c.left) return false;
  *out = c.p;
  c.p += n;
  c.left -= n;
  return true;
}

inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
