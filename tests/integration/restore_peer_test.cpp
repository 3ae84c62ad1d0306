// Restore sessions through the exports against a scripted server that
// answers with exactly the bytes a real one sends: the history with its
// numeric(25,0) LSNs, datetime, char, bit and tinyint columns, LABELONLY
// and HEADERONLY with uniqueidentifier, numeric and datetime columns, the
// file list and the server's default folders as sql_variant casts, then
// each RESTORE's progress messages or errors. Every statement the library
// sends is read back and compared.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "script_peer.h"
#include "strict_json.h"
#include "tds_client/tds_client.h"
#include "vaultrun.h"
#include "wire.h"

namespace {

using u128 = unsigned __int128;

const bytes COLL = {0x09, 0x04, 0xD0, 0x00, 0x34};

// ---- Column and value encoders of the types the server uses -----------------

struct col {
  uint8_t type;
  bytes info;
  std::string name;
};

col c_int(const std::string& n, uint8_t size = 4) { return {0x26, {size}, n}; }
col c_numeric25(const std::string& n) { return {0x6C, {13, 25, 0}, n}; }
col c_datetime(const std::string& n) { return {0x6F, {8}, n}; }
col c_char1(const std::string& n) { return {0xAF, cat({{1, 0}, COLL}), n}; }
col c_bit(const std::string& n) { return {0x68, {1}, n}; }
col c_nvarchar(const std::string& n) { return {0xE7, cat({{0x08, 0x02}, COLL}), n}; }
col c_guid(const std::string& n) { return {0x24, {16}, n}; }

bytes v_int(int64_t v, uint8_t size = 4) {
  bytes b = {size};
  for (int i = 0; i < size; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return b;
}
bytes v_numeric(u128 v) {
  bytes b = {13, 1};
  for (int i = 0; i < 12; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return b;
}
bytes v_null() { return {0}; }
// "2026-12-10 hh:mm:ss" as datetime: days since 1900-01-01, then 1/300 s.
bytes v_datetime(int hh, int mm, int ss) {
  const uint32_t days = 46364;  // 2026-12-10
  const uint32_t ticks = static_cast<uint32_t>((hh * 3600 + mm * 60 + ss) * 300);
  bytes b = {8};
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(days >> (8 * i)));
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(ticks >> (8 * i)));
  return b;
}
bytes v_char1(char c) { return {1, 0, static_cast<uint8_t>(c)}; }
bytes v_bit(bool v) { return {1, static_cast<uint8_t>(v)}; }
bytes v_nvarchar(const std::string& s) {
  bytes u = utf16le(s);
  return cat({{static_cast<uint8_t>(u.size()), static_cast<uint8_t>(u.size() >> 8)}, u});
}
bytes v_guid(uint8_t fill) { return cat({{16}, bytes(16, fill)}); }

// One result: metadata, rows, the final DONE with the count.
bytes result(const std::vector<col>& cols, const std::vector<std::vector<bytes>>& rows) {
  sim::Tokens t;
  t.server_name = "SIM";
  t.colmetadata_begin(static_cast<uint16_t>(cols.size()));
  for (const col& c : cols) t.column(sim::COL_NULLABLE, c.type, c.info, c.name);
  for (const auto& r : rows) {
    t.b.u8(0xD1);
    for (const bytes& v : r) t.b.bytes(v);
  }
  t.done(sim::DONE_COUNT, sim::CMD_SELECT, rows.size());
  return tds_message(0x04, t.b.out);
}

// ---- The answers of a restore -------------------------------------------------

struct hist {
  int set_id, position;
  char type;
  bool copy_only;
  u128 first, last, checkpoint, base;
  int hh, mm;
  std::vector<std::string> files;
  int families = 0;  // of the media set; 0: as many as files
};

bytes history(const std::vector<hist>& sets) {
  const std::vector<col> cols = {
      c_int("backup_set_id"),        c_int("media_set_id"),   c_int("position"),
      c_char1("type"),                c_bit("is_copy_only"),   c_numeric25("first_lsn"),
      c_numeric25("last_lsn"),        c_numeric25("checkpoint_lsn"), c_numeric25("database_backup_lsn"),
      c_numeric25("differential_base_lsn"), c_datetime("backup_start_date"), c_datetime("backup_finish_date"),
      c_int("media_family_count", 1), c_int("family_sequence_number", 1), c_nvarchar("physical_device_name"),
      c_int("device_type", 1)};
  std::vector<std::vector<bytes>> rows;
  for (const hist& h : sets) {
    const int64_t families = h.families > 0 ? h.families : static_cast<int64_t>(h.files.size());
    for (size_t f = 0; f < h.files.size(); ++f) {
      rows.push_back({v_int(h.set_id), v_int(h.set_id), v_int(h.position), v_char1(h.type), v_bit(h.copy_only),
                      v_numeric(h.first), v_numeric(h.last), v_numeric(h.checkpoint), v_numeric(h.checkpoint),
                      h.base ? v_numeric(h.base) : v_null(), v_datetime(h.hh, h.mm - 1, 0), v_datetime(h.hh, h.mm, 0),
                      v_int(families, 1), v_int(static_cast<int64_t>(f + 1), 1), v_nvarchar(h.files[f]),
                      v_int(2, 1)});
    }
  }
  return result(cols, rows);
}

bytes headers(const std::string& database, const std::vector<hist>& sets) {
  const std::vector<col> cols = {c_nvarchar("BackupName"),     c_int("BackupType", 1), c_int("Position", 2),
                                 c_nvarchar("DatabaseName"),   c_numeric25("FirstLSN"), c_numeric25("LastLSN"),
                                 c_numeric25("CheckpointLSN"), c_numeric25("DatabaseBackupLSN"),
                                 c_datetime("BackupStartDate"), c_datetime("BackupFinishDate"), c_bit("IsCopyOnly"),
                                 c_numeric25("DifferentialBaseLSN"), c_guid("BindingID")};
  std::vector<std::vector<bytes>> rows;
  for (const hist& h : sets) {
    const int kind = h.type == 'D' ? 1 : h.type == 'I' ? 5 : 2;
    rows.push_back({v_nvarchar("set"), v_int(kind, 1), v_int(h.position, 2), v_nvarchar(database), v_numeric(h.first),
                    v_numeric(h.last), v_numeric(h.checkpoint), v_numeric(h.checkpoint), v_datetime(h.hh, h.mm - 1, 0),
                    v_datetime(h.hh, h.mm, 0), v_bit(h.copy_only), h.base ? v_numeric(h.base) : v_null(),
                    v_guid(0x11)});
  }
  return result(cols, rows);
}

bytes label(uint8_t media, int count, int seq) {
  return result({c_guid("MediaSetId"), c_int("FamilyCount"), c_int("FamilySequenceNumber"), c_guid("MediaFamilyId")},
                {{v_guid(media), v_int(count), v_int(seq), v_guid(static_cast<uint8_t>(media + seq))}});
}

bytes folders() {
  return result({c_nvarchar("data_path"), c_nvarchar("log_path")}, {{v_nvarchar("D:\\data\\"), v_nvarchar("L:\\log")}});
}

bytes file_list() {
  return result({c_nvarchar("LogicalName"), c_nvarchar("PhysicalName"), c_char1("Type")},
                {{v_nvarchar("sales"), v_nvarchar("C:\\old\\sales.mdf"), v_char1('D')},
                 {v_nvarchar("sales_2"), v_nvarchar("C:\\old\\sales2.ndf"), v_char1('D')},
                 {v_nvarchar("sales_log"), v_nvarchar("C:\\old\\sales_log.ldf"), v_char1('L')}});
}

bytes step_done(const char* what = "RESTORE DATABASE") {
  return tds_message(0x04, cat({tds_msg_token(0xAB, 3211, 0, "50 percent processed."),
                                tds_msg_token(0xAB, 3211, 0, "100 percent processed."),
                                tds_msg_token(0xAB, 3014, 0, std::string(what) + " successfully processed 9 pages."),
                                tds_done_token(0)}));
}

bytes step_error(const std::string& text, const char* what) {
  return tds_message(0x04, cat({tds_msg_token(0xAA, 4305, 16, text),
                                tds_msg_token(0xAA, 3013, 16, std::string(what) + " is terminating abnormally."),
                                tds_done_token(0x0002)}));
}

// The SQL text of one batch the client sent (one packet).
std::string sql_of(const bytes& msg) {
  if (msg.size() < 8 + TDS_ALL_HEADERS_LEN) return "";
  std::string out(msg.size() * 2, '\0');
  ucs2_to_utf8(msg.data() + 8 + TDS_ALL_HEADERS_LEN, msg.size() - 8 - TDS_ALL_HEADERS_LEN, out.data(), out.size());
  return out.c_str();
}

// The statements after the login.
std::vector<std::string> statements(const ScriptPeer& peer) {
  std::vector<std::string> out;
  const auto reads = peer.reads();
  for (size_t i = 2; i < reads.size(); ++i) out.push_back(sql_of(reads[i]));
  return out;
}

std::string run(int port, const std::string& members, std::vector<std::string>* progress = nullptr,
                bool cancel_at_first_percent = false) {
  const std::string cfg = "{\"port\":" + std::to_string(port) +
                          ",\"user\":\"sa\",\"password\":\"pw\",\"operation\":\"restore\"" + members + "}";
  const int32_t idx = vaultrun_start(cfg.c_str());
  if (idx < 0) return std::string("not started: ") + vaultrun_last_error();
  const auto t0 = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(20)) {
    const int32_t st = vaultrun_status(idx);
    const std::string p = vaultrun_progress(idx);
    EXPECT_EQ(strict_json_problem(p), "") << p;
    if (progress != nullptr && (progress->empty() || progress->back() != p)) progress->push_back(p);
    if (cancel_at_first_percent && p.find("\"percent\":") != std::string::npos &&
        p.find("5 percent processed") != std::string::npos)
      vaultrun_cancel(idx);
    if (st == VAULTRUN_SESSION_DONE || st == VAULTRUN_SESSION_FAILED) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::string result = vaultrun_result(idx);
  EXPECT_EQ(strict_json_problem(result), "") << result;
  vaultrun_free(idx);
  return result;
}

std::string without_elapsed(const std::string& doc) {
  return std::regex_replace(doc, std::regex(",\"elapsed_ms\":\\d+"), "");
}

// A day of Sales: full at 01:00, logs at 02:00 and 03:00, a differential at
// 04:00, a log at 05:00 (LSNs past 64 bits).
const u128 L = u128(1) << 70;
std::vector<hist> sales_day() {
  return {
      {10, 1, 'D', false, L + 1000, L + 1200, L + 1100, 0, 1, 0, {"/b/full.bak"}},
      {11, 1, 'L', false, L + 1000, L + 2000, L + 1500, 0, 2, 0, {"/b/log1.trn"}},
      {12, 2, 'L', false, L + 2000, L + 3000, L + 2500, 0, 3, 0, {"/b/log1.trn"}},
      {13, 1, 'I', false, L + 3100, L + 3300, L + 3200, L + 1100, 4, 0, {"/b/diff.bak"}},
      {14, 3, 'L', false, L + 3000, L + 4000, L + 3500, 0, 5, 0, {"/b/log1.trn"}},
  };
}

TEST(RestorePeer, HistoryChainToTheNewestPoint) {
  ScriptPeer peer;
  peer.accept_login().read_message().send(history(sales_day()));
  peer.read_message().send(step_done()).read_message().send(step_done());
  peer.read_message().send(step_done("RESTORE LOG")).read_message().send(step_done());
  peer.start();
  std::vector<std::string> progress;
  const std::string doc = run(peer.port(), ",\"database\":\"Sales\"", &progress);
  EXPECT_TRUE(peer.wait_done()) << peer.failure();
  EXPECT_EQ(without_elapsed(doc),
            "{\"ok\":true,\"database\":\"Sales\",\"source_database\":\"Sales\",\"restored\":["
            "{\"type\":\"full\",\"target\":\"/b/full.bak\",\"position\":1,\"finished\":\"2026-12-10T01:00:00.000\"},"
            "{\"type\":\"differential\",\"target\":\"/b/diff.bak\",\"position\":1,\"finished\":\"2026-12-10T04:00:00.000\"},"
            "{\"type\":\"log\",\"target\":\"/b/log1.trn\",\"position\":3,\"finished\":\"2026-12-10T05:00:00.000\"}],"
            "\"stop_at\":null,\"recovered\":true}");
  const std::vector<std::string> sql = statements(peer);
  ASSERT_EQ(sql.size(), 5u);
  EXPECT_NE(sql[0].find("WHERE s.database_name = N'Sales' ORDER BY"), std::string::npos);
  EXPECT_EQ(sql[1], "RESTORE DATABASE [Sales] FROM DISK = N'/b/full.bak' WITH FILE = 1, NORECOVERY, STATS = 5");
  EXPECT_EQ(sql[2], "RESTORE DATABASE [Sales] FROM DISK = N'/b/diff.bak' WITH FILE = 1, NORECOVERY, STATS = 5");
  EXPECT_EQ(sql[3], "RESTORE LOG [Sales] FROM DISK = N'/b/log1.trn' WITH FILE = 3, NORECOVERY, STATS = 5");
  EXPECT_EQ(sql[4], "RESTORE DATABASE [Sales] WITH RECOVERY");
  // The percent never goes back and ends at 100; which steps a poll sees
  // depends on timing (the cancel test checks the step members).
  int last = 0;
  for (const std::string& p : progress) {
    std::smatch m;
    if (std::regex_search(p, m, std::regex("\"percent\":(\\d+)"))) {
      EXPECT_GE(std::stoi(m[1]), last) << p;
      last = std::stoi(m[1]);
    }
  }
  EXPECT_EQ(last, 100);
}

// A copy-only full between a full and its differential, and a newest full
// whose second stripe is gone from the history: the plan takes the full and
// the differential, and names the full it passed over.
TEST(RestorePeer, ChoosesTheChainThatReachesFurthestAndNamesWhatItPassedOver) {
  const std::vector<hist> sets = {
      {10, 1, 'D', false, 1000, 1200, 1100, 0, 1, 0, {"/b/full.bak"}},
      {11, 1, 'D', true, 2000, 2200, 2100, 0, 2, 0, {"/b/copy.bak"}},
      {12, 1, 'I', false, 3000, 3200, 3100, 1100, 3, 0, {"/b/diff.bak"}},
      {13, 1, 'D', false, 4000, 4200, 4100, 0, 4, 0, {"/b/new_a.bak"}, 2},
  };
  ScriptPeer peer;
  peer.accept_login().read_message().send(history(sets));
  for (int i = 0; i < 3; ++i) peer.read_message().send(step_done());
  peer.start();
  const std::string doc = run(peer.port(), ",\"database\":\"Sales\"");
  EXPECT_TRUE(peer.wait_done()) << peer.failure();
  EXPECT_EQ(without_elapsed(doc),
            "{\"ok\":true,\"database\":\"Sales\",\"source_database\":\"Sales\",\"restored\":["
            "{\"type\":\"full\",\"target\":\"/b/full.bak\",\"position\":1,\"finished\":\"2026-12-10T01:00:00.000\"},"
            "{\"type\":\"differential\",\"target\":\"/b/diff.bak\",\"position\":1,\"finished\":\"2026-12-10T03:00:00.000\"}],"
            "\"passed_over\":[{\"type\":\"full\",\"target\":\"/b/new_a.bak\",\"position\":1,"
            "\"finished\":\"2026-12-10T04:00:00.000\",\"reason\":\"its media set is missing families\"}],"
            "\"stop_at\":null,\"recovered\":true}");
  const std::vector<std::string> sql = statements(peer);
  ASSERT_EQ(sql.size(), 4u);
  EXPECT_EQ(sql[1], "RESTORE DATABASE [Sales] FROM DISK = N'/b/full.bak' WITH FILE = 1, NORECOVERY, STATS = 5");
  EXPECT_EQ(sql[2], "RESTORE DATABASE [Sales] FROM DISK = N'/b/diff.bak' WITH FILE = 1, NORECOVERY, STATS = 5");
}

TEST(RestorePeer, StopAtInsideALogUnderANewNameWithDefaultMove) {
  ScriptPeer peer;
  peer.accept_login().read_message().send(history(sales_day()));
  peer.read_message().send(folders()).read_message().send(file_list());
  for (int i = 0; i < 4; ++i) peer.read_message().send(step_done());
  peer.start();
  const std::string doc = run(peer.port(), ",\"database\":\"Sales Copy\",\"source_database\":\"Sales\","
                                           "\"stop_at\":\"2026-12-10T02:30:00\"");
  EXPECT_TRUE(peer.wait_done()) << peer.failure();
  EXPECT_NE(doc.find("\"stop_at\":\"2026-12-10T02:30:00\",\"recovered\":true"), std::string::npos) << doc;
  const std::vector<std::string> sql = statements(peer);
  ASSERT_EQ(sql.size(), 7u);
  EXPECT_NE(sql[0].find("WHERE s.database_name = N'Sales' ORDER BY"), std::string::npos);  // every set, whatever the point
  EXPECT_EQ(sql[1].rfind("SELECT CAST(SERVERPROPERTY('InstanceDefaultDataPath')", 0), 0u);
  EXPECT_EQ(sql[2], "RESTORE FILELISTONLY FROM DISK = N'/b/full.bak' WITH FILE = 1");
  EXPECT_EQ(sql[3],
            "RESTORE DATABASE [Sales Copy] FROM DISK = N'/b/full.bak' WITH FILE = 1, NORECOVERY, "
            "MOVE N'sales' TO N'D:\\data\\Sales Copy.mdf', MOVE N'sales_2' TO N'D:\\data\\Sales Copy_2.ndf', "
            "MOVE N'sales_log' TO N'L:\\log\\Sales Copy_log.ldf', STATS = 5");
  EXPECT_EQ(sql[4], "RESTORE LOG [Sales Copy] FROM DISK = N'/b/log1.trn' WITH FILE = 1, NORECOVERY, STATS = 5");
  EXPECT_EQ(sql[5],
            "RESTORE LOG [Sales Copy] FROM DISK = N'/b/log1.trn' WITH FILE = 2, NORECOVERY, "
            "STOPAT = N'2026-12-10T02:30:00', STATS = 5");
  EXPECT_EQ(sql[6], "RESTORE DATABASE [Sales Copy] WITH RECOVERY");
}

TEST(RestorePeer, BackupFilesWithAStripedSetAndACopyOnlyLog) {
  // The full is striped over two files listed in reverse; a copy-only log
  // sits beside the regular one, which the chain takes.
  const std::vector<hist> full = {{0, 1, 'D', false, 1000, 1200, 1100, 0, 1, 0, {}}};
  const std::vector<hist> logs = {{0, 1, 'L', true, 1000, 1500, 1400, 0, 1, 30, {}},
                                  {0, 2, 'L', false, 1000, 2000, 1500, 0, 2, 0, {}}};
  ScriptPeer peer;
  peer.accept_login();
  peer.read_message().send(label(0xA0, 2, 2)).read_message().send(label(0xA0, 2, 1));
  peer.read_message().send(label(0xB0, 1, 1));
  peer.read_message().send(headers("Sales", full)).read_message().send(headers("Sales", logs));
  for (int i = 0; i < 3; ++i) peer.read_message().send(step_done());
  peer.start();
  const std::string doc =
      run(peer.port(), ",\"database\":\"Sales\",\"backup_files\":[\"/f/full_2.bak\",\"/f/full_1.bak\",\"/f/l.trn\"]");
  EXPECT_TRUE(peer.wait_done()) << peer.failure();
  EXPECT_NE(doc.find("{\"type\":\"log\",\"target\":\"/f/l.trn\",\"position\":2,"), std::string::npos) << doc;
  const std::vector<std::string> sql = statements(peer);
  ASSERT_EQ(sql.size(), 8u);
  EXPECT_EQ(sql[0], "RESTORE LABELONLY FROM DISK = N'/f/full_2.bak'");
  EXPECT_EQ(sql[3], "RESTORE HEADERONLY FROM DISK = N'/f/full_1.bak', DISK = N'/f/full_2.bak'");
  EXPECT_EQ(sql[4], "RESTORE HEADERONLY FROM DISK = N'/f/l.trn'");
  EXPECT_EQ(sql[5],
            "RESTORE DATABASE [Sales] FROM DISK = N'/f/full_1.bak', DISK = N'/f/full_2.bak' WITH FILE = 1, "
            "NORECOVERY, STATS = 5");
  EXPECT_EQ(sql[6], "RESTORE LOG [Sales] FROM DISK = N'/f/l.trn' WITH FILE = 2, NORECOVERY, STATS = 5");
}

TEST(RestorePeer, RefusedBeforeAnyRestoreIsSent) {
  {
    // A striped full with one family missing from the list.
    ScriptPeer peer;
    peer.accept_login().read_message().send(label(0xA0, 2, 1));
    peer.read_message().send(headers("Sales", {{0, 1, 'D', false, 1000, 1200, 1100, 0, 1, 0, {}}}));
    peer.start();
    const std::string doc = run(peer.port(), ",\"database\":\"Sales\",\"backup_files\":[\"/f/full_1.bak\"]");
    EXPECT_TRUE(peer.wait_done()) << peer.failure();
    EXPECT_EQ(doc, "{\"ok\":false,\"error\":\"the striped media set of the full backup at position 1 (finished "
                   "2026-12-10T01:00:00.000) is missing families\"}");
    EXPECT_EQ(statements(peer).size(), 2u);
  }
  {
    // A log lost from the history.
    std::vector<hist> gap = sales_day();
    gap.erase(gap.begin() + 2);  // the 03:00 log
    gap.erase(gap.begin() + 2);  // and the differential
    ScriptPeer peer;
    peer.accept_login().read_message().send(history(gap));
    peer.start();
    const std::string doc = run(peer.port(), ",\"database\":\"Sales\"");
    EXPECT_TRUE(peer.wait_done()) << peer.failure();
    EXPECT_EQ(doc,
              "{\"ok\":false,\"error\":\"gap in the log chain: the restore reaches LSN 1180591620717411305424 "
              "(2026-12-10T02:00:00.000) but the next log backup starts at LSN 1180591620717411306424 (finished "
              "2026-12-10T05:00:00.000)\"}");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(statements(peer).size(), 1u);  // the history query alone
  }
  {
    // No full by stop_at.
    ScriptPeer peer;
    peer.accept_login().read_message().send(history({}));
    peer.start();
    const std::string doc = run(peer.port(), ",\"database\":\"Sales\",\"stop_at\":\"2026-12-10 00:30:00\"");
    EXPECT_TRUE(peer.wait_done()) << peer.failure();
    EXPECT_EQ(doc, "{\"ok\":false,\"error\":\"no full backup of the database finished by stop_at "
                   "2026-12-10T00:30:00\"}");
  }
  // Refused configurations never connect.
  const int port = closed_port();
  EXPECT_EQ(run(port, ",\"database\":\"model\""), "not started: cannot restore system database");
  EXPECT_EQ(run(port, ",\"database\":\"d\",\"move\":[]"), "not started: invalid move");
  EXPECT_EQ(run(port, ",\"database\":\"d\",\"out_path\":\"/b\",\"backup_files\":[\"/c\"]"),
            "not started: backup_files cannot be used with out_path or stripes");
}

TEST(RestorePeer, ExplicitLogWithoutRecoveryThenDryRun) {
  const std::vector<hist> sets = {{0, 1, 'D', false, 1000, 1200, 1100, 0, 1, 0, {}},
                                  {0, 2, 'L', false, 1000, 2000, 1500, 0, 2, 0, {}}};
  {
    ScriptPeer peer;
    peer.accept_login().read_message().send(headers("Other", sets)).read_message().send(step_done("RESTORE LOG"));
    peer.start();
    const std::string doc =
        run(peer.port(), ",\"database\":\"Sales\",\"out_path\":\"/b/x.bak\",\"file\":2,\"recovery\":false,"
                         "\"move\":{\"sales\":\"/d/s.mdf\"}");
    EXPECT_TRUE(peer.wait_done()) << peer.failure();
    EXPECT_NE(doc.find("\"restored\":[{\"type\":\"log\",\"target\":\"/b/x.bak\",\"position\":2,"), std::string::npos)
        << doc;
    EXPECT_NE(doc.find("\"recovered\":false"), std::string::npos);
    const std::vector<std::string> sql = statements(peer);
    ASSERT_EQ(sql.size(), 2u);
    EXPECT_EQ(sql[0], "RESTORE HEADERONLY FROM DISK = N'/b/x.bak'");
    EXPECT_EQ(sql[1], "RESTORE LOG [Sales] FROM DISK = N'/b/x.bak' WITH FILE = 2, NORECOVERY, STATS = 5");
  }
  {
    ScriptPeer peer;
    peer.accept_login().read_message().send(headers("Sales", sets));
    peer.start();
    const std::string doc = run(peer.port(), ",\"database\":\"Sales\",\"out_path\":\"/b/x.bak\",\"dry_run\":true");
    EXPECT_TRUE(peer.wait_done()) << peer.failure();
    EXPECT_EQ(doc,
              "{\"ok\":true,\"dry_run\":true,\"database\":\"Sales\",\"source_database\":\"Sales\",\"plan\":["
              "{\"type\":\"full\",\"target\":\"/b/x.bak\",\"position\":1,\"finished\":\"2026-12-10T01:00:00.000\","
              "\"statement\":\"RESTORE DATABASE [Sales] FROM DISK = N'/b/x.bak' WITH FILE = 1, NORECOVERY, "
              "STATS = 5\"},{\"type\":\"recovery\",\"statement\":\"RESTORE DATABASE [Sales] WITH RECOVERY\"}],"
              "\"stop_at\":null,\"recovered\":true}");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(statements(peer).size(), 1u);
  }
}

TEST(RestorePeer, ServerErrorMidPlanReportsTheStepsDone) {
  ScriptPeer peer;
  peer.accept_login().read_message().send(history(sales_day()));
  peer.read_message().send(step_done());
  peer.read_message().send(step_error("The backup set holds a backup of a database other than 'Sales'.",
                                      "RESTORE DATABASE"));
  peer.start();
  const std::string doc = run(peer.port(), ",\"database\":\"Sales\"");
  EXPECT_TRUE(peer.wait_done()) << peer.failure();
  EXPECT_EQ(doc,
            "{\"ok\":false,\"error\":\"The backup set holds a backup of a database other than 'Sales'.\\n"
            "RESTORE DATABASE is terminating abnormally.\",\"database\":\"Sales\",\"restored\":["
            "{\"type\":\"full\",\"target\":\"/b/full.bak\",\"position\":1,\"finished\":\"2026-12-10T01:00:00.000\"}],"
            "\"recovered\":false}");
}

TEST(RestorePeer, CancelMidStepLeavesTheDatabaseRestoring) {
  ScriptPeer peer;
  peer.accept_login().read_message().send(history(sales_day()));
  // The step's progress arrives in a packet that does not end the answer.
  peer.read_message().send(tds_packet(0x04, 0x00, tds_msg_token(0xAB, 3211, 0, "5 percent processed.")));
  // The ATTENTION, then its acknowledgement.
  peer.read_message().send(tds_message(0x04, tds_done_token(0x0020)));
  peer.start();
  std::vector<std::string> progress;
  const std::string doc = run(peer.port(), ",\"database\":\"Sales\"", &progress, true);
  EXPECT_TRUE(peer.wait_done()) << peer.failure();
  EXPECT_EQ(doc, "{\"ok\":false,\"error\":\"cancelled\",\"database\":\"Sales\",\"restored\":[],\"recovered\":false}");
  bool saw = false;
  for (const std::string& p : progress) {
    saw |= p.find("\"percent\":1,\"message\":\"5 percent processed.\"") != std::string::npos &&
           p.find("\"step\":1,\"steps\":4,\"step_type\":\"full\"") != std::string::npos;
  }
  EXPECT_TRUE(saw);
}

}  // namespace

