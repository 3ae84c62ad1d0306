// Writes the seed corpora of the fuzz targets: the answers a server gives
// to each request of the library, the malformed forms the unit tests use,
// configuration texts and conversion samples. Deterministic: the same files
// every run, so the corpora need not be kept in the repository.
//
//   fuzz_seeds <dir>    writes <dir>/<target>/<name> for every target
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "wire.h"

namespace {

using bytes = std::vector<uint8_t>;

std::string g_root;

void write_seed(const std::string& target, const std::string& name, const bytes& b) {
  const std::string dir = g_root + "/" + target;
  mkdir(g_root.c_str(), 0755);
  mkdir(dir.c_str(), 0755);
  const std::string path = dir + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(b.data(), 1, b.size(), f) != b.size()) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
  std::fclose(f);
}

bytes text_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

// Fixture bytes appended in order, little-endian, for the hand-made
// malformed and odd cases; whole tokens come from the encoders below.
struct builder {
  bytes b;
  builder& u8(uint8_t v) { b.push_back(v); return *this; }
  builder& u16(uint16_t v) { return u8(v & 0xFF).u8(v >> 8); }
  builder& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
  builder& u64(uint64_t v) { return u32(static_cast<uint32_t>(v)).u32(static_cast<uint32_t>(v >> 32)); }
  builder& raw(std::initializer_list<uint8_t> v) { b.insert(b.end(), v); return *this; }
  builder& raw(const bytes& v) { b.insert(b.end(), v.begin(), v.end()); return *this; }
};

// The answers' tokens, built by the simulated server's encoders.
sim::Tokens tokens() {
  sim::Tokens t;
  t.server_name = "SIM";
  return t;
}

// ERROR (0xAA) or INFO (0xAB) with number, class and text.
bytes message(uint8_t token, int32_t number, uint8_t cls, const std::string& text) {
  sim::Tokens t = tokens();
  t.message(token, number, 1, cls, text);
  return t.b.out;
}

bytes done(uint16_t status, uint64_t rows) {
  sim::Tokens t = tokens();
  t.done(status, sim::CMD_SELECT, rows);
  return t.b.out;
}

bytes envchange_database(const std::string& now, const std::string& before) {
  sim::Tokens t = tokens();
  t.env_text(sim::ENV_DATABASE, now, before);
  return t.b.out;
}

bytes loginack() {
  const uint8_t version[4] = {16, 0, 0x10, 0x27};
  sim::Tokens t = tokens();
  t.loginack(0x74000004, "SQLS", version);
  return t.b.out;
}

bytes prelogin(uint8_t encryption) {
  const int version[4] = {16, 0, 4135, 0};
  return sim::prelogin_answer(version, encryption);
}

// Column descriptions for the generated metadata: NVARCHAR(128) and INTN(4).
bytes col_nvarchar(const std::string& name, uint16_t max) {
  sim::Builder info;
  info.u16le(max);
  info.bytes(sim::DEFAULT_COLLATION, 5);
  sim::Tokens t;
  t.column(0x09, sim::TYPE_NVARCHAR, info.out, name);
  return t.b.out;
}

bytes col_intn(const std::string& name, uint8_t len) {
  sim::Tokens t;
  t.column(0x09, sim::TYPE_INTN, {len}, name);
  return t.b.out;
}

bytes nvarchar_value(const std::string& s) {
  sim::Builder v;
  v.us_bytes(sim::utf16le(s));
  return v.out;
}

// ---- fuzz_config --------------------------------------------------------------

