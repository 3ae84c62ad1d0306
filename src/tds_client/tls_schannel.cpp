// The TLS session on Windows' own TLS (SChannel through SSPI), so the module
// needs no library beyond the system's: secur32 for the session, crypt32 for
// the certificate checks.
//
// SSPI works on caller-owned memory, which suits this layer: the session
// keeps the ciphertext received but not yet used in a bounded buffer (a
// record may arrive in pieces, or several in one read), the ciphertext to
// send in a queue that the transport empties after every write, and the
// rest of a decrypted record that did not fit the caller's buffer.
//
// The server's certificate is checked after the handshake, not by SChannel
// (see tls_schannel_cert.cpp).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tds_client/tds_client.h"
#include "tds_client/tls.h"
#include "tds_client/tls_schannel.h"

namespace {

// The longest TLS record: a 5-byte header, then at most 2^14 bytes of
// plaintext grown by at most 2048 bytes of protection.
constexpr size_t TLS_HEADER = 5;
constexpr size_t TLS_RECORD_MAX = TLS_HEADER + (16u << 10) + 2048;
// Received ciphertext: a record still incomplete plus the largest single
// feed (a whole message of the wrapped handshake). A peer that sends more
// without it being used is refused, never buffered on.
constexpr size_t IN_CAP = TLS_RECORD_MAX + TDS_LOGIN_CAP;
// Ciphertext to send: one handshake flight, or one packet's records.
constexpr size_t OUT_CAP = 32u << 10;
// Plaintext of one record.
constexpr size_t PLAIN_CAP = 16u << 10;

// ALPN "tds/8.0" as SSPI takes it: the size of the lists that follow, then
// one list (negotiation ALPN, its size, the length-prefixed name).
constexpr unsigned char ALPN_BUFFER[] = {14, 0, 0, 0,                            // lists size
                                         2, 0, 0, 0,                             // ALPN
                                         8, 0,                                   // list size
                                         7, 't', 'd', 's', '/', '8', '.', '0'};  // the name
constexpr char ALPN_TDS8[] = "tds/8.0";

constexpr ULONG ISC_FLAGS = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                            ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                            ISC_REQ_MANUAL_CRED_VALIDATION;

}  // namespace

struct tds_tls {
  CredHandle cred;
  CtxtHandle ctx;
  bool have_cred;
  bool have_ctx;
  bool done;  // handshake over: records carry data
  uint8_t mode;
  bool verify;
  schannel_peer peer;   // what the certificate is checked against
  SecPkgContext_StreamSizes sizes;
  size_t in_len, out_len, plain_off, plain_len;
  uint8_t in[IN_CAP];
  uint8_t out[OUT_CAP];
  uint8_t plain[PLAIN_CAP];
};

namespace {

// Appends n bytes to the send queue; false when it is full.
bool queue_out(tds_tls* t, const void* p, size_t n) {
  if (n > OUT_CAP - t->out_len) return false;
  std::memcpy(t->out + t->out_len, p, n);
  t->out_len += n;
  return true;
}

// Keeps the last n bytes of the input at its front: the part SSPI left for
// the next call.
void keep_tail(tds_tls* t, size_t n) {
  if (n > t->in_len) n = t->in_len;
  std::memmove(t->in, t->in + (t->in_len - n), n);
  t->in_len = n;
}

// ---- Credentials ----------------------------------------------------------------

// The credential form that can allow TLS 1.3, where the system takes it:
// everything below TLS 1.2 disabled, the rest left to the system.
SECURITY_STATUS acquire_current(tds_tls* t) {
  TLS_PARAMETERS tp{};
  tp.grbitDisabledProtocols = SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT |
                              SP_PROT_TLS1_1_CLIENT;
  SCH_CREDENTIALS sc{};
  sc.dwVersion = SCH_CREDENTIALS_VERSION;
  sc.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  sc.cTlsParameters = 1;
  sc.pTlsParameters = &tp;
  TimeStamp ts;
  return AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                   &sc, nullptr, nullptr, &t->cred, &ts);
}

