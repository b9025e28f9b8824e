/*
 * Stand-in for the qel accelerator driver over a model of up to 32 cards.
 *
 * Every qel_ entry point that qelctl calls is served here from plain card
 * records that tests set up and inspect (qelmodel.h).  Transfers are read
 * through the card's control DMA descriptor, a single block or a chunk
 * list, exactly as the hardware would see them.  All state sits behind the
 * one qm_sync_t lock; the firmware hook runs outside it because it may
 * block.
 */
#include "qelmodel.h"
#include "qm_sha256.h"

#define QM_DB_RESPONSE    14
#define QM_PARAM_SIZE     412
#define QM_HDR_SIZE       28
#define QM_MAX_UPCALL     0x100000u
#define QM_TABLE_MAX      (1 << 20)

/* A queued upcall message. */
typedef struct qm_msg {
	struct qm_msg *next;
	size_t len;
	uint8_t data[];
} qm_msg_t;

/* One caller of the upcall service (a qelctl per-open index).  Records
 * live until qelmodel_fini, so a waiter's pointer stays valid across a
 * detach; a new attach of the same index reuses the record. */
typedef struct qm_caller {
	struct qm_caller *next;
	int id;
	int attached;
	int registered;
	char ksname[QELMODEL_KSNAME];
	long reg_seq;
	qm_msg_t *head, *tail;
	qm_msg_t *current;          /* delivered, valid until release */
	int waiting;
	int interrupt;
} qm_caller_t;

/* Token of a reply handed out by qel_dbm_response. */
typedef struct qm_reply {
	void *data;
	size_t len;
} qm_reply_t;

static qm_sync_t *qm_sync;
static qelmodel_card_t *qm_cards;
static qm_caller_t *qm_callers;
static int qm_domain = 1;
static qelmodel_fw_fn qm_fw;
static void *qm_fw_ctx;
static int qm_attach_code, qm_register_code;
static long qm_delivered, qm_reg_seq;
static qelmodel_event_t qm_events[QELMODEL_EVENTS];
static int qm_ev_start, qm_ev_count;

/* ------------------------------------------------------------------ */
/* Helpers (called with the lock held unless said otherwise)            */

static uint32_t qm_be32(const uint8_t *p)
{
	return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) |
	    ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

static void qm_put_be32(uint8_t *p, uint32_t v)
{
	p[0] = (uint8_t)(v >> 24);
	p[1] = (uint8_t)(v >> 16);
	p[2] = (uint8_t)(v >> 8);
	p[3] = (uint8_t)v;
}

static void qm_event(int kind, int instance, int caller)
{
	int slot = (qm_ev_start + qm_ev_count) % QELMODEL_EVENTS;

	qm_events[slot].kind = kind;
	qm_events[slot].instance = instance;
	qm_events[slot].caller = caller;
	if (qm_ev_count < QELMODEL_EVENTS)
		qm_ev_count++;
	else
		qm_ev_start = (qm_ev_start + 1) % QELMODEL_EVENTS;
}

static qelmodel_card_t *qm_card_of(qel_dev_t *dev)
{
	return dev != NULL ? (qelmodel_card_t *)dev->priv : NULL;
}

static qelmodel_card_t *qm_present(int instance)
{
	if (qm_cards == NULL || instance < 0 || instance >= QELMODEL_MAX_CARDS ||
	    !qm_cards[instance].present)
		return NULL;
	return &qm_cards[instance];
}

static qm_caller_t *qm_find_caller(int id)
{
	qm_caller_t *c;

	for (c = qm_callers; c != NULL; c = c->next)
		if (c->id == id)
			return c;
	return NULL;
}

static qm_caller_t *qm_attached(int id)
{
	qm_caller_t *c = qm_find_caller(id);

	return c != NULL && c->attached ? c : NULL;
}

static void qm_free_msg(qm_msg_t *m)
{
	if (m != NULL)
		qm_free(m, sizeof(*m) + m->len);
}

static void qm_drop_queue(qm_caller_t *c)
{
	while (c->head != NULL) {
		qm_msg_t *m = c->head;

		c->head = m->next;
		qm_free_msg(m);
	}
	c->tail = NULL;
	qm_free_msg(c->current);
	c->current = NULL;
}

static uint32_t qm_fwver_reg(const qelmodel_card_t *card)
{
	uint32_t v;

	qm_memcpy(&v, card->regs + QEL_REG_FWVER, sizeof(v));
	return v;
}

static void qm_free_card_buffers(qelmodel_card_t *card)
{
	qm_free(card->pubkey, card->pubkey_len);
	qm_free(card->sec_req, card->sec_req_len);
	qm_free(card->sec_reply, card->sec_reply_len);
	card->pubkey = card->sec_req = card->sec_reply = NULL;
	card->pubkey_len = card->sec_req_len = card->sec_reply_len = 0;
}

/* Moves len bytes between data and offset off of the memory the card's
 * control DMA descriptor describes.  EINVAL when the range lies outside. */
static int qm_desc_rw(const kyr_ddi_handle_t *d, size_t off, void *data,
    size_t len, int to_desc)
{
	uint8_t *p = (uint8_t *)data;
	int i;

	if (off > d->size || len > d->size - off)
		return EINVAL;
	if (d->sglist == NULL) {
		if (len == 0)
			return 0;
		if (d->cpu_addr == NULL)
			return EINVAL;
		if (to_desc)
			qm_memcpy((uint8_t *)d->cpu_addr + off, p, len);
		else
			qm_memcpy(p, (uint8_t *)d->cpu_addr + off, len);
		return 0;
	}
	for (i = 0; i < d->n_dma_pages && len > 0; i++) {
		size_t clen = d->sglist[i].length > 0 ?
		    (size_t)d->sglist[i].length : 0;
		size_t n;

		if (off >= clen) {
			off -= clen;
			continue;
		}
		n = clen - off < len ? clen - off : len;
		if (to_desc)
			qm_memcpy((uint8_t *)d->sglist[i].page + off, p, n);
		else
			qm_memcpy(p, (uint8_t *)d->sglist[i].page + off, n);
		p += n;
		len -= n;
		off = 0;
	}
	return len == 0 ? 0 : EINVAL;
}

