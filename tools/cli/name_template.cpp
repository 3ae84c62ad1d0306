#include "name_template.h"

#include <cctype>
#include <cstdio>

namespace cli {

namespace {

struct Placeholder {
  const char* name;
  std::string (*value)(const NameValues&);
};

const Placeholder PLACEHOLDERS[] = {
    {"server", [](const NameValues& v) { return safe_name_part(v.server); }},
    {"database", [](const NameValues& v) { return safe_name_part(v.database); }},
    {"type", [](const NameValues& v) { return safe_name_part(v.type); }},
    {"timestamp", [](const NameValues& v) { return utc_timestamp(v.when); }},
    {"date", [](const NameValues& v) { return utc_date(v.when); }},
};

const Placeholder* find_placeholder(std::string_view name) {
  for (const Placeholder& p : PLACEHOLDERS) {
    if (name == p.name) return &p;
  }
  return nullptr;
}

// Characters a file name on either kind of server cannot hold, or that
// would lead out of the directory.
bool unfit_literal(unsigned char c) {
  return c < 0x20 || c == 0x7F || std::string_view("/\\:*?\"<>|").find(char(c)) != std::string_view::npos;
}

char lower(char c) { return char(std::tolower(static_cast<unsigned char>(c))); }

bool same_text(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string utc_text(std::time_t t, const char* format) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  size_t n = std::strftime(buf, sizeof buf, format, &tm);
  return std::string(buf, n);
}

}  // namespace

bool wildcard_match(std::string_view pattern, std::string_view name) {
  // Greedy with one backtrack point: the last '*' seen takes one more
  // character whenever the rest fails to match.
  size_t p = 0, n = 0, star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() && lower(pattern[p]) == lower(name[n])) {
      ++p;
      ++n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool is_windows_dir(std::string_view dir) {
  if (dir.find('\\') != std::string_view::npos) return true;
  return dir.size() >= 2 && std::isalpha(static_cast<unsigned char>(dir[0])) && dir[1] == ':';
}

std::string join_path(std::string_view dir, std::string_view name) {
  const bool windows = is_windows_dir(dir);
  std::string out(dir);
  const bool ends_in_separator = !out.empty() && (out.back() == '/' || (windows && out.back() == '\\'));
  // "C:" alone means the drive's current directory; "C:name" stays relative
  // to it, as the server would read it.
  const bool bare_drive = windows && out.size() == 2 && out[1] == ':';
  if (!out.empty() && !ends_in_separator && !bare_drive) out += windows ? '\\' : '/';
  out += name;
  return out;
}

std::string safe_name_part(std::string_view value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    if ((c & 0xC0) == 0x80) continue;  // the rest of a multi-byte character
    bool keep = std::isalnum(c) || c == '-' || c == '_' || (c == '.' && !out.empty() && out.back() != '.');
    out += keep && c < 0x80 ? char(c) : '_';
  }
  // A trailing dot would meet the template's next dot, and a Windows file
  // system drops it.
  if (out.empty()) out.push_back('_');
  if (out.back() == '.') out.back() = '_';
  return out;
}

std::string check_name_template(std::string_view tmpl) {
  if (tmpl.empty()) return "the name template is empty";
  std::string literal;
  for (size_t i = 0; i < tmpl.size(); ++i) {
    char c = tmpl[i];
    if (c == '{') {
      size_t close = tmpl.find('}', i);
      if (close == std::string_view::npos) return "the name template has a '{' without its '}'";
      std::string_view name = tmpl.substr(i + 1, close - i - 1);
      if (!find_placeholder(name)) {
        return "unknown placeholder {" + std::string(name) +
               "} in the name template (known: {server}, {database}, {type}, {timestamp}, {date})";
      }
      i = close;
      literal += 'x';
    } else if (c == '}') {
      return "the name template has a '}' without its '{'";
    } else if (unfit_literal(static_cast<unsigned char>(c))) {
      return "the name template holds a character a file name cannot hold (a separator, a control character or one "
             "of : * ? \" < > |)";
    } else {
      literal += c;
    }
  }
  if (literal == "." || literal == "..") return "the name template names no file";
  return "";
}

std::string expand_name_template(std::string_view tmpl, const NameValues& v) {
  std::string out;
  for (size_t i = 0; i < tmpl.size(); ++i) {
    size_t close = tmpl[i] == '{' ? tmpl.find('}', i) : std::string_view::npos;
    const Placeholder* p = close == std::string_view::npos ? nullptr : find_placeholder(tmpl.substr(i + 1, close - i - 1));
    if (p) {
      out += p->value(v);
      i = close;
    } else {
      out += tmpl[i];
    }
  }
  return out;
}

void make_unique(std::vector<std::string>& names) {
  for (size_t i = 0; i < names.size(); ++i) {
    // Any other name, earlier (already final) or later (which keeps its own
    // unless it collides in turn), rules a candidate out.
    auto taken = [&](const std::string& candidate, size_t upto) {
      for (size_t k = 0; k < upto; ++k) {
        if (k != i && same_text(names[k], candidate)) return true;
      }
      return false;
    };
    if (!taken(names[i], i)) continue;
    const std::string name = names[i];
    size_t dot = name.rfind('.');
    if (dot == 0 || dot == std::string::npos) dot = name.size();
    for (int n = 2;; ++n) {
      std::string candidate = name.substr(0, dot) + "_" + std::to_string(n) + name.substr(dot);
      if (!taken(candidate, names.size())) {
        names[i] = candidate;
        break;
      }
    }
  }
}

std::string utc_timestamp(std::time_t t) { return utc_text(t, "%Y%m%dT%H%M%SZ"); }
std::string utc_date(std::time_t t) { return utc_text(t, "%Y-%m-%d"); }

}  // namespace cli
