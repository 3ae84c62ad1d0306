#include "session.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>

#include <filesystem>
#include <memory>
#include <thread>

#include "backup_file.h"
#include "backup_history.h"
#include "catalog.h"
#include "channel.h"
#include "clock.h"
#include "login.h"
#include "restore.h"
#include "statements.h"
#include "wire.h"

namespace sim {

// ---- Statement log --------------------------------------------------------------

StatementLog::StatementLog(const std::string& path) : path_(path) {
  if (!path_.empty()) file_ = std::fopen(path_.c_str(), "a");
}

StatementLog::~StatementLog() {
  if (file_) std::fclose(file_);
}

void StatementLog::line(const std::string& text) {
  if (!file_) return;
  std::lock_guard<std::mutex> lock(mu_);
  std::fputs(text.c_str(), file_);
  std::fputc('\n', file_);
  std::fflush(file_);
}

void StatementLog::batch(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  line(out);
}

void StatementLog::attention() { line("ATTENTION"); }

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t TDS_74 = 0x74000004;

// Severity classes as the server reports them.
constexpr uint8_t CLASS_INFO = 0;
constexpr uint8_t CLASS_BACKUP_INFO = 10;
constexpr uint8_t CLASS_LOGIN = 14;
constexpr uint8_t CLASS_PERMISSION = 14;
constexpr uint8_t CLASS_SYNTAX = 15;
constexpr uint8_t CLASS_USER = 16;

uint32_t rd32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8) | (uint32_t(b[at + 2]) << 16) |
         (uint32_t(b[at + 3]) << 24);
}

bool iequal(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(uint8_t(x)) == std::tolower(uint8_t(y));
         });
}


enum class Outcome { Done, Interrupted, Gone };

constexpr const char* BACKUP_ABNORMAL = "BACKUP DATABASE is terminating abnormally.";
constexpr const char* LOG_ABNORMAL = "BACKUP LOG is terminating abnormally.";
constexpr const char* VERIFY_ABNORMAL = "VERIFY DATABASE is terminating abnormally.";
constexpr const char* RESTORE_ABNORMAL = "RESTORE DATABASE is terminating abnormally.";
constexpr const char* RESTORE_LOG_ABNORMAL = "RESTORE LOG is terminating abnormally.";

// The name a RESTORE's refusal ends with.
const char* restore_abnormal(const Statement& s) {
  switch (s.kind) {
    case StmtKind::LabelOnly: return "RESTORE LABELONLY is terminating abnormally.";
    case StmtKind::HeaderOnly: return "RESTORE HEADERONLY is terminating abnormally.";
    case StmtKind::FileListOnly: return "RESTORE FILELIST is terminating abnormally.";
    case StmtKind::Verify: return VERIFY_ABNORMAL;
    default: return s.log ? RESTORE_LOG_ABNORMAL : RESTORE_ABNORMAL;
  }
}

const char* abnormal(const Statement& s) { return s.log ? LOG_ABNORMAL : BACKUP_ABNORMAL; }

// The backup's kind as the history and the messages name it.
char kind_of(const Statement& s) { return s.log ? 'L' : s.differential ? 'I' : 'D'; }

bool starts_nocase(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && iequal(s.substr(0, prefix.size()), prefix);
}

bool listed(const std::vector<std::string>& names, const std::string& name) {
  return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return iequal(n, name); });
}

// A backup under way: what it copies, the files it writes (one a stripe)
// and its start.
struct BackupRun {
  const Statement& s;
  LiveDatabase db;
  uint16_t more;  // DONE_MORE when statements follow in the batch
  std::vector<BackupImage> images{};
  std::vector<std::unique_ptr<BackupWriter>> writers{};
  std::vector<std::string> files{};
  int64_t pages = 0;  // of every stripe together
  Clock::time_point start{};
};

class Session {
 public:
  Session(int fd, const Config& cfg, uint16_t spid, const std::atomic<bool>& stopping,
          StatementLog& log, const TlsContext* tls)
      : ch_(fd, cfg, spid, stopping, tls), cfg_(cfg), spid_(spid), log_(log) {
    tok_.server_name = catalog().server_name();
  }

  void run();
  // The session's database is no longer in use by it.
  void leave() {
    if (state_ == State::LoggedIn) catalog().move_user(database_, "");
    catalog().release_claims(spid_);
  }

 private:
  enum class State { Start, PreloginDone, LoggedIn };
  enum class Watch { Quiet, Attention, Gone };

  bool on_prelogin(const Packet& m);
  bool start_tls(AfterPrelogin then);
  bool on_login(const Packet& m);
  bool admit(const Login7& login, std::string& db);
  bool accept_login(const Login7& login, const std::string& db);
  bool on_batch(const Packet& m);
  bool on_attention();
  bool on_rpc();

  Outcome run_statement(const Statement& s, bool last);
  void version_row(uint16_t more);
  void listing(const Statement& s, uint16_t more);
  void select_vars(const Statement& s, uint16_t more);
  void use_database(const Statement& s, uint16_t more);
  Outcome backup(const Statement& s, uint16_t more);
  std::optional<LiveDatabase> backup_source(const Statement& s, uint16_t more);
  bool backup_allowed(const Statement& s, const Database& d, uint16_t more);
  bool device_files(const Statement& s, std::vector<std::string>& files, const char* abnormal, uint16_t more);
  void plan_backup(BackupRun& r);
  void result(const ResultSet& r, uint16_t more);
  void history_plan(const Statement& s, uint16_t more);
  bool history_refused(uint16_t more);
  void cleanup_history(const Statement& s, uint16_t more);
  void delete_file(const Statement& s, uint16_t more);
  bool read_media(const Statement& s, bool whole_set, uint16_t more, std::vector<std::string>& files,
                  std::vector<std::vector<SetInfo>>& media);
  void label_only(const Statement& s, uint16_t more);
  void header_only(const Statement& s, uint16_t more);
  void file_list_only(const Statement& s, uint16_t more);
  bool check_sets(const Statement& s, const std::vector<std::string>& files, uint16_t more);
  Outcome restore(const Statement& s, uint16_t more);
  bool restore_wait(Clock::time_point until, Outcome& end);
  void recover(const Statement& s, uint16_t more);
  Outcome check_db(const Statement& s, uint16_t more);
  void damage_report(const LiveDatabase& d);
  void claim(const Statement& s, uint16_t more);
  void identity(const Statement& s, uint16_t more);
  void drop_copy(const Statement& s, uint16_t more);
  void gone(const Statement& s, uint16_t more);
  void db_id(const Statement& s, uint16_t more);
  void drop(const Statement& s, uint16_t more);
  void record_backup(const BackupRun& r);
  void history(const Statement& s, uint16_t more);
  bool verify_families(const Statement& s, int families, const char* abnormal, uint16_t more);
  bool open_backup(BackupRun& r);
  bool backup_pages(BackupRun& r, Outcome& end);
  bool backup_wait(BackupRun& r, Clock::time_point until, Outcome& end);
  Outcome backup_write_failed(BackupRun& r, int err);
  void backup_report(const BackupRun& r);
  void verify(const Statement& s, uint16_t more);
  void fail(const std::vector<std::pair<int, std::string>>& errors, uint8_t cls, uint16_t more);

  // Sends the tokens gathered so far; eom ends the response message.
  bool flush(bool eom);
  Watch watch_until(Clock::time_point deadline);
  Outcome acknowledge_attention();

  Channel ch_;
  const Config& cfg_;
  uint16_t spid_;
  StatementLog& log_;
  Tokens tok_;
  State state_ = State::Start;
  bool encryption_demanded_ = false;
  std::string database_ = "master";
  std::string user_;  // the login's name, once admitted
  std::deque<Packet> deferred_;  // requests that arrived while a backup ran
};

void Session::run() {
  if (cfg_.tls.strict) {
    bool up = ch_.start_tls_strict();
    log_.line(ch_.tls_note());
    if (!up) return;
  }
  for (;;) {
    while (!deferred_.empty()) {
      ch_.unread(std::move(deferred_.front()));
      deferred_.pop_front();
    }
    Packet m;
    if (ch_.read_message(m) != Recv::Ok) return;
    if (ch_.muted()) {
      if (m.type == PKT_SQL_BATCH && m.payload.size() >= 4) {
        size_t skip = rd32(m.payload, 0);
        if (skip <= m.payload.size()) {
          log_.batch(utf8_from_utf16le(m.payload.data() + skip, m.payload.size() - skip));
        }
      }
      continue;
    }
    bool keep = false;
    switch (m.type) {
      case PKT_PRELOGIN: keep = state_ == State::Start && on_prelogin(m); break;
      case PKT_LOGIN7: keep = state_ != State::LoggedIn && on_login(m); break;
      case PKT_SQL_BATCH: keep = state_ == State::LoggedIn && on_batch(m); break;
      case PKT_ATTENTION: keep = state_ == State::LoggedIn && on_attention(); break;
      case PKT_RPC: keep = state_ == State::LoggedIn && on_rpc(); break;
      default: keep = false; break;  // not a request this server takes
    }
    if (!keep || !ch_.alive()) return;
  }
}

