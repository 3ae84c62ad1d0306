#include "requests.h"

#include <cstring>

#include "tds_client/tds_client.h"

namespace bench {

std::vector<uint8_t> batch_payload(const char* sql) {
  const uint64_t cap = 4 * std::strlen(sql);
  std::vector<uint8_t> payload(TDS_ALL_HEADERS_LEN + cap);
  const uint8_t all_headers[TDS_ALL_HEADERS_LEN] = {0x16, 0, 0, 0, 0x12, 0, 0, 0, 0x02, 0, 0,
                                                    0,    0, 0, 0, 0,    0, 0, 1, 0,    0, 0};
  std::memcpy(payload.data(), all_headers, sizeof all_headers);
  const uint64_t n = utf8_to_ucs2(sql, payload.data() + TDS_ALL_HEADERS_LEN, cap);
  payload.resize(TDS_ALL_HEADERS_LEN + n);
  return payload;
}

uint64_t final_done_rows(const uint8_t* payload, uint64_t len) {
  constexpr uint64_t DONE_LEN = 13;  // token, status, command, 8-byte count
  if (len < DONE_LEN || payload[len - DONE_LEN] != 0xFD) return 0;
  uint64_t rows = 0;
  for (int k = 7; k >= 0; --k) rows = (rows << 8) | payload[len - 8 + k];
  return rows;
}

}  // namespace bench
