// Cost of centralized keystore upcalls against a 389 Directory Server
// instance made for this run, each figure beside an anchor that does the
// same directory work with libldap directly, measured in the same run
// (upcall and anchor alternate, medians reported):
//   user write   DB_USER_WRITE of one existing user (512 bytes) through the
//                handler, answered by the in-process firmware; anchor:
//                connect, bind, base search, replace, unbind.
//   DB_READ      the whole-keystore read of 50 users x 20 objects of 512
//                bytes and empty logs (every user, every object sorted by
//                owner, both logs, pushed to the firmware); anchor: connect,
//                bind, one subtree search below the keystore node returning
//                every value, unbind.
//   log write    DB_LOG_WRITE of 10 new entries through the handler: the
//                log lock taken (with its read-back), the count, the adds,
//                the lock released; anchor: connect, bind, the same 10 adds,
//                unbind.  The limit is raised so that no rotation happens.
// A figure is one row of kFigures: a setup run once, the upcall and its
// anchor.
//
// Usage (as root, for the server instance): cks_bench [iterations] (50)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cks/cks_int.h"
#include "ds389.h"
#include "fake_fw.h"
#include "../bench_util.h"

namespace {

using kyrbench::median;
using kyrbench::now_ms;

const char *kKs = "bench.host.{1}";
const size_t kDataLen = 512;
const unsigned kUsers = 50, kObjsPerUser = 20;

struct bench_env {
    ds389 *ds = nullptr;
    fake_ks k;
    std::string uri;
    std::string binddn;
    std::string password;
};

std::string data_of(unsigned seed)
{
    std::string d(kDataLen, '\0');
    for (size_t i = 0; i < d.size(); ++i)
        d[i] = static_cast<char>(i * 7 + seed * 13);
    return d;
}

std::string hex(const std::string &id)
{
    char *t = bin2string(reinterpret_cast<const unsigned char *>(id.data()), id.size());
    std::string s = t != nullptr ? t : "";
    free(t);
    return s;
}

std::string ks_dn() { return "ou=" + std::string(kKs) + "," DS389_KEYSTORES; }

std::string user_dn(unsigned u) { return "ou=" + hex(fw_uid(u)) + ",ou=Users," + ks_dn(); }

// ---- anchors: libldap alone ----

LDAP *anchor_connect(const bench_env &b)
{
    LDAP *ld = nullptr;
    if (ldap_initialize(&ld, b.uri.c_str()) != LDAP_SUCCESS)
        return nullptr;
    int v = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &v);
    berval cred = {static_cast<ber_len_t>(b.password.size()), const_cast<char *>(b.password.c_str())};
    if (ldap_sasl_bind_s(ld, b.binddn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr,
                         nullptr) != LDAP_SUCCESS) {
        ldap_unbind_ext_s(ld, nullptr, nullptr);
        return nullptr;
    }
    return ld;
}

int anchor_user_write(bench_env &b)
{
    LDAP *ld = anchor_connect(b);
    if (ld == nullptr)
        return -1;
    std::string dn = user_dn(1), ou = hex(fw_uid(1)), data = data_of(1);
    char *attrs[] = {const_cast<char *>(LDAP_NO_ATTRS), nullptr};
    LDAPMessage *res = nullptr;
    int rc = ldap_search_ext_s(ld, dn.c_str(), LDAP_SCOPE_BASE, "(objectclass=orvcksnode)", attrs,
                               0, nullptr, nullptr, nullptr, LDAP_NO_LIMIT, &res);
    bool found = rc == LDAP_SUCCESS && ldap_count_entries(ld, res) == 1;
    ldap_msgfree(res);
    if (found) {
        char *classes[] = {const_cast<char *>("top"), const_cast<char *>("organizationalunit"),
                           const_cast<char *>("orvcksnode"), nullptr};
        char *ous[] = {&ou[0], nullptr};
        berval v = {static_cast<ber_len_t>(data.size()), &data[0]};
        berval *vals[] = {&v, nullptr};
        LDAPMod m[3] = {cks_mod_strings(LDAP_MOD_REPLACE, "objectclass", classes),
                        cks_mod_strings(LDAP_MOD_REPLACE, "ou", ous),
                        cks_mod_data(LDAP_MOD_REPLACE, vals)};
        LDAPMod *mods[] = {&m[0], &m[1], &m[2], nullptr};
        rc = ldap_modify_ext_s(ld, dn.c_str(), mods, nullptr, nullptr);
    }
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return found && rc == LDAP_SUCCESS ? 0 : -1;
}

