// The server's token stream: token codes, the length rule of every token a
// TDS 7.4 server sends, the TYPE_INFO and value-length rules those lengths
// depend on, and the one ERROR/INFO message parser. The login walk, the
// statement walk and the attention drain all size tokens here, so a token
// that one of them does not use is skipped by the same rule everywhere.
//
// Everything here takes a byte range; nothing touches a socket.
#pragma once

#include <cstdint>

#include "tds_client/cursor.h"
#include "tds_client/tds_client.h"

// Token codes, grouped by how their length is found.
constexpr uint8_t TDS_TOKEN_RETURNSTATUS = 0x79;   // fixed: 4 bytes
constexpr uint8_t TDS_TOKEN_COLMETADATA = 0x81;    // count, then walked column by column
constexpr uint8_t TDS_TOKEN_ALTMETADATA = 0x88;    // compute results: not sized
constexpr uint8_t TDS_TOKEN_TABNAME = 0xA4;        // 2-byte length
constexpr uint8_t TDS_TOKEN_COLINFO = 0xA5;        // 2-byte length
constexpr uint8_t TDS_TOKEN_ORDER = 0xA9;          // 2-byte length
constexpr uint8_t TDS_TOKEN_ERROR = 0xAA;          // 2-byte length
constexpr uint8_t TDS_TOKEN_INFO = 0xAB;           // 2-byte length
constexpr uint8_t TDS_TOKEN_RETURNVALUE = 0xAC;    // walked: name, TYPE_INFO, value
constexpr uint8_t TDS_TOKEN_LOGINACK = 0xAD;       // 2-byte length
constexpr uint8_t TDS_TOKEN_FEATUREEXTACK = 0xAE;  // options of a 4-byte length, ended by 0xFF
constexpr uint8_t TDS_TOKEN_ROW = 0xD1;            // one value per column of the metadata
constexpr uint8_t TDS_TOKEN_NBCROW = 0xD2;         // null bitmap, then the non-NULL values
constexpr uint8_t TDS_TOKEN_ALTROW = 0xD3;         // compute results: not sized
constexpr uint8_t TDS_TOKEN_ENVCHANGE = 0xE3;      // 2-byte length
constexpr uint8_t TDS_TOKEN_SESSIONSTATE = 0xE4;   // 4-byte length
constexpr uint8_t TDS_TOKEN_SSPI = 0xED;           // 2-byte length
constexpr uint8_t TDS_TOKEN_FEDAUTHINFO = 0xEE;    // 4-byte length
constexpr uint8_t TDS_TOKEN_DONE = 0xFD;           // fixed: 12 bytes
constexpr uint8_t TDS_TOKEN_DONEPROC = 0xFE;       // fixed: 12 bytes
constexpr uint8_t TDS_TOKEN_DONEINPROC = 0xFF;     // fixed: 12 bytes

// DONE, DONEPROC, DONEINPROC: token, Status (2), CurCmd (2), RowCount (8).
constexpr uint64_t TDS_DONE_LEN = 13;
constexpr uint16_t TDS_DONE_MORE = 0x0001;   // further results follow in this answer
constexpr uint16_t TDS_DONE_ERROR = 0x0002;  // the statement failed
constexpr uint16_t TDS_DONE_ATTN = 0x0020;   // acknowledges an ATTENTION

inline bool tds_is_done(uint8_t token) {
  return token == TDS_TOKEN_DONE || token == TDS_TOKEN_DONEPROC || token == TDS_TOKEN_DONEINPROC;
}

// Outcome of sizing or decoding one token on the bytes at hand.
enum tds_tok {
  TDS_TOK_OK = 0,     // whole, and sized or decoded
  TDS_TOK_SHORT = 1,  // not all there yet: more bytes may complete it
  TDS_TOK_BAD = 2,    // cannot be sized or read, whatever follows
};

// The TYPE_INFO after col->type (already set), for every TDS 7.4 data type:
// fills max_len (fixed types: their size), precision, scale and collation.
// TDS_TOK_BAD for a type code TDS 7.4 does not define.
tds_tok tds_read_type_info(tds_cursor& c, tds_col* col);

// Length of one value of the column at the cursor, which it skips.
tds_tok tds_skip_value(tds_cursor& c, const tds_col* col);

// Column descriptions of a COLMETADATA after its token byte, into meta.
// accept (may be null) is asked about each type code before its TYPE_INFO
// is read; a code it refuses is TDS_TOK_BAD with *why "unsupported column
// type". More than TDS_MAX_COLS columns: TDS_TOK_BAD, "too many columns".
// meta->ncols is set only when the whole token was read.
tds_tok tds_read_colmetadata(tds_cursor& c, tds_meta* meta, bool (*accept)(uint8_t type),
                             const char** why);

// Size of the ROW or NBCROW at p (token byte included) under meta, which
// must describe at least one column.
tds_tok tds_row_size(const uint8_t* p, uint64_t left, const tds_meta* meta, uint64_t* size);

// Size of the token at p (token byte included) under the current metadata
// (may be null: a row then cannot be sized). A COLMETADATA is sized by
// reading it into a record of its own.
tds_tok tds_token_size(const uint8_t* p, uint64_t left, const tds_meta* meta, uint64_t* size);

// The parts of an ERROR or INFO token.
struct tds_server_message {
  int32_t number;
  bool is_error;  // ERROR above class 10; the rest only inform
  bool has_text;  // the text lay inside the token and is in `text`
  char text[TDS_ERR_SIZE];
};

// Decodes the ERROR or INFO token at tok, size bytes as tds_token_size found
// them. false: too short to hold a message (Length 8 or less), to be
// skipped without effect.
bool tds_decode_message(const uint8_t* tok, uint64_t size, tds_server_message* m);
