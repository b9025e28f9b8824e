// The client-library layer over libldap: handles, TLS, result codes,
// bounded synchronous calls, values and sorting.
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <signal.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "cks_int.h"

int cks_net_timeout_ms = 5000;
int cks_op_timeout_ms = 15000;

namespace {

struct timeval ms_to_tv(int ms)
{
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

// A whole file of at most 1 MiB in memory; nullptr when unreadable.
BIO *read_pem_file(const char *dir, const char *name, const char *suffix)
{
    char path[4096];
    int n = snprintf(path, sizeof(path), "%s/%s%s", dir, name, suffix);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(path))
        return nullptr;
    return BIO_new_file(path, "r");
}

// DER of the certificate `certdb`/`name`.crt and of the key `name`.key
// decrypted with the password.  Both bervals own malloc'd data.
int load_client_pair(const char *certdb, const char *name, const char *pass, berval *cert,
                     berval *key)
{
    int ret = -1;
    X509 *x = nullptr;
    EVP_PKEY *pk = nullptr;
    unsigned char *der = nullptr;
    BIO *b = read_pem_file(certdb, name, ".crt");
    if (b != nullptr) {
        x = PEM_read_bio_X509(b, nullptr, nullptr, nullptr);
        BIO_free(b);
    }
    b = read_pem_file(certdb, name, ".key");
    if (b != nullptr) {
        pk = PEM_read_bio_PrivateKey(b, nullptr, nullptr,
                                     const_cast<char *>(pass != nullptr ? pass : ""));
        BIO_free(b);
    }
    if (x == nullptr || pk == nullptr)
        goto out;
    {
        int n = i2d_X509(x, &der);
        if (n <= 0)
            goto out;
        cert->bv_val = reinterpret_cast<char *>(der);
        cert->bv_len = static_cast<ber_len_t>(n);
        der = nullptr;
        // PKCS#8, unencrypted: the form the TLS layer reads for every key type.
        PKCS8_PRIV_KEY_INFO *p8 = EVP_PKEY2PKCS8(pk);
        n = p8 != nullptr ? i2d_PKCS8_PRIV_KEY_INFO(p8, &der) : -1;
        PKCS8_PRIV_KEY_INFO_free(p8);
        if (n <= 0) {
            OPENSSL_free(cert->bv_val);
            cert->bv_val = nullptr;
            goto out;
        }
        key->bv_val = reinterpret_cast<char *>(der);
        key->bv_len = static_cast<ber_len_t>(n);
        ret = 0;
    }
out:
    X509_free(x);
    EVP_PKEY_free(pk);
    return ret;
}

void set_result_code(LDAP *ld, int code)
{
    ldap_set_option(ld, LDAP_OPT_RESULT_CODE, &code);
}

// The guard of the calling thread's current call, if any.  libldap makes
// and closes a handle's connection in the thread that calls it.
thread_local cks_guard *t_guard = nullptr;

int guard_conn_add(LDAP *, Sockbuf *sb, LDAPURLDesc *, struct sockaddr *, struct ldap_conncb *)
{
    cks_guard *g = t_guard;
    if (g != nullptr) {
        ber_socket_t fd = -1;
        ber_sockbuf_ctrl(sb, LBER_SB_OPT_GET_FD, &fd);
        pthread_mutex_lock(&g->mu);
        g->fd = fd;
        pthread_mutex_unlock(&g->mu);
    }
    return 0;
}

void guard_conn_del(LDAP *, Sockbuf *, struct ldap_conncb *)
{
    cks_guard *g = t_guard;
    if (g != nullptr) {
        pthread_mutex_lock(&g->mu);
        g->fd = -1;
        pthread_mutex_unlock(&g->mu);
    }
}

// Every handle carries these callbacks; they act only under a guard.
struct ldap_conncb g_guard_cb = {guard_conn_add, guard_conn_del, nullptr};

void *guard_watch(void *arg)
{
    cks_guard *g = static_cast<cks_guard *>(arg);
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += g->ms / 1000;
    until.tv_nsec += static_cast<long>(g->ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&g->mu);
    int rc = 0;
    while (!g->done && rc != ETIMEDOUT)
        rc = pthread_cond_timedwait(&g->cv, &g->mu, &until);
    if (!g->done && g->fd >= 0) {
        shutdown(g->fd, SHUT_RDWR);
        g->fired = true;
    }
    pthread_mutex_unlock(&g->mu);
    return nullptr;
}

}  // namespace

int cks_guard_begin(cks_guard *g, int ms)
{
    g->fd = -1;
    g->ms = ms;
    g->done = false;
    g->fired = false;
    pthread_condattr_t ca;
    int rc = pthread_condattr_init(&ca);
    if (rc != 0)
        return rc;
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    rc = pthread_cond_init(&g->cv, &ca);
    pthread_condattr_destroy(&ca);
    if (rc != 0)
        return rc;
    if ((rc = pthread_mutex_init(&g->mu, nullptr)) != 0) {
        pthread_cond_destroy(&g->cv);
        return rc;
    }
    t_guard = g;
    // The watcher takes no signal: they are the daemon's threads' own.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    rc = pthread_create(&g->watcher, nullptr, guard_watch, g);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0) {
        t_guard = nullptr;
        pthread_mutex_destroy(&g->mu);
        pthread_cond_destroy(&g->cv);
    }
    return rc;
}

