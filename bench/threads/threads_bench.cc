// Keystore thread figures for 1, 100 and 1000 keystores: start-up time
// until every thread has said hello, resident memory, and the time of one
// SIGHUP reload (which includes the reload's fixed one-second pause).
//
// Two set-ups:
//  - in-process: the daemon's thread code (make_keystore_threads, s_hup)
//    inside this program against an in-process card; memory is the growth
//    of this program's resident set;
//  - daemon: the production kyrkiod -F through the card simulator and the
//    device interposer; memory is the daemon's VmRSS.  Under the interposer
//    a waiting thread holds two descriptors (its file and its call
//    connection); kyrkiod keeps the descriptor limit this program passes
//    on, so a size is skipped only when that limit is too small.
//
// Run: bench/threads/threads_bench [sizes...]   (default 1 100 1000)
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../../tests/daemon/core/service_inproc_fw.h"
#include "qelkiod.h"

#ifdef KYR_HAVE_KYRSIM
#include <signal.h>

#include "kyrsim.h"
#endif

namespace {

using clk = std::chrono::steady_clock;

double ms_since(clk::time_point t0)
{
    return std::chrono::duration<double, std::milli>(clk::now() - t0).count();
}

long rss_kib(const std::string &status_path)
{
    std::ifstream in(status_path);
    std::string key;
    while (in >> key) {
        if (key == "VmRSS:") {
            long v = 0;
            in >> v;
            return v;
        }
        std::string rest;
        std::getline(in, rest);
    }
    return -1;
}

std::string make_dir()
{
    char tmpl[] = "/tmp/kyr-bench-threads-XXXXXX";
    char *d = mkdtemp(tmpl);
    return d ? d : "";
}

void remove_tree(const std::string &dir)
{
    if (dir.size() > 20) {
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str()) != 0)
            fprintf(stderr, "cannot remove %s\n", dir.c_str());
    }
}

void make_keystores(const std::string &ksdir, int n)
{
    mkdir(ksdir.c_str(), 0700);
    for (int i = 0; i < n; i++) {
        std::string name = ksdir + "/bench" + std::to_string(i);
        std::ofstream(name + ".conf") << "cfg";
        mkdir(name.c_str(), 0700);
    }
}

