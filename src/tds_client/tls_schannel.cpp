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
// The server's certificate is checked here, after the handshake, not by
// SChannel: the roots may come from ca_file rather than the system's store,
// and the failure texts are the same as on every other build.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // Windows 7: address parsing; newer calls are tried, not required
#endif
#define WIN32_LEAN_AND_MEAN
#define SECURITY_WIN32
// The credential form that allows TLS 1.3 (SCH_CREDENTIALS) is declared
// only in this mode; it needs UNICODE_STRING from winternl.h.
#define SCHANNEL_USE_BLACKLISTS
#include <windows.h>
#include <winternl.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "tds_client/tds_client.h"
#include "tds_client/tls.h"

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

// The name check's switches, from the web API headers this file does not use.
constexpr DWORD IGNORE_REVOCATION = 0x00000080;
constexpr DWORD IGNORE_UNKNOWN_CA = 0x00000100;
constexpr DWORD IGNORE_WRONG_USAGE = 0x00000200;
constexpr DWORD IGNORE_CERT_DATE_INVALID = 0x00002000;

// Chain errors that say nothing about trust: revocation is not asked for.
constexpr DWORD CHAIN_IGNORED = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

}  // namespace

struct tds_tls {
  CredHandle cred;
  CtxtHandle ctx;
  bool have_cred;
  bool have_ctx;
  bool done;  // handshake over: records carry data
  uint8_t mode;
  bool verify;
  bool ip;              // name is an address literal
  HCERTSTORE roots;     // ca_file's certificates, or null: the system's store
  wchar_t wname[256];   // name as sent (SNI) and checked
  char name[256];
  SecPkgContext_StreamSizes sizes;
  size_t in_len, out_len, plain_off, plain_len;
  uint8_t in[IN_CAP];
  uint8_t out[OUT_CAP];
  uint8_t plain[PLAIN_CAP];
};

namespace {

void set_text2(char* err, const char* a, const char* b) {
  char text[TDS_ERR_SIZE];
  std::snprintf(text, sizeof text, "%s%s", a, b);
  tds_err_text(err, text);
}

// The common SSPI failures in plain words; others by their code.
const char* status_reason(SECURITY_STATUS s, char* buf, size_t cap) {
  switch (s) {
    case SEC_E_ILLEGAL_MESSAGE: return "unexpected message from the server";
    case SEC_E_INVALID_TOKEN: return "the server's answer is not TLS";
    case SEC_E_ALGORITHM_MISMATCH: return "no protocol version or cipher in common with the server";
    case SEC_E_UNSUPPORTED_FUNCTION: return "protocol version not supported";
    case SEC_E_DECRYPT_FAILURE: return "record cannot be decrypted";
    case SEC_E_MESSAGE_ALTERED: return "record was altered";
    case SEC_E_OUT_OF_SEQUENCE: return "record out of sequence";
    case SEC_E_INSUFFICIENT_MEMORY: return "out of memory";
    case SEC_E_INTERNAL_ERROR: return "internal error of the system's TLS";
    case SEC_E_NO_CREDENTIALS: return "no credentials";
    case SEC_E_UNTRUSTED_ROOT: return "certificate chain issued by an untrusted authority";
    case SEC_E_CERT_EXPIRED: return "certificate has expired";
    case SEC_E_WRONG_PRINCIPAL: return "certificate does not match the server";
    default: std::snprintf(buf, cap, "error 0x%08lX", static_cast<unsigned long>(s)); return buf;
  }
}

void set_status(char* err, const char* prefix, SECURITY_STATUS s) {
  char code[32];
  set_text2(err, prefix, status_reason(s, code, sizeof code));
}

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
    set_status(err, "TLS setup failed: ", s);
    return false;
  }
  t->have_cred = true;
  return true;
}

// ---- ca_file ---------------------------------------------------------------------

