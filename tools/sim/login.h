// The server's side of the login: the PRELOGIN answer and the reading of a
// client's LOGIN7 record. Pure bytes in and out.
#pragma once

#include <cstdint>
#include <string>

#include "config.h"
#include "wire.h"

namespace sim {

// "16.0.4135.4" as the four numbers a version field holds (missing parts 0).
void version_numbers(const std::string& v, int out[4]);

// The PRELOGIN answer: VERSION, ENCRYPTION (as configured), INSTOPT,
// THREADID and MARS.
Bytes prelogin_answer(const Config& cfg);

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
