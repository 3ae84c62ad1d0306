// From the rows a restore's sources answer (the server's backup history, or
// RESTORE HEADERONLY of backup files) to the planner's sets. Pure: a row in,
// a set and what the caller stores beside it out; reading and storing stay
// with the restore.
#pragma once

#include <cstdint>

#include "tds_client/tds_client.h"
#include "vaultrun/restore_plan.h"

// The cell of a named column, "" for NULL or a column the answer lacks.
const char* row_cell(const tds_meta* meta, const tds_row* row, const char* name);
// The leading decimal integer of a cell (0 for none).
int64_t row_int(const char* text);
// A GUID cell, with or without braces ("" or NULL: all zero). False for any
// other text.
bool guid_parse(const char* text, set_guid* out);

// One row of the history: the set it starts, or a further family of the
// set of the row before (same set_id).
struct history_row {
  int64_t set_id;
  const char* path;       // physical_device_name (into the row)
  bool readable_device;   // a disk or a URL: a file the server can restore from
  int32_t family_count;   // of its media set; 0 when the history does not say
};

// The set of a history row and the row's own facts. Returns null, or the
// refusal: a row whose set cannot be read. A set on a device that is not a
// file gets the type 'X' (passed over by the planner).
const char* set_from_history_row(const tds_meta* meta, const tds_row* row, plan_set* set, history_row* info);

// The set of a HEADERONLY row; *database_name points at the row's
// DatabaseName. Returns null, or the refusal.
const char* set_from_header_row(const tds_meta* meta, const tds_row* row, plan_set* set, const char** database_name);