/* Records what arrived through the descriptor: its layout and the digest
 * of the first size bytes. */
static void qm_xfer_record(qelmodel_card_t *card, qelmodel_xfer_t *x,
    int select, const void *buf, size_t size)
{
	const kyr_ddi_handle_t *d = &card->dev.ctl_dma;
	qm_sha256_t h;
	size_t left = size, sum = 0;
	int i;

	qm_memset(x, 0, sizeof(*x));
	x->select = select;
	x->size = size;
	x->desc_size = d->size;
	x->addr_matches = buf == d->cpu_addr;
	qm_sha256_init(&h);
	if (d->sglist == NULL) {
		x->single_block = 1;
		x->layout_ok = size <= d->size && (size == 0 || d->cpu_addr != NULL);
		if (x->layout_ok && size > 0)
			qm_sha256_update(&h, d->cpu_addr, size);
	} else {
		x->n_chunks = d->n_dma_pages;
		x->layout_ok = d->n_dma_pages > 0;
		for (i = 0; i < d->n_dma_pages; i++) {
			int len = d->sglist[i].length;
			size_t n;

			if (len <= 0 || len > QELCTL_CHUNK ||
			    (i < d->n_dma_pages - 1 && len != QELCTL_CHUNK))
				x->layout_ok = 0;
			if (len <= 0)
				break;
			sum += (size_t)len;
			x->last_chunk_len = len;
			n = (size_t)len < left ? (size_t)len : left;
			if (n > 0)
				qm_sha256_update(&h, d->sglist[i].page, n);
			left -= n;
		}
		if (sum != d->size || left != 0)
			x->layout_ok = 0;
	}
	qm_sha256_final(&h, x->sha256);
}

static void qm_maybe_clobber(qelmodel_card_t *card)
{
	if (!card->clobber_desc)
		return;
	card->dev.ctl_dma.sglist = NULL;
	card->dev.ctl_dma.cpu_addr = NULL;
	card->dev.ctl_dma.size = 0;
	card->dev.ctl_dma.n_pages = card->dev.ctl_dma.n_dma_pages = 0;
}

/* ------------------------------------------------------------------ */
/* Life of the model and test-facing setters                            */

int qelmodel_init(void)
{
	if (qm_sync != NULL)
		return EBUSY;
	qm_sync = qm_sync_create();
	if (qm_sync == NULL)
		return ENOMEM;
	qm_cards = (qelmodel_card_t *)qm_zalloc(QELMODEL_MAX_CARDS *
	    sizeof(*qm_cards));
	if (qm_cards == NULL) {
		qm_sync_destroy(qm_sync);
		qm_sync = NULL;
		return ENOMEM;
	}
	qm_callers = NULL;
	qm_domain = 1;
	qm_fw = NULL;
	qm_fw_ctx = NULL;
	qm_attach_code = qm_register_code = 0;
	qm_delivered = qm_reg_seq = 0;
	qm_ev_start = qm_ev_count = 0;
	qelmodel_force_probe_count(0, 0);
	return 0;
}

void qelmodel_fini(void)
{
	int i;

	if (qm_sync == NULL)
		return;
	while (qm_callers != NULL) {
		qm_caller_t *c = qm_callers;

		qm_callers = c->next;
		qm_drop_queue(c);
		qm_free(c, sizeof(*c));
	}
	for (i = 0; i < QELMODEL_MAX_CARDS; i++)
		qm_free_card_buffers(&qm_cards[i]);
	qm_free(qm_cards, QELMODEL_MAX_CARDS * sizeof(*qm_cards));
	qm_cards = NULL;
	qm_sync_destroy(qm_sync);
	qm_sync = NULL;
}

int qelmodel_reset(void)
{
	qelmodel_fini();
	return qelmodel_init();
}

void qelmodel_lock(void)
{
	qm_lock(qm_sync);
}

void qelmodel_unlock(void)
{
	qm_unlock(qm_sync);
}

static void qm_set_fwver_locked(qelmodel_card_t *card, uint32_t word)
{
	qm_memcpy(card->regs + QEL_REG_FWVER, &word, sizeof(word));
	card->fw_ver = word;
}

int qelmodel_add_card(int instance)
{
	qelmodel_card_t *card;

	if (qm_sync == NULL || instance < 0 || instance >= QELMODEL_MAX_CARDS)
		return EINVAL;
	qm_lock(qm_sync);
	card = &qm_cards[instance];
	qm_free_card_buffers(card);
	qm_memset(card, 0, sizeof(*card));
	card->present = 1;
	card->dev.regs = card->regs;
	card->dev.instance = instance;
	card->dev.priv = card;
	card->state = QELCTL_STATE_ONLINE;
	card->status = QELCTL_STATUS_INIT;
	card->hw_ver = 0x01000000u;
	card->boot_ver = 0x01000000u;
	qm_set_fwver_locked(card, QELMODEL_FW_V2);
	qm_unlock(qm_sync);
	return 0;
}

void qelmodel_remove_card(int instance)
{
	if (qm_sync == NULL || instance < 0 || instance >= QELMODEL_MAX_CARDS)
		return;
	qm_lock(qm_sync);
	qm_cards[instance].present = 0;
	qm_unlock(qm_sync);
}

qelmodel_card_t *qelmodel_card(int instance)
{
	if (qm_cards == NULL || instance < 0 || instance >= QELMODEL_MAX_CARDS)
		return NULL;
	return &qm_cards[instance];
}

void qelmodel_set_fwver(int instance, uint32_t word)
{
	qelmodel_card_t *card = qelmodel_card(instance);

	if (card == NULL)
		return;
	qm_lock(qm_sync);
	qm_set_fwver_locked(card, word);
	qm_unlock(qm_sync);
}

