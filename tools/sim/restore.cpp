#include "restore.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <filesystem>

namespace sim {

namespace {

}  // namespace

std::string format(const char* fmt, ...) {
  char buf[2048];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

namespace {

std::string lsn_text(uint64_t lsn) { return std::to_string(lsn); }

bool iequal(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(uint8_t(x)) == std::tolower(uint8_t(y));
         });
}

// Column makers, by the server's type names.
Column nvarchar(const char* name, uint16_t chars) { return {name, TYPE_NVARCHAR, chars, 0, true}; }
Column intn(const char* name, uint8_t bytes) { return {name, TYPE_INTN, 0, bytes, true}; }
Column tinyint(const char* name) { return intn(name, 1); }
Column smallint(const char* name) { return intn(name, 2); }
Column int32(const char* name) { return intn(name, 4); }
Column bigint(const char* name) { return intn(name, 8); }
Column bit(const char* name) { return {name, TYPE_BITN, 0, 0, true}; }
Column numeric(const char* name, uint8_t precision) { return {name, TYPE_NUMERICN, 0, 0, true, precision}; }
Column lsn(const char* name) { return numeric(name, 25); }
Column datetime(const char* name) { return {name, TYPE_DATETIMEN, 0, 0, true}; }
Column guid(const char* name) { return {name, TYPE_GUID, 0, 0, true}; }
Column character(const char* name, uint16_t n) { return {name, TYPE_BIGCHAR, n, 0, true}; }
Column varbinary(const char* name, uint16_t n) { return {name, TYPE_BIGVARBINARY, n, 0, true}; }

Cell text(const std::string& t) { return Cell{t, std::nullopt, std::nullopt}; }
Cell number(int64_t n) { return Cell{std::nullopt, n, std::nullopt}; }
Cell bytes(const Bytes& b) { return Cell{std::nullopt, std::nullopt, b}; }
Cell null() { return Cell{}; }
Cell text_or_null(const std::string& t) { return t.empty() ? null() : text(t); }
Cell lsn_or_null(uint64_t v) { return v == 0 ? null() : number(int64_t(v)); }

// The media family's GUID: the media set's, with the family in its last byte.
Bytes family_id(const Bytes& media, int family) {
  Bytes g = media;
  g.resize(16);
  g[15] = uint8_t(g[15] ^ uint8_t(family));
  return g;
}

int version_part(const std::string& version, int index) {
  int part = 0, k = 0;
  for (char c : version) {
    if (c == '.') {
      if (k++ == index) return part;
      part = 0;
    } else if (c >= '0' && c <= '9') {
      part = part * 10 + (c - '0');
    }
  }
  return k == index ? part : 0;
}

constexpr int64_t PAGE_BYTES = 8192;
constexpr int64_t MB = 1048576;

}  // namespace

ResultSet folder_rows(const std::string& data_dir, const std::string& log_dir) {
  ResultSet r;
  r.cols = {nvarchar("data_path", 4000), nvarchar("log_path", 4000)};
  r.rows.push_back({text(data_dir), text(log_dir)});
  return r;
}

ResultSet name_rows(const std::vector<LiveDatabase>& dbs) {
  ResultSet r;
  r.cols = {nvarchar("name", 128)};
  for (const LiveDatabase& d : dbs) r.rows.push_back({text(d.name)});
  return r;
}

ResultSet file_name_rows(const std::vector<LiveDatabase>& dbs) {
  ResultSet r;
  r.cols = {nvarchar("physical_name", 260)};
  for (const LiveDatabase& d : dbs) {
    for (const DbFile& f : d.files) r.rows.push_back({text(f.physical)});
  }
  return r;
}

