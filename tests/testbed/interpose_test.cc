// Real child processes (64-bit, and 32-bit under qemu-i386-static) talking
// to the simulator through the device interposer.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <string>

#include "compat_user.h"
#include "kyrsim.h"

namespace {

const long kWait = 20000;

std::string client(bool bits32)
{
    return std::string(KYR_BUILD_DIR) + "/tests/testbed/" + (bits32 ? "qelclient32" : "qelclient64");
}

class InterposeTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { ASSERT_EQ(0, kyrsim_start(kyrsim_opts{}, &sim_)); }
    void TearDown() override { kyrsim_stop(sim_); }

    void spawn(const std::vector<std::string> &steps, kyrsim_child *c)
    {
        kyrsim_spawn_opts o;
        o.argv.push_back(client(GetParam()));
        o.argv.insert(o.argv.end(), steps.begin(), steps.end());
        ASSERT_EQ(0, kyrsim_spawn(sim_, o, c));
    }
    // Waits for a line of the child's output; fails with what it printed.
    void expect_line(const kyrsim_child &c, const std::string &line)
    {
        EXPECT_EQ(0, kyrsim_wait_file_contains(c.out_path, line + "\n", kWait))
            << "missing \"" << line << "\" in:\n" << kyrsim_child_stdout(c)
            << kyrsim_child_stderr(c);
    }
    void expect_exit0(kyrsim_child *c)
    {
        ASSERT_EQ(0, kyrsim_wait_child(c, kWait));
        EXPECT_EQ(0, kyrsim_exit_code(*c)) << kyrsim_child_stderr(*c);
    }
    static bool detached(int caller)
    {
        qelmodel_event_t ev[QELMODEL_EVENTS];
        int n = qelmodel_events(ev, QELMODEL_EVENTS);
        for (int i = 0; i < n; i++)
            if (ev[i].kind == QM_EV_UPCALL_DETACH && ev[i].caller == caller)
                return true;
        return false;
    }

    kyrsim *sim_ = nullptr;
};

// The control-device module has no 32-bit compatibility operation, so a
// 32-bit program reaches none of its commands (see
// ControlDeviceRefuses32BitCallers); its scenarios run for 64-bit callers.
#define CONTROL_DEVICE_64_ONLY()                                                  \
    do {                                                                          \
        if (GetParam())                                                           \
            GTEST_SKIP() << "the control device refuses 32-bit callers (ENOTTY)"; \
    } while (0)

// A token model answering through the caller's memory: block 0 in, block
// 0 + 1000 out (optionally after a pause, so that commands are caught in
// the middle by cancellations).
struct token_seen {
    uint32_t cmd = 0;
    uint32_t in = 0;
    bool pause = false;
};

int token_handler(void *ctx, int, uint32_t cmd, uint64_t arg, int64_t *rval)
{
    token_seen *seen = static_cast<token_seen *>(ctx);
    uint32_t v = 0;
    seen->cmd = cmd;
    if (kyrsim_copyin(arg, &v, sizeof v) != 0)
        return EFAULT;
    seen->in = v;
    if (seen->pause)
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    v += 1000;
    if (kyrsim_copyout(&v, arg, sizeof v) != 0)
        return EFAULT;
    *rval = 0;
    return 0;
}

TEST_P(InterposeTest, StandbyAnsweredByUpcallThenResponseAndClose)
{
    CONTROL_DEVICE_64_ONLY();
    kyrsim_child c;
    spawn({"access", "open", "hello:A", "standby", "respond:0", "close"}, &c);
    kyrsim_hello h;
    ASSERT_EQ(0, kyrsim_wait_hello(sim_, "A", kWait, &h));
    EXPECT_EQ(0, h.result);
    EXPECT_EQ("testhost", h.domain);
    ASSERT_EQ(0, kyrsim_wait_standby(sim_, "A", kWait));

    kyrsim_msg up = kyrsim_msg_make(DB_USER_READ, "A");
    up.handle = 0x00000777;
    ASSERT_EQ(0, kyrsim_post(sim_, "A", up));
    std::vector<kyrsim_msg> got;
    ASSERT_EQ(0, kyrsim_collect(sim_, "A", kWait, &got));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(uint32_t(DB_RESPONSE), got[0].type);
    EXPECT_EQ(0x777u, got[0].handle);
    EXPECT_EQ("A", got[0].ksname);

    expect_line(c, "access rc=0 errno=0");
    expect_line(c, "hello rc=0 errno=0 status=0");
    expect_line(c, "standby rc=0 errno=0 type=2 ks=A handle=777 nusers=0");
    expect_line(c, "respond rc=0 errno=0 type=14 status=0");
    expect_line(c, "close rc=0");
    expect_exit0(&c);
    ASSERT_EQ(0, kyrsim_wait_no_files(sim_, kWait));
    EXPECT_TRUE(detached(h.caller));   // the close path ran
    EXPECT_EQ(0, kyrsim_active_calls(sim_));
}

