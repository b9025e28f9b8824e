// libpkcs11_kyr: objects, search and keys (create, copy, destroy, size,
// attribute values, find, generate, wrap, unwrap, derive).
//
// Attribute values travel as raw bytes except CK_ULONG values and CK_ULONG
// arrays, which are 32-bit words on the card: narrowed going in
// (kyr_attr_encode), widened coming out (kyr_answers); attribute arrays
// hold pointers and are not carried.  Check order as in kyr_ops.cc.
#include <string.h>

#include "kyr_ops.h"

namespace {

// Sends the header *a and the parts; on CKR_OK the header comes back from
// the answer and its object_handle (a 32-bit word, widened) goes to out,
// when out is given.
template <typename Args>
CK_RV handle_call(ST_SESSION_T s, uint32_t cmd, Args *a, const kyr_part *p, size_t np,
                  CK_OBJECT_HANDLE_PTR out)
{
    kyr_block_guard g;
    CK_RV rv = kyr_send(s, cmd, a, sizeof *a, p, np, &g);
    if (rv == CKR_OK) {
        memcpy(a, g.p, sizeof *a);
        if (out)
            *out = a->object_handle;
    }
    return rv;
}

CK_RV object_call(ST_SESSION_T s, uint32_t cmd, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR t, CK_ULONG n,
                  CK_OBJECT_HANDLE_PTR out)
{
    if (!kyr_fits32(obj))
        return CKR_OBJECT_HANDLE_INVALID;
    kyr_block_guard attrs;
    CK_RV rv = kyr_attr_encode(t, n, &attrs);
    if (rv != CKR_OK)
        return rv;
    CommonObject_Args a = {static_cast<uint32_t>(s.sessionh), static_cast<uint32_t>(obj),
                           static_cast<uint32_t>(n), static_cast<uint32_t>(attrs.len)};
    kyr_part p = {attrs.p, attrs.len};
    return handle_call(s, cmd, &a, &p, 1, out);
}

// The parameter block of a derivation, built into g (see SC_DeriveKey).
CK_RV derive_params(const CK_MECHANISM *m, kyr_block_guard *g)
{
    switch (m->mechanism) {
    case CKM_DH_PKCS_DERIVE: {
        kyr_part p = {m->pParameter, m->ulParameterLen};
        return kyr_block_build(nullptr, 0, &p, 1, &g->p, &g->len);
    }
    case CKM_SSL3_MASTER_KEY_DERIVE: {
        if (!m->pParameter || m->ulParameterLen != sizeof(CK_SSL3_MASTER_KEY_DERIVE_PARAMS))
            return CKR_MECHANISM_PARAM_INVALID;
        const CK_SSL3_MASTER_KEY_DERIVE_PARAMS *q =
            static_cast<const CK_SSL3_MASTER_KEY_DERIVE_PARAMS *>(m->pParameter);
        const CK_SSL3_RANDOM_DATA &r = q->RandomInfo;
        if ((!r.pClientRandom && r.ulClientRandomLen) || (!r.pServerRandom && r.ulServerRandomLen) ||
            !kyr_fits32(r.ulClientRandomLen) || !kyr_fits32(r.ulServerRandomLen))
            return CKR_MECHANISM_PARAM_INVALID;
        SSL3_MASTER_KEY_DERIVE_PARAMS_32 h;
        memset(&h, 0, sizeof h);
        h.version = {3, 0};
        h.client_data_len = static_cast<uint32_t>(r.ulClientRandomLen);
        h.server_data_len = static_cast<uint32_t>(r.ulServerRandomLen);
        kyr_part p[2] = {{r.pClientRandom, r.ulClientRandomLen}, {r.pServerRandom, r.ulServerRandomLen}};
        return kyr_block_build(&h, sizeof h, p, 2, &g->p, &g->len);
    }
    case CKM_SSL3_KEY_AND_MAC_DERIVE: {
        if (!m->pParameter || m->ulParameterLen != sizeof(CK_SSL3_KEY_MAT_PARAMS))
            return CKR_MECHANISM_PARAM_INVALID;
        const CK_SSL3_KEY_MAT_PARAMS *q = static_cast<const CK_SSL3_KEY_MAT_PARAMS *>(m->pParameter);
        const CK_SSL3_RANDOM_DATA &r = q->RandomInfo;
        if ((!r.pClientRandom && r.ulClientRandomLen) || (!r.pServerRandom && r.ulServerRandomLen) ||
            !kyr_fits32(r.ulClientRandomLen) || !kyr_fits32(r.ulServerRandomLen) ||
            !kyr_fits32(q->ulMacSizeInBits) || !kyr_fits32(q->ulKeySizeInBits) ||
            !kyr_fits32(q->ulIVSizeInBits))
            return CKR_MECHANISM_PARAM_INVALID;
        SSL3_KEY_MAT_PARAMS_32 h;
        memset(&h, 0, sizeof h);
        h.mac_size_bits = static_cast<uint32_t>(q->ulMacSizeInBits);
        h.key_size_bits = static_cast<uint32_t>(q->ulKeySizeInBits);
        h.iv_size_bits = static_cast<uint32_t>(q->ulIVSizeInBits);
        h.export_ = q->bIsExport ? CK_TRUE : CK_FALSE;
        h.client_data_len = static_cast<uint32_t>(r.ulClientRandomLen);
        h.server_data_len = static_cast<uint32_t>(r.ulServerRandomLen);
        kyr_part p[2] = {{r.pClientRandom, r.ulClientRandomLen}, {r.pServerRandom, r.ulServerRandomLen}};
        return kyr_block_build(&h, sizeof h, p, 2, &g->p, &g->len);
    }
    case CKM_MD5_KEY_DERIVATION:
    case CKM_MD2_KEY_DERIVATION:
    case CKM_SHA1_KEY_DERIVATION:
        return kyr_block_build(nullptr, 0, nullptr, 0, &g->p, &g->len);
    default:
        return CKR_MECHANISM_INVALID;
    }
}

}  // namespace

