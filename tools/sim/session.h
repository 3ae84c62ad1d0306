// One client connection from PRELOGIN to close: the login, the SQL batches
// and their answers, backups streamed as they progress, verification and
// attention handling.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "config.h"
#include "tls.h"

namespace sim {

// The --log file: one line per SQL batch (its text exactly, with CR and LF
// written as \r and \n), "ATTENTION" per attention and a line on each TLS
// handshake ("TLS established: TLSv1.3" or why it failed), shared by all
// connections.
class StatementLog {
 public:
  explicit StatementLog(const std::string& path);
  ~StatementLog();
  StatementLog(const StatementLog&) = delete;
  StatementLog& operator=(const StatementLog&) = delete;

  bool ok() const { return path_.empty() || file_ != nullptr; }
  void batch(const std::string& text);
  void attention();
  void line(const std::string& text);

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  std::mutex mu_;
};

// Serves one accepted connection until the client leaves, the connection
// fails or the server stops. Takes ownership of fd. tls: the server's TLS
// context, null when it has none.
void serve_connection(int fd, const Config& cfg, uint16_t spid, const std::atomic<bool>& stopping,
                      StatementLog& log, const TlsContext* tls);

}  // namespace sim
