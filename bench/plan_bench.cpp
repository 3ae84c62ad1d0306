// Planning a restore over long histories: N backup sets, a full every 96
// sets (every fourth of them copy-only), a differential every 24, logs
// every 15 minutes between them with a copy-only log now and then, planned
// to the newest point and to a point in the middle. The history arrives in
// one query, so planning is the whole cost on this side; prints the time of
// each plan and its steps, for several N to show how the cost grows.
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "vaultrun/restore_plan.h"

namespace {

std::vector<plan_set> history(int n) {
  std::vector<plan_set> sets(static_cast<size_t>(n));
  lsn_t at = lsn_t(42000000000000000ull) * 1000;  // LSNs of a server that has run a while
  lsn_t base = 0;
  for (int i = 0; i < n; ++i) {
    plan_set& s = sets[static_cast<size_t>(i)];
    s = plan_set{};
    const long minutes = i * 15L;
    std::snprintf(s.finish, sizeof s.finish, "%04ld-%02ld-%02ldT%02ld:%02ld:00.000", 2026 + minutes / (60 * 24 * 336),
                  1 + minutes / (60 * 24 * 28) % 12, 1 + minutes / (60 * 24) % 28, minutes / 60 % 24, minutes % 60);
    time_parse(s.finish, &s.finish_ticks);
    s.position = i + 1;
    if (i % 96 == 0) {
      s.type = SET_FULL;
      s.copy_only = i % 384 == 96;
      s.first_lsn = at + 10;
      s.last_lsn = at + 100;
      s.checkpoint_lsn = at + 50;
      if (!s.copy_only) base = s.checkpoint_lsn;
    } else if (i % 24 == 0) {
      s.type = SET_DIFFERENTIAL;
      s.first_lsn = at + 10;
      s.last_lsn = at + 20;
      s.checkpoint_lsn = at + 15;
      s.differential_base_lsn = base;
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
  // The best of a few runs: the machine's other work is not the planner's.
  long long best = -1;
  int rc = 0;
  for (int k = 0; k < 5; ++k) {
    const auto t0 = std::chrono::steady_clock::now();
    rc = plan_restore(sets.data(), static_cast<int32_t>(sets.size()), stop_at, plan.get());
    const long long us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
    if (best < 0 || us < best) best = us;
  }
  std::printf("%-14s %6zu sets  %s  %4d steps  %8lld us  %6.1f ns/set%s%s\n", name, sets.size(),
              rc == 0 ? "planned" : "refused", plan->steps, best, best * 1000.0 / static_cast<double>(sets.size()),
              rc == 0 ? "" : "  ", plan->refusal);
}

}  // namespace

int main() {
  for (int n : {1000, 10000, 20000, 40000, 60000}) {
    const std::vector<plan_set> sets = history(n);
    // A point in the middle: five seconds after a set there finished,
    // inside the log that follows it.
    char middle[40];
    std::snprintf(middle, sizeof middle, "%.19s", sets[static_cast<size_t>(n / 2 + 5)].finish);
    middle[18] = '5';
    run("newest point", sets, nullptr);
    run("mid-history", sets, middle);
  }
  return 0;
}
