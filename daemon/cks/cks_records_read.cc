// Users and key objects of a centralized keystore: reads.  Every read
// answers with push messages filled by one rule: a record goes into the
// current push while it fits; when it does not, the push is sent with
// DBM_FLAG_MORE and the next one starts empty; the last push goes without
// DBM_FLAG_MORE and may be empty.  Object pushes name their owner, so the
// objects of two owners never share a push.
//
// Everything read from the directory is checked before it is loaded: an
// identifier must decode to exactly the bytes of its kind, and a value no
// push can carry ends the read with EINVAL (it could never be sent, and
// skipping it would answer a read as complete that is not).
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cks_int.h"

namespace {

char *cs(const char *s) { return const_cast<char *>(s); }

uint32_t be_word(const unsigned char *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

struct push {
    upcall_buf *buf;
    int kind;  // REC_USER or REC_OBJ
};

void push_start(push *p)
{
    dbm_header_t *hdr = msg_hdr(p->buf->msg);
    // The initialisers leave ksname and the owner field as they are.
    if (p->kind == REC_USER)
        init_db_user_push(hdr);
    else
        init_db_obj_push(hdr);
}

int32_t push_count(const push *p)
{
    return msg_get32(p->buf->msg, p->kind == REC_USER ? DBM_NUSERS_OFF : DBM_NOBJS_OFF);
}

// Sends the push with DBM_FLAG_MORE and starts the next one.
int push_flush(push *p)
{
    msg_hdr(p->buf->msg)->flags |= DBM_FLAG_MORE;
    int ret = submit_message(p->buf);
    if (ret != 0)
        return ret;
    push_start(p);
    return 0;
}

// The filling rule for one record.  `dn` names the entry in a refusal.
int push_add(push *p, const unsigned char *id, size_t idlen, const berval *data, const char *dn)
{
    size_t maxlen = p->kind == REC_USER ? DBM_MAX_USER_DATA : DBM_MAX_OBJ_DATA;
    if (data->bv_len > maxlen) {
        qelkiod_log(LOG_ERR, "Value of DN %s is %lu bytes, more than a push holds (%lu)", dn,
                    static_cast<unsigned long>(data->bv_len), static_cast<unsigned long>(maxlen));
        return EINVAL;
    }
    unsigned char *m = p->buf->msg;
    size_t pos = static_cast<size_t>(msg_hdr(m)->paramSize);
    bool fits = p->kind == REC_USER ? space_exists_user(m, pos, data->bv_len)
                                    : space_exists_obj(m, pos, data->bv_len);
    if (!fits) {
        // One flush always makes room: an empty push holds maxlen.
        int ret = push_flush(p);
        if (ret != 0)
            return ret;
        pos = static_cast<size_t>(msg_hdr(m)->paramSize);
    }
    if (p->kind == REC_USER)
        load_user(m, pos, id, idlen, data->bv_val, data->bv_len);
    else
        load_obj(m, pos, id, idlen, data->bv_val, data->bv_len);
    return 0;
}

// The last push of a read: it is the answer.
int push_finish(push *p)
{
    msg_hdr(p->buf->msg)->flags &= ~DBM_FLAG_MORE;
    return submit_message(p->buf);
}

// The DN of an entry for messages; "?" when the library has none.
struct entry_dn {
    char *dn = nullptr;
    entry_dn(LDAP *ld, LDAPMessage *e) : dn(ldap_get_dn(ld, e)) {}
    ~entry_dn() { ldap_memfree(dn); }
    const char *text() const { return dn != nullptr ? dn : "?"; }
};

// Decodes the identifier at RDN `pos` of the entry into exactly n bytes.
int entry_id(LDAP *ld, LDAPMessage *e, int pos, unsigned char *out, size_t n)
{
    size_t len = n;
    unsigned char *p = out;
    int ret = id_cvt_tobin(ld, e, &p, &len, pos);
    if (ret == 0 && len != n) {
        entry_dn dn(ld, e);
        qelkiod_log(LOG_ERR, "Identifier of DN %s has %lu bytes, not %lu", dn.text(),
                    static_cast<unsigned long>(len), static_cast<unsigned long>(n));
        ret = EINVAL;
    }
    return ret;
}

// The first data value of an entry, or ENOENT after the message `missing`
// (one %s for the attribute, a second for the DN when `with_dn`).
int entry_data(LDAP *ld, LDAPMessage *e, berval **out, const char *missing, bool with_dn)
{
    *out = cks_first_value(ld, e, CKS_DATA_ATTR);
    if (*out != nullptr)
        return 0;
    if (with_dn) {
        entry_dn dn(ld, e);
        qelkiod_log(LOG_ERR, missing, CKS_DATA_ATTR, dn.text());
    } else {
        qelkiod_log(LOG_ERR, missing, CKS_DATA_ATTR);
    }
    return ENOENT;
}

struct value_free {
    berval *v = nullptr;
    ~value_free() { ber_bvfree(v); }
};

struct result_free {
    LDAPMessage *res = nullptr;
    ~result_free() { ldap_msgfree(res); }
};

// One entry by DN (base scope), holding its data value.
int read_one(LDAP *ld, const char *dn, const char *cls, LDAPMessage **res, LDAPMessage **e)
{
    char filter[CKS_DN_MAX];
    int ret = cks_format(filter, "(objectclass=%s)", cls);
    if (ret != 0)
        return ret;
    char *attrs[] = {cs(CKS_DATA_ATTR), nullptr};
    ret = cks_search(ld, dn, LDAP_SCOPE_BASE, filter, attrs, res);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Search for user entry %s failed: %s", dn, cks_err2string(ret));
        return ret;
    }
    if ((*e = ldap_first_entry(ld, *res)) == nullptr) {
        qelkiod_log(LOG_ERR, "Cannot get first message in LDAP result");
        return ENOENT;
    }
    return 0;
}

int keystore_of(const unsigned char *msg, char ks[DBM_KSNAME_LEN])
{
    return qelkiod_msg_ksname(msg, DBM_KSNAME_OFF, ks);
}

// Searches below `base` for the entries of class `cls` with their data
// (and `uid` for objects).  A size-limit result is a failure like any
// other: a partial list must not be answered as the whole.  The failure is
// logged as "Search for objects at <base> failed" for object searches,
// else as "Initial keystore search failed".
int search_below(LDAP *ld, const char *base, int scope, const char *cls, LDAPMessage **res)
{
    char filter[CKS_DN_MAX];
    int ret = cks_format(filter, "(objectclass=%s)", cls);
    if (ret != 0)
        return ret;
    char *attrs[] = {cs(CKS_DATA_ATTR), cs("uid"), nullptr};
    ret = cks_search(ld, base, scope, filter, attrs, res);
    if (ret != 0 && strcmp(cls, CKS_OBJECT_CLASS) == 0)
        qelkiod_log(LOG_ERR, "Search for objects at %s failed: %s", base, cks_err2string(ret));
    else if (ret != 0)
        qelkiod_log(LOG_ERR, "Initial keystore search failed: %s", cks_err2string(ret));
    return ret;
}

// Loads one entry found below a known parent: a user below the users
// node, an object below its owner.
int load_entry(LDAP *ld, LDAPMessage *e, push *p)
{
    bool obj = p->kind == REC_OBJ;
    unsigned char id[DBM_USER_ID_LEN];
    size_t idlen = obj ? DBM_OBJ_ID_LEN : DBM_USER_ID_LEN;
    int ret = entry_id(ld, e, 0, id, idlen);
    value_free v;
    if (ret == 0)
        ret = entry_data(ld, e, &v.v, "Cannot get %s attribute", false);
    if (ret == 0) {
        entry_dn dn(ld, e);
        ret = push_add(p, id, idlen, v.v, dn.text());
    }
    if (ret == 0 && obj)
        qelkiod_log(LOG_DEBUG, "Loaded Object: %x/%d", be_word(id),
                    static_cast<int>(be_word(id + 4)));
    return ret;
}

// The entries of class `cls` directly below `base`, one push record each.
int read_below(LDAP *ld, upcall_buf *buf, const char *base, const char *cls, int kind)
{
    result_free res;
    int ret = search_below(ld, base, LDAP_SCOPE_ONELEVEL, cls, &res.res);
    if (ret != 0)
        return ret;
    push p{buf, kind};
    for (LDAPMessage *e = ldap_first_entry(ld, res.res); e != nullptr;
         e = ldap_next_entry(ld, e)) {
        if ((ret = load_entry(ld, e, &p)) != 0)
            return ret;
    }
    return push_finish(&p);
}

static_assert(DBM_USER_ID_LEN >= DBM_OBJ_ID_LEN, "an ID buffer holds either kind");

// The records the request names by ID, each read by its DN; objects below
// the request's owner.
int read_byid(LDAP *ld, upcall_buf *req, upcall_buf *ans, int kind)
{
    bool obj = kind == REC_OBJ;
    char ks[DBM_KSNAME_LEN], owner[2 * DBM_OWNER_LEN + 1] = "";
    int ret = keystore_of(req->msg, ks);
    if (ret == 0)
        ret = rec_validate(req->msg, kind, true);
    if (ret == 0 && obj)
        ret = cks_id_text(req->msg + DBM_OWNER_OFF, DBM_OWNER_LEN, owner, "uid");
    if (ret != 0)
        return ret;
    push p{ans, kind};
    if (obj)
        memcpy(ans->msg + DBM_OWNER_OFF, req->msg + DBM_OWNER_OFF, DBM_OWNER_LEN);
    size_t idlen = obj ? DBM_OBJ_ID_LEN : DBM_USER_ID_LEN;
    rec_iter it;
    rec_view r;
    rec_iter_init(&it, req->msg, kind, true);
    while ((ret = rec_iter_next(&it, &r)) == 1) {
        char id[2 * DBM_USER_ID_LEN + 1], dn[CKS_DN_MAX];
        if ((ret = cks_id_text(r.id, idlen, id, "uid")) != 0 ||
            (ret = obj ? cks_obj_dn(dn, id, owner, ks) : cks_user_dn(dn, id, ks)) != 0)
            return ret;
        result_free res;
        LDAPMessage *e = nullptr;
        value_free v;
        ret = read_one(ld, dn, obj ? CKS_OBJECT_CLASS : CKS_NODE_CLASS, &res.res, &e);
        if (ret == 0)
            ret = entry_data(ld, e, &v.v, "Cannot get %s attr from DN %s", true);
        if (ret == 0)
            ret = push_add(&p, r.id, idlen, v.v, dn);
        if (ret != 0)
            return ret;
        if (obj)
            qelkiod_log(LOG_DEBUG, "Loaded Object: %x/%d", be_word(r.id),
                        static_cast<int>(be_word(r.id + 4)));
    }
    return ret != 0 ? ret : push_finish(&p);
}

}  // namespace

