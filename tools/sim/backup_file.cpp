#include "backup_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace sim {

namespace {

constexpr char MAGIC[8] = {'V', 'R', 'S', 'I', 'M', 'B', 'A', 'K'};
constexpr char END_MAGIC[8] = {'V', 'R', 'S', 'I', 'M', 'E', 'N', 'D'};
constexpr uint32_t FORMAT_VERSION = 1;
constexpr size_t FIXED_HEADER = 44;
constexpr size_t TRAILER = 16;
constexpr uint32_t MAX_NAME = 512;
constexpr uint32_t RECORD_FULL = 32;
constexpr uint32_t RECORD_COMPRESSED = 16;

constexpr uint64_t FNV_OFFSET = 0xcbf29ce484222325ULL;
constexpr uint64_t FNV_PRIME = 0x100000001b3ULL;

uint64_t fnv(uint64_t h, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= FNV_PRIME;
  }
  return h;
}

uint64_t splitmix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

void put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

uint32_t get32(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

uint64_t get64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// One page as the backup holds it: page id, database id, a page type, eight
// bytes of content that depend on the database and the page, and, in the
// uncompressed form, the empty rest of the page.
void page_record(const BackupImage& img, uint64_t seed, int64_t page, uint8_t* out) {
  uint32_t rec = img.compressed ? RECORD_COMPRESSED : RECORD_FULL;
  std::memset(out, 0, rec);
  put32(out, uint32_t(page));
  put32(out + 4, (uint32_t(img.db_id) << 16) | (page == 0 ? 15u : 1u));
  put64(out + 8, splitmix(seed ^ uint64_t(page)));
}

uint64_t database_seed(const BackupImage& img) {
  return fnv(FNV_OFFSET, reinterpret_cast<const uint8_t*>(img.database.data()), img.database.size());
}

std::atomic<uint64_t> g_temp_counter{0};

uint32_t set_flags(const BackupImage& img) {
  return (img.compressed ? SET_COMPRESSED : 0u) | (img.copy_only ? SET_COPY_ONLY : 0u) |
         (img.checksum ? SET_CHECKSUM : 0u) | (img.kind == 'I' ? SET_DIFFERENTIAL : 0u) |
         (img.kind == 'L' ? SET_LOG : 0u) | (img.encrypted ? SET_ENCRYPTED : 0u) |
         (uint32_t(img.families - 1) & 0xFF) << 8 | (uint32_t(img.family) & 0xFF) << 16;
}

// One set's header as read from its first FIXED_HEADER bytes.
struct SetHeader {
  uint32_t flags = 0;
  uint64_t length = 0;  // the whole set, header to trailer
  uint64_t body = 0;    // the bytes between the fixed header and the trailer
};

bool parse_header(const uint8_t* h, SetHeader& out) {
  if (std::memcmp(h, MAGIC, 8) != 0 || get32(&h[8]) != FORMAT_VERSION) return false;
  uint64_t pages = get64(&h[16]);
  uint32_t rec = get32(&h[24]);
  uint32_t name_len = get32(&h[40]);
  if ((rec != RECORD_FULL && rec != RECORD_COMPRESSED) || name_len > MAX_NAME || pages > (uint64_t(1) << 40)) {
    return false;
  }
  out.flags = get32(&h[12]);
  out.body = name_len + pages * rec;
  out.length = FIXED_HEADER + out.body + TRAILER;
  return true;
}

// Reads the whole file at path into bytes and counts its sets; the stripes
// of its first set go to families. 0, an errno, or MEDIA_MALFORMED when the
// bytes are not whole sets.
int read_sets(const std::string& path, std::vector<uint8_t>& bytes, int& count, int& families) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return errno;
  uint8_t buf[1 << 16];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  count = 0;
  for (uint64_t off = 0; off < bytes.size(); ++count) {
    SetHeader h;
    if (bytes.size() - off < FIXED_HEADER || !parse_header(&bytes[off], h) || h.length > bytes.size() - off) {
      return MEDIA_MALFORMED;
    }
    if (count == 0) families = set_families(h.flags);
    off += h.length;
  }
  return 0;
}

}  // namespace

