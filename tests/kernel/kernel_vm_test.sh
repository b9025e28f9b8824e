#!/usr/bin/env bash
# Builds the qelctl module and the stand-in qel driver module for the
# installed Debian kernel, packs them with busybox, kyrdiag, kyrkiod and the
# in-machine test programs into an initramfs, boots that kernel under qemu
# and judges the serial log.  The test passes only when every expected
# marker line is present and no failure marker is.
#
# usage: kernel_vm_test.sh <source dir> <build dir>
# Environment: KYR_KERNEL_RELEASE picks a kernel release; KYR_VM_TIMEOUT
# (seconds, default 300) bounds the boot; KYR_VM_ACCEL is "kvm", "tcg"
# (emulation) or "auto" (default: kvm when /dev/kvm is there and a probe
# machine starts on it, else emulation); KYR_VM_PROBE_ARGS adds arguments
# to the probe only (a test of the fallback gives it one qemu refuses).
set -uo pipefail

src=$(cd "${1:?source dir}" && pwd) || exit 1
mkdir -p "${2:?build dir}" || exit 1
bld=$(cd "$2" && pwd) || exit 1
work="$bld/kernel-vm"
log="$work/serial.log"
timeout_s=${KYR_VM_TIMEOUT:-300}

fail() { echo "kernel_vm_test: FAIL: $*" >&2; exit 1; }
note() { echo "kernel_vm_test: $*"; }

# ---- kernel and headers ----------------------------------------------------
# The headers' release must be the booted image's own, so take it from the
# generated utsrelease.h (kernel.release of the headers package may differ).
header_release() {
	sed -n 's/^#define UTS_RELEASE "\(.*\)"$/\1/p' "$1/include/generated/utsrelease.h" 2>/dev/null
}

