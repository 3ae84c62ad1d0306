// A small model of a database's life for property tests of the restore
// planner and of what depends on it: fulls and logs, copy-only ones,
// differentials on several bases, logs taken during a full, the database
// dropped and created again, and point-in-time restores over itself that
// fork the log. Each event appends the sets a server's history would hold.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vaultrun/restore_plan.h"

namespace vaultrun_test {

constexpr int64_t SECOND = 10000000;

inline void time_text(int64_t ticks, char* out, size_t cap) {
  // Ticks from 2026-12-01; histories stay within the month.
  int64_t base = 0;
  time_parse("2026-12-01 00:00:00", &base);
  const int64_t s = (ticks - base) / SECOND;
  char text[64];
  std::snprintf(text, sizeof text, "2026-12-%02d %02d:%02d:%02d", static_cast<int>(1 + s / 86400),
                static_cast<int>(s / 3600 % 24), static_cast<int>(s / 60 % 60), static_cast<int>(s % 60));
  const size_t n = std::min(std::strlen(text), cap - 1);
  std::memcpy(out, text, n);
  out[n] = 0;
}

enum feature {
  F_COPY_FULL,
  F_COPY_LOG,
  F_DIFF_BASES,
  F_LOG_DURING_FULL,
  F_MISSING_FAMILY,
  F_GAP,
  F_RECREATED,
  F_FORK,
  F_POINT_INSIDE,
  F_POINT_BETWEEN,
  F_POINT_BEFORE,
  F_POINT_AFTER,
  F_NEWEST,
  F_COUNT
};
inline const char* const FEATURE_NAMES[F_COUNT] = {
    "copy-only full", "copy-only log", "differentials on several bases", "log during a full",
    "striped set missing a family", "gap (a lost log)", "recreated database", "recovery fork",
    "point inside a set", "point between sets", "point before the sets", "point after the sets",
    "newest point"};

struct history {
  std::vector<plan_set> sets;
  std::string stop_at;
  bool has[F_COUNT] = {};
};

// The database's life, one event at a time.
struct life {
  std::mt19937_64 rng;
  history h;
  int64_t now;
  lsn_t lsn = 0, log_from = 0, diff_base = 0;
  bool logging = false, full_recovery = true;
  set_guid database{}, fork{};
  uint64_t next_guid = 1;
  // A fork the next regular log crosses: from, at.
  bool crossing = false;
  set_guid fork_from{};
  lsn_t fork_at = 0;
  std::vector<int> diff_bases_seen;

  explicit life(uint64_t seed) : rng(seed) { time_parse("2026-12-02 00:00:00", &now); }

  int64_t between(int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); }
  bool chance(int percent) { return between(0, 99) < percent; }
  set_guid guid() { return set_guid{next_guid * 0x9E3779B97F4A7C15ull, ++next_guid}; }

  void work() {
    lsn += static_cast<lsn_t>(between(10, 200));
    now += between(60, 3600) * SECOND;
  }

  plan_set& add(uint8_t type, lsn_t first, lsn_t last, int64_t finish) {
    plan_set s{};
    s.type = type;
    s.first_lsn = first;
    s.last_lsn = last;
    s.checkpoint_lsn = first;
    s.database = database;
    s.first_fork = s.last_fork = fork;
    s.finish_ticks = finish;
    time_text(finish, s.finish, sizeof s.finish);
    s.finish[10] = 'T';
    s.position = static_cast<int32_t>(h.sets.size() + 1);
    h.sets.push_back(s);
    return h.sets.back();
  }

  void regular_log(int64_t finish) {
    if (lsn <= log_from) lsn = log_from + 1;
    plan_set& s = add(SET_LOG, log_from, lsn, finish);
    if (crossing) {
      s.first_fork = fork_from;
      s.fork_point_lsn = fork_at;
      crossing = false;
    }
    log_from = lsn;
  }

  void full() {
    const bool copy = chance(20);
    const lsn_t first = lsn;
    if (logging && chance(15)) {  // a log backup runs while the full reads
      lsn += 5;
      regular_log(now + 30 * SECOND);
      h.has[F_LOG_DURING_FULL] = true;
    }
    lsn = first + 20 + static_cast<lsn_t>(between(0, 20));
    plan_set& s = add(SET_FULL, first, lsn, now + 60 * SECOND);
    s.checkpoint_lsn = first + 10;
    s.copy_only = copy;
    h.has[F_COPY_FULL] |= copy;
    if (!copy) diff_base = s.checkpoint_lsn;
    if (full_recovery && !logging) {
      logging = true;
      log_from = first;
    }
    now += 120 * SECOND;
  }

  void differential() {
    if (diff_base == 0) return;
    const lsn_t first = lsn;
    lsn += 20;
    plan_set& s = add(SET_DIFFERENTIAL, first, lsn, now + 30 * SECOND);
    s.checkpoint_lsn = first + 10;
    s.differential_base_lsn = diff_base;
    bool seen = false;
    for (int b : diff_bases_seen) seen |= static_cast<lsn_t>(b) == diff_base;
    if (!seen) diff_bases_seen.push_back(static_cast<int>(diff_base));
    h.has[F_DIFF_BASES] |= diff_bases_seen.size() >= 2;
    now += 60 * SECOND;
  }

  void log() {
    if (!logging) return;
    if (chance(15)) {  // a copy-only log does not move the chain
      if (lsn <= log_from) lsn = log_from + 1;
      add(SET_LOG, log_from, lsn, now + 10 * SECOND).copy_only = 1;
      h.has[F_COPY_LOG] = true;
    } else {
      regular_log(now + 10 * SECOND);
    }
    now += 20 * SECOND;
  }

  // The database restored over itself to a point inside one of its logs on
  // the current path: the log forks there, and the next log starts where
  // the restored log started, crossing the fork.
  void restore_in_place() {
    std::vector<int> logs;
    for (size_t i = 0; i < h.sets.size(); ++i) {
      const plan_set& s = h.sets[i];
      if (s.type == SET_LOG && !s.copy_only && s.database == database && s.last_fork == fork &&
          s.last_lsn - s.first_lsn >= 2)
        logs.push_back(static_cast<int>(i));
    }
    if (logs.empty() || crossing) return;
    const plan_set& held = h.sets[logs[between(0, static_cast<int64_t>(logs.size()) - 1)]];
    fork_from = fork;
    fork_at = held.first_lsn + static_cast<lsn_t>(between(1, static_cast<int64_t>(held.last_lsn - held.first_lsn) - 1));
    fork = guid();
    crossing = true;
    log_from = held.first_lsn;
    lsn = fork_at + 1;
    diff_base = 0;  // no differential until the next full
    h.has[F_FORK] = true;
    now += 600 * SECOND;
  }

  void recreate() {
    database = guid();
    fork = guid();
    lsn = static_cast<lsn_t>(between(1, 500));  // a new database counts again
    logging = crossing = false;
    diff_base = 0;
    full_recovery = chance(75);
    h.has[F_RECREATED] = true;
    now += 3600 * SECOND;
  }

  void event() {
    const int64_t r = between(0, 99);
    if (r < 14) full();
    else if (r < 28) differential();
    else if (r < 80) log();
    else if (r < 84) restore_in_place();
    else if (r < 86) recreate();
    work();
  }
};

}  // namespace vaultrun_test
