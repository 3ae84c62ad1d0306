#include "vaultrun/restore_worker.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vaultrun.h"
#include "vaultrun/answers.h"
#include "vaultrun/doc_text.h"
#include "vaultrun/restore_plan.h"
#include "vaultrun/restore_sources.h"
#include "vaultrun/restore_test.h"
#include "vaultrun/secret.h"
#include "vaultrun/session_outcome.h"
#include "vaultrun/statements.h"

const char* restore_progress_name(int32_t kind) {
  static const char* const NAMES[] = {"full", "differential", "log", "recovery"};
  return kind >= 0 && kind <= PROGRESS_RECOVERY ? NAMES[kind] : "full";
}

namespace {

// Bounds on what the sources may offer: sets (after the newest full in the
// history), the bytes of their file names together, and one name.
constexpr int32_t MAX_SETS = 65536;
constexpr size_t NAMES_CAP = 16u << 20;
constexpr size_t PATH_MAX_BYTES = 1023;

// The backup files of one set, one after another in the name area.
struct media_entry {
  uint32_t at;  // offset of the first file name
  int32_t count;
  int32_t families;  // of the media set, as its source says (0: not said)
};

// Everything a restore holds while it plans and runs, on the heap: the sets
// and their file names grow with the history; the plan and the statement
// buffer are of fixed size.
struct restore_work {
  // The restore's own configuration: the session's, or a restore test's
  // copy of it with the copy's name as the target.
  backup_config cfg;
  plan_set* sets;
  media_entry* media;
  int32_t nsets, set_cap;
  char* names;
  size_t names_len, names_cap;
  restore_plan plan;
  restore_moves moves;
  char move_names[MAX_RESTORE_FILES][2][PATH_MAX_BYTES + 1];
  char data_folder[PATH_MAX_BYTES + 1];
  char log_folder[PATH_MAX_BYTES + 1];
  char sql[RESTORE_STATEMENT_CAP];
  // Row reading: the refusal of a row (a constant), the set the history's
  // next family row may belong to, and the LABELONLY answer of one file.
  const char* row_refusal;
  int64_t last_set_id;
  char media_id[64];
  int32_t family_count, family_seq;
  // Media sets of the backup files whose headers the server would not
  // read: passed over, named in the result (the first few).
  struct unread_media {
    uint32_t at;  // offset of its first file name
    uint8_t missing_families;
  } unread[8];
  int32_t nunread;
};

void work_free(restore_work* w) {
  if (w == nullptr) return;
  wipe_secret(w->cfg.password, sizeof w->cfg.password);
  std::free(w->sets);
  std::free(w->media);
  std::free(w->names);
  std::free(w);
}

const char TOO_MANY_SETS[] = "the backup sets to plan from are more than 65536";
const char NAMES_TOO_LONG[] = "the backup file names to plan from are too long";
const char PATH_TOO_LONG[] = "a backup file name from the server is too long";

// Room for one more set; false when the bounds refuse it.
bool grow_sets(restore_work* w) {
  if (w->nsets < w->set_cap) return true;
  if (w->set_cap >= MAX_SETS) return false;
  const int32_t cap = w->set_cap == 0 ? 256 : w->set_cap * 2;
  auto* sets = static_cast<plan_set*>(std::realloc(w->sets, sizeof(plan_set) * cap));
  if (sets != nullptr) w->sets = sets;
  auto* media = static_cast<media_entry*>(std::realloc(w->media, sizeof(media_entry) * cap));
  if (media != nullptr) w->media = media;
  if (sets == nullptr || media == nullptr) return false;
  w->set_cap = cap;
  return true;
}

// Appends a file name (with its terminator) to the name area.
bool add_name(restore_work* w, const char* path) {
  const size_t len = std::strlen(path);
  if (len == 0 || len > PATH_MAX_BYTES) return false;
  if (w->names_len + len + 1 > w->names_cap) {
    size_t cap = w->names_cap == 0 ? 65536 : w->names_cap * 2;
    while (cap < w->names_len + len + 1) cap *= 2;
    if (cap > NAMES_CAP) return false;
    char* names = static_cast<char*>(std::realloc(w->names, cap));
    if (names == nullptr) return false;
    w->names = names;
    w->names_cap = cap;
  }
  std::memcpy(w->names + w->names_len, path, len + 1);
  w->names_len += len + 1;
  return true;
}

// The files of set i as statement targets.
void targets_of(const restore_work* w, int32_t i, restore_targets* t) {
  const media_entry& m = w->media[i];
  t->count = 0;
  const char* p = w->names + m.at;
  for (int32_t k = 0; k < m.count && k < MAX_RESTORE_TARGETS; ++k) {
    t->path[t->count++] = p;
    p += std::strlen(p) + 1;
  }
}

// ---- Reading the sources -----------------------------------------------------

constexpr auto& cell_of = row_cell;
constexpr auto& int_of = row_int;

// One row of the history: a set, or a further family of the set before.
const char* on_history_row(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* w = static_cast<restore_work*>(ctx);
  plan_set s;
  history_row r;
  const char* refusal = set_from_history_row(meta, row, &s, &r);
  if (std::strlen(r.path) > PATH_MAX_BYTES) return PATH_TOO_LONG;
  if (w->nsets > 0 && r.set_id == w->last_set_id) {
    media_entry& m = w->media[w->nsets - 1];
    if (m.count == 0) return nullptr;  // a set on a device that cannot be read
    if (m.count == MAX_RESTORE_TARGETS) return "a backup set in the history has more than 64 files";
    if (!add_name(w, r.path)) return NAMES_TOO_LONG;
    ++m.count;
    return nullptr;
  }
  w->last_set_id = r.set_id;
  if (!grow_sets(w)) return TOO_MANY_SETS;
  if (refusal != nullptr) return refusal;
  s.media = w->nsets;
  media_entry m{static_cast<uint32_t>(w->names_len), 0, r.family_count};
  if (r.readable_device) {
    if (!add_name(w, r.path)) return NAMES_TOO_LONG;
    m.count = 1;
  }
  w->sets[w->nsets] = s;
  w->media[w->nsets] = m;
  ++w->nsets;
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
  if (!grow_sets(w)) return TOO_MANY_SETS;
  if (refusal != nullptr) return refusal;
  s.media = w->nsets;
  s.incomplete = h->incomplete;
  w->sets[w->nsets] = s;
  w->media[w->nsets] = media_entry{h->names_at, h->files, h->files};
  ++w->nsets;
  return nullptr;
}

const char* on_label_row(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* w = static_cast<restore_work*>(ctx);
  std::snprintf(w->media_id, sizeof w->media_id, "%s", cell_of(meta, row, "MediaSetId"));
  w->family_count = static_cast<int32_t>(int_of(cell_of(meta, row, "FamilyCount")));
  w->family_seq = static_cast<int32_t>(int_of(cell_of(meta, row, "FamilySequenceNumber")));
  return nullptr;
}

// ---- The session ---------------------------------------------------------------

// A query of the restore's reading phase, its rows to on_row.
bool query(session_outcome* o, tds_conn* conn, const char* sql, tds_row_fn on_row, void* ctx) {
  if (tds_exec_rows(conn, sql, on_row, ctx) >= 0) return true;
  outcome_fail(o, conn->err);
  return false;
}

// The sets of the history of the source database, in one query.
bool read_history(session_outcome* o, tds_conn* conn, restore_work* w) {
  if (!restore_history_statement(&w->cfg, w->sql, sizeof w->sql)) return outcome_fail(o, "statement too long"), false;
  w->last_set_id = -1;
  if (!query(o, conn, w->sql, on_history_row, w)) return false;
  // A media set with fewer family rows than it has families cannot be read.
  for (int32_t i = 0; i < w->nsets; ++i) {
    if (w->media[i].count > 0 && w->media[i].count < w->media[i].families) w->sets[i].incomplete = 1;
  }
  return true;
}

// The sets of one media set whose files are t, through HEADERONLY.
bool read_headers(session_outcome* o, tds_conn* conn, restore_work* w, const restore_targets* t, const char* database,
                  uint8_t incomplete) {
  header_ctx h{w, database, static_cast<uint32_t>(w->names_len), t->count, incomplete};
  for (int i = 0; i < t->count; ++i) {
    if (!add_name(w, t->path[i])) return outcome_fail(o, NAMES_TOO_LONG), false;
  }
  if (!restore_headeronly_statement(&w->cfg, t, w->sql, sizeof w->sql)) return outcome_fail(o, "statement too long"), false;
  const int32_t before = w->nsets;
  if (tds_exec_rows(conn, w->sql, on_header_row, &h) >= 0) return true;
  // A media set of the backup files that the server refuses to read (a
  // stripe missing, a damaged header) is passed over, not the restore; the
  // planner takes the best chain without it.
  if (database == nullptr || conn->err_number == 0) return outcome_fail(o, conn->err), false;
  w->nsets = before;
  if (w->nunread < static_cast<int32_t>(sizeof w->unread / sizeof w->unread[0]))
    w->unread[w->nunread++] = restore_work::unread_media{h.names_at, incomplete};
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
    w->media_id[0] = 0;
    w->family_count = w->family_seq = 0;
    ok = restore_labelonly_statement(&cfg, restore_backup_file(&cfg, i), w->sql, sizeof w->sql);
    if (!ok) outcome_fail(o, "statement too long");
    else ok = query(o, conn, w->sql, on_label_row, w);
    std::memcpy(labels[i].media_id, w->media_id, sizeof w->media_id);
    labels[i].count = w->family_count;
    labels[i].seq = w->family_seq;
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

// ---- Where the files go ------------------------------------------------------

struct file_row_ctx {
  restore_work* w;
  const backup_config* cfg;
  int32_t data_files, log_files, other_files;
  const char* refusal;
};

// The target database's name as a file name: characters no file system
// takes become "_".
void put_file_stem(char* out, size_t cap, const char* database) {
  size_t n = 0;
  for (const char* p = database; *p && n + 1 < cap; ++p) {
    const char c = *p;
    out[n++] = std::strchr("\\/:*?\"<>|", c) != nullptr ? '_' : c;
  }
  out[n] = 0;
}

// Joins folder and name with the folder's own separator.
bool join_path(char* out, size_t cap, const char* folder, const char* name) {
  const size_t fl = std::strlen(folder);
  const bool has_sep = fl > 0 && (folder[fl - 1] == '\\' || folder[fl - 1] == '/');
  const char sep = std::strchr(folder, '/') != nullptr && std::strchr(folder, '\\') == nullptr ? '/' : '\\';
  const int n = std::snprintf(out, cap, "%s%s%s", folder, has_sep || fl == 0 ? "" : (sep == '/' ? "/" : "\\"), name);
  return n > 0 && static_cast<size_t>(n) < cap;
}

// One FILELISTONLY row: the file's new path under the default folders,
// named after the target database and unique by construction: the first
// data file <db>.mdf, further ones <db>_<n>.ndf, the log <db>_log.ldf,
// further logs <db>_log<n>.ldf, other files <db>_file<n>.
const char* on_file_row(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* f = static_cast<file_row_ctx*>(ctx);
  restore_work* w = f->w;
  const int32_t i = w->moves.count;
  if (i == MAX_RESTORE_FILES) return "the database has more than 128 files";
  const char* logical = cell_of(meta, row, "LogicalName");
  const char* type = cell_of(meta, row, "Type");
  if (logical[0] == 0 || std::strlen(logical) > 3 * 128) return "a file of the backup set has no usable logical name";
  char stem[3 * 128 + 1];
  put_file_stem(stem, sizeof stem, f->cfg->database);
  char name[3 * 128 + 32];
  const char* folder = w->data_folder;
  if (type[0] == 'L') {
    folder = w->log_folder;
    ++f->log_files;
    if (f->log_files == 1) std::snprintf(name, sizeof name, "%s_log.ldf", stem);
    else std::snprintf(name, sizeof name, "%s_log%d.ldf", stem, f->log_files);
  } else if (type[0] == 'D') {
    ++f->data_files;
    if (f->data_files == 1) std::snprintf(name, sizeof name, "%s.mdf", stem);
    else std::snprintf(name, sizeof name, "%s_%d.ndf", stem, f->data_files);
  } else {
    ++f->other_files;
    std::snprintf(name, sizeof name, "%s_file%d", stem, f->other_files);
  }
  std::memcpy(w->move_names[i][0], logical, std::strlen(logical) + 1);
  if (!join_path(w->move_names[i][1], sizeof w->move_names[i][1], folder, name))
    return "a default file path is too long";
  w->moves.logical[i] = w->move_names[i][0];
  w->moves.physical[i] = w->move_names[i][1];
  w->moves.count = i + 1;
  return nullptr;
}

const char* on_folder_row(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* w = static_cast<restore_work*>(ctx);
  const char* data = cell_of(meta, row, "data_path");
  const char* log = cell_of(meta, row, "log_path");
  if (std::strlen(data) > PATH_MAX_BYTES - 64 || std::strlen(log) > PATH_MAX_BYTES - 64)
    return "the server's default folders are too long";
  std::memcpy(w->data_folder, data, std::strlen(data) + 1);
  std::memcpy(w->log_folder, log, std::strlen(log) + 1);
  return nullptr;
}

// The moves of the first step: as listed, or every file of the first set
// under the server's default folders.
bool plan_moves(session_outcome* o, tds_conn* conn, restore_work* w) {
  const backup_config& cfg = w->cfg;
  w->moves.count = 0;
  // Files move with the full backup's step only; an explicit differential
  // or log restores into the files already placed.
  if (w->plan.step[0].type != SET_FULL) return true;
  const int32_t mode = restore_move_mode(&cfg);
  if (mode == MOVE_LISTED) {
    for (int i = 0; i < cfg.move_count; ++i) {
      w->moves.logical[i] = restore_move_logical(&cfg, i);
      w->moves.physical[i] = restore_move_physical(&cfg, i);
    }
    w->moves.count = cfg.move_count;
    return true;
  }
  if (mode != MOVE_DEFAULT) return true;
  w->data_folder[0] = w->log_folder[0] = 0;
  if (!restore_folders_statement(w->sql, sizeof w->sql)) return outcome_fail(o, "statement too long"), false;
  if (!query(o, conn, w->sql, on_folder_row, w)) return false;
  if (w->data_folder[0] == 0 || w->log_folder[0] == 0) {
    return outcome_fail(o, "the server names no default data and log folders"), false;
  }
  const int32_t first = w->plan.step[0].set;
  restore_targets t;
  targets_of(w, first, &t);
  if (!restore_filelist_statement(&cfg, &t, w->sets[first].position, w->sql, sizeof w->sql)) {
    return outcome_fail(o, "statement too long"), false;
  }
  file_row_ctx f{w, &cfg, 0, 0, 0, nullptr};
  if (!query(o, conn, w->sql, on_file_row, &f)) return false;
  if (w->moves.count == 0) return outcome_fail(o, "the backup set lists no files"), false;
  return true;
}

// ---- The result document ---------------------------------------------------------

const char* step_type_name(uint8_t type) {
  return type == SET_FULL ? "full" : type == SET_DIFFERENTIAL ? "differential" : "log";
}

// The first `done` steps as an array member: each step's kind, first
// file, position and finish time, and with statements (a dry run) the
// statement of each.
void doc_steps(doc_text* d, restore_work* w, const char* name, int32_t done, bool statements,
               bool close = true);

// The statement of plan step k into w->sql.
bool step_statement(restore_work* w, int32_t k) {
  const plan_step& st = w->plan.step[k];
  restore_targets t;
  targets_of(w, st.set, &t);
  const restore_step_kind kind = st.type == SET_FULL ? STEP_FULL : st.type == SET_DIFFERENTIAL ? STEP_DIFFERENTIAL
                                                                                               : STEP_LOG;
  return restore_step_statement(&w->cfg, kind, &t, w->sets[st.set].position, k == 0 ? &w->moves : nullptr,
                                st.stop_at != 0, w->sql, sizeof w->sql);
}

void doc_steps(doc_text* d, restore_work* w, const char* name, int32_t done, bool statements,
               bool close) {
  doc_raw(d, ",\"");
  doc_raw(d, name);
  doc_raw(d, "\":[");
  for (int32_t k = 0; k < done; ++k) {
    const plan_step& st = w->plan.step[k];
    const plan_set& set = w->sets[st.set];
    restore_targets t;
    targets_of(w, st.set, &t);
    doc_raw(d, k == 0 ? "{\"type\":" : ",{\"type\":");
    doc_string(d, step_type_name(st.type));
    doc_member(d, "target", t.count > 0 ? t.path[0] : "");
    doc_number(d, "position", set.position);
    doc_member(d, "finished", set.finish);
    if (statements) {
      if (!step_statement(w, k)) d->failed = true;
      else doc_member(d, "statement", w->sql);
    }
    doc_raw(d, "}");
  }
  if (statements && w->cfg.recovery && restore_recovery_statement(&w->cfg, w->sql, sizeof w->sql)) {
    doc_raw(d, done > 0 ? ",{\"type\":\"recovery\"" : "{\"type\":\"recovery\"");
    doc_member(d, "statement", w->sql);
    doc_raw(d, "}");
  }
  if (close) doc_raw(d, "]");
}

void doc_names(doc_text* d, restore_work* w) {
  doc_member(d, "database", w->cfg.database);
  doc_member(d, "source_database", restore_source(&w->cfg));
}

// The fulls and differentials the plan passed over, and why; no member
// when there were none.
void doc_passed_over(doc_text* d, restore_work* w) {
  const restore_plan& plan = w->plan;
  if (plan.passed == 0 && w->nunread == 0) return;
  doc_raw(d, ",\"passed_over\":[");
  for (int32_t k = 0; k < w->nunread; ++k) {
    doc_raw(d, k == 0 ? "{\"type\":null" : ",{\"type\":null");
    doc_member(d, "target", w->names + w->unread[k].at);
    doc_raw(d, ",\"position\":null,\"finished\":null");
    doc_member(d, "reason", w->unread[k].missing_families ? "its media set is missing families"
                                                         : "its header cannot be read");
    doc_raw(d, "}");
  }
  for (int32_t k = 0; k < plan.passed; ++k) {
    const plan_set& set = w->sets[plan.pass[k].set];
    restore_targets t;
    targets_of(w, plan.pass[k].set, &t);
    doc_raw(d, k + w->nunread == 0 ? "{\"type\":" : ",{\"type\":");
    doc_string(d, step_type_name(set.type));
    doc_member(d, "target", t.count > 0 ? t.path[0] : "");
    doc_number(d, "position", set.position);
    doc_member(d, "finished", set.finish);
    doc_member(d, "reason", plan.pass[k].reason == PASS_MISSING_FAMILIES ? "its media set is missing families"
                                                                          : "its header cannot be read");
    doc_raw(d, "}");
  }
  doc_raw(d, "]");
}

void doc_stop_at(doc_text* d, restore_work* w) {
  if (w->cfg.stop_at[0] != 0) doc_member(d, "stop_at", w->cfg.stop_at);
  else doc_raw(d, ",\"stop_at\":null");
}

// The failure after a RESTORE was sent: the server's cause, the steps that
// completed, and that the database was not recovered (it is left
// restoring).
void report_failure(session_outcome* o, restore_work* w, int32_t done, const char* error) {
  outcome_fail(o, error);
  doc_text* d = &o->members;
  doc_member(d, "database", w->cfg.database);
  doc_steps(d, w, "restored", done, false);
  doc_raw(d, ",\"recovered\":false");
}

void report_plan(session_outcome* o, restore_work* w) {
  doc_text* d = &o->members;
  doc_raw(d, ",\"dry_run\":true");
  doc_names(d, w);
  doc_steps(d, w, "plan", w->plan.steps, true);
  doc_passed_over(d, w);
  doc_stop_at(d, w);
  doc_raw(d, w->cfg.recovery ? ",\"recovered\":true" : ",\"recovered\":false");
}

void report_done(session_outcome* o, restore_work* w, int64_t start_ms) {
  doc_text* d = &o->members;
  doc_names(d, w);
  doc_steps(d, w, "restored", w->plan.steps, false);
  doc_passed_over(d, w);
  doc_stop_at(d, w);
  doc_raw(d, w->cfg.recovery ? ",\"recovered\":true" : ",\"recovered\":false");
  doc_number(d, "elapsed_ms", plat_mono_ms() - start_ms);
}

// A restore's share of the progress: all of it, or the first 80 percent in
// a restore test, where the check and the drop follow.
int32_t phase_percent(backup_session* s, int32_t percent) {
  return s->phase.load(std::memory_order_relaxed) == PHASE_RESTORE ? percent * 80 / 100 : percent;
}

// Step k (from 0) starts: the share of the steps before it is done.
void start_step(backup_session* s, int32_t k, int32_t kind) {
  s->step_type.store(kind, std::memory_order_relaxed);
  s->step.store(k + 1, std::memory_order_relaxed);
  const int32_t steps = s->steps.load(std::memory_order_relaxed);
  if (steps > 0) s->percent.store(phase_percent(s, k * 100 / steps), std::memory_order_relaxed);
}

struct file_check {
  const restore_moves* moves;
  char clash[PATH_MAX_BYTES + 1];
};

const char* on_master_file_row(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* f = static_cast<file_check*>(ctx);
  if (f->clash[0] != 0) return nullptr;
  const char* existing = cell_of(meta, row, "physical_name");
  for (int32_t i = 0; i < f->moves->count; ++i) {
    if (equal_nocase(existing, f->moves->physical[i])) {
      utf8_copy_cut(f->clash, sizeof f->clash, f->moves->physical[i]);
      break;
    }
  }
  return nullptr;
}

// Paths derived for the files, with REPLACE: none may be a file of another
// database, which REPLACE would overwrite.
bool derived_paths_own(session_outcome* o, tds_conn* conn, restore_work* w) {
  if (!w->cfg.replace || restore_move_mode(&w->cfg) != MOVE_DEFAULT || w->moves.count == 0) return true;
  if (!other_files_statement(w->cfg.database, w->sql, sizeof w->sql)) return outcome_fail(o, "statement too long"), false;
  file_check f{&w->moves, ""};
  if (!query(o, conn, w->sql, on_master_file_row, &f)) return false;
  if (f.clash[0] == 0) return true;
  char text[TDS_ERR_SIZE];
  std::snprintf(text, sizeof text, "replace refused: the file belongs to another database: ");
  utf8_copy_cut(text + std::strlen(text), sizeof text - std::strlen(text), f.clash);
  return outcome_fail(o, text), false;
}

// Reads the sources and plans: the steps, the moves and every statement,
// before anything that changes the server is sent. False once failed.
bool restore_prepare(session_outcome* o, tds_conn* conn, restore_work* w) {
  const backup_config& cfg = w->cfg;
  const bool explicit_set = backup_target_count(&cfg) > 0;
  if (explicit_set) {
    restore_targets t{};
    for (int i = 0; i < backup_target_count(&cfg); ++i) t.path[t.count++] = backup_target(&cfg, i);
    if (!read_headers(o, conn, w, &t, nullptr, 0)) return false;
    if (plan_single(w->sets, w->nsets, cfg.file > 0 ? cfg.file : 1, cfg.stop_at, &w->plan) != 0)
      return outcome_fail(o, w->plan.refusal), false;
  } else {
    if (cfg.backup_file_count > 0 ? !read_backup_files(o, conn, w) : !read_history(o, conn, w)) return false;
    if (plan_restore(w->sets, w->nsets, cfg.stop_at, &w->plan) != 0) return outcome_fail(o, w->plan.refusal), false;
  }
  if (!plan_moves(o, conn, w) || !derived_paths_own(o, conn, w)) return false;
  // Every statement must be buildable before the first is sent.
  for (int32_t k = 0; k < w->plan.steps; ++k) {
    if (!step_statement(w, k)) return outcome_fail(o, "statement too long"), false;
  }
  if (cfg.recovery && !restore_recovery_statement(&cfg, w->sql, sizeof w->sql))
    return outcome_fail(o, "statement too long"), false;
  return true;
}

// A statement that could not be built fails where it would have gone out:
// nothing is sent (the buffer still holds the one before), and the cause
// reads as the connection's own.
void unbuilt(tds_conn* conn) {
  tds_set_err(conn, "statement too long");
  conn->err_number = 0;
}

// Runs the planned steps and the recovery. Returns the steps completed;
// all of them (plan steps, and the recovery when asked) on success.
int32_t restore_steps(backup_session* s, tds_conn* conn, restore_work* w) {
  const backup_config& cfg = w->cfg;
  const int32_t steps = w->plan.steps + (cfg.recovery ? 1 : 0);
  s->steps.store(steps, std::memory_order_relaxed);
  for (int32_t k = 0; k < w->plan.steps; ++k) {
    const uint8_t type = w->plan.step[k].type;
    start_step(s, k, type == SET_FULL ? PROGRESS_FULL : type == SET_DIFFERENTIAL ? PROGRESS_DIFFERENTIAL
                                                                                 : PROGRESS_LOG);
    if (!step_statement(w, k)) return unbuilt(conn), k;
    if (tds_exec(conn, w->sql, nullptr, nullptr, 0) < 0) return k;
  }
  if (cfg.recovery) {
    start_step(s, w->plan.steps, PROGRESS_RECOVERY);
    if (!restore_recovery_statement(&cfg, w->sql, sizeof w->sql)) return unbuilt(conn), w->plan.steps;
    if (tds_exec(conn, w->sql, nullptr, nullptr, 0) < 0) return w->plan.steps;
  }
  return steps;
}

// Plans and runs; the caller frees w.
void restore_with(backup_session* s, session_outcome* o, tds_conn* conn, restore_work* w) {
  if (!restore_prepare(o, conn, w)) return;
  if (w->cfg.dry_run) return report_plan(o, w);
  const int32_t done = restore_steps(s, conn, w);
  if (done < w->plan.steps + (w->cfg.recovery ? 1 : 0)) return report_failure(o, w, done, conn->err);
  s->percent.store(100, std::memory_order_relaxed);
  report_done(o, w, s->start_ms);
}

restore_work* work_new(const backup_config* cfg) {
  auto* w = static_cast<restore_work*>(std::calloc(1, sizeof(restore_work)));
  if (w != nullptr) w->cfg = *cfg;
  return w;
}

}  // namespace

session_outcome run_restore(backup_session* s, tds_conn* conn) {
  session_outcome o = outcome_begin();
  restore_work* w = work_new(&s->cfg);
  if (w == nullptr) outcome_fail(&o, "out of memory");
  else restore_with(s, &o, conn, w);
  work_free(w);
  return o;
}

// ---- Restore tests ----------------------------------------------------------------
// The chain is restored under a name the server found free and this session
// claimed, checked with DBCC CHECKDB, and dropped by the identity the server
// gave it once it exists, whatever happened after.

namespace {

// Server errors a DROP DATABASE answers that decide what was left behind.
constexpr int32_t ERR_DATABASE_IN_USE = 3702;   // an old session still holds it
constexpr int64_t DEFAULT_RECONNECT_MS = 15000;
constexpr int64_t DROP_BOUND_MS = 60000;

const char* const CHECKDB_MODES[] = {"full", "physical_only", "none"};

struct test_run {
  scratch_copy copy;
  int32_t steps_done;
  bool restored;       // every step and the recovery completed
  bool checked;        // CHECKDB answered, or none was asked for
  bool damaged;
  bool cancelled;
  int32_t failed_phase;  // session_phase; PHASE_NONE when nothing failed
  bool check_failed;    // CHECKDB could not run: not damage
  bool dropped, left_behind;
  bool gone;            // the copy was created, then gone by another hand
  bool not_created;     // the first RESTORE created nothing of this session's
  copy_identity id;
  char answered_by[SERVER_NAME_BYTES];  // the server that answered the drop's last check
  int64_t restore_ms, check_ms, drop_ms;
  char error[TDS_ERR_SIZE];       // the first failure's cause
  char drop_error[TDS_ERR_SIZE];  // why the drop failed
  checkdb_report report;
};

void set_phase(backup_session* s, int32_t phase, int32_t percent, const char* message) {
  s->phase.store(phase, std::memory_order_relaxed);
  s->percent.store(percent, std::memory_order_relaxed);
  session_write_text(s, s->message, sizeof s->message, message);
}

// A server's time or create_date as style 126 writes it: digits and
// "-:T." only, so that it reads back as the same literal.
bool server_time_text(const char* text) {
  const size_t n = std::strlen(text);
  if (n < 19 || n >= SERVER_TIME_BYTES) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::strchr("0123456789-:T.", text[i]) == nullptr) return false;
  }
  return true;
}

