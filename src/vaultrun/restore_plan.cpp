#include "vaultrun/restore_plan.h"

#include <cstdio>
#include <cstring>

#include "tds_client/tds_client.h"

bool lsn_parse(const char* text, lsn_t* out) {
  *out = 0;
  if (text == nullptr || text[0] == 0) return true;
  int digits = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9' || ++digits > 25) return false;
    *out = *out * 10 + static_cast<unsigned>(*p - '0');
  }
  return true;
}

void lsn_text(lsn_t v, char* out) {
  char tmp[40];
  int n = 0;
  do {
    tmp[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  } while (v != 0);
  for (int i = 0; i < n; ++i) out[i] = tmp[n - 1 - i];
  out[n] = 0;
}

namespace {

bool digits_at(const char* s, int n, int* out) {
  int v = 0;
  for (int i = 0; i < n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *out = v;
  return true;
}

// Days from 0001-01-01 to the given date (proleptic Gregorian).
int64_t days_from_civil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = y / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 306;  // day 0 is 0001-01-01
}

}  // namespace

bool time_parse(const char* s, int64_t* ticks) {
  const size_t len = std::strlen(s);
  int y, mo, d, h, mi, se;
  if (len < 19 || len > 27 || s[4] != '-' || s[7] != '-' || (s[10] != ' ' && s[10] != 'T') || s[13] != ':' ||
      s[16] != ':')
    return false;
  if (!digits_at(s, 4, &y) || !digits_at(s + 5, 2, &mo) || !digits_at(s + 8, 2, &d) ||
      !digits_at(s + 11, 2, &h) || !digits_at(s + 14, 2, &mi) || !digits_at(s + 17, 2, &se))
    return false;
  if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 59) return false;
  int64_t frac = 0;
  if (len > 19) {
    if (s[19] != '.' || len == 20) return false;
    int f = 0;
    if (!digits_at(s + 20, static_cast<int>(len - 20), &f)) return false;
    frac = f;
    for (size_t i = len - 20; i < 7; ++i) frac *= 10;
  }
  const int64_t secs = days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + se;
  *ticks = secs * 10000000 + frac;
  return true;
}

namespace {

const char* type_name(uint8_t type) {
  return type == SET_FULL ? "full" : type == SET_DIFFERENTIAL ? "differential" : "log";
}

int refuse(restore_plan* plan, const char* text) {
  plan->steps = 0;
  utf8_copy_cut(plan->refusal, sizeof plan->refusal, text);
  return -1;
}

bool add_step(restore_plan* plan, int32_t set, uint8_t type, bool stop) {
  if (plan->steps == MAX_PLAN_STEPS) return false;
  plan->step[plan->steps++] = plan_step{set, type, static_cast<uint8_t>(stop)};
  return true;
}

// A set whose striped media set lacks a family cannot be read at all.
int refuse_incomplete(restore_plan* plan, const plan_set& s) {
  char text[PLAN_REFUSAL_BYTES];
  std::snprintf(text, sizeof text,
                "the striped media set of the %s backup at position %d (finished %s) is missing families",
                type_name(s.type), s.position, s.finish);
  return refuse(plan, text);
}

// The newest full set that finished by stop (copy-only or not); -1 when none.
int32_t choose_full(const plan_set* sets, int32_t count, int64_t stop) {
  int32_t best = -1;
  for (int32_t i = 0; i < count; ++i) {
    const plan_set& s = sets[i];
    if (s.type != SET_FULL || s.finish_ticks > stop) continue;
    if (best < 0 || s.last_lsn > sets[best].last_lsn ||
        (s.last_lsn == sets[best].last_lsn && s.finish_ticks > sets[best].finish_ticks))
      best = i;
  }
  return best;
}

// The newest differential based on the full, finished by stop; -1 when none.
int32_t choose_differential(const plan_set* sets, int32_t count, const plan_set& full, int64_t stop) {
  if (full.copy_only) return -1;  // a copy-only full is never a differential base
  int32_t best = -1;
  for (int32_t i = 0; i < count; ++i) {
    const plan_set& s = sets[i];
    if (s.type != SET_DIFFERENTIAL || s.finish_ticks > stop || s.differential_base_lsn != full.checkpoint_lsn ||
        s.last_lsn <= full.last_lsn)
      continue;
    if (best < 0 || s.last_lsn > sets[best].last_lsn) best = i;
  }
  return best;
}

// The log that continues the chain from `at`: it starts at or before it and
// ends past it; of several, the one that reaches furthest (a regular log
// before a copy-only one of the same reach). -1 when none.
int32_t next_log(const plan_set* sets, int32_t count, lsn_t at) {
  int32_t best = -1;
  for (int32_t i = 0; i < count; ++i) {
    const plan_set& s = sets[i];
    if (s.type != SET_LOG || s.first_lsn > at || s.last_lsn <= at) continue;
    if (best < 0 || s.last_lsn > sets[best].last_lsn ||
        (s.last_lsn == sets[best].last_lsn && sets[best].copy_only && !s.copy_only))
      best = i;
  }
  return best;
}

// The log that starts soonest past `at`, the far side of a gap; -1 when none.
int32_t log_after(const plan_set* sets, int32_t count, lsn_t at) {
  int32_t best = -1;
  for (int32_t i = 0; i < count; ++i) {
    if (sets[i].type == SET_LOG && sets[i].first_lsn > at && (best < 0 || sets[i].first_lsn < sets[best].first_lsn))
      best = i;
  }
  return best;
}

}  // namespace

