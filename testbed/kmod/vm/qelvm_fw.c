/*
 * Plays the card firmware for a running kyrkiod inside the virtual
 * machine, through the stand-in driver's firmware face: creates a local
 * keystore with DB_INIT on the control thread, writes three users in a
 * two-part DB_USER_WRITE and reads them back with DB_USER_READ, checking
 * every answer the daemon sends through the real qelctl module.
 *
 * usage: qelvm_fw <keystore directory> <keystore name>
 *        qelvm_fw wait <keystore name>   (waits until a thread serves it)
 * (exit status = number of failed checks)
 */
#include <stdint.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "qelfw.h"
#include "dbm_msg.h"
#include "vmtest.h"

#define WAIT_MS 60000
#define HANDLE 0x00000007u        /* instance 0 in the top byte */

struct user {
	char id[20];
	uint32_t len;
	unsigned seed;
	int seen;
};

/* Users written and expected back: the second part carries a record that
 * cannot share a message with the first part's big one. */
static struct user users[3] = {
	{ "vm-user-one", 100, 11, 0 },
	{ "vm-user-two", 30000, 22, 0 },
	{ "vm-user-three", 50000, 33, 0 },
};

static unsigned char msg[DBM_MAX_MSG + 1];
static unsigned char got[DBM_MAX_MSG + 1];

static unsigned char data_byte(const struct user *u, uint32_t i)
{
	return (unsigned char)(u->seed + i * 131u + (i >> 8));
}

static void start_msg(unsigned type, const char *ksname)
{
	memset(msg, 0, sizeof(msg));
	vm_put32(msg, 0, type);
	vm_put32(msg, 4, HANDLE);
	vm_put32(msg, 20, DBM_MAX_MSG);
	vm_put32(msg, 24, DBM_PARAM_SIZE);
	strncpy((char *)msg + 28, ksname, 63);
}

/* Appends user u to the user message in msg. */
static void add_user(const struct user *u)
{
	unsigned size = vm_get32(msg, 24);
	unsigned n = vm_get32(msg, 92);
	unsigned char *p;
	uint32_t i;

	if (n == 0)
		size = 96;
	p = msg + size;
	memcpy(p, u->id, 20);
	vm_put32(p, 20, u->len);
	for (i = 0; i < u->len; i++)
		p[24 + i] = data_byte(u, i);
	vm_put32(msg, 92, n + 1);
	vm_put32(msg, 24, size + 24 + u->len);
}

static int post(int fw, const char *ksname)
{
	struct qelfw_post p;

	memset(&p, 0, sizeof(p));
	strncpy(p.ksname, ksname, sizeof(p.ksname) - 1);
	p.msg = (uintptr_t)msg;
	p.len = vm_get32(msg, 24);
	return vm_ioctl_err(fw, QELFW_POST, &p);
}

/* Takes the daemon's next submission into got; 0 or the error. */
static int next(int fw, struct qelfw_next *n)
{
	memset(n, 0, sizeof(*n));
	n->buf = (uintptr_t)got;
	n->cap = sizeof(got);
	n->timeout_ms = WAIT_MS;
	return vm_ioctl_err(fw, QELFW_NEXT, n);
}

/* Answers a submission with the message in buf. */
static int answer(int fw, uint32_t id, const void *buf, uint32_t len)
{
	struct qelfw_answer a;

	memset(&a, 0, sizeof(a));
	a.id = id;
	a.buf = (uintptr_t)buf;
	a.len = len;
	return vm_ioctl_err(fw, QELFW_ANSWER, &a);
}

/* The firmware's plain acceptance of what the daemon sent. */
static int ack(int fw, uint32_t id)
{
	static unsigned char r[DBM_PARAM_SIZE];

	memcpy(r, got, sizeof(r));
	vm_put32(r, 0, DB_RESPONSE);
	vm_put32(r, 12, 0);
	vm_put32(r, 16, 0);
	vm_put32(r, 24, DBM_PARAM_SIZE);
	return answer(fw, id, r, sizeof(r));
}

/* A DB_RESPONSE with status 0 for our handle. */
static int is_ok_response(const struct qelfw_next *n)
{
	return n->len >= 28 && vm_get32(got, 0) == DB_RESPONSE &&
	    vm_get32(got, 4) == HANDLE && vm_get32(got, 12) == 0;
}

static int db_init(int fw, const char *dir, const char *ks)
{
	struct qelfw_wait w;
	struct stat st;
	char path[512];
	int e;

	memset(&w, 0, sizeof(w));
	w.timeout_ms = WAIT_MS;
	e = vm_ioctl_err(fw, QELFW_WAIT_REG, &w);   /* "" = control thread */
	if (!vm_check(e == 0, "daemon-control-thread-registered", "err %d", e))
		return -1;
	start_msg(DB_INIT, ks);
	vm_put32(msg, 348, DBM_KS_LOCAL);
	e = post(fw, "");
	if (!vm_check(e == 0, "db-init-posted", "err %d", e))
		return -1;
	/* A created keystore is not answered; its new thread says hello. */
	strncpy(w.ksname, ks, sizeof(w.ksname) - 1);
	e = vm_ioctl_err(fw, QELFW_WAIT_REG, &w);
	snprintf(path, sizeof(path), "%s/%s", dir, ks);
	return vm_check(e == 0 && stat(path, &st) == 0 && S_ISDIR(st.st_mode),
	    "db-init", "keystore thread registration %d, %s %s", e, path,
	    strerror(errno)) ? 0 : -1;
}

