// POSIX form of the platform layer.
#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <new>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

int fd_of(plat_socket s) { return static_cast<int>(s); }

// How often a bounded thread wait looks again.
constexpr int64_t JOIN_NAP_MS = 2;

// The outcome of a connect that finished in the background: 0 when it
// succeeded, else its error (or -1 when it cannot be read).
int connect_error(int fd) {
  int soerr = 0;
  socklen_t len = sizeof soerr;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) != 0) return -1;
  if (soerr != 0) errno = soerr;  // what plat_connect_cause reads
  return soerr;
}

}  // namespace

void plat_net_start() {}

namespace {

int resolve_now(const char* host, const char* port_text, addrinfo** out, int flags = 0) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  addrinfo* list = nullptr;
  if (getaddrinfo(host, port_text, &hints, &list) != 0) return PLAT_FAILED;
  if (list == nullptr) return PLAT_FAILED;
  *out = list;
  return PLAT_READY;
}

// A resolution handed to a thread of its own. The record is shared by the
// thread and the caller, and whichever lets go of it last frees it (and the
// address list, when the caller gave up before it arrived): a resolver that
// hangs past the caller's bound then costs one idle thread, never the call.
struct resolve_job {
  std::atomic<int32_t> refs;
  std::atomic<int32_t> done;
  int event_fd;  // becomes readable once done is set
  int result;
  addrinfo* list;
  char host[256];
  char port[16];
};

void resolve_job_release(resolve_job* job) {
  if (job->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (job->list) freeaddrinfo(job->list);
  close(job->event_fd);
  std::free(job);
}

void* resolve_thread(void* p) {
  auto* job = static_cast<resolve_job*>(p);
  job->result = resolve_now(job->host, job->port, &job->list);
  job->done.store(1, std::memory_order_release);
  const uint64_t one = 1;
  (void)!write(job->event_fd, &one, sizeof one);
  resolve_job_release(job);
  return nullptr;
}

bool copy_bounded(char* dst, size_t cap, const char* src) {
  size_t n = std::strlen(src);
  if (n >= cap) return false;
  std::memcpy(dst, src, n + 1);
  return true;
}

}  // namespace

int plat_resolve(const char* host, const char* port_text, int64_t timeout_ms,
                 const std::atomic<int32_t>* cancel, plat_addr** out) {
  *out = nullptr;
  addrinfo* list = nullptr;
  // A numeric address needs no lookup and cannot hang, so it is converted
  // here; only a name goes to a thread, and only when the wait is bounded.
  const bool unbounded = timeout_ms <= 0 && cancel == nullptr;
  int rc = resolve_now(host, port_text, &list, AI_NUMERICHOST | AI_NUMERICSERV);
  if (rc != PLAT_READY && unbounded) rc = resolve_now(host, port_text, &list);
  if (rc == PLAT_READY) *out = reinterpret_cast<plat_addr*>(list);
  if (rc == PLAT_READY || unbounded) return rc;
  const int64_t deadline = timeout_ms > 0 ? plat_mono_ms() + timeout_ms : 0;
  // malloc and a placement new: the library needs nothing of the C++
  // runtime's own allocator.
  void* mem = std::malloc(sizeof(resolve_job));
  if (mem == nullptr) return PLAT_FAILED;
  auto* job = new (mem) resolve_job{};
  if (!copy_bounded(job->host, sizeof job->host, host) ||
      !copy_bounded(job->port, sizeof job->port, port_text)) {
    std::free(job);
    return PLAT_FAILED;
  }
  job->event_fd = eventfd(0, EFD_CLOEXEC);
  if (job->event_fd < 0) {
    std::free(job);
    return PLAT_FAILED;
  }
  job->refs.store(2, std::memory_order_relaxed);
  pthread_attr_t attr;
  pthread_t th;
  bool started = pthread_attr_init(&attr) == 0;
  if (started) {
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    started = pthread_create(&th, &attr, resolve_thread, job) == 0;
    pthread_attr_destroy(&attr);
  }
  if (!started) {
    close(job->event_fd);
    std::free(job);
    return PLAT_FAILED;
  }

  int result = PLAT_FAILED;
  for (;;) {
    if (job->done.load(std::memory_order_acquire)) {
      result = job->result;
      if (result == PLAT_READY) {
        *out = reinterpret_cast<plat_addr*>(job->list);
        job->list = nullptr;
      }
      break;
    }
    int64_t slice;
    const int go = plat_next_slice(deadline, cancel, &slice);
    if (go != PLAT_READY) { result = go; break; }
    pollfd p{job->event_fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(slice)) < 0 && errno != EINTR) break;
  }
  resolve_job_release(job);
  return result;
}

