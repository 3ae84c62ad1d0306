// The statements the simulated server understands, recognised from the
// text of a SQL batch: the version query, the database listing, the
// default folders, the backup history queries, BACKUP DATABASE | LOG, the
// RESTORE family, and the SET / USE / SELECT @@... that ordinary clients
// send after logging in. Pure text in, statements out.
#pragma once

#include <string>
#include <vector>

namespace sim {

enum class StmtKind {
  Version,     // product version and edition, one NVARCHAR row
  Listing,     // online user databases: name, size in MB, recovery model; with
               // details and system databases as the statement asks
  Backup,      // BACKUP DATABASE | LOG [db] TO DISK | URL = N'path' [, ...] WITH ...
  Verify,      // RESTORE VERIFYONLY FROM DISK | URL = N'path' [, ...] [WITH FILE = n, ...]
  History,     // the position of the newest matching set in msdb's backup history
  Set,         // SET <option> ...: accepted, no effect
  Use,         // USE [db]
  SelectVars,  // SELECT @@SPID, @@VERSION, DB_NAME() ... [AS alias]
  Folders,     // the default data and log folders
  HistoryPlan, // every set of a database from its newest full backup by a time on
  LabelOnly,   // RESTORE LABELONLY | HEADERONLY | FILELISTONLY FROM ... [WITH ...]
  HeaderOnly,
  FileListOnly,
  Restore,     // RESTORE DATABASE | LOG [db] FROM ... [WITH ...]
  Recover,     // RESTORE DATABASE [db] WITH RECOVERY
  CheckDb,     // DBCC CHECKDB ([db]) [WITH NO_INFOMSGS, ALL_ERRORMSGS, PHYSICAL_ONLY ...]
  Drop,        // DROP DATABASE [db]
  Names,       // SELECT name FROM sys.databases: every database's name
  FileNames,   // SELECT physical_name FROM sys.master_files: every database's files
  // The restore test's batches about its copy, each read whole, with the
  // literals in args in the order they appear:
  Claim,       // an application lock on a name, and what DB_ID says of it (name, name)
  Identity,    // a name's database_id and create_date, if created since a time (name, time)
  DropCopy,    // DROP DATABASE if name, id, server and create_date still match (name, id, server, id, date, [name])
  Gone,        // whether a database of an id and create_date remains (server, id, date)
  DbId,        // SELECT DB_ID(N'name') (name)
  OtherFiles,  // the files of every database but one (name)
  CleanupHistory,  // every set of the media sets sharing a file with a database's backups
  DeleteFile,  // EXECUTE master.dbo.xp_delete_file 0, N'path': one backup file
};

struct SelectItem {
  std::string expr;   // upper-case: @@SPID, @@VERSION, DB_NAME() ...
  std::string alias;  // column name, may be empty
};

struct Statement {
  StmtKind kind = StmtKind::Set;
  std::string database;     // Backup, Use: the name with its quoting undone
  std::string path;         // Backup, Verify: the first device with its quoting undone
  int stats = 0;            // Backup: progress step in percent, 0 for none
  bool compression = false;
  bool copy_only = false;

  // Backup and Verify: the devices and the options of the backup kinds.
  std::vector<std::string> paths;  // every device, in order
  bool url = false;                // URL devices rather than DISK
  bool log = false;                // BACKUP LOG
  bool differential = false;
  bool init = false;               // INIT or FORMAT: earlier sets are overwritten
  bool checksum = false;
  int file = 1;                    // Verify and the RESTOREs: FILE = n
  bool file_given = false;

  // Restore: the options of RESTORE DATABASE | LOG.
  std::vector<std::pair<std::string, std::string>> moves;  // MOVE N'logical' TO N'physical'
  bool replace = false;
  bool recovery = true;            // NORECOVERY clears it
  std::string stop_at;             // STOPAT = N'...', as written
  bool no_infomsgs = false;        // CheckDb: WITH NO_INFOMSGS
  std::string credential, set_name, description;
  int buffer_count = 0, max_transfer_size = 0, block_size = 0;
  std::string cipher, certificate, asymmetric_key;  // ENCRYPTION (...)

  // Listing: which of the library's listing statements.
  bool listing_details = false, listing_system = false;

  // History: which sets the query asks about.
  char history_type = 'D';
  std::string history_device;
  int history_seconds = 0;
  std::vector<SelectItem> items;  // SelectVars
  std::vector<std::string> args;  // Claim ... DbId: the literals
};

// The outcome of reading a batch: the statements, or the one error a server
// reports for a batch it cannot compile (then nothing in it runs).
struct Batch {
  std::vector<Statement> statements;
  int error_number = 0;     // 0: the batch compiled
  std::string error_text;
};

Batch parse_batch(const std::string& text);

// The two statement texts the backup library sends, word for word.
extern const char* const VERSION_QUERY;
extern const char* const LISTING_QUERY;
// The listing the library sends for its "details" and "include_system"
// keys (both false: LISTING_QUERY).
const char* listing_query(bool details, bool include_system);
// The backup history query the library sends, with @db, @type, @device and
// @seconds standing for its literals.
extern const char* const HISTORY_QUERY;
// The default folders query, word for word.
extern const char* const FOLDERS_QUERY;
// The names of every database and the files of every database, word for word.
extern const char* const NAMES_QUERY;
extern const char* const FILE_NAMES_QUERY;
// The restore plan's history query, with @db for the database (twice) and
// @until for GETDATE() or CONVERT(datetime2, N'...', 126).
extern const char* const HISTORY_PLAN_QUERY;
// The restore test's batches about its copy, with ? for each literal.
extern const char* const CLAIM_BATCH;
extern const char* const IDENTITY_QUERY;
extern const char* const DROP_COPY_BATCH;
extern const char* const GONE_QUERY;
extern const char* const DB_ID_QUERY;
extern const char* const OTHER_FILES_QUERY;
// A cleanup's history query with @db for the database, and its deletion of
// one file with @path.
extern const char* const CLEANUP_HISTORY_QUERY;
extern const char* const DELETE_FILE_STATEMENT;

}  // namespace sim
