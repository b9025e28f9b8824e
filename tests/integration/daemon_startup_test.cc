// kyrkiod start-up on the simulated card: the background daemon keeps the
// lock file for its whole life and records its pid there, a second start
// names the running daemon, and SIGINT ends it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kyrsim.h"

namespace {

const char *const kDaemon = KYR_BUILD_DIR "/daemon/kyrkiod";

bool eventually(const std::function<bool()> &pred, int timeout_ms = 20000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// True while some process holds the daemon's lock (flock) on the file.
bool lock_held(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

// A process that exists and is not a zombie.
bool alive(pid_t pid)
{
    std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

class DaemonStartupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, kyrsim_start(kyrsim_opts{}, &sim_));
        char tmpl[] = "/tmp/kyr-start-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
        ks_ = dir_ + "/keys";
        lock_ = dir_ + "/lock";
        logfile_ = dir_ + "/kyrkiod.log";
        ASSERT_EQ(0, mkdir(ks_.c_str(), 0700));
        struct passwd *pw = getpwuid(getuid());
        ASSERT_NE(nullptr, pw);
        conf_ = dir_ + "/kyrkiod.conf";
        std::ofstream(conf_) << "user " << pw->pw_name << "\nkeystoredir " << ks_
                             << "\nlogfile " << logfile_ << "\ndebuglevel debug\n";
    }
    void TearDown() override
    {
        // A background daemon is not our child: end it through its pid.
        if (daemon_pid_ > 0 && alive(daemon_pid_))
            kill(daemon_pid_, SIGKILL);
        kyrsim_stop(sim_);
        if (dir_.size() > 16) {
            std::string cmd = "rm -rf '" + dir_ + "'";
            EXPECT_EQ(0, system(cmd.c_str()));
        }
    }

    kyrsim_child spawn(std::vector<std::string> argv)
    {
        kyrsim_spawn_opts o;
        o.argv = std::move(argv);
        o.env = {"KYRKIOD_LOCKFILE=" + lock_};
        kyrsim_child c;
        EXPECT_EQ(0, kyrsim_spawn(sim_, o, &c));
        return c;
    }
    // Runs to the end; returns the exit code (-1 when it did not exit).
    int run(kyrsim_child *c)
    {
        if (kyrsim_wait_child(c, 30000) != 0) {
            kyrsim_kill_child(c);
            return -1;
        }
        return kyrsim_exit_code(*c);
    }
    pid_t recorded_pid()
    {
        std::string text = slurp(lock_);
        return static_cast<pid_t>(atoi(text.c_str()));
    }
    // A foreground start while another daemon runs: must name that daemon.
    void expect_second_start_refused(pid_t holder)
    {
        kyrsim_child second = spawn({kDaemon, "-F", "-s", "-f", conf_});
        int code = run(&second);
        EXPECT_TRUE(code == EAGAIN || code == EACCES) << code;
        std::string err = kyrsim_child_stderr(second);
        EXPECT_NE(std::string::npos,
                  err.find("[warning] kyrkiod pid " + std::to_string(holder) + " already running"))
            << err;
        EXPECT_EQ(std::string::npos, err.find("Starting keystore I/O handler")) << err;
    }

    kyrsim *sim_ = nullptr;
    std::string dir_, ks_, lock_, logfile_, conf_;
    pid_t daemon_pid_ = -1;
};

TEST_F(DaemonStartupTest, BackgroundDaemonKeepsLockForItsLife)
{
    kyrsim_child parent = spawn({kDaemon, "-s", "-f", conf_});
    ASSERT_EQ(0, run(&parent)) << kyrsim_child_stderr(parent);

    // By the time the parent has ended, the daemon's pid is in the lock file.
    daemon_pid_ = recorded_pid();
    ASSERT_GT(daemon_pid_, 0) << "'" << slurp(lock_) << "'";
    EXPECT_NE(daemon_pid_, parent.pid);
    EXPECT_TRUE(alive(daemon_pid_));
    EXPECT_TRUE(lock_held(lock_));
    EXPECT_EQ(daemon_pid_, getsid(daemon_pid_)) << "the daemon leads a session of its own";
    for (int fd = 0; fd <= 2; fd++) {
        char target[256] = {};
        std::string link = "/proc/" + std::to_string(daemon_pid_) + "/fd/" + std::to_string(fd);
        ASSERT_GT(readlink(link.c_str(), target, sizeof(target) - 1), 0);
        EXPECT_STREQ("/dev/null", target) << fd;
    }

    // The control thread reaches the card: the daemon runs as a service.
    EXPECT_EQ(0, kyrsim_wait_hello(sim_, "", 20000));
    std::string log = slurp(logfile_);
    EXPECT_NE(std::string::npos, log.find("[info] Using log file " + logfile_)) << log;

    expect_second_start_refused(daemon_pid_);
    EXPECT_TRUE(alive(daemon_pid_)) << "a refused start leaves the daemon alone";
    EXPECT_EQ(daemon_pid_, recorded_pid());

    ASSERT_EQ(0, kill(daemon_pid_, SIGINT));
    EXPECT_TRUE(eventually([&] { return !alive(daemon_pid_); })) << slurp(logfile_);
    EXPECT_FALSE(lock_held(lock_));
}

TEST_F(DaemonStartupTest, SecondStartNamesForegroundDaemon)
{
    kyrsim_child first = spawn({kDaemon, "-F", "-s", "-f", conf_});
    ASSERT_EQ(0, kyrsim_wait_hello(sim_, "", 20000)) << kyrsim_child_stderr(first);
    EXPECT_EQ(first.pid, recorded_pid());

    expect_second_start_refused(first.pid);

    ASSERT_EQ(0, kyrsim_signal_child(&first, SIGINT));
    EXPECT_EQ(0, run(&first)) << kyrsim_child_stderr(first);
    EXPECT_FALSE(lock_held(lock_));
}

TEST_F(DaemonStartupTest, ClosedStandardStreamsDoNotCostTheLock)
{
    // Started with descriptors 0-2 closed, the lock file must not end up on
    // one of them (the daemon closes 0-2 when it detaches).
    std::string cmd = std::string("exec ") + kDaemon + " -s -f " + conf_ + " 0<&- 1>&- 2>&-";
    kyrsim_child parent = spawn({"/bin/sh", "-c", cmd});
    ASSERT_EQ(0, run(&parent));
    daemon_pid_ = recorded_pid();
    ASSERT_GT(daemon_pid_, 0);
    EXPECT_EQ(0, kyrsim_wait_hello(sim_, "", 20000));
    EXPECT_TRUE(lock_held(lock_));
    expect_second_start_refused(daemon_pid_);
    ASSERT_EQ(0, kill(daemon_pid_, SIGINT));
    EXPECT_TRUE(eventually([&] { return !alive(daemon_pid_); }));
}

// A configuration without end (a pipe that never closes) is read in
// bounded pieces up to a limit: the daemon starts with the lines read,
// within a memory limit, and serves.
TEST_F(DaemonStartupTest, ConfigurationWithoutEndStillStarts)
{
    std::string fifo = dir_ + "/endless.conf";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    std::string head = slurp(conf_);
    std::thread writer([&] {
        // The daemon closing its end ends the writing (EPIPE, not SIGPIPE).
        sigset_t pipe_sig;
        sigemptyset(&pipe_sig);
        sigaddset(&pipe_sig, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_sig, nullptr);
        int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        std::vector<char> zeros(65536, 0);
        bool ok = write(fd, head.data(), head.size()) == ssize_t(head.size());
        // Bounded, so that a daemon that never stops reading cannot keep the
        // test here: 4 GiB is far past any memory limit below.
        for (int i = 0; ok && i < 65536; i++)
            ok = write(fd, zeros.data(), zeros.size()) > 0;
        close(fd);
    });
    std::string cmd = std::string("exec ") + kDaemon + " -F -s -f '" + fifo + "'";
#ifndef __SANITIZE_ADDRESS__
    // (The sanitizer's shadow memory does not fit a small address space.)
    cmd = "ulimit -v 262144 && " + cmd;
#endif
    kyrsim_child c = spawn({"/bin/bash", "-c", cmd});
    EXPECT_EQ(0, kyrsim_wait_hello(sim_, "", 20000)) << kyrsim_child_stderr(c);
    kyrsim_msg m = kyrsim_msg_make(DB_INIT, "late.host.{1}");
    m.kstype = DBM_KS_LOCAL;
    EXPECT_EQ(0, kyrsim_post(sim_, "", m));
    EXPECT_EQ(0, kyrsim_wait_hello(sim_, "late.host.{1}", 20000)) << kyrsim_child_stderr(c);
    EXPECT_NE(std::string::npos,
              kyrsim_child_stderr(c).find("more than 1048576 bytes, the rest is ignored"));
    kyrsim_signal_child(&c, SIGINT);
    EXPECT_EQ(0, run(&c)) << kyrsim_child_stderr(c);
    // A writer still waiting for a reader (the daemon never opened the
    // pipe) is let go.
    int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (rd >= 0)
        close(rd);
    writer.join();
}

TEST_F(DaemonStartupTest, DeviceWithoutAccessStopsStartup)
{
    ASSERT_EQ(0, kyrsim_set_node(sim_, KSP_DEV_QELCTL, true, R_OK));
    kyrsim_child c = spawn({kDaemon, "-F", "-s", "-f", conf_});
    EXPECT_EQ(EACCES, run(&c));
    EXPECT_NE(std::string::npos,
              kyrsim_child_stderr(c).find("[ERROR] Cannot access device /dev/qelctl: Permission denied"))
        << kyrsim_child_stderr(c);
}

}  // namespace
