// Users ("user.db", key = 20-byte user ID) and key objects ("object.db",
// key = 20-byte owner ID + 8-byte object ID) of a local keystore.  Writes
// and deletes apply one message per transaction; reads stream the stored
// records back in push messages, opening the next push exactly where a
// record no longer fits.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "localks.h"

namespace {

DBT make_dbt(const void *p, size_t n)
{
    DBT d;
    memset(&d, 0, sizeof(d));
    d.data = const_cast<void *>(p);
    d.size = static_cast<u_int32_t>(n);
    return d;
}

uint32_t be_word(const unsigned char *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Object IDs are shown as "%x/%d" of their two big-endian words.
uint32_t oid_hi(const unsigned char *oid) { return be_word(oid); }
int oid_lo(const unsigned char *oid) { return static_cast<int>(be_word(oid + 4)); }

// A stored key in hexadecimal for a log line: its first 32 bytes at most
// (the keys of this backend have 20 or 28), in a buffer of its own, so that
// the line needs no allocation.
struct hex_text {
    char s[2 * 32 + 1];
};

hex_text hex(const void *p, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    const unsigned char *b = static_cast<const unsigned char *>(p);
    hex_text t;
    if (n > 32)
        n = 32;
    for (size_t i = 0; i < n; i++) {
        t.s[2 * i] = digits[b[i] >> 4];
        t.s[2 * i + 1] = digits[b[i] & 15];
    }
    t.s[2 * n] = '\0';
    return t;
}

// The 28-byte object key of owner + object ID.
void obj_key(unsigned char key[DBM_OBJ_KEY_LEN], const unsigned char *owner, const unsigned char *oid)
{
    memcpy(key, owner, DBM_OWNER_LEN);
    memcpy(key + DBM_OWNER_LEN, oid, DBM_OBJ_ID_LEN);
}

bool key_has_owner(const DBT &key, const unsigned char *owner)
{
    size_t n = key.size < DBM_OWNER_LEN ? key.size : DBM_OWNER_LEN;
    return memcmp(key.data, owner, n) == 0;
}

void close_cursor(DBC **c)
{
    if (*c != nullptr) {
        (*c)->close(*c);
        *c = nullptr;
    }
}

// ---- write and delete exchanges ----

struct exchange {
    int kind;             // REC_USER or REC_OBJ
    bool ids_only;        // deletes carry identifiers only
    const char *commit_msg;
    // Applies one record inside the transaction; logs its own failure.
    int (*apply)(const exchange &x, DB_TXN *txn, const unsigned char *msg, const rec_view &r);
    DB *db;
    DB *db2;              // "object.db" for user deletion
};

int apply_user_write(const exchange &x, DB_TXN *txn, const unsigned char *, const rec_view &r)
{
    DBT key = make_dbt(r.id, DBM_USER_ID_LEN);
    DBT data = make_dbt(r.data, static_cast<size_t>(r.len));
    int ret = x.db->put(x.db, txn, &key, &data, 0);
    if (ret != 0)
        qelkiod_log(LOG_ERR, "Failed to add user: %s", db_strerror(ret));
    return ret;
}

int apply_user_delete(const exchange &x, DB_TXN *txn, const unsigned char *, const rec_view &r)
{
    int ret = delete_all_user_objects(x.db2, txn, r.id, DBM_USER_ID_LEN);
    if (ret != 0 && ret != DB_NOTFOUND) {
        qelkiod_log(LOG_ERR, "User deletion aborted");
        return ret;
    }
    DBT key = make_dbt(r.id, DBM_USER_ID_LEN);
    ret = x.db->del(x.db, txn, &key, 0);
    if (ret != 0)
        qelkiod_log(LOG_ERR, "Failed to delete user: %s", db_strerror(ret));
    return ret;
}

int apply_obj_write(const exchange &x, DB_TXN *txn, const unsigned char *msg, const rec_view &r)
{
    qelkiod_log(LOG_DEBUG, "Writing object %x/%d", oid_hi(r.id), oid_lo(r.id));
    unsigned char k[DBM_OBJ_KEY_LEN];
    obj_key(k, msg + DBM_OWNER_OFF, r.id);
    DBT key = make_dbt(k, sizeof(k));
    DBT data = make_dbt(r.data, static_cast<size_t>(r.len));
    int ret = x.db->put(x.db, txn, &key, &data, 0);
    if (ret != 0)
        qelkiod_log(LOG_ERR, "Failed to add object: %x/%d: %s", oid_hi(r.id), oid_lo(r.id),
                    db_strerror(ret));
    return ret;
}

int apply_obj_delete(const exchange &x, DB_TXN *txn, const unsigned char *msg, const rec_view &r)
{
    qelkiod_log(LOG_DEBUG, "Deleting object %x/%d", oid_hi(r.id), oid_lo(r.id));
    unsigned char k[DBM_OBJ_KEY_LEN];
    obj_key(k, msg + DBM_OWNER_OFF, r.id);
    DBT key = make_dbt(k, sizeof(k));
    int ret = x.db->del(x.db, txn, &key, 0);
    if (ret == DB_NOTFOUND)
        return 0;
    if (ret != 0)
        qelkiod_log(LOG_ERR, "Failed to delete object: %x/%d: %s", oid_hi(r.id), oid_lo(r.id),
                    db_strerror(ret));
    return ret;
}

// Applies every record of one message in one transaction.  The records are
// checked against the message bounds first, so a malformed message changes
// nothing.
int apply_message(DB_ENV *env, const exchange &x, upcall_buf *buf)
{
    int ret = rec_validate(buf->msg, x.kind, x.ids_only);
    if (ret != 0)
        return ret;
    DB_TXN *txn = nullptr;
    if ((ret = localks_txn_begin(env, &txn)) != 0)
        return ret;
    rec_iter it;
    rec_view r;
    ret = rec_iter_init(&it, buf->msg, x.kind, x.ids_only);
    while (ret == 0) {
        int more = rec_iter_next(&it, &r);
        if (more != 1) {
            ret = more;   // 0 at the end
            break;
        }
        ret = x.apply(x, txn, buf->msg, r);
    }
    if (ret != 0) {
        txn->abort(txn);
        return ret;
    }
    ret = txn->commit(txn, 0);
    if (ret != 0)
        qelkiod_log(LOG_ERR, "%s", x.commit_msg);
    return ret;
}

// The firmware may split one update over several messages, all but the
// last carrying DBM_FLAG_MORE; each message is committed and answered
// before the next one arrives in the buffer, so parts already answered
// stay stored if a later part fails.
int run_exchange(DB_ENV *env, const exchange &x, upcall_buf *buf)
{
    dbm_header_t *hdr = msg_hdr(buf->msg);
    const uint32_t type = hdr->type;
    for (;;) {
        uint32_t flags = hdr->flags;
        int ret = apply_message(env, x, buf);
        if (ret != 0)
            return ret;
        make_response(hdr, 0);
        ret = submit_message(buf);
        if (ret != 0)
            return ret;
        if ((flags & DBM_FLAG_MORE) == 0)
            return 0;
        // The reply must be the next part of the same exchange; anything
        // else would be misread as records.
        if (hdr->type != type) {
            qelkiod_log(LOG_ERR, "Expected continuation of message type 0x%x, received 0x%x", type,
                        hdr->type);
            return EINVAL;
        }
    }
}

// ---- pushes ----

struct push {
    upcall_buf *buf;
    int kind;                           // REC_USER or REC_OBJ
    unsigned char owner[DBM_OWNER_LEN]; // object pushes: the owner they name
};

void push_start(push *p)
{
    dbm_header_t *hdr = msg_hdr(p->buf->msg);
    if (p->kind == REC_USER) {
        init_db_user_push(hdr);
    } else {
        init_db_obj_push(hdr);
        memcpy(p->buf->msg + DBM_OWNER_OFF, p->owner, DBM_OWNER_LEN);
    }
}

// Sends the current push with DBM_FLAG_MORE and starts the next one.
int push_flush(push *p)
{
    msg_hdr(p->buf->msg)->flags |= DBM_FLAG_MORE;
    int ret = submit_message(p->buf);
    if (ret != 0)
        return ret;
    push_start(p);
    return 0;
}

// Appends one record, sending the push first when the record would pass
// the end of the message.  A record no push can carry fails the read: it
// would otherwise never fit, not even in an empty push.
int push_add(push *p, const void *id, size_t idlen, const void *key, size_t keylen,
             const void *data, size_t len)
{
    size_t maxlen = p->kind == REC_USER ? DBM_MAX_USER_DATA : DBM_MAX_OBJ_DATA;
    if (len > maxlen) {
        qelkiod_log(LOG_ERR, "Stored record %s of %zu bytes is too large for a push",
                    hex(key, keylen).s, len);
        return EINVAL;
    }
    unsigned char *m = p->buf->msg;
    size_t pos = static_cast<size_t>(msg_hdr(m)->paramSize);
    bool fits = p->kind == REC_USER ? space_exists_user(m, pos, len) : space_exists_obj(m, pos, len);
    if (!fits) {
        int ret = push_flush(p);
        if (ret != 0)
            return ret;
        pos = static_cast<size_t>(msg_hdr(m)->paramSize);
    }
    if (p->kind == REC_USER)
        load_user(m, pos, id, idlen, data, len);
    else
        load_obj(m, pos, id, idlen, data, len);
    return 0;
}

int push_user(push *p, const DBT &key, const DBT &data)
{
    return push_add(p, key.data, key.size, key.data, key.size, data.data, data.size);
}

// The object ID is the key's last 8 bytes (after the 20-byte owner).
int push_obj(push *p, const DBT &key, const DBT &data)
{
    const unsigned char *k = static_cast<const unsigned char *>(key.data);
    size_t idlen = key.size > DBM_OWNER_LEN ? key.size - DBM_OWNER_LEN : 0;
    if (idlen > DBM_OBJ_ID_LEN)
        idlen = DBM_OBJ_ID_LEN;
    if (idlen == DBM_OBJ_ID_LEN)
        qelkiod_log(LOG_DEBUG, "Loaded Object: %x/%d", oid_hi(k + DBM_OWNER_LEN),
                    oid_lo(k + DBM_OWNER_LEN));
    return push_add(p, k + DBM_OWNER_LEN, idlen, key.data, key.size, data.data, data.size);
}

// The last push of a read: sent without DBM_FLAG_MORE; it is the answer.
int push_finish(push *p)
{
    msg_hdr(p->buf->msg)->flags &= ~DBM_FLAG_MORE;
    return submit_message(p->buf);
}

// Ends a cursor walk of a read: closes the cursor, then fails with `ret`
// (a failed push) or with a failed step, or sends the last push.  Only the
// end of the database or of the owner's keys ends the walk; any other
// failure must not be answered as a complete (but truncated) read.
int walk_finish(DBC **c, push *p, int ret, int step, const char *what)
{
    close_cursor(c);
    if (ret != 0)
        return ret;
    if (step != 0 && step != DB_NOTFOUND) {
        qelkiod_log(LOG_ERR, "Failed on %s read: %s", what, db_strerror(step));
        return step;
    }
    return push_finish(p);
}

}  // namespace

int write_user_byid(DB_ENV *env, DB *db, upcall_buf *buf)
{
    exchange x{REC_USER, false, "User write transaction commit failed, aborting.", apply_user_write,
               db, nullptr};
    return run_exchange(env, x, buf);
}

int delete_user_byid(DB_ENV *env, DB *udb, DB *odb, upcall_buf *buf)
{
    exchange x{REC_USER, true, "User delete transaction commit failed, aborting.",
               apply_user_delete, udb, odb};
    return run_exchange(env, x, buf);
}

int write_obj_byid(DB_ENV *env, DB *db, upcall_buf *buf)
{
    exchange x{REC_OBJ, false, "Object write transaction commit failed, aborting.", apply_obj_write,
               db, nullptr};
    return run_exchange(env, x, buf);
}

int delete_obj_byid(DB_ENV *env, DB *db, upcall_buf *buf)
{
    exchange x{REC_OBJ, true, "Object delete transaction commit failed, aborting.",
               apply_obj_delete, db, nullptr};
    return run_exchange(env, x, buf);
}

int delete_all_user_objects(DB *db, DB_TXN *txn, const unsigned char *uid, int uidlen)
{
    DBC *c = nullptr;
    int ret = localks_cursor(db, txn, &c);
    if (ret != 0)
        return ret;
    unsigned char owner[DBM_OWNER_LEN];
    memset(owner, 0, sizeof(owner));
    size_t n = uidlen < 0 ? 0 : static_cast<size_t>(uidlen);
    memcpy(owner, uid, n < sizeof(owner) ? n : sizeof(owner));

    DBT key = make_dbt(owner, sizeof(owner));
    DBT data = make_dbt(nullptr, 0);
    ret = c->get(c, &key, &data, DB_SET_RANGE);
    if (ret != 0) {
        if (ret != DB_NOTFOUND)
            qelkiod_log(LOG_ERR, "Cannot locate start of user object entries: %s", db_strerror(ret));
        close_cursor(&c);
        return ret;
    }
    if (!key_has_owner(key, owner)) {
        close_cursor(&c);
        return DB_NOTFOUND;
    }
    int step;
    do {
        const unsigned char *k = static_cast<const unsigned char *>(key.data);
        uint32_t hi = key.size >= DBM_OBJ_KEY_LEN ? oid_hi(k + DBM_OWNER_LEN) : 0;
        int lo = key.size >= DBM_OBJ_KEY_LEN ? oid_lo(k + DBM_OWNER_LEN) : 0;
        qelkiod_log(LOG_DEBUG, "Deleting object %x/%d", hi, lo);
        ret = c->del(c, 0);
        if (ret != 0) {
            qelkiod_log(LOG_ERR, "Failed deleting object %x/%d: %s", hi, lo, db_strerror(ret));
            close_cursor(&c);
            return ret;
        }
    } while ((step = c->get(c, &key, &data, DB_NEXT)) == 0 && key_has_owner(key, owner));
    close_cursor(&c);
    // Only the end of the database ends the walk early: after any other
    // failure objects of the user may remain, and the caller must abort
    // rather than commit a partial deletion.
    if (step != 0 && step != DB_NOTFOUND) {
        qelkiod_log(LOG_ERR, "Cannot step to the next user object entry: %s", db_strerror(step));
        return step;
    }
    return 0;
}

int delete_obj_byuser(DB_ENV *env, DB *db, upcall_buf *buf)
{
    DB_TXN *txn = nullptr;
    int ret = localks_txn_begin(env, &txn);
    if (ret != 0)
        return ret;
    ret = delete_all_user_objects(db, txn, buf->msg + DBM_OWNER_OFF, DBM_OWNER_LEN);
    if (ret == DB_NOTFOUND) {
        txn->abort(txn);
    } else if (ret != 0) {
        txn->abort(txn);
        return ret;
    } else if ((ret = txn->commit(txn, 0)) != 0) {
        qelkiod_log(LOG_ERR, "Object delete transaction commit failed, aborting.");
        return ret;
    }
    make_response(msg_hdr(buf->msg), 0);
    return submit_message(buf);
}

int read_users_byid(DB *db, upcall_buf *req, upcall_buf *ans)
{
    int ret = rec_validate(req->msg, REC_USER, true);
    if (ret != 0)
        return ret;
    push p{ans, REC_USER, {}};
    rec_iter it;
    rec_view r;
    rec_iter_init(&it, req->msg, REC_USER, true);
    while ((ret = rec_iter_next(&it, &r)) == 1) {
        DBT key = make_dbt(r.id, DBM_USER_ID_LEN);
        DBT data = make_dbt(nullptr, 0);
        ret = db->get(db, nullptr, &key, &data, 0);
        if (ret != 0) {
            qelkiod_log(LOG_ERR, "Failed trying to find user: %s", db_strerror(ret));
            return ret;
        }
        if ((ret = push_user(&p, key, data)) != 0)
            return ret;
    }
    if (ret != 0)
        return ret;
    return push_finish(&p);
}

int read_all_users(DB *db, upcall_buf *buf)
{
    DBC *c = nullptr;
    int ret = localks_cursor(db, nullptr, &c);
    if (ret != 0)
        return ret;
    push p{buf, REC_USER, {}};
    DBT key = make_dbt(nullptr, 0);
    DBT data = make_dbt(nullptr, 0);
    int step;
    while ((step = c->get(c, &key, &data, DB_NEXT)) == 0) {
        if ((ret = push_user(&p, key, data)) != 0)
            break;
    }
    return walk_finish(&c, &p, ret, step, "user");
}

int read_objs_byid(DB *db, upcall_buf *req, upcall_buf *ans)
{
    int ret = rec_validate(req->msg, REC_OBJ, true);
    if (ret != 0)
        return ret;
    push p{ans, REC_OBJ, {}};
    memcpy(p.owner, req->msg + DBM_OWNER_OFF, DBM_OWNER_LEN);
    memcpy(ans->msg + DBM_OWNER_OFF, p.owner, DBM_OWNER_LEN);
    rec_iter it;
    rec_view r;
    rec_iter_init(&it, req->msg, REC_OBJ, true);
    while ((ret = rec_iter_next(&it, &r)) == 1) {
        unsigned char k[DBM_OBJ_KEY_LEN];
        obj_key(k, p.owner, r.id);
        DBT key = make_dbt(k, sizeof(k));
        DBT data = make_dbt(nullptr, 0);
        ret = db->get(db, nullptr, &key, &data, 0);
        if (ret != 0) {
            qelkiod_log(LOG_ERR, "Cannot get record %d/%d: %s", static_cast<int>(oid_hi(r.id)),
                        oid_lo(r.id), db_strerror(ret));
            return ret;
        }
        if ((ret = push_obj(&p, key, data)) != 0)
            return ret;
    }
    if (ret != 0)
        return ret;
    return push_finish(&p);
}

int read_objs_byuser(DB *db, upcall_buf *buf)
{
    push p{buf, REC_OBJ, {}};
    memcpy(p.owner, buf->msg + DBM_OWNER_OFF, DBM_OWNER_LEN);
    DBC *c = nullptr;
    int ret = localks_cursor(db, nullptr, &c);
    if (ret != 0)
        return ret;
    unsigned char start[DBM_OWNER_LEN];
    memcpy(start, p.owner, sizeof(start));
    DBT key = make_dbt(start, sizeof(start));
    DBT data = make_dbt(nullptr, 0);
    ret = c->get(c, &key, &data, DB_SET_RANGE);
    if (ret != 0 && ret != DB_NOTFOUND) {
        qelkiod_log(LOG_ERR, "Cannot find user in object DB: %s", db_strerror(ret));
        close_cursor(&c);
        return ret;
    }
    if (ret == DB_NOTFOUND || !key_has_owner(key, p.owner)) {
        // No object for this owner: the empty push is the whole answer.
        close_cursor(&c);
        return push_finish(&p) == 0 ? 0 : ECANCELED;
    }
    int step = 0;
    do {
        if ((ret = push_obj(&p, key, data)) != 0)
            break;
    } while ((step = c->get(c, &key, &data, DB_NEXT)) == 0 && key_has_owner(key, p.owner));
    return walk_finish(&c, &p, ret, step, "object");
}

int read_all_objs(DB *db, upcall_buf *buf)
{
    // Each owner's objects travel in pushes of their own, naming the owner.
    // The all-zero owner is an owner like any other: its objects are sent
    // before the next owner's, never under that owner's ID.
    push p{buf, REC_OBJ, {}};
    memcpy(p.owner, buf->msg + DBM_OWNER_OFF, DBM_OWNER_LEN);
    DBC *c = nullptr;
    int ret = localks_cursor(db, nullptr, &c);
    if (ret != 0)
        return ret;
    DBT key = make_dbt(nullptr, 0);
    DBT data = make_dbt(nullptr, 0);
    bool loaded = false;  // the push holds records of p.owner
    int step;
    while ((step = c->get(c, &key, &data, DB_NEXT)) == 0) {
        if (!key_has_owner(key, p.owner)) {
            if (loaded && (ret = push_flush(&p)) != 0)
                break;
            size_t n = key.size < DBM_OWNER_LEN ? key.size : DBM_OWNER_LEN;
            memset(p.owner, 0, sizeof(p.owner));
            memcpy(p.owner, key.data, n);
            memcpy(buf->msg + DBM_OWNER_OFF, p.owner, DBM_OWNER_LEN);
        }
        if ((ret = push_obj(&p, key, data)) != 0)
            break;
        loaded = true;
    }
    return walk_finish(&c, &p, ret, step, "object");
}
