// The parts of a restore test that need no server: choosing the copy's
// name against the names the server already has, and collecting what
// DBCC CHECKDB reports. Pure: no I/O, fixed sizes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vaultrun/config.h"
#include "vaultrun/statements.h"

// A default name is "<source>_restore_test", then "_2" to "_99" after it.
constexpr int32_t SCRATCH_CANDIDATES = 99;

struct scratch_choice {
  char wanted[3 * DATABASE_MAX_UNITS + 1];  // the explicit name, or the default base
  bool explicit_name;
};

// Starts a choice for cfg (its database is the source). Returns null, or
// the refusal when the default name cannot be formed within 128 UTF-16
// units.
const char* scratch_begin(const backup_config* cfg, scratch_choice* c);

// How many names the choice may try: 1 for an explicit name.
int32_t scratch_candidates(const scratch_choice* c);

// Candidate n (from 1) into out: the base, then base_n. False when it does
// not fit 128 UTF-16 units. Whether it is free is the server's to say.
bool scratch_candidate(const scratch_choice* c, int32_t n, char* out, size_t cap);

// What a DBCC CHECKDB reported as errors: each number and text, in order,
// up to a bound; more are counted, not kept, so a server that never stops
// reporting cannot grow it.
constexpr int32_t CHECKDB_ERRORS_KEPT = 64;
constexpr size_t CHECKDB_ERROR_TEXT = 512;
struct checkdb_report {
  int32_t count;  // every error seen
  int32_t number[CHECKDB_ERRORS_KEPT];
  char text[CHECKDB_ERRORS_KEPT][CHECKDB_ERROR_TEXT];
};

// Adds one error (text valid UTF-8, cut at a whole character to fit).
void checkdb_add(checkdb_report* r, int32_t number, const char* text);

// Whether a DBCC CHECKDB error number reports damage in the database (an
// allocation or consistency error, a page that cannot be read), rather
// than a check that could not run (no snapshot, the database in use, no
// permission).
bool checkdb_corruption(int32_t number);

// Whether any error kept in r reports damage.
bool checkdb_damage(const checkdb_report* r);

// "Msg N: text; Msg M: text" of the errors kept, with "; and K more" when
// some were not; cut at a whole character to fit cap.
void checkdb_join(const checkdb_report* r, char* out, size_t cap);
