/*
 * Token device /dev/kyrf: command numbers and argument blocks.
 *
 * Shared by the token library, kyr_slot and the test bed's token, and the
 * same for 32-bit and 64-bit callers: every field has a fixed width, words
 * are 32 bits in host byte order, CK_BBOOL is one byte and CK_VERSION two.
 * A block is a fixed header followed by variable parts packed without
 * padding.  The ioctl's result is the PKCS#11 return code of the call.
 */
#ifndef KYR_BLOCKS_H
#define KYR_BLOCKS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define KYR_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define KYR_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

#define KYR_DEVICE "/dev/kyrf"
#define KYR_MAX_SLOTS 32          /* slots 0..31 */
#define KYR_PIN_ROOM 128          /* bytes of a PIN field */

/* Command numbers, in the order of the PKCS#11 function list. */
#define KYR_CMD_SLOT_LIST           0x4124
#define KYR_CMD_GET_TOKEN_INFO      0x4126
#define KYR_CMD_GET_MECH_LIST       0x4128
#define KYR_CMD_GET_MECH_INFO       0x4129
#define KYR_CMD_SET_PIN             0x412C
#define KYR_CMD_OPEN_SESSION        0x412D
#define KYR_CMD_CLOSE_SESSION       0x412E
#define KYR_CMD_CLOSE_ALL_SESSIONS  0x412F
#define KYR_CMD_LOGIN               0x4133
#define KYR_CMD_LOGOUT              0x4134
#define KYR_CMD_CREATE_OBJECT       0x4135
#define KYR_CMD_COPY_OBJECT         0x4136
#define KYR_CMD_DESTROY_OBJECT      0x4137
#define KYR_CMD_GET_OBJECT_SIZE     0x4138
#define KYR_CMD_GET_ATTRIBUTE_VALUE 0x4139
#define KYR_CMD_SET_ATTRIBUTE_VALUE 0x413A
#define KYR_CMD_FIND_OBJECTS_INIT   0x413B
#define KYR_CMD_FIND_OBJECTS        0x413C
#define KYR_CMD_FIND_OBJECTS_FINAL  0x413D
#define KYR_CMD_ENCRYPT_INIT        0x413E
#define KYR_CMD_ENCRYPT             0x413F
#define KYR_CMD_ENCRYPT_UPDATE      0x4140
#define KYR_CMD_ENCRYPT_FINAL       0x4141
#define KYR_CMD_DECRYPT_INIT        0x4142
#define KYR_CMD_DECRYPT             0x4143
#define KYR_CMD_DECRYPT_UPDATE      0x4144
#define KYR_CMD_DECRYPT_FINAL       0x4145
#define KYR_CMD_DIGEST_INIT         0x4146
#define KYR_CMD_DIGEST              0x4147
#define KYR_CMD_DIGEST_UPDATE       0x4148
#define KYR_CMD_DIGEST_KEY          0x4149
#define KYR_CMD_DIGEST_FINAL        0x414A
#define KYR_CMD_SIGN_INIT           0x414B
#define KYR_CMD_SIGN                0x414C
#define KYR_CMD_SIGN_UPDATE         0x414D
#define KYR_CMD_SIGN_FINAL          0x414E
#define KYR_CMD_SIGN_RECOVER_INIT   0x414F
#define KYR_CMD_SIGN_RECOVER        0x4150
#define KYR_CMD_VERIFY_INIT         0x4151
#define KYR_CMD_VERIFY              0x4152
#define KYR_CMD_VERIFY_UPDATE       0x4153
#define KYR_CMD_VERIFY_RECOVER_INIT 0x4155
#define KYR_CMD_VERIFY_RECOVER      0x4156
#define KYR_CMD_GENERATE_KEY        0x415B
#define KYR_CMD_GENERATE_KEY_PAIR   0x415C
#define KYR_CMD_WRAP_KEY            0x415D
#define KYR_CMD_UNWRAP_KEY          0x415E
#define KYR_CMD_DERIVE_KEY          0x415F
#define KYR_CMD_SEED_RANDOM         0x4160
#define KYR_CMD_GENERATE_RANDOM     0x4161
/* The verify-final block has a number of its own, outside the range of the
 * table above (0x4154 is not a command). */