// The whole file, NUL-terminated, in memory freed by the caller; null when
// it cannot be read or is larger than any sensible bundle.
char* read_small_file(const char* path) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return nullptr;
  constexpr size_t FILE_CAP = 4u << 20;
  char* buf = static_cast<char*>(std::malloc(FILE_CAP + 1));
  size_t n = buf != nullptr ? std::fread(buf, 1, FILE_CAP + 1, f) : 0;
  std::fclose(f);
  if (buf == nullptr || n > FILE_CAP) {
    std::free(buf);
    return nullptr;
  }
  buf[n] = 0;
  return buf;
}

// Adds one PEM block (text from BEGIN to END) to the store.
bool add_pem_block(HCERTSTORE store, const char* p, DWORD n) {
  DWORD der_len = 0;
  if (!CryptStringToBinaryA(p, n, CRYPT_STRING_BASE64HEADER, nullptr, &der_len, nullptr, nullptr)) return false;
  BYTE* der = static_cast<BYTE*>(std::malloc(der_len));
  bool ok = der != nullptr &&
            CryptStringToBinaryA(p, n, CRYPT_STRING_BASE64HEADER, der, &der_len, nullptr, nullptr) &&
            CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, der_len, CERT_STORE_ADD_USE_EXISTING,
                                             nullptr);
  std::free(der);
  return ok;
}

// Every certificate of a PEM text into a store of its own; the store holds
// at least one, or null.
HCERTSTORE load_pem_roots(const char* text) {
  static const char BEGIN[] = "-----BEGIN CERTIFICATE-----";
  static const char END[] = "-----END CERTIFICATE-----";
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
  if (store == nullptr) return nullptr;
  int added = 0;
  for (const char* p = std::strstr(text, BEGIN); p != nullptr; p = std::strstr(p, BEGIN)) {
    const char* e = std::strstr(p, END);
    if (e == nullptr) break;
    e += sizeof END - 1;
    if (add_pem_block(store, p, static_cast<DWORD>(e - p))) added++;
    p = e;
  }
  if (added == 0) {
    CertCloseStore(store, 0);
    return nullptr;
  }
  return store;
}

bool load_ca_file(tds_tls* t, const char* path, char* err) {
  char* text = read_small_file(path);
  t->roots = text != nullptr ? load_pem_roots(text) : nullptr;
  std::free(text);
  if (t->roots == nullptr) {
    tds_err_text(err, "cannot read ca_file");
    return false;
  }
  return true;
}

// ---- Names -------------------------------------------------------------------------

// The 4 or 16 bytes of an address literal; 0 when name is not one.
size_t ip_bytes(const char* name, uint8_t* out) {
  if (InetPtonA(AF_INET, name, out) == 1) return 4;
  if (InetPtonA(AF_INET6, name, out) == 1) return 16;
  return 0;
}

// Whether the certificate carries the address among its IP subject
// alternative names (certificates name an address there, not in the CN).
bool cert_has_ip(PCCERT_CONTEXT cert, const uint8_t* ip, size_t n) {
  PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                          cert->pCertInfo->rgExtension);
  if (ext == nullptr) return false;
  CERT_ALT_NAME_INFO* info = nullptr;
  DWORD len = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData, ext->Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &len))
    return false;
  bool found = false;
  for (DWORD i = 0; i < info->cAltEntry && !found; i++) {
    const CERT_ALT_NAME_ENTRY& e = info->rgAltEntry[i];
    found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == n &&
            std::memcmp(e.IPAddress.pbData, ip, n) == 0;
  }
  LocalFree(info);
  return found;
}

// ---- The certificate check ----------------------------------------------------------

