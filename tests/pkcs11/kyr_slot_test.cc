// kyr_slot, the 32-bit slot tool, under qemu-i386-static through the
// interposer against the simulated card's token.  Its system-log lines are
// read from a log socket of the test's own: the tool runs in a mount
// namespace where /dev is a directory holding that socket (and /dev/null).
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "p11_fixture.h"

namespace {

const char *const kSlot = KYR_BUILD_DIR "/tools/kyr_slot/kyr_slot";

class KyrSlot : public P11Test {
protected:
    void TearDown() override
    {
        if (log_fd >= 0)
            close(log_fd);
        P11Test::TearDown();
    }
    // Runs kyr_slot with /dev/log served by this test; returns its exit code.
    int run_logged(std::string *log)
    {
        if (system("unshare -m true >/dev/null 2>&1") != 0) {
            ADD_FAILURE() << "a mount namespace is needed to read the tool's system log";
            return -1;
        }
        std::string dev = dir + "/dev";
        mkdir(dev.c_str(), 0755);
        (void)!system(("touch '" + dev + "/null'").c_str());
        log_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        snprintf(sa.sun_path, sizeof sa.sun_path, "%s/log", dev.c_str());
        EXPECT_EQ(0, bind(log_fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa)) << strerror(errno);
        std::string script = "mount --bind /dev/null '" + dev + "/null' && mount --bind '" + dev +
                             "' /dev && exec /usr/bin/qemu-i386-static '" + kSlot + "'";
        p11_run r = run({"/usr/bin/unshare", "-m", "/bin/sh", "-c", script});
        pollfd p{log_fd, POLLIN, 0};
        char buf[512];
        while (poll(&p, 1, 0) == 1) {
            ssize_t n = recv(log_fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            log->append(buf, static_cast<size_t>(n));
            log->push_back('\n');
        }
        EXPECT_EQ("", r.err);
        return r.code;
    }
    int log_fd = -1;
};

TEST_F(KyrSlot, ExitStatusIsTheNumberOfSlots)
{
    p11_run r = run({kSlot});
    EXPECT_EQ(2, r.code) << r.err;
    EXPECT_EQ("", r.out);
    std::vector<kyrtok_call> got = received(KYR_CMD_SLOT_LIST);
    ASSERT_EQ(1u, got.size());
    SlotList_Args a;
    ASSERT_EQ(sizeof a, got[0].block.size());
    memcpy(&a, got[0].block.data(), sizeof a);
    EXPECT_EQ(32u, a.count);
    EXPECT_EQ(0u, a.length_only);
    EXPECT_EQ(0u, a.unused);
}

TEST_F(KyrSlot, NoDeviceNodeLogsAndExitsZero)
{
    ASSERT_EQ(0, kyrsim_set_node(sim, KSP_DEV_KYRF, false, 0));
    std::string log;
    EXPECT_EQ(0, run_logged(&log));
    // user facility, warning priority
    EXPECT_NE(std::string::npos, log.find("<12>")) << log;
    EXPECT_NE(std::string::npos, log.find("kyr_slot: unable to open KYR device.")) << log;
    EXPECT_TRUE(kyrtok_calls(tok).empty());
}

TEST_F(KyrSlot, FailedIoctlLogsAllBitsAndExitsZero)
{
    kyrtok_fail_errno(tok, KYR_CMD_SLOT_LIST, EIO);
    std::string log;
    EXPECT_EQ(0, run_logged(&log));
    EXPECT_NE(std::string::npos, log.find("<12>")) << log;
    EXPECT_NE(std::string::npos, log.find("Error code: ffffffff")) << log;
}

TEST_F(KyrSlot, CardErrorCodeIsLogged)
{
    kyrtok_force_rv(tok, KYR_CMD_SLOT_LIST, 0x30);
    std::string log;
    EXPECT_EQ(0, run_logged(&log));
    EXPECT_NE(std::string::npos, log.find("Error code: 30")) << log;
}

}  // namespace