#define KYR_CMD_VERIFY_FINAL        0x41A0

/* Largest block the library builds (header and variable parts). */
#define KYR_MAX_BLOCK (16u * 1024u * 1024u)

typedef struct CK_VERSION_32 {
	uint8_t major;
	uint8_t minor;
} CK_VERSION_32;

typedef struct CK_TOKEN_INFO_32 {
	uint8_t label[32];
	uint8_t manufacturerID[32];
	uint8_t model[16];
	uint8_t serialNumber[16];
	uint32_t flags;
	uint32_t ulMaxSessionCount;
	uint32_t ulSessionCount;
	uint32_t ulMaxRwSessionCount;
	uint32_t ulRwSessionCount;
	uint32_t ulMaxPinLen;
	uint32_t ulMinPinLen;
	uint32_t ulTotalPublicMemory;
	uint32_t ulFreePublicMemory;
	uint32_t ulTotalPrivateMemory;
	uint32_t ulFreePrivateMemory;
	CK_VERSION_32 hardwareVersion;
	CK_VERSION_32 firmwareVersion;
	uint8_t utcTime[16];
} CK_TOKEN_INFO_32;

typedef struct CK_MECHANISM_INFO_32 {
	uint32_t ulMinKeySize;
	uint32_t ulMaxKeySize;
	uint32_t flags;
} CK_MECHANISM_INFO_32;

typedef struct GetTokenInfo_Args {
	uint32_t slot_id;
	CK_TOKEN_INFO_32 token_info;
} GetTokenInfo_Args;

/* Followed by list_length mechanism types (32 bits each). */
typedef struct GetMechList_Args {
	uint32_t slot_id;
	uint32_t list_length;     /* in: room; out: count */
	uint8_t length_only;      /* CK_BBOOL */
	uint8_t pad[3];
} GetMechList_Args;

typedef struct GetMechInfo_Args {
	uint32_t slot_id;
	uint32_t mech_type;
	CK_MECHANISM_INFO_32 mech_info;
} GetMechInfo_Args;

typedef struct SetPIN_Args {
	uint32_t session_handle;
	uint8_t old_pin[KYR_PIN_ROOM];
	uint32_t old_pin_len;
	uint8_t new_pin[KYR_PIN_ROOM];
	uint32_t new_pin_len;
} SetPIN_Args;

typedef struct OpenSession_Args {
	uint32_t slot_id;
	uint32_t flags;
	uint32_t session_handle;  /* out */
} OpenSession_Args;

typedef struct CloseSession_Args {
	uint32_t session_handle;
} CloseSession_Args, Logout_Args;

typedef struct Login_Args {
	uint32_t session_handle;
	uint32_t user_type;
	uint8_t pin[KYR_PIN_ROOM];
	uint32_t pin_len;
} Login_Args;

/* The slot list (command KYR_CMD_SLOT_LIST): the header of GetMechList_Args
 * with room for every slot number. */
typedef struct SlotList_Args {
	uint32_t unused;          /* not read by the token device; sent as 0 */
	uint32_t count;           /* in: room (32); out: number of slots */
	uint8_t length_only;      /* 0: the list is wanted */
	uint8_t pad[3];
	uint32_t slots[KYR_MAX_SLOTS];
} SlotList_Args;

