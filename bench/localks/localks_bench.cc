// Cost of a one-user DB_USER_WRITE upcall on local keystores of 0, 10 000
// and 100 000 users:
//   handler    the real handler code, answered by the in-process firmware;
//   end2end    the production daemon through the card simulator (when the
//              simulator is built);
//   bare       a plain Berkeley DB loop doing the same steps (environment
//              with recovery, database open, one transaction with one put,
//              commit, close) with the keystore's environment sizes;
//   bare-dflt  the same loop with Berkeley DB's default sizes.
// Also the number of fsync/fdatasync calls Berkeley DB makes per upcall,
// counted through its fsync hook.
//
// Usage: localks_bench [directory [iterations]]   (default: ., 100)
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fake_fw.h"
#include "localks/localks.h"
#include "../bench_util.h"

#ifdef KYR_HAVE_KYRSIM
#include <fstream>

#include "kyrsim.h"
#endif

namespace {

using kyrbench::median;
using kyrbench::now_ms;

const u_int32_t kEnvFlags =
    DB_CREATE | DB_RECOVER | DB_INIT_LOCK | DB_INIT_LOG | DB_INIT_MPOOL | DB_INIT_TXN;

long g_syncs = 0;
int counting_fsync(int fd)
{
    g_syncs++;
    return fdatasync(fd);
}

void die(const char *what, int ret)
{
    fprintf(stderr, "localks_bench: %s: %s\n", what, db_strerror(ret));
    exit(1);
}

// The bare program's environment: the keystore's sizes, set here from the
// same constants rather than through the daemon's code, or the defaults.
DB_ENV *bare_env(const std::string &dir, bool keystore_sizes)
{
    DB_ENV *env = nullptr;
    int ret = db_env_create(&env, 0);
    if (ret != 0)
        die("db_env_create", ret);
    if (keystore_sizes) {
        env->set_lg_max(env, KS_LG_MAX);
        env->set_lg_bsize(env, KS_LG_BSIZE);
        env->set_cachesize(env, 0, KS_CACHE_BYTES, 1);
    }
    if ((ret = env->open(env, dir.c_str(), kEnvFlags, 0)) != 0)
        die(dir.c_str(), ret);
    return env;
}

DB *bare_db(DB_ENV *env, const char *name)
{
    DB *db = nullptr;
    int ret = db_create(&db, env, 0);
    if (ret == 0)
        ret = db->set_lorder(db, 4321);
    if (ret == 0)
        ret = db->open(db, nullptr, name, nullptr, DB_BTREE, DB_CREATE | DB_AUTO_COMMIT, 0600);
    if (ret != 0)
        die(name, ret);
    return db;
}

std::string user_data(unsigned i)
{
    char buf[128];
    snprintf(buf, sizeof(buf), "user record %u with some opaque firmware data", i);
    return std::string(buf) + std::string(100, static_cast<char>('a' + i % 26));
}

// A keystore environment with n users, made with the given sizes.
void populate(const std::string &dir, unsigned n, bool keystore_sizes)
{
    mkdir(dir.c_str(), 0700);
    DB_ENV *env = bare_env(dir, keystore_sizes);
    for (const char *name : {"user.db", "object.db"}) {
        DB *db = bare_db(env, name);
        db->close(db, 0);
    }
    DB *db = bare_db(env, "user.db");
    const unsigned batch = 2000;
    for (unsigned i = 0; i < n; i += batch) {
        DB_TXN *txn = nullptr;
        int ret = env->txn_begin(env, nullptr, &txn, DB_TXN_NOSYNC);
        if (ret != 0)
            die("txn_begin", ret);
        for (unsigned j = i; j < n && j < i + batch; j++) {
            std::string id = fw_uid(j * 2 + 1), data = user_data(j);
            DBT k, v;
            memset(&k, 0, sizeof(k));
            memset(&v, 0, sizeof(v));
            k.data = &id[0];
            k.size = static_cast<u_int32_t>(id.size());
            v.data = &data[0];
            v.size = static_cast<u_int32_t>(data.size());
            if ((ret = db->put(db, txn, &k, &v, 0)) != 0)
                die("put", ret);
        }
        if ((ret = txn->commit(txn, 0)) != 0)
            die("commit", ret);
    }
    // The daemon's periodic check keeps only the log files still needed.
    env->txn_checkpoint(env, 0, 0, 0);
    char **unused = nullptr;
    env->log_archive(env, &unused, DB_ARCH_REMOVE);
    free(unused);
    db->close(db, 0);
    env->close(env, 0);
}

// One upcall's worth of work done by a plain Berkeley DB program.
void bare_upcall(const std::string &dir, bool keystore_sizes, unsigned i)
{
    DB_ENV *env = bare_env(dir, keystore_sizes);
    DB *db = bare_db(env, "user.db");
    DB_TXN *txn = nullptr;
    int ret = env->txn_begin(env, nullptr, &txn, 0);
    if (ret != 0)
        die("txn_begin", ret);
    std::string id = fw_uid(i * 2), data = user_data(i);
    DBT k, v;
    memset(&k, 0, sizeof(k));
    memset(&v, 0, sizeof(v));
    k.data = &id[0];
    k.size = static_cast<u_int32_t>(id.size());
    v.data = &data[0];
    v.size = static_cast<u_int32_t>(data.size());
    if ((ret = db->put(db, txn, &k, &v, 0)) != 0)
        die("put", ret);
    if ((ret = txn->commit(txn, 0)) != 0)
        die("commit", ret);
    db->close(db, 0);
    env->close(env, 0);
}

// One timed upcall of each kind, taken in turn so that the load of a shared
// machine falls on all of them alike.
struct series {
    std::vector<double> ms;
    long syncs = 0;
    double median_ms() const { return median(ms); }
    double syncs_per() const { return ms.empty() ? 0 : static_cast<double>(syncs) / ms.size(); }
};

template <typename F> void timed(series *s, bool keep, F f)
{
    long before = g_syncs;
    double t0 = now_ms();
    f();
    double dt = now_ms() - t0;
    if (keep) {
        s->ms.push_back(dt);
        s->syncs += g_syncs - before;
    }
}

void handler_upcall(fake_ks *ks, unsigned u)
{
    fw_bytes msg = fw_make_user_msg(DB_USER_WRITE, ks->name, 0, {{fw_uid(u * 2), user_data(u)}}, false, false);
    fw_load(ks->buf, msg);
    int ret = task_user_write(ks->buf);
    if (ret != 0) {
        fprintf(stderr, "localks_bench: task_user_write: %d\n", ret);
        exit(1);
    }
}

#ifdef KYR_HAVE_KYRSIM
// The production daemon serving one keystore through the card simulator.
struct daemon_run {
    kyrsim *sim = nullptr;
    kyrsim_child child;
    std::string name;
    bool ok = false;
};

void daemon_start(daemon_run *r, const std::string &base, const std::string &ksdir,
                  const std::string &name)
{
    r->name = name;
    std::ofstream(ksdir + "/" + name + ".conf") << "configuration";
    std::string conf = base + "/e2e.conf";
    std::ofstream(conf) << "user root\nkeystoredir " << ksdir << "\n";
    if (kyrsim_start(kyrsim_opts{}, &r->sim) != 0)
        return;
    kyrsim_spawn_opts o;
    o.argv = {KYR_BUILD_DIR "/daemon/kyrkiod", "-F", "-s", "-f", conf};
    o.env = {"KYRKIOD_LOCKFILE=" + base + "/e2e.lock"};
    r->ok = kyrsim_spawn(r->sim, o, &r->child) == 0 && kyrsim_wait_hello(r->sim, name, 20000) == 0;
}

// From posting the upcall until the daemon's thread waits for the next
// one (its answer sent and the keystore closed).
void daemon_upcall(daemon_run *r, unsigned u)
{
    if (!r->ok)
        return;
    kyrsim_msg m = kyrsim_msg_make(DB_USER_WRITE, r->name);
    std::string id = fw_uid(u * 2), data = user_data(u);
    kyrsim_msg_add_user(&m, std::vector<uint8_t>(id.begin(), id.end()),
                        std::vector<uint8_t>(data.begin(), data.end()));
    std::vector<kyrsim_msg> got;
    if (kyrsim_exchange(r->sim, r->name, m, 20000, &got) != 0 || got.empty() ||
        got.back().status != 0 || kyrsim_wait_standby(r->sim, r->name, 20000) != 0) {
        fprintf(stderr, "localks_bench: end-to-end upcall failed\n");
        r->ok = false;
    }
}
#endif

}  // namespace