ResultSet history_plan_rows(const std::vector<BackupSetRecord>& sets) {
  ResultSet r;
  r.cols = {int32("backup_set_id"),        int32("media_set_id"),         int32("position"),
            character("type", 1),           bit("is_copy_only"),           lsn("first_lsn"),
            lsn("last_lsn"),                lsn("checkpoint_lsn"),         lsn("database_backup_lsn"),
            lsn("differential_base_lsn"),   datetime("backup_start_date"), datetime("backup_finish_date"),
            guid("database_guid"),          guid("first_recovery_fork_guid"), guid("last_recovery_fork_guid"),
            lsn("fork_point_lsn"),          tinyint("media_family_count"),
            tinyint("family_sequence_number"), nvarchar("physical_device_name", 260), tinyint("device_type")};
  for (const BackupSetRecord& s : sets) {
    const int families = s.family_count > 0 ? s.family_count : int(s.devices.size());
    for (size_t k = 0; k < s.devices.size(); ++k) {
      r.rows.push_back({number(s.id), number(s.media_set_id), number(s.position), text(std::string(1, s.type)),
                        number(s.copy_only), number(int64_t(s.first_lsn)), number(int64_t(s.last_lsn)),
                        number(int64_t(s.checkpoint_lsn)), number(int64_t(s.database_backup_lsn)),
                        lsn_or_null(s.differential_base_lsn), number(s.started), number(s.finished),
                        bytes(s.database_guid), bytes(s.first_fork), bytes(s.last_fork), lsn_or_null(s.fork_point),
                        number(families), number(int64_t(k) + 1), text(s.devices[k]), number(s.url ? 9 : 2)});
    }
  }
  return r;
}

ResultSet cleanup_history_rows(const std::vector<BackupSetRecord>& sets, Stamp now) {
  ResultSet r;
  r.cols = {int32("backup_set_id"),      int32("media_set_id"),         guid("media_uuid"),
            nvarchar("database_name", 128), int32("position"),          character("type", 1),
            bit("is_copy_only"),         lsn("first_lsn"),              lsn("last_lsn"),
            lsn("checkpoint_lsn"),       lsn("database_backup_lsn"),    lsn("differential_base_lsn"),
            datetime("backup_finish_date"), numeric("backup_size", 20), guid("database_guid"),
            guid("first_recovery_fork_guid"), guid("last_recovery_fork_guid"), lsn("fork_point_lsn"),
            tinyint("media_family_count"), tinyint("family_sequence_number"),
            nvarchar("physical_device_name", 260), tinyint("device_type"), datetime("server_now")};
  for (const BackupSetRecord& s : sets) {
    const int families = s.family_count > 0 ? s.family_count : int(s.devices.size());
    for (size_t k = 0; k < s.devices.size(); ++k) {
      r.rows.push_back({number(s.id), number(s.media_set_id), bytes(s.media_guid), text(s.database),
                        number(s.position), text(std::string(1, s.type)), number(s.copy_only),
                        number(int64_t(s.first_lsn)), number(int64_t(s.last_lsn)), number(int64_t(s.checkpoint_lsn)),
                        number(int64_t(s.database_backup_lsn)), lsn_or_null(s.differential_base_lsn),
                        number(s.finished), number(s.size), bytes(s.database_guid), bytes(s.first_fork),
                        bytes(s.last_fork), lsn_or_null(s.fork_point), number(families), number(int64_t(k) + 1),
                        text(s.devices[k]), number(s.url ? 9 : 2), number(now)});
    }
  }
  return r;
}

ResultSet label_rows(const SetInfo& first, const Config& cfg) {
  ResultSet r;
  r.cols = {nvarchar("MediaName", 128),      guid("MediaSetId"),           int32("FamilyCount"),
            int32("FamilySequenceNumber"),    guid("MediaFamilyId"),        int32("MediaSequenceNumber"),
            tinyint("MediaLabelPresent"),     nvarchar("MediaDescription", 255), nvarchar("SoftwareName", 128),
            int32("SoftwareVendorId"),        datetime("MediaDate"),        int32("MirrorCount"),
            bit("IsCompressed")};
  const int family = int((first.flags >> 16) & 0xFF);
  r.rows.push_back({null(), bytes(first.meta.media_guid), number(set_families(first.flags)), number(family + 1),
                    bytes(family_id(first.meta.media_guid, family)), number(1), number(1), null(),
                    text(cfg.program), number(4608), number(first.meta.started), number(1),
                    number((first.flags & SET_COMPRESSED) != 0)});
  return r;
}

