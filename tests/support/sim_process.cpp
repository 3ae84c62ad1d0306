#include "sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace vaultrun_test {

const char* sim_binary() {
#ifdef VAULTRUN_SIM_PATH
  return VAULTRUN_SIM_PATH;
#else
  return "vaultrun-sim";
#endif
}

SimProcess::SimProcess(const std::vector<std::string>& args) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  // A --port among the test's arguments comes later and wins.
  std::vector<std::string> argv_s = {sim_binary(), "--port", "0"};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  argv_s.push_back("--quiet");
  std::vector<char*> argv;
  for (std::string& s : argv_s) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) {
    error_ = std::string("fork: ") + std::strerror(errno);
    ::close(out[0]);
    ::close(out[1]);
    return;
  }
  if (pid_ == 0) {
    // A test that crashes must not leave servers behind.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(out[1], STDOUT_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  out_fd_ = out[0];

  // The first line of its output is the port.
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      error_ = "vaultrun-sim printed no port within 10 s";
      break;
    }
    pollfd p{out_fd_, POLLIN, 0};
    if (::poll(&p, 1, int(left.count())) <= 0) continue;
    char buf[64];
    ssize_t n = ::read(out_fd_, buf, sizeof buf);
    if (n <= 0) {
      error_ = "vaultrun-sim ended before printing its port (see its standard error)";
      break;
    }
    line.append(buf, size_t(n));
  }
  if (error_.empty()) {
    port_ = std::atoi(line.c_str());
    if (port_ <= 0) error_ = "vaultrun-sim printed no port: " + line;
  }
  if (!error_.empty()) {
    port_ = 0;
    stop();
  }
}

SimProcess::~SimProcess() { stop(); }

int SimProcess::stop(int bound_ms) {
  int status = -1;
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(bound_ms);
    for (;;) {
      pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || (r < 0 && errno != EINTR)) break;
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
  }
  if (out_fd_ >= 0) {
    ::close(out_fd_);
    out_fd_ = -1;
  }
  return status;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vaultrun-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data())) path_ = buf.data();
}

TempDir::~TempDir() {
  if (!path_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
}

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace vaultrun_test
