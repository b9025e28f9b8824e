// Allocation failure during keystore discovery: with every throwing
// allocation refused, the scan of the keystore directory still finds its
// keystores (records are allocated with the C allocator) and returns.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core_fixture.h"
#include "fail_new.h"

using kyrtest::CoreTest;

namespace {

class DiscoveryNoMem : public CoreTest {
protected:
    void SetUp() override
    {
        CoreTest::SetUp();
        ks_ = dir_ + "/keydata";
        ASSERT_EQ(mkdir(ks_.c_str(), 0700), 0);
        mconf.keystoredir = strdup(ks_.c_str());
    }
    void TearDown() override
    {
        kstable_free(&table_);
        CoreTest::TearDown();
    }
    std::string ks_;
    kstable table_{};
};

TEST_F(DiscoveryNoMem, LongKeystoreNamesAreFoundWithoutAllocating)
{
    const std::string name = "a-keystore-name-longer-than-any-short-string";
    kyrtest::write_file(ks_ + "/" + name + ".conf", "");
    kyrtest::write_file(ks_ + "/" + std::string(70, 'k') + ".conf", "");
    int ret = -1;
    {
        fail_new::scope nomem;
        ret = qelkiod_get_ksnames(&table_);
    }
    EXPECT_EQ(ret, 0);
    ASSERT_EQ(table_.count, 1);
    EXPECT_EQ(std::string(table_.v[0]->name), name);
}

}  // namespace
