// Card simulator and its test API.
//
// A test starts the simulator in-process (one per process: the card model
// behind it is a singleton), starts a production binary as a child with the
// device interposer preloaded, and then plays the card's firmware: it waits
// for the daemon's hellos, posts upcalls, collects what the daemon answers
// and scripts the firmware's replies.  Every wait takes a time-out in
// milliseconds and returns ETIME instead of hanging; every function returns
// 0 or an errno value.
//
//   kyrsim *sim = nullptr;
//   ASSERT_EQ(0, kyrsim_start(kyrsim_opts{}, &sim));
//   kyrsim_child d;
//   ASSERT_EQ(0, kyrsim_spawn(sim, {{kyrkiod, "-F", "-f", conf}}, &d));
//   ASSERT_EQ(0, kyrsim_wait_hello(sim, "A", 10000));
//   kyrsim_msg w = kyrsim_msg_make(DB_USER_WRITE, "A");
//   w.flags = DBM_FLAG_MORE;
//   kyrsim_msg_add_user(&w, id, data);
//   ASSERT_EQ(0, kyrsim_queue_part(sim, "A", part2));   // reply to answer 1
//   ASSERT_EQ(0, kyrsim_post(sim, "A", w));
//   std::vector<kyrsim_msg> got;
//   ASSERT_EQ(0, kyrsim_collect(sim, "A", 10000, &got)); // 2 DB_RESPONSEs
//   kyrsim_stop(sim);                                   // kills children
//
// Messages are built and parsed by an encoder of the simulator's own
// (host struct <-> network bytes), independent of the daemon's conversion.
#ifndef KYRSIM_H
#define KYRSIM_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../../daemon/core/dbm_msg.h"
#include "../interpose/kyrsim_proto.h"
#include "qelmodel.h"

// ---------------------------------------------------------------- simulator

struct kyrsim;  // opaque

struct kyrsim_opts {
    int cards = 1;             // cards 0 .. cards-1 are present (0..32)
    std::string socket_path;   // empty: a unique path under $TMPDIR or /tmp
};

// Starts the simulator: card model, control-device core, listening socket.
// EBUSY when a simulator already runs in this process.
int kyrsim_start(const kyrsim_opts &opts, kyrsim **out);
// Kills children still running (SIGKILL), closes every connection, runs the
// close path of every open file, stops the threads and frees everything.
// Also removes the socket.  Safe with nullptr.
int kyrsim_stop(kyrsim *sim);
struct kyrsim_deleter {
    void operator()(kyrsim *s) const { kyrsim_stop(s); }
};
using kyrsim_ptr = std::unique_ptr<kyrsim, kyrsim_deleter>;

const char *kyrsim_socket(const kyrsim *sim);
// "<build>/testbed/interpose/$LIB/libkyrinterpose.so" (the loader expands
// $LIB for 64-bit and 32-bit programs alike).
std::string kyrsim_preload();
// Environment entries that route a program's devices to this simulator:
// KYRSIM_SOCKET, LD_PRELOAD and ASAN_OPTIONS=verify_asan_link_order=0.
std::vector<std::string> kyrsim_child_env(const kyrsim *sim);

// Device nodes as the interposer sees them (dev KSP_DEV_QELCTL or
// KSP_DEV_KYRF): absent nodes give ENOENT to open/access, a mode without the
// wanted R_OK/W_OK bits (as in access(2)) gives EACCES.  Default: present,
// R_OK|W_OK.
int kyrsim_set_node(kyrsim *sim, int dev, bool present, int mode);

// Open files of the control device currently held by programs.
int kyrsim_open_files(kyrsim *sim);
// Commands currently running in the simulator.
int kyrsim_active_calls(kyrsim *sim);
// Waits until no file is open (all programs closed or died and every close
// path ran): 0 or ETIME.
int kyrsim_wait_no_files(kyrsim *sim, long timeout_ms);
// Close paths run so far (files closed by program or hang-up).
long kyrsim_closes(kyrsim *sim);

