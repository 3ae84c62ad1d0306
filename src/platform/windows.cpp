// Windows form of the platform layer: Windows Sockets 2, Win32 threads and
// the performance counter.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // Windows 7: nothing newer is called
#endif

#include "platform/platform.h"

#include <cstdio>
#include <cstring>
#include <new>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

static_assert(sizeof(SOCKET) <= sizeof(plat_socket), "a SOCKET must fit a plat_socket");
static_assert(static_cast<plat_socket>(INVALID_SOCKET) == PLAT_INVALID_SOCKET,
              "INVALID_SOCKET must read as PLAT_INVALID_SOCKET");

namespace {

// select() takes its limit as a timeval of 32-bit fields.
constexpr int64_t MAX_SELECT_MS = 1000000000;

// The longest finite wait WaitForSingleObject takes in one call
// (INFINITE is 0xFFFFFFFF and must never be passed by accident).
constexpr int64_t MAX_WAIT_MS = 0x7FFFFFFF;

// send/recv take an int length; callers loop over partial transfers.
constexpr size_t MAX_IO_BYTES = 0x40000000;

SOCKET sock_of(plat_socket s) { return static_cast<SOCKET>(s); }

timeval to_timeval(int64_t ms) {
  if (ms < 0) ms = 0;
  if (ms > MAX_SELECT_MS) ms = MAX_SELECT_MS;
  timeval tv;
  tv.tv_sec = static_cast<long>(ms / 1000);
  tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
  return tv;
}

void set_one(fd_set* set, SOCKET s) {
  set->fd_count = 1;
  set->fd_array[0] = s;
}

// A counter value in milliseconds, split so that counter * 1000 cannot
// overflow however fine the counter is.
int64_t counter_to_ms(int64_t c, int64_t f) { return (c / f) * 1000 + (c % f) * 1000 / f; }

// The performance counter's frequency is fixed at boot and never 0 on any
// Windows that runs this code, so it is asked for once.
int64_t counter_freq() {
  static std::atomic<int64_t> freq{0};
  int64_t f = freq.load(std::memory_order_relaxed);
  if (f == 0) {
    LARGE_INTEGER q;
    QueryPerformanceFrequency(&q);
    f = q.QuadPart;
    freq.store(f, std::memory_order_relaxed);
  }
  return f;
}

}  // namespace

// Every call takes one more reference on the socket layer and none is given
// back: connections are opened from the host's thread and from workers at
// any time, and a layer that is never shut down cannot be shut down under
// one of them (nor under the host's own sockets).
void plat_net_start() {
  WSADATA wsa;
  (void)WSAStartup(MAKEWORD(2, 2), &wsa);
}

namespace {

int resolve_now(const char* host, const char* port_text, ADDRINFOA** out, int flags = 0) {
  ADDRINFOA hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  ADDRINFOA* list = nullptr;
  if (getaddrinfo(host, port_text, &hints, &list) != 0) return PLAT_FAILED;
  if (list == nullptr) return PLAT_FAILED;
  *out = list;
  return PLAT_READY;
}

}  // namespace

void plat_resolve_free(plat_addr* list) {
  if (list) freeaddrinfo(reinterpret_cast<ADDRINFOA*>(list));
}

const plat_addr* plat_addr_next(const plat_addr* entry) {
  return reinterpret_cast<const plat_addr*>(reinterpret_cast<const ADDRINFOA*>(entry)->ai_next);
}

int plat_addr_count(const plat_addr* list) {
  int n = 0;
  for (auto* ai = reinterpret_cast<const ADDRINFOA*>(list); ai != nullptr; ai = ai->ai_next) ++n;
  return n;
}