ResultSet header_rows(const std::vector<SetInfo>& sets, const std::vector<int64_t>& pages, bool url,
                      const Config& cfg) {
  ResultSet r;
  r.cols = {nvarchar("BackupName", 128),   nvarchar("BackupDescription", 255), smallint("BackupType"),
            datetime("ExpirationDate"),    tinyint("Compressed"),            smallint("Position"),
            tinyint("DeviceType"),         nvarchar("UserName", 128),        nvarchar("ServerName", 128),
            nvarchar("DatabaseName", 128), int32("DatabaseVersion"),         datetime("DatabaseCreationDate"),
            numeric("BackupSize", 20),     lsn("FirstLSN"),                  lsn("LastLSN"),
            lsn("CheckpointLSN"),          lsn("DatabaseBackupLSN"),         datetime("BackupStartDate"),
            datetime("BackupFinishDate"),  smallint("SortOrder"),            smallint("CodePage"),
            int32("UnicodeLocaleId"),      int32("UnicodeComparisonStyle"),  tinyint("CompatibilityLevel"),
            int32("SoftwareVendorId"),     int32("SoftwareVersionMajor"),    int32("SoftwareVersionMinor"),
            int32("SoftwareVersionBuild"), nvarchar("MachineName", 128),     int32("Flags"),
            guid("BindingID"),             guid("RecoveryForkID"),           nvarchar("Collation", 128),
            guid("FamilyGUID"),            bit("HasBulkLoggedData"),         bit("IsSnapshot"),
            bit("IsReadOnly"),             bit("IsSingleUser"),              bit("HasBackupChecksums"),
            bit("IsDamaged"),              bit("BeginsLogChain"),            bit("HasIncompleteMetaData"),
            bit("IsForceOffline"),         bit("IsCopyOnly"),                guid("FirstRecoveryForkID"),
            lsn("ForkPointLSN"),           nvarchar("RecoveryModel", 60),    lsn("DifferentialBaseLSN"),
            guid("DifferentialBaseGUID"),  nvarchar("BackupTypeDescription", 60), guid("BackupSetGUID"),
            bigint("CompressedBackupSize"), tinyint("Containment"),          nvarchar("KeyAlgorithm", 32),
            varbinary("EncryptorThumbprint", 20), nvarchar("EncryptorType", 32), datetime("LastValidRestoreTime"),
            nvarchar("TimeZone", 32),      nvarchar("CompressionAlgorithm", 32)};
  for (size_t k = 0; k < sets.size(); ++k) {
    const SetInfo& s = sets[k];
    const SetMeta& m = s.meta;
    const char kind = s.kind();
    const bool compressed = (s.flags & SET_COMPRESSED) != 0;
    const bool encrypted = (s.flags & SET_ENCRYPTED) != 0;
    const bool checksum = (s.flags & SET_CHECKSUM) != 0;
    const int64_t size = pages[k] * PAGE_BYTES;
    const int flags = (checksum ? 16 : 0) | 512;
    r.rows.push_back({
        text_or_null(m.set_name), text_or_null(m.description), number(kind == 'L' ? 2 : kind == 'I' ? 5 : 1), null(),
        number(compressed), number(s.position), number(url ? 9 : 2), text("sa"), text(cfg.server_name),
        text(s.database), number(957), number(m.started), number(size), number(int64_t(m.first_lsn)),
        number(int64_t(m.last_lsn)), number(int64_t(m.checkpoint_lsn)), number(int64_t(m.database_backup_lsn)),
        number(m.started), number(m.finished), number(52), number(0), number(1033), number(196609), number(160),
        number(4608), number(version_part(cfg.version, 0)), number(version_part(cfg.version, 1)),
        number(version_part(cfg.version, 2)), text(cfg.server_name), number(flags), bytes(m.family_guid),
        bytes(m.last_fork), text("SQL_Latin1_General_CP1_CI_AS"), bytes(m.family_guid), number(0), number(0),
        number(0), number(0), number(checksum), number(0), number(0), number(0), number(0),
        number((s.flags & SET_COPY_ONLY) != 0), bytes(m.first_fork), lsn_or_null(m.fork_point), text(m.recovery),
        kind == 'I' ? lsn_or_null(m.differential_base_lsn) : null(), kind == 'I' ? bytes(m.family_guid) : null(),
        text(kind == 'L' ? "Transaction Log" : kind == 'I' ? "Database Differential" : "Database"),
        bytes(m.backup_set_guid), number(compressed ? size / 3 : size), number(0),
        encrypted ? text("aes_256") : null(), encrypted ? bytes(Bytes(20, 0xA5)) : null(),
        encrypted ? text("CERTIFICATE") : null(), null(), null(), compressed ? text("MS_XPRESS") : null()});
  }
  return r;
}

