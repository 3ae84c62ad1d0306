// A cleanup session on its logged-in connection: read the history of every
// media set that shares a file with the database's backups, read each
// candidate file's label, decide (cleanup_plan), then delete one file at a
// time, oldest first, each confirmed gone before it counts.
#include "vaultrun/cleanup_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vaultrun.h"
#include "vaultrun/cleanup_plan.h"
#include "vaultrun/doc_text.h"
#include "vaultrun/restore_sources.h"
#include "vaultrun/session_outcome.h"
#include "vaultrun/statements.h"

namespace {

// Bounds on what the history may offer, as a restore has them.
constexpr int32_t MAX_CLEANUP_SETS = 65536;
constexpr size_t PATH_MAX_BYTES = 1023;
constexpr size_t SQL_CAP = 4 * PATH_MAX_BYTES + 4096 + 2 * sizeof(backup_config::database);

struct cleanup_work {
  cleanup_set* sets;
  cleanup_media* media;
  int32_t* media_files;
  cleanup_file* files;
  char (*paths)[PATH_MAX_BYTES + 1];
  char** errors;  // per file: why its label could not be read (malloc'd), or null
  int32_t nsets, nmedia, nmedia_files, nfiles, cap;
  int64_t last_set_id;
  bool adding_families;
  int64_t now_ticks;
  const char* database;
  uint8_t* gone;
  int64_t freed;
  int32_t deleted;
  char label[MEDIA_UUID_BYTES];
  char sql[SQL_CAP];
};

void work_free(cleanup_work* w) {
  if (w == nullptr) return;
  for (int32_t i = 0; w->errors != nullptr && i < w->nfiles; ++i) std::free(w->errors[i]);
  std::free(w->sets);
  std::free(w->media);
  std::free(w->media_files);
  std::free(w->files);
  std::free(w->paths);
  std::free(w->errors);
  std::free(w->gone);
  std::free(w);
}

// Every table sized for the bound at once would be large: they grow
// together, each row adding at most one set, one media set and one file.
bool grow(cleanup_work* w) {
  if (w->nsets < w->cap && w->nmedia < w->cap && w->nfiles < w->cap && w->nmedia_files < w->cap) return true;
  if (w->cap >= MAX_CLEANUP_SETS) return false;
  const int32_t cap = w->cap == 0 ? 64 : w->cap * 2;
  const size_t n = static_cast<size_t>(cap);
  void* p[] = {std::realloc(w->sets, n * sizeof(cleanup_set)), std::realloc(w->media, n * sizeof(cleanup_media)),
               std::realloc(w->media_files, n * sizeof(int32_t)), std::realloc(w->files, n * sizeof(cleanup_file)),
               std::realloc(w->paths, n * (PATH_MAX_BYTES + 1)), std::realloc(w->errors, n * sizeof(char*))};
  if (p[0] != nullptr) w->sets = static_cast<cleanup_set*>(p[0]);
  if (p[1] != nullptr) w->media = static_cast<cleanup_media*>(p[1]);
  if (p[2] != nullptr) w->media_files = static_cast<int32_t*>(p[2]);
  if (p[3] != nullptr) w->files = static_cast<cleanup_file*>(p[3]);
  if (p[4] != nullptr) w->paths = static_cast<char(*)[PATH_MAX_BYTES + 1]>(p[4]);
  if (p[5] != nullptr) w->errors = static_cast<char**>(p[5]);
  for (void* q : p) {
    if (q == nullptr) return false;
  }
  w->cap = cap;
  return true;
}

// ---- Reading the history ---------------------------------------------------------

// Two paths name one file when they compare equal as the server compares
// them: ASCII letters in either case, '/' and '\\' alike.
bool same_path(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a == '/' ? '\\' : *a, y = *b == '/' ? '\\' : *b;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
    if (x == 0) return true;
  }
}

int32_t file_index(cleanup_work* w, const char* path, bool url) {
  for (int32_t f = 0; f < w->nfiles; ++f) {
    if (same_path(w->paths[f], path)) return f;
  }
  const int32_t f = w->nfiles++;
  std::memcpy(w->paths[f], path, std::strlen(path) + 1);
  w->files[f] = cleanup_file{};
  w->files[f].url = url;
  w->errors[f] = nullptr;
  return f;
}

