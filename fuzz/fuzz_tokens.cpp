// The answer decoders on arbitrary bytes: read_value on its own, the length
// rule of every token, and the token walk, whole and fed in pieces.
//
// Input layout:
//   [0]  columns of the generated column metadata, 0 to 8 (0: none, the
//        response is taken as it is)
//   [1]  piece size for the fed walk: the response arrives in pieces of
//        1 + this % 64 bytes
//   [2]  row capacity: 0 (no row array) to 3
//   then 4 bytes per column: type (index into TYPES), length, precision, scale
//   the rest: the response, after the generated COLMETADATA token
//
// Checks: float cells read exactly as the general formatter writes them.
// read_value never reads past its end or writes past its cell,
// consumes what it says it consumes, and leaves an empty cell and flag 0
// when it fails. The walk stores at most its capacity, keeps every cell and
// name terminated, and fails only with a text. Messages are never empty nor
// longer than 511 bytes, and feeding the answer in pieces as the packets
// arrive (keeping only what the walk did not take) gives the same outcome,
// text and messages, in the same order, as one walk of the whole: each
// message exactly once. The row capacity changes what is stored, never
// whether the walk fails or with what text. Every message delivered also
// goes through a backup slot's message callback. A token sized whole is
// sized the same on any longer range and is incomplete on every shorter one.
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "tds_client/float_text.h"
#include "tds_client/tds_client.h"
#include "tds_client/tokens.h"
#include "tds_client/type_codes.h"
#include "vaultrun/backup_worker.h"

