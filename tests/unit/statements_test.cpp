// The backup and verification statements, from the configuration text to the
// UTF-16 that goes on the wire, read back by a T-SQL lexer.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "statement_reader.h"
#include "tds_client/tds_client.h"
#include "vaultrun/config.h"
#include "vaultrun/statements.h"

namespace {

using statement_reader::json_body;

std::string config_text(const std::string& database, const std::string& path, bool compression = true,
                        bool copy_only = false) {
  return "{\"user\":\"sa\",\"database\":\"" + json_body(database) + "\",\"out_path\":\"" + json_body(path) +
         "\",\"compression\":" + (compression ? "true" : "false") +
         ",\"copy_only\":" + (copy_only ? "true" : "false") + "}";
}

std::vector<uint8_t> wire(const char* sql) {
  std::vector<uint8_t> out(4 * std::strlen(sql) + 2);
  out.resize(utf8_to_ucs2(sql, out.data(), out.size()));
  return out;
}

// Builds both statements for an accepted configuration and reads them back
// from the wire; "" when both are exactly the intended statements.
std::string round_trip(const std::string& database, const std::string& path, bool compression = true,
                       bool copy_only = false) {
  backup_config cfg;
  if (parse_config(config_text(database, path, compression, copy_only).c_str(), &cfg) != 0) return "refused";
  char sql[STATEMENT_CAP];
  if (!backup_statement(&cfg, sql, sizeof sql)) return "backup statement did not fit";
  std::vector<uint8_t> b = wire(sql);
  std::string why = statement_reader::check_backup(b.data(), b.size(), database, path, compression, copy_only);
  if (!why.empty()) return "backup: " + why;
  if (!verify_statement(&cfg, 1, sql, sizeof sql)) return "verify statement did not fit";
  std::vector<uint8_t> v = wire(sql);
  why = statement_reader::check_verify(v.data(), v.size(), path);
  return why.empty() ? "" : "verify: " + why;
}

std::string repeat(const std::string& s, size_t n) {
  std::string r;
  for (size_t i = 0; i < n; ++i) r += s;
  return r;
}

TEST(Statements, ExactText) {
  struct {
    const char* name;
    std::string database, path;
    bool compression, copy_only;
    std::string backup, verify;
  } cases[] = {
      {"plain", "sales", "C:\\b.bak", true, false,
       "BACKUP DATABASE [sales] TO DISK = N'C:\\b.bak' WITH STATS = 5, COMPRESSION",
       "RESTORE VERIFYONLY FROM DISK = N'C:\\b.bak' WITH FILE = 1"},
      {"both options", "hr", "/x", true, true, "BACKUP DATABASE [hr] TO DISK = N'/x' WITH STATS = 5, COMPRESSION, COPY_ONLY",
       "RESTORE VERIFYONLY FROM DISK = N'/x' WITH FILE = 1"},
      {"no options", "hr", "/x", false, false, "BACKUP DATABASE [hr] TO DISK = N'/x' WITH STATS = 5",
       "RESTORE VERIFYONLY FROM DISK = N'/x' WITH FILE = 1"},
      {"closers doubled, others not", "a]b'c[", "it's]", false, true,
       "BACKUP DATABASE [a]]b'c[] TO DISK = N'it''s]' WITH STATS = 5, COPY_ONLY",
       "RESTORE VERIFYONLY FROM DISK = N'it''s]' WITH FILE = 1"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    backup_config cfg;
    ASSERT_EQ(parse_config(config_text(c.database, c.path, c.compression, c.copy_only).c_str(), &cfg), 0);
    char sql[STATEMENT_CAP];
    ASSERT_TRUE(backup_statement(&cfg, sql, sizeof sql));
    EXPECT_EQ(std::string(sql), c.backup);
    ASSERT_TRUE(verify_statement(&cfg, 1, sql, sizeof sql));
    EXPECT_EQ(std::string(sql), c.verify);
  }
}

// Every backup kind key and the combinations that meet in one statement:
// the exact backup, the verification of set 3 and the history query over
// the last 7 seconds.
TEST(Statements, BackupKindsExactText) {
  const std::string H =
      "SELECT TOP (2) s.position FROM msdb.dbo.backupset AS s JOIN msdb.dbo.backupmediafamily AS f ON "
      "f.media_set_id = s.media_set_id WHERE s.database_name = N'hr' AND s.type = ";
  const std::string H_END = " AND s.backup_finish_date >= DATEADD(SECOND, -7, GETDATE()) ORDER BY s.backup_set_id DESC";
  struct {
    const char* name;
    std::string extra;  // members after "database":"hr", each with a leading comma
    std::string backup, verify, history;
  } cases[] = {
      {"default", R"(,"out_path":"/b")",
       "BACKUP DATABASE [hr] TO DISK = N'/b' WITH STATS = 5, COMPRESSION",
       "RESTORE VERIFYONLY FROM DISK = N'/b' WITH FILE = 3", H + "'D' AND f.physical_device_name = N'/b'" + H_END},
      {"full named", R"(,"out_path":"/b","type":"full")",
       "BACKUP DATABASE [hr] TO DISK = N'/b' WITH STATS = 5, COMPRESSION",
       "RESTORE VERIFYONLY FROM DISK = N'/b' WITH FILE = 3", H + "'D' AND f.physical_device_name = N'/b'" + H_END},
      {"differential", R"(,"out_path":"/b","type":"differential","compression":false)",
       "BACKUP DATABASE [hr] TO DISK = N'/b' WITH STATS = 5, DIFFERENTIAL",
       "RESTORE VERIFYONLY FROM DISK = N'/b' WITH FILE = 3", H + "'I' AND f.physical_device_name = N'/b'" + H_END},
      {"log, copy-only", R"(,"out_path":"/l","type":"log","copy_only":true)",
       "BACKUP LOG [hr] TO DISK = N'/l' WITH STATS = 5, COMPRESSION, COPY_ONLY",
       "RESTORE VERIFYONLY FROM DISK = N'/l' WITH FILE = 3", H + "'L' AND f.physical_device_name = N'/l'" + H_END},
      {"checksum and init", R"(,"out_path":"/b","checksum":true,"init":true)",
       "BACKUP DATABASE [hr] TO DISK = N'/b' WITH STATS = 5, COMPRESSION, INIT, CHECKSUM",
       "RESTORE VERIFYONLY FROM DISK = N'/b' WITH FILE = 3, CHECKSUM",
       H + "'D' AND f.physical_device_name = N'/b'" + H_END},
      {"checksum and init false", R"(,"out_path":"/b","checksum":false,"init":false)",
       "BACKUP DATABASE [hr] TO DISK = N'/b' WITH STATS = 5, COMPRESSION",
       "RESTORE VERIFYONLY FROM DISK = N'/b' WITH FILE = 3", H + "'D' AND f.physical_device_name = N'/b'" + H_END},
      {"stripes", R"(,"stripes":["/a'1","/a2","/a3"])",
       "BACKUP DATABASE [hr] TO DISK = N'/a''1', DISK = N'/a2', DISK = N'/a3' WITH STATS = 5, COMPRESSION",
       "RESTORE VERIFYONLY FROM DISK = N'/a''1', DISK = N'/a2', DISK = N'/a3' WITH FILE = 3",
       H + "'D' AND f.physical_device_name = N'/a''1'" + H_END},
      {"https with a credential", R"(,"out_path":"https://acct.blob/c/x.bak","credential":"key'cred")",
       "BACKUP DATABASE [hr] TO URL = N'https://acct.blob/c/x.bak' WITH STATS = 5, COMPRESSION, CREDENTIAL = N'key''cred'",
       "RESTORE VERIFYONLY FROM URL = N'https://acct.blob/c/x.bak' WITH FILE = 3, CREDENTIAL = N'key''cred'",
       H + "'D' AND f.physical_device_name = N'https://acct.blob/c/x.bak'" + H_END},
      {"s3 stripes, log", R"(,"stripes":["S3://h/b/1.bak","s3://h/b/2.bak"],"type":"log","compression":false)",
       "BACKUP LOG [hr] TO URL = N'S3://h/b/1.bak', URL = N's3://h/b/2.bak' WITH STATS = 5",
       "RESTORE VERIFYONLY FROM URL = N'S3://h/b/1.bak', URL = N's3://h/b/2.bak' WITH FILE = 3",
       H + "'L' AND f.physical_device_name = N'S3://h/b/1.bak'" + H_END},
      {"a path that only looks like a URL", R"(,"out_path":"http://h/x")",
       "BACKUP DATABASE [hr] TO DISK = N'http://h/x' WITH STATS = 5, COMPRESSION",
       "RESTORE VERIFYONLY FROM DISK = N'http://h/x' WITH FILE = 3",
       H + "'D' AND f.physical_device_name = N'http://h/x'" + H_END},
      {"tuning", R"(,"out_path":"/b","buffer_count":50,"max_transfer_size":4194304,"block_size":65536)",
       "BACKUP DATABASE [hr] TO DISK = N'/b' WITH STATS = 5, COMPRESSION, BUFFERCOUNT = 50, "
       "MAXTRANSFERSIZE = 4194304, BLOCKSIZE = 65536",
       "RESTORE VERIFYONLY FROM DISK = N'/b' WITH FILE = 3", H + "'D' AND f.physical_device_name = N'/b'" + H_END},
      {"encryption by certificate", R"(,"out_path":"/b","encryption":"AES_256","server_certificate":"C]ert'")",
       "BACKUP DATABASE [hr] TO DISK = N'/b' WITH STATS = 5, COMPRESSION, "
       "ENCRYPTION (ALGORITHM = AES_256, SERVER CERTIFICATE = [C]]ert'])",
       "RESTORE VERIFYONLY FROM DISK = N'/b' WITH FILE = 3", H + "'D' AND f.physical_device_name = N'/b'" + H_END},
      {"encryption by key", R"(,"out_path":"/b","encryption":"TRIPLE_DES_3KEY","server_asymmetric_key":"k")",
       "BACKUP DATABASE [hr] TO DISK = N'/b' WITH STATS = 5, COMPRESSION, "
       "ENCRYPTION (ALGORITHM = TRIPLE_DES_3KEY, SERVER ASYMMETRIC KEY = [k])",
       "RESTORE VERIFYONLY FROM DISK = N'/b' WITH FILE = 3", H + "'D' AND f.physical_device_name = N'/b'" + H_END},
      {"name and description", R"(,"out_path":"/b","name":"it's","description":"a ] b '' c")",
       "BACKUP DATABASE [hr] TO DISK = N'/b' WITH STATS = 5, COMPRESSION, NAME = N'it''s', "
       "DESCRIPTION = N'a ] b '''' c'",
       "RESTORE VERIFYONLY FROM DISK = N'/b' WITH FILE = 3", H + "'D' AND f.physical_device_name = N'/b'" + H_END},
      {"everything at once",
       R"(,"stripes":["https://a/c/1","https://a/c/2"],"type":"differential","copy_only":true,)"
       R"("checksum":true,"init":true,"name":"n","description":"d","buffer_count":1,)"
       R"("max_transfer_size":65536,"block_size":512,"credential":"cr","encryption":"AES_128","server_certificate":"c")",
       "BACKUP DATABASE [hr] TO URL = N'https://a/c/1', URL = N'https://a/c/2' WITH STATS = 5, COMPRESSION, COPY_ONLY, "
       "DIFFERENTIAL, INIT, CHECKSUM, NAME = N'n', DESCRIPTION = N'd', BUFFERCOUNT = 1, MAXTRANSFERSIZE = 65536, "
       "BLOCKSIZE = 512, CREDENTIAL = N'cr', ENCRYPTION (ALGORITHM = AES_128, SERVER CERTIFICATE = [c])",
       "RESTORE VERIFYONLY FROM URL = N'https://a/c/1', URL = N'https://a/c/2' WITH FILE = 3, CHECKSUM, CREDENTIAL = N'cr'",
       H + "'I' AND f.physical_device_name = N'https://a/c/1'" + H_END},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    backup_config cfg;
    const char* refusal = nullptr;
    ASSERT_EQ(parse_config(("{\"user\":\"sa\",\"database\":\"hr\"" + c.extra + "}").c_str(), &cfg, &refusal), 0)
        << refusal;
    char sql[STATEMENT_CAP];
    ASSERT_TRUE(backup_statement(&cfg, sql, sizeof sql));
    EXPECT_EQ(std::string(sql), c.backup);
    ASSERT_TRUE(verify_statement(&cfg, 3, sql, sizeof sql));
    EXPECT_EQ(std::string(sql), c.verify);
    ASSERT_TRUE(history_statement(&cfg, 7, sql, sizeof sql));
    EXPECT_EQ(std::string(sql), c.history);
  }
}

// The largest accepted configuration: every text at its limit and made of
// closers, 16 stripes filling their area. Each statement fits the cap and
// reads back as the one intended statement.
TEST(Statements, LargestConfigurationFitsAndReadsBack) {
  statement_reader::backup_shape b;
  b.database = std::string(128, ']');
  for (int i = 0; i < 16; ++i) b.targets.push_back("https://" + std::string(1015, '\''));
  b.differential = true;
  b.copy_only = b.init = b.checksum = true;
  b.name = std::string(128, '\'');
  b.description = std::string(255, '\'');
  b.credential = std::string(128, '\'');
  b.cipher = u"TRIPLE_DES_3KEY";
  b.certificate = std::string(128, ']');
  b.buffer_count = 65535;
  b.max_transfer_size = 4194304;
  b.block_size = 65536;
  std::string text = "{\"user\":\"sa\",\"database\":\"" + json_body(b.database) + "\",\"stripes\":[";
  for (size_t i = 0; i < b.targets.size(); ++i) text += (i ? ",\"" : "\"") + json_body(b.targets[i]) + "\"";
  text += "],\"type\":\"differential\",\"copy_only\":true,\"init\":true,\"checksum\":true,\"name\":\"" +
          json_body(b.name) + "\",\"description\":\"" + json_body(b.description) + "\",\"credential\":\"" +
          json_body(b.credential) + "\",\"encryption\":\"TRIPLE_DES_3KEY\",\"server_certificate\":\"" +
          json_body(b.certificate) + "\",\"buffer_count\":65535,\"max_transfer_size\":4194304,\"block_size\":65536}";
  backup_config cfg;
  const char* refusal = nullptr;
  ASSERT_EQ(parse_config(text.c_str(), &cfg, &refusal), 0) << refusal;
  std::vector<char> sql(STATEMENT_CAP);
  ASSERT_TRUE(backup_statement(&cfg, sql.data(), sql.size()));
  std::vector<uint8_t> w = wire(sql.data());
  EXPECT_EQ(statement_reader::check(w.data(), w.size(), statement_reader::backup_tokens(b)), "");
  ASSERT_TRUE(verify_statement(&cfg, 2147483647, sql.data(), sql.size()));
  w = wire(sql.data());
  EXPECT_EQ(statement_reader::check(w.data(), w.size(), statement_reader::verify_tokens(b, 2147483647)), "");
  ASSERT_TRUE(history_statement(&cfg, 9223372036854775807LL, sql.data(), sql.size()));
  w = wire(sql.data());
  EXPECT_EQ(statement_reader::check(w.data(), w.size(), statement_reader::history_tokens(b, 9223372036854775807LL)), "");
}

TEST(Statements, ReadBackAsTheOneIntendedStatement) {
  struct {
    const char* name;
    std::string database, path;
  } cases[] = {
      {"ascii", "sales", "C:\\backup\\sales.bak"},
      {"closers in both fields", "x]; SHUTDOWN; --", "C:\\b.bak'; DROP TABLE t; --"},
      {"doubled closers already", "]]", "''"},
      {"only closers", "]", "'"},
      {"two-byte characters", "Продажи", "C:\\Ümlaut\\é.bak"},
      {"three-byte characters", "売上€", "D:\\バックアップ\\x.bak"},
      {"four-byte characters", "db\xF0\x9F\x98\x80", "/\xF0\x90\x8D\x88.bak"},
      {"a character before each closer", "\xC3\xA9]", "\xE2\x82\xAC'"},
      {"control characters", "a\tb", "C:\\x\ty\nz\r\x01\x1f.bak"},
      {"comment and batch openers", "/* -- GO", "*/ -- ; GO\n"},
      {"longest name in ascii", std::string(128, 'd'), std::string(1023, 'p')},
      {"longest name of closers", std::string(128, ']'), std::string(1023, '\'')},
      {"longest name in three-byte characters", repeat("€", 128), repeat("€", 341)},
      {"longest name in surrogate pairs", repeat("\xF0\x9F\x98\x80", 64), repeat("\xF0\x9F\x98\x80", 255) + "abc"},
      {"126 letters and a two-byte character", std::string(126, 'a') + "\xC3\xA9", "C:\\b.bak"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (int options = 0; options < 4; ++options)
      EXPECT_EQ(round_trip(c.database, c.path, options & 1, options & 2), "");
  }
}

TEST(Statements, FourByteCharacterGoesOnTheWireAsASurrogatePair) {
  backup_config cfg;
  ASSERT_EQ(parse_config(config_text("\xF0\x9F\x98\x80", "/p").c_str(), &cfg), 0);
  char sql[STATEMENT_CAP];
  ASSERT_TRUE(backup_statement(&cfg, sql, sizeof sql));
  std::vector<uint8_t> b = wire(sql);
  // "BACKUP DATABASE [" is 17 units, then U+1F600 as D83D DE00, then "]".
  ASSERT_GE(b.size(), 2u * 20);
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 34, b.begin() + 40),
            (std::vector<uint8_t>{0x3D, 0xD8, 0x00, 0xDE, ']', 0}));
}

