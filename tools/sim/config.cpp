#include "config.h"
#include "wire.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <span>
#include <sstream>
#include <type_traits>

#define JSMN_STATIC
#define JSMN_STRICT
#include <jsmn.h>

namespace sim {

namespace {

bool iequal(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(uint8_t(a[i])) != std::tolower(uint8_t(b[i]))) return false;
  }
  return true;
}

bool parse_int(const std::string& s, int64_t lo, int64_t hi, int64_t& out) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

std::string upper(std::string s) {
  for (char& c : s) c = char(std::toupper(uint8_t(c)));
  return s;
}

std::string check_recovery(std::string& r) {
  r = upper(r);
  if (r == "FULL" || r == "SIMPLE" || r == "BULK_LOGGED") return "";
  return "recovery model must be FULL, SIMPLE or BULK_LOGGED, not '" + r + "'";
}

// A parsed JSON text: jsmn's flat token array plus the walking the
// configuration needs (jsmn keeps no parent links, so values are skipped by
// counting their children).
struct Json {
  std::string text;
  std::vector<jsmntok_t> tok;

  std::string parse(const std::string& src) {
    text = src;
    jsmn_parser p;
    jsmn_init(&p);
    int n = jsmn_parse(&p, text.c_str(), text.size(), nullptr, 0);
    if (n < 0) return "malformed JSON";
    tok.resize(size_t(n));
    jsmn_init(&p);
    n = jsmn_parse(&p, text.c_str(), text.size(), tok.data(), tok.size());
    if (n < 1) return "malformed JSON";
    if (tok[0].type != JSMN_OBJECT) return "the configuration must be a JSON object";
    return "";
  }

  // Index of the token after the value that starts at i.
  size_t skip(size_t i) const {
    size_t next = i + 1;
    int children = tok[i].type == JSMN_OBJECT ? tok[i].size * 2
                   : tok[i].type == JSMN_ARRAY ? tok[i].size
                                               : 0;
    for (int k = 0; k < children; ++k) next = skip(next);
    return next;
  }

  std::string raw(size_t i) const {
    return text.substr(size_t(tok[i].start), size_t(tok[i].end - tok[i].start));
  }

  // The string's value with its escapes undone (\uXXXX included).
  std::string str(size_t i) const {
    std::string s = raw(i), out;
    for (size_t k = 0; k < s.size(); ++k) {
      if (s[k] != '\\' || k + 1 >= s.size()) {
        out += s[k];
        continue;
      }
      char e = s[++k];
      switch (e) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          if (k + 4 >= s.size()) break;  // jsmn's strict mode rejects this already
          uint32_t cp = uint32_t(std::strtoul(s.substr(k + 1, 4).c_str(), nullptr, 16));
          k += 4;
          if (cp >= 0xD800 && cp <= 0xDBFF && k + 6 < s.size() && s[k + 1] == '\\' && s[k + 2] == 'u') {
            uint32_t lo = uint32_t(std::strtoul(s.substr(k + 3, 4).c_str(), nullptr, 16));
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
              k += 6;
            }
          }
          put_utf8(out, cp);
          break;
        }
        default: out += e; break;  // \" \\ \/
      }
    }
    return out;
  }

  bool is_string(size_t i) const { return tok[i].type == JSMN_STRING; }
  bool is_number(size_t i) const {
    if (tok[i].type != JSMN_PRIMITIVE) return false;
    char c = text[size_t(tok[i].start)];
    return c == '-' || (c >= '0' && c <= '9');
  }
  bool is_bool(size_t i) const {
    if (tok[i].type != JSMN_PRIMITIVE) return false;
    char c = text[size_t(tok[i].start)];
    return c == 't' || c == 'f';
  }
};

std::string add_user_database(Config& cfg, Database db) {
  if (db.name.empty() || db.name.size() > 128) return "database names take 1 to 128 bytes";
  if (std::string e = check_recovery(db.recovery); !e.empty()) return e;
  if (find_database(cfg, db.name)) return "database '" + db.name + "' is listed twice";
  db.id = 5;
  for (const Database& d : cfg.databases) db.id = std::max(db.id, d.id + 1);
  cfg.databases.push_back(std::move(db));
  return "";
}

std::string read_file(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot read " + path;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return "";
}

