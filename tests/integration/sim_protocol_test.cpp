// The simulated server seen from raw sockets: the shape of its PRELOGIN and
// login answers, a backup streamed as one message of many packets, the
// attention acknowledgment, and the fault modes that the library's failure
// paths rely on. Independent clients (tests/scripts/sim_*.sh) check the rest.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "raw_tds.h"
#include "script_peer.h"
#include "sim_process.h"
#include "tds_client/tds_client.h"
#include "tds_client/tokens.h"
#include "wire.h"

namespace {

using namespace vaultrun_test;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

std::string backup_sql(const std::string& db, const std::string& path, const std::string& options) {
  return "BACKUP DATABASE " + bracket(db) + " TO DISK = " + quote(path) + " WITH STATS = " + options;
}

std::string verify_sql(const std::string& path) { return "RESTORE VERIFYONLY FROM DISK = " + quote(path); }

size_t files_in(const std::string& dir) {
  size_t n = 0;
  for (auto it = fs::directory_iterator(dir); it != fs::directory_iterator(); ++it) ++n;
  return n;
}

// ---- Tests --------------------------------------------------------------------------

TEST(SimProtocol, PreloginAnswerCarriesTheConfiguredEncryption) {
  const struct { const char* mode; uint8_t value; } cases[] = {
      {"notsup", 2}, {"off", 0}, {"on", 1}, {"req", 3}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.mode);
    SimProcess sim({"--encryption", k.mode});
    ASSERT_TRUE(sim.ok()) << sim.error();
    Client c(sim.port());
    ASSERT_TRUE(c.send(0x12, prelogin_request()));
    std::vector<Packet> pk;
    Bytes r;
    ASSERT_TRUE(c.read_message(r, &pk));
    ASSERT_EQ(pk.size(), 1u);
    EXPECT_EQ(pk[0].type, 0x04);

    // Option table: VERSION, ENCRYPTION, INSTOPT, THREADID, MARS, then 0xFF.
    const uint8_t want_tokens[] = {0x00, 0x01, 0x02, 0x03, 0x04};
    for (size_t k2 = 0; k2 < 5; ++k2) ASSERT_EQ(r[k2 * 5], want_tokens[k2]);
    ASSERT_EQ(r[25], 0xFF);
    auto data = [&](size_t opt) { return size_t((r[opt * 5 + 1] << 8) | r[opt * 5 + 2]); };
    auto len = [&](size_t opt) { return size_t((r[opt * 5 + 3] << 8) | r[opt * 5 + 4]); };
    ASSERT_EQ(len(0), 6u);
    ASSERT_LE(data(4) + len(4), r.size());
    // 16.0.4135.4: major, minor, build big-endian, sub-build.
    EXPECT_EQ(Bytes(r.begin() + long(data(0)), r.begin() + long(data(0) + 6)),
              (Bytes{16, 0, 0x10, 0x27, 0x00, 0x04}));
    ASSERT_EQ(len(1), 1u);
    EXPECT_EQ(r[data(1)], k.value);
  }
}

