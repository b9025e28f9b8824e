// Cost of the card's PKCS#11 stack, all figures from one run of one client
// program whose series alternate (bench/p11/p11_client.cc):
//   - per call, a trivial token command (a mechanism query answered without
//     token work) through libpkcs11_kyr and through the framework loader,
//     each beside the bare interposer round trip of the same command;
//   - per RSA-2048 signature (C_SignInit + C_Sign), the whole stack (loader,
//     library, interposer, the card's token on SoftHSMv2) beside SoftHSMv2
//     called directly with the same key and data.  The stack should add no
//     more than two interposer round trips (its two commands) and 10 %.
//
//   bench_p11 [ROUNDS]   (default 500 signatures; 4 x ROUNDS trivial calls)
#include <stdlib.h>

#include <cstdio>
#include <map>
#include <string>

#include "kyrsim.h"
#include "kyrtok.h"

namespace {

struct figure {
    double median = 0, p90 = 0;
    int seen = 0;
};

}  // namespace

int main(int argc, char **argv)
{
    int rounds = argc > 1 ? atoi(argv[1]) : 500;
    if (rounds < 10)
        rounds = 10;
    char dir[] = "/tmp/kyr-bench-p11-XXXXXX";
    kyrtok_dir_opts opts;
    opts.rsa_key = true;
    if (!mkdtemp(dir) || kyrtok_make_dir(std::string(dir) + "/card", opts) != 0 ||
        kyrtok_copy_dir(std::string(dir) + "/card", std::string(dir) + "/direct") != 0) {
        fprintf(stderr, "cannot make the token directories\n");
        return 1;
    }
    kyrsim *sim = nullptr;
    kyrtok *tok = nullptr;
    if (kyrsim_start(kyrsim_opts{}, &sim) != 0 ||
        kyrtok_start(sim, std::string(dir) + "/card", &tok) != 0) {
        fprintf(stderr, "cannot start the simulator\n");
        return 1;
    }
    kyrtok_force_rv(tok, KYR_CMD_GET_MECH_INFO, 0);
    // Every command makes the caller wait for the simulator's thread: on a
    // busy machine the figures through the stack grow with the load.
    double load = 0;
    if (FILE *la = fopen("/proc/loadavg", "r")) {
        if (fscanf(la, "%lf", &load) != 1)
            load = 0;
        fclose(la);
    }
    printf("load average at the start: %.2f\n", load);
    kyrsim_spawn_opts o;
    o.argv = {KYR_BENCH_CLIENT, KYR_P11_LIB, KYR_LOADER, KYRTOK_SOFTHSM_LIB,
              std::to_string(rounds)};
    o.env = {"SOFTHSM2_CONF=" + kyrtok_conf_path(std::string(dir) + "/direct")};
    kyrsim_child c;
    int rc = 1;
    if (kyrsim_spawn(sim, o, &c) == 0 && kyrsim_wait_child(&c, 600000) == 0 &&
        kyrsim_exit_code(c) == 0) {
        std::map<std::string, figure> f;
        int same = -1;
        const std::string out = kyrsim_child_stdout(c);
        const char *p = out.c_str();
        char what[32];
        double median = 0, p90 = 0;
        int n = 0;
        while (*p) {
            if (sscanf(p, "%31s %lf %lf%n", what, &median, &p90, &n) == 3)
                f[what] = figure{median, p90, 1};
            else if (sscanf(p, "same-signature %d%n", &same, &n) != 1)
                break;
            p += n;
            while (*p == '\n')
                p++;
        }
        double rt = f["raw-library"].median;
        printf("Trivial command (GetMechanismInfo answered without token work), %d calls each:\n",
               rounds * 4);
        printf("  interposer round trip (bare ioctl)  median %7.1f us  p90 %7.1f us\n", rt,
               f["raw-library"].p90);
        printf("  libpkcs11_kyr                       median %7.1f us  p90 %7.1f us  (%+.1f us)\n",
               f["library"].median, f["library"].p90, f["library"].median - rt);
        printf("  interposer round trip (bare ioctl)  median %7.1f us  p90 %7.1f us\n",
               f["raw-loader"].median, f["raw-loader"].p90);
        printf("  loader + libpkcs11_kyr              median %7.1f us  p90 %7.1f us  (%+.1f us)\n",
               f["loader"].median, f["loader"].p90,
               f["loader"].median - f["raw-loader"].median);
        const figure &d = f["direct"], &s = f["stack"], &r = f["raw-sign"];
        printf("RSA-2048 signature (C_SignInit + C_Sign, SHA256-RSA-PKCS, 64 bytes), %d each:\n",
               rounds);
        printf("  SoftHSMv2 directly                  median %7.1f us  p90 %7.1f us\n", d.median,
               d.p90);
        printf("  whole stack                         median %7.1f us  p90 %7.1f us\n", s.median,
               s.p90);
        printf("  interposer round trip (same rounds) median %7.1f us  p90 %7.1f us\n", r.median,
               r.p90);
        // The added time is the median of the per-round differences.
        double added = f["added"].median, allowed = 2 * r.median + 0.1 * d.median;
        printf("  added by the stack (median of the rounds' differences): %.1f us "
               "(%.2f round trips, %.1f %% of a direct signature);\n"
               "  allowed 2 round trips + 10 %% = %.1f us: %s\n",
               added, r.median > 0 ? added / r.median : 0.0,
               d.median > 0 ? 100 * added / d.median : 0.0, allowed,
               added <= allowed ? "target met" : "TARGET MISSED");
        printf("  signatures of both paths identical: %s\n", same == 1 ? "yes" : "NO");
        rc = d.seen && s.seen && f["added"].seen && same == 1 ? 0 : 1;
    } else {
        fprintf(stderr, "client failed: %s\n", kyrsim_child_stderr(c).c_str());
    }
    kyrtok_stop(tok);
    kyrsim_stop(sim);
    (void)!system((std::string("rm -rf ") + dir).c_str());
    return rc;
}