void config_seeds() {
  const char* texts[] = {
      "{}",
      "{\"host\":\"db1\",\"port\":999}",
      "{\"host\":\"127.0.0.1\",\"port\":1433,\"user\":\"sa\",\"password\":\"p@ss\",\"database\":\"Sales\","
      "\"out_path\":\"D:\\\\backup\\\\sales.bak\",\"compression\":false,\"copy_only\":true,\"verify\":false,"
      "\"connect_timeout_ms\":5000,\"query_timeout_ms\":30000}",
      "{\"port\":\"999x\",\"verify\":\"false\",\"copy_only\":\"TRUE\",\"compression\":null}",
      "{\"port\":\"12345678901234567890123456789012\"}",
      "{\"user\":\"a\\u0041\",\"out_path\":\"D:\\temp.bak\"}",
      "{\"other\":{\"host\":\"x\",\"list\":[1,2,{\"a\":[]}]},\"user\":\"u\"}",
      "{\"user\":{\"host\":\"h\"}}",
      "{host:\"x\",\"user\":\"u\"}",
      "{}{\"user\":\"sa\"}",
      "{\"host\"}",
      "[1,2,3]",
      "{\"user\":\"sa\"",
      "{\"user\":\"\xC3\xA9\t\n\"}",
      "{\"connect_timeout_ms\":-5,\"query_timeout_ms\":99999999999999999999}",
  };
  int i = 0;
  for (const char* t : texts) write_seed("fuzz_config", "seed" + std::to_string(i++), text_bytes(t));
  std::string many = "{\"a\":[";
  for (int k = 0; k < 253; ++k) many += k ? ",1" : "1";
  write_seed("fuzz_config", "tokens256", text_bytes(many + "]}"));
}

// ---- fuzz_statement -------------------------------------------------------------

// Flags, the name's length (two bytes), the name, the path.
bytes statement_input(uint8_t flags, const std::string& name, const std::string& path) {
  bytes b = {flags, static_cast<uint8_t>(name.size()), static_cast<uint8_t>(name.size() >> 8)};
  b.insert(b.end(), name.begin(), name.end());
  b.insert(b.end(), path.begin(), path.end());
  return b;
}

void statement_seeds() {
  write_seed("fuzz_statement", "plain", statement_input(1, "sales", "C:\\b.bak"));
  write_seed("fuzz_statement", "closers", statement_input(3, "x]; SHUTDOWN; --", "C:\\b.bak'; DROP TABLE t; --"));
  write_seed("fuzz_statement", "stray_lead_bytes", statement_input(1, "x\xC2]", "C:\\b.bak\xC1'; --"));
  write_seed("fuzz_statement", "wide", statement_input(0, std::string(126, 'a') + "\xC3\xA9", "\xF0\x9F\x98\x80'"));
  // The backup kinds' texts after the target, NUL-separated: credential,
  // encryptor, set name, description, further stripes.
  using namespace std::string_literals;
  write_seed("fuzz_statement", "url_stripes_credential",
             statement_input(0x80 | 0x20 | 4 | 1, "hr", "https://a/c/1'\0cred'\0\0set]\0desc''\0https://a/c/2"s));
  write_seed("fuzz_statement", "log_encrypted_by_key",
             statement_input(0x40 | 0x10 | 8, "hr", "/l.bak\0\0Key]]\0n\0d"s));
  write_seed("fuzz_statement", "s3_with_credential", statement_input(0x80, "hr", "S3://h/b/x\0c"s));
}

// ---- fuzz_login ----------------------------------------------------------------

void login_seeds() {
  for (uint8_t e : {0x00, 0x01, 0x02, 0x03, 0x81})
    write_seed("fuzz_login", "prelogin" + std::to_string(e), prelogin(e));
  bytes two = {0x01, 0x00, 0x0F, 0x00, 0x01, 0x01, 0x00, 0x10, 0x00, 0x01, 0xFF, 0, 0, 0, 0, 0x03, 0x02};
  write_seed("fuzz_login", "prelogin_two_entries", two);

  builder ok;
  ok.raw(envchange_database("master", "")).raw(message(0xAB, 5701, 0, "Changed database context to 'master'."));
  ok.raw(loginack()).raw(envchange_database("master", "master")).raw(done(0, 0));
  write_seed("fuzz_login", "login_ok", ok.b);

  builder refused;
  refused.raw(message(0xAA, 18456, 14, "Login failed for user 'x'.")).raw(done(2, 0));
  write_seed("fuzz_login", "login_refused", refused.b);

  builder late;
  late.raw(loginack()).raw(message(0xAA, 4060, 11, "Cannot open database.")).raw(done(0, 0));
  write_seed("fuzz_login", "login_error_after_ack", late.b);

  bytes cut = loginack();
  cut.pop_back();
  write_seed("fuzz_login", "login_cut", cut);

  builder feature;
  feature.raw(loginack()).raw({0xAE, 0x0A, 1, 0, 0, 0, 1, 0xFF}).raw(done(0, 0));
  write_seed("fuzz_login", "login_feature_ack", feature.b);

  // Host, user, password and database for the LOGIN7 builder.
  write_seed("fuzz_login", "login7_texts",
             text_bytes(std::string("db1\0sa\0secret\0Sales", 19)));
}

