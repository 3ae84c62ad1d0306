#include "vaultrun/session_outcome.h"

#include <cstdlib>

#include "vaultrun.h"

session_outcome outcome_begin() {
  session_outcome o{};
  o.state = VAULTRUN_SESSION_DONE;
  return o;
}

void outcome_fail(session_outcome* o, const char* cause) {
  o->state = VAULTRUN_SESSION_FAILED;
  utf8_copy_cut(o->error, sizeof o->error, cause);
}

namespace {

// The whole document of o, on the heap; null when it has no members or
// could not be built (o then fails for want of memory).
char* outcome_document(session_outcome* o) {
  if (o->members.failed) return outcome_fail(o, "out of memory"), nullptr;
  if (o->members.len == 0) return nullptr;
  const bool ok = o->state == VAULTRUN_SESSION_DONE;
  doc_text d{};
  doc_raw(&d, ok ? "{\"ok\":true" : "{\"ok\":false");
  if (!ok) doc_member(&d, "error", o->error);
  doc_put(&d, o->members.p, o->members.len);
  doc_raw(&d, "}");
  if (!d.failed) return d.p;
  std::free(d.p);
  return outcome_fail(o, "out of memory"), nullptr;
}

}  // namespace

void publish_outcome(backup_session* s, session_outcome* o) {
  char* doc = outcome_document(o);
  std::free(o->members.p);
  o->members = doc_text{};
  s->result_doc = doc;
  if (o->state != VAULTRUN_SESSION_DONE) session_write_text(s, s->error, sizeof s->error, o->error);
  s->elapsed_ms.store(plat_mono_ms() - s->start_ms, std::memory_order_relaxed);
  s->state.store(o->state, std::memory_order_release);
}
