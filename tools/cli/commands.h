// The three commands. Each takes the finished configuration and returns the
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

// Prints "vaultrun: TEXT" as one line on standard error.
void print_error(const std::string& text);

}  // namespace cli
