// The statements of a backup, built from an accepted configuration: the
// only place where a host's text becomes SQL text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vaultrun/config.h"

// Room for the longest statement of any accepted configuration: every byte
// of every text doubled (the stripes' area holds the targets, one path or
// all of them), each target's own words, and the fixed words and numbers.
constexpr size_t STATEMENT_CAP =
    2 * (sizeof(backup_config::database) - 1) + 2 * STRIPE_AREA + MAX_STRIPES * 16 +
    2 * (sizeof(backup_config::credential) - 1) + 2 * (sizeof(backup_config::server_certificate) - 1) +
    2 * (sizeof(backup_config::name) - 1) + 2 * (sizeof(backup_config::description) - 1) + 512;

// "BACKUP DATABASE [name] TO DISK = N'path' WITH STATS = 5[, COMPRESSION][, COPY_ONLY]"
// with "]" doubled in the name and "'" doubled in the path; then the backup
// kinds' options: BACKUP LOG for a log backup, every target (DISK, or URL
// for a URL target), DIFFERENTIAL, INIT, CHECKSUM, NAME, DESCRIPTION,
// BUFFERCOUNT, MAXTRANSFERSIZE, BLOCKSIZE, CREDENTIAL (https targets) and
// ENCRYPTION with its certificate or key in brackets. Writes into out
// (cap bytes); false, with out empty, when it does not fit. The texts must
// be well-formed UTF-8, as parse_config leaves them: a stray byte could pair
// up with a quote when the text is converted for the wire.
bool backup_statement(const backup_config* cfg, char* out, size_t cap);

// The query for the position of the backup set this session wrote: the
// newest set in the server's backup history of the database and kind whose
// media holds the first target, finished within the last `seconds`. One
// row with one int column "position", or none.
bool history_statement(const backup_config* cfg, int64_t seconds, char* out, size_t cap);

// "RESTORE VERIFYONLY FROM DISK = N'path' WITH FILE = n[, CHECKSUM]" over
// every target (URL for a URL target, with CREDENTIAL for https), quoted as
// above; file is the backup set's position in the media.
bool verify_statement(const backup_config* cfg, int32_t file, char* out, size_t cap);

// ---- Restore ----------------------------------------------------------------

// The backup files of one media set (its families, in order): at most 64,
// each a text of at most 1023 bytes.
constexpr int MAX_RESTORE_TARGETS = 64;
struct restore_targets {
  const char* path[MAX_RESTORE_TARGETS];
  int32_t count;
};

// MOVE pairs of a restore's first step: a logical file name (at most 128
// UTF-16 units) and the physical path it goes to.
constexpr int MAX_RESTORE_FILES = MAX_MOVES;
struct restore_moves {
  const char* logical[MAX_RESTORE_FILES];
  const char* physical[MAX_RESTORE_FILES];
  int32_t count;
};

// What a step restores.
enum restore_step_kind : int32_t { STEP_FULL = 0, STEP_DIFFERENTIAL = 1, STEP_LOG = 2 };

// Room for the longest restore statement: every target and every move
// doubled, the names and the fixed words. It is some 400 KiB, so callers
// keep it on the heap.
constexpr size_t RESTORE_STATEMENT_CAP =
    2 * (sizeof(backup_config::database) - 1) + MAX_RESTORE_TARGETS * (2 * 1023 + 16) +
    MAX_RESTORE_FILES * (2 * 3 * 128 + 2 * 1023 + 24) + 2 * (sizeof(backup_config::credential) - 1) +
    2 * STOP_AT_BYTES + 2 * (sizeof(backup_config::database) - 1) + 512;

// The server's default data and log folders, as nvarchar columns data_path
// and log_path.
bool restore_folders_statement(char* out, size_t cap);

// The backup history of the configuration's source database, in one query:
// every set under its name, with its database, recovery forks and its media
// set's family count, one row per media family, ordered by set and family.
bool restore_history_statement(const backup_config* cfg, char* out, size_t cap);

// ---- Retention ---------------------------------------------------------------

// Every set of every media set that shares a file with a backup of the
// configuration's database (sets of other databases included), one row per
// media family, ordered by set and family, with the media set's unique id
// (media_uuid), the set's database_name and backup_size, and the server's
// local time now (server_now).
bool cleanup_history_statement(const backup_config* cfg, char* out, size_t cap);

// "EXECUTE master.dbo.xp_delete_file 0, N'path'": the server deletes that
// one backup file.
bool delete_file_statement(const char* path, char* out, size_t cap);

// "RESTORE LABELONLY FROM DISK = N'p'" (URL for a URL) with the
// configuration's credential, for one backup file.
bool restore_labelonly_statement(const backup_config* cfg, const char* path, char* out, size_t cap);

// "RESTORE HEADERONLY FROM <targets>" with the credential.
bool restore_headeronly_statement(const backup_config* cfg, const restore_targets* t, char* out, size_t cap);

