// The server's side of the login: the PRELOGIN ENCRYPTION choice and the
// reading of a client's LOGIN7 record. Pure bytes in and out.
#pragma once

#include <cstdint>
#include <string>

#include "config.h"
#include "wire.h"

namespace sim {

// "16.0.4135.4" as the four numbers a version field holds (missing parts 0).
void version_numbers(const std::string& v, int out[4]);

// Values of the PRELOGIN ENCRYPTION option.
constexpr uint8_t ENCRYPT_OFF = 0x00;      // available, the login only is encrypted
constexpr uint8_t ENCRYPT_ON = 0x01;
constexpr uint8_t ENCRYPT_NOT_SUP = 0x02;
constexpr uint8_t ENCRYPT_REQ = 0x03;

// The client's ENCRYPTION value in its PRELOGIN, without the client
// certificate bit; ENCRYPT_NOT_SUP when the option is missing, malformed or
// of a value this server does not know.
uint8_t client_encryption(const Bytes& prelogin);

// What follows the PRELOGIN answer.
enum class AfterPrelogin {
  Clear,        // no TLS
  Tls,          // a wrapped handshake, then TLS for the whole connection
  TlsLogin,     // a wrapped handshake, then TLS for the login message only
  RefuseLogin,  // encryption was demanded of a client that has none: the login ends the connection
};

struct EncryptionPlan {
  uint8_t answer;
  AfterPrelogin then;
};

// The ENCRYPTION answer and what follows, as a server configured with
// `setting` plays it against the client's value. Under strict TLS the
// connection is already encrypted: the setting is answered as it is and
// nothing follows.
EncryptionPlan plan_encryption(uint8_t setting, uint8_t client, bool strict);

// What the server takes from a LOGIN7 record.
struct Login7 {
  uint32_t tds_version = 0;   // as the client sent it, read little-endian
  uint32_t packet_size = 0;
  bool integrated = false;    // the client asks for Windows authentication
  std::string user;
  std::string password;       // unmasked
  std::string database;       // the initial database asked for, may be empty
};

// False when the record is too short or a string lies outside it.
bool decode_login7(const Bytes& record, Login7& out);

}  // namespace sim
