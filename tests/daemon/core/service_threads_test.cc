// Service threads inside the test program against an in-process card:
// start-up of one thread per keystore plus the control thread, a keystore
// never getting a second live thread, DB_INIT on the control thread and on
// a keystore thread, cancellation and joining, and the thread list under a
// renaming handler and a late self-registration.  (Hello outcomes and
// unsupported or unknown upcalls run through the production daemon in the
// integration tests.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <set>
#include <thread>

#include "core_fixture.h"
#include "service_inproc_fw.h"

namespace {

using kyrtest::count_of;

bool wait_until(const std::function<bool()> &pred, int timeout_ms = 10000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

pthread_once_t key_once = PTHREAD_ONCE_INIT;
void make_key() { pthread_key_create(&ptconfkey, free_kstinfo); }

class ServiceThreads : public kyrtest::CoreTest {
protected:
    int tasks0 = 0;
    int fds0 = 0;

    void SetUp() override
    {
        CoreTest::SetUp();
        pthread_once(&key_once, make_key);
        mconf.keystoredir = strdup(dir_.c_str());
        inproc::install();
        inproc::clear_records();
        tasks0 = inproc::proc_count("task");
        fds0 = inproc::proc_count("fd");
    }
    void TearDown() override
    {
        tlist_cancel_all();
        inproc::close_channels();
        CoreTest::TearDown();
    }
    void add_local(const std::string &name)
    {
        kyrtest::write_file(dir_ + "/" + name + ".conf", "cfg");
        mkdir((dir_ + "/" + name).c_str(), 0700);
    }
    int spawn(const char *name, dbm_kstype_t type = DBM_KS_LOCAL)
    {
        kstinfo *ks = create_kstinfo(name, type);
        if (ks == nullptr)
            return ENOMEM;
        int rc = spawn_ks_thread(ks);
        if (rc != 0)
            free_kstinfo(ks);
        return rc;
    }
    bool log_has(const std::string &text, int timeout_ms = 10000)
    {
        return wait_until([&] { return log().find(text) != std::string::npos; }, timeout_ms);
    }
};

TEST_F(ServiceThreads, OneThreadPerConfFilePlusControlThread)
{
    add_local("alpha");
    add_local("beta");
    kyrtest::write_file(dir_ + "/notes.txt", "not a keystore");
    ASSERT_EQ(0, make_keystore_threads());
    ASSERT_TRUE(inproc::wait_hellos(3, 10000));

    char host[256] = {};
    ASSERT_EQ(0, gethostname(host, sizeof(host)));
    std::multiset<std::string> names;
    for (const auto &h : inproc::hellos()) {
        names.insert(h.ksname);
        EXPECT_EQ(std::string(host), h.domain);
    }
    EXPECT_EQ((std::multiset<std::string>{"", "alpha", "beta"}), names);
    EXPECT_EQ(tasks0 + 3, inproc::proc_count("task"));
    EXPECT_TRUE(tlist_is_served("alpha", DBM_KS_LOCAL));
    EXPECT_FALSE(tlist_is_served("alpha", DBM_KS_LDAP));
    EXPECT_FALSE(tlist_is_served("notes.txt", DBM_KS_LOCAL));

    // Cancelled in their wait for an upcall, joined, descriptors closed.
    ASSERT_EQ(0, tlist_cancel_all());
    EXPECT_EQ(tasks0, inproc::proc_count("task"));
    EXPECT_FALSE(tlist_is_served("alpha", DBM_KS_LOCAL));
    inproc::close_channels();
    EXPECT_EQ(fds0, inproc::proc_count("fd"));
    EXPECT_EQ(3u, count_of(log(), "joined"));
}

TEST_F(ServiceThreads, SecondSpawnForServedKeystoreStartsNothing)
{
    add_local("dup");
    ASSERT_EQ(0, spawn("dup"));
    ASSERT_TRUE(inproc::wait_hellos(1, 10000));
    int tasks = inproc::proc_count("task");

    // The refusal consumes the record and reports the keystore as served.
    ASSERT_EQ(0, spawn("dup"));
    EXPECT_EQ(tasks, inproc::proc_count("task"));
    EXPECT_NE(std::string::npos, log().find("Keystore dup is already served"));

    // Once the thread has ended by itself a new one may start.
    ASSERT_EQ(0, inproc::post("dup", inproc::make_upcall(DB_GOODBYE, "dup")));
    ASSERT_TRUE(log_has("Keystore thread closing"));
    ASSERT_TRUE(wait_until([] { return !tlist_is_served("dup", DBM_KS_LOCAL); }));
    EXPECT_TRUE(inproc::sent().empty()) << "DB_GOODBYE must not be answered";
    tlist_reap();
    EXPECT_EQ(tasks - 1, inproc::proc_count("task"));
    ASSERT_EQ(0, spawn("dup"));
    ASSERT_TRUE(inproc::wait_hellos(2, 10000));
    EXPECT_EQ(2u, inproc::hello_count("dup"));

    // Another type under the same name is another keystore.
    ASSERT_EQ(0, spawn("dup", DBM_KS_LDAP));
    ASSERT_TRUE(inproc::wait_hellos(3, 10000));
    EXPECT_EQ(tasks + 1, inproc::proc_count("task"));
}

TEST_F(ServiceThreads, DbInitCreatesOnceAndNeverDoublesTheThread)
{
    ASSERT_EQ(0, make_keystore_threads());  // control thread only
    ASSERT_TRUE(inproc::wait_hellos(1, 10000));

    ASSERT_EQ(0, inproc::post("", inproc::make_upcall(DB_INIT, "fresh.ks.{1}", 0x02000005)));
    ASSERT_TRUE(inproc::wait_hellos(2, 10000));
    EXPECT_EQ(1u, inproc::hello_count("fresh.ks.{1}"));
    EXPECT_TRUE(tlist_is_served("fresh.ks.{1}", DBM_KS_LOCAL));
    size_t answered = inproc::sent().size();

    // Again, while the keystore has its thread: the creation fails and is
    // answered with its status; no second thread.
    int tasks = inproc::proc_count("task");
    ASSERT_EQ(0, inproc::post("", inproc::make_upcall(DB_INIT, "fresh.ks.{1}", 0x02000006)));
    ASSERT_TRUE(inproc::wait_sent(answered + 1, 10000));
    ASSERT_TRUE(log_has("Keystore fresh.ks.{1} is already served"));
    auto msgs = inproc::sent();
    const auto &r = msgs.back();
    EXPECT_EQ(uint32_t(DB_RESPONSE), r.type());
    EXPECT_NE(0, r.status());
    EXPECT_EQ(0x02000006u, r.handle());
    EXPECT_EQ(DBM_PARAM_SIZE, r.param_size());
    EXPECT_EQ(1u, inproc::hello_count("fresh.ks.{1}"));
    EXPECT_EQ(tasks, inproc::proc_count("task"));

    // On a keystore thread DB_INIT is refused with 95.
    ASSERT_EQ(0, inproc::post("fresh.ks.{1}", inproc::make_upcall(DB_INIT, "other", 0x02000007)));
    ASSERT_TRUE(inproc::wait_sent(answered + 2, 10000));
    msgs = inproc::sent();
    EXPECT_EQ(uint32_t(DB_RESPONSE), msgs.back().type());
    EXPECT_EQ(EOPNOTSUPP, msgs.back().status());
    EXPECT_EQ(0x02000007u, msgs.back().handle());
    EXPECT_FALSE(tlist_is_served("other", DBM_KS_LOCAL));
}

TEST_F(ServiceThreads, DbInitWithUnusableNameStartsNoThread)
{
    ASSERT_EQ(0, make_keystore_threads());
    ASSERT_TRUE(inproc::wait_hellos(1, 10000));
    int tasks = inproc::proc_count("task");
    // An empty name would make a second control thread.
    ASSERT_EQ(0, inproc::post("", inproc::make_upcall(DB_INIT, "", 0x02000001)));
    ASSERT_TRUE(log_has("DB_INIT refused: no keystore created"));
    ASSERT_EQ(0, inproc::post("", inproc::make_upcall(DB_INIT, "..", 0x02000002)));
    ASSERT_TRUE(wait_until([&] { return count_of(log(), "DB_INIT refused: no keystore created") == 2; }));
    EXPECT_EQ(tasks, inproc::proc_count("task"));
    EXPECT_EQ(1u, inproc::hellos().size());
}

// A handler that renames its keystore takes tllock; cancelling and joining
// its thread must not hold that lock meanwhile.
struct renamer {
    std::atomic<bool> go{false};
    std::atomic<int> rc{-1};
};

void *renaming_thread(void *arg)
{
    renamer *r = static_cast<renamer *>(arg);
    kstinfo ks = {const_cast<char *>("before"), DBM_KS_LOCAL, -1, 0};
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    tlist_add(pthread_self(), &ks);
    while (!r->go)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    r->rc = tlist_rename("before", "after");
    // Returns with the cancellation still pending; the join works alike.
    return nullptr;
}

TEST_F(ServiceThreads, CancelAllDoesNotDeadlockWithRenamingHandler)
{
    renamer r;
    pthread_t t;
    ASSERT_EQ(0, pthread_create(&t, nullptr, renaming_thread, &r));
    ASSERT_TRUE(wait_until([] { return tlist_is_served("before", DBM_KS_LOCAL); }));
    std::atomic<bool> done{false};
    std::thread main_side([&] {
        tlist_cancel_all();
        done = true;
    });
    // Give the canceller time to reach its join, then let the handler on.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(tlist_is_served("before", DBM_KS_LOCAL)) << "still serving while cancelled";
    r.go = true;
    bool finished = wait_until([&] { return done.load(); }, 20000);
    EXPECT_TRUE(finished) << "tlist_cancel_all is stuck";
    if (!finished) {
        // Unblock to avoid hanging the test program.
        main_side.detach();
        return;
    }
    main_side.join();
    EXPECT_EQ(0, r.rc.load());
    EXPECT_FALSE(tlist_is_served("after", DBM_KS_LOCAL));
    EXPECT_EQ(tasks0, inproc::proc_count("task"));
}

// A thread entered by its creator whose own registration comes only after
// a reload has begun cancelling it.
struct late_starter {
    std::atomic<int> stage{0};   // 1: let it register, 2: registered, 3: let it end
};

void *late_thread(void *arg)
{
    late_starter *l = static_cast<late_starter *>(arg);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    while (l->stage < 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    kstinfo ks = {const_cast<char *>("late"), DBM_KS_LOCAL, -1, 0};
    tlist_add(pthread_self(), &ks);
    l->stage = 2;
    while (l->stage < 3)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return nullptr;
}

TEST_F(ServiceThreads, LateRegistrationDuringCancelAddsNoSecondNode)
{
    late_starter l;
    pthread_t t;
    ASSERT_EQ(0, pthread_create(&t, nullptr, late_thread, &l));
    kstinfo ks = {const_cast<char *>("late"), DBM_KS_LOCAL, -1, 0};
    ASSERT_EQ(0, tlist_add(t, &ks));  // as spawn_ks_thread enters it
    std::atomic<bool> done{false};
    std::thread canceller([&] {
        tlist_cancel_all();
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    l.stage = 1;
    ASSERT_TRUE(wait_until([&] { return l.stage.load() == 2; }));
    // Only the node being cancelled carries the name: renaming it leaves
    // no other node under the old name.
    EXPECT_EQ(0, tlist_rename("late", "renamed"));
    EXPECT_FALSE(tlist_is_served("late", DBM_KS_LOCAL));
    EXPECT_TRUE(tlist_is_served("renamed", DBM_KS_LOCAL));
    l.stage = 3;
    ASSERT_TRUE(wait_until([&] { return done.load(); }, 20000));
    canceller.join();
    EXPECT_FALSE(tlist_is_served("renamed", DBM_KS_LOCAL));
    EXPECT_FALSE(tlist_is_served("late", DBM_KS_LOCAL));
    EXPECT_EQ(tasks0, inproc::proc_count("task"));
}

void *ending_thread(void *)
{
    kstinfo ks = {const_cast<char *>("short"), DBM_KS_LOCAL, -1, 0};
    tlist_add(pthread_self(), &ks);
    tlist_mark_self_dead();
    return nullptr;
}

TEST_F(ServiceThreads, ReapJoinsOnlyDeadThreads)
{
    add_local("stays");
    ASSERT_EQ(0, spawn("stays"));
    ASSERT_TRUE(inproc::wait_hellos(1, 10000));
    pthread_t t;
    ASSERT_EQ(0, pthread_create(&t, nullptr, ending_thread, nullptr));
    ASSERT_TRUE(wait_until([&] { return count_of(log(), "joined") == 0 &&
                                        !tlist_is_served("short", DBM_KS_LOCAL) &&
                                        inproc::proc_count("task") == tasks0 + 1; }));
    tlist_reap();
    EXPECT_EQ(1u, count_of(log(), "joined"));
    EXPECT_TRUE(tlist_is_served("stays", DBM_KS_LOCAL));
    tlist_reap();
    EXPECT_EQ(1u, count_of(log(), "joined"));
    EXPECT_EQ(ENOENT, tlist_rename("short", "x"));
    EXPECT_EQ(0, tlist_rename("stays", "moved"));
    EXPECT_TRUE(tlist_is_served("moved", DBM_KS_LOCAL));
    EXPECT_FALSE(tlist_is_served("stays", DBM_KS_LOCAL));
}

}  // namespace
