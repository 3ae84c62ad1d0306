// What a backup slot makes of the server's informational messages: the
// percentage and the page count come from a server's text, so a number out
// of range or too long for its field must leave them as they were.
#include <gtest/gtest.h>

#include <cstdint>

#include "vaultrun/backup_worker.h"

namespace {

TEST(BackupMessages, PercentAndPagesAreReadOnlyWhenTheyMakeSense) {
  struct {
    const char* name;
    int32_t number;
    const char* text;
    int32_t percent;  // 0: left as it was
    int64_t pages;    // 0: left as it was
  } cases[] = {
      {"percent", 3211, "45 percent processed.", 45, 0},
      {"percent after blanks", 3211, " \t7 percent processed.", 7, 0},
      {"whole", 3211, "100 percent processed.", 100, 0},
      {"zero", 3211, "0 percent processed.", 0, 0},
      {"past the whole", 3211, "101 percent processed.", 0, 0},
      {"negative", 3211, "-5 percent processed.", 0, 0},
      {"too many digits", 3211, "18446744073709551661 percent processed.", 0, 0},
      {"no number", 3211, "percent processed.", 0, 0},
      {"backup pages", 3014, "BACKUP DATABASE successfully processed 2048 pages in 0.1 seconds.", 0, 2048},
      {"file pages", 4035, "Processed 1024 pages for database 'db7', file 'db7' on file 1.", 0, 1024},
      {"pages past int64", 3014, "Processed 99999999999999999999999 pages", 0, 999999999999999999},
      {"pages of no number", 4035, "Processed no pages.", 0, 0},
      {"other message", 5701, "Changed database context to '42'.", 0, 0},
  };
  static backup_session s;
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    session_clear(&s);
    on_info_cb(&s, c.number, c.text);
    EXPECT_EQ(s.percent.load(), c.percent);
    EXPECT_EQ(s.pages.load(), c.pages);
    EXPECT_STREQ(s.message, c.text);  // every message is the latest progress text
  }
}

}  // namespace
