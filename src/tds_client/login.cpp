// Connecting and logging in: TCP, TLS when asked for, PRELOGIN, LOGIN7 with
// SQL Server authentication, and the walk of the login response up to
// LOGINACK.
#include <cstdio>
#include <cstring>

#include "tds_client/cursor.h"
#include "tds_client/tds_client.h"
#include "tds_client/tokens.h"

namespace {

// PRELOGIN option tokens.
constexpr uint8_t PL_ENCRYPTION = 0x01;
constexpr uint8_t PL_TERMINATOR = 0xFF;
constexpr uint64_t PL_ENTRY_LEN = 5;  // token, offset (BE16), length (BE16)

// Server ENCRYPTION answers: TLS for the whole connection (ON, REQ), or
// OFF, which would encrypt the login alone; any other is no TLS at all.
constexpr int ENCRYPT_OFF = 0x00;
constexpr int ENCRYPT_ON = 0x01;
constexpr int ENCRYPT_REQ = 0x03;
constexpr uint64_t PL_ENCRYPTION_AT = 17;  // the ENCRYPTION byte in the client's payload

// A login ERROR's text is kept to fewer than this many bytes.
constexpr uint64_t ERROR_MSG_CAP = 400;

// LOGIN7 fixed part. Offsets of the fields that are not (ib, cch) pairs.
constexpr uint64_t L7_FIXED_LEN = 94;
constexpr uint64_t L7_TDS_VERSION = 4;
constexpr uint64_t L7_PACKET_SIZE = 8;
constexpr uint64_t L7_OPTION_FLAGS1 = 24;
constexpr uint64_t L7_OPTION_FLAGS2 = 25;
constexpr uint64_t L7_CLIENT_ID = 72;
constexpr uint64_t L7_SSPI = 78;  // then AtchDBFile at 82, ChangePassword at 86
constexpr uint8_t L7_VERSION_74[4] = {0x04, 0x00, 0x00, 0x74};
constexpr uint32_t L7_PACKET_SIZE_VALUE = 4096;
constexpr uint8_t L7_FLAGS1 = 0xE0;  // fUseDB, fDatabase, fSetLang
constexpr uint8_t L7_FLAGS2 = 0x03;  // fLanguage, fODBC; integrated security off
constexpr uint8_t L7_CLIENT_ID_BYTES[6] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};

constexpr const char* L7_HOST_NAME = "kvcli";
constexpr const char* L7_APP_NAME = "kestrova-vaultrun";
constexpr uint64_t CAP_SHORT = 64;     // host and application names
constexpr uint64_t CAP_NAME = 256;     // user, server and database names: 128 units
constexpr uint64_t CAP_PASSWORD = 512; // 256 units

constexpr const char* TEXT_ENCRYPTION =
    "server requires encryption (TLS) - not supported; disable Force Encryption";
constexpr const char* TEXT_NOT_SUP = "server does not support encryption";
constexpr const char* TEXT_LOGIN_ONLY =
    "server offers encryption for the login only; refusing to continue in clear text";
constexpr const char* TEXT_STRICT_TRUST =
    "trust_server_certificate cannot be used with strict encryption";

void put_le16(uint8_t* p, uint64_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void put_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// Overwrites a buffer that held a password so it does not linger on the stack.
void wipe(void* p, size_t n) {
  volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
  while (n--) *v++ = 0;
}

// The server's reason for refusing a login (m null: a token too short to
// hold one), cut at a whole character.
void set_login_error(char* err, const tds_server_message* m) {
  if (m == nullptr || !m->has_text || m->text[0] == 0) {
    tds_err_text(err, "login failed");
    return;
  }
  utf8_copy_cut(err, ERROR_MSG_CAP, m->text);
}

// The hooks and bounds of the login are the connect's own; its caller sets
// its own after success.
void clear_hooks(tds_conn* c) {
  c->cancel_flag = nullptr;
  c->info_cb = nullptr;
  c->info_ctx = nullptr;
  c->error_cb = nullptr;
  c->error_ctx = nullptr;
  c->deadline_ms = 0;
  c->deadline_text = nullptr;
  c->query_timeout_ms = 0;
}

// Leaves the record as a failed connect must: nothing open, nothing
// allocated, only err kept.
int fail_connect(tds_conn* c) {
  tds_close(c);
  clear_hooks(c);
  return -1;
}

}  // namespace

