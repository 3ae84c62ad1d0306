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
