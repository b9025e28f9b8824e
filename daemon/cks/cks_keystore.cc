// Keystore nodes: create, check, join, list, delete, and the configuration
// blob.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cks_int.h"

namespace {

char *cs(const char *s) { return const_cast<char *>(s); }

struct dn_item {
    char *dn;
    int depth;
};

// Stable insertion by depth, deepest first; lists are one keystore's
// entries.
void sort_deepest_first(dn_item *v, int n)
{
    for (int i = 1; i < n; ++i) {
        dn_item x = v[i];
        int j = i;
        for (; j > 0 && v[j - 1].depth < x.depth; --j)
            v[j] = v[j - 1];
        v[j] = x;
    }
}

// The configuration a keystore thread reads or writes is its own
// keystore's: a message naming another keystore is refused.
int own_config(const char *what, const char *ks)
{
    const kstinfo *self = qelkiod_self();
    if (self == nullptr || self->name == nullptr || strcmp(self->name, ks) != 0) {
        qelkiod_log(LOG_ERR, "%s for keystore %s refused: not the keystore of this thread (%s)",
                    what, ks, self != nullptr && self->name != nullptr ? self->name
                                                                       : "control thread");
        return EINVAL;
    }
    return 0;
}

}  // namespace

int cks_add_node(LDAP *ld, const char *dn, const char *ou, const char *seealso)
{
    char *classes[] = {cs("top"), cs("organizationalunit"), cs(CKS_NODE_CLASS), nullptr};
    char *ous[] = {cs(ou), nullptr};
    char *also[] = {cs(seealso), nullptr};
    LDAPMod m[3] = {cks_mod_strings(LDAP_MOD_ADD, "objectclass", classes),
                    cks_mod_strings(LDAP_MOD_ADD, "ou", ous),
                    cks_mod_strings(LDAP_MOD_ADD, "seealso", also)};
    LDAPMod *mods[] = {&m[0], &m[1], seealso != nullptr ? &m[2] : nullptr, nullptr};
    return cks_add(ld, dn, mods);
}

int cks_db_make(upcall_buf *buf)
{
    char ks[DBM_KSNAME_LEN];
    int named = qelkiod_msg_ksname(buf->msg, DBM_KSNAME_OFF, ks);
    if (named != 0)
        return named;
    if (!cks_configured()) {
        qelkiod_log(LOG_ERR, "Keystore creation failed: Centralized keystore support not configured");
        return EOPNOTSUPP;
    }
    char dns[4][CKS_DN_MAX];
    const char *ous[4] = {ks, "Users", "AuditLogCur", "AuditLogOld"};
    int ret = cks_ks_dn(dns[0], ks);
    if (ret == 0)
        ret = cks_node_dn(dns[1], CKS_USERS_RDN, ks);
    if (ret == 0)
        ret = cks_node_dn(dns[2], CKS_LOGCUR_RDN, ks);
    if (ret == 0)
        ret = cks_node_dn(dns[3], CKS_LOGOLD_RDN, ks);
    if (ret != 0)
        return ret;
    LDAP *ld = nullptr;
    if ((ret = connect_bind_ldap(&ld)) != 0)
        return ret;
    int made = 0;
    for (; made < 4; ++made) {
        ret = cks_add_node(ld, dns[made], ous[made], made == 0 ? mconf.binddn : nullptr);
        if (ret != 0) {
            qelkiod_log(LOG_ERR, "Keystore creation failed.  DN %s could not be made: %s",
                        dns[made], cks_err2string(ret));
            break;
        }
    }
    // A half-made keystore is not a keystore: take back this call's own
    // entries, children first.  Nothing made by anyone else is touched.
    for (int i = ret != 0 ? made - 1 : -1; i >= 0; --i) {
        int rc = cks_delete(ld, dns[i]);
        if (rc != 0)
            qelkiod_log(LOG_ERR, "Failed to delete DN %s: %s", dns[i], cks_err2string(rc));
    }
    cks_unbind(ld);
    return ret;
}

