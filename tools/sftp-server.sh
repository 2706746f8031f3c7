#!/usr/bin/env bash
# A throw-away SFTP server on a loopback port, serving the folder SERVE, for
# the tests, `make demo-sftp` and the benchmarks. Its configuration, host key,
# authorized client key, log and pid are in DIR; DIR/home is a client home
# whose .ssh holds the client's key pair and, after `start`, a known_hosts
# that trusts the server. Nothing of the machine's set-up is used or changed;
# only as root OpenSSH's sshd needs /run/sshd, created when missing.
#
# KIND: sshd-internal     OpenSSH's sshd with its internal-sftp
#       sshd-sftp-server  OpenSSH's sshd with the separate sftp-server program
#       proftpd           ProFTPD's mod_sftp
#       asyncssh          the asyncssh server, tools/asyncssh-sftp-server.py
#
#   tools/sftp-server.sh start KIND DIR SERVE [ARG...]
#       starts it in the background on a free port; once it listens, prints
#       host=, port=, home=, identity= and known_hosts= lines
#   tools/sftp-server.sh stop DIR
#       ends it and every session of it
#   tools/sftp-server.sh exec KIND DIR SERVE PORT [ARG...]
#       becomes the server, in the foreground on PORT, for a program that
#       watches it itself
# ARGs go to the asyncssh server, e.g. --module FILE --mode MODE.
set -euo pipefail

tools=$(cd "$(dirname "$0")" && pwd -P)
# shellcheck source=tools/server-common.sh
. "$tools/server-common.sh"
sshd=/usr/sbin/sshd
sftp_server=/usr/lib/openssh/sftp-server
proftpd=/usr/sbin/proftpd
python=/usr/bin/python3

usage() {
    echo "usage: $0 start KIND DIR SERVE [ARG...] | stop DIR | exec KIND DIR SERVE PORT [ARG...]" >&2
    exit 2
}

keygen() {  # FILE TYPE [ssh-keygen options]: a key pair, unless there is one
    [ -f "$1" ] || ssh-keygen -q -t "$2" "${@:3}" -N '' -C velmora-test -f "$1"
}

# Keys, authorized keys and the configuration for KIND on PORT.
prepare() {
    local kind=$1 dir=$2 serve=$3 port=$4
    command -v ssh-keygen >/dev/null || fail "ssh-keygen fehlt (Paket openssh-client)"
    mkdir -p "$dir/home/.ssh"
    case $kind in
    sshd-internal | sshd-sftp-server)
        [ -x "$sshd" ] || fail "sshd fehlt (Paket openssh-server)"
        if [ "$(id -u)" -eq 0 ] && [ ! -d /run/sshd ]; then
            mkdir -p -m 0755 /run/sshd  # sshd's privilege separation wants it
        fi
        keygen "$dir/host_key" ed25519 ;;
    proftpd)
        [ -x "$proftpd" ] && [ -f /usr/lib/proftpd/mod_sftp.so ] ||
            fail "ProFTPD fehlt (Pakete proftpd-core, proftpd-mod-crypto)"
        keygen "$dir/host_key" ecdsa -b 256 -m PEM ;;  # mod_sftp reads PEM only
    asyncssh)
        "$python" -c 'import asyncssh' 2>/dev/null || fail "asyncssh fehlt (Paket python3-asyncssh)"
        keygen "$dir/host_key" ed25519 ;;
    *) usage ;;
    esac
    keygen "$dir/home/.ssh/id_ed25519" ed25519
    [ -f "$dir/authorized_keys" ] || cp "$dir/home/.ssh/id_ed25519.pub" "$dir/authorized_keys"
    printf '%s\n' "home=$dir/home" "identity=$dir/home/.ssh/id_ed25519" \
        "known_hosts=$dir/home/.ssh/known_hosts" >"$dir/server.txt"

    local command="internal-sftp -d $serve"
    [ "$kind" = sshd-sftp-server ] && command="$sftp_server -d $serve"
    case $kind in
    sshd-*)
        cat >"$dir/sshd_config" <<EOF
ListenAddress 127.0.0.1:$port
HostKey $dir/host_key
PidFile none
AuthorizedKeysFile $dir/authorized_keys
StrictModes no
UsePAM no
PasswordAuthentication yes
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
AllowTcpForwarding no
X11Forwarding no
PermitTTY no
UseDNS no
MaxStartups 64
Subsystem sftp $command
ForceCommand $command
LogLevel ERROR
EOF
        ;;
    proftpd)
        # mod_sftp takes client keys in RFC 4716 form. Root logs in only with
        # RootLogin, and past /etc/ftpusers only without UseFtpUsers.
        ssh-keygen -e -f "$dir/authorized_keys" >"$dir/authorized_keys.rfc4716"
        # As root the session is locked into SERVE; else it starts there.
        local folder="DefaultChdir $serve"
        [ "$(id -u)" -eq 0 ] && folder="DefaultRoot $serve"
        proftpd_base_config "$dir" "$port" >"$dir/proftpd.conf"
        cat >>"$dir/proftpd.conf" <<EOF
ModulePath /usr/lib/proftpd
LoadModule mod_sftp.c
SFTPEngine on
SFTPLog $dir/sftp.log
SFTPHostKey $dir/host_key
SFTPAuthMethods publickey
SFTPAuthorizedUserKeys file:$dir/authorized_keys.rfc4716
AuthOrder mod_auth_unix.c
RequireValidShell off
RootLogin on
UseFtpUsers off
$folder
EOF
        ;;
    esac
}

# Replaces this shell with the server, in the foreground. The server leads a
# process group of its own: a connection's process that it has just forked
# still holds the listening socket, and ends with the group.
exec_server() {
    local kind=$1 dir=$2 serve=$3 port=$4
    shift 4
    case $kind in
    sshd-*) exec setsid "$sshd" -D -e -f "$dir/sshd_config" </dev/null ;;
    proftpd) exec setsid "$proftpd" -n -q -c "$dir/proftpd.conf" </dev/null ;;
    asyncssh)
        exec setsid "$python" -B -W ignore "$tools/asyncssh-sftp-server.py" --port "$port" \
            --host-key "$dir/host_key" --authorized-keys "$dir/authorized_keys" \
            --root "$serve" "$@" </dev/null ;;
    esac
}

# Once it listens, the client trusts its host key.
ready() {
    echo "[127.0.0.1]:$3 $(cat "$2/host_key.pub")" >"$2/home/.ssh/known_hosts"
}

server_main "$@"
