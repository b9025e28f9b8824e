/*
 * Upcall message wire format shared by the keystore daemon, the card test
 * bed and its firmware model.  Plain C so that it can be included from C,
 * C++ and kernel code alike.
 *
 * A message is a 28-byte header of seven 32-bit words followed by a body
 * whose layout depends on the type.  On the wire every numeric field is
 * big-endian; the daemon converts in place around each submission.
 */
#ifndef KYR_DBM_MSG_H
#define KYR_DBM_MSG_H

#ifdef __KERNEL__
#include <linux/types.h>
typedef s32 dbm_s32;
typedef u32 dbm_u32;
#else
#include <stdint.h>
typedef int32_t dbm_s32;
typedef uint32_t dbm_u32;
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef dbm_u32 dbm_op_t;
typedef dbm_u32 dbm_handle_t;
typedef dbm_u32 dbm_ldom_t;
typedef dbm_s32 dbm_errno_t;
typedef dbm_u32 dbm_flags_t;
typedef dbm_s32 dbm_size_t;

typedef struct dbm_header {
	dbm_op_t type;
	dbm_handle_t handle;
	dbm_ldom_t ldom;
	dbm_errno_t status;
	dbm_flags_t flags;
	dbm_size_t extent;
	dbm_size_t paramSize;
} dbm_header_t;

/* Message types. */
enum {
	DB_STANDBY = 1,
	DB_USER_READ = 2,
	DB_USER_WRITE = 3,
	DB_USER_DEL = 4,
	DB_OBJECT_READ = 5,
	DB_OBJECT_WRITE = 6,
	DB_OBJECT_DEL = 7,
	DB_FILE_READ = 8,
	DB_FILE_WRITE = 9,
	DB_HELLO = 10,
	DB_FILE_PUSH = 11,
	DB_USER_PUSH = 12,
	DB_OBJECT_PUSH = 13,
	DB_RESPONSE = 14,
	DB_HANDSHAKE = 15,
	DB_STATUS = 16,
	DB_PROVIDER_REGISTER = 17,
	DB_PROVIDER_UNREGISTER = 18,
	DB_INIT = 19,
	DB_GOODBYE = 20,
	DB_READ = 21,
	DB_DELETE = 22,
	DB_CHECK = 23,
	DB_JOIN = 24,
	DB_ARCHIVE = 25,
	DB_UNARCHIVE = 26,
	DB_RENAME = 27,
	DB_CONFIG_READ = 28,
	DB_CONFIG_WRITE = 29,
	DB_CONFIG_PUSH = 30,
	DB_LOG_READ = 31,
	DB_LOG_WRITE = 32,
	DB_LOG_PUSH = 33,
	DB_FILE_DEL = 34
};

/* Keystore types. */
typedef dbm_u32 dbm_kstype_t;
enum {
	DBM_KS_LOCAL = 0,
	DBM_KS_LDAP = 1,
	DBM_KS_DEVICE = 2
};

/* Header flags. */
#define DBM_FLAG_MORE          0x1u
#define DBM_FLAG_APPEND        0x8u
#define DBM_FLAG_NO_OVERWRITE  0x10u
#define DBM_FLAG_KEY_SET       0x20u
#define DBM_FLAG_OLD_LOG       0x800u

/* Sizes. */
#define DBM_HDR_SIZE      28
#define DBM_MAX_MSG       61423
#define DBM_PARAM_SIZE    412
#define DBM_FILE_CHUNK    61327           /* DBM_MAX_MSG - DBM_FILE_DATA_OFF */
#define DBM_UPCALL_BUFSZ  61440           /* whole per-thread upcall buffer */
#define DBM_MSG_AREA      61424           /* room for the message in it */

/* Keystore parameter block offsets (from the start of the message). */
#define DBM_KSNAME_OFF    28
#define DBM_KSNAME_LEN    64
#define DBM_DOMAIN_OFF    92
#define DBM_DOMAIN_LEN    256
#define DBM_NUSERS_OFF    92
#define DBM_USERS_OFF     96
#define DBM_OWNER_OFF     92
#define DBM_OWNER_LEN     20
#define DBM_NOBJS_OFF     112
#define DBM_OBJS_OFF      116
#define DBM_FILESIZE_OFF  92
#define DBM_FILE_DATA_OFF 96
#define DBM_KSTYPE_OFF    348
#define DBM_NEWNAME_OFF   348
#define DBM_NEWNAME_LEN   64
#define DBM_HANDSHAKE0_OFF 28
#define DBM_HANDSHAKE1_OFF 32

/* Record heads. */
#define DBM_USER_ID_LEN   20
#define DBM_USER_HEAD     24               /* ID + int32 length */
#define DBM_OBJ_ID_LEN    8
#define DBM_OBJ_HEAD      12               /* ID + int32 length */
#define DBM_LOG_KEY_LEN   32
#define DBM_OBJ_KEY_LEN   28               /* owner + object ID */

/* Largest record data that one push can carry. */
#define DBM_MAX_USER_DATA (DBM_MAX_MSG - DBM_USERS_OFF - DBM_USER_HEAD)  /* 61303 */
#define DBM_MAX_OBJ_DATA  (DBM_MAX_MSG - DBM_OBJS_OFF - DBM_OBJ_HEAD)    /* 61295 */

/* Firmware status meaning "hello deferred: some devices skipped". */
#define DBM_HELLO_DEFERRED 73

#ifdef __cplusplus
}
#endif

#endif /* KYR_DBM_MSG_H */