TEST(Statements, RefusedWholeWhenTheBufferIsShort) {
  backup_config cfg;
  ASSERT_EQ(parse_config(config_text(std::string(128, ']'), std::string(1023, '\''), true, true).c_str(), &cfg), 0);
  char sql[STATEMENT_CAP];
  ASSERT_TRUE(backup_statement(&cfg, sql, sizeof sql));  // the longest statement fits the cap
  const size_t len = std::strlen(sql);
  EXPECT_EQ(len, 17 + 256 + 14 + 2046 + 16 + 13 + 11u);
  std::vector<char> exact(len + 1, 'X');
  EXPECT_TRUE(backup_statement(&cfg, exact.data(), exact.size()));
  std::vector<char> short_by_one(len, 'X');
  EXPECT_FALSE(backup_statement(&cfg, short_by_one.data(), short_by_one.size()));
  EXPECT_EQ(short_by_one[0], 0);
  EXPECT_FALSE(verify_statement(&cfg, 1, short_by_one.data(), 40));
  EXPECT_EQ(short_by_one[0], 0);
}

// Any bytes as the name and the path: the configuration is refused, or both
// statements read back as exactly the intended ones. The bytes are drawn so
// that closers, lead and continuation bytes and whole characters all come
// up often, and a good share of the configurations is accepted.
TEST(Statements, AnyNameAndPathIsRefusedOrReadsBackExactly) {
  const std::vector<std::string> pieces = {"a", "]", "'", "[", "N'", "--", ";", "\t", "\x01", "\xC3\xA9",
                                           "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xC1", "\xC2", "\xE0\x80",
                                           "\x80", "\xED\xA0\x80", "\xF4\x90", "\xFF", "\\", "\""};
  std::mt19937 rng(20261210);
  auto draw = [&](size_t max_pieces, bool valid_only) {
    std::string s;
    const size_t n = std::uniform_int_distribution<size_t>(1, max_pieces)(rng);
    for (size_t i = 0; i < n; ++i) {
      const std::string& p = pieces[std::uniform_int_distribution<size_t>(0, valid_only ? 11 : pieces.size() - 1)(rng)];
      s += p;
    }
    return s;
  };
  int accepted = 0;
  for (int i = 0; i < 4000; ++i) {
    const bool valid_only = i % 2 == 0;
    const std::string database = draw(i % 7 == 0 ? 160 : 20, valid_only);
    const std::string path = draw(i % 5 == 0 ? 400 : 40, valid_only);
    const std::string why = round_trip(database, path, i & 4, i & 8);
    if (why == "refused") continue;
    ++accepted;
    ASSERT_EQ(why, "") << "case " << i;
  }
  EXPECT_GT(accepted, 1000);
}

}  // namespace