void plat_addr_text(const plat_addr* entry, char* out, size_t cap) {
  auto* ai = reinterpret_cast<const ADDRINFOA*>(entry);
  char host[NI_MAXHOST];
  char port[NI_MAXSERV];
  if (getnameinfo(ai->ai_addr, static_cast<socklen_t>(ai->ai_addrlen), host, sizeof host, port,
                  sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    std::snprintf(out, cap, "%s", "an address that cannot be shown");
    return;
  }
  std::snprintf(out, cap, ai->ai_family == AF_INET6 ? "[%s]:%s" : "%s:%s", host, port);
}

plat_socket plat_socket_open(const plat_addr* list) {
  auto* ai = reinterpret_cast<const ADDRINFOA*>(list);
  SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
  if (s == INVALID_SOCKET) return PLAT_INVALID_SOCKET;
  // Processes the host starts must not inherit the connection.
  (void)SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<plat_socket>(s);
}

int plat_connect(plat_socket ps, const plat_addr* list, int64_t timeout_ms,
                 const std::atomic<int32_t>* cancel) {
  auto* ai = reinterpret_cast<const ADDRINFOA*>(list);
  SOCKET s = sock_of(ps);
  const int addrlen = static_cast<int>(ai->ai_addrlen);
  if (timeout_ms <= 0 && cancel == nullptr)
    return connect(s, ai->ai_addr, addrlen) == 0 ? PLAT_READY : PLAT_FAILED;

  u_long on = 1;
  if (ioctlsocket(s, FIONBIO, &on) != 0) return PLAT_FAILED;
  int result = PLAT_FAILED;
  if (connect(s, ai->ai_addr, addrlen) == 0) {
    result = PLAT_READY;
  } else {
    const int e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK || e == WSAEINPROGRESS) {
      int64_t deadline = timeout_ms > 0 ? plat_mono_ms() + timeout_ms : 0;
      for (;;) {
        int64_t slice;
        const int go = plat_next_slice(deadline, cancel, &slice);
        if (go != PLAT_READY) { result = go; break; }
        // A finished connect shows as writable; a failed one in the
        // exception set, which is where Windows reports it.
        fd_set wr, ex;
        set_one(&wr, s);
        set_one(&ex, s);
        timeval tv = to_timeval(slice);
        int rc = select(0, nullptr, &wr, &ex, &tv);
        if (rc == SOCKET_ERROR) break;
        if (rc > 0) {
          int soerr = 0;
          int len = sizeof soerr;
          if (wr.fd_count == 1 &&
              getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soerr), &len) == 0 &&
              soerr == 0)
            result = PLAT_READY;
          else if (soerr != 0)
            WSASetLastError(soerr);  // what plat_connect_cause reads
          break;
        }
      }
    }
  }
  u_long off = 0;  // sockets are created blocking; the transport expects that
  if (ioctlsocket(s, FIONBIO, &off) != 0 && result == PLAT_READY) result = PLAT_FAILED;
  return result;
}

const char* plat_connect_cause() {
  switch (WSAGetLastError()) {
    case WSAECONNREFUSED: return "refused";
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAEADDRNOTAVAIL: return "unreachable";
    case WSAETIMEDOUT: return "timed out";
    default: return "failed";
  }
}

int plat_connect_first(const plat_addr* list, int64_t timeout_ms,
                       const std::atomic<int32_t>* cancel, plat_socket* out,
                       const plat_addr** entry) {
  static_assert(PLAT_MAX_PARALLEL <= FD_SETSIZE, "every racing socket must fit one fd_set");
  *out = PLAT_INVALID_SOCKET;
  *entry = nullptr;
  SOCKET sk[PLAT_MAX_PARALLEL];
  const ADDRINFOA* at[PLAT_MAX_PARALLEL];
  int n = 0;  // connections still in the race, kept at the front
  auto* ai = reinterpret_cast<const ADDRINFOA*>(list);
  for (; ai != nullptr && n < PLAT_MAX_PARALLEL; ai = ai->ai_next) {
    const plat_socket ps = plat_socket_open(reinterpret_cast<const plat_addr*>(ai));
    if (ps == PLAT_INVALID_SOCKET) continue;
    const SOCKET s = sock_of(ps);
    u_long on = 1;
    if (ioctlsocket(s, FIONBIO, &on) != 0 ||
        (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0 &&
         WSAGetLastError() != WSAEWOULDBLOCK && WSAGetLastError() != WSAEINPROGRESS)) {
      closesocket(s);
      continue;
    }
    sk[n] = s;
    at[n++] = ai;
  }
  const int64_t deadline = timeout_ms > 0 ? plat_mono_ms() + timeout_ms : 0;
  int result = PLAT_FAILED;
  int winner = -1;
  while (n > 0 && winner < 0) {
    int64_t slice;
    const int go = plat_next_slice(deadline, cancel, &slice);
    if (go != PLAT_READY) { result = go; break; }
    // A finished connect shows as writable; a failed one in the exception set.
    fd_set wr, ex;
    wr.fd_count = ex.fd_count = static_cast<u_int>(n);
    for (int i = 0; i < n; ++i) wr.fd_array[i] = ex.fd_array[i] = sk[i];
    timeval tv = to_timeval(slice);
    const int rc = select(0, nullptr, &wr, &ex, &tv);
    if (rc == SOCKET_ERROR) break;
    for (int i = 0; rc > 0 && i < n; ++i) {
      const bool done = FD_ISSET(sk[i], &wr) != 0;
      if (!done && FD_ISSET(sk[i], &ex) == 0) continue;
      int soerr = 0;
      int len = sizeof soerr;
      if (done && getsockopt(sk[i], SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soerr), &len) == 0 &&
          soerr == 0) {
        winner = i;
        break;
      }
      // Refused or unreachable: out of the race, which goes on without it.
      closesocket(sk[i]);
      sk[i] = sk[--n];
      at[i--] = at[n];
    }
  }
  for (int i = 0; i < n; ++i) {
    if (i != winner) closesocket(sk[i]);
  }
  if (winner < 0) return result;
  u_long off = 0;  // the transport expects a blocking socket
  if (ioctlsocket(sk[winner], FIONBIO, &off) != 0) {
    closesocket(sk[winner]);
    return PLAT_FAILED;
  }
  *out = static_cast<plat_socket>(sk[winner]);
  *entry = reinterpret_cast<const plat_addr*>(at[winner]);
  return PLAT_READY;
}

