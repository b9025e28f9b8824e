// The audit log of a centralized keystore: one entry per log record below
// the current log node "ou=AuditLogCur" (or the old one "ou=AuditLogOld"),
// named by the record's 32-byte log key.  Counting, rotation, appending and
// reading back; the log lock is in cks_log_lock.cc.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "../localks/localks.h"
#include "cks_int.h"

namespace {

char *cs(const char *s) { return const_cast<char *>(s); }

// One-level count returning no attributes: for a directory that does not
// supply numSubordinates, or leaves it out for a node without children.
long count_one_level(LDAP *ld, const char *dn)
{
    LDAPMessage *res = nullptr;
    char *attrs[] = {cs(LDAP_NO_ATTRS), nullptr};
    int rc = cks_search(ld, dn, LDAP_SCOPE_ONELEVEL, "(objectclass=*)", attrs, &res);
    if (rc != 0) {
        qelkiod_log(LOG_ERR, "Cannot obtain log count from %s: %s", dn, cks_err2string(rc));
        return -1;
    }
    int n = ldap_count_entries(ld, res);
    ldap_msgfree(res);
    if (n < 0) {
        qelkiod_log(LOG_ERR, "Cannot obtain log count from %s: %s", dn,
                    cks_err2string(ldap_get_lderrno(ld)));
        return -1;
    }
    return n;
}

int entry_depth(LDAP *ld, LDAPMessage *e)
{
    char *dn = ldap_get_dn(ld, e);
    int d = dn != nullptr ? cks_dn_depth(dn) : -1;
    ldap_memfree(dn);
    return d;
}

// Adds the old log node again after its subtree was deleted.
int add_old_node(LDAP *ld, const char *dn) { return cks_add_node(ld, dn, "AuditLogOld", nullptr); }

int add_log_entry(LDAP *ld, const char *dn, char *keytext, const unsigned char *data, size_t len)
{
    char *classes[] = {cs("top"), cs(CKS_OBJECT_CLASS), nullptr};
    char *cn[] = {keytext, nullptr};
    berval bv = {static_cast<ber_len_t>(len), reinterpret_cast<char *>(const_cast<unsigned char *>(data))};
    berval *bvals[] = {&bv, nullptr};
    LDAPMod m[3] = {cks_mod_strings(LDAP_MOD_ADD, "objectclass", classes),
                    cks_mod_strings(LDAP_MOD_ADD, "cn", cn), cks_mod_data(LDAP_MOD_ADD, bvals)};
    LDAPMod *mods[] = {&m[0], &m[1], &m[2], nullptr};
    return cks_add(ld, dn, mods);
}

// Adds the records of one message below `rdn`.
int put_log_entries(LDAP *ld, const char *ks, const char *rdn, unsigned char *msg, bool stamp)
{
    rec_iter it;
    int ret = rec_iter_init(&it, msg, REC_OBJ, false);
    if (ret != 0)
        return ret;
    rec_view v;
    while ((ret = rec_iter_next(&it, &v)) == 1) {
        if (stamp && (ret = set_log_key(msg + v.pos)) != 0)
            return ret;
        const unsigned char *data = msg + v.pos + DBM_OBJ_HEAD;
        char *key = bin2string(data, DBM_LOG_KEY_LEN);
        if (key == nullptr) {
            qelkiod_log(LOG_ERR, "Cannot get string representation of log record number");
            return ENOMEM;
        }
        char dn[CKS_DN_MAX];
        ret = cks_log_dn(dn, key, rdn, ks);
        if (ret == 0) {
            ret = add_log_entry(ld, dn, key, data, static_cast<size_t>(v.len));
            if (ret != 0)
                qelkiod_log(LOG_ERR, "Failed to log entry %s: %s", dn, cks_err2string(ret));
        }
        free(key);
        if (ret != 0)
            return ret;
    }
    return ret;
}

// Every record inside the message and at least as long as its log key:
// checked before anything of the message is stored.
int validate_log_message(const unsigned char *msg)
{
    int ret = rec_validate(msg, REC_OBJ, false);
    return ret != 0 ? ret : localks_log_keys_valid(msg);
}

struct log_item {
    LDAPMessage *e;
    berval *stamp;                         // createTimestamp, or nullptr
    unsigned char key[DBM_LOG_KEY_LEN];    // the entry's own RDN, decoded
};

// Oldest first by creation time (one-second resolution, so entries of the
// same second by their log key); entries without a time first.
int item_cmp(const void *pa, const void *pb)
{
    const log_item *a = static_cast<const log_item *>(pa);
    const log_item *b = static_cast<const log_item *>(pb);
    if (a->stamp == nullptr || b->stamp == nullptr) {
        int c = (a->stamp != nullptr) - (b->stamp != nullptr);
        if (c != 0)
            return c;
    } else {
        size_t n = a->stamp->bv_len < b->stamp->bv_len ? a->stamp->bv_len : b->stamp->bv_len;
        int c = strncasecmp(a->stamp->bv_val, b->stamp->bv_val, n);
        if (c == 0)
            c = (a->stamp->bv_len > b->stamp->bv_len) - (a->stamp->bv_len < b->stamp->bv_len);
        if (c != 0)
            return c;
    }
    return memcmp(a->key, b->key, DBM_LOG_KEY_LEN);
}

void free_items(log_item *v, int n)
{
    for (int i = 0; v != nullptr && i < n; ++i)
        ber_bvfree(v[i].stamp);
    free(v);
}

void start_log_push(unsigned char *msg, bool old_log)
{
    init_db_log_push(msg_hdr(msg));
    if (old_log)
        msg_hdr(msg)->flags |= DBM_FLAG_OLD_LOG;
}

// The log node and the entries below it in one search.  A log node that
// the search does not return is locked by another agent (the node always
// exists): the search is repeated after a pause, as a writer waits for the
// lock, and gives up with ETIME after as many attempts.  A keystore that is
// gone altogether fails at once.
int search_log(LDAP *ld, const char *ks, const char *dn, LDAPMessage **res)
{
    int base_depth = cks_dn_depth(dn);
    char *attrs[] = {cs(CKS_DATA_ATTR), cs("createTimestamp"), nullptr};
    for (int attempt = 0;;) {
        int rc = cks_search(ld, dn, LDAP_SCOPE_SUBTREE,
                            "(|(objectclass=" CKS_NODE_CLASS ")(objectclass=" CKS_OBJECT_CLASS "))",
                            attrs, res);
        bool visible = false;
        for (LDAPMessage *e = rc == 0 ? ldap_first_entry(ld, *res) : nullptr;
             e != nullptr && !visible; e = ldap_next_entry(ld, e))
            visible = entry_depth(ld, e) == base_depth;
        if (rc == 0 && visible)
            return 0;
        ldap_msgfree(*res);
        *res = nullptr;
        if (rc != 0 && rc != LDAP_INSUFFICIENT_ACCESS && rc != LDAP_NO_SUCH_OBJECT) {
            qelkiod_log(LOG_ERR, "Failed to get log data for keystore %s: %s", ks,
                        cks_err2string(rc));
            return rc;
        }
        // Hidden log node: is the keystore still there?
        char ksdn[CKS_DN_MAX];
        LDAPMessage *kres = nullptr;
        char *none[] = {cs(LDAP_NO_ATTRS), nullptr};
        int krc = cks_ks_dn(ksdn, ks);
        if (krc == 0)
            krc = cks_search(ld, ksdn, LDAP_SCOPE_BASE, "(objectclass=*)", none, &kres);
        if (krc == 0 && ldap_first_entry(ld, kres) == nullptr)
            krc = LDAP_NO_SUCH_OBJECT;
        ldap_msgfree(kres);
        if (krc != 0) {
            qelkiod_log(LOG_ERR, "Failed to get log data for keystore %s: %s", ks,
                        cks_err2string(krc));
            return krc;
        }
        cks_pause_ms(cks_lock_wait_ms);
        if (++attempt >= CKS_LOCK_ATTEMPTS) {
            qelkiod_log(LOG_ERR, "Log lock timeout exceeded for keystore %s", ks);
            return ETIME;
        }
    }
}

// The log entries of a search result (the node left out), decoded and
// sorted oldest first.
int collect_log(LDAP *ld, LDAPMessage *res, int base_depth, log_item **out, int *n)
{
    *out = nullptr;
    *n = 0;
    int count = ldap_count_entries(ld, res);
    if (count <= 0)
        return 0;
    log_item *v = static_cast<log_item *>(calloc(static_cast<size_t>(count), sizeof(*v)));
    if (v == nullptr) {
        qelkiod_log(LOG_ERR, "Object sorting failed: %s", cks_err2string(LDAP_NO_MEMORY));
        return CKS_NO_MEMORY;
    }
    int got = 0;
    int ret = 0;
    for (LDAPMessage *e = ldap_first_entry(ld, res); e != nullptr && got < count;
         e = ldap_next_entry(ld, e)) {
        if (entry_depth(ld, e) == base_depth)
            continue;
        unsigned char *kp = v[got].key;
        size_t klen = DBM_LOG_KEY_LEN;
        if ((ret = id_cvt_tobin(ld, e, &kp, &klen, 0)) != 0)
            break;
        if (klen != DBM_LOG_KEY_LEN) {
            qelkiod_log(LOG_ERR, "Log entry name is not a %d-byte log key", DBM_LOG_KEY_LEN);
            ret = EINVAL;
            break;
        }
        v[got].e = e;
        v[got].stamp = cks_first_value(ld, e, "createTimestamp");
        ++got;
    }
    if (ret != 0) {
        free_items(v, got);
        return ret;
    }
    qsort(v, static_cast<size_t>(got), sizeof(*v), item_cmp);
    *out = v;
    *n = got;
    return 0;
}

// Loads v[0..n) into pushes; 0 with the last push still to be submitted.
int push_log(LDAP *ld, upcall_buf *buf, bool old_log, const log_item *v, int n)
{
    unsigned char *msg = buf->msg;
    size_t pos = DBM_OBJS_OFF;
    for (int i = 0; i < n;) {
        berval *data = cks_first_value(ld, v[i].e, CKS_DATA_ATTR);
        if (data == nullptr) {
            qelkiod_log(LOG_ERR, "Cannot get %s attribute", CKS_DATA_ATTR);
            return ENOENT;
        }
        if (data->bv_len > DBM_MAX_OBJ_DATA) {
            // No push can carry it; empty pushes for ever would not help.
            qelkiod_log(LOG_ERR, "Log entry of %lu bytes is too large for a log push",
                        static_cast<unsigned long>(data->bv_len));
            ber_bvfree(data);
            return EINVAL;
        }
        if (!space_exists_obj(msg, pos, data->bv_len)) {
            ber_bvfree(data);
            msg_hdr(msg)->flags |= DBM_FLAG_MORE;
            int ret = submit_message(buf);
            if (ret != 0)
                return ret;
            start_log_push(msg, old_log);
            pos = DBM_OBJS_OFF;
            continue;
        }
        // The record's ID is a copy of data bytes 8 to 15; a stored value
        // too short to hold them (not written by this daemon) gives zeros.
        unsigned char id[DBM_OBJ_ID_LEN] = {0};
        const unsigned char *d = reinterpret_cast<const unsigned char *>(data->bv_val);
        if (data->bv_len > 8)
            memcpy(id, d + 8, data->bv_len >= 16 ? DBM_OBJ_ID_LEN : data->bv_len - 8);
        pos = load_obj(msg, pos, id, DBM_OBJ_ID_LEN, d, data->bv_len);
        ber_bvfree(data);
        ++i;
    }
    return 0;
}

}  // namespace

