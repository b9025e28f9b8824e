// What a local user with an open control-device file can try against the
// core: two files racing transfers on one card, a header changed between
// the core's copies, oversized and unmapped FDI images, instance numbers
// and probe counts out of range.
#include <atomic>
#include <thread>

#include "qelctl_fixture.h"

using namespace qeltest;

namespace {

constexpr size_t KiB = 1024;
constexpr size_t MiB = 1024 * 1024;

class Hostile : public QelctlTest {
protected:
	void TearDown() override
	{
		qelmodel_set_firmware(nullptr, nullptr);
		qelsim_set_copy_backend(nullptr, nullptr);
		QelctlTest::TearDown();
	}

	// An image the checking card accepts: 32 bytes of SHA-256 of the rest,
	// then the rest.
	static std::vector<uint8_t> signed_image(size_t n, uint32_t seed)
	{
		std::vector<uint8_t> v(n);
		for (size_t i = 32; i < n; i++)
			v[i] = static_cast<uint8_t>((i * 2654435761u + seed) >> 13);
		qelmodel_sha256(v.data() + 32, n - 32, v.data());
		return v;
	}

	static int fwupdate(qelctl_dev_t d, const void *addr, size_t size)
	{
		qelctl_fwupdate_t fu{};
		fu.mfu_size = size;
		fu.mfu_addr = const_cast<void *>(addr);
		return ioc(d, QELCTLFWUPDATE, &fu);
	}

	static int fdi(qelctl_dev_t d, const void *addr, size_t size)
	{
		qelctl_fwupdate_t fu{};
		fu.mfu_size = size;
		fu.mfu_addr = const_cast<void *>(addr);
		return ioc(d, QELCTLFDIDL, &fu);
	}
};

// Two files bound to one card run firmware updates and security commands
// at the same time.  Each transfer must reach the card as its own caller
// sent it (the card checks each image's digest, the security command
// echoes its request) and every buffer must be freed by the file that made
// it.  Sizes cover the single block and the chunk list.
TEST_F(Hostile, TwoFilesTransferingOnOneCardKeepTheirOwnBuffers)
{
	ASSERT_EQ(0, qelmodel_add_card(0));
	qelmodel_card(0)->check_images = 1;
	qelctl_dev_t a = bound(0), b = bound(0);
	long before = outstanding();
	std::atomic<int> bad{0};
	constexpr int kRounds = 500;
	auto run = [&](qelctl_dev_t d, uint32_t seed) {
		// Mostly small transfers: their buffers are filled quickly, so the
		// two files fill the descriptor often.
		static const size_t sizes[] = { 40, 100, 3 * KiB, 200 * KiB, 40, 64,
			MiB + 5 * KiB, 33 };
		for (int round = 0; round < kRounds; round++) {
			size_t n = sizes[(round + seed) % 8];
			auto img = signed_image(n, seed * 1000 + static_cast<uint32_t>(round));
			if (fwupdate(d, img.data(), img.size()) != 0)
				bad++;
			std::vector<uint8_t> req(n / 2 + 1), buf(n / 2 + 1);
			for (size_t i = 0; i < req.size(); i++)
				req[i] = buf[i] = static_cast<uint8_t>(i * 7 + seed + round);
			qelctl_seccmd_t sc{};
			sc.msc_actsize = static_cast<uint32_t>(req.size());
			sc.msc_blksize = static_cast<uint32_t>(buf.size());
			sc.msc_buf = buf.data();
			if (ioc(d, QELCTLSECCMD, &sc) != 0 || buf != req)
				bad++;
		}
	};
	std::thread ta(run, a, 1), tb(run, b, 2);
	ta.join();
	tb.join();
	EXPECT_EQ(0, bad.load());
	EXPECT_EQ(0, qelmodel_card(0)->n_bad_images);
	EXPECT_EQ(2 * kRounds, qelmodel_card(0)->n_fw);
	EXPECT_EQ(before, outstanding());
}

// The header is copied once: a caller that rewrites it after the core's
// checks (here: on the core's next read of its buffer) cannot get another
// size, type or device past them.
struct Racer {
	int reads = 0;
};

int racing_copy(void *ctx, int to_user, uint64_t uaddr, void *kaddr,
    size_t len)
{
	auto *r = static_cast<Racer *>(ctx);
	auto *u = reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(uaddr));
	if (!to_user && r->reads++ == 1) {
		// After the header was read: claim a huge paramSize, another
		// type and another card, in the caller's own buffer.
		uint8_t *hdr = u;
		set_be(hdr, 0, kHello);
		set_be(hdr, 4, 0x01000000);
		set_be(hdr, 24, 0x7fffffff);
	}
	return qelsim_copy_local(nullptr, to_user, uaddr, kaddr, len);
}

struct Seen {
	std::vector<std::vector<uint8_t>> msgs;
	std::vector<int> instances;
	static int hook(void *ctx, int instance, int caller, const void *msg,
	    size_t len, void **out, size_t *outlen)
	{
		(void)caller;
		auto *s = static_cast<Seen *>(ctx);
		const auto *p = static_cast<const uint8_t *>(msg);
		s->msgs.emplace_back(p, p + len);
		s->instances.push_back(instance);
		void *m = qelmodel_alloc(kParam);
		std::memcpy(m, p, std::min<size_t>(len, kParam));
		set_be(m, 0, kResponse);
		set_be(m, 12, 0);
		set_be(m, 24, kParam);
		*out = m;
		*outlen = kParam;
		return 0;
	}
};