extern "C" {

CK_RV SC_CreateObject(ST_SESSION_T s, CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_OBJECT_HANDLE_PTR obj)
{
    CK_RV rv = kyr_frame(s);
    if (rv != CKR_OK)
        return rv;
    if (!t && n)
        return CKR_ARGUMENTS_BAD;
    if (n == 0)
        return CKR_TEMPLATE_INCOMPLETE;
    if (!obj)
        return CKR_ARGUMENTS_BAD;
    return object_call(s, KYR_CMD_CREATE_OBJECT, 0, t, n, obj);
}

CK_RV SC_CopyObject(ST_SESSION_T s, CK_OBJECT_HANDLE src, CK_ATTRIBUTE_PTR t, CK_ULONG n,
                    CK_OBJECT_HANDLE_PTR obj)
{
    CK_RV rv = kyr_frame(s);
    if (rv != CKR_OK)
        return rv;
    if (!obj)
        return CKR_ARGUMENTS_BAD;
    return object_call(s, KYR_CMD_COPY_OBJECT, src, t, n, obj);
}

CK_RV SC_SetAttributeValue(ST_SESSION_T s, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR t, CK_ULONG n)
{
    CK_RV rv = kyr_frame(s);
    if (rv != CKR_OK)
        return rv;
    if (!t || n == 0)
        return CKR_ARGUMENTS_BAD;
    return object_call(s, KYR_CMD_SET_ATTRIBUTE_VALUE, obj, t, n, nullptr);
}

CK_RV SC_DestroyObject(ST_SESSION_T s, CK_OBJECT_HANDLE obj)
{
    CK_RV rv = kyr_frame(s);
    if (rv != CKR_OK)
        return rv;
    if (!kyr_fits32(obj))
        return CKR_OBJECT_HANDLE_INVALID;
    DestroyObject_Args a = {static_cast<uint32_t>(s.sessionh), static_cast<uint32_t>(obj)};
    return kyr_ioctl(s.slotID, KYR_CMD_DESTROY_OBJECT, &a);
}

CK_RV SC_GetObjectSize(ST_SESSION_T s, CK_OBJECT_HANDLE obj, CK_ULONG_PTR size)
{
    CK_RV rv = kyr_frame(s);
    if (rv != CKR_OK)
        return rv;
    if (!size)
        return CKR_ARGUMENTS_BAD;
    if (!kyr_fits32(obj))
        return CKR_OBJECT_HANDLE_INVALID;
    GetObjectSize_Args a = {static_cast<uint32_t>(s.sessionh), static_cast<uint32_t>(obj), 0};
    rv = kyr_ioctl(s.slotID, KYR_CMD_GET_OBJECT_SIZE, &a);
    if (rv == CKR_OK)
        *size = a.size == KYR_UNAVAILABLE ? CK_UNAVAILABLE_INFORMATION : a.size;
    return rv;
}

// The block and the walk of the answer are those of kyr_answers: room 0
// for an entry without a value buffer, one word for a CK_ULONG value; the
// answer is read at the library's own offsets, the caller's types are kept
// and no value passes its buffer.
CK_RV SC_GetAttributeValue(ST_SESSION_T s, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR t, CK_ULONG n)
{
    CK_RV rv = kyr_frame(s);
    if (rv != CKR_OK)
        return rv;
    if (!t || n == 0 || !kyr_fits32(n))
        return CKR_ARGUMENTS_BAD;
    if (!kyr_fits32(obj))
        return CKR_OBJECT_HANDLE_INVALID;
    kyr_block_guard g;
    rv = kyr_get_attr_request(static_cast<uint32_t>(s.sessionh), static_cast<uint32_t>(obj), t, n, &g);
    if (rv != CKR_OK)
        return rv;
    rv = kyr_ioctl(s.slotID, KYR_CMD_GET_ATTRIBUTE_VALUE, g.p);
    return kyr_get_attr_answer(rv, g.p, g.len, t, n);
}

CK_RV SC_FindObjectsInit(ST_SESSION_T s, CK_ATTRIBUTE_PTR t, CK_ULONG n)
{
    CK_RV rv = kyr_frame(s);
    if (rv != CKR_OK)
        return rv;
    kyr_block_guard attrs;
    if ((rv = kyr_attr_encode(t, n, &attrs)) != CKR_OK)
        return rv;
    FindObjectsInit_Args a = {static_cast<uint32_t>(s.sessionh), static_cast<uint32_t>(n),
                              static_cast<uint32_t>(attrs.len)};
    kyr_part p = {attrs.p, attrs.len};
    kyr_block_guard g;
    return kyr_send(s, KYR_CMD_FIND_OBJECTS_INIT, &a, sizeof a, &p, 1, &g);
}

CK_RV SC_FindObjects(ST_SESSION_T s, CK_OBJECT_HANDLE_PTR objs, CK_ULONG max, CK_ULONG_PTR count)
{
    CK_RV rv = kyr_frame(s);
    if (rv != CKR_OK)
        return rv;
    if (!objs || !count || !kyr_fits32(max))
        return CKR_ARGUMENTS_BAD;
    // The room offered never passes the largest block.
    size_t room = max;
    const size_t max_room = (KYR_MAX_BLOCK - sizeof(FindObjects_Args)) / sizeof(uint32_t);
    if (room > max_room)
        room = max_room;
    FindObjects_Args a = {static_cast<uint32_t>(s.sessionh), static_cast<uint32_t>(room), 0};
    kyr_part p = {nullptr, room * sizeof(uint32_t)};
    kyr_block_guard g;
    rv = kyr_send(s, KYR_CMD_FIND_OBJECTS, &a, sizeof a, &p, 1, &g);
    if (rv != CKR_OK)
        return rv;
    return kyr_find_answer(g.p, room, objs, count);
}

CK_RV SC_FindObjectsFinal(ST_SESSION_T s)
{
    CK_RV rv = kyr_frame(s);
    if (rv != CKR_OK)
        return rv;
    FindObjectsFinal_Args a = {static_cast<uint32_t>(s.sessionh)};
    return kyr_ioctl(s.slotID, KYR_CMD_FIND_OBJECTS_FINAL, &a);
}

CK_RV SC_GenerateKey(ST_SESSION_T s, CK_MECHANISM_PTR m, CK_ATTRIBUTE_PTR t, CK_ULONG n,
                     CK_OBJECT_HANDLE_PTR key)
{
    CK_RV rv = kyr_frame_mech(s, m);
    if (rv != CKR_OK)
        return rv;
    if (!key)
        return CKR_ARGUMENTS_BAD;
    kyr_block_guard attrs;
    if ((rv = kyr_attr_encode(t, n, &attrs)) != CKR_OK)
        return rv;
    GenerateKey_Args a = {static_cast<uint32_t>(s.sessionh), 0, static_cast<uint32_t>(m->mechanism),
                          static_cast<uint32_t>(m->ulParameterLen), static_cast<uint32_t>(n),
                          static_cast<uint32_t>(attrs.len)};
    kyr_part p[2] = {{m->pParameter, m->ulParameterLen}, {attrs.p, attrs.len}};
    return handle_call(s, KYR_CMD_GENERATE_KEY, &a, p, 2, key);
}

// No session-handle check: a session 0 goes to the card (only a handle
// wider than a word is refused).
CK_RV SC_GenerateKeyPair(ST_SESSION_T s, CK_MECHANISM_PTR m, CK_ATTRIBUTE_PTR pub, CK_ULONG npub,
                         CK_ATTRIBUTE_PTR priv, CK_ULONG npriv, CK_OBJECT_HANDLE_PTR pubk,
                         CK_OBJECT_HANDLE_PTR privk)
{
    if (!kyr_initialized())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!kyr_fits32(s.sessionh))
        return CKR_SESSION_HANDLE_INVALID;
    CK_RV rv = kyr_mech_check(m);
    if (rv != CKR_OK)
        return rv;
    if (!pubk || !privk)
        return CKR_ARGUMENTS_BAD;
    kyr_block_guard pa, qa;
    if ((rv = kyr_attr_encode(pub, npub, &pa)) != CKR_OK ||
        (rv = kyr_attr_encode(priv, npriv, &qa)) != CKR_OK)
        return rv;
    GenKeyPair_Args a = {static_cast<uint32_t>(s.sessionh), 0, 0, static_cast<uint32_t>(m->mechanism),
                         static_cast<uint32_t>(m->ulParameterLen), static_cast<uint32_t>(npub),
                         static_cast<uint32_t>(pa.len), static_cast<uint32_t>(npriv),
                         static_cast<uint32_t>(qa.len)};
    kyr_part p[3] = {{m->pParameter, m->ulParameterLen}, {pa.p, pa.len}, {qa.p, qa.len}};
    kyr_block_guard g;
    rv = kyr_send(s, KYR_CMD_GENERATE_KEY_PAIR, &a, sizeof a, p, 3, &g);
    if (rv == CKR_OK) {
        memcpy(&a, g.p, sizeof a);
        *pubk = a.pub_object_handle;
        *privk = a.pri_object_handle;
    }
    return rv;
}

