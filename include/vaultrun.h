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
 * slot is released or reused.
 * A restore test (and a backup proved by one) adds "phase":"restore", "check"
 * or "drop", and its messages start with the phase's name; its restore is
 * the first 80 percent, the check runs at 80 and the drop at 98.
 * A restore, once planned, adds "step":k (the running step, from 1),
 * "steps":n (the plan's steps, and the recovery when asked) and
 * "step_type":"full", "differential", "log" or "recovery"; its percent runs
 * over the whole plan, each step its share. */
VAULTRUN_API const char *vaultrun_progress(int32_t session);

/* A backup: {"ok":true,"out_path":"...","verified":B,"pages":N,"elapsed_ms":E}
 * once done (with the backup kinds' keys also "type", "position", the set
 * verified or null, and "stripes" for striped targets).
 * {"ok":false,"error":"..."} on a failure before any document of the
 * operation's own, {"ok":false,"error":"not finished"} before the end,
 * {"ok":false,"error":"bad session"} for an invalid index.
 *
 * A restore: {"ok":true,"database":"D","source_database":"S",
 * "restored":[{"type":"full|differential|log","target":"<first file>",
 * "position":N,"finished":"<set's finish>"},...],"stop_at":"..."|null,
 * "recovered":B,"elapsed_ms":E}; "passed_over":[{"type","target",
 * "position","finished","reason"},...] names each full or differential the
 * plan passed over (type, position and finished null for a media set of
 * backup files whose header could not be read), only when there is one.
 * A dry run: {"ok":true,"dry_run":true,"database","source_database",
 * "plan":[...steps as "restored", each with its "statement",
 * {"type":"recovery","statement":"..."} when recovering],"passed_over",
 * "stop_at","recovered"}. A failure after the first RESTORE:
 * {"ok":false,"error":"...","database":"D","restored":[...the steps that
 * completed...],"recovered":false}, the database left restoring.
 *
 * A restore test: {"ok":B[,"error":"..."],"operation":"restore_test",
 * "database":"S","scratch_database":"<copy>","restored":[...],"stop_at",
 * "recovered":B,"restore_tested":B,"checkdb":"clean|damaged|failed|none",
 * "checkdb_mode":"full|physical_only|none","dropped":B,"left_behind":B,
 * "copy":"dropped|not_created|gone|left_behind","server":"<the server that
 * holds the copy>","phases":{"restore_ms","check_ms","drop_ms"},
 * "elapsed_ms":E}; a failure adds "failed_phase":"restore|check",
 * "failed_step":{"step":k,"type":...} for a restore step that failed, and
 * for damage or a check that could not run "checkdb_errors":[{"number",
 * "text"},...] (the first 64) with "checkdb_error_count". "copy" is there
 * once a RESTORE into the copy went out, "server" once a name was claimed.
 * The copy is dropped only by the identity the server gave it (id, create
 * date, server), never by name alone. A dry run: {"ok":true,"dry_run":true,
 * "operation":"restore_test","database","scratch_database","plan":[...the
 * restore's steps and recovery...,{"type":"check","statement"},
 * {"type":"drop"}],"stop_at","checkdb_mode"}.
 * A backup proved by a restore test carries the test's members (from
 * "database" on) under "restore_test":{"ok":B,...}; when the test failed
 * the backup is not ok, not verified, and its error starts "restore test
 * failed: ".
 *
 * Lifetime as vaultrun_progress. */
VAULTRUN_API const char *vaultrun_result(int32_t session);

/* Asks a starting or running session to stop; it ends failed with "cancelled". */
VAULTRUN_API void vaultrun_cancel(int32_t session);

/* Releases the slot, cancelling and waiting for a session that still runs. */
VAULTRUN_API void vaultrun_free(int32_t session);

#ifdef __cplusplus
}
#endif

#endif /* VAULTRUN_H */
