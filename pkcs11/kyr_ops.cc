// libpkcs11_kyr: the cryptographic operations (encrypt, decrypt, digest,
// sign, verify, their recover forms, random numbers).
//
// The card keeps every operation's state; each call is one block.  Check
// order: not initialized, session handle, the call's arguments, the block,
// the device call, the outputs.  An output the card says is longer than the
// room the library reserved is CKR_DEVICE_ERROR with nothing copied, and
// every offset into the answer is the library's own.
#include <string.h>

#include "kyr_ops.h"

CK_RV kyr_frame(ST_SESSION_T s)
{
    if (!kyr_initialized())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!kyr_session_ok(s.sessionh))
        return CKR_SESSION_HANDLE_INVALID;
    return CKR_OK;
}

CK_RV kyr_frame_mech(ST_SESSION_T s, const CK_MECHANISM *m)
{
    CK_RV rv = kyr_frame(s);
    return rv != CKR_OK ? rv : kyr_mech_check(m);
}

CK_RV kyr_send(ST_SESSION_T s, uint32_t cmd, const void *hdr, size_t hdr_len, const kyr_part *parts,
               size_t n, kyr_block_guard *g)
{
    CK_RV rv = kyr_block_build(hdr, hdr_len, parts, n, &g->p, &g->len);
    if (rv != CKR_OK)
        return rv;
    return kyr_ioctl(s.slotID, cmd, g->p);
}

namespace {

// The room offered for an output: the caller's length when a buffer is
// given, else 0 (a length query).
CK_RV output_room(CK_BYTE_PTR out, CK_ULONG_PTR out_len, size_t *room)
{
    *room = 0;
    if (!out)
        return CKR_OK;
    if (!kyr_fits32(*out_len))
        return CKR_ARGUMENTS_BAD;
    *room = *out_len;
    return CKR_OK;
}

// Init with a key: EncryptInit_Args + parameter.
CK_RV init_key(ST_SESSION_T s, uint32_t cmd, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE key)
{
    CK_RV rv = kyr_frame_mech(s, m);
    if (rv != CKR_OK)
        return rv;
    if (!kyr_fits32(key))
        return CKR_KEY_HANDLE_INVALID;
    EncryptInit_Args a = {static_cast<uint32_t>(s.sessionh), static_cast<uint32_t>(key),
                          static_cast<uint32_t>(m->mechanism),
                          static_cast<uint32_t>(m->ulParameterLen)};
    kyr_part p = {m->pParameter, m->ulParameterLen};
    kyr_block_guard g;
    return kyr_send(s, cmd, &a, sizeof a, &p, 1, &g);
}

// One part in, one part out: Encrypt_Args + input + room.
CK_RV one_part(ST_SESSION_T s, uint32_t cmd, CK_BYTE_PTR in, CK_ULONG in_len, CK_BYTE_PTR out,
               CK_ULONG_PTR out_len)
{
    CK_RV rv = kyr_frame(s);
    if (rv != CKR_OK)
        return rv;
    if (!in || !out_len)
        return CKR_ARGUMENTS_BAD;
    size_t room = 0;
    if ((rv = output_room(out, out_len, &room)) != CKR_OK)
        return rv;
    if (!kyr_fits32(in_len))
        return CKR_ARGUMENTS_BAD;
    Encrypt_Args a = {static_cast<uint32_t>(s.sessionh), static_cast<uint32_t>(in_len),
                      static_cast<uint32_t>(room)};
    kyr_part p[2] = {{in, in_len}, {nullptr, room}};
    kyr_block_guard g;
    rv = kyr_send(s, cmd, &a, sizeof a, p, 2, &g);
    if (!g.p)
        return rv;
    Encrypt_Args back;
    memcpy(&back, g.p, sizeof back);
    return kyr_take_output(rv, back.out_data_len, room, g.p + sizeof a + in_len, out, out_len);
}

// A final with output: EncryptFinal_Args + room.
CK_RV final_out(ST_SESSION_T s, uint32_t cmd, CK_BYTE_PTR out, CK_ULONG_PTR out_len)
{
    CK_RV rv = kyr_frame(s);
    if (rv != CKR_OK)
        return rv;
    if (!out_len)
        return CKR_ARGUMENTS_BAD;
    size_t room = 0;
    if ((rv = output_room(out, out_len, &room)) != CKR_OK)
        return rv;
    EncryptFinal_Args a = {static_cast<uint32_t>(s.sessionh), static_cast<uint32_t>(room)};
    kyr_part p = {nullptr, room};
    kyr_block_guard g;
    rv = kyr_send(s, cmd, &a, sizeof a, &p, 1, &g);
    if (!g.p)
        return rv;
    EncryptFinal_Args back;
    memcpy(&back, g.p, sizeof back);
    return kyr_take_output(rv, back.out_len, room, g.p + sizeof a, out, out_len);
}

// An update (and the verify final): DigestUpdate_Args + data.
CK_RV data_call(ST_SESSION_T s, uint32_t cmd, CK_BYTE_PTR data, CK_ULONG len, bool ptr_needed)
{
    CK_RV rv = kyr_frame(s);
    if (rv != CKR_OK)
        return rv;
    if ((!data && (ptr_needed || len)) || !kyr_fits32(len))
        return CKR_ARGUMENTS_BAD;
    DigestUpdate_Args a = {static_cast<uint32_t>(s.sessionh), static_cast<uint32_t>(len)};
    kyr_part p = {data, len};
    kyr_block_guard g;
    return kyr_send(s, cmd, &a, sizeof a, &p, 1, &g);
}

}  // namespace

