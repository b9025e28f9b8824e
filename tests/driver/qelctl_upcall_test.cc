// The upcall exchange through QELCTLUPCALL: standby waits, the hello
// broadcast, responses to one device, and the size checks on what the
// caller sends.
#include <sys/mman.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "qelctl_fixture.h"

using namespace qeltest;

namespace {

// Firmware stand-in: per instance a scripted reply or code; records what
// arrived.
struct Firmware {
	std::map<int, std::vector<uint8_t>> reply;
	std::map<int, int> code;
	std::vector<std::pair<int, std::vector<uint8_t>>> seen;
	std::vector<int> callers;

	static int hook(void *ctx, int instance, int caller, const void *msg,
	    size_t len, void **out, size_t *outlen)
	{
		auto *fw = static_cast<Firmware *>(ctx);
		const auto *p = static_cast<const uint8_t *>(msg);
		fw->seen.emplace_back(instance, std::vector<uint8_t>(p, p + len));
		fw->callers.push_back(caller);
		auto c = fw->code.find(instance);
		if (c != fw->code.end())
			return c->second;
		auto r = fw->reply.find(instance);
		if (r == fw->reply.end())
			return EIO;
		void *m = qelmodel_alloc(r->second.size());
		std::memcpy(m, r->second.data(), r->second.size());
		*out = m;
		*outlen = r->second.size();
		return 0;
	}

