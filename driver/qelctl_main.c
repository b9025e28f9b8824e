/*
 * qelctl: the control device's OS-independent core.
 *
 * Every command is relayed to the qel driver: the argument is copied in
 * from the caller, checked, the driver is called, and the result is copied
 * back.  The core is written against qelctl_compat.h (locks, allocator,
 * user copies) and qel_ddi.h (the driver); the Linux module and the test
 * bed each provide those, so no OS header appears here.
 *
 * Codes are positive errno values; the OS layer negates them.
 */
#include "qelctl_core.h"

/* Upcall message header: seven big-endian 32-bit words. */
#define DBM_HDR_SIZE     28
#define DBM_OFF_TYPE     0
#define DBM_OFF_HANDLE   4
#define DBM_OFF_STATUS   12
#define DBM_OFF_EXTENT   20
#define DBM_OFF_PSIZE    24
#define DBM_MAX_MSG      61423
#define DB_STANDBY       1
#define DB_HELLO         10

/* Hello deferred: devices were skipped because they take no upcalls. */
#define QELCTL_HELLO_DEFERRED 73

/* Per-open record, one per open file. */
typedef struct qelctl_minor {
	int mc_minor;
	qel_dev_t *mc_qel;
	kmutex_t mc_lock;
	int mc_busy;
	int mc_isupcall;
	int mc_isseccmd;
} qelctl_minor_t;

/* The table of open files is the driver's slot-table service, whose calls
 * may sleep and must come one at a time: they run under the sleeping
 * qelctl_table_lock.  The spin lock qelctl_lock guards only the core's own
 * record of it, the table pointer and the number of callers that have
 * reserved their way in; no driver entry point runs under it. */
static qel_table_t *qelctl_minors;
static kmutex_t qelctl_lock;
static ksleeplock_t qelctl_table_lock;
static int qelctl_table_users;
static qelctl_dip_t *qelctl_dip;

/* ------------------------------------------------------------------ */
/* Small helpers                                                        */

static uint32_t be32_get(const uint8_t *p)
{
	return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) |
	    ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

static void zero(void *p, size_t n)
{
	uint8_t *b = (uint8_t *)p;

	while (n-- > 0)
		*b++ = 0;
}

static void copy(void *dst, const void *src, size_t n)
{
	uint8_t *d = (uint8_t *)dst;
	const uint8_t *s = (const uint8_t *)src;

	while (n-- > 0)
		*d++ = *s++;
}

static void *uptr(unsigned long arg)
{
	return (void *)(qelctl_uintptr_t)arg;
}

/* Firmware version word of the device (register 0x100C). */
static uint32_t qelctl_fwver(qel_dev_t *dev)
{
	const volatile uint32_t *reg =
	    (const volatile uint32_t *)(const void *)(dev->regs + QEL_REG_FWVER);

	return ddi_get32(dev->reg_handle, reg);
}

/* ------------------------------------------------------------------ */
/* Transfer buffers on the device's control DMA descriptor.             */
/*                                                                      */
/* A transfer of up to 1 MiB is tried as one block; a larger one, or one */
/* whose block cannot be had, becomes a list of 64 KiB chunks.  The      */
/* private copy of the descriptor taken before the driver runs decides   */
/* how the memory is freed, whatever the driver does to its descriptor.  */

static void qelctl_free_chunks(kyr_sglist_t *list, int count, int made)
{
	int i;

	for (i = 0; i < made; i++)
		kmem_free(list[i].page, (size_t)list[i].length);
	kmem_free(list, (size_t)count * sizeof(*list));
}

/* Fills one piece of a transfer buffer: the bytes of [pos, pos + len) that
 * fall inside the caller's data [off, off + ulen) come from ubuf, every
 * other byte is cleared, so nothing of the allocator's old contents can
 * travel to the card or back to the caller. */
static int qelctl_fill_piece(uint8_t *k, size_t pos, size_t len, size_t off,
    const uint8_t *ubuf, size_t ulen, int mode)
{
	size_t from = off > pos ? off - pos : 0;
	size_t to = off + ulen > pos ? off + ulen - pos : 0;

	if (from > len)
		from = len;
	if (to > len)
		to = len;
	if (to < from)
		to = from;
	zero(k, from);
	/* ubuf is the caller's address, which may be anything, null included:
	 * step it as a number, pointer arithmetic on it would be undefined. */
	if (to > from && ddi_copyin((const uint8_t *)((qelctl_uintptr_t)ubuf +
	    (pos + from - off)), k + from, to - from, mode) != 0)
		return EFAULT;
	zero(k + to, len - to);
	return 0;
}

/* Builds a buffer of total bytes on dev's descriptor holding, at offset
 * off, the caller's bytes at ubuf: blen of them in a single block, clen in
 * a chunk list; every other byte is cleared.  A chunk list is
 * filled chunk by chunk as it is allocated, so a bad address costs one
 * chunk, not the whole image.  The private copy is built from this
 * function's own values and the device's descriptor is set from them, never
 * read back: whatever happens to the descriptor, the copy describes what was
 * allocated here.  The caller holds the card's transfer lock.  On success
 * *kaddr is the block or the first chunk and *accp the private copy; on
 * failure (ENOMEM, EFAULT) nothing is left allocated. */
