// The token walk on byte fixtures (whole, and fed in pieces as an answer
// arrives), the length of every token a server may send, the joining of
// several server errors, and tds_exec over a loopback socket against a
// scripted peer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "script_peer.h"
#include "tds_client/tds_client.h"
#include "tds_client/tokens.h"

namespace {

// ---- Encoding answer tokens (the simulated server's encoders) ----------------

struct colspec {
  uint8_t type;
  bytes type_info;  // after the type code
  std::string name;
};

const bytes COLLATION(sim::DEFAULT_COLLATION, sim::DEFAULT_COLLATION + 5);
constexpr uint16_t COL_FLAGS = 0x09;  // nullable, updateable unknown

colspec int4_col(const std::string& name) { return {0x38, {}, name}; }
colspec intn_col(const std::string& name) { return {sim::TYPE_INTN, {4}, name}; }
colspec nvarchar_col(const std::string& name, uint16_t max_len = 256) {
  sim::Builder ti;
  ti.u16le(max_len);
  ti.bytes(COLLATION);
  return {sim::TYPE_NVARCHAR, ti.out, name};
}

bytes colmetadata(const std::vector<colspec>& cols) {
  sim::Tokens t;
  t.colmetadata_begin(static_cast<uint16_t>(cols.size()));
  for (const colspec& c : cols) t.column(COL_FLAGS, c.type, c.type_info, c.name);
  return t.b.out;
}

const bytes NO_METADATA = {0x81, 0xFF, 0xFF};

bytes row(std::initializer_list<bytes> values) {
  bytes b = {sim::TOK_ROW};
  for (const bytes& v : values) b.insert(b.end(), v.begin(), v.end());
  return b;
}

bytes nbcrow(const bytes& bitmap, std::initializer_list<bytes> values) {
  bytes b = {0xD2};
  b.insert(b.end(), bitmap.begin(), bitmap.end());
  for (const bytes& v : values) b.insert(b.end(), v.begin(), v.end());
  return b;
}

bytes v_int4(int32_t v) {
  sim::Builder b;
  b.u32le(static_cast<uint32_t>(v));
  return b.out;
}
bytes v_intn(int32_t v) { return cat({{4}, v_int4(v)}); }
bytes v_nvarchar(const std::string& s) {
  sim::Builder b;
  b.us_bytes(utf16le(s));
  return b.out;
}
const bytes V_NULL_NVARCHAR = {0xFF, 0xFF};

bytes error_tok(int32_t number, const std::string& text, uint8_t cls = 16) {
  return tds_msg_token(sim::TOK_ERROR, number, cls, text);
}
bytes info_tok(int32_t number, const std::string& text, uint8_t cls = 0) {
  return tds_msg_token(sim::TOK_INFO, number, cls, text);
}
bytes skip_tok(uint8_t token, const bytes& body) {
  sim::Tokens t;
  t.with_length(token, body);
  return t.b.out;
}
const bytes RETURNSTATUS = {0x79, 0, 0, 0, 0};
bytes done() { return tds_done_token(0x0000); }

// ---- Walking fixtures --------------------------------------------------------

using message = std::pair<int32_t, std::string>;

void collect(void* ctx, int32_t number, const char* text) {
  static_cast<std::vector<message>*>(ctx)->emplace_back(number, text);
}

// A caller of the walk with its records on the heap, reused across runs.
struct walker {
  tds_meta meta{};
  std::vector<tds_row> rows = std::vector<tds_row>(8);
  std::unique_ptr<tds_row> scratch = std::make_unique<tds_row>();
  char err[TDS_ERR_SIZE] = "";
  std::vector<message> infos;

  tds_walk make(int32_t cap, bool with_rows, bool with_cb) {
    std::strcpy(err, "");
    tds_walk w{};
    w.meta = &meta;
    w.rows = with_rows ? rows.data() : nullptr;
    w.cap = cap;
    w.scratch = scratch.get();
    w.info_cb = with_cb ? collect : nullptr;
    w.info_ctx = &infos;
    w.err = err;
    return w;
  }

  // Walks a copy of data that ends exactly at its last byte.
  int run(const bytes& data, int32_t cap = 8, bool with_rows = true, bool with_cb = true) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[data.size() + 1]);
    if (!data.empty()) std::memcpy(copy.get(), data.data(), data.size());
    tds_walk w = make(cap, with_rows, with_cb);
    return tds_walk_tokens(copy.get(), data.size(), &w);
  }

  // Feeds data as tds_exec does while it arrives: the pieces end at the
  // given offsets; what the walk takes is dropped from the front of the
  // buffer, the rest is offered again with the next piece. delivered_at
  // gets, for each message, the bytes that had arrived when it went out.
  int run_pieces(const bytes& data, const std::vector<size_t>& ends,
                 std::vector<size_t>* delivered_at = nullptr) {
    tds_walk w = make(8, true, true);
    tds_walk_begin(&w);
    bytes held;
    size_t from = 0;
    for (size_t end : ends) {
      held.insert(held.end(), data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(end));
      from = end;
      const size_t before = infos.size();
      // An exact-size copy, so a read past what has arrived shows up under ASan.
      std::unique_ptr<uint8_t[]> copy(new uint8_t[held.size() + 1]);
      if (!held.empty()) std::memcpy(copy.get(), held.data(), held.size());
      const int64_t used = tds_walk_feed(&w, copy.get(), held.size());
      if (used < 0) return -1;
      EXPECT_LE(static_cast<size_t>(used), held.size());
      held.erase(held.begin(), held.begin() + used);
      if (delivered_at != nullptr)
        for (size_t i = before; i < infos.size(); ++i) delivered_at->push_back(end);
    }
    return tds_walk_end(&w, held.size());
  }
  std::string cell(int r, int c) const { return rows[r].cells[c]; }
};

