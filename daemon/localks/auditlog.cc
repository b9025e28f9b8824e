// Local audit log: the current log "auditlog.db" and the previous one
// "auditlog.old.db", both B-trees with DB_RECNUM keyed by the entry's 32-byte
// log key.  Entries are written in one transaction per message, the current
// log is rotated when a write would take it past the configured limit, and
// reads send all, the newest or the oldest entries back as log pushes.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "localks.h"

namespace {

// Exact entry count from the root page; DB_RECNUM keeps it exact without a
// walk of the tree.  Returns 0 or the Berkeley DB status (logged).
int log_entry_count(DB *db, uint32_t *count)
{
    DB_BTREE_STAT *st = nullptr;
    int ret = db->stat(db, nullptr, &st, DB_FAST_STAT);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Cannot get database stats for audit log: %s", db_strerror(ret));
        return ret;
    }
    *count = st->bt_nkeys;
    free(st);
    return 0;
}

uint32_t be32_at(const unsigned char *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Checks every record of a log write before anything is stored: each must
// lie inside the message and hold at least the 32-byte log key, which is
// stamped in place and used as the database key.
int validate_log_message(const unsigned char *msg)
{
    int ret = rec_validate(msg, REC_OBJ, false);
    if (ret != 0)
        return ret;
    return localks_log_keys_valid(msg);
}

// Stores the entries of one message in the transaction.
int put_log_entries(DB *db, DB_TXN *txn, unsigned char *msg, bool stamp)
{
    rec_iter it;
    int ret = rec_iter_init(&it, msg, REC_OBJ, false);
    if (ret != 0)
        return ret;
    rec_view v;
    while ((ret = rec_iter_next(&it, &v)) == 1) {
        if (stamp) {
            ret = set_log_key(msg + v.pos);
            if (ret != 0)
                return ret;
        }
        unsigned char *data = msg + v.pos + DBM_OBJ_HEAD;
        DBT key, val;
        memset(&key, 0, sizeof(key));
        memset(&val, 0, sizeof(val));
        key.data = data;
        key.size = DBM_LOG_KEY_LEN;
        val.data = data;
        val.size = static_cast<uint32_t>(v.len);
        ret = db->put(db, txn, &key, &val, 0);
        if (ret != 0) {
            qelkiod_log(LOG_ERR,
                        "Failed to log entry: %08x:%08x:%08x:%08x:%08x:%08x:%08x:%08x:",
                        be32_at(data), be32_at(data + 4), be32_at(data + 8), be32_at(data + 12),
                        be32_at(data + 16), be32_at(data + 20), be32_at(data + 24),
                        be32_at(data + 28));
            return ret;
        }
    }
    return ret;
}

// Turns the buffer into an empty log push, keeping the old-log mark of the
// request so that every push of the read carries it.
void start_log_push(unsigned char *msg, bool old_log)
{
    init_db_log_push(msg_hdr(msg));
    if (old_log)
        msg_hdr(msg)->flags |= DBM_FLAG_OLD_LOG;
}

// Places the cursor on the first entry to send: the r-th from the end for
// 0 < r < n (stepping back from the last entry), else the first entry.
int position_log_cursor(DBC *cur, DBT *key, DBT *val, int32_t r, uint32_t n)
{
    int ret;
    if (r > 0 && static_cast<uint32_t>(r) < n) {
        ret = cur->get(cur, key, val, DB_LAST);
        if (ret != 0) {
            if (ret != DB_NOTFOUND)
                qelkiod_log(LOG_ERR, "Error setting cursor at the end of log database: %s",
                            db_strerror(ret));
            return ret;
        }
        for (int32_t reached = 1; reached < r; reached++) {
            ret = cur->get(cur, key, val, DB_PREV);
            if (ret != 0) {
                qelkiod_log(LOG_ERR, "Error seeking record %d from end of log database: %s",
                            reached, db_strerror(ret));
                return ret;
            }
        }
        return 0;
    }
    ret = cur->get(cur, key, val, DB_FIRST);
    if (ret != 0)
        qelkiod_log(LOG_ERR, "Cannot obtain first log record: %s", db_strerror(ret));
    return ret;
}

// Sends entries forward from the cursor's position, at most `limit` of them
// (0: all).  Returns 0 with the last push still to be submitted, or a
// status.
int push_log_entries(DBC *cur, DBT *key, DBT *val, upcall_buf *buf, bool old_log,
                     uint64_t limit)
{
    unsigned char *msg = buf->msg;
    size_t pos = DBM_OBJS_OFF;
    uint64_t sent = 0;
    int ret = 0;
    while (limit == 0 || sent < limit) {
        if (val->size > DBM_MAX_OBJ_DATA) {
            // No push can carry it; sending empty pushes for ever would not
            // help, so the read fails.
            qelkiod_log(LOG_ERR, "Log entry of %u bytes is too large for a log push",
                        val->size);
            return EINVAL;
        }
        if (!space_exists_obj(msg, pos, val->size)) {
            msg_hdr(msg)->flags |= DBM_FLAG_MORE;
            ret = submit_message(buf);
            if (ret != 0)
                return ret;
            start_log_push(msg, old_log);
            pos = DBM_OBJS_OFF;
            continue;
        }
        // The entry's ID is a copy of key bytes 8 to 15; a stored entry too
        // short to hold them (never written by this daemon) gets zeros.
        unsigned char id[DBM_OBJ_ID_LEN] = {0};
        const unsigned char *data = static_cast<const unsigned char *>(val->data);
        if (val->size > 8)
            memcpy(id, data + 8, val->size >= 16 ? DBM_OBJ_ID_LEN : val->size - 8);
        pos = load_obj(msg, pos, id, DBM_OBJ_ID_LEN, data, val->size);
        sent++;
        if (limit != 0 && sent >= limit)
            break;
        ret = cur->get(cur, key, val, DB_NEXT);
        if (ret == DB_NOTFOUND)
            break;
        if (ret != 0) {
            qelkiod_log(LOG_ERR, "Failed on object read: %s", db_strerror(ret));
            return ret;
        }
    }
    return 0;
}

}  // namespace

