/*
 * A Windows host for kestrova-vaultrun.dll: loads the module at run time and
 * finds the ten exports by name, as a real host does, then drives them
 * against the simulated server on loopback.
 *
 *   win_host.exe PORT [SILENT_PORT] [name=value ...]
 *
 * The server at PORT is expected to hold the sample catalog (inventory,
 * sales, hr, and archive offline) with the login sa / vaultrun, and to take
 * about 50 ms per MB for a backup, so that "hr" (16 MB) ends in about a
 * second and "sales" (512 MB) runs long enough to be cancelled. The server at
 * SILENT_PORT, when given, accepts the login and then never answers a batch.
 * The name=value arguments name servers that encrypt (see struct tls_args);
 * the encrypted tests run only when they are given.
 * The module is loaded by its name, so Windows finds it beside this program.
 * The last line printed is "N passed, M failed"; the exit code is 0 only when
 * nothing failed.
 */
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <tlhelp32.h>

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The public header serves a host that links nothing: its declarations are
 * only compiled here, and every call goes through GetProcAddress. */
#include "vaultrun.h"

enum {
  ST_FREE = VAULTRUN_SESSION_FREE,
  ST_STARTING = VAULTRUN_SESSION_STARTING,
  ST_RUNNING = VAULTRUN_SESSION_RUNNING,
  ST_DONE = VAULTRUN_SESSION_DONE,
  ST_FAILED = VAULTRUN_SESSION_FAILED
};

typedef const char *(*text_fn)(void);
typedef const char *(*config_fn)(const char *);
typedef int32_t (*start_fn)(const char *);
typedef int32_t (*status_fn)(int32_t);
typedef const char *(*session_text_fn)(int32_t);
typedef void (*session_fn)(int32_t);

static struct {
  text_fn version;
  text_fn last_error;
  config_fn test_connection;
  config_fn list_databases;
  start_fn start;
  status_fn status;
  session_text_fn progress;
  session_text_fn result;
  session_fn cancel;
  session_fn free_slot;
} api;

/* The server's own text for a refused login, passed on unchanged. */
#define LOGIN_REFUSED "Login failed for user 'sa'."

static HMODULE module;
static int passed, failed;
static int port, silent_port;

/* Servers that require encryption, each with the PEM of the certificate it
 * presents (Windows paths). "relay" forwards to the "tls" server, cutting
 * the server's bytes into pieces of ever other sizes, so that TLS records
 * arrive split and joined. */
static struct {
  int tls, relay, wrong_name, expired, strict, old_tls, garbage, drop;
  const char *ca, *wrong_name_ca, *expired_ca, *strict_ca, *old_tls_ca;
} tls_args;

static void check(int ok, const char *name, const char *fmt, ...) {
  if (ok) {
    passed++;
    printf("ok - %s\n", name);
  } else {
    va_list ap;
    failed++;
    printf("FAIL - %s: ", name);
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    printf("\n");
  }
  fflush(stdout);
}

static int contains(const char *text, const char *part) { return text && strstr(text, part) != NULL; }

/* The integer that follows "key": in a JSON answer, or -1 when absent. */
static long long json_int(const char *text, const char *key) {
  char pattern[64];
  const char *p;
  snprintf(pattern, sizeof pattern, "\"%s\":", key);
  p = text ? strstr(text, pattern) : NULL;
  if (!p) return -1;
  return _strtoi64(p + strlen(pattern), NULL, 10);
}

static const char *cfg(const char *database, const char *extra) {
  static char buf[1024];
  snprintf(buf, sizeof buf,
           "{\"host\":\"127.0.0.1\",\"port\":%d,\"user\":\"sa\",\"password\":\"vaultrun\","
           "\"database\":\"%s\",\"out_path\":\"C:\\\\backup\\\\%s.bak\"%s}",
           port, database, database, extra ? extra : "");
  return buf;
}

/* Polls until the session leaves STARTING/RUNNING or the time runs out;
 * returns the last state seen. */
static int32_t wait_end(int32_t s, DWORD limit_ms) {
  DWORD t0 = GetTickCount();
  int32_t st;
  for (;;) {
    st = api.status(s);
    if (st != ST_STARTING && st != ST_RUNNING) return st;
    if (GetTickCount() - t0 > limit_ms) return st;
    Sleep(20);
  }
}

/* Polls until the session has logged in and runs its backup. */
static int32_t wait_running(int32_t s, DWORD limit_ms) {
  DWORD t0 = GetTickCount();
  int32_t st;
  while ((st = api.status(s)) == ST_STARTING && GetTickCount() - t0 <= limit_ms) Sleep(10);
  return st;
}

