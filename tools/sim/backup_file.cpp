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
constexpr uint32_t FORMAT_VERSION = 2;
constexpr size_t FIXED_HEADER = 48;
constexpr uint32_t MAX_META = 1 << 16;
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
         (img.kind == 'L' ? SET_LOG : 0u) | (img.encrypted ? SET_ENCRYPTED : 0u) | (img.damaged ? SET_DAMAGED : 0u) |
         (uint32_t(img.families - 1) & 0xFF) << 8 | (uint32_t(img.family) & 0xFF) << 16;
}

// One set's header as read from its first FIXED_HEADER bytes.
struct SetHeader {
  uint32_t flags = 0;
  uint64_t pages = 0;
  uint32_t name_len = 0;
  uint32_t meta_len = 0;
  uint64_t meta_at = 0;  // from the set's start
  uint64_t length = 0;  // the whole set, header to trailer
  uint64_t body = 0;    // the bytes between the fixed header and the trailer
};

bool parse_header(const uint8_t* h, SetHeader& out) {
  if (std::memcmp(h, MAGIC, 8) != 0 || get32(&h[8]) != FORMAT_VERSION) return false;
  uint64_t pages = get64(&h[16]);
  uint32_t rec = get32(&h[24]);
  uint32_t name_len = get32(&h[40]);
  uint32_t meta_len = get32(&h[44]);
  if ((rec != RECORD_FULL && rec != RECORD_COMPRESSED) || name_len > MAX_NAME || meta_len > MAX_META ||
      pages > (uint64_t(1) << 40)) {
    return false;
  }
  out.flags = get32(&h[12]);
  out.pages = pages;
  out.name_len = name_len;
  out.meta_len = meta_len;
  out.meta_at = FIXED_HEADER + name_len + pages * rec;
  out.body = name_len + pages * rec + meta_len;
  out.length = FIXED_HEADER + out.body + TRAILER;
  return true;
}

void put_text(Bytes& out, const std::string& s) {
  const size_t n = std::min<size_t>(s.size(), 0xFFFF);
  out.push_back(uint8_t(n));
  out.push_back(uint8_t(n >> 8));
  out.insert(out.end(), s.begin(), s.begin() + long(n));
}

