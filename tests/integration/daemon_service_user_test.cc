// kyrkiod as an unprivileged service user on the simulated card: it keeps
// none of the groups it was started with, and a reload whose control thread
// cannot start cancels and joins the keystore threads it had started before
// the daemon stops.
#include <gtest/gtest.h>
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <regex>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kyrsim.h"

namespace {

const char *const kDaemon = KYR_BUILD_DIR "/daemon/kyrkiod";
const long kWait = 20000;

// One "Name:\tvalue" line of /proc/<pid>/status (the value), or "".
std::string status_field(const std::string &status_path, const std::string &name)
{
    std::istringstream in(kyrsim_read_file(status_path));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(name.size() + 1);
    return "";
}

std::vector<long> numbers(const std::string &text)
{
    std::istringstream in(text);
    std::vector<long> v;
    long n;
    while (in >> n)
        v.push_back(n);
    return v;
}

// Tasks (threads included) of every process whose real user ID is uid:
// what the kernel counts against that user's RLIMIT_NPROC.
long tasks_of_user(uid_t uid)
{
    long n = 0;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return -1;
    while (struct dirent *p = readdir(proc)) {
        if (p->d_name[0] < '0' || p->d_name[0] > '9')
            continue;
        std::string tdir = std::string("/proc/") + p->d_name + "/task";
        DIR *tasks = opendir(tdir.c_str());
        if (tasks == nullptr)
            continue;
        while (struct dirent *t = readdir(tasks)) {
            if (t->d_name[0] < '0' || t->d_name[0] > '9')
                continue;
            std::vector<long> ids = numbers(status_field(tdir + "/" + t->d_name + "/status", "Uid"));
            if (!ids.empty() && ids[0] == static_cast<long>(uid))
                n++;
        }
        closedir(tasks);
    }
    closedir(proc);
    return n;
}

class ServiceUserDaemon : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs the superuser to start the daemon as another user";
        struct passwd *pw = getpwnam("daemon");
        if (pw == nullptr)
            GTEST_SKIP() << "no user daemon";
        uid_ = pw->pw_uid;
        gid_ = pw->pw_gid;
        ASSERT_EQ(0, kyrsim_start(kyrsim_opts{}, &sim_));
        char tmpl[] = "/tmp/kyr-svcuser-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
        ks_ = dir_ + "/keys";
        ASSERT_EQ(0, mkdir(ks_.c_str(), 0700));
        for (const std::string &name : {std::string("alpha.h.{1}"), std::string("beta.h.{1}")}) {
            std::ofstream(ks_ + "/" + name + ".conf") << "cfg";
            ASSERT_EQ(0, chown((ks_ + "/" + name + ".conf").c_str(), uid_, gid_));
            ASSERT_EQ(0, mkdir((ks_ + "/" + name).c_str(), 0700));
            ASSERT_EQ(0, chown((ks_ + "/" + name).c_str(), uid_, gid_));
        }
        ASSERT_EQ(0, chown(dir_.c_str(), uid_, gid_));
        ASSERT_EQ(0, chown(ks_.c_str(), uid_, gid_));
        conf_ = dir_ + "/kyrkiod.conf";
        std::ofstream(conf_) << "user daemon\nkeystoredir " << ks_ << "\ndebuglevel debug\n";
    }
    void TearDown() override
    {
        if (helper_ > 0) {
            kill(helper_, SIGKILL);
            waitpid(helper_, nullptr, 0);
        }
        if (d_.pid > 0 && !d_.exited)
            kyrsim_kill_child(&d_);
        if (sim_ != nullptr)
            kyrsim_stop(sim_);
        if (dir_.size() > 16) {
            std::string cmd = "rm -rf '" + dir_ + "'";
            EXPECT_EQ(0, system(cmd.c_str()));
        }
    }
    // Starts the daemon and waits for the control thread and both keystores.
    // With nproc > 0 the daemon may have that many tasks of its user.
    void start(long nproc = 0, const std::vector<std::string> &extra_env = {})
    {
        kyrsim_spawn_opts o;
        // bash keeps the last of two ASAN_OPTIONS entries in the environment,
        // the daemon's own check reads the first: hand on one, merged.
        std::string cmd = std::string("export ASAN_OPTIONS=verify_asan_link_order=0"
                                      "${ASAN_OPTIONS:+:$ASAN_OPTIONS}; exec ") +
                          kDaemon + " -F -s -f '" + conf_ + "'";
        if (nproc > 0)
            cmd = "ulimit -u " + std::to_string(nproc) + " && " + cmd;
        o.argv = {"/bin/bash", "-c", cmd};
        o.env = {"KYRKIOD_LOCKFILE=" + dir_ + "/lock"};
        o.env.insert(o.env.end(), extra_env.begin(), extra_env.end());
        ASSERT_EQ(0, kyrsim_spawn(sim_, o, &d_));
        for (const char *ks : {"", "alpha.h.{1}", "beta.h.{1}"})
            ASSERT_EQ(0, kyrsim_wait_hello(sim_, ks, kWait)) << ks << "\n" << log();
    }
    std::string log() { return kyrsim_read_file(d_.err_path); }
    std::string proc_status() { return "/proc/" + std::to_string(d_.pid) + "/status"; }
    int32_t write_user(const std::string &ks)
    {
        kyrsim_msg m = kyrsim_msg_make(DB_USER_WRITE, ks);
        kyrsim_msg_add_user(&m, kyrsim_user_id("u1"), {1, 2, 3});
        std::vector<kyrsim_msg> got;
        EXPECT_EQ(0, kyrsim_exchange(sim_, ks, m, kWait, &got)) << log();
        return got.size() == 1 && got[0].type == DB_RESPONSE ? got[0].status : -1000;
    }

    // A process of the service user that only waits.
    void start_helper()
    {
        helper_ = fork();
        if (helper_ == 0) {
            // Copies of the simulator's connections would keep the daemon's
            // calls from seeing their end.
            for (int fd = 3; fd < 4096; fd++)
                close(fd);
            if (setgid(gid_) != 0 || setuid(uid_) != 0)
                _exit(1);
            for (;;)
                pause();
        }
    }

    kyrsim *sim_ = nullptr;
    kyrsim_child d_;
    pid_t helper_ = -1;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    std::string dir_, ks_, conf_;
};