static int qelctl_dma_mem_alloc(qel_dev_t *dev, size_t total, size_t off,
    const uint8_t *ubuf, size_t blen, size_t clen, int mode, void **kaddr,
    kyr_ddi_handle_t **accp)
{
	kyr_ddi_handle_t *d = &dev->ctl_dma;
	kyr_ddi_handle_t *acc;
	uint8_t *block = NULL;
	size_t count, i, pos;
	kyr_sglist_t *list;

	acc = (kyr_ddi_handle_t *)kmem_zalloc(sizeof(*acc), KM_SLEEP);
	if (acc == NULL)
		return ENOMEM;
	d->sglist = NULL;
	d->bus_addr = 0;
	d->cpu_addr = NULL;

	if (total <= QELCTL_BLOCK_MAX)
		block = (uint8_t *)kmem_alloc(total, KM_SLEEP);
	if (block != NULL) {
		if (qelctl_fill_piece(block, 0, total, off, ubuf, blen, mode) != 0) {
			kmem_free(block, total);
			kmem_free(acc, sizeof(*acc));
			return EFAULT;
		}
	} else {
		count = total / QELCTL_CHUNK + (total % QELCTL_CHUNK != 0);
		list = (kyr_sglist_t *)kmem_alloc(count * sizeof(*list), KM_SLEEP);
		if (list == NULL) {
			kmem_free(acc, sizeof(*acc));
			return ENOMEM;
		}
		zero(list, count * sizeof(*list));
		for (i = 0, pos = 0; i < count; i++) {
			size_t len = total - pos >= QELCTL_CHUNK ? QELCTL_CHUNK :
			    total - pos;
			int rc = 0;

			list[i].length = (int)len;
			list[i].page = kmem_alloc(len, KM_SLEEP);
			if (list[i].page == NULL)
				rc = ENOMEM;
			else if (qelctl_fill_piece((uint8_t *)list[i].page, pos, len,
			    off, ubuf, clen, mode) != 0)
				rc = EFAULT;
			if (rc != 0) {
				qelctl_free_chunks(list, (int)count,
				    (int)i + (list[i].page != NULL));
				kmem_free(acc, sizeof(*acc));
				return rc;
			}
			pos += len;
		}
		acc->sglist = list;
		acc->n_pages = (int)count;
		acc->n_dma_pages = (int)count;
		block = count > 0 ? (uint8_t *)list[0].page : NULL;
	}
	acc->type = KYR_DDI_STREAMING;
	acc->direction = 0;
	acc->pdev = d->pdev;
	acc->size = total;
	acc->cpu_addr = block;
	acc->bus_addr = 0;

	d->n_pages = acc->n_pages;
	d->n_dma_pages = acc->n_dma_pages;
	d->sglist = acc->sglist;
	d->bus_addr = 0;
	d->direction = 0;
	d->type = KYR_DDI_STREAMING;
	d->size = total;
	d->cpu_addr = block;
	*kaddr = block;
	*accp = acc;
	return 0;
}

/* Frees what qelctl_dma_mem_alloc built, as its private copy describes. */
static void qelctl_dma_mem_free(kyr_ddi_handle_t *acc)
{
	if (acc->type & KYR_DDI_CONSISTENT) {
		qelctl_dma_free_coherent(acc->pdev, acc->size, acc->cpu_addr,
		    acc->bus_addr);
	} else if (acc->sglist != NULL) {
		qelctl_free_chunks(acc->sglist, acc->n_dma_pages,
		    acc->n_dma_pages);
		acc->sglist = NULL;
	} else {
		kmem_free(acc->cpu_addr, acc->size);
	}
	kmem_free(acc, sizeof(*acc));
}

/* Copies len bytes from offset off of the transfer buffer to the caller's
 * buffer at ubuf: from a block directly, from a chunk list chunk by
 * chunk. */
static int qelctl_xfer_out(const kyr_ddi_handle_t *acc, size_t off,
    uint8_t *ubuf, size_t len, int mode)
{
	int i;

	if (acc->sglist == NULL)
		return ddi_copyout((uint8_t *)acc->cpu_addr + off, ubuf, len,
		    mode) != 0 ? EFAULT : 0;
	for (i = 0; i < acc->n_dma_pages && len > 0; i++) {
		size_t clen = (size_t)acc->sglist[i].length;
		size_t n;

		if (off >= clen) {
			off -= clen;
			continue;
		}
		n = clen - off;
		if (n > len)
			n = len;
		if (ddi_copyout((uint8_t *)acc->sglist[i].page + off, ubuf, n,
		    mode) != 0)
			return EFAULT;
		ubuf += n;
		len -= n;
		off = 0;
	}
	return 0;
}

/* Writes the 16-byte IDC header at the start of the transfer buffer (the
 * block, or the first chunk, which is never shorter than 16 bytes when a
 * header is asked for: the total is then at least 16). */
static void qelctl_xfer_idc_hdr(const kyr_ddi_handle_t *acc, int caller)
{
	qel_update_idc_hdr(acc->cpu_addr, caller, qel_get_domain());
}

/* ------------------------------------------------------------------ */
/* Command handlers                                                     */

