// The two statements of a backup, built from an accepted configuration: the
// only place where a host's text becomes SQL text.
#pragma once

#include <cstddef>

#include "vaultrun/config.h"

// Room for the longest statement of any accepted configuration: every byte
// of the name and the path doubled, the fixed words and both options.
constexpr size_t STATEMENT_CAP =
    2 * (sizeof(backup_config::database) - 1) + 2 * (sizeof(backup_config::out_path) - 1) + 128;

// "BACKUP DATABASE [name] TO DISK = N'path' WITH STATS = 5[, COMPRESSION][, COPY_ONLY]"
// with "]" doubled in the name and "'" doubled in the path. Writes into out
// (cap bytes); false, with out empty, when it does not fit. The name and
// path must be well-formed UTF-8, as parse_config leaves them: a stray byte
// could pair up with a quote when the text is converted for the wire.
bool backup_statement(const backup_config* cfg, char* out, size_t cap);

// "RESTORE VERIFYONLY FROM DISK = N'path'", the path quoted as above.
bool verify_statement(const backup_config* cfg, char* out, size_t cap);