TEST_P(InterposeTest, BadAddressGivesEfault)
{
    CONTROL_DEVICE_64_ONLY();
    kyrsim_child c;
    qelsim_kmem_stats_t before, after;
    qelsim_kmem_get_stats(&before);
    spawn({"open", "hello:A", "standby-bad", "respond-bad", "probe", "close"}, &c);
    expect_line(c, "standby-bad rc=-1 errno=14");
    // A message readable in part: the copy fails in its middle.
    expect_line(c, "respond-bad rc=-1 errno=14");
    // The file is still usable afterwards: nothing was left busy.
    expect_line(c, "probe rc=0 errno=0 ndevs=1");
    expect_exit0(&c);
    ASSERT_EQ(0, kyrsim_wait_no_files(sim_, kWait));
    qelsim_kmem_get_stats(&after);
    EXPECT_EQ(before.outstanding, after.outstanding);
    // The faulting response never reached the firmware.
    for (const kyrsim_wire &w : kyrsim_wire_log(sim_))
        EXPECT_NE(uint32_t(DB_RESPONSE), w.to_fw && w.bytes.size() >= 4 ? uint32_t(w.bytes[3]) : 0u);
}

TEST_P(InterposeTest, SecondCommandDuringStandbyIsBusy)
{
    CONTROL_DEVICE_64_ONLY();
    kyrsim_child c;
    spawn({"open", "hello:A", "busy", "close"}, &c);
    ASSERT_EQ(0, kyrsim_wait_hello(sim_, "A", kWait));
    ASSERT_EQ(0, kyrsim_wait_standby(sim_, "A", kWait));
    ASSERT_EQ(0, kyrsim_signal_child(&c, SIGUSR1));
    expect_line(c, "probe rc=-1 errno=16 ndevs=0");
    ASSERT_EQ(0, kyrsim_post(sim_, "A", kyrsim_msg_make(DB_STATUS, "A")));
    expect_line(c, "standby rc=0 errno=0 type=16 ks=A handle=1 nusers=0");
    expect_exit0(&c);
}

TEST_P(InterposeTest, CancelledWaitFreesTheFile)
{
    CONTROL_DEVICE_64_ONLY();
    kyrsim_child c;
    spawn({"open", "hello:A", "cancel", "probe", "standby", "close"}, &c);
    ASSERT_EQ(0, kyrsim_wait_hello(sim_, "A", kWait));
    ASSERT_EQ(0, kyrsim_wait_standby(sim_, "A", kWait));
    ASSERT_EQ(0, kyrsim_signal_child(&c, SIGUSR1));
    expect_line(c, "cancelled yes");
    // As with the kernel, the cancelled command has ended by the time the
    // thread is joined: the next command on the file is not refused busy.
    expect_line(c, "probe rc=0 errno=0 ndevs=1");
    // The same file waits again: the cancelled command ended in the
    // simulator and left the file not busy.
    ASSERT_EQ(0, kyrsim_wait_standby(sim_, "A", kWait)) << kyrsim_child_stdout(c);
    ASSERT_EQ(0, kyrsim_post(sim_, "A", kyrsim_msg_make(DB_USER_READ, "A")));
    expect_line(c, "standby rc=0 errno=0 type=2 ks=A handle=1 nusers=0");
    expect_exit0(&c);
    EXPECT_EQ(std::string::npos, kyrsim_child_stdout(c).find("cancel-thread returned"));
}

