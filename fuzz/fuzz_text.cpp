// The text conversions on arbitrary bytes. The first input byte is the
// output capacity of the bounded conversions (and, modulo 3, the code page
// of the 8-bit conversion); the rest is the text.
//
// Any input: the output stays within its capacity (exact-size heap buffers),
// UTF-16 output has an even length and at most twice the input's length,
// UTF-8 output is terminated and well-formed, and a cut result is a prefix
// of the uncut one that stops only because the next character does not fit.
// Any bytes through UTF-16 and back give well-formed UTF-8 that keeps every
// ASCII byte of the input, in order, and adds none (no quote or bracket is
// ever swallowed or made up). utf8_valid agrees with an independent check.
// Well-formed input: UTF-8 -> UTF-16 -> UTF-8 and UTF-16 -> UTF-8 -> UTF-16
// give back the input.
// 8-bit text under each code page: well-formed UTF-8, ASCII kept, a cut
// only before a character that does not fit; as a character cell, in both
// the 2-byte-length and the chunked form, the cell holds the same text.
//
// The texts that reach the host's JSON answers (server messages, names,
// versions) pass json_escape and copy_text_cut: their output stays within
// its capacity. json_escape's is a valid JSON string body that, once
// unescaped, is well-formed UTF-8 and a prefix of the input with every byte
// that starts no well-formed character replaced by U+FFFD. copy_text_cut's
// is a prefix of the input, well-formed UTF-8 whenever the input was.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "tds_client/tds_client.h"
#include "tds_client/type_codes.h"
#include "vaultrun/answers.h"

namespace {

// The ASCII bytes of s[0..n), in order.
std::string ascii_of(const char* s, size_t n) {
  std::string r;
  for (size_t i = 0; i < n; ++i)
    if (static_cast<uint8_t>(s[i]) < 0x80) r += s[i];
  return r;
}

// Every surrogate in a pair, high then low (zero units allowed).
bool utf16_paired(const uint8_t* p, size_t n) {
  for (size_t i = 0; i + 1 < n; i += 2) {
    const uint32_t u = p[i] | (p[i + 1] << 8);
    if (u >= 0xDC00 && u <= 0xDFFF) return false;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (n - i < 4) return false;
      const uint32_t u2 = p[i + 2] | (p[i + 3] << 8);
      if (u2 < 0xDC00 || u2 > 0xDFFF) return false;
      i += 2;
    }
  }
  return true;
}

// At most two output bytes per input byte (four-byte sequences give a pair).
uint64_t ucs2_cap_for(size_t utf8_len) { return 2 * static_cast<uint64_t>(utf8_len) + 2; }
// At most three output bytes per code unit (a pair gives four for two), plus the NUL.
uint64_t utf8_cap_for(size_t utf16_len) { return 3 * static_cast<uint64_t>(utf16_len / 2) + 1; }

void check_to_ucs2(const uint8_t* data, size_t size, uint64_t cap) {
  std::unique_ptr<char[]> in = exact_text(data, size);
  const size_t len = std::strlen(in.get());

  std::vector<uint8_t> full(ucs2_cap_for(len));
  const uint64_t full_n = utf8_to_ucs2(in.get(), full.data(), full.size());
  FUZZ_CHECK(full_n % 2 == 0 && full_n <= 2 * static_cast<uint64_t>(len));

  std::unique_ptr<uint8_t[]> out(new uint8_t[cap]);
  const uint64_t n = utf8_to_ucs2(in.get(), out.get(), cap);
  FUZZ_CHECK(n % 2 == 0);
  FUZZ_CHECK(n <= cap);
  FUZZ_CHECK(n <= full_n);
  FUZZ_CHECK(n == 0 || std::memcmp(out.get(), full.data(), n) == 0);
  if (n < full_n) {
    // Cut: the next character (one unit, or a pair) must not have fitted.
    const uint32_t next = full[n] | (full[n + 1] << 8);
    const bool pair = next >= 0xD800 && next <= 0xDBFF;
    FUZZ_CHECK(cap - n < (pair ? 4u : 2u));
  }
  FUZZ_CHECK(utf16_paired(full.data(), full_n));

  // Back to UTF-8: well-formed, with the input's ASCII bytes exactly.
  std::vector<char> back(3 * len + 1);
  ucs2_to_utf8(full.data(), full_n, back.data(), back.size());
  const size_t back_len = std::strlen(back.data());
  FUZZ_CHECK(utf8_well_formed(reinterpret_cast<const uint8_t*>(back.data()), back_len));
  FUZZ_CHECK(ascii_of(back.data(), back_len) == ascii_of(in.get(), len));
  FUZZ_CHECK(utf8_valid(in.get(), len) ==
             utf8_well_formed(reinterpret_cast<const uint8_t*>(in.get()), len));
}

