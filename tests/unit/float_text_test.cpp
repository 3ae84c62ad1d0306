// The text of float values against snprintf's "%g": hard cases with their
// literal texts, a large deterministic random set shaped like the values
// result sets carry and like the places where six-digit rounding is close,
// other rounding modes, a locale with a decimal comma, and short buffers.
#include <gtest/gtest.h>

#include <cfenv>
#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "tds_client/float_text.h"

namespace {

std::string printf_g(double v, size_t cap = 64) {
  char buf[64];
  std::snprintf(buf, cap, "%g", v);
  return buf;
}

std::string ours(double v, size_t cap = 64) {
  char buf[64];
  std::memset(buf, 'X', sizeof buf);
  float_g_text(v, buf, cap);
  return buf;
}

double bits_to_double(uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

struct hard_case {
  const char* name;
  double v;
  const char* text;
};

// The literal is checked against snprintf too, so the table also pins down
// what the platform's formatter does with each case.
const hard_case kHard[] = {
    {"zero", 0.0, "0"},
    {"negative_zero", -0.0, "-0"},
    {"one", 1.0, "1"},
    {"tenth", 0.1, "0.1"},
    {"single_tenth_widened", static_cast<double>(0.1f), "0.1"},
    {"negative", -2.25, "-2.25"},
    {"six_digits_whole", 123456.0, "123456"},
    {"seven_digits_rounds", 1234567.0, "1.23457e+06"},
    {"hundred_thousand", 100000.0, "100000"},
    {"million_goes_exponent", 1e6, "1e+06"},
    {"below_million_stays", 999999.4, "999999"},
    {"tie_below_million_to_even", 999999.5, "1e+06"},
    {"carry_into_million", 999999.6, "1e+06"},
    {"tie_to_even_down", 123456.5, "123456"},
    {"tie_to_even_up", 123457.5, "123458"},
    {"just_over_tie", std::nextafter(123456.5, 1e9), "123457"},
    {"just_under_tie", std::nextafter(123457.5, 0.0), "123457"},
    {"ten_thousandth_fixed", 0.0001, "0.0001"},
    {"carry_into_fixed", 9.9999951e-5, "0.0001"},
    {"hundred_thousandth_exponent", 0.00001, "1e-05"},
    {"small_fixed_digits", 0.000123456, "0.000123456"},
    {"trailing_zeros_dropped", 1.5e10, "1.5e+10"},
    {"largest_short_range", 9.87654e27, "9.87654e+27"},
    {"smallest_short_range", 1.23456e-17, "1.23456e-17"},
    {"three_digit_exponent", 1e100, "1e+100"},
    {"three_digit_negative_exponent", 1.5e-100, "1.5e-100"},
    {"largest", DBL_MAX, "1.79769e+308"},
    {"smallest_normal", DBL_MIN, "2.22507e-308"},
    {"smallest_subnormal", 5e-324, "4.94066e-324"},
    {"subnormal", 1e-310, "1e-310"},
    {"single_largest", static_cast<double>(FLT_MAX), "3.40282e+38"},
    {"single_smallest_subnormal", static_cast<double>(std::numeric_limits<float>::denorm_min()),
     "1.4013e-45"},
    {"infinity", std::numeric_limits<double>::infinity(), "inf"},
    {"negative_infinity", -std::numeric_limits<double>::infinity(), "-inf"},
    {"nan", std::numeric_limits<double>::quiet_NaN(), "nan"},
    {"negative_nan", -std::numeric_limits<double>::quiet_NaN(), "-nan"},
};

TEST(FloatText, HardCasesGiveTheirExactText) {
  for (const hard_case& c : kHard) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(printf_g(c.v), c.text);
    EXPECT_EQ(ours(c.v), c.text);
  }
}

// The short path must be taken for ordinary values, or the formatter has
// silently become snprintf again; it must decline what it cannot decide.
TEST(FloatText, ShortPathTakesOrdinaryValuesAndDeclinesTheRest) {
  char buf[FLOAT_G_SHORT_CAP];
  for (double v : {1.5, -2.25, 0.1, 123456.0, 1e6, 0.0001, 3.14159e-12, 6.02214e23, -0.0}) {
    SCOPED_TRACE(printf_g(v));
    ASSERT_TRUE(float_g_short(v, buf));
    EXPECT_EQ(std::string(buf), printf_g(v));
  }
  for (double v : {123456.5, 999999.5, 1e100, 5e-324, 1e-18, 1e29, std::numeric_limits<double>::infinity(),
                   std::numeric_limits<double>::quiet_NaN()}) {
    SCOPED_TRACE(printf_g(v));
    EXPECT_FALSE(float_g_short(v, buf));
  }
}

// Values of the shapes result sets carry, plus the places where the sixth
// digit is close: a 5 in the seventh place and the doubles either side,
// powers of ten and their neighbours, values just under a carry.
TEST(FloatText, MatchesSnprintfOnALargeDeterministicSet) {
  std::mt19937_64 r(20261210);
  long total = 0, short_taken = 0, mismatches = 0;
  auto check = [&](double v) {
    ++total;
    char buf[FLOAT_G_SHORT_CAP];
    if (float_g_short(v, buf)) ++short_taken;
    const std::string want = printf_g(v), got = ours(v);
    if (got != want && ++mismatches <= 20) {
      char exact[40];
      std::snprintf(exact, sizeof exact, "%.17g", v);
      ADD_FAILURE() << "for " << exact << ": snprintf " << want << ", ours " << got;
    }
  };
  const int rounds = 100000;
  for (int i = 0; i < rounds; ++i) {
    check(bits_to_double(r()));
    check(static_cast<double>(r() % 100000000) / 997.0);
    check(static_cast<double>(static_cast<int64_t>(r())) / 1e9);
    const int digits = 1 + static_cast<int>(r() % 9);
    check(static_cast<double>(r() % static_cast<uint64_t>(std::pow(10, digits))) *
          std::pow(10.0, static_cast<int>(r() % 50) - 25));
    float single;
    const uint32_t sbits = static_cast<uint32_t>(r());
    std::memcpy(&single, &sbits, sizeof single);
    check(static_cast<double>(single));
    const double tie = (static_cast<double>(100000 + r() % 900000) + 0.5) *
                       std::pow(10.0, static_cast<int>(r() % 40) - 20);
    check(tie);
    check(std::nextafter(tie, 0.0));
    check(std::nextafter(tie, INFINITY));
    const double p = std::pow(10.0, static_cast<int>(r() % 50) - 25);
    check(p);
    check(std::nextafter(p, 0.0));
    check(std::nextafter(p, INFINITY));
    check(p * 0.9999995);
    check(-p * 0.99999949999);
  }
  EXPECT_EQ(mismatches, 0);
  // Most of the set is in the short path's range; a collapse of that share
  // would mean the comparison above tested snprintf against itself.
  EXPECT_GT(short_taken, total / 2) << short_taken << " of " << total;
}

// The general formatter rounds the sixth digit in the current rounding
// mode; the text must follow it there as well.
TEST(FloatText, FollowsTheRoundingMode) {
  std::mt19937_64 r(7);
  for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    SCOPED_TRACE(mode);
    ASSERT_EQ(std::fesetround(mode), 0);
    EXPECT_EQ(ours(1.2345678), printf_g(1.2345678));
    EXPECT_EQ(ours(-1.2345678), printf_g(-1.2345678));
    EXPECT_EQ(ours(1.2345641), printf_g(1.2345641));
    EXPECT_EQ(ours(999999.7), printf_g(999999.7));
    for (int i = 0; i < 2000; ++i) {
      const double v = static_cast<double>(r() % 100000000) / 997.0;
      ASSERT_EQ(ours(v), printf_g(v)) << i;
    }
    std::fesetround(FE_TONEAREST);
  }
  EXPECT_EQ(std::fegetround(), FE_TONEAREST);
}

