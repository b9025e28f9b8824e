// The card model on its own: digests, the slot table, the upcall queue and
// its waits, the default firmware and the IDC header.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "compat_user.h"
#include "qelmodel.h"

namespace {

std::string hex(const uint8_t *d, size_t n)
{
	static const char *x = "0123456789abcdef";
	std::string s;
	for (size_t i = 0; i < n; i++) {
		s += x[d[i] >> 4];
		s += x[d[i] & 15];
	}
	return s;
}

TEST(ModelSha256, KnownAnswers)
{
	uint8_t out[32];
	qelmodel_sha256("", 0, out);
	EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", hex(out, 32));
	qelmodel_sha256("abc", 3, out);
	EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", hex(out, 32));
	const char *two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
	qelmodel_sha256(two, std::strlen(two), out);
	EXPECT_EQ("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1", hex(out, 32));
	std::vector<char> million(1000000, 'a');
	qelmodel_sha256(million.data(), million.size(), out);
	EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", hex(out, 32));
}

TEST(ModelTable, LowestFreeSlotAndStableRecords)
{
	qel_table_t *t = nullptr;
	ASSERT_EQ(0, qel_table_init(&t, 40));
	std::vector<void *> recs;
	for (int i = 0; i < 40; i++) {
		int idx = -1;
		ASSERT_EQ(0, qel_table_alloc_slot(t, &idx));
		EXPECT_EQ(i, idx);
		recs.push_back(qel_table_lookup(t, idx));
		std::memset(recs.back(), i, 40);
	}
	// Growing past the first 16 slots did not move the records.
	for (int i = 0; i < 40; i++) {
		ASSERT_EQ(recs[i], qel_table_lookup(t, i));
		EXPECT_EQ(i, static_cast<uint8_t *>(recs[i])[39]);
	}
	qel_table_free_slot(t, 7);
	EXPECT_EQ(nullptr, qel_table_lookup(t, 7));
	EXPECT_EQ(nullptr, qel_table_lookup(t, -1));
	EXPECT_EQ(nullptr, qel_table_lookup(t, 1000));
	int idx = -1;
	ASSERT_EQ(0, qel_table_alloc_slot(t, &idx));
	EXPECT_EQ(7, idx);
	// A reused slot starts zero-filled.
	EXPECT_EQ(0, static_cast<uint8_t *>(qel_table_lookup(t, 7))[0]);
	qel_table_destroy(t);
}

class Model : public ::testing::Test {
protected:
	void SetUp() override { ASSERT_EQ(0, qelmodel_init()); }
	void TearDown() override { qelmodel_fini(); }

