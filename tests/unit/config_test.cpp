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
  for (const char* key : {"host", "user", "password", "database", "out_path"}) {
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
  EXPECT_EQ(parse(with_numbers(253)).rc, 0);  // 256 tokens
  parsed large = parse(with_numbers(254) + " ");
  EXPECT_EQ(large.rc, -1);  // 257 tokens
  EXPECT_EQ(large.refusal, "config too large");
  expect_defaults(large.cfg);
  EXPECT_EQ(parse("{\"user\":\"sa\",\"a\":{\"b\":[[" + numbers(400) + "],{}]}}").refusal, "config too large");

  // Texts past the limit that are not a well-formed object stay invalid.
  const std::string bad[] = {
      "[" + numbers(300) + "]",                            // not an object
      "{\"list\":[" + numbers(300) + "]",                   // left open
      "{\"list\":[" + numbers(300) + "}}",                  // closed by the wrong kind
      "{\"list\":[" + numbers(300) + "]}}",                 // a stray closing brace
      "{\"list\":[" + numbers(300) + ",\"\\x\"]}",          // an escape JSON does not have
      "{\"list\":[" + numbers(300) + ",\"open]}",           // a string left open
      "{\"list\":[" + numbers(300) + ",1\x80]}",            // a high byte in a bare value
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
