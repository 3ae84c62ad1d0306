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

// What the scripted answers say of the server.
constexpr const char* SERVER_NAME = "SIM";
constexpr uint8_t PROGRAM_VERSION[4] = {16, 0, 0, 0};
constexpr int PRELOGIN_VERSION[4] = {16, 0, 2000, 0};

sim::Tokens server_tokens() {
  sim::Tokens t;
  t.server_name = SERVER_NAME;
  return t;
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
  send(tds_message(sim::PKT_REPLY, tds_prelogin_answer(encryption)));
  read_message();
  send(tds_message(sim::PKT_REPLY,
                   cat({tds_envchange_token("master"), tds_loginack_token(), tds_done_token(0)})));
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
  bytes p;
  sim::put_packet_header(p, type, status, static_cast<uint16_t>(payload.size() + sim::PACKET_HEADER_LEN),
                         0, 0);
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

bytes tds_message(uint8_t type, const bytes& payload, size_t max_payload) {
  return sim::frame_message(type, payload, max_payload + sim::PACKET_HEADER_LEN, 0);
}

bytes utf16le(const std::string& s) { return sim::utf16le(s); }

bytes tds_msg_token(uint8_t token, int32_t number, uint8_t cls, const std::string& text) {
  sim::Tokens t = server_tokens();
  t.message(token, number, 1, cls, text);
  return t.b.out;
}

bytes tds_loginack_token() {
  sim::Tokens t = server_tokens();
  t.loginack(0x74000004, "sim", PROGRAM_VERSION);
  return t.b.out;
}

bytes tds_envchange_token(const std::string& name) {
  sim::Tokens t = server_tokens();
  t.env_text(sim::ENV_DATABASE, name, "master");
  return t.b.out;
}

bytes tds_done_token(uint16_t status, uint64_t rows, uint8_t token) {
  sim::Tokens t = server_tokens();
  t.done(status, sim::CMD_NONE, rows, token);
  return t.b.out;
}

bytes tds_int_result(const std::string& column, int64_t value) {
  sim::Tokens t = server_tokens();
  const std::vector<sim::Column> cols = {{column, sim::TYPE_INTN, 0, 4, true}};
  t.colmetadata(cols);
  if (value >= 0) t.row(cols, {sim::Cell{std::nullopt, value}});
  t.done(sim::DONE_COUNT, sim::CMD_SELECT, value >= 0 ? 1 : 0);
  return t.b.out;
}

bytes tds_prelogin_answer(uint8_t encryption) { return sim::prelogin_answer(PRELOGIN_VERSION, encryption); }

bytes tds_batch_payload(const std::string& sql) {
  bytes b = {0x16, 0, 0, 0, 0x12, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0};
  bytes u = utf16le(sql);
  b.insert(b.end(), u.begin(), u.end());
  return b;
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
