// The restore planner on hand-made histories. LSNs follow the server's
// rules: a full's checkpoint_lsn lies inside its range and is the
// differential_base_lsn of the differentials based on it; each log starts
// where the previous regular log ended; a copy-only log starts where the
// last regular log ended and does not move the chain.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vaultrun/restore_plan.h"

namespace {

plan_set set(char type, lsn_t first, lsn_t last, const char* finish, lsn_t checkpoint = 0, lsn_t base = 0,
             bool copy_only = false) {
  plan_set s{};
  s.type = static_cast<uint8_t>(type);
  s.first_lsn = first;
  s.last_lsn = last;
  s.checkpoint_lsn = checkpoint != 0 ? checkpoint : first;
  s.differential_base_lsn = base;
  s.copy_only = copy_only;
  std::snprintf(s.finish, sizeof s.finish, "%s", finish);
  EXPECT_TRUE(time_parse(finish, &s.finish_ticks)) << finish;
  return s;
}

// Positions in order of the table, so a step names its set by position.
std::vector<plan_set> numbered(std::vector<plan_set> sets) {
  for (size_t i = 0; i < sets.size(); ++i) sets[i].position = static_cast<int32_t>(i + 1);
  return sets;
}

// "D1 I3 L4 L5*": the steps' types and positions, * for STOPAT; or the refusal.
std::string planned(const std::vector<plan_set>& sets, const char* stop_at) {
  static restore_plan plan;
  if (plan_restore(sets.data(), static_cast<int32_t>(sets.size()), stop_at, &plan) != 0) return plan.refusal;
  std::string out;
  for (int i = 0; i < plan.steps; ++i) {
    const plan_step& st = plan.step[i];
    EXPECT_EQ(st.type, sets[st.set].type);
    out += (i ? " " : "") + std::string(1, static_cast<char>(st.type)) + std::to_string(sets[st.set].position) +
           (st.stop_at ? "*" : "");
  }
  return out;
}

// A day's chain: full at 01:00 (LSNs 1000..1200, checkpoint 1100), logs
// hourly, a differential at 04:00 based on the full, a copy-only log at
// 05:30 and a copy-only full at 06:30.
std::vector<plan_set> day() {
  constexpr lsn_t BIG = lsn_t(1) << 80;  // LSNs past 64 bits are kept exactly
  return numbered({
      set('L', 500, 1000, "2026-12-10 00:30:00.000"),                        // 1: before the full
      set('D', 1000, 1200, "2026-12-10 01:00:00.000", 1100),                 // 2
      set('L', 1000, 2000, "2026-12-10 02:00:00.000"),                       // 3
      set('L', 2000, 3000, "2026-12-10 03:00:00.000"),                       // 4
      set('I', 3100, 3300, "2026-12-10 04:00:00.000", 3200, 1100),           // 5
      set('L', 3000, 4000, "2026-12-10 05:00:00.000"),                       // 6
      set('L', 4000, 4500, "2026-12-10 05:30:00.000", 0, 0, true),           // 7: copy-only log
      set('L', 4000, 5000, "2026-12-10 06:00:00.000"),                       // 8
      set('D', 5100, 5300, "2026-12-10 06:30:00.000", 5200, 0, true),        // 9: copy-only full
      set('L', 5000, BIG + 6000, "2026-12-10 07:00:00.000"),                 // 10
  });
}

TEST(RestorePlan, ChainsToThePoint) {
  const struct {
    const char* name;
    const char* stop_at;
    std::string steps;
  } cases[] = {
      {"newest point: the copy-only full starts it", nullptr, "D9 L10"},
      {"inside a log after the differential", "2026-12-10T04:30:00", "D2 I5 L6*"},
      {"copy-only log skipped for the regular one", "2026-12-10T05:15:00", "D2 I5 L6 L8*"},
      {"before the differential: logs from the full", "2026-12-10 03:30:00.5", "D2 L3 L4 L6*"},
      {"exactly at the full's end", "2026-12-10T01:00:00", "D2"},
      {"inside the first log", "2026-12-10T01:00:00.0000001", "D2 L3*"},
      {"exactly at a log's end", "2026-12-10T03:00:00", "D2 L3 L4*"},
      {"after the copy-only full", "2026-12-10T06:45:00", "D9 L10*"},
      {"before any full", "2026-12-10T00:59:59.997", "no full backup of the database finished by stop_at "
                                                     "2026-12-10T00:59:59.997"},
      {"past the end", "2026-12-10T08:00:00",
       "stop_at 2026-12-10T08:00:00 is past the end of the backup chain, which reaches 2026-12-10 07:00:00.000 "
       "(LSN 1208925819614629174712176)"},
  };
  const std::vector<plan_set> sets = day();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(planned(sets, c.stop_at), c.steps);
  }
}

