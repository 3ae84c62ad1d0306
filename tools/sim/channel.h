// One client connection at the packet level: reads whole packets and
// messages, frames outgoing payloads into packets, and carries out the
// configured faults (close after N bytes, a bad Length, silence, tiny
// packets). Every wait is sliced so that a stopping server is noticed.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>

#include "config.h"
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

class Channel {
 public:
  Channel(int fd, const Config& cfg, uint16_t spid, const std::atomic<bool>& stopping);
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

 private:
  bool wait_readable(int timeout_ms, bool& ready);
  Recv read_exact(uint8_t* p, size_t n);
  bool write_exact(const uint8_t* p, size_t n);

  int fd_;
  const Config& cfg_;
  uint16_t spid_;
  const std::atomic<bool>& stopping_;
  std::deque<Packet> pending_;
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
