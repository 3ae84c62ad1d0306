// Configuration parsing: rejections, defaults, value rules, duplicates,
// escapes, nested values, refused values and the token limit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "vaultrun/config.h"

namespace {

struct parsed {
  int rc;
  backup_config cfg;
  std::string refusal;
};

parsed parse(const std::string& text) {
  parsed p;
  const char* refusal = nullptr;
  p.rc = parse_config(text.c_str(), &p.cfg, &refusal);
  p.refusal = refusal != nullptr ? refusal : "";
  return p;
}

std::string repeat(const std::string& s, size_t n) {
  std::string r;
  for (size_t i = 0; i < n; ++i) r += s;
  return r;
}

void expect_defaults(const backup_config& c) {
  EXPECT_STREQ(c.host, "127.0.0.1");
  EXPECT_EQ(c.port, 1433);
  EXPECT_STREQ(c.user, "");
  EXPECT_STREQ(c.password, "");
  EXPECT_STREQ(c.database, "");
  EXPECT_STREQ(c.out_path, "");
  EXPECT_EQ(c.compression, 1);
  EXPECT_EQ(c.copy_only, 0);
  EXPECT_EQ(c.verify, 1);
  EXPECT_EQ(c.connect_timeout_ms, 0);
  EXPECT_EQ(c.query_timeout_ms, 0);
  EXPECT_EQ(c.encrypt, TDS_ENCRYPT_OFF);
  EXPECT_EQ(c.trust_server_certificate, 0);
  EXPECT_STREQ(c.ca_file, "");
  EXPECT_STREQ(c.host_name_in_certificate, "");
}

TEST(ParseConfig, RejectedTextsLeaveExactlyTheDefaults) {
  const char* rejected[] = {
      "",                        // empty
      "   ",                     // blanks only: no token
      "[]",                      // not an object
      "\"lone\"",                // a lone string
      "{\"user\":\"sa\"",        // object left open
      "{\"user\":\"sa\"}}",      // stray closing brace
      "{\"user\":\"sa\"]",       // closing bracket of the other kind
      "{\"out_path\":\"D:\\data.bak\"}",  // \d is no JSON escape
      "{\"user\":\"\\u12\"}",    // \u without four hex digits
      "{\"user\":\"open",        // string still open
      "{\"port\":1\x80}",        // high byte in an unquoted value
  };
  for (const char* text : rejected) {
    SCOPED_TRACE(text);
    parsed p = parse(text);
    EXPECT_EQ(p.rc, -1);
    expect_defaults(p.cfg);
  }
}

TEST(ParseConfig, EmptyObjectGivesDefaults) {
  parsed p = parse("{}");
  EXPECT_EQ(p.rc, 0);
  expect_defaults(p.cfg);
}

TEST(ParseConfig, HostAndPort) {
  parsed p = parse("{\"host\":\"db1\",\"port\":999}");
  ASSERT_EQ(p.rc, 0);
  EXPECT_STREQ(p.cfg.host, "db1");
  EXPECT_EQ(p.cfg.port, 999);
  EXPECT_STREQ(p.cfg.user, "");
  EXPECT_EQ(p.cfg.verify, 1);
}

TEST(ParseConfig, PortValueRules) {
  struct {
    const char* value;
    int32_t port;
  } cases[] = {
      {"\"999\"", 999},
      {"\"abc\"", 0},
      {"\"\"", 0},
      {"\"999x\"", 999},
      {"\" -12\"", -12},
      {"70000", 70000},
      {"\"12345678901234567890123456789012\"", 1433},  // 32 digits: too long
      {"\"1234567890123456789012345678901\"", INT32_MAX},  // 31 digits: saturates
      {"-99999999999", INT32_MIN},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.value);
    parsed p = parse(std::string("{\"port\":") + c.value + "}");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.cfg.port, c.port);
  }
}

TEST(ParseConfig, FlagValueRules) {
  struct {
    const char* member;
    int compression, copy_only, verify;
  } cases[] = {
      {"\"verify\":false", 1, 0, 0},
      {"\"verify\":\"false\"", 1, 0, 0},
      {"\"verify\":\"False\"", 1, 0, 1},
      {"\"verify\":0", 1, 0, 1},
      {"\"verify\":\"0\"", 1, 0, 1},
      {"\"verify\":null", 1, 0, 1},
      {"\"copy_only\":true", 1, 1, 1},
      {"\"copy_only\":\"true\"", 1, 1, 1},
      {"\"copy_only\":1", 1, 0, 1},
      {"\"copy_only\":\"yes\"", 1, 0, 1},
      {"\"copy_only\":\"TRUE\"", 1, 0, 1},
      {"\"compression\":null", 1, 0, 1},
      {"\"compression\":false", 0, 0, 1},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.member);
    parsed p = parse(std::string("{") + c.member + "}");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.cfg.compression, c.compression);
    EXPECT_EQ(p.cfg.copy_only, c.copy_only);
    EXPECT_EQ(p.cfg.verify, c.verify);
  }
}

