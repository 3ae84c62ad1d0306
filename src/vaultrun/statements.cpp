#include "vaultrun/statements.h"

#include <cstdio>
#include <cstring>

namespace {

// Appends to a statement under construction; once something has not fitted,
// further pieces are dropped and the result is refused whole.
struct sql_text {
  char* out;
  size_t cap;
  size_t len;
  bool fits;
};

void put(sql_text* t, const char* piece) {
  const size_t n = std::strlen(piece);
  if (!t->fits || n >= t->cap - t->len) {
    t->fits = false;
    return;
  }
  std::memcpy(t->out + t->len, piece, n);
  t->len += n;
}

// Appends text with every `closer` doubled, so that inside the delimiters the
// closer stands for itself and cannot end the name or the literal.
void put_quoted(sql_text* t, const char* text, char closer) {
  for (const char* p = text; *p && t->fits; ++p) {
    const size_t n = *p == closer ? 2 : 1;
    if (n >= t->cap - t->len) {
      t->fits = false;
      break;
    }
    t->out[t->len++] = *p;
    if (n == 2) t->out[t->len++] = *p;
  }
}

// prefix N'text' with the quotes doubled.
void put_literal(sql_text* t, const char* prefix, const char* text) {
  put(t, prefix);
  put(t, "N'");
  put_quoted(t, text, '\'');
  put(t, "'");
}

void put_number(sql_text* t, const char* prefix, int64_t v) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(v));
  put(t, prefix);
  put(t, digits);
}

bool finish(sql_text* t) {
  if (t->cap == 0) return false;
  t->out[t->fits ? t->len : 0] = 0;
  return t->fits;
}

// "DISK = N'a', DISK = N'b'", or URL for URL targets.
void put_targets(sql_text* t, const backup_config* cfg) {
  const int n = backup_target_count(cfg);
  for (int i = 0; i < n; ++i) {
    const char* target = backup_target(cfg, i);
    if (i > 0) put(t, ", ");
    put_literal(t, is_url_target(target) ? "URL = " : "DISK = ", target);
  }
}

// "DISK = N'a', URL = N'b'" for an explicit list of targets.
void put_target_list(sql_text* t, const restore_targets* list) {
  for (int i = 0; i < list->count; ++i) {
    if (i > 0) put(t, ", ");
    put_literal(t, is_url_target(list->path[i]) ? "URL = " : "DISK = ", list->path[i]);
  }
}

// The credential of an https target; an s3 target's comes from its URL.
void put_credential(sql_text* t, const backup_config* cfg) {
  if (cfg->credential[0] != 0) put_literal(t, ", CREDENTIAL = ", cfg->credential);
}

const char* const CIPHER_WORDS[] = {"", "AES_128", "AES_192", "AES_256", "TRIPLE_DES_3KEY"};

void put_encryption(sql_text* t, const backup_config* cfg) {
  if (cfg->encryption <= CIPHER_NONE || cfg->encryption > CIPHER_TRIPLE_DES_3KEY) return;
  put(t, ", ENCRYPTION (ALGORITHM = ");
  put(t, CIPHER_WORDS[cfg->encryption]);
  const bool cert = cfg->server_certificate[0] != 0;
  put(t, cert ? ", SERVER CERTIFICATE = [" : ", SERVER ASYMMETRIC KEY = [");
  put_quoted(t, cert ? cfg->server_certificate : cfg->server_asymmetric_key, ']');
  put(t, "])");
}

// The backup kinds' options, after the options every backup has.
void put_kind_options(sql_text* t, const backup_config* cfg) {
  if (cfg->type == BACKUP_DIFFERENTIAL) put(t, ", DIFFERENTIAL");
  if (cfg->init) put(t, ", INIT");
  if (cfg->checksum) put(t, ", CHECKSUM");
  if (cfg->name[0] != 0) put_literal(t, ", NAME = ", cfg->name);
  if (cfg->description[0] != 0) put_literal(t, ", DESCRIPTION = ", cfg->description);
  if (cfg->buffer_count > 0) put_number(t, ", BUFFERCOUNT = ", cfg->buffer_count);
  if (cfg->max_transfer_size > 0) put_number(t, ", MAXTRANSFERSIZE = ", cfg->max_transfer_size);
  if (cfg->block_size > 0) put_number(t, ", BLOCKSIZE = ", cfg->block_size);
  put_credential(t, cfg);
  put_encryption(t, cfg);
}

// The kind's letter in the server's backup history.
const char* history_type(const backup_config* cfg) {
  return cfg->type == BACKUP_LOG ? "'L'" : cfg->type == BACKUP_DIFFERENTIAL ? "'I'" : "'D'";
}

