// libkyr_loader: the framework that loads libpkcs11_kyr, with the standard
// PKCS#11 face (C_GetFunctionList, version 2.40).
//
// It drives the token library as its framework does: dlopen, one
// SC_Initialize per slot it serves (the card's slot list by default, or the
// slots named in KYR_P11_SLOTS, e.g. "0,1"), SC_CloseAllSessions and
// SC_Finalize looked up by name, the ST_FCN_LIST for everything else.  It
// keeps session handles of its own mapped to (slot, card session), checks
// arguments as a framework does, makes up what the token library lacks
// (C_GetInfo, C_GetSlotList, C_GetSlotInfo, the initialization arguments)
// and answers what it cannot do with the standard codes.  The library is
// libpkcs11_kyr.so beside the loader, or the one KYR_P11_MODULE names.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <map>
#include <new>
#include <string>
#include <vector>

#include "kyr_api.h"
#include "kyr_blocks.h"

#define LDR_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct ldr_session {
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE card = 0;
    CK_FLAGS flags = 0;
};

// State, guarded by mu.  Device calls run without it.
struct ldr_state {
    pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
    bool initialized = false;
    pid_t pid = 0;
    void *lib = nullptr;
    SC_Initialize_fn sc_init = nullptr;
    SC_Finalize_fn sc_fini = nullptr;
    SC_CloseAllSessions_fn sc_closeall = nullptr;
    std::vector<CK_SLOT_ID> slots;            // served, in initialization order
    ST_FCN_LIST *st[KYR_MAX_SLOTS] = {};
    bool so[KYR_MAX_SLOTS] = {};              // the SO is logged in
    std::map<CK_SESSION_HANDLE, ldr_session> sessions;
    CK_SESSION_HANDLE next = 1;               // never 0, never reused
} g_ldr;

CK_FUNCTION_LIST g_list;

struct ldr_lock {
    ldr_lock() { pthread_mutex_lock(&g_ldr.mu); }
    ~ldr_lock() { pthread_mutex_unlock(&g_ldr.mu); }
    ldr_lock(const ldr_lock &) = delete;
    ldr_lock &operator=(const ldr_lock &) = delete;
};

// A child forked while another thread held the lock starts with a fresh
// one; it sees the loader as not initialized until its own C_Initialize.
void ldr_atfork_child()
{
    pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
    memcpy(&g_ldr.mu, &fresh, sizeof fresh);
}

__attribute__((constructor)) void ldr_register_atfork()
{
    pthread_atfork(nullptr, nullptr, ldr_atfork_child);
}

bool ldr_live()
{
    return g_ldr.initialized && g_ldr.pid == getpid();
}

bool ldr_served(CK_SLOT_ID slot)
{
    return slot < KYR_MAX_SLOTS && g_ldr.st[slot] != nullptr;
}

void ldr_pad(CK_UTF8CHAR *dst, size_t n, const char *src)
{
    size_t l = strlen(src);
    memset(dst, ' ', n);
    memcpy(dst, src, l < n ? l : n);
}

std::string ldr_module_path()
{
    const char *env = getenv("KYR_P11_MODULE");
    if (env && *env)
        return env;
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&ldr_module_path), &info) && info.dli_fname) {
        std::string self = info.dli_fname;
        size_t slash = self.rfind('/');
        if (slash != std::string::npos)
            return self.substr(0, slash + 1) + "libpkcs11_kyr.so";
    }
    return "libpkcs11_kyr.so";
}