int plan_restore(const plan_set* sets, int32_t count, const char* stop_at, restore_plan* plan) {
  plan->steps = 0;
  plan->refusal[0] = 0;
  const bool to_point = stop_at != nullptr && stop_at[0] != 0;
  int64_t stop = INT64_MAX;
  if (to_point && !time_parse(stop_at, &stop)) return refuse(plan, "invalid stop_at");
  char text[PLAN_REFUSAL_BYTES];
  char a[40], b[40];

  const int32_t full = choose_full(sets, count, stop);
  if (full < 0) {
    if (!to_point) return refuse(plan, "no full backup of the database to start from");
    std::snprintf(text, sizeof text, "no full backup of the database finished by stop_at %s", stop_at);
    return refuse(plan, text);
  }
  if (sets[full].incomplete) return refuse_incomplete(plan, sets[full]);
  add_step(plan, full, SET_FULL, false);
  lsn_t at = sets[full].last_lsn;
  int64_t reached = sets[full].finish_ticks;
  const char* reached_text = sets[full].finish;

  const int32_t diff = choose_differential(sets, count, sets[full], stop);
  if (diff >= 0) {
    if (sets[diff].incomplete) return refuse_incomplete(plan, sets[diff]);
    add_step(plan, diff, SET_DIFFERENTIAL, false);
    at = sets[diff].last_lsn;
    reached = sets[diff].finish_ticks;
    reached_text = sets[diff].finish;
  }

  // With a point to reach and the base already at it, no log is needed.
  bool done = to_point && reached == stop;
  while (!done) {
    const int32_t log = next_log(sets, count, at);
    if (log < 0) break;
    const plan_set& s = sets[log];
    if (s.incomplete) return refuse_incomplete(plan, s);
    const bool holds_point = to_point && s.finish_ticks >= stop;
    if (!add_step(plan, log, SET_LOG, holds_point)) {
      std::snprintf(text, sizeof text, "the restore needs more than %d backup sets", MAX_PLAN_STEPS);
      return refuse(plan, text);
    }
    at = s.last_lsn;
    reached = s.finish_ticks;
    reached_text = s.finish;
    done = holds_point;
  }
  if (done) return 0;

  // The chain ends short of stop_at (or of the newest set): a later log past
  // a hole is a gap; without one the newest point is reached, and a later
  // stop_at is out of reach.
  const int32_t beyond = log_after(sets, count, at);
  if (beyond >= 0) {
    lsn_text(at, a);
    lsn_text(sets[beyond].first_lsn, b);
    std::snprintf(text, sizeof text,
                  "gap in the log chain: the restore reaches LSN %s (%s) but the next log backup starts at LSN %s "
                  "(finished %s)",
                  a, reached_text, b, sets[beyond].finish);
    return refuse(plan, text);
  }
  if (to_point && reached < stop) {
    lsn_text(at, a);
    std::snprintf(text, sizeof text,
                  "stop_at %s is past the end of the backup chain, which reaches %s (LSN %s)", stop_at,
                  reached_text, a);
    return refuse(plan, text);
  }
  return 0;
}

int plan_single(const plan_set* sets, int32_t count, int32_t position, const char* stop_at, restore_plan* plan) {
  plan->steps = 0;
  plan->refusal[0] = 0;
  for (int32_t i = 0; i < count; ++i) {
    const plan_set& s = sets[i];
    if (s.position != position) continue;
    if (s.type != SET_FULL && s.type != SET_DIFFERENTIAL && s.type != SET_LOG) break;
    if (s.incomplete) return refuse_incomplete(plan, s);
    add_step(plan, i, s.type, s.type == SET_LOG && stop_at != nullptr && stop_at[0] != 0);
    return 0;
  }
  char text[PLAN_REFUSAL_BYTES];
  std::snprintf(text, sizeof text, "no database or log backup set at position %d", position);
  return refuse(plan, text);
}