TEST(RestorePlan, RefusalsNameTheLsnsAndTimes) {
  // A log lost between 02:00 and 04:00.
  std::vector<plan_set> gap = numbered({
      set('D', 1000, 1200, "2026-12-10 01:00:00.000", 1100),
      set('L', 1000, 2000, "2026-12-10 02:00:00.000"),
      set('L', 3000, 4000, "2026-12-10 04:00:00.000"),
  });
  const std::string gap_text =
      "gap in the log chain: the restore reaches LSN 2000 (2026-12-10 02:00:00.000) but the next log backup "
      "starts at LSN 3000 (finished 2026-12-10 04:00:00.000)";
  EXPECT_EQ(planned(gap, nullptr), gap_text);
  EXPECT_EQ(planned(gap, "2026-12-10T03:00:00"), gap_text);
  EXPECT_EQ(planned(gap, "2026-12-10T01:30:00"), "D1 L2*");  // the gap lies past the point

  // The first log starts after the full's end.
  std::vector<plan_set> late = numbered({
      set('D', 1000, 1200, "2026-12-10 01:00:00.000", 1100),
      set('L', 1300, 2000, "2026-12-10 02:00:00.000"),
  });
  EXPECT_NE(planned(late, nullptr).find("reaches LSN 1200"), std::string::npos);

  // No full at all; an empty history.
  EXPECT_EQ(planned(numbered({set('L', 1, 2, "2026-12-10 02:00:00")}), nullptr),
            "no full backup of the database to start from");
  EXPECT_EQ(planned({}, nullptr), "no full backup of the database to start from");

  // A full whose striped media set lacks a family.
  std::vector<plan_set> striped = numbered({set('D', 1000, 1200, "2026-12-10 01:00:00.000", 1100)});
  striped[0].incomplete = 1;
  EXPECT_EQ(planned(striped, nullptr),
            "the striped media set of the full backup at position 1 (finished 2026-12-10 01:00:00.000) is missing "
            "families");
  EXPECT_EQ(planned(striped, "2026-12-10 1:00:00"), "invalid stop_at");
}

TEST(RestorePlan, DifferentialMustBeBasedOnTheChosenFull) {
  // The newer full (regular) replaces the base: the differential of the
  // older one is not used, and one based on a copy-only full cannot exist.
  std::vector<plan_set> sets = numbered({
      set('D', 1000, 1200, "2026-12-10 01:00:00.000", 1100),
      set('I', 1500, 1600, "2026-12-10 01:30:00.000", 1550, 1100),
      set('D', 2000, 2200, "2026-12-10 02:00:00.000", 2100),
      set('I', 2500, 2600, "2026-12-10 02:30:00.000", 2550, 1100),  // still on the first full: stale
      set('L', 1000, 3000, "2026-12-10 03:00:00.000"),
  });
  EXPECT_EQ(planned(sets, nullptr), "D3 L5");
  EXPECT_EQ(planned(sets, "2026-12-10T01:45:00"), "D1 I2 L5*");
  sets[2].copy_only = 1;
  sets[3].differential_base_lsn = 2100;  // even if one claimed it
  EXPECT_EQ(planned(sets, nullptr), "D3 L5");
}

