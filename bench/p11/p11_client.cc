// Client of bench_p11, run through the interposer: times one trivial token
// command three ways in the same run: a bare ioctl on /dev/kyrf (the
// interposer round trip), SC_GetMechanismInfo through libpkcs11_kyr, and
// C_GetMechanismInfo through the framework loader.
//
//   bench_p11_client LIBRARY LOADER CALLS
// prints "raw|library|loader MEDIAN_US P90_US" lines.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "kyr_api.h"
#include "kyr_blocks.h"

namespace {

double now_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

int measure(const char *label, int calls, const std::function<bool()> &fn)
{
    std::vector<double> t;
    t.reserve(calls);
    for (int i = 0; i < calls; i++) {
        double a = now_us();
        if (!fn()) {
            fprintf(stderr, "%s: call failed\n", label);
            return 1;
        }
        t.push_back(now_us() - a);
    }
    std::sort(t.begin(), t.end());
    printf("%s %.1f %.1f\n", label, t[t.size() / 2], t[t.size() * 9 / 10]);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    int calls = atoi(argv[3]);
    int fd = open(KYR_DEVICE, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return 2;
    int rc = measure("raw", calls, [fd] {
        GetMechInfo_Args a = {};
        a.mech_type = CKM_RSA_PKCS;
        return ioctl(fd, KYR_CMD_GET_MECH_INFO, &a) == 0;
    });
    close(fd);

    void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    auto init = lib ? reinterpret_cast<SC_Initialize_fn>(dlsym(lib, "SC_Initialize")) : nullptr;
    void *fl = nullptr;
    if (!init || init(&fl, 0, nullptr) != CKR_OK)
        return 2;
    ST_FCN_LIST *st = static_cast<ST_FCN_LIST *>(fl);
    rc |= measure("library", calls, [st] {
        CK_MECHANISM_INFO mi;
        return st->ST_GetMechanismInfo(0, CKM_RSA_PKCS, &mi) == CKR_OK;
    });

    // The loader initializes the library's slots itself.
    auto fini = reinterpret_cast<SC_Finalize_fn>(dlsym(lib, "SC_Finalize"));
    if (!fini || fini(0) != CKR_OK)
        return 2;

    void *ldr = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
    auto get = ldr ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(ldr, "C_GetFunctionList"))
                   : nullptr;
    CK_FUNCTION_LIST_PTR f = nullptr;
    if (!get || get(&f) != CKR_OK || f->C_Initialize(nullptr) != CKR_OK)
        return 2;
    rc |= measure("loader", calls, [f] {
        CK_MECHANISM_INFO mi;
        return f->C_GetMechanismInfo(0, CKM_RSA_PKCS, &mi) == CKR_OK;
    });
    f->C_Finalize(nullptr);
    return rc;
}
