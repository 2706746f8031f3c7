#!/usr/bin/env bash
# `make demo-sftp [SERVER=KIND]` and `make demo-ftp [SERVER=KIND]`: the demo
# run with the real engine against a throw-away server on loopback that serves
# the simulated mailbox's drive C: (same files, same dates). KIND as
# tools/sftp-server.sh or tools/ftp-server.sh names it; the phone book's
# scheme follows from it, with the pin of a TLS server's certificate. The
# window when there is a display, else headless, as `make run`; the server
# stops afterwards in either case.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
kind=${2:-sshd-internal}

case $kind in
sshd-* | proftpd | asyncssh) tool=tools/sftp-server.sh scheme=sftp ;;
*-ftpes | pure-ftpd) tool=tools/ftp-server.sh scheme=ftpes ;;
*-ftps) tool=tools/ftp-server.sh scheme=ftps ;;
*) tool=tools/ftp-server.sh scheme=ftp ;;
esac

work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-demo-$scheme.XXXXXX")
cleanup() {
    "$tool" stop "$work/server" || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$build/engines/sim/velmora-sim-mailbox" "$work/mailbox"
started=$("$tool" start "$kind" "$work/server" "$work/mailbox")
port=$(sed -n 's/^port=//p' <<<"$started")
pin=$(sed -n 's/^pin=//p' <<<"$started")
[ -n "$port" ] || exit 1
echo "Server ($kind) für den Demo-Lauf: $scheme://127.0.0.1:$port, Ordner $work/mailbox"

# The number the demo dials, for this run only.
printf '0421 7396 2058 = %s://127.0.0.1:%s ; Velmora Demo-Server (%s auf 127.0.0.1)%s\n' \
    "$scheme" "$port" "$kind" "${pin:+ ; pin=$pin}" >"$work/phonebook"

# The engine takes ~/.ssh and ~/.netrc from $HOME: a home of its own keeps
# the user's files out of it. Drive C:, caches and the display stay where
# they were.
export XDG_DATA_HOME=${XDG_DATA_HOME:-$HOME/.local/share}
export XDG_CACHE_HOME=${XDG_CACHE_HOME:-$HOME/.cache}
export XDG_CONFIG_HOME=${XDG_CONFIG_HOME:-$HOME/.config}
if [ -n "${DISPLAY:-}" ]; then
    export XAUTHORITY=${XAUTHORITY:-$HOME/.Xauthority}
fi
export HOME=$work/server/home
unset SSH_AUTH_SOCK  # only the sandbox's key, not those of an agent
export VELMORA_ENGINE=remote
export VELMORA_PHONEBOOK=$work/phonebook

status=0
tools/run.sh "$build" || status=$?
exit "$status"
