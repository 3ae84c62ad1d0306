// The connection's TLS session, kept apart from any socket: ciphertext from
// the network goes in with tds_tls_feed, ciphertext to send comes out with
// tds_tls_take, and plaintext passes through tds_tls_write / tds_tls_read.
// The transport moves the bytes; this layer only holds the session, so it
// can be driven over memory in tests and over TDS packets during the
// wrapped handshake. The header names no type of the TLS library behind it.
//
// Every function that can fail writes one complete text into err
// (TDS_ERR_SIZE bytes) and never blocks.
#pragma once

#include <cstddef>
#include <cstdint>

// How a connection is encrypted.
constexpr uint8_t TDS_ENCRYPT_OFF = 0;     // clear text, as the server is told
constexpr uint8_t TDS_ENCRYPT_ON = 1;      // TLS negotiated by PRELOGIN, then everything inside it
constexpr uint8_t TDS_ENCRYPT_STRICT = 2;  // TLS first (ALPN "tds/8.0"), PRELOGIN inside it

struct tds_tls_opts {
  uint8_t mode;                   // TDS_ENCRYPT_ON or TDS_ENCRYPT_STRICT
  bool trust_server_certificate;  // no chain or name check (never with strict)
  const char* ca_file;            // PEM roots; null or "": the system's store
  const char* name;               // checked against the certificate: a host name or an IP literal
};

struct tds_tls;

// A client session ready to start its handshake, or null with err set
// ("encryption is not available in this build", "cannot read ca_file", ...).
// Free it with tds_tls_free.
tds_tls* tds_tls_new(const tds_tls_opts* opts, char* err);
void tds_tls_free(tds_tls* t);  // null is harmless

enum tds_tls_step { TDS_TLS_DONE = 0, TDS_TLS_WANT_INPUT = 1, TDS_TLS_FAILED = -1 };

// Advances the handshake with what has been fed so far. Whatever it returns,
// the ciphertext it produced waits in tds_tls_take. FAILED sets err:
//   "TLS handshake failed: <reason>"
//   "server certificate not trusted: <reason>"
//   "server certificate does not match <name>"
//   "server did not select the tds/8.0 protocol"
int tds_tls_handshake(tds_tls* t, char* err);

// Hands n bytes received from the network to the session; false when it
// cannot hold them (out of memory).
bool tds_tls_feed(tds_tls* t, const uint8_t* p, size_t n);

// Ciphertext waiting to be sent: how much, and up to cap bytes of it, removed.
size_t tds_tls_pending(const tds_tls* t);
size_t tds_tls_take(tds_tls* t, uint8_t* out, size_t cap);

// Encrypts n bytes of plaintext (all of them, into tds_tls_take); 0, or -1
// with err set.
int tds_tls_write(tds_tls* t, const uint8_t* p, size_t n, char* err);

// Decrypted bytes into out (cap > 0): > 0 bytes given, 0 when more
// ciphertext must be fed first, -1 when the server closed the session or
// sent what cannot be decrypted (err set).
long tds_tls_read(tds_tls* t, uint8_t* out, size_t cap, char* err);