// The media set of a row: found by its id, or new (its families follow).
int32_t media_of(cleanup_work* w, int64_t id, const char* uuid, bool* fresh) {
  *fresh = false;
  for (int32_t m = w->nmedia - 1; m >= 0; --m) {
    if (w->media[m].id == id) return m;
  }
  *fresh = true;
  cleanup_media& m = w->media[w->nmedia];
  m = cleanup_media{};
  m.id = id;
  std::snprintf(m.uuid, sizeof m.uuid, "%s", uuid);
  m.at = w->nmedia_files;
  return w->nmedia++;
}

// One row: a set with its first family, or a further family of the set before.
const char* on_cleanup_row(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* w = static_cast<cleanup_work*>(ctx);
  if (!grow(w)) return "the backup history to decide from is too large";
  const char* path = row_cell(meta, row, "physical_device_name");
  if (std::strlen(path) > PATH_MAX_BYTES) return "a backup file name from the server is too long";
  if (w->now_ticks == 0 && !time_parse(row_cell(meta, row, "server_now"), &w->now_ticks))
    return "the server's time cannot be read";
  const int64_t set_id = row_int(row_cell(meta, row, "backup_set_id"));
  const int64_t device = row_int(row_cell(meta, row, "device_type"));
  bool fresh = false;
  const int32_t m = media_of(w, row_int(row_cell(meta, row, "media_set_id")), row_cell(meta, row, "media_uuid"), &fresh);
  if (fresh) w->media[m].families = static_cast<int32_t>(row_int(row_cell(meta, row, "media_family_count")));
  if (set_id != w->last_set_id) {
    w->last_set_id = set_id;
    cleanup_set& s = w->sets[w->nsets];
    history_row info{};
    if (const char* refusal = set_from_history_row(meta, row, &s.set, &info)) return refusal;
    s.set.media = m;
    s.bytes = row_int(row_cell(meta, row, "backup_size"));
    s.other_database = !equal_nocase(row_cell(meta, row, "database_name"), w->database);
    ++w->nsets;
    w->adding_families = fresh;
  }
  // A media set's families arrive with its first set; a device that is no
  // file (a tape, a virtual device) leaves the media set unreadable here.
  if (w->adding_families && (device == 2 || device == 9) && path[0] != 0) {
    w->media_files[w->nmedia_files++] = file_index(w, path, device == 9 || is_url_target(path));
    ++w->media[m].count;
  }
  return nullptr;
}

// ---- Labels ------------------------------------------------------------------------

const char* on_label(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* w = static_cast<cleanup_work*>(ctx);
  std::snprintf(w->label, sizeof w->label, "%s", row_cell(meta, row, "MediaSetId"));
  return nullptr;
}

// Reads the label of file f into w->label; false with conn->err when the
// server could not open or read it.
bool read_label(cleanup_work* w, tds_conn* conn, const backup_config* cfg, int32_t f) {
  w->label[0] = 0;
  if (!restore_labelonly_statement(cfg, w->paths[f], w->sql, sizeof w->sql)) {
    std::snprintf(conn->err, sizeof conn->err, "statement too long");
    return false;
  }
  return tds_exec_rows(conn, w->sql, on_label, w) >= 0 && w->label[0] != 0;
}

// Whether the server's refusal to open a backup device says that the file
// does not exist: operating system error 2 (no such file) or 3 (no such
// folder). Any other failure leaves the file's contents unknown.
bool said_missing(const tds_conn* conn) {
  return conn->err_number == 3201 && (std::strstr(conn->err, "Operating system error 2(") != nullptr ||
                                      std::strstr(conn->err, "Operating system error 3(") != nullptr);
}

// Whether the server no longer finds the file: LABELONLY cannot open it
// because it does not exist.
bool confirmed_gone(cleanup_work* w, tds_conn* conn, const backup_config* cfg, int32_t f) {
  return !read_label(w, conn, cfg, f) && said_missing(conn);
}

bool under_folders(const backup_config* cfg, const char* path) {
  for (int i = 0; i < cfg->folder_count; ++i) {
    if (path_under_folder(path, cleanup_folder(cfg, i))) return true;
  }
  return false;
}

