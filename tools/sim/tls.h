// The server's TLS: one certificate and key for the whole process (made at
// start or read from PEM files), and per connection a TLS engine over memory
// buffers, so the channel decides where the records travel: inside PRELOGIN
// packets during a wrapped handshake, straight on the socket after it and
// from the first byte in strict mode.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "config.h"
#include "wire.h"

namespace sim {

// The process-wide server context.
class TlsContext {
 public:
  // Builds the context cfg.tls asks for, writing the certificate to
  // cfg.tls.cert_out when set. Null with err set on failure.
  static std::unique_ptr<TlsContext> create(const Config& cfg, std::string& err);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  SSL_CTX* ctx() const { return ctx_; }

 private:
  explicit TlsContext(SSL_CTX* ctx) : ctx_(ctx) {}
  SSL_CTX* ctx_;
};

// One connection's TLS engine. Bytes from the client go in with feed(); what
// the engine has for the client (handshake flights, alerts, records) comes
// out of take_output().
class TlsEngine {
 public:
  // max_version: the highest protocol version to agree to (TLS1_2_VERSION,
  // ...), 0 for the highest both sides know.
  TlsEngine(const TlsContext& ctx, int max_version);
  ~TlsEngine();
  TlsEngine(const TlsEngine&) = delete;
  TlsEngine& operator=(const TlsEngine&) = delete;

  enum class Step { Done, More, Failed };
  enum class Read { Ok, Closed, Failed };

  void feed(const uint8_t* p, size_t n);
  // Advances the handshake with what has been fed.
  Step handshake();
  // Everything the engine has written for the client since the last call.
  Bytes take_output();
  // Encrypts plaintext; its records wait in the output.
  bool write(const uint8_t* p, size_t n);
  // Appends every byte the fed records decrypt to; nothing hides inside the
  // engine afterwards. Closed on the client's close_notify.
  Read read(Bytes& out);

  // "TLSv1.3", "TLSv1.2".
  std::string version() const;
  // The engine's reason for the last failure, for the log.
  std::string reason() const { return reason_; }

 private:
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;   // client to server, owned by ssl_
  BIO* out_ = nullptr;  // server to client, owned by ssl_
  std::string reason_;
};

}  // namespace sim
