/* What every contender sends: the login and the two statements, word for
 * word as the library sends them. Shared by the C and C++ programs. */
#ifndef BENCH_SQL_H
#define BENCH_SQL_H

#define BENCH_HOST "127.0.0.1"
#define BENCH_USER "sa"
#define BENCH_PASSWORD "vaultrun"

#define BENCH_VERSION_SQL                                                   \
  "SELECT CAST(SERVERPROPERTY('ProductVersion') AS NVARCHAR(64)) + N' ' + " \
  "CAST(SERVERPROPERTY('Edition') AS NVARCHAR(64))"

#define BENCH_LISTING_SQL                                                                  \
  "SELECT d.name, CAST(SUM(mf.size) * 8 / 1024 AS INT), d.recovery_model_desc FROM "       \
  "sys.databases d JOIN sys.master_files mf ON mf.database_id = d.database_id WHERE "      \
  "d.database_id > 4 AND d.state = 0 GROUP BY d.name, d.recovery_model_desc ORDER BY d.name"

#endif
