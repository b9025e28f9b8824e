// What a keystore archive may hold before anything of it is extracted:
// exactly what DB_ARCHIVE puts in one, regular files "<name>.conf" and
// "<name>/<database>" (the four database files) for one valid keystore
// name, in plain ustar headers.
#ifndef KYR_ARCHIVE_CHECK_H
#define KYR_ARCHIVE_CHECK_H

#include "../core/dbm_msg.h"

struct archive_content {
    char ksname[DBM_KSNAME_LEN];   // the one keystore of the archive
    bool has_env_files;            // members inside "<name>/"
};

// Walks the headers of the tar archive open on fd (from its start, not
// moving the file offset).  0 with *out filled, or EINVAL with a log line
// naming the archive `what` and the first offending member.
int archive_check(int fd, const char *what, archive_content *out);

#endif  // KYR_ARCHIVE_CHECK_H