int cks_db_check(LDAP *ld, const char *name)
{
    char value[CKS_DN_MAX], filter[CKS_DN_MAX], base[CKS_DN_MAX];
    size_t n = strlen(name);
    bool full = n > 0 && name[n - 1] == '}';
    int ret = cks_filter_value(name, value);
    if (ret != 0)
        return ret;
    // Only the template's own wildcards stay wildcards.
    ret = full ? cks_format(filter, "(&(objectclass=%s)(ou=%s))", CKS_NODE_CLASS, value)
               : cks_format(filter, "(&(objectclass=%s)(ou=%s.*.{*}))", CKS_NODE_CLASS, value);
    if (ret == 0)
        ret = cks_container_dn(base);
    if (ret != 0)
        return ret;
    LDAPMessage *res = nullptr;
    ret = cks_search(ld, base, LDAP_SCOPE_ONELEVEL, filter, nullptr, &res);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Initial keystore search failed: %s", cks_err2string(ret));
        return ret;
    }
    int count = ldap_count_entries(ld, res);
    ldap_msgfree(res);
    if (count > 0) {
        qelkiod_log(LOG_INFO, "Found %d matches for keystore name %s", count, name);
        return EEXIST;
    }
    return 0;
}

int cks_join_keystore(LDAP *ld, const char *name)
{
    if (!qelkiod_valid_ksname(name)) {
        qelkiod_log(LOG_ERR, "Invalid keystore name \"%s\"", name);
        return EINVAL;
    }
    char dn[CKS_DN_MAX];
    int ret = cks_ks_dn(dn, name);
    if (ret != 0)
        return ret;
    char *also[] = {mconf.binddn, nullptr};
    LDAPMod m = cks_mod_strings(LDAP_MOD_ADD, "seealso", also);
    LDAPMod *mods[] = {&m, nullptr};
    ret = cks_modify(ld, dn, mods);
    if (ret == 0 || ret == LDAP_TYPE_OR_VALUE_EXISTS) {
        qelkiod_log(LOG_INFO, "Agent %s joining keystore %s", mconf.binddn, name);
        return 0;
    }
    qelkiod_log(LOG_ERR, "Cannot add agent %s into keystore %s: %s", mconf.binddn, name,
                cks_err2string(ret));
    return ret;
}

int get_cent_ksnames(kstable *t)
{
    int ret = cks_check_config();
    char value[CKS_DN_MAX], filter[CKS_DN_MAX], base[CKS_DN_MAX];
    if (ret == 0)
        ret = cks_filter_value(mconf.binddn, value);
    if (ret == 0)
        ret = cks_format(filter, "(&(objectclass=%s)(seealso=%s))", CKS_NODE_CLASS, value);
    if (ret == 0)
        ret = cks_container_dn(base);
    if (ret != 0)
        return ret;
    LDAP *ld = nullptr;
    if ((ret = connect_bind_ldap(&ld)) != 0)
        return ret;
    LDAPMessage *res = nullptr;
    char *attrs[] = {cs("ou"), nullptr};
    ret = cks_search(ld, base, LDAP_SCOPE_SUBTREE, filter, attrs, &res);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Initial keystore search failed: %s", cks_err2string(ret));
        cks_unbind(ld);
        return ret;
    }
    for (LDAPMessage *e = ldap_first_entry(ld, res); e != nullptr; e = ldap_next_entry(ld, e)) {
        char *dn = ldap_get_dn(ld, e);
        if (dn == nullptr) {
            qelkiod_log(LOG_ERR, "Cannot get dn from search");
            continue;
        }
        // The name comes from the entry's ou value, never from its DN, and
        // must be a keystore name like any name from outside.
        berval *ou = cks_first_value(ld, e, "ou");
        char name[DBM_KSNAME_LEN];
        if (ou == nullptr) {
            qelkiod_log(LOG_ERR, "Cannot get OU attr from DN %s", dn);
        } else if (ou->bv_len >= sizeof(name) || memchr(ou->bv_val, '\0', ou->bv_len) != nullptr ||
                   (memcpy(name, ou->bv_val, ou->bv_len), name[ou->bv_len] = '\0',
                    !qelkiod_valid_ksname(name))) {
            qelkiod_log(LOG_ERR, "Keystore name of DN %s is not valid: skipped", dn);
        } else {
            kstinfo *ks = create_kstinfo(name, DBM_KS_LDAP);
            if (ks == nullptr || kstable_append(t, ks) != 0) {
                free_kstinfo(ks);
                qelkiod_log(LOG_ERR, "Cannot add centralized keystore %s to list", name);
            }
        }
        ber_bvfree(ou);
        ldap_memfree(dn);
    }
    ldap_msgfree(res);
    cks_unbind(ld);
    return 0;
}

