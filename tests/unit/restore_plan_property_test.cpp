// The planner against a reference planner on random histories. The
// reference is deliberately naive: it walks every chain a history allows
// (every full, with or without each differential on it, then every log that
// may follow, depth first) and takes the best by the same rule. The
// histories come from a small model of a database's life: fulls and logs,
// copy-only ones, differentials on several bases, logs taken during a full,
// striped sets missing a family, lost logs, the database dropped and created
// again, and point-in-time restores over itself that fork the log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "plan_life.h"
#include "vaultrun/restore_plan.h"

namespace {

using namespace vaultrun_test;

// ---- The reference ---------------------------------------------------------

struct ref_answer {
  bool planned;
  int64_t point;
  int sets;
};

struct ref_chain {
  int full, diff;  // the base
  std::vector<int> logs;
  lsn_t at;
  set_guid database, fork;
  int64_t finish;
};

bool usable(const plan_set& s) { return !s.incomplete && !s.unreadable; }
bool crossing(const plan_set& s) { return !(s.first_fork == s.last_fork); }

struct reference {
  const std::vector<plan_set>& sets;
  bool to_point;
  int64_t stop;
  std::vector<ref_chain> chains;  // every chain, as a prefix too

  // A log crossing a fork cannot hold a point that backups of the old path
  // past the fork reach.
  bool barred(const plan_set& log) const {
    if (!to_point || !crossing(log)) return false;
    for (const plan_set& s : sets) {
      if ((s.type == SET_FULL || s.type == SET_DIFFERENTIAL || s.type == SET_LOG) && s.database == log.database &&
          s.last_fork == log.first_fork && s.last_lsn > log.fork_point_lsn && s.finish_ticks >= stop)
        return true;
    }
    return false;
  }

  bool joins(const ref_chain& c, const plan_set& s) const {
    if (s.type != SET_LOG || !usable(s) || !(s.database == c.database) || !(s.first_fork == c.fork)) return false;
    if (s.first_lsn > c.at || s.last_lsn <= c.at) return false;
    if (crossing(s) && c.at > s.fork_point_lsn) return false;
    return !barred(s);
  }

  void walk(ref_chain c) {
    chains.push_back(c);
    if (to_point && c.finish >= stop) return;
    for (size_t i = 0; i < sets.size(); ++i) {
      if (!joins(c, sets[i])) continue;
      ref_chain next = c;
      next.logs.push_back(static_cast<int>(i));
      next.at = sets[i].last_lsn;
      next.fork = sets[i].last_fork;
      next.finish = sets[i].finish_ticks;
      walk(next);
    }
  }

  void enumerate() {
    for (size_t f = 0; f < sets.size(); ++f) {
      const plan_set& full = sets[f];
      if (full.type != SET_FULL || !usable(full) || full.finish_ticks > stop) continue;
      walk({static_cast<int>(f), -1, {}, full.last_lsn, full.database, full.last_fork, full.finish_ticks});
      if (full.copy_only) continue;
      for (size_t d = 0; d < sets.size(); ++d) {
        const plan_set& diff = sets[d];
        if (diff.type == SET_DIFFERENTIAL && usable(diff) && diff.finish_ticks <= stop &&
            diff.database == full.database && diff.differential_base_lsn == full.checkpoint_lsn &&
            diff.last_lsn > full.last_lsn)
          walk({static_cast<int>(f), static_cast<int>(d), {}, diff.last_lsn, diff.database, diff.last_fork,
                diff.finish_ticks});
      }
    }
  }

  bool reaches(const ref_chain& c) const {
    if (!to_point) return true;
    return c.logs.empty() ? c.finish == stop : c.finish >= stop;
  }

