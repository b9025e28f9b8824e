// The card's token behind /dev/kyrf, for the simulator.
//
// The token work is carried out by SoftHSMv2 through its PKCS#11 interface:
// card slot i is the SoftHSM token labelled "kyr<i>".  Card session handles
// (never 0, never reused) map to SoftHSM's and belong to the open file of
// the device that opened them: command 0x412F closes that file's sessions,
// and so does the close of the file (a program that ends or dies).  For
// CKU_USER the framework's "opencryptoki:" PIN prefix is stripped.
//
//   kyrtok_make_dir(tmpl, {2});                 // once per test program
//   kyrtok_copy_dir(tmpl, dir);                 // per test
//   kyrtok *tok;
//   ASSERT_EQ(0, kyrtok_start(sim, dir, &tok));
//   kyrtok_set_delay(tok, KYR_CMD_LOGIN, 20);
//   ... run a program through the interposer ...
//   kyrtok_stop(tok);
//
// One token per process (SoftHSM is loaded once and reads its
// configuration at each initialization).  Functions return 0 or an errno.
#ifndef KYRTOK_H
#define KYRTOK_H

#include <cstdint>
#include <string>
#include <vector>

#include "kyr_blocks.h"
#include "kyrsim.h"

#define KYRTOK_SOFTHSM_LIB "/usr/lib/softhsm/libsofthsm2.so"

struct kyrtok;

struct kyrtok_dir_opts {
    int tokens = 1;                      // kyr0 .. kyr<tokens-1>
    std::string so_pin = "12345678";
    std::string user_pin = "1234";
    bool rsa_key = false;                // an RSA-2048 key pair "kyrkey" on kyr0
};

// Makes a SoftHSM token directory in dir (created if needed).  EBUSY while
// a token runs in this process.
int kyrtok_make_dir(const std::string &dir, const kyrtok_dir_opts &opts);
// Copies a token directory (cp -a of its contents).
int kyrtok_copy_dir(const std::string &from, const std::string &to);
// Writes dir/softhsm2.conf naming dir/tokens; returns its path.
std::string kyrtok_conf_path(const std::string &dir);

// Initializes SoftHSM on dir and serves /dev/kyrf of sim.
int kyrtok_start(kyrsim *sim, const std::string &dir, kyrtok **out);
// Stops serving, closes every card session and finalizes SoftHSM.
int kyrtok_stop(kyrtok *tok);

// ---- test hooks (cmd 0: every command) ----

// The command is answered with rv and no token work.
void kyrtok_force_rv(kyrtok *tok, uint32_t cmd, uint32_t rv);
// The ioctl fails with err (the caller sees -1 and errno).
void kyrtok_fail_errno(kyrtok *tok, uint32_t cmd, int err);
// After the work, the 32-bit word at byte offset off of the block written
// back to the caller is value.
void kyrtok_rewrite_word(kyrtok *tok, uint32_t cmd, uint32_t off, uint32_t value);
// Sleeps ms before the work.
void kyrtok_set_delay(kyrtok *tok, uint32_t cmd, int ms);
void kyrtok_clear_hooks(kyrtok *tok);

// Every command received, in order of arrival.
struct kyrtok_call {
    uint32_t cmd = 0;
    int file = -1;
    std::vector<uint8_t> block;   // the whole block as received
    uint32_t rv = 0;              // the answer (0 with an errno)
    int err = 0;
    long start = 0, end = 0;      // sequence numbers of arrival and answer
};
std::vector<kyrtok_call> kyrtok_calls(kyrtok *tok);
void kyrtok_clear_calls(kyrtok *tok);
// Largest number of commands among cmds that ran at the same time.
int kyrtok_max_overlap(kyrtok *tok, const std::vector<uint32_t> &cmds);

// Card sessions open (file -1: all files).
int kyrtok_sessions(kyrtok *tok, int file = -1);

#endif  // KYRTOK_H
