/*
 * Entry points of the qel accelerator driver that qelctl calls, and the
 * device facts qelctl reads.  The qel driver itself is outside this module;
 * the test bed provides a stand-in (user space and kernel).
 *
 * Codes are 0 or a positive errno value.  No OS include here: this header
 * is used by the OS-independent core.
 */
#ifndef KYR_QEL_DDI_H
#define KYR_QEL_DDI_H

#include "qelctl_compat.h"
#include "qelctl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Chunk list entry of a chunked transfer. */
typedef struct kyr_sglist {
	void *page;             /* kernel address of the chunk */
	int length;             /* bytes in the chunk */
	uint64_t dma_addr;
} kyr_sglist_t;

#define KYR_DDI_STREAMING  0x40
#define KYR_DDI_CONSISTENT 0x10

/* Control DMA descriptor, one per device, owned by the driver. */
typedef struct kyr_ddi_handle {
	int type;
	int direction;
	void *pdev;
	size_t size;
	void *cpu_addr;
	uint64_t bus_addr;
	void *dip;
	int index;
	int n_pages;
	int n_dma_pages;
	kyr_sglist_t *sglist;
} kyr_ddi_handle_t;

/* Fault flag bits. */
#define QEL_FAULT_FAILED   0x1u   /* device failed */
#define QEL_FAULT_NOFDI    0x2u   /* refuses FDI commands */
#define QEL_FAULT_NOUPCALL 0x4u   /* not taking upcalls (hello skipped) */
/* Device flag refusing security commands. */
#define QEL_DEV_NOSECCMD   0x4000u
/* Register holding the firmware version word. */
#define QEL_REG_FWVER      0x100C

/* What a held device exposes to qelctl.  The driver's private state follows
 * in its own structure. */
typedef struct qel_dev {
	volatile uint32_t fault_flags;
	volatile uint32_t dev_flags;
	ddi_acc_handle_t reg_handle;  /* for ddi_get32 */
	uint8_t *regs;                /* register window */
	kyr_ddi_handle_t ctl_dma;     /* control DMA descriptor */
	int instance;
	void *priv;
} qel_dev_t;

int qel_hold_ctl(int instance, qel_dev_t **devp);
void qel_rele_ctl(qel_dev_t *dev);
int qel_getcsr(qel_dev_t *dev, int offset, int width, uint64_t *val);
int qel_putcsr(qel_dev_t *dev, int offset, int width, uint64_t val);
int qel_getpci(qel_dev_t *dev, int offset, int width, uint64_t *val);
int qel_putpci(qel_dev_t *dev, int offset, int width, uint64_t val);
int qel_safereset(qel_dev_t *dev);
int qel_diagnostics(qel_dev_t *dev);
int qel_zeroize(qel_dev_t *dev);
int qel_chgstate_offline(qel_dev_t *dev);
int qel_chgstate_diag(qel_dev_t *dev);
int qel_chgstate_online(qel_dev_t *dev);
void qel_failure(qel_dev_t *dev, int code, const char *text);
int qel_provider_in_use(qel_dev_t *dev);
int qel_presuspend(qel_dev_t *dev, int flag);
int qel_postresume(qel_dev_t *dev, int flag);
int qel_get_devinfo(qel_dev_t *dev, int *state, int *status);
int qel_get_verinfo(qel_dev_t *dev, uint32_t *hw, uint32_t *fw, uint32_t *boot);
int qel_probe(int *instances, int *count);
/* Blob: u32 (unread), u32 modulus length, u32 exponent length, modulus,
 * exponent.  Freed by the caller with kmem_free(blob, len). */
int qel_getpubkey(qel_dev_t *dev, void **blob, size_t *len);
int qel_fdi_req(qel_dev_t *dev, fdi_request_t *req);
int qel_fdi_dl(qel_dev_t *dev, void *buf, size_t size);
int qel_fwupdate(qel_dev_t *dev, int select, void *buf, size_t size);
int qel_seccmd(qel_dev_t *dev, void *buf, size_t buflen, uint32_t *size, uint32_t flags);
int qel_seccmd_disconnect(qel_dev_t *dev, int domain, int caller);
int qel_get_domain(void);
void qel_update_idc_hdr(void *buf, int caller, int domain);

/* Upcall service.  A caller is the qelctl per-open index (mc_minor). */
int qel_upcall_attach(int caller);
void qel_upcall_detach(int caller);
/* Blocks until an upcall for the caller arrives; the message stays valid
 * until qel_upcall_release.  Returns EINTR when interrupted. */
int qel_upcall_service(int caller, void **msg, size_t *len);
void qel_upcall_release(int caller);
/* Registers the caller for the keystore named in the parameter block
 * (params points at the ksname field of a hello message). */
int qel_upcall_dbm_register(int caller, const void *params, size_t len);
int qel_get_next_instance(int *instance);
qel_dev_t *qel_hold_instance(int instance);
void qel_rele_instance(qel_dev_t *dev);
/* Hands a message (16-byte IDC header + message) to the device's firmware
 * and returns its reply (a message without IDC header), valid until
 * qel_dbm_freereq(token). */
int qel_dbm_response(qel_dev_t *dev, void *buf, size_t len, int caller,
    void **reply, size_t *replylen, void **token);
void qel_dbm_freereq(void *token);

/* Slot table of per-open records. */
typedef struct qel_table qel_table_t;
int qel_table_init(qel_table_t **tablep, size_t slotsize);
int qel_table_alloc_slot(qel_table_t *table, int *index);
void *qel_table_lookup(qel_table_t *table, int index);
void qel_table_free_slot(qel_table_t *table, int index);
void qel_table_destroy(qel_table_t *table);

#ifdef __cplusplus
}
#endif

#endif /* KYR_QEL_DDI_H */
