// Rows of the backup history and of RESTORE HEADERONLY, as literal cells,
// to the planner's sets.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "vaultrun/restore_sources.h"

namespace {

// One answer row from (column, cell) pairs; a null cell pointer is NULL.
struct literal_row {
  std::unique_ptr<tds_meta> meta = std::make_unique<tds_meta>();
  std::unique_ptr<tds_row> row = std::make_unique<tds_row>();
  literal_row(std::initializer_list<std::pair<const char*, const char*>> cells) {
    std::memset(meta.get(), 0, sizeof *meta);
    std::memset(row.get(), 0, sizeof *row);
    for (const auto& [name, cell] : cells) {
      const int i = meta->ncols++;
      std::snprintf(meta->cols[i].name, sizeof meta->cols[i].name, "%s", name);
      row->is_null[i] = cell == nullptr;
      std::snprintf(row->cells[i], sizeof row->cells[i], "%s", cell ? cell : "");
    }
  }
};

const char* const DB = "0A1B2C3D-0000-4000-8000-00000000000D";
const char* const OLD_FORK = "F0F0F0F0-1111-4111-8111-000000000001";
const char* const NEW_FORK = "F0F0F0F0-2222-4222-8222-000000000002";

literal_row history(const char* type, const char* first_fork, const char* last_fork, const char* fork_point,
                    const char* device = "2", const char* families = "1", const char* finish = "2026-12-10 03:00:00.000") {
  return literal_row{{"backup_set_id", "41"},
                     {"media_set_id", "7"},
                     {"position", "3"},
                     {"type", type},
                     {"is_copy_only", "1"},
                     {"first_lsn", "1000"},
                     {"last_lsn", "2000"},
                     {"checkpoint_lsn", "1500"},
                     {"database_backup_lsn", "900"},
                     {"differential_base_lsn", nullptr},
                     {"backup_start_date", "2026-12-10 02:59:00.000"},
                     {"backup_finish_date", finish},
                     {"database_guid", DB},
                     {"first_recovery_fork_guid", first_fork},
                     {"last_recovery_fork_guid", last_fork},
                     {"fork_point_lsn", fork_point},
                     {"media_family_count", families},
                     {"family_sequence_number", "1"},
                     {"physical_device_name", "/backups/l.trn"},
                     {"device_type", device}};
}

TEST(RestoreSources, HistoryRowsBecomeSets) {
  set_guid db, old_fork, new_fork;
  ASSERT_TRUE(guid_parse(DB, &db));
  ASSERT_TRUE(guid_parse(OLD_FORK, &old_fork));
  ASSERT_TRUE(guid_parse(NEW_FORK, &new_fork));
  EXPECT_EQ(db.hi, 0x0A1B2C3D00004000ull);
  EXPECT_EQ(db.lo, 0x800000000000000Dull);

  const struct {
    const char* name;
    literal_row row;
    uint8_t type;
    set_guid first_fork, last_fork;
    lsn_t fork_point;
    bool readable;
    int32_t families;
  } cases[] = {
      {"a log on one fork", history("L", OLD_FORK, OLD_FORK, nullptr), SET_LOG, old_fork, old_fork, 0, true, 1},
      {"a log crossing a fork", history("L", OLD_FORK, NEW_FORK, "1700"), SET_LOG, old_fork, new_fork, 1700, true, 1},
      {"one fork named: the set stays on it", history("D", nullptr, NEW_FORK, nullptr), SET_FULL, new_fork, new_fork,
       0, true, 1},
      {"a tape: passed over", history("D", OLD_FORK, OLD_FORK, nullptr, "5"), 'X', old_fork, old_fork, 0, false, 1},
      {"a URL, striped in three", history("I", OLD_FORK, OLD_FORK, nullptr, "9", "3"), SET_DIFFERENTIAL, old_fork,
       old_fork, 0, true, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    plan_set s;
    history_row r;
    ASSERT_EQ(set_from_history_row(c.row.meta.get(), c.row.row.get(), &s, &r), nullptr);
    EXPECT_EQ(s.type, c.type);
    EXPECT_TRUE(s.database == db);
    EXPECT_TRUE(s.first_fork == c.first_fork);
    EXPECT_TRUE(s.last_fork == c.last_fork);
    EXPECT_EQ(s.fork_point_lsn, c.fork_point);
    EXPECT_EQ(r.readable_device, c.readable);
    EXPECT_EQ(r.family_count, c.families);
    EXPECT_EQ(r.set_id, 41);
    EXPECT_STREQ(r.path, "/backups/l.trn");
    EXPECT_EQ(s.first_lsn, 1000u);
    EXPECT_EQ(s.checkpoint_lsn, 1500u);
    EXPECT_EQ(s.database_backup_lsn, 900u);
    EXPECT_EQ(s.differential_base_lsn, 0u);
    EXPECT_EQ(s.position, 3);
    EXPECT_EQ(s.copy_only, 1);
    EXPECT_STREQ(s.finish, "2026-12-10T03:00:00.000");
  }
}

TEST(RestoreSources, RowsThatDoNotReadAreRefused) {
  const char* const bad_history = "the server's backup history holds a set that cannot be read";
  const struct {
    const char* name;
    literal_row row;
  } cases[] = {
      {"a fork that is no GUID", history("L", "F0F0F0F0-1111-4111-8111-00000000000G", OLD_FORK, nullptr)},
      {"a GUID cut short", history("L", "F0F0F0F0-1111-4111-8111", OLD_FORK, nullptr)},
      {"a fork point past 25 digits", history("L", OLD_FORK, NEW_FORK, "12345678901234567890123456")},
      {"a finish that is no time", history("L", OLD_FORK, OLD_FORK, nullptr, "2", "1", "yesterday")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    plan_set s;
    history_row r;
    EXPECT_STREQ(set_from_history_row(c.row.meta.get(), c.row.row.get(), &s, &r), bad_history);
  }
  set_guid g;
  EXPECT_TRUE(guid_parse("{F0F0F0F0-1111-4111-8111-000000000001}", &g));
  EXPECT_FALSE(guid_parse("{F0F0F0F0-1111-4111-8111-000000000001", &g));
  EXPECT_TRUE(guid_parse("", &g));
  EXPECT_TRUE(g == set_guid{});
}

TEST(RestoreSources, HeaderRowsBecomeSets) {
  const literal_row header{{"BackupType", "2"},
                           {"Position", "4"},
                           {"DatabaseName", "sales"},
                           {"FirstLSN", "2000"},
                           {"LastLSN", "3000"},
                           {"CheckpointLSN", "1500"},
                           {"DatabaseBackupLSN", "900"},
                           {"BackupFinishDate", "2026-12-10 04:00:00.000"},
                           {"BindingID", DB},
                           {"FirstRecoveryForkID", OLD_FORK},
                           {"RecoveryForkID", NEW_FORK},
                           {"ForkPointLSN", "2500"},
                           {"DifferentialBaseLSN", nullptr},
                           {"IsCopyOnly", "0"}};
  plan_set s;
  const char* database = nullptr;
  ASSERT_EQ(set_from_header_row(header.meta.get(), header.row.get(), &s, &database), nullptr);
  EXPECT_STREQ(database, "sales");
  EXPECT_EQ(s.type, SET_LOG);
  EXPECT_EQ(s.position, 4);
  EXPECT_EQ(s.fork_point_lsn, 2500u);
  set_guid db, new_fork;
  guid_parse(DB, &db);
  guid_parse(NEW_FORK, &new_fork);
  EXPECT_TRUE(s.database == db);
  EXPECT_TRUE(s.last_fork == new_fork);
  EXPECT_FALSE(s.first_fork == s.last_fork);

  const literal_row partial{{"BackupType", "4"}, {"BackupFinishDate", "2026-12-10 04:00:00.000"}};
  ASSERT_EQ(set_from_header_row(partial.meta.get(), partial.row.get(), &s, &database), nullptr);
  EXPECT_EQ(s.type, 'X');  // a file backup is not planned
  const literal_row unreadable{{"BackupType", "1"}, {"BackupFinishDate", "2026-12-10"}};
  EXPECT_STREQ(set_from_header_row(unreadable.meta.get(), unreadable.row.get(), &s, &database),
               "a backup header cannot be read");
}

}  // namespace
