// The kyrkiod program itself: version and usage texts, exit statuses of the
// start-up steps, and the lock file seen by a second start.
#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core_fixture.h"

namespace {

const char *const kDaemon = KYR_BUILD_DIR "/daemon/kyrkiod";

struct run_result {
    int status;  // exit status, or -1 when not exited normally
    std::string out;
    std::string err;
};

class KyrkiodCliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access(kDaemon, X_OK) != 0)
            GTEST_SKIP() << kDaemon << " is not built";
        dir_ = kyrtest::make_temp_dir();
        lock_ = dir_ + "/lock";
        ks_ = dir_ + "/keydata";
        ASSERT_EQ(mkdir(ks_.c_str(), 0700), 0);
        struct passwd *pw = getpwuid(getuid());
        ASSERT_NE(pw, nullptr);
        user_ = pw->pw_name;
    }
    void TearDown() override { kyrtest::remove_tree(dir_); }

    // Writes a configuration running as the current user on the private
    // keystore directory, plus extra lines; returns its path.
    std::string conf(const std::string &extra = "")
    {
        std::string path = dir_ + "/kyrkiod.conf";
        kyrtest::write_file(path, "user " + user_ + "\nkeystoredir " + ks_ + "\n" + extra);
        return path;
    }

    run_result run(std::vector<std::string> args, const char *argv0 = nullptr)
    {
        std::string outp = dir_ + "/out", errp = dir_ + "/err";
        pid_t pid = fork();
        if (pid == 0) {
            int o = open(outp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int e = open(errp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
                _exit(127);
            setenv("KYRKIOD_LOCKFILE", lock_.c_str(), 1);
            std::vector<char *> argv;
            argv.push_back(const_cast<char *>(argv0 ? argv0 : kDaemon));
            for (auto &a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(kDaemon, argv.data());
            _exit(127);
        }
        run_result r{-1, "", ""};
        int st = 0;
        if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st))
            r.status = WEXITSTATUS(st);
        r.out = kyrtest::read_file(outp);
        r.err = kyrtest::read_file(errp);
        return r;
    }

    static bool device_usable() { return access("/dev/qelctl", R_OK | W_OK) == 0; }

    std::string dir_, lock_, ks_, user_;
};

TEST_F(KyrkiodCliTest, VersionBanner)
{
    run_result r = run({"-V"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.rfind("kyrkiod (Vantor) 1.1\n", 0), 0u) << r.err;
    EXPECT_EQ(kyrtest::count_of(r.err, "\n"), 4u) << "banner plus three notice lines";
    EXPECT_EQ(r.out, "");
}

TEST_F(KyrkiodCliTest, UsageOnBadOption)
{
    const std::string lines =
        " [-FVs] [-f config-file]\n\t-F\tForeground\n\t-V\tPrint out version\n"
        "\t-s\tDo not send messages to the syslog\n\n";
    run_result r = run({"-x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Usage: kyrkiod" + lines), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("-d"), std::string::npos) << "-d is not advertised";

    r = run({"-f"}, "/opt/elsewhere/kyrkiod-test");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Usage: kyrkiod-test" + lines), std::string::npos) << r.err;
}

TEST_F(KyrkiodCliTest, ForegroundStartStopsAtDeviceCheck)
{
    if (device_usable())
        GTEST_SKIP() << "a control device is present";
    run_result r = run({"-F", "-s", "-f", conf()});
    errno = 0;
    access("/dev/qelctl", R_OK | W_OK);
    int err = errno;
    EXPECT_EQ(r.status, err);
    EXPECT_NE(r.err.find(std::string("[ERROR] Cannot access device /dev/qelctl: ") + strerror(err)),
              std::string::npos)
        << r.err;
    // Default level: info lines stay out, the lock was taken and released.
    EXPECT_EQ(r.err.find("[info]"), std::string::npos);
    EXPECT_TRUE(access(lock_.c_str(), F_OK) == 0);
}

TEST_F(KyrkiodCliTest, DebugOptionRaisesLevel)
{
    if (device_usable())
        GTEST_SKIP() << "a control device is present";
    std::string c = conf("debuglevel notice\n");
    run_result r = run({"-d", "-F", "-s", "-f", c});
    EXPECT_NE(r.err.find("[info] Using config file " + c), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("[info] Service is running as user " + user_), std::string::npos);
    EXPECT_NE(r.err.find("[info] Setting lockfile " + lock_), std::string::npos);
    EXPECT_EQ(r.err.find("[debug]"), std::string::npos) << "one -d gives info, not debug";

    r = run({"-d", "-d", "-F", "-s", "-f", c});
    EXPECT_NE(r.err.find("[debug] Got exclusive lock"), std::string::npos) << r.err;
}

TEST_F(KyrkiodCliTest, MissingConfigFileUsesDefaults)
{
    std::string missing = dir_ + "/none.conf";
    run_result r = run({"-F", "-s", "-f", missing});
    EXPECT_NE(r.err.find("[warning] Cannot open config file " + missing + ": No such file or directory"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("[warning] Service will use default values."), std::string::npos);
    // Without a user line the default service user is tried.
    EXPECT_NE(r.err.find("[warning] No service user ID specified"), std::string::npos);
    EXPECT_NE(r.status, 0);
}

TEST_F(KyrkiodCliTest, UnknownServiceUser)
{
    std::string c = dir_ + "/u.conf";
    kyrtest::write_file(c, "user no-such-user-kyr-cli\n");
    run_result r = run({"-F", "-s", "-f", c});
    EXPECT_EQ(r.status, EINVAL);
    EXPECT_NE(r.err.find("Cannot find user no-such-user-kyr-cli in password database"), std::string::npos);
}

TEST_F(KyrkiodCliTest, UnopenableLogFileInBackground)
{
    run_result r = run({"-s", "-f", conf("logfile " + dir_ + "/no/dir/kyrkiod.log\n")});
    EXPECT_EQ(r.status, ENOENT);
    EXPECT_NE(access(lock_.c_str(), F_OK), 0) << "start-up ended before the lock file";
}

TEST_F(KyrkiodCliTest, SecondStartReportsHolderPid)
{
    kyrtest::write_file(dir_ + "/log", "");
    int fd = -1;
    kyrkiod_disable_syslog = 1;
    ASSERT_EQ(qelkiod_take_lockfile(lock_.c_str(), &fd), 0);
    ASSERT_EQ(qelkiod_lockfile_write_pid(fd), 0);
    run_result r = run({"-F", "-s", "-f", conf()});
    EXPECT_TRUE(r.status == EAGAIN || r.status == EACCES) << r.status;
    EXPECT_NE(r.err.find("[warning] kyrkiod pid " + std::to_string(getpid()) + " already running"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("Cannot access device"), std::string::npos) << "stops at the lock";
    close(fd);
}

}  // namespace