// The older form: TLS 1.2 and 1.3, or 1.2 alone where 1.3 is not known.
SECURITY_STATUS acquire_legacy(tds_tls* t, DWORD protocols) {
  SCHANNEL_CRED sc{};
  sc.dwVersion = SCHANNEL_CRED_VERSION;
  sc.grbitEnabledProtocols = protocols;
  sc.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  TimeStamp ts;
  return AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                   &sc, nullptr, nullptr, &t->cred, &ts);
}

bool acquire(tds_tls* t, char* err) {
  SECURITY_STATUS s = acquire_current(t);
  if (s != SEC_E_OK) s = acquire_legacy(t, SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
  if (s != SEC_E_OK) s = acquire_legacy(t, SP_PROT_TLS1_2_CLIENT);
  if (s != SEC_E_OK) {
    schannel_status_text(err, "TLS setup failed: ", s);
    return false;
  }
  t->have_cred = true;
  return true;
}

bool alpn_selected(tds_tls* t) {
  SecPkgContext_ApplicationProtocol ap{};
  if (QueryContextAttributesW(&t->ctx, SECPKG_ATTR_APPLICATION_PROTOCOL, &ap) != SEC_E_OK) return false;
  return ap.ProtoNegoStatus == SecApplicationProtocolNegotiationStatus_Success &&
         ap.ProtocolIdSize == sizeof ALPN_TDS8 - 1 && std::memcmp(ap.ProtocolId, ALPN_TDS8, sizeof ALPN_TDS8 - 1) == 0;
}

// ---- The handshake -------------------------------------------------------------------

// What the handshake does once SChannel has finished it: the checks, then
// the record sizes for encrypting.
// TLS 1.2 at least, whatever the credentials asked for: a system may take
// the list of disabled versions and still offer the older ones.
bool version_allowed(tds_tls* t) {
  SecPkgContext_ConnectionInfo ci{};
  if (QueryContextAttributesW(&t->ctx, SECPKG_ATTR_CONNECTION_INFO, &ci) != SEC_E_OK) return false;
  return (ci.dwProtocol & (SP_PROT_TLS1_2 | SP_PROT_TLS1_3)) != 0;
}

int finish_handshake(tds_tls* t, char* err) {
  if (!version_allowed(t)) {
    tds_err_text(err, "TLS handshake failed: the server's protocol version is older than TLS 1.2");
    return TDS_TLS_FAILED;
  }
  if (t->mode == TDS_ENCRYPT_STRICT && !alpn_selected(t)) {
    tds_err_text(err, "server did not select the tds/8.0 protocol");
    return TDS_TLS_FAILED;
  }
  if (t->verify && !schannel_check_certificate(&t->ctx, &t->peer, err)) return TDS_TLS_FAILED;
  const SECURITY_STATUS s = QueryContextAttributesW(&t->ctx, SECPKG_ATTR_STREAM_SIZES, &t->sizes);
  if (s != SEC_E_OK || t->sizes.cbMaximumMessage == 0) {
    schannel_status_text(err, "TLS handshake failed: ", s);
    return TDS_TLS_FAILED;
  }
  t->done = true;
  return TDS_TLS_DONE;
}

// Whether what has come of the next record can start one: a known type
// (cipher change, alert, handshake, data), version 3.x, a length TLS
// allows. A peer that is not speaking TLS is refused at once rather than
// waited for until the bytes its "header" announces have come.
bool record_start_sane(const tds_tls* t) {
  const uint8_t* h = t->in;
  if (t->in_len >= 1 && (h[0] < 20 || h[0] > 23)) return false;
  if (t->in_len >= 2 && h[1] != 3) return false;
  if (t->in_len < TLS_HEADER) return true;
  return TLS_HEADER + ((static_cast<size_t>(h[3]) << 8) | h[4]) <= TLS_RECORD_MAX;
}

// Queues the token SChannel produced and frees its memory; false when the
// queue cannot hold it.
bool take_token(tds_tls* t, SecBuffer* b) {
  bool ok = true;
  if (b->pvBuffer != nullptr) {
    ok = queue_out(t, b->pvBuffer, b->cbBuffer);
    FreeContextBuffer(b->pvBuffer);
    b->pvBuffer = nullptr;
  }
  return ok;
}

// One call of InitializeSecurityContext over what has been received (none
// on the first call, which offers ALPN for strict connections).
SECURITY_STATUS isc_step(tds_tls* t, bool* queued) {
  const bool first = !t->have_ctx;
  SecBuffer in[2] = {{static_cast<ULONG>(t->in_len), SECBUFFER_TOKEN, t->in}, {0, SECBUFFER_EMPTY, nullptr}};
  if (first) in[0] = {sizeof ALPN_BUFFER, SECBUFFER_APPLICATION_PROTOCOLS, const_cast<unsigned char*>(ALPN_BUFFER)};
  SecBufferDesc in_desc = {SECBUFFER_VERSION, first ? 1u : 2u, in};
  const bool offer = !first || t->mode == TDS_ENCRYPT_STRICT;
  SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
  SecBufferDesc out_desc = {SECBUFFER_VERSION, 2, out};
  ULONG attrs = 0;
  TimeStamp ts;
  // An address is never sent as the server's name.
  wchar_t* sni = t->peer.ip || t->peer.wname[0] == 0 ? nullptr : t->peer.wname;
  const SECURITY_STATUS s = InitializeSecurityContextW(&t->cred, first ? nullptr : &t->ctx, sni, ISC_FLAGS, 0, 0,
                                                       offer ? &in_desc : nullptr, 0, &t->ctx, &out_desc, &attrs, &ts);
  if (first && (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED)) t->have_ctx = true;
  // The token is sent even on failure: it may carry the alert that tells
  // the server why.
  *queued = take_token(t, &out[0]);
  if (out[1].pvBuffer != nullptr) FreeContextBuffer(out[1].pvBuffer);
  if (first || s == SEC_E_INCOMPLETE_MESSAGE) return s;
  if (in[1].BufferType == SECBUFFER_EXTRA) keep_tail(t, in[1].cbBuffer);
  else if (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED || s == SEC_I_INCOMPLETE_CREDENTIALS) t->in_len = 0;
  return s;
}

int handshake_failed(tds_tls* t, SECURITY_STATUS s, char* err) {
  if (s == SEC_E_APPLICATION_PROTOCOL_MISMATCH && t->mode == TDS_ENCRYPT_STRICT)
    tds_err_text(err, "server did not select the tds/8.0 protocol");
  else
    schannel_status_text(err, "TLS handshake failed: ", s);
  return TDS_TLS_FAILED;
}

}  // namespace

