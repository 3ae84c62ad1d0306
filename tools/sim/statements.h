// The statements the simulated server understands, recognised from the
// text of a SQL batch: the version query, the database listing, BACKUP
// DATABASE, RESTORE VERIFYONLY, and the SET / USE / SELECT @@... that
// ordinary clients send after logging in. Pure text in, statements out.
#pragma once

#include <string>
#include <vector>

namespace sim {

enum class StmtKind {
  Version,     // product version and edition, one NVARCHAR row
  Listing,     // online user databases: name, size in MB, recovery model
  Backup,      // BACKUP DATABASE [db] TO DISK = N'path' WITH ...
  Verify,      // RESTORE VERIFYONLY FROM DISK = N'path'
  Set,         // SET <option> ...: accepted, no effect
  Use,         // USE [db]
  SelectVars,  // SELECT @@SPID, @@VERSION, DB_NAME() ... [AS alias]
};

struct SelectItem {
  std::string expr;   // upper-case: @@SPID, @@VERSION, DB_NAME() ...
  std::string alias;  // column name, may be empty
};

struct Statement {
  StmtKind kind = StmtKind::Set;
  std::string database;     // Backup, Use: the name with its quoting undone
  std::string path;         // Backup, Verify: the path with its quoting undone
  int stats = 0;            // Backup: progress step in percent, 0 for none
  bool compression = false;
  bool copy_only = false;
  std::vector<SelectItem> items;  // SelectVars
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

}  // namespace sim