// The usual small answer: two columns, rows, done.
bytes two_cols() { return colmetadata({int4_col("id"), nvarchar_col("name")}); }

TEST(Walk, EmptyAndDoneOnly) {
  walker w;
  EXPECT_EQ(w.run({}), -1);
  EXPECT_STREQ(w.err, "response ended early");
  EXPECT_EQ(w.run(done()), 0);
  EXPECT_EQ(w.meta.ncols, 0);
  EXPECT_STREQ(w.err, "");
}

TEST(Walk, RowsAndMetadata) {
  walker w;
  bytes resp = cat({two_cols(), row({v_int4(1), v_nvarchar("alpha")}),
                    row({v_int4(-7), V_NULL_NVARCHAR}), done()});
  ASSERT_EQ(w.run(resp), 2);
  ASSERT_EQ(w.meta.ncols, 2);
  EXPECT_STREQ(w.meta.cols[0].name, "id");
  EXPECT_EQ(w.meta.cols[0].type, 0x38);
  EXPECT_EQ(w.meta.cols[0].max_len, 4u);
  EXPECT_STREQ(w.meta.cols[1].name, "name");
  EXPECT_EQ(w.meta.cols[1].max_len, 256u);
  EXPECT_EQ(w.cell(0, 0), "1");
  EXPECT_EQ(w.cell(0, 1), "alpha");
  EXPECT_EQ(w.rows[0].is_null[1], 0);
  EXPECT_EQ(w.cell(1, 0), "-7");
  EXPECT_EQ(w.rows[1].is_null[1], 1);
  EXPECT_STREQ(w.err, "");
}

// One column of each type the client reads: what TYPE_INFO stores, and the
// text of a value of that type in the row that follows.
TEST(Walk, EveryColumnType) {
  struct kind {
    colspec col;
    uint32_t max_len;
    uint8_t precision, scale;
    bytes value;
    const char* text;
  };
  bytes vc_info = {0x20, 0x00};
  vc_info.insert(vc_info.end(), COLLATION.begin(), COLLATION.end());
  const std::vector<kind> kinds = {
      {{0x24, {16}, "g"}, 16, 0, 0, cat({{16}, bytes(16, 1)}), "01010101-0101-0101-0101-010101010101"},
      {{0x26, {8}, "i"}, 8, 0, 0, {1, 9}, "9"},
      {{0x68, {1}, "b"}, 1, 0, 0, {1, 1}, "1"},
      {{0x6D, {8}, "f"}, 8, 0, 0, {8, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}, "1.5"},
      {{0x6E, {8}, "m"}, 8, 0, 0, {8, 0, 0, 0, 0, 0x10, 0x27, 0, 0}, "1.0000"},
      {{0x6F, {8}, "dt"}, 8, 0, 0, {8, 0, 0, 0, 0, 0, 0, 0, 0}, "1900-01-01 00:00:00.000"},
      {{0x28, {}, "d"}, 3, 0, 0, {3, 0, 0, 0}, "0001-01-01"},
      {{0x29, {7}, "t"}, 0, 0, 7, {5, 1, 0, 0, 0, 0}, "00:00:00.0000001"},
      {{0x2A, {3}, "d2"}, 0, 0, 3, {7, 1, 0, 0, 0, 0, 0, 0}, "0001-01-01 00:00:00.001"},
      {{0x2B, {0}, "do"}, 0, 0, 0, {8, 0, 0, 0, 1, 0, 0, 0, 0}, "0001-01-02 00:00:00 +00:00"},
      {{0x38, {}, "i4"}, 4, 0, 0, {5, 0, 0, 0}, "5"},
      {{0x6A, {17, 38, 2}, "dec"}, 17, 38, 2, {5, 1, 0x39, 0x30, 0, 0}, "123.45"},
      {{0x6C, {5, 9, 0}, "num"}, 5, 9, 0, {5, 0, 42, 0, 0, 0}, "-42"},
      {{0xA7, vc_info, "vc"}, 32, 0, 0, {2, 0, 'h', 'i'}, "hi"},
      {{0xAF, vc_info, "ch"}, 32, 0, 0, {2, 0, 'o', 'k'}, "ok"},
      {{0xE7, vc_info, "nv"}, 32, 0, 0, {2, 0, 'x', 0}, "x"},
      {{0xEF, vc_info, "nc"}, 32, 0, 0, {2, 0, 'y', 0}, "y"},
  };
  std::vector<colspec> cols;
  bytes r = {0xD1};
  for (const kind& k : kinds) {
    cols.push_back(k.col);
    r.insert(r.end(), k.value.begin(), k.value.end());
  }
  walker w;
  ASSERT_EQ(w.run(cat({colmetadata(cols), r, done()})), 1) << w.err;
  ASSERT_EQ(w.meta.ncols, static_cast<int>(kinds.size()));
  for (size_t i = 0; i < kinds.size(); ++i) {
    SCOPED_TRACE(kinds[i].col.name);
    const tds_col& c = w.meta.cols[i];
    EXPECT_EQ(c.type, kinds[i].col.type);
    EXPECT_STREQ(c.name, kinds[i].col.name.c_str());
    if (kinds[i].col.type < 0x29 || kinds[i].col.type > 0x2B) {
      EXPECT_EQ(c.max_len, kinds[i].max_len);
    }
    EXPECT_EQ(c.precision, kinds[i].precision);
    EXPECT_EQ(c.scale, kinds[i].scale);
    EXPECT_EQ(w.cell(0, static_cast<int>(i)), kinds[i].text);
  }
}

const bytes PLP_AB = {4, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 'a', 0, 2, 0, 0, 0, 'b', 0, 0, 0, 0, 0};
const bytes PLP_NULL = bytes(8, 0xFF);
// A chunked value whose chunks hold 2 bytes of the 10 it announces.
const bytes BAD_CHUNKED = {10, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 'a', 0, 0, 0, 0, 0};

