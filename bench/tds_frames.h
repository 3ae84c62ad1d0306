// Builders for server answers used as benchmark input: token streams of a
// given shape (column metadata, rows, DONE) and their packetised form, so
// the in-memory decoder runs, the replay peer and the receive measurements
// all work on the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using bytes = std::vector<uint8_t>;

// Result-set shapes.
enum class shape {
  mixed,    // INTN(4), DECIMALN(18,2), FLTN(8), NVARCHAR(64), VARCHAR(64)
  text,     // INTN(4), NVARCHAR(4000) of mixed scripts, VARCHAR(8000)
  listing,  // NVARCHAR(128) name, INTN(4) size, NVARCHAR(60) recovery model
};

const char* shape_name(shape s);

// The token stream (a response payload) of `rows` rows of the shape:
// COLMETADATA, one ROW token per row, DONE with the row count.
bytes build_response(shape s, uint64_t rows);

// A payload of exactly `len` bytes that decodes as one NVARCHAR column
// whose values fill it (rows of up to 8000 bytes, padding inside the last
// row's text), then DONE. len must be at least 64.
bytes build_sized_response(uint64_t len);

// Splits a payload into packets of at most `packet` bytes (header included),
// type 0x04 (tabular result), the last one marked end of message.
bytes packetise(const bytes& payload, uint64_t packet = 4096);

// Strips packet headers: the payload of one whole message.
bytes unpacketise(const bytes& wire);

}  // namespace bench