ResultSet filelist_rows(const SetInfo& set) {
  ResultSet r;
  r.cols = {nvarchar("LogicalName", 128), nvarchar("PhysicalName", 260), character("Type", 1),
            nvarchar("FileGroupName", 128), numeric("Size", 20),        numeric("MaxSize", 20),
            bigint("FileID"),               lsn("CreateLSN"),           lsn("DropLSN"),
            guid("UniqueID"),               lsn("ReadOnlyLSN"),         lsn("ReadWriteLSN"),
            bigint("BackupSizeInBytes"),    int32("SourceBlockSize"),   int32("FileGroupID"),
            guid("LogGroupGUID"),           lsn("DifferentialBaseLSN"), guid("DifferentialBaseGUID"),
            bit("IsReadOnly"),              bit("IsPresent"),           varbinary("TDEThumbprint", 32),
            nvarchar("SnapshotURL", 360)};
  int64_t id = 0;
  for (const DbFile& f : set.meta.files) {
    const bool data = f.type != 'L';
    const int64_t size = f.size_mb * MB;
    r.rows.push_back({text(f.logical), text(f.physical), text(std::string(1, f.type)), data ? text("PRIMARY") : null(),
                      number(size), number(data ? 35184372080640 : 2199023255552), number(++id), number(0),
                      number(0), bytes(family_id(set.meta.family_guid, int(id))), number(0), number(0),
                      number(data ? set.pages * PAGE_BYTES : 0), number(512), number(data ? 1 : 0), null(),
                      number(data ? int64_t(set.meta.first_lsn) : 0), bytes(Bytes(16)), number(0), number(1), null(),
                      null()});
  }
  return r;
}

