#include "login.h"

#include <algorithm>
#include <cstdlib>

namespace sim {

namespace {

constexpr size_t LOGIN7_FIXED = 94;

uint16_t rd16(const Bytes& b, size_t at) { return uint16_t(b[at] | (b[at + 1] << 8)); }
uint32_t rd32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8) | (uint32_t(b[at + 2]) << 16) |
         (uint32_t(b[at + 3]) << 24);
}

}  // namespace

void version_numbers(const std::string& v, int out[4]) {
  for (int i = 0; i < 4; ++i) out[i] = 0;
  size_t pos = 0;
  for (int i = 0; i < 4 && pos < v.size(); ++i) {
    out[i] = std::atoi(v.c_str() + pos);
    size_t dot = v.find('.', pos);
    if (dot == std::string::npos) break;
    pos = dot + 1;
  }
}

// The option table: Token u8 | Offset u16be | Length u16be, up to 0xFF;
// offsets count from the start of the payload.
uint8_t client_encryption(const Bytes& p) {
  constexpr uint8_t OPT_ENCRYPTION = 0x01, OPT_END = 0xFF, CLIENT_CERT = 0x80;
  for (size_t at = 0; at < p.size() && p[at] != OPT_END; at += 5) {
    if (p.size() - at < 5) break;
    size_t offset = size_t(p[at + 1] << 8 | p[at + 2]);
    size_t len = size_t(p[at + 3] << 8 | p[at + 4]);
    if (p[at] != OPT_ENCRYPTION) continue;
    if (len < 1 || offset >= p.size()) break;
    uint8_t v = uint8_t(p[offset] & ~CLIENT_CERT);
    return v <= ENCRYPT_REQ ? v : ENCRYPT_NOT_SUP;
  }
  return ENCRYPT_NOT_SUP;
}

EncryptionPlan plan_encryption(uint8_t setting, uint8_t client, bool strict) {
  if (strict || setting == ENCRYPT_NOT_SUP) return {setting, AfterPrelogin::Clear};
  if (client == ENCRYPT_NOT_SUP) {
    // Answered as configured; a server that demands encryption then ends a
    // client that cannot give it.
    bool demanded = setting == ENCRYPT_ON || setting == ENCRYPT_REQ;
    return {setting, demanded ? AfterPrelogin::RefuseLogin : AfterPrelogin::Clear};
  }
  if (setting == ENCRYPT_OFF) {
    if (client == ENCRYPT_OFF) return {ENCRYPT_OFF, AfterPrelogin::TlsLogin};
    return {ENCRYPT_ON, AfterPrelogin::Tls};
  }
  return {setting, AfterPrelogin::Tls};
}

// Reads the fields the server needs from a LOGIN7 record. Every offset and
// length is checked against the record before it is used.
bool decode_login7(const Bytes& p, Login7& out) {
  if (p.size() < LOGIN7_FIXED) return false;
  size_t len = std::min<size_t>(rd32(p, 0), p.size());
  if (len < LOGIN7_FIXED) return false;
  out.tds_version = rd32(p, 4);
  out.packet_size = rd32(p, 8);
  out.integrated = (p[25] & 0x80) != 0;
  auto field = [&](size_t at, std::string& dst, bool unmask) {
    size_t ib = rd16(p, at);
    size_t bytes = size_t(rd16(p, at + 2)) * 2;
    if (ib > len || bytes > len - ib) return false;
    Bytes raw(p.begin() + ptrdiff_t(ib), p.begin() + ptrdiff_t(ib + bytes));
    if (unmask) {
      // The client swapped each byte's halves and XORed it with 0xA5.
      for (uint8_t& c : raw) {
        c ^= 0xA5;
        c = uint8_t((c << 4) | (c >> 4));
      }
    }
    dst = utf8_from_utf16le(raw.data(), raw.size());
    return true;
  };
  return field(40, out.user, false) && field(44, out.password, true) && field(68, out.database, false);
}

}  // namespace sim