// Token device /dev/kyrf.  Without a handler every command is refused the
// way the token device refuses what it does not know: the ioctl succeeds
// and returns CKR_FUNCTION_NOT_SUPPORTED (0x54).  A handler answers a
// command: *rval is the ioctl's result, a non-zero return an errno.  Inside
// a handler, kyrsim_copyin/kyrsim_copyout reach the calling program's
// memory (EFAULT for a bad address).
typedef int (*kyrsim_token_fn)(void *ctx, int file, uint32_t cmd, uint64_t arg, int64_t *rval);
void kyrsim_set_token_handler(kyrsim *sim, kyrsim_token_fn fn, void *ctx);
// Called (with the handler's ctx) when an open file of /dev/kyrf is closed,
// by the program or by its end, once no command runs on it any more.
typedef void (*kyrsim_token_close_fn)(void *ctx, int file);
void kyrsim_set_token_close(kyrsim *sim, kyrsim_token_close_fn fn);
// Removes the handler and the close hook together and returns once none
// of their calls is under way, so the model may be freed at once (a
// command whose caller does not answer the handler's memory requests
// within 2 s is cut off).  Not to be called from inside either.
void kyrsim_clear_token(kyrsim *sim);
int kyrsim_copyin(uint64_t uaddr, void *kaddr, size_t len);
int kyrsim_copyout(const void *kaddr, uint64_t uaddr, size_t len);
#define KYRSIM_CKR_FUNCTION_NOT_SUPPORTED 0x54

// ------------------------------------------------------------------- cards

// Runs fn on the card record under the model lock (set fault flags,
// versions, codes...; see qelmodel.h).  ENOENT for an absent instance.
int kyrsim_card_update(int instance, const std::function<void(qelmodel_card_t &)> &fn);
int kyrsim_card_set_faults(int instance, uint32_t fault_flags);
// Makes an RSA key with OpenSSL (bits, public exponent 65537) and installs
// its public blob in the card; returns modulus and exponent big-endian.
int kyrsim_card_make_rsa_key(int instance, int bits, std::vector<uint8_t> *modulus,
                             std::vector<uint8_t> *exponent);
// Installs a public-key blob built from the given parts.
int kyrsim_card_set_key(int instance, const std::vector<uint8_t> &modulus,
                        const std::vector<uint8_t> &exponent);

// ------------------------------------------------------------ child process

struct kyrsim_spawn_opts {
    std::vector<std::string> argv;  // argv[0] is the program's path
    std::vector<std::string> env;   // extra "NAME=value" (win over inherited)
    std::string cwd;                // empty: unchanged
    bool interpose = true;          // preload the interposer, route devices
    std::string out_path;           // stdout file; empty: a temp file
    std::string err_path;           // stderr file; empty: a temp file
    std::string stdin_path;         // empty: /dev/null
    bool inherit_output = false;    // write to this process's stdout/stderr
};

struct kyrsim_child {
    pid_t pid = -1;
    std::string out_path, err_path;
    bool exited = false;    // reaped (by kyrsim_wait_child)
    int status = 0;         // waitpid status once reaped
};

// Starts a child.  A 32-bit ELF program runs under qemu-i386-static.
int kyrsim_spawn(kyrsim *sim, const kyrsim_spawn_opts &opts, kyrsim_child *child);
// Waits for the child to end: 0 (child->status set) or ETIME.
int kyrsim_wait_child(kyrsim_child *child, long timeout_ms);
// Sends a signal (no reaping).  ESRCH when already reaped.
int kyrsim_signal_child(kyrsim_child *child, int sig);
// SIGKILL and reap.
int kyrsim_kill_child(kyrsim_child *child);
// Exit code of a normally exited child, else -1.
int kyrsim_exit_code(const kyrsim_child &child);
std::string kyrsim_child_stdout(const kyrsim_child &child);
std::string kyrsim_child_stderr(const kyrsim_child &child);
// Waits until the file contains text (e.g. a log line): 0 or ETIME.
int kyrsim_wait_file_contains(const std::string &path, const std::string &text, long timeout_ms);
std::string kyrsim_read_file(const std::string &path);