namespace {

// The LSN at time t inside a log backup whose range runs from (from, first)
// to (to, last), as if the log grew evenly.
uint64_t lsn_at(Stamp t, Stamp from, Stamp to, uint64_t first, uint64_t last) {
  if (t <= from || to <= from) return first;
  if (t >= to) return last;
  const long double share = static_cast<long double>(t - from) / static_cast<long double>(to - from);
  return first + uint64_t(share * static_cast<long double>(last - first));
}

// Where each file of the set goes: its MOVE target or where it was. Adds
// the server's planning errors for a target that another database holds,
// whose folder is missing, or that two files claim.
void place_files(const Statement& s, const SetInfo& set, const std::vector<LiveDatabase>& dbs, RestoreStep& step) {
  namespace fs = std::filesystem;
  for (const auto& [logical, physical] : s.moves) {
    const bool known = std::any_of(set.meta.files.begin(), set.meta.files.end(),
                                   [&](const DbFile& f) { return iequal(f.logical, logical); });
    if (!known) {  // documented message 3234
      step.errors.push_back({3234, format("Logical file '%s' is not part of database '%s'. Use RESTORE FILELISTONLY "
                                          "to list the logical file names.", logical.c_str(), s.database.c_str())});
    }
  }
  for (size_t k = 0; k < set.meta.files.size(); ++k) {
    DbFile f = set.meta.files[k];
    for (const auto& [logical, physical] : s.moves) {
      if (iequal(logical, f.logical)) f.physical = physical;
    }
    auto cannot = [&] {  // documented message 3156
      step.errors.push_back({3156, format("File '%s' cannot be restored to '%s'. Use WITH MOVE to identify a valid "
                                          "location for the file.", f.logical.c_str(), f.physical.c_str())});
    };
    for (const LiveDatabase& d : dbs) {
      if (iequal(d.name, s.database)) continue;
      const bool held = std::any_of(d.files.begin(), d.files.end(), [&](const DbFile& o) { return o.physical == f.physical; });
      if (held) {
        // Documented message 1834; the server sends two spaces after the
        // first sentence, where the documentation's table shows one.
        step.errors.push_back({1834, format("The file '%s' cannot be overwritten.  It is being used by database '%s'.",
                                            f.physical.c_str(), d.name.c_str())});
        cannot();
      }
    }
    std::error_code ec;
    const fs::path parent = fs::path(f.physical).parent_path();
    if (f.physical.empty() || !fs::is_directory(parent.empty() ? fs::path(".") : parent, ec)) {
      // Documented message 5133, with the operating system's error 3.
      step.errors.push_back({5133, format("Directory lookup for the file \"%s\" failed with the operating system error "
                                          "3(The system cannot find the path specified.).", f.physical.c_str())});
      cannot();
    }
    for (size_t j = 0; j < step.files.size(); ++j) {
      if (step.files[j].physical != f.physical) continue;
      // Documented message 3176.
      step.errors.push_back({3176, format("File '%s' is claimed by '%s'(%zu) and '%s'(%zu). The WITH MOVE clause can "
                                          "be used to relocate one or more files.", f.physical.c_str(),
                                          step.files[j].logical.c_str(), j + 1, f.logical.c_str(), k + 1)});
    }
    step.files.push_back(f);
  }
  if (!step.errors.empty()) {  // documented message 3119
    step.errors.push_back({3119, "Problems were identified while planning for the RESTORE statement. Previous messages "
                                 "provide details."});
  }
}

// A step the server refuses with one error. The numbers and texts below
// (3147, 3135, 3108, 3154, 3159, 4338, 3117, 3136, 4330, 4305, 4326, 4335)
// are the server's documented messages.
RestoreStep refused(int number, const std::string& text) {
  RestoreStep step;
  step.errors.push_back({number, text});
  return step;
}

RestoreStep other_database(const LiveDatabase& target) {
  return refused(3154, format("The backup set holds a backup of a database other than the existing '%s' database.",
                              target.name.c_str()));
}

// A full backup restored over the target (null: a new database).
RestoreStep check_full(const Statement& s, const SetInfo& set, const std::vector<LiveDatabase>& dbs,
                       const LiveDatabase* target, std::optional<Stamp> stop) {
  const bool restoring = target && target->state == DbState::Restoring;
  if (iequal(s.database, "master")) {
    return refused(3108, "To restore the master database, the server must be running in single-user mode. For "
                         "information on starting in single-user mode, see \"How to: Start an Instance of SQL "
                         "Server (sqlservr.exe)\" in Books Online.");
  }
  if (target && !s.replace && !restoring) {
    if (target->family_guid != set.meta.family_guid) return other_database(*target);
    if (!iequal(target->recovery, "SIMPLE")) {
      return refused(3159, format("The tail of the log for the database \"%s\" has not been backed up. Use BACKUP LOG "
                                  "WITH NORECOVERY to backup the log if it contains work you do not want to lose. Use "
                                  "the WITH REPLACE or WITH STOPAT clause of the RESTORE statement to just overwrite "
                                  "the contents of the log.", target->name.c_str()));
    }
  }
  if (stop && *stop < set.meta.finished) {
    return refused(4338, "The STOPAT clause specifies a point too early to allow this backup set to be restored. "
                         "Choose a different stop point or use RESTORE DATABASE WITH RECOVERY to recover at the "
                         "current point.");
  }
  RestoreStep step;
  place_files(s, set, dbs, step);
  step.redo_lsn = set.meta.last_lsn;
  step.redo_time = set.meta.finished;
  return step;
}

// A log rolled forward onto a restoring copy of the same database.
RestoreStep check_log(const SetInfo& set, const LiveDatabase& target, std::optional<Stamp> stop) {
  // A log of another recovery path, or one that leaves the path past where
  // the database stands.
  const bool crosses = set.meta.first_fork != set.meta.last_fork;
  if ((target.restored_fork != Bytes(16) && set.meta.first_fork != Bytes(16) &&
       set.meta.first_fork != target.restored_fork) ||
      (crosses && target.redo_lsn > set.meta.fork_point)) {
    return refused(4330, "This backup set cannot be applied because it is on a recovery path that is inconsistent "
                         "with the database. The recovery path is the sequence of data and log backups that have "
                         "brought the database to a particular recovery point. Find a compatible backup to restore, "
                         "or restore the rest of the database to match a recovery point within this backup set, "
                         "which will restore the database to a different point in time. For more information about "
                         "recovery paths, see SQL Server Books Online.");
  }
  if (set.meta.first_lsn > target.redo_lsn) {
    return refused(4305, format("The log in this backup set begins at LSN %s, which is too recent to apply to the "
                                "database. An earlier log backup that includes LSN %s can be restored.",
                                lsn_text(set.meta.first_lsn).c_str(), lsn_text(target.redo_lsn).c_str()));
  }
  if (set.meta.last_lsn <= target.redo_lsn) {
    return refused(4326, format("The log in this backup set terminates at LSN %s, which is too early to apply to the "
                                "database. A more recent log backup that includes LSN %s can be restored.",
                                lsn_text(set.meta.last_lsn).c_str(), lsn_text(target.redo_lsn).c_str()));
  }
  RestoreStep step;
  step.redo_lsn = set.meta.last_lsn;
  step.redo_time = set.meta.finished;
  if (!stop) return step;
  if (*stop < target.redo_time) {
    return refused(4335, "The specified STOPAT time is too early. All or part of the database is already rolled "
                         "forward beyond that point.");
  }
  if (*stop < set.meta.finished) {
    step.redo_lsn = std::max(target.redo_lsn, lsn_at(*stop, set.meta.log_from, set.meta.finished,
                                                     set.meta.first_lsn, set.meta.last_lsn));
    step.redo_time = *stop;
  } else {
    // Documented message 4322: the point in time lies beyond this log
    // (4329 is the same note for a named mark, which no statement uses).
    step.notes.push_back({4322, "This backup set contains records that were logged before the designated point in "
                                "time. The database is being left in the restoring state so that more roll forward "
                                "can be performed."});
  }
  return step;
}

}  // namespace