namespace {

// A month of history: a full, then 9,998 logs every few minutes and a
// differential near the end, 10,000 sets in one answer of some 1.5 MB. One
// query reads them all (streamed, not held), and the plan is the full,
// the differential and the logs after it.
TEST(RestorePeer, TenThousandSetsInOneQuery) {
  std::vector<hist> sets;
  sets.push_back({1, 1, 'D', false, 1000, 1200, 1100, 0, 0, 1, {"/b/full.bak"}});
  u128 at = 1000;
  for (int i = 2; i <= 10000; ++i) {
    const int hour = 2 + i / 500, minute = 1 + i % 50;
    if (i == 9995) {
      sets.push_back({i, 1, 'I', false, at + 5, at + 8, at + 6, 1100, hour, minute, {"/b/diff.bak"}});
      continue;
    }
    sets.push_back({i, i, 'L', false, at, at + 10, at + 1, 0, hour, minute, {"/b/log.trn"}});
    at += 10;
  }
  ScriptPeer peer;
  peer.accept_login().read_message().send(history(sets));
  for (int i = 0; i < 1 + 1 + 5 + 1; ++i) peer.read_message().send(step_done());
  peer.start();
  const auto t0 = std::chrono::steady_clock::now();
  const std::string doc = run(peer.port(), ",\"database\":\"Sales\"");
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  EXPECT_TRUE(peer.wait_done()) << peer.failure();
  EXPECT_EQ(doc.find("\"ok\":true"), 1u) << doc;
  const std::vector<std::string> sql = statements(peer);
  ASSERT_EQ(sql.size(), 9u);
  EXPECT_EQ(sql[0].rfind("SELECT s.backup_set_id", 0), 0u);
  EXPECT_EQ(sql[2], "RESTORE DATABASE [Sales] FROM DISK = N'/b/diff.bak' WITH FILE = 1, NORECOVERY, STATS = 5");
  EXPECT_EQ(sql[3], "RESTORE LOG [Sales] FROM DISK = N'/b/log.trn' WITH FILE = 9996, NORECOVERY, STATS = 5");
  std::printf("10,000 sets: one history query, %zu statements in all, %lld ms end to end\n", sql.size(),
              static_cast<long long>(ms.count()));
}

}  // namespace
