// libpkcs11_kyr (kyr_api): the SC_ entry points of the token library.
//
// Each call is a thin conversion step over the checked core (kyr_core):
// the common frame checks, one argument block, one device call, and the
// outputs copied back.  Check order of every call that reaches the device:
// not initialized (0x190), session handle 0 (0xB3), the call's argument
// checks, the block, the device call, the outputs.
#include <string.h>

#include "kyr_core.h"

namespace {

ST_FCN_LIST g_function_list;

const char k_user_pin_prefix[] = "opencryptoki:";
constexpr size_t k_user_pin_prefix_len = sizeof k_user_pin_prefix - 1;

// The four text fields, both versions and the time are copied byte for
// byte; flags and the ten counters are widened (zero-extended).
void widen_token_info(const CK_TOKEN_INFO_32 &in, CK_TOKEN_INFO *out)
{
    memcpy(out->label, in.label, sizeof in.label);
    memcpy(out->manufacturerID, in.manufacturerID, sizeof in.manufacturerID);
    memcpy(out->model, in.model, sizeof in.model);
    memcpy(out->serialNumber, in.serialNumber, sizeof in.serialNumber);
    out->flags = in.flags;
    out->ulMaxSessionCount = in.ulMaxSessionCount;
    out->ulSessionCount = in.ulSessionCount;
    out->ulMaxRwSessionCount = in.ulMaxRwSessionCount;
    out->ulRwSessionCount = in.ulRwSessionCount;
    out->ulMaxPinLen = in.ulMaxPinLen;
    out->ulMinPinLen = in.ulMinPinLen;
    out->ulTotalPublicMemory = in.ulTotalPublicMemory;
    out->ulFreePublicMemory = in.ulFreePublicMemory;
    out->ulTotalPrivateMemory = in.ulTotalPrivateMemory;
    out->ulFreePrivateMemory = in.ulFreePrivateMemory;
    out->hardwareVersion.major = in.hardwareVersion.major;
    out->hardwareVersion.minor = in.hardwareVersion.minor;
    out->firmwareVersion.major = in.firmwareVersion.major;
    out->firmwareVersion.minor = in.firmwareVersion.minor;
    memcpy(out->utcTime, in.utcTime, sizeof in.utcTime);
}

// The PIN as the card wants it in a Login_Args block: a user PIN without
// ':' gets the framework's prefix.
CK_RV fill_login_pin(Login_Args *a, CK_USER_TYPE user, const CK_UTF8CHAR *pin, CK_ULONG len)
{
    size_t off = 0;
    if (user == CKU_USER && !memchr(pin, ':', len)) {
        if (len + k_user_pin_prefix_len > KYR_PIN_ROOM)
            return CKR_PIN_INCORRECT;
        memcpy(a->pin, k_user_pin_prefix, k_user_pin_prefix_len);
        off = k_user_pin_prefix_len;
    }
    memcpy(a->pin + off, pin, len);
    a->pin_len = static_cast<uint32_t>(off + len);
    return CKR_OK;
}

}  // namespace

extern "C" {

void SC_SetFunctionList(void)
{
    ST_FCN_LIST *f = &g_function_list;
    memset(f, 0, sizeof *f);
#define KYR_SET(name) f->ST_##name = SC_##name
    KYR_SET(GetTokenInfo); KYR_SET(GetMechanismList); KYR_SET(GetMechanismInfo); KYR_SET(SetPIN);
    KYR_SET(OpenSession); KYR_SET(CloseSession); KYR_SET(GetSessionInfo); KYR_SET(Login);
    KYR_SET(Logout); KYR_SET(CreateObject); KYR_SET(CopyObject); KYR_SET(DestroyObject); KYR_SET(GetObjectSize);
    KYR_SET(GetAttributeValue); KYR_SET(SetAttributeValue); KYR_SET(FindObjectsInit);
    KYR_SET(FindObjects); KYR_SET(FindObjectsFinal); KYR_SET(EncryptInit); KYR_SET(Encrypt);
    KYR_SET(EncryptUpdate); KYR_SET(EncryptFinal); KYR_SET(DecryptInit); KYR_SET(Decrypt);
    KYR_SET(DecryptUpdate); KYR_SET(DecryptFinal); KYR_SET(DigestInit); KYR_SET(Digest);
    KYR_SET(DigestUpdate); KYR_SET(DigestKey); KYR_SET(DigestFinal); KYR_SET(SignInit);
    KYR_SET(Sign); KYR_SET(SignUpdate); KYR_SET(SignFinal); KYR_SET(SignRecoverInit);
    KYR_SET(SignRecover); KYR_SET(VerifyInit); KYR_SET(Verify); KYR_SET(VerifyUpdate);
    KYR_SET(VerifyFinal); KYR_SET(VerifyRecoverInit); KYR_SET(VerifyRecover);
    KYR_SET(GenerateKey); KYR_SET(GenerateKeyPair); KYR_SET(WrapKey); KYR_SET(UnwrapKey);
    KYR_SET(DeriveKey); KYR_SET(SeedRandom); KYR_SET(GenerateRandom);
#undef KYR_SET
}

CK_RV SC_Initialize(void **function_list, CK_SLOT_ID slot, char *correlator)
{
    (void)correlator;
    if (!function_list)
        return CKR_ARGUMENTS_BAD;
    *function_list = nullptr;
    CK_RV rv = kyr_slot_initialize(slot);
    if (rv == CKR_OK)
        *function_list = &g_function_list;
    return rv;
}

CK_RV SC_Finalize(CK_SLOT_ID slot)
{
    return kyr_slot_finalize(slot);
}

CK_RV SC_InitToken(CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR)
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV SC_InitPIN(ST_SESSION_T, CK_UTF8CHAR_PTR, CK_ULONG)
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV SC_GetOperationState(ST_SESSION_T, CK_BYTE_PTR, CK_ULONG_PTR)
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV SC_SetOperationState(ST_SESSION_T, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE)
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV SC_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info)
{
    if (!kyr_initialized())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!info)
        return CKR_ARGUMENTS_BAD;
    GetTokenInfo_Args a;
    memset(&a, 0, sizeof a);
    a.slot_id = static_cast<uint32_t>(slot < KYR_MAX_SLOTS ? slot : 0);
    CK_RV rv = kyr_ioctl(slot, KYR_CMD_GET_TOKEN_INFO, &a);
    if (rv == CKR_OK)
        widen_token_info(a.token_info, info);
    return rv;
}