void check_to_utf8(const uint8_t* data, size_t size, uint64_t cap) {
  std::unique_ptr<uint8_t[]> in = exact_copy(data, size);

  std::vector<char> full(utf8_cap_for(size));
  ucs2_to_utf8(in.get(), size, full.data(), full.size());
  FUZZ_CHECK(terminated(full.data(), full.size()));
  const size_t full_len = std::strlen(full.data());
  FUZZ_CHECK(utf8_well_formed(reinterpret_cast<const uint8_t*>(full.data()), full_len));

  std::unique_ptr<char[]> out(new char[cap]);
  ucs2_to_utf8(in.get(), size, out.get(), cap);
  FUZZ_CHECK(terminated(out.get(), cap));
  const size_t len = std::strlen(out.get());
  FUZZ_CHECK(len < cap);
  FUZZ_CHECK(utf8_well_formed(reinterpret_cast<const uint8_t*>(out.get()), len));
  FUZZ_CHECK(len <= full_len);
  FUZZ_CHECK(std::memcmp(out.get(), full.data(), len) == 0);
  if (len < full_len) {
    // Cut before the text's end: the next sequence must not have fitted
    // beside the terminator.
    FUZZ_CHECK(len + utf8_seq_len(static_cast<uint8_t>(full[len])) >= cap);
  }
}

void check_round_trips(const uint8_t* data, size_t size, uint64_t cap) {
  if (utf8_well_formed(data, size)) {
    std::unique_ptr<char[]> in = exact_text(data, size);
    std::vector<uint8_t> wide(ucs2_cap_for(size));
    const uint64_t n = utf8_to_ucs2(in.get(), wide.data(), wide.size());
    FUZZ_CHECK(utf16_well_formed(wide.data(), n));
    std::vector<char> back(size + 1);
    ucs2_to_utf8(wide.data(), n, back.data(), back.size());
    FUZZ_CHECK(std::strlen(back.data()) == size);
    FUZZ_CHECK(std::memcmp(back.data(), data, size) == 0);

    // Cut to the capacity, the round trip gives a prefix of the text.
    std::unique_ptr<uint8_t[]> cut(new uint8_t[cap]);
    const uint64_t m = utf8_to_ucs2(in.get(), cut.get(), cap);
    ucs2_to_utf8(cut.get(), m, back.data(), back.size());
    const size_t blen = std::strlen(back.data());
    FUZZ_CHECK(std::memcmp(back.data(), data, blen) == 0);
    FUZZ_CHECK(utf8_well_formed(reinterpret_cast<const uint8_t*>(back.data()), blen));
  }
  if (utf16_well_formed(data, size)) {
    std::vector<char> narrow(utf8_cap_for(size));
    ucs2_to_utf8(data, size, narrow.data(), narrow.size());
    const size_t len = std::strlen(narrow.data());
    FUZZ_CHECK(utf8_well_formed(reinterpret_cast<const uint8_t*>(narrow.data()), len));
    std::vector<uint8_t> back(size + 2);
    const uint64_t n = utf8_to_ucs2(narrow.data(), back.data(), back.size());
    FUZZ_CHECK(n == size);
    FUZZ_CHECK(std::memcmp(back.data(), data, size) == 0);
  }
}

