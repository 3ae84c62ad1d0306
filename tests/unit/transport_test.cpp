// Packet framing, message collection, buffer growth, cancel, deadlines and
// the attention drain, against a scripted peer over real loopback sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "script_peer.h"
#include "tds_client/tds_client.h"

namespace {

using clock_type = std::chrono::steady_clock;

int64_t ms_since(clock_type::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t).count();
}

bytes pattern(size_t n, uint8_t seed = 0) {
  bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
  return b;
}

bytes rbuf_bytes(const tds_conn& c) {
  return c.rlen ? bytes(c.rbuf, c.rbuf + c.rlen) : bytes{};
}

// A peer with a script, started, and a record connected to it.
struct Link {
  ScriptPeer peer;
  tds_conn c{};

  void start() {
    peer.start();
    ASSERT_TRUE(connect_raw(&c, peer.port()));
  }
  ~Link() { tds_close(&c); }
};

// Sets *flag after ms milliseconds on a thread of its own; joined on scope exit.
struct DelayedSet {
  std::thread t;
  clock_type::time_point set_at;
  DelayedSet(std::atomic<int32_t>* flag, int ms) {
    t = std::thread([this, flag, ms] {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      set_at = clock_type::now();
      flag->store(1);
    });
  }
  ~DelayedSet() { t.join(); }
};

// ---- Sending ---------------------------------------------------------------------

TEST(TdsSend, FramesPayloadIntoPacketsOfAtMost4088Bytes) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{4088}, size_t{4089}, size_t{10000}}) {
    SCOPED_TRACE("payload " + std::to_string(size));
    const bytes payload = pattern(size);
    const bytes want = tds_message(0x01, payload);
    Link l;
    l.peer.read(want.size());
    l.start();
    ASSERT_EQ(tds_send(&l.c, 0x01, payload.data(), payload.size()), 0) << l.c.err;
    ASSERT_TRUE(l.peer.wait_done());
    ASSERT_EQ(l.peer.failure(), "");
    EXPECT_EQ(l.peer.reads()[0], want);
  }
}

TEST(TdsSend, HeaderBytesOfTheBoundaryCases) {
  {
    Link l;
    l.peer.read(8);
    l.start();
    ASSERT_EQ(tds_send(&l.c, 0x12, nullptr, 0), 0);
    ASSERT_TRUE(l.peer.wait_done());
    EXPECT_EQ(l.peer.reads()[0], (bytes{0x12, 0x01, 0x00, 0x08, 0, 0, 0, 0}));
  }
  {
    const bytes payload = pattern(4089);
    Link l;
    l.peer.read(4096 + 9);
    l.start();
    ASSERT_EQ(tds_send(&l.c, 0x101, payload.data(), payload.size()), 0);  // low 8 bits sent
    ASSERT_TRUE(l.peer.wait_done());
    const bytes got = l.peer.reads()[0];
    EXPECT_EQ(bytes(got.begin(), got.begin() + 8), (bytes{0x01, 0x00, 0x10, 0x00, 0, 0, 0, 0}));
    EXPECT_EQ(bytes(got.begin() + 4096, got.begin() + 4104),
              (bytes{0x01, 0x01, 0x00, 0x09, 0, 0, 0, 0}));
    EXPECT_EQ(got[4104], payload[4088]);
  }
}

