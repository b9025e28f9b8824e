/*
 * Firmware face of the stand-in qel kernel module: the character device
 * "qelfw" through which a test program inside the virtual machine plays
 * the card's firmware.  It posts upcalls to the keystore threads of the
 * daemon, takes what the daemon submits (responses and pushes; hellos are
 * accepted by the module itself) and answers it, sets card facts and reads
 * what the card saw.
 *
 * Shared by the module and the in-machine test programs; every structure
 * has the same layout in both (x86-64 only, fixed-width fields).
 */
#ifndef KYR_QELFW_H
#define KYR_QELFW_H

#ifdef __KERNEL__
#include <linux/types.h>
#include <linux/ioctl.h>
#else
#include <stdint.h>
#include <sys/ioctl.h>
#endif

#define QELFW_DEVNAME "qelfw"

/* Card instances the module makes present at load. */
#define QELFW_CARDS 2

/* Public key of every card: a 128-byte modulus whose byte i is
 * QELFW_MOD_BYTE(i) and the exponent 01 00 01.  Test programs rebuild it
 * to check the fingerprint. */
#define QELFW_MOD_LEN 128
#define QELFW_MOD_BYTE(i) ((uint8_t)(0xc3u + 29u * (unsigned)(i)))

/* Post an upcall (network order) to the caller registered under ksname. */
struct qelfw_post {
	char ksname[64];
	uint64_t msg;            /* user address */
	uint32_t len;
	uint32_t pad;
};

/* Wait until a caller is registered under ksname (QELFW_WAIT_REG), or
 * until any caller blocks in the upcall service (QELFW_WAIT_WAITING;
 * ksname unused).  Out: caller. */
struct qelfw_wait {
	char ksname[64];
	int32_t timeout_ms;
	int32_t caller;
};

/* Take the oldest submission: blocks up to timeout_ms.  In: buf, cap
 * (bytes at buf).  Out: id (answer with it), len (the message's length;
 * only min(len, cap) bytes are copied), instance and caller.  ETIME when
 * nothing came. */
struct qelfw_next {
	uint64_t buf;
	uint32_t cap;
	uint32_t len;
	uint32_t id;
	int32_t instance;
	int32_t caller;
	int32_t timeout_ms;
};

/* Answer submission id: code 0 with the reply at buf (len bytes, network
 * order), or a non-zero code that the daemon's submission fails with. */
struct qelfw_answer {
	uint32_t id;
	int32_t code;
	uint64_t buf;
	uint32_t len;
	uint32_t pad;
};

/* Card facts (QELFW_SET_CARD) and what the card saw (QELFW_GET_CARD). */
struct qelfw_card {
	int32_t instance;
	uint32_t fault_flags;    /* set and get */
	uint32_t dev_flags;      /* set and get */
	uint32_t pad;
	/* get only */
	int64_t n_reset;
	int64_t n_diag;
	int64_t n_fw;
	int64_t holds;           /* outstanding device holds */
	uint64_t fw_size;        /* last firmware update */
	int32_t fw_select;
	int32_t fw_single_block;
	int32_t fw_chunks;
	int32_t fw_last_chunk;
	int32_t fw_layout_ok;
	int32_t fw_addr_ok;
	uint8_t fw_sha256[32];
};

/* Scripted security-command reply of a card (len 0: echo the request). */
struct qelfw_sec_reply {
	int32_t instance;
	uint32_t len;
	uint64_t buf;
};

#define QELFW_MAGIC 'Q'
#define QELFW_POST        _IOW(QELFW_MAGIC, 1, struct qelfw_post)
#define QELFW_WAIT_REG    _IOWR(QELFW_MAGIC, 2, struct qelfw_wait)
#define QELFW_WAIT_WAITING _IOWR(QELFW_MAGIC, 3, struct qelfw_wait)
#define QELFW_CAPTURE     _IO(QELFW_MAGIC, 4)   /* arg: 1 on, 0 off */
#define QELFW_NEXT        _IOWR(QELFW_MAGIC, 5, struct qelfw_next)
#define QELFW_ANSWER      _IOW(QELFW_MAGIC, 6, struct qelfw_answer)
#define QELFW_SET_CARD    _IOW(QELFW_MAGIC, 7, struct qelfw_card)
#define QELFW_GET_CARD    _IOWR(QELFW_MAGIC, 8, struct qelfw_card)
#define QELFW_SEC_REPLY   _IOW(QELFW_MAGIC, 9, struct qelfw_sec_reply)

#endif /* KYR_QELFW_H */