std::string os_error_text(int err) {
  switch (err) {
    case ENOENT: return "2(The system cannot find the file specified.)";
    case ENOTDIR: return "3(The system cannot find the path specified.)";
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return "5(Access is denied.)";
    case ENOSPC: return "112(There is not enough space on the disk.)";
    default: return std::to_string(err) + "(" + std::strerror(err) + ")";
  }
}

int BackupWriter::open(const std::string& path, const BackupImage& image, bool overwrite, int* families) {
  abort();
  struct stat st;
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return EISDIR;
  std::vector<uint8_t> earlier;
  position_ = 1;
  if (exists && !overwrite) {
    int count = 0, existing = 1;
    if (int e = read_sets(path, earlier, count, existing); e != 0) return e;
    if (count > 0 && existing != image.families) {
      if (families) *families = existing;
      return MEDIA_FAMILIES;
    }
    position_ = count + 1;
  }
  image_ = image;
  path_ = path;
  temp_ = path + ".vrsim-" + std::to_string(::getpid()) + "-" + std::to_string(++g_temp_counter);
  fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    int e = errno;
    // A missing directory is a path the server cannot find, not a file.
    return e == ENOENT ? ENOTDIR : e;
  }
  written_ = 0;
  hash_ = FNV_OFFSET;
  if (int e = write_all(earlier.data(), earlier.size()); e != 0) {
    abort();
    return e;
  }
  offset_ = earlier.size();
  hash_ = FNV_OFFSET;  // each set's trailer covers the set alone

  std::string name = image.database.substr(0, MAX_NAME);
  uint32_t rec = image.compressed ? RECORD_COMPRESSED : RECORD_FULL;
  length_ = FIXED_HEADER + name.size() + uint64_t(image.pages) * rec + TRAILER;
  std::vector<uint8_t> h(FIXED_HEADER + name.size());
  std::memcpy(h.data(), MAGIC, 8);
  put32(&h[8], FORMAT_VERSION);
  put32(&h[12], set_flags(image));
  put64(&h[16], uint64_t(image.pages));
  put32(&h[24], rec);
  put32(&h[28], uint32_t(image.db_id));
  put64(&h[32], uint64_t(image.size_mb));
  put32(&h[40], uint32_t(name.size()));
  std::memcpy(&h[44], name.data(), name.size());
  int e = write_all(h.data(), h.size());
  if (e != 0) abort();
  return e;
}

int BackupWriter::write_all(const void* data, size_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  hash_ = fnv(hash_, p, len);
  while (len > 0) {
    ssize_t n = ::write(fd_, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += n;
    len -= size_t(n);
  }
  return 0;
}

int BackupWriter::write_pages(int64_t upto) {
  if (fd_ < 0) return EBADF;
  if (upto > image_.pages) upto = image_.pages;
  uint32_t rec = image_.compressed ? RECORD_COMPRESSED : RECORD_FULL;
  uint64_t seed = database_seed(image_);
  std::vector<uint8_t> buf;
  constexpr int64_t CHUNK = 4096;
  while (written_ < upto) {
    int64_t n = std::min<int64_t>(CHUNK, upto - written_);
    buf.resize(size_t(n) * rec);
    for (int64_t k = 0; k < n; ++k) page_record(image_, seed, written_ + k, &buf[size_t(k) * rec]);
    if (int e = write_all(buf.data(), buf.size()); e != 0) return e;
    written_ += n;
  }
  return 0;
}

int BackupWriter::finish() {
  if (int e = write_pages(image_.pages); e != 0) return e;
  uint8_t t[TRAILER];
  std::memcpy(t, END_MAGIC, 8);
  put64(t + 8, hash_);  // covers every byte before the trailer
  if (int e = write_all(t, TRAILER); e != 0) return e;
  if (::close(fd_) != 0) {
    int e = errno;
    fd_ = -1;
    return e;
  }
  fd_ = -1;
  if (::rename(temp_.c_str(), path_.c_str()) != 0) return errno;
  temp_.clear();
  return 0;
}

void BackupWriter::abort() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!temp_.empty()) {
    ::unlink(temp_.c_str());
    temp_.clear();
  }
}

