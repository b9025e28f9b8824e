#!/usr/bin/env bash
# Packaging test: builds the Debian packages from a copy of the tree (with a
# translation dropped in beside the message template), checks them with
# lintian, installs them, checks what they put on disk, runs the installed
# daemon through the scripted firmware session with the command line of its
# service unit, upgrades in place, removes and purges, and checks what is
# left on disk after each step.  Needs root (it installs packages on this
# machine); exits 77 (skipped) without it.
#
#   package_test.sh <source-dir> <build-dir>
#
# <build-dir> must hold the test bed's kyrsession.  The work directory
# (packages, logs) is kept after a failure and named.
set -euo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)

if [ "$(id -u)" != 0 ]; then
  echo "SKIP: installs packages, needs root"
  exit 77
fi
for tool in dpkg-buildpackage dh dh_dkms dkms lintian; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool missing (scripts/setup installs it)"
    exit 77
  fi
done
if dpkg-query -W -f '${Status}\n' kyrkiod kyr-pkcs11 qelctl-dkms 2>/dev/null | grep -q ' installed$'; then
  echo "SKIP: a package of this tree is installed on this machine; the test would remove it"
  exit 77
fi
session=$build/testbed/session/kyrsession
[ -x "$session" ] || { echo "FAIL: $session not built"; exit 1; }

work=$(mktemp -d /tmp/kyrpkg.XXXXXX)
apt_opts=(-y -q -o DPkg::Lock::Timeout=300)
failures=0
installed=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok    $*"; }
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}

cleanup() {
  local rc=$?
  if [ "$installed" = 1 ]; then
    for p in kyrkiod kyr-pkcs11 qelctl-dkms; do
      DEBIAN_FRONTEND=noninteractive apt-get purge "${apt_opts[@]}" "$p" >>"$work/cleanup.log" 2>&1 || true
    done
    rm -rf /var/opt/orv
  fi
  if [ $rc = 0 ] && [ $failures = 0 ]; then
    rm -rf "$work"
  else
    echo "work directory kept: $work"
  fi
}
trap cleanup EXIT

# What the packages may leave behind is judged against this snapshot.
# (Only where the packages write, so that other work on this machine does
# not show; dkms keeps its signing key for every module.)
snapshot() {
  {
    find /opt /etc/opt /var/opt /usr/src /lib/modules /lib/systemd/system /lib/udev/rules.d \
      /etc/logrotate.d /usr/share/doc /usr/share/man /var/lib/dkms -xdev 2>/dev/null || true
    find /etc/systemd /var/lib/systemd -xdev -name '*kyrkiod*' 2>/dev/null || true
  } | grep -Ev '^/var/lib/dkms/mok\.(key|pub)$' | sort
}
snapshot >"$work/before.list"
# The add-on layout's roots belong to base-files on a stock system, so dpkg
# keeps them.  Where no package owns one (some trimmed images), dpkg removes
# it with the last package that had files below it, after the maintainer
# scripts have run: that is dpkg's doing, not the packages', so such a root
# is left out of the comparison.
unowned_roots=()
for d in /opt /etc/opt /var/opt; do
  if [ -d "$d" ] && ! dpkg-query -S "$d" >/dev/null 2>&1; then
    unowned_roots+=("$d")
    echo "note: $d is owned by no package here; dpkg may remove it with the packages"
  fi
done

echo "== build the packages"
tree=$work/src/kyr
mkdir -p "$tree"
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
  git -C "$src" ls-files -z --cached --others --exclude-standard \
    | (cd "$src" && xargs -0 cp --parents -t "$tree" 2>/dev/null || true)
else
  tar -C "$src" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$tree" -xf -
fi
# A translation dropped in beside the template.
msginit --no-translator -l de_DE.UTF-8 -i "$tree/daemon/po/ORVW_TKV_ZANT.pot" \
  -o "$work/de.po" >/dev/null 2>&1
sed -e '/^msgid "Usage"$/{n;s/.*/msgstr "Aufruf"/}' \
    -e '/^msgid "config-file"$/{n;s/.*/msgstr "Konfigurationsdatei"/}' \
    "$work/de.po" >"$tree/daemon/po/de.po"
export CCACHE_BASEDIR=$work
if command -v ccache >/dev/null && [ -d "${CCACHE_DIR:-$HOME/.cache/ccache}" ]; then
  export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/ccache}
fi
if ! (cd "$tree" && dpkg-buildpackage -b -us -uc -j2) >"$work/build.log" 2>&1; then
  tail -n 40 "$work/build.log"
  fail "dpkg-buildpackage"
  exit 1
fi
ok "dpkg-buildpackage"
debs=("$work"/src/kyrkiod_*_amd64.deb "$work"/src/kyr-pkcs11_*_amd64.deb "$work"/src/qelctl-dkms_*_all.deb)
dpkg-deb -c "$work"/src/kyrkiod_*_amd64.deb >"$work/kyrkiod.contents"
check "the translation is packaged" grep -q 'share/locale/de/LC_MESSAGES/ORVW_TKV_ZANT.mo' \
  "$work/kyrkiod.contents"