TEST(SimProtocol, LoginAnswersWithTheTokensOfARealServer) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  Client c(sim.port());
  Bytes r;
  ASSERT_NO_FATAL_FAILURE(login_answer(c, "sa", "vaultrun", r));
  auto ts = tokens(r);

  std::vector<uint8_t> kinds;
  for (const Token& t : ts) kinds.push_back(t.type);
  EXPECT_EQ(kinds, (std::vector<uint8_t>{0xE3, 0xAB, 0xE3, 0xE3, 0xAB, 0xAD, 0xE3, 0xFD}));
  ASSERT_EQ(ts.size(), 8u);
  EXPECT_EQ(ts[0].env, 1);
  EXPECT_EQ(ts[0].text, "master");
  EXPECT_EQ(ts[1].number, 5701);
  EXPECT_EQ(ts[1].text, "Changed database context to 'master'.");
  EXPECT_EQ(ts[3].env, 2);
  EXPECT_EQ(ts[3].text, "us_english");
  EXPECT_EQ(ts[4].number, 5703);
  EXPECT_EQ(ts[4].text, "Changed language setting to us_english.");
  // LOGINACK: interface 1, TDS 7.4, a program name, version 16.0.4135.
  const Bytes& ack = ts[5].body;
  ASSERT_GE(ack.size(), 10u);
  EXPECT_EQ(ack[0], 1);
  EXPECT_EQ(Bytes(ack.begin() + 1, ack.begin() + 5), (Bytes{0x74, 0x00, 0x00, 0x04}));
  ASSERT_EQ(ack.size(), 10u + size_t(ack[5]) * 2);
  EXPECT_EQ(Bytes(ack.end() - 4, ack.end()), (Bytes{16, 0, 0x10, 0x27}));
  EXPECT_EQ(ts[6].env, 4);
  EXPECT_EQ(ts[6].text, "4096");
  EXPECT_EQ(ts[7].status, 0);
}

TEST(SimProtocol, LoginChecksUserAndPassword) {
  SimProcess sim({"--login", "backup_op:S3cret!'x"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  const struct { const char* user; const char* password; bool ok; } cases[] = {
      {"sa", "vaultrun", true},
      {"SA", "vaultrun", true},  // login names ignore case, passwords do not
      {"sa", "VAULTRUN", false},
      {"sa", "", false},
      {"nobody", "vaultrun", false},
      {"backup_op", "S3cret!'x", true},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.user) + "/" + k.password);
    Client c(sim.port());
    Bytes r;
    ASSERT_NO_FATAL_FAILURE(login_answer(c, k.user, k.password, r));
    auto ts = tokens(r);
    if (k.ok) {
      EXPECT_EQ(ts.back().type, 0xFD);
      EXPECT_EQ(ts.back().status, 0);
      continue;
    }
    ASSERT_EQ(ts.size(), 2u);
    EXPECT_EQ(ts[0].type, 0xAA);
    EXPECT_EQ(ts[0].number, 18456);
    EXPECT_EQ(ts[0].cls, 14);
    EXPECT_EQ(ts[0].text, "Login failed for user '" + std::string(k.user) + "'.");
    EXPECT_EQ(ts[1].type, 0xFD);
    EXPECT_EQ(ts[1].status & 0x0002, 0x0002);
    EXPECT_TRUE(c.peer_closed());
  }
}

