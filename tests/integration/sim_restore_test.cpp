// The simulated server's side of a restore, seen from raw sockets: the
// history and the backup headers follow the server's LSN rules, a chain
// restores to a point in time under a new name, every wrong restore is
// refused with the server's error and 3013, and an attention leaves the
// database restoring; and the consistency check and the drop that a
// restored copy meets. tests/scripts/sim_freetds.sh decodes the same result
// sets with an independent client.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "raw_tds.h"
#include "sim_process.h"

namespace {

using namespace vaultrun_test;

// One result set, read by column name.
struct Table {
  std::vector<std::string> names;
  std::vector<uint8_t> types;
  std::vector<std::vector<std::string>> rows;

  size_t col(const std::string& name) const {
    for (size_t k = 0; k < names.size(); ++k) {
      if (names[k] == name) return k;
    }
    ADD_FAILURE() << "no column " << name;
    return 0;
  }
  const std::string& at(size_t row, const std::string& name) const { return rows.at(row).at(col(name)); }
  uint64_t lsn(size_t row, const std::string& name) const { return std::stoull(at(row, name)); }
};

// The first result set of an answer.
Table table(const std::vector<Token>& ts) {
  Table t;
  for (const Token& k : ts) {
    if (k.type == 0x81 && t.names.empty()) {
      t.names = k.col_names;
      t.types = k.col_types;
    } else if (k.type == 0xD1) {
      t.rows.push_back(k.cells);
    }
  }
  return t;
}

bool failed(const std::vector<Token>& ts) { return !ts.empty() && (ts.back().status & 0x0002) != 0; }

std::string last_text(const std::vector<Token>& ts) {
  std::string text;
  for (const Token& t : ts) {
    if (t.type == 0xAA || t.type == 0xAB) text = t.text;
  }
  return text;
}

const char* const HISTORY_PLAN =
    "SELECT s.backup_set_id, s.media_set_id, s.position, s.type, s.is_copy_only, s.first_lsn, s.last_lsn, "
    "s.checkpoint_lsn, s.database_backup_lsn, s.differential_base_lsn, s.backup_start_date, s.backup_finish_date, "
    "s.database_guid, s.first_recovery_fork_guid, s.last_recovery_fork_guid, s.fork_point_lsn, "
    "m.media_family_count, f.family_sequence_number, f.physical_device_name, f.device_type "
    "FROM msdb.dbo.backupset AS s JOIN msdb.dbo.backupmediaset AS m ON m.media_set_id = s.media_set_id "
    "JOIN msdb.dbo.backupmediafamily AS f ON f.media_set_id = s.media_set_id WHERE s.database_name = N'inventory' "
    "ORDER BY s.backup_set_id, f.family_sequence_number";

std::string history_plan() { return HISTORY_PLAN; }

const char* const LISTING =
    "SELECT d.name, CAST(SUM(mf.size) * 8 / 1024 AS INT), d.recovery_model_desc FROM sys.databases d JOIN "
    "sys.master_files mf ON mf.database_id = d.database_id WHERE d.database_id > 4 AND d.state = 0 GROUP BY d.name, "
    "d.recovery_model_desc ORDER BY d.name";

std::vector<std::string> listed(Client& c) {
  std::vector<std::string> names;
  for (const auto& row : table(exec(c, LISTING)).rows) names.push_back(row[0] + ":" + row[1]);
  return names;
}

// Runs a statement that must succeed.
std::vector<Token> ok(Client& c, const std::string& sql) {
  auto ts = exec(c, sql);
  EXPECT_FALSE(failed(ts)) << sql << "\n-> " << last_text(ts);
  return ts;
}

// The local time now (less `ago`), as a STOPAT text with milliseconds.
std::string local_now(std::chrono::seconds ago = std::chrono::seconds(0)) {
  auto now = std::chrono::system_clock::now() - ago;
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  return std::string(buf) + "." + std::to_string(1000 + ms).substr(1);
}

class SimRestore : public ::testing::Test {
 protected:
  void start(std::vector<std::string> args = {}) {
    args.insert(args.end(), {"--backup-ms", "30"});
    sim_ = std::make_unique<SimProcess>(args);
    ASSERT_TRUE(sim_->ok()) << sim_->error();
    c_ = std::make_unique<Client>(sim_->port());
    ASSERT_NO_FATAL_FAILURE(login(*c_));
  }
  std::string bak(const std::string& name) const { return quote(dir_.file(name)); }
  void backup(const std::string& db, const std::string& kind, const std::string& to, const std::string& with = "") {
    ok(*c_, "BACKUP " + kind + " " + bracket(db) + " TO " + to + (with.empty() ? "" : " WITH " + with));
  }

