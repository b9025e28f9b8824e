// Reliability under load: 200 keystores, the firmware posting upcalls to
// all of them while ten reloads run; afterwards every keystore is served
// again and the daemon holds no more threads or descriptors than before.
#include <atomic>

#include "threads_daemon_fixture.h"

namespace {

using namespace kyrit;

constexpr int kKeystores = 200;
constexpr int kReloads = 10;

std::string ks_name(int i) { return "load" + std::to_string(i) + ".host.{1}"; }

TEST_F(DaemonTest, ReloadsUnderUpcallLoadLeakNothing)
{
    for (int i = 0; i < kKeystores; i++)
        add_ks(ks_name(i));
    start();
    for (int i = 0; i < kKeystores; i++)
        ASSERT_EQ(0, hello(ks_name(i), nullptr, 60000)) << ks_name(i);
    ASSERT_EQ(0, hello("", nullptr, 60000));
    for (int i = 0; i < kKeystores; i++)
        ASSERT_EQ(0, kyrsim_wait_standby(sim, ks_name(i), 60000));
    ASSERT_EQ(0, kyrsim_wait_standby(sim, "", 60000));
    const int tasks = proc_entries(d.pid, "task");
    const int fds = proc_entries(d.pid, "fd");
    const std::string fds_before = fd_kinds(d.pid);
    EXPECT_EQ(kKeystores + 2, tasks);

    // The firmware keeps every keystore busy: unsupported upcalls and
    // keystore creations refused on keystore threads (answered with 95).
    std::atomic<bool> stop_load{false};
    std::atomic<long> posted{0};
    std::thread load([&] {
        uint32_t seq = 1;
        while (!stop_load) {
            for (int i = 0; i < kKeystores && !stop_load; i++) {
                kyrsim_msg m = kyrsim_msg_make(seq % 2 ? DB_STATUS : DB_INIT, ks_name(i));
                m.handle = seq++ & 0xffffff;  // card 0 answers
                if (kyrsim_post(sim, ks_name(i), m) == 0)
                    posted++;
            }
        }
    });
    // Stops the load on every way out of this test, failures included.
    struct load_stopper {
        std::atomic<bool> &flag;
        std::thread &t;
        ~load_stopper()
        {
            flag = true;
            if (t.joinable())
                t.join();
        }
    } stopper{stop_load, load};
    for (int r = 0; r < kReloads; r++) {
        ASSERT_EQ(0, kyrsim_signal_child(&d, SIGHUP));
        // The control thread starts last in a reload.
        ASSERT_EQ(0, hello("", nullptr, 60000)) << "reload " << r;
        // A signal that arrives while a reload runs is not recorded: wait
        // for the main thread to be back in its supervision poll.
        ASSERT_TRUE(wait_until([&] { return main_thread_polls(d.pid); }, 60000)) << "reload " << r;
    }
    stop_load = true;
    load.join();
    EXPECT_GT(posted.load(), 0);

    // Every keystore said hello once per start and is served again.
    for (int i = 0; i < kKeystores; i++) {
        ASSERT_TRUE(wait_until([&] { return kyrsim_hello_count(sim, ks_name(i)) == kReloads + 1; },
                               60000))
            << ks_name(i) << " hellos " << kyrsim_hello_count(sim, ks_name(i));
        ASSERT_EQ(0, kyrsim_wait_standby(sim, ks_name(i), 60000));
    }
    ASSERT_EQ(0, kyrsim_wait_standby(sim, "", 60000));
    EXPECT_TRUE(wait_until([&] { return proc_entries(d.pid, "task") == tasks; }, 30000))
        << proc_entries(d.pid, "task") << " threads";
    EXPECT_TRUE(wait_until([&] { return proc_entries(d.pid, "fd") == fds; }, 30000))
        << proc_entries(d.pid, "fd") << " descriptors (" << fd_kinds(d.pid) << "), " << fds
        << " before (" << fds_before << ")";
    // The simulator sees the hang-ups of the old device files on its own time.
    EXPECT_TRUE(wait_until([&] { return kyrsim_open_files(sim) == kKeystores + 1; }, 30000))
        << kyrsim_open_files(sim) << " open device files";
    EXPECT_EQ(size_t(kReloads), count_of(log(), "Caught Hangup signal"));

    EXPECT_EQ(0, stop());
    EXPECT_EQ(0, kyrsim_wait_no_files(sim, 20000));
    EXPECT_EQ(size_t(kReloads + 1) * (kKeystores + 1), count_of(log(), " joined"));
    expect_sanitizers_quiet();
}

}  // namespace
