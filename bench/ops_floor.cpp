// The floor: a client that sends the library's request bytes (built once
// with the library's own builders) and reads every answer whole by its
// packet headers, without looking inside. Nothing a real client must do can
// be cheaper than this over the same socket.
//
//   ops_floor PORT test N          N x (connect, PRELOGIN, LOGIN7, version query, close)
//   ops_floor PORT list N          the same with the database listing
//   ops_floor PORT fetch N SQL     one login, then N x the statement
//   ops_floor PORT capture DIR     writes the server's answers (wire form) to DIR
//
// Prints one line per operation: nanoseconds, then bytes received.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_sql.h"
#include "requests.h"
#include "tds_client/tds_client.h"
#include "wire.h"
#include "wire_io.h"

namespace {

using bench::now_ns;

constexpr uint64_t HEADER_LEN = sim::PACKET_HEADER_LEN;

// Packets exactly as the library frames them: at most TDS_MAX_PAYLOAD
// payload bytes, SPID, packet id and window 0.
std::vector<uint8_t> frame(uint8_t type, const uint8_t* payload, uint64_t len) {
  return sim::frame_message(type, std::vector<uint8_t>(payload, payload + len),
                            TDS_MAX_PAYLOAD + HEADER_LEN, 0);
}

std::vector<uint8_t> batch(const char* sql) {
  const std::vector<uint8_t> payload = bench::batch_payload(sql);
  return frame(TDS_PKT_SQL_BATCH, payload.data(), payload.size());
}

struct requests {
  std::vector<uint8_t> prelogin, login, statement;
};

requests build(const char* sql) {
  requests r;
  r.prelogin = frame(TDS_PKT_PRELOGIN, TDS_PRELOGIN_PAYLOAD, TDS_PRELOGIN_LEN);
  uint8_t login[TDS_LOGIN7_MAX];
  const uint64_t n = tds_build_login7(BENCH_HOST, BENCH_USER, BENCH_PASSWORD, nullptr, login,
                                      sizeof login);
  r.login = frame(TDS_PKT_LOGIN7, login, n);
  if (sql != nullptr) r.statement = batch(sql);
  return r;
}

// Reads one whole answer: big reads, packet headers followed across read
// boundaries, done at the end-of-message packet. Returns the bytes read, or
// -1 when the stream ends first.
int64_t read_answer(int fd, uint8_t* buf, uint64_t cap) {
  int64_t total = 0;
  uint8_t hdr[HEADER_LEN];
  uint64_t hdr_have = 0, body_left = 0;
  bool eom = false;
  for (;;) {
    const ssize_t n = recv(fd, buf, cap, 0);
    if (n <= 0) return -1;
    total += n;
    uint64_t p = 0;
    while (p < static_cast<uint64_t>(n)) {
      if (body_left > 0) {
        const uint64_t take = std::min<uint64_t>(body_left, n - p);
        p += take;
        body_left -= take;
      } else {
        const uint64_t take = std::min<uint64_t>(HEADER_LEN - hdr_have, n - p);
        std::memcpy(hdr + hdr_have, buf + p, take);
        hdr_have += take;
        p += take;
        if (hdr_have < HEADER_LEN) continue;
        hdr_have = 0;
        const uint64_t plen = (static_cast<uint64_t>(hdr[2]) << 8) | hdr[3];
        if (plen < HEADER_LEN) return -1;
        body_left = plen - HEADER_LEN;
        eom = (hdr[1] & 1) != 0;
      }
      if (body_left == 0 && hdr_have == 0 && eom) return total;
    }
  }
}

bool exchange(int fd, const std::vector<uint8_t>& req, std::vector<uint8_t>& buf, int64_t* got) {
  if (!bench::send_all(fd, req.data(), req.size())) return false;
  const int64_t n = read_answer(fd, buf.data(), buf.size());
  if (n < 0) return false;
  *got += n;
  return true;
}

int fail(const char* what) {
  std::fprintf(stderr, "ops_floor: %s\n", what);
  return 1;
}

int capture(int port, const char* dir) {
  const requests r = build(nullptr);
  struct step {
    const char* file;
    std::vector<uint8_t> req;
  };
  const step steps[] = {{"prelogin.bin", r.prelogin},
                        {"login.bin", r.login},
                        {"version.bin", batch(BENCH_VERSION_SQL)},
                        {"listing.bin", batch(BENCH_LISTING_SQL)}};
  const int fd = bench::connect_loopback(port);
  if (fd < 0) return fail("cannot connect");
  std::vector<uint8_t> wire;
  for (const step& s : steps) {
    uint8_t type;
    if (!bench::send_all(fd, s.req.data(), s.req.size()) || !bench::recv_message(fd, wire, &type))
      return fail("exchange failed");
    const std::string path = std::string(dir) + "/" + s.file;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(wire.data(), 1, wire.size(), f) != wire.size()) return fail("cannot write");
    std::fclose(f);
  }
  close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return fail("usage: ops_floor PORT test|list|fetch|capture N|DIR [SQL]");
  const int port = std::atoi(argv[1]);
  const std::string mode = argv[2];
  if (mode == "capture") return capture(port, argv[3]);
  const int n = std::atoi(argv[3]);

  std::vector<uint8_t> buf(1 << 20);
  if (mode == "test" || mode == "list") {
    const requests r = build(mode == "test" ? BENCH_VERSION_SQL : BENCH_LISTING_SQL);
    for (int i = 0; i < n; ++i) {
      int64_t got = 0;
      const int64_t t0 = now_ns();
      const int fd = bench::connect_loopback(port);
      if (fd < 0) return fail("cannot connect");
      if (!exchange(fd, r.prelogin, buf, &got) || !exchange(fd, r.login, buf, &got) ||
          !exchange(fd, r.statement, buf, &got))
        return fail("exchange failed");
      close(fd);
      const int64_t t1 = now_ns();
      std::printf("%lld %lld\n", static_cast<long long>(t1 - t0), static_cast<long long>(got));
    }
    return 0;
  }
  if (mode == "fetch" && argc >= 5) {
    const requests r = build(argv[4]);
    const int fd = bench::connect_loopback(port);
    int64_t got = 0;
    if (fd < 0) return fail("cannot connect");
    if (!exchange(fd, r.prelogin, buf, &got) || !exchange(fd, r.login, buf, &got))
      return fail("login exchange failed");
    for (int i = 0; i < n; ++i) {
      got = 0;
      const int64_t t0 = now_ns();
      if (!exchange(fd, r.statement, buf, &got)) return fail("exchange failed");
      const int64_t t1 = now_ns();
      std::printf("%lld %lld\n", static_cast<long long>(t1 - t0), static_cast<long long>(got));
    }
    close(fd);
    return 0;
  }
  return fail("unknown mode");
}