// The listing's pieces. The history keeps the server's local times; the
// offset to UTC of this moment turns them into times a host can compare
// with its own clock.
#define LISTING_HEAD "SELECT d.name, CAST(SUM(mf.size) * 8 / 1024 AS INT), d.recovery_model_desc"
#define LISTING_FROM " FROM sys.databases d JOIN sys.master_files mf ON mf.database_id = d.database_id"
#define LISTING_USER " WHERE d.database_id > 4"
#define LISTING_SYSTEM " WHERE d.database_id <> 2"
#define LISTING_ONLINE " AND d.state = 0 GROUP BY d.name, d.recovery_model_desc ORDER BY d.name"
#define LAST_BACKUP(kind)                                                                                \
  ", (SELECT CONVERT(VARCHAR(24), DATEADD(MINUTE, DATEDIFF(MINUTE, GETDATE(), GETUTCDATE()), "           \
  "MAX(b.backup_finish_date)), 126) FROM msdb.dbo.backupset b WHERE b.database_name = d.name AND b.type = " \
  kind ")"
#define LISTING_DETAILS                                                                                    \
  ", d.state_desc, CAST(d.is_read_only AS INT), LOWER(r.role_desc), "                                     \
  "CAST(sys.fn_hadr_backup_is_preferred_replica(d.name) AS INT)" LAST_BACKUP("'D' AND b.is_copy_only = 0") \
  LAST_BACKUP("'I'") LAST_BACKUP("'L'") LISTING_FROM                                                        \
  " LEFT JOIN sys.dm_hadr_availability_replica_states r ON r.replica_id = d.replica_id AND r.is_local = 1"
#define LISTING_DETAILS_GROUP \
  " GROUP BY d.name, d.recovery_model_desc, d.state_desc, d.is_read_only, r.role_desc ORDER BY d.name"

}  // namespace

const char* listing_statement(bool details, bool include_system) {
  static const char* const TEXTS[2][2] = {
      {LISTING_HEAD LISTING_FROM LISTING_USER LISTING_ONLINE, LISTING_HEAD LISTING_FROM LISTING_SYSTEM LISTING_ONLINE},
      {LISTING_HEAD LISTING_DETAILS LISTING_USER LISTING_DETAILS_GROUP,
       LISTING_HEAD LISTING_DETAILS LISTING_SYSTEM LISTING_DETAILS_GROUP}};
  return TEXTS[details ? 1 : 0][include_system ? 1 : 0];
}

bool backup_statement(const backup_config* cfg, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0};
  put(&t, cfg->type == BACKUP_LOG ? "BACKUP LOG [" : "BACKUP DATABASE [");
  put_quoted(&t, cfg->database, ']');
  put(&t, "] TO ");
  put_targets(&t, cfg);
  put(&t, " WITH STATS = 5");
  if (cfg->compression) put(&t, ", COMPRESSION");
  if (cfg->copy_only) put(&t, ", COPY_ONLY");
  put_kind_options(&t, cfg);
  return finish(&t);
}

bool history_statement(const backup_config* cfg, int64_t seconds, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0 && backup_target_count(cfg) > 0};
  put(&t,
      "SELECT TOP (2) s.position FROM msdb.dbo.backupset AS s "
      "JOIN msdb.dbo.backupmediafamily AS f ON f.media_set_id = s.media_set_id WHERE s.database_name = ");
  put_literal(&t, "", cfg->database);
  put(&t, " AND s.type = ");
  put(&t, history_type(cfg));
  put(&t, " AND f.physical_device_name = ");
  if (t.fits) put_literal(&t, "", backup_target(cfg, 0));
  put_number(&t, " AND s.backup_finish_date >= DATEADD(SECOND, -", seconds);
  put(&t, ", GETDATE()) ORDER BY s.backup_set_id DESC");
  return finish(&t);
}

bool verify_statement(const backup_config* cfg, int32_t file, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0};
  put(&t, "RESTORE VERIFYONLY FROM ");
  put_targets(&t, cfg);
  put_number(&t, " WITH FILE = ", file);
  if (cfg->checksum) put(&t, ", CHECKSUM");
  put_credential(&t, cfg);
  return finish(&t);
}

// ---- Restore ----------------------------------------------------------------

bool restore_folders_statement(char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0};
  put(&t,
      "SELECT CAST(SERVERPROPERTY('InstanceDefaultDataPath') AS nvarchar(4000)) AS data_path, "
      "CAST(SERVERPROPERTY('InstanceDefaultLogPath') AS nvarchar(4000)) AS log_path");
  return finish(&t);
}