TEST(ParseConfig, LastDuplicateWinsAndKeysAreCaseSensitive) {
  parsed p = parse("{\"user\":\"sa\",\"user\":\"admin\",\"HOST\":\"x\"}");
  ASSERT_EQ(p.rc, 0);
  EXPECT_STREQ(p.cfg.user, "admin");
  EXPECT_STREQ(p.cfg.host, "127.0.0.1");
}

TEST(ParseConfig, BackslashPairs) {
  struct {
    const char* json_value;
    const char* field;
  } cases[] = {
      {R"("D:\\backup\\db.bak")", "D:\\backup\\db.bak"},
      {R"("D:\temp.bak")", "D:\temp.bak"},  // \t is a tab
      {R"("E:\backup.bak")", "E:backup.bak"},
      {R"("a\u0041")", "au0041"},
      {R"("q\"q\/s")", "q\"q/s"},
      {"\"raw\ttab\nline\xC3\xA9\"", "raw\ttab\nline\xC3\xA9"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.json_value);
    parsed p = parse(std::string("{\"out_path\":") + c.json_value + "}");
    ASSERT_EQ(p.rc, 0);
    EXPECT_STREQ(p.cfg.out_path, c.field);
  }
}

TEST(ParseConfig, ValuesThatDoNotFitWholeAreRefused) {
  const std::string cyrillic = "\xD0\x96", euro = "\xE2\x82\xAC", emoji = "\xF0\x9F\x98\x80";
  struct {
    const char* key;
    std::string value;  // as written in the JSON text
    const char* refusal;  // "" when accepted
    size_t field_len;     // bytes in the field once accepted
  } cases[] = {
      {"host", std::string(255, 'h'), "", 255},
      {"host", std::string(256, 'h'), "host too long", 0},
      {"user", std::string(127, 'u'), "", 127},
      {"user", std::string(128, 'u'), "user too long", 0},
      {"password", std::string(255, 'p'), "", 255},
      {"password", std::string(256, 'p'), "password too long", 0},
      {"out_path", std::string(1023, 'o'), "", 1023},
      {"out_path", std::string(1024, 'o'), "out_path too long", 0},
      // Measured once the backslash pairs are resolved: 1023 pairs are 1023 bytes.
      {"out_path", repeat("\\\\", 1023), "", 1023},
      {"out_path", repeat("\\\\", 1024), "out_path too long", 0},
      // A database name is measured in UTF-16 units, as the server counts it.
      {"database", std::string(128, 'd'), "", 128},
      {"database", std::string(129, 'd'), "database too long", 0},
      {"database", repeat(cyrillic, 128), "", 256},
      {"database", repeat(cyrillic, 129), "database too long", 0},
      {"database", repeat(euro, 128), "", 384},
      {"database", repeat(euro, 129), "database too long", 0},
      {"database", repeat(emoji, 64), "", 256},           // 128 units: 64 surrogate pairs
      {"database", repeat(emoji, 64) + "d", "database too long", 0},
      {"database", std::string(126, 'a') + "\xC3\xA9", "", 128},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " of " + std::to_string(c.value.size()) + " bytes");
    parsed p = parse("{\"user\":\"sa\",\"password\":\"pw\",\"" + std::string(c.key) + "\":\"" + c.value + "\"}");
    EXPECT_EQ(p.refusal, c.refusal);
    if (c.refusal[0] != 0) {
      EXPECT_EQ(p.rc, -1);
      expect_defaults(p.cfg);  // nothing of a refused text is kept, the password least
      continue;
    }
    ASSERT_EQ(p.rc, 0);
    const char* field = std::string(c.key) == "host" ? p.cfg.host
                        : std::string(c.key) == "user" ? p.cfg.user
                        : std::string(c.key) == "password" ? p.cfg.password
                        : std::string(c.key) == "database" ? p.cfg.database
                                                            : p.cfg.out_path;
    EXPECT_EQ(std::strlen(field), c.field_len);
  }
}

