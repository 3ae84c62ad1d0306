// The only doorway to the operating system: sockets, threads and the clock.
// Nothing above this layer includes an operating-system header. The POSIX
// form lives in posix.cpp, the Windows form in windows.cpp; both give the
// same behaviour to the code above.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// A socket handle wide enough for either platform (a descriptor on POSIX,
// a SOCKET on Windows); all bits set means "no socket".
using plat_socket = uintptr_t;
constexpr plat_socket PLAT_INVALID_SOCKET = ~uintptr_t(0);

// A resolved address list; opaque above this layer.
struct plat_addr;

// Results of the waits that can be bounded by a time-out or a cancel flag.
enum plat_wait_result : int {
  PLAT_READY = 1,
  PLAT_TIMED_OUT = 0,
  PLAT_FAILED = -1,
  PLAT_CANCELLED = -2,
};

// Starts the socket layer; may be called any number of times from any thread.
void plat_net_start();

// Resolves host and a decimal port text to a stream address list (family
// unspecified). With timeout_ms <= 0 and no cancel flag it waits as long as
// the resolver does. Otherwise the resolver runs on a short-lived thread of
// its own and the wait gives up at the time-out or when *cancel turns
// non-zero; a resolver that hangs then ends in the background and frees
// what it found. Returns PLAT_READY with a non-empty list in *out,
// PLAT_FAILED, PLAT_TIMED_OUT or PLAT_CANCELLED.
int plat_resolve(const char* host, const char* port_text, int64_t timeout_ms,
                 const std::atomic<int32_t>* cancel, plat_addr** out);
void plat_resolve_free(plat_addr* list);

// The entries of a list, in the resolver's order: an entry is itself the
// list of those from it on, so each of the calls below that takes "the first
// entry of the list" takes any entry. plat_addr_next is null after the last.
const plat_addr* plat_addr_next(const plat_addr* entry);
int plat_addr_count(const plat_addr* list);

// The entry's numeric address and port, "192.0.2.7:1433" or "[2001:db8::7]:1433",
// cut to fit out (cap >= 1 bytes, terminator included).
void plat_addr_text(const plat_addr* entry, char* out, size_t cap);

// Opens a stream socket for the first entry of the list.
plat_socket plat_socket_open(const plat_addr* list);

// Connects to the first entry of the list. With timeout_ms <= 0 and no cancel
// flag the connect blocks as the socket layer does; otherwise it waits in
// short slices, giving up at the time-out or when *cancel turns non-zero.
// Returns PLAT_READY, PLAT_FAILED, PLAT_TIMED_OUT or PLAT_CANCELLED.
int plat_connect(plat_socket s, const plat_addr* list, int64_t timeout_ms,
                 const std::atomic<int32_t>* cancel);

// Why the plat_connect that just returned PLAT_FAILED failed, as a word or
// two: "refused", "unreachable", "timed out" or "failed".
const char* plat_connect_cause();

// The most entries plat_connect_first tries at once; later ones are not tried.
constexpr int PLAT_MAX_PARALLEL = 64;

// Starts a connection to each of the list's first PLAT_MAX_PARALLEL entries
// at once and keeps the first that completes, closing all the others before
// it returns. A connection that fails leaves the race; the race is lost when
// all have failed. timeout_ms <= 0 sets no bound. Returns PLAT_READY with the
// connected (blocking) socket in *out and its entry in *entry, or
// PLAT_FAILED, PLAT_TIMED_OUT or PLAT_CANCELLED with nothing left open.
int plat_connect_first(const plat_addr* list, int64_t timeout_ms,
                       const std::atomic<int32_t>* cancel, plat_socket* out,
                       const plat_addr** entry);

void plat_set_nodelay(plat_socket s);

// send/recv of at most len bytes on a blocking socket; a write never raises
// a signal. Return the byte count, 0 when the peer closed (recv), < 0 on failure.
long plat_send(plat_socket s, const void* data, size_t len);
long plat_recv(plat_socket s, void* data, size_t len);

// Waits until the socket has bytes to read (or the peer closed), at most
// timeout_ms (negative: no limit). Returns PLAT_READY, PLAT_TIMED_OUT or PLAT_FAILED.
int plat_wait_readable(plat_socket s, int64_t timeout_ms);

void plat_close(plat_socket s);

// A shared library loaded by file name for the rest of the process (never
// unloaded), and the address of one of its symbols (its dependencies'
// included); null when either cannot be found.
void* plat_lib_open(const char* name);
void* plat_lib_sym(void* lib, const char* symbol);

// Milliseconds of a monotonic clock with an arbitrary origin.
int64_t plat_mono_ms();

// Waits that a cancel flag or a deadline can end are cut into slices of at
// most PLAT_SLICE_MS. plat_next_slice gives the length of the next slice, or
// says that the wait must end now: PLAT_CANCELLED when *cancel is non-zero,
// PLAT_TIMED_OUT when the deadline (a plat_mono_ms instant; 0 for none) has
// passed, PLAT_READY otherwise.
constexpr int64_t PLAT_SLICE_MS = 50;
inline int plat_next_slice(int64_t deadline, const std::atomic<int32_t>* cancel, int64_t* slice) {
  if (cancel != nullptr && cancel->load() != 0) return PLAT_CANCELLED;
  *slice = PLAT_SLICE_MS;
  if (deadline != 0) {
    const int64_t left = deadline - plat_mono_ms();
    if (left <= 0) return PLAT_TIMED_OUT;
    if (left < *slice) *slice = left;
  }
  return PLAT_READY;
}

using plat_thread_fn = int (*)(void* arg);

// A thread that starts at once and ends by returning. The record stays in
// place, owned by its creator, for as long as the thread runs.
struct plat_thread {
  uintptr_t handle;
  int32_t ended;  // set once a wait has seen the thread end
  plat_thread_fn fn;
  void* arg;
};

// Creates a thread running fn(arg) with a stack of stack_bytes. 0 or -1.
int plat_thread_create(plat_thread* t, plat_thread_fn fn, void* arg, size_t stack_bytes);

// Waits for the thread to end, at most timeout_ms (0: just look).
// Returns 1 once it has ended, 0 when the time ran out.
int plat_thread_wait(plat_thread* t, int64_t timeout_ms);

// Gives up the handle; a thread still running goes on and cleans up after itself.
void plat_thread_close(plat_thread* t);