static int qelctl_bind(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	qel_dev_t *dev = NULL;
	int rc;

	(void)mode;
	if (mc->mc_qel != NULL)
		return EALREADY;
	if (mc->mc_isupcall)
		return EINVAL;
	/* The instance is an int: a value that would change on the way
	 * (4294967297 to 1) names no device. */
	if ((unsigned long)(int)arg != arg)
		return EINVAL;
	rc = qel_hold_ctl((int)arg, &dev);
	if (rc == 0)
		mc->mc_qel = dev;
	return rc;
}

static int qelctl_unbind(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	(void)arg;
	(void)mode;
	if (mc->mc_qel == NULL)
		return EALREADY;
	/* Security sessions belong to the device being let go: end them now,
	 * before the hold goes, as close would (close has no device left to
	 * name afterwards). */
	if (mc->mc_isseccmd) {
		qel_seccmd_disconnect(mc->mc_qel, qel_get_domain(), mc->mc_minor);
		mc->mc_isseccmd = 0;
	}
	qel_rele_ctl(mc->mc_qel);
	mc->mc_qel = NULL;
	return 0;
}

/* Stores a value read from the device into the union by width; another
 * width leaves the caller's value as it was sent. */
static void qelctl_reg_store(qelctl_reg_t *r, uint64_t val)
{
	switch (r->mr_width) {
	case 8:
		r->mr_val.mr_val8 = (uint8_t)val;
		break;
	case 16:
		r->mr_val.mr_val16 = (uint16_t)val;
		break;
	case 32:
		r->mr_val.mr_val32 = (uint32_t)val;
		break;
	case 64:
		r->mr_val.mr_val64 = val;
		break;
	default:
		break;
	}
}

static int qelctl_reg_value(const qelctl_reg_t *r, uint64_t *val)
{
	switch (r->mr_width) {
	case 8:
		*val = r->mr_val.mr_val8;
		return 0;
	case 16:
		*val = r->mr_val.mr_val16;
		return 0;
	case 32:
		*val = r->mr_val.mr_val32;
		return 0;
	case 64:
		*val = r->mr_val.mr_val64;
		return 0;
	default:
		return EINVAL;
	}
}

typedef int (*qelctl_get_fn)(qel_dev_t *, int, int, uint64_t *);
typedef int (*qelctl_put_fn)(qel_dev_t *, int, int, uint64_t);

static int qelctl_get_reg(qelctl_minor_t *mc, unsigned long arg, int mode,
    qelctl_get_fn get)
{
	qelctl_reg_t r;
	uint64_t val = 0;
	int rc;

	if (ddi_copyin(uptr(arg), &r, sizeof(r), mode) != 0)
		return EFAULT;
	rc = get(mc->mc_qel, r.mr_offset, r.mr_width, &val);
	if (rc != 0)
		return rc;
	qelctl_reg_store(&r, val);
	if (ddi_copyout(&r, uptr(arg), sizeof(r), mode) != 0)
		return EFAULT;
	return 0;
}

static int qelctl_put_reg(qelctl_minor_t *mc, unsigned long arg, int mode,
    qelctl_put_fn put)
{
	qelctl_reg_t r;
	uint64_t val;

	if (ddi_copyin(uptr(arg), &r, sizeof(r), mode) != 0)
		return EFAULT;
	if (qelctl_reg_value(&r, &val) != 0)
		return EINVAL;
	return put(mc->mc_qel, r.mr_offset, r.mr_width, val);
}

static int qelctl_getcsr(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	return qelctl_get_reg(mc, arg, mode, qel_getcsr);
}

static int qelctl_putcsr(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	return qelctl_put_reg(mc, arg, mode, qel_putcsr);
}

static int qelctl_getpci(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	return qelctl_get_reg(mc, arg, mode, qel_getpci);
}

static int qelctl_putpci(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	return qelctl_put_reg(mc, arg, mode, qel_putpci);
}

/* Transfers of one card are serialized from filling its control DMA
 * descriptor until the memory it describes is freed: the descriptor is
 * the card's, and two open files bound to the card would otherwise fill it
 * for each other.  The lock is chosen by instance number; cards whose
 * numbers share the low bits share a lock, which only serializes more. */
#define QELCTL_XFER_LOCKS 32
static ksleeplock_t qelctl_xfer_locks[QELCTL_XFER_LOCKS];

static ksleeplock_t *qelctl_xfer_lock(const qel_dev_t *dev)
{
	return &qelctl_xfer_locks[(unsigned int)dev->instance %
	    QELCTL_XFER_LOCKS];
}

/* Image transfer shared by the firmware update and the FDI download. */
static int qelctl_image(qelctl_minor_t *mc, unsigned long arg, int mode,
    int fdi)
{
	qelctl_fwupdate_t fu;
	kyr_ddi_handle_t *acc;
	void *kaddr;
	int rc;

	if (ddi_copyin(uptr(arg), &fu, sizeof(fu), mode) != 0)
		return EFAULT;
	if (fu.mfu_size > (fdi ? QELCTL_FDI_MAX : QELCTL_FW_MAX))
		return E2BIG;
	sleeplock_enter(qelctl_xfer_lock(mc->mc_qel));
	rc = qelctl_dma_mem_alloc(mc->mc_qel, fu.mfu_size, 0,
	    (const uint8_t *)fu.mfu_addr, fu.mfu_size, fu.mfu_size, mode, &kaddr,
	    &acc);
	if (rc == 0) {
		if (fdi)
			rc = qel_fdi_dl(mc->mc_qel, kaddr, fu.mfu_size);
		else
			rc = qel_fwupdate(mc->mc_qel, fu.mfu_select, kaddr,
			    fu.mfu_size);
		qelctl_dma_mem_free(acc);
	}
	sleeplock_exit(qelctl_xfer_lock(mc->mc_qel));
	return rc;
}