void add_generated_databases(Config& cfg, int64_t n) {
  static const char* const models[] = {"FULL", "SIMPLE", "BULK_LOGGED"};
  int width = std::max<int>(4, int(std::to_string(n).size()));
  for (int64_t i = 1; i <= n; ++i) {
    std::string digits = std::to_string(i);
    Database db;
    db.name = "db" + std::string(size_t(width) - std::min(digits.size(), size_t(width)), '0') + digits;
    db.size_mb = 8 + (i * 37) % 120;
    db.recovery = models[i % 3];
    if (find_database(cfg, db.name)) continue;
    add_user_database(cfg, db);
  }
}

void remove_user_databases(Config& cfg) {
  cfg.databases.erase(std::remove_if(cfg.databases.begin(), cfg.databases.end(),
                                     [](const Database& d) { return d.id > 4; }),
                      cfg.databases.end());
}

// ---- Options ------------------------------------------------------------------
// Each option is one row: its JSON member, its flag, the kind of value with its
// limits, and what it sets. The JSON reader and the flag reader both walk the
// rows, so a name or a range cannot differ between them.

// How each reader takes a value.
enum class Kind {
  Text,       // JSON: a string; flag: the value as typed
  Int,        // JSON: an integer; flag: a decimal; both from lo to hi
  Bool,       // JSON: true or false; flag: takes no value and means true
  Choice,     // one of the names in choices, as a string
  Logins,     // JSON: an array of login objects; flag: one USER:PASSWORD
  Databases,  // JSON: an array of database objects; flag: one NAME:MB:MODEL[:offline]
  Files,      // JSON only: a database's array of file objects
};

struct Choice {
  const char* name;
  int value;
};

// A value as read, already checked against its row.
struct Value {
  std::string text;
  int64_t n = 0;    // Int, and the value of a Choice
  bool on = false;  // Bool
};

// A row that sets something in R.
template <class R>
struct Field {
  const char* key;   // JSON member; null for a flag only
  const char* flag;  // command-line flag; null for JSON only
  Kind kind;
  int64_t lo = 0, hi = 0;                   // Int
  std::span<const Choice> choices = {};     // Choice, in the order the errors list them
  void (*set)(R&, const Value&) = nullptr;  // null for the lists, which have readers of their own
};

// The configuration being read. Generated databases wait until the named ones
// are in: to the end of a JSON text, or to the end of their own flag.
struct Target {
  Config& cfg;
  int64_t generate = 0;
};

constexpr int64_t MAX_MS = 24LL * 3600 * 1000;
constexpr int64_t MAX_DB_MB = 1LL << 30;
constexpr int64_t MAX_GENERATED = 100000;

constexpr Choice ENCRYPTION[] = {{"off", 0}, {"notsup", 2}, {"on", 1}, {"req", 3}};
constexpr Choice FAULT_ON[] = {{"any", int(FaultOn::Any)},
                               {"prelogin", int(FaultOn::Prelogin)},
                               {"login", int(FaultOn::Login)},
                               {"batch", int(FaultOn::Batch)}};
constexpr Choice STATE[] = {{"online", 1}, {"offline", 0}, {"restoring", 2}, {"recovering", 3}, {"suspect", 4},
                            {"emergency", 5}};
constexpr const char* STATE_DESC[] = {"OFFLINE", "ONLINE", "RESTORING", "RECOVERING", "SUSPECT", "EMERGENCY"};
constexpr Choice AG_ROLE[] = {{"none", 0}, {"primary", 1}, {"secondary", 2}};
constexpr int64_t MAX_AGE_S = int64_t(100) * 365 * 86400;
constexpr Choice TLS_FAULT[] = {{"none", int(TlsFault::None)},
                                {"wrong-name", int(TlsFault::WrongName)},
                                {"expired", int(TlsFault::Expired)},
                                {"drop", int(TlsFault::Drop)},
                                {"garbage", int(TlsFault::Garbage)}};
constexpr Choice CHECKDB_FAULT[] = {{"none", int(CheckDbFault::None)},
                                    {"close", int(CheckDbFault::Close)},
                                    {"hang", int(CheckDbFault::Hang)},
                                    {"snapshot", int(CheckDbFault::Snapshot)}};
constexpr Choice TLS_VERSION[] = {{"1.2", 0x0303}, {"1.3", 0x0304}};
constexpr Choice HANDSHAKE_TYPE[] = {{"prelogin", PKT_PRELOGIN}, {"reply", PKT_REPLY}};

using T = Target;
using V = Value;