namespace {

constexpr size_t HEADER = 3;
constexpr size_t PER_COLUMN = 4;
constexpr int MAX_GENERATED_COLS = 8;
constexpr int MAX_CAP = 3;

// Every type the client renders, in code order, then one it refuses (an
// image): the selector byte picks from this list.
struct type_list {
  uint8_t codes[TDS_MAX_COLS];
  int count = 0;
  type_list() {
    for (int i = 0; i < TDS_TYPE_RULE_COUNT; ++i)
      if (TDS_TYPE_RULES[i].rendered) codes[count++] = TDS_TYPE_RULES[i].code;
    codes[count++] = TDS_TYPE_IMAGE;
  }
};
const type_list TYPES;

// The TYPE_INFO a server writes for the type's form, from the selector's
// length, precision and scale. The top of the length range declares the
// chunked form of a 2-byte-length type.
void type_info(std::vector<uint8_t>& out, tds_info_form form, const uint8_t* sel) {
  const uint8_t len = sel[1], precision = sel[2], scale = sel[3];
  const uint16_t max = len >= 0xF0 ? 0xFFFF : static_cast<uint16_t>(len * 16);
  switch (form) {
    case tds_info_form::length: out.push_back(len); break;
    case tds_info_form::scale: out.push_back(scale); break;
    case tds_info_form::decimal: out.insert(out.end(), {len, precision, scale}); break;
    case tds_info_form::ushort:
      out.insert(out.end(), {static_cast<uint8_t>(max), static_cast<uint8_t>(max >> 8)});
      break;
    case tds_info_form::long_len:
      out.insert(out.end(), {static_cast<uint8_t>(max), static_cast<uint8_t>(max >> 8), 0, 0});
      break;
    case tds_info_form::ushort_coll:
      out.insert(out.end(), {static_cast<uint8_t>(max), static_cast<uint8_t>(max >> 8)});
      out.insert(out.end(), {0x09, 0x04, 0xD0, 0x00, 0x34});
      break;
    default: break;  // none; a refused type is refused before its TYPE_INFO
  }
}

// Appends one column description (UserType, Flags, type, TYPE_INFO, name)
// and reads back what the walk makes of it.
void describe(std::vector<uint8_t>& out, const uint8_t* sel, int index, tds_col* col) {
  *col = tds_col{};
  col->type = TYPES.codes[sel[0] % TYPES.count];
  out.insert(out.end(), {0, 0, 0, 0, 0x09, 0x00, col->type});
  const size_t info_at = out.size();
  type_info(out, tds_type_rule_of(col->type)->info, sel);
  if (tds_renders(col->type)) {
    tds_cursor c{out.data() + info_at, out.size() - info_at};
    FUZZ_CHECK(tds_read_type_info(c, col) == TDS_TOK_OK && c.left == 0);
  }
  out.insert(out.end(), {1, static_cast<uint8_t>('a' + index), 0});  // name, one unit
}

void check_values(const uint8_t* body, size_t size, const tds_col* cols, int ncols) {
  if (ncols == 0) return;
  std::unique_ptr<uint8_t[]> in = exact_copy(body, size);
  const uint8_t* p = in.get();
  const uint8_t* end = p + size;
  for (int k = 0; k < 256; ++k) {
    const tds_col* col = &cols[k % ncols];
    std::unique_ptr<char[]> cell(new char[TDS_CELL_SIZE]);
    std::memset(cell.get(), 'X', TDS_CELL_SIZE);
    int32_t is_null = 7;
    const int n = read_value(p, end, col, cell.get(), &is_null);
    FUZZ_CHECK(terminated(cell.get(), TDS_CELL_SIZE));
    if (n < 0) {
      FUZZ_CHECK(n == -1);
      FUZZ_CHECK(cell[0] == 0 && is_null == 0);
      return;
    }
    FUZZ_CHECK(n >= 1 && static_cast<uint64_t>(n) <= static_cast<uint64_t>(end - p));
    FUZZ_CHECK(is_null == 0 || is_null == 1);
    if (is_null) FUZZ_CHECK(cell[0] == 0);
    p += n;
    if (p == end) return;
  }
}

// Float cells are rendered without the general formatter where that is
// known to give the same text; the formatter is the reference. Every 8-byte
// and 4-byte window of the input is taken as a double and as a float, at the
// cell's capacity and at small capacities, where the text is cut.
void check_float_text(const uint8_t* data, size_t size) {
  // 32 bytes hold any "%g" text whole; the others cut it.
  static const size_t caps[] = {32, 1, 2, 5, 9, 13};
  for (size_t at = 0; at + 8 <= size && at < 16; ++at) {
    double d;
    std::memcpy(&d, data + at, sizeof d);
    float f;
    std::memcpy(&f, data + at, sizeof f);
    for (double v : {d, static_cast<double>(f)}) {
      for (size_t cap : caps) {
        char mine[32], ref[32];
        std::memset(mine, 'X', sizeof mine);
        std::memset(ref, 'X', sizeof ref);
        float_g_text(v, mine, cap);
        std::snprintf(ref, cap, "%g", v);
        if (std::memcmp(mine, ref, sizeof mine) != 0) {
          std::fprintf(stderr, "float text of %a at capacity %zu: \"%.*s\", the formatter gives \"%.*s\"\n", v,
                       cap, int(strnlen(mine, cap)), mine, int(strnlen(ref, cap)), ref);
          FUZZ_CHECK(!"float text differs from the formatter's");
        }
      }
    }
  }
}

using messages = std::vector<std::pair<int32_t, std::string>>;

// A backup's slot, fed every message as the worker's callback would be:
// whatever the server says, the percent stays within 0..100, the page count
// is not negative and the kept message is a whole, terminated text.
backup_session g_session;

void check_session_fed(int32_t number, const char* text) {
  on_info_cb(&g_session, number, text);
  const int32_t percent = g_session.percent.load();
  FUZZ_CHECK(percent >= 0 && percent <= 100);
  FUZZ_CHECK(g_session.pages.load() >= 0);
  FUZZ_CHECK(terminated(g_session.message, sizeof g_session.message));
  const size_t len = std::strlen(g_session.message);
  FUZZ_CHECK(utf8_whole_sequences(g_session.message, len));
  FUZZ_CHECK(std::strncmp(g_session.message, text, len) == 0);
}

void collect(void* ctx, int32_t number, const char* text) {
  const size_t len = std::strlen(text);
  FUZZ_CHECK(len > 0 && len <= TDS_ERR_SIZE - 1);
  FUZZ_CHECK(utf8_whole_sequences(text, len));
  static_cast<messages*>(ctx)->emplace_back(number, text);
  check_session_fed(number, text);
}

struct walk_out {
  int rc;
  std::string err;
  int32_t ncols;
  messages msgs;
};

// Rows are filled with a pattern first, so a cell that was not written (or
// was written past) shows.
tds_meta g_meta;
tds_row g_rows[2][MAX_CAP];  // one set per walk, compared afterwards
tds_row g_scratch;

void mark_rows(tds_row* rows, int cap) {
  for (int k = 0; k < cap; ++k) {
    std::memset(rows[k].cells, 'X', sizeof rows[k].cells);
    for (int i = 0; i < TDS_MAX_COLS; ++i) rows[k].is_null[i] = 7;
  }
}

void check_rows(const tds_row* rows, int cap) {
  static const std::vector<char> untouched(TDS_CELL_SIZE, 'X');
  for (int k = 0; k < cap; ++k) {
    for (int i = 0; i < TDS_MAX_COLS; ++i) {
      const char* cell = rows[k].cells[i];
      const int32_t flag = rows[k].is_null[i];
      if (flag == 7) {
        FUZZ_CHECK(std::memcmp(cell, untouched.data(), TDS_CELL_SIZE) == 0);
        continue;
      }
      FUZZ_CHECK(flag == 0 || flag == 1);
      FUZZ_CHECK(terminated(cell, TDS_CELL_SIZE));
      if (flag == 1) FUZZ_CHECK(cell[0] == 0);
    }
  }
}

// The answer in pieces of `step` bytes: each time, an exact copy of what
// the walk has not taken yet plus the new piece, so no read can look
// beyond what has arrived.
int walk_pieces(tds_walk* w, const uint8_t* data, size_t size, uint64_t step) {
  tds_walk_begin(w);
  std::vector<uint8_t> held;
  for (size_t at = 0; at < size;) {
    const size_t n = size - at > step ? step : size - at;
    held.insert(held.end(), data + at, data + at + n);
    at += n;
    std::unique_ptr<uint8_t[]> piece = exact_copy(held.data(), held.size());
    const int64_t used = tds_walk_feed(w, piece.get(), held.size());
    if (used < 0) return -1;
    FUZZ_CHECK(static_cast<uint64_t>(used) <= held.size());
    held.erase(held.begin(), held.begin() + used);
  }
  return tds_walk_end(w, held.size());
}

// cap 0 walks without a row array; step 0 walks the whole at once.
walk_out walk(const uint8_t* data, size_t size, tds_row* rows, int cap, uint64_t step) {
  walk_out out{0, "", 0, {}};
  char err[TDS_ERR_SIZE];
  err[0] = 0;
  mark_rows(rows, cap);
  tds_walk w{};
  w.meta = &g_meta;
  w.rows = cap > 0 ? rows : nullptr;
  w.cap = cap;
  w.scratch = &g_scratch;
  w.info_cb = collect;
  w.info_ctx = &out.msgs;
  w.err = err;
  out.rc = step == 0 ? tds_walk_tokens(data, size, &w) : walk_pieces(&w, data, size, step);
  FUZZ_CHECK(terminated(err, sizeof err));
  out.err = err;
  out.ncols = g_meta.ncols;

  FUZZ_CHECK(out.rc >= -1 && out.rc <= w.cap);
  if (out.rc < 0) FUZZ_CHECK(!out.err.empty());
  else FUZZ_CHECK(out.err.empty());
  FUZZ_CHECK(g_meta.ncols >= 0 && g_meta.ncols <= TDS_MAX_COLS);
  for (int i = 0; i < g_meta.ncols; ++i)
    FUZZ_CHECK(terminated(g_meta.cols[i].name, sizeof g_meta.cols[i].name));
  check_rows(rows, cap);
  return out;
}

// The length rule of one token at the front of the data, without metadata.
void check_token_size(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> in = exact_copy(data, size);
  uint64_t whole = 0;
  const tds_tok t = tds_token_size(in.get(), size, nullptr, &whole);
  if (t != TDS_TOK_OK) return;
  FUZZ_CHECK(whole >= 1 && whole <= size);
  std::unique_ptr<uint8_t[]> exact = exact_copy(data, whole);
  uint64_t again = 0;
  FUZZ_CHECK(tds_token_size(exact.get(), whole, nullptr, &again) == TDS_TOK_OK && again == whole);
  FUZZ_CHECK(tds_token_size(exact.get(), whole - 1, nullptr, &again) == TDS_TOK_SHORT);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < HEADER) return 0;
  const int ncols = data[0] % (MAX_GENERATED_COLS + 1);
  uint64_t step = 1 + data[1] % 64;
  const int cap = data[2] % (MAX_CAP + 1);
  if (size < HEADER + PER_COLUMN * ncols) return 0;
  const uint8_t* sel = data + HEADER;
  const uint8_t* body = sel + PER_COLUMN * ncols;
  const size_t body_len = size - HEADER - PER_COLUMN * ncols;

