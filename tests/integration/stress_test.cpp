// Four backups at once against the simulated server while the host thread
// runs connection tests and listings, polls every session without pause,
// and cancels and releases sessions at random moments. Meant to run under
// ThreadSanitizer as well as in the plain build.
//
// The random choices come from a seeded generator (VAULTRUN_STRESS_SEED
// overrides the seed), so a failing run can be replayed; the timing of the
// workers is the machine's own.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <random>
#include <cstdio>
#include <string>
#include <thread>

#include "sim_process.h"
#include "vaultrun.h"

namespace {

using vaultrun_test::SimProcess;
using vaultrun_test::TempDir;
using Clock = std::chrono::steady_clock;

constexpr int SLOTS = 4;
constexpr int64_t ACTIVE_MS = 12000;  // starting, polling, cancelling, releasing
constexpr int64_t DRAIN_MS = 15000;   // bound on the wait for the last sessions to end

int64_t ms_since(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// The parts of {"state":S,"percent":P,"message":"M","elapsed_ms":E}.
struct progress_doc {
  int32_t state = -1;
  int64_t percent = -1;
  std::string message;
  int64_t elapsed = -1;
};

bool all_digits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

bool parse_progress(const std::string& doc, progress_doc* out) {
  int consumed = 0;
  long long percent = 0;
  if (std::sscanf(doc.c_str(), "{\"state\":%d,\"percent\":%lld,\"message\":\"%n", &out->state, &percent,
                  &consumed) != 2 || consumed == 0)
    return false;
  const std::string tail = "\",\"elapsed_ms\":";
  const size_t at = doc.rfind(tail);
  if (at == std::string::npos || at < size_t(consumed) || doc.back() != '}') return false;
  const std::string elapsed = doc.substr(at + tail.size(), doc.size() - 1 - at - tail.size());
  if (!all_digits(elapsed)) return false;
  out->percent = percent;
  out->message = doc.substr(size_t(consumed), at - size_t(consumed));
  out->elapsed = std::stoll(elapsed);
  return true;
}

bool starts_with(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }
bool ends_with(const std::string& s, const std::string& p) {
  return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

// Every message the server sends during a backup and its verification; a
// text torn by a concurrent write would be none of them.
bool known_message(const std::string& m) {
  static const std::string percent = " percent processed.";
  if (m.empty() || m == "The backup set on file 1 is valid." ||
      m == "Processed 2048 pages for database 'hr', file 'hr' on file 1.")
    return true;
  if (ends_with(m, percent) && all_digits(m.substr(0, m.size() - percent.size()))) return true;
  return starts_with(m, "BACKUP DATABASE successfully processed 2048 pages in ") && ends_with(m, " MB/sec).");
}

// The success document of a backup of "hr" to path, verified.
bool done_result(const std::string& doc, const std::string& path) {
  const std::string head = "{\"ok\":true,\"out_path\":\"" + path + "\",\"verified\":true,\"pages\":2048,\"elapsed_ms\":";
  return starts_with(doc, head) && doc.back() == '}' && all_digits(doc.substr(head.size(), doc.size() - 1 - head.size()));
}

const char NOT_FINISHED[] = "{\"ok\":false,\"error\":\"not finished\"}";
const char CANCELLED[] = "{\"ok\":false,\"error\":\"cancelled\"}";

bool is_final(int32_t st) { return st == VAULTRUN_SESSION_DONE || st == VAULTRUN_SESSION_FAILED; }

// Order of the states a session passes through.
int rank(int32_t st) { return is_final(st) ? 3 : st == VAULTRUN_SESSION_RUNNING ? 2 : 1; }

// What the host knows of a session it started.
struct tracked {
  bool active = false;
  bool cancelled = false;
  bool ended = false;  // seen in a final state, result checked
  int64_t percent = 0;
  int64_t elapsed = 0;
  std::string out_path;
};

struct tally {
  std::array<int, SLOTS> starts{};
  int done = 0, failed_cancelled = 0, freed_running = 0, tests = 0, listings = 0, polls = 0;
};

class Stress : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int32_t i = 0; i < SLOTS; ++i) vaultrun_free(i);
  }

  std::string config(int port, const std::string& out_path) const {
    return "{\"port\":" + std::to_string(port) +
           ",\"user\":\"sa\",\"password\":\"vaultrun\",\"database\":\"hr\",\"out_path\":\"" + out_path + "\"}";
  }

  // Polls one session: its state, progress and result agree with what the
  // host knows, and nothing goes backwards. Records the end once seen.
  void poll(int32_t idx, tracked& t, tally& n) {
    ++n.polls;
    const int32_t st = vaultrun_status(idx);
    ASSERT_TRUE(st == VAULTRUN_SESSION_STARTING || st == VAULTRUN_SESSION_RUNNING || is_final(st))
        << "slot " << idx << " state " << st;
    const std::string progress = vaultrun_progress(idx);
    progress_doc p;
    ASSERT_TRUE(parse_progress(progress, &p)) << progress;
    // Read after the status, the progress may only be further along.
    EXPECT_GE(rank(p.state), rank(st)) << "status " << st << " then progress " << progress;
    if (is_final(st)) {
      EXPECT_EQ(p.state, st) << progress;
    }
    EXPECT_LE(p.percent, 100);
    EXPECT_GE(p.percent, t.percent) << progress;
    EXPECT_GE(p.elapsed, t.elapsed) << progress;
    EXPECT_TRUE(known_message(p.message)) << progress;
    t.percent = p.percent;
    t.elapsed = p.elapsed;

    const std::string result = vaultrun_result(idx);
    const int32_t after = vaultrun_status(idx);
    if (!is_final(after)) {
      EXPECT_EQ(result, NOT_FINISHED);
      return;
    }
    if (!is_final(st)) return;  // ended between the calls: judged at the next poll
    if (t.ended) return;
    t.ended = true;
    if (st == VAULTRUN_SESSION_DONE) {
      EXPECT_TRUE(done_result(result, t.out_path)) << result;
      ++n.done;
    } else {
      // Only a cancel makes a backup against a healthy server fail.
      EXPECT_TRUE(t.cancelled) << "slot " << idx << ": " << result;
      EXPECT_EQ(result, CANCELLED);
      ++n.failed_cancelled;
    }
  }

