// Command line and configuration of the command-line host: the flags, the
// optional configuration file, and the JSON text handed to the library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cli {

enum class Command { None, Test, List, Backup };

// A backup run over several databases: which ones, how many at once, and
// where their files go. Empty or unset everywhere: the one-database backup.
struct ManyOptions {
  std::vector<std::string> databases;  // each --database, in order
  bool all = false;
  std::vector<std::string> excludes;   // wildcard patterns
  std::optional<int> parallel;
  std::optional<std::string> out_dir, name_template, metrics_file;
  // What a scheduled run decides per database from the detailed listing.
  bool system = false;        // --system: master, model and msdb too
  bool change_type = false;   // --change-type: full when there is no base
  bool all_replicas = false;  // --all-replicas: not only the preferred one
  std::optional<std::string> if_older_than;  // --if-older-than DURATION
};

// What the command line said, before any file is read.
struct Options {
  Command command = Command::None;
  bool help = false;
  bool version = false;
  bool json = false;
  ManyOptions many;
  std::optional<std::string> config_path;  // "-" is standard input
  std::optional<std::string> host, user, database, out_path;
  std::optional<int32_t> port;
  std::optional<bool> compression, copy_only, verify;
  std::optional<int64_t> connect_timeout_ms, query_timeout_ms;
  // Backup kinds: each flag as the library's member (key, JSON value), and
  // the --stripe paths in order.
  std::vector<std::pair<std::string, std::string>> kind_members;
  std::vector<std::string> stripes;
  // Encryption: unset flags leave the configuration as the file has it.
  std::optional<std::string> encrypt;  // "true", "false" or "strict"
  bool trust_server_certificate = false;
  std::optional<std::string> ca_file, host_name_in_certificate;
};

// The configuration in effect: defaults, then the file, then the flags.
struct Settings {
  std::string host = "127.0.0.1";
  int32_t port = 1433;
  std::string user;
  std::optional<std::string> password;  // unset: ask for it (or use empty)
  std::string database;
  std::string out_path;
  ManyOptions many;
  bool compression = true;
  bool copy_only = false;
  bool verify = true;
  int64_t connect_timeout_ms = 15000;
  int64_t query_timeout_ms = 30000;
  // Backup kinds from the flags, over the file's members of the same keys.
  std::vector<std::pair<std::string, std::string>> kind_members;
  std::vector<std::string> stripes;
  // Encryption flags, sent only when given (a file's own keys pass in extra).
  std::optional<std::string> encrypt;
  bool trust_server_certificate = false;
  std::optional<std::string> ca_file, host_name_in_certificate;
  // Members of the file that are none of the above, as written, so that keys
  // the library knows and this program does not still reach it.
  std::vector<std::pair<std::string, std::string>> extra;
};

// Whether the backup runs over several databases (--all, more than one
// --database, or one of the run's own options), rather than as the single
// backup with its progress bar.
bool is_many_run(const Settings& s);

// How many backups run at once: --parallel, else two.
int parallel_of(const Settings& s);

// Parses argv[1..]. Returns "" or the usage error's text.
std::string parse_args(int argc, char** argv, Options& opt);

// Reads the configuration file that opt names (if any) into s, then applies
// the flags over it. Returns "" or the reason the file cannot be used.
std::string resolve_settings(const Options& opt, Settings& s);

// Checks that what the command needs is there and that every text reaches
// the library whole. Returns "" or the usage error's text.
std::string check_settings(Command cmd, const Settings& s);

// The configuration text for the library; the password must be resolved.
std::string config_json(const Settings& s);

// "host:port", with brackets around an IPv6 address.
std::string endpoint(const Settings& s);

}  // namespace cli
