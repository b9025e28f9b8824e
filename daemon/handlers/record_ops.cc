// User and object upcalls.  Each handler opens the keystore with the
// database it needs, picks the operation from the message's selectors,
// runs it (the operation answers the firmware itself) and closes the
// keystore on every path.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "../localks/localks.h"

namespace {

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

// The directory backend has no record functions yet; its keystores are
// refused rather than answered wrongly.
int cks_records_unavailable(const char *what)
{
    qelkiod_log(LOG_ERR, "Centralized keystore support is not available: %s", what);
    return EOPNOTSUPP;
}

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

// Opens `dbname` (or the environment alone) for the thread's keystore.
int open_ks(ks_handle *h, upcall_buf *buf, const kstinfo *ks, const char *dbname)
{
    memset(h, 0, sizeof(*h));
    h->dbname = dbname;
    return ks_handle_open(h, buf, ks->kstype);
}

int32_t msg_count(const upcall_buf *buf, size_t off) { return msg_get32(buf->msg, off); }

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
    make_response(msg_hdr(buf->msg), 0);
    submit_message(buf);
    return 0;
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

}  // namespace

int task_user_read(upcall_buf *buf)
{
    int ret = 0;
    kstinfo *ks = handler_self("USER_READ", &ret);
    if (ks == nullptr)
        return ret;
    ks_handle h;
    if ((ret = open_ks(&h, buf, ks, KS_USER_DB)) != 0)
        return ret;
    if (ks->kstype != DBM_KS_LOCAL) {
        ret = cks_records_unavailable("user read");
    } else if (msg_count(buf, DBM_NUSERS_OFF) != 0) {
        buf_ptr ans = copy_buf(buf);
        if (!ans) {
            qelkiod_log(LOG_ERR, "Cannot allocate reply buffer: %s", strerror(ENOMEM));
            ret = ENOMEM;
        } else {
            init_db_user_push(msg_hdr(ans->msg));
            ret = read_users_byid(h.db, buf, ans.get());
        }
    } else {
        init_db_user_push(msg_hdr(buf->msg));
        ret = read_all_users(h.db, buf);
    }
    ks_handle_close(&h, ks->kstype);
    return ret;
}

int task_user_write(upcall_buf *buf)
{
    int ret = 0;
    kstinfo *ks = handler_self("USER_WRITE", &ret);
    if (ks == nullptr)
        return ret;
    ks_handle h;
    if ((ret = open_ks(&h, buf, ks, KS_USER_DB)) != 0)
        return ret;
    if (ks->kstype != DBM_KS_LOCAL)
        ret = cks_records_unavailable("user write");
    else
        ret = write_user_byid(h.env, h.db, buf);
    ks_handle_close(&h, ks->kstype);
    return ret;
}

int task_user_del(upcall_buf *buf)
{
    int ret = 0;
    kstinfo *ks = handler_self("USER_DEL", &ret);
    if (ks == nullptr)
        return ret;
    ks_handle h;
    if ((ret = open_ks(&h, buf, ks, nullptr)) != 0)
        return ret;
    if (ks->kstype != DBM_KS_LOCAL)
        ret = cks_records_unavailable("user delete");
    else if (msg_count(buf, DBM_NUSERS_OFF) == 0)
        ret = remove_all_users(h.env, buf);
    else
        ret = delete_users(h.env, buf);
    ks_handle_close(&h, ks->kstype);
    return ret;
}

int task_obj_read(upcall_buf *buf)
{
    int ret = 0;
    kstinfo *ks = handler_self("OBJ_READ", &ret);
    if (ks == nullptr)
        return ret;
    ks_handle h;
    if ((ret = open_ks(&h, buf, ks, KS_OBJECT_DB)) != 0)
        return ret;
    if (ks->kstype != DBM_KS_LOCAL) {
        ret = cks_records_unavailable("object read");
    } else if (msg_count(buf, DBM_NOBJS_OFF) != 0) {
        buf_ptr ans = copy_buf(buf);
        if (!ans) {
            qelkiod_log(LOG_ERR, "Cannot allocate reply buffer: %s", strerror(ENOMEM));
            ret = ENOMEM;
        } else {
            init_db_obj_push(msg_hdr(ans->msg));
            ret = read_objs_byid(h.db, buf, ans.get());
        }
    } else {
        // The owner field, left as sent, selects one owner or, all zero,
        // every object of the keystore.
        init_db_obj_push(msg_hdr(buf->msg));
        if (is_null_user(buf->msg + DBM_OWNER_OFF, DBM_OWNER_LEN))
            ret = read_all_objs(h.db, buf);
        else
            ret = read_objs_byuser(h.db, buf);
    }
    ks_handle_close(&h, ks->kstype);
    return ret;
}

int task_obj_write(upcall_buf *buf)
{
    int ret = 0;
    kstinfo *ks = handler_self("OBJ_WRITE", &ret);
    if (ks == nullptr)
        return ret;
    ks_handle h;
    if ((ret = open_ks(&h, buf, ks, KS_OBJECT_DB)) != 0)
        return ret;
    if (ks->kstype != DBM_KS_LOCAL)
        ret = cks_records_unavailable("object write");
    else
        ret = write_obj_byid(h.env, h.db, buf);
    ks_handle_close(&h, ks->kstype);
    return ret;
}

int task_obj_del(upcall_buf *buf)
{
    int ret = 0;
    kstinfo *ks = handler_self("OBJ_DEL", &ret);
    if (ks == nullptr)
        return ret;
    ks_handle h;
    if ((ret = open_ks(&h, buf, ks, KS_OBJECT_DB)) != 0)
        return ret;
    if (ks->kstype != DBM_KS_LOCAL)
        ret = cks_records_unavailable("object delete");
    else if (msg_count(buf, DBM_NOBJS_OFF) != 0)
        ret = delete_obj_byid(h.env, h.db, buf);
    else
        ret = delete_obj_byuser(h.env, h.db, buf);
    ks_handle_close(&h, ks->kstype);
    return ret;
}
