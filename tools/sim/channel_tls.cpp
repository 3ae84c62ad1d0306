// The channel's TLS handshakes: wrapped in PRELOGIN packets after the
// PRELOGIN exchange, or straight on the socket from the first byte, and the
// handshake faults.
#include <algorithm>

#include "channel.h"

namespace sim {

namespace {

// What answers the ClientHello for the garbage fault: its first byte is no
// TLS record type, so a client cannot take it for a record.
Bytes garbage() {
  const std::string text = "this is no TLS record; ";
  Bytes b;
  while (b.size() < 96) b.insert(b.end(), text.begin(), text.end());
  return b;
}

}  // namespace

// One flight as one message of packets of the configured type, at most the
// current packet size each (or the --split size, so that clients are tested
// on flights spread over many packets); outside the response faults, which
// hit TDS answers only.
bool Channel::send_flight(const Bytes& flight, bool eom) {
  const size_t chunk_max = size_t(cfg_.split > 0 ? cfg_.split : packet_size_) - PACKET_HEADER_LEN;
  size_t off = 0;
  do {
    size_t chunk = std::min(chunk_max, flight.size() - off);
    bool last = off + chunk == flight.size();
    Bytes pkt;
    put_packet_header(pkt, cfg_.tls.handshake_type, last && eom ? STATUS_EOM : 0x00,
                      uint16_t(PACKET_HEADER_LEN + chunk), spid_, ++packet_id_);
    pkt.insert(pkt.end(), flight.begin() + ptrdiff_t(off), flight.begin() + ptrdiff_t(off + chunk));
    off += chunk;
    if (!write_socket(pkt.data(), pkt.size())) return false;
  } while (off < flight.size());
  return true;
}

// Reads and drops whatever comes until the client leaves or the server stops.
void Channel::wait_for_close() {
  for (;;) {
    bool got = false;
    if (fill(-1, got) != Recv::Ok) return;
    in_.clear();
    in_at_ = 0;
  }
}

// Carries out a handshake fault at the server's first flight; false when
// none is configured and the handshake goes on.
bool Channel::handshake_fault(const Bytes& flight, bool wrapped) {
  switch (cfg_.tls.fault) {
    case TlsFault::Drop: {
      Bytes part(flight.begin(), flight.begin() + ptrdiff_t(flight.size() / 2));
      if (wrapped) send_flight(part, false);
      else write_socket(part.data(), part.size());
      tls_note_ = "TLS handshake dropped after " + std::to_string(part.size()) + " bytes of the server's flight";
      close();
      return true;
    }
    case TlsFault::Garbage: {
      Bytes junk = garbage();
      if (wrapped) send_flight(junk, true);
      else write_socket(junk.data(), junk.size());
      tls_note_ = "TLS handshake answered with garbage";
      wait_for_close();
      close();
      return true;
    }
    case TlsFault::None:
    case TlsFault::WrongName:
    case TlsFault::Expired:
      return false;
  }
  return false;
}

// Puts the finished engine in charge of the socket. Records the client sent
// right after its last handshake message may already be in in_ as raw
// bytes: they go to the engine first.
bool Channel::tls_up(std::unique_ptr<TlsEngine>& engine) {
  engine->feed(in_.data() + in_at_, in_.size() - in_at_);
  in_.clear();
  in_at_ = 0;
  if (engine->read(in_) != TlsEngine::Read::Ok) {
    tls_note_ = "TLS failed after the handshake: " + engine->reason();
    return false;
  }
  tls_note_ = "TLS established: " + engine->version();
  tls_ = std::move(engine);
  return true;
}

bool Channel::start_tls_wrapped(TlsSpan span) {
  auto engine = std::make_unique<TlsEngine>(*tls_ctx_, cfg_.tls.wrapped_max);
  bool answered = false;
  for (;;) {
    Packet m;
    if (read_message(m) != Recv::Ok) {
      tls_note_ = "TLS handshake failed: the client left";
      return false;
    }
    if (m.type != PKT_PRELOGIN) {
      tls_note_ = "TLS handshake failed: a packet of type " + std::to_string(m.type) + " came instead";
      return false;
    }
    engine->feed(m.payload.data(), m.payload.size());
    TlsEngine::Step step = engine->handshake();
    Bytes flight = engine->take_output();
    if (!flight.empty() && !answered && handshake_fault(flight, true)) return false;
    answered = answered || !flight.empty();
    if (!flight.empty() && !send_flight(flight, true)) return false;
    if (step == TlsEngine::Step::Failed) {
      tls_note_ = "TLS handshake failed: " + engine->reason();
      return false;
    }
    if (step == TlsEngine::Step::Done) break;
  }
  if (!tls_up(engine)) return false;
  tls_login_only_ = span == TlsSpan::LoginOnly;
  return true;
}

bool Channel::start_tls_strict() {
  auto engine = std::make_unique<TlsEngine>(*tls_ctx_, 0);
  bool answered = false;
  for (;;) {
    bool got = false;
    if (fill(-1, got) != Recv::Ok) {
      tls_note_ = "TLS handshake failed: the client left";
      return false;
    }
    engine->feed(in_.data() + in_at_, in_.size() - in_at_);
    in_.clear();
    in_at_ = 0;
    TlsEngine::Step step = engine->handshake();
    Bytes flight = engine->take_output();
    if (!flight.empty() && !answered && handshake_fault(flight, false)) return false;
    answered = answered || !flight.empty();
    if (!flight.empty() && !write_socket(flight.data(), flight.size())) return false;
    if (step == TlsEngine::Step::Failed) {
      tls_note_ = "TLS handshake failed: " + engine->reason();
      return false;
    }
    if (step == TlsEngine::Step::Done) return tls_up(engine);
  }
}

}  // namespace sim
