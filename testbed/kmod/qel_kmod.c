/*
 * Stand-in qel driver as a kernel module, for tests inside a virtual
 * machine only.  It exports the qel_ entry points that qelctl calls,
 * served by the card model that the user-space test bed uses too, and
 * offers a firmware face: the character device "qelfw" (qelfw.h) through
 * which a test program posts upcalls, answers what the daemon submits and
 * sets or reads card facts.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/init.h>
#include <linux/fs.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>
#include <linux/mutex.h>
#include <linux/wait.h>
#include <linux/sched.h>
#include <linux/delay.h>
#include <linux/list.h>
#include <linux/jiffies.h>
#include <linux/uaccess.h>
#include <linux/gfp.h>

/* qelctl's compatibility header, reached through the model's, maps short
 * names like mutex_init onto its own routines; this file uses the kernel's
 * mutexes only through DEFINE_MUTEX and mutex_lock/unlock. */
#undef mutex_init
#include "qelmodel.h"
#include "dbm_msg.h"
#include "qelfw.h"
#include "qelmod_kernel.h"

/* ---- Exports ------------------------------------------------------------ */

EXPORT_SYMBOL(qel_hold_ctl);
EXPORT_SYMBOL(qel_rele_ctl);
EXPORT_SYMBOL(qel_getcsr);
EXPORT_SYMBOL(qel_putcsr);
EXPORT_SYMBOL(qel_getpci);
EXPORT_SYMBOL(qel_putpci);
EXPORT_SYMBOL(qel_safereset);
EXPORT_SYMBOL(qel_diagnostics);
EXPORT_SYMBOL(qel_zeroize);
EXPORT_SYMBOL(qel_chgstate_offline);
EXPORT_SYMBOL(qel_chgstate_diag);
EXPORT_SYMBOL(qel_chgstate_online);
EXPORT_SYMBOL(qel_failure);
EXPORT_SYMBOL(qel_provider_in_use);
EXPORT_SYMBOL(qel_presuspend);
EXPORT_SYMBOL(qel_postresume);
EXPORT_SYMBOL(qel_get_devinfo);
EXPORT_SYMBOL(qel_get_verinfo);
EXPORT_SYMBOL(qel_probe);
EXPORT_SYMBOL(qel_getpubkey);
EXPORT_SYMBOL(qel_fdi_req);
EXPORT_SYMBOL(qel_fdi_dl);
EXPORT_SYMBOL(qel_fwupdate);
EXPORT_SYMBOL(qel_seccmd);
EXPORT_SYMBOL(qel_seccmd_disconnect);
EXPORT_SYMBOL(qel_get_domain);
EXPORT_SYMBOL(qel_update_idc_hdr);
EXPORT_SYMBOL(qel_upcall_attach);
EXPORT_SYMBOL(qel_upcall_detach);
EXPORT_SYMBOL(qel_upcall_service);
EXPORT_SYMBOL(qel_upcall_release);
EXPORT_SYMBOL(qel_upcall_dbm_register);
EXPORT_SYMBOL(qel_get_next_instance);
EXPORT_SYMBOL(qel_hold_instance);
EXPORT_SYMBOL(qel_rele_instance);
EXPORT_SYMBOL(qel_dbm_response);
EXPORT_SYMBOL(qel_dbm_freereq);
EXPORT_SYMBOL(qel_table_init);
EXPORT_SYMBOL(qel_table_alloc_slot);
EXPORT_SYMBOL(qel_table_lookup);
EXPORT_SYMBOL(qel_table_free_slot);
EXPORT_SYMBOL(qel_table_destroy);

/* ---- Memory handed to qelctl ------------------------------------------- */

/* The driver allocates the public-key blob with qelctl's allocator rule and
 * qelctl frees it with its own kmem_free.  A module cannot call into a
 * module that depends on it, so the stand-in carries the same rule: up to
 * 128 KiB kmalloc, above it DMA-zone pages of the shared order. */
