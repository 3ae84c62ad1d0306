// The simulated server's backup files: deterministic content made from a
// database's identity (a header, one record per page, a checksum trailer),
// written through a temporary file so that an aborted backup leaves nothing
// at its path, and read back by the verification.
//
// Layout, integers little-endian:
//   0   8  magic "VRSIMBAK"
//   8   4  format version (1)
//   12  4  flags: 1 compressed, 2 copy-only
//   16  8  page count
//   24  4  bytes per page record (32, or 16 when compressed)
//   28  4  database id
//   32  8  database size in MB
//   40  4  name length n (at most 512)
//   44  n  database name, UTF-8
//   ... page records
//   end-16  8  "VRSIMEND"
//   end-8   8  FNV-1a 64 of every byte before the trailer
#pragma once

#include <cstdint>
#include <string>

namespace sim {

struct BackupImage {
  std::string database;
  int db_id = 0;
  int64_t size_mb = 0;
  int64_t pages = 0;
  bool compressed = false;
  bool copy_only = false;
};

// The 8 KB pages a database of this size holds.
inline int64_t pages_for(int64_t size_mb) { return size_mb * 128; }

class BackupWriter {
 public:
  BackupWriter() = default;
  BackupWriter(const BackupWriter&) = delete;
  BackupWriter& operator=(const BackupWriter&) = delete;
  ~BackupWriter() { abort(); }

  // Creates the temporary file beside path and writes the header.
  // Returns 0, or the errno of the failure.
  int open(const std::string& path, const BackupImage& image);
  // Writes the page records up to (not including) page `upto`.
  int write_pages(int64_t upto);
  // Writes the trailer and moves the file to its path. 0 or an errno.
  int finish();
  // Removes the temporary file; harmless when nothing is open.
  void abort();

 private:
  int write_all(const void* data, size_t len);

  int fd_ = -1;
  std::string path_;
  std::string temp_;
  BackupImage image_;
  int64_t written_ = 0;
  uint64_t hash_ = 0;
};

struct VerifyOutcome {
  enum Kind { Valid, CannotOpen, Malformed, Truncated, Damaged } kind = Valid;
  int os_error = 0;  // CannotOpen: the errno
};

VerifyOutcome verify_backup(const std::string& path);

// "<code>(<text>)" as the server's messages show an operating-system error:
// the Windows code and wording for the usual cases, errno and its text else.
std::string os_error_text(int err);

}  // namespace sim
