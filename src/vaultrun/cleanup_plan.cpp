#include "vaultrun/cleanup_plan.h"

#include "vaultrun/config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* cleanup_verdict_text(uint8_t verdict) {
  static const char* const TEXTS[CLEANUP_VERDICTS] = {
      "deleted",
      "needed for a point in the window",
      "needed for the newest restorable point",
      "newer than the window",
      "holds a set of another database",
      "outside the folders",
      "a URL",
      "the file holds another media set than the history names",
      "the file cannot be read",
      "kept while more than 5 files of the database cannot be read",
      "not reached: the cleanup stopped before it",
      "the file is already gone",
  };
  return verdict < CLEANUP_VERDICTS ? TEXTS[verdict] : "unknown";
}

void cleanup_result_free(cleanup_result* r) {
  std::free(r->order);
  r->order = nullptr;
  r->deletable = 0;
}

namespace {

char fold(char c) {
  if (c == '/') return '\\';
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool is_sep(char c) { return c == '/' || c == '\\'; }

}  // namespace

bool path_under_folder(const char* path, const char* folder) {
  if (path_has_parent_component(path) || path_has_parent_component(folder)) return false;
  size_t fl = std::strlen(folder);
  while (fl > 0 && is_sep(folder[fl - 1])) --fl;
  if (fl == 0 || std::strlen(path) <= fl + 1) return false;
  for (size_t i = 0; i < fl; ++i) {
    if (fold(path[i]) != fold(folder[i])) return false;
  }
  return is_sep(path[fl]) && !is_sep(path[fl + 1]);
}

void ticks_text(int64_t ticks, char* out) {
  const int64_t secs = ticks / 10000000;
  const int64_t frac = ticks % 10000000;
  const int64_t z = secs / 86400 + 306;  // days since 0000-03-01
  const int64_t sod = secs % 86400;
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = yoe + era * 400 + (m <= 2);
  std::snprintf(out, SET_TIME_BYTES, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%07lld", static_cast<long long>(y),
                static_cast<long long>(m), static_cast<long long>(d), static_cast<long long>(sod / 3600),
                static_cast<long long>(sod / 60 % 60), static_cast<long long>(sod % 60),
                static_cast<long long>(frac));
}

namespace {

// Files whose label failed may be there or not; the sets every such case
// needs are kept, so their cases are tried one by one, and a history with
// more of them than that allows deletes nothing.
constexpr int32_t MAX_UNREADABLE = 5;

// Scratch of the planning: this database's restorable sets, packed for the
// planner, with the index of each in the input.
struct plan_scratch {
  plan_set* sets;
  int32_t* origin;
  int32_t count;
  restore_plan* plan;
  int64_t* points;
  int32_t npoints;
  int32_t unreadable[MAX_UNREADABLE];
  int32_t nunreadable;
};

// Whether file f holds media set m now, as far as the labels tell; a file
// whose label failed holds it in the cases whose bit for it is set.
bool file_holds(const cleanup_input* in, const plan_scratch* p, int32_t f, int32_t m, uint32_t present,
                const uint8_t* gone) {
  const cleanup_file& file = in->files[f];
  if (file.media != m || (gone != nullptr && gone[f])) return false;
  if (file.label == LABEL_READ) return std::strcmp(file.label_uuid, in->media[m].uuid) == 0;
  if (file.label == LABEL_FAILED) {
    for (int32_t k = 0; k < p->nunreadable; ++k) {
      if (p->unreadable[k] == f) return (present >> k & 1u) != 0;
    }
    return false;
  }
  if (file.label == LABEL_MISSING) return false;
  return true;  // not read (a URL, a file outside the folders): as the history says
}

void pack_available(const cleanup_input* in, uint32_t present, const uint8_t* gone, plan_scratch* p) {
  p->count = 0;
  for (int32_t i = 0; i < in->nsets; ++i) {
    const cleanup_set& s = in->sets[i];
    if (s.other_database) continue;
    const cleanup_media& m = in->media[s.set.media];
    bool whole = m.count > 0;
    for (int32_t k = 0; whole && k < m.count; ++k)
      whole = file_holds(in, p, in->media_files[m.at + k], s.set.media, present, gone);
    if (!whole) continue;
    p->sets[p->count] = s.set;
    // The restore passes over a set whose media set lacks a family.
    if (m.families > m.count) p->sets[p->count].incomplete = 1;
    p->origin[p->count++] = i;
  }
}

// The files of this database whose label failed; false when more than the
// cases can cover.
bool find_unreadable(const cleanup_input* in, plan_scratch* p) {
  p->nunreadable = 0;
  for (int32_t f = 0; f < in->nfiles; ++f) {
    if (in->files[f].label != LABEL_FAILED || !in->files[f].ours || in->files[f].media < 0) continue;
    if (p->nunreadable == MAX_UNREADABLE) return false;
    p->unreadable[p->nunreadable++] = f;
  }
  return true;
}

int compare_ticks(const void* a, const void* b) {
  const int64_t x = *static_cast<const int64_t*>(a), y = *static_cast<const int64_t*>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

// The points whose plans stand for every point of the window: its start,
// each finish inside it, and a point just before each finish (the plans
// between two finishes are all alike).
void window_points(const cleanup_input* in, plan_scratch* p) {
  const int64_t start = in->now_ticks - in->keep_ticks;
  int32_t n = 0;
  p->points[n++] = start;
  for (int32_t i = 0; i < in->nsets; ++i) {
    const int64_t f = in->sets[i].set.finish_ticks;
    if (in->sets[i].other_database || f <= start || f > in->now_ticks) continue;
    p->points[n++] = f;
    if (f - 1 > start) p->points[n++] = f - 1;
  }
  std::qsort(p->points, static_cast<size_t>(n), sizeof(int64_t), compare_ticks);
  int32_t u = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (u == 0 || p->points[u - 1] != p->points[i]) p->points[u++] = p->points[i];
  }
  p->npoints = u;
}

// Marks (with mark) the sets of the plan to each window point, and of the
// plan to the newest point.
void mark_needed(plan_scratch* p, uint8_t* needed) {
  char at[SET_TIME_BYTES];
  for (int32_t k = 0; k <= p->npoints; ++k) {
    const bool newest = k == p->npoints;
    if (!newest) ticks_text(p->points[k], at);
    if (plan_restore(p->sets, p->count, newest ? nullptr : at, p->plan) != 0) continue;
    const uint8_t mark = newest ? KEEP_NEWEST : KEEP_NEEDED;
    for (int32_t s = 0; s < p->plan->steps; ++s) {
      uint8_t& n = needed[p->origin[p->plan->step[s].set]];
      if (n == 0 || mark == KEEP_NEEDED) n = mark;
    }
  }
}

bool scratch_new(const cleanup_input* in, plan_scratch* p) {
  const size_t n = static_cast<size_t>(in->nsets) + 1;
  p->sets = static_cast<plan_set*>(std::malloc(n * sizeof(plan_set)));
  p->origin = static_cast<int32_t*>(std::malloc(n * sizeof(int32_t)));
  p->points = static_cast<int64_t*>(std::malloc((2 * n + 1) * sizeof(int64_t)));
  p->plan = static_cast<restore_plan*>(std::malloc(sizeof(restore_plan)));
  return p->sets != nullptr && p->origin != nullptr && p->points != nullptr && p->plan != nullptr;
}

void scratch_free(plan_scratch* p) {
  std::free(p->sets);
  std::free(p->origin);
  std::free(p->points);
  std::free(p->plan);
}

// The newest media set that names each file, and what the file holds.
void file_contents(cleanup_input* in) {
  for (int32_t f = 0; f < in->nfiles; ++f) {
    in->files[f].media = -1;
    in->files[f].ours = 0;
  }
  for (int32_t m = 0; m < in->nmedia; ++m) {
    for (int32_t k = 0; k < in->media[m].count; ++k) {
      cleanup_file& file = in->files[in->media_files[in->media[m].at + k]];
      if (file.media < 0 || in->media[file.media].id < in->media[m].id) file.media = m;
    }
  }
  for (int32_t i = 0; i < in->nsets; ++i) {
    if (in->sets[i].other_database) continue;
    const cleanup_media& m = in->media[in->sets[i].set.media];
    for (int32_t k = 0; k < m.count; ++k) in->files[in->media_files[m.at + k]].ours = 1;
  }
  for (int32_t f = 0; f < in->nfiles; ++f) {
    cleanup_file& file = in->files[f];
    file.newest_ticks = 0;
    file.bytes = 0;
    if (file.media < 0) continue;
    const cleanup_media& m = in->media[file.media];
    const bool first = in->media_files[m.at] == f;
    for (int32_t i = 0; i < in->nsets; ++i) {
      const cleanup_set& s = in->sets[i];
      if (s.set.media != file.media) continue;
      if (s.set.finish_ticks > file.newest_ticks) file.newest_ticks = s.set.finish_ticks;
      // A set striped over several files: an equal share each, the rest to
      // the first family.
      file.bytes += s.bytes / m.count + (first ? s.bytes % m.count : 0);
    }
  }
}

bool under_any(const cleanup_input* in, const char* path) {
  for (int32_t i = 0; i < in->nfolders; ++i) {
    if (path_under_folder(path, in->folders[i])) return true;
  }
  return false;
}

uint8_t verdict_of(const cleanup_input* in, int32_t f, const uint8_t* needed) {
  const cleanup_file& file = in->files[f];
  if (!file.ours) return KEEP_OTHER_DATABASE;  // no backup of this database ever named it
  if (file.url) return KEEP_URL;
  if (!under_any(in, file.path)) return KEEP_OUTSIDE;
  if (file.label == LABEL_MISSING) return KEEP_GONE;
  if (file.label != LABEL_READ) return KEEP_UNREADABLE;
  if (file.media < 0 || std::strcmp(file.label_uuid, in->media[file.media].uuid) != 0) return KEEP_OTHER_MEDIA;
  const int64_t start = in->now_ticks - in->keep_ticks;
  uint8_t verdict = CLEAN_DELETE;
  for (int32_t i = 0; i < in->nsets; ++i) {
    const cleanup_set& s = in->sets[i];
    if (s.set.media != file.media) continue;
    if (s.other_database) return KEEP_OTHER_DATABASE;
    if (s.set.finish_ticks >= start) verdict = KEEP_NEWER;
    else if (verdict == CLEAN_DELETE || (verdict == KEEP_NEWEST && needed[i] == KEEP_NEEDED)) verdict = needed[i];
  }
  return verdict;
}

}  // namespace

bool cleanup_decide(cleanup_input* in, cleanup_result* out) {
  out->deletable = 0;
  out->order = nullptr;
  file_contents(in);
  for (int32_t f = 0; f < in->nfiles; ++f) in->files[f].verdict = KEEP_UNREADABLE;
  plan_scratch p{};
  auto* needed = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(in->nsets) + 1, 1));
  out->order = static_cast<int32_t*>(std::malloc((static_cast<size_t>(in->nfiles) + 1) * sizeof(int32_t)));
  const bool ok = needed != nullptr && out->order != nullptr && scratch_new(in, &p);
  if (ok) {
    window_points(in, &p);
    const bool certain = find_unreadable(in, &p);
    for (uint32_t present = 0; certain && present < (1u << p.nunreadable); ++present) {
      pack_available(in, present, nullptr, &p);
      mark_needed(&p, needed);
    }
    for (int32_t f = 0; f < in->nfiles; ++f) {
      in->files[f].verdict = verdict_of(in, f, needed);
      if (!certain && in->files[f].verdict == CLEAN_DELETE) in->files[f].verdict = KEEP_UNCERTAIN;
      if (in->files[f].verdict == CLEAN_DELETE) out->order[out->deletable++] = f;
    }
    // Oldest first (insertion: the files of one database are few enough).
    for (int32_t i = 1; i < out->deletable; ++i) {
      const int32_t f = out->order[i];
      int32_t j = i;
      for (; j > 0 && in->files[out->order[j - 1]].newest_ticks > in->files[f].newest_ticks; --j)
        out->order[j] = out->order[j - 1];
      out->order[j] = f;
    }
  }
  scratch_free(&p);
  std::free(needed);
  if (!ok) cleanup_result_free(out);
  return ok;
}

int64_t cleanup_oldest_restorable(const cleanup_input* in, const uint8_t* gone, char* out) {
  out[0] = 0;
  plan_scratch p{};
  int64_t found = -1;
  if (scratch_new(in, &p)) {
    pack_available(in, 0, gone, &p);
    p.npoints = 0;
    for (int32_t i = 0; i < p.count; ++i) p.points[p.npoints++] = p.sets[i].finish_ticks;
    std::qsort(p.points, static_cast<size_t>(p.npoints), sizeof(int64_t), compare_ticks);
    char at[SET_TIME_BYTES];
    for (int32_t k = 0; k < p.npoints && found < 0; ++k) {
      ticks_text(p.points[k], at);
      if (plan_restore(p.sets, p.count, at, p.plan) == 0) {
        found = p.points[k];
        std::memcpy(out, at, SET_TIME_BYTES);
      }
    }
  }
  scratch_free(&p);
  return found;
}