  TempDir dir_;
  std::unique_ptr<SimProcess> sim_;
  std::unique_ptr<Client> c_;
};

TEST_F(SimRestore, HistoryAndHeadersFollowTheServersLsnRules) {
  ASSERT_NO_FATAL_FAILURE(start());
  Client& c = *c_;
  const std::string f1 = "DISK = " + bak("f1a.bak") + ", DISK = " + bak("f1b.bak");
  backup("inventory", "DATABASE", f1);
  backup("inventory", "DATABASE", "DISK = " + bak("d1.bak"), "DIFFERENTIAL");
  backup("inventory", "LOG", "DISK = " + bak("l1.trn"));
  backup("inventory", "LOG", "DISK = " + bak("cl.trn"), "COPY_ONLY");
  backup("inventory", "LOG", "DISK = " + bak("l2.trn"));

  Table h = table(exec(c, history_plan()));
  // Every column as the server types it.
  EXPECT_EQ(h.types, (std::vector<uint8_t>{0x26, 0x26, 0x26, 0xAF, 0x68, 0x6C, 0x6C, 0x6C, 0x6C, 0x6C, 0x6F, 0x6F,
                                           0x24, 0x24, 0x24, 0x6C, 0x26, 0x26, 0xE7, 0x26}));
  ASSERT_EQ(h.rows.size(), 6u);  // the full's two families, then one row per set
  enum { F1A, F1B, D1, L1, CL, L2 };
  EXPECT_EQ(h.at(F1A, "family_sequence_number"), "1");
  EXPECT_EQ(h.at(F1B, "family_sequence_number"), "2");
  EXPECT_EQ(h.at(F1A, "media_set_id"), h.at(F1B, "media_set_id"));
  EXPECT_EQ(h.at(F1B, "physical_device_name"), dir_.file("f1b.bak"));
  EXPECT_EQ(h.at(F1A, "device_type"), "2");
  EXPECT_EQ(h.at(F1A, "media_family_count"), "2");
  EXPECT_EQ(h.at(L1, "media_family_count"), "1");
  // One database on one recovery path: the same GUIDs on every set.
  for (size_t r = 1; r < h.rows.size(); ++r) {
    EXPECT_EQ(h.at(r, "database_guid"), h.at(F1A, "database_guid"));
    EXPECT_EQ(h.at(r, "first_recovery_fork_guid"), h.at(F1A, "last_recovery_fork_guid"));
    EXPECT_EQ(h.at(r, "fork_point_lsn"), "NULL");
  }
  EXPECT_EQ(h.at(D1, "type"), "I");
  EXPECT_EQ(h.at(L1, "type"), "L");
  EXPECT_EQ(h.at(CL, "is_copy_only"), "1");
  EXPECT_EQ(h.at(F1A, "differential_base_lsn"), "NULL");
  EXPECT_EQ(h.at(L1, "differential_base_lsn"), "NULL");

  // A differential names its base: its first LSN and its checkpoint.
  EXPECT_EQ(h.lsn(D1, "differential_base_lsn"), h.lsn(F1A, "first_lsn"));
  EXPECT_EQ(h.lsn(D1, "database_backup_lsn"), h.lsn(F1A, "checkpoint_lsn"));
  EXPECT_EQ(h.lsn(F1A, "database_backup_lsn"), 0u);
  // The log chain starts with the first full and runs without a gap; a
  // copy-only log covers the same start and does not move the chain.
  EXPECT_LE(h.lsn(L1, "first_lsn"), h.lsn(F1A, "last_lsn"));
  EXPECT_GT(h.lsn(L1, "last_lsn"), h.lsn(D1, "last_lsn"));
  EXPECT_EQ(h.lsn(CL, "first_lsn"), h.lsn(L1, "last_lsn"));
  EXPECT_EQ(h.lsn(L2, "first_lsn"), h.lsn(L1, "last_lsn"));
  EXPECT_GT(h.lsn(L2, "last_lsn"), h.lsn(CL, "last_lsn"));
  for (size_t r = 0; r < h.rows.size(); ++r) {
    EXPECT_LT(h.lsn(r, "first_lsn"), h.lsn(r, "last_lsn")) << "row " << r;
  }

  // A copy-only full is no base: a later differential still names the first.
  backup("inventory", "DATABASE", "DISK = " + bak("cf.bak"), "COPY_ONLY");
  backup("inventory", "DATABASE", "DISK = " + bak("d2.bak"), "DIFFERENTIAL");
  Table now = table(exec(c, history_plan()));
  ASSERT_EQ(now.rows.size(), 8u);  // the whole history, whatever full is newest
  EXPECT_EQ(now.at(6, "is_copy_only"), "1");
  EXPECT_EQ(now.lsn(7, "differential_base_lsn"), h.lsn(F1A, "first_lsn"));
  EXPECT_EQ(now.lsn(6, "database_backup_lsn"), h.lsn(F1A, "checkpoint_lsn"));

  // The headers say what the history says, by the real column names.
  Table hd = table(exec(c, "RESTORE HEADERONLY FROM " + f1));
  ASSERT_EQ(hd.rows.size(), 1u);
  for (const char* name : {"BackupName", "BackupType", "FirstLSN", "LastLSN", "CheckpointLSN", "DatabaseBackupLSN",
                           "BackupStartDate", "BackupFinishDate", "IsCopyOnly", "DifferentialBaseLSN", "BackupSetGUID",
                           "FamilyGUID", "DatabaseName", "Position", "RecoveryModel", "BackupSize"}) {
    EXPECT_NO_FATAL_FAILURE(hd.col(name));
  }
  EXPECT_EQ(hd.at(0, "BackupType"), "1");
  EXPECT_EQ(hd.at(0, "DatabaseName"), "inventory");
  EXPECT_EQ(hd.lsn(0, "FirstLSN"), h.lsn(F1A, "first_lsn"));
  EXPECT_EQ(hd.lsn(0, "LastLSN"), h.lsn(F1A, "last_lsn"));
  EXPECT_EQ(hd.lsn(0, "CheckpointLSN"), h.lsn(F1A, "checkpoint_lsn"));
  EXPECT_EQ(hd.at(0, "DifferentialBaseLSN"), "NULL");
  EXPECT_EQ(hd.types[hd.col("FirstLSN")], 0x6C);
  EXPECT_EQ(hd.types[hd.col("BackupStartDate")], 0x6F);
  EXPECT_EQ(hd.types[hd.col("BackupSetGUID")], 0x24);
  EXPECT_EQ(hd.types[hd.col("IsCopyOnly")], 0x68);
  Table hdiff = table(exec(c, "RESTORE HEADERONLY FROM DISK = " + bak("d1.bak")));
  EXPECT_EQ(hdiff.at(0, "BackupType"), "5");
  EXPECT_EQ(hdiff.lsn(0, "DifferentialBaseLSN"), h.lsn(F1A, "first_lsn"));
  EXPECT_EQ(table(exec(c, "RESTORE HEADERONLY FROM DISK = " + bak("cl.trn"))).at(0, "IsCopyOnly"), "1");

  // One family of two is no media set for the headers; its label says so.
  auto one = exec(c, "RESTORE HEADERONLY FROM DISK = " + bak("f1a.bak"));
  EXPECT_EQ(message_numbers(one), (std::vector<int32_t>{3132, 3013}));
  EXPECT_EQ(last_text(one), "RESTORE HEADERONLY is terminating abnormally.");
  Table label = table(exec(c, "RESTORE LABELONLY FROM DISK = " + bak("f1b.bak")));
  EXPECT_EQ(label.at(0, "FamilyCount"), "2");
  EXPECT_EQ(label.at(0, "FamilySequenceNumber"), "2");
  EXPECT_EQ(label.types[label.col("MediaSetId")], 0x24);

  // The file list names the database's files where the server keeps them.
  Table folders = table(exec(c, "SELECT CAST(SERVERPROPERTY('InstanceDefaultDataPath') AS nvarchar(4000)) AS "
                                "data_path, CAST(SERVERPROPERTY('InstanceDefaultLogPath') AS nvarchar(4000)) AS "
                                "log_path"));
  ASSERT_EQ(folders.rows.size(), 1u);
  EXPECT_EQ(folders.at(0, "data_path").back(), '/');
  Table files = table(exec(c, "RESTORE FILELISTONLY FROM " + f1 + " WITH FILE = 1"));
  ASSERT_EQ(files.rows.size(), 2u);
  EXPECT_EQ(files.at(0, "LogicalName"), "inventory");
  EXPECT_EQ(files.at(0, "Type"), "D");
  EXPECT_EQ(files.at(0, "PhysicalName"), folders.at(0, "data_path") + "inventory.mdf");
  EXPECT_EQ(files.at(1, "LogicalName"), "inventory_log");
  EXPECT_EQ(files.at(1, "Type"), "L");
  EXPECT_EQ(files.at(1, "PhysicalName"), folders.at(0, "log_path") + "inventory_log.ldf");
  EXPECT_EQ(files.types[files.col("Size")], 0x6C);
  EXPECT_EQ(files.types[files.col("FileID")], 0x26);
}

TEST_F(SimRestore, AChainRestoresToAPointUnderANewNameAndIsListedOnceRecovered) {
  const std::string config = dir_.file("sim.json");
  {
    std::FILE* f = std::fopen(config.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(R"({"databases": [{"name": "shop", "recovery": "FULL", "files": [
                 {"logical": "shop_data", "type": "D", "size_mb": 24},
                 {"logical": "shop_log", "type": "L", "size_mb": 8}]}]})",
               f);
    std::fclose(f);
  }
  ASSERT_NO_FATAL_FAILURE(start({"--config", config}));
  Client& c = *c_;
  backup("shop", "DATABASE", "DISK = " + bak("full.bak"));
  backup("shop", "DATABASE", "DISK = " + bak("diff.bak"), "DIFFERENTIAL");
  backup("shop", "LOG", "DISK = " + bak("log.trn"));  // the logs share one file, positions 1 to 3
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const std::string stop = local_now();
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  backup("shop", "LOG", "DISK = " + bak("log.trn"), "NOINIT");
  backup("shop", "LOG", "DISK = " + bak("log.trn"), "NOINIT");

  const std::string move = "MOVE N'shop_data' TO " + bak("copy.mdf") + ", MOVE N'shop_log' TO " + bak("copy.ldf");
  auto full = ok(c, "RESTORE DATABASE [shop_copy] FROM DISK = " + bak("full.bak") + " WITH FILE = 1, NORECOVERY, " +
                        move + ", STATS = 25");
  EXPECT_EQ(message_numbers(full), (std::vector<int32_t>{3211, 3211, 3211, 3211, 4035, 4035, 3014}));
  EXPECT_EQ(full[0].text, "25 percent processed.");
  EXPECT_EQ(full[4].text.rfind("Processed ", 0), 0u);
  EXPECT_NE(full[5].text.find("file 'shop_log' on file 1."), std::string::npos);
  EXPECT_EQ(last_text(full).rfind("RESTORE DATABASE successfully processed ", 0), 0u);

  // Restoring: not listed, not usable.
  EXPECT_EQ(listed(c), (std::vector<std::string>{"shop:32"}));
  auto closed = exec(c, "USE [shop_copy]");
  EXPECT_EQ(message_numbers(closed), (std::vector<int32_t>{927}));
  EXPECT_EQ(closed.at(0).cls, 14);

  ok(c, "RESTORE DATABASE [shop_copy] FROM DISK = " + bak("diff.bak") + " WITH FILE = 1, NORECOVERY, STATS = 5");
  // A point in time past this log's end: all of it is restored, and the
  // server says the database stays restoring.
  auto whole = ok(c, "RESTORE LOG [shop_copy] FROM DISK = " + bak("log.trn") + " WITH FILE = 1, NORECOVERY, STOPAT = N'" +
                         stop + "', STATS = 50");
  EXPECT_EQ(message_numbers(whole), (std::vector<int32_t>{3211, 3211, 4035, 4035, 4322, 3014}));
  EXPECT_EQ(whole.at(4).text,
            "This backup set contains records that were logged before the designated point in time. The database is "
            "being left in the restoring state so that more roll forward can be performed.");
  auto stopped = ok(c, "RESTORE LOG [shop_copy] FROM DISK = " + bak("log.trn") +
                           " WITH FILE = 2, NORECOVERY, STOPAT = N'" + stop + "', STATS = 5");
  EXPECT_EQ(last_text(stopped).rfind("RESTORE LOG successfully processed ", 0), 0u);
  // Stopped inside the second log: the third no longer follows.
  auto third = exec(c, "RESTORE LOG [shop_copy] FROM DISK = " + bak("log.trn") + " WITH FILE = 3, NORECOVERY");
  EXPECT_EQ(message_numbers(third), (std::vector<int32_t>{4305, 3013}));
  EXPECT_EQ(last_text(third), "RESTORE LOG is terminating abnormally.");

  ok(c, "RESTORE DATABASE [shop_copy] WITH RECOVERY");
  EXPECT_EQ(listed(c), (std::vector<std::string>{"shop:32", "shop_copy:32"}));
  EXPECT_EQ(message_numbers(exec(c, "RESTORE DATABASE [shop_copy] WITH RECOVERY")), (std::vector<int32_t>{3153, 3013}));
  // The copy is a database like any other, with its files where they were moved.
  backup("shop_copy", "DATABASE", "DISK = " + bak("copy.bak"));
  Table files = table(exec(c, "RESTORE FILELISTONLY FROM DISK = " + bak("copy.bak")));
  ASSERT_EQ(files.rows.size(), 2u);
  EXPECT_EQ(files.at(0, "PhysicalName"), dir_.file("copy.mdf"));
  EXPECT_EQ(files.at(1, "PhysicalName"), dir_.file("copy.ldf"));
}

