#include "options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "decisions.h"
#include "json.h"
#include "name_template.h"

namespace cli {

namespace {

constexpr size_t MAX_CONFIG_BYTES = 1 << 20;
constexpr double MAX_TIMEOUT_S = 1e6;

// The library keeps each text in a fixed field and refuses one that does
// not fit, counting its bytes once the JSON escapes are resolved (the
// database name in UTF-16 units, as the server does). Checking here names
// the option in the user's terms before anything is sent.
struct Field {
  const char* what;
  const std::string Settings::*member;
  size_t max_bytes;
};
const Field FIELDS[] = {
    {"host name", &Settings::host, 255},
    {"user name", &Settings::user, 127},
    {"output path", &Settings::out_path, 1023},
};
constexpr size_t MAX_PASSWORD_BYTES = 255;
constexpr size_t MAX_DATABASE_UNITS = 128;

// UTF-16 units of a UTF-8 text: one a character, two for a four-byte one.
size_t utf16_units(const std::string& s) {
  size_t units = 0;
  for (unsigned char c : s) units += ((c & 0xC0) != 0x80) + (c >= 0xF0);
  return units;
}

bool parse_port(std::string_view text, int32_t& port) {
  int32_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < 1 || v > 65535) return false;
  port = v;
  return true;
}

bool parse_seconds(std::string_view text, int64_t& ms) {
  double v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v) || v < 0 ||
      v > MAX_TIMEOUT_S) {
    return false;
  }
  ms = std::llround(v * 1000.0);
  // A positive time below a millisecond still means "bounded", not "none".
  if (ms == 0 && v > 0) ms = 1;
  return true;
}

// Bytes that survive the trip through the library's configuration reader:
// it decodes \" \\ \/ \n \r \t, but reads \b, \f and \uXXXX as letters.
bool has_unsendable_control(const std::string& s) {
  for (unsigned char c : s) {
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return true;
  }
  return false;
}

std::string read_all(const std::string& path, std::string& text) {
  std::ostringstream buf;
  if (path == "-") {
    buf << std::cin.rdbuf();
    if (std::cin.bad()) return "cannot read standard input";
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string("cannot open: ") + std::strerror(errno);
    buf << in.rdbuf();
    if (in.bad()) return "cannot read";
  }
  text = buf.str();
  if (text.size() > MAX_CONFIG_BYTES) return "larger than 1 MiB";
  return "";
}

std::string apply_file(const JsonValue& root, Settings& s) {
  if (root.kind != JsonValue::Kind::Object) return "must hold a JSON object";
  auto want_string = [](const std::string& key, const JsonValue& v, std::string& dst) -> std::string {
    if (v.kind != JsonValue::Kind::String) return "\"" + key + "\" must be a string";
    dst = v.text;
    return "";
  };
  auto want_bool = [](const std::string& key, const JsonValue& v, bool& dst) -> std::string {
    if (v.kind != JsonValue::Kind::Bool) return "\"" + key + "\" must be true or false";
    dst = v.boolean;
    return "";
  };
  auto want_ms = [](const std::string& key, const JsonValue& v, int64_t& dst) -> std::string {
    int64_t n = 0;
    if (!v.as_int(n) || n < 0 || n > int64_t(MAX_TIMEOUT_S * 1000)) {
      return "\"" + key + "\" must be a whole number of milliseconds, 0 or more";
    }
    dst = n;
    return "";
  };
  for (const auto& [key, v] : root.members) {
    std::string e;
    if (key == "host") {
      e = want_string(key, v, s.host);
    } else if (key == "port") {
      int64_t n = 0;
      bool ok = v.kind == JsonValue::Kind::String ? parse_port(v.text, s.port)
                                                  : v.as_int(n) && parse_port(v.text, s.port);
      if (!ok) e = "\"port\" must be a whole number from 1 to 65535";
    } else if (key == "user") {
      e = want_string(key, v, s.user);
    } else if (key == "password") {
      std::string p;
      e = want_string(key, v, p);
      if (e.empty()) s.password = p;
      wipe(p);
    } else if (key == "database") {
      e = want_string(key, v, s.database);
    } else if (key == "out_path") {
      e = want_string(key, v, s.out_path);
    } else if (key == "compression") {
      e = want_bool(key, v, s.compression);
    } else if (key == "copy_only") {
      e = want_bool(key, v, s.copy_only);
    } else if (key == "verify" && v.kind == JsonValue::Kind::String && v.text == "restore") {
      s.proof.by_restore = true;
    } else if (key == "verify") {
      e = want_bool(key, v, s.verify);
      if (e.empty()) s.proof.by_restore = false;
      if (!e.empty()) e = "\"verify\" must be true, false or \"restore\"";
    } else if (key == "scratch_database") {
      std::string name;
      e = want_string(key, v, name);
      if (e.empty()) {
        s.proof.scratch_database = name;
        s.proof.scratch_from_file = true;
      }
    } else if (key == "connect_timeout_ms") {
      e = want_ms(key, v, s.connect_timeout_ms);
    } else if (key == "query_timeout_ms") {
      e = want_ms(key, v, s.query_timeout_ms);
    } else {
      s.extra.emplace_back(key, v.raw);
    }
    if (!e.empty()) return e;
  }
  return "";
}

// ---- A run over several databases ----------------------------------------------

std::string check_database_name(const std::string& name) {
  if (name.empty()) return "a database name is empty";
  if (has_unsendable_control(name)) return "the database name holds a control character";
  if (utf16_units(name) > MAX_DATABASE_UNITS) {
    return "the database name is too long (at most " + std::to_string(MAX_DATABASE_UNITS) + " UTF-16 code units)";
  }
  return "";
}

