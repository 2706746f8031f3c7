#!/usr/bin/env bash
# `make demo-sftp`: the demo run with the SFTP engine against a throw-away
# OpenSSH server on loopback that serves the simulated mailbox's drive C:
# (same files, same dates). The window when there is a display, else
# headless, as `make run`; the server stops afterwards in either case.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-demo-sftp.XXXXXX")
cleanup() {
    tools/sshd-sandbox.sh stop "$work/sshd" || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$build/engines/sim/velmora-sim-mailbox" "$work/mailbox"
port=$(tools/sshd-sandbox.sh start "$work/sshd" "$work/mailbox")
echo "SFTP-Server (OpenSSH) für den Demo-Lauf: 127.0.0.1:$port, Ordner $work/mailbox"

# The number the demo dials, for this run only.
cat >"$work/phonebook" <<EOF
0421 7396 2058 = sftp://127.0.0.1:$port ; Velmora Demo-Server (OpenSSH auf 127.0.0.1)
EOF

# The engine takes ~/.ssh from \$HOME: a home of its own keeps the user's SSH
# files out of it. Drive C:, caches and the display stay where they were.
export XDG_DATA_HOME=${XDG_DATA_HOME:-$HOME/.local/share}
export XDG_CACHE_HOME=${XDG_CACHE_HOME:-$HOME/.cache}
export XDG_CONFIG_HOME=${XDG_CONFIG_HOME:-$HOME/.config}
if [ -n "${DISPLAY:-}" ]; then
    export XAUTHORITY=${XAUTHORITY:-$HOME/.Xauthority}
fi
export HOME=$work/sshd/home
unset SSH_AUTH_SOCK  # only the sandbox's key, not those of an agent
export VELMORA_ENGINE=sftp
export VELMORA_PHONEBOOK=$work/phonebook

status=0
tools/run.sh "$build" || status=$?
exit "$status"