/* Replaces *dst (of *dstlen bytes) with a copy of src. */
static int qm_set_bytes(uint8_t **dst, size_t *dstlen, const void *src,
    size_t len)
{
	uint8_t *p = NULL;

	if (len > 0) {
		if (src == NULL)
			return EINVAL;
		p = (uint8_t *)qm_zalloc(len);
		if (p == NULL)
			return ENOMEM;
		qm_memcpy(p, src, len);
	}
	qm_free(*dst, *dstlen);
	*dst = p;
	*dstlen = len;
	return 0;
}

int qelmodel_set_pubkey(int instance, const void *blob, size_t len)
{
	qelmodel_card_t *card = qelmodel_card(instance);
	int rc;

	if (card == NULL)
		return EINVAL;
	qm_lock(qm_sync);
	rc = qm_set_bytes(&card->pubkey, &card->pubkey_len, blob, len);
	qm_unlock(qm_sync);
	return rc;
}

int qelmodel_set_sec_reply(int instance, const void *reply, size_t len)
{
	qelmodel_card_t *card = qelmodel_card(instance);
	int rc;

	if (card == NULL)
		return EINVAL;
	qm_lock(qm_sync);
	rc = qm_set_bytes(&card->sec_reply, &card->sec_reply_len, reply, len);
	qm_unlock(qm_sync);
	return rc;
}

void qelmodel_set_domain(int domain)
{
	qm_lock(qm_sync);
	qm_domain = domain;
	qm_unlock(qm_sync);
}

int qelmodel_idc_check(const void *hdr, int *caller, int *domain)
{
	const uint8_t *p = (const uint8_t *)hdr;

	if (qm_memcmp(p, QELMODEL_IDC_MAGIC, 4) != 0)
		return 0;
	if (caller != NULL)
		*caller = (int)qm_be32(p + 4);
	if (domain != NULL)
		*domain = (int)qm_be32(p + 8);
	return 1;
}

int qelmodel_events(qelmodel_event_t *out, int max)
{
	int i, n;

	qm_lock(qm_sync);
	n = qm_ev_count < max ? qm_ev_count : max;
	for (i = 0; i < n; i++)
		out[i] = qm_events[(qm_ev_start + i) % QELMODEL_EVENTS];
	qm_unlock(qm_sync);
	return n;
}

void qelmodel_clear_events(void)
{
	qm_lock(qm_sync);
	qm_ev_start = qm_ev_count = 0;
	qm_unlock(qm_sync);
}

void qelmodel_set_firmware(qelmodel_fw_fn fn, void *ctx)
{
	qm_lock(qm_sync);
	qm_fw = fn;
	qm_fw_ctx = ctx;
	qm_unlock(qm_sync);
}

void *qelmodel_alloc(size_t size)
{
	return qm_zalloc(size);
}

void qelmodel_free(void *p, size_t size)
{
	qm_free(p, size);
}

void qelmodel_sha256(const void *data, size_t len, uint8_t out[32])
{
	qm_sha256_t h;

	qm_sha256_init(&h);
	qm_sha256_update(&h, data, len);
	qm_sha256_final(&h, out);
}

void qelmodel_set_attach_code(int code)
{
	qm_lock(qm_sync);
	qm_attach_code = code;
	qm_unlock(qm_sync);
}

void qelmodel_set_register_code(int code)
{
	qm_lock(qm_sync);
	qm_register_code = code;
	qm_unlock(qm_sync);
}

/* ------------------------------------------------------------------ */
/* Device entry points                                                  */

/* Counts a call and returns the card's scripted code for it. */
static int qm_enter(qelmodel_card_t *card, int ep)
{
	card->calls[ep]++;
	return card->code[ep];
}

int qel_hold_ctl(int instance, qel_dev_t **devp)
{
	qelmodel_card_t *card;
	int rc;

	if (qm_sync == NULL)
		return ENXIO;
	qm_lock(qm_sync);
	card = qm_present(instance);
	if (card == NULL) {
		rc = ENXIO;
	} else {
		rc = qm_enter(card, QM_EP_HOLD_CTL);
		if (rc == 0) {
			card->holds++;
			*devp = &card->dev;
			qm_event(QM_EV_HOLD_CTL, instance, -1);
		}
	}
	qm_unlock(qm_sync);
	return rc;
}

void qel_rele_ctl(qel_dev_t *dev)
{
	qelmodel_card_t *card = qm_card_of(dev);

	if (card == NULL)
		return;
	qm_lock(qm_sync);
	card->holds--;
	qm_event(QM_EV_RELE_CTL, dev->instance, -1);
	qm_unlock(qm_sync);
}

/* Bytes of a register access; other widths read the 64-bit word (the
 * driver takes any width, which qelctl must cope with). */
static size_t qm_width_bytes(int width)
{
	switch (width) {
	case 8:
		return 1;
	case 16:
		return 2;
	case 32:
		return 4;
	default:
		return 8;
	}
}

static int qm_reg_get(qel_dev_t *dev, int ep, uint8_t *space, size_t spsize,
    int offset, int width, uint64_t *val)
{
	qelmodel_card_t *card = qm_card_of(dev);
	size_t n = qm_width_bytes(width);
	int rc;

	qm_lock(qm_sync);
	rc = qm_enter(card, ep);
	if (rc == 0 && (offset < 0 || (size_t)offset + n > spsize))
		rc = EINVAL;
	if (rc == 0) {
		uint64_t v = 0;

		qm_memcpy(&v, space + offset, n);   /* little-endian host */
		*val = v;
	}
	qm_unlock(qm_sync);
	return rc;
}