int del_subtree(LDAP *ld, const char *dn)
{
    LDAPMessage *res = nullptr;
    char *attrs[] = {cs(LDAP_NO_ATTRS), nullptr};
    int ret = cks_search(ld, dn, LDAP_SCOPE_SUBTREE, "(objectclass=*)", attrs, &res);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Cannot find subordinates for DN %s: %s", dn, cks_err2string(ret));
        return ret;
    }
    int n = ldap_count_entries(ld, res);
    if (n < 1) {
        qelkiod_log(LOG_ERR, "A search on DN %s yielded no entries", dn);
        ldap_msgfree(res);
        return LDAP_NO_SUCH_OBJECT;
    }
    dn_item *list = static_cast<dn_item *>(calloc(static_cast<size_t>(n), sizeof(*list)));
    if (list == nullptr) {
        qelkiod_log(LOG_ERR, "Cannot allocate DN list");
        ldap_msgfree(res);
        return CKS_NO_MEMORY;
    }
    int got = 0;
    for (LDAPMessage *e = ldap_first_entry(ld, res); e != nullptr && ret == 0 && got < n;
         e = ldap_next_entry(ld, e)) {
        list[got].dn = ldap_get_dn(ld, e);
        if (list[got].dn == nullptr) {
            qelkiod_log(LOG_ERR, "Failed to get dn from entry");
            ret = ldap_get_lderrno(ld);
            break;
        }
        list[got].depth = cks_dn_depth(list[got].dn);
        if (list[got].depth < 0) {
            qelkiod_log(LOG_ERR, "Failed to explode dn %s", list[got].dn);
            ret = LDAP_INVALID_DN_SYNTAX;
        }
        ++got;
    }
    // The server lists a subtree in its own order (entry IDs, which a moved
    // or re-made node does not follow): children must go before parents.
    if (ret == 0) {
        sort_deepest_first(list, got);
        for (int i = 0; i < got; ++i) {
            ret = cks_delete(ld, list[i].dn);
            if (ret != 0) {
                qelkiod_log(LOG_ERR, "Failed to delete DN %s: %s", list[i].dn,
                            cks_err2string(ret));
                break;
            }
        }
    }
    for (int i = 0; i < got; ++i)
        ldap_memfree(list[i].dn);
    free(list);
    ldap_msgfree(res);
    return ret;
}

int cks_del_keystore(LDAP *ld, const char *name)
{
    if (!qelkiod_valid_ksname(name)) {
        qelkiod_log(LOG_ERR, "Invalid keystore name \"%s\"", name);
        return EINVAL;
    }
    char dn[CKS_DN_MAX];
    int ret = cks_ks_dn(dn, name);
    return ret != 0 ? ret : del_subtree(ld, dn);
}

