#include "tds_frames.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace bench {
namespace {

constexpr uint8_t TOKEN_COLMETADATA = 0x81;
constexpr uint8_t TOKEN_ROW = 0xD1;
constexpr uint8_t TOKEN_DONE = 0xFD;
constexpr uint16_t DONE_COUNT = 0x0010;
constexpr uint16_t CURCMD_SELECT = 0x00C1;
constexpr uint16_t FLAGS_NULLABLE = 0x0009;  // nullable, updateable unknown

constexpr uint8_t TYPE_INTN = 0x26;
constexpr uint8_t TYPE_DECIMALN = 0x6A;
constexpr uint8_t TYPE_FLTN = 0x6D;
constexpr uint8_t TYPE_BIGVARCHR = 0xA7;
constexpr uint8_t TYPE_NVARCHAR = 0xE7;

// Latin1_General, code page 1252, case-insensitive, accent-sensitive.
constexpr uint8_t COLLATION[5] = {0x09, 0x04, 0xD0, 0x00, 0x34};

constexpr uint8_t PACKET_TABULAR = 0x04;
constexpr uint8_t STATUS_EOM = 0x01;
constexpr uint64_t HEADER_LEN = 8;

struct writer {
  bytes& out;
  void u8(uint8_t v) { out.push_back(v); }
  void u16(uint16_t v) {
    u8(static_cast<uint8_t>(v));
    u8(static_cast<uint8_t>(v >> 8));
  }
  void u32(uint32_t v) {
    u16(static_cast<uint16_t>(v));
    u16(static_cast<uint16_t>(v >> 16));
  }
  void u64(uint64_t v) {
    u32(static_cast<uint32_t>(v));
    u32(static_cast<uint32_t>(v >> 32));
  }
  void raw(const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    out.insert(out.end(), b, b + n);
  }
  // UTF-16LE of the code points.
  void utf16(const std::u32string& s) {
    for (char32_t c : s) {
      if (c >= 0x10000) {
        uint32_t v = c - 0x10000;
        u16(static_cast<uint16_t>(0xD800 | (v >> 10)));
        u16(static_cast<uint16_t>(0xDC00 | (v & 0x3FF)));
      } else {
        u16(static_cast<uint16_t>(c));
      }
    }
  }
  static uint64_t utf16_len(const std::u32string& s) {
    uint64_t n = 0;
    for (char32_t c : s) n += c >= 0x10000 ? 4 : 2;
    return n;
  }
};

// Column description: UserType, Flags, type code and its TYPE_INFO, name.
void column(writer& w, uint8_t type, const char* name, std::initializer_list<uint8_t> info,
            bool collation) {
  w.u32(0);
  w.u16(FLAGS_NULLABLE);
  w.u8(type);
  for (uint8_t b : info) w.u8(b);
  if (collation) w.raw(COLLATION, sizeof COLLATION);
  const size_t n = std::strlen(name);
  w.u8(static_cast<uint8_t>(n));
  for (size_t i = 0; i < n; ++i) w.u16(static_cast<uint8_t>(name[i]));
}

void done(writer& w, uint64_t rows) {
  w.u8(TOKEN_DONE);
  w.u16(DONE_COUNT);
  w.u16(CURCMD_SELECT);
  w.u64(rows);
}

// Small deterministic generator so every run sees the same bytes.
struct rng {
  uint64_t s;
  uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  uint64_t below(uint64_t n) { return next() % n; }
};

const char* const WORDS[] = {"north", "harbour", "ledger", "amber", "copper", "station",
                             "valley", "quarter", "meridian", "orchard", "granite", "signal"};
constexpr size_t NWORDS = sizeof WORDS / sizeof WORDS[0];

std::u32string ascii32(const std::string& s) { return std::u32string(s.begin(), s.end()); }

// A phrase of about `chars` characters; `intl` mixes in accented Latin,
// the euro sign, CJK and the occasional character outside the BMP.
std::u32string phrase(rng& r, size_t chars, bool intl) {
  std::u32string s;
  while (s.size() < chars) {
    if (!s.empty()) s.push_back(U' ');
    s += ascii32(WORDS[r.below(NWORDS)]);
    if (intl) {
      switch (r.below(8)) {
        case 0: s += U"\u00e9t\u00e9"; break;
        case 1: s += U"\u20ac"; break;
        case 2: s += U"\u4e2d\u6587"; break;
        case 3: s += U"\U0001F600"; break;
        default: break;
      }
    }
  }
  s.resize(chars);
  return s;
}

void nvarchar_value(writer& w, const std::u32string& s) {
  w.u16(static_cast<uint16_t>(writer::utf16_len(s)));
  w.utf16(s);
}

void varchar_value(writer& w, const std::string& s) {
  w.u16(static_cast<uint16_t>(s.size()));
  w.raw(s.data(), s.size());
}

void mixed_rows(writer& w, uint64_t rows) {
  w.u8(TOKEN_COLMETADATA);
  w.u16(5);
  column(w, TYPE_INTN, "id", {4}, false);
  column(w, TYPE_DECIMALN, "amount", {9, 18, 2}, false);
  column(w, TYPE_FLTN, "ratio", {8}, false);
  column(w, TYPE_NVARCHAR, "customer", {128, 0}, true);
  column(w, TYPE_BIGVARCHR, "city", {64, 0}, true);
  rng r{0x9E3779B97F4A7C15ull};
  for (uint64_t i = 0; i < rows; ++i) {
    w.u8(TOKEN_ROW);
    w.u8(4);
    w.u32(static_cast<uint32_t>(i + 1));
    // Signed amounts up to a million, two decimals.
    const uint64_t cents = r.below(100000000);
    w.u8(9);
    w.u8(r.below(10) == 0 ? 0 : 1);
    w.u64(cents);
    if (r.below(20) == 0) {
      w.u8(0);  // NULL
    } else {
      double d = static_cast<double>(r.below(1000000)) / 997.0;
      uint64_t bits;
      std::memcpy(&bits, &d, sizeof d);
      w.u8(8);
      w.u64(bits);
    }
    nvarchar_value(w, phrase(r, 12 + r.below(20), false));
    std::string city = WORDS[r.below(NWORDS)];
    city += " ";
    city += WORDS[r.below(NWORDS)];
    varchar_value(w, city);
  }
  done(w, rows);
}

void text_rows(writer& w, uint64_t rows) {
  w.u8(TOKEN_COLMETADATA);
  w.u16(3);
  column(w, TYPE_INTN, "id", {4}, false);
  column(w, TYPE_NVARCHAR, "body", {0x40, 0x1F}, true);   // 8000 bytes
  column(w, TYPE_BIGVARCHR, "note", {0x40, 0x1F}, true);  // 8000 bytes
  rng r{0xD1B54A32D192ED03ull};
  for (uint64_t i = 0; i < rows; ++i) {
    w.u8(TOKEN_ROW);
    w.u8(4);
    w.u32(static_cast<uint32_t>(i + 1));
    nvarchar_value(w, phrase(r, 200 + r.below(1000), true));
    std::u32string note = phrase(r, 100 + r.below(1900), false);
    varchar_value(w, std::string(note.begin(), note.end()));
  }
  done(w, rows);
}

void listing_rows(writer& w, uint64_t rows) {
  w.u8(TOKEN_COLMETADATA);
  w.u16(3);
  column(w, TYPE_NVARCHAR, "name", {0, 1}, true);  // 256 bytes
  column(w, TYPE_INTN, "", {4}, false);
  column(w, TYPE_NVARCHAR, "recovery_model_desc", {120, 0}, true);
  const char* const models[] = {"FULL", "SIMPLE", "BULK_LOGGED"};
  for (uint64_t i = 0; i < rows; ++i) {
    w.u8(TOKEN_ROW);
    char name[32];
    std::snprintf(name, sizeof name, "db%04llu", static_cast<unsigned long long>(i + 1));
    nvarchar_value(w, ascii32(name));
    w.u8(4);
    w.u32(static_cast<uint32_t>(8 + (i * 37) % 5000));
    nvarchar_value(w, ascii32(models[i % 3]));
  }
  done(w, rows);
}

}  // namespace