static int qm_reg_put(qel_dev_t *dev, int ep, uint8_t *space, size_t spsize,
    int offset, int width, uint64_t val)
{
	qelmodel_card_t *card = qm_card_of(dev);
	size_t n = qm_width_bytes(width);
	int rc;

	qm_lock(qm_sync);
	rc = qm_enter(card, ep);
	if (rc == 0 && (width != 8 && width != 16 && width != 32 && width != 64))
		rc = EINVAL;
	if (rc == 0 && (offset < 0 || (size_t)offset + n > spsize))
		rc = EINVAL;
	if (rc == 0) {
		qm_memcpy(space + offset, &val, n);
		if (space == card->regs && (size_t)offset <= QEL_REG_FWVER + 3 &&
		    (size_t)offset + n > QEL_REG_FWVER)
			card->fw_ver = qm_fwver_reg(card);
	}
	qm_unlock(qm_sync);
	return rc;
}

int qel_getcsr(qel_dev_t *dev, int offset, int width, uint64_t *val)
{
	qelmodel_card_t *card = qm_card_of(dev);

	return qm_reg_get(dev, QM_EP_GETCSR, card->regs, QELMODEL_REG_SIZE,
	    offset, width, val);
}

int qel_putcsr(qel_dev_t *dev, int offset, int width, uint64_t val)
{
	qelmodel_card_t *card = qm_card_of(dev);

	return qm_reg_put(dev, QM_EP_PUTCSR, card->regs, QELMODEL_REG_SIZE,
	    offset, width, val);
}

int qel_getpci(qel_dev_t *dev, int offset, int width, uint64_t *val)
{
	qelmodel_card_t *card = qm_card_of(dev);

	return qm_reg_get(dev, QM_EP_GETPCI, card->pci, QELMODEL_PCI_SIZE,
	    offset, width, val);
}

int qel_putpci(qel_dev_t *dev, int offset, int width, uint64_t val)
{
	qelmodel_card_t *card = qm_card_of(dev);

	return qm_reg_put(dev, QM_EP_PUTPCI, card->pci, QELMODEL_PCI_SIZE,
	    offset, width, val);
}

/* Entry points that only count and answer with the scripted code. */
static int qm_simple(qel_dev_t *dev, int ep)
{
	qelmodel_card_t *card = qm_card_of(dev);
	int rc;

	qm_lock(qm_sync);
	rc = qm_enter(card, ep);
	qm_unlock(qm_sync);
	return rc;
}

int qel_safereset(qel_dev_t *dev)
{
	return qm_simple(dev, QM_EP_SAFERESET);
}

int qel_diagnostics(qel_dev_t *dev)
{
	return qm_simple(dev, QM_EP_DIAGNOSTICS);
}

int qel_zeroize(qel_dev_t *dev)
{
	qelmodel_card_t *card = qm_card_of(dev);
	int rc;

	qm_lock(qm_sync);
	rc = qm_enter(card, QM_EP_ZEROIZE);
	if (rc == 0)
		card->status = QELCTL_STATUS_UNINIT;
	qm_unlock(qm_sync);
	return rc;
}

static int qm_chgstate(qel_dev_t *dev, int ep, int state)
{
	qelmodel_card_t *card = qm_card_of(dev);
	int rc;

	qm_lock(qm_sync);
	rc = qm_enter(card, ep);
	if (rc == 0) {
		card->state = state;
		card->state_changes++;
	}
	qm_unlock(qm_sync);
	return rc;
}

int qel_chgstate_offline(qel_dev_t *dev)
{
	return qm_chgstate(dev, QM_EP_CHGSTATE_OFFLINE, QELCTL_STATE_OFFLINE);
}

int qel_chgstate_diag(qel_dev_t *dev)
{
	return qm_chgstate(dev, QM_EP_CHGSTATE_DIAG, QELCTL_STATE_DIAG);
}

int qel_chgstate_online(qel_dev_t *dev)
{
	return qm_chgstate(dev, QM_EP_CHGSTATE_ONLINE, QELCTL_STATE_ONLINE);
}

void qel_failure(qel_dev_t *dev, int code, const char *text)
{
	qelmodel_card_t *card = qm_card_of(dev);
	size_t n;

	if (card == NULL)
		return;
	qm_lock(qm_sync);
	card->state = QELCTL_STATE_FAILED;
	card->dev.fault_flags |= QEL_FAULT_FAILED;
	card->failure_code = code;
	n = text != NULL ? qm_strnlen(text, sizeof(card->failure_text) - 1) : 0;
	if (n > 0)
		qm_memcpy(card->failure_text, text, n);
	card->failure_text[n] = '\0';
	qm_unlock(qm_sync);
}

int qel_provider_in_use(qel_dev_t *dev)
{
	qelmodel_card_t *card = qm_card_of(dev);
	int v;

	qm_lock(qm_sync);
	v = card->provider_in_use;
	qm_unlock(qm_sync);
	return v;
}

int qel_presuspend(qel_dev_t *dev, int flag)
{
	qelmodel_card_t *card = qm_card_of(dev);
	int v;

	(void)flag;
	qm_lock(qm_sync);
	v = card->presuspend_answer;
	qm_unlock(qm_sync);
	return v;
}

int qel_postresume(qel_dev_t *dev, int flag)
{
	qelmodel_card_t *card = qm_card_of(dev);
	int v;

	(void)flag;
	qm_lock(qm_sync);
	v = card->postresume_answer;
	qm_unlock(qm_sync);
	return v;
}

int qel_get_devinfo(qel_dev_t *dev, int *state, int *status)
{
	qelmodel_card_t *card = qm_card_of(dev);
	int rc;

	qm_lock(qm_sync);
	rc = qm_enter(card, QM_EP_GET_DEVINFO);
	if (rc == 0) {
		*state = card->state;
		*status = card->status;
	}
	qm_unlock(qm_sync);
	return rc;
}

int qel_get_verinfo(qel_dev_t *dev, uint32_t *hw, uint32_t *fw, uint32_t *boot)
{
	qelmodel_card_t *card = qm_card_of(dev);
	int rc;

	qm_lock(qm_sync);
	rc = qm_enter(card, QM_EP_GET_VERINFO);
	if (rc == 0) {
		*hw = card->hw_ver;
		*fw = card->fw_ver;
		*boot = card->boot_ver;
	}
	qm_unlock(qm_sync);
	return rc;
}

