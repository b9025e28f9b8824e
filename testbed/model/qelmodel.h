/*
 * Stand-in for the qel accelerator driver: every qel_ entry point of
 * qel_ddi.h over a model of up to QELMODEL_MAX_CARDS card instances, plus
 * the functions with which tests and the simulator set up cards, script
 * answers and read what arrived.
 *
 * All model state sits behind one lock.  A test may change the fields of a
 * card (qelmodel_card) directly while no command runs; while commands run
 * in other threads, wrap the change in qelmodel_lock/qelmodel_unlock.
 * Plain C on qelmodel_os.h, so the same model also builds into a kernel.
 */
#ifndef KYR_QELMODEL_H
#define KYR_QELMODEL_H

#include "qel_ddi.h"
#include "qelmodel_os.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QELMODEL_MAX_CARDS 32
#define QELMODEL_REG_SIZE  0x2000   /* register window (CSR) bytes */
#define QELMODEL_PCI_SIZE  256      /* PCI configuration space bytes */
#define QELMODEL_KSNAME    64       /* ksname field of a parameter block */
#define QELMODEL_FW_V2     0x02000000u  /* first firmware with IDC header */

/* Entry points whose return code a test can script per card
 * (card->code[QM_EP_x]; 0 = normal behaviour). */
enum qelmodel_ep {
	QM_EP_HOLD_CTL, QM_EP_GETCSR, QM_EP_PUTCSR, QM_EP_GETPCI, QM_EP_PUTPCI,
	QM_EP_SAFERESET, QM_EP_DIAGNOSTICS, QM_EP_ZEROIZE,
	QM_EP_CHGSTATE_OFFLINE, QM_EP_CHGSTATE_DIAG, QM_EP_CHGSTATE_ONLINE,
	QM_EP_GET_DEVINFO, QM_EP_GET_VERINFO, QM_EP_GETPUBKEY,
	QM_EP_FDI_REQ, QM_EP_FDI_DL, QM_EP_FWUPDATE, QM_EP_SECCMD,
	QM_EP_HOLD_INSTANCE, QM_EP_DBM_RESPONSE,
	QM_EP_COUNT
};

/* One image or security-command transfer as the card saw it through the
 * control DMA descriptor. */
typedef struct qelmodel_xfer {
	int select;                  /* fwupdate: 0 firmware, 1 bootstrap; else -1 */
	size_t size;                 /* size argument of the entry point */
	size_t desc_size;            /* descriptor's total */
	int single_block;            /* 1: no chunk list */
	int n_chunks;                /* chunk list entries (0 for a block) */
	int last_chunk_len;          /* bytes in the last chunk */
	int addr_matches;            /* buf argument == descriptor's cpu_addr */
	int layout_ok;               /* chunks: all 65536 but the last, sum ok */
	uint8_t sha256[32];          /* digest of the size bytes that arrived */
} qelmodel_xfer_t;