CK_RV SC_WrapKey(ST_SESSION_T s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE wrapping, CK_OBJECT_HANDLE key,
                 CK_BYTE_PTR out, CK_ULONG_PTR out_len)
{
    CK_RV rv = kyr_frame(s);
    if (rv != CKR_OK)
        return rv;
    if (!out_len)
        return CKR_ARGUMENTS_BAD;
    if ((rv = kyr_mech_check(m)) != CKR_OK)
        return rv;
    if (!kyr_fits32(wrapping) || !kyr_fits32(key))
        return CKR_KEY_HANDLE_INVALID;
    if (out && !kyr_fits32(*out_len))
        return CKR_ARGUMENTS_BAD;
    size_t room = out ? *out_len : 0;
    const size_t plen = m->ulParameterLen;   // the output's offset, the library's own
    WrapKey_Args a = {static_cast<uint32_t>(s.sessionh), static_cast<uint32_t>(m->mechanism),
                      static_cast<uint32_t>(plen), static_cast<uint32_t>(wrapping),
                      static_cast<uint32_t>(key), static_cast<uint32_t>(room)};
    kyr_part p[2] = {{m->pParameter, plen}, {nullptr, room}};
    kyr_block_guard g;
    rv = kyr_send(s, KYR_CMD_WRAP_KEY, &a, sizeof a, p, 2, &g);
    if (!g.p)
        return rv;
    WrapKey_Args back;
    memcpy(&back, g.p, sizeof back);
    return kyr_take_output(rv, back.wrapped_key_len, room, g.p + sizeof a + plen, out,
                           out_len);
}

