#include "config.h"
#include "wire.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

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

bool parse_encryption(const std::string& s, uint8_t& out) {
  if (s == "off") out = 0;
  else if (s == "on") out = 1;
  else if (s == "notsup") out = 2;
  else if (s == "req") out = 3;
  else return false;
  return true;
}

bool parse_fault_on(const std::string& s, FaultOn& out) {
  if (s == "any") out = FaultOn::Any;
  else if (s == "prelogin") out = FaultOn::Prelogin;
  else if (s == "login") out = FaultOn::Login;
  else if (s == "batch") out = FaultOn::Batch;
  else return false;
  return true;
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

struct JsonReader {
  const Json& j;
  std::string err;

  std::string want_string(size_t i, const std::string& key) {
    if (!j.is_string(i)) err = "\"" + key + "\" must be a string";
    return err.empty() ? j.str(i) : "";
  }
  int64_t want_int(size_t i, const std::string& key, int64_t lo, int64_t hi) {
    int64_t v = 0;
    if (!j.is_number(i) || !parse_int(j.raw(i), lo, hi, v)) {
      err = "\"" + key + "\" must be an integer from " + std::to_string(lo) + " to " +
            std::to_string(hi);
    }
    return v;
  }
  bool want_bool(size_t i, const std::string& key) {
    if (!j.is_bool(i)) err = "\"" + key + "\" must be true or false";
    return err.empty() && j.raw(i) == "true";
  }
};

constexpr int64_t MAX_MS = 24LL * 3600 * 1000;

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
    add_user_database(cfg, d);
  }
}

const Database* find_database(const Config& cfg, const std::string& name) {
  for (const Database& d : cfg.databases) {
    if (iequal(d.name, name)) return &d;
  }
  return nullptr;
}

std::string apply_json(const std::string& text, Config& cfg) {
  Json j;
  if (std::string e = j.parse(text); !e.empty()) return e;
  JsonReader r{j, ""};
  int64_t extra = 0;  // generated after "databases", wherever the key stands
  size_t i = 1;
  for (int member = 0; member < j.tok[0].size && r.err.empty(); ++member) {
    std::string key = j.str(i);
    size_t v = i + 1;
    if (key == "listen") {
      cfg.listen = r.want_string(v, key);
    } else if (key == "port") {
      cfg.port = int(r.want_int(v, key, 0, 65535));
    } else if (key == "version") {
      cfg.version = r.want_string(v, key);
    } else if (key == "edition") {
      cfg.edition = r.want_string(v, key);
    } else if (key == "program_name") {
      cfg.program = r.want_string(v, key);
    } else if (key == "server_name") {
      cfg.server_name = r.want_string(v, key);
    } else if (key == "backup_ms") {
      cfg.backup_ms = r.want_int(v, key, 0, MAX_MS);
    } else if (key == "backup_ms_per_mb") {
      cfg.backup_ms_per_mb = r.want_int(v, key, 0, MAX_MS);
    } else if (key == "backup_silent_ms") {
      cfg.backup_silent_ms = r.want_int(v, key, 0, MAX_MS);
    } else if (key == "encryption") {
      if (!parse_encryption(r.want_string(v, key), cfg.encryption) && r.err.empty()) {
        r.err = "\"encryption\" must be off, notsup, on or req";
      }
    } else if (key == "packet_size") {
      cfg.packet_size = int(r.want_int(v, key, 512, 32767));
    } else if (key == "split_packets") {
      cfg.split = int(r.want_int(v, key, 9, 65535));
    } else if (key == "close_after") {
      cfg.faults.close_after = r.want_int(v, key, 0, INT64_MAX);
    } else if (key == "bad_length") {
      cfg.faults.bad_length = r.want_bool(v, key);
    } else if (key == "silent") {
      cfg.faults.silent = r.want_bool(v, key);
    } else if (key == "fault_on") {
      if (!parse_fault_on(r.want_string(v, key), cfg.faults.on) && r.err.empty()) {
        r.err = "\"fault_on\" must be any, prelogin, login or batch";
      }
    } else if (key == "log") {
      cfg.log_path = r.want_string(v, key);
    } else if (key == "extra_databases") {
      extra = r.want_int(v, key, 0, 100000);
    } else if (key == "logins") {
      if (j.tok[v].type != JSMN_ARRAY) {
        r.err = "\"logins\" must be an array";
        break;
      }
      cfg.logins.clear();
      size_t e = v + 1;
      for (int k = 0; k < j.tok[v].size && r.err.empty(); ++k) {
        if (j.tok[e].type != JSMN_OBJECT) {
          r.err = "each login must be an object";
          break;
        }
        Login l;
        size_t f = e + 1;
        for (int m = 0; m < j.tok[e].size && r.err.empty(); ++m) {
          std::string fk = j.str(f);
          if (fk == "user") l.user = r.want_string(f + 1, fk);
          else if (fk == "password") l.password = r.want_string(f + 1, fk);
          else r.err = "unknown login member \"" + fk + "\"";
          f = j.skip(f + 1);
        }
        if (r.err.empty() && l.user.empty()) r.err = "each login needs a \"user\"";
        cfg.logins.push_back(l);
        e = j.skip(e);
      }
    } else if (key == "databases") {
      if (j.tok[v].type != JSMN_ARRAY) {
        r.err = "\"databases\" must be an array";
        break;
      }
      cfg.databases.erase(std::remove_if(cfg.databases.begin(), cfg.databases.end(),
                                         [](const Database& d) { return d.id > 4; }),
                          cfg.databases.end());
      size_t e = v + 1;
      for (int k = 0; k < j.tok[v].size && r.err.empty(); ++k) {
        if (j.tok[e].type != JSMN_OBJECT) {
          r.err = "each database must be an object";
          break;
        }
        Database d;
        d.recovery = "FULL";
        size_t f = e + 1;
        for (int m = 0; m < j.tok[e].size && r.err.empty(); ++m) {
          std::string fk = j.str(f);
          if (fk == "name") {
            d.name = r.want_string(f + 1, fk);
          } else if (fk == "size_mb") {
            d.size_mb = r.want_int(f + 1, fk, 0, 1LL << 30);
          } else if (fk == "recovery") {
            d.recovery = r.want_string(f + 1, fk);
          } else if (fk == "state") {
            std::string s = r.want_string(f + 1, fk);
            if (s == "online") d.online = true;
            else if (s == "offline") d.online = false;
            else if (r.err.empty()) r.err = "\"state\" must be online or offline";
          } else {
            r.err = "unknown database member \"" + fk + "\"";
          }
          f = j.skip(f + 1);
        }
        if (r.err.empty()) r.err = add_user_database(cfg, d);
        e = j.skip(e);
      }
    } else {
      r.err = "unknown member \"" + key + "\"";
    }
    i = j.skip(v);
  }
  if (r.err.empty()) add_generated_databases(cfg, extra);
  return r.err;
}