namespace {

backup_config restore_config(const std::string& members) {
  backup_config cfg;
  const std::string text = "{\"user\":\"sa\",\"operation\":\"restore\"" + members + "}";
  EXPECT_EQ(parse_config(text.c_str(), &cfg), 0) << text;
  return cfg;
}

}  // namespace

// Every restore statement, exactly; names and texts from the host and from
// the server quoted the one way.
TEST(Statements, RestoreExactText) {
  const backup_config plain = restore_config(",\"database\":\"Sales]x\"");
  const backup_config full_options = restore_config(
      ",\"database\":\"copy\",\"source_database\":\"O'Neil\",\"stop_at\":\"2026-12-10 20:30:37.5\",\"replace\":true,"
      "\"checksum\":true,\"buffer_count\":8,\"max_transfer_size\":65536,\"block_size\":512,"
      "\"credential\":\"cr'ed\",\"backup_files\":[\"https://a/b\"]");
  restore_targets one{{"C:\\b'1.bak"}, 1};
  restore_targets two{{"https://h/x'y", "D:\\s2.bak"}, 2};
  restore_moves moves{{"sales", "sales_log"}, {"D:\\data\\copy.mdf", "E:\\l'og\\copy_log.ldf"}, 2};
  const size_t cap = RESTORE_STATEMENT_CAP;
  std::vector<char> sql(cap);
  char* out = sql.data();
  const std::string expected[] = {
      "SELECT CAST(SERVERPROPERTY('InstanceDefaultDataPath') AS nvarchar(4000)) AS data_path, "
      "CAST(SERVERPROPERTY('InstanceDefaultLogPath') AS nvarchar(4000)) AS log_path",
      "SELECT s.backup_set_id, s.media_set_id, s.position, s.type, s.is_copy_only, s.first_lsn, s.last_lsn, "
       "s.checkpoint_lsn, s.database_backup_lsn, s.differential_base_lsn, s.backup_start_date, "
       "s.backup_finish_date, s.database_guid, s.first_recovery_fork_guid, s.last_recovery_fork_guid, "
       "s.fork_point_lsn, m.media_family_count, f.family_sequence_number, f.physical_device_name, f.device_type "
       "FROM msdb.dbo.backupset AS s JOIN msdb.dbo.backupmediaset AS m ON m.media_set_id = s.media_set_id "
       "JOIN msdb.dbo.backupmediafamily AS f ON f.media_set_id = s.media_set_id WHERE s.database_name = N'Sales]x' "
       "ORDER BY s.backup_set_id, f.family_sequence_number",
      "SELECT s.backup_set_id, s.media_set_id, s.position, s.type, s.is_copy_only, s.first_lsn, s.last_lsn, "
       "s.checkpoint_lsn, s.database_backup_lsn, s.differential_base_lsn, s.backup_start_date, "
       "s.backup_finish_date, s.database_guid, s.first_recovery_fork_guid, s.last_recovery_fork_guid, "
       "s.fork_point_lsn, m.media_family_count, f.family_sequence_number, f.physical_device_name, f.device_type "
       "FROM msdb.dbo.backupset AS s JOIN msdb.dbo.backupmediaset AS m ON m.media_set_id = s.media_set_id "
       "JOIN msdb.dbo.backupmediafamily AS f ON f.media_set_id = s.media_set_id WHERE s.database_name = N'O''Neil' "
       "ORDER BY s.backup_set_id, f.family_sequence_number",
      "RESTORE LABELONLY FROM DISK = N'C:\\b''1.bak'",
      "RESTORE LABELONLY FROM URL = N'https://h/x''y' WITH CREDENTIAL = N'cr''ed'",
      "RESTORE HEADERONLY FROM URL = N'https://h/x''y', DISK = N'D:\\s2.bak' WITH CREDENTIAL = N'cr''ed'",
      "RESTORE FILELISTONLY FROM DISK = N'C:\\b''1.bak' WITH FILE = 3",
      "RESTORE DATABASE [Sales]]x] FROM DISK = N'C:\\b''1.bak' WITH FILE = 1, NORECOVERY, STATS = 5",
      "RESTORE DATABASE [copy] FROM URL = N'https://h/x''y', DISK = N'D:\\s2.bak' WITH FILE = 2, NORECOVERY, "
       "MOVE N'sales' TO N'D:\\data\\copy.mdf', MOVE N'sales_log' TO N'E:\\l''og\\copy_log.ldf', REPLACE, "
       "CHECKSUM, BUFFERCOUNT = 8, MAXTRANSFERSIZE = 65536, BLOCKSIZE = 512, CREDENTIAL = N'cr''ed', STATS = 5",
      "RESTORE DATABASE [copy] FROM DISK = N'C:\\b''1.bak' WITH FILE = 4, NORECOVERY, CHECKSUM, "
       "BUFFERCOUNT = 8, MAXTRANSFERSIZE = 65536, BLOCKSIZE = 512, CREDENTIAL = N'cr''ed', STATS = 5",
      "RESTORE LOG [copy] FROM DISK = N'C:\\b''1.bak' WITH FILE = 5, NORECOVERY, "
       "STOPAT = N'2026-12-10T20:30:37.5', CHECKSUM, BUFFERCOUNT = 8, MAXTRANSFERSIZE = 65536, BLOCKSIZE = 512, "
       "CREDENTIAL = N'cr''ed', STATS = 5",
      "RESTORE LOG [Sales]]x] FROM DISK = N'C:\\b''1.bak' WITH FILE = 6, NORECOVERY, STATS = 5",
      "RESTORE DATABASE [Sales]]x] WITH RECOVERY",
  };
  int i = 0;
  auto check = [&](bool ok, const std::string& expected) {
    SCOPED_TRACE(i++);
    EXPECT_TRUE(ok);
    EXPECT_EQ(std::string(out), expected);
  };
  check(restore_folders_statement(out, cap), expected[0]);
  check(restore_history_statement(&plain, out, cap), expected[1]);
  check(restore_history_statement(&full_options, out, cap), expected[2]);
  check(restore_labelonly_statement(&plain, "C:\\b'1.bak", out, cap), expected[3]);
  check(restore_labelonly_statement(&full_options, "https://h/x'y", out, cap), expected[4]);
  check(restore_headeronly_statement(&full_options, &two, out, cap), expected[5]);
  check(restore_filelist_statement(&plain, &one, 3, out, cap), expected[6]);
  check(restore_step_statement(&plain, STEP_FULL, &one, 1, nullptr, false, out, cap), expected[7]);
  check(restore_step_statement(&full_options, STEP_FULL, &two, 2, &moves, true, out, cap), expected[8]);
  check(restore_step_statement(&full_options, STEP_DIFFERENTIAL, &one, 4, &moves, true, out, cap), expected[9]);
  check(restore_step_statement(&full_options, STEP_LOG, &one, 5, &moves, true, out, cap), expected[10]);
  check(restore_step_statement(&plain, STEP_LOG, &one, 6, nullptr, false, out, cap), expected[11]);
  check(restore_recovery_statement(&plain, out, cap), expected[12]);
}

