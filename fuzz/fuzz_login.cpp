// The login exchange's decoders on arbitrary server bytes, and the LOGIN7
// builder on arbitrary host texts.
//
// PRELOGIN answer: the encryption value is -1 or a byte, and -1 for an
// answer of 4 bytes or less. Login response walk: 0 or -1, the error text
// always terminated within 512 bytes and made of whole UTF-8 sequences, and
// never empty on failure. LOGIN7: the record fits the largest size, its
// string fields lie inside it, and a buffer one byte short is left alone.
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "tds_client/cursor.h"
#include "tds_client/tds_client.h"

namespace {

void check_prelogin(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> in = exact_copy(data, size);
  const int enc = tds_prelogin_encryption(in.get(), size);
  FUZZ_CHECK(enc >= -1 && enc <= 255);
  if (size <= 4) FUZZ_CHECK(enc == -1);
}

void check_login_walk(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> in = exact_copy(data, size);
  std::unique_ptr<char[]> err(new char[TDS_ERR_SIZE]);
  std::memset(err.get(), 'X', TDS_ERR_SIZE);
  const int rc = tds_login_walk(in.get(), size, err.get());
  FUZZ_CHECK(rc == 0 || rc == -1);
  FUZZ_CHECK(terminated(err.get(), TDS_ERR_SIZE));
  const size_t len = std::strlen(err.get());
  FUZZ_CHECK(len <= TDS_ERR_SIZE - 1);
  FUZZ_CHECK(utf8_whole_sequences(err.get(), len));
  if (rc != 0) FUZZ_CHECK(len > 0);
}

// Host, user, password and database from the input, split at NUL bytes.
void check_login7(const uint8_t* data, size_t size) {
  std::vector<std::unique_ptr<char[]>> parts;
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    parts.push_back(exact_text(data + at, size - at));
    at += std::strlen(parts.back().get());
    if (at < size) ++at;  // the NUL that ended this part
  }
  const char* db = parts[3][0] != 0 ? parts[3].get() : nullptr;

  std::unique_ptr<uint8_t[]> out(new uint8_t[TDS_LOGIN7_MAX]);
  const uint64_t total =
      tds_build_login7(parts[0].get(), parts[1].get(), parts[2].get(), db, out.get(), TDS_LOGIN7_MAX);
  FUZZ_CHECK(total >= 94 && total <= TDS_LOGIN7_MAX);
  const uint8_t* r = out.get();
  FUZZ_CHECK(le32(r) == total);
  // (ib, cch) pairs from HostName to Database, then SSPI, AtchDBFile and
  // ChangePassword, which point at the end.
  for (uint64_t f = 36; f <= 68; f += 4) {
    const uint64_t ib = le16(r + f), bytes = 2u * le16(r + f + 2);
    FUZZ_CHECK(ib >= 94 && ib + bytes <= total);
  }
  for (uint64_t f = 78; f <= 86; f += 4) FUZZ_CHECK(le16(r + f) == total);

  std::vector<uint8_t> untouched(total - 1, 0x77);
  std::unique_ptr<uint8_t[]> short_buf = exact_copy(untouched.data(), untouched.size());
  FUZZ_CHECK(tds_build_login7(parts[0].get(), parts[1].get(), parts[2].get(), db, short_buf.get(),
                              total - 1) == 0);
  FUZZ_CHECK(std::memcmp(short_buf.get(), untouched.data(), untouched.size()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_prelogin(data, size);
  check_login_walk(data, size);
  check_login7(data, size);
  return 0;
}