// A host that sets a locale with a decimal comma gets the text snprintf
// gives it. Skipped where no such locale is installed.
TEST(FloatText, FollowsTheLocaleDecimalPoint) {
  const char* found = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "de_DE", "fr_FR"}) {
    if (std::setlocale(LC_NUMERIC, name) != nullptr &&
        std::strcmp(std::localeconv()->decimal_point, ",") == 0) {
      found = name;
      break;
    }
  }
  if (found == nullptr) {
    std::setlocale(LC_NUMERIC, "C");
    GTEST_SKIP() << "no locale with a decimal comma installed";
  }
  SCOPED_TRACE(found);
  EXPECT_EQ(ours(1.5), "1,5");
  for (double v : {0.1, -2.25, 123456.0, 1e-5, 6.02214e23, 0.000123456})
    EXPECT_EQ(ours(v), printf_g(v)) << v;
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(ours(1.5), "1.5");
}

// A buffer too small for the text is cut and terminated as snprintf cuts
// it, below and at the short path's minimum.
TEST(FloatText, ShortBuffersAreCutLikeSnprintf) {
  for (double v : {-1.23456e+27, 0.000123456, 1.5, -0.0}) {
    for (size_t cap = 1; cap <= FLOAT_G_SHORT_CAP + 1; ++cap) {
      SCOPED_TRACE(printf_g(v) + " in " + std::to_string(cap));
      EXPECT_EQ(ours(v, cap), printf_g(v, cap));
    }
  }
}

}  // namespace
