#!/bin/bash
# Installs the build into a scratch root, checks the systemd units, and starts the installed daemon
# as its units start it: on a socket passed to it, the command line of ExecStart=.
#   installed_daemon.sh BUILD_DIR CONTROL_CLIENT
set -euo pipefail
build=$1 client=$2
scratch=$(mktemp -d /tmp/kl-install-XXXXXX)
daemon_pid=
cleanup() {
    [ -n "$daemon_pid" ] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$scratch/root cmake --install "$build" >/dev/null
units=$scratch/root/etc/systemd/system
service=$units/com.kelvaro.portweaver.daemon.service
socket=$units/com.kelvaro.portweaver.daemon.socket
[ -f "$service" ] && [ -f "$socket" ] || fail "units not installed: $(ls -R "$scratch/root")"

exec_start=$(sed -n 's/^ExecStart=//p' "$service")
[ "$exec_start" = /usr/libexec/portweaver/com.kelvaro.portweaver.daemon ] || fail "ExecStart=$exec_start"
[ -x "$scratch/root$exec_start" ] || fail "the program ExecStart= names is not installed"
grep -qx 'Restart=on-failure' "$service" || fail "the daemon is not restarted after a failure"
grep -qx 'Requires=com.kelvaro.portweaver.daemon.socket' "$service" || fail "the service does not require its socket"
grep -qx 'Also=com.kelvaro.portweaver.daemon.socket' "$service" || fail "enabling the service does not enable its socket"
grep -qx 'ListenStream=/var/run/com.kelvaro.portweaver.controlapp' "$socket" || fail "socket path"
grep -qx 'FileDescriptorName=com.kelvaro.portweaver.controlapp' "$socket" || fail "socket name"
grep -qx 'SocketMode=0666' "$socket" || fail "socket mode"
grep -qx 'WantedBy=sockets.target' "$socket" || fail "the socket is not started at boot"

# The socket as systemd passes it (named descriptor 3), on a private folder and state root.
mkdir -p "$scratch/run" "$scratch/state"
name=com.kelvaro.portweaver.controlapp
# Like systemd, the activator passes on only the environment it is told to.
systemd-socket-activate --listen="$scratch/run/$name" --fdname=$name \
    -E ASAN_OPTIONS=detect_leaks=0 -E KL_ROOT="$scratch/state" -E KL_LOG_STDERR=1 \
    "$scratch/root$exec_start" 2>"$scratch/daemon.log" &
daemon_pid=$!
for _ in $(seq 100); do [ -S "$scratch/run/$name" ] && break; sleep 0.1; done
reply=$(ASAN_OPTIONS=detect_leaks=0 KLIPC_SOCKET_DIR=$scratch/run timeout 30 "$client" --timeout 20 1) ||
    fail "no check-in reply: $(cat "$scratch/daemon.log")"
echo "$reply" | grep -q '"revision"' || fail "check-in reply without revision: $reply"
grep -q "Executable path = $scratch/root$exec_start" "$scratch/daemon.log" || fail "log: $(cat "$scratch/daemon.log")"
echo "installed daemon answered: $reply"