int anchor_subtree_read(bench_env &b)
{
    LDAP *ld = anchor_connect(b);
    if (ld == nullptr)
        return -1;
    char *attrs[] = {const_cast<char *>("orvcksdata"), const_cast<char *>("uid"), nullptr};
    LDAPMessage *res = nullptr;
    int rc = ldap_search_ext_s(ld, ks_dn().c_str(), LDAP_SCOPE_SUBTREE, "(objectclass=*)", attrs,
                               0, nullptr, nullptr, nullptr, LDAP_NO_LIMIT, &res);
    size_t bytes = 0;
    for (LDAPMessage *e = ldap_first_entry(ld, res); e != nullptr; e = ldap_next_entry(ld, e)) {
        berval **v = ldap_get_values_len(ld, e, "orvcksdata");
        if (v != nullptr && v[0] != nullptr)
            bytes += v[0]->bv_len;
        ldap_value_free_len(v);
    }
    ldap_msgfree(res);
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return rc == LDAP_SUCCESS && bytes == (kUsers + kUsers * kObjsPerUser) * kDataLen ? 0 : -1;
}

// Log records of the locked-write figure: 10 per write, unique keys.
std::vector<fw_rec> log_batch(unsigned round)
{
    std::vector<fw_rec> v;
    for (unsigned i = 0; i < 10; ++i) {
        std::string d = data_of(round * 16 + i);
        d.replace(0, 4, std::string{char(round >> 24), char(round >> 16), char(round >> 8),
                                    char(round)});
        d[16] = char(i);
        v.push_back({fw_oid(0x900, round * 16 + i), d});
    }
    return v;
}

unsigned g_log_round = 0;

int anchor_log_adds(bench_env &b)
{
    LDAP *ld = anchor_connect(b);
    if (ld == nullptr)
        return -1;
    int rc = LDAP_SUCCESS;
    for (const fw_rec &r : log_batch(0x40000000u + g_log_round++)) {
        std::string key = hex(r.data.substr(0, DBM_LOG_KEY_LEN));
        std::string dn = "cn=" + key + ",ou=AuditLogCur," + ks_dn();
        char *classes[] = {const_cast<char *>("top"), const_cast<char *>("orvcksobject"), nullptr};
        char *cn[] = {&key[0], nullptr};
        std::string data = r.data;
        berval v = {static_cast<ber_len_t>(data.size()), &data[0]};
        berval *vals[] = {&v, nullptr};
        LDAPMod m[3] = {cks_mod_strings(LDAP_MOD_ADD, "objectclass", classes),
                        cks_mod_strings(LDAP_MOD_ADD, "cn", cn), cks_mod_data(LDAP_MOD_ADD, vals)};
        LDAPMod *mods[] = {&m[0], &m[1], &m[2], nullptr};
        if ((rc = ldap_add_ext_s(ld, dn.c_str(), mods, nullptr, nullptr)) != LDAP_SUCCESS)
            break;
    }
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return rc == LDAP_SUCCESS ? 0 : -1;
}

// ---- upcalls: the handlers ----

int upcall_user_write(bench_env &b)
{
    fw_load(b.k.buf, fw_make_user_msg(DB_USER_WRITE, kKs, 0, {{fw_uid(1), data_of(1)}}, false,
                                      false));
    return task_user_write(b.k.buf);
}

int upcall_db_read(bench_env &b)
{
    size_t before = fake_fw_total();
    fw_load(b.k.buf, fw_make_ks_msg(DB_READ, kKs, 0, false));
    int ret = task_db_read(b.k.buf);
    // One user push, at least one object push per owner, two log pushes.
    return ret == 0 && fake_fw_total() - before >= 1 + kUsers + 2 ? 0 : -1;
}

int upcall_log_write(bench_env &b)
{
    fw_load(b.k.buf, fw_make_obj_msg(DB_LOG_WRITE, kKs, 0, std::string(20, '\0'),
                                     log_batch(g_log_round++), false, false));
    return task_log_write(b.k.buf);
}

// ---- setups ----

// No rotation during the run: the figure is the lock and the adds.
int setup_log(bench_env &)
{
    mconf.auditloglimit = 1000000;
    return 0;
}

int setup_user(bench_env &b) { return upcall_user_write(b); }

