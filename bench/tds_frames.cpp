#include "tds_frames.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>

#include "wire.h"

namespace bench {
namespace {

// Server bytes come from the simulated server's encoders (wire.h), so the
// benchmarks decode what the simulated server would send.
using sim::Tokens;

constexpr uint16_t FLAGS_NULLABLE = 0x0009;  // nullable, updateable unknown

constexpr uint8_t TYPE_DECIMALN = 0x6A;
constexpr uint8_t TYPE_FLTN = 0x6D;
constexpr uint8_t TYPE_BIGVARCHR = 0xA7;
using sim::TYPE_INTN;
using sim::TYPE_NVARCHAR;

// Column description: the type code, its TYPE_INFO, the collation where
// the type has one, and the name.
void column(Tokens& t, uint8_t type, const char* name, std::initializer_list<uint8_t> info,
            bool collation) {
  bytes ti(info);
  if (collation) ti.insert(ti.end(), sim::DEFAULT_COLLATION, sim::DEFAULT_COLLATION + 5);
  t.column(FLAGS_NULLABLE, type, ti, name);
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

std::string utf8(const std::u32string& s) {
  std::string out;
  for (char32_t c : s) sim::put_utf8(out, c);
  return out;
}

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

void nvarchar_value(sim::Builder& w, const std::u32string& s) { w.us_bytes(sim::utf16le(utf8(s))); }

void varchar_value(sim::Builder& w, const std::string& s) { w.us_bytes(bytes(s.begin(), s.end())); }

void row_count(Tokens& t, uint64_t rows) { t.done(sim::DONE_COUNT, sim::CMD_SELECT, rows); }

void mixed_rows(Tokens& t, uint64_t rows) {
  t.colmetadata_begin(5);
  column(t, TYPE_INTN, "id", {4}, false);
  column(t, TYPE_DECIMALN, "amount", {9, 18, 2}, false);
  column(t, TYPE_FLTN, "ratio", {8}, false);
  column(t, TYPE_NVARCHAR, "customer", {128, 0}, true);
  column(t, TYPE_BIGVARCHR, "city", {64, 0}, true);
  sim::Builder& w = t.b;
  rng r{0x9E3779B97F4A7C15ull};
  for (uint64_t i = 0; i < rows; ++i) {
    w.u8(sim::TOK_ROW);
    w.u8(4);
    w.u32le(static_cast<uint32_t>(i + 1));
    // Signed amounts up to a million, two decimals.
    const uint64_t cents = r.below(100000000);
    w.u8(9);
    w.u8(r.below(10) == 0 ? 0 : 1);
    w.u64le(cents);
    if (r.below(20) == 0) {
      w.u8(0);  // NULL
    } else {
      double d = static_cast<double>(r.below(1000000)) / 997.0;
      uint64_t bits;
      std::memcpy(&bits, &d, sizeof d);
      w.u8(8);
      w.u64le(bits);
    }
    nvarchar_value(w, phrase(r, 12 + r.below(20), false));
    std::string city = WORDS[r.below(NWORDS)];
    city += " ";
    city += WORDS[r.below(NWORDS)];
    varchar_value(w, city);
  }
  row_count(t, rows);
}

void text_rows(Tokens& t, uint64_t rows) {
  t.colmetadata_begin(3);
  column(t, TYPE_INTN, "id", {4}, false);
  column(t, TYPE_NVARCHAR, "body", {0x40, 0x1F}, true);   // 8000 bytes
  column(t, TYPE_BIGVARCHR, "note", {0x40, 0x1F}, true);  // 8000 bytes
  sim::Builder& w = t.b;
  rng r{0xD1B54A32D192ED03ull};
  for (uint64_t i = 0; i < rows; ++i) {
    w.u8(sim::TOK_ROW);
    w.u8(4);
    w.u32le(static_cast<uint32_t>(i + 1));
    nvarchar_value(w, phrase(r, 200 + r.below(1000), true));
    std::u32string note = phrase(r, 100 + r.below(1900), false);
    varchar_value(w, std::string(note.begin(), note.end()));
  }
  row_count(t, rows);
}

void listing_rows(Tokens& t, uint64_t rows) {
  t.colmetadata_begin(3);
  column(t, TYPE_NVARCHAR, "name", {0, 1}, true);  // 256 bytes
  column(t, TYPE_INTN, "", {4}, false);
  column(t, TYPE_NVARCHAR, "recovery_model_desc", {120, 0}, true);
  sim::Builder& w = t.b;
  const char* const models[] = {"FULL", "SIMPLE", "BULK_LOGGED"};
  for (uint64_t i = 0; i < rows; ++i) {
    w.u8(sim::TOK_ROW);
    char name[32];
    std::snprintf(name, sizeof name, "db%04llu", static_cast<unsigned long long>(i + 1));
    nvarchar_value(w, ascii32(name));
    w.u8(4);
    w.u32le(static_cast<uint32_t>(8 + (i * 37) % 5000));
    nvarchar_value(w, ascii32(models[i % 3]));
  }
  row_count(t, rows);
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
  Tokens t;
  switch (s) {
    case shape::mixed: mixed_rows(t, rows); break;
    case shape::text: text_rows(t, rows); break;
    case shape::listing: listing_rows(t, rows); break;
  }
  return std::move(t.b.out);
}

bytes build_sized_response(uint64_t len) {
  Tokens t;
  t.colmetadata_begin(1);
  column(t, TYPE_BIGVARCHR, "v", {0x40, 0x1F}, true);
  bytes& out = t.b.out;
  constexpr uint64_t DONE_LEN = 13;
  constexpr uint64_t ROW_MAX = 3 + 8000;  // token, length, 8000 bytes
  const uint64_t fill = len - out.size() - DONE_LEN;
  const uint64_t nrows = (fill + ROW_MAX - 1) / ROW_MAX;
  for (uint64_t k = 0; k < nrows; ++k) {
    // Spread the bytes evenly so every row stays within 8000.
    const uint64_t row_bytes = fill / nrows + (k < fill % nrows ? 1 : 0);
    t.b.u8(sim::TOK_ROW);
    t.b.u16le(static_cast<uint16_t>(row_bytes - 3));
    out.resize(out.size() + row_bytes - 3, static_cast<uint8_t>('a' + k % 26));
  }
  row_count(t, nrows);
  return std::move(out);
}

bytes packetise(const bytes& payload, uint64_t packet) {
  return sim::frame_message(sim::PKT_REPLY, payload, static_cast<size_t>(packet), 1);
}

bytes unpacketise(const bytes& wire) {
  constexpr uint64_t HEADER_LEN = sim::PACKET_HEADER_LEN;
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