void *qelctl_kmem_alloc(size_t size, int flag)
{
	gfp_t gfp = flag == KM_NOSLEEP ? (GFP_ATOMIC | __GFP_NOWARN) : GFP_KERNEL;
	int order = qelctl_kmem_order(size);
	void *p;

	if (order > QELCTL_KMEM_MAX_ORDER)
		return NULL;
	if (order < 0)
		p = kmalloc(size, gfp);
	else
		p = (void *)__get_free_pages(gfp | GFP_DMA | __GFP_NOWARN, order);
	if (p != NULL)
		qelmod_kmem_account(1, (long)size);
	return p;
}

/* ---- Firmware face: submissions waiting for an answer ------------------- */

/* One submission of the daemon, on the stack of the thread that submitted
 * it (inside qel_dbm_response).  It sits on qelfw_queue until a reader
 * takes it, then on qelfw_taken until it is answered; the answerer removes
 * it and sets done, after which only the submitter touches it. */
struct qelfw_req {
	struct list_head link;
	u32 id;
	int instance;
	int caller;
	const void *msg;
	size_t len;
	int done;
	int code;
	void *reply;
	size_t replylen;
};

static DEFINE_MUTEX(qelfw_lock);             /* guards everything below */
static DECLARE_WAIT_QUEUE_HEAD(qelfw_wq);    /* readers and submitters */
static LIST_HEAD(qelfw_queue);
static LIST_HEAD(qelfw_taken);
static struct file *qelfw_capturer;         /* the file that answers, or none */
static u32 qelfw_next_id = 1;
static int qelfw_major;

/* The answer of a firmware that accepts: the message's first 412 bytes
 * turned into a DB_RESPONSE with status 0. */
static int qelfw_accept(const void *msg, size_t len, void **reply,
    size_t *replylen)
{
	dbm_header_t *h;
	u8 *r = qelmodel_alloc(DBM_PARAM_SIZE);

	if (r == NULL)
		return ENOMEM;
	memcpy(r, msg, min_t(size_t, len, DBM_PARAM_SIZE));
	h = (dbm_header_t *)r;
	h->type = cpu_to_be32(DB_RESPONSE);
	h->status = 0;
	h->paramSize = cpu_to_be32(DBM_PARAM_SIZE);
	*reply = r;
	*replylen = DBM_PARAM_SIZE;
	return 0;
}

static u32 qelfw_msg_type(const void *msg, size_t len)
{
	if (len < sizeof(u32))
		return 0;
	return be32_to_cpu(*(const __be32 *)msg);
}

/* Firmware hook of the model.  Hellos are always accepted here; everything
 * else goes to the test program while one captures, and the submitter
 * sleeps until it is answered or a signal ends the wait. */
static int qelfw_firmware(void *ctx, int instance, int caller,
    const void *msg, size_t len, void **reply, size_t *replylen)
{
	struct qelfw_req req;
	int rc;

	(void)ctx;
	if (qelfw_msg_type(msg, len) == DB_HELLO)
		return qelfw_accept(msg, len, reply, replylen);

	memset(&req, 0, sizeof(req));
	req.instance = instance;
	req.caller = caller;
	req.msg = msg;
	req.len = len;
	mutex_lock(&qelfw_lock);
	if (qelfw_capturer == NULL) {
		mutex_unlock(&qelfw_lock);
		return qelfw_accept(msg, len, reply, replylen);
	}
	req.id = qelfw_next_id++;
	list_add_tail(&req.link, &qelfw_queue);
	wake_up_all(&qelfw_wq);
	mutex_unlock(&qelfw_lock);

	rc = wait_event_interruptible(qelfw_wq, READ_ONCE(req.done));

	mutex_lock(&qelfw_lock);
	if (!req.done) {
		/* Interrupted before an answer: nobody may reach req any more. */
		list_del(&req.link);
		mutex_unlock(&qelfw_lock);
		return rc != 0 ? EINTR : EIO;
	}
	mutex_unlock(&qelfw_lock);
	if (req.code != 0) {
		qelmodel_free(req.reply, req.replylen);
		return req.code;
	}
	*reply = req.reply;
	*replylen = req.replylen;
	return 0;
}

