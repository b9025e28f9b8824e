/*
 * libpkcs11_kyr: the token-side entry points as the framework sees them.
 *
 * The framework loads the library, looks up SC_Initialize, SC_Finalize and
 * SC_CloseAllSessions by name, calls SC_Initialize once per slot it serves
 * and then calls through the ST_FCN_LIST it received.  Calls that name a
 * session take the (slot, card session) pair by value where the standard
 * call takes a session handle.
 */
#ifndef KYR_API_H
#define KYR_API_H

#include <p11-kit/pkcs11.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The SSL3 derivation parameters of the PKCS#11 standard, as callers
 * pass them (the framework's header lacks them). */
typedef struct CK_SSL3_RANDOM_DATA {
	CK_BYTE_PTR pClientRandom;
	CK_ULONG ulClientRandomLen;
	CK_BYTE_PTR pServerRandom;
	CK_ULONG ulServerRandomLen;
} CK_SSL3_RANDOM_DATA;

typedef struct CK_SSL3_MASTER_KEY_DERIVE_PARAMS {
	CK_SSL3_RANDOM_DATA RandomInfo;
	CK_VERSION_PTR pVersion;
} CK_SSL3_MASTER_KEY_DERIVE_PARAMS;

typedef struct CK_SSL3_KEY_MAT_OUT {
	CK_OBJECT_HANDLE hClientMacSecret;
	CK_OBJECT_HANDLE hServerMacSecret;
	CK_OBJECT_HANDLE hClientKey;
	CK_OBJECT_HANDLE hServerKey;
	CK_BYTE_PTR pIVClient;
	CK_BYTE_PTR pIVServer;
} CK_SSL3_KEY_MAT_OUT;

typedef struct CK_SSL3_KEY_MAT_PARAMS {
	CK_ULONG ulMacSizeInBits;
	CK_ULONG ulKeySizeInBits;
	CK_ULONG ulIVSizeInBits;
	CK_BBOOL bIsExport;
	CK_SSL3_RANDOM_DATA RandomInfo;
	CK_SSL3_KEY_MAT_OUT *pReturnedKeyMaterial;
} CK_SSL3_KEY_MAT_PARAMS;

typedef struct ST_SESSION_T {
	CK_SLOT_ID slotID;
	CK_SESSION_HANDLE sessionh;
} ST_SESSION_T;

#define ST_FN(ret, name, args) ret (*name) args

/* The function list, in the order of the PKCS#11 function list. */
typedef struct ST_FCN_LIST {
	ST_FN(CK_RV, ST_GetTokenInfo, (CK_SLOT_ID, CK_TOKEN_INFO_PTR));
	ST_FN(CK_RV, ST_GetMechanismList, (CK_SLOT_ID, CK_MECHANISM_TYPE_PTR, CK_ULONG_PTR));
	ST_FN(CK_RV, ST_GetMechanismInfo, (CK_SLOT_ID, CK_MECHANISM_TYPE, CK_MECHANISM_INFO_PTR));
	ST_FN(CK_RV, ST_InitToken, (CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR));
	ST_FN(CK_RV, ST_InitPIN, (ST_SESSION_T, CK_UTF8CHAR_PTR, CK_ULONG));
	ST_FN(CK_RV, ST_SetPIN, (ST_SESSION_T, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG));
	ST_FN(CK_RV, ST_OpenSession, (CK_SLOT_ID, CK_FLAGS, CK_SESSION_HANDLE_PTR));
	ST_FN(CK_RV, ST_CloseSession, (ST_SESSION_T));
	ST_FN(CK_RV, ST_GetSessionInfo, (ST_SESSION_T, CK_SESSION_INFO_PTR));
	ST_FN(CK_RV, ST_GetOperationState, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG_PTR));
	ST_FN(CK_RV, ST_SetOperationState, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE,
	    CK_OBJECT_HANDLE));
	ST_FN(CK_RV, ST_Login, (ST_SESSION_T, CK_USER_TYPE, CK_UTF8CHAR_PTR, CK_ULONG));
	ST_FN(CK_RV, ST_Logout, (ST_SESSION_T));
	ST_FN(CK_RV, ST_CreateObject, (ST_SESSION_T, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR));
	ST_FN(CK_RV, ST_CopyObject, (ST_SESSION_T, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
	    CK_OBJECT_HANDLE_PTR));
	ST_FN(CK_RV, ST_DestroyObject, (ST_SESSION_T, CK_OBJECT_HANDLE));
	ST_FN(CK_RV, ST_GetObjectSize, (ST_SESSION_T, CK_OBJECT_HANDLE, CK_ULONG_PTR));
	ST_FN(CK_RV, ST_GetAttributeValue, (ST_SESSION_T, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG));
	ST_FN(CK_RV, ST_SetAttributeValue, (ST_SESSION_T, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG));
	ST_FN(CK_RV, ST_FindObjectsInit, (ST_SESSION_T, CK_ATTRIBUTE_PTR, CK_ULONG));
	ST_FN(CK_RV, ST_FindObjects, (ST_SESSION_T, CK_OBJECT_HANDLE_PTR, CK_ULONG, CK_ULONG_PTR));
	ST_FN(CK_RV, ST_FindObjectsFinal, (ST_SESSION_T));
	ST_FN(CK_RV, ST_EncryptInit, (ST_SESSION_T, CK_MECHANISM_PTR, CK_OBJECT_HANDLE));
	ST_FN(CK_RV, ST_Encrypt, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR));
	ST_FN(CK_RV, ST_EncryptUpdate, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR));
	ST_FN(CK_RV, ST_EncryptFinal, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG_PTR));
	ST_FN(CK_RV, ST_DecryptInit, (ST_SESSION_T, CK_MECHANISM_PTR, CK_OBJECT_HANDLE));
	ST_FN(CK_RV, ST_Decrypt, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR));
	ST_FN(CK_RV, ST_DecryptUpdate, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR));
	ST_FN(CK_RV, ST_DecryptFinal, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG_PTR));
	ST_FN(CK_RV, ST_DigestInit, (ST_SESSION_T, CK_MECHANISM_PTR));
	ST_FN(CK_RV, ST_Digest, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR));
	ST_FN(CK_RV, ST_DigestUpdate, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG));
	ST_FN(CK_RV, ST_DigestKey, (ST_SESSION_T, CK_OBJECT_HANDLE));
	ST_FN(CK_RV, ST_DigestFinal, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG_PTR));
	ST_FN(CK_RV, ST_SignInit, (ST_SESSION_T, CK_MECHANISM_PTR, CK_OBJECT_HANDLE));
	ST_FN(CK_RV, ST_Sign, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR));
	ST_FN(CK_RV, ST_SignUpdate, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG));
	ST_FN(CK_RV, ST_SignFinal, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG_PTR));
	ST_FN(CK_RV, ST_SignRecoverInit, (ST_SESSION_T, CK_MECHANISM_PTR, CK_OBJECT_HANDLE));
	ST_FN(CK_RV, ST_SignRecover, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR));
	ST_FN(CK_RV, ST_VerifyInit, (ST_SESSION_T, CK_MECHANISM_PTR, CK_OBJECT_HANDLE));
	ST_FN(CK_RV, ST_Verify, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG));
	ST_FN(CK_RV, ST_VerifyUpdate, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG));
	ST_FN(CK_RV, ST_VerifyFinal, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG));
	ST_FN(CK_RV, ST_VerifyRecoverInit, (ST_SESSION_T, CK_MECHANISM_PTR, CK_OBJECT_HANDLE));
	ST_FN(CK_RV, ST_VerifyRecover, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR));
	ST_FN(CK_RV, ST_DigestEncryptUpdate, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
	    CK_ULONG_PTR));
	ST_FN(CK_RV, ST_DecryptDigestUpdate, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
	    CK_ULONG_PTR));
	ST_FN(CK_RV, ST_SignEncryptUpdate, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
	    CK_ULONG_PTR));
	ST_FN(CK_RV, ST_DecryptVerifyUpdate, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
	    CK_ULONG_PTR));
	ST_FN(CK_RV, ST_GenerateKey, (ST_SESSION_T, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG,
	    CK_OBJECT_HANDLE_PTR));
	ST_FN(CK_RV, ST_GenerateKeyPair, (ST_SESSION_T, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG,
	    CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR, CK_OBJECT_HANDLE_PTR));
	ST_FN(CK_RV, ST_WrapKey, (ST_SESSION_T, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE,
	    CK_BYTE_PTR, CK_ULONG_PTR));
	ST_FN(CK_RV, ST_UnwrapKey, (ST_SESSION_T, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR,
	    CK_ULONG, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR));
	ST_FN(CK_RV, ST_DeriveKey, (ST_SESSION_T, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR,
	    CK_ULONG, CK_OBJECT_HANDLE_PTR));
	ST_FN(CK_RV, ST_SeedRandom, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG));
	ST_FN(CK_RV, ST_GenerateRandom, (ST_SESSION_T, CK_BYTE_PTR, CK_ULONG));
	ST_FN(CK_RV, ST_GetFunctionStatus, (ST_SESSION_T));
	ST_FN(CK_RV, ST_CancelFunction, (ST_SESSION_T));
} ST_FCN_LIST;