// ------------------------------------------------------------------ messages

// One record of a user (20-byte ID) or object/log (8-byte ID) message.
struct kyrsim_rec {
    std::vector<uint8_t> id;
    std::vector<uint8_t> data;
    std::optional<int32_t> len;   // length on the wire; absent: data.size()
};

// A message in host terms.  Which fields travel depends on the family of
// the type (user, object/log, file, keystore, hello, handshake, header).
struct kyrsim_msg {
    uint32_t type = 0;
    uint32_t handle = 0;
    uint32_t ldom = 0;
    int32_t status = 0;
    uint32_t flags = 0;
    int32_t extent = DBM_MAX_MSG;
    std::optional<int32_t> paramSize;   // absent: computed by the encoder
    std::string ksname;          // keystore name, or file name (file family)
    std::string domain;          // hello
    std::vector<uint8_t> owner;  // object/log: 20 bytes (empty = zero)
    std::optional<int32_t> count;       // nusers / nobjs; absent: recs.size()
    std::vector<kyrsim_rec> recs;
    uint32_t filesize = 0;       // file family
    std::vector<uint8_t> filedata;
    uint32_t kstype = 0;         // DB_INIT, DB_CHECK, DB_JOIN
    std::string newname;         // DB_RENAME
    uint32_t hs[2] = {0, 0};     // DB_HANDSHAKE words
    std::vector<uint8_t> raw;    // network-order bytes (set by decode)
};

enum kyrsim_family {
    KYRSIM_FAM_HEADER, KYRSIM_FAM_HELLO, KYRSIM_FAM_USER, KYRSIM_FAM_OBJ,
    KYRSIM_FAM_FILE, KYRSIM_FAM_KEYSTORE, KYRSIM_FAM_HANDSHAKE, KYRSIM_FAM_UNKNOWN
};
int kyrsim_family_of(uint32_t type);
const char *kyrsim_type_name(uint32_t type);   // "DB_USER_WRITE", or "0x.."

kyrsim_msg kyrsim_msg_make(uint32_t type, const std::string &ksname);
void kyrsim_msg_add_user(kyrsim_msg *m, const std::vector<uint8_t> &id20,
                         const std::vector<uint8_t> &data);
// Object ID as the two words shown "%x/%d".
void kyrsim_msg_add_obj(kyrsim_msg *m, uint32_t id_hi, uint32_t id_lo,
                        const std::vector<uint8_t> &data);
// A file or configuration message carrying data; filesize = total.
void kyrsim_msg_set_file(kyrsim_msg *m, uint32_t filesize, const std::vector<uint8_t> &data);
std::vector<uint8_t> kyrsim_user_id(const std::string &text);  // 20 bytes, zero-padded
// Host struct -> network bytes (paramSize bytes long, at least 28).
// EINVAL when the message would pass DBM_MAX_MSG.  A count, record length
// or paramSize that is given goes on the wire as it stands, negative or
// not matching the records: only an absent one is computed.
int kyrsim_msg_encode(const kyrsim_msg &m, std::vector<uint8_t> *out);
// Network bytes -> host struct; raw keeps the bytes.  EINVAL (message
// shorter than its header or records passing its end; what was parsed is
// kept).
int kyrsim_msg_decode(const uint8_t *p, size_t n, kyrsim_msg *m);
// One line an operator can read: "DB_RESPONSE ks=A status=0 flags=0x0 ...".
std::string kyrsim_msg_describe(const kyrsim_msg &m);

// ----------------------------------------------------------------- firmware

// Answer to hellos of keystore ks ("" = the control thread): 0 accepts, any
// other value is put in the reply's status (ENOENT: the firmware does not
// handle this keystore).  instance -1: every card.  (Status 73 arises in the
// control device when cards have fault bit 2: kyrsim_card_set_faults.)
int kyrsim_set_hello_answer(kyrsim *sim, const std::string &ks, int32_t status, int instance = -1);

