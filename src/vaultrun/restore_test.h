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
  bool taken[SCRATCH_CANDIDATES + 1];  // by candidate number, from 1
};

// Starts a choice for cfg (its database is the source). Returns null, or
// the refusal when the default name cannot be formed within 128 UTF-16
// units.
const char* scratch_begin(const backup_config* cfg, scratch_choice* c);

// Takes one name that exists on the server.
void scratch_see(scratch_choice* c, const char* existing);

// The name to restore into, once every existing name was seen: copy->name
// set and copy->checked_free true; else the refusal (an explicit name that
// exists, every default candidate taken, or a default candidate too long).
// refusal holds the texts that name the database (at least 512 bytes).
bool scratch_pick(const scratch_choice* c, scratch_copy* copy, char* refusal, size_t cap);

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

// "Msg N: text; Msg M: text" of the errors kept, with "; and K more" when
// some were not; cut at a whole character to fit cap.
void checkdb_join(const checkdb_report* r, char* out, size_t cap);
