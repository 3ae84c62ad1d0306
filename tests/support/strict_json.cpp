#include "strict_json.h"

#include <cstdint>

namespace {

struct reader {
  const std::string& s;
  size_t i = 0;
  std::string why;

  bool fail(const std::string& what) {
    if (why.empty()) why = what + " at byte " + std::to_string(i);
    return false;
  }
  bool at_end() const { return i >= s.size(); }
  char peek() const { return at_end() ? '\0' : s[i]; }
  void skip_space() {
    while (!at_end() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
  }
  bool literal(const char* word) {
    for (const char* w = word; *w; ++w, ++i)
      if (at_end() || s[i] != *w) return fail(std::string("bad literal ") + word);
    return true;
  }
  bool digits() {
    if (at_end() || s[i] < '0' || s[i] > '9') return fail("digit expected");
    while (!at_end() && s[i] >= '0' && s[i] <= '9') ++i;
    return true;
  }
  bool number() {
    if (peek() == '-') ++i;
    if (peek() == '0') {
      ++i;
    } else if (!digits()) {
      return false;
    }
    if (peek() == '.') {
      ++i;
      if (!digits()) return false;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++i;
      if (peek() == '+' || peek() == '-') ++i;
      if (!digits()) return false;
    }
    return true;
  }
  bool hex4(uint32_t* v) {
    *v = 0;
    for (int k = 0; k < 4; ++k, ++i) {
      char c = peek();
      int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) return fail("bad \\u escape");
      *v = *v * 16 + static_cast<uint32_t>(d);
    }
    return true;
  }
  bool escape() {
    ++i;  // the backslash
    char c = peek();
    ++i;
    switch (c) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        return true;
      case 'u': {
        uint32_t u;
        if (!hex4(&u)) return false;
        if (u >= 0xDC00 && u <= 0xDFFF) return fail("lone low surrogate escape");
        if (u >= 0xD800 && u <= 0xDBFF) {
          uint32_t lo;
          if (peek() != '\\' || i + 1 >= s.size() || s[i + 1] != 'u') return fail("lone high surrogate escape");
          i += 2;
          if (!hex4(&lo)) return false;
          if (lo < 0xDC00 || lo > 0xDFFF) return fail("lone high surrogate escape");
        }
        return true;
      }
      default:
        return fail("unknown escape");
    }
  }
  bool string() {
    ++i;  // the opening quote
    size_t run = i;
    while (true) {
      if (at_end()) return fail("string left open");
      const unsigned char c = static_cast<unsigned char>(s[i]);
      if (c == '"' || c == '\\') {
        if (!utf8_well_formed_text(s.substr(run, i - run))) return fail("invalid UTF-8 in string");
        if (c == '"') {
          ++i;
          return true;
        }
        if (!escape()) return false;
        run = i;
        continue;
      }
      if (c < 0x20) return fail("raw control character in string");
      ++i;
    }
  }
  bool value(int depth) {
    if (depth > 64) return fail("nested too deeply");
    skip_space();
    switch (peek()) {
      case '{': return object(depth);
      case '[': return array(depth);
      case '"': return string();
      case 't': return literal("true");
      case 'f': return literal("false");
      case 'n': return literal("null");
      default: return number();
    }
  }
  bool object(int depth) {
    ++i;
    skip_space();
    if (peek() == '}') return ++i, true;
    while (true) {
      skip_space();
      if (peek() != '"') return fail("member name expected");
      if (!string()) return false;
      skip_space();
      if (peek() != ':') return fail("colon expected");
      ++i;
      if (!value(depth + 1)) return false;
      skip_space();
      if (peek() == ',') {
        ++i;
        continue;
      }
      if (peek() == '}') return ++i, true;
      return fail("comma or closing brace expected");
    }
  }
  bool array(int depth) {
    ++i;
    skip_space();
    if (peek() == ']') return ++i, true;
    while (true) {
      if (!value(depth + 1)) return false;
      skip_space();
      if (peek() == ',') {
        ++i;
        continue;
      }
      if (peek() == ']') return ++i, true;
      return fail("comma or closing bracket expected");
    }
  }
};

}  // namespace

bool utf8_well_formed_text(const std::string& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t i = 0, n = s.size();
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t k;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      k = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      k = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      k = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i < k || p[i + 1] < lo || p[i + 1] > hi) return false;
    for (size_t j = 2; j < k; ++j)
      if ((p[i + j] & 0xC0) != 0x80) return false;
    i += k;
  }
  return true;
}

std::string strict_json_problem(const std::string& text) {
  reader r{text, 0, {}};
  if (!r.value(0)) return r.why;
  r.skip_space();
  if (!r.at_end()) {
    r.fail("text after the document");
    return r.why;
  }
  return "";
}
