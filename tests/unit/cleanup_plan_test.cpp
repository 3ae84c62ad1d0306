// Retention decisions: folder matching, and property tests on random
// histories of two databases (paths reused WITH INIT, striped media sets,
// some lacking a family in the history, sets of both databases appended to
// one file, lost logs, copy-only sets, files that cannot be read, were
// overwritten outside the history or are gone) and random windows, checked
// against what is really on disk: histories of a simple model, and those of
// the restore planner's own property test (recovery forks, databases
// created again, logs taken during a full, differentials on several bases).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "plan_life.h"
#include "vaultrun/cleanup_plan.h"

namespace {

TEST(CleanupPlan, PathUnderFolder) {
  struct row {
    const char* path;
    const char* folder;
    bool under;
  };
  const row rows[] = {
      {"C:\\Backups\\db\\a.bak", "C:\\Backups", true},
      {"c:/backups/DB/a.bak", "C:\\Backups\\", true},    // separators and case as the server compares
      {"C:\\Backups2\\a.bak", "C:\\Backups", false},     // a sibling that shares the prefix
      {"C:\\Backups", "C:\\Backups", false},             // the folder itself
      {"C:\\Backups\\", "C:\\Backups", false},
      {"C:\\Backups\\..\\Windows\\a.bak", "C:\\Backups", false},
      {"C:\\Backups\\a..b.bak", "C:\\Backups", true},    // dots inside a name are no step up
      {"/var/opt/bk/a.bak", "/var/opt/bk", true},
      {"/var/opt/bk//a.bak", "/var/opt/bk", false},
      {"/var/opt/bkx/a.bak", "/var/opt/bk/", false},
      {"\\\\nas\\share\\a.bak", "//NAS/share", true},
  };
  for (const row& r : rows) EXPECT_EQ(path_under_folder(r.path, r.folder), r.under) << r.path << " in " << r.folder;
}

TEST(CleanupPlan, TicksTextReadsBack) {
  for (const char* t : {"0001-01-01T00:00:00.0000000", "2024-02-29T23:59:59.9999999", "2026-12-11T05:30:00.1250000",
                        "1999-03-01T00:00:00.0000000"}) {
    int64_t ticks = 0;
    ASSERT_TRUE(time_parse(t, &ticks));
    char back[SET_TIME_BYTES];
    ticks_text(ticks, back);
    EXPECT_STREQ(back, t);
  }
}

// ---- Random histories -----------------------------------------------------------

constexpr int64_t MINUTE = 600000000;
constexpr int64_t HOUR = 60 * MINUTE;

// One database's history so far. A database dropped and created again
// under the same name is a new incarnation: its LSNs start over, so they
// overlap the old one's, and only its GUID keeps the two apart.
struct db_state {
  lsn_t lsn = 1000, base_checkpoint = 0, log_tail = 0;
  bool has_full = false;
  uint64_t incarnation = 1;
};

struct media_rec {
  int64_t id;
  std::string uuid;
  std::vector<int> files;
  int families = 0;  // more than its files: the history lost a family's row
};

// A history, the disk it describes and what the labels show.
struct world {
  std::vector<std::string> paths;
  std::vector<uint8_t> url;
  std::vector<int> disk;          // the media set each file holds; -1: something the history never names
  std::vector<uint8_t> unreadable;
  std::vector<uint8_t> missing;  // the server says no such file
  std::vector<media_rec> media;
  std::vector<cleanup_set> sets;
  int64_t now = 0, keep = 0;
};

int new_file(world* w, std::mt19937& rng) {
  const int n = static_cast<int>(w->paths.size());
  const int where = static_cast<int>(rng() % 10);
  std::string path;
  if (where < 6) path = "C:\\bk\\f" + std::to_string(n) + ".bak";
  else if (where < 8) path = "c:/BK/sub/f" + std::to_string(n) + ".bak";  // the same folder, spelled otherwise
  else if (where < 9) path = "D:\\elsewhere\\f" + std::to_string(n) + ".bak";
  else path = "https://acct.example/c/f" + std::to_string(n) + ".bak";
  w->paths.push_back(path);
  w->url.push_back(where == 9);
  w->disk.push_back(-1);
  w->unreadable.push_back(0);
  w->missing.push_back(0);
  return n;
}

// A new media set on files (written WITH INIT: each file holds it alone now).
int new_media(world* w, std::vector<int> files) {
  const int m = static_cast<int>(w->media.size());
  w->media.push_back({100 + m, "uuid-" + std::to_string(m), files, 0});
  for (int f : files) w->disk[f] = m;
  return m;
}

// Where the next set goes: a new file, a file reused WITH INIT, the media set
// a file holds (appended), or a new striped media set.
int choose_media(world* w, std::mt19937& rng) {
  const int how = static_cast<int>(rng() % 20);
  const int nfiles = static_cast<int>(w->paths.size());
  if (how < 4 && nfiles > 0) return new_media(w, {static_cast<int>(rng() % nfiles)});
  if (how < 9 && nfiles > 0) {
    const int m = w->disk[rng() % nfiles];
    bool whole = m >= 0;
    for (int f : whole ? w->media[m].files : std::vector<int>{}) whole = whole && w->disk[f] == m;
    if (whole) return m;
  }
  if (how < 11) {
    const int a = new_file(w, rng), b = new_file(w, rng);
    const int m = new_media(w, {a, b});
    if (rng() % 6 == 0) w->media[m].families = 3;
    return m;
  }
  return new_media(w, {new_file(w, rng)});
}

// A draw of 64 bits: spans of ticks exceed one draw's 32.
uint64_t wide(std::mt19937& rng) { return uint64_t(rng()) << 32 | rng(); }

// Puts a set of the history on the disk: into a media set chosen as above,
// at the next position in it.
void place(world* w, std::mt19937& rng, plan_set s, bool other) {
  s.media = choose_media(w, rng);
  int pos = 0;
  for (const cleanup_set& c : w->sets) pos += c.set.media == s.media;
  s.position = pos + 1;
  w->sets.push_back({s, static_cast<int64_t>(1 + rng() % 5000) * 1024, static_cast<uint8_t>(other)});
}

void add_set(world* w, std::mt19937& rng, db_state* d, bool other, int64_t when) {
  plan_set s{};
  s.database = set_guid{d->incarnation, 0};
  s.first_fork = s.last_fork = set_guid{d->incarnation, 1};
  d->lsn += 10 + rng() % 90;
  const int roll = static_cast<int>(rng() % 20);
  s.copy_only = rng() % 10 == 0;
  if (!d->has_full || roll < 3) {
    s.type = SET_FULL;
    s.first_lsn = d->lsn;
    s.checkpoint_lsn = d->lsn + 1;
    s.last_lsn = d->lsn + 2;
    s.database_backup_lsn = d->base_checkpoint;
    if (!s.copy_only) d->base_checkpoint = s.checkpoint_lsn;
    if (!d->has_full) d->log_tail = d->lsn;
    d->has_full = true;
  } else if (roll < 7) {
    s.type = SET_DIFFERENTIAL;
    s.first_lsn = d->lsn;
    s.checkpoint_lsn = d->lsn + 1;
    s.last_lsn = d->lsn + 2;
    s.differential_base_lsn = d->base_checkpoint;
  } else {
    if (rng() % 30 == 0) d->log_tail = d->lsn - 5;  // a log taken elsewhere: the chain has a gap
    s.type = SET_LOG;
    s.first_lsn = d->log_tail;
    s.last_lsn = d->lsn;
    if (!s.copy_only) d->log_tail = d->lsn;
  }
  d->lsn += 3;
  s.finish_ticks = when;
  ticks_text(when, s.finish);
  place(w, rng, s, other);
}

// Files overwritten outside the history, unreadable, or gone.
void spoil_files(world* w, std::mt19937& rng) {
  for (size_t f = 0; f < w->paths.size(); ++f) {
    if (w->url[f]) continue;
    const int roll = static_cast<int>(rng() % 40);
    if (roll == 0) w->disk[f] = -1;                                  // overwritten outside the history
    else if (roll == 1) w->unreadable[f] = 1;                        // there, but the label fails
    else if (roll == 2) w->unreadable[f] = 1, w->disk[f] = -1;       // gone, and the label fails
    else if (roll < 6) w->missing[f] = 1, w->disk[f] = -1;           // gone, and the server says so
  }
}

world make_world(std::mt19937& rng) {
  world w;
  db_state ours, theirs;
  theirs.incarnation = 1000;
  int64_t t = 0;
  time_parse("2026-12-01 00:00:00", &t);
  const int events = 5 + static_cast<int>(rng() % 50);
  for (int i = 0; i < events; ++i) {
    t += 10 * MINUTE + static_cast<int64_t>(rng() % (12 * 60)) * MINUTE;
    const bool other = rng() % 5 == 0;
    if (!other && rng() % 40 == 0) ours = db_state{.incarnation = ours.incarnation + 1};
    add_set(&w, rng, other ? &theirs : &ours, other, t);
  }
  spoil_files(&w, rng);
  w.now = t + static_cast<int64_t>(rng() % 48) * HOUR;
  w.keep = (1 + static_cast<int64_t>(rng() % (7 * 24))) * HOUR;
  return w;
}

// The disk after the restore planner's model of a database's life, with a
// set of another database now and then between its sets and a log lost now
// and then; the window is from a minute to the whole history.
world make_world_from_life(std::mt19937& rng) {
  world w;
  vaultrun_test::life l(rng());
  l.database = l.guid();
  l.fork = l.guid();
  l.full_recovery = l.chance(80);
  const int64_t events = l.between(4, 40);
  for (int64_t i = 0; i < events; ++i) l.event();
  db_state theirs;
  theirs.incarnation = 1000;
  int64_t first = INT64_MAX, last = 0;
  for (plan_set s : l.h.sets) {
    if (s.type == SET_LOG && rng() % 25 == 0) continue;
    if (rng() % 5 == 0) add_set(&w, rng, &theirs, true, s.finish_ticks);
    ticks_text(s.finish_ticks, s.finish);
    place(&w, rng, s, false);
    first = std::min(first, s.finish_ticks);
    last = std::max(last, s.finish_ticks);
  }
  spoil_files(&w, rng);
  const int64_t span = w.sets.empty() ? HOUR : last - first + MINUTE;
  w.now = (w.sets.empty() ? 0 : last) + static_cast<int64_t>(rng() % 120) * MINUTE;
  w.keep = MINUTE + static_cast<int64_t>(wide(rng) % static_cast<uint64_t>(span));
  return w;
}

// The sets of our database that the disk really offers, with gone files removed.
std::vector<plan_set> on_disk(const world& w, const std::vector<uint8_t>& gone) {
  std::vector<plan_set> out;
  for (const cleanup_set& c : w.sets) {
    if (c.other_database) continue;
    bool whole = true;
    for (int f : w.media[c.set.media].files) whole = whole && !gone[f] && w.disk[f] == c.set.media;
    if (!whole) continue;
    out.push_back(c.set);
    out.back().incomplete = w.media[c.set.media].families > static_cast<int>(w.media[c.set.media].files.size());
  }
  return out;
}

// The point a plan reaches, or -1 when it is refused.
int64_t reach(const std::vector<plan_set>& sets, const char* at, std::set<std::pair<int32_t, int32_t>>* used) {
  static restore_plan plan;
  if (plan_restore(sets.data(), static_cast<int32_t>(sets.size()), at, &plan) != 0) return -1;
  if (plan.steps == 0) return -1;
  for (int i = 0; i < plan.steps; ++i) {
    const plan_set& s = sets[plan.step[i].set];
    if (used) used->insert({s.media, s.position});
  }
  const plan_set& last = sets[plan.step[plan.steps - 1].set];
  if (at == nullptr) return last.finish_ticks;
  int64_t t = 0;
  time_parse(at, &t);
  return t;
}

struct decided {
  std::vector<cleanup_media> media;
  std::vector<int32_t> media_files;
  std::vector<cleanup_file> files;
  std::vector<const char*> folders;
  cleanup_input in{};
  cleanup_result result{};
};

void decide(const world& w, decided* d) {
  for (const media_rec& m : w.media) {
    cleanup_media cm{};
    cm.id = m.id;
    std::snprintf(cm.uuid, sizeof cm.uuid, "%s", m.uuid.c_str());
    cm.at = static_cast<int32_t>(d->media_files.size());
    cm.count = static_cast<int32_t>(m.files.size());
    cm.families = m.families;
    for (int f : m.files) d->media_files.push_back(f);
    d->media.push_back(cm);
  }
  for (size_t f = 0; f < w.paths.size(); ++f) {
    cleanup_file cf{};
    cf.path = w.paths[f].c_str();
    cf.url = w.url[f];
    if (!cf.url && w.missing[f]) cf.label = LABEL_MISSING;
    else if (!cf.url && w.unreadable[f]) cf.label = LABEL_FAILED;
    else if (!cf.url && w.disk[f] < 0) cf.label = LABEL_READ, std::snprintf(cf.label_uuid, sizeof cf.label_uuid, "x");
    else if (!cf.url) cf.label = LABEL_READ, std::snprintf(cf.label_uuid, sizeof cf.label_uuid, "%s",
                                                             w.media[w.disk[f]].uuid.c_str());
    d->files.push_back(cf);
  }
  d->folders = {"C:\\bk\\", "Q:\\empty"};
  d->in = cleanup_input{w.sets.data(), static_cast<int32_t>(w.sets.size()), d->media.data(),
                        static_cast<int32_t>(d->media.size()), d->media_files.data(), d->files.data(),
                        static_cast<int32_t>(d->files.size()), d->folders.data(),
                        static_cast<int32_t>(d->folders.size()), w.now, w.keep};
  ASSERT_TRUE(cleanup_decide(&d->in, &d->result));
}

// The points that stand for the window, and some at random.
std::vector<int64_t> probe_points(const world& w, std::mt19937& rng) {
  const int64_t start = w.now - w.keep;
  std::vector<int64_t> points{start, w.now};
  for (const cleanup_set& c : w.sets) {
    for (int64_t t : {c.set.finish_ticks - 1, c.set.finish_ticks, c.set.finish_ticks + 1}) {
      if (t >= start && t <= w.now) points.push_back(t);
    }
  }
  for (int i = 0; i < 10; ++i) points.push_back(start + static_cast<int64_t>(wide(rng) % static_cast<uint64_t>(w.keep)));
  return points;
}

struct figures {
  long files = 0, deleted = 0;
  std::array<long, CLEANUP_VERDICTS> by_reason{};
};

// Decides the world's files and checks the promise against the disk: every
// point of the window, and the newest one, plans to the same point from
// what is left; nothing deleted held a set of the window, one a plan to it
// used, or one of another database; deletion runs oldest first.
void check_cleanup(const world& w, int h, std::mt19937& rng, figures* fig) {
  decided d;
  decide(w, &d);
  if (::testing::Test::HasFatalFailure()) return;
  const int64_t start = w.now - w.keep;
  std::vector<uint8_t> gone(w.paths.size(), 0);
  for (int32_t k = 0; k < d.result.deletable; ++k) {
    const int32_t f = d.result.order[k];
    gone[f] = 1;
    if (k > 0) {
      EXPECT_LE(d.files[d.result.order[k - 1]].newest_ticks, d.files[f].newest_ticks);
    }
  }
  const std::vector<plan_set> before = on_disk(w, std::vector<uint8_t>(w.paths.size(), 0));
  const std::vector<plan_set> after = on_disk(w, gone);
  std::set<std::pair<int32_t, int32_t>> needed;
  char at[SET_TIME_BYTES];
  for (int64_t t : probe_points(w, rng)) {
    ticks_text(t, at);
    const int64_t was = reach(before, at, &needed);
    if (was >= 0) {
      EXPECT_EQ(reach(after, at, nullptr), was) << "history " << h << " point " << at;
    }
  }
  const int64_t newest = reach(before, nullptr, &needed);
  if (newest >= 0) {
    EXPECT_EQ(reach(after, nullptr, nullptr), newest) << "history " << h << " newest point";
  }
  for (size_t f = 0; f < gone.size(); ++f) {
    ++fig->files;
    ++fig->by_reason[d.files[f].verdict];
    if (!gone[f]) {
      EXPECT_NE(d.files[f].verdict, CLEAN_DELETE);
      continue;
    }
    ++fig->deleted;
    EXPECT_FALSE(w.url[f] || w.unreadable[f]) << w.paths[f];
    for (const cleanup_set& c : w.sets) {
      if (c.set.media != w.disk[f]) continue;
      EXPECT_FALSE(c.other_database) << "history " << h << " " << w.paths[f];
      EXPECT_LT(c.set.finish_ticks, start) << "history " << h << " " << w.paths[f];
      EXPECT_EQ(needed.count({c.set.media, c.set.position}), 0u) << "history " << h << " " << w.paths[f];
    }
  }
  // What remains reaches back to the window's start whenever the disk did.
  char oldest[SET_TIME_BYTES];
  ticks_text(start, at);
  const bool labels_true = std::count(w.unreadable.begin(), w.unreadable.end(), 1) == 0;
  if (labels_true && reach(before, at, nullptr) >= 0) {
    EXPECT_LE(cleanup_oldest_restorable(&d.in, gone.data(), oldest), start) << "history " << h;
  }
  cleanup_result_free(&d.result);
}

void print_figures(int histories, const figures& fig) {
  std::printf("[ figures  ] %d histories, %ld files: %ld deleted, kept:", histories, fig.files, fig.deleted);
  for (int v = 1; v < CLEANUP_VERDICTS; ++v) std::printf(" %ld %s;", fig.by_reason[v], cleanup_verdict_text(v));
  std::printf("\n");
}

// Ten thousand worlds of one kind, each checked, and the figures printed;
// the worlds must exercise deletion.
void check_worlds(world (*make)(std::mt19937&), uint32_t seed) {
  std::mt19937 rng(seed);
  constexpr int HISTORIES = 10000;
  figures fig;
  for (int h = 0; h < HISTORIES && !::testing::Test::HasFatalFailure(); ++h) check_cleanup(make(rng), h, rng, &fig);
  print_figures(HISTORIES, fig);
  EXPECT_GT(fig.deleted, fig.files / 20);
}

TEST(CleanupPlan, RandomHistoriesKeepEveryPointOfTheWindow) { check_worlds(make_world, 20261211); }

TEST(CleanupPlan, ThePlannersOwnHistoriesKeepEveryPointOfTheWindow) { check_worlds(make_world_from_life, 20261212); }

}  // namespace
