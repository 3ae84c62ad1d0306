// Packet framing over the connection's socket.
//
// Packet header, 8 bytes, in both directions:
//   0  Type      packet type (ignored on receipt)
//   1  Status    0x01 ends the message (other bits ignored on receipt)
//   2  Length    whole packet including this header, big-endian, >= 8
//   4  SPID      0 (ignored)
//   6  PacketID  0 (ignored)
//   7  Window    0 (ignored)
//
// Sending: a message is cut into packets of at most TDS_MAX_PAYLOAD payload
// bytes, the last one marked end-of-message; each packet is assembled on the
// stack and handed to the socket whole (a short write is continued).
//
// Waits: with neither a cancel flag nor a deadline, every read is a plain
// blocking recv. With either, each wait for bytes is cut into slices of at
// most PLAT_SLICE_MS so that a cancel or a passed deadline is noticed while
// the server is silent, and both are checked before every read, so a peer
// that keeps sending cannot carry a call past its deadline either.
//
// TLS: once the connection's session is live, packets are written into it
// and its ciphertext sent; reads take what it has already decrypted before
// waiting on the socket, and feed it at most TDS_TLS_CHUNK bytes at a time.
// Caps, deadlines, the cancel flag and the attention drain work on the
// plaintext stream exactly as in clear text.
//
// Memory: each receive names its caps (tds_recv_caps); a packet that would
// take the message or the buffer past them fails with "response too large"
// before anything is allocated for it.
#include <cstdlib>
#include <cstring>

#include "tds_client/tds_client.h"
#include "tds_client/tokens.h"