	static std::vector<uint8_t> msg(uint32_t type, size_t len, uint8_t fill)
	{
		std::vector<uint8_t> m(len, fill);
		uint32_t be = htonl(type);
		std::memcpy(m.data(), &be, 4);
		return m;
	}
};

TEST_F(Model, InitTwiceIsRefusedAndCardsStartAbsent)
{
	EXPECT_EQ(EBUSY, qelmodel_init());
	int inst = -1;
	EXPECT_NE(0, qel_get_next_instance(&inst));
	EXPECT_EQ(EINVAL, qelmodel_add_card(32));
	EXPECT_EQ(EINVAL, qelmodel_add_card(-1));
	EXPECT_EQ(nullptr, qel_hold_instance(0));
	qel_dev_t *dev = nullptr;
	EXPECT_EQ(ENXIO, qel_hold_ctl(0, &dev));
}

TEST_F(Model, InstanceWalkAndHolds)
{
	for (int i : { 3, 9, 31 })
		ASSERT_EQ(0, qelmodel_add_card(i));
	std::vector<int> seen;
	int inst = -1;
	while (qel_get_next_instance(&inst) == 0)
		seen.push_back(inst);
	EXPECT_EQ((std::vector<int>{ 3, 9, 31 }), seen);
	qel_dev_t *d = qel_hold_instance(9);
	ASSERT_NE(nullptr, d);
	EXPECT_EQ(9, d->instance);
	EXPECT_EQ(1, qelmodel_card(9)->holds);
	qel_rele_instance(d);
	EXPECT_EQ(0, qelmodel_card(9)->holds);
	qelmodel_remove_card(9);
	EXPECT_EQ(nullptr, qel_hold_instance(9));

	int inst2[32];
	int count = 1;       // capacity
	ASSERT_EQ(0, qel_probe(inst2, &count));
	EXPECT_EQ(1, count);
	EXPECT_EQ(3, inst2[0]);
}

TEST_F(Model, FirmwareVersionWordSitsInTheRegister)
{
	ASSERT_EQ(0, qelmodel_add_card(0));
	qelmodel_set_fwver(0, 0x01020304);
	qel_dev_t *d = nullptr;
	ASSERT_EQ(0, qel_hold_ctl(0, &d));
	EXPECT_EQ(0x01020304u, qelctl_ddi_get32(d->reg_handle,
	    reinterpret_cast<const volatile uint32_t *>(d->regs + QEL_REG_FWVER)));
	// Writing the register changes the reported firmware version too.
	ASSERT_EQ(0, qel_putcsr(d, QEL_REG_FWVER, 32, 0x03000000));
	uint32_t hw, fw, boot;
	ASSERT_EQ(0, qel_get_verinfo(d, &hw, &fw, &boot));
	EXPECT_EQ(0x03000000u, fw);
	qel_rele_ctl(d);
}

TEST_F(Model, UpcallsQueueInOrderForTheRegisteredCaller)
{
	ASSERT_EQ(0, qel_upcall_attach(5));
	EXPECT_EQ(EBUSY, qel_upcall_attach(5));
	char name[64] = "ks.q";
	ASSERT_EQ(0, qel_upcall_dbm_register(5, name, 384));
	EXPECT_EQ(5, qelmodel_registered("ks.q"));
	EXPECT_EQ(-1, qelmodel_registered("ks"));
	auto a = msg(2, 40, 0xa), b = msg(3, 50, 0xb);
	ASSERT_EQ(0, qelmodel_post_upcall("ks.q", a.data(), a.size()));
	ASSERT_EQ(0, qelmodel_post_upcall_to(5, b.data(), b.size()));
	EXPECT_EQ(ENOENT, qelmodel_post_upcall("other", a.data(), a.size()));
	EXPECT_EQ(EINVAL, qelmodel_post_upcall("ks.q", a.data(), 0));

	void *m = nullptr;
	size_t len = 0;
	ASSERT_EQ(0, qel_upcall_service(5, &m, &len));
	ASSERT_EQ(a.size(), len);
	EXPECT_EQ(0, std::memcmp(a.data(), m, len));
	qel_upcall_release(5);
	ASSERT_EQ(0, qel_upcall_service(5, &m, &len));
	ASSERT_EQ(b.size(), len);
	EXPECT_EQ(0, std::memcmp(b.data(), m, len));
	qel_upcall_release(5);
	EXPECT_EQ(2, qelmodel_upcalls_delivered());
	qel_upcall_detach(5);
	EXPECT_EQ(-1, qelmodel_registered("ks.q"));
	EXPECT_EQ(ENXIO, qel_upcall_service(5, &m, &len));
}

TEST_F(Model, WaitsEndByUpcallInterruptOrDetach)
{
	ASSERT_EQ(0, qel_upcall_attach(1));
	// An interrupt that comes before the wait ends the next wait at once.
	ASSERT_EQ(0, qelmodel_interrupt(1));
	void *m = nullptr;
	size_t len = 0;
	EXPECT_EQ(EINTR, qel_upcall_service(1, &m, &len));
	EXPECT_EQ(ENOENT, qelmodel_interrupt(2));

	int rc = -1;
	std::thread t([&] { rc = qel_upcall_service(1, &m, &len); });
	ASSERT_EQ(0, qelmodel_wait_upcall_waiting(1, 10000));
	EXPECT_EQ(1, qelmodel_upcall_waiting(1));
	qel_upcall_detach(1);
	t.join();
	EXPECT_EQ(ENXIO, rc);
	EXPECT_EQ(0, qelmodel_upcall_waiting(1));

	EXPECT_EQ(ETIME, qelmodel_wait_registered("never", 20, nullptr));
	EXPECT_EQ(ETIME, qelmodel_wait_upcall_waiting(1, 20));
}

TEST_F(Model, WaitRegisteredSeesALaterHello)
{
	ASSERT_EQ(0, qel_upcall_attach(3));
	std::thread t([] {
		char name[64] = "late";
		qel_upcall_dbm_register(3, name, sizeof(name));
	});
	int caller = -1;
	EXPECT_EQ(0, qelmodel_wait_registered("late", 10000, &caller));
	EXPECT_EQ(3, caller);
	t.join();
}

TEST_F(Model, RegisteredNameIsBoundedToTheField)
{
	ASSERT_EQ(0, qel_upcall_attach(4));
	std::vector<char> params(300, 'n');      // no terminator in 64 bytes
	ASSERT_EQ(0, qel_upcall_dbm_register(4, params.data(), params.size()));
	EXPECT_EQ(4, qelmodel_registered(std::string(63, 'n').c_str()));
	ASSERT_EQ(0, qel_upcall_dbm_register(4, "ab", 2));   // short block
	EXPECT_EQ(4, qelmodel_registered("ab"));
}

TEST_F(Model, DbmResponseChecksTheIdcHeaderAndDefaultFirmwareAccepts)
{
	ASSERT_EQ(0, qelmodel_add_card(0));
	qel_dev_t *d = qel_hold_instance(0);
	ASSERT_NE(nullptr, d);
	std::vector<uint8_t> buf(16 + 500, 0x3c);
	qel_update_idc_hdr(buf.data(), 7, 99);
	int caller = 0, domain = 0;
	ASSERT_EQ(1, qelmodel_idc_check(buf.data(), &caller, &domain));
	EXPECT_EQ(7, caller);
	EXPECT_EQ(99, domain);
	uint32_t t = htonl(19), st = htonl(123);
	std::memcpy(buf.data() + 16, &t, 4);
	std::memcpy(buf.data() + 16 + 12, &st, 4);

	void *reply = nullptr, *token = nullptr;
	size_t rlen = 0;
	ASSERT_EQ(0, qel_dbm_response(d, buf.data(), buf.size(), 7, &reply, &rlen, &token));
	ASSERT_EQ(412u, rlen);
	const auto *r = static_cast<const uint8_t *>(reply);
	uint32_t w;
	std::memcpy(&w, r, 4);
	EXPECT_EQ(14u, ntohl(w));
	std::memcpy(&w, r + 12, 4);
	EXPECT_EQ(0u, w);
	std::memcpy(&w, r + 24, 4);
	EXPECT_EQ(412u, ntohl(w));
	EXPECT_EQ(0x3c, r[411]);
	EXPECT_EQ(19u, qelmodel_card(0)->last_dbm_type);
	qel_dbm_freereq(token);

	// No IDC header, or too short for one message header: refused.
	buf[0] = 'X';
	EXPECT_EQ(EINVAL, qel_dbm_response(d, buf.data(), buf.size(), 7, &reply, &rlen, &token));
	qel_update_idc_hdr(buf.data(), 7, 99);
	EXPECT_EQ(EINVAL, qel_dbm_response(d, buf.data(), 16 + 27, 7, &reply, &rlen, &token));
	qel_rele_instance(d);
}

}  // namespace
