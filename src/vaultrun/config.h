// The connection configuration: one JSON text per call, parsed into a plain
// record of fixed-size fields with defaults.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tds_client/tds_client.h"

#ifndef JSMN_H
#define JSMN_HEADER
#include <jsmn.h>
#undef JSMN_HEADER
#endif

// Room for every key with 256 backup files and a full move object.
constexpr int CONFIG_MAX_TOKENS = 640;

// A database name is at most 128 UTF-16 units on the server; in UTF-8 that
// is at most three bytes a unit, so every name the server can hold fits.
constexpr size_t DATABASE_MAX_UNITS = 128;

// ---- Backup kinds and their options ----
// A server object's name (credential, certificate, key) and a backup set's
// name hold at most 128 UTF-16 units, its description 255.
constexpr size_t SYSNAME_BYTES = 3 * 128 + 1;
constexpr size_t DESCRIPTION_MAX_UNITS = 255;
// Striped targets: at most 64 paths, kept one after another, each with its
// terminator, in one area of fixed size, so the record stays small enough
// to copy onto a stack and into every session slot.
constexpr int MAX_STRIPES = 64;
constexpr size_t STRIPE_AREA = 16384;

// ---- Restore ----
// Backup files of a restore and the pairs of a move object are kept like
// the stripes: one after another with their terminators in an area of
// fixed size; more than fits is refused, never cut.
constexpr int MAX_BACKUP_FILES = 256;
constexpr size_t BACKUP_FILES_AREA = 16384;
constexpr int MAX_MOVES = 128;
constexpr size_t MOVE_AREA = 8192;
constexpr size_t STOP_AT_BYTES = 32;  // "YYYY-MM-DDTHH:MM:SS.fffffff"

enum config_operation : int32_t { OPERATION_BACKUP = 0, OPERATION_RESTORE = 1, OPERATION_RESTORE_TEST = 2,
                                  OPERATION_CLEANUP = 3 };

// ---- Retention ----
// The folders a cleanup may delete in, kept like the stripes.
constexpr int MAX_CLEANUP_FOLDERS = 64;
constexpr size_t CLEANUP_FOLDERS_AREA = 8192;
constexpr int32_t MAX_KEEP_HOURS = 876000;
// How a restored copy is checked before it is dropped.
enum checkdb_mode : int32_t { CHECKDB_FULL = 0, CHECKDB_PHYSICAL_ONLY = 1, CHECKDB_NONE = 2 };
// "verify": off, RESTORE VERIFYONLY of the set written, or a restore test of it.
enum verify_mode : int32_t { VERIFY_OFF = 0, VERIFY_ONLY = 1, VERIFY_RESTORE = 2 };
enum move_mode : int32_t { MOVE_NONE = 0, MOVE_DEFAULT = 1, MOVE_LISTED = 2 };

enum backup_kind : int32_t { BACKUP_FULL = 0, BACKUP_DIFFERENTIAL = 1, BACKUP_LOG = 2 };
enum backup_cipher : int32_t { CIPHER_NONE = 0, CIPHER_AES_128, CIPHER_AES_192, CIPHER_AES_256,
                               CIPHER_TRIPLE_DES_3KEY };

struct backup_config {
  char host[256];        // default "127.0.0.1"
  int32_t port;          // default 1433
  char user[128];
  char password[256];
  char database[3 * DATABASE_MAX_UNITS + 1];
  char out_path[1024];
  int32_t compression;   // 0 or 1, default 1
  int32_t copy_only;     // 0 or 1, default 0
  int32_t verify;        // verify_mode, default VERIFY_ONLY
  // Optional bounds on waiting for the server, in milliseconds; 0 waits as
  // long as the socket layer does. The connect bound covers the TCP
  // connection and the login; the query bound covers the answer of the
  // connection test's and the listing's statements, never a backup.
  int64_t connect_timeout_ms;
  int64_t query_timeout_ms;

  // ---- Backup kinds and their options: all zero (none given) sends the
  // same statements and answers as a configuration without them.
  int32_t extended;           // 1 when any of them was given: the result names the kind and the set
  int32_t type;               // backup_kind
  int32_t checksum;           // 0 or 1
  int32_t init;               // 0 or 1: the file's earlier backup sets are overwritten
  int32_t stripe_count;       // 0: out_path is the one target
  uint16_t stripe_at[MAX_STRIPES];  // where each path starts in stripe_paths
  char stripe_paths[STRIPE_AREA];
  char credential[SYSNAME_BYTES];
  int32_t buffer_count;       // 0: the server's choice
  int32_t max_transfer_size;  // 0: the server's choice
  int32_t block_size;         // 0: the server's choice
  int32_t encryption;         // backup_cipher
  char server_certificate[SYSNAME_BYTES];
  char server_asymmetric_key[SYSNAME_BYTES];
  char name[SYSNAME_BYTES];
  char description[3 * DESCRIPTION_MAX_UNITS + 1];

