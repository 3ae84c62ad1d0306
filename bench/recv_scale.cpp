// How the receive path grows with the answer: tds_recv against a loopback
// peer that sends answers of 64 KiB to 64 MiB (packets of 4096 bytes, as a
// server with the default packet size sends them). For each size it records
// the response buffer's capacity afterwards (rcap) and the time to take the
// whole answer in, both on a fresh connection record (the buffer grows from
// nothing) and on one that has held the answer before, next to the floor:
// plain large reads of the same bytes into a buffer sized beforehand.
//
//   recv_scale OUT.tsv
//
// Columns: payload bytes, rcap, median ns fresh, median ns warm, median ns
// floor, repetitions.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "tds_client/tds_client.h"
#include "tds_frames.h"
#include "wire_io.h"

namespace {

using bench::bytes;

const uint64_t KIB = 1024, MIB = 1024 * 1024;
const uint64_t SIZES[] = {64 * KIB, 100 * KIB, 256 * KIB, 1 * MIB, 4 * MIB,
                          16 * MIB, 40 * MIB,  64 * MIB};
constexpr size_t NSIZES = sizeof SIZES / sizeof SIZES[0];
// tds_recv stops at TDS_RESULT_CAP by default; these answers go beyond it
// on purpose, so every receive names room for the largest.
const uint64_t RECV_CAP = SIZES[NSIZES - 1];

// Answers one request byte (the size's index) with that size's answer.
void peer(int lfd, const std::vector<bytes>* wires) {
  const int fd = accept(lfd, nullptr, nullptr);
  uint8_t k;
  while (bench::recv_exact(fd, &k, 1) && k < wires->size())
    if (!bench::send_all(fd, (*wires)[k].data(), (*wires)[k].size())) break;
  close(fd);
}

int64_t median(std::vector<int64_t> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: recv_scale OUT.tsv\n");
    return 1;
  }
  std::vector<bytes> wires;
  for (uint64_t s : SIZES) wires.push_back(bench::packetise(bench::build_sized_response(s)));

  int port = 0;
  const int lfd = bench::listen_loopback(&port);
  if (lfd < 0) return 1;
  std::thread t(peer, lfd, &wires);
  const int fd = bench::connect_loopback(port);
  if (fd < 0) return 1;
  // Room for a whole answer in the socket buffers is not the point here;
  // both contenders read through the same defaults.

  FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) return 1;
  bytes floor_buf(wires.back().size());
  for (size_t k = 0; k < NSIZES; ++k) {
    const int reps = static_cast<int>(std::clamp<uint64_t>(512 * MIB / SIZES[k] / 8, 5, 200));
    std::vector<int64_t> fresh, warm, flo;
    tds_conn c{};
    c.sock = static_cast<plat_socket>(fd);
    uint64_t rcap = 0;
    const uint8_t cmd = static_cast<uint8_t>(k);
    for (int r = 0; r < reps; ++r) {
      // Fresh: the record's buffer starts empty and grows as packets arrive.
      std::free(c.rbuf);
      c.rbuf = nullptr;
      c.rcap = 0;
      int64_t t0 = bench::now_ns();
      if (!bench::send_all(fd, &cmd, 1) || tds_recv(&c, RECV_CAP) != 0) return 1;
      fresh.push_back(bench::now_ns() - t0);
      if (c.rlen != SIZES[k]) {
        std::fprintf(stderr, "recv_scale: got %llu of %llu bytes\n",
                     static_cast<unsigned long long>(c.rlen), static_cast<unsigned long long>(SIZES[k]));
        return 1;
      }
      rcap = c.rcap;

      // Warm: the buffer already holds a whole answer's room.
      t0 = bench::now_ns();
      if (!bench::send_all(fd, &cmd, 1) || tds_recv(&c, RECV_CAP) != 0) return 1;
      warm.push_back(bench::now_ns() - t0);

      // Floor: the same bytes with large reads into a ready buffer.
      t0 = bench::now_ns();
      if (!bench::send_all(fd, &cmd, 1)) return 1;
      uint64_t got = 0;
      while (got < wires[k].size()) {
        const ssize_t n = recv(fd, floor_buf.data() + got, floor_buf.size() - got, 0);
        if (n <= 0) return 1;
        got += static_cast<uint64_t>(n);
      }
      flo.push_back(bench::now_ns() - t0);
    }
    std::free(c.rbuf);
    std::fprintf(out, "%llu\t%llu\t%lld\t%lld\t%lld\t%d\n", static_cast<unsigned long long>(SIZES[k]),
                 static_cast<unsigned long long>(rcap), static_cast<long long>(median(fresh)),
                 static_cast<long long>(median(warm)), static_cast<long long>(median(flo)), reps);
    std::fprintf(stderr, "recv_scale: %llu bytes done\n", static_cast<unsigned long long>(SIZES[k]));
  }
  std::fclose(out);
  const uint8_t stop = 0xFF;
  bench::send_all(fd, &stop, 1);
  close(fd);
  t.join();
  close(lfd);
  return 0;
}
