// The statements of a backup, built from an accepted configuration: the
// only place where a host's text becomes SQL text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vaultrun/config.h"

// Room for the longest statement of any accepted configuration: every byte
// of every text doubled (the stripes' area holds the targets, one path or
// all of them), each target's own words, and the fixed words and numbers.
constexpr size_t STATEMENT_CAP =
    2 * (sizeof(backup_config::database) - 1) + 2 * STRIPE_AREA + MAX_STRIPES * 16 +
    2 * (sizeof(backup_config::credential) - 1) + 2 * (sizeof(backup_config::server_certificate) - 1) +
    2 * (sizeof(backup_config::name) - 1) + 2 * (sizeof(backup_config::description) - 1) + 512;

// "BACKUP DATABASE [name] TO DISK = N'path' WITH STATS = 5[, COMPRESSION][, COPY_ONLY]"
// with "]" doubled in the name and "'" doubled in the path; then the backup
// kinds' options: BACKUP LOG for a log backup, every target (DISK, or URL
// for a URL target), DIFFERENTIAL, INIT, CHECKSUM, NAME, DESCRIPTION,
// BUFFERCOUNT, MAXTRANSFERSIZE, BLOCKSIZE, CREDENTIAL (https targets) and
// ENCRYPTION with its certificate or key in brackets. Writes into out
// (cap bytes); false, with out empty, when it does not fit. The texts must
// be well-formed UTF-8, as parse_config leaves them: a stray byte could pair
// up with a quote when the text is converted for the wire.
bool backup_statement(const backup_config* cfg, char* out, size_t cap);

// The query for the position of the backup set this session wrote: the
// newest set in the server's backup history of the database and kind whose
// media holds the first target, finished within the last `seconds`. One
// row with one int column "position", or none.
bool history_statement(const backup_config* cfg, int64_t seconds, char* out, size_t cap);

// "RESTORE VERIFYONLY FROM DISK = N'path' WITH FILE = n[, CHECKSUM]" over
// every target (URL for a URL target, with CREDENTIAL for https), quoted as
// above; file is the backup set's position in the media.
bool verify_statement(const backup_config* cfg, int32_t file, char* out, size_t cap);

// The listing's statement: online user databases with their size in MB and
// recovery model; include_system adds master, model and msdb (never tempdb).
// With details, databases in every state and, after those three columns, in
// order: state_desc, is_read_only (0/1), the local replica's availability
// group role in lower case (NULL outside a group), whether this replica is
// the one preferred for backups (0/1), and the finish times of the last full
// (not copy-only), differential and log backup in the history, in UTC as
// yyyy-mm-ddThh:mi:ss[.mmm] (NULL when none). A constant text: nothing of
// the host's reaches it.
const char* listing_statement(bool details, bool include_system);