std::string check_many_sources(const ManyOptions& m) {
  if (m.all && !m.databases.empty()) return "--all and --database cannot both be given";
  if (!m.all && m.databases.empty()) return "a database is required (--database NAME, repeated, or --all)";
  if (!m.excludes.empty() && !m.all) return "--exclude applies with --all only";
  for (size_t i = 0; i < m.databases.size(); ++i) {
    if (std::string e = check_database_name(m.databases[i]); !e.empty()) return e;
    for (size_t k = 0; k < i; ++k) {
      if (m.databases[k] == m.databases[i]) return "the database " + m.databases[i] + " is named twice";
    }
  }
  return "";
}

std::string check_many_targets(const Settings& s) {
  const ManyOptions& m = s.many;
  const bool file_stripes = std::any_of(s.extra.begin(), s.extra.end(), [](const auto& x) { return x.first == "stripes"; });
  if (!s.stripes.empty() || file_stripes) {
    return "--stripe names fixed files and cannot be used with --all, several databases or --out-dir";
  }
  if (m.out_dir && !s.out_path.empty()) return "--out and --out-dir cannot both be given";
  if (m.name_template && !m.out_dir) return "--name-template needs --out-dir";
  if (!m.out_dir) {
    if (m.all || m.databases.size() > 1) return "--out-dir DIR is required to back up several databases";
    if (s.out_path.empty()) return "an output path on the server is required (--out PATH or --out-dir DIR)";
    return "";
  }
  if (m.out_dir->empty()) return "--out-dir needs a directory";
  if (has_unsendable_control(*m.out_dir)) return "the output directory holds a control character";
  if (m.name_template) return check_name_template(*m.name_template);
  return "";
}

std::string check_cleanup_window(const Settings& s);

std::string check_many(const Settings& s) {
  if (std::string e = check_many_sources(s.many); !e.empty()) return e;
  if (s.many.parallel && (*s.many.parallel < 1 || *s.many.parallel > 4)) return "--parallel takes 1 to 4";
  if (s.many.metrics_file && s.many.metrics_file->empty()) return "--metrics-file needs a path";
  int64_t seconds = 0;
  if (s.many.if_older_than && !parse_duration(*s.many.if_older_than, seconds)) {
    return "--if-older-than takes a duration such as 15m, 20h or 1d12h";
  }
  if (s.many.system && !s.many.all) return "--system applies with --all only";
  if (!s.cleanup.keep && !s.cleanup.folders.empty()) return "--folder applies to a backup run with --keep only";
  if (std::string e = check_many_targets(s); !e.empty() || !s.cleanup.keep) return e;
  return check_cleanup_window(s);
}

// ---- A restore -------------------------------------------------------------------

constexpr size_t MAX_RESTORE_FILES = 256;  // the library reads the sets of at most this many files
constexpr size_t MAX_FROM_STRIPES = 64;    // a backup writes at most this many stripes
constexpr long MAX_FILE_POSITION = 32767;  // the server numbers sets in a file up to this
constexpr size_t MAX_PATH_BYTES = 1023;    // the library's field for a path or URL
constexpr size_t MAX_MOVES = 128;          // files of a database the library moves
constexpr size_t MAX_LOGICAL_UNITS = 128;  // a logical file name, in UTF-16 units as the server counts

// "YYYY-MM-DDTHH:MM:SS" with up to seven fraction digits; a space may stand
// for the 'T', as the server shows its times. The day is checked against its
// month by the library, which owns the calendar.
bool is_stop_at(const std::string& t) {
  auto number = [&](size_t at, size_t n, int lo, int hi) {
    int v = 0;
    for (size_t k = at; k < at + n; ++k) {
      if (t[k] < '0' || t[k] > '9') return false;
      v = v * 10 + (t[k] - '0');
    }
    return v >= lo && v <= hi;
  };
  if (t.size() < 19 || t.size() == 20 || t.size() > 27) return false;
  if (t[4] != '-' || t[7] != '-' || (t[10] != 'T' && t[10] != ' ') || t[13] != ':' || t[16] != ':') return false;
  if (!number(0, 4, 1, 9999) || !number(5, 2, 1, 12) || !number(8, 2, 1, 31) || !number(11, 2, 0, 23) ||
      !number(14, 2, 0, 59) || !number(17, 2, 0, 59)) {
    return false;
  }
  return t.size() == 19 || (t[19] == '.' && number(20, t.size() - 20, 0, 9999999));
}

// The time as the library reads it: 'T' between date and time.
std::string stop_at_value(std::string t) {
  if (t.size() > 10) t[10] = 'T';
  return t;
}

// Letters in either case are the same name to the server's default collation.
bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string check_moves(const std::vector<std::string>& moves) {
  const bool has_default = std::find(moves.begin(), moves.end(), "default") != moves.end();
  if (has_default && moves.size() > 1) return "--move default cannot be combined with --move LOGICAL=PATH";
  if (has_default) return "";
  if (moves.size() > MAX_MOVES) return "at most " + std::to_string(MAX_MOVES) + " --move";
  std::vector<std::string> names;
  for (const std::string& m : moves) {
    size_t eq = m.find('=');
    if (eq == std::string::npos) return "--move takes LOGICAL=PATH or default, not '" + m + "'";
    std::string logical = m.substr(0, eq), path = m.substr(eq + 1);
    if (logical.empty() || path.empty()) return "--move needs a logical file name and a path: '" + m + "'";
    if (has_unsendable_control(m)) return "a --move value holds a control character";
    if (utf16_units(logical) > MAX_LOGICAL_UNITS) {
      return "the logical file name " + logical + " is too long (at most " + std::to_string(MAX_LOGICAL_UNITS) +
             " UTF-16 code units)";
    }
    if (path.size() > MAX_PATH_BYTES) {
      return "the --move path of " + logical + " is too long (at most " + std::to_string(MAX_PATH_BYTES) + " bytes)";
    }
    for (const std::string& n : names) {
      if (same_name(n, logical)) return "the logical file " + logical + " is moved twice";
    }
    names.push_back(logical);
  }
  return "";
}