KYR_STATIC_ASSERT(sizeof(CK_TOKEN_INFO_32) == 160, "CK_TOKEN_INFO_32 is 160 bytes");
KYR_STATIC_ASSERT(sizeof(GetTokenInfo_Args) == 164, "GetTokenInfo_Args is 164 bytes");
KYR_STATIC_ASSERT(sizeof(GetMechList_Args) == 12, "GetMechList_Args header is 12 bytes");
KYR_STATIC_ASSERT(sizeof(GetMechInfo_Args) == 20, "GetMechInfo_Args is 20 bytes");
KYR_STATIC_ASSERT(sizeof(SetPIN_Args) == 268, "SetPIN_Args is 268 bytes");
KYR_STATIC_ASSERT(sizeof(OpenSession_Args) == 12, "OpenSession_Args is 12 bytes");
KYR_STATIC_ASSERT(sizeof(CloseSession_Args) == 4, "CloseSession_Args is 4 bytes");
KYR_STATIC_ASSERT(sizeof(Login_Args) == 140, "Login_Args is 140 bytes");
KYR_STATIC_ASSERT(sizeof(SlotList_Args) == 140, "the slot-list block is 140 bytes");

/* ---- objects, keys and cryptographic operations ----
 * Each header below is followed by the variable parts named beside it. */

/* Init calls with a key (encrypt, decrypt, sign, sign-recover, verify,
 * verify-recover): + mechanism parameter. */
typedef struct EncryptInit_Args {
	uint32_t session_handle;
	uint32_t key;
	uint32_t mech_type;
	uint32_t param_len;
} EncryptInit_Args, SignInit_Args;

/* + mechanism parameter. */
typedef struct DigestInit_Args {
	uint32_t session_handle;
	uint32_t mech_type;
	uint32_t param_len;
} DigestInit_Args;

/* One part in, one part out: + input + room of out_data_len bytes. */
typedef struct Encrypt_Args {
	uint32_t session_handle;
	uint32_t in_data_len;
	uint32_t out_data_len;    /* in: room; out: produced length */
} Encrypt_Args, Digest_Args, EncryptUpdate_Args;

/* Updates (digest, sign, verify), the verify final, the random seed and
 * the random room: + data_len bytes. */
typedef struct DigestUpdate_Args {
	uint32_t session_handle;
	uint32_t data_len;
} DigestUpdate_Args, SignUpdate_Args, VerifyFinal_Args, SeedRandom_Args, GenerateRandom_Args;

/* + data + signature. */
typedef struct Verify_Args {
	uint32_t session_handle;
	uint32_t data_len;
	uint32_t signature_len;
} Verify_Args;

/* Finals with output: + room of out_len bytes. */
typedef struct EncryptFinal_Args {
	uint32_t session_handle;
	uint32_t out_len;         /* in: room; out: produced length */
} EncryptFinal_Args;

typedef struct DigestKey_Args {
	uint32_t session_handle;
	uint32_t key;
} DigestKey_Args, DestroyObject_Args;

/* Create, copy, get and set: + attribute block. */
typedef struct CommonObject_Args {
	uint32_t session_handle;
	uint32_t object_handle;   /* in and/or out */
	uint32_t attribute_count;
	uint32_t attribute_block_len;
} CommonObject_Args;

typedef struct GetObjectSize_Args {
	uint32_t session_handle;
	uint32_t object_handle;
	uint32_t size;            /* out */
} GetObjectSize_Args;

/* + attribute block. */
typedef struct FindObjectsInit_Args {
	uint32_t session_handle;
	uint32_t attribute_count;
	uint32_t attribute_block_len;
} FindObjectsInit_Args;

/* + room of max_count handles (32 bits each). */
typedef struct FindObjects_Args {
	uint32_t session_handle;
	uint32_t max_count;
	uint32_t count;           /* out */
} FindObjects_Args;

typedef struct FindObjectsFinal_Args {
	uint32_t session_handle;
} FindObjectsFinal_Args;

/* + parameter + attribute block. */
typedef struct GenerateKey_Args {
	uint32_t session_handle;
	uint32_t object_handle;   /* out */
	uint32_t mech_type;
	uint32_t mech_param_len;
	uint32_t attribute_count;
	uint32_t attribute_block_len;
} GenerateKey_Args;