/* Answers every submission still waiting with EIO; called when the
 * capturing file goes away.  qelfw_lock held. */
static void qelfw_fail_all(void)
{
	struct qelfw_req *req, *next;

	list_for_each_entry_safe(req, next, &qelfw_queue, link) {
		list_del(&req->link);
		req->code = EIO;
		WRITE_ONCE(req->done, 1);
	}
	list_for_each_entry_safe(req, next, &qelfw_taken, link) {
		list_del(&req->link);
		req->code = EIO;
		WRITE_ONCE(req->done, 1);
	}
	wake_up_all(&qelfw_wq);
}

/* ---- Firmware face: commands ------------------------------------------- */

static int qelfw_capture(struct file *file, unsigned long on)
{
	int rc = 0;

	mutex_lock(&qelfw_lock);
	if (on) {
		if (qelfw_capturer != NULL && qelfw_capturer != file)
			rc = EBUSY;
		else
			qelfw_capturer = file;
	} else if (qelfw_capturer == file) {
		qelfw_capturer = NULL;
		qelfw_fail_all();
	}
	mutex_unlock(&qelfw_lock);
	return rc;
}

static int qelfw_next(void __user *uarg)
{
	struct qelfw_next n;
	struct qelfw_req *req;
	long left;
	int rc;

	if (copy_from_user(&n, uarg, sizeof(n)))
		return EFAULT;
	left = msecs_to_jiffies(n.timeout_ms < 0 ? 0 : (unsigned int)n.timeout_ms);
	for (;;) {
		mutex_lock(&qelfw_lock);
		if (!list_empty(&qelfw_queue))
			break;
		mutex_unlock(&qelfw_lock);
		if (left <= 0)
			return ETIME;
		left = wait_event_interruptible_timeout(qelfw_wq,
		    !list_empty(&qelfw_queue), left);
		if (left < 0)
			return EINTR;
		if (left == 0 && list_empty(&qelfw_queue))
			return ETIME;
	}
	/* The submitter sleeps until answered, so its message stays valid
	 * while the lock is held. */
	req = list_first_entry(&qelfw_queue, struct qelfw_req, link);
	n.len = (u32)req->len;
	n.id = req->id;
	n.instance = req->instance;
	n.caller = req->caller;
	rc = 0;
	if (copy_to_user((void __user *)(uintptr_t)n.buf, req->msg,
	    min_t(size_t, req->len, n.cap)) ||
	    copy_to_user(uarg, &n, sizeof(n)))
		rc = EFAULT;
	if (rc == 0)
		list_move_tail(&req->link, &qelfw_taken);
	mutex_unlock(&qelfw_lock);
	return rc;
}

static int qelfw_answer(void __user *uarg)
{
	struct qelfw_answer a;
	struct qelfw_req *req, *found = NULL;
	void *reply = NULL;

	if (copy_from_user(&a, uarg, sizeof(a)))
		return EFAULT;
	if (a.code == 0) {
		if (a.len < sizeof(dbm_header_t) || a.len > DBM_MAX_MSG)
			return EINVAL;
		reply = qelmodel_alloc(a.len);
		if (reply == NULL)
			return ENOMEM;
		if (copy_from_user(reply, (const void __user *)(uintptr_t)a.buf,
		    a.len)) {
			qelmodel_free(reply, a.len);
			return EFAULT;
		}
	}
	mutex_lock(&qelfw_lock);
	list_for_each_entry(req, &qelfw_taken, link) {
		if (req->id == a.id) {
			found = req;
			break;
		}
	}
	if (found != NULL) {
		list_del(&found->link);
		found->code = a.code;
		found->reply = reply;
		found->replylen = reply != NULL ? a.len : 0;
		WRITE_ONCE(found->done, 1);
		wake_up_all(&qelfw_wq);
	}
	mutex_unlock(&qelfw_lock);
	if (found == NULL) {
		qelmodel_free(reply, a.len);
		return ENOENT;
	}
	return 0;
}

