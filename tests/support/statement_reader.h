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

inline token nstr(const std::string& utf8) { return {kind::nstring, utf16_of(utf8)}; }
inline token num(long long v) {
  std::string d = std::to_string(v);
  return {kind::number, std::u16string(d.begin(), d.end())};
}

// Everything a backup's statements are made of, as the host gave it.
struct backup_shape {
  std::string database;
  std::vector<std::string> targets;  // one path, or the stripes
  bool log = false, differential = false;
  bool compression = true, copy_only = false, init = false, checksum = false;
  std::string name, description, credential;
  long long buffer_count = 0, max_transfer_size = 0, block_size = 0;
  std::u16string cipher;  // empty: no encryption
  std::string certificate, asymmetric_key;
};

inline bool is_url(const std::string& t) {
  std::string low;
  for (char c : t.substr(0, 8)) low += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return low.rfind("https://", 0) == 0 || low.rfind("s3://", 0) == 0;
}

// DISK = N'a', DISK = N'b' (URL for URLs).
inline void add_targets(std::vector<token>& want, const backup_shape& b) {
  for (size_t i = 0; i < b.targets.size(); ++i) {
    if (i > 0) want.push_back(p(u','));
    want.insert(want.end(), {w(is_url(b.targets[i]) ? u"URL" : u"DISK"), p(u'='), nstr(b.targets[i])});
  }
}

inline void add_option(std::vector<token>& want, const char16_t* word, token value) {
  want.insert(want.end(), {p(u','), w(word), p(u'='), value});
}

// The tokens of the one intended backup statement.
inline std::vector<token> backup_tokens(const backup_shape& b) {
  std::vector<token> want = {w(u"BACKUP"), w(b.log ? u"LOG" : u"DATABASE"), {kind::ident, utf16_of(b.database)},
                             w(u"TO")};
  add_targets(want, b);
  want.insert(want.end(), {w(u"WITH"), w(u"STATS"), p(u'='), num(5)});
  if (b.compression) want.insert(want.end(), {p(u','), w(u"COMPRESSION")});
  if (b.copy_only) want.insert(want.end(), {p(u','), w(u"COPY_ONLY")});
  if (b.differential) want.insert(want.end(), {p(u','), w(u"DIFFERENTIAL")});
  if (b.init) want.insert(want.end(), {p(u','), w(u"INIT")});
  if (b.checksum) want.insert(want.end(), {p(u','), w(u"CHECKSUM")});
  if (!b.name.empty()) add_option(want, u"NAME", nstr(b.name));
  if (!b.description.empty()) add_option(want, u"DESCRIPTION", nstr(b.description));
  if (b.buffer_count) add_option(want, u"BUFFERCOUNT", num(b.buffer_count));
  if (b.max_transfer_size) add_option(want, u"MAXTRANSFERSIZE", num(b.max_transfer_size));
  if (b.block_size) add_option(want, u"BLOCKSIZE", num(b.block_size));
  if (!b.credential.empty()) add_option(want, u"CREDENTIAL", nstr(b.credential));
  if (!b.cipher.empty()) {
    const bool cert = !b.certificate.empty();
    want.insert(want.end(), {p(u','), w(u"ENCRYPTION"), p(u'('), w(u"ALGORITHM"), p(u'='), w(b.cipher.c_str()),
                             p(u','), w(u"SERVER")});
    if (cert) want.push_back(w(u"CERTIFICATE"));
    else want.insert(want.end(), {w(u"ASYMMETRIC"), w(u"KEY")});
    want.insert(want.end(), {p(u'='), {kind::ident, utf16_of(cert ? b.certificate : b.asymmetric_key)}, p(u')')});
  }
  return want;
}

// The tokens of the one intended verification of set `file`.
inline std::vector<token> verify_tokens(const backup_shape& b, long long file) {
  std::vector<token> want = {w(u"RESTORE"), w(u"VERIFYONLY"), w(u"FROM")};
  add_targets(want, b);
  want.insert(want.end(), {w(u"WITH"), w(u"FILE"), p(u'='), num(file)});
  if (b.checksum) want.insert(want.end(), {p(u','), w(u"CHECKSUM")});
  if (!b.credential.empty()) add_option(want, u"CREDENTIAL", nstr(b.credential));
  return want;
}