bool Session::flush(bool eom) {
  bool ok = ch_.send(tok_.b.out, eom);
  tok_.clear();
  return ok;
}

bool Session::on_prelogin(const Packet& m) {
  ch_.begin_response(Phase::Prelogin);
  state_ = State::PreloginDone;
  if (ch_.muted()) return true;
  EncryptionPlan plan = plan_encryption(cfg_.encryption, client_encryption(m.payload), cfg_.tls.strict);
  encryption_demanded_ = plan.then == AfterPrelogin::RefuseLogin;
  int v[4];
  version_numbers(cfg_.version, v);
  if (!ch_.send(prelogin_answer(v, plan.answer), true)) return false;
  return start_tls(plan.then);
}

// The wrapped handshake the PRELOGIN answer announced, if any; its outcome
// goes to the log, so a test can tell that a client really encrypts.
bool Session::start_tls(AfterPrelogin then) {
  if (then != AfterPrelogin::Tls && then != AfterPrelogin::TlsLogin) return true;
  bool up = ch_.start_tls_wrapped(then == AfterPrelogin::Tls ? TlsSpan::Connection : TlsSpan::LoginOnly);
  log_.line(ch_.tls_note());
  return up;
}

bool Session::on_login(const Packet& m) {
  if (encryption_demanded_) return false;
  ch_.begin_response(Phase::Login);
  if (ch_.muted()) return true;
  Login7 login;
  if (!decode_login7(m.payload, login)) return false;
  std::string db;
  if (!admit(login, db)) {
    tok_.done(DONE_ERROR, CMD_NONE, 0);
    flush(true);
    return false;  // a refused login ends the connection
  }
  return accept_login(login, db);
}

// Whether the login may in, and the database it starts in; a refusal's
// errors are in the tokens.
bool Session::admit(const Login7& login, std::string& db) {
  if (login.integrated) {
    tok_.error(18452, 1, CLASS_LOGIN,
               "Login failed. The login is from an untrusted domain and cannot be used with "
               "Integrated authentication.");
    return false;
  }
  auto refuse = [&] {
    tok_.error(18456, 1, CLASS_LOGIN, format("Login failed for user '%s'.", login.user.c_str()));
    return false;
  };
  bool known = std::any_of(cfg_.logins.begin(), cfg_.logins.end(), [&](const Login& l) {
    return iequal(l.user, login.user) && l.password == login.password;
  });
  if (!known) return refuse();

  db = "master";
  if (!login.database.empty()) {
    std::optional<LiveDatabase> d = catalog().find(login.database);
    if (!d || d->state != DbState::Online) {
      tok_.error(4060, 1, 11,
                 format("Cannot open database \"%s\" requested by the login. The login failed.",
                        login.database.c_str()));
      return refuse();
    }
    db = d->name;
  }
  return true;
}

// Answers an admitted login: its database and language, LOGINACK and the
// packet size from now on.
bool Session::accept_login(const Login7& login, const std::string& db) {
  // A client asking for a size the server allows gets it; --packet-size
  // overrides to test clients against other sizes.
  int size = cfg_.packet_size;
  if (size == 0) {
    size = (login.packet_size >= 512 && login.packet_size <= 32767) ? int(login.packet_size) : 4096;
  }
  // The tokens below are in their 7.2+ form; older clients are answered as 7.4.
  uint32_t version = login.tds_version;
  if (version < 0x72000000 || version > TDS_74) version = TDS_74;

  int v[4];
  version_numbers(cfg_.version, v);
  const uint8_t prog[4] = {uint8_t(v[0]), uint8_t(v[1]), uint8_t(v[2] >> 8), uint8_t(v[2])};

  catalog().move_user("", db);
  database_ = db;
  user_ = login.user;
  tok_.env_text(ENV_DATABASE, db, "master");
  tok_.info(5701, 2, CLASS_INFO, format("Changed database context to '%s'.", db.c_str()));
  tok_.env_collation(DEFAULT_COLLATION);
  tok_.env_text(ENV_LANGUAGE, "us_english", "");
  tok_.info(5703, 1, CLASS_INFO, "Changed language setting to us_english.");
  tok_.loginack(version, cfg_.program, prog);
  tok_.env_text(ENV_PACKET_SIZE, std::to_string(size), std::to_string(size));
  tok_.done(DONE_FINAL, CMD_NONE, 0);
  if (!flush(true)) return false;
  ch_.set_packet_size(size);
  state_ = State::LoggedIn;
  return true;
}

bool Session::on_attention() {
  log_.attention();
  ch_.begin_response(Phase::Batch);
  if (ch_.muted()) return true;
  // Nothing is running: the attention is acknowledged all the same.
  tok_.done(DONE_ATTN, CMD_NONE, 0);
  return flush(true);
}

bool Session::on_rpc() {
  ch_.begin_response(Phase::Batch);
  if (ch_.muted()) return true;
  tok_.error(2812, 62, CLASS_USER, "Remote procedure calls are not served by this server.");
  tok_.done(DONE_ERROR, CMD_NONE, 0);
  return flush(true);
}

bool Session::on_batch(const Packet& m) {
  // ALL_HEADERS first; its TotalLength covers itself. A batch without it is
  // not well-formed TDS 7.2+, and a server drops such a connection.
  const Bytes& p = m.payload;
  if (p.size() < 4) return false;
  size_t headers = rd32(p, 0);
  if (headers < 4 || headers > p.size() || (p.size() - headers) % 2 != 0) return false;
  std::string text = utf8_from_utf16le(p.data() + headers, p.size() - headers);
  log_.batch(text);

  ch_.begin_response(Phase::Batch);
  if (ch_.muted()) return true;

  Batch batch = parse_batch(text);
  if (batch.error_number != 0) {
    tok_.error(batch.error_number, 1, CLASS_SYNTAX, batch.error_text);
    tok_.done(DONE_ERROR, CMD_NONE, 0);
    return flush(true);
  }
  for (size_t i = 0; i < batch.statements.size(); ++i) {
    Outcome o = run_statement(batch.statements[i], i + 1 == batch.statements.size());
    if (o == Outcome::Gone) return false;
    if (o == Outcome::Interrupted) return ch_.alive();
  }
  if (batch.statements.empty()) tok_.done(DONE_FINAL, CMD_NONE, 0);
  return flush(true);
}

// The databases the login can see.
static std::vector<LiveDatabase> visible() {
  std::vector<LiveDatabase> dbs = catalog().all();
  dbs.erase(std::remove_if(dbs.begin(), dbs.end(), [](const LiveDatabase& d) { return d.hidden; }), dbs.end());
  return dbs;
}

Outcome Session::run_statement(const Statement& s, bool last) {
  uint16_t more = last ? 0 : DONE_MORE;
  switch (s.kind) {
    case StmtKind::Version: version_row(more); break;
    case StmtKind::Listing: listing(s, more); break;
    case StmtKind::SelectVars: select_vars(s, more); break;
    case StmtKind::Use: use_database(s, more); break;
    case StmtKind::Set: tok_.done(more, CMD_NONE, 0); break;
    case StmtKind::Backup: return backup(s, more);
    case StmtKind::Verify: verify(s, more); break;
    case StmtKind::History: history(s, more); break;
    case StmtKind::Folders: result(folder_rows(catalog().data_dir(), catalog().log_dir()), more); break;
    case StmtKind::HistoryPlan: history_plan(s, more); break;
    case StmtKind::CleanupHistory: cleanup_history(s, more); break;
    case StmtKind::DeleteFile: delete_file(s, more); break;
    case StmtKind::LabelOnly: label_only(s, more); break;
    case StmtKind::HeaderOnly: header_only(s, more); break;
    case StmtKind::FileListOnly: file_list_only(s, more); break;
    case StmtKind::Restore: return restore(s, more);
    case StmtKind::Recover: recover(s, more); break;
    case StmtKind::CheckDb: return check_db(s, more);
    case StmtKind::Drop: drop(s, more); break;
    case StmtKind::Names: result(name_rows(visible()), more); break;
    case StmtKind::Claim: claim(s, more); break;
    case StmtKind::Identity: identity(s, more); break;
    case StmtKind::DropCopy: drop_copy(s, more); break;
    case StmtKind::Gone: gone(s, more); break;
    case StmtKind::DbId: db_id(s, more); break;
    case StmtKind::OtherFiles: {
      std::vector<LiveDatabase> others = visible();
      const std::string key = name_key(s.args[0]);
      others.erase(std::remove_if(others.begin(), others.end(),
                                  [&](const LiveDatabase& d) { return name_key(d.name) == key; }),
                   others.end());
      result(file_name_rows(others), more);
      break;
    }
    case StmtKind::FileNames: result(file_name_rows(visible()), more); break;
  }
  return Outcome::Done;
}

