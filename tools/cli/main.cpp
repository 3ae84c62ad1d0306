// vaultrun: the command-line host of the backup library. It uses only the
// public header and the shared library, as any other host does.
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands.h"
#include "json.h"
#include "options.h"
#include "terminal.h"
#include "vaultrun.h"

namespace {

using namespace cli;

const char MAIN_HELP[] =
    "usage: vaultrun COMMAND [OPTIONS]\n"
    "       vaultrun --version\n"
    "\n"
    "Backs up and restores databases of a SQL Server over TDS 7.4 (SQL Server\n"
    "logins, TLS when asked for). The backup files are written and read by the\n"
    "server, on its own file system.\n"
    "\n"
    "commands:\n"
    "  test      log in and show the server's version\n"
    "  list      list the online user databases (name, size, recovery model)\n"
    "  backup    back up one database, or several (--all), and verify the files,\n"
    "            with live progress\n"
    "  restore   restore a database from its backups, to a point in time,\n"
    "            under its own name or a new one, with live progress\n"
    "  restore-test\n"
    "            prove that the backups of one database, several or all come\n"
    "            back whole: restore each under a scratch name, check the copy\n"
    "            with DBCC CHECKDB and drop it\n"
    "  cleanup   delete old backup files while every point in time of the last\n"
    "            N hours or days stays restorable (try --dry-run first)\n"
    "\n"
    "'vaultrun COMMAND --help' shows the options of a command.\n"
    "\n"
    "exit status: 0 success, 1 the connection, the server, the backup, the\n"
    "             restore, the restore test or the cleanup failed,\n"
    "             2 usage error, 128+N ended by signal N (130 for Ctrl-C)\n";

const char CONNECTION_HELP[] =
    "connection options:\n"
    "  --host HOST            server name or address (127.0.0.1)\n"
    "  --port N               TCP port (1433)\n"
    "  --user NAME            SQL Server login (required)\n"
    "  --connect-timeout S    seconds allowed for connecting and logging in\n"
    "                         (15; 0 waits without limit)\n"
    "  --query-timeout S      seconds allowed for the answer of the test's and\n"
    "                         the listing's query (30; 0 waits without limit;\n"
    "                         never limits a backup)\n"
    "  --encrypt MODE         false (clear text), true (TLS negotiated at\n"
    "                         login) or strict (TLS first, TDS 8.0)\n"
    "  --ca-file PATH         PEM file of the roots that sign the server's\n"
    "                         certificate (default: the system's store)\n"
    "  --host-name-in-certificate NAME\n"
    "                         name the certificate must carry (default: host)\n"
    "  --trust-server-certificate\n"
    "                         skip the certificate checks (--encrypt true only)\n"
    "  --config FILE          read the configuration from a JSON file, '-' for\n"
    "                         standard input; options given as well override\n"
    "                         its members\n"
    "  --json                 print the library's JSON answers unchanged\n"
    "  -h, --help             show this help\n"
    "\n"
    "The password is never an option, so that it cannot be seen in the process\n"
    "list. It comes from the environment variable VAULTRUN_PASSWORD, else from\n"
    "\"password\" in the --config file, else it is asked for without echo when\n"
    "standard input is a terminal; otherwise it is empty.\n"
    "\n"
    "The --config file is one JSON object with the library's keys: \"host\",\n"
    "\"port\", \"user\", \"password\", \"database\", \"out_path\", \"compression\",\n"
    "\"copy_only\", \"verify\", \"connect_timeout_ms\", \"query_timeout_ms\", the\n"
    "backup kinds' \"type\", \"checksum\", \"init\", \"stripes\", \"credential\",\n"
    "\"buffer_count\", \"max_transfer_size\", \"block_size\", \"encryption\",\n"
    "\"server_certificate\", \"server_asymmetric_key\", \"name\", \"description\", and\n"
    "the connection's \"encrypt\", \"trust_server_certificate\", \"ca_file\",\n"
    "\"host_name_in_certificate\", and a restore's \"source_database\",\n"
    "\"backup_files\", \"file\", \"stop_at\", \"move\", \"replace\", \"recovery\",\n"
    "\"dry_run\", and a restore test's \"checkdb\" and \"scratch_database\" (\"verify\":\n"
    "\"restore\" proves a backup by one).\n"
    "Other members are passed to the library as they are.\n";

const char TEST_HELP[] =
    "usage: vaultrun test [OPTIONS]\n"
    "\n"
    "Logs in and shows the server's version and edition.\n"
    "\n";

const char LIST_HELP[] =
    "usage: vaultrun list [OPTIONS]\n"
    "\n"
    "Lists the online user databases with their size in MB and recovery model.\n"
    "\n";

const char BACKUP_HELP[] =
    "usage: vaultrun backup --user NAME --database NAME --out PATH [OPTIONS]\n"
    "       vaultrun backup --user NAME (--all | --database NAME...) --out-dir DIR [OPTIONS]\n"
    "\n"
    "Backs up one database to a file on the server and verifies the file,\n"
    "showing the progress: a bar on a terminal, one line per change otherwise\n"
    "(with --json, each changed progress document, then the result document).\n"
    "Ctrl-C cancels the backup, waits for it to stop and exits with 130.\n"
    "\n"
    "backup options:\n"
    "  --database NAME        the database to back up (required)\n"
    "  --out PATH             path of the backup file on the server's file\n"
    "                         system (required)\n"
    "  --no-compression       do not ask the server to compress the backup\n"
    "  --copy-only            make a copy-only backup\n"
    "  --no-verify            skip RESTORE VERIFYONLY of the written file\n"
    "  --verify restore       prove the backup instead by a restore test: the\n"
    "                         set just written (with the sets it depends on) is\n"
    "                         restored under a scratch name, checked with DBCC\n"
    "                         CHECKDB and dropped; --checkdb MODE and\n"
    "                         --scratch-database NAME (one database) as for\n"
    "                         restore-test\n"
    "  --type KIND            full (default), differential or log\n"
    "  --checksum             write page checksums and verify them\n"
    "  --init                 overwrite the file's earlier backup sets\n"
    "  --stripe PATH          one of several target files instead of --out\n"
    "                         (repeat it, 1 to 64 times)\n"
    "  --credential NAME      server credential for an https:// target\n"
    "                         (s3:// targets use the one named after the URL)\n"
    "  --buffer-count N       I/O buffers, 1 to 65535\n"
    "  --max-transfer-size N  bytes per transfer, a multiple of 65536 up to 4194304\n"
    "  --block-size N         physical block size, a power of two from 512 to 65536\n"
    "  --encryption ALG       AES_128, AES_192, AES_256 or TRIPLE_DES_3KEY, with\n"
    "  --server-certificate NAME  or  --server-asymmetric-key NAME\n"
    "  --name TEXT            name of the backup set\n"
    "  --description TEXT     description of the backup set\n"
    "\n"
    "A target starting with https:// or s3:// is written with TO URL. The\n"
    "verification checks the backup set just written, found by its position\n"
    "in the server's backup history (msdb).\n"
    "\n"
    "several databases in one run:\n"
    "  --database NAME        repeated: back up each of them\n"
    "  --all                  every online user database of the listing (its\n"
    "                         first 256, as the library returns them)\n"
    "  --exclude PATTERN      with --all, leave out the databases that match;\n"
    "                         '*' stands for any characters, letters match in\n"
    "                         either case (repeatable)\n"
    "  --parallel N           backups at once, 1 to 4 (2)\n"
    "  --out-dir DIR          directory on the server's file system for the\n"
    "                         files; a DIR with '\\' or a drive letter (C:) is\n"
    "                         a Windows path and is joined with '\\', any\n"
    "                         other with '/'\n"
    "  --name-template TEXT   file name in DIR (default\n"
    "                         {database}_{type}_{timestamp}.bak) with the\n"
    "                         placeholders {server}, {database}, {type},\n"
    "                         {timestamp} (UTC, 20261210T153000Z) and {date}\n"
    "                         (UTC, 2026-12-10); other characters than letters,\n"
    "                         digits, '-', '_' and '.' in a value become '_',\n"
    "                         and a name that repeats gets _2, _3, ...\n"
    "  --metrics-file PATH    write, per database, the outcome (1 or 0), the\n"
    "                         duration and the time of the last success in the\n"
    "                         text format of a node exporter's text-file\n"
    "                         collector (through PATH.tmp-XXXXXX and a rename;\n"
    "                         earlier successes are kept from the old file)\n"
    "  --keep DURATION        after each database's own backup succeeded, clean\n"
    "                         up its old files as vaultrun cleanup does: every\n"
    "                         point of the last DURATION (36h, 14d) stays\n"
    "                         restorable; the cleanup's samples go into the\n"
    "                         metrics file too\n"
    "  --folder DIR           the server folder the cleanup may delete in\n"
    "                         (repeatable; default: --out-dir)\n"
    "\n"
    "what a scheduled run decides per database (by the detailed listing, read\n"
    "with --all, --type differential or log, or any option below):\n"
    "  --type log skips databases in SIMPLE recovery, read-only ones and\n"
    "  master; --type differential skips master; RESTORING, OFFLINE and other\n"
    "  states are skipped with the state as the reason; a database on a\n"
    "  replica that is not the preferred one for backups is skipped\n"
    "  --system               with --all, master, model and msdb too\n"
    "  --change-type          a differential or log backup of a database with\n"
    "                         no full backup to base it on (by the history, or\n"
    "                         by the server's refusal) is taken as a full one\n"
    "  --all-replicas         back up on every replica; on a secondary a full\n"
    "                         backup is COPY_ONLY and a differential is skipped\n"
    "  --if-older-than DURATION  only databases whose last backup of the run's\n"
    "                         type finished longer ago (15m, 20h, 1d12h)\n"
    "A skip is reported, never a failure.\n"
    "\n"
    "A run over several databases (--all, more than one --database, or any\n"
    "option of this group) goes on past a database that fails. On a terminal\n"
    "it shows a line per running backup and an 'N of M' line, otherwise a\n"
    "line as each backup starts and ends; then a table of every database with\n"
    "its outcome, pages, time and error. With --json it prints one JSON object\n"
    "per database as each ends, then {\"summary\":true,...}. The backup options\n"
    "above apply to every database, except --out and --stripe, which name\n"
    "fixed files (--out still works for a single --database). Ctrl-C cancels\n"
    "every running backup, starts no other, waits for them and exits with 130.\n"
    "Exit status: 0 when every backup succeeded or was skipped (and with --keep\n"
    "every cleanup after them succeeded), 1 otherwise, 2 usage error.\n"
    "\n";

const char RESTORE_HELP[] =
    "usage: vaultrun restore --user NAME --database NAME [--as NEW] [--stop-at TIME]\n"
    "                        [--files PATH... | --from PATH... [--file N]] [OPTIONS]\n"
    "\n"
    "Restores a database from its backups: the newest full backup before the\n"
    "point in time, the differential based on it and the log backups after it,\n"
    "each with RESTORE DATABASE or RESTORE LOG on the server, then brings the\n"
    "database online. The sets come from the server's backup history (msdb)\n"
    "unless --files or --from names them. The plan is checked before the first\n"
    "set is restored: a chain without a full backup, or with a gap between log\n"
    "backups, fails without touching the server. The progress runs over the\n"
    "whole plan and names the step ('step 2/5 log'); at the end come the sets\n"
    "restored (with --json, each changed progress document, then the result\n"
    "document). Ctrl-C cancels the restore, waits for it to stop and exits\n"
    "with 130; the database is then left restoring.\n"
    "\n"
    "restore options:\n"
    "  --database NAME        the database whose backups are restored, and the\n"
    "                         target unless --as names another (required)\n"
    "  --as NEW               restore into a new database NEW; its files go to\n"
    "                         the server's default folders unless --move says\n"
    "                         otherwise, never onto NAME's files\n"
    "  --stop-at TIME         the point in time, in the server's local time:\n"
    "                         YYYY-MM-DDTHH:MM:SS[.fffffff] (default: the newest\n"
    "                         point the backups reach)\n"
    "  --files PATH...        read the sets from these backup files (or URLs)\n"
    "                         instead of the history, for a server that has no\n"
    "                         record of them; every stripe of a striped set must\n"
    "                         be among them (up to 256)\n"
    "  --from PATH            restore the one set in PATH (repeat it for the\n"
    "                         stripes of one set); no chain is worked out\n"
    "  --file N               the set's position in --from (1 to 32767; 1)\n"
    "  --move LOGICAL=PATH    put the database file LOGICAL at PATH on the\n"
    "                         server (repeatable)\n"
    "  --move default         put every file in the server's default data and\n"
    "                         log folders, named after the target\n"
    "  --replace              overwrite an existing database of the target's\n"
    "                         name (without it the server refuses)\n"
    "  --no-recovery          leave the database restoring, so that further log\n"
    "                         backups can follow (--from PATH --file N)\n"
    "  --checksum             verify the page checksums while restoring\n"
    "  --credential NAME      server credential for an https:// source\n"
    "  --buffer-count N, --max-transfer-size N, --block-size N\n"
    "                         as for a backup\n"
    "  --dry-run              show the plan (the sets and the statements) and\n"
    "                         restore nothing\n"
    "\n"
    "A --config file's \"out_path\", \"stripes\" and other keys that say where a\n"
    "backup goes are left out of a restore; the source comes from the flags (or\n"
    "the file's \"backup_files\" when no source flag is given).\n"
    "\n";

const char RESTORE_TEST_HELP[] =
    "usage: vaultrun restore-test --user NAME (--database NAME... | --all [--exclude PATTERN])\n"
    "                             [--checkdb MODE] [--parallel N] [--metrics-file PATH] [OPTIONS]\n"
    "\n"
    "Proves that a database's backups come back whole: its newest backups (as\n"
    "a restore would choose them from the history) are restored under a\n"
    "scratch name, the copy is checked with DBCC CHECKDB, and the copy is\n"
    "dropped in every outcome. The scratch name is one no database has (the\n"
    "source's name with _restore_test, then _2, _3, ...), and the copy's files\n"
    "go to the server's default folders under names no file has: nothing that\n"
    "exists is used, replaced or dropped.\n"
    "\n"
    "restore-test options:\n"
    "  --database NAME        a database whose backups are tested (repeatable)\n"
    "  --all                  every online user database of the listing\n"
    "  --exclude PATTERN      with --all, leave out the databases that match\n"
    "                         ('*' for any characters; repeatable)\n"
    "  --parallel N           tests at once, 1 to 4 (2); each copy takes the\n"
    "                         database's space on the server while it lives\n"
    "  --checkdb MODE         full (DBCC CHECKDB WITH NO_INFOMSGS,\n"
    "                         ALL_ERRORMSGS; default), physical_only (adds\n"
    "                         PHYSICAL_ONLY) or none (restore and drop only)\n"
    "  --scratch-database NAME  the copy's name (one --database only); a\n"
    "                         database of that name makes the test fail, it is\n"
    "                         never used or dropped\n"
    "  --stop-at TIME         restore to this point in time (server's local\n"
    "                         time, YYYY-MM-DDTHH:MM:SS[.fffffff])\n"
    "  --metrics-file PATH    write, per database, the outcome (1 or 0), whether\n"
    "                         the copy was left behind, each phase's duration\n"
    "                         and the time of the last proven restore (kept\n"
    "                         from the old file when this test fails)\n"
    "  --dry-run              show each plan (the scratch name and every\n"
    "                         statement) and change nothing\n"
    "  --checksum, --credential NAME, --buffer-count N, --max-transfer-size N,\n"
    "  --block-size N         as for a restore\n"
    "\n"
    "On a terminal a line per running test shows its phase (restoring,\n"
    "checking, dropping), otherwise a line as each starts and ends; then a\n"
    "table of every database with its outcome (proven, damaged, failed,\n"
    "cancelled), the check's result, the scratch name, the time of each phase\n"
    "and what became of the copy (dropped, or LEFT BEHIND). With --json it\n"
    "prints one JSON object per database as each ends (with the library's\n"
    "result as \"result\"), then {\"summary\":true,...}. Ctrl-C cancels every\n"
    "running test (each still drops its copy), starts no other, waits for them\n"
    "and exits with 130.\n"
    "Exit status: 0 when every backup was proven, 1 otherwise and whenever a\n"
    "copy was left behind, 2 usage error.\n"
    "\n";

const char CLEANUP_HELP[] =
    "usage: vaultrun cleanup --user NAME (--database NAME... | --all [--exclude PATTERN] [--system])\n"
    "                        --keep DURATION --folder DIR... [--dry-run] [--metrics-file PATH] [OPTIONS]\n"
    "\n"
    "Deletes a database's old backup files while keeping every point in time of\n"
    "the window restorable: a file goes only when it lies under one of the\n"
    "folders, every set in it (of any database) finished before the window, and\n"
    "no restore to a point in the window needs it. Each file is read first\n"
    "(RESTORE LABELONLY) and deleted through the server (xp_delete_file, which\n"
    "needs a sysadmin login); a file that cannot be read is kept.\n"
    "\n"
    "cleanup options:\n"
    "  --database NAME        a database whose files are cleaned (repeatable)\n"
    "  --all                  every user database of the listing, whatever its\n"
    "                         state (a cleanup reads the server's history)\n"
    "  --exclude PATTERN      with --all, leave out the databases that match\n"
    "                         ('*' for any characters; repeatable)\n"
    "  --system               with --all, master, model and msdb too\n"
    "  --keep DURATION        the window that stays restorable: hours (36h) or\n"
    "                         days (14d), 1 hour to 100 years\n"
    "  --folder DIR...        server folders that files may be deleted in (one\n"
    "                         or more, repeatable); nothing outside them goes\n"
    "  --dry-run              decide and report everything, delete nothing\n"
    "  --parallel N           cleanups at once, 1 to 4 (2)\n"
    "  --metrics-file PATH    write, per database, the files deleted, the bytes\n"
    "                         freed, the oldest restorable point and the window\n"
    "\n"
    "Run it with --dry-run first: it lists what would go and why each other file\n"
    "stays. On a terminal a line per running cleanup, otherwise a line as each\n"
    "starts and ends; then a table of every database with its outcome, the\n"
    "files deleted and kept, the bytes freed and the oldest restorable point.\n"
    "With --json it prints one JSON object per database as each ends (with the\n"
    "library's result as \"result\"), then {\"summary\":true,...}. Ctrl-C cancels\n"
    "every running cleanup between files and exits with 130.\n"
    "Exit status: 0 when every cleanup succeeded, 1 otherwise, 2 usage error.\n"
    "\n";

void print_help(Command cmd) {
  switch (cmd) {
    case Command::None: std::fputs(MAIN_HELP, stdout); return;
    case Command::Test: std::fputs(TEST_HELP, stdout); break;
    case Command::List: std::fputs(LIST_HELP, stdout); break;
    case Command::Backup: std::fputs(BACKUP_HELP, stdout); break;
    case Command::Restore: std::fputs(RESTORE_HELP, stdout); break;
    case Command::RestoreTest: std::fputs(RESTORE_TEST_HELP, stdout); break;
    case Command::Cleanup: std::fputs(CLEANUP_HELP, stdout); break;
  }
  std::fputs(CONNECTION_HELP, stdout);
}

int usage_error(const std::string& text, Command cmd) {
  const char* topic = cmd == Command::Test      ? "vaultrun test --help"
                      : cmd == Command::List    ? "vaultrun list --help"
                      : cmd == Command::Backup  ? "vaultrun backup --help"
                      : cmd == Command::Restore ? "vaultrun restore --help"
                      : cmd == Command::RestoreTest ? "vaultrun restore-test --help"
                      : cmd == Command::Cleanup ? "vaultrun cleanup --help"
                                                : "vaultrun --help";
  print_error(text + " (see '" + topic + "')");
  return EXIT_USAGE;
}

// Environment first, then the file; the prompt only when someone is there
// to answer it.
int resolve_password(Settings& s, bool stdin_taken) {
  if (char* env = std::getenv("VAULTRUN_PASSWORD")) {
    // One copy: the settings' own; the environment's is wiped.
    s.password = env;
    wipe_bytes(env, std::strlen(env));
    return EXIT_OK;
  }
  if (s.password) return EXIT_OK;
  if (stdin_taken || !is_terminal(STDIN_FILENO)) {
    s.password = "";
    return EXIT_OK;
  }
  std::string pw;
  std::string prompt = "Password for " + printable(s.user) + " on " + printable(endpoint(s)) + ": ";
  switch (read_password(prompt, pw)) {
    case PromptResult::Ok: s.password = pw; return EXIT_OK;
    case PromptResult::NoTerminal: s.password = ""; return EXIT_OK;
    case PromptResult::Interrupted: return 128 + SIGINT;
  }
  return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
  // Character widths for aligning the table and fitting the progress line.
  std::setlocale(LC_CTYPE, "");

  Options opt;
  std::string e = parse_args(argc, argv, opt);
  if (!e.empty()) return usage_error(e, opt.command);
  if (opt.help) {
    print_help(opt.command);
    return EXIT_OK;
  }
  if (opt.version) {
    std::printf("%s\n", vaultrun_version());
    return EXIT_OK;
  }
  if (opt.command == Command::None) return usage_error("a command is required: test, list, backup, restore, restore-test or cleanup", opt.command);

  Settings s;
  if (!(e = resolve_settings(opt, s)).empty()) return usage_error(e, opt.command);
  if (!(e = check_settings(opt.command, s)).empty()) return usage_error(e, opt.command);
  if (int rc = resolve_password(s, opt.config_path == "-"); rc != EXIT_OK) return rc;
  if (!(e = check_settings(opt.command, s)).empty()) return usage_error(e, opt.command);

  int rc = EXIT_USAGE;
  switch (opt.command) {
    case Command::Test: rc = run_test(s, opt.json); break;
    case Command::List: rc = run_list(s, opt.json); break;
    case Command::Backup: rc = is_many_run(s) ? run_many(s, opt.json) : run_backup(s, opt.json); break;
    case Command::Restore: rc = run_restore(s, opt.json); break;
    case Command::RestoreTest:
    case Command::Cleanup: rc = run_many(s, opt.json); break;
    case Command::None: break;
  }
  if (s.password) wipe(*s.password);
  return rc;
}