static int load(const char *dll_path) {
  HMODULE m = module = LoadLibraryA(dll_path);
  check(m != NULL, "LoadLibrary", "%s: error %lu", dll_path, (unsigned long)GetLastError());
  if (!m) return -1;
  {
    const struct { const char *name; FARPROC *slot; } exports[] = {
        {"vaultrun_version", (FARPROC *)&api.version},
        {"vaultrun_last_error", (FARPROC *)&api.last_error},
        {"vaultrun_test_connection", (FARPROC *)&api.test_connection},
        {"vaultrun_list_databases", (FARPROC *)&api.list_databases},
        {"vaultrun_start", (FARPROC *)&api.start},
        {"vaultrun_status", (FARPROC *)&api.status},
        {"vaultrun_progress", (FARPROC *)&api.progress},
        {"vaultrun_result", (FARPROC *)&api.result},
        {"vaultrun_cancel", (FARPROC *)&api.cancel},
        {"vaultrun_free", (FARPROC *)&api.free_slot},
    };
    int missing = 0;
    size_t i;
    for (i = 0; i < sizeof exports / sizeof exports[0]; i++) {
      *exports[i].slot = GetProcAddress(m, exports[i].name);
      if (!*exports[i].slot) {
        printf("  no export %s\n", exports[i].name);
        missing++;
      }
    }
    check(missing == 0, "GetProcAddress finds the ten exports", "%d missing", missing);
    return missing ? -1 : 0;
  }
}

/* Threads of this process, from a system snapshot. */
static int thread_count(void) {
  DWORD self = GetCurrentProcessId();
  THREADENTRY32 te;
  int n = 0;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  te.dwSize = sizeof te;
  if (Thread32First(snap, &te)) {
    do {
      if (te.th32OwnerProcessID == self) n++;
    } while (Thread32Next(snap, &te));
  }
  CloseHandle(snap);
  return n;
}

/* A loopback port that refuses connections: bound, never listening. */
static int refusing_port(SOCKET *holder) {
  struct sockaddr_in a;
  int len = sizeof a;
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  *holder = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (*holder == INVALID_SOCKET || bind(*holder, (struct sockaddr *)&a, sizeof a) != 0 ||
      getsockname(*holder, (struct sockaddr *)&a, &len) != 0)
    return -1;
  return ntohs(a.sin_port);
}

static void test_version_and_bad_input(void) {
  const char *v = api.version();
  check(v && strcmp(v, "kestrova-vaultrun 1.0.0") == 0, "version", "got \"%s\"", v ? v : "(null)");

  {
    const struct { const char *name; const char *config; const char *error; } cases[] = {
        {"null config", NULL, "invalid config json"},
        {"not JSON", "{\"host\":", "invalid config json"},
        {"empty text", "", "invalid config json"},
        {"no user", "{\"host\":\"127.0.0.1\",\"password\":\"x\"}", "user required"},
    };
    size_t i;
    for (i = 0; i < sizeof cases / sizeof cases[0]; i++) {
      char name[96], want[128];
      const char *a;
      snprintf(want, sizeof want, "{\"ok\":false,\"error\":\"%s\"}", cases[i].error);
      snprintf(name, sizeof name, "test_connection: %s", cases[i].name);
      a = api.test_connection(cases[i].config);
      check(a && strcmp(a, want) == 0 && strcmp(api.last_error(), cases[i].error) == 0, name,
            "answer %s, last_error \"%s\"", a ? a : "(null)", api.last_error());
      snprintf(name, sizeof name, "list_databases: %s", cases[i].name);
      a = api.list_databases(cases[i].config);
      check(a && strcmp(a, want) == 0, name, "answer %s", a ? a : "(null)");
    }
  }
  {
    const struct { const char *name; const char *config; const char *error; } cases[] = {
        {"null config", NULL, "invalid config json"},
        {"not JSON", "[1,", "invalid config json"},
        {"no database", "{\"user\":\"sa\",\"out_path\":\"C:\\\\b.bak\"}", "user, database and out_path required"},
        {"empty out_path", "{\"user\":\"sa\",\"database\":\"hr\",\"out_path\":\"\"}", "user, database and out_path required"},
        {"no user", "{\"database\":\"hr\",\"out_path\":\"C:\\\\b.bak\"}", "user, database and out_path required"},
    };
    size_t i;
    for (i = 0; i < sizeof cases / sizeof cases[0]; i++) {
      char name[96];
      int32_t r = api.start(cases[i].config);
      snprintf(name, sizeof name, "start: %s", cases[i].name);
      check(r == -1 && strcmp(api.last_error(), cases[i].error) == 0, name, "returned %d, last_error \"%s\"",
            (int)r, api.last_error());
    }
    {
      int taken = 0;
      for (i = 0; i < 4; i++) taken += api.status((int32_t)i) != ST_FREE;
      check(taken == 0, "rejected starts take no slot", "%d slots taken", taken);
    }
  }
  {
    const int32_t bad[] = {-1, 4, 7, INT32_MAX, INT32_MIN};
    size_t i;
    int wrong = 0;
    for (i = 0; i < sizeof bad / sizeof bad[0]; i++) {
      int32_t s = bad[i];
      if (api.status(s) != -1) wrong++, printf("  status(%d) = %d\n", (int)s, (int)api.status(s));
      if (strcmp(api.progress(s), "{\"error\":\"bad session\"}") != 0)
        wrong++, printf("  progress(%d) = %s\n", (int)s, api.progress(s));
      if (strcmp(api.result(s), "{\"ok\":false,\"error\":\"bad session\"}") != 0)
        wrong++, printf("  result(%d) = %s\n", (int)s, api.result(s));
      api.cancel(s);
      api.free_slot(s);
    }
    check(wrong == 0, "bad session indexes", "%d wrong answers", wrong);
  }
  {
    const char *p = api.progress(0);
    const char *r = api.result(0);
    check(strcmp(p, "{\"state\":0,\"percent\":0,\"message\":\"\",\"elapsed_ms\":0}") == 0 &&
              strcmp(r, "{\"ok\":false,\"error\":\"not finished\"}") == 0,
          "unused slot answers", "progress %s, result %s", p, r);
  }
}