check "the directory schema is packaged" grep -q 'share/ldap/99orvcks.ldif' \
  "$work/kyrkiod.contents"
check "nothing of /var is packaged" bash -c "! grep -q ' ./var/' '$work/kyrkiod.contents'"

echo "== lintian"
lintian --allow-root --tag-display-limit 0 "$work"/src/kyr_*_amd64.changes >"$work/lintian.log" 2>&1 || true
cat "$work/lintian.log"
check "lintian reports no errors" bash -c "! grep -q '^E: ' '$work/lintian.log'"

echo "== install"
if ! DEBIAN_FRONTEND=noninteractive apt-get install "${apt_opts[@]}" "${debs[@]}" \
    >"$work/install.log" 2>&1; then
  tail -n 40 "$work/install.log"
  fail "install"
  exit 1
fi
installed=1
ok "installed ${debs[*]##*/}"
top=/var/opt/orv/vantor
for f in /opt/orv/vantor/bin/kyrkiod /opt/orv/vantor/bin/kyrdiag /opt/orv/vantor/bin/kyr_slot; do
  check "$f is a program" test -x "$f"
done
for f in /etc/opt/orv/vantor/kyrkiod.conf /lib/systemd/system/kyrkiod.service \
         /lib/udev/rules.d/60-kyrkiod.rules /etc/logrotate.d/kyrkiod \
         /usr/src/qelctl-1.1/dkms.conf /opt/orv/vantor/lib/libpkcs11_kyr.so; do
  check "$f installed" test -f "$f"
done
for d in keydata lock log; do
  check "$top/$d: daemon:daemon 700" test "$(stat -c '%U:%G %a' "$top/$d")" = "daemon:daemon 700"
done
if [ -e /dev/kyrf ]; then
  echo "note: this machine has a token device; kyr_slot not run"
else
  # 32-bit programs may not run natively on this machine: under the user
  # emulator when it is there.
  run32=$(command -v qemu-i386-static || true)
  check "kyr_slot (32-bit) runs and reports no slots without the token device" \
    bash -c "$run32 /opt/orv/vantor/bin/kyr_slot; test \$? = 0"
fi
check "dkms knows the module" bash -c "dkms status qelctl/1.1 | grep -q qelctl"
check "systemd-analyze verify" systemd-analyze verify /lib/systemd/system/kyrkiod.service
systemd-analyze verify /lib/systemd/system/kyrkiod.service >"$work/verify.log" 2>&1 || true
if [ -s "$work/verify.log" ]; then cat "$work/verify.log"; fi
check "logrotate reads its snippet" bash -c "logrotate -d /etc/logrotate.d/kyrkiod >\"$work/logrotate.log\" 2>&1"
if [ -e /usr/share/man/man8/kyrkiod.8.gz ]; then
  mandb -q 2>/dev/null || true
  man -k kyr >"$work/apropos.txt" 2>&1 || true
  cat "$work/apropos.txt"
  for page in 'kyrkiod (8)' 'kyrkiod.conf (5)' 'kyrdiag (8)' 'kyr_slot (8)'; do
    check "man -k lists $page" grep -qF "$page" "$work/apropos.txt"
  done
else
  echo "note: this machine's dpkg excludes manual pages; the package holds them:"
  grep -F usr/share/man "$work/kyrkiod.contents"
fi
usage=$(LANGUAGE=de LC_ALL=C.UTF-8 /opt/orv/vantor/bin/kyrkiod -x 2>&1 | grep -m 1 -F 'kyrkiod [-FVs]' || true)
check "usage text from the dropped-in translation ($usage)" \
  test "$usage" = "Aufruf: kyrkiod [-FVs] [-f Konfigurationsdatei]"

echo "== the installed daemon, started with the unit's command line"
cmdline=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/kyrkiod.service)
nofile=$(sed -n 's/^LimitNOFILE=//p' /lib/systemd/system/kyrkiod.service)
umask_=$(sed -n 's/^UMask=//p' /lib/systemd/system/kyrkiod.service)
# The unit's limit, where this machine's hard limit allows it.
if ! (ulimit -n "$nofile") 2>/dev/null; then
  echo "note: open-file limit $nofile not allowed here, kept at $(ulimit -Hn)"
  nofile=$(ulimit -Hn)
fi
# shellcheck disable=SC2086 # the unit's command line, split as systemd does
if (ulimit -n "$nofile" && umask "$umask_" && "$session" --service "$work/session" -- $cmdline) \
    >"$work/session.log" 2>&1; then
  ok "scripted session against '$cmdline': $(tail -n 1 "$work/session.log")"
else
  tail -n 60 "$work/session.log"
  fail "scripted session against '$cmdline'"
