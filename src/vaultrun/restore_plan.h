// The restore planner: from the backup sets a source offers (rows of the
// server's backup history, or the headers of backup files) and the point
// to reach, the ordered steps of a restore, or a text that says why none
// can reach it. Pure: no I/O, no allocation; the caller owns both tables.
#pragma once

#include <cstddef>
#include <cstdint>

// A log sequence number as the server stores it: numeric(25,0), held
// exactly. 0 stands for a NULL.
using lsn_t = unsigned __int128;

// Reads the decimal digits of an LSN cell ("" or NULL: 0). False for a
// text that is not 1 to 25 digits.
bool lsn_parse(const char* text, lsn_t* out);
// Writes an LSN in decimal into out (at least 26 bytes).
void lsn_text(lsn_t v, char* out);

// A point in time as 100-nanosecond ticks since 0001-01-01, from
// "YYYY-MM-DD HH:MM:SS" with a space or a T and an optional fraction of up
// to 7 digits (the server's rendering of its dates, or a stop_at). False
// for anything else.
bool time_parse(const char* text, int64_t* ticks);

// Kinds of backup set, as the history names them.
constexpr uint8_t SET_FULL = 'D';
constexpr uint8_t SET_DIFFERENTIAL = 'I';
constexpr uint8_t SET_LOG = 'L';

constexpr size_t SET_TIME_BYTES = 28;

// One backup set, compact: the planner's view of a history row or a header.
struct plan_set {
  lsn_t first_lsn, last_lsn, checkpoint_lsn, database_backup_lsn, differential_base_lsn;
  int64_t finish_ticks;
  char finish[SET_TIME_BYTES];  // as the server rendered it, with a T
  int32_t position;             // in its media set
  int32_t media;                // the caller's index of the media set that holds it
  uint8_t type;                 // SET_FULL, SET_DIFFERENTIAL or SET_LOG (anything else is passed over)
  uint8_t copy_only;
  uint8_t incomplete;           // some family of its striped media set is missing
};

// The longest plan: a full, a differential and the logs after them. The
// result document of every accepted plan is sized from it.
constexpr int MAX_PLAN_STEPS = 1024;
constexpr size_t PLAN_REFUSAL_BYTES = 512;

struct plan_step {
  int32_t set;      // index into the caller's sets
  uint8_t type;     // the set's type
  uint8_t stop_at;  // the log that holds the point: restored WITH STOPAT
};

struct restore_plan {
  int32_t steps;
  plan_step step[MAX_PLAN_STEPS];
  char refusal[PLAN_REFUSAL_BYTES];  // "" when planned
};

// Plans the chain that reaches stop_at (null or "": the newest point the
// sets allow), in this order: the newest full set that finished by then
// (copy-only ones included: each starts a chain by itself), the newest
// differential whose base is that full (its differential_base_lsn is the
// full's checkpoint_lsn; a copy-only full is never a base), then the logs
// whose LSN ranges continue the chain from the last LSN restored, each
// starting at or before it and ending past it (logs already covered, such
// as a copy-only log beside the regular one, are skipped), up to the
// first log that finished at or after stop_at, which gets STOPAT. Sets are
// taken in any order. Returns 0, or -1 with a refusal naming the problem
// and its LSNs or times.
int plan_restore(const plan_set* sets, int32_t count, const char* stop_at, restore_plan* plan);

// The plan of one explicit set, the one at position: a single step (a log
// with stop_at gets STOPAT), or -1 when no set has that position.
int plan_single(const plan_set* sets, int32_t count, int32_t position, const char* stop_at, restore_plan* plan);