// One scenario, since the task count of the user must not change under it:
// the groups, serving as the user, then the failing reload.
TEST_F(ServiceUserDaemon, OwnGroupsAndAReloadWhoseControlThreadCannotStart)
{
    // The daemon may have as many tasks as it needs (main, two keystore
    // threads, control thread); one more task of its user later leaves the
    // reload room for the two keystore threads but not the control thread.
    // (The leak check at exit would need a thread of its own.)
    long others = tasks_of_user(uid_);
    ASSERT_GE(others, 0);
    start(others + 4, {"ASAN_OPTIONS=detect_leaks=0"});

    std::vector<gid_t> groups(64);
    int n = static_cast<int>(groups.size());
    ASSERT_GE(getgrouplist("daemon", gid_, groups.data(), &n), 0);
    std::vector<long> want;
    for (int i = 0; i < n; i++)
        want.push_back(static_cast<long>(groups[i]));
    std::sort(want.begin(), want.end());
    want.erase(std::unique(want.begin(), want.end()), want.end());
    const std::string st = proc_status();
    EXPECT_EQ(std::vector<long>(4, static_cast<long>(uid_)), numbers(status_field(st, "Uid")));
    EXPECT_EQ(std::vector<long>(4, static_cast<long>(gid_)), numbers(status_field(st, "Gid")));
    std::vector<long> have = numbers(status_field(st, "Groups"));
    std::sort(have.begin(), have.end());
    EXPECT_EQ(want, have);

    // It serves as that user.
    EXPECT_EQ(0, write_user("alpha.h.{1}"));
    struct stat sb;
    ASSERT_EQ(0, stat((ks_ + "/alpha.h.{1}/user.db").c_str(), &sb));
    EXPECT_EQ(uid_, sb.st_uid);
    EXPECT_EQ(gid_, sb.st_gid);

    ASSERT_EQ(others + 4, tasks_of_user(uid_));
    start_helper();
    ASSERT_GT(helper_, 0);
    for (int i = 0; i < 500 && tasks_of_user(uid_) != others + 5; i++)
        usleep(10000);
    ASSERT_EQ(others + 5, tasks_of_user(uid_));

    ASSERT_EQ(0, kyrsim_signal_child(&d_, SIGHUP));
    ASSERT_EQ(0, kyrsim_wait_child(&d_, kWait)) << log();
    EXPECT_EQ(0, kyrsim_exit_code(d_)) << log();
    std::string text = log();
    size_t failed = text.find("[ERROR] Thread creation failed for keystore (control)");
    ASSERT_NE(std::string::npos, failed) << text;
    // Both keystore threads of the reload were started, then cancelled and
    // joined before the daemon went on to stop.
    std::string after = text.substr(failed);
    std::regex joined(R"(\] Thread [0-9]+ joined)");
    EXPECT_EQ(2, std::distance(std::sregex_iterator(after.begin(), after.end(), joined),
                               std::sregex_iterator()))
        << after;
}

}  // namespace
