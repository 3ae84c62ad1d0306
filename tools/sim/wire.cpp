#include "wire.h"

#include <algorithm>

namespace sim {

const uint8_t DEFAULT_COLLATION[5] = {0x09, 0x04, 0xD0, 0x00, 0x34};

namespace {

void put_unit(Bytes& out, uint32_t u) {
  out.push_back(uint8_t(u & 0xFF));
  out.push_back(uint8_t(u >> 8));
}


constexpr uint32_t REPLACEMENT = 0xFFFD;

}  // namespace

void put_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

Bytes utf16le(std::string_view s) {
  Bytes out;
  out.reserve(s.size() * 2);
  size_t i = 0;
  while (i < s.size()) {
    uint8_t c = uint8_t(s[i]);
    uint32_t cp = REPLACEMENT;
    size_t need = 0;
    uint32_t min = 0;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F, need = 1, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F, need = 2, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07, need = 3, min = 0x10000;
    }
    ++i;
    if (c >= 0x80) {
      if (need == 0 || s.size() - i < need) {
        cp = REPLACEMENT;
        need = 0;
      }
      for (size_t k = 0; k < need; ++k) {
        uint8_t t = uint8_t(s[i]);
        if ((t & 0xC0) != 0x80) {
          cp = REPLACEMENT;
          break;
        }
        cp = (cp << 6) | (t & 0x3F);
        ++i;
      }
      if (need > 0 && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) {
        cp = REPLACEMENT;
      }
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put_unit(out, 0xD800 | (cp >> 10));
      put_unit(out, 0xDC00 | (cp & 0x3FF));
    } else {
      put_unit(out, cp);
    }
  }
  return out;
}

std::string utf8_from_utf16le(const uint8_t* data, size_t len) {
  std::string out;
  size_t units = len / 2;
  out.reserve(units);
  for (size_t i = 0; i < units; ++i) {
    uint32_t u = uint32_t(data[2 * i]) | (uint32_t(data[2 * i + 1]) << 8);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      uint32_t lo = uint32_t(data[2 * i + 2]) | (uint32_t(data[2 * i + 3]) << 8);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        put_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        ++i;
        continue;
      }
    }
    put_utf8(out, (u >= 0xD800 && u <= 0xDFFF) ? REPLACEMENT : u);
  }
  return out;
}

void Builder::u16le(uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}

void Builder::u16be(uint16_t v) {
  out.push_back(uint8_t(v >> 8));
  out.push_back(uint8_t(v));
}

