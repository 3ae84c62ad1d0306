// UTF-8 <-> UTF-16LE conversion on byte fixtures: well-formed text, the
// arithmetic on malformed input, the cut at the first character that does
// not fit, and sequences cut short by the input's NUL.
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
      {"stray continuation byte starts a four-byte sequence",
       {0x80, 'a', 'b', 'c'}, 16, {0x46, 0xD8, 0xA3, 0xDC}},
      {"overlong four-byte form", {0xF0, 0x80, 0x81, 0x81}, 16, {0xC0, 0xFF, 0x41, 0xDC}},
      {"overlong two-byte NUL gives a zero unit", {0xC0, 0x80, 'a'}, 16, {0, 0, 0x61, 0}},
      {"encoded surrogate passes through", {0xED, 0xA0, 0x80}, 16, {0x00, 0xD8}},
      {"above U+10FFFF by the same arithmetic", {0xF7, 0xBF, 0xBF, 0xBF}, 16,
       {0xBF, 0xDF, 0xFF, 0xDF}},
      {"continuation bits only: lead 0xFF", {0xFF, 0x41, 0x41, 0x41}, 16,
       {0xC4, 0xDE, 0x41, 0xDC}},
      // A sequence cut short by the terminating NUL ends the conversion.
      {"two-byte cut by NUL", {'a', 0xC3}, 16, {0x61, 0}},
      {"three-byte cut after lead", {'a', 0xE2}, 16, {0x61, 0}},
      {"three-byte cut after one continuation", {'a', 0xE2, 0x82}, 16, {0x61, 0}},
      {"four-byte cut after two continuations", {'a', 0xF0, 0x9F, 0x98}, 16, {0x61, 0}},
      {"stray continuation at end", {'a', 'b', 0x80}, 16, {0x61, 0, 0x62, 0}},
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
      {"lone high surrogate then ascii", {0x00, 0xD8, 0x41, 0x00}, 16, {0xED, 0xA0, 0x80, 0x41, 0}},
      {"lone low surrogate", {0x00, 0xDC}, 16, {0xED, 0xB0, 0x80, 0}},
      {"high surrogate as last unit", {0x41, 0x00, 0x00, 0xD8}, 16, {0x41, 0xED, 0xA0, 0x80, 0}},
      {"high surrogate before a pair", {0x00, 0xD8, 0x00, 0xD8, 0x00, 0xDC}, 16,
       {0xED, 0xA0, 0x80, 0xF0, 0x90, 0x80, 0x80, 0}},
      {"high with odd trailing byte", {0x00, 0xD8, 0x00}, 16, {0xED, 0xA0, 0x80, 0}},
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

}  // namespace

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