// At most three output bytes per input byte (U+FFFD, or a 1252 character),
// plus the NUL.
uint64_t cp_cap_for(size_t len) { return 3 * static_cast<uint64_t>(len) + 1; }

void check_code_page(const uint8_t* data, size_t size, uint64_t cap, uint32_t code_page) {
  std::unique_ptr<uint8_t[]> in = exact_copy(data, size);
  std::vector<char> full(cp_cap_for(size));
  codepage_to_utf8(in.get(), size, code_page, full.data(), full.size());
  FUZZ_CHECK(terminated(full.data(), full.size()));
  const size_t full_len = std::strlen(full.data());
  FUZZ_CHECK(utf8_well_formed(reinterpret_cast<const uint8_t*>(full.data()), full_len));
  // The text ends at a NUL byte of the input, if any.
  const std::string text = exact_text(data, size).get();
  FUZZ_CHECK(ascii_of(full.data(), full_len) == ascii_of(text.data(), text.size()));

  std::unique_ptr<char[]> out(new char[cap]);
  codepage_to_utf8(in.get(), size, code_page, out.get(), cap);
  FUZZ_CHECK(terminated(out.get(), cap));
  const size_t len = std::strlen(out.get());
  FUZZ_CHECK(len <= full_len && std::memcmp(out.get(), full.data(), len) == 0);
  if (len < full_len) FUZZ_CHECK(len + utf8_seq_len(static_cast<uint8_t>(full[len])) >= cap);
}

// The same bytes as the value of a BIGVARCHR cell under a collation of the
// code page, in the 2-byte-length form and in the chunked form with chunks
// of a size the input picks: the same, well-formed text either way.
void check_cell(const uint8_t* data, size_t size, uint64_t cap, uint32_t code_page) {
  static const uint8_t COLLATIONS[3][TDS_COLLATION_LEN] = {
      {0x19, 0x04, 0xD0, 0x00, 0x00},   // Cyrillic: no table
      {0x09, 0x04, 0xD0, 0x00, 0x34},   // Windows-1252
      {0x09, 0x04, 0xD0, 0x14, 0x00}};  // UTF-8
  const int which = code_page == TDS_CP_1252 ? 1 : code_page == TDS_CP_UTF8 ? 2 : 0;
  if (size > 0xFFFE) return;
  tds_col col{};
  col.type = TDS_TYPE_BIGVARCHR;
  std::memcpy(col.collation, COLLATIONS[which], TDS_COLLATION_LEN);

  std::vector<uint8_t> plain = {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8)};
  plain.insert(plain.end(), data, data + size);
  std::vector<uint8_t> chunked(8, 0xFF);
  chunked[0] = 0xFE;  // total length not given
  const size_t step = 1 + cap % 17;
  for (size_t off = 0; off < size; off += step) {
    const size_t n = std::min(step, size - off);
    chunked.insert(chunked.end(), {static_cast<uint8_t>(n), 0, 0, 0});
    chunked.insert(chunked.end(), data + off, data + off + n);
  }
  chunked.insert(chunked.end(), {0, 0, 0, 0});

  std::string cells[2];
  for (int form = 0; form < 2; ++form) {
    const std::vector<uint8_t>& v = form == 0 ? plain : chunked;
    col.max_len = form == 0 ? 8000 : 0xFFFF;
    std::unique_ptr<uint8_t[]> in = exact_copy(v.data(), v.size());
    std::unique_ptr<char[]> cell(new char[TDS_CELL_SIZE]);
    int32_t is_null = 0;
    FUZZ_CHECK(read_value(in.get(), in.get() + v.size(), &col, cell.get(), &is_null) ==
               static_cast<int>(v.size()));
    FUZZ_CHECK(terminated(cell.get(), TDS_CELL_SIZE));
    cells[form] = cell.get();
    const uint8_t* text = reinterpret_cast<const uint8_t*>(cells[form].data());
    FUZZ_CHECK(utf8_well_formed(text, cells[form].size()));
  }
  FUZZ_CHECK(cells[0] == cells[1]);
}

