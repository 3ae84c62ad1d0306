#include "wire_io.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace bench {

int connect_loopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

int listen_loopback(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(*port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

bool send_all(int fd, const void* p, uint64_t n) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  while (n > 0) {
    ssize_t k = send(fd, b, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    b += k;
    n -= static_cast<uint64_t>(k);
  }
  return true;
}

bool recv_exact(int fd, void* p, uint64_t n) {
  uint8_t* b = static_cast<uint8_t*>(p);
  while (n > 0) {
    ssize_t k = recv(fd, b, n, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    b += k;
    n -= static_cast<uint64_t>(k);
  }
  return true;
}

bool recv_message(int fd, std::vector<uint8_t>& wire, uint8_t* type) {
  wire.clear();
  for (;;) {
    uint8_t hdr[8];
    if (!recv_exact(fd, hdr, sizeof hdr)) return false;
    if (wire.empty()) *type = hdr[0];
    const uint64_t plen = (static_cast<uint64_t>(hdr[2]) << 8) | hdr[3];
    if (plen < sizeof hdr) return false;
    const size_t at = wire.size();
    wire.insert(wire.end(), hdr, hdr + sizeof hdr);
    wire.resize(at + plen);
    if (!recv_exact(fd, wire.data() + at + sizeof hdr, plen - sizeof hdr)) return false;
    if (hdr[1] & 0x01) return true;
  }
}

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace bench
