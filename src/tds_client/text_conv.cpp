// UTF-8 <-> UTF-16LE for the wire. Both directions are plain bit-level
// transcoders: they never validate, never allocate and never report an error.
// Malformed input goes through the same arithmetic as well-formed input, and
// output that does not fit is cut before the first character that does not
// fit (a later, shorter one is not tried), so the result is always a prefix.
#include "tds_client/tds_client.h"

uint64_t utf8_to_ucs2(const char* in, uint8_t* out, uint64_t cap) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(in);
  uint64_t n = 0;  // bytes written; n <= cap throughout, so cap - n never wraps
  for (;;) {
    uint32_t c = p[0];
    if (c == 0) break;
    if (cap - n < 2) break;
    if (c < 0x80) {
      out[n] = static_cast<uint8_t>(c);
      out[n + 1] = 0;
      n += 2;
      p += 1;
      continue;
    }
    // Continuation bytes are taken by their low six bits without checking
    // that they are continuation bytes. A sequence cut short by the input's
    // terminating NUL ends the conversion there: nothing is written for the
    // partial character and nothing beyond the NUL is read.
    uint32_t b1 = p[1];
    if (b1 == 0) break;
    uint32_t unit;
    if ((c & 0xE0) == 0xC0) {
      unit = ((c & 0x1F) << 6) | (b1 & 0x3F);
      p += 2;
    } else {
      uint32_t b2 = p[2];
      if (b2 == 0) break;
      if ((c & 0xF0) == 0xE0) {
        unit = ((c & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F);
        p += 3;
      } else {
        // Every other lead byte (stray continuation bytes 0x80..0xBF and
        // 0xF0..0xFF) starts a four-byte sequence written as a surrogate pair.
        uint32_t b3 = p[3];
        if (b3 == 0) break;
        if (cap - n < 4) break;
        uint32_t cp = ((c & 0x07) << 18) | ((b1 & 0x3F) << 12) | ((b2 & 0x3F) << 6) | (b3 & 0x3F);
        uint32_t hi = 0xD800u | ((cp - 0x10000u) >> 10);  // wraps for cp < 0x10000, cut to 16 bits
        uint32_t lo = 0xDC00u | (cp & 0x3FFu);
        out[n] = static_cast<uint8_t>(hi);
        out[n + 1] = static_cast<uint8_t>(hi >> 8);
        out[n + 2] = static_cast<uint8_t>(lo);
        out[n + 3] = static_cast<uint8_t>(lo >> 8);
        n += 4;
        p += 4;
        continue;
      }
    }
    out[n] = static_cast<uint8_t>(unit);
    out[n + 1] = static_cast<uint8_t>(unit >> 8);
    n += 2;
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

    if (u >= 0xD800 && u <= 0xDBFF && in_len - i >= 4) {
      uint32_t u2 = static_cast<uint32_t>(in[i + 2]) | (static_cast<uint32_t>(in[i + 3]) << 8);
      if (u2 >= 0xDC00 && u2 <= 0xDFFF) {
        if (cap - n <= 4) break;
        uint32_t cp = 0x10000u + ((u - 0xD800u) << 10) + (u2 - 0xDC00u);
        o[n] = static_cast<uint8_t>(0xF0 | (cp >> 18));
        o[n + 1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
        o[n + 2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        o[n + 3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        n += 4;
        i += 4;
        continue;
      }
    }
    if (u < 0x800) {
      if (cap - n <= 2) break;
      o[n] = static_cast<uint8_t>(0xC0 | (u >> 6));
      o[n + 1] = static_cast<uint8_t>(0x80 | (u & 0x3F));
      n += 2;
    } else {
      // Unpaired surrogates of either kind take the three-byte form.
      if (cap - n <= 3) break;
      o[n] = static_cast<uint8_t>(0xE0 | (u >> 12));
      o[n + 1] = static_cast<uint8_t>(0x80 | ((u >> 6) & 0x3F));
      o[n + 2] = static_cast<uint8_t>(0x80 | (u & 0x3F));
      n += 3;
    }
    i += 2;
  }
  o[n] = 0;
}

bool utf8_valid(const char* s, uint64_t len) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(s);
  uint64_t i = 0;
  while (i < len) {
    const uint8_t c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    // The lead byte fixes the length and the allowed range of the first
    // continuation byte, which is what rules out overlong forms, encoded
    // surrogates and code points above U+10FFFF.
    uint64_t n;
    uint8_t lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (len - i < n) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (uint64_t k = 2; k < n; ++k)
      if ((p[i + k] & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}