// VERSION 01 00 00 00 00 00 and ENCRYPTION 0x02 (not supported).
const uint8_t TDS_PRELOGIN_PAYLOAD[TDS_PRELOGIN_LEN] = {
    0x00, 0x00, 0x0B, 0x00, 0x06,        // VERSION at 11, 6 bytes
    0x01, 0x00, 0x11, 0x00, 0x01,        // ENCRYPTION at 17, 1 byte
    0xFF,                                // terminator
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00,  // VERSION data
    0x02,                                // ENCRYPTION data
};

void tds_build_prelogin(uint8_t encryption, uint8_t out[TDS_PRELOGIN_LEN]) {
  std::memcpy(out, TDS_PRELOGIN_PAYLOAD, TDS_PRELOGIN_LEN);
  out[PL_ENCRYPTION_AT] = encryption;
}

// Option entries are read while a whole entry remains; the last ENCRYPTION
// entry with data inside the answer wins. Offsets and lengths are big-endian.
int tds_prelogin_encryption(const uint8_t* data, uint64_t len) {
  int value = -1;
  for (uint64_t pos = 0; len - pos >= PL_ENTRY_LEN; pos += PL_ENTRY_LEN) {
    const uint8_t* e = data + pos;
    if (e[0] == PL_TERMINATOR) break;
    if (e[0] != PL_ENCRYPTION) continue;
    uint64_t off = (static_cast<uint64_t>(e[1]) << 8) | e[2];
    uint64_t dlen = (static_cast<uint64_t>(e[3]) << 8) | e[4];
    if (dlen != 0 && off < len) value = data[off];
  }
  return value;
}

// The variable part follows the 94-byte fixed part without gaps or
// terminators; each (ib, cch) pair holds the running offset and the length in
// UTF-16 code units. Extension and Language are empty and point at the next
// string; SSPI, AtchDBFile and ChangePassword are empty and point at the end.
uint64_t tds_build_login7(const char* host, const char* user, const char* password,
                          const char* database, uint8_t* out, uint64_t cap) {
  uint8_t host_name[CAP_SHORT], user_name[CAP_NAME], pass[CAP_PASSWORD];
  uint8_t app_name[CAP_SHORT], server_name[CAP_NAME], db_name[CAP_NAME];
  uint64_t host_len = utf8_to_ucs2(L7_HOST_NAME, host_name, sizeof host_name);
  uint64_t user_len = utf8_to_ucs2(user ? user : "", user_name, sizeof user_name);
  uint64_t pass_len = utf8_to_ucs2(password ? password : "", pass, sizeof pass);
  uint64_t app_len = utf8_to_ucs2(L7_APP_NAME, app_name, sizeof app_name);
  uint64_t server_len = utf8_to_ucs2(host ? host : "", server_name, sizeof server_name);
  uint64_t db_len = 0;
  if (database != nullptr && database[0] != 0)
    db_len = utf8_to_ucs2(database, db_name, sizeof db_name);

  // The password is masked as the protocol prescribes: nibbles swapped, then
  // XOR 0xA5. It is not encryption; only a TLS session hides it.
  for (uint64_t i = 0; i < pass_len; i++)
    pass[i] = static_cast<uint8_t>(((pass[i] << 4) | (pass[i] >> 4)) ^ 0xA5);

  const uint64_t total =
      L7_FIXED_LEN + host_len + user_len + pass_len + server_len + db_len + 2 * app_len;
  if (out == nullptr || cap < total) {
    wipe(pass, sizeof pass);
    return 0;
  }
  std::memset(out, 0, total);
  put_le32(out, static_cast<uint32_t>(total));
  std::memcpy(out + L7_TDS_VERSION, L7_VERSION_74, sizeof L7_VERSION_74);
  put_le32(out + L7_PACKET_SIZE, L7_PACKET_SIZE_VALUE);
  out[L7_OPTION_FLAGS1] = L7_FLAGS1;
  out[L7_OPTION_FLAGS2] = L7_FLAGS2;
  std::memcpy(out + L7_CLIENT_ID, L7_CLIENT_ID_BYTES, sizeof L7_CLIENT_ID_BYTES);

  // In record order: (offset of the ib field, bytes, length in bytes).
  struct field {
    uint64_t at;
    const uint8_t* bytes;
    uint64_t len;
  };
  const field fields[] = {
      {36, host_name, host_len},    // HostName
      {40, user_name, user_len},    // UserName
      {44, pass, pass_len},         // Password
      {48, app_name, app_len},      // AppName
      {52, server_name, server_len},  // ServerName
      {56, nullptr, 0},             // Extension (cb, not cch: 0 either way)
      {60, app_name, app_len},      // CltIntName
      {64, nullptr, 0},             // Language
      {68, db_name, db_len},        // Database
  };
  uint64_t pos = L7_FIXED_LEN;
  for (const field& f : fields) {
    put_le16(out + f.at, pos);
    put_le16(out + f.at + 2, f.len / 2);
    if (f.len != 0) std::memcpy(out + pos, f.bytes, f.len);
    pos += f.len;
  }
  for (uint64_t at = L7_SSPI; at <= L7_SSPI + 8; at += 4) put_le16(out + at, pos);
  wipe(pass, sizeof pass);
  return total;
}