TEST(ParseConfig, TextValuesThatAreNotUtf8AreRefused) {
  const char* bad[] = {
      "x\xC1'; DROP TABLE t; --",  // a lead byte that never starts a character
      "x\xC2]; SHUTDOWN; --",      // a lead byte without its continuation byte
      "tail\xC3",                  // cut at the end
      "\xE0\x80\xAF",              // overlong
      "\xED\xA0\x80",              // an encoded surrogate
      "\xF4\x90\x80\x80",          // above U+10FFFF
      "\xF5\x80\x80\x80",          // no such lead byte
      "\x80",                      // a stray continuation byte
  };
  for (const char* key : {"host", "user", "password", "database", "out_path", "credential", "server_certificate",
                          "server_asymmetric_key", "name", "description"}) {
    for (const char* value : bad) {
      SCOPED_TRACE(std::string(key) + ": " + value);
      parsed p = parse("{\"user\":\"sa\",\"" + std::string(key) + "\":\"" + value + "\"}");
      EXPECT_EQ(p.rc, -1);
      EXPECT_EQ(p.refusal, "invalid UTF-8 in " + std::string(key));
      expect_defaults(p.cfg);
    }
  }
  // Well-formed text of every length passes, and a text that is not JSON is
  // refused as such before its values are looked at.
  EXPECT_EQ(parse("{\"database\":\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"}").refusal, "");
  EXPECT_EQ(parse("{\"database\":\"\xC1\"").refusal, "invalid config json");
}

TEST(ParseConfig, NestedValues) {
  // An unknown key's value is passed over whole.
  parsed a = parse(R"({"other":{"host":"h","deep":[{"host":"x"}]},"user":"u"})");
  ASSERT_EQ(a.rc, 0);
  EXPECT_STREQ(a.cfg.host, "127.0.0.1");
  EXPECT_STREQ(a.cfg.user, "u");

  // A known key takes the raw text of an object value, and the walk goes on inside it.
  parsed b = parse(R"({"user":{"host":"h"}})");
  ASSERT_EQ(b.rc, 0);
  EXPECT_STREQ(b.cfg.user, R"({"host":"h"})");
  EXPECT_STREQ(b.cfg.host, "h");
}

TEST(ParseConfig, TokenPairingQuirks) {
  parsed a = parse(R"({"host"})");
  EXPECT_EQ(a.rc, 0);
  EXPECT_STREQ(a.cfg.host, "127.0.0.1");

  parsed b = parse(R"({host:"x","user":"u"})");
  EXPECT_EQ(b.rc, 0);
  EXPECT_STREQ(b.cfg.host, "127.0.0.1");
  EXPECT_STREQ(b.cfg.user, "");

  parsed c = parse(R"({} {"user":"sa"})");
  EXPECT_EQ(c.rc, 0);
  EXPECT_STREQ(c.cfg.user, "sa");
}

TEST(ParseConfig, TokenLimit) {
  auto numbers = [](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += (i ? ",1" : "1");
    return s;
  };
  auto with_numbers = [&](int n) { return "{\"list\":[" + numbers(n) + "]}"; };
  EXPECT_EQ(parse(with_numbers(637)).rc, 0);  // 640 tokens
  parsed large = parse(with_numbers(638) + " ");
  EXPECT_EQ(large.rc, -1);  // 641 tokens
  EXPECT_EQ(large.refusal, "config too large");
  expect_defaults(large.cfg);
  EXPECT_EQ(parse("{\"user\":\"sa\",\"a\":{\"b\":[[" + numbers(800) + "],{}]}}").refusal, "config too large");

  // Texts past the limit that are not a well-formed object stay invalid.
  const std::string bad[] = {
      "[" + numbers(700) + "]",                            // not an object
      "{\"list\":[" + numbers(700) + "]",                   // left open
      "{\"list\":[" + numbers(700) + "}}",                  // closed by the wrong kind
      "{\"list\":[" + numbers(700) + "]}}",                 // a stray closing brace
      "{\"list\":[" + numbers(700) + ",\"\\x\"]}",          // an escape JSON does not have
      "{\"list\":[" + numbers(700) + ",\"open]}",           // a string left open
      "{\"list\":[" + numbers(700) + ",1\x80]}",            // a high byte in a bare value
  };
  for (const std::string& text : bad) {
    SCOPED_TRACE(text.substr(text.size() - 12));
    EXPECT_EQ(parse(text).refusal, "invalid config json");
  }
}

TEST(ParseConfig, TimeoutKeys) {
  parsed p = parse(R"({"connect_timeout_ms":1500,"query_timeout_ms":"2500"})");
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(p.cfg.connect_timeout_ms, 1500);
  EXPECT_EQ(p.cfg.query_timeout_ms, 2500);
  parsed n = parse(R"({"connect_timeout_ms":-5,"query_timeout_ms":"x"})");
  EXPECT_EQ(n.cfg.connect_timeout_ms, 0);
  EXPECT_EQ(n.cfg.query_timeout_ms, 0);
}

}  // namespace

namespace {

// A backup configuration with these further members (each with a leading comma).
parsed parse_backup(const std::string& extra) {
  return parse("{\"user\":\"sa\",\"database\":\"hr\"" + extra + "}");
}

std::string list_of(const std::string& key, size_t n, const std::string& path) {
  std::string s = ",\"" + key + "\":[";
  for (size_t i = 0; i < n; ++i) s += (i ? ",\"" : "\"") + path + std::to_string(i) + "\"";
  return s + "]";
}

}  // namespace

