#include "json.h"

#include <cctype>
#include <charconv>

namespace cli {

void wipe_bytes(char* p, size_t n) {
  volatile char* v = p;
  for (size_t i = 0; i < n; ++i) v[i] = 0;
}

void wipe(std::string& text) {
  wipe_bytes(text.data(), text.size());
  text.clear();
}

void wipe(JsonValue& v) {
  wipe(v.text);
  wipe(v.raw);
  for (JsonValue& item : v.items) wipe(item);
  for (auto& [key, value] : v.members) {
    wipe(key);
    wipe(value);
  }
}

namespace {

constexpr int MAX_DEPTH = 64;

class Reader {
 public:
  explicit Reader(std::string_view t) : t_(t) {}

  std::string run(JsonValue& out) {
    skip_ws();
    if (!value(out, 0)) return err_;
    skip_ws();
    if (pos_ != t_.size()) return fail("unexpected text after the value"), err_;
    return "";
  }

 private:
  std::string_view t_;
  size_t pos_ = 0;
  std::string err_;

  bool fail(const char* why) {
    if (err_.empty()) err_ = std::string(why) + " at byte " + std::to_string(pos_);
    return false;
  }

  void skip_ws() {
    while (pos_ < t_.size() && (t_[pos_] == ' ' || t_[pos_] == '\t' || t_[pos_] == '\n' || t_[pos_] == '\r')) ++pos_;
  }

  bool literal(std::string_view word) {
    if (t_.substr(pos_, word.size()) != word) return fail("invalid literal");
    pos_ += word.size();
    return true;
  }

  bool value(JsonValue& v, int depth) {
    if (depth > MAX_DEPTH) return fail("nesting too deep");
    if (pos_ >= t_.size()) return fail("unexpected end of text");
    size_t start = pos_;
    bool ok = false;
    switch (t_[pos_]) {
      case '{': v.kind = JsonValue::Kind::Object; ok = object(v, depth); break;
      case '[': v.kind = JsonValue::Kind::Array; ok = array(v, depth); break;
      case '"': v.kind = JsonValue::Kind::String; ok = string(v.text); break;
      case 't': v.kind = JsonValue::Kind::Bool; v.boolean = true; ok = literal("true"); break;
      case 'f': v.kind = JsonValue::Kind::Bool; v.boolean = false; ok = literal("false"); break;
      case 'n': v.kind = JsonValue::Kind::Null; ok = literal("null"); break;
      default: v.kind = JsonValue::Kind::Number; ok = number(v.text); break;
    }
    if (ok) v.raw = std::string(t_.substr(start, pos_ - start));
    return ok;
  }

  bool object(JsonValue& v, int depth) {
    ++pos_;
    skip_ws();
    if (pos_ < t_.size() && t_[pos_] == '}') return ++pos_, true;
    for (;;) {
      skip_ws();
      if (pos_ >= t_.size()) return fail("object left open");
      if (t_[pos_] != '"') return fail("expected a member name");
      std::string key;
      if (!string(key)) return false;
      skip_ws();
      if (pos_ >= t_.size() || t_[pos_] != ':') return fail("expected ':'");
      ++pos_;
      skip_ws();
      JsonValue member;
      if (!value(member, depth + 1)) return false;
      v.members.emplace_back(std::move(key), std::move(member));
      skip_ws();
      if (pos_ >= t_.size()) return fail("object left open");
      if (t_[pos_] == '}') return ++pos_, true;
      if (t_[pos_] != ',') return fail("expected ',' or '}'");
      ++pos_;
    }
  }

  bool array(JsonValue& v, int depth) {
    ++pos_;
    skip_ws();
    if (pos_ < t_.size() && t_[pos_] == ']') return ++pos_, true;
    for (;;) {
      skip_ws();
      if (pos_ >= t_.size()) return fail("array left open");
      JsonValue item;
      if (!value(item, depth + 1)) return false;
      v.items.push_back(std::move(item));
      skip_ws();
      if (pos_ >= t_.size()) return fail("array left open");
      if (t_[pos_] == ']') return ++pos_, true;
      if (t_[pos_] != ',') return fail("expected ',' or ']'");
      ++pos_;
    }
  }

