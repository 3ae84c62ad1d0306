// The commands. Each takes the finished configuration and returns the
// process's exit status.
#pragma once

#include "options.h"

namespace cli {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;  // the server, the connection or the backup failed
constexpr int EXIT_USAGE = 2;

int run_test(const Settings& s, bool json);
int run_list(const Settings& s, bool json);
int run_backup(const Settings& s, bool json);
// A restore, or with --dry-run its plan: 0 restored (or planned), 1 failed,
// 128+N after signal N (the database is then left restoring).
int run_restore(const Settings& s, bool json);

// A backup over several databases (run_many.cpp): 0 when every backup
// succeeded, 1 otherwise, 128+N after signal N.
int run_many(const Settings& s, bool json);

// A library error text on one printable line: its lines joined as sentences.
std::string one_line(const std::string& text);
// "m:ss" (or "h:mm:ss") of a time in milliseconds.
std::string clock_text(int64_t ms);
// "3.1 s" below a minute, else as clock_text.
std::string duration_text(int64_t ms);

// Prints "vaultrun: TEXT" as one line on standard error.
void print_error(const std::string& text);

}  // namespace cli
