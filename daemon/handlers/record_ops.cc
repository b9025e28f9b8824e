// User and object upcalls.  Each handler opens the keystore with the
// database it needs, picks the operation from the message's selectors,
// runs it (the operation answers the firmware itself) and closes the
// keystore on every path.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "../cks/cks.h"
#include "handler_util.h"

namespace {

struct buf_free {
    void operator()(upcall_buf *b) const { free(b); }
};
typedef std::unique_ptr<upcall_buf, buf_free> buf_ptr;

// A copy of the whole upcall buffer in which the answer to a read-by-ID is
// built while the request's IDs are still read from the original.
buf_ptr copy_buf(const upcall_buf *buf)
{
    buf_ptr copy(static_cast<upcall_buf *>(malloc(DBM_UPCALL_BUFSZ)));
    if (copy)
        memcpy(copy.get(), buf, sizeof(upcall_buf));
    return copy;
}

int32_t msg_count(const upcall_buf *buf, size_t off) { return msg_get32(buf->msg, off); }

// A read by ID: the answer pushes, started by `start`, are built in a copy
// of the buffer.
template <class H, class R>
int read_byid(H *handle, upcall_buf *buf, void (*start)(dbm_header_t *), R read)
{
    buf_ptr ans = copy_buf(buf);
    if (!ans) {
        qelkiod_log(LOG_ERR, "Cannot allocate reply buffer: %s", strerror(ENOMEM));
        return ENOMEM;
    }
    start(msg_hdr(ans->msg));
    return read(handle, buf, ans.get());
}

// Removes both record databases at once; they are created empty again at
// their next open.
int remove_all_users(DB_ENV *env, upcall_buf *buf)
{
    int ret = env->dbremove(env, nullptr, KS_USER_DB, nullptr, DB_AUTO_COMMIT);
    if (ret == 0)
        ret = env->dbremove(env, nullptr, KS_OBJECT_DB, nullptr, DB_AUTO_COMMIT);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Cannot delete the user db: %s", db_strerror(ret));
        return ret;
    }
    return answer_ok(buf);
}

int delete_users(DB_ENV *env, upcall_buf *buf)
{
    DB *udb = nullptr;
    DB *odb = nullptr;
    int ret = localks_open_db(env, KS_USER_DB, DB_CREATE, &udb);
    if (ret == 0)
        ret = localks_open_db(env, KS_OBJECT_DB, DB_CREATE, &odb);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "DB open for user deletion failed: %s", db_strerror(ret));
        if (udb != nullptr)
            udb->close(udb, 0);
        return ret;
    }
    qelkiod_log(LOG_DEBUG, "Opening databases for user deletion");
    ret = delete_user_byid(env, udb, odb, buf);
    odb->close(odb, 0);
    udb->close(udb, 0);
    return ret;
}

// The operations on an open local keystore, one per upcall.

int user_read(ks_handle *h, upcall_buf *buf)
{
    if (msg_count(buf, DBM_NUSERS_OFF) != 0)
        return read_byid(h->db, buf, init_db_user_push, read_users_byid);
    init_db_user_push(msg_hdr(buf->msg));
    return read_all_users(h->db, buf);
}

int user_write(ks_handle *h, upcall_buf *buf) { return write_user_byid(h->env, h->db, buf); }

int user_del(ks_handle *h, upcall_buf *buf)
{
    if (msg_count(buf, DBM_NUSERS_OFF) == 0)
        return remove_all_users(h->env, buf);
    return delete_users(h->env, buf);
}

int obj_read(ks_handle *h, upcall_buf *buf)
{
    if (msg_count(buf, DBM_NOBJS_OFF) != 0)
        return read_byid(h->db, buf, init_db_obj_push, read_objs_byid);
    // The owner field, left as sent, selects one owner or, all zero, every
    // object of the keystore.
    init_db_obj_push(msg_hdr(buf->msg));
    if (is_null_user(buf->msg + DBM_OWNER_OFF, DBM_OWNER_LEN))
        return read_all_objs(h->db, buf);
    return read_objs_byuser(h->db, buf);
}

