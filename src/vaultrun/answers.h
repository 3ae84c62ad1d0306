// The library's shared answer buffers and the bounded JSON text escaper.
#pragma once

#include <cstddef>

constexpr size_t G_ERR_SIZE = 512;
constexpr size_t G_SYNC_BUF_SIZE = 131072;

// Reason of the most recent recorded failure; never cleared.
extern char g_err[G_ERR_SIZE];
// Answer of the last connection test or listing.
extern char g_sync_buf[G_SYNC_BUF_SIZE];

// Stores text into g_err, cut to 511 bytes before a character that does
// not fit. Host thread only.
void set_g_err(const char* text);

// Escapes src for a JSON string into dst (cap >= 7 bytes). Stops as soon as
// fewer than 7 bytes of room remain, so an escape is never split, nor a
// UTF-8 character (the cut falls before it); always terminates dst.
// Well-formed UTF-8 passes through unchanged; every byte that starts no
// well-formed character becomes U+FFFD, so the answer is always valid UTF-8.
// Room for a whole text of n bytes: json_escape_cap(n).
void json_escape(const char* src, char* dst, size_t cap);
constexpr size_t json_escape_cap(size_t n) { return 6 * n + 7; }

// Copies src into dst (cap bytes) whole or cut before a UTF-8 character
// that does not fit; always terminates dst. The TDS client's bounded copy
// (utf8_copy_cut), the same rule as every error text.
void copy_text_cut(char* dst, size_t cap, const char* src);

// Writes the failure document {"ok":false,"error":"..."} for reason into
// buf (cap bytes), escaping the reason at capacity 1024.
void write_failure(char* buf, size_t cap, const char* reason);
