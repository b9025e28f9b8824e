// libpkcs11_kyr: the walks of the card's answers (see kyr_answers.h).
#include "kyr_answers.h"

#include <string.h>

CK_RV kyr_take_output(CK_RV rv, uint32_t produced, size_t room, const uint8_t *src, CK_BYTE_PTR out,
                      CK_ULONG_PTR out_len)
{
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL)
        return rv;
    if (rv == CKR_OK && out && produced > room)
        return CKR_DEVICE_ERROR;   // more than the room: the card is wrong
    *out_len = produced;
    if (rv == CKR_OK && out && produced)
        memcpy(out, src, produced);
    return rv;
}

size_t kyr_attr_room(const CK_ATTRIBUTE &t)
{
    if (!t.pValue || !kyr_fits32(t.type))
        return 0;
    const uint32_t type = static_cast<uint32_t>(t.type);
    if (kyr_attr_is_nested(type))
        return 0;
    if (kyr_attr_is_ulong(type))
        return t.ulValueLen >= sizeof(CK_ULONG) ? sizeof(uint32_t) : 0;
    if (kyr_attr_is_ulong_array(type)) {
        CK_ULONG words = t.ulValueLen / sizeof(CK_ULONG);
        return words > KYR_MAX_BLOCK / sizeof(uint32_t) ? KYR_MAX_BLOCK
                                                         : words * sizeof(uint32_t);
    }
    return t.ulValueLen > KYR_MAX_BLOCK ? KYR_MAX_BLOCK : t.ulValueLen;
}

CK_RV kyr_get_attr_request(uint32_t session, uint32_t obj, const CK_ATTRIBUTE *t, CK_ULONG n,
                           kyr_block_guard *g)
{
    if (!t || n == 0 || !kyr_fits32(n))
        return CKR_ARGUMENTS_BAD;
    // The block's size, summed without overflow.
    size_t total = sizeof(CommonObject_Args);
    for (CK_ULONG i = 0; i < n; i++) {
        if (!kyr_fits32(t[i].type))
            return CKR_ATTRIBUTE_TYPE_INVALID;
        size_t room = kyr_attr_room(t[i]);
        if (room > KYR_MAX_BLOCK - total || KYR_MAX_BLOCK - total - room < sizeof(KYR_ATTR_32))
            return CKR_ARGUMENTS_BAD;
        total += sizeof(KYR_ATTR_32) + room;
    }
    g->p = static_cast<uint8_t *>(kyr_block_alloc(total));
    if (!g->p)
        return CKR_HOST_MEMORY;
    g->len = total;
    CommonObject_Args a = {session, obj, static_cast<uint32_t>(n),
                           static_cast<uint32_t>(total - sizeof(CommonObject_Args))};
    memcpy(g->p, &a, sizeof a);
    size_t off = sizeof a;
    for (CK_ULONG i = 0; i < n; i++) {
        size_t room = kyr_attr_room(t[i]);
        if (room > total - off || total - off - room < sizeof(KYR_ATTR_32))
            return CKR_ARGUMENTS_BAD;   // the template changed under the call
        KYR_ATTR_32 e = {static_cast<uint32_t>(t[i].type), static_cast<uint32_t>(room)};
        memcpy(g->p + off, &e, sizeof e);
        off += sizeof e + room;
    }
    return CKR_OK;
}

namespace {

// A card length no value of the type can have: a CK_ULONG is one word, a
// CK_ULONG array whole words.
bool shape_ok(uint32_t type, uint32_t len)
{
    if (len == KYR_UNAVAILABLE || kyr_attr_is_nested(type))
        return true;
    if (kyr_attr_is_ulong(type))
        return len == sizeof(uint32_t);
    if (kyr_attr_is_ulong_array(type))
        return len % sizeof(uint32_t) == 0;
    return true;
}

// The caller's length of a value of len bytes on the card.
CK_ULONG caller_len(uint32_t type, uint32_t len)
{
    if (kyr_attr_is_ulong(type) || kyr_attr_is_ulong_array(type))
        return static_cast<CK_ULONG>(len / sizeof(uint32_t)) * sizeof(CK_ULONG);
    return len;
}

}  // namespace

