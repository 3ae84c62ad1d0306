// Byte-level building blocks of the simulated server: UTF-8/UTF-16LE
// conversion, a little-endian byte builder, packet framing and the encoders
// of every token the server sends. Nothing here touches a socket, so the
// tests' scripted peers, the fuzz seeds and the benchmarks build their
// server bytes with the same encoders as the simulated server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

// UTF-8 to UTF-16LE bytes. Malformed UTF-8 becomes U+FFFD, so a client that
// sends odd bytes still gets a well-formed answer.
Bytes utf16le(std::string_view utf8);

// UTF-16LE bytes (len rounded down to even) to UTF-8. Unpaired surrogates
// become U+FFFD.
std::string utf8_from_utf16le(const uint8_t* data, size_t len);

// Appends the UTF-8 form of one code point.
void put_utf8(std::string& out, uint32_t cp);

// Appends little-endian integers, big-endian where TDS wants them, and the
// length-prefixed strings of the token stream.
struct Builder {
  Bytes out;

  void u8(uint8_t v) { out.push_back(v); }
  void u16le(uint16_t v);
  void u16be(uint16_t v);
  void u32le(uint32_t v);
  void u32be(uint32_t v);
  void u64le(uint64_t v);
  void bytes(const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); }
  void bytes(const uint8_t* p, size_t n) { out.insert(out.end(), p, p + n); }
  // One length byte of UTF-16 code units, then the text (cut to 255 units).
  void b_varchar(std::string_view utf8);
  // Two length bytes of UTF-16 code units, then the text (cut to 65535 units).
  void us_varchar(std::string_view utf8);
  // Two length bytes counting bytes, then the bytes: the form of a VARCHAR
  // or NVARCHAR value in a row.
  void us_bytes(const Bytes& b);
};

// Packet types.
constexpr uint8_t PKT_SQL_BATCH = 0x01;
constexpr uint8_t PKT_RPC = 0x03;
constexpr uint8_t PKT_REPLY = 0x04;
constexpr uint8_t PKT_ATTENTION = 0x06;
constexpr uint8_t PKT_LOGIN7 = 0x10;
constexpr uint8_t PKT_PRELOGIN = 0x12;

constexpr uint8_t STATUS_EOM = 0x01;
constexpr size_t PACKET_HEADER_LEN = 8;

// Type | Status | Length u16 big-endian | SPID u16 big-endian | PacketID | Window.
void put_packet_header(Bytes& out, uint8_t type, uint8_t status, uint16_t length, uint16_t spid,
                       uint8_t id);

// A whole message as packets of at most packet_size bytes (header included;
// each carries at least one payload byte), end of message on the last, SPID
// 0, packet ids counting up from first_id (first_id 0: every id 0, as a
// client frames its requests). An empty payload gives one bare header.
Bytes frame_message(uint8_t type, const Bytes& payload, size_t packet_size, uint8_t first_id = 1);

// The PRELOGIN answer: VERSION (major, minor, build, sub-build), ENCRYPTION,
// INSTOPT, THREADID (empty, as servers send it) and MARS off.
Bytes prelogin_answer(const int version[4], uint8_t encryption);

// Token codes of the server's answers.
constexpr uint8_t TOK_COLMETADATA = 0x81;
constexpr uint8_t TOK_ERROR = 0xAA;
constexpr uint8_t TOK_INFO = 0xAB;
constexpr uint8_t TOK_LOGINACK = 0xAD;
constexpr uint8_t TOK_ROW = 0xD1;
constexpr uint8_t TOK_ENVCHANGE = 0xE3;
constexpr uint8_t TOK_DONE = 0xFD;
constexpr uint8_t TOK_DONEPROC = 0xFE;
constexpr uint8_t TOK_DONEINPROC = 0xFF;

// DONE status bits.
constexpr uint16_t DONE_FINAL = 0x0000;
constexpr uint16_t DONE_MORE = 0x0001;
constexpr uint16_t DONE_ERROR = 0x0002;
constexpr uint16_t DONE_COUNT = 0x0010;
constexpr uint16_t DONE_ATTN = 0x0020;

// Column flags.
constexpr uint16_t COL_NULLABLE = 0x0001;

// DONE CurCmd values.
constexpr uint16_t CMD_NONE = 0x0000;
constexpr uint16_t CMD_SELECT = 0x00C1;

