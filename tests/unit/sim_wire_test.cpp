// Packet framing of the simulated server's encoders, which the scripted
// peer, the fuzz seeds and the benchmarks also send: where a message is cut,
// which packet ends it, and how packets are numbered; and the value bytes
// of the types a restore's result sets carry.
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

TEST(SimWire, EncodesDatetimeAndNumericAsTheServerDoes) {
  constexpr sim::Stamp DAY = 86400 * sim::STAMP_PER_SECOND;
  const struct {
    const char* name;
    sim::Stamp stamp;
    sim::Bytes want;  // days since 1900 (int32), then 1/300 s (uint32)
  } datetimes[] = {
      {"1900-01-01, the zero", -25567 * DAY, {0, 0, 0, 0, 0, 0, 0, 0}},
      {"2000-01-01 00:00:01", 10957 * DAY + sim::STAMP_PER_SECOND, {0xAC, 0x8E, 0, 0, 0x2C, 0x01, 0, 0}},
      {"1999-12-31 23:59:59.997, the day's last tick",
       10956 * DAY + 86399 * sim::STAMP_PER_SECOND + 299 * sim::STAMP_PER_DATETIME_TICK,
       {0xAB, 0x8E, 0, 0, 0xFF, 0x81, 0x8B, 0x01}},
      {"a part of a tick is cut, not rounded up",
       10956 * DAY + 86399 * sim::STAMP_PER_SECOND + 299 * sim::STAMP_PER_DATETIME_TICK + 99999,
       {0xAB, 0x8E, 0, 0, 0xFF, 0x81, 0x8B, 0x01}},
      {"1969-12-31 12:00, before the epoch", -DAY / 2, {0xDE, 0x63, 0, 0, 0x00, 0xC1, 0xC5, 0x00}},
  };
  for (const auto& k : datetimes) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(sim::datetime_bytes(k.stamp), k.want);
  }
  // numeric(p, 0): the sign byte, then the magnitude over the precision's length.
  EXPECT_EQ(sim::numeric_bytes(25, 25000000009200001ULL),
            (sim::Bytes{1, 0x81, 0xE1, 0xEE, 0x17, 0x5E, 0xD1, 0x58, 0, 0, 0, 0, 0}));
  EXPECT_EQ(sim::numeric_bytes(20, 67108864).size(), 13u);
  EXPECT_EQ(sim::numeric_bytes(19, 67108864).size(), 9u);
  EXPECT_EQ(sim::numeric_bytes(9, 7), (sim::Bytes{1, 7, 0, 0, 0}));
}

// A row of each type, then a row of NULLs: char pads to its length, a NULL
// is a zero length byte or 0xFFFF as the type's length field has it.
TEST(SimWire, EncodesTheColumnsOfARestoresResultSets) {
  sim::Tokens t;
  const std::vector<sim::Column> cols = {{"Type", sim::TYPE_BIGCHAR, 1, 0, true},
                                         {"IsCopyOnly", sim::TYPE_BITN, 0, 0, true},
                                         {"FirstLSN", sim::TYPE_NUMERICN, 0, 0, true, 25},
                                         {"BackupSetGUID", sim::TYPE_GUID, 0, 0, true},
                                         {"TDEThumbprint", sim::TYPE_BIGVARBINARY, 32, 0, true}};
  t.colmetadata(cols);
  const size_t meta = t.b.out.size();
  sim::Bytes guid(16);
  for (size_t k = 0; k < 16; ++k) guid[k] = uint8_t(k);
  t.row(cols, {sim::Cell{"D", std::nullopt}, sim::Cell{std::nullopt, 1}, sim::Cell{std::nullopt, 5},
               sim::Cell{std::nullopt, std::nullopt, guid}, sim::Cell{}});
  t.row(cols, {sim::Cell{}, sim::Cell{}, sim::Cell{}, sim::Cell{}, sim::Cell{}});
  const sim::Bytes rows(t.b.out.begin() + long(meta), t.b.out.end());
  sim::Bytes want = {0xD1, 0x01, 0x00, 'D', 0x01, 0x01, 0x0D, 0x01, 0x05};
  want.insert(want.end(), 11, 0x00);
  want.push_back(0x10);
  want.insert(want.end(), guid.begin(), guid.end());
  want.insert(want.end(), {0xFF, 0xFF});
  want.insert(want.end(), {0xD1, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0xFF});
  EXPECT_EQ(rows, want);
}

}  // namespace