const char* shape_name(shape s) {
  switch (s) {
    case shape::mixed: return "mixed";
    case shape::text: return "text";
    case shape::listing: return "listing";
  }
  return "?";
}

bytes build_response(shape s, uint64_t rows) {
  bytes out;
  writer w{out};
  switch (s) {
    case shape::mixed: mixed_rows(w, rows); break;
    case shape::text: text_rows(w, rows); break;
    case shape::listing: listing_rows(w, rows); break;
  }
  return out;
}

bytes build_sized_response(uint64_t len) {
  bytes out;
  writer w{out};
  w.u8(TOKEN_COLMETADATA);
  w.u16(1);
  column(w, TYPE_BIGVARCHR, "v", {0x40, 0x1F}, true);
  constexpr uint64_t DONE_LEN = 13;
  constexpr uint64_t ROW_MAX = 3 + 8000;  // token, length, 8000 bytes
  const uint64_t fill = len - out.size() - DONE_LEN;
  const uint64_t nrows = (fill + ROW_MAX - 1) / ROW_MAX;
  for (uint64_t k = 0; k < nrows; ++k) {
    // Spread the bytes evenly so every row stays within 8000.
    const uint64_t row_bytes = fill / nrows + (k < fill % nrows ? 1 : 0);
    w.u8(TOKEN_ROW);
    w.u16(static_cast<uint16_t>(row_bytes - 3));
    out.resize(out.size() + row_bytes - 3, static_cast<uint8_t>('a' + k % 26));
  }
  done(w, nrows);
  return out;
}

bytes packetise(const bytes& payload, uint64_t packet) {
  const uint64_t room = packet - HEADER_LEN;
  bytes out;
  out.reserve(payload.size() + (payload.size() / room + 1) * HEADER_LEN);
  uint64_t off = 0;
  uint8_t id = 1;
  do {
    const uint64_t n = payload.size() - off < room ? payload.size() - off : room;
    const uint64_t plen = n + HEADER_LEN;
    const bool last = off + n == payload.size();
    const uint8_t hdr[HEADER_LEN] = {PACKET_TABULAR, static_cast<uint8_t>(last ? STATUS_EOM : 0),
                                     static_cast<uint8_t>(plen >> 8), static_cast<uint8_t>(plen),
                                     0, 0, id++, 0};
    out.insert(out.end(), hdr, hdr + HEADER_LEN);
    out.insert(out.end(), payload.begin() + static_cast<ptrdiff_t>(off),
               payload.begin() + static_cast<ptrdiff_t>(off + n));
    off += n;
  } while (off < payload.size());
  return out;
}

bytes unpacketise(const bytes& wire) {
  bytes out;
  uint64_t pos = 0;
  while (wire.size() - pos >= HEADER_LEN) {
    const uint64_t plen = (static_cast<uint64_t>(wire[pos + 2]) << 8) | wire[pos + 3];
    if (plen < HEADER_LEN || plen > wire.size() - pos) break;
    out.insert(out.end(), wire.begin() + static_cast<ptrdiff_t>(pos + HEADER_LEN),
               wire.begin() + static_cast<ptrdiff_t>(pos + plen));
    pos += plen;
  }
  return out;
}

}  // namespace bench
