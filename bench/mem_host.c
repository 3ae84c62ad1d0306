/* A small host for the memory figures: it prints its resident size
 * (VmRSS) at fixed points. With "library" it loads the library with dlopen
 * and uses it in between; with "baseline" it does everything else the same
 * and never loads it.
 *
 *   mem_host baseline|library LIBRARY PORT OUT_DIR [TLS_PORT CA_FILE]
 *
 * Lines printed (kB): start, after_load, after_listing, during_backups (the
 * largest seen while four backups run at once), after_free, and with
 * TLS_PORT after_tls_test (one encrypted connection test, verified against
 * CA_FILE, which loads OpenSSL). */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static long rss_kb(void) {
  FILE* f = fopen("/proc/self/status", "r");
  char line[256];
  long kb = -1;
  if (f == NULL) return -1;
  while (fgets(line, sizeof line, f) != NULL)
    if (strncmp(line, "VmRSS:", 6) == 0) kb = strtol(line + 6, NULL, 10);
  fclose(f);
  return kb;
}

static void sleep_ms(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, NULL);
}

typedef const char* (*text_fn)(const char*);
typedef int32_t (*start_fn)(const char*);
typedef int32_t (*status_fn)(int32_t);
typedef void (*free_fn)(int32_t);

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: mem_host baseline|library LIBRARY PORT OUT_DIR [TLS_PORT CA_FILE]\n");
    return 1;
  }
  const int use = strcmp(argv[1], "library") == 0;
  const int port = atoi(argv[3]);
  char cfg[512];
  snprintf(cfg, sizeof cfg,
           "{\"host\":\"127.0.0.1\",\"port\":%d,\"user\":\"sa\",\"password\":\"vaultrun\"}", port);

  printf("start %ld\n", rss_kb());

  void* lib = NULL;
  text_fn list = NULL;
  text_fn test = NULL;
  start_fn start = NULL;
  status_fn status = NULL;
  free_fn release = NULL;
  if (use) {
    lib = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
      fprintf(stderr, "mem_host: %s\n", dlerror());
      return 1;
    }
    list = (text_fn)dlsym(lib, "vaultrun_list_databases");
    test = (text_fn)dlsym(lib, "vaultrun_test_connection");
    start = (start_fn)dlsym(lib, "vaultrun_start");
    status = (status_fn)dlsym(lib, "vaultrun_status");
    release = (free_fn)dlsym(lib, "vaultrun_free");
    if (!list || !test || !start || !status || !release) return 1;
  }
  printf("after_load %ld\n", rss_kb());

  if (use) {
    const char* answer = list(cfg);
    if (strncmp(answer, "{\"ok\":true", 10) != 0) {
      fprintf(stderr, "mem_host: %s\n", answer);
      return 1;
    }
  }
  printf("after_listing %ld\n", rss_kb());

  long peak = rss_kb();
  if (use) {
    int32_t s[4];
    for (int i = 0; i < 4; ++i) {
      char bcfg[1024];
      snprintf(bcfg, sizeof bcfg,
               "{\"host\":\"127.0.0.1\",\"port\":%d,\"user\":\"sa\",\"password\":\"vaultrun\","
               "\"database\":\"db%04d\",\"out_path\":\"%s/db%04d.bak\"}",
               port, i + 1, argv[4], i + 1);
      s[i] = start(bcfg);
      if (s[i] < 0) {
        fprintf(stderr, "mem_host: start failed (%d)\n", s[i]);
        return 1;
      }
    }
    for (;;) {
      int running = 0;
      for (int i = 0; i < 4; ++i) {
        int32_t st = status(s[i]);
        if (st == 1 || st == 2) running = 1;
        else if (st != 3) {
          fprintf(stderr, "mem_host: backup %d ended in state %d\n", i, st);
          return 1;
        }
      }
      long now = rss_kb();
      if (now > peak) peak = now;
      if (!running) break;
      sleep_ms(5);
    }
    for (int i = 0; i < 4; ++i) release(s[i]);
  }
  printf("during_backups %ld\n", peak);
  printf("after_free %ld\n", rss_kb());

  if (argc >= 7) {
    if (use) {
      char tcfg[1400];
      snprintf(tcfg, sizeof tcfg,
               "{\"host\":\"127.0.0.1\",\"port\":%d,\"user\":\"sa\",\"password\":\"vaultrun\","
               "\"encrypt\":true,\"ca_file\":\"%.1024s\"}",
               atoi(argv[5]), argv[6]);
      const char* answer = test(tcfg);
      if (strncmp(answer, "{\"ok\":true", 10) != 0) {
        fprintf(stderr, "mem_host: %s\n", answer);
        return 1;
      }
    }
    printf("after_tls_test %ld\n", rss_kb());
  }
  return 0;
}
