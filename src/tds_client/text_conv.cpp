// UTF-8 <-> UTF-16LE for the wire, and 8-bit column text to UTF-8.
//
// Malformed input never passes through as arithmetic: a byte that cannot
// start a UTF-8 sequence, or a sequence broken off by a byte that cannot
// continue it, becomes one U+FFFD, and decoding resumes at the first byte
// that was not a fitting continuation. So a quote, a bracket or the NUL after
// a bad lead byte is always read as itself, and a lone UTF-16 surrogate is
// written as U+FFFD too: every output is well-formed.
//
// None of the converters allocates or reports an error. Output that does not
// fit is cut before the first character that does not fit (a later, shorter
// one is not tried), so the result is always a prefix of the full one.
#include <cstring>

#include "tds_client/tds_client.h"

namespace {

constexpr uint32_t REPLACEMENT = 0xFFFD;
constexpr uint32_t NOT_A_CHARACTER = ~uint32_t(0);  // what decode_seq gives for malformed bytes

// Decodes the UTF-8 sequence whose lead byte p[0] is 0x80 or above, reading
// at most `left` (>= 1) bytes and none after a byte that does not continue
// the sequence, so a NUL terminator is never read past. Sets *cp to the code
// point, or to NOT_A_CHARACTER; returns the bytes consumed: the whole
// sequence, or its longest valid start (at least the lead byte). The lead
// byte fixes the allowed range of the first continuation byte, which is what
// rules out overlong forms, encoded surrogates and code points above U+10FFFF.
inline uint64_t decode_seq(const uint8_t* p, uint64_t left, uint32_t* cp) {
  const uint8_t c = p[0];
  uint64_t len;
  uint32_t v;
  uint8_t lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    v = c & 0x1Fu;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    v = c & 0x0Fu;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    v = c & 0x07u;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    *cp = NOT_A_CHARACTER;
    return 1;
  }
  for (uint64_t k = 1; k < len; ++k) {
    if (k >= left || p[k] < lo || p[k] > hi) {
      *cp = NOT_A_CHARACTER;
      return k;
    }
    v = (v << 6) | (p[k] & 0x3Fu);
    lo = 0x80;
    hi = 0xBF;
  }
  *cp = v;
  return len;
}

