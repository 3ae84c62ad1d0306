#include "vaultrun/doc_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vaultrun/answers.h"

void doc_put(doc_text* d, const char* s, size_t n) {
  if (d->failed) return;
  if (d->len + n + 1 > d->cap) {
    size_t cap = d->cap == 0 ? 4096 : d->cap;
    while (cap < d->len + n + 1) cap *= 2;
    char* p = static_cast<char*>(std::realloc(d->p, cap));
    if (p == nullptr) {
      d->failed = true;
      return;
    }
    d->p = p;
    d->cap = cap;
  }
  if (n > 0) std::memcpy(d->p + d->len, s, n);  // an empty part may come without a text at all
  d->len += n;
  d->p[d->len] = 0;
}

void doc_raw(doc_text* d, const char* s) { doc_put(d, s, std::strlen(s)); }

// A JSON string of any length, escaped whole.
void doc_string(doc_text* d, const char* s) {
  const size_t cap = json_escape_cap(std::strlen(s));
  char* esc = static_cast<char*>(std::malloc(cap));
  if (esc == nullptr) {
    d->failed = true;
    return;
  }
  json_escape(s, esc, cap);
  doc_raw(d, "\"");
  doc_raw(d, esc);
  doc_raw(d, "\"");
  std::free(esc);
}

void doc_member(doc_text* d, const char* name, const char* value) {
  doc_raw(d, ",\"");
  doc_raw(d, name);
  doc_raw(d, "\":");
  doc_string(d, value);
}

void doc_number(doc_text* d, const char* name, long long v) {
  char text[64];
  std::snprintf(text, sizeof text, ",\"%s\":%lld", name, v);
  doc_raw(d, text);
}

