/*
 * Control-device checks as an unprivileged user: a file on the node (whose
 * mode the caller opened up for this check) and one bound to card 0 by root
 * before dropping to nobody.  Every command that changes the card or what
 * the file holds is refused with EPERM before it reaches the card; the
 * queries still answer.
 *
 * usage: qelvm_user   (exit status = number of failed checks)
 */
#include <grp.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/ioctl.h>

#include "qelctl.h"
#include "vmtest.h"

#define NOBODY 65534

static const struct {
	unsigned long cmd;
	const char *name;
} privileged[] = {
	{ QELCTLBIND, "bind" }, { QELCTLUNBIND, "unbind" },
	{ QELCTLPUTCSR, "putcsr" }, { QELCTLFWUPDATE, "fwupdate" },
	{ QELCTLPUTPCI, "putpci" }, { QELCTLRESET, "reset" },
	{ QELCTLDIAG, "diag" }, { QELCTLFAILURE, "failure" },
	{ QELCTLSECCMD, "seccmd" }, { QELCTLZEROIZE, "zeroize" },
	{ QELCTLFDIREQ, "fdireq" }, { QELCTLFDIDL, "fdidl" },
	{ QELCTLCHGSTATE, "chgstate" }, { QELCTLRESUME, "resume" },
	{ QELCTLSUSPEND, "suspend" },
};

/* Each command gets a sound argument, so that only the permission check
 * can refuse it. */
static int refused_all(int fd, const char *which)
{
	static unsigned char image[4096], sec[128];
	qelctl_reg_t reg;
	qelctl_fwupdate_t fw;
	qelctl_seccmd_t sc;
	fdi_request_t fdi;
	int state = QELCTL_STATE_ONLINE;
	void *arg;
	size_t i;
	int e, bad = 0;

	for (i = 0; i < sizeof(privileged) / sizeof(privileged[0]); i++) {
		unsigned long cmd = privileged[i].cmd;

		memset(&reg, 0, sizeof(reg));
		reg.mr_width = 32;
		memset(&fw, 0, sizeof(fw));
		fw.mfu_size = sizeof(image);
		fw.mfu_addr = image;
		memset(&sc, 0, sizeof(sc));
		sc.msc_actsize = 100;
		sc.msc_blksize = sizeof(sec);
		sc.msc_buf = sec;
		memset(&fdi, 0, sizeof(fdi));
		arg = NULL;
		if (cmd == QELCTLPUTCSR || cmd == QELCTLPUTPCI)
			arg = &reg;
		else if (cmd == QELCTLFWUPDATE || cmd == QELCTLFDIDL)
			arg = &fw;
		else if (cmd == QELCTLSECCMD)
			arg = &sc;
		else if (cmd == QELCTLFDIREQ)
			arg = &fdi;
		else if (cmd == QELCTLCHGSTATE)
			arg = &state;
		if (cmd == QELCTLBIND)
			e = ioctl(fd, cmd, 0) == -1 ? errno : 0;
		else
			e = vm_ioctl_err(fd, cmd, arg);
		if (e != EPERM) {
			printf("%s file: %s gave %d, not EPERM\n", which,
			    privileged[i].name, e);
			bad++;
		}
	}
	return bad == 0;
}

int main(void)
{
	int bound = vm_open("/dev/qelctl");
	int fd, e1, e2, e3, e4;
	qelctl_probe_t p;
	qelctl_getver_t v;
	qelctl_getinfo_t gi;
	qelctl_reg_t reg;

	if (bound < 0)
		return 1;
	if (ioctl(bound, QELCTLBIND, 0) == -1) {
		vm_check(0, "unprivileged", "bind as root: %s", strerror(errno));
		return 1;
	}
	if (setgroups(0, NULL) != 0 || setgid(NOBODY) != 0 ||
	    setuid(NOBODY) != 0) {
		vm_check(0, "unprivileged", "cannot become nobody: %s",
		    strerror(errno));
		return 1;
	}
	fd = vm_open("/dev/qelctl");
	if (fd < 0)
		return 1;
	vm_check(refused_all(fd, "unbound") && refused_all(bound, "bound"),
	    "unprivileged-eperm", "see above");

	memset(&p, 0, sizeof(p));
	memset(&v, 0, sizeof(v));
	memset(&gi, 0xff, sizeof(gi));
	memset(&reg, 0, sizeof(reg));
	reg.mr_width = 32;
	e1 = vm_ioctl_err(fd, QELCTLPROBE, &p);
	e2 = vm_ioctl_err(bound, QELCTLGETVER, &v);
	e3 = vm_ioctl_err(bound, QELCTLGETINFO, &gi);
	e4 = vm_ioctl_err(bound, QELCTLGETCSR, &reg);
	vm_check(e1 == 0 && p.mpr_ndevs > 0 && e2 == 0 && v.fw != 0 &&
	    e3 == 0 && gi.mgi_state != -1 && e4 == 0, "unprivileged-queries",
	    "probe %d (%d cards) getver %d (fw %#x) getinfo %d getcsr %d",
	    e1, p.mpr_ndevs, e2, v.fw, e3, e4);
	close(fd);
	close(bound);
	return vm_failures;
}
