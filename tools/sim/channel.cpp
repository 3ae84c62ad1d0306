#include "channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int SLICE_MS = 100;
// Consumed input is dropped from the buffer's front once it is this long.
constexpr size_t COMPACT_AT = 64u << 10;
// A request larger than this is not one any client of ours sends.
constexpr size_t MAX_MESSAGE = 64u << 20;

bool targets(FaultOn on, Phase phase) {
  switch (on) {
    case FaultOn::Any: return true;
    case FaultOn::Prelogin: return phase == Phase::Prelogin;
    case FaultOn::Login: return phase == Phase::Login;
    case FaultOn::Batch: return phase == Phase::Batch;
  }
  return false;
}

}  // namespace

Channel::Channel(int fd, const Config& cfg, uint16_t spid, const std::atomic<bool>& stopping,
                 const TlsContext* tls)
    : fd_(fd), cfg_(cfg), spid_(spid), stopping_(stopping), tls_ctx_(tls) {}

Channel::~Channel() { close(); }

void Channel::close() {
  if (fd_ >= 0) {
    // FIN first, so that what was sent before a fault's close is delivered.
    ::shutdown(fd_, SHUT_WR);
    ::close(fd_);
    fd_ = -1;
  }
}

// Waits up to timeout_ms (-1: as long as it takes) for bytes from the
// socket and adds what they give to in_; got tells whether anything was
// added (part of a TLS record adds nothing yet).
Recv Channel::fill(int timeout_ms, bool& got) {
  got = false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
  for (;;) {
    if (stopping_.load()) return Recv::Stopping;
    if (fd_ < 0) return Recv::Closed;
    int slice = SLICE_MS;
    if (timeout_ms >= 0) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      slice = int(std::clamp<int64_t>(left, 0, SLICE_MS));
    }
    pollfd pf{fd_, POLLIN, 0};
    int r = ::poll(&pf, 1, slice);
    if (r < 0 && errno != EINTR) return Recv::Closed;
    if (r > 0) {
      uint8_t buf[16384];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) return Recv::Closed;
      size_t before = in_.size();
      if (!tls_) {
        in_.insert(in_.end(), buf, buf + n);
      } else {
        tls_->feed(buf, size_t(n));
        if (tls_->read(in_) != TlsEngine::Read::Ok || !flush_tls()) return Recv::Closed;
      }
      if (in_.size() > before) {
        got = true;
        return Recv::Ok;
      }
    }
    if (timeout_ms >= 0 && Clock::now() >= deadline) return Recv::Ok;
  }
}

Recv Channel::read_exact(uint8_t* p, size_t n) {
  while (in_.size() - in_at_ < n) {
    bool got = false;
    if (Recv r = fill(-1, got); r != Recv::Ok) return r;
  }
  std::copy_n(in_.begin() + ptrdiff_t(in_at_), n, p);
  in_at_ += n;
  if (in_at_ == in_.size()) {
    in_.clear();
    in_at_ = 0;
  } else if (in_at_ >= COMPACT_AT) {
    in_.erase(in_.begin(), in_.begin() + ptrdiff_t(in_at_));
    in_at_ = 0;
  }
  return Recv::Ok;
}

Recv Channel::read_packet(Packet& p) {
  if (!pending_.empty()) {
    p = std::move(pending_.front());
    pending_.pop_front();
    return Recv::Ok;
  }
  uint8_t h[8];
  if (Recv r = read_exact(h, 8); r != Recv::Ok) return r;
  size_t len = (size_t(h[2]) << 8) | h[3];
  if (len < 8) return Recv::Bad;
  p.type = h[0];
  p.status = h[1];
  p.payload.resize(len - 8);
  return read_exact(p.payload.data(), p.payload.size());
}