TEST_F(SimRestore, WrongRestoresAreRefusedWithTheServersErrorsAndChangeNothing) {
  ASSERT_NO_FATAL_FAILURE(start());
  Client& c = *c_;
  backup("inventory", "DATABASE", "DISK = " + bak("f.bak"));
  backup("inventory", "LOG", "DISK = " + bak("l0.trn"));
  backup("inventory", "DATABASE", "DISK = " + bak("d.bak"), "DIFFERENTIAL");
  backup("inventory", "LOG", "DISK = " + bak("l1.trn"));
  backup("inventory", "LOG", "DISK = " + bak("l2.trn"));
  backup("inventory", "DATABASE", "DISK = " + bak("cf.bak"), "COPY_ONLY");
  const auto moved = [&](const std::string& name) {
    return "MOVE N'inventory' TO " + bak(name + ".mdf") + ", MOVE N'inventory_log' TO " + bak(name + ".ldf");
  };
  // Two copies left restoring: one from the copy-only full, one at the differential.
  ok(c, "RESTORE DATABASE [from_copy] FROM DISK = " + bak("cf.bak") + " WITH NORECOVERY, " + moved("fc"));
  ok(c, "RESTORE DATABASE [at_diff] FROM DISK = " + bak("f.bak") + " WITH NORECOVERY, " + moved("ad"));
  ok(c, "RESTORE DATABASE [at_diff] FROM DISK = " + bak("d.bak") + " WITH NORECOVERY");
  const std::vector<std::string> before = listed(c);

  const std::string missing_dir = dir_.file("no/such/folder");
  const struct {
    const char* name;
    std::string sql;
    std::vector<int32_t> numbers;
    std::string text;  // of the first message, when it matters
  } cases[] = {
      {"another database's backup over an existing one",
       "RESTORE DATABASE [hr] FROM DISK = " + bak("f.bak") + " WITH NORECOVERY",
       {3154, 3013},
       "The backup set holds a backup of a database other than the existing 'hr' database."},
      {"over itself without REPLACE while its log holds work",
       "RESTORE DATABASE [inventory] FROM DISK = " + bak("f.bak") + " WITH NORECOVERY",
       {3159, 3013},
       ""},
      {"a copy onto the files of the source",
       "RESTORE DATABASE [copy] FROM DISK = " + bak("f.bak") + " WITH NORECOVERY",
       {1834, 3156, 1834, 3156, 3119, 3013},
       "The file '" + table(exec(c, "RESTORE FILELISTONLY FROM DISK = " + bak("f.bak"))).at(0, "PhysicalName") +
           "' cannot be overwritten.  It is being used by database 'inventory'."},
      {"a MOVE of a file the set does not hold",
       "RESTORE DATABASE [copy] FROM DISK = " + bak("f.bak") + " WITH NORECOVERY, " + moved("cp") +
           ", MOVE N'nope' TO " + bak("nope.ndf"),
       {3234, 3119, 3013},
       "Logical file 'nope' is not part of database 'copy'. Use RESTORE FILELISTONLY to list the logical file names."},
      {"a MOVE into a missing folder",
       "RESTORE DATABASE [copy] FROM DISK = " + bak("f.bak") + " WITH NORECOVERY, MOVE N'inventory' TO " +
           quote(missing_dir + "/x.mdf") + ", MOVE N'inventory_log' TO " + bak("x.ldf"),
       {5133, 3156, 3119, 3013},
       "Directory lookup for the file \"" + missing_dir +
           "/x.mdf\" failed with the operating system error 3(The system cannot find the path specified.)."},
      {"a missing backup file",
       "RESTORE DATABASE [copy] FROM DISK = " + bak("none.bak") + " WITH NORECOVERY",
       {3201, 3013},
       "Cannot open backup device '" + dir_.file("none.bak") +
           "'. Operating system error 2(The system cannot find the file specified.)."},
      {"a backup file in a missing folder",
       "RESTORE HEADERONLY FROM DISK = " + quote(missing_dir + "/f.bak"),
       {3201, 3013},
       "Cannot open backup device '" + missing_dir +
           "/f.bak'. Operating system error 3(The system cannot find the path specified.)."},
      {"a log onto an online database",
       "RESTORE LOG [inventory] FROM DISK = " + bak("l1.trn") + " WITH NORECOVERY",
       {3117, 3013},
       "The log or differential backup cannot be restored because no files are ready to rollforward."},
      {"a differential onto an online database",
       "RESTORE DATABASE [inventory] FROM DISK = " + bak("d.bak") + " WITH NORECOVERY",
       {3117, 3013},
       ""},
      {"a differential onto a copy-only full",
       "RESTORE DATABASE [from_copy] FROM DISK = " + bak("d.bak") + " WITH NORECOVERY",
       {3136, 3013},
       "This differential backup cannot be restored because the database has not been restored to the correct "
       "earlier state."},
      {"a log that ends before the restored point",
       "RESTORE LOG [at_diff] FROM DISK = " + bak("l0.trn") + " WITH NORECOVERY",
       {4326, 3013},
       ""},
      {"a log that starts after the restored point",
       "RESTORE LOG [at_diff] FROM DISK = " + bak("l2.trn") + " WITH NORECOVERY",
       {4305, 3013},
       ""},
      {"a STOPAT before the restored point",
       "RESTORE LOG [at_diff] FROM DISK = " + bak("l1.trn") + " WITH NORECOVERY, STOPAT = N'2001-01-01T00:00:00'",
       {4335, 3013},
       "The specified STOPAT time is too early. All or part of the database is already rolled forward beyond that "
       "point."},
      {"a STOPAT that is no time",
       "RESTORE LOG [at_diff] FROM DISK = " + bak("l1.trn") + " WITH NORECOVERY, STOPAT = N'yesterday'",
       {241, 3013},
       ""},
      {"a log backup restored as a database",
       "RESTORE DATABASE [copy] FROM DISK = " + bak("l1.trn") + " WITH NORECOVERY, " + moved("cp"),
       {3135, 3013},
       ""},
      {"a set the file does not hold",
       "RESTORE DATABASE [copy] FROM DISK = " + bak("f.bak") + " WITH FILE = 9, NORECOVERY, " + moved("cp"),
       {4038, 3013},
       "Cannot find file ID 9 on device '" + dir_.file("f.bak") + "'."},
      {"a restore over tempdb",
       "RESTORE DATABASE [tempdb] FROM DISK = " + bak("f.bak") + " WITH REPLACE, NORECOVERY",
       {3147, 3013},
       "Backup and restore operations are not allowed on database tempdb."},
      {"the recovery of an online database", "RESTORE DATABASE [hr] WITH RECOVERY", {3153, 3013}, ""},
      {"the recovery of no database", "RESTORE DATABASE [nothing] WITH RECOVERY", {911, 3013}, ""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    auto ts = exec(c, k.sql);
    EXPECT_TRUE(failed(ts));
    EXPECT_EQ(message_numbers(ts), k.numbers);
    if (!k.text.empty() && !ts.empty()) {
      EXPECT_EQ(ts[0].text, k.text);
    }
    for (const Token& t : ts) {
      if (t.type == 0xAA) {
        EXPECT_EQ(t.cls, 16);
      }
    }
  }
  // Master, from a session that is not in it.
  ok(c, "USE [hr]");
  auto master = exec(c, "RESTORE DATABASE [master] FROM DISK = " + bak("f.bak") + " WITH REPLACE, NORECOVERY");
  EXPECT_EQ(message_numbers(master), (std::vector<int32_t>{3108, 3013}));
  EXPECT_EQ(master.at(0).text,
            "To restore the master database, the server must be running in single-user mode. For information on "
            "starting in single-user mode, see \"How to: Start an Instance of SQL Server (sqlservr.exe)\" in Books "
            "Online.");
  ok(c, "USE [master]");
  // Nothing was created, replaced or recovered; the copy at the
  // differential still takes the next log.
  EXPECT_EQ(listed(c), before);
  ok(c, "RESTORE LOG [at_diff] FROM DISK = " + bak("l1.trn") + " WITH NORECOVERY");
  ok(c, "RESTORE DATABASE [inventory] FROM DISK = " + bak("f.bak") + " WITH REPLACE, NORECOVERY");
  EXPECT_EQ(message_numbers(exec(c, "USE [inventory]")), (std::vector<int32_t>{927}));
}

TEST_F(SimRestore, CheckDbFindsDamageAndDropRefusesWhatItMust) {
  const std::string config = dir_.file("sim.json");
  {
    std::FILE* f = std::fopen(config.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(R"({"databases": [{"name": "shop", "size_mb": 32}, {"name": "broken", "size_mb": 16, "damaged": true},
                 {"name": "old", "size_mb": 8}]})",
               f);
    std::fclose(f);
  }
  ASSERT_NO_FATAL_FAILURE(start({"--config", config}));
  Client& c = *c_;
  Client other(sim_->port());
  ASSERT_NO_FATAL_FAILURE(login(other));
  ok(other, "USE [shop]");
  backup("old", "DATABASE", "DISK = " + bak("old.bak"));

  const struct {
    const char* name;
    std::string sql;
    std::vector<int32_t> numbers;
    bool fails;
    std::string text = "";  // of the first message, when it matters
  } cases[] = {
      {"a clean database, quietly", "DBCC CHECKDB ([shop]) WITH NO_INFOMSGS, ALL_ERRORMSGS", {}, false},
      {"a clean database", "DBCC CHECKDB (N'shop') WITH ALL_ERRORMSGS, PHYSICAL_ONLY", {8989, 2528}, false},
      {"a damaged database", "DBCC CHECKDB ([broken]) WITH NO_INFOMSGS, ALL_ERRORMSGS", {8928, 8939, 8989, 8958}, true},
      {"no database", "DBCC CHECKDB ([nothing]) WITH NO_INFOMSGS", {2520}, true},
      {"dropping no database", "DROP DATABASE [nothing]", {3701}, true,
       "Cannot drop the database 'nothing', because it does not exist or you do not have permission."},
      {"dropping a system database", "DROP DATABASE [msdb]", {3708}, true,
       "Cannot drop the database 'msdb' because it is a system database."},
      {"dropping a database in use", "DROP DATABASE [shop]", {3702}, true,
       "Cannot drop database \"shop\" because it is currently in use."},
      {"restoring over a database in use", "RESTORE DATABASE [shop] FROM DISK = " + bak("old.bak") + " WITH REPLACE",
       {3101, 3013}, true},
      {"dropping a database", "DROP DATABASE [old]", {}, false},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    auto ts = exec(c, k.sql);
    EXPECT_EQ(failed(ts), k.fails);
    EXPECT_EQ(message_numbers(ts), k.numbers);
    if (!k.text.empty() && !ts.empty()) {
      EXPECT_EQ(ts[0].text, k.text);
    }
  }
  EXPECT_EQ(listed(c), (std::vector<std::string>{"broken:16", "shop:32"}));
  // Once its last session leaves, the database can go.
  other.close();
  bool dropped = false;
  for (int i = 0; i < 50 && !dropped; ++i) {
    dropped = !failed(exec(c, "DROP DATABASE [shop]"));
    if (!dropped) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(dropped);
  EXPECT_EQ(listed(c), (std::vector<std::string>{"broken:16"}));
}

