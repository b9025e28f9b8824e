// Users and key objects of a centralized keystore: writes and deletes.
//
// The firmware may split one update over several messages, all but the
// last carrying DBM_FLAG_MORE; each message is applied and answered before
// the next one arrives in the buffer.  A record the directory does not
// store (or, for a delete, does not remove) ends the exchange with the
// directory's code: the records before it stay stored, and the firmware is
// never answered status 0 for a message whose records were not all applied.
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

// The state of one message of an exchange.
struct batch {
    LDAP *ld;
    char ks[DBM_KSNAME_LEN];
    char owner[2 * DBM_OWNER_LEN + 1];  // object messages: the owner's text
};

typedef int (*rec_apply)(batch *b, const rec_view &r);

// Whether the entry exists: 0 (found, *found true), LDAP_NO_SUCH_OBJECT
// turned into 0 with *found false, or the search's failure.  A DN that
// exists as an entry of another kind counts as not found: the add is then
// refused by the directory, and that refusal is the answer.
int entry_exists(LDAP *ld, const char *dn, const char *cls, bool *found)
{
    char filter[CKS_DN_MAX];
    int ret = cks_format(filter, "(objectclass=%s)", cls);
    if (ret != 0)
        return ret;
    char *attrs[] = {cs(LDAP_NO_ATTRS), nullptr};
    LDAPMessage *res = nullptr;
    ret = cks_search(ld, dn, LDAP_SCOPE_BASE, filter, attrs, &res);
    *found = false;
    if (ret == 0)
        *found = ldap_count_entries(ld, res) > 0;
    ldap_msgfree(res);
    return ret == LDAP_NO_SUCH_OBJECT ? 0 : ret;
}

// Replaces or adds one entry.  `what` names it in the messages ("user" or
// "object"); `creation` is the add's failure message.
int store_entry(LDAP *ld, const char *dn, const char *cls, const char *what,
                const char *creation, LDAPMod **mods)
{
    bool found = false;
    int ret = entry_exists(ld, dn, cls, &found);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Cannot add/modify DN %s: %s", dn, cks_err2string(ret));
        return ret;
    }
    for (LDAPMod **m = mods; *m != nullptr; ++m)
        (*m)->mod_op = ((*m)->mod_op & LDAP_MOD_BVALUES) | (found ? LDAP_MOD_REPLACE : LDAP_MOD_ADD);
    if (found) {
        ret = cks_modify(ld, dn, mods);
        if (ret != 0)
            qelkiod_log(LOG_ERR, "Cannot modify %s entry DN %s: %s", what, dn,
                        cks_err2string(ret));
    } else {
        ret = cks_add(ld, dn, mods);
        if (ret != 0)
            qelkiod_log(LOG_ERR, creation, dn, cks_err2string(ret));
    }
    return ret;
}

berval data_of(const rec_view &r)
{
    berval v;
    v.bv_len = static_cast<ber_len_t>(r.len);
    v.bv_val = reinterpret_cast<char *>(const_cast<unsigned char *>(r.data));
    return v;
}

// The text of the record's user ID (2 * DBM_USER_ID_LEN + 1 bytes) and the
// DN of its entry.
int user_dn_of(const batch *b, const rec_view &r, char *u, char *dn)
{
    int ret = cks_id_text(r.id, DBM_USER_ID_LEN, u, "uid");
    return ret != 0 ? ret : cks_user_dn(dn, u, b->ks);
}

// The same for an object ID; `what` names it in a refusal.
int obj_dn_of(const batch *b, const rec_view &r, char *o, char *dn, const char *what)
{
    int ret = cks_id_text(r.id, DBM_OBJ_ID_LEN, o, what);
    return ret != 0 ? ret : cks_obj_dn(dn, o, b->owner, b->ks);
}

