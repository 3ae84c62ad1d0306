// Runs one background session of the library to its end, for the tests
// that only need its outcome.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace vaultrun_test {

// Starts a session with the configuration text, waits (up to 20 s) until it
// is done or failed, releases it and returns its result document, checked
// to be one strict JSON text; "not started: <last error>" when the start
// was refused.
std::string run_session(const std::string& config);

// Waits (up to bound) until the started session idx is done or failed,
// releases it and returns its result document, checked to be one strict
// JSON text.
std::string finish_session(int32_t idx, std::chrono::milliseconds bound = std::chrono::seconds(20));

}  // namespace vaultrun_test
