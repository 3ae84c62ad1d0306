// Any bytes as the database name, the targets and every other text of a
// backup, given through the configuration text as a host would, on their
// way to the wire.
//
// Input: one byte of option flags, two bytes (little-endian) of name length,
// the name, then the other texts separated by NUL bytes: the target (the
// first stripe), the credential, the encryptor's name, the backup set's
// name, its description, and any further stripes (up to 65 in all). Flags: 1 compression,
// 2 copy-only, 4 checksum and init, 8 encryption, 16 by an asymmetric key
// rather than a certificate, 32 and 64 the kind (full, differential, log),
// 128 the targets as a stripes array.
//
// The configuration is refused exactly when a value is not well-formed
// UTF-8, does not fit its field (the name: 384 bytes, 128 UTF-16 units; a
// path: 1023 bytes; the stripes together: their area) or breaks a rule
// between keys, with the text that names the key. Otherwise the fields
// hold the given bytes whole, every statement fits its buffer, and once
// converted to UTF-16 each reads back, token by token, as exactly the
// intended statement whose identifiers and literals decode to the given
// texts; so do a restore step and the recovery built from the same texts.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "statement_reader.h"
#include "tds_client/tds_client.h"
#include "vaultrun/config.h"
#include "vaultrun/statements.h"

namespace {

using statement_reader::json_body;

size_t utf16_units(const std::string& s) { return statement_reader::utf16_of(s).size(); }

bool well_formed(const std::string& s) {
  return utf8_well_formed(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// The refusal of one text key, worked out from its bytes alone.
std::string text_refusal(const std::string& key, const std::string& v, size_t max_bytes, size_t max_units) {
  if (v.size() > max_bytes) return key + " too long";
  if (!well_formed(v)) return "invalid UTF-8 in " + key;
  if (max_units != 0 && utf16_units(v) > max_units) return key + " too long";
  return "";
}

std::string lower8(const std::string& s) {
  std::string out;
  for (char c : s.substr(0, 8)) out += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return out;
}

struct input {
  statement_reader::backup_shape b;
  bool as_stripes = false;
  bool by_key = false;
};

// The refusal the configuration must get, in the order the members are written.
std::string expected_refusal(const input& in) {
  const statement_reader::backup_shape& b = in.b;
  if (std::string e = text_refusal("database", b.database, 384, 128); !e.empty()) return e;
  if (!in.as_stripes) {
    if (std::string e = text_refusal("out_path", b.targets[0], 1023, 0); !e.empty()) return e;
  } else {
    if (b.targets.size() > 64) return "stripes must hold 1 to 64 paths";
    size_t used = 0;
    for (const std::string& t : b.targets) {
      if (t.size() > 1023) return "stripes too long";
      if (t.empty()) return "stripes cannot hold an empty path";
      if (!well_formed(t)) return "invalid UTF-8 in stripes";
      used += t.size() + 1;
      if (used > STRIPE_AREA) return "stripes too long";
    }
  }
  const std::string& encryptor = in.by_key ? b.asymmetric_key : b.certificate;
  const struct { const char* key; const std::string& value; size_t units; } texts[] = {
      {"credential", b.credential, 128},
      {in.by_key ? "server_asymmetric_key" : "server_certificate", encryptor, 128},
      {"name", b.name, 128},
      {"description", b.description, 255},
  };
  for (const auto& t : texts) {
    if (std::string e = text_refusal(t.key, t.value, 3 * t.units, t.units); !e.empty()) return e;
  }
  if (!b.cipher.empty() && encryptor.empty()) return "encryption needs server_certificate or server_asymmetric_key";
  const bool url = statement_reader::is_url(b.targets[0]);
  for (const std::string& t : b.targets) {
    if (statement_reader::is_url(t) != url) return "stripes must all be URLs or all be files";
  }
  if (!b.credential.empty() && !url) return "credential needs a URL target";
  if (!b.credential.empty() && lower8(b.targets[0]).rfind("s3://", 0) == 0) {
    return "credential cannot be given for s3:// targets";
  }
  return "";
}

std::string member(const char* key, const std::string& value) {
  return value.empty() ? "" : std::string(",\"") + key + "\":\"" + json_body(value) + "\"";
}

std::string config_text(const input& in) {
  const statement_reader::backup_shape& b = in.b;
  std::string text = "{\"user\":\"sa\",\"database\":\"" + json_body(b.database) + "\"";
  if (in.as_stripes) {
    text += ",\"stripes\":[";
    for (size_t i = 0; i < b.targets.size(); ++i) text += (i ? ",\"" : "\"") + json_body(b.targets[i]) + "\"";
    text += "]";
  } else {
    text += ",\"out_path\":\"" + json_body(b.targets[0]) + "\"";
  }
  text += member("credential", b.credential);
  text += member(in.by_key ? "server_asymmetric_key" : "server_certificate",
                 in.by_key ? b.asymmetric_key : b.certificate);
  text += member("name", b.name) + member("description", b.description);
  text += std::string(",\"compression\":") + (b.compression ? "true" : "false") +
          ",\"copy_only\":" + (b.copy_only ? "true" : "false") + ",\"checksum\":" + (b.checksum ? "true" : "false") +
          ",\"init\":" + (b.init ? "true" : "false");
  text += b.log ? ",\"type\":\"log\"" : b.differential ? ",\"type\":\"differential\"" : "";
  if (!b.cipher.empty()) text += ",\"encryption\":\"AES_192\"";
  return text + "}";
}

// The texts of the input: the name, then the NUL-separated rest.
bool read_input(const uint8_t* data, size_t size, input& in) {
  if (size < 3) return false;
  const uint8_t flags = data[0];
  size_t name_len = data[1] | (data[2] << 8);
  data += 3;
  size -= 3;
  if (name_len > size) name_len = size;
  statement_reader::backup_shape& b = in.b;
  b.database.assign(reinterpret_cast<const char*>(data), name_len);
  if (b.database.find('\0') != std::string::npos) return false;
  std::vector<std::string> pieces(1);
  for (size_t i = name_len; i < size; ++i) {
    if (data[i] == 0) pieces.emplace_back();
    else pieces.back() += static_cast<char>(data[i]);
  }
  pieces.resize(std::max<size_t>(pieces.size(), 5));
  if (b.database.empty() || pieces[0].empty()) return false;
  b.targets = {pieces[0]};
  in.as_stripes = flags & 128;
  // One stripe more than the limit is enough to reach its refusal; many more
  // would reach the configuration's token limit first.
  if (in.as_stripes) b.targets.insert(b.targets.end(), pieces.begin() + 5, pieces.begin() + std::min<size_t>(pieces.size(), 5 + 64));
  b.compression = flags & 1;
  b.copy_only = flags & 2;
  b.checksum = b.init = flags & 4;
  in.by_key = flags & 16;
  b.credential = pieces[1];
  (in.by_key ? b.asymmetric_key : b.certificate) = pieces[2];
  if (flags & 8) b.cipher = u"AES_192";
  b.name = pieces[3];
  b.description = pieces[4];
  const int kind = (flags >> 5) & 3;
  b.differential = kind == 1;
  b.log = kind == 2;
  // An encryptor without encryption is refused by a rule this target does not aim at.
  return !(b.cipher.empty() && !pieces[2].empty());
}

std::vector<uint8_t> to_wire(const char* sql) {
  std::vector<uint8_t> out(4 * std::strlen(sql) + 2);
  out.resize(utf8_to_ucs2(sql, out.data(), out.size()));
  return out;
}

void check_statement(const char* sql, const std::vector<statement_reader::token>& want) {
  std::vector<uint8_t> wire = to_wire(sql);
  FUZZ_CHECK(statement_reader::check(wire.data(), wire.size(), want) == "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  input in;
  if (!read_input(data, size, in)) return 0;
  const std::string text = config_text(in);
  std::unique_ptr<char[]> exact = exact_text(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  backup_config cfg;
  const char* refusal = nullptr;
  const int rc = parse_config(exact.get(), &cfg, &refusal);
  const std::string want = expected_refusal(in);
  FUZZ_CHECK((rc == 0) == want.empty());
  if (rc != 0) {
    FUZZ_CHECK(refusal != nullptr && want == refusal);
    return 0;
  }
  FUZZ_CHECK(in.b.database == cfg.database && backup_target_count(&cfg) == static_cast<int>(in.b.targets.size()));
  for (size_t i = 0; i < in.b.targets.size(); ++i) FUZZ_CHECK(in.b.targets[i] == backup_target(&cfg, int(i)));

  std::unique_ptr<char[]> sql(new char[STATEMENT_CAP]);
  FUZZ_CHECK(backup_statement(&cfg, sql.get(), STATEMENT_CAP));
  check_statement(sql.get(), statement_reader::backup_tokens(in.b));
  const int32_t file = 1 + (data[0] & 7);
  FUZZ_CHECK(verify_statement(&cfg, file, sql.get(), STATEMENT_CAP));
  check_statement(sql.get(), statement_reader::verify_tokens(in.b, file));
  FUZZ_CHECK(history_statement(&cfg, 2, sql.get(), STATEMENT_CAP));
  check_statement(sql.get(), statement_reader::history_tokens(in.b, 2));

  // The same texts in a restore: the targets as a media set's families, the
  // set's name and description as a logical file name and its new path
  // (the way texts from the server reach these statements).
  std::unique_ptr<char[]> big(new char[RESTORE_STATEMENT_CAP]);
  restore_targets targets{};
  for (const std::string& t : in.b.targets) targets.path[targets.count++] = t.c_str();
  restore_moves moves{};
  const bool move = !in.b.name.empty() && !in.b.description.empty();
  if (move) {
    moves.logical[0] = in.b.name.c_str();
    moves.physical[0] = in.b.description.c_str();
    moves.count = 1;
  }
  const bool log = data[0] & 1;
  FUZZ_CHECK(restore_step_statement(&cfg, log ? STEP_LOG : STEP_FULL, &targets, file, &moves, true, big.get(),
                                    RESTORE_STATEMENT_CAP));
  check_statement(big.get(), statement_reader::restore_step_tokens(in.b, log, file, move ? in.b.name : "",
                                                                   in.b.description));
  FUZZ_CHECK(restore_recovery_statement(&cfg, big.get(), RESTORE_STATEMENT_CAP));
  check_statement(big.get(), statement_reader::recovery_tokens(in.b));
  return 0;
}
