#include "session_run.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "strict_json.h"
#include "vaultrun.h"

namespace vaultrun_test {

std::string run_session(const std::string& config) {
  const int32_t idx = vaultrun_start(config.c_str());
  if (idx < 0) return std::string("not started: ") + vaultrun_last_error();
  return finish_session(idx);
}

std::string finish_session(int32_t idx, std::chrono::milliseconds bound) {
  const auto t0 = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - t0 < bound) {
    const int32_t st = vaultrun_status(idx);
    if (st == VAULTRUN_SESSION_DONE || st == VAULTRUN_SESSION_FAILED) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::string result = vaultrun_result(idx);
  EXPECT_EQ(strict_json_problem(result), "") << result;
  vaultrun_free(idx);
  return result;
}

}  // namespace vaultrun_test
