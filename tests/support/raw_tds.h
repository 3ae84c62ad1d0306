// A bare TDS client for tests of the simulated server over loopback: the
// library's own PRELOGIN, LOGIN7 and batch bytes go out, and the answer is
// read back token by token by the library's rules, so that what a test
// checks is the server.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "script_peer.h"
#include "tds_client/tds_client.h"
#include "tds_client/tokens.h"
#include "wire.h"

namespace vaultrun_test {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// ---- A bare TDS client -------------------------------------------------------
//
// Requests are the library's own (its PRELOGIN, LOGIN7 and batch bytes), read
// back by the library's token rules: what is checked here is the server.

struct Packet {
  uint8_t type = 0;
  uint8_t status = 0;
  uint16_t length = 0;
  Bytes payload;
  Clock::time_point at;
};

// A TCP connection to 127.0.0.1:port with Nagle off; -1 when refused.
inline int loopback_connect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

class Client {
 public:
  explicit Client(int port) : fd_(loopback_connect(port)) {}
  ~Client() { close(); }

  bool connected() const { return fd_ >= 0; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // One message as a single packet.
  bool send(uint8_t type, const Bytes& payload) {
    Bytes p = sim::frame_message(type, payload, payload.size() + sim::PACKET_HEADER_LEN);
    return ::send(fd_, p.data(), p.size(), MSG_NOSIGNAL) == ssize_t(p.size());
  }

  // Up to n bytes arriving within timeout_ms; fewer when the peer closes.
  Bytes read_some(size_t n, int timeout_ms) {
    Bytes out;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < n) {
      int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
      pollfd p{fd_, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, left) <= 0) break;
      uint8_t buf[4096];
      ssize_t r = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
      if (r <= 0) {
        eof_ = true;
        break;
      }
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }

  bool read_packet(Packet& p, int timeout_ms = 5000) {
    Bytes h = read_some(8, timeout_ms);
    if (h.size() != 8) return false;
    p.type = h[0];
    p.status = h[1];
    p.length = uint16_t((h[2] << 8) | h[3]);
    p.at = Clock::now();
    if (p.length < 8) return true;  // the caller judges it
    p.payload = read_some(p.length - 8u, timeout_ms);
    return p.payload.size() == p.length - 8u;
  }

  // Packets up to end of message; payload joined.
  bool read_message(Bytes& payload, std::vector<Packet>* packets = nullptr, int timeout_ms = 5000) {
    payload.clear();
    for (;;) {
      Packet p;
      if (!read_packet(p, timeout_ms) || p.length < 8) return false;
      payload.insert(payload.end(), p.payload.begin(), p.payload.end());
      if (packets) packets->push_back(p);
      if (p.status & 0x01) return true;
    }
  }

  bool peer_closed(int timeout_ms = 2000) {
    read_some(1 << 20, timeout_ms);
    return eof_;
  }

