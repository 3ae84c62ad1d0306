// Retention through the library against the simulated server, whose clock
// moves six hours with every backup so that a week of nightly backups
// takes a second: exactly the files no point of the window needs are
// deleted, the rest are kept with their reasons, and a restore to the
// oldest point left works.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "raw_tds.h"
#include "sim_process.h"
#include "session_run.h"
#include "strict_json.h"
#include "vaultrun.h"

namespace {

using namespace vaultrun_test;
using Clock = std::chrono::steady_clock;

bool failed(const std::vector<Token>& ts) { return !ts.empty() && (ts.back().status & 0x0002) != 0; }

bool exists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

// The "path" members of one array member of a document.
std::set<std::string> paths_in(const std::string& doc, const std::string& member, const std::string& next) {
  std::set<std::string> out;
  const size_t a = doc.find("\"" + member + "\":[");
  const size_t b = doc.find("\"" + next + "\":", a);
  if (a == std::string::npos || b == std::string::npos) return out;
  const std::string part = doc.substr(a, b - a);
  static const std::regex path("\"path\":\"([^\"]*)\"");
  for (auto it = std::sregex_iterator(part.begin(), part.end(), path); it != std::sregex_iterator(); ++it)
    out.insert((*it)[1]);
  return out;
}

// The reason a kept file has, "" when it is not listed as kept.
std::string reason_of(const std::string& doc, const std::string& path) {
  const size_t at = doc.find("{\"path\":\"" + path + "\"", doc.find("\"kept\":["));
  if (at == std::string::npos) return "";
  const size_t r = doc.find("\"reason\":\"", at);
  return r == std::string::npos ? "" : doc.substr(r + 10, doc.find('"', r + 10) - r - 10);
}

class Cleanup : public ::testing::Test {
 protected:
  void start(std::vector<std::string> args = {}) {
    args.insert(args.end(), {"--backup-ms", "5", "--clock-step", "21600"});
    sim_ = std::make_unique<SimProcess>(args);
    ASSERT_TRUE(sim_->ok()) << sim_->error();
    c_ = std::make_unique<Client>(sim_->port());
    ASSERT_NO_FATAL_FAILURE(login(*c_));
  }
  std::string file(const std::string& name) const { return dir_.file(name); }
  void backup(const std::string& db, const std::string& kind, const std::string& name, const std::string& with = "") {
    const std::string text =
        "BACKUP " + kind + " " + bracket(db) + " TO DISK = " + quote(file(name)) + (with.empty() ? "" : " WITH " + with);
    ASSERT_FALSE(failed(exec(*c_, text))) << text;
  }
  // A week: each day a full, a log, a differential and a log, six hours apart.
  void week(const std::string& db) {
    for (int d = 0; d < 7; ++d) {
      const std::string day = std::to_string(d);
      backup(db, "DATABASE", "full" + day + ".bak");
      backup(db, "LOG", "log" + day + "a.trn");
      backup(db, "DATABASE", "diff" + day + ".bak", "DIFFERENTIAL");
      backup(db, "LOG", "log" + day + "b.trn");
    }
  }
  std::string config(const std::string& db, int keep_hours, const std::string& extra = "",
                     const std::string& user = "sa") const {
    return "{\"port\":" + std::to_string(sim_->port()) + ",\"user\":\"" + user +
           "\",\"password\":\"vaultrun\",\"database\":\"" + db + "\",\"operation\":\"cleanup\",\"keep_hours\":" +
           std::to_string(keep_hours) + ",\"folders\":[\"" + dir_.path() + "\"]" + extra + "}";
  }
  std::string run(const std::string& cfg, bool cancel_at_once = false) {
    const int32_t idx = vaultrun_start(cfg.c_str());
    if (idx < 0) return std::string("refused: ") + vaultrun_last_error();
    if (cancel_at_once) vaultrun_cancel(idx);
    return vaultrun_test::finish_session(idx, std::chrono::seconds(20));
  }

