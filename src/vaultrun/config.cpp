// The tokenizer's implementation is compiled here, once, in its lenient
// mode and without parent links.
#include <jsmn.h>

#include "vaultrun/config.h"

#include <climits>
#include <cstring>

namespace {

void set_defaults(backup_config* cfg) {
  std::memset(cfg, 0, sizeof *cfg);
  std::memcpy(cfg->host, "127.0.0.1", 10);
  cfg->port = 1433;
  cfg->compression = 1;
  cfg->verify = 1;
}

bool tok_is(const char* text, const jsmntok_t* t, const char* word, int len) {
  return t->end - t->start == len && std::memcmp(text + t->start, word, len) == 0;
}

// Leading white space, an optional sign, then decimal digits up to the
// first other byte; 0 without digits. Saturates instead of overflowing.
int64_t leading_int(const char* s) {
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
  bool neg = false;
  if (*s == '+' || *s == '-') neg = *s++ == '-';
  int64_t v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    int d = *s - '0';
    if (v > (INT64_MAX - d) / 10) {
      v = INT64_MAX;
      while (s[1] >= '0' && s[1] <= '9') ++s;
      continue;
    }
    v = v * 10 + d;
  }
  return neg ? -v : v;
}

// A numeric value read the way the runtime's atoi reads it, from a value
// text of at most 31 bytes; a longer text gives fallback.
int64_t numeric_value(const char* text, const jsmntok_t* t, int64_t fallback) {
  int len = t->end - t->start;
  if (len > 31) return fallback;
  char scratch[32];
  std::memcpy(scratch, text + t->start, len);
  scratch[len] = 0;
  return leading_int(scratch);
}

int32_t clamp_i32(int64_t v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

int64_t timeout_value(const char* text, const jsmntok_t* t) {
  int64_t v = numeric_value(text, t, 0);
  return v < 0 ? 0 : v;
}

// Applies a recognised key's value; false when the key is none of ours.
// Keys are compared on their raw bytes, so an escaped key never matches.
bool apply_key(const char* text, const jsmntok_t* key, const jsmntok_t* val, backup_config* cfg) {
  switch (key->end - key->start) {
    case 4:
      if (tok_is(text, key, "host", 4)) return tok_copy(text, val, cfg->host, sizeof cfg->host), true;
      if (tok_is(text, key, "port", 4)) return cfg->port = clamp_i32(numeric_value(text, val, 1433)), true;
      if (tok_is(text, key, "user", 4)) return tok_copy(text, val, cfg->user, sizeof cfg->user), true;
      return false;
    case 8:
      if (tok_is(text, key, "password", 8))
        return tok_copy(text, val, cfg->password, sizeof cfg->password), true;
      if (tok_is(text, key, "database", 8))
        return tok_copy(text, val, cfg->database, sizeof cfg->database), true;
      if (tok_is(text, key, "out_path", 8))
        return tok_copy(text, val, cfg->out_path, sizeof cfg->out_path), true;
      return false;
    case 11:
      if (tok_is(text, key, "compression", 11)) return cfg->compression = !tok_is(text, val, "false", 5), true;
      return false;
    case 9:
      if (tok_is(text, key, "copy_only", 9)) return cfg->copy_only = tok_is(text, val, "true", 4), true;
      return false;
    case 6:
      if (tok_is(text, key, "verify", 6)) return cfg->verify = !tok_is(text, val, "false", 5), true;
      return false;
    case 16:
      if (tok_is(text, key, "query_timeout_ms", 16)) return cfg->query_timeout_ms = timeout_value(text, val), true;
      return false;
    case 18:
      if (tok_is(text, key, "connect_timeout_ms", 18))
        return cfg->connect_timeout_ms = timeout_value(text, val), true;
      return false;
    default:
      return false;
  }
}

}  // namespace

void tok_copy(const char* text, const jsmntok_t* tok, char* dst, size_t cap) {
  size_t len = tok->end > tok->start ? static_cast<size_t>(tok->end - tok->start) : 0;
  size_t span = len < cap - 1 ? len : cap - 1;
  const char* src = text + tok->start;
  size_t out = 0;
  for (size_t i = 0; i < span; ++i) {
    char c = src[i];
    if (c == '\\' && i + 1 < span) {
      char n = src[++i];
      c = n == 'r' ? '\r' : n == 't' ? '\t' : n == 'n' ? '\n' : n;
    }
    dst[out++] = c;
  }
  dst[out] = 0;
}

int parse_config(const char* text, backup_config* cfg) {
  set_defaults(cfg);
  size_t len = std::strlen(text);
  if (len == 0) return -1;

  jsmn_parser parser;
  jsmntok_t tok[CONFIG_MAX_TOKENS];
  jsmn_init(&parser);
  int n = jsmn_parse(&parser, text, len, tok, CONFIG_MAX_TOKENS);
  if (n <= 0 || tok[0].type != JSMN_OBJECT) {
    set_defaults(cfg);
    return -1;
  }

  // Tokens pair up by position: a string followed by any token is a key and
  // its value. Members apply in text order, so a repeated key's last value wins.
  int i = 1;
  while (i < n) {
    if (tok[i].type != JSMN_STRING) {
      ++i;
      continue;
    }
    if (i == n - 1) break;
    const jsmntok_t* key = &tok[i];
    const jsmntok_t* val = &tok[i + 1];
    i += 2;
    if (apply_key(text, key, val, cfg)) continue;
    // An unknown key's value is passed over whole, however deeply it nests.
    while (i < n && tok[i].start < val->end && tok[i].end <= val->end) ++i;
  }
  return 0;
}