bool wait_for(const std::function<bool()> &pred, int timeout_ms)
{
    auto end = clk::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (clk::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

pthread_once_t key_once = PTHREAD_ONCE_INIT;
void make_key() { pthread_key_create(&ptconfkey, free_kstinfo); }

// ---- in-process ----

int run_inprocess(int n)
{
    std::string dir = make_dir();
    std::string ksdir = dir + "/keys";
    make_keystores(ksdir, n);
    std::string conf = dir + "/kyrkiod.conf";
    std::ofstream(conf) << "keystoredir " << ksdir << "\n";

    pthread_once(&key_once, make_key);
    kyrkiod_disable_syslog = 1;
    qelkiod_reset_config(0, 0);
    free(cfile);
    cfile = strdup(conf.c_str());
    qelkiod_load_config();
    qelkiod_set_loglvl(LOG_WARNING);
    inproc::install();
    inproc::the_card().record = false;
    inproc::clear_records();

    long rss0 = rss_kib("/proc/self/status");
    auto t0 = clk::now();
    if (make_keystore_threads() != 0 || !inproc::wait_hellos(size_t(n) + 1, 120000)) {
        fprintf(stderr, "in-process start-up of %d keystores failed\n", n);
        return 1;
    }
    double startup = ms_since(t0);
    long rss1 = rss_kib("/proc/self/status");

    inproc::clear_records();
    t0 = clk::now();
    if (s_hup() != 1 || !inproc::wait_hellos(size_t(n) + 1, 120000)) {
        fprintf(stderr, "in-process reload of %d keystores failed\n", n);
        return 1;
    }
    double reload = ms_since(t0);

    tlist_cancel_all();
    inproc::close_channels();
    remove_tree(dir);
    printf("in-process  %5d keystores: start-up %9.1f ms   memory +%7ld KiB (%5.1f KiB/thread)"
           "   reload %8.1f ms (%.1f ms without the 1 s pause)\n",
           n, startup, rss1 - rss0, double(rss1 - rss0) / (n + 1), reload, reload - 1000.0);
    return 0;
}

// ---- the production daemon through the simulator ----

#ifdef KYR_HAVE_KYRSIM
int run_daemon(kyrsim *sim, int n)
{
    std::string dir = make_dir();
    std::string ksdir = dir + "/keys";
    make_keystores(ksdir, n);
    std::string conf = dir + "/kyrkiod.conf";
    std::ofstream(conf) << "user root\nkeystoredir " << ksdir << "\n";

    kyrsim_spawn_opts o;
    o.argv = {KYR_BUILD_DIR "/daemon/kyrkiod", "-F", "-s", "-f", conf};
    o.env = {"KYRKIOD_LOCKFILE=" + dir + "/lock"};
    kyrsim_child d;
    auto t0 = clk::now();
    if (kyrsim_spawn(sim, o, &d) != 0)
        return 1;
    auto all_hellos = [&](int count) {
        return wait_for([&] {
            if (kyrsim_hello_count(sim, "") < count)
                return false;
            for (int i = 0; i < n; i++)
                if (kyrsim_hello_count(sim, "bench" + std::to_string(i)) < count)
                    return false;
            return true;
        }, 120000);
    };
    int rc = 1;
    if (all_hellos(1)) {
        double startup = ms_since(t0);
        for (int i = 0; i < n; i++)
            kyrsim_wait_standby(sim, "bench" + std::to_string(i), 60000);
        long rss = rss_kib("/proc/" + std::to_string(d.pid) + "/status");
        t0 = clk::now();
        kyrsim_signal_child(&d, SIGHUP);
        if (all_hellos(2)) {
            double reload = ms_since(t0);
            printf("daemon      %5d keystores: start-up %9.1f ms   memory %8ld KiB VmRSS"
                   "                      reload %8.1f ms (%.1f ms without the 1 s pause)\n",
                   n, startup, rss, reload, reload - 1000.0);
            rc = 0;
        }
    }
    if (rc != 0)
        fprintf(stderr, "daemon with %d keystores did not say hello: %s\n", n,
                kyrsim_child_stderr(d).substr(0, 2000).c_str());
    kyrsim_signal_child(&d, SIGINT);
    if (kyrsim_wait_child(&d, 60000) != 0)
        kyrsim_kill_child(&d);
    remove_tree(dir);
    return rc;
}
#endif

}  // namespace

int main(int argc, char **argv)
{
    std::vector<int> sizes;
    for (int i = 1; i < argc; i++)
        sizes.push_back(atoi(argv[i]));
    if (sizes.empty())
        sizes = {1, 100, 1000};

    // The in-process card keeps three descriptors per thread.
    struct rlimit rl = {1024, 1024};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    int rc = 0;
    for (int n : sizes)
        rc |= run_inprocess(n);
#ifdef KYR_HAVE_KYRSIM
    kyrsim *sim = nullptr;
    if (kyrsim_start(kyrsim_opts{}, &sim) != 0) {
        fprintf(stderr, "cannot start the card simulator\n");
        return 1;
    }
    for (int n : sizes) {
        // Under the interposer a waiting thread holds two descriptors; the
        // daemon keeps the descriptor limit it inherits from here.
        if (2 * n + 64 > long(rl.rlim_max)) {
            printf("daemon      %5d keystores: not run (needs %d descriptors, %ld allowed)\n", n,
                   2 * n + 64, long(rl.rlim_max));
            continue;
        }
        // The simulator's records of earlier runs would satisfy the waits.
        kyrsim_stop(sim);
        sim = nullptr;
        if (kyrsim_start(kyrsim_opts{}, &sim) != 0)
            return 1;
        rc |= run_daemon(sim, n);
    }
    kyrsim_stop(sim);
#endif
    return rc;
}