static void test_connection_and_listing(void) {
  const char *a = api.test_connection(cfg("hr", NULL));
  check(contains(a, "{\"ok\":true,\"server_version\":\"16.0.4135.4"), "test_connection", "answer %s", a);

  a = api.list_databases(cfg("hr", NULL));
  check(contains(a, "{\"ok\":true,\"databases\":[") && contains(a, "{\"name\":\"inventory\",\"size_mb\":64,\"recovery\":\"FULL\"}") &&
            contains(a, "\"name\":\"sales\"") && contains(a, "\"name\":\"hr\"") && !contains(a, "archive") &&
            !contains(a, "master"),
        "list_databases: online user databases only", "answer %s", a);

  {
    char wrong[512];
    snprintf(wrong, sizeof wrong, "{\"host\":\"127.0.0.1\",\"port\":%d,\"user\":\"sa\",\"password\":\"nope\"}", port);
    a = api.test_connection(wrong);
    check(strcmp(a, "{\"ok\":false,\"error\":\"" LOGIN_REFUSED "\"}") == 0 &&
              strcmp(api.last_error(), LOGIN_REFUSED) == 0,
          "test_connection: wrong password", "answer %s, last_error \"%s\"", a, api.last_error());
  }
  {
    SOCKET holder = INVALID_SOCKET;
    int closed = refusing_port(&holder);
    const char *timeouts[] = {"", ",\"connect_timeout_ms\":3000"};
    size_t i;
    for (i = 0; i < 2; i++) {
      char c[512], name[96];
      DWORD t0 = GetTickCount();
      snprintf(c, sizeof c, "{\"host\":\"127.0.0.1\",\"port\":%d,\"user\":\"sa\",\"password\":\"x\"%s}", closed,
               timeouts[i]);
      a = api.test_connection(c);
      snprintf(name, sizeof name, "refused connection%s", i ? " (with a connect time-out)" : "");
      check(closed > 0 && strcmp(a, "{\"ok\":false,\"error\":\"connect failed\"}") == 0, name,
            "port %d, answer %s after %lu ms", closed, a, (unsigned long)(GetTickCount() - t0));
    }
    if (holder != INVALID_SOCKET) closesocket(holder);
  }
  a = api.test_connection("{\"host\":\"no-such-host.invalid\",\"user\":\"sa\"}");
  check(strcmp(a, "{\"ok\":false,\"error\":\"cannot resolve host\"}") == 0, "unresolvable host", "answer %s", a);
}

static void test_backup_with_verification(void) {
  DWORD t0 = GetTickCount(), wall;
  int32_t s = api.start(cfg("hr", ",\"verify\":true"));
  int32_t st;
  const char *r, *p;
  check(s == 0, "start takes the lowest free slot", "returned %d (%s)", (int)s, api.last_error());
  if (s < 0) return;
  check(strcmp(api.result(s), "{\"ok\":false,\"error\":\"not finished\"}") == 0 || api.status(s) == ST_DONE,
        "result before the end", "%s", api.result(s));
  st = wait_end(s, 30000);
  wall = GetTickCount() - t0;
  r = api.result(s);
  check(st == ST_DONE, "backup with verification ends done", "state %d, result %s", (int)st, r);
  check(contains(r, "{\"ok\":true,\"out_path\":\"C:\\\\backup\\\\hr.bak\",\"verified\":true,\"pages\":") &&
            json_int(r, "pages") > 0,
        "result document", "%s", r);
  /* The backup takes about a second on the server. The elapsed time comes
   * from the performance counter and must read as real milliseconds: no
   * shorter than the server's work, no longer than the host has waited. */
  check(json_int(r, "elapsed_ms") >= 500 && json_int(r, "elapsed_ms") <= (long long)wall + 50,
        "elapsed time in milliseconds", "%s, host waited %lu ms", r, (unsigned long)wall);
  p = api.progress(s);
  check(json_int(p, "state") == ST_DONE && json_int(p, "percent") == 100 && !contains(p, "\"message\":\"\""),
        "progress after the end", "%s", p);
  api.cancel(s);
  check(api.status(s) == ST_DONE, "cancel of an ended session changes nothing", "state %d", (int)api.status(s));
  api.free_slot(s);
  check(api.status(s) == ST_FREE && p[0] == 0, "free releases the slot and empties its answers",
        "state %d, old progress \"%s\"", (int)api.status(s), p);
  api.free_slot(s);
  check(api.status(s) == ST_FREE, "free twice", "state %d", (int)api.status(s));
}

