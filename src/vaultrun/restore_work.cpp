#include "vaultrun/restore_work.h"

#include <cstdlib>
#include <cstring>

#include "vaultrun/secret.h"

namespace restore_impl {

void work_free(restore_work* w) {
  if (w == nullptr) return;
  wipe_secret(w->cfg.password, sizeof w->cfg.password);
  std::free(w->src.sets);
  std::free(w->src.media);
  std::free(w->src.names);
  std::free(w);
}

// Room for one more set; false when the bounds refuse it.
bool grow_sets(restore_sets* src) {
  if (src->nsets < src->set_cap) return true;
  if (src->set_cap >= MAX_SETS) return false;
  const int32_t cap = src->set_cap == 0 ? 256 : src->set_cap * 2;
  auto* sets = static_cast<plan_set*>(std::realloc(src->sets, sizeof(plan_set) * cap));
  if (sets != nullptr) src->sets = sets;
  auto* media = static_cast<media_entry*>(std::realloc(src->media, sizeof(media_entry) * cap));
  if (media != nullptr) src->media = media;
  if (sets == nullptr || media == nullptr) return false;
  src->set_cap = cap;
  return true;
}

// Appends a file name (with its terminator) to the name area.
bool add_name(restore_sets* src, const char* path) {
  const size_t len = std::strlen(path);
  if (len == 0 || len > PATH_MAX_BYTES) return false;
  if (src->names_len + len + 1 > src->names_cap) {
    size_t cap = src->names_cap == 0 ? 65536 : src->names_cap * 2;
    while (cap < src->names_len + len + 1) cap *= 2;
    if (cap > NAMES_CAP) return false;
    char* names = static_cast<char*>(std::realloc(src->names, cap));
    if (names == nullptr) return false;
    src->names = names;
    src->names_cap = cap;
  }
  std::memcpy(src->names + src->names_len, path, len + 1);
  src->names_len += len + 1;
  return true;
}

// The files of set i as statement targets.
void targets_of(const restore_work* w, int32_t i, restore_targets* t) {
  const media_entry& m = w->src.media[i];
  t->count = 0;
  const char* p = w->src.names + m.at;
  for (int32_t k = 0; k < m.count && k < MAX_RESTORE_TARGETS; ++k) {
    t->path[t->count++] = p;
    p += std::strlen(p) + 1;
  }
}

// A query of the restore's reading phase, its rows to on_row.
bool query(session_outcome* o, tds_conn* conn, const char* sql, tds_row_fn on_row, void* ctx) {
  if (tds_exec_rows(conn, sql, on_row, ctx) >= 0) return true;
  outcome_fail(o, conn->err);
  return false;
}

restore_work* work_new(const backup_config* cfg) {
  auto* w = static_cast<restore_work*>(std::calloc(1, sizeof(restore_work)));
  if (w != nullptr) w->cfg = *cfg;
  return w;
}

}  // namespace restore_impl