  // Base order: the later full, with a differential, the later one, the first sets.
  static bool newer_base(const std::vector<plan_set>& s, const ref_chain& a, const ref_chain& b) {
    if (s[a.full].finish_ticks != s[b.full].finish_ticks) return s[a.full].finish_ticks > s[b.full].finish_ticks;
    if ((a.diff >= 0) != (b.diff >= 0)) return a.diff >= 0;
    if (a.diff >= 0 && s[a.diff].finish_ticks != s[b.diff].finish_ticks)
      return s[a.diff].finish_ticks > s[b.diff].finish_ticks;
    return a.full != b.full ? a.full < b.full : a.diff < b.diff;
  }

  bool better(const ref_chain& a, const ref_chain& b) const {
    if (!to_point && a.finish != b.finish) return a.finish > b.finish;
    if (!to_point && a.at != b.at) return a.at > b.at;
    if (a.logs.size() != b.logs.size()) return a.logs.size() < b.logs.size();
    if (a.full != b.full || a.diff != b.diff) return newer_base(sets, a, b);
    if (a.logs.empty() || b.logs.empty()) return a.logs.empty();
    const plan_set &x = sets[a.logs.back()], &y = sets[b.logs.back()];
    if (x.copy_only != y.copy_only) return !x.copy_only;
    if (x.last_lsn != y.last_lsn) return x.last_lsn > y.last_lsn;
    return a.logs.back() < b.logs.back();
  }

  // Without stop_at: a log of the chain's database that ends later (the
  // chain reaches furthest, so it cannot reach that log).
  bool stranded(const ref_chain& c) const {
    for (const plan_set& s : sets) {
      if (s.type == SET_LOG && s.database == c.database &&
          (s.finish_ticks > c.finish || (s.finish_ticks == c.finish && s.last_lsn > c.at)))
        return true;
    }
    return false;
  }

