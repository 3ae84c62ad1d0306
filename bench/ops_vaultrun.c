/* The library through its public interface: each operation is one
 * vaultrun_test_connection or vaultrun_list_databases call, which parses the
 * configuration, connects, logs in, runs the statement, builds the JSON
 * answer and closes.
 *
 *   ops_vaultrun PORT test|list N [CA_FILE|trust]
 *
 * With CA_FILE the connection is encrypted ("encrypt": true) and the
 * server's certificate is checked against that PEM file; with "trust" it is
 * encrypted without the check ("trust_server_certificate": true).
 *
 * Prints one line per operation: nanoseconds, then the databases listed
 * (1 for a connection test). Any answer that is not a success stops it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "vaultrun.h"

static long long now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int count_of(const char* text, const char* what) {
  int n = 0;
  size_t len = strlen(what);
  for (const char* p = strstr(text, what); p != NULL; p = strstr(p + len, what)) ++n;
  return n;
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: ops_vaultrun PORT test|list N [CA_FILE|trust]\n");
    return 1;
  }
  const int port = atoi(argv[1]);
  const int list = strcmp(argv[2], "list") == 0;
  const int n = atoi(argv[3]);
  char tls[1200] = "";
  if (argc >= 5 && strcmp(argv[4], "trust") == 0)
    snprintf(tls, sizeof tls, ",\"encrypt\":true,\"trust_server_certificate\":true");
  else if (argc >= 5)
    snprintf(tls, sizeof tls, ",\"encrypt\":true,\"ca_file\":\"%s\"", argv[4]);
  char cfg[1400];
  snprintf(cfg, sizeof cfg,
           "{\"host\":\"127.0.0.1\",\"port\":%d,\"user\":\"sa\",\"password\":\"vaultrun\"%s}",
           port, tls);

  for (int i = 0; i < n; ++i) {
    const long long t0 = now_ns();
    const char* answer = list ? vaultrun_list_databases(cfg) : vaultrun_test_connection(cfg);
    const long long t1 = now_ns();
    if (strncmp(answer, "{\"ok\":true", 10) != 0) {
      fprintf(stderr, "ops_vaultrun: %s\n", answer);
      return 1;
    }
    printf("%lld %d\n", t1 - t0, list ? count_of(answer, "\"name\":") : 1);
  }
  return 0;
}