// Walks the login response token by token up to its final DONE. An ERROR
// before LOGINACK fails the login with the server's text at once; one after
// it only leaves its text in err. A token cut short or one that cannot be
// sized, an answer without its final DONE, or a final DONE with the error
// bit fails the login too: a refusal must never read as success.
int tds_login_walk(const uint8_t* data, uint64_t len, char* err) {
  err[0] = 0;
  bool acked = false;
  bool ended = false;
  uint64_t pos = 0;
  if (data == nullptr) len = 0;
  while (pos < len && !ended) {
    const uint8_t* tok = data + pos;
    uint64_t size = 0;
    const tds_tok t = tds_token_size(tok, len - pos, nullptr, &size);
    if (t != TDS_TOK_OK) {
      tds_err_text(err, t == TDS_TOK_SHORT ? "response ended early" : "malformed response");
      return -1;
    }
    pos += size;
    if (tok[0] == TDS_TOKEN_LOGINACK) {
      acked = true;
    } else if (tok[0] == TDS_TOKEN_ERROR) {
      tds_server_message m;
      const bool decoded = tds_decode_message(tok, size, &m);
      // One too short to hold a message is passed over once logged in.
      if (decoded || !acked) set_login_error(err, decoded ? &m : nullptr);
      if (!acked) return -1;
    } else if (tok[0] == TDS_TOKEN_DONE || tok[0] == TDS_TOKEN_DONEPROC) {
      const uint16_t status = le16(tok + 1);
      if ((status & TDS_DONE_MORE) != 0) continue;
      ended = true;
      if ((status & TDS_DONE_ERROR) != 0) {
        if (err[0] == 0) tds_err_text(err, "login failed");
        return -1;
      }
    }
  }
  if (!acked) {
    if (err[0] == 0) tds_err_text(err, ended ? "login failed (no LOGINACK)" : "response ended early");
    return -1;
  }
  if (!ended) {
    tds_err_text(err, "response ended early");
    return -1;
  }
  return 0;
}