/* Count qel_probe reports in place of the real one, when forced. */
static int qm_probe_forced, qm_probe_count;

void qelmodel_force_probe_count(int force, int count)
{
	qm_probe_forced = force;
	qm_probe_count = count;
}

int qel_probe(int *instances, int *count)
{
	int i, n = 0, cap = *count;

	if (qm_sync == NULL) {
		*count = 0;
		return 0;
	}
	qm_lock(qm_sync);
	for (i = 0; i < QELMODEL_MAX_CARDS && n < cap; i++)
		if (qm_cards[i].present)
			instances[n++] = i;
	if (qm_probe_forced)
		n = qm_probe_count;
	qm_unlock(qm_sync);
	*count = n;
	return 0;
}

int qel_getpubkey(qel_dev_t *dev, void **blob, size_t *len)
{
	qelmodel_card_t *card = qm_card_of(dev);
	void *p = NULL;
	int rc;

	qm_lock(qm_sync);
	rc = qm_enter(card, QM_EP_GETPUBKEY);
	if (rc == 0 && card->pubkey == NULL)
		rc = EIO;
	if (rc == 0) {
		/* The caller frees it with kmem_free(blob, len). */
		p = kmem_alloc(card->pubkey_len, KM_SLEEP);
		if (p == NULL) {
			rc = ENOMEM;
		} else {
			qm_memcpy(p, card->pubkey, card->pubkey_len);
			*blob = p;
			*len = card->pubkey_len;
		}
	}
	qm_unlock(qm_sync);
	return rc;
}

int qel_fdi_req(qel_dev_t *dev, fdi_request_t *req)
{
	qelmodel_card_t *card = qm_card_of(dev);
	int rc;

	qm_lock(qm_sync);
	rc = qm_enter(card, QM_EP_FDI_REQ);
	card->last_fdi_req = *req;
	card->n_fdi_req++;
	qm_unlock(qm_sync);
	return rc;
}

int qel_fdi_dl(qel_dev_t *dev, void *buf, size_t size)
{
	qelmodel_card_t *card = qm_card_of(dev);
	int rc;

	qm_lock(qm_sync);
	rc = qm_enter(card, QM_EP_FDI_DL);
	qm_xfer_record(card, &card->last_fdi_dl, -1, buf, size);
	card->n_fdi_dl++;
	qm_maybe_clobber(card);
	qm_unlock(qm_sync);
	return rc;
}

/* SHA-256 of len bytes at offset off of what the descriptor describes;
 * EINVAL when the range lies outside. */
static int qm_desc_sha256(const kyr_ddi_handle_t *d, size_t off, size_t len,
    uint8_t out[32])
{
	uint8_t piece[256];
	qm_sha256_t h;

	qm_sha256_init(&h);
	while (len > 0) {
		size_t n = len < sizeof(piece) ? len : sizeof(piece);

		if (qm_desc_rw(d, off, piece, n, 0) != 0)
			return EINVAL;
		qm_sha256_update(&h, piece, n);
		off += n;
		len -= n;
	}
	qm_sha256_final(&h, out);
	return 0;
}

/* A card that checks images: the image arrived whole through the
 * descriptor, at the address passed, and its first 32 bytes are the
 * SHA-256 of the rest. */
static int qm_image_sound(const qelmodel_card_t *card, const qelmodel_xfer_t *x,
    size_t size)
{
	const kyr_ddi_handle_t *d = &card->dev.ctl_dma;
	uint8_t want[32], got[32];

	if (!x->layout_ok || !x->addr_matches || x->desc_size < size || size < 32)
		return 0;
	if (qm_desc_rw(d, 0, want, sizeof(want), 0) != 0 ||
	    qm_desc_sha256(d, 32, size - 32, got) != 0)
		return 0;
	return qm_memcmp(want, got, sizeof(got)) == 0;
}

int qel_fwupdate(qel_dev_t *dev, int select, void *buf, size_t size)
{
	qelmodel_card_t *card = qm_card_of(dev);
	int rc;

	qm_lock(qm_sync);
	rc = qm_enter(card, QM_EP_FWUPDATE);
	qm_xfer_record(card, &card->last_fw, select, buf, size);
	if (rc == 0 && card->check_images &&
	    !qm_image_sound(card, &card->last_fw, size)) {
		card->n_bad_images++;
		rc = EBADMSG;
	}
	card->n_fw++;
	qm_maybe_clobber(card);
	qm_unlock(qm_sync);
	return rc;
}

/* Keeps a copy of the security request (IDC header apart) for tests. */
static int qm_sec_keep(qelmodel_card_t *card, size_t h, size_t size)
{
	const kyr_ddi_handle_t *d = &card->dev.ctl_dma;
	uint8_t *req;

	if (size < h)
		return EINVAL;
	req = (uint8_t *)qm_zalloc(size);
	if (req == NULL)
		return ENOMEM;
	if (qm_desc_rw(d, 0, req, size, 0) != 0) {
		qm_free(req, size);
		return EINVAL;
	}
	card->sec_hdr_present = h != 0 && qelmodel_idc_check(req, NULL, NULL);
	qm_memset(card->sec_hdr, 0, sizeof(card->sec_hdr));
	if (h != 0)
		qm_memcpy(card->sec_hdr, req, h);
	qm_free(card->sec_req, card->sec_req_len);
	card->sec_req_len = size - h;
	card->sec_req = (uint8_t *)qm_zalloc(card->sec_req_len);
	if (card->sec_req != NULL && card->sec_req_len > 0)
		qm_memcpy(card->sec_req, req + h, card->sec_req_len);
	else if (card->sec_req == NULL)
		card->sec_req_len = 0;
	qm_free(req, size);
	return 0;
}