const Field<Target> OPTIONS[] = {
    {"listen", "--listen", Kind::Text, 0, 0, {}, [](T& t, const V& v) { t.cfg.listen = v.text; }},
    {"port", "--port", Kind::Int, 0, 65535, {}, [](T& t, const V& v) { t.cfg.port = int(v.n); }},
    {"logins", "--login", Kind::Logins},
    {"databases", "--database", Kind::Databases},
    {"extra_databases", "--databases", Kind::Int, 0, MAX_GENERATED, {},
     [](T& t, const V& v) { t.generate = v.n; }},
    {"version", "--version", Kind::Text, 0, 0, {}, [](T& t, const V& v) { t.cfg.version = v.text; }},
    {"edition", "--edition", Kind::Text, 0, 0, {}, [](T& t, const V& v) { t.cfg.edition = v.text; }},
    {"program_name", nullptr, Kind::Text, 0, 0, {}, [](T& t, const V& v) { t.cfg.program = v.text; }},
    {"server_name", "--server-name", Kind::Text, 0, 0, {},
     [](T& t, const V& v) { t.cfg.server_name = v.text; }},
    {"clock_step_s", "--clock-step", Kind::Int, 0, 400LL * 86400, {},
     [](T& t, const V& v) { t.cfg.clock_step_s = v.n; }},
    {"delete_ms", "--delete-ms", Kind::Int, 0, MAX_MS, {}, [](T& t, const V& v) { t.cfg.delete_ms = v.n; }},
    {"backup_ms", "--backup-ms", Kind::Int, 0, MAX_MS, {},
     [](T& t, const V& v) { t.cfg.backup_ms = v.n; }},
    {"backup_ms_per_mb", "--backup-ms-per-mb", Kind::Int, 0, MAX_MS, {},
     [](T& t, const V& v) { t.cfg.backup_ms_per_mb = v.n; }},
    {"backup_silent_ms", "--backup-silent-ms", Kind::Int, 0, MAX_MS, {},
     [](T& t, const V& v) { t.cfg.backup_silent_ms = v.n; }},
    {"encryption", "--encryption", Kind::Choice, 0, 0, ENCRYPTION,
     [](T& t, const V& v) { t.cfg.encryption = uint8_t(v.n); }},
    // TLS: the certificate, strict mode, the wrapped flights' packet type and
    // the handshake faults.
    {"tls_cert", "--tls-cert", Kind::Text, 0, 0, {}, [](T& t, const V& v) { t.cfg.tls.cert_path = v.text; }},
    {"tls_key", "--tls-key", Kind::Text, 0, 0, {}, [](T& t, const V& v) { t.cfg.tls.key_path = v.text; }},
    {"tls_cert_out", "--tls-cert-out", Kind::Text, 0, 0, {},
     [](T& t, const V& v) { t.cfg.tls.cert_out = v.text; }},
    {"strict", "--strict", Kind::Bool, 0, 0, {}, [](T& t, const V& v) { t.cfg.tls.strict = v.on; }},
    {"tls_packet_type", "--tls-packet-type", Kind::Choice, 0, 0, HANDSHAKE_TYPE,
     [](T& t, const V& v) { t.cfg.tls.handshake_type = uint8_t(v.n); }},
    {"tls_wrapped_max", "--tls-wrapped-max", Kind::Choice, 0, 0, TLS_VERSION,
     [](T& t, const V& v) { t.cfg.tls.wrapped_max = int(v.n); }},
    {"tls_fault", "--tls-fault", Kind::Choice, 0, 0, TLS_FAULT,
     [](T& t, const V& v) { t.cfg.tls.fault = TlsFault(v.n); }},
    {"packet_size", "--packet-size", Kind::Int, 512, 32767, {},
     [](T& t, const V& v) { t.cfg.packet_size = int(v.n); }},
    {"split_packets", "--split", Kind::Int, 9, 65535, {}, [](T& t, const V& v) { t.cfg.split = int(v.n); }},
    {"close_after", "--close-after", Kind::Int, 0, INT64_MAX, {},
     [](T& t, const V& v) { t.cfg.faults.close_after = v.n; }},
    {"bad_length", "--bad-length", Kind::Bool, 0, 0, {},
     [](T& t, const V& v) { t.cfg.faults.bad_length = v.on; }},
    {"silent", "--silent", Kind::Bool, 0, 0, {}, [](T& t, const V& v) { t.cfg.faults.silent = v.on; }},
    {"fault_on", "--fault-on", Kind::Choice, 0, 0, FAULT_ON,
     [](T& t, const V& v) { t.cfg.faults.on = FaultOn(v.n); }},
    // Backup kinds.
    {nullptr, "--credential", Kind::Text, 0, 0, {},
     [](T& t, const V& v) { t.cfg.credentials.push_back(v.text); }},
    {nullptr, "--certificate", Kind::Text, 0, 0, {},
     [](T& t, const V& v) { t.cfg.certificates.push_back(v.text); }},
    {nullptr, "--asymmetric-key", Kind::Text, 0, 0, {},
     [](T& t, const V& v) { t.cfg.asymmetric_keys.push_back(v.text); }},
    {"url_root", "--url-root", Kind::Text, 0, 0, {}, [](T& t, const V& v) { t.cfg.url_root = v.text; }},
    {"data_dir", "--data-dir", Kind::Text, 0, 0, {}, [](T& t, const V& v) { t.cfg.data_dir = v.text; }},
    {"log_dir", "--log-dir", Kind::Text, 0, 0, {}, [](T& t, const V& v) { t.cfg.log_dir = v.text; }},
    {"corrupt_newest", "--corrupt-newest", Kind::Bool, 0, 0, {},
     [](T& t, const V& v) { t.cfg.corrupt_newest = v.on; }},
    {nullptr, "--damaged", Kind::Text, 0, 0, {}, [](T& t, const V& v) { t.cfg.damaged.push_back(v.text); }},
    {"fault_checkdb", "--fault-checkdb", Kind::Choice, 0, 0, CHECKDB_FAULT,
     [](T& t, const V& v) { t.cfg.checkdb_fault = CheckDbFault(v.n); }},
    {"failover_server_name", "--failover-server-name", Kind::Text, 0, 0, {},
     [](T& t, const V& v) { t.cfg.failover_server_name = v.text; }},
    {"race_create", "--race-create", Kind::Bool, 0, 0, {}, [](T& t, const V& v) { t.cfg.race_create = v.on; }},
    {nullptr, "--hidden", Kind::Text, 0, 0, {}, [](T& t, const V& v) { t.cfg.hidden.push_back(v.text); }},
    {"history_sets", "--history-sets", Kind::Int, 0, 1000000, {},
     [](T& t, const V& v) { t.cfg.history_sets = int(v.n); }},
    {nullptr, "--deny-history", Kind::Text, 0, 0, {},
     [](T& t, const V& v) { t.cfg.history_denied.push_back(v.text); }},
    {nullptr, "--not-sysadmin", Kind::Text, 0, 0, {},
     [](T& t, const V& v) { t.cfg.not_sysadmin.push_back(v.text); }},
    {"omit_position_message", "--omit-position-message", Kind::Bool, 0, 0, {},
     [](T& t, const V& v) { t.cfg.position_message = !v.on; }},
    {"log", "--log", Kind::Text, 0, 0, {}, [](T& t, const V& v) { t.cfg.log_path = v.text; }},
    {nullptr, "--quiet", Kind::Bool, 0, 0, {}, [](T& t, const V& v) { t.cfg.quiet = v.on; }},
};