long get_log_count(LDAP *ld, const char *ks, const char *rdn)
{
    char dn[CKS_DN_MAX];
    if (cks_node_dn(dn, rdn, ks) != 0)
        return -1;
    LDAPMessage *res = nullptr;
    char *attrs[] = {cs("numsubordinates"), nullptr};
    int rc = cks_search(ld, dn, LDAP_SCOPE_BASE, "(objectclass=" CKS_NODE_CLASS ")", attrs, &res);
    if (rc != 0) {
        qelkiod_log(LOG_ERR, "Cannot obtain log count from %s: %s", dn, cks_err2string(rc));
        return -1;
    }
    LDAPMessage *e = ldap_first_entry(ld, res);
    if (e == nullptr) {
        qelkiod_log(LOG_ERR, "Cannot get first message in LDAP result");
        ldap_msgfree(res);
        return -1;
    }
    berval *v = cks_first_value(ld, e, "numsubordinates");
    ldap_msgfree(res);
    if (v == nullptr)
        return count_one_level(ld, dn);
    char text[32];
    long n = -1;
    bool ok = v->bv_len < sizeof(text);
    if (ok) {
        memcpy(text, v->bv_val, v->bv_len);
        text[v->bv_len] = '\0';
        ok = strtol_strict(text, &n) == 0 && n >= 0;
    }
    if (!ok) {
        qelkiod_log(LOG_ERR, "Failed converting log count %.*s to long",
                    static_cast<int>(v->bv_len < 64 ? v->bv_len : 64), v->bv_val);
        n = -1;
    }
    ber_bvfree(v);
    return n;
}