// "RESTORE FILELISTONLY FROM <targets> WITH FILE = n" with the credential.
bool restore_filelist_statement(const backup_config* cfg, const restore_targets* t, int32_t file, char* out,
                                size_t cap);

// One step: RESTORE DATABASE (full, differential) or RESTORE LOG of the
// target database from the set at position file, WITH NORECOVERY; the
// moves (may be null) and REPLACE on a full only; STOPAT with the
// configuration's stop_at when stop is set (a log); then CHECKSUM, the
// tuning keys, the credential and STATS = 5.
bool restore_step_statement(const backup_config* cfg, restore_step_kind kind, const restore_targets* t,
                            int32_t file, const restore_moves* moves, bool stop, char* out, size_t cap);

// "RESTORE DATABASE [db] WITH RECOVERY": the last step.
bool restore_recovery_statement(const backup_config* cfg, char* out, size_t cap);
// ---- Restore tests ---------------------------------------------------------

// Every file of every database, as the nvarchar column "physical_name": the
// copy's files must not land on one of them.
const char* database_files_statement();

// The copy a restore test restores, checks and drops: a name this session
// claimed on the server and found free there, the server that answered, and
// whether a RESTORE into it has been sent. Only the restore test's own flow
// sets these, in that order.
constexpr size_t SERVER_NAME_BYTES = 3 * 256 + 1;
constexpr size_t SERVER_TIME_BYTES = 32;
struct scratch_copy {
  char name[3 * DATABASE_MAX_UNITS + 1];
  bool checked_free;
  bool restore_sent;
  char server[SERVER_NAME_BYTES];         // the server's own name at the claim
  char claimed_at[SERVER_TIME_BYTES];     // the server's clock at the claim, yyyy-mm-ddThh:mi:ss[.mmm]
};

// What makes the copy this session's own once a RESTORE created it: its
// name, the database_id and create_date the server gave it, and the server.
// Only a recorded identity can be dropped.
struct copy_identity {
  char name[3 * DATABASE_MAX_UNITS + 1];
  char server[SERVER_NAME_BYTES];
  char create_date[SERVER_TIME_BYTES];  // as the server writes it, style 126
  int32_t database_id;
  bool recorded;
};

// One batch that claims the name for the rest of this session (an exclusive
// application lock on the name as the server folds it: upper-cased, trailing
// spaces dropped) and answers one row: "claim" (0 or 1 when granted, below 0
// when another session holds it), "database_id" (NULL when no database of
// that name exists under the server's comparison), "server_name" and
// "server_time".
bool claim_statement(const char* name, char* out, size_t cap);

// The copy's identity, one row of "database_id", "create_date" and
// "server_name", or none: a database of the copy's name created since the
// claim. False (out empty) unless the copy was claimed free and restored into.
bool identity_statement(const scratch_copy* copy, char* out, size_t cap);

// "IF <the name, id, create_date and server all still match> DROP DATABASE
// [copy] ELSE RAISERROR(...)": the server checks the identity just before
// the drop, and answers error 50000 instead when it does not hold. False
// (out empty) unless the identity was recorded.
bool drop_statement(const copy_identity* id, char* out, size_t cap);

// After a drop: one row, "present" (-1 on another server than the
// identity's, else how many databases still have the identity's id and
// create_date) and "server_name".
bool gone_statement(const copy_identity* id, char* out, size_t cap);

// The files of every database but the named one (all when none has the
// name), as "physical_name".
bool other_files_statement(const char* name, char* out, size_t cap);

// "SELECT DB_ID(N'name') AS database_id": the id the server resolves the
// name to, under its own comparison (NULL when none).
bool database_id_statement(const char* name, char* out, size_t cap);

// The error number the DROP batch raises when the identity does not hold.
constexpr int32_t ERR_NOT_THE_COPY = 50000;

// "DBCC CHECKDB ([copy]) WITH NO_INFOMSGS, ALL_ERRORMSGS" with
// ", PHYSICAL_ONLY" for CHECKDB_PHYSICAL_ONLY; false (out empty) for
// CHECKDB_NONE or a copy not yet restored into.
bool checkdb_statement(const scratch_copy* copy, int32_t mode, char* out, size_t cap);

// The listing's statement: online user databases with their size in MB and
// recovery model; include_system adds master, model and msdb (never tempdb).
// With details, databases in every state and, after those three columns, in
// order: state_desc, is_read_only (0/1), the local replica's availability
// group role in lower case (NULL outside a group), whether this replica is
// the one preferred for backups (0/1), and the finish times of the last full
// (not copy-only), differential and log backup in the history, in UTC as
// yyyy-mm-ddThh:mi:ss[.mmm] (NULL when none). A constant text: nothing of
// the host's reaches it.
const char* listing_statement(bool details, bool include_system);
