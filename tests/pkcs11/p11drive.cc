// Test driver of libpkcs11_kyr: loads the library as the framework does
// (dlopen, SC_Initialize per slot, the function list) and runs the steps
// named on its command line, printing one line per step:
//
//   p11drive LIB STEP...
//
// Steps (every number in hex, slots too; "h" = the last session handle
// opened):
//   init:S  fini:S  tokinfo:S  mechs:S:ROOM|-  mechinfo:S:TYPE  open:S:FLAGS
//   close:S:H  closeall:S  login:S:USER:PIN  loginn:S:USER:N  logout:S:H
//   setpin:S:H:OLD:NEW  sessinfo:S  fds  closestdin  cloexec  sleep:MS (decimal)
//   fork:S            the child calls tokinfo:S, then init:S and tokinfo:S
//   forkheld:S        another thread is in open:S while the process forks;
//                     the child runs init:S
//   race:S:T          T threads make the first device call of slot S at once
//   stress:S:T:R      T threads each open a session and log in and out R times
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kyr_api.h"

// Calls made directly (not through the function list) reach the library's
// exported entry points through dlsym, as the framework does.
void *g_lib;
#define KYR_SYM(name) reinterpret_cast<decltype(&::name)>(dlsym(g_lib, #name))
namespace drv {
#define FWD(ret, name, params, args)                                     \
    ret name params                                                      \
    {                                                                    \
        static decltype(&::name) fp_ = KYR_SYM(name);                        \
        return fp_ args;                                                   \
    }
FWD(CK_RV, SC_GetTokenInfo, (CK_SLOT_ID s, CK_TOKEN_INFO_PTR i), (s, i))
FWD(CK_RV, SC_GetMechanismList, (CK_SLOT_ID s, CK_MECHANISM_TYPE_PTR l, CK_ULONG_PTR c), (s, l, c))
FWD(CK_RV, SC_GetMechanismInfo, (CK_SLOT_ID s, CK_MECHANISM_TYPE t, CK_MECHANISM_INFO_PTR i),
    (s, t, i))
FWD(CK_RV, SC_OpenSession, (CK_SLOT_ID s, CK_FLAGS f, CK_SESSION_HANDLE_PTR h), (s, f, h))
FWD(CK_RV, SC_CloseSession, (ST_SESSION_T s), (s))
FWD(CK_RV, SC_GetSessionInfo, (ST_SESSION_T s, CK_SESSION_INFO_PTR i), (s, i))
FWD(CK_RV, SC_Login, (ST_SESSION_T s, CK_USER_TYPE u, CK_UTF8CHAR_PTR p, CK_ULONG n), (s, u, p, n))
FWD(CK_RV, SC_Logout, (ST_SESSION_T s), (s))
FWD(CK_RV, SC_SetPIN,
    (ST_SESSION_T s, CK_UTF8CHAR_PTR o, CK_ULONG ol, CK_UTF8CHAR_PTR n, CK_ULONG nl),
    (s, o, ol, n, nl))
}  // namespace drv


namespace {

struct lib {
    SC_Initialize_fn init;
    SC_Finalize_fn fini;
    SC_CloseAllSessions_fn closeall;
    ST_FCN_LIST *list = nullptr;
} L;

CK_SESSION_HANDLE g_last = 0;

std::vector<std::string> split(const std::string &s)
{
    std::vector<std::string> v;
    size_t a = 0;
    for (;;) {
        size_t b = s.find(':', a);
        v.push_back(s.substr(a, b == std::string::npos ? b : b - a));
        if (b == std::string::npos)
            return v;
        a = b + 1;
    }
}

CK_ULONG num(const std::string &s)
{
    if (s == "h")
        return g_last;
    return strtoull(s.c_str(), nullptr, 16);
}

CK_RV do_init(CK_SLOT_ID s)
{
    void *fl = nullptr;
    CK_RV rv = L.init(&fl, s, nullptr);
    if (fl)
        L.list = static_cast<ST_FCN_LIST *>(fl);
    printf("init %lu: rv=0x%lx list=%s\n", s, rv, fl ? "yes" : "none");
    return rv;
}

// Calls through the function list once one was received, else directly.
CK_RV tokinfo(CK_SLOT_ID s, CK_TOKEN_INFO *ti)
{
    return L.list ? L.list->ST_GetTokenInfo(s, ti) : drv::SC_GetTokenInfo(s, ti);
}

void print_tokinfo(const char *who, CK_SLOT_ID s)
{
    CK_TOKEN_INFO ti;
    memset(&ti, 0, sizeof ti);
    CK_RV rv = tokinfo(s, &ti);
    printf("%stokinfo %lu: rv=0x%lx", who, s, rv);
    if (rv == CKR_OK)
        printf(" label=%.32s session_count=0x%lx max_sessions=0x%lx max_rw=0x%lx rw_count=0x%lx"
               " free_pub=0x%lx",
               reinterpret_cast<const char *>(ti.label), ti.ulSessionCount, ti.ulMaxSessionCount,
               ti.ulMaxRwSessionCount, ti.ulRwSessionCount, ti.ulFreePublicMemory);
    printf("\n");
}

int count_fds(bool only_missing_cloexec)
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    int self = dirfd(d);
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        int fd = atoi(e->d_name);
        if (fd == self)
            continue;
        if (only_missing_cloexec) {
            char path[64], target[128] = {0};
            snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
            if (readlink(path, target, sizeof target - 1) <= 0 || strncmp(target, "socket:", 7))
                continue;
            if (fcntl(fd, F_GETFD) & FD_CLOEXEC)
                continue;
        }
        n++;
    }
    closedir(d);
    return n;
}