static int qelctl_fwupdate(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	return qelctl_image(mc, arg, mode, 0);
}

static int qelctl_fdi_dl(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	return qelctl_image(mc, arg, mode, 1);
}

static int qelctl_reset(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	(void)arg;
	(void)mode;
	return qel_safereset(mc->mc_qel);
}

static int qelctl_diagnostics(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	(void)arg;
	(void)mode;
	return qel_diagnostics(mc->mc_qel);
}

static int qelctl_failure(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	(void)arg;
	(void)mode;
	qel_failure(mc->mc_qel, 0, "qelctl induced failure");
	return 0;
}

static int qelctl_zeroize(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	(void)arg;
	(void)mode;
	return qel_zeroize(mc->mc_qel);
}

static int qelctl_seccmd(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	qel_dev_t *dev = mc->mc_qel;
	qelctl_seccmd_t sc;
	kyr_ddi_handle_t *acc;
	void *kaddr;
	uint32_t h, size, reply, n;
	size_t total;
	int rc;

	if (!mc->mc_isseccmd)
		mc->mc_isseccmd = 1;
	if ((dev->fault_flags & QEL_FAULT_FAILED) ||
	    (dev->dev_flags & QEL_DEV_NOSECCMD))
		return EIO;
	h = qelctl_fwver(dev) >= 0x02000000u ? QELCTL_IDC_HDR : 0;
	if (ddi_copyin(uptr(arg), &sc, sizeof(sc), mode) != 0)
		return EFAULT;
	if (sc.msc_blksize > QELCTL_SEC_MAX - h || sc.msc_actsize > sc.msc_blksize)
		return E2BIG;
	total = (size_t)sc.msc_blksize + h;
	/* A block takes the request and is cleared past it, so a reply length
	 * beyond what the card wrote returns no stale kernel memory; a chunk
	 * list takes the caller's whole buffer. */
	sleeplock_enter(qelctl_xfer_lock(dev));
	rc = qelctl_dma_mem_alloc(dev, total, h, (const uint8_t *)sc.msc_buf,
	    sc.msc_actsize, sc.msc_blksize, mode, &kaddr, &acc);
	if (rc != 0) {
		sleeplock_exit(qelctl_xfer_lock(dev));
		return rc;
	}
	if (h != 0)
		qelctl_xfer_idc_hdr(acc, mc->mc_minor);
	size = sc.msc_actsize + h;
	rc = qel_seccmd(dev, kaddr, total, &size, sc.msc_flags);
	/* A length below the header means an empty reply. */
	reply = size >= h ? size - h : 0;
	sc.msc_actsize = reply;
	if (rc == 0 || rc == ENOSPC) {
		n = reply < sc.msc_blksize ? reply : sc.msc_blksize;
		if (qelctl_xfer_out(acc, h, (uint8_t *)sc.msc_buf, n, mode) != 0 ||
		    ddi_copyout(&sc, uptr(arg), sizeof(sc), mode) != 0)
			rc = EFAULT;
	}
	qelctl_dma_mem_free(acc);
	sleeplock_exit(qelctl_xfer_lock(dev));
	return rc;
}

/* Copies one key part to the caller; cap 0 means the caller did not say
 * how big its buffer is. */
static int qelctl_key_part(const uint8_t *src, uint32_t len, size_t cap,
    void *dst, int mode)
{
	if (cap != 0 && len > cap)
		return EIO;
	return ddi_copyout(src, dst, len, mode) != 0 ? EFAULT : 0;
}

static int qelctl_getpubkey(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	qelctl_getpubkey_t pk;
	void *blob = NULL;
	size_t len = 0;
	const uint8_t *b;
	uint32_t modlen, explen;
	int rc;

	if (ddi_copyin(uptr(arg), &pk, sizeof(pk), mode) != 0)
		return EFAULT;
	if (qel_getpubkey(mc->mc_qel, &blob, &len) != 0 || blob == NULL)
		return EIO;
	b = (const uint8_t *)blob;
	rc = EIO;
	if (len < 12)
		goto out;
	copy(&modlen, b + 4, 4);
	copy(&explen, b + 8, 4);
	if (modlen > len - 12 || explen > len - 12 - modlen)
		goto out;
	rc = qelctl_key_part(b + 12, modlen, pk.mpk_modlen, pk.mpk_modulus, mode);
	if (rc == 0)
		rc = qelctl_key_part(b + 12 + modlen, explen, pk.mpk_explen,
		    pk.mpk_exponent, mode);
	if (rc == 0) {
		pk.mpk_modlen = modlen;
		pk.mpk_explen = explen;
		if (ddi_copyout(&pk, uptr(arg), sizeof(pk), mode) != 0)
			rc = EFAULT;
	}
out:
	kmem_free(blob, len);
	return rc;
}