int cks_config_read(upcall_buf *buf)
{
    unsigned char *msg = buf->msg;
    char file[DBM_KSNAME_LEN], ks[DBM_KSNAME_LEN], dn[CKS_DN_MAX], value[CKS_DN_MAX],
        filter[CKS_DN_MAX];
    int ret = msg_get_name(msg, DBM_KSNAME_OFF, file);
    if (ret == 0)
        ret = cks_config_ksname(file, ks);
    if (ret == 0)
        ret = own_config("DB_CONFIG_READ", ks);
    if (ret == 0)
        ret = cks_ks_dn(dn, ks);
    if (ret == 0 && cks_escape_filter(ks, value, sizeof(value)) != 0)
        ret = ENAMETOOLONG;
    if (ret == 0)
        ret = cks_format(filter, "(ou=%s)", value);
    if (ret != 0)
        return ret;
    LDAP *ld = nullptr;
    if ((ret = connect_bind_ldap(&ld)) != 0)
        return ret;
    LDAPMessage *res = nullptr;
    char *attrs[] = {cs(CKS_DATA_ATTR), nullptr};
    ret = cks_search(ld, dn, LDAP_SCOPE_BASE, filter, attrs, &res);
    berval *blob = nullptr;
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Search for keystore node %s failed: %s", dn, cks_err2string(ret));
    } else {
        LDAPMessage *e = ldap_first_entry(ld, res);
        if (e == nullptr) {
            qelkiod_log(LOG_ERR, "Cannot get first entry in LDAP result");
            ret = ENOENT;
        } else if ((blob = cks_first_value(ld, e, CKS_DATA_ATTR)) == nullptr) {
            qelkiod_log(LOG_ERR, "Cannot get %s attribute from DN %s", CKS_DATA_ATTR, dn);
            ret = ENOENT;
        } else if (blob->bv_len > DBM_FILE_CHUNK) {
            // One push is all the answer there is: a longer blob would run
            // past the message.
            qelkiod_log(LOG_ERR, "Configuration of DN %s is %lu bytes, more than one push holds",
                        dn, static_cast<unsigned long>(blob->bv_len));
            ret = EFBIG;
        }
    }
    ldap_msgfree(res);
    cks_unbind(ld);
    if (ret == 0) {
        dbm_header_t *hdr = msg_hdr(msg);
        hdr->type = DB_CONFIG_PUSH;
        hdr->extent = DBM_MAX_MSG;
        msg_put32(msg, DBM_FILESIZE_OFF, static_cast<int32_t>(blob->bv_len));
        memcpy(msg + DBM_FILE_DATA_OFF, blob->bv_val, blob->bv_len);
        hdr->paramSize = static_cast<dbm_size_t>(blob->bv_len + DBM_FILE_DATA_OFF);
        ret = submit_message(buf);
    }
    ber_bvfree(blob);
    return ret;
}

int cks_config_write(upcall_buf *buf)
{
    unsigned char *msg = buf->msg;
    dbm_header_t *hdr = msg_hdr(msg);
    if (hdr->paramSize < DBM_FILE_DATA_OFF || hdr->paramSize > DBM_MAX_MSG) {
        qelkiod_log(LOG_ERR, "Configuration write of invalid size %d refused", hdr->paramSize);
        return EINVAL;
    }
    char file[DBM_KSNAME_LEN], ks[DBM_KSNAME_LEN], dn[CKS_DN_MAX];
    int ret = msg_get_name(msg, DBM_KSNAME_OFF, file);
    if (ret == 0)
        ret = cks_config_ksname(file, ks);
    if (ret == 0)
        ret = own_config("DB_CONFIG_WRITE", ks);
    if (ret == 0)
        ret = cks_ks_dn(dn, ks);
    if (ret != 0)
        return ret;
    msg_set_name(msg, DBM_KSNAME_OFF, ks);
    LDAP *ld = nullptr;
    if ((ret = connect_bind_ldap(&ld)) != 0)
        return ret;
    berval blob = {static_cast<ber_len_t>(hdr->paramSize - DBM_FILE_DATA_OFF),
                   reinterpret_cast<char *>(msg + DBM_FILE_DATA_OFF)};
    berval *vals[] = {&blob, nullptr};
    LDAPMod m = cks_mod_data(LDAP_MOD_REPLACE, vals);
    LDAPMod *mods[] = {&m, nullptr};
    ret = cks_modify(ld, dn, mods);
    if (ret != 0)
        qelkiod_log(LOG_ERR, "Cannot write config into DN %s: %s", dn, cks_err2string(ret));
    cks_unbind(ld);
    if (ret != 0)
        return ret;
    make_response(hdr, 0);
    return submit_message(buf) == 0 ? 0 : ECANCELED;
}
