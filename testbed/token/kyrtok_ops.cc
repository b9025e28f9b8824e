// The card's token: objects, keys and cryptographic operations on SoftHSM
// (see kyrtok_ops.h).
#include "kyrtok_ops.h"

#include <cstring>
#include <vector>

namespace {

uint32_t word(const std::vector<uint8_t> &b, size_t i)
{
    uint32_t w = 0;
    if ((i + 1) * 4 <= b.size())
        memcpy(&w, b.data() + i * 4, 4);
    return w;
}

void set_word(std::vector<uint8_t> &b, size_t i, uint32_t v)
{
    if ((i + 1) * 4 <= b.size())
        memcpy(b.data() + i * 4, &v, 4);
}

uint32_t clamp32(CK_ULONG v)
{
    return v > 0xFFFFFFFFul ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
}

// Decoded attribute block: values owned by store (a CK_ULONG value widened).
struct attrs {
    std::vector<CK_ATTRIBUTE> t;
    std::vector<std::vector<uint8_t>> store;
};

CK_RV parse_attrs(const uint8_t *p, size_t len, uint32_t count, attrs *out)
{
    size_t off = 0;
    out->store.reserve(count);
    for (uint32_t i = 0; i < count; i++) {
        KYR_ATTR_32 e;
        if (len - off < sizeof e)
            return CKR_TEMPLATE_INCONSISTENT;
        memcpy(&e, p + off, sizeof e);
        off += sizeof e;
        if (e.len > len - off)
            return CKR_TEMPLATE_INCONSISTENT;
        std::vector<uint8_t> v(p + off, p + off + e.len);
        off += e.len;
        if (kyr_attr_is_nested(e.type))
            return CKR_ATTRIBUTE_TYPE_INVALID;   // no form on the card
        if (kyr_attr_is_ulong(e.type) || kyr_attr_is_ulong_array(e.type)) {
            // One 32-bit word per CK_ULONG on the card; a 64-bit caller's 8
            // bytes mean a library that forgot to narrow.
            if (kyr_attr_is_ulong(e.type) ? e.len != sizeof(uint32_t) : e.len % sizeof(uint32_t))
                return CKR_ATTRIBUTE_VALUE_INVALID;
            std::vector<uint8_t> w(e.len / sizeof(uint32_t) * sizeof(CK_ULONG));
            for (size_t k = 0; k < e.len / sizeof(uint32_t); k++) {
                uint32_t x;
                memcpy(&x, v.data() + k * sizeof x, sizeof x);
                CK_ULONG wide = x;
                memcpy(w.data() + k * sizeof wide, &wide, sizeof wide);
            }
            v.swap(w);
        }
        out->store.push_back(std::move(v));
        CK_ATTRIBUTE a = {e.type, out->store.back().empty() ? nullptr : out->store.back().data(),
                          out->store.back().size()};
        out->t.push_back(a);
    }
    return off == len ? CKR_OK : CKR_TEMPLATE_INCONSISTENT;
}

CK_ATTRIBUTE_PTR tp(attrs &a)
{
    return a.t.empty() ? nullptr : a.t.data();
}

CK_MECHANISM mech_of(uint32_t type, std::vector<uint8_t> &b, size_t off, uint32_t len)
{
    CK_MECHANISM m = {type, len ? b.data() + off : nullptr, len};
    return m;
}

CK_RV init_key(uint32_t cmd, CK_SESSION_HANDLE h, std::vector<uint8_t> &b)
{
    uint32_t mt = word(b, 2);
    if (kyrtok_mech_refused(mt))
        return KYRTOK_PARAM_REFUSED;
    CK_MECHANISM m = mech_of(mt, b, sizeof(EncryptInit_Args), word(b, 3));
    CK_OBJECT_HANDLE key = word(b, 1);
    switch (cmd) {
    case KYR_CMD_ENCRYPT_INIT: return kyrtok_p11()->C_EncryptInit(h, &m, key);
    case KYR_CMD_DECRYPT_INIT: return kyrtok_p11()->C_DecryptInit(h, &m, key);
    case KYR_CMD_SIGN_INIT: return kyrtok_p11()->C_SignInit(h, &m, key);
    case KYR_CMD_SIGN_RECOVER_INIT: return kyrtok_p11()->C_SignRecoverInit(h, &m, key);
    case KYR_CMD_VERIFY_INIT: return kyrtok_p11()->C_VerifyInit(h, &m, key);
    default: return kyrtok_p11()->C_VerifyRecoverInit(h, &m, key);
    }
}

using one_part_fn = CK_RV (*)(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR);

CK_RV one_part(one_part_fn fn, CK_SESSION_HANDLE h, std::vector<uint8_t> &b)
{
    uint32_t in_len = word(b, 1), room = word(b, 2);
    uint8_t *in = b.data() + sizeof(Encrypt_Args);
    CK_ULONG out_len = room;
    CK_RV rv = fn(h, in, in_len, room ? in + in_len : nullptr, &out_len);
    if (rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL)
        set_word(b, 2, clamp32(out_len));
    return rv;
}

using final_fn = CK_RV (*)(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR);

CK_RV final_out(final_fn fn, CK_SESSION_HANDLE h, std::vector<uint8_t> &b)
{
    uint32_t room = word(b, 1);
    CK_ULONG out_len = room;
    CK_RV rv = fn(h, room ? b.data() + sizeof(EncryptFinal_Args) : nullptr, &out_len);
    if (rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL)
        set_word(b, 1, clamp32(out_len));
    return rv;
}

// The answer of a get: each entry in place (type, length, value in its
// room); a value longer than the room, or none, is length 0xFFFFFFFF.
CK_RV get_attrs(CK_SESSION_HANDLE h, std::vector<uint8_t> &b)
{
    uint32_t count = word(b, 2), blen = word(b, 3);
    size_t base = sizeof(CommonObject_Args);
    if (blen != b.size() - base)
        return CKR_ARGUMENTS_BAD;
    std::vector<CK_ATTRIBUTE> t(count);
    std::vector<std::vector<uint8_t>> room(count);
    std::vector<size_t> at(count);
    size_t off = base;
    for (uint32_t i = 0; i < count; i++) {
        KYR_ATTR_32 e;
        if (b.size() - off < sizeof e)
            return CKR_ARGUMENTS_BAD;
        memcpy(&e, b.data() + off, sizeof e);
        at[i] = off;
        off += sizeof e;
        if (e.len > b.size() - off)
            return CKR_ARGUMENTS_BAD;
        off += e.len;
        size_t r = e.len;
        if (kyr_attr_is_ulong(e.type) && r)
            r = r >= sizeof(uint32_t) ? sizeof(CK_ULONG) : 0;
        else if (kyr_attr_is_ulong_array(e.type))
            r = r / sizeof(uint32_t) * sizeof(CK_ULONG);
        else if (kyr_attr_is_nested(e.type))
            r = 0;
        room[i].resize(r);
        t[i] = CK_ATTRIBUTE{e.type, r ? room[i].data() : nullptr, r};
    }
    CK_RV rv = kyrtok_p11()->C_GetAttributeValue(h, word(b, 1), t.data(), count);
    if (rv != CKR_OK && rv != CKR_ATTRIBUTE_SENSITIVE && rv != CKR_ATTRIBUTE_TYPE_INVALID &&
        rv != CKR_BUFFER_TOO_SMALL)
        return rv;
    for (uint32_t i = 0; i < count; i++) {
        KYR_ATTR_32 e;
        memcpy(&e, b.data() + at[i], sizeof e);
        uint32_t card_room = e.len;
        uint8_t *val = b.data() + at[i] + sizeof e;
        if (t[i].ulValueLen == CK_UNAVAILABLE_INFORMATION || kyr_attr_is_nested(e.type)) {
            e.len = KYR_UNAVAILABLE;
        } else if (kyr_attr_is_ulong_array(e.type)) {
            size_t words = t[i].ulValueLen / sizeof(CK_ULONG);
            e.len = clamp32(words * sizeof(uint32_t));
            if (t[i].pValue && e.len <= card_room) {
                for (size_t k = 0; k < words; k++) {
                    CK_ULONG wide;
                    memcpy(&wide, room[i].data() + k * sizeof wide, sizeof wide);
                    uint32_t w = clamp32(wide);
                    memcpy(val + k * sizeof w, &w, sizeof w);
                }
            }
        } else if (kyr_attr_is_ulong(e.type) && t[i].ulValueLen == sizeof(CK_ULONG)) {
            e.len = sizeof(uint32_t);
            if (card_room >= sizeof(uint32_t) && t[i].pValue) {
                CK_ULONG wide;
                memcpy(&wide, room[i].data(), sizeof wide);
                uint32_t w = clamp32(wide);
                memcpy(val, &w, sizeof w);
            }
        } else {
            e.len = clamp32(t[i].ulValueLen);
            if (t[i].pValue && e.len <= card_room)
                memcpy(val, room[i].data(), e.len);
        }
        memcpy(b.data() + at[i], &e, sizeof e);
    }
    return rv;
}

CK_RV object_call(uint32_t cmd, CK_SESSION_HANDLE h, std::vector<uint8_t> &b)
{
    if (cmd == KYR_CMD_GET_ATTRIBUTE_VALUE)
        return get_attrs(h, b);
    attrs a;
    CK_RV rv = parse_attrs(b.data() + sizeof(CommonObject_Args), word(b, 3), word(b, 2), &a);
    if (rv != CKR_OK)
        return rv;
    CK_OBJECT_HANDLE obj = word(b, 1), made = 0;
    switch (cmd) {
    case KYR_CMD_CREATE_OBJECT:
        rv = kyrtok_p11()->C_CreateObject(h, tp(a), a.t.size(), &made);
        break;
    case KYR_CMD_COPY_OBJECT:
        rv = kyrtok_p11()->C_CopyObject(h, obj, tp(a), a.t.size(), &made);
        break;
    default:
        return kyrtok_p11()->C_SetAttributeValue(h, obj, tp(a), a.t.size());
    }
    if (rv == CKR_OK)
        set_word(b, 1, clamp32(made));
    return rv;
}

CK_RV find(CK_SESSION_HANDLE h, std::vector<uint8_t> &b)
{
    uint32_t max = word(b, 1);
    std::vector<CK_OBJECT_HANDLE> hs(max ? max : 1);
    CK_ULONG n = 0;
    CK_RV rv = kyrtok_p11()->C_FindObjects(h, hs.data(), max, &n);
    if (rv != CKR_OK)
        return rv;
    set_word(b, 2, clamp32(n));
    for (CK_ULONG i = 0; i < n && i < max; i++)
        set_word(b, 3 + i, clamp32(hs[i]));
    return rv;
}

// The derivations SoftHSM lacks get a scripted answer once their parameter
// block checks out: a new handle of the card's own.
CK_RV scripted_derive(std::vector<uint8_t> &b, uint32_t *next)
{
    uint32_t mt = word(b, 2), plen = word(b, 3);
    const uint8_t *p = b.data() + sizeof(DeriveKey_Args);
    if (mt == CKM_SSL3_MASTER_KEY_DERIVE) {
        SSL3_MASTER_KEY_DERIVE_PARAMS_32 q;
        if (plen < sizeof q)
            return CKR_MECHANISM_PARAM_INVALID;
        memcpy(&q, p, sizeof q);
        if (q.version.major != 3 || q.version.minor != 0 ||
            uint64_t(q.client_data_len) + q.server_data_len != plen - sizeof q)
            return CKR_MECHANISM_PARAM_INVALID;
    } else if (mt == CKM_SSL3_KEY_AND_MAC_DERIVE) {
        SSL3_KEY_MAT_PARAMS_32 q;
        if (plen < sizeof q)
            return CKR_MECHANISM_PARAM_INVALID;
        memcpy(&q, p, sizeof q);
        if (uint64_t(q.client_data_len) + q.server_data_len != plen - sizeof q)
            return CKR_MECHANISM_PARAM_INVALID;
    } else if (plen != 0) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    // The template is read as SoftHSM would be given it.
    attrs a;
    CK_RV rv = parse_attrs(p + plen, word(b, 6), word(b, 5), &a);
    if (rv != CKR_OK)
        return rv;
    set_word(b, 1, 0x7E000000u + (*next)++);
    return CKR_OK;
}

CK_RV keys(uint32_t cmd, CK_SESSION_HANDLE h, std::vector<uint8_t> &b, uint32_t *next)
{
    CK_FUNCTION_LIST_PTR f = kyrtok_p11();
    CK_RV rv;
    CK_OBJECT_HANDLE o1 = 0, o2 = 0;
    switch (cmd) {
    case KYR_CMD_GENERATE_KEY: {
        uint32_t plen = word(b, 3);
        if (kyrtok_mech_refused(word(b, 2)))
            return KYRTOK_PARAM_REFUSED;
        CK_MECHANISM m = mech_of(word(b, 2), b, sizeof(GenerateKey_Args), plen);
        attrs a;
        if ((rv = parse_attrs(b.data() + sizeof(GenerateKey_Args) + plen, word(b, 5), word(b, 4),
                              &a)) != CKR_OK)
            return rv;
        rv = f->C_GenerateKey(h, &m, tp(a), a.t.size(), &o1);
        if (rv == CKR_OK)
            set_word(b, 1, clamp32(o1));
        return rv;
    }
    case KYR_CMD_GENERATE_KEY_PAIR: {
        uint32_t plen = word(b, 4), publen = word(b, 6);
        if (kyrtok_mech_refused(word(b, 3)))
            return KYRTOK_PARAM_REFUSED;
        size_t base = sizeof(GenKeyPair_Args);
        CK_MECHANISM m = mech_of(word(b, 3), b, base, plen);
        attrs pub, priv;
        if ((rv = parse_attrs(b.data() + base + plen, publen, word(b, 5), &pub)) != CKR_OK ||
            (rv = parse_attrs(b.data() + base + plen + publen, word(b, 8), word(b, 7), &priv)) !=
                CKR_OK)
            return rv;
        rv = f->C_GenerateKeyPair(h, &m, tp(pub), pub.t.size(), tp(priv), priv.t.size(), &o1, &o2);
        if (rv == CKR_OK) {
            set_word(b, 1, clamp32(o1));
            set_word(b, 2, clamp32(o2));
        }
        return rv;
    }
    case KYR_CMD_WRAP_KEY: {
        uint32_t plen = word(b, 2), room = word(b, 5);
        if (kyrtok_mech_refused(word(b, 1)))
            return KYRTOK_PARAM_REFUSED;
        CK_MECHANISM m = mech_of(word(b, 1), b, sizeof(WrapKey_Args), plen);
        CK_ULONG out_len = room;
        rv = f->C_WrapKey(h, &m, word(b, 3), word(b, 4),
                          room ? b.data() + sizeof(WrapKey_Args) + plen : nullptr, &out_len);
        if (rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL)
            set_word(b, 5, clamp32(out_len));
        return rv;
    }
    case KYR_CMD_UNWRAP_KEY: {
        uint32_t plen = word(b, 3), wlen = word(b, 5);
        if (kyrtok_mech_refused(word(b, 2)))
            return KYRTOK_PARAM_REFUSED;
        size_t base = sizeof(UnWrapKey_Args);
        CK_MECHANISM m = mech_of(word(b, 2), b, base, plen);
        attrs a;
        if ((rv = parse_attrs(b.data() + base + plen + wlen, word(b, 7), word(b, 6), &a)) != CKR_OK)
            return rv;
        rv = f->C_UnwrapKey(h, &m, word(b, 4), b.data() + base + plen, wlen, tp(a), a.t.size(), &o1);
        if (rv == CKR_OK)
            set_word(b, 1, clamp32(o1));
        return rv;
    }
    default: {   // derive
        uint32_t mt = word(b, 2), plen = word(b, 3);
        if (mt != CKM_DH_PKCS_DERIVE)
            return scripted_derive(b, next);
        size_t base = sizeof(DeriveKey_Args);
        CK_MECHANISM m = mech_of(mt, b, base, plen);
        attrs a;
        if ((rv = parse_attrs(b.data() + base + plen, word(b, 6), word(b, 5), &a)) != CKR_OK)
            return rv;
        rv = f->C_DeriveKey(h, &m, word(b, 4), tp(a), a.t.size(), &o1);
        if (rv == CKR_OK)
            set_word(b, 1, clamp32(o1));
        return rv;
    }
    }
}

}  // namespace

