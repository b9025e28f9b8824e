// Allocation failure during keystore discovery: with every throwing
// allocation refused, the scan of the keystore directory still finds its
// keystores (records are allocated with the C allocator) and returns.
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core_fixture.h"
#include "fail_new.h"

namespace {

class DiscoveryNoMem : public kyrtest::KeystoreDirTest {};

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
