// TLS for tests: certificates made in memory with OpenSSL, a server session
// over memory BIOs to pair with the client's, and a loopback TDS server that
// speaks TLS in either form (wrapped in PRELOGIN packets, or strict) and
// records every byte that crosses the wire, so a test can tap it.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using bytes = std::vector<uint8_t>;

// How a server certificate is made.
struct CertSpec {
  std::string dns = "localhost";   // subjectAltName DNS entry ("" for none)
  std::string ip = "127.0.0.1";    // subjectAltName IP entry ("" for none)
  bool expired = false;            // validity ended a day ago
  bool self_signed = false;        // not signed by the test CA
};

// How the server side of a session behaves.
struct ServerSetup {
  CertSpec cert;
  bool alpn_tds8 = false;    // select "tds/8.0" when offered; refuse other ALPN lists
  bool tls12_only = false;   // cap the server at TLS 1.2
};

// A test certificate authority: a key and a self-signed root, written as PEM
// to a temporary file that the client can name as its ca_file.
class TestCa {
 public:
  TestCa();
  ~TestCa();
  TestCa(const TestCa&) = delete;
  TestCa& operator=(const TestCa&) = delete;
  const std::string& pem_path() const { return pem_path_; }
  // A server context with a fresh certificate as setup says; the caller frees it.
  SSL_CTX* server_ctx(const ServerSetup& setup) const;

 private:
  EVP_PKEY* key_ = nullptr;
  X509* cert_ = nullptr;
  std::string pem_path_;
};

// The shared test CA (made once: key generation is the slow part).
const TestCa& test_ca();

// A TDS server over loopback TCP that plays one client:
//   wrapped: reads the PRELOGIN, answers it with `encryption`, runs the
//            handshake inside PRELOGIN packets (answers of type reply_type);
//   strict:  runs the handshake first, then reads the PRELOGIN inside TLS;
// then the login (LOGINACK and DONE) and, for each entry of `answers`, reads
// one request and sends the entry in one TLS write, then stays silent until
// the client goes. Every step is bounded; the destructor stops it at once.
class TlsPeer {
 public:
  struct Script {
    ServerSetup server;
    bool strict = false;
    uint8_t encryption = 0x01;   // the PRELOGIN answer's ENCRYPTION value
    uint8_t reply_type = 0x12;   // packet type of the wrapped handshake answers
    std::vector<bytes> answers;  // payloads answering each request after the login
    size_t answer_packet = 4088; // payload bytes per packet of each answer
  };
  explicit TlsPeer(Script script);
  ~TlsPeer();
  TlsPeer(const TlsPeer&) = delete;
  TlsPeer& operator=(const TlsPeer&) = delete;

  int port() const { return port_; }
  bool wait_done(int timeout_ms = 10000);
  // Plaintext TDS messages read from the client inside TLS (headers included).
  std::vector<bytes> requests() const;
  // Every byte that came from the client over the wire, as it crossed.
  bytes wire() const;
  std::string failure() const;

 private:
  void run();
  bool recv_raw(uint8_t* buf, size_t n, size_t* got);
  bool send_raw(const uint8_t* p, size_t n);
  bool read_raw_message(bytes* payload);
  bool handshake_wrapped();
  bool handshake_strict();
  bool flush();
  bool tls_read_message(bytes* msg);
  bool tls_send(const bytes& plain);
  void fail(const std::string& why);

  Script script_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;
  BIO* out_ = nullptr;
  int listen_fd_ = -1;
  int conn_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  mutable std::mutex mu_;
  std::vector<bytes> requests_;
  bytes wire_;
  std::string failure_;
};