TEST_F(SimRestore, AMadeUpHistoryFollowsTheRulesAndRealBackupsContinueIt) {
  ASSERT_NO_FATAL_FAILURE(start({"--history-sets", "200"}));
  Client& c = *c_;
  // Sets 1, 97 and 193 are full backups, a quarter of an hour apart up to now.
  Table older = table(exec(c, history_plan()));
  ASSERT_EQ(older.rows.size(), 200u);
  EXPECT_EQ(older.at(0, "backup_set_id"), "1");
  EXPECT_EQ(older.at(192, "type"), "D");
  uint64_t chain = 0, base_first = 0;
  for (size_t r = 0; r < older.rows.size(); ++r) {
    SCOPED_TRACE("set " + older.at(r, "backup_set_id"));
    const std::string type = older.at(r, "type");
    if (type == "D") base_first = older.lsn(r, "first_lsn");
    if (type == "I") {
      EXPECT_EQ(older.lsn(r, "differential_base_lsn"), base_first);
    }
    if (type != "L") continue;
    if (chain != 0) {
      EXPECT_EQ(older.lsn(r, "first_lsn"), chain);
    }
    chain = older.lsn(r, "last_lsn");
  }
  // A real log backup starts where the made-up chain ends.
  backup("inventory", "LOG", "DISK = " + bak("next.trn"));
  Table after = table(exec(c, history_plan()));
  ASSERT_EQ(after.rows.size(), 201u);
  EXPECT_EQ(after.lsn(200, "first_lsn"), chain);
}