std::string check_paths(const char* flag, const std::vector<std::string>& paths) {
  for (const std::string& p : paths) {
    if (p.empty()) return std::string(flag) + " needs a path";
    if (has_unsendable_control(p)) return std::string("a ") + flag + " path holds a control character";
    if (p.size() > MAX_PATH_BYTES) {
      return std::string("a ") + flag + " path is too long (at most " + std::to_string(MAX_PATH_BYTES) + " bytes)";
    }
  }
  return "";
}

// What a restore needs, and the combinations it cannot take, refused before
// anything is sent.
std::string check_restore(const Settings& s) {
  const RestoreOptions& r = s.restore;
  if (s.many.databases.size() > 1) return "restore takes one --database (use --as NEW for another name)";
  if (s.database.empty()) return "a database is required (--database NAME, whose backups are restored)";
  if (r.as) {
    if (r.as->empty()) return "--as needs a database name";
    if (std::string e = check_database_name(*r.as); !e.empty()) return "--as: " + e;
  }
  if (!r.files.empty() && !r.from.empty()) return "--files and --from cannot both be given";
  if (r.file && r.from.empty()) return "--file needs --from (the backup file that holds the set)";
  if (r.file && (std::stol(*r.file) < 1 || std::stol(*r.file) > MAX_FILE_POSITION)) {
    return "--file takes a set's position from 1 to " + std::to_string(MAX_FILE_POSITION);
  }
  if (r.files.size() > MAX_RESTORE_FILES) return "at most " + std::to_string(MAX_RESTORE_FILES) + " --files";
  if (r.from.size() > MAX_FROM_STRIPES) return "at most " + std::to_string(MAX_FROM_STRIPES) + " --from (stripes)";
  if (std::string e = check_paths("--files", r.files); !e.empty()) return e;
  if (std::string e = check_paths("--from", r.from); !e.empty()) return e;
  if (r.stop_at && !is_stop_at(*r.stop_at)) {
    return "--stop-at takes the server's local time as YYYY-MM-DDTHH:MM:SS[.fffffff], not '" + *r.stop_at + "'";
  }
  return check_moves(r.moves);
}

// ---- A restore test, and a backup proved by one ---------------------------------------

// The check of a copy applies where a copy is made; one scratch name cannot
// serve several databases, whose copies would meet under it.
std::string check_proof(Command cmd, const Settings& s) {
  const ProofOptions& p = s.proof;
  if (cmd == Command::Backup && !p.by_restore && (p.checkdb || (p.scratch_database && !p.scratch_from_file))) {
    return "--checkdb and --scratch-database apply with --verify restore only";
  }
  if (cmd == Command::Backup && p.by_restore && !s.verify) {
    return "--verify restore and --no-verify cannot both be given";
  }
  if (!p.scratch_database) return "";
  if (s.many.all || s.many.databases.size() > 1) {
    return p.scratch_from_file ? "\"scratch_database\" in the --config file applies to one database only"
                               : "--scratch-database applies to one --database only";
  }
  if (std::string e = check_database_name(*p.scratch_database); !e.empty()) return "--scratch-database: " + e;
  return "";
}

std::string check_restore_test(const Settings& s) {
  if (std::string e = check_many_sources(s.many); !e.empty()) return e;
  if (s.many.parallel && (*s.many.parallel < 1 || *s.many.parallel > 4)) return "--parallel takes 1 to 4";
  if (s.many.metrics_file && s.many.metrics_file->empty()) return "--metrics-file needs a path";
  if (s.restore.stop_at && !is_stop_at(*s.restore.stop_at)) {
    return "--stop-at takes the server's local time as YYYY-MM-DDTHH:MM:SS[.fffffff], not '" + *s.restore.stop_at + "'";
  }
  return "";
}

// ---- A cleanup --------------------------------------------------------------------

constexpr size_t MAX_CLEANUP_FOLDERS = 64;  // the library bounds a cleanup by at most this many

// A server folder as the library takes one: a path from a root ("/",
// "\\", "C:\" or "C:/"), with no ".." component.
bool is_server_folder(const std::string& f) {
  const bool rooted = (!f.empty() && (f[0] == '/' || f[0] == '\\')) ||
                      (f.size() >= 3 && std::isalpha(static_cast<unsigned char>(f[0])) && f[1] == ':' &&
                       (f[2] == '/' || f[2] == '\\'));
  for (size_t at = 0; rooted && at < f.size();) {
    const size_t end = f.find_first_of("/\\", at);
    if (f.compare(at, (end == std::string::npos ? f.size() : end) - at, "..") == 0) return false;
    at = end == std::string::npos ? f.size() : end + 1;
  }
  return rooted;
}

// The window and the folders of a cleanup, or of the cleanups after a
// backup run's backups, whose folder is --out-dir unless --folder says.
std::string check_cleanup_window(const Settings& s) {
  int64_t hours = 0;
  if (!s.cleanup.keep) return "a window to keep is required (--keep DURATION, such as 36h or 14d)";
  if (!parse_keep_hours(*s.cleanup.keep, hours)) {
    return "--keep takes hours or days, such as 36h or 14d (1 hour to 100 years), not '" + *s.cleanup.keep + "'";
  }
  const std::vector<std::string> folders = cleanup_folders(s);
  if (folders.empty()) return "a folder on the server to delete in is required (--folder DIR, repeated)";
  if (folders.size() > MAX_CLEANUP_FOLDERS) return "--folder is given more than " + std::to_string(MAX_CLEANUP_FOLDERS) + " times";
  for (const std::string& f : folders) {
    if (f.empty()) return "--folder needs a directory";
    if (has_unsendable_control(f)) return "a --folder holds a control character";
    if (f.size() > MAX_PATH_BYTES) return "a --folder is too long (at most " + std::to_string(MAX_PATH_BYTES) + " bytes)";
    // Refused here, before any backup of a run is taken, rather than by the
    // library once they are.
    if (s.cleanup.folders.empty() && !is_server_folder(f)) {
      return "--keep deletes in --out-dir, which must then be an absolute server folder without '..' (or give "
             "--folder DIR), not '" + f + "'";
    }
  }
  return "";
}