struct claim_answer {
  bool row;
  int64_t claim;
  int64_t database_id;  // 0 when the name resolves to none
  char server[SERVER_NAME_BYTES];
  char time[SERVER_TIME_BYTES];
};

const char* on_claim_row(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* a = static_cast<claim_answer*>(ctx);
  a->row = true;
  a->claim = int_of(cell_of(meta, row, "claim"));
  a->database_id = int_of(cell_of(meta, row, "database_id"));
  utf8_copy_cut(a->server, sizeof a->server, cell_of(meta, row, "server_name"));
  utf8_copy_cut(a->time, sizeof a->time, cell_of(meta, row, "server_time"));
  return nullptr;
}

const char* on_identity_row(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* id = static_cast<copy_identity*>(ctx);
  const int64_t database_id = int_of(cell_of(meta, row, "database_id"));
  const char* created = cell_of(meta, row, "create_date");
  if (id->recorded || database_id <= 4 || database_id > INT32_MAX || !server_time_text(created)) return nullptr;
  // The name is the copy's, set by the caller before the query.
  id->database_id = static_cast<int32_t>(database_id);
  utf8_copy_cut(id->create_date, sizeof id->create_date, created);
  utf8_copy_cut(id->server, sizeof id->server, cell_of(meta, row, "server_name"));
  id->recorded = true;
  return nullptr;
}

