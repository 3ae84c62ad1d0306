// Running the TLS handshake of a connection, in its two forms: inside
// PRELOGIN packets after a PRELOGIN that negotiated encryption, or straight
// on the socket before any TDS byte. Both end with the session live, so the
// transport passes every later byte through it.
#include <cstdio>

#include "tds_client/tds_client.h"

namespace {

// A handshake cut short by the socket or the stream keeps the reason, under
// a prefix that says the encryption failed; a cancel or a passed deadline
// keeps its own text.
int io_failed(tds_conn* c) {
  if (c->rx_stop == TDS_STOP_CANCELLED || c->rx_stop == TDS_STOP_TIMED_OUT) return -1;
  char text[TDS_ERR_SIZE];
  std::snprintf(text, sizeof text, "TLS handshake failed: %s", c->err);
  tds_set_err(c, text);
  return -1;
}

// The ciphertext the session produced, as PRELOGIN messages of at most
// TDS_TLS_CHUNK bytes each (one per flight in practice).
int send_wrapped(tds_conn* c) {
  uint8_t chunk[TDS_TLS_CHUNK];
  for (;;) {
    const size_t n = tds_tls_take(c->tls, chunk, sizeof chunk);
    if (n == 0) return 0;
    if (tds_send(c, TDS_PKT_PRELOGIN, chunk, n) != 0) return -1;
  }
}

}  // namespace

// The server's handshake data arrives as the payload of whole messages (of
// type 0x12 or 0x04: the receive ignores the type), each fed to the session
// as it is; the session says when it needs more.
int tds_tls_handshake_wrapped(tds_conn* c) {
  for (;;) {
    const int step = tds_tls_handshake(c->tls, c->err);
    if (step == TDS_TLS_FAILED) return -1;
    c->rx_stop = TDS_STOP_NONE;
    if (send_wrapped(c) != 0) return io_failed(c);
    if (step == TDS_TLS_DONE) {
      c->tls_live = 1;
      return 0;
    }
    if (tds_recv(c, TDS_LOGIN_CAP) != 0) return io_failed(c);
    if (!tds_tls_feed(c->tls, c->rbuf, c->rlen)) {
      tds_set_err(c, "out of memory");
      return -1;
    }
    c->rlen = 0;
  }
}

int tds_tls_handshake_direct(tds_conn* c) {
  for (;;) {
    const int step = tds_tls_handshake(c->tls, c->err);
    if (step == TDS_TLS_FAILED) return -1;
    c->rx_stop = TDS_STOP_NONE;
    if (tds_tls_flush(c) != 0) return io_failed(c);
    if (step == TDS_TLS_DONE) {
      c->tls_live = 1;
      return 0;
    }
    if (tds_tls_pull(c) != 0) return io_failed(c);
  }
}
