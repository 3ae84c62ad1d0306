// A result document grown on the heap: JSON pieces appended one after
// another; a failed allocation leaves it marked, and the caller reports
// "out of memory" instead of a cut document.
#pragma once

#include <cstddef>

struct doc_text {
  char* p;
  size_t len, cap;
  bool failed;
};

void doc_put(doc_text* d, const char* s, size_t n);
void doc_raw(doc_text* d, const char* s);
// A JSON string of any length, escaped whole.
void doc_string(doc_text* d, const char* s);
// ,"name":"value" and ,"name":number.
void doc_member(doc_text* d, const char* name, const char* value);
void doc_number(doc_text* d, const char* name, long long v);