static void test_cancel_and_free(void) {
  int32_t s = api.start(cfg("sales", ",\"verify\":true"));
  int32_t st;
  DWORD t0;
  if (s < 0) {
    check(0, "start slow backup", "returned %d (%s)", (int)s, api.last_error());
    return;
  }
  st = wait_running(s, 10000);
  check(st == ST_RUNNING, "slow backup runs", "state %d", (int)st);
  check(strcmp(api.result(s), "{\"ok\":false,\"error\":\"not finished\"}") == 0, "running session's result", "%s",
        api.result(s));
  t0 = GetTickCount();
  api.cancel(s);
  api.cancel(s);
  st = wait_end(s, 10000);
  check(st == ST_FAILED && strcmp(api.result(s), "{\"ok\":false,\"error\":\"cancelled\"}") == 0,
        "cancel of a running backup", "state %d, result %s", (int)st, api.result(s));
  check(GetTickCount() - t0 < 5000, "cancel takes effect promptly", "%lu ms", (unsigned long)(GetTickCount() - t0));
  api.free_slot(s);
  check(api.status(s) == ST_FREE, "free after cancel", "state %d", (int)api.status(s));

  /* Free on a session that still runs: cancels, waits for the worker, and
   * hands the slot out again. */
  s = api.start(cfg("sales", NULL));
  if (s >= 0) {
    check(wait_running(s, 10000) == ST_RUNNING, "second slow backup runs", "state %d", (int)api.status(s));
    t0 = GetTickCount();
    api.free_slot(s);
    check(api.status(s) == ST_FREE && GetTickCount() - t0 < 10000, "free of a running session",
          "state %d after %lu ms", (int)api.status(s), (unsigned long)(GetTickCount() - t0));
    check(api.start(cfg("hr", NULL)) == s, "freed slot is taken again", "%s", api.last_error());
    /* Only its own worker writes into the slot now: the one that was freed
     * has ended, so nothing of the cancelled run shows up here. */
    check(wait_end(s, 30000) == ST_DONE && contains(api.result(s), "\"ok\":true"), "new session in a freed slot",
          "%s", api.result(s));
    api.free_slot(s);
  }
}

/* A restore through the exports: a full and a log backup of hr, then hr
 * brought back from the server's history under a new name, its files in the
 * server's default folders. The progress names the step while it runs, the
 * result lists the sets, and the copy shows in the listing. */
static void test_restore(void) {
  static const char *const kinds[] = {"full", "log"};
  char c[1024], name[64];
  const char *r, *a;
  int32_t s, st;
  int i, saw_step = 0;
  DWORD t0;
  for (i = 0; i < 2; i++) {
    snprintf(c, sizeof c,
             "{\"host\":\"127.0.0.1\",\"port\":%d,\"user\":\"sa\",\"password\":\"vaultrun\","
             "\"database\":\"hr\",\"out_path\":\"C:\\\\backup\\\\hr_chain_%s.bak\",\"type\":\"%s\","
             "\"verify\":false}",
             port, kinds[i], kinds[i]);
    s = api.start(c);
    st = s >= 0 ? wait_end(s, 30000) : ST_FAILED;
    snprintf(name, sizeof name, "restore: the %s backup of the chain", kinds[i]);
    check(st == ST_DONE, name, "state %d, %s", (int)st, s >= 0 ? api.result(s) : api.last_error());
    if (s >= 0) api.free_slot(s);
  }
  snprintf(c, sizeof c,
           "{\"host\":\"127.0.0.1\",\"port\":%d,\"user\":\"sa\",\"password\":\"vaultrun\","
           "\"operation\":\"restore\",\"database\":\"hr_copy\",\"source_database\":\"hr\"}",
           port);
  s = api.start(c);
  check(s >= 0, "restore starts", "returned %d (%s)", (int)s, api.last_error());
  if (s < 0) return;
  t0 = GetTickCount();
  while (((st = api.status(s)) == ST_STARTING || st == ST_RUNNING) && GetTickCount() - t0 < 60000) {
    const char *p = api.progress(s);
    if (contains(p, "\"steps\":") && contains(p, "\"step_type\":")) saw_step = 1;
    Sleep(20);
  }
  r = api.result(s);
  check(st == ST_DONE && contains(r, "{\"ok\":true,\"database\":\"hr_copy\",\"source_database\":\"hr\","),
        "restore under a new name", "state %d, result %s", (int)st, r);
  check(contains(r, "{\"type\":\"full\"") && contains(r, "{\"type\":\"log\"") &&
            contains(r, "\"recovered\":true") && json_int(r, "elapsed_ms") >= 0,
        "restore: the sets restored", "%s", r);
  check(saw_step, "restore: the progress names the step", "last progress %s", api.progress(s));
  api.free_slot(s);
  a = api.list_databases(cfg("hr", NULL));
  check(contains(a, "\"name\":\"hr_copy\""), "restore: the copy is listed", "%s", a);
}

/* Bounds on waiting for a server that has stopped answering: the waits are
 * cut at the deadline, not left to the socket. */