  TempDir dir_;
  std::unique_ptr<SimProcess> sim_;
  std::unique_ptr<Client> c_;
};

TEST_F(Cleanup, AWeekWithAThreeDayWindowLosesExactlyWhatNoPointNeedsAndRestoresFromItsOldestPoint) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_NO_FATAL_FAILURE(week("inventory"));
  // Backup i finished 6 h * i after the first; now is 168 h after it. A
  // window of 70 h starts at 98 h: between day 4's full (96 h) and the log
  // after it (102 h), which both stay to reach its start.
  std::set<std::string> expected;
  for (int d = 0; d < 4; ++d) {
    const std::string day = std::to_string(d);
    for (const std::string& name : {"full" + day + ".bak", "log" + day + "a.trn", "diff" + day + ".bak",
                                    "log" + day + "b.trn"})
      expected.insert(file(name));
  }
  const std::string dry = run(config("inventory", 70, ",\"dry_run\":true"));
  ASSERT_NE(dry.find("\"ok\":true"), std::string::npos) << dry;
  EXPECT_EQ(paths_in(dry, "deleted", "kept"), expected);
  for (const std::string& f : expected) EXPECT_TRUE(exists(f)) << f;  // a dry run deletes nothing

  const std::string doc = run(config("inventory", 70));
  ASSERT_NE(doc.find("\"ok\":true"), std::string::npos) << doc;
  EXPECT_EQ(paths_in(doc, "deleted", "kept"), expected);
  for (const std::string& f : expected) EXPECT_FALSE(exists(f)) << f;
  EXPECT_EQ(reason_of(doc, file("full4.bak")), "needed for a point in the window");
  EXPECT_EQ(reason_of(doc, file("log4a.trn")), "newer than the window");
  EXPECT_TRUE(exists(file("full4.bak")));
  EXPECT_NE(doc.find("\"freed_bytes\":"), std::string::npos);
  EXPECT_EQ(doc.find("\"freed_bytes\":0,"), std::string::npos) << doc;
  // The dry run's oldest point is the real run's.
  std::smatch oldest, dry_oldest;
  ASSERT_TRUE(std::regex_search(doc, oldest, std::regex("\"oldest_restorable\":\"([^\"]+)\""))) << doc;
  ASSERT_TRUE(std::regex_search(dry, dry_oldest, std::regex("\"oldest_restorable\":\"([^\"]+)\"")));
  EXPECT_EQ(oldest[1], dry_oldest[1]);

  // Nothing more goes on a second run, and a restore to the oldest point works.
  EXPECT_TRUE(paths_in(run(config("inventory", 70)), "deleted", "kept").empty());
  const std::string restore = run("{\"port\":" + std::to_string(sim_->port()) +
                                  ",\"user\":\"sa\",\"password\":\"vaultrun\",\"database\":\"inventory_copy\","
                                  "\"source_database\":\"inventory\",\"operation\":\"restore\",\"stop_at\":\"" +
                                  oldest[1].str() + "\"}");
  EXPECT_NE(restore.find("\"ok\":true"), std::string::npos) << restore;

  // A day later the window has moved past day 4. The sixteen files deleted
  // above stay in the history, gone: they hold nothing and hold nothing up.
  for (const std::string name : {"full7.bak", "log7a.trn", "diff7.bak", "log7b.trn"}) {
    ASSERT_NO_FATAL_FAILURE(backup("inventory", name[0] == 'f' ? "DATABASE" : "LOG", name,
                                   name[0] == 'd' ? "DIFFERENTIAL" : ""));
  }
  const std::string later = run(config("inventory", 70));
  ASSERT_NE(later.find("\"ok\":true"), std::string::npos) << later;
  EXPECT_EQ(paths_in(later, "deleted", "kept"),
            (std::set<std::string>{file("full4.bak"), file("log4a.trn"), file("diff4.bak"), file("log4b.trn")}))
      << later;
  EXPECT_EQ(reason_of(later, file("full0.bak")), "the file is already gone");
}

