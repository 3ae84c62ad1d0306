// TDS 7.4 client: one connection per record, text conversion, packet
// framing, pre-login and login, SQL batches and the decoding of the server's
// token stream into column metadata, text cells and messages.
//
// Functions return 0 on success and -1 on failure (tds_exec: the number of
// rows stored, or -1); on failure the record's err holds one complete text.
// Decoders take a byte range and never touch a socket.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "tds_client/tls.h"

constexpr int TDS_MAX_COLS = 64;
constexpr int TDS_CELL_SIZE = 4096;
constexpr int TDS_ERR_SIZE = 512;

// Packet types the client sends.
constexpr uint8_t TDS_PKT_SQL_BATCH = 0x01;
constexpr uint8_t TDS_PKT_ATTENTION = 0x06;
constexpr uint8_t TDS_PKT_LOGIN7 = 0x10;
constexpr uint8_t TDS_PKT_PRELOGIN = 0x12;

constexpr uint64_t TDS_MAX_PAYLOAD = 4088;  // per packet sent: 4096 with the header

// Informational-message callback: context, message number, NUL-terminated
// UTF-8 text (never empty, at most 511 bytes, valid only during the call).
using tds_info_fn = void (*)(void* ctx, int32_t number, const char* text);

struct tds_exec_space;

// One connection. Initialised by tds_connect, released by tds_close.
struct tds_conn {
  plat_socket sock;          // PLAT_INVALID_SOCKET when none is open
  char err[TDS_ERR_SIZE];    // text of the most recent failure, "" if none
  uint8_t* rbuf;             // payload of the last response (heap), not terminated
  uint64_t rcap;             // 0, or 65536 times a power of two
  uint64_t rlen;             // payload bytes of the current response
  const std::atomic<int32_t>* cancel_flag;  // non-zero target: reads stop with "cancelled"
  tds_info_fn info_cb;       // informational messages of tds_exec
  void* info_ctx;            // first argument of info_cb
  // Server errors of tds_exec, each with its number as it arrives (may be
  // null), for a caller that needs every error rather than the joined text.
  tds_info_fn error_cb;
  void* error_ctx;

  // Bounds on waiting for the server. deadline_ms is a plat_mono_ms() instant
  // (0: wait as long as the socket layer does); when it passes, a read fails
  // with deadline_text. tds_connect and tds_exec set them for their own waits.
  int64_t deadline_ms;
  const char* deadline_text;
  // query_timeout_ms bounds the wait for each tds_exec answer (0: none).
  int64_t query_timeout_ms;
  // The number of the first server error of the last tds_exec (0: none), so
  // that a caller can tell a refusal it can work around from other failures.
  int32_t err_number;

  // Payload bytes of the packet being read that a cancelled read left
  // unread, and whether that packet ends its message; the attention drain
  // resumes from there.
  uint32_t rx_pkt_left;
  uint8_t rx_pkt_eom;
  // Why the last receive failed (tds_stop), so callers decide by status
  // rather than by comparing texts.
  uint8_t rx_stop;

  // The connection's TLS session (null in clear text). Once tls_live is set
  // every byte sent or read passes through it; before that the session only
  // exchanges its handshake.
  tds_tls* tls;
  uint8_t tls_live;

  // Where tds_exec decodes the rows it does not keep and the metadata of a
  // caller that keeps none: some 270 KiB, so it lives on the heap with the
  // connection (allocated by the first tds_exec, freed by tds_close) rather
  // than on the stack of a host thread that may have little.
  tds_exec_space* exec_space;
};

enum tds_stop : uint8_t {
  TDS_STOP_NONE = 0,       // the receive succeeded
  TDS_STOP_CANCELLED = 1,  // the cancel flag was raised
  TDS_STOP_TIMED_OUT = 2,  // the deadline passed
  TDS_STOP_FAILED = 3,     // the answer broke a rule or a cap
  TDS_STOP_CLOSED = 4,     // the socket failed, or the peer closed it
};

// ---- Text conversion --------------------------------------------------------

// Malformed input becomes U+FFFD in every converter: a byte that cannot
// start a UTF-8 sequence or a sequence broken off early (decoding resumes at
// the byte that broke it), and a UTF-16 surrogate that is not in a pair.

// UTF-8 (NUL-terminated) to UTF-16LE into out (cap bytes). Returns the bytes
// written: even, at most cap, no terminator, at most twice the input's
// length. Cut at a whole character; nothing past the NUL is read.
uint64_t utf8_to_ucs2(const char* in, uint8_t* out, uint64_t cap);

