// A restore step whose statement cannot be built fails where it would have
// gone out: nothing is sent (the statement buffer still holds the one
// before), and the cause is the builder's, not a stale one.
#include <gtest/gtest.h>

#include <cstring>

#include "vaultrun/config.h"
#include "vaultrun/restore_work.h"
#include "vaultrun/session_slots.h"

using namespace restore_impl;

namespace {

TEST(RestoreSteps, AStatementThatCannotBeBuiltIsNeverSent) {
  backup_config cfg;
  ASSERT_EQ(parse_config(R"({"operation":"restore","user":"sa","database":"sales"})", &cfg), 0);
  restore_work* w = work_new(&cfg);
  ASSERT_NE(w, nullptr);
  // One full with no file to restore it from (a set on a device that
  // cannot be read): its RESTORE cannot be built.
  ASSERT_TRUE(grow_sets(&w->src));
  w->src.sets[0] = plan_set{};
  w->src.sets[0].type = SET_FULL;
  w->src.sets[0].position = 1;
  w->src.media[0] = media_entry{0, 0, 1};
  w->src.nsets = 1;
  w->plan.steps = 1;
  w->plan.step[0] = plan_step{};
  w->plan.step[0].set = 0;
  w->plan.step[0].type = SET_FULL;
  // What a previous statement left in the buffer must not go out again:
  // sending anything on a connection without a socket fails otherwise.
  std::strcpy(w->sql, "SELECT 1");
  static backup_session slot;
  tds_conn conn{};
  conn.sock = PLAT_INVALID_SOCKET;
  EXPECT_EQ(restore_steps(&slot, &conn, w), 0);
  EXPECT_STREQ(conn.err, "statement too long");
  EXPECT_EQ(conn.err_number, 0);
  work_free(w);
}

}  // namespace
