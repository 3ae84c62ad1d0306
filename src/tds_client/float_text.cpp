// "%g" renders six significant digits, drops trailing zeros (and a bare
// decimal point), and uses the exponent form ("e", a sign, at least two
// digits) when the decimal exponent after rounding is below -4 or from 6 up.
//
// Why the short path is exact: 10^k is a double for 0 <= k <= 22, so
// y = v * 10^k (or v / 10^-k) is one correctly rounded operation, within half
// an ulp of the true product: under 6e-11 for y in [1e5, 1e6). Rounding y to
// a whole number thus gives the six digits the exact value rounds to unless
// the fraction of y lies within that distance of .5; the path declines
// whenever it lies within 1e-9 of .5, which also leaves every exact tie (and
// its tie-breaking rule) to the general formatter. (Only a fraction of
// exactly .5 is truly ambiguous: n + .5 is itself a double in this range and
// rounding is monotonic, so y lies on the same side of it as the product;
// the wider margin costs nothing.) The bounds 1e5 and 1e6
// are doubles, so rounding never moves y across them the wrong way: a y of
// exactly 1e5 from a product just below it has the digits 100000 either way.
//
// The general formatter follows the rounding mode and the locale's decimal
// point; while either differs from the usual, every value goes to it.
#include "tds_client/float_text.h"

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// With wider intermediate precision the product is rounded twice and the
// bound above no longer holds: leave everything to snprintf there.
constexpr bool SHORT_PATH_SOUND = FLT_EVAL_METHOD == 0;

constexpr double POW10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int POW10_MAX = 22;
constexpr int LOG10_2_Q18 = 78913;  // log10(2) * 2^18, rounded down
constexpr int F64_FRACTION_BITS = 52;
constexpr uint64_t F64_EXPONENT_MASK = 0x7FF;
constexpr int F64_EXPONENT_BIAS = 1023;
// Binary exponents of doubles from 1e-17 to 1e28 with a margin; six_digits
// declines anything whose power of ten falls outside POW10 anyway.
constexpr int E2_MIN = -60;
constexpr int E2_MAX = 96;
constexpr double TIE_MARGIN = 1e-9;
constexpr int DIGITS = 6;
constexpr double Y_LOW = 1e5;   // 10^(DIGITS - 1)
constexpr double Y_HIGH = 1e6;  // 10^DIGITS
constexpr int FIXED_EXP_MIN = -4;

// The general formatter rounds the sixth digit in the rounding mode of the
// unit long double arithmetic runs on (the x87 unit on x86-64, where double
// arithmetic runs elsewhere), so two sums in long double tell whether that
// mode is to-nearest: 1 + 3/4 ulp moves up and -1 - 3/4 ulp moves down only
// there. This keeps the library off the floating-point environment library.
// A reduced x87 precision also reads as "not to-nearest", which is safe.
bool rounds_to_nearest() {
  volatile long double three_quarter_ulp = LDBL_EPSILON * 0.75L;
  const long double up = 1.0L + three_quarter_ulp;
  const long double down = -1.0L - three_quarter_ulp;
  return up != 1.0L && down != -1.0L;
}

bool usual_environment() {
  if (!rounds_to_nearest()) return false;
  const char* point = std::localeconv()->decimal_point;
  return point[0] == '.' && point[1] == 0;
}

// Six digits of v (positive) and its decimal exponent: v rounds to
// d[0].d[1..5] * 10^e10. Returns false when the digits cannot be told
// without the general formatter, NaN and the infinities included.
bool six_digits(double v, char d[DIGITS], int* e10_out) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  // v in [2^e2, 2^(e2 + 1)); subnormals, NaN and the infinities fall far
  // outside the range below.
  const int e2 = static_cast<int>((bits >> F64_FRACTION_BITS) & F64_EXPONENT_MASK) - F64_EXPONENT_BIAS;
  if (e2 < E2_MIN || e2 > E2_MAX) return false;
  // floor(e2 * log10(2)) (exact well beyond this range): floor(log10(v))
  // or one less; the range test on y settles it.
  int e10 = (e2 * LOG10_2_Q18) >> 18;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int k = DIGITS - 1 - e10;
    if (k < -POW10_MAX || k > POW10_MAX) return false;
    const double y = k >= 0 ? v * POW10[k] : v / POW10[-k];
    if (y < Y_LOW) {
      --e10;
      continue;
    }
    if (y >= Y_HIGH) {
      ++e10;
      continue;
    }
    uint32_t m = static_cast<uint32_t>(y);  // y is positive: the cast is floor(y)
    const double frac = y - m;              // exact: m <= y < 2 * m
    if (std::fabs(frac - 0.5) < TIE_MARGIN) return false;
    if (frac > 0.5) ++m;
    if (m == static_cast<uint32_t>(Y_HIGH)) {  // rounding carried into a seventh digit
      m = static_cast<uint32_t>(Y_LOW);
      ++e10;
    }
    for (int i = DIGITS - 1; i >= 0; --i) {
      d[i] = static_cast<char>('0' + m % 10);
      m /= 10;
    }
    *e10_out = e10;
    return true;
  }
  return false;  // y went back and forth across a bound: leave it
}

}  // namespace

bool float_g_short(double v, char* out) {
  if (!SHORT_PATH_SOUND || !usual_environment()) return false;
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
  char d[DIGITS];
  int e10;
  if (!six_digits(v, d, &e10)) return false;
  int last = DIGITS - 1;  // the last digit kept once trailing zeros are dropped
  while (last > 0 && d[last] == '0') --last;
  if (e10 >= FIXED_EXP_MIN && e10 < DIGITS) {
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
    const int ax = e10 < 0 ? -e10 : e10;  // 5..28 here: always two digits
    *o++ = static_cast<char>('0' + ax / 10);
    *o++ = static_cast<char>('0' + ax % 10);
  }
  *o = 0;
  return true;
}

void float_g_text(double v, char* out, size_t cap) {
  if (cap >= FLOAT_G_SHORT_CAP && float_g_short(v, out)) return;
  std::snprintf(out, cap, "%g", v);
}