// The members of each object in "logins" and in "databases".
const Field<Login> LOGIN_FIELDS[] = {
    {"user", nullptr, Kind::Text, 0, 0, {}, [](Login& l, const V& v) { l.user = v.text; }},
    {"password", nullptr, Kind::Text, 0, 0, {}, [](Login& l, const V& v) { l.password = v.text; }},
};

const Field<Database> DATABASE_FIELDS[] = {
    {"name", nullptr, Kind::Text, 0, 0, {}, [](Database& d, const V& v) { d.name = v.text; }},
    {"size_mb", nullptr, Kind::Int, 0, MAX_DB_MB, {}, [](Database& d, const V& v) { d.size_mb = v.n; }},
    {"recovery", nullptr, Kind::Text, 0, 0, {}, [](Database& d, const V& v) { d.recovery = v.text; }},
    {"state", nullptr, Kind::Choice, 0, 0, STATE,
     [](Database& d, const V& v) {
       d.online = v.n == 1;
       d.state_desc = STATE_DESC[v.n];
     }},
    {"read_only", nullptr, Kind::Bool, 0, 0, {}, [](Database& d, const V& v) { d.read_only = v.on; }},
    {"ag_role", nullptr, Kind::Choice, 0, 0, AG_ROLE,
     [](Database& d, const V& v) { d.ag_role = v.n == 0 ? "" : AG_ROLE[v.n].name; }},
    {"preferred_replica", nullptr, Kind::Bool, 0, 0, {}, [](Database& d, const V& v) { d.preferred_replica = v.on; }},
    {"full_age_s", nullptr, Kind::Int, 0, MAX_AGE_S, {}, [](Database& d, const V& v) { d.full_age_s = v.n; }},
    {"differential_age_s", nullptr, Kind::Int, 0, MAX_AGE_S, {},
     [](Database& d, const V& v) { d.differential_age_s = v.n; }},
    {"log_age_s", nullptr, Kind::Int, 0, MAX_AGE_S, {}, [](Database& d, const V& v) { d.log_age_s = v.n; }},
    {"files", nullptr, Kind::Files},
    {"damaged", nullptr, Kind::Bool, 0, 0, {}, [](Database& d, const V& v) { d.damaged = v.on; }},
    {"hidden", nullptr, Kind::Bool, 0, 0, {}, [](Database& d, const V& v) { d.hidden = v.on; }},
};

