// The audit log of a centralized keystore on a real 389 Directory Server,
// through the log handlers: writes, reads and rotation; the log lock
// against a third bind DN, against a second host writing at the same time
// (two processes) and against a server that goes away.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <climits>
#include <cstring>
#include <set>
#include <thread>

#include "cks_log_fixture.h"

namespace {

using namespace kyrlog;

TEST_F(CksLog, WriteReadAndRotateTwiceWithLimitFive)
{
    mconf.auditloglimit = 5;
    LDAP *ld = nullptr;
    ASSERT_EQ(0, connect_bind_ldap(&ld));
    EXPECT_EQ(0, get_log_count(ld, kKs, CKS_LOGCUR_RDN));
    ASSERT_EQ(0, write(recs(1, 1, 3)));
    ASSERT_EQ(1u, fake_fw_count());
    EXPECT_EQ(uint32_t(DB_RESPONSE), fw_header(fake_fw_sent(0)).type);
    EXPECT_EQ(0, fw_header(fake_fw_sent(0)).status);
    EXPECT_EQ(3, get_log_count(ld, kKs, CKS_LOGCUR_RDN));
    EXPECT_EQ(range(1, 3), seqs(0));
    EXPECT_TRUE(lock_free());

    // 3 + 3 > 5: the first rotation moves 1-3 into the empty old log.
    ASSERT_EQ(0, write(recs(1, 4, 3)));
    EXPECT_NE(std::string::npos, log().find("Initiating log rotation"));
    EXPECT_EQ(range(4, 6), seqs(0));
    EXPECT_EQ(range(1, 3), seqs(0, true));
    // The second rotation deletes the old log node made again by the first.
    ASSERT_EQ(0, write(recs(1, 7, 3)));
    EXPECT_EQ(range(7, 9), seqs(0));
    EXPECT_EQ(3u, entries(CKS_LOGOLD_RDN));
    std::vector<fw_rec> got;
    std::vector<uint32_t> fl;
    ASSERT_EQ(0, read(0, true, &got, &fl));
    ASSERT_EQ(3u, got.size());
    for (uint32_t f : fl)
        EXPECT_EQ(DBM_FLAG_OLD_LOG, f & DBM_FLAG_OLD_LOG);
    EXPECT_EQ(range(4, 6), seqs(0, true));

    // A key-set write is neither counted nor stamped: past the limit
    // without rotation, its records stored as sent.
    std::vector<fw_rec> keyed = recs(1, 10, 3);
    ASSERT_EQ(0, write(keyed, DBM_FLAG_KEY_SET));
    got.clear();
    ASSERT_EQ(0, read(3, false, &got, &fl));
    ASSERT_EQ(3u, got.size());
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(keyed[i].data, got[i].data);

    // Selection: newest n, oldest |n|, and |INT_MIN| without overflow.
    EXPECT_EQ(range(11, 12), seqs(2));
    EXPECT_EQ(range(7, 8), seqs(-2));
    EXPECT_EQ(range(7, 12), seqs(20));
    EXPECT_EQ(range(7, 12), seqs(INT_MIN));
    cks_unbind(ld);
}

TEST_F(CksLog, RotationMakesAMissingOldLogNodeAgain)
{
    // As a rotation cut short after deleting the old log node leaves it.
    mconf.auditloglimit = 5;
    ASSERT_EQ(0, write(recs(1, 1, 3)));
    LDAP *root = ds389_root(*ds);
    ASSERT_EQ(0, ldap_delete_ext_s(root, node(CKS_LOGOLD_RDN).c_str(), nullptr, nullptr));
    ldap_unbind_ext_s(root, nullptr, nullptr);

    ASSERT_EQ(0, write(recs(1, 4, 3)));
    EXPECT_NE(std::string::npos, log().find("was missing: made again"));
    EXPECT_EQ(range(4, 6), seqs(0));
    EXPECT_EQ(range(1, 3), seqs(0, true));
}

TEST_F(CksLog, CreationTimeOrdersTheLogAndTheKeyBreaksTies)
{
    // Written first with the larger key, then (a second later) the smaller.
    ASSERT_EQ(0, write({log_rec(0, 0x900)}));
    sleep(2);
    ASSERT_EQ(0, write({log_rec(0, 0x100), log_rec(0, 0x50)}));
    std::vector<uint32_t> got = seqs(0);
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(0x900u, got[0]);
    // 0x100 and 0x50 were made within one second (unless a second passed
    // between them): then the key decides.
    LDAP *root = ds389_root(*ds);
    LDAPMessage *res = nullptr;
    char ts[] = "createTimestamp", cn[] = "cn";
    char *attrs[] = {ts, cn, nullptr};
    ASSERT_EQ(0, ldap_search_ext_s(root, node(CKS_LOGCUR_RDN).c_str(), LDAP_SCOPE_ONELEVEL,
                                   "(objectclass=*)", attrs, 0, nullptr, nullptr, nullptr, 0,
                                   &res));
    std::set<std::string> stamps;
    for (LDAPMessage *e = ldap_first_entry(root, res); e; e = ldap_next_entry(root, e)) {
        berval **v = ldap_get_values_len(root, e, ts);
        ASSERT_NE(nullptr, v);
        stamps.insert(std::string(v[0]->bv_val, v[0]->bv_len));
        ldap_value_free_len(v);
    }
    ldap_msgfree(res);
    ldap_unbind_ext_s(root, nullptr, nullptr);
    std::vector<uint32_t> same_second = {0x900, 0x50, 0x100}, two_seconds = {0x900, 0x100, 0x50};
    EXPECT_EQ(stamps.size() == 2 ? same_second : two_seconds, got);
}

TEST_F(CksLog, RefusedRecordsStoreNothingAndOversizedValuesEndTheRead)
{
    // A record shorter than its key anywhere in the message refuses it all.
    std::vector<fw_rec> r = recs(2, 1, 3);
    r[2].data.resize(DBM_LOG_KEY_LEN - 1);
    EXPECT_EQ(EINVAL, write(r));
    EXPECT_EQ(0u, fake_fw_count());
    EXPECT_EQ(0u, entries(CKS_LOGCUR_RDN));
    EXPECT_TRUE(lock_free());

    // A stored value that no push can hold: EINVAL, not empty pushes.
    ASSERT_EQ(0, write(recs(2, 1, 2)));
    std::string big(DBM_MAX_OBJ_DATA + 1, 'x');
    std::string dn = "cn=" + std::string(64, 'F') + "," + node(CKS_LOGCUR_RDN);
    ASSERT_EQ(0, ds389_ldif(*ds, "dn: " + dn + "\nchangetype: add\nobjectclass: top\n"
                                 "objectclass: orvcksobject\ncn: " + std::string(64, 'F') +
                                 "\norvcksdata: " + big + "\n"));
    std::vector<fw_rec> got;
    std::vector<uint32_t> fl;
    EXPECT_EQ(EINVAL, read(0, false, &got, &fl));
    EXPECT_LE(fake_fw_count(), 1u);
}

TEST_F(CksLog, ContinuationOfAnotherKeystoreIsRefused)
{
    // A second keystore of the same host: the continuation of a write into
    // the first must not land in its log (it holds no lock there either).
    const char *other = "log2.host.{1}";
    fw_load(k.buf, fw_make_ks_msg(DB_INIT, other, DBM_KS_LDAP, false));
    ASSERT_EQ(0, cks_db_make(k.buf));
    fake_fw_reset();
    fake_fw_queue_msg(fw_make_obj_msg(DB_LOG_WRITE, other, 0, std::string(20, '\0'),
                                      recs(6, 3, 2), false, true));
    EXPECT_EQ(EINVAL, write(recs(6, 1, 2), DBM_FLAG_MORE));
    EXPECT_EQ(1u, fake_fw_count());
    EXPECT_EQ(2u, entries(CKS_LOGCUR_RDN));
    std::string other_log = std::string(CKS_LOGCUR_RDN) + ",ou=" + other + "," DS389_KEYSTORES;
    EXPECT_EQ(0u, ds389_dns(*ds, other_log, true).size());
    EXPECT_NE(std::string::npos, log().find("Continuation for keystore log2.host.{1} refused"));
    EXPECT_TRUE(lock_free());
}

TEST_F(CksLog, SizeLimitedSearchIsAFailure)
{
    ASSERT_EQ(0, write(recs(3, 1, 5)));
    ASSERT_EQ(0, ds389_ldif(*ds, "dn: " + ds389_host_dn("hostB") +
                                     "\nchangetype: modify\nreplace: nsSizeLimit\n"
                                     "nsSizeLimit: 3\n"));
    as_host("B");
    std::vector<fw_rec> got;
    std::vector<uint32_t> fl;
    int rc = read(0, false, &got, &fl);
    // A rotation whose listing of the current log stops short fails with
    // the directory's code, and the write's records are not stored.
    mconf.auditloglimit = 5;
    fake_fw_reset();
    int wrc = write(recs(3, 6, 1));
    EXPECT_EQ(ds389_ldif(*ds, "dn: " + ds389_host_dn("hostB") +
                                  "\nchangetype: modify\nreplace: nsSizeLimit\n"
                                  "nsSizeLimit: -1\n"),
              0);
    EXPECT_EQ(LDAP_SIZELIMIT_EXCEEDED, rc);
    EXPECT_EQ(LDAP_SIZELIMIT_EXCEEDED, wrc);
    EXPECT_EQ(0u, fake_fw_count());
    EXPECT_EQ(5u, entries(CKS_LOGCUR_RDN));
    EXPECT_TRUE(lock_free());
}

// A directory that does not show numSubordinates (here: not to B) is
// counted with a one-level search.
TEST_F(CksLog, LockWhoseReadBackFailsIsNotLeftHeld)
{
    // B may replace the lock value but gets no entry back from any search:
    // the read-back fails after B's value went in.
    ASSERT_EQ(0, ds389_ldif(*ds, "dn: " + ds389_host_dn("hostB") +
                                     "\nchangetype: modify\nreplace: nsSizeLimit\n"
                                     "nsSizeLimit: 0\n"));
    as_host("B");
    int rc = write(recs(4, 1, 2));
    EXPECT_EQ(ds389_ldif(*ds, "dn: " + ds389_host_dn("hostB") +
                                  "\nchangetype: modify\nreplace: nsSizeLimit\n"
                                  "nsSizeLimit: -1\n"),
              0);
    EXPECT_NE(0, rc);
    EXPECT_EQ(0u, fake_fw_count());
    EXPECT_TRUE(lock_free());
    // The other hosts are not locked out.
    as_host("A");
    EXPECT_EQ(0, write(recs(4, 3, 2)));
}

TEST_F(CksLog, CountWithoutNumSubordinates)
{
    ASSERT_EQ(0, write(recs(6, 1, 3)));
    ASSERT_EQ(0, ds389_ldif(*ds, "dn: ou=" + std::string(kKs) + "," DS389_KEYSTORES +
                                     "\nchangetype: modify\nadd: aci\naci: (targetattr = "
                                     "\"numSubordinates\")(version 3.0;acl \"no count\";deny "
                                     "(all)(userdn = \"ldap:///" + ds389_host_dn("hostB") +
                                     "\");)\n"));
    as_host("B");
    LDAP *ld = nullptr;
    ASSERT_EQ(0, connect_bind_ldap(&ld));
    EXPECT_EQ(3, get_log_count(ld, kKs, CKS_LOGCUR_RDN));
    EXPECT_EQ(0, get_log_count(ld, kKs, CKS_LOGOLD_RDN));
    cks_unbind(ld);
}

// Host C, a third bind DN, holds the lock: readers and writers on A and B
// wait, and go on once it is released; a lock never released gives ETIME.
TEST_F(CksLog, ThirdHolderMakesWritersAndReadersWait)
{
    cks_lock_wait_ms = 20;
    ASSERT_EQ(0, write(recs(4, 1, 2)));
    LDAP *c = bind_as(*ds, ds389_host_dn("hostC"), "secretC");
    ASSERT_NE(nullptr, c);
    ASSERT_EQ(0, set_aci(c, lock_value("hostC"))) << log();

    // B cannot see the log while C holds it: never an empty push.
    as_host("B");
    std::vector<fw_rec> got;
    std::vector<uint32_t> fl;
    EXPECT_EQ(ETIME, read(0, false, &got, &fl));
    EXPECT_EQ(0u, fake_fw_count());
    EXPECT_EQ(ETIME, write(recs(4, 3, 1)));
    EXPECT_NE(std::string::npos, log().find("Log lock timeout exceeded for keystore log.host.{1}"));

    // Released while A waits: A proceeds, after the release.
    as_host("A");
    std::atomic<bool> released{false};
    std::thread t([&] {
        usleep(300 * 1000);
        released = true;
        EXPECT_EQ(0, set_aci(c, ""));
    });
    fake_fw_reset();
    fake_fw_set_hook([&](size_t, const fw_bytes &) { EXPECT_TRUE(released.load()); });
    EXPECT_EQ(0, write(recs(4, 3, 2)));
    t.join();
    fake_fw_set_hook(nullptr);
    EXPECT_EQ(range(1, 4), seqs(0));

    // A reader waits the same way.
    ASSERT_EQ(0, set_aci(c, lock_value("hostC")));
    as_host("B");
    std::thread t2([&] {
        usleep(300 * 1000);
        EXPECT_EQ(0, set_aci(c, ""));
    });
    EXPECT_EQ(range(1, 4), seqs(0));
    t2.join();
    ldap_unbind_ext_s(c, nullptr, nullptr);
}

// A release that fails is tried again on a connection of its own; a lock
// that stays with someone else is logged with its holder.
TEST_F(CksLog, FailedReleaseIsRetriedAndTheHolderLogged)
{
    LDAP *ld = nullptr;
    ASSERT_EQ(0, connect_bind_ldap(&ld));
    ASSERT_EQ(0, cks_lock_log(ld, kKs, 0));
    EXPECT_EQ(1, cks_lock_held(ld, kKs));
    EXPECT_FALSE(lock_free());
    // The daemon ignores SIGPIPE; so must this process for a dead socket.
    signal(SIGPIPE, SIG_IGN);
    int fd = -1;
    ASSERT_EQ(LDAP_OPT_SUCCESS, ldap_get_option(ld, LDAP_OPT_DESC, &fd));
    shutdown(fd, SHUT_RDWR);
    EXPECT_EQ(0, cks_lock_log(ld, kKs, 1));
    EXPECT_TRUE(lock_free());
    EXPECT_NE(std::string::npos, log().find("released on a new connection"));
    cks_unbind(ld);

    ASSERT_EQ(0, connect_bind_ldap(&ld));
    ASSERT_EQ(0, cks_lock_log(ld, kKs, 0));
    LDAP *root = ds389_root(*ds);
    ASSERT_EQ(0, set_aci(root, lock_value("hostC")));
    EXPECT_EQ(0, cks_lock_held(ld, kKs));
    EXPECT_EQ(LDAP_INSUFFICIENT_ACCESS, cks_lock_log(ld, kKs, 1));
    EXPECT_NE(std::string::npos, log().find("stays held by another agent"));
    EXPECT_EQ(0, set_aci(root, ""));
    ldap_unbind_ext_s(root, nullptr, nullptr);
    cks_unbind(ld);
}

// The server goes away after the first batch of a two-batch write: the
// second fails with the directory's code, never status 0; the directory
// holds exactly the first batch, and the next write takes the lock again.
TEST_F(CksLog, ServerGoneMidWriteIsAFailure)
{
    fw_bytes next = fw_make_obj_msg(DB_LOG_WRITE, kKs, 0, std::string(20, '\0'), recs(5, 3, 2),
                                    false, true);
    fake_fw_queue_msg(next);
    fake_fw_set_hook([&](size_t i, const fw_bytes &) {
        if (i == 0)
            ds389_stop(ds);
    });
    int rc = write(recs(5, 1, 2), DBM_FLAG_MORE);
    fake_fw_set_hook(nullptr);
    EXPECT_NE(0, rc);
    EXPECT_NE(ECANCELED, rc);
    ASSERT_EQ(1u, fake_fw_count());
    ASSERT_EQ(0, ds389_start(ds));
    EXPECT_EQ(2u, entries(CKS_LOGCUR_RDN));
    EXPECT_NE(std::string::npos,
              log().find("stays held by " + ds389_host_dn("hostA") + " (no connection"));
    fake_fw_reset();
    ASSERT_EQ(0, write(recs(5, 5, 1)));
    EXPECT_EQ((std::vector<uint32_t>{1, 2, 5}), seqs(0));
    EXPECT_TRUE(lock_free());
}

// Two hosts (processes of their own) at once.  Lock rounds: each takes the
// lock, marks itself inside, looks for the other, leaves and releases; the
// double-holder rate is reported.  Write rounds: both write batches with
// one rotation among them; the two logs hold exactly the acknowledged
// records.
TEST_F(CksLog, TwoHostsContend)
{
    cks_lock_wait_ms = 5;
    const int kLockRounds = 150, kBatches = 15;
    struct shared {
        std::atomic<int> inside[2];
        std::atomic<int> rounds[2], doubles[2], failures[2], refused[2];
        std::atomic<int> go;
        std::atomic<bool> acked[2][kBatches];
    };
    auto *sh = static_cast<shared *>(mmap(nullptr, sizeof(shared), PROT_READ | PROT_WRITE,
                                          MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(MAP_FAILED, static_cast<void *>(sh));
    memset(static_cast<void *>(sh), 0, sizeof(*sh));
    mconf.auditloglimit = 40;
    pid_t pids[2];
    for (int h = 0; h < 2; ++h) {
        pids[h] = fork();
        ASSERT_GE(pids[h], 0);
        if (pids[h] != 0)
            continue;
        as_host(h == 0 ? "A" : "B");
        sh->go.fetch_add(1);
        while (sh->go.load() < 2)
            usleep(100);
        for (int i = 0; i < kLockRounds; ++i) {
            LDAP *ld = nullptr;
            if (connect_bind_ldap(&ld) != 0 || cks_lock_log(ld, kKs, 0) != 0) {
                sh->failures[h]++;
                cks_unbind(ld);
                continue;
            }
            sh->inside[h] = 1;
            if (sh->inside[1 - h].load() != 0)
                sh->doubles[h]++;
            usleep(2000);
            sh->inside[h] = 0;
            cks_lock_log(ld, kKs, 1);
            cks_unbind(ld);
            sh->rounds[h]++;
        }
        for (int b = 0; b < kBatches; ++b) {
            fake_fw_reset();
            sh->acked[h][b] = write(recs(uint8_t(h + 1), uint32_t(b * 2), 2)) == 0 &&
                              fake_fw_count() == 1 && fw_header(fake_fw_sent(0)).status == 0;
            sh->refused[h] += sh->acked[h][b] ? 0 : 1;
        }
        _exit(0);
    }
    for (pid_t p : pids) {
        int st = 0;
        ASSERT_EQ(p, waitpid(p, &st, 0));
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    int rounds = sh->rounds[0] + sh->rounds[1], doubles = sh->doubles[0] + sh->doubles[1];
    printf("lock rounds held %d, with two holders %d (%.2f %%), given up %d; "
           "write batches refused %d of %d\n",
           rounds, doubles, rounds != 0 ? 100.0 * doubles / rounds : 0.0,
           sh->failures[0] + sh->failures[1], sh->refused[0] + sh->refused[1], 2 * kBatches);
    // A round whose host waited past its attempts is no fault (the other
    // may re-take the lock before a waiter's next try); two holders are.
    EXPECT_GT(sh->rounds[0].load(), 0);
    EXPECT_GT(sh->rounds[1].load(), 0);
    EXPECT_EQ(0, doubles);

    // A record is (tag, number): data byte 16 and bytes 0-3.
    std::multiset<uint32_t> want, have;
    for (int h = 0; h < 2; ++h)
        for (int b = 0; b < kBatches; ++b)
            for (uint32_t i = 0; sh->acked[h][b] && i < 2; ++i)
                want.insert(uint32_t(h + 1) << 16 | (b * 2 + i));
    munmap(sh, sizeof(*sh));
    for (bool old_log : {false, true}) {
        std::vector<fw_rec> got;
        std::vector<uint32_t> fl;
        ASSERT_EQ(0, read(0, old_log, &got, &fl));
        for (const fw_rec &r : got)
            have.insert(uint32_t(uint8_t(r.data[16])) << 16 | seq_of(r.data));
    }
    EXPECT_GT(entries(CKS_LOGOLD_RDN), 0u);
    EXPECT_EQ(want, have);
    EXPECT_TRUE(lock_free());
}

}  // namespace
