#include "options.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "json.h"

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
    } else if (key == "database") {
      e = want_string(key, v, s.database);
    } else if (key == "out_path") {
      e = want_string(key, v, s.out_path);
    } else if (key == "compression") {
      e = want_bool(key, v, s.compression);
    } else if (key == "copy_only") {
      e = want_bool(key, v, s.copy_only);
    } else if (key == "verify") {
      e = want_bool(key, v, s.verify);
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

}  // namespace

std::string parse_args(int argc, char** argv, Options& opt) {
  int i = 1;
  if (i < argc && argv[i][0] != '-') {
    std::string c = argv[i++];
    if (c == "test") opt.command = Command::Test;
    else if (c == "list") opt.command = Command::List;
    else if (c == "backup") opt.command = Command::Backup;
    else if (c == "help") opt.help = true;
    else return "unknown command '" + c + "'";
    // "help COMMAND" reads as "COMMAND --help".
    if (opt.help && i < argc && argv[i][0] != '-') {
      std::string topic = argv[i++];
      if (topic == "test") opt.command = Command::Test;
      else if (topic == "list") opt.command = Command::List;
      else if (topic == "backup") opt.command = Command::Backup;
      else return "unknown command '" + topic + "'";
    }
  }
  const bool backup = opt.command == Command::Backup;
  const bool any = opt.command != Command::None;

  for (; i < argc; ++i) {
    std::string flag = argv[i];
    std::optional<std::string> inline_value;
    if (flag.rfind("--", 0) == 0) {
      if (size_t eq = flag.find('='); eq != std::string::npos) {
        inline_value = flag.substr(eq + 1);
        flag.resize(eq);
      }
    }
    auto value = [&](std::string& out) -> std::string {
      if (inline_value) {
        out = *inline_value;
      } else if (i + 1 < argc) {
        out = argv[++i];
      } else {
        return "option " + flag + " needs a value";
      }
      return "";
    };
    auto no_value = [&]() -> std::string {
      return inline_value ? "option " + flag + " takes no value" : "";
    };
    // Which command an option belongs to: connection options go with every
    // command, the backup's own only with backup.
    auto belongs = [&](bool ok) -> std::string {
      if (ok) return "";
      if (!any) return "option " + flag + " needs a command (test, list or backup) before it";
      return "option " + flag + " applies to backup only";
    };

    std::string e, v;
    if (flag == "--help" || flag == "-h") {
      if ((e = no_value()).empty()) opt.help = true;
    } else if (flag == "--version") {
      if ((e = no_value()).empty()) opt.version = true;
    } else if (flag == "--json") {
      if ((e = belongs(any)).empty() && (e = no_value()).empty()) opt.json = true;
    } else if (flag == "--config") {
      if ((e = belongs(any)).empty() && (e = value(v)).empty()) opt.config_path = v;
    } else if (flag == "--host") {
      if ((e = belongs(any)).empty() && (e = value(v)).empty()) {
        if (v.empty()) e = "--host needs a host name or address";
        else opt.host = v;
      }
    } else if (flag == "--port") {
      int32_t port = 0;
      if ((e = belongs(any)).empty() && (e = value(v)).empty()) {
        if (!parse_port(v, port)) e = "--port takes a whole number from 1 to 65535, not '" + v + "'";
        else opt.port = port;
      }
    } else if (flag == "--user") {
      if ((e = belongs(any)).empty() && (e = value(v)).empty()) opt.user = v;
    } else if (flag == "--connect-timeout" || flag == "--query-timeout") {
      int64_t ms = 0;
      if ((e = belongs(any)).empty() && (e = value(v)).empty()) {
        if (!parse_seconds(v, ms)) {
          e = flag + " takes seconds (0 for no limit), not '" + v + "'";
        } else if (flag == "--connect-timeout") {
          opt.connect_timeout_ms = ms;
        } else {
          opt.query_timeout_ms = ms;
        }
      }
    } else if (flag == "--database") {
      if ((e = belongs(backup)).empty() && (e = value(v)).empty()) opt.database = v;
    } else if (flag == "--out") {
      if ((e = belongs(backup)).empty() && (e = value(v)).empty()) opt.out_path = v;
    } else if (flag == "--no-compression") {
      if ((e = belongs(backup)).empty() && (e = no_value()).empty()) opt.compression = false;
    } else if (flag == "--copy-only") {
      if ((e = belongs(backup)).empty() && (e = no_value()).empty()) opt.copy_only = true;
    } else if (flag == "--no-verify") {
      if ((e = belongs(backup)).empty() && (e = no_value()).empty()) opt.verify = false;
    } else if (flag == "--password") {
      e = "the password is never a command-line option (others could read it in the process "
          "list): set VAULTRUN_PASSWORD, put it in the --config file, or type it when asked";
    } else if (flag.size() > 1 && flag[0] == '-') {
      e = "unknown option '" + flag + "'";
    } else {
      e = "unexpected argument '" + flag + "'";
    }
    if (!e.empty()) return e;
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
    if (!e.empty()) return "config " + name + ": " + e;
  }
  if (opt.host) s.host = *opt.host;
  if (opt.port) s.port = *opt.port;
  if (opt.user) s.user = *opt.user;
  if (opt.database) s.database = *opt.database;
  if (opt.out_path) s.out_path = *opt.out_path;
  if (opt.compression) s.compression = *opt.compression;
  if (opt.copy_only) s.copy_only = *opt.copy_only;
  if (opt.verify) s.verify = *opt.verify;
  if (opt.connect_timeout_ms) s.connect_timeout_ms = *opt.connect_timeout_ms;
  if (opt.query_timeout_ms) s.query_timeout_ms = *opt.query_timeout_ms;
  return "";
}

std::string check_settings(Command cmd, const Settings& s) {
  if (s.user.empty()) return "a user is required (--user NAME or \"user\" in the --config file)";
  if (cmd == Command::Backup) {
    if (s.database.empty()) return "a database is required (--database NAME)";
    if (s.out_path.empty()) return "an output path on the server is required (--out PATH)";
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

std::string config_json(const Settings& s) {
  // Members the file held that this program does not know go first, so that
  // ours, which come after them, are the ones the library keeps.
  std::string out = "{";
  for (const auto& [key, raw] : s.extra) out += json_quote(key) + ":" + raw + ",";
  out += "\"host\":" + json_quote(s.host);
  out += ",\"port\":" + std::to_string(s.port);
  out += ",\"user\":" + json_quote(s.user);
  out += ",\"password\":" + json_quote(s.password.value_or(""));
  if (!s.database.empty()) out += ",\"database\":" + json_quote(s.database);
  if (!s.out_path.empty()) out += ",\"out_path\":" + json_quote(s.out_path);
  out += std::string(",\"compression\":") + (s.compression ? "true" : "false");
  out += std::string(",\"copy_only\":") + (s.copy_only ? "true" : "false");
  out += std::string(",\"verify\":") + (s.verify ? "true" : "false");
  out += ",\"connect_timeout_ms\":" + std::to_string(s.connect_timeout_ms);
  out += ",\"query_timeout_ms\":" + std::to_string(s.query_timeout_ms);
  out += "}";
  return out;
}

std::string endpoint(const Settings& s) {
  if (s.host.find(':') != std::string::npos) return "[" + s.host + "]:" + std::to_string(s.port);
  return s.host + ":" + std::to_string(s.port);
}

}  // namespace cli