struct gone_answer {
  bool row;
  int64_t present;
  char server[SERVER_NAME_BYTES];
};

const char* on_gone_row(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* g = static_cast<gone_answer*>(ctx);
  g->row = true;
  g->present = int_of(cell_of(meta, row, "present"));
  utf8_copy_cut(g->server, sizeof g->server, cell_of(meta, row, "server_name"));
  return nullptr;
}

void on_checkdb_error(void* ctx, int32_t number, const char* text) {
  checkdb_add(static_cast<checkdb_report*>(ctx), number, text);
}

// Whether the failure of the last statement on conn left it fit for the
// next one: the server answered (an error of its own), or a cancel whose
// ATTENTION it acknowledged.
bool fit_after_failure(const tds_conn* conn, bool cancelled) {
  return tds_stream_usable(conn) && (cancelled || conn->rx_stop == TDS_STOP_NONE);
}

// Chooses the copy's name and checks its files against every file the
// server's databases hold; false once failed (nothing sent that changes
// the server).
// Claims a name on the server, under its own comparison, and keeps the
// first that no database holds and no other session claimed: copy->name,
// server and claim time set, checked_free true. False once failed.
bool claim_copy(session_outcome* o, const backup_config* source, tds_conn* conn, restore_work* w,
                scratch_copy* copy) {
  scratch_choice choice;
  const char* why = scratch_begin(source, &choice);
  if (why != nullptr) return outcome_fail(o, why), false;
  *copy = scratch_copy{};
  bool claimed_by_other = false, too_long = choice.wanted[0] == 0;
  for (int32_t n = 1; n <= scratch_candidates(&choice) && !too_long; ++n) {
    if (!scratch_candidate(&choice, n, copy->name, sizeof copy->name)) {
      too_long = true;
      break;
    }
    if (!claim_statement(copy->name, w->sql, sizeof w->sql)) return outcome_fail(o, "statement too long"), false;
    claim_answer a{};
    if (!query(o, conn, w->sql, on_claim_row, &a)) return false;
    if (!a.row || a.server[0] == 0 || !server_time_text(a.time)) return outcome_fail(o, "the server did not answer the claim"), false;
    claimed_by_other = claimed_by_other || a.claim < 0;
    if (a.claim < 0 || a.database_id != 0) continue;
    std::memcpy(copy->server, a.server, sizeof copy->server);
    std::memcpy(copy->claimed_at, a.time, sizeof copy->claimed_at);
    copy->checked_free = true;
    return true;
  }
  char text[TDS_ERR_SIZE];
  if (too_long) {
    std::snprintf(text, sizeof text, "scratch database name too long; set scratch_database");
  } else if (choice.explicit_name) {
    std::snprintf(text, sizeof text, "%s", claimed_by_other ? "scratch database claimed by another restore test: "
                                                             : "scratch database exists: ");
    utf8_copy_cut(text + std::strlen(text), sizeof text - std::strlen(text), choice.wanted);
  } else {
    std::snprintf(text, sizeof text, "every scratch database name from ");
    utf8_copy_cut(text + std::strlen(text), sizeof text - std::strlen(text), choice.wanted);
    const size_t used = std::strlen(text);
    std::snprintf(text + used, sizeof text - used, " to _%d exists; set scratch_database", SCRATCH_CANDIDATES);
  }
  copy->name[0] = 0;
  return outcome_fail(o, text), false;
}

