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
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include "backup_history.h"
#include "config.h"
#include "session.h"
#include "tls.h"

namespace {

std::atomic<bool> g_stopping{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void on_signal(int) { g_stopping.store(true); }

int open_listener(const sim::Config& cfg, int& port_out, std::string& err) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* res = nullptr;
  std::string port = std::to_string(cfg.port);
  int rc = ::getaddrinfo(cfg.listen.empty() ? nullptr : cfg.listen.c_str(), port.c_str(), &hints, &res);
  if (rc != 0 || !res) {
    err = "cannot resolve " + cfg.listen + ": " + ::gai_strerror(rc);
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
  if (::bind(fd, res->ai_addr, res->ai_addrlen) != 0 || ::listen(fd, 128) != 0) {
    err = "cannot listen on " + cfg.listen + ":" + port + ": " + std::strerror(errno);
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

struct Worker {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> finished;
};

// Accepts connections on lfd, one thread each, until a signal stops the
// server; then closes lfd, so that no one else connects, and returns once
// every connection has ended.
void serve(int lfd, const sim::Config& cfg, sim::StatementLog& log, const sim::TlsContext* tls) {
  std::list<Worker> workers;
  uint16_t next_spid = 51;
  while (!g_stopping.load()) {
    pollfd p{lfd, POLLIN, 0};
    int r = ::poll(&p, 1, 100);
    for (auto it = workers.begin(); it != workers.end();) {
      if (it->finished->load()) {
        it->thread.join();
        it = workers.erase(it);
      } else {
        ++it;
      }
    }
    if (r <= 0) continue;
    int fd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
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
  ::close(lfd);
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

  sim::seed_history(cfg, std::chrono::system_clock::now());

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
  int lfd = open_listener(cfg, port, err);
  if (lfd < 0) {
    std::fprintf(stderr, "vaultrun-sim: %s\n", err.c_str());
    return 1;
  }
  // The port is the first line on stdout: tests and scripts read it.
  std::printf("%d\n", port);
  std::fflush(stdout);
  if (!cfg.quiet) std::fprintf(stderr, "vaultrun-sim: listening on %s port %d\n", cfg.listen.c_str(), port);

  serve(lfd, cfg, log, tls.get());
  if (!cfg.quiet) std::fprintf(stderr, "vaultrun-sim: stopped\n");
  return 0;
}