// A write to a connection the peer has closed fails with a text, and never
// kills the process with SIGPIPE.
TEST(TdsSend, ClosedPeerGivesWriteFailureNotSignal) {
  Link l;
  l.peer.close();
  l.start();
  ASSERT_TRUE(l.peer.wait_done());
  const bytes payload = pattern(65536);
  int rc = 0;
  for (int i = 0; i < 50 && rc == 0; i++) {
    rc = tds_send(&l.c, 0x01, payload.data(), payload.size());
    if (rc == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(rc, -1);
  EXPECT_STREQ(l.c.err, "socket write failed");
  EXPECT_NE(l.c.sock, PLAT_INVALID_SOCKET) << "the transport never closes the socket";
}

// ---- Receiving -------------------------------------------------------------------

// Three packets: types that are not examined, an empty middle packet, and
// status bits other than end-of-message that are ignored.
const bytes kThreePackets = cat({
    tds_packet(0x04, 0x08, {1, 2, 3, 4, 5}),
    tds_packet(0xFF, 0x00, {}),
    tds_packet(0x12, 0x09, {6, 7, 8, 9, 10, 11, 12}),
});
const bytes kThreePayload = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

// Every split point, and one byte at a time, in both read modes: the plain
// blocking read, and the sliced wait used when a cancel flag is installed.
TEST(TdsRecv, CollectsAMessageSplitAnywhere) {
  std::atomic<int32_t> never{0};
  for (bool sliced : {false, true}) {
    for (size_t split = 0; split <= kThreePackets.size(); split++) {
      SCOPED_TRACE((sliced ? "sliced, split " : "blocking, split ") + std::to_string(split));
      Link l;
      if (split == kThreePackets.size()) {
        l.peer.send(kThreePackets, 1, 1);  // one byte at a time
      } else {
        l.peer.send(bytes(kThreePackets.begin(), kThreePackets.begin() + static_cast<long>(split)))
            .pause(2)
            .send(bytes(kThreePackets.begin() + static_cast<long>(split), kThreePackets.end()));
      }
      l.start();
      if (sliced) l.c.cancel_flag = &never;
      ASSERT_EQ(tds_recv(&l.c), 0) << l.c.err;
      EXPECT_EQ(rbuf_bytes(l.c), kThreePayload);
    }
  }
}

TEST(TdsRecv, CallsOnPacketAfterEveryPacket) {
  Link l;
  l.peer.send(kThreePackets).send(kThreePackets);
  l.start();
  std::vector<uint64_t> seen;
  auto cb = [](tds_conn* c, void* ctx) {
    static_cast<std::vector<uint64_t>*>(ctx)->push_back(c->rlen);
    return 0;
  };
  ASSERT_EQ(tds_recv_each(&l.c, tds_recv_caps{0, 1024}, cb, &seen), 0);
  EXPECT_EQ(seen, (std::vector<uint64_t>{5, 5, 12}));

  // A callback that takes what it has seen keeps the buffer to one packet.
  seen.clear();
  auto taker = [](tds_conn* c, void* ctx) {
    static_cast<std::vector<uint64_t>*>(ctx)->push_back(c->rlen);
    tds_rbuf_drop(c, c->rlen);
    return 0;
  };
  ASSERT_EQ(tds_recv_each(&l.c, tds_recv_caps{0, 1024}, taker, &seen), 0);
  EXPECT_EQ(seen, (std::vector<uint64_t>{5, 0, 7}));
  EXPECT_EQ(l.c.rlen, 0u);
}

TEST(TdsRecv, DropKeepsTheRestAtTheFront) {
  Link l;
  l.peer.send(tds_packet(0x04, 0x01, pattern(10)));
  l.start();
  ASSERT_EQ(tds_recv(&l.c), 0);
  tds_rbuf_drop(&l.c, 3);
  const bytes sent = pattern(10);
  EXPECT_EQ(rbuf_bytes(l.c), bytes(sent.begin() + 3, sent.end()));
  tds_rbuf_drop(&l.c, 100);  // more than is held: all of it
  EXPECT_EQ(l.c.rlen, 0u);
}

// A peer that never ends its message: each cap stops the receive with its
// text before the buffer grows past it.
TEST(TdsRecv, CapsStopAnEndlessMessage) {
  struct cap_case {
    const char* name;
    tds_recv_caps caps;
    bool drop;       // the callback takes every packet as it comes
    uint64_t max_rcap;
  };
  const cap_case cases[] = {
      {"whole message bounded", {200000, 200000}, false, 262144},
      {"total bounded though each packet is taken", {200000, 70000}, true, 65536},
      {"held bytes bounded", {0, 100000}, false, 131072},
  };
  const bytes flood = tds_packet(0x04, 0x00, pattern(65527));
  for (const cap_case& tc : cases) {
    SCOPED_TRACE(tc.name);
    Link l;
    for (int i = 0; i < 8; ++i) l.peer.send(flood);
    l.peer.pause(10000);
    l.start();
    auto taker = [](tds_conn* c, void*) {
      tds_rbuf_drop(c, c->rlen);
      return 0;
    };
    const tds_packet_fn fn = tc.drop ? static_cast<tds_packet_fn>(taker) : nullptr;
    EXPECT_EQ(tds_recv_each(&l.c, tc.caps, fn, nullptr), -1);
    EXPECT_STREQ(l.c.err, "response too large");
    EXPECT_EQ(l.c.rx_stop, TDS_STOP_FAILED);
    EXPECT_LE(l.c.rcap, tc.max_rcap);
  }
}

TEST(TdsRecv, BareEndPacketGivesEmptyMessageWithoutBuffer) {
  Link l;
  l.peer.send(tds_packet(0x04, 0x01, {}));
  l.start();
  ASSERT_EQ(tds_recv(&l.c), 0);
  EXPECT_EQ(l.c.rlen, 0u);
  EXPECT_EQ(l.c.rbuf, nullptr);
  EXPECT_EQ(l.c.rcap, 0u);
}

struct failure_case {
  const char* name;
  bytes server;  // sent, then the peer hangs up (if close) or stays
  bool close;
  const char* err;
  uint64_t rlen;  // payload of the packets completed before the failure
};

TEST(TdsRecv, FailuresLeaveTextAndCompletedPayload) {
  const bytes first = tds_packet(0x04, 0x00, pattern(10));
  const failure_case cases[] = {
      {"length 0", {0x04, 0x01, 0x00, 0x00, 0, 0, 0, 0}, false, "bad packet length", 0},
      {"length 7", {0x04, 0x01, 0x00, 0x07, 0, 0, 0, 0}, false, "bad packet length", 0},
      {"length 7 after a packet", cat({first, {0x04, 0x01, 0x00, 0x07, 0, 0, 0, 0}}), false,
       "bad packet length", 10},
      {"closed before anything", {}, true, "socket read failed", 0},
      {"closed mid-header", {0x04, 0x01, 0x00}, true, "socket read failed", 0},
      {"closed mid-payload", {0x04, 0x01, 0x00, 0x10, 0, 0, 0, 0, 1, 2, 3}, true,
       "socket read failed", 0},
      {"closed between packets", first, true, "socket read failed", 10},
      {"closed mid-payload of second packet",
       cat({first, {0x04, 0x01, 0x00, 0x10, 0, 0, 0, 0, 1, 2}}), true, "socket read failed", 10},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    Link l;
    if (!tc.server.empty()) l.peer.send(tc.server);
    if (tc.close) l.peer.close();
    l.start();
    EXPECT_EQ(tds_recv(&l.c), -1);
    EXPECT_STREQ(l.c.err, tc.err);
    EXPECT_EQ(l.c.rlen, tc.rlen);
    EXPECT_NE(l.c.sock, PLAT_INVALID_SOCKET);
  }
}

// 65536 bytes fit the first buffer; one more doubles it; a later, smaller
// response keeps the capacity. Packets of the largest length a header allows.
TEST(TdsRecv, BufferGrowsFrom64KiBByDoubling) {
  const bytes tiny = pattern(3, 1), exact = pattern(65536, 2), over = pattern(65537, 3),
              big = pattern(300000, 4), small = pattern(10, 5);
  Link l;
  for (const bytes* m : {&tiny, &exact, &over, &big, &small}) l.peer.send(tds_message(0x04, *m, 65527));
  l.start();
  struct { const bytes* want; uint64_t cap; } steps[] = {
      {&tiny, 65536}, {&exact, 65536}, {&over, 131072}, {&big, 524288}, {&small, 524288}};
  for (const auto& s : steps) {
    ASSERT_EQ(tds_recv(&l.c), 0) << l.c.err;
    EXPECT_EQ(l.c.rcap, s.cap);
    ASSERT_EQ(l.c.rlen, s.want->size());
    EXPECT_EQ(rbuf_bytes(l.c), *s.want);
  }
}

TEST(TdsRecv, FreshRecordDoublesUntilItFits) {
  Link l;
  l.peer.send(tds_message(0x04, pattern(200000), 65527));
  l.start();
  ASSERT_EQ(tds_recv(&l.c), 0);
  EXPECT_EQ(l.c.rcap, 262144u);
}

// ---- Cancel and deadlines --------------------------------------------------------

TEST(TdsRecv, CancelBeforeReadConsumesNothing) {
  Link l;
  l.peer.send(kThreePackets);
  l.start();
  std::atomic<int32_t> flag{1};
  l.c.cancel_flag = &flag;
  EXPECT_EQ(tds_recv(&l.c), -1);
  EXPECT_STREQ(l.c.err, "cancelled");
  EXPECT_EQ(l.c.rlen, 0u);
  flag = 0;  // the message is still whole in the socket
  ASSERT_EQ(tds_recv(&l.c), 0) << l.c.err;
  EXPECT_EQ(rbuf_bytes(l.c), kThreePayload);
}

TEST(TdsRecv, CancelIsSeenPromptlyWhileTheServerIsSilent) {
  Link l;
  l.peer.send(tds_packet(0x04, 0x00, pattern(100))).pause(10000);
  l.start();
  std::atomic<int32_t> flag{0};
  l.c.cancel_flag = &flag;
  int rc;
  int64_t late;
  {
    DelayedSet set(&flag, 200);
    rc = tds_recv(&l.c);
    late = ms_since(set.set_at);
  }
  EXPECT_EQ(rc, -1);
  EXPECT_STREQ(l.c.err, "cancelled");
  EXPECT_EQ(l.c.rlen, 100u);
  EXPECT_LT(late, 100) << "cancel seen " << late << " ms after it was set";
}

TEST(TdsRecv, DeadlinePassingWhileSilentGivesItsText) {
  Link l;
  l.peer.send({0x04, 0x01, 0x00}).pause(10000);  // even in the middle of a header
  l.start();
  l.c.deadline_ms = plat_mono_ms() + 200;
  l.c.deadline_text = "query timed out";
  auto t0 = clock_type::now();
  EXPECT_EQ(tds_recv(&l.c), -1);
  int64_t took = ms_since(t0);
  EXPECT_STREQ(l.c.err, "query timed out");
  EXPECT_GE(took, 190);
  EXPECT_LT(took, 450);
}

// A peer that sends without pause, so that bytes are waiting at every look
// and a wait never comes back empty, still cannot carry the receive past
// its deadline. The packets are taken as they come, as a backup's answer
// is, a little slower than they arrive; the cancel is only a safety net
// that ends the test if the deadline does not.
TEST(TdsRecv, DeadlineHoldsAgainstAPeerThatNeverPauses) {
  Link l;
  bytes burst;  // whole packets by the megabyte, so the socket never runs dry
  for (int i = 0; i < 16; ++i) burst = cat({burst, tds_packet(0x04, 0x00, pattern(65527))});
  l.peer.flood(burst);
  l.start();
  std::atomic<int32_t> flag{0};
  DelayedSet net(&flag, 5000);
  l.c.cancel_flag = &flag;
  l.c.deadline_ms = plat_mono_ms() + 300;
  l.c.deadline_text = "query timed out";
  // A consumer slower than the peer: the socket is never found empty.
  auto slow_taker = [](tds_conn* c, void*) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    tds_rbuf_drop(c, c->rlen);
    return 0;
  };
  auto t0 = clock_type::now();
  EXPECT_EQ(tds_recv_each(&l.c, tds_recv_caps{0, 65536}, slow_taker, nullptr), -1);
  int64_t took = ms_since(t0);
  EXPECT_STREQ(l.c.err, "query timed out");
  EXPECT_EQ(l.c.rx_stop, TDS_STOP_TIMED_OUT);
  EXPECT_GE(took, 290);
  EXPECT_LT(took, 1500);
}

TEST(TdsRecv, DeadlineDoesNotCutAnAnswerThatArrivesInTime) {
  Link l;
  l.peer.send(kThreePackets, 4, 20);
  l.start();
  l.c.deadline_ms = plat_mono_ms() + 5000;
  l.c.deadline_text = "query timed out";
  ASSERT_EQ(tds_recv(&l.c), 0) << l.c.err;
  EXPECT_EQ(rbuf_bytes(l.c), kThreePayload);
}

// ---- Attention -------------------------------------------------------------------

const bytes kAttention = {0x06, 0x01, 0x00, 0x08, 0, 0, 0, 0};
const bytes kAck = tds_message(0x04, tds_done_token(0x0020));

struct attention_case {
  const char* name;
  bytes before;       // sent before the interruption, then silence
  bool by_deadline;   // interrupted by a deadline rather than a cancel
  uint32_t left;      // payload of the interrupted packet still unread
  bytes after;        // sent once the attention has arrived
  int want;           // tds_attention's result
};

TEST(TdsAttention, ResumesTheInterruptedStreamAndFindsTheAck) {
  // An interrupted 20-byte packet (not the last of its message): its header
  // and 6 payload bytes arrive before the interruption.
  const bytes head = {0x04, 0x00, 0x00, 28, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6};
  const bytes rest = pattern(14);
  const bytes end_plain = tds_packet(0x04, 0x01, tds_done_token(0x0000));
  bytes ack_split = tds_done_token(0x0020);  // the ack's 13 bytes span two packets
  const bytes ack_in_two = cat({tds_packet(0x04, 0x00, cat({pattern(3), bytes(ack_split.begin(), ack_split.begin() + 5)})),
                                tds_packet(0x04, 0x01, bytes(ack_split.begin() + 5, ack_split.end()))});
  const attention_case cases[] = {
      {"ack as a message of its own", head, false, 14, cat({rest, end_plain, kAck}), 0},
      {"ack ending the interrupted message", head, false, 14,
       cat({rest, tds_packet(0x04, 0x01, tds_done_token(0x0020))}), 0},
      {"ack spanning two packets", head, false, 14, cat({rest, end_plain, ack_in_two}), 0},
      {"ack after unrelated messages", head, false, 14,
       cat({rest, end_plain, tds_message(0x04, pattern(9000)), kAck}), 0},
      {"interrupted between packets", tds_packet(0x04, 0x00, pattern(30)), false, 0,
       cat({end_plain, kAck}), 0},
      {"interrupted by a deadline", head, true, 14, cat({rest, end_plain, kAck}), 0},
      {"DONE without the attention bit is no ack", head, false, 14, cat({rest, end_plain}), -1},
      {"no answer at all", head, false, 14, {}, -1},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    const bytes after_ack = tds_message(0x04, {0xAA, 0xBB});
    Link l;
    l.peer.send(tc.before).read(8);
    if (!tc.after.empty()) l.peer.send(cat({tc.after, after_ack}));
    l.start();
    std::atomic<int32_t> flag{0};
    std::unique_ptr<DelayedSet> set;
    if (tc.by_deadline) {
      l.c.deadline_ms = plat_mono_ms() + 150;
      l.c.deadline_text = "query timed out";
    } else {
      l.c.cancel_flag = &flag;
      set = std::make_unique<DelayedSet>(&flag, 150);
    }
    ASSERT_EQ(tds_recv(&l.c), -1);
    set.reset();
    const char* why = tc.by_deadline ? "query timed out" : "cancelled";
    ASSERT_STREQ(l.c.err, why);
    EXPECT_EQ(l.c.rx_pkt_left, tc.left);

    auto t0 = clock_type::now();
    EXPECT_EQ(tds_attention(&l.c, 400), tc.want);
    int64_t took = ms_since(t0);
    EXPECT_STREQ(l.c.err, why) << "the drain leaves the caller's text";
    ASSERT_TRUE(l.peer.wait_done());
    EXPECT_EQ(l.peer.reads()[0], kAttention);
    if (tc.want == 0) {
      EXPECT_LT(took, 300);
      // The stream stands right behind the ack: the next message reads whole.
      l.c.cancel_flag = nullptr;
      l.c.deadline_ms = 0;
      ASSERT_EQ(tds_recv(&l.c), 0) << l.c.err;
      EXPECT_EQ(rbuf_bytes(l.c), (bytes{0xAA, 0xBB}));
    } else {
      EXPECT_GE(took, 380);
      EXPECT_LT(took, 800);
    }
  }
}

// Inside a header the packet boundaries are lost: the attention still goes
// out (so the server stops its work), but no acknowledgement is looked for.
TEST(TdsAttention, InterruptedInsideAHeaderSendsButDoesNotWait) {
  Link l;
  l.peer.send({0x04, 0x00, 0x00}).read(8).send(kAck);
  l.start();
  std::atomic<int32_t> flag{0};
  l.c.cancel_flag = &flag;
  {
    DelayedSet set(&flag, 100);
    ASSERT_EQ(tds_recv(&l.c), -1);
  }
  auto t0 = clock_type::now();
  EXPECT_EQ(tds_attention(&l.c, 2000), -1);
  EXPECT_LT(ms_since(t0), 200);
  EXPECT_STREQ(l.c.err, "cancelled");
  ASSERT_TRUE(l.peer.wait_done());
  EXPECT_EQ(l.peer.reads()[0], kAttention);
}

// ---- Errors and release ----------------------------------------------------------

TEST(TdsSetErr, CutsAtAWholeCharacterWithin511Bytes) {
  tds_conn c{};
  std::string text(509, 'x');
  text += "\xE2\x82\xAC";  // 3 bytes that straddle the limit
  text += "tail";
  tds_set_err(&c, text.c_str());
  EXPECT_EQ(std::strlen(c.err), 509u);
  tds_set_err(&c, std::string(600, 'y').c_str());
  EXPECT_EQ(std::strlen(c.err), 511u);
  tds_set_err(&c, c.err + 500);  // overlapping source
  EXPECT_STREQ(c.err, "yyyyyyyyyyy");
}

TEST(TdsClose, ReleasesAndIsHarmlessTwice) {
  Link l;
  l.peer.send(kThreePackets);
  l.start();
  ASSERT_EQ(tds_recv(&l.c), 0);
  tds_set_err(&l.c, "kept");
  tds_close(&l.c);
  EXPECT_EQ(l.c.sock, PLAT_INVALID_SOCKET);
  EXPECT_EQ(l.c.rbuf, nullptr);
  EXPECT_EQ(l.c.rcap, 0u);
  EXPECT_EQ(l.c.rlen, 0u);
  EXPECT_STREQ(l.c.err, "kept");
  tds_close(&l.c);
  EXPECT_EQ(l.c.sock, PLAT_INVALID_SOCKET);
  // A closed record fails at once, even with a cancel flag that makes reads wait in slices.
  std::atomic<int32_t> never{0};
  l.c.cancel_flag = &never;
  EXPECT_EQ(tds_recv(&l.c), -1);
  EXPECT_STREQ(l.c.err, "socket read failed");
  EXPECT_EQ(tds_send(&l.c, 0x01, nullptr, 0), -1);
  EXPECT_STREQ(l.c.err, "socket write failed");
}

}  // namespace
