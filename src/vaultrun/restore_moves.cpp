// Where a restore puts the files of its first step: as listed, or under
// the server's default folders; and the check that REPLACE overwrites no
// other database's file.
#include <cstdio>
#include <cstring>

#include "vaultrun.h"
#include "vaultrun/answers.h"
#include "vaultrun/doc_text.h"
#include "vaultrun/restore_work.h"
#include "vaultrun/statements.h"

namespace restore_impl {

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
  const int32_t i = w->place.moves.count;
  if (i == MAX_RESTORE_FILES) return "the database has more than 128 files";
  const char* logical = cell_of(meta, row, "LogicalName");
  const char* type = cell_of(meta, row, "Type");
  if (logical[0] == 0 || std::strlen(logical) > 3 * 128) return "a file of the backup set has no usable logical name";
  char stem[3 * 128 + 1];
  put_file_stem(stem, sizeof stem, f->cfg->database);
  char name[3 * 128 + 32];
  const char* folder = w->place.data_folder;
  if (type[0] == 'L') {
    folder = w->place.log_folder;
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
  std::memcpy(w->place.move_names[i][0], logical, std::strlen(logical) + 1);
  if (!join_path(w->place.move_names[i][1], sizeof w->place.move_names[i][1], folder, name))
    return "a default file path is too long";
  w->place.moves.logical[i] = w->place.move_names[i][0];
  w->place.moves.physical[i] = w->place.move_names[i][1];
  w->place.moves.count = i + 1;
  return nullptr;
}

const char* on_folder_row(void* ctx, const tds_meta* meta, const tds_row* row) {
  auto* w = static_cast<restore_work*>(ctx);
  const char* data = cell_of(meta, row, "data_path");
  const char* log = cell_of(meta, row, "log_path");
  if (std::strlen(data) > PATH_MAX_BYTES - 64 || std::strlen(log) > PATH_MAX_BYTES - 64)
    return "the server's default folders are too long";
  std::memcpy(w->place.data_folder, data, std::strlen(data) + 1);
  std::memcpy(w->place.log_folder, log, std::strlen(log) + 1);
  return nullptr;
}

// The moves of the first step: as listed, or every file of the first set
// under the server's default folders.
bool plan_moves(session_outcome* o, tds_conn* conn, restore_work* w) {
  const backup_config& cfg = w->cfg;
  w->place.moves.count = 0;
  // Files move with the full backup's step only; an explicit differential
  // or log restores into the files already placed.
  if (w->plan.step[0].type != SET_FULL) return true;
  const int32_t mode = restore_move_mode(&cfg);
  if (mode == MOVE_LISTED) {
    for (int i = 0; i < cfg.move_count; ++i) {
      w->place.moves.logical[i] = restore_move_logical(&cfg, i);
      w->place.moves.physical[i] = restore_move_physical(&cfg, i);
    }
    w->place.moves.count = cfg.move_count;
    return true;
  }
  if (mode != MOVE_DEFAULT) return true;
  w->place.data_folder[0] = w->place.log_folder[0] = 0;
  if (!restore_folders_statement(w->sql, sizeof w->sql)) return outcome_fail(o, "statement too long"), false;
  if (!query(o, conn, w->sql, on_folder_row, w)) return false;
  if (w->place.data_folder[0] == 0 || w->place.log_folder[0] == 0) {
    return outcome_fail(o, "the server names no default data and log folders"), false;
  }
  const int32_t first = w->plan.step[0].set;
  restore_targets t;
  targets_of(w, first, &t);
  if (!restore_filelist_statement(&cfg, &t, w->src.sets[first].position, w->sql, sizeof w->sql)) {
    return outcome_fail(o, "statement too long"), false;
  }
  file_row_ctx f{w, &cfg, 0, 0, 0, nullptr};
  if (!query(o, conn, w->sql, on_file_row, &f)) return false;
  if (w->place.moves.count == 0) return outcome_fail(o, "the backup set lists no files"), false;
  return true;
}

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
  if (!w->cfg.replace || restore_move_mode(&w->cfg) != MOVE_DEFAULT || w->place.moves.count == 0) return true;
  if (!other_files_statement(w->cfg.database, w->sql, sizeof w->sql)) return outcome_fail(o, "statement too long"), false;
  file_check f{&w->place.moves, ""};
  if (!query(o, conn, w->sql, on_master_file_row, &f)) return false;
  if (f.clash[0] == 0) return true;
  char text[TDS_ERR_SIZE];
  std::snprintf(text, sizeof text, "replace refused: the file belongs to another database: ");
  utf8_copy_cut(text + std::strlen(text), sizeof text - std::strlen(text), f.clash);
  return outcome_fail(o, text), false;
}

}  // namespace restore_impl