// ---- fuzz_tokens -----------------------------------------------------------------

// Header: generated columns, piece size, row capacity; column selectors follow.
bytes tokens_input(uint8_t ncols, uint8_t step, uint8_t cap, const bytes& selectors, const bytes& body) {
  builder b;
  b.u8(ncols).u8(step).u8(cap).raw(selectors).raw(body);
  return b.b;
}

void token_seeds() {
  // The connection test's answer: one NVARCHAR column, one row.
  builder version;
  version.u8(0x81).u16(1).raw(col_nvarchar("", 128));
  version.u8(0xD1).raw(nvarchar_value("16.0.4135.4 Developer Edition (64-bit)")).raw(done(0x10, 1));
  write_seed("fuzz_tokens", "version", tokens_input(0, 7, 1, {}, version.b));

  // The listing's answer: name, size, recovery; a ROW and an NBCROW.
  builder listing;
  listing.u8(0x81).u16(3).raw(col_nvarchar("", 256)).raw(col_intn("", 4)).raw(col_nvarchar("", 120));
  listing.u8(0xD1).raw(nvarchar_value("Sales")).raw({4, 0x40, 0, 0, 0}).raw(nvarchar_value("FULL"));
  listing.u8(0xD2).u8(0x02).raw(nvarchar_value("HR")).raw(nvarchar_value("SIMPLE"));
  listing.raw(done(0x10, 2));
  write_seed("fuzz_tokens", "listing", tokens_input(0, 13, 3, {}, listing.b));

  // A backup's answer: progress messages, then the page count.
  builder backup;
  for (int p = 10; p <= 100; p += 30)
    backup.raw(message(0xAB, 3211, 0, std::to_string(p) + " percent processed."));
  backup.raw(message(0xAB, 4035, 0, "Processed 353 pages for database 'Sales', file 'Sales' on file 1."));
  backup.raw(message(0xAB, 3014, 0, "BACKUP DATABASE successfully processed 355 pages in 0.1 seconds."));
  backup.raw(done(0, 0));
  write_seed("fuzz_tokens", "backup", tokens_input(0, 5, 0, {}, backup.b));

  // Server errors between rows, an informing ERROR, ORDER and RETURNSTATUS.
  builder errors;
  errors.u8(0x81).u16(1).raw(col_intn("n", 4));
  errors.raw({0xA9, 0x02, 0x00, 0x01, 0x00});
  errors.u8(0xD1).raw({4, 1, 0, 0, 0});
  errors.raw(message(0xAA, 3201, 16, "Cannot open backup device."));
  errors.u8(0xD1).raw({4, 2, 0, 0, 0});
  errors.raw(message(0xAA, 3013, 16, "BACKUP DATABASE is terminating abnormally."));
  errors.raw(message(0xAA, 5701, 10, "informational error"));
  errors.raw({0x79, 0, 0, 0, 0}).raw(done(2, 2));
  write_seed("fuzz_tokens", "errors", tokens_input(0, 1, 2, {}, errors.b));

  // Generated metadata over every kind of value: INTN, DECIMALN (scale 2),
  // FLTN, BIGVARCHR, chunked NVARCHAR, GUID, BITN, INT4.
  const bytes selectors = {1, 8, 0, 0,  8, 17, 38, 2,  10, 8, 0, 0,  13, 16, 0, 0,
                           15, 0xFF, 0, 0,  0, 16, 0, 0,  7, 1, 0, 0,  6, 0, 0, 0};
  builder row;
  row.u8(0xD1);
  row.raw({8, 0, 0, 0, 0, 0, 0, 0, 0x80});                        // INTN: smallest int64
  row.u8(17).u8(1).raw({0x39, 0x30}).raw(bytes(14, 0));           // DECIMALN 123.45
  row.u8(8).raw({0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xB9, 0x3F}); // FLTN 0.1
  row.u16(3).raw({'a', 'b', 0xE9});                                // BIGVARCHR
  row.u64(6).u32(3).raw({'a', 0, 'b'}).u32(3).raw({0, 'c', 0}).u32(0);  // chunked "abc"
  row.u8(16).raw(bytes(16, 0xAB));                                 // GUID
  row.u8(1).u8(2);                                                 // BITN
  row.u32(0xFFFFFFFF);                                             // INT4 -1
  row.u8(0xD2).u8(0xFF);                                           // NBCROW, all NULL
  row.raw(done(0x10, 2));
  write_seed("fuzz_tokens", "all_types", tokens_input(8, 3, 3, selectors, row.b));

  // Tokens a batch's answer may carry and the walk passes over: TABNAME,
  // COLINFO, SESSIONSTATE, a RETURNVALUE of a chunked NVARCHAR, then the rows.
  builder skipped;
  skipped.u8(0x81).u16(1).raw(col_intn("n", 4));
  skipped.raw({0xA4, 0x03, 0x00, 1, 2, 3}).raw({0xA5, 0x01, 0x00, 9});
  skipped.raw({0xE4, 0x02, 0x00, 0x00, 0x00, 7, 7});
  skipped.raw({0xAC, 1, 0, 1, 'p', 0, 1, 0, 0, 0, 0, 0, 0, 0xE7, 0xFF, 0xFF, 0x09, 0x04, 0xD0, 0x00, 0x34});
  skipped.u64(2).u32(2).raw({'x', 0}).u32(0);
  skipped.u8(0xD1).raw({4, 3, 0, 0, 0}).raw(done(0x10, 1));
  write_seed("fuzz_tokens", "skipped_tokens", tokens_input(0, 4, 1, {}, skipped.b));

  // Cut short, and the refusals.
  bytes cut = version.b;
  cut.resize(cut.size() - 20);
  write_seed("fuzz_tokens", "version_cut", tokens_input(0, 2, 1, {}, cut));
  write_seed("fuzz_tokens", "row_before_metadata", tokens_input(0, 1, 1, {}, {0x81, 0xFF, 0xFF, 0xD1, 4}));
  write_seed("fuzz_tokens", "too_many_columns", tokens_input(0, 1, 1, {}, {0x81, 65, 0}));
  write_seed("fuzz_tokens", "variant_column", tokens_input(1, 1, 1, {17, 0, 0, 0}, {0xD1}));
}

