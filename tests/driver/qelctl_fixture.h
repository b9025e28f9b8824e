// Shared fixture of the qelctl core tests: a fresh card model and an
// attached core per test, helpers to issue commands and build upcall
// messages in network order.
#ifndef KYR_TESTS_QELCTL_FIXTURE_H
#define KYR_TESTS_QELCTL_FIXTURE_H

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "compat_user.h"
#include "qelctl_core.h"
#include "qelmodel.h"

namespace qeltest {

constexpr int kHdr = 28;
constexpr int kParam = 412;
constexpr int kMaxMsg = 61423;
constexpr uint32_t kStandby = 1;
constexpr uint32_t kHello = 10;
constexpr uint32_t kResponse = 14;

inline uint32_t be_at(const void *msg, size_t off)
{
	uint32_t v;
	std::memcpy(&v, static_cast<const uint8_t *>(msg) + off, 4);
	return ntohl(v);
}

inline void set_be(void *msg, size_t off, uint32_t v)
{
	v = htonl(v);
	std::memcpy(static_cast<uint8_t *>(msg) + off, &v, 4);
}

// A message as the daemon builds it: header and parameter block, network
// order, ksname at 28.
inline std::vector<uint8_t> make_msg(uint32_t type, const std::string &ksname,
    uint32_t psize = kParam, uint32_t extent = kMaxMsg, size_t bufsize = kMaxMsg)
{
	std::vector<uint8_t> m(bufsize, 0);
	set_be(m.data(), 0, type);
	set_be(m.data(), 20, extent);
	set_be(m.data(), 24, psize);
	std::memcpy(m.data() + 28, ksname.data(), std::min<size_t>(ksname.size(), 63));
	return m;
}

class QelctlTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_EQ(0, qelmodel_init());
		qelsim_kmem_reset_faults();
		qelsim_set_log_hook(&QelctlTest::capture, this);
		dip_ = static_cast<qelctl_dip_t *>(
		    qelctl_kmem_zalloc(sizeof(qelctl_dip_t), KM_NOSLEEP));
		ASSERT_NE(nullptr, dip_);
		ASSERT_EQ(0, qelctl_attach(dip_, QELCTL_ATTACH));
		atomic_calls_ = qelsim_atomic_calls();
	}

	void TearDown() override
	{
		for (qelctl_dev_t d : open_)
			qelctl_close(d, 0, 0, nullptr);
		open_.clear();
		EXPECT_EQ(0, qelctl_detach(dip_, QELCTL_DETACH));
		// No driver entry point ran while the core held a spin lock.
		EXPECT_EQ(atomic_calls_, qelsim_atomic_calls());
		qelsim_set_log_hook(nullptr, nullptr);
		qelsim_kmem_reset_faults();
		qelmodel_fini();
	}

	static void capture(void *ctx, const char *line)
	{
		auto *self = static_cast<QelctlTest *>(ctx);
		std::lock_guard<std::mutex> g(self->log_lock_);
		self->log_.push_back(line);
	}

	std::vector<std::string> log_lines()
	{
		std::lock_guard<std::mutex> g(log_lock_);
		return log_;
	}

	// Opens a file; closed by TearDown unless closed with close_dev.
	qelctl_dev_t open_dev()
	{
		qelctl_dev_t d = makedevice(250, 0);
		EXPECT_EQ(0, qelctl_open(&d, 0, 0, nullptr));
		open_.push_back(d);
		return d;
	}

	int close_dev(qelctl_dev_t d)
	{
		for (size_t i = 0; i < open_.size(); i++)
			if (open_[i] == d) {
				open_.erase(open_.begin() + static_cast<long>(i));
				break;
			}
		return qelctl_close(d, 0, 0, nullptr);
	}

	static int ioc(qelctl_dev_t d, int cmd, const void *arg, int *rv = nullptr)
	{
		int dummy = -1;
		return qelctl_ioctl(d, cmd, reinterpret_cast<unsigned long>(arg), 0,
		    nullptr, rv != nullptr ? rv : &dummy);
	}

	static int ioc_val(qelctl_dev_t d, int cmd, unsigned long v)
	{
		int dummy = -1;
		return qelctl_ioctl(d, cmd, v, 0, nullptr, &dummy);
	}

	// A file bound to a present card.
	qelctl_dev_t bound(int instance = 0)
	{
		if (!qelmodel_card(instance)->present) {
			EXPECT_EQ(0, qelmodel_add_card(instance));
		}
		qelctl_dev_t d = open_dev();
		EXPECT_EQ(0, ioc_val(d, QELCTLBIND, static_cast<unsigned long>(instance)));
		return d;
	}

	static long outstanding()
	{
		qelsim_kmem_stats_t st;
		qelsim_kmem_get_stats(&st);
		return st.outstanding;
	}

	// An address that is really not mapped.
	static void *bad_addr() { return reinterpret_cast<void *>(8); }

	qelctl_dip_t *dip_ = nullptr;
	long atomic_calls_ = 0;
	std::vector<qelctl_dev_t> open_;
	std::mutex log_lock_;
	std::vector<std::string> log_;
};

}  // namespace qeltest

#endif  // KYR_TESTS_QELCTL_FIXTURE_H