  std::vector<uint8_t> response;
  tds_col cols[MAX_GENERATED_COLS];
  if (ncols > 0) {
    response.insert(response.end(), {0x81, static_cast<uint8_t>(ncols), 0});
    for (int i = 0; i < ncols; ++i) describe(response, sel + PER_COLUMN * i, i, &cols[i]);
  }
  response.insert(response.end(), body, body + body_len);

  check_values(body, body_len, cols, ncols);
  check_float_text(body, body_len);
  check_token_size(body, body_len);

  std::unique_ptr<uint8_t[]> whole = exact_copy(response.data(), response.size());
  const size_t len = response.size();
  const walk_out alone = walk(whole.get(), len, g_rows[0], cap, 0);

  // The same answer arriving in pieces, into a row array of another
  // capacity: rows beyond the capacity are decoded all the same, so the
  // outcome, the text and the rows both walks stored must agree.
  if (len / step > 256) step = len / 256 + 1;  // bounds the copying on long inputs
  const int cap2 = (cap + 1) % (MAX_CAP + 1);
  const walk_out arrived = walk(whole.get(), len, g_rows[1], cap2, step);

  FUZZ_CHECK(arrived.err == alone.err);
  FUZZ_CHECK(arrived.ncols == alone.ncols);
  FUZZ_CHECK(arrived.msgs == alone.msgs);
  FUZZ_CHECK((arrived.rc < 0) == (alone.rc < 0));
  if (alone.rc >= 0) {
    // A walk that stored fewer rows than it could saw them all.
    if (alone.rc < cap) FUZZ_CHECK(arrived.rc == std::min(alone.rc, cap2));
    if (arrived.rc < cap2) FUZZ_CHECK(alone.rc == std::min(arrived.rc, cap));
    for (int k = 0; k < std::min(alone.rc, arrived.rc); ++k) {
      for (int i = 0; i < TDS_MAX_COLS; ++i) {
        const tds_row& a = g_rows[0][k];
        const tds_row& b = g_rows[1][k];
        FUZZ_CHECK(a.is_null[i] == b.is_null[i]);
        if (a.is_null[i] != 7) FUZZ_CHECK(std::strcmp(a.cells[i], b.cells[i]) == 0);
      }
    }
  }
  return 0;
}
