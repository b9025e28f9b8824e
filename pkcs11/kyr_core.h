// libpkcs11_kyr: the checked core under the SC_ entry points.
//
// Process-wide state (descriptors, login states, initialization) guarded by
// g_pkcs_mutex, the one path to the token device, and the conversions
// between the caller's CK_ULONG values and the 32-bit words of a block.
// Every function returns a CK_RV; none throws.
#ifndef KYR_CORE_H
#define KYR_CORE_H

#include <stddef.h>
#include <stdint.h>

#include "kyr_api.h"
#include "kyr_blocks.h"

// The device calls, replaceable by unit tests of the core.
struct kyr_dev_ops {
    int (*open)(const char *path, int flags);
    int (*ioctl)(int fd, unsigned long cmd, void *arg);
    int (*close)(int fd);
};
void kyr_set_dev_ops(const kyr_dev_ops *ops);   // nullptr: the C library's
// Called with every block just before its memory is released (after the
// wipe); for tests.
extern void (*g_kyr_release_hook)(const void *block, size_t len);

// True when the library is initialized in this process.
bool kyr_initialized();

// SC_Initialize and SC_Finalize of one slot, under the mutex.  The first
// initialization in a process (or in a forked child) resets every table,
// forgetting inherited descriptors without closing them, and fills the
// function list.  Each slot is initialized at most once; finalizing the
// last one closes every descriptor, also those opened on demand.
CK_RV kyr_slot_initialize(CK_SLOT_ID slot);
CK_RV kyr_slot_finalize(CK_SLOT_ID slot);

// Issues cmd with block on the slot's descriptor, opening it on demand.
// The ioctl's result is the CK_RV: read as an unsigned 32-bit value, -1
// (a failed system call) as all bits set.
CK_RV kyr_ioctl(CK_SLOT_ID slot, uint32_t cmd, void *block);

// g_pkcs_mutex held across a device call and the state change after it.
void kyr_lock();
void kyr_unlock();
CK_RV kyr_ioctl_locked(CK_SLOT_ID slot, uint32_t cmd, void *block);
// Login state of a slot (CKS_RO_PUBLIC_SESSION or CKS_RO_USER_FUNCTIONS);
// the caller holds the lock.
void kyr_set_login_state_locked(CK_SLOT_ID slot, CK_STATE state);
CK_STATE kyr_login_state(CK_SLOT_ID slot);

// A CK_ULONG travels as a 32-bit word: a value that does not fit is
// refused, never truncated.
inline bool kyr_fits32(CK_ULONG v)
{
    return (v >> 16 >> 16) == 0;   // in two steps: CK_ULONG may be 32 bits
}
// Common frame check of a session: 0 or wider than a word is invalid.
inline bool kyr_session_ok(CK_SESSION_HANDLE h)
{
    return h != 0 && kyr_fits32(h);
}

// Blocks: zeroed heap memory, wiped before release.
void *kyr_block_alloc(size_t len);
void kyr_block_free(void *block, size_t len);
// *total = a + n * each, refused (CKR_ARGUMENTS_BAD) on overflow or above
// KYR_MAX_BLOCK.
CK_RV kyr_block_size(size_t a, size_t n, size_t each, size_t *total);

// A block built from a header and variable parts; p null is room (zeros).
struct kyr_part {
    const void *p;
    size_t len;
};
// Allocates *blk of *len = hdr_len + the parts' lengths (summed without
// overflow, at most KYR_MAX_BLOCK) and fills it.
CK_RV kyr_block_build(const void *hdr, size_t hdr_len, const kyr_part *parts, size_t n,
                      uint8_t **blk, size_t *len);
// The block's memory, released (wiped) at the end of the scope.
struct kyr_block_guard {
    uint8_t *p = nullptr;
    size_t len = 0;
    ~kyr_block_guard() { kyr_block_free(p, len); }
};

// The attribute block of a template into g: each entry's type, length and
// value, a CK_ULONG value (and each element of a CK_ULONG array) narrowed
// to one 32-bit word.  A null template with a count, a null value with a
// length: CKR_ARGUMENTS_BAD; a CK_ULONG value above 32 bits, or of a length
// other than a CK_ULONG's (an array: not a multiple of it):
// CKR_ATTRIBUTE_VALUE_INVALID; an attribute array (it holds pointers):
// CKR_ATTRIBUTE_TYPE_INVALID.
CK_RV kyr_attr_encode(const CK_ATTRIBUTE *t, CK_ULONG n, kyr_block_guard *g);
// A mechanism's type and parameter, checked: null mechanism or a null
// parameter with a length is CKR_ARGUMENTS_BAD, a type or length above
// 32 bits CKR_MECHANISM_INVALID / CKR_MECHANISM_PARAM_INVALID.
CK_RV kyr_mech_check(const CK_MECHANISM *m);

// Wipes memory the compiler may not drop (PINs).
void kyr_wipe(void *p, size_t len);

#endif  // KYR_CORE_H