static void test_time_outs(void) {
  char c[512];
  const char *a;
  DWORD t0, ms;
  if (silent_port <= 0) return;
  snprintf(c, sizeof c,
           "{\"host\":\"127.0.0.1\",\"port\":%d,\"user\":\"sa\",\"password\":\"vaultrun\","
           "\"query_timeout_ms\":500}",
           silent_port);
  t0 = GetTickCount();
  a = api.list_databases(c);
  ms = GetTickCount() - t0;
  check(strcmp(a, "{\"ok\":false,\"error\":\"query timed out\"}") == 0 && ms >= 400 && ms < 8000,
        "query time-out on a silent server", "answer %s after %lu ms", a, (unsigned long)ms);

  /* A cancelled worker whose server stays silent lingers a while before it
   * returns. Free must wait for it to end, not just give up its handle: the
   * process holds no more threads afterwards than before the start. */
  snprintf(c, sizeof c,
           "{\"host\":\"127.0.0.1\",\"port\":%d,\"user\":\"sa\",\"password\":\"vaultrun\","
           "\"database\":\"hr\",\"out_path\":\"C:\\\\b.bak\"}",
           silent_port);
  {
    int before = thread_count(), after;
    int32_t s = api.start(c);
    if (s < 0) {
      check(0, "backup on a silent server", "start returned %d (%s)", (int)s, api.last_error());
      return;
    }
    check(wait_running(s, 10000) == ST_RUNNING, "backup on a silent server runs", "state %d", (int)api.status(s));
    Sleep(200);
    t0 = GetTickCount();
    api.free_slot(s);
    ms = GetTickCount() - t0;
    /* Thread records may take a moment to disappear from the snapshot. */
    while ((after = thread_count()) > before && GetTickCount() - t0 < ms + 2000) Sleep(50);
    check(api.status(s) == ST_FREE && after <= before && ms < 11000, "free waits for a lingering worker",
          "free returned after %lu ms; threads %d before the start, %d after the free", (unsigned long)ms, before,
          after);
  }
}

static void test_slots_and_login_failure(void) {
  int32_t s[4];
  int i, done = 0;
  for (i = 0; i < 4; i++) s[i] = api.start(cfg("hr", ",\"verify\":false"));
  check(s[0] == 0 && s[1] == 1 && s[2] == 2 && s[3] == 3, "four sessions at once", "%d %d %d %d", (int)s[0],
        (int)s[1], (int)s[2], (int)s[3]);
  check(api.start(cfg("hr", NULL)) == -2 && strcmp(api.last_error(), "no free sessions") == 0, "fifth start",
        "last_error \"%s\"", api.last_error());
  for (i = 0; i < 4; i++) {
    if (s[i] < 0) continue;
    if (wait_end(s[i], 30000) == ST_DONE && contains(api.result(s[i]), "\"verified\":false")) done++;
    else printf("  session %d: %s\n", (int)s[i], api.result(s[i]));
  }
  check(done == 4, "four concurrent backups end done", "%d done", done);
  for (i = 0; i < 4; i++) api.free_slot(s[i]);

  {
    char c[512];
    int32_t f;
    snprintf(c, sizeof c,
             "{\"host\":\"127.0.0.1\",\"port\":%d,\"user\":\"sa\",\"password\":\"wrong\",\"database\":\"hr\","
             "\"out_path\":\"C:\\\\b.bak\"}",
             port);
    f = api.start(c);
    check(f >= 0 && wait_end(f, 10000) == ST_FAILED &&
              strcmp(api.result(f), "{\"ok\":false,\"error\":\"" LOGIN_REFUSED "\"}") == 0,
          "backup with a failed login", "start %d, result %s", (int)f, f >= 0 ? api.result(f) : "");
    if (f >= 0) api.free_slot(f);
  }
}

/* A host that unloads the module while a backup still runs: the worker keeps
 * the module in place until it has ended, and lets it go then. Runs last:
 * once it is over, the function pointers lead nowhere. */
static void test_unload_while_running(void) {
  int32_t s = api.start(cfg("sales", NULL));
  HMODULE again;
  DWORD t0;
  if (s < 0 || wait_running(s, 10000) != ST_RUNNING) {
    check(0, "backup to outlive the host's reference", "start %d, state %d", (int)s, s < 0 ? -1 : (int)api.status(s));
    return;
  }
  FreeLibrary(module);
  check(GetModuleHandleA("kestrova-vaultrun.dll") == module, "module stays while a worker runs", "handle %p",
        (void *)GetModuleHandleA("kestrova-vaultrun.dll"));
  /* The same module, sessions and all, comes back. */
  again = LoadLibraryA("kestrova-vaultrun.dll");
  check(again == module && api.status(s) == ST_RUNNING, "reloading finds the running session",
        "handle %p, state %d", (void *)again, again == module ? (int)api.status(s) : -1);
  if (again != module) return;
  api.cancel(s);
  wait_end(s, 10000);
  api.free_slot(s);
  FreeLibrary(again);
  t0 = GetTickCount();
  while (GetModuleHandleA("kestrova-vaultrun.dll") != NULL && GetTickCount() - t0 < 3000) Sleep(20);
  check(GetModuleHandleA("kestrova-vaultrun.dll") == NULL, "module unloads once nothing holds it", "still loaded");
}

