#include "vaultrun/statements.h"

#include <cstring>

namespace {

// Appends to a statement under construction; once something has not fitted,
// further pieces are dropped and the result is refused whole.
struct sql_text {
  char* out;
  size_t cap;
  size_t len;
  bool fits;
};

void put(sql_text* t, const char* piece) {
  const size_t n = std::strlen(piece);
  if (!t->fits || n >= t->cap - t->len) {
    t->fits = false;
    return;
  }
  std::memcpy(t->out + t->len, piece, n);
  t->len += n;
}

// Appends text with every `closer` doubled, so that inside the delimiters the
// closer stands for itself and cannot end the name or the literal.
void put_quoted(sql_text* t, const char* text, char closer) {
  for (const char* p = text; *p && t->fits; ++p) {
    const size_t n = *p == closer ? 2 : 1;
    if (n >= t->cap - t->len) {
      t->fits = false;
      break;
    }
    t->out[t->len++] = *p;
    if (n == 2) t->out[t->len++] = *p;
  }
}

bool finish(sql_text* t) {
  if (t->cap == 0) return false;
  t->out[t->fits ? t->len : 0] = 0;
  return t->fits;
}

}  // namespace

bool backup_statement(const backup_config* cfg, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0};
  put(&t, "BACKUP DATABASE [");
  put_quoted(&t, cfg->database, ']');
  put(&t, "] TO DISK = N'");
  put_quoted(&t, cfg->out_path, '\'');
  put(&t, "' WITH STATS = 5");
  if (cfg->compression) put(&t, ", COMPRESSION");
  if (cfg->copy_only) put(&t, ", COPY_ONLY");
  return finish(&t);
}

bool verify_statement(const backup_config* cfg, char* out, size_t cap) {
  sql_text t{out, cap, 0, cap > 0};
  put(&t, "RESTORE VERIFYONLY FROM DISK = N'");
  put_quoted(&t, cfg->out_path, '\'');
  put(&t, "'");
  return finish(&t);
}