constexpr Choice FILE_TYPE[] = {{"D", 'D'}, {"L", 'L'}};

const Field<DbFile> FILE_FIELDS[] = {
    {"logical", nullptr, Kind::Text, 0, 0, {}, [](DbFile& f, const V& v) { f.logical = v.text; }},
    {"physical", nullptr, Kind::Text, 0, 0, {}, [](DbFile& f, const V& v) { f.physical = v.text; }},
    {"type", nullptr, Kind::Choice, 0, 0, FILE_TYPE, [](DbFile& f, const V& v) { f.type = char(v.n); }},
    {"size_mb", nullptr, Kind::Int, 0, MAX_DB_MB, {}, [](DbFile& f, const V& v) { f.size_mb = v.n; }},
};

// ---- Reading values -------------------------------------------------------------

std::string int_range(int64_t lo, int64_t hi) {
  return "an integer from " + std::to_string(lo) + " to " + std::to_string(hi);
}

// "a, b or c"
std::string choice_names(std::span<const Choice> choices) {
  std::string out;
  for (size_t k = 0; k < choices.size(); ++k) {
    if (k > 0) out += k + 1 == choices.size() ? " or " : ", ";
    out += choices[k].name;
  }
  return out;
}

bool choose(std::span<const Choice> choices, const std::string& name, int64_t& out) {
  for (const Choice& c : choices) {
    if (name == c.name) {
      out = c.value;
      return true;
    }
  }
  return false;
}

template <class R, size_t N>
const Field<R>* field_by_key(const Field<R> (&table)[N], const std::string& key) {
  for (const Field<R>& f : table) {
    if (f.key && key == f.key) return &f;
  }
  return nullptr;
}

const Field<Target>* option_by_flag(const std::string& flag) {
  for (const Field<Target>& f : OPTIONS) {
    if (f.flag && flag == f.flag) return &f;
  }
  return nullptr;
}

// The JSON value at token i, taken as f's kind; "" or the reason.
template <class R>
std::string json_value(const Json& j, size_t i, const Field<R>& f, Value& v) {
  const std::string must = "\"" + std::string(f.key) + "\" must be ";
  switch (f.kind) {
    case Kind::Text:
    case Kind::Choice:
      if (!j.is_string(i)) return must + "a string";
      v.text = j.str(i);
      if (f.kind == Kind::Choice && !choose(f.choices, v.text, v.n)) return must + choice_names(f.choices);
      return "";
    case Kind::Int:
      if (!j.is_number(i) || !parse_int(j.raw(i), f.lo, f.hi, v.n)) return must + int_range(f.lo, f.hi);
      return "";
    case Kind::Bool:
      if (!j.is_bool(i)) return must + "true or false";
      v.on = j.raw(i) == "true";
      return "";
    case Kind::Logins:
    case Kind::Databases:
    case Kind::Files:
      break;
  }
  return "";
}

std::string json_lists(const Json& j, size_t i, const Field<Target>& f, Target& t);
std::string json_files(const Json& j, size_t i, Database& d);

// Reads the members of the object at token obj into r through the table;
// `what` names the object in the error for a member the table lacks.
template <class R, size_t N>
std::string json_object(const Json& j, size_t obj, const Field<R> (&table)[N], const char* what, R& r) {
  size_t i = obj + 1;
  for (int m = 0; m < j.tok[obj].size; ++m, i = j.skip(i + 1)) {
    std::string key = j.str(i);
    const Field<R>* f = field_by_key(table, key);
    if (!f) return "unknown " + std::string(what) + "member \"" + key + "\"";
    if constexpr (std::is_same_v<R, Target>) {
      if (f->kind == Kind::Logins || f->kind == Kind::Databases) {
        if (std::string e = json_lists(j, i + 1, *f, r); !e.empty()) return e;
        continue;
      }
    }
    if constexpr (std::is_same_v<R, Database>) {
      if (f->kind == Kind::Files) {
        if (std::string e = json_files(j, i + 1, r); !e.empty()) return e;
        continue;
      }
    }
    Value v;
    if (std::string e = json_value(j, i + 1, *f, v); !e.empty()) return e;
    f->set(r, v);
  }
  return "";
}