// The restore test's statements: the claim and the identity checks name the
// copy only through quoted literals, CHECKDB only a copy claimed and
// restored into, and the DROP only a recorded identity.
TEST(Statements, RestoreTestExactText) {
  EXPECT_STREQ(database_files_statement(), "SELECT physical_name FROM sys.master_files");
  char out[STATEMENT_CAP];
  ASSERT_TRUE(claim_statement("a'b ", out, sizeof out));
  EXPECT_STREQ(out,
               "DECLARE @claim int, @resource nvarchar(255) = N'vaultrun scratch ' + UPPER(RTRIM(N'a''b ')); "
               "EXEC @claim = sp_getapplock @Resource = @resource, @LockMode = 'Exclusive', @LockOwner = 'Session', "
               "@LockTimeout = 0; SELECT @claim AS claim, DB_ID(N'a''b ') AS database_id, "
               "CAST(SERVERPROPERTY('ServerName') AS nvarchar(256)) AS server_name, "
               "CONVERT(varchar(23), GETDATE(), 126) AS server_time");
  EXPECT_FALSE(claim_statement("", out, sizeof out));
  ASSERT_TRUE(database_id_statement("msdb ", out, sizeof out));
  EXPECT_STREQ(out, "SELECT DB_ID(N'msdb ') AS database_id");

  scratch_copy copy{"a]b'c", true, true, "SRV", "2026-12-11T05:00:00.123"};
  ASSERT_TRUE(identity_statement(&copy, out, sizeof out));
  EXPECT_STREQ(out,
               "SELECT d.database_id, CONVERT(varchar(23), d.create_date, 126) AS create_date, "
               "CAST(SERVERPROPERTY('ServerName') AS nvarchar(256)) AS server_name FROM sys.databases AS d "
               "WHERE d.database_id = DB_ID(N'a]b''c') AND d.create_date >= "
               "CONVERT(datetime, N'2026-12-11T05:00:00.123', 126)");
  ASSERT_TRUE(checkdb_statement(&copy, CHECKDB_PHYSICAL_ONLY, out, sizeof out));
  EXPECT_STREQ(out, "DBCC CHECKDB ([a]]b'c]) WITH NO_INFOMSGS, ALL_ERRORMSGS, PHYSICAL_ONLY");
  const struct {
    const char* name;
    scratch_copy copy;
    int32_t mode;
  } unrestored[] = {
      {"not restored into", {"x", true, false, "S", "2026-01-01T00:00:00"}, CHECKDB_FULL},
      {"not claimed free", {"x", false, true, "S", "2026-01-01T00:00:00"}, CHECKDB_FULL},
      {"no name", {"", true, true, "S", "2026-01-01T00:00:00"}, CHECKDB_FULL},
      {"none checks nothing", {"x", true, true, "S", "2026-01-01T00:00:00"}, CHECKDB_NONE},
  };
  for (const auto& c : unrestored) {
    SCOPED_TRACE(c.name);
    std::memset(out, 'X', sizeof out);
    EXPECT_FALSE(checkdb_statement(&c.copy, c.mode, out, sizeof out));
    EXPECT_STREQ(out, "");
    if (c.mode == CHECKDB_NONE) continue;
    EXPECT_FALSE(identity_statement(&c.copy, out, sizeof out));
  }

  copy_identity id{"a]b'c", "SRV'1", "2026-12-11T05:00:01.5", 7, true};
  ASSERT_TRUE(drop_statement(&id, out, sizeof out));
  EXPECT_STREQ(out,
               "IF DB_ID(N'a]b''c') = 7 AND CAST(SERVERPROPERTY('ServerName') AS nvarchar(256)) = N'SRV''1' AND "
               "EXISTS (SELECT 1 FROM sys.databases WHERE database_id = 7 AND CONVERT(varchar(23), create_date, 126) = "
               "N'2026-12-11T05:00:01.5') DROP DATABASE [a]]b'c] ELSE "
               "RAISERROR(N'not the restore test''s copy', 16, 1)");
  ASSERT_TRUE(gone_statement(&id, out, sizeof out));
  EXPECT_STREQ(out,
               "SELECT CASE WHEN CAST(SERVERPROPERTY('ServerName') AS nvarchar(256)) = N'SRV''1' THEN "
               "(SELECT COUNT(*) FROM sys.databases WHERE database_id = 7 AND CONVERT(varchar(23), create_date, 126) = "
               "N'2026-12-11T05:00:01.5') ELSE -1 END AS present, "
               "CAST(SERVERPROPERTY('ServerName') AS nvarchar(256)) AS server_name");
  // Only a whole recorded identity of a user database can be dropped.
  const struct {
    const char* name;
    copy_identity id;
  } refused[] = {
      {"not recorded", {"x", "S", "2026-01-01T00:00:00", 7, false}},
      {"a system database's id", {"x", "S", "2026-01-01T00:00:00", 4, true}},
      {"no server", {"x", "", "2026-01-01T00:00:00", 7, true}},
      {"no create date", {"x", "S", "", 7, true}},
      {"no name", {"", "S", "2026-01-01T00:00:00", 7, true}},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    std::memset(out, 'X', sizeof out);
    EXPECT_FALSE(drop_statement(&c.id, out, sizeof out));
    EXPECT_STREQ(out, "");
    EXPECT_FALSE(gone_statement(&c.id, out, sizeof out));
  }
  // The longest name, every byte doubled, fits; one byte less of room refuses.
  const std::string longest(128, ']');
  copy_identity big{};
  std::memcpy(big.name, longest.c_str(), longest.size() + 1);
  std::memcpy(big.server, "S", 2);
  std::memcpy(big.create_date, "2026-01-01T00:00:00.000", 24);
  big.database_id = INT32_MAX;
  big.recorded = true;
  ASSERT_TRUE(drop_statement(&big, out, sizeof out));
  const size_t len = std::strlen(out);
  EXPECT_FALSE(drop_statement(&big, out, len));
  EXPECT_STREQ(out, "");
}