tds_tls* tds_tls_new(const tds_tls_opts* o, char* err) {
  tds_tls* t = static_cast<tds_tls*>(std::calloc(1, sizeof(tds_tls)));
  if (t == nullptr) {
    tds_err_text(err, "out of memory");
    return nullptr;
  }
  t->mode = o->mode;
  t->verify = !o->trust_server_certificate;
  schannel_peer* peer = &t->peer;
  const char* name = o->name != nullptr ? o->name : "";
  if (!utf8_copy_cut(peer->name, sizeof peer->name, name) ||
      (name[0] != 0 && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, peer->wname, 256) == 0)) {
    tds_err_text(err, "host name too long for the certificate check");
    std::free(t);
    return nullptr;
  }
  uint8_t ip[16];
  peer->ip = schannel_ip_bytes(peer->name, ip) != 0;
  if (t->verify && peer->name[0] == 0) {
    tds_err_text(err, "no host name to check the server certificate against");
    std::free(t);
    return nullptr;
  }
  const bool own_roots = t->verify && o->ca_file != nullptr && o->ca_file[0] != 0;
  if (own_roots && (peer->roots = schannel_load_pem(o->ca_file)) == nullptr) tds_err_text(err, "cannot read ca_file");
  if ((own_roots && peer->roots == nullptr) || !acquire(t, err)) {
    tds_tls_free(t);
    return nullptr;
  }
  return t;
}

