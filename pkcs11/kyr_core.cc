// libpkcs11_kyr: process-wide state and the one path to the token device.
#include "kyr_core.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

// Process-wide state, guarded by g_pkcs_mutex.  A descriptor of -1 means
// "not open"; g_slot_inited marks the slots that SC_Initialize opened.
pthread_mutex_t g_pkcs_mutex = PTHREAD_MUTEX_INITIALIZER;
CK_BBOOL g_initialized = CK_FALSE;
pid_t g_initedpid = 0;
CK_STATE g_session_state[KYR_MAX_SLOTS];
int g_kyr_fd[KYR_MAX_SLOTS] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                               -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
bool g_slot_inited[KYR_MAX_SLOTS];
long g_usage_count = 0;

void (*g_kyr_release_hook)(const void *block, size_t len) = nullptr;

namespace {

// Device calls made on a slot's descriptor without the mutex (kyr_ioctl),
// counted under it.  Finalizing waits until none is in flight before it
// closes the descriptor: a call on a closed number would reach whatever the
// process opens next under that number, with the caller's block (a PIN
// among others).
int g_inflight[KYR_MAX_SLOTS];
pthread_cond_t g_inflight_done = PTHREAD_COND_INITIALIZER;

int libc_open(const char *path, int flags)
{
    return open(path, flags);
}

int libc_ioctl(int fd, unsigned long cmd, void *arg)
{
    return ioctl(fd, cmd, arg);
}

const kyr_dev_ops k_libc_ops = {libc_open, libc_ioctl, close};
const kyr_dev_ops *g_dev = &k_libc_ops;

// A child forked while another thread held the mutex would find it locked
// for ever: the child starts with a fresh one.  Its tables are reset by its
// own SC_Initialize (the library is not initialized in a child).
void kyr_atfork_child()
{
    pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
    memcpy(&g_pkcs_mutex, &fresh, sizeof fresh);
    pthread_cond_t fresh_cond = PTHREAD_COND_INITIALIZER;
    memcpy(&g_inflight_done, &fresh_cond, sizeof fresh_cond);
    // The calls counted were other threads' of the parent.
    memset(g_inflight, 0, sizeof g_inflight);
}

__attribute__((constructor)) void kyr_register_atfork()
{
    pthread_atfork(nullptr, nullptr, kyr_atfork_child);
}

CK_RV rv_of_ioctl(int r)
{
    if (r == -1)
        return ~static_cast<CK_RV>(0);
    return static_cast<CK_RV>(static_cast<uint32_t>(r));
}

// The slot's descriptor, opened (close-on-exec) when it is not yet open.
// Called with the mutex held.
CK_RV slot_fd_locked(CK_SLOT_ID slot, int *fd)
{
    if (g_kyr_fd[slot] < 0) {
        int d = g_dev->open(KYR_DEVICE, O_RDWR | O_CLOEXEC);
        if (d < 0)
            return CKR_FUNCTION_FAILED;
        g_kyr_fd[slot] = d;
    }
    *fd = g_kyr_fd[slot];
    return CKR_OK;
}

// True, with the mutex held, when an unlocked device call of the slot is
// in flight (of any slot when slot is KYR_MAX_SLOTS).
bool inflight_locked(CK_SLOT_ID slot)
{
    for (CK_SLOT_ID i = 0; i < KYR_MAX_SLOTS; i++)
        if ((slot == KYR_MAX_SLOTS || i == slot) && g_inflight[i] > 0)
            return true;
    return false;
}

}  // namespace

void kyr_set_dev_ops(const kyr_dev_ops *ops)
{
    g_dev = ops ? ops : &k_libc_ops;
}

bool kyr_initialized()
{
    return g_initialized && g_initedpid == getpid();
}

void kyr_lock()
{
    pthread_mutex_lock(&g_pkcs_mutex);
}

void kyr_unlock()
{
    pthread_mutex_unlock(&g_pkcs_mutex);
}

CK_RV kyr_ioctl_locked(CK_SLOT_ID slot, uint32_t cmd, void *block)
{
    if (slot >= KYR_MAX_SLOTS)
        return CKR_SLOT_ID_INVALID;
    // Finalized since the caller looked: no descriptor is opened again.
    if (!kyr_initialized())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    int fd = -1;
    CK_RV rv = slot_fd_locked(slot, &fd);
    if (rv != CKR_OK)
        return rv;
    return rv_of_ioctl(g_dev->ioctl(fd, cmd, block));
}

CK_RV kyr_ioctl(CK_SLOT_ID slot, uint32_t cmd, void *block)
{
    if (slot >= KYR_MAX_SLOTS)
        return CKR_SLOT_ID_INVALID;
    int fd = -1;
    kyr_lock();
    // Finalized since the caller looked: no descriptor is opened again.
    CK_RV rv = kyr_initialized() ? slot_fd_locked(slot, &fd) : CKR_CRYPTOKI_NOT_INITIALIZED;
    if (rv == CKR_OK)
        g_inflight[slot]++;
    kyr_unlock();
    if (rv != CKR_OK)
        return rv;
    int r = g_dev->ioctl(fd, cmd, block);
    kyr_lock();
    if (--g_inflight[slot] == 0)
        pthread_cond_broadcast(&g_inflight_done);
    kyr_unlock();
    return rv_of_ioctl(r);
}