RestoreStep check_restore(const Statement& s, const SetInfo& set, const std::vector<LiveDatabase>& dbs,
                          std::optional<Stamp> stop) {
  const char kind = set.kind();
  const LiveDatabase* target = nullptr;
  for (const LiveDatabase& d : dbs) {
    if (iequal(d.name, s.database)) target = &d;
  }
  if (iequal(s.database, "tempdb")) return refused(3147, "Backup and restore operations are not allowed on database tempdb.");
  if ((kind == 'L') != s.log) {
    return refused(3135, format("The backup set in file '%s' was created by %s and cannot be used for this restore "
                                "operation.", s.path.c_str(), kind == 'L' ? "BACKUP LOG" : "BACKUP DATABASE"));
  }
  if (kind == 'D') return check_full(s, set, dbs, target, stop);
  // A differential or a log rolls a restoring copy of the same database forward.
  if (!target || target->state != DbState::Restoring) {
    return refused(3117, "The log or differential backup cannot be restored because no files are ready to rollforward.");
  }
  if (target->family_guid != set.meta.family_guid) return other_database(*target);
  if (kind != 'I') return check_log(set, *target, stop);
  if (set.meta.differential_base_lsn == 0 || set.meta.differential_base_lsn != target->restored_base_lsn ||
      set.meta.last_lsn < target->redo_lsn) {
    return refused(3136, "This differential backup cannot be restored because the database has not been restored to "
                         "the correct earlier state.");
  }
  RestoreStep step;
  step.redo_lsn = set.meta.last_lsn;
  step.redo_time = set.meta.finished;
  return step;
}

void begin_restore(const Statement& s, const SetInfo& set, const RestoreStep& step, std::vector<LiveDatabase>& dbs) {
  if (set.kind() != 'D') return;
  LiveDatabase* d = find_in(dbs, s.database);
  if (!d) {
    LiveDatabase fresh;
    fresh.name = s.database;
    fresh.id = 5;
    for (const LiveDatabase& o : dbs) fresh.id = std::max(fresh.id, o.id + 1);
    dbs.push_back(fresh);
    d = &dbs.back();
  }
  d->create_date = server_time_text();  // a restored database is a new one
  d->state = DbState::Restoring;
  d->online = false;
  d->files = step.files;
  d->size_mb = files_mb(*d);
  d->recovery = set.meta.recovery.empty() ? "FULL" : set.meta.recovery;
  d->family_guid = set.meta.family_guid;
  d->damaged = false;
  d->redo_lsn = 0;
  d->redo_time = 0;
  d->restored_base_lsn = 0;
  d->restored_fork = Bytes(16);
  d->stopped_inside = false;
  d->fork_at = 0;
  d->base_first_lsn = d->base_checkpoint_lsn = d->log_chain_lsn = 0;
  d->log_chain_time = 0;
}

