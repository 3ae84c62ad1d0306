// A host name with several addresses, against the simulated server and
// scripted peers on loopback addresses that share one port: the walk
// passes over addresses that refuse or close before answering, stops at the
// first server that answers, names the last address when all fail, races
// them with multi_subnet_failover, and can be cancelled while it waits.
//
// Names ending in ".walk.test" resolve to lists the tests choose: this
// program's getaddrinfo answers them from a table and hands every other
// name to the system's, so no hosts file is touched.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <netdb.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "script_peer.h"
#include "sim_process.h"
#include "strict_json.h"
#include "vaultrun.h"

namespace {

std::mutex g_names_mu;
std::map<std::string, std::vector<std::string>> g_names;  // name -> numeric addresses
std::set<addrinfo*> g_made;                               // lists answered from the table

bool table_name(const char* node) {
  const size_t n = node != nullptr ? std::strlen(node) : 0;
  return n > 10 && std::strcmp(node + n - 10, ".walk.test") == 0;
}

using getaddrinfo_fn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
using freeaddrinfo_fn = void (*)(addrinfo*);

getaddrinfo_fn real_getaddrinfo() {
  static auto fn = reinterpret_cast<getaddrinfo_fn>(dlsym(RTLD_NEXT, "getaddrinfo"));
  return fn;
}

freeaddrinfo_fn real_freeaddrinfo() {
  static auto fn = reinterpret_cast<freeaddrinfo_fn>(dlsym(RTLD_NEXT, "freeaddrinfo"));
  return fn;
}

}  // namespace

// A table name is no numeric address; otherwise its list is made of one
// system answer for each address, chained in the table's order.
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  if (!table_name(node)) return real_getaddrinfo()(node, service, hints, res);
  if (hints != nullptr && (hints->ai_flags & AI_NUMERICHOST) != 0) return EAI_NONAME;
  std::vector<std::string> addrs;
  {
    std::lock_guard<std::mutex> lock(g_names_mu);
    auto it = g_names.find(node);
    if (it == g_names.end()) return EAI_NONAME;
    addrs = it->second;
  }
  addrinfo* head = nullptr;
  addrinfo** tail = &head;
  for (const std::string& a : addrs) {
    addrinfo h{};
    h.ai_socktype = SOCK_STREAM;
    h.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* one = nullptr;
    if (real_getaddrinfo()(a.c_str(), service, &h, &one) != 0) continue;
    if (one->ai_next != nullptr) {
      real_freeaddrinfo()(one->ai_next);
      one->ai_next = nullptr;
    }
    *tail = one;
    tail = &one->ai_next;
  }
  if (head == nullptr) return EAI_NONAME;
  std::lock_guard<std::mutex> lock(g_names_mu);
  g_made.insert(head);
  *res = head;
  return 0;
}

extern "C" void freeaddrinfo(addrinfo* list) {
  bool made;
  {
    std::lock_guard<std::mutex> lock(g_names_mu);
    made = g_made.erase(list) != 0;
  }
  if (!made) return real_freeaddrinfo()(list);
  while (list != nullptr) {
    addrinfo* next = list->ai_next;
    list->ai_next = nullptr;
    real_freeaddrinfo()(list);
    list = next;
  }
}

