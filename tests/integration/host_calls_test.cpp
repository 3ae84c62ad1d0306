// The connection test and the database listing end to end against the
// simulated server: every answer byte for byte, and what they leave in
// vaultrun_last_error.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "script_peer.h"
#include "sim_process.h"
#include "vaultrun.h"

namespace {

using vaultrun_test::SimProcess;
using vaultrun_test::TempDir;
using Clock = std::chrono::steady_clock;

std::string config(int port, const std::string& extra = "", const std::string& password = "vaultrun") {
  return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) + ",\"user\":\"sa\",\"password\":\"" +
         password + "\"" + extra + "}";
}

// Leaves a known text in vaultrun_last_error, so a test can see that a call
// did not change it.
void mark_last_error() {
  vaultrun_test_connection("[]");
  ASSERT_STREQ(vaultrun_last_error(), "invalid config json");
}

int64_t ms_since(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

TEST(TestConnection, ReportsVersionAndEdition) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  mark_last_error();
  EXPECT_STREQ(vaultrun_test_connection(config(sim.port()).c_str()),
               "{\"ok\":true,\"server_version\":\"16.0.4135.4 Developer Edition (64-bit)\"}");
  EXPECT_STREQ(vaultrun_last_error(), "invalid config json");  // a success never clears it
}

TEST(TestConnection, VersionTextIsEscapedAndCut) {
  SimProcess quoted({"--version", "16.0 \"beta\"", "--edition", "Ed\\ition"});
  ASSERT_TRUE(quoted.ok()) << quoted.error();
  EXPECT_STREQ(vaultrun_test_connection(config(quoted.port()).c_str()),
               "{\"ok\":true,\"server_version\":\"16.0 \\\"beta\\\" Ed\\\\ition\"}");

  // The statement casts each half to 64 characters; 129 characters of
  // quotes escape to more than the 256-byte escape buffer holds, which cuts
  // at a whole escape once fewer than 7 bytes of room remain.
  SimProcess quotes({"--version", std::string(64, '"'), "--edition", std::string(64, '"')});
  ASSERT_TRUE(quotes.ok()) << quotes.error();
  std::string escaped;
  for (int i = 0; i < 64; ++i) escaped += "\\\"";
  escaped += " ";
  for (int i = 0; i < 61; ++i) escaped += "\\\"";
  EXPECT_EQ(std::string(vaultrun_test_connection(config(quotes.port()).c_str())),
            "{\"ok\":true,\"server_version\":\"" + escaped + "\"}");
}