TEST_F(Cleanup, AFixedNameWrittenWithInitHoldsOnlyItsNewestSet) {
  ASSERT_NO_FATAL_FAILURE(start());
  for (int d = 0; d < 3; ++d) ASSERT_NO_FATAL_FAILURE(backup("inventory", "DATABASE", "fixed.bak", "INIT"));
  for (int k = 0; k < 4; ++k) ASSERT_NO_FATAL_FAILURE(backup("inventory", "LOG", "log" + std::to_string(k) + ".trn"));
  // The history names fixed.bak for three media sets; it holds the third,
  // which the newest point needs, and the two before it restore nothing.
  const std::string doc = run(config("inventory", 1));
  ASSERT_NE(doc.find("\"ok\":true"), std::string::npos) << doc;
  EXPECT_EQ(reason_of(doc, file("fixed.bak")), "needed for the newest restorable point");
  const size_t at = doc.find("{\"path\":\"" + file("fixed.bak") + "\"");
  EXPECT_EQ(doc.find("{\"path\":\"" + file("fixed.bak") + "\"", at + 1), std::string::npos) << "listed once";
  const std::string entry = doc.substr(at, doc.find("\"reason\"", at) - at);
  EXPECT_EQ(std::regex_search(entry, std::regex("\"type\":\"full\".*\"type\":\"full\"")), false) << entry;
  EXPECT_TRUE(exists(file("fixed.bak")));
  // Its oldest point is the newest full's finish, six hours after the
  // second one (the oldest log's first LSN reaches back to the first).
  std::smatch oldest, finished;
  ASSERT_TRUE(std::regex_search(doc, oldest, std::regex("\"oldest_restorable\":\"([^\"]+)\""))) << doc;
  ASSERT_TRUE(std::regex_search(entry, finished, std::regex("\"finished\":\"([^\"]+)\"")));
  EXPECT_EQ(oldest[1].str().substr(0, 19), finished[1].str().substr(0, 19));
}

TEST_F(Cleanup, AFileSharedWithAnotherDatabaseOrAlreadyGoneIsKept) {
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_NO_FATAL_FAILURE(backup("inventory", "DATABASE", "shared.bak"));
  ASSERT_NO_FATAL_FAILURE(backup("hr", "DATABASE", "shared.bak", "NOINIT"));
  ASSERT_NO_FATAL_FAILURE(backup("inventory", "DATABASE", "gone.bak"));
  ASSERT_EQ(std::remove(file("gone.bak").c_str()), 0);
  for (int k = 0; k < 8; ++k) ASSERT_NO_FATAL_FAILURE(backup("inventory", "LOG", "late" + std::to_string(k) + ".trn"));

  const std::string doc = run(config("inventory", 1));
  ASSERT_NE(doc.find("\"ok\":true"), std::string::npos) << doc;
  EXPECT_EQ(reason_of(doc, file("shared.bak")), "holds a set of another database");
  EXPECT_EQ(reason_of(doc, file("gone.bak")), "the file is already gone");
  EXPECT_NE(doc.find("Operating system error 2("), std::string::npos) << doc;
  EXPECT_TRUE(exists(file("shared.bak")));
}

TEST_F(Cleanup, ALoginWithoutTheRightGetsTheServersRefusalAndNothingCounts) {
  ASSERT_NO_FATAL_FAILURE(start({"--login", "clerk:vaultrun", "--not-sysadmin", "clerk"}));
  ASSERT_NO_FATAL_FAILURE(week("inventory"));
  const std::string doc = run(config("inventory", 70, "", "clerk"));
  EXPECT_NE(doc.find("\"ok\":false"), std::string::npos) << doc;
  EXPECT_NE(doc.find("The EXECUTE permission was denied on the object 'xp_delete_file'"), std::string::npos) << doc;
  EXPECT_NE(doc.find("\"deleted\":[]"), std::string::npos) << doc;
  EXPECT_NE(doc.find("\"freed_bytes\":0"), std::string::npos) << doc;
  EXPECT_TRUE(exists(file("full0.bak")));
}