static int qelctl_fdi_req(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	fdi_request_t req;

	if (ddi_copyin(uptr(arg), &req, sizeof(req), mode) != 0)
		return EFAULT;
	return qel_fdi_req(mc->mc_qel, &req);
}

static int qelctl_check_dr(qelctl_minor_t *mc, int *rvalp)
{
	*rvalp = qel_provider_in_use(mc->mc_qel);
	return 0;
}

static int qelctl_change_state(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	int state;

	if (ddi_copyin(uptr(arg), &state, sizeof(state), mode) != 0)
		return EFAULT;
	switch (state) {
	case 0:
		return qel_chgstate_offline(mc->mc_qel);
	case 1:
		return qel_chgstate_diag(mc->mc_qel);
	case 2:
		return qel_chgstate_online(mc->mc_qel);
	default:
		return EINVAL;
	}
}

static int qelctl_probe(unsigned long arg, int mode)
{
	qelctl_probe_t pr;

	zero(&pr, sizeof(pr));
	pr.mpr_ndevs = QELCTL_MAX_DEVS;
	(void)qel_probe(pr.mpr_devinst, &pr.mpr_ndevs);
	/* The count comes from the driver: keep it within the array. */
	if (pr.mpr_ndevs < 0)
		pr.mpr_ndevs = 0;
	if (pr.mpr_ndevs > QELCTL_MAX_DEVS)
		pr.mpr_ndevs = QELCTL_MAX_DEVS;
	if (ddi_copyout(&pr, uptr(arg), sizeof(pr), mode) != 0)
		return EFAULT;
	return 0;
}

static int qelctl_get_info(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	qelctl_getinfo_t gi;
	int rc;

	zero(&gi, sizeof(gi));
	rc = qel_get_devinfo(mc->mc_qel, &gi.mgi_state, &gi.mgi_status);
	if (rc != 0)
		return rc;
	if (ddi_copyout(&gi, uptr(arg), sizeof(gi), mode) != 0)
		return EFAULT;
	return 0;
}

static int qelctl_get_versions(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	qelctl_getver_t gv;
	int rc;

	zero(&gv, sizeof(gv));
	rc = qel_get_verinfo(mc->mc_qel, &gv.hw, &gv.fw, &gv.boot);
	if (rc != 0)
		return rc;
	if (ddi_copyout(&gv, uptr(arg), sizeof(gv), mode) != 0)
		return EFAULT;
	return 0;
}

static int qelctl_resume(qelctl_minor_t *mc, int *rvalp)
{
	*rvalp = qel_postresume(mc->mc_qel, 1);
	return 0;
}

static int qelctl_suspend(qelctl_minor_t *mc, int *rvalp)
{
	*rvalp = qel_presuspend(mc->mc_qel, 1);
	return 0;
}

/* ------------------------------------------------------------------ */
/* QELCTLUPCALL                                                         */

/* Copies a reply to the caller's buffer: all of it when it fits extent,
 * else its header only. */
static int qelctl_reply_out(const void *reply, size_t len, uint32_t extent,
    unsigned long arg, int mode)
{
	size_t n = len <= extent ? len : DBM_HDR_SIZE;

	return ddi_copyout(reply, uptr(arg), n, mode) != 0 ? EFAULT : 0;
}

/* Allocates 16 + psize bytes and builds the message behind the IDC header:
 * the caller's message is read again, and its header is then replaced by
 * the copy the sizes and handle were checked on, so a caller that changes
 * its buffer meanwhile cannot change what was checked. */
static int qelctl_upcall_buf(qelctl_minor_t *mc, const uint8_t *hdr,
    unsigned long arg, uint32_t psize, int mode, uint8_t **bufp)
{
	uint8_t *buf;

	buf = (uint8_t *)kmem_alloc(QELCTL_IDC_HDR + (size_t)psize, KM_NOSLEEP);
	if (buf == NULL)
		return ENOMEM;
	if (ddi_copyin(uptr(arg), buf + QELCTL_IDC_HDR, psize, mode) != 0) {
		kmem_free(buf, QELCTL_IDC_HDR + (size_t)psize);
		return EFAULT;
	}
	copy(buf + QELCTL_IDC_HDR, hdr, DBM_HDR_SIZE);
	qel_update_idc_hdr(buf, mc->mc_minor, qel_get_domain());
	*bufp = buf;
	return 0;
}

static int qelctl_upcall_standby(qelctl_minor_t *mc, uint32_t extent,
    unsigned long arg, int mode)
{
	void *msg = NULL;
	size_t len = 0, n;
	int rc;

	rc = qel_upcall_service(mc->mc_minor, &msg, &len);
	if (rc != 0) {
		qel_upcall_release(mc->mc_minor);
		return rc;
	}
	/* The whole upcall when it fits the caller's buffer, else its header
	 * (an upcall shorter than a header goes whole). */
	n = len <= extent ? len : DBM_HDR_SIZE;
	rc = ddi_copyout(msg, uptr(arg), n, mode) != 0 ? EFAULT : 0;
	qel_upcall_release(mc->mc_minor);
	return rc;
}

