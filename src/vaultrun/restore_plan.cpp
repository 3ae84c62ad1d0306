#include "vaultrun/restore_plan.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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
  if (s.unreadable)
    std::snprintf(text, sizeof text, "the header of the %s backup at position %d (finished %s) cannot be read",
                  type_name(s.type), s.position, s.finish);
  else
    std::snprintf(text, sizeof text,
                  "the striped media set of the %s backup at position %d (finished %s) is missing families",
                  type_name(s.type), s.position, s.finish);
  return refuse(plan, text);
}

bool usable(const plan_set& s) { return !s.incomplete && !s.unreadable; }
bool crosses(const plan_set& s) { return !(s.first_fork == s.last_fork); }

void guid_text(const set_guid& g, char* out) {
  std::snprintf(out, 37, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(g.hi >> 32),
                static_cast<unsigned>((g.hi >> 16) & 0xFFFF), static_cast<unsigned>(g.hi & 0xFFFF),
                static_cast<unsigned>(g.lo >> 48), static_cast<unsigned long long>(g.lo & 0xFFFFFFFFFFFFull));
}

// A base: a full, and a differential on it or -1.
struct plan_base {
  int32_t full, diff;
};

// Where a chain stands: the LSN, database and fork it reached, and when.
struct chain_end {
  lsn_t at;
  set_guid database, fork;
  int64_t finish;
};

// The planner's index. Logs that may join a chain are sorted by (database,
// first fork, first LSN), so those that continue an end are a range; a tree
// of their furthest reach over that order hands each log out once, which
// keeps the search O(n log n) however the logs overlap.
struct planner {
  const plan_set* sets;
  int32_t n;
  bool to_point;
  int64_t stop;
  int32_t *logs, nlogs, size;
  lsn_t* tree;
  plan_base* bases;
  int32_t nbases;
  int32_t *dist, *from, *rank, *layer, *next;  // dist/from/rank per set; from < 0: base -(from+1)
};

void planner_free(planner* p) {
  std::free(p->logs);
  std::free(p->tree);
  std::free(p->bases);
  std::free(p->dist);
  std::free(p->from);
  std::free(p->rank);
  std::free(p->layer);
  std::free(p->next);
}

// The furthest LSN a log can be joined at: a log crossing a fork continues
// a chain only up to its fork point.
lsn_t join_limit(const plan_set& s) { return crosses(s) && s.fork_point_lsn < s.last_lsn ? s.fork_point_lsn + 1 : s.last_lsn; }

bool log_order(const plan_set& a, const plan_set& b) {
  if (!(a.database == b.database)) return a.database < b.database;
  if (!(a.first_fork == b.first_fork)) return a.first_fork < b.first_fork;
  return a.first_lsn < b.first_lsn;
}

// The latest finish of the sets on `fork` past `lsn`: a point up to it lies
// on the old path, which a log crossing away from the fork there cannot hold.
bool old_path_holds(const plan_set* sets, const int32_t* by_fork, int32_t m, const int64_t* latest,
                    const plan_set& log, int64_t stop) {
  auto key_less = [&](int32_t i, const plan_set& k) {
    const plan_set& s = sets[i];
    if (!(s.database == k.database)) return s.database < k.database;
    if (!(s.last_fork == k.first_fork)) return s.last_fork < k.first_fork;
    return s.last_lsn <= k.fork_point_lsn;
  };
  int32_t lo = 0, hi = m;
  while (lo < hi) {
    const int32_t mid = (lo + hi) / 2;
    if (key_less(by_fork[mid], log)) lo = mid + 1;
    else hi = mid;
  }
  if (lo == m) return false;
  const plan_set& s = sets[by_fork[lo]];
  return s.database == log.database && s.last_fork == log.first_fork && latest[lo] >= stop;
}

