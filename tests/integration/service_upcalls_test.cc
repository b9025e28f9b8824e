// The service loop of the production kyrkiod seen from the firmware's side:
// DB_GOODBYE, unsupported upcalls, handler failures answered with a
// DB_RESPONSE, an upcall of unknown type, DB_INIT on control and keystore
// threads, and DB_JOIN/DB_INIT never giving a keystore a second thread.
#include "threads_daemon_fixture.h"

namespace {

using namespace kyrit;

class Upcalls : public DaemonTest {
protected:
    void SetUp() override
    {
        DaemonTest::SetUp();
        add_ks("A");
        add_ks("B");
        start();
        ASSERT_EQ(0, hello("A"));
        ASSERT_EQ(0, hello("B"));
        ASSERT_EQ(0, hello(""));
        ASSERT_EQ(0, kyrsim_wait_standby(sim, "A", 20000));
        ASSERT_EQ(0, kyrsim_wait_standby(sim, "B", 20000));
        ASSERT_EQ(0, kyrsim_wait_standby(sim, "", 20000));
    }
    kyrsim_msg ks_msg(uint32_t type, const std::string &name, uint32_t handle, uint32_t kstype = 0)
    {
        kyrsim_msg m = kyrsim_msg_make(type, name);
        m.handle = handle;
        m.kstype = kstype;
        return m;
    }
    // Types of the daemon's messages to the firmware for ks since the mark.
    std::vector<uint32_t> sent_types(const std::string &ks, size_t from)
    {
        std::vector<uint32_t> v;
        auto wire = kyrsim_wire_log(sim);
        for (size_t i = from; i < wire.size(); i++)
            if (wire[i].to_fw && wire[i].ks == ks && wire[i].bytes.size() >= 4)
                v.push_back(uint32_t(wire[i].bytes[0]) << 24 | uint32_t(wire[i].bytes[1]) << 16 |
                            uint32_t(wire[i].bytes[2]) << 8 | wire[i].bytes[3]);
        return v;
    }
};

TEST_F(Upcalls, GoodbyeEndsTheThreadWithoutAnswer)
{
    size_t mark = kyrsim_wire_log(sim).size();
    ASSERT_EQ(0, kyrsim_post(sim, "A", ks_msg(DB_GOODBYE, "A", 0x00001010)));
    ASSERT_TRUE(log_has("Keystore thread closing"));
    // Joined by the supervision loop within its two-second rhythm.
    ASSERT_TRUE(log_count(" joined", 1));
    EXPECT_TRUE(sent_types("A", mark).empty());
    EXPECT_EQ(0, kyrsim_pending(sim, "A"));
    EXPECT_TRUE(wait_until([&] { return kyrsim_open_files(sim) == 2; }));
    // B is untouched.
    std::vector<kyrsim_msg> got;
    ASSERT_EQ(0, kyrsim_exchange(sim, "B", ks_msg(DB_INIT, "x", 0x00001011), 20000, &got));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(EOPNOTSUPP, got[0].status);
    EXPECT_EQ(0, stop());
    expect_sanitizers_quiet();
}

TEST_F(Upcalls, StatusIsUnsupportedAndNextMessageIsStandby)
{
    size_t mark = kyrsim_wire_log(sim).size();
    ASSERT_EQ(0, kyrsim_post(sim, "B", ks_msg(DB_STATUS, "B", 0x00001020)));
    ASSERT_TRUE(log_has("Service received unsupported upcall: 0x10"));
    ASSERT_EQ(0, kyrsim_wait_standby(sim, "B", 20000));
    std::vector<uint32_t> types = sent_types("B", mark);
    ASSERT_FALSE(types.empty());
    EXPECT_EQ(uint32_t(DB_STANDBY), types[0]);
    for (uint32_t t : types)
        EXPECT_EQ(uint32_t(DB_STANDBY), t);
    EXPECT_EQ(0, kyrsim_pending(sim, "B"));
    EXPECT_EQ(0, stop());
}

TEST_F(Upcalls, HandlerFailureIsAnsweredWithItsStatus)
{
    // B's directory is gone: opening its environment fails in the handler,
    // and the service loop answers the failure.
    ASSERT_EQ(0, rmdir((ksdir + "/B").c_str()));
    kyrsim_msg m = kyrsim_msg_make(DB_USER_READ, "B");
    m.handle = 0x00001031;
    m.ldom = 7;
    std::vector<kyrsim_msg> got;
    ASSERT_EQ(0, kyrsim_exchange(sim, "B", m, 20000, &got));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(uint32_t(DB_RESPONSE), got[0].type);
    EXPECT_NE(0, got[0].status);
    EXPECT_EQ(DBM_PARAM_SIZE, got[0].paramSize);
    EXPECT_EQ(DBM_MAX_MSG, got[0].extent);
    EXPECT_EQ(0x00001031u, got[0].handle);
    EXPECT_EQ(0u, got[0].flags);
    EXPECT_EQ("B", got[0].ksname);
    // The thread goes on serving.
    ASSERT_EQ(0, kyrsim_exchange(sim, "B", ks_msg(DB_INIT, "y", 0x00001032), 20000, &got));
    EXPECT_EQ(0x00001032u, got.back().handle);
    EXPECT_EQ(0, stop());
    expect_sanitizers_quiet();
}

TEST_F(Upcalls, UnknownUpcallTypeEndsTheThread)
{
    std::vector<uint8_t> raw(DBM_PARAM_SIZE, 0);
    raw[3] = 17;  // DB_PROVIDER_REGISTER: cannot be converted
    raw[6] = 0x10;  // handle 0x00001000 (card 0)
    raw[22] = 0xef; raw[23] = 0xef;  // extent 61423
    raw[26] = 0x01; raw[27] = 0x9c;  // paramSize 412
    ASSERT_EQ(0, kyrsim_post_raw(sim, "A", raw));
    ASSERT_TRUE(log_has("Cannot byte-swap unknown message type: 0x11"));
    ASSERT_TRUE(log_has("Keystore thread exiting: 0x16"));
    ASSERT_TRUE(log_count(" joined", 1));
    EXPECT_TRUE(wait_until([&] { return kyrsim_open_files(sim) == 2; }));
    EXPECT_EQ(0, stop());
    expect_sanitizers_quiet();
}

TEST_F(Upcalls, InitCreatesKeystoreAndStartsItsThread)
{
    std::vector<kyrsim_msg> got;
    ASSERT_EQ(0, kyrsim_post(sim, "", ks_msg(DB_INIT, "C.host.{1}", 0x00001041, DBM_KS_LOCAL)));
    kyrsim_hello h;
    ASSERT_EQ(0, hello("C.host.{1}", &h));
    EXPECT_EQ(host_name(), h.domain);
    struct stat st;
    EXPECT_EQ(0, stat((ksdir + "/C.host.{1}").c_str(), &st));
    ASSERT_EQ(0, kyrsim_wait_standby(sim, "C.host.{1}", 20000));
    EXPECT_EQ(4, kyrsim_open_files(sim));

    // Again while it is served: the creation's failure is the answer and
    // no second thread opens the environment.
    ASSERT_EQ(0, kyrsim_exchange(sim, "", ks_msg(DB_INIT, "C.host.{1}", 0x00001042, DBM_KS_LOCAL),
                                 20000, &got));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(uint32_t(DB_RESPONSE), got[0].type);
    EXPECT_NE(0, got[0].status);
    EXPECT_EQ(0x00001042u, got[0].handle);
    ASSERT_TRUE(log_has("Keystore C.host.{1} is already served"));
    EXPECT_EQ(1, kyrsim_hello_count(sim, "C.host.{1}"));
    EXPECT_EQ(4, kyrsim_open_files(sim));
    EXPECT_EQ(0, stop());
    EXPECT_EQ(4u, count_of(log(), " joined"));
    expect_sanitizers_quiet();
}

TEST_F(Upcalls, JoinOfServedKeystoreStartsNoSecondThread)
{
    std::vector<kyrsim_msg> got;
    ASSERT_EQ(0, kyrsim_exchange(sim, "A", ks_msg(DB_JOIN, "B", 0x00001051, DBM_KS_LOCAL), 20000,
                                 &got));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(uint32_t(DB_RESPONSE), got[0].type);
    EXPECT_EQ(0, got[0].status);
    ASSERT_TRUE(log_has("Keystore B is already served"));
    EXPECT_EQ(1, kyrsim_hello_count(sim, "B"));
    EXPECT_EQ(3, kyrsim_open_files(sim));
    EXPECT_TRUE(wait_until([&] { return proc_entries(d.pid, "task") == 4; }));

    // A keystore not yet served is joined with a thread of its own.
    add_ks("D");
    ASSERT_EQ(0, kyrsim_exchange(sim, "A", ks_msg(DB_JOIN, "D", 0x00001052, DBM_KS_LOCAL), 20000,
                                 &got));
    EXPECT_EQ(0, got.back().status);
    ASSERT_EQ(0, hello("D"));
    EXPECT_TRUE(wait_until([&] { return proc_entries(d.pid, "task") == 5; }));
    EXPECT_EQ(0, stop());
    expect_sanitizers_quiet();
}

}  // namespace