CK_RV kyr_get_attr_answer(CK_RV rv, const uint8_t *blk, size_t len, CK_ATTRIBUTE *t, CK_ULONG n)
{
    if (rv != CKR_OK && rv != CKR_ATTRIBUTE_SENSITIVE && rv != CKR_ATTRIBUTE_TYPE_INVALID &&
        rv != CKR_BUFFER_TOO_SMALL)
        return rv;
    // First every entry, at the offsets the library put them: a renamed or
    // misshapen one leaves the template untouched.
    size_t off = sizeof(CommonObject_Args);
    for (CK_ULONG i = 0; i < n; i++) {
        size_t room = kyr_attr_room(t[i]);
        if (off > len || len - off < sizeof(KYR_ATTR_32) || len - off - sizeof(KYR_ATTR_32) < room)
            return CKR_DEVICE_ERROR;
        KYR_ATTR_32 e;
        memcpy(&e, blk + off, sizeof e);
        if (e.type != static_cast<uint32_t>(t[i].type) || !shape_ok(e.type, e.len))
            return CKR_DEVICE_ERROR;
        off += sizeof e + room;
    }
    // Then the values.  A value written into the caller's buffer may land
    // in the template itself (a buffer overlapping it), so each entry is
    // read once, measured and checked again before its value is taken: the
    // walk never leaves the block, every write of an entry goes to the
    // buffer it named, and an entry that changed is CKR_ARGUMENTS_BAD.
    off = sizeof(CommonObject_Args);
    for (CK_ULONG i = 0; i < n; i++) {
        const CK_ATTRIBUTE a = t[i];
        const size_t room = kyr_attr_room(a);
        if (off > len || len - off < sizeof(KYR_ATTR_32) || len - off - sizeof(KYR_ATTR_32) < room)
            return CKR_ARGUMENTS_BAD;   // the template changed under the call
        KYR_ATTR_32 e;
        memcpy(&e, blk + off, sizeof e);
        if (!kyr_fits32(a.type) || e.type != static_cast<uint32_t>(a.type))
            return CKR_ARGUMENTS_BAD;
        const uint8_t *val = blk + off + sizeof e;
        off += sizeof e + room;
        if (kyr_attr_is_nested(e.type)) {
            // Not carried: its value would be the caller's pointers.
            t[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
            if (rv == CKR_OK)
                rv = CKR_ATTRIBUTE_TYPE_INVALID;
            continue;
        }
        if (e.len == KYR_UNAVAILABLE) {
            t[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
            continue;
        }
        const CK_ULONG want = caller_len(e.type, e.len);
        if (!a.pValue) {
            t[i].ulValueLen = want;
            continue;
        }
        if (e.len > room || want > a.ulValueLen) {
            t[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
            if (rv == CKR_OK)
                rv = CKR_BUFFER_TOO_SMALL;
            continue;
        }
        uint8_t *dst = static_cast<uint8_t *>(a.pValue);
        if (kyr_attr_is_ulong(e.type) || kyr_attr_is_ulong_array(e.type)) {
            // Words on the card, CK_ULONGs here.
            for (uint32_t k = 0; k < e.len / sizeof(uint32_t); k++) {
                uint32_t w;
                memcpy(&w, val + k * sizeof w, sizeof w);
                CK_ULONG wide = w;
                memcpy(dst + k * sizeof wide, &wide, sizeof wide);
            }
        } else if (e.len) {
            memcpy(dst, val, e.len);
        }
        t[i].ulValueLen = want;
    }
    return rv;
}

CK_RV kyr_find_answer(const uint8_t *blk, size_t room, CK_OBJECT_HANDLE_PTR objs, CK_ULONG_PTR count)
{
    FindObjects_Args a;
    memcpy(&a, blk, sizeof a);
    if (a.count > room)
        return CKR_DEVICE_ERROR;   // more handles than the room: the card is wrong
    for (uint32_t i = 0; i < a.count; i++) {
        uint32_t h;
        memcpy(&h, blk + sizeof a + i * sizeof h, sizeof h);
        objs[i] = h;
    }
    *count = a.count;
    return CKR_OK;
}