  bool number(std::string& out) {
    size_t start = pos_;
    auto digits = [&] {
      size_t d = pos_;
      while (pos_ < t_.size() && std::isdigit(static_cast<unsigned char>(t_[pos_]))) ++pos_;
      return pos_ - d;
    };
    if (pos_ < t_.size() && t_[pos_] == '-') ++pos_;
    size_t int_start = pos_;
    size_t n = digits();
    if (n == 0) return fail("invalid value");
    if (n > 1 && t_[int_start] == '0') return fail("number with a leading zero");
    if (pos_ < t_.size() && t_[pos_] == '.') {
      ++pos_;
      if (digits() == 0) return fail("invalid number");
    }
    if (pos_ < t_.size() && (t_[pos_] == 'e' || t_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < t_.size() && (t_[pos_] == '+' || t_[pos_] == '-')) ++pos_;
      if (digits() == 0) return fail("invalid number");
    }
    out = std::string(t_.substr(start, pos_ - start));
    return true;
  }

  bool hex4(uint32_t& out) {
    if (t_.size() - pos_ < 4) return fail("short \\u escape");
    out = 0;
    for (int i = 0; i < 4; ++i) {
      char c = t_[pos_++];
      int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) return fail("invalid \\u escape");
      out = out * 16 + static_cast<uint32_t>(d);
    }
    return true;
  }

  static void put_utf8(std::string& s, uint32_t cp) {
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      s += static_cast<char>(0xC0 | (cp >> 6));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      s += static_cast<char>(0xE0 | (cp >> 12));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (cp >> 18));
      s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  // Reads a quoted string at pos_ and decodes its escapes into out.
  bool string(std::string& out) {
    ++pos_;
    out.clear();
    for (;;) {
      if (pos_ >= t_.size()) return fail("string left open");
      unsigned char c = static_cast<unsigned char>(t_[pos_]);
      if (c == '"') return ++pos_, true;
      if (c < 0x20) return fail("control character in a string");
      if (c != '\\') {
        out += static_cast<char>(c);
        ++pos_;
        continue;
      }
      if (++pos_ >= t_.size()) return fail("string left open");
      char e = t_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          uint32_t cp = 0;
          if (!hex4(cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t lo = 0;
            if (t_.substr(pos_, 2) != "\\u") return fail("unpaired surrogate");
            pos_ += 2;
            if (!hex4(lo)) return false;
            if (lo < 0xDC00 || lo > 0xDFFF) return fail("unpaired surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return fail("unpaired surrogate");
          }
          put_utf8(out, cp);
          break;
        }
        default: return fail("invalid escape");
      }
    }
  }
};

}  // namespace

const JsonValue* JsonValue::find(std::string_view key) const {
  const JsonValue* found = nullptr;
  for (const auto& [name, value] : members) {
    if (name == key) found = &value;
  }
  return found;
}

std::string member_text(const JsonValue& v, std::string_view key) {
  const JsonValue* m = v.find(key);
  return m && m->kind == JsonValue::Kind::String ? m->text : std::string();
}

int64_t member_int(const JsonValue& v, std::string_view key, int64_t fallback) {
  const JsonValue* m = v.find(key);
  int64_t n = 0;
  return m && m->as_int(n) ? n : fallback;
}

bool member_bool(const JsonValue& v, std::string_view key, bool fallback) {
  const JsonValue* m = v.find(key);
  return m && m->kind == JsonValue::Kind::Bool ? m->boolean : fallback;
}

bool JsonValue::as_int(int64_t& out) const {
  if (kind != Kind::Number || text.find_first_of(".eE") != std::string::npos) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

std::string parse_json(std::string_view text, JsonValue& out) {
  out = JsonValue();
  return Reader(text).run(out);
}

std::string json_quote(std::string_view s) {
  static const char HEX[] = "0123456789abcdef";
  std::string out = "\"";
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += HEX[c >> 4];
          out += HEX[c & 15];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace cli