  void release(int32_t idx, tracked& t, tally& n) {
    if (!t.ended) ++n.freed_running;
    vaultrun_free(idx);
    EXPECT_EQ(vaultrun_status(idx), VAULTRUN_SESSION_FREE);
    t = tracked{};
  }

  TempDir dir_;
};

TEST_F(Stress, FourBackupsWithHostCallsPollsCancelsAndReleases) {
  uint32_t seed = 20261;
  if (const char* s = std::getenv("VAULTRUN_STRESS_SEED")) seed = uint32_t(std::strtoul(s, nullptr, 10));
  RecordProperty("seed", std::to_string(seed));
  SCOPED_TRACE("VAULTRUN_STRESS_SEED=" + std::to_string(seed));
  std::mt19937 rng(seed);
  auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };

  SimProcess sim({"--backup-ms", "1500"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  const std::string host = "{\"port\":" + std::to_string(sim.port()) + ",\"user\":\"sa\",\"password\":\"vaultrun\"}";

  std::array<tracked, SLOTS> ours;
  tally n;
  int file_no = 0;
  const auto t0 = Clock::now();
  // The host polls every couple of milliseconds; the chances below are per
  // round, so each kind of event comes about once a second or more often.
  while (ms_since(t0) < ACTIVE_MS) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    // Keep all four slots busy.
    for (int k = 0; k < SLOTS; ++k) {
      if (ours[k].active) continue;
      const std::string path = dir_.file("b" + std::to_string(file_no++) + ".bak");
      const int32_t idx = vaultrun_start(config(sim.port(), path).c_str());
      ASSERT_GE(idx, 0) << "start: " << idx << " " << vaultrun_last_error();
      ASSERT_FALSE(ours[idx].active) << "slot " << idx << " handed out twice";
      ours[idx].active = true;
      ours[idx].out_path = path;
      ++n.starts[idx];
    }

    for (int32_t i = 0; i < SLOTS; ++i) {
      if (!ours[i].active) continue;
      poll(i, ours[i], n);
      if (HasFatalFailure()) return;
      // A finished session is released sooner or later.
      if (ours[i].ended && chance(0.05)) release(i, ours[i], n);
    }

    if (chance(0.004)) {
      const int32_t i = pick(SLOTS);
      if (ours[i].active && !ours[i].ended) {
        vaultrun_cancel(i);
        ours[i].cancelled = true;
      }
    }
    if (chance(0.002)) {
      const int32_t i = pick(SLOTS);
      if (ours[i].active) release(i, ours[i], n);
    }
    if (chance(0.01)) {
      ++n.tests;
      EXPECT_STREQ(vaultrun_test_connection(host.c_str()),
                   "{\"ok\":true,\"server_version\":\"16.0.4135.4 Developer Edition (64-bit)\"}");
    }
    if (chance(0.006)) {
      ++n.listings;
      const std::string listing = vaultrun_list_databases(host.c_str());
      EXPECT_NE(listing.find("{\"name\":\"hr\",\"size_mb\":16,\"recovery\":\"BULK_LOGGED\"}"), std::string::npos)
          << listing;
    }
  }

  // Every session still out ends in a final state, then is released.
  const auto drain = Clock::now();
  for (int32_t i = 0; i < SLOTS; ++i) {
    while (ours[i].active && !ours[i].ended && ms_since(drain) < DRAIN_MS) {
      poll(i, ours[i], n);
      if (HasFatalFailure()) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(!ours[i].active || ours[i].ended) << "slot " << i << " never ended";
    if (ours[i].active) release(i, ours[i], n);
  }

  for (int32_t i = 0; i < SLOTS; ++i) {
    EXPECT_EQ(vaultrun_status(i), VAULTRUN_SESSION_FREE);
    EXPECT_GE(n.starts[i], 2) << "slot " << i << " was not reused";
  }
  // No slot stays reserved behind the host's back: all four can be taken.
  for (int32_t i = 0; i < SLOTS; ++i) {
    EXPECT_EQ(vaultrun_start(config(sim.port(), dir_.file("last" + std::to_string(i) + ".bak")).c_str()), i);
  }
  for (int32_t i = 0; i < SLOTS; ++i) vaultrun_free(i);

  EXPECT_GT(n.done, 0);
  std::printf("stress: seed %u, %d s; starts per slot %d %d %d %d; done %d, cancelled %d, released while "
              "running %d; %d connection tests, %d listings, %d polls\n",
              seed, int(ms_since(t0) / 1000), n.starts[0], n.starts[1], n.starts[2], n.starts[3], n.done,
              n.failed_cancelled, n.freed_running, n.tests, n.listings, n.polls);
}

}  // namespace
