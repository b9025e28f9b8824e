// Security commands, the public key and the module allocator's rules.
#include <thread>

#include "qelctl_fixture.h"

using namespace qeltest;

namespace {

constexpr uint32_t MiB = 1024 * 1024;

class SecCmd : public QelctlTest {
protected:
	static int sec(qelctl_dev_t d, qelctl_seccmd_t *sc) { return ioc(d, QELCTLSECCMD, sc); }

	static qelctl_seccmd_t cmd(std::vector<uint8_t> &buf, uint32_t actsize, uint32_t flags = 0)
	{
		qelctl_seccmd_t sc{};
		sc.msc_flags = flags;
		sc.msc_actsize = actsize;
		sc.msc_blksize = static_cast<uint32_t>(buf.size());
		sc.msc_buf = buf.data();
		return sc;
	}

	static std::vector<uint8_t> pattern(size_t n, uint8_t seed)
	{
		std::vector<uint8_t> v(n);
		for (size_t i = 0; i < n; i++)
			v[i] = static_cast<uint8_t>(seed + i * 7);
		return v;
	}
};

TEST_F(SecCmd, EchoWithIdcHeaderOnNewFirmware)
{
	qelctl_dev_t d = bound(0);
	qelmodel_set_domain(9);
	auto buf = pattern(256, 3);
	auto sent = buf;
	qelctl_seccmd_t sc = cmd(buf, 40, 0x55);
	long before = outstanding();
	ASSERT_EQ(0, sec(d, &sc));
	EXPECT_EQ(before, outstanding());
	qelmodel_card_t *c = qelmodel_card(0);
	ASSERT_EQ(1, c->sec_hdr_present);
	int caller = -1, domain = -1;
	ASSERT_EQ(1, qelmodel_idc_check(c->sec_hdr, &caller, &domain));
	EXPECT_EQ(getminor(d), caller);
	EXPECT_EQ(9, domain);
	EXPECT_EQ(0x55u, c->sec_flags);
	ASSERT_EQ(40u, c->sec_req_len);
	EXPECT_EQ(0, std::memcmp(sent.data(), c->sec_req, 40));
	// The buffer the card got is the caller's size plus the header.
	EXPECT_EQ(256u + 16, c->last_sec.desc_size);
	// Echo: the reply length is the request length.
	EXPECT_EQ(40u, sc.msc_actsize);
	EXPECT_EQ(sent, buf);
}

TEST_F(SecCmd, NoHeaderBeforeVersionTwo)
{
	qelctl_dev_t d = bound(0);
	qelmodel_set_fwver(0, 0x01ffffff);
	auto buf = pattern(64, 1);
	auto sent = buf;
	qelctl_seccmd_t sc = cmd(buf, 64);
	ASSERT_EQ(0, sec(d, &sc));
	qelmodel_card_t *c = qelmodel_card(0);
	EXPECT_EQ(0, c->sec_hdr_present);
	EXPECT_EQ(64u, c->last_sec.desc_size);
	ASSERT_EQ(64u, c->sec_req_len);
	EXPECT_EQ(0, std::memcmp(sent.data(), c->sec_req, 64));
	EXPECT_EQ(64u, sc.msc_actsize);
}

TEST_F(SecCmd, ScriptedReplyIsCopiedBackWithItsLength)
{
	qelctl_dev_t d = bound(0);
	auto reply = pattern(100, 77);
	ASSERT_EQ(0, qelmodel_set_sec_reply(0, reply.data(), reply.size()));
	std::vector<uint8_t> buf(128, 0xee);
	qelctl_seccmd_t sc = cmd(buf, 10);
	ASSERT_EQ(0, sec(d, &sc));
	EXPECT_EQ(100u, sc.msc_actsize);
	EXPECT_EQ(0, std::memcmp(reply.data(), buf.data(), 100));
	// Beyond the reply the caller's buffer is untouched.
	EXPECT_EQ(0xee, buf[100]);
	EXPECT_EQ(0xee, buf[127]);
}

TEST_F(SecCmd, ReplyLongerThanTheBufferGivesEnospcAndTheNeededLength)
{
	qelctl_dev_t d = bound(0);
	auto reply = pattern(300, 5);
	ASSERT_EQ(0, qelmodel_set_sec_reply(0, reply.data(), reply.size()));
	// The caller's buffer is a slice of a larger area: nothing past its 64
	// bytes may be written.
	std::vector<uint8_t> area(512, 0xcc);
	qelctl_seccmd_t sc{};
	sc.msc_actsize = 16;
	sc.msc_blksize = 64;
	sc.msc_buf = area.data();
	long before = outstanding();
	EXPECT_EQ(ENOSPC, sec(d, &sc));
	EXPECT_EQ(300u, sc.msc_actsize);
	for (size_t i = 64; i < area.size(); i++)
		ASSERT_EQ(0xcc, area[i]) << i;
	// What comes back past the request is not the allocator's old memory
	// (fresh blocks are poisoned in the test bed).
	for (size_t i = 16; i < 64; i++)
		ASSERT_NE(QELSIM_KMEM_POISON, area[i]) << i;
	EXPECT_EQ(before, outstanding());
}

TEST_F(SecCmd, SizeChecks)
{
	qelctl_dev_t d = bound(0);
	std::vector<uint8_t> small(16);
	qelctl_seccmd_t sc = cmd(small, 17);
	EXPECT_EQ(E2BIG, sec(d, &sc));

	qelsim_kmem_stats_t st0, st1;
	qelsim_kmem_get_stats(&st0);
	sc.msc_actsize = 0;
	sc.msc_blksize = 4 * MiB - 16 + 1;     // with the header over 4 MiB
	EXPECT_EQ(E2BIG, sec(d, &sc));
	sc.msc_blksize = 0xffffffffu;
	EXPECT_EQ(E2BIG, sec(d, &sc));
	qelsim_kmem_get_stats(&st1);
	EXPECT_EQ(st0.allocs, st1.allocs);
	EXPECT_EQ(0, qelmodel_card(0)->n_sec);

	// Without a header the whole 4 MiB is the caller's.
	qelmodel_set_fwver(0, 0x01000000);
	std::vector<uint8_t> big(4 * MiB);
	qelctl_seccmd_t ok = cmd(big, 100);
	EXPECT_EQ(0, sec(d, &ok));
	EXPECT_EQ(64, qelmodel_card(0)->last_sec.n_chunks);
}

TEST_F(SecCmd, ChunkedBufferCarriesTheWholeCallerBuffer)
{
	qelctl_dev_t d = bound(0);
	auto buf = pattern(2 * MiB, 11);
	auto sent = buf;
	qelctl_seccmd_t sc = cmd(buf, 2 * MiB);
	long before = outstanding();
	ASSERT_EQ(0, sec(d, &sc));
	EXPECT_EQ(before, outstanding());
	qelmodel_card_t *c = qelmodel_card(0);
	EXPECT_EQ(33, c->last_sec.n_chunks);        // 2 MiB + 16 bytes
	EXPECT_EQ(16, c->last_sec.last_chunk_len);
	EXPECT_EQ(1, c->sec_hdr_present);
	ASSERT_EQ(2u * MiB, c->sec_req_len);
	EXPECT_EQ(0, std::memcmp(sent.data(), c->sec_req, c->sec_req_len));
	EXPECT_EQ(sent, buf);
	EXPECT_EQ(2u * MiB, sc.msc_actsize);
}

TEST_F(SecCmd, RefusedByFaultAndDeviceFlags)
{
	qelctl_dev_t d = bound(0);
	std::vector<uint8_t> buf(32);
	qelctl_seccmd_t sc = cmd(buf, 4);
	qelmodel_card(0)->dev.dev_flags = QEL_DEV_NOSECCMD;
	EXPECT_EQ(EIO, sec(d, &sc));
	qelmodel_card(0)->dev.dev_flags = 0;
	qelmodel_card(0)->dev.fault_flags = QEL_FAULT_FAILED;
	EXPECT_EQ(EIO, sec(d, &sc));
	EXPECT_EQ(0, qelmodel_card(0)->n_sec);
	// The file still counts as having issued security commands.
	ASSERT_EQ(0, close_dev(d));
	EXPECT_EQ(1, qelmodel_card(0)->n_disconnect);
}

TEST_F(SecCmd, BadBufferAndDriverErrors)
{
	qelctl_dev_t d = bound(0);
	qelctl_seccmd_t sc{};
	sc.msc_actsize = 8;
	sc.msc_blksize = 64;
	sc.msc_buf = bad_addr();
	long before = outstanding();
	EXPECT_EQ(EFAULT, sec(d, &sc));
	EXPECT_EQ(EFAULT, sec(d, static_cast<qelctl_seccmd_t *>(bad_addr())));
	EXPECT_EQ(before, outstanding());
	EXPECT_EQ(0, qelmodel_card(0)->n_sec);

	std::vector<uint8_t> buf(64, 0x42);
	qelctl_seccmd_t sc2 = cmd(buf, 8);
	qelmodel_card(0)->code[QM_EP_SECCMD] = EPERM;
	EXPECT_EQ(EPERM, sec(d, &sc2));
	// Nothing is copied back on an error other than ENOSPC.
	EXPECT_EQ(8u, sc2.msc_actsize);
	EXPECT_EQ(before, outstanding());
}

// The public key blob: u32, modulus length, exponent length, modulus,
// exponent.
static std::vector<uint8_t> key_blob(const std::vector<uint8_t> &mod,
    const std::vector<uint8_t> &exp)
{
	std::vector<uint8_t> b(12);
	uint32_t w[3] = { 0x1234, static_cast<uint32_t>(mod.size()),
		static_cast<uint32_t>(exp.size()) };
	std::memcpy(b.data(), w, 12);
	b.insert(b.end(), mod.begin(), mod.end());
	b.insert(b.end(), exp.begin(), exp.end());
	return b;
}

class PubKey : public SecCmd {};

TEST_F(PubKey, KeyPartsAreCopiedToTheCallersBuffers)
{
	qelctl_dev_t d = bound(0);
	auto mod = pattern(256, 9);
	std::vector<uint8_t> exp = { 1, 0, 1 };
	auto blob = key_blob(mod, exp);
	ASSERT_EQ(0, qelmodel_set_pubkey(0, blob.data(), blob.size()));

	for (size_t cap : { size_t{4096}, size_t{0} }) {
		std::vector<uint8_t> m(4096, 0), e(4096, 0);
		qelctl_getpubkey_t pk{ cap, cap, m.data(), e.data() };
		long before = outstanding();
		ASSERT_EQ(0, ioc(d, QELCTLGETPUBKEY, &pk)) << cap;
		EXPECT_EQ(before, outstanding());
		EXPECT_EQ(256u, pk.mpk_modlen);
		EXPECT_EQ(3u, pk.mpk_explen);
		EXPECT_EQ(0, std::memcmp(mod.data(), m.data(), 256));
		EXPECT_EQ(0, std::memcmp(exp.data(), e.data(), 3));
		EXPECT_EQ(0, m[256]);
	}
}

TEST_F(PubKey, KeyPartLargerThanTheStatedBufferIsRefused)
{
	qelctl_dev_t d = bound(0);
	auto mod = pattern(512, 2);
	std::vector<uint8_t> exp = { 3 };
	auto blob = key_blob(mod, exp);
	ASSERT_EQ(0, qelmodel_set_pubkey(0, blob.data(), blob.size()));
	std::vector<uint8_t> m(600, 0xaa), e(4, 0xaa);
	qelctl_getpubkey_t pk{ 511, 4, m.data(), e.data() };
	long before = outstanding();
	EXPECT_EQ(EIO, ioc(d, QELCTLGETPUBKEY, &pk));
	EXPECT_EQ(0xaa, m[0]);
	EXPECT_EQ(511u, pk.mpk_modlen);
	pk.mpk_modlen = 512;
	pk.mpk_explen = 0;
	EXPECT_EQ(0, ioc(d, QELCTLGETPUBKEY, &pk));
	std::vector<uint8_t> bigexp(8, 1);
	auto blob2 = key_blob(mod, bigexp);
	ASSERT_EQ(0, qelmodel_set_pubkey(0, blob2.data(), blob2.size()));
	pk.mpk_modlen = 4096;
	pk.mpk_explen = 4;
	EXPECT_EQ(EIO, ioc(d, QELCTLGETPUBKEY, &pk));
	EXPECT_EQ(before, outstanding());
}

TEST_F(PubKey, MalformedOrMissingBlobIsEio)
{
	qelctl_dev_t d = bound(0);
	std::vector<uint8_t> m(4096), e(4096);
	qelctl_getpubkey_t pk{ 4096, 4096, m.data(), e.data() };
	long before = outstanding();
	EXPECT_EQ(EIO, ioc(d, QELCTLGETPUBKEY, &pk));      // no key

	std::vector<uint8_t> shortb(11, 0);
	ASSERT_EQ(0, qelmodel_set_pubkey(0, shortb.data(), shortb.size()));
	EXPECT_EQ(EIO, ioc(d, QELCTLGETPUBKEY, &pk));

	// Lengths that claim more than the blob holds, also when their sum
	// wraps around 32 bits.
	auto blob = key_blob(pattern(16, 1), pattern(4, 1));
	uint32_t lie = 17;
	std::memcpy(blob.data() + 4, &lie, 4);
	ASSERT_EQ(0, qelmodel_set_pubkey(0, blob.data(), blob.size()));
	EXPECT_EQ(EIO, ioc(d, QELCTLGETPUBKEY, &pk));
	uint32_t wrap[2] = { 0xfffffff0u, 0x14u };
	std::memcpy(blob.data() + 4, wrap, 8);
	ASSERT_EQ(0, qelmodel_set_pubkey(0, blob.data(), blob.size()));
	EXPECT_EQ(EIO, ioc(d, QELCTLGETPUBKEY, &pk));

	qelmodel_card(0)->code[QM_EP_GETPUBKEY] = ENODEV;
	EXPECT_EQ(EIO, ioc(d, QELCTLGETPUBKEY, &pk));
	EXPECT_EQ(before, outstanding());
}

TEST_F(PubKey, BadCallerBuffersGiveEfaultAndFreeTheBlob)
{
	qelctl_dev_t d = bound(0);
	auto blob = key_blob(pattern(64, 1), pattern(3, 1));
	ASSERT_EQ(0, qelmodel_set_pubkey(0, blob.data(), blob.size()));
	std::vector<uint8_t> m(64), e(3);
	long before = outstanding();
	qelctl_getpubkey_t pk{ 0, 0, bad_addr(), e.data() };
	EXPECT_EQ(EFAULT, ioc(d, QELCTLGETPUBKEY, &pk));
	qelctl_getpubkey_t pk2{ 0, 0, m.data(), bad_addr() };
	EXPECT_EQ(EFAULT, ioc(d, QELCTLGETPUBKEY, &pk2));
	EXPECT_EQ(EFAULT, ioc(d, QELCTLGETPUBKEY, bad_addr()));
	EXPECT_EQ(before, outstanding());
	qelmodel_card(0)->dev.fault_flags = QEL_FAULT_FAILED;
	EXPECT_EQ(EIO, ioc(d, QELCTLGETPUBKEY, &pk2));
}

TEST(Allocator, OrderArithmetic)
{
	EXPECT_EQ(-1, qelctl_kmem_order(0));
	EXPECT_EQ(-1, qelctl_kmem_order(0x20000));
	EXPECT_EQ(6, qelctl_kmem_order(0x20001));      // 33 pages
	EXPECT_EQ(8, qelctl_kmem_order(MiB));          // 256 pages
	EXPECT_EQ(9, qelctl_kmem_order(MiB + 1));
	EXPECT_EQ(10, qelctl_kmem_order(4 * MiB));
	EXPECT_EQ(11, qelctl_kmem_order(4 * MiB + 1));
}

TEST(Allocator, TooLargeIsRefusedWithTheLogLine)
{
	std::vector<std::string> lines;
	qelsim_set_log_hook([](void *ctx, const char *line) {
		static_cast<std::vector<std::string> *>(ctx)->push_back(line);
	}, &lines);
	qelsim_kmem_stats_t st0, st1;
	qelsim_kmem_get_stats(&st0);
	EXPECT_EQ(nullptr, qelctl_kmem_alloc(4 * MiB + 1, KM_SLEEP));
	qelctl_kmem_free(reinterpret_cast<void *>(16), 8 * MiB);   // nothing freed
	void *p = qelctl_kmem_alloc(4 * MiB, KM_SLEEP);
	ASSERT_NE(nullptr, p);
	qelctl_kmem_free(p, 4 * MiB);
	qelsim_kmem_get_stats(&st1);
	qelsim_set_log_hook(nullptr, nullptr);
	ASSERT_EQ(2u, lines.size());
	EXPECT_EQ("<3>KYR ERROR:kmem_alloc: size 4194305 is too large\n", lines[0]);
	EXPECT_EQ("<3>KYR ERROR:kmem_free: size 8388608 is too large\n", lines[1]);
	EXPECT_EQ(st0.outstanding, st1.outstanding);
	EXPECT_EQ(st0.page_allocs + 1, st1.page_allocs);
	EXPECT_EQ(st0.refused + 1, st1.refused);
}

TEST(CompatMutex, DestroyingALockedMutexReleasesItFirst)
{
	kmutex_t m{};
	ASSERT_EQ(0, qelctl_mutex_init(&m));
	qelctl_mutex_enter(&m);
	EXPECT_EQ(1, m.locked);
	qelctl_mutex_destroy(&m);
	EXPECT_EQ(nullptr, m.impl);
	EXPECT_EQ(0, m.locked);
	qelctl_mutex_destroy(&m);       // twice is harmless
}

TEST(CopyBackend, DefaultReportsEfaultAndCustomBackendIsPerThread)
{
	char src[16] = "hello", dst[16] = {};
	EXPECT_EQ(0, qelctl_ddi_copyin(src, dst, 6, 0));
	EXPECT_STREQ("hello", dst);
	EXPECT_EQ(EFAULT, qelctl_ddi_copyin(reinterpret_cast<void *>(8), dst, 4, 0));
	EXPECT_EQ(EFAULT, qelctl_ddi_copyout(src, reinterpret_cast<void *>(8), 4, 0));

	struct Seen { int calls = 0; uint64_t addr = 0; int to_user = -1; } seen;
	qelsim_set_copy_backend([](void *ctx, int to_user, uint64_t uaddr,
	    void *kaddr, size_t len) -> int {
		auto *s = static_cast<Seen *>(ctx);
		s->calls++;
		s->addr = uaddr;
		s->to_user = to_user;
		std::memset(kaddr, 'x', to_user ? 0 : len);
		return 0;
	}, &seen);
	char buf[4];
	EXPECT_EQ(0, qelctl_ddi_copyin(reinterpret_cast<void *>(0x1234), buf, 4, 0));
	EXPECT_EQ(1, seen.calls);
	EXPECT_EQ(0x1234u, seen.addr);
	EXPECT_EQ(0, seen.to_user);
	EXPECT_EQ('x', buf[3]);
	// Another thread still uses the default backend.
	int other = -1;
	std::thread t([&] { other = qelctl_ddi_copyin(reinterpret_cast<void *>(0x1234), buf, 4, 0); });
	t.join();
	EXPECT_EQ(EFAULT, other);
	EXPECT_EQ(1, seen.calls);
	qelsim_set_copy_backend(nullptr, nullptr);
	EXPECT_EQ(EFAULT, qelctl_ddi_copyin(reinterpret_cast<void *>(0x1234), buf, 4, 0));
}

}  // namespace