bool kyrtok_mech_refused(uint32_t type)
{
    switch (type) {
    case CKM_RSA_PKCS_OAEP:
    case CKM_RSA_PKCS_PSS:
    case CKM_SHA1_RSA_PKCS_PSS:
    case CKM_SHA224_RSA_PKCS_PSS:
    case CKM_SHA256_RSA_PKCS_PSS:
    case CKM_SHA384_RSA_PKCS_PSS:
    case CKM_SHA512_RSA_PKCS_PSS:
    case CKM_AES_GCM:
    case CKM_AES_CTR:
    case CKM_AES_CCM:
    case CKM_ECDH1_DERIVE:
    case CKM_ECDH1_COFACTOR_DERIVE:
    case CKM_MD5_HMAC_GENERAL:
    case CKM_SHA_1_HMAC_GENERAL:
    case CKM_SHA224_HMAC_GENERAL:
    case CKM_SHA256_HMAC_GENERAL:
    case CKM_SHA384_HMAC_GENERAL:
    case CKM_SHA512_HMAC_GENERAL:
    case CKM_AES_CMAC_GENERAL:
    case CKM_DES3_CMAC_GENERAL:
    case CKM_DES_ECB_ENCRYPT_DATA:
    case CKM_DES_CBC_ENCRYPT_DATA:
    case CKM_DES3_ECB_ENCRYPT_DATA:
    case CKM_DES3_CBC_ENCRYPT_DATA:
    case CKM_AES_ECB_ENCRYPT_DATA:
    case CKM_AES_CBC_ENCRYPT_DATA:
    case CKM_EDDSA:
        return true;
    default:
        return false;
    }
}

