// Audit log upcalls: DB_LOG_READ and DB_LOG_WRITE.  Each opens the
// keystore with the log the message names (current or previous), runs the
// backend and closes the keystore on every path.
#include <cerrno>
#include <cstring>

#include "../localks/localks.h"

namespace {

// The thread's keystore information, or nullptr after logging `what`.
kstinfo *handler_self(const char *what, int *err)
{
    kstinfo *ks = qelkiod_self();
    if (ks == nullptr) {
        // pthread_getspecific sets no errno; report a missing record as such.
        *err = errno != 0 ? errno : ENOENT;
        qelkiod_log(LOG_ERR, "Cannot get TSD value for %s: %s", what, strerror(*err));
    }
    return ks;
}

const char *log_db_for(const unsigned char *msg)
{
    return (msg_hdr(msg)->flags & DBM_FLAG_OLD_LOG) != 0 ? KS_AUDITLOG_OLD_DB : KS_AUDITLOG_DB;
}

// The directory backend has no audit log functions yet; its keystores are
// refused here rather than answered wrongly.
int cks_log_unavailable(const char *what)
{
    qelkiod_log(LOG_ERR, "Centralized keystore support is not available: %s", what);
    return EOPNOTSUPP;
}

// Every entry must lie inside the message and hold its 32-byte log key.
// Checked before the rotation test so that a refused message changes
// nothing; write_log_entries checks each continuation message again.
int log_message_valid(const unsigned char *msg)
{
    rec_iter it;
    int ret = rec_iter_init(&it, msg, REC_OBJ, false);
    if (ret != 0)
        return ret;
    rec_view v;
    while ((ret = rec_iter_next(&it, &v)) == 1) {
        if (v.len < DBM_LOG_KEY_LEN) {
            qelkiod_log(LOG_ERR, "Log entry %d bytes long is shorter than its %d-byte key",
                        v.len, DBM_LOG_KEY_LEN);
            return EINVAL;
        }
    }
    return ret;
}

// Rotation test and rotation of a local log, once per upcall.
int local_rotate_if_full(ks_handle *h, int nobjs)
{
    int need = localks_rotation_req(h->db, nobjs);
    if (need == 0)
        return 0;
    if (need != 1) {
        if (need != -1)
            qelkiod_log(LOG_ERR, "Invalid return value %d from log rotation check", need);
        return EINVAL;
    }
    qelkiod_log(LOG_INFO, "Initiating log rotation");
    return localks_log_rotate(h);
}

}  // namespace

int task_log_read(upcall_buf *buf)
{
    int err = 0;
    kstinfo *ks = handler_self("LOG_READ", &err);
    if (ks == nullptr)
        return err;
    ks_handle h;
    memset(&h, 0, sizeof(h));
    h.dbname = log_db_for(buf->msg);
    int ret = ks_handle_open(&h, buf, ks->kstype);
    if (ret != 0)
        return ret;
    if (ks->kstype == DBM_KS_LOCAL)
        ret = read_log_entries(h.db, buf);
    else
        ret = cks_log_unavailable("cks_read_log_entries");
    ks_handle_close(&h, ks->kstype);
    return ret;
}

int task_log_write(upcall_buf *buf)
{
    int err = 0;
    kstinfo *ks = handler_self("LOG_WRITE", &err);
    if (ks == nullptr)
        return err;
    ks_handle h;
    memset(&h, 0, sizeof(h));
    h.dbname = log_db_for(buf->msg);
    int ret = ks_handle_open(&h, buf, ks->kstype);
    if (ret != 0)
        return ret;
    if (ks->kstype == DBM_KS_LOCAL) {
        // Continuation messages of the exchange are written without a new
        // test: write_log_entries consumes them after the first answer.
        ret = log_message_valid(buf->msg);
        if (ret == 0 && (msg_hdr(buf->msg)->flags & DBM_FLAG_KEY_SET) == 0)
            ret = local_rotate_if_full(&h, msg_get32(buf->msg, DBM_NOBJS_OFF));
        if (ret == 0)
            ret = write_log_entries(h.env, h.db, buf);
    } else {
        ret = cks_log_unavailable("cks_write_log_entries");
    }
    ks_handle_close(&h, ks->kstype);
    return ret;
}
