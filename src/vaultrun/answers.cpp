#include "vaultrun/answers.h"

#include <cstdio>
#include <cstring>

#include "tds_client/tds_client.h"
#include "vaultrun.h"

char g_err[G_ERR_SIZE];
char g_sync_buf[G_SYNC_BUF_SIZE];

namespace {
const char VERSION_TEXT[] = "kestrova-vaultrun 1.0.0";
const char HEX[] = "0123456789abcdef";
}  // namespace

void copy_text_cut(char* dst, size_t cap, const char* src) { utf8_copy_cut(dst, cap, src); }

void set_g_err(const char* text) { utf8_copy_cut(g_err, sizeof g_err, text); }

namespace {

const unsigned char REPLACEMENT[] = {0xEF, 0xBF, 0xBD};  // U+FFFD

// Length of the well-formed UTF-8 sequence at s (lead byte 0x80 or above),
// or 0 when the bytes there are not one. Stops at the terminator, which is
// no continuation byte.
size_t sequence_len(const unsigned char* s) {
  const unsigned char c = *s;
  const size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  return n != 0 && utf8_valid(reinterpret_cast<const char*>(s), n) ? n : 0;
}

// Writes the JSON string form of an ASCII byte at dst; returns its length.
size_t escape_ascii(unsigned char c, char* dst) {
  const char* pair = c == '"' ? "\\\"" : c == '\\' ? "\\\\" : c == '\n' ? "\\n" : c == '\r' ? "\\r"
                   : c == '\t' ? "\\t" : nullptr;
  if (pair != nullptr) {
    std::memcpy(dst, pair, 2);
    return 2;
  }
  if (c < 0x20) {
    const char form[6] = {'\\', 'u', '0', '0', HEX[c >> 4], HEX[c & 15]};
    std::memcpy(dst, form, 6);
    return 6;
  }
  dst[0] = static_cast<char>(c);
  return 1;
}

}  // namespace

void json_escape(const char* src, char* dst, size_t cap) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
  size_t w = 0;
  // A byte goes out while 7 bytes of room remain (the longest escape and the
  // terminator); the first one needs no test, the caller guarantees 7. A
  // character of several bytes goes out whole or not at all, as if each of
  // its bytes had passed that test, so the answer never holds a broken one.
  for (bool first = true; *s != 0; first = false) {
    if (!first && w + 6 >= cap) break;
    if (*s < 0x80) {
      w += escape_ascii(*s++, dst + w);
      continue;
    }
    const size_t n = sequence_len(s);
    const unsigned char* out = n != 0 ? s : REPLACEMENT;
    const size_t out_len = n != 0 ? n : sizeof REPLACEMENT;
    if (w + out_len + 5 >= cap) break;
    std::memcpy(dst + w, out, out_len);
    w += out_len;
    s += n != 0 ? n : 1;  // a byte that starts no valid character is replaced alone
  }
  dst[w] = 0;
}

void write_failure(char* buf, size_t cap, const char* reason) {
  char esc[1024];
  json_escape(reason, esc, sizeof esc);
  std::snprintf(buf, cap, "{\"ok\":false,\"error\":\"%s\"}", esc);
}

extern "C" {

VAULTRUN_API const char* vaultrun_version(void) { return VERSION_TEXT; }

VAULTRUN_API const char* vaultrun_last_error(void) { return g_err; }

}  // extern "C"
