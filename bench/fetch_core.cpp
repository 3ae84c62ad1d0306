// The library's own fetch path on one logged-in connection: tds_exec sends
// the statement and walks the answer as it arrives, rendering every value of
// every row as text in its scratch row. No rows or metadata are kept, so the
// answer is not bounded by TDS_RESULT_CAP (the large result sets exceed it).
//
//   fetch_core PORT N SQL
//
// Prints one line per statement: nanoseconds, then the rows decoded.
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bench_sql.h"
#include "requests.h"
#include "tds_client/tds_client.h"
#include "wire_io.h"

namespace {

// The row count, for the report, from one untimed run that holds the whole
// answer: tds_exec consumes its answer as it arrives, and the final DONE
// carries the count. 0 when the run failed.
uint64_t count_rows(tds_conn* c, const char* sql) {
  const std::vector<uint8_t> payload = bench::batch_payload(sql);
  if (tds_send(c, TDS_PKT_SQL_BATCH, payload.data(), payload.size()) != 0) return 0;
  if (tds_recv(c, UINT64_MAX) != 0) return 0;
  return bench::final_done_rows(c->rbuf, c->rlen);
}

}  // namespace

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
  const uint64_t rows = count_rows(&c, sql);
  if (rows == 0) {
    std::fprintf(stderr, "fetch_core: no row count: %s\n", c.err);
    return 1;
  }
  for (int i = 0; i < n; ++i) {
    const int64_t t0 = bench::now_ns();
    const int r = tds_exec(&c, sql, nullptr, nullptr, 0);
    const int64_t t1 = bench::now_ns();
    if (r < 0) {
      std::fprintf(stderr, "fetch_core: %s\n", c.err);
      return 1;
    }
    std::printf("%lld %llu\n", static_cast<long long>(t1 - t0), static_cast<unsigned long long>(rows));
  }
  tds_close(&c);
  return 0;
}