// Structural faults in the answer: each ends the call with its own text. A
// token that the end of the answer cuts short is "response ended early".
TEST(Walk, Failures) {
  bytes cut_type_info = colmetadata({nvarchar_col("n")});
  cut_type_info.resize(1 + 2 + 7 + 3);  // the maximum length and part of the collation
  bytes cut_name = colmetadata({int4_col("longname")});
  cut_name.resize(cut_name.size() - 3);
  bytes no_name_count = colmetadata({int4_col("x")});
  no_name_count.resize(1 + 2 + 7);
  std::vector<colspec> cols65(65, int4_col("c"));
  const std::vector<std::pair<const char*, bytes>> cases = {
      {"too many columns", colmetadata(cols65)},
      {"unsupported column type", colmetadata({{0xF1, {0}, "x"}})},                  // xml
      {"unsupported column type", colmetadata({{0x2F, {0x10}, "c"}})},               // short char
      {"unsupported column type", colmetadata({int4_col("a"), {0x22, {}, "img"}})},  // image
      {"response ended early", bytes{0x81, 0x01, 0x00, 0, 0, 0, 0, 0}},
      {"response ended early", cut_type_info},
      {"response ended early", cut_name},
      {"response ended early", no_name_count},
      {"row before metadata", cat({row({v_int4(1)}), done()})},
      {"row before metadata", cat({nbcrow({0}, {v_int4(1)}), done()})},
      {"row before metadata", cat({NO_METADATA, row({v_int4(1)}), done()})},
      {"response ended early", cat({two_cols(), row({v_int4(1), bytes{10, 0, 'a', 0}})})},
      {"response ended early", cat({two_cols(), bytes{0xD1, 1, 0}})},
      {"response ended early", cat({two_cols(), nbcrow({0}, {v_int4(1), bytes{10, 0}})})},
      {"response ended early", cat({colmetadata(std::vector<colspec>(9, int4_col("c"))), bytes{0xD2, 0}})},
      // Whole values that read_value refuses: chunks that disagree with
      // the total they declare.
      {"row parse failed", cat({colmetadata({nvarchar_col("n", 0xFFFF)}), row({BAD_CHUNKED}), done()})},
      {"nbcrow parse failed",
       cat({colmetadata({int4_col("i"), nvarchar_col("n", 0xFFFF)}), nbcrow({0x01}, {BAD_CHUNKED}), done()})},
      {"malformed response", cat({two_cols(), bytes{0x02, 0, 0}, done()})},
      {"malformed response", cat({two_cols(), bytes{0xD3, 1, 0}, done()})},  // compute row
  };
  walker w;
  for (const auto& [text, resp] : cases) {
    SCOPED_TRACE(hex(resp));
    EXPECT_EQ(w.run(resp), -1);
    EXPECT_STREQ(w.err, text);
  }
}

TEST(Walk, SixtyFourColumnsAccepted) {
  std::vector<colspec> cols;
  bytes r = {0xD1};
  for (int i = 0; i < TDS_MAX_COLS; ++i) {
    cols.push_back(intn_col("c" + std::to_string(i)));
    bytes v = v_intn(i * 10);
    r.insert(r.end(), v.begin(), v.end());
  }
  walker w;
  ASSERT_EQ(w.run(cat({colmetadata(cols), r, done()})), 1) << w.err;
  EXPECT_EQ(w.meta.ncols, 64);
  EXPECT_STREQ(w.meta.cols[63].name, "c63");
  EXPECT_EQ(w.cell(0, 63), "630");
}

TEST(Walk, CapacityAndScratch) {
  bytes three = cat({two_cols(), row({v_int4(1), v_nvarchar("a")}), row({v_int4(2), v_nvarchar("b")}),
                     row({v_int4(3), v_nvarchar("c")}), done()});
  walker w;
  EXPECT_EQ(w.run(three, 1), 1);
  EXPECT_EQ(w.cell(0, 0), "1");
  EXPECT_EQ(w.cell(1, 0), "");  // untouched
  EXPECT_STREQ(w.scratch->cells[0], "3");

  EXPECT_EQ(w.run(three, 0, /*with_rows=*/false), 0);
  EXPECT_STREQ(w.scratch->cells[1], "c");

  // Rows that are not kept are still decoded in full: a bad one fails.
  bytes bad = cat({colmetadata({nvarchar_col("n", 0xFFFF)}), row({PLP_NULL}), row({BAD_CHUNKED}), done()});
  EXPECT_EQ(w.run(bad, 1), -1);
  EXPECT_STREQ(w.err, "row parse failed");
}

// Rows handed to a callback instead of stored: each once, in order, after
// the stored ones; a refusal stops the walk with its text.
TEST(Walk, RowCallbackTakesRowsNotStored) {
  bytes three = cat({two_cols(), row({v_int4(1), v_nvarchar("a")}), row({v_int4(2), v_nvarchar("b")}),
                     row({v_int4(3), v_nvarchar("c")}), done()});
  struct seen {
    std::vector<std::string> names;
    const char* refuse_at_c = nullptr;
  };
  auto take = [](void* ctx, const tds_meta* meta, const tds_row* r) -> const char* {
    auto* s = static_cast<seen*>(ctx);
    EXPECT_EQ(meta->ncols, 2);
    s->names.push_back(std::string(r->cells[0]) + r->cells[1]);
    return s->names.back() == "3c" ? s->refuse_at_c : nullptr;
  };
  walker w;
  seen s;
  tds_walk k = w.make(1, true, false);
  k.row_cb = take;
  k.row_ctx = &s;
  EXPECT_EQ(tds_walk_tokens(three.data(), three.size(), &k), 3);
  EXPECT_EQ(w.cell(0, 0), "1");
  EXPECT_EQ(s.names, (std::vector<std::string>{"2b", "3c"}));

  s = seen{{}, "too many rows"};
  k = w.make(0, false, false);
  k.row_cb = take;
  k.row_ctx = &s;
  EXPECT_EQ(tds_walk_tokens(three.data(), three.size(), &k), -1);
  EXPECT_STREQ(w.err, "too many rows");
}

