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

int32_t scratch_candidates(const scratch_choice* c) {
  return c->wanted[0] == 0 ? 0 : c->explicit_name ? 1 : SCRATCH_CANDIDATES;
}

bool scratch_candidate(const scratch_choice* c, int32_t n, char* out, size_t cap) {
  if (n < 1 || n > scratch_candidates(c)) return false;
  return candidate(c, n, out, cap);
}

bool checkdb_corruption(int32_t number) {
  // Allocation and consistency errors, and the data-purity and IAM checks;
  // in the 79xx range only the table and system-table errors: the others
  // there say the check could not run.
  if (number >= 8900 && number <= 8999) return true;
  static const int32_t DAMAGE[] = {823, 824, 829, 2570, 2575, 2576, 2579, 7965, 7984, 7985, 7986, 7987, 7988, 7995};
  for (int32_t d : DAMAGE) {
    if (d == number) return true;
  }
  return false;
}

bool checkdb_damage(const checkdb_report* r) {
  const int32_t kept = r->count < CHECKDB_ERRORS_KEPT ? r->count : CHECKDB_ERRORS_KEPT;
  for (int32_t i = 0; i < kept; ++i) {
    if (checkdb_corruption(r->number[i])) return true;
  }
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
