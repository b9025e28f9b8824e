// The configuration record and the accessors every part of the daemon uses.
#include "qelkiod.h"

qelkiod_config mconf;
char *cfile;

const char *qelkiod_ksdir()
{
    return mconf.keystoredir ? mconf.keystoredir : QELKIOD_KSDIR_DEFAULT;
}

bool cks_configured()
{
    return mconf.nservers > 0 && mconf.degraded != 1;
}
