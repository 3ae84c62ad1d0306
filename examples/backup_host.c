/*
 * A minimal host of the vaultrun library: tests the connection, lists the
 * databases, backs one up while polling its progress, prints the result and
 * releases the session.
 *
 *   backup_host --version
 *   VAULTRUN_PASSWORD=... backup_host HOST PORT USER DATABASE OUT_PATH
 *
 * Build against an installed copy with
 *   cc backup_host.c $(pkg-config --cflags --libs vaultrun)
 * or with CMake through find_package(vaultrun) (see CMakeLists.txt here).
 */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <vaultrun.h>

/* Appends s to out as a JSON string. The library reads \" \\ \n \r \t;
 * other control characters have no place in these values. */
static int put_json_string(char *out, size_t cap, const char *s) {
  size_t n = strlen(out);
  if (n + 1 >= cap) return -1;
  out[n++] = '"';
  for (; *s; ++s) {
    const char *esc = NULL;
    switch (*s) {
      case '"': esc = "\\\""; break;
      case '\\': esc = "\\\\"; break;
      case '\n': esc = "\\n"; break;
      case '\r': esc = "\\r"; break;
      case '\t': esc = "\\t"; break;
      default:
        if ((unsigned char)*s < 0x20) return -1;
    }
    if (esc) {
      if (n + 2 >= cap) return -1;
      out[n++] = esc[0];
      out[n++] = esc[1];
    } else {
      if (n + 1 >= cap) return -1;
      out[n++] = *s;
    }
  }
  if (n + 2 >= cap) return -1;
  out[n++] = '"';
  out[n] = 0;
  return 0;
}

static int put_member(char *out, size_t cap, const char *key, const char *value) {
  size_t n = strlen(out);
  if (n + strlen(key) + 5 >= cap) return -1;
  sprintf(out + n, "%s\"%s\":", n > 1 ? "," : "", key);
  return put_json_string(out, cap, value);
}

static void sleep_ms(long ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = (ms % 1000) * 1000000L;
  nanosleep(&ts, NULL);
}

int main(int argc, char **argv) {
  char config[4096] = "{";
  const char *password = getenv("VAULTRUN_PASSWORD");
  const char *answer;
  int32_t session, state;
  char last[1024] = "";
  char result[2048];
  int ok;

  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("%s\n", vaultrun_version());
    return 0;
  }
  if (argc != 6) {
    fprintf(stderr, "usage: backup_host HOST PORT USER DATABASE OUT_PATH (password in VAULTRUN_PASSWORD)\n");
    return 2;
  }
  if (put_member(config, sizeof config, "host", argv[1]) != 0 ||
      strspn(argv[2], "0123456789") != strlen(argv[2]) || strlen(argv[2]) - 1 > 4 ||
      sprintf(config + strlen(config), ",\"port\":%s", argv[2]) < 0 ||
      put_member(config, sizeof config, "user", argv[3]) != 0 ||
      put_member(config, sizeof config, "password", password ? password : "") != 0 ||
      put_member(config, sizeof config, "database", argv[4]) != 0 ||
      put_member(config, sizeof config, "out_path", argv[5]) != 0 ||
      strlen(config) + 2 > sizeof config) {
    fprintf(stderr, "backup_host: bad port, or arguments too long or holding control characters\n");
    return 2;
  }
  strcat(config, "}");

  /* The answers live in the library's storage until the next call of the
   * same kind; print them before calling again. */
  answer = vaultrun_test_connection(config);
  printf("test: %s\n", answer);
  if (strncmp(answer, "{\"ok\":true", 10) != 0) return 1;
  printf("list: %s\n", vaultrun_list_databases(config));

  session = vaultrun_start(config);
  if (session < 0) {
    fprintf(stderr, "backup_host: cannot start: %s\n", vaultrun_last_error());
    return 1;
  }
  do {
    const char *progress = vaultrun_progress(session);
    state = vaultrun_status(session);
    if (strcmp(progress, last) != 0) {
      printf("progress: %s\n", progress);
      snprintf(last, sizeof last, "%s", progress);
    }
    if (state == VAULTRUN_SESSION_STARTING || state == VAULTRUN_SESSION_RUNNING) sleep_ms(200);
  } while (state == VAULTRUN_SESSION_STARTING || state == VAULTRUN_SESSION_RUNNING);

  snprintf(result, sizeof result, "%s", vaultrun_result(session));
  vaultrun_free(session);
  printf("result: %s\n", result);
  ok = strncmp(result, "{\"ok\":true", 10) == 0;
  return ok ? 0 : 1;
}