// The slots to serve: KYR_P11_SLOTS, or the card's slot list.  Numbers
// outside 0..31, repeats and a count above the room are dropped.
std::vector<CK_SLOT_ID> ldr_slots_wanted()
{
    std::vector<CK_SLOT_ID> v;
    bool seen[KYR_MAX_SLOTS] = {};
    auto add = [&](unsigned long s) {
        if (s < KYR_MAX_SLOTS && !seen[s]) {
            seen[s] = true;
            v.push_back(s);
        }
    };
    const char *env = getenv("KYR_P11_SLOTS");
    if (env) {
        const char *p = env;
        while (*p) {
            char *end = nullptr;
            unsigned long s = strtoul(p, &end, 10);
            if (end == p)
                break;
            add(s);
            p = *end == ',' ? end + 1 : end;
        }
        return v;
    }
    SlotList_Args a;
    memset(&a, 0, sizeof a);
    a.count = KYR_MAX_SLOTS;
    int fd = open(KYR_DEVICE, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return v;
    if (ioctl(fd, KYR_CMD_SLOT_LIST, &a) == 0 && a.count <= KYR_MAX_SLOTS)
        for (uint32_t i = 0; i < a.count; i++)
            add(a.slots[i]);
    close(fd);
    return v;
}

// Finalizes in the framework's order: every slot's sessions, then every
// slot.  Called with the lock held.
void ldr_shutdown()
{
    for (CK_SLOT_ID s : g_ldr.slots)
        g_ldr.sc_closeall(s);
    for (CK_SLOT_ID s : g_ldr.slots)
        g_ldr.sc_fini(s);
    for (CK_SLOT_ID s : g_ldr.slots)
        g_ldr.st[s] = nullptr;
    g_ldr.slots.clear();
    g_ldr.sessions.clear();
    memset(g_ldr.so, 0, sizeof g_ldr.so);
    g_ldr.initialized = false;
    g_ldr.pid = 0;
}

CK_RV ldr_start()
{
    if (!g_ldr.lib) {
        g_ldr.lib = dlopen(ldr_module_path().c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!g_ldr.lib)
            return CKR_GENERAL_ERROR;
        g_ldr.sc_init = reinterpret_cast<SC_Initialize_fn>(dlsym(g_ldr.lib, "SC_Initialize"));
        g_ldr.sc_fini = reinterpret_cast<SC_Finalize_fn>(dlsym(g_ldr.lib, "SC_Finalize"));
        g_ldr.sc_closeall =
            reinterpret_cast<SC_CloseAllSessions_fn>(dlsym(g_ldr.lib, "SC_CloseAllSessions"));
        if (!g_ldr.sc_init || !g_ldr.sc_fini || !g_ldr.sc_closeall) {
            dlclose(g_ldr.lib);
            g_ldr.lib = nullptr;
            return CKR_GENERAL_ERROR;
        }
    }
    // A forked child forgets what its parent had; the token library does
    // the same with its descriptors in its own SC_Initialize.
    g_ldr.slots.clear();
    g_ldr.sessions.clear();
    memset(g_ldr.st, 0, sizeof g_ldr.st);
    memset(g_ldr.so, 0, sizeof g_ldr.so);
    for (CK_SLOT_ID s : ldr_slots_wanted()) {
        void *fl = nullptr;
        if (g_ldr.sc_init(&fl, s, nullptr) == CKR_OK && fl) {
            g_ldr.st[s] = static_cast<ST_FCN_LIST *>(fl);
            g_ldr.slots.push_back(s);
        }
    }
    g_ldr.initialized = true;
    g_ldr.pid = getpid();
    return CKR_OK;
}

// The target of a session call.
struct ldr_target {
    ST_FCN_LIST *st = nullptr;
    ST_SESSION_T ss = {0, 0};
    CK_FLAGS flags = 0;
};

CK_RV ldr_target_of(CK_SESSION_HANDLE h, ldr_target *t)
{
    ldr_lock lk;
    if (!ldr_live())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    auto it = g_ldr.sessions.find(h);
    if (it == g_ldr.sessions.end())
        return CKR_SESSION_HANDLE_INVALID;
    t->st = g_ldr.st[it->second.slot];
    t->ss = ST_SESSION_T{it->second.slot, it->second.card};
    t->flags = it->second.flags;
    return CKR_OK;
}

// The framework's own answer to a call on session h: `answer` when the
// session is live, else its refusal.
CK_RV ldr_answer(CK_SESSION_HANDLE h, CK_RV answer)
{
    ldr_target t;
    CK_RV rv = ldr_target_of(h, &t);
    return rv != CKR_OK ? rv : answer;
}

CK_RV ldr_slot_list(CK_SLOT_ID slot, ST_FCN_LIST **st)
{
    ldr_lock lk;
    if (!ldr_live())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!ldr_served(slot))
        return CKR_SLOT_ID_INVALID;
    *st = g_ldr.st[slot];
    return CKR_OK;
}

// The card speaks 32-bit PKCS#11: its "unavailable" is 0xFFFFFFFF.
CK_ULONG ldr_counter(CK_ULONG v)
{
    return v == 0xFFFFFFFFul ? CK_UNAVAILABLE_INFORMATION : v;
}

}  // namespace

