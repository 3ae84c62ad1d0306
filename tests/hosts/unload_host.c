/* A host that loads the library, leaves work behind in it and unloads it.
 *
 * The host answers name lookups itself for one name, slowly: its own
 * getaddrinfo is exported (-rdynamic), so the library's lookups reach it
 * first. That gives a resolver that hangs, on demand, with nothing mocked
 * below the library: the sockets and threads are the real ones.
 *
 * Checks, in order:
 *   1. a connection test with connect_timeout_ms ends within the bound
 *      even though the resolver hangs;
 *   2. vaultrun_free on a backup stuck in name resolution returns
 *      promptly and the slot reads as free;
 *   3. dlclose while the hung lookups are still inside the library's
 *      threads, then waiting until they return into it: no crash.
 * Prints one line per failure and exits non-zero on any.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netdb.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define SLOW_NAME "hung-resolver.test"
#define SLOW_SECONDS 4

typedef int (*gai_fn)(const char *, const char *, const struct addrinfo *, struct addrinfo **);

int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                struct addrinfo **res) {
  /* A numeric-only conversion never asks the resolver, here as anywhere. */
  int numeric = hints != NULL && (hints->ai_flags & AI_NUMERICHOST) != 0;
  if (!numeric && node != NULL && strcmp(node, SLOW_NAME) == 0) {
    sleep(SLOW_SECONDS);
    return EAI_AGAIN;
  }
  gai_fn real = (gai_fn)dlsym(RTLD_NEXT, "getaddrinfo");
  return real(node, service, hints, res);
}

static int64_t mono_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static int failures;
static void check(int ok, const char *what, const char *detail) {
  if (!ok) {
    printf("FAIL: %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
    failures++;
  }
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: unload_host LIBRARY\n");
    return 2;
  }
  void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == NULL) {
    printf("FAIL: dlopen: %s\n", dlerror());
    return 1;
  }
  const char *(*test)(const char *) = (const char *(*)(const char *))dlsym(lib, "vaultrun_test_connection");
  int32_t (*start)(const char *) = (int32_t(*)(const char *))dlsym(lib, "vaultrun_start");
  int32_t (*status)(int32_t) = (int32_t(*)(int32_t))dlsym(lib, "vaultrun_status");
  void (*release)(int32_t) = (void (*)(int32_t))dlsym(lib, "vaultrun_free");
  if (!test || !start || !status || !release) {
    printf("FAIL: missing exports\n");
    return 1;
  }

  int64_t t0 = mono_ms();
  const char *answer = test("{\"host\":\"" SLOW_NAME "\",\"user\":\"sa\",\"connect_timeout_ms\":500}");
  int64_t took = mono_ms() - t0;
  check(strstr(answer, "\"connect timed out\"") != NULL, "hung resolver under connect_timeout_ms", answer);
  check(took < 2000, "connect_timeout_ms bounds name resolution", NULL);

  int32_t slot = start("{\"host\":\"" SLOW_NAME "\",\"user\":\"sa\",\"database\":\"d\",\"out_path\":\"p\"}");
  check(slot >= 0, "vaultrun_start", NULL);
  if (slot >= 0) {
    struct timespec pause = {0, 200 * 1000000};
    nanosleep(&pause, NULL);
    t0 = mono_ms();
    release(slot);
    took = mono_ms() - t0;
    check(took < 2000, "vaultrun_free returns promptly while the resolver hangs", NULL);
    check(status(slot) == 0, "the slot reads as free after vaultrun_free", NULL);
  }

  /* Both hung lookups are still running on threads the library started. */
  check(dlclose(lib) == 0, "dlclose", dlerror());
  sleep(SLOW_SECONDS + 1);

  printf("%s\n", failures ? "unload_host: FAILED" : "unload_host: passed");
  return failures ? 1 : 0;
}
