// Packet framing of the simulated server's encoders, which the scripted
// peer, the fuzz seeds and the benchmarks also send: where a message is cut,
// which packet ends it, and how packets are numbered.
#include <gtest/gtest.h>

#include <vector>

#include "wire.h"

namespace {

struct framed {
  uint8_t status;
  size_t length;
  uint8_t id;
};

std::vector<framed> packets_of(const sim::Bytes& wire) {
  std::vector<framed> out;
  for (size_t at = 0; at + sim::PACKET_HEADER_LEN <= wire.size();) {
    const size_t len = size_t(wire[at + 2]) << 8 | wire[at + 3];
    out.push_back({wire[at + 1], len, wire[at + 6]});
    if (len < sim::PACKET_HEADER_LEN) break;
    at += len;
  }
  return out;
}

TEST(SimWire, FramesAMessageIntoPackets) {
  const struct {
    const char* name;
    size_t payload;
    size_t packet_size;
    uint8_t first_id;
    std::vector<framed> want;
  } cases[] = {
      {"empty payload: one bare header", 0, 4096, 1, {{0x01, 8, 1}}},
      {"empty payload with no room for a byte", 0, 8, 1, {{0x01, 8, 1}}},
      {"exactly one packet", 4088, 4096, 1, {{0x01, 4096, 1}}},
      {"one byte over", 4089, 4096, 1, {{0x00, 4096, 1}, {0x01, 9, 2}}},
      {"client framing keeps every id 0", 12, 13, 0, {{0x00, 13, 0}, {0x00, 13, 0}, {0x01, 10, 0}}},
      {"ids wrap after 255", 3, 9, 254, {{0x00, 9, 254}, {0x00, 9, 255}, {0x01, 9, 0}}},
      {"a packet size below the header still carries a byte", 2, 4, 1, {{0x00, 9, 1}, {0x01, 9, 2}}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    const sim::Bytes payload(k.payload, 0xAB);
    const sim::Bytes wire = sim::frame_message(sim::PKT_REPLY, payload, k.packet_size, k.first_id);
    const std::vector<framed> got = packets_of(wire);
    ASSERT_EQ(got.size(), k.want.size());
    size_t carried = 0;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].status, k.want[i].status) << "packet " << i;
      EXPECT_EQ(got[i].length, k.want[i].length) << "packet " << i;
      EXPECT_EQ(got[i].id, k.want[i].id) << "packet " << i;
      carried += got[i].length - sim::PACKET_HEADER_LEN;
    }
    EXPECT_EQ(carried, k.payload);
    EXPECT_EQ(wire.size(), k.payload + got.size() * sim::PACKET_HEADER_LEN);
  }
}

}  // namespace