std::string check_cleanup(const Settings& s) {
  if (std::string e = check_many_sources(s.many); !e.empty()) return e;
  if (s.many.system && !s.many.all) return "--system applies with --all only";
  if (s.many.parallel && (*s.many.parallel < 1 || *s.many.parallel > 4)) return "--parallel takes 1 to 4";
  if (s.many.metrics_file && s.many.metrics_file->empty()) return "--metrics-file needs a path";
  return check_cleanup_window(s);
}

}  // namespace

namespace {

// ---- Command-line options -------------------------------------------------------
// Each option is one row: its names, which commands take it, its value and
// what it sets. parse_args walks the rows.

// Which commands take an option: connection options go with every command,
// the backup's own only with backup, the restore's only with restore, the
// database and the tuning of the transfer with every command that moves a
// backup; a restore test shares the run's options with backup (Run), the
// point in time and the dry run with restore (Point), and its check with a
// backup's --verify restore (Proof).
// A cleanup takes the run's options, the database (Listing), --system and
// its window and folders with backup (BackupOrCleanup: a backup run cleans
// after each backup), and the dry run with restore (DryRun).
enum class Scope {
  Always, Command, Backup, Restore, BackupOrRestore, Run, Point, Proof, RestoreTest,
  Listing, BackupOrCleanup, DryRun
};

// What follows an option.
enum class Arg {
  None,     // nothing: "--flag=value" is refused
  Text,     // any text, empty included
  Host,     // a host name or address, not empty
  Port,     // 1 to 65535
  Seconds,  // a decimal number of seconds, 0 for no limit
  Count,    // a whole number written in digits (the library checks its range)
  Encrypt,  // true, false or strict
  Never,    // refused whatever follows (the password: PASSWORD_REFUSAL says why)
  Paths,    // one text or more: the arguments that follow, up to the next option
  Verify,   // restore (the only way of verifying that takes a word)
  CheckDb,  // full, physical_only or none
};

// A value as read, already checked against its row.
struct Value {
  std::string text;
  int32_t port = 0;
  int64_t ms = 0;
};

struct Flag {
  const char* name;
  const char* alias;  // or null
  Scope scope;
  Arg arg;
  void (*set)(Options&, const Value&);
};

using O = Options;
using V = Value;

void kind(Options& o, const char* key, const std::string& json) { o.kind_members.emplace_back(key, json); }

const Flag FLAGS[] = {
    {"--help", "-h", Scope::Always, Arg::None, [](O& o, const V&) { o.help = true; }},
    {"--version", nullptr, Scope::Always, Arg::None, [](O& o, const V&) { o.version = true; }},
    {"--json", nullptr, Scope::Command, Arg::None, [](O& o, const V&) { o.json = true; }},
    {"--config", nullptr, Scope::Command, Arg::Text, [](O& o, const V& v) { o.config_path = v.text; }},
    {"--host", nullptr, Scope::Command, Arg::Host, [](O& o, const V& v) { o.host = v.text; }},
    {"--port", nullptr, Scope::Command, Arg::Port, [](O& o, const V& v) { o.port = v.port; }},
    {"--user", nullptr, Scope::Command, Arg::Text, [](O& o, const V& v) { o.user = v.text; }},
    {"--connect-timeout", nullptr, Scope::Command, Arg::Seconds,
     [](O& o, const V& v) { o.connect_timeout_ms = v.ms; }},
    {"--query-timeout", nullptr, Scope::Command, Arg::Seconds,
     [](O& o, const V& v) { o.query_timeout_ms = v.ms; }},
    {"--database", nullptr, Scope::Listing, Arg::Text,
     [](O& o, const V& v) {
       o.database = v.text;
       o.many.databases.push_back(v.text);
     }},
    {"--out", nullptr, Scope::Backup, Arg::Text, [](O& o, const V& v) { o.out_path = v.text; }},
    // A run over several databases.
    {"--all", nullptr, Scope::Run, Arg::None, [](O& o, const V&) { o.many.all = true; }},
    {"--exclude", nullptr, Scope::Run, Arg::Text, [](O& o, const V& v) { o.many.excludes.push_back(v.text); }},
    {"--parallel", nullptr, Scope::Run, Arg::Count, [](O& o, const V& v) { o.many.parallel = std::stoi(v.text); }},
    {"--out-dir", nullptr, Scope::Backup, Arg::Text, [](O& o, const V& v) { o.many.out_dir = v.text; }},
    {"--name-template", nullptr, Scope::Backup, Arg::Text, [](O& o, const V& v) { o.many.name_template = v.text; }},
    {"--metrics-file", nullptr, Scope::Run, Arg::Text, [](O& o, const V& v) { o.many.metrics_file = v.text; }},
    {"--system", nullptr, Scope::BackupOrCleanup, Arg::None, [](O& o, const V&) { o.many.system = true; }},
    {"--change-type", nullptr, Scope::Backup, Arg::None, [](O& o, const V&) { o.many.change_type = true; }},
    {"--all-replicas", nullptr, Scope::Backup, Arg::None, [](O& o, const V&) { o.many.all_replicas = true; }},
    {"--if-older-than", nullptr, Scope::Backup, Arg::Text, [](O& o, const V& v) { o.many.if_older_than = v.text; }},
    {"--no-compression", nullptr, Scope::Backup, Arg::None, [](O& o, const V&) { o.compression = false; }},
    {"--copy-only", nullptr, Scope::Backup, Arg::None, [](O& o, const V&) { o.copy_only = true; }},
    {"--no-verify", nullptr, Scope::Backup, Arg::None, [](O& o, const V&) { o.verify = false; }},
    {"--verify", nullptr, Scope::Backup, Arg::Verify, [](O& o, const V&) { o.proof.by_restore = true; }},
    // Proof by a restore test.
    {"--checkdb", nullptr, Scope::Proof, Arg::CheckDb, [](O& o, const V& v) { o.proof.checkdb = v.text; }},
    {"--scratch-database", nullptr, Scope::Proof, Arg::Text,
     [](O& o, const V& v) { o.proof.scratch_database = v.text; }},
    // Backup kinds: the library checks each value before anything is sent.
    {"--type", nullptr, Scope::Backup, Arg::Text, [](O& o, const V& v) { kind(o, "type", json_quote(v.text)); }},
    {"--checksum", nullptr, Scope::BackupOrRestore, Arg::None, [](O& o, const V&) { kind(o, "checksum", "true"); }},
    {"--init", nullptr, Scope::Backup, Arg::None, [](O& o, const V&) { kind(o, "init", "true"); }},
    {"--stripe", nullptr, Scope::Backup, Arg::Text, [](O& o, const V& v) { o.stripes.push_back(v.text); }},
    {"--credential", nullptr, Scope::BackupOrRestore, Arg::Text,
     [](O& o, const V& v) { kind(o, "credential", json_quote(v.text)); }},
    {"--buffer-count", nullptr, Scope::BackupOrRestore, Arg::Count, [](O& o, const V& v) { kind(o, "buffer_count", v.text); }},
    {"--max-transfer-size", nullptr, Scope::BackupOrRestore, Arg::Count,
     [](O& o, const V& v) { kind(o, "max_transfer_size", v.text); }},
    {"--block-size", nullptr, Scope::BackupOrRestore, Arg::Count, [](O& o, const V& v) { kind(o, "block_size", v.text); }},
    {"--encryption", nullptr, Scope::Backup, Arg::Text,
     [](O& o, const V& v) { kind(o, "encryption", json_quote(v.text)); }},
    {"--server-certificate", nullptr, Scope::Backup, Arg::Text,
     [](O& o, const V& v) { kind(o, "server_certificate", json_quote(v.text)); }},
    {"--server-asymmetric-key", nullptr, Scope::Backup, Arg::Text,
     [](O& o, const V& v) { kind(o, "server_asymmetric_key", json_quote(v.text)); }},
    {"--name", nullptr, Scope::Backup, Arg::Text, [](O& o, const V& v) { kind(o, "name", json_quote(v.text)); }},
    {"--description", nullptr, Scope::Backup, Arg::Text,
     [](O& o, const V& v) { kind(o, "description", json_quote(v.text)); }},
    // A restore: where the sets come from, the point in time, the target.
    {"--as", nullptr, Scope::Restore, Arg::Text, [](O& o, const V& v) { o.restore.as = v.text; }},
    {"--stop-at", nullptr, Scope::Point, Arg::Text, [](O& o, const V& v) { o.restore.stop_at = v.text; }},
    {"--files", nullptr, Scope::Restore, Arg::Paths, [](O& o, const V& v) { o.restore.files.push_back(v.text); }},
    {"--from", nullptr, Scope::Restore, Arg::Text, [](O& o, const V& v) { o.restore.from.push_back(v.text); }},
    {"--file", nullptr, Scope::Restore, Arg::Count, [](O& o, const V& v) { o.restore.file = v.text; }},
    {"--move", nullptr, Scope::Restore, Arg::Text, [](O& o, const V& v) { o.restore.moves.push_back(v.text); }},
    {"--replace", nullptr, Scope::Restore, Arg::None, [](O& o, const V&) { o.restore.replace = true; }},
    {"--no-recovery", nullptr, Scope::Restore, Arg::None, [](O& o, const V&) { o.restore.no_recovery = true; }},
    {"--dry-run", nullptr, Scope::DryRun, Arg::None, [](O& o, const V&) { o.restore.dry_run = true; }},
    // A cleanup, also after each backup of a run: the window kept and where files may go.
    {"--keep", nullptr, Scope::BackupOrCleanup, Arg::Text, [](O& o, const V& v) { o.cleanup.keep = v.text; }},
    {"--folder", nullptr, Scope::BackupOrCleanup, Arg::Paths,
     [](O& o, const V& v) { o.cleanup.folders.push_back(v.text); }},
    // Encryption.
    {"--encrypt", nullptr, Scope::Command, Arg::Encrypt, [](O& o, const V& v) { o.encrypt = v.text; }},
    {"--trust-server-certificate", nullptr, Scope::Command, Arg::None,
     [](O& o, const V&) { o.trust_server_certificate = true; }},
    {"--ca-file", nullptr, Scope::Command, Arg::Text, [](O& o, const V& v) { o.ca_file = v.text; }},
    {"--host-name-in-certificate", nullptr, Scope::Command, Arg::Host,
     [](O& o, const V& v) { o.host_name_in_certificate = v.text; }},
    {"--password", nullptr, Scope::Always, Arg::Never, nullptr},
};

const char PASSWORD_REFUSAL[] =
    "the password is never a command-line option (others could read it in the process "
    "list): set VAULTRUN_PASSWORD, put it in the --config file, or type it when asked";

const Flag* find_flag(const std::string& name) {
  for (const Flag& f : FLAGS) {
    if (name == f.name || (f.alias && name == f.alias)) return &f;
  }
  return nullptr;
}

bool in_scope(Scope scope, Command cmd) {
  switch (scope) {
    case Scope::Always: return true;
    case Scope::Command: return cmd != Command::None;
    case Scope::Backup: return cmd == Command::Backup;
    case Scope::Restore: return cmd == Command::Restore;
    case Scope::BackupOrRestore:
      return cmd == Command::Backup || cmd == Command::Restore || cmd == Command::RestoreTest;
    case Scope::Run: return cmd == Command::Backup || cmd == Command::RestoreTest || cmd == Command::Cleanup;
    case Scope::Proof: return cmd == Command::Backup || cmd == Command::RestoreTest;
    case Scope::Point: return cmd == Command::Restore || cmd == Command::RestoreTest;
    case Scope::RestoreTest: return cmd == Command::RestoreTest;
    case Scope::Listing: return cmd == Command::Cleanup || in_scope(Scope::BackupOrRestore, cmd);
    case Scope::BackupOrCleanup: return cmd == Command::Cleanup || cmd == Command::Backup;
    case Scope::DryRun: return cmd == Command::Cleanup || in_scope(Scope::Point, cmd);
  }
  return false;
}

std::string check_scope(const Flag& f, const std::string& flag, Command cmd) {
  if (in_scope(f.scope, cmd)) return "";
  if (cmd == Command::None) {
    return "option " + flag + " needs a command (test, list, backup, restore, restore-test or cleanup) before it";
  }
  switch (f.scope) {
    case Scope::Restore: return "option " + flag + " applies to restore only";
    case Scope::BackupOrRestore: return "option " + flag + " applies to backup, restore and restore-test only";
    case Scope::Listing: return "option " + flag + " applies to backup, restore, restore-test and cleanup only";
    case Scope::BackupOrCleanup: return "option " + flag + " applies to backup and cleanup only";
    case Scope::DryRun: return "option " + flag + " applies to restore, restore-test and cleanup only";
    case Scope::Run: return "option " + flag + " applies to backup, restore-test and cleanup only";
    case Scope::Proof: return "option " + flag + " applies to backup and restore-test only";
    case Scope::Point: return "option " + flag + " applies to restore and restore-test only";
    case Scope::RestoreTest: return "option " + flag + " applies to restore-test only";
    default: return "option " + flag + " applies to backup only";
  }
}

// The text after an option, taken as its row's Arg; "" or the reason.
std::string take_value(const Flag& f, const std::string& flag, const std::string& text, Value& v) {
  v.text = text;
  switch (f.arg) {
    case Arg::Host:
      if (text.empty()) return flag + " needs a host name or address";
      break;
    case Arg::Port:
      if (!parse_port(text, v.port)) return flag + " takes a whole number from 1 to 65535, not '" + text + "'";
      break;
    case Arg::Seconds:
      if (!parse_seconds(text, v.ms)) return flag + " takes seconds (0 for no limit), not '" + text + "'";
      break;
    case Arg::Count:
      if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
        return flag + " takes a whole number, not '" + text + "'";
      }
      break;
    case Arg::Encrypt:
      if (text != "true" && text != "false" && text != "strict")
        return flag + " takes true, false or strict, not '" + text + "'";
      break;
    case Arg::Verify:
      if (text != "restore") {
        return flag + " takes restore (a restore test instead of RESTORE VERIFYONLY), not '" + text + "'";
      }
      break;
    case Arg::CheckDb:
      if (text != "full" && text != "physical_only" && text != "none")
        return flag + " takes full, physical_only or none, not '" + text + "'";
      break;
    case Arg::None:
    case Arg::Text:
    case Arg::Never:
    case Arg::Paths:
      break;
  }
  return "";
}

