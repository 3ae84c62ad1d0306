#include "cleanup_view.h"

#include <algorithm>
#include <cstdio>

#include "terminal.h"

namespace cli {

std::optional<int64_t> server_seconds(const std::string& text) {
  auto digits = [&](size_t at, size_t n, int64_t& v) {
    v = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
      v = v * 10 + (text[i] - '0');
    }
    return true;
  };
  int64_t y, mo, d, h, mi, s;
  if (text.size() < 19 || text[4] != '-' || text[7] != '-' || (text[10] != 'T' && text[10] != ' ') ||
      text[13] != ':' || text[16] != ':' || !digits(0, 4, y) || !digits(5, 2, mo) || !digits(8, 2, d) ||
      !digits(11, 2, h) || !digits(14, 2, mi) || !digits(17, 2, s) || mo < 1 || mo > 12 || d < 1 || d > 31 ||
      h > 23 || mi > 59 || s > 59)
    return std::nullopt;
  // Days from 0000-03-01, with the leap day at the end of each year.
  if (mo <= 2) --y;
  const int64_t m = (mo + 9) % 12;
  const int64_t days = 365 * y + y / 4 - y / 100 + y / 400 + (153 * m + 2) / 5 + d - 1;
  return ((days * 24 + h) * 60 + mi) * 60 + s;
}

CleanupRow cleanup_row(const JsonValue& result) {
  CleanupRow row;
  row.ok = member_bool(result, "ok");
  row.dry_run = member_bool(result, "dry_run");
  row.error = member_text(result, "error");
  const JsonValue* deleted = result.find("deleted");
  const JsonValue* kept = result.find("kept");
  if (deleted && deleted->kind == JsonValue::Kind::Array) {
    row.deleted = int64_t(deleted->items.size());
  } else if (row.ok) {
    row.ok = false;
    row.error = "the library's result lists no deleted files";
  }
  if (kept && kept->kind == JsonValue::Kind::Array) row.kept = int64_t(kept->items.size());
  row.freed_bytes = member_int(result, "freed_bytes");
  row.oldest_restorable = member_text(result, "oldest_restorable");
  row.keep_hours = member_int(result, "keep_hours");
  // The server's now is the window's start plus the window.
  const auto start = server_seconds(member_text(result, "window_start"));
  const auto oldest = server_seconds(row.oldest_restorable);
  if (start && oldest && row.keep_hours > 0) row.restorable_s = std::max<int64_t>(0, *start + row.keep_hours * 3600 - *oldest);
  if (!row.ok && row.error.empty()) row.error = "no reason given";
  return row;
}

std::string cleanup_json_members(const CleanupRow& row) {
  std::string out = ",\"dry_run\":" + std::string(row.dry_run ? "true" : "false");
  out += ",\"deleted\":" + std::to_string(row.deleted);
  out += ",\"kept\":" + std::to_string(row.kept);
  out += ",\"freed_bytes\":" + std::to_string(row.freed_bytes);
  out += ",\"oldest_restorable\":" +
         (row.oldest_restorable.empty() ? std::string("null") : json_quote(valid_utf8(row.oldest_restorable)));
  if (!row.ok) out += ",\"error\":" + json_quote(valid_utf8(row.error));
  return out;
}

std::string bytes_words(int64_t bytes) {
  static const char* const UNITS[] = {"KB", "MB", "GB", "TB", "PB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double v = double(bytes) / 1024.0;
  size_t u = 0;
  while (v >= 1024.0 && u + 1 < sizeof UNITS / sizeof UNITS[0]) {
    v /= 1024.0;
    ++u;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", v, UNITS[u]);
  return text;
}

std::string cleanup_words(const CleanupRow& row) {
  const std::string files = std::to_string(row.deleted) + (row.deleted == 1 ? " file" : " files");
  std::string out = row.dry_run ? files + " would be deleted, " + bytes_words(row.freed_bytes) + " would be freed"
                                : files + " deleted, " + bytes_words(row.freed_bytes) + " freed";
  out += ", " + std::to_string(row.kept) + " kept";
  out += ", oldest restorable " + (row.oldest_restorable.empty() ? std::string("none") : printable(row.oldest_restorable));
  return out;
}

}  // namespace cli
