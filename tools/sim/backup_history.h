// The server's backup history, shared by every connection: the backup sets
// written (as msdb keeps them, one row per set with its media families)
// and, per database, whether a full backup exists to base a differential or
// a log backup on.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "wire.h"

namespace sim {

struct BackupSetRecord {
  int64_t id = 0;                      // backup_set_id, growing
  int media_set_id = 0;                // one per media set, growing
  std::string database;
  char type = 'D';                     // D full, I differential, L log
  bool copy_only = false;
  bool url = false;                    // device_type 9 (URL) rather than 2 (disk)
  std::vector<std::string> devices;    // physical_device_name of each stripe
  int position = 1;                    // in its media
  Bytes media_guid;
  uint64_t first_lsn = 0, last_lsn = 0, checkpoint_lsn = 0, database_backup_lsn = 0;
  uint64_t differential_base_lsn = 0;  // 0: NULL (sets other than differentials)
  int64_t size = 0;                    // backup_size in bytes
  Stamp started = 0;
  Stamp finished = 0;                  // server local time
  std::chrono::system_clock::time_point finished_at;
  // The database the set is of, and its recovery forks at the set's first
  // and last LSN (they differ for a log that crosses a fork, at fork_point).
  Bytes database_guid = Bytes(16), first_fork = Bytes(16), last_fork = Bytes(16);
  uint64_t fork_point = 0;
  int family_count = 0;  // of its media set; 0: as many as its devices
};

class BackupHistory {
 public:
  // Records a set that has been written; a full backup that is not
  // copy-only becomes the base of later differential and log backups.
  void add(BackupSetRecord set);
  // Whether the database has a full backup to base others on.
  bool has_base(const std::string& database) const;
  // The position of the newest set of this database and type that one of
  // its devices names and that finished at or after `since`.
  // When the newest set of this database and type finished; a full
  // backup counts only when it is not copy-only, as only such a one is a base.
  std::optional<std::chrono::system_clock::time_point> last_finished(const std::string& database, char type) const;
  std::optional<int> newest_position(const std::string& database, char type, const std::string& device,
                                     std::chrono::system_clock::time_point since) const;
  // The sets of the database from its newest full backup finished by
  // `until` on (from its first set when there is none), in id order.
  std::vector<BackupSetRecord> of_database(const std::string& database) const;
  // Every set of every media set that names a file (compared as the
  // server's collation does) that some set of the database names, in id
  // order: a cleanup's view of what the files hold.
  std::vector<BackupSetRecord> sharing_files(const std::string& database) const;
  // Whether a set this server wrote names the file.
  bool names_file(const std::string& path) const;

 private:
  bool has_base_locked(const std::string& database) const;
  mutable std::mutex mu_;
  std::vector<BackupSetRecord> sets_;
  std::vector<std::string> based_;  // databases with a full backup
  std::vector<Bytes> media_;        // media set GUIDs; media_set_id is the index + 1
  int64_t next_id_ = 1;
};

// The one history of this server process.
BackupHistory& backup_history();

struct Config;
// Enters the catalog's last backups (their ages before now) into the history.
void seed_last_backups(const Config& cfg, std::chrono::system_clock::time_point now);

}  // namespace sim
