// vaultrun-sim: a simulated database server that speaks TDS 7.4 on a TCP
// port, for integration tests, the demo and the benchmarks. One thread per
// connection; SIGINT or SIGTERM stops it, ending every connection (and any
// backup in progress, whose partial file is removed).
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "backup_history.h"
#include "catalog.h"
#include "restore.h"
#include "config.h"
#include "session.h"
#include "tls.h"

namespace {

std::atomic<bool> g_stopping{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void on_signal(int) { g_stopping.store(true); }

// Listens on one address; port 0 picks a free one, reported in port_out.
int open_listener(const std::string& addr, int port, int& port_out, std::string& err) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* res = nullptr;
  std::string port_text = std::to_string(port);
  int rc = ::getaddrinfo(addr.empty() ? nullptr : addr.c_str(), port_text.c_str(), &hints, &res);
  if (rc != 0 || !res) {
    err = "cannot resolve " + addr + ": " + ::gai_strerror(rc);
    return -1;
  }
  int fd = ::socket(res->ai_family, res->ai_socktype | SOCK_CLOEXEC, res->ai_protocol);
  if (fd < 0) {
    err = std::string("socket: ") + std::strerror(errno);
    ::freeaddrinfo(res);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // An IPv6 address is that address alone, whatever the system's default.
  if (res->ai_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  if (::bind(fd, res->ai_addr, res->ai_addrlen) != 0 || ::listen(fd, 128) != 0) {
    err = "cannot listen on " + addr + ":" + port_text + ": " + std::strerror(errno);
    ::freeaddrinfo(res);
    ::close(fd);
    return -1;
  }
  ::freeaddrinfo(res);
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  port_out = ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                                      : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  return fd;
}

// The default data and log folders: as configured (with a trailing '/'),
// or data/ and log/ under $TMPDIR/vaultrun-sim, shared by every simulator
// (it writes no database files, so they stay empty). Both are made if
// missing, so that a restore to the defaults finds them. "" or the reason.
std::string prepare_folders(sim::Config& cfg) {
  namespace fs = std::filesystem;
  const char* tmp = std::getenv("TMPDIR");
  const std::string own = std::string(tmp && *tmp ? tmp : "/tmp") + "/vaultrun-sim";
  for (auto [dir, name] : {std::pair{&cfg.data_dir, "data"}, std::pair{&cfg.log_dir, "log"}}) {
    if (dir->empty()) *dir = own + "/" + name;
    if (dir->back() != '/') *dir += '/';
    std::error_code ec;
    fs::create_directories(*dir, ec);
    if (ec) return "cannot make " + *dir + ": " + ec.message();
  }
  return "";
}

// --listen takes a comma-separated list ("127.0.0.1,::1"). Every address
// listens on the same port: the first one's, when the port is chosen.
bool open_listeners(const sim::Config& cfg, std::vector<int>& fds, int& port, std::string& err) {
  port = cfg.port;
  size_t start = 0;
  for (;;) {
    const size_t comma = cfg.listen.find(',', start);
    const std::string addr = cfg.listen.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const int fd = open_listener(addr, port, port, err);
    if (fd < 0) {
      for (int f : fds) ::close(f);
      fds.clear();
      return false;
    }
    fds.push_back(fd);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

struct Worker {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> finished;
};

// Accepts connections on the listeners, one thread each, until a signal
// stops the server; then closes them, so that no one else connects, and
// returns once every connection has ended.
void serve(const std::vector<int>& lfds, const sim::Config& cfg, sim::StatementLog& log,
           const sim::TlsContext* tls) {
  std::list<Worker> workers;
  uint16_t next_spid = 51;
  std::vector<pollfd> polled;
  for (int lfd : lfds) polled.push_back(pollfd{lfd, POLLIN, 0});
  while (!g_stopping.load()) {
    for (pollfd& p : polled) p.revents = 0;
    int r = ::poll(polled.data(), polled.size(), 100);
    for (auto it = workers.begin(); it != workers.end();) {
      if (it->finished->load()) {
        it->thread.join();
        it = workers.erase(it);
      } else {
        ++it;
      }
    }
    if (r <= 0) continue;
    int lfd = -1;
    for (const pollfd& p : polled) {
      if (p.revents != 0) lfd = p.fd;
    }
    int fd = lfd < 0 ? -1 : ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    uint16_t spid = next_spid;
    next_spid = next_spid >= 32767 ? 51 : uint16_t(next_spid + 1);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    workers.push_back(Worker{std::thread([fd, spid, finished, &cfg, &log, tls] {
                               sim::serve_connection(fd, cfg, spid, g_stopping, log, tls);
                               finished->store(true);
                             }),
                             finished});
  }
  for (int lfd : lfds) ::close(lfd);
  for (Worker& w : workers) w.thread.join();
}

}  // namespace

int main(int argc, char** argv) {
  sim::Config cfg;
  bool help = false;
  std::string err = sim::load_config(argc, argv, cfg, help);
  if (help) {
    std::fputs(sim::usage_text(), stdout);
    return 0;
  }
  if (!err.empty()) {
    std::fprintf(stderr, "vaultrun-sim: %s (see --help)\n", err.c_str());
    return 2;
  }

  if (err = prepare_folders(cfg); !err.empty()) {
    std::fprintf(stderr, "vaultrun-sim: %s\n", err.c_str());
    return 2;
  }
  sim::catalog().load(cfg);
  if (cfg.history_sets > 0) {
    sim::catalog().edit([&](std::vector<sim::LiveDatabase>& dbs) {
      for (sim::LiveDatabase& d : dbs) {
        if (d.id > 4 && d.state == sim::DbState::Online && d.recovery != "SIMPLE") {
          sim::seed_history(d, cfg.history_sets, sim::backup_history());
        }
      }
    });
  }
  sim::seed_last_backups(cfg, std::chrono::system_clock::now());

  sim::StatementLog log(cfg.log_path);
  if (!log.ok()) {
    std::fprintf(stderr, "vaultrun-sim: cannot append to %s: %s\n", cfg.log_path.c_str(),
                 std::strerror(errno));
    return 2;
  }

  // Made before the port is announced, so the certificate file exists by the
  // time a test reads the port.
  std::unique_ptr<sim::TlsContext> tls = sim::TlsContext::create(cfg, err);
  if (!tls) {
    std::fprintf(stderr, "vaultrun-sim: %s\n", err.c_str());
    return 2;
  }

  struct sigaction sa{};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  int port = 0;
  std::vector<int> lfds;
  if (!open_listeners(cfg, lfds, port, err)) {
    std::fprintf(stderr, "vaultrun-sim: %s\n", err.c_str());
    return 1;
  }
  // The port is the first line on stdout: tests and scripts read it.
  std::printf("%d\n", port);
  std::fflush(stdout);
  if (!cfg.quiet) std::fprintf(stderr, "vaultrun-sim: listening on %s port %d\n", cfg.listen.c_str(), port);

  serve(lfds, cfg, log, tls.get());
  if (!cfg.quiet) std::fprintf(stderr, "vaultrun-sim: stopped\n");
  return 0;
}
