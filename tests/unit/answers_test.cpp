// JSON escaping and the answers of the exports that need no server.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "vaultrun.h"
#include "vaultrun/answers.h"

namespace {

std::string escape(const std::string& src, size_t cap) {
  std::string out(cap, '\x7f');
  json_escape(src.c_str(), out.data(), cap);
  return std::string(out.c_str());
}

TEST(JsonEscape, Forms) {
  struct {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"a\"b", "a\\\"b"},
      {"back\\slash", "back\\\\slash"},
      {"\n\r\t", "\\n\\r\\t"},
      {"\x01", "\\u0001"},
      {"\x08\x0c\x1f", "\\u0008\\u000c\\u001f"},
      {"\x7f\xc3\xa9/", "\x7f\xc3\xa9/"},
      {"\xe2\x82\xac\xf0\x9f\x98\x80", "\xe2\x82\xac\xf0\x9f\x98\x80"},
      // Bytes that start no well-formed character become U+FFFD, one each.
      {"a\xc1" "b", "a\xef\xbf\xbd" "b"},
      {"\x80\xff", "\xef\xbf\xbd\xef\xbf\xbd"},
      {"cut\xc3", "cut\xef\xbf\xbd"},
      {"\xc3\"", "\xef\xbf\xbd\\\""},                               // the quote is not swallowed
      {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // an encoded surrogate
      {"\xe0\x80\xaf", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // overlong
  };
  for (auto& c : cases) EXPECT_EQ(escape(c.in, 256), c.out) << c.out;
}

TEST(JsonEscape, TruncatesWithRoomForTheLongestForm) {
  EXPECT_EQ(escape(std::string(300, 'a'), 256), std::string(250, 'a'));
  std::string q;
  for (int i = 0; i < 125; ++i) q += "\\\"";
  EXPECT_EQ(escape(std::string(200, '"'), 256), q);  // 125 whole escapes, 250 bytes
  EXPECT_EQ(escape(std::string(249, 'a') + "\x01", 256), std::string(249, 'a') + "\\u0001");
  EXPECT_EQ(escape(std::string(250, 'a') + "\x01", 256), std::string(250, 'a'));
  // The first byte always goes out, even at the smallest capacity.
  EXPECT_EQ(escape("\x01xyz", 7), "\\u0001");
  EXPECT_EQ(escape("abcdef", 7), "a");
}

TEST(Exports, VersionAndFirstError) {
  EXPECT_STREQ(vaultrun_version(), "kestrova-vaultrun 1.0.0");
  EXPECT_EQ(vaultrun_last_error(), vaultrun_last_error());
}

TEST(Exports, ConfigurationFailures) {
  const char* invalid = "{\"ok\":false,\"error\":\"invalid config json\"}";
  EXPECT_STREQ(vaultrun_test_connection(nullptr), invalid);
  EXPECT_STREQ(vaultrun_last_error(), "invalid config json");
  EXPECT_STREQ(vaultrun_list_databases("[1,2]"), invalid);

  EXPECT_STREQ(vaultrun_test_connection("{\"host\":\"h\"}"), "{\"ok\":false,\"error\":\"user required\"}");
  EXPECT_STREQ(vaultrun_last_error(), "user required");
  EXPECT_STREQ(vaultrun_list_databases("{\"user\":\"\"}"), "{\"ok\":false,\"error\":\"user required\"}");

  EXPECT_EQ(vaultrun_start(nullptr), -1);
  EXPECT_STREQ(vaultrun_last_error(), "invalid config json");
  EXPECT_EQ(vaultrun_start("{\"user\":\"sa\",\"database\":\"d\"}"), -1);
  EXPECT_STREQ(vaultrun_last_error(), "user, database and out_path required");
  EXPECT_EQ(vaultrun_start("{\"user\":\"sa\",\"out_path\":\"/x\"}"), -1);
  EXPECT_EQ(vaultrun_status(0), VAULTRUN_SESSION_FREE);  // no slot was taken
}

// Each refusal reaches the host the same way from every export that takes a
// configuration; a text that is not JSON is refused before its values are
// looked at, and a refused value before a missing one.
TEST(Exports, RefusedConfigurationsNameTheirReason) {
  std::string many = "{\"user\":\"sa\",\"list\":[";
  for (int i = 0; i < 700; ++i) many += i ? ",1" : "1";
  many += "]}";
  struct {
    std::string text;
    const char* reason;
  } cases[] = {
      {"{\"database\":\"\xC1\"", "invalid config json"},
      {many, "config too large"},
      {"{\"database\":\"x\xC2]; SHUTDOWN; --\"}", "invalid UTF-8 in database"},
      {"{\"user\":\"sa\",\"out_path\":\"C:\\\\b.bak\xC1'; DROP TABLE t; --\"}", "invalid UTF-8 in out_path"},
      {"{\"user\":\"s\xFF\",\"database\":\"d\",\"out_path\":\"p\"}", "invalid UTF-8 in user"},
      {"{\"host\":\"h\xE0\x80\",\"user\":\"sa\"}", "invalid UTF-8 in host"},
      {"{\"user\":\"sa\",\"password\":\"\xED\xA0\x80\"}", "invalid UTF-8 in password"},
      {"{\"user\":\"sa\",\"database\":\"" + std::string(129, 'd') + "\"}", "database too long"},
      {"{\"user\":\"sa\",\"out_path\":\"" + std::string(1024, 'p') + "\"}", "out_path too long"},
      {"{\"user\":\"" + std::string(128, 'u') + "\"}", "user too long"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.reason);
    const std::string doc = std::string("{\"ok\":false,\"error\":\"") + c.reason + "\"}";
    EXPECT_EQ(vaultrun_test_connection(c.text.c_str()), doc);
    EXPECT_STREQ(vaultrun_last_error(), c.reason);
    vaultrun_test_connection(nullptr);
    EXPECT_EQ(vaultrun_list_databases(c.text.c_str()), doc);
    EXPECT_STREQ(vaultrun_last_error(), c.reason);
    vaultrun_test_connection(nullptr);
    EXPECT_EQ(vaultrun_start(c.text.c_str()), -1);
    EXPECT_STREQ(vaultrun_last_error(), c.reason);
  }
  for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(vaultrun_status(i), VAULTRUN_SESSION_FREE);
}

TEST(Exports, BadSessionIndexes) {
  for (int32_t bad : {-1, -2, 4, 7, INT32_MAX, INT32_MIN}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(vaultrun_status(bad), -1);
    EXPECT_STREQ(vaultrun_progress(bad), "{\"error\":\"bad session\"}");
    EXPECT_STREQ(vaultrun_result(bad), "{\"ok\":false,\"error\":\"bad session\"}");
    vaultrun_cancel(bad);
    vaultrun_free(bad);
  }
}

TEST(Exports, UnusedSlotAnswers) {
  for (int32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(vaultrun_status(i), 0);
    EXPECT_STREQ(vaultrun_progress(i), "{\"state\":0,\"percent\":0,\"message\":\"\",\"elapsed_ms\":0}");
    EXPECT_STREQ(vaultrun_result(i), "{\"ok\":false,\"error\":\"not finished\"}");
    vaultrun_cancel(i);
    vaultrun_free(i);
    EXPECT_EQ(vaultrun_status(i), 0);
  }
}

}  // namespace
