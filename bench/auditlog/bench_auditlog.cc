// Prints: DB_READ of a keystore of 100 000 objects of 200 bytes in MB/s of
// pushed records against a bare cursor walk over the same object database;
// DB_LOG_READ of the newest 10 entries from logs of 1 000 and 1 000 000
// entries; the rotation check at both sizes.  The handlers are the
// production ones, answered by the in-process firmware.
//
//   bench_auditlog [objects] [big-log-entries]
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

namespace {

using kyrbench::median;

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0)
{
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

void die(const char *what, int st)
{
    fprintf(stderr, "bench_auditlog: %s failed: %d (%s)\n", what, st,
            st < 0 ? db_strerror(st) : strerror(st));
    exit(1);
}

// A keystore of its own under a fresh temp directory.
struct bench_ks {
    fake_ks k;
};

void make_keystore(bench_ks *b, const std::string &name)
{
    int st = fake_ks_init(&b->k, name, DBM_KS_LOCAL);
    if (st != 0)
        die("keystore directory", st);
    fw_load(b->k.buf, fw_make_ks_msg(DB_INIT, name, DBM_KS_LOCAL, false));
    st = localks_db_make(b->k.buf);
    if (st != 0)
        die("keystore creation", st);
}

int open_db(bench_ks *b, const char *dbname, ks_handle *h)
{
    memset(h, 0, sizeof(*h));
    h->dbname = dbname;
    fw_load(b->k.buf, fw_make_ks_msg(DB_READ, b->k.name, 0, false));
    return ks_handle_open(h, b->k.buf, DBM_KS_LOCAL);
}

// Stores n records with keys from keyfn, data of datalen bytes, in batches
// of one transaction each.
template <typename KeyFn>
void fill(bench_ks *b, const char *dbname, long n, size_t keylen, size_t datalen, KeyFn keyfn)
{
    ks_handle h;
    int st = open_db(b, dbname, &h);
    if (st != 0)
        die("open for fill", st);
    std::vector<unsigned char> key(keylen), data(datalen, 0x5a);
    const long batch = 5000;
    for (long i = 0; i < n; i += batch) {
        DB_TXN *txn = nullptr;
        if ((st = h.env->txn_begin(h.env, nullptr, &txn, 0)) != 0)
            die("txn_begin", st);
        for (long j = i; j < std::min(n, i + batch); j++) {
            keyfn(j, key.data());
            if (datalen >= keylen)
                memcpy(data.data(), key.data(), keylen);  // log entries start with their key
            DBT k, d;
            memset(&k, 0, sizeof(k));
            memset(&d, 0, sizeof(d));
            k.data = key.data();
            k.size = uint32_t(keylen);
            d.data = data.data();
            d.size = uint32_t(datalen);
            if ((st = h.db->put(h.db, txn, &k, &d, 0)) != 0)
                die("put", st);
        }
        if ((st = txn->commit(txn, 0)) != 0)
            die("commit", st);
    }
    // Leave the keystore as the daemon's periodic log removal keeps it:
    // checkpointed, with the transaction logs no longer needed removed.
    h.env->txn_checkpoint(h.env, 0, 0, DB_FORCE);
    h.env->txn_checkpoint(h.env, 0, 0, DB_FORCE);
    if ((st = h.env->log_archive(h.env, nullptr, DB_ARCH_REMOVE)) != 0)
        die("log_archive", st);
    ks_handle_close(&h, DBM_KS_LOCAL);
}

void put_be32(unsigned char *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

void bench_db_read(long nobjs)
{
    bench_ks b;
    make_keystore(&b, "bench.read.{1}");
    const size_t datalen = 200;
    fill(&b, KS_OBJECT_DB, nobjs, DBM_OBJ_KEY_LEN, datalen, [](long i, unsigned char *key) {
        memset(key, 0, DBM_OBJ_KEY_LEN);
        put_be32(key + 16, uint32_t(i / 1000));  // 1000 objects per owner
        put_be32(key + 20, 0x1);
        put_be32(key + 24, uint32_t(i));
    });
    const double bytes = double(nobjs) * double(DBM_OBJ_HEAD + datalen);

    // Bare walk: environment and database already open, cursor copies.
    std::vector<double> bare;
    for (int rep = 0; rep < 5; rep++) {
        ks_handle h;
        if (open_db(&b, KS_OBJECT_DB, &h) != 0)
            die("open for walk", 1);
        auto t0 = clock_type::now();
        DBC *cur = nullptr;
        h.db->cursor(h.db, nullptr, &cur, 0);
        DBT k, d;
        memset(&k, 0, sizeof(k));
        memset(&d, 0, sizeof(d));
        long seen = 0;
        size_t sum = 0;
        while (cur->get(cur, &k, &d, DB_NEXT) == 0) {
            seen++;
            sum += d.size;
        }
        cur->close(cur);
        bare.push_back(seconds_since(t0));
        ks_handle_close(&h, DBM_KS_LOCAL);
        if (seen != nobjs || sum != size_t(nobjs) * datalen)
            die("bare walk count", EIO);
    }

    // DB_READ through the handler: four passes, each opening the keystore.
    std::vector<double> handler;
    fake_fw_set_record(false);
    for (int rep = 0; rep < 5; rep++) {
        fw_load(b.k.buf, fw_make_ks_msg(DB_READ, b.k.name, 0, false));
        size_t before = fake_fw_total();
        auto t0 = clock_type::now();
        int st = task_db_read(b.k.buf);
        handler.push_back(seconds_since(t0));
        if (st != 0)
            die("task_db_read", st);
        if (rep == 0)
            printf("  DB_READ sent %zu pushes\n", fake_fw_total() - before);
    }
    fake_fw_set_record(true);
    double mb_bare = bytes / median(bare) / 1e6;
    double mb_handler = bytes / median(handler) / 1e6;
    printf("DB_READ of %ld objects of %zu bytes (%.1f MB of records):\n", nobjs, datalen,
           bytes / 1e6);
    printf("  bare cursor walk      %8.1f MB/s  (%.1f ms)\n", mb_bare, median(bare) * 1e3);
    printf("  DB_READ handler       %8.1f MB/s  (%.1f ms)\n", mb_handler, median(handler) * 1e3);
    printf("  ratio handler/bare    %8.2f  (target >= 0.5)\n", mb_handler / mb_bare);
    fake_ks_fini(&b.k);
}

struct log_figures {
    double read_newest_ms;
    double rotation_check_us;
    double open_close_ms;
    double reader_us;
};

log_figures bench_log(long entries)
{
    bench_ks b;
    make_keystore(&b, "bench.log.{" + std::to_string(entries) + "}");
    fill(&b, KS_AUDITLOG_DB, entries, DBM_LOG_KEY_LEN, 64, [](long i, unsigned char *key) {
        memset(key, 0, DBM_LOG_KEY_LEN);
        put_be32(key + 4, uint32_t(1700000000 + i / 100));
        put_be32(key + 8, 0x2);
        put_be32(key + 12, uint32_t(i));
    });
    log_figures f{};

    // DB_LOG_READ newest 10, through the handler (open, read, close).
    std::vector<double> reads;
    for (int rep = 0; rep < 21; rep++) {
        fw_load(b.k.buf, fw_make_obj_msg(DB_LOG_READ, b.k.name, 0, std::string(20, '\0'), {},
                                         true, false));
        msg_put32(b.k.buf->msg, DBM_NOBJS_OFF, 10);
        fake_fw_reset();
        auto t0 = clock_type::now();
        int st = task_log_read(b.k.buf);
        reads.push_back(seconds_since(t0));
        if (st != 0)
            die("task_log_read", st);
        std::string owner;
        std::vector<fw_rec> recs;
        if (fake_fw_count() != 1 || !fw_obj_parse(fake_fw_sent(0), &owner, &recs) ||
            recs.size() != 10)
            die("newest-10 answer", EIO);
    }
    f.read_newest_ms = median(reads) * 1e3;

    // The part of it that is the keystore open and close alone.
    std::vector<double> opens;
    for (int rep = 0; rep < 21; rep++) {
        ks_handle oh;
        auto t1 = clock_type::now();
        if (open_db(&b, KS_AUDITLOG_DB, &oh) != 0)
            die("open log", 1);
        ks_handle_close(&oh, DBM_KS_LOCAL);
        opens.push_back(seconds_since(t1));
    }
    f.open_close_ms = median(opens) * 1e3;

    // The rotation check alone, on an open log.
    ks_handle h;
    if (open_db(&b, KS_AUDITLOG_DB, &h) != 0)
        die("open log", 1);
    // Median of 9 batches: single calls take well under a microsecond.
    const int reps = 20000;
    std::vector<double> checks;
    for (int batch = 0; batch < 9; batch++) {
        auto t0 = clock_type::now();
        int rotate = 0;
        for (int i = 0; i < reps; i++)
            rotate += localks_rotation_req(h.db, 5);
        checks.push_back(seconds_since(t0) / reps * 1e6);
        if (rotate != (entries + 5 > mconf.auditloglimit ? reps : 0))
            die("rotation check result", EIO);
    }
    f.rotation_check_us = median(checks);

    // The reader alone on the open log: stepping back from the end.
    std::vector<double> readers;
    const int rreps = 200;
    for (int batch = 0; batch < 9; batch++) {
        auto t0 = clock_type::now();
        for (int i = 0; i < rreps; i++) {
            fw_load(b.k.buf, fw_make_obj_msg(DB_LOG_READ, b.k.name, 0, std::string(20, '\0'),
                                             {}, true, false));
            msg_put32(b.k.buf->msg, DBM_NOBJS_OFF, 10);
            fake_fw_reset();
            int st = read_log_entries(h.db, b.k.buf);
            if (st != 0)
                die("read_log_entries", st);
        }
        readers.push_back(seconds_since(t0) / rreps * 1e6);
    }
    f.reader_us = median(readers);
    ks_handle_close(&h, DBM_KS_LOCAL);
    fake_ks_fini(&b.k);
    return f;
}

}  // namespace

int main(int argc, char **argv)
{
    long nobjs = argc > 1 ? atol(argv[1]) : 100000;
    long big = argc > 2 ? atol(argv[2]) : 1000000;
    kyrkiod_disable_syslog = 1;
    mconf.auditloglimit = 500;
    fake_fw_install();

    bench_db_read(nobjs);

    log_figures small = bench_log(1000);
    log_figures large = bench_log(big);
    printf("DB_LOG_READ newest 10 (handler, open to close):\n");
    printf("  log of %8d entries  %8.3f ms\n", 1000, small.read_newest_ms);
    printf("  log of %8ld entries  %8.3f ms\n", big, large.read_newest_ms);
    printf("  ratio large/small     %8.2f  (target <= 2)\n",
           large.read_newest_ms / small.read_newest_ms);
    printf("  of which keystore open with recovery and close: %.3f ms and %.3f ms\n",
           small.open_close_ms, large.open_close_ms);
    printf("  reader alone on the open log: %.1f us and %.1f us (ratio %.2f)\n", small.reader_us,
           large.reader_us, large.reader_us / small.reader_us);
    printf("Rotation check (fast statistics):\n");
    printf("  log of %8d entries  %8.3f us\n", 1000, small.rotation_check_us);
    printf("  log of %8ld entries  %8.3f us\n", big, large.rotation_check_us);
    printf("  ratio large/small     %8.2f  (flat expected)\n",
           large.rotation_check_us / small.rotation_check_us);
    fake_fw_uninstall();
    return 0;
}
