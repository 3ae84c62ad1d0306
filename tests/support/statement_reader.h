// Reads a backup statement back from the UTF-16LE that goes on the wire, the
// way the server's lexer does: words, bracketed identifiers ("]]" inside
// stands for "]"), N'' and '' literals ("''" inside stands for "'"),
// numbers, comments and single punctuation. A statement is accepted only
// when its tokens are exactly those of the one intended statement and its
// identifier and literal decode back to the given texts, so a name or path
// that closed its delimiter early, opened a comment or added a statement is
// caught however it did it.
//
// Header-only and free of the test framework, so the fuzz targets use it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace statement_reader {

enum class kind { word, ident, nstring, string, number, punct, comment };

struct token {
  kind k;
  std::u16string text;  // delimiters removed and doubled closers undone
};

// UTF-16 of well-formed UTF-8, written here rather than taken from the
// library so that a fault in the library's converter cannot cancel out.
inline std::u16string utf16_of(const std::string& utf8) {
  std::u16string out;
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  size_t i = 0;
  while (i < utf8.size()) {
    uint32_t c = p[i];
    size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (n > 1) c &= 0x3F >> (n - 1);
    for (size_t k = 1; k < n && i + k < utf8.size(); ++k) c = (c << 6) | (p[i + k] & 0x3F);
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += n;
  }
  return out;
}

// A JSON string body that the configuration reader turns back into exactly
// these bytes (no NUL): only the quote and the backslash need a pair, the
// tokenizer takes every other byte as it is.
inline std::string json_body(const std::string& bytes) {
  std::string out;
  for (char c : bytes) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

inline std::u16string from_le(const uint8_t* b, size_t n) {
  std::u16string s;
  for (size_t i = 0; i + 1 < n; i += 2) s += static_cast<char16_t>(b[i] | (b[i + 1] << 8));
  return s;
}

inline bool is_word_char(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_';
}

// Reads a delimited body from s[i] (just past the opener) up to `closer`,
// a doubled closer standing for itself. False when the text ends inside.
inline bool read_delimited(const std::u16string& s, size_t& i, char16_t closer, std::u16string& body) {
  for (; i < s.size(); ++i) {
    if (s[i] != closer) {
      body += s[i];
      continue;
    }
    if (i + 1 < s.size() && s[i + 1] == closer) {
      body += closer;
      ++i;
      continue;
    }
    ++i;
    return true;
  }
  return false;
}

// Splits s into tokens; false with *why set when a delimiter is left open.
inline bool lex(const std::u16string& s, std::vector<token>* out, std::string* why) {
  size_t i = 0;
  while (i < s.size()) {
    const char16_t c = s[i];
    if (c == u' ' || c == u'\t' || c == u'\r' || c == u'\n') {
      ++i;
    } else if (c == u'-' && i + 1 < s.size() && s[i + 1] == u'-') {
      size_t e = s.find(u'\n', i);
      e = e == std::u16string::npos ? s.size() : e;
      out->push_back({kind::comment, s.substr(i, e - i)});
      i = e;
    } else if (c == u'/' && i + 1 < s.size() && s[i + 1] == u'*') {
      size_t e = s.find(u"*/", i + 2);
      if (e == std::u16string::npos) return *why = "comment left open", false;
      out->push_back({kind::comment, s.substr(i, e + 2 - i)});
      i = e + 2;
    } else if (c == u'[') {
      token t{kind::ident, {}};
      ++i;
      if (!read_delimited(s, i, u']', t.text)) return *why = "identifier left open", false;
      out->push_back(t);
    } else if ((c == u'N' || c == u'n') && i + 1 < s.size() && s[i + 1] == u'\'') {
      token t{kind::nstring, {}};
      i += 2;
      if (!read_delimited(s, i, u'\'', t.text)) return *why = "literal left open", false;
      out->push_back(t);
    } else if (c == u'\'') {
      token t{kind::string, {}};
      ++i;
      if (!read_delimited(s, i, u'\'', t.text)) return *why = "literal left open", false;
      out->push_back(t);
    } else if (c >= u'0' && c <= u'9') {
      size_t e = i;
      while (e < s.size() && s[e] >= u'0' && s[e] <= u'9') ++e;
      out->push_back({kind::number, s.substr(i, e - i)});
      i = e;
    } else if (is_word_char(c)) {
      size_t e = i;
      while (e < s.size() && is_word_char(s[e])) ++e;
      out->push_back({kind::word, s.substr(i, e - i)});
      i = e;
    } else {
      out->push_back({kind::punct, s.substr(i, 1)});
      ++i;
    }
  }
  return true;
}

inline std::string narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

inline std::string describe(const token& t) {
  static const char* names[] = {"word", "identifier", "N-literal", "literal", "number", "punctuation", "comment"};
  return std::string(names[static_cast<int>(t.k)]) + " '" + narrow(t.text) + "'";
}

// "" when got holds exactly the tokens of want, else the first difference.
inline std::string compare(const std::vector<token>& got, const std::vector<token>& want) {
  for (size_t i = 0; i < got.size() || i < want.size(); ++i) {
    if (i >= got.size()) return "statement ends before " + describe(want[i]);
    if (i >= want.size()) return "extra " + describe(got[i]);
    if (got[i].k != want[i].k || got[i].text != want[i].text)
      return "token " + std::to_string(i) + ": " + describe(got[i]) + " instead of " + describe(want[i]);
  }
  return "";
}

inline std::string check(const uint8_t* wire, size_t n, const std::vector<token>& want) {
  std::vector<token> got;
  std::string why;
  if (!lex(from_le(wire, n), &got, &why)) return why;
  return compare(got, want);
}

inline token w(const char16_t* text) { return {kind::word, text}; }
inline token p(char16_t c) { return {kind::punct, std::u16string(1, c)}; }

// "" when the UTF-16LE wire text is exactly
// BACKUP DATABASE [database] TO DISK = N'path' WITH STATS = 5[, COMPRESSION][, COPY_ONLY].
inline std::string check_backup(const uint8_t* wire, size_t n, const std::string& database,
                                const std::string& path, bool compression, bool copy_only) {
  std::vector<token> want = {w(u"BACKUP"), w(u"DATABASE"), {kind::ident, utf16_of(database)},
                             w(u"TO"), w(u"DISK"), p(u'='), {kind::nstring, utf16_of(path)},
                             w(u"WITH"), w(u"STATS"), p(u'='), {kind::number, u"5"}};
  if (compression) want.insert(want.end(), {p(u','), w(u"COMPRESSION")});
  if (copy_only) want.insert(want.end(), {p(u','), w(u"COPY_ONLY")});
  return check(wire, n, want);
}

// "" when the UTF-16LE wire text is exactly RESTORE VERIFYONLY FROM DISK = N'path'.
inline std::string check_verify(const uint8_t* wire, size_t n, const std::string& path) {
  return check(wire, n, {w(u"RESTORE"), w(u"VERIFYONLY"), w(u"FROM"), w(u"DISK"), p(u'='),
                         {kind::nstring, utf16_of(path)}});
}

}  // namespace statement_reader