Recv Channel::poll_packet(int timeout_ms, Packet& p, bool& got) {
  got = false;
  if (!pending_.empty()) {
    got = true;
    return read_packet(p);
  }
  if (fd_ < 0) return Recv::Closed;
  if (in_at_ == in_.size()) {
    bool any = false;
    if (Recv r = fill(std::max(timeout_ms, 0), any); r != Recv::Ok) return r;
    if (!any) return Recv::Ok;
  }
  got = true;
  return read_packet(p);
}

Recv Channel::read_message(Packet& msg) {
  msg = Packet{};
  Packet p;
  bool first = true;
  for (;;) {
    if (Recv r = read_packet(p); r != Recv::Ok) return r;
    if (first) {
      msg.type = p.type;
      first = false;
    }
    if (msg.payload.size() + p.payload.size() > MAX_MESSAGE) return Recv::Bad;
    msg.payload.insert(msg.payload.end(), p.payload.begin(), p.payload.end());
    if (p.status & STATUS_EOM) {
      msg.status = p.status;
      if (tls_login_only_) {
        // The login was the one message TLS covers; both sides go on in clear.
        tls_.reset();
        tls_login_only_ = false;
      }
      return Recv::Ok;
    }
  }
}

void Channel::begin_response(Phase phase) {
  const Faults& f = cfg_.faults;
  bool any = f.on == FaultOn::Any;
  if (targets(f.on, phase) && !fault_started_) {
    fault_started_ = true;
    counting_ = true;
    counted_ = 0;
    bad_length_pending_ = f.bad_length;
    if (f.silent) muted_ = true;
  } else if (!any) {
    // Only the first response of the targeted kind is hit.
    counting_ = false;
  }
}

bool Channel::write_socket(const uint8_t* p, size_t n) {
  while (n > 0) {
    if (fd_ < 0 || stopping_.load()) return false;
    pollfd pf{fd_, POLLOUT, 0};
    int r = ::poll(&pf, 1, SLICE_MS);
    if (r < 0 && errno != EINTR) return false;
    if (r <= 0) continue;
    ssize_t w = ::send(fd_, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (w <= 0) return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}

bool Channel::flush_tls() {
  Bytes out = tls_->take_output();
  return write_socket(out.data(), out.size());
}

// Under TLS each write is a record of its own, so a fault that cuts a packet
// short still delivers the bytes before the cut.
bool Channel::write_exact(const uint8_t* p, size_t n) {
  if (!tls_) return write_socket(p, n);
  return tls_->write(p, n) && flush_tls();
}

bool Channel::send(const Bytes& payload, bool eom) {
  if (fd_ < 0) return false;
  if (muted_) return true;
  size_t max_packet = size_t(cfg_.split > 0 ? cfg_.split : packet_size_);
  size_t chunk_max = max_packet - 8;
  size_t off = 0;
  do {
    size_t chunk = std::min(chunk_max, payload.size() - off);
    bool last = off + chunk == payload.size();
    Bytes pkt;
    pkt.reserve(PACKET_HEADER_LEN + chunk);
    size_t len = PACKET_HEADER_LEN + chunk;
    if (bad_length_pending_) {
      // A Length the client must refuse; the bytes still follow.
      bad_length_pending_ = false;
      len = 4;
    }
    put_packet_header(pkt, PKT_REPLY, last && eom ? STATUS_EOM : 0x00, uint16_t(len), spid_,
                      ++packet_id_);
    pkt.insert(pkt.end(), payload.begin() + ptrdiff_t(off), payload.begin() + ptrdiff_t(off + chunk));
    off += chunk;

    size_t n = pkt.size();
    bool cut = false;
    if (counting_ && cfg_.faults.close_after >= 0) {
      int64_t room = cfg_.faults.close_after - counted_;
      if (int64_t(n) >= room) {
        n = size_t(std::max<int64_t>(room, 0));
        cut = true;
      }
      counted_ += int64_t(n);
    }
    if (n > 0 && !write_exact(pkt.data(), n)) {
      close();
      return false;
    }
    if (cut) {
      close();
      return false;
    }
  } while (off < payload.size());
  message_open_ = !eom;
  return true;
}

}  // namespace sim