fi
check "the session left the configuration file as installed" \
  cmp -s /etc/opt/orv/vantor/kyrkiod.conf "$tree/daemon/kyrkiod.conf.sample"
check "the daemon's log file belongs to the service user" \
  test "$(stat -c %U "$top/log/kyrkiod.log" 2>/dev/null)" = daemon

echo "== log rotation"
# The service user can write any pid into the lock file; logrotate's script
# (run as root) must not signal a process that is not the daemon.
sleep 300 &
victim=$!
echo "$victim" >"$top/lock/kyrkiod_lock"
echo "a line" >"$top/log/kyrkiod.log"
chown daemon:daemon "$top/log/kyrkiod.log"
logrotate -f -s "$work/logrotate.state" /etc/logrotate.d/kyrkiod >"$work/logrotate-f.log" 2>&1 \
  || fail "logrotate -f"
sleep 1
check "rotation moved the log file away" test -f "$top/log/kyrkiod.log.1"
check "rotation signals no process but the daemon" kill -0 "$victim"
kill "$victim" 2>/dev/null || true
wait "$victim" 2>/dev/null || true
rm -f "$top/lock/kyrkiod_lock" "$top/log/kyrkiod.log"*

echo "== upgrade in place"
# The same package with a higher version, as a new release would come.
rm -rf "$work/up" && dpkg-deb -R "$work"/src/kyrkiod_*_amd64.deb "$work/up"
old=$(dpkg-query -W -f '${Version}' kyrkiod)
sed -i "s/^Version: .*/Version: ${old}+up1/" "$work/up/DEBIAN/control"
dpkg-deb -b "$work/up" "$work/kyrkiod_up.deb" >/dev/null
echo "# local change" >>/etc/opt/orv/vantor/kyrkiod.conf
echo keep >"$top/keydata/marker.conf"
chown daemon:daemon "$top/keydata/marker.conf"
if DEBIAN_FRONTEND=noninteractive apt-get install "${apt_opts[@]}" "$work/kyrkiod_up.deb" \
    >"$work/upgrade.log" 2>&1; then
  ok "upgrade to ${old}+up1"
else
  tail -n 30 "$work/upgrade.log"
  fail "upgrade"
fi
check "new version installed" test "$(dpkg-query -W -f '${Version}' kyrkiod)" = "${old}+up1"
check "changed conffile kept" grep -q '^# local change' /etc/opt/orv/vantor/kyrkiod.conf
check "keystore directory content kept" test -f "$top/keydata/marker.conf"
check "keystore directory still daemon's" test "$(stat -c %U:%a "$top/keydata")" = daemon:700

echo "== remove"
DEBIAN_FRONTEND=noninteractive apt-get remove "${apt_opts[@]}" kyrkiod kyr-pkcs11 qelctl-dkms \
  >"$work/remove.log" 2>&1 || fail "remove"
check "programs and library gone" test ! -e /opt/orv/vantor/bin -a ! -e /opt/orv/vantor/lib
check "conffile kept after remove" test -f /etc/opt/orv/vantor/kyrkiod.conf
check "keystores kept after remove" test -f "$top/keydata/marker.conf"
check "module source gone" test ! -e /usr/src/qelctl-1.1
check "dkms forgot the module" bash -c "! dkms status qelctl 2>/dev/null | grep -q qelctl"

echo "== purge with a keystore left"
# (Only kyrkiod has conffiles; the others are gone with their removal.)
DEBIAN_FRONTEND=noninteractive apt-get purge "${apt_opts[@]}" kyrkiod \
  >"$work/purge.log" 2>&1 || fail "purge"
check "purge says it kept the keystores" grep -q "keystores kept in $top/keydata" "$work/purge.log"
check "keystores kept after purge" test -f "$top/keydata/marker.conf"
check "lock and log directories gone" test ! -e "$top/lock" -a ! -e "$top/log"
check "configuration gone" test ! -e /etc/opt/orv

echo "== install and purge again, no keystores"
rm -f "$top/keydata/marker.conf"
DEBIAN_FRONTEND=noninteractive apt-get install "${apt_opts[@]}" "$work"/src/kyrkiod_*_amd64.deb \
  >"$work/install2.log" 2>&1 || fail "second install"
DEBIAN_FRONTEND=noninteractive apt-get purge "${apt_opts[@]}" kyrkiod \
  >"$work/purge2.log" 2>&1 || fail "second purge"
installed=0
snapshot >"$work/after.list"
for d in "${unowned_roots[@]}"; do
  for f in before after; do
    grep -vxF "$d" "$work/$f.list" >"$work/$f.tmp" || true
    mv "$work/$f.tmp" "$work/$f.list"
  done
done
if diff "$work/before.list" "$work/after.list" >"$work/left.diff"; then
  ok "nothing left on disk"
else
  cat "$work/left.diff"
  fail "left on disk (diff of before and after)"
fi

if [ $failures -ne 0 ]; then
  echo "package test: $failures failure(s)"
  exit 1
fi
echo "package test: PASS"
