// Compares candidate::format_g with snprintf("%g") on random bit patterns,
// values of the shapes result sets carry, widened singles, near-ties and
// neighbours of powers of ten. Exit status 1 on any difference.
//
//   float_g_check [ROUNDS]      (15 values per round; default 1000000)
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "float_g.h"

namespace {

long g_fast, g_declined, g_differ;

void check(double v) {
  char want[64], got[64];
  std::snprintf(want, sizeof want, "%g", v);
  if (!candidate::format_g(v, got)) {
    ++g_declined;
    return;
  }
  ++g_fast;
  if (std::strcmp(want, got) != 0 && g_differ++ < 20)
    std::printf("differs for %.17g: snprintf %s, candidate %s\n", v, want, got);
}

}  // namespace

int main(int argc, char** argv) {
  const long rounds = argc > 1 ? std::atol(argv[1]) : 1000000;
  std::mt19937_64 r(12345);
  for (long i = 0; i < rounds; ++i) {
    const uint64_t bits = r();
    double any;
    std::memcpy(&any, &bits, sizeof any);
    check(any);
    check(static_cast<double>(r() % 100000000) / 997.0);
    check(static_cast<double>(static_cast<int64_t>(r())) / 1e9);
    check(static_cast<double>(r() % 10000000));
    const int digits = 1 + static_cast<int>(r() % 9);
    check(static_cast<double>(r() % static_cast<uint64_t>(std::pow(10, digits))) *
          std::pow(10.0, static_cast<int>(r() % 40) - 20));
    float single;
    const uint32_t sbits = static_cast<uint32_t>(r());
    std::memcpy(&single, &sbits, sizeof single);
    check(static_cast<double>(single));
    check(static_cast<double>(static_cast<float>(static_cast<double>(r() % 1000000) / 1000.0)));
    // Six digits and a 5 in the seventh place, and the doubles either side.
    const double tie = (static_cast<double>(100000 + r() % 900000) + 0.5) *
                       std::pow(10.0, static_cast<int>(r() % 30) - 15);
    check(tie);
    check(std::nextafter(tie, 0));
    check(std::nextafter(tie, INFINITY));
    // Powers of ten and what lies just below them.
    const double p = std::pow(10.0, static_cast<int>(r() % 50) - 25);
    check(p);
    check(std::nextafter(p, 0));
    check(std::nextafter(p, INFINITY));
    check(p * 0.9999995);
    check(p * 0.99999949999);
  }
  const double fixed[] = {0.0, 1.0, 0.1, 1.5, 1e6, 999999.5, 999999.4999999, 9999995, 1e-4,
                          1e-5, 123456, 1234567, 100000, 1e300, 5e-324, 1.7976931348623157e308};
  for (double v : fixed) {
    check(v);
    check(-v);
  }
  std::printf("%ld values: %ld by the candidate, %ld declined to snprintf, %ld differ\n",
              g_fast + g_declined, g_fast, g_declined, g_differ);
  return g_differ != 0;
}