TEST(Walk, TwoResultSets) {
  bytes resp = cat({two_cols(), row({v_int4(1), v_nvarchar("a")}), row({v_int4(2), v_nvarchar("b")}),
                    tds_done_token(0x0011, 2), colmetadata({intn_col("n")}), row({v_intn(10)}), row({v_intn(20)}),
                    row({v_intn(30)}), done()});
  walker w;
  ASSERT_EQ(w.run(resp), 5);
  EXPECT_EQ(w.meta.ncols, 1);
  EXPECT_STREQ(w.meta.cols[0].name, "n");
  EXPECT_EQ(w.cell(1, 1), "b");
  EXPECT_EQ(w.cell(2, 0), "10");
  EXPECT_EQ(w.cell(4, 0), "30");
}

TEST(Walk, NbcrowBitmap) {
  // Ten columns: a bitmap of two bytes, NULLs in both of them.
  std::vector<colspec> cols;
  for (int i = 0; i < 10; ++i) cols.push_back(intn_col("c" + std::to_string(i)));
  // Columns 0, 3, 7 and 9 are NULL.
  bytes r = nbcrow({0x89, 0x02}, {v_intn(1), v_intn(2), v_intn(4), v_intn(5), v_intn(6), v_intn(8)});
  walker w;
  ASSERT_EQ(w.run(cat({colmetadata(cols), r, done()})), 1) << w.err;
  const char* want[10] = {"", "1", "2", "", "4", "5", "6", "", "8", ""};
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(w.cell(0, i), want[i]);
    EXPECT_EQ(w.rows[0].is_null[i], want[i][0] == 0 ? 1 : 0);
  }
}

// What gets past or ends the walk, and how the outcome is decided.
TEST(Walk, TokensBetweenRows) {
  const bytes r1 = row({v_int4(1), v_nvarchar("a")});
  const bytes r2 = row({v_int4(2), v_nvarchar("b")});
  struct flow {
    const char* name;
    bytes resp;
    int result;
    const char* err;
  };
  const std::vector<flow> flows = {
      {"error between rows", cat({two_cols(), r1, error_tok(208, "Invalid object name 'x'."), r2, done()}),
       -1, "Invalid object name 'x'."},
      {"order and envchange skipped",
       cat({two_cols(), skip_tok(0xA9, {1, 0}), tds_envchange_token("db"), r1, r2, done()}), 2, ""},
      {"returnstatus and done kinds",
       cat({two_cols(), r1, RETURNSTATUS, tds_done_token(0x11, 1, 0xFF), r2,
            tds_done_token(0, 0, 0xFE)}),
       2, ""},
      {"final done with the error bit fails", cat({two_cols(), r1, tds_done_token(0x0002)}), -1, "sql error"},
      {"error bit after an error keeps its text",
       cat({two_cols(), r1, error_tok(1, "boom"), tds_done_token(0x0002)}), -1, "boom"},
      {"error bit with more to come is not final", cat({two_cols(), r1, tds_done_token(0x0003), done()}),
       1, ""},
      {"answer without a final done", cat({two_cols(), r1, tds_done_token(0x0001)}), -1,
       "response ended early"},
      {"answer of rows only", cat({two_cols(), r1}), -1, "response ended early"},
      {"what follows the final done is not read", cat({two_cols(), r1, done(), bytes{0x02, 0xAA}}), 1, ""},
      {"unknown token", cat({two_cols(), r1, bytes{0x02}, error_tok(1, "x"), done()}), -1,
       "malformed response"},
      {"envchange byte last", cat({two_cols(), r1, r2, bytes{0xE3}}), -1, "response ended early"},
      {"done cut short", cat({two_cols(), r1, bytes{0xFD, 0, 0}}), -1, "response ended early"},
      {"error with length 8 skipped", cat({two_cols(), r1, skip_tok(0xAA, bytes(8, 0x20)), done()}), 1, ""},
      {"error text past its length",
       cat({two_cols(), r1, skip_tok(0xAA, {1, 0, 0, 0, 1, 16, 50, 0, 'a', 0}), done()}), -1, "sql error"},
      {"error with empty text", cat({two_cols(), error_tok(50000, ""), r1, done()}), -1, "sql error"},
      {"error declared one byte past the end",
       [] {
         bytes e = error_tok(50000, "Backup failed.");
         e[1] += 1;
         return e;
       }(),
       -1, "response ended early"},
      {"class 10 error informs", cat({two_cols(), r1, error_tok(5701, "changed", 10), done()}), 1, ""},
      {"class 11 error fails", cat({two_cols(), r1, error_tok(1, "boom", 11), done()}), -1, "boom"},
  };
  walker w;
  for (const flow& f : flows) {
    SCOPED_TRACE(f.name);
    EXPECT_EQ(w.run(f.resp), f.result);
    EXPECT_STREQ(w.err, f.err);
    if (f.result >= 1) {
      EXPECT_EQ(w.cell(0, 1), "a");
    }
  }
}

// ---- The length of every token ------------------------------------------------------

// A RETURNVALUE for parameter "p" of the given type.
bytes retval(uint8_t type, const bytes& type_info, const bytes& value) {
  return cat({bytes{0xAC, 1, 0, 1, 'p', 0, 1, 0, 0, 0, 0, 0, 0, type}, type_info, value});
}

bytes with_collation(std::initializer_list<uint8_t> head) { return cat({bytes(head), COLLATION}); }