bool restore_history_statement(const backup_config* cfg, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0};
  // The whole history of the name: a chain may start from any full, and
  // the planner needs the sets on every recovery path and of every
  // database that had the name to keep them apart.
  put(&t,
      "SELECT s.backup_set_id, s.media_set_id, s.position, s.type, s.is_copy_only, s.first_lsn, s.last_lsn, "
      "s.checkpoint_lsn, s.database_backup_lsn, s.differential_base_lsn, s.backup_start_date, "
      "s.backup_finish_date, s.database_guid, s.first_recovery_fork_guid, s.last_recovery_fork_guid, "
      "s.fork_point_lsn, m.media_family_count, f.family_sequence_number, f.physical_device_name, f.device_type "
      "FROM msdb.dbo.backupset AS s JOIN msdb.dbo.backupmediaset AS m ON m.media_set_id = s.media_set_id "
      "JOIN msdb.dbo.backupmediafamily AS f ON f.media_set_id = s.media_set_id WHERE s.database_name = ");
  put_literal(&t, "", restore_source(cfg));
  put(&t, " ORDER BY s.backup_set_id, f.family_sequence_number");
  return finish(&t);
}

bool cleanup_history_statement(const backup_config* cfg, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0};
  put(&t,
      "SELECT s.backup_set_id, s.media_set_id, m.media_uuid, s.database_name, s.position, s.type, s.is_copy_only, "
      "s.first_lsn, s.last_lsn, s.checkpoint_lsn, s.database_backup_lsn, s.differential_base_lsn, "
      "s.backup_finish_date, s.backup_size, s.database_guid, s.first_recovery_fork_guid, "
      "s.last_recovery_fork_guid, s.fork_point_lsn, m.media_family_count, f.family_sequence_number, "
      "f.physical_device_name, f.device_type, GETDATE() AS server_now FROM msdb.dbo.backupset AS s "
      "JOIN msdb.dbo.backupmediafamily AS f ON f.media_set_id = s.media_set_id "
      "JOIN msdb.dbo.backupmediaset AS m ON m.media_set_id = s.media_set_id "
      "WHERE s.media_set_id IN (SELECT g.media_set_id FROM msdb.dbo.backupmediafamily AS g "
      "WHERE g.physical_device_name IN (SELECT h.physical_device_name FROM msdb.dbo.backupmediafamily AS h "
      "JOIN msdb.dbo.backupset AS b ON b.media_set_id = h.media_set_id WHERE b.database_name = ");
  put_literal(&t, "", cfg->database);
  put(&t, ")) ORDER BY s.backup_set_id, f.family_sequence_number");
  return finish(&t);
}

bool delete_file_statement(const char* path, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0 && path[0] != 0 && utf8_valid(path, std::strlen(path))};
  put_literal(&t, "EXECUTE master.dbo.xp_delete_file 0, ", path);
  return finish(&t);
}

bool restore_labelonly_statement(const backup_config* cfg, const char* path, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0};
  put_literal(&t, is_url_target(path) ? "RESTORE LABELONLY FROM URL = " : "RESTORE LABELONLY FROM DISK = ", path);
  if (cfg->credential[0] != 0) put_literal(&t, " WITH CREDENTIAL = ", cfg->credential);
  return finish(&t);
}

bool restore_headeronly_statement(const backup_config* cfg, const restore_targets* list, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0 && list->count > 0};
  put(&t, "RESTORE HEADERONLY FROM ");
  put_target_list(&t, list);
  if (cfg->credential[0] != 0) put_literal(&t, " WITH CREDENTIAL = ", cfg->credential);
  return finish(&t);
}

bool restore_filelist_statement(const backup_config* cfg, const restore_targets* list, int32_t file, char* out,
                                size_t cap) {
  sql_text t{out, cap, 0, cap > 0 && list->count > 0};
  put(&t, "RESTORE FILELISTONLY FROM ");
  put_target_list(&t, list);
  put_number(&t, " WITH FILE = ", file);
  put_credential(&t, cfg);
  return finish(&t);
}

bool restore_step_statement(const backup_config* cfg, restore_step_kind kind, const restore_targets* list,
                            int32_t file, const restore_moves* moves, bool stop, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0 && list->count > 0};
  put(&t, kind == STEP_LOG ? "RESTORE LOG [" : "RESTORE DATABASE [");
  put_quoted(&t, cfg->database, ']');
  put(&t, "] FROM ");
  put_target_list(&t, list);
  put_number(&t, " WITH FILE = ", file);
  put(&t, ", NORECOVERY");
  if (kind == STEP_FULL && moves != nullptr) {
    for (int i = 0; i < moves->count; ++i) {
      put_literal(&t, ", MOVE ", moves->logical[i]);
      put_literal(&t, " TO ", moves->physical[i]);
    }
  }
  if (kind == STEP_FULL && cfg->replace) put(&t, ", REPLACE");
  if (kind == STEP_LOG && stop && cfg->stop_at[0] != 0) put_literal(&t, ", STOPAT = ", cfg->stop_at);
  if (cfg->checksum) put(&t, ", CHECKSUM");
  if (cfg->buffer_count > 0) put_number(&t, ", BUFFERCOUNT = ", cfg->buffer_count);
  if (cfg->max_transfer_size > 0) put_number(&t, ", MAXTRANSFERSIZE = ", cfg->max_transfer_size);
  if (cfg->block_size > 0) put_number(&t, ", BLOCKSIZE = ", cfg->block_size);
  put_credential(&t, cfg);
  put(&t, ", STATS = 5");
  return finish(&t);
}