// Drops from p->logs the crossing logs that cannot hold stop_at.
bool drop_barred_logs(planner* p) {
  const plan_set* sets = p->sets;
  auto* by_fork = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * (p->n + 1)));
  auto* latest = static_cast<int64_t*>(std::malloc(sizeof(int64_t) * (p->n + 1)));
  if (by_fork == nullptr || latest == nullptr) return std::free(by_fork), std::free(latest), false;
  int32_t m = 0;
  for (int32_t i = 0; i < p->n; ++i) {
    const uint8_t t = sets[i].type;
    if (t == SET_FULL || t == SET_DIFFERENTIAL || t == SET_LOG) by_fork[m++] = i;
  }
  std::sort(by_fork, by_fork + m, [&](int32_t a, int32_t b) {
    const plan_set &x = sets[a], &y = sets[b];
    if (!(x.database == y.database)) return x.database < y.database;
    if (!(x.last_fork == y.last_fork)) return x.last_fork < y.last_fork;
    return x.last_lsn < y.last_lsn;
  });
  for (int32_t k = m - 1; k >= 0; --k) {
    const plan_set& s = sets[by_fork[k]];
    latest[k] = s.finish_ticks;
    if (k + 1 < m) {
      const plan_set& t = sets[by_fork[k + 1]];
      if (t.database == s.database && t.last_fork == s.last_fork && latest[k + 1] > latest[k]) latest[k] = latest[k + 1];
    }
  }
  int32_t kept = 0;
  for (int32_t k = 0; k < p->nlogs; ++k) {
    const plan_set& s = sets[p->logs[k]];
    if (!crosses(s) || !old_path_holds(sets, by_fork, m, latest, s, p->stop)) p->logs[kept++] = p->logs[k];
  }
  p->nlogs = kept;
  std::free(by_fork);
  std::free(latest);
  return true;
}

bool build_logs(planner* p) {
  const plan_set* sets = p->sets;
  for (int32_t i = 0; i < p->n; ++i) {
    if (sets[i].type == SET_LOG && usable(sets[i])) p->logs[p->nlogs++] = i;
  }
  if (p->to_point && !drop_barred_logs(p)) return false;
  std::sort(p->logs, p->logs + p->nlogs, [&](int32_t a, int32_t b) { return log_order(sets[a], sets[b]); });
  p->size = 1;
  while (p->size < p->nlogs) p->size *= 2;
  p->tree = static_cast<lsn_t*>(std::calloc(static_cast<size_t>(2 * p->size), sizeof(lsn_t)));
  if (p->tree == nullptr) return false;
  for (int32_t k = 0; k < p->nlogs; ++k) p->tree[p->size + k] = join_limit(sets[p->logs[k]]);
  for (int32_t k = p->size - 1; k >= 1; --k) p->tree[k] = std::max(p->tree[2 * k], p->tree[2 * k + 1]);
  return true;
}

// Whether base a is newer than base b: by its full's finish, then the one
// with a differential, the later differential, the first sets.
bool base_newer(const plan_set* sets, const plan_base& a, const plan_base& b) {
  if (sets[a.full].finish_ticks != sets[b.full].finish_ticks) return sets[a.full].finish_ticks > sets[b.full].finish_ticks;
  if ((a.diff >= 0) != (b.diff >= 0)) return a.diff >= 0;
  if (a.diff >= 0 && sets[a.diff].finish_ticks != sets[b.diff].finish_ticks)
    return sets[a.diff].finish_ticks > sets[b.diff].finish_ticks;
  return a.full != b.full ? a.full < b.full : a.diff < b.diff;
}

bool diff_on(const plan_set& d, const plan_set& f) {
  return f.type == SET_FULL && usable(f) && !f.copy_only && f.database == d.database &&
         d.differential_base_lsn == f.checkpoint_lsn && d.last_lsn > f.last_lsn;
}

