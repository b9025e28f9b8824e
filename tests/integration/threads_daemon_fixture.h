// The production kyrkiod in the foreground against the card simulator: a
// temporary keystore directory, configuration file and lock file per test,
// the daemon's log read from its standard error.
#ifndef KYR_TESTS_THREADS_DAEMON_FIXTURE_H
#define KYR_TESTS_THREADS_DAEMON_FIXTURE_H

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kyrsim.h"

namespace kyrit {

inline const char *kyrkiod_path() { return KYR_BUILD_DIR "/daemon/kyrkiod"; }

inline size_t count_of(const std::string &hay, const std::string &needle)
{
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        n++;
    return n;
}

inline bool wait_until(const std::function<bool()> &pred, int timeout_ms = 20000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
}

// Entries of /proc/<pid>/<what> (task: threads, fd: descriptors); -1 when
// the process is gone.
inline int proc_entries(pid_t pid, const char *what)
{
    std::string path = "/proc/" + std::to_string(pid) + "/" + what;
    DIR *d = opendir(path.c_str());
    if (d == nullptr)
        return -1;
    int n = 0;
    while (struct dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

// What the process's descriptors are, counted by kind ("socket", "pipe",
// or the path), for a failure report.
inline std::string fd_kinds(pid_t pid)
{
    std::string base = "/proc/" + std::to_string(pid) + "/fd/";
    std::map<std::string, int> kinds;
    if (DIR *d = opendir(base.c_str())) {
        while (struct dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            char target[4096];
            ssize_t n = readlink((base + e->d_name).c_str(), target, sizeof(target) - 1);
            std::string t = n > 0 ? std::string(target, size_t(n)) : "?";
            kinds[t.substr(0, t.find(':'))]++;
        }
        closedir(d);
    }
    std::string out;
    for (auto &k : kinds)
        out += k.first + " " + std::to_string(k.second) + "; ";
    return out;
}

// True when the process's main thread sleeps in poll(2), i.e. the daemon's
// supervision loop waits for the next signal.
inline bool main_thread_polls(pid_t pid)
{
    std::string base = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
    std::ifstream in(base + "/syscall");
    long nr = -1;
    if (!(in >> nr))
        return false;
    return nr == 7 || nr == 271;  // poll or ppoll on x86-64
}

inline std::string host_name()
{
    char host[256] = {};
    gethostname(host, sizeof(host) - 1);
    return host;
}

// What a failed test shows of a daemon log: all of a short log; of a long
// one (hundreds of keystores at debug level), every line above debug level
// and the last lines, so the cause is not buried.
inline std::string log_digest(const std::string &log, size_t tail_lines = 150)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at < log.size();) {
        size_t nl = log.find('\n', at);
        size_t end = nl == std::string::npos ? log.size() : nl + 1;
        lines.push_back(log.substr(at, end - at));
        at = end;
    }
    if (lines.size() <= 2 * tail_lines)
        return log;
    std::string out;
    size_t first_tail = lines.size() - tail_lines;
    for (size_t i = 0; i < first_tail; i++)
        if (lines[i].find("[debug]") == std::string::npos)
            out += lines[i];
    out += "[... " + std::to_string(first_tail) + " earlier lines, debug ones left out ...]\n";
    for (size_t i = first_tail; i < lines.size(); i++)
        out += lines[i];
    return out;
}

class DaemonTest : public ::testing::Test {
protected:
    kyrsim *sim = nullptr;
    std::string dir, ksdir, conf, lock;
    kyrsim_child d;
    bool running = false;

    void SetUp() override
    {
        ASSERT_EQ(0, kyrsim_start(kyrsim_opts{}, &sim));
        char tmpl[] = "/tmp/kyr-thr-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        ksdir = dir + "/keys";
        conf = dir + "/kyrkiod.conf";
        lock = dir + "/lock";
        ASSERT_EQ(0, mkdir(ksdir.c_str(), 0700));
        write_conf("");
    }
    void TearDown() override
    {
        if (HasFailure() && !d.err_path.empty())
            printf("---- kyrkiod log ----\n%s---- end ----\n", log_digest(log()).c_str());
        if (running)
            kyrsim_kill_child(&d);
        kyrsim_stop(sim);
        std::string cmd = "rm -rf '" + dir + "'";
        if (dir.size() > 14) {
            EXPECT_EQ(0, system(cmd.c_str()));
        }
    }
    void write_file(const std::string &path, const std::string &text)
    {
        std::ofstream out(path, std::ios::trunc);
        out << text;
    }
    void write_conf(const std::string &extra)
    {
        write_file(conf, "user root\nkeystoredir " + ksdir + "\n" + extra);
    }
    void add_ks(const std::string &name)
    {
        write_file(ksdir + "/" + name + ".conf", "configuration of " + name);
        mkdir((ksdir + "/" + name).c_str(), 0700);
    }
    // kyrkiod -F -s -d -d -f conf: every log line on standard error.
    void start(std::vector<std::string> extra_env = {})
    {
        kyrsim_spawn_opts o;
        o.argv = {kyrkiod_path(), "-F", "-s", "-d", "-d", "-f", conf};
        o.env = {"KYRKIOD_LOCKFILE=" + lock};
        for (auto &e : extra_env)
            o.env.push_back(e);
        ASSERT_EQ(0, kyrsim_spawn(sim, o, &d));
        running = true;
    }
    std::string log() { return kyrsim_read_file(d.err_path); }
    bool log_has(const std::string &text, long timeout_ms = 20000)
    {
        return kyrsim_wait_file_contains(d.err_path, text, timeout_ms) == 0;
    }
    bool log_count(const std::string &text, size_t n, int timeout_ms = 20000)
    {
        return wait_until([&] { return count_of(log(), text) >= n; }, timeout_ms);
    }
    int hello(const std::string &ks, kyrsim_hello *h = nullptr, long timeout_ms = 20000)
    {
        return kyrsim_wait_hello(sim, ks, timeout_ms, h);
    }
    // SIGINT and the exit code (-1 when it did not end normally in time).
    int stop()
    {
        if (kyrsim_signal_child(&d, SIGINT) != 0)
            return -1;
        if (kyrsim_wait_child(&d, 30000) != 0)
            return -1;
        running = false;
        return kyrsim_exit_code(d);
    }
    void expect_sanitizers_quiet()
    {
        std::string text = log();
        EXPECT_EQ(std::string::npos, text.find("ERROR: AddressSanitizer")) << text;
        EXPECT_EQ(std::string::npos, text.find("runtime error:")) << text;
        EXPECT_EQ(std::string::npos, text.find("ERROR: LeakSanitizer")) << text;
    }
};

}  // namespace kyrit

#endif  // KYR_TESTS_THREADS_DAEMON_FIXTURE_H
