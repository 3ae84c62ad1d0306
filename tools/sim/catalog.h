// The server's databases as they change while it runs: created and
// replaced by restores, left restoring, recovered. Each has its files, a
// log position that grows with time and activity, and the state of its
// backup chain (the base of differentials, the end of the log backed up).
// Shared by every connection; readers get copies.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "wire.h"

namespace sim {

enum class DbState { Online, Offline, Restoring };

struct LiveDatabase : Database {
  DbState state = DbState::Online;
  Bytes family_guid;            // the database's identity, kept by its backups and restores
  // The recovery fork its log is on. After a restore that stopped inside a
  // log and recovered, a new fork starts at fork_at (on fork_from), and the
  // next log backups start in the old path's log, crossing to the new one.
  Bytes fork_guid = Bytes(16), fork_from = Bytes(16);
  uint64_t fork_at = 0;
  // While restoring: the fork the restored data is on, the first LSN of the
  // last log restored, and whether the restore stopped inside it.
  Bytes restored_fork = Bytes(16);
  uint64_t restored_log_first = 0;
  bool stopped_inside = false;
  uint64_t lsn = 0;             // the log's end
  Stamp touched = 0;            // when lsn last moved
  // Backup chain.
  uint64_t base_first_lsn = 0;       // first LSN of the newest full backup that is no copy
  uint64_t base_checkpoint_lsn = 0;  // its checkpoint; 0: no full backup yet
  uint64_t checkpoint_lsn = 0;       // the newest checkpoint
  uint64_t log_chain_lsn = 0;        // where the next log backup starts; 0: no chain yet
  Stamp log_chain_time = 0;          // the time at log_chain_lsn
  // While restoring: how far the restored data reaches.
  uint64_t redo_lsn = 0;
  Stamp redo_time = 0;
  uint64_t restored_base_lsn = 0;    // first LSN of the restored full; 0: no differential fits
  std::string create_date;           // when it was created, as CONVERT(varchar(23), ..., 126) writes it
};

// A name as the server compares names under its default collation:
// trailing spaces dropped, letters folded to one case (ASCII and Latin-1).
std::string name_key(const std::string& name);

// The server's clock as CONVERT(varchar(23), ..., 126) writes it, with
// milliseconds always.
std::string server_time_text();

class Catalog {
 public:
  // The databases of the configuration, with the files of each (named after
  // it under the default folders when it names none) and a starting LSN.
  void load(const Config& cfg);
  std::optional<LiveDatabase> find(const std::string& name) const;
  std::vector<LiveDatabase> all() const;
  // Runs f on the databases under the lock; f must not call back.
  void edit(const std::function<void(std::vector<LiveDatabase>&)>& f);
  // Sessions whose current database is each one: a session moves from one
  // to another (an empty name: none), and a database in use is not dropped.
  void move_user(const std::string& from, const std::string& to);
  int users(const std::string& name) const;
  // Session application locks on names (by name_key): true when granted to
  // spid (also when it already holds it); all of a session's go when it leaves.
  bool claim(const std::string& resource, uint16_t spid);
  void release_claims(uint16_t spid);
  // The server's own name for a new login; after fail_over, the second
  // server's.
  std::string server_name() const;
  void fail_over(const std::string& second);
  const std::string& data_dir() const { return data_dir_; }
  const std::string& log_dir() const { return log_dir_; }

 private:
  mutable std::mutex mu_;
  std::vector<LiveDatabase> dbs_;
  std::vector<std::pair<std::string, int>> users_;  // lower-case name, sessions
  std::string data_dir_, log_dir_;
  std::vector<std::pair<std::string, uint16_t>> claims_;
  std::string server_name_;
};

// The one catalog of this server process.
Catalog& catalog();

// The database by name (ignoring case) in a vector under edit; null if none.
LiveDatabase* find_in(std::vector<LiveDatabase>& dbs, const std::string& name);

// Moves the database's log on by the activity since it last moved and
// returns the new end.
uint64_t advance_log(LiveDatabase& d);

// The database's size in MB: its files together.
int64_t files_mb(const Database& d);

// A fresh random GUID, as 16 bytes in the order the server sends them.
Bytes new_guid();

}  // namespace sim