// A call on a slot: the slot's function list, or the framework's refusal.
#define LDR_SLOT(slot, st)                                       \
    ST_FCN_LIST *st = nullptr;                                   \
    CK_RV rv = ldr_slot_list(slot, &st);                         \
    if (rv != CKR_OK)                                            \
        return rv

// A call on a session: the session's target t, or the framework's refusal;
// then the list entry (an entry the token library left empty is a function
// it does not support).
#define LDR_TARGET(h, member, t)                                 \
    ldr_target t;                                                \
    CK_RV rv = ldr_target_of(h, &t);                             \
    if (rv != CKR_OK)                                            \
        return rv;                                               \
    if (!t.st->member)                                           \
        return CKR_FUNCTION_NOT_SUPPORTED

// A call on a session handed on as it is.
#define LDR_FWD(member, h, ...)                                  \
    LDR_TARGET(h, member, t);                                    \
    return t.st->member(t.ss, ##__VA_ARGS__)

LDR_EXPORT CK_RV C_Initialize(CK_VOID_PTR init_args)
{
    if (init_args) {
        CK_C_INITIALIZE_ARGS *a = static_cast<CK_C_INITIALIZE_ARGS *>(init_args);
        int given = !!a->CreateMutex + !!a->DestroyMutex + !!a->LockMutex + !!a->UnlockMutex;
        if (a->pReserved || (given != 0 && given != 4))
            return CKR_ARGUMENTS_BAD;
        // Only the system's own locking is available.
        if (given == 4 && !(a->flags & CKF_OS_LOCKING_OK))
            return CKR_CANT_LOCK;
    }
    ldr_lock lk;
    if (ldr_live())
        return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    try {
        return ldr_start();
    } catch (const std::bad_alloc &) {
        return CKR_HOST_MEMORY;
    }
}

LDR_EXPORT CK_RV C_Finalize(CK_VOID_PTR reserved)
{
    if (reserved)
        return CKR_ARGUMENTS_BAD;
    ldr_lock lk;
    if (!ldr_live())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    ldr_shutdown();
    return CKR_OK;
}

LDR_EXPORT CK_RV C_GetInfo(CK_INFO_PTR info)
{
    {
        ldr_lock lk;
        if (!ldr_live())
            return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (!info)
        return CKR_ARGUMENTS_BAD;
    memset(info, 0, sizeof *info);
    info->cryptokiVersion.major = 2;
    info->cryptokiVersion.minor = 40;
    ldr_pad(info->manufacturerID, sizeof info->manufacturerID, "Vantor");
    ldr_pad(info->libraryDescription, sizeof info->libraryDescription, "Vantor token framework");
    info->libraryVersion.major = 1;
    info->libraryVersion.minor = 1;
    return CKR_OK;
}

LDR_EXPORT CK_RV C_GetSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count)
{
    if (!count)
        return CKR_ARGUMENTS_BAD;
    ldr_lock lk;
    if (!ldr_live())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    CK_ULONG n = g_ldr.slots.size();
    if (!list) {
        *count = n;
        return CKR_OK;
    }
    if (*count < n) {
        *count = n;
        return CKR_BUFFER_TOO_SMALL;
    }
    for (CK_ULONG i = 0; i < n; i++)
        list[i] = g_ldr.slots[i];
    *count = n;
    return CKR_OK;
}

LDR_EXPORT CK_RV C_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info)
{
    LDR_SLOT(slot, st);
    if (!info)
        return CKR_ARGUMENTS_BAD;
    memset(info, 0, sizeof *info);
    char desc[64];
    snprintf(desc, sizeof desc, "Vantor accelerator token slot %lu", slot);
    ldr_pad(info->slotDescription, sizeof info->slotDescription, desc);
    ldr_pad(info->manufacturerID, sizeof info->manufacturerID, "Vantor");
    info->flags = CKF_TOKEN_PRESENT | CKF_HW_SLOT;
    CK_TOKEN_INFO ti;
    if (st->ST_GetTokenInfo && st->ST_GetTokenInfo(slot, &ti) == CKR_OK) {
        info->hardwareVersion = ti.hardwareVersion;
        info->firmwareVersion = ti.firmwareVersion;
    }
    return CKR_OK;
}