int qel_seccmd(qel_dev_t *dev, void *buf, size_t buflen, uint32_t *size,
    uint32_t flags)
{
	qelmodel_card_t *card = qm_card_of(dev);
	size_t h, need;
	int rc;

	qm_lock(qm_sync);
	card->calls[QM_EP_SECCMD]++;
	card->n_sec++;
	card->sec_flags = flags;
	qm_event(QM_EV_SECCMD, dev->instance, -1);
	h = qm_fwver_reg(card) >= QELMODEL_FW_V2 ? QELCTL_IDC_HDR : 0;
	qm_xfer_record(card, &card->last_sec, -1, buf, *size);
	rc = *size > buflen || buflen > card->dev.ctl_dma.size ? EINVAL : 0;
	if (rc == 0)
		rc = qm_sec_keep(card, h, *size);
	if (rc == 0)
		rc = card->code[QM_EP_SECCMD];
	if (rc == 0 && card->sec_reply != NULL) {
		need = h + card->sec_reply_len;
		if (need > buflen) {
			*size = (uint32_t)need;
			rc = ENOSPC;
		} else {
			rc = qm_desc_rw(&card->dev.ctl_dma, h, card->sec_reply,
			    card->sec_reply_len, 1);
			if (rc == 0)
				*size = (uint32_t)need;
		}
	}
	/* Without a scripted reply the request stays in the buffer as the
	 * reply: an echo of *size bytes. */
	qm_maybe_clobber(card);
	qm_unlock(qm_sync);
	return rc;
}

int qel_seccmd_disconnect(qel_dev_t *dev, int domain, int caller)
{
	qelmodel_card_t *card = qm_card_of(dev);

	qm_lock(qm_sync);
	if (card != NULL) {
		card->n_disconnect++;
		card->last_disconnect_domain = domain;
		card->last_disconnect_caller = caller;
	}
	qm_event(QM_EV_SECCMD_DISCONNECT, dev != NULL ? dev->instance : -1,
	    caller);
	qm_unlock(qm_sync);
	return 0;
}

int qel_get_domain(void)
{
	int d;

	if (qm_sync == NULL)
		return 0;
	qm_lock(qm_sync);
	d = qm_domain;
	qm_unlock(qm_sync);
	return d;
}

void qel_update_idc_hdr(void *buf, int caller, int domain)
{
	uint8_t *p = (uint8_t *)buf;

	qm_memcpy(p, QELMODEL_IDC_MAGIC, 4);
	qm_put_be32(p + 4, (uint32_t)caller);
	qm_put_be32(p + 8, (uint32_t)domain);
	qm_memset(p + 12, 0, 4);
}

/* ------------------------------------------------------------------ */
/* Upcall service                                                       */

int qel_upcall_attach(int caller)
{
	qm_caller_t *c;
	int rc = 0;

	if (qm_sync == NULL)
		return ENXIO;
	qm_lock(qm_sync);
	if (qm_attach_code != 0) {
		rc = qm_attach_code;
		goto out;
	}
	c = qm_find_caller(caller);
	if (c != NULL && c->attached) {
		rc = EBUSY;
		goto out;
	}
	if (c == NULL) {
		c = (qm_caller_t *)qm_zalloc(sizeof(*c));
		if (c == NULL) {
			rc = ENOMEM;
			goto out;
		}
		c->id = caller;
		c->next = qm_callers;
		qm_callers = c;
	}
	qm_drop_queue(c);
	c->attached = 1;
	c->registered = 0;
	c->ksname[0] = '\0';
	c->interrupt = 0;
	qm_event(QM_EV_UPCALL_ATTACH, -1, caller);
out:
	qm_unlock(qm_sync);
	return rc;
}

void qel_upcall_detach(int caller)
{
	qm_caller_t *c;

	qm_lock(qm_sync);
	c = qm_attached(caller);
	if (c != NULL) {
		c->attached = 0;
		c->registered = 0;
		qm_drop_queue(c);
		qm_event(QM_EV_UPCALL_DETACH, -1, caller);
		qm_broadcast(qm_sync);
	}
	qm_unlock(qm_sync);
}

int qel_upcall_service(int caller, void **msg, size_t *len)
{
	qm_caller_t *c;
	int rc = 0;

	qm_lock(qm_sync);
	c = qm_attached(caller);
	if (c == NULL) {
		qm_unlock(qm_sync);
		return ENXIO;
	}
	/* A message not released is given up. */
	qm_free_msg(c->current);
	c->current = NULL;
	c->waiting = 1;
	qm_broadcast(qm_sync);
	while (c->attached && c->head == NULL && !c->interrupt && rc == 0)
		rc = qm_wait(qm_sync, -1);
	c->waiting = 0;
	if (rc == 0 && !c->attached)
		rc = ENXIO;
	if (rc == 0 && c->interrupt)
		rc = EINTR;
	if (rc == EINTR)
		c->interrupt = 0;
	if (rc == 0) {
		c->current = c->head;
		c->head = c->head->next;
		if (c->head == NULL)
			c->tail = NULL;
		c->current->next = NULL;
		*msg = c->current->data;
		*len = c->current->len;
		qm_delivered++;
		qm_event(QM_EV_UPCALL_SERVICE, -1, caller);
	}
	qm_broadcast(qm_sync);
	qm_unlock(qm_sync);
	return rc;
}

void qel_upcall_release(int caller)
{
	qm_caller_t *c;

	qm_lock(qm_sync);
	c = qm_find_caller(caller);
	if (c != NULL) {
		qm_free_msg(c->current);
		c->current = NULL;
	}
	qm_event(QM_EV_UPCALL_RELEASE, -1, caller);
	qm_unlock(qm_sync);
}

