// Opening an authenticated directory connection: servers in list order,
// fail-over only past servers that cannot be reached.
#include <cerrno>
#include <cstring>
#include <strings.h>

#include <string_view>

#include "cks_int.h"

namespace {

enum auth_kind { AUTH_NONE, AUTH_SIMPLE, AUTH_CLIENT };

auth_kind auth_of(const char *t)
{
    if (t != nullptr && strcasecmp(t, "simple") == 0)
        return AUTH_SIMPLE;
    if (t != nullptr && strcasecmp(t, "clientauth") == 0)
        return AUTH_CLIENT;
    return AUTH_NONE;
}

void drop(LDAP **ld)
{
    if (*ld != nullptr)
        ldap_unbind_ext_s(*ld, nullptr, nullptr);
    *ld = nullptr;
}

// The directory's own view of a DN, for comparing two spellings.
bool same_dn(const char *a, const char *b)
{
    char *na = nullptr, *nb = nullptr;
    bool same = false;
    if (ldap_dn_normalize(a, LDAP_DN_FORMAT_LDAP, &na, LDAP_DN_FORMAT_LDAPV3) == LDAP_SUCCESS &&
        ldap_dn_normalize(b, LDAP_DN_FORMAT_LDAP, &nb, LDAP_DN_FORMAT_LDAPV3) == LDAP_SUCCESS)
        same = na != nullptr && nb != nullptr && strcasecmp(na, nb) == 0;
    ldap_memfree(na);
    ldap_memfree(nb);
    return same;
}

// A certificate bind must leave us as binddn: the log lock admits only
// binddn, so a certificate mapped to another DN would lock itself out.
int check_identity(LDAP *ld)
{
    struct berval *authzid = nullptr;
    int rc = cks_code(ldap_whoami_s(ld, &authzid, nullptr, nullptr));
    if (rc != 0) {
        qelkiod_log(LOG_ERR, "Cannot confirm the bound identity: %s", cks_err2string(rc));
        return rc;
    }
    std::string_view id;
    if (authzid != nullptr && authzid->bv_val != nullptr)
        id = std::string_view(authzid->bv_val, authzid->bv_len);
    rc = 0;
    char dn[CKS_DN_MAX];
    if (id.size() < 3 || id.substr(0, 3) != "dn:" || id.size() - 3 >= sizeof(dn)) {
        rc = LDAP_INVALID_CREDENTIALS;
    } else {
        memcpy(dn, id.data() + 3, id.size() - 3);
        dn[id.size() - 3] = '\0';
        if (!same_dn(dn, mconf.binddn))
            rc = LDAP_INVALID_CREDENTIALS;
    }
    if (rc != 0)
        qelkiod_log(LOG_ERR, "Client certificate binds as %.*s, not as %s",
                    static_cast<int>(id.size()), id.data(), mconf.binddn);
    ber_bvfree(authzid);
    return rc;
}

int bind_one(LDAP *ld, auth_kind auth)
{
    const char *pw = mconf.password != nullptr ? mconf.password : "";
    if (auth == AUTH_CLIENT) {
        if (ldapssl_enable_clientauth(ld, mconf.certdb, pw, mconf.certname) < 0) {
            int rc = ldap_get_lderrno(ld);
            qelkiod_log(LOG_ERR, "Failed enabling SSL Client Authentication: %s",
                        cks_err2string(rc));
            return rc;
        }
        // SASL EXTERNAL takes an empty credential; a null one is refused.
        struct berval empty = {0, const_cast<char *>("")};
        int rc = cks_code(ldap_sasl_bind_s(ld, nullptr, "EXTERNAL", &empty, nullptr, nullptr,
                                           nullptr));
        return rc != 0 ? rc : check_identity(ld);
    }
    struct berval cred = {static_cast<ber_len_t>(strlen(pw)), const_cast<char *>(pw)};
    return cks_code(ldap_sasl_bind_s(ld, mconf.binddn, LDAP_SASL_SIMPLE, &cred, nullptr,
                                     nullptr, nullptr));
}

// libldap reports a refused certificate or host name as "cannot contact";
// the diagnostic text tells it apart, and must not pass silently.
void log_tls_failure(LDAP *ld, const qelkiod_server &s)
{
    char *diag = nullptr;
    if (ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diag) == LDAP_OPT_SUCCESS &&
        diag != nullptr && diag[0] != '\0')
        qelkiod_log(LOG_ERR, "TLS connection to %s:%d failed: %s", s.host, s.port, diag);
    ldap_memfree(diag);
}

}  // namespace