/* + parameter + public attribute block + private attribute block. */
typedef struct GenKeyPair_Args {
	uint32_t session_handle;
	uint32_t pub_object_handle;   /* out */
	uint32_t pri_object_handle;   /* out */
	uint32_t mech_type;
	uint32_t mech_param_len;
	uint32_t publ_key_attr_count;
	uint32_t publ_key_tmpl_len;
	uint32_t priv_key_attr_count;
	uint32_t priv_key_tmpl_len;
} GenKeyPair_Args;

/* + parameter + room of wrapped_key_len bytes. */
typedef struct WrapKey_Args {
	uint32_t session_handle;
	uint32_t mech_type;
	uint32_t mech_param_len;
	uint32_t wrapping_key;
	uint32_t key;
	uint32_t wrapped_key_len; /* in: room; out: produced length */
} WrapKey_Args;

/* + parameter + wrapped key + attribute block. */
typedef struct UnWrapKey_Args {
	uint32_t session_handle;
	uint32_t object_handle;   /* out */
	uint32_t mech_type;
	uint32_t mech_param_len;
	uint32_t unwrapping_key;
	uint32_t wrapped_key_len;
	uint32_t attribute_count;
	uint32_t attribute_block_len;
} UnWrapKey_Args;

/* + parameter block + attribute block. */
typedef struct DeriveKey_Args {
	uint32_t session_handle;
	uint32_t object_handle;   /* out */
	uint32_t mech_type;
	uint32_t mech_param_len;
	uint32_t base_key;
	uint32_t attribute_count;
	uint32_t attribute_block_len;
} DeriveKey_Args;

/* Derivation parameter blocks of the SSL3 mechanisms: + client random +
 * server random. */
typedef struct SSL3_MASTER_KEY_DERIVE_PARAMS_32 {
	CK_VERSION_32 version;    /* always 3.0 */
	uint8_t pad[2];
	uint32_t client_data_len;
	uint32_t server_data_len;
} SSL3_MASTER_KEY_DERIVE_PARAMS_32;

typedef struct SSL3_KEY_MAT_PARAMS_32 {
	uint32_t mac_size_bits;
	uint32_t key_size_bits;
	uint32_t iv_size_bits;
	uint8_t export_;          /* CK_BBOOL */
	uint8_t pad[3];
	uint32_t client_data_len;
	uint32_t server_data_len;
} SSL3_KEY_MAT_PARAMS_32;

/* An entry of an attribute block: + len value bytes.  A length of
 * KYR_UNAVAILABLE in an answer means "no value". */
typedef struct KYR_ATTR_32 {
	uint32_t type;
	uint32_t len;
} KYR_ATTR_32;
#define KYR_UNAVAILABLE 0xFFFFFFFFu

/* Attributes whose value is one CK_ULONG: 4 bytes on the card whatever the
 * caller's width. */
static inline int kyr_attr_is_ulong(uint32_t type)
{
	switch (type) {
	case 0x000: /* CKA_CLASS */
	case 0x080: /* CKA_CERTIFICATE_TYPE */
	case 0x087: /* CKA_CERTIFICATE_CATEGORY */
	case 0x088: /* CKA_JAVA_MIDP_SECURITY_DOMAIN */
	case 0x08C: /* CKA_NAME_HASH_ALGORITHM */
	case 0x100: /* CKA_KEY_TYPE */
	case 0x121: /* CKA_MODULUS_BITS */
	case 0x133: /* CKA_PRIME_BITS */
	case 0x134: /* CKA_SUBPRIME_BITS */
	case 0x160: /* CKA_VALUE_BITS */
	case 0x161: /* CKA_VALUE_LEN */
	case 0x166: /* CKA_KEY_GEN_MECHANISM */
	case 0x201: /* CKA_AUTH_PIN_FLAGS */
	case 0x220: /* CKA_OTP_FORMAT */
	case 0x221: /* CKA_OTP_LENGTH */
	case 0x222: /* CKA_OTP_TIME_INTERVAL */
	case 0x224: /* CKA_OTP_CHALLENGE_REQUIREMENT */
	case 0x225: /* CKA_OTP_TIME_REQUIREMENT */
	case 0x226: /* CKA_OTP_COUNTER_REQUIREMENT */
	case 0x227: /* CKA_OTP_PIN_REQUIREMENT */
	case 0x300: /* CKA_HW_FEATURE_TYPE */
	case 0x400: case 0x401: case 0x402: case 0x403: case 0x404: case 0x405:
	case 0x406: case 0x407: /* the display attributes */
	case 0x500: /* CKA_MECHANISM_TYPE */
		return 1;
	default:
		return 0;
	}
}

