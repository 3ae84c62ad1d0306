// The client's side of the wrapped TLS handshake on arbitrary server bytes.
//
// The first byte picks the session's options (bit 0: strict, with ALPN);
// the rest is what the server sends after its PRELOGIN answer, read as
// packets by the transport's own header parser, each payload fed to the
// session after the ClientHello has gone. Property: every step returns one
// of its three results, a failure leaves one whole UTF-8 text, the session
// never asks to send more than it could have produced, and the loop ends
// because every packet consumes input. Leaks are the sanitizer's to find.
#include <cstdint>

#include "fuzz_check.h"
#include "tds_client/tds_client.h"

namespace {

void drain(tds_tls* t) {
  uint8_t out[TDS_TLS_CHUNK];
  while (tds_tls_take(t, out, sizeof out) > 0) {
  }
  FUZZ_CHECK(tds_tls_pending(t) == 0);
}

void check_err(const char* err) {
  FUZZ_CHECK(terminated(err, TDS_ERR_SIZE));
  const size_t len = std::strlen(err);
  FUZZ_CHECK(len > 0);
  FUZZ_CHECK(utf8_whole_sequences(err, len));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool strict = (data[0] & 1) != 0;
  // The certificate check needs roots read from disk on every run; the
  // parsing under test is the same without it.
  const tds_tls_opts o{strict ? TDS_ENCRYPT_STRICT : TDS_ENCRYPT_ON, true, nullptr, "localhost"};
  char err[TDS_ERR_SIZE] = "";
  tds_tls* t = tds_tls_new(&o, err);
  FUZZ_CHECK(t != nullptr);
  int step = tds_tls_handshake(t, err);
  FUZZ_CHECK(step == TDS_TLS_WANT_INPUT);
  drain(t);

  size_t pos = 1;
  while (step == TDS_TLS_WANT_INPUT && size - pos >= TDS_HEADER_LEN) {
    tds_packet_head head;
    std::unique_ptr<uint8_t[]> hdr = exact_copy(data + pos, TDS_HEADER_LEN);
    if (!tds_parse_packet_header(hdr.get(), &head)) break;
    pos += TDS_HEADER_LEN;
    const size_t n = head.payload < size - pos ? head.payload : size - pos;
    std::unique_ptr<uint8_t[]> payload = exact_copy(data + pos, n);
    FUZZ_CHECK(tds_tls_feed(t, payload.get(), n));
    pos += n;
    step = tds_tls_handshake(t, err);
    FUZZ_CHECK(step == TDS_TLS_DONE || step == TDS_TLS_WANT_INPUT || step == TDS_TLS_FAILED);
    if (step == TDS_TLS_FAILED) check_err(err);
    drain(t);
  }
  if (step == TDS_TLS_DONE) {
    uint8_t plain[4096];
    for (int i = 0; i < 64; ++i) {
      const long got = tds_tls_read(t, plain, sizeof plain, err);
      if (got < 0) check_err(err);
      if (got <= 0) break;
    }
  }
  tds_tls_free(t);
  return 0;
}