// Every full by stop, and every differential by stop with each full it is
// based on; fulls that may be bases are found by (database, checkpoint).
bool build_bases(planner* p) {
  const plan_set* sets = p->sets;
  int32_t* fulls = p->layer;  // free until the search starts
  int32_t nf = 0, count = 0;
  for (int32_t i = 0; i < p->n; ++i) {
    if (sets[i].type == SET_FULL && usable(sets[i]) && sets[i].finish_ticks <= p->stop) fulls[nf++] = i;
  }
  auto by_checkpoint = [&](int32_t a, int32_t b) {
    if (!(sets[a].database == sets[b].database)) return sets[a].database < sets[b].database;
    return sets[a].checkpoint_lsn < sets[b].checkpoint_lsn;
  };
  std::sort(fulls, fulls + nf, by_checkpoint);
  for (int pass = 0; pass < 2; ++pass) {
    for (int32_t k = 0; k < nf; ++k) {
      if (pass == 1) p->bases[count] = plan_base{fulls[k], -1};
      ++count;
    }
    for (int32_t i = 0; i < p->n; ++i) {
      const plan_set& d = sets[i];
      if (d.type != SET_DIFFERENTIAL || !usable(d) || d.finish_ticks > p->stop) continue;
      plan_set key{};
      key.database = d.database;
      key.checkpoint_lsn = d.differential_base_lsn;
      int32_t lo = 0, hi = nf;
      while (lo < hi) {
        const int32_t mid = (lo + hi) / 2;
        const plan_set& f = sets[fulls[mid]];
        if (f.database < key.database || (f.database == key.database && f.checkpoint_lsn < key.checkpoint_lsn)) lo = mid + 1;
        else hi = mid;
      }
      for (int32_t k = lo; k < nf && sets[fulls[k]].database == d.database &&
                           sets[fulls[k]].checkpoint_lsn == d.differential_base_lsn; ++k) {
        if (!diff_on(d, sets[fulls[k]])) continue;
        if (pass == 1) p->bases[count] = plan_base{fulls[k], i};
        ++count;
      }
    }
    if (pass == 0) {
      p->bases = static_cast<plan_base*>(std::malloc(sizeof(plan_base) * (count + 1)));
      if (p->bases == nullptr) return false;
      count = 0;
    }
  }
  p->nbases = count;
  std::sort(p->bases, p->bases + count, [&](const plan_base& a, const plan_base& b) { return base_newer(sets, a, b); });
  return true;
}

chain_end base_end(const planner* p, int32_t b) {
  const plan_set& f = p->sets[p->bases[b].full];
  const plan_set& last = p->sets[p->bases[b].diff >= 0 ? p->bases[b].diff : p->bases[b].full];
  return chain_end{last.last_lsn, f.database, last.last_fork, last.finish_ticks};
}

chain_end log_end(const plan_set& s) { return chain_end{s.last_lsn, s.database, s.last_fork, s.finish_ticks}; }

// Hands out, once each, the logs of [lo, hi) in index order that can be
// joined at `at`.
void take_logs(planner* p, int32_t node, int32_t nl, int32_t nr, int32_t lo, int32_t hi, lsn_t at, int32_t* out,
               int32_t* nout) {
  if (nr <= lo || nl >= hi || p->tree[node] <= at) return;
  if (nr - nl == 1) {
    out[(*nout)++] = p->logs[nl];
    p->tree[node] = 0;
    return;
  }
  const int32_t mid = (nl + nr) / 2;
  take_logs(p, 2 * node, nl, mid, lo, hi, at, out, nout);
  take_logs(p, 2 * node + 1, mid, nr, lo, hi, at, out, nout);
  p->tree[node] = std::max(p->tree[2 * node], p->tree[2 * node + 1]);
}

// The logs that continue `e`: its database and fork, starting at or before
// its LSN, joined past it.
void continue_from(planner* p, const chain_end& e, int32_t* out, int32_t* nout) {
  plan_set key{};
  key.database = e.database;
  key.first_fork = e.fork;
  key.first_lsn = 0;
  const plan_set* sets = p->sets;
  const int32_t lo = static_cast<int32_t>(
      std::lower_bound(p->logs, p->logs + p->nlogs, key, [&](int32_t i, const plan_set& k) { return log_order(sets[i], k); }) -
      p->logs);
  key.first_lsn = e.at;
  const int32_t hi = static_cast<int32_t>(
      std::upper_bound(p->logs, p->logs + p->nlogs, key, [&](const plan_set& k, int32_t i) { return log_order(k, sets[i]); }) -
      p->logs);
  if (lo < hi) take_logs(p, 1, 0, p->size, lo, hi, e.at, out, nout);
}

bool holds_point(const planner* p, int64_t finish) { return p->to_point && finish >= p->stop; }

