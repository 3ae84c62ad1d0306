// A loopback server for fetch measurements on result sets the simulated
// server does not serve. It answers PRELOGIN and LOGIN7 with the simulated
// server's own answers (captured by ops_floor), a batch naming bench_mixed
// or bench_text with the built result set (the same bytes the in-memory
// decoder measurements use), and any other batch with a bare DONE, which
// covers the SET statements some clients send after logging in.
//
//   replay_peer CAPTURE_DIR MIXED_ROWS TEXT_ROWS
//
// Prints the chosen port as its first line, then serves until killed.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tds_frames.h"
#include "wire.h"
#include "wire_io.h"

namespace {

using bench::bytes;

using sim::PKT_ATTENTION;
using sim::PKT_LOGIN7;
using sim::PKT_PRELOGIN;
using sim::PKT_SQL_BATCH;

struct answers {
  bytes prelogin, login, mixed, text, done, attention_ack;
};

bytes read_file(const std::string& path) {
  bytes out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return out;
}

bytes done_payload(uint16_t status) {
  sim::Tokens t;
  t.done(status, sim::CMD_NONE, 0);
  return t.b.out;
}

// The batch's SQL text in lower case (ASCII letters), after ALL_HEADERS.
std::string batch_text(const bytes& wire) {
  const bytes payload = bench::unpacketise(wire);
  size_t pos = 0;
  if (payload.size() >= 4) {
    const uint32_t headers = payload[0] | (payload[1] << 8) | (payload[2] << 16) |
                             (static_cast<uint32_t>(payload[3]) << 24);
    if (headers <= payload.size()) pos = headers;
  }
  std::string s = sim::utf8_from_utf16le(payload.data() + pos, payload.size() - pos);
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

void serve(int fd, const answers* a) {
  bytes wire;
  uint8_t type = 0;
  while (bench::recv_message(fd, wire, &type)) {
    const bytes* reply = &a->done;
    if (type == PKT_PRELOGIN) {
      reply = &a->prelogin;
    } else if (type == PKT_LOGIN7) {
      reply = &a->login;
    } else if (type == PKT_ATTENTION) {
      reply = &a->attention_ack;
    } else if (type == PKT_SQL_BATCH) {
      const std::string sql = batch_text(wire);
      if (sql.find("bench_mixed") != std::string::npos) reply = &a->mixed;
      else if (sql.find("bench_text") != std::string::npos) reply = &a->text;
    }
    if (!bench::send_all(fd, reply->data(), reply->size())) break;
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: replay_peer CAPTURE_DIR MIXED_ROWS TEXT_ROWS\n");
    return 1;
  }
  const std::string dir = argv[1];
  static answers a;
  a.prelogin = read_file(dir + "/prelogin.bin");
  a.login = read_file(dir + "/login.bin");
  if (a.prelogin.empty() || a.login.empty()) {
    std::fprintf(stderr, "replay_peer: no captured login answers in %s\n", dir.c_str());
    return 1;
  }
  a.mixed = bench::packetise(bench::build_response(bench::shape::mixed, std::atoll(argv[2])));
  a.text = bench::packetise(bench::build_response(bench::shape::text, std::atoll(argv[3])));
  a.done = bench::packetise(done_payload(0));
  a.attention_ack = bench::packetise(done_payload(sim::DONE_ATTN));

  int port = 0;
  const int lfd = bench::listen_loopback(&port);
  if (lfd < 0) {
    std::fprintf(stderr, "replay_peer: cannot listen\n");
    return 1;
  }
  std::printf("%d\n", port);
  std::fflush(stdout);
  for (;;) {
    const int fd = accept(lfd, nullptr, nullptr);
    if (fd < 0) continue;
    std::thread(serve, fd, &a).detach();
  }
}
