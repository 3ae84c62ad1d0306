// The token walk on byte fixtures, the scan that hands on messages while an
// answer arrives, the joining of several server errors, and tds_exec over a
// loopback socket against a scripted peer.
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

namespace {

// ---- Encoding answer tokens --------------------------------------------------

void put16(bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(bytes& b, uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}

struct colspec {
  uint8_t type;
  bytes type_info;  // after the type code
  std::string name;
};

const bytes COLLATION = {0x09, 0x04, 0xD0, 0x00, 0x34};

colspec int4_col(const std::string& name) { return {0x38, {}, name}; }
colspec intn_col(const std::string& name) { return {0x26, {4}, name}; }
colspec nvarchar_col(const std::string& name, uint16_t max_len = 256) {
  bytes ti;
  put16(ti, max_len);
  ti.insert(ti.end(), COLLATION.begin(), COLLATION.end());
  return {0xE7, ti, name};
}

bytes colmetadata(const std::vector<colspec>& cols) {
  bytes b = {0x81};
  put16(b, static_cast<uint32_t>(cols.size()));
  for (const colspec& c : cols) {
    put32(b, 0);     // user type
    put16(b, 0x09);  // flags
    b.push_back(c.type);
    b.insert(b.end(), c.type_info.begin(), c.type_info.end());
    bytes n = utf16le(c.name);
    b.push_back(static_cast<uint8_t>(n.size() / 2));
    b.insert(b.end(), n.begin(), n.end());
  }
  return b;
}

const bytes NO_METADATA = {0x81, 0xFF, 0xFF};

bytes row(std::initializer_list<bytes> values) {
  bytes b = {0xD1};
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
  bytes b;
  put32(b, static_cast<uint32_t>(v));
  return b;
}
bytes v_intn(int32_t v) { return cat({{4}, v_int4(v)}); }
bytes v_nvarchar(const std::string& s) {
  bytes u = utf16le(s);
  bytes b;
  put16(b, static_cast<uint32_t>(u.size()));
  b.insert(b.end(), u.begin(), u.end());
  return b;
}
const bytes V_NULL_NVARCHAR = {0xFF, 0xFF};

bytes error_tok(int32_t number, const std::string& text, uint8_t cls = 16) {
  return tds_msg_token(0xAA, number, cls, text);
}
bytes info_tok(int32_t number, const std::string& text, uint8_t cls = 0) {
  return tds_msg_token(0xAB, number, cls, text);
}
bytes skip_tok(uint8_t token, const bytes& body) {
  bytes b = {token};
  put16(b, static_cast<uint32_t>(body.size()));
  b.insert(b.end(), body.begin(), body.end());
  return b;
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

  // Walks a copy of data that ends exactly at its last byte.
  int run(const bytes& data, int32_t cap = 8, bool with_rows = true, bool with_cb = true,
          uint64_t info_done = 0) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[data.size() + 1]);
    if (!data.empty()) std::memcpy(copy.get(), data.data(), data.size());
    std::strcpy(err, "");
    tds_walk w{};
    w.meta = &meta;
    w.rows = with_rows ? rows.data() : nullptr;
    w.cap = cap;
    w.scratch = scratch.get();
    w.info_cb = with_cb ? collect : nullptr;
    w.info_ctx = &infos;
    w.info_done = info_done;
    w.err = err;
    return tds_walk_tokens(copy.get(), data.size(), &w);
  }
  std::string cell(int r, int c) const { return rows[r].cells[c]; }
};

// The usual small answer: two columns, rows, done.
bytes two_cols() { return colmetadata({int4_col("id"), nvarchar_col("name")}); }