int cks_read_users_byid(LDAP *ld, upcall_buf *req, upcall_buf *ans)
{
    return read_byid(ld, req, ans, REC_USER);
}

int cks_read_all_users(LDAP *ld, upcall_buf *buf)
{
    char ks[DBM_KSNAME_LEN], base[CKS_DN_MAX];
    int ret = keystore_of(buf->msg, ks);
    if (ret == 0)
        ret = cks_node_dn(base, CKS_USERS_RDN, ks);
    return ret != 0 ? ret : read_below(ld, buf, base, CKS_NODE_CLASS, REC_USER);
}

int cks_read_objs_byid(LDAP *ld, upcall_buf *req, upcall_buf *ans)
{
    return read_byid(ld, req, ans, REC_OBJ);
}

int cks_read_objs_byuser(LDAP *ld, upcall_buf *buf)
{
    char ks[DBM_KSNAME_LEN], owner[2 * DBM_OWNER_LEN + 1], base[CKS_DN_MAX];
    int ret = keystore_of(buf->msg, ks);
    if (ret == 0)
        ret = cks_id_text(buf->msg + DBM_OWNER_OFF, DBM_OWNER_LEN, owner, "uid");
    if (ret == 0)
        ret = cks_user_dn(base, owner, ks);
    return ret != 0 ? ret : read_below(ld, buf, base, CKS_OBJECT_CLASS, REC_OBJ);
}

