// The copy's candidate names, and the CHECKDB errors kept, joined and
// classified, on fixtures of names and messages.
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

// The candidates tried in order; whether one is free is the server's to say.
TEST(ScratchCopy, CandidatesInOrderWithinTheLimit) {
  const std::string long_source(115, 'd');  // 115 + "_restore_test" = 128 units
  const struct {
    const char* name;
    std::string extra;
    int32_t count;
    std::vector<std::string> first;  // candidates 1.. that form; then one that does not, when fewer than count
    const char* refusal;             // of scratch_begin
  } cases[] = {
      {"default", ",\"database\":\"hr\"", SCRATCH_CANDIDATES, {"hr_restore_test", "hr_restore_test_2", "hr_restore_test_3"}, nullptr},
      {"explicit: that name only", ",\"database\":\"hr\",\"scratch_database\":\"x]y\"", 1, {"x]y"}, nullptr},
      {"default fits exactly, the next does not", ",\"database\":\"" + long_source + "\"", SCRATCH_CANDIDATES,
       {long_source + "_restore_test"}, nullptr},
      {"default of 129 units", ",\"database\":\"" + long_source + "é\"", 0, {},
       "scratch database name too long; set scratch_database"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const backup_config cfg = config_of(c.extra);
    scratch_choice choice;
    const char* why = scratch_begin(&cfg, &choice);
    EXPECT_STREQ(why, c.refusal);
    EXPECT_EQ(scratch_candidates(&choice), c.count);
    char name[3 * DATABASE_MAX_UNITS + 1];
    for (size_t k = 0; k < c.first.size(); ++k) {
      ASSERT_TRUE(scratch_candidate(&choice, int32_t(k) + 1, name, sizeof name));
      EXPECT_EQ(name, c.first[k]);
    }
    if (c.count > int32_t(c.first.size()) && c.first.size() == 1) {
      EXPECT_FALSE(scratch_candidate(&choice, 2, name, sizeof name));
    }
    EXPECT_FALSE(scratch_candidate(&choice, c.count + 1, name, sizeof name));
  }
}

// Only corruption messages are damage; a check that could not run is not.
TEST(ScratchCopy, CheckdbDamageOnlyFromCorruptionMessages) {
  const struct {
    std::vector<int32_t> numbers;
    bool damage;
  } cases[] = {
      {{8928, 8939, 8989}, true},  // a page that cannot be read
      {{2570}, true},              // data purity
      {{824}, true},               // a page's checksum
      {{5030, 7926}, false},       // no snapshot and no lock
      {{7928}, false},             // snapshot could not be created
      {{262}, false},              // permission
      {{2520}, false},             // no such database
      {{5030, 8928}, true},
      {{}, false},
  };
  for (const auto& c : cases) {
    checkdb_report r{};
    for (int32_t n : c.numbers) checkdb_add(&r, n, "text");
    EXPECT_EQ(checkdb_damage(&r), c.damage) << (c.numbers.empty() ? 0 : c.numbers[0]);
  }
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
