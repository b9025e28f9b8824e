#!/usr/bin/env bash
# A throw-away 389 Directory Server instance for the tests, all of it below
# one directory, run as root without systemd and listening on 127.0.0.1 only.
#   ds389.sh create <root> <port> <secure port> <tls 0|1> <schema ldif>
#   ds389.sh start  <root>     (returns once the server answers)
#   ds389.sh stop   <root>
# The server's certificate (tls 1) names this machine (hostname -f): libldap
# checks a server reached as "localhost" against the machine's own name.
# Its CA certificate is copied to <root>/ca/ca.crt.  The directory manager's password is in
# <root>/rootpw.  Exit status 0 on success.
set -euo pipefail
cmd=$1
root=$2
name=kyrtest
conf=$root/etc/dirsrv/slapd-$name
pidfile=$root/run/dirsrv/slapd-$name.pid

wait_port() {
  local port=$1
  for _ in $(seq 1 100); do
    if (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}

case "$cmd" in
create)
  port=$3 sport=$4 tls=$5 schema=$6
  command -v dscreate >/dev/null && [ -x /usr/sbin/ns-slapd ] || exit 2
  mkdir -p "$root/share/dirsrv/inf" "$root/etc/dirsrv" "$root/ca"
  for d in data mibs schema; do ln -sfn "/usr/share/dirsrv/$d" "$root/share/dirsrv/$d"; done
  ln -sfn /etc/dirsrv/schema "$root/etc/dirsrv/schema"
  ln -sfn /etc/dirsrv/config "$root/etc/dirsrv/config"
  # The tools find every path through the defaults of the prefix.
  sed -e "s#= /etc#= $root/etc#; s#= /var#= $root/var#; s#= /run#= $root/run#" \
      -e "s#= /dev/shm#= $root/shm#; s#^with_systemd = .*#with_systemd = 0#" \
      /usr/share/dirsrv/inf/defaults.inf > "$root/share/dirsrv/inf/defaults.inf"
  pw=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
  printf '%s' "$pw" > "$root/rootpw"
  selfsign=False
  [ "$tls" = 1 ] && selfsign=True
  cat > "$root/inf" <<EOF
[general]
full_machine_name = $(hostname -f 2>/dev/null || hostname)
selinux = False
start = False
strict_host_checking = False
systemd = False
[slapd]
instance_name = $name
user = root
group = root
port = $port
secure_port = $sport
self_sign_cert = $selfsign
root_password = $pw
[backend-userroot]
suffix = dc=example,dc=com
create_suffix_entry = True
EOF
  PREFIX=$root dscreate from-file "$root/inf" > "$root/create.log" 2>&1
  # Stopped by dscreate; now the settings the tests rely on.  Binds cost a
  # hash each (the daemon binds once per upcall): a fast scheme.
  sed -i "0,/^nsslapd-port: /s//nsslapd-listenhost: 127.0.0.1\nnsslapd-securelistenhost: 127.0.0.1\npasswordStorageScheme: SSHA512\nnsslapd-port: /" \
      "$conf/dse.ldif"
  cp "$schema" "$conf/schema/"
  if [ "$tls" = 1 ]; then
    certutil -L -d "$conf" -n Self-Signed-CA -a -f "$conf/pwdfile.txt" > "$root/ca/ca.crt"
  fi
  ;;
start)
  port=$(sed -n 's/^nsslapd-port: //p' "$conf/dse.ldif" | head -1)
  rm -f "$pidfile"
  /usr/sbin/ns-slapd -D "$conf" -i "$pidfile" > "$root/start.log" 2>&1
  wait_port "$port"
  ;;
stop)
  if [ -f "$pidfile" ]; then
    pid=$(cat "$pidfile")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || exit 0; sleep 0.05; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  ;;
*)
  exit 64
  ;;
esac