/* Looked up by name by the framework. */
typedef CK_RV (*SC_Initialize_fn)(void **function_list, CK_SLOT_ID slot, char *correlator);
typedef CK_RV (*SC_Finalize_fn)(CK_SLOT_ID slot);
typedef CK_RV (*SC_CloseAllSessions_fn)(CK_SLOT_ID slot);

void SC_SetFunctionList(void);
CK_RV SC_Initialize(void **function_list, CK_SLOT_ID slot, char *correlator);
CK_RV SC_Finalize(CK_SLOT_ID slot);
CK_RV SC_CloseAllSessions(CK_SLOT_ID slot);

CK_RV SC_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info);
CK_RV SC_GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count);
CK_RV SC_GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info);
CK_RV SC_InitToken(CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG pin_len, CK_UTF8CHAR_PTR label);
CK_RV SC_InitPIN(ST_SESSION_T s, CK_UTF8CHAR_PTR pin, CK_ULONG pin_len);
CK_RV SC_SetPIN(ST_SESSION_T s, CK_UTF8CHAR_PTR old_pin, CK_ULONG old_len, CK_UTF8CHAR_PTR new_pin,
    CK_ULONG new_len);
CK_RV SC_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE_PTR session);
CK_RV SC_CloseSession(ST_SESSION_T s);
CK_RV SC_GetSessionInfo(ST_SESSION_T s, CK_SESSION_INFO_PTR info);
CK_RV SC_GetOperationState(ST_SESSION_T s, CK_BYTE_PTR state, CK_ULONG_PTR state_len);
CK_RV SC_SetOperationState(ST_SESSION_T s, CK_BYTE_PTR state, CK_ULONG state_len,
    CK_OBJECT_HANDLE enc_key, CK_OBJECT_HANDLE auth_key);
