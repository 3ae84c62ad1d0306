// Plain blocking loopback sockets for the benchmark programs: the floor
// client, the replay peer and the receive measurements.
#pragma once

#include <cstdint>
#include <vector>

namespace bench {

// A TCP connection to 127.0.0.1:port with TCP_NODELAY, or -1.
int connect_loopback(int port);

// A listening socket on 127.0.0.1 (port 0: any free one); *port gets the port.
int listen_loopback(int* port);

// Writes all n bytes; false when the peer is gone.
bool send_all(int fd, const void* p, uint64_t n);

// Reads exactly n bytes; false on end of stream or failure.
bool recv_exact(int fd, void* p, uint64_t n);

// Reads one whole message (packets up to the one marked end of message)
// into `wire`, headers included; false on end of stream or failure. The
// first byte of the first header (the packet type) goes to *type.
bool recv_message(int fd, std::vector<uint8_t>& wire, uint8_t* type);

// Monotonic nanoseconds.
int64_t now_ns();

}  // namespace bench
