// Reading a restore's sources: the history of the source database, the
// labels and headers of backup files, into the work record's sets.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vaultrun.h"
#include "vaultrun/answers.h"
#include "vaultrun/doc_text.h"
#include "vaultrun/restore_work.h"
#include "vaultrun/statements.h"
#include "vaultrun/restore_sources.h"

namespace restore_impl {

namespace {

const char TOO_MANY_SETS[] = "the backup sets to plan from are more than 65536";
const char NAMES_TOO_LONG[] = "the backup file names to plan from are too long";
const char PATH_TOO_LONG[] = "a backup file name from the server is too long";

}  // namespace

// One row of the history: a set, or a further family of the set before.
const char* on_history_row(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* w = static_cast<restore_work*>(ctx);
  plan_set s;
  history_row r;
  const char* refusal = set_from_history_row(meta, row, &s, &r);
  if (std::strlen(r.path) > PATH_MAX_BYTES) return PATH_TOO_LONG;
  if (w->src.nsets > 0 && r.set_id == w->src.last_set_id) {
    media_entry& m = w->src.media[w->src.nsets - 1];
    if (m.count == 0) return nullptr;  // a set on a device that cannot be read
    if (m.count == MAX_RESTORE_TARGETS) return "a backup set in the history has more than 64 files";
    if (!add_name(&w->src, r.path)) return NAMES_TOO_LONG;
    ++m.count;
    return nullptr;
  }
  w->src.last_set_id = r.set_id;
  if (!grow_sets(&w->src)) return TOO_MANY_SETS;
  if (refusal != nullptr) return refusal;
  s.media = w->src.nsets;
  media_entry m{static_cast<uint32_t>(w->src.names_len), 0, r.family_count};
  if (r.readable_device) {
    if (!add_name(&w->src, r.path)) return NAMES_TOO_LONG;
    m.count = 1;
  }
  w->src.sets[w->src.nsets] = s;
  w->src.media[w->src.nsets] = m;
  ++w->src.nsets;
  return nullptr;
}

// HEADERONLY rows of one media set: the sets of the source database.
struct header_ctx {
  restore_work* w;
  const char* database;  // null: every set (an explicit set)
  uint32_t names_at;
  int32_t files;
  uint8_t incomplete;
};

const char* on_header_row(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* h = static_cast<header_ctx*>(ctx);
  restore_work* w = h->w;
  plan_set s;
  const char* database = "";
  const char* refusal = set_from_header_row(meta, row, &s, &database);
  if (h->database != nullptr && !equal_nocase(database, h->database)) return nullptr;
  if (!grow_sets(&w->src)) return TOO_MANY_SETS;
  if (refusal != nullptr) return refusal;
  s.media = w->src.nsets;
  s.incomplete = h->incomplete;
  w->src.sets[w->src.nsets] = s;
  w->src.media[w->src.nsets] = media_entry{h->names_at, h->files, h->files};
  ++w->src.nsets;
  return nullptr;
}

const char* on_label_row(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* w = static_cast<restore_work*>(ctx);
  std::snprintf(w->src.media_id, sizeof w->src.media_id, "%s", cell_of(meta, row, "MediaSetId"));
  w->src.family_count = static_cast<int32_t>(int_of(cell_of(meta, row, "FamilyCount")));
  w->src.family_seq = static_cast<int32_t>(int_of(cell_of(meta, row, "FamilySequenceNumber")));
  return nullptr;
}

// The sets of the history of the source database, in one query.
bool read_history(session_outcome* o, tds_conn* conn, restore_work* w) {
  if (!restore_history_statement(&w->cfg, w->sql, sizeof w->sql)) return outcome_fail(o, "statement too long"), false;
  w->src.last_set_id = -1;
  if (!query(o, conn, w->sql, on_history_row, w)) return false;
  // A media set with fewer family rows than it has families cannot be read.
  for (int32_t i = 0; i < w->src.nsets; ++i) {
    if (w->src.media[i].count > 0 && w->src.media[i].count < w->src.media[i].families) w->src.sets[i].incomplete = 1;
  }
  return true;
}

// The sets of one media set whose files are t, through HEADERONLY.
bool read_headers(session_outcome* o, tds_conn* conn, restore_work* w, const restore_targets* t, const char* database,
                  uint8_t incomplete) {
  header_ctx h{w, database, static_cast<uint32_t>(w->src.names_len), t->count, incomplete};
  for (int i = 0; i < t->count; ++i) {
    if (!add_name(&w->src, t->path[i])) return outcome_fail(o, NAMES_TOO_LONG), false;
  }
  if (!restore_headeronly_statement(&w->cfg, t, w->sql, sizeof w->sql)) return outcome_fail(o, "statement too long"), false;
  const int32_t before = w->src.nsets;
  if (tds_exec_rows(conn, w->sql, on_header_row, &h) >= 0) return true;
  // A media set of the backup files that the server refuses to read (a
  // stripe missing, a damaged header) is passed over, not the restore; the
  // planner takes the best chain without it.
  if (database == nullptr || conn->err_number == 0) return outcome_fail(o, conn->err), false;
  w->src.nsets = before;
  if (w->src.nunread < static_cast<int32_t>(sizeof w->src.unread / sizeof w->src.unread[0]))
    w->src.unread[w->src.nunread++] = restore_sets::unread_media{h.names_at, incomplete};
  return true;
}

// The sets of the backup files: each file's label names its media set and
// family; the files of one media set are read together, in family order,
// and a media set whose families are not all listed is marked incomplete
// (the planner refuses it if the chain needs it).
bool read_backup_files(session_outcome* o, tds_conn* conn, restore_work* w) {
  const backup_config& cfg = w->cfg;
  const int n = cfg.backup_file_count;
  static_assert(MAX_BACKUP_FILES <= 256, "labels are kept in a fixed table");
  struct label {
    char media_id[64];
    int32_t count, seq;
    bool done;
  };
  auto* labels = static_cast<label*>(std::calloc(static_cast<size_t>(n), sizeof(label)));
  if (labels == nullptr) return outcome_fail(o, "out of memory"), false;
  bool ok = true;
  for (int i = 0; ok && i < n; ++i) {
    w->src.media_id[0] = 0;
    w->src.family_count = w->src.family_seq = 0;
    ok = restore_labelonly_statement(&cfg, restore_backup_file(&cfg, i), w->sql, sizeof w->sql);
    if (!ok) outcome_fail(o, "statement too long");
    else ok = query(o, conn, w->sql, on_label_row, w);
    std::memcpy(labels[i].media_id, w->src.media_id, sizeof w->src.media_id);
    labels[i].count = w->src.family_count;
    labels[i].seq = w->src.family_seq;
  }
  for (int i = 0; ok && i < n; ++i) {
    if (labels[i].done) continue;
    // The files of this media set, by family sequence number.
    restore_targets t{};
    int32_t seen = 0;
    const int32_t count = labels[i].count >= 1 && labels[i].count <= MAX_RESTORE_TARGETS ? labels[i].count : 1;
    for (int32_t seq = 1; seq <= count; ++seq) {
      for (int j = i; j < n; ++j) {
        if (labels[j].done || std::strcmp(labels[j].media_id, labels[i].media_id) != 0) continue;
        if (labels[j].seq != seq && !(count == 1 && j == i)) continue;
        labels[j].done = true;
        t.path[t.count++] = restore_backup_file(&cfg, j);
        ++seen;
        break;
      }
    }
    // Files of the same media set beyond its families (a file listed twice)
    // are read once.
    for (int j = i; j < n; ++j) {
      if (std::strcmp(labels[j].media_id, labels[i].media_id) == 0) labels[j].done = true;
    }
    if (t.count == 0) t.path[t.count++] = restore_backup_file(&cfg, i);
    ok = read_headers(o, conn, w, &t, restore_source(&cfg), seen < count);
  }
  std::free(labels);
  return ok;
}

}  // namespace restore_impl
