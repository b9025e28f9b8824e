#include "handler_util.h"

#include <cerrno>
#include <cstring>

kstinfo *handler_self(const char *what, int *err)
{
    kstinfo *ks = qelkiod_self();
    if (ks == nullptr) {
        // pthread_getspecific sets no errno; a missing record must still
        // fail the request rather than read as "answered".
        *err = errno != 0 ? errno : ENOENT;
        qelkiod_log(LOG_ERR, "Cannot get TSD value for %s: %s", what, strerror(*err));
    }
    return ks;
}

kstinfo *handler_own_keystore(upcall_buf *buf, const char *what, char name[DBM_KSNAME_LEN],
                              int *err)
{
    kstinfo *ks = handler_self(what, err);
    if (ks == nullptr)
        return nullptr;
    if ((*err = qelkiod_msg_ksname(buf->msg, DBM_KSNAME_OFF, name)) != 0)
        return nullptr;
    if (ks->name == nullptr || strcmp(ks->name, name) != 0) {
        qelkiod_log(LOG_ERR, "%s for keystore %s refused: not the keystore of this thread (%s)",
                    what, name, ks->name != nullptr ? ks->name : "control thread");
        *err = EINVAL;
        return nullptr;
    }
    return ks;
}

int handler_open(ks_handle *h, upcall_buf *buf, dbm_kstype_t kstype, const char *dbname)
{
    memset(h, 0, sizeof(*h));
    h->dbname = dbname;
    return ks_handle_open(h, buf, kstype);
}

int answer_ok(upcall_buf *buf)
{
    return qelkiod_answer(buf, 0);
}
