// What the simulated server serves and how it misbehaves: logins, the
// catalog, version texts, backup speed and the fault modes. Filled from
// defaults, then a JSON file, then command-line flags, in that order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct Login {
  std::string user;      // compared without regard to case
  std::string password;  // compared exactly
};

// One file of a database, as sys.master_files and a backup's file list
// describe it.
struct DbFile {
  std::string logical;
  std::string physical;  // empty in the configuration: under the default folder
  char type = 'D';       // D data, L log
  int64_t size_mb = 0;
};

struct Database {
  int id = 0;            // 1 to 4 are the system databases
  std::string name;
  int64_t size_mb = 0;
  std::string recovery;  // FULL, SIMPLE or BULK_LOGGED
  bool online = true;
  std::vector<DbFile> files;  // empty: one data and one log file named after the database
  bool damaged = false;       // its pages fail a consistency check
  bool hidden = false;        // the login cannot see it (no VIEW ANY DATABASE), yet may restore over and drop it
  // What a whole-server run decides by: the state's name as the catalog
  // shows it (ONLINE exactly when online), read-only, the availability
  // group role of this replica ("primary", "secondary", "" outside a group)
  // and whether it is the replica preferred for backups.
  std::string state_desc = "ONLINE";
  bool read_only = false;
  std::string ag_role;
  bool preferred_replica = true;
  // Seconds before the server's start at which the last backup of each kind
  // finished, entered into the history at start (a full one is a base for
  // differential and log backups); -1: none.
  int64_t full_age_s = -1, differential_age_s = -1, log_age_s = -1;
};

// Which response a fault hits.
enum class FaultOn { Any, Prelogin, Login, Batch };

struct Faults {
  FaultOn on = FaultOn::Any;
  // Close the connection once this many bytes of the targeted response (with
  // Any: of everything sent on the connection) have gone out; -1: never.
  int64_t close_after = -1;
  // Give the first packet of the targeted response a Length of 4.
  bool bad_length = false;
  // Answer nothing from the targeted request on; the connection stays open.
  bool silent = false;
};

// A TLS handshake that goes wrong on purpose.
enum class TlsFault {
  None,
  WrongName,  // a certificate for other.example only
  Expired,    // a certificate whose validity ended yesterday
  Drop,       // part of the server's first flight, then the connection closes
  Garbage,    // bytes that are no TLS record answer the ClientHello
};

// A DBCC CHECKDB that goes wrong on purpose: the connection closes when
// one arrives, or nothing more is answered (attention included) until the
// client leaves.
// Snapshot: CHECKDB cannot make its snapshot and stops with that error,
// which reports nothing about the database.
enum class CheckDbFault { None, Close, Hang, Snapshot };

struct TlsOptions {
  std::string cert_path;   // PEM certificate (chain); empty: a self-signed one made at start
  std::string key_path;    // PEM private key of cert_path
  std::string cert_out;    // where to write the certificate in use, as PEM
  bool strict = false;     // TLS from the first byte, ALPN "tds/8.0" required
  uint8_t handshake_type = 0x12;  // packet type of the server's wrapped handshake flights
  int wrapped_max = 0x0303;       // highest version of a wrapped handshake: TLS 1.2 as servers
                                  // play it (0x0304: TLS 1.3)
  TlsFault fault = TlsFault::None;
};

struct Config {
  std::string listen = "127.0.0.1";
  int port = 1433;

  std::vector<Login> logins;
  std::vector<Database> databases;  // system databases first, ids unique

  std::string version = "16.0.4135.4";
  std::string edition = "Developer Edition (64-bit)";
  std::string program = "Microsoft SQL Server";
  std::string server_name = "VAULTRUN-SIM";

  int64_t backup_ms = 400;         // fixed part of every backup's duration
  int64_t backup_ms_per_mb = 0;    // added per MB of the database
  int64_t clock_step_s = 0;        // each backup moves the server's clock forward this far
  int64_t delete_ms = 0;           // how long xp_delete_file takes
  int64_t backup_silent_ms = 0;    // pause after the first progress message

  uint8_t encryption = 2;          // PRELOGIN answer: 0 off, 1 on, 2 not supported, 3 required
  TlsOptions tls;
  int packet_size = 0;             // 0: what the client asks for (4096 if out of range)
  int split = 0;                   // > 0: every packet sent is at most this long
  Faults faults;

  // Backup kinds: the server objects a backup may name, where URL targets
  // go, and a fault that damages every backup set once it is written.
  std::vector<std::string> credentials;      // server credentials, by name
  std::vector<std::string> certificates;     // certificates for encrypted backups
  std::vector<std::string> asymmetric_keys;  // asymmetric keys for encrypted backups
  std::string url_root;                      // directory of URL targets; empty: URLs are unreachable
  // The server's default data and log folders, each ending with '/'; empty:
  // data/ and log/ under $TMPDIR/vaultrun-sim.
  std::string data_dir, log_dir;
  bool corrupt_newest = false;
  // Databases whose pages fail DBCC CHECKDB (and so do their backups and
  // the copies restored from them), by name; and a CHECKDB that breaks the
  // connection instead of answering.
  std::vector<std::string> damaged;
  CheckDbFault checkdb_fault = CheckDbFault::None;
  // A second server behind the same host name: once a CHECKDB closed the
  // connection, later logins reach a server of this name (empty: none),
  // which has databases of the same names.
  std::string failover_server_name;
  // Another connection creates a database of the name each claim found
  // free, right after the claim's answer.
  bool race_create = false;
  // Databases the login cannot see, by name.
  std::vector<std::string> hidden;
  // Backup sets made up at start in the history of each online user
  // database that is not SIMPLE (no files behind them): a long history for
  // planning a restore.
  int history_sets = 0;

  // Rights and messages that differ between servers: logins refused the
  // backup history in msdb, and whether a backup reports the position of
  // the set it wrote ("... on file P.").
  std::vector<std::string> history_denied;
  // Logins that are not sysadmin: xp_delete_file refuses them.
  std::vector<std::string> not_sysadmin;
  bool position_message = true;

  std::string log_path;            // one line per SQL batch and attention
  bool quiet = false;              // no start and stop lines on stderr
};

// Reads flags (and the JSON file that --config names) into cfg. Returns an
// empty text on success, else the reason. --help sets want_help.
std::string load_config(int argc, char** argv, Config& cfg, bool& want_help);

// Text of --help.
const char* usage_text();

// The catalog a server starts with: the system databases and a small sample.
void add_system_databases(Config& cfg);
void add_sample_databases(Config& cfg);

// Whether the edition can write compressed backups (Express and Web cannot).
bool edition_compresses(const Config& cfg);

// Database by name, ignoring case; null when there is none.
const Database* find_database(const Config& cfg, const std::string& name);

// Parses a JSON configuration text into cfg (over what it already holds).
// Returns an empty text on success, else the reason.
std::string apply_json(const std::string& text, Config& cfg);

}  // namespace sim