namespace {

bool read_exact(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t r = ::read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

bool read_at(int fd, uint64_t off, uint8_t* p, size_t n) {
  return ::lseek(fd, off_t(off), SEEK_SET) == off_t(off) && read_exact(fd, p, n);
}

// Reads the body into the hash, then the trailer, which must match it.
VerifyOutcome::Kind read_body(int fd, uint64_t body, uint64_t hash) {
  std::vector<uint8_t> buf(1 << 16);
  for (uint64_t left = body; left > 0;) {
    size_t n = size_t(std::min<uint64_t>(left, buf.size()));
    if (!read_exact(fd, buf.data(), n)) return VerifyOutcome::Truncated;
    hash = fnv(hash, buf.data(), n);
    left -= n;
  }
  uint8_t t[TRAILER];
  if (!read_exact(fd, t, TRAILER)) return VerifyOutcome::Truncated;
  if (std::memcmp(t, END_MAGIC, 8) != 0 || get64(t + 8) != hash) return VerifyOutcome::Damaged;
  return VerifyOutcome::Valid;
}

// Walks the sets of the file up to set `file` and checks it whole; the
// bytes behind it must start another set or be none.
void check_set(int fd, uint64_t size, int file, VerifyOutcome& out) {
  uint64_t off = 0;
  uint8_t h[FIXED_HEADER];
  SetHeader sh;
  for (int k = 1;; ++k) {
    if (k > 1 && off == size) {
      out.kind = VerifyOutcome::NoSuchSet;
      return;
    }
    if (size - off < FIXED_HEADER || !read_at(fd, off, h, FIXED_HEADER) || !parse_header(h, sh)) {
      out.kind = k == 1 ? VerifyOutcome::Malformed : VerifyOutcome::Damaged;
      return;
    }
    if (k == file) break;
    if (sh.length > size - off) {
      out.kind = VerifyOutcome::Truncated;
      return;
    }
    off += sh.length;
  }
  out.flags = sh.flags;
  if (sh.length > size - off) {
    out.kind = VerifyOutcome::Truncated;
    return;
  }
  out.kind = read_body(fd, sh.body, fnv(FNV_OFFSET, h, FIXED_HEADER));
  const uint64_t next = off + sh.length;
  if (out.kind != VerifyOutcome::Valid || next == size) return;
  uint8_t nh[FIXED_HEADER];
  SetHeader ignored;
  if (size - next < FIXED_HEADER || !read_at(fd, next, nh, FIXED_HEADER) || !parse_header(nh, ignored)) {
    out.kind = VerifyOutcome::Damaged;
  }
}

}  // namespace

VerifyOutcome verify_backup(const std::string& path, int file) {
  VerifyOutcome out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    out.kind = VerifyOutcome::CannotOpen;
    out.os_error = errno;
    return out;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};

  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    out.kind = VerifyOutcome::CannotOpen;
    out.os_error = EACCES;
    return out;
  }
  check_set(fd, uint64_t(st.st_size), file, out);
  return out;
}

int damage_backup_set(const std::string& path, uint64_t offset, uint64_t length) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return errno;
  // The middle of a set lies in its pages, past the header.
  const uint64_t at = offset + length / 2;
  uint8_t b = 0;
  int e = 0;
  if (::pread(fd, &b, 1, off_t(at)) != 1) e = EIO;
  b ^= 0x5A;
  if (e == 0 && ::pwrite(fd, &b, 1, off_t(at)) != 1) e = errno;
  ::close(fd);
  return e;
}

}  // namespace sim