static int qelctl_upcall_hello(qelctl_minor_t *mc, const uint8_t *hdr,
    uint32_t extent, uint32_t psize, unsigned long arg, int mode)
{
	size_t buflen = QELCTL_IDC_HDR + (size_t)psize;
	uint8_t *buf;
	int result = ENOENT, answered = 0, skipped = 0;
	int inst = -1, rc;

	rc = qelctl_upcall_buf(mc, hdr, arg, psize, mode, &buf);
	if (rc != 0)
		return rc;
	while (qel_get_next_instance(&inst) == 0) {
		qel_dev_t *dev = qel_hold_instance(inst);
		void *reply = NULL, *token = NULL;
		size_t rlen = 0;

		if (dev == NULL)
			continue;
		if (dev->fault_flags & QEL_FAULT_NOUPCALL) {
			qel_rele_instance(dev);
			skipped = 1;
			continue;
		}
		result = qel_dbm_response(dev, buf, buflen, mc->mc_minor, &reply,
		    &rlen, &token);
		if (result == 0 && !answered) {
			if (qelctl_reply_out(reply, rlen, extent, arg, mode) != 0) {
				qel_dbm_freereq(token);
				qel_rele_instance(dev);
				kmem_free(buf, buflen);
				return EFAULT;
			}
			/* Only a reply with a whole header has a status to read
			 * (the length is the firmware's word). */
			if (rlen >= DBM_HDR_SIZE &&
			    be32_get((const uint8_t *)reply + DBM_OFF_STATUS) == 0)
				answered = 1;
		}
		if (result == 0)
			qel_dbm_freereq(token);
		qel_rele_instance(dev);
	}
	if (answered || skipped) {
		rc = qel_upcall_dbm_register(mc->mc_minor,
		    buf + QELCTL_IDC_HDR + DBM_HDR_SIZE, psize - DBM_HDR_SIZE);
		if (answered)
			result = rc == 0 ? 0 : ENOENT;
		else
			result = QELCTL_HELLO_DEFERRED;
	}
	kmem_free(buf, buflen);
	return result;
}

static int qelctl_upcall_one(qelctl_minor_t *mc, const uint8_t *hdr,
    uint32_t extent, uint32_t psize, unsigned long arg, int mode)
{
	size_t buflen = QELCTL_IDC_HDR + (size_t)psize;
	/* The answering device is the first byte of the handle as it lay in
	 * the caller's buffer when the header was copied. */
	int inst = (int)(signed char)hdr[DBM_OFF_HANDLE];
	void *reply = NULL, *token = NULL;
	size_t rlen = 0;
	qel_dev_t *dev;
	uint8_t *buf;
	int rc;

	dev = qel_hold_instance(inst);
	if (dev == NULL)
		return EFAULT;
	rc = qelctl_upcall_buf(mc, hdr, arg, psize, mode, &buf);
	if (rc != 0) {
		qel_rele_instance(dev);
		return rc;
	}
	rc = qel_dbm_response(dev, buf, buflen, mc->mc_minor, &reply, &rlen,
	    &token);
	if (rc != 0) {
		kmem_free(buf, buflen);
		qel_rele_instance(dev);
		return rc;
	}
	rc = qelctl_reply_out(reply, rlen, extent, arg, mode);
	kmem_free(buf, buflen);
	qel_rele_instance(dev);
	qel_dbm_freereq(token);
	return rc;
}

static int qelctl_dbm(qelctl_minor_t *mc, unsigned long arg, int mode)
{
	uint8_t hdr[DBM_HDR_SIZE];
	uint32_t type, extent, psize;
	int rc;

	if (!mc->mc_isupcall) {
		rc = qel_upcall_attach(mc->mc_minor);
		if (rc != 0)
			return rc;
		mc->mc_isupcall = 1;
	}
	if (ddi_copyin(uptr(arg), hdr, sizeof(hdr), mode) != 0)
		return EFAULT;
	type = be32_get(hdr + DBM_OFF_TYPE);
	extent = be32_get(hdr + DBM_OFF_EXTENT);
	psize = be32_get(hdr + DBM_OFF_PSIZE);
	/* The sizes come from the caller and size kernel buffers and copies:
	 * a message is at least its header and at most DBM_MAX_MSG, and the
	 * caller's buffer must at least take a header back.  Both fields are
	 * signed on the wire, so a negative value fails the same tests. */
	if (psize < DBM_HDR_SIZE || psize > DBM_MAX_MSG ||
	    extent < DBM_HDR_SIZE || extent > 0x7fffffffu)
		return EINVAL;
	if (type == DB_STANDBY)
		return qelctl_upcall_standby(mc, extent, arg, mode);
	if (type == DB_HELLO)
		return qelctl_upcall_hello(mc, hdr, extent, psize, arg, mode);
	return qelctl_upcall_one(mc, hdr, extent, psize, arg, mode);
}

/* ------------------------------------------------------------------ */
/* Dispatcher                                                           */

#define QC_NEEDDEV 0x1   /* fails with EINVAL when no device is held */
#define QC_FAULT0  0x2   /* EIO when fault bit 0 is set */
#define QC_FAULT01 0x4   /* EIO when fault bit 0 or 1 is set */