int obj_write(ks_handle *h, upcall_buf *buf) { return write_obj_byid(h->env, h->db, buf); }

int obj_del(ks_handle *h, upcall_buf *buf)
{
    if (msg_count(buf, DBM_NOBJS_OFF) != 0)
        return delete_obj_byid(h->env, h->db, buf);
    return delete_obj_byuser(h->env, h->db, buf);
}

// The operations on an open directory connection.

int central_user_read(ks_handle *h, upcall_buf *buf)
{
    if (msg_count(buf, DBM_NUSERS_OFF) != 0)
        return read_byid(h->ld, buf, init_db_user_push, cks_read_users_byid);
    init_db_user_push(msg_hdr(buf->msg));
    return cks_read_all_users(h->ld, buf);
}

int central_user_write(ks_handle *h, upcall_buf *buf) { return cks_write_user_byid(h->ld, buf); }

// With nusers 0 no user is named, and none is deleted.
int central_user_del(ks_handle *h, upcall_buf *buf) { return cks_del_user_byid(h->ld, buf); }

int central_obj_read(ks_handle *h, upcall_buf *buf)
{
    if (msg_count(buf, DBM_NOBJS_OFF) != 0)
        return read_byid(h->ld, buf, init_db_obj_push, cks_read_objs_byid);
    init_db_obj_push(msg_hdr(buf->msg));
    if (is_null_user(buf->msg + DBM_OWNER_OFF, DBM_OWNER_LEN))
        return cks_read_all_objs(h->ld, buf);
    return cks_read_objs_byuser(h->ld, buf);
}

int central_obj_write(ks_handle *h, upcall_buf *buf) { return cks_write_obj_byid(h->ld, buf); }

int central_obj_del(ks_handle *h, upcall_buf *buf)
{
    if (msg_count(buf, DBM_NOBJS_OFF) != 0)
        return cks_del_obj_byid(h->ld, buf);
    return cks_del_obj_byuser(h->ld, buf);
}

typedef int (*record_op)(ks_handle *h, upcall_buf *buf);

// The frame of a record upcall on the thread's own keystore: opens it with
// `dbname` (a local environment and database, or a directory connection),
// runs the operation of its kind and closes the keystore on every path.
int run_record_op(upcall_buf *buf, const char *what, const char *dbname, record_op local,
                  record_op central)
{
    int ret = 0;
    char name[DBM_KSNAME_LEN];
    kstinfo *ks = handler_own_keystore(buf, what, name, &ret);
    if (ks == nullptr)
        return ret;
    ks_handle h;
    if ((ret = handler_open(&h, buf, ks->kstype, dbname)) != 0)
        return ret;
    ret = ks->kstype == DBM_KS_LOCAL ? local(&h, buf) : central(&h, buf);
    ks_handle_close(&h, ks->kstype);
    return ret;
}

}  // namespace

// The entry points.

int task_user_read(upcall_buf *buf)
{
    return run_record_op(buf, "USER_READ", KS_USER_DB, user_read, central_user_read);
}

int task_user_write(upcall_buf *buf)
{
    return run_record_op(buf, "USER_WRITE", KS_USER_DB, user_write, central_user_write);
}

int task_user_del(upcall_buf *buf)
{
    return run_record_op(buf, "USER_DEL", nullptr, user_del, central_user_del);
}

int task_obj_read(upcall_buf *buf)
{
    return run_record_op(buf, "OBJ_READ", KS_OBJECT_DB, obj_read, central_obj_read);
}

int task_obj_write(upcall_buf *buf)
{
    return run_record_op(buf, "OBJ_WRITE", KS_OBJECT_DB, obj_write, central_obj_write);
}

int task_obj_del(upcall_buf *buf)
{
    return run_record_op(buf, "OBJ_DEL", KS_OBJECT_DB, obj_del, central_obj_del);
}
