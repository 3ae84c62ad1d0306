// Any bytes as the database name and the output path, given through the
// configuration text as a host would, on their way to the wire.
//
// Input: one byte of option flags, two bytes (little-endian) of name length,
// the name, then the path; NUL bytes are dropped (a text cannot hold them).
//
// The configuration is refused exactly when a value is not well-formed
// UTF-8 or does not fit its field (the name: 384 bytes, 128 UTF-16 units;
// the path: 1023 bytes), with the text that names the key. Otherwise the
// fields hold the given bytes whole, both statements fit their buffer, and
// once converted to UTF-16 each reads back, token by token, as exactly the
// intended statement whose identifier and literal decode to the given texts.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "statement_reader.h"
#include "tds_client/tds_client.h"
#include "vaultrun/config.h"
#include "vaultrun/statements.h"

namespace {

std::string without_nul(const uint8_t* p, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0) s += static_cast<char>(p[i]);
  return s;
}

using statement_reader::json_body;

size_t utf16_units(const std::string& s) { return statement_reader::utf16_of(s).size(); }

bool well_formed(const std::string& s) {
  return utf8_well_formed(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// The refusal the configuration must get, worked out from the bytes alone.
std::string expected_refusal(const std::string& database, const std::string& path) {
  if (database.size() > 384) return "database too long";
  if (!well_formed(database)) return "invalid UTF-8 in database";
  if (utf16_units(database) > 128) return "database too long";
  if (path.size() > 1023) return "out_path too long";
  if (!well_formed(path)) return "invalid UTF-8 in out_path";
  return "";
}

std::vector<uint8_t> to_wire(const char* sql) {
  std::vector<uint8_t> out(4 * std::strlen(sql) + 2);
  out.resize(utf8_to_ucs2(sql, out.data(), out.size()));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const bool compression = data[0] & 1, copy_only = data[0] & 2;
  size_t name_len = data[1] | (data[2] << 8);
  data += 3;
  size -= 3;
  if (name_len > size) name_len = size;
  const std::string database = without_nul(data, name_len);
  const std::string path = without_nul(data + name_len, size - name_len);
  if (database.empty() || path.empty()) return 0;

  const std::string text = "{\"user\":\"sa\",\"database\":\"" + json_body(database) + "\",\"out_path\":\"" +
                           json_body(path) + "\",\"compression\":" + (compression ? "true" : "false") +
                           ",\"copy_only\":" + (copy_only ? "true" : "false") + "}";
  std::unique_ptr<char[]> exact = exact_text(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  backup_config cfg;
  const char* refusal = nullptr;
  const int rc = parse_config(exact.get(), &cfg, &refusal);
  const std::string want = expected_refusal(database, path);
  FUZZ_CHECK((rc == 0) == want.empty());
  if (rc != 0) {
    FUZZ_CHECK(refusal != nullptr && want == refusal);
    return 0;
  }
  FUZZ_CHECK(database == cfg.database && path == cfg.out_path);

  std::unique_ptr<char[]> sql(new char[STATEMENT_CAP]);
  FUZZ_CHECK(backup_statement(&cfg, sql.get(), STATEMENT_CAP));
  std::vector<uint8_t> wire = to_wire(sql.get());
  FUZZ_CHECK(statement_reader::check_backup(wire.data(), wire.size(), database, path, compression, copy_only) == "");
  FUZZ_CHECK(verify_statement(&cfg, 1, sql.get(), STATEMENT_CAP));
  wire = to_wire(sql.get());
  FUZZ_CHECK(statement_reader::check_verify(wire.data(), wire.size(), path) == "");
  return 0;
}