// The command word, and "help COMMAND", which reads as "COMMAND --help".
std::string parse_command(int argc, char** argv, int& i, Options& opt) {
  auto command = [&](const std::string& word) {
    if (word == "test") opt.command = Command::Test;
    else if (word == "list") opt.command = Command::List;
    else if (word == "backup") opt.command = Command::Backup;
    else if (word == "restore") opt.command = Command::Restore;
    else if (word == "restore-test") opt.command = Command::RestoreTest;
    else if (word == "cleanup") opt.command = Command::Cleanup;
    else return false;
    return true;
  };
  if (i >= argc || argv[i][0] == '-') return "";
  std::string word = argv[i++];
  if (word == "help") {
    opt.help = true;
    if (i >= argc || argv[i][0] == '-') return "";
    word = argv[i++];
  }
  return command(word) ? "" : "unknown command '" + word + "'";
}

// One option at argv[i], with its value ("--flag=value" or the next
// argument, which i then moves past); "" or the usage error.
std::string parse_option(int argc, char** argv, int& i, Options& opt) {
  std::string flag = argv[i];
  std::optional<std::string> inline_value;
  if (flag.rfind("--", 0) == 0) {
    if (size_t eq = flag.find('='); eq != std::string::npos) {
      inline_value = flag.substr(eq + 1);
      flag.resize(eq);
    }
  }
  const Flag* f = find_flag(flag);
  if (!f) {
    if (flag.size() > 1 && flag[0] == '-') return "unknown option '" + flag + "'";
    return "unexpected argument '" + flag + "'";
  }
  if (f->arg == Arg::Never) return PASSWORD_REFUSAL;
  if (std::string e = check_scope(*f, flag, opt.command); !e.empty()) return e;
  Value v;
  if (f->arg == Arg::None) {
    if (inline_value) return "option " + flag + " takes no value";
  } else if (inline_value) {
    if (std::string e = take_value(*f, flag, *inline_value, v); !e.empty()) return e;
  } else if (i + 1 < argc) {
    if (std::string e = take_value(*f, flag, argv[++i], v); !e.empty()) return e;
  } else {
    return "option " + flag + " needs a value";
  }
  f->set(opt, v);
  // "--files A B C": the arguments up to the next option are more paths.
  if (f->arg == Arg::Paths && !inline_value) {
    while (i + 1 < argc && argv[i + 1][0] != '-') {
      v.text = argv[++i];
      f->set(opt, v);
    }
  }
  return "";
}

}  // namespace

