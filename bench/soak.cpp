// A long run of the library as a host uses it: connection tests, listings,
// backups, cancels and restores in all four slots, against simulated
// servers of which some misbehave (connections dropped, answers stalled,
// garbage lengths, packets split). Every answer must be one strict JSON
// document, every outcome one that the server's behaviour allows, every
// slot must come free again and nothing may wait past its bound. The
// process samples its own resident memory, descriptors and threads as it
// goes, so a leak shows as a slope.
//
//   vaultrun_soak --sim PATH [--minutes N | --seconds N] [--out DIR]
//                 [--sample-s N] [--seed N] [--no-restore]
//
// Writes DIR/samples.csv and DIR/summary.json; exits 1 on any violation.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "strict_json.h"
#include "vaultrun.h"

namespace {

using clock_type = std::chrono::steady_clock;

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now().time_since_epoch()).count();
}

// ---- Servers ----------------------------------------------------------------

// What a server does wrong, and so what its clients may see.
enum class Behaviour {
  Clean,      // answers everything: every operation must succeed
  Split,      // every packet cut into 9-byte pieces: must succeed all the same
  Slow,       // backups of several seconds, for cancels
  DropLogin,  // the connection closes inside the login answer
  DropBatch,  // the connection closes inside a statement's answer
  Garbage,    // a statement's answer announces a length of 4
  Stall,      // a statement is never answered
};

const char* behaviour_name(Behaviour b) {
  switch (b) {
    case Behaviour::Clean: return "clean";
    case Behaviour::Split: return "split";
    case Behaviour::Slow: return "slow";
    case Behaviour::DropLogin: return "drop_login";
    case Behaviour::DropBatch: return "drop_batch";
    case Behaviour::Garbage: return "garbage";
    case Behaviour::Stall: return "stall";
  }
  return "?";
}

bool must_succeed(Behaviour b) { return b == Behaviour::Clean || b == Behaviour::Split || b == Behaviour::Slow; }

struct Server {
  Behaviour behaviour;
  pid_t pid = -1;
  int port = 0;
};

const char LOGIN[] = "soak:Soak-pass1";
const char USER[] = "soak";
const char PASSWORD[] = "Soak-pass1";

std::vector<std::string> server_args(Behaviour b, const std::string& dir) {
  std::vector<std::string> a = {"--login", LOGIN, "--backup-ms", "150", "--url-root", dir};
  switch (b) {
    case Behaviour::Clean: break;
    case Behaviour::Split: a.insert(a.end(), {"--split", "9"}); break;
    case Behaviour::Slow: a[3] = "4000"; break;
    case Behaviour::DropLogin: a.insert(a.end(), {"--fault-on", "login", "--close-after", "20"}); break;
    case Behaviour::DropBatch: a.insert(a.end(), {"--fault-on", "batch", "--close-after", "30"}); break;
    case Behaviour::Garbage: a.insert(a.end(), {"--fault-on", "batch", "--bad-length"}); break;
    case Behaviour::Stall: a.insert(a.end(), {"--fault-on", "batch", "--silent"}); break;
  }
  return a;
}

// Starts the server and reads the port it prints first. Its standard error
// goes to ours.
bool start_server(const std::string& sim, Server& s, const std::string& dir) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  std::vector<std::string> args = {sim};
  for (const std::string& a : server_args(s.behaviour, dir)) args.push_back(a);
  args.insert(args.end(), {"--port", "0", "--quiet"});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  s.pid = ::fork();
  if (s.pid < 0) return false;
  if (s.pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(out[1], STDOUT_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string line;
  const int64_t deadline = now_ms() + 10000;
  while (line.find('\n') == std::string::npos && now_ms() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    char buf[64];
    const ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, size_t(n));
  }
  ::close(out[0]);
  s.port = std::atoi(line.c_str());
  return s.port > 0;
}