CK_RV SC_GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count)
{
    if (!kyr_initialized())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!count)
        return CKR_ARGUMENTS_BAD;
    if (slot >= KYR_MAX_SLOTS)
        return CKR_SLOT_ID_INVALID;
    size_t room = 0;
    if (list) {
        if (!kyr_fits32(*count))
            return CKR_ARGUMENTS_BAD;
        // The room offered to the card never passes the largest block.
        room = *count;
        const size_t max_room = (KYR_MAX_BLOCK - sizeof(GetMechList_Args)) / sizeof(uint32_t);
        if (room > max_room)
            room = max_room;
    }
    size_t len = 0;
    CK_RV rv = kyr_block_size(sizeof(GetMechList_Args), room, sizeof(uint32_t), &len);
    if (rv != CKR_OK)
        return rv;
    uint8_t *blk = static_cast<uint8_t *>(kyr_block_alloc(len));
    if (!blk)
        return CKR_HOST_MEMORY;
    GetMechList_Args h;
    memset(&h, 0, sizeof h);
    h.slot_id = static_cast<uint32_t>(slot);
    h.list_length = static_cast<uint32_t>(room);
    h.length_only = list ? CK_FALSE : CK_TRUE;
    memcpy(blk, &h, sizeof h);
    rv = kyr_ioctl(slot, KYR_CMD_GET_MECH_LIST, blk);
    memcpy(&h, blk, sizeof h);
    if (rv == CKR_OK && list && h.list_length > room) {
        // More types than the room the library reserved: the card is wrong.
        rv = CKR_DEVICE_ERROR;
    } else if (rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL) {
        *count = h.list_length;
        if (rv == CKR_OK && list) {
            const uint8_t *p = blk + sizeof h;
            for (uint32_t i = 0; i < h.list_length; i++, p += sizeof(uint32_t)) {
                uint32_t t;
                memcpy(&t, p, sizeof t);
                list[i] = t;
            }
        }
    }
    kyr_block_free(blk, len);
    return rv;
}

CK_RV SC_GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info)
{
    if (!kyr_initialized())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!info)
        return CKR_ARGUMENTS_BAD;
    if (!kyr_fits32(type))
        return CKR_MECHANISM_INVALID;
    GetMechInfo_Args a;
    memset(&a, 0, sizeof a);
    a.slot_id = static_cast<uint32_t>(slot < KYR_MAX_SLOTS ? slot : 0);
    a.mech_type = static_cast<uint32_t>(type);
    CK_RV rv = kyr_ioctl(slot, KYR_CMD_GET_MECH_INFO, &a);
    if (rv == CKR_OK) {
        info->ulMinKeySize = a.mech_info.ulMinKeySize;
        info->ulMaxKeySize = a.mech_info.ulMaxKeySize;
        info->flags = a.mech_info.flags;
    }
    return rv;
}

CK_RV SC_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE_PTR session)
{
    if (!kyr_initialized())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!session)
        return CKR_FUNCTION_FAILED;
    if (!(flags & CKF_SERIAL_SESSION))
        return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    if (!kyr_fits32(flags))
        return CKR_ARGUMENTS_BAD;
    OpenSession_Args a;
    memset(&a, 0, sizeof a);
    a.slot_id = static_cast<uint32_t>(slot < KYR_MAX_SLOTS ? slot : 0);
    a.flags = static_cast<uint32_t>(flags);
    kyr_lock();
    CK_RV rv = kyr_ioctl_locked(slot, KYR_CMD_OPEN_SESSION, &a);
    kyr_unlock();
    if (rv == CKR_OK && a.session_handle == 0)
        rv = CKR_DEVICE_ERROR;   // a handle no later call could name
    if (rv == CKR_OK)
        *session = a.session_handle;
    return rv;
}

