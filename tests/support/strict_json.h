// A strict reader for the library's answers: exactly one JSON value (RFC
// 8259, no extensions) in well-formed UTF-8, nothing after it. Escapes of
// lone surrogates count as invalid, since they name no character.
#pragma once

#include <string>

// "" when text is one such document, else where and why it is not.
std::string strict_json_problem(const std::string& text);

// True when s is well-formed UTF-8 (shortest forms, no surrogates, nothing
// above U+10FFFF).
bool utf8_well_formed_text(const std::string& s);
