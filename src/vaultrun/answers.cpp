#include "vaultrun/answers.h"

#include <cstdio>
#include <cstring>

#include "vaultrun.h"

char g_err[G_ERR_SIZE];
char g_sync_buf[G_SYNC_BUF_SIZE];

namespace {
const char VERSION_TEXT[] = "kestrova-vaultrun 1.0.0";
const char HEX[] = "0123456789abcdef";
}  // namespace

void copy_text_cut(char* dst, size_t cap, const char* src) {
  size_t len = std::strlen(src);
  if (len >= cap) {
    len = cap - 1;
    // Back up over continuation bytes so no character is split.
    size_t k = len;
    while (k > 0 && (static_cast<unsigned char>(src[k]) & 0xC0) == 0x80) --k;
    len = k;
  }
  std::memcpy(dst, src, len);
  dst[len] = 0;
}

void set_g_err(const char* text) {
  size_t len = std::strlen(text);
  if (len > G_ERR_SIZE - 1) len = G_ERR_SIZE - 1;
  std::memcpy(g_err, text, len);
  g_err[len] = 0;
}

void json_escape(const char* src, char* dst, size_t cap) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
  size_t w = 0;
  if (*s == 0) {
    dst[0] = 0;
    return;
  }
  // The first byte goes out before any room test; the caller guarantees 7.
  do {
    unsigned char c = *s;
    switch (c) {
      case '"': dst[w++] = '\\'; dst[w++] = '"'; break;
      case '\\': dst[w++] = '\\'; dst[w++] = '\\'; break;
      case '\n': dst[w++] = '\\'; dst[w++] = 'n'; break;
      case '\r': dst[w++] = '\\'; dst[w++] = 'r'; break;
      case '\t': dst[w++] = '\\'; dst[w++] = 't'; break;
      default:
        if (c < 0x20) {
          dst[w++] = '\\'; dst[w++] = 'u'; dst[w++] = '0'; dst[w++] = '0';
          dst[w++] = HEX[c >> 4]; dst[w++] = HEX[c & 15];
        } else {
          dst[w++] = static_cast<char>(c);
        }
    }
    ++s;
  } while (*s != 0 && w + 6 < cap);
  // Stopped inside a UTF-8 character: drop the part of it already copied,
  // so the answer never carries a broken sequence.
  if ((*s & 0xC0) == 0x80) {
    while (w > 0 && (static_cast<unsigned char>(dst[w - 1]) & 0xC0) == 0x80) --w;
    if (w > 0 && static_cast<unsigned char>(dst[w - 1]) >= 0xC0) --w;
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