// Chooses the copy's name and checks its files against every file the
// server's databases hold; false once failed (nothing sent that changes
// the server).
bool plan_copy(session_outcome* o, const backup_config* source, tds_conn* conn, restore_work* w, test_run* r) {
  if (!claim_copy(o, source, conn, w, &r->copy)) return false;
  // The copy is restored from the source's backups, under its own name.
  std::memcpy(w->cfg.source_database, source->database, sizeof w->cfg.source_database);
  std::memcpy(w->cfg.database, r->copy.name, sizeof w->cfg.database);
  if (w->cfg.move == MOVE_NONE) w->cfg.move = MOVE_DEFAULT;
  if (!restore_prepare(o, conn, w)) return false;
  file_check f{&w->moves, ""};
  if (!query(o, conn, database_files_statement(), on_master_file_row, &f)) return false;
  if (f.clash[0] != 0) {
    char text[TDS_ERR_SIZE];
    std::snprintf(text, sizeof text, "scratch database file exists: ");
    utf8_copy_cut(text + std::strlen(text), sizeof text - std::strlen(text), f.clash);
    return outcome_fail(o, text), false;
  }
  return true;
}

struct set_name {
  int32_t position;
  bool seen;
  char database[3 * DATABASE_MAX_UNITS + 1];
};