namespace {

constexpr uint64_t HEADER_LEN = TDS_HEADER_LEN;
constexpr uint8_t STATUS_EOM = 0x01;
constexpr uint64_t RBUF_FIRST_CAP = 65536;
// rx_pkt_eom value meaning the byte stream stands at a place the attention
// drain cannot resume from (inside a packet header, or after a failure that
// was not a cancel or time-out).
constexpr uint8_t RX_LOST = 0xFF;

enum read_result { READ_OK = 0, READ_FAILED = -1, READ_STOPPED = -2 };

// The deadline is checked before the wait and before the read alike.
bool past(int64_t deadline) { return deadline != 0 && plat_mono_ms() >= deadline; }

read_result stopped(tds_conn* c, tds_stop why, const char* text) {
  tds_set_err(c, text);
  c->rx_stop = why;
  return READ_STOPPED;
}

read_result failed(tds_conn* c, const char* text) {
  tds_set_err(c, text);
  c->rx_stop = TDS_STOP_FAILED;
  return READ_FAILED;
}

// The socket failed or the peer closed it: nothing was wrong with what it said.
read_result closed(tds_conn* c) {
  tds_set_err(c, "socket read failed");
  c->rx_stop = TDS_STOP_CLOSED;
  return READ_FAILED;
}

// A buffer that held a packet of the password must not linger on the stack;
// the volatile stores keep the compiler from dropping the wipe.
void wipe(void* p, size_t n) {
  volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
  while (n--) *v++ = 0;
}

// Waits, in slices, until the socket has bytes to read. READ_STOPPED for a
// cancel or a passed deadline, READ_FAILED for a dead socket; err set.
read_result wait_bytes(tds_conn* c, const std::atomic<int32_t>* cancel, int64_t deadline,
                       const char* late) {
  for (;;) {
    int64_t slice;
    const int go = plat_next_slice(deadline, cancel, &slice);
    if (go == PLAT_CANCELLED) return stopped(c, TDS_STOP_CANCELLED, "cancelled");
    if (go == PLAT_TIMED_OUT) return stopped(c, TDS_STOP_TIMED_OUT, late);
    const int w = plat_wait_readable(c->sock, slice);
    if (w == PLAT_FAILED) return closed(c);
    if (w != PLAT_READY) continue;  // re-check the cancel flag and the deadline
    if (past(deadline)) return stopped(c, TDS_STOP_TIMED_OUT, late);
    return READ_OK;
  }
}

// One read of ciphertext from the socket into the TLS session: at most
// TDS_TLS_CHUNK bytes, so what the session holds stays bounded however
// much the server keeps sending.
read_result pull_cipher(tds_conn* c) {
  uint8_t chunk[TDS_TLS_CHUNK];
  const long got = plat_recv(c->sock, chunk, sizeof chunk);
  if (got <= 0) return closed(c);
  if (!tds_tls_feed(c->tls, chunk, static_cast<size_t>(got))) return failed(c, "out of memory");
  return READ_OK;
}

// Reads until dst[0..n) is full, counting progress in *done so that a caller
// can tell where the stream stands after a failure. READ_STOPPED is a cancel
// or a passed deadline: the stream is intact. READ_FAILED is a dead socket
// or a broken TLS session. Sets err in both cases.
//
// Under TLS the session may already hold decrypted bytes that no wait on
// the socket would announce, so they are taken first; only when it has none
// does the read wait on the socket and feed the session what arrives.
read_result read_exact(tds_conn* c, uint8_t* dst, uint64_t n, uint64_t* done,
                       const std::atomic<int32_t>* cancel, int64_t deadline,
                       const char* deadline_text) {
  const bool sliced = cancel != nullptr || deadline != 0;
  const char* late = deadline_text != nullptr ? deadline_text : "timed out";
  while (*done < n) {
    uint64_t want = n - *done;
    if (want > (1u << 30)) want = 1u << 30;
    if (c->tls_live) {
      const long plain = tds_tls_read(c->tls, dst + *done, static_cast<size_t>(want), c->err);
      if (plain < 0) {
        c->rx_stop = TDS_STOP_FAILED;
        return READ_FAILED;
      }
      if (plain > 0) {
        *done += static_cast<uint64_t>(plain);
        continue;
      }
    }
    if (sliced) {
      const read_result r = wait_bytes(c, cancel, deadline, late);
      if (r != READ_OK) return r;
    }
    if (c->tls_live) {
      const read_result r = pull_cipher(c);
      if (r != READ_OK) return r;
      continue;
    }
    long got = plat_recv(c->sock, dst + *done, static_cast<size_t>(want));
    if (got <= 0) return closed(c);
    *done += static_cast<uint64_t>(got);
  }
  return READ_OK;
}

int send_raw(tds_conn* c, const uint8_t* p, uint64_t n) {
  while (n > 0) {
    long sent = plat_send(c->sock, p, static_cast<size_t>(n));
    if (sent <= 0) {
      tds_set_err(c, "socket write failed");
      return -1;
    }
    p += sent;
    n -= static_cast<uint64_t>(sent);
  }
  return 0;
}

// Sends bytes of the TDS stream: as they are, or encrypted once the TLS
// session is live.
int send_all(tds_conn* c, const uint8_t* p, uint64_t n) {
  if (!c->tls_live) return send_raw(c, p, n);
  if (tds_tls_write(c->tls, p, static_cast<size_t>(n), c->err) != 0) return -1;
  return tds_tls_flush(c);
}

// Makes room for `need` bytes in rbuf: 65536 first, then doubling. On
// failure rbuf and rcap stay as they were.
int grow_rbuf(tds_conn* c, uint64_t need) {
  if (need <= c->rcap) return 0;
  uint64_t cap = c->rcap != 0 ? c->rcap * 2 : RBUF_FIRST_CAP;
  while (cap < need) cap *= 2;
  void* p = std::realloc(c->rbuf, static_cast<size_t>(cap));
  if (p == nullptr) {
    tds_set_err(c, "out of memory");
    return -1;
  }
  c->rbuf = static_cast<uint8_t*>(p);
  c->rcap = cap;
  return 0;
}

// ---- Receiving one packet ------------------------------------------------------------

int recv_header(tds_conn* c, tds_packet_head* head) {
  uint8_t hdr[HEADER_LEN];
  uint64_t done = 0;
  const read_result r = read_exact(c, hdr, HEADER_LEN, &done, c->cancel_flag, c->deadline_ms,
                                   c->deadline_text);
  if (r != READ_OK) {
    // Stopped between packets the stream is still aligned; stopped inside
    // a header it is not (the bytes already read are gone).
    if (r != READ_STOPPED || done != 0) c->rx_pkt_eom = RX_LOST;
    return -1;
  }
  if (!tds_parse_packet_header(hdr, head)) {
    failed(c, "bad packet length");
    c->rx_pkt_eom = RX_LOST;
    return -1;
  }
  return 0;
}

// Appends the packet's payload to rbuf, within the caps of this receive.
int recv_payload(tds_conn* c, tds_recv_caps caps, tds_packet_head head, uint64_t* total) {
  *total += head.payload;
  if ((caps.total != 0 && *total > caps.total) || c->rlen + head.payload > caps.held) {
    failed(c, "response too large");
    c->rx_pkt_eom = RX_LOST;
    return -1;
  }
  if (grow_rbuf(c, c->rlen + head.payload) != 0) {
    c->rx_stop = TDS_STOP_FAILED;
    c->rx_pkt_left = static_cast<uint32_t>(head.payload);
    c->rx_pkt_eom = head.eom;
    return -1;
  }
  uint64_t done = 0;
  const read_result r = read_exact(c, c->rbuf + c->rlen, head.payload, &done, c->cancel_flag,
                                   c->deadline_ms, c->deadline_text);
  if (r != READ_OK) {
    if (r == READ_STOPPED) {
      c->rx_pkt_left = static_cast<uint32_t>(head.payload - done);
      c->rx_pkt_eom = head.eom;
    } else {
      c->rx_pkt_eom = RX_LOST;
    }
    return -1;
  }
  c->rlen += head.payload;
  return 0;
}

// ---- Draining after an attention -------------------------------------------------------

// The last TDS_DONE_LEN bytes of the message being drained.
struct drain_tail {
  uint8_t bytes[TDS_DONE_LEN];
  uint64_t len;  // bytes of the current message seen, capped at TDS_DONE_LEN
};

void tail_push(drain_tail* t, const uint8_t* p, uint64_t n) {
  if (n >= TDS_DONE_LEN) {
    std::memcpy(t->bytes, p + n - TDS_DONE_LEN, TDS_DONE_LEN);
    t->len = TDS_DONE_LEN;
    return;
  }
  const uint64_t keep = t->len + n > TDS_DONE_LEN ? TDS_DONE_LEN - n : t->len;
  std::memmove(t->bytes, t->bytes + (t->len - keep), keep);
  std::memcpy(t->bytes + keep, p, n);
  t->len = keep + n;
}

bool tail_acknowledges(const drain_tail* t) {
  return t->len == TDS_DONE_LEN && t->bytes[0] == TDS_TOKEN_DONE &&
         (le16(t->bytes + 1) & TDS_DONE_ATTN) != 0;
}

// Reads and discards `left` payload bytes, keeping the message's tail.
bool drain_payload(tds_conn* c, uint64_t left, int64_t deadline, drain_tail* t) {
  uint8_t chunk[4096];
  while (left > 0) {
    const uint64_t n = left < sizeof chunk ? left : sizeof chunk;
    uint64_t done = 0;
    if (read_exact(c, chunk, n, &done, nullptr, deadline, "timed out") != READ_OK) return false;
    tail_push(t, chunk, n);
    left -= n;
  }
  return true;
}

// From the rest of the interrupted packet on, until a message ends with the
// acknowledgement (0) or the deadline passes or the stream breaks (-1).
int drain_to_ack(tds_conn* c, int64_t deadline) {
  tds_packet_head head{0, static_cast<uint8_t>(c->rx_pkt_eom == 1), c->rx_pkt_left};
  drain_tail tail{};
  for (;;) {
    if (!drain_payload(c, head.payload, deadline, &tail)) return -1;
    if (head.eom) {
      if (tail_acknowledges(&tail)) return 0;
      tail.len = 0;
    }
    uint8_t hdr[HEADER_LEN];
    uint64_t done = 0;
    if (read_exact(c, hdr, HEADER_LEN, &done, nullptr, deadline, "timed out") != READ_OK ||
        !tds_parse_packet_header(hdr, &head))
      return -1;
  }
}

}  // namespace

