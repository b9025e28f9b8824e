/*
 * Control device /dev/qelctl: command numbers and argument structures.
 * Shared by the qelctl module, kyrkiod and kyrdiag.  Native layout of the
 * caller (the module has no 32-bit compatibility operation); sizes in the
 * comments are those of an x86-64 caller.
 */
#ifndef KYR_QELCTL_H
#define KYR_QELCTL_H

#ifdef __KERNEL__
#include <linux/types.h>
#define QELCTL_USER __user
#else
#include <stddef.h>
#include <stdint.h>
#define QELCTL_USER
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define QELCTL_DEVNAME  "qelctl"
#define QELCTL_DEVPATH  "/dev/qelctl"

/* Plain 16-bit command numbers, no direction or size bits. */
#define QELCTLBIND       0x4171
#define QELCTLUNBIND     0x4172
#define QELCTLGETCSR     0x4173
#define QELCTLPUTCSR     0x4174
#define QELCTLFWUPDATE   0x4175
#define QELCTLGETPCI     0x4176
#define QELCTLPUTPCI     0x4177
#define QELCTLRESET      0x4178
#define QELCTLDIAG       0x4179
#define QELCTLFAILURE    0x417A
#define QELCTLSECCMD     0x4180
#define QELCTLZEROIZE    0x4181
#define QELCTLGETPUBKEY  0x4182
#define QELCTLFDIREQ     0x4183
#define QELCTLFDIDL      0x4184
#define QELCTLCHECKDR    0x4185
#define QELCTLCHGSTATE   0x4186
#define QELCTLPROBE      0x4187
#define QELCTLGETINFO    0x4188
#define QELCTLUPCALL     0x4189
#define QELCTLRESUME     0x418A
#define QELCTLSUSPEND    0x418B
#define QELCTLGETVER     0x418C

#define QELCTL_MAX_DEVS  32

/* Register access (16 bytes). */
typedef struct qelctl_reg {
	int mr_offset;
	int mr_width;                 /* bits: 8, 16, 32 or 64 */
	union {
		uint8_t mr_val8;
		uint16_t mr_val16;
		uint32_t mr_val32;
		uint64_t mr_val64;
	} mr_val;
} qelctl_reg_t;

/* Image transfer (24 bytes): QELCTLFWUPDATE and QELCTLFDIDL. */
#define QELCTL_FW_FIRMWARE  0
#define QELCTL_FW_BOOTSTRAP 1
typedef struct qelctl_fwupdate {
	int mfu_select;
	size_t mfu_size;
	void QELCTL_USER *mfu_addr;
} qelctl_fwupdate_t;

/* Security command (24 bytes). */
typedef struct qelctl_seccmd {
	uint32_t msc_flags;
	uint32_t msc_actsize;         /* in: request length; out: reply length */
	uint32_t msc_blksize;         /* size of the caller's buffer */
	void QELCTL_USER *msc_buf;
} qelctl_seccmd_t;

/* Public key (32 bytes).  Non-zero incoming lengths are the capacities of
 * the caller's buffers; on return they hold the key part lengths. */
typedef struct qelctl_getpubkey {
	size_t mpk_modlen;
	size_t mpk_explen;
	void QELCTL_USER *mpk_modulus;
	void QELCTL_USER *mpk_exponent;
} qelctl_getpubkey_t;

/* Version words (12 bytes): major 31..24, minor 23..16, micro 15..0. */
typedef struct qelctl_getver {
	uint32_t hw;
	uint32_t fw;
	uint32_t boot;
} qelctl_getver_t;

#define QELCTL_VER_MAJOR(w) (((w) >> 24) & 0xffu)
#define QELCTL_VER_MINOR(w) (((w) >> 16) & 0xffu)
#define QELCTL_VER_MICRO(w) ((w) & 0xffffu)

/* Device enumeration (132 bytes). */
typedef struct qelctl_probe {
	int mpr_ndevs;
	int mpr_devinst[QELCTL_MAX_DEVS];
} qelctl_probe_t;

/* State and status (8 bytes). */
#define QELCTL_STATE_OFFLINE 0
#define QELCTL_STATE_DIAG    1
#define QELCTL_STATE_ONLINE  2
#define QELCTL_STATE_FAILED  3
#define QELCTL_STATUS_UNINIT 0
#define QELCTL_STATUS_INIT   1
#define QELCTL_STATUS_FIPS   2
typedef struct qelctl_getinfo {
	int mgi_state;
	int mgi_status;
} qelctl_getinfo_t;

/* FDI request (64 bytes). */
typedef struct fdi_request {
	uint32_t type;
	uint32_t arg1, arg2, arg3, arg4, arg5, arg6, arg7;
	char cmd[32];
} fdi_request_t;

/* Limits of the transfer commands. */
#define QELCTL_FW_MAX        0x400000u   /* 4 MiB firmware/bootstrap image */
#define QELCTL_SEC_MAX       0x400000u   /* security command buffer + header */
/* Largest FDI image: 64 MiB.  The image sits in kernel memory for the
 * length of the download (1024 chunks of 64 KiB); larger ones get E2BIG. */
#define QELCTL_FDI_MAX       0x4000000u
#define QELCTL_IDC_HDR       16          /* IDC header before a message */
#define QELCTL_CHUNK         65536       /* chunk of a chunked transfer */
#define QELCTL_BLOCK_MAX     0x100000u   /* largest single-block transfer */

#ifdef __cplusplus
}
#endif

#endif /* KYR_QELCTL_H */