const char* on_set_name_row(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* n = static_cast<set_name*>(ctx);
  if (n->seen || int_of(cell_of(meta, row, "Position")) != n->position) return nullptr;
  n->seen = true;
  utf8_copy_cut(n->database, sizeof n->database, cell_of(meta, row, "DatabaseName"));
  return nullptr;
}

// Whether two database names are one under the server's comparison: case
// ignored, trailing spaces ignored.
bool same_database_name(const char* a, const char* b) {
  size_t la = std::strlen(a), lb = std::strlen(b);
  while (la > 0 && a[la - 1] == ' ') --la;
  while (lb > 0 && b[lb - 1] == ' ') --lb;
  if (la != lb) return false;
  for (size_t i = 0; i < la; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// An explicit set must be a backup of the source: a test of another
// database's backup would prove nothing about the source.
bool set_is_of_source(session_outcome* o, tds_conn* conn, restore_work* w) {
  const backup_config& cfg = w->cfg;
  if (backup_target_count(&cfg) == 0 || w->plan.steps == 0) return true;
  restore_targets t{};
  for (int i = 0; i < backup_target_count(&cfg); ++i) t.path[t.count++] = backup_target(&cfg, i);
  if (!restore_headeronly_statement(&cfg, &t, w->sql, sizeof w->sql)) return outcome_fail(o, "statement too long"), false;
  set_name n{w->sets[w->plan.step[0].set].position, false, ""};
  if (!query(o, conn, w->sql, on_set_name_row, &n)) return false;
  if (n.seen && same_database_name(n.database, cfg.source_database)) return true;
  char text[TDS_ERR_SIZE];
  std::snprintf(text, sizeof text, "the backup set is of another database: ");
  utf8_copy_cut(text + std::strlen(text), sizeof text - std::strlen(text), n.database);
  return outcome_fail(o, text), false;
}

void note_failure(test_run* r, int32_t phase, const tds_conn* conn, backup_session* s) {
  r->failed_phase = phase;
  r->cancelled = s->cancel.load(std::memory_order_acquire) != 0 && std::strcmp(conn->err, "cancelled") == 0;
  utf8_copy_cut(r->error, sizeof r->error, conn->err);
}

// Errors a first RESTORE answers when the name held another database: the
// copy was never created.
bool refused_onto_other(int32_t number) { return number == 3154 || number == 3159 || number == 1801; }

// Whether the copy is still there by its identity, after a drop on conn:
// sets dropped, gone or left_behind. On another server, nothing is judged.
void confirm_gone(tds_conn* conn, test_run* r, bool drop_ran) {
  gone_answer g{};
  char sql[2 * (sizeof r->id) + 512];
  if (!gone_statement(&r->id, sql, sizeof sql) || tds_exec_rows(conn, sql, on_gone_row, &g) < 0 || !g.row) {
    if (r->drop_error[0] == 0) utf8_copy_cut(r->drop_error, sizeof r->drop_error, conn->err);
    return;
  }
  utf8_copy_cut(r->answered_by, sizeof r->answered_by, g.server);
  if (g.present < 0) {
    std::snprintf(r->drop_error, sizeof r->drop_error, "the connection reached another server: ");
    utf8_copy_cut(r->drop_error + std::strlen(r->drop_error), sizeof r->drop_error - std::strlen(r->drop_error),
                  g.server);
  } else if (g.present == 0) {
    r->left_behind = false;
    r->dropped = drop_ran;
    r->gone = !drop_ran;
  } else if (r->drop_error[0] == 0) {
    utf8_copy_cut(r->drop_error, sizeof r->drop_error, "still present after DROP DATABASE");
  }
}

// Drops the copy on conn by its recorded identity, which the server checks
// again just before the drop, bounded in time, not cancellable: a copy is
// never left behind because the host stopped waiting. Retries a copy still
// held by the session that broke, within the bound. Counts a drop only
// once the server confirms the copy is gone.
void drop_on(tds_conn* conn, restore_work* w, test_run* r, int64_t deadline) {
  conn->cancel_flag = nullptr;
  conn->error_cb = nullptr;
  if (!r->id.recorded) {
    // Not read after the first RESTORE: a database of the name created
    // since the claim is the copy.
    std::memcpy(r->id.name, r->copy.name, sizeof r->id.name);
    if (!identity_statement(&r->copy, w->sql, sizeof w->sql)) {
      utf8_copy_cut(r->drop_error, sizeof r->drop_error, "statement too long");
      return;
    }
    if (tds_exec_rows(conn, w->sql, on_identity_row, &r->id) < 0) {
      utf8_copy_cut(r->drop_error, sizeof r->drop_error, conn->err);
      return;
    }
    if (r->id.recorded && std::strcmp(r->id.server, r->copy.server) != 0) {
      r->id.recorded = false;
      std::snprintf(r->drop_error, sizeof r->drop_error, "the connection reached another server");
      return;
    }
    if (!r->id.recorded) {
      r->not_created = true;  // no database of the name was created since the claim
      r->left_behind = false;
      return;
    }
  }
  if (!drop_statement(&r->id, w->sql, sizeof w->sql)) {
    utf8_copy_cut(r->drop_error, sizeof r->drop_error, "statement too long");
    return;
  }
  for (;;) {
    conn->query_timeout_ms = deadline - plat_mono_ms();
    if (conn->query_timeout_ms <= 0) conn->query_timeout_ms = 1;
    if (tds_exec(conn, w->sql, nullptr, nullptr, 0) >= 0) return confirm_gone(conn, r, true);
    const bool answered = conn->rx_stop == TDS_STOP_NONE;
    if (answered && conn->err_number == ERR_NOT_THE_COPY) return confirm_gone(conn, r, false);
    utf8_copy_cut(r->drop_error, sizeof r->drop_error, conn->err);
    if (!answered || conn->err_number != ERR_DATABASE_IN_USE || plat_mono_ms() + 1000 >= deadline) return;
    plat_wait_readable(conn->sock, 500);  // a pause: nothing is due on it
  }
}

// Drops the copy once a RESTORE into it went out and created it: on conn
// when it is still fit, else through a new connection with the same
// configuration, which drops only on the server that has the copy.
void drop_copy(backup_session* s, tds_conn* conn, bool conn_fit, restore_work* w, test_run* r, const char* password) {
  if (!r->copy.restore_sent) return;
  if (r->not_created) return;
  const int64_t started = plat_mono_ms();
  set_phase(s, PHASE_DROP, 98, "drop: DROP DATABASE");
  r->left_behind = true;
  r->drop_error[0] = 0;
  if (conn_fit) drop_on(conn, w, r, plat_mono_ms() + DROP_BOUND_MS);
  if (r->left_behind && (!conn_fit || !fit_after_failure(conn, false))) {
    tds_close(conn);
    tds_conn fresh;
    tds_connect_opts opts = config_connect_opts(&w->cfg, nullptr);
    if (opts.timeout_ms <= 0) opts.timeout_ms = DEFAULT_RECONNECT_MS;
    r->drop_error[0] = 0;
    if (tds_connect(&fresh, w->cfg.host, w->cfg.port, w->cfg.user, password, nullptr, &opts) != 0) {
      utf8_copy_cut(r->drop_error, sizeof r->drop_error, fresh.err);
    } else {
      drop_on(&fresh, w, r, plat_mono_ms() + DROP_BOUND_MS);
      tds_close(&fresh);
    }
  }
  r->drop_ms = plat_mono_ms() - started;
}

// The copy's identity, read once its first RESTORE was accepted, on the
// connection that holds the claim.
void record_identity(tds_conn* conn, restore_work* w, test_run* r) {
  if (!identity_statement(&r->copy, w->sql, sizeof w->sql)) return;
  std::memcpy(r->id.name, r->copy.name, sizeof r->id.name);
  if (tds_exec_rows(conn, w->sql, on_identity_row, &r->id) < 0) return;
  if (r->id.recorded && std::strcmp(r->id.server, r->copy.server) != 0) r->id.recorded = false;
}

// The check of the copy: clean, damaged (a corruption message, kept even
// when the connection broke after it), or failed with the server's text.
// Returns whether conn is fit for the drop.
bool check_copy(backup_session* s, tds_conn* conn, restore_work* w, test_run* r) {
  const int64_t check_start = plat_mono_ms();
  set_phase(s, PHASE_CHECK, 80, "check: DBCC CHECKDB");
  s->steps.store(0, std::memory_order_relaxed);
  conn->error_cb = on_checkdb_error;
  conn->error_ctx = &r->report;
  int rc = -1;
  if (!checkdb_statement(&r->copy, w->cfg.checkdb, w->sql, sizeof w->sql)) unbuilt(conn);
  else rc = tds_exec(conn, w->sql, nullptr, nullptr, 0);
  conn->error_cb = nullptr;
  r->check_ms = plat_mono_ms() - check_start;
  if (rc >= 0) return r->checked = true;
  bool fit = true;
  if (conn->rx_stop == TDS_STOP_NONE) {
    if (r->report.count == 0) checkdb_add(&r->report, conn->err_number, conn->err);
    r->failed_phase = PHASE_CHECK;
    checkdb_join(&r->report, r->error, sizeof r->error);
  } else {
    note_failure(r, PHASE_CHECK, conn, s);
    fit = fit_after_failure(conn, r->cancelled);
  }
  // Damage only from what the check reported as such; anything else is a
  // check that could not run.
  r->damaged = checkdb_damage(&r->report);
  r->checked = r->damaged;
  r->check_failed = !r->damaged;
  if (r->damaged && conn->rx_stop != TDS_STOP_NONE) checkdb_join(&r->report, r->error, sizeof r->error);
  return fit;
}

// Restores, checks and drops; every outcome is left in r.
void test_copy(backup_session* s, tds_conn* conn, restore_work* w, test_run* r, const char* password) {
  const int64_t started = plat_mono_ms();
  set_phase(s, PHASE_RESTORE, 0, "restore: RESTORE DATABASE");
  r->copy.restore_sent = true;
  r->steps_done = restore_steps(s, conn, w);
  r->restored = r->steps_done == w->plan.steps + 1;
  r->restore_ms = plat_mono_ms() - started;
  bool fit = true;
  if (!r->restored) {
    note_failure(r, PHASE_RESTORE, conn, s);
    fit = fit_after_failure(conn, r->cancelled);
    // The name held a database the server would not restore over: it is
    // not the copy, and nothing is dropped.
    if (r->steps_done == 0 && fit && !r->cancelled && refused_onto_other(conn->err_number)) r->not_created = true;
  }
  if (fit && !r->not_created) record_identity(conn, w, r);
  if (r->restored && w->cfg.checkdb == CHECKDB_NONE) {
    r->checked = true;
  } else if (r->restored) {
    fit = check_copy(s, conn, w, r);
  }
  drop_copy(s, conn, fit, w, r, password);
}

// What became of the copy, in one word.
const char* copy_outcome(const test_run* r) {
  if (r->not_created) return "not_created";
  if (r->dropped) return "dropped";
  if (r->gone) return "gone";
  return r->left_behind ? "left_behind" : "none";
}

// The restore test's members after "ok" (and "error"): everything but the
// operation, so that a backup can carry them too.
void doc_test_members(doc_text* d, restore_work* w, const test_run* r) {
  doc_member(d, "database", w->cfg.source_database);
  doc_member(d, "scratch_database", r->copy.name);
  doc_steps(d, w, "restored", r->steps_done < w->plan.steps ? r->steps_done : w->plan.steps, false);
  doc_stop_at(d, w);
  doc_raw(d, r->restored ? ",\"recovered\":true" : ",\"recovered\":false");
  doc_raw(d, r->checked ? ",\"restore_tested\":true" : ",\"restore_tested\":false");
  if (r->checked) {
    doc_member(d, "checkdb", w->cfg.checkdb == CHECKDB_NONE ? "none" : r->damaged ? "damaged" : "clean");
  } else if (r->check_failed) {
    doc_member(d, "checkdb", "failed");
  }
  doc_member(d, "checkdb_mode", CHECKDB_MODES[w->cfg.checkdb]);
  if (r->damaged || r->check_failed) {
    doc_raw(d, ",\"checkdb_errors\":[");
    const int32_t kept = r->report.count < CHECKDB_ERRORS_KEPT ? r->report.count : CHECKDB_ERRORS_KEPT;
    for (int32_t i = 0; i < kept; ++i) {
      char head[40];
      std::snprintf(head, sizeof head, "%s{\"number\":%d", i == 0 ? "" : ",", r->report.number[i]);
      doc_raw(d, head);
      doc_member(d, "text", r->report.text[i]);
      doc_raw(d, "}");
    }
    doc_raw(d, "]");
    doc_number(d, "checkdb_error_count", r->report.count);
  }
  if (r->failed_phase != PHASE_NONE) doc_member(d, "failed_phase", session_phase_name(r->failed_phase));
  if (r->failed_phase == PHASE_RESTORE && !r->cancelled) {
    const int32_t k = r->steps_done;
    doc_raw(d, ",\"failed_step\":{\"step\":");
    char num[16];
    std::snprintf(num, sizeof num, "%d", k + 1);
    doc_raw(d, num);
    doc_member(d, "type", k < w->plan.steps ? step_type_name(w->plan.step[k].type) : "recovery");
    doc_raw(d, "}");
  }
  doc_raw(d, r->dropped ? ",\"dropped\":true" : ",\"dropped\":false");
  doc_raw(d, r->left_behind ? ",\"left_behind\":true" : ",\"left_behind\":false");
  if (r->copy.restore_sent) doc_member(d, "copy", copy_outcome(r));
  if (r->copy.server[0] != 0) doc_member(d, "server", r->copy.server);
  char phases[160];
  std::snprintf(phases, sizeof phases, ",\"phases\":{\"restore_ms\":%lld,\"check_ms\":%lld,\"drop_ms\":%lld}",
                static_cast<long long>(r->restore_ms), static_cast<long long>(r->check_ms),
                static_cast<long long>(r->drop_ms));
  doc_raw(d, phases);
}

// The outcome's error: the first failure ("cancelled" for a cancel), and
// a copy left behind named after it. "" on success.
void test_error(const test_run* r, char* out, size_t cap) {
  out[0] = 0;
  if (r->failed_phase != PHASE_NONE) utf8_copy_cut(out, cap, r->cancelled ? "cancelled" : r->error);
  if (!r->left_behind && !r->gone) return;
  size_t len = std::strlen(out);
  std::snprintf(out + len, cap - len, "%sscratch database ", len > 0 ? "; " : "");
  len = std::strlen(out);
  utf8_copy_cut(out + len, cap - len, r->copy.name);
  len = std::strlen(out);
  std::snprintf(out + len, cap - len, " on server ");
  len = std::strlen(out);
  utf8_copy_cut(out + len, cap - len, r->copy.server);
  len = std::strlen(out);
  if (r->gone) {
    std::snprintf(out + len, cap - len, " was gone before the drop: removed or replaced by another hand");
    return;
  }
  std::snprintf(out + len, cap - len, " was not dropped: ");
  len = std::strlen(out);
  utf8_copy_cut(out + len, cap - len, r->drop_error[0] != 0 ? r->drop_error : "unknown");
}

void report_test_plan(session_outcome* o, restore_work* w, const test_run* r) {
  doc_text& d = o->members;
  doc_raw(&d, ",\"dry_run\":true,\"operation\":\"restore_test\"");
  doc_member(&d, "database", w->cfg.source_database);
  doc_member(&d, "scratch_database", r->copy.name);
  doc_steps(&d, w, "plan", w->plan.steps, true, false);
  // The copy's check as it would be sent once it is restored; shown only,
  // on a record of its own.
  scratch_copy shown = r->copy;
  shown.restore_sent = true;
  if (w->cfg.checkdb != CHECKDB_NONE && checkdb_statement(&shown, w->cfg.checkdb, w->sql, sizeof w->sql)) {
    doc_raw(&d, ",{\"type\":\"check\"");
    doc_member(&d, "statement", w->sql);
    doc_raw(&d, "}");
  }
  // The drop names the identity the server gives the copy, known only
  // once it is restored: shown as its kind alone.
  doc_raw(&d, ",{\"type\":\"drop\"}");
  doc_raw(&d, "]");
  doc_stop_at(&d, w);
  doc_member(&d, "checkdb_mode", CHECKDB_MODES[w->cfg.checkdb]);
}

void report_test(backup_session* s, session_outcome* o, restore_work* w, const test_run* r) {
  char error[TDS_ERR_SIZE * 2];
  test_error(r, error, sizeof error);
  const bool ok = error[0] == 0;
  if (!ok) outcome_fail(o, error);
  doc_raw(&o->members, ",\"operation\":\"restore_test\"");
  doc_test_members(&o->members, w, r);
  doc_number(&o->members, "elapsed_ms", plat_mono_ms() - s->start_ms);
  if (ok) s->percent.store(100, std::memory_order_relaxed);
}

// Whether the plan ends with the set at position in the backup's first
// target: the set a backup just wrote, so the test proves that set.
bool ends_with_written(restore_work* w, const backup_config* backup, int32_t position) {
  if (w->plan.steps == 0) return false;
  const plan_step& last = w->plan.step[w->plan.steps - 1];
  restore_targets t;
  targets_of(w, last.set, &t);
  return w->sets[last.set].position == position && t.count > 0 && std::strcmp(t.path[0], backup_target(backup, 0)) == 0;
}

// The test's members as the backup's "restore_test" member: only once a
// copy was claimed, so that there is something of a copy to report.
void report_proof(backup_proof* proof, restore_work* w, const test_run* r) {
  if (!r->copy.checked_free) return;
  doc_text* d = &proof->members;
  doc_raw(d, ",\"restore_test\":{\"ok\":");
  doc_raw(d, proof->cause[0] == 0 ? "true" : "false");
  doc_test_members(d, w, r);
  doc_raw(d, "}");
}

// The restore test's own configuration for the set just written: a full
// backup's set by itself, from its targets; a differential or a log with
// the chain the history gives it.
void proof_config(backup_config* cfg, int32_t position) {
  cfg->operation = OPERATION_RESTORE_TEST;
  cfg->dry_run = 0;
  cfg->stop_at[0] = 0;
  cfg->source_database[0] = 0;
  cfg->backup_file_count = 0;
  if (cfg->type == BACKUP_FULL) {
    cfg->file = position;
  } else {
    cfg->out_path[0] = 0;
    cfg->stripe_count = 0;
    cfg->file = 0;
  }
}

}  // namespace

session_outcome run_restore_test(backup_session* s, tds_conn* conn, const char* password) {
  session_outcome o = outcome_begin();
  restore_work* w = work_new(&s->cfg);
  auto* r = static_cast<test_run*>(std::calloc(1, sizeof(test_run)));
  if (w == nullptr || r == nullptr) {
    outcome_fail(&o, "out of memory");
  } else if (plan_copy(&o, &s->cfg, conn, w, r) && set_is_of_source(&o, conn, w)) {
    if (w->cfg.dry_run) {
      report_test_plan(&o, w, r);
    } else {
      test_copy(s, conn, w, r, password);
      report_test(s, &o, w, r);
    }
  }
  std::free(r);
  work_free(w);
  return o;
}

bool prove_backup(backup_session* s, tds_conn* conn, int32_t position, const char* password, backup_proof* proof) {
  restore_work* w = work_new(&s->cfg);
  auto* r = static_cast<test_run*>(std::calloc(1, sizeof(test_run)));
  if (w == nullptr || r == nullptr) {
    std::free(r);
    work_free(w);
    return false;
  }
  proof_config(&w->cfg, position);
  // The planning's refusal is the test's cause, not yet the backup's end.
  session_outcome planning = outcome_begin();
  bool planned = plan_copy(&planning, &s->cfg, conn, w, r);
  if (planned && s->cfg.type != BACKUP_FULL && !ends_with_written(w, &s->cfg, position)) {
    planned = false;
    outcome_fail(&planning, "the backup just written is not the newest in the history");
  }
  if (!planned) {
    utf8_copy_cut(proof->cause, sizeof proof->cause,
                  planning.error[0] != 0 ? planning.error : "the restore test could not be planned");
    r->copy.checked_free = false;  // nothing of a copy to report
  } else {
    test_copy(s, conn, w, r, password);
    test_error(r, proof->cause, sizeof proof->cause);
  }
  report_proof(proof, w, r);
  std::free(r);
  work_free(w);
  return true;
}
