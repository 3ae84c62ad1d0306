// The backup kinds end to end against the simulated server: a full,
// differential and log chain appended to one file, the verification of the
// set just written (not the file's first), overwriting, stripes, URL
// targets, and the server's refusals of each kind.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "script_peer.h"
#include "session_run.h"
#include "sim_process.h"
#include "strict_json.h"
#include "tds_client/tds_client.h"
#include "vaultrun.h"

namespace {

using vaultrun_test::read_lines;
using vaultrun_test::SimProcess;
using vaultrun_test::TempDir;
namespace fs = std::filesystem;

std::string json_text(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// Runs one backup session to its end; its result document.
std::string run_backup(int port, const std::string& database, const std::string& members) {
  return vaultrun_test::run_session("{\"port\":" + std::to_string(port) +
                                    ",\"user\":\"sa\",\"password\":\"vaultrun\",\"database\":\"" +
                                    json_text(database) + "\"" + members + "}");
}

std::string out_path(const std::string& path) { return ",\"out_path\":\"" + json_text(path) + "\""; }

// What a success document says past its elapsed time, or "" when it is none.
std::string done_tail(const std::string& result, const std::string& first_target) {
  const std::regex doc(R"re(\{"ok":true,"out_path":"(.*)","verified":true,"pages":(\d+),"elapsed_ms":\d+(.*)\})re");
  std::smatch m;
  if (!std::regex_match(result, m, doc) || m[1].str() != json_text(first_target)) return "";
  return "pages " + m[2].str() + m[3].str();
}

// One statement on a connection of its own: "" when the server accepted it,
// else the error text.
std::string exec_alone(int port, const std::string& sql) {
  tds_conn c;
  if (tds_connect(&c, "127.0.0.1", port, "sa", "vaultrun", nullptr) != 0) return std::string("login: ") + c.err;
  const int rc = tds_exec(&c, sql.c_str(), nullptr, nullptr, 0);
  std::string why = rc < 0 ? c.err : "";
  tds_close(&c);
  return why;
}

class BackupKinds : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(BackupKinds, FullDifferentialAndLogChainInOneFileVerifiesEachNewSet) {
  const std::string log = dir.file("sim.log");
  SimProcess sim({"--backup-ms", "20", "--log", log});
  ASSERT_TRUE(sim.ok()) << sim.error();
  const std::string bak = dir.file("inventory.bak");
  // inventory: 64 MB in the FULL recovery model.
  EXPECT_EQ(done_tail(run_backup(sim.port(), "inventory", out_path(bak) + ",\"type\":\"full\""), bak),
            "pages 8192,\"type\":\"full\",\"position\":1");
  EXPECT_EQ(done_tail(run_backup(sim.port(), "inventory", out_path(bak) + ",\"type\":\"differential\""), bak),
            "pages 1024,\"type\":\"differential\",\"position\":2");
  EXPECT_EQ(done_tail(run_backup(sim.port(), "inventory", out_path(bak) + ",\"type\":\"log\",\"checksum\":true"), bak),
            "pages 512,\"type\":\"log\",\"position\":3");
  // Unverified, the set's position is not known, whatever the slot held before.
  const std::regex unverified(R"re(\{"ok":true,"out_path":".*","verified":false,"pages":512,"elapsed_ms":\d+,"type":"log","position":null\})re");
  EXPECT_TRUE(std::regex_match(
      run_backup(sim.port(), "inventory", out_path(bak) + ",\"type\":\"log\",\"verify\":false"), unverified));
  std::vector<std::string> verifies;
  for (const std::string& line : read_lines(log)) {
    if (line.rfind("RESTORE", 0) == 0) verifies.push_back(line);
  }
  EXPECT_EQ(verifies, (std::vector<std::string>{"RESTORE VERIFYONLY FROM DISK = N'" + bak + "' WITH FILE = 1",
                                                "RESTORE VERIFYONLY FROM DISK = N'" + bak + "' WITH FILE = 2",
                                                "RESTORE VERIFYONLY FROM DISK = N'" + bak + "' WITH FILE = 3, CHECKSUM"}));
  // A checksum is verified only where the set carries one.
  EXPECT_EQ(exec_alone(sim.port(), "RESTORE VERIFYONLY FROM DISK = N'" + bak + "' WITH FILE = 3, CHECKSUM"), "");
  EXPECT_EQ(exec_alone(sim.port(), "RESTORE VERIFYONLY FROM DISK = N'" + bak + "' WITH FILE = 1, CHECKSUM"),
            "RESTORE WITH CHECKSUM cannot be specified because the backup set does not contain checksum "
            "information.\nVERIFY DATABASE is terminating abnormally.");
  EXPECT_EQ(exec_alone(sim.port(), "RESTORE VERIFYONLY FROM DISK = N'" + bak + "' WITH FILE = 5"),
            "Cannot find file ID 5 on device '" + bak + "'.\nVERIFY DATABASE is terminating abnormally.");
}

// A host backing up to the same path every day: the file's first set is
// sound, the set just appended is damaged. The verification must check the
// new set and fail, where checking the file's first set would pass.
TEST_F(BackupKinds, AppendedSetIsTheOneVerifiedAndADamagedOneFails) {
  const std::string bak = dir.file("hr.bak");
  {
    SimProcess sound({"--backup-ms", "10"});
    ASSERT_TRUE(sound.ok()) << sound.error();
    EXPECT_EQ(done_tail(run_backup(sound.port(), "hr", out_path(bak)), bak), "pages 2048");
  }
  SimProcess failing({"--backup-ms", "10", "--corrupt-newest"});
  ASSERT_TRUE(failing.ok()) << failing.error();
  EXPECT_EQ(run_backup(failing.port(), "hr", out_path(bak)),
            "{\"ok\":false,\"error\":\"Damage to the backup set was detected.\\nVERIFY DATABASE is terminating "
            "abnormally.\"}");
  // What the verification without FILE checked before: the first set, which passes.
  EXPECT_EQ(exec_alone(failing.port(), "RESTORE VERIFYONLY FROM DISK = N'" + bak + "'"), "");
  EXPECT_NE(exec_alone(failing.port(), "RESTORE VERIFYONLY FROM DISK = N'" + bak + "' WITH FILE = 2"), "");
}

TEST_F(BackupKinds, InitOverwritesTheEarlierSets) {
  SimProcess sim({"--backup-ms", "10"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  const std::string bak = dir.file("hr.bak");
  EXPECT_EQ(done_tail(run_backup(sim.port(), "hr", out_path(bak) + ",\"init\":true"), bak),
            "pages 2048,\"type\":\"full\",\"position\":1");
  const auto one_set = fs::file_size(bak);
  EXPECT_EQ(done_tail(run_backup(sim.port(), "hr", out_path(bak)), bak), "pages 2048");
  EXPECT_EQ(fs::file_size(bak), 2 * one_set);
  EXPECT_EQ(done_tail(run_backup(sim.port(), "hr", out_path(bak) + ",\"init\":true"), bak),
            "pages 2048,\"type\":\"full\",\"position\":1");
  EXPECT_EQ(fs::file_size(bak), one_set);
}

TEST_F(BackupKinds, StripesAreSeparateFilesAndAllAreNeededToVerify) {
  SimProcess sim({"--backup-ms", "10"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  const std::string a = dir.file("hr-1.bak"), b = dir.file("hr-2.bak"), c = dir.file("hr-3.bak");
  const std::string stripes = ",\"stripes\":[\"" + json_text(a) + "\",\"" + json_text(b) + "\",\"" + json_text(c) + "\"]";
  EXPECT_EQ(done_tail(run_backup(sim.port(), "hr", stripes), a),
            "pages 2048,\"type\":\"full\",\"position\":1,\"stripes\":3");
  EXPECT_TRUE(fs::exists(a) && fs::exists(b) && fs::exists(c));
  EXPECT_EQ(exec_alone(sim.port(), "RESTORE VERIFYONLY FROM DISK = N'" + a + "', DISK = N'" + c + "'"),
            "The media set has 3 media families but only 2 are provided. All members must be provided.\n"
            "VERIFY DATABASE is terminating abnormally.");
  // Appending to the stripes with another number of them is refused.
  const std::string two = ",\"stripes\":[\"" + json_text(a) + "\",\"" + json_text(b) + "\"]";
  EXPECT_EQ(run_backup(sim.port(), "hr", two),
            "{\"ok\":false,\"error\":\"The media loaded on \\\"" + a +
                "\\\" is formatted to support 3 media families, but 2 media families are expected according to the "
                "backup device specification.\\nBACKUP DATABASE is terminating abnormally.\"}");
}

TEST_F(BackupKinds, UrlTargetsNeedACredential) {
  SimProcess sim({"--backup-ms", "10", "--url-root", dir.path(), "--credential", "https://acct.blob/sas",
                  "--credential", "keycred"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  // A credential named after the container: none in the statement.
  const std::string sas = "https://acct.blob/sas/hr.bak";
  EXPECT_EQ(done_tail(run_backup(sim.port(), "hr", out_path(sas)), sas), "pages 2048");
  EXPECT_TRUE(fs::exists(dir.file("acct.blob/sas/hr.bak")));
  // A credential named in the statement.
  const std::string keyed = "https://acct.blob/keyed/hr.bak";
  EXPECT_EQ(done_tail(run_backup(sim.port(), "hr", out_path(keyed) + ",\"credential\":\"keycred\""), keyed),
            "pages 2048,\"type\":\"full\",\"position\":1");
  // Neither.
  const std::string bare = "s3://minio.local/bucket/hr.bak";
  EXPECT_EQ(run_backup(sim.port(), "hr", out_path(bare)),
            "{\"ok\":false,\"error\":\"Cannot open backup device '" + bare +
                "'. Operating system error 50(The request is not supported.).\\nBACKUP DATABASE is terminating "
                "abnormally.\"}");
}

// What the server refuses, with its own texts, ended by 3013.
TEST_F(BackupKinds, ServerRefusalsOfEachKind) {
  SimProcess sim({"--backup-ms", "10", "--certificate", "BackupCert"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  const std::string bak = dir.file("x.bak");
  const struct {
    const char* name;
    const char* database;
    std::string members;
    std::string error;
  } cases[] = {
      {"differential without a full backup", "hr", out_path(bak) + ",\"type\":\"differential\"",
       "Cannot perform a differential backup for database \\\"hr\\\", because a current database backup does not "
       "exist. Perform a full database backup by reissuing BACKUP DATABASE, omitting the WITH DIFFERENTIAL "
       "option.\\nBACKUP DATABASE is terminating abnormally."},
      {"log in the SIMPLE recovery model", "sales", out_path(bak) + ",\"type\":\"log\"",
       "The statement BACKUP LOG is not allowed while the recovery model is SIMPLE. Use BACKUP DATABASE or change "
       "the recovery model using ALTER DATABASE.\\nBACKUP LOG is terminating abnormally."},
      {"log without a full backup", "inventory", out_path(bak) + ",\"type\":\"log\"",
       "BACKUP LOG cannot be performed because there is no current database backup.\\nBACKUP LOG is terminating "
       "abnormally."},
      {"unknown certificate", "hr", out_path(bak) + ",\"encryption\":\"AES_256\",\"server_certificate\":\"Nope\"",
       "Cannot find the certificate 'Nope', because it does not exist or you do not have permission.\\nBACKUP "
       "DATABASE is terminating abnormally."},
      {"unknown asymmetric key", "hr", out_path(bak) + ",\"encryption\":\"AES_128\",\"server_asymmetric_key\":\"K\"",
       "Cannot find the asymmetric key 'K', because it does not exist or you do not have permission.\\nBACKUP "
       "DATABASE is terminating abnormally."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(run_backup(sim.port(), c.database, c.members), "{\"ok\":false,\"error\":\"" + c.error + "\"}");
  }
  EXPECT_FALSE(fs::exists(bak));
  // The known certificate encrypts.
  EXPECT_EQ(done_tail(run_backup(sim.port(), "hr",
                                 out_path(bak) + ",\"encryption\":\"AES_256\",\"server_certificate\":\"BackupCert\""),
                      bak),
            "pages 2048,\"type\":\"full\",\"position\":1");
}

TEST_F(BackupKinds, EditionWithoutCompressionRefusesIt) {
  SimProcess sim({"--backup-ms", "10", "--edition", "Express Edition (64-bit)"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  const std::string bak = dir.file("hr.bak");
  EXPECT_EQ(run_backup(sim.port(), "hr", out_path(bak)),
            "{\"ok\":false,\"error\":\"BACKUP DATABASE WITH COMPRESSION is not supported on Express Edition "
            "(64-bit).\\nBACKUP DATABASE is terminating abnormally.\"}");
  EXPECT_EQ(done_tail(run_backup(sim.port(), "hr", out_path(bak) + ",\"compression\":false"), bak), "pages 2048");
}

// A server whose history holds no row for the set: the verification fails
// with its own text, and no verification statement is sent at all.
TEST_F(BackupKinds, SetMissingFromTheHistoryFailsTheVerification) {
  using namespace vaultrun_test;
  ScriptPeer peer;
  peer.accept_login().read_message().send(tds_message(0x04, tds_done_token(0)));
  peer.read_message().send(tds_message(0x04, tds_int_result("position", -1)));
  peer.start();
  EXPECT_EQ(run_backup(peer.port(), "hr", out_path("/b.bak")),
            "{\"ok\":false,\"error\":\"cannot find the backup set just written in the server's backup history\"}");
  ASSERT_TRUE(peer.wait_done());
  EXPECT_EQ(peer.reads().size(), 4u);  // PRELOGIN, LOGIN7, the backup, the history query
}

}  // namespace
