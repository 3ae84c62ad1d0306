// The connection test and the database listing end to end against the
// simulated server: every answer byte for byte, and what they leave in
// vaultrun_last_error.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <regex>
#include <ctime>
#include <vector>
#include <string>
#include <thread>

#include "script_peer.h"
#include "sim_process.h"
#include "strict_json.h"
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

// "details" lists every state with what a whole-server run decides by;
// "include_system" adds master, model and msdb, never tempdb. The finish
// times are the seeded history's, in UTC.
TEST(ListDatabases, DetailsAndSystemDatabases) {
  TempDir dir;
  std::string cfg_path = dir.file("sim.json");
  std::ofstream(cfg_path) << R"({"databases":[
    {"name":"prim","size_mb":10,"recovery":"FULL","ag_role":"primary","full_age_s":3600,"log_age_s":60},
    {"name":"sec","size_mb":10,"recovery":"FULL","ag_role":"secondary","preferred_replica":false},
    {"name":"ro","size_mb":1,"recovery":"SIMPLE","read_only":true,"differential_age_s":7200},
    {"name":"rest","size_mb":2,"recovery":"FULL","state":"restoring"},
    {"name":"gone","size_mb":5,"recovery":"FULL","state":"offline"}]})";
  SimProcess sim({"--config", cfg_path});
  ASSERT_TRUE(sim.ok()) << sim.error();
  const auto now = std::chrono::system_clock::now();

  std::string details = vaultrun_list_databases(config(sim.port(), ",\"details\":true").c_str());
  // Each time in its place, then checked against the seeded age.
  const std::regex time_re("\"(20[0-9]{2}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\\.[0-9]{3})?)Z\"");
  std::vector<int64_t> ages;
  for (std::sregex_iterator it(details.begin(), details.end(), time_re), end; it != end; ++it) {
    std::tm tm{};
    ASSERT_NE(strptime((*it)[1].str().c_str(), "%Y-%m-%dT%H:%M:%S", &tm), nullptr);
    ages.push_back(std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count() - timegm(&tm));
  }
  const std::string shape = std::regex_replace(details, time_re, "T");
  const std::string rest = ",\"read_only\":false,\"ag_role\":null,\"preferred_replica\":true";
  EXPECT_EQ(shape,
            "{\"ok\":true,\"databases\":["
            "{\"name\":\"gone\",\"size_mb\":5,\"recovery\":\"FULL\",\"state\":\"OFFLINE\"" + rest +
                ",\"last_full\":null,\"last_differential\":null,\"last_log\":null},"
            "{\"name\":\"prim\",\"size_mb\":10,\"recovery\":\"FULL\",\"state\":\"ONLINE\",\"read_only\":false,"
            "\"ag_role\":\"primary\",\"preferred_replica\":true,\"last_full\":T,\"last_differential\":null,"
            "\"last_log\":T},"
            "{\"name\":\"rest\",\"size_mb\":2,\"recovery\":\"FULL\",\"state\":\"RESTORING\"" + rest +
                ",\"last_full\":null,\"last_differential\":null,\"last_log\":null},"
            "{\"name\":\"ro\",\"size_mb\":1,\"recovery\":\"SIMPLE\",\"state\":\"ONLINE\",\"read_only\":true,"
            "\"ag_role\":null,\"preferred_replica\":true,\"last_full\":null,\"last_differential\":T,\"last_log\":null},"
            "{\"name\":\"sec\",\"size_mb\":10,\"recovery\":\"FULL\",\"state\":\"ONLINE\",\"read_only\":false,"
            "\"ag_role\":\"secondary\",\"preferred_replica\":false,\"last_full\":null,\"last_differential\":null,"
            "\"last_log\":null}]}");
  ASSERT_EQ(ages.size(), 3u);
  const int64_t seeded[] = {3600, 60, 7200};
  for (int k = 0; k < 3; ++k) {
    EXPECT_GE(ages[k], seeded[k] - 1) << k;
    EXPECT_LE(ages[k], seeded[k] + 30) << k;
  }

  // System databases alone: online ones, the first three columns as today.
  std::string system = vaultrun_list_databases(config(sim.port(), ",\"include_system\":true").c_str());
  EXPECT_EQ(system,
            "{\"ok\":true,\"databases\":["
            "{\"name\":\"master\",\"size_mb\":6,\"recovery\":\"SIMPLE\"},"
            "{\"name\":\"model\",\"size_mb\":16,\"recovery\":\"FULL\"},"
            "{\"name\":\"msdb\",\"size_mb\":24,\"recovery\":\"SIMPLE\"},"
            "{\"name\":\"prim\",\"size_mb\":10,\"recovery\":\"FULL\"},"
            "{\"name\":\"ro\",\"size_mb\":1,\"recovery\":\"SIMPLE\"},"
            "{\"name\":\"sec\",\"size_mb\":10,\"recovery\":\"FULL\"}]}");
  std::string both =
      vaultrun_list_databases(config(sim.port(), ",\"details\":true,\"include_system\":true").c_str());
  EXPECT_NE(both.find("{\"name\":\"master\",\"size_mb\":6,\"recovery\":\"SIMPLE\",\"state\":\"ONLINE\""),
            std::string::npos);
  EXPECT_NE(both.find("\"name\":\"gone\""), std::string::npos);
  EXPECT_EQ(both.find("tempdb"), std::string::npos);
  EXPECT_EQ(strict_json_problem(both), "") << both;
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