extern "C" {

#define KYR_INIT_CALL(name, cmd)                                                    \
    CK_RV SC_##name(ST_SESSION_T s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE key)        \
    {                                                                               \
        return init_key(s, cmd, m, key);                                            \
    }
#define KYR_ONE_PART_CALL(name, cmd)                                                \
    CK_RV SC_##name(ST_SESSION_T s, CK_BYTE_PTR in, CK_ULONG in_len, CK_BYTE_PTR out, \
                    CK_ULONG_PTR out_len)                                           \
    {                                                                               \
        return one_part(s, cmd, in, in_len, out, out_len);                          \
    }
#define KYR_FINAL_CALL(name, cmd)                                                   \
    CK_RV SC_##name(ST_SESSION_T s, CK_BYTE_PTR out, CK_ULONG_PTR out_len)          \
    {                                                                               \
        return final_out(s, cmd, out, out_len);                                     \
    }

KYR_INIT_CALL(EncryptInit, KYR_CMD_ENCRYPT_INIT)
KYR_INIT_CALL(DecryptInit, KYR_CMD_DECRYPT_INIT)
KYR_INIT_CALL(SignInit, KYR_CMD_SIGN_INIT)
KYR_INIT_CALL(SignRecoverInit, KYR_CMD_SIGN_RECOVER_INIT)
KYR_INIT_CALL(VerifyInit, KYR_CMD_VERIFY_INIT)
KYR_INIT_CALL(VerifyRecoverInit, KYR_CMD_VERIFY_RECOVER_INIT)
KYR_ONE_PART_CALL(Encrypt, KYR_CMD_ENCRYPT)
KYR_ONE_PART_CALL(EncryptUpdate, KYR_CMD_ENCRYPT_UPDATE)
KYR_ONE_PART_CALL(Decrypt, KYR_CMD_DECRYPT)
KYR_ONE_PART_CALL(DecryptUpdate, KYR_CMD_DECRYPT_UPDATE)
KYR_ONE_PART_CALL(Digest, KYR_CMD_DIGEST)
KYR_ONE_PART_CALL(Sign, KYR_CMD_SIGN)
KYR_ONE_PART_CALL(SignRecover, KYR_CMD_SIGN_RECOVER)
KYR_ONE_PART_CALL(VerifyRecover, KYR_CMD_VERIFY_RECOVER)
KYR_FINAL_CALL(EncryptFinal, KYR_CMD_ENCRYPT_FINAL)
KYR_FINAL_CALL(DecryptFinal, KYR_CMD_DECRYPT_FINAL)
KYR_FINAL_CALL(DigestFinal, KYR_CMD_DIGEST_FINAL)
KYR_FINAL_CALL(SignFinal, KYR_CMD_SIGN_FINAL)