namespace {

// The outcome of the attempt on one address: connected and logged in, an
// answer that ends the walk (a login refused, any failure once the server
// spoke, a cancel, the budget spent), or one to pass over for the next.
enum attempt_result { ATTEMPT_DONE, ATTEMPT_FINAL, ATTEMPT_NEXT };

// The connect's bounds and what the walk has seen so far.
struct addr_walk {
  const std::atomic<int32_t>* cancel;
  int64_t deadline;  // plat_mono_ms instant, 0 for none
  int tried;         // addresses attempted
  char last[64];     // the last of them, as text
  bool answered;     // a server answered there: its answer ends the walk as it said it
  const char* cause; // why the last address was passed over, or null
};

// What is left of the connect's budget for the next wait: 0 for none set,
// else at least 1 so that a budget that ran out still takes one last look
// (and then reads as timed out).
int64_t budget_left(const addr_walk* w) {
  if (w->deadline == 0) return 0;
  const int64_t left = w->deadline - plat_mono_ms();
  return left < 1 ? 1 : left;
}

// Resolves the host within the connect's budget (cancellable like the TCP
// connection, so a resolver that hangs cannot hold the call); 0 with the
// list, or -1 with err set.
int resolve(tds_conn* c, const char* host, int port, const addr_walk* w, plat_addr** list) {
  // The resolver would quietly wrap a port outside 0..65535 to another
  // port and connect there.
  if (port < 0 || port > 65535) {
    tds_set_err(c, "invalid port");
    return -1;
  }
  plat_net_start();
  char port_text[16];
  std::snprintf(port_text, sizeof port_text, "%d", port);
  const int resolved = host == nullptr ? PLAT_FAILED
                                       : plat_resolve(host, port_text, budget_left(w), w->cancel, list);
  if (resolved == PLAT_READY) return 0;
  tds_set_err(c, resolved == PLAT_TIMED_OUT   ? "connect timed out"
                 : resolved == PLAT_CANCELLED ? "cancelled"
                                              : "cannot resolve host");
  return -1;
}

const char* connect_text(int rc) {
  return rc == PLAT_TIMED_OUT ? "connect timed out" : rc == PLAT_CANCELLED ? "cancelled" : "connect failed";
}

// The TCP connection to one address. A connection refused or unreachable
// (or a socket the address's family cannot have) is passed over; a time-out
// or a cancel ends the walk.
attempt_result open_tcp(tds_conn* c, const plat_addr* entry, addr_walk* w) {
  plat_addr_text(entry, w->last, sizeof w->last);
  ++w->tried;
  c->sock = plat_socket_open(entry);
  if (c->sock == PLAT_INVALID_SOCKET) {
    tds_set_err(c, "socket() failed");
    w->cause = nullptr;
    return ATTEMPT_NEXT;
  }
  const int rc = plat_connect(c->sock, entry, budget_left(w), w->cancel);
  if (rc == PLAT_READY) return ATTEMPT_DONE;
  w->cause = rc == PLAT_FAILED ? plat_connect_cause() : nullptr;
  tds_set_err(c, connect_text(rc));
  return rc == PLAT_FAILED ? ATTEMPT_NEXT : ATTEMPT_FINAL;
}

// How far a PRELOGIN exchange came before it ended.
enum prelogin_heard { PL_SILENT, PL_CLOSED, PL_ANSWERED };

// The ENCRYPTION value the client announces for each mode.
uint8_t prelogin_encryption(uint8_t encrypt) {
  if (encrypt == TDS_ENCRYPT_ON) return TDS_PL_ENCRYPT_ON;
  if (encrypt == TDS_ENCRYPT_STRICT) return TDS_PL_ENCRYPT_STRICT;
  return TDS_PL_ENCRYPT_NOT_SUP;
}

// PRELOGIN. In clear text a server that demands encryption is refused;
// asked to encrypt, a server that agrees gets the wrapped handshake and any
// other answer is refused. Under strict the session is already live and the
// server's answer changes nothing.
//
// *heard says how far the exchange came: a peer that closes (or resets) the
// connection before its answer has come is no server of ours, and the walk
// moves on from it.
int exchange_prelogin(tds_conn* c, uint8_t encrypt, prelogin_heard* heard) {
  uint8_t payload[TDS_PRELOGIN_LEN];
  tds_build_prelogin(prelogin_encryption(encrypt), payload);
  const bool clear_text = !c->tls_live;
  *heard = PL_SILENT;
  if (tds_send(c, TDS_PKT_PRELOGIN, payload, TDS_PRELOGIN_LEN) != 0) {
    if (clear_text) *heard = PL_CLOSED;  // in clear text only the socket can refuse a write
    return -1;
  }
  if (tds_recv(c, TDS_LOGIN_CAP) != 0) {
    if (clear_text && c->rx_stop == TDS_STOP_CLOSED) *heard = PL_CLOSED;
    return -1;
  }
  *heard = PL_ANSWERED;
  const int enc = tds_prelogin_encryption(c->rbuf, c->rlen);
  if (encrypt == TDS_ENCRYPT_STRICT) return 0;
  if (encrypt == TDS_ENCRYPT_OFF) {
    if (enc != ENCRYPT_ON && enc != ENCRYPT_REQ) return 0;
    tds_set_err(c, TEXT_ENCRYPTION);
    return -1;
  }
  if (enc != ENCRYPT_ON && enc != ENCRYPT_REQ) {
    // OFF would encrypt the login alone; an answer without the option
    // offers nothing.
    tds_set_err(c, enc == ENCRYPT_OFF ? TEXT_LOGIN_ONLY : TEXT_NOT_SUP);
    return -1;
  }
  return tds_tls_handshake_wrapped(c);
}

// The TLS session of an encrypted connection, made before the TCP
// connection so that a configuration that cannot work fails before any
// byte is sent.
int start_tls(tds_conn* c, const char* host, const tds_connect_opts* o) {
  if (o->encrypt == TDS_ENCRYPT_STRICT && o->trust_server_certificate) {
    tds_set_err(c, TEXT_STRICT_TRUST);
    return -1;
  }
  const char* name = o->host_name_in_certificate != nullptr && o->host_name_in_certificate[0] != 0
                         ? o->host_name_in_certificate
                         : host != nullptr ? host : "";
  const tds_tls_opts t{o->encrypt, o->trust_server_certificate, o->ca_file, name};
  c->tls = tds_tls_new(&t, c->err);
  return c->tls != nullptr ? 0 : -1;
}

// LOGIN7 and the walk of the server's answer to it. The record is built on
// the stack (at most TDS_LOGIN7_MAX bytes) and holds the masked password,
// so it is wiped once sent.
int exchange_login(tds_conn* c, const char* host, const char* user, const char* password,
                   const char* database) {
  uint8_t login[TDS_LOGIN7_MAX];
  const uint64_t login_len = tds_build_login7(host, user, password, database, login, sizeof login);
  const int sent = tds_send(c, TDS_PKT_LOGIN7, login, login_len);
  wipe(login, sizeof login);
  if (sent != 0 || tds_recv(c, TDS_LOGIN_CAP) != 0) return -1;
  return tds_login_walk(c->rbuf, c->rlen, c->err);
}

}  // namespace