// UTF-16LE bytes to NUL-terminated UTF-8 in out (cap >= 1 bytes, terminator
// included). Cut before the first sequence that does not fit.
void ucs2_to_utf8(const uint8_t* in, uint64_t in_len, char* out, uint64_t cap);

// Code pages of 8-bit column text, as tds_code_page names them.
constexpr uint32_t TDS_CP_OTHER = 0;  // any code page the client has no table for
constexpr uint32_t TDS_CP_1252 = 1252;
constexpr uint32_t TDS_CP_UTF8 = 65001;

// The code page of a character column's 8-bit text, from its 5-byte
// collation (LCID and flags little-endian, then the sort id): the UTF-8 flag
// first, then a non-zero sort id, else the LCID's language.
uint32_t tds_code_page(const uint8_t* collation);

// 8-bit text in code_page to NUL-terminated UTF-8 in out (cap >= 1 bytes,
// terminator included). Windows-1252 is converted byte by byte; under any
// other code page only valid UTF-8 is kept and other bytes above 0x7F become
// U+FFFD. Cut before the first character that does not fit.
void codepage_to_utf8(const uint8_t* in, uint64_t in_len, uint32_t code_page, char* out,
                      uint64_t cap);

// Copies text (null: "") into dst (cap >= 1 bytes, terminator included),
// whole or cut before the first UTF-8 character that does not fit; text may
// overlap dst. Every bounded text of the library is written through here.
// Returns whether the whole text fitted.
bool utf8_copy_cut(char* dst, uint64_t cap, const char* text);

// True when s[0..len) is well-formed UTF-8: no stray or missing continuation
// bytes, no overlong forms, no encoded surrogates, nothing above U+10FFFF.
bool utf8_valid(const char* s, uint64_t len);

// ---- Transport ---------------------------------------------------------------

// Writes one complete text into an error buffer of TDS_ERR_SIZE bytes, cut
// to 511 bytes before a character that does not fit.
inline void tds_err_text(char* err, const char* text) { utf8_copy_cut(err, TDS_ERR_SIZE, text); }

// The same into c->err.
void tds_set_err(tds_conn* c, const char* text);

// One packet header, read by a pure function so that every reader of
// packets (the transport, the wrapped handshake, its fuzz target) frames
// bytes the same way.
constexpr uint64_t TDS_HEADER_LEN = 8;
struct tds_packet_head {
  uint8_t type;      // as sent; receivers accept any
  uint8_t eom;       // 1 when the packet ends its message
  uint64_t payload;  // bytes after the header
};

// Fills *head from hdr[0..TDS_HEADER_LEN); false for a length that cannot
// hold the header itself.
bool tds_parse_packet_header(const uint8_t* hdr, tds_packet_head* head);

// Bytes of ciphertext taken from the socket and fed to the TLS session at
// once: the most a read adds to what the session holds.
constexpr uint64_t TDS_TLS_CHUNK = 16u << 10;

// Sends all the ciphertext the TLS session holds straight to the socket.
int tds_tls_flush(tds_conn* c);

// Waits for ciphertext under the connection's cancel flag and deadline (as
// every read does) and feeds at most TDS_TLS_CHUNK bytes of it to the TLS
// session. 0, or -1 with err and rx_stop set.
int tds_tls_pull(tds_conn* c);

// The handshake of c->tls: inside PRELOGIN messages (wrapped), or on the
// socket itself (direct, before any TDS byte). Bounded by the connection's
// deadline and cancel flag; a failure of the exchange is "TLS handshake
// failed: <reason>", one of the certificate check keeps the session's text.
// On success the session is live.
int tds_tls_handshake_wrapped(tds_conn* c);
int tds_tls_handshake_direct(tds_conn* c);

// Sends one message as packets of at most 4088 payload bytes. The stack
// copy of each packet is wiped once sent: a LOGIN7 holds the password.
int tds_send(tds_conn* c, int type, const uint8_t* payload, uint64_t len);

// Bounds on the bytes of one response, each failing with "response too
// large" before anything beyond it is allocated. The PRELOGIN and login
// answers are small; an answer whose rows are kept is bounded whole.
constexpr uint64_t TDS_LOGIN_CAP = 64u << 10;
constexpr uint64_t TDS_RESULT_CAP = 8u << 20;
struct tds_recv_caps {
  uint64_t total;  // payload bytes of the whole message (0: unbounded)
  uint64_t held;   // payload bytes held in rbuf at once
};

