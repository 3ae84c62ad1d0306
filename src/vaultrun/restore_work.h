// What a restore holds while it plans and runs, in parts: the sets its
// sources offer, where the files go, the plan and one statement buffer;
// and the functions the restore's files share. Internal to the restore,
// its restore test and a backup's proof.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tds_client/tds_client.h"
#include "vaultrun/config.h"
#include "vaultrun/doc_text.h"
#include "vaultrun/restore_plan.h"
#include "vaultrun/restore_sources.h"
#include "vaultrun/session_outcome.h"
#include "vaultrun/statements.h"

namespace restore_impl {

// Bounds on what the sources may offer: sets (after the newest full in the
// history), the bytes of their file names together, and one name.
constexpr int32_t MAX_SETS = 65536;
constexpr size_t NAMES_CAP = 16u << 20;
constexpr size_t PATH_MAX_BYTES = 1023;

inline constexpr auto& cell_of = row_cell;
inline constexpr auto& int_of = row_int;

// The backup files of one set, one after another in the name area.
struct media_entry {
  uint32_t at;  // offset of the first file name
  int32_t count;
  int32_t families;  // of the media set, as its source says (0: not said)
};

// The sets the sources offer and their file names, on the heap: they grow
// with the history.
struct restore_sets {
  plan_set* sets;
  media_entry* media;
  int32_t nsets, set_cap;
  char* names;
  size_t names_len, names_cap;
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

// Where the files of the first step go, and the names the moves point to.
struct restore_placement {
  restore_moves moves;
  char move_names[MAX_RESTORE_FILES][2][PATH_MAX_BYTES + 1];
  char data_folder[PATH_MAX_BYTES + 1];
  char log_folder[PATH_MAX_BYTES + 1];
};

// A restore's work, on the heap.
struct restore_work {
  // The restore's own configuration: the session's, or a restore test's
  // copy of it with the copy's name as the target.
  backup_config cfg;
  restore_sets src;
  restore_plan plan;
  restore_placement place;
  char sql[RESTORE_STATEMENT_CAP];  // the one statement being built or sent
};

// A work record holding a copy of cfg; null for want of memory.
restore_work* work_new(const backup_config* cfg);
// Frees w (null too), wiping its copy of the password.
void work_free(restore_work* w);

// Room for one more set; false when the bounds refuse it.
bool grow_sets(restore_sets* src);
// Appends a file name (with its terminator) to the name area.
bool add_name(restore_sets* src, const char* path);
// The files of set i as statement targets.
void targets_of(const restore_work* w, int32_t i, restore_targets* t);

// A query of the restore's reading phase, its rows to on_row; o fails with
// the server's cause when it fails.
bool query(session_outcome* o, tds_conn* conn, const char* sql, tds_row_fn on_row, void* ctx);

// ---- Reading the sources (restore_source_reads.cpp) ----

// The sets of the history of the source database, in one query.
bool read_history(session_outcome* o, tds_conn* conn, restore_work* w);
// The sets of one media set whose files are t, through HEADERONLY: of
// database (null: every set, an explicit set); incomplete marks them so.
bool read_headers(session_outcome* o, tds_conn* conn, restore_work* w, const restore_targets* t, const char* database,
                  uint8_t incomplete);
// The sets of the configuration's backup files, by their labels.
bool read_backup_files(session_outcome* o, tds_conn* conn, restore_work* w);

// ---- Where the files go (restore_moves.cpp) ----

// The moves of the first step: as listed, or every file of the first set
// under the server's default folders.
bool plan_moves(session_outcome* o, tds_conn* conn, restore_work* w);
// Paths derived for the files, with REPLACE: none may be a file of another
// database, which REPLACE would overwrite.
bool derived_paths_own(session_outcome* o, tds_conn* conn, restore_work* w);

// A "physical_name" row checked against the moves' paths: the first that
// an existing file holds, cut to fit.
struct file_check {
  const restore_moves* moves;
  char clash[PATH_MAX_BYTES + 1];
};
const char* on_master_file_row(void* ctx, const tds_meta* meta, const tds_row* row);

// ---- The steps (restore_steps.cpp) ----

// The statement of plan step k into w->sql.
bool step_statement(restore_work* w, int32_t k);
// Reads the sources and plans: the steps, the moves and every statement,
// before anything that changes the server is sent. False once o failed.
bool restore_prepare(session_outcome* o, tds_conn* conn, restore_work* w);
// A statement that could not be built fails where it would have gone out:
// nothing is sent (the buffer still holds the one before), and the cause
// reads as the connection's own.
void unbuilt(tds_conn* conn);
// Runs the planned steps and the recovery, publishing progress into s.
// Returns the steps completed; all of them on success. A step that fails
// leaves its cause in conn->err.
int32_t restore_steps(backup_session* s, tds_conn* conn, restore_work* w);

// ---- The documents (restore_report.cpp) ----

const char* step_type_name(uint8_t type);
// The first `done` steps as an array member: each step's kind, first
// file, position and finish time, and with statements (a dry run) the
// statement of each.
void doc_steps(doc_text* d, restore_work* w, const char* name, int32_t done, bool statements, bool close = true);
void doc_stop_at(doc_text* d, restore_work* w);
// A restore's outcome: failed after a RESTORE was sent, planned (a dry
// run), or done.
void report_failure(session_outcome* o, restore_work* w, int32_t done, const char* error);
void report_plan(session_outcome* o, restore_work* w);
void report_done(session_outcome* o, restore_work* w, int64_t start_ms);

}  // namespace restore_impl