CK_RV SC_Login(ST_SESSION_T s, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pin_len);
CK_RV SC_Logout(ST_SESSION_T s);

/* Objects, keys and cryptographic operations. */
CK_RV SC_CreateObject(ST_SESSION_T s, CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_OBJECT_HANDLE_PTR obj);
CK_RV SC_CopyObject(ST_SESSION_T s, CK_OBJECT_HANDLE src, CK_ATTRIBUTE_PTR t, CK_ULONG n,
    CK_OBJECT_HANDLE_PTR obj);
CK_RV SC_DestroyObject(ST_SESSION_T s, CK_OBJECT_HANDLE obj);
CK_RV SC_GetObjectSize(ST_SESSION_T s, CK_OBJECT_HANDLE obj, CK_ULONG_PTR size);
CK_RV SC_GetAttributeValue(ST_SESSION_T s, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR t, CK_ULONG n);
CK_RV SC_SetAttributeValue(ST_SESSION_T s, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR t, CK_ULONG n);
CK_RV SC_FindObjectsInit(ST_SESSION_T s, CK_ATTRIBUTE_PTR t, CK_ULONG n);
CK_RV SC_FindObjects(ST_SESSION_T s, CK_OBJECT_HANDLE_PTR objs, CK_ULONG max, CK_ULONG_PTR count);
CK_RV SC_FindObjectsFinal(ST_SESSION_T s);
#define KYR_DECL_INIT(name) CK_RV SC_##name(ST_SESSION_T s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE key);
#define KYR_DECL_ONE(name) \
	CK_RV SC_##name(ST_SESSION_T s, CK_BYTE_PTR in, CK_ULONG in_len, CK_BYTE_PTR out, CK_ULONG_PTR out_len);