int setup_keystore(bench_env &b)
{
    std::vector<fw_rec> users;
    for (unsigned u = 1; u <= kUsers; ++u)
        users.push_back({fw_uid(u), data_of(u)});
    fw_load(b.k.buf, fw_make_user_msg(DB_USER_WRITE, kKs, 0, users, false, false));
    int ret = task_user_write(b.k.buf);
    for (unsigned u = 1; ret == 0 && u <= kUsers; ++u) {
        std::vector<fw_rec> objs;
        for (unsigned o = 1; o <= kObjsPerUser; ++o)
            objs.push_back({fw_oid(0x100 + u, o), data_of(u * 100 + o)});
        fw_load(b.k.buf, fw_make_obj_msg(DB_OBJECT_WRITE, kKs, 0, fw_uid(u), objs, false, false));
        ret = task_obj_write(b.k.buf);
    }
    return ret;
}

struct figure {
    const char *name;
    const char *anchor;
    int (*setup)(bench_env &);
    int (*upcall)(bench_env &);
    int (*anchor_run)(bench_env &);
};

const figure kFigures[] = {
    {"user write upcall", "connect+bind+search+replace+unbind", setup_user, upcall_user_write,
     anchor_user_write},
    {"DB_READ (50 users x 20 objects x 512 B)", "connect+bind+subtree search+unbind",
     setup_keystore, upcall_db_read, anchor_subtree_read},
    {"log write (10 entries, locked)", "connect+bind+10 adds+unbind", setup_log,
     upcall_log_write, anchor_log_adds},
};

int setup_env(bench_env *b)
{
    std::string why;
    b->ds = ds389_shared(false, &why);
    if (b->ds == nullptr) {
        fprintf(stderr, "cks_bench: no directory server: %s\n", why.c_str());
        return -1;
    }
    b->binddn = ds389_host_dn("benchA");
    b->password = "secretA";
    b->uri = "ldap://127.0.0.1:" + std::to_string(b->ds->port);
    if (ds389_add_host(*b->ds, "benchA", b->password) != 0)
        return -1;
    mconf.basedn = strdup(DS389_SUFFIX);
    mconf.authtype = strdup("simple");
    mconf.binddn = strdup(b->binddn.c_str());
    mconf.password = strdup(b->password.c_str());
    mconf.nservers = 1;
    mconf.servers[0].host = strdup("127.0.0.1");
    mconf.servers[0].port = b->ds->port;
    mconf.servers[0].ssl = 0;
    if (fake_ks_init(&b->k, kKs, DBM_KS_LDAP) != 0)
        return -1;
    fake_fw_install();
    fake_fw_set_record(false);
    fw_load(b->k.buf, fw_make_ks_msg(DB_INIT, kKs, DBM_KS_LDAP, false));
    return cks_db_make(b->k.buf);
}

}  // namespace

int main(int argc, char **argv)
{
    int iterations = argc > 1 ? atoi(argv[1]) : 50;
    if (iterations < 1)
        iterations = 1;
    kyrkiod_disable_syslog = 1;
    logmask = LOG_UPTO(LOG_ERR);
    bench_env b;
    if (setup_env(&b) != 0) {
        fprintf(stderr, "cks_bench: setup failed\n");
        return 1;
    }
    printf("%-46s %10s %10s %7s  %s\n", "figure", "upcall ms", "anchor ms", "ratio", "anchor");
    int failed = 0;
    for (const figure &f : kFigures) {
        if (f.setup(b) != 0) {
            fprintf(stderr, "cks_bench: setup of %s failed\n", f.name);
            failed = 1;
            continue;
        }
        std::vector<double> up, an;
        int bad = 0;
        // A warm-up round of each, then upcall and anchor alternate.
        bad |= f.upcall(b) | f.anchor_run(b);
        for (int i = 0; i < iterations; ++i) {
            double t0 = now_ms();
            bad |= f.upcall(b);
            double t1 = now_ms();
            bad |= f.anchor_run(b);
            double t2 = now_ms();
            up.push_back(t1 - t0);
            an.push_back(t2 - t1);
        }
        if (bad != 0) {
            fprintf(stderr, "cks_bench: %s: a run failed\n", f.name);
            failed = 1;
        }
        double u = median(up), a = median(an);
        printf("%-46s %10.3f %10.3f %7.2f  %s\n", f.name, u, a, a > 0 ? u / a : 0.0, f.anchor);
    }
    printf("target: upcall <= 1.2 x anchor\n");
    fake_fw_uninstall();
    fake_ks_fini(&b.k);
    return failed;
}
