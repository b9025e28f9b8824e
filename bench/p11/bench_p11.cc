// Per-call cost of libpkcs11_kyr and of the framework loader for a trivial
// token command (a mechanism query the token answers without work), beside
// the bare interposer round trip of the same command, all in one run of
// one client program.
//
//   bench_p11 [CALLS]
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "kyrsim.h"
#include "kyrtok.h"

int main(int argc, char **argv)
{
    int calls = argc > 1 ? atoi(argv[1]) : 2000;
    char dir[] = "/tmp/kyr-bench-p11-XXXXXX";
    if (!mkdtemp(dir) || kyrtok_make_dir(dir, kyrtok_dir_opts{}) != 0) {
        fprintf(stderr, "cannot make the token directory\n");
        return 1;
    }
    kyrsim *sim = nullptr;
    kyrtok *tok = nullptr;
    if (kyrsim_start(kyrsim_opts{}, &sim) != 0 || kyrtok_start(sim, dir, &tok) != 0) {
        fprintf(stderr, "cannot start the simulator\n");
        return 1;
    }
    kyrtok_force_rv(tok, KYR_CMD_GET_MECH_INFO, 0);
    kyrsim_spawn_opts o;
    o.argv = {KYR_BENCH_CLIENT, KYR_P11_LIB, KYR_LOADER, std::to_string(calls)};
    kyrsim_child c;
    int rc = 1;
    if (kyrsim_spawn(sim, o, &c) == 0 && kyrsim_wait_child(&c, 600000) == 0 &&
        kyrsim_exit_code(c) == 0) {
        char what[16];
        double median = 0, p90 = 0, raw = 0;
        const std::string out = kyrsim_child_stdout(c);
        const char *p = out.c_str();
        int n = 0;
        rc = 0;
        while (sscanf(p, "%15s %lf %lf%n", what, &median, &p90, &n) == 3) {
            std::string w = what;
            if (w == "raw")
                raw = median;
            printf("%-8s GetMechanismInfo: median %.1f us, p90 %.1f us", what, median, p90);
            if (w != "raw")
                printf(", %+.1f us over the interposer round trip", median - raw);
            printf(" (%d calls)\n", calls);
            p += n;
        }
    } else {
        fprintf(stderr, "client failed: %s\n", kyrsim_child_stderr(c).c_str());
    }
    kyrtok_stop(tok);
    kyrsim_stop(sim);
    (void)!system((std::string("rm -rf ") + dir).c_str());
    return rc;
}
