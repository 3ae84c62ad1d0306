#include "catalog.h"

#include <algorithm>
#include <cctype>
#include <random>

#include "clock.h"

namespace sim {

namespace {

bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(uint8_t(x)) == std::tolower(uint8_t(y));
         });
}

// A GUID that stays the same for a name from one run to the next.
Bytes name_guid(const std::string& name) {
  uint64_t h = 0xcbf29ce484222325ULL;
  Bytes g(16);
  for (int k = 0; k < 16; ++k) {
    for (char c : name) h = (h ^ uint8_t(c)) * 0x100000001b3ULL;
    h = (h ^ uint64_t(k)) * 0x100000001b3ULL;
    g[size_t(k)] = uint8_t(h >> 32);
  }
  return g;
}

// The LSN a database starts with: virtual log file, block and slot as the
// server writes them (vlf * 10^15 + block * 10^5 + slot).
constexpr uint64_t LSN_BLOCK = 100000;

}  // namespace

Bytes new_guid() {
  static std::mutex mu;
  static std::mt19937_64 rng{std::random_device{}()};
  std::lock_guard<std::mutex> lock(mu);
  Bytes g(16);
  uint64_t a = rng(), b = rng();
  for (int k = 0; k < 8; ++k) {
    g[size_t(k)] = uint8_t(a >> (8 * k));
    g[size_t(k + 8)] = uint8_t(b >> (8 * k));
  }
  return g;
}

int64_t files_mb(const Database& d) {
  int64_t mb = 0;
  for (const DbFile& f : d.files) mb += f.size_mb;
  return mb;
}

uint64_t advance_log(LiveDatabase& d) {
  const Stamp now = now_stamp();
  const Stamp idle = std::max<Stamp>(0, now - d.touched);
  // One block per 10 ms of activity, and at least one per event.
  d.lsn += LSN_BLOCK * uint64_t(1 + idle / (STAMP_PER_SECOND / 100));
  d.touched = now;
  return d.lsn;
}

void Catalog::load(const Config& cfg) {
  std::lock_guard<std::mutex> lock(mu_);
  data_dir_ = cfg.data_dir;
  log_dir_ = cfg.log_dir;
  dbs_.clear();
  for (const Database& d : cfg.databases) {
    LiveDatabase l;
    static_cast<Database&>(l) = d;
    l.state = d.online ? DbState::Online : d.state_desc == "RESTORING" ? DbState::Restoring : DbState::Offline;
    if (l.files.empty()) {
      const int64_t log_mb = d.size_mb / 4;
      l.files.push_back({d.name, "", 'D', d.size_mb - log_mb});
      l.files.push_back({d.name + "_log", "", 'L', log_mb});
    }
    for (DbFile& f : l.files) {
      if (!f.physical.empty()) continue;
      f.physical = f.type == 'L' ? log_dir_ + f.logical + ".ldf" : data_dir_ + f.logical + ".mdf";
    }
    for (const std::string& name : cfg.damaged) {
      if (same_name(name, d.name)) l.damaged = true;
    }
    l.family_guid = name_guid(d.name);
    l.fork_guid = name_guid(d.name + "/fork");
    l.lsn = uint64_t(20 + d.id) * 1000000000000000ULL + 37 * LSN_BLOCK + 1;
    l.checkpoint_lsn = l.lsn;
    l.touched = now_stamp();
    dbs_.push_back(std::move(l));
  }
}

LiveDatabase* find_in(std::vector<LiveDatabase>& dbs, const std::string& name) {
  for (LiveDatabase& d : dbs) {
    if (same_name(d.name, name)) return &d;
  }
  return nullptr;
}

std::optional<LiveDatabase> Catalog::find(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const LiveDatabase& d : dbs_) {
    if (same_name(d.name, name)) return d;
  }
  return std::nullopt;
}

std::vector<LiveDatabase> Catalog::all() const {
  std::lock_guard<std::mutex> lock(mu_);
  return dbs_;
}

void Catalog::edit(const std::function<void(std::vector<LiveDatabase>&)>& f) {
  std::lock_guard<std::mutex> lock(mu_);
  f(dbs_);
}

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(uint8_t(c)));
  return s;
}

}  // namespace

void Catalog::move_user(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& [name, n] : users_) {
    if (!from.empty() && name == lower(from)) --n;
  }
  if (to.empty()) return;
  for (auto& [name, n] : users_) {
    if (name == lower(to)) {
      ++n;
      return;
    }
  }
  users_.emplace_back(lower(to), 1);
}

int Catalog::users(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& [n, count] : users_) {
    if (n == lower(name)) return count;
  }
  return 0;
}

Catalog& catalog() {
  static Catalog c;
  return c;
}

}  // namespace sim