TEST(ParseConfig, BackupKindKeysAreCheckedBeforeAnythingIsSent) {
  const struct {
    const char* name;
    std::string extra;
    const char* refusal;  // "" when accepted
  } cases[] = {
      {"types", ",\"out_path\":\"/b\",\"type\":\"log\"", ""},
      {"unknown type", ",\"out_path\":\"/b\",\"type\":\"incremental\"", "invalid type"},
      {"type in capitals", ",\"out_path\":\"/b\",\"type\":\"FULL\"", "invalid type"},
      {"type not a string", ",\"out_path\":\"/b\",\"type\":1", "invalid type"},
      {"one stripe", ",\"stripes\":[\"/a\"]", ""},
      {"64 stripes", list_of("stripes", 64, "/s"), ""},
      {"65 stripes", list_of("stripes", 65, "/s"), "stripes must hold 1 to 64 paths"},
      {"no stripes", ",\"stripes\":[]", "stripes must hold 1 to 64 paths"},
      {"stripes not an array", ",\"stripes\":\"/a\"", "stripes must be an array of paths"},
      {"a stripe not a string", ",\"stripes\":[\"/a\",2]", "stripes must be an array of paths"},
      {"an empty stripe", ",\"stripes\":[\"/a\",\"\"]", "stripes cannot hold an empty path"},
      {"a stripe too long", ",\"stripes\":[\"" + std::string(1024, 'p') + "\"]", "stripes too long"},
      {"a stripe of 1023 bytes", ",\"stripes\":[\"" + std::string(1023, 'p') + "\"]", ""},
      {"stripes beyond their area", list_of("stripes", 20, std::string(1000, 'p')), "stripes too long"},
      {"a stripe not UTF-8", ",\"stripes\":[\"/a\xC1\"]", "invalid UTF-8 in stripes"},
      {"out_path and stripes", ",\"out_path\":\"/b\",\"stripes\":[\"/a\"]", "out_path and stripes cannot both be given"},
      {"URL and file stripes", ",\"stripes\":[\"https://a/c/x\",\"/b\"]", "stripes must all be URLs or all be files"},
      {"credential for a file", ",\"out_path\":\"/b\",\"credential\":\"c\"", "credential needs a URL target"},
      {"credential for https", ",\"out_path\":\"HTTPS://a/c/x.bak\",\"credential\":\"c\"", ""},
      {"credential for s3", ",\"out_path\":\"s3://h/b/x.bak\",\"credential\":\"c\"",
       "credential cannot be given for s3:// targets"},
      {"buffer_count bounds", ",\"out_path\":\"/b\",\"buffer_count\":65535", ""},
      {"buffer_count 0", ",\"out_path\":\"/b\",\"buffer_count\":0", "buffer_count must be from 1 to 65535"},
      {"buffer_count above", ",\"out_path\":\"/b\",\"buffer_count\":65536", "buffer_count must be from 1 to 65535"},
      {"buffer_count as text", ",\"out_path\":\"/b\",\"buffer_count\":\"7\"", "buffer_count must be from 1 to 65535"},
      {"buffer_count negative", ",\"out_path\":\"/b\",\"buffer_count\":-1", "buffer_count must be from 1 to 65535"},
      {"buffer_count huge", ",\"out_path\":\"/b\",\"buffer_count\":99999999999999999999",
       "buffer_count must be from 1 to 65535"},
      {"max_transfer_size 64 KiB", ",\"out_path\":\"/b\",\"max_transfer_size\":65536", ""},
      {"max_transfer_size 4 MiB", ",\"out_path\":\"/b\",\"max_transfer_size\":4194304", ""},
      {"max_transfer_size not a multiple", ",\"out_path\":\"/b\",\"max_transfer_size\":100000",
       "max_transfer_size must be a multiple of 65536 up to 4194304"},
      {"max_transfer_size above", ",\"out_path\":\"/b\",\"max_transfer_size\":4259840",
       "max_transfer_size must be a multiple of 65536 up to 4194304"},
      {"max_transfer_size 0", ",\"out_path\":\"/b\",\"max_transfer_size\":0",
       "max_transfer_size must be a multiple of 65536 up to 4194304"},
      {"block_size 512", ",\"out_path\":\"/b\",\"block_size\":512", ""},
      {"block_size 65536", ",\"out_path\":\"/b\",\"block_size\":65536", ""},
      {"block_size not a power of two", ",\"out_path\":\"/b\",\"block_size\":1536",
       "block_size must be a power of two from 512 to 65536"},
      {"block_size below", ",\"out_path\":\"/b\",\"block_size\":256", "block_size must be a power of two from 512 to 65536"},
      {"block_size above", ",\"out_path\":\"/b\",\"block_size\":131072",
       "block_size must be a power of two from 512 to 65536"},
      {"block_size fractional", ",\"out_path\":\"/b\",\"block_size\":512.5",
       "block_size must be a power of two from 512 to 65536"},
      {"encryption with a certificate", ",\"out_path\":\"/b\",\"encryption\":\"AES_256\",\"server_certificate\":\"c\"", ""},
      {"encryption with a key", ",\"out_path\":\"/b\",\"encryption\":\"TRIPLE_DES_3KEY\",\"server_asymmetric_key\":\"k\"", ""},
      {"unknown algorithm", ",\"out_path\":\"/b\",\"encryption\":\"AES_512\",\"server_certificate\":\"c\"",
       "invalid encryption"},
      {"algorithm in lower case", ",\"out_path\":\"/b\",\"encryption\":\"aes_256\",\"server_certificate\":\"c\"",
       "invalid encryption"},
      {"encryption without an encryptor", ",\"out_path\":\"/b\",\"encryption\":\"AES_128\"",
       "encryption needs server_certificate or server_asymmetric_key"},
      {"two encryptors", ",\"out_path\":\"/b\",\"encryption\":\"AES_128\",\"server_certificate\":\"c\",\"server_asymmetric_key\":\"k\"",
       "server_certificate and server_asymmetric_key cannot both be given"},
      {"an encryptor without encryption", ",\"out_path\":\"/b\",\"server_certificate\":\"c\"",
       "server_certificate and server_asymmetric_key need encryption"},
      {"name of 128 units", ",\"out_path\":\"/b\",\"name\":\"" + repeat("\xE2\x82\xAC", 128) + "\"", ""},
      {"name of 129 units", ",\"out_path\":\"/b\",\"name\":\"" + std::string(129, 'n') + "\"", "name too long"},
      {"description of 255 units", ",\"out_path\":\"/b\",\"description\":\"" + repeat("\xE2\x82\xAC", 255) + "\"", ""},
      {"description of 256 units", ",\"out_path\":\"/b\",\"description\":\"" + std::string(256, 'd') + "\"",
       "description too long"},
      {"credential of 129 units", ",\"out_path\":\"https://a/c/x\",\"credential\":\"" + std::string(129, 'c') + "\"",
       "credential too long"},
      {"certificate of 65 surrogate pairs",
       ",\"out_path\":\"/b\",\"encryption\":\"AES_128\",\"server_certificate\":\"" + repeat("\xF0\x9F\x98\x80", 65) + "\"",
       "server_certificate too long"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    parsed p = parse_backup(c.extra);
    EXPECT_EQ(p.refusal, c.refusal);
    EXPECT_EQ(p.rc, c.refusal[0] == 0 ? 0 : -1);
    if (c.refusal[0] != 0) expect_defaults(p.cfg);
    else EXPECT_EQ(p.cfg.extended, 1);
  }
}

TEST(ParseConfig, StripesKeepEveryPathWholeAndInOrder) {
  parsed p = parse_backup(",\"stripes\":[\"/a\",\"/b\\\"q\",\"" + std::string(1023, 'z') + "\"],\"user\":\"u2\"");
  ASSERT_EQ(p.refusal, "");
  ASSERT_EQ(backup_target_count(&p.cfg), 3);
  EXPECT_STREQ(backup_target(&p.cfg, 0), "/a");
  EXPECT_STREQ(backup_target(&p.cfg, 1), "/b\"q");
  EXPECT_EQ(std::string(backup_target(&p.cfg, 2)), std::string(1023, 'z'));
  // The members after the array are read as members, not its paths.
  EXPECT_STREQ(p.cfg.user, "u2");
  // The largest area of stripes fits: 16 paths of 1023 bytes.
  EXPECT_EQ(parse_backup(list_of("stripes", 16, std::string(1021, 'p'))).refusal, "");
}

TEST(ParseConfig, WithoutBackupKindKeysTheRecordIsAsBefore) {
  parsed p = parse_backup(",\"out_path\":\"/b\",\"copy_only\":true");
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(p.cfg.extended, 0);
  EXPECT_EQ(p.cfg.type, BACKUP_FULL);
  EXPECT_EQ(backup_target_count(&p.cfg), 1);
  EXPECT_STREQ(backup_target(&p.cfg, 0), "/b");
}

// ---- Encryption keys ----

TEST(ParseConfig, EncryptionKeys) {
  struct {
    const char* members;  // inside the object, after "user"
    const char* refusal;  // "" when accepted
    int32_t encrypt;
    int32_t trust;
  } cases[] = {
      {"", "", TDS_ENCRYPT_OFF, 0},
      {R"("encrypt":false)", "", TDS_ENCRYPT_OFF, 0},
      {R"("encrypt":true)", "", TDS_ENCRYPT_ON, 0},
      {R"("encrypt":"strict")", "", TDS_ENCRYPT_STRICT, 0},
      {R"("encrypt":true,"trust_server_certificate":true)", "", TDS_ENCRYPT_ON, 1},
      {R"("encrypt":true,"trust_server_certificate":"true")", "", TDS_ENCRYPT_ON, 0},
      {R"("trust_server_certificate":true)", "", TDS_ENCRYPT_OFF, 1},  // meaningless, harmless
      // Anything else is refused rather than read as clear text.
      {R"("encrypt":"true")", "invalid encrypt", 0, 0},
      {R"("encrypt":"Strict")", "invalid encrypt", 0, 0},
      {R"("encrypt":1)", "invalid encrypt", 0, 0},
      {R"("encrypt":null)", "invalid encrypt", 0, 0},
      {R"("encrypt":{})", "invalid encrypt", 0, 0},
      // Strict always checks the certificate, whichever key comes first.
      {R"("encrypt":"strict","trust_server_certificate":true)",
       "trust_server_certificate cannot be used with strict encryption", 0, 0},
      {R"("trust_server_certificate":true,"encrypt":"strict")",
       "trust_server_certificate cannot be used with strict encryption", 0, 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.members);
    parsed p = parse(std::string(R"({"user":"sa")") + (c.members[0] ? "," : "") + c.members + "}");
    EXPECT_EQ(p.refusal, c.refusal);
    if (c.refusal[0] != 0) {
      EXPECT_EQ(p.rc, -1);
      expect_defaults(p.cfg);
      continue;
    }
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.cfg.encrypt, c.encrypt);
    EXPECT_EQ(p.cfg.trust_server_certificate, c.trust);
  }
}