LDR_EXPORT CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info)
{
    LDR_SLOT(slot, st);
    if (!info)
        return CKR_ARGUMENTS_BAD;
    if (!st->ST_GetTokenInfo)
        return CKR_FUNCTION_NOT_SUPPORTED;
    rv = st->ST_GetTokenInfo(slot, info);
    if (rv == CKR_OK) {
        for (CK_ULONG *c : {&info->ulMaxSessionCount, &info->ulSessionCount,
                            &info->ulMaxRwSessionCount, &info->ulRwSessionCount,
                            &info->ulTotalPublicMemory, &info->ulFreePublicMemory,
                            &info->ulTotalPrivateMemory, &info->ulFreePrivateMemory})
            *c = ldr_counter(*c);
    }
    return rv;
}

LDR_EXPORT CK_RV C_WaitForSlotEvent(CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR)
{
    ldr_lock lk;
    return ldr_live() ? CKR_FUNCTION_NOT_SUPPORTED : CKR_CRYPTOKI_NOT_INITIALIZED;
}

LDR_EXPORT CK_RV C_GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list,
                                    CK_ULONG_PTR count)
{
    LDR_SLOT(slot, st);
    if (!count)
        return CKR_ARGUMENTS_BAD;
    return st->ST_GetMechanismList ? st->ST_GetMechanismList(slot, list, count)
                                   : CKR_FUNCTION_NOT_SUPPORTED;
}

LDR_EXPORT CK_RV C_GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type,
                                    CK_MECHANISM_INFO_PTR info)
{
    LDR_SLOT(slot, st);
    if (!info)
        return CKR_ARGUMENTS_BAD;
    return st->ST_GetMechanismInfo ? st->ST_GetMechanismInfo(slot, type, info)
                                   : CKR_FUNCTION_NOT_SUPPORTED;
}

LDR_EXPORT CK_RV C_InitToken(CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG len,
                             CK_UTF8CHAR_PTR label)
{
    LDR_SLOT(slot, st);
    return st->ST_InitToken ? st->ST_InitToken(slot, pin, len, label)
                            : CKR_FUNCTION_NOT_SUPPORTED;
}

LDR_EXPORT CK_RV C_InitPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR pin, CK_ULONG len)
{
    LDR_FWD(ST_InitPIN, h, pin, len);
}

LDR_EXPORT CK_RV C_SetPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR old_pin, CK_ULONG old_len,
                          CK_UTF8CHAR_PTR new_pin, CK_ULONG new_len)
{
    LDR_FWD(ST_SetPIN, h, old_pin, old_len, new_pin, new_len);
}