int qel_upcall_dbm_register(int caller, const void *params, size_t len)
{
	qm_caller_t *c;
	size_t n;
	int rc = 0;

	qm_lock(qm_sync);
	c = qm_attached(caller);
	if (qm_register_code != 0)
		rc = qm_register_code;
	else if (c == NULL)
		rc = ENXIO;
	if (rc == 0) {
		n = len < QELMODEL_KSNAME - 1 ? len : QELMODEL_KSNAME - 1;
		qm_memset(c->ksname, 0, sizeof(c->ksname));
		if (n > 0 && params != NULL)
			qm_memcpy(c->ksname, params, n);
		c->registered = 1;
		c->reg_seq = ++qm_reg_seq;
		qm_event(QM_EV_DBM_REGISTER, -1, caller);
		qm_broadcast(qm_sync);
	}
	qm_unlock(qm_sync);
	return rc;
}

/* The caller registered latest under ksname. */
static qm_caller_t *qm_by_ksname(const char *ksname)
{
	qm_caller_t *c, *best = NULL;

	for (c = qm_callers; c != NULL; c = c->next) {
		if (!c->attached || !c->registered ||
		    qm_strncmp(c->ksname, ksname, QELMODEL_KSNAME) != 0)
			continue;
		if (best == NULL || c->reg_seq > best->reg_seq)
			best = c;
	}
	return best;
}

static int qm_enqueue(qm_caller_t *c, const void *msg, size_t len)
{
	qm_msg_t *m = (qm_msg_t *)qm_zalloc(sizeof(*m) + len);

	if (m == NULL)
		return ENOMEM;
	m->len = len;
	qm_memcpy(m->data, msg, len);
	if (c->tail != NULL)
		c->tail->next = m;
	else
		c->head = m;
	c->tail = m;
	qm_broadcast(qm_sync);
	return 0;
}

int qelmodel_post_upcall(const char *ksname, const void *msg, size_t len)
{
	qm_caller_t *c;
	int rc;

	if (ksname == NULL || msg == NULL || len == 0 || len > QM_MAX_UPCALL)
		return EINVAL;
	qm_lock(qm_sync);
	c = qm_by_ksname(ksname);
	rc = c != NULL ? qm_enqueue(c, msg, len) : ENOENT;
	qm_unlock(qm_sync);
	return rc;
}

int qelmodel_post_upcall_to(int caller, const void *msg, size_t len)
{
	qm_caller_t *c;
	int rc;

	if (msg == NULL || len == 0 || len > QM_MAX_UPCALL)
		return EINVAL;
	qm_lock(qm_sync);
	c = qm_attached(caller);
	rc = c != NULL ? qm_enqueue(c, msg, len) : ENOENT;
	qm_unlock(qm_sync);
	return rc;
}

int qelmodel_registered(const char *ksname)
{
	qm_caller_t *c;
	int id;

	qm_lock(qm_sync);
	c = qm_by_ksname(ksname);
	id = c != NULL ? c->id : -1;
	qm_unlock(qm_sync);
	return id;
}

/* Waits, lock held, until done(arg) holds or the time is up. */
static int qm_wait_until(int (*done)(const void *, int *), const void *arg,
    int *out, long timeout_ms)
{
	uint64_t end = qm_now_ms() + (uint64_t)(timeout_ms < 0 ? 0 : timeout_ms);

	while (!done(arg, out)) {
		long left = -1;

		if (timeout_ms >= 0) {
			uint64_t now = qm_now_ms();

			if (now >= end)
				return ETIME;
			left = (long)(end - now);
		}
		(void)qm_wait(qm_sync, left);
	}
	return 0;
}

static int qm_is_registered(const void *arg, int *out)
{
	qm_caller_t *c = qm_by_ksname((const char *)arg);

	if (c == NULL)
		return 0;
	*out = c->id;
	return 1;
}

int qelmodel_wait_registered(const char *ksname, long timeout_ms, int *caller)
{
	int id = -1, rc;

	qm_lock(qm_sync);
	rc = qm_wait_until(qm_is_registered, ksname, &id, timeout_ms);
	qm_unlock(qm_sync);
	if (rc == 0 && caller != NULL)
		*caller = id;
	return rc;
}

static int qm_is_waiting(const void *arg, int *out)
{
	qm_caller_t *c = qm_attached(*(const int *)arg);

	(void)out;
	return c != NULL && c->waiting;
}

int qelmodel_upcall_waiting(int caller)
{
	int dummy = 0, w;

	qm_lock(qm_sync);
	w = qm_is_waiting(&caller, &dummy);
	qm_unlock(qm_sync);
	return w;
}

int qelmodel_wait_upcall_waiting(int caller, long timeout_ms)
{
	int dummy = 0, rc;

	qm_lock(qm_sync);
	rc = qm_wait_until(qm_is_waiting, &caller, &dummy, timeout_ms);
	qm_unlock(qm_sync);
	return rc;
}

int qelmodel_interrupt(int caller)
{
	qm_caller_t *c;
	int rc = ENOENT;

	qm_lock(qm_sync);
	c = qm_attached(caller);
	if (c != NULL) {
		c->interrupt = 1;
		qm_broadcast(qm_sync);
		rc = 0;
	}
	qm_unlock(qm_sync);
	return rc;
}

long qelmodel_upcalls_delivered(void)
{
	long n;

	qm_lock(qm_sync);
	n = qm_delivered;
	qm_unlock(qm_sync);
	return n;
}

/* ------------------------------------------------------------------ */
/* Upcall responses and the instance walk                               */

int qel_get_next_instance(int *instance)
{
	int i;

	if (qm_sync == NULL)
		return ENOENT;
	qm_lock(qm_sync);
	for (i = *instance < -1 ? 0 : *instance + 1; i < QELMODEL_MAX_CARDS; i++) {
		if (qm_cards[i].present) {
			*instance = i;
			qm_unlock(qm_sync);
			return 0;
		}
	}
	qm_unlock(qm_sync);
	return ENOENT;
}

qel_dev_t *qel_hold_instance(int instance)
{
	qelmodel_card_t *card;
	qel_dev_t *dev = NULL;

	if (qm_sync == NULL)
		return NULL;
	qm_lock(qm_sync);
	card = qm_present(instance);
	if (card != NULL && qm_enter(card, QM_EP_HOLD_INSTANCE) == 0) {
		card->holds++;
		dev = &card->dev;
		qm_event(QM_EV_HOLD_INSTANCE, instance, -1);
	}
	qm_unlock(qm_sync);
	return dev;
}

