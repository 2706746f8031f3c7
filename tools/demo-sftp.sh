#!/usr/bin/env bash
# `make demo-sftp [SERVER=KIND]`: the demo run with the SFTP engine against a
# throw-away SFTP server on loopback that serves the simulated mailbox's drive
# C: (same files, same dates); KIND as tools/sftp-server.sh names it, OpenSSH's
# sshd with internal-sftp by default. The window when there is a display, else
# headless, as `make run`; the server stops afterwards in either case.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
kind=${2:-sshd-internal}

work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-demo-sftp.XXXXXX")
cleanup() {
    tools/sftp-server.sh stop "$work/server" || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$build/engines/sim/velmora-sim-mailbox" "$work/mailbox"
port=$(tools/sftp-server.sh start "$kind" "$work/server" "$work/mailbox" | sed -n 's/^port=//p')
[ -n "$port" ] || exit 1
echo "SFTP-Server ($kind) für den Demo-Lauf: 127.0.0.1:$port, Ordner $work/mailbox"

# The number the demo dials, for this run only.
cat >"$work/phonebook" <<EOF
0421 7396 2058 = sftp://127.0.0.1:$port ; Velmora Demo-Server ($kind auf 127.0.0.1)
EOF

# The engine takes ~/.ssh from \$HOME: a home of its own keeps the user's SSH
# files out of it. Drive C:, caches and the display stay where they were.
export XDG_DATA_HOME=${XDG_DATA_HOME:-$HOME/.local/share}
export XDG_CACHE_HOME=${XDG_CACHE_HOME:-$HOME/.cache}
export XDG_CONFIG_HOME=${XDG_CONFIG_HOME:-$HOME/.config}
if [ -n "${DISPLAY:-}" ]; then
    export XAUTHORITY=${XAUTHORITY:-$HOME/.Xauthority}
fi
export HOME=$work/server/home
unset SSH_AUTH_SOCK  # only the sandbox's key, not those of an agent
export VELMORA_ENGINE=sftp
export VELMORA_PHONEBOOK=$work/phonebook

status=0
tools/run.sh "$build" || status=$?
exit "$status"