inline uint64_t utf8_len(uint32_t cp) {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// Writes cp (a scalar value) as its utf8_len(cp) bytes.
inline void put_utf8(uint8_t* o, uint32_t cp) {
  if (cp < 0x80) {
    o[0] = static_cast<uint8_t>(cp);
  } else if (cp < 0x800) {
    o[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
    o[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    o[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
    o[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    o[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  } else {
    o[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
    o[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
    o[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    o[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  }
}

// Length of the run of bytes below 0x80 at p, at most max. Most column text
// is ASCII, so it is tested a word at a time; the range is known, so no
// word reaches past it.
inline uint64_t ascii_run(const uint8_t* p, uint64_t max) {
  constexpr uint64_t HIGH_BITS = 0x8080808080808080ull;
  uint64_t k = 0;
  while (max - k >= 8) {
    uint64_t w;
    std::memcpy(&w, p + k, 8);
    if ((w & HIGH_BITS) != 0) break;
    k += 8;
  }
  while (k < max && p[k] < 0x80) ++k;
  return k;
}

// Appends cp at o[*n] when it fits beside the terminator in cap bytes.
inline bool append_utf8(uint8_t* o, uint64_t* n, uint64_t cap, uint32_t cp) {
  const uint64_t len = utf8_len(cp);
  if (cap - 1 - *n < len) return false;
  put_utf8(o + *n, cp);
  *n += len;
  return true;
}

inline void put_unit(uint8_t* o, uint32_t u) {
  o[0] = static_cast<uint8_t>(u);
  o[1] = static_cast<uint8_t>(u >> 8);
}

// Windows-1252 bytes 0x80..0x9F. The five bytes the code page leaves
// unassigned (81, 8D, 8F, 90, 9D) map to the C1 controls of the same value,
// as the server does when it converts such a column to Unicode, so no byte
// is lost. Bytes 0xA0..0xFF are U+00A0..U+00FF.
constexpr uint16_t CP1252_80_9F[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  //
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  //
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  //
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

uint64_t utf8_to_ucs2(const char* in, uint8_t* out, uint64_t cap) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(in);
  uint64_t n = 0;  // bytes written; n <= cap throughout, so cap - n never wraps
  for (;;) {
    // A run of ASCII: the room for it is worked out once per run.
    const uint64_t room = (cap - n) / 2;
    uint64_t k = 0;
    while (k < room && p[k] != 0 && p[k] < 0x80) {
      put_unit(out + n + 2 * k, p[k]);
      ++k;
    }
    n += 2 * k;
    p += k;
    // Past the run: the end, no room for another unit, or a byte above 0x7F.
    if (p[0] == 0 || cap - n < 2) break;

    if (p[0] >= 0xC2 && p[0] <= 0xDF && (p[1] & 0xC0) == 0x80) {  // two bytes, the most common
      put_unit(out + n, ((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu));
      n += 2;
      p += 2;
      continue;
    }
    uint32_t cp;
    const uint64_t used = decode_seq(p, ~uint64_t(0), &cp);
    if (cp == NOT_A_CHARACTER) cp = REPLACEMENT;
    if (cp >= 0x10000) {
      if (cap - n < 4) break;
      put_unit(out + n, 0xD800u | ((cp - 0x10000u) >> 10));
      put_unit(out + n + 2, 0xDC00u | (cp & 0x3FFu));
      n += 4;
    } else {
      put_unit(out + n, cp);
      n += 2;
    }
    p += used;
  }
  return n;
}

void ucs2_to_utf8(const uint8_t* in, uint64_t in_len, char* out, uint64_t cap) {
  if (cap == 0) return;  // no room even for the terminator
  uint8_t* o = reinterpret_cast<uint8_t*>(out);
  uint64_t n = 0;  // bytes written; n < cap throughout, leaving room for the NUL
  uint64_t i = 0;
  // A trailing odd byte is ignored: only whole code units are read.
  while (in_len - i >= 2) {
    // A run of ASCII units: the room for the whole run is worked out once,
    // so the copy needs no check per unit.
    const uint64_t units = (in_len - i) / 2;
    const uint64_t room = cap - 1 - n;
    const uint64_t run_max = units < room ? units : room;
    const uint8_t* src = in + i;
    uint64_t k = 0;
    while (k < run_max && src[2 * k + 1] == 0 && src[2 * k] < 0x80) {
      o[n + k] = src[2 * k];
      ++k;
    }
    n += k;
    i += 2 * k;
    if (in_len - i < 2) break;
    uint32_t u = static_cast<uint32_t>(in[i]) | (static_cast<uint32_t>(in[i + 1]) << 8);
    if (u < 0x80) break;  // the run stopped here only for want of room
    if (u < 0x800) {      // the most common case outside ASCII, written directly
      if (cap - 1 - n < 2) break;
      o[n] = static_cast<uint8_t>(0xC0 | (u >> 6));
      o[n + 1] = static_cast<uint8_t>(0x80 | (u & 0x3F));
      n += 2;
      i += 2;
      continue;
    }

    uint32_t cp = u;
    uint64_t used = 2;
    if (u >= 0xD800 && u <= 0xDFFF) {
      cp = REPLACEMENT;  // a surrogate not in a pair has no UTF-8 form
      if (u <= 0xDBFF && in_len - i >= 4) {
        uint32_t u2 = static_cast<uint32_t>(in[i + 2]) | (static_cast<uint32_t>(in[i + 3]) << 8);
        if (u2 >= 0xDC00 && u2 <= 0xDFFF) {
          cp = 0x10000u + ((u - 0xD800u) << 10) + (u2 - 0xDC00u);
          used = 4;
        }
      }
    }
    if (!append_utf8(o, &n, cap, cp)) break;
    i += used;
  }
  o[n] = 0;
}

void codepage_to_utf8(const uint8_t* in, uint64_t in_len, uint32_t code_page, char* out,
                      uint64_t cap) {
  if (cap == 0) return;  // no room even for the terminator
  uint8_t* o = reinterpret_cast<uint8_t*>(out);
  uint64_t n = 0;  // bytes written; n < cap throughout, leaving room for the NUL
  uint64_t i = 0;
  while (i < in_len) {
    // ASCII is the same in every code page the client reads.
    const uint64_t left = in_len - i;
    const uint64_t room = cap - 1 - n;
    const uint64_t k = ascii_run(in + i, left < room ? left : room);
    if (k >= 16) {
      std::memcpy(o + n, in + i, k);
    } else {
      for (uint64_t j = 0; j < k; ++j) o[n + j] = in[i + j];  // words between accents
    }
    n += k;
    i += k;
    if (i == in_len || in[i] < 0x80) break;  // done, or the run stopped for want of room

    uint32_t cp;
    uint64_t used = 1;
    if (code_page == TDS_CP_1252) {
      cp = in[i] >= 0xA0 ? in[i] : CP1252_80_9F[in[i] - 0x80];
    } else {
      // UTF-8 columns, and code pages the client has no table for: what is
      // valid UTF-8 is kept, any other byte above 0x7F is not guessed at.
      used = decode_seq(in + i, in_len - i, &cp);
      if (cp == NOT_A_CHARACTER) cp = REPLACEMENT;
    }
    if (!append_utf8(o, &n, cap, cp)) break;
    i += used;
  }
  o[n] = 0;
}

bool utf8_valid(const char* s, uint64_t len) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(s);
  uint64_t i = 0;
  while (i < len) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    uint32_t cp;
    i += decode_seq(p + i, len - i, &cp);
    if (cp == NOT_A_CHARACTER) return false;
  }
  return true;
}

bool utf8_copy_cut(char* dst, uint64_t cap, const char* text) {
  if (text == nullptr) text = "";
  uint64_t n = std::strlen(text);
  const bool whole = n <= cap - 1;
  if (!whole) {
    n = cap - 1;
    // Back up over continuation bytes: the byte at n starts the first
    // character that does not fit.
    while (n > 0 && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80) --n;
  }
  std::memmove(dst, text, n);  // text may lie inside dst, as when a message is cut in place
  dst[n] = 0;
  return whole;
}