typedef struct qelmodel_card {
	int present;
	qel_dev_t dev;               /* what qelctl reads: dev.fault_flags
	                              * (bits QEL_FAULT_*), dev.dev_flags
	                              * (QEL_DEV_NOSECCMD), dev.regs, dev.ctl_dma */
	uint8_t regs[QELMODEL_REG_SIZE]; /* little-endian; 0x100C fw version */
	uint8_t pci[QELMODEL_PCI_SIZE];
	int code[QM_EP_COUNT];       /* scripted failure codes */
	long calls[QM_EP_COUNT];     /* calls per entry point */
	int holds;                   /* outstanding hold_ctl + hold_instance */
	int state, status;           /* qel_get_devinfo */
	uint32_t hw_ver, fw_ver, boot_ver; /* qel_get_verinfo */
	int provider_in_use;         /* qel_provider_in_use answer */
	int presuspend_answer, postresume_answer;
	int failure_code;            /* last qel_failure */
	char failure_text[64];
	int state_changes;           /* successful qel_chgstate_* calls */
	uint8_t *pubkey;             /* blob set by qelmodel_set_pubkey */
	size_t pubkey_len;
	/* Transfers.  With clobber_desc set, the card wipes its control DMA
	 * descriptor (no list, no address, size 0) after each transfer, as a
	 * driver may; qelctl must free by its own copy. */
	int clobber_desc;
	qelmodel_xfer_t last_fw;     /* qel_fwupdate */
	long n_fw;
	/* With check_images set, qel_fwupdate refuses with EBADMSG (and
	 * counts in n_bad_images) an image that did not arrive whole through
	 * the descriptor at the address passed, or whose first 32 bytes are not
	 * the SHA-256 of the rest, as a card checking its images would. */
	int check_images;
	long n_bad_images;
	qelmodel_xfer_t last_fdi_dl; /* qel_fdi_dl */
	long n_fdi_dl;
	fdi_request_t last_fdi_req;  /* qel_fdi_req */
	long n_fdi_req;
	/* Security commands.  Default answer: the request echoed (reply length
	 * = request length).  With sec_reply set, the reply is those bytes
	 * (behind the IDC header when there is one); a reply that does not fit
	 * the buffer answers ENOSPC with the needed length. */
	qelmodel_xfer_t last_sec;
	long n_sec;
	int sec_hdr_present;         /* last request carried an IDC header */
	uint8_t sec_hdr[QELCTL_IDC_HDR];
	uint8_t *sec_req;            /* last request body (after the header) */
	size_t sec_req_len;
	uint32_t sec_flags;
	uint8_t *sec_reply;          /* set with qelmodel_set_sec_reply */
	size_t sec_reply_len;
	long n_disconnect;           /* qel_seccmd_disconnect */
	int last_disconnect_domain, last_disconnect_caller;
	/* Upcall responses through this card. */
	long n_dbm;
	int last_dbm_caller;
	uint32_t last_dbm_type;      /* host order */
} qelmodel_card_t;

/* Life of the model.  qelmodel_init creates the lock and clears every
 * card (none present) and caller; qelmodel_fini frees everything.
 * qelmodel_reset = fini + init. */
int qelmodel_init(void);
void qelmodel_fini(void);
int qelmodel_reset(void);
void qelmodel_lock(void);
void qelmodel_unlock(void);

/* Makes instance present with defaults: state online, status initialized,
 * versions hw 1.0.0, boot 1.0.0, fw 2.0.0 (also in register 0x100C), no
 * faults, no key.  EINVAL for an instance outside 0..31. */
int qelmodel_add_card(int instance);
void qelmodel_remove_card(int instance);
/* The card record (NULL for an instance outside 0..31). */
qelmodel_card_t *qelmodel_card(int instance);
/* Firmware version word at 0x100C (decides the security command's IDC
 * header) and the fw version of qel_get_verinfo together. */
void qelmodel_set_fwver(int instance, uint32_t word);
/* Copies blob (u32, u32 modulus length, u32 exponent length, modulus,
 * exponent) as the card's public key; len 0 removes it (qel_getpubkey then
 * fails with EIO).  ENOMEM, EINVAL. */
int qelmodel_set_pubkey(int instance, const void *blob, size_t len);
/* Scripted security-command reply (copied); len 0 with NULL restores the
 * echo. */
int qelmodel_set_sec_reply(int instance, const void *reply, size_t len);
/* qel_probe reports count (it may lie outside 0..32) in place of the
 * number of present cards while force is set; the instances it fills stay
 * the real ones.  qelmodel_init clears it. */
void qelmodel_force_probe_count(int force, int count);
/* The domain answered by qel_get_domain (default 1). */
void qelmodel_set_domain(int domain);

/* IDC header written by qel_update_idc_hdr: "QIDC", caller (big-endian
 * u32), domain (big-endian u32), 4 zero bytes.  Returns 1 when hdr is one,
 * and its caller and domain. */
#define QELMODEL_IDC_MAGIC "QIDC"
int qelmodel_idc_check(const void *hdr, int *caller, int *domain);