int cks_read_all_objs(LDAP *ld, upcall_buf *buf)
{
    char ks[DBM_KSNAME_LEN], base[CKS_DN_MAX];
    int ret = keystore_of(buf->msg, ks);
    if (ret == 0)
        ret = cks_node_dn(base, CKS_USERS_RDN, ks);
    if (ret != 0)
        return ret;
    result_free res;
    ret = search_below(ld, base, LDAP_SCOPE_SUBTREE, CKS_OBJECT_CLASS, &res.res);
    if (ret != 0)
        return ret;
    // Sorted by owner, so that each owner's objects are adjacent.
    LDAPMessage **sorted = nullptr;
    int n = 0;
    if ((ret = cks_sort_entries(ld, res.res, "uid", &sorted, &n)) != 0) {
        qelkiod_log(LOG_ERR, "Object sorting failed: %s", cks_err2string(ret));
        return ret;
    }
    push p{buf, REC_OBJ};
    unsigned char *field = buf->msg + DBM_OWNER_OFF;
    for (int i = 0; i < n && ret == 0; ++i) {
        unsigned char owner[DBM_OWNER_LEN];
        if ((ret = entry_id(ld, sorted[i], 1, owner, sizeof(owner))) != 0)
            break;
        if (memcmp(owner, field, DBM_OWNER_LEN) != 0) {
            // A push never mixes owners.  Whether the push holds records
            // decides, not whether its owner field is zero: an all-zero
            // user ID is an owner like any other.
            if (push_count(&p) > 0 && (ret = push_flush(&p)) != 0)
                break;
            memcpy(field, owner, DBM_OWNER_LEN);
        }
        ret = load_entry(ld, sorted[i], &p);
    }
    free(sorted);
    return ret != 0 ? ret : push_finish(&p);
}