void tds_tls_free(tds_tls* t) {
  if (t == nullptr) return;
  if (t->have_ctx) DeleteSecurityContext(&t->ctx);
  if (t->have_cred) FreeCredentialsHandle(&t->cred);
  if (t->peer.roots != nullptr) CertCloseStore(t->peer.roots, 0);
  SecureZeroMemory(t->plain, sizeof t->plain);
  std::free(t);
}

int tds_tls_handshake(tds_tls* t, char* err) {
  if (t->done) return TDS_TLS_DONE;
  for (;;) {
    if (t->have_ctx && t->in_len == 0) return TDS_TLS_WANT_INPUT;
    bool queued = true;
    const SECURITY_STATUS s = isc_step(t, &queued);
    if (!queued) {
      tds_err_text(err, "TLS handshake failed: handshake message too large");
      return TDS_TLS_FAILED;
    }
    if (s == SEC_E_INCOMPLETE_MESSAGE) {
      if (record_start_sane(t)) return TDS_TLS_WANT_INPUT;
      tds_err_text(err, "TLS handshake failed: the server's answer is not TLS");
      return TDS_TLS_FAILED;
    }
    if (s == SEC_E_OK) return finish_handshake(t, err);
    // Otherwise a flight to send and an answer to wait for, or the rest of
    // the server's flight still to take.
    if (s != SEC_I_CONTINUE_NEEDED && s != SEC_I_INCOMPLETE_CREDENTIALS) return handshake_failed(t, s, err);
  }
}

bool tds_tls_feed(tds_tls* t, const uint8_t* p, size_t n) {
  if (n > IN_CAP - t->in_len) return false;
  std::memcpy(t->in + t->in_len, p, n);
  t->in_len += n;
  return true;
}

size_t tds_tls_pending(const tds_tls* t) { return t->out_len; }

size_t tds_tls_take(tds_tls* t, uint8_t* out, size_t cap) {
  const size_t n = t->out_len < cap ? t->out_len : cap;
  std::memcpy(out, t->out, n);
  std::memmove(t->out, t->out + n, t->out_len - n);
  t->out_len -= n;
  return n;
}