// Legitimate tokens a statement walk does not act on, each sized exactly:
// the walk skips every one of them, and every proper prefix is incomplete.
TEST(TokenSize, EveryServerTokenIsSizedAndSkipped) {
  // A COLMETADATA with a TEXT column (its table name has two parts): the
  // walk would refuse the type, but the length rule still sizes it.
  bytes text_meta = {0x81, 1, 0, 0, 0, 0, 0, 0, 0, 0x23, 0x10, 0, 0, 0};
  text_meta = cat({text_meta, COLLATION, bytes{2, 1, 0, 'd', 0, 2, 0, 'o', 0, 't', 0, 1, 'c', 0}});
  const std::vector<std::pair<const char*, bytes>> tokens = {
      {"tabname", skip_tok(0xA4, {1, 2, 3})},
      {"colinfo", skip_tok(0xA5, {1, 2, 3})},
      {"order", skip_tok(0xA9, {1, 0})},
      {"envchange", tds_envchange_token("db")},
      {"loginack", tds_loginack_token()},
      {"sspi", skip_tok(0xED, {9, 9})},
      {"sessionstate", {0xE4, 3, 0, 0, 0, 1, 2, 3}},
      {"fedauthinfo", {0xEE, 2, 0, 0, 0, 5, 5}},
      {"featureextack", {0xAE, 0x0A, 1, 0, 0, 0, 1, 0x04, 0, 0, 0, 0, 0xFF}},
      {"returnstatus", RETURNSTATUS},
      {"doneinproc", tds_done_token(0x11, 3, 0xFF)},
      {"returnvalue int4", retval(0x38, {}, {1, 2, 3, 4})},
      {"returnvalue money", retval(0x3C, {}, bytes(8, 7))},
      {"returnvalue intn", retval(0x26, {4}, {4, 1, 2, 3, 4})},
      {"returnvalue intn null", retval(0x26, {4}, {0})},
      {"returnvalue decimaln", retval(0x6A, {5, 10, 2}, {5, 1, 1, 0, 0, 0})},
      {"returnvalue daten", retval(0x28, {}, {3, 1, 2, 3})},
      {"returnvalue timen", retval(0x29, {7}, {5, 1, 2, 3, 4, 5})},
      {"returnvalue old varchar", retval(0x27, {10}, {2, 'h', 'i'})},
      {"returnvalue nvarchar", retval(0xE7, with_collation({8, 0}), {2, 0, 'x', 0})},
      {"returnvalue nvarchar null", retval(0xE7, with_collation({8, 0}), {0xFF, 0xFF})},
      {"returnvalue nvarchar(max)", retval(0xE7, with_collation({0xFF, 0xFF}), PLP_AB)},
      {"returnvalue varbinary(max) null", retval(0xA5, {0xFF, 0xFF}, PLP_NULL)},
      {"returnvalue binary", retval(0xAD, {4, 0}, {2, 0, 1, 2})},
      {"returnvalue text", retval(0x23, with_collation({0x10, 0, 0, 0}),
                                  cat({bytes{16}, bytes(16, 1), bytes(8, 2), bytes{3, 0, 0, 0, 'a', 'b', 'c'}}))},
      {"returnvalue image null", retval(0x22, {0x10, 0, 0, 0}, {0})},
      {"returnvalue sql_variant", retval(0x62, {0x10, 0, 0, 0}, {3, 0, 0, 0, 0x30, 0, 9})},
      {"returnvalue xml", retval(0xF1, {0}, PLP_AB)},
      {"returnvalue xml with schema", retval(0xF1, {1, 1, 'd', 0, 1, 'o', 0, 1, 0, 'c', 0}, PLP_NULL)},
      {"returnvalue udt", retval(0xF0, {8, 0, 1, 'd', 0, 1, 's', 0, 1, 't', 0, 1, 0, 'a', 0}, PLP_AB)},
      {"colmetadata of a text column", text_meta},
  };
  const bytes r1 = row({v_int4(1), v_nvarchar("a")});
  const bytes r2 = row({v_int4(2), v_nvarchar("b")});
  walker w;
  for (const auto& [name, tok] : tokens) {
    SCOPED_TRACE(name);
    const bytes junk = cat({tok, bytes{0x02, 0x02, 0x02}});
    uint64_t size = 0;
    ASSERT_EQ(tds_token_size(junk.data(), junk.size(), nullptr, &size), TDS_TOK_OK);
    EXPECT_EQ(size, tok.size());
    for (size_t k = 0; k < tok.size(); ++k)
      ASSERT_EQ(tds_token_size(tok.data(), k, nullptr, &size), TDS_TOK_SHORT) << k;
    if (tok[0] == 0x81) continue;  // would replace the walk's columns
    EXPECT_EQ(w.run(cat({two_cols(), r1, tok, r2, done()})), 2) << w.err;
    EXPECT_EQ(w.cell(1, 1), "b");
  }
  // Nothing tells how long these are.
  for (const bytes& bad : {bytes{0x02, 0, 0, 0}, bytes{0x88, 1, 0}, bytes{0xD3, 1, 0}, bytes{0x81 + 0x10},
                           retval(0x99, {}, {1}), bytes{0xD1, 1}}) {
    uint64_t size = 0;
    EXPECT_EQ(tds_token_size(bad.data(), bad.size(), nullptr, &size), TDS_TOK_BAD) << hex(bad);
  }
}

TEST(Walk, InformationalMessages) {
  bytes resp = cat({info_tok(5701, "Changed database context to 'master'."), error_tok(3014, "low", 10),
                    info_tok(3211, "", 0), info_tok(4035, "Processed 10 pages.", 14), done()});
  walker w;
  EXPECT_EQ(w.run(resp), 0);
  EXPECT_EQ(w.infos, (std::vector<message>{{5701, "Changed database context to 'master'."},
                                           {3014, "low"},
                                           {4035, "Processed 10 pages."}}));
  w.infos.clear();
  EXPECT_EQ(w.run(resp, 8, true, /*with_cb=*/false), 0);
  EXPECT_TRUE(w.infos.empty());
}