 private:
  int fd_ = -1;
  bool eof_ = false;
};

inline Bytes prelogin_request() { return Bytes(TDS_PRELOGIN_PAYLOAD, TDS_PRELOGIN_PAYLOAD + TDS_PRELOGIN_LEN); }

// The library's LOGIN7 record for user and password (UTF-8).
inline Bytes login7(const std::string& user, const std::string& password) {
  Bytes r(TDS_LOGIN7_MAX);
  r.resize(tds_build_login7("127.0.0.1", user.c_str(), password.c_str(), nullptr, r.data(), r.size()));
  if (r.empty()) throw std::runtime_error("LOGIN7 record does not fit");
  return r;
}

inline Bytes sql_batch(const std::string& text) { return tds_batch_payload(text); }

// ---- Reading the token stream ------------------------------------------------------

struct Token {
  uint8_t type = 0;
  int32_t number = 0;        // INFO, ERROR
  uint8_t cls = 0;
  std::string text;          // INFO, ERROR message; ENVCHANGE new value
  uint8_t env = 0;           // ENVCHANGE type
  uint16_t status = 0;       // DONE
  uint64_t rows = 0;         // DONE
  Bytes body;                // LOGINACK
  std::vector<uint8_t> col_types;        // COLMETADATA
  std::vector<std::string> col_names;    // COLMETADATA
  std::vector<std::string> cells;        // ROW, "NULL" for null
};

[[noreturn]] inline void malformed(const std::string& what, size_t at) {
  throw std::runtime_error(what + " at " + std::to_string(at));
}

// The fields of one whole token of `size` bytes at p; COLMETADATA replaces meta.
inline void read_token(Token& t, const uint8_t* p, uint64_t size, tds_meta& meta, size_t at) {
  const uint8_t* body = p + 3;  // after the token byte and a 2-byte length
  const uint64_t len = size - 3;
  switch (t.type) {
    case TDS_TOKEN_ENVCHANGE:
      t.env = body[0];
      t.text = sim::utf8_from_utf16le(body + 2, size_t(body[1]) * 2);
      break;
    case TDS_TOKEN_LOGINACK:
      t.body.assign(body, body + len);
      break;
    case TDS_TOKEN_ERROR:
    case TDS_TOKEN_INFO: {
      tds_server_message m;
      if (!tds_decode_message(p, size, &m) || !m.has_text) malformed("message token", at);
      t.number = m.number;
      t.cls = body[5];
      t.text = m.text;
      break;
    }
    case TDS_TOKEN_DONE:
      t.status = uint16_t(p[1] | (p[2] << 8));
      for (int k = 7; k >= 0; --k) t.rows = (t.rows << 8) | p[5 + k];
      break;
    case TDS_TOKEN_COLMETADATA: {
      tds_cursor c = cur_make(p + 1, p + size);
      const char* why = "";
      if (tds_read_colmetadata(c, &meta, nullptr, &why) != TDS_TOK_OK) malformed(why, at);
      for (int32_t k = 0; k < meta.ncols; ++k) {
        t.col_types.push_back(meta.cols[k].type);
        t.col_names.push_back(meta.cols[k].name);
      }
      break;
    }
    case TDS_TOKEN_ROW: {
      const uint8_t* q = p + 1;
      for (int32_t k = 0; k < meta.ncols; ++k) {
        char cell[TDS_CELL_SIZE];
        int32_t is_null = 0;
        int used = read_value(q, p + size, &meta.cols[k], cell, &is_null);
        if (used < 0 && meta.cols[k].type == 0xA5 && p + size - q >= 2) {
          // varbinary, which the renderer leaves out: "0x" and hex here.
          const size_t n = size_t(q[0] | (q[1] << 8));
          is_null = n == 0xFFFF;
          used = is_null ? 2 : 2 + int(n);
          if (!is_null && n > size_t(p + size - q - 2)) malformed("row value", at);
          std::string hex = "0x";
          for (size_t b = 0; !is_null && b < n; ++b) hex += "0123456789ABCDEF"[q[2 + b] >> 4], hex += "0123456789ABCDEF"[q[2 + b] & 15];
          std::snprintf(cell, sizeof cell, "%s", hex.c_str());
        }
        if (used < 0) malformed("row value", at);
        t.cells.push_back(is_null ? "NULL" : cell);
        q += used;
      }
      break;
    }
    default:
      malformed("unexpected token " + std::to_string(t.type), at);
  }
}

// Walks a response, each token sized by the library's rules; a malformed
// stream fails the test.
inline std::vector<Token> tokens(const Bytes& b) {
  std::vector<Token> out;
  tds_meta meta{};
  size_t i = 0;
  while (i < b.size()) {
    uint64_t size = 0;
    if (tds_token_size(&b[i], b.size() - i, &meta, &size) != TDS_TOK_OK) malformed("token stream cut", i);
    Token t;
    t.type = b[i];
    read_token(t, &b[i], size, meta, i);
    out.push_back(t);
    i += size;
  }
  return out;
}

inline std::vector<int32_t> message_numbers(const std::vector<Token>& ts) {
  std::vector<int32_t> n;
  for (const Token& t : ts) {
    if (t.type == 0xAA || t.type == 0xAB) n.push_back(t.number);
  }
  return n;
}

// Sends PRELOGIN and LOGIN7; r gets the answer to the login, whatever it says.
inline void login_answer(Client& c, const std::string& user, const std::string& password, Bytes& r) {
  ASSERT_TRUE(c.connected());
  ASSERT_TRUE(c.send(0x12, prelogin_request()));
  ASSERT_TRUE(c.read_message(r));
  ASSERT_TRUE(c.send(0x10, login7(user, password)));
  ASSERT_TRUE(c.read_message(r));
}

// Connects and logs in as sa; the test fails if that does not work.
inline void login(Client& c, const std::string& user = "sa", const std::string& password = "vaultrun") {
  Bytes r;
  ASSERT_NO_FATAL_FAILURE(login_answer(c, user, password, r));
  auto ts = tokens(r);
  ASSERT_TRUE(std::any_of(ts.begin(), ts.end(), [](const Token& t) { return t.type == 0xAD; }));
}

inline std::vector<Token> exec(Client& c, const std::string& sql, std::vector<Packet>* packets = nullptr) {
  Bytes r;
  EXPECT_TRUE(c.send(0x01, sql_batch(sql)));
  EXPECT_TRUE(c.read_message(r, packets, 15000));
  return tokens(r);
}

inline std::string bracket(const std::string& name) {
  std::string s = "[";
  for (char c : name) s += c == ']' ? std::string("]]") : std::string(1, c);
  return s + "]";
}

inline std::string quote(const std::string& text) {
  std::string s = "N'";
  for (char c : text) s += c == '\'' ? std::string("''") : std::string(1, c);
  return s + "'";
}

// Reads messages up to the attention acknowledgment (a message of one DONE
// with the attention bit); false if the connection ends first. messages
// gets every message read, the acknowledgment last.
inline bool read_to_attention_ack(Client& c, std::vector<Bytes>* messages = nullptr) {
  Bytes m;
  while (c.read_message(m)) {
    if (messages) messages->push_back(m);
    auto ts = tokens(m);
    if (ts.size() == 1 && ts[0].type == 0xFD && (ts[0].status & 0x0020)) return true;
  }
  return false;
}

}  // namespace vaultrun_test