const char* usage_text() {
  return
      "usage: vaultrun-sim [--config FILE.json] [--listen ADDR] [--port N] [flags]\n"
      "A simulated database server speaking TDS 7.4 for tests and demos.\n"
      "With --port 0 a free port is chosen; the port is always the first line on stdout.\n"
      "\n"
      "  --login USER:PASSWORD      add a login (default: sa:vaultrun)\n"
      "  --database NAME:MB:MODEL[:offline]   add a user database\n"
      "  --databases N              add N generated online databases db0001...\n"
      "  --empty-catalog            start without the sample user databases\n"
      "  --version TEXT             product version (16.0.4135.4)\n"
      "  --edition TEXT             edition (Developer Edition (64-bit))\n"
      "  --backup-ms N              fixed duration of a backup in ms (400)\n"
      "  --backup-ms-per-mb N       extra duration per MB of the database (0)\n"
      "  --backup-silent-ms N       pause after the first progress message (0)\n"
      "  --encryption off|notsup|on|req   PRELOGIN ENCRYPTION answer (notsup)\n"
      "  --packet-size N            packet size granted at login, 512..32767\n"
      "  --split N                  send every packet at most N bytes long\n"
      "  --close-after N            close after N bytes of the targeted response\n"
      "  --bad-length               first packet of the targeted response has Length 4\n"
      "  --silent                   never answer from the targeted request on\n"
      "  --fault-on any|prelogin|login|batch   which response the faults hit (any)\n"
      "  --log FILE                 append each SQL batch text and ATTENTION as a line\n"
      "  --quiet                    no start and stop lines on stderr\n";
}