int cks_log_rotate(LDAP *ld, const char *ks)
{
    char old_dn[CKS_DN_MAX], cur_dn[CKS_DN_MAX];
    int ret = cks_node_dn(old_dn, CKS_LOGOLD_RDN, ks);
    if (ret == 0)
        ret = cks_node_dn(cur_dn, CKS_LOGCUR_RDN, ks);
    if (ret != 0)
        return ret;
    long old_count = get_log_count(ld, ks, CKS_LOGOLD_RDN);
    if (old_count < 0) {
        // A rotation cut short between deleting the old log node and making
        // it again leaves none, and every later rotation would fail: make
        // it now.  If it does exist, the count failed for another reason.
        if (add_old_node(ld, old_dn) != 0)
            return EINVAL;
        qelkiod_log(LOG_WARNING, "Log node %s was missing: made again", old_dn);
        old_count = 0;
    }
    if (old_count > 0) {
        if ((ret = del_subtree(ld, old_dn)) != 0)
            return ret;
        if ((ret = add_old_node(ld, old_dn)) != 0) {
            qelkiod_log(LOG_ERR, "Cannot recreate log node %s: %s", old_dn, cks_err2string(ret));
            return ret;
        }
    }
    LDAPMessage *res = nullptr;
    char *attrs[] = {cs(LDAP_NO_ATTRS), nullptr};
    ret = cks_search(ld, cur_dn, LDAP_SCOPE_ONELEVEL, "(objectclass=" CKS_OBJECT_CLASS ")", attrs,
                     &res);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Cannot obtain logs from %s: %s", cur_dn, cks_err2string(ret));
        return ret;
    }
    for (LDAPMessage *e = ldap_first_entry(ld, res); e != nullptr && ret == 0;
         e = ldap_next_entry(ld, e)) {
        char *dn = ldap_get_dn(ld, e);
        // The entry's own RDN (its cn, types kept) is its new RDN.
        LDAPDN parts = nullptr;
        char *rdn = nullptr;
        if (dn == nullptr || ldap_str2dn(dn, &parts, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS ||
            parts == nullptr || parts[0] == nullptr ||
            ldap_rdn2str(parts[0], &rdn, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS) {
            qelkiod_log(LOG_ERR, "Cannot get dn from search");
            ret = ENOMEM;
        } else if ((ret = cks_rename(ld, dn, rdn, old_dn)) != 0) {
            qelkiod_log(LOG_ERR, "Failed rotating log entry %s: %s", dn, cks_err2string(ret));
        }
        ldap_memfree(rdn);
        ldap_dnfree(parts);
        ldap_memfree(dn);
    }
    ldap_msgfree(res);
    return ret;
}

int cks_write_log_entries(LDAP *ld, upcall_buf *buf)
{
    unsigned char *msg = buf->msg;
    const uint32_t type = msg_hdr(msg)->type;
    const char *rdn = (msg_hdr(msg)->flags & DBM_FLAG_OLD_LOG) != 0 ? CKS_LOGOLD_RDN
                                                                      : CKS_LOGCUR_RDN;
    char first_ks[DBM_KSNAME_LEN] = "";
    for (;;) {
        char ks[DBM_KSNAME_LEN];
        int ret = qelkiod_msg_ksname(msg, DBM_KSNAME_OFF, ks);
        if (ret == 0)
            ret = validate_log_message(msg);
        if (ret != 0)
            return ret;
        // Every part of one exchange belongs to the keystore of the first,
        // the one whose log lock is held.
        if (first_ks[0] == '\0') {
            memcpy(first_ks, ks, sizeof(first_ks));
        } else if (strcmp(first_ks, ks) != 0) {
            qelkiod_log(LOG_ERR, "Continuation for keystore %s refused in an exchange of %s", ks,
                        first_ks);
            return EINVAL;
        }
        uint32_t flags = msg_hdr(msg)->flags;
        ret = put_log_entries(ld, ks, rdn, msg, (flags & DBM_FLAG_KEY_SET) == 0);
        if (ret != 0)
            return ret;
        make_response(msg_hdr(msg), 0);
        if ((ret = submit_message(buf)) != 0)
            return ret;
        if ((flags & DBM_FLAG_MORE) == 0)
            return 0;
        // The reply must be the next part of the same exchange.
        if (msg_hdr(msg)->type != type) {
            qelkiod_log(LOG_ERR, "Expected continuation of message type 0x%x, received 0x%x", type,
                        msg_hdr(msg)->type);
            return EINVAL;
        }
    }
}

int cks_read_log_entries(LDAP *ld, upcall_buf *buf)
{
    unsigned char *msg = buf->msg;
    char ks[DBM_KSNAME_LEN], dn[CKS_DN_MAX];
    int32_t want = msg_get32(msg, DBM_NOBJS_OFF);
    bool old_log = (msg_hdr(msg)->flags & DBM_FLAG_OLD_LOG) != 0;
    int ret = qelkiod_msg_ksname(msg, DBM_KSNAME_OFF, ks);
    if (ret == 0)
        ret = cks_node_dn(dn, old_log ? CKS_LOGOLD_RDN : CKS_LOGCUR_RDN, ks);
    if (ret != 0)
        return ret;
    start_log_push(msg, old_log);
    LDAPMessage *res = nullptr;
    if ((ret = search_log(ld, ks, dn, &res)) != 0)
        return ret;
    log_item *v = nullptr;
    int total = 0;
    ret = collect_log(ld, res, cks_dn_depth(dn), &v, &total);
    if (ret == 0 && total > 0) {
        // The newest `want` for 0 < want < total; else from the oldest, at
        // most |want| of them (0: all).  |INT32_MIN| is formed in 64 bits.
        int skip = want > 0 && want < total ? total - want : 0;
        int64_t limit = want < 0 ? -static_cast<int64_t>(want) : want;
        int64_t avail = total - skip;
        int count = static_cast<int>(limit == 0 || limit > avail ? avail : limit);
        ret = push_log(ld, buf, old_log, v + skip, count);
    }
    free_items(v, total);
    ldap_msgfree(res);
    return ret != 0 ? ret : submit_message(buf);
}
