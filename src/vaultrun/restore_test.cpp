#include "vaultrun/restore_test.h"

#include <cstdio>
#include <cstring>

#include "tds_client/tds_client.h"

namespace {

constexpr char DEFAULT_SUFFIX[] = "_restore_test";

// Candidate n of a default name: the base, then base_n.
bool candidate(const scratch_choice* c, int32_t n, char* out, size_t cap) {
  const int len = n == 1 ? std::snprintf(out, cap, "%s", c->wanted) : std::snprintf(out, cap, "%s_%d", c->wanted, n);
  return len > 0 && static_cast<size_t>(len) < cap && text_utf16_units(out) <= DATABASE_MAX_UNITS;
}

}  // namespace

const char* scratch_begin(const backup_config* cfg, scratch_choice* c) {
  *c = scratch_choice{};
  c->explicit_name = cfg->scratch_database[0] != 0;
  const char* name = c->explicit_name ? cfg->scratch_database : cfg->database;
  const int len = std::snprintf(c->wanted, sizeof c->wanted, "%s%s", name, c->explicit_name ? "" : DEFAULT_SUFFIX);
  if (len < 0 || static_cast<size_t>(len) >= sizeof c->wanted || text_utf16_units(c->wanted) > DATABASE_MAX_UNITS) {
    c->wanted[0] = 0;
    return "scratch database name too long; set scratch_database";
  }
  return nullptr;
}

void scratch_see(scratch_choice* c, const char* existing) {
  if (c->explicit_name) {
    if (equal_nocase(existing, c->wanted)) c->taken[1] = true;
    return;
  }
  char name[sizeof c->wanted];
  for (int32_t n = 1; n <= SCRATCH_CANDIDATES; ++n) {
    if (!c->taken[n] && candidate(c, n, name, sizeof name) && equal_nocase(existing, name)) c->taken[n] = true;
  }
}

bool scratch_pick(const scratch_choice* c, scratch_copy* copy, char* refusal, size_t cap) {
  *copy = scratch_copy{};
  refusal[0] = 0;
  if (c->wanted[0] == 0) {
    utf8_copy_cut(refusal, cap, "scratch database name too long; set scratch_database");
    return false;
  }
  if (c->explicit_name) {
    if (c->taken[1]) {
      std::snprintf(refusal, cap, "scratch database exists: ");
      utf8_copy_cut(refusal + std::strlen(refusal), cap - std::strlen(refusal), c->wanted);
      return false;
    }
    std::memcpy(copy->name, c->wanted, std::strlen(c->wanted) + 1);
    copy->checked_free = true;
    return true;
  }
  for (int32_t n = 1; n <= SCRATCH_CANDIDATES; ++n) {
    if (c->taken[n]) continue;
    if (!candidate(c, n, copy->name, sizeof copy->name)) {
      copy->name[0] = 0;
      utf8_copy_cut(refusal, cap, "scratch database name too long; set scratch_database");
      return false;
    }
    copy->checked_free = true;
    return true;
  }
  std::snprintf(refusal, cap, "every scratch database name from ");
  utf8_copy_cut(refusal + std::strlen(refusal), cap - std::strlen(refusal), c->wanted);
  const size_t used = std::strlen(refusal);
  std::snprintf(refusal + used, cap - used, " to _%d exists; set scratch_database", SCRATCH_CANDIDATES);
  return false;
}

void checkdb_add(checkdb_report* r, int32_t number, const char* text) {
  if (r->count < CHECKDB_ERRORS_KEPT) {
    r->number[r->count] = number;
    utf8_copy_cut(r->text[r->count], CHECKDB_ERROR_TEXT, text);
  }
  if (r->count < INT32_MAX) ++r->count;
}

void checkdb_join(const checkdb_report* r, char* out, size_t cap) {
  if (cap == 0) return;
  out[0] = 0;
  const int32_t kept = r->count < CHECKDB_ERRORS_KEPT ? r->count : CHECKDB_ERRORS_KEPT;
  size_t len = 0;
  for (int32_t i = 0; i < kept && len + 1 < cap; ++i) {
    char head[32];
    std::snprintf(head, sizeof head, "%sMsg %d: ", i == 0 ? "" : "; ", r->number[i]);
    utf8_copy_cut(out + len, cap - len, head);
    len += std::strlen(out + len);
    utf8_copy_cut(out + len, cap - len, r->text[i]);
    len += std::strlen(out + len);
  }
  if (r->count > kept && len + 1 < cap) {
    char more[48];
    std::snprintf(more, sizeof more, "; and %d more", r->count - kept);
    utf8_copy_cut(out + len, cap - len, more);
  }
}
