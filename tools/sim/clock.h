// The server's local wall-clock time as the history and the backup headers
// keep it, and the texts a client writes for a point in time.
#pragma once

#include <string>

#include "wire.h"

namespace sim {

// Now, in the server's local time, rounded down to a datetime tick.
Stamp now_stamp();

// Moves the server's clock forward by seconds (for histories of days in a
// test that lasts seconds); now_stamp() counts from then on.
void advance_clock(int64_t seconds);

// "YYYY-MM-DDTHH:MM:SS" (or a space for the T) with up to 7 fraction
// digits, as CONVERT(datetime2, text, 126) reads it. False when the text is
// not such a time.
bool parse_stamp(const std::string& text, Stamp& out);

}  // namespace sim