#define KYR_DECL_FINAL(name) CK_RV SC_##name(ST_SESSION_T s, CK_BYTE_PTR out, CK_ULONG_PTR out_len);
#define KYR_DECL_DATA(name) CK_RV SC_##name(ST_SESSION_T s, CK_BYTE_PTR data, CK_ULONG len);
KYR_DECL_INIT(EncryptInit) KYR_DECL_INIT(DecryptInit) KYR_DECL_INIT(SignInit)
KYR_DECL_INIT(SignRecoverInit) KYR_DECL_INIT(VerifyInit) KYR_DECL_INIT(VerifyRecoverInit)
KYR_DECL_ONE(Encrypt) KYR_DECL_ONE(EncryptUpdate) KYR_DECL_ONE(Decrypt) KYR_DECL_ONE(DecryptUpdate)
KYR_DECL_ONE(Digest) KYR_DECL_ONE(Sign) KYR_DECL_ONE(SignRecover) KYR_DECL_ONE(VerifyRecover)
KYR_DECL_FINAL(EncryptFinal) KYR_DECL_FINAL(DecryptFinal) KYR_DECL_FINAL(DigestFinal)
KYR_DECL_FINAL(SignFinal)
KYR_DECL_DATA(DigestUpdate) KYR_DECL_DATA(SignUpdate) KYR_DECL_DATA(VerifyUpdate)
KYR_DECL_DATA(VerifyFinal) KYR_DECL_DATA(SeedRandom) KYR_DECL_DATA(GenerateRandom)
#undef KYR_DECL_INIT
#undef KYR_DECL_ONE
#undef KYR_DECL_FINAL
#undef KYR_DECL_DATA
CK_RV SC_DigestInit(ST_SESSION_T s, CK_MECHANISM_PTR m);
CK_RV SC_DigestKey(ST_SESSION_T s, CK_OBJECT_HANDLE key);
CK_RV SC_Verify(ST_SESSION_T s, CK_BYTE_PTR data, CK_ULONG data_len, CK_BYTE_PTR sig,
    CK_ULONG sig_len);
CK_RV SC_GenerateKey(ST_SESSION_T s, CK_MECHANISM_PTR m, CK_ATTRIBUTE_PTR t, CK_ULONG n,
    CK_OBJECT_HANDLE_PTR key);
CK_RV SC_GenerateKeyPair(ST_SESSION_T s, CK_MECHANISM_PTR m, CK_ATTRIBUTE_PTR pub, CK_ULONG npub,
    CK_ATTRIBUTE_PTR priv, CK_ULONG npriv, CK_OBJECT_HANDLE_PTR pubk, CK_OBJECT_HANDLE_PTR privk);
CK_RV SC_WrapKey(ST_SESSION_T s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE wrapping,
    CK_OBJECT_HANDLE key, CK_BYTE_PTR out, CK_ULONG_PTR out_len);
CK_RV SC_UnwrapKey(ST_SESSION_T s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE unwrapping,
    CK_BYTE_PTR wrapped, CK_ULONG wrapped_len, CK_ATTRIBUTE_PTR t, CK_ULONG n,
    CK_OBJECT_HANDLE_PTR key);
CK_RV SC_DeriveKey(ST_SESSION_T s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE base, CK_ATTRIBUTE_PTR t,
    CK_ULONG n, CK_OBJECT_HANDLE_PTR key);

#ifdef __cplusplus
}
#endif

#endif /* KYR_API_H */
