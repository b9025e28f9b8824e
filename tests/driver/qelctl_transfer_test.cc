// Image transfers (firmware update, FDI download) through the core: block
// or chunk layout as the card sees it on its control DMA descriptor, the
// digest of what arrived, size limits, and that nothing leaks on any path.
#include <sys/mman.h>
#include <unistd.h>

#include "qelctl_fixture.h"

using namespace qeltest;

namespace {

constexpr size_t KiB = 1024;
constexpr size_t MiB = 1024 * 1024;

class Transfer : public QelctlTest {
protected:
	// A recognisable image: no two 64 KiB chunks alike.
	static std::vector<uint8_t> image(size_t n)
	{
		std::vector<uint8_t> v(n);
		for (size_t i = 0; i < n; i++)
			v[i] = static_cast<uint8_t>((i * 131) ^ (i >> 16));
		return v;
	}

	static std::vector<uint8_t> digest(const std::vector<uint8_t> &v)
	{
		std::vector<uint8_t> d(32);
		qelmodel_sha256(v.data(), v.size(), d.data());
		return d;
	}

	static std::vector<uint8_t> got(const qelmodel_xfer_t &x)
	{
		return std::vector<uint8_t>(x.sha256, x.sha256 + 32);
	}

	int fw(qelctl_dev_t d, const void *addr, size_t size, int select = 0)
	{
		qelctl_fwupdate_t fu{};
		fu.mfu_select = select;
		fu.mfu_size = size;
		fu.mfu_addr = const_cast<void *>(addr);
		return ioc(d, QELCTLFWUPDATE, &fu);
	}