CK_RV SC_UnwrapKey(ST_SESSION_T s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE unwrapping,
                   CK_BYTE_PTR wrapped, CK_ULONG wrapped_len, CK_ATTRIBUTE_PTR t, CK_ULONG n,
                   CK_OBJECT_HANDLE_PTR key)
{
    CK_RV rv = kyr_frame_mech(s, m);
    if (rv != CKR_OK)
        return rv;
    if (!wrapped || wrapped_len == 0 || !kyr_fits32(wrapped_len) || !key || (n && !t))
        return CKR_ARGUMENTS_BAD;
    if (!kyr_fits32(unwrapping))
        return CKR_KEY_HANDLE_INVALID;
    kyr_block_guard attrs;
    if ((rv = kyr_attr_encode(t, n, &attrs)) != CKR_OK)
        return rv;
    UnWrapKey_Args a = {static_cast<uint32_t>(s.sessionh), 0, static_cast<uint32_t>(m->mechanism),
                        static_cast<uint32_t>(m->ulParameterLen), static_cast<uint32_t>(unwrapping),
                        static_cast<uint32_t>(wrapped_len), static_cast<uint32_t>(n),
                        static_cast<uint32_t>(attrs.len)};
    kyr_part p[3] = {{m->pParameter, m->ulParameterLen}, {wrapped, wrapped_len}, {attrs.p, attrs.len}};
    return handle_call(s, KYR_CMD_UNWRAP_KEY, &a, p, 3, key);
}