// Why a chain is not trusted, from its status bits, in the words the other
// builds use.
const char* chain_reason(const CERT_CHAIN_CONTEXT* chain) {
  const DWORD e = chain->TrustStatus.dwErrorStatus & ~CHAIN_IGNORED;
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  if (e & CERT_TRUST_IS_NOT_TIME_VALID) return "certificate has expired or is not yet valid";
  if (e & CERT_TRUST_IS_REVOKED) return "certificate revoked";
  if (e & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return "certificate signature failure";
  if (e & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return "certificate not valid for a server";
  if (e & CERT_TRUST_IS_PARTIAL_CHAIN) return "unable to get local issuer certificate";
  if ((e & CERT_TRUST_IS_UNTRUSTED_ROOT) && simple->cElement == 1) return "self-signed certificate";
  if (e & CERT_TRUST_IS_UNTRUSTED_ROOT) return "unable to get local issuer certificate";
  return e != 0 ? "certificate chain is not valid" : nullptr;
}

// With ca_file, the chain counts only when it ends at one of its
// certificates, whatever the system's store holds.
bool root_in_ca_file(const tds_tls* t, const CERT_CHAIN_CONTEXT* chain) {
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
  PCCERT_CONTEXT found = CertFindCertificateInStore(t->roots, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, root,
                                                    nullptr);
  if (found == nullptr) return false;
  CertFreeCertificateContext(found);
  return true;
}

// The chain from the server's certificate, through what the server sent
// and ca_file's certificates, to a root.
const CERT_CHAIN_CONTEXT* build_chain(const tds_tls* t, PCCERT_CONTEXT cert) {
  HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
  if (extra == nullptr) return nullptr;
  if (cert->hCertStore != nullptr) CertAddStoreToCollection(extra, cert->hCertStore, 0, 0);
  if (t->roots != nullptr) CertAddStoreToCollection(extra, t->roots, 0, 0);
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  LPSTR usage = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = &usage;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, cert, nullptr, extra, &para, 0, nullptr, &chain)) chain = nullptr;
  CertCloseStore(extra, 0);
  return chain;
}

// The name check of the system's policy for servers; false with err set.
bool check_host_name(const tds_tls* t, const CERT_CHAIN_CONTEXT* chain, char* err) {
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  // The chain's trust was settled above; only the name is asked here.
  ssl.fdwChecks = IGNORE_UNKNOWN_CA | IGNORE_CERT_DATE_INVALID | IGNORE_REVOCATION | IGNORE_WRONG_USAGE;
  ssl.pwszServerName = const_cast<wchar_t*>(t->wname);
  CERT_CHAIN_POLICY_PARA para{};
  para.cbSize = sizeof para;
  para.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &para, &status)) {
    tds_err_text(err, "server certificate not trusted: the name check could not be run");
    return false;
  }
  if (status.dwError == 0) return true;
  if (status.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH))
    set_text2(err, "server certificate does not match ", t->name);
  else
    set_status(err, "server certificate not trusted: ", static_cast<SECURITY_STATUS>(status.dwError));
  return false;
}

