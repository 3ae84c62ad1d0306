// Planning a restore over a long history: 10,000 backup sets (a full, then
// a differential every 96 logs and regular logs every 15 minutes, with a
// copy-only log now and then), planned to the newest point and to a point
// in the middle. The history arrives in one query, so planning is the whole
// cost on this side; prints the time of each plan and its steps.
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "vaultrun/restore_plan.h"

namespace {

constexpr int SETS = 10000;

std::vector<plan_set> history() {
  std::vector<plan_set> sets(SETS);
  lsn_t at = lsn_t(42000000000000000ull) * 1000;  // LSNs of a server that has run a while
  const lsn_t full_checkpoint = at + 50;
  for (int i = 0; i < SETS; ++i) {
    plan_set& s = sets[i];
    s = plan_set{};
    const int minutes = i * 15;
    std::snprintf(s.finish, sizeof s.finish, "2026-%02d-%02dT%02d:%02d:00.000", 1 + minutes / (60 * 24 * 28),
                  1 + minutes / (60 * 24) % 28, minutes / 60 % 24, minutes % 60);
    time_parse(s.finish, &s.finish_ticks);
    s.position = i + 1;
    if (i == 0) {
      s.type = SET_FULL;
      s.first_lsn = at;
      s.last_lsn = at + 100;
      s.checkpoint_lsn = full_checkpoint;
    } else if (i % 97 == 0) {
      s.type = SET_DIFFERENTIAL;
      s.first_lsn = at + 10;
      s.last_lsn = at + 20;
      s.checkpoint_lsn = at + 15;
      s.differential_base_lsn = full_checkpoint;
    } else {
      s.type = SET_LOG;
      s.copy_only = i % 50 == 0;
      s.first_lsn = at;
      s.last_lsn = at + 1000;
      if (!s.copy_only) at = s.last_lsn;
    }
  }
  return sets;
}

void run(const char* name, const std::vector<plan_set>& sets, const char* stop_at) {
  auto plan = std::make_unique<restore_plan>();
  const auto t0 = std::chrono::steady_clock::now();
  const int rc = plan_restore(sets.data(), static_cast<int32_t>(sets.size()), stop_at, plan.get());
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0);
  std::printf("%-14s %6d sets  %s  %4d steps  %8lld us%s%s\n", name, SETS, rc == 0 ? "planned" : "refused",
              plan->steps, static_cast<long long>(us.count()), rc == 0 ? "" : "  ", plan->refusal);
}

}  // namespace

int main() {
  const std::vector<plan_set> sets = history();
  run("newest point", sets, nullptr);
  run("mid-history", sets, "2026-02-10T12:07:00");
  return 0;
}