// Called after each packet of a response has been appended to rbuf; may
// consume the front of rbuf with tds_rbuf_drop. Non-zero stops the receive
// (err already set by the callback).
using tds_packet_fn = int (*)(tds_conn* c, void* ctx);

// Receives one message into rbuf/rlen. tds_recv takes it whole, at most cap
// bytes; tds_recv_each calls on_packet (may be null) after every packet.
// The deadline is checked before every read, whatever keeps arriving.
int tds_recv(tds_conn* c, uint64_t cap = TDS_RESULT_CAP);
int tds_recv_each(tds_conn* c, tds_recv_caps caps, tds_packet_fn on_packet, void* ctx);

// Forgets the first n bytes of rbuf (n <= rlen), moving the rest to the front.
void tds_rbuf_drop(tds_conn* c, uint64_t n);

// Sends an ATTENTION and reads until the server acknowledges it (a DONE with
// the attention bit) or wait_ms pass. Leaves err as it was. 0 when acknowledged.
int tds_attention(tds_conn* c, int64_t wait_ms);

// Whether another statement can go out on c: the socket is open and the
// stream stands at a message boundary (not after an ATTENTION that was
// never acknowledged, or a read that lost its place).
bool tds_stream_usable(const tds_conn* c);

// Closes the socket and frees the buffer; harmless to call twice.
void tds_close(tds_conn* c);

// ---- Connect and login ---------------------------------------------------------

// What a connect may wait for. cancel_flag (may be null) makes the connection
// and login phases cancellable ("cancelled"); timeout_ms > 0 bounds the TCP
// connection ("connect timed out") and the login ("login timed out").
//
// encrypt (TDS_ENCRYPT_*) asks for TLS: ON negotiates it in the PRELOGIN and
// runs its handshake inside PRELOGIN packets; STRICT starts it right after
// the TCP connection. Either way the login and everything after it travel
// encrypted, or the connect fails: it never falls back to clear text. The
// certificate is checked against ca_file (or the system's store) and
// host_name_in_certificate (or host) unless trust_server_certificate,
// which strict refuses.
//
// A host that resolves to several addresses is walked in the resolver's
// order, each address within what is left of the bound: one whose TCP
// connection fails, or that closes before its PRELOGIN answer, is passed
// over; any other outcome is the answer. multi_subnet_failover starts all of
// them at once and keeps the first TCP connection instead. host may be an
// IPv6 literal, with or without brackets.
struct tds_connect_opts {
  const std::atomic<int32_t>* cancel_flag;
  int64_t timeout_ms;
  uint8_t encrypt = TDS_ENCRYPT_OFF;
  bool trust_server_certificate = false;
  const char* ca_file = nullptr;                   // null or "": system store
  const char* host_name_in_certificate = nullptr;  // null or "": host
  bool multi_subnet_failover = false;
};

// Connects and logs in. database may be null or empty (login default).
// On failure nothing is left open and err holds the reason. After success
// cancel_flag, info_cb, info_ctx and the bounds are cleared for the caller to set.
int tds_connect(tds_conn* c, const char* host, int port, const char* user,
                const char* password, const char* database,
                const tds_connect_opts* opts = nullptr);

constexpr uint64_t TDS_PRELOGIN_LEN = 18;
extern const uint8_t TDS_PRELOGIN_PAYLOAD[TDS_PRELOGIN_LEN];

// ENCRYPTION values of the client's PRELOGIN: clear text, TLS wanted, and
// the value sent inside a TLS session that was started first. A server
// ignores the value once TLS came first; "on" is the documented value that
// says what is true of the connection.
constexpr uint8_t TDS_PL_ENCRYPT_NOT_SUP = 0x02;
constexpr uint8_t TDS_PL_ENCRYPT_ON = 0x01;
constexpr uint8_t TDS_PL_ENCRYPT_STRICT = TDS_PL_ENCRYPT_ON;

// TDS_PRELOGIN_PAYLOAD with its ENCRYPTION byte set to encryption, into out.
void tds_build_prelogin(uint8_t encryption, uint8_t out[TDS_PRELOGIN_LEN]);

// The server's ENCRYPTION value from a PRELOGIN answer, or -1 when the answer
// names none (or is 4 bytes or shorter).
int tds_prelogin_encryption(const uint8_t* data, uint64_t len);

// Builds the LOGIN7 record into out (cap bytes). Returns its length, or 0 when
// it does not fit.
uint64_t tds_build_login7(const char* host, const char* user, const char* password,
                          const char* database, uint8_t* out, uint64_t cap);

