#include "metrics.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>

#include "terminal.h"

namespace cli {

namespace {

constexpr const char* OUTCOME = "vaultrun_backup_last_outcome";
constexpr const char* DURATION = "vaultrun_backup_duration_seconds";
constexpr const char* LAST_SUCCESS = "vaultrun_backup_last_success_timestamp_seconds";
constexpr const char* SKIPPED = "vaultrun_backup_skipped";
constexpr const char* RUN_OUTCOME = "vaultrun_run_last_outcome";
constexpr const char* RUN_TIME = "vaultrun_run_last_timestamp_seconds";
constexpr const char* PROOF_SUCCESS = "vaultrun_restore_test_success";
constexpr const char* PROOF_LAST_SUCCESS = "vaultrun_restore_test_last_success_timestamp_seconds";
constexpr const char* PROOF_DURATION = "vaultrun_restore_test_duration_seconds";
constexpr const char* PROOF_LEFT_BEHIND = "vaultrun_restore_test_left_behind";
constexpr const char* PROOF_SKIPPED = "vaultrun_restore_test_skipped";
constexpr const char* CLEANUP_SUCCESS = "vaultrun_cleanup_success";
constexpr const char* CLEANUP_DELETED = "vaultrun_cleanup_files_deleted";
constexpr const char* CLEANUP_FREED = "vaultrun_cleanup_freed_bytes";
constexpr const char* WINDOW_PROMISED = "vaultrun_restore_window_promised_seconds";
constexpr const char* OLDEST_RESTORABLE = "vaultrun_oldest_restorable_timestamp_seconds";

// Series of a cleanup run: labelled by server and database, no type.
bool is_cleanup_series(std::string_view line) {
  return line.rfind("vaultrun_cleanup_", 0) == 0 || line.rfind(WINDOW_PROMISED, 0) == 0 ||
         line.rfind(OLDEST_RESTORABLE, 0) == 0;
}

std::string server_database(const std::string& server, const std::string& database) {
  return "{server=\"" + metrics_label(server) + "\",database=\"" + metrics_label(database) + "\"}";
}

std::string labels(const std::string& server, const std::string& database, const std::string& type) {
  return "{server=\"" + metrics_label(server) + "\",database=\"" + metrics_label(database) + "\",type=\"" +
         metrics_label(type) + "\"}";
}

std::string header(const char* name, const char* help) {
  return std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
}

std::string number(double v, const char* format) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

// Reads one label value at text[i] (just past its opening quote) into out,
// undoing the escapes; i ends past the closing quote. False when unclosed.
bool read_label_value(std::string_view text, size_t& i, std::string& out) {
  while (i < text.size()) {
    char c = text[i++];
    if (c == '"') return true;
    if (c == '\\' && i < text.size()) {
      char e = text[i++];
      out += e == 'n' ? '\n' : e;
    } else {
      out += c;
    }
  }
  return false;
}

// One sample line "NAME{a="x",b="y"} VALUE": its server and database labels
// and its value. False for any other line.
bool read_sample(std::string_view line, std::string_view name, std::string& server, std::string& database,
                 std::string& type, double& value) {
  type = "full";
  if (line.substr(0, name.size()) != name || line.size() <= name.size() || line[name.size()] != '{') return false;
  size_t i = name.size() + 1;
  while (i < line.size() && line[i] != '}') {
    size_t eq = line.find("=\"", i);
    if (eq == std::string_view::npos) return false;
    std::string_view key = line.substr(i, eq - i);
    i = eq + 2;
    std::string v;
    if (!read_label_value(line, i, v)) return false;
    if (key == "server") server = v;
    if (key == "database") database = v;
    if (key == "type") type = v;
    if (i < line.size() && line[i] == ',') ++i;
  }
  if (i >= line.size()) return false;
  std::string_view rest = line.substr(i + 1);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  size_t end = rest.find(' ');  // an optional sample time may follow
  rest = rest.substr(0, end);
  auto [p, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
  return ec == std::errc() && p == rest.data() + rest.size() && std::isfinite(value);
}

// The run's own outcome and time, labelled with its kind.
std::string run_text(const std::string& server, const std::string& type, bool run_ok, double run_time) {
  const std::string run_labels = "{server=\"" + metrics_label(server) + "\",type=\"" + metrics_label(type) + "\"}";
  std::string out = header(RUN_OUTCOME, "Outcome of the last run of the type: 1 nothing failed, 0 a backup, the listing or the "
                             "connection failed.");
  out += RUN_OUTCOME + run_labels + " " + (run_ok ? "1" : "0") + "\n";
  out += header(RUN_TIME, "Unix time at which the last run of the type ended.");
  out += RUN_TIME + run_labels + " " + number(run_time, "%.0f") + "\n";
  return out;
}

}  // namespace

std::string metrics_label(std::string_view value) {
  std::string out;
  for (char c : valid_utf8(value)) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::string metrics_text(const std::string& server, const std::string& type, const std::vector<DatabaseMetrics>& dbs,
                         bool run_ok, double run_time) {
  std::string out = header(OUTCOME, "Outcome of the database's last backup of the type: 1 succeeded, 0 failed.");
  for (const auto& d : dbs) {
    if (d.ran) out += OUTCOME + labels(server, d.database, d.type.empty() ? type : d.type) + " " + (d.succeeded ? "1" : "0") + "\n";
  }
  out += header(DURATION, "Duration of the database's last backup of the type, verification included.");
  for (const auto& d : dbs) {
    if (d.ran) out += DURATION + labels(server, d.database, d.type.empty() ? type : d.type) + " " + number(d.duration_s, "%.3f") + "\n";
  }
  out += header(SKIPPED, "1 when the last run of the type skipped the database (not due, or not to be backed up).");
  for (const auto& d : dbs) {
    if (d.skipped) out += SKIPPED + labels(server, d.database, d.type.empty() ? type : d.type) + " 1\n";
  }
  out += header(LAST_SUCCESS, "Unix time at which the database's last successful backup of the type ended.");
  for (const auto& d : dbs) {
    if (d.last_success) {
      out += LAST_SUCCESS + labels(server, d.database, d.type.empty() ? type : d.type) + " " + number(*d.last_success, "%.0f") + "\n";
    }
  }
  return out + run_text(server, type, run_ok, run_time);
}


namespace {

// Calls each(database, value) for every sample of the metric name of this
// server (and kind, unless type is null), compared as written back so that
// names that were not valid UTF-8 still match.
template <typename Each>
void each_sample(std::string_view old_text, const char* name, const std::string& server, const std::string* type,
                 Each each) {
  size_t start = 0;
  while (start < old_text.size()) {
    size_t end = old_text.find('\n', start);
    if (end == std::string_view::npos) end = old_text.size();
    std::string s, d, t;
    double v = 0;
    if (read_sample(old_text.substr(start, end - start), name, s, d, t, v) && s == valid_utf8(server) &&
        (!type || t == valid_utf8(*type))) {
      each(d, v);
    }
    start = end + 1;
  }
}

}  // namespace

std::optional<double> previous_success(std::string_view old_text, const std::string& server, const std::string& type,
                                       const std::string& database) {
  std::optional<double> found;
  each_sample(old_text, LAST_SUCCESS, server, &type, [&](const std::string& d, double v) {
    if (d == valid_utf8(database)) found = v;
  });
  return found;
}

std::vector<std::string> previous_databases(std::string_view old_text, const std::string& server,
                                            const std::string& type) {
  std::vector<std::string> names;
  each_sample(old_text, LAST_SUCCESS, server, &type, [&](const std::string& d, double) {
    if (std::find(names.begin(), names.end(), d) == names.end()) names.push_back(d);
  });
  return names;
}

std::string restore_test_metrics_text(const std::string& server, const std::vector<ProofMetrics>& dbs, bool run_ok,
                                      double run_time) {
  auto lab = [&](const std::string& database) {
    return "{server=\"" + metrics_label(server) + "\",database=\"" + metrics_label(database) + "\"}";
  };
  std::string out = header(PROOF_SUCCESS, "Outcome of the database's last restore test: 1 the restored copy passed its "
                                          "check and was dropped, 0 otherwise.");
  for (const auto& d : dbs) {
    if (d.ran) out += PROOF_SUCCESS + lab(d.database) + " " + (d.proven ? "1" : "0") + "\n";
  }
  out += header(PROOF_LEFT_BEHIND, "1 when the database's last restore test could not drop its scratch copy.");
  for (const auto& d : dbs) {
    if (d.ran) out += PROOF_LEFT_BEHIND + lab(d.database) + " " + (d.left_behind ? "1" : "0") + "\n";
  }
  out += header(PROOF_SKIPPED, "1 when the last restore test run left the database out (its backups are not this "
                               "server's).");
  for (const auto& d : dbs) {
    if (d.skipped) out += PROOF_SKIPPED + lab(d.database) + " 1\n";
  }
  out += header(PROOF_DURATION, "Duration of each phase (restore, check, drop) of the database's last restore test.");
  for (const auto& d : dbs) {
    if (!d.ran) continue;
    const std::pair<const char*, std::optional<double>> phases[] = {
        {"restore", d.restore_s}, {"check", d.check_s}, {"drop", d.drop_s}};
    for (const auto& [phase, v] : phases) {
      if (!v) continue;
      std::string l = lab(d.database);
      l.insert(l.size() - 1, ",phase=\"" + std::string(phase) + "\"");
      out += PROOF_DURATION + l + " " + number(*v, "%.3f") + "\n";
    }
  }
  out += header(PROOF_LAST_SUCCESS, "Unix time at which the database's last proven restore ended.");
  for (const auto& d : dbs) {
    if (d.last_success) out += PROOF_LAST_SUCCESS + lab(d.database) + " " + number(*d.last_success, "%.0f") + "\n";
  }
  return out + run_text(server, "restore_test", run_ok, run_time);
}

std::optional<double> previous_proof(std::string_view old_text, const std::string& server,
                                      const std::string& database) {
  std::optional<double> found;
  each_sample(old_text, PROOF_LAST_SUCCESS, server, nullptr, [&](const std::string& d, double v) {
    if (d == valid_utf8(database)) found = v;
  });
  return found;
}

std::vector<std::string> previous_proven_databases(std::string_view old_text, const std::string& server) {
  std::vector<std::string> names;
  each_sample(old_text, PROOF_LAST_SUCCESS, server, nullptr, [&](const std::string& d, double) {
    if (std::find(names.begin(), names.end(), d) == names.end()) names.push_back(d);
  });
  return names;
}

std::string cleanup_metrics_text(const std::string& server, const std::vector<CleanupMetrics>& dbs, bool run_ok,
                                 double run_time) {
  std::string out = header(CLEANUP_SUCCESS, "Outcome of the database's last cleanup: 1 succeeded, 0 failed.");
  for (const auto& d : dbs) {
    if (d.ran) out += CLEANUP_SUCCESS + server_database(server, d.database) + " " + (d.succeeded ? "1" : "0") + "\n";
  }
  out += header(CLEANUP_DELETED, "Backup files that the database's last cleanup deleted.");
  for (const auto& d : dbs) {
    if (d.ran) out += CLEANUP_DELETED + server_database(server, d.database) + " " + std::to_string(d.files_deleted) + "\n";
  }
  out += header(CLEANUP_FREED, "Bytes that the files deleted by the database's last cleanup held.");
  for (const auto& d : dbs) {
    if (d.ran) out += CLEANUP_FREED + server_database(server, d.database) + " " + std::to_string(d.freed_bytes) + "\n";
  }
  out += header(WINDOW_PROMISED, "Window of the last hours that the database's cleanup keeps restorable, in seconds.");
  for (const auto& d : dbs) {
    if (d.promised_s) out += WINDOW_PROMISED + server_database(server, d.database) + " " + number(*d.promised_s, "%.0f") + "\n";
  }
  out += header(OLDEST_RESTORABLE, "Unix time of the oldest point that the database's backup files left by its last "
                                   "cleanup restore to.");
  for (const auto& d : dbs) {
    if (d.oldest_restorable) {
      out += OLDEST_RESTORABLE + server_database(server, d.database) + " " + number(*d.oldest_restorable, "%.0f") + "\n";
    }
  }
  return out + run_text(server, "cleanup", run_ok, run_time);
}

void previous_cleanup(std::string_view old_text, const std::string& server, CleanupMetrics& m) {
  const std::string name = valid_utf8(m.database);
  each_sample(old_text, WINDOW_PROMISED, server, nullptr, [&](const std::string& d, double v) {
    if (d == name && !m.promised_s) m.promised_s = v;
  });
  each_sample(old_text, OLDEST_RESTORABLE, server, nullptr, [&](const std::string& d, double v) {
    if (d == name && !m.oldest_restorable) m.oldest_restorable = v;
  });
}

std::vector<std::string> previous_cleaned_databases(std::string_view old_text, const std::string& server) {
  std::vector<std::string> names;
  each_sample(old_text, WINDOW_PROMISED, server, nullptr, [&](const std::string& d, double) {
    if (std::find(names.begin(), names.end(), d) == names.end()) names.push_back(d);
  });
  return names;
}

namespace {

// One metric of a file: its HELP and TYPE lines and its sample lines.
struct Family {
  std::string name, header;
  std::vector<std::string> samples;
};

std::string_view name_of(std::string_view sample) {
  return sample.substr(0, std::min(sample.find('{'), sample.find(' ')));
}

// The file's metrics in their order; a sample line joins its metric's
// family wherever it stands.
std::vector<Family> families(std::string_view text) {
  std::vector<Family> out;
  auto family = [&](std::string_view name) -> Family& {
    for (Family& f : out)
      if (f.name == name) return f;
    out.push_back({std::string(name), "", {}});
    return out.back();
  };
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
      std::string_view rest = line.substr(7);
      family(rest.substr(0, rest.find(' '))).header += std::string(line) + "\n";
    } else if (!line.empty() && line[0] != '#') {
      // A line cut short (an old file read up to its cap) would make the
      // collector refuse the whole file: only whole samples are kept.
      std::string s, d, t;
      double v = 0;
      if (read_sample(line, name_of(line), s, d, t, v)) family(name_of(line)).samples.emplace_back(line);
    }
  }
  return out;
}

// The series of a sample line: its name and labels, without the value.
std::string_view series_of(std::string_view sample) {
  const size_t brace = sample.find('}');
  return sample.substr(0, brace != std::string_view::npos ? brace + 1 : sample.find(' '));
}

// Whether an old sample goes: this run's own (of its server and kind; a
// restore test's series have no type label), or an older version's backup
// or run sample without a type, whose label names would differ from the
// typed ones beside it and make the collector refuse the file.
bool replaced(const std::string& line, const std::string& server, const std::string& kind) {
  std::string s, d, t;
  double v = 0;
  if (!read_sample(line, name_of(line), s, d, t, v)) return false;
  if (line.rfind("vaultrun_restore_test_", 0) == 0) return s == valid_utf8(server) && kind == "restore_test";
  if (is_cleanup_series(line)) return s == valid_utf8(server) && kind == "cleanup";
  if (line.find("type=\"") == std::string::npos) return true;
  return s == valid_utf8(server) && t == valid_utf8(kind);
}

}  // namespace

std::string keep_other_samples(const std::string& fresh, std::string_view old_text, const std::string& server,
                               const std::string& kind) {
  std::vector<Family> out = families(fresh);
  std::vector<std::string_view> written;
  for (const Family& f : out)
    for (const std::string& line : f.samples) written.push_back(series_of(line));
  for (Family& f : families(old_text)) {
    std::vector<std::string> kept;
    for (std::string& line : f.samples) {
      if (replaced(line, server, kind)) continue;
      if (std::find(written.begin(), written.end(), series_of(line)) != written.end()) continue;
      kept.push_back(std::move(line));
    }
    if (kept.empty()) continue;
    auto at = std::find_if(out.begin(), out.end(), [&](const Family& g) { return g.name == f.name; });
    if (at == out.end()) {
      out.push_back({f.name, f.header, {}});
      at = out.end() - 1;
    }
    at->samples.insert(at->samples.end(), kept.begin(), kept.end());
  }
  std::string text;
  for (const Family& f : out) {
    text += f.header;
    for (const std::string& line : f.samples) text += line + "\n";
  }
  return text;
}

std::string replace_file(const std::string& path, const std::string& text) {
  std::string tmp = path + ".tmp-XXXXXX";
  int fd = ::mkstemp(tmp.data());
  if (fd < 0) return "cannot create " + tmp + ": " + std::strerror(errno);
  std::string e;
  size_t done = 0;
  while (e.empty() && done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) e = std::string("cannot write ") + tmp + ": " + std::strerror(errno);
    else done += size_t(n);
  }
  // mkstemp makes the file private; the collector runs as another user.
  if (e.empty() && ::fchmod(fd, 0644) != 0) e = std::string("cannot set the mode of ") + tmp + ": " + std::strerror(errno);
  if (e.empty() && ::fsync(fd) != 0) e = std::string("cannot write ") + tmp + ": " + std::strerror(errno);
  if (::close(fd) != 0 && e.empty()) e = std::string("cannot write ") + tmp + ": " + std::strerror(errno);
  if (e.empty() && std::rename(tmp.c_str(), path.c_str()) != 0) {
    e = "cannot rename " + tmp + " to " + path + ": " + std::strerror(errno);
  }
  if (!e.empty()) ::unlink(tmp.c_str());
  return e;
}

}  // namespace cli
