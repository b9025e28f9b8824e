// Test driver of the framework loader's standard face: loads the module
// with dlopen and C_GetFunctionList as an application does, and runs the
// steps named on its command line, one line of output each:
//
//   p11std MODULE STEP...
//   init  init:reserved  init:halfmutex  init:mutexnoos  fini  info  slots
//   open:S:FLAGS  close:H  closeall:S  sessinfo:H  login:H:USER:PIN  logout:H
//   fork:S     the child lists slots, initializes, opens a session on S
// (H: a decimal handle, or "h" for the last one opened)
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

namespace {

CK_FUNCTION_LIST_PTR F;
CK_SESSION_HANDLE g_last = 0;

CK_RV dummy_create(CK_VOID_PTR_PTR)
{
    return CKR_OK;
}
CK_RV dummy_mutex(CK_VOID_PTR)
{
    return CKR_OK;
}

std::vector<std::string> split(const std::string &s)
{
    std::vector<std::string> v;
    size_t a = 0, b;
    while ((b = s.find(':', a)) != std::string::npos) {
        v.push_back(s.substr(a, b - a));
        a = b + 1;
    }
    v.push_back(s.substr(a));
    return v;
}

void slots(const char *who)
{
    CK_ULONG n = 0;
    CK_RV rv = F->C_GetSlotList(CK_TRUE, nullptr, &n);
    printf("%sslots: rv=0x%lx n=%lu", who, rv, n);
    if (rv == CKR_OK && n) {
        std::vector<CK_SLOT_ID> ids(n);
        CK_ULONG small = 0;
        printf(" small=0x%lx", F->C_GetSlotList(CK_TRUE, ids.data(), &small));
        rv = F->C_GetSlotList(CK_TRUE, ids.data(), &n);
        for (CK_ULONG i = 0; i < n; i++)
            printf(" %lu", ids[i]);
    }
    printf("\n");
}

CK_RV open_session(CK_SLOT_ID s, CK_FLAGS f, const char *who)
{
    CK_SESSION_HANDLE h = 0;
    CK_RV rv = F->C_OpenSession(s, f, nullptr, nullptr, &h);
    if (rv == CKR_OK)
        g_last = h;
    printf("%sopen %lu: rv=0x%lx handle=%lu\n", who, s, rv, h);
    return rv;
}

void step(const std::string &st)
{
    std::vector<std::string> a = split(st);
    const std::string &c = a[0];
    auto arg = [&](size_t i) -> CK_ULONG {
        if (i >= a.size())
            return 0;
        return a[i] == "h" ? g_last : strtoul(a[i].c_str(), nullptr, 0);
    };
    if (c == "init") {
        CK_C_INITIALIZE_ARGS ia = {};
        CK_VOID_PTR p = nullptr;
        if (a.size() > 1) {
            p = &ia;
            if (a[1] == "reserved")
                ia.pReserved = &ia;
            if (a[1] == "halfmutex")
                ia.CreateMutex = dummy_create;
            if (a[1] == "mutexnoos" || a[1] == "mutexos") {
                ia.CreateMutex = dummy_create;
                ia.DestroyMutex = ia.LockMutex = ia.UnlockMutex = dummy_mutex;
            }
            if (a[1] == "mutexos")
                ia.flags = CKF_OS_LOCKING_OK;
        }
        printf("init%s%s: rv=0x%lx\n", a.size() > 1 ? ":" : "", a.size() > 1 ? a[1].c_str() : "",
               F->C_Initialize(p));
    } else if (c == "fini") {
        printf("fini: rv=0x%lx\n", F->C_Finalize(nullptr));
    } else if (c == "info") {
        CK_INFO i;
        CK_RV rv = F->C_GetInfo(&i);
        printf("info: rv=0x%lx version=%d.%d\n", rv, i.cryptokiVersion.major,
               i.cryptokiVersion.minor);
    } else if (c == "slots") {
        slots("");
    } else if (c == "open") {
        open_session(arg(1), arg(2), "");
    } else if (c == "close") {
        printf("close %lu: rv=0x%lx\n", arg(1), F->C_CloseSession(arg(1)));
    } else if (c == "closeall") {
        printf("closeall %lu: rv=0x%lx\n", arg(1), F->C_CloseAllSessions(arg(1)));
    } else if (c == "sessinfo") {
        CK_SESSION_INFO si = {};
        CK_RV rv = F->C_GetSessionInfo(arg(1), &si);
        printf("sessinfo %lu: rv=0x%lx slot=%lu state=%lu flags=0x%lx\n", arg(1), rv, si.slotID,
               si.state, si.flags);
    } else if (c == "login") {
        std::string pin = a.size() > 3 ? a[3] : "";
        printf("login %lu: rv=0x%lx\n", arg(1),
               F->C_Login(arg(1), arg(2), reinterpret_cast<CK_UTF8CHAR_PTR>(&pin[0]), pin.size()));
    } else if (c == "logout") {
        printf("logout %lu: rv=0x%lx\n", arg(1), F->C_Logout(arg(1)));
    } else if (c == "fork") {
        fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            alarm(20);
            slots("child ");
            printf("child sessinfo: rv=0x%lx\n", F->C_GetSessionInfo(g_last, nullptr));
            printf("child init: rv=0x%lx\n", F->C_Initialize(nullptr));
            open_session(arg(1), CKF_SERIAL_SESSION, "child ");
            printf("child fini: rv=0x%lx\n", F->C_Finalize(nullptr));
            fflush(stdout);
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        printf("fork: child %s\n", WIFEXITED(status) ? "exited" : "killed");
    } else {
        printf("unknown step %s\n", st.c_str());
    }
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    void *m = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    auto get = m ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(m, "C_GetFunctionList")) : nullptr;
    if (!get || get(&F) != CKR_OK) {
        fprintf(stderr, "p11std: cannot load %s\n", argv[1]);
        return 2;
    }
    for (int i = 2; i < argc; i++)
        step(argv[i]);
    return 0;
}