void plat_resolve_free(plat_addr* list) {
  if (list) freeaddrinfo(reinterpret_cast<addrinfo*>(list));
}

const plat_addr* plat_addr_next(const plat_addr* entry) {
  return reinterpret_cast<const plat_addr*>(reinterpret_cast<const addrinfo*>(entry)->ai_next);
}

int plat_addr_count(const plat_addr* list) {
  int n = 0;
  for (auto* ai = reinterpret_cast<const addrinfo*>(list); ai != nullptr; ai = ai->ai_next) ++n;
  return n;
}

void plat_addr_text(const plat_addr* entry, char* out, size_t cap) {
  auto* ai = reinterpret_cast<const addrinfo*>(entry);
  char host[NI_MAXHOST];
  char port[NI_MAXSERV];
  if (getnameinfo(ai->ai_addr, ai->ai_addrlen, host, sizeof host, port, sizeof port,
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    std::snprintf(out, cap, "%s", "an address that cannot be shown");
    return;
  }
  std::snprintf(out, cap, ai->ai_family == AF_INET6 ? "[%s]:%s" : "%s:%s", host, port);
}

plat_socket plat_socket_open(const plat_addr* list) {
  auto* ai = reinterpret_cast<const addrinfo*>(list);
  int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
  if (fd < 0) return PLAT_INVALID_SOCKET;
  return static_cast<plat_socket>(fd);
}

int plat_connect(plat_socket s, const plat_addr* list, int64_t timeout_ms,
                 const std::atomic<int32_t>* cancel) {
  auto* ai = reinterpret_cast<const addrinfo*>(list);
  int fd = fd_of(s);
  if (timeout_ms <= 0 && cancel == nullptr) {
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) return PLAT_READY;
    if (errno != EINTR) return PLAT_FAILED;
    // An interrupted connect goes on in the background, and calling connect
    // again would only report that it is under way: wait for it instead.
    pollfd p{fd, POLLOUT, 0};
    int rc;
    do rc = poll(&p, 1, -1);
    while (rc < 0 && errno == EINTR);
    return rc > 0 && connect_error(fd) == 0 ? PLAT_READY : PLAT_FAILED;
  }
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return PLAT_FAILED;
  int result = PLAT_FAILED;
  if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
    result = PLAT_READY;
  } else if (errno == EINPROGRESS || errno == EINTR) {
    int64_t deadline = timeout_ms > 0 ? plat_mono_ms() + timeout_ms : 0;
    for (;;) {
      int64_t slice;
      const int go = plat_next_slice(deadline, cancel, &slice);
      if (go != PLAT_READY) { result = go; break; }
      pollfd p{fd, POLLOUT, 0};
      int rc = poll(&p, 1, static_cast<int>(slice));
      if (rc < 0 && errno != EINTR) break;
      if (rc > 0) {
        if (connect_error(fd) == 0) result = PLAT_READY;
        break;
      }
    }
  }
  if (fcntl(fd, F_SETFL, flags) < 0 && result == PLAT_READY) result = PLAT_FAILED;
  return result;
}

const char* plat_connect_cause() {
  switch (errno) {
    case ECONNREFUSED: return "refused";
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EADDRNOTAVAIL: return "unreachable";
    case ETIMEDOUT: return "timed out";
    default: return "failed";
  }
}

