#include "statements.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iterator>
#include <utility>

namespace sim {

const char* const VERSION_QUERY =
    "SELECT CAST(SERVERPROPERTY('ProductVersion') AS NVARCHAR(64)) + N' ' + "
    "CAST(SERVERPROPERTY('Edition') AS NVARCHAR(64))";
const char* const LISTING_QUERY =
    "SELECT d.name, CAST(SUM(mf.size) * 8 / 1024 AS INT), d.recovery_model_desc "
    "FROM sys.databases d JOIN sys.master_files mf ON mf.database_id = d.database_id "
    "WHERE d.database_id > 4 AND d.state = 0 GROUP BY d.name, d.recovery_model_desc "
    "ORDER BY d.name";

// The listing's other forms; the history's local times turned into UTC.
#define LQ_HEAD "SELECT d.name, CAST(SUM(mf.size) * 8 / 1024 AS INT), d.recovery_model_desc"
#define LQ_FROM " FROM sys.databases d JOIN sys.master_files mf ON mf.database_id = d.database_id"
#define LQ_ONLINE " AND d.state = 0 GROUP BY d.name, d.recovery_model_desc ORDER BY d.name"
#define LQ_LAST(kind)                                                                                    \
  ", (SELECT CONVERT(VARCHAR(24), DATEADD(MINUTE, DATEDIFF(MINUTE, GETDATE(), GETUTCDATE()), "           \
  "MAX(b.backup_finish_date)), 126) FROM msdb.dbo.backupset b WHERE b.database_name = d.name AND b.type = " \
  kind ")"
#define LQ_DETAILS                                                                                          \
  ", d.state_desc, CAST(d.is_read_only AS INT), LOWER(r.role_desc), "                                      \
  "CAST(sys.fn_hadr_backup_is_preferred_replica(d.name) AS INT)" LQ_LAST("'D' AND b.is_copy_only = 0")     \
  LQ_LAST("'I'") LQ_LAST("'L'") LQ_FROM                                                                     \
  " LEFT JOIN sys.dm_hadr_availability_replica_states r ON r.replica_id = d.replica_id AND r.is_local = 1"
#define LQ_DETAILS_GROUP \
  " GROUP BY d.name, d.recovery_model_desc, d.state_desc, d.is_read_only, r.role_desc ORDER BY d.name"

const char* listing_query(bool details, bool include_system) {
  static const char* const TEXTS[2][2] = {
      {LISTING_QUERY, LQ_HEAD LQ_FROM " WHERE d.database_id <> 2" LQ_ONLINE},
      {LQ_HEAD LQ_DETAILS " WHERE d.database_id > 4" LQ_DETAILS_GROUP,
       LQ_HEAD LQ_DETAILS " WHERE d.database_id <> 2" LQ_DETAILS_GROUP}};
  return TEXTS[details ? 1 : 0][include_system ? 1 : 0];
}

const char* const HISTORY_QUERY =
    "SELECT TOP (2) s.position FROM msdb.dbo.backupset AS s "
    "JOIN msdb.dbo.backupmediafamily AS f ON f.media_set_id = s.media_set_id "
    "WHERE s.database_name = @db AND s.type = @type AND f.physical_device_name = @device "
    "AND s.backup_finish_date >= DATEADD(SECOND, -@seconds, GETDATE()) ORDER BY s.backup_set_id DESC";

const char* const FOLDERS_QUERY =
    "SELECT CAST(SERVERPROPERTY('InstanceDefaultDataPath') AS nvarchar(4000)) AS data_path, "
    "CAST(SERVERPROPERTY('InstanceDefaultLogPath') AS nvarchar(4000)) AS log_path";
const char* const NAMES_QUERY = "SELECT name FROM sys.databases";
const char* const FILE_NAMES_QUERY = "SELECT physical_name FROM sys.master_files";
const char* const HISTORY_PLAN_QUERY =
    "SELECT s.backup_set_id, s.media_set_id, s.position, s.type, s.is_copy_only, s.first_lsn, s.last_lsn, "
    "s.checkpoint_lsn, s.database_backup_lsn, s.differential_base_lsn, s.backup_start_date, s.backup_finish_date, "
    "s.database_guid, s.first_recovery_fork_guid, s.last_recovery_fork_guid, s.fork_point_lsn, "
    "m.media_family_count, f.family_sequence_number, f.physical_device_name, f.device_type "
    "FROM msdb.dbo.backupset AS s JOIN msdb.dbo.backupmediaset AS m ON m.media_set_id = s.media_set_id "
    "JOIN msdb.dbo.backupmediafamily AS f ON f.media_set_id = s.media_set_id WHERE s.database_name = @db "
    "ORDER BY s.backup_set_id, f.family_sequence_number";

#define SERVER_NAME_EXPR "CAST(SERVERPROPERTY('ServerName') AS nvarchar(256))"
const char* const CLAIM_BATCH =
    "DECLARE @claim int, @resource nvarchar(255) = N'vaultrun scratch ' + UPPER(RTRIM(?)); "
    "EXEC @claim = sp_getapplock @Resource = @resource, @LockMode = 'Exclusive', @LockOwner = 'Session', "
    "@LockTimeout = 0; SELECT @claim AS claim, DB_ID(?) AS database_id, " SERVER_NAME_EXPR
    " AS server_name, CONVERT(varchar(23), GETDATE(), 126) AS server_time";
const char* const IDENTITY_QUERY =
    "SELECT d.database_id, CONVERT(varchar(23), d.create_date, 126) AS create_date, " SERVER_NAME_EXPR
    " AS server_name FROM sys.databases AS d WHERE d.database_id = DB_ID(?) AND d.create_date >= "
    "CONVERT(datetime, ?, 126)";
const char* const DROP_COPY_BATCH =
    "IF DB_ID(?) = ? AND " SERVER_NAME_EXPR " = ? AND EXISTS (SELECT 1 FROM sys.databases WHERE database_id = ? "
    "AND CONVERT(varchar(23), create_date, 126) = ?) DROP DATABASE ? ELSE "
    "RAISERROR(N'not the restore test''s copy', 16, 1)";
const char* const GONE_QUERY =
    "SELECT CASE WHEN " SERVER_NAME_EXPR " = ? THEN (SELECT COUNT(*) FROM sys.databases WHERE database_id = ? "
    "AND CONVERT(varchar(23), create_date, 126) = ?) ELSE -1 END AS present, " SERVER_NAME_EXPR " AS server_name";
const char* const DB_ID_QUERY = "SELECT DB_ID(?) AS database_id";
const char* const OTHER_FILES_QUERY =
    "SELECT physical_name FROM sys.master_files WHERE database_id <> ISNULL(DB_ID(?), 0)";
const char* const CLEANUP_HISTORY_QUERY =
    "SELECT s.backup_set_id, s.media_set_id, m.media_uuid, s.database_name, s.position, s.type, s.is_copy_only, "
    "s.first_lsn, s.last_lsn, s.checkpoint_lsn, s.database_backup_lsn, s.differential_base_lsn, "
    "s.backup_finish_date, s.backup_size, s.database_guid, s.first_recovery_fork_guid, "
    "s.last_recovery_fork_guid, s.fork_point_lsn, m.media_family_count, f.family_sequence_number, "
    "f.physical_device_name, f.device_type, GETDATE() AS server_now FROM msdb.dbo.backupset AS s "
    "JOIN msdb.dbo.backupmediafamily AS f ON f.media_set_id = s.media_set_id "
    "JOIN msdb.dbo.backupmediaset AS m ON m.media_set_id = s.media_set_id "
    "WHERE s.media_set_id IN (SELECT g.media_set_id FROM msdb.dbo.backupmediafamily AS g "
    "WHERE g.physical_device_name IN (SELECT h.physical_device_name FROM msdb.dbo.backupmediafamily AS h "
    "JOIN msdb.dbo.backupset AS b ON b.media_set_id = h.media_set_id WHERE b.database_name = @db)) "
    "ORDER BY s.backup_set_id, f.family_sequence_number";
const char* const DELETE_FILE_STATEMENT = "EXECUTE master.dbo.xp_delete_file 0, @path";

namespace {

enum class Kind { Word, Ident, String, Number, Punct };

struct Token {
  Kind kind;
  std::string text;   // Word as written; Ident and String with quoting undone
  bool national = false;  // String written N'...'
};

struct Lexed {
  std::vector<Token> tokens;
  bool open = false;      // a quote or bracket was never closed
  std::string unclosed;  // the text after it
};

std::string upper(std::string s) {
  for (char& c : s) c = char(std::toupper(uint8_t(c)));
  return s;
}

bool word_start(char c) {
  return std::isalpha(uint8_t(c)) || c == '_' || c == '#' || c == '@' || (uint8_t(c) >= 0x80);
}

bool word_char(char c) {
  return std::isalnum(uint8_t(c)) || c == '_' || c == '#' || c == '@' || c == '$' ||
         (uint8_t(c) >= 0x80);
}

// Reads a quoted run starting after the opening character; a doubled closer
// stands for one. Returns false when the text ends first.
bool quoted(const std::string& s, size_t& i, char closer, std::string& out) {
  while (i < s.size()) {
    if (s[i] == closer) {
      if (i + 1 < s.size() && s[i + 1] == closer) {
        out += closer;
        i += 2;
        continue;
      }
      ++i;
      return true;
    }
    out += s[i++];
  }
  return false;
}

Lexed lex(const std::string& s) {
  Lexed r;
  size_t i = 0;
  while (i < s.size()) {
    char c = s[i];
    if (std::isspace(uint8_t(c))) {
      ++i;
    } else if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
      while (i < s.size() && s[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
      size_t end = s.find("*/", i + 2);
      i = end == std::string::npos ? s.size() : end + 2;
    } else if (c == '\'' || ((c == 'N' || c == 'n') && i + 1 < s.size() && s[i + 1] == '\'')) {
      Token t{Kind::String, "", c != '\''};
      i += t.national ? 2 : 1;
      size_t start = i;
      if (!quoted(s, i, '\'', t.text)) {
        r.open = true;
        r.unclosed = s.substr(start);
        return r;
      }
      r.tokens.push_back(t);
    } else if (c == '[' || c == '"') {
      Token t{Kind::Ident, "", false};
      size_t start = ++i;
      if (!quoted(s, i, c == '[' ? ']' : '"', t.text)) {
        r.open = true;
        r.unclosed = s.substr(start);
        return r;
      }
      r.tokens.push_back(t);
    } else if (std::isdigit(uint8_t(c))) {
      size_t start = i;
      while (i < s.size() && (std::isdigit(uint8_t(s[i])) || s[i] == '.')) ++i;
      r.tokens.push_back({Kind::Number, s.substr(start, i - start), false});
    } else if (word_start(c)) {
      size_t start = i;
      while (i < s.size() && word_char(s[i])) ++i;
      r.tokens.push_back({Kind::Word, s.substr(start, i - start), false});
    } else {
      r.tokens.push_back({Kind::Punct, std::string(1, c), false});
      ++i;
    }
  }
  return r;
}

bool same_tokens(const std::vector<Token>& a, size_t from, size_t to, const std::vector<Token>& b) {
  if (to - from != b.size()) return false;
  for (size_t k = 0; k < b.size(); ++k) {
    const Token& x = a[from + k];
    const Token& y = b[k];
    if (x.kind != y.kind || x.national != y.national) return false;
    bool same = x.kind == Kind::Word ? upper(x.text) == upper(y.text) : x.text == y.text;
    if (!same) return false;
  }
  return true;
}

// A subquery's SELECT follows its opening bracket and starts nothing.
bool is_statement_start(const Token& t) {
  if (t.kind != Kind::Word) return false;
  std::string w = upper(t.text);
  return w == "SELECT" || w == "SET" || w == "USE" || w == "BACKUP" || w == "RESTORE" || w == "DBCC" ||
         w == "DROP";
}

// Reads the tokens of one statement [pos, end); fails with the token that
// could not be accepted.
struct Reader {
  const std::vector<Token>& t;
  size_t pos;
  size_t end;
  size_t bad = SIZE_MAX;  // index of the token where reading failed

  bool at_end() const { return pos >= end; }
  bool fail() {
    if (bad == SIZE_MAX) bad = pos;
    return false;
  }
  bool word(const char* w) {
    if (at_end() || t[pos].kind != Kind::Word || upper(t[pos].text) != w) return fail();
    ++pos;
    return true;
  }
  bool peek_word(const char* w) const {
    return !at_end() && t[pos].kind == Kind::Word && upper(t[pos].text) == w;
  }
  bool punct(char c) {
    if (at_end() || t[pos].kind != Kind::Punct || t[pos].text[0] != c) return fail();
    ++pos;
    return true;
  }
  bool peek_punct(char c) const {
    return !at_end() && t[pos].kind == Kind::Punct && t[pos].text[0] == c;
  }
  // A name: a plain word or a [bracketed] / "quoted" identifier.
  bool name(std::string& out) {
    if (at_end() || (t[pos].kind != Kind::Word && t[pos].kind != Kind::Ident)) return fail();
    out = t[pos++].text;
    return true;
  }
  bool string(std::string& out) {
    if (at_end() || t[pos].kind != Kind::String) return fail();
    out = t[pos++].text;
    return true;
  }
  bool number(int& out) {
    if (at_end() || t[pos].kind != Kind::Number || t[pos].text.find('.') != std::string::npos ||
        t[pos].text.size() > 9) {
      return fail();
    }
    out = std::atoi(t[pos++].text.c_str());
    return true;
  }
};

// A device list: DISK = 'path' or URL = 'url', comma-separated, all of one kind.
bool devices(Reader& r, Statement& s) {
  do {
    const bool url = r.peek_word("URL");
    if (!url && !r.peek_word("DISK")) return r.fail();
    if (!s.paths.empty() && url != s.url) return r.fail();
    r.pos++;
    s.url = url;
    std::string path;
    if (!r.punct('=') || !r.string(path)) return false;
    s.paths.push_back(path);
  } while (r.peek_punct(',') && ++r.pos);
  s.path = s.paths.front();
  return true;
}

// NAME = value, after the name has been read.
bool text_option(Reader& r, std::string& out) { return r.punct('=') && r.string(out); }
bool number_option(Reader& r, int& out) { return r.punct('=') && r.number(out); }

// ENCRYPTION (ALGORITHM = name, SERVER CERTIFICATE = name | SERVER ASYMMETRIC KEY = name)
bool encryption_option(Reader& r, Statement& s) {
  if (!r.punct('(') || !r.word("ALGORITHM") || !r.punct('=') || !r.name(s.cipher) || !r.punct(',') ||
      !r.word("SERVER")) {
    return false;
  }
  std::string& target = r.peek_word("CERTIFICATE") ? s.certificate : s.asymmetric_key;
  if (r.peek_word("CERTIFICATE")) {
    r.pos++;
  } else if (!r.word("ASYMMETRIC") || !r.word("KEY")) {
    return false;
  }
  return r.punct('=') && r.name(target) && r.punct(')');
}

// The options a backup and a verification share.
bool shared_option(Reader& r, Statement& s, bool& ok) {
  ok = true;
  if (r.peek_word("CHECKSUM")) {
    r.pos++;
    s.checksum = true;
  } else if (r.peek_word("NO_CHECKSUM")) {
    r.pos++;
    s.checksum = false;
  } else if (r.peek_word("CREDENTIAL")) {
    r.pos++;
    ok = text_option(r, s.credential);
  } else if (r.peek_word("STATS")) {
    r.pos++;
    s.stats = 10;
    if (r.peek_punct('=')) {
      r.pos++;
      ok = r.number(s.stats);
    }
  } else if (r.peek_word("BUFFERCOUNT") || r.peek_word("MAXTRANSFERSIZE") || r.peek_word("BLOCKSIZE")) {
    int& out = r.peek_word("BUFFERCOUNT") ? s.buffer_count
               : r.peek_word("MAXTRANSFERSIZE") ? s.max_transfer_size : s.block_size;
    r.pos++;
    ok = number_option(r, out);
  } else {
    return false;
  }
  return true;
}

// FILE = n (from 1), after FILE has been read.
bool file_option(Reader& r, Statement& s) {
  if (!r.punct('=') || !r.number(s.file)) return false;
  if (s.file < 1) return r.fail();
  s.file_given = true;
  return true;
}

// WITH STATS [= n] | COMPRESSION | NO_COMPRESSION | COPY_ONLY | INIT | NOINIT
//    | FORMAT | NOFORMAT | CHECKSUM | NO_CHECKSUM | DIFFERENTIAL | NAME = s
//    | DESCRIPTION = s | BUFFERCOUNT = n | MAXTRANSFERSIZE = n | BLOCKSIZE = n
//    | CREDENTIAL = s | ENCRYPTION (...), separated by commas.
bool backup_options(Reader& r, Statement& s) {
  do {
    bool ok = true;
    if (shared_option(r, s, ok)) {
      if (!ok) return false;
    } else if (r.peek_word("COMPRESSION") || r.peek_word("NO_COMPRESSION")) {
      s.compression = r.peek_word("COMPRESSION");
      r.pos++;
    } else if (r.peek_word("COPY_ONLY")) {
      r.pos++;
      s.copy_only = true;
    } else if (r.peek_word("DIFFERENTIAL")) {
      r.pos++;
      s.differential = true;
    } else if (r.peek_word("INIT") || r.peek_word("FORMAT")) {
      r.pos++;
      s.init = true;
    } else if (r.peek_word("NOINIT") || r.peek_word("NOFORMAT")) {
      r.pos++;
    } else if (r.peek_word("NAME") || r.peek_word("DESCRIPTION")) {
      std::string& out = r.peek_word("NAME") ? s.set_name : s.description;
      r.pos++;
      if (!text_option(r, out)) return false;
    } else if (r.peek_word("ENCRYPTION")) {
      r.pos++;
      if (!encryption_option(r, s)) return false;
    } else {
      return r.fail();
    }
  } while (r.peek_punct(',') && ++r.pos);
  return true;
}

// The history query with its literals taken into s; false when the tokens
// are not that query.
bool history_query(const std::vector<Token>& t, size_t from, size_t to, Statement& s) {
  static const Lexed shape = lex(HISTORY_QUERY);
  const std::vector<Token>& want = shape.tokens;
  if (to - from != want.size()) return false;
  std::string type;
  for (size_t k = 0; k < want.size(); ++k) {
    const Token& x = t[from + k];
    const Token& y = want[k];
    if (y.kind == Kind::Word && y.text[0] == '@') {
      const bool number = y.text == "@seconds";
      if (x.kind != (number ? Kind::Number : Kind::String)) return false;
      if (y.text == "@db") s.database = x.text;
      else if (y.text == "@type") type = x.text;
      else if (y.text == "@device") s.history_device = x.text;
      else if (x.text.size() > 9 || x.text.find('.') != std::string::npos) return false;
      else s.history_seconds = std::atoi(x.text.c_str());
      continue;
    }
    if (x.kind != y.kind || (x.kind == Kind::Word ? upper(x.text) != upper(y.text) : x.text != y.text)) return false;
  }
  if (type.size() != 1) return false;
  s.history_type = char(std::toupper(uint8_t(type[0])));
  s.kind = StmtKind::History;
  return true;
}

// The restore plan's history query with its database name taken into s;
// false when the tokens are not that query.
bool history_plan_query(const std::vector<Token>& t, size_t from, size_t to, Statement& s) {
  static const Lexed shape = lex(HISTORY_PLAN_QUERY);
  const std::vector<Token>& want = shape.tokens;
  size_t k = from;
  std::vector<std::string> names;
  for (const Token& y : want) {
    if (k >= to) return false;
    const Token& x = t[k++];
    if (y.kind == Kind::Word && y.text == "@db") {
      if (x.kind != Kind::String) return false;
      names.push_back(x.text);
      continue;
    }
    if (x.kind != y.kind || (x.kind == Kind::Word ? upper(x.text) != upper(y.text) : x.text != y.text)) return false;
  }
  if (k != to || names.size() != 1) return false;
  s.database = names[0];
  s.kind = StmtKind::HistoryPlan;
  return true;
}

// A statement of fixed words with one text literal where the shape has a
// word starting with '@': the literal's text, or false.
bool literal_query(const std::vector<Token>& t, size_t from, size_t to, const Lexed& shape, std::string& value) {
  const std::vector<Token>& want = shape.tokens;
  if (to - from != want.size()) return false;
  for (size_t i = 0; i < want.size(); ++i) {
    const Token& x = t[from + i];
    const Token& y = want[i];
    if (y.kind == Kind::Word && y.text[0] == '@') {
      if (x.kind != Kind::String) return false;
      value = x.text;
      continue;
    }
    if (x.kind != y.kind || (x.kind == Kind::Word ? upper(x.text) != upper(y.text) : x.text != y.text)) return false;
  }
  return true;
}

bool cleanup_statement(const std::vector<Token>& t, size_t from, size_t to, Statement& s) {
  static const Lexed history = lex(CLEANUP_HISTORY_QUERY), deletion = lex(DELETE_FILE_STATEMENT);
  if (literal_query(t, from, to, history, s.database)) {
    s.kind = StmtKind::CleanupHistory;
    return true;
  }
  if (literal_query(t, from, to, deletion, s.path)) {
    s.kind = StmtKind::DeleteFile;
    return true;
  }
  return false;
}

// WITH FILE = n | STATS [= n] | CHECKSUM | NO_CHECKSUM | CREDENTIAL = s
//    | BUFFERCOUNT = n | MAXTRANSFERSIZE = n | BLOCKSIZE = n, and for
//    RESTORE DATABASE | LOG (restoring) also MOVE N'l' TO N'p' | REPLACE
//    | RECOVERY | NORECOVERY | STOPAT = N'time'
bool restore_options(Reader& r, Statement& s, bool restoring) {
  do {
    bool ok = true;
    if (shared_option(r, s, ok)) {
      if (!ok) return false;
    } else if (r.peek_word("FILE")) {
      r.pos++;
      if (!file_option(r, s)) return false;
    } else if (!restoring) {
      return r.fail();
    } else if (r.peek_word("MOVE")) {
      r.pos++;
      std::pair<std::string, std::string> m;
      if (!r.string(m.first) || !r.word("TO") || !r.string(m.second)) return false;
      s.moves.push_back(m);
    } else if (r.peek_word("REPLACE")) {
      r.pos++;
      s.replace = true;
    } else if (r.peek_word("RECOVERY") || r.peek_word("NORECOVERY")) {
      s.recovery = r.peek_word("RECOVERY");
      r.pos++;
    } else if (r.peek_word("STOPAT")) {
      r.pos++;
      if (!text_option(r, s.stop_at)) return false;
    } else {
      return r.fail();
    }
  } while (r.peek_punct(',') && ++r.pos);
  return true;
}

// RESTORE VERIFYONLY | LABELONLY | HEADERONLY | FILELISTONLY FROM ... [WITH ...]
// RESTORE DATABASE | LOG name FROM ... [WITH ...]
// RESTORE DATABASE name WITH RECOVERY
bool restore_statement(Reader& r, Statement& s) {
  const struct { const char* word; StmtKind kind; } reads[] = {{"VERIFYONLY", StmtKind::Verify},
                                                               {"LABELONLY", StmtKind::LabelOnly},
                                                               {"HEADERONLY", StmtKind::HeaderOnly},
                                                               {"FILELISTONLY", StmtKind::FileListOnly}};
  for (const auto& k : reads) {
    if (!r.peek_word(k.word)) continue;
    r.pos++;
    s.kind = k.kind;
    if (!r.word("FROM") || !devices(r, s)) return false;
    if (!r.peek_word("WITH")) return true;
    r.pos++;
    // These read the media only: no progress to report.
    const bool ok = restore_options(r, s, false);
    s.stats = 0;
    return ok;
  }
  s.log = r.peek_word("LOG");
  if (!(s.log ? r.word("LOG") : r.word("DATABASE")) || !r.name(s.database)) return false;
  s.kind = StmtKind::Restore;
  if (!s.log && r.peek_word("WITH")) {
    // Without devices the only restore is the recovery of a restoring database.
    r.pos++;
    s.kind = StmtKind::Recover;
    return r.word("RECOVERY");
  }
  if (!r.word("FROM") || !devices(r, s)) return false;
  if (!r.peek_word("WITH")) return true;
  r.pos++;
  return restore_options(r, s, true);
}

// DBCC CHECKDB (name | N'name') [WITH NO_INFOMSGS | ALL_ERRORMSGS
//    | PHYSICAL_ONLY | TABLOCK | DATA_PURITY | EXTENDED_LOGICAL_CHECKS, ...]
bool checkdb_statement(Reader& r, Statement& s) {
  s.kind = StmtKind::CheckDb;
  if (!r.word("CHECKDB") || !r.punct('(')) return false;
  const bool quoted_name = !r.at_end() && r.t[r.pos].kind == Kind::String;
  if (!(quoted_name ? r.string(s.database) : r.name(s.database))) return false;
  if (!r.punct(')')) return false;
  if (!r.peek_word("WITH")) return true;
  r.pos++;
  do {
    static const char* const known[] = {"NO_INFOMSGS", "ALL_ERRORMSGS", "PHYSICAL_ONLY", "TABLOCK", "DATA_PURITY",
                                        "EXTENDED_LOGICAL_CHECKS"};
    const char* const* hit = std::find_if(std::begin(known), std::end(known), [&](const char* w) { return r.peek_word(w); });
    if (hit == std::end(known)) return r.fail();
    s.no_infomsgs = s.no_infomsgs || r.peek_word("NO_INFOMSGS");
    r.pos++;
  } while (r.peek_punct(',') && ++r.pos);
  return true;
}

bool select_items(Reader& r, Statement& s) {
  do {
    SelectItem item;
    if (r.at_end()) return r.fail();
    const Token& t = r.t[r.pos];
    std::string w = upper(t.text);
    if (t.kind == Kind::Word && (w == "@@SPID" || w == "@@VERSION" || w == "@@SERVERNAME" ||
                                 w == "@@LANGUAGE" || w == "@@TRANCOUNT")) {
      item.expr = w;
      r.pos++;
    } else if (t.kind == Kind::Word && w == "DB_NAME") {
      r.pos++;
      if (!r.punct('(') || !r.punct(')')) return false;
      item.expr = "DB_NAME()";
    } else {
      return r.fail();
    }
    if (r.peek_word("AS")) {
      r.pos++;
      if (!r.name(item.alias)) return false;
    } else if (!r.at_end() && (r.t[r.pos].kind == Kind::Ident ||
                               (r.t[r.pos].kind == Kind::Word && upper(r.t[r.pos].text) != "FROM"))) {
      item.alias = r.t[r.pos++].text;
    }
    s.items.push_back(item);
  } while (r.peek_punct(',') && ++r.pos);
  return true;
}

// The statements the library sends word for word (the version query, the
// listings, the folder and name queries): true with s's kind when [from, to)
// is one of them.
bool fixed_statement(const std::vector<Token>& t, size_t from, size_t to, Statement& s) {
  static const Lexed version = lex(VERSION_QUERY);
  static const Lexed listings[4] = {lex(listing_query(false, false)), lex(listing_query(false, true)),
                                    lex(listing_query(true, false)), lex(listing_query(true, true))};
  if (same_tokens(t, from, to, version.tokens)) {
    s.kind = StmtKind::Version;
    return true;
  }
  for (int k = 0; k < 4; ++k) {
    if (!same_tokens(t, from, to, listings[k].tokens)) continue;
    s.kind = StmtKind::Listing;
    s.listing_details = k >= 2;
    s.listing_system = k % 2 == 1;
    return true;
  }
  static const Lexed folders = lex(FOLDERS_QUERY), names = lex(NAMES_QUERY), file_names = lex(FILE_NAMES_QUERY);
  const std::pair<const Lexed*, StmtKind> others[] = {
      {&folders, StmtKind::Folders}, {&names, StmtKind::Names}, {&file_names, StmtKind::FileNames}};
  for (const auto& [lexed, kind] : others) {
    if (!same_tokens(t, from, to, lexed->tokens)) continue;
    s.kind = kind;
    return true;
  }
  return false;
}

// One statement from [from, to); false with r.bad set when it is not one the
// server knows.
bool parse_statement(const std::vector<Token>& t, size_t from, size_t to, Statement& s, size_t& bad) {
  if (fixed_statement(t, from, to, s)) return true;
  if (history_query(t, from, to, s)) return true;
  if (history_plan_query(t, from, to, s)) return true;
  if (cleanup_statement(t, from, to, s)) return true;
  Reader r{t, from, to};
  bool ok = false;
  std::string first = upper(t[from].text);
  if (t[from].kind != Kind::Word) {
    r.fail();
  } else if (first == "SET") {
    r.pos++;
    s.kind = StmtKind::Set;
    ok = !r.at_end() && t[r.pos].kind == Kind::Word;
    if (ok) r.pos = to;
    else r.fail();
  } else if (first == "USE") {
    r.pos++;
    s.kind = StmtKind::Use;
    ok = r.name(s.database);
  } else if (first == "SELECT") {
    r.pos++;
    s.kind = StmtKind::SelectVars;
    ok = select_items(r, s);
  } else if (first == "BACKUP") {
    r.pos++;
    s.kind = StmtKind::Backup;
    s.log = r.peek_word("LOG");
    ok = (s.log ? r.word("LOG") : r.word("DATABASE")) && r.name(s.database) && r.word("TO") && devices(r, s);
    if (ok && r.peek_word("WITH")) {
      r.pos++;
      ok = backup_options(r, s);
    }
  } else if (first == "RESTORE") {
    r.pos++;
    ok = restore_statement(r, s);
  } else if (first == "DBCC") {
    r.pos++;
    ok = checkdb_statement(r, s);
  } else if (first == "DROP") {
    r.pos++;
    s.kind = StmtKind::Drop;
    ok = r.word("DATABASE") && r.name(s.database);
  } else {
    r.fail();
  }
  if (ok && !r.at_end()) ok = r.fail();
  bad = r.bad;
  return ok;
}

}  // namespace

namespace {

// The whole batch as one of the restore test's forms: every ? of the form
// takes one literal (a string, a number or a bracketed name).
bool copy_batch(const std::vector<Token>& t, Statement& s) {
  static const std::pair<StmtKind, Lexed> forms[] = {
      {StmtKind::Claim, lex(CLAIM_BATCH)}, {StmtKind::Identity, lex(IDENTITY_QUERY)},
      {StmtKind::DropCopy, lex(DROP_COPY_BATCH)}, {StmtKind::Gone, lex(GONE_QUERY)},
      {StmtKind::DbId, lex(DB_ID_QUERY)}, {StmtKind::OtherFiles, lex(OTHER_FILES_QUERY)}};
  for (const auto& [kind, form] : forms) {
    const std::vector<Token>& want = form.tokens;
    if (want.size() != t.size()) continue;
    std::vector<std::string> args;
    bool same = true;
    for (size_t k = 0; k < want.size() && same; ++k) {
      const Token& x = t[k];
      const Token& y = want[k];
      if (y.kind == Kind::Punct && y.text == "?") {
        same = x.kind == Kind::Number || x.kind == Kind::Ident || (x.kind == Kind::String && x.national);
        args.push_back(x.text);
      } else {
        same = x.kind == y.kind && (x.kind == Kind::Word ? upper(x.text) == upper(y.text) : x.text == y.text);
      }
    }
    if (!same) continue;
    s.kind = kind;
    s.args = std::move(args);
    return true;
  }
  return false;
}

}  // namespace

Batch parse_batch(const std::string& text) {
  Batch b;
  Lexed lx = lex(text);
  if (lx.open) {
    b.error_number = 105;
    b.error_text = "Unclosed quotation mark after the character string '" + lx.unclosed + "'.";
    return b;
  }
  Statement whole;
  if (copy_batch(lx.tokens, whole)) {
    b.statements.push_back(whole);
    return b;
  }
  const std::vector<Token>& t = lx.tokens;
  size_t from = 0;
  while (from < t.size()) {
    if (t[from].kind == Kind::Punct && t[from].text == ";") {
      ++from;
      continue;
    }
    // A statement ends at ';' or at the first word of the next one, outside
    // parentheses (a subquery's SELECT belongs to its statement).
    size_t to = from + 1;
    int depth = 0;
    while (to < t.size() && !(t[to].kind == Kind::Punct && t[to].text == ";") &&
           !(depth == 0 && is_statement_start(t[to]))) {
      if (t[to].kind == Kind::Punct && t[to].text == "(") ++depth;
      if (t[to].kind == Kind::Punct && t[to].text == ")" && depth > 0) --depth;
      ++to;
    }
    Statement s;
    size_t bad = SIZE_MAX;
    if (!parse_statement(t, from, to, s, bad)) {
      // Name the token where reading stopped, or the statement's last one
      // when it ended too early, as a server's parser does.
      size_t at = bad < to ? bad : to - 1;
      b.statements.clear();
      b.error_number = 102;
      b.error_text = "Incorrect syntax near '" + t[at].text + "'.";
      return b;
    }
    b.statements.push_back(s);
    from = to;
  }
  return b;
}

}  // namespace sim