// Breadth-first over the logs from every base at once: a log's depth is the
// fewest logs of a chain that ends with it, and of chains as short, the one
// from the newest base reaches it first (each layer is taken in base order).
void search(planner* p) {
  int32_t nl = 0;
  for (int32_t b = 0; b < p->nbases; ++b) {
    const chain_end e = base_end(p, b);
    if (holds_point(p, e.finish)) continue;
    int32_t nout = 0;
    continue_from(p, e, p->next + nl, &nout);
    for (int32_t k = nl; k < nl + nout; ++k) {
      p->dist[p->next[k]] = 1;
      p->from[p->next[k]] = -(b + 1);
      p->rank[p->next[k]] = b;
    }
    nl += nout;
  }
  for (int32_t depth = 1; nl > 0; ++depth) {
    std::swap(p->layer, p->next);
    const int32_t count = nl;
    std::stable_sort(p->layer, p->layer + count, [&](int32_t a, int32_t b) { return p->rank[a] < p->rank[b]; });
    nl = 0;
    for (int32_t k = 0; k < count; ++k) {
      const int32_t i = p->layer[k];
      if (holds_point(p, p->sets[i].finish_ticks)) continue;
      int32_t nout = 0;
      continue_from(p, log_end(p->sets[i]), p->next + nl, &nout);
      for (int32_t j = nl; j < nl + nout; ++j) {
        p->dist[p->next[j]] = depth + 1;
        p->from[p->next[j]] = i;
        p->rank[p->next[j]] = p->rank[i];
      }
      nl += nout;
    }
  }
}

// A chain's last set as a candidate: a base b (set < 0) or a reached log.
struct pick {
  int32_t set, base, logs;
  int64_t finish;
  lsn_t at;
  bool found;
};

// Whether a is better than b: (without stop_at) reaching further, then
// fewer logs, the newer base, a regular log before a copy-only one, the
// log that reaches the furthest LSN, the first set.
bool better(const planner* p, const pick& a, const pick& b, bool by_reach) {
  if (!b.found) return true;
  if (by_reach && a.finish != b.finish) return a.finish > b.finish;
  if (by_reach && a.at != b.at) return a.at > b.at;  // of sets finished together, the further
  if (a.logs != b.logs) return a.logs < b.logs;
  if (a.base != b.base) return a.base < b.base;
  if (a.set < 0 || b.set < 0) return a.set < 0 && b.set >= 0;
  const plan_set &x = p->sets[a.set], &y = p->sets[b.set];
  if (x.copy_only != y.copy_only) return !x.copy_only;
  if (x.last_lsn != y.last_lsn) return x.last_lsn > y.last_lsn;
  return a.set < b.set;
}

// The best chain that reaches the point (reaching: true), or else the one
// that reaches furthest towards it.
pick choose(const planner* p, bool reaching) {
  pick best{-1, -1, 0, 0, 0, false};
  const bool by_reach = !p->to_point || !reaching;
  auto consider = [&](const pick& c) {
    const bool at_point = !p->to_point || (c.set < 0 ? c.finish == p->stop : c.finish >= p->stop);
    if (at_point == reaching && better(p, c, best, by_reach)) best = c;
  };
  for (int32_t b = 0; b < p->nbases; ++b) {
    const chain_end e = base_end(p, b);
    consider(pick{-1, b, 0, e.finish, e.at, true});
  }
  for (int32_t i = 0; i < p->n; ++i) {
    if (p->dist[i] > 0) consider(pick{i, p->rank[i], p->dist[i], p->sets[i].finish_ticks, p->sets[i].last_lsn, true});
  }
  return best;
}

chain_end end_of(const planner* p, const pick& c) { return c.set < 0 ? base_end(p, c.base) : log_end(p->sets[c.set]); }

// A log of another recovery path stands in the way of the chain at e.
int refuse_fork(const chain_end& e, const char* reached_text, const plan_set& s, restore_plan* plan) {
  char text[PLAN_REFUSAL_BYTES], a[40], b[40], f1[40], f2[40], f3[40];
  lsn_text(e.at, a);
  guid_text(e.fork, f1);
  guid_text(s.first_fork, f2);
  guid_text(s.last_fork, f3);
  lsn_text(s.fork_point_lsn, b);
  if (crosses(s))
    std::snprintf(text, sizeof text,
                  "recovery fork in the way: the restore reaches LSN %s (%s) on fork %s, but the log backup "
                  "finished %s crosses from fork %s to fork %s at LSN %s",
                  a, reached_text, f1, s.finish, f2, f3, b);
  else
    std::snprintf(text, sizeof text,
                  "recovery fork in the way: the restore reaches LSN %s (%s) on fork %s, but the log backup "
                  "finished %s is on fork %s",
                  a, reached_text, f1, s.finish, f2);
  return refuse(plan, text);
}