// ENVCHANGE types.
constexpr uint8_t ENV_DATABASE = 1;
constexpr uint8_t ENV_LANGUAGE = 2;
constexpr uint8_t ENV_PACKET_SIZE = 4;
constexpr uint8_t ENV_COLLATION = 7;

// Column type codes the server describes.
constexpr uint8_t TYPE_GUID = 0x24;          // uniqueidentifier
constexpr uint8_t TYPE_INTN = 0x26;          // tinyint, smallint, int, bigint
constexpr uint8_t TYPE_BITN = 0x68;          // bit
constexpr uint8_t TYPE_NUMERICN = 0x6C;      // numeric(p, 0)
constexpr uint8_t TYPE_DATETIMEN = 0x6F;     // datetime
constexpr uint8_t TYPE_BIGVARBINARY = 0xA5;  // varbinary(n)
constexpr uint8_t TYPE_BIGCHAR = 0xAF;       // char(n)
constexpr uint8_t TYPE_NVARCHAR = 0xE7;

// A point in the server's local wall-clock time, in units of 1/30,000,000
// of a second since 1970-01-01: both a datetime (1/300 s) and a datetime2
// (100 ns) are whole numbers of it, so the two compare exactly.
using Stamp = int64_t;
constexpr Stamp STAMP_PER_SECOND = 30000000;
constexpr Stamp STAMP_PER_DATETIME_TICK = STAMP_PER_SECOND / 300;

// The 8 bytes of a datetime: days since 1900-01-01 (int32), then 1/300 s
// since midnight (uint32), both little-endian. The stamp is rounded down to
// a tick.
Bytes datetime_bytes(Stamp s);
// The bytes of a numeric(precision, 0) value (at most 38 digits, here
// within 64 bits): sign byte (1 positive), then the magnitude little-endian
// over the length the precision takes (4, 8, 12 or 16 bytes).
Bytes numeric_bytes(uint8_t precision, uint64_t value);

// Latin1_General, code page 1252, case-insensitive: what a default install
// reports, and what the client ignores.
extern const uint8_t DEFAULT_COLLATION[5];

// One result column of a type above.
struct Column {
  std::string name;
  uint8_t type;
  uint16_t max_chars;  // NVARCHAR and CHAR: characters; VARBINARY: bytes
  uint8_t int_bytes;   // INTN only: 1, 2, 4 or 8
  bool nullable;
  uint8_t precision = 0;  // NUMERICN only
};

// One cell; nullopt is NULL.
struct Cell {
  std::optional<std::string> text;  // NVARCHAR and CHAR columns
  std::optional<int64_t> number;    // INTN, BITN, NUMERICN; DATETIMEN as a Stamp
  std::optional<Bytes> bytes = std::nullopt;  // GUID (16 bytes as sent) and VARBINARY
};

// The token stream of one answer, appended in order.
struct Tokens {
  Builder b;
  std::string server_name;  // stamped on INFO and ERROR

  void info(int32_t number, uint8_t state, uint8_t cls, std::string_view text);
  void error(int32_t number, uint8_t state, uint8_t cls, std::string_view text);
  // INFO or ERROR by its token code.
  void message(uint8_t token, int32_t number, uint8_t state, uint8_t cls, std::string_view text);
  void env_text(uint8_t type, std::string_view now, std::string_view before);
  void env_collation(const uint8_t collation[5]);
  // tds_version as the four wire bytes read big-endian (0x74000004 for 7.4).
  void loginack(uint32_t tds_version, std::string_view program, const uint8_t version[4]);
  void colmetadata(const std::vector<Column>& cols);
  void row(const std::vector<Column>& cols, const std::vector<Cell>& cells);
  void done(uint16_t status, uint16_t curcmd, uint64_t rows, uint8_t token = TOK_DONE);

  // COLMETADATA of any column types: the count, then one column() for each.
  void colmetadata_begin(uint16_t count);
  // UserType 0 | Flags | type code | type_info as given (lengths, precision,
  // collation) | ColName B_VARCHAR.
  void column(uint16_t flags, uint8_t type, const Bytes& type_info, std::string_view name);
  // A token of a 16-bit length and an opaque body (ORDER, TABNAME, ...).
  void with_length(uint8_t token, const Bytes& body);

  bool empty() const { return b.out.empty(); }
  void clear() { b.out.clear(); }
};

}  // namespace sim