bool restore_recovery_statement(const backup_config* cfg, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0};
  put(&t, "RESTORE DATABASE [");
  put_quoted(&t, cfg->database, ']');
  put(&t, "] WITH RECOVERY");
  return finish(&t);
}



const char* database_files_statement() { return "SELECT physical_name FROM sys.master_files"; }

namespace {

bool copy_restored(const scratch_copy* copy) {
  return copy->checked_free && copy->restore_sent && copy->name[0] != 0;
}

}  // namespace

bool checkdb_statement(const scratch_copy* copy, int32_t mode, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0 && copy_restored(copy) && (mode == CHECKDB_FULL || mode == CHECKDB_PHYSICAL_ONLY)};
  put(&t, "DBCC CHECKDB ([");
  put_quoted(&t, copy->name, ']');
  put(&t, "]) WITH NO_INFOMSGS, ALL_ERRORMSGS");
  if (mode == CHECKDB_PHYSICAL_ONLY) put(&t, ", PHYSICAL_ONLY");
  return finish(&t);
}

// The server's own name, as every identity check compares it.
#define SERVER_NAME "CAST(SERVERPROPERTY('ServerName') AS nvarchar(256))"

bool claim_statement(const char* name, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0 && name[0] != 0};
  put_literal(&t, "DECLARE @claim int, @resource nvarchar(255) = N'vaultrun scratch ' + UPPER(RTRIM(", name);
  put(&t,
      ")); EXEC @claim = sp_getapplock @Resource = @resource, @LockMode = 'Exclusive', @LockOwner = 'Session', "
      "@LockTimeout = 0; SELECT @claim AS claim, DB_ID(");
  put_literal(&t, "", name);
  put(&t, ") AS database_id, " SERVER_NAME " AS server_name, CONVERT(varchar(23), GETDATE(), 126) AS server_time");
  return finish(&t);
}

bool identity_statement(const scratch_copy* copy, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0 && copy_restored(copy) && copy->claimed_at[0] != 0};
  put(&t,
      "SELECT d.database_id, CONVERT(varchar(23), d.create_date, 126) AS create_date, " SERVER_NAME
      " AS server_name FROM sys.databases AS d WHERE d.database_id = DB_ID(");
  put_literal(&t, "", copy->name);
  put_literal(&t, ") AND d.create_date >= CONVERT(datetime, ", copy->claimed_at);
  put(&t, ", 126)");
  return finish(&t);
}

namespace {

bool identity_usable(const copy_identity* id) {
  return id->recorded && id->name[0] != 0 && id->server[0] != 0 && id->create_date[0] != 0 && id->database_id > 4;
}

// "database_id = n AND CONVERT(varchar(23), create_date, 126) = N'date'"
void put_same_copy(sql_text* t, const copy_identity* id) {
  put_number(t, "database_id = ", id->database_id);
  put_literal(t, " AND CONVERT(varchar(23), create_date, 126) = ", id->create_date);
}

}  // namespace

bool drop_statement(const copy_identity* id, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0 && identity_usable(id)};
  put_literal(&t, "IF DB_ID(", id->name);
  put_number(&t, ") = ", id->database_id);
  put_literal(&t, " AND " SERVER_NAME " = ", id->server);
  put(&t, " AND EXISTS (SELECT 1 FROM sys.databases WHERE ");
  put_same_copy(&t, id);
  put(&t, ") DROP DATABASE [");
  put_quoted(&t, id->name, ']');
  put(&t, "] ELSE RAISERROR(N'not the restore test''s copy', 16, 1)");
  return finish(&t);
}

bool gone_statement(const copy_identity* id, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0 && identity_usable(id)};
  put_literal(&t, "SELECT CASE WHEN " SERVER_NAME " = ", id->server);
  put(&t, " THEN (SELECT COUNT(*) FROM sys.databases WHERE ");
  put_same_copy(&t, id);
  put(&t, ") ELSE -1 END AS present, " SERVER_NAME " AS server_name");
  return finish(&t);
}

bool other_files_statement(const char* name, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0};
  put_literal(&t, "SELECT physical_name FROM sys.master_files WHERE database_id <> ISNULL(DB_ID(", name);
  put(&t, "), 0)");
  return finish(&t);
}

bool database_id_statement(const char* name, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0};
  put_literal(&t, "SELECT DB_ID(", name);
  put(&t, ") AS database_id");
  return finish(&t);
}
