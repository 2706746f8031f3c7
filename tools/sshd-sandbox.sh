#!/usr/bin/env bash
# A throw-away OpenSSH server on a free loopback port: its own configuration,
# host key and authorized key in DIR, serving SERVE as the login directory.
# DIR/home is a client home: its .ssh holds the client's key pair and a
# known_hosts that trusts the server. Nothing of the machine's SSH set-up is
# used or changed; only as root sshd needs /run/sshd, created when missing.
#
#   tools/sshd-sandbox.sh start DIR SERVE   prints the port once sshd listens
#   tools/sshd-sandbox.sh stop DIR          ends sshd and every session of it
set -euo pipefail

sshd=/usr/sbin/sshd

usage() {
    echo "usage: $0 start DIR SERVE | stop DIR" >&2
    exit 2
}

# Every process below $1, children first found last.
descendants() {
    local parents=() pid stat rest
    for stat in /proc/[0-9]*/stat; do
        pid=${stat#/proc/}
        pid=${pid%/stat}
        rest=$(cat "$stat" 2>/dev/null) || continue
        rest=${rest##*) }  # the name in parentheses may hold blanks
        read -r _ ppid _ <<<"$rest"
        parents+=("$pid:$ppid")
    done
    local queue=("$1") found=() i=0 entry
    while [ $i -lt ${#queue[@]} ]; do
        for entry in "${parents[@]}"; do
            if [ "${entry#*:}" = "${queue[$i]}" ]; then
                queue+=("${entry%%:*}")
                found+=("${entry%%:*}")
            fi
        done
        i=$((i + 1))
    done
    echo "${found[@]}"
}

listening() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

stop() {
    local dir=$1 pid
    [ -f "$dir/sshd.pid" ] || return 0
    pid=$(cat "$dir/sshd.pid")
    rm -f "$dir/sshd.pid"
    [ -d "/proc/$pid" ] || return 0
    local sessions
    sessions=$(descendants "$pid")
    kill "$pid" 2>/dev/null || true
    # shellcheck disable=SC2086
    [ -z "$sessions" ] || kill $sessions 2>/dev/null || true
    for _ in $(seq 50); do
        [ -d "/proc/$pid" ] || return 0
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
}

start() {
    local dir=$1 serve
    serve=$(cd "$2" && pwd -P)
    command -v ssh-keygen >/dev/null && [ -x "$sshd" ] || {
        echo "sshd-sandbox: OpenSSH fehlt (Pakete openssh-server, openssh-client)" >&2
        exit 1
    }
    mkdir -p "$dir/home/.ssh"
    dir=$(cd "$dir" && pwd -P)
    if [ "$(id -u)" -eq 0 ] && [ ! -d /run/sshd ]; then
        mkdir -p -m 0755 /run/sshd  # sshd's privilege separation wants it
    fi
    rm -f "$dir/host_ed25519" "$dir/host_ed25519.pub" "$dir/home/.ssh/id_ed25519"*
    ssh-keygen -q -t ed25519 -N '' -C velmora-sandbox-host -f "$dir/host_ed25519"
    ssh-keygen -q -t ed25519 -N '' -C velmora-sandbox-client -f "$dir/home/.ssh/id_ed25519"
    cp "$dir/home/.ssh/id_ed25519.pub" "$dir/authorized_keys"

    local attempt port pid
    for attempt in 1 2 3 4 5 6 7 8; do
        port=$((20000 + RANDOM % 40000))
        listening "$port" && continue
        cat >"$dir/sshd_config" <<EOF
ListenAddress 127.0.0.1:$port
HostKey $dir/host_ed25519
PidFile none
AuthorizedKeysFile $dir/authorized_keys
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
AllowTcpForwarding no
X11Forwarding no
PermitTTY no
UseDNS no
Subsystem sftp internal-sftp -d $serve
ForceCommand internal-sftp -d $serve
LogLevel ERROR
EOF
        "$sshd" -D -e -f "$dir/sshd_config" 2>>"$dir/sshd.log" </dev/null >/dev/null &
        pid=$!
        echo "$pid" >"$dir/sshd.pid"
        for _ in $(seq 100); do
            if ! [ -d "/proc/$pid" ]; then
                break
            fi
            if listening "$port"; then
                echo "[127.0.0.1]:$port $(cat "$dir/host_ed25519.pub")" >"$dir/home/.ssh/known_hosts"
                echo "$port"
                return 0
            fi
            sleep 0.05
        done
        stop "$dir"  # the port was taken after all, most likely: another one
    done
    echo "sshd-sandbox: sshd startet nicht; siehe $dir/sshd.log" >&2
    cat "$dir/sshd.log" >&2 || true
    exit 1
}

case ${1:-} in
start) [ $# -eq 3 ] || usage; start "$2" "$3" ;;
stop) [ $# -eq 2 ] || usage; stop "$2" ;;
*) usage ;;
esac