typedef int (*qelctl_cmd_fn)(qelctl_minor_t *, unsigned long, int);

typedef struct qelctl_cmd {
	int cmd;
	int checks;
	qelctl_cmd_fn fn;          /* NULL: handled in qelctl_run */
} qelctl_cmd_t;

static const qelctl_cmd_t qelctl_cmds[] = {
	{ QELCTLBIND, 0, qelctl_bind },
	{ QELCTLUNBIND, 0, qelctl_unbind },
	{ QELCTLGETCSR, QC_NEEDDEV | QC_FAULT0, qelctl_getcsr },
	{ QELCTLPUTCSR, QC_NEEDDEV | QC_FAULT0, qelctl_putcsr },
	{ QELCTLFWUPDATE, QC_NEEDDEV | QC_FAULT0, qelctl_fwupdate },
	{ QELCTLGETPCI, QC_NEEDDEV | QC_FAULT0, qelctl_getpci },
	{ QELCTLPUTPCI, QC_NEEDDEV | QC_FAULT0, qelctl_putpci },
	{ QELCTLRESET, QC_NEEDDEV, qelctl_reset },
	{ QELCTLDIAG, QC_NEEDDEV | QC_FAULT0, qelctl_diagnostics },
	{ QELCTLFAILURE, QC_NEEDDEV, qelctl_failure },
	{ QELCTLSECCMD, QC_NEEDDEV, qelctl_seccmd },
	{ QELCTLZEROIZE, QC_NEEDDEV | QC_FAULT0, qelctl_zeroize },
	{ QELCTLGETPUBKEY, QC_NEEDDEV | QC_FAULT0, qelctl_getpubkey },
	{ QELCTLFDIREQ, QC_NEEDDEV | QC_FAULT01, qelctl_fdi_req },
	{ QELCTLFDIDL, QC_NEEDDEV | QC_FAULT01, qelctl_fdi_dl },
	{ QELCTLCHECKDR, QC_NEEDDEV, NULL },
	{ QELCTLCHGSTATE, QC_NEEDDEV, qelctl_change_state },
	{ QELCTLPROBE, 0, NULL },
	{ QELCTLGETINFO, QC_NEEDDEV, qelctl_get_info },
	{ QELCTLUPCALL, 0, qelctl_dbm },
	{ QELCTLRESUME, QC_NEEDDEV, NULL },
	{ QELCTLSUSPEND, QC_NEEDDEV, NULL },
	{ QELCTLGETVER, QC_NEEDDEV, qelctl_get_versions },
};

static int qelctl_run(qelctl_minor_t *mc, int cmd, unsigned long arg,
    int mode, int *rvalp)
{
	const qelctl_cmd_t *c = NULL;
	size_t i;

	for (i = 0; i < sizeof(qelctl_cmds) / sizeof(qelctl_cmds[0]); i++) {
		if (qelctl_cmds[i].cmd == cmd) {
			c = &qelctl_cmds[i];
			break;
		}
	}
	if (c == NULL)
		return EINVAL;
	if ((c->checks & QC_NEEDDEV) && mc->mc_qel == NULL)
		return EINVAL;
	if ((c->checks & QC_FAULT0) &&
	    (mc->mc_qel->fault_flags & QEL_FAULT_FAILED))
		return EIO;
	if ((c->checks & QC_FAULT01) && (mc->mc_qel->fault_flags &
	    (QEL_FAULT_FAILED | QEL_FAULT_NOFDI)))
		return EIO;
	if (c->fn != NULL)
		return c->fn(mc, arg, mode);
	switch (cmd) {
	case QELCTLCHECKDR:
		return qelctl_check_dr(mc, rvalp);
	case QELCTLPROBE:
		return qelctl_probe(arg, mode);
	case QELCTLRESUME:
		return qelctl_resume(mc, rvalp);
	case QELCTLSUSPEND:
		return qelctl_suspend(mc, rvalp);
	default:
		return EINVAL;
	}
}

/* Reserves a way into the table under qelctl_lock, then takes the table's
 * own lock.  NULL when the module is not ready. */
static qel_table_t *qelctl_table_enter(void)
{
	qel_table_t *t;

	if (qelctl_dip == NULL)
		return NULL;
	mutex_enter(&qelctl_lock);
	t = qelctl_minors;
	if (t != NULL)
		qelctl_table_users++;
	mutex_exit(&qelctl_lock);
	if (t != NULL)
		sleeplock_enter(&qelctl_table_lock);
	return t;
}

static void qelctl_table_exit(void)
{
	sleeplock_exit(&qelctl_table_lock);
	mutex_enter(&qelctl_lock);
	qelctl_table_users--;
	mutex_exit(&qelctl_lock);
}

/* Looks the caller's record up; NULL when the module is not ready or the
 * number is unknown. */
static qelctl_minor_t *qelctl_lookup(qelctl_dev_t dev)
{
	qel_table_t *t = qelctl_table_enter();
	qelctl_minor_t *mc;

	if (t == NULL)
		return NULL;
	mc = (qelctl_minor_t *)qel_table_lookup(t, getminor(dev));
	qelctl_table_exit();
	return mc;
}

