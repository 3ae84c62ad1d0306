#include "backup_history.h"

#include <algorithm>
#include <cctype>

#include "catalog.h"
#include "clock.h"
#include "config.h"

namespace sim {

namespace {

bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(uint8_t(x)) == std::tolower(uint8_t(y));
         });
}

}  // namespace

void BackupHistory::add(BackupSetRecord set) {
  std::lock_guard<std::mutex> lock(mu_);
  set.id = next_id_++;
  auto media = std::find(media_.begin(), media_.end(), set.media_guid);
  if (media == media_.end()) media = media_.insert(media_.end(), set.media_guid);
  set.media_set_id = int(media - media_.begin()) + 1;
  if (set.type == 'D' && !set.copy_only && !has_base_locked(set.database)) based_.push_back(set.database);
  sets_.push_back(std::move(set));
}

std::vector<BackupSetRecord> BackupHistory::of_database(const std::string& database) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<BackupSetRecord> out;
  for (const BackupSetRecord& s : sets_) {
    if (same_name(s.database, database)) out.push_back(s);
  }
  return out;
}

std::vector<BackupSetRecord> BackupHistory::sharing_files(const std::string& database) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> named;
  for (const BackupSetRecord& s : sets_) {
    if (same_name(s.database, database)) named.insert(named.end(), s.devices.begin(), s.devices.end());
  }
  auto shares = [&](const BackupSetRecord& s) {
    return std::any_of(s.devices.begin(), s.devices.end(), [&](const std::string& d) {
      return std::any_of(named.begin(), named.end(), [&](const std::string& n) { return same_name(n, d); });
    });
  };
  std::vector<int> media;
  for (const BackupSetRecord& s : sets_) {
    if (shares(s)) media.push_back(s.media_set_id);
  }
  std::vector<BackupSetRecord> out;
  for (const BackupSetRecord& s : sets_) {
    if (std::find(media.begin(), media.end(), s.media_set_id) != media.end()) out.push_back(s);
  }
  return out;
}

bool BackupHistory::names_file(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mu_);
  return std::any_of(sets_.begin(), sets_.end(), [&](const BackupSetRecord& s) {
    return !s.url && std::any_of(s.devices.begin(), s.devices.end(), [&](const std::string& d) { return d == path; });
  });
}

bool BackupHistory::has_base_locked(const std::string& database) const {
  return std::any_of(based_.begin(), based_.end(), [&](const std::string& d) { return same_name(d, database); });
}

bool BackupHistory::has_base(const std::string& database) const {
  std::lock_guard<std::mutex> lock(mu_);
  return has_base_locked(database);
}

std::optional<int> BackupHistory::newest_position(const std::string& database, char type, const std::string& device,
                                                  std::chrono::system_clock::time_point since) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = sets_.rbegin(); it != sets_.rend(); ++it) {
    if (!same_name(it->database, database) || it->type != type || it->finished_at < since) continue;
    if (std::find(it->devices.begin(), it->devices.end(), device) != it->devices.end()) return it->position;
  }
  return std::nullopt;
}

std::optional<std::chrono::system_clock::time_point> BackupHistory::last_finished(const std::string& database,
                                                                                 char type) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::optional<std::chrono::system_clock::time_point> last;
  for (const BackupSetRecord& s : sets_) {
    if (!same_name(s.database, database) || s.type != type || (type == 'D' && s.copy_only)) continue;
    if (!last || s.finished_at > *last) last = s.finished_at;
  }
  return last;
}

void seed_last_backups(const Config& cfg, std::chrono::system_clock::time_point now) {
  const Stamp local_now = now_stamp();
  for (const Database& d : cfg.databases) {
    const std::pair<char, int64_t> ages[] = {{'D', d.full_age_s}, {'I', d.differential_age_s}, {'L', d.log_age_s}};
    for (const auto& [type, age] : ages) {
      if (age < 0) continue;
      BackupSetRecord set;
      set.database = d.name;
      set.type = type;
      set.finished_at = now - std::chrono::seconds(age);
      set.finished = set.started = local_now - age * STAMP_PER_SECOND;
      set.media_guid = new_guid();
      backup_history().add(set);
    }
  }
}

BackupHistory& backup_history() {
  static BackupHistory history;
  return history;
}

}  // namespace sim
