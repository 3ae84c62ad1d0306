// What the restore command shows, from the library's documents: the step a
// running restore is on, and the sets it restored (or, on a dry run, the
// plan with each statement). No I/O, so the tests feed fixed documents.
#pragma once

#include <string>

#include "json.h"

namespace cli {

// "step 2/5 log" from a progress document's step, steps and step_type; ""
// when the document has no step yet (the restore is still planning).
std::string step_label(const JsonValue& progress);

// Whether a failed restore left its database restoring: a step had been
// done, or the cancel reached a step under way. A refusal of the first step
// (an existing database without --replace) leaves the server as it was.
bool left_restoring(const JsonValue& result, bool cancelled);

// The lines that follow a restore that succeeded: the target, each set
// restored with its file, position and end time, the point in time and
// whether the database is online. On a dry run: the plan, each step with the
// statement it would send.
std::string restore_summary(const JsonValue& result);

// The lines that follow a restore that failed after some steps were done:
// those steps. "" when none was.
std::string restore_failure_detail(const JsonValue& result);

}  // namespace cli
