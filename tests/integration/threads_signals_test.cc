// Signals of the production kyrkiod: SIGHUP reloads (every thread cancelled,
// joined and started again from the keystores found now), SIGINT while a
// SIGHUP is pending is not recorded, a reload whose log file cannot be
// opened stops the daemon cleanly, SIGTERM keeps its default action.
#include <sys/prctl.h>
#include <sys/wait.h>

#include <fstream>

#include "threads_daemon_fixture.h"

namespace {

using namespace kyrit;

TEST_F(DaemonTest, ReloadRestartsThreadsOfKeystoresFoundNow)
{
    add_ks("A");
    add_ks("B");
    start();
    ASSERT_EQ(0, hello("A"));
    ASSERT_EQ(0, hello("B"));
    ASSERT_EQ(0, hello(""));
    ASSERT_EQ(0, kyrsim_wait_standby(sim, "B", 20000));

    // B's configuration file vanishes, E appears.
    ASSERT_EQ(0, unlink((ksdir + "/B.conf").c_str()));
    add_ks("E");
    ASSERT_EQ(0, kyrsim_signal_child(&d, SIGHUP));
    ASSERT_EQ(0, hello("A"));
    ASSERT_EQ(0, hello("E"));
    ASSERT_EQ(0, hello(""));
    ASSERT_EQ(0, kyrsim_wait_standby(sim, "A", 20000));

    std::string text = log();
    size_t caught = text.find("Caught Hangup signal");
    ASSERT_NE(std::string::npos, caught);
    std::string after = text.substr(caught);
    // Three threads cancelled and joined, then the configuration re-read.
    EXPECT_EQ(3u, count_of(after, " joined"));
    EXPECT_LT(after.find(" joined"), after.find("Using config file"));
    EXPECT_EQ(std::string::npos, after.find("local keystore B"));
    EXPECT_EQ(1, kyrsim_hello_count(sim, "B"));
    EXPECT_EQ(2, kyrsim_hello_count(sim, "A"));
    EXPECT_TRUE(wait_until([&] { return proc_entries(d.pid, "task") == 4; }));
    EXPECT_TRUE(wait_until([&] { return kyrsim_open_files(sim) == 3; }));
    EXPECT_EQ(0, stop());
    EXPECT_EQ(0, kyrsim_wait_no_files(sim, 10000));
    expect_sanitizers_quiet();
}

TEST_F(DaemonTest, InterruptWhileHangupPendingIsNotRecorded)
{
    add_ks("A");
    start();
    ASSERT_EQ(0, hello("A"));
    ASSERT_EQ(0, hello(""));
    // Both arrive before the reload (which waits a second) is over.
    ASSERT_EQ(0, kyrsim_signal_child(&d, SIGHUP));
    ASSERT_EQ(0, kyrsim_signal_child(&d, SIGINT));
    ASSERT_EQ(0, hello("A"));
    ASSERT_EQ(0, hello(""));
    ASSERT_EQ(0, kyrsim_wait_standby(sim, "A", 20000));
    EXPECT_FALSE(d.exited);
    EXPECT_EQ(0, kill(d.pid, 0));
    EXPECT_TRUE(wait_until([&] { return proc_entries(d.pid, "task") == 3; }));
    // Now a SIGINT of its own ends the daemon.
    EXPECT_EQ(0, stop());
    EXPECT_EQ(0, kyrsim_wait_no_files(sim, 10000));
    expect_sanitizers_quiet();
}

TEST_F(DaemonTest, TerminateKeepsDefaultAction)
{
    add_ks("A");
    start();
    ASSERT_EQ(0, hello("A"));
    ASSERT_EQ(0, kyrsim_signal_child(&d, SIGTERM));
    ASSERT_EQ(0, kyrsim_wait_child(&d, 20000));
    running = false;
    EXPECT_TRUE(WIFSIGNALED(d.status));
    EXPECT_EQ(SIGTERM, WTERMSIG(d.status));
    EXPECT_EQ(0, kyrsim_wait_no_files(sim, 10000));
}

// The daemon in the background (no -F) with a log file, keystore A served;
// its own process becomes our child when its parent exits.
class BackgroundDaemonTest : public DaemonTest {
protected:
    std::string logpath;
    pid_t pid = 0;

