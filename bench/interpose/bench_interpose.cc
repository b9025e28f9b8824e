// Round trip of a trivial command from a program through the device
// interposer to the simulator and back, and the descriptors an open file
// waiting for an upcall costs, with one call channel per open file (the
// interposer's mode) beside the anchor measured in the same run: a
// connection of its own for every command (KYRSIM_PER_CALL_CONNECTIONS=1,
// the former mode).  64-bit program with QELCTLPROBE; 32-bit program under
// qemu-i386-static with a token command (the control device refuses 32-bit
// callers).  Prints the median and the 90th percentile.
//
//   bench_interpose [CALLS]
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "kyrsim.h"

namespace {

const char *mode_name(bool per_call)
{
    return per_call ? "connection per command (anchor)" : "channel per open file";
}

kyrsim_spawn_opts client(const std::string &path, int n, const char *what, bool per_call)
{
    kyrsim_spawn_opts o;
    o.argv = {path, std::to_string(n), what};
    if (per_call)
        o.env = {std::string(KSP_ENV_PER_CALL) + "=1"};
    return o;
}

int round_trip(kyrsim *sim, const std::string &path, int calls, const char *what,
               const char *label, bool per_call)
{
    kyrsim_child c;
    if (kyrsim_spawn(sim, client(path, calls, what, per_call), &c) != 0 ||
        kyrsim_wait_child(&c, 600000) != 0 || kyrsim_exit_code(c) != 0) {
        fprintf(stderr, "%s: client failed: %s\n", label, kyrsim_child_stderr(c).c_str());
        return 1;
    }
    int n = 0;
    double median = 0, p90 = 0;
    if (sscanf(kyrsim_child_stdout(c).c_str(), "%d %lf %lf", &n, &median, &p90) != 3) {
        fprintf(stderr, "%s: unreadable result\n", label);
        return 1;
    }
    printf("round trip, %s, %s: median %.1f us, p90 %.1f us (%d calls)\n", label,
           mode_name(per_call), median, p90, n);
    return 0;
}

int descriptors(kyrsim *sim, const std::string &path, int files, bool per_call)
{
    kyrsim_child c;
    if (kyrsim_spawn(sim, client(path, files, "waiters", per_call), &c) != 0)
        return 1;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (kyrsim_active_calls(sim) < files && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    int n = 0, fds = 0;
    if (kyrsim_signal_child(&c, SIGUSR1) != 0 || kyrsim_wait_child(&c, 60000) != 0 ||
        sscanf(kyrsim_child_stdout(c).c_str(), "%d %d", &n, &fds) != 2) {
        kyrsim_kill_child(&c);
        fprintf(stderr, "waiters: client failed: %s\n", kyrsim_child_stderr(c).c_str());
        return 1;
    }
    kyrsim_wait_no_files(sim, 60000);
    printf("descriptors, %d files waiting in DB_STANDBY, %s: %d (%.2f per file)\n", n,
           mode_name(per_call), fds, double(fds) / n);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    int calls = argc > 1 ? atoi(argv[1]) : 2000;
    kyrsim *sim = nullptr;
    if (kyrsim_start(kyrsim_opts{}, &sim) != 0) {
        fprintf(stderr, "cannot start the simulator\n");
        return 1;
    }
    const std::string c64 = KYR_BENCH_DIR "/bench_probe_client64";
    const std::string c32 = KYR_BENCH_DIR "/bench_probe_client32";
    int rc = 0;
    for (bool per_call : {true, false})
        rc |= round_trip(sim, c64, calls, "ctl", "64-bit QELCTLPROBE", per_call);
    for (bool per_call : {true, false})
        rc |= round_trip(sim, c32, calls / 4, "kyrf", "32-bit token command under qemu-i386-static",
                         per_call);
    for (bool per_call : {true, false})
        rc |= descriptors(sim, c64, 300, per_call);
    kyrsim_stop(sim);
    return rc;
}