	// A DB_RESPONSE of len bytes with the status and a marker byte at 100.
	static std::vector<uint8_t> response(int32_t status, uint8_t marker, size_t len = kParam)
	{
		std::vector<uint8_t> r(len, 0);
		set_be(r.data(), 0, kResponse);
		set_be(r.data(), 12, static_cast<uint32_t>(status));
		set_be(r.data(), 24, static_cast<uint32_t>(len));
		if (len > 100)
			r[100] = marker;
		return r;
	}
};

class Upcall : public QelctlTest {
protected:
	void use(Firmware &fw) { qelmodel_set_firmware(&Firmware::hook, &fw); }
	void TearDown() override
	{
		qelmodel_set_firmware(nullptr, nullptr);
		QelctlTest::TearDown();
	}
	// Opens a file and registers it under ksname through the default
	// firmware.
	qelctl_dev_t hello(const std::string &ksname)
	{
		if (!qelmodel_card(0)->present) {
			EXPECT_EQ(0, qelmodel_add_card(0));
		}
		qelctl_dev_t d = open_dev();
		auto m = make_msg(kHello, ksname);
		EXPECT_EQ(0, ioc(d, QELCTLUPCALL, m.data()));
		return d;
	}
};

TEST_F(Upcall, StandbyReturnsThePostedUpcallWhole)
{
	qelctl_dev_t d = hello("ks.a");
	EXPECT_EQ(getminor(d), qelmodel_registered("ks.a"));
	std::vector<uint8_t> up(500);
	for (size_t i = 0; i < up.size(); i++)
		up[i] = static_cast<uint8_t>(i);
	set_be(up.data(), 0, 3);
	ASSERT_EQ(0, qelmodel_post_upcall("ks.a", up.data(), up.size()));
	auto buf = make_msg(kStandby, "ks.a");
	long before = outstanding();
	ASSERT_EQ(0, ioc(d, QELCTLUPCALL, buf.data()));
	EXPECT_EQ(0, std::memcmp(up.data(), buf.data(), up.size()));
	EXPECT_EQ(0, buf[500]);
	EXPECT_EQ(1, qelmodel_upcalls_delivered());
	EXPECT_EQ(before, outstanding());
}

TEST_F(Upcall, StandbyCopyIsBoundedByExtent)
{
	qelctl_dev_t d = hello("ks.b");
	std::vector<uint8_t> up(300, 0x77);
	set_be(up.data(), 0, 3);
	ASSERT_EQ(0, qelmodel_post_upcall("ks.b", up.data(), up.size()));
	// The caller offers 100 bytes inside a larger area.
	auto buf = make_msg(kStandby, "", kParam, 100, 1000);
	std::fill(buf.begin() + 28, buf.end(), 0xcc);
	ASSERT_EQ(0, ioc(d, QELCTLUPCALL, buf.data()));
	EXPECT_EQ(3u, be_at(buf.data(), 0));
	EXPECT_EQ(0x77, buf[27]);
	for (size_t i = 28; i < buf.size(); i++)
		ASSERT_EQ(0xcc, buf[i]) << i;
	// An upcall that fits goes whole.
	std::vector<uint8_t> up2(100, 0x55);
	ASSERT_EQ(0, qelmodel_post_upcall("ks.b", up2.data(), up2.size()));
	auto buf2 = make_msg(kStandby, "", kParam, 100, 1000);
	ASSERT_EQ(0, ioc(d, QELCTLUPCALL, buf2.data()));
	EXPECT_EQ(0x55, buf2[99]);
	EXPECT_EQ(0, buf2[100]);
}

TEST_F(Upcall, InterruptedWaitReturnsEintrAndFreesTheFile)
{
	qelctl_dev_t d = hello("ks.c");
	int caller = getminor(d);
	auto buf = make_msg(kStandby, "ks.c");
	int rc = -1;
	std::thread t([&] { rc = ioc(d, QELCTLUPCALL, buf.data()); });
	ASSERT_EQ(0, qelmodel_wait_upcall_waiting(caller, 10000));
	ASSERT_EQ(0, qelmodel_interrupt(caller));
	t.join();
	EXPECT_EQ(EINTR, rc);
	qelmodel_event_t ev[QELMODEL_EVENTS];
	int n = qelmodel_events(ev, QELMODEL_EVENTS);
	ASSERT_GT(n, 0);
	EXPECT_EQ(QM_EV_UPCALL_RELEASE, ev[n - 1].kind);
	// The next wait works normally.
	std::vector<uint8_t> up(60, 1);
	ASSERT_EQ(0, qelmodel_post_upcall("ks.c", up.data(), up.size()));
	EXPECT_EQ(0, ioc(d, QELCTLUPCALL, buf.data()));
}

TEST_F(Upcall, StandbyCopyFailureIsEfaultAndTheUpcallIsReleased)
{
	qelctl_dev_t d = hello("ks.d");
	long page = sysconf(_SC_PAGESIZE);
	auto *m = static_cast<uint8_t *>(mmap(nullptr, page, PROT_READ | PROT_WRITE,
	    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
	ASSERT_NE(MAP_FAILED, m);
	auto hdr = make_msg(kStandby, "", kParam, kMaxMsg, 64);
	std::memcpy(m, hdr.data(), 64);
	ASSERT_EQ(0, mprotect(m, page, PROT_READ));   // readable, not writable
	std::vector<uint8_t> up(64, 9);
	ASSERT_EQ(0, qelmodel_post_upcall("ks.d", up.data(), up.size()));
	EXPECT_EQ(EFAULT, ioc(d, QELCTLUPCALL, m));
	EXPECT_EQ(EFAULT, ioc(d, QELCTLUPCALL, bad_addr()));
	munmap(m, page);
	EXPECT_EQ(1, qelmodel_upcalls_delivered());
}

TEST_F(Upcall, HeaderSizesAreCheckedBeforeAnything)
{
	ASSERT_EQ(0, qelmodel_add_card(0));
	qelctl_dev_t d = open_dev();
	qelsim_kmem_stats_t st0, st1;
	qelsim_kmem_get_stats(&st0);
	const struct { uint32_t type, psize, extent; } bad[] = {
		{ kHello, 27, kMaxMsg }, { kHello, kMaxMsg + 1, kMaxMsg },
		{ kHello, 0xffffffffu, kMaxMsg }, { kHello, kParam, 27 },
		{ kHello, kParam, 0x80000000u }, { kResponse, 0, kMaxMsg },
		{ kResponse, 0x7fffffffu, kMaxMsg }, { kStandby, kParam, 0 } };
	// The first wrong answer ends the test: a standby let through would
	// wait for an upcall that never comes.
	for (const auto &b : bad) {
		auto m = make_msg(b.type, "x", b.psize, b.extent);
		ASSERT_EQ(EINVAL, ioc(d, QELCTLUPCALL, m.data())) << b.type << " " << b.psize << " " << b.extent;
	}
	qelsim_kmem_get_stats(&st1);
	EXPECT_EQ(st0.allocs, st1.allocs);
	EXPECT_EQ(0, qelmodel_card(0)->n_dbm);
	// The largest message is accepted.
	auto ok = make_msg(kHello, "big", kMaxMsg, kMaxMsg);
	EXPECT_EQ(0, ioc(d, QELCTLUPCALL, ok.data()));
}

TEST_F(Upcall, HelloWithoutDevicesIsEnoent)
{
	qelctl_dev_t d = open_dev();
	auto m = make_msg(kHello, "lonely");
	EXPECT_EQ(ENOENT, ioc(d, QELCTLUPCALL, m.data()));
	EXPECT_EQ(-1, qelmodel_registered("lonely"));
}

TEST_F(Upcall, HelloWithEveryDeviceSkippedIsDeferredButRegistered)
{
	Firmware fw;
	use(fw);
	for (int i : { 1, 4 }) {
		ASSERT_EQ(0, qelmodel_add_card(i));
		qelmodel_card(i)->dev.fault_flags = QEL_FAULT_NOUPCALL;
	}
	qelctl_dev_t d = open_dev();
	auto m = make_msg(kHello, "later");
	EXPECT_EQ(73, ioc(d, QELCTLUPCALL, m.data()));
	EXPECT_EQ(getminor(d), qelmodel_registered("later"));
	EXPECT_TRUE(fw.seen.empty());
	EXPECT_EQ(0, qelmodel_card(1)->holds + qelmodel_card(4)->holds);
}

TEST_F(Upcall, HelloIsAnsweredByTheFirstAcceptingDevice)
{
	Firmware fw;
	use(fw);
	for (int i : { 0, 1, 2, 3 })
		ASSERT_EQ(0, qelmodel_add_card(i));
	qelmodel_card(1)->dev.fault_flags = QEL_FAULT_NOUPCALL;   // skipped
	fw.reply[0] = Firmware::response(5, 0xa0);                // refuses
	fw.reply[2] = Firmware::response(0, 0xa2);                // accepts
	fw.reply[3] = Firmware::response(0, 0xa3);                // too late
	qelmodel_set_domain(42);
	qelctl_dev_t d = open_dev();
	auto m = make_msg(kHello, "multi");
	set_be(m.data(), 92, 0x686f7374);                          // "host"
	long before = outstanding();
	ASSERT_EQ(0, ioc(d, QELCTLUPCALL, m.data()));
	EXPECT_EQ(before, outstanding());
	EXPECT_EQ(0u, be_at(m.data(), 12));
	EXPECT_EQ(0xa2, m[100]);
	EXPECT_EQ(getminor(d), qelmodel_registered("multi"));
	// Every accepting device saw the message as sent, 412 bytes.
	ASSERT_EQ(3u, fw.seen.size());
	EXPECT_EQ(0, fw.seen[0].first);
	EXPECT_EQ(2, fw.seen[1].first);
	EXPECT_EQ(3, fw.seen[2].first);
	ASSERT_EQ(static_cast<size_t>(kParam), fw.seen[1].second.size());
	EXPECT_EQ(kHello, be_at(fw.seen[1].second.data(), 0));
	EXPECT_EQ(0, std::memcmp(fw.seen[1].second.data() + 28, "multi", 6));
	EXPECT_EQ(0x686f7374u, be_at(fw.seen[1].second.data(), 92));
	for (int i : { 0, 1, 2, 3 })
		EXPECT_EQ(0, qelmodel_card(i)->holds) << i;
}

TEST_F(Upcall, HelloRefusedEverywhereReturnsZeroWithTheStatusInTheHeader)
{
	Firmware fw;
	use(fw);
	ASSERT_EQ(0, qelmodel_add_card(0));
	fw.reply[0] = Firmware::response(17, 0x11);
	qelctl_dev_t d = open_dev();
	auto m = make_msg(kHello, "refused");
	ASSERT_EQ(0, ioc(d, QELCTLUPCALL, m.data()));
	EXPECT_EQ(17u, be_at(m.data(), 12));
	EXPECT_EQ(-1, qelmodel_registered("refused"));

	// A device that fails the call: its code is the result.
	fw.reply.clear();
	fw.code[0] = EPROTO;
	auto m2 = make_msg(kHello, "refused");
	EXPECT_EQ(EPROTO, ioc(d, QELCTLUPCALL, m2.data()));
}

TEST_F(Upcall, HelloReplyLongerThanExtentDeliversOnlyTheHeader)
{
	Firmware fw;
	use(fw);
	ASSERT_EQ(0, qelmodel_add_card(0));
	fw.reply[0] = Firmware::response(0, 0xbb, 600);
	qelctl_dev_t d = open_dev();
	auto m = make_msg(kHello, "narrow", kParam, 500, 1000);
	std::vector<uint8_t> sent(m.begin() + 28, m.end());
	ASSERT_EQ(0, ioc(d, QELCTLUPCALL, m.data()));
	EXPECT_EQ(kResponse, be_at(m.data(), 0));
	EXPECT_EQ(600u, be_at(m.data(), 24));
	EXPECT_EQ(0, std::memcmp(sent.data(), m.data() + 28, sent.size()));
	EXPECT_EQ(getminor(d), qelmodel_registered("narrow"));
}

TEST_F(Upcall, HelloRegistrationFailureIsEnoent)
{
	ASSERT_EQ(0, qelmodel_add_card(0));
	qelmodel_set_register_code(EAGAIN);
	qelctl_dev_t d = open_dev();
	auto m = make_msg(kHello, "noreg");
	EXPECT_EQ(ENOENT, ioc(d, QELCTLUPCALL, m.data()));
	// Deferred hellos ignore the registration's code.
	qelmodel_card(0)->dev.fault_flags = QEL_FAULT_NOUPCALL;
	auto m2 = make_msg(kHello, "noreg");
	EXPECT_EQ(73, ioc(d, QELCTLUPCALL, m2.data()));
}

TEST_F(Upcall, ShortFirmwareReplyDoesNotCountAsAnAnswer)
{
	Firmware fw;
	use(fw);
	ASSERT_EQ(0, qelmodel_add_card(0));
	fw.reply[0] = std::vector<uint8_t>(8, 0);
	qelctl_dev_t d = open_dev();
	auto m = make_msg(kHello, "short");
	EXPECT_EQ(0, ioc(d, QELCTLUPCALL, m.data()));
	EXPECT_EQ(-1, qelmodel_registered("short"));
}

TEST_F(Upcall, ResponseGoesToTheDeviceInTheHandle)
{
	for (int i : { 0, 2 })
		ASSERT_EQ(0, qelmodel_add_card(i));
	qelctl_dev_t d = hello("ks.r");
	Firmware fw;
	use(fw);
	fw.reply[2] = Firmware::response(0, 0x22, 412);
	auto m = make_msg(kResponse, "ks.r", 200);
	set_be(m.data(), 4, 0x02000abc);
	m[150] = 0x99;
	long before = outstanding();
	ASSERT_EQ(0, ioc(d, QELCTLUPCALL, m.data()));
	EXPECT_EQ(before, outstanding());
	ASSERT_EQ(1u, fw.seen.size());
	EXPECT_EQ(2, fw.seen[0].first);
	EXPECT_EQ(getminor(d), fw.callers[0]);
	ASSERT_EQ(200u, fw.seen[0].second.size());
	EXPECT_EQ(0x99, fw.seen[0].second[150]);
	EXPECT_EQ(0x02000abcu, be_at(fw.seen[0].second.data(), 4));
	// The reply replaced the message.
	EXPECT_EQ(0x22, m[100]);
	EXPECT_EQ(0, qelmodel_card(2)->holds);
	EXPECT_EQ(2, qelmodel_card(2)->n_dbm);      // the hello and this one
	EXPECT_EQ(1, qelmodel_card(0)->n_dbm);      // the hello only
}

TEST_F(Upcall, ResponseToAnUnknownDeviceIsEfault)
{
	qelctl_dev_t d = hello("ks.u");
	for (uint32_t handle : { 0x05000000u, 0xff000000u, 0x80000001u }) {
		auto m = make_msg(kResponse, "ks.u");
		set_be(m.data(), 4, handle);
		long before = outstanding();
		EXPECT_EQ(EFAULT, ioc(d, QELCTLUPCALL, m.data())) << std::hex << handle;
		EXPECT_EQ(before, outstanding());
	}
	EXPECT_EQ(0, qelmodel_card(0)->holds);
}

TEST_F(Upcall, ResponseErrorsReleaseEverything)
{
	Firmware fw;
	use(fw);
	ASSERT_EQ(0, qelmodel_add_card(0));
	qelctl_dev_t d = open_dev();
	fw.code[0] = ETIME;
	auto m = make_msg(kResponse, "e");
	long before = outstanding();
	EXPECT_EQ(ETIME, ioc(d, QELCTLUPCALL, m.data()));
	EXPECT_EQ(before, outstanding());
	// The message cannot be read in full: paramSize runs off the caller's
	// memory.
	long page = sysconf(_SC_PAGESIZE);
	auto *p = static_cast<uint8_t *>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
	    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
	ASSERT_NE(MAP_FAILED, p);
	ASSERT_EQ(0, munmap(p + page, page));
	auto hdr = make_msg(kResponse, "e", 412, kMaxMsg, 64);
	std::memcpy(p + page - 64, hdr.data(), 64);
	EXPECT_EQ(EFAULT, ioc(d, QELCTLUPCALL, p + page - 64));
	auto hh = make_msg(kHello, "e", 412, kMaxMsg, 64);
	std::memcpy(p + page - 64, hh.data(), 64);
	EXPECT_EQ(EFAULT, ioc(d, QELCTLUPCALL, p + page - 64));
	munmap(p, page);
	EXPECT_EQ(before, outstanding());
	EXPECT_EQ(0, qelmodel_card(0)->holds);
	// Refused allocation.
	qelsim_kmem_fail_nth(1);
	auto m2 = make_msg(kResponse, "e");
	EXPECT_EQ(ENOMEM, ioc(d, QELCTLUPCALL, m2.data()));
	EXPECT_EQ(0, qelmodel_card(0)->holds);
}

TEST_F(Upcall, AttachFailureLeavesTheFileOutOfUpcallMode)
{
	ASSERT_EQ(0, qelmodel_add_card(0));
	qelmodel_set_attach_code(EMFILE);
	qelctl_dev_t d = open_dev();
	auto m = make_msg(kStandby, "");
	EXPECT_EQ(EMFILE, ioc(d, QELCTLUPCALL, m.data()));
	EXPECT_EQ(0, ioc_val(d, QELCTLBIND, 0));
	qelmodel_clear_events();
	ASSERT_EQ(0, close_dev(d));
	qelmodel_event_t ev[8];
	ASSERT_EQ(1, qelmodel_events(ev, 8));
	EXPECT_EQ(QM_EV_RELE_CTL, ev[0].kind);
}

TEST_F(Upcall, LatestRegistrationWins)
{
	qelctl_dev_t a = hello("same");
	qelctl_dev_t b = hello("same");
	EXPECT_EQ(getminor(b), qelmodel_registered("same"));
	ASSERT_EQ(0, close_dev(b));
	EXPECT_EQ(getminor(a), qelmodel_registered("same"));
	ASSERT_EQ(0, close_dev(a));
	std::vector<uint8_t> up(40, 0);
	EXPECT_EQ(ENOENT, qelmodel_post_upcall("same", up.data(), up.size()));
}

}  // namespace