CK_RV SC_DigestInit(ST_SESSION_T s, CK_MECHANISM_PTR m)
{
    CK_RV rv = kyr_frame_mech(s, m);
    if (rv != CKR_OK)
        return rv;
    DigestInit_Args a = {static_cast<uint32_t>(s.sessionh), static_cast<uint32_t>(m->mechanism),
                         static_cast<uint32_t>(m->ulParameterLen)};
    kyr_part p = {m->pParameter, m->ulParameterLen};
    kyr_block_guard g;
    return kyr_send(s, KYR_CMD_DIGEST_INIT, &a, sizeof a, &p, 1, &g);
}

CK_RV SC_DigestUpdate(ST_SESSION_T s, CK_BYTE_PTR part, CK_ULONG len)
{
    return data_call(s, KYR_CMD_DIGEST_UPDATE, part, len, false);
}

CK_RV SC_SignUpdate(ST_SESSION_T s, CK_BYTE_PTR part, CK_ULONG len)
{
    return data_call(s, KYR_CMD_SIGN_UPDATE, part, len, true);
}

CK_RV SC_VerifyUpdate(ST_SESSION_T s, CK_BYTE_PTR part, CK_ULONG len)
{
    return data_call(s, KYR_CMD_VERIFY_UPDATE, part, len, true);
}

CK_RV SC_VerifyFinal(ST_SESSION_T s, CK_BYTE_PTR sig, CK_ULONG len)
{
    return data_call(s, KYR_CMD_VERIFY_FINAL, sig, len, true);
}

CK_RV SC_Verify(ST_SESSION_T s, CK_BYTE_PTR data, CK_ULONG data_len, CK_BYTE_PTR sig,
                CK_ULONG sig_len)
{
    CK_RV rv = kyr_frame(s);
    if (rv != CKR_OK)
        return rv;
    if (!data || !sig || !kyr_fits32(data_len) || !kyr_fits32(sig_len))
        return CKR_ARGUMENTS_BAD;
    Verify_Args a = {static_cast<uint32_t>(s.sessionh), static_cast<uint32_t>(data_len),
                     static_cast<uint32_t>(sig_len)};
    kyr_part p[2] = {{data, data_len}, {sig, sig_len}};
    kyr_block_guard g;
    return kyr_send(s, KYR_CMD_VERIFY, &a, sizeof a, p, 2, &g);
}

CK_RV SC_DigestKey(ST_SESSION_T s, CK_OBJECT_HANDLE key)
{
    CK_RV rv = kyr_frame(s);
    if (rv != CKR_OK)
        return rv;
    if (!kyr_fits32(key))
        return CKR_KEY_HANDLE_INVALID;
    DigestKey_Args a = {static_cast<uint32_t>(s.sessionh), static_cast<uint32_t>(key)};
    return kyr_ioctl(s.slotID, KYR_CMD_DIGEST_KEY, &a);
}

CK_RV SC_SeedRandom(ST_SESSION_T s, CK_BYTE_PTR seed, CK_ULONG len)
{
    if (kyr_frame(s) == CKR_OK && (!seed || len == 0))
        return CKR_ARGUMENTS_BAD;
    return data_call(s, KYR_CMD_SEED_RANDOM, seed, len, true);
}

CK_RV SC_GenerateRandom(ST_SESSION_T s, CK_BYTE_PTR out, CK_ULONG len)
{
    CK_RV rv = kyr_frame(s);
    if (rv != CKR_OK)
        return rv;
    if (!out || len == 0 || !kyr_fits32(len))
        return CKR_ARGUMENTS_BAD;
    GenerateRandom_Args a = {static_cast<uint32_t>(s.sessionh), static_cast<uint32_t>(len)};
    kyr_part p = {nullptr, len};
    kyr_block_guard g;
    rv = kyr_send(s, KYR_CMD_GENERATE_RANDOM, &a, sizeof a, &p, 1, &g);
    // The requested number of bytes from the library's own room.
    if (rv == CKR_OK)
        memcpy(out, g.p + sizeof a, len);
    return rv;
}

}  // extern "C"
