// Set-up shared by the fuzz targets on the daemon's code.
#ifndef KYR_FUZZ_DAEMON_H
#define KYR_FUZZ_DAEMON_H

#include <cstdlib>

#include "fuzz_util.h"
#include "qelkiod.h"

// No syslog, and every log line formatted (so that a log argument that
// runs past its buffer shows up); with $KYR_FUZZ_TRACE set the lines go
// to standard error.
inline void fuzz_daemon_log_init()
{
    kyrkiod_disable_syslog = 1;
    logmask = 0xff;
    if (getenv("KYR_FUZZ_TRACE") != nullptr) {
        mconf.foreground = 1;
        qelkiod_set_logfile();
    }
}

#endif  // KYR_FUZZ_DAEMON_H