// The history of a week the greedy choice got wrong: a copy-only full
// between a full and the differential based on it, with and without logs.
TEST(RestorePlan, CopyOnlyFullBetweenAFullAndItsDifferential) {
  const std::vector<plan_set> simple = numbered({
      set('D', 1000, 1200, "2026-12-10 01:00:00.000", 1100),
      set('D', 2000, 2200, "2026-12-10 02:00:00.000", 2100, 0, true),
      set('I', 3000, 3200, "2026-12-10 03:00:00.000", 3100, 1100),
  });
  EXPECT_EQ(planned(simple, nullptr), "D1 I3");
  EXPECT_EQ(planned(simple, "2026-12-10T02:30:00"), "stop_at 2026-12-10T02:30:00 is past the end of the backup "
                                                   "chain, which reaches 2026-12-10 02:00:00.000 (LSN 2200)");
  EXPECT_EQ(planned(simple, "2026-12-10T02:00:00"), "D2");
  const std::vector<plan_set> full = numbered({
      set('D', 1000, 1200, "2026-12-10 01:00:00.000", 1100),
      set('L', 1000, 1900, "2026-12-10 01:30:00.000"),
      set('D', 2000, 2200, "2026-12-10 02:00:00.000", 2100, 0, true),
      set('I', 3000, 3200, "2026-12-10 03:00:00.000", 3100, 1100),
      set('L', 1900, 3500, "2026-12-10 03:30:00.000"),
  });
  EXPECT_EQ(planned(full, nullptr), "D3 L5");  // the copy-only full starts the shortest chain
  EXPECT_EQ(planned(full, "2026-12-10T03:00:00"), "D1 I4");
  EXPECT_EQ(planned(full, "2026-12-10T02:30:00"), "D3 L5*");
}

// Sets that cannot be read are passed over for the best chain left, and
// named; a chain that needs one refuses.
TEST(RestorePlan, UnusableSetsArePassedOver) {
  std::vector<plan_set> sets = numbered({
      set('D', 1000, 1200, "2026-12-10 01:00:00.000", 1100),
      set('L', 1000, 2000, "2026-12-10 02:00:00.000"),
      set('D', 2100, 2300, "2026-12-10 03:00:00.000", 2200),  // newest full: a stripe is gone
      set('I', 2400, 2500, "2026-12-10 03:30:00.000", 2450, 1100),  // header unreadable
      set('L', 2000, 3000, "2026-12-10 04:00:00.000"),
  });
  sets[2].incomplete = 1;
  sets[3].unreadable = 1;
  static restore_plan plan;
  ASSERT_EQ(plan_restore(sets.data(), 5, nullptr, &plan), 0);
  EXPECT_EQ(planned(sets, nullptr), "D1 L2 L5");
  ASSERT_EQ(plan.passed, 2);
  EXPECT_EQ(plan.passed_total, 2);
  EXPECT_EQ(plan.pass[0].set, 2);
  EXPECT_EQ(plan.pass[0].reason, PASS_MISSING_FAMILIES);
  EXPECT_EQ(plan.pass[1].reason, PASS_UNREADABLE);
  EXPECT_STREQ(plan.reached, "2026-12-10 04:00:00.000");
  ASSERT_EQ(plan_restore(sets.data(), 5, "2026-12-10T03:45:00", &plan), 0);
  EXPECT_STREQ(plan.reached, "2026-12-10T03:45:00");
  EXPECT_EQ(plan.reached_ticks, sets[4].finish_ticks - 15 * 60 * 10000000LL);

  sets.pop_back();  // the newest point is the full itself: nothing else reaches it
  EXPECT_EQ(planned(sets, nullptr), "D1 L2");
  EXPECT_EQ(plan_restore(sets.data(), 4, nullptr, &plan), 0);
  EXPECT_EQ(plan.passed, 2);  // still named, though later than the point reached
  sets[1].incomplete = 1;  // the log the chain needs
  EXPECT_EQ(planned(sets, nullptr),
            "the striped media set of the log backup at position 2 (finished 2026-12-10 02:00:00.000) is missing "
            "families");
  sets[0].unreadable = 1;
  sets[2].incomplete = 0;
  sets[2].unreadable = 1;
  EXPECT_EQ(planned(sets, nullptr),
            "the header of the full backup at position 3 (finished 2026-12-10 03:00:00.000) cannot be read");
}

