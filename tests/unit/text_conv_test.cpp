// Text conversion on byte fixtures: well-formed text, malformed input
// (U+FFFD, and the bytes after it read as themselves), the cut at the first
// character that does not fit, sequences cut short by the input's NUL, and
// 8-bit column text under the code page its collation names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "script_peer.h"
#include "tds_client/tds_client.h"

namespace {

constexpr uint8_t SENTINEL = 0xEE;

struct to_utf16_case {
  const char* name;
  bytes in;  // without the terminating NUL
  uint64_t cap;
  bytes want;
};

// The input is copied into a heap block of exactly its size plus the NUL, so
// the address sanitizer catches any read past the terminator.
bytes run_to_utf16(const bytes& in, uint64_t cap, uint64_t* ret) {
  std::unique_ptr<char[]> text(new char[in.size() + 1]);
  if (!in.empty()) std::memcpy(text.get(), in.data(), in.size());
  text[in.size()] = 0;
  bytes out(cap + 8, SENTINEL);
  *ret = utf8_to_ucs2(text.get(), out.data(), cap);
  for (uint64_t i = *ret; i < out.size(); i++)
    EXPECT_EQ(out[i], SENTINEL) << "byte " << i << " written beyond the returned count";
  out.resize(*ret);
  return out;
}

TEST(Utf8ToUcs2, Table) {
  const to_utf16_case cases[] = {
      {"empty", {}, 16, {}},
      {"ascii", {'a', 'b', 'c'}, 6, {0x61, 0, 0x62, 0, 0x63, 0}},
      {"ascii cut at capacity", {'a', 'b', 'c'}, 4, {0x61, 0, 0x62, 0}},
      {"odd capacity leaves last byte empty", {'a', 'b', 'c'}, 5, {0x61, 0, 0x62, 0}},
      {"capacity 0", {'a'}, 0, {}},
      {"capacity 1", {'a'}, 1, {}},
      {"two-byte", {0xC3, 0xA9}, 16, {0xE9, 0x00}},
      {"three-byte", {0xE2, 0x82, 0xAC}, 16, {0xAC, 0x20}},
      {"four-byte as surrogate pair", {0xF0, 0x9F, 0x98, 0x80}, 16, {0x3D, 0xD8, 0x00, 0xDE}},
      {"pair needs 4 bytes of room", {0xF0, 0x9F, 0x98, 0x80}, 3, {}},
      {"stop at first misfit, later shorter char not tried",
       {'a', 0xF0, 0x9F, 0x98, 0x80, 'b'}, 4, {0x61, 0}},
      {"U+FFFD itself", {0xEF, 0xBF, 0xBD}, 16, {0xFD, 0xFF}},
      // Malformed input: each byte that starts no character, or the longest
      // valid start of a broken sequence, becomes U+FFFD, and the byte that
      // broke it is read as itself.
      {"stray continuation byte", {0x80, 'a', 'b', 'c'}, 16,
       {0xFD, 0xFF, 0x61, 0, 0x62, 0, 0x63, 0}},
      {"quote after a bad lead byte", {'b', 0xC1, '\'', ';'}, 16,
       {0x62, 0, 0xFD, 0xFF, 0x27, 0, 0x3B, 0}},
      {"bracket after a two-byte lead", {'x', 0xC2, ']', ';'}, 16,
       {0x78, 0, 0xFD, 0xFF, 0x5D, 0, 0x3B, 0}},
      {"quote after a three-byte start", {0xE2, 0x82, '\'', '\''}, 16,
       {0xFD, 0xFF, 0x27, 0, 0x27, 0}},
      {"bracket after a four-byte start", {0xF0, 0x9F, 0x98, ']'}, 16, {0xFD, 0xFF, 0x5D, 0}},
      {"overlong two-byte NUL", {0xC0, 0x80, 'a'}, 16, {0xFD, 0xFF, 0xFD, 0xFF, 0x61, 0}},
      {"overlong three-byte form", {0xE0, 0x9F, 0x80}, 16, {0xFD, 0xFF, 0xFD, 0xFF, 0xFD, 0xFF}},
      {"overlong four-byte form", {0xF0, 0x80, 0x81, 0x81}, 16,
       {0xFD, 0xFF, 0xFD, 0xFF, 0xFD, 0xFF, 0xFD, 0xFF}},
      {"encoded surrogate", {0xED, 0xA0, 0x80}, 16, {0xFD, 0xFF, 0xFD, 0xFF, 0xFD, 0xFF}},
      {"above U+10FFFF", {0xF4, 0x90, 0x80, 0x80}, 16,
       {0xFD, 0xFF, 0xFD, 0xFF, 0xFD, 0xFF, 0xFD, 0xFF}},
      {"lead byte 0xF5", {0xF5, 0xBF, 0xBF, 0xBF}, 16,
       {0xFD, 0xFF, 0xFD, 0xFF, 0xFD, 0xFF, 0xFD, 0xFF}},
      {"lead byte 0xFF", {0xFF, 0x41, 0x41, 0x41}, 16, {0xFD, 0xFF, 0x41, 0, 0x41, 0, 0x41, 0}},
      {"replacement needs 2 bytes of room", {'a', 0x80}, 3, {0x61, 0}},
      // A sequence cut short by the terminating NUL is one U+FFFD, and
      // nothing past the NUL is read.
      {"two-byte cut by NUL", {'a', 0xC3}, 16, {0x61, 0, 0xFD, 0xFF}},
      {"three-byte cut after lead", {'a', 0xE2}, 16, {0x61, 0, 0xFD, 0xFF}},
      {"three-byte cut after one continuation", {'a', 0xE2, 0x82}, 16, {0x61, 0, 0xFD, 0xFF}},
      {"four-byte cut after two continuations", {'a', 0xF0, 0x9F, 0x98}, 16,
       {0x61, 0, 0xFD, 0xFF}},
      {"stray continuation at end", {'a', 'b', 0x80}, 16, {0x61, 0, 0x62, 0, 0xFD, 0xFF}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    uint64_t ret = 0;
    bytes got = run_to_utf16(tc.in, tc.cap, &ret);
    EXPECT_EQ(ret, tc.want.size());
    EXPECT_EQ(got, tc.want) << "got  " << hex(got) << "\nwant " << hex(tc.want);
  }
}

struct to_utf8_case {
  const char* name;
  bytes in;
  uint64_t cap;
  bytes want;  // output bytes up to and including the terminator
};

TEST(Ucs2ToUtf8, Table) {
  const to_utf8_case cases[] = {
      {"length 0", {}, 16, {0}},
      {"length 1", {0x41}, 16, {0}},
      {"trailing odd byte ignored", {0x41, 0x00, 0x42}, 16, {0x41, 0}},
      {"two-byte", {0xE9, 0x00}, 16, {0xC3, 0xA9, 0}},
      {"three-byte fits in 4", {0xAC, 0x20}, 4, {0xE2, 0x82, 0xAC, 0}},
      {"three-byte needs 4", {0xAC, 0x20}, 3, {0}},
      {"pair fits in 5", {0x3D, 0xD8, 0x00, 0xDE}, 5, {0xF0, 0x9F, 0x98, 0x80, 0}},
      {"pair needs 5", {0x3D, 0xD8, 0x00, 0xDE}, 4, {0}},
      {"stop at first misfit drops later ascii", {0x41, 0x00, 0xAC, 0x20, 0x42, 0x00}, 4,
       {0x41, 0}},
      // A surrogate that is not in a pair becomes U+FFFD.
      {"lone high surrogate then ascii", {0x00, 0xD8, 0x41, 0x00}, 16, {0xEF, 0xBF, 0xBD, 0x41, 0}},
      {"lone low surrogate", {0x00, 0xDC}, 16, {0xEF, 0xBF, 0xBD, 0}},
      {"high surrogate as last unit", {0x41, 0x00, 0x00, 0xD8}, 16, {0x41, 0xEF, 0xBF, 0xBD, 0}},
      {"high surrogate before a pair", {0x00, 0xD8, 0x00, 0xD8, 0x00, 0xDC}, 16,
       {0xEF, 0xBF, 0xBD, 0xF0, 0x90, 0x80, 0x80, 0}},
      {"pair in the wrong order", {0x00, 0xDC, 0x00, 0xD8}, 16,
       {0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD, 0}},
      {"high with odd trailing byte", {0x00, 0xD8, 0x00}, 16, {0xEF, 0xBF, 0xBD, 0}},
      {"replacement needs 4", {0x00, 0xD8}, 3, {0}},
      {"replacement fits in 4", {0x00, 0xD8}, 4, {0xEF, 0xBF, 0xBD, 0}},
      {"capacity 1", {0x41, 0x00}, 1, {0}},
      {"zero unit copied as zero byte", {0x41, 0x00, 0x00, 0x00, 0x42, 0x00}, 16,
       {0x41, 0, 0x42, 0}},
      {"U+FFFF", {0xFF, 0xFF}, 16, {0xEF, 0xBF, 0xBF, 0}},
      {"U+10FFFF", {0xFF, 0xDB, 0xFF, 0xDF}, 16, {0xF4, 0x8F, 0xBF, 0xBF, 0}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    // Exact-size input block: reads past the end show up under the sanitizer.
    std::unique_ptr<uint8_t[]> in(new uint8_t[tc.in.size() + 1]);
    if (!tc.in.empty()) std::memcpy(in.get(), tc.in.data(), tc.in.size());
    bytes out(tc.cap + 8, SENTINEL);
    ucs2_to_utf8(in.get(), tc.in.size(), reinterpret_cast<char*>(out.data()), tc.cap);
    bytes got(out.begin(), out.begin() + static_cast<long>(tc.want.size()));
    EXPECT_EQ(got, tc.want) << "got  " << hex(got) << "\nwant " << hex(tc.want);
    for (size_t i = tc.want.size(); i < out.size(); i++)
      EXPECT_EQ(out[i], SENTINEL) << "byte " << i << " written beyond the terminator";
  }
}

std::string utf8_of(uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

// Every well-formed character survives the round trip, and the cut by
// capacity always lands on a whole character.
TEST(TextConv, RoundTripAndWholeCharacterCuts) {
  std::mt19937 rng(12345);
  for (int iter = 0; iter < 300; iter++) {
    std::string text;
    int chars = 1 + static_cast<int>(rng() % 40);
    for (int i = 0; i < chars; i++) {
      uint32_t cp;
      switch (rng() % 4) {
        case 0: cp = 1 + rng() % 0x7F; break;
        case 1: cp = 0x80 + rng() % (0x800 - 0x80); break;
        case 2:
          cp = 0x800 + rng() % (0x10000 - 0x800);
          if (cp >= 0xD800 && cp < 0xE000) cp = 0xE000;  // no encoded surrogates
          break;
        default: cp = 0x10000 + rng() % (0x110000 - 0x10000); break;
      }
      text += utf8_of(cp);
    }
    const bytes want16 = utf16le(text);
    bytes w(want16.size() + 8);
    ASSERT_EQ(utf8_to_ucs2(text.c_str(), w.data(), w.size()), want16.size());
    ASSERT_TRUE(std::equal(want16.begin(), want16.end(), w.begin()));

    std::string back(text.size() + 1, '\xEE');
    ucs2_to_utf8(want16.data(), want16.size(), back.data(), back.size());
    ASSERT_STREQ(back.c_str(), text.c_str());

    // A smaller output capacity gives a prefix that ends on a character.
    uint64_t cap = rng() % (text.size() + 1) + 1;
    std::string cut(cap, '\xEE');
    ucs2_to_utf8(want16.data(), want16.size(), cut.data(), cap);
    size_t n = std::strlen(cut.c_str());
    ASSERT_LT(n, cap);
    ASSERT_EQ(text.compare(0, n, cut.c_str()), 0);
    ASSERT_TRUE(n == text.size() || (static_cast<uint8_t>(text[n]) & 0xC0) != 0x80);

    // The same in the other direction: never half a surrogate pair.
    uint64_t cap16 = rng() % (want16.size() + 1);
    bytes w16(cap16 + 1);
    uint64_t got16 = utf8_to_ucs2(text.c_str(), w16.data(), cap16);
    ASSERT_LE(got16, cap16);
    ASSERT_EQ(got16 % 2, 0u);
    ASSERT_TRUE(std::equal(w16.begin(), w16.begin() + static_cast<long>(got16), want16.begin()));
    if (got16 < want16.size()) {
      uint16_t next = static_cast<uint16_t>(want16[got16] | (want16[got16 + 1] << 8));
      ASSERT_FALSE(next >= 0xDC00 && next <= 0xDFFF) << "cut inside a surrogate pair";
    }
  }
}

std::string ascii_only(const std::string& s) {
  std::string r;
  for (char c : s)
    if (static_cast<uint8_t>(c) < 0x80) r += c;
  return r;
}

// Whatever bytes a host gives, the conversion keeps every ASCII byte (a
// quote, a bracket) as itself, in order, invents none, and what it gives
// back reads as valid UTF-8.
TEST(TextConv, MalformedInputKeepsEveryAsciiByte) {
  std::mt19937 rng(777);
  const uint8_t interesting[] = {0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xC3, 0xDF, 0xE0, 0xE2, 0xED,
                                 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, '\'', ']', 'a'};
  for (int iter = 0; iter < 5000; iter++) {
    std::string text(1 + rng() % 24, 'x');
    for (char& c : text) {
      c = static_cast<char>(rng() % 2 ? interesting[rng() % sizeof interesting] : 1 + rng() % 255);
    }
    bytes wide(2 * text.size());
    const uint64_t n = utf8_to_ucs2(text.c_str(), wide.data(), wide.size());
    std::string back(3 * text.size() + 1, '\xEE');
    ucs2_to_utf8(wide.data(), n, back.data(), back.size());
    back.resize(std::strlen(back.c_str()));
    ASSERT_EQ(ascii_only(back), ascii_only(text)) << hex(bytes(text.begin(), text.end()));
    ASSERT_TRUE(utf8_valid(back.data(), back.size())) << hex(bytes(text.begin(), text.end()));
  }
}

}  // namespace

TEST(CodePage, FromCollation) {
  struct Case {
    const char* name;
    uint8_t collation[5];
    uint32_t code_page;
  } cases[] = {
      {"sort id 52, the simulator's default", {0x09, 0x04, 0xD0, 0x00, 0x34}, TDS_CP_1252},
      {"sort id 51", {0x09, 0x04, 0xD0, 0x00, 51}, TDS_CP_1252},
      {"sort id 54", {0x09, 0x04, 0xD0, 0x00, 54}, TDS_CP_1252},
      {"sort id 183, Danish", {0x09, 0x04, 0xD0, 0x00, 183}, TDS_CP_1252},
      {"sort id 210, EBCDIC order on 1252", {0x09, 0x04, 0xD0, 0x00, 210}, TDS_CP_1252},
      {"sort id 32, code page 437", {0x09, 0x04, 0xD0, 0x00, 32}, TDS_CP_OTHER},
      {"sort id 106 (1251) beside a 1252 LCID", {0x09, 0x04, 0xD0, 0x00, 106}, TDS_CP_OTHER},
      {"LCID 0x0409", {0x09, 0x04, 0xD0, 0x00, 0x00}, TDS_CP_1252},
      {"LCID 0x10407, a sort in bits 16..19", {0x07, 0x04, 0xD1, 0x00, 0x00}, TDS_CP_1252},
      {"LCID 0x040C", {0x0C, 0x04, 0x00, 0x00, 0x00}, TDS_CP_1252},
      {"LCID 0x0C0A, Modern Spanish", {0x0A, 0x0C, 0xD0, 0x00, 0x00}, TDS_CP_1252},
      {"LCID 0x0419, Cyrillic", {0x19, 0x04, 0xD0, 0x00, 0x00}, TDS_CP_OTHER},
      {"LCID 0x0411, Japanese", {0x11, 0x04, 0xD0, 0x00, 0x00}, TDS_CP_OTHER},
      {"LCID 0x0405, Czech", {0x05, 0x04, 0xD0, 0x00, 0x00}, TDS_CP_OTHER},
      {"UTF-8 flag", {0x09, 0x04, 0xD0, 0x14, 0x00}, TDS_CP_UTF8},
      {"UTF-8 flag beside a Cyrillic LCID", {0x19, 0x04, 0x00, 0x04, 0x00}, TDS_CP_UTF8},
      {"all zero", {0, 0, 0, 0, 0}, TDS_CP_OTHER},
  };
  for (const Case& c : cases) EXPECT_EQ(tds_code_page(c.collation), c.code_page) << c.name;
}

TEST(CodePageToUtf8, Table) {
  struct Case {
    const char* name;
    uint32_t code_page;
    bytes in;
    uint64_t cap;
    std::string want;
  } cases[] = {
      {"ascii", TDS_CP_1252, {'a', 'b'}, 16, "ab"},
      {"1252 letters", TDS_CP_1252, {'c', 'a', 'f', 0xE9, 0xFF}, 16, "caf\xC3\xA9\xC3\xBF"},
      {"1252 euro, trade mark, Y diaeresis", TDS_CP_1252, {0x80, 0x99, 0x9F}, 16,
       "\xE2\x82\xAC\xE2\x84\xA2\xC5\xB8"},
      {"1252 no-break space", TDS_CP_1252, {0xA0}, 16, "\xC2\xA0"},
      {"1252 unassigned bytes keep their value", TDS_CP_1252, {0x81, 0x8D, 0x8F, 0x90, 0x9D}, 16,
       "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"},
      {"1252 UTF-8 bytes are two characters", TDS_CP_1252, {0xC3, 0xA9}, 16, "\xC3\x83\xC2\xA9"},
      {"1252 euro needs 4 bytes", TDS_CP_1252, {'a', 0x80, 'b'}, 4, "a"},
      {"1252 euro fits in 5", TDS_CP_1252, {'a', 0x80, 'b'}, 5, "a\xE2\x82\xAC"},
      {"capacity 1", TDS_CP_1252, {'a'}, 1, ""},
      {"UTF-8 kept", TDS_CP_UTF8, {0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80}, 16,
       "\xC3\xA9\xF0\x9F\x98\x80"},
      {"UTF-8 stray byte", TDS_CP_UTF8, {0xE9, 'x'}, 16, "\xEF\xBF\xBDx"},
      {"UTF-8 broken sequence", TDS_CP_UTF8, {0xE2, 0x82, '\''}, 16, "\xEF\xBF\xBD'"},
      {"UTF-8 encoded surrogate", TDS_CP_UTF8, {0xED, 0xA0, 0x80}, 16,
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"UTF-8 cut by the value's end", TDS_CP_UTF8, {'a', 0xF0, 0x9F, 0x98}, 16, "a\xEF\xBF\xBD"},
      {"UTF-8 four-byte needs 5", TDS_CP_UTF8, {0xF0, 0x9F, 0x98, 0x80}, 4, ""},
      {"other code page: bytes above 0x7F replaced", TDS_CP_OTHER, {0xC0, 0xE1, 'z'}, 16,
       "\xEF\xBF\xBD\xEF\xBF\xBDz"},
      {"other code page: valid UTF-8 kept", TDS_CP_OTHER, {0xD0, 0x9F}, 16, "\xD0\x9F"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Exact-size input block: reads past the end show up under the sanitizer.
    std::unique_ptr<uint8_t[]> in(new uint8_t[c.in.size() + 1]);
    if (!c.in.empty()) std::memcpy(in.get(), c.in.data(), c.in.size());
    std::string out(c.cap + 8, '\xEE');
    codepage_to_utf8(in.get(), c.in.size(), c.code_page, out.data(), c.cap);
    ASSERT_NE(std::memchr(out.data(), 0, c.cap), nullptr);
    EXPECT_EQ(std::string(out.c_str()), c.want);
    for (size_t i = c.want.size() + 1; i < out.size(); i++)
      EXPECT_EQ(out[i], '\xEE') << "byte " << i << " written beyond the terminator";
  }
}

TEST(Utf8Valid, AcceptsWellFormedAndRefusesEveryMalformedShape) {
  struct Case {
    const char* bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain ascii", true},
      {"\xC3\xA9", true},                  // U+00E9
      {"\xE2\x82\xAC", true},              // U+20AC
      {"\xF0\x9F\x98\x80", true},          // U+1F600
      {"\xF4\x8F\xBF\xBF", true},          // U+10FFFF
      {"\xEF\xBF\xBD", true},              // U+FFFD
      {"\x80", false},                     // stray continuation
      {"\xC1\x81", false},                 // overlong two-byte
      {"\xC0\x80", false},                 // overlong NUL
      {"\xE0\x80\x80", false},             // overlong three-byte
      {"\xF0\x80\x81\x81", false},         // overlong four-byte
      {"\xED\xA0\x80", false},             // encoded high surrogate
      {"\xF4\x90\x80\x80", false},         // above U+10FFFF
      {"\xF5\x80\x80\x80", false},         // no such lead byte
      {"\xC3", false},                     // cut at the end
      {"\xE2\x82", false},                 // cut at the end
      {"\xC3'", false},                    // quote where a continuation belongs
      {"x\xC2]", false},                   // bracket where a continuation belongs
      {"\xE2\x82\x41", false},             // letter where a continuation belongs
  };
  for (const Case& c : cases)
    EXPECT_EQ(utf8_valid(c.bytes, std::strlen(c.bytes)), c.valid) << testing::PrintToString(c.bytes);
}

// The one bounded copy behind every error text: whole, or cut before the
// first character that does not fit, never inside one.
TEST(Utf8CopyCut, CutsBeforeACharacterThatDoesNotFit) {
  struct Case {
    const char* text;
    uint64_t cap;
    const char* want;
    bool whole;
  } cases[] = {
      {"abc", 4, "abc", true},
      {"abcd", 4, "abc", false},
      {"ab\xC3\xA9", 5, "ab\xC3\xA9", true},
      {"ab\xC3\xA9", 4, "ab", false},               // two-byte character one short
      {"a\xE2\x82\xAC", 4, "a", false},              // three-byte character one short
      {"\xF0\x9F\x98\x80z", 5, "\xF0\x9F\x98\x80", false},
      {"\xF0\x9F\x98\x80", 4, "", false},            // nothing fits
      {"x", 1, "", false},
      {"", 1, "", true},
      {nullptr, 8, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text != nullptr ? c.text : "(null)"));
    char out[16];
    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(utf8_copy_cut(out, c.cap, c.text), c.whole);
    EXPECT_STREQ(out, c.want);
  }
}