void Session::fail(const std::vector<std::pair<int, std::string>>& errors, uint8_t cls,
                   uint16_t more) {
  for (const auto& [number, text] : errors) tok_.error(number, 1, cls, text);
  tok_.done(uint16_t(DONE_ERROR | more), CMD_NONE, 0);
}

void Session::version_row(uint16_t more) {
  std::vector<Column> cols = {{"", TYPE_NVARCHAR, 129, 0, true}};
  tok_.colmetadata(cols);
  tok_.row(cols, {Cell{cfg_.version + " " + cfg_.edition, std::nullopt, std::nullopt}});
  tok_.done(uint16_t(DONE_COUNT | more), CMD_SELECT, 1);
}

// A finish time as CONVERT(..., 126) writes it, in UTC: milliseconds only
// when there are some.
static std::string utc_text(std::chrono::system_clock::time_point t) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  const std::time_t secs = std::time_t(ms / 1000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::string out = buf;
  if (ms % 1000 != 0) out += format(".%03d", int(ms % 1000));
  return out;
}

// The listing's detail cells of one database, after name, size and recovery.
static std::vector<Cell> detail_cells(const LiveDatabase& d) {
  auto last = [&](char type) {
    auto t = backup_history().last_finished(d.name, type);
    return t ? Cell{utc_text(*t), std::nullopt} : Cell{std::nullopt, std::nullopt};
  };
  // A database being restored shows so; one that never came online keeps
  // the state the catalog gave it.
  const std::string state = d.state == DbState::Online      ? "ONLINE"
                            : d.state == DbState::Restoring ? "RESTORING"
                                                            : d.state_desc;
  return {Cell{state, std::nullopt},
          Cell{std::nullopt, d.read_only ? 1 : 0},
          d.ag_role.empty() ? Cell{std::nullopt, std::nullopt} : Cell{d.ag_role, std::nullopt},
          Cell{std::nullopt, d.ag_role.empty() || d.preferred_replica ? 1 : 0},
          last('D'),
          last('I'),
          last('L')};
}

void Session::listing(const Statement& s, uint16_t more) {
  // A database being restored is listed once it is recovered, unless the
  // details, which show every state, are asked for.
  const std::vector<LiveDatabase> all = catalog().all();
  std::vector<const LiveDatabase*> dbs;
  for (const LiveDatabase& d : all) {
    const bool wanted = s.listing_system ? d.id != 2 : d.id > 4;
    if (wanted && (d.state == DbState::Online || s.listing_details)) dbs.push_back(&d);
  }
  // Name order as a case-insensitive collation sorts, ties by bytes.
  std::sort(dbs.begin(), dbs.end(), [](const LiveDatabase* a, const LiveDatabase* b) {
    std::string x = a->name, y = b->name;
    for (char& c : x) c = char(std::tolower(uint8_t(c)));
    for (char& c : y) c = char(std::tolower(uint8_t(c)));
    return x != y ? x < y : a->name < b->name;
  });
  std::vector<Column> cols = {{"name", TYPE_NVARCHAR, 128, 0, false},
                              {"", TYPE_INTN, 0, 4, true},
                              {"recovery_model_desc", TYPE_NVARCHAR, 60, 0, true}};
  if (s.listing_details) {
    const std::vector<Column> details = {{"state_desc", TYPE_NVARCHAR, 60, 0, true},
                                         {"", TYPE_INTN, 0, 4, true},
                                         {"", TYPE_NVARCHAR, 60, 0, true},
                                         {"", TYPE_INTN, 0, 4, true},
                                         {"", TYPE_NVARCHAR, 24, 0, true},
                                         {"", TYPE_NVARCHAR, 24, 0, true},
                                         {"", TYPE_NVARCHAR, 24, 0, true}};
    cols.insert(cols.end(), details.begin(), details.end());
  }
  tok_.colmetadata(cols);
  for (const LiveDatabase* d : dbs) {
    std::vector<Cell> cells = {Cell{d->name, std::nullopt}, Cell{std::nullopt, files_mb(*d)},
                               Cell{d->recovery, std::nullopt}};
    if (s.listing_details) {
      std::vector<Cell> more_cells = detail_cells(*d);
      cells.insert(cells.end(), more_cells.begin(), more_cells.end());
    }
    tok_.row(cols, cells);
  }
  tok_.done(uint16_t(DONE_COUNT | more), CMD_SELECT, dbs.size());
}

void Session::select_vars(const Statement& s, uint16_t more) {
  std::vector<Column> cols;
  std::vector<Cell> cells;
  for (const SelectItem& item : s.items) {
    Column c{item.alias, TYPE_NVARCHAR, 128, 0, true};
    Cell v;
    if (item.expr == "@@SPID") {
      c.type = TYPE_INTN, c.int_bytes = 2, v.number = spid_;
    } else if (item.expr == "@@TRANCOUNT") {
      c.type = TYPE_INTN, c.int_bytes = 4, v.number = 0;
    } else if (item.expr == "@@VERSION") {
      c.max_chars = 300;
      v.text = cfg_.program + " - " + cfg_.version + " (X64)\n\t" + cfg_.edition;
    } else if (item.expr == "@@SERVERNAME") {
      v.text = tok_.server_name;
    } else if (item.expr == "@@LANGUAGE") {
      v.text = "us_english";
    } else {
      v.text = database_;  // DB_NAME()
    }
    cols.push_back(c);
    cells.push_back(v);
  }
  tok_.colmetadata(cols);
  tok_.row(cols, cells);
  tok_.done(uint16_t(DONE_COUNT | more), CMD_SELECT, 1);
}

void Session::use_database(const Statement& s, uint16_t more) {
  std::optional<LiveDatabase> d = catalog().find(s.database);
  if (!d) {
    return fail({{911, format("Database '%s' does not exist. Make sure that the name is entered "
                              "correctly.", s.database.c_str())}},
                CLASS_USER, more);
  }
  if (d->state == DbState::Restoring) {
    return fail({{927, format("Database '%s' cannot be opened. It is in the middle of a restore.", d->name.c_str())}},
                CLASS_USER, more);
  }
  if (!d->online) {
    return fail({{942, format("Database '%s' cannot be opened because it is offline.",
                              d->name.c_str())}},
                CLASS_LOGIN, more);
  }
  tok_.env_text(ENV_DATABASE, d->name, database_);
  tok_.info(5701, 1, CLASS_INFO, format("Changed database context to '%s'.", d->name.c_str()));
  tok_.done(more, CMD_NONE, 0);
  catalog().move_user(database_, d->name);
  database_ = d->name;
}