namespace {

using vaultrun_test::SimProcess;
using Clock = std::chrono::steady_clock;

// Puts a name in the table for the test's lifetime.
struct Name {
  std::string name;
  Name(const std::string& n, std::vector<std::string> addrs) : name(n + ".walk.test") {
    std::lock_guard<std::mutex> lock(g_names_mu);
    g_names[name] = std::move(addrs);
  }
  ~Name() {
    std::lock_guard<std::mutex> lock(g_names_mu);
    g_names.erase(name);
  }
};

std::string config(const std::string& host, int port, const std::string& extra = "",
                   const std::string& password = "vaultrun") {
  return "{\"host\":\"" + host + "\",\"port\":" + std::to_string(port) +
         ",\"user\":\"sa\",\"password\":\"" + password + "\"" + extra + "}";
}

const std::string CONNECTED = "{\"ok\":true,\"server_version\":\"16.0.4135.4 Developer Edition (64-bit)\"}";

std::string failed(const std::string& text) { return "{\"ok\":false,\"error\":\"" + text + "\"}"; }

int64_t ms_since(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::string port_text(int port) { return std::to_string(port); }

// Addresses that refuse (nothing listens there) or accept and hang up
// before the PRELOGIN answer are passed over, with a bound and without.
TEST(Addresses, DeadAndClosingAddressesBeforeALiveOne) {
  ScriptPeer closer;  // 127.0.0.1: reads the PRELOGIN, closes
  closer.read_message().close();
  closer.start();
  const int port = closer.port();
  SimProcess sim({"--listen", "127.0.0.3", "--port", port_text(port)});
  ASSERT_TRUE(sim.ok()) << sim.error();
  Name n("mixed", {"127.0.0.2", "127.0.0.1", "127.0.0.3"});
  EXPECT_EQ(vaultrun_test_connection(config(n.name, port, ",\"connect_timeout_ms\":5000").c_str()), CONNECTED);
  EXPECT_TRUE(closer.wait_done());
  EXPECT_EQ(closer.reads().size(), 1u);

  Name refused("refused", {"127.0.0.2", "127.0.0.3"});
  EXPECT_EQ(vaultrun_test_connection(config(refused.name, port).c_str()), CONNECTED);  // no bound
}

TEST(Addresses, IPv6LiteralsAndNames) {
  SimProcess sim({"--listen", "::1"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  for (const char* host : {"::1", "[::1]"}) {
    SCOPED_TRACE(host);
    EXPECT_EQ(vaultrun_test_connection(config(host, sim.port()).c_str()), CONNECTED);
  }
  Name n("six", {"::1"});
  EXPECT_EQ(vaultrun_test_connection(config(n.name, sim.port()).c_str()), CONNECTED);

  // The simulator on both families at once, on one port.
  SimProcess both({"--listen", "127.0.0.1,::1"});
  ASSERT_TRUE(both.ok()) << both.error();
  Name dual("dual", {"127.0.0.2", "::1"});
  EXPECT_EQ(vaultrun_test_connection(config(dual.name, both.port()).c_str()), CONNECTED);
  EXPECT_EQ(vaultrun_test_connection(config("127.0.0.1", both.port()).c_str()), CONNECTED);
}

TEST(Addresses, AllDeadNamesTheLastAndTheCount) {
  const int port = closed_port();
  Name three("three", {"127.0.0.2", "::1", "127.0.0.3"});
  Name one("one", {"127.0.0.2"});
  const std::string p = port_text(port);
  struct Case {
    const char* what;
    std::string host;
    std::string extra;
    std::string expected;
  } cases[] = {
      {"walked", three.name, "", failed("connect failed at 127.0.0.3:" + p + " (refused; the last of 3 addresses tried)")},
      {"walked with a bound", three.name, ",\"connect_timeout_ms\":3000",
       failed("connect failed at 127.0.0.3:" + p + " (refused; the last of 3 addresses tried)")},
      {"raced", three.name, ",\"multi_subnet_failover\":true",
       failed("connect failed at 127.0.0.3:" + p + " (refused; the last of 3 addresses tried)")},
      // One address keeps the text it always had.
      {"one address", one.name, "", failed("connect failed")},
      {"one address raced", one.name, ",\"multi_subnet_failover\":true", failed("connect failed")},
      {"a literal", "127.0.0.2", "", failed("connect failed")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(vaultrun_test_connection(config(c.host, port, c.extra).c_str()), c.expected);
  }

  // The last address accepts and hangs up before its PRELOGIN answer.
  ScriptPeer closer;  // 127.0.0.1
  closer.read_message().close();
  closer.start();
  Name closing("closing", {"127.0.0.2", "127.0.0.1"});
  const std::string text = vaultrun_test_connection(config(closing.name, closer.port()).c_str());
  EXPECT_NE(text.find(" at 127.0.0.1:" + port_text(closer.port()) +
                      " (closed before the answer; the last of 2 addresses tried)\"}"),
            std::string::npos)
      << text;
}

// A server that answers ends the walk: a wrong password is one failed
// login, never one at each address.
TEST(Addresses, ARefusedLoginEndsTheWalk) {
  ScriptPeer next;  // 127.0.0.1, after the server: must never be reached
  next.start();
  SimProcess sim({"--listen", "127.0.0.2", "--port", port_text(next.port())});
  ASSERT_TRUE(sim.ok()) << sim.error();
  Name n("refusing", {"127.0.0.2", "127.0.0.1"});
  EXPECT_EQ(vaultrun_test_connection(config(n.name, next.port(), "", "wrong").c_str()),
            failed("Login failed for user 'sa'."));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(next.received().empty());

  // So does a server that requires encryption: its text stays as it was.
  ScriptPeer next2;
  next2.start();
  SimProcess req({"--listen", "127.0.0.2", "--port", port_text(next2.port()), "--encryption", "req"});
  ASSERT_TRUE(req.ok()) << req.error();
  Name r("requiring", {"127.0.0.2", "127.0.0.1"});
  EXPECT_EQ(vaultrun_test_connection(config(r.name, next2.port()).c_str()),
            failed("server requires encryption (TLS) - not supported; disable Force Encryption"));
  EXPECT_TRUE(next2.received().empty());
}

// The first address never completes its TCP connection. In turn it takes
// the whole bound; raced, the second answers at once.
TEST(Addresses, ParallelAttemptsWithTheFirstSlow) {
  StalledListener slow;  // 127.0.0.1
  SimProcess sim({"--listen", "127.0.0.2", "--port", port_text(slow.port())});
  ASSERT_TRUE(sim.ok()) << sim.error();
  Name n("slowfirst", {"127.0.0.1", "127.0.0.2"});

  auto t0 = Clock::now();
  EXPECT_EQ(vaultrun_test_connection(
                config(n.name, slow.port(), ",\"connect_timeout_ms\":4000,\"multi_subnet_failover\":true").c_str()),
            CONNECTED);
  EXPECT_LT(ms_since(t0), 2000);

  t0 = Clock::now();
  EXPECT_EQ(vaultrun_test_connection(config(n.name, slow.port(), ",\"connect_timeout_ms\":800").c_str()),
            failed("connect timed out"));
  const int64_t took = ms_since(t0);
  EXPECT_GE(took, 700);
  EXPECT_LT(took, 3000);
}

// A backup session waiting on an address that never answers ends at once
// when cancelled, walking or racing, with no bound set.
TEST(Addresses, CancelDuringTheAttempts) {
  StalledListener slow;
  Name n("stalled", {"127.0.0.1", "127.0.0.1"});
  for (const char* extra : {"", ",\"multi_subnet_failover\":true"}) {
    SCOPED_TRACE(extra);
    const std::string cfg =
        config(n.name, slow.port(), std::string(",\"database\":\"hr\",\"out_path\":\"/x.bak\"") + extra);
    const int32_t idx = vaultrun_start(cfg.c_str());
    ASSERT_GE(idx, 0) << vaultrun_last_error();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(vaultrun_status(idx), VAULTRUN_SESSION_STARTING);
    const auto t0 = Clock::now();
    vaultrun_cancel(idx);
    while (vaultrun_status(idx) == VAULTRUN_SESSION_STARTING && ms_since(t0) < 5000)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_LT(ms_since(t0), 1000);
    const std::string result = vaultrun_result(idx);
    EXPECT_EQ(strict_json_problem(result), "") << result;
    EXPECT_EQ(result, failed("cancelled"));
    vaultrun_free(idx);
  }
}

TEST(Addresses, MultiSubnetFailoverTakesOnlyTheBareWords) {
  EXPECT_EQ(vaultrun_test_connection(config("127.0.0.1", 1, ",\"multi_subnet_failover\":\"true\"").c_str()),
            failed("invalid multi_subnet_failover"));
  EXPECT_EQ(vaultrun_test_connection(config("127.0.0.1", 1, ",\"multi_subnet_failover\":1").c_str()),
            failed("invalid multi_subnet_failover"));
}

}  // namespace