    void start_background()
    {
        ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1));
        add_ks("A");
        logpath = dir + "/daemon.log";
        write_conf("logfile " + logpath + "\ndebuglevel debug\n");
        kyrsim_spawn_opts o;
        o.argv = {kyrkiod_path(), "-s", "-f", conf};
        o.env = {"KYRKIOD_LOCKFILE=" + lock};
        ASSERT_EQ(0, kyrsim_spawn(sim, o, &d));
        ASSERT_EQ(0, kyrsim_wait_child(&d, 20000));
        ASSERT_EQ(0, kyrsim_exit_code(d)) << kyrsim_child_stderr(d);
        ASSERT_EQ(0, hello("A"));
        ASSERT_EQ(0, hello(""));
        ASSERT_TRUE(wait_until([&] {
            std::ifstream in(lock);
            return static_cast<bool>(in >> pid) && pid > 0;
        }));
    }

    // Waits for the background daemon to end; it must exit 0 and leave no
    // device open.
    void expect_clean_exit()
    {
        int status = 0;
        ASSERT_TRUE(wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }));
        pid = 0;
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(0, WEXITSTATUS(status));
        EXPECT_EQ(0, kyrsim_wait_no_files(sim, 10000));
    }

    void TearDown() override
    {
        if (pid > 0 && kill(pid, SIGKILL) == 0)  // a test that failed half-way
            waitpid(pid, nullptr, 0);
        prctl(PR_SET_CHILD_SUBREAPER, 0);
        DaemonTest::TearDown();
    }
};

// In the background the log file is opened at every reload.
TEST_F(BackgroundDaemonTest, ReloadWithUnopenableLogFileStopsCleanly)
{
    start_background();
    write_conf("logfile " + dir + "/missing/daemon.log\n");
    ASSERT_EQ(0, kill(pid, SIGHUP));
    expect_clean_exit();
    std::string text = kyrsim_read_file(logpath);
    EXPECT_NE(std::string::npos, text.find("Caught Hangup signal")) << text;
    EXPECT_EQ(2u, count_of(text, " joined")) << text;
    EXPECT_EQ(std::string::npos, text.find("AddressSanitizer")) << text;
}

// A rotation moves the log file away and sends SIGHUP: the daemon writes
// to a new file of the configured name from the reload on, and nothing more
// to the moved one.
TEST_F(BackgroundDaemonTest, HangupReopensLogFileMovedAway)
{
    start_background();
    std::string rotated = logpath + ".1";
    ASSERT_EQ(0, rename(logpath.c_str(), rotated.c_str()));
    ASSERT_EQ(0, kill(pid, SIGHUP));
    ASSERT_EQ(0, hello("A"));
    ASSERT_EQ(0, hello(""));
    ASSERT_EQ(0, kyrsim_wait_standby(sim, "A", 20000));

    std::string old_text = kyrsim_read_file(rotated);
    std::string new_text = kyrsim_read_file(logpath);
    size_t caught = old_text.find("Caught Hangup signal");
    ASSERT_NE(std::string::npos, caught) << old_text;
    EXPECT_EQ(1u, count_of(old_text, "Using log file")) << old_text;
    EXPECT_EQ(std::string::npos, old_text.find("Spawning thread", caught)) << old_text;
    EXPECT_NE(std::string::npos, new_text.find("[info] Using log file " + logpath)) << new_text;
    EXPECT_EQ(std::string::npos, new_text.find("Starting keystore I/O handler")) << new_text;
    EXPECT_NE(std::string::npos, new_text.find("Spawning thread for local keystore A")) << new_text;

    // The daemon still serves, and stops cleanly.
    ASSERT_EQ(0, kill(pid, SIGINT));
    expect_clean_exit();
}

}  // namespace