namespace {

// Everything after the TCP connection, on c->sock: the TLS handshake of
// strict encryption, PRELOGIN, then TLS and LOGIN7. Only a peer that closes
// before its PRELOGIN answer is passed over; once a server answers, its
// answer (a refused login above all) ends the walk, so that a wrong password
// never becomes several failed logins.
attempt_result log_in(tds_conn* c, const char* host, const char* user, const char* password,
                      const char* database, uint8_t encrypt, addr_walk* w) {
  plat_set_nodelay(c->sock);
  c->cancel_flag = w->cancel;
  c->deadline_ms = w->deadline;
  c->deadline_text = "login timed out";
  // Under strict encryption the server's first word is its TLS handshake.
  w->answered = encrypt == TDS_ENCRYPT_STRICT;
  if (encrypt == TDS_ENCRYPT_STRICT && tds_tls_handshake_direct(c) != 0) return ATTEMPT_FINAL;
  prelogin_heard heard;
  const int pl = exchange_prelogin(c, encrypt, &heard);
  w->answered = w->answered || heard == PL_ANSWERED;
  if (pl != 0 && heard == PL_CLOSED) w->cause = "closed before the answer";
  if (pl != 0) return heard == PL_CLOSED ? ATTEMPT_NEXT : ATTEMPT_FINAL;
  if (exchange_login(c, host, user, password, database) != 0) return ATTEMPT_FINAL;
  return ATTEMPT_DONE;
}

// Leaves the record ready for the next address: the socket closed, the
// hooks cleared, the TLS session (not yet started) and the buffer kept.
void drop_attempt(tds_conn* c) {
  plat_close(c->sock);
  c->sock = PLAT_INVALID_SOCKET;
  c->rlen = 0;
  clear_hooks(c);
}

// A failure once several addresses were tried says why and where it ended
// and how many there were; with one, the text stays as it always read.
void name_last(tds_conn* c, const addr_walk* w) {
  const bool cancelled = w->cancel != nullptr && w->cancel->load() != 0;
  if (w->tried < 2 || w->answered || cancelled) return;
  char text[TDS_ERR_SIZE];
  if (w->cause != nullptr) {
    std::snprintf(text, sizeof text, "%s at %s (%s; the last of %d addresses tried)", c->err, w->last, w->cause,
                  w->tried);
  } else {
    std::snprintf(text, sizeof text, "%s at %s (the last of %d addresses tried)", c->err, w->last, w->tried);
  }
  tds_set_err(c, text);
}

// Every address in the resolver's order, each within what is left of the
// budget, until one answers.
attempt_result walk_addresses(tds_conn* c, const plat_addr* list, const char* host, const char* user,
                              const char* password, const char* database, uint8_t encrypt, addr_walk* w) {
  for (const plat_addr* e = list; e != nullptr; e = plat_addr_next(e)) {
    if (w->cancel != nullptr && w->cancel->load() != 0) {
      tds_set_err(c, "cancelled");
      return ATTEMPT_FINAL;
    }
    attempt_result r = open_tcp(c, e, w);
    if (r == ATTEMPT_DONE) r = log_in(c, host, user, password, database, encrypt, w);
    if (r != ATTEMPT_NEXT) return r;
    drop_attempt(c);
  }
  return ATTEMPT_NEXT;
}

// All the addresses at once; the first TCP connection is kept and the
// others closed. A race that nobody wins names the last address listed.
attempt_result race_addresses(tds_conn* c, const plat_addr* list, const char* host, const char* user,
                              const char* password, const char* database, uint8_t encrypt, addr_walk* w) {
  const plat_addr* winner = nullptr;
  const int rc = plat_connect_first(list, budget_left(w), w->cancel, &c->sock, &winner);
  w->tried = plat_addr_count(list);
  if (w->tried > PLAT_MAX_PARALLEL) w->tried = PLAT_MAX_PARALLEL;
  if (rc != PLAT_READY) {
    const plat_addr* last = list;
    for (int i = 1; i < w->tried; ++i) last = plat_addr_next(last);
    plat_addr_text(last, w->last, sizeof w->last);
    w->cause = rc == PLAT_FAILED ? plat_connect_cause() : nullptr;
    tds_set_err(c, connect_text(rc));
    return ATTEMPT_FINAL;
  }
  plat_addr_text(winner, w->last, sizeof w->last);
  return log_in(c, host, user, password, database, encrypt, w);
}

// An IPv6 literal may come in brackets, as in a URL; the resolver, the
// certificate check and the login take it without them.
const char* unbracket(const char* host, char* buf, size_t cap) {
  if (host == nullptr || host[0] != '[') return host;
  const size_t n = std::strlen(host);
  if (n < 3 || host[n - 1] != ']' || n - 2 >= cap) return host;
  std::memcpy(buf, host + 1, n - 2);
  buf[n - 2] = 0;
  return buf;
}

}  // namespace