int connect_bind_ldap(LDAP **ld)
{
    *ld = nullptr;
    auth_kind auth = auth_of(mconf.authtype);
    if (auth == AUTH_NONE) {
        qelkiod_log(LOG_ERR, "Invalid authentication type: %s",
                    mconf.authtype != nullptr ? mconf.authtype : "(none)");
        return EINVAL;
    }
    int ret = cks_check_config();
    if (ret != 0)
        return ret;
    if (auth == AUTH_SIMPLE && (mconf.password == nullptr || mconf.password[0] == '\0')) {
        // An empty password makes a simple bind anonymous.
        qelkiod_log(LOG_ERR, "No directory password for a simple bind as %s", mconf.binddn);
        return EINVAL;
    }
    for (int i = 0; i < mconf.nservers && i < QELKIOD_MAX_SERVERS; ++i) {
        const qelkiod_server &s = mconf.servers[i];
        if (!s.ssl && auth == AUTH_CLIENT) {
            qelkiod_log(LOG_ERR,
                        "SSL must be enabled in order to use client certificate authentication");
            return EINVAL;
        }
        *ld = ldapssl_init(s.host, s.port, s.ssl);
        if (*ld == nullptr) {
            int err = errno != 0 ? errno : EINVAL;
            qelkiod_log(LOG_ERR, "Cannot initialize LDAP subsystem: %s", strerror(err));
            return err;
        }
        if (s.ssl && ldapssl_advclientauth_init(*ld, mconf.certdb) < 0) {
            qelkiod_log(LOG_ERR, "Client authentication init failed");
            drop(ld);
            return EINVAL;
        }
        int version = LDAP_VERSION3;
        if (ldap_set_option(*ld, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS) {
            int rc = ldap_get_lderrno(*ld);
            qelkiod_log(LOG_ERR, "Cannot set LDAP protocol version: %s", cks_err2string(rc));
            drop(ld);
            return rc;
        }
        qelkiod_log(LOG_INFO, "Attempting %s connection to %s:%d", s.ssl ? "LDAPS" : "LDAP",
                    s.host, s.port);
        // The bind opens the connection; over TLS only a guard bounds the
        // handshake.  A server that is silent that long counts as one that
        // cannot be reached.
        cks_guard guard;
        int limit = cks_net_timeout_ms + cks_op_timeout_ms;
        if (s.ssl && (ret = cks_guard_begin(&guard, limit)) != 0) {
            qelkiod_log(LOG_ERR, "Cannot bound the connection to %s:%d: %s", s.host, s.port,
                        strerror(ret));
            drop(ld);
            return ret;
        }
        int rc = bind_one(*ld, auth);
        if (s.ssl && cks_guard_end(&guard)) {
            qelkiod_log(LOG_ERR, "Connection to %s:%d not set up within %d ms: closed", s.host,
                        s.port, limit);
            if (rc == 0)
                rc = CKS_SERVER_DOWN;
        }
        if (rc == 0) {
            qelkiod_log(LOG_INFO, "Successfully bound as %s", mconf.binddn);
            return 0;
        }
        if (rc == CKS_SERVER_DOWN || rc == CKS_CONNECT_ERROR) {
            if (s.ssl)
                log_tls_failure(*ld, s);
            qelkiod_log(LOG_INFO, "Cannot contact server %s:%d: %s", s.host, s.port,
                        cks_err2string(rc));
            drop(ld);
            continue;
        }
        qelkiod_log(LOG_ERR, "Failed binding to server %s:%d: %s", s.host, s.port,
                    cks_err2string(rc));
        drop(ld);
        return rc;
    }
    qelkiod_log(LOG_ERR, "Cannot connect to any LDAP server for centralized keystore services.");
    return EINVAL;
}

void cks_unbind(LDAP *ld)
{
    if (ld != nullptr)
        ldap_unbind_ext_s(ld, nullptr, nullptr);
}