LDR_EXPORT CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                               CK_SESSION_HANDLE_PTR session)
{
    LDR_SLOT(slot, st);
    if (!session)
        return CKR_ARGUMENTS_BAD;
    if (!st->ST_OpenSession)
        return CKR_FUNCTION_NOT_SUPPORTED;
    CK_SESSION_HANDLE card = 0;
    rv = st->ST_OpenSession(slot, flags, &card);
    if (rv != CKR_OK)
        return rv;
    ldr_lock lk;
    bool stored = false;
    if (ldr_live() && ldr_served(slot)) {
        try {
            CK_SESSION_HANDLE h = g_ldr.next++;
            g_ldr.sessions[h] = ldr_session{slot, card, flags};
            *session = h;
            stored = true;
        } catch (const std::bad_alloc &) {
            rv = CKR_HOST_MEMORY;
        }
    } else {
        rv = CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (!stored && st->ST_CloseSession)
        st->ST_CloseSession(ST_SESSION_T{slot, card});
    return rv;
}

LDR_EXPORT CK_RV C_CloseSession(CK_SESSION_HANDLE h)
{
    LDR_TARGET(h, ST_CloseSession, t);
    rv = t.st->ST_CloseSession(t.ss);
    if (rv == CKR_OK || rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_SESSION_CLOSED) {
        ldr_lock lk;
        g_ldr.sessions.erase(h);
    }
    return rv;
}

LDR_EXPORT CK_RV C_CloseAllSessions(CK_SLOT_ID slot)
{
    LDR_SLOT(slot, st);
    rv = g_ldr.sc_closeall(slot);
    if (rv == CKR_OK) {
        ldr_lock lk;
        for (auto it = g_ldr.sessions.begin(); it != g_ldr.sessions.end();)
            it = it->second.slot == slot ? g_ldr.sessions.erase(it) : std::next(it);
        g_ldr.so[slot] = false;
    }
    return rv;
}

LDR_EXPORT CK_RV C_GetSessionInfo(CK_SESSION_HANDLE h, CK_SESSION_INFO_PTR info)
{
    ldr_target t;
    CK_RV rv = ldr_target_of(h, &t);
    if (rv != CKR_OK)
        return rv;
    if (!info)
        return CKR_ARGUMENTS_BAD;
    if (!t.st->ST_GetSessionInfo)
        return CKR_FUNCTION_NOT_SUPPORTED;
    rv = t.st->ST_GetSessionInfo(t.ss, info);
    if (rv != CKR_OK)
        return rv;
    // The token library knows "logged in" per slot; who logged in and the
    // session's kind are the framework's to add.
    bool rw = t.flags & CKF_RW_SESSION;
    bool so;
    {
        ldr_lock lk;
        so = g_ldr.so[t.ss.slotID];
    }
    if (info->state == CKS_RO_USER_FUNCTIONS)
        info->state = so ? CKS_RW_SO_FUNCTIONS : rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
    else
        info->state = rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
    info->flags |= t.flags & CKF_RW_SESSION;
    return CKR_OK;
}

LDR_EXPORT CK_RV C_GetOperationState(CK_SESSION_HANDLE h, CK_BYTE_PTR state, CK_ULONG_PTR len)
{
    LDR_FWD(ST_GetOperationState, h, state, len);
}

LDR_EXPORT CK_RV C_SetOperationState(CK_SESSION_HANDLE h, CK_BYTE_PTR state, CK_ULONG len,
                                     CK_OBJECT_HANDLE enc, CK_OBJECT_HANDLE auth)
{
    LDR_FWD(ST_SetOperationState, h, state, len, enc, auth);
}

LDR_EXPORT CK_RV C_Login(CK_SESSION_HANDLE h, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG len)
{
    LDR_TARGET(h, ST_Login, t);
    rv = t.st->ST_Login(t.ss, user, pin, len);
    if (rv == CKR_OK) {
        ldr_lock lk;
        g_ldr.so[t.ss.slotID] = user == CKU_SO;
    }
    return rv;
}

LDR_EXPORT CK_RV C_Logout(CK_SESSION_HANDLE h)
{
    LDR_TARGET(h, ST_Logout, t);
    rv = t.st->ST_Logout(t.ss);
    if (rv == CKR_OK) {
        ldr_lock lk;
        g_ldr.so[t.ss.slotID] = false;
    }
    return rv;
}

LDR_EXPORT CK_RV C_CreateObject(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG n,
                                CK_OBJECT_HANDLE_PTR obj)
{
    LDR_FWD(ST_CreateObject, h, tmpl, n, obj);
}

LDR_EXPORT CK_RV C_CopyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE src, CK_ATTRIBUTE_PTR tmpl,
                              CK_ULONG n, CK_OBJECT_HANDLE_PTR obj)
{
    LDR_FWD(ST_CopyObject, h, src, tmpl, n, obj);
}

LDR_EXPORT CK_RV C_DestroyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj)
{
    LDR_FWD(ST_DestroyObject, h, obj);
}

LDR_EXPORT CK_RV C_GetObjectSize(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ULONG_PTR size)
{
    LDR_FWD(ST_GetObjectSize, h, obj, size);
}

LDR_EXPORT CK_RV C_GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj,
                                     CK_ATTRIBUTE_PTR tmpl, CK_ULONG n)
{
    LDR_FWD(ST_GetAttributeValue, h, obj, tmpl, n);
}

LDR_EXPORT CK_RV C_SetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj,
                                     CK_ATTRIBUTE_PTR tmpl, CK_ULONG n)
{
    LDR_FWD(ST_SetAttributeValue, h, obj, tmpl, n);
}

LDR_EXPORT CK_RV C_FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG n)
{
    LDR_FWD(ST_FindObjectsInit, h, tmpl, n);
}

LDR_EXPORT CK_RV C_FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR objs, CK_ULONG max,
                               CK_ULONG_PTR count)
{
    LDR_FWD(ST_FindObjects, h, objs, max, count);
}

LDR_EXPORT CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE h)
{
    LDR_FWD(ST_FindObjectsFinal, h);
}

