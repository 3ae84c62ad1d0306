// The simulated server's backup files: deterministic content made from a
// database's identity (a header, one record per page, a checksum trailer),
// written through a temporary file so that an aborted backup leaves nothing
// at its path, and read back by the verification.
//
// A file holds one or more backup sets one after another, each laid out as
// below; a new set is appended behind the earlier ones (their position in
// the file counts from 1) unless the backup overwrites them. A striped
// backup writes one file per stripe, each with its share of the pages.
//
// Layout of one set, integers little-endian:
//   0   8  magic "VRSIMBAK"
//   8   4  format version (2)
//   12  4  flags: 1 compressed, 2 copy-only, 4 checksum, 8 differential,
//          16 log, 32 encrypted, 64 made from a database whose pages
//          fail a consistency check (older files never set it); bits 8-15 the stripes less one, bits
//          16-23 this file's stripe (from 0)
//   16  8  page count
//   24  4  bytes per page record (32, or 16 when compressed)
//   28  4  database id
//   32  8  database size in MB
//   40  4  name length n (at most 512)
//   44  4  description length m (at most 64 KB)
//   48  n  database name, UTF-8
//   ... page records
//   m  the set's description, written when the set is complete:
//        media set, backup set and database family GUIDs (16 each);
//        first, last, checkpoint, database backup and differential base
//        LSNs (8 each); start, finish and log-range start times (Stamps,
//        8 each); recovery model, set name and description (2-byte length,
//        UTF-8); file count (2), then per file: type (1), size in MB (8),
//        logical and physical name (2-byte length, UTF-8)
//   end-16  8  "VRSIMEND"
//   end-8   8  FNV-1a 64 of every byte before the trailer
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config.h"
#include "wire.h"

namespace sim {

// What a backup set says about itself beyond its pages: what RESTORE
// HEADERONLY, LABELONLY and FILELISTONLY show and a restore checks.
struct SetMeta {
  Bytes media_guid = Bytes(16);       // shared by the sets of one media set
  Bytes backup_set_guid = Bytes(16);
  Bytes family_guid = Bytes(16);      // the database's identity
  uint64_t first_lsn = 0, last_lsn = 0, checkpoint_lsn = 0, database_backup_lsn = 0, differential_base_lsn = 0;
  Stamp started = 0, finished = 0;
  Stamp log_from = 0;                 // log backups: the time at first_lsn
  std::string recovery, set_name, description;
  std::vector<DbFile> files;
  // The recovery fork at first_lsn and at last_lsn; a log that crosses a
  // fork (they differ) crosses it at fork_point.
  Bytes first_fork = Bytes(16), last_fork = Bytes(16);
  uint64_t fork_point = 0;
};

struct BackupImage {
  std::string database;
  int db_id = 0;
  int64_t size_mb = 0;
  int64_t pages = 0;
  bool compressed = false;
  bool copy_only = false;
  bool checksum = false;
  bool encrypted = false;
  bool damaged = false;  // the database's pages fail a consistency check
  char kind = 'D';    // D full, I differential, L log
  int families = 1;   // stripes of the backup
  int family = 0;     // this file's stripe
  SetMeta meta;       // last_lsn and finished are filled before finish()
};

// Flag bits of a set's header.
constexpr uint32_t SET_COMPRESSED = 1, SET_COPY_ONLY = 2, SET_CHECKSUM = 4, SET_DIFFERENTIAL = 8, SET_LOG = 16,
                   SET_ENCRYPTED = 32, SET_DAMAGED = 64;
inline int set_families(uint32_t flags) { return int((flags >> 8) & 0xFF) + 1; }

// What open() says about an existing file the backup would be appended to
// (errno values are positive).
constexpr int MEDIA_MALFORMED = -1;   // not a backup file
constexpr int MEDIA_FAMILIES = -2;    // made by a backup of another number of stripes

// The 8 KB pages a database of this size holds.
inline int64_t pages_for(int64_t size_mb) { return size_mb * 128; }

class BackupWriter {
 public:
  BackupWriter() = default;
  BackupWriter(const BackupWriter&) = delete;
  BackupWriter& operator=(const BackupWriter&) = delete;
  ~BackupWriter() { abort(); }

  // Creates the temporary file beside path, copies the sets already at path
  // into it unless overwrite, and writes the new set's header. Returns 0, an
  // errno, or MEDIA_MALFORMED / MEDIA_FAMILIES (then *families is the
  // existing file's number of stripes).
  int open(const std::string& path, const BackupImage& image, bool overwrite = true, int* families = nullptr);
  // The new set's position in the file (from 1), and where it starts and ends.
  int position() const { return position_; }
  // The media set the new set joins: the file's own when appended to.
  const Bytes& media_guid() const { return image_.meta.media_guid; }
  // The end of the backup, known once its pages are written.
  void set_end(uint64_t last_lsn, Stamp finished) {
    image_.meta.last_lsn = last_lsn;
    image_.meta.finished = finished;
  }
  uint64_t set_offset() const { return offset_; }
  uint64_t set_length() const { return length_; }
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
  int position_ = 1;
  uint64_t offset_ = 0;
  uint64_t length_ = 0;
  size_t meta_len_ = 0;
};

struct VerifyOutcome {
  enum Kind { Valid, CannotOpen, Malformed, Truncated, Damaged, NoSuchSet } kind = Valid;
  int os_error = 0;    // CannotOpen: the errno
  uint32_t flags = 0;  // Valid: the set's header flags
};

// Checks backup set `file` (from 1) of the file at path: every byte of it
// against its trailer, and that what follows it is another set or nothing.
VerifyOutcome verify_backup(const std::string& path, int file = 1);

// A set as its header and description tell it, without reading its pages.
struct SetInfo {
  int position = 1;
  uint32_t flags = 0;
  int64_t pages = 0;
  int64_t size_mb = 0;
  std::string database;
  SetMeta meta;
  char kind() const { return flags & SET_LOG ? 'L' : flags & SET_DIFFERENTIAL ? 'I' : 'D'; }
};

// Reads the sets of the file at path in order. Returns 0, an errno, or
// MEDIA_MALFORMED when not even a first set can be read; a set cut short
// ends the list.
int read_set_infos(const std::string& path, std::vector<SetInfo>& out);

// Changes one byte inside the pages of the set at [offset, offset + length)
// of the file, as a failing disk would. Returns 0 or an errno.
int damage_backup_set(const std::string& path, uint64_t offset, uint64_t length);

// "<code>(<text>)" as the server's messages show an operating-system error:
// the Windows code and wording for the usual cases, errno and its text else.
std::string os_error_text(int err);

}  // namespace sim