std::string load_config(int argc, char** argv, Config& cfg, bool& want_help) {
  want_help = false;
  std::vector<std::pair<std::string, std::string>> flags;
  const std::vector<std::string> switches = {"--empty-catalog", "--bad-length", "--silent",
                                             "--quiet", "--help", "-h"};
  const std::vector<std::string> valued = {
      "--config", "--listen", "--port", "--login", "--database", "--databases", "--version",
      "--edition", "--backup-ms", "--backup-ms-per-mb", "--backup-silent-ms", "--encryption",
      "--packet-size", "--split", "--close-after", "--fault-on", "--log"};
  auto known = [](const std::vector<std::string>& list, const std::string& f) {
    return std::find(list.begin(), list.end(), f) != list.end();
  };
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    std::string value;
    bool inline_value = a.rfind("--", 0) == 0 && a.find('=') != std::string::npos;
    if (inline_value) {
      value = a.substr(a.find('=') + 1);
      a = a.substr(0, a.find('='));
    }
    if (!known(switches, a) && !known(valued, a)) return "unknown flag " + a;
    if (known(valued, a) && !inline_value) {
      if (i + 1 >= argc) return "flag " + a + " needs a value";
      value = argv[++i];
    }
    flags.emplace_back(a, value);
  }

  add_system_databases(cfg);
  add_sample_databases(cfg);
  cfg.logins.push_back({"sa", "vaultrun"});

  for (const auto& [flag, value] : flags) {
    if (flag == "--config") {
      std::string text;
      if (std::string e = read_file(value, text); !e.empty()) return e;
      if (std::string e = apply_json(text, cfg); !e.empty()) return value + ": " + e;
    }
  }

  // The sample goes first, so that databases named by flags stay.
  for (const auto& [flag, value] : flags) {
    if (flag == "--empty-catalog") {
      cfg.databases.erase(std::remove_if(cfg.databases.begin(), cfg.databases.end(),
                                         [](const Database& d) { return d.id > 4; }),
                          cfg.databases.end());
    }
  }

  for (const auto& [flag, value] : flags) {
    int64_t n = 0;
    auto number = [&](int64_t lo, int64_t hi) {
      if (!parse_int(value, lo, hi, n)) {
        return flag + " takes an integer from " + std::to_string(lo) + " to " + std::to_string(hi);
      }
      return std::string();
    };
    std::string e;
    if (flag == "--config") {
      continue;
    } else if (flag == "--help" || flag == "-h") {
      want_help = true;
    } else if (flag == "--listen") {
      cfg.listen = value;
    } else if (flag == "--port") {
      if ((e = number(0, 65535)).empty()) cfg.port = int(n);
    } else if (flag == "--login") {
      size_t colon = value.find(':');
      if (colon == std::string::npos || colon == 0) e = "--login takes USER:PASSWORD";
      else cfg.logins.push_back({value.substr(0, colon), value.substr(colon + 1)});
    } else if (flag == "--database") {
      std::vector<std::string> parts;
      std::stringstream ss(value);
      for (std::string p; std::getline(ss, p, ':');) parts.push_back(p);
      Database d;
      if (parts.size() < 3 || parts.size() > 4 || !parse_int(parts[1], 0, 1LL << 30, n) ||
          (parts.size() == 4 && parts[3] != "offline" && parts[3] != "online")) {
        e = "--database takes NAME:MB:MODEL[:offline]";
      } else {
        d.name = parts[0];
        d.size_mb = n;
        d.recovery = parts[2];
        d.online = parts.size() == 3 || parts[3] == "online";
        e = add_user_database(cfg, d);
      }
    } else if (flag == "--databases") {
      if ((e = number(0, 100000)).empty()) add_generated_databases(cfg, n);
    } else if (flag == "--empty-catalog") {
      continue;  // applied above
    } else if (flag == "--version") {
      cfg.version = value;
    } else if (flag == "--edition") {
      cfg.edition = value;
    } else if (flag == "--backup-ms") {
      if ((e = number(0, MAX_MS)).empty()) cfg.backup_ms = n;
    } else if (flag == "--backup-ms-per-mb") {
      if ((e = number(0, MAX_MS)).empty()) cfg.backup_ms_per_mb = n;
    } else if (flag == "--backup-silent-ms") {
      if ((e = number(0, MAX_MS)).empty()) cfg.backup_silent_ms = n;
    } else if (flag == "--encryption") {
      if (!parse_encryption(value, cfg.encryption)) e = "--encryption takes off, notsup, on or req";
    } else if (flag == "--packet-size") {
      if ((e = number(512, 32767)).empty()) cfg.packet_size = int(n);
    } else if (flag == "--split") {
      if ((e = number(9, 65535)).empty()) cfg.split = int(n);
    } else if (flag == "--close-after") {
      if ((e = number(0, INT64_MAX)).empty()) cfg.faults.close_after = n;
    } else if (flag == "--bad-length") {
      cfg.faults.bad_length = true;
    } else if (flag == "--silent") {
      cfg.faults.silent = true;
    } else if (flag == "--fault-on") {
      if (!parse_fault_on(value, cfg.faults.on)) e = "--fault-on takes any, prelogin, login or batch";
    } else if (flag == "--log") {
      cfg.log_path = value;
    } else if (flag == "--quiet") {
      cfg.quiet = true;
    } else {
      e = "unknown flag " + flag;
    }
    if (!e.empty()) return e;
  }
  return "";
}

}  // namespace sim