// Largest LOGIN7 record tds_build_login7 can produce.
constexpr uint64_t TDS_LOGIN7_MAX = 94 + 64 + 256 + 512 + 64 + 256 + 64 + 256;

// Walks a login response. Returns 0 when a LOGINACK was seen and the answer
// ended with its final DONE, without the error bit (err may hold a later
// ERROR's text); -1 with the reason in err (TDS_ERR_SIZE bytes) otherwise.
int tds_login_walk(const uint8_t* data, uint64_t len, char* err);

// ---- Result records --------------------------------------------------------------

constexpr uint64_t TDS_COLLATION_LEN = 5;

struct tds_col {
  char name[128];
  uint8_t type;
  uint32_t max_len;
  uint8_t precision;
  uint8_t scale;
  // Character columns: LCID and flags (4 bytes LE), then the sort id; all
  // zero for other types. The code page of 8-bit text follows from it.
  uint8_t collation[TDS_COLLATION_LEN];
};

struct tds_meta {
  tds_col cols[TDS_MAX_COLS];
  int32_t ncols;
};

struct tds_row {
  char cells[TDS_MAX_COLS][TDS_CELL_SIZE];
  int32_t is_null[TDS_MAX_COLS];
};

// Decodes one column value at p (end: one past the data) into cell and
// *is_null. Returns the bytes consumed, or -1 when it cannot be read.
int read_value(const uint8_t* p, const uint8_t* end, const tds_col* col, char* cell,
               int32_t* is_null);

// ---- SQL batch and token stream --------------------------------------------------

constexpr uint64_t TDS_ALL_HEADERS_LEN = 22;

// Takes one decoded row that is not stored (valid only during the call):
// null to go on, or a constant text that stops the walk and becomes err.
using tds_row_fn = const char* (*)(void* ctx, const tds_meta* meta, const tds_row* row);

// Everything the token walk writes into, and how far it has come. The
// walk goes on across pieces of an answer: the caller fills the records and
// hooks, then tds_walk_begin, tds_walk_feed as bytes arrive, tds_walk_end.
struct tds_walk {
  tds_meta* meta;       // never null
  tds_row* rows;        // may be null
  int32_t cap;          // rows' capacity
  tds_row* scratch;     // rows not stored are decoded here; never null
  tds_info_fn info_cb;  // may be null
  void* info_ctx;
  tds_info_fn error_cb;  // may be null: every server error with its number
  void* error_ctx;
  tds_row_fn row_cb;    // may be null: rows not stored are handed here
  void* row_ctx;
  char* err;            // TDS_ERR_SIZE bytes

  int32_t stored;       // rows stored (or handed to row_cb) so far
  int32_t errors;       // server errors seen so far
  int32_t first_error;  // the first server error's number, 0 before one
  bool err_full;        // a cut error text ends the joining
  bool ended;           // the final DONE was seen
  bool failed;          // a token could not be read; err says why
};

// Starts a walk: no rows, no errors, no columns.
void tds_walk_begin(tds_walk* w);

// Takes the whole tokens at the front of data[0..len): rows are stored and
// informational messages delivered, in order, as each token completes.
// Returns the bytes taken (the rest is an incomplete token, to be offered
// again with more bytes behind it), or -1 when a token cannot be read.
int64_t tds_walk_feed(tds_walk* w, const uint8_t* data, uint64_t len);

// The statement's result once its answer has ended with `unread` bytes not
// taken: the rows stored, or -1 with err set. Several server errors are
// joined in err by line feeds, in order; an answer without its final DONE,
// or cut inside a token, is "response ended early".
int tds_walk_end(tds_walk* w, uint64_t unread);

// A complete answer walked at once: begin, feed, end.
int tds_walk_tokens(const uint8_t* data, uint64_t len, tds_walk* w);

// Runs one SQL batch and walks its answer as it arrives. meta and rows may
// be null. Informational messages reach info_cb as their tokens complete. An
// answer whose rows or metadata are kept may take TDS_RESULT_CAP bytes; one
// run for its effect alone (meta and rows null) is consumed as it arrives,
// however long. A cancel sends an ATTENTION before failing with "cancelled".
int tds_exec(tds_conn* c, const char* sql, tds_meta* meta, tds_row* rows, int32_t cap);

// Runs one SQL batch and hands every row to on_row as it is decoded,
// keeping none, so an answer of any number of rows is consumed as it
// arrives with the bytes of one token held. Returns the rows handed, or -1
// (a refusal of on_row is the err text).
int tds_exec_rows(tds_conn* c, const char* sql, tds_row_fn on_row, void* ctx);
