// Shared by the fuzz targets: a check that aborts with a message (so that
// libFuzzer records the input as a crash), exact-size heap copies (so that
// AddressSanitizer sees any read or write one byte past a buffer), and
// UTF-8 shape tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#define FUZZ_CHECK(cond)                                                             \
  do {                                                                               \
    if (!(cond)) {                                                                   \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)

// A heap copy of exactly n bytes.
inline std::unique_ptr<uint8_t[]> exact_copy(const uint8_t* data, size_t n) {
  std::unique_ptr<uint8_t[]> p(new uint8_t[n]);
  if (n != 0) std::memcpy(p.get(), data, n);
  return p;
}

// The bytes up to the first NUL (or all of them) as a C text in a heap block
// of exactly that length plus the terminator, so reading past the NUL is
// caught.
inline std::unique_ptr<char[]> exact_text(const uint8_t* data, size_t n) {
  const void* nul = std::memchr(data, 0, n);
  size_t len = nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : n;
  std::unique_ptr<char[]> p(new char[len + 1]);
  if (len != 0) std::memcpy(p.get(), data, len);
  p[len] = 0;
  return p;
}

// True when buf[0..cap) holds a NUL.
inline bool terminated(const char* buf, size_t cap) { return std::memchr(buf, 0, cap) != nullptr; }

// Length of the sequence that a UTF-8 lead byte starts, 0 for a byte that
// cannot lead one.
inline size_t utf8_seq_len(uint8_t c) {
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) return 2;
  if ((c & 0xF0) == 0xE0) return 3;
  if ((c & 0xF8) == 0xF0) return 4;
  return 0;
}

// Every lead byte is followed by as many continuation bytes as it announces:
// the shape the library's converters always produce, whatever they were fed
// (code point ranges are not judged).
inline bool utf8_whole_sequences(const char* s, size_t n) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(s);
  size_t i = 0;
  while (i < n) {
    size_t k = utf8_seq_len(p[i]);
    if (k == 0 || n - i < k) return false;
    for (size_t j = 1; j < k; ++j)
      if ((p[i + j] & 0xC0) != 0x80) return false;
    i += k;
  }
  return true;
}

// Strictly well-formed UTF-8: shortest forms, no surrogates, nothing above
// U+10FFFF, and no NUL (a NUL would end the text early).
inline bool utf8_well_formed(const uint8_t* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    uint8_t c = p[i];
    if (c == 0) return false;
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t k = utf8_seq_len(c);
    if (k < 2 || n - i < k) return false;
    uint32_t cp = c & (0x7F >> k);
    for (size_t j = 1; j < k; ++j) {
      if ((p[i + j] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + j] & 0x3F);
    }
    static const uint32_t min_cp[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_cp[k] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += k;
  }
  return true;
}

// Strictly well-formed UTF-16LE: an even length, surrogates only in pairs,
// and no zero unit.
inline bool utf16_well_formed(const uint8_t* p, size_t n) {
  if (n % 2 != 0) return false;
  for (size_t i = 0; i < n; i += 2) {
    uint32_t u = p[i] | (p[i + 1] << 8);
    if (u == 0 || (u >= 0xDC00 && u <= 0xDFFF)) return false;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (n - i < 4) return false;
      uint32_t u2 = p[i + 2] | (p[i + 3] << 8);
      if (u2 < 0xDC00 || u2 > 0xDFFF) return false;
      i += 2;
    }
  }
  return true;
}