/* ---- Encrypted connections --------------------------------------------- */

static int parse_tls_args(int argc, char **argv) {
  const struct { const char *name; int *port; const char **text; } keys[] = {
      {"tls=", &tls_args.tls, NULL},
      {"relay=", &tls_args.relay, NULL},
      {"wrong_name=", &tls_args.wrong_name, NULL},
      {"expired=", &tls_args.expired, NULL},
      {"strict=", &tls_args.strict, NULL},
      {"old_tls=", &tls_args.old_tls, NULL},
      {"garbage=", &tls_args.garbage, NULL},
      {"drop=", &tls_args.drop, NULL},
      {"old_tls_ca=", NULL, &tls_args.old_tls_ca},
      {"ca=", NULL, &tls_args.ca},
      {"wrong_name_ca=", NULL, &tls_args.wrong_name_ca},
      {"expired_ca=", NULL, &tls_args.expired_ca},
      {"strict_ca=", NULL, &tls_args.strict_ca},
  };
  int i;
  size_t k;
  for (i = 3; i < argc; i++) {
    for (k = 0; k < sizeof keys / sizeof keys[0]; k++) {
      size_t n = strlen(keys[k].name);
      if (strncmp(argv[i], keys[k].name, n) != 0) continue;
      if (keys[k].port) *keys[k].port = atoi(argv[i] + n);
      else *keys[k].text = argv[i] + n;
      break;
    }
    if (k == sizeof keys / sizeof keys[0]) {
      fprintf(stderr, "unknown argument %s\n", argv[i]);
      return 0;
    }
  }
  return 1;
}

/* A configuration for an encrypted connection: host and port, then the
 * encryption keys as given (JSON members, each starting with a comma). */
static const char *tls_cfg(const char *host, int p, const char *database, const char *keys) {
  static char buf[2048];
  snprintf(buf, sizeof buf,
           "{\"host\":\"%s\",\"port\":%d,\"user\":\"sa\",\"password\":\"vaultrun\",\"database\":\"%s\","
           "\"out_path\":\"C:\\\\backup\\\\%s.bak\"%s}",
           host, p, database, database, keys);
  return buf;
}

/* ",\"encrypt\":MODE,\"ca_file\":\"PATH\"" into buf. */
static const char *with_ca(char *buf, size_t cap, const char *mode, const char *ca) {
  snprintf(buf, cap, ",\"encrypt\":%s,\"ca_file\":\"%s\"", mode, ca);
  return buf;
}

static void test_encrypted_basics(void) {
  char keys[1024];
  const char *a, *ca = tls_args.ca;
  with_ca(keys, sizeof keys, "true", ca);
  a = api.test_connection(tls_cfg("127.0.0.1", tls_args.tls, "hr", keys));
  check(contains(a, "{\"ok\":true,\"server_version\":\"16.0.4135.4"), "TLS: test_connection, address checked",
        "answer %s", a);
  a = api.list_databases(tls_cfg("127.0.0.1", tls_args.tls, "hr", keys));
  check(contains(a, "{\"ok\":true,\"databases\":[") && contains(a, "\"name\":\"sales\"") && !contains(a, "archive"),
        "TLS: list_databases", "answer %s", a);
  a = api.test_connection(tls_cfg("localhost", tls_args.tls, "hr", keys));
  check(contains(a, "\"ok\":true"), "TLS: host name checked", "answer %s", a);
  {
    /* Every refusal, and the one way to skip the checks. */
    const struct { const char *name; const char *host; const char *keys; const char *want; } cases[] = {
        {"name in certificate differs", "127.0.0.1", ",\"host_name_in_certificate\":\"db.example\"",
         "{\"ok\":false,\"error\":\"server certificate does not match db.example\"}"},
        {"system roots do not hold a self-signed certificate", "127.0.0.1", ",\"encrypt\":true",
         "{\"ok\":false,\"error\":\"server certificate not trusted: "},
        {"ca_file missing", "127.0.0.1", ",\"encrypt\":true,\"ca_file\":\"C:/no/such/ca.pem\"",
         "{\"ok\":false,\"error\":\"cannot read ca_file\"}"},
        {"trust_server_certificate", "127.0.0.1", ",\"encrypt\":true,\"trust_server_certificate\":true",
         "{\"ok\":true,\"server_version\":"},
        {"clear text refused by the server", "127.0.0.1", "", "{\"ok\":false,\"error\":"},
    };
    size_t i;
    for (i = 0; i < sizeof cases / sizeof cases[0]; i++) {
      char k[1536], name[128];
      if (i == 0) snprintf(k, sizeof k, "%s%s", keys, cases[i].keys);
      else snprintf(k, sizeof k, "%s", cases[i].keys);
      a = api.test_connection(tls_cfg(cases[i].host, tls_args.tls, "hr", k));
      snprintf(name, sizeof name, "TLS: %s", cases[i].name);
      check(strncmp(a, cases[i].want, strlen(cases[i].want)) == 0, name, "answer %s", a);
    }
  }
}