/* Gives the slot of an open file back to the table. */
static void qelctl_table_free(int index)
{
	qel_table_t *t = qelctl_table_enter();

	if (t == NULL)
		return;
	qel_table_free_slot(t, index);
	qelctl_table_exit();
}

int qelctl_ioctl(qelctl_dev_t dev, int cmd, unsigned long arg, int mode,
    void *credp, int *rvalp)
{
	qelctl_minor_t *mc;
	int dummy = 0, rc;

	(void)credp;
	if (rvalp == NULL)
		rvalp = &dummy;
	*rvalp = 0;
	mc = qelctl_lookup(dev);
	if (mc == NULL)
		return ENXIO;
	mutex_enter(&mc->mc_lock);
	if (mc->mc_busy) {
		mutex_exit(&mc->mc_lock);
		return EBUSY;
	}
	mc->mc_busy = 1;
	mutex_exit(&mc->mc_lock);

	rc = qelctl_run(mc, cmd, arg, mode, rvalp);

	mutex_enter(&mc->mc_lock);
	mc->mc_busy = 0;
	mutex_exit(&mc->mc_lock);
	return rc;
}

/* ------------------------------------------------------------------ */
/* Life cycle                                                           */

/* Destroys the first n transfer locks. */
static void qelctl_xfer_locks_destroy(int n)
{
	while (n-- > 0)
		sleeplock_destroy(&qelctl_xfer_locks[n]);
}

int qelctl_attach(qelctl_dip_t *dip, int cmd)
{
	qel_table_t *t = NULL;
	int rc, i;

	if (cmd != QELCTL_ATTACH || dip == NULL)
		return EINVAL;
	if (qelctl_dip != NULL)
		return EBUSY;
	rc = qel_table_init(&t, sizeof(qelctl_minor_t));
	if (rc != 0)
		return rc;
	for (i = 0; i < QELCTL_XFER_LOCKS; i++)
		if ((rc = sleeplock_init(&qelctl_xfer_locks[i])) != 0)
			break;
	if (rc == 0)
		rc = sleeplock_init(&qelctl_table_lock);
	if (rc == 0 && (rc = mutex_init(&qelctl_lock)) != 0)
		sleeplock_destroy(&qelctl_table_lock);
	if (rc != 0) {
		qelctl_xfer_locks_destroy(i);
		qel_table_destroy(t);
		return rc;
	}
	qelctl_table_users = 0;
	qelctl_minors = t;
	qelctl_dip = dip;
	return 0;
}

int qelctl_detach(qelctl_dip_t *dip, int cmd)
{
	qel_table_t *t;

	if (cmd != QELCTL_DETACH || dip == NULL || dip != qelctl_dip)
		return EINVAL;
	mutex_enter(&qelctl_lock);
	if (qelctl_table_users != 0) {
		mutex_exit(&qelctl_lock);
		return EBUSY;
	}
	t = qelctl_minors;
	qelctl_minors = NULL;
	mutex_exit(&qelctl_lock);
	qel_table_destroy(t);
	/* mutex_destroy releases the lock first if it is still marked
	 * locked. */
	mutex_destroy(&qelctl_lock);
	sleeplock_destroy(&qelctl_table_lock);
	qelctl_xfer_locks_destroy(QELCTL_XFER_LOCKS);
	qelctl_dip = NULL;
	kmem_free(dip, sizeof(*dip));
	return 0;
}

int qelctl_open(qelctl_dev_t *devp, int flags, int otyp, void *credp)
{
	qel_table_t *t;
	qelctl_minor_t *mc;
	int index = -1, rc;

	(void)flags;
	(void)otyp;
	(void)credp;
	if (devp == NULL || (t = qelctl_table_enter()) == NULL)
		return ENXIO;
	rc = qel_table_alloc_slot(t, &index);
	mc = rc == 0 ? (qelctl_minor_t *)qel_table_lookup(t, index) : NULL;
	qelctl_table_exit();
	if (mc == NULL)
		return ENOMEM;
	zero(mc, sizeof(*mc));
	mc->mc_minor = index;
	if (mutex_init(&mc->mc_lock) != 0) {
		qelctl_table_free(index);
		return ENOMEM;
	}
	*devp = makedevice(getmajor(*devp), index);
	return 0;
}

int qelctl_close(qelctl_dev_t dev, int flags, int otyp, void *credp)
{
	qelctl_minor_t *mc;
	int index;

	(void)flags;
	(void)otyp;
	(void)credp;
	mc = qelctl_lookup(dev);
	if (mc == NULL)
		return ENXIO;
	index = mc->mc_minor;
	/* Unbind ends the security sessions of the device it lets go, so a
	 * file marked here always still holds its device. */
	if (mc->mc_isseccmd && mc->mc_qel != NULL)
		qel_seccmd_disconnect(mc->mc_qel, qel_get_domain(), index);
	if (mc->mc_qel != NULL) {
		qel_rele_ctl(mc->mc_qel);
		mc->mc_qel = NULL;
	}
	if (mc->mc_isupcall)
		qel_upcall_detach(index);
	mutex_destroy(&mc->mc_lock);
	qelctl_table_free(index);
	return 0;
}
