// Simulator state shared by the server, the firmware model and the child
// helpers.  Internal to kyrsim_lib.
#ifndef KYRSIM_INTERNAL_H
#define KYRSIM_INTERNAL_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "kyrsim.h"
#include "qelctl_core.h"

struct sim_call;

// One open file of a device node = one file connection, which is also
// the file's call channel.
struct sim_file {
    uint32_t id = 0;
    int dev = 0;                 // KSP_DEV_*
    int fd = -1;                 // the file connection
    pid_t pid = 0;               // the process that opened it
    qelctl_dev_t devno = 0;      // control device number (minor = caller)
    int minor = -1;
    int active = 0;              // commands running on this file
    uint32_t gen = 0;            // 31 bits; changes when fd is replaced,
                                 // so that stale events are told apart
    bool chan_busy = false;      // a worker serves the channel (from the
                                 // first byte of a command to its end)
    sim_call *chan_call = nullptr;   // the command running on the channel
    bool replacing = false;      // a new connection takes the channel's place
    bool closing = false;
};

// One running command, on the file's channel or a call connection.
struct sim_call {
    uint64_t id = 0;
    int fd = -1;                 // the connection it runs on
    bool on_channel = false;
    std::shared_ptr<sim_file> file;
    uint32_t cmd = 0;
    uint64_t arg = 0;
    int ncopyin = 0;             // copies from the caller so far
    uint32_t upcall_type = 0;    // QELCTLUPCALL: type of the message
    std::string hello_ks;        // QELCTLUPCALL hello: its keystore name
    std::string hello_domain;
    bool standby = false;        // waiting (or about to wait) for an upcall
    bool hung = false;           // the caller hung up
};

// A firmware reply scripted by a test.
struct sim_reply {
    enum { ACCEPT, REFUSE, PART } kind = ACCEPT;
    int32_t status = 0;
    std::vector<uint8_t> bytes;  // PART: the message, network order
};

struct sim_inbox_item {
    kyrsim_msg msg;
    bool ended = false;          // last message of its exchange
};

// Firmware-side state of one keystore name.
struct sim_ks {
    std::deque<sim_inbox_item> inbox;
    std::deque<kyrsim_hello> hellos;
    int hello_total = 0;
    std::deque<sim_reply> queue;
    std::map<int, int32_t> hello_answer;   // instance (-1: all) -> status
    long standby_seq = 0;        // standbys entered by threads of this ks
    long post_mark = 0;          // standby_seq when the last upcall was posted
};

struct sim_node {
    bool present = true;
    int mode = 6;                // R_OK | W_OK
};

struct kyrsim {
    std::string path;
    int listen_fd = -1;
    int stop_pipe[2] = {-1, -1};
    int epfd = -1;
    qelctl_dip_t *dip = nullptr;
    std::thread acceptor, monitor;

    std::mutex mu;
    std::condition_variable cv;
    bool stopping = false;
    int workers = 0;             // detached worker threads running
    int idle = 0;                // of those, waiting for a task
    std::deque<std::function<void()>> tasks;   // connections to serve
    std::map<uint32_t, std::shared_ptr<sim_file>> files;
    uint32_t next_file = 1;
    std::map<uint64_t, sim_call *> calls;
    uint64_t next_call = 1;
    long closes = 0;
    sim_node nodes[3];
    kyrsim_token_fn token_fn = nullptr;
    void *token_ctx = nullptr;
    kyrsim_token_close_fn token_close = nullptr;
    int token_running = 0;       // handler or close calls under way

    // Firmware model.
    std::map<int, std::string> caller_ks;
    std::map<std::string, sim_ks> ks;
    std::vector<kyrsim_wire> wire;
    uint32_t handle_seq = 0;

    std::vector<pid_t> children;
};

// Firmware hook installed in the card model (sim_fw.cc).
int sim_fw_hook(void *ctx, int instance, int caller, const void *msg, size_t len, void **reply,
                size_t *replylen);
// Called with sim->mu held when a command of the control device is a
// DB_STANDBY (spy on the header copy).
void sim_fw_standby(kyrsim *sim, sim_call *call, const uint8_t *hdr);
// Called with sim->mu held when a hello command ended with code rc.
void sim_fw_hello_done(kyrsim *sim, sim_call *call, int rc);
// Takes the next message the daemon sent for ks: 0 or ETIME at dl.
int sim_next_item(kyrsim *sim, const std::string &ks, std::chrono::steady_clock::time_point dl,
                  sim_inbox_item *out);
// Encodes m, giving a zero handle the card instance and a sequence number.
int sim_encode_with_handle(kyrsim *sim, const kyrsim_msg &m, int instance,
                           std::vector<uint8_t> *out);
// Queues encoded bytes as the next part for ks.
int sim_queue_part_raw(kyrsim *sim, const std::string &ks, const std::vector<uint8_t> &bytes);
// Children still running are killed and reaped (sim_child.cc).
void sim_kill_children(kyrsim *sim);

#endif  // KYRSIM_INTERNAL_H
