#include "catalog.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>

#include "clock.h"

namespace sim {

namespace {

bool same_name(const std::string& a, const std::string& b) { return name_key(a) == name_key(b); }

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

std::string name_key(const std::string& name) {
  std::string k = name;
  while (!k.empty() && k.back() == ' ') k.pop_back();
  for (size_t i = 0; i < k.size(); ++i) {
    const uint8_t c = uint8_t(k[i]);
    if (c < 0x80) {
      k[i] = char(std::toupper(c));
    } else if (c == 0xC3 && i + 1 < k.size()) {
      // U+00E0..U+00FE to U+00C0..U+00DE, but for the division sign.
      const uint8_t n = uint8_t(k[i + 1]);
      if (n >= 0xA0 && n <= 0xBE && n != 0xB7) k[i + 1] = char(n - 0x20);
      ++i;
    }
  }
  return k;
}

std::string server_time_text() {
  const auto now = std::chrono::system_clock::now();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  const std::time_t secs = std::time_t(ms / 1000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  char millis[8];
  std::snprintf(millis, sizeof millis, ".%03d", int(ms % 1000));
  return std::string(buf) + millis;
}

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
  claims_.clear();
  server_name_ = cfg.server_name;
  // The configured databases were all made before the server started.
  const std::string made = "2020-01-01T00:00:00.000";
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
    for (const std::string& name : cfg.hidden) {
      if (same_name(name, d.name)) l.hidden = true;
    }
    l.create_date = made;
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

std::string lower(const std::string& s) { return name_key(s); }

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

bool Catalog::claim(const std::string& resource, uint16_t spid) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& [r, owner] : claims_) {
    if (r == resource) return owner == spid;
  }
  claims_.emplace_back(resource, spid);
  return true;
}

void Catalog::release_claims(uint16_t spid) {
  std::lock_guard<std::mutex> lock(mu_);
  claims_.erase(std::remove_if(claims_.begin(), claims_.end(), [&](const auto& c) { return c.second == spid; }),
                claims_.end());
}

std::string Catalog::server_name() const {
  std::lock_guard<std::mutex> lock(mu_);
  return server_name_;
}

void Catalog::fail_over(const std::string& second) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!second.empty()) server_name_ = second;
}

Catalog& catalog() {
  static Catalog c;
  return c;
}

}  // namespace sim