void stop_server(Server& s) {
  if (s.pid <= 0) return;
  ::kill(s.pid, SIGTERM);
  int status = 0;
  for (int i = 0; i < 300; ++i) {
    if (::waitpid(s.pid, &status, WNOHANG) == s.pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(s.pid, SIGKILL);
  ::waitpid(s.pid, &status, 0);
}

// ---- What the process holds -------------------------------------------------

struct Sample {
  int64_t t_ms;
  int64_t rss_kb;
  int64_t fds;
  int64_t threads;
  int64_t ops;
};

int64_t status_field(const char* name) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(name);
  while (std::getline(in, line)) {
    if (line.compare(0, n, name) == 0 && line.size() > n && line[n] == ':') return std::atoll(line.c_str() + n + 1);
  }
  return -1;
}

int64_t open_fds() {
  DIR* d = ::opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  int64_t n = 0;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(d);
  return n - 1;  // the directory's own descriptor
}

// ---- Checks -----------------------------------------------------------------

struct Tally {
  std::map<std::string, int64_t> outcomes;  // "op/behaviour/outcome" -> count
  std::vector<std::string> violations;
  int64_t ops = 0;

  void count(const std::string& op, Behaviour b, const std::string& outcome) {
    ++outcomes[op + "/" + behaviour_name(b) + "/" + outcome];
    ++ops;
  }
  void violate(const std::string& what) {
    if (violations.size() < 200) violations.push_back(what);
    std::fprintf(stderr, "soak: violation: %s\n", what.c_str());
  }
};

bool has(const std::string& text, const char* needle) { return text.find(needle) != std::string::npos; }

// "ok" or "failed": the document's own verdict; "invalid" when it is not
// one strict JSON object with an ok member.
std::string verdict(const std::string& doc) {
  if (!strict_json_problem(doc).empty()) return "invalid";
  if (doc.compare(0, 10, "{\"ok\":true") == 0) return "ok";
  if (doc.compare(0, 11, "{\"ok\":false") == 0 && has(doc, "\"error\":\"")) return "failed";
  return "invalid";
}

std::string config_for(const Server& s, const std::string& extra) {
  std::ostringstream o;
  o << "{\"host\":\"127.0.0.1\",\"port\":" << s.port << ",\"user\":\"" << USER << "\",\"password\":\"" << PASSWORD
    << "\",\"connect_timeout_ms\":3000,\"query_timeout_ms\":3000" << extra << "}";
  return o.str();
}

// A synchronous call's answer, checked against what the server allows and
// against its bound. A connection test whose login went through succeeds
// whatever its version query gave, with the version "unknown".
void check_sync(Tally& t, const char* op, Behaviour b, const std::string& doc, int64_t took_ms) {
  std::string v = verdict(doc);
  const bool unknown = v == "ok" && has(doc, "\"server_version\":\"unknown\"");
  if (unknown) v = "ok_unknown_version";
  t.count(op, b, v);
  const std::string what = std::string(op) + " on " + behaviour_name(b);
  const bool test_after_login = std::strcmp(op, "test") == 0 && b != Behaviour::DropLogin;
  if (v == "invalid") t.violate(what + ": not one JSON answer: " + doc);
  if (must_succeed(b) && v != "ok") t.violate(what + " failed: " + doc);
  if (!must_succeed(b) && v == "ok") t.violate(what + " reported success");
  if (unknown && !test_after_login) t.violate(what + " reported success: " + doc);
  // Connect and query bounds of 3 s each, with room for a loaded machine.
  if (took_ms > 12000) t.violate(what + " took " + std::to_string(took_ms) + " ms");
}

// ---- Sessions -----------------------------------------------------------------

enum class SessionOp { Backup, Cancel, Restore };

const char* op_name(SessionOp op) {
  return op == SessionOp::Backup ? "backup" : op == SessionOp::Cancel ? "cancel" : "restore";
}

struct Running {
  bool busy = false;
  int32_t slot = -1;
  SessionOp op = SessionOp::Backup;
  Behaviour behaviour = Behaviour::Clean;
  int64_t started_ms = 0;
  int64_t cancel_at_ms = 0;  // 0: no cancel planned
  int64_t cancelled_ms = 0;
  std::string path;
};

}  // namespace

