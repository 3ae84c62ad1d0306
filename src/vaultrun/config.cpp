// The tokenizer's implementation is compiled here, once, in its lenient
// mode and without parent links.
#include <jsmn.h>

#include "vaultrun/config.h"

#include <climits>
#include <cstddef>
#include <cstring>

#include "tds_client/tds_client.h"

namespace {

// The record's three areas of paths, in their order in it: each is read
// only through its count and offsets, so with the counts zero nothing in
// them is ever read.
constexpr struct {
  size_t at, size;
} PATH_AREAS[] = {{offsetof(backup_config, stripe_paths), STRIPE_AREA},
                  {offsetof(backup_config, move_area), MOVE_AREA},
                  {offsetof(backup_config, backup_files), BACKUP_FILES_AREA}};
static_assert(PATH_AREAS[0].at + PATH_AREAS[0].size <= PATH_AREAS[1].at &&
                  PATH_AREAS[1].at + PATH_AREAS[1].size <= PATH_AREAS[2].at,
              "the areas in the record's order");

// Zeroes the record but for its areas of paths: they are 40 KiB of its
// 48, and zeroing them on every call was a quarter of a connection test's
// time on the host's thread.
void clear_record(backup_config* cfg) {
  auto* base = reinterpret_cast<unsigned char*>(cfg);
  size_t from = 0;
  for (const auto& area : PATH_AREAS) {
    std::memset(base + from, 0, area.at - from);
    from = area.at + area.size;
  }
  std::memset(base + from, 0, sizeof *cfg - from);
}

void set_defaults(backup_config* cfg) {
  clear_record(cfg);
  std::memcpy(cfg->host, "127.0.0.1", 10);
  cfg->port = 1433;
  cfg->compression = 1;
  cfg->verify = 1;
  cfg->recovery = 1;
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

// The text keys: where each value goes and the texts that refuse it. A
// key with max_units also refuses a value of more UTF-16 units than the
// server holds; a backup-kind key marks the record as using them.
struct text_key {
  const char* name;
  size_t offset;
  size_t cap;
  const char* invalid;
  const char* too_long;
  size_t max_units;  // 0: the field's size is the only bound
  bool backup_kind;
};

#define TEXT_KEY(field, units, kind) \
  { #field, offsetof(backup_config, field), sizeof(backup_config::field), \
    "invalid UTF-8 in " #field, #field " too long", units, kind }
const text_key TEXT_KEYS[] = {
    TEXT_KEY(host, 0, false), TEXT_KEY(user, 0, false), TEXT_KEY(password, 0, false),
    TEXT_KEY(database, DATABASE_MAX_UNITS, false), TEXT_KEY(out_path, 0, false),
    TEXT_KEY(source_database, DATABASE_MAX_UNITS, false),
    TEXT_KEY(scratch_database, DATABASE_MAX_UNITS, false),
    // The backup kinds' texts.
    TEXT_KEY(credential, 128, true), TEXT_KEY(server_certificate, 128, true),
    TEXT_KEY(server_asymmetric_key, 128, true), TEXT_KEY(name, 128, true),
    TEXT_KEY(description, DESCRIPTION_MAX_UNITS, true),
    // Encryption's texts.
    TEXT_KEY(ca_file, 0, false), TEXT_KEY(host_name_in_certificate, 0, false),
};
#undef TEXT_KEY


// Copies a text value whole into its field, or names why it cannot go there.
const char* apply_text(const char* text, const jsmntok_t* val, const text_key& k, backup_config* cfg) {
  char* field = reinterpret_cast<char*>(cfg) + k.offset;
  if (!tok_copy(text, val, field, k.cap)) return k.too_long;
  if (!utf8_valid(field, std::strlen(field))) return k.invalid;
  if (k.max_units != 0 && text_utf16_units(field) > k.max_units) return k.too_long;
  if (k.backup_kind) cfg->extended = 1;
  return nullptr;
}

// ---- The backup kinds' keys ---------------------------------------------------

// Whether e is a member of the list val with the given count of its own
// members (1 for a key with its value, else 0). The tokenizer counts a list's
// members however they are written (a ':' in an array, members without ':'
// in an object), so a count may promise tokens that lie after the list or
// after the last token.
bool inside(const jsmntok_t* val, const jsmntok_t* e, const jsmntok_t* end, int size = 0) {
  return e < end && e->start >= val->start && e->end <= val->end && e->size == size;
}

const char STRIPES_COUNT[] = "stripes must hold 1 to 64 paths";
const char STRIPES_TOO_LONG[] = "stripes too long";

// Reads the stripes array (val and its elements, which follow it) into the
// record's area; the refusal text, or null.
const char* apply_stripes(const char* text, const jsmntok_t* val, const jsmntok_t* end, backup_config* cfg) {
  if (val->type != JSMN_ARRAY) return "stripes must be an array of paths";
  if (val->size < 1 || val->size > MAX_STRIPES) return STRIPES_COUNT;
  cfg->stripe_count = 0;
  size_t used = 0;
  for (int k = 1; k <= val->size; ++k) {
    const jsmntok_t* e = val + k;
    if (!inside(val, e, end) || e->type != JSMN_STRING) return "stripes must be an array of paths";
    char path[sizeof(backup_config::out_path)];
    if (!tok_copy(text, e, path, sizeof path)) return STRIPES_TOO_LONG;
    const size_t len = std::strlen(path);
    if (len == 0) return "stripes cannot hold an empty path";
    if (!utf8_valid(path, len)) return "invalid UTF-8 in stripes";
    if (len + 1 > STRIPE_AREA - used) return STRIPES_TOO_LONG;
    std::memcpy(cfg->stripe_paths + used, path, len + 1);
    cfg->stripe_at[cfg->stripe_count++] = static_cast<uint16_t>(used);
    used += len + 1;
  }
  cfg->extended = 1;
  return nullptr;
}

// The text of a string token, if it is exactly one of names (index + 1), else 0.
int choice_of(const char* text, const jsmntok_t* val, const char* const* names, int count) {
  if (val->type != JSMN_STRING) return 0;
  for (int i = 0; i < count; ++i) {
    if (tok_is(text, val, names[i], static_cast<int>(std::strlen(names[i])))) return i + 1;
  }
  return 0;
}

// A whole number written plainly (digits only, at most 9 of them), else -1.
int32_t plain_number(const char* text, const jsmntok_t* val) {
  const int len = val->end - val->start;
  if (val->type != JSMN_PRIMITIVE || len < 1 || len > 9) return -1;
  int32_t v = 0;
  for (int i = 0; i < len; ++i) {
    const char c = text[val->start + i];
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

bool power_of_two(int32_t v) { return v > 0 && (v & (v - 1)) == 0; }

constexpr int32_t BUFFER_COUNT_MAX = 65535;
constexpr int32_t TRANSFER_UNIT = 65536;
constexpr int32_t TRANSFER_MAX = 4194304;

// Applies one of the backup kinds' keys; unknown when key is none of them.
// A refused value leaves its text in *refusal.
enum class kind_result { unknown, applied, refused };
kind_result apply_kind_key(const char* text, const jsmntok_t* key, const jsmntok_t* val, const jsmntok_t* end,
                           backup_config* cfg,
                           const char** refusal) {
  static const char* const TYPES[] = {"full", "differential", "log"};
  static const char* const CIPHERS[] = {"AES_128", "AES_192", "AES_256", "TRIPLE_DES_3KEY"};
  const char* why = nullptr;
  if (tok_is(text, key, "type", 4)) {
    const int t = choice_of(text, val, TYPES, 3);
    if (t == 0) why = "invalid type";
    cfg->type = t - 1;
  } else if (tok_is(text, key, "checksum", 8)) {
    cfg->checksum = tok_is(text, val, "true", 4);
  } else if (tok_is(text, key, "init", 4)) {
    cfg->init = tok_is(text, val, "true", 4);
  } else if (tok_is(text, key, "stripes", 7)) {
    why = apply_stripes(text, val, end, cfg);
  } else if (tok_is(text, key, "buffer_count", 12)) {
    cfg->buffer_count = plain_number(text, val);
    if (cfg->buffer_count < 1 || cfg->buffer_count > BUFFER_COUNT_MAX) why = "buffer_count must be from 1 to 65535";
  } else if (tok_is(text, key, "max_transfer_size", 17)) {
    cfg->max_transfer_size = plain_number(text, val);
    if (cfg->max_transfer_size < TRANSFER_UNIT || cfg->max_transfer_size > TRANSFER_MAX ||
        cfg->max_transfer_size % TRANSFER_UNIT != 0) {
      why = "max_transfer_size must be a multiple of 65536 up to 4194304";
    }
  } else if (tok_is(text, key, "block_size", 10)) {
    cfg->block_size = plain_number(text, val);
    if (cfg->block_size < 512 || cfg->block_size > 65536 || !power_of_two(cfg->block_size)) {
      why = "block_size must be a power of two from 512 to 65536";
    }
  } else if (tok_is(text, key, "encryption", 10)) {
    cfg->encryption = choice_of(text, val, CIPHERS, 4);
    if (cfg->encryption == CIPHER_NONE) why = "invalid encryption";
  } else {
    return kind_result::unknown;
  }
  cfg->extended = 1;
  *refusal = why;
  return why != nullptr ? kind_result::refused : kind_result::applied;
}

// ---- The restore keys ---------------------------------------------------------

const char INVALID_OPERATION[] = "invalid operation";

// Appends a text and its terminator to a fixed area, recording where it
// starts; false when it does not fit whole.
bool area_add(char* area, size_t cap, size_t* used, const char* s, uint16_t* at) {
  const size_t len = std::strlen(s);
  if (len + 1 > cap - *used) return false;
  std::memcpy(area + *used, s, len + 1);
  *at = static_cast<uint16_t>(*used);
  *used += len + 1;
  return true;
}

// Reads one string token into buf as a non-empty, well-formed text;
// the refusal's kind, or null.
enum class text_fault { none, not_text, too_long, empty, bad_utf8 };
text_fault read_text(const char* text, const jsmntok_t* t, char* buf, size_t cap) {
  if (t->type != JSMN_STRING) return text_fault::not_text;
  if (!tok_copy(text, t, buf, cap)) return text_fault::too_long;
  const size_t len = std::strlen(buf);
  if (len == 0) return text_fault::empty;
  if (!utf8_valid(buf, len)) return text_fault::bad_utf8;
  return text_fault::none;
}

const char* apply_backup_files(const char* text, const jsmntok_t* val, const jsmntok_t* end, backup_config* cfg) {
  if (val->type != JSMN_ARRAY || val->size < 1) return "backup_files must be an array of 1 to 256 paths";
  if (val->size > MAX_BACKUP_FILES) return "too many backup_files";
  cfg->backup_file_count = 0;
  size_t used = 0;
  for (int k = 1; k <= val->size; ++k) {
    char path[sizeof(backup_config::out_path)];
    if (!inside(val, val + k, end)) return "backup_files must be an array of 1 to 256 paths";
    switch (read_text(text, val + k, path, sizeof path)) {
      case text_fault::none: break;
      case text_fault::bad_utf8: return "invalid UTF-8 in backup_files";
      case text_fault::too_long: return "backup_files too long";
      default: return "backup_files must be an array of 1 to 256 paths";
    }
    if (!area_add(cfg->backup_files, BACKUP_FILES_AREA, &used, path, &cfg->backup_file_at[cfg->backup_file_count]))
      return "backup_files too long";
    ++cfg->backup_file_count;
  }
  return nullptr;
}

// "folders": 1 to 64 absolute folders, none with a ".." component: the
// only places a cleanup deletes in.
bool absolute_folder(const char* p) {
  const bool drive = ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':' &&
                     (p[2] == '\\' || p[2] == '/');
  const bool unc = (p[0] == '\\' || p[0] == '/') && (p[1] == '\\' || p[1] == '/');
  return drive || unc || p[0] == '/';
}

}  // namespace

bool path_has_parent_component(const char* p) {
  for (const char* c = p; *c; ++c) {
    const bool starts = c == p || c[-1] == '/' || c[-1] == '\\';
    if (starts && c[0] == '.' && c[1] == '.' && (c[2] == 0 || c[2] == '/' || c[2] == '\\')) return true;
  }
  return false;
}

namespace {

const char* apply_folders(const char* text, const jsmntok_t* val, const jsmntok_t* end, backup_config* cfg) {
  const char* const SHAPE = "folders must be an array of 1 to 64 absolute folders";
  if (val->type != JSMN_ARRAY || val->size < 1 || val->size > MAX_CLEANUP_FOLDERS) return SHAPE;
  cfg->folder_count = 0;
  size_t used = 0;
  for (int k = 1; k <= val->size; ++k) {
    char path[sizeof(backup_config::out_path)];
    if (!inside(val, val + k, end)) return SHAPE;
    switch (read_text(text, val + k, path, sizeof path)) {
      case text_fault::none: break;
      case text_fault::bad_utf8: return "invalid UTF-8 in folders";
      case text_fault::too_long: return "folders too long";
      default: return SHAPE;
    }
    if (!absolute_folder(path)) return "folders must be absolute";
    if (path_has_parent_component(path)) return "folders cannot hold a .. component";
    if (!area_add(cfg->folders, CLEANUP_FOLDERS_AREA, &used, path, &cfg->folder_at[cfg->folder_count]))
      return "folders too long";
    ++cfg->folder_count;
  }
  return nullptr;
}

// "move": "default", or an object of logical names and physical paths
// (texts, none empty).
const char* apply_move(const char* text, const jsmntok_t* val, const jsmntok_t* end, backup_config* cfg) {
  if (val->type == JSMN_STRING) {
    if (!tok_is(text, val, "default", 7)) return "invalid move";
    cfg->move = MOVE_DEFAULT;
    cfg->move_count = 0;
    return nullptr;
  }
  if (val->type != JSMN_OBJECT || val->size < 1) return "invalid move";
  if (val->size > MAX_MOVES) return "too many move entries";
  cfg->move = MOVE_LISTED;
  cfg->move_count = 0;
  size_t used = 0;
  // A value that is not a text (an array, an object) is refused before the
  // tokens after it are read, so pairs always sit two tokens apart.
  for (int k = 0; k < val->size; ++k) {
    for (int part = 0; part < 2; ++part) {
      char buf[sizeof(backup_config::out_path)];
      if (!inside(val, val + 1 + 2 * k + part, end, part == 0 ? 1 : 0)) return "invalid move";
      switch (read_text(text, val + 1 + 2 * k + part, buf, sizeof buf)) {
        case text_fault::none: break;
        case text_fault::bad_utf8: return "invalid UTF-8 in move";
        case text_fault::too_long: return "move too long";
        default: return "invalid move";
      }
      if (part == 0 && text_utf16_units(buf) > 128) return "move too long";
      if (!area_add(cfg->move_area, MOVE_AREA, &used, buf, &cfg->move_at[2 * k + part])) return "move too long";
    }
    ++cfg->move_count;
  }
  return nullptr;
}

bool two_digits(const char* p, int lo, int hi, int* out) {
  if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9') return false;
  *out = (p[0] - '0') * 10 + (p[1] - '0');
  return *out >= lo && *out <= hi;
}

// "YYYY-MM-DDTHH:MM:SS" (or a space for the T) with an optional fraction of
// 1 to 7 digits, a real date and time; kept with the T, the form the
// server's ISO conversion reads.
bool valid_stop_at(const char* s, char* out) {
  const size_t len = std::strlen(s);
  if (len < 19 || len > 27 || (len > 19 && (s[19] != '.' || len == 20))) return false;
  int y = 0, mo, d, h, mi, se;
  for (int i = 0; i < 4; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    y = y * 10 + (s[i] - '0');
  }
  if (y < 1 || s[4] != '-' || s[7] != '-' || (s[10] != 'T' && s[10] != ' ') || s[13] != ':' || s[16] != ':')
    return false;
  if (!two_digits(s + 5, 1, 12, &mo) || !two_digits(s + 8, 1, 31, &d) || !two_digits(s + 11, 0, 23, &h) ||
      !two_digits(s + 14, 0, 59, &mi) || !two_digits(s + 17, 0, 59, &se))
    return false;
  static const int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (d > DAYS[mo - 1] + (mo == 2 && leap)) return false;
  for (size_t i = 20; i < len; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  std::memcpy(out, s, len + 1);
  out[10] = 'T';
  return true;
}

// Applies one of the restore keys; unknown when key is none of them.
kind_result apply_restore_key(const char* text, const jsmntok_t* key, const jsmntok_t* val, const jsmntok_t* end,
                              backup_config* cfg,
                              const char** refusal) {
  static const char* const OPERATIONS[] = {"backup", "restore", "restore_test", "cleanup"};
  const char* why = nullptr;
  if (tok_is(text, key, "operation", 9)) {
    const int op = choice_of(text, val, OPERATIONS, 4);
    if (op == 0) why = INVALID_OPERATION;
    cfg->operation = op == 4   ? OPERATION_CLEANUP
                     : op == 3 ? OPERATION_RESTORE_TEST
                     : op == 2 ? OPERATION_RESTORE
                               : OPERATION_BACKUP;
  } else if (tok_is(text, key, "folders", 7)) {
    why = apply_folders(text, val, end, cfg);
  } else if (tok_is(text, key, "keep_hours", 10)) {
    cfg->keep_hours = plain_number(text, val);
    if (cfg->keep_hours < 1 || cfg->keep_hours > MAX_KEEP_HOURS) why = "keep_hours must be 1 to 876000";
  } else if (tok_is(text, key, "backup_files", 12)) {
    why = apply_backup_files(text, val, end, cfg);
  } else if (tok_is(text, key, "move", 4)) {
    why = apply_move(text, val, end, cfg);
  } else if (tok_is(text, key, "stop_at", 7)) {
    char buf[64];
    if (val->type != JSMN_STRING || !tok_copy(text, val, buf, sizeof buf) || !valid_stop_at(buf, cfg->stop_at))
      why = "invalid stop_at";
  } else if (tok_is(text, key, "file", 4)) {
    cfg->file = plain_number(text, val);
    if (cfg->file < 1 || cfg->file > 32767) why = "file must be 1 to 32767";
  } else if (tok_is(text, key, "replace", 7)) {
    cfg->replace = tok_is(text, val, "true", 4);
  } else if (tok_is(text, key, "recovery", 8)) {
    cfg->recovery = !tok_is(text, val, "false", 5);
  } else if (tok_is(text, key, "dry_run", 7)) {
    cfg->dry_run = tok_is(text, val, "true", 4);
  } else {
    return kind_result::unknown;
  }
  *refusal = why;
  return why != nullptr ? kind_result::refused : kind_result::applied;
}

// The rules between the restore keys, once every member is read.
const char* check_restore_keys(const backup_config* cfg) {
  // The server ignores trailing spaces and case when it compares names, so
  // "MSDB" and "msdb " name msdb too.
  static const char* const SYSTEM[] = {"master", "model", "msdb", "tempdb"};
  char trimmed[sizeof cfg->database];
  std::memcpy(trimmed, cfg->database, sizeof trimmed);
  for (size_t n = std::strlen(trimmed); n > 0 && trimmed[n - 1] == ' '; --n) trimmed[n - 1] = 0;
  for (const char* name : SYSTEM) {
    if (equal_nocase(trimmed, name)) return "cannot restore system database";
  }
  const bool explicit_set = cfg->out_path[0] != 0 || cfg->stripe_count > 0;
  if (cfg->backup_file_count > 0 && explicit_set) return "backup_files cannot be used with out_path or stripes";
  if (cfg->file != 0 && !explicit_set) return "file needs out_path or stripes";
  return nullptr;
}

// The rules of a restore test: the copy is a new database, restored and
// recovered beside the source, never over it.
const char* check_restore_test_keys(const backup_config* cfg) {
  if (cfg->operation == OPERATION_RESTORE_TEST && cfg->source_database[0] != 0)
    return "source_database cannot be used with restore_test";
  if (cfg->replace) return "replace cannot be used with restore_test";
  if (!cfg->recovery) return "recovery cannot be false with restore_test";
  if (cfg->scratch_database[0] != 0 && equal_nocase(cfg->scratch_database, cfg->database))
    return "scratch_database cannot be the source database";
  return nullptr;
}

// ---- End of the restore keys ----

// The rules between the backup kinds' keys, once every member is read; the
// refusal text, or null. A configuration without targets is left to the
// caller that needs one.
const char* check_kind_keys(const backup_config* cfg) {
  if (cfg->stripe_count > 0 && cfg->out_path[0] != 0) return "out_path and stripes cannot both be given";
  const bool cert = cfg->server_certificate[0] != 0, key = cfg->server_asymmetric_key[0] != 0;
  if (cert && key) return "server_certificate and server_asymmetric_key cannot both be given";
  if (cfg->encryption != CIPHER_NONE && !cert && !key) {
    return "encryption needs server_certificate or server_asymmetric_key";
  }
  if (cfg->encryption == CIPHER_NONE && (cert || key)) {
    return "server_certificate and server_asymmetric_key need encryption";
  }
  const int n = backup_target_count(cfg);
  if (n == 0) return nullptr;
  const bool url = is_url_target(backup_target(cfg, 0));
  for (int i = 1; i < n; ++i) {
    if (is_url_target(backup_target(cfg, i)) != url) return "stripes must all be URLs or all be files";
  }
  if (cfg->credential[0] != 0 && !url) return "credential needs a URL target";
  // The server takes an s3 target's credential from its name, which matches
  // the URL; it refuses one named in the statement.
  if (cfg->credential[0] != 0 && is_s3_target(backup_target(cfg, 0))) {
    return "credential cannot be given for s3:// targets";
  }
  return nullptr;
}

enum class key_result { unknown, applied, refused };

// ---- Encryption keys ----

const char INVALID_ENCRYPT[] = "invalid encrypt";
const char STRICT_TRUST[] = "trust_server_certificate cannot be used with strict encryption";

// "encrypt": the bare words false and true, or the text "strict"; a text
// "true" or any other value is refused rather than read as clear text.
key_result apply_encrypt(const char* text, const jsmntok_t* val, backup_config* cfg,
                         const char** refusal) {
  const bool bare = val->type == JSMN_PRIMITIVE;
  if (bare && tok_is(text, val, "false", 5)) {
    cfg->encrypt = TDS_ENCRYPT_OFF;
  } else if (bare && tok_is(text, val, "true", 4)) {
    cfg->encrypt = TDS_ENCRYPT_ON;
  } else if (val->type == JSMN_STRING && tok_is(text, val, "strict", 6)) {
    cfg->encrypt = TDS_ENCRYPT_STRICT;
  } else {
    *refusal = INVALID_ENCRYPT;
    return key_result::refused;
  }
  return key_result::applied;
}

const char INVALID_MULTI_SUBNET[] = "invalid multi_subnet_failover";

key_result apply_tls_key(const char* text, const jsmntok_t* key, const jsmntok_t* val,
                         backup_config* cfg, const char** refusal) {
  if (tok_is(text, key, "encrypt", 7)) return apply_encrypt(text, val, cfg, refusal);
  if (tok_is(text, key, "multi_subnet_failover", 21)) {
    // Only the bare words: a text "true" read as false would quietly walk
    // the addresses in turn.
    const bool bare = val->type == JSMN_PRIMITIVE;
    if (bare && (tok_is(text, val, "true", 4) || tok_is(text, val, "false", 5))) {
      cfg->multi_subnet_failover = tok_is(text, val, "true", 4);
      return key_result::applied;
    }
    *refusal = INVALID_MULTI_SUBNET;
    return key_result::refused;
  }
  if (!tok_is(text, key, "trust_server_certificate", 24)) return key_result::unknown;
  cfg->trust_server_certificate = val->type == JSMN_PRIMITIVE && tok_is(text, val, "true", 4);
  return key_result::applied;
}

// ---- End of the encryption keys ----

// Applies a recognised key's value. Keys are compared on their raw bytes, so
// an escaped key never matches. A refused value leaves its text in *refusal.
key_result apply_key(const char* text, const jsmntok_t* key, const jsmntok_t* val, const jsmntok_t* end,
                     backup_config* cfg,
                     const char** refusal, const char** restore_refusal, const char** cleanup_refusal) {
  // A restore key's refusal counts only for a restore: a backup ignores
  // these keys, as it did before they existed.
  const char* why = nullptr;
  switch (apply_restore_key(text, key, val, end, cfg, &why)) {
    case kind_result::refused:
      // The retention keys count only for a cleanup, the others for a
      // restore (and a cleanup).
      if (tok_is(text, key, "keep_hours", 10) || tok_is(text, key, "folders", 7)) {
        if (*cleanup_refusal == nullptr) *cleanup_refusal = why;
      } else if (*restore_refusal == nullptr) {
        *restore_refusal = why;
      }
      return key_result::applied;
    case kind_result::applied: return key_result::applied;
    case kind_result::unknown: break;
  }
  switch (apply_kind_key(text, key, val, end, cfg, refusal)) {
    case kind_result::applied: return key_result::applied;
    case kind_result::refused: return key_result::refused;
    case kind_result::unknown: break;
  }
  for (const text_key& k : TEXT_KEYS) {
    if (!tok_is(text, key, k.name, static_cast<int>(std::strlen(k.name)))) continue;
    *refusal = apply_text(text, val, k, cfg);
    return *refusal != nullptr ? key_result::refused : key_result::applied;
  }
  if (tok_is(text, key, "port", 4)) {
    cfg->port = clamp_i32(numeric_value(text, val, 1433));
  } else if (tok_is(text, key, "compression", 11)) {
    cfg->compression = !tok_is(text, val, "false", 5);
  } else if (tok_is(text, key, "copy_only", 9)) {
    cfg->copy_only = tok_is(text, val, "true", 4);
  } else if (tok_is(text, key, "details", 7)) {
    cfg->list_details = tok_is(text, val, "true", 4);
  } else if (tok_is(text, key, "include_system", 14)) {
    cfg->list_system = tok_is(text, val, "true", 4);
  } else if (tok_is(text, key, "verify", 6)) {
    const bool restore = val->type == JSMN_STRING && tok_is(text, val, "restore", 7);
    cfg->verify = restore ? VERIFY_RESTORE : tok_is(text, val, "false", 5) ? VERIFY_OFF : VERIFY_ONLY;
  } else if (tok_is(text, key, "checkdb", 7)) {
    static const char* const MODES[] = {"full", "physical_only", "none"};
    const int mode = val->type == JSMN_STRING ? choice_of(text, val, MODES, 3) : 0;
    if (mode == 0) {
      *refusal = "invalid checkdb";
      return key_result::refused;
    }
    cfg->checkdb = mode - 1;
  } else if (tok_is(text, key, "query_timeout_ms", 16)) {
    cfg->query_timeout_ms = timeout_value(text, val);
  } else if (tok_is(text, key, "connect_timeout_ms", 18)) {
    cfg->connect_timeout_ms = timeout_value(text, val);
  } else {
    return apply_tls_key(text, key, val, cfg, refusal);
  }
  return key_result::applied;
}

// Whether a text that needed more tokens than the parser holds is still a
// well-formed object: the tokenizer's counting pass checks its strings,
// escapes and bare values, and the brackets are matched here, which that
// pass does not do. Nesting deeper than the stack holds is far beyond the
// token limit, so it counts as large.
bool is_large_object(const char* text, size_t len) {
  jsmn_parser counter;
  jsmn_init(&counter);
  if (jsmn_parse(&counter, text, len, nullptr, 0) < 0) return false;
  size_t i = std::strspn(text, " \t\r\n,:");
  if (text[i] != '{') return false;
  constexpr size_t MAX_DEPTH = 1024;
  uint64_t is_brace[MAX_DEPTH / 64] = {};  // one bit a level: '{' or '['
  size_t depth = 0;
  for (; i < len; ++i) {
    const char c = text[i];
    if (c == '"') {
      for (++i; i < len && text[i] != '"'; ++i) i += text[i] == '\\';
    } else if (c == '{' || c == '[') {
      if (depth == MAX_DEPTH) return true;
      const uint64_t bit = uint64_t{1} << (depth % 64);
      is_brace[depth / 64] = c == '{' ? is_brace[depth / 64] | bit : is_brace[depth / 64] & ~bit;
      ++depth;
    } else if (c == '}' || c == ']') {
      if (depth == 0) return false;
      --depth;
      const bool brace = (is_brace[depth / 64] >> (depth % 64)) & 1;
      if (brace != (c == '}')) return false;
    }
  }
  return depth == 0;
}

const char INVALID_JSON[] = "invalid config json";
const char TOO_LARGE[] = "config too large";

// The walk of parse_config; returns the refusal text, or null once every
// recognised member has been applied.
const char* parse_into(const char* text, backup_config* cfg) {
  set_defaults(cfg);
  size_t len = std::strlen(text);
  if (len == 0) return INVALID_JSON;

  jsmn_parser parser;
  jsmntok_t tok[CONFIG_MAX_TOKENS];
  jsmn_init(&parser);
  int n = jsmn_parse(&parser, text, len, tok, CONFIG_MAX_TOKENS);
  if (n == JSMN_ERROR_NOMEM && is_large_object(text, len)) return TOO_LARGE;
  if (n <= 0 || tok[0].type != JSMN_OBJECT) return INVALID_JSON;

  // Tokens pair up by position: a string followed by any token is a key and
  // its value. Members apply in text order, so a repeated key's last value wins.
  const char* restore_refusal = nullptr;
  const char* cleanup_refusal = nullptr;
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
    const char* refusal = nullptr;
    key_result r = apply_key(text, key, val, tok + n, cfg, &refusal, &restore_refusal, &cleanup_refusal);
    if (r == key_result::refused) return refusal;
    const bool list_key = tok_is(text, key, "stripes", 7) || tok_is(text, key, "backup_files", 12) ||
                          tok_is(text, key, "move", 4) || tok_is(text, key, "folders", 7);
    if (r == key_result::applied && !list_key) continue;
    // An unknown key's value (and the lists' texts) is passed over whole,
    // however deeply it nests.
    while (i < n && tok[i].start < val->end && tok[i].end <= val->end) ++i;
  }
  // Strict encryption always checks the certificate, whatever the key order.
  if (cfg->encrypt == TDS_ENCRYPT_STRICT && cfg->trust_server_certificate) return STRICT_TRUST;
  // "operation" itself is refused whatever the operation.
  if (restore_refusal == INVALID_OPERATION) return restore_refusal;
  if (cfg->operation == OPERATION_RESTORE || cfg->operation == OPERATION_RESTORE_TEST) {
    if (restore_refusal != nullptr) return restore_refusal;
    const char* why = check_restore_keys(cfg);
    if (why != nullptr) return why;
  }
  if (cfg->operation == OPERATION_CLEANUP) {
    if (restore_refusal != nullptr) return restore_refusal;
    if (cleanup_refusal != nullptr) return cleanup_refusal;
    if (cfg->keep_hours == 0) return "keep_hours is required for cleanup";
    if (cfg->folder_count == 0) return "folders is required for cleanup";
  }
  if (runs_restore_test(cfg)) {
    // A backup that proves itself takes the copy's keys ("move", the
    // scratch name) as a restore test does.
    if (restore_refusal != nullptr) return restore_refusal;
    const char* why = check_restore_test_keys(cfg);
    if (why != nullptr) return why;
  }
  return check_kind_keys(cfg);
}

}  // namespace

bool tok_copy(const char* text, const jsmntok_t* tok, char* dst, size_t cap) {
  const size_t len = tok->end > tok->start ? static_cast<size_t>(tok->end - tok->start) : 0;
  const char* src = text + tok->start;
  size_t out = 0;
  for (size_t i = 0; i < len; ++i) {
    char c = src[i];
    if (c == '\\' && i + 1 < len) {
      char n = src[++i];
      c = n == 'r' ? '\r' : n == 't' ? '\t' : n == 'n' ? '\n' : n;
    }
    if (out == cap - 1) {
      dst[0] = 0;
      return false;
    }
    dst[out++] = c;
  }
  dst[out] = 0;
  return true;
}

bool equal_nocase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    const char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a - 'A' + 'a') : *a;
    const char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b - 'A' + 'a') : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

size_t text_utf16_units(const char* s) {
  size_t units = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
    if ((*p & 0xC0) != 0x80) ++units;
    if (*p >= 0xF0) ++units;
  }
  return units;
}

bool runs_restore_test(const backup_config* cfg) {
  return cfg->operation == OPERATION_RESTORE_TEST || (cfg->operation == OPERATION_BACKUP && cfg->verify == VERIFY_RESTORE);
}

const char* restore_source(const backup_config* cfg) {
  return cfg->source_database[0] != 0 ? cfg->source_database : cfg->database;
}

int32_t restore_move_mode(const backup_config* cfg) {
  if (cfg->move != MOVE_NONE) return cfg->move;
  return equal_nocase(restore_source(cfg), cfg->database) ? MOVE_NONE : MOVE_DEFAULT;
}

const char* cleanup_folder(const backup_config* cfg, int i) { return cfg->folders + cfg->folder_at[i]; }
const char* restore_backup_file(const backup_config* cfg, int i) { return cfg->backup_files + cfg->backup_file_at[i]; }
const char* restore_move_logical(const backup_config* cfg, int i) { return cfg->move_area + cfg->move_at[2 * i]; }
const char* restore_move_physical(const backup_config* cfg, int i) { return cfg->move_area + cfg->move_at[2 * i + 1]; }

int backup_target_count(const backup_config* cfg) {
  return cfg->stripe_count > 0 ? cfg->stripe_count : cfg->out_path[0] != 0 ? 1 : 0;
}

const char* backup_target(const backup_config* cfg, int i) {
  return cfg->stripe_count > 0 ? cfg->stripe_paths + cfg->stripe_at[i] : cfg->out_path;
}

namespace {
bool starts_with_nocase(const char* s, const char* prefix) {
  for (; *prefix; ++s, ++prefix) {
    const char c = *s >= 'A' && *s <= 'Z' ? static_cast<char>(*s - 'A' + 'a') : *s;
    if (c != *prefix) return false;
  }
  return true;
}
}  // namespace

bool is_s3_target(const char* target) { return starts_with_nocase(target, "s3://"); }

bool is_url_target(const char* target) { return starts_with_nocase(target, "https://") || is_s3_target(target); }


tds_connect_opts config_connect_opts(const backup_config* cfg, const std::atomic<int32_t>* cancel) {
  tds_connect_opts o{cancel, cfg->connect_timeout_ms};
  o.encrypt = static_cast<uint8_t>(cfg->encrypt);
  o.trust_server_certificate = cfg->trust_server_certificate != 0;
  o.ca_file = cfg->ca_file;
  o.host_name_in_certificate = cfg->host_name_in_certificate;
  o.multi_subnet_failover = cfg->multi_subnet_failover != 0;
  return o;
}

int parse_config(const char* text, backup_config* cfg, const char** refusal) {
  const char* why = parse_into(text, cfg);
  if (why != nullptr) {
    // Nothing of a refused text stays, the password least, and no path in
    // the areas a successful parse leaves as they were: a refusal is rare,
    // so it may clear the whole record.
    std::memset(cfg, 0, sizeof *cfg);
    set_defaults(cfg);
  }
  if (refusal != nullptr) *refusal = why;
  return why != nullptr ? -1 : 0;
}
