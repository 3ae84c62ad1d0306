// The configuration parser on arbitrary text, and tok_copy on every token
// the tokenizer finds in it.
//
// parse_config: a text the tokenizer refuses, or whose first token is no
// object, is refused as "invalid config json" or, when only the token limit
// stopped it, "config too large"; any other refusal names a value. Every
// text field is terminated within its capacity and, once accepted,
// well-formed UTF-8 (the database name at most 128 UTF-16 units); the flags
// are 0 or 1; the time-outs are not negative; after a refusal the record is
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
    backup_config c;
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

void check_record(const backup_config& c) {
  FUZZ_CHECK(valid_text(c.host, sizeof c.host));
  FUZZ_CHECK(valid_text(c.user, sizeof c.user));
  FUZZ_CHECK(valid_text(c.password, sizeof c.password));
  FUZZ_CHECK(valid_text(c.database, sizeof c.database));
  FUZZ_CHECK(utf16_units(c.database) <= 128);
  FUZZ_CHECK(valid_text(c.out_path, sizeof c.out_path));
  FUZZ_CHECK(c.compression == 0 || c.compression == 1);
  FUZZ_CHECK(c.copy_only == 0 || c.copy_only == 1);
  FUZZ_CHECK(c.verify == 0 || c.verify == 1);
  FUZZ_CHECK(c.connect_timeout_ms >= 0);
  FUZZ_CHECK(c.query_timeout_ms >= 0);
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
