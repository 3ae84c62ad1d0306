// A candidate for rendering FLTN values in read_value: the text of
// snprintf("%g") (six significant digits, trailing zeros dropped, exponent
// form outside 1e-4..1e6) without the general-purpose formatter, which is
// the larger part of decoding a result with float columns.
//
// Exactness: 10^k for 0 <= k <= 22 is a double, so y = v * 10^k (or
// v / 10^-k) is one correctly rounded operation, within half an ulp of the
// true value: under 6e-11 for y in [1e5, 1e6). The six digits are decided
// by which side of .5 the fraction of y lies; whenever the fraction is
// within 1e-9 of .5, or v is NaN, infinite or outside 1e-17..1e28, the
// function declines and the caller uses snprintf. float_g_check compares it
// with snprintf.
#pragma once

#include <cmath>
#include <cstdint>

namespace candidate {

constexpr double POW10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr double LOG10_2 = 0.30102999566398120;
constexpr double TIE_MARGIN = 1e-9;

// Writes the "%g" text of v and its NUL into out (at least 16 bytes) and
// returns true, or returns false, writing nothing useful, when v is left to
// snprintf.
inline bool format_g(double v, char* out) {
  if (std::isnan(v) || std::isinf(v)) return false;
  char* o = out;
  if (std::signbit(v)) {
    *o++ = '-';
    v = -v;
  }
  if (v == 0) {
    *o++ = '0';
    *o = 0;
    return true;
  }
  int e2;
  std::frexp(v, &e2);
  // An estimate of floor(log10(v)), corrected by the range test below.
  int e10 = static_cast<int>(std::floor((e2 - 1) * LOG10_2));
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int k = 5 - e10;
    if (k < -22 || k > 22) return false;
    const double y = k >= 0 ? v * POW10[k] : v / POW10[-k];
    if (y < 1e5) {
      --e10;
      continue;
    }
    if (y >= 1e6) {
      ++e10;
      continue;
    }
    const double whole = std::floor(y);
    const double frac = y - whole;
    if (std::fabs(frac - 0.5) < TIE_MARGIN) return false;
    uint32_t m = static_cast<uint32_t>(whole) + (frac > 0.5 ? 1 : 0);
    if (m == 1000000) {  // rounding carried into a seventh digit
      m = 100000;
      ++e10;
    }
    char d[6];
    for (int i = 5; i >= 0; --i) {
      d[i] = static_cast<char>('0' + m % 10);
      m /= 10;
    }
    int last = 5;  // the last digit left once trailing zeros are dropped
    while (last > 0 && d[last] == '0') --last;
    if (e10 >= -4 && e10 < 6) {
      if (e10 >= 0) {
        for (int i = 0; i <= e10; ++i) *o++ = d[i];
        if (last > e10) {
          *o++ = '.';
          for (int i = e10 + 1; i <= last; ++i) *o++ = d[i];
        }
      } else {
        *o++ = '0';
        *o++ = '.';
        for (int i = 0; i < -e10 - 1; ++i) *o++ = '0';
        for (int i = 0; i <= last; ++i) *o++ = d[i];
      }
    } else {
      *o++ = d[0];
      if (last > 0) {
        *o++ = '.';
        for (int i = 1; i <= last; ++i) *o++ = d[i];
      }
      *o++ = 'e';
      *o++ = e10 < 0 ? '-' : '+';
      const int ax = e10 < 0 ? -e10 : e10;  // at most 27 here
      *o++ = static_cast<char>('0' + ax / 10);
      *o++ = static_cast<char>('0' + ax % 10);
    }
    *o = 0;
    return true;
  }
  return false;
}

}  // namespace candidate