/* Servers whose certificate is refused even with it as ca_file, and
 * handshakes that break. */
static void test_refused_certificates(void) {
  const struct { const char *name; int port; const char *ca; const char *want; } cases[] = {
      {"certificate for another name", tls_args.wrong_name, tls_args.wrong_name_ca,
       "{\"ok\":false,\"error\":\"server certificate does not match 127.0.0.1\"}"},
      {"expired certificate", tls_args.expired, tls_args.expired_ca,
       "{\"ok\":false,\"error\":\"server certificate not trusted: certificate has expired"},
      {"server answers the hello with garbage", tls_args.garbage, tls_args.ca,
       "{\"ok\":false,\"error\":\"TLS handshake failed: "},
      {"server drops the connection in the handshake", tls_args.drop, tls_args.ca,
       "{\"ok\":false,\"error\":\"TLS handshake failed: "},
  };
  size_t i;
  for (i = 0; i < sizeof cases / sizeof cases[0]; i++) {
    char keys[1024], name[128];
    const char *a;
    if (cases[i].port <= 0 || !cases[i].ca) continue;
    a = api.test_connection(tls_cfg("127.0.0.1", cases[i].port, "hr", with_ca(keys, sizeof keys, "true", cases[i].ca)));
    snprintf(name, sizeof name, "TLS: %s", cases[i].name);
    check(strncmp(a, cases[i].want, strlen(cases[i].want)) == 0, name, "answer %s", a);
  }
}

static void test_encrypted_backups(void) {
  char keys[1024];
  int32_t s, st;
  with_ca(keys, sizeof keys, "true", tls_args.ca);
  s = api.start(tls_cfg("127.0.0.1", tls_args.tls, "hr", keys));
  st = s >= 0 ? wait_end(s, 30000) : -1;
  check(st == ST_DONE && contains(api.result(s), "{\"ok\":true,\"out_path\":\"C:\\\\backup\\\\hr.bak\""),
        "TLS: backup", "start %d, state %d, result %s", (int)s, (int)st, s >= 0 ? api.result(s) : api.last_error());
  if (s >= 0) api.free_slot(s);

  s = api.start(tls_cfg("127.0.0.1", tls_args.tls, "sales", keys));
  if (s < 0 || wait_running(s, 10000) != ST_RUNNING) {
    check(0, "TLS: slow backup runs", "start %d, %s", (int)s, s >= 0 ? api.result(s) : api.last_error());
    if (s >= 0) api.free_slot(s);
    return;
  }
  api.cancel(s);
  st = wait_end(s, 10000);
  check(st == ST_FAILED && strcmp(api.result(s), "{\"ok\":false,\"error\":\"cancelled\"}") == 0,
        "TLS: cancel of a running backup", "state %d, result %s", (int)st, api.result(s));
  api.free_slot(s);
}

/* Through the relay every connection meets other piece sizes: records cut
 * at every size and joined with the next. */
static void test_split_records(void) {
  char keys[1024];
  int i, bad = 0;
  int32_t s, st;
  if (tls_args.relay <= 0) return;
  with_ca(keys, sizeof keys, "true", tls_args.ca);
  for (i = 0; i < 12; i++) {
    const char *a = i % 2 ? api.list_databases(tls_cfg("127.0.0.1", tls_args.relay, "hr", keys))
                          : api.test_connection(tls_cfg("127.0.0.1", tls_args.relay, "hr", keys));
    if (!contains(a, "{\"ok\":true,")) bad++, printf("  connection %d: %s\n", i, a);
  }
  check(bad == 0, "TLS: records split and joined at every size", "%d of 12 failed", bad);
  s = api.start(tls_cfg("127.0.0.1", tls_args.relay, "hr", keys));
  st = s >= 0 ? wait_end(s, 60000) : -1;
  check(st == ST_DONE && contains(api.result(s), "\"verified\":true"), "TLS: backup through split records",
        "state %d, result %s", (int)st, s >= 0 ? api.result(s) : api.last_error());
  if (s >= 0) api.free_slot(s);
}

/* TLS first, with ALPN: connects when the system's TLS can offer ALPN;
 * otherwise it must be refused with a clear text, never in clear text. */
static void test_strict(void) {
  char keys[1024];
  const char *a;
  if (tls_args.strict <= 0 || !tls_args.strict_ca) return;
  with_ca(keys, sizeof keys, "\"strict\"", tls_args.strict_ca);
  a = api.test_connection(tls_cfg("127.0.0.1", tls_args.strict, "hr", keys));
  check(contains(a, "{\"ok\":true,\"server_version\":\"16.0.4135.4"), "TLS: strict connection", "answer %s", a);
  /* That server takes the hello for the start of a packet and waits for
   * the rest; the connect time-out ends the wait. */
  {
    char k[1200];
    snprintf(k, sizeof k, "%s,\"connect_timeout_ms\":3000", with_ca(keys, sizeof keys, "\"strict\"", tls_args.ca));
    a = api.test_connection(tls_cfg("127.0.0.1", tls_args.tls, "hr", k));
    check(strncmp(a, "{\"ok\":false,\"error\":\"", 21) == 0, "TLS: strict against a server that is not",
          "answer %s", a);
  }
}