std::string parse_args(int argc, char** argv, Options& opt) {
  int i = 1;
  if (std::string e = parse_command(argc, argv, i, opt); !e.empty()) return e;
  for (; i < argc; ++i) {
    if (std::string e = parse_option(argc, argv, i, opt); !e.empty()) return e;
  }
  return "";
}

std::string resolve_settings(const Options& opt, Settings& s) {
  if (opt.config_path) {
    const std::string name = *opt.config_path == "-" ? "standard input" : *opt.config_path;
    std::string text;
    std::string e = read_all(*opt.config_path, text);
    JsonValue root;
    if (e.empty()) e = parse_json(text, root);
    if (e.empty()) e = apply_file(root, s);
    // The password now lives in the settings only.
    wipe(text);
    wipe(root);
    if (!e.empty()) return "config " + name + ": " + e;
  }
  if (opt.host) s.host = *opt.host;
  if (opt.port) s.port = *opt.port;
  if (opt.user) s.user = *opt.user;
  if (opt.database) s.database = *opt.database;
  if (opt.out_path) s.out_path = *opt.out_path;
  s.many = opt.many;
  // The file's one database takes part in a run as if given by --database.
  if (s.many.databases.empty() && !s.many.all && !s.database.empty()) s.many.databases.push_back(s.database);
  if (opt.compression) s.compression = *opt.compression;
  if (opt.copy_only) s.copy_only = *opt.copy_only;
  if (opt.verify) s.verify = *opt.verify;
  if (opt.connect_timeout_ms) s.connect_timeout_ms = *opt.connect_timeout_ms;
  if (opt.query_timeout_ms) s.query_timeout_ms = *opt.query_timeout_ms;
  s.kind_members = opt.kind_members;
  s.stripes = opt.stripes;
  s.restoring = opt.command == Command::Restore;
  s.restore = opt.restore;
  s.proving = opt.command == Command::RestoreTest;
  s.cleaning = opt.command == Command::Cleanup;
  s.cleanup = opt.cleanup;
  // The flags decide over the file's "verify": --no-verify drops its
  // "restore", and --verify restore turns a "verify": false on.
  if (opt.verify == false && !opt.proof.by_restore) s.proof.by_restore = false;
  if (opt.proof.by_restore) {
    s.proof.by_restore = true;
    if (!opt.verify) s.verify = true;
  }
  if (opt.proof.checkdb) s.proof.checkdb = opt.proof.checkdb;
  if (opt.proof.scratch_database) {
    s.proof.scratch_database = opt.proof.scratch_database;
    s.proof.scratch_from_file = false;
  }
  if (opt.encrypt) s.encrypt = *opt.encrypt;
  if (opt.trust_server_certificate) s.trust_server_certificate = true;
  if (opt.ca_file) s.ca_file = *opt.ca_file;
  if (opt.host_name_in_certificate) s.host_name_in_certificate = *opt.host_name_in_certificate;
  return "";
}