TEST(SimRestoreAttention, AnAttentionStopsARestoreAndLeavesTheDatabaseRestoring) {
  TempDir dir;
  SimProcess sim({"--backup-ms", "2000"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  Client c(sim.port());
  ASSERT_NO_FATAL_FAILURE(login(c));
  ok(c, "BACKUP DATABASE [hr] TO DISK = " + quote(dir.file("hr.bak")));
  const std::string sql = "RESTORE DATABASE [hr2] FROM DISK = " + quote(dir.file("hr.bak")) +
                          " WITH NORECOVERY, MOVE N'hr' TO " + quote(dir.file("hr2.mdf")) + ", MOVE N'hr_log' TO " +
                          quote(dir.file("hr2.ldf")) + ", STATS = 10";
  ASSERT_TRUE(c.send(0x01, sql_batch(sql)));
  Packet first;
  ASSERT_TRUE(c.read_packet(first));
  EXPECT_EQ(tokens(first.payload)[0].text, "10 percent processed.");
  auto sent = Clock::now();
  ASSERT_TRUE(c.send(0x06, {}));
  ASSERT_TRUE(read_to_attention_ack(c));
  EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(1000));
  // Left restoring: not listed, not usable, not to be recovered half-restored.
  EXPECT_EQ(listed(c), (std::vector<std::string>{"hr:16", "inventory:64", "sales:512"}));
  EXPECT_EQ(message_numbers(exec(c, "USE [hr2]")), (std::vector<int32_t>{927}));
  EXPECT_EQ(message_numbers(exec(c, "RESTORE DATABASE [hr2] WITH RECOVERY")), (std::vector<int32_t>{4333, 3013}));
}

}  // namespace
