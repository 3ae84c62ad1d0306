// The terminal side of the command-line host: whether output goes to a
// terminal and how wide it is, text made safe and measured for display, the
// password prompt without echo, and the interrupt keys.
#pragma once

#include <csignal>
#include <string>
#include <string_view>

namespace cli {

bool is_terminal(int fd);

// Columns of the terminal on fd; 80 when it cannot be told.
int terminal_columns(int fd);

// Server-supplied text made safe to print: line breaks and tabs become
// spaces; other control characters (C0, DEL, C1) and invalid UTF-8 become
// '?', so a database name or message cannot drive the terminal.
std::string printable(std::string_view s);

// The text with each invalid UTF-8 byte replaced by U+FFFD and everything
// else kept, for JSON and metrics files that must stay valid UTF-8.
std::string valid_utf8(std::string_view s);

// Columns that printable text takes on a terminal.
size_t display_width(std::string_view s);

// The longest run of whole characters from the start of printable text that
// takes at most cols columns.
std::string fit_width(std::string_view s, size_t cols);

enum class PromptResult { Ok, NoTerminal, Interrupted };

// Asks on the controlling terminal with echo off and reads one line into out.
// The terminal's settings are restored whatever happens.
PromptResult read_password(const std::string& prompt, std::string& out);

// While alive, SIGINT and SIGTERM no longer end the process: they are
// counted, and a blocking call they interrupt returns early. The previous
// handlers come back on destruction.
class InterruptCatcher {
 public:
  InterruptCatcher();
  ~InterruptCatcher();
  InterruptCatcher(const InterruptCatcher&) = delete;
  InterruptCatcher& operator=(const InterruptCatcher&) = delete;

  int count() const;   // interrupts seen so far
  int signal() const;  // the first one's number, 0 before any

 private:
  struct sigaction old_int_{}, old_term_{};
};

}  // namespace cli