#define LDR_INIT_CALL(name)                                                               \
    LDR_EXPORT CK_RV C_##name(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k) \
    {                                                                                     \
        LDR_FWD(ST_##name, h, m, k);                                                      \
    }
#define LDR_ONE_PART_CALL(name)                                                            \
    LDR_EXPORT CK_RV C_##name(CK_SESSION_HANDLE h, CK_BYTE_PTR in, CK_ULONG in_len,        \
                              CK_BYTE_PTR out, CK_ULONG_PTR out_len)                       \
    {                                                                                      \
        LDR_FWD(ST_##name, h, in, in_len, out, out_len);                                   \
    }
#define LDR_FINAL_CALL(name)                                                                   \
    LDR_EXPORT CK_RV C_##name(CK_SESSION_HANDLE h, CK_BYTE_PTR out, CK_ULONG_PTR out_len)      \
    {                                                                                          \
        LDR_FWD(ST_##name, h, out, out_len);                                                   \
    }
#define LDR_UPDATE_CALL(name)                                                        \
    LDR_EXPORT CK_RV C_##name(CK_SESSION_HANDLE h, CK_BYTE_PTR part, CK_ULONG len)   \
    {                                                                                \
        LDR_FWD(ST_##name, h, part, len);                                            \
    }

LDR_INIT_CALL(EncryptInit)
LDR_ONE_PART_CALL(Encrypt)
LDR_ONE_PART_CALL(EncryptUpdate)
LDR_FINAL_CALL(EncryptFinal)
LDR_INIT_CALL(DecryptInit)
LDR_ONE_PART_CALL(Decrypt)
LDR_ONE_PART_CALL(DecryptUpdate)
LDR_FINAL_CALL(DecryptFinal)

LDR_EXPORT CK_RV C_DigestInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m)
{
    LDR_FWD(ST_DigestInit, h, m);
}

LDR_ONE_PART_CALL(Digest)
LDR_UPDATE_CALL(DigestUpdate)

LDR_EXPORT CK_RV C_DigestKey(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE k)
{
    LDR_FWD(ST_DigestKey, h, k);
}

LDR_FINAL_CALL(DigestFinal)
LDR_INIT_CALL(SignInit)
LDR_ONE_PART_CALL(Sign)
LDR_UPDATE_CALL(SignUpdate)
LDR_FINAL_CALL(SignFinal)
LDR_INIT_CALL(SignRecoverInit)
LDR_ONE_PART_CALL(SignRecover)
LDR_INIT_CALL(VerifyInit)

LDR_EXPORT CK_RV C_Verify(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG data_len,
                          CK_BYTE_PTR sig, CK_ULONG sig_len)
{
    LDR_FWD(ST_Verify, h, data, data_len, sig, sig_len);
}

LDR_UPDATE_CALL(VerifyUpdate)
LDR_UPDATE_CALL(VerifyFinal)
LDR_INIT_CALL(VerifyRecoverInit)
LDR_ONE_PART_CALL(VerifyRecover)
LDR_ONE_PART_CALL(DigestEncryptUpdate)
LDR_ONE_PART_CALL(DecryptDigestUpdate)
LDR_ONE_PART_CALL(SignEncryptUpdate)
LDR_ONE_PART_CALL(DecryptVerifyUpdate)

LDR_EXPORT CK_RV C_GenerateKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_ATTRIBUTE_PTR tmpl,
                               CK_ULONG n, CK_OBJECT_HANDLE_PTR key)
{
    LDR_FWD(ST_GenerateKey, h, m, tmpl, n, key);
}

LDR_EXPORT CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_ATTRIBUTE_PTR pub,
                                   CK_ULONG npub, CK_ATTRIBUTE_PTR priv, CK_ULONG npriv,
                                   CK_OBJECT_HANDLE_PTR pubk, CK_OBJECT_HANDLE_PTR privk)
{
    LDR_FWD(ST_GenerateKeyPair, h, m, pub, npub, priv, npriv, pubk, privk);
}

LDR_EXPORT CK_RV C_WrapKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE wrapping,
                           CK_OBJECT_HANDLE key, CK_BYTE_PTR out, CK_ULONG_PTR out_len)
{
    LDR_FWD(ST_WrapKey, h, m, wrapping, key, out, out_len);
}