void plat_set_nodelay(plat_socket s) {
  int one = 1;
  (void)setsockopt(sock_of(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                   sizeof one);
}

long plat_send(plat_socket s, const void* data, size_t len) {
  if (len > MAX_IO_BYTES) len = MAX_IO_BYTES;
  int n = send(sock_of(s), static_cast<const char*>(data), static_cast<int>(len), 0);
  return n == SOCKET_ERROR ? -1 : static_cast<long>(n);
}

long plat_recv(plat_socket s, void* data, size_t len) {
  if (len > MAX_IO_BYTES) len = MAX_IO_BYTES;
  int n = recv(sock_of(s), static_cast<char*>(data), static_cast<int>(len), 0);
  return n == SOCKET_ERROR ? -1 : static_cast<long>(n);
}

int plat_wait_readable(plat_socket s, int64_t timeout_ms) {
  fd_set rd;
  set_one(&rd, sock_of(s));
  timeval tv = to_timeval(timeout_ms);
  int rc = select(0, &rd, nullptr, nullptr, timeout_ms < 0 ? nullptr : &tv);
  if (rc == SOCKET_ERROR) return PLAT_FAILED;
  return rc == 0 ? PLAT_TIMED_OUT : PLAT_READY;
}

void* plat_lib_open(const char* name) { return static_cast<void*>(LoadLibraryA(name)); }

void* plat_lib_sym(void* lib, const char* symbol) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), symbol));
}

void plat_close(plat_socket s) {
  if (s != PLAT_INVALID_SOCKET) closesocket(sock_of(s));
}

int64_t plat_mono_ms() {
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  return counter_to_ms(c.QuadPart, counter_freq());
}

namespace {

// The module holding this code, with one reference added for a thread.
HMODULE pin_own_module() {
  HMODULE m = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&pin_own_module), &m))
    return nullptr;
  return m;
}

// What a new thread needs, in a block of its own that the thread frees.
struct thread_start {
  plat_thread_fn fn;
  void* arg;
  HMODULE module;
};

// The thread holds a reference on the module for as long as it runs, so a
// host that unloads the module while a worker is still busy (or still on its
// way out after a release that timed out) does not pull the code from under
// it; the last such thread to end lets the module go.
DWORD WINAPI thread_entry(LPVOID p) {
  auto* start = static_cast<thread_start*>(p);
  plat_thread_fn fn = start->fn;
  void* arg = start->arg;
  HMODULE module = start->module;
  HeapFree(GetProcessHeap(), 0, start);
  DWORD rc = static_cast<DWORD>(fn(arg));
  if (module) FreeLibraryAndExitThread(module, rc);
  return rc;
}

}  // namespace

