// The check of the server's certificate, made by the library after the
// handshake rather than by SChannel: the roots may be ca_file's rather than
// the system's, and the failure texts are those of every other build.
// Windows builds the chain; a chain that ends at one of ca_file's
// certificates is trusted even though the system does not know that root.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tds_client/tds_client.h"
#include "tds_client/tls_schannel.h"

namespace {

// The name check's switches, from the web API headers this file does not use.
constexpr DWORD IGNORE_REVOCATION = 0x00000080;
constexpr DWORD IGNORE_UNKNOWN_CA = 0x00000100;
constexpr DWORD IGNORE_WRONG_USAGE = 0x00000200;
constexpr DWORD IGNORE_CERT_DATE_INVALID = 0x00002000;

// Chain errors that say nothing about trust: revocation is not asked for.
constexpr DWORD CHAIN_IGNORED = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

}  // namespace

void schannel_text2(char* err, const char* a, const char* b) {
  char text[TDS_ERR_SIZE];
  std::snprintf(text, sizeof text, "%s%s", a, b);
  tds_err_text(err, text);
}

// The common SSPI failures in plain words; others by their code.
static const char* status_reason(SECURITY_STATUS s, char* buf, size_t cap) {
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

void schannel_status_text(char* err, const char* prefix, SECURITY_STATUS s) {
  char code[32];
  schannel_text2(err, prefix, status_reason(s, code, sizeof code));
}

namespace {

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

// ---- Names -------------------------------------------------------------------------

}  // namespace

size_t schannel_ip_bytes(const char* name, uint8_t* out) {
  if (InetPtonA(AF_INET, name, out) == 1) return 4;
  if (InetPtonA(AF_INET6, name, out) == 1) return 16;
  return 0;
}

namespace {

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
bool root_in_ca_file(const schannel_peer* t, const CERT_CHAIN_CONTEXT* chain) {
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
const CERT_CHAIN_CONTEXT* build_chain(const schannel_peer* t, PCCERT_CONTEXT cert) {
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
bool check_host_name(const schannel_peer* t, const CERT_CHAIN_CONTEXT* chain, char* err) {
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
    schannel_text2(err, "server certificate does not match ", t->name);
  else
    schannel_status_text(err, "server certificate not trusted: ", static_cast<SECURITY_STATUS>(status.dwError));
  return false;
}

bool check_chain(const schannel_peer* t, PCCERT_CONTEXT cert, char* err) {
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
    if (why == nullptr) why = "unable to get local issuer certificate";
    schannel_text2(err, "server certificate not trusted: ", why);
    ok = false;
  } else if (t->ip) {
    uint8_t ip[16];
    const size_t n = schannel_ip_bytes(t->name, ip);
    ok = cert_has_ip(cert, ip, n);
    if (!ok) schannel_text2(err, "server certificate does not match ", t->name);
  } else {
    ok = check_host_name(t, chain, err);
  }
  CertFreeCertificateChain(chain);
  return ok;
}

}  // namespace

bool schannel_check_certificate(CtxtHandle* ctx, const schannel_peer* t, char* err) {
  PCCERT_CONTEXT cert = nullptr;
  const SECURITY_STATUS s = QueryContextAttributesW(ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert);
  if (s != SEC_E_OK || cert == nullptr) {
    tds_err_text(err, "server certificate not trusted: the server sent no certificate");
    return false;
  }
  const bool ok = check_chain(t, cert, err);
  CertFreeCertificateContext(cert);
  return ok;
}


HCERTSTORE schannel_load_pem(const char* path) {
  char* text = read_small_file(path);
  HCERTSTORE store = text != nullptr ? load_pem_roots(text) : nullptr;
  std::free(text);
  return store;
}