void finish_restore(const Statement& s, const SetInfo& set, const RestoreStep& step, std::vector<LiveDatabase>& dbs) {
  LiveDatabase* d = find_in(dbs, s.database);
  if (!d) return;
  d->redo_lsn = step.redo_lsn;
  d->redo_time = step.redo_time;
  d->lsn = std::max(d->lsn, step.redo_lsn);
  // Damaged pages come back with the set that carried them.
  if (set.flags & SET_DAMAGED) d->damaged = true;
  if (set.kind() == 'D') d->restored_base_lsn = (set.flags & SET_COPY_ONLY) ? 0 : set.meta.first_lsn;
  d->restored_fork = set.meta.last_fork;
  d->stopped_inside = set.kind() == 'L' && step.redo_lsn < set.meta.last_lsn;
  if (set.kind() == 'L') d->restored_log_first = set.meta.first_lsn;
  // A log that ends before STOPAT leaves the database restoring, whatever the statement asked.
  const bool short_of_stop = !step.notes.empty();
  if (s.recovery && !short_of_stop) recover_database(*d);
}

void seed_history(LiveDatabase& d, int n, BackupHistory& history) {
  constexpr Stamp STEP = 15 * 60 * STAMP_PER_SECOND;
  constexpr uint64_t LSN_STEP = 1000 * 100000;
  const Stamp now = d.touched;
  for (int k = 0; k < n; ++k) {
    BackupSetRecord s;
    s.database = d.name;
    s.type = k % 96 == 0 ? 'D' : k % 24 == 0 ? 'I' : 'L';
    s.started = now - Stamp(n - k) * STEP;
    s.finished = s.started + 30 * STAMP_PER_SECOND;
    s.finished_at = std::chrono::system_clock::now();
    s.media_guid = new_guid();
    s.database_guid = d.family_guid;
    s.first_fork = s.last_fork = d.fork_guid;
    s.devices = {format("/backups/%s_%d.%s", d.name.c_str(), k + 1, s.type == 'D' ? "bak" : s.type == 'I' ? "dif" : "trn")};
    const uint64_t start = d.lsn += LSN_STEP;
    s.database_backup_lsn = d.base_checkpoint_lsn;
    if (s.type == 'L') {
      s.first_lsn = d.log_chain_lsn != 0 ? d.log_chain_lsn : d.checkpoint_lsn;
      s.checkpoint_lsn = d.checkpoint_lsn;
    } else {
      s.first_lsn = s.checkpoint_lsn = d.checkpoint_lsn = start;
      if (s.type == 'I') s.differential_base_lsn = d.base_first_lsn;
    }
    s.last_lsn = d.lsn += LSN_STEP;
    if (s.type == 'D') {
      d.base_first_lsn = s.first_lsn;
      d.base_checkpoint_lsn = s.checkpoint_lsn;
      if (d.log_chain_lsn == 0) {
        d.log_chain_lsn = s.first_lsn;
        d.log_chain_time = s.started;
      }
    }
    if (s.type == 'L') {
      d.log_chain_lsn = s.last_lsn;
      d.log_chain_time = s.finished;
    }
    history.add(std::move(s));
  }
}

void recover_database(LiveDatabase& d) {
  d.state = DbState::Online;
  d.online = true;
  // Recovered short of the end of the log it restored: a new recovery path
  // starts at that point, and the next log backup starts where that log
  // started, crossing the fork.
  if (d.restored_fork != Bytes(16)) {
    if (d.stopped_inside) {
      d.fork_from = d.restored_fork;
      d.fork_at = d.redo_lsn;
      d.fork_guid = new_guid();
      d.log_chain_lsn = d.restored_log_first;
      d.log_chain_time = d.redo_time;
    } else {
      d.fork_guid = d.restored_fork;
    }
    d.restored_fork = Bytes(16);
    d.stopped_inside = false;
  }
  d.lsn = std::max(d.lsn, d.redo_lsn) + 100000;
  d.checkpoint_lsn = d.lsn;
}

}  // namespace sim