// The tokens of the one intended history query over the last `seconds`.
inline std::vector<token> history_tokens(const backup_shape& b, long long seconds) {
  std::vector<token> want = {w(u"SELECT"), w(u"TOP"), p(u'('), num(2), p(u')'), w(u"s"), p(u'.'), w(u"position"),
                             w(u"FROM"), w(u"msdb"), p(u'.'), w(u"dbo"), p(u'.'), w(u"backupset"), w(u"AS"), w(u"s"),
                             w(u"JOIN"), w(u"msdb"), p(u'.'), w(u"dbo"), p(u'.'), w(u"backupmediafamily"), w(u"AS"),
                             w(u"f"), w(u"ON"), w(u"f"), p(u'.'), w(u"media_set_id"), p(u'='), w(u"s"), p(u'.'),
                             w(u"media_set_id"), w(u"WHERE"), w(u"s"), p(u'.'), w(u"database_name"), p(u'='),
                             nstr(b.database), w(u"AND"), w(u"s"), p(u'.'), w(u"type"), p(u'=')};
  want.push_back({kind::string, b.log ? u"L" : b.differential ? u"I" : u"D"});
  want.insert(want.end(), {w(u"AND"), w(u"f"), p(u'.'), w(u"physical_device_name"), p(u'='), nstr(b.targets.at(0)),
                           w(u"AND"), w(u"s"), p(u'.'), w(u"backup_finish_date"), p(u'>'), p(u'='), w(u"DATEADD"),
                           p(u'('), w(u"SECOND"), p(u','), p(u'-'), num(seconds), p(u','), w(u"GETDATE"), p(u'('),
                           p(u')'), p(u')'), w(u"ORDER"), w(u"BY"), w(u"s"), p(u'.'), w(u"backup_set_id"), w(u"DESC")});
  return want;
}

// The tokens of one intended restore step from set `file` with at most one
// move (logical, physical), and of the recovery that ends a restore.
inline std::vector<token> restore_step_tokens(const backup_shape& b, bool log, long long file,
                                              const std::string& logical, const std::string& physical) {
  std::vector<token> want = {w(u"RESTORE"), w(log ? u"LOG" : u"DATABASE"), {kind::ident, utf16_of(b.database)},
                             w(u"FROM")};
  add_targets(want, b);
  want.insert(want.end(), {w(u"WITH"), w(u"FILE"), p(u'='), num(file), p(u','), w(u"NORECOVERY")});
  if (!log && !logical.empty()) {
    want.insert(want.end(), {p(u','), w(u"MOVE"), nstr(logical), w(u"TO"), nstr(physical)});
  }
  if (b.checksum) want.insert(want.end(), {p(u','), w(u"CHECKSUM")});
  if (!b.credential.empty()) add_option(want, u"CREDENTIAL", nstr(b.credential));
  add_option(want, u"STATS", num(5));
  return want;
}

inline std::vector<token> recovery_tokens(const backup_shape& b) {
  return {w(u"RESTORE"), w(u"DATABASE"), {kind::ident, utf16_of(b.database)}, w(u"WITH"), w(u"RECOVERY")};
}

// "" when the UTF-16LE wire text is exactly
// BACKUP DATABASE [database] TO DISK = N'path' WITH STATS = 5[, COMPRESSION][, COPY_ONLY].
inline std::string check_backup(const uint8_t* wire, size_t n, const std::string& database,
                                const std::string& path, bool compression, bool copy_only) {
  backup_shape b;
  b.database = database;
  b.targets = {path};
  b.compression = compression;
  b.copy_only = copy_only;
  return check(wire, n, backup_tokens(b));
}

// "" when the UTF-16LE wire text is exactly RESTORE VERIFYONLY FROM DISK = N'path' WITH FILE = file.
inline std::string check_verify(const uint8_t* wire, size_t n, const std::string& path, long long file = 1) {
  backup_shape b;
  b.targets = {path};
  return check(wire, n, verify_tokens(b, file));
}

}  // namespace statement_reader
