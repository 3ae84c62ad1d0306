// A scripted TDS peer for tests: a real TCP listener on 127.0.0.1 (port
// picked by the system) that accepts one client and plays back a script of
// steps on a thread of its own, recording every byte the client sends.
//
//   ScriptPeer peer;
//   peer.read_message()                      // the client's request, recorded
//       .send(tds_message(0x04, payload), 3, 1)  // answer in 3-byte pieces, 1 ms apart
//       .pause(200)                          // stay silent for 200 ms
//       .close();                            // hang up
//   peer.start();
//   ... client work against peer.port() ...
//   peer.wait_done();
//   EXPECT_EQ(peer.reads()[0], expected_request);
//
// After its last step (unless it is close) the peer keeps the connection
// open and goes on recording what arrives until the client closes or the
// peer is destroyed. Every wait of the peer is bounded, and the destructor
// stops the thread at once, so a failing test never hangs on it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tds_client/tds_client.h"
#include "wire.h"

using bytes = std::vector<uint8_t>;

class ScriptPeer {
 public:
  ScriptPeer();   // binds and listens; the script is empty
  ~ScriptPeer();  // stops the thread and closes both sockets
  ScriptPeer(const ScriptPeer&) = delete;
  ScriptPeer& operator=(const ScriptPeer&) = delete;

  int port() const { return port_; }

  // ---- Script steps (add them before start) ----
  // Reads exactly n bytes; they become the next entry of reads().
  ScriptPeer& read(size_t n);
  // Reads one whole TDS message (packets up to the one whose status has bit
  // 0x01), headers included; it becomes the next entry of reads().
  ScriptPeer& read_message();
  // Sends data; with chunk > 0 in pieces of that many bytes, waiting delay_ms
  // before every piece after the first.
  ScriptPeer& send(bytes data, size_t chunk = 0, int delay_ms = 0);
  // Sends data `times` times over, as fast as the client reads, for a peer
  // that never stops sending. The client hanging up ends it as planned;
  // steps after it are not played.
  ScriptPeer& flood(bytes data, size_t times = SIZE_MAX);
  // Stays silent (sends and reads nothing) for ms milliseconds.
  ScriptPeer& pause(int ms);
  // Closes the connection; steps after it are not played.
  ScriptPeer& close();
  // The four steps of a successful login: reads the PRELOGIN, answers it
  // with the given ENCRYPTION value, reads the LOGIN7, answers with a
  // LOGINACK and a DONE.
  ScriptPeer& accept_login(uint8_t encryption = 0x02);

  // Starts the thread: it accepts one client (waiting up to 10 s) and plays.
  void start();
  // Waits until every step has been played (or the script failed). True
  // when that happened within timeout_ms.
  bool wait_done(int timeout_ms = 5000);

  // What each read step got, in order.
  std::vector<bytes> reads() const;
  // Every byte received from the client, in order.
  bytes received() const;
  // "" while all went to plan, else what went wrong (client closed during
  // a read step, no client connected, ...).
  std::string failure() const;

 private:
  enum class kind { read_n, read_msg, send, flood, pause, close };
  struct step {
    kind k;
    bytes data;
    size_t n;
    int delay_ms;
  };

  void run();
  bool recv_some(uint8_t* buf, size_t n, size_t* got);  // bounded, stop-aware
  bool recv_exact(uint8_t* buf, size_t n);
  bool send_stoppable(const bytes& data);  // false on a closed client or stop
  bool wait_ms(int ms);  // false when asked to stop
  void fail(const std::string& why);

  int listen_fd_ = -1;
  int conn_fd_ = -1;
  int port_ = 0;
  std::vector<step> steps_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  mutable std::mutex mu_;
  std::vector<bytes> reads_;
  bytes received_;
  std::string failure_;
};

// A listener whose accept queue is full, so a further connect to it neither
// completes nor is refused: the client's connect simply waits.
class StalledListener {
 public:
  StalledListener();
  ~StalledListener();
  StalledListener(const StalledListener&) = delete;
  StalledListener& operator=(const StalledListener&) = delete;
  int port() const { return port_; }

 private:
  int listen_fd_ = -1;
  std::vector<int> fillers_;
  int port_ = 0;
};

// A port on 127.0.0.1 on which nothing listens (connects are refused).
int closed_port();

// Initialises c as tds_connect would and connects it to 127.0.0.1:port
// without any login exchange. False when the connection failed.
bool connect_raw(tds_conn* c, int port);

// ---- Building server bytes ----
// Thin forms of the simulated server's encoders (sim::Tokens and the packet
// framing in wire.h), with what a scripted answer usually says: server name
// "SIM", state 1, TDS 7.4.
// One packet: type, status, big-endian length, zero SPID, id and window.
bytes tds_packet(uint8_t type, uint8_t status, const bytes& payload);
// A message cut into packets of at most max_payload bytes (status 0x01 on
// the last); an empty payload gives one bare header.
bytes tds_message(uint8_t type, const bytes& payload, size_t max_payload = 4088);
// UTF-16LE of a UTF-8 text (independent of the library's converter).
bytes utf16le(const std::string& utf8);
// An ERROR (0xAA) or INFO (0xAB) token with the given number, class and text.
bytes tds_msg_token(uint8_t token, int32_t number, uint8_t cls, const std::string& text);
// A LOGINACK token (TDS 7.4, program name "sim").
bytes tds_loginack_token();
// An ENVCHANGE token of type 1 (database) from "master" to name.
bytes tds_envchange_token(const std::string& name);
// A DONE (0xFD) token with the given status and row count.
bytes tds_done_token(uint16_t status, uint64_t rows = 0, uint8_t token = 0xFD);
// A result of one nullable int column and one row holding value (none when
// value is negative), ended by its DONE: the backup history's answer.
bytes tds_int_result(const std::string& column, int64_t value);
// A PRELOGIN answer (version 16.0.2000.0) naming the given ENCRYPTION value.
bytes tds_prelogin_answer(uint8_t encryption);
// The payload of an SQL batch as a client sends it: ALL_HEADERS (transaction
// descriptor 0, one outstanding request), then the text as UTF-16LE.
bytes tds_batch_payload(const std::string& sql);
// Concatenation.
bytes cat(std::initializer_list<bytes> parts);
// "12 01 00 1A ..." for failure messages.
std::string hex(const bytes& b);
