// kyrkiod start-up and shutdown through the card simulator: one thread per
// ".conf" keystore plus the control thread, their hellos and the outcomes
// the firmware can give, and SIGINT joining every thread and closing every
// descriptor.
#include "threads_daemon_fixture.h"

namespace {

using namespace kyrit;

TEST_F(DaemonTest, OneThreadPerKeystorePlusControlThreadSayHello)
{
    add_ks("alpha.host.{1}");
    add_ks("beta.host.{1}");
    write_file(ksdir + "/readme.txt", "not a keystore");
    start();
    std::string host = host_name();
    for (const char *ks : {"alpha.host.{1}", "beta.host.{1}", ""}) {
        kyrsim_hello h;
        ASSERT_EQ(0, hello(ks, &h)) << "hello of '" << ks << "'";
        EXPECT_EQ(ks, h.ksname);
        EXPECT_EQ(host, h.domain);
        EXPECT_EQ(0, h.result);
    }
    ASSERT_TRUE(log_has("Starting keystore I/O handler"));
    EXPECT_EQ(3, kyrsim_open_files(sim));
    // main thread + control thread + two keystore threads
    EXPECT_TRUE(wait_until([&] { return proc_entries(d.pid, "task") == 4; }));
    EXPECT_EQ(1, kyrsim_hello_count(sim, "alpha.host.{1}"));
    EXPECT_EQ(0, kyrsim_hello_count(sim, "readme.txt"));

    EXPECT_EQ(0, stop());
    // Every thread joined, every control-device file closed.
    EXPECT_EQ(3u, count_of(log(), " joined"));
    EXPECT_EQ(0, kyrsim_wait_no_files(sim, 10000));
    EXPECT_NE(std::string::npos, log().find("Caught Interrupt signal"));
    expect_sanitizers_quiet();
}

TEST_F(DaemonTest, HelloRefusalsEndOnlyTheirThreads)
{
    add_ks("gone");
    add_ks("refused");
    add_ks("kept");
    ASSERT_EQ(0, kyrsim_set_hello_answer(sim, "gone", ENOENT));
    ASSERT_EQ(0, kyrsim_set_hello_answer(sim, "refused", EACCES));
    start();
    ASSERT_TRUE(log_has("Firmware does not handle keystore gone"));
    ASSERT_TRUE(log_has("Firmware rejected keystore refused: Permission denied"));
    ASSERT_EQ(0, hello("kept"));
    ASSERT_EQ(0, hello(""));
    // The firmware's "not mine" is not reported as a failure; a refusal is.
    std::string text = log();
    EXPECT_EQ(std::string::npos,
              text.find("Firmware reports failure on submitted ioctl: No such file or directory"));
    EXPECT_NE(std::string::npos,
              text.find("Firmware reports failure on submitted ioctl: Permission denied"));
    // The ended threads are joined by the supervision loop.
    EXPECT_TRUE(log_count(" joined", 2));
    EXPECT_TRUE(wait_until([&] { return proc_entries(d.pid, "task") == 3; }));
    EXPECT_EQ(0, stop());
    EXPECT_EQ(0, kyrsim_wait_no_files(sim, 10000));
    expect_sanitizers_quiet();
}

TEST_F(DaemonTest, HelloDeferredByCardStillServes)
{
    add_ks("ks");
    // Fault bit 2: the card skips hellos, the device answers 73.
    ASSERT_EQ(0, kyrsim_card_set_faults(0, 0x4));
    start();
    kyrsim_hello h;
    ASSERT_EQ(0, hello("ks", &h));
    EXPECT_EQ(73, h.result);
    ASSERT_TRUE(log_count("Firmware/Driver mismatch: thread will enter STANDBY mode", 2));
    // Both threads stay and serve.
    EXPECT_TRUE(wait_until([&] { return proc_entries(d.pid, "task") == 3; }));
    EXPECT_EQ(0, stop());
    expect_sanitizers_quiet();
}

TEST_F(DaemonTest, ControlThreadRefusedByFirmware)
{
    add_ks("ks");
    ASSERT_EQ(0, kyrsim_set_hello_answer(sim, "", EIO));
    start();
    ASSERT_TRUE(log_has("Control thread failed HELLO: Input/output error"));
    ASSERT_TRUE(log_has("Control thread exiting: 0x5"));
    ASSERT_EQ(0, hello("ks"));
    EXPECT_EQ(0, stop());
    expect_sanitizers_quiet();
}

TEST_F(DaemonTest, NoKeystoresStillStartsControlThread)
{
    start();
    ASSERT_EQ(0, hello(""));
    EXPECT_EQ(1, kyrsim_open_files(sim));
    EXPECT_EQ(0, stop());
    EXPECT_EQ(0, kyrsim_wait_no_files(sim, 10000));
}

}  // namespace