void race(CK_SLOT_ID s, int threads)
{
    pthread_barrier_t b;
    pthread_barrier_init(&b, nullptr, static_cast<unsigned>(threads));
    std::vector<std::thread> ts;
    std::vector<CK_RV> rvs(threads);
    for (int i = 0; i < threads; i++)
        ts.emplace_back([&, i] {
            CK_TOKEN_INFO ti;
            pthread_barrier_wait(&b);
            rvs[i] = tokinfo(s, &ti);
        });
    for (auto &t : ts)
        t.join();
    int ok = 0;
    for (CK_RV rv : rvs)
        ok += rv == CKR_OK;
    printf("race %lu: ok=%d of %d\n", s, ok, threads);
}

void stress(CK_SLOT_ID s, int threads, int rounds)
{
    std::vector<std::thread> ts;
    std::vector<int> fails(threads, 0);
    CK_UTF8CHAR pin[] = "1234";
    for (int i = 0; i < threads; i++)
        ts.emplace_back([&, i] {
            CK_SESSION_HANDLE h = 0;
            if (drv::SC_OpenSession(s, CKF_SERIAL_SESSION, &h) != CKR_OK) {
                fails[i]++;
                return;
            }
            ST_SESSION_T ss = {s, h};
            for (int r = 0; r < rounds; r++) {
                CK_RV a = L.list->ST_Login(ss, CKU_USER, pin, 4);
                CK_RV b = L.list->ST_Logout(ss);
                // Another thread may have logged in or out in between.
                if (a != CKR_OK && a != CKR_USER_ALREADY_LOGGED_IN)
                    fails[i]++;
                if (b != CKR_OK && b != CKR_USER_NOT_LOGGED_IN)
                    fails[i]++;
            }
            (void)i;
        });
    for (auto &t : ts)
        t.join();
    int f = 0;
    for (int x : fails)
        f += x;
    printf("stress %lu: unexpected=%d\n", s, f);
}

