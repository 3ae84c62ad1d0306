/* FreeTDS db-lib doing the library's work, the established client the
 * library is measured against.
 *
 *   ops_freetds PORT test|list N          N x (dbopen, dbcmd, dbsqlexec,
 *                                         dbresults, dbnextrow..., dbclose)
 *   ops_freetds PORT fetch N SQL [text]   one dbopen, then N x the statement
 *
 * test and list bind every column as text, as the library renders every
 * value as text. fetch reads each value where db-lib keeps it (its own
 * fetch loop); with "text" it binds every column as text instead.
 *
 * Prints one line per operation: nanoseconds, then the rows read. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <sybdb.h>

#include "bench_sql.h"

#define MAX_COLS 64
#define CELL 4096

static char g_cells[MAX_COLS][CELL];

static long long now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int on_error(DBPROCESS* dbproc, int severity, int dberr, int oserr, char* dberrstr,
                    char* oserrstr) {
  (void)dbproc;
  (void)severity;
  (void)oserr;
  (void)oserrstr;
  fprintf(stderr, "ops_freetds: db-lib error %d: %s\n", dberr, dberrstr ? dberrstr : "");
  return INT_CANCEL;
}

static int on_message(DBPROCESS* dbproc, DBINT msgno, int msgstate, int severity, char* msgtext,
                      char* srvname, char* procname, int line) {
  (void)dbproc;
  (void)msgstate;
  (void)srvname;
  (void)procname;
  (void)line;
  if (severity > 10) fprintf(stderr, "ops_freetds: server error %d: %s\n", (int)msgno, msgtext);
  return 0;
}

/* Runs the statement and reads every row. Returns the rows read, or -1. */
static long run(DBPROCESS* dbproc, const char* sql, int as_text, unsigned* sink) {
  long rows = 0;
  RETCODE rc;
  if (dbcmd(dbproc, sql) != SUCCEED || dbsqlexec(dbproc) != SUCCEED) return -1;
  while ((rc = dbresults(dbproc)) != NO_MORE_RESULTS) {
    if (rc != SUCCEED) return -1;
    int ncols = dbnumcols(dbproc);
    if (ncols > MAX_COLS) ncols = MAX_COLS;
    if (as_text) {
      for (int c = 1; c <= ncols; ++c)
        if (dbbind(dbproc, c, NTBSTRINGBIND, CELL, (BYTE*)g_cells[c - 1]) != SUCCEED) return -1;
    }
    while ((rc = dbnextrow(dbproc)) != NO_MORE_ROWS) {
      if (rc == FAIL) return -1;
      if (as_text) {
        *sink += (unsigned char)g_cells[0][0];
      } else {
        for (int c = 1; c <= ncols; ++c) {
          const BYTE* v = dbdata(dbproc, c);
          if (v != NULL && dbdatlen(dbproc, c) > 0) *sink += v[0];
        }
      }
      ++rows;
    }
  }
  return rows;
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: ops_freetds PORT test|list|fetch N [SQL [text]]\n");
    return 1;
  }
  const char* mode = argv[2];
  const int n = atoi(argv[3]);
  char server[64];
  snprintf(server, sizeof server, "%s:%s", BENCH_HOST, argv[1]);

  if (dbinit() == FAIL) return 1;
  dberrhandle(on_error);
  dbmsghandle(on_message);
  LOGINREC* login = dblogin();
  DBSETLUSER(login, BENCH_USER);
  DBSETLPWD(login, BENCH_PASSWORD);
  DBSETLVERSION(login, DBVERSION_74);
  DBSETLCHARSET(login, "UTF-8");
  DBSETLAPP(login, "bench");

  unsigned sink = 0;
  if (strcmp(mode, "test") == 0 || strcmp(mode, "list") == 0) {
    const char* sql = strcmp(mode, "test") == 0 ? BENCH_VERSION_SQL : BENCH_LISTING_SQL;
    for (int i = 0; i < n; ++i) {
      const long long t0 = now_ns();
      DBPROCESS* dbproc = dbopen(login, server);
      if (dbproc == NULL) return 1;
      const long rows = run(dbproc, sql, 1, &sink);
      dbclose(dbproc);
      const long long t1 = now_ns();
      if (rows < 1) return 1;
      printf("%lld %ld\n", t1 - t0, rows);
    }
  } else if (strcmp(mode, "fetch") == 0 && argc >= 5) {
    const int as_text = argc >= 6 && strcmp(argv[5], "text") == 0;
    DBPROCESS* dbproc = dbopen(login, server);
    if (dbproc == NULL) return 1;
    for (int i = 0; i < n; ++i) {
      const long long t0 = now_ns();
      const long rows = run(dbproc, argv[4], as_text, &sink);
      const long long t1 = now_ns();
      if (rows < 1) return 1;
      printf("%lld %ld\n", t1 - t0, rows);
    }
    dbclose(dbproc);
  } else {
    fprintf(stderr, "ops_freetds: unknown mode %s\n", mode);
    return 1;
  }
  dbloginfree(login);
  dbexit();
  return 0;
}