CK_RV kyr_slot_initialize(CK_SLOT_ID slot)
{
    if (slot >= KYR_MAX_SLOTS)
        return CKR_SLOT_ID_INVALID;
    kyr_lock();
    if (!kyr_initialized()) {
        for (int i = 0; i < KYR_MAX_SLOTS; i++) {
            g_session_state[i] = CKS_RO_PUBLIC_SESSION;
            g_kyr_fd[i] = -1;
            g_slot_inited[i] = false;
            g_inflight[i] = 0;
        }
        g_initialized = CK_TRUE;
        g_initedpid = getpid();
        SC_SetFunctionList();
        g_usage_count = 0;
    }
    CK_RV rv = CKR_OK;
    int fd = -1;
    if (g_slot_inited[slot])
        rv = CKR_CRYPTOKI_ALREADY_INITIALIZED;
    else
        rv = slot_fd_locked(slot, &fd);
    if (rv == CKR_OK) {
        g_slot_inited[slot] = true;
        g_usage_count++;
    } else if (g_usage_count == 0) {
        g_initialized = CK_FALSE;
        g_initedpid = 0;
    }
    kyr_unlock();
    return rv;
}

CK_RV kyr_slot_finalize(CK_SLOT_ID slot)
{
    if (slot >= KYR_MAX_SLOTS)
        return CKR_SLOT_ID_INVALID;
    kyr_lock();
    CK_RV rv = CKR_OK;
    if (!kyr_initialized() || !g_slot_inited[slot]) {
        kyr_unlock();
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    g_slot_inited[slot] = false;
    g_session_state[slot] = CKS_RO_PUBLIC_SESSION;
    // The last finalization closes every descriptor; each waits for the
    // calls still using it.  Everything is looked at again after each wake,
    // with the descriptors closed in the same hold of the mutex: while it
    // was released a call may have started on a slot already looked at, or
    // another slot's finalization made this one the last.
    while (inflight_locked(g_usage_count == 1 ? KYR_MAX_SLOTS : slot))
        pthread_cond_wait(&g_inflight_done, &g_pkcs_mutex);
    if (g_kyr_fd[slot] >= 0 && g_dev->close(g_kyr_fd[slot]) != 0)
        rv = CKR_FUNCTION_FAILED;
    g_kyr_fd[slot] = -1;
    if (--g_usage_count == 0) {
        for (int i = 0; i < KYR_MAX_SLOTS; i++) {
            if (g_kyr_fd[i] >= 0 && g_dev->close(g_kyr_fd[i]) != 0)
                rv = CKR_FUNCTION_FAILED;
            g_kyr_fd[i] = -1;
            g_session_state[i] = CKS_RO_PUBLIC_SESSION;
        }
        g_initialized = CK_FALSE;
        g_initedpid = 0;
    }
    kyr_unlock();
    return rv;
}

void kyr_set_login_state_locked(CK_SLOT_ID slot, CK_STATE state)
{
    if (slot < KYR_MAX_SLOTS)
        g_session_state[slot] = state;
}

CK_STATE kyr_login_state(CK_SLOT_ID slot)
{
    kyr_lock();
    CK_STATE s = g_session_state[slot];
    kyr_unlock();
    return s;
}

void kyr_wipe(void *p, size_t len)
{
    if (p && len)
        explicit_bzero(p, len);
}

void *kyr_block_alloc(size_t len)
{
    return calloc(1, len ? len : 1);
}

void kyr_block_free(void *block, size_t len)
{
    if (!block)
        return;
    kyr_wipe(block, len);
    if (g_kyr_release_hook)
        g_kyr_release_hook(block, len);
    free(block);
}

CK_RV kyr_block_size(size_t a, size_t n, size_t each, size_t *total)
{
    if (each != 0 && n > (KYR_MAX_BLOCK - (a < KYR_MAX_BLOCK ? a : KYR_MAX_BLOCK)) / each)
        return CKR_ARGUMENTS_BAD;
    if (a > KYR_MAX_BLOCK)
        return CKR_ARGUMENTS_BAD;
    *total = a + n * each;
    return CKR_OK;
}

CK_RV kyr_block_build(const void *hdr, size_t hdr_len, const kyr_part *parts, size_t n,
                      uint8_t **blk, size_t *len)
{
    size_t total = hdr_len;
    for (size_t i = 0; i < n; i++) {
        if (parts[i].len > KYR_MAX_BLOCK - total)
            return CKR_ARGUMENTS_BAD;
        total += parts[i].len;
    }
    uint8_t *b = static_cast<uint8_t *>(kyr_block_alloc(total));
    if (!b)
        return CKR_HOST_MEMORY;
    if (hdr_len)
        memcpy(b, hdr, hdr_len);
    size_t off = hdr_len;
    for (size_t i = 0; i < n; i++) {
        if (parts[i].p && parts[i].len)
            memcpy(b + off, parts[i].p, parts[i].len);
        off += parts[i].len;
    }
    *blk = b;
    *len = total;
    return CKR_OK;
}

namespace {

// The length an entry's value takes on the card, checked as kyr_attr_encode
// says.
CK_RV attr_card_len(const CK_ATTRIBUTE &a, size_t *len)
{
    if (!kyr_fits32(a.type))
        return CKR_ATTRIBUTE_TYPE_INVALID;
    const uint32_t type = static_cast<uint32_t>(a.type);
    if (!a.pValue && a.ulValueLen)
        return CKR_ARGUMENTS_BAD;
    if (kyr_attr_is_nested(type))
        return CKR_ATTRIBUTE_TYPE_INVALID;
    if (kyr_attr_is_ulong(type)) {
        if (a.ulValueLen != sizeof(CK_ULONG))
            return CKR_ATTRIBUTE_VALUE_INVALID;
        *len = sizeof(uint32_t);
    } else if (kyr_attr_is_ulong_array(type)) {
        if (a.ulValueLen % sizeof(CK_ULONG) != 0)
            return CKR_ATTRIBUTE_VALUE_INVALID;
        *len = a.ulValueLen / sizeof(CK_ULONG) * sizeof(uint32_t);
    } else {
        if (!kyr_fits32(a.ulValueLen))
            return CKR_ARGUMENTS_BAD;
        *len = a.ulValueLen;
    }
    return CKR_OK;
}

// n CK_ULONG values from src as 32-bit words at dst; one above 32 bits is
// refused.
CK_RV narrow_ulongs(const void *src, size_t n, uint8_t *dst)
{
    for (size_t k = 0; k < n; k++) {
        CK_ULONG wide;
        memcpy(&wide, static_cast<const uint8_t *>(src) + k * sizeof wide, sizeof wide);
        if (!kyr_fits32(wide))
            return CKR_ATTRIBUTE_VALUE_INVALID;
        uint32_t w = static_cast<uint32_t>(wide);
        memcpy(dst + k * sizeof w, &w, sizeof w);
    }
    return CKR_OK;
}

}  // namespace

CK_RV kyr_attr_encode(const CK_ATTRIBUTE *t, CK_ULONG n, kyr_block_guard *g)
{
    if (n && !t)
        return CKR_ARGUMENTS_BAD;
    if (!kyr_fits32(n))
        return CKR_ARGUMENTS_BAD;
    size_t total = 0;
    for (CK_ULONG i = 0; i < n; i++) {
        size_t len = 0;
        CK_RV rv = attr_card_len(t[i], &len);
        if (rv != CKR_OK)
            return rv;
        if (len > KYR_MAX_BLOCK - total || KYR_MAX_BLOCK - total - len < sizeof(KYR_ATTR_32))
            return CKR_ARGUMENTS_BAD;
        total += sizeof(KYR_ATTR_32) + len;
    }
    uint8_t *b = static_cast<uint8_t *>(kyr_block_alloc(total));
    if (!b)
        return CKR_HOST_MEMORY;
    g->p = b;
    g->len = total;
    size_t off = 0;
    for (CK_ULONG i = 0; i < n; i++) {
        // Measured again: every write stays inside the block even if the
        // caller's template changed since.
        size_t len = 0;
        CK_RV rv = attr_card_len(t[i], &len);
        if (rv != CKR_OK)
            return rv;
        if (len > total - off || total - off - len < sizeof(KYR_ATTR_32))
            return CKR_ARGUMENTS_BAD;
        const uint32_t type = static_cast<uint32_t>(t[i].type);
        KYR_ATTR_32 e = {type, static_cast<uint32_t>(len)};
        memcpy(b + off, &e, sizeof e);
        uint8_t *v = b + off + sizeof e;
        if (kyr_attr_is_ulong(type) || kyr_attr_is_ulong_array(type))
            rv = narrow_ulongs(t[i].pValue, len / sizeof(uint32_t), v);
        else if (len)
            memcpy(v, t[i].pValue, len);
        if (rv != CKR_OK)
            return rv;
        off += sizeof e + len;
    }
    return CKR_OK;
}

CK_RV kyr_mech_check(const CK_MECHANISM *m)
{
    if (!m)
        return CKR_ARGUMENTS_BAD;
    if (!kyr_fits32(m->mechanism))
        return CKR_MECHANISM_INVALID;
    if (!m->pParameter && m->ulParameterLen)
        return CKR_ARGUMENTS_BAD;
    if (!kyr_fits32(m->ulParameterLen) || m->ulParameterLen > KYR_MAX_BLOCK)
        return CKR_MECHANISM_PARAM_INVALID;
    return CKR_OK;
}
