// What the RESTORE statements and the restore plan's queries answer, apart
// from the connection: the result sets of LABELONLY, HEADERONLY,
// FILELISTONLY, the default folders and the history; the checks a restore
// passes before it starts (with the server's errors when it does not); and
// what a finished step changes in the catalog.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "backup_file.h"
#include "backup_history.h"
#include "catalog.h"
#include "config.h"
#include "statements.h"
#include "wire.h"

namespace sim {

// printf into a text of at most 2 KB: the server's message texts.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

struct ResultSet {
  std::vector<Column> cols;
  std::vector<std::vector<Cell>> rows;
};

struct ServerMessage {
  int number;
  std::string text;
};

ResultSet folder_rows(const std::string& data_dir, const std::string& log_dir);
// Every database's name ("name"), and every file of every database ("physical_name").
ResultSet name_rows(const std::vector<LiveDatabase>& dbs);
ResultSet file_name_rows(const std::vector<LiveDatabase>& dbs);
// One row per set and media family, as msdb's backupset joined to
// backupmediafamily gives them.
ResultSet history_plan_rows(const std::vector<BackupSetRecord>& sets);
// A cleanup's history: each set of the media sets with the media set's
// unique id, the set's database and size, and the server's time now.
ResultSet cleanup_history_rows(const std::vector<BackupSetRecord>& sets, Stamp now);
// The media label of one family's file, from its first set.
ResultSet label_rows(const SetInfo& first, const Config& cfg);
// One row per set; pages: each set's pages over all its families.
ResultSet header_rows(const std::vector<SetInfo>& sets, const std::vector<int64_t>& pages, bool url,
                      const Config& cfg);
ResultSet filelist_rows(const SetInfo& set);

// A restore step that passed its checks: where each file of the set goes,
// and the point the log reaches (a STOPAT inside the log stops it there).
struct RestoreStep {
  std::vector<ServerMessage> errors;  // not empty: refused, 3013 still to follow
  std::vector<ServerMessage> notes;   // informational messages after the step
  std::vector<DbFile> files;          // full restores: the files as restored
  uint64_t redo_lsn = 0;
  Stamp redo_time = 0;
};

// Checks RESTORE DATABASE | LOG of `set` into s.database against the catalog
// (dbs) and the file system; stop is the parsed STOPAT, if any.
RestoreStep check_restore(const Statement& s, const SetInfo& set, const std::vector<LiveDatabase>& dbs,
                          std::optional<Stamp> stop);

// Marks the target restoring with the step's files before a full restore
// copies anything, so that it is never listed half-restored and stays
// restoring if the step is cut short.
void begin_restore(const Statement& s, const SetInfo& set, const RestoreStep& step, std::vector<LiveDatabase>& dbs);
// Records a finished step (and recovers the database when s.recovery).
void finish_restore(const Statement& s, const SetInfo& set, const RestoreStep& step, std::vector<LiveDatabase>& dbs);
// Brings a restoring database online.
void recover_database(LiveDatabase& d);

// Enters n made-up sets of the database into the history, a quarter of an
// hour apart up to now, by the LSN rules of real backups: a full backup
// every 96 sets, a differential every 24, log backups between them (no
// files behind them). The database's chain moves on with them, so that a
// real backup afterwards continues it.
void seed_history(LiveDatabase& d, int n, BackupHistory& history);

}  // namespace sim