int run(const std::string &step)
{
    std::vector<std::string> a = split(step);
    const std::string &c = a[0];
    auto arg = [&](size_t i) { return i < a.size() ? num(a[i]) : 0; };
    CK_SLOT_ID s = arg(1);
    if (c == "init") {
        do_init(s);
    } else if (c == "fini") {
        printf("fini %lu: rv=0x%lx\n", s, L.fini(s));
    } else if (c == "tokinfo") {
        print_tokinfo("", s);
    } else if (c == "mechs") {
        CK_ULONG count = 0;
        std::vector<CK_MECHANISM_TYPE> list;
        CK_RV rv;
        if (a.size() > 2 && a[2] == "-") {
            rv = drv::SC_GetMechanismList(s, nullptr, &count);
        } else {
            count = arg(2);
            list.assign(static_cast<size_t>(count < 4096 ? count : 4096), 0xDEADul);
            rv = drv::SC_GetMechanismList(s, list.data(), &count);
        }
        printf("mechs %lu: rv=0x%lx count=0x%lx", s, rv, count);
        for (size_t i = 0; i < list.size() && i < 4; i++)
            printf(" 0x%lx", list[i]);
        printf("\n");
    } else if (c == "mechinfo") {
        CK_MECHANISM_INFO mi = {0, 0, 0};
        CK_RV rv = drv::SC_GetMechanismInfo(s, arg(2), &mi);
        printf("mechinfo %lu: rv=0x%lx min=%lu max=%lu flags=0x%lx\n", s, rv, mi.ulMinKeySize,
               mi.ulMaxKeySize, mi.flags);
    } else if (c == "open") {
        CK_SESSION_HANDLE h = 0;
        CK_RV rv = drv::SC_OpenSession(s, arg(2), &h);
        if (rv == CKR_OK)
            g_last = h;
        printf("open %lu: rv=0x%lx handle=0x%lx\n", s, rv, h);
    } else if (c == "close") {
        printf("close %lu: rv=0x%lx\n", s, drv::SC_CloseSession(ST_SESSION_T{s, arg(2)}));
    } else if (c == "closeall") {
        printf("closeall %lu: rv=0x%lx\n", s, L.closeall(s));
    } else if (c == "login" || c == "loginn") {
        // A PIN may itself contain ':'.
        std::string pin = c == "login" ? std::string() : std::string(arg(3), 'a');
        for (size_t i = 3; c == "login" && i < a.size(); i++)
            pin += (i > 3 ? ":" : "") + a[i];
        CK_RV rv = drv::SC_Login(ST_SESSION_T{s, g_last}, arg(2),
                            reinterpret_cast<CK_UTF8CHAR_PTR>(&pin[0]), pin.size());
        printf("login %lu: rv=0x%lx\n", s, rv);
    } else if (c == "logout") {
        printf("logout %lu: rv=0x%lx\n", s, drv::SC_Logout(ST_SESSION_T{s, arg(2)}));
    } else if (c == "setpin") {
        std::string o = a.size() > 3 ? a[3] : "", n = a.size() > 4 ? a[4] : "";
        CK_RV rv = drv::SC_SetPIN(ST_SESSION_T{s, arg(2)}, reinterpret_cast<CK_UTF8CHAR_PTR>(&o[0]),
                             o.size(), reinterpret_cast<CK_UTF8CHAR_PTR>(&n[0]), n.size());
        printf("setpin %lu: rv=0x%lx\n", s, rv);
    } else if (c == "sessinfo") {
        CK_SESSION_INFO si;
        memset(&si, 0, sizeof si);
        CK_RV rv = drv::SC_GetSessionInfo(ST_SESSION_T{s, g_last}, &si);
        printf("sessinfo %lu: rv=0x%lx state=%lu flags=0x%lx\n", s, rv, si.state, si.flags);
    } else if (c == "fds") {
        printf("fds: %d\n", count_fds(false));
    } else if (c == "cloexec") {
        printf("cloexec: missing=%d\n", count_fds(true));
    } else if (c == "closestdin") {
        close(0);
        printf("closestdin\n");
    } else if (c == "sleep") {
        usleep(static_cast<useconds_t>(strtoul(a[1].c_str(), nullptr, 10) * 1000));
    } else if (c == "fork" || c == "forkheld") {
        std::thread holder;
        if (c == "forkheld") {
            holder = std::thread([s] {
                CK_SESSION_HANDLE h;
                drv::SC_OpenSession(s, CKF_SERIAL_SESSION, &h);
            });
            usleep(200 * 1000);   // the holder is inside the delayed device call
        }
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            alarm(20);
            if (c == "fork")
                print_tokinfo("child ", s);
            void *fl = nullptr;
            CK_RV rv = L.init(&fl, s, nullptr);
            printf("child init %lu: rv=0x%lx\n", s, rv);
            if (c == "fork")
                print_tokinfo("child ", s);
            fflush(stdout);
            _exit(0);
        }
        int st = 0;
        waitpid(pid, &st, 0);
        if (holder.joinable())
            holder.join();
        printf("%s: child %s\n", c.c_str(),
               WIFEXITED(st) ? "exited" : WIFSIGNALED(st) ? "killed" : "?");
    } else if (c == "race") {
        race(s, static_cast<int>(arg(2)));
    } else if (c == "stress") {
        stress(s, static_cast<int>(arg(2)), static_cast<int>(arg(3)));
    } else {
        fprintf(stderr, "p11drive: unknown step %s\n", step.c_str());
        return 2;
    }
    fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: p11drive LIB STEP...\n");
        return 2;
    }
    g_lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!g_lib) {
        fprintf(stderr, "p11drive: %s\n", dlerror());
        return 2;
    }
    L.init = reinterpret_cast<SC_Initialize_fn>(dlsym(g_lib, "SC_Initialize"));
    L.fini = reinterpret_cast<SC_Finalize_fn>(dlsym(g_lib, "SC_Finalize"));
    L.closeall = reinterpret_cast<SC_CloseAllSessions_fn>(dlsym(g_lib, "SC_CloseAllSessions"));
    if (!L.init || !L.fini || !L.closeall) {
        fprintf(stderr, "p11drive: the framework's entry points are missing\n");
        return 2;
    }
    for (int i = 2; i < argc; i++)
        if (run(argv[i]) != 0)
            return 2;
    return 0;
}
