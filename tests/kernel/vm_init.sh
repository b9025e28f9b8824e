#!/bin/busybox sh
# /init of the test machine.  Loads the stand-in qel driver and qelctl,
# creates the device nodes from /proc/devices, runs the checks and reports
# each as a whole line "KYRTEST OK <name>", "KYRTEST FAIL <name>: <why>" or
# "KYRTEST SKIP <name>: <why>"; ends with "KYRTEST END" and powers off.
/bin/busybox --install -s /bin
export PATH=/bin:/sbin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mount -t tmpfs tmpfs /tmp
# Keep the console for the markers: only warnings and worse from the kernel.
echo 4 >/proc/sys/kernel/printk

ok()   { echo; echo "KYRTEST OK $1"; }
bad()  { echo; echo "KYRTEST FAIL $1: $2"; }
skip() { echo; echo "KYRTEST SKIP $1: $2"; }
check() {   # check <name> <why> <command...>
	name=$1; why=$2; shift 2
	if "$@"; then ok "$name"; else bad "$name" "$why"; fi
}

finish() {
	echo
	echo "---- kernel log ----"
	dmesg | grep -E 'qel|KYR' | tail -n 40
	echo
	echo "KYRTEST END"
	sync
	poweroff -f
}

# Creates /dev/<name> for a character device registered with a dynamic
# major (the stand-in's qelfw; qelctl has the kernel make its node).
make_node() {
	major=$(awk -v n="$1" '$2 == n { print $1 }' /proc/devices)
	[ -n "$major" ] || return 1
	rm -f "/dev/$1"
	mknod "/dev/$1" c "$major" 0
}

echo "KYRTEST START $(uname -r)"
check load-qel "insmod qel.ko failed" insmod /mod/qel.ko
check load-qelctl "insmod qelctl.ko failed" insmod /mod/qelctl.ko
# The kernel made /dev/qelctl itself: root's, mode 0600.
node_is_private() {
	[ -c /dev/qelctl ] && [ "$(stat -c '%a %u %g' /dev/qelctl)" = "600 0 0" ]
}
check node-qelctl "/dev/qelctl missing or not 0600 root:root: $(stat -c '%a %u %g' /dev/qelctl 2>&1)" node_is_private
check node-qelfw "qelfw not in /proc/devices" make_node qelfw
[ -c /dev/qelctl ] || finish

# ---- control device ------------------------------------------------------
qelvm_ctl
# Two processes' transfers on one card at once.
qelvm_race
# A caller changing its upcall header while the module reads it.
qelvm_hdrrace
# Opened to everyone for this check only: an unprivileged user may query
# but changes nothing.
chmod 0666 /dev/qelctl
qelvm_user
chmod 0600 /dev/qelctl
# A 32-bit caller is refused outright.
qelvm_m32 || [ $? -lt 126 ] || bad m32-runs "the 32-bit program did not run"

# ---- administrator tool ----------------------------------------------------
if [ -x /bin/kyrdiag ]; then
	out=$(kyrdiag -l 2>&1)
	echo "$out"
	if echo "$out" | grep -qx "$(printf '\tqel/0')" &&
	   echo "$out" | grep -qx "$(printf '\tqel/1')"; then
		ok kyrdiag-list
	else
		bad kyrdiag-list "devices not listed"
	fi

	out=$(kyrdiag -v qel0 2>&1); rc=$?
	echo "$out"
	if [ $rc -eq 0 ] && echo "$out" | grep -q "^Device qel0 version numbers:" &&
	   echo "$out" | grep -q "Firmware : 2.0.0"; then
		ok kyrdiag-versions
	else
		bad kyrdiag-versions "exit $rc"
	fi

	# Fingerprint: SHA-1 of the modulus the stand-in card answers with,
	# shown as ten groups of four hex digits.
	qelvm_card key >/tmp/modulus.bin
	want=$(sha1sum /tmp/modulus.bin | cut -c1-40 | sed 's/..../&-/g; s/-$//')
	out=$(kyrdiag -f qel0 2>&1); rc=$?
	echo "$out"
	if [ $rc -eq 0 ] && [ "$out" = "$want" ]; then
		ok kyrdiag-fingerprint
	else
		bad kyrdiag-fingerprint "exit $rc, wanted $want"
	fi

	out=$(kyrdiag -r qel0 2>&1); rc=$?
	echo "$out"
	resets=$(qelvm_card 0 n_reset)
	if [ $rc -eq 0 ] && echo "$out" | grep -q "^Device qel0 reset ok." &&
	   [ "$resets" = 1 ]; then
		ok kyrdiag-reset
	else
		bad kyrdiag-reset "exit $rc, card saw $resets resets"
	fi

	# 1.5 MiB goes to the card as 24 chunks of 64 KiB.
	dd if=/dev/urandom of=/tmp/fw.img bs=1024 count=1536 2>/dev/null
	before=$(qelvm_card 0 fw | cut -d' ' -f1)
	out=$(kyrdiag -u /tmp/fw.img qel0 2>&1); rc=$?
	echo "$out"
	want=$(sha256sum /tmp/fw.img | cut -c1-64)
	seen=$(qelvm_card 0 fw)
	echo "card saw: $seen"
	if [ $rc -eq 0 ] && echo "$out" | grep -q "^Firmware update on qel0 complete." &&
	   [ "$seen" = "$((before + 1)) 1572864 0 chunks 24 65536 layout-ok $want" ]; then
		ok kyrdiag-firmware-update
	else
		bad kyrdiag-firmware-update "exit $rc, card saw: $seen"
	fi