int plat_connect_first(const plat_addr* list, int64_t timeout_ms,
                       const std::atomic<int32_t>* cancel, plat_socket* out,
                       const plat_addr** entry) {
  *out = PLAT_INVALID_SOCKET;
  *entry = nullptr;
  pollfd p[PLAT_MAX_PARALLEL];
  const addrinfo* at[PLAT_MAX_PARALLEL];
  int n = 0;  // connections still in the race, kept at the front
  auto* ai = reinterpret_cast<const addrinfo*>(list);
  for (; ai != nullptr && n < PLAT_MAX_PARALLEL; ai = ai->ai_next) {
    const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                          ai->ai_protocol);
    if (fd < 0) continue;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0 && errno != EINPROGRESS && errno != EINTR) {
      close(fd);
      continue;
    }
    p[n] = pollfd{fd, POLLOUT, 0};
    at[n++] = ai;
  }
  const int64_t deadline = timeout_ms > 0 ? plat_mono_ms() + timeout_ms : 0;
  int result = PLAT_FAILED;
  int winner = -1;
  while (n > 0 && winner < 0) {
    int64_t slice;
    const int go = plat_next_slice(deadline, cancel, &slice);
    if (go != PLAT_READY) { result = go; break; }
    const int rc = poll(p, static_cast<nfds_t>(n), static_cast<int>(slice));
    if (rc < 0 && errno != EINTR) break;
    for (int i = 0; rc > 0 && i < n; ++i) {
      if (p[i].revents == 0) continue;
      if (connect_error(p[i].fd) == 0) {
        winner = i;
        break;
      }
      // Refused or unreachable: out of the race, which goes on without it.
      close(p[i].fd);
      p[i] = p[--n];
      at[i--] = at[n];
    }
  }
  for (int i = 0; i < n; ++i) {
    if (i == winner) continue;
    close(p[i].fd);
  }
  if (winner < 0) return result;
  const int fd = p[winner].fd;
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    close(fd);
    return PLAT_FAILED;
  }
  *out = static_cast<plat_socket>(fd);
  *entry = reinterpret_cast<const plat_addr*>(at[winner]);
  return PLAT_READY;
}

void plat_set_nodelay(plat_socket s) {
  int one = 1;
  (void)setsockopt(fd_of(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

long plat_send(plat_socket s, const void* data, size_t len) {
  ssize_t n;
  do n = send(fd_of(s), data, len, MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

long plat_recv(plat_socket s, void* data, size_t len) {
  ssize_t n;
  do n = recv(fd_of(s), data, len, 0);
  while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

int plat_wait_readable(plat_socket s, int64_t timeout_ms) {
  pollfd p{fd_of(s), POLLIN, 0};
  int wait = timeout_ms < 0 ? -1 : (timeout_ms > 1000000000 ? 1000000000 : static_cast<int>(timeout_ms));
  int rc;
  do rc = poll(&p, 1, wait);
  while (rc < 0 && errno == EINTR);
  if (rc < 0) return PLAT_FAILED;
  return rc == 0 ? PLAT_TIMED_OUT : PLAT_READY;
}

void* plat_lib_open(const char* name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE); }

void* plat_lib_sym(void* lib, const char* symbol) { return dlsym(lib, symbol); }

void plat_close(plat_socket s) {
  if (s != PLAT_INVALID_SOCKET) close(fd_of(s));
}

int64_t plat_mono_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

namespace {

// The thread reads its routine and argument from its own record, which the
// caller keeps in place while the thread runs.
void* thread_entry(void* p) {
  auto* t = static_cast<plat_thread*>(p);
  t->fn(t->arg);
  return nullptr;
}

}  // namespace

int plat_thread_create(plat_thread* t, plat_thread_fn fn, void* arg, size_t stack_bytes) {
  t->handle = 0;
  t->ended = 0;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return -1;
  if (stack_bytes) pthread_attr_setstacksize(&attr, stack_bytes);
  t->fn = fn;
  t->arg = arg;
  pthread_t th;
  int rc = pthread_create(&th, &attr, thread_entry, t);
  pthread_attr_destroy(&attr);
  if (rc != 0) return -1;
  t->handle = static_cast<uintptr_t>(th);
  return 0;
}

int plat_thread_wait(plat_thread* t, int64_t timeout_ms) {
  if (t->ended) return 1;
  pthread_t th = static_cast<pthread_t>(t->handle);
  // Measured on the monotonic clock, so a step of the wall clock neither
  // stretches nor cuts the wait. The join is tried in short naps rather than
  // with a clock-taking join, which thread checkers do not follow.
  const int64_t deadline = plat_mono_ms() + (timeout_ms > 0 ? timeout_ms : 0);
  for (;;) {
    if (pthread_tryjoin_np(th, nullptr) == 0) {
      t->ended = 1;
      return 1;
    }
    const int64_t left = deadline - plat_mono_ms();
    if (left <= 0) return 0;
    const int64_t nap = left < JOIN_NAP_MS ? left : JOIN_NAP_MS;
    timespec ts{0, static_cast<long>(nap * 1000000)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }
}

void plat_thread_close(plat_thread* t) {
  if (!t->ended && t->handle) pthread_detach(static_cast<pthread_t>(t->handle));
  t->handle = 0;
}