int localks_log_keys_valid(const unsigned char *msg)
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

int localks_rotation_req(DB *db, int n)
{
    uint32_t count = 0;
    if (log_entry_count(db, &count) != 0)
        return -1;
    // A count of zero or less means no records.  The sum is formed in 64
    // bits so that a huge count cannot wrap around below the limit.
    uint64_t incoming = n > 0 ? static_cast<uint32_t>(n) : 0;
    uint64_t limit = static_cast<uint32_t>(mconf.auditloglimit);
    return incoming + count > limit ? 1 : 0;
}

int localks_log_rotate(ks_handle *h)
{
    if (h->db != nullptr) {
        h->db->close(h->db, 0);
        h->db = nullptr;
    }
    DB_ENV *env = h->env;
    int ret = env->dbremove(env, nullptr, KS_AUDITLOG_OLD_DB, nullptr, DB_AUTO_COMMIT);
    if (ret != 0 && ret != ENOENT) {
        qelkiod_log(LOG_ERR, "Cannot remove old audit log: %s", db_strerror(ret));
        return ret;
    }
    ret = env->dbrename(env, nullptr, KS_AUDITLOG_DB, nullptr, KS_AUDITLOG_OLD_DB, DB_AUTO_COMMIT);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Cannot rotate audit log: %s", db_strerror(ret));
        return ret;
    }
    h->dbname = KS_AUDITLOG_DB;
    return localks_open_db(env, KS_AUDITLOG_DB, DB_CREATE, &h->db);
}

int write_log_entries(DB_ENV *env, DB *db, upcall_buf *buf)
{
    const uint32_t type = msg_hdr(buf->msg)->type;
    for (;;) {
        unsigned char *msg = buf->msg;
        // Refuse a malformed message before any of its entries is stored.
        int ret = validate_log_message(msg);
        if (ret != 0)
            return ret;
        DB_TXN *txn = nullptr;
        if ((ret = localks_txn_begin(env, &txn)) != 0)
            return ret;
        uint32_t flags = msg_hdr(msg)->flags;
        ret = put_log_entries(db, txn, msg, (flags & DBM_FLAG_KEY_SET) == 0);
        if (ret != 0) {
            txn->abort(txn);
            return ret;
        }
        ret = txn->commit(txn, 0);
        if (ret != 0) {
            qelkiod_log(LOG_ERR, "Object write transaction commit failed, aborting.");
            return ret;
        }
        make_response(msg_hdr(msg), 0);
        ret = submit_message(buf);
        if (ret != 0)
            return ret;
        if ((flags & DBM_FLAG_MORE) == 0)
            return 0;
        // The reply must be the next part of the same exchange; anything
        // else would be misread as log entries.
        if (msg_hdr(msg)->type != type) {
            qelkiod_log(LOG_ERR, "Expected continuation of message type 0x%x, received 0x%x", type,
                        msg_hdr(msg)->type);
            return EINVAL;
        }
    }
}

int read_log_entries(DB *db, upcall_buf *buf)
{
    unsigned char *msg = buf->msg;
    uint32_t n = 0;
    int ret = log_entry_count(db, &n);
    if (ret != 0)
        return ret;
    int32_t r = msg_get32(msg, DBM_NOBJS_OFF);
    bool old_log = (msg_hdr(msg)->flags & DBM_FLAG_OLD_LOG) != 0;
    start_log_push(msg, old_log);
    if (n == 0)
        return submit_message(buf);

    DBC *cur = nullptr;
    if ((ret = localks_cursor(db, nullptr, &cur)) != 0)
        return ret;
    DBT key, val;
    memset(&key, 0, sizeof(key));
    memset(&val, 0, sizeof(val));
    ret = position_log_cursor(cur, &key, &val, r, n);
    if (ret == 0) {
        // |r| without overflow for INT32_MIN.
        uint64_t limit = r < 0 ? uint64_t(-int64_t(r)) : uint64_t(r);
        ret = push_log_entries(cur, &key, &val, buf, old_log, limit);
    }
    cur->close(cur);
    if (ret != 0)
        return ret;
    return submit_message(buf);
}