TEST(TestConnection, QueryFailureAfterLoginStillCountsAsSuccess) {
  // The connection breaks in the middle of the version query's answer.
  SimProcess sim({"--fault-on", "batch", "--close-after", "20"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  mark_last_error();
  EXPECT_STREQ(vaultrun_test_connection(config(sim.port()).c_str()),
               "{\"ok\":true,\"server_version\":\"unknown\"}");
  EXPECT_STREQ(vaultrun_last_error(), "invalid config json");
}

TEST(HostCalls, LoginFailuresGoToTheAnswerAndLastError) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  struct {
    const char* name;
    std::string cfg;
    const char* reason;
  } cases[] = {
      {"wrong password", config(sim.port(), "", "nope"), "Login failed for user 'sa'."},
      {"refused port", config(1), "connect failed"},
      {"unresolvable", "{\"host\":\"no-such-host.invalid\",\"user\":\"sa\"}", "cannot resolve host"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string expected = std::string("{\"ok\":false,\"error\":\"") + c.reason + "\"}";
    EXPECT_EQ(vaultrun_test_connection(c.cfg.c_str()), expected);
    EXPECT_STREQ(vaultrun_last_error(), c.reason);
    mark_last_error();
    EXPECT_EQ(vaultrun_list_databases(c.cfg.c_str()), expected);
    EXPECT_STREQ(vaultrun_last_error(), c.reason);
  }
}

TEST(HostCalls, ServerThatRequiresEncryptionIsRefused) {
  SimProcess sim({"--encryption", "req"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  const char* reason = "server requires encryption (TLS) - not supported; disable Force Encryption";
  EXPECT_EQ(std::string(vaultrun_test_connection(config(sim.port()).c_str())),
            std::string("{\"ok\":false,\"error\":\"") + reason + "\"}");
  EXPECT_STREQ(vaultrun_last_error(), reason);
}

TEST(ListDatabases, OnlineUserDatabasesInNameOrderWithEscapes) {
  TempDir dir;
  std::string cfg_path = dir.file("sim.json");
  std::ofstream(cfg_path) << R"({"databases":[
    {"name":"zeta","size_mb":10,"recovery":"FULL"},
    {"name":"a\"quote","size_mb":1,"recovery":"SIMPLE"},
    {"name":"back\\slash]","size_mb":2048,"recovery":"BULK_LOGGED"},
    {"name":"gone","size_mb":5,"recovery":"FULL","state":"offline"}]})";
  SimProcess sim({"--config", cfg_path});
  ASSERT_TRUE(sim.ok()) << sim.error();
  mark_last_error();
  const char* first = vaultrun_list_databases(config(sim.port()).c_str());
  EXPECT_STREQ(first,
               "{\"ok\":true,\"databases\":["
               "{\"name\":\"a\\\"quote\",\"size_mb\":1,\"recovery\":\"SIMPLE\"},"
               "{\"name\":\"back\\\\slash]\",\"size_mb\":2048,\"recovery\":\"BULK_LOGGED\"},"
               "{\"name\":\"zeta\",\"size_mb\":10,\"recovery\":\"FULL\"}]}");
  EXPECT_STREQ(vaultrun_last_error(), "invalid config json");
  // The answer lives in one library buffer: the next call replaces it.
  const char* second = vaultrun_test_connection(config(sim.port()).c_str());
  EXPECT_EQ(first, second);
  EXPECT_EQ(std::string(first).rfind("{\"ok\":true,\"server_version\"", 0), 0u);
}

TEST(ListDatabases, EmptyCatalog) {
  SimProcess sim({"--empty-catalog"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  EXPECT_STREQ(vaultrun_list_databases(config(sim.port()).c_str()), "{\"ok\":true,\"databases\":[]}");
}

TEST(ListDatabases, MoreThan256GiveTheFirst256ByName) {
  SimProcess sim({"--empty-catalog", "--databases", "300"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  std::string answer = vaultrun_list_databases(config(sim.port()).c_str());
  size_t items = 0;
  for (size_t at = answer.find("{\"name\""); at != std::string::npos; at = answer.find("{\"name\"", at + 1))
    ++items;
  EXPECT_EQ(items, 256u);
  EXPECT_NE(answer.find("\"db0256\""), std::string::npos);
  EXPECT_EQ(answer.find("\"db0257\""), std::string::npos);
  EXPECT_EQ(answer.substr(answer.size() - 2), "]}");
}

TEST(ListDatabases, StatementFailureAfterLoginLeavesLastErrorAlone) {
  SimProcess sim({"--fault-on", "batch", "--close-after", "30"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  mark_last_error();
  EXPECT_STREQ(vaultrun_list_databases(config(sim.port()).c_str()),
               "{\"ok\":false,\"error\":\"socket read failed\"}");
  EXPECT_STREQ(vaultrun_last_error(), "invalid config json");
}

TEST(Timeouts, SilentServerIsBoundedOnlyWhenAsked) {
  SimProcess at_login({"--silent", "--fault-on", "prelogin"});
  ASSERT_TRUE(at_login.ok()) << at_login.error();
  auto t0 = Clock::now();
  EXPECT_STREQ(vaultrun_test_connection(config(at_login.port(), ",\"connect_timeout_ms\":300").c_str()),
               "{\"ok\":false,\"error\":\"login timed out\"}");
  EXPECT_STREQ(vaultrun_last_error(), "login timed out");
  EXPECT_LT(ms_since(t0), 2000);

  SimProcess at_query({"--silent", "--fault-on", "batch"});
  ASSERT_TRUE(at_query.ok()) << at_query.error();
  mark_last_error();
  t0 = Clock::now();
  EXPECT_STREQ(vaultrun_list_databases(config(at_query.port(), ",\"query_timeout_ms\":300").c_str()),
               "{\"ok\":false,\"error\":\"query timed out\"}");
  EXPECT_GE(ms_since(t0), 250);
  EXPECT_LT(ms_since(t0), 2000);
  EXPECT_STREQ(vaultrun_last_error(), "invalid config json");
  // A connection test whose query times out still logged in.
  EXPECT_STREQ(vaultrun_test_connection(config(at_query.port(), ",\"query_timeout_ms\":300").c_str()),
               "{\"ok\":true,\"server_version\":\"unknown\"}");
}

TEST(HostCalls, LibraryStaysUsableAfterBrokenAnswers) {
  SimProcess bad({"--fault-on", "batch", "--bad-length"});
  ASSERT_TRUE(bad.ok()) << bad.error();
  EXPECT_STREQ(vaultrun_list_databases(config(bad.port()).c_str()),
               "{\"ok\":false,\"error\":\"bad packet length\"}");
  SimProcess tiny({"--split", "9"});
  ASSERT_TRUE(tiny.ok()) << tiny.error();
  EXPECT_STREQ(vaultrun_test_connection(config(tiny.port()).c_str()),
               "{\"ok\":true,\"server_version\":\"16.0.4135.4 Developer Edition (64-bit)\"}");
  std::string listing = vaultrun_list_databases(config(tiny.port()).c_str());
  EXPECT_NE(listing.find("{\"name\":\"hr\",\"size_mb\":16,\"recovery\":\"BULK_LOGGED\"}"), std::string::npos);
}

}  // namespace

// A server that answers the listing with text in the size column: the text
// must not reach the answer unquoted.
namespace {


bytes nvarchar_colmeta(std::initializer_list<const char*> names) {
  bytes b = {0x81, static_cast<uint8_t>(names.size()), 0};
  for (const char* n : names) {
    bytes col = {0, 0, 0, 0, 0, 0, 0xE7, 0x00, 0x01, 0x09, 0x04, 0xD0, 0x00, 0x34};
    std::string name(n);
    col.push_back(static_cast<uint8_t>(name.size()));
    bytes u = ::utf16le(name);
    col.insert(col.end(), u.begin(), u.end());
    b.insert(b.end(), col.begin(), col.end());
  }
  return b;
}

bytes nvarchar_row(std::initializer_list<const char*> values) {
  bytes b = {0xD1};
  for (const char* v : values) {
    bytes u = ::utf16le(v);
    b.push_back(static_cast<uint8_t>(u.size()));
    b.push_back(static_cast<uint8_t>(u.size() >> 8));
    b.insert(b.end(), u.begin(), u.end());
  }
  return b;
}

TEST(ListDatabases, SizeThatIsNoNumberIsWrittenAsZero) {
  ::ScriptPeer peer;
  bytes answer = ::cat({nvarchar_colmeta({"name", "size", "recovery"}),
                                     nvarchar_row({"a", "12", "FULL"}),
                                     nvarchar_row({"b", "1,\"evil\":true", "FULL"}),
                                     nvarchar_row({"c", "-1.5e+3", "SIMPLE"}),
                                     ::tds_done_token(0x10, 3)});
  peer.accept_login().read_message().send(::tds_message(0x04, answer));
  peer.start();
  std::string cfg = "{\"port\":" + std::to_string(peer.port()) + ",\"user\":\"sa\"}";
  EXPECT_STREQ(vaultrun_list_databases(cfg.c_str()),
               "{\"ok\":true,\"databases\":["
               "{\"name\":\"a\",\"size_mb\":12,\"recovery\":\"FULL\"},"
               "{\"name\":\"b\",\"size_mb\":0,\"recovery\":\"FULL\"},"
               "{\"name\":\"c\",\"size_mb\":-1.5e+3,\"recovery\":\"SIMPLE\"}]}");
  EXPECT_TRUE(peer.wait_done()) << peer.failure();
}

}  // namespace