TEST_F(Hostile, HeaderChangedAfterTheChecksIsNotWhatTheCardGets)
{
	ASSERT_EQ(0, qelmodel_add_card(0));
	ASSERT_EQ(0, qelmodel_add_card(1));
	qelctl_dev_t d = open_dev();
	Seen seen;
	qelmodel_set_firmware(&Seen::hook, &seen);
	auto m = make_msg(kResponse, "ks.race", 64);
	set_be(m.data(), 4, 0x00000abc);      // card 0
	Racer r;
	qelsim_set_copy_backend(racing_copy, &r);
	ASSERT_EQ(0, ioc(d, QELCTLUPCALL, m.data()));
	qelsim_set_copy_backend(nullptr, nullptr);
	ASSERT_GE(r.reads, 2);                // the race did happen
	ASSERT_EQ(1u, seen.msgs.size());
	EXPECT_EQ(0, seen.instances[0]);
	ASSERT_EQ(64u, seen.msgs[0].size());
	EXPECT_EQ(kResponse, be_at(seen.msgs[0].data(), 0));
	EXPECT_EQ(0x00000abcu, be_at(seen.msgs[0].data(), 4));
	EXPECT_EQ(64u, be_at(seen.msgs[0].data(), 24));
	EXPECT_EQ(0, qelmodel_card(1)->n_dbm);
}

// FDI images are limited to 64 MiB, refused before any allocation above
// it; below it, an unreadable image fails at its first chunk instead of
// after allocating all of them.
TEST_F(Hostile, FdiImageIsLimitedAndCopiedChunkByChunk)
{
	qelctl_dev_t d = bound(0);
	std::vector<uint8_t> img(64);
	qelsim_kmem_stats_t st0, st1;
	qelsim_kmem_get_stats(&st0);
	EXPECT_EQ(E2BIG, fdi(d, img.data(), QELCTL_FDI_MAX + size_t{1}));
	EXPECT_EQ(E2BIG, fdi(d, img.data(), size_t{2} << 30));
	qelsim_kmem_get_stats(&st1);
	EXPECT_EQ(st0.allocs, st1.allocs);

	long before = outstanding();
	EXPECT_EQ(EFAULT, fdi(d, bad_addr(), QELCTL_FDI_MAX));
	qelsim_kmem_get_stats(&st0);
	// The private copy, the list and the first chunk, nothing more.
	EXPECT_EQ(3, st0.allocs - st1.allocs);
	EXPECT_EQ(before, outstanding());
	EXPECT_EQ(0, qelmodel_card(0)->n_fdi_dl);
}

// The instance is an int: 4294967297 does not become card 1.
TEST_F(Hostile, BindInstanceBeyondIntIsInvalid)
{
	ASSERT_EQ(0, qelmodel_add_card(1));
	qelctl_dev_t d = open_dev();
	EXPECT_EQ(EINVAL, ioc_val(d, QELCTLBIND, 4294967297ul));
	EXPECT_EQ(EINVAL, ioc_val(d, QELCTLBIND, 0xffffffffu));
	EXPECT_EQ(0, qelmodel_card(1)->holds);
	EXPECT_EQ(0, ioc_val(d, QELCTLBIND, 1));
}

// A driver that reports more cards than the array holds, or a negative
// count, is kept to 0..32.
TEST_F(Hostile, ProbeCountIsKeptWithinTheArray)
{
	ASSERT_EQ(0, qelmodel_add_card(3));
	qelctl_dev_t d = open_dev();
	for (int forced : { 40, -3, 32 }) {
		qelmodel_force_probe_count(1, forced);
		qelctl_probe_t pr;
		std::memset(&pr, 0x77, sizeof(pr));
		ASSERT_EQ(0, ioc(d, QELCTLPROBE, &pr));
		EXPECT_EQ(forced < 0 ? 0 : std::min(forced, 32), pr.mpr_ndevs) << forced;
		EXPECT_EQ(3, pr.mpr_devinst[0]);
	}
	qelmodel_force_probe_count(0, 0);
}

// Open and close many files from several threads at once: the slot table
// is served outside the spin lock (the fixture checks no entry point ran
// under one) and comes out empty.
TEST_F(Hostile, OpensAndClosesRaceWithoutLosingSlots)
{
	std::vector<std::thread> ts;
	std::atomic<int> bad{0};
	for (int t = 0; t < 4; t++)
		ts.emplace_back([&] {
			for (int i = 0; i < 200; i++) {
				qelctl_dev_t dv = makedevice(250, 0);
				int rv = 0;
				if (qelctl_open(&dv, 0, 0, nullptr) != 0 ||
				    qelctl_ioctl(dv, QELCTLPROBE, 0, 0, nullptr, &rv) != EFAULT ||
				    qelctl_close(dv, 0, 0, nullptr) != 0)
					bad++;
			}
		});
	for (auto &t : ts)
		t.join();
	EXPECT_EQ(0, bad.load());
	qelctl_dev_t d = open_dev();
	EXPECT_EQ(0, getminor(d));
}

}  // namespace
