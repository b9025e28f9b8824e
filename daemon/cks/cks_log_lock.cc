// The log lock of a centralized keystore: one access-control value on the
// current log node that denies every access to every bind DN but its
// holder's.
//
// The directory accepts a replacement of the value by two agents at the
// same moment (each is checked against the value before the other's), so
// a modification that succeeds does not yet mean the lock is ours.  After a
// short pause the value is read back: only the value that stayed names the
// holder, and anything else counts as a refusal.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cks_int.h"

int cks_lock_wait_ms = 1000;
int cks_lock_settle_ms = 20;

namespace {

char *cs(const char *s) { return const_cast<char *>(s); }

// The lock value naming this host.
int lock_text(char *out)
{
    return cks_format(out,
                      "(targetattr = \"*\") (version 3.0;acl \"NodeLock\";deny (all)"
                      "(userdn != \"ldap:///%s\");)",
                      mconf.binddn);
}

int replace_aci(LDAP *ld, const char *dn, char *value)
{
    char *vals[] = {value, nullptr};
    LDAPMod m = cks_mod_strings(LDAP_MOD_REPLACE, "aci", value != nullptr ? vals : nullptr);
    LDAPMod *mods[] = {&m, nullptr};
    return cks_modify(ld, dn, mods);
}

// Who holds the lock, for a log line: this host, the value found, or
// another agent when the node is hidden from us.  0 when the node shows no
// value at all (the lock is free).
int describe_holder(LDAP *ld, const char *dn, char *out, size_t outsz)
{
    snprintf(out, outsz, "another agent (or the keystore is gone)");
    LDAPMessage *res = nullptr;
    char *attrs[] = {cs("aci"), nullptr};
    int rc = cks_search(ld, dn, LDAP_SCOPE_BASE, "(objectclass=*)", attrs, &res);
    if (rc != 0 && rc != LDAP_NO_SUCH_OBJECT && rc != LDAP_INSUFFICIENT_ACCESS) {
        snprintf(out, outsz, "unknown (%s)", cks_err2string(rc));
        return 1;
    }
    LDAPMessage *e = rc == 0 ? ldap_first_entry(ld, res) : nullptr;
    int held = 1;
    if (e != nullptr) {
        char text[CKS_DN_MAX];
        berval **vals = ldap_get_values_len(ld, e, "aci");
        if (vals == nullptr || vals[0] == nullptr)
            held = 0;
        else if (lock_text(text) == 0 && vals[1] == nullptr && vals[0]->bv_len == strlen(text) &&
                 memcmp(vals[0]->bv_val, text, vals[0]->bv_len) == 0)
            snprintf(out, outsz, "%s", mconf.binddn);
        else
            snprintf(out, outsz, "%.*s", static_cast<int>(vals[0]->bv_len), vals[0]->bv_val);
        ldap_value_free_len(vals);
    }
    ldap_msgfree(res);
    return held;
}

int release(LDAP *ld, const char *ks, const char *dn)
{
    int rc = replace_aci(ld, dn, nullptr);
    if (rc == 0)
        return 0;
    qelkiod_log(LOG_ERR, "Cannot release log lock for keystore %s: %s", ks, cks_err2string(rc));
    // The connection may be what failed: a lock left in place blocks every
    // other host's log writes, so try once more on a connection of its own.
    LDAP *fresh = nullptr;
    int frc = connect_bind_ldap(&fresh);
    if (frc == 0) {
        frc = replace_aci(fresh, dn, nullptr);
        if (frc == 0) {
            qelkiod_log(LOG_NOTICE, "Log lock for keystore %s released on a new connection", ks);
            cks_unbind(fresh);
            return 0;
        }
    }
    char holder[CKS_DN_MAX + 64];
    int held = 1;
    if (fresh != nullptr)
        held = describe_holder(fresh, dn, holder, sizeof(holder));
    else
        snprintf(holder, sizeof(holder), "%s (no connection to confirm)", mconf.binddn);
    cks_unbind(fresh);
    if (held == 0) {
        qelkiod_log(LOG_NOTICE, "Log lock for keystore %s found free", ks);
        return 0;
    }
    qelkiod_log(LOG_ERR, "Log lock for keystore %s stays held by %s", ks, holder);
    return rc;
}

}  // namespace

void cks_pause_ms(int ms)
{
    if (ms <= 0)
        return;
    struct timespec ts = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int cks_lock_held(LDAP *ld, const char *ks)
{
    char dn[CKS_DN_MAX], text[CKS_DN_MAX];
    int ret = cks_node_dn(dn, CKS_LOGCUR_RDN, ks);
    if (ret == 0)
        ret = lock_text(text);
    if (ret != 0)
        return -ret;
    LDAPMessage *res = nullptr;
    char *attrs[] = {cs("aci"), nullptr};
    ret = cks_search(ld, dn, LDAP_SCOPE_BASE, "(objectclass=*)", attrs, &res);
    // The node always exists: hidden from us, it is locked by another agent.
    if (ret == LDAP_NO_SUCH_OBJECT || ret == LDAP_INSUFFICIENT_ACCESS)
        return 0;
    if (ret != 0)
        return -ret;
    int held = 0;
    LDAPMessage *e = ldap_first_entry(ld, res);
    berval **vals = e != nullptr ? ldap_get_values_len(ld, e, "aci") : nullptr;
    size_t n = strlen(text);
    if (vals != nullptr && vals[0] != nullptr && vals[1] == nullptr && vals[0]->bv_len == n &&
        memcmp(vals[0]->bv_val, text, n) == 0)
        held = 1;
    ldap_value_free_len(vals);
    ldap_msgfree(res);
    return held;
}

int cks_lock_log(LDAP *ld, const char *ks, int op)
{
    char dn[CKS_DN_MAX], text[CKS_DN_MAX];
    int ret = cks_node_dn(dn, CKS_LOGCUR_RDN, ks);
    if (ret == 0)
        ret = lock_text(text);
    if (ret != 0)
        return ret;
    if (op != 0) {
        if (op != 1)
            qelkiod_log(LOG_ERR, "Invalid value for lock operation: 0x%x",
                        static_cast<unsigned>(op));
        return release(ld, ks, dn);
    }
    for (int refused = 0;;) {
        int rc = replace_aci(ld, dn, text);
        if (rc == 0) {
            cks_pause_ms(cks_lock_settle_ms);
            int held = cks_lock_held(ld, ks);
            if (held == 1)
                return 0;
            if (held < 0) {
                // Our value may be in place though we could not see it:
                // left there, it would lock every other host out until our
                // next write.  Another holder's value is not ours to remove
                // (the directory refuses us), so releasing is safe.
                qelkiod_log(LOG_ERR, "Cannot confirm log lock for keystore %s: %s", ks,
                            cks_err2string(-held));
                release(ld, ks, dn);
                return -held;
            }
            rc = LDAP_INSUFFICIENT_ACCESS;
        }
        if (rc != LDAP_INSUFFICIENT_ACCESS) {
            qelkiod_log(LOG_ERR, "Cannot obtain log lock for keystore %s: %s", ks,
                        cks_err2string(rc));
            return rc;
        }
        cks_pause_ms(cks_lock_wait_ms);
        if (++refused >= CKS_LOCK_ATTEMPTS) {
            qelkiod_log(LOG_ERR, "Log lock timeout exceeded for keystore %s", ks);
            return ETIME;
        }
    }
}
