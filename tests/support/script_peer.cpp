#include "script_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

constexpr int SLICE_MS = 20;  // how often the peer's waits look at the stop flag

int listen_loopback(int backlog, int* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

void put_le16(bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

void put_le32(bytes& b, uint32_t v) {
  put_le16(b, v & 0xFFFF);
  put_le16(b, v >> 16);
}

void put_b_varchar(bytes& b, const std::string& s) {
  bytes u = utf16le(s);
  b.push_back(static_cast<uint8_t>(u.size() / 2));
  b.insert(b.end(), u.begin(), u.end());
}

}  // namespace

// ---- ScriptPeer -----------------------------------------------------------------

ScriptPeer::ScriptPeer() { listen_fd_ = listen_loopback(4, &port_); }

ScriptPeer::~ScriptPeer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (conn_fd_ >= 0) ::close(conn_fd_);
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

ScriptPeer& ScriptPeer::read(size_t n) {
  steps_.push_back({kind::read_n, {}, n, 0});
  return *this;
}

ScriptPeer& ScriptPeer::read_message() {
  steps_.push_back({kind::read_msg, {}, 0, 0});
  return *this;
}

ScriptPeer& ScriptPeer::send(bytes data, size_t chunk, int delay_ms) {
  steps_.push_back({kind::send, std::move(data), chunk, delay_ms});
  return *this;
}

ScriptPeer& ScriptPeer::flood(bytes data, size_t times) {
  steps_.push_back({kind::flood, std::move(data), times, 0});
  return *this;
}

ScriptPeer& ScriptPeer::pause(int ms) {
  steps_.push_back({kind::pause, {}, 0, ms});
  return *this;
}

ScriptPeer& ScriptPeer::close() {
  steps_.push_back({kind::close, {}, 0, 0});
  return *this;
}

ScriptPeer& ScriptPeer::accept_login(uint8_t encryption) {
  read_message();
  send(tds_message(0x04, tds_prelogin_answer(encryption)));
  read_message();
  send(tds_message(0x04, cat({tds_envchange_token("master"), tds_loginack_token(),
                              tds_done_token(0)})));
  return *this;
}

void ScriptPeer::start() { thread_ = std::thread([this] { run(); }); }

bool ScriptPeer::wait_done(int timeout_ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done_) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::vector<bytes> ScriptPeer::reads() const {
  std::lock_guard<std::mutex> lock(mu_);
  return reads_;
}

bytes ScriptPeer::received() const {
  std::lock_guard<std::mutex> lock(mu_);
  return received_;
}

std::string ScriptPeer::failure() const {
  std::lock_guard<std::mutex> lock(mu_);
  return failure_;
}

void ScriptPeer::fail(const std::string& why) {
  std::lock_guard<std::mutex> lock(mu_);
  if (failure_.empty()) failure_ = why;
}

bool ScriptPeer::wait_ms(int ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stop_) {
    auto now = std::chrono::steady_clock::now();
    if (now >= until) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(left < SLICE_MS ? left : SLICE_MS));
  }
  return false;
}