void tds_set_err(tds_conn* c, const char* text) { tds_err_text(c->err, text); }

bool tds_parse_packet_header(const uint8_t* hdr, tds_packet_head* head) {
  const uint64_t plen = (static_cast<uint64_t>(hdr[2]) << 8) | hdr[3];
  if (plen < HEADER_LEN) return false;
  head->type = hdr[0];
  head->eom = hdr[1] & STATUS_EOM;
  head->payload = plen - HEADER_LEN;
  return true;
}

int tds_tls_flush(tds_conn* c) {
  uint8_t chunk[TDS_TLS_CHUNK];
  for (;;) {
    const size_t n = tds_tls_take(c->tls, chunk, sizeof chunk);
    if (n == 0) return 0;
    if (send_raw(c, chunk, n) != 0) return -1;
  }
}

int tds_tls_pull(tds_conn* c) {
  c->rx_stop = TDS_STOP_NONE;
  if (c->cancel_flag != nullptr || c->deadline_ms != 0) {
    const char* late = c->deadline_text != nullptr ? c->deadline_text : "timed out";
    if (wait_bytes(c, c->cancel_flag, c->deadline_ms, late) != READ_OK) return -1;
  }
  return pull_cipher(c) == READ_OK ? 0 : -1;
}

int tds_send(tds_conn* c, int type, const uint8_t* payload, uint64_t len) {
  // Header and payload leave together: one send per packet, so under
  // TCP_NODELAY a packet is one segment and one system call, not two.
  uint8_t pkt[HEADER_LEN + TDS_MAX_PAYLOAD];
  uint64_t off = 0;
  // Only a login record holds a secret (the password); the other packets
  // (statements, PRELOGIN, ATTENTION) are not wiped, and a login's only as
  // far as it was written.
  const bool secret = type == TDS_PKT_LOGIN7;
  uint64_t written = 0;
  do {
    uint64_t chunk = len - off < TDS_MAX_PAYLOAD ? len - off : TDS_MAX_PAYLOAD;
    uint64_t plen = chunk + HEADER_LEN;
    pkt[0] = static_cast<uint8_t>(type);
    pkt[1] = static_cast<uint8_t>(off + chunk >= len ? STATUS_EOM : 0);
    pkt[2] = static_cast<uint8_t>(plen >> 8);
    pkt[3] = static_cast<uint8_t>(plen);
    pkt[4] = pkt[5] = pkt[6] = pkt[7] = 0;
    if (chunk != 0) std::memcpy(pkt + HEADER_LEN, payload + off, chunk);
    if (plen > written) written = plen;
    if (send_all(c, pkt, plen) != 0) {
      if (secret) wipe(pkt, written);
      return -1;
    }
    off += chunk;
  } while (off < len);
  if (secret) wipe(pkt, written);
  return 0;
}