int tds_connect(tds_conn* c, const char* host, int port, const char* user,
                const char* password, const char* database, const tds_connect_opts* opts) {
  std::memset(c, 0, sizeof *c);
  c->sock = PLAT_INVALID_SOCKET;

  addr_walk w{};
  w.cancel = opts != nullptr ? opts->cancel_flag : nullptr;
  const int64_t timeout_ms = opts != nullptr && opts->timeout_ms > 0 ? opts->timeout_ms : 0;
  const uint8_t encrypt = opts != nullptr ? opts->encrypt : TDS_ENCRYPT_OFF;
  const bool race = opts != nullptr && opts->multi_subnet_failover;
  // One budget covers the name, the TCP connections, the TLS handshake and
  // the login exchange.
  w.deadline = timeout_ms != 0 ? plat_mono_ms() + timeout_ms : 0;

  char host_buf[256];
  host = unbracket(host, host_buf, sizeof host_buf);
  if (encrypt != TDS_ENCRYPT_OFF && start_tls(c, host, opts) != 0) return fail_connect(c);
  plat_addr* list = nullptr;
  if (resolve(c, host, port, &w, &list) != 0) return fail_connect(c);
  const attempt_result r =
      race && plat_addr_next(list) != nullptr
          ? race_addresses(c, list, host, user, password, database, encrypt, &w)
          : walk_addresses(c, list, host, user, password, database, encrypt, &w);
  plat_resolve_free(list);
  if (r != ATTEMPT_DONE) {
    name_last(c, &w);
    return fail_connect(c);
  }
  clear_hooks(c);
  return 0;
}