set_guid guid(uint64_t n) { return set_guid{n, n}; }

std::vector<plan_set> of(std::vector<plan_set> sets, uint64_t database) {
  for (plan_set& s : sets) s.database = guid(database);
  return sets;
}

// A database dropped and created again: its new LSNs start low again.
TEST(RestorePlan, IncarnationsNeverMix) {
  std::vector<plan_set> sets = of({set('D', 1000, 1200, "2026-12-10 01:00:00.000", 1100),
                                   set('L', 1000, 2000, "2026-12-10 02:00:00.000"),
                                   set('L', 2000, 3000, "2026-12-10 03:00:00.000")},
                                  1);
  for (const plan_set& s : of({set('D', 100, 200, "2026-12-10 04:00:00.000", 150),
                               set('L', 100, 2500, "2026-12-10 05:00:00.000")},
                              2))
    sets.push_back(s);
  sets = numbered(sets);
  const struct {
    const char* stop_at;
    std::string steps;
  } cases[] = {
      {nullptr, "D4 L5"},
      {"2026-12-10T02:30:00", "D1 L2 L3*"},
      {"2026-12-10T03:30:00",
       "stop_at 2026-12-10T03:30:00 is past the end of the backup chain, which reaches 2026-12-10 03:00:00.000 "
       "(LSN 3000)"},
      {"2026-12-10T04:30:00", "D4 L5*"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stop_at ? c.stop_at : "newest");
    EXPECT_EQ(planned(sets, c.stop_at), c.steps);
  }
  sets[3].type = 'X';  // without the new full, the old chain is all there is
  sets[4].database = guid(1);
  EXPECT_EQ(planned(sets, nullptr), "D1 L5");  // the same database's log goes on from the full
  sets[4].database = guid(2);
  EXPECT_EQ(planned(sets, nullptr), "D1 L2 L3");
}

// Restored in place to 02:30 (LSN 2500, inside log 3) at 04:00: the old
// path goes on in log 4, the new one leaves it in log 5.
std::vector<plan_set> forked() {
  std::vector<plan_set> sets = numbered({
      set('D', 1000, 1200, "2026-12-10 01:00:00.000", 1100),
      set('L', 1000, 2000, "2026-12-10 02:00:00.000"),
      set('L', 2000, 3000, "2026-12-10 03:00:00.000"),
      set('L', 3000, 3500, "2026-12-10 03:45:00.000"),
      set('L', 2000, 2800, "2026-12-10 05:00:00.000"),
      set('L', 2800, 3200, "2026-12-10 06:00:00.000"),
  });
  for (plan_set& s : sets) s.first_fork = s.last_fork = guid(1);
  sets[4].last_fork = sets[5].first_fork = sets[5].last_fork = guid(2);
  sets[4].fork_point_lsn = 2500;
  return sets;
}