// ---- fuzz_text --------------------------------------------------------------------

void text_seeds() {
  const std::vector<bytes> samples = {
      text_bytes("\x05" "abc"),
      text_bytes("\x40" "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"),  // e-acute, euro, emoji
      text_bytes("\x04" "a\xF0\x9F\x98\x80" "b"),
      {0x10, 0x80, 'a', 'b', 'c'},                     // stray continuation byte
      {0x10, 0xF0, 0x80, 0x81, 0x81},                  // overlong four-byte form
      {0x10, 0xE2, 0x82},                              // cut short by the end
      {0x05, 0x3D, 0xD8, 0x00, 0xDE},                  // a surrogate pair as UTF-16
      {0x04, 0x41, 0x00, 0xAC, 0x20, 0x42, 0x00},      // "A", euro, "B" as UTF-16
      {0x08, 0x00, 0xD8, 0x41, 0x00, 0x00, 0xDC},      // lone surrogates
      {0x01, 0x41, 0x00, 0x42},                        // odd length
  };
  int i = 0;
  for (const bytes& s : samples) write_seed("fuzz_text", "seed" + std::to_string(i++), s);
}

// ---- fuzz_tls ------------------------------------------------------------------

// A server's first handshake flight, answering a ClientHello of the same
// shape the library sends, from a throwaway self-signed certificate.
bytes server_flight(int max_version, bool alpn) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_sign(cert, key, EVP_sha256());

  SSL_CTX* sctx = SSL_CTX_new(TLS_server_method());
  SSL_CTX_use_certificate(sctx, cert);
  SSL_CTX_use_PrivateKey(sctx, key);
  SSL_CTX_set_max_proto_version(sctx, max_version);
  if (alpn)
    SSL_CTX_set_alpn_select_cb(
        sctx,
        [](SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in,
           unsigned int inlen, void*) {
          if (inlen < 8) return SSL_TLSEXT_ERR_ALERT_FATAL;
          *out = in + 1;
          *outlen = in[0];
          return SSL_TLSEXT_ERR_OK;
        },
        nullptr);
  SSL_CTX* cctx = SSL_CTX_new(TLS_client_method());
  SSL* client = SSL_new(cctx);
  SSL* server = SSL_new(sctx);
  BIO *c_in = BIO_new(BIO_s_mem()), *c_out = BIO_new(BIO_s_mem());
  BIO *s_in = BIO_new(BIO_s_mem()), *s_out = BIO_new(BIO_s_mem());
  SSL_set_bio(client, c_in, c_out);
  SSL_set_bio(server, s_in, s_out);
  if (alpn) SSL_set_alpn_protos(client, reinterpret_cast<const unsigned char*>("\x07tds/8.0"), 8);
  SSL_set_connect_state(client);
  SSL_set_accept_state(server);
  SSL_do_handshake(client);
  uint8_t buf[16384];
  for (int n; (n = BIO_read(c_out, buf, sizeof buf)) > 0;) BIO_write(s_in, buf, n);
  SSL_do_handshake(server);
  bytes flight;
  for (int n; (n = BIO_read(s_out, buf, sizeof buf)) > 0;) flight.insert(flight.end(), buf, buf + n);
  SSL_free(client);
  SSL_free(server);
  SSL_CTX_free(cctx);
  SSL_CTX_free(sctx);
  X509_free(cert);
  EVP_PKEY_free(key);
  return flight;
}