// Labels of the files a cleanup might delete: on disk, under the folders.
// A label the server could not read keeps its file; a connection that broke
// ends the run (null: read).
const char* read_labels(backup_session* s, cleanup_work* w, tds_conn* conn) {
  for (int32_t f = 0; f < w->nfiles; ++f) {
    cleanup_file& file = w->files[f];
    file.path = w->paths[f];
    if (file.url || !under_folders(&s->cfg, file.path)) continue;
    if (s->cancel.load(std::memory_order_acquire) != 0) return "cancelled";
    if (read_label(w, conn, &s->cfg, f)) {
      file.label = LABEL_READ;
      std::memcpy(file.label_uuid, w->label, sizeof file.label_uuid);
    } else if (!tds_stream_usable(conn)) {
      return conn->err;
    } else {
      // A file deleted before (by an earlier cleanup, say) stays in the
      // history for good: it holds nothing, and is no unknown to plan around.
      file.label = said_missing(conn) ? LABEL_MISSING : LABEL_FAILED;
      w->errors[f] = strdup(conn->err);
    }
  }
  return nullptr;
}

}  // namespace


namespace {

// ---- The result document -----------------------------------------------------------

const char* set_type_name(uint8_t type) {
  return type == SET_FULL ? "full" : type == SET_DIFFERENTIAL ? "differential" : type == SET_LOG ? "log" : "other";
}

// One file with the sets it holds, their newest finish and its share of
// their sizes.
void doc_file(doc_text* d, const cleanup_work* w, int32_t f, bool first) {
  const cleanup_file& file = w->files[f];
  doc_raw(d, first ? "{\"path\":" : ",{\"path\":");
  doc_string(d, w->paths[f]);
  doc_raw(d, ",\"sets\":[");
  bool any = false;
  for (int32_t i = 0; file.media >= 0 && i < w->nsets; ++i) {
    const plan_set& s = w->sets[i].set;
    if (s.media != file.media) continue;
    doc_raw(d, any ? ",{\"type\":" : "{\"type\":");
    doc_string(d, set_type_name(s.type));
    doc_number(d, "position", s.position);
    doc_member(d, "finished", s.finish);
    doc_number(d, "size_bytes", w->sets[i].bytes);
    doc_raw(d, "}");
    any = true;
  }
  doc_raw(d, "]");
  char newest[SET_TIME_BYTES] = "";
  if (file.newest_ticks > 0) ticks_text(file.newest_ticks, newest);
  if (newest[0] != 0) doc_member(d, "finished", newest);
  else doc_raw(d, ",\"finished\":null");
  doc_number(d, "size_bytes", file.bytes);
}

void doc_deleted(doc_text* d, const cleanup_work* w, const cleanup_result* r, int32_t count) {
  doc_raw(d, ",\"deleted\":[");
  for (int32_t k = 0; k < count; ++k) {
    doc_file(d, w, r->order[k], k == 0);
    doc_raw(d, "}");
  }
  doc_raw(d, "]");
}

void doc_kept(doc_text* d, const cleanup_work* w) {
  doc_raw(d, ",\"kept\":[");
  bool first = true;
  for (int32_t f = 0; f < w->nfiles; ++f) {
    if (w->files[f].verdict == CLEAN_DELETE) continue;
    doc_file(d, w, f, first);
    doc_member(d, "reason", cleanup_verdict_text(w->files[f].verdict));
    if (w->errors[f] != nullptr) doc_member(d, "error", w->errors[f]);
    doc_raw(d, "}");
    first = false;
  }
  doc_raw(d, "]");
}

void fail_plain(session_outcome* o, const backup_config& cfg, const char* error) {
  outcome_fail(o, error);
  doc_member(&o->members, "database", cfg.database);
  doc_raw(&o->members, ",\"deleted\":[],\"freed_bytes\":0");
}

// The outcome: every file decided, the first `done` deletable ones deleted
// (all of them on success), and the oldest point what remains restores to.
void report_cleanup(session_outcome* o, backup_session* s, cleanup_work* w, cleanup_input* in,
                    const cleanup_result* r, int32_t done, const char* error) {
  doc_text& d = o->members;
  const backup_config& cfg = s->cfg;
  if (error != nullptr) outcome_fail(o, error);
  doc_member(&d, "database", cfg.database);
  doc_raw(&d, cfg.dry_run ? ",\"dry_run\":true" : ",\"dry_run\":false");
  doc_number(&d, "keep_hours", cfg.keep_hours);
  char at[SET_TIME_BYTES];
  // An empty history tells no time of the server's: there is no window.
  if (w->now_ticks > in->keep_ticks) {
    ticks_text(w->now_ticks - in->keep_ticks, at);
    doc_member(&d, "window_start", at);
  } else {
    doc_raw(&d, ",\"window_start\":null");
  }
  // Not yet reached files stay, as kept ones do.
  for (int32_t k = done; k < r->deletable; ++k) w->files[r->order[k]].verdict = KEEP_NOT_REACHED;
  doc_deleted(&d, w, r, done);
  doc_kept(&d, w);
  int64_t freed = 0;
  for (int32_t k = 0; k < done; ++k) {
    freed += w->files[r->order[k]].bytes;
    w->gone[r->order[k]] = 1;
  }
  doc_number(&d, "freed_bytes", freed);
  if (cleanup_oldest_restorable(in, w->gone, at) >= 0) doc_member(&d, "oldest_restorable", at);
  else doc_raw(&d, ",\"oldest_restorable\":null");
  doc_number(&d, "elapsed_ms", plat_mono_ms() - s->start_ms);
}

// ---- Deleting ------------------------------------------------------------------------

// Deletes the deletable files oldest first, each checked to hold still what
// was decided, then deleted through the server and confirmed gone. Returns
// the files deleted; *error is set when one could not be.
int32_t delete_files(backup_session* s, cleanup_work* w, tds_conn* conn, const cleanup_result* r, const char** error) {
  const backup_config* cfg = &s->cfg;
  // A cancel is looked at between files only: a deletion under way is
  // finished and confirmed, so that what is reported is what is gone.
  conn->cancel_flag = nullptr;
  static constexpr char NOT_GONE[] = "a file is still there after xp_delete_file: ";
  int32_t done = 0;
  for (int32_t k = 0; k < r->deletable; ++k) {
    if (s->cancel.load(std::memory_order_acquire) != 0) return *error = "cancelled", done;
    s->percent.store(k * 100 / r->deletable, std::memory_order_relaxed);
    const int32_t f = r->order[k];
    cleanup_file& file = w->files[f];
    // A file written again since it was read holds sets no one decided on.
    if (!read_label(w, conn, cfg, f) || std::strcmp(w->label, file.label_uuid) != 0) {
      return *error = "a file changed after it was read; nothing more was deleted", done;
    }
    if (!delete_file_statement(w->paths[f], w->sql, sizeof w->sql)) return *error = "statement too long", done;
    if (tds_exec(conn, w->sql, nullptr, nullptr, 0) < 0) return *error = conn->err, done;
    if (!confirmed_gone(w, conn, cfg, f)) {
      std::snprintf(w->sql, sizeof w->sql, "%s%s", NOT_GONE, w->paths[f]);
      return *error = w->sql, done;
    }
    ++done;
  }
  s->percent.store(100, std::memory_order_relaxed);
  return done;
}

void cleanup_with(backup_session* s, session_outcome* o, cleanup_work* w, tds_conn* conn) {
  const backup_config& cfg = s->cfg;
  w->database = cfg.database;
  w->last_set_id = -1;
  if (!cleanup_history_statement(&cfg, w->sql, sizeof w->sql)) return fail_plain(o, cfg, "statement too long");
  if (tds_exec_rows(conn, w->sql, on_cleanup_row, w) < 0) return fail_plain(o, cfg, conn->err);
  if (!grow(w)) return fail_plain(o, cfg, "out of memory");
  if (const char* why = read_labels(s, w, conn)) return fail_plain(o, cfg, why);
  const char* folders[MAX_CLEANUP_FOLDERS];
  for (int i = 0; i < cfg.folder_count; ++i) folders[i] = cleanup_folder(&cfg, i);
  cleanup_input in{w->sets, w->nsets, w->media, w->nmedia, w->media_files, w->files, w->nfiles, folders,
                   cfg.folder_count, w->now_ticks, int64_t(cfg.keep_hours) * 3600 * 10000000};
  cleanup_result r{};
  w->gone = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(w->nfiles) + 1, 1));
  if (w->gone == nullptr || !cleanup_decide(&in, &r)) return fail_plain(o, cfg, "out of memory");
  const char* error = nullptr;
  const int32_t done = cfg.dry_run ? r.deletable : delete_files(s, w, conn, &r, &error);
  report_cleanup(o, s, w, &in, &r, done, error);
  cleanup_result_free(&r);
}

}  // namespace

session_outcome run_cleanup(backup_session* s, tds_conn* conn) {
  session_outcome o = outcome_begin();
  auto* w = static_cast<cleanup_work*>(std::calloc(1, sizeof(cleanup_work)));
  if (w == nullptr) fail_plain(&o, s->cfg, "out of memory");
  else cleanup_with(s, &o, w, conn);
  work_free(w);
  return o;
}
