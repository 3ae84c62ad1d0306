// The connection configuration: one JSON text per call, parsed into a plain
// record of fixed-size fields with defaults.
#pragma once

#include <cstddef>
#include <cstdint>

#ifndef JSMN_H
#define JSMN_HEADER
#include <jsmn.h>
#undef JSMN_HEADER
#endif

constexpr int CONFIG_MAX_TOKENS = 256;

struct backup_config {
  char host[256];        // default "127.0.0.1"
  int32_t port;          // default 1433
  char user[128];
  char password[256];
  char database[128];
  char out_path[1024];
  int32_t compression;   // 0 or 1, default 1
  int32_t copy_only;     // 0 or 1, default 0
  int32_t verify;        // 0 or 1, default 1
  // Optional bounds on waiting for the server, in milliseconds; 0 waits as
  // long as the socket layer does. The connect bound covers the TCP
  // connection and the login; the query bound covers the answer of the
  // connection test's and the listing's statements, never a backup.
  int64_t connect_timeout_ms;
  int64_t query_timeout_ms;
};

// Fills cfg from text (NUL-terminated, not null). Returns 0 when accepted,
// -1 when the tokenizer refuses the text or its first value is not an
// object; cfg then holds exactly the defaults. Unknown keys are ignored.
int parse_config(const char* text, backup_config* cfg);

// Copies a token's text into dst (cap bytes, terminator included), turning
// backslash pairs into the byte they stand for; at most cap - 1 source bytes
// are taken.
void tok_copy(const char* text, const jsmntok_t* tok, char* dst, size_t cap);