std::string check_settings(Command cmd, const Settings& s) {
  if (s.user.empty()) return "a user is required (--user NAME or \"user\" in the --config file)";
  if (std::string e = check_proof(cmd, s); !e.empty()) return e;
  if (cmd == Command::Restore) {
    if (std::string e = check_restore(s); !e.empty()) return e;
  } else if (cmd == Command::RestoreTest) {
    if (std::string e = check_restore_test(s); !e.empty()) return e;
  } else if (cmd == Command::Cleanup) {
    if (std::string e = check_cleanup(s); !e.empty()) return e;
  } else if (cmd == Command::Backup && is_many_run(s)) {
    if (std::string e = check_many(s); !e.empty()) return e;
  } else if (cmd == Command::Backup) {
    if (s.database.empty()) return "a database is required (--database NAME)";
    const bool file_stripes = std::any_of(s.extra.begin(), s.extra.end(), [](const auto& m) { return m.first == "stripes"; });
    if (s.out_path.empty() && s.stripes.empty() && !file_stripes) {
      return "an output path on the server is required (--out PATH)";
    }
    if (!s.out_path.empty() && !s.stripes.empty()) return "--out and --stripe cannot both be given";
  }
  for (const Field& f : FIELDS) {
    const std::string& text = s.*f.member;
    if (has_unsendable_control(text)) return "the " + std::string(f.what) + " holds a control character";
    if (text.size() > f.max_bytes) {
      return "the " + std::string(f.what) + " is too long (at most " + std::to_string(f.max_bytes) + " bytes)";
    }
  }
  if (has_unsendable_control(s.database)) return "the database name holds a control character";
  if (utf16_units(s.database) > MAX_DATABASE_UNITS) {
    return "the database name is too long (at most " + std::to_string(MAX_DATABASE_UNITS) + " UTF-16 code units)";
  }
  if (s.password) {
    if (has_unsendable_control(*s.password)) return "the password holds a control character";
    if (s.password->size() > MAX_PASSWORD_BYTES) {
      return "the password is too long (at most " + std::to_string(MAX_PASSWORD_BYTES) + " bytes)";
    }
  }
  return "";
}

namespace {

// Keys of a --config file that say where and how a backup is written; a
// restore leaves them out, so one file can serve both commands.
bool is_backup_only_key(const std::string& key) {
  static const char* const KEYS[] = {"type",   "init",       "stripes", "encryption", "server_certificate",
                                     "server_asymmetric_key", "name", "description"};
  return std::any_of(std::begin(KEYS), std::end(KEYS), [&](const char* k) { return key == k; });
}

// Whether a member of the file reaches the library. The command's source
// flags replace the file's source whole: a --from set and the file's
// backup_files would otherwise meet in one configuration.
bool sends_file_member(const Settings& s, const std::string& key) {
  if (!s.restoring && !s.proving && !s.cleaning) return true;
  if (is_backup_only_key(key)) return false;
  if (s.cleaning) return key != "backup_files" && key != "file" && key != "stop_at";
  const bool source_flags = !s.restore.files.empty() || !s.restore.from.empty();
  return !(source_flags && (key == "backup_files" || key == "file"));
}

std::string json_texts(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (size_t i = 0; i < texts.size(); ++i) out += (i ? "," : "") + json_quote(texts[i]);
  return out + "]";
}

std::string restore_members(const Settings& s) {
  const RestoreOptions& r = s.restore;
  std::string out;
  if (!r.files.empty()) out += ",\"backup_files\":" + json_texts(r.files);
  if (r.from.size() == 1) out += ",\"out_path\":" + json_quote(r.from[0]);
  if (r.from.size() > 1) out += ",\"stripes\":" + json_texts(r.from);
  if (r.file) out += ",\"file\":" + std::to_string(std::stol(*r.file));
  if (r.stop_at) out += ",\"stop_at\":" + json_quote(stop_at_value(*r.stop_at));
  if (!r.moves.empty() && r.moves[0] == "default") {
    out += ",\"move\":\"default\"";
  } else if (!r.moves.empty()) {
    out += ",\"move\":{";
    for (size_t i = 0; i < r.moves.size(); ++i) {
      size_t eq = r.moves[i].find('=');
      out += (i ? "," : "") + json_quote(r.moves[i].substr(0, eq)) + ":" + json_quote(r.moves[i].substr(eq + 1));
    }
    out += "}";
  }
  if (r.replace) out += ",\"replace\":true";
  if (r.no_recovery) out += ",\"recovery\":false";
  if (r.dry_run) out += ",\"dry_run\":true";
  return out;
}

// The check of a scratch copy, for a restore test or a backup proved by one.
std::string proof_members(const ProofOptions& p) {
  std::string out;
  if (p.checkdb) out += ",\"checkdb\":" + json_quote(*p.checkdb);
  if (p.scratch_database) out += ",\"scratch_database\":" + json_quote(*p.scratch_database);
  return out;
}

// The window in hours, the folders and the dry run of a cleanup.
std::string cleanup_members(const Settings& s) {
  int64_t hours = 0;
  std::string out;
  if (s.cleanup.keep && parse_keep_hours(*s.cleanup.keep, hours)) out += ",\"keep_hours\":" + std::to_string(hours);
  out += ",\"folders\":" + json_texts(s.cleanup.folders);
  if (s.restore.dry_run) out += ",\"dry_run\":true";
  return out;
}

}  // namespace

