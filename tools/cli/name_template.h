// File names of a run over several databases: the --exclude wildcards, the
// --name-template placeholders, names made safe and unique, and joining them
// to --out-dir with the separator that the directory itself uses. Pure text
// work, so that each rule can be checked without a server.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

constexpr const char* DEFAULT_NAME_TEMPLATE = "{database}_{type}_{timestamp}.bak";

// Whether name matches pattern, where '*' stands for any run of characters
// (none included) and every other character for itself, ASCII letters in
// either case: the server compares database names without case.
bool wildcard_match(std::string_view pattern, std::string_view name);

// A directory with a backslash or a drive letter ("C:") is on a Windows
// server; every other one (URLs included) uses '/'.
bool is_windows_dir(std::string_view dir);

// dir and name joined with the directory's separator, none added when dir
// already ends in one.
std::string join_path(std::string_view dir, std::string_view name);

// A value fit to stand inside a file name: ASCII letters, digits, '-', '_'
// and '.' stay; every other character (a multi-byte one counts once)
// becomes '_'; a leading or trailing dot and the second dot of ".." become
// '_' too, so the result is never empty, hidden, "." or "..", never adds a
// dot to the one that follows it, and holds no separator.
std::string safe_name_part(std::string_view value);

// Checks a template: "" or the usage error (an unknown or unclosed
// placeholder, a separator or control character in the literal text).
std::string check_name_template(std::string_view tmpl);

struct NameValues {
  std::string server, database, type;
  std::time_t when = 0;  // the run's start, written in UTC
};

// The template with every placeholder replaced by its safe value;
// check_name_template must have accepted it.
std::string expand_name_template(std::string_view tmpl, const NameValues& v);

// Makes the names unique within the run, without regard to case (a Windows
// server's file system ignores it): the second "x.bak" becomes "x_2.bak",
// the suffix going before the last extension.
void make_unique(std::vector<std::string>& names);

// "20261210T153000Z" and "2026-12-10" for the given time, in UTC.
std::string utc_timestamp(std::time_t t);
std::string utc_date(std::time_t t);

}  // namespace cli
