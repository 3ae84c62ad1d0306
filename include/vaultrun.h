/*
 * kestrova-vaultrun: back up Microsoft SQL Server databases over TDS 7.4.
 *
 * Every text passed in is NUL-terminated UTF-8 and is only read. Every text
 * returned lives in storage owned by the library: the host never frees it and
 * never writes through it. Each comment says how long a returned text stays
 * unchanged; copy it before then if you need it longer.
 *
 * Threading: call the exports from one host thread at a time. Backups run on
 * worker threads of their own; the session calls only read what they publish.
 */
#ifndef VAULTRUN_H
#define VAULTRUN_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(VAULTRUN_BUILDING)
#    define VAULTRUN_API __declspec(dllexport)
#  else
#    define VAULTRUN_API __declspec(dllimport)
#  endif
#else
#  define VAULTRUN_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Session states returned by vaultrun_status. */
#define VAULTRUN_SESSION_FREE     0
#define VAULTRUN_SESSION_STARTING 1
#define VAULTRUN_SESSION_RUNNING  2
#define VAULTRUN_SESSION_DONE     3
#define VAULTRUN_SESSION_FAILED   5

/* The constant "kestrova-vaultrun 1.0.0"; valid for the library's lifetime. */
VAULTRUN_API const char *vaultrun_version(void);

/* The reason of the most recent recorded failure ("" before the first one).
 * Never cleared by a success; rewritten by the next recorded failure. */
VAULTRUN_API const char *vaultrun_last_error(void);

/* Logs in with the configuration and reports the server's version:
 * {"ok":true,"server_version":"..."} or {"ok":false,"error":"..."}.
 * The text stays unchanged until the next vaultrun_test_connection or
 * vaultrun_list_databases call. config_json may be NULL (answered as invalid). */
VAULTRUN_API const char *vaultrun_test_connection(const char *config_json);

/* Lists the online user databases:
 * {"ok":true,"databases":[{"name":"...","size_mb":N,"recovery":"..."},...]}
 * or {"ok":false,"error":"..."}. Same lifetime as vaultrun_test_connection. */
VAULTRUN_API const char *vaultrun_list_databases(const char *config_json);

/* Starts a background backup. Returns the session index 0..3, -1 on failure
 * (reason in vaultrun_last_error), -2 when all four slots are taken. */
VAULTRUN_API int32_t vaultrun_start(const char *config_json);

/* The session's state (VAULTRUN_SESSION_*), or -1 for an invalid index. */
VAULTRUN_API int32_t vaultrun_status(int32_t session);

/* {"state":S,"percent":P,"message":"...","elapsed_ms":E}, or
 * {"error":"bad session"} for an invalid index. The text stays unchanged until
 * the next vaultrun_progress for the same session, and reads as "" once the
 * slot is released or reused. */
VAULTRUN_API const char *vaultrun_progress(int32_t session);

/* {"ok":true,"out_path":"...","verified":B,"pages":N,"elapsed_ms":E} once done,
 * {"ok":false,"error":"..."} on failure, {"ok":false,"error":"not finished"}
 * before the end, {"ok":false,"error":"bad session"} for an invalid index.
 * A restore test's result also says what became of its copy: "dropped",
 * "left_behind", "copy" ("dropped", "not_created", "gone", "left_behind")
 * and "server", the server that holds it. The copy is dropped only by the
 * identity the server gave it (id, create date, server), never by name
 * alone; "checkdb" is "clean", "damaged", "failed" (the check could not
 * run) or "none". Lifetime as vaultrun_progress. */
VAULTRUN_API const char *vaultrun_result(int32_t session);

/* Asks a starting or running session to stop; it ends failed with "cancelled". */
VAULTRUN_API void vaultrun_cancel(int32_t session);

/* Releases the slot, cancelling and waiting for a session that still runs. */
VAULTRUN_API void vaultrun_free(int32_t session);

#ifdef __cplusplus
}
#endif

#endif /* VAULTRUN_H */
