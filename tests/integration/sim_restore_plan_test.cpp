// Restores through the exports against the simulated server, on histories
// where the newest full is not the way to the newest point: a copy-only full
// between a full and its differential, a newest full missing a stripe, and a
// database replaced by another under the same name.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <regex>
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

bool failed(const std::vector<Token>& ts) { return !ts.empty() && (ts.back().status & 0x0002) != 0; }

// The local time now, as a stop_at text with milliseconds.
std::string local_now() {
  const auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  return std::string(buf) + "." + std::to_string(1000 + ms).substr(1);
}

class SimRestorePlan : public ::testing::Test {
 protected:
  // A server with the databases "sales" (in the recovery model given) and
  // "shop".
  void start(const char* recovery) {
    const std::string config = dir_.file("sim.json");
    std::FILE* f = std::fopen(config.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, R"({"databases": [{"name": "sales", "recovery": "%s", "files": [
                 {"logical": "sales_data", "type": "D", "size_mb": 8}, {"logical": "sales_log", "type": "L", "size_mb": 8}]},
                 {"name": "shop", "recovery": "FULL", "files": [
                 {"logical": "shop_data", "type": "D", "size_mb": 8}, {"logical": "shop_log", "type": "L", "size_mb": 8}]}]})",
                 recovery);
    std::fclose(f);
    sim_ = std::make_unique<SimProcess>(std::vector<std::string>{"--config", config, "--backup-ms", "20"});
    ASSERT_TRUE(sim_->ok()) << sim_->error();
    c_ = std::make_unique<Client>(sim_->port());
    ASSERT_NO_FATAL_FAILURE(login(*c_));
  }
  void TearDown() override {
    for (int32_t i = 0; i < 4; ++i) vaultrun_free(i);
  }
  std::string file(const std::string& name) const { return dir_.file(name); }
  void sql(const std::string& text) {
    auto ts = exec(*c_, text);
    ASSERT_FALSE(failed(ts)) << text;
  }
  void backup(const std::string& db, const std::string& kind, const std::string& name, const std::string& with = "") {
    sql("BACKUP " + kind + " " + bracket(db) + " TO DISK = " + quote(file(name)) + (with.empty() ? "" : " WITH " + with));
    std::this_thread::sleep_for(std::chrono::milliseconds(15));  // finish times apart
  }
  // The result document of a restore of "sales" (members added to the
  // configuration), after it ends.
  std::string restore(const std::string& members) {
    const std::string cfg = "{\"port\":" + std::to_string(sim_->port()) +
                            ",\"user\":\"sa\",\"password\":\"vaultrun\",\"operation\":\"restore\","
                            "\"source_database\":\"sales\"" + members + "}";
    const int32_t idx = vaultrun_start(cfg.c_str());
    if (idx < 0) return std::string("not started: ") + vaultrun_last_error();
    return vaultrun_test::finish_session(idx, std::chrono::seconds(30));
  }
  // "full:f1.bak differential:d1.bak ...": the steps restored (or planned),
  // by kind and file name.
  static std::string steps(const std::string& doc, const char* member = "restored") {
    const size_t at = doc.find(std::string("\"") + member + "\":[");
    if (at == std::string::npos) return doc;
    const std::string list = doc.substr(at, doc.find(']', at) - at);
    std::string out;
    const std::regex step("\"type\":\"(\\w+)\",\"target\":\"[^\"]*/([^\"/]+)\"");
    for (std::sregex_iterator i(list.begin(), list.end(), step), end; i != end; ++i)
      out += (out.empty() ? "" : " ") + (*i)[1].str() + ":" + (*i)[2].str();
    return out;
  }

  TempDir dir_;
  std::unique_ptr<SimProcess> sim_;
  std::unique_ptr<Client> c_;
};

TEST_F(SimRestorePlan, ACopyOnlyFullBetweenAFullAndItsDifferential) {
  for (const char* recovery : {"SIMPLE", "FULL"}) {
    SCOPED_TRACE(recovery);
    ASSERT_NO_FATAL_FAILURE(start(recovery));
    const bool full = std::string(recovery) == "FULL";
    backup("sales", "DATABASE", "f1.bak");
    if (full) backup("sales", "LOG", "l1.trn");
    backup("sales", "DATABASE", "cf.bak", "COPY_ONLY");
    backup("sales", "DATABASE", "d1.bak", "DIFFERENTIAL");
    if (full) backup("sales", "LOG", "l2.trn");
    const std::string doc = restore(",\"database\":\"sales_r\"");
    // With logs, the copy-only full and the last log reach as far with
    // fewer sets; without, the differential on the first full is the newest point.
    EXPECT_EQ(steps(doc), full ? "full:cf.bak log:l2.trn" : "full:f1.bak differential:d1.bak") << doc;
    EXPECT_EQ(doc.find("passed_over"), std::string::npos);
    c_.reset();
    sim_.reset();
  }
}