// Columns of the kinds given, 't' nvarchar and 'n' int, and rows of them;
// a null value is NULL.
bytes typed_colmeta(const char* kinds) {
  bytes b = {0x81, static_cast<uint8_t>(std::strlen(kinds)), 0};
  for (const char* k = kinds; *k != 0; ++k) {
    bytes col = *k == 'n' ? bytes{0, 0, 0, 0, 1, 0, 0x26, 0x04}
                          : bytes{0, 0, 0, 0, 1, 0, 0xE7, 0x00, 0x01, 0x09, 0x04, 0xD0, 0x00, 0x34};
    col.push_back(0);  // no name
    b.insert(b.end(), col.begin(), col.end());
  }
  return b;
}

bytes typed_row(const char* kinds, std::initializer_list<const char*> values) {
  bytes b = {0xD1};
  const char* k = kinds;
  for (const char* v : values) {
    if (*k++ == 'n') {
      if (v == nullptr) {
        b.push_back(0);
        continue;
      }
      const uint32_t n = static_cast<uint32_t>(std::atoi(v));
      b.insert(b.end(), {4, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)});
      continue;
    }
    if (v == nullptr) {
      b.insert(b.end(), {0xFF, 0xFF});
      continue;
    }
    bytes u = ::utf16le(v);
    b.push_back(static_cast<uint8_t>(u.size()));
    b.push_back(static_cast<uint8_t>(u.size() >> 8));
    b.insert(b.end(), u.begin(), u.end());
  }
  return b;
}

const char DETAIL_KINDS[] = "tnttntnttt";

