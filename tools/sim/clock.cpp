#include "clock.h"

#include <chrono>
#include <atomic>
#include <ctime>

namespace sim {

namespace {

constexpr Stamp DAY = 86400 * STAMP_PER_SECOND;

std::atomic<int64_t> clock_ahead_s{0};

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

bool digits(const std::string& t, size_t at, size_t n, int& out) {
  if (at + n > t.size()) return false;
  out = 0;
  for (size_t k = at; k < at + n; ++k) {
    if (t[k] < '0' || t[k] > '9') return false;
    out = out * 10 + (t[k] - '0');
  }
  return true;
}

}  // namespace

Stamp now_stamp() {
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  ::localtime_r(&t, &local);
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() % 1000000;
  Stamp s = (Stamp(t) + local.tm_gmtoff + clock_ahead_s.load()) * STAMP_PER_SECOND + Stamp(micros) * 30;
  return s - s % STAMP_PER_DATETIME_TICK;
}

void advance_clock(int64_t seconds) { clock_ahead_s.fetch_add(seconds); }

bool parse_stamp(const std::string& t, Stamp& out) {
  int y, mo, d, h, mi, se;
  if (t.size() < 19 || !digits(t, 0, 4, y) || t[4] != '-' || !digits(t, 5, 2, mo) || t[7] != '-' ||
      !digits(t, 8, 2, d) || (t[10] != 'T' && t[10] != ' ') || !digits(t, 11, 2, h) || t[13] != ':' ||
      !digits(t, 14, 2, mi) || t[16] != ':' || !digits(t, 17, 2, se)) {
    return false;
  }
  static const int month_days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > month_days[mo - 1] || (mo == 2 && d == 29 && !leap) || h > 23 ||
      mi > 59 || se > 59) {
    return false;
  }
  Stamp frac = 0;
  if (t.size() > 19) {
    int n = 0;
    if (t[19] != '.' || t.size() == 20 || t.size() > 27 || !digits(t, 20, t.size() - 20, n)) return false;
    Stamp hundred_ns = n;
    for (size_t k = t.size() - 20; k < 7; ++k) hundred_ns *= 10;
    frac = hundred_ns * 3;
  }
  out = days_from_civil(y, unsigned(mo), unsigned(d)) * DAY + (Stamp(h) * 3600 + mi * 60 + se) * STAMP_PER_SECOND +
        frac;
  return true;
}

}  // namespace sim