int apply_user_write(batch *b, const rec_view &r)
{
    char u[2 * DBM_USER_ID_LEN + 1], dn[CKS_DN_MAX];
    int ret = user_dn_of(b, r, u, dn);
    if (ret != 0)
        return ret;
    char *classes[] = {cs("top"), cs("organizationalunit"), cs(CKS_NODE_CLASS), nullptr};
    char *ous[] = {u, nullptr};
    berval data = data_of(r);
    berval *datas[] = {&data, nullptr};
    LDAPMod m[3] = {cks_mod_strings(0, "objectclass", classes), cks_mod_strings(0, "ou", ous),
                    cks_mod_data(0, datas)};
    LDAPMod *mods[] = {&m[0], &m[1], &m[2], nullptr};
    return store_entry(b->ld, dn, CKS_NODE_CLASS, "user", "User creation for DN %s failed: %s",
                       mods);
}

int apply_obj_write(batch *b, const rec_view &r)
{
    char o[2 * DBM_OBJ_ID_LEN + 1], dn[CKS_DN_MAX];
    int ret = obj_dn_of(b, r, o, dn, "object record number");
    if (ret != 0)
        return ret;
    char *classes[] = {cs("top"), cs(CKS_OBJECT_CLASS), nullptr};
    char *cns[] = {o, nullptr};
    char *uids[] = {b->owner, nullptr};
    berval data = data_of(r);
    berval *datas[] = {&data, nullptr};
    LDAPMod m[4] = {cks_mod_strings(0, "objectclass", classes), cks_mod_strings(0, "cn", cns),
                    cks_mod_strings(0, "uid", uids), cks_mod_data(0, datas)};
    LDAPMod *mods[] = {&m[0], &m[1], &m[2], &m[3], nullptr};
    // An object whose owner has no user entry cannot be added: the
    // directory refuses it (no such object) and the exchange ends there.
    return store_entry(b->ld, dn, CKS_OBJECT_CLASS, "object",
                       "Object creation for DN %s failed: %s", mods);
}

int apply_user_delete(batch *b, const rec_view &r)
{
    char u[2 * DBM_USER_ID_LEN + 1], dn[CKS_DN_MAX];
    int ret = user_dn_of(b, r, u, dn);
    // The user entry goes with its objects; an unknown user is refused
    // with the directory's "no such object", as the local keystore refuses
    // one it does not hold.
    return ret != 0 ? ret : del_subtree(b->ld, dn);
}

int delete_object(LDAP *ld, const char *dn, const unsigned char *oid)
{
    qelkiod_log(LOG_DEBUG, "Deleting object %x/%d", be_word(oid),
                static_cast<int>(be_word(oid + 4)));
    int ret = cks_delete(ld, dn);
    if (ret != 0)
        qelkiod_log(LOG_ERR, "Failed to delete dn %s: %s", dn, cks_err2string(ret));
    return ret;
}

int apply_obj_delete(batch *b, const rec_view &r)
{
    char o[2 * DBM_OBJ_ID_LEN + 1], dn[CKS_DN_MAX];
    int ret = obj_dn_of(b, r, o, dn, "uid");
    if (ret != 0)
        return ret;
    ret = delete_object(b->ld, dn, r.id);
    // An object that is not there is as deleted as it gets (the local
    // keystore answers the same).
    return ret == LDAP_NO_SUCH_OBJECT ? 0 : ret;
}

// The keystore name and, for object messages, the owner's text of the
// message in hand.
int batch_start(batch *b, const unsigned char *msg, int kind)
{
    int ret = qelkiod_msg_ksname(msg, DBM_KSNAME_OFF, b->ks);
    if (ret != 0)
        return ret;
    b->owner[0] = '\0';
    return kind == REC_OBJ ? cks_id_text(msg + DBM_OWNER_OFF, DBM_OWNER_LEN, b->owner, "uid") : 0;
}