// The cells are read by position: an answer whose columns are not the ones
// the statement asked for fails, rather than reading empty or foreign text
// (every database "not the preferred replica", a whole-server run that
// skips them all and exits 0). The text in the size column would also have
// reached the answer unquoted.
TEST(ListDatabases, AnswerOfAnotherShapeFails) {
  const std::string head = "{\"ok\":false,\"error\":\"unexpected answer to the listing: ";
  struct {
    const char* what;
    bool details;
    bytes answer;
    std::string expected;
  } cases[] = {
      {"text in the size column", false,
       ::cat({nvarchar_colmeta({"name", "size", "recovery"}), nvarchar_row({"b", "1,\"evil\":true", "FULL"}),
              ::tds_done_token(0x10, 1)}),
       head + "column 2 is not an integer\"}"},
      {"three columns for the details", true,
       ::cat({typed_colmeta("tnt"), typed_row("tnt", {"c", "2", "SIMPLE"}), ::tds_done_token(0x10, 1)}),
       head + "3 columns where 10 were asked for\"}"},
      {"a flag as text", true,
       ::cat({typed_colmeta("tnttttnttt"),
              typed_row("tnttttnttt", {"c", "2", "FULL", "ONLINE", "0", "primary", "1", nullptr, nullptr, nullptr}),
              ::tds_done_token(0x10, 1)}),
       head + "column 5 is not an integer\"}"},
      {"two columns", false,
       ::cat({nvarchar_colmeta({"name", "size"}), nvarchar_row({"a", "12"}), ::tds_done_token(0x10, 1)}),
       head + "2 columns where 3 were asked for\"}"},
      {"eleven columns", true,
       ::cat({typed_colmeta("tnttntntttt"),
              typed_row("tnttntntttt", {"c", "2", "FULL", "ONLINE", "0", "primary", "1", nullptr, nullptr, nullptr, "x"}),
              ::tds_done_token(0x10, 1)}),
       head + "11 columns where 10 were asked for\"}"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    ::ScriptPeer peer;
    peer.accept_login().read_message().send(::tds_message(0x04, c.answer));
    peer.start();
    std::string cfg = "{\"port\":" + std::to_string(peer.port()) + ",\"user\":\"sa\"" +
                      (c.details ? ",\"details\":true}" : "}");
    EXPECT_EQ(std::string(vaultrun_list_databases(cfg.c_str())), c.expected);
    EXPECT_TRUE(peer.wait_done()) << peer.failure();
  }
}

// A detailed listing from a server whose detail cells are not what the
// statement makes: texts are escaped, flags are true only for 1, a time of
// another shape reads as none, and an unknown preferred replica reads as
// preferred (so that a run tries the backup rather than skipping every
// database). The answer stays one valid document.
TEST(ListDatabases, DetailCellsOfAnotherShape) {
  ::ScriptPeer peer;
  bytes answer = ::cat({typed_colmeta(DETAIL_KINDS),
                        typed_row(DETAIL_KINDS, {"a", "1", "FULL", "ON\"LINE", "5", "pri\nmary", "2",
                                                 "2026-12-10T01:00:00Z", "yesterday", "2026-12-10T01:00:00.1234567"}),
                        typed_row(DETAIL_KINDS, {"b", "1", "FULL", "ONLINE", "1", "secondary", "1", "2026-12-10T01:00:00",
                                                 "2026-12-10T01:00:00.12345678", "2026-12-1OT01:00:00"}),
                        typed_row(DETAIL_KINDS, {"c", "2", "SIMPLE", nullptr, nullptr, nullptr, nullptr, nullptr,
                                                 nullptr, nullptr}),
                        ::tds_done_token(0x10, 3)});
  peer.accept_login().read_message().send(::tds_message(0x04, answer));
  peer.start();
  std::string cfg = "{\"port\":" + std::to_string(peer.port()) + ",\"user\":\"sa\",\"details\":true}";
  std::string got = vaultrun_list_databases(cfg.c_str());
  EXPECT_EQ(got,
            "{\"ok\":true,\"databases\":["
            "{\"name\":\"a\",\"size_mb\":1,\"recovery\":\"FULL\",\"state\":\"ON\\\"LINE\",\"read_only\":false,"
            "\"ag_role\":\"pri\\nmary\",\"preferred_replica\":false,\"last_full\":null,\"last_differential\":null,"
            "\"last_log\":\"2026-12-10T01:00:00.1234567Z\"},"
            "{\"name\":\"b\",\"size_mb\":1,\"recovery\":\"FULL\",\"state\":\"ONLINE\",\"read_only\":true,"
            "\"ag_role\":\"secondary\",\"preferred_replica\":true,\"last_full\":\"2026-12-10T01:00:00Z\","
            "\"last_differential\":null,\"last_log\":null},"
            "{\"name\":\"c\",\"size_mb\":2,\"recovery\":\"SIMPLE\",\"state\":\"\","
            "\"read_only\":false,\"ag_role\":null,\"preferred_replica\":true,\"last_full\":null,"
            "\"last_differential\":null,\"last_log\":null}]}");
  EXPECT_EQ(strict_json_problem(got), "");
  EXPECT_TRUE(peer.wait_done()) << peer.failure();
}

// The first listing leaves three columns in the library's row buffer; a
// second server whose answer holds a narrower result set before the
// listing's must not show the first one's cells in the narrower rows.
TEST(ListDatabases, EachListingStartsFromCleanRows) {
  SimProcess first({"--empty-catalog", "--database", "alpha:77:FULL", "--database", "beta:5:SIMPLE"});
  ASSERT_TRUE(first.ok()) << first.error();
  std::string cfg = "{\"port\":" + std::to_string(first.port()) + ",\"user\":\"sa\",\"password\":\"vaultrun\"}";
  EXPECT_STREQ(vaultrun_list_databases(cfg.c_str()),
               "{\"ok\":true,\"databases\":[{\"name\":\"alpha\",\"size_mb\":77,\"recovery\":\"FULL\"},"
               "{\"name\":\"beta\",\"size_mb\":5,\"recovery\":\"SIMPLE\"}]}");

  struct {
    const char* name;
    bytes answer;
    const char* listing;
  } cases[] = {
      {"one column",
       ::cat({nvarchar_colmeta({"name"}), nvarchar_row({"c"}), ::tds_done_token(0x10, 1)}),
       "{\"ok\":false,\"error\":\"unexpected answer to the listing: 1 columns where 3 were asked for\"}"},
      // The first result set carries one column, the second three: the
      // first set's rows still have nothing in the later columns.
      {"a narrower result set first",
       ::cat({nvarchar_colmeta({"name"}), nvarchar_row({"d"}), ::tds_done_token(0x11, 1),
              typed_colmeta("tnt"), typed_row("tnt", {"e", "9", "FULL"}),
              ::tds_done_token(0x10, 1)}),
       "{\"ok\":true,\"databases\":[{\"name\":\"d\",\"size_mb\":0,\"recovery\":\"\"},"
       "{\"name\":\"e\",\"size_mb\":9,\"recovery\":\"FULL\"}]}"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    vaultrun_list_databases(cfg.c_str());  // the first server's rows again
    ::ScriptPeer peer;
    peer.accept_login().read_message().send(::tds_message(0x04, c.answer));
    peer.start();
    std::string second = "{\"port\":" + std::to_string(peer.port()) + ",\"user\":\"sa\"}";
    EXPECT_STREQ(vaultrun_list_databases(second.c_str()), c.listing);
    EXPECT_TRUE(peer.wait_done()) << peer.failure();
  }
}

// Whether marker lies in the stack below the caller's frame, where the
// frames of the call it made just before lay. Reads memory that no live
// object owns, which is the point: that is what an attacker who can read
// the process would see.
__attribute__((noinline)) bool left_on_stack(const char* marker) {
  char frame[1 << 20];
  // Hidden from the compiler, so the reads are made as written.
  const volatile char* probe = frame;
  asm volatile("" : "+r"(probe));
  const size_t n = std::strlen(marker);
  for (size_t i = 0; i + n <= sizeof frame; ++i) {
    size_t k = 0;
    while (k < n && probe[i + k] == marker[k]) ++k;
    if (k == n) return true;
  }
  return false;
}

TEST(HostCalls, PasswordDoesNotOutliveTheCall) {
  SimProcess sim({"--login", "sa:Pw-3e9c1f-stack-probe", "--backup-ms", "100"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  const char* password = "Pw-3e9c1f-stack-probe";
  const std::string cfg = "{\"port\":" + std::to_string(sim.port()) + ",\"user\":\"sa\",\"password\":\"" +
                          password + "\",\"database\":\"hr\",\"out_path\":\"/nonexistent-dir/x.bak\"}";
  ASSERT_FALSE(left_on_stack(password));

  EXPECT_EQ(std::string(vaultrun_test_connection(cfg.c_str())).rfind("{\"ok\":true", 0), 0u);
  EXPECT_FALSE(left_on_stack(password)) << "after the connection test";
  EXPECT_EQ(std::string(vaultrun_list_databases(cfg.c_str())).rfind("{\"ok\":true", 0), 0u);
  EXPECT_FALSE(left_on_stack(password)) << "after the listing";
  const std::string no_user = "{\"password\":\"" + std::string(password) + "\"}";
  vaultrun_test_connection(no_user.c_str());
  EXPECT_FALSE(left_on_stack(password)) << "after a refused test";
  int32_t idx = vaultrun_start(cfg.c_str());
  EXPECT_FALSE(left_on_stack(password)) << "after a start";
  ASSERT_GE(idx, 0);
  vaultrun_free(idx);
  EXPECT_EQ(vaultrun_start(no_user.c_str()), -1);
  EXPECT_FALSE(left_on_stack(password)) << "after a refused start";
}

// ---- Every answer is one strict JSON document ----------------------------------

// An ERROR or INFO token whose text is given as raw UTF-16LE units, so that
// it can hold what no UTF-8 text can (lone surrogates).
bytes raw_msg_token(uint8_t token, int32_t number, uint8_t cls, const std::vector<uint16_t>& units) {
  bytes body = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number >> 16),
                static_cast<uint8_t>(number >> 24), 1, cls, static_cast<uint8_t>(units.size()),
                static_cast<uint8_t>(units.size() >> 8)};
  for (uint16_t u : units) body.insert(body.end(), {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8)});
  body.insert(body.end(), {0, 0, 1, 0, 0, 0});  // no server or procedure name, line 1
  bytes t = {token, static_cast<uint8_t>(body.size()), static_cast<uint8_t>(body.size() >> 8)};
  t.insert(t.end(), body.begin(), body.end());
  return t;
}

// Texts that a host or a server may send: JSON-level fragments for the
// configuration (escapes included), and raw UTF-8 for the simulated server.
const std::vector<std::string> CONFIG_PIECES = {
    "a", "\\\"", "\\\\", "\\t", "\\n", "\\/", "\t", "\x01", "\x1f", "\x7f", "\xC3\xA9", "\xE2\x82\xAC",
    "\xF0\x9F\x98\x80", "]", "'", "}", "\xC1", "\xC3", "\xED\xA0\x80", "\x80", "\xFF"};
const std::vector<std::string> SERVER_TEXTS = {
    "plain", std::string(300, '"'), "back\\slash", "tab\there\nline", "\x01\x02\x1f", "\xF0\x9F\x98\x80\xE2\x82\xAC",
    "\"}],\"injected\":true,{\""};

// The first 16 pieces are well-formed UTF-8 once unescaped, the rest not.
std::string draw_value(std::mt19937& rng, size_t max_pieces, bool well_formed) {
  std::string v;
  const size_t last = well_formed ? 15 : CONFIG_PIECES.size() - 1;
  const size_t n = std::uniform_int_distribution<size_t>(1, max_pieces)(rng);
  for (size_t i = 0; i < n; ++i) v += CONFIG_PIECES[std::uniform_int_distribution<size_t>(0, last)(rng)];
  return v;
}

// Members of a configuration, each with a leading comma, for with_port.
// Most are usable, so that the calls often reach the server's answers.
std::string draw_members(std::mt19937& rng) {
  auto one_in = [&](int n) { return std::uniform_int_distribution<int>(1, n)(rng) == 1; };
  auto text = [&](size_t max_pieces) { return draw_value(rng, max_pieces, !one_in(6)); };
  std::string m;
  // A host is either the loopback address or a value that must be refused:
  // nothing here may reach a name resolver.
  if (one_in(3)) m += ",\"host\":\"" + (one_in(4) ? "\xC1" + text(4) : std::string("127.0.0.1")) + "\"";
  if (!one_in(10)) m += ",\"user\":\"" + (one_in(8) ? text(40) : std::string("sa")) + "\"";
  if (!one_in(10)) m += ",\"password\":\"" + (one_in(8) ? text(90) : std::string("vaultrun")) + "\"";
  if (!one_in(8)) m += ",\"database\":\"" + text(one_in(3) ? 200 : 10) + "\"";
  if (!one_in(8)) m += ",\"out_path\":\"" + text(one_in(3) ? 500 : 10) + "\"";
  if (one_in(2)) m += ",\"verify\":false";
  return m;
}

std::string with_port(int port, const std::string& members) {
  return "{\"port\":" + std::to_string(port) + members + "}";
}

void expect_document(const char* what, const char* answer) {
  ASSERT_NE(answer, nullptr) << what;
  EXPECT_EQ(strict_json_problem(answer), "") << what << ": " << answer;
}

// A peer that logs in, reports progress with a text that holds a lone
// surrogate and then fails the backup with another.
void hostile_backup_peer(ScriptPeer& peer) {
  bytes progress = cat({raw_msg_token(0xAB, 3211, 0, {'5', '0', ' ', 0xD800, '"', 0xDC00}),
                        tds_done_token(0x01)});
  bytes failure = cat({raw_msg_token(0xAA, 3013, 16, {'n', 'o', 0xDBFF, '\\', 0xDFFF, 0xD83D}),
                       tds_done_token(0x02)});
  peer.accept_login().read_message().send(tds_message(0x04, cat({progress, failure})));
  peer.start();
}

TEST(Answers, EveryExportAnswersOneStrictJsonDocument) {
  std::vector<std::string> args = {"--empty-catalog", "--version", SERVER_TEXTS[1], "--edition", SERVER_TEXTS[6]};
  for (size_t i = 0; i < SERVER_TEXTS.size(); ++i)
    if (SERVER_TEXTS[i].find(':') == std::string::npos && SERVER_TEXTS[i].size() < 120)
      args.insert(args.end(), {"--database", SERVER_TEXTS[i] + std::to_string(i) + ":" + std::to_string(i) + ":FULL"});
  SimProcess sim(args);
  ASSERT_TRUE(sim.ok()) << sim.error();
  const int dead = closed_port();
  std::mt19937 rng(424242);
  int listed = 0, started = 0;
  for (int i = 0; i < 120; ++i) {
    SCOPED_TRACE(i);
    const std::string members = draw_members(rng);
    const std::string cfg = with_port(i % 3 == 0 ? dead : sim.port(), members);
    expect_document("test", vaultrun_test_connection(cfg.c_str()));
    EXPECT_TRUE(utf8_well_formed_text(vaultrun_last_error()));
    const char* listing = vaultrun_list_databases(cfg.c_str());
    expect_document("listing", listing);
    listed += std::strncmp(listing, "{\"ok\":true", 10) == 0;
    EXPECT_TRUE(utf8_well_formed_text(vaultrun_last_error()));

    ScriptPeer peer;
    hostile_backup_peer(peer);
    int32_t idx = vaultrun_start(with_port(peer.port(), members).c_str());
    EXPECT_TRUE(utf8_well_formed_text(vaultrun_last_error()));
    if (idx < 0) continue;
    ++started;
    expect_document("progress", vaultrun_progress(idx));
    auto t0 = Clock::now();
    while (vaultrun_status(idx) != VAULTRUN_SESSION_DONE && vaultrun_status(idx) != VAULTRUN_SESSION_FAILED &&
           ms_since(t0) < 5000)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    expect_document("progress", vaultrun_progress(idx));
    expect_document("result", vaultrun_result(idx));
    vaultrun_free(idx);
  }
  // The generator reaches the server's answers often enough to mean something.
  EXPECT_GE(listed, 10);
  EXPECT_GE(started, 10);
}

}  // namespace
