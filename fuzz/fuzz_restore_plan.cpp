// The restore planner on any sets: each input becomes a table of sets
// (type, flags, LSNs, finish times, database and recovery forks from the
// bytes) and a stop_at. The planner either refuses with a text, or returns
// a plan that holds together: a usable full first, at most one differential
// right after it, based on that full, then logs each starting at or before
// the LSN reached and ending past it, all of the full's database, each on
// the fork the chain is on and, crossing a fork, not past its fork point;
// STOPAT only on the last, nothing finishing after stop_at but that last
// log; the point reached is stop_at or the last set's finish, and without
// stop_at no log of that database ends later.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fuzz_check.h"
#include "vaultrun/restore_plan.h"

namespace {

constexpr size_t SET_BYTES = 12;
constexpr int32_t MAX_SETS = 64;

// Small LSNs and times, so that chains, gaps and overlaps are common.
plan_set set_from(const uint8_t* b, int32_t i) {
  static const uint8_t TYPES[] = {SET_FULL, SET_DIFFERENTIAL, SET_LOG, SET_LOG, 'X'};
  plan_set s{};
  s.type = TYPES[b[0] % 5];
  s.copy_only = (b[0] >> 3) & 1;
  s.incomplete = (b[0] >> 4) == 15;
  s.unreadable = (b[0] >> 4) == 14;
  s.first_lsn = b[1] | (b[2] << 8);
  s.last_lsn = s.first_lsn + b[3];
  s.checkpoint_lsn = s.first_lsn + (b[4] % (b[3] + 1));
  s.differential_base_lsn = b[5] | (b[6] << 8);
  s.database_backup_lsn = b[7];
  const int minutes = b[8] | ((b[9] & 3) << 8);
  std::snprintf(s.finish, sizeof s.finish, "2026-12-10 %02d:%02d:%02d.000", minutes / 60 % 24, minutes % 60,
                b[10] % 60);
  FUZZ_CHECK(time_parse(s.finish, &s.finish_ticks));
  s.position = i + 1;
  s.media = b[11];
  // The media byte's high bits: the database, the fork the set starts on,
  // and whether it crosses to the next one (at the checkpoint's offset).
  s.database = set_guid{0, static_cast<uint64_t>(b[11] >> 6 & 1)};
  s.first_fork = s.last_fork = set_guid{1, static_cast<uint64_t>(b[11] >> 4 & 3)};
  if (b[11] & 8) {
    s.last_fork.lo += 1;
    s.fork_point_lsn = s.checkpoint_lsn;
  }
  return s;
}

restore_plan g_plan;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  char stop_at[32] = "";
  const bool to_point = data[0] & 1;
  if (to_point) std::snprintf(stop_at, sizeof stop_at, "2026-12-10T%02d:%02d:00", data[1] % 24, data[2] % 60);
  int64_t stop = INT64_MAX;
  if (to_point) FUZZ_CHECK(time_parse(stop_at, &stop));
  data += 3;
  size -= 3;
  plan_set sets[MAX_SETS];
  int32_t n = 0;
  for (; n < MAX_SETS && size >= SET_BYTES; ++n, data += SET_BYTES, size -= SET_BYTES) sets[n] = set_from(data, n);

  if (plan_restore(sets, n, to_point ? stop_at : nullptr, &g_plan) != 0) {
    FUZZ_CHECK(g_plan.refusal[0] != 0 && g_plan.steps == 0);
    return 0;
  }
  FUZZ_CHECK(g_plan.refusal[0] == 0 && g_plan.steps >= 1 && g_plan.steps <= n);
  const plan_set& full = sets[g_plan.step[0].set];
  FUZZ_CHECK(g_plan.step[0].type == SET_FULL && full.type == SET_FULL && !full.incomplete && !full.unreadable);
  FUZZ_CHECK(full.finish_ticks <= stop);
  lsn_t at = full.last_lsn;
  set_guid fork = full.last_fork;
  for (int i = 1; i < g_plan.steps; ++i) {
    const plan_step& st = g_plan.step[i];
    FUZZ_CHECK(st.set >= 0 && st.set < n);
    const plan_set& s = sets[st.set];
    FUZZ_CHECK(s.type == st.type && !s.incomplete && !s.unreadable && s.database == full.database);
    if (st.type == SET_DIFFERENTIAL) {
      FUZZ_CHECK(i == 1 && !full.copy_only && s.differential_base_lsn == full.checkpoint_lsn);
      FUZZ_CHECK(s.finish_ticks <= stop && s.last_lsn > at);
    } else {
      FUZZ_CHECK(st.type == SET_LOG && s.first_lsn <= at && s.last_lsn > at && s.first_fork == fork);
      FUZZ_CHECK(s.first_fork == s.last_fork || at <= s.fork_point_lsn);
    }
    at = s.last_lsn;
    fork = s.last_fork;
  }
  // Only the last step may hold the point, and every step before it
  // finished before stop_at.
  for (int i = 0; i + 1 < g_plan.steps; ++i) {
    FUZZ_CHECK(!g_plan.step[i].stop_at);
    FUZZ_CHECK(sets[g_plan.step[i].set].finish_ticks <= stop);
  }
  const plan_set& last = sets[g_plan.step[g_plan.steps - 1].set];
  FUZZ_CHECK(g_plan.reached_ticks == (to_point ? stop : last.finish_ticks));
  for (int32_t i = 0; !to_point && i < n; ++i) {
    const plan_set& s = sets[i];
    FUZZ_CHECK(s.type != SET_LOG || !(s.database == full.database) || s.finish_ticks < last.finish_ticks ||
               (s.finish_ticks == last.finish_ticks && s.last_lsn <= at));
  }
  // Each set passed over is a full or differential that could not be read.
  FUZZ_CHECK(g_plan.passed <= g_plan.passed_total && g_plan.passed <= MAX_PASSED_OVER);
  for (int i = 0; i < g_plan.passed; ++i) {
    const plan_set& s = sets[g_plan.pass[i].set];
    FUZZ_CHECK((s.type == SET_FULL || s.type == SET_DIFFERENTIAL) && (s.incomplete || s.unreadable));
  }
  return 0;
}