// ---- Several server errors -------------------------------------------------------

TEST(ErrorJoin, AllErrorsInOrder) {
  walker w;
  const std::string cause = "Cannot open backup device 'C:\\x.bak'. Operating system error 5(Access is denied.).";
  const std::string end = "BACKUP DATABASE is terminating abnormally.";
  EXPECT_EQ(w.run(cat({error_tok(3201, cause), error_tok(3013, end), done()})), -1);
  EXPECT_EQ(std::string(w.err), cause + "\n" + end);

  EXPECT_EQ(w.run(cat({error_tok(1, cause), done()})), -1);
  EXPECT_EQ(std::string(w.err), cause);

  // Informational messages between them are not part of it; an empty text
  // counts as "sql error".
  EXPECT_EQ(w.run(cat({error_tok(1, ""), info_tok(2, "note"), error_tok(3, "second"), done()})), -1);
  EXPECT_STREQ(w.err, "sql error\nsecond");
}

TEST(ErrorJoin, CutAtAWholeCharacterKeepingTheFirst) {
  auto repeat = [](const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) r += s;
    return r;
  };
  struct cut_case {
    std::string first, second, third, want;
  };
  const std::vector<cut_case> cases = {
      // 301 + 1 + 209 bytes of room: 104 two-byte characters, not half of one.
      {std::string(301, 'a'), repeat("é", 200), "x", std::string(301, 'a') + "\n" + repeat("é", 104)},
      // The first error whole at 511 bytes: nothing else, no dangling line feed.
      {std::string(511, 'a'), "second", "third", std::string(511, 'a')},
      {std::string(510, 'a'), "second", "third", std::string(510, 'a')},
      // Room for one byte after the line feed: an ASCII letter fits, "é" does not,
      // and a later short text does not jump into the gap.
      {std::string(509, 'a'), "second", "", std::string(509, 'a') + "\ns"},
      {std::string(509, 'a'), "é", "z", std::string(509, 'a')},
      {std::string(400, 'a'), std::string(200, 'b'), "z", std::string(400, 'a') + "\n" + std::string(110, 'b')},
      {"one", "two", "three", "one\ntwo\nthree"},
  };
  walker w;
  for (const cut_case& c : cases) {
    bytes resp = cat({error_tok(1, c.first), error_tok(2, c.second)});
    if (!c.third.empty()) resp = cat({resp, error_tok(3, c.third)});
    EXPECT_EQ(w.run(resp), -1);
    EXPECT_EQ(std::string(w.err), c.want) << c.first.size() << " + " << c.second.size();
    EXPECT_LE(std::strlen(w.err), static_cast<size_t>(TDS_ERR_SIZE - 1));
  }
}

// ---- Cut answers -----------------------------------------------------------------

// A full answer cut at every offset: never a crash, never more rows or
// messages than the whole holds, and only the texts a cut can cause.
TEST(Walk, EveryCutOfAnAnswer) {
  std::vector<colspec> cols = {int4_col("id"), nvarchar_col("name"), intn_col("n"),
                               {0x6A, {17, 38, 4}, "d"}};
  bytes resp = cat({tds_envchange_token("db"), info_tok(1, "first"), colmetadata(cols),
                    row({v_int4(1), v_nvarchar("one"), v_intn(5), bytes{5, 1, 0x39, 0x30, 0, 0}}),
                    nbcrow({0x02}, {v_int4(2), v_intn(6), bytes{1, 1}}), info_tok(2, "second"),
                    error_tok(3, "oops", 16),
                    row({v_int4(3), v_nvarchar("three"), bytes{0}, bytes{0}}), done()});
  walker whole;
  ASSERT_EQ(whole.run(resp), -1);
  ASSERT_STREQ(whole.err, "oops");
  ASSERT_EQ(whole.infos.size(), 2u);

  const std::vector<std::string> allowed = {"response ended early", "oops"};
  walker w;
  for (size_t n = 0; n <= resp.size(); ++n) {
    w.infos.clear();
    bytes cut(resp.begin(), resp.begin() + static_cast<long>(n));
    int r = w.run(cut);
    SCOPED_TRACE(n);
    EXPECT_GE(r, -1);
    EXPECT_EQ(r, -1);
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), std::string(w.err)), allowed.end()) << w.err;
    EXPECT_EQ(r == -1, w.err[0] != 0);
    ASSERT_LE(w.infos.size(), whole.infos.size());
    for (size_t i = 0; i < w.infos.size(); ++i) EXPECT_EQ(w.infos[i], whole.infos[i]);
  }
}

// The same answer with a few bytes changed at random: the walk and the scan
// stay inside the data (the sanitizer build checks) and report sanely.
TEST(Walk, CorruptedAnswers) {
  std::vector<colspec> cols = {int4_col("id"), nvarchar_col("name"), nvarchar_col("big", 0xFFFF),
                               {0x6C, {17, 38, 30}, "d"}};
  bytes big = cat({bytes{6, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0}, utf16le("ab"), bytes{2, 0, 0, 0},
                   utf16le("c"), bytes{0, 0, 0, 0}});
  bytes resp = cat({info_tok(1, "first"), colmetadata(cols),
                    row({v_int4(1), v_nvarchar("one"), big, bytes{17, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
                                                                  12, 13, 14, 15, 16}}),
                    nbcrow({0x06}, {v_int4(2), bytes{1, 0}}), error_tok(3, "oops"), done()});
  walker whole;
  ASSERT_EQ(whole.run(resp), -1) << whole.err;
  EXPECT_EQ(whole.cell(0, 2), "abc");
  EXPECT_EQ(whole.cell(0, 3), "21345817.372864405881847059188222722561");
  EXPECT_EQ(whole.cell(1, 0), "2");
  EXPECT_EQ(whole.rows[1].is_null[2], 1);
  std::mt19937 rng(99);
  walker w;
  for (int iter = 0; iter < 5000; ++iter) {
    bytes m = resp;
    for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k) m[rng() % m.size()] = static_cast<uint8_t>(rng());
    w.infos.clear();
    int r = w.run(m);
    ASSERT_GE(r, -1);
    ASSERT_LE(r, 8);
    ASSERT_LT(std::strlen(w.err), static_cast<size_t>(TDS_ERR_SIZE));
  }
}