// Undoes json_escape; false when esc is not a valid JSON string body.
bool json_unescape(const char* esc, std::string* out) {
  static const char HEX[] = "0123456789abcdef";
  for (const char* p = esc; *p != 0; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == '"') return false;
    if (c != '\\') {
      out->push_back(static_cast<char>(c));
      continue;
    }
    switch (*++p) {
      case '"': out->push_back('"'); break;
      case '\\': out->push_back('\\'); break;
      case 'n': out->push_back('\n'); break;
      case 'r': out->push_back('\r'); break;
      case 't': out->push_back('\t'); break;
      case 'u': {
        int v = 0;
        for (int k = 0; k < 4; ++k) {
          const char* h = p[1] != 0 ? std::strchr(HEX, p[1]) : nullptr;
          if (h == nullptr) return false;
          v = v * 16 + static_cast<int>(h - HEX);
          ++p;
        }
        if (v >= 0x20) return false;  // only control characters take this form
        out->push_back(static_cast<char>(v));
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

// The text with every byte that starts no well-formed character replaced by
// U+FFFD, one replacement a byte.
std::string with_replacements(const char* s, size_t n) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(s);
  std::string out;
  size_t i = 0;
  while (i < n) {
    const size_t k = utf8_seq_len(p[i]);
    if (k != 0 && n - i >= k && utf8_well_formed(p + i, k)) {
      out.append(s + i, k);
      i += k;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

void check_answer_texts(const uint8_t* data, size_t size, uint64_t cap) {
  std::unique_ptr<char[]> in = exact_text(data, size);
  const size_t len = std::strlen(in.get());
  const bool well_formed = utf8_well_formed(reinterpret_cast<const uint8_t*>(in.get()), len);

  const size_t esc_cap = cap < 7 ? 7 : cap;  // the escaper's smallest capacity
  std::unique_ptr<char[]> esc(new char[esc_cap]);
  json_escape(in.get(), esc.get(), esc_cap);
  FUZZ_CHECK(terminated(esc.get(), esc_cap));
  std::string plain;
  FUZZ_CHECK(json_unescape(esc.get(), &plain));
  const std::string clean = with_replacements(in.get(), len);
  FUZZ_CHECK(plain.size() <= clean.size() && std::memcmp(plain.data(), clean.data(), plain.size()) == 0);
  FUZZ_CHECK(utf8_well_formed(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()));

  const size_t cut_cap = cap == 0 ? 1 : cap;
  std::unique_ptr<char[]> cut(new char[cut_cap]);
  copy_text_cut(cut.get(), cut_cap, in.get());
  FUZZ_CHECK(terminated(cut.get(), cut_cap));
  const size_t cut_len = std::strlen(cut.get());
  FUZZ_CHECK(cut_len <= len && std::memcmp(cut.get(), in.get(), cut_len) == 0);
  if (well_formed) FUZZ_CHECK(utf8_well_formed(reinterpret_cast<const uint8_t*>(cut.get()), cut_len));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint64_t cap = data[0];
  ++data;
  --size;
  check_to_ucs2(data, size, cap);
  check_to_utf8(data, size, cap == 0 ? 1 : cap);
  check_round_trips(data, size, cap);
  check_answer_texts(data, size, cap);
  static const uint32_t CODE_PAGES[3] = {TDS_CP_OTHER, TDS_CP_1252, TDS_CP_UTF8};
  const uint32_t code_page = CODE_PAGES[cap % 3];
  check_code_page(data, size, cap == 0 ? 1 : cap, code_page);
  check_cell(data, size, cap, code_page);
  return 0;
}