// Why the chain that ends at e goes no further than it must: a later log of
// its database that continues it but is missing a family, or lies on
// another recovery path, or starts past a hole; without stop_at, any later
// log of its database (none may be left out). 0 when none; else -1 with the
// refusal.
int obstacle(const planner* p, const chain_end& e, const char* reached_text, restore_plan* plan) {
  int32_t lost = -1, other = -1, beyond = -1, stray = -1;
  for (int32_t i = 0; i < p->n; ++i) {
    const plan_set& s = p->sets[i];
    if (s.type != SET_LOG || !(s.database == e.database) || s.finish_ticks < e.finish ||
        (s.finish_ticks == e.finish && s.last_lsn <= e.at))
      continue;
    const bool on_path = s.first_fork == e.fork;
    if (s.first_lsn <= e.at && s.last_lsn > e.at) {
      if (on_path && e.at < join_limit(s) && !usable(s)) lost = lost < 0 ? i : lost;
      else if (!on_path || e.at >= join_limit(s) || (crosses(s) && p->to_point)) other = other < 0 ? i : other;
    } else if (on_path && s.first_lsn > e.at) {
      if (beyond < 0 || s.first_lsn < p->sets[beyond].first_lsn) beyond = i;
    } else if (!p->to_point && stray < 0) {
      stray = i;
    }
  }
  if (lost >= 0) return refuse_incomplete(plan, p->sets[lost]);
  if (other >= 0) return refuse_fork(e, reached_text, p->sets[other], plan);
  if (beyond >= 0) {
    char text[PLAN_REFUSAL_BYTES], a[40], b[40];
    lsn_text(e.at, a);
    lsn_text(p->sets[beyond].first_lsn, b);
    std::snprintf(text, sizeof text,
                  "gap in the log chain: the restore reaches LSN %s (%s) but the next log backup starts at LSN %s "
                  "(finished %s)",
                  a, reached_text, b, p->sets[beyond].finish);
    return refuse(plan, text);
  }
  return stray >= 0 ? refuse_fork(e, reached_text, p->sets[stray], plan) : 0;
}

const char* finish_text(const planner* p, const pick& c) {
  const plan_base& b = p->bases[c.base];
  return p->sets[c.set >= 0 ? c.set : b.diff >= 0 ? b.diff : b.full].finish;
}

// No chain reaches stop_at (or there is no base): the refusal of today's
// texts, naming how far the best chain goes.
int refuse_short(const planner* p, const char* stop_at, restore_plan* plan) {
  char text[PLAN_REFUSAL_BYTES];
  if (p->nbases == 0) {
    int32_t newest = -1;
    for (int32_t i = 0; i < p->n; ++i) {
      const plan_set& s = p->sets[i];
      if (s.type == SET_FULL && s.finish_ticks <= p->stop && (newest < 0 || s.finish_ticks > p->sets[newest].finish_ticks))
        newest = i;
    }
    if (newest >= 0) return refuse_incomplete(plan, p->sets[newest]);
    if (!p->to_point) return refuse(plan, "no full backup of the database to start from");
    std::snprintf(text, sizeof text, "no full backup of the database finished by stop_at %s", stop_at);
    return refuse(plan, text);
  }
  const pick far = choose(p, false);
  const chain_end e = end_of(p, far);
  if (obstacle(p, e, finish_text(p, far), plan) != 0) return -1;
  char a[40];
  lsn_text(e.at, a);
  std::snprintf(text, sizeof text, "stop_at %s is past the end of the backup chain, which reaches %s (LSN %s)",
                stop_at, finish_text(p, far), a);
  return refuse(plan, text);
}