// The longest inputs fit the cap; one byte less of room refuses whole.
TEST(Statements, RestoreLongestFitsAndShortRoomRefuses) {
  const std::string db(128, '\'');
  backup_config cfg = restore_config(",\"database\":\"" + std::string(126, ']') + "ab\",\"stop_at\":"
                                     "\"2026-12-10T20:30:37.1234567\",\"checksum\":true,\"credential\":\"" +
                                     std::string(128, '\'') + "\"");
  static std::string paths[MAX_RESTORE_TARGETS];
  restore_targets t{};
  for (int i = 0; i < MAX_RESTORE_TARGETS; ++i) {
    paths[i] = std::string(1023, '\'');
    t.path[i] = paths[i].c_str();
  }
  t.count = MAX_RESTORE_TARGETS;
  static std::string logical(3 * 128, '\''), physical(1023, '\'');
  restore_moves m{};
  for (int i = 0; i < MAX_RESTORE_FILES; ++i) {
    m.logical[i] = logical.c_str();
    m.physical[i] = physical.c_str();
  }
  m.count = MAX_RESTORE_FILES;
  std::vector<char> sql(RESTORE_STATEMENT_CAP);
  ASSERT_TRUE(restore_step_statement(&cfg, STEP_FULL, &t, 32767, &m, true, sql.data(), sql.size()));
  const size_t len = std::strlen(sql.data());
  EXPECT_FALSE(restore_step_statement(&cfg, STEP_FULL, &t, 32767, &m, true, sql.data(), len));
  EXPECT_STREQ(sql.data(), "");
}