Session::Watch Session::watch_until(Clock::time_point deadline) {
  for (;;) {
    auto now = Clock::now();
    int ms = now >= deadline
                 ? 0
                 : int(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
    Packet p;
    bool got = false;
    if (ch_.poll_packet(ms, p, got) != Recv::Ok) return Watch::Gone;
    if (got) {
      if (p.type == PKT_ATTENTION) {
        log_.attention();
        return Watch::Attention;
      }
      // A client must wait for the answer before its next request; one that
      // does not is served afterwards, in order.
      deferred_.push_back(std::move(p));
      continue;
    }
    if (Clock::now() >= deadline) return Watch::Quiet;
  }
}

// The interrupted response is ended with an error DONE; the acknowledgment,
// a DONE with the attention bit, follows as a message of its own so that a
// client draining towards it never mistakes it for part of the cancelled
// answer.
Outcome Session::acknowledge_attention() {
  tok_.clear();
  if (ch_.message_open()) {
    tok_.done(DONE_ERROR, CMD_NONE, 0);
    if (!flush(true)) return Outcome::Gone;
  }
  tok_.done(DONE_ATTN, CMD_NONE, 0);
  if (!flush(true)) return Outcome::Gone;
  return Outcome::Interrupted;
}

// The database a BACKUP names, or null once its refusal is in the tokens.
std::optional<LiveDatabase> Session::backup_source(const Statement& s, uint16_t more) {
  std::optional<LiveDatabase> d = catalog().find(s.database);
  if (!d) {
    fail({{911, format("Database '%s' does not exist. Make sure that the name is entered correctly.",
                       s.database.c_str())},
          {3013, abnormal(s)}},
         CLASS_USER, more);
    return std::nullopt;
  }
  if (d->state == DbState::Restoring) {
    fail({{927, format("Database '%s' cannot be opened. It is in the middle of a restore.", d->name.c_str())},
          {3013, abnormal(s)}},
         CLASS_USER, more);
    return std::nullopt;
  }
  if (iequal(d->name, "tempdb")) {
    fail({{3147, "Backup and restore operations are not allowed on database tempdb."},
          {3013, abnormal(s)}},
         CLASS_USER, more);
    return std::nullopt;
  }
  if (!d->online) {
    tok_.error(942, 4, CLASS_LOGIN,
               format("Database '%s' cannot be opened because it is offline.", d->name.c_str()));
    fail({{3013, abnormal(s)}}, CLASS_USER, more);
    return std::nullopt;
  }
  return d;
}

// Whether the database's recovery model, its backup history, the edition
// and the server's keys allow this kind of backup; false once the refusal
// is in the tokens.
bool Session::backup_allowed(const Statement& s, const Database& d, uint16_t more) {
  auto refuse = [&](int number, const std::string& text) {
    fail({{number, text}, {3013, abnormal(s)}}, CLASS_USER, more);
    return false;
  };
  if (s.log && iequal(d.recovery, "SIMPLE")) {
    return refuse(4208, "The statement BACKUP LOG is not allowed while the recovery model is SIMPLE. Use BACKUP "
                        "DATABASE or change the recovery model using ALTER DATABASE.");
  }
  // A secondary replica takes copy-only full backups and log backups only.
  if (d.ag_role == "secondary" && (s.differential || (!s.log && !s.copy_only))) {
    return refuse(3059, "This BACKUP or RESTORE command is not supported on a database mirror or secondary replica.");
  }
  const bool based = backup_history().has_base(d.name);
  if (s.log && !based) return refuse(4214, "BACKUP LOG cannot be performed because there is no current database backup.");
  if (s.differential && !based) {
    return refuse(3035, format("Cannot perform a differential backup for database \"%s\", because a current database "
                               "backup does not exist. Perform a full database backup by reissuing BACKUP DATABASE, "
                               "omitting the WITH DIFFERENTIAL option.", d.name.c_str()));
  }
  if (s.compression && !edition_compresses(cfg_)) {
    return refuse(1844, format("%s WITH COMPRESSION is not supported on %s.", s.log ? "BACKUP LOG" : "BACKUP DATABASE",
                               cfg_.edition.c_str()));
  }
  if (!s.certificate.empty() && !listed(cfg_.certificates, s.certificate)) {
    return refuse(15151, format("Cannot find the certificate '%s', because it does not exist or you do not have "
                                "permission.", s.certificate.c_str()));
  }
  if (!s.asymmetric_key.empty() && !listed(cfg_.asymmetric_keys, s.asymmetric_key)) {
    return refuse(15151, format("Cannot find the asymmetric key '%s', because it does not exist or you do not have "
                                "permission.", s.asymmetric_key.c_str()));
  }
  return true;
}

// The local file behind each device: the path itself, or for a URL a file
// under --url-root reached with a credential (named in the statement, or
// named after the URL's container). False once the refusal is in the tokens.
bool Session::device_files(const Statement& s, std::vector<std::string>& files, const char* abnormal,
                           uint16_t more) {
  namespace fs = std::filesystem;
  for (const std::string& device : s.paths) {
    if (!s.url) {
      files.push_back(device);
      continue;
    }
    bool credential = s.credential.empty()
                          ? std::any_of(cfg_.credentials.begin(), cfg_.credentials.end(),
                                        [&](const std::string& c) { return starts_nocase(device, c + "/"); })
                          : listed(cfg_.credentials, s.credential);
    std::string rest = device.substr(device.find("://") + 3);
    bool reachable = credential && !cfg_.url_root.empty() && !rest.empty() &&
                     rest.find("..") == std::string::npos && rest.back() != '/';
    std::error_code ec;
    std::string file = cfg_.url_root + "/" + rest;
    if (reachable) fs::create_directories(fs::path(file).parent_path(), ec);
    if (!reachable || ec) {
      fail({{3201, format("Cannot open backup device '%s'. Operating system error 50(The request is not supported.).",
                          device.c_str())},
            {3013, abnormal}},
           CLASS_USER, more);
      return false;
    }
    files.push_back(file);
  }
  return true;
}

// The image each stripe holds: its share of the pages of this kind of
// backup, and the set's description with the LSNs of its start, by the
// server's rules: a full backup's checkpoint is where its log starts; the
// newest full that is no copy is the base of differentials (their
// differential_base_lsn is its first LSN, their database_backup_lsn its
// checkpoint); log backups follow one another from the first full backup
// on, and a copy-only one leaves the next starting where it started.
void Session::plan_backup(BackupRun& r) {
  const Statement& s = r.s;
  SetMeta meta;
  meta.media_guid = new_guid();
  meta.backup_set_guid = new_guid();
  meta.set_name = s.set_name;
  meta.description = s.description;
  catalog().edit([&](std::vector<LiveDatabase>& dbs) {
    LiveDatabase* d = find_in(dbs, r.db.name);
    if (!d) return;
    const uint64_t now = advance_log(*d);
    meta.family_guid = d->family_guid;
    meta.first_fork = meta.last_fork = d->fork_guid;
    if (s.log && d->fork_at != 0) {  // the first log backups after a fork cross it
      meta.first_fork = d->fork_from;
      meta.fork_point = d->fork_at;
    }
    meta.recovery = d->recovery;
    meta.files = d->files;
    meta.started = now_stamp();
    meta.database_backup_lsn = d->base_checkpoint_lsn;
    if (s.log) {
      meta.first_lsn = d->log_chain_lsn != 0 ? d->log_chain_lsn : d->checkpoint_lsn;
      meta.log_from = d->log_chain_lsn != 0 ? d->log_chain_time : d->touched;
      meta.checkpoint_lsn = d->checkpoint_lsn;
    } else {
      d->checkpoint_lsn = now;
      meta.first_lsn = meta.checkpoint_lsn = now;
      if (s.differential) meta.differential_base_lsn = d->base_first_lsn;
    }
    r.db = *d;
  });
  const int64_t full = pages_for(r.db.size_mb);
  r.pages = s.log ? std::max<int64_t>(1, full / 16) : s.differential ? std::max<int64_t>(1, full / 8) : full;
  const int n = int(r.files.size());
  for (int k = 0; k < n; ++k) {
    BackupImage img;
    img.database = r.db.name;
    img.db_id = r.db.id;
    img.size_mb = r.db.size_mb;
    img.pages = r.pages / n + (k < r.pages % n ? 1 : 0);
    img.compressed = s.compression;
    img.copy_only = s.copy_only;
    img.checksum = s.checksum;
    img.encrypted = !s.cipher.empty();
    img.damaged = r.db.damaged;
    img.kind = kind_of(s);
    img.families = n;
    img.family = k;
    img.meta = meta;
    r.images.push_back(img);
    r.writers.push_back(std::make_unique<BackupWriter>());
  }
}

// Creates the backup files; false once the refusal is in the tokens.
bool Session::open_backup(BackupRun& r) {
  for (size_t k = 0; k < r.files.size(); ++k) {
    const std::string& device = r.s.paths[k];
    int families = 0;
    int err = device.empty() ? EINVAL : r.writers[k]->open(r.files[k], r.images[k], r.s.init, &families);
    if (err == 0) continue;
    for (auto& w : r.writers) w->abort();
    std::string text;
    if (err == MEDIA_MALFORMED) {
      text = format("The media family on device '%s' is incorrectly formed. SQL Server cannot process this media "
                    "family.", device.c_str());
      fail({{3241, text}, {3013, abnormal(r.s)}}, CLASS_USER, r.more);
      return false;
    }
    if (err == MEDIA_FAMILIES) {
      text = format("The media loaded on \"%s\" is formatted to support %d media families, but %d media families "
                    "are expected according to the backup device specification.", device.c_str(), families,
                    int(r.files.size()));
      fail({{3231, text}, {3013, abnormal(r.s)}}, CLASS_USER, r.more);
      return false;
    }
    std::string os = device.empty()
                         ? std::string("123(The filename, directory name, or volume label syntax is incorrect.)")
                         : os_error_text(err);
    fail({{3201, format("Cannot open backup device '%s'. Operating system error %s.", device.c_str(), os.c_str())},
          {3013, abnormal(r.s)}},
         CLASS_USER, r.more);
    return false;
  }
  return true;
}

Outcome Session::backup_write_failed(BackupRun& r, int err) {
  for (auto& w : r.writers) w->abort();
  fail({{3202, format("Write on \"%s\" failed: %s", r.s.path.c_str(), os_error_text(err).c_str())},
        {3013, abnormal(r.s)}},
       CLASS_USER, r.more);
  return Outcome::Done;
}

// Waits for the backup's next moment; false, with end set and the partial
// file gone, when the client interrupts or leaves meanwhile.
bool Session::backup_wait(BackupRun& r, Clock::time_point until, Outcome& end) {
  switch (watch_until(until)) {
    case Watch::Quiet: return true;
    case Watch::Attention:
      for (auto& w : r.writers) w->abort();
      end = acknowledge_attention();
      return false;
    case Watch::Gone:
      for (auto& w : r.writers) w->abort();
      end = Outcome::Gone;
      return false;
  }
  return true;
}

// Writes the pages over the backup's duration, announcing every s.stats
// percent. False when the backup ends early, with end saying how.
bool Session::backup_pages(BackupRun& r, Outcome& end) {
  const Statement& s = r.s;
  // A differential or log backup reads a share of the database, and takes that share of the time.
  const int64_t full = pages_for(r.db.size_mb);
  const int64_t per_mb_ms = cfg_.backup_ms_per_mb * r.db.size_mb;
  const int64_t duration_ms = cfg_.backup_ms + (r.pages >= full ? per_mb_ms : per_mb_ms / (full / r.pages));
  auto shift = std::chrono::milliseconds(0);
  bool first_message = true;

  std::vector<int> steps;
  for (int p = s.stats; s.stats > 0 && p <= 100; p += s.stats) steps.push_back(p);
  if (steps.empty() || steps.back() != 100) steps.push_back(100);  // the last stretch, unannounced

  for (int p : steps) {
    for (size_t k = 0; k < r.writers.size(); ++k) {
      if (int e = r.writers[k]->write_pages(r.images[k].pages * p / 100); e != 0) {
        end = backup_write_failed(r, e);
        return false;
      }
    }
    auto due = r.start + shift + std::chrono::milliseconds(duration_ms * p / 100);
    if (!backup_wait(r, due, end)) return false;
    if (s.stats <= 0 || p % s.stats != 0) continue;
    tok_.info(3211, 1, CLASS_BACKUP_INFO, format("%d percent processed.", p));
    if (!flush(false)) {
      for (auto& w : r.writers) w->abort();
      end = Outcome::Gone;
      return false;
    }
    if (first_message && cfg_.backup_silent_ms > 0) {
      // The quiet stretch a real server shows while it reads a large file.
      shift = std::chrono::milliseconds(cfg_.backup_silent_ms);
      if (!backup_wait(r, Clock::now() + shift, end)) return false;
    }
    first_message = false;
  }
  return true;
}

void Session::backup_report(const BackupRun& r) {
  double seconds = std::chrono::duration<double>(Clock::now() - r.start).count();
  seconds = std::max(seconds, 0.001);
  double mb = double(r.pages) * 8192.0 / 1048576.0;
  const char kind = kind_of(r.s);
  const std::string file = kind == 'L' ? r.db.name + "_log" : r.db.name;
  if (cfg_.position_message)
    tok_.info(4035, 1, CLASS_BACKUP_INFO,
              format("Processed %lld pages for database '%s', file '%s' on file %d.",
                     static_cast<long long>(r.pages), r.db.name.c_str(), file.c_str(),
                     r.writers.front()->position()));
  const char* verb = kind == 'L' ? "BACKUP LOG" : kind == 'I' ? "BACKUP DATABASE WITH DIFFERENTIAL" : "BACKUP DATABASE";
  tok_.info(3014, 1, CLASS_BACKUP_INFO,
            format("%s successfully processed %lld pages in %.3f seconds (%.3f MB/sec).", verb,
                   static_cast<long long>(r.pages), seconds, mb / seconds));
  tok_.done(r.more, CMD_NONE, 0);
}

// Enters the set just written into the history (and, with the fault mode,
// damages it in its first file).
void Session::record_backup(const BackupRun& r) {
  if (cfg_.corrupt_newest) {
    damage_backup_set(r.files.front(), r.writers.front()->set_offset(), r.writers.front()->set_length());
  }
  const SetMeta& m = r.images.front().meta;
  BackupSetRecord set;
  set.database = r.db.name;
  set.type = kind_of(r.s);
  set.copy_only = r.s.copy_only;
  set.url = r.s.url;
  set.devices = r.s.paths;
  set.position = r.writers.front()->position();
  set.media_guid = r.writers.front()->media_guid();
  set.first_lsn = m.first_lsn;
  set.last_lsn = m.last_lsn;
  set.checkpoint_lsn = m.checkpoint_lsn;
  set.database_backup_lsn = m.database_backup_lsn;
  set.differential_base_lsn = m.differential_base_lsn;
  set.size = r.pages * 8192;
  set.started = m.started;
  set.finished = m.finished;
  set.finished_at = std::chrono::system_clock::now();
  set.database_guid = r.db.family_guid;
  set.first_fork = m.first_fork;
  set.last_fork = m.last_fork;
  set.fork_point = m.fork_point;
  backup_history().add(std::move(set));
  if (cfg_.clock_step_s > 0) advance_clock(cfg_.clock_step_s);
  // The database's chain moves on: a full that is no copy becomes the base
  // (and starts the log chain), a log that is no copy moves the log chain.
  catalog().edit([&](std::vector<LiveDatabase>& dbs) {
    LiveDatabase* d = find_in(dbs, r.db.name);
    if (!d || r.s.copy_only) return;
    const char kind = kind_of(r.s);
    if (kind == 'D') {
      d->base_first_lsn = m.first_lsn;
      d->base_checkpoint_lsn = m.checkpoint_lsn;
      if (d->log_chain_lsn == 0) {
        d->log_chain_lsn = m.first_lsn;
        d->log_chain_time = m.started;
      }
    }
    if (kind == 'L') {
      d->log_chain_lsn = m.last_lsn;
      d->log_chain_time = m.finished;
      d->fork_at = 0;
    }
  });
}

// The backup's end: its last LSN and time go into every stripe's
// description.
void end_backup(BackupRun& r) {
  uint64_t last = 0;
  Stamp finished = now_stamp();
  catalog().edit([&](std::vector<LiveDatabase>& dbs) {
    LiveDatabase* d = find_in(dbs, r.db.name);
    if (!d) return;
    last = advance_log(*d);
  });
  for (BackupImage& img : r.images) {
    img.meta.last_lsn = last;
    img.meta.finished = finished;
  }
  for (auto& w : r.writers) w->set_end(last, finished);
}

Outcome Session::backup(const Statement& s, uint16_t more) {
  std::optional<LiveDatabase> d = backup_source(s, more);
  if (!d || !backup_allowed(s, *d, more)) return Outcome::Done;
  BackupRun r{s, *d, more};
  if (!device_files(s, r.files, abnormal(s), more)) return Outcome::Done;
  plan_backup(r);
  if (!open_backup(r)) return Outcome::Done;

  r.start = Clock::now();
  Outcome end = Outcome::Done;
  if (!backup_pages(r, end)) return end;
  end_backup(r);
  for (auto& w : r.writers) {
    if (int e = w->finish(); e != 0) return backup_write_failed(r, e);
  }
  record_backup(r);
  backup_report(r);
  return Outcome::Done;
}

// One row with the position of the newest matching set in the history, or none.
bool Session::history_refused(uint16_t more) {
  const auto& denied = cfg_.history_denied;
  if (!std::any_of(denied.begin(), denied.end(), [&](const std::string& u) { return iequal(u, user_); })) return false;
  // A login with backup rights alone, as the server refuses it.
  tok_.error(229, 5, CLASS_PERMISSION,
             "The SELECT permission was denied on the object 'backupset', database 'msdb', schema 'dbo'.");
  tok_.done(uint16_t(DONE_ERROR | more), CMD_SELECT, 0);
  return true;
}

void Session::cleanup_history(const Statement& s, uint16_t more) {
  if (history_refused(more)) return;
  result(cleanup_history_rows(backup_history().sharing_files(s.database), now_stamp()), more);
}

// The extended procedure deletes one backup file: only a file that a backup
// of this server wrote and that still reads as a backup; anything else
// (another file, a missing one) is left as it is without a word, as the
// server does. A login that is not sysadmin is refused.
void Session::delete_file(const Statement& s, uint16_t more) {
  const auto& plain = cfg_.not_sysadmin;
  if (std::any_of(plain.begin(), plain.end(), [&](const std::string& u) { return iequal(u, user_); })) {
    tok_.error(229, 1, CLASS_PERMISSION,
               "The EXECUTE permission was denied on the object 'xp_delete_file', database 'mssqlsystemresource', "
               "schema 'sys'.");
    tok_.done(uint16_t(DONE_ERROR | more), CMD_NONE, 0);
    return;
  }
  if (cfg_.delete_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(cfg_.delete_ms));
  std::vector<SetInfo> sets;
  if (backup_history().names_file(s.path) && read_set_infos(s.path, sets) == 0) {
    std::error_code ec;
    std::filesystem::remove(s.path, ec);
  }
  tok_.done(more, CMD_NONE, 0);
}

void Session::history(const Statement& s, uint16_t more) {
  if (history_refused(more)) return;
  auto since = std::chrono::system_clock::now() - std::chrono::seconds(s.history_seconds);
  std::optional<int> position =
      backup_history().newest_position(s.database, s.history_type, s.history_device, since);
  std::vector<Column> cols = {{"position", TYPE_INTN, 0, 4, true}};
  tok_.colmetadata(cols);
  if (position) tok_.row(cols, {Cell{std::nullopt, *position}});
  tok_.done(uint16_t(DONE_COUNT | more), CMD_SELECT, position ? 1 : 0);
}

// A verification or a restore names every stripe of the media, and no more.
bool Session::verify_families(const Statement& s, int families, const char* abnormal, uint16_t more) {
  const int given = int(s.paths.size());
  if (given < families) {
    fail({{3132, format("The media set has %d media families but only %d are provided. All members must be provided.",
                        families, given)},
          {3013, abnormal}},
         CLASS_USER, more);
    return false;
  }
  if (given > families) {
    fail({{3231, format("The media loaded on \"%s\" is formatted to support %d media families, but %d media families "
                        "are expected according to the backup device specification.", s.paths.front().c_str(),
                        families, given)},
          {3013, abnormal}},
         CLASS_USER, more);
    return false;
  }
  return true;
}

void Session::verify(const Statement& s, uint16_t more) {
  std::vector<std::string> files;
  if (!device_files(s, files, VERIFY_ABNORMAL, more)) return;
  std::vector<VerifyOutcome> outcomes;
  for (const std::string& f : files) outcomes.push_back(verify_backup(f, s.file));
  // The media headers are read first: a device that cannot be opened or
  // holds no media, then a missing stripe, then the set itself.
  for (size_t k = 0; k < files.size(); ++k) {
    const VerifyOutcome& v = outcomes[k];
    const std::string& device = s.paths[k];
    if (v.kind == VerifyOutcome::CannotOpen) {
      return fail({{3201, format("Cannot open backup device '%s'. Operating system error %s.", device.c_str(),
                                 os_error_text(v.os_error).c_str())},
                   {3013, VERIFY_ABNORMAL}},
                  CLASS_USER, more);
    }
    if (v.kind == VerifyOutcome::Malformed) {
      return fail({{3241, format("The media family on device '%s' is incorrectly formed. SQL Server "
                                 "cannot process this media family.", device.c_str())},
                   {3013, VERIFY_ABNORMAL}},
                  CLASS_USER, more);
    }
    if (v.kind == VerifyOutcome::NoSuchSet) {
      return fail({{4038, format("Cannot find file ID %d on device '%s'.", s.file, device.c_str())},
                   {3013, VERIFY_ABNORMAL}},
                  CLASS_USER, more);
    }
  }
  if (!verify_families(s, set_families(outcomes.front().flags), VERIFY_ABNORMAL, more)) return;
  for (size_t k = 0; k < files.size(); ++k) {
    const VerifyOutcome& v = outcomes[k];
    if (v.kind == VerifyOutcome::Truncated) {
      return fail({{3203, format("Read on \"%s\" failed: 38(Reached the end of the file.)", s.paths[k].c_str())},
                   {3013, VERIFY_ABNORMAL}},
                  CLASS_USER, more);
    }
    if (v.kind == VerifyOutcome::Damaged) {
      return fail({{3189, "Damage to the backup set was detected."}, {3013, VERIFY_ABNORMAL}}, CLASS_USER, more);
    }
  }
  if (s.checksum && (outcomes.front().flags & SET_CHECKSUM) == 0) {
    return fail({{3187, "RESTORE WITH CHECKSUM cannot be specified because the backup set does not contain checksum "
                        "information."},
                 {3013, VERIFY_ABNORMAL}},
                CLASS_USER, more);
  }
  tok_.info(3262, 1, CLASS_BACKUP_INFO, format("The backup set on file %d is valid.", s.file));
  tok_.done(more, CMD_NONE, 0);
}

void Session::result(const ResultSet& r, uint16_t more) {
  tok_.colmetadata(r.cols);
  for (const auto& row : r.rows) tok_.row(r.cols, row);
  tok_.done(uint16_t(DONE_COUNT | more), CMD_SELECT, r.rows.size());
}

void Session::history_plan(const Statement& s, uint16_t more) {
  result(history_plan_rows(backup_history().of_database(s.database)), more);
}

// The sets of every device the statement names (files gets the local file
// behind each); with whole_set, the devices must be the media set's every
// family. A FILE = n must name a set. False once the refusal is in the
// tokens.
bool Session::read_media(const Statement& s, bool whole_set, uint16_t more, std::vector<std::string>& files,
                         std::vector<std::vector<SetInfo>>& media) {
  namespace fs = std::filesystem;
  const char* abnormal = restore_abnormal(s);
  if (!device_files(s, files, abnormal, more)) return false;
  for (size_t k = 0; k < files.size(); ++k) {
    std::vector<SetInfo> sets;
    int e = read_set_infos(files[k], sets);
    if (e == MEDIA_MALFORMED) {
      fail({{3241, format("The media family on device '%s' is incorrectly formed. SQL Server cannot process this "
                          "media family.", s.paths[k].c_str())},
            {3013, abnormal}},
           CLASS_USER, more);
      return false;
    }
    if (e != 0) {
      // A missing folder is a path the server cannot find, not a missing file.
      std::error_code ec;
      if (e == ENOENT && !fs::is_directory(fs::path(files[k]).parent_path(), ec)) e = ENOTDIR;
      fail({{3201, format("Cannot open backup device '%s'. Operating system error %s.", s.paths[k].c_str(),
                          os_error_text(e).c_str())},
            {3013, abnormal}},
           CLASS_USER, more);
      return false;
    }
    media.push_back(std::move(sets));
  }
  if (whole_set && !verify_families(s, set_families(media.front().front().flags), abnormal, more)) return false;
  if (size_t(s.file) > media.front().size()) {
    fail({{4038, format("Cannot find file ID %d on device '%s'.", s.file, s.paths.front().c_str())}, {3013, abnormal}},
         CLASS_USER, more);
    return false;
  }
  return true;
}

void Session::label_only(const Statement& s, uint16_t more) {
  std::vector<std::string> files;
  std::vector<std::vector<SetInfo>> media;
  if (!read_media(s, false, more, files, media)) return;
  result(label_rows(media.front().front(), cfg_), more);
}

void Session::header_only(const Statement& s, uint16_t more) {
  std::vector<std::string> files;
  std::vector<std::vector<SetInfo>> media;
  if (!read_media(s, true, more, files, media)) return;
  std::vector<SetInfo> sets;
  std::vector<int64_t> pages;
  for (size_t i = 0; i < media.front().size(); ++i) {
    if (s.file_given && int(i) + 1 != s.file) continue;
    int64_t n = 0;
    for (const auto& family : media) n += i < family.size() ? family[i].pages : 0;
    sets.push_back(media.front()[i]);
    pages.push_back(n);
  }
  result(header_rows(sets, pages, s.url, cfg_), more);
}

void Session::file_list_only(const Statement& s, uint16_t more) {
  std::vector<std::string> files;
  std::vector<std::vector<SetInfo>> media;
  if (!read_media(s, true, more, files, media)) return;
  result(filelist_rows(media.front()[size_t(s.file) - 1]), more);
}

// Reads the chosen set whole in every family, as a restore does before it
// changes anything. False once the refusal is in the tokens.
bool Session::check_sets(const Statement& s, const std::vector<std::string>& files, uint16_t more) {
  const char* abnormal = restore_abnormal(s);
  for (size_t k = 0; k < files.size(); ++k) {
    VerifyOutcome v = verify_backup(files[k], s.file);
    if (v.kind == VerifyOutcome::Truncated) {
      fail({{3203, format("Read on \"%s\" failed: 38(Reached the end of the file.)", s.paths[k].c_str())},
            {3013, abnormal}},
           CLASS_USER, more);
      return false;
    }
    if (v.kind != VerifyOutcome::Valid) {
      fail({{3189, "Damage to the backup set was detected."}, {3013, abnormal}}, CLASS_USER, more);
      return false;
    }
    if (s.checksum && (v.flags & SET_CHECKSUM) == 0) {
      fail({{3187, "RESTORE WITH CHECKSUM cannot be specified because the backup set does not contain checksum "
                   "information."},
            {3013, abnormal}},
           CLASS_USER, more);
      return false;
    }
  }
  return true;
}

bool Session::restore_wait(Clock::time_point until, Outcome& end) {
  switch (watch_until(until)) {
    case Watch::Quiet: return true;
    case Watch::Attention: end = acknowledge_attention(); return false;
    case Watch::Gone: end = Outcome::Gone; return false;
  }
  return true;
}

// Pages per file of a restore step: a log restore writes the log; the
// others the data (by each file's size) and a little of the log.
std::vector<int64_t> pages_per_file(const std::vector<DbFile>& files, int64_t pages, bool log_restore) {
  int64_t data_mb = 0;
  for (const DbFile& f : files) data_mb += f.type == 'L' ? 0 : std::max<int64_t>(f.size_mb, 1);
  std::vector<int64_t> out;
  int64_t left = pages;
  for (const DbFile& f : files) {
    const bool log = f.type == 'L';
    int64_t n = log_restore ? (log ? pages : 0)
                : log       ? 2
                            : std::min(left, pages * std::max<int64_t>(f.size_mb, 1) / std::max<int64_t>(data_mb, 1));
    if (!log_restore && !log) left -= n;
    out.push_back(n);
  }
  return out;
}

// RESTORE DATABASE | LOG: the media and the set are read, the step checked
// against the catalog, then the pages take their time as a backup's do
// (progress every STATS percent; an attention stops it with the database
// left restoring), and the catalog records the step.
Outcome Session::restore(const Statement& s, uint16_t more) {
  const char* abnormal = restore_abnormal(s);
  std::optional<Stamp> stop;
  if (!s.stop_at.empty()) {
    Stamp t = 0;
    if (!parse_stamp(s.stop_at, t)) {
      fail({{241, "Conversion failed when converting date and/or time from character string."}, {3013, abnormal}},
           CLASS_USER, more);
      return Outcome::Done;
    }
    stop = t;
  }
  std::vector<std::string> files;
  std::vector<std::vector<SetInfo>> media;
  if (!read_media(s, true, more, files, media) || !check_sets(s, files, more)) return Outcome::Done;
  if (catalog().users(s.database) > 0) {
    fail({{3101, "Exclusive access could not be obtained because the database is in use."}, {3013, abnormal}},
         CLASS_USER, more);
    return Outcome::Done;
  }
  const SetInfo set = media.front()[size_t(s.file) - 1];
  int64_t pages = 0;
  for (const auto& family : media) pages += family[size_t(s.file) - 1].pages;

  RestoreStep step;
  catalog().edit([&](std::vector<LiveDatabase>& dbs) {
    step = check_restore(s, set, dbs, stop);
    if (step.errors.empty()) begin_restore(s, set, step, dbs);
  });
  if (!step.errors.empty()) {
    std::vector<std::pair<int, std::string>> errors;
    for (const ServerMessage& m : step.errors) errors.emplace_back(m.number, m.text);
    errors.emplace_back(3013, abnormal);
    fail(errors, CLASS_USER, more);
    return Outcome::Done;
  }

  const auto start = Clock::now();
  const int64_t duration_ms = cfg_.backup_ms + cfg_.backup_ms_per_mb * pages / pages_for(1);
  std::vector<int> steps;
  for (int p = s.stats; s.stats > 0 && p <= 100; p += s.stats) steps.push_back(p);
  if (steps.empty() || steps.back() != 100) steps.push_back(100);
  for (int p : steps) {
    Outcome end = Outcome::Done;
    if (!restore_wait(start + std::chrono::milliseconds(duration_ms * p / 100), end)) return end;
    if (s.stats <= 0 || p % s.stats != 0) continue;
    tok_.info(3211, 1, CLASS_BACKUP_INFO, format("%d percent processed.", p));
    if (!flush(false)) return Outcome::Gone;
  }
  catalog().edit([&](std::vector<LiveDatabase>& dbs) { finish_restore(s, set, step, dbs); });

  const std::vector<int64_t> per_file = pages_per_file(set.meta.files, pages, s.log);
  int64_t total = 0;
  for (size_t k = 0; k < per_file.size(); ++k) {
    total += per_file[k];
    tok_.info(4035, 1, CLASS_BACKUP_INFO, format("Processed %lld pages for database '%s', file '%s' on file %d.",
                                                 static_cast<long long>(per_file[k]), s.database.c_str(),
                                                 set.meta.files[k].logical.c_str(), s.file));
  }
  for (const ServerMessage& m : step.notes) tok_.info(m.number, 1, CLASS_BACKUP_INFO, m.text);
  const double seconds = std::max(std::chrono::duration<double>(Clock::now() - start).count(), 0.001);
  tok_.info(3014, 1, CLASS_BACKUP_INFO,
            format("%s successfully processed %lld pages in %.3f seconds (%.3f MB/sec).",
                   s.log ? "RESTORE LOG" : "RESTORE DATABASE", static_cast<long long>(total), seconds,
                   double(total) * 8192.0 / 1048576.0 / seconds));
  tok_.done(more, CMD_NONE, 0);
  return Outcome::Done;
}

// RESTORE DATABASE [db] WITH RECOVERY: a restoring database comes online.
void Session::recover(const Statement& s, uint16_t more) {
  int refusal = 0;
  catalog().edit([&](std::vector<LiveDatabase>& dbs) {
    LiveDatabase* d = find_in(dbs, s.database);
    if (!d) {
      refusal = 911;
    } else if (d->state != DbState::Restoring) {
      refusal = 3153;
    } else if (d->redo_lsn == 0) {
      refusal = 4333;  // its full restore was cut short
    } else {
      recover_database(*d);
    }
  });
  if (refusal == 911) {
    return fail({{911, format("Database '%s' does not exist. Make sure that the name is entered correctly.",
                              s.database.c_str())},
                 {3013, RESTORE_ABNORMAL}},
                CLASS_USER, more);
  }
  if (refusal == 3153) {
    return fail({{3153, "The database is already fully recovered."}, {3013, RESTORE_ABNORMAL}}, CLASS_USER, more);
  }
  if (refusal == 4333) {
    return fail({{4333, "The database cannot be recovered because the log was not restored."}, {3013, RESTORE_ABNORMAL}},
                CLASS_USER, more);
  }
  tok_.info(3014, 1, CLASS_BACKUP_INFO, "RESTORE DATABASE successfully processed 0 pages in 0.001 seconds (0.000 MB/sec).");
  tok_.done(more, CMD_NONE, 0);
}

// DBCC CHECKDB: as long as a backup of the database would take (an
// attention stops it); a database marked damaged in the catalog fails with
// the errors of a page that cannot be read.
Outcome Session::check_db(const Statement& s, uint16_t more) {
  if (cfg_.checkdb_fault == CheckDbFault::Close) {
    // What it found so far reaches the client before the connection breaks;
    // later logins may reach the second server.
    std::optional<LiveDatabase> d = catalog().find(s.database);
    if (d && d->damaged) {
      damage_report(*d);
      flush(false);
    }
    catalog().fail_over(cfg_.failover_server_name);
    return Outcome::Gone;
  }
  if (cfg_.checkdb_fault == CheckDbFault::Snapshot) {
    fail({{5030, "The database could not be exclusively locked to perform the operation."},
          {7926, "Check statement aborted. The database could not be checked as a database snapshot could not be "
                 "created and the database or table could not be locked. See Books Online for details of when this "
                 "behavior is expected and what workarounds exist. Also see previous errors for more details."}},
         CLASS_USER, more);
    return Outcome::Done;
  }
  if (cfg_.checkdb_fault == CheckDbFault::Hang) {
    // Nothing more is answered, not even an attention, until the client leaves.
    for (;;) {
      if (watch_until(Clock::now() + std::chrono::milliseconds(200)) == Watch::Gone) return Outcome::Gone;
    }
  }
  std::optional<LiveDatabase> d = catalog().find(s.database);
  if (!d) {
    fail({{2520, format("Could not find database '%s'. The database either does not exist, or was dropped before a "
                        "statement tried to use it. Verify if the database exists by querying the sys.databases "
                        "catalog view.", s.database.c_str())}},
         CLASS_USER, more);
    return Outcome::Done;
  }
  if (d->state == DbState::Restoring) {
    fail({{927, format("Database '%s' cannot be opened. It is in the middle of a restore.", d->name.c_str())}},
         CLASS_USER, more);
    return Outcome::Done;
  }
  if (!d->online) {
    fail({{942, format("Database '%s' cannot be opened because it is offline.", d->name.c_str())}}, CLASS_LOGIN, more);
    return Outcome::Done;
  }
  Outcome end = Outcome::Done;
  if (!restore_wait(Clock::now() + std::chrono::milliseconds(cfg_.backup_ms), end)) return end;
  if (d->damaged) {
    damage_report(*d);
    tok_.done(uint16_t(DONE_ERROR | more), CMD_NONE, 0);
    return Outcome::Done;
  }
  if (!s.no_infomsgs) {
    tok_.info(8989, 1, CLASS_INFO,
              format("CHECKDB found 0 allocation errors and 0 consistency errors in database '%s'.", d->name.c_str()));
    tok_.info(2528, 1, CLASS_INFO,
              "DBCC execution completed. If DBCC printed error messages, contact your system administrator.");
  }
  tok_.done(more, CMD_NONE, 0);
  return Outcome::Done;
}

// The errors of a page that cannot be read, as CHECKDB reports them.
void Session::damage_report(const LiveDatabase& d) {
  const long long page = pages_for(std::max<int64_t>(d.size_mb, 1)) / 2;
  tok_.error(8928, 1, CLASS_USER,
             format("Object ID 0, index ID -1, partition ID 0, alloc unit ID 0 (type Unknown): Page (1:%lld) could "
                    "not be processed.  See other errors for details.", page));
  tok_.error(8939, 98, CLASS_USER,
             format("Table error: Object ID 0, index ID -1, partition ID 0, alloc unit ID 0 (type Unknown), page "
                    "(1:%lld). Test (IS_OFF (BUF_IOERR, pBUF->bstat)) failed. Values are 133129 and -4.", page));
  tok_.error(8989, 1, CLASS_USER,
             format("CHECKDB found 0 allocation errors and 2 consistency errors in database '%s'.", d.name.c_str()));
  tok_.info(8958, 1, CLASS_BACKUP_INFO,
            format("repair_allow_data_loss is the minimum repair level for the errors found by DBCC CHECKDB (%s).",
                   d.name.c_str()));
}

// DROP DATABASE: refused for a system database, one that does not exist and
// one a session is in; its files go with it (the simulator keeps none).
void Session::drop(const Statement& s, uint16_t more) {
  int refusal = 0;
  std::string name = s.database;
  const bool in_use = catalog().users(s.database) > 0;
  catalog().edit([&](std::vector<LiveDatabase>& dbs) {
    LiveDatabase* d = find_in(dbs, s.database);
    if (!d) {
      refusal = 3701;
      return;
    }
    name = d->name;
    if (d->id <= 4) {
      refusal = 3708;
    } else if (in_use) {
      refusal = 3702;
    } else {
      dbs.erase(dbs.begin() + (d - dbs.data()));
    }
  });
  switch (refusal) {
    case 3701:
      return fail({{3701, format("Cannot drop the database '%s', because it does not exist or you do not have "
                                 "permission.", name.c_str())}},
                  11, more);
    case 3708:
      return fail({{3708, format("Cannot drop the %s database because it is a system database.", name.c_str())}},
                  CLASS_USER, more);
    case 3702:
      return fail({{3702, format("Cannot drop database \"%s\" because it is currently in use.", name.c_str())}},
                  CLASS_USER, more);
  }
  tok_.done(more, CMD_NONE, 0);
}

// The id DB_ID gives a name: 0 for none, or one the login cannot see.
static int visible_id(const std::string& name) {
  std::optional<LiveDatabase> d = catalog().find(name);
  return d && !d->hidden ? d->id : 0;
}

static Cell id_or_null(int id) { return id == 0 ? Cell{} : Cell{std::nullopt, id}; }
static Cell text_cell(const std::string& t) { return Cell{t, std::nullopt}; }
static Column int_column(const char* name) { return {name, TYPE_INTN, 0, 4, true}; }
static Column text_column(const char* name) { return {name, TYPE_NVARCHAR, 256, 0, true}; }

// The restore test's claim: the lock on the name as the server folds it,
// and what DB_ID says of the name; another connection may then take the
// name (race_create) as a real server would allow.
void Session::claim(const Statement& s, uint16_t more) {
  const bool granted = catalog().claim(name_key(s.args[0]), spid_);
  const int id = visible_id(s.args[1]);
  ResultSet r;
  r.cols = {int_column("claim"), int_column("database_id"), text_column("server_name"), text_column("server_time")};
  r.rows.push_back({Cell{std::nullopt, granted ? 0 : -1}, id_or_null(id), text_cell(tok_.server_name), text_cell(server_time_text())});
  result(r, more);
  if (!cfg_.race_create || id != 0) return;
  catalog().edit([&](std::vector<LiveDatabase>& dbs) {
    if (find_in(dbs, s.args[1])) return;
    LiveDatabase other;
    other.name = s.args[1];
    other.id = 5;
    for (const LiveDatabase& o : dbs) other.id = std::max(other.id, o.id + 1);
    other.create_date = server_time_text();
    other.size_mb = 8;
    other.recovery = "FULL";
    other.files = {{other.name, catalog().data_dir() + "race_" + std::to_string(other.id) + ".mdf", 'D', 6},
                   {other.name + "_log", catalog().log_dir() + "race_" + std::to_string(other.id) + ".ldf", 'L', 2}};
    dbs.push_back(other);
  });
}

void Session::identity(const Statement& s, uint16_t more) {
  ResultSet r;
  r.cols = {int_column("database_id"), text_column("create_date"), text_column("server_name")};
  std::optional<LiveDatabase> d = catalog().find(s.args[0]);
  if (d && !d->hidden && d->create_date >= s.args[1]) {
    r.rows.push_back({Cell{std::nullopt, d->id}, text_cell(d->create_date), text_cell(tok_.server_name)});
  }
  result(r, more);
}

// The database of an id and create_date, if any.
static std::optional<LiveDatabase> by_identity(const std::string& id, const std::string& created) {
  for (const LiveDatabase& d : catalog().all()) {
    if (std::to_string(d.id) == id && d.create_date == created) return d;
  }
  return std::nullopt;
}

void Session::drop_copy(const Statement& s, uint16_t more) {
  const bool same = std::to_string(visible_id(s.args[0])) == s.args[1] && tok_.server_name == s.args[2] &&
                    by_identity(s.args[3], s.args[4]).has_value();
  if (!same) return fail({{50000, "not the restore test's copy"}}, CLASS_USER, more);
  Statement d;
  d.kind = StmtKind::Drop;
  d.database = s.args[5];
  drop(d, more);
}

void Session::gone(const Statement& s, uint16_t more) {
  ResultSet r;
  r.cols = {int_column("present"), text_column("server_name")};
  const int present = tok_.server_name != s.args[0] ? -1 : by_identity(s.args[1], s.args[2]) ? 1 : 0;
  r.rows.push_back({Cell{std::nullopt, present}, text_cell(tok_.server_name)});
  result(r, more);
}

void Session::db_id(const Statement& s, uint16_t more) {
  ResultSet r;
  r.cols = {int_column("database_id")};
  r.rows.push_back({id_or_null(visible_id(s.args[0]))});
  result(r, more);
}

}  // namespace

void serve_connection(int fd, const Config& cfg, uint16_t spid, const std::atomic<bool>& stopping,
                      StatementLog& log, const TlsContext* tls) {
  Session s(fd, cfg, spid, stopping, log, tls);
  s.run();
  s.leave();
}

}  // namespace sim