int main(int argc, char** argv) {
  std::string sim, out_dir = ".";
  int64_t run_s = 600, sample_s = 5;
  uint32_t seed = uint32_t(std::random_device{}());
  bool restores = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool more = i + 1 < argc;
    if (a == "--sim" && more) sim = argv[++i];
    else if (a == "--minutes" && more) run_s = std::atoll(argv[++i]) * 60;
    else if (a == "--seconds" && more) run_s = std::atoll(argv[++i]);
    else if (a == "--out" && more) out_dir = argv[++i];
    else if (a == "--sample-s" && more) sample_s = std::max<int64_t>(1, std::atoll(argv[++i]));
    else if (a == "--seed" && more) seed = uint32_t(std::strtoul(argv[++i], nullptr, 10));
    else if (a == "--no-restore") restores = false;
    else {
      std::fprintf(stderr,
                   "usage: vaultrun_soak --sim PATH [--minutes N | --seconds N] [--out DIR] [--sample-s N] "
                   "[--seed N] [--no-restore]\n");
      return 2;
    }
  }
  if (sim.empty() || run_s <= 0) {
    std::fprintf(stderr, "vaultrun_soak: --sim PATH and a positive run time are needed\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  std::filesystem::create_directories(out_dir);
  const std::string work = std::filesystem::absolute(out_dir).string() + "/files";
  std::filesystem::create_directories(work);

  const Behaviour kinds[] = {Behaviour::Clean,     Behaviour::Split,   Behaviour::Slow, Behaviour::DropLogin,
                             Behaviour::DropBatch, Behaviour::Garbage, Behaviour::Stall};
  std::vector<Server> servers;
  for (Behaviour b : kinds) {
    Server s{b};
    if (!start_server(sim, s, work)) {
      std::fprintf(stderr, "vaultrun_soak: the %s server did not start\n", behaviour_name(b));
      for (Server& o : servers) stop_server(o);
      stop_server(s);
      return 1;
    }
    servers.push_back(s);
  }
  auto server_of = [&](Behaviour b) -> const Server& {
    for (const Server& s : servers)
      if (s.behaviour == b) return s;
    return servers[0];
  };

  std::mt19937 rng(seed);
  auto pick = [&](int n) { return int(rng() % uint32_t(n)); };
  Tally tally;
  std::vector<Sample> samples;
  Running slots[4];
  // The set that restores bring back: written once, before the mix starts,
  // to a file of its own that no later backup touches.
  const std::string source = work + "/source.bak";
  int64_t file_seq = 0;
  const int64_t start = now_ms();
  const int64_t end = start + run_s * 1000;
  int64_t next_sample = start;
  std::printf("soak: %lld s, seed %u, servers on ports", (long long)run_s, seed);
  for (const Server& s : servers) std::printf(" %s=%d", behaviour_name(s.behaviour), s.port);
  std::printf("\n");
  std::fflush(stdout);

  auto sample = [&]() {
    samples.push_back(
        {now_ms() - start, status_field("VmRSS"), open_fds(), status_field("Threads"), tally.ops});
  };

  // Starts a session of the given kind on the first free slot of ours.
  auto start_session = [&](SessionOp op) {
    int free_i = -1;
    for (int i = 0; i < 4; ++i)
      if (!slots[i].busy) free_i = free_i < 0 ? i : free_i;
    if (free_i < 0) return;
    Running r;
    r.op = op;
    std::string extra;
    if (op == SessionOp::Restore) {
      r.behaviour = Behaviour::Clean;
      extra = ",\"operation\":\"restore\",\"database\":\"soak_copy_" + std::to_string(free_i) +
              "\",\"source_database\":\"inventory\",\"out_path\":\"" + source +
              "\",\"file\":1,\"replace\":true";
    } else {
      static const Behaviour backup_on[] = {Behaviour::Clean, Behaviour::Clean, Behaviour::Split,
                                            Behaviour::DropLogin, Behaviour::DropBatch, Behaviour::Garbage,
                                            Behaviour::Stall};
      r.behaviour = op == SessionOp::Cancel ? Behaviour::Slow : backup_on[pick(7)];
      r.path = work + "/b" + std::to_string(++file_seq % 64) + ".bak";
      extra = ",\"database\":\"inventory\",\"out_path\":\"" + r.path + "\",\"init\":true";
    }
    const std::string cfg = config_for(server_of(r.behaviour), extra);
    const int32_t slot = vaultrun_start(cfg.c_str());
    if (slot < 0) {
      tally.violate(std::string("vaultrun_start answered ") + std::to_string(slot) + " (" + vaultrun_last_error() +
                    ") with a slot of ours free");
      return;
    }
    r.busy = true;
    r.slot = slot;
    r.started_ms = now_ms();
    if (op == SessionOp::Cancel) r.cancel_at_ms = r.started_ms + pick(1500);
    // A stalled server never finishes a backup: the host gives up on it.
    if (r.behaviour == Behaviour::Stall) r.cancel_at_ms = r.started_ms + 1000 + pick(1000);
    slots[free_i] = r;
  };

  // Polls one running session; checks and releases it once it has ended.
  auto poll_session = [&](Running& r) {
    const int64_t t = now_ms();
    if (r.cancel_at_ms != 0 && r.cancelled_ms == 0 && t >= r.cancel_at_ms) {
      vaultrun_cancel(r.slot);
      r.cancelled_ms = t;
    }
    const std::string progress = vaultrun_progress(r.slot);
    if (!strict_json_problem(progress).empty()) tally.violate("progress is not one JSON answer: " + progress);
    const int32_t state = vaultrun_status(r.slot);
    if (state != VAULTRUN_SESSION_DONE && state != VAULTRUN_SESSION_FAILED) {
      // Bounds: a backup of the slow server takes 4 s, the others well under
      // 1 s; after a cancel the session ends within the attention's wait.
      const int64_t bound = r.cancelled_ms != 0 ? r.cancelled_ms + 15000 : r.started_ms + 30000;
      if (t > bound) {
        tally.violate(std::string(op_name(r.op)) + " on " + behaviour_name(r.behaviour) + " still state " +
                      std::to_string(state) + " after " + std::to_string(t - r.started_ms) + " ms");
        vaultrun_cancel(r.slot);
        r.cancelled_ms = r.cancelled_ms ? r.cancelled_ms : t;
        r.started_ms = t;  // report once per bound
      }
      return;
    }
    const std::string doc = vaultrun_result(r.slot);
    std::string v = verdict(doc);
    if (v == "failed" && has(doc, "\"error\":\"cancelled\"")) v = "cancelled";
    tally.count(op_name(r.op), r.behaviour, v);
    const std::string what = std::string(op_name(r.op)) + " on " + behaviour_name(r.behaviour);
    if (v == "invalid") tally.violate(what + ": not one JSON answer: " + doc);
    if ((state == VAULTRUN_SESSION_DONE) != (v == "ok")) tally.violate(what + ": state " + std::to_string(state) + " with " + doc);
    if (r.op == SessionOp::Cancel) {
      if (v != "ok" && v != "cancelled") tally.violate(what + " ended neither done nor cancelled: " + doc);
    } else if (must_succeed(r.behaviour)) {
      if (v != "ok") tally.violate(what + " failed: " + doc);
    } else if (v == "ok") {
      tally.violate(what + " reported success");
    }
    vaultrun_free(r.slot);
    if (vaultrun_status(r.slot) != VAULTRUN_SESSION_FREE) tally.violate(what + ": slot not free after vaultrun_free");
    r = Running{};
  };

  if (restores) {
    const std::string cfg =
        config_for(server_of(Behaviour::Clean), ",\"database\":\"inventory\",\"out_path\":\"" + source + "\",\"init\":true");
    const int32_t slot = vaultrun_start(cfg.c_str());
    int32_t state = VAULTRUN_SESSION_STARTING;
    for (int i = 0; slot >= 0 && i < 1500; ++i) {
      state = vaultrun_status(slot);
      if (state == VAULTRUN_SESSION_DONE || state == VAULTRUN_SESSION_FAILED) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (state != VAULTRUN_SESSION_DONE) {
      std::fprintf(stderr, "vaultrun_soak: the restores' source backup failed: %s\n",
                   slot >= 0 ? vaultrun_result(slot) : vaultrun_last_error());
      for (Server& s : servers) stop_server(s);
      return 1;
    }
    vaultrun_free(slot);
  }

  while (now_ms() < end) {
    if (now_ms() >= next_sample) {
      sample();
      next_sample += sample_s * 1000;
    }
    for (Running& r : slots)
      if (r.busy) poll_session(r);
    switch (pick(10)) {
      case 0:
      case 1: {
        const Behaviour b = kinds[pick(7)];
        const Server& s = server_of(b == Behaviour::Slow ? Behaviour::Clean : b);
        const int64_t t0 = now_ms();
        const std::string doc = vaultrun_test_connection(config_for(s, "").c_str());
        check_sync(tally, "test", s.behaviour, doc, now_ms() - t0);
        break;
      }
      case 2:
      case 3: {
        const Behaviour b = kinds[pick(7)];
        const Server& s = server_of(b == Behaviour::Slow ? Behaviour::Clean : b);
        const int64_t t0 = now_ms();
        const std::string doc = vaultrun_list_databases(config_for(s, "").c_str());
        check_sync(tally, "list", s.behaviour, doc, now_ms() - t0);
        break;
      }
      case 4:
      case 5:
      case 6: start_session(SessionOp::Backup); break;
      case 7: start_session(SessionOp::Cancel); break;
      default:
        if (restores) start_session(SessionOp::Restore);
        break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  // Drain: every session still running must end within its bound.
  const int64_t drain_end = now_ms() + 45000;
  for (;;) {
    bool any = false;
    for (Running& r : slots) {
      if (!r.busy) continue;
      any = true;
      poll_session(r);
    }
    if (!any) break;
    if (now_ms() > drain_end) {
      tally.violate("sessions still running 45 s after the run's end");
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (int32_t i = 0; i < 4; ++i)
    if (vaultrun_status(i) != VAULTRUN_SESSION_FREE) tally.violate("slot " + std::to_string(i) + " busy at the end");
  sample();
  for (Server& s : servers) stop_server(s);

  {
    std::ofstream csv(out_dir + "/samples.csv");
    csv << "seconds,rss_kb,fds,threads,operations\n";
    for (const Sample& s : samples)
      csv << (s.t_ms / 1000.0) << ',' << s.rss_kb << ',' << s.fds << ',' << s.threads << ',' << s.ops << '\n';
  }
  {
    std::ofstream js(out_dir + "/summary.json");
    js << "{\"seconds\":" << run_s << ",\"seed\":" << seed << ",\"operations\":" << tally.ops << ",\"outcomes\":{";
    bool first = true;
    for (const auto& [k, n] : tally.outcomes) {
      js << (first ? "" : ",") << '"' << k << "\":" << n;
      first = false;
    }
    js << "},\"violations\":" << tally.violations.size() << "}\n";
  }
  std::printf("soak: %lld operations, %zu violations\n", (long long)tally.ops, tally.violations.size());
  for (const auto& [k, n] : tally.outcomes) std::printf("  %-40s %lld\n", k.c_str(), (long long)n);
  return tally.violations.empty() ? 0 : 1;
}