TEST_F(Cleanup, ACancelStopsBetweenFilesAndWhatItReportsIsWhatIsGone) {
  ASSERT_NO_FATAL_FAILURE(start({"--delete-ms", "60"}));
  ASSERT_NO_FATAL_FAILURE(week("inventory"));
  const int32_t idx = vaultrun_start(config("inventory", 70).c_str());
  ASSERT_GE(idx, 0) << vaultrun_last_error();
  // Oldest first: the first day's full goes first; cancel once it is gone.
  const auto t0 = Clock::now();
  while (exists(file("full0.bak")) && Clock::now() - t0 < std::chrono::seconds(10))
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  vaultrun_cancel(idx);
  while (vaultrun_status(idx) == VAULTRUN_SESSION_RUNNING && Clock::now() - t0 < std::chrono::seconds(20))
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const std::string doc = vaultrun_result(idx);
  vaultrun_free(idx);
  EXPECT_EQ(strict_json_problem(doc), "") << doc;
  EXPECT_NE(doc.find("\"ok\":false"), std::string::npos) << doc;
  EXPECT_NE(doc.find("\"error\":\"cancelled\""), std::string::npos) << doc;
  const std::set<std::string> deleted = paths_in(doc, "deleted", "kept");
  EXPECT_GE(deleted.size(), 1u);
  EXPECT_LT(deleted.size(), 16u);
  for (const std::string& f : deleted) EXPECT_FALSE(exists(f)) << f;
  for (const std::string& f : paths_in(doc, "kept", "freed_bytes")) EXPECT_TRUE(exists(f)) << f;
  EXPECT_NE(doc.find("not reached: the cleanup stopped before it"), std::string::npos) << doc;
}

// "inventory" restored over itself to a point inside its second log: its
// log forks there, and the next logs follow the new path from the first
// log's end. The old path's second and third logs restore no point of the
// window any more; the full and the first log, which the new path starts
// from, stay.
TEST_F(Cleanup, AfterARestoreInPlaceOnlyTheOldRecoveryPathsLogsGo) {
  ASSERT_NO_FATAL_FAILURE(start());
  for (const char* name : {"f1.bak", "l1.trn", "l2.trn", "l3.trn"}) {
    ASSERT_NO_FATAL_FAILURE(backup("inventory", name[0] == 'f' ? "DATABASE" : "LOG", name));
  }
  // The first log finished 6 h after the full; the fork lies 3 h after it.
  const std::string listed = run(config("inventory", 1000, ",\"dry_run\":true"));
  std::smatch l1;
  ASSERT_TRUE(std::regex_search(listed, l1, std::regex("l1\\.trn\"[^}]*\"finished\":\"([^\"]+)\""))) << listed;
  std::tm tm{};
  ASSERT_NE(strptime(l1[1].str().c_str(), "%Y-%m-%dT%H:%M:%S", &tm), nullptr) << l1[1];
  const std::time_t fork = timegm(&tm) + 3 * 3600;
  char at[32];
  std::strftime(at, sizeof at, "%Y-%m-%dT%H:%M:%S", gmtime_r(&fork, &tm));
  const std::string base = "{\"port\":" + std::to_string(sim_->port()) + ",\"user\":\"sa\",\"password\":\"vaultrun\"";
  const std::string in_place =
      run(base + ",\"database\":\"inventory\",\"operation\":\"restore\",\"replace\":true,\"stop_at\":\"" + at + "\"}");
  ASSERT_NE(in_place.find("\"ok\":true"), std::string::npos) << in_place;
  ASSERT_NO_FATAL_FAILURE(backup("inventory", "LOG", "l4.trn"));
  ASSERT_NO_FATAL_FAILURE(backup("inventory", "LOG", "l5.trn"));

  // Now is 36 h after the full; a window of 15 h starts between the third
  // log (18 h) and the fourth (24 h), which reaches it on the new path.
  const std::string doc = run(config("inventory", 15));
  ASSERT_NE(doc.find("\"ok\":true"), std::string::npos) << doc;
  EXPECT_EQ(paths_in(doc, "deleted", "kept"), (std::set<std::string>{file("l2.trn"), file("l3.trn")})) << doc;
  EXPECT_EQ(reason_of(doc, file("f1.bak")), "needed for a point in the window");
  EXPECT_EQ(reason_of(doc, file("l1.trn")), "needed for a point in the window");
  std::smatch oldest;
  ASSERT_TRUE(std::regex_search(doc, oldest, std::regex("\"oldest_restorable\":\"([^\"]+)\""))) << doc;
  const std::string copy = run(base + ",\"database\":\"inventory_copy\",\"source_database\":\"inventory\","
                                      "\"operation\":\"restore\",\"stop_at\":\"" + oldest[1].str() + "\"}");
  EXPECT_NE(copy.find("\"ok\":true"), std::string::npos) << copy;
}

