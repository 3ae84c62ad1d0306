// The TLS session of a build without a TLS library: every session is
// refused, so a configuration asking for encryption fails before any byte
// is sent, and never falls back to clear text.
#include "tds_client/tds_client.h"
#include "tds_client/tls.h"

struct tds_tls {
  int unused;
};

tds_tls* tds_tls_new(const tds_tls_opts*, char* err) {
  tds_err_text(err, "encryption is not available in this build");
  return nullptr;
}

void tds_tls_free(tds_tls*) {}

int tds_tls_handshake(tds_tls*, char* err) {
  tds_err_text(err, "encryption is not available in this build");
  return TDS_TLS_FAILED;
}

bool tds_tls_feed(tds_tls*, const uint8_t*, size_t) { return false; }

size_t tds_tls_pending(const tds_tls*) { return 0; }

size_t tds_tls_take(tds_tls*, uint8_t*, size_t) { return 0; }

int tds_tls_write(tds_tls*, const uint8_t*, size_t, char* err) {
  tds_err_text(err, "encryption is not available in this build");
  return -1;
}

long tds_tls_read(tds_tls*, uint8_t*, size_t, char* err) {
  tds_err_text(err, "encryption is not available in this build");
  return -1;
}