// Reads the array at token arr, each element an object of the table's
// members over a copy of blank, and hands each to add.
template <class R, size_t N, class Add>
std::string json_items(const Json& j, size_t arr, const char* item, const Field<R> (&table)[N],
                       const R& blank, Add add) {
  const std::string what = std::string(item) + " ";
  size_t e = arr + 1;
  for (int k = 0; k < j.tok[arr].size; ++k, e = j.skip(e)) {
    if (j.tok[e].type != JSMN_OBJECT) return "each " + what + "must be an object";
    R r = blank;
    if (std::string err = json_object(j, e, table, what.c_str(), r); !err.empty()) return err;
    if (std::string err = add(r); !err.empty()) return err;
  }
  return "";
}

// "logins" replaces the logins; "databases" the user databases.
std::string json_lists(const Json& j, size_t i, const Field<Target>& f, Target& t) {
  if (j.tok[i].type != JSMN_ARRAY) return "\"" + std::string(f.key) + "\" must be an array";
  if (f.kind == Kind::Logins) {
    t.cfg.logins.clear();
    return json_items(j, i, "login", LOGIN_FIELDS, Login{}, [&](const Login& l) {
      if (l.user.empty()) return std::string("each login needs a \"user\"");
      t.cfg.logins.push_back(l);
      return std::string();
    });
  }
  remove_user_databases(t.cfg);
  Database blank;
  blank.recovery = "FULL";
  return json_items(j, i, "database", DATABASE_FIELDS, blank,
                    [&](const Database& d) { return add_user_database(t.cfg, d); });
}

// A database's "files": each needs a logical name; a database's size is
// then the sum of its files'.
std::string json_files(const Json& j, size_t i, Database& d) {
  if (j.tok[i].type != JSMN_ARRAY) return "\"files\" must be an array";
  d.files.clear();
  std::string e = json_items(j, i, "file", FILE_FIELDS, DbFile{}, [&](const DbFile& f) {
    if (f.logical.empty()) return std::string("each file needs a \"logical\" name");
    d.files.push_back(f);
    return std::string();
  });
  if (!e.empty()) return e;
  if (!d.files.empty()) {
    d.size_mb = 0;
    for (const DbFile& f : d.files) d.size_mb += f.size_mb;
  }
  return "";
}

// --login USER:PASSWORD
std::string flag_login(const std::string& text, Config& cfg) {
  size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0) return "--login takes USER:PASSWORD";
  cfg.logins.push_back({text.substr(0, colon), text.substr(colon + 1)});
  return "";
}

// --database NAME:MB:MODEL[:offline]
std::string flag_database(const std::string& text, Config& cfg) {
  std::vector<std::string> parts;
  std::stringstream ss(text);
  for (std::string p; std::getline(ss, p, ':');) parts.push_back(p);
  Database d;
  if (parts.size() < 3 || parts.size() > 4 || !parse_int(parts[1], 0, MAX_DB_MB, d.size_mb) ||
      (parts.size() == 4 && parts[3] != "offline" && parts[3] != "online")) {
    return "--database takes NAME:MB:MODEL[:offline]";
  }
  d.name = parts[0];
  d.recovery = parts[2];
  d.online = parts.size() == 3 || parts[3] == "online";
  d.state_desc = d.online ? "ONLINE" : "OFFLINE";
  return add_user_database(cfg, d);
}

// The flag's value taken as f's kind and set; "" or the reason.
std::string apply_flag(const Field<Target>& f, const std::string& text, Target& t) {
  const std::string takes = std::string(f.flag) + " takes ";
  Value v;
  switch (f.kind) {
    case Kind::Text: v.text = text; break;
    case Kind::Int:
      if (!parse_int(text, f.lo, f.hi, v.n)) return takes + int_range(f.lo, f.hi);
      break;
    case Kind::Bool: v.on = true; break;
    case Kind::Choice:
      if (!choose(f.choices, text, v.n)) return takes + choice_names(f.choices);
      break;
    case Kind::Logins: return flag_login(text, t.cfg);
    case Kind::Databases: return flag_database(text, t.cfg);
    case Kind::Files: break;
  }
  f.set(t, v);
  return "";
}