int tds_recv(tds_conn* c, uint64_t cap) { return tds_recv_each(c, tds_recv_caps{cap, cap}, nullptr, nullptr); }

void tds_rbuf_drop(tds_conn* c, uint64_t n) {
  if (n > c->rlen) n = c->rlen;
  if (n != 0 && n < c->rlen) std::memmove(c->rbuf, c->rbuf + n, static_cast<size_t>(c->rlen - n));
  c->rlen -= n;
}

int tds_recv_each(tds_conn* c, tds_recv_caps caps, tds_packet_fn on_packet, void* ctx) {
  c->rlen = 0;
  c->rx_pkt_left = 0;
  c->rx_pkt_eom = 0;
  c->rx_stop = TDS_STOP_NONE;
  if (c->sock == PLAT_INVALID_SOCKET) {  // a wait on no socket would never end
    closed(c);
    c->rx_pkt_eom = RX_LOST;
    return -1;
  }
  uint64_t total = 0;  // payload bytes of this message so far
  for (;;) {
    tds_packet_head head;
    if (recv_header(c, &head) != 0 || recv_payload(c, caps, head, &total) != 0) return -1;
    if (on_packet != nullptr && on_packet(c, ctx) != 0) {
      c->rx_stop = TDS_STOP_FAILED;
      c->rx_pkt_eom = head.eom ? 0 : RX_LOST;
      return -1;
    }
    if (head.eom) return 0;
  }
}

// After a cancelled or timed-out read the server is still sending the
// interrupted response. The ATTENTION asks it to stop; the drain then reads
// and discards everything up to the message that ends in a DONE with the
// attention bit, keeping only a rolling window of each message's last
// TDS_DONE_LEN bytes, so it needs no buffer beyond the stack. It does not
// size tokens: it starts inside the interrupted answer, whose rows are sized
// by the walk's column metadata and may be of any length, so sizing them
// would mean holding each whole. A well-formed answer ends with its final
// DONE, so the window sees exactly that token.
int tds_attention(tds_conn* c, int64_t wait_ms) {
  char saved[TDS_ERR_SIZE];
  std::memcpy(saved, c->err, TDS_ERR_SIZE);

  int result = -1;
  const bool lost = c->rx_pkt_eom == RX_LOST;
  const uint8_t attn[HEADER_LEN] = {TDS_PKT_ATTENTION, STATUS_EOM, 0, HEADER_LEN, 0, 0, 0, 0};
  // With the packet boundaries lost the attention still goes out, so the
  // server stops its work, but its acknowledgement cannot be told apart.
  if (send_all(c, attn, HEADER_LEN) == 0 && !lost)
    result = drain_to_ack(c, plat_mono_ms() + (wait_ms > 0 ? wait_ms : 0) + 1);

  // Acknowledged: the stream stands at a message boundary again.
  c->rx_pkt_left = 0;
  c->rx_pkt_eom = result == 0 ? 0 : RX_LOST;
  std::memcpy(c->err, saved, TDS_ERR_SIZE);
  return result;
}

bool tds_stream_usable(const tds_conn* c) {
  return c->sock != PLAT_INVALID_SOCKET && c->rx_pkt_eom != RX_LOST;
}

void tds_close(tds_conn* c) {
  tds_tls_free(c->tls);
  c->tls = nullptr;
  c->tls_live = 0;
  if (c->sock != PLAT_INVALID_SOCKET) {
    plat_close(c->sock);
    c->sock = PLAT_INVALID_SOCKET;
  }
  std::free(c->rbuf);
  c->rbuf = nullptr;
  std::free(c->exec_space);
  c->exec_space = nullptr;
  c->rcap = 0;
  c->rlen = 0;
  c->rx_pkt_left = 0;
  c->rx_pkt_eom = 0;
}