/* Attributes whose value is an array of CK_ULONG (CKA_ALLOWED_MECHANISMS):
 * each element one 32-bit word on the card. */
static inline int kyr_attr_is_ulong_array(uint32_t type)
{
	return type == 0x40000600u;
}

/* Attributes whose value is an array of attributes (CKA_WRAP_TEMPLATE,
 * CKA_UNWRAP_TEMPLATE, CKA_DERIVE_TEMPLATE and any other standard array
 * attribute but the CK_ULONG arrays): it holds the caller's pointers, which
 * have no form on the card, and is refused. */
static inline int kyr_attr_is_nested(uint32_t type)
{
	return (type & 0x40000000u) && !(type & 0x80000000u) && !kyr_attr_is_ulong_array(type);
}

KYR_STATIC_ASSERT(sizeof(EncryptInit_Args) == 16, "EncryptInit_Args is 16 bytes");
KYR_STATIC_ASSERT(sizeof(DigestInit_Args) == 12, "DigestInit_Args is 12 bytes");
KYR_STATIC_ASSERT(sizeof(Encrypt_Args) == 12, "Encrypt_Args is 12 bytes");
KYR_STATIC_ASSERT(sizeof(DigestUpdate_Args) == 8, "DigestUpdate_Args is 8 bytes");
KYR_STATIC_ASSERT(sizeof(Verify_Args) == 12, "Verify_Args is 12 bytes");
KYR_STATIC_ASSERT(sizeof(EncryptFinal_Args) == 8, "EncryptFinal_Args is 8 bytes");
KYR_STATIC_ASSERT(sizeof(DigestKey_Args) == 8, "DigestKey_Args is 8 bytes");
KYR_STATIC_ASSERT(sizeof(CommonObject_Args) == 16, "CommonObject_Args is 16 bytes");
KYR_STATIC_ASSERT(sizeof(GetObjectSize_Args) == 12, "GetObjectSize_Args is 12 bytes");
KYR_STATIC_ASSERT(sizeof(FindObjectsInit_Args) == 12, "FindObjectsInit_Args is 12 bytes");
KYR_STATIC_ASSERT(sizeof(FindObjects_Args) == 12, "FindObjects_Args is 12 bytes");
KYR_STATIC_ASSERT(sizeof(FindObjectsFinal_Args) == 4, "FindObjectsFinal_Args is 4 bytes");
KYR_STATIC_ASSERT(sizeof(GenerateKey_Args) == 24, "GenerateKey_Args is 24 bytes");
KYR_STATIC_ASSERT(sizeof(GenKeyPair_Args) == 36, "GenKeyPair_Args is 36 bytes");
KYR_STATIC_ASSERT(sizeof(WrapKey_Args) == 24, "WrapKey_Args is 24 bytes");
KYR_STATIC_ASSERT(sizeof(UnWrapKey_Args) == 32, "UnWrapKey_Args is 32 bytes");
KYR_STATIC_ASSERT(sizeof(DeriveKey_Args) == 28, "DeriveKey_Args is 28 bytes");
KYR_STATIC_ASSERT(sizeof(SSL3_MASTER_KEY_DERIVE_PARAMS_32) == 12, "SSL3 master block is 12 bytes");
KYR_STATIC_ASSERT(sizeof(SSL3_KEY_MAT_PARAMS_32) == 24, "SSL3 key block is 24 bytes");

#ifdef __cplusplus
}
#endif

#endif /* KYR_BLOCKS_H */