TEST(RestorePlan, RecoveryForksAreFollowedToThePoint) {
  const struct {
    const char* stop_at;
    std::string steps;
  } cases[] = {
      {nullptr, "D1 L2 L5 L6"},
      {"2026-12-10T02:30:00", "D1 L2 L3*"},     // before the fork: the old path's log holds it
      {"2026-12-10T03:40:00", "D1 L2 L3 L4*"},  // on the old path only
      {"2026-12-10T05:30:00", "D1 L2 L5 L6*"},  // on the new path
  };
  const std::vector<plan_set> sets = forked();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stop_at ? c.stop_at : "newest");
    EXPECT_EQ(planned(sets, c.stop_at), c.steps);
  }
  // Only a full of the old path past the fork is left: the new path cannot
  // be reached from it.
  std::vector<plan_set> late = sets;
  late[0].incomplete = 1;
  late.push_back(set('D', 3100, 3300, "2026-12-10 03:50:00.000", 3200));
  late.back().first_fork = late.back().last_fork = guid(1);
  late = numbered(late);
  EXPECT_EQ(planned(late, nullptr),
            "recovery fork in the way: the restore reaches LSN 3300 (2026-12-10 03:50:00.000) on fork "
            "00000000-0000-0001-0000-000000000001, but the log backup finished 2026-12-10 05:00:00.000 crosses from "
            "fork 00000000-0000-0001-0000-000000000001 to fork 00000000-0000-0002-0000-000000000002 at LSN 2500");
  EXPECT_EQ(planned(late, "2026-12-10T03:50:00"), "D7");
}

TEST(RestorePlan, PlansAreCappedAndSetsTakenInAnyOrder) {
  std::vector<plan_set> many;
  many.push_back(set('D', 10, 20, "2026-01-01 00:00:00", 15));
  for (int i = 0; i < MAX_PLAN_STEPS; ++i)
    many.push_back(set('L', 20 + lsn_t(i) * 10, 30 + lsn_t(i) * 10, "2026-01-02 00:00:00"));
  many = numbered(many);
  EXPECT_EQ(planned(many, nullptr), "the restore needs more than 1024 backup sets");
  many.pop_back();
  std::vector<plan_set> reversed(many.rbegin(), many.rend());
  static restore_plan plan;
  ASSERT_EQ(plan_restore(reversed.data(), static_cast<int32_t>(reversed.size()), nullptr, &plan), 0);
  EXPECT_EQ(plan.steps, MAX_PLAN_STEPS);
  EXPECT_EQ(reversed[plan.step[1].set].position, 2);
}

TEST(RestorePlan, SingleSetByPosition) {
  const std::vector<plan_set> sets = day();
  static restore_plan plan;
  ASSERT_EQ(plan_single(sets.data(), 10, 6, "2026-12-10T04:30:00", &plan), 0);
  ASSERT_EQ(plan.steps, 1);
  EXPECT_EQ(plan.step[0].set, 5);
  EXPECT_EQ(plan.step[0].stop_at, 1);
  ASSERT_EQ(plan_single(sets.data(), 10, 5, "2026-12-10T04:30:00", &plan), 0);
  EXPECT_EQ(plan.step[0].stop_at, 0);  // a differential has no STOPAT
  EXPECT_EQ(plan_single(sets.data(), 10, 11, nullptr, &plan), -1);
  EXPECT_STREQ(plan.refusal, "no database or log backup set at position 11");
}

TEST(RestorePlan, LsnAndTimeTexts) {
  lsn_t v;
  ASSERT_TRUE(lsn_parse("9999999999999999999999999", &v));
  char text[40];
  lsn_text(v, text);
  EXPECT_STREQ(text, "9999999999999999999999999");
  EXPECT_FALSE(lsn_parse("10000000000000000000000000", &v));  // 26 digits
  EXPECT_FALSE(lsn_parse("12a", &v));
  EXPECT_TRUE(lsn_parse("", &v));
  EXPECT_EQ(v, 0u);
  int64_t a, b;
  ASSERT_TRUE(time_parse("2026-12-10 20:30:37.123", &a));
  ASSERT_TRUE(time_parse("2026-12-10T20:30:37.1230000", &b));
  EXPECT_EQ(a, b);
  ASSERT_TRUE(time_parse("2026-12-11T00:00:00", &b));
  EXPECT_EQ(b - a, (3 * 3600 + 29 * 60 + 22) * 10000000LL + 8770000);
  EXPECT_FALSE(time_parse("2026-12-10 20:30", &a));
}

}  // namespace