std::string config_json(const Settings& s) {
  // Members the file held that this program does not know go first, so that
  // ours, which come after them, are the ones the library keeps.
  std::string out = "{";
  bool file_operation = false;
  for (const auto& [key, raw] : s.extra) {
    if (!sends_file_member(s, key)) continue;
    out += json_quote(key) + ":" + raw + ",";
    file_operation = file_operation || key == "operation";
  }
  out += "\"host\":" + json_quote(s.host);
  out += ",\"port\":" + std::to_string(s.port);
  out += ",\"user\":" + json_quote(s.user);
  out += ",\"password\":" + json_quote(s.password.value_or(""));
  if (s.cleaning) {
    out += ",\"operation\":\"cleanup\"";
    out += ",\"database\":" + json_quote(s.database);
  } else if (s.proving) {
    // The database names the source; the copy's name is the scratch name.
    out += ",\"operation\":\"restore_test\"";
    out += ",\"database\":" + json_quote(s.database);
  } else if (s.restoring) {
    // --as NEW restores the backups of --database NAME into NEW.
    out += ",\"operation\":\"restore\"";
    out += ",\"database\":" + json_quote(s.restore.as.value_or(s.database));
    if (s.restore.as) out += ",\"source_database\":" + json_quote(s.database);
  } else {
    // A file written for a restore still backs up under the backup command.
    if (file_operation) out += ",\"operation\":\"backup\"";
    if (!s.database.empty()) out += ",\"database\":" + json_quote(s.database);
    if (!s.out_path.empty()) out += ",\"out_path\":" + json_quote(s.out_path);
    out += std::string(",\"compression\":") + (s.compression ? "true" : "false");
    out += std::string(",\"copy_only\":") + (s.copy_only ? "true" : "false");
    out += std::string(",\"verify\":") + (s.proof.by_restore ? "\"restore\"" : s.verify ? "true" : "false");
  }
  out += ",\"connect_timeout_ms\":" + std::to_string(s.connect_timeout_ms);
  out += ",\"query_timeout_ms\":" + std::to_string(s.query_timeout_ms);
  for (const auto& [key, json] : s.kind_members) out += "," + json_quote(key) + ":" + json;
  if (s.restoring || s.proving) out += restore_members(s);
  if (s.proving || s.proof.by_restore) out += proof_members(s.proof);
  if (s.cleaning) out += cleanup_members(s);
  if (!s.restoring && !s.stripes.empty()) out += ",\"stripes\":" + json_texts(s.stripes);
  // Encryption: only what the flags set, so that without them the text is as before.
  if (s.encrypt) out += ",\"encrypt\":" + (*s.encrypt == "strict" ? json_quote("strict") : *s.encrypt);
  if (s.trust_server_certificate) out += ",\"trust_server_certificate\":true";
  if (s.ca_file) out += ",\"ca_file\":" + json_quote(*s.ca_file);
  if (s.host_name_in_certificate)
    out += ",\"host_name_in_certificate\":" + json_quote(*s.host_name_in_certificate);
  out += "}";
  return out;
}

std::vector<std::string> cleanup_folders(const Settings& s) {
  if (!s.cleanup.folders.empty() || s.cleaning || !s.many.out_dir) return s.cleanup.folders;
  return {*s.many.out_dir};
}

bool is_many_run(const Settings& s) {
  const ManyOptions& m = s.many;
  if (s.proving || s.cleaning || s.cleanup.keep || !s.cleanup.folders.empty()) return true;
  return m.all || m.databases.size() > 1 || !m.excludes.empty() || m.parallel || m.out_dir || m.name_template ||
         m.metrics_file || m.system || m.change_type || m.all_replicas || m.if_older_than;
}

bool parse_keep_hours(const std::string& text, int64_t& hours) {
  constexpr int64_t MAX_HOURS = 876000;  // a hundred years
  if (text.size() < 2 || text.size() > 8) return false;
  const char unit = text.back();
  if (unit != 'h' && unit != 'd') return false;
  int64_t n = 0;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    n = n * 10 + (text[i] - '0');
  }
  n *= unit == 'd' ? 24 : 1;
  if (n < 1 || n > MAX_HOURS) return false;
  hours = n;
  return true;
}

int parallel_of(const Settings& s) { return s.many.parallel.value_or(2); }

std::string endpoint(const Settings& s) {
  // An IPv6 address gets brackets, unless it came with them.
  if (s.host.find(':') != std::string::npos && s.host.front() != '[')
    return "[" + s.host + "]:" + std::to_string(s.port);
  return s.host + ":" + std::to_string(s.port);
}

}  // namespace cli
