// The server's backup history, shared by every connection: the backup sets
// written (as msdb keeps them) and, per database, whether a full backup
// exists to base a differential or a log backup on.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct BackupSetRecord {
  int64_t id = 0;                      // backup_set_id, growing
  std::string database;
  char type = 'D';                     // D full, I differential, L log
  std::vector<std::string> devices;    // physical_device_name of each stripe
  int position = 1;                    // in its media
  std::chrono::system_clock::time_point finished;
  bool copy_only = false;
};

class BackupHistory {
 public:
  // Records a set that has been written; a full backup that is not
  // copy-only becomes the base of later differential and log backups.
  void add(BackupSetRecord set, bool copy_only);
  // Whether the database has a full backup to base others on.
  bool has_base(const std::string& database) const;
  // The position of the newest set of this database and type that one of
  // its devices names and that finished at or after `since`.
  // When the newest set of this database and type finished; a full
  // backup counts only when it is not copy-only, as only such a one is a base.
  std::optional<std::chrono::system_clock::time_point> last_finished(const std::string& database, char type) const;
  std::optional<int> newest_position(const std::string& database, char type, const std::string& device,
                                     std::chrono::system_clock::time_point since) const;

 private:
  bool has_base_locked(const std::string& database) const;
  mutable std::mutex mu_;
  std::vector<BackupSetRecord> sets_;
  std::vector<std::string> based_;  // databases with a full backup
  int64_t next_id_ = 1;
};

// The one history of this server process.
BackupHistory& backup_history();

struct Config;
// Enters the catalog's last backups (their ages before now) into the history.
void seed_history(const Config& cfg, std::chrono::system_clock::time_point now);

}  // namespace sim
