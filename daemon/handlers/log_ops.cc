// Audit log upcalls: DB_LOG_READ and DB_LOG_WRITE.  Each opens the
// keystore with the log the message names (current or previous), runs the
// backend and closes the keystore on every path.
#include <cerrno>
#include <cstring>

#include "handler_util.h"

namespace {

const char *log_db_for(const unsigned char *msg)
{
    return (msg_hdr(msg)->flags & DBM_FLAG_OLD_LOG) != 0 ? KS_AUDITLOG_OLD_DB : KS_AUDITLOG_DB;
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

int log_read(ks_handle *h, upcall_buf *buf) { return read_log_entries(h->db, buf); }

int log_write(ks_handle *h, upcall_buf *buf)
{
    // Every entry must lie inside the message and hold its 32-byte log key.
    // Checked before the rotation test so that a refused message changes
    // nothing; write_log_entries checks each continuation message again, as
    // it consumes them after the first answer without a new rotation test.
    // Only a write into the current log may rotate it, and the test then
    // counts the current log.  A write into the previous log must not: its
    // count says nothing about the current log, and a rotation would
    // remove the very log being written to.
    int ret = localks_log_keys_valid(buf->msg);
    uint32_t flags = msg_hdr(buf->msg)->flags;
    if (ret == 0 && (flags & (DBM_FLAG_KEY_SET | DBM_FLAG_OLD_LOG)) == 0)
        ret = local_rotate_if_full(h, msg_get32(buf->msg, DBM_NOBJS_OFF));
    if (ret == 0)
        ret = write_log_entries(h->env, h->db, buf);
    return ret;
}

}  // namespace

// The directory backend has no audit log functions yet; its keystores are
// refused rather than answered wrongly.

int task_log_read(upcall_buf *buf)
{
    return handler_run_local(buf, "LOG_READ", log_db_for(buf->msg), "cks_read_log_entries",
                             log_read);
}

int task_log_write(upcall_buf *buf)
{
    return handler_run_local(buf, "LOG_WRITE", log_db_for(buf->msg), "cks_write_log_entries",
                             log_write);
}