static int qelfw_post(void __user *uarg)
{
	struct qelfw_post p;
	void *msg;
	int rc;

	if (copy_from_user(&p, uarg, sizeof(p)))
		return EFAULT;
	p.ksname[sizeof(p.ksname) - 1] = '\0';
	if (p.len < sizeof(dbm_header_t) || p.len > DBM_MAX_MSG)
		return EINVAL;
	msg = vmalloc(p.len);
	if (msg == NULL)
		return ENOMEM;
	if (copy_from_user(msg, (const void __user *)(uintptr_t)p.msg, p.len))
		rc = EFAULT;
	else
		rc = qelmodel_post_upcall(p.ksname, msg, p.len);
	vfree(msg);
	return rc;
}

static int qelfw_wait_reg(void __user *uarg)
{
	struct qelfw_wait w;
	int caller = -1;
	int rc;

	if (copy_from_user(&w, uarg, sizeof(w)))
		return EFAULT;
	w.ksname[sizeof(w.ksname) - 1] = '\0';
	rc = qelmodel_wait_registered(w.ksname, w.timeout_ms, &caller);
	if (rc != 0)
		return rc;
	w.caller = caller;
	return copy_to_user(uarg, &w, sizeof(w)) ? EFAULT : 0;
}

/* Callers are qelctl's per-open indexes, small numbers; look for one that
 * sleeps in the upcall service, every 10 ms up to the time-out. */
static int qelfw_wait_waiting(void __user *uarg)
{
	struct qelfw_wait w;
	unsigned long end;
	int c;

	if (copy_from_user(&w, uarg, sizeof(w)))
		return EFAULT;
	end = jiffies + msecs_to_jiffies(w.timeout_ms < 0 ? 0 : w.timeout_ms);
	for (;;) {
		for (c = 0; c < 256; c++) {
			if (qelmodel_upcall_waiting(c)) {
				w.caller = c;
				return copy_to_user(uarg, &w, sizeof(w)) ? EFAULT : 0;
			}
		}
		if (time_after(jiffies, end))
			return ETIME;
		if (msleep_interruptible(10) != 0)
			return EINTR;
	}
}

static int qelfw_card_io(void __user *uarg, int set)
{
	struct qelfw_card c;
	qelmodel_card_t *card;
	int rc = 0;

	if (copy_from_user(&c, uarg, sizeof(c)))
		return EFAULT;
	qelmodel_lock();
	card = qelmodel_card(c.instance);
	if (card == NULL || !card->present) {
		rc = ENXIO;
	} else if (set) {
		card->dev.fault_flags = c.fault_flags;
		card->dev.dev_flags = c.dev_flags;
	} else {
		c.fault_flags = card->dev.fault_flags;
		c.dev_flags = card->dev.dev_flags;
		c.n_reset = card->calls[QM_EP_SAFERESET];
		c.n_diag = card->calls[QM_EP_DIAGNOSTICS];
		c.n_fw = card->n_fw;
		c.holds = card->holds;
		c.fw_size = card->last_fw.size;
		c.fw_select = card->last_fw.select;
		c.fw_single_block = card->last_fw.single_block;
		c.fw_chunks = card->last_fw.n_chunks;
		c.fw_last_chunk = card->last_fw.last_chunk_len;
		c.fw_layout_ok = card->last_fw.layout_ok;
		c.fw_addr_ok = card->last_fw.addr_matches;
		memcpy(c.fw_sha256, card->last_fw.sha256, sizeof(c.fw_sha256));
	}
	qelmodel_unlock();
	if (rc == 0 && !set && copy_to_user(uarg, &c, sizeof(c)))
		rc = EFAULT;
	return rc;
}

static int qelfw_sec_reply(void __user *uarg)
{
	struct qelfw_sec_reply r;
	void *reply = NULL;
	int rc;

	if (copy_from_user(&r, uarg, sizeof(r)))
		return EFAULT;
	if (r.len > QELCTL_SEC_MAX)
		return EINVAL;
	if (r.len > 0) {
		reply = vmalloc(r.len);
		if (reply == NULL)
			return ENOMEM;
		if (copy_from_user(reply, (const void __user *)(uintptr_t)r.buf,
		    r.len)) {
			vfree(reply);
			return EFAULT;
		}
	}
	/* The model keeps its own copy. */
	rc = qelmodel_set_sec_reply(r.instance, reply, r.len);
	vfree(reply);
	return rc;
}