// First byte: the session's options; then the server's packets.
bytes tls_input(uint8_t options, const bytes& packets) {
  bytes b{options};
  b.insert(b.end(), packets.begin(), packets.end());
  return b;
}

void tls_seeds() {
  const bytes tls13 = server_flight(TLS1_3_VERSION, false);
  const bytes tls12 = server_flight(TLS1_2_VERSION, false);
  write_seed("fuzz_tls", "tls13_flight", tls_input(0, sim::frame_message(0x12, tls13, 4096)));
  write_seed("fuzz_tls", "tls12_flight_reply", tls_input(0, sim::frame_message(0x04, tls12, 4096)));
  write_seed("fuzz_tls", "tls13_small_packets", tls_input(0, sim::frame_message(0x12, tls13, 520)));
  write_seed("fuzz_tls", "strict_alpn",
             tls_input(1, sim::frame_message(0x12, server_flight(TLS1_3_VERSION, true), 4096)));
  // A fatal alert (handshake failure), and plain text where records belong.
  write_seed("fuzz_tls", "alert", tls_input(0, sim::frame_message(0x12, {0x15, 0x03, 0x03, 0x00, 0x02, 0x02, 0x28}, 4096)));
  write_seed("fuzz_tls", "not_tls", tls_input(0, sim::frame_message(0x04, text_bytes("HTTP/1.1 400 Bad Request\r\n"), 4096)));
}

}  // namespace

// Sets of twelve bytes each (type and flags, first LSN, range, checkpoint,
// differential base, database backup LSN, finish minutes and seconds,
// media) after a stop_at of three: a full, a differential on it and logs.
bytes joined(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

void restore_plan_seeds() {
  const bytes full = {0, 0x10, 0, 50, 20, 0, 0, 0, 60, 0, 0, 1};
  const bytes diff = {1, 0x80, 0, 20, 5, 0x24, 0, 0, 120, 0, 0, 2};
  const bytes log1 = {2, 0x10, 0, 200, 0, 0, 0, 0, 90, 0, 0, 3};
  const bytes log2 = {3, 0xD8, 0, 100, 0, 0, 0, 0, 150, 0, 0, 4};
  const bytes copy_log = {0x0B, 0xD8, 0, 40, 0, 0, 0, 0, 140, 0, 0, 5};
  write_seed("fuzz_restore_plan", "newest", joined({{0, 0, 0}, full, log1, diff, log2}));
  write_seed("fuzz_restore_plan", "to_point", joined({{1, 2, 10}, full, log1, diff, copy_log, log2}));
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
    return 2;
  }
  g_root = argv[1];
  config_seeds();
  statement_seeds();
  login_seeds();
  token_seeds();
  text_seeds();
  tls_seeds();
  restore_plan_seeds();
  return 0;
}
