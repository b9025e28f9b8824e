// The daemon's limit on open files is at least 1024 and never cut below a
// higher limit it was given: each keystore thread keeps a descriptor.
#include <sys/resource.h>

#include "localks_fixture.h"

namespace kyrlks {
namespace {

// Soft and hard "Max open files" of a process, from /proc.
bool file_limits(pid_t pid, long *soft, long *hard)
{
    std::istringstream in(slurp("/proc/" + std::to_string(pid) + "/limits"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Max open files", 0) == 0) {
            std::istringstream f(line.substr(strlen("Max open files")));
            return static_cast<bool>(f >> *soft >> *hard);
        }
    }
    return false;
}

TEST_F(LocalKsTest, OpenFileLimitIsAtLeast1024AndKeepsAHigherOne)
{
    struct rlimit own;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &own));
    start();
    long soft = 0, hard = 0;
    ASSERT_TRUE(file_limits(d.pid, &soft, &hard));
    long expect = own.rlim_max > 1024 ? long(own.rlim_max) : 1024;
    EXPECT_EQ(expect, hard);
    EXPECT_EQ(expect, soft);
}

}  // namespace
}  // namespace kyrlks