struct kyrsim_hello {
    std::string ksname;
    std::string domain;
    int result = 0;      // the control-device command's code (0, 73, ENOENT...)
    int caller = -1;     // the open file that said hello
};
// Waits for the next hello of keystore ks not yet consumed by a wait; the
// keystore is registered when this returns with result 0 or 73.  (Hellos
// are seen on the commands of programs served through the interposer.)
int kyrsim_wait_hello(kyrsim *sim, const std::string &ks, long timeout_ms,
                      kyrsim_hello *out = nullptr);
// Hellos seen for ks (consumed or not).
int kyrsim_hello_count(kyrsim *sim, const std::string &ks);

// Posts an upcall to the thread registered for ks.  A zero handle gets the
// card instance in its top byte and a sequence number below.  ENOENT when
// nothing is registered under ks.
int kyrsim_post(kyrsim *sim, const std::string &ks, const kyrsim_msg &m, int instance = 0);
int kyrsim_post_raw(kyrsim *sim, const std::string &ks, const std::vector<uint8_t> &bytes);
// The firmware's reply to the daemon's next message for ks is this message
// (the next part of a multi-part write) instead of an acceptance.  FIFO.
int kyrsim_queue_part(kyrsim *sim, const std::string &ks, const kyrsim_msg &next, int instance = 0);
// The nth (1 = next) message of the daemon for ks from now is refused with
// status; the ones before are accepted.
int kyrsim_queue_refusal(kyrsim *sim, const std::string &ks, int nth, int32_t status);
// Drops queued parts and refusals of ks.
void kyrsim_clear_queue(kyrsim *sim, const std::string &ks);

// Next message the daemon sent for ks (push or response; hellos and
// standbys are not in here): 0 or ETIME.
int kyrsim_next_msg(kyrsim *sim, const std::string &ks, long timeout_ms, kyrsim_msg *out);
// Collects the daemon's messages for ks until the exchange ends: a push or
// response without DBM_FLAG_MORE whose reply was not a queued next part.
int kyrsim_collect(kyrsim *sim, const std::string &ks, long timeout_ms,
                   std::vector<kyrsim_msg> *out);
// kyrsim_post + kyrsim_collect.
int kyrsim_exchange(kyrsim *sim, const std::string &ks, const kyrsim_msg &m, long timeout_ms,
                    std::vector<kyrsim_msg> *out);
// Waits until the thread of ks waits in a DB_STANDBY entered after the last
// upcall posted to ks (i.e. it finished with that upcall).
int kyrsim_wait_standby(kyrsim *sim, const std::string &ks, long timeout_ms);
// Messages of ks received and not yet collected.
int kyrsim_pending(kyrsim *sim, const std::string &ks);

// Wire record: every message in both directions, byte for byte in network
// order.  to_fw: daemon -> firmware (hello, standby header, push,
// response); otherwise firmware -> daemon (upcall, reply).
struct kyrsim_wire {
    bool to_fw = false;
    int instance = -1;      // card, -1 for upcalls and standbys
    int caller = -1;        // open file of the daemon's thread
    std::string ks;         // keystore of the caller
    std::vector<uint8_t> bytes;
};
std::vector<kyrsim_wire> kyrsim_wire_log(kyrsim *sim);
void kyrsim_wire_clear(kyrsim *sim);

// ------------------------------------------------------------ script runner

// Runs a firmware script (the language is described in sim_script.cc) on a
// started simulator, printing each exchange to out.  prog: the program the
// script drives (started by the caller or by the script's "run"), may be
// nullptr.  Returns 0 when every step passed; *failure gets the reason.
int kyrsim_run_script(kyrsim *sim, const std::string &text, const std::string &name, FILE *out,
                      kyrsim_child *prog, std::string *failure);

#endif  // KYRSIM_H