// Reads what is there (at most n bytes), waiting in slices so a stop request
// is seen. False on end of stream, error or stop.
bool ScriptPeer::recv_some(uint8_t* buf, size_t n, size_t* got) {
  while (!stop_) {
    pollfd p{conn_fd_, POLLIN, 0};
    int rc = ::poll(&p, 1, SLICE_MS);
    if (rc < 0 && errno != EINTR) return false;
    if (rc <= 0) continue;
    ssize_t r = ::recv(conn_fd_, buf, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    std::lock_guard<std::mutex> lock(mu_);
    received_.insert(received_.end(), buf, buf + r);
    *got = static_cast<size_t>(r);
    return true;
  }
  return false;
}

bool ScriptPeer::recv_exact(uint8_t* buf, size_t n) {
  size_t have = 0;
  while (have < n) {
    size_t got = 0;
    if (!recv_some(buf + have, n - have, &got)) return false;
    have += got;
  }
  return true;
}

bool ScriptPeer::send_stoppable(const bytes& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    if (stop_) return false;
    pollfd p{conn_fd_, POLLOUT, 0};
    if (::poll(&p, 1, SLICE_MS) <= 0) continue;
    ssize_t r = ::send(conn_fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (r <= 0) return false;
    sent += static_cast<size_t>(r);
  }
  return true;
}

void ScriptPeer::run() {
  // Accept one client, bounded so that a test whose client never comes ends.
  for (int waited = 0; conn_fd_ < 0; waited += SLICE_MS) {
    if (stop_ || waited >= 10000) {
      fail("no client connected");
      done_ = true;
      return;
    }
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, SLICE_MS) > 0) conn_fd_ = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

  size_t index = 0;
  bool closed = false;
  for (const step& s : steps_) {
    const std::string where = "step " + std::to_string(index++);
    bool ok = true;
    switch (s.k) {
      case kind::read_n: {
        bytes got(s.n);
        ok = recv_exact(got.data(), got.size());
        if (ok) {
          std::lock_guard<std::mutex> lock(mu_);
          reads_.push_back(std::move(got));
        } else {
          fail(where + ": client closed before " + std::to_string(s.n) + " bytes arrived");
        }
        break;
      }
      case kind::read_msg: {
        bytes msg;
        for (;;) {
          uint8_t hdr[8];
          if (!recv_exact(hdr, 8)) { ok = false; break; }
          size_t len = (static_cast<size_t>(hdr[2]) << 8) | hdr[3];
          msg.insert(msg.end(), hdr, hdr + 8);
          if (len < 8) { ok = false; break; }
          bytes body(len - 8);
          if (!recv_exact(body.data(), body.size())) { ok = false; break; }
          msg.insert(msg.end(), body.begin(), body.end());
          if (hdr[1] & 0x01) break;
        }
        if (ok) {
          std::lock_guard<std::mutex> lock(mu_);
          reads_.push_back(std::move(msg));
        } else {
          fail(where + ": no whole message arrived");
        }
        break;
      }
      case kind::send: {
        size_t chunk = s.n ? s.n : s.data.size();
        for (size_t off = 0; ok && off < s.data.size(); off += chunk) {
          if (off != 0 && s.delay_ms > 0 && !wait_ms(s.delay_ms)) ok = false;
          size_t n = s.data.size() - off < chunk ? s.data.size() - off : chunk;
          size_t sent = 0;
          while (ok && sent < n) {
            ssize_t r = ::send(conn_fd_, s.data.data() + off + sent, n - sent, MSG_NOSIGNAL);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) ok = false;
            else sent += static_cast<size_t>(r);
          }
        }
        if (!ok) fail(where + ": send failed");
        break;
      }
      case kind::flood:
        for (size_t i = 0; i < s.n && !closed; ++i) closed = !send_stoppable(s.data);
        break;
      case kind::pause:
        ok = wait_ms(s.delay_ms);
        break;
      case kind::close:
        ::shutdown(conn_fd_, SHUT_RDWR);
        closed = true;
        break;
    }
    if (!ok || closed) break;
  }
  done_ = true;
  if (closed) return;
  // Keep recording until the client hangs up or the peer is destroyed.
  uint8_t buf[4096];
  size_t got = 0;
  while (recv_some(buf, sizeof buf, &got)) {
  }
}

// ---- StalledListener ----------------------------------------------------------

StalledListener::StalledListener() {
  // Backlog 0 admits one queued connection; once it is there, further SYNs
  // are dropped and a client's connect waits.
  listen_fd_ = listen_loopback(0, &port_);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port_));
  for (int i = 0; i < 8; i++) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) break;
    fillers_.push_back(fd);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) continue;
    if (errno != EINPROGRESS) break;
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 200) == 0) break;  // this one hangs: the queue is full
  }
}

