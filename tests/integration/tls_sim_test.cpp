// Encrypted connections end to end against the simulated server: the
// connection test, the listing, a backup with live progress and a prompt
// cancel in both forms of TLS; each refusal; and a tap between library and
// server that must never see the password in any form. Skipped while the
// simulator has no TLS.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "script_peer.h"
#include "sim_process.h"
#include "vaultrun.h"

namespace {

using vaultrun_test::read_lines;
using vaultrun_test::SimProcess;
using vaultrun_test::TempDir;
using Clock = std::chrono::steady_clock;

int64_t ms_since(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A simulator speaking TLS as args say, its certificate written to the
// directory for the client's ca_file.
struct TlsSim {
  TempDir dir;
  std::string pem = dir.file("sim.pem");
  std::string log = dir.file("sim.log");
  std::unique_ptr<SimProcess> sim;
  explicit TlsSim(std::vector<std::string> args) {
    args.insert(args.end(), {"--tls-cert-out", pem, "--log", log});
    sim = std::make_unique<SimProcess>(args);
  }
};

// Whether this build's simulator speaks TLS at all (its help names the flag
// that writes its certificate). Once it does, a server that fails to start
// fails the test.
bool sim_has_tls() {
  static const bool has = [] {
    const std::string cmd = std::string(vaultrun_test::sim_binary()) + " --help 2>&1";
    FILE* f = ::popen(cmd.c_str(), "r");
    if (f == nullptr) return false;
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    ::pclose(f);
    return text.find("--tls-cert-out") != std::string::npos;
  }();
  return has;
}

#define REQUIRE_TLS_SIM(s)                                            \
  if (!sim_has_tls()) GTEST_SKIP() << "simulator without TLS";        \
  ASSERT_TRUE((s).sim->ok()) << (s).sim->error()

std::string config(int port, const std::string& encrypt, const std::string& pem,
                   const std::string& extra = "") {
  return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) +
         ",\"user\":\"sa\",\"password\":\"vaultrun\",\"encrypt\":" + encrypt + ",\"ca_file\":\"" + pem +
         "\",\"connect_timeout_ms\":10000" + extra + "}";
}

int32_t wait_final(int32_t idx, int64_t bound_ms) {
  const auto t0 = Clock::now();
  while (ms_since(t0) < bound_ms) {
    const int32_t st = vaultrun_status(idx);
    if (st == VAULTRUN_SESSION_DONE || st == VAULTRUN_SESSION_FAILED) return st;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -9;
}

struct mode {
  const char* name;
  std::vector<std::string> sim_args;
  const char* encrypt;  // the JSON value
};

const mode MODES[] = {
    {"wrapped, encryption required", {"--encryption", "req"}, "true"},
    {"wrapped, TLS 1.3, reply packets of 9 bytes",
     {"--encryption", "on", "--tls-wrapped-max", "1.3", "--tls-packet-type", "reply", "--split", "9"},
     "true"},
    {"strict", {"--strict"}, "\"strict\""},
};

TEST(TlsSim, TestListAndBackupWithProgress) {
  for (const mode& m : MODES) {
    SCOPED_TRACE(m.name);
    std::vector<std::string> args = m.sim_args;
    args.insert(args.end(), {"--backup-ms", "1500"});
    TlsSim s(args);
    REQUIRE_TLS_SIM(s);
    const int port = s.sim->port();
    EXPECT_STREQ(vaultrun_test_connection(config(port, m.encrypt, s.pem).c_str()),
                 "{\"ok\":true,\"server_version\":\"16.0.4135.4 Developer Edition (64-bit)\"}");
    const std::string listing = vaultrun_list_databases(config(port, m.encrypt, s.pem).c_str());
    EXPECT_EQ(listing.rfind("{\"ok\":true,\"databases\":[{", 0), 0u) << listing;

    const std::string backup = config(port, m.encrypt, s.pem,
                                      ",\"database\":\"sales\",\"out_path\":\"" + s.dir.file("s.bak") + "\"");
    const int32_t idx = vaultrun_start(backup.c_str());
    ASSERT_GE(idx, 0);
    bool saw_progress = false;
    const auto t0 = Clock::now();
    while (ms_since(t0) < 20000) {
      const int32_t st = vaultrun_status(idx);
      if (st == VAULTRUN_SESSION_DONE || st == VAULTRUN_SESSION_FAILED) break;
      saw_progress |= std::string(vaultrun_progress(idx)).find("percent processed") != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(vaultrun_status(idx), VAULTRUN_SESSION_DONE) << vaultrun_result(idx);
    EXPECT_TRUE(saw_progress);
    vaultrun_free(idx);
  }
}

TEST(TlsSim, CancelSendsAttentionInsideTls) {
  for (const mode& m : MODES) {
    SCOPED_TRACE(m.name);
    std::vector<std::string> args = m.sim_args;
    args.insert(args.end(), {"--backup-ms", "8000"});
    TlsSim s(args);
    REQUIRE_TLS_SIM(s);
    const std::string backup =
        config(s.sim->port(), m.encrypt, s.pem,
               ",\"database\":\"sales\",\"out_path\":\"" + s.dir.file("s.bak") + "\"");
    const int32_t idx = vaultrun_start(backup.c_str());
    ASSERT_GE(idx, 0);
    auto t0 = Clock::now();
    while (std::string(vaultrun_progress(idx)).find("percent processed") == std::string::npos &&
           ms_since(t0) < 10000)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    t0 = Clock::now();
    vaultrun_cancel(idx);
    EXPECT_EQ(wait_final(idx, 5000), VAULTRUN_SESSION_FAILED);
    EXPECT_LT(ms_since(t0), 2000);
    EXPECT_STREQ(vaultrun_result(idx), "{\"ok\":false,\"error\":\"cancelled\"}");
    vaultrun_free(idx);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::vector<std::string> lines = read_lines(s.log);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ATTENTION"), lines.end());
  }
}

TEST(TlsSim, Refusals) {
  struct {
    const char* name;
    std::vector<std::string> sim_args;
    const char* encrypt;
    bool own_ca;
    const char* want;  // the start of the error
  } cases[] = {
      {"server without encryption", {"--encryption", "notsup"}, "true", true,
       "server does not support encryption"},
      {"certificate for another name", {"--encryption", "req", "--tls-fault", "wrong-name"}, "true", true,
       "server certificate does not match 127.0.0.1"},
      {"expired certificate", {"--encryption", "req", "--tls-fault", "expired"}, "true", true,
       "server certificate not trusted: certificate has expired"},
      {"self-signed, not in the system's store", {"--encryption", "req"}, "true", false,
       "server certificate not trusted: "},
      {"dropped mid-handshake", {"--encryption", "req", "--tls-fault", "drop"}, "true", true,
       "TLS handshake failed: "},
      {"garbage instead of a handshake", {"--encryption", "req", "--tls-fault", "garbage"}, "true", true,
       "TLS handshake failed: "},
      {"strict, garbage", {"--strict", "--tls-fault", "garbage"}, "\"strict\"", true, "TLS handshake failed: "},
      {"strict against a wrapped server", {"--encryption", "req"}, "\"strict\"", true,
       "TLS handshake failed: "},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    TlsSim s(c.sim_args);
    REQUIRE_TLS_SIM(s);
    const std::string cfg = config(s.sim->port(), c.encrypt, c.own_ca ? s.pem : "");
    const std::string answer = vaultrun_test_connection(cfg.c_str());
    EXPECT_EQ(answer.rfind(std::string("{\"ok\":false,\"error\":\"") + c.want, 0), 0u) << answer;
  }
}

// A loopback relay between the library and the server that keeps every
// byte it passes on, in both directions.
class Tap {
 public:
  explicit Tap(int server_port) : server_port_(server_port) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_fd_, 4);
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~Tap() {
    stop_ = true;
    thread_.join();
    ::close(listen_fd_);
  }
  int port() const { return port_; }
  bytes seen() const {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
  }

 private:
  void run() {
    while (!stop_) {
      pollfd p{listen_fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int client = ::accept(listen_fd_, nullptr, nullptr);
      const int server = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(static_cast<uint16_t>(server_port_));
      if (::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) relay(client, server);
      ::close(client);
      ::close(server);
    }
  }
  void relay(int client, int server) {
    uint8_t buf[16384];
    while (!stop_) {
      pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      if (::poll(p, 2, 20) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (p[i].revents == 0) continue;
        const ssize_t n = ::recv(p[i].fd, buf, sizeof buf, 0);
        if (n <= 0) return;
        {
          std::lock_guard<std::mutex> lock(mu_);
          seen_.insert(seen_.end(), buf, buf + n);
        }
        if (::send(i == 0 ? server : client, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) return;
      }
    }
  }
  int server_port_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  bytes seen_;
};

bool contains(const bytes& hay, const bytes& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TEST(TlsSim, PasswordNeverCrossesTheWireInAnyForm) {
  const std::string password = "Tap-Secret-42";
  bytes masked = utf16le(password);
  for (uint8_t& b : masked) b = static_cast<uint8_t>(((b << 4) | (b >> 4)) ^ 0xA5);
  for (const mode& m : MODES) {
    SCOPED_TRACE(m.name);
    std::vector<std::string> args = m.sim_args;
    args.insert(args.end(), {"--login", "sa:" + password});
    TlsSim s(args);
    REQUIRE_TLS_SIM(s);
    Tap tap(s.sim->port());
    std::string cfg = config(tap.port(), m.encrypt, s.pem);
    cfg.replace(cfg.find("vaultrun"), 8, password);
    EXPECT_EQ(std::string(vaultrun_test_connection(cfg.c_str())).rfind("{\"ok\":true", 0), 0u);
    const bytes seen = tap.seen();
    EXPECT_GT(seen.size(), 500u);  // the whole exchange passed the tap
    EXPECT_FALSE(contains(seen, masked));
    EXPECT_FALSE(contains(seen, utf16le(password)));
    EXPECT_FALSE(contains(seen, bytes(password.begin(), password.end())));
  }
  // The tap does see a login in clear text: the masked form crosses it.
  TlsSim s({"--login", "sa:" + password});
  REQUIRE_TLS_SIM(s);
  Tap tap(s.sim->port());
  std::string cfg = config(tap.port(), "false", s.pem);
  cfg.replace(cfg.find("vaultrun"), 8, password);
  EXPECT_EQ(std::string(vaultrun_test_connection(cfg.c_str())).rfind("{\"ok\":true", 0), 0u);
  EXPECT_TRUE(contains(tap.seen(), masked));
}

}  // namespace