// The listing without "details" or "include_system" is the statement hosts
// have always sent; the other forms differ only where the keys ask.
TEST(Statements, ListingForms) {
  const std::string plain = listing_statement(false, false);
  EXPECT_EQ(plain,
            "SELECT d.name, CAST(SUM(mf.size) * 8 / 1024 AS INT), d.recovery_model_desc FROM "
            "sys.databases d JOIN sys.master_files mf ON mf.database_id = d.database_id WHERE "
            "d.database_id > 4 AND d.state = 0 GROUP BY d.name, d.recovery_model_desc ORDER BY d.name");
  std::string system = listing_statement(false, true);
  EXPECT_EQ(system.replace(system.find("d.database_id <> 2"), 18, "d.database_id > 4"), plain);
  const std::string details = listing_statement(true, false);
  EXPECT_EQ(details.find("d.state = 0"), std::string::npos);
  EXPECT_NE(details.find("sys.fn_hadr_backup_is_preferred_replica(d.name)"), std::string::npos);
  EXPECT_NE(details.find("b.type = 'D' AND b.is_copy_only = 0"), std::string::npos);
  EXPECT_NE(details.find("WHERE d.database_id > 4 GROUP BY"), std::string::npos);
  EXPECT_NE(std::string(listing_statement(true, true)).find("WHERE d.database_id <> 2 GROUP BY"), std::string::npos);
}

