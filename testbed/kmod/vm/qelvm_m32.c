/*
 * Built as a 32-bit program (the file name ends in _m32): the control
 * device has no translation of its commands for 32-bit callers, whose
 * records have other sizes, so each command is refused with ENOTTY rather
 * than read with the wrong layout.
 *
 * usage: qelvm_m32   (exit status = number of failed checks)
 */
#include <stdint.h>

#include "qelctl.h"
#include "vmtest.h"

int main(void)
{
	static const unsigned long cmds[] = {
		QELCTLPROBE, QELCTLBIND, QELCTLGETVER, QELCTLGETINFO,
		QELCTLFWUPDATE, QELCTLSECCMD, QELCTLUPCALL, QELCTLRESET,
	};
	unsigned char arg[256];
	int fd = vm_open("/dev/qelctl");
	size_t i;
	int e, bad = 0;

	if (fd < 0)
		return 1;
	vm_check(sizeof(void *) == 4, "m32-is-32-bit", "pointer of %u bytes",
	    (unsigned)sizeof(void *));
	for (i = 0; i < sizeof(cmds) / sizeof(cmds[0]); i++) {
		memset(arg, 0, sizeof(arg));
		e = vm_ioctl_err(fd, cmds[i], arg);
		if (e != ENOTTY) {
			printf("command %#lx gave %d, not ENOTTY\n", cmds[i], e);
			bad++;
		}
	}
	vm_check(bad == 0, "m32-enotty", "see above");
	close(fd);
	return vm_failures;
}