StalledListener::~StalledListener() {
  for (int fd : fillers_) ::close(fd);
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

int closed_port() {
  int port = 0;
  int fd = listen_loopback(1, &port);
  if (fd >= 0) ::close(fd);
  return port;
}

bool connect_raw(tds_conn* c, int port) {
  std::memset(c, 0, sizeof *c);
  c->sock = PLAT_INVALID_SOCKET;
  char port_text[16];
  std::snprintf(port_text, sizeof port_text, "%d", port);
  plat_addr* list = nullptr;
  if (plat_resolve("127.0.0.1", port_text, 0, nullptr, &list) != PLAT_READY) return false;
  plat_socket s = plat_socket_open(list);
  bool ok = s != PLAT_INVALID_SOCKET && plat_connect(s, list, 0, nullptr) == PLAT_READY;
  plat_resolve_free(list);
  if (!ok) {
    plat_close(s);
    return false;
  }
  c->sock = s;
  return true;
}

// ---- Building server bytes ----------------------------------------------------

bytes tds_packet(uint8_t type, uint8_t status, const bytes& payload) {
  size_t len = payload.size() + 8;
  bytes p = {type, status, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), 0, 0, 0, 0};
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

bytes tds_message(uint8_t type, const bytes& payload, size_t max_payload) {
  bytes out;
  size_t off = 0;
  do {
    size_t n = payload.size() - off < max_payload ? payload.size() - off : max_payload;
    bytes part(payload.begin() + static_cast<long>(off), payload.begin() + static_cast<long>(off + n));
    off += n;
    bytes p = tds_packet(type, off >= payload.size() ? 0x01 : 0x00, part);
    out.insert(out.end(), p.begin(), p.end());
  } while (off < payload.size());
  return out;
}

bytes utf16le(const std::string& s) {
  bytes out;
  for (size_t i = 0; i < s.size();) {
    uint8_t c = static_cast<uint8_t>(s[i]);
    uint32_t cp;
    size_t n;
    if (c < 0x80) { cp = c; n = 1; }
    else if (c < 0xE0) { cp = c & 0x1F; n = 2; }
    else if (c < 0xF0) { cp = c & 0x0F; n = 3; }
    else { cp = c & 0x07; n = 4; }
    for (size_t k = 1; k < n && i + k < s.size(); k++) cp = (cp << 6) | (s[i + k] & 0x3F);
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put_le16(out, 0xD800 | (cp >> 10));
      put_le16(out, 0xDC00 | (cp & 0x3FF));
    } else {
      put_le16(out, cp);
    }
  }
  return out;
}

bytes tds_msg_token(uint8_t token, int32_t number, uint8_t cls, const std::string& text) {
  bytes body;
  put_le32(body, static_cast<uint32_t>(number));
  body.push_back(1);    // state
  body.push_back(cls);  // class
  bytes msg = utf16le(text);
  put_le16(body, static_cast<uint32_t>(msg.size() / 2));
  body.insert(body.end(), msg.begin(), msg.end());
  put_b_varchar(body, "SIM");  // server name
  put_b_varchar(body, "");     // procedure name
  put_le32(body, 1);           // line number
  bytes t = {token};
  put_le16(t, static_cast<uint32_t>(body.size()));
  t.insert(t.end(), body.begin(), body.end());
  return t;
}

bytes tds_loginack_token() {
  bytes body = {0x01, 0x74, 0x00, 0x00, 0x04};  // interface, TDS version 7.4
  put_b_varchar(body, "sim");
  body.insert(body.end(), {16, 0, 0, 0});  // program version
  bytes t = {0xAD};
  put_le16(t, static_cast<uint32_t>(body.size()));
  t.insert(t.end(), body.begin(), body.end());
  return t;
}

bytes tds_envchange_token(const std::string& name) {
  bytes body = {0x01};
  put_b_varchar(body, name);
  put_b_varchar(body, "master");
  bytes t = {0xE3};
  put_le16(t, static_cast<uint32_t>(body.size()));
  t.insert(t.end(), body.begin(), body.end());
  return t;
}

bytes tds_done_token(uint16_t status, uint64_t rows, uint8_t token) {
  bytes t = {token};
  put_le16(t, status);
  put_le16(t, 0);  // current command
  put_le32(t, static_cast<uint32_t>(rows));
  put_le32(t, static_cast<uint32_t>(rows >> 32));
  return t;
}

bytes tds_prelogin_answer(uint8_t encryption) {
  return {0x00, 0x00, 0x0B, 0x00, 0x06, 0x01, 0x00, 0x11, 0x00, 0x01, 0xFF,
          0x10, 0x00, 0x07, 0xD0, 0x00, 0x00, encryption};
}

bytes cat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string hex(const bytes& b) {
  std::string s;
  char tmp[4];
  for (size_t i = 0; i < b.size(); i++) {
    std::snprintf(tmp, sizeof tmp, "%02X", b[i]);
    if (i) s += (i % 16 == 0) ? '\n' : ' ';
    s += tmp;
  }
  return s;
}