TEST(ParseConfig, CertificateTextKeys) {
  // The same rules as the other text keys: whole, valid UTF-8, or refused.
  for (const char* key : {"ca_file", "host_name_in_certificate"}) {
    parsed ok = parse(std::string(R"({"user":"sa",")") + key + R"(":"/etc/x/é.pem"})");
    EXPECT_EQ(ok.rc, 0) << key;
    parsed bad = parse(std::string(R"({"user":"sa",")") + key + "\":\"x\xC2]\"}");
    EXPECT_EQ(bad.refusal, "invalid UTF-8 in " + std::string(key));
    expect_defaults(bad.cfg);
    const size_t cap = std::string(key) == "ca_file" ? 1024 : 256;
    parsed fits = parse(std::string(R"({"user":"sa",")") + key + "\":\"" + std::string(cap - 1, 'n') + "\"}");
    EXPECT_EQ(fits.rc, 0) << key;
    parsed too_long = parse(std::string(R"({"user":"sa",")") + key + "\":\"" + std::string(cap, 'n') + "\"}");
    EXPECT_EQ(too_long.refusal, std::string(key) + " too long");
    expect_defaults(too_long.cfg);
  }
}

// The restore keys: each refusal names its key; a backup ignores them,
// apart from an operation that is neither.
TEST(ParseConfig, RestoreKeysAndTheirRefusals) {
  const std::string R = ",\"operation\":\"restore\"";
  const struct {
    const char* name;
    std::string extra;
    const char* refusal;
  } cases[] = {
      {"history, newest point", R, ""},
      {"operation unknown", ",\"operation\":\"Restore\"", "invalid operation"},
      {"operation not a text", ",\"operation\":1", "invalid operation"},
      {"operation unknown on a backup too", ",\"out_path\":\"/b\",\"operation\":\"copy\"", "invalid operation"},
      {"system database in any case", R + ",\"database\":\"MSDB\"", "cannot restore system database"},
      {"tempdb", R + ",\"database\":\"tempdb\"", "cannot restore system database"},
      {"system database with trailing spaces", R + ",\"database\":\"msdb  \"", "cannot restore system database"},
      {"stop_at with T", R + ",\"stop_at\":\"2026-12-10T20:30:37\"", ""},
      {"stop_at with space and 7 digits", R + ",\"stop_at\":\"2024-02-29 23:59:59.1234567\"", ""},
      {"stop_at 8 digits", R + ",\"stop_at\":\"2026-12-10T20:30:37.12345678\"", "invalid stop_at"},
      {"stop_at not a leap year", R + ",\"stop_at\":\"2026-02-29T00:00:00\"", "invalid stop_at"},
      {"stop_at hour 24", R + ",\"stop_at\":\"2026-12-10T24:00:00\"", "invalid stop_at"},
      {"stop_at bare dot", R + ",\"stop_at\":\"2026-12-10T20:30:37.\"", "invalid stop_at"},
      {"stop_at date only", R + ",\"stop_at\":\"2026-12-10\"", "invalid stop_at"},
      {"stop_at quote", R + ",\"stop_at\":\"2026-12-10T20:30:37'\"", "invalid stop_at"},
      {"move default", R + ",\"move\":\"default\"", ""},
      {"move other text", R + ",\"move\":\"auto\"", "invalid move"},
      {"move empty object", R + ",\"move\":{}", "invalid move"},
      {"move empty path", R + ",\"move\":{\"d\":\"\"}", "invalid move"},
      {"move nested", R + ",\"move\":{\"d\":[\"x\"]}", "invalid move"},
      {"move number", R + ",\"move\":{\"d\":1}", "invalid move"},
      {"move bad UTF-8", R + ",\"move\":{\"d\":\"\xC1\"}", "invalid UTF-8 in move"},
      // Members without ':' make the tokenizer count more pairs than follow.
      {"move pairs without ':' last", R + ",\"move\":{\"d\" \"x\" \"e\"}", "invalid move"},
      {"move pairs without ':' then a key", R + ",\"move\":{\"d\" \"x\"},\"user\":\"u\"", "invalid move"},
      {"files with ':' inside", R + ",\"backup_files\":[\"/f\":\"/g\"]",
       "backup_files must be an array of 1 to 256 paths"},
      {"file 32767", R + ",\"out_path\":\"/b\",\"file\":32767", ""},
      {"file 0", R + ",\"out_path\":\"/b\",\"file\":0", "file must be 1 to 32767"},
      {"file 32768", R + ",\"out_path\":\"/b\",\"file\":32768", "file must be 1 to 32767"},
      {"file without targets", R + ",\"file\":2", "file needs out_path or stripes"},
      {"files with out_path", R + ",\"out_path\":\"/b\"" + list_of("backup_files", 1, "/f"),
       "backup_files cannot be used with out_path or stripes"},
      {"files with stripes", R + ",\"stripes\":[\"/s\"]" + list_of("backup_files", 2, "/f"),
       "backup_files cannot be used with out_path or stripes"},
      {"256 files", R + list_of("backup_files", 256, "/f"), ""},
      {"257 files", R + list_of("backup_files", 257, "/f"), "too many backup_files"},
      {"files past the area", R + list_of("backup_files", 20, std::string(1000, 'p')), "backup_files too long"},
      {"files empty", R + ",\"backup_files\":[]", "backup_files must be an array of 1 to 256 paths"},
      {"files bad UTF-8", R + ",\"backup_files\":[\"\xC1\"]", "invalid UTF-8 in backup_files"},
      {"source_database too long", R + ",\"source_database\":\"" + std::string(129, 's') + "\"",
       "source_database too long"},
      // A backup reads none of them.
      {"backup ignores a bad stop_at", ",\"out_path\":\"/b\",\"stop_at\":\"soon\"", ""},
      {"backup ignores move", ",\"out_path\":\"/b\",\"move\":3,\"user\":\"u\"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    parsed p = parse_backup(c.extra);
    EXPECT_EQ(p.refusal, c.refusal);
    EXPECT_EQ(p.rc, c.refusal[0] == 0 ? 0 : -1);
    if (c.refusal[0] != 0) expect_defaults(p.cfg);
  }
}

// Restore tests: the copy is a new database beside the source, so what
// would restore over a database, or leave the copy offline, is refused; a
// backup that proves itself by a restore test takes the same keys.
TEST(ParseConfig, RestoreTestKeysAndTheirRefusals) {
  const std::string T = ",\"operation\":\"restore_test\"";
  const std::string B = ",\"out_path\":\"/b\",\"verify\":\"restore\"";
  const struct {
    const char* name;
    std::string extra;
    const char* refusal;
    int32_t operation, verify, checkdb;
    const char* scratch;
  } cases[] = {
      {"defaults", T, "", OPERATION_RESTORE_TEST, VERIFY_ONLY, CHECKDB_FULL, ""},
      {"physical_only, named copy", T + ",\"checkdb\":\"physical_only\",\"scratch_database\":\"hr ]copy\"", "",
       OPERATION_RESTORE_TEST, VERIFY_ONLY, CHECKDB_PHYSICAL_ONLY, "hr ]copy"},
      {"none", T + ",\"checkdb\":\"none\"", "", OPERATION_RESTORE_TEST, VERIFY_ONLY, CHECKDB_NONE, ""},
      {"checkdb in capitals", T + ",\"checkdb\":\"FULL\"", "invalid checkdb", 0, 0, 0, ""},
      {"checkdb not a text", T + ",\"checkdb\":true", "invalid checkdb", 0, 0, 0, ""},
      {"checkdb refused on a backup too", ",\"out_path\":\"/b\",\"checkdb\":\"quick\"", "invalid checkdb", 0, 0, 0,
       ""},
      {"source_database", T + ",\"source_database\":\"hr2\"", "source_database cannot be used with restore_test", 0, 0,
       0, ""},
      {"replace", T + ",\"replace\":true", "replace cannot be used with restore_test", 0, 0, 0, ""},
      {"no recovery", T + ",\"recovery\":false", "recovery cannot be false with restore_test", 0, 0, 0, ""},
      {"copy named as the source", T + ",\"scratch_database\":\"HR\"", "scratch_database cannot be the source database",
       0, 0, 0, ""},
      {"copy name too long", T + ",\"scratch_database\":\"" + std::string(129, 's') + "\"",
       "scratch_database too long", 0, 0, 0, ""},
      {"copy name bad UTF-8", T + ",\"scratch_database\":\"x\xC1\"", "invalid UTF-8 in scratch_database", 0, 0, 0, ""},
      {"system database", T + ",\"database\":\"model\"", "cannot restore system database", 0, 0, 0, ""},
      {"restore keys checked", T + ",\"stop_at\":\"soon\"", "invalid stop_at", 0, 0, 0, ""},
      // verify: the word "restore" only; anything else keeps its meaning.
      {"backup proving itself", B + ",\"checkdb\":\"none\"", "", OPERATION_BACKUP, VERIFY_RESTORE, CHECKDB_NONE, ""},
      {"verify other text", ",\"out_path\":\"/b\",\"verify\":\"Restore\"", "", OPERATION_BACKUP, VERIFY_ONLY,
       CHECKDB_FULL, ""},
      {"verify false", ",\"out_path\":\"/b\",\"verify\":false", "", OPERATION_BACKUP, VERIFY_OFF, CHECKDB_FULL, ""},
      {"proving backup: copy named as the source", B + ",\"scratch_database\":\"hr\"",
       "scratch_database cannot be the source database", 0, 0, 0, ""},
      {"proving backup: bad move", B + ",\"move\":\"auto\"", "invalid move", 0, 0, 0, ""},
      {"proving backup: replace", B + ",\"replace\":true", "replace cannot be used with restore_test", 0, 0, 0, ""},
      {"plain backup ignores replace", ",\"out_path\":\"/b\",\"replace\":true", "", OPERATION_BACKUP, VERIFY_ONLY,
       CHECKDB_FULL, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    parsed p = parse_backup(c.extra);
    EXPECT_EQ(p.refusal, c.refusal);
    if (c.refusal[0] != 0) {
      EXPECT_EQ(p.rc, -1);
      expect_defaults(p.cfg);
      continue;
    }
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.cfg.operation, c.operation);
    EXPECT_EQ(p.cfg.verify, c.verify);
    EXPECT_EQ(p.cfg.checkdb, c.checkdb);
    EXPECT_STREQ(p.cfg.scratch_database, c.scratch);
  }
}

TEST(ParseConfig, RestoreValuesKeptWholeAndInOrder) {
  parsed p = parse_backup(
      ",\"operation\":\"restore\",\"source_database\":\"Hr\",\"stop_at\":\"2026-12-10 20:30:37.5\","
      "\"move\":{\"hr\":\"/d/a'b.mdf\",\"hr_log\":\"/l/a.ldf\"},\"backup_files\":[\"/f1\",\"https://x/f2\"],"
      "\"replace\":true,\"recovery\":false,\"dry_run\":true,\"user\":\"u2\"");
  ASSERT_EQ(p.refusal, "");
  EXPECT_EQ(p.cfg.operation, OPERATION_RESTORE);
  EXPECT_STREQ(p.cfg.stop_at, "2026-12-10T20:30:37.5");
  EXPECT_STREQ(restore_source(&p.cfg), "Hr");
  ASSERT_EQ(p.cfg.move_count, 2);
  EXPECT_STREQ(restore_move_logical(&p.cfg, 1), "hr_log");
  EXPECT_STREQ(restore_move_physical(&p.cfg, 0), "/d/a'b.mdf");
  ASSERT_EQ(p.cfg.backup_file_count, 2);
  EXPECT_STREQ(restore_backup_file(&p.cfg, 1), "https://x/f2");
  EXPECT_EQ(p.cfg.replace + p.cfg.recovery * 10 + p.cfg.dry_run * 100, 101);
  EXPECT_STREQ(p.cfg.user, "u2");  // the members after the lists are members
  EXPECT_EQ(restore_move_mode(&p.cfg), MOVE_LISTED);

  // No move: "default" only for a copy under another name (in any case).
  parsed same = parse_backup(",\"operation\":\"restore\",\"source_database\":\"HR\"");
  EXPECT_EQ(restore_move_mode(&same.cfg), MOVE_NONE);
  parsed other = parse_backup(",\"operation\":\"restore\",\"source_database\":\"hr2\"");
  EXPECT_EQ(restore_move_mode(&other.cfg), MOVE_DEFAULT);
  EXPECT_EQ(parse_backup(",\"operation\":\"restore\"").cfg.recovery, 1);
}

// The retention keys are read for a cleanup only: any other operation
// ignores them, bad or not, as it did before they existed.
TEST(ConfigCleanup, KeysCountForACleanupOnly) {
  backup_config cfg;
  const char* why = nullptr;
  for (const char* op : {"", ",\"operation\":\"restore\"", ",\"operation\":\"restore_test\""}) {
    const std::string text = std::string("{\"user\":\"sa\",\"database\":\"db\",\"out_path\":\"/b/x.bak\"") + op +
                             ",\"keep_hours\":0,\"folders\":[\"relative\"]}";
    EXPECT_EQ(parse_config(text.c_str(), &cfg, &why), 0) << text << ": " << (why ? why : "");
  }
  ASSERT_EQ(parse_config("{\"user\":\"sa\",\"database\":\"db\",\"operation\":\"cleanup\",\"keep_hours\":876000,"
                         "\"folders\":[\"/var/bk\",\"C:\\\\Backups\",\"\\\\\\\\nas\\\\share\"],\"dry_run\":true}",
                         &cfg, &why),
            0)
      << why;
  EXPECT_EQ(cfg.operation, OPERATION_CLEANUP);
  EXPECT_EQ(cfg.keep_hours, 876000);
  ASSERT_EQ(cfg.folder_count, 3);
  EXPECT_STREQ(cleanup_folder(&cfg, 1), "C:\\Backups");
  EXPECT_STREQ(cleanup_folder(&cfg, 2), "\\\\nas\\share");
  EXPECT_EQ(cfg.dry_run, 1);
}