void qel_rele_instance(qel_dev_t *dev)
{
	qelmodel_card_t *card = qm_card_of(dev);

	if (card == NULL)
		return;
	qm_lock(qm_sync);
	card->holds--;
	qm_event(QM_EV_RELE_INSTANCE, dev->instance, -1);
	qm_unlock(qm_sync);
}

/* The default firmware: accept with a DB_RESPONSE of status 0. */
static int qm_default_fw(const uint8_t *msg, size_t len, void **reply,
    size_t *replylen)
{
	uint8_t *r = (uint8_t *)qm_zalloc(QM_PARAM_SIZE);

	if (r == NULL)
		return ENOMEM;
	qm_memcpy(r, msg, len < QM_PARAM_SIZE ? len : QM_PARAM_SIZE);
	qm_put_be32(r + 0, QM_DB_RESPONSE);
	qm_put_be32(r + 12, 0);
	qm_put_be32(r + 24, QM_PARAM_SIZE);
	*reply = r;
	*replylen = QM_PARAM_SIZE;
	return 0;
}

int qel_dbm_response(qel_dev_t *dev, void *buf, size_t len, int caller,
    void **reply, size_t *replylen, void **token)
{
	qelmodel_card_t *card = qm_card_of(dev);
	const uint8_t *msg = (const uint8_t *)buf + QELCTL_IDC_HDR;
	qelmodel_fw_fn fw;
	void *fw_ctx, *r = NULL;
	size_t rlen = 0, mlen;
	qm_reply_t *tok;
	int rc;

	qm_lock(qm_sync);
	rc = qm_enter(card, QM_EP_DBM_RESPONSE);
	card->n_dbm++;
	card->last_dbm_caller = caller;
	qm_event(QM_EV_DBM_RESPONSE, dev->instance, caller);
	if (rc == 0 && (len < QELCTL_IDC_HDR + QM_HDR_SIZE ||
	    !qelmodel_idc_check(buf, NULL, NULL)))
		rc = EINVAL;
	if (rc == 0)
		card->last_dbm_type = qm_be32(msg);
	fw = qm_fw;
	fw_ctx = qm_fw_ctx;
	qm_unlock(qm_sync);
	if (rc != 0)
		return rc;

	mlen = len - QELCTL_IDC_HDR;
	if (fw != NULL)
		rc = fw(fw_ctx, dev->instance, caller, msg, mlen, &r, &rlen);
	else
		rc = qm_default_fw(msg, mlen, &r, &rlen);
	if (rc != 0)
		return rc;
	tok = (qm_reply_t *)qm_zalloc(sizeof(*tok));
	if (tok == NULL) {
		qm_free(r, rlen);
		return ENOMEM;
	}
	tok->data = r;
	tok->len = rlen;
	*reply = r;
	*replylen = rlen;
	*token = tok;
	return 0;
}

void qel_dbm_freereq(void *token)
{
	qm_reply_t *tok = (qm_reply_t *)token;

	if (tok == NULL)
		return;
	qm_free(tok->data, tok->len);
	qm_free(tok, sizeof(*tok));
	qm_lock(qm_sync);
	qm_event(QM_EV_DBM_FREEREQ, -1, -1);
	qm_unlock(qm_sync);
}

/* ------------------------------------------------------------------ */
/* Slot table of per-open records.  The caller serializes the calls (the
 * core holds a sleeping lock of its own around them); they may sleep.  Each record is allocated on
 * its own, so a record never moves while the table grows. */

struct qel_table {
	size_t slotsize;
	int nslots;
	void **slots;
};

int qel_table_init(qel_table_t **tablep, size_t slotsize)
{
	qel_table_t *t;

	qm_may_sleep("qel_table_init");
	t = (qel_table_t *)qm_zalloc(sizeof(*t));
	if (t == NULL)
		return ENOMEM;
	t->slotsize = slotsize;
	*tablep = t;
	return 0;
}

int qel_table_alloc_slot(qel_table_t *table, int *index)
{
	int i;
	void *rec;

	qm_may_sleep("qel_table_alloc_slot");
	for (i = 0; i < table->nslots; i++)
		if (table->slots[i] == NULL)
			break;
	if (i == table->nslots) {
		int n = table->nslots == 0 ? 16 : table->nslots * 2;
		void **s;

		if (n > QM_TABLE_MAX)
			return ENOMEM;
		s = (void **)qm_zalloc((size_t)n * sizeof(*s));
		if (s == NULL)
			return ENOMEM;
		if (table->nslots > 0)
			qm_memcpy(s, table->slots, (size_t)table->nslots * sizeof(*s));
		qm_free(table->slots, (size_t)table->nslots * sizeof(*s));
		table->slots = s;
		table->nslots = n;
	}
	rec = qm_zalloc(table->slotsize);
	if (rec == NULL)
		return ENOMEM;
	table->slots[i] = rec;
	*index = i;
	return 0;
}

void *qel_table_lookup(qel_table_t *table, int index)
{
	qm_may_sleep("qel_table_lookup");
	if (table == NULL || index < 0 || index >= table->nslots)
		return NULL;
	return table->slots[index];
}

void qel_table_free_slot(qel_table_t *table, int index)
{
	qm_may_sleep("qel_table_free_slot");
	if (table == NULL || index < 0 || index >= table->nslots)
		return;
	qm_free(table->slots[index], table->slotsize);
	table->slots[index] = NULL;
}

void qel_table_destroy(qel_table_t *table)
{
	int i;

	qm_may_sleep("qel_table_destroy");
	if (table == NULL)
		return;
	for (i = 0; i < table->nslots; i++)
		qm_free(table->slots[i], table->slotsize);
	qm_free(table->slots, (size_t)table->nslots * sizeof(void *));
	qm_free(table, sizeof(*table));
}