size_t kyrtok_header_size(uint32_t cmd)
{
    switch (cmd) {
    case KYR_CMD_ENCRYPT_INIT: case KYR_CMD_DECRYPT_INIT: case KYR_CMD_SIGN_INIT:
    case KYR_CMD_SIGN_RECOVER_INIT: case KYR_CMD_VERIFY_INIT: case KYR_CMD_VERIFY_RECOVER_INIT:
        return sizeof(EncryptInit_Args);
    case KYR_CMD_DIGEST_INIT: return sizeof(DigestInit_Args);
    case KYR_CMD_ENCRYPT: case KYR_CMD_ENCRYPT_UPDATE: case KYR_CMD_DECRYPT:
    case KYR_CMD_DECRYPT_UPDATE: case KYR_CMD_DIGEST: case KYR_CMD_SIGN: case KYR_CMD_SIGN_RECOVER:
    case KYR_CMD_VERIFY_RECOVER:
        return sizeof(Encrypt_Args);
    case KYR_CMD_DIGEST_UPDATE: case KYR_CMD_SIGN_UPDATE: case KYR_CMD_VERIFY_UPDATE:
    case KYR_CMD_VERIFY_FINAL: case KYR_CMD_SEED_RANDOM: case KYR_CMD_GENERATE_RANDOM:
        return sizeof(DigestUpdate_Args);
    case KYR_CMD_VERIFY: return sizeof(Verify_Args);
    case KYR_CMD_ENCRYPT_FINAL: case KYR_CMD_DECRYPT_FINAL: case KYR_CMD_DIGEST_FINAL:
    case KYR_CMD_SIGN_FINAL:
        return sizeof(EncryptFinal_Args);
    case KYR_CMD_DIGEST_KEY: case KYR_CMD_DESTROY_OBJECT: return sizeof(DigestKey_Args);
    case KYR_CMD_CREATE_OBJECT: case KYR_CMD_COPY_OBJECT: case KYR_CMD_GET_ATTRIBUTE_VALUE:
    case KYR_CMD_SET_ATTRIBUTE_VALUE:
        return sizeof(CommonObject_Args);
    case KYR_CMD_GET_OBJECT_SIZE: return sizeof(GetObjectSize_Args);
    case KYR_CMD_FIND_OBJECTS_INIT: return sizeof(FindObjectsInit_Args);
    case KYR_CMD_FIND_OBJECTS: return sizeof(FindObjects_Args);
    case KYR_CMD_FIND_OBJECTS_FINAL: return sizeof(FindObjectsFinal_Args);
    case KYR_CMD_GENERATE_KEY: return sizeof(GenerateKey_Args);
    case KYR_CMD_GENERATE_KEY_PAIR: return sizeof(GenKeyPair_Args);
    case KYR_CMD_WRAP_KEY: return sizeof(WrapKey_Args);
    case KYR_CMD_UNWRAP_KEY: return sizeof(UnWrapKey_Args);
    case KYR_CMD_DERIVE_KEY: return sizeof(DeriveKey_Args);
    default: return 0;
    }
}

