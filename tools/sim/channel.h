// One client connection at the packet level: reads whole packets and
// messages, frames outgoing payloads into packets, and carries out the
// configured faults (close after N bytes, a bad Length, silence, tiny
// packets). Every wait is sliced so that a stopping server is noticed.
//
// Under TLS the packets travel inside records: every byte the records
// decrypt to is taken out of the TLS engine at once into the channel's own
// buffer, so a wait for the next packet never misses bytes already received.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "config.h"
#include "tls.h"
#include "wire.h"

namespace sim {

struct Packet {
  uint8_t type = 0;
  uint8_t status = 0;
  Bytes payload;
};

enum class Recv {
  Ok,
  Closed,   // the peer closed or the socket failed
  Bad,      // a Length below 8, or a message beyond the size limit
  Stopping  // the server is shutting down
};

// Which request a response answers, for the faults that target one.
enum class Phase { Prelogin, Login, Batch };

// How much of the connection TLS covers after a wrapped handshake.
enum class TlsSpan { Connection, LoginOnly };

class Channel {
 public:
  Channel(int fd, const Config& cfg, uint16_t spid, const std::atomic<bool>& stopping,
          const TlsContext* tls);
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // One packet, waiting as long as it takes (or until the server stops).
  Recv read_packet(Packet& p);
  // Waits at most timeout_ms for a packet to start; got tells whether one
  // was read.
  Recv poll_packet(int timeout_ms, Packet& p, bool& got);
  // Puts a packet back to be read again before anything from the socket:
  // a request that arrived while another was being answered.
  void unread(Packet p) { pending_.push_back(std::move(p)); }
  // A whole message: the packets up to end of message, payloads joined; the
  // type is that of the first packet.
  Recv read_message(Packet& msg);

  // Marks the start of a response to a request of this phase; arms the
  // faults that target it.
  void begin_response(Phase phase);
  // Sends payload as packets of at most the current packet size; eom marks
  // the last one. False once the connection is gone (a fault closed it, or
  // the peer did).
  bool send(const Bytes& payload, bool eom);
  // Whether an earlier send left an unfinished message on the wire.
  bool message_open() const { return message_open_; }

  bool alive() const { return fd_ >= 0; }
  bool muted() const { return muted_; }
  void set_packet_size(int size) { packet_size_ = size; }
  void close();

  // The TLS handshake whose records travel as PRELOGIN payloads, the
  // client's in packets of type 0x12, the server's flights one message each
  // in packets of cfg.tls.handshake_type. Afterwards the records go straight
  // on the socket, for the whole connection or for the login message only.
  // False, with the reason in tls_note(), when it fails.
  bool start_tls_wrapped(TlsSpan span);
  // The TLS handshake from the first byte, records straight on the socket.
  bool start_tls_strict();
  // After a handshake: "TLS established: TLSv1.3"; after a failure, why.
  const std::string& tls_note() const { return tls_note_; }

 private:
  Recv fill(int timeout_ms, bool& got);
  Recv read_exact(uint8_t* p, size_t n);
  bool write_exact(const uint8_t* p, size_t n);
  bool write_socket(const uint8_t* p, size_t n);
  bool send_flight(const Bytes& flight, bool eom);
  bool flush_tls();
  bool handshake_fault(const Bytes& flight, bool wrapped);
  void wait_for_close();
  bool tls_up(std::unique_ptr<TlsEngine>& engine);

  int fd_;
  const Config& cfg_;
  uint16_t spid_;
  const std::atomic<bool>& stopping_;
  std::deque<Packet> pending_;
  // Bytes received and not yet read: the client's clear bytes, or under TLS
  // what its records decrypted to.
  Bytes in_;
  size_t in_at_ = 0;
  const TlsContext* tls_ctx_;
  std::unique_ptr<TlsEngine> tls_;  // set while records carry the packets
  bool tls_login_only_ = false;
  std::string tls_note_;
  int packet_size_ = 4096;
  uint8_t packet_id_ = 0;
  bool message_open_ = false;

  // Fault state.
  bool fault_started_ = false;   // the targeted response has begun
  bool counting_ = false;        // bytes count towards close_after
  int64_t counted_ = 0;
  bool bad_length_pending_ = false;
  bool muted_ = false;
};

}  // namespace sim