  // ---- Restore (operation "restore"; a backup ignores these keys) ----
  int32_t operation;          // config_operation
  char source_database[3 * DATABASE_MAX_UNITS + 1];  // "": the database itself
  int32_t file;               // position of an explicit set; 0: not given (1)
  int32_t replace;            // 0 or 1
  int32_t recovery;           // 0 or 1, default 1
  int32_t dry_run;            // 0 or 1
  char stop_at[STOP_AT_BYTES];  // "" for the newest point
  int32_t move;               // move_mode; MOVE_NONE may become MOVE_DEFAULT (see restore_move_mode)
  int32_t move_count;         // pairs in move_area: logical name, then physical path
  uint16_t move_at[2 * MAX_MOVES];
  char move_area[MOVE_AREA];
  int32_t backup_file_count;  // 0: the source is the history or the explicit targets
  uint16_t backup_file_at[MAX_BACKUP_FILES];
  char backup_files[BACKUP_FILES_AREA];

  // ---- Restore tests (operation "restore_test", or a backup with
  // "verify": "restore"): "database" names the source, the copy is restored
  // under scratch_database ("": a free name chosen against the server's).
  char scratch_database[3 * DATABASE_MAX_UNITS + 1];
  int32_t checkdb;            // checkdb_mode, default CHECKDB_FULL

  // ---- Retention (operation "cleanup"): the window every point of which
  // stays restorable, and the folders outside which nothing is deleted.
  int32_t keep_hours;         // 0: not given
  int32_t folder_count;
  uint16_t folder_at[MAX_CLEANUP_FOLDERS];
  char folders[CLEANUP_FOLDERS_AREA];

  // ---- Encryption (absent: clear text, as before) ----
  int32_t encrypt;                   // TDS_ENCRYPT_OFF, _ON ("encrypt": true) or _STRICT ("strict")
  int32_t trust_server_certificate;  // 0 or 1, default 0; refused with "strict"
  char ca_file[1024];                // PEM roots; "" for the system's store
  char host_name_in_certificate[256];  // "" to check the host itself

  // 1: every address of the host is tried at once and the first TCP
  // connection kept, for listeners spread over several subnets; 0 (default):
  // the addresses in turn.
  int32_t multi_subnet_failover;
  // ---- The listing (absent: online user databases, as before) ----
  int32_t list_details;   // "details": state, read-only, replica role, last backups
  int32_t list_system;    // "include_system": master, model and msdb too
};

// The number of targets (the stripes, else out_path alone) and the i-th of them.
int backup_target_count(const backup_config* cfg);
const char* backup_target(const backup_config* cfg, int i);

// UTF-16 units of well-formed UTF-8: one a character, two for a character
// of four bytes (a surrogate pair), as the server counts a name's length.
size_t text_utf16_units(const char* s);

// Whether two names are equal with ASCII letters in either case (as the
// server's usual collations compare database names).
bool equal_nocase(const char* a, const char* b);

// Whether the session restores a copy, checks it and drops it: a restore
// test, or a backup that proves itself that way.
bool runs_restore_test(const backup_config* cfg);

// The database whose backups a restore uses.
const char* restore_source(const backup_config* cfg);
// The move a restore applies: as given, else "default" when the target's
// name differs from the source's (in any case), else none.
int32_t restore_move_mode(const backup_config* cfg);
// The i-th backup file, and the i-th move pair.
const char* restore_backup_file(const backup_config* cfg, int i);
const char* restore_move_logical(const backup_config* cfg, int i);
const char* restore_move_physical(const backup_config* cfg, int i);
// Whether a path names a ".." component (with '/' or '\\' between components).
bool path_has_parent_component(const char* path);
// The i-th folder of a cleanup.
const char* cleanup_folder(const backup_config* cfg, int i);

// Whether a target is a URL (https:// or s3://, in any case) rather than a file.
bool is_url_target(const char* target);
bool is_s3_target(const char* target);

// Fills cfg from text (NUL-terminated, not null). Returns 0 when accepted,
// -1 when refused; cfg then holds exactly the defaults (nothing of the text,
// no password) and *refusal (when not null) one of these constant texts:
//   "invalid config json"  the tokenizer refuses the text, or its first
//                          value is not an object
//   "config too large"     a well-formed object of more than 256 tokens
//   "invalid UTF-8 in KEY" a text value that is not well-formed UTF-8
//   "KEY too long"         a text value that does not fit its field whole
//                          (the database: more than 128 UTF-16 units)
//   "invalid encrypt"      "encrypt" other than false, true or "strict"
//   "trust_server_certificate cannot be used with strict encryption"
// The backup kinds' keys are refused with texts that name the key and the
// reason (see the README); a value is checked before anything is sent.
// Values are never cut: a cut name or path would name another database or
// another file. Unknown keys are ignored.
int parse_config(const char* text, backup_config* cfg, const char** refusal = nullptr);

// The connect options that carry cfg's bounds and encryption; the texts
// point into cfg, which must outlive the connect.
tds_connect_opts config_connect_opts(const backup_config* cfg, const std::atomic<int32_t>* cancel);

// Copies a token's text into dst (cap bytes, terminator included), turning
// backslash pairs into the byte they stand for. Returns false, leaving dst
// empty, when the resolved text needs more than cap - 1 bytes.
bool tok_copy(const char* text, const jsmntok_t* tok, char* dst, size_t cap);