void put_u64(Bytes& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

Bytes encode_meta(const SetMeta& m) {
  Bytes out;
  for (const Bytes* g : {&m.media_guid, &m.backup_set_guid, &m.family_guid}) {
    Bytes g16 = *g;
    g16.resize(16);
    out.insert(out.end(), g16.begin(), g16.end());
  }
  for (uint64_t v : {m.first_lsn, m.last_lsn, m.checkpoint_lsn, m.database_backup_lsn, m.differential_base_lsn}) {
    put_u64(out, v);
  }
  for (Stamp v : {m.started, m.finished, m.log_from}) put_u64(out, uint64_t(v));
  put_text(out, m.recovery);
  put_text(out, m.set_name);
  put_text(out, m.description);
  const size_t n = std::min<size_t>(m.files.size(), 0xFFFF);
  out.push_back(uint8_t(n));
  out.push_back(uint8_t(n >> 8));
  for (size_t k = 0; k < n; ++k) {
    out.push_back(uint8_t(m.files[k].type));
    put_u64(out, uint64_t(m.files[k].size_mb));
    put_text(out, m.files[k].logical);
    put_text(out, m.files[k].physical);
  }
  for (const Bytes* g : {&m.first_fork, &m.last_fork}) {
    Bytes g16 = *g;
    g16.resize(16);
    out.insert(out.end(), g16.begin(), g16.end());
  }
  put_u64(out, m.fork_point);
  return out;
}

// Reads what encode_meta wrote, each field checked against the end.
struct MetaReader {
  const uint8_t* p;
  size_t left;
  bool ok = true;

  const uint8_t* take(size_t n) {
    if (!ok || n > left) {
      ok = false;
      return nullptr;
    }
    const uint8_t* at = p;
    p += n;
    left -= n;
    return at;
  }
  uint64_t u64() {
    const uint8_t* at = take(8);
    return at ? get64(at) : 0;
  }
  size_t u16() {
    const uint8_t* at = take(2);
    return at ? size_t(at[0] | (at[1] << 8)) : 0;
  }
  std::string text() {
    size_t n = u16();
    const uint8_t* at = take(n);
    return at ? std::string(reinterpret_cast<const char*>(at), n) : std::string();
  }
  Bytes guid() {
    const uint8_t* at = take(16);
    return at ? Bytes(at, at + 16) : Bytes(16);
  }
};

bool decode_meta(const uint8_t* p, size_t n, SetMeta& m) {
  MetaReader r{p, n};
  m.media_guid = r.guid();
  m.backup_set_guid = r.guid();
  m.family_guid = r.guid();
  for (uint64_t* v : {&m.first_lsn, &m.last_lsn, &m.checkpoint_lsn, &m.database_backup_lsn, &m.differential_base_lsn}) {
    *v = r.u64();
  }
  for (Stamp* v : {&m.started, &m.finished, &m.log_from}) *v = Stamp(r.u64());
  m.recovery = r.text();
  m.set_name = r.text();
  m.description = r.text();
  size_t files = r.u16();
  for (size_t k = 0; k < files && r.ok; ++k) {
    DbFile f;
    const uint8_t* t = r.take(1);
    f.type = t ? char(*t) : 'D';
    f.size_mb = int64_t(r.u64());
    f.logical = r.text();
    f.physical = r.text();
    m.files.push_back(f);
  }
  m.first_fork = r.guid();
  m.last_fork = r.guid();
  m.fork_point = r.u64();
  return r.ok && r.left == 0;
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
  if (position_ > 1) {
    // A set appended to a media set belongs to it.
    SetHeader first;
    if (parse_header(earlier.data(), first) && first.meta_len >= 16) {
      image_.meta.media_guid.assign(earlier.begin() + long(first.meta_at), earlier.begin() + long(first.meta_at + 16));
    }
  }
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
  // The description is written last, at its final length: only fixed-size
  // fields change by then.
  meta_len_ = encode_meta(image_.meta).size();
  if (meta_len_ > MAX_META) {
    abort();
    return EINVAL;
  }
  length_ = FIXED_HEADER + name.size() + uint64_t(image.pages) * rec + meta_len_ + TRAILER;
  std::vector<uint8_t> h(FIXED_HEADER + name.size());
  std::memcpy(h.data(), MAGIC, 8);
  put32(&h[8], FORMAT_VERSION);
  put32(&h[12], set_flags(image));
  put64(&h[16], uint64_t(image.pages));
  put32(&h[24], rec);
  put32(&h[28], uint32_t(image.db_id));
  put64(&h[32], uint64_t(image.size_mb));
  put32(&h[40], uint32_t(name.size()));
  put32(&h[44], uint32_t(meta_len_));
  std::memcpy(&h[48], name.data(), name.size());
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
  Bytes meta = encode_meta(image_.meta);
  if (meta.size() != meta_len_) return EINVAL;
  if (int e = write_all(meta.data(), meta.size()); e != 0) return e;
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

int read_set_infos(const std::string& path, std::vector<SetInfo>& out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) return EACCES;
  const uint64_t size = uint64_t(st.st_size);
  uint64_t off = 0;
  for (int position = 1; off < size; ++position) {
    uint8_t h[FIXED_HEADER];
    SetHeader sh;
    if (size - off < FIXED_HEADER || !read_at(fd, off, h, FIXED_HEADER) || !parse_header(h, sh) ||
        sh.length > size - off) {
      break;
    }
    SetInfo info;
    info.position = position;
    info.flags = sh.flags;
    info.pages = int64_t(sh.pages);
    info.size_mb = int64_t(get64(&h[32]));
    std::vector<uint8_t> name(sh.name_len), meta(sh.meta_len);
    if (!read_at(fd, off + FIXED_HEADER, name.data(), name.size()) ||
        !read_at(fd, off + sh.meta_at, meta.data(), meta.size()) ||
        !decode_meta(meta.data(), meta.size(), info.meta)) {
      break;
    }
    info.database.assign(name.begin(), name.end());
    out.push_back(std::move(info));
    off += sh.length;
  }
  return out.empty() ? MEDIA_MALFORMED : 0;
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
