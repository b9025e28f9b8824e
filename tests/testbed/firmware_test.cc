// The firmware model and the message encoder, driven in-process: the test
// plays the daemon by calling the control-device core directly (local
// memory), and the firmware side through the test API.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kyrsim.h"
#include "qelctl_core.h"

namespace {

// A daemon-side open file of the control device, in this process.
struct local_file {
    qelctl_dev_t dev = 0;
};

int local_open(local_file *f)
{
    f->dev = makedevice(240, 0);
    return qelctl_open(&f->dev, 0, 0, nullptr);
}

int local_upcall(local_file *f, std::vector<uint8_t> *msg)
{
    int rv = 0;
    msg->resize(DBM_MAX_MSG);
    return qelctl_ioctl(f->dev, QELCTLUPCALL, reinterpret_cast<unsigned long>(msg->data()), 0,
                        nullptr, &rv);
}

uint32_t be32_at(const std::vector<uint8_t> &m, size_t off)
{
    uint32_t v;
    memcpy(&v, m.data() + off, 4);
    return ntohl(v);
}

std::vector<uint8_t> encoded(const kyrsim_msg &m)
{
    std::vector<uint8_t> b;
    EXPECT_EQ(0, kyrsim_msg_encode(m, &b));
    return b;
}

std::vector<uint8_t> hello_bytes(const std::string &ks)
{
    kyrsim_msg h = kyrsim_msg_make(DB_HELLO, ks);
    h.domain = "host1";
    return encoded(h);
}

// Says hello for ks; returns the command's code, *status the reply's.
int say_hello(local_file *f, const std::string &ks, int32_t *status)
{
    std::vector<uint8_t> m = hello_bytes(ks);
    int rc = local_upcall(f, &m);
    *status = static_cast<int32_t>(be32_at(m, 12));
    return rc;
}

// A daemon answer to the upcall in m: a response with status, or a push.
int answer(local_file *f, std::vector<uint8_t> *m, uint32_t type, uint32_t flags, int32_t status)
{
    kyrsim_msg a;
    kyrsim_msg_decode(m->data(), DBM_PARAM_SIZE, &a);
    a.type = type;
    a.flags = flags;
    a.status = status;
    a.paramSize.reset();
    a.count.reset();
    a.recs.clear();
    *m = encoded(a);
    return local_upcall(f, m);
}

class FirmwareTest : public ::testing::Test {
protected:
    void start(int cards)
    {
        kyrsim_opts o;
        o.cards = cards;
        ASSERT_EQ(0, kyrsim_start(o, &sim_));
        ASSERT_EQ(0, local_open(&f_));
    }
    void TearDown() override
    {
        if (sim_)
            qelctl_close(f_.dev, 0, 0, nullptr);
        kyrsim_stop(sim_);
    }
    kyrsim *sim_ = nullptr;
    local_file f_;
};

TEST_F(FirmwareTest, HelloOutcomes)
{
    start(2);
    int32_t st = -1;
    EXPECT_EQ(0, say_hello(&f_, "A", &st));
    EXPECT_EQ(0, st);

    kyrsim_set_hello_answer(sim_, "B", ENOENT);
    EXPECT_EQ(0, say_hello(&f_, "B", &st));
    EXPECT_EQ(ENOENT, st);

    kyrsim_set_hello_answer(sim_, "C", 13);
    EXPECT_EQ(0, say_hello(&f_, "C", &st));
    EXPECT_EQ(13, st);

    // One card refusing does not stop another from accepting.
    kyrsim_set_hello_answer(sim_, "E", ENOENT, 0);
    EXPECT_EQ(0, say_hello(&f_, "E", &st));
    EXPECT_EQ(0, st);

    // Every card not taking upcalls: the hello is deferred, yet registered.
    ASSERT_EQ(0, kyrsim_card_set_faults(0, QEL_FAULT_NOUPCALL));
    ASSERT_EQ(0, kyrsim_card_set_faults(1, QEL_FAULT_NOUPCALL));
    EXPECT_EQ(DBM_HELLO_DEFERRED, say_hello(&f_, "D", &st));
    EXPECT_EQ(getminor(f_.dev), qelmodel_registered("D"));
}

TEST_F(FirmwareTest, HelloWithoutCardsIsNotHandled)
{
    start(0);
    int32_t st = 0;
    EXPECT_EQ(ENOENT, say_hello(&f_, "A", &st));
}

TEST_F(FirmwareTest, WireRecordHoldsExactBytes)
{
    start(1);
    int32_t st;
    ASSERT_EQ(0, say_hello(&f_, "A", &st));
    std::vector<kyrsim_wire> w = kyrsim_wire_log(sim_);
    ASSERT_EQ(2u, w.size());
    EXPECT_TRUE(w[0].to_fw);
    EXPECT_EQ(0, w[0].instance);
    EXPECT_EQ("A", w[0].ks);
    EXPECT_EQ(hello_bytes("A"), w[0].bytes);
    EXPECT_FALSE(w[1].to_fw);
    ASSERT_EQ(size_t(DBM_PARAM_SIZE), w[1].bytes.size());
    EXPECT_EQ(uint32_t(DB_RESPONSE), be32_at(w[1].bytes, 0));
    EXPECT_EQ(0u, be32_at(w[1].bytes, 12));
    EXPECT_EQ(uint32_t(DBM_PARAM_SIZE), be32_at(w[1].bytes, 24));
    // The hello's parameter block travels back unchanged.
    EXPECT_EQ(0, memcmp(w[0].bytes.data() + 28, w[1].bytes.data() + 28, DBM_PARAM_SIZE - 28));

    kyrsim_wire_clear(sim_);
    kyrsim_msg up = kyrsim_msg_make(DB_USER_DEL, "A");
    kyrsim_msg_add_user(&up, kyrsim_user_id("u1"), {});
    ASSERT_EQ(0, kyrsim_post(sim_, "A", up));
    w = kyrsim_wire_log(sim_);
    ASSERT_EQ(1u, w.size());
    EXPECT_FALSE(w[0].to_fw);
    // Handle: card 0 in the top byte, a sequence number below.
    EXPECT_EQ(1u, be32_at(w[0].bytes, 4));
    EXPECT_EQ(1u, be32_at(w[0].bytes, DBM_NUSERS_OFF));
    EXPECT_EQ(size_t(DBM_USERS_OFF + DBM_USER_HEAD), w[0].bytes.size());
}

TEST_F(FirmwareTest, MultiPartWriteRepliesWithTheNextParts)
{
    start(1);
    int32_t st;
    ASSERT_EQ(0, say_hello(&f_, "A", &st));
    kyrsim_msg p1 = kyrsim_msg_make(DB_USER_WRITE, "A"), p2 = p1, p3 = p1;
    p1.flags = p2.flags = DBM_FLAG_MORE;
    kyrsim_msg_add_user(&p1, kyrsim_user_id("u1"), {1, 2, 3});
    kyrsim_msg_add_user(&p2, kyrsim_user_id("u2"), {4});
    kyrsim_msg_add_user(&p3, kyrsim_user_id("u3"), {5, 6});
    ASSERT_EQ(0, kyrsim_queue_part(sim_, "A", p2));
    ASSERT_EQ(0, kyrsim_queue_part(sim_, "A", p3));
    ASSERT_EQ(0, kyrsim_post(sim_, "A", p1));

    std::vector<uint8_t> m = encoded(kyrsim_msg_make(DB_STANDBY, ""));
    ASSERT_EQ(0, local_upcall(&f_, &m));
    kyrsim_msg got;
    ASSERT_EQ(0, kyrsim_msg_decode(m.data(), DBM_MAX_MSG, &got));
    ASSERT_EQ(1u, got.recs.size());
    EXPECT_EQ(kyrsim_user_id("u1"), got.recs[0].id);

    const char *want[] = {"u2", "u3"};
    for (const char *w : want) {
        ASSERT_EQ(0, answer(&f_, &m, DB_RESPONSE, 0, 0));
        ASSERT_EQ(0, kyrsim_msg_decode(m.data(), DBM_MAX_MSG, &got));
        EXPECT_EQ(uint32_t(DB_USER_WRITE), got.type);
        ASSERT_EQ(1u, got.recs.size());
        EXPECT_EQ(kyrsim_user_id(w), got.recs[0].id);
    }
    EXPECT_EQ(2, kyrsim_pending(sim_, "A"));
    ASSERT_EQ(0, answer(&f_, &m, DB_RESPONSE, 0, 0));
    EXPECT_EQ(uint32_t(DB_RESPONSE), be32_at(m, 0));   // acceptance of the last

    std::vector<kyrsim_msg> ex;
    ASSERT_EQ(0, kyrsim_collect(sim_, "A", 5000, &ex));
    EXPECT_EQ(3u, ex.size());
    EXPECT_EQ(0, kyrsim_pending(sim_, "A"));
}

TEST_F(FirmwareTest, RefusedPushIsFollowedByTheFailureResponse)
{
    start(1);
    int32_t st;
    ASSERT_EQ(0, say_hello(&f_, "A", &st));
    ASSERT_EQ(0, kyrsim_queue_refusal(sim_, "A", 2, EIO));
    ASSERT_EQ(0, kyrsim_post(sim_, "A", kyrsim_msg_make(DB_USER_READ, "A")));
    std::vector<uint8_t> m = encoded(kyrsim_msg_make(DB_STANDBY, ""));
    ASSERT_EQ(0, local_upcall(&f_, &m));

    ASSERT_EQ(0, answer(&f_, &m, DB_USER_PUSH, DBM_FLAG_MORE, 0));
    EXPECT_EQ(0u, be32_at(m, 12));
    ASSERT_EQ(0, answer(&f_, &m, DB_USER_PUSH, 0, 0));
    EXPECT_EQ(uint32_t(EIO), be32_at(m, 12));
    // Not the end yet: the daemon still owes its failure response.
    std::vector<kyrsim_msg> ex;
    EXPECT_EQ(ETIME, kyrsim_collect(sim_, "A", 50, &ex));
    ASSERT_EQ(0, answer(&f_, &m, DB_RESPONSE, 0, EIO));
    ASSERT_EQ(0, kyrsim_collect(sim_, "A", 5000, &ex));
    ASSERT_EQ(3u, ex.size());
    EXPECT_EQ(uint32_t(DB_RESPONSE), ex[2].type);
    EXPECT_EQ(EIO, ex[2].status);
}

TEST_F(FirmwareTest, FailedExchangeDropsQueuedParts)
{
    start(1);
    int32_t st;
    ASSERT_EQ(0, say_hello(&f_, "A", &st));
    kyrsim_msg p2 = kyrsim_msg_make(DB_OBJECT_WRITE, "A");
    ASSERT_EQ(0, kyrsim_queue_part(sim_, "A", p2));
    kyrsim_msg p1 = kyrsim_msg_make(DB_OBJECT_WRITE, "A");
    p1.flags = DBM_FLAG_MORE;
    ASSERT_EQ(0, kyrsim_post(sim_, "A", p1));
    std::vector<uint8_t> m = encoded(kyrsim_msg_make(DB_STANDBY, ""));
    ASSERT_EQ(0, local_upcall(&f_, &m));
    ASSERT_EQ(0, answer(&f_, &m, DB_RESPONSE, 0, EINVAL));
    EXPECT_EQ(uint32_t(DB_RESPONSE), be32_at(m, 0));
    std::vector<kyrsim_msg> ex;
    ASSERT_EQ(0, kyrsim_collect(sim_, "A", 5000, &ex));
    ASSERT_EQ(1u, ex.size());
    EXPECT_EQ(EINVAL, ex[0].status);
}

TEST(MessageCodec, UserMessageLayout)
{
    kyrsim_msg m = kyrsim_msg_make(DB_USER_PUSH, "ks1");
    m.handle = 0x01020304;
    kyrsim_msg_add_user(&m, kyrsim_user_id("alice"), {0xaa, 0xbb});
    kyrsim_msg_add_user(&m, kyrsim_user_id("bob"), {});
    std::vector<uint8_t> b = encoded(m);
    ASSERT_EQ(size_t(96 + 24 + 2 + 24), b.size());
    EXPECT_EQ(uint32_t(DB_USER_PUSH), be32_at(b, 0));
    EXPECT_EQ(0x01020304u, be32_at(b, 4));
    EXPECT_EQ(uint32_t(DBM_MAX_MSG), be32_at(b, 20));
    EXPECT_EQ(uint32_t(b.size()), be32_at(b, 24));
    EXPECT_EQ(0, memcmp(b.data() + 28, "ks1\0", 4));
    EXPECT_EQ(2u, be32_at(b, 92));
    EXPECT_EQ(0, memcmp(b.data() + 96, "alice", 5));
    EXPECT_EQ(2u, be32_at(b, 116));
    EXPECT_EQ(0xaa, b[120]);
    EXPECT_EQ(0u, be32_at(b, 122 + 20));

    kyrsim_msg d;
    ASSERT_EQ(0, kyrsim_msg_decode(b.data(), b.size(), &d));
    EXPECT_EQ("ks1", d.ksname);
    ASSERT_EQ(2u, d.recs.size());
    EXPECT_EQ(m.recs[0].data, d.recs[0].data);
    EXPECT_EQ(m.recs[1].id, d.recs[1].id);
}

TEST(MessageCodec, ObjectFileAndKeystoreFields)
{
    kyrsim_msg o = kyrsim_msg_make(DB_LOG_WRITE, "k");
    o.owner = kyrsim_user_id("own");
    kyrsim_msg_add_obj(&o, 0x10, 7, std::vector<uint8_t>(40, 1));
    std::vector<uint8_t> b = encoded(o);
    EXPECT_EQ(size_t(116 + 12 + 40), b.size());
    EXPECT_EQ(1u, be32_at(b, 112));
    EXPECT_EQ(0x10u, be32_at(b, 116));
    EXPECT_EQ(7u, be32_at(b, 120));
    EXPECT_EQ(40u, be32_at(b, 124));

    kyrsim_msg f = kyrsim_msg_make(DB_FILE_WRITE, "k.conf");
    kyrsim_msg_set_file(&f, 1000, {'x', 'y', 'z'});
    b = encoded(f);
    EXPECT_EQ(size_t(99), b.size());
    EXPECT_EQ(1000u, be32_at(b, 92));
    kyrsim_msg fd;
    ASSERT_EQ(0, kyrsim_msg_decode(b.data(), b.size(), &fd));
    EXPECT_EQ(f.filedata, fd.filedata);

    kyrsim_msg r = kyrsim_msg_make(DB_RENAME, "old");
    r.newname = "new";
    b = encoded(r);
    EXPECT_EQ(size_t(DBM_PARAM_SIZE), b.size());
    kyrsim_msg rd;
    ASSERT_EQ(0, kyrsim_msg_decode(b.data(), b.size(), &rd));
    EXPECT_EQ("new", rd.newname);
    kyrsim_msg i = kyrsim_msg_make(DB_INIT, "n");
    i.kstype = DBM_KS_LDAP;
    b = encoded(i);
    EXPECT_EQ(1u, be32_at(b, DBM_KSTYPE_OFF));
}

TEST(MessageCodec, DecodeRefusesRecordsPastTheEnd)
{
    kyrsim_msg m = kyrsim_msg_make(DB_OBJECT_PUSH, "k");
    kyrsim_msg_add_obj(&m, 1, 1, std::vector<uint8_t>(10, 0));
    std::vector<uint8_t> b = encoded(m);
    kyrsim_msg d;
    // Claim one record more than present; and a length past the end.
    std::vector<uint8_t> more = b;
    more[115] = 2;
    EXPECT_EQ(EINVAL, kyrsim_msg_decode(more.data(), more.size(), &d));
    std::vector<uint8_t> longer = b;
    longer[127] = 200;
    EXPECT_EQ(EINVAL, kyrsim_msg_decode(longer.data(), longer.size(), &d));
    EXPECT_EQ(EINVAL, kyrsim_msg_decode(b.data(), 20, &d));
    // A message that would pass the largest size cannot be built.
    kyrsim_msg big = kyrsim_msg_make(DB_USER_PUSH, "k");
    kyrsim_msg_add_user(&big, kyrsim_user_id("u"), std::vector<uint8_t>(DBM_MAX_USER_DATA + 1));
    std::vector<uint8_t> out;
    EXPECT_EQ(EINVAL, kyrsim_msg_encode(big, &out));
    big.recs[0].data.resize(DBM_MAX_USER_DATA);
    EXPECT_EQ(0, kyrsim_msg_encode(big, &out));
    EXPECT_EQ(size_t(DBM_MAX_MSG), out.size());
}

// Malformed values a test states on purpose go on the wire as they stand:
// a negative count, record length or paramSize is not "compute it".
TEST(MessageCodec, StatedNegativeValuesTravelUnchanged)
{
    kyrsim_msg m = kyrsim_msg_make(DB_USER_WRITE, "k");
    kyrsim_msg_add_user(&m, kyrsim_user_id("u"), {1, 2, 3});
    m.count = -1;
    m.recs[0].len = -5;
    std::vector<uint8_t> b = encoded(m);
    EXPECT_EQ(0xffffffffu, be32_at(b, DBM_NUSERS_OFF));
    EXPECT_EQ(uint32_t(-5), be32_at(b, DBM_USERS_OFF + DBM_USER_ID_LEN));
    EXPECT_EQ(uint32_t(b.size()), be32_at(b, 24));   // still computed
    EXPECT_EQ(size_t(DBM_USERS_OFF + 24 + 3), b.size());

    kyrsim_msg o = kyrsim_msg_make(DB_OBJECT_WRITE, "k");
    o.count = INT32_MIN;
    o.paramSize = -412;
    b = encoded(o);
    EXPECT_EQ(0x80000000u, be32_at(b, DBM_NOBJS_OFF));
    EXPECT_EQ(uint32_t(-412), be32_at(b, 24));
    EXPECT_EQ(size_t(DBM_OBJS_OFF), b.size());   // the message's own bytes
}

}  // namespace