bool cks_guard_end(cks_guard *g)
{
    pthread_mutex_lock(&g->mu);
    g->done = true;
    pthread_cond_signal(&g->cv);
    pthread_mutex_unlock(&g->mu);
    pthread_join(g->watcher, nullptr);
    t_guard = nullptr;
    pthread_mutex_destroy(&g->mu);
    pthread_cond_destroy(&g->cv);
    return g->fired;
}

int cks_code(int rc)
{
    // libldap numbers its client-side codes -1 (server down) to -17; the
    // classic codes are the same list from 81 on.
    if (rc < 0)
        return rc >= -17 ? 80 - rc : LDAP_OTHER;
    return rc;
}

const char *cks_err2string(int code)
{
    if (code >= 81 && code <= 97)
        return ldap_err2string(80 - code);
    return ldap_err2string(code);
}

LDAP *ldapssl_init(const char *host, int port, int secure)
{
    if (host == nullptr || host[0] == '\0' || port <= 0 || port > 65535) {
        errno = EINVAL;
        return nullptr;
    }
    // A host name goes into a URI: refuse what would change its meaning.
    for (const char *p = host; *p != '\0'; ++p) {
        if (strchr("/?#@% \t\r\n", *p) != nullptr) {
            errno = EINVAL;
            return nullptr;
        }
    }
    char uri[1100];
    bool v6 = strchr(host, ':') != nullptr;
    int n = snprintf(uri, sizeof(uri), "%s://%s%s%s:%d", secure ? "ldaps" : "ldap",
                     v6 ? "[" : "", host, v6 ? "]" : "", port);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(uri)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    LDAP *ld = nullptr;
    int rc = ldap_initialize(&ld, uri);
    if (rc != LDAP_SUCCESS || ld == nullptr) {
        errno = rc == LDAP_NO_MEMORY ? ENOMEM : EINVAL;
        return nullptr;
    }
    struct timeval net = ms_to_tv(cks_net_timeout_ms);
    struct timeval op = ms_to_tv(cks_op_timeout_ms);
    if (ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &net) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld, LDAP_OPT_TIMEOUT, &op) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld, LDAP_OPT_CONNECT_CB, &g_guard_cb) != LDAP_OPT_SUCCESS) {
        ldap_unbind_ext_s(ld, nullptr, nullptr);
        errno = EINVAL;
        return nullptr;
    }
    return ld;
}

int ldapssl_advclientauth_init(LDAP *ld, const char *certdb)
{
    if (ld == nullptr || certdb == nullptr || certdb[0] == '\0')
        return -1;
    int demand = LDAP_OPT_X_TLS_DEMAND;
    int is_server = 0;
    if (ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTDIR, certdb) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &is_server) != LDAP_OPT_SUCCESS)
        return -1;
    return 0;
}

int ldapssl_enable_clientauth(LDAP *ld, const char *certdb, const char *keypasswd,
                              const char *certname)
{
    if (certdb == nullptr || certname == nullptr || certname[0] == '\0' ||
        strchr(certname, '/') != nullptr) {
        set_result_code(ld, LDAP_PARAM_ERROR);
        return -1;
    }
    berval cert = {0, nullptr}, key = {0, nullptr};
    if (load_client_pair(certdb, certname, keypasswd, &cert, &key) != 0) {
        set_result_code(ld, LDAP_LOCAL_ERROR);
        return -1;
    }
    int is_server = 0;
    int ret = 0;
    if (ldap_set_option(ld, LDAP_OPT_X_TLS_CERT, &cert) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld, LDAP_OPT_X_TLS_KEY, &key) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &is_server) != LDAP_OPT_SUCCESS) {
        set_result_code(ld, LDAP_LOCAL_ERROR);
        ret = -1;
    }
    // The key stays in the handle's own copy only.
    OPENSSL_cleanse(key.bv_val, key.bv_len);
    OPENSSL_free(key.bv_val);
    OPENSSL_free(cert.bv_val);
    return ret;
}

int ldap_get_lderrno(LDAP *ld)
{
    int rc = LDAP_OTHER;
    if (ld == nullptr || ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &rc) != LDAP_OPT_SUCCESS)
        return LDAP_OTHER;
    return cks_code(rc);
}