TEST(Walk, EmptyAndDoneOnly) {
  walker w;
  EXPECT_EQ(w.run({}), 0);
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
      {{0x24, {16}, "g"}, 16, 0, 0, cat({{16}, bytes(16, 1)}), "(guid)"},
      {{0x26, {8}, "i"}, 8, 0, 0, {1, 9}, "9"},
      {{0x68, {1}, "b"}, 1, 0, 0, {1, 1}, "1"},
      {{0x6D, {8}, "f"}, 8, 0, 0, {8, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}, "1.5"},
      {{0x6E, {8}, "m"}, 8, 0, 0, {8, 1, 2, 3, 4, 5, 6, 7, 8}, "(money)"},
      {{0x6F, {8}, "dt"}, 8, 0, 0, {8, 1, 2, 3, 4, 5, 6, 7, 8}, "(datetime)"},
      {{0x28, {}, "d"}, 3, 0, 0, {3, 1, 2, 3}, "(datetime)"},
      {{0x29, {7}, "t"}, 0, 0, 7, {5, 1, 2, 3, 4, 5}, "(datetime)"},
      {{0x2A, {3}, "d2"}, 0, 0, 3, {7, 1, 2, 3, 4, 5, 6, 7}, "(datetime)"},
      {{0x2B, {0}, "do"}, 0, 0, 0, {8, 1, 2, 3, 4, 5, 6, 7, 8}, "(datetime)"},
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

// Structural faults in the answer: each ends the call with its own text.
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
      {"unsupported column type", colmetadata({{0x62, {0x10, 0, 0, 0}, "v"}})},      // sql_variant
      {"unsupported column type", colmetadata({{0x7F, {}, "big"}})},                 // fixed bigint
      {"unsupported column type", colmetadata({int4_col("a"), {0x22, {}, "img"}})},  // image
      {"bad colmeta", bytes{0x81, 0x01, 0x00, 0, 0, 0, 0, 0}},
      {"bad colmeta", cut_type_info},
      {"bad colmeta", cut_name},
      {"bad colmeta", no_name_count},
      {"row before metadata", cat({row({v_int4(1)}), done()})},
      {"row before metadata", cat({nbcrow({0}, {v_int4(1)}), done()})},
      {"row before metadata", cat({NO_METADATA, row({v_int4(1)}), done()})},
      {"row parse failed", cat({two_cols(), row({v_int4(1), bytes{10, 0, 'a', 0}})})},
      {"row parse failed", cat({two_cols(), bytes{0xD1, 1, 0}})},
      {"nbcrow parse failed", cat({two_cols(), nbcrow({0}, {v_int4(1), bytes{10, 0}})})},
      {"bad nbcrow", cat({colmetadata(std::vector<colspec>(9, int4_col("c"))), bytes{0xD2, 0}})},
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
  bytes bad = cat({two_cols(), row({v_int4(1), v_nvarchar("a")}), row({v_int4(2), bytes{9, 0}})});
  EXPECT_EQ(w.run(bad, 1), -1);
  EXPECT_STREQ(w.err, "row parse failed");
}