void Builder::u32le(uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

void Builder::u32be(uint32_t v) {
  for (int i = 3; i >= 0; --i) out.push_back(uint8_t(v >> (8 * i)));
}

void Builder::u64le(uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

void Builder::b_varchar(std::string_view utf8) {
  Bytes t = utf16le(utf8);
  if (t.size() > 255 * 2) t.resize(255 * 2);
  u8(uint8_t(t.size() / 2));
  bytes(t);
}

void Builder::us_varchar(std::string_view utf8) {
  Bytes t = utf16le(utf8);
  if (t.size() > 65535 * 2) t.resize(65535 * 2);
  u16le(uint16_t(t.size() / 2));
  bytes(t);
}

void Builder::us_bytes(const Bytes& v) {
  u16le(uint16_t(v.size()));
  bytes(v);
}

void put_packet_header(Bytes& out, uint8_t type, uint8_t status, uint16_t length, uint16_t spid,
                       uint8_t id) {
  const uint8_t h[PACKET_HEADER_LEN] = {type, status, uint8_t(length >> 8), uint8_t(length),
                                        uint8_t(spid >> 8), uint8_t(spid), id, 0};
  out.insert(out.end(), h, h + PACKET_HEADER_LEN);
}

Bytes frame_message(uint8_t type, const Bytes& payload, size_t packet_size, uint8_t first_id) {
  // A packet must carry at least one payload byte, or a payload never ends.
  const size_t room = std::max<size_t>(packet_size, PACKET_HEADER_LEN + 1) - PACKET_HEADER_LEN;
  Bytes out;
  out.reserve(payload.size() + (payload.size() / room + 1) * PACKET_HEADER_LEN);
  size_t off = 0;
  uint8_t id = first_id;
  const uint8_t step = first_id != 0 ? 1 : 0;
  do {
    const size_t n = std::min(room, payload.size() - off);
    const bool last = off + n == payload.size();
    put_packet_header(out, type, last ? STATUS_EOM : 0, uint16_t(n + PACKET_HEADER_LEN), 0, id);
    id = uint8_t(id + step);
    out.insert(out.end(), payload.begin() + ptrdiff_t(off), payload.begin() + ptrdiff_t(off + n));
    off += n;
  } while (off < payload.size());
  return out;
}

// Option table (token, offset and length big-endian), 0xFF, then the
// option data in the table's order.
Bytes prelogin_answer(const int version[4], uint8_t encryption) {
  Builder data;
  data.u8(uint8_t(version[0]));
  data.u8(uint8_t(version[1]));
  data.u16be(uint16_t(version[2]));
  data.u16be(uint16_t(version[3]));
  const size_t version_len = data.out.size();
  data.u8(encryption);
  data.u8(0);  // INSTOPT: the instance name matched
  data.u8(0);  // MARS off

  const struct { uint8_t token; uint16_t len; } opts[] = {
      {0x00, uint16_t(version_len)}, {0x01, 1}, {0x02, 1}, {0x03, 0}, {0x04, 1}};
  Builder b;
  uint16_t offset = uint16_t(sizeof opts / sizeof opts[0] * 5 + 1);
  for (const auto& o : opts) {
    b.u8(o.token);
    b.u16be(offset);
    b.u16be(o.len);
    offset = uint16_t(offset + o.len);
  }
  b.u8(0xFF);
  b.bytes(data.out);
  return b.out;
}

// Layout after the token byte (INFO and ERROR alike):
//   Length u16 | Number i32 | State u8 | Class u8 | MsgText US_VARCHAR |
//   ServerName B_VARCHAR | ProcName B_VARCHAR | LineNumber i32
void Tokens::message(uint8_t token, int32_t number, uint8_t state, uint8_t cls,
                     std::string_view text) {
  Builder body;
  body.u32le(uint32_t(number));
  body.u8(state);
  body.u8(cls);
  // The Length field is 16 bits: keep the whole token below that.
  Bytes t = utf16le(text);
  size_t room = (65535 - 4 - 1 - 1 - 2 - 1 - 1 - 4 - 2 * 255) / 2;
  if (t.size() / 2 > room) t.resize(room * 2);
  body.u16le(uint16_t(t.size() / 2));
  body.bytes(t);
  body.b_varchar(server_name);
  body.b_varchar("");
  body.u32le(1);
  with_length(token, body.out);
}

void Tokens::info(int32_t number, uint8_t state, uint8_t cls, std::string_view text) {
  message(TOK_INFO, number, state, cls, text);
}

void Tokens::error(int32_t number, uint8_t state, uint8_t cls, std::string_view text) {
  message(TOK_ERROR, number, state, cls, text);
}

void Tokens::with_length(uint8_t token, const Bytes& body) {
  b.u8(token);
  b.u16le(uint16_t(body.size()));
  b.bytes(body);
}

void Tokens::env_text(uint8_t type, std::string_view now, std::string_view before) {
  Builder body;
  body.u8(type);
  body.b_varchar(now);
  body.b_varchar(before);
  with_length(TOK_ENVCHANGE, body.out);
}

void Tokens::env_collation(const uint8_t collation[5]) {
  b.u8(TOK_ENVCHANGE);
  b.u16le(1 + 1 + 5 + 1);
  b.u8(ENV_COLLATION);
  b.u8(5);
  b.bytes(collation, 5);
  b.u8(0);
}

// Interface u8 | TDSVersion u32 (big-endian) | ProgName B_VARCHAR |
// ProgVersion: major, minor, build high, build low.
void Tokens::loginack(uint32_t tds_version, std::string_view program, const uint8_t version[4]) {
  Builder body;
  body.u8(1);  // T-SQL
  body.u32be(tds_version);
  body.b_varchar(program);
  body.bytes(version, 4);
  with_length(TOK_LOGINACK, body.out);
}

// Count u16, then per column: UserType u32 | Flags u16 | TYPE_INFO |
// ColName B_VARCHAR.
void Tokens::colmetadata_begin(uint16_t count) {
  b.u8(TOK_COLMETADATA);
  b.u16le(count);
}

void Tokens::column(uint16_t flags, uint8_t type, const Bytes& type_info, std::string_view name) {
  b.u32le(0);
  b.u16le(flags);
  b.u8(type);
  b.bytes(type_info);
  b.b_varchar(name);
}

namespace {

// The value bytes after the length of a numeric of this precision.
uint8_t numeric_length(uint8_t precision) {
  return precision <= 9 ? 5 : precision <= 19 ? 9 : precision <= 28 ? 13 : 17;
}

}  // namespace

Bytes datetime_bytes(Stamp s) {
  constexpr Stamp DAY = 86400 * STAMP_PER_SECOND;
  constexpr int64_t DAYS_1900_TO_1970 = 25567;
  Stamp day = s >= 0 ? s / DAY : -((-s + DAY - 1) / DAY);
  Stamp in_day = s - day * DAY;
  Builder b;
  b.u32le(uint32_t(int32_t(day + DAYS_1900_TO_1970)));
  b.u32le(uint32_t(in_day / STAMP_PER_DATETIME_TICK));
  return b.out;
}

Bytes numeric_bytes(uint8_t precision, uint64_t value) {
  Bytes out(numeric_length(precision), 0);
  out[0] = 1;
  for (size_t k = 0; k < 8 && k + 1 < out.size(); ++k) out[k + 1] = uint8_t(value >> (8 * k));
  return out;
}

// TYPE_INFO per type: the length or size, a collation for the character
// types, precision and scale for numerics.
void Tokens::colmetadata(const std::vector<Column>& cols) {
  colmetadata_begin(uint16_t(cols.size()));
  for (const Column& c : cols) {
    Builder info;
    switch (c.type) {
      case TYPE_NVARCHAR:
        info.u16le(uint16_t(c.max_chars * 2));
        info.bytes(DEFAULT_COLLATION, 5);
        break;
      case TYPE_BIGCHAR:
        info.u16le(c.max_chars);
        info.bytes(DEFAULT_COLLATION, 5);
        break;
      case TYPE_BIGVARBINARY: info.u16le(c.max_chars); break;
      case TYPE_NUMERICN:
        info.u8(numeric_length(c.precision));
        info.u8(c.precision);
        info.u8(0);
        break;
      case TYPE_DATETIMEN: info.u8(8); break;
      case TYPE_GUID: info.u8(16); break;
      case TYPE_BITN: info.u8(1); break;
      default: info.u8(c.int_bytes); break;
    }
    column(c.nullable ? COL_NULLABLE : 0x0000, c.type, info.out, c.name);
  }
}

void Tokens::row(const std::vector<Column>& cols, const std::vector<Cell>& cells) {
  b.u8(TOK_ROW);
  for (size_t i = 0; i < cols.size(); ++i) {
    const Column& c = cols[i];
    const Cell& v = cells[i];
    switch (c.type) {
      case TYPE_NVARCHAR: {
        if (!v.text) {
          b.u16le(0xFFFF);
          break;
        }
        Bytes t = utf16le(*v.text);
        if (t.size() > size_t(c.max_chars) * 2) t.resize(size_t(c.max_chars) * 2);
        b.us_bytes(t);
        break;
      }
      case TYPE_BIGCHAR: {
        // char(n) is padded with spaces to its length; the values are ASCII.
        if (!v.text) {
          b.u16le(0xFFFF);
          break;
        }
        std::string t = v.text->substr(0, c.max_chars);
        t.resize(c.max_chars, ' ');
        b.us_bytes(Bytes(t.begin(), t.end()));
        break;
      }
      case TYPE_BIGVARBINARY:
        if (!v.bytes) {
          b.u16le(0xFFFF);
          break;
        }
        b.us_bytes(Bytes(v.bytes->begin(), v.bytes->begin() + long(std::min<size_t>(v.bytes->size(), c.max_chars))));
        break;
      case TYPE_GUID:
        if (!v.bytes || v.bytes->size() != 16) {
          b.u8(0);
          break;
        }
        b.u8(16);
        b.bytes(*v.bytes);
        break;
      default: {
        if (!v.number) {
          b.u8(0);
          break;
        }
        Bytes value;
        if (c.type == TYPE_NUMERICN) {
          value = numeric_bytes(c.precision, uint64_t(*v.number));
        } else if (c.type == TYPE_DATETIMEN) {
          value = datetime_bytes(*v.number);
        } else {
          const int n = c.type == TYPE_BITN ? 1 : c.int_bytes;
          for (int k = 0; k < n; ++k) value.push_back(uint8_t(uint64_t(*v.number) >> (8 * k)));
        }
        b.u8(uint8_t(value.size()));
        b.bytes(value);
        break;
      }
    }
  }
}

// Status u16 | CurCmd u16 | DoneRowCount u64.
void Tokens::done(uint16_t status, uint16_t curcmd, uint64_t rows, uint8_t token) {
  b.u8(token);
  b.u16le(status);
  b.u16le(curcmd);
  b.u64le(rows);
}

}  // namespace sim
