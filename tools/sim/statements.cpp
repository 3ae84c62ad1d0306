#include "statements.h"

#include <cctype>
#include <cstdlib>

namespace sim {

const char* const VERSION_QUERY =
    "SELECT CAST(SERVERPROPERTY('ProductVersion') AS NVARCHAR(64)) + N' ' + "
    "CAST(SERVERPROPERTY('Edition') AS NVARCHAR(64))";
const char* const LISTING_QUERY =
    "SELECT d.name, CAST(SUM(mf.size) * 8 / 1024 AS INT), d.recovery_model_desc "
    "FROM sys.databases d JOIN sys.master_files mf ON mf.database_id = d.database_id "
    "WHERE d.database_id > 4 AND d.state = 0 GROUP BY d.name, d.recovery_model_desc "
    "ORDER BY d.name";

namespace {

enum class Kind { Word, Ident, String, Number, Punct };

struct Token {
  Kind kind;
  std::string text;   // Word as written; Ident and String with quoting undone
  bool national = false;  // String written N'...'
};

struct Lexed {
  std::vector<Token> tokens;
  bool open = false;      // a quote or bracket was never closed
  std::string unclosed;  // the text after it
};

std::string upper(std::string s) {
  for (char& c : s) c = char(std::toupper(uint8_t(c)));
  return s;
}

bool word_start(char c) {
  return std::isalpha(uint8_t(c)) || c == '_' || c == '#' || c == '@' || (uint8_t(c) >= 0x80);
}

bool word_char(char c) {
  return std::isalnum(uint8_t(c)) || c == '_' || c == '#' || c == '@' || c == '$' ||
         (uint8_t(c) >= 0x80);
}

// Reads a quoted run starting after the opening character; a doubled closer
// stands for one. Returns false when the text ends first.
bool quoted(const std::string& s, size_t& i, char closer, std::string& out) {
  while (i < s.size()) {
    if (s[i] == closer) {
      if (i + 1 < s.size() && s[i + 1] == closer) {
        out += closer;
        i += 2;
        continue;
      }
      ++i;
      return true;
    }
    out += s[i++];
  }
  return false;
}

Lexed lex(const std::string& s) {
  Lexed r;
  size_t i = 0;
  while (i < s.size()) {
    char c = s[i];
    if (std::isspace(uint8_t(c))) {
      ++i;
    } else if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
      while (i < s.size() && s[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
      size_t end = s.find("*/", i + 2);
      i = end == std::string::npos ? s.size() : end + 2;
    } else if (c == '\'' || ((c == 'N' || c == 'n') && i + 1 < s.size() && s[i + 1] == '\'')) {
      Token t{Kind::String, "", c != '\''};
      i += t.national ? 2 : 1;
      size_t start = i;
      if (!quoted(s, i, '\'', t.text)) {
        r.open = true;
        r.unclosed = s.substr(start);
        return r;
      }
      r.tokens.push_back(t);
    } else if (c == '[' || c == '"') {
      Token t{Kind::Ident, "", false};
      size_t start = ++i;
      if (!quoted(s, i, c == '[' ? ']' : '"', t.text)) {
        r.open = true;
        r.unclosed = s.substr(start);
        return r;
      }
      r.tokens.push_back(t);
    } else if (std::isdigit(uint8_t(c))) {
      size_t start = i;
      while (i < s.size() && (std::isdigit(uint8_t(s[i])) || s[i] == '.')) ++i;
      r.tokens.push_back({Kind::Number, s.substr(start, i - start), false});
    } else if (word_start(c)) {
      size_t start = i;
      while (i < s.size() && word_char(s[i])) ++i;
      r.tokens.push_back({Kind::Word, s.substr(start, i - start), false});
    } else {
      r.tokens.push_back({Kind::Punct, std::string(1, c), false});
      ++i;
    }
  }
  return r;
}

bool same_tokens(const std::vector<Token>& a, size_t from, size_t to, const std::vector<Token>& b) {
  if (to - from != b.size()) return false;
  for (size_t k = 0; k < b.size(); ++k) {
    const Token& x = a[from + k];
    const Token& y = b[k];
    if (x.kind != y.kind || x.national != y.national) return false;
    bool same = x.kind == Kind::Word ? upper(x.text) == upper(y.text) : x.text == y.text;
    if (!same) return false;
  }
  return true;
}

bool is_statement_start(const Token& t) {
  if (t.kind != Kind::Word) return false;
  std::string w = upper(t.text);
  return w == "SELECT" || w == "SET" || w == "USE" || w == "BACKUP" || w == "RESTORE";
}

// Reads the tokens of one statement [pos, end); fails with the token that
// could not be accepted.
struct Reader {
  const std::vector<Token>& t;
  size_t pos;
  size_t end;
  size_t bad = SIZE_MAX;  // index of the token where reading failed

  bool at_end() const { return pos >= end; }
  bool fail() {
    if (bad == SIZE_MAX) bad = pos;
    return false;
  }
  bool word(const char* w) {
    if (at_end() || t[pos].kind != Kind::Word || upper(t[pos].text) != w) return fail();
    ++pos;
    return true;
  }
  bool peek_word(const char* w) const {
    return !at_end() && t[pos].kind == Kind::Word && upper(t[pos].text) == w;
  }
  bool punct(char c) {
    if (at_end() || t[pos].kind != Kind::Punct || t[pos].text[0] != c) return fail();
    ++pos;
    return true;
  }
  bool peek_punct(char c) const {
    return !at_end() && t[pos].kind == Kind::Punct && t[pos].text[0] == c;
  }
  // A name: a plain word or a [bracketed] / "quoted" identifier.
  bool name(std::string& out) {
    if (at_end() || (t[pos].kind != Kind::Word && t[pos].kind != Kind::Ident)) return fail();
    out = t[pos++].text;
    return true;
  }
  bool string(std::string& out) {
    if (at_end() || t[pos].kind != Kind::String) return fail();
    out = t[pos++].text;
    return true;
  }
  bool number(int& out) {
    if (at_end() || t[pos].kind != Kind::Number || t[pos].text.find('.') != std::string::npos ||
        t[pos].text.size() > 9) {
      return fail();
    }
    out = std::atoi(t[pos++].text.c_str());
    return true;
  }
};

// WITH STATS [= n] | COMPRESSION | NO_COMPRESSION | COPY_ONLY | INIT | NOINIT
//    | FORMAT | NOFORMAT | CHECKSUM | NO_CHECKSUM, separated by commas.
bool backup_options(Reader& r, Statement& s) {
  do {
    if (r.peek_word("STATS")) {
      r.pos++;
      s.stats = 10;
      if (r.peek_punct('=')) {
        r.pos++;
        if (!r.number(s.stats)) return false;
      }
    } else if (r.peek_word("COMPRESSION")) {
      r.pos++;
      s.compression = true;
    } else if (r.peek_word("NO_COMPRESSION")) {
      r.pos++;
      s.compression = false;
    } else if (r.peek_word("COPY_ONLY")) {
      r.pos++;
      s.copy_only = true;
    } else if (r.peek_word("INIT") || r.peek_word("NOINIT") || r.peek_word("FORMAT") ||
               r.peek_word("NOFORMAT") || r.peek_word("CHECKSUM") || r.peek_word("NO_CHECKSUM")) {
      r.pos++;
    } else {
      return r.fail();
    }
  } while (r.peek_punct(',') && ++r.pos);
  return true;
}

bool verify_options(Reader& r) {
  do {
    if (r.peek_word("STATS")) {
      r.pos++;
      int n = 0;
      if (r.peek_punct('=')) {
        r.pos++;
        if (!r.number(n)) return false;
      }
    } else if (r.peek_word("CHECKSUM") || r.peek_word("NO_CHECKSUM")) {
      r.pos++;
    } else if (r.peek_word("FILE")) {
      r.pos++;
      int n = 0;
      if (!r.punct('=') || !r.number(n)) return false;
      if (n != 1) return r.fail();
    } else {
      return r.fail();
    }
  } while (r.peek_punct(',') && ++r.pos);
  return true;
}

bool select_items(Reader& r, Statement& s) {
  do {
    SelectItem item;
    if (r.at_end()) return r.fail();
    const Token& t = r.t[r.pos];
    std::string w = upper(t.text);
    if (t.kind == Kind::Word && (w == "@@SPID" || w == "@@VERSION" || w == "@@SERVERNAME" ||
                                 w == "@@LANGUAGE" || w == "@@TRANCOUNT")) {
      item.expr = w;
      r.pos++;
    } else if (t.kind == Kind::Word && w == "DB_NAME") {
      r.pos++;
      if (!r.punct('(') || !r.punct(')')) return false;
      item.expr = "DB_NAME()";
    } else {
      return r.fail();
    }
    if (r.peek_word("AS")) {
      r.pos++;
      if (!r.name(item.alias)) return false;
    } else if (!r.at_end() && (r.t[r.pos].kind == Kind::Ident ||
                               (r.t[r.pos].kind == Kind::Word && upper(r.t[r.pos].text) != "FROM"))) {
      item.alias = r.t[r.pos++].text;
    }
    s.items.push_back(item);
  } while (r.peek_punct(',') && ++r.pos);
  return true;
}

// One statement from [from, to); false with r.bad set when it is not one the
// server knows.
bool parse_statement(const std::vector<Token>& t, size_t from, size_t to, Statement& s, size_t& bad) {
  static const Lexed version = lex(VERSION_QUERY);
  static const Lexed listing = lex(LISTING_QUERY);
  if (same_tokens(t, from, to, version.tokens)) {
    s.kind = StmtKind::Version;
    return true;
  }
  if (same_tokens(t, from, to, listing.tokens)) {
    s.kind = StmtKind::Listing;
    return true;
  }
  Reader r{t, from, to};
  bool ok = false;
  std::string first = upper(t[from].text);
  if (t[from].kind != Kind::Word) {
    r.fail();
  } else if (first == "SET") {
    r.pos++;
    s.kind = StmtKind::Set;
    ok = !r.at_end() && t[r.pos].kind == Kind::Word;
    if (ok) r.pos = to;
    else r.fail();
  } else if (first == "USE") {
    r.pos++;
    s.kind = StmtKind::Use;
    ok = r.name(s.database);
  } else if (first == "SELECT") {
    r.pos++;
    s.kind = StmtKind::SelectVars;
    ok = select_items(r, s);
  } else if (first == "BACKUP") {
    r.pos++;
    s.kind = StmtKind::Backup;
    ok = r.word("DATABASE") && r.name(s.database) && r.word("TO") && r.word("DISK") &&
         r.punct('=') && r.string(s.path);
    if (ok && r.peek_word("WITH")) {
      r.pos++;
      ok = backup_options(r, s);
    }
  } else if (first == "RESTORE") {
    r.pos++;
    s.kind = StmtKind::Verify;
    ok = r.word("VERIFYONLY") && r.word("FROM") && r.word("DISK") && r.punct('=') &&
         r.string(s.path);
    if (ok && r.peek_word("WITH")) {
      r.pos++;
      ok = verify_options(r);
    }
  } else {
    r.fail();
  }
  if (ok && !r.at_end()) ok = r.fail();
  bad = r.bad;
  return ok;
}

}  // namespace

Batch parse_batch(const std::string& text) {
  Batch b;
  Lexed lx = lex(text);
  if (lx.open) {
    b.error_number = 105;
    b.error_text = "Unclosed quotation mark after the character string '" + lx.unclosed + "'.";
    return b;
  }
  const std::vector<Token>& t = lx.tokens;
  size_t from = 0;
  while (from < t.size()) {
    if (t[from].kind == Kind::Punct && t[from].text == ";") {
      ++from;
      continue;
    }
    size_t to = from + 1;
    while (to < t.size() && !(t[to].kind == Kind::Punct && t[to].text == ";") &&
           !is_statement_start(t[to])) {
      ++to;
    }
    Statement s;
    size_t bad = SIZE_MAX;
    if (!parse_statement(t, from, to, s, bad)) {
      // Name the token where reading stopped, or the statement's last one
      // when it ended too early, as a server's parser does.
      size_t at = bad < to ? bad : to - 1;
      b.statements.clear();
      b.error_number = 102;
      b.error_text = "Incorrect syntax near '" + t[at].text + "'.";
      return b;
    }
    b.statements.push_back(s);
    from = to;
  }
  return b;
}

}  // namespace sim
