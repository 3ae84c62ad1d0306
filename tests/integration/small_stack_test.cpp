// Every export called from a host thread with a small stack: 128 KiB, what
// some systems give a new thread. A buffer of the library's on the caller's
// stack that does not fit shows as a crash here (sooner under ASan, whose
// frames are larger).
#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "sim_process.h"
#include "vaultrun.h"

namespace {

using vaultrun_test::SimProcess;
using vaultrun_test::TempDir;

// 128 KiB; VAULTRUN_TEST_STACK_KIB sets another size, to measure what the
// library needs.
size_t small_stack() {
  const char* kib = std::getenv("VAULTRUN_TEST_STACK_KIB");
  return (kib != nullptr ? std::strtoul(kib, nullptr, 10) : 128) * 1024;
}

// Runs fn on a new thread with a stack of small_stack() bytes and waits for it.
void on_small_stack(const std::function<void()>& fn) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, small_stack()), 0);
  pthread_t t;
  auto call = [](void* p) -> void* {
    (*static_cast<const std::function<void()>*>(p))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&t, &attr, call, const_cast<std::function<void()>*>(&fn)), 0);
  pthread_attr_destroy(&attr);
  pthread_join(t, nullptr);
}

std::string config(int port, const std::string& extra = "") {
  return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) +
         ",\"user\":\"sa\",\"password\":\"vaultrun\",\"connect_timeout_ms\":5000,"
         "\"query_timeout_ms\":5000" + extra + "}";
}

// A port with nothing listening: one just freed by a server that stopped.
int closed_port() {
  SimProcess gone;
  const int port = gone.port();
  gone.stop();
  return port;
}

TEST(SmallStack, SynchronousCallsAndTheirFailures) {
  SimProcess sim({"--databases", "256", "--empty-catalog"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  SimProcess tls({"--encryption", "req"});
  ASSERT_TRUE(tls.ok()) << tls.error();
  const int nobody = closed_port();

  struct {
    const char* name;  // for the reader: what each call tries
    std::string answer;
  } got[6];
  on_small_stack([&] {
    got[0] = {"test", vaultrun_test_connection(config(sim.port()).c_str())};
    got[1] = {"listing", vaultrun_list_databases(config(sim.port()).c_str())};
    got[2] = {"nothing listening", vaultrun_test_connection(config(nobody).c_str())};
    got[3] = {"refused login",
              vaultrun_list_databases(("{\"port\":" + std::to_string(sim.port()) +
                                       ",\"user\":\"sa\",\"password\":\"wrong\"}").c_str())};
    got[4] = {"encrypted test",
              vaultrun_test_connection(
                  config(tls.port(), ",\"encrypt\":true,\"trust_server_certificate\":true").c_str())};
    got[5] = {"encrypted listing",
              vaultrun_list_databases(
                  config(tls.port(), ",\"encrypt\":true,\"trust_server_certificate\":true").c_str())};
  });
  EXPECT_EQ(got[0].answer.rfind("{\"ok\":true,\"server_version\":", 0), 0u) << got[0].answer;
  // 256 databases, each one object.
  size_t rows = 0;
  for (size_t at = got[1].answer.find("{\"name\""); at != std::string::npos;
       at = got[1].answer.find("{\"name\"", at + 1))
    ++rows;
  EXPECT_EQ(rows, 256u) << got[1].answer.substr(0, 200);
  EXPECT_EQ(got[2].answer, "{\"ok\":false,\"error\":\"connect failed\"}");
  EXPECT_EQ(got[3].answer.rfind("{\"ok\":false,\"error\":\"Login failed", 0), 0u) << got[3].answer;
  EXPECT_EQ(got[4].answer.rfind("{\"ok\":true,\"server_version\":", 0), 0u) << got[4].answer;
  EXPECT_EQ(got[5].answer.rfind("{\"ok\":true,\"databases\":[", 0), 0u) << got[5].answer;
}

TEST(SmallStack, SessionCalls) {
  SimProcess sim({"--backup-ms", "300"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  TempDir dir;
  std::string result, bad_start;
  on_small_stack([&] {
    const int32_t s = vaultrun_start(
        config(sim.port(), ",\"database\":\"hr\",\"out_path\":\"" + dir.file("hr.bak") + "\"").c_str());
    if (s < 0) return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (vaultrun_status(s) != VAULTRUN_SESSION_DONE && vaultrun_status(s) != VAULTRUN_SESSION_FAILED &&
           std::chrono::steady_clock::now() < until) {
      (void)vaultrun_progress(s);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    result = vaultrun_result(s);
    vaultrun_free(s);
    bad_start = std::to_string(vaultrun_start("{\"user\":\"sa\",\"port\":\"x\""));
    bad_start += vaultrun_last_error();
  });
  EXPECT_EQ(result.rfind("{\"ok\":true,", 0), 0u) << result;
  EXPECT_NE(result.find("\"verified\":true"), std::string::npos) << result;
  EXPECT_EQ(bad_start, "-1invalid config json");
}

}  // namespace
