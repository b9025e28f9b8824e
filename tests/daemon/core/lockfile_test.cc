// Lock file: exclusive across processes, kept by a forked child, the
// holder's pid reported to a second start, and a lock call that fails for
// any other reason stopping the start.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core_fixture.h"

using kyrtest::CoreTest;

namespace {
// When not 0, the lock call fails with this errno.
int flock_failure = 0;
}  // namespace

// The daemon's lock call, linked into this program in place of the C
// library's, so that its failure can be brought about.
extern "C" int flock(int fd, int op) noexcept
{
    if (flock_failure != 0) {
        errno = flock_failure;
        return -1;
    }
    return static_cast<int>(syscall(SYS_flock, fd, op));
}

namespace {

class LockfileTest : public CoreTest {
protected:
    std::string path() const { return dir_ + "/kyrkiod_lock"; }
};

// Forks a child that takes the lock (or inherits fd), writes its pid,
// reports on a pipe and waits to be killed.
pid_t start_holder(const std::string &path, int inherited_fd, int *ready)
{
    int p[2];
    if (pipe(p) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        int fd = inherited_fd;
        if (fd < 0 && qelkiod_take_lockfile(path.c_str(), &fd) != 0)
            _exit(3);
        if (qelkiod_lockfile_write_pid(fd) != 0)
            _exit(4);
        char c = 'k';
        if (write(p[1], &c, 1) != 1)
            _exit(5);
        for (;;)
            pause();
    }
    close(p[1]);
    char c = 0;
    *ready = (read(p[0], &c, 1) == 1 && c == 'k') ? 1 : 0;
    close(p[0]);
    return pid;
}

void stop_holder(pid_t pid)
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

TEST_F(LockfileTest, PathOverride)
{
    unsetenv("KYRKIOD_LOCKFILE");
    EXPECT_STREQ(qelkiod_lockfile_path(), "/var/opt/orv/vantor/lock/kyrkiod_lock");
    setenv("KYRKIOD_LOCKFILE", "", 1);
    EXPECT_STREQ(qelkiod_lockfile_path(), "/var/opt/orv/vantor/lock/kyrkiod_lock");
    setenv("KYRKIOD_LOCKFILE", path().c_str(), 1);
    EXPECT_EQ(std::string(qelkiod_lockfile_path()), path());
    unsetenv("KYRKIOD_LOCKFILE");
}

TEST_F(LockfileTest, CreatesPrivateFileAndRecordsPid)
{
    int fd = -1;
    ASSERT_EQ(qelkiod_take_lockfile(path().c_str(), &fd), 0);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(logged("[info] Setting lockfile " + path()));
    EXPECT_TRUE(logged("[debug] Got exclusive lock"));
    struct stat st;
    ASSERT_EQ(stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "shells started later must not keep the lock";
    EXPECT_EQ(qelkiod_lockfile_write_pid(fd), 0);
    EXPECT_EQ(kyrtest::read_file(path()), std::to_string(getpid()) + "\n");
    close(fd);
}

TEST_F(LockfileTest, SecondTakerReportsHolderPid)
{
    int ready = 0;
    pid_t holder = start_holder(path(), -1, &ready);
    ASSERT_GT(holder, 0);
    ASSERT_EQ(ready, 1);

    int fd = -1;
    int rc = qelkiod_take_lockfile(path().c_str(), &fd);
    EXPECT_TRUE(rc == EAGAIN || rc == EACCES) << rc;
    EXPECT_EQ(fd, -1);
    EXPECT_TRUE(logged("[warning] kyrkiod pid " + std::to_string(holder) + " already running")) << log();
    // The refused start did not disturb the holder's record.
    EXPECT_EQ(kyrtest::read_file(path()), std::to_string(holder) + "\n");

    stop_holder(holder);
    ASSERT_EQ(qelkiod_take_lockfile(path().c_str(), &fd), 0) << "the lock ends with its holder";
    EXPECT_EQ(kyrtest::read_file(path()), "") << "a stale pid is cleared when the lock is taken";
    close(fd);
}

TEST_F(LockfileTest, LockPassesToForkedChild)
{
    // The daemon takes the lock, forks, and the parent exits: the child must
    // still hold it.
    int fd = -1;
    ASSERT_EQ(qelkiod_take_lockfile(path().c_str(), &fd), 0);
    int ready = 0;
    pid_t child = start_holder(path(), fd, &ready);
    ASSERT_GT(child, 0);
    ASSERT_EQ(ready, 1);
    close(fd);  // as the exiting parent does

    clear_log();
    int fd2 = -1;
    EXPECT_NE(qelkiod_take_lockfile(path().c_str(), &fd2), 0);
    EXPECT_TRUE(logged("kyrkiod pid " + std::to_string(child) + " already running")) << log();

    stop_holder(child);
    EXPECT_EQ(qelkiod_take_lockfile(path().c_str(), &fd2), 0);
    close(fd2);
}

TEST_F(LockfileTest, HolderWithoutPid)
{
    int fd = -1;
    ASSERT_EQ(qelkiod_take_lockfile(path().c_str(), &fd), 0);
    for (const char *content : {"", "garbage\n", "-5\n", "123abc"}) {
        kyrtest::write_file(path(), content);
        clear_log();
        int fd2 = -1;
        EXPECT_NE(qelkiod_take_lockfile(path().c_str(), &fd2), 0);
        EXPECT_EQ(fd2, -1);
        EXPECT_TRUE(logged("[ERROR] Unable to determine PID for kyrkiod")) << "'" << content << "'";
    }
    close(fd);
}

TEST_F(LockfileTest, FailingLockCallStopsTheStart)
{
    // Without the lock a second daemon could serve the same keystores.
    for (int err : {EINVAL, ENOLCK, EBADF}) {
        flock_failure = err;
        int fd = 7;
        clear_log();
        EXPECT_EQ(qelkiod_take_lockfile(path().c_str(), &fd), err);
        flock_failure = 0;
        EXPECT_EQ(fd, -1);
        EXPECT_TRUE(logged(std::string("[ERROR] Cannot lock lockfile ") + path() + ": " +
                           strerror(err)))
            << log();
    }
    // Nothing was left holding the file: the next start takes the lock.
    int fd = -1;
    ASSERT_EQ(qelkiod_take_lockfile(path().c_str(), &fd), 0);
    int fd2 = -1;
    EXPECT_EQ(qelkiod_take_lockfile(path().c_str(), &fd2), EWOULDBLOCK);
    close(fd);
}

TEST_F(LockfileTest, UnopenablePath)
{
    int fd = 7;
    std::string bad = dir_ + "/missing/dir/lock";
    EXPECT_EQ(qelkiod_take_lockfile(bad.c_str(), &fd), ENOENT);
    EXPECT_EQ(fd, -1);
    EXPECT_TRUE(logged("[ERROR] Cannot open lockfile " + bad + ": No such file or directory"));
    EXPECT_EQ(qelkiod_lockfile_write_pid(-1), EBADF);
}

}  // namespace