CK_RV SC_CloseSession(ST_SESSION_T s)
{
    if (!kyr_initialized())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!kyr_session_ok(s.sessionh))
        return CKR_SESSION_HANDLE_INVALID;
    CloseSession_Args a;
    a.session_handle = static_cast<uint32_t>(s.sessionh);
    return kyr_ioctl(s.slotID, KYR_CMD_CLOSE_SESSION, &a);
}

CK_RV SC_CloseAllSessions(CK_SLOT_ID slot)
{
    if (!kyr_initialized())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    kyr_lock();
    CK_RV rv = kyr_ioctl_locked(slot, KYR_CMD_CLOSE_ALL_SESSIONS, nullptr);
    // No session is left to be logged in.
    if (rv == CKR_OK)
        kyr_set_login_state_locked(slot, CKS_RO_PUBLIC_SESSION);
    kyr_unlock();
    return rv;
}

CK_RV SC_GetSessionInfo(ST_SESSION_T s, CK_SESSION_INFO_PTR info)
{
    if (!kyr_initialized())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (s.slotID >= KYR_MAX_SLOTS)
        return CKR_SLOT_ID_INVALID;
    if (!info)
        return CKR_FUNCTION_FAILED;
    info->slotID = s.slotID;
    info->state = kyr_login_state(s.slotID);
    info->flags = CKF_SERIAL_SESSION;
    info->ulDeviceError = 0;
    return CKR_OK;
}

CK_RV SC_Login(ST_SESSION_T s, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pin_len)
{
    if (!kyr_initialized())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!pin || pin_len > KYR_PIN_ROOM)
        return CKR_PIN_INCORRECT;
    if (!kyr_session_ok(s.sessionh))
        return CKR_SESSION_HANDLE_INVALID;
    if (!kyr_fits32(user))
        return CKR_USER_TYPE_INVALID;
    Login_Args *a = static_cast<Login_Args *>(kyr_block_alloc(sizeof(Login_Args)));
    if (!a)
        return CKR_HOST_MEMORY;
    a->session_handle = static_cast<uint32_t>(s.sessionh);
    a->user_type = static_cast<uint32_t>(user);
    CK_RV rv = fill_login_pin(a, user, pin, pin_len);
    if (rv == CKR_OK) {
        // The lock spans the call and the state change, so a concurrent
        // Logout cannot leave a stale state behind.
        kyr_lock();
        rv = kyr_ioctl_locked(s.slotID, KYR_CMD_LOGIN, a);
        if (rv == CKR_OK)
            kyr_set_login_state_locked(s.slotID, CKS_RO_USER_FUNCTIONS);
        kyr_unlock();
    }
    kyr_block_free(a, sizeof *a);
    return rv;
}

CK_RV SC_Logout(ST_SESSION_T s)
{
    if (!kyr_initialized())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!kyr_session_ok(s.sessionh))
        return CKR_SESSION_HANDLE_INVALID;
    Logout_Args a;
    a.session_handle = static_cast<uint32_t>(s.sessionh);
    kyr_lock();
    CK_RV rv = kyr_ioctl_locked(s.slotID, KYR_CMD_LOGOUT, &a);
    if (rv == CKR_OK)
        kyr_set_login_state_locked(s.slotID, CKS_RO_PUBLIC_SESSION);
    kyr_unlock();
    return rv;
}

CK_RV SC_SetPIN(ST_SESSION_T s, CK_UTF8CHAR_PTR old_pin, CK_ULONG old_len, CK_UTF8CHAR_PTR new_pin,
                CK_ULONG new_len)
{
    if (!kyr_initialized())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!old_pin || !new_pin)
        return CKR_PIN_INVALID;
    if (!kyr_session_ok(s.sessionh))
        return CKR_SESSION_HANDLE_INVALID;
    if (old_len > KYR_PIN_ROOM || new_len > KYR_PIN_ROOM)
        return CKR_PIN_LEN_RANGE;
    SetPIN_Args *a = static_cast<SetPIN_Args *>(kyr_block_alloc(sizeof(SetPIN_Args)));
    if (!a)
        return CKR_HOST_MEMORY;
    a->session_handle = static_cast<uint32_t>(s.sessionh);
    memcpy(a->old_pin, old_pin, old_len);
    a->old_pin_len = static_cast<uint32_t>(old_len);
    memcpy(a->new_pin, new_pin, new_len);
    a->new_pin_len = static_cast<uint32_t>(new_len);
    CK_RV rv = kyr_ioctl(s.slotID, KYR_CMD_SET_PIN, a);
    kyr_block_free(a, sizeof *a);
    return rv;
}

}  // extern "C"