// The batch exchange of writes and deletes.  Every message is checked
// against its bounds before any of its records is applied.
int run_batches(LDAP *ld, upcall_buf *buf, int kind, bool ids_only, rec_apply apply)
{
    dbm_header_t *hdr = msg_hdr(buf->msg);
    const uint32_t type = hdr->type;
    char first_ks[DBM_KSNAME_LEN] = "";
    batch b;
    b.ld = ld;
    for (;;) {
        const uint32_t flags = hdr->flags;
        int ret = batch_start(&b, buf->msg, kind);
        if (ret != 0)
            return ret;
        // Every part of one exchange belongs to the keystore of the first.
        if (first_ks[0] == '\0') {
            memcpy(first_ks, b.ks, sizeof(first_ks));
        } else if (strcmp(first_ks, b.ks) != 0) {
            qelkiod_log(LOG_ERR, "Continuation for keystore %s refused in an exchange of %s",
                        b.ks, first_ks);
            return EINVAL;
        }
        if ((ret = rec_validate(buf->msg, kind, ids_only)) != 0)
            return ret;
        rec_iter it;
        rec_view r;
        ret = rec_iter_init(&it, buf->msg, kind, ids_only);
        while (ret == 0) {
            int more = rec_iter_next(&it, &r);
            if (more != 1) {
                ret = more;  // 0 at the end
                break;
            }
            ret = apply(&b, r);
        }
        if (ret != 0)
            return ret;
        make_response(hdr, 0);
        if ((ret = submit_message(buf)) != 0)
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

}  // namespace

int cks_write_user_byid(LDAP *ld, upcall_buf *buf)
{
    return run_batches(ld, buf, REC_USER, false, apply_user_write);
}

int cks_del_user_byid(LDAP *ld, upcall_buf *buf)
{
    return run_batches(ld, buf, REC_USER, true, apply_user_delete);
}

int cks_write_obj_byid(LDAP *ld, upcall_buf *buf)
{
    return run_batches(ld, buf, REC_OBJ, false, apply_obj_write);
}

int cks_del_obj_byid(LDAP *ld, upcall_buf *buf)
{
    return run_batches(ld, buf, REC_OBJ, true, apply_obj_delete);
}

int cks_del_obj_byuser(LDAP *ld, upcall_buf *buf)
{
    batch b;
    b.ld = ld;
    int ret = batch_start(&b, buf->msg, REC_OBJ);
    char dn[CKS_DN_MAX], filter[CKS_DN_MAX];
    if (ret == 0)
        ret = cks_user_dn(dn, b.owner, b.ks);
    if (ret == 0)
        ret = cks_format(filter, "(objectclass=%s)", CKS_OBJECT_CLASS);
    if (ret != 0)
        return ret;
    char *attrs[] = {cs(LDAP_NO_ATTRS), nullptr};
    LDAPMessage *res = nullptr;
    ret = cks_search(ld, dn, LDAP_SCOPE_ONELEVEL, filter, attrs, &res);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Initial keystore search failed: %s", cks_err2string(ret));
        return ret;
    }
    for (LDAPMessage *e = ldap_first_entry(ld, res); e != nullptr && ret == 0;
         e = ldap_next_entry(ld, e)) {
        char *edn = ldap_get_dn(ld, e);
        if (edn == nullptr) {
            // An object that cannot be named cannot be deleted: answering
            // status 0 would claim it gone.
            qelkiod_log(LOG_ERR, "Failed to get dn from entry");
            ret = ldap_get_lderrno(ld);
            if (ret == 0)
                ret = LDAP_OTHER;
            break;
        }
        unsigned char oid[DBM_OBJ_ID_LEN];
        unsigned char *p = oid;
        size_t len = sizeof(oid);
        if (id_cvt_tobin(ld, e, &p, &len, 0) != 0 || len != sizeof(oid)) {
            // The entry is deleted all the same: it lies below the owner.
            qelkiod_log(LOG_ERR, "Cannot convert object ID for %s", edn);
            memset(oid, 0, sizeof(oid));
        }
        ret = delete_object(ld, edn, oid);
        ldap_memfree(edn);
    }
    ldap_msgfree(res);
    if (ret != 0)
        return ret;
    make_response(msg_hdr(buf->msg), 0);
    return submit_message(buf);
}