LDR_EXPORT CK_RV C_UnwrapKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE unwrapping,
                             CK_BYTE_PTR wrapped, CK_ULONG wrapped_len, CK_ATTRIBUTE_PTR tmpl,
                             CK_ULONG n, CK_OBJECT_HANDLE_PTR key)
{
    LDR_FWD(ST_UnwrapKey, h, m, unwrapping, wrapped, wrapped_len, tmpl, n, key);
}

LDR_EXPORT CK_RV C_DeriveKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE base,
                             CK_ATTRIBUTE_PTR tmpl, CK_ULONG n, CK_OBJECT_HANDLE_PTR key)
{
    LDR_FWD(ST_DeriveKey, h, m, base, tmpl, n, key);
}

LDR_UPDATE_CALL(SeedRandom)

// No random bytes asked for is a valid request that the token library
// refuses; the framework answers it for a live session.
LDR_EXPORT CK_RV C_GenerateRandom(CK_SESSION_HANDLE h, CK_BYTE_PTR buf, CK_ULONG len)
{
    if (len == 0)
        return ldr_answer(h, buf ? CKR_OK : CKR_ARGUMENTS_BAD);
    LDR_FWD(ST_GenerateRandom, h, buf, len);
}

// Legacy calls of parallel functions: no function runs in parallel.
LDR_EXPORT CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE h)
{
    return ldr_answer(h, CKR_FUNCTION_NOT_PARALLEL);
}

LDR_EXPORT CK_RV C_CancelFunction(CK_SESSION_HANDLE h)
{
    return ldr_answer(h, CKR_FUNCTION_NOT_PARALLEL);
}

LDR_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list)
{
    if (!list)
        return CKR_ARGUMENTS_BAD;
    CK_FUNCTION_LIST *f = &g_list;
    f->version.major = 2;
    f->version.minor = 40;
#define LDR_SET(name) f->C_##name = C_##name
    LDR_SET(Initialize); LDR_SET(Finalize); LDR_SET(GetInfo); LDR_SET(GetFunctionList);
    LDR_SET(GetSlotList); LDR_SET(GetSlotInfo); LDR_SET(GetTokenInfo);
    LDR_SET(GetMechanismList); LDR_SET(GetMechanismInfo); LDR_SET(InitToken); LDR_SET(InitPIN);
    LDR_SET(SetPIN); LDR_SET(OpenSession); LDR_SET(CloseSession); LDR_SET(CloseAllSessions);
    LDR_SET(GetSessionInfo); LDR_SET(GetOperationState); LDR_SET(SetOperationState);
    LDR_SET(Login); LDR_SET(Logout); LDR_SET(CreateObject); LDR_SET(CopyObject);
    LDR_SET(DestroyObject); LDR_SET(GetObjectSize); LDR_SET(GetAttributeValue);
    LDR_SET(SetAttributeValue); LDR_SET(FindObjectsInit); LDR_SET(FindObjects);
    LDR_SET(FindObjectsFinal); LDR_SET(EncryptInit); LDR_SET(Encrypt); LDR_SET(EncryptUpdate);
    LDR_SET(EncryptFinal); LDR_SET(DecryptInit); LDR_SET(Decrypt); LDR_SET(DecryptUpdate);
    LDR_SET(DecryptFinal); LDR_SET(DigestInit); LDR_SET(Digest); LDR_SET(DigestUpdate);
    LDR_SET(DigestKey); LDR_SET(DigestFinal); LDR_SET(SignInit); LDR_SET(Sign);
    LDR_SET(SignUpdate); LDR_SET(SignFinal); LDR_SET(SignRecoverInit); LDR_SET(SignRecover);
    LDR_SET(VerifyInit); LDR_SET(Verify); LDR_SET(VerifyUpdate); LDR_SET(VerifyFinal);
    LDR_SET(VerifyRecoverInit); LDR_SET(VerifyRecover); LDR_SET(DigestEncryptUpdate);
    LDR_SET(DecryptDigestUpdate); LDR_SET(SignEncryptUpdate); LDR_SET(DecryptVerifyUpdate);
    LDR_SET(GenerateKey); LDR_SET(GenerateKeyPair); LDR_SET(WrapKey); LDR_SET(UnwrapKey);
    LDR_SET(DeriveKey); LDR_SET(SeedRandom); LDR_SET(GenerateRandom);
    LDR_SET(GetFunctionStatus); LDR_SET(CancelFunction); LDR_SET(WaitForSlotEvent);
#undef LDR_SET
    *list = f;
    return CKR_OK;
}
