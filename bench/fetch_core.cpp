// The library's own fetch path on one logged-in connection: tds_exec sends
// the statement, collects the whole answer and renders every value of every
// row as text (rows beyond the caller's capacity go through the scratch
// row, decoded in full).
//
//   fetch_core PORT N SQL
//
// Prints one line per statement: nanoseconds, then the rows decoded.
#include <cstdio>
#include <cstdlib>

#include "bench_sql.h"
#include "tds_client/tds_client.h"
#include "wire_io.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: fetch_core PORT N SQL\n");
    return 1;
  }
  const int port = std::atoi(argv[1]);
  const int n = std::atoi(argv[2]);
  const char* sql = argv[3];

  tds_conn c;
  if (tds_connect(&c, BENCH_HOST, port, BENCH_USER, BENCH_PASSWORD, nullptr) != 0) {
    std::fprintf(stderr, "fetch_core: %s\n", c.err);
    return 1;
  }
  static tds_meta meta;
  for (int i = 0; i < n; ++i) {
    const int64_t t0 = bench::now_ns();
    const int r = tds_exec(&c, sql, &meta, nullptr, 0);
    const int64_t t1 = bench::now_ns();
    if (r < 0) {
      std::fprintf(stderr, "fetch_core: %s\n", c.err);
      return 1;
    }
    // The row count, for the report: the DONE token at the end carries it.
    uint64_t rows = 0;
    if (c.rlen >= 13 && c.rbuf[c.rlen - 13] == 0xFD)
      for (int k = 7; k >= 0; --k) rows = (rows << 8) | c.rbuf[c.rlen - 8 + k];
    std::printf("%lld %llu\n", static_cast<long long>(t1 - t0), static_cast<unsigned long long>(rows));
  }
  tds_close(&c);
  return 0;
}