int main(int argc, char **argv)
{
    std::string base = argc > 1 ? argv[1] : ".";
    int iters = argc > 2 ? atoi(argv[2]) : 100;
    if (iters < 1)
        iters = 1;
    char tmpl[4096];
    snprintf(tmpl, sizeof(tmpl), "%s/localks-bench.XXXXXX", base.c_str());
    if (mkdtemp(tmpl) == nullptr) {
        perror("localks_bench: mkdtemp");
        return 1;
    }
    base = tmpl;
    setenv("TMPDIR", base.c_str(), 1);
    kyrkiod_disable_syslog = 1;
    logmask = 0x1f;   // errors and warnings only
    db_env_set_func_fsync(counting_fsync);

    printf("one-user DB_USER_WRITE upcall, median of %d, ms (fsync+fdatasync per upcall)\n", iters);
    printf("sizes: log file %u KB, log buffer %u KB, cache %u KB, default lock table\n",
           KS_LG_MAX / 1024, KS_LG_BSIZE / 1024, KS_CACHE_BYTES / 1024);
    printf("%8s %14s %10s %14s %14s %9s %9s %9s\n", "users", "handler", "end2end", "bare",
           "bare-dflt", "hdl/bare", "dflt/hdl", "hdl/hdl0");
    double handler_at_zero = 0;
    for (unsigned users : {0u, 10000u, 100000u}) {
        const std::string name = "bench.host.{" + std::to_string(users) + "}";
        const std::string same = base + "/same-" + std::to_string(users);
        const std::string dflt = base + "/dflt-" + std::to_string(users);
        fake_ks ks;
        if (fake_ks_init(&ks, name, DBM_KS_LOCAL) != 0) {
            fprintf(stderr, "localks_bench: cannot set up %s\n", name.c_str());
            return 1;
        }
        fake_fw_install();
        fake_fw_set_record(false);
        populate(ks.dir + "/" + name, users, true);
        populate(same, users, true);
        populate(dflt, users, false);
        series h, b, df, e;
#ifdef KYR_HAVE_KYRSIM
        const std::string e2e_dir = base + "/e2e-" + std::to_string(users);
        mkdir(e2e_dir.c_str(), 0700);
        populate(e2e_dir + "/" + name, users, true);
        daemon_run d;
        daemon_start(&d, base, e2e_dir, name);
#endif
        for (int i = -3; i < iters; i++) {
            bool keep = i >= 0;
            unsigned u = keep ? static_cast<unsigned>(i) : 2000000u + static_cast<unsigned>(-i);
            // Rotate the order so that no kind always follows the same one.
            for (int k = 0; k < 3; k++) {
                switch ((i + 3 + k) % 3) {
                case 0: timed(&h, keep, [&] { handler_upcall(&ks, u); }); break;
                case 1: timed(&b, keep, [&] { bare_upcall(same, true, u); }); break;
                default: timed(&df, keep, [&] { bare_upcall(dflt, false, u); }); break;
                }
            }
#ifdef KYR_HAVE_KYRSIM
            if (d.ok)
                timed(&e, keep, [&] { daemon_upcall(&d, u); });
#endif
        }
#ifdef KYR_HAVE_KYRSIM
        kyrsim_stop(d.sim);
#endif
        fake_fw_uninstall();
        fake_ks_fini(&ks);
        if (users == 0)
            handler_at_zero = h.median_ms();
        char e2e_text[32];
        if (e.ms.empty())
            snprintf(e2e_text, sizeof(e2e_text), "n/a");
        else
            snprintf(e2e_text, sizeof(e2e_text), "%.2f", e.median_ms());
        printf("%8u %8.2f (%3.1f) %10s %8.2f (%3.1f) %8.2f (%3.1f) %9.2f %9.2f %9.2f\n", users,
               h.median_ms(), h.syncs_per(), e2e_text, b.median_ms(), b.syncs_per(),
               df.median_ms(), df.syncs_per(), h.median_ms() / b.median_ms(),
               df.median_ms() / h.median_ms(), h.median_ms() / handler_at_zero);
        fflush(stdout);
    }
    std::string cmd = "rm -rf '" + base + "'";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "localks_bench: cannot remove %s\n", base.c_str());
    return 0;
}
