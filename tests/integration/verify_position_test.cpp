// Which backup set the verification checks when the server's backup
// history cannot say: a login refused the history, a history with no row for
// the set, a backup that does not report its set's position, and a history
// and messages that disagree. The simulated server plays the first and the
// third; scripted peers play exact answers for the rest.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "script_peer.h"
#include "session_run.h"
#include "sim_process.h"

namespace {

using vaultrun_test::read_lines;
using vaultrun_test::SimProcess;
using vaultrun_test::TempDir;

// Runs one backup session to its end as user; its result document.
std::string run_backup(int port, const std::string& user, const std::string& password, const std::string& path) {
  return vaultrun_test::run_session("{\"port\":" + std::to_string(port) + ",\"user\":\"" + user +
                                    "\",\"password\":\"" + password +
                                    "\",\"database\":\"hr\",\"out_path\":\"" + path + "\",\"type\":\"full\"}");
}

// The verification statements the server saw, in order.
std::vector<std::string> verifies(const std::string& log) {
  std::vector<std::string> out;
  for (const std::string& line : read_lines(log)) {
    if (line.rfind("RESTORE VERIFYONLY", 0) == 0) out.push_back(line);
  }
  return out;
}

bool done_at(const std::string& result, int position) {
  return result.rfind("{\"ok\":true,", 0) == 0 &&
         result.find(",\"position\":" + std::to_string(position) + "}") != std::string::npos;
}

const std::string DENIED =
    "The SELECT permission was denied on the object 'backupset', database 'msdb', schema 'dbo'.";

// A login with backup rights alone: the backup's own message names the set,
// so the second set in the file is the one verified.
TEST(VerifyPosition, HistoryRefusedUsesTheBackupsMessage) {
  TempDir dir;
  const std::string log = dir.file("sim.log");
  SimProcess sim({"--backup-ms", "10", "--login", "op:pw", "--deny-history", "op", "--log", log});
  ASSERT_TRUE(sim.ok()) << sim.error();
  const std::string bak = dir.file("hr.bak");
  EXPECT_TRUE(done_at(run_backup(sim.port(), "op", "pw", bak), 1));
  EXPECT_TRUE(done_at(run_backup(sim.port(), "op", "pw", bak), 2));
  EXPECT_EQ(verifies(log), (std::vector<std::string>{"RESTORE VERIFYONLY FROM DISK = N'" + bak + "' WITH FILE = 1",
                                                     "RESTORE VERIFYONLY FROM DISK = N'" + bak + "' WITH FILE = 2"}));
  // Another login still reads the history.
  EXPECT_TRUE(done_at(run_backup(sim.port(), "sa", "vaultrun", bak), 3));
}

// Neither the history nor a message: the history's refusal is the failure,
// and nothing is verified.
TEST(VerifyPosition, NeitherKnownFailsAsBefore) {
  TempDir dir;
  const std::string log = dir.file("sim.log");
  SimProcess sim({"--backup-ms", "10", "--login", "op:pw", "--deny-history", "op", "--omit-position-message",
                  "--log", log});
  ASSERT_TRUE(sim.ok()) << sim.error();
  EXPECT_EQ(run_backup(sim.port(), "op", "pw", dir.file("hr.bak")), "{\"ok\":false,\"error\":\"" + DENIED + "\"}");
  EXPECT_TRUE(verifies(log).empty());
  // Without the message the history alone finds the set, but only when it
  // holds no other set of the database on that device in the backup's
  // window: the first, written seconds ago before its check failed, may as
  // well be the newer one, so nothing is verified.
  EXPECT_EQ(run_backup(sim.port(), "sa", "vaultrun", dir.file("hr.bak")),
            "{\"ok\":false,\"error\":\"another backup set of the database finished on the same device meanwhile, and "
            "the server did not name the set just written\"}");
  EXPECT_TRUE(done_at(run_backup(sim.port(), "sa", "vaultrun", dir.file("hr2.bak")), 1));
  EXPECT_EQ(verifies(log), (std::vector<std::string>{"RESTORE VERIFYONLY FROM DISK = N'" + dir.file("hr2.bak") +
                                                     "' WITH FILE = 1"}));
}

// The statements the server saw that start with head.
std::vector<std::string> logged(const std::string& log, const std::string& head) {
  std::vector<std::string> out;
  for (const std::string& line : read_lines(log)) {
    if (line.rfind(head, 0) == 0) out.push_back(line);
  }
  return out;
}

const std::string LATER_NO_MESSAGE =
    "another backup set of the database finished on the same device meanwhile, and the server did not name the "
    "set just written";
const std::string DISAGREE = "the backup history and the server's messages disagree on the backup set's position";

// Another backup of the same database finishes right after this one, before
// its answer: the set just written is not the newest in the history. Neither
// the verification nor the restore test may check that later set in its
// place; a later set in another file leaves the history's row of this
// backup's own device, so a full backup is still checked, at its position.
// A differential or log proven by a restore test restores the newest chain,
// which ends in the other file, and so fails.
TEST(VerifyPosition, ALaterSetInTheHistoryIsNeverCheckedInItsPlace) {
  const struct {
    const char* what;
    const char* later;      // --later-set
    bool message;           // the backup reports its set's position
    std::string extra;      // configuration members
    std::string expected;   // "": success, the set at position 1 (this backup's) checked
  } cases[] = {
      {"verified, later set on the device", "same", true, "", DISAGREE},
      {"verified, later set on the device, no message", "same", false, "", LATER_NO_MESSAGE},
      {"verified, later set in another file", "other", true, "", ""},
      {"verified, later set in another file, no message", "other", false, "", ""},
      {"full proven, later set on the device", "same", true, R"(,"verify":"restore")", DISAGREE},
      {"full proven, later set on the device, no message", "same", false, R"(,"verify":"restore")",
       LATER_NO_MESSAGE},
      {"full proven, later set in another file", "other", false, R"(,"verify":"restore")", ""},
      {"differential proven, later set on the device, no message", "same", false,
       R"(,"verify":"restore","type":"differential")", LATER_NO_MESSAGE},
      {"differential proven, later set in another file", "other", true,
       R"(,"verify":"restore","type":"differential")",
       "restore test failed: the backup just written is not the newest in the history"},
      {"log proven, later set in another file", "other", false, R"(,"verify":"restore","type":"log")",
       "restore test failed: the backup just written is not the newest in the history"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string log = dir.file("sim.log");
    std::vector<std::string> args = {"--backup-ms", "10", "--later-set", c.later, "--log", log};
    if (!c.message) args.push_back("--omit-position-message");
    SimProcess sim(args);
    ASSERT_TRUE(sim.ok()) << sim.error();
    const std::string head = "{\"port\":" + std::to_string(sim.port()) +
                             ",\"user\":\"sa\",\"password\":\"vaultrun\",\"database\":\"inventory\",\"out_path\":\"";
    // A full backup first (with its own later set), unchecked, in a file of its own:
    // the one the differential and the log build on.
    const std::string base = vaultrun_test::run_session(head + dir.file("base.bak") + "\",\"verify\":false}");
    ASSERT_EQ(base.rfind("{\"ok\":true,", 0), 0u) << base;
    const std::string bak = dir.file("inventory.bak");
    const std::string result = vaultrun_test::run_session(head + bak + "\"" + c.extra + "}");
    const bool proven = c.extra.find("restore") != std::string::npos;
    if (c.expected.empty()) {
      EXPECT_EQ(result.rfind("{\"ok\":true,", 0), 0u) << result;
      EXPECT_NE(result.find("\"verified\":true"), std::string::npos) << result;
      if (proven) {
        EXPECT_NE(result.find(bak + "\",\"position\":1"), std::string::npos) << result;
      } else {
        EXPECT_EQ(logged(log, "RESTORE VERIFYONLY"),
                  (std::vector<std::string>{"RESTORE VERIFYONLY FROM DISK = N'" + bak + "' WITH FILE = 1"}));
      }
    } else {
      EXPECT_EQ(result.rfind("{\"ok\":false,\"error\":\"" + c.expected + "\"", 0), 0u) << result;
      EXPECT_EQ(result.find("\"verified\":true"), std::string::npos) << result;
      EXPECT_TRUE(logged(log, "RESTORE VERIFYONLY").empty());
    }
    if (proven && c.expected != "" && c.expected.rfind("restore test failed", 0) != 0) {
      // Refused before the test: nothing restored.
      EXPECT_TRUE(logged(log, "RESTORE DATABASE [inventory_").empty());
    }
  }
}

bytes info(int32_t number, const std::string& text) { return tds_msg_token(0xAB, number, 10, text); }

const std::string FILE_MESSAGE = "Processed 10 pages for database 'hr', file 'hr' on file 3.";
const std::string LOG_MESSAGE = "Processed 2 pages for database 'hr', file 'hr_log' on file 3.";

// Scripted answers to the backup and the history query; the verification's
// answer (when it comes) is a plain DONE.
struct Case {
  const char* what;
  std::vector<std::string> messages;  // of the backup, as INFO 4035
  bytes history;                      // the history query's answer
  std::string expected;               // the result, or "" for success at FILE = 3
};

TEST(VerifyPosition, ScriptedHistoryAndMessages) {
  const bytes refused = cat({tds_msg_token(0xAA, 229, 14, DENIED), tds_done_token(0x0002)});
  const bytes other_error = cat({tds_msg_token(0xAA, 208, 16, "Invalid object name 'msdb.dbo.backupset'."),
                                 tds_done_token(0x0002)});
  const Case cases[] = {
      {"no row: the message's position", {FILE_MESSAGE, LOG_MESSAGE}, tds_int_result("position", -1), ""},
      {"refused: the message's position", {FILE_MESSAGE}, refused, ""},
      {"both agree", {FILE_MESSAGE}, tds_int_result("position", 3), ""},
      {"they disagree", {FILE_MESSAGE}, tds_int_result("position", 2),
       "the backup history and the server's messages disagree on the backup set's position"},
      // Messages that disagree among themselves vouch for nothing.
      {"messages disagree, history has it", {FILE_MESSAGE, "Processed 2 pages for database 'hr', file 'hr_log' on file 4."},
       tds_int_result("position", 3), ""},
      {"messages disagree, no row", {FILE_MESSAGE, "Processed 2 pages for database 'hr', file 'hr_log' on file 4."},
       tds_int_result("position", -1), "cannot find the backup set just written in the server's backup history"},
      // A name that reads like the end of the message does not count.
      {"a name holding the words", {"Processed 10 pages for database 'hr', file 'x on file 7.' on file 3."},
       tds_int_result("position", -1), ""},
      {"another error is no refusal", {FILE_MESSAGE}, other_error, "Invalid object name 'msdb.dbo.backupset'."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptPeer peer;
    bytes backup;
    for (const std::string& m : c.messages) backup = cat({backup, info(4035, m)});
    backup = cat({backup, tds_done_token(0)});
    peer.accept_login().read_message().send(tds_message(0x04, backup));
    peer.read_message().send(tds_message(0x04, c.history));
    if (c.expected.empty()) peer.read_message().send(tds_message(0x04, tds_done_token(0)));
    peer.start();
    const std::string result = run_backup(peer.port(), "sa", "vaultrun", "/b.bak");
    if (c.expected.empty()) {
      EXPECT_TRUE(done_at(result, 3)) << result;
      ASSERT_TRUE(peer.wait_done());
      ASSERT_EQ(peer.reads().size(), 5u);
      EXPECT_EQ(peer.reads()[4], tds_message(0x01, tds_batch_payload("RESTORE VERIFYONLY FROM DISK = N'/b.bak' WITH FILE = 3")));
    } else {
      EXPECT_EQ(result, "{\"ok\":false,\"error\":\"" + c.expected + "\"}");
      ASSERT_TRUE(peer.wait_done());
      EXPECT_EQ(peer.reads().size(), 4u);  // nothing verified
    }
  }
}

}  // namespace