bool check_chain(const tds_tls* t, PCCERT_CONTEXT cert, char* err) {
  const CERT_CHAIN_CONTEXT* chain = build_chain(t, cert);
  if (chain == nullptr || chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) {
    if (chain != nullptr) CertFreeCertificateChain(chain);
    tds_err_text(err, "server certificate not trusted: no chain could be built");
    return false;
  }
  DWORD e = chain->TrustStatus.dwErrorStatus & ~CHAIN_IGNORED;
  // ca_file's roots are not the system's, so the chain engine calls them
  // untrusted; they are trusted here when the chain ends at one of them.
  if (t->roots != nullptr && (e & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0 && root_in_ca_file(t, chain))
    e &= ~CERT_TRUST_IS_UNTRUSTED_ROOT;
  if (t->roots != nullptr && e == 0 && !root_in_ca_file(t, chain)) e = CERT_TRUST_IS_UNTRUSTED_ROOT;
  bool ok = true;
  if (e != 0) {
    const char* why = chain_reason(chain);
    set_text2(err, "server certificate not trusted: ", why != nullptr ? why : "unable to get local issuer certificate");
    ok = false;
  } else if (t->ip) {
    uint8_t ip[16];
    const size_t n = ip_bytes(t->name, ip);
    ok = cert_has_ip(cert, ip, n);
    if (!ok) set_text2(err, "server certificate does not match ", t->name);
  } else {
    ok = check_host_name(t, chain, err);
  }
  CertFreeCertificateChain(chain);
  return ok;
}

bool check_certificate(tds_tls* t, char* err) {
  PCCERT_CONTEXT cert = nullptr;
  const SECURITY_STATUS s = QueryContextAttributesW(&t->ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert);
  if (s != SEC_E_OK || cert == nullptr) {
    tds_err_text(err, "server certificate not trusted: the server sent no certificate");
    return false;
  }
  const bool ok = check_chain(t, cert, err);
  CertFreeCertificateContext(cert);
  return ok;
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
  if (t->verify && !check_certificate(t, err)) return TDS_TLS_FAILED;
  const SECURITY_STATUS s = QueryContextAttributesW(&t->ctx, SECPKG_ATTR_STREAM_SIZES, &t->sizes);
  if (s != SEC_E_OK || t->sizes.cbMaximumMessage == 0) {
    set_status(err, "TLS handshake failed: ", s);
    return TDS_TLS_FAILED;
  }
  t->done = true;
  return TDS_TLS_DONE;
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
  const SECURITY_STATUS s = InitializeSecurityContextW(
      &t->cred, first ? nullptr : &t->ctx, t->ip || t->wname[0] == 0 ? nullptr : t->wname, ISC_FLAGS, 0, 0,
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
    set_status(err, "TLS handshake failed: ", s);
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
  const char* name = o->name != nullptr ? o->name : "";
  if (!utf8_copy_cut(t->name, sizeof t->name, name) ||
      (name[0] != 0 && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, t->wname, 256) == 0)) {
    tds_err_text(err, "host name too long for the certificate check");
    std::free(t);
    return nullptr;
  }
  uint8_t ip[16];
  t->ip = ip_bytes(t->name, ip) != 0;
  if (t->verify && t->name[0] == 0) {
    tds_err_text(err, "no host name to check the server certificate against");
    std::free(t);
    return nullptr;
  }
  const bool own_roots = t->verify && o->ca_file != nullptr && o->ca_file[0] != 0;
  if ((own_roots && !load_ca_file(t, o->ca_file, err)) || !acquire(t, err)) {
    tds_tls_free(t);
    return nullptr;
  }
  return t;
}

void tds_tls_free(tds_tls* t) {
  if (t == nullptr) return;
  if (t->have_ctx) DeleteSecurityContext(&t->ctx);
  if (t->have_cred) FreeCredentialsHandle(&t->cred);
  if (t->roots != nullptr) CertCloseStore(t->roots, 0);
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
    if (s == SEC_E_INCOMPLETE_MESSAGE) return TDS_TLS_WANT_INPUT;
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
    set_status(err, "TLS write failed: ", s);
    return false;
  }
  // The trailer can come out shorter than its most; what is sent is the
  // three parts back to back.
  std::memmove(at + b[0].cbBuffer + b[1].cbBuffer, b[2].pvBuffer, b[2].cbBuffer);
  std::memmove(at + b[0].cbBuffer, b[1].pvBuffer, b[1].cbBuffer);
  t->out_len += b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer;
  return true;
}

// The length a record's header announces, or 0 while fewer than its five
// bytes have come.
size_t record_length(const tds_tls* t) {
  if (t->in_len < TLS_HEADER) return 0;
  return TLS_HEADER + ((static_cast<size_t>(t->in[3]) << 8) | t->in[4]);
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
    set_status(err, "TLS read failed: ", queued ? s : SEC_E_INSUFFICIENT_MEMORY);
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
    set_status(err, "TLS read failed: ", s);
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
    // A record longer than TLS allows would otherwise be waited for.
    if (record_length(t) > TLS_RECORD_MAX) {
      tds_err_text(err, "TLS read failed: record too long");
      return -1;
    }
    const int r = decrypt_record(t, err);
    if (r <= 0) return r;
  }
}