// ---- Messages while the answer arrives ---------------------------------------------

const std::vector<bytes>& arriving_answers() {
  static const std::vector<bytes> answers = {
      cat({tds_envchange_token("db"), info_tok(3211, "10 percent processed."), tds_done_token(0x01),
           error_tok(3014, "informs", 10), info_tok(1, ""), RETURNSTATUS, tds_done_token(0x01, 0, 0xFF),
           error_tok(3201, "Cannot open backup device."), info_tok(4035, "Processed 8 pages."),
           error_tok(3013, "BACKUP DATABASE is terminating abnormally."), tds_done_token(0x02)}),
      cat({info_tok(1, "before"), two_cols(), row({v_int4(1), v_nvarchar("a")}),
           nbcrow({0x02}, {v_int4(2)}), info_tok(2, "after"), done()}),
      cat({info_tok(1, "only"), skip_tok(0xA5, {1}), info_tok(2, "then"), done()}),
      cat({info_tok(1, "before"), bytes{0x02}, info_tok(2, "never")}),
  };
  return answers;
}

// The answer arriving one byte at a time, and in two pieces split at every
// offset: rows, result, text and messages are those of one whole walk, and
// each message goes out as soon as its token is complete.
TEST(WalkFeed, PiecesGiveTheWholeWalk) {
  for (const bytes& resp : arriving_answers()) {
    SCOPED_TRACE(hex(resp));
    walker whole;
    const int want = whole.run(resp);

    std::vector<size_t> bytewise;
    for (size_t n = 1; n <= resp.size(); ++n) bytewise.push_back(n);
    walker w;
    std::vector<size_t> delivered_at;
    EXPECT_EQ(w.run_pieces(resp, bytewise, &delivered_at), want);
    EXPECT_STREQ(w.err, whole.err);
    EXPECT_EQ(w.infos, whole.infos);
    if (want > 0) {
      EXPECT_EQ(w.cell(0, 1), "a");
    }
    for (size_t i = 0; i < delivered_at.size(); ++i) {
      bytes token = info_tok(whole.infos[i].first, whole.infos[i].second);
      auto at = std::search(resp.begin(), resp.end(), token.begin(), token.end());
      if (at == resp.end()) {
        token = error_tok(whole.infos[i].first, whole.infos[i].second, 10);
        at = std::search(resp.begin(), resp.end(), token.begin(), token.end());
      }
      ASSERT_NE(at, resp.end());
      EXPECT_EQ(delivered_at[i], static_cast<size_t>(at - resp.begin()) + token.size());
    }

    for (size_t cut = 0; cut <= resp.size(); ++cut) {
      walker two;
      EXPECT_EQ(two.run_pieces(resp, {cut, resp.size()}), want) << cut;
      EXPECT_STREQ(two.err, whole.err);
      EXPECT_EQ(two.infos, whole.infos);
    }
  }
}

// A walk that failed takes nothing more; one that ended takes the rest.
TEST(WalkFeed, AfterTheEnd) {
  walker w;
  tds_walk t = w.make(8, true, true);
  tds_walk_begin(&t);
  const bytes bad = {0x02, 0, 0};
  EXPECT_EQ(tds_walk_feed(&t, bad.data(), bad.size()), -1);
  const bytes d = done();
  EXPECT_EQ(tds_walk_feed(&t, d.data(), d.size()), -1);
  EXPECT_EQ(tds_walk_end(&t, 0), -1);
  EXPECT_STREQ(w.err, "malformed response");

  tds_walk_begin(&t);
  const bytes answer = cat({done(), info_tok(1, "late")});
  EXPECT_EQ(tds_walk_feed(&t, answer.data(), answer.size()), static_cast<int64_t>(answer.size()));
  EXPECT_EQ(tds_walk_end(&t, 0), 0);
  EXPECT_TRUE(w.infos.empty());
}

// ---- tds_exec over a socket ------------------------------------------------------------

bytes reply(const bytes& payload, size_t max_payload = 4088) {
  return tds_message(sim::PKT_REPLY, payload, max_payload);
}

struct exec_fixture : ::testing::Test {
  ScriptPeer peer;
  tds_conn c{};
  tds_meta meta{};
  std::vector<tds_row> rows = std::vector<tds_row>(4);
  std::vector<message> infos;

  void SetUp() override { c.sock = PLAT_INVALID_SOCKET; }
  void connect() {
    peer.start();
    ASSERT_TRUE(connect_raw(&c, peer.port()));
  }
  void TearDown() override {
    tds_close(&c);
    peer.wait_done(2000);
  }
};