bool kyrtok_block_total(uint32_t cmd, const uint8_t *hdr, size_t *total)
{
    size_t n = kyrtok_header_size(cmd);
    std::vector<uint8_t> b(hdr, hdr + n);
    uint64_t t = n;
    auto w = [&](size_t i) { return uint64_t(word(b, i)); };
    switch (n ? cmd : 0) {
    case KYR_CMD_ENCRYPT_INIT: case KYR_CMD_DECRYPT_INIT: case KYR_CMD_SIGN_INIT:
    case KYR_CMD_SIGN_RECOVER_INIT: case KYR_CMD_VERIFY_INIT: case KYR_CMD_VERIFY_RECOVER_INIT:
    case KYR_CMD_CREATE_OBJECT: case KYR_CMD_COPY_OBJECT: case KYR_CMD_GET_ATTRIBUTE_VALUE:
    case KYR_CMD_SET_ATTRIBUTE_VALUE:
        t += w(3);
        break;
    case KYR_CMD_DIGEST_INIT: case KYR_CMD_FIND_OBJECTS_INIT: t += w(2); break;
    case KYR_CMD_ENCRYPT: case KYR_CMD_ENCRYPT_UPDATE: case KYR_CMD_DECRYPT:
    case KYR_CMD_DECRYPT_UPDATE: case KYR_CMD_DIGEST: case KYR_CMD_SIGN: case KYR_CMD_SIGN_RECOVER:
    case KYR_CMD_VERIFY_RECOVER: case KYR_CMD_VERIFY:
        t += w(1) + w(2);
        break;
    case KYR_CMD_DIGEST_UPDATE: case KYR_CMD_SIGN_UPDATE: case KYR_CMD_VERIFY_UPDATE:
    case KYR_CMD_VERIFY_FINAL: case KYR_CMD_SEED_RANDOM: case KYR_CMD_GENERATE_RANDOM:
    case KYR_CMD_ENCRYPT_FINAL: case KYR_CMD_DECRYPT_FINAL: case KYR_CMD_DIGEST_FINAL:
    case KYR_CMD_SIGN_FINAL:
        t += w(1);
        break;
    case KYR_CMD_FIND_OBJECTS: t += 4 * w(1); break;
    case KYR_CMD_GENERATE_KEY: t += w(3) + w(5); break;
    case KYR_CMD_GENERATE_KEY_PAIR: t += w(4) + w(6) + w(8); break;
    case KYR_CMD_WRAP_KEY: t += w(2) + w(5); break;
    case KYR_CMD_UNWRAP_KEY: t += w(3) + w(5) + w(7); break;
    case KYR_CMD_DERIVE_KEY: t += w(3) + w(6); break;
    default: break;
    }
    if (t > KYR_MAX_BLOCK)
        return false;
    *total = static_cast<size_t>(t);
    return true;
}