TEST(SimProtocol, ListingIsNameOrderedOnlineUserDatabasesInTinyPackets) {
  SimProcess sim({"--databases", "300", "--split", "100"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  Client c(sim.port());
  ASSERT_NO_FATAL_FAILURE(login(c));

  auto v = exec(c, "SELECT CAST(SERVERPROPERTY('ProductVersion') AS NVARCHAR(64)) + N' ' + "
                   "CAST(SERVERPROPERTY('Edition') AS NVARCHAR(64))");
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[1].cells, (std::vector<std::string>{"16.0.4135.4 Developer Edition (64-bit)"}));
  EXPECT_EQ(v[2].rows, 1u);

  std::vector<Packet> pk;
  auto ts = exec(c,
                 "SELECT d.name, CAST(SUM(mf.size) * 8 / 1024 AS INT), d.recovery_model_desc FROM "
                 "sys.databases d JOIN sys.master_files mf ON mf.database_id = d.database_id WHERE "
                 "d.database_id > 4 AND d.state = 0 GROUP BY d.name, d.recovery_model_desc ORDER BY d.name",
                 &pk);
  for (size_t i = 0; i < pk.size(); ++i) {
    ASSERT_LE(pk[i].length, 100);
    ASSERT_EQ(pk[i].status, i + 1 == pk.size() ? 0x01 : 0x00);
  }
  ASSERT_EQ(ts.front().col_types, (std::vector<uint8_t>{0xE7, 0x26, 0xE7}));
  std::vector<std::vector<std::string>> rows;
  for (const Token& t : ts) {
    if (t.type == 0xD1) rows.push_back(t.cells);
  }
  ASSERT_EQ(rows.size(), 303u);  // 300 generated, hr, inventory, sales; not archive (offline)
  EXPECT_EQ(ts.back().rows, 303u);
  EXPECT_EQ(rows[0][0], "db0001");
  EXPECT_EQ(rows[300], (std::vector<std::string>{"hr", "16", "BULK_LOGGED"}));
  EXPECT_EQ(rows[301], (std::vector<std::string>{"inventory", "64", "FULL"}));
  EXPECT_EQ(rows[302], (std::vector<std::string>{"sales", "512", "SIMPLE"}));
  for (size_t i = 1; i < rows.size(); ++i) EXPECT_LT(rows[i - 1][0], rows[i][0]);
}

TEST(SimProtocol, BackupStreamsProgressAsOneMessageAndVerifies) {
  TempDir dir;
  const std::string db = "we]ird'db";
  const std::string log = dir.file("statements.log");
  SimProcess sim({"--backup-ms", "600", "--database", db + ":8:FULL", "--log", log});
  ASSERT_TRUE(sim.ok()) << sim.error();
  Client c(sim.port());
  ASSERT_NO_FATAL_FAILURE(login(c));

  // Quoting undone: "]" doubled inside [..], "'" doubled inside N'..'.
  const std::string path = dir.file("it's.bak");
  const std::string sql = backup_sql(db, path, "10, COMPRESSION");
  std::vector<Packet> pk;
  auto ts = exec(c, sql, &pk);

  std::vector<int32_t> want;
  for (int p = 10; p <= 100; p += 10) want.push_back(3211);
  want.push_back(4035);
  want.push_back(3014);
  EXPECT_EQ(message_numbers(ts), want);
  EXPECT_EQ(ts[0].text, "10 percent processed.");
  EXPECT_EQ(ts[10].text, "Processed 1024 pages for database '" + db + "', file '" + db + "' on file 1.");
  EXPECT_EQ(ts[11].text.rfind("BACKUP DATABASE successfully processed 1024 pages in ", 0), 0u);
  EXPECT_EQ(ts.back().type, 0xFD);
  EXPECT_EQ(ts.back().status, 0);

  // One message, streamed: every packet before the last says "more", and
  // the progress arrived while the work went on, not all at the end.
  ASSERT_GE(pk.size(), 10u);
  for (size_t i = 0; i < pk.size(); ++i) ASSERT_EQ(pk[i].status, i + 1 == pk.size() ? 0x01 : 0x00);
  EXPECT_GE(pk.back().at - pk.front().at, std::chrono::milliseconds(400));

  ASSERT_TRUE(fs::exists(path));
  EXPECT_EQ(files_in(dir.path()), 2u);  // the backup and the log, no leftovers
  EXPECT_EQ(vaultrun_test::read_lines(log), (std::vector<std::string>{sql}));

  // Without COMPRESSION the same database makes a larger file.
  const std::string plain = dir.file("plain.bak");
  auto plain_ts = exec(c, backup_sql(db, plain, "50"));
  EXPECT_EQ(message_numbers(plain_ts), (std::vector<int32_t>{3211, 3211, 4035, 3014}));
  EXPECT_LT(fs::file_size(path), fs::file_size(plain));

  auto ok = exec(c, verify_sql(path));
  EXPECT_EQ(message_numbers(ok), (std::vector<int32_t>{3262}));
  EXPECT_EQ(ok[0].text, "The backup set on file 1 is valid.");
  EXPECT_EQ(ok.back().status & 0x0002, 0);

  // One changed byte in the pages is found.
  {
    std::fstream f(plain, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(std::streamoff(fs::file_size(plain) / 2));
    f.put('\x5A');
  }
  auto bad = exec(c, verify_sql(plain));
  EXPECT_EQ(message_numbers(bad), (std::vector<int32_t>{3189, 3013}));
  EXPECT_EQ(bad[1].text, "VERIFY DATABASE is terminating abnormally.");
  EXPECT_EQ(bad.back().status & 0x0002, 0x0002);
}

TEST(SimProtocol, FailedBackupsAndVerificationsEndWith3013) {
  TempDir dir;
  SimProcess sim({"--backup-ms", "0"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  Client c(sim.port());
  ASSERT_NO_FATAL_FAILURE(login(c));
  const std::string junk = dir.file("junk.bak");
  std::ofstream(junk) << "not a backup at all, just some text long enough for a header";
  const std::string cut = dir.file("cut.bak");
  exec(c, backup_sql("hr", cut, "50"));
  fs::resize_file(cut, fs::file_size(cut) - 100);

  const struct { std::string sql; std::vector<int32_t> numbers; std::string first; } cases[] = {
      {backup_sql("nope", dir.file("a.bak"), "5"), {911, 3013},
       "Database 'nope' does not exist. Make sure that the name is entered correctly."},
      {backup_sql("archive", dir.file("b.bak"), "5"), {942, 3013},
       "Database 'archive' cannot be opened because it is offline."},
      {backup_sql("hr", dir.file("no/such/dir/c.bak"), "5"), {3201, 3013},
       "Cannot open backup device '" + dir.file("no/such/dir/c.bak") +
           "'. Operating system error 3(The system cannot find the path specified.)."},
      {verify_sql(dir.file("missing.bak")), {3201, 3013},
       "Cannot open backup device '" + dir.file("missing.bak") +
           "'. Operating system error 2(The system cannot find the file specified.)."},
      {verify_sql(junk), {3241, 3013},
       "The media family on device '" + junk + "' is incorrectly formed. SQL Server cannot process this media family."},
      {verify_sql(cut), {3203, 3013}, "Read on \"" + cut + "\" failed: 38(Reached the end of the file.)"},
      {"BACKUP DATABASE hr TO TAPE = N'x'", {102}, "Incorrect syntax near 'TAPE'."},
      {"TRUNCATE TABLE hr", {102}, "Incorrect syntax near 'TRUNCATE'."},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.sql);
    auto ts = exec(c, k.sql);
    EXPECT_EQ(message_numbers(ts), k.numbers);
    ASSERT_FALSE(ts.empty());
    EXPECT_EQ(ts[0].text, k.first);
    EXPECT_GE(ts[0].cls, 14);
    EXPECT_EQ(ts.back().type, 0xFD);
    EXPECT_EQ(ts.back().status & 0x0002, 0x0002);
  }
  EXPECT_EQ(files_in(dir.path()), 2u);  // junk and cut only
}

TEST(SimProtocol, AttentionStopsABackupAndIsAcknowledgedByItsOwnMessage) {
  TempDir dir;
  const std::string log = dir.file("statements.log");
  // After the first progress message the server stays quiet for 3 s, the
  // stretch in which a client's cancel must still be answered at once.
  SimProcess sim({"--backup-ms", "4000", "--backup-silent-ms", "3000", "--log", log});
  ASSERT_TRUE(sim.ok()) << sim.error();
  Client c(sim.port());
  ASSERT_NO_FATAL_FAILURE(login(c));
  const std::string sql = backup_sql("inventory", dir.file("inv.bak"), "5");
  ASSERT_TRUE(c.send(0x01, sql_batch(sql)));

  Packet first;
  ASSERT_TRUE(c.read_packet(first));
  EXPECT_EQ(first.status, 0x00);
  EXPECT_EQ(tokens(first.payload)[0].text, "5 percent processed.");
  EXPECT_TRUE(c.read_some(1, 500).empty()) << "the silent stretch was not silent";

  auto sent = Clock::now();
  ASSERT_TRUE(c.send(0x06, {}));
  // The cancelled answer ends, then the acknowledgment stands alone.
  std::vector<Bytes> messages;
  ASSERT_TRUE(read_to_attention_ack(c, &messages));
  EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(1000));
  EXPECT_LE(messages.size(), 2u);
  EXPECT_EQ(files_in(dir.path()), 1u);  // the log; no backup, no partial file
  EXPECT_EQ(vaultrun_test::read_lines(log), (std::vector<std::string>{sql, "ATTENTION"}));

  // The connection serves on.
  auto ts = exec(c, "SELECT @@SPID");
  EXPECT_EQ(ts.back().rows, 1u);
}

TEST(SimProtocol, ABackupEndsWithoutAFileWhenTheClientLeavesOrTheServerStops) {
  TempDir dir;
  SimProcess sim({"--backup-ms", "1500"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  {
    Client c(sim.port());
    ASSERT_NO_FATAL_FAILURE(login(c));
    ASSERT_TRUE(c.send(0x01, sql_batch(backup_sql("sales", dir.file("left.bak"), "5"))));
    Packet first;
    ASSERT_TRUE(c.read_packet(first));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1700));  // past when it would have ended
  EXPECT_EQ(files_in(dir.path()), 0u);

  Client c(sim.port());
  ASSERT_NO_FATAL_FAILURE(login(c));
  ASSERT_TRUE(c.send(0x01, sql_batch(backup_sql("sales", dir.file("stopped.bak"), "5"))));
  Packet first;
  ASSERT_TRUE(c.read_packet(first));
  int status = sim.stop();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(files_in(dir.path()), 0u);
}

TEST(SimProtocol, ConfigFileSetsLoginsCatalogAndVersion) {
  TempDir dir;
  const std::string cfg = dir.file("sim.json");
  std::ofstream(cfg) << R"json({
    "logins": [{"user": "op", "password": "p\u00e4ss"}],
    "databases": [
      {"name": "zeta", "size_mb": 3, "recovery": "simple"},
      {"name": "alpha", "size_mb": 2048, "recovery": "FULL", "state": "online"},
      {"name": "gone", "size_mb": 1, "state": "offline"}
    ],
    "version": "15.0.2000.5", "edition": "Express Edition (64-bit)",
    "encryption": "req"
  })json";
  SimProcess sim({"--config", cfg, "--encryption", "notsup"});  // flags win over the file
  ASSERT_TRUE(sim.ok()) << sim.error();

  Client refused(sim.port());
  Bytes r;
  // The file replaced the default login.
  ASSERT_NO_FATAL_FAILURE(login_answer(refused, "sa", "vaultrun", r));
  EXPECT_EQ(message_numbers(tokens(r)), (std::vector<int32_t>{18456}));

  Client c(sim.port());
  ASSERT_TRUE(c.send(0x12, prelogin_request()));
  ASSERT_TRUE(c.read_message(r));
  EXPECT_EQ(r[r.size() - 3], 2);  // ENCRYPTION from the flag
  // The password is four characters, the third U+00E4.
  ASSERT_TRUE(c.send(0x10, login7("op", "p\xC3\xA4ss")));
  ASSERT_TRUE(c.read_message(r));
  ASSERT_EQ(tokens(r).back().status, 0) << "login with the configured password failed";

  auto v = exec(c, "SELECT CAST(SERVERPROPERTY('ProductVersion') AS NVARCHAR(64)) + N' ' + "
                   "CAST(SERVERPROPERTY('Edition') AS NVARCHAR(64))");
  EXPECT_EQ(v[1].cells[0], "15.0.2000.5 Express Edition (64-bit)");
  auto l = exec(c, "SELECT d.name, CAST(SUM(mf.size) * 8 / 1024 AS INT), d.recovery_model_desc FROM "
                   "sys.databases d JOIN sys.master_files mf ON mf.database_id = d.database_id WHERE "
                   "d.database_id > 4 AND d.state = 0 GROUP BY d.name, d.recovery_model_desc ORDER BY d.name");
  ASSERT_EQ(l.size(), 4u);
  EXPECT_EQ(l[1].cells, (std::vector<std::string>{"alpha", "2048", "FULL"}));
  EXPECT_EQ(l[2].cells, (std::vector<std::string>{"zeta", "3", "SIMPLE"}));

  // A configuration the server cannot use stops it before it listens.
  std::ofstream(dir.file("bad.json")) << R"({"databases": [{"name": "x", "recovery": "DAILY"}]})";
  SimProcess bad({"--config", dir.file("bad.json")});
  EXPECT_FALSE(bad.ok());
}

TEST(SimProtocol, FaultModesBreakTheAnswerWhereAsked) {
  const Bytes version_batch = sql_batch("SELECT @@VERSION");
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::function<void(Client&)> check;
  } cases[] = {
      {"bad length on the first answer", {"--bad-length"},
       [](Client& c) {
         ASSERT_TRUE(c.send(0x12, prelogin_request()));
         Packet p;
         c.read_packet(p);
         EXPECT_LT(p.length, 8);
       }},
      {"close after 20 bytes", {"--close-after", "20"},
       [](Client& c) {
         ASSERT_TRUE(c.send(0x12, prelogin_request()));
         EXPECT_EQ(c.read_some(1000, 2000).size(), 20u);
         EXPECT_TRUE(c.peer_closed());
       }},
      {"close after 30 bytes of the first batch answer", {"--fault-on", "batch", "--close-after", "30"},
       [&](Client& c) {
         ASSERT_NO_FATAL_FAILURE(login(c));
         ASSERT_TRUE(c.send(0x01, version_batch));
         EXPECT_EQ(c.read_some(1000, 2000).size(), 30u);
         EXPECT_TRUE(c.peer_closed());
       }},
      {"silent", {"--silent"},
       [](Client& c) {
         ASSERT_TRUE(c.send(0x12, prelogin_request()));
         EXPECT_TRUE(c.read_some(1, 300).empty());
         EXPECT_FALSE(c.peer_closed(100));
       }},
      {"silent after login", {"--fault-on", "batch", "--silent"},
       [&](Client& c) {
         ASSERT_NO_FATAL_FAILURE(login(c));
         ASSERT_TRUE(c.send(0x01, version_batch));
         EXPECT_TRUE(c.read_some(1, 300).empty());
         EXPECT_FALSE(c.peer_closed(100));
       }},
      {"packet size 8192", {"--packet-size", "8192", "--databases", "300"},
       [](Client& c) {
         Bytes r;
         ASSERT_NO_FATAL_FAILURE(login_answer(c, "sa", "vaultrun", r));
         auto ts = tokens(r);
         EXPECT_TRUE(std::any_of(ts.begin(), ts.end(),
                                 [](const Token& t) { return t.env == 4 && t.text == "8192"; }));
         std::vector<Packet> pk;
         exec(c, "SELECT d.name, CAST(SUM(mf.size) * 8 / 1024 AS INT), d.recovery_model_desc FROM "
                 "sys.databases d JOIN sys.master_files mf ON mf.database_id = d.database_id WHERE "
                 "d.database_id > 4 AND d.state = 0 GROUP BY d.name, d.recovery_model_desc ORDER BY d.name",
              &pk);
         ASSERT_GE(pk.size(), 2u);
         EXPECT_EQ(pk[0].length, 8192);
       }},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    SimProcess sim(k.args);
    ASSERT_TRUE(sim.ok()) << sim.error();
    Client c(sim.port());
    ASSERT_TRUE(c.connected());
    k.check(c);
  }
}

}  // namespace