  ref_answer answer() {
    enumerate();
    const ref_chain* best = nullptr;
    for (const ref_chain& c : chains) {
      if (reaches(c) && (best == nullptr || better(c, *best))) best = &c;
    }
    if (best == nullptr || (!to_point && stranded(*best))) return {false, 0, 0};
    const int sets_used = static_cast<int>(best->logs.size()) + (best->diff >= 0 ? 2 : 1);
    if (sets_used > MAX_PLAN_STEPS) return {false, 0, 0};
    return {true, to_point ? stop : best->finish, sets_used};
  }
};

// ---- Random histories -------------------------------------------------------

// A point in time, of one of the kinds the planner must get right.
void choose_point(life& l) {
  history& h = l.h;
  const int64_t kind = l.between(0, 5);
  if (kind == 0 || h.sets.empty()) {
    h.has[F_NEWEST] = true;
    return;
  }
  const plan_set& s = h.sets[l.between(0, static_cast<int64_t>(h.sets.size()) - 1)];
  int64_t t = s.finish_ticks;
  int64_t first = INT64_MAX, last = 0;
  for (const plan_set& x : h.sets) first = std::min(first, x.finish_ticks), last = std::max(last, x.finish_ticks);
  if (kind == 1) {
    t -= l.between(1, 5) * SECOND;
    h.has[F_POINT_INSIDE] = true;
  } else if (kind == 2) {
    t += l.between(1, 40) * SECOND;
    h.has[F_POINT_BETWEEN] = true;
  } else if (kind == 3) {
    h.has[F_POINT_BETWEEN] = true;  // exactly at a set's end
  } else if (kind == 4) {
    t = first - l.between(1, 3600) * SECOND;
    h.has[F_POINT_BEFORE] = true;
  } else {
    t = last + l.between(1, 3600) * SECOND;
    h.has[F_POINT_AFTER] = true;
  }
  char text[40];
  time_text(t, text, sizeof text);
  h.stop_at = text;
}

history random_history(uint64_t seed) {
  life l(seed);
  l.database = l.guid();
  l.fork = l.guid();
  l.full_recovery = l.chance(80);
  const int64_t events = l.between(4, 40);
  for (int64_t i = 0; i < events; ++i) l.event();
  history& h = l.h;
  // Lost logs and striped sets missing a family, then the rows in any order.
  for (size_t i = 0; i < h.sets.size();) {
    if (h.sets[i].type == SET_LOG && l.chance(4)) {
      h.sets.erase(h.sets.begin() + static_cast<long>(i));
      h.has[F_GAP] = true;
      continue;
    }
    if (l.chance(5)) {
      (l.chance(70) ? h.sets[i].incomplete : h.sets[i].unreadable) = 1;
      h.has[F_MISSING_FAMILY] = true;
    }
    ++i;
  }
  std::shuffle(h.sets.begin(), h.sets.end(), l.rng);
  choose_point(l);
  return h;
}

// Each step of the plan by the chain rules, one by one.
void check_steps(const history& h, const restore_plan& plan, int64_t stop) {
  const std::vector<plan_set>& sets = h.sets;
  ASSERT_GE(plan.steps, 1);
  const plan_set& full = sets[plan.step[0].set];
  ASSERT_TRUE(full.type == SET_FULL && usable(full) && full.finish_ticks <= stop);
  lsn_t at = full.last_lsn;
  set_guid fork = full.last_fork;
  for (int i = 1; i < plan.steps; ++i) {
    const plan_set& s = sets[plan.step[i].set];
    ASSERT_TRUE(usable(s) && s.database == full.database);
    ASSERT_TRUE(i + 1 == plan.steps || (!plan.step[i].stop_at && s.finish_ticks < stop));
    if (s.type == SET_DIFFERENTIAL) {
      ASSERT_TRUE(i == 1 && !full.copy_only && s.differential_base_lsn == full.checkpoint_lsn && s.last_lsn > at);
    } else {
      ASSERT_EQ(s.type, SET_LOG);
      ASSERT_TRUE(s.first_lsn <= at && at < s.last_lsn) << "step " << i;
      ASSERT_TRUE(s.first_fork == fork) << "a log of another recovery path, step " << i;
      ASSERT_TRUE(!crossing(s) || at <= s.fork_point_lsn) << "past the fork point, step " << i;
    }
    at = s.last_lsn;
    fork = s.last_fork;
  }
}

TEST(RestorePlanProperty, SameReachAndLengthAsTheReference) {
  constexpr int HISTORIES = 10000;
  int with[F_COUNT] = {}, with_planned[F_COUNT] = {}, planned = 0;
  static restore_plan plan;
  for (int seed = 1; seed <= HISTORIES; ++seed) {
    const history h = random_history(static_cast<uint64_t>(seed));
    for (int f = 0; f < F_COUNT; ++f) with[f] += h.has[f];
    const bool to_point = !h.stop_at.empty();
    int64_t stop = INT64_MAX;
    if (to_point) {
      ASSERT_TRUE(time_parse(h.stop_at.c_str(), &stop));
    }
    reference ref{h.sets, to_point, stop, {}};
    const ref_answer want = ref.answer();
    const int rc = plan_restore(h.sets.data(), static_cast<int32_t>(h.sets.size()),
                                to_point ? h.stop_at.c_str() : nullptr, &plan);
    SCOPED_TRACE("seed " + std::to_string(seed) + " stop_at '" + h.stop_at + "': " + plan.refusal);
    ASSERT_EQ(rc == 0, want.planned);
    if (rc != 0) continue;
    ++planned;
    for (int f = 0; f < F_COUNT; ++f) with_planned[f] += h.has[f];
    EXPECT_EQ(plan.steps, want.sets);
    EXPECT_EQ(plan.reached_ticks, want.point);
    check_steps(h, plan, stop);
  }
  std::printf("[ histories ] %d, planned %d, refused %d\n", HISTORIES, planned, HISTORIES - planned);
  for (int f = 0; f < F_COUNT; ++f)
    std::printf("[ histories ] %5d with %s (%d planned)\n", with[f], FEATURE_NAMES[f], with_planned[f]);
}

}  // namespace
