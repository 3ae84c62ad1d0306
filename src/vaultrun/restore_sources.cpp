#include "vaultrun/restore_sources.h"

#include <cstring>

namespace {

int col_of(const tds_meta* meta, const char* name) {
  for (int i = 0; i < meta->ncols; ++i) {
    if (std::strcmp(meta->cols[i].name, name) == 0) return i;
  }
  return -1;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The set's LSNs, finish time, flags, database and forks from the cells of
// its row, under the column names the source uses; false when one does not
// read.
struct set_columns {
  const char *first, *last, *checkpoint, *database_backup, *differential_base, *finish, *copy_only;
  const char *database, *first_fork, *last_fork, *fork_point;
};
const set_columns HISTORY_COLUMNS = {
    "first_lsn",          "last_lsn",      "checkpoint_lsn",           "database_backup_lsn",
    "differential_base_lsn", "backup_finish_date", "is_copy_only",    "database_guid",
    "first_recovery_fork_guid", "last_recovery_fork_guid", "fork_point_lsn"};
const set_columns HEADER_COLUMNS = {"FirstLSN",  "LastLSN",    "CheckpointLSN",       "DatabaseBackupLSN",
                                    "DifferentialBaseLSN", "BackupFinishDate", "IsCopyOnly", "BindingID",
                                    "FirstRecoveryForkID", "RecoveryForkID", "ForkPointLSN"};

bool read_set(const tds_meta* meta, const tds_row* row, const set_columns& c, plan_set* s) {
  *s = plan_set{};
  const char* finish = row_cell(meta, row, c.finish);
  if (!lsn_parse(row_cell(meta, row, c.first), &s->first_lsn) ||
      !lsn_parse(row_cell(meta, row, c.last), &s->last_lsn) ||
      !lsn_parse(row_cell(meta, row, c.checkpoint), &s->checkpoint_lsn) ||
      !lsn_parse(row_cell(meta, row, c.database_backup), &s->database_backup_lsn) ||
      !lsn_parse(row_cell(meta, row, c.differential_base), &s->differential_base_lsn) ||
      !lsn_parse(row_cell(meta, row, c.fork_point), &s->fork_point_lsn) ||
      !guid_parse(row_cell(meta, row, c.database), &s->database) ||
      !guid_parse(row_cell(meta, row, c.first_fork), &s->first_fork) ||
      !guid_parse(row_cell(meta, row, c.last_fork), &s->last_fork) || std::strlen(finish) >= sizeof s->finish ||
      !time_parse(finish, &s->finish_ticks))
    return false;
  // A source that names only one of the forks: the set stays on it.
  if (s->first_fork == set_guid{}) s->first_fork = s->last_fork;
  if (s->last_fork == set_guid{}) s->last_fork = s->first_fork;
  std::memcpy(s->finish, finish, std::strlen(finish) + 1);
  s->finish[10] = 'T';
  const char* copy = row_cell(meta, row, c.copy_only);
  s->copy_only = copy[0] == '1' || copy[0] == 't' || copy[0] == 'T';
  return true;
}

}  // namespace

const char* row_cell(const tds_meta* meta, const tds_row* row, const char* name) {
  const int i = col_of(meta, name);
  return i < 0 || row->is_null[i] ? "" : row->cells[i];
}

int64_t row_int(const char* text) {
  int64_t v = 0;
  bool neg = *text == '-';
  if (neg) ++text;
  for (; *text >= '0' && *text <= '9' && v < (int64_t(1) << 50); ++text) v = v * 10 + (*text - '0');
  return neg ? -v : v;
}

bool guid_parse(const char* text, set_guid* out) {
  *out = set_guid{};
  if (text[0] == 0) return true;
  const size_t len = std::strlen(text);
  const bool braced = text[0] == '{';
  if (len != (braced ? 38u : 36u) || (braced && text[37] != '}')) return false;
  const char* p = text + (braced ? 1 : 0);
  int digits = 0;
  for (int i = 0; i < 36; ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (p[i] != '-') return false;
      continue;
    }
    const int d = hex_digit(p[i]);
    if (d < 0) return false;
    uint64_t& half = digits < 16 ? out->hi : out->lo;
    half = half << 4 | static_cast<uint64_t>(d);
    ++digits;
  }
  return true;
}

const char* set_from_history_row(const tds_meta* meta, const tds_row* row, plan_set* set, history_row* info) {
  info->set_id = row_int(row_cell(meta, row, "backup_set_id"));
  info->path = row_cell(meta, row, "physical_device_name");
  const int64_t device = row_int(row_cell(meta, row, "device_type"));
  // Disk and URL backups only: a set written through another device (a
  // tape, a virtual device) has no file to restore from.
  info->readable_device = device == 2 || device == 9;
  info->family_count = static_cast<int32_t>(row_int(row_cell(meta, row, "media_family_count")));
  if (!read_set(meta, row, HISTORY_COLUMNS, set)) return "the server's backup history holds a set that cannot be read";
  set->type = static_cast<uint8_t>(row_cell(meta, row, "type")[0]);
  if (!info->readable_device) set->type = 'X';
  set->position = static_cast<int32_t>(row_int(row_cell(meta, row, "position")));
  return nullptr;
}

const char* set_from_header_row(const tds_meta* meta, const tds_row* row, plan_set* set, const char** database_name) {
  *database_name = row_cell(meta, row, "DatabaseName");
  if (!read_set(meta, row, HEADER_COLUMNS, set)) return "a backup header cannot be read";
  // BackupType: 1 database, 5 differential database, 2 log; the file and
  // partial kinds are not planned.
  const int64_t kind = row_int(row_cell(meta, row, "BackupType"));
  set->type = kind == 1 ? SET_FULL : kind == 5 ? SET_DIFFERENTIAL : kind == 2 ? SET_LOG : 'X';
  set->position = static_cast<int32_t>(row_int(row_cell(meta, row, "Position")));
  return nullptr;
}
