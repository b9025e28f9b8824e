// Audit log upcalls: DB_LOG_READ and DB_LOG_WRITE.  Each opens the
// keystore with the log the message names (current or previous), runs the
// backend and closes the keystore on every path.
#include <cerrno>
#include <cstring>

#include "../cks/cks_int.h"
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

// The write sequence of a centralized keystore.  The log lock is held from
// before the count until after the last batch, so that writers on other
// hosts neither rotate the log under this one nor interleave with it.
// The lock is checked once more before a rotation, which removes entries:
// the directory may let another agent's lock value replace ours after we
// read it back, and a rotation without the lock could drop that agent's
// entries.
int cks_log_write(LDAP *ld, upcall_buf *buf)
{
    unsigned char *msg = buf->msg;
    char ks[DBM_KSNAME_LEN];
    int ret = qelkiod_msg_ksname(msg, DBM_KSNAME_OFF, ks);
    // A refused message takes no lock and rotates nothing.
    if (ret == 0)
        ret = rec_validate(msg, REC_OBJ, false);
    if (ret == 0)
        ret = localks_log_keys_valid(msg);
    if (ret == 0)
        ret = cks_lock_log(ld, ks, 0);
    if (ret != 0)
        return ret;
    uint32_t flags = msg_hdr(msg)->flags;
    int32_t nobjs = msg_get32(msg, DBM_NOBJS_OFF);
    // As for a local log, a write into the old log never rotates: the
    // rotation would drop the log being written to.
    for (int tries = 0; ret == 0 && (flags & (DBM_FLAG_KEY_SET | DBM_FLAG_OLD_LOG)) == 0;) {
        long count = get_log_count(ld, ks, CKS_LOGCUR_RDN);
        if (count < 0) {
            ret = EINVAL;
            break;
        }
        int64_t after = static_cast<int64_t>(count) + (nobjs > 0 ? nobjs : 0);
        if (after <= static_cast<int64_t>(mconf.auditloglimit))
            break;
        int held = cks_lock_held(ld, ks);
        if (held == 1) {
            qelkiod_log(LOG_INFO, "Initiating log rotation");
            ret = cks_log_rotate(ld, ks);
            break;
        }
        if (held < 0) {
            ret = -held;
            qelkiod_log(LOG_ERR, "Cannot obtain log lock for keystore %s: %s", ks,
                        cks_err2string(ret));
            break;
        }
        // Lost to another agent: wait for the lock again and count anew.
        qelkiod_log(LOG_NOTICE, "Log lock for keystore %s was taken over; waiting for it again",
                    ks);
        if (++tries >= CKS_LOCK_ATTEMPTS) {
            qelkiod_log(LOG_ERR, "Log lock timeout exceeded for keystore %s", ks);
            return ETIME;
        }
        if ((ret = cks_lock_log(ld, ks, 0)) != 0)
            return ret;
    }
    if (ret == 0)
        ret = cks_write_log_entries(ld, buf);
    cks_lock_log(ld, ks, 1);
    return ret;
}

// The frame of a log upcall: the thread's own keystore, opened with the
// log the message names, closed on every path.
int log_run(upcall_buf *buf, const char *what, local_op local, int (*central)(LDAP *, upcall_buf *))
{
    int ret = 0;
    char name[DBM_KSNAME_LEN];
    kstinfo *ks = handler_own_keystore(buf, what, name, &ret);
    if (ks == nullptr)
        return ret;
    ks_handle h;
    if ((ret = handler_open(&h, buf, ks->kstype, log_db_for(buf->msg))) != 0)
        return ret;
    ret = ks->kstype == DBM_KS_LDAP ? central(h.ld, buf) : local(&h, buf);
    ks_handle_close(&h, ks->kstype);
    return ret;
}

}  // namespace

int task_log_read(upcall_buf *buf)
{
    return log_run(buf, "LOG_READ", log_read, cks_read_log_entries);
}

int task_log_write(upcall_buf *buf)
{
    return log_run(buf, "LOG_WRITE", log_write, cks_log_write);
}