namespace {

// Encrypts one record's worth (at most cbMaximumMessage) straight into the
// send queue: header, data, trailer.
bool encrypt_record(tds_tls* t, const uint8_t* p, size_t n, char* err) {
  const size_t need = t->sizes.cbHeader + n + t->sizes.cbTrailer;
  if (need > OUT_CAP - t->out_len) {
    tds_err_text(err, "TLS write failed: too much unsent data");
    return false;
  }
  uint8_t* at = t->out + t->out_len;
  std::memcpy(at + t->sizes.cbHeader, p, n);
  SecBuffer b[4] = {{t->sizes.cbHeader, SECBUFFER_STREAM_HEADER, at},
                    {static_cast<ULONG>(n), SECBUFFER_DATA, at + t->sizes.cbHeader},
                    {t->sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, at + t->sizes.cbHeader + n},
                    {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc = {SECBUFFER_VERSION, 4, b};
  const SECURITY_STATUS s = EncryptMessage(&t->ctx, 0, &desc, 0);
  if (s != SEC_E_OK) {
    SecureZeroMemory(at + t->sizes.cbHeader, n);
    schannel_status_text(err, "TLS write failed: ", s);
    return false;
  }
  // The trailer can come out shorter than its most; what is sent is the
  // three parts back to back.
  std::memmove(at + b[0].cbBuffer + b[1].cbBuffer, b[2].pvBuffer, b[2].cbBuffer);
  std::memmove(at + b[0].cbBuffer, b[1].pvBuffer, b[1].cbBuffer);
  t->out_len += b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer;
  return true;
}


// Gives what is left of the last decrypted record.
long give_plain(tds_tls* t, uint8_t* out, size_t cap) {
  const size_t n = t->plain_len < cap ? t->plain_len : cap;
  std::memcpy(out, t->plain + t->plain_off, n);
  t->plain_off += n;
  t->plain_len -= n;
  if (t->plain_len == 0) SecureZeroMemory(t->plain, sizeof t->plain);
  return static_cast<long>(n);
}

// A message from the server after the handshake (a TLS 1.3 session ticket
// or key update) goes back to the handshake, which takes it in place.
bool post_handshake(tds_tls* t, char* err) {
  bool queued = true;
  const SECURITY_STATUS s = isc_step(t, &queued);
  if (!queued || (s != SEC_E_OK && s != SEC_I_CONTINUE_NEEDED && s != SEC_E_INCOMPLETE_MESSAGE)) {
    schannel_status_text(err, "TLS read failed: ", queued ? s : SEC_E_INSUFFICIENT_MEMORY);
    return false;
  }
  return true;
}

// Decrypts the first record in the input in place. 1: done (its plaintext,
// maybe none, in plain); 0: incomplete; -1: failure.
int decrypt_record(tds_tls* t, char* err) {
  SecBuffer b[4] = {{static_cast<ULONG>(t->in_len), SECBUFFER_DATA, t->in},
                    {0, SECBUFFER_EMPTY, nullptr},
                    {0, SECBUFFER_EMPTY, nullptr},
                    {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc = {SECBUFFER_VERSION, 4, b};
  const SECURITY_STATUS s = DecryptMessage(&t->ctx, &desc, 0, nullptr);
  if (s == SEC_E_INCOMPLETE_MESSAGE) return 0;
  if (s == SEC_I_CONTEXT_EXPIRED) {
    tds_err_text(err, "server closed the encrypted session");
    return -1;
  }
  if (s != SEC_E_OK && s != SEC_I_RENEGOTIATE) {
    schannel_status_text(err, "TLS read failed: ", s);
    return -1;
  }
  size_t extra = 0;
  for (const SecBuffer& x : b) {
    if (x.BufferType == SECBUFFER_DATA && x.cbBuffer > PLAIN_CAP) {
      // Never dropped: a record TLS does not allow ends the session.
      tds_err_text(err, "TLS read failed: record too long");
      return -1;
    }
    if (x.BufferType == SECBUFFER_DATA) {
      std::memcpy(t->plain, x.pvBuffer, x.cbBuffer);
      t->plain_off = 0;
      t->plain_len = x.cbBuffer;
    } else if (x.BufferType == SECBUFFER_EXTRA) {
      extra = x.cbBuffer;
    }
  }
  SecureZeroMemory(t->in, t->in_len - extra);
  keep_tail(t, extra);
  if (s == SEC_I_RENEGOTIATE && !post_handshake(t, err)) return -1;
  return 1;
}

}  // namespace

int tds_tls_write(tds_tls* t, const uint8_t* p, size_t n, char* err) {
  if (!t->done) {
    tds_err_text(err, "TLS write failed: the handshake is not over");
    return -1;
  }
  while (n > 0) {
    const size_t chunk = n < t->sizes.cbMaximumMessage ? n : t->sizes.cbMaximumMessage;
    if (!encrypt_record(t, p, chunk, err)) return -1;
    p += chunk;
    n -= chunk;
  }
  return 0;
}

long tds_tls_read(tds_tls* t, uint8_t* out, size_t cap, char* err) {
  if (!t->done) {
    tds_err_text(err, "TLS read failed: the handshake is not over");
    return -1;
  }
  for (;;) {
    if (t->plain_len != 0) return give_plain(t, out, cap);
    if (t->in_len == 0) return 0;
    const int r = decrypt_record(t, err);
    if (r == 0 && !record_start_sane(t)) {
      tds_err_text(err, "TLS read failed: the server's answer is not TLS");
      return -1;
    }
    if (r <= 0) return r;
  }
}
