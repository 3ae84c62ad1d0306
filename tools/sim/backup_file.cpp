#include "backup_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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

int BackupWriter::open(const std::string& path, const BackupImage& image) {
  abort();
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return EISDIR;
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

  std::string name = image.database.substr(0, MAX_NAME);
  std::vector<uint8_t> h(FIXED_HEADER + name.size());
  std::memcpy(h.data(), MAGIC, 8);
  put32(&h[8], FORMAT_VERSION);
  put32(&h[12], (image.compressed ? 1u : 0u) | (image.copy_only ? 2u : 0u));
  put64(&h[16], uint64_t(image.pages));
  put32(&h[24], image.compressed ? RECORD_COMPRESSED : RECORD_FULL);
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

// Reads the fixed header into the hash and checks it against the file's
// size; when Valid, body is the count of bytes between it and the trailer.
VerifyOutcome::Kind read_header(int fd, uint64_t size, uint64_t& hash, uint64_t& body) {
  uint8_t h[FIXED_HEADER];
  if (size < FIXED_HEADER || !read_exact(fd, h, FIXED_HEADER) || std::memcmp(h, MAGIC, 8) != 0 ||
      get32(&h[8]) != FORMAT_VERSION) {
    return VerifyOutcome::Malformed;
  }
  hash = fnv(hash, h, FIXED_HEADER);
  uint64_t pages = get64(&h[16]);
  uint32_t rec = get32(&h[24]);
  uint32_t name_len = get32(&h[40]);
  if ((rec != RECORD_FULL && rec != RECORD_COMPRESSED) || name_len > MAX_NAME ||
      pages > (uint64_t(1) << 40)) {
    return VerifyOutcome::Malformed;
  }
  body = name_len + pages * rec;
  uint64_t expect = FIXED_HEADER + body + TRAILER;
  if (size < expect) return VerifyOutcome::Truncated;
  if (size > expect) return VerifyOutcome::Damaged;
  return VerifyOutcome::Valid;
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

}  // namespace

VerifyOutcome verify_backup(const std::string& path) {
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
  uint64_t hash = FNV_OFFSET, body = 0;
  out.kind = read_header(fd, uint64_t(st.st_size), hash, body);
  if (out.kind == VerifyOutcome::Valid) out.kind = read_body(fd, body, hash);
  return out;
}

}  // namespace sim