// The steps of the chosen chain, base first; the fulls and differentials
// of its database newer than its full (and by stop_at) that were passed over.
int write_plan(const planner* p, const pick& c, const char* stop_at, restore_plan* plan) {
  const int32_t total = c.logs + (p->bases[c.base].diff >= 0 ? 2 : 1);
  if (total > MAX_PLAN_STEPS) {
    char text[PLAN_REFUSAL_BYTES];
    std::snprintf(text, sizeof text, "the restore needs more than %d backup sets", MAX_PLAN_STEPS);
    return refuse(plan, text);
  }
  const plan_base& b = p->bases[c.base];
  plan->steps = total;
  plan->step[0] = plan_step{b.full, SET_FULL, 0};
  if (b.diff >= 0) plan->step[1] = plan_step{b.diff, SET_DIFFERENTIAL, 0};
  int32_t k = total;
  for (int32_t i = c.set; i >= 0; i = p->from[i]) plan->step[--k] = plan_step{i, SET_LOG, 0};
  if (c.set >= 0 && holds_point(p, p->sets[c.set].finish_ticks)) plan->step[total - 1].stop_at = 1;
  plan->reached_ticks = p->to_point ? p->stop : c.finish;
  utf8_copy_cut(plan->reached, sizeof plan->reached, p->to_point ? stop_at : finish_text(p, c));
  const plan_set& full = p->sets[b.full];
  for (int32_t i = 0; i < p->n; ++i) {
    const plan_set& s = p->sets[i];
    if ((s.type != SET_FULL && s.type != SET_DIFFERENTIAL) || usable(s) || !(s.database == full.database) ||
        s.finish_ticks <= full.finish_ticks || s.finish_ticks > p->stop)
      continue;
    if (plan->passed < MAX_PASSED_OVER)
      plan->pass[plan->passed++] = plan_pass{i, static_cast<uint8_t>(s.incomplete ? PASS_MISSING_FAMILIES : PASS_UNREADABLE)};
    ++plan->passed_total;
  }
  return 0;
}

int plan_with(planner* p, const char* stop_at, restore_plan* plan) {
  const int32_t n = p->n;
  p->logs = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * (n + 1)));
  p->dist = static_cast<int32_t*>(std::calloc(n + 1, sizeof(int32_t)));
  p->from = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * (n + 1)));
  p->rank = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * (n + 1)));
  p->layer = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * (n + 1)));
  p->next = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * (n + 1)));
  if (p->logs == nullptr || p->dist == nullptr || p->from == nullptr || p->rank == nullptr || p->layer == nullptr ||
      p->next == nullptr || !build_logs(p) || !build_bases(p))
    return refuse(plan, "not enough memory to plan the restore");
  search(p);
  const pick best = choose(p, true);
  if (!best.found) return refuse_short(p, stop_at, plan);
  if (!p->to_point && obstacle(p, end_of(p, best), finish_text(p, best), plan) != 0) return -1;
  return write_plan(p, best, stop_at, plan);
}

}  // namespace

int plan_restore(const plan_set* sets, int32_t count, const char* stop_at, restore_plan* plan) {
  plan->steps = 0;
  plan->refusal[0] = 0;
  plan->reached[0] = 0;
  plan->reached_ticks = 0;
  plan->passed = plan->passed_total = 0;
  planner p{};
  p.sets = sets;
  p.n = count < 0 ? 0 : count;
  p.to_point = stop_at != nullptr && stop_at[0] != 0;
  p.stop = INT64_MAX;
  if (p.to_point && !time_parse(stop_at, &p.stop)) return refuse(plan, "invalid stop_at");
  const int rc = plan_with(&p, stop_at, plan);
  planner_free(&p);
  return rc;
}

int plan_single(const plan_set* sets, int32_t count, int32_t position, const char* stop_at, restore_plan* plan) {
  plan->steps = 0;
  plan->refusal[0] = 0;
  plan->passed = plan->passed_total = 0;
  for (int32_t i = 0; i < count; ++i) {
    const plan_set& s = sets[i];
    if (s.position != position) continue;
    if (s.type != SET_FULL && s.type != SET_DIFFERENTIAL && s.type != SET_LOG) break;
    if (s.incomplete) return refuse_incomplete(plan, s);
    add_step(plan, i, s.type, s.type == SET_LOG && stop_at != nullptr && stop_at[0] != 0);
    plan->reached_ticks = s.finish_ticks;
    utf8_copy_cut(plan->reached, sizeof plan->reached, s.finish);
    if (plan->step[0].stop_at && time_parse(stop_at, &plan->reached_ticks))
      utf8_copy_cut(plan->reached, sizeof plan->reached, stop_at);
    return 0;
  }
  char text[PLAN_REFUSAL_BYTES];
  std::snprintf(text, sizeof text, "no database or log backup set at position %d", position);
  return refuse(plan, text);
}