/* Event log of the entry points that pair up (for order and balance
 * checks): the last QELMODEL_EVENTS events, oldest first. */
enum qelmodel_event_kind {
	QM_EV_HOLD_CTL = 1, QM_EV_RELE_CTL, QM_EV_HOLD_INSTANCE,
	QM_EV_RELE_INSTANCE, QM_EV_UPCALL_ATTACH, QM_EV_UPCALL_DETACH,
	QM_EV_UPCALL_SERVICE, QM_EV_UPCALL_RELEASE, QM_EV_DBM_REGISTER,
	QM_EV_DBM_RESPONSE, QM_EV_DBM_FREEREQ, QM_EV_SECCMD,
	QM_EV_SECCMD_DISCONNECT
};
#define QELMODEL_EVENTS 256
typedef struct qelmodel_event {
	int kind;
	int instance;                /* -1 when not about a card */
	int caller;                  /* -1 when not about a caller */
} qelmodel_event_t;
/* Copies up to max events, oldest first; returns how many. */
int qelmodel_events(qelmodel_event_t *out, int max);
void qelmodel_clear_events(void);

/* Upcall service.
 *
 * A caller (the qelctl per-open index) attaches, registers under a
 * keystore name with a hello, and waits in qel_upcall_service.  The
 * firmware side posts upcalls with qelmodel_post_upcall; replies to what a
 * caller submits come from the firmware hook. */

/* Queues an upcall message (network order, len 1..1 MiB, copied) for the
 * attached caller registered under ksname (the latest registration wins;
 * "" is the control thread's).  ENOENT when there is none, EINVAL, ENOMEM. */
int qelmodel_post_upcall(const char *ksname, const void *msg, size_t len);
/* The same for a caller named directly.  ENOENT when not attached. */
int qelmodel_post_upcall_to(int caller, const void *msg, size_t len);
/* Caller registered under ksname (latest), or -1. */
int qelmodel_registered(const char *ksname);
/* Waits until a caller is registered under ksname (timeout_ms < 0: no
 * limit).  0 and *caller, or ETIME. */
int qelmodel_wait_registered(const char *ksname, long timeout_ms, int *caller);
/* 1 while caller is blocked in qel_upcall_service, else 0. */
int qelmodel_upcall_waiting(int caller);
/* Waits until caller is blocked in qel_upcall_service: 0 or ETIME. */
int qelmodel_wait_upcall_waiting(int caller, long timeout_ms);
/* Interrupts caller's wait in qel_upcall_service, which returns EINTR.  If
 * the caller is not waiting yet, its next wait returns EINTR at once (the
 * mark is cleared by that, or by a new attach).  ENOENT when not attached. */
int qelmodel_interrupt(int caller);
/* Messages delivered by qel_upcall_service so far. */
long qelmodel_upcalls_delivered(void);
/* Scripted codes of qel_upcall_attach and qel_upcall_dbm_register. */
void qelmodel_set_attach_code(int code);
void qelmodel_set_register_code(int code);

/* Firmware hook: receives what a caller submits through qel_dbm_response
 * (msg: the message without IDC header, network order) and answers with a
 * reply allocated with qelmodel_alloc (freed by the model), or a non-zero
 * code.  It runs without the model lock held and may block.  Without a
 * hook the default firmware accepts: a 412-byte DB_RESPONSE made of the
 * message's first 412 bytes (zero-padded) with type DB_RESPONSE, status 0
 * and paramSize 412. */
typedef int (*qelmodel_fw_fn)(void *ctx, int instance, int caller,
    const void *msg, size_t len, void **reply, size_t *replylen);
void qelmodel_set_firmware(qelmodel_fw_fn fn, void *ctx);
void *qelmodel_alloc(size_t size);   /* zero-filled */
void qelmodel_free(void *p, size_t size);

/* SHA-256 of data (the digest the transfer records carry). */
void qelmodel_sha256(const void *data, size_t len, uint8_t out[32]);

#ifdef __cplusplus
}
#endif

#endif /* KYR_QELMODEL_H */