CK_RV SC_DeriveKey(ST_SESSION_T s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE base, CK_ATTRIBUTE_PTR t,
                   CK_ULONG n, CK_OBJECT_HANDLE_PTR key)
{
    CK_RV rv = kyr_frame_mech(s, m);
    if (rv != CKR_OK)
        return rv;
    if (!key && m->mechanism != CKM_SSL3_KEY_AND_MAC_DERIVE)
        return CKR_ARGUMENTS_BAD;
    if (!kyr_fits32(base))
        return CKR_KEY_HANDLE_INVALID;
    kyr_block_guard params, attrs;
    if ((rv = derive_params(m, &params)) != CKR_OK)
        return rv;
    if ((rv = kyr_attr_encode(t, n, &attrs)) != CKR_OK)
        return rv;
    DeriveKey_Args a = {static_cast<uint32_t>(s.sessionh), 0, static_cast<uint32_t>(m->mechanism),
                        static_cast<uint32_t>(params.len), static_cast<uint32_t>(base),
                        static_cast<uint32_t>(n), static_cast<uint32_t>(attrs.len)};
    kyr_part p[2] = {{params.p, params.len}, {attrs.p, attrs.len}};
    return handle_call(s, KYR_CMD_DERIVE_KEY, &a, p, 2, key);
}

}  // extern "C"