void add_generated(Target& t) {
  add_generated_databases(t.cfg, t.generate);
  t.generate = 0;
}

// ---- Reading the command line ---------------------------------------------------

using Flags = std::vector<std::pair<std::string, std::string>>;

// Known flags, and whether each takes a value: the options' own, and those
// that steer the reading.
bool known_flag(const std::string& flag, bool& valued) {
  valued = flag == "--config";
  if (valued || flag == "--empty-catalog" || flag == "--help" || flag == "-h") return true;
  const Field<Target>* f = option_by_flag(flag);
  valued = f && f->kind != Kind::Bool;
  return f != nullptr;
}

// Pairs each flag with its value (after '=' or as the next argument).
std::string split_flags(int argc, char** argv, Flags& flags) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i], value;
    size_t eq = a.find('=');
    bool inline_value = a.rfind("--", 0) == 0 && eq != std::string::npos;
    if (inline_value) {
      value = a.substr(eq + 1);
      a.resize(eq);
    }
    bool valued = false;
    if (!known_flag(a, valued)) return "unknown flag " + a;
    if (valued && !inline_value) {
      if (i + 1 >= argc) return "flag " + a + " needs a value";
      value = argv[++i];
    }
    flags.emplace_back(a, value);
  }
  return "";
}

}  // namespace

void add_system_databases(Config& cfg) {
  const struct { const char* name; int64_t mb; const char* rec; } sys[] = {
      {"master", 6, "SIMPLE"}, {"tempdb", 16, "SIMPLE"}, {"model", 16, "FULL"}, {"msdb", 24, "SIMPLE"}};
  int id = 1;
  for (const auto& s : sys) {
    Database d;
    d.id = id++;
    d.name = s.name;
    d.size_mb = s.mb;
    d.recovery = s.rec;
    cfg.databases.push_back(d);
  }
}

void add_sample_databases(Config& cfg) {
  const struct { const char* name; int64_t mb; const char* rec; bool online; } sample[] = {
      {"inventory", 64, "FULL", true},
      {"sales", 512, "SIMPLE", true},
      {"hr", 16, "BULK_LOGGED", true},
      {"archive", 256, "FULL", false}};
  for (const auto& s : sample) {
    Database d;
    d.name = s.name;
    d.size_mb = s.mb;
    d.recovery = s.rec;
    d.online = s.online;
    d.state_desc = s.online ? "ONLINE" : "OFFLINE";
    add_user_database(cfg, d);
  }
}

bool edition_compresses(const Config& cfg) {
  return cfg.edition.rfind("Express", 0) != 0 && cfg.edition.rfind("Web", 0) != 0;
}

const Database* find_database(const Config& cfg, const std::string& name) {
  for (const Database& d : cfg.databases) {
    if (iequal(d.name, name)) return &d;
  }
  return nullptr;
}

