// Configuration parsing: rejections, defaults, value rules, duplicates,
// escapes, nested values and the token limit.
#include <gtest/gtest.h>

#include <string>

#include "vaultrun/config.h"

namespace {

struct parsed {
  int rc;
  backup_config cfg;
};

parsed parse(const std::string& text) {
  parsed p;
  p.rc = parse_config(text.c_str(), &p.cfg);
  return p;
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

TEST(ParseConfig, LongValuesAreCut) {
  parsed p = parse("{\"host\":\"" + std::string(300, 'h') + "\",\"user\":\"" + std::string(128, 'u') + "\"}");
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(std::string(p.cfg.host), std::string(255, 'h'));
  EXPECT_EQ(std::string(p.cfg.user), std::string(127, 'u'));

  // The limit counts source bytes: a pair starting at byte 255 loses its second byte.
  parsed q = parse("{\"host\":\"" + std::string(254, 'h') + "\\\\x\"}");
  ASSERT_EQ(q.rc, 0);
  EXPECT_EQ(std::string(q.cfg.host), std::string(254, 'h') + "\\");
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
  auto with_numbers = [](int n) {
    std::string s = "{\"list\":[";
    for (int i = 0; i < n; ++i) s += (i ? ",1" : "1");
    return s + "]}";
  };
  EXPECT_EQ(parse(with_numbers(253)).rc, 0);   // 256 tokens
  EXPECT_EQ(parse(with_numbers(254)).rc, -1);  // 257 tokens
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