/* A server that only speaks TLS 1.1 is refused once the handshake shows it,
 * even where the system's TLS agreed to it. */
static void test_old_version(void) {
  char keys[1024];
  const char *a;
  if (tls_args.old_tls <= 0 || !tls_args.old_tls_ca) return;
  with_ca(keys, sizeof keys, "\"strict\"", tls_args.old_tls_ca);
  a = api.test_connection(tls_cfg("localhost", tls_args.old_tls, "hr", keys));
  check(strcmp(a, "{\"ok\":false,\"error\":\"TLS handshake failed: the server's protocol version is older than "
                 "TLS 1.2\"}") == 0,
        "TLS: TLS 1.1 refused", "answer %s", a);
}

static void test_encrypted(void) {
  if (tls_args.tls <= 0 || !tls_args.ca) return;
  test_encrypted_basics();
  test_refused_certificates();
  test_encrypted_backups();
  test_split_records();
  test_strict();
  test_old_version();
}

/* ---- A host thread with a small stack ----------------------------------- */

/* Every export on a thread whose stack is 128 KiB (reserved, as CreateThread
 * takes it with STACK_SIZE_PARAM_IS_A_RESERVATION): the library keeps no
 * large buffer on its caller's stack. A crash here ends the whole host. */
#define SMALL_STACK (128 * 1024)

static struct {
  char test[256], listing[64], refused[256], encrypted[256], result[512];
  int32_t start, state;
} small;

static DWORD WINAPI small_stack_calls(LPVOID unused) {
  char wrong[256], keys[1024];
  const char *a;
  (void)unused;
  a = api.test_connection(cfg("hr", NULL));
  snprintf(small.test, sizeof small.test, "%s", a);
  a = api.list_databases(cfg("hr", NULL));
  snprintf(small.listing, sizeof small.listing, "%s", a);
  snprintf(wrong, sizeof wrong, "{\"host\":\"127.0.0.1\",\"port\":%d,\"user\":\"sa\",\"password\":\"nope\"}", port);
  a = api.test_connection(wrong);
  snprintf(small.refused, sizeof small.refused, "%s", a);
  if (tls_args.tls > 0) {
    with_ca(keys, sizeof keys, "true", tls_args.ca);
    a = api.test_connection(tls_cfg("127.0.0.1", tls_args.tls, "hr", keys));
    snprintf(small.encrypted, sizeof small.encrypted, "%s", a);
  }
  small.start = api.start(cfg("hr", NULL));
  small.state = small.start >= 0 ? wait_end(small.start, 30000) : -1;
  snprintf(small.result, sizeof small.result, "%s", small.start >= 0 ? api.result(small.start) : api.last_error());
  if (small.start >= 0) api.free_slot(small.start);
  return 0;
}

static void test_small_stack(void) {
  HANDLE t = CreateThread(NULL, SMALL_STACK, small_stack_calls, NULL, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
  DWORD waited;
  check(t != NULL, "small stack: thread starts", "error %lu", (unsigned long)GetLastError());
  if (t == NULL) return;
  waited = WaitForSingleObject(t, 60000);
  CloseHandle(t);
  check(waited == WAIT_OBJECT_0, "small stack: calls end", "wait %lu", (unsigned long)waited);
  check(contains(small.test, "{\"ok\":true,\"server_version\":"), "small stack: test_connection", "answer %s",
        small.test);
  check(contains(small.listing, "{\"ok\":true,\"databases\":["), "small stack: list_databases", "answer %s",
        small.listing);
  check(strcmp(small.refused, "{\"ok\":false,\"error\":\"" LOGIN_REFUSED "\"}") == 0, "small stack: refused login",
        "answer %s", small.refused);
  if (tls_args.tls > 0)
    check(contains(small.encrypted, "{\"ok\":true,\"server_version\":"), "small stack: encrypted test_connection",
          "answer %s", small.encrypted);
  check(small.state == ST_DONE && contains(small.result, "\"verified\":true"), "small stack: backup",
        "state %d, result %s", (int)small.state, small.result);
}

int main(int argc, char **argv) {
  if (argc > 2) silent_port = atoi(argv[2]);
  if (argc < 2 || (port = atoi(argv[1])) <= 0 || port > 65535 || silent_port < 0 || silent_port > 65535) {
    fprintf(stderr, "usage: %s PORT [SILENT_PORT]\n", argv[0]);
    printf("0 passed, 1 failed\n");
    return 2;
  }
  if (!parse_tls_args(argc, argv)) {
    printf("0 passed, 1 failed\n");
    return 2;
  }
  if (load("kestrova-vaultrun.dll") == 0) {
    test_version_and_bad_input();
    test_connection_and_listing();
    test_backup_with_verification();
    test_cancel_and_free();
    test_restore();
    test_time_outs();
    test_slots_and_login_failure();
    test_encrypted();
    test_small_stack();
    test_unload_while_running();
  }
  printf("%d passed, %d failed\n", passed, failed);
  fflush(stdout);
  return failed ? 1 : 0;
}
