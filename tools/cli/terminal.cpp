#include "terminal.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cwchar>

namespace cli {

namespace {

volatile sig_atomic_t g_interrupts = 0;
volatile sig_atomic_t g_first_signal = 0;

extern "C" void on_interrupt(int sig) {
  if (g_first_signal == 0) g_first_signal = sig;
  g_interrupts = g_interrupts + 1;
}

// Decodes one UTF-8 character at s[i]. Returns its length and the code
// point, or 0 for an invalid or cut sequence.
size_t decode_utf8(std::string_view s, size_t i, char32_t& cp) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || s.size() - i < len) return 0;
  if (len == 1) {
    cp = c;
    return 1;
  }
  char32_t v = c & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) {
    unsigned char t = static_cast<unsigned char>(s[i + k]);
    if ((t & 0xC0) != 0x80) return 0;
    v = (v << 6) | (t & 0x3F);
  }
  static const char32_t MIN[] = {0, 0, 0x80, 0x800, 0x10000};
  if (v < MIN[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  cp = v;
  return len;
}

int columns_of(char32_t cp) {
  int w = ::wcwidth(static_cast<wchar_t>(cp));
  return w < 0 ? 1 : w;
}

}  // namespace

bool is_terminal(int fd) { return ::isatty(fd) == 1; }

int terminal_columns(int fd) {
  struct winsize ws {};
  if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

std::string printable(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    char32_t cp = 0;
    size_t len = decode_utf8(s, i, cp);
    if (len == 0) {
      out += '?';
      ++i;
      continue;
    }
    if (cp == '\n' || cp == '\r' || cp == '\t') {
      out += ' ';
    } else if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) {
      out += '?';
    } else {
      out.append(s.substr(i, len));
    }
    i += len;
  }
  return out;
}

std::string valid_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    char32_t cp = 0;
    size_t len = decode_utf8(s, i, cp);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(s.substr(i, len));
      i += len;
    }
  }
  return out;
}

size_t display_width(std::string_view s) {
  size_t cols = 0;
  for (size_t i = 0; i < s.size();) {
    char32_t cp = 0;
    size_t len = decode_utf8(s, i, cp);
    cols += len == 0 ? 1 : static_cast<size_t>(columns_of(cp));
    i += len == 0 ? 1 : len;
  }
  return cols;
}

std::string fit_width(std::string_view s, size_t cols) {
  size_t used = 0, i = 0;
  while (i < s.size()) {
    char32_t cp = 0;
    size_t len = decode_utf8(s, i, cp);
    size_t w = len == 0 ? 1 : static_cast<size_t>(columns_of(cp));
    if (used + w > cols) break;
    used += w;
    i += len == 0 ? 1 : len;
  }
  return std::string(s.substr(0, i));
}

PromptResult read_password(const std::string& prompt, std::string& out) {
  int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return PromptResult::NoTerminal;
  struct termios saved {};
  if (::tcgetattr(fd, &saved) != 0) {
    ::close(fd);
    return PromptResult::NoTerminal;
  }
  InterruptCatcher interrupts;
  struct termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  ::tcsetattr(fd, TCSAFLUSH, &quiet);
  [[maybe_unused]] ssize_t w = ::write(fd, prompt.data(), prompt.size());

  PromptResult result = PromptResult::Ok;
  out.clear();
  for (;;) {
    char c = 0;
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR && interrupts.count() == 0) continue;
    if (n < 0 && errno == EINTR) {
      result = PromptResult::Interrupted;
      break;
    }
    if (n <= 0 || c == '\n' || c == '\r') break;
    out += c;
  }
  ::tcsetattr(fd, TCSAFLUSH, &saved);
  if (result == PromptResult::Interrupted) {
    w = ::write(fd, "\n", 1);
    out.clear();
  }
  ::close(fd);
  return result;
}

InterruptCatcher::InterruptCatcher() {
  g_interrupts = 0;
  g_first_signal = 0;
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a sleep or read returns at the key
  ::sigaction(SIGINT, &sa, &old_int_);
  ::sigaction(SIGTERM, &sa, &old_term_);
}

InterruptCatcher::~InterruptCatcher() {
  ::sigaction(SIGINT, &old_int_, nullptr);
  ::sigaction(SIGTERM, &old_term_, nullptr);
}

int InterruptCatcher::count() const { return g_interrupts; }
int InterruptCatcher::signal() const { return g_first_signal; }

}  // namespace cli
