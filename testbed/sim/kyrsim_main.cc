// kyrsim: the card simulator as a program of its own.
//
//   kyrsim [--socket PATH] [--cards N] [--token DIR [--token-slots N]]
//          [--script FILE] [-- PROGRAM ARGS...]
//
// Starts the simulator with N cards (default 1) on PATH (default a unique
// path under $TMPDIR).  With PROGRAM, starts it with the device interposer
// (its output goes to kyrsim's own stdout and stderr).  With --script, runs
// the firmware script (language: sim_script.cc) and exits 0 when the whole
// script passed, 1 when it failed, printing a one-line verdict.  Without a
// script: waits for PROGRAM to end and exits with its status; without either
// it serves until SIGINT or SIGTERM, printing the environment a program
// needs to reach it.
//
// With --token, /dev/kyrf is the card's token on the SoftHSM token directory
// DIR; when DIR holds no token yet, N tokens (default 1) labelled kyr0...
// are made, with SO PIN 12345678 and user PIN 1234.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kyrsim.h"
#include "kyrtok.h"

namespace {

void usage()
{
    fprintf(stderr,
            "usage: kyrsim [--socket PATH] [--cards N] [--token DIR [--token-slots N]]\n"
            "              [--script FILE] [-- PROGRAM ARGS...]\n");
}

// SIGINT and SIGTERM are blocked in every thread (before the simulator's
// threads start) and taken here, so the simulator stops cleanly.
int serve_until_signal(kyrsim *sim, sigset_t set)
{
    for (const std::string &e : kyrsim_child_env(sim))
        printf("%s\n", e.c_str());
    fflush(stdout);
    int sig = 0;
    sigwait(&set, &sig);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    kyrsim_opts opts;
    std::string script;
    std::vector<std::string> prog;
    std::string token_dir;
    kyrtok_dir_opts token_opts;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--socket" && i + 1 < argc) {
            opts.socket_path = argv[++i];
        } else if (a == "--cards" && i + 1 < argc) {
            char *end = nullptr;
            long n = strtol(argv[++i], &end, 10);
            if (!end || *end || n < 0 || n > QELMODEL_MAX_CARDS) {
                usage();
                return 2;
            }
            opts.cards = static_cast<int>(n);
        } else if (a == "--token" && i + 1 < argc) {
            token_dir = argv[++i];
        } else if (a == "--token-slots" && i + 1 < argc) {
            char *end = nullptr;
            long n = strtol(argv[++i], &end, 10);
            if (!end || *end || n < 1 || n > KYR_MAX_SLOTS) {
                usage();
                return 2;
            }
            token_opts.tokens = static_cast<int>(n);
        } else if (a == "--script" && i + 1 < argc) {
            script = argv[++i];
        } else if (a == "--") {
            prog.assign(argv + i + 1, argv + argc);
            break;
        } else {
            usage();
            return 2;
        }
    }
    sigset_t stop_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGTERM);
    if (script.empty() && prog.empty())
        pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);
    kyrsim *sim = nullptr;
    int rc = kyrsim_start(opts, &sim);
    if (rc) {
        fprintf(stderr, "kyrsim: cannot start the simulator: %s\n", strerror(rc));
        return 2;
    }
    kyrtok *tok = nullptr;
    if (!token_dir.empty()) {
        if (access((token_dir + "/tokens").c_str(), F_OK) != 0)
            rc = kyrtok_make_dir(token_dir, token_opts);
        if (rc == 0)
            rc = kyrtok_start(sim, token_dir, &tok);
        if (rc) {
            fprintf(stderr, "kyrsim: cannot serve the token in %s: %s\n", token_dir.c_str(),
                    strerror(rc));
            kyrsim_stop(sim);
            return 2;
        }
    }
    kyrsim_child child;
    bool have_child = false;
    if (!prog.empty()) {
        kyrsim_spawn_opts so;
        so.argv = prog;
        so.inherit_output = true;
        rc = kyrsim_spawn(sim, so, &child);
        if (rc) {
            fprintf(stderr, "kyrsim: cannot start %s: %s\n", prog[0].c_str(), strerror(rc));
            kyrtok_stop(tok);
            kyrsim_stop(sim);
            return 2;
        }
        have_child = true;
    }
    int status = 0;
    if (!script.empty()) {
        std::string text = kyrsim_read_file(script);
        std::string failure;
        if (access(script.c_str(), R_OK) != 0) {
            printf("kyrsim: FAIL: cannot read script %s\n", script.c_str());
            status = 1;
        } else if (kyrsim_run_script(sim, text, script, stdout, have_child ? &child : nullptr,
                                     &failure) == 0) {
            printf("kyrsim: PASS: %s\n", script.c_str());
        } else {
            printf("kyrsim: FAIL: %s\n", failure.c_str());
            status = 1;
        }
        fflush(stdout);
    } else if (have_child) {
        while (kyrsim_wait_child(&child, 3600 * 1000L) == ETIME) {
        }
        status = WIFEXITED(child.status) ? WEXITSTATUS(child.status) : 128 + WTERMSIG(child.status);
    } else {
        serve_until_signal(sim, stop_set);
    }
    kyrtok_stop(tok);
    kyrsim_stop(sim);
    return status;
}