const char* usage_text() {
  return
      "usage: vaultrun-sim [--config FILE.json] [--listen ADDR[,ADDR...]] [--port N] [flags]\n"
      "A simulated database server speaking TDS 7.4 for tests and demos.\n"
      "With --port 0 a free port is chosen; the port is always the first line on stdout.\n"
      "\n"
      "  --listen ADDR[,ADDR...]    addresses to listen on, all on one port (127.0.0.1)\n"
      "  --login USER:PASSWORD      add a login (default: sa:vaultrun)\n"
      "  --database NAME:MB:MODEL[:offline]   add a user database\n"
      "  --databases N              add N generated online databases db0001...\n"
      "  --empty-catalog            start without the sample user databases\n"
      "  --version TEXT             product version (16.0.4135.4)\n"
      "  --edition TEXT             edition (Developer Edition (64-bit))\n"
      "  --backup-ms N              fixed duration of a backup in ms (400)\n"
      "  --backup-ms-per-mb N       extra duration per MB of the database (0)\n"
      "  --credential NAME          a server credential for URL targets (repeatable); a URL\n"
      "                             without CREDENTIAL needs one named after its container\n"
      "  --certificate NAME         a certificate for encrypted backups (repeatable)\n"
      "  --asymmetric-key NAME      an asymmetric key for encrypted backups (repeatable)\n"
      "  --url-root DIR             write URL targets under DIR/<host>/<path>\n"
      "  --data-dir DIR --log-dir DIR   the default data and log folders\n"
      "                             ($TMPDIR/vaultrun-sim/data/ and log/, made if missing)\n"
      "  --corrupt-newest           damage each backup set once written\n"
      "  --damaged NAME             the database's pages fail DBCC CHECKDB, in its backups and\n"
      "                             restored copies too (repeatable)\n"
      "  --fault-checkdb none|close|hang|snapshot   a DBCC CHECKDB closes the connection (after\n"
      "                             its errors, for a damaged copy), is never answered, or\n"
      "                             cannot make its snapshot (none)\n"
      "  --server-name NAME         the server's own name (VAULTRUN-SIM)\n"
      "  --failover-server-name NAME   after a CHECKDB closed the connection, new logins\n"
      "                             reach a second server of this name, same databases\n"
      "  --race-create              another connection creates each name a claim found free\n"
      "  --hidden NAME              the login cannot see the database, yet may restore over\n"
      "                             and drop it (repeatable)\n"
      "  --history-sets N           make up N backup sets (no files) in the history of each\n"
      "                             online user database that is not SIMPLE\n"
      "                             (an --edition starting with Express or Web refuses COMPRESSION)\n"
      "  --deny-history USER        the backup history in msdb is refused to USER (repeatable)\n"
      "  --clock-step SECONDS       each backup moves the server's clock forward (a history of days)\n"
      "  --delete-ms MS             how long xp_delete_file takes\n"
      "  --not-sysadmin USER        USER is no sysadmin: xp_delete_file refuses it (repeatable)\n"
      "  --omit-position-message    a backup does not report its set's position (4035)\n"
      "  --backup-silent-ms N       pause after the first progress message (0)\n"
      "  --encryption off|notsup|on|req   PRELOGIN ENCRYPTION setting (notsup); off, on and\n"
      "                             req answer a client that offers encryption with a TLS\n"
      "                             handshake inside PRELOGIN packets (off: the login only)\n"
      "  --tls-cert FILE --tls-key FILE   PEM certificate (chain) and key to serve\n"
      "                             (default: a self-signed one for localhost, 127.0.0.1)\n"
      "  --tls-cert-out FILE        write the certificate in use as PEM\n"
      "  --strict                   TLS from the first byte, ALPN tds/8.0 required\n"
      "  --tls-packet-type prelogin|reply   type of the server's handshake packets (prelogin)\n"
      "  --tls-wrapped-max 1.2|1.3  highest TLS version of a wrapped handshake (1.2)\n"
      "  --tls-fault none|wrong-name|expired|drop|garbage   a handshake that goes wrong (none)\n"
      "  --packet-size N            packet size granted at login, 512..32767\n"
      "  --split N                  send every packet at most N bytes long\n"
      "  --close-after N            close after N bytes of the targeted response\n"
      "  --bad-length               first packet of the targeted response has Length 4\n"
      "  --silent                   never answer from the targeted request on\n"
      "  --fault-on any|prelogin|login|batch   which response the faults hit (any)\n"
      "  --log FILE                 append each SQL batch text, ATTENTION and TLS outcome as a line\n"
      "  --quiet                    no start and stop lines on stderr\n";
}

std::string apply_json(const std::string& text, Config& cfg) {
  Json j;
  if (std::string e = j.parse(text); !e.empty()) return e;
  Target t{cfg};
  if (std::string e = json_object(j, 0, OPTIONS, "", t); !e.empty()) return e;
  add_generated(t);
  return "";
}

std::string load_config(int argc, char** argv, Config& cfg, bool& want_help) {
  want_help = false;
  Flags flags;
  if (std::string e = split_flags(argc, argv, flags); !e.empty()) return e;

  add_system_databases(cfg);
  add_sample_databases(cfg);
  cfg.logins.push_back({"sa", "vaultrun"});

  for (const auto& [flag, value] : flags) {
    if (flag != "--config") continue;
    std::string text;
    if (std::string e = read_file(value, text); !e.empty()) return e;
    if (std::string e = apply_json(text, cfg); !e.empty()) return value + ": " + e;
  }

  // The sample goes first, so that databases named by flags stay.
  for (const auto& [flag, value] : flags) {
    if (flag == "--empty-catalog") remove_user_databases(cfg);
  }

  Target t{cfg};
  for (const auto& [flag, value] : flags) {
    if (flag == "--help" || flag == "-h") want_help = true;
    const Field<Target>* f = option_by_flag(flag);
    if (!f) continue;  // steers the reading, done above
    if (std::string e = apply_flag(*f, value, t); !e.empty()) return e;
    add_generated(t);
  }
  return "";
}

}  // namespace sim