TEST_F(exec_fixture, SendsTheBatchAndReadsRows) {
  const bytes answer = cat({two_cols(), row({v_int4(7), v_nvarchar("seven")}), done()});
  peer.read_message().send(reply(answer)).read_message().send(reply(done())).read_message().send(
      reply(done()));
  connect();
  EXPECT_EQ(tds_exec(&c, "SELECT 1", &meta, rows.data(), 4), 1);
  EXPECT_STREQ(c.err, "");
  EXPECT_STREQ(rows[0].cells[1], "seven");
  EXPECT_EQ(tds_exec(&c, "", nullptr, nullptr, 0), 0);
  EXPECT_EQ(tds_exec(&c, "SELECT N'é€'", nullptr, nullptr, 0), 0);
  ASSERT_TRUE(peer.wait_done());
  const std::vector<bytes> sent = peer.reads();
  ASSERT_EQ(sent.size(), 3u);
  const std::vector<bytes> want = {
      tds_packet(0x01, 0x01, tds_batch_payload("SELECT 1")),
      tds_packet(0x01, 0x01, tds_batch_payload("")),  // only the 22 header bytes
      tds_packet(0x01, 0x01, tds_batch_payload("SELECT N'é€'")),
  };
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(sent[i], want[i]) << hex(sent[i]) << "\n" << hex(want[i]);
  EXPECT_EQ(sent[1].size(), 8u + TDS_ALL_HEADERS_LEN);
}

TEST_F(exec_fixture, LongBatchAndAnswerInManyPackets) {
  std::string sql = "SELECT '" + std::string(5000, 'x') + "'";
  bytes answer = two_cols();
  for (int i = 0; i < 40; ++i) answer = cat({answer, row({v_int4(i), v_nvarchar("r" + std::to_string(i))})});
  answer = cat({answer, info_tok(1, "tail"), error_tok(2, "first"), error_tok(3, "second"), done()});
  peer.read_message().send(reply(answer, 64), 100, 1);
  connect();
  c.info_cb = collect;
  c.info_ctx = &infos;
  EXPECT_EQ(tds_exec(&c, sql.c_str(), &meta, rows.data(), 4), -1);
  EXPECT_STREQ(c.err, "first\nsecond");
  EXPECT_STREQ(rows[3].cells[1], "r3");
  EXPECT_EQ(infos, (std::vector<message>{{1, "tail"}}));
  ASSERT_TRUE(peer.wait_done());
  EXPECT_EQ(peer.reads()[0], tds_message(0x01, tds_batch_payload(sql)));
}

// Progress messages reach the callback while the statement still runs.
TEST_F(exec_fixture, MessagesArriveBeforeTheAnswerEnds) {
  const bytes part1 = cat({info_tok(3211, "10 percent processed."), tds_done_token(0x10, 0, 0xFF)});
  const bytes part2 = info_tok(3211, "20 percent processed.");
  const bytes part3 = cat({info_tok(4035, "Processed 100 pages."), done()});
  peer.read_message()
      .send(tds_packet(0x04, 0x00, part1))
      .pause(400)
      .send(tds_packet(0x04, 0x00, part2))
      .pause(400)
      .send(tds_packet(0x04, 0x01, part3));
  connect();
  struct timed {
    std::vector<message> got;
    std::vector<int64_t> at;
  } t;
  c.info_cb = [](void* ctx, int32_t n, const char* text) {
    auto* tt = static_cast<timed*>(ctx);
    tt->got.emplace_back(n, text);
    tt->at.push_back(plat_mono_ms());
  };
  c.info_ctx = &t;
  EXPECT_EQ(tds_exec(&c, "BACKUP DATABASE [x] TO DISK = N'y'", nullptr, nullptr, 0), 0);
  const int64_t end = plat_mono_ms();
  ASSERT_EQ(t.got, (std::vector<message>{{3211, "10 percent processed."},
                                         {3211, "20 percent processed."},
                                         {4035, "Processed 100 pages."}}));
  EXPECT_GE(end - t.at[0], 600);
  EXPECT_GE(end - t.at[1], 200);
}

TEST_F(exec_fixture, CancelSendsAttention) {
  std::atomic<int32_t> cancel{0};
  peer.read_message().read(8).send(reply(tds_done_token(0x0020)));
  connect();
  c.cancel_flag = &cancel;
  std::thread raiser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    cancel = 1;
  });
  const int64_t start = plat_mono_ms();
  EXPECT_EQ(tds_exec(&c, "BACKUP DATABASE [x] TO DISK = N'y'", nullptr, nullptr, 0), -1);
  const int64_t took = plat_mono_ms() - start;
  raiser.join();
  EXPECT_STREQ(c.err, "cancelled");
  EXPECT_LT(took, 1000);
  ASSERT_TRUE(peer.wait_done());
  ASSERT_EQ(peer.reads().size(), 2u);
  EXPECT_EQ(peer.reads()[1], (bytes{0x06, 0x01, 0x00, 0x08, 0, 0, 0, 0}));
}

TEST_F(exec_fixture, QueryTimeOut) {
  peer.read_message().send(reply(done())).read_message().pause(800);
  connect();
  c.query_timeout_ms = 2000;
  EXPECT_EQ(tds_exec(&c, "SELECT 1", nullptr, nullptr, 0), 0);
  EXPECT_EQ(c.deadline_ms, 0);
  EXPECT_EQ(c.deadline_text, nullptr);

  c.query_timeout_ms = 200;
  const int64_t start = plat_mono_ms();
  EXPECT_EQ(tds_exec(&c, "SELECT 1", nullptr, nullptr, 0), -1);
  const int64_t took = plat_mono_ms() - start;
  EXPECT_STREQ(c.err, "query timed out");
  EXPECT_GE(took, 190);
  EXPECT_LT(took, 1500);
  EXPECT_EQ(c.deadline_ms, 0);
  EXPECT_EQ(c.deadline_text, nullptr);
}

TEST_F(exec_fixture, PeerClosesMidAnswer) {
  bytes answer = reply(cat({two_cols(), row({v_int4(1), v_nvarchar("a")}), done()}));
  answer.resize(answer.size() - 5);
  peer.read_message().send(answer).close();
  connect();
  EXPECT_EQ(tds_exec(&c, "SELECT 1", &meta, rows.data(), 4), -1);
  EXPECT_STREQ(c.err, "socket read failed");
}

}  // namespace
