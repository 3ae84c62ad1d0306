// A small JSON reader and string writer for the command-line host: enough to
// read the library's answers and a configuration file, and to write a
// configuration text the library reads back exactly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cli {

struct JsonValue;

// Overwrites the text's bytes with zeros before it is let go, so that a
// secret read into it does not linger in freed memory.
void wipe(std::string& text);
// Zeros n bytes at p in a way the compiler keeps.
void wipe_bytes(char* p, size_t n);
// The same for every text a parsed document holds.
void wipe(JsonValue& v);

struct JsonValue {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  std::string text;  // String: the decoded text; Number: the literal as written
  std::string raw;   // the value's source text, exactly as it appeared
  std::vector<JsonValue> items;                             // Array
  std::vector<std::pair<std::string, JsonValue>> members;  // Object, in text order

  // The member named key (its last occurrence, as the library applies it);
  // null when absent or when this is no object.
  const JsonValue* find(std::string_view key) const;
  // The value as a whole integer: a number without fraction or exponent that
  // fits in 64 bits. False otherwise.
  bool as_int(int64_t& out) const;
};

// A member of an object read as one kind: its text (a string), its whole
// number (or fallback) and its truth (or fallback); absent or of another
// kind gives the fallback, so an answer missing a member reads as "not said".
std::string member_text(const JsonValue& v, std::string_view key);
int64_t member_int(const JsonValue& v, std::string_view key, int64_t fallback = 0);
bool member_bool(const JsonValue& v, std::string_view key, bool fallback = false);

// Parses one JSON value with only white space around it. Returns "" on
// success, otherwise a short reason with the byte offset where it arose.
// Nesting is limited so that hostile input cannot exhaust the stack.
std::string parse_json(std::string_view text, JsonValue& out);

// The text as a quoted JSON string. Quote, backslash, tab, line feed and
// carriage return are written as their two-byte escapes; every other byte
// below 0x20 as \u00XX; everything else, UTF-8 included, unchanged.
std::string json_quote(std::string_view s);

}  // namespace cli
