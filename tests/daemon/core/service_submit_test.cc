// submit_message, the hello message and the dispatcher, driven on the
// test's own thread through the in-process firmware of tests/support.
#include <gtest/gtest.h>
#include <unistd.h>

#include "core_fixture.h"
#include "fake_fw.h"

namespace {

using kyrtest::count_of;

class Submit : public kyrtest::CoreTest {
protected:
    fake_ks k;
    void SetUp() override
    {
        CoreTest::SetUp();
        ASSERT_EQ(0, fake_ks_init(&k, "sub.host.{1}", DBM_KS_LOCAL));
        fake_fw_install();
    }
    void TearDown() override
    {
        fake_fw_uninstall();
        fake_ks_fini(&k);
        CoreTest::TearDown();
    }
    dbm_header_t *hdr() { return msg_hdr(k.buf->msg); }
    // An upcall as it stands in the buffer after the wait returned.
    void load_upcall(uint32_t type, uint32_t handle)
    {
        fw_load(k.buf, fw_make_ks_msg(type, k.name, DBM_KS_LOCAL, false));
        hdr()->handle = handle;
        hdr()->ldom = 3;
    }
    void as_thread(const char *name, dbm_kstype_t type)
    {
        free(k.ks->name);
        k.ks->name = name ? strdup(name) : nullptr;
        k.ks->kstype = type;
    }
};

TEST_F(Submit, ConvertsToNetworkOrderAndBack)
{
    std::vector<fw_rec> recs = {{fw_uid(7), "abcdef"}};
    fw_load(k.buf, fw_make_user_msg(DB_USER_PUSH, k.name, DBM_FLAG_MORE, recs, false, false));
    ASSERT_EQ(0, submit_message(k.buf));
    ASSERT_EQ(1u, fake_fw_count());
    const fw_bytes &net = fake_fw_sent(0);
    fw_hdr h = fw_header(net);
    EXPECT_EQ(uint32_t(DB_USER_PUSH), h.type);
    EXPECT_EQ(DBM_FLAG_MORE, h.flags);
    std::vector<fw_rec> got;
    ASSERT_TRUE(fw_user_parse(net, &got));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("abcdef", got[0].data);
    // The acceptance comes back in host order.
    EXPECT_EQ(uint32_t(DB_RESPONSE), hdr()->type);
    EXPECT_EQ(0, hdr()->status);
    EXPECT_EQ(DBM_PARAM_SIZE, hdr()->paramSize);
}

TEST_F(Submit, FirmwareRefusalIsTheResult)
{
    load_upcall(DB_RESPONSE, 0x01000002);
    fake_fw_queue_refuse(EIO);
    EXPECT_EQ(EIO, submit_message(k.buf));
    EXPECT_EQ(1u, count_of(log(), "Firmware reports failure on submitted ioctl: Input/output error"));
    // A refusal with ENOENT is an error for anything but a hello.
    load_upcall(DB_RESPONSE, 0x01000002);
    fake_fw_queue_refuse(ENOENT);
    EXPECT_EQ(ENOENT, submit_message(k.buf));
    EXPECT_EQ(1u, count_of(log(), "Firmware reports failure on submitted ioctl: No such file"));
}

TEST_F(Submit, DeviceFailureIsTheResult)
{
    load_upcall(DB_RESPONSE, 1);
    fake_fw_queue_errno(EFAULT);
    EXPECT_EQ(EFAULT, submit_message(k.buf));
    EXPECT_NE(std::string::npos, log().find("Failure submitting ioctl: Bad address"));
    load_upcall(DB_RESPONSE, 1);
    fake_fw_queue_errno(EINTR);
    EXPECT_EQ(EINTR, submit_message(k.buf));
    EXPECT_NE(std::string::npos,
              log().find("Signal delivered to process while waiting on upcall.  Thread exiting."));
}

TEST_F(Submit, UnconvertibleMessagesFail)
{
    // Nothing is sent for a message that cannot be converted.
    load_upcall(DB_PROVIDER_REGISTER, 1);
    EXPECT_EQ(EINVAL, submit_message(k.buf));
    EXPECT_EQ(0u, fake_fw_total());
    // A reply of an unknown type fails the submission.
    fw_bytes reply = fw_make_ks_msg(DB_STANDBY, k.name, 0, true);
    reply[3] = 35;
    fake_fw_queue_msg(reply);
    load_upcall(DB_RESPONSE, 1);
    EXPECT_EQ(EINVAL, submit_message(k.buf));
}

TEST_F(Submit, HelloCarriesNameAndHostAndNothingElse)
{
    memset(k.buf->msg, 0xAA, DBM_MAX_MSG);  // leftovers of an earlier upcall
    ASSERT_EQ(0, task_fw_hello(k.buf));
    ASSERT_EQ(1u, fake_fw_count());
    const fw_bytes &m = fake_fw_sent(0);
    fw_hdr h = fw_header(m);
    EXPECT_EQ(uint32_t(DB_HELLO), h.type);
    EXPECT_EQ(0u, h.handle);
    EXPECT_EQ(0u, h.ldom);
    EXPECT_EQ(0u, h.flags);
    EXPECT_EQ(DBM_MAX_MSG, h.extent);
    EXPECT_EQ(DBM_PARAM_SIZE, h.paramSize);
    EXPECT_EQ(k.name, fw_name(m, DBM_KSNAME_OFF));
    char host[256] = {};
    ASSERT_EQ(0, gethostname(host, sizeof(host)));
    EXPECT_EQ(std::string(host), std::string(reinterpret_cast<const char *>(&m[DBM_DOMAIN_OFF])));
    for (size_t i = DBM_KSTYPE_OFF; i < DBM_PARAM_SIZE; i++)
        ASSERT_EQ(0, m[i]) << "byte " << i;

    // The control thread's hello has an empty name.
    as_thread(nullptr, DBM_KS_LOCAL);
    ASSERT_EQ(0, task_fw_hello(k.buf));
    EXPECT_EQ("", fw_name(fake_fw_sent(1), DBM_KSNAME_OFF));
}

TEST_F(Submit, HelloNotHandledIsQuiet)
{
    fake_fw_queue_refuse(ENOENT);
    EXPECT_EQ(ENOENT, task_fw_hello(k.buf));
    EXPECT_EQ(std::string::npos, log().find("Firmware reports failure"));
    fake_fw_queue_refuse(DBM_HELLO_DEFERRED);
    EXPECT_EQ(DBM_HELLO_DEFERRED, task_fw_hello(k.buf));
}

TEST_F(Submit, GoodbyeEndsWithoutAnswer)
{
    load_upcall(DB_GOODBYE, 0x01000009);
    EXPECT_EQ(ECANCELED, qelkiod_task(k.buf));
    EXPECT_EQ(0u, fake_fw_total());
}

TEST_F(Submit, UnsupportedUpcallsAreLoggedNotAnswered)
{
    const uint32_t types[] = {0, DB_STANDBY, DB_FILE_PUSH, DB_USER_PUSH, DB_OBJECT_PUSH,
                              DB_RESPONSE, DB_HANDSHAKE, DB_STATUS, DB_PROVIDER_REGISTER,
                              DB_PROVIDER_UNREGISTER, DB_CONFIG_PUSH, DB_LOG_PUSH, 35, 0x1000};
    for (uint32_t t : types) {
        load_upcall(t, 0x01000001);
        EXPECT_EQ(0, qelkiod_task(k.buf)) << "type " << t;
    }
    EXPECT_EQ(0u, fake_fw_total());
    std::string text = log();
    EXPECT_EQ(sizeof(types) / sizeof(types[0]), count_of(text, "Service received unsupported upcall"));
    EXPECT_NE(std::string::npos, text.find("Service received unsupported upcall: 0x10\n"));
    EXPECT_NE(std::string::npos, text.find("Service received unsupported upcall: 0x1000\n"));
}

TEST_F(Submit, InitOnKeystoreThreadAnswers95)
{
    load_upcall(DB_INIT, 0x04000011);
    EXPECT_EQ(0, qelkiod_task(k.buf));
    ASSERT_EQ(1u, fake_fw_count());
    fw_hdr h = fw_header(fake_fw_sent(0));
    EXPECT_EQ(uint32_t(DB_RESPONSE), h.type);
    EXPECT_EQ(EOPNOTSUPP, h.status);
    EXPECT_EQ(0x04000011u, h.handle);
    EXPECT_EQ(3u, h.ldom);
    EXPECT_EQ(DBM_PARAM_SIZE, h.paramSize);
    EXPECT_EQ(DBM_MAX_MSG, h.extent);
    EXPECT_EQ(k.name, fw_name(fake_fw_sent(0), DBM_KSNAME_OFF));
}

TEST_F(Submit, HandlerFailureBecomesResponseWithUpcallHandle)
{
    // A configuration read on a centralized keystore's thread goes to the
    // directory backend, which has no servers here and fails.
    as_thread(k.name.c_str(), DBM_KS_LDAP);
    fw_load(k.buf, fw_make_file_msg(DB_CONFIG_READ, "sub.conf", 0, 0, "", false));
    hdr()->handle = 0x05000021;
    kyrtest::write_file(k.dir + "/sub.conf", "local file that must not be read");
    EXPECT_EQ(0, qelkiod_task(k.buf));
    ASSERT_EQ(1u, fake_fw_count());
    fw_hdr h = fw_header(fake_fw_sent(0));
    EXPECT_EQ(uint32_t(DB_RESPONSE), h.type);
    EXPECT_NE(0, h.status);
    EXPECT_EQ(0x05000021u, h.handle);
    EXPECT_EQ(DBM_PARAM_SIZE, h.paramSize);
    EXPECT_EQ(0u, h.flags);
}

TEST_F(Submit, HelloUpcallOutcomes)
{
    load_upcall(DB_HELLO, 1);
    EXPECT_EQ(0, qelkiod_task(k.buf));
    fake_fw_queue_refuse(DBM_HELLO_DEFERRED);
    load_upcall(DB_HELLO, 1);
    EXPECT_EQ(0, qelkiod_task(k.buf));
    EXPECT_NE(std::string::npos, log().find("Firmware/Driver mismatch"));
    fake_fw_queue_refuse(ENOENT);
    load_upcall(DB_HELLO, 1);
    EXPECT_EQ(ENOENT, qelkiod_task(k.buf));
    EXPECT_NE(std::string::npos, log().find("Firmware does not handle keystore sub.host.{1}"));
    fake_fw_queue_refuse(EPERM);
    load_upcall(DB_HELLO, 1);
    EXPECT_EQ(EPERM, qelkiod_task(k.buf));
    EXPECT_NE(std::string::npos, log().find("Firmware rejected keystore sub.host.{1}"));
    as_thread(nullptr, DBM_KS_LOCAL);
    fake_fw_queue_refuse(ENOENT);
    load_upcall(DB_HELLO, 1);
    EXPECT_EQ(ENOENT, qelkiod_task(k.buf));
    EXPECT_NE(std::string::npos, log().find("Control thread failed HELLO"));
}

TEST_F(Submit, NoKeystoreInformationEndsTheThread)
{
    pthread_setspecific(ptconfkey, nullptr);
    load_upcall(DB_USER_READ, 1);
    EXPECT_NE(0, qelkiod_task(k.buf));
    EXPECT_NE(0, task_fw_hello(k.buf));
    EXPECT_EQ(0u, fake_fw_total());
    pthread_setspecific(ptconfkey, k.ks);
}

}  // namespace
