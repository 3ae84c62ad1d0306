// The configuration parser on arbitrary text, and tok_copy on every token
// the tokenizer finds in it.
//
// parse_config: the result is 0 exactly when the tokenizer takes the text
// and its first token is an object; every text field is terminated within
// its capacity; the flags are 0 or 1; the time-outs are not negative; after
// a rejection the record is exactly the defaults, whatever it held before.
// tok_copy: the copy is terminated within the capacity and never longer
// than the token's text, at every capacity the callers use and below.
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

void check_record(const backup_config& c) {
  FUZZ_CHECK(terminated(c.host, sizeof c.host));
  FUZZ_CHECK(terminated(c.user, sizeof c.user));
  FUZZ_CHECK(terminated(c.password, sizeof c.password));
  FUZZ_CHECK(terminated(c.database, sizeof c.database));
  FUZZ_CHECK(terminated(c.out_path, sizeof c.out_path));
  FUZZ_CHECK(c.compression == 0 || c.compression == 1);
  FUZZ_CHECK(c.copy_only == 0 || c.copy_only == 1);
  FUZZ_CHECK(c.verify == 0 || c.verify == 1);
  FUZZ_CHECK(c.connect_timeout_ms >= 0);
  FUZZ_CHECK(c.query_timeout_ms >= 0);
}

void check_tok_copy(const char* text, const jsmntok_t* tok) {
  static const size_t caps[] = {1, 2, 3, 8, 128, 256, 1024};
  const size_t tok_len = tok->end > tok->start ? static_cast<size_t>(tok->end - tok->start) : 0;
  for (size_t cap : caps) {
    std::unique_ptr<char[]> dst(new char[cap]);
    std::memset(dst.get(), 'X', cap);
    tok_copy(text, tok, dst.get(), cap);
    FUZZ_CHECK(terminated(dst.get(), cap));
    FUZZ_CHECK(std::strlen(dst.get()) <= tok_len);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<char[]> text = exact_text(data, size);

  backup_config cfg;
  std::memset(&cfg, 0xA5, sizeof cfg);  // whatever the caller's record held
  const int rc = parse_config(text.get(), &cfg);
  FUZZ_CHECK(rc == 0 || rc == -1);
  check_record(cfg);

  jsmn_parser parser;
  jsmntok_t tok[CONFIG_MAX_TOKENS];
  jsmn_init(&parser);
  const int n = jsmn_parse(&parser, text.get(), std::strlen(text.get()), tok, CONFIG_MAX_TOKENS);
  const bool acceptable = n > 0 && tok[0].type == JSMN_OBJECT;
  FUZZ_CHECK((rc == 0) == acceptable);
  if (rc != 0) FUZZ_CHECK(std::memcmp(&cfg, &defaults(), sizeof cfg) == 0);

  for (int i = 0; i < n; ++i) check_tok_copy(text.get(), &tok[i]);
  return 0;
}
