// The two halves of the TLS session on SChannel: the session itself
// (tls_schannel.cpp) and the check of the server's certificate
// (tls_schannel_cert.cpp), with the failure texts both write.
#pragma once

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

#include <cstddef>
#include <cstdint>

// What the server's certificate is checked against.
struct schannel_peer {
  HCERTSTORE roots;    // ca_file's certificates, or null: the system's store
  bool ip;             // name is an address literal
  wchar_t wname[256];  // name as sent (SNI) and checked
  char name[256];
};

// ca_file's certificates (PEM, one or more) in a store of their own; null
// when the file cannot be read or holds none.
HCERTSTORE schannel_load_pem(const char* path);

// The 4 or 16 bytes of an address literal; 0 when name is not one.
size_t schannel_ip_bytes(const char* name, uint8_t* out);

// The certificate of a finished handshake: its chain to a trusted root,
// then the name; false with err set ("server certificate not trusted:
// <reason>", "server certificate does not match <name>").
bool schannel_check_certificate(CtxtHandle* ctx, const schannel_peer* peer, char* err);

// err = a, then b.
void schannel_text2(char* err, const char* a, const char* b);
// err = prefix, then the status in words (common codes) or as its number.
void schannel_status_text(char* err, const char* prefix, SECURITY_STATUS s);
