// Round trip of a trivial control-device command (QELCTLPROBE) from a
// program through the device interposer to the simulator and back, for a
// 64-bit program and a 32-bit one under qemu-i386-static.  Prints the
// median and the 90th percentile; reference figure for later benchmarks.
//
//   bench_interpose [CALLS]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kyrsim.h"

static int measure(kyrsim *sim, const std::string &client, int calls, const char *label)
{
    kyrsim_spawn_opts o;
    o.argv = {client, std::to_string(calls)};
    kyrsim_child c;
    if (kyrsim_spawn(sim, o, &c) != 0 || kyrsim_wait_child(&c, 600000) != 0 ||
        kyrsim_exit_code(c) != 0) {
        fprintf(stderr, "%s: client failed: %s\n", label, kyrsim_child_stderr(c).c_str());
        return 1;
    }
    int n = 0;
    double median = 0, p90 = 0;
    if (sscanf(kyrsim_child_stdout(c).c_str(), "%d %lf %lf", &n, &median, &p90) != 3) {
        fprintf(stderr, "%s: unreadable result\n", label);
        return 1;
    }
    printf("interposer round trip, QELCTLPROBE, %s: median %.1f us, p90 %.1f us (%d calls)\n",
           label, median, p90, n);
    return 0;
}

int main(int argc, char **argv)
{
    int calls = argc > 1 ? atoi(argv[1]) : 2000;
    kyrsim *sim = nullptr;
    if (kyrsim_start(kyrsim_opts{}, &sim) != 0) {
        fprintf(stderr, "cannot start the simulator\n");
        return 1;
    }
    int rc = measure(sim, KYR_BENCH_DIR "/bench_probe_client64", calls, "64-bit");
    rc |= measure(sim, KYR_BENCH_DIR "/bench_probe_client32", calls / 4,
                  "32-bit under qemu-i386-static");
    kyrsim_stop(sim);
    return rc;
}