int cks_search(LDAP *ld, const char *base, int scope, const char *filter, char **attrs,
               LDAPMessage **res)
{
    *res = nullptr;
    struct timeval tv = ms_to_tv(cks_op_timeout_ms);
    int rc = ldap_search_ext_s(ld, base, scope, filter, attrs, 0, nullptr, nullptr, &tv,
                               LDAP_NO_LIMIT, res);
    // A reference among the results leaves entries on another server (the
    // handle never follows one): the entries in hand are not all there are,
    // and a partial list must not be answered as the whole.
    if (rc == LDAP_SUCCESS && *res != nullptr && ldap_count_references(ld, *res) > 0) {
        qelkiod_log(LOG_ERR, "Search below %s answered in part, with a referral for the rest",
                    base);
        rc = LDAP_REFERRAL;
    }
    if (rc != LDAP_SUCCESS && *res != nullptr) {
        ldap_msgfree(*res);
        *res = nullptr;
    }
    return cks_code(rc);
}

int cks_add(LDAP *ld, const char *dn, LDAPMod **mods)
{
    return cks_code(ldap_add_ext_s(ld, dn, mods, nullptr, nullptr));
}

int cks_modify(LDAP *ld, const char *dn, LDAPMod **mods)
{
    return cks_code(ldap_modify_ext_s(ld, dn, mods, nullptr, nullptr));
}

int cks_delete(LDAP *ld, const char *dn)
{
    return cks_code(ldap_delete_ext_s(ld, dn, nullptr, nullptr));
}

int cks_rename(LDAP *ld, const char *dn, const char *newrdn, const char *newsuperior)
{
    return cks_code(ldap_rename_s(ld, dn, newrdn, newsuperior, 1, nullptr, nullptr));
}

LDAPMod cks_mod_strings(int op, const char *attr, char **values)
{
    LDAPMod m;
    memset(&m, 0, sizeof(m));
    m.mod_op = op;
    m.mod_type = const_cast<char *>(attr);
    m.mod_values = values;
    return m;
}

LDAPMod cks_mod_data(int op, berval **values)
{
    LDAPMod m;
    memset(&m, 0, sizeof(m));
    m.mod_op = op | LDAP_MOD_BVALUES;
    m.mod_type = const_cast<char *>(CKS_DATA_ATTR);
    m.mod_bvalues = values;
    return m;
}

berval *cks_first_value(LDAP *ld, LDAPMessage *e, const char *attr)
{
    berval **vals = ldap_get_values_len(ld, e, attr);
    if (vals == nullptr)
        return nullptr;
    berval *v = vals[0] != nullptr ? ber_bvdup(vals[0]) : nullptr;
    ldap_value_free_len(vals);
    return v;
}

namespace {

struct sort_item {
    LDAPMessage *e;
    berval *key;
};

int key_cmp(const berval *a, const berval *b)
{
    if (a == nullptr || b == nullptr)
        return (a != nullptr) - (b != nullptr);
    size_t n = a->bv_len < b->bv_len ? a->bv_len : b->bv_len;
    int c = strncasecmp(a->bv_val, b->bv_val, n);
    if (c != 0)
        return c;
    return (a->bv_len > b->bv_len) - (a->bv_len < b->bv_len);
}

// Merge sort: stable, so entries with equal keys keep the server's order.
void merge_sort(sort_item *v, sort_item *tmp, int n)
{
    if (n < 2)
        return;
    int h = n / 2;
    merge_sort(v, tmp, h);
    merge_sort(v + h, tmp, n - h);
    int i = 0, j = h, k = 0;
    while (i < h && j < n)
        tmp[k++] = key_cmp(v[j].key, v[i].key) < 0 ? v[j++] : v[i++];
    while (i < h)
        tmp[k++] = v[i++];
    while (j < n)
        tmp[k++] = v[j++];
    memcpy(v, tmp, sizeof(*v) * static_cast<size_t>(n));
}

}  // namespace

int cks_sort_entries(LDAP *ld, LDAPMessage *res, const char *attr, LDAPMessage ***out, int *n)
{
    *out = nullptr;
    *n = 0;
    int count = ldap_count_entries(ld, res);
    if (count <= 0)
        return 0;
    size_t sz = static_cast<size_t>(count);
    sort_item *v = static_cast<sort_item *>(calloc(sz, sizeof(*v)));
    sort_item *tmp = static_cast<sort_item *>(calloc(sz, sizeof(*tmp)));
    LDAPMessage **arr = static_cast<LDAPMessage **>(calloc(sz, sizeof(*arr)));
    int got = 0;
    int ret = (v == nullptr || tmp == nullptr || arr == nullptr) ? CKS_NO_MEMORY : 0;
    for (LDAPMessage *e = ret == 0 ? ldap_first_entry(ld, res) : nullptr;
         e != nullptr && got < count; e = ldap_next_entry(ld, e)) {
        v[got].e = e;
        v[got].key = cks_first_value(ld, e, attr);
        ++got;
    }
    if (ret == 0) {
        merge_sort(v, tmp, got);
        for (int i = 0; i < got; ++i)
            arr[i] = v[i].e;
        *out = arr;
        *n = got;
        arr = nullptr;
    }
    for (int i = 0; v != nullptr && i < got; ++i)
        ber_bvfree(v[i].key);
    free(v);
    free(tmp);
    free(arr);
    return ret;
}
