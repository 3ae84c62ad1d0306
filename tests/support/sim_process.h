// Runs the simulated server (vaultrun-sim) as a child process for a test.
//
//   SimProcess sim({"--backup-ms", "200"});
//   ASSERT_TRUE(sim.ok()) << sim.error();
//   ... connect to 127.0.0.1:sim.port() ...
//
// The server listens on a free loopback port (--port 0 and --quiet are
// always added; a --port of the test's own wins) and is stopped when the object goes away: SIGTERM, then SIGKILL if
// it has not ended within a few seconds. Its standard error (only problems,
// with --quiet) goes to the test's. The server is also told to end when the
// thread that started it ends, so start it from the test's own thread.
//
//   TempDir dir;                 // a fresh directory, removed with its files
//   std::string path = dir.file("hr.bak");
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vaultrun_test {

// Path of the vaultrun-sim binary this build made.
const char* sim_binary();

class SimProcess {
 public:
  // Starts the server with these extra arguments (see vaultrun-sim --help)
  // and waits up to 10 s for the port line. ok() tells whether it worked.
  explicit SimProcess(const std::vector<std::string>& args = {});
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& error() const { return error_; }

  // Stops the server (SIGTERM, then SIGKILL after the bound) and returns its
  // exit status as waitpid reports it, or -1 when it was not running.
  // Called by the destructor; harmless to call twice.
  int stop(int bound_ms = 5000);

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int port_ = 0;
  std::string error_;
};

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name; the file is not created.
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The lines of a text file (for the server's --log), without line ends;
// empty when the file cannot be read.
std::vector<std::string> read_lines(const std::string& path);

}  // namespace vaultrun_test
