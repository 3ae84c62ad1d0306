// The client's side of a statement for the benchmark programs that talk
// below tds_exec: the SQL batch payload word for word as the library sends
// it, and the row count a whole answer ends with.
#pragma once

#include <cstdint>
#include <vector>

namespace bench {

// ALL_HEADERS (transaction descriptor 0, one outstanding request), then the
// statement as UCS-2 through the library's converter.
std::vector<uint8_t> batch_payload(const char* sql);

// The row count of the DONE that ends an answer's payload; 0 when the
// payload does not end with a DONE.
uint64_t final_done_rows(const uint8_t* payload, uint64_t len);

}  // namespace bench
