// Inputs the fuzz targets in fuzz/ stopped on, replayed through the same
// functions with the outcome they must have. Each case names the target
// that found it; the bytes are the saved input, less the target's own
// selector bytes where the target has them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tds_client/tds_client.h"
#include "vaultrun/answers.h"

namespace {

using bytes = std::vector<uint8_t>;

// fuzz_text: conversions to UTF-16 whose input and capacity made a check
// stop.
struct to_ucs2_case {
  const char* name;
  std::string in;
  uint64_t cap;
  bytes out;
};

const to_ucs2_case TO_UCS2[] = {
    // Found when a four-byte form beyond U+10FFFF was still written as a
    // pair. Now each 0xFF starts no character and becomes U+FFFD (one unit):
    // with 5 bytes of room, the first one fits after "\x04" and the second
    // does not.
    {"FourByteFormBeyondTheLastCodePointIsCutWhole", "\x04\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF" "bc", 5, {0x04, 0x00, 0xFD, 0xFF}},
};

TEST(FuzzRegressions, Utf8ToUcs2) {
  for (const to_ucs2_case& c : TO_UCS2) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> out(c.cap + 8, 0xEE);
    const uint64_t n = utf8_to_ucs2(c.in.c_str(), out.data(), c.cap);
    ASSERT_EQ(n, c.out.size());
    EXPECT_EQ(bytes(out.begin(), out.begin() + n), c.out);
    for (uint64_t i = c.cap; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "written past the capacity at " << i;
  }
}

// fuzz_login: login responses, with the walk's result and error text.
struct login_case {
  const char* name;
  bytes response;
  int rc;
  const char* err;
};

const login_case LOGIN[] = {
    // A LOGINACK, then an ERROR too short to hold a message (Length 0),
    // then a byte that is no token: the short ERROR is passed over, the
    // byte that names no token fails the login.
    {"ShortErrorAfterLoginAck",
     {0xAD, 0x12, 0x00, 0x01, 0x74, 0x00, 0x00, 0x04, 0x04, 0x53, 0x00, 0x51, 0x00, 0x00, 0x00, 0x7F,
      0xFE, 0x15, 0x94, 0xD9, 0x34, 0xAA, 0x00, 0x00, 0x00},
     -1, "malformed response"},
};

TEST(FuzzRegressions, LoginWalk) {
  for (const login_case& c : LOGIN) {
    SCOPED_TRACE(c.name);
    char err[TDS_ERR_SIZE];
    std::memset(err, 'X', sizeof err);
    EXPECT_EQ(tds_login_walk(c.response.data(), c.response.size(), err), c.rc);
    ASSERT_NE(std::memchr(err, 0, sizeof err), nullptr);
    EXPECT_STREQ(err, c.err);
  }
}

// fuzz_text: json_escape cut a UTF-8 character in two when the room ran
// out inside it, so an answer held a broken sequence, which a strict JSON
// reader refuses. A database name of 126 characters (a server allows 128)
// is enough: "a" and 125 times U+00E9 is 251 bytes, escaped at capacity
// 256 for the listing. The cut now falls before the character.
struct escape_case {
  const char* name;
  std::string in;
  size_t cap;
  std::string out;
};

std::string repeat(const std::string& s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

const escape_case ESCAPE[] = {
    {"TwoByteCharacterAtTheSmallestCapacity", "\xD1\xA8 \x02", 7, ""},
    {"ListingNameOfWideCharacters", "a" + repeat("\xC3\xA9", 125), 256, "a" + repeat("\xC3\xA9", 124)},
    {"FourByteCharacterAfterAnEscape", repeat("\"", 124) + "x\xF0\x9F\x98\x80", 256, repeat("\\\"", 124) + "x"},
    {"ThreeByteCharacterEndingExactlyAtTheLimit", repeat("b", 247) + "\xE2\x82\xAC" + "z", 256,
     repeat("b", 247) + "\xE2\x82\xAC"},
};

TEST(FuzzRegressions, JsonEscapeCutsBeforeACharacter) {
  for (const escape_case& c : ESCAPE) {
    SCOPED_TRACE(c.name);
    std::string out(c.cap, '\x7f');
    json_escape(c.in.c_str(), out.data(), c.cap);
    ASSERT_NE(out.find('\0'), std::string::npos);
    EXPECT_EQ(std::string(out.c_str()), c.out);
  }
}

}  // namespace