// The newest full's files are given without its second stripe: it is
// passed over, and the older full with the logs reaches the same point.
TEST_F(SimRestorePlan, ANewestFullMissingAStripeIsPassedOver) {
  ASSERT_NO_FATAL_FAILURE(start("FULL"));
  backup("sales", "DATABASE", "f1.bak");
  backup("sales", "LOG", "l1.trn");
  sql("BACKUP DATABASE [sales] TO DISK = " + quote(file("f2a.bak")) + ", DISK = " + quote(file("f2b.bak")));
  backup("sales", "LOG", "l2.trn");
  const std::string files = ",\"backup_files\":[\"" + file("f1.bak") + "\",\"" + file("l1.trn") + "\",\"" +
                            file("f2a.bak") + "\",\"" + file("l2.trn") + "\"]";
  const std::string doc = restore(",\"database\":\"sales_r\"" + files);
  EXPECT_EQ(steps(doc), "full:f1.bak log:l1.trn log:l2.trn") << doc;
  // The server reads no header of a media set short of a stripe: the file
  // is named, what it holds is not known.
  EXPECT_NE(doc.find("\"passed_over\":[{\"type\":null,\"target\":\"" + file("f2a.bak") +
                     "\",\"position\":null,\"finished\":null,\"reason\":\"its media set is missing families\"}]"),
            std::string::npos)
      << doc;
}

// "sales" replaced by a restore of "shop" under its name: its history holds
// two databases. The newest point is the new one's; the old one is reached
// only through a stop_at in its time, and no set of one joins the other.
TEST_F(SimRestorePlan, ADatabaseReplacedUnderTheSameNameNeverMixes) {
  ASSERT_NO_FATAL_FAILURE(start("FULL"));
  backup("sales", "DATABASE", "old_full.bak");
  backup("sales", "LOG", "old_l1.trn");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::string old_point = local_now();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  backup("sales", "LOG", "old_l2.trn");
  backup("shop", "DATABASE", "shop.bak");
  sql("RESTORE DATABASE [sales] FROM DISK = " + quote(file("shop.bak")) + " WITH MOVE N'shop_data' TO " +
      quote(file("sales2.mdf")) + ", MOVE N'shop_log' TO " + quote(file("sales2.ldf")) + ", REPLACE");
  backup("sales", "DATABASE", "new_full.bak");
  backup("sales", "LOG", "new_l1.trn");

  EXPECT_EQ(steps(restore(",\"database\":\"sales_r\"")), "full:new_full.bak log:new_l1.trn");
  EXPECT_EQ(steps(restore(",\"database\":\"sales_old\",\"stop_at\":\"" + old_point + "\"")),
            "full:old_full.bak log:old_l1.trn log:old_l2.trn");
}

// "sales" restored over itself to a point inside its second log: its log
// forks there. The next log backups cross from the old path to the new one;
// the old path's third log stays in the history. A restore to the newest
// point follows the new path, one to a point the old path's third log holds
// follows the old one, and the server refuses a log of the other path.
TEST_F(SimRestorePlan, AfterARestoreInPlaceEachRecoveryPathIsFollowed) {
  ASSERT_NO_FATAL_FAILURE(start("FULL"));
  auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(60)); };
  backup("sales", "DATABASE", "f1.bak");
  backup("sales", "LOG", "l1.trn");
  pause();
  const std::string fork_point = local_now();
  pause();
  backup("sales", "LOG", "l2.trn");
  pause();
  const std::string old_point = local_now();
  pause();
  backup("sales", "LOG", "l3.trn");
  EXPECT_EQ(steps(restore(",\"database\":\"sales\",\"replace\":true,\"stop_at\":\"" + fork_point + "\"")),
            "full:f1.bak log:l1.trn log:l2.trn");
  pause();
  backup("sales", "LOG", "l4.trn");
  backup("sales", "LOG", "l5.trn");

  EXPECT_EQ(steps(restore(",\"database\":\"sales_new\"")), "full:f1.bak log:l1.trn log:l4.trn log:l5.trn");
  EXPECT_EQ(steps(restore(",\"database\":\"sales_old\",\"stop_at\":\"" + old_point + "\"")),
            "full:f1.bak log:l1.trn log:l2.trn log:l3.trn");

  const std::string move = " WITH NORECOVERY, MOVE N'sales_data' TO " + quote(file("x.mdf")) +
                           ", MOVE N'sales_log' TO " + quote(file("x.ldf"));
  sql("RESTORE DATABASE [sales_x] FROM DISK = " + quote(file("f1.bak")) + move);
  sql("RESTORE LOG [sales_x] FROM DISK = " + quote(file("l1.trn")) + " WITH NORECOVERY");
  sql("RESTORE LOG [sales_x] FROM DISK = " + quote(file("l4.trn")) + " WITH NORECOVERY");
  auto wrong = exec(*c_, "RESTORE LOG [sales_x] FROM DISK = " + quote(file("l3.trn")) + " WITH NORECOVERY");
  ASSERT_TRUE(failed(wrong));
  bool found = false;
  for (const Token& t : wrong) found |= t.number == 4330;
  EXPECT_TRUE(found) << "no error 4330 for a log of the old path";
}

}  // namespace