CK_RV kyrtok_run_op(uint32_t cmd, CK_SESSION_HANDLE h, std::vector<uint8_t> &b, uint32_t *next)
{
    CK_FUNCTION_LIST_PTR f = kyrtok_p11();
    switch (cmd) {
    case KYR_CMD_ENCRYPT_INIT: case KYR_CMD_DECRYPT_INIT: case KYR_CMD_SIGN_INIT:
    case KYR_CMD_SIGN_RECOVER_INIT: case KYR_CMD_VERIFY_INIT: case KYR_CMD_VERIFY_RECOVER_INIT:
        return init_key(cmd, h, b);
    case KYR_CMD_DIGEST_INIT: {
        if (kyrtok_mech_refused(word(b, 1)))
            return KYRTOK_PARAM_REFUSED;
        CK_MECHANISM m = mech_of(word(b, 1), b, sizeof(DigestInit_Args), word(b, 2));
        return f->C_DigestInit(h, &m);
    }
    case KYR_CMD_ENCRYPT: return one_part(f->C_Encrypt, h, b);
    case KYR_CMD_ENCRYPT_UPDATE: return one_part(f->C_EncryptUpdate, h, b);
    case KYR_CMD_DECRYPT: return one_part(f->C_Decrypt, h, b);
    case KYR_CMD_DECRYPT_UPDATE: return one_part(f->C_DecryptUpdate, h, b);
    case KYR_CMD_DIGEST: return one_part(f->C_Digest, h, b);
    case KYR_CMD_SIGN: return one_part(f->C_Sign, h, b);
    case KYR_CMD_SIGN_RECOVER: return one_part(f->C_SignRecover, h, b);
    case KYR_CMD_VERIFY_RECOVER: return one_part(f->C_VerifyRecover, h, b);
    case KYR_CMD_ENCRYPT_FINAL: return final_out(f->C_EncryptFinal, h, b);
    case KYR_CMD_DECRYPT_FINAL: return final_out(f->C_DecryptFinal, h, b);
    case KYR_CMD_DIGEST_FINAL: return final_out(f->C_DigestFinal, h, b);
    case KYR_CMD_SIGN_FINAL: return final_out(f->C_SignFinal, h, b);
    case KYR_CMD_DIGEST_UPDATE:
        return f->C_DigestUpdate(h, b.data() + sizeof(DigestUpdate_Args), word(b, 1));
    case KYR_CMD_SIGN_UPDATE:
        return f->C_SignUpdate(h, b.data() + sizeof(DigestUpdate_Args), word(b, 1));
    case KYR_CMD_VERIFY_UPDATE:
        return f->C_VerifyUpdate(h, b.data() + sizeof(DigestUpdate_Args), word(b, 1));
    case KYR_CMD_VERIFY_FINAL:
        return f->C_VerifyFinal(h, b.data() + sizeof(DigestUpdate_Args), word(b, 1));
    case KYR_CMD_SEED_RANDOM:
        return f->C_SeedRandom(h, b.data() + sizeof(DigestUpdate_Args), word(b, 1));
    case KYR_CMD_GENERATE_RANDOM:
        return f->C_GenerateRandom(h, b.data() + sizeof(DigestUpdate_Args), word(b, 1));
    case KYR_CMD_VERIFY: {
        uint32_t dl = word(b, 1);
        uint8_t *d = b.data() + sizeof(Verify_Args);
        return f->C_Verify(h, d, dl, d + dl, word(b, 2));
    }
    case KYR_CMD_DIGEST_KEY: return f->C_DigestKey(h, word(b, 1));
    case KYR_CMD_DESTROY_OBJECT: return f->C_DestroyObject(h, word(b, 1));
    case KYR_CMD_GET_OBJECT_SIZE: {
        CK_ULONG size = 0;
        CK_RV rv = f->C_GetObjectSize(h, word(b, 1), &size);
        if (rv == CKR_OK)
            set_word(b, 2, size == CK_UNAVAILABLE_INFORMATION ? KYR_UNAVAILABLE : clamp32(size));
        return rv;
    }
    case KYR_CMD_CREATE_OBJECT: case KYR_CMD_COPY_OBJECT: case KYR_CMD_GET_ATTRIBUTE_VALUE:
    case KYR_CMD_SET_ATTRIBUTE_VALUE:
        return object_call(cmd, h, b);
    case KYR_CMD_FIND_OBJECTS_INIT: {
        attrs a;
        CK_RV rv = parse_attrs(b.data() + sizeof(FindObjectsInit_Args), word(b, 2), word(b, 1), &a);
        return rv != CKR_OK ? rv : f->C_FindObjectsInit(h, tp(a), a.t.size());
    }
    case KYR_CMD_FIND_OBJECTS: return find(h, b);
    case KYR_CMD_FIND_OBJECTS_FINAL: return f->C_FindObjectsFinal(h);
    default: return keys(cmd, h, b, next);
    }
}
