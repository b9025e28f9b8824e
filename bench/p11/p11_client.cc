// Client of bench_p11, run through the interposer.  In one run, in rounds
// whose order alternates:
//   - a trivial token command (a mechanism query the token answers without
//     work): a bare ioctl on /dev/kyrf (the interposer round trip) beside
//     SC_GetMechanismInfo through libpkcs11_kyr, then beside
//     C_GetMechanismInfo through the framework loader;
//   - an RSA-2048 signature (C_SignInit + C_Sign, SHA256-RSA-PKCS) with the
//     token's key "kyrkey" through the whole stack (loader, library,
//     interposer, the card's token on SoftHSM) beside the same signature by
//     SoftHSM loaded here directly, on a copy of the same token directory.
//
//   bench_p11_client LIBRARY LOADER SOFTHSM ROUNDS   (SOFTHSM2_CONF: the copy)
// prints "NAME MEDIAN_US P90_US" lines (raw-library, library, raw-loader,
// loader, direct, stack, raw-sign) and "same-signature 0|1".
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
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

using bench_fn = std::function<bool()>;

void print(const char *name, std::vector<double> t)
{
    std::sort(t.begin(), t.end());
    printf("%s %.1f %.1f\n", name, t[t.size() / 2], t[t.size() * 9 / 10]);
}

struct series {
    const char *name;
    bench_fn fn;
    std::vector<double> t;
};

// Runs the series in rounds, the order of the series turned every round;
// the first rounds warm up and are not counted.
bool alternate(std::vector<series> &s, int rounds, int warmup)
{
    for (int r = 0; r < warmup + rounds; r++) {
        for (size_t k = 0; k < s.size(); k++) {
            series &x = s[r % 2 ? s.size() - 1 - k : k];
            double a = now_us();
            if (!x.fn()) {
                fprintf(stderr, "%s: call failed\n", x.name);
                return false;
            }
            if (r >= warmup)
                x.t.push_back(now_us() - a);
        }
    }
    for (series &x : s)
        print(x.name, x.t);
    return true;
}

CK_FUNCTION_LIST_PTR load_module(const char *path)
{
    void *h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    auto get = h ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(h, "C_GetFunctionList")) : nullptr;
    CK_FUNCTION_LIST_PTR f = nullptr;
    if (!get || get(&f) != CKR_OK || f->C_Initialize(nullptr) != CKR_OK)
        return nullptr;
    return f;
}

// A logged-in session on the token labelled kyr0 and its key kyrkey.
bool open_key(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE *s, CK_OBJECT_HANDLE *key)
{
    CK_SLOT_ID slots[32];
    CK_ULONG n = 32;
    if (f->C_GetSlotList(CK_TRUE, slots, &n) != CKR_OK)
        return false;
    for (CK_ULONG i = 0; i < n; i++) {
        CK_TOKEN_INFO ti;
        if (f->C_GetTokenInfo(slots[i], &ti) != CKR_OK || memcmp(ti.label, "kyr0 ", 5) != 0)
            continue;
        if (f->C_OpenSession(slots[i], CKF_SERIAL_SESSION, nullptr, nullptr, s) != CKR_OK)
            return false;
        CK_UTF8CHAR pin[] = "1234";
        if (f->C_Login(*s, CKU_USER, pin, 4) != CKR_OK)
            return false;
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        char label[] = "kyrkey";
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_LABEL, label, 6}};
        CK_ULONG found = 0;
        bool ok = f->C_FindObjectsInit(*s, t, 2) == CKR_OK &&
                  f->C_FindObjects(*s, key, 1, &found) == CKR_OK && found == 1;
        f->C_FindObjectsFinal(*s);
        return ok;
    }
    return false;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 5)
        return 2;
    int rounds = atoi(argv[4]);
    int fd = open(KYR_DEVICE, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return 2;
    bench_fn raw = [fd] {
        GetMechInfo_Args a = {};
        a.mech_type = CKM_RSA_PKCS;
        return ioctl(fd, KYR_CMD_GET_MECH_INFO, &a) == 0;
    };

    // The library alone, as its framework drives it.
    void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    auto init = lib ? reinterpret_cast<SC_Initialize_fn>(dlsym(lib, "SC_Initialize")) : nullptr;
    auto fini = lib ? reinterpret_cast<SC_Finalize_fn>(dlsym(lib, "SC_Finalize")) : nullptr;
    void *fl = nullptr;
    if (!init || !fini || init(&fl, 0, nullptr) != CKR_OK)
        return 2;
    ST_FCN_LIST *st = static_cast<ST_FCN_LIST *>(fl);
    std::vector<series> a = {{"raw-library", raw, {}},
                             {"library", [st] {
                                  CK_MECHANISM_INFO mi;
                                  return st->ST_GetMechanismInfo(0, CKM_RSA_PKCS, &mi) == CKR_OK;
                              }, {}}};
    if (!alternate(a, rounds * 4, 50))
        return 1;
    // The loader initializes the library's slots itself.
    if (fini(0) != CKR_OK)
        return 2;

    CK_FUNCTION_LIST_PTR ldr = load_module(argv[2]);
    CK_FUNCTION_LIST_PTR hsm = load_module(argv[3]);
    CK_SESSION_HANDLE ls = 0, hs = 0;
    CK_OBJECT_HANDLE lk = 0, hk = 0;
    if (!ldr || !hsm || !open_key(ldr, &ls, &lk) || !open_key(hsm, &hs, &hk)) {
        fprintf(stderr, "cannot reach the key kyrkey on kyr0\n");
        return 2;
    }
    std::vector<series> b = {{"raw-loader", raw, {}},
                             {"loader", [ldr] {
                                  CK_MECHANISM_INFO mi;
                                  return ldr->C_GetMechanismInfo(0, CKM_RSA_PKCS, &mi) == CKR_OK;
                              }, {}}};
    if (!alternate(b, rounds * 4, 50))
        return 1;

    CK_BYTE data[64];
    for (size_t i = 0; i < sizeof data; i++)
        data[i] = static_cast<CK_BYTE>(i * 7 + 1);
    std::map<std::string, std::vector<CK_BYTE>> last;
    auto signer = [&](const char *name, CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s,
                      CK_OBJECT_HANDLE k) {
        return [&, name, f, s, k] {
            CK_MECHANISM m = {CKM_SHA256_RSA_PKCS, nullptr, 0};
            CK_BYTE sig[512];
            CK_ULONG len = sizeof sig;
            if (f->C_SignInit(s, &m, k) != CKR_OK || f->C_Sign(s, data, sizeof data, sig, &len) != CKR_OK)
                return false;
            last[name].assign(sig, sig + len);
            return true;
        };
    };
    std::vector<series> c = {{"direct", signer("direct", hsm, hs, hk), {}},
                             {"stack", signer("stack", ldr, ls, lk), {}},
                             {"raw-sign", raw, {}}};
    if (!alternate(c, rounds, 5))
        return 1;
    // What the stack adds, round by round (the load of the machine moves
    // both series of a round alike).
    std::vector<double> added;
    for (size_t i = 0; i < c[0].t.size(); i++)
        added.push_back(c[1].t[i] - c[0].t[i]);
    print("added", added);
    printf("same-signature %d\n", last["direct"] == last["stack"] && last["stack"].size() == 256);
    ldr->C_Finalize(nullptr);
    hsm->C_Finalize(nullptr);
    close(fd);
    return 0;
}
