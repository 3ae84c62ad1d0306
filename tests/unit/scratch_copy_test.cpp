// The copy's name chosen against the server's names, and the CHECKDB
// errors kept and joined, on fixtures of names and messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vaultrun/config.h"
#include "vaultrun/restore_test.h"

namespace {

backup_config config_of(const std::string& extra) {
  backup_config cfg;
  const std::string text = "{\"user\":\"sa\",\"operation\":\"restore_test\"" + extra + "}";
  EXPECT_EQ(parse_config(text.c_str(), &cfg), 0) << text;
  return cfg;
}

TEST(ScratchCopy, NameIsFreeOrRefusedNeverReused) {
  const std::string long_source(115, 'd');  // 115 + "_restore_test" = 128 units
  const struct {
    const char* name;
    std::string extra;
    std::vector<std::string> existing;
    std::string picked;  // "" when refused
    std::string refusal;
  } cases[] = {
      {"default, free", ",\"database\":\"hr\"", {"master", "hr"}, "hr_restore_test", ""},
      {"default taken in another case", ",\"database\":\"hr\"", {"HR_Restore_Test", "hr_restore_test_2"},
       "hr_restore_test_3", ""},
      {"a longer name is no candidate", ",\"database\":\"hr\"", {"hr_restore_test_20"}, "hr_restore_test", ""},
      {"explicit, free", ",\"database\":\"hr\",\"scratch_database\":\"x]y\"", {"hr", "x]y2"}, "x]y", ""},
      {"explicit exists: never used", ",\"database\":\"hr\",\"scratch_database\":\"copy\"", {"COPY"}, "",
       "scratch database exists: copy"},
      {"default fits exactly", ",\"database\":\"" + long_source + "\"", {}, long_source + "_restore_test", ""},
      {"default of 129 units", ",\"database\":\"" + long_source + "é\"", {}, "",
       "scratch database name too long; set scratch_database"},
      {"next default past 128 units", ",\"database\":\"" + long_source + "\"", {long_source + "_restore_test"}, "",
       "scratch database name too long; set scratch_database"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const backup_config cfg = config_of(c.extra);
    scratch_choice choice;
    const char* why = scratch_begin(&cfg, &choice);
    for (const std::string& n : c.existing) scratch_see(&choice, n.c_str());
    scratch_copy copy;
    char refusal[512];
    const bool ok = scratch_pick(&choice, &copy, refusal, sizeof refusal);
    EXPECT_EQ(ok, c.refusal.empty());
    EXPECT_EQ(refusal, c.refusal);
    if (why != nullptr) {
      EXPECT_EQ(c.refusal, why);
    }
    if (!ok) {
      EXPECT_FALSE(copy.checked_free);
      continue;
    }
    EXPECT_TRUE(copy.checked_free);
    EXPECT_FALSE(copy.restore_sent);
    EXPECT_EQ(copy.name, c.picked);
  }
}

TEST(ScratchCopy, EveryDefaultTakenIsRefused) {
  const backup_config cfg = config_of(",\"database\":\"hr\"");
  scratch_choice choice;
  ASSERT_EQ(scratch_begin(&cfg, &choice), nullptr);
  scratch_see(&choice, "hr_restore_test");
  for (int n = 2; n <= SCRATCH_CANDIDATES; ++n) scratch_see(&choice, ("hr_restore_test_" + std::to_string(n)).c_str());
  scratch_copy copy;
  char refusal[512];
  EXPECT_FALSE(scratch_pick(&choice, &copy, refusal, sizeof refusal));
  EXPECT_STREQ(refusal, "every scratch database name from hr_restore_test to _99 exists; set scratch_database");
}

// Errors are joined in order; past the bound they are counted, not kept,
// and a long text is cut at a whole character.
TEST(ScratchCopy, CheckdbErrorsJoinedAndBounded) {
  checkdb_report r{};
  checkdb_add(&r, 8928, "page (1:5) could not be processed");
  checkdb_add(&r, 8939, "Table error");
  char out[256];
  checkdb_join(&r, out, sizeof out);
  EXPECT_STREQ(out, "Msg 8928: page (1:5) could not be processed; Msg 8939: Table error");

  for (int i = 0; i < 100; ++i) checkdb_add(&r, 2500 + i, "x");
  EXPECT_EQ(r.count, 102);
  EXPECT_EQ(r.number[CHECKDB_ERRORS_KEPT - 1], 2500 + CHECKDB_ERRORS_KEPT - 3);
  char joined[2048];
  checkdb_join(&r, joined, sizeof joined);
  EXPECT_NE(std::string(joined).find("; Msg 2561: x; and 38 more"), std::string::npos) << joined;

  checkdb_report one{};
  checkdb_add(&one, 1, (std::string(CHECKDB_ERROR_TEXT - 2, 'a') + "é").c_str());
  EXPECT_EQ(std::string(one.text[0]), std::string(CHECKDB_ERROR_TEXT - 2, 'a'));
  char small[16];
  checkdb_join(&one, small, sizeof small);
  EXPECT_STREQ(small, "Msg 1: aaaaaaaa");
}

}  // namespace
