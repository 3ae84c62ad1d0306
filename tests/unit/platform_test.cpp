// The platform layer against the real system: waits that must follow the
// monotonic clock, and a blocking connect that a signal interrupts.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

// The wall clock as this process reads it can be moved, to show that no
// wait of the library depends on it. The library's calls to clock_gettime
// reach this definition first; everything else passes through.
namespace {
std::atomic<long> g_wall_shift_s{0};
}

extern "C" int clock_gettime(clockid_t id, timespec* ts) {
  using fn = int (*)(clockid_t, timespec*);
  static fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "clock_gettime"));
  int rc = real(id, ts);
  if (rc == 0 && id == CLOCK_REALTIME) ts->tv_sec += g_wall_shift_s.load();
  return rc;
}

namespace {

int sleeper(void* arg) {
  std::this_thread::sleep_for(std::chrono::milliseconds(*static_cast<int*>(arg)));
  return 0;
}

TEST(PlatformThreadWait, BoundIsKeptWhateverTheWallClockSays) {
  // With the wall clock read an hour ahead, a wait measured against it
  // would last until the thread ends; read an hour behind, it would not
  // wait at all.
  for (long shift : {3600L, -3600L}) {
    int run_ms = 1500;
    plat_thread t{};
    ASSERT_EQ(plat_thread_create(&t, sleeper, &run_ms, 0), 0);
    g_wall_shift_s = shift;
    const int64_t t0 = plat_mono_ms();
    const int ended = plat_thread_wait(&t, 400);
    const int64_t took = plat_mono_ms() - t0;
    g_wall_shift_s = 0;
    EXPECT_EQ(ended, 0) << "shift " << shift;
    EXPECT_GE(took, 350) << "shift " << shift;
    EXPECT_LT(took, 2000) << "shift " << shift;
    EXPECT_EQ(plat_thread_wait(&t, 10000), 1);
    plat_thread_close(&t);
  }
}

// The listener the interrupted connect is aimed at. The signal handler
// makes room in its accept queue and stays until the connect, retried by
// the client's kernel, has been let in: when the interrupted call resumes,
// the connection is already made.
int g_listener = -1;

void let_in_then_return(int) {
  const int saved_errno = errno;
  for (int i = 0; i < 50; ++i) {  // 2.5 s: the first retry comes after about 1 s
    int a;
    while ((a = accept(g_listener, nullptr, nullptr)) >= 0) close(a);
    timespec pause{0, 50 * 1000000};
    nanosleep(&pause, nullptr);
  }
  errno = saved_errno;
}

TEST(PlatformConnect, BlockingConnectInterruptedBySignalStillConnects) {
  // A listener whose accept queue is full drops new connection requests,
  // so a blocking connect to it waits long enough to be interrupted.
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(lfd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(lfd, 0), 0);
  ASSERT_EQ(fcntl(lfd, F_SETFL, O_NONBLOCK), 0);
  socklen_t alen = sizeof addr;
  ASSERT_EQ(getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &alen), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    (void)connect(f, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    fillers.push_back(f);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  g_listener = lfd;

  struct sigaction sa {};
  sa.sa_handler = let_in_then_return;  // no SA_RESTART: the connect returns EINTR
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

  const std::string port = std::to_string(ntohs(addr.sin_port));
  plat_addr* list = nullptr;
  ASSERT_EQ(plat_resolve("127.0.0.1", port.c_str(), 0, nullptr, &list), PLAT_READY);
  plat_socket s = plat_socket_open(list);
  ASSERT_NE(s, PLAT_INVALID_SOCKET);

  std::atomic<int> result{99};
  std::thread client([&] { result = plat_connect(s, list, 0, nullptr); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  pthread_kill(client.native_handle(), SIGUSR1);
  client.join();
  EXPECT_EQ(result.load(), PLAT_READY);

  sigaction(SIGUSR1, &old, nullptr);
  plat_close(s);
  plat_resolve_free(list);
  for (int f : fillers) close(f);
  close(lfd);
}

// An address names itself the way a failure text shows it: IPv6 in
// brackets, so that its port cannot be read as one more group.
TEST(PlatformAddr, TextOfEachFamily) {
  struct Case {
    const char* host;
    const char* text;
  } cases[] = {{"127.0.0.1", "127.0.0.1:1433"}, {"::1", "[::1]:1433"}, {"2001:db8::7", "[2001:db8::7]:1433"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    plat_addr* list = nullptr;
    ASSERT_EQ(plat_resolve(c.host, "1433", 0, nullptr, &list), PLAT_READY);
    EXPECT_EQ(plat_addr_count(list), 1);
    EXPECT_EQ(plat_addr_next(list), nullptr);
    char text[64];
    plat_addr_text(list, text, sizeof text);
    EXPECT_STREQ(text, c.text);
    plat_addr_text(list, text, 6);  // cut, and still terminated
    EXPECT_EQ(std::strlen(text), 5u);
    plat_resolve_free(list);
  }
}

}  // namespace