else
	skip kyrdiag "kyrdiag not built"
fi

# ---- keystore daemon end to end ----------------------------------------------
if [ -x /bin/kyrkiod ]; then
	# The daemon runs as its service user, let in by the operator's step
	# (a udev rule on a real system): the node belongs to that user.  The
	# daemon changes only its user ID, so a group would have to be the one
	# it was started with.
	chown daemon /dev/qelctl
	mkdir -p /ks
	chown daemon:daemon /ks
	printf 'user daemon\nkeystoredir /ks\ndebuglevel debug\n' >/etc/kyrkiod.conf
	KYRKIOD_LOCKFILE=/tmp/kyrkiod.lock kyrkiod -F -s -f /etc/kyrkiod.conf \
		>/tmp/kyrkiod.log 2>&1 &
	kpid=$!
	qelvm_fw /ks vmks
	kill -INT $kpid 2>/dev/null
	i=0
	while kill -0 $kpid 2>/dev/null && [ $i -lt 100 ]; do
		usleep 200000; i=$((i + 1))
	done
	if kill -0 $kpid 2>/dev/null; then
		bad kyrkiod-shutdown "kyrkiod still running after SIGINT"
		kill -9 $kpid
	else
		ok kyrkiod-shutdown
	fi
	echo "---- kyrkiod log ----"
	tail -n 40 /tmp/kyrkiod.log

	# Killed outright while its threads sleep in the control device: the
	# waits end and closing the files detaches them (the leak and hold
	# checks below see the rest).
	# The ".conf" file (the firmware's to write) makes discovery serve vmks.
	: >/ks/vmks.conf
	: >/tmp/kyrkiod.log
	KYRKIOD_LOCKFILE=/tmp/kyrkiod.lock kyrkiod -F -s -f /etc/kyrkiod.conf \
		>/tmp/kyrkiod.log 2>&1 &
	kpid=$!
	if qelvm_fw wait vmks; then
		kill -9 $kpid
		wait $kpid 2>/dev/null
		ok kyrkiod-killed-in-wait
	else
		bad kyrkiod-killed-in-wait "keystore vmks not served after restart"
		tail -n 20 /tmp/kyrkiod.log
		kill -9 $kpid
	fi
else
	skip kyrkiod "kyrkiod not built"
fi

# ---- unload and leak check --------------------------------------------------
qelvm_card 0 holds >/tmp/holds0 2>&1
check holds-after-all "device holds outstanding: $(cat /tmp/holds0)" \
	[ "$(cat /tmp/holds0)" = 0 ]
# A module with an open file stays loaded.
exec 3</dev/qelctl
if rmmod qelctl 2>/dev/null; then
	bad busy-module-stays "qelctl unloaded while /dev/qelctl was open"
	insmod /mod/qelctl.ko
else
	ok busy-module-stays
fi
exec 3<&-
check unload-qelctl "rmmod qelctl failed" rmmod qelctl
check unload-qel "rmmod qel failed" rmmod qel
# Each module reports what it allocated and did not free; a public-key blob
# is allocated by qel and freed by qelctl, so the two balances must add up
# to zero.
bal() { dmesg | sed -n "s/.*$1: unloaded, kmem balance \(-*[0-9]*\) allocations \(-*[0-9]*\) bytes.*/\1 \2/p" | tail -n 1; }
set -- $(bal qelctl) $(bal qel)
if [ $# -eq 4 ] && [ $(($1 + $3)) -eq 0 ] && [ $(($2 + $4)) -eq 0 ]; then
	ok no-memory-leaked
else
	bad no-memory-leaked "balances qelctl/qel: $*"
fi
# Nothing the modules did may have upset the kernel.
if dmesg | grep -E 'BUG:|WARNING:|Call Trace|scheduling while atomic|sleeping function|general protection|Oops'; then
	bad kernel-log-clean "the kernel complained"
else
	ok kernel-log-clean
fi
dmesg | grep 'KYR ERROR'

finish