static long qelfw_ioctl(struct file *file, unsigned int cmd,
    unsigned long arg)
{
	void __user *uarg = (void __user *)arg;
	int rc;

	switch (cmd) {
	case QELFW_POST:
		rc = qelfw_post(uarg);
		break;
	case QELFW_WAIT_REG:
		rc = qelfw_wait_reg(uarg);
		break;
	case QELFW_WAIT_WAITING:
		rc = qelfw_wait_waiting(uarg);
		break;
	case QELFW_CAPTURE:
		rc = qelfw_capture(file, arg);
		break;
	case QELFW_NEXT:
		rc = qelfw_next(uarg);
		break;
	case QELFW_ANSWER:
		rc = qelfw_answer(uarg);
		break;
	case QELFW_SET_CARD:
		rc = qelfw_card_io(uarg, 1);
		break;
	case QELFW_GET_CARD:
		rc = qelfw_card_io(uarg, 0);
		break;
	case QELFW_SEC_REPLY:
		rc = qelfw_sec_reply(uarg);
		break;
	default:
		rc = ENOTTY;
		break;
	}
	return -rc;
}

static int qelfw_release(struct inode *inode, struct file *file)
{
	(void)inode;
	qelfw_capture(file, 0);
	return 0;
}

static const struct file_operations qelfw_fops = {
	.owner = THIS_MODULE,
	.unlocked_ioctl = qelfw_ioctl,
	.release = qelfw_release,
};

/* ---- Module life cycle ------------------------------------------------- */

/* The public key every card answers with (see qelfw.h). */
static int qelfw_set_key(int instance)
{
	u8 blob[12 + QELFW_MOD_LEN + 3];
	int i;

	*(u32 *)blob = 0;
	*(u32 *)(blob + 4) = QELFW_MOD_LEN;
	*(u32 *)(blob + 8) = 3;
	for (i = 0; i < QELFW_MOD_LEN; i++)
		blob[12 + i] = QELFW_MOD_BYTE(i);
	blob[12 + QELFW_MOD_LEN] = 1;
	blob[12 + QELFW_MOD_LEN + 1] = 0;
	blob[12 + QELFW_MOD_LEN + 2] = 1;
	return qelmodel_set_pubkey(instance, blob, sizeof(blob));
}

static int __init qel_kmod_init(void)
{
	int rc, i;

	rc = qelmodel_init();
	if (rc != 0)
		return -rc;
	for (i = 0; i < QELFW_CARDS && rc == 0; i++) {
		rc = qelmodel_add_card(i);
		if (rc == 0)
			rc = qelfw_set_key(i);
	}
	if (rc != 0) {
		qelmodel_fini();
		return -rc;
	}
	qelmodel_set_firmware(qelfw_firmware, NULL);
	qelfw_major = register_chrdev(0, QELFW_DEVNAME, &qelfw_fops);
	if (qelfw_major < 0) {
		rc = qelfw_major;
		qelmodel_set_firmware(NULL, NULL);
		qelmodel_fini();
		return rc;
	}
	printk(KERN_INFO "qel: stand-in loaded, %d cards, firmware face major %d\n",
	    QELFW_CARDS, qelfw_major);
	return 0;
}

static void __exit qel_kmod_exit(void)
{
	long blocks, bytes;

	unregister_chrdev(qelfw_major, QELFW_DEVNAME);
	qelmodel_set_firmware(NULL, NULL);
	qelmodel_fini();
	qelmod_kmem_balance(&blocks, &bytes);
	printk(KERN_INFO "qel: unloaded, kmem balance %ld allocations %ld bytes\n",
	    blocks, bytes);
}

module_init(qel_kmod_init);
module_exit(qel_kmod_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Stand-in accelerator driver for tests");
