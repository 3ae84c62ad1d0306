// The configuration parser on arbitrary text, and tok_copy on every token
// the tokenizer finds in it.
//
// parse_config: a text the tokenizer refuses, or whose first token is no
// object, is refused as "invalid config json" or, when only the token limit
// stopped it, "config too large"; any other refusal names a value. Every
// text field is terminated within its capacity and, once accepted,
// well-formed UTF-8 (the database name at most 128 UTF-16 units); the flags
// are 0 or 1; the time-outs are not negative; the backup kinds' values are
// within their ranges and agree with each other; after a refusal the record is
// exactly the defaults, whatever it held before.
// tok_copy: a copy that fits is terminated within the capacity and never
// longer than the token's text; one that does not leaves the empty text;
// fitting at one capacity means fitting at every larger one.
#include <cstdint>

#include "fuzz_check.h"
#include "vaultrun/config.h"

namespace {

const backup_config& defaults() {
  static backup_config d = [] {
    backup_config c{};  // a parse leaves the areas of paths as they were
    FUZZ_CHECK(parse_config("{}", &c) == 0);
    return c;
  }();
  return d;
}

bool valid_text(const char* field, size_t cap) {
  return terminated(field, cap) && utf8_well_formed(reinterpret_cast<const uint8_t*>(field), std::strlen(field));
}

size_t utf16_units(const char* s) {
  size_t n = 0;
  for (const uint8_t* p = reinterpret_cast<const uint8_t*>(s); *p; ++p) n += ((*p & 0xC0) != 0x80) + (*p >= 0xF0);
  return n;
}

// The backup kinds' fields: each text whole and within its bounds, each
// number in its range or 0 (not given), the stripes inside their area.
void check_kinds(const backup_config& c) {
  FUZZ_CHECK(c.extended == 0 || c.extended == 1);
  FUZZ_CHECK(c.type >= BACKUP_FULL && c.type <= BACKUP_LOG);
  FUZZ_CHECK(c.checksum == 0 || c.checksum == 1);
  FUZZ_CHECK(c.init == 0 || c.init == 1);
  for (const char* t : {c.credential, c.server_certificate, c.server_asymmetric_key, c.name}) {
    FUZZ_CHECK(valid_text(t, SYSNAME_BYTES) && utf16_units(t) <= 128);
  }
  FUZZ_CHECK(valid_text(c.description, sizeof c.description) && utf16_units(c.description) <= 255);
  FUZZ_CHECK(c.stripe_count >= 0 && c.stripe_count <= MAX_STRIPES);
  FUZZ_CHECK(c.stripe_count == 0 || c.out_path[0] == 0);
  for (int i = 0; i < c.stripe_count; ++i) {
    FUZZ_CHECK(c.stripe_at[i] < STRIPE_AREA);
    const char* path = c.stripe_paths + c.stripe_at[i];
    FUZZ_CHECK(valid_text(path, STRIPE_AREA - c.stripe_at[i]) && path[0] != 0 && std::strlen(path) <= 1023);
  }
  FUZZ_CHECK(c.buffer_count >= 0 && c.buffer_count <= 65535);
  FUZZ_CHECK(c.max_transfer_size >= 0 && c.max_transfer_size <= 4194304 && c.max_transfer_size % 65536 == 0);
  FUZZ_CHECK(c.block_size == 0 || (c.block_size >= 512 && c.block_size <= 65536 && (c.block_size & (c.block_size - 1)) == 0));
  FUZZ_CHECK(c.encryption >= CIPHER_NONE && c.encryption <= CIPHER_TRIPLE_DES_3KEY);
  const int encryptors = (c.server_certificate[0] != 0) + (c.server_asymmetric_key[0] != 0);
  FUZZ_CHECK(encryptors == (c.encryption != CIPHER_NONE ? 1 : 0));
}

void check_record(const backup_config& c) {
  FUZZ_CHECK(valid_text(c.host, sizeof c.host));
  FUZZ_CHECK(valid_text(c.user, sizeof c.user));
  FUZZ_CHECK(valid_text(c.password, sizeof c.password));
  FUZZ_CHECK(valid_text(c.database, sizeof c.database));
  FUZZ_CHECK(utf16_units(c.database) <= 128);
  FUZZ_CHECK(valid_text(c.out_path, sizeof c.out_path));
  FUZZ_CHECK(c.compression == 0 || c.compression == 1);
  FUZZ_CHECK(c.copy_only == 0 || c.copy_only == 1);
  FUZZ_CHECK(c.verify >= VERIFY_OFF && c.verify <= VERIFY_RESTORE);
  FUZZ_CHECK(c.checkdb >= CHECKDB_FULL && c.checkdb <= CHECKDB_NONE);
  FUZZ_CHECK(c.operation >= OPERATION_BACKUP && c.operation <= OPERATION_RESTORE_TEST);
  FUZZ_CHECK(valid_text(c.scratch_database, sizeof c.scratch_database));
  FUZZ_CHECK(utf16_units(c.scratch_database) <= 128);
  // A copy is never restored over its source, nor left unrecovered.
  if (c.operation == OPERATION_RESTORE_TEST) {
    FUZZ_CHECK(c.replace == 0 && c.recovery == 1 && c.source_database[0] == 0);
    FUZZ_CHECK(c.scratch_database[0] == 0 || !equal_nocase(c.scratch_database, c.database));
  }
  FUZZ_CHECK(c.connect_timeout_ms >= 0);
  FUZZ_CHECK(c.query_timeout_ms >= 0);
  check_kinds(c);
}

void check_tok_copy(const char* text, const jsmntok_t* tok) {
  static const size_t caps[] = {1, 2, 3, 8, 128, 256, 385, 1024};
  const size_t tok_len = tok->end > tok->start ? static_cast<size_t>(tok->end - tok->start) : 0;
  bool fitted = false;
  for (size_t cap : caps) {
    std::unique_ptr<char[]> dst(new char[cap]);
    std::memset(dst.get(), 'X', cap);
    const bool fits = tok_copy(text, tok, dst.get(), cap);
    FUZZ_CHECK(terminated(dst.get(), cap));
    FUZZ_CHECK(std::strlen(dst.get()) <= tok_len);
    if (!fits) FUZZ_CHECK(dst[0] == 0);
    FUZZ_CHECK(fits || !fitted);
    fitted = fits;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<char[]> text = exact_text(data, size);

  backup_config cfg;
  std::memset(&cfg, 0xA5, sizeof cfg);  // whatever the caller's record held
  const char* refusal = nullptr;
  const int rc = parse_config(text.get(), &cfg, &refusal);
  FUZZ_CHECK(rc == 0 || rc == -1);
  FUZZ_CHECK((rc == 0) == (refusal == nullptr));
  check_record(cfg);

  jsmn_parser parser;
  jsmntok_t tok[CONFIG_MAX_TOKENS];
  jsmn_init(&parser);
  const int n = jsmn_parse(&parser, text.get(), std::strlen(text.get()), tok, CONFIG_MAX_TOKENS);
  const bool acceptable = n > 0 && tok[0].type == JSMN_OBJECT;
  if (rc != 0) {
    const bool as_text = std::strcmp(refusal, "invalid config json") == 0;
    const bool as_large = std::strcmp(refusal, "config too large") == 0;
    FUZZ_CHECK(acceptable != (as_text || as_large));
    if (as_large) FUZZ_CHECK(n == JSMN_ERROR_NOMEM);
    FUZZ_CHECK(std::memcmp(&cfg, &defaults(), sizeof cfg) == 0);
  } else {
    FUZZ_CHECK(acceptable);
  }

  for (int i = 0; i < n; ++i) check_tok_copy(text.get(), &tok[i]);
  return 0;
}