static int user_write(int fw, const char *ks)
{
	struct qelfw_next n;
	int e;

	start_msg(DB_USER_WRITE, ks);
	vm_put32(msg, 16, DBM_FLAG_MORE);
	add_user(&users[0]);
	add_user(&users[1]);
	e = post(fw, ks);
	if (!vm_check(e == 0, "user-write-posted", "err %d", e))
		return -1;
	e = next(fw, &n);
	if (!vm_check(e == 0 && is_ok_response(&n), "user-write-part1-answered",
	    "err %d type %u status %u", e, vm_get32(got, 0), vm_get32(got, 12)))
		return -1;
	/* The reply to that answer is the second and last part. */
	start_msg(DB_USER_WRITE, ks);
	add_user(&users[2]);
	e = answer(fw, n.id, msg, vm_get32(msg, 24));
	if (!vm_check(e == 0, "user-write-part2-sent", "err %d", e))
		return -1;
	e = next(fw, &n);
	if (!vm_check(e == 0 && is_ok_response(&n), "user-write",
	    "err %d type %u status %u", e, vm_get32(got, 0), vm_get32(got, 12)))
		return -1;
	return ack(fw, n.id) == 0 ? 0 : -1;
}

/* Checks the records of one push against the users written. */
static int check_push(void)
{
	unsigned n = vm_get32(got, 92);
	unsigned size = vm_get32(got, 24);
	unsigned pos = 96, k, j;
	uint32_t i;

	for (k = 0; k < n; k++) {
		const unsigned char *r = got + pos;
		uint32_t len;

		if (pos + 24 > size)
			return -1;
		len = vm_get32(r, 20);
		if (pos + 24 + len > size)
			return -1;
		for (j = 0; j < 3; j++)
			if (memcmp(users[j].id, r, 20) == 0)
				break;
		if (j == 3 || users[j].seen || users[j].len != len)
			return -1;
		for (i = 0; i < len; i++)
			if (r[24 + i] != data_byte(&users[j], i))
				return -1;
		users[j].seen = 1;
		pos += 24 + len;
	}
	return 0;
}

static int user_read(int fw, const char *ks)
{
	struct qelfw_next n;
	int e, pushes = 0, bad = 0, more, j;

	start_msg(DB_USER_READ, ks);
	vm_put32(msg, 92, 0);   /* all users */
	e = post(fw, ks);
	if (!vm_check(e == 0, "user-read-posted", "err %d", e))
		return -1;
	do {
		e = next(fw, &n);
		if (e != 0 || vm_get32(got, 0) != DB_USER_PUSH ||
		    vm_get32(got, 4) != HANDLE) {
			vm_check(0, "user-read", "push %d: err %d type %u", pushes, e,
			    vm_get32(got, 0));
			if (e == 0)
				ack(fw, n.id);
			return -1;
		}
		pushes++;
		if (check_push() != 0)
			bad = 1;
		more = (vm_get32(got, 16) & DBM_FLAG_MORE) != 0;
		ack(fw, n.id);
	} while (more);
	for (j = 0; j < 3; j++)
		if (!users[j].seen)
			bad = 1;
	return vm_check(!bad && pushes >= 2, "user-read",
	    "%d pushes, records %s", pushes, bad ? "wrong" : "right") ? 0 : -1;
}

int main(int argc, char **argv)
{
	int fw;

	if (argc != 3) {
		fprintf(stderr, "usage: qelvm_fw <keystore dir> <keystore> | "
		    "wait <keystore>\n");
		return 2;
	}
	fw = vm_open("/dev/qelfw");
	if (fw < 0)
		return 1;
	if (strcmp(argv[1], "wait") == 0) {
		struct qelfw_wait w;

		memset(&w, 0, sizeof(w));
		strncpy(w.ksname, argv[2], sizeof(w.ksname) - 1);
		w.timeout_ms = WAIT_MS;
		w.caller = -1;
		if (ioctl(fw, QELFW_WAIT_REG, &w) != 0)
			perror("QELFW_WAIT_REG");
		close(fw);
		return w.caller >= 0 ? 0 : 1;
	}
	if (!vm_check(vm_ioctl_err(fw, QELFW_CAPTURE, (void *)1) == 0,
	    "firmware-capture", "%s", strerror(errno)))
		return 1;
	if (db_init(fw, argv[1], argv[2]) == 0 && user_write(fw, argv[2]) == 0)
		user_read(fw, argv[2]);
	ioctl(fw, QELFW_CAPTURE, 0);
	close(fw);
	return vm_failures;
}