	int fdi(qelctl_dev_t d, const void *addr, size_t size)
	{
		qelctl_fwupdate_t fu{};
		fu.mfu_size = size;
		fu.mfu_addr = const_cast<void *>(addr);
		return ioc(d, QELCTLFDIDL, &fu);
	}
};

TEST_F(Transfer, SmallImageGoesAsOnePlainBlock)
{
	qelctl_dev_t d = bound(0);
	auto img = image(5000);
	long before = outstanding();
	ASSERT_EQ(0, fw(d, img.data(), img.size(), QELCTL_FW_BOOTSTRAP));
	const qelmodel_xfer_t &x = qelmodel_card(0)->last_fw;
	EXPECT_EQ(1, x.single_block);
	EXPECT_EQ(1, x.addr_matches);
	EXPECT_EQ(1, x.layout_ok);
	EXPECT_EQ(QELCTL_FW_BOOTSTRAP, x.select);
	EXPECT_EQ(5000u, x.size);
	EXPECT_EQ(digest(img), got(x));
	EXPECT_EQ(before, outstanding());
}

TEST_F(Transfer, ExactlyOneMebibyteIsOneBlockOfPages)
{
	qelctl_dev_t d = bound(0);
	auto img = image(MiB);
	qelsim_kmem_stats_t st0, st1;
	qelsim_kmem_get_stats(&st0);
	ASSERT_EQ(0, fw(d, img.data(), img.size()));
	qelsim_kmem_get_stats(&st1);
	const qelmodel_xfer_t &x = qelmodel_card(0)->last_fw;
	EXPECT_EQ(1, x.single_block);
	EXPECT_EQ(0, x.n_chunks);
	EXPECT_EQ(MiB, x.desc_size);
	EXPECT_EQ(digest(img), got(x));
	// Above 128 KiB the block is made of DMA-zone pages.
	EXPECT_EQ(st0.page_allocs + 1, st1.page_allocs);
	EXPECT_EQ(st0.outstanding, st1.outstanding);
}

TEST_F(Transfer, OneByteOverAMebibyteMakesSeventeenChunks)
{
	qelctl_dev_t d = bound(0);
	auto img = image(MiB + 1);
	long before = outstanding();
	ASSERT_EQ(0, fw(d, img.data(), img.size()));
	const qelmodel_xfer_t &x = qelmodel_card(0)->last_fw;
	EXPECT_EQ(0, x.single_block);
	EXPECT_EQ(17, x.n_chunks);
	EXPECT_EQ(1, x.last_chunk_len);
	EXPECT_EQ(1, x.layout_ok);
	EXPECT_EQ(1, x.addr_matches);
	EXPECT_EQ(digest(img), got(x));
	EXPECT_EQ(before, outstanding());
}

TEST_F(Transfer, ThreeFullChunks)
{
	qelctl_dev_t d = bound(0);
	auto img = image(3 * 65536);
	// Force the chunk path for a size that would fit a block.
	qelsim_kmem_fail_above(64 * KiB);
	ASSERT_EQ(0, fdi(d, img.data(), img.size()));
	const qelmodel_xfer_t &x = qelmodel_card(0)->last_fdi_dl;
	EXPECT_EQ(3, x.n_chunks);
	EXPECT_EQ(65536, x.last_chunk_len);
	EXPECT_EQ(1, x.layout_ok);
	EXPECT_EQ(digest(img), got(x));
}

TEST_F(Transfer, BlockThatCannotBeHadFallsBackToChunks)
{
	qelctl_dev_t d = bound(0);
	auto img = image(200 * KiB);
	long before = outstanding();
	qelsim_kmem_fail_above(128 * KiB);
	ASSERT_EQ(0, fw(d, img.data(), img.size()));
	const qelmodel_xfer_t &x = qelmodel_card(0)->last_fw;
	EXPECT_EQ(0, x.single_block);
	EXPECT_EQ(4, x.n_chunks);
	EXPECT_EQ(static_cast<int>(200 * KiB - 3 * 65536), x.last_chunk_len);
	EXPECT_EQ(digest(img), got(x));
	EXPECT_EQ(before, outstanding());
}

TEST_F(Transfer, FirmwareSizeLimit)
{
	qelctl_dev_t d = bound(0);
	auto img = image(4 * MiB);
	ASSERT_EQ(0, fw(d, img.data(), img.size()));
	const qelmodel_xfer_t &x = qelmodel_card(0)->last_fw;
	EXPECT_EQ(64, x.n_chunks);
	EXPECT_EQ(digest(img), got(x));

	qelsim_kmem_stats_t st0, st1;
	qelsim_kmem_get_stats(&st0);
	EXPECT_EQ(E2BIG, fw(d, img.data(), 4 * MiB + 1));
	qelsim_kmem_get_stats(&st1);
	// Refused before any allocation.
	EXPECT_EQ(st0.allocs, st1.allocs);
	EXPECT_EQ(1, qelmodel_card(0)->n_fw);
}

TEST_F(Transfer, FdiHasNoFourMebibyteLimitButMustFitThirtyOneBits)
{
	qelctl_dev_t d = bound(0);
	auto img = image(4 * MiB + 1);
	ASSERT_EQ(0, fdi(d, img.data(), img.size()));
	const qelmodel_xfer_t &x = qelmodel_card(0)->last_fdi_dl;
	EXPECT_EQ(65, x.n_chunks);
	EXPECT_EQ(1, x.last_chunk_len);
	EXPECT_EQ(digest(img), got(x));

	qelsim_kmem_stats_t st0, st1;
	qelsim_kmem_get_stats(&st0);
	EXPECT_EQ(E2BIG, fdi(d, img.data(), size_t{1} << 31));
	EXPECT_EQ(E2BIG, fdi(d, img.data(), ~size_t{0}));
	qelsim_kmem_get_stats(&st1);
	EXPECT_EQ(st0.allocs, st1.allocs);
	EXPECT_EQ(1, qelmodel_card(0)->n_fdi_dl);
}

TEST_F(Transfer, BadImageAddressGivesEfaultAndLeaksNothing)
{
	qelctl_dev_t d = bound(0);
	for (size_t size : { size_t{100}, 300 * KiB, MiB, 2 * MiB + 7 }) {
		long before = outstanding();
		EXPECT_EQ(EFAULT, fw(d, bad_addr(), size)) << size;
		EXPECT_EQ(EFAULT, fdi(d, bad_addr(), size)) << size;
		EXPECT_EQ(before, outstanding()) << size;
	}
	EXPECT_EQ(0, qelmodel_card(0)->n_fw);
	EXPECT_EQ(0, qelmodel_card(0)->n_fdi_dl);

	// An image whose tail runs off the caller's memory fails too, in the
	// block and in the chunk layout.
	long page = sysconf(_SC_PAGESIZE);
	size_t span = 2 * MiB;
	auto *m = static_cast<uint8_t *>(mmap(nullptr, span + page,
	    PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
	ASSERT_NE(MAP_FAILED, m);
	ASSERT_EQ(0, munmap(m + span, page));
	long before = outstanding();
	EXPECT_EQ(EFAULT, fw(d, m + span - 4096, 8192));
	EXPECT_EQ(EFAULT, fdi(d, m, span + 1));
	EXPECT_EQ(0, fdi(d, m, span));
	EXPECT_EQ(before, outstanding());
	munmap(m, span);
}

TEST_F(Transfer, ChunkAllocationFailureFreesWhatWasMade)
{
	qelctl_dev_t d = bound(0);
	auto img = image(2 * MiB);
	long before = outstanding();
	// private copy, list, then chunks: the fifth chunk fails.
	qelsim_kmem_fail_nth(2 + 5);
	EXPECT_EQ(ENOMEM, fw(d, img.data(), img.size()));
	EXPECT_EQ(before, outstanding());
	// The private copy itself.
	qelsim_kmem_fail_nth(1);
	EXPECT_EQ(ENOMEM, fdi(d, img.data(), img.size()));
	EXPECT_EQ(before, outstanding());
	EXPECT_EQ(0, qelmodel_card(0)->n_fw + qelmodel_card(0)->n_fdi_dl);
}

TEST_F(Transfer, FaultBitsDecideWhichTransfersRun)
{
	qelctl_dev_t d = bound(0);
	auto img = image(1000);
	qelmodel_card_t *c = qelmodel_card(0);
	c->dev.fault_flags = QEL_FAULT_NOFDI;
	EXPECT_EQ(EIO, fdi(d, img.data(), img.size()));
	EXPECT_EQ(0, fw(d, img.data(), img.size()));
	c->dev.fault_flags = QEL_FAULT_FAILED;
	EXPECT_EQ(EIO, fw(d, img.data(), img.size()));
	EXPECT_EQ(EIO, fdi(d, img.data(), img.size()));
	EXPECT_EQ(1, c->n_fw);
	EXPECT_EQ(0, c->n_fdi_dl);
}

TEST_F(Transfer, DriverCodeIsReturnedAndMemoryStillFreed)
{
	qelctl_dev_t d = bound(0);
	auto img = image(MiB + 100);
	qelmodel_card(0)->code[QM_EP_FWUPDATE] = EPROTO;
	long before = outstanding();
	EXPECT_EQ(EPROTO, fw(d, img.data(), img.size()));
	EXPECT_EQ(before, outstanding());
	EXPECT_EQ(1, qelmodel_card(0)->n_fw);
}

TEST_F(Transfer, FreeingFollowsThePrivateCopyNotTheDriversDescriptor)
{
	// The card wipes its descriptor during the call; qelctl must still free
	// every chunk and block it made.
	qelctl_dev_t d = bound(0);
	qelmodel_card_t *c = qelmodel_card(0);
	c->clobber_desc = 1;
	long before = outstanding();
	auto big = image(MiB + 1);
	ASSERT_EQ(0, fw(d, big.data(), big.size()));
	EXPECT_EQ(17, c->last_fw.n_chunks);
	auto small = image(3000);
	ASSERT_EQ(0, fdi(d, small.data(), small.size()));
	EXPECT_EQ(1, c->last_fdi_dl.single_block);
	EXPECT_EQ(nullptr, c->dev.ctl_dma.sglist);
	EXPECT_EQ(before, outstanding());
}

}  // namespace