TEST(Walk, TwoResultSets) {
  bytes resp = cat({two_cols(), row({v_int4(1), v_nvarchar("a")}), row({v_int4(2), v_nvarchar("b")}),
                    done(), colmetadata({intn_col("n")}), row({v_intn(10)}), row({v_intn(20)}),
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
       cat({two_cols(), r1, RETURNSTATUS, tds_done_token(0x10, 1, 0xFF), r2,
            tds_done_token(0, 0, 0xFE), done()}),
       2, ""},
      {"done reporting an error is not a failure", cat({two_cols(), r1, tds_done_token(0x0002)}), 1, ""},
      {"colinfo ends the walk", cat({two_cols(), r1, skip_tok(0xA5, {1, 2, 3}), r2}), 1, ""},
      {"tabname ends the walk", cat({two_cols(), r1, skip_tok(0xA4, {1, 2, 3}), r2}), 1, ""},
      {"returnvalue ends the walk", cat({two_cols(), r1, bytes{0xAC, 1, 0}, error_tok(1, "x")}), 1, ""},
      {"envchange byte last", cat({two_cols(), r1, r2, bytes{0xE3}}), 2, ""},
      {"done cut short", cat({two_cols(), r1, bytes{0xFD, 0, 0}}), 1, ""},
      {"error with length 8 skipped", cat({two_cols(), r1, skip_tok(0xAA, bytes(8, 0x20))}), 1, ""},
      {"error text past its length",
       cat({two_cols(), r1, skip_tok(0xAA, {1, 0, 0, 0, 1, 16, 50, 0, 'a', 0})}), -1, "sql error"},
      {"error with empty text", cat({two_cols(), error_tok(50000, ""), r1}), -1, "sql error"},
      {"error cut by the end", cat({two_cols(), r1, bytes{0xAA, 40, 0, 1, 0}}), 1, ""},
      {"class 10 error informs", cat({two_cols(), r1, error_tok(5701, "changed", 10)}), 1, ""},
      {"class 11 error fails", cat({two_cols(), r1, error_tok(1, "boom", 11)}), -1, "boom"},
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

  const std::vector<std::string> allowed = {"", "bad colmeta", "row parse failed", "nbcrow parse failed",
                                            "bad nbcrow", "oops"};
  walker w;
  for (size_t n = 0; n <= resp.size(); ++n) {
    w.infos.clear();
    bytes cut(resp.begin(), resp.begin() + static_cast<long>(n));
    int r = w.run(cut);
    SCOPED_TRACE(n);
    EXPECT_GE(r, -1);
    EXPECT_LE(r, 3);
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
    std::vector<message> got;
    ASSERT_LE(tds_scan_info(m.data(), m.size(), 0, collect, &got), m.size());
  }
}

// ---- Messages while the answer arrives ---------------------------------------------

// Feeds the answer in prefixes of every length, scanning after each as
// tds_exec does after each packet, then walks the whole with what the scans
// delivered: the messages, result and text are those of one plain walk.
TEST(ScanInfo, GrowingPrefixesDeliverEachMessageOnce) {
  const std::vector<bytes> answers = {
      cat({tds_envchange_token("db"), info_tok(3211, "10 percent processed."), done(),
           error_tok(3014, "informs", 10), info_tok(1, ""), RETURNSTATUS, tds_done_token(0, 0, 0xFF),
           error_tok(3201, "Cannot open backup device."), info_tok(4035, "Processed 8 pages."),
           error_tok(3013, "BACKUP DATABASE is terminating abnormally."), done()}),
      // Rows stop the scan; the messages behind them come from the final walk.
      cat({info_tok(1, "before"), two_cols(), row({v_int4(1), v_nvarchar("a")}), info_tok(2, "after"),
           done()}),
      cat({info_tok(1, "only"), skip_tok(0xA5, {1}), info_tok(2, "never")}),
  };
  for (const bytes& resp : answers) {
    walker whole;
    const int want = whole.run(resp);

    walker w;
    uint64_t offset = 0;
    std::vector<size_t> delivered_at;
    for (size_t n = 0; n <= resp.size(); ++n) {
      bytes prefix(resp.begin(), resp.begin() + static_cast<long>(n));
      size_t before = w.infos.size();
      offset = tds_scan_info(prefix.data(), prefix.size(), offset, collect, &w.infos);
      ASSERT_LE(offset, n);
      for (size_t i = before; i < w.infos.size(); ++i) delivered_at.push_back(n);
    }
    EXPECT_EQ(w.run(resp, 8, true, true, offset), want);
    EXPECT_STREQ(w.err, whole.err);
    EXPECT_EQ(w.infos, whole.infos);
    if (want > 0) {
      EXPECT_EQ(w.cell(0, 1), "a");
    }
    // Each message went out as soon as its token was complete.
    for (size_t i = 0; i < delivered_at.size(); ++i) {
      bytes token = info_tok(whole.infos[i].first, whole.infos[i].second);
      bytes as_error = error_tok(whole.infos[i].first, whole.infos[i].second, 10);
      auto at = std::search(resp.begin(), resp.end(), token.begin(), token.end());
      size_t len = token.size();
      if (at == resp.end()) {
        at = std::search(resp.begin(), resp.end(), as_error.begin(), as_error.end());
        len = as_error.size();
      }
      ASSERT_NE(at, resp.end());
      EXPECT_EQ(delivered_at[i], static_cast<size_t>(at - resp.begin()) + len);
    }
  }
}

TEST(ScanInfo, StopsWhereItCannotSkip) {
  const bytes meta = two_cols();
  bytes resp = cat({info_tok(1, "a"), meta});
  const uint64_t at_meta = resp.size() - meta.size();
  std::vector<message> got;
  EXPECT_EQ(tds_scan_info(resp.data(), resp.size(), 0, collect, &got), at_meta);
  EXPECT_EQ(tds_scan_info(resp.data(), resp.size(), at_meta, collect, &got), at_meta);
  EXPECT_EQ(got.size(), 1u);
  // A token whose declared length is not all there yet.
  bytes cut = cat({done(), info_tok(2, "bbbb")});
  cut.pop_back();
  EXPECT_EQ(tds_scan_info(cut.data(), cut.size(), 0, collect, &got), 13u);
  // Without a callback it still advances.
  bytes two = cat({info_tok(3, "c"), done()});
  EXPECT_EQ(tds_scan_info(two.data(), two.size(), 0, nullptr, nullptr), two.size());
}

// ---- tds_exec over a socket ------------------------------------------------------------

bytes batch_payload(const std::string& sql) {
  bytes b = {0x16, 0, 0, 0, 0x12, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0};
  bytes u = utf16le(sql);
  b.insert(b.end(), u.begin(), u.end());
  return b;
}

bytes reply(const bytes& payload, size_t max_payload = 4088) {
  return tds_message(0x04, payload, max_payload);
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
      tds_packet(0x01, 0x01, batch_payload("SELECT 1")),
      tds_packet(0x01, 0x01, batch_payload("")),  // only the 22 header bytes
      tds_packet(0x01, 0x01, batch_payload("SELECT N'é€'")),
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
  EXPECT_EQ(peer.reads()[0], tds_message(0x01, batch_payload(sql)));
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