find_kernel() {
	local img rel kdir
	for img in $(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V -r); do
		rel=${img#/boot/vmlinuz-}
		if [ -n "${KYR_KERNEL_RELEASE:-}" ] && [ "$rel" != "$KYR_KERNEL_RELEASE" ]; then
			continue
		fi
		kdir=/lib/modules/$rel/build
		[ -d "$kdir" ] || kdir=/usr/src/linux-headers-$rel
		if [ -d "$kdir" ] && [ "$(header_release "$kdir")" = "$rel" ]; then
			echo "$rel $img $kdir"
			return 0
		fi
	done
	return 1
}

read -r krel kimg kdir < <(find_kernel) || true
[ -n "${krel:-}" ] || fail "no /boot/vmlinuz-* with matching headers (install linux-image-amd64 linux-headers-amd64)"
command -v qemu-system-x86_64 >/dev/null || fail "qemu-system-x86_64 missing"
bb=/bin/busybox
[ -x "$bb" ] || bb=$(command -v busybox || true)
[ -n "$bb" ] && [ -x "$bb" ] || fail "busybox missing (install busybox-static)"
note "kernel $krel ($kimg), headers $kdir"

rm -rf "$work"
mkdir -p "$work" || fail "cannot create $work"

# ---- modules ---------------------------------------------------------------
# kbuild writes its objects next to the sources it is given, so the modules
# are built in a mirror of the source folders made of symbolic links: the
# objects land in the build tree and the sources are not copied.
mirror() {   # mirror <source folder> <mirror folder>
	local f
	mkdir -p "$2"
	for f in "$1"/*; do
		[ -f "$f" ] && ln -sf "$f" "$2/$(basename "$f")"
	done
}
mirror "$src/driver" "$work/src/driver"
mirror "$src/driver/linux" "$work/src/driver/linux"
mirror "$src/testbed/model" "$work/src/testbed/model"
mirror "$src/testbed/kmod" "$work/src/testbed/kmod"
mirror "$src/daemon/core" "$work/src/daemon/core"

kmake() {   # kmake <module folder> [extra make arguments]
	local dir=$1; shift
	make -C "$kdir" M="$dir" "$@" modules >"$dir/build.log" 2>&1 || {
		cat "$dir/build.log" >&2
		return 1
	}
}
note "building the stand-in qel module"
kmake "$work/src/testbed/kmod" || fail "qel module build"
# qelctl goes through its own Makefile, the way an operator or dkms builds
# it, with the stand-in's symbols checked at link time.
note "building the qelctl module"
make -C "$work/src/driver/linux" KDIR="$kdir" \
	QEL_SYMVERS="$work/src/testbed/kmod/Module.symvers" >"$work/qelctl-build.log" 2>&1 || {
	cat "$work/qelctl-build.log" >&2
	fail "qelctl module build"
}
for o in driver/linux/.qelctl_linux.o.cmd driver/.qelctl_main.o.cmd; do
	grep -q -e '-Werror' "$work/src/$o" || fail "$o: not compiled with -Werror"
done
modinfo -F depends "$work/src/driver/linux/qelctl.ko" 2>/dev/null | grep -qx qel ||
	fail "qelctl.ko does not record its dependency on qel"

# ---- test programs -----------------------------------------------------------
root="$work/root"
mkdir -p "$root"/{bin,sbin,lib,lib64,etc,proc,sys,dev,tmp,ks,mod,usr/bin}
for prog in "$src"/testbed/kmod/vm/*.c; do
	[ -f "$prog" ] || continue
	name=$(basename "$prog" .c)
	# A program whose name ends in _m32 is built as a 32-bit one.
	bits=
	case $name in *_m32) bits=-m32 ;; esac
	# shellcheck disable=SC2086
	gcc $bits -static -O2 -Wall -Wextra -Werror -pthread -I"$src/driver" -I"$src/testbed/kmod" -I"$src/daemon/core" \
		-o "$root/bin/$name" "$prog" || fail "test program $name"
done

# ---- initramfs -----------------------------------------------------------------
cp "$work/src/testbed/kmod/qel.ko" "$work/src/driver/linux/qelctl.ko" "$root/mod/"

# A dynamically linked program goes in with every library ldd names, at the
# same path, plus the loader.
add_program() {   # add_program <binary> <name in /bin>
	local lib
	cp "$1" "$root/bin/$2"
	for lib in $(ldd "$1" 2>/dev/null | grep -o '/[^ ]*'); do
		mkdir -p "$root$(dirname "$lib")"
		cp -L "$lib" "$root$lib"
	done
}
# Markers every run must show; the steps of a program that is not built
# must show as skipped instead.
markers="$work/expected_markers.txt"
cp "$src/tests/kernel/expected_markers.txt" "$markers"
# busybox-static needs nothing; a dynamic busybox brings its libraries.
add_program "$bb" busybox
for p in tools/kyrdiag/kyrdiag daemon/kyrkiod; do
	name=$(basename "$p")
	if [ -x "$bld/$p" ]; then
		add_program "$bld/$p" "$name"
		cat "$src/tests/kernel/expected_markers_$name.txt" >>"$markers"
	else
		note "$bld/$p not built; its steps will be reported as skipped"
		echo "KYRTEST SKIP $name: $name not built" >>"$markers"
	fi
done
printf 'root:x:0:0:root:/root:/bin/sh\ndaemon:x:1:1:daemon:/:/bin/false\n' >"$root/etc/passwd"
printf 'root:x:0:\ndaemon:x:1:\n' >"$root/etc/group"
cp "$src/tests/kernel/vm_init.sh" "$root/init"
chmod 755 "$root/init"
(cd "$root" && find . | cpio -o -H newc 2>/dev/null | gzip -1 >"$work/initramfs.gz") ||
	fail "initramfs"

# ---- boot ---------------------------------------------------------------------------
note "booting $krel under qemu (time-out ${timeout_s}s); serial log $log"
# /dev/kvm may exist and still not run a guest (nested virtualisation:
# qemu aborts with "failed to set MSR 0x10a"), so a small machine is started
# on it first and must get as far as its monitor.
kvm_args="-enable-kvm -cpu host"
kvm_usable() {
	[ -w /dev/kvm ] || return 1
	# shellcheck disable=SC2086
	echo quit | timeout 20 qemu-system-x86_64 $kvm_args ${KYR_VM_PROBE_ARGS:-} \
		-M pc -S -nodefaults -display none -monitor stdio \
		>"$work/kvm-probe.log" 2>&1
}
case "${KYR_VM_ACCEL:-auto}" in
kvm) accel=$kvm_args ;;
tcg) accel="-accel tcg" ;;
auto)
	if kvm_usable; then
		accel=$kvm_args
	else
		note "kvm not usable here ($(tail -n 1 "$work/kvm-probe.log" 2>/dev/null)); emulating"
		accel="-accel tcg"
	fi ;;
*) fail "KYR_VM_ACCEL must be kvm, tcg or auto" ;;
esac
note "accelerator: $accel"
# init_on_alloc=0: the Debian kernel zero-fills every allocation by
# default, which would hide stale kernel memory reaching user space.
# Two processors, so that the concurrent-transfer check really overlaps
# two callers' transfers on one card.
# shellcheck disable=SC2086
timeout "$timeout_s" qemu-system-x86_64 $accel -m 512M -smp 2 -nographic -no-reboot \
	-nic none -kernel "$kimg" -initrd "$work/initramfs.gz" \
	-append "console=ttyS0 panic=-1 quiet init_on_alloc=0" </dev/null >"$log" 2>&1
rc=$?
[ $rc -eq 124 ] && note "the machine did not finish within ${timeout_s}s"

# ---- verdict ------------------------------------------------------------------------
# Whole lines only: the log has carriage returns and kernel lines may land
# in the middle of the test's output.
tr -d '\r' <"$log" >"$work/serial.txt"
has() { grep -a -q -x -F "$1" "$work/serial.txt"; }
bad=0
if grep -a -x 'KYRTEST FAIL .*' "$work/serial.txt" >&2; then
	bad=1
fi
while read -r marker; do
	[ -n "$marker" ] || continue
	if ! has "$marker"; then
		echo "missing marker: $marker" >&2
		bad=1
	fi
done <"$markers"
grep -a -x 'KYRTEST SKIP .*' "$work/serial.txt" || true
if [ $bad -ne 0 ]; then
	echo "---- serial log (tail) ----" >&2
	tail -n 80 "$work/serial.txt" >&2
	fail "see $log"
fi
note "PASS ($(grep -a -c -x 'KYRTEST OK .*' "$work/serial.txt") checks)"