// Threads cancelled at random points of a busy upcall service, over and
// over: every cancelled command leaves its file's channel in step (or has
// it replaced), so the process ends with the descriptors it began with and
// the file is left with no command running.
TEST_P(InterposeTest, CancellationAtAnyPointLeaksNothing)
{
    CONTROL_DEVICE_64_ONLY();
    const int kCancels = 1000;
    kyrsim_child c;
    spawn({"open", "hello:A", "cancel-storm:" + std::to_string(kCancels), "close"}, &c);
    ASSERT_EQ(0, kyrsim_wait_hello(sim_, "A", kWait));
    std::atomic<bool> done{false};
    std::thread firmware([&] {
        // A few upcalls queued at any time: enough to keep the client busy,
        // not a backlog that grows with the client's slowness.
        long posted = 0, delivered0 = qelmodel_upcalls_delivered();
        while (!done) {
            if (posted - (qelmodel_upcalls_delivered() - delivered0) < 4 &&
                kyrsim_post(sim_, "A", kyrsim_msg_make(DB_STATUS, "A")) == 0)
                posted++;
            else
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    int waited = kyrsim_wait_file_contains(c.out_path, "storm joined=", 300000);
    done = true;
    firmware.join();
    ASSERT_EQ(0, waited) << kyrsim_child_stdout(c) << kyrsim_child_stderr(c);
    expect_exit0(&c);
    std::string out = kyrsim_child_stdout(c);
    int joined = -1, before = -1, after = -2;
    ASSERT_EQ(3, sscanf(out.c_str() + out.find("storm joined="), "storm joined=%d fds before=%d after=%d",
                        &joined, &before, &after))
        << out;
    EXPECT_EQ(kCancels, joined);
    EXPECT_EQ(before, after) << "descriptors left behind by cancelled commands:\n" << out << kyrsim_child_stderr(c);
    EXPECT_EQ(0, kyrsim_active_calls(sim_));
}

// Closing the file under a waiting thread does not end the wait (the
// kernel keeps the file while the ioctl runs): the thread still receives
// the next upcall, the descriptor is closed for everything else, and the
// close path runs once the command has ended.
TEST_P(InterposeTest, CloseUnderAWaitLeavesItWaiting)
{
    CONTROL_DEVICE_64_ONLY();
    kyrsim_child c;
    spawn({"open", "hello:A", "close-waiting"}, &c);
    kyrsim_hello h;
    ASSERT_EQ(0, kyrsim_wait_hello(sim_, "A", kWait, &h));
    ASSERT_EQ(0, kyrsim_wait_standby(sim_, "A", kWait));
    ASSERT_EQ(0, kyrsim_signal_child(&c, SIGUSR1));
    expect_line(c, "closed under the wait rc=0");
    expect_line(c, "probe on the closed descriptor rc=-1 errno=9");
    EXPECT_EQ(1, kyrsim_open_files(sim_));
    ASSERT_EQ(0, kyrsim_post(sim_, "A", kyrsim_msg_make(DB_STATUS, "A")));
    expect_line(c, "standby rc=0 errno=0 type=16 ks=A handle=1 nusers=0");
    expect_exit0(&c);
    ASSERT_EQ(0, kyrsim_wait_no_files(sim_, kWait));
    EXPECT_TRUE(detached(h.caller));
    EXPECT_EQ(0, kyrsim_active_calls(sim_));
}

// ... until a signal ends the wait; the file is closed then.
TEST_P(InterposeTest, SignalEndsAWaitOnAClosedFile)
{
    CONTROL_DEVICE_64_ONLY();
    kyrsim_child c;
    spawn({"open", "hello:A", "close-waiting-signal", "pause"}, &c);
    kyrsim_hello h;
    ASSERT_EQ(0, kyrsim_wait_hello(sim_, "A", kWait, &h));
    ASSERT_EQ(0, kyrsim_wait_standby(sim_, "A", kWait));
    ASSERT_EQ(0, kyrsim_signal_child(&c, SIGUSR1));
    expect_line(c, "closed under the wait rc=0");
    expect_line(c, "standby rc=-1 errno=4 type=1 ks= handle=0 nusers=0");
    // The process lives on: the close path ran because the file was
    // closed, not because the program ended.
    ASSERT_EQ(0, kyrsim_wait_no_files(sim_, kWait));
    EXPECT_TRUE(detached(h.caller));
    EXPECT_EQ(0, kyrsim_active_calls(sim_));
    ASSERT_EQ(0, kyrsim_signal_child(&c, SIGUSR1));
    expect_exit0(&c);
}

// An open file waiting for an upcall costs one descriptor, as in the
// kernel, so a daemon can serve as many keystores through the simulator as
// through the kernel.
TEST_P(InterposeTest, WaitingFileCostsOneDescriptor)
{
    CONTROL_DEVICE_64_ONLY();
    const int kFiles = 40;
    kyrsim_child c;
    spawn({"waiters:" + std::to_string(kFiles)}, &c);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWait);
    while (kyrsim_active_calls(sim_) < kFiles && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(kFiles, kyrsim_active_calls(sim_)) << kyrsim_child_stdout(c);
    ASSERT_EQ(0, kyrsim_signal_child(&c, SIGUSR1));
    expect_exit0(&c);
    std::string out = kyrsim_child_stdout(c);
    int files = 0, fds = 0;
    ASSERT_EQ(2, sscanf(out.c_str(), "waiters %d descriptors %d", &files, &fds)) << out;
    EXPECT_EQ(kFiles, files);
    EXPECT_EQ(kFiles, fds) << out;
    ASSERT_EQ(0, kyrsim_wait_no_files(sim_, kWait));
}

// A 32-bit program opens the control device as the kernel lets it, and
// every command it issues is refused with ENOTTY before the module sees
// it: no hello reaches the firmware, the file is never busy.
TEST_P(InterposeTest, ControlDeviceRefuses32BitCallers)
{
    if (!GetParam())
        GTEST_SKIP() << "32-bit callers only";
    kyrsim_child c;
    spawn({"access", "open", "hello:A", "standby", "probe", "bind:0", "fw:16", "close"}, &c);
    expect_line(c, "access rc=0 errno=0");
    expect_line(c, "open rc=0 errno=0");
    expect_line(c, "hello rc=-1 errno=25 status=0");
    expect_line(c, "standby rc=-1 errno=25 type=1 ks= handle=0 nusers=0");
    expect_line(c, "probe rc=-1 errno=25 ndevs=0");
    expect_line(c, "bind rc=-1 errno=25");
    expect_line(c, "fw rc=-1 errno=25");
    expect_line(c, "close rc=0");
    expect_exit0(&c);
    ASSERT_EQ(0, kyrsim_wait_no_files(sim_, kWait));
    EXPECT_EQ(0, kyrsim_hello_count(sim_, "A"));
    EXPECT_EQ(0, kyrsim_active_calls(sim_));
}

// Token commands cancelled at random points, also in the middle of their
// memory exchanges: nothing is left behind and the file's channel stays in
// step (the next command gets its own answer).
TEST_P(InterposeTest, TokenCommandCancellationLeaksNothing)
{
    const int kCancels = GetParam() ? 200 : 1000;  // qemu-i386 is slow
    token_seen seen;
    seen.pause = true;
    kyrsim_set_token_handler(sim_, token_handler, &seen);
    kyrsim_child c;
    spawn({"kyrf-storm:" + std::to_string(kCancels)}, &c);
    ASSERT_EQ(0, kyrsim_wait_file_contains(c.out_path, "kyrf-storm joined=", 300000))
        << kyrsim_child_stdout(c) << kyrsim_child_stderr(c);
    expect_exit0(&c);
    std::string out = kyrsim_child_stdout(c);
    int joined = -1, before = -1, after = -2, rc = -1;
    unsigned blk0 = 0;
    ASSERT_EQ(5, sscanf(out.c_str() + out.find("kyrf-storm joined="),
                        "kyrf-storm joined=%d fds before=%d after=%d then rc=%d blk0=%u", &joined,
                        &before, &after, &rc, &blk0))
        << out;
    EXPECT_EQ(kCancels, joined);
    EXPECT_EQ(before, after) << "descriptors left behind by cancelled commands:\n" << out;
    EXPECT_EQ(0, rc);
    EXPECT_EQ(1007u, blk0);
    ASSERT_EQ(0, kyrsim_wait_no_files(sim_, kWait));
    EXPECT_EQ(0, kyrsim_active_calls(sim_));
}

TEST_P(InterposeTest, KilledWhileWaitingIsCleanedUp)
{
    CONTROL_DEVICE_64_ONLY();
    kyrsim_child c;
    spawn({"open", "hello:A", "standby"}, &c);
    kyrsim_hello h;
    ASSERT_EQ(0, kyrsim_wait_hello(sim_, "A", kWait, &h));
    ASSERT_EQ(0, kyrsim_wait_standby(sim_, "A", kWait));
    ASSERT_EQ(0, kyrsim_kill_child(&c));
    ASSERT_EQ(0, kyrsim_wait_no_files(sim_, kWait));
    EXPECT_EQ(0, kyrsim_active_calls(sim_));
    EXPECT_TRUE(detached(h.caller));
    EXPECT_EQ(0, qelmodel_upcall_waiting(h.caller));

    // The keystore registers again and is served by the new process.
    kyrsim_child c2;
    spawn({"open", "hello:A", "standby", "close"}, &c2);
    ASSERT_EQ(0, kyrsim_wait_hello(sim_, "A", kWait, &h));
    EXPECT_EQ(0, h.result);
    ASSERT_EQ(0, kyrsim_wait_standby(sim_, "A", kWait));
    ASSERT_EQ(0, kyrsim_post(sim_, "A", kyrsim_msg_make(DB_READ, "A")));
    expect_line(c2, "standby rc=0 errno=0 type=21 ks=A handle=1 nusers=0");
    expect_exit0(&c2);
}

TEST_P(InterposeTest, MissingAndForbiddenNodes)
{
    ASSERT_EQ(0, kyrsim_set_node(sim_, KSP_DEV_QELCTL, true, R_OK));
    kyrsim_child c;
    spawn({"access", "open"}, &c);
    expect_line(c, "access rc=-1 errno=13");
    expect_line(c, "open rc=-1 errno=13");
    expect_exit0(&c);

    ASSERT_EQ(0, kyrsim_set_node(sim_, KSP_DEV_QELCTL, false, 0));
    kyrsim_child c2;
    spawn({"access", "open"}, &c2);
    expect_line(c2, "access rc=-1 errno=2");
    expect_line(c2, "open rc=-1 errno=2");
    expect_exit0(&c2);
    EXPECT_EQ(0, kyrsim_open_files(sim_));
}

// The *at variants reach the simulator too (fortified: __openat_2 or
// __openat64_2).
TEST_P(InterposeTest, OpenatAndFaccessat)
{
    kyrsim_child c;
    spawn({"faccessat", "openat", "probe", "close"}, &c);
    expect_line(c, "faccessat rc=0 errno=0");
    expect_line(c, "openat rc=0 errno=0");
    expect_line(c, GetParam() ? "probe rc=-1 errno=25 ndevs=0" : "probe rc=0 errno=0 ndevs=1");
    expect_exit0(&c);
    ASSERT_EQ(0, kyrsim_wait_no_files(sim_, kWait));
    EXPECT_EQ(1, kyrsim_closes(sim_));
}

// The token device is served by a model that refuses every command the
// way the device refuses what it does not know: result 0x54.
TEST_P(InterposeTest, TokenDeviceRefusesCommands)
{
    kyrsim_child c;
    spawn({"kyrf"}, &c);
    expect_line(c, "kyrf open=0 rc=84 errno=0 blk0=7");
    expect_exit0(&c);
    ASSERT_EQ(0, kyrsim_wait_no_files(sim_, kWait));
}

// A token model installed by a test answers through the caller's memory.
TEST_P(InterposeTest, TokenHandlerReachesCallerMemory)
{
    token_seen seen;
    kyrsim_set_token_handler(sim_, token_handler, &seen);
    kyrsim_child c;
    spawn({"kyrf"}, &c);
    expect_line(c, "kyrf open=0 rc=0 errno=0 blk0=1007");
    expect_exit0(&c);
    ASSERT_EQ(0, kyrsim_wait_no_files(sim_, kWait));   // orders the handler's writes
    EXPECT_EQ(0xC0105801u, seen.cmd);
    EXPECT_EQ(7u, seen.in);
}

// Removing the token model waits for its calls under way (the model is
// freed right after, while a hang-up worker may still be in it), but not
// for ever: a handler waiting on a caller that no longer answers is cut off.
struct slow_model {
    std::atomic<int> entered{0};
    std::atomic<int> left{0};
};

void slow_close_fn(void *ctx, int)
{
    slow_model *m = static_cast<slow_model *>(ctx);
    m->entered = 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    m->left = 1;
}

int slow_handler(void *ctx, int, uint32_t, uint64_t arg, int64_t *rval)
{
    slow_model *m = static_cast<slow_model *>(ctx);
    m->entered = 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));   // caller stopped meanwhile
    uint32_t v = 0;
    int rc = kyrsim_copyin(arg, &v, sizeof v);
    m->left = 1;
    *rval = 0;
    return rc;
}

bool wait_flag(const std::atomic<int> &f)
{
    for (int i = 0; i < 2000 && !f; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return f;
}

TEST_P(InterposeTest, RemovingTokenModelWaitsForItsCalls)
{
    slow_model m;
    kyrsim_set_token_handler(sim_, nullptr, &m);
    kyrsim_set_token_close(sim_, slow_close_fn);
    kyrsim_child c;
    spawn({"kyrf"}, &c);
    ASSERT_TRUE(wait_flag(m.entered));
    kyrsim_clear_token(sim_);
    EXPECT_TRUE(m.left) << "the close hook was still running when it was removed";
    expect_exit0(&c);
}

TEST_P(InterposeTest, RemovingTokenModelCutsOffACallerThatNoLongerAnswers)
{
    slow_model m;
    kyrsim_set_token_handler(sim_, slow_handler, &m);
    kyrsim_child c;
    spawn({"kyrf"}, &c);
    ASSERT_TRUE(wait_flag(m.entered));
    ASSERT_EQ(0, kyrsim_signal_child(&c, SIGSTOP));
    std::atomic<int> cleared{0};
    std::thread t([&] {
        kyrsim_clear_token(sim_);
        cleared = 1;
    });
    for (int i = 0; i < 1000 && !cleared; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(cleared) << "removing the model waited for a stopped caller";
    kyrsim_kill_child(&c);   // ends the wait if it is still going on
    t.join();
    EXPECT_TRUE(m.left);
}

// Large transfers: the image arrives whole (1 MiB + 1 goes as 17 chunks),
// and an image running into unmapped memory fails with EFAULT and leaves
// nothing allocated.
TEST_P(InterposeTest, ImageTransfersArriveWholeOrFault)
{
    CONTROL_DEVICE_64_ONLY();
    const size_t size = 0x100001;
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < size; i++)
        image[i] = static_cast<uint8_t>(i * 7 % 251);
    uint8_t want[32];
    qelmodel_sha256(image.data(), size, want);
    qelsim_kmem_stats_t before, after;
    qelsim_kmem_get_stats(&before);

    kyrsim_child c;
    spawn({"open", "bind:0", "fw:1048577", "fw-bad", "close"}, &c);
    expect_line(c, "bind rc=0 errno=0");
    expect_line(c, "fw rc=0 errno=0");
    expect_line(c, "fw rc=-1 errno=14");
    expect_exit0(&c);
    ASSERT_EQ(0, kyrsim_wait_no_files(sim_, kWait));

    qelmodel_xfer_t x{};
    long n = 0;
    ASSERT_EQ(0, kyrsim_card_update(0, [&](qelmodel_card_t &card) {
        x = card.last_fw;
        n = card.n_fw;
    }));
    EXPECT_EQ(1, n);   // the faulting image never reached the card
    EXPECT_EQ(size, x.size);
    EXPECT_EQ(17, x.n_chunks);
    EXPECT_EQ(0, memcmp(want, x.sha256, 32));
    qelsim_kmem_get_stats(&after);
    EXPECT_EQ(before.outstanding, after.outstanding);
}

INSTANTIATE_TEST_SUITE_P(WordSize, InterposeTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return i.param ? std::string("Bits32") : std::string("Bits64");
                         });

// Without the simulator's variable the interposer changes nothing: the
// device node does not exist on this machine, and open says so.
TEST(InterposePassThrough, InactiveWithoutSocketVariable)
{
    kyrsim_child c;
    kyrsim_spawn_opts o;
    o.argv = {client(false), "open"};
    o.interpose = false;
    o.env = {"LD_PRELOAD=" + kyrsim_preload()};
    ASSERT_EQ(0, kyrsim_spawn(nullptr, o, &c));
    ASSERT_EQ(0, kyrsim_wait_child(&c, kWait));
    EXPECT_NE(std::string::npos, kyrsim_child_stdout(c).find("open rc=-1 errno=2\n"))
        << kyrsim_child_stdout(c);
}

}  // namespace
