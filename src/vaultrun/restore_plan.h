// The restore planner: from the backup sets a source offers (rows of the
// server's backup history, or the headers of backup files) and the point
// to reach, the ordered steps of a restore, or a text that says why none
// can reach it. No I/O; the caller owns both tables, and the planner's own
// index of the sets lives on the heap only while it plans.
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

// A GUID as 16 bytes; all zero when the source does not give it.
struct set_guid {
  uint64_t hi, lo;
};
inline bool operator==(const set_guid& a, const set_guid& b) { return a.hi == b.hi && a.lo == b.lo; }
inline bool operator<(const set_guid& a, const set_guid& b) { return a.hi != b.hi ? a.hi < b.hi : a.lo < b.lo; }

// Why a set that could start or improve a chain was passed over.
constexpr uint8_t PASS_MISSING_FAMILIES = 1;  // its striped media set lacks a family
constexpr uint8_t PASS_UNREADABLE = 2;        // its file header cannot be read

// One backup set, compact: the planner's view of a history row or a header.
struct plan_set {
  // The database the set belongs to: a database dropped and created again
  // under the same name has a new one, and sets of the two never chain.
  set_guid database;
  // The recovery fork at the set's first and last LSN; they differ only for
  // a log that spans a fork, which it crosses at fork_point_lsn.
  set_guid first_fork, last_fork;
  lsn_t fork_point_lsn;
  lsn_t first_lsn, last_lsn, checkpoint_lsn, database_backup_lsn, differential_base_lsn;
  int64_t finish_ticks;
  char finish[SET_TIME_BYTES];  // as the server rendered it, with a T
  int32_t position;             // in its media set
  int32_t media;                // the caller's index of the media set that holds it
  uint8_t type;                 // SET_FULL, SET_DIFFERENTIAL or SET_LOG (anything else is passed over)
  uint8_t copy_only;
  uint8_t incomplete;           // some family of its striped media set is missing
  uint8_t unreadable;           // its file header cannot be read
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

constexpr int MAX_PASSED_OVER = 64;

struct plan_pass {
  int32_t set;     // index into the caller's sets
  uint8_t reason;  // PASS_MISSING_FAMILIES or PASS_UNREADABLE
};

struct restore_plan {
  int32_t steps;
  plan_step step[MAX_PLAN_STEPS];
  char refusal[PLAN_REFUSAL_BYTES];  // "" when planned
  // The point the plan brings the database to: stop_at, or the finish of
  // its last set.
  int64_t reached_ticks;
  char reached[SET_TIME_BYTES];
  // Fulls and differentials of the chosen database, newer than the chosen
  // full and by stop_at, that could not be used (the first
  // MAX_PASSED_OVER; passed_total counts them all).
  int32_t passed, passed_total;
  plan_pass pass[MAX_PASSED_OVER];
};

// Plans the chain that reaches stop_at (null or "": the newest point any
// chain reaches). A chain is a full (a copy-only one too), at most one
// differential based on it (its differential_base_lsn is the full's
// checkpoint_lsn; never on a copy-only full), then logs, each starting at
// or before the LSN reached and ending past it, all of one database, each
// log on the recovery fork the chain is on (a log that crosses a fork only
// while the chain is not past its fork point). Of the chains that reach the
// point, the one with the fewest logs; on a tie, the newer base, then a
// regular log before a copy-only one. A log crossing a fork does not hold a
// stop_at that the old path's own backups past the fork reach. Sets missing
// a family or unreadable are passed over. Refuses when no chain reaches the
// point, or, without stop_at, when a log of the chosen database finishing
// later cannot be reached (a gap, a missing family, another recovery path).
// Sets are taken in any order. Returns 0, or -1 with a refusal naming the
// problem and its LSNs or times.
int plan_restore(const plan_set* sets, int32_t count, const char* stop_at, restore_plan* plan);

// The plan of one explicit set, the one at position: a single step (a log
// with stop_at gets STOPAT), or -1 when no set has that position.
int plan_single(const plan_set* sets, int32_t count, int32_t position, const char* stop_at, restore_plan* plan);
