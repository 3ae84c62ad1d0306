// Command line and configuration of the command-line host: the flags, the
// optional configuration file, and the JSON text handed to the library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cli {

enum class Command { None, Test, List, Backup, Restore, RestoreTest, Cleanup };

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

// A restore: the target's new name, the point in time, where the backup
// sets come from and where the files go. Each is sent only when given, so
// the library's defaults (history, newest point, files in place, recovery)
// hold otherwise.
struct RestoreOptions {
  std::optional<std::string> as;       // --as NEW: restore NAME's backups into NEW
  std::optional<std::string> stop_at;  // as typed; sent with 'T' between date and time
  std::vector<std::string> files;      // --files: sets read from these files
  std::vector<std::string> from;       // --from: one set, in one file or its stripes
  std::optional<std::string> file;     // --file N: the set's position, digits as typed
  std::vector<std::string> moves;      // each --move as typed: "default" or LOGICAL=PATH
  bool replace = false;
  bool no_recovery = false;
  bool dry_run = false;
};

// Proof of a backup by restoring it under a scratch name, checking the copy
// with DBCC CHECKDB and dropping it: the restore-test command, or a backup's
// --verify restore. Unset: the library's defaults (a scratch name of its own
// choosing, a full check).
struct ProofOptions {
  bool by_restore = false;                       // backup --verify restore
  std::optional<std::string> checkdb;            // full, physical_only or none
  std::optional<std::string> scratch_database;   // one database only
  bool scratch_from_file = false;                // it came from the --config file
};

// A cleanup of old backup files: the window that stays restorable, as
// typed, and the server folders that bound what may be deleted. The dry run
// is the restore's flag (RestoreOptions::dry_run).
struct CleanupOptions {
  std::optional<std::string> keep;   // --keep DURATION: 36h or 14d
  std::vector<std::string> folders;  // each --folder, in order
};

// The hours of a --keep DURATION ("36h" or "14d", 1 to 876000 hours);
// false for any other text.
bool parse_keep_hours(const std::string& text, int64_t& hours);

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
  RestoreOptions restore;
  ProofOptions proof;
  CleanupOptions cleanup;
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
  // A restore (the command is restore): the flags as given.
  bool restoring = false;
  RestoreOptions restore;
  // A restore test (the command is restore-test): the database names the
  // source whose backups are restored into a scratch copy.
  bool proving = false;
  ProofOptions proof;
  // A cleanup (the command is cleanup): each database's old files go.
  bool cleaning = false;
  CleanupOptions cleanup;
  // Encryption flags, sent only when given (a file's own keys pass in extra).
  std::optional<std::string> encrypt;
  bool trust_server_certificate = false;
  std::optional<std::string> ca_file, host_name_in_certificate;
  // Members of the file that are none of the above, as written, so that keys
  // the library knows and this program does not still reach it.
  std::vector<std::pair<std::string, std::string>> extra;
};

// Whether the command runs as a run over databases rather than as the single
// backup with its progress bar: a restore test and a cleanup always do, a backup over
// several databases (--all, more than one --database, or one of the run's
// own options).
bool is_many_run(const Settings& s);

// The folders a cleanup may delete in: --folder, else for the cleanups
// after a backup run's backups (--keep) its --out-dir.
std::vector<std::string> cleanup_folders(const Settings& s);

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
// A restore sends "operation":"restore" and its own keys and leaves out the
// backup's (compression, copy_only, verify, and the file's out_path and
// stripes, which name where a backup goes, not where a restore reads).
std::string config_json(const Settings& s);

// "host:port", with brackets around an IPv6 address.
std::string endpoint(const Settings& s);

}  // namespace cli