TEST_F(Cleanup, AUrlTargetIsKept) {
  ASSERT_NO_FATAL_FAILURE(start({"--url-root", dir_.path(), "--credential", "https://acct.blob/c"}));
  const std::string text = "BACKUP DATABASE [inventory] TO URL = N'https://acct.blob/c/old.bak'";
  ASSERT_FALSE(failed(exec(*c_, text)));
  ASSERT_NO_FATAL_FAILURE(week("inventory"));
  const std::string doc = run(config("inventory", 70));
  ASSERT_NE(doc.find("\"ok\":true"), std::string::npos) << doc;
  EXPECT_EQ(reason_of(doc, "https://acct.blob/c/old.bak"), "a URL");
}

TEST_F(Cleanup, ADatabaseWithoutBackupsHasNothingToDecide) {
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string doc = run(config("hr", 24));
  EXPECT_NE(doc.find("\"ok\":true"), std::string::npos) << doc;
  EXPECT_NE(doc.find("\"window_start\":null,\"deleted\":[],\"kept\":[],\"freed_bytes\":0,\"oldest_restorable\":null"),
            std::string::npos)
      << doc;
}

TEST(CleanupConfig, RefusedBeforeAnythingIsSentWithTheKeyNamed) {
  struct row {
    const char* extra;
    const char* refusal;
  };
  const row rows[] = {
      {"\"folders\":[\"/bk\"]", "keep_hours is required for cleanup"},
      {"\"keep_hours\":0,\"folders\":[\"/bk\"]", "keep_hours must be 1 to 876000"},
      {"\"keep_hours\":876001,\"folders\":[\"/bk\"]", "keep_hours must be 1 to 876000"},
      {"\"keep_hours\":24", "folders is required for cleanup"},
      {"\"keep_hours\":24,\"folders\":[]", "folders must be an array of 1 to 64 absolute folders"},
      {"\"keep_hours\":24,\"folders\":[\"bk\"]", "folders must be absolute"},
      {"\"keep_hours\":24,\"folders\":[\"C:bk\"]", "folders must be absolute"},
      {"\"keep_hours\":24,\"folders\":[\"/bk/../etc\"]", "folders cannot hold a .. component"},
      {"\"keep_hours\":24,\"folders\":[\"D:\\\\bk\\\\..\"]", "folders cannot hold a .. component"},
      {"\"keep_hours\":24,\"folders\":[\"/bk\",7]", "folders must be an array of 1 to 64 absolute folders"},
  };
  for (const row& r : rows) {
    const std::string cfg = std::string("{\"port\":1,\"user\":\"sa\",\"database\":\"db\",\"operation\":\"cleanup\",") +
                            r.extra + "}";
    EXPECT_EQ(vaultrun_start(cfg.c_str()), -1) << cfg;
    EXPECT_STREQ(vaultrun_last_error(), r.refusal) << cfg;
  }
}

}  // namespace