// A cleanup's history query and its deletion of one file: the database and
// the path (a server's text) quoted the one way; a path that is not UTF-8
// is refused whole.
TEST(Statements, CleanupExactText) {
  backup_config cfg;
  ASSERT_EQ(parse_config("{\"user\":\"sa\",\"database\":\"o'brien]\",\"operation\":\"cleanup\",\"keep_hours\":24,"
                         "\"folders\":[\"C:\\\\bk\"]}",
                         &cfg),
            0);
  char out[8192];
  ASSERT_TRUE(cleanup_history_statement(&cfg, out, sizeof out));
  const std::string history = out;
  EXPECT_NE(history.find("WHERE b.database_name = N'o''brien]')) ORDER BY s.backup_set_id, f.family_sequence_number"),
            std::string::npos)
      << history;
  EXPECT_EQ(history.find("o'b"), std::string::npos);
  // The planner keeps incarnations, recovery paths and striped sets apart as the restore does.
  EXPECT_NE(history.find("s.database_guid, s.first_recovery_fork_guid, s.last_recovery_fork_guid, s.fork_point_lsn, "
                         "m.media_family_count"),
            std::string::npos)
      << history;
  ASSERT_TRUE(delete_file_statement("C:\\bk\\it's;--.bak", out, sizeof out));
  EXPECT_STREQ(out, "EXECUTE master.dbo.xp_delete_file 0, N'C:\\bk\\it''s;--.bak'");
  EXPECT_FALSE(delete_file_statement("C:\\bk\\\xC3.bak", out, sizeof out));
  EXPECT_FALSE(delete_file_statement("", out, sizeof out));
  EXPECT_FALSE(delete_file_statement("C:\\bk\\a.bak", out, 40));  // short room refuses, never cuts
}