int plat_thread_create(plat_thread* t, plat_thread_fn fn, void* arg, size_t stack_bytes) {
  t->handle = 0;
  t->ended = 0;
  t->fn = fn;
  t->arg = arg;
  auto* start = static_cast<thread_start*>(HeapAlloc(GetProcessHeap(), 0, sizeof(thread_start)));
  if (start == nullptr) return -1;
  start->fn = fn;
  start->arg = arg;
  start->module = pin_own_module();
  // The size is a reservation, not a commitment: the stack is only as large
  // as asked when the worker really goes that deep, whatever the host's
  // own default stack size is.
  HANDLE h = CreateThread(nullptr, stack_bytes, thread_entry, start,
                          stack_bytes ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
  if (h == nullptr) {
    if (start->module) FreeLibrary(start->module);
    HeapFree(GetProcessHeap(), 0, start);
    return -1;
  }
  t->handle = reinterpret_cast<uintptr_t>(h);
  return 0;
}

int plat_thread_wait(plat_thread* t, int64_t timeout_ms) {
  if (t->ended) return 1;
  if (t->handle == 0) return 0;
  HANDLE h = reinterpret_cast<HANDLE>(t->handle);
  int64_t left = timeout_ms > 0 ? timeout_ms : 0;
  for (;;) {
    int64_t step = left > MAX_WAIT_MS ? MAX_WAIT_MS : left;
    DWORD rc = WaitForSingleObject(h, static_cast<DWORD>(step));
    if (rc == WAIT_OBJECT_0) {
      t->ended = 1;
      return 1;
    }
    // A failed wait is not taken for an end: the caller keeps treating the
    // thread as running rather than reuse what it may still write.
    if (rc != WAIT_TIMEOUT) return 0;
    left -= step;
    if (left <= 0) return 0;
  }
}

void plat_thread_close(plat_thread* t) {
  if (t->handle) CloseHandle(reinterpret_cast<HANDLE>(t->handle));
  t->handle = 0;
}

// ---- Bounded name resolution ---------------------------------------------------

namespace {

// A resolution handed to a thread of its own. The record is shared by the
// thread and the caller, and whichever lets go of it last frees it (and the
// address list, when the caller gave up before it arrived): a resolver that
// hangs past the caller's bound then costs one idle thread, never the call.
// The thread holds a reference on the module, like a worker.
struct resolve_job {
  std::atomic<int32_t> refs;
  HANDLE done;  // manual-reset event, set once result and list are in place
  HMODULE module;
  int result;
  ADDRINFOA* list;
  char host[256];
  char port[16];
};

void resolve_job_release(resolve_job* job) {
  if (job->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (job->list) freeaddrinfo(job->list);
  CloseHandle(job->done);
  HeapFree(GetProcessHeap(), 0, job);
}

DWORD WINAPI resolve_thread(LPVOID p) {
  auto* job = static_cast<resolve_job*>(p);
  HMODULE module = job->module;
  job->result = resolve_now(job->host, job->port, &job->list);
  SetEvent(job->done);
  resolve_job_release(job);
  if (module) FreeLibraryAndExitThread(module, 0);
  return 0;
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
  ADDRINFOA* list = nullptr;
  // A numeric address needs no lookup and cannot hang, so it is converted
  // here; only a name goes to a thread, and only when the wait is bounded.
  const bool unbounded = timeout_ms <= 0 && cancel == nullptr;
  int rc = resolve_now(host, port_text, &list, AI_NUMERICHOST | AI_NUMERICSERV);
  if (rc != PLAT_READY && unbounded) rc = resolve_now(host, port_text, &list);
  if (rc == PLAT_READY) *out = reinterpret_cast<plat_addr*>(list);
  if (rc == PLAT_READY || unbounded) return rc;
  const int64_t deadline = timeout_ms > 0 ? plat_mono_ms() + timeout_ms : 0;
  void* mem = HeapAlloc(GetProcessHeap(), 0, sizeof(resolve_job));
  if (mem == nullptr) return PLAT_FAILED;
  auto* job = new (mem) resolve_job{};
  if (!copy_bounded(job->host, sizeof job->host, host) ||
      !copy_bounded(job->port, sizeof job->port, port_text) ||
      (job->done = CreateEventW(nullptr, TRUE, FALSE, nullptr)) == nullptr) {
    HeapFree(GetProcessHeap(), 0, job);
    return PLAT_FAILED;
  }
  job->refs.store(2, std::memory_order_relaxed);
  job->module = pin_own_module();
  HANDLE th = CreateThread(nullptr, 0, resolve_thread, job, 0, nullptr);
  if (th == nullptr) {
    if (job->module) FreeLibrary(job->module);
    CloseHandle(job->done);
    HeapFree(GetProcessHeap(), 0, job);
    return PLAT_FAILED;
  }
  CloseHandle(th);

  int result = PLAT_FAILED;
  for (;;) {
    int64_t slice;
    const int go = plat_next_slice(deadline, cancel, &slice);
    if (go != PLAT_READY) { result = go; break; }
    DWORD rc = WaitForSingleObject(job->done, static_cast<DWORD>(slice));
    if (rc == WAIT_OBJECT_0) {
      result = job->result;
      if (result == PLAT_READY) {
        *out = reinterpret_cast<plat_addr*>(job->list);
        job->list = nullptr;
      }
      break;
    }
    if (rc != WAIT_TIMEOUT) break;
  }
  resolve_job_release(job);
  return result;
}
