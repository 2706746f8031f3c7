#!/usr/bin/env bash
# A throw-away FTP or FTPS server on a loopback port, serving the folder SERVE
# as the login directory, for the tests and benchmarks. Its configuration,
# certificate, log and pid are in DIR; DIR/home is a client home whose .netrc
# (mode 0600) holds the login for 127.0.0.1, as ftp, curl and lftp read it.
# Passive mode only, on ports the kernel picks. Nothing of the machine's
# set-up is used or changed.
#
# KIND: proftpd-ftp      ProFTPD, plain FTP
#       proftpd-ftpes    ProFTPD with mod_tls, AUTH TLS required (control and data)
#       proftpd-ftps     ProFTPD with mod_tls, implicit TLS
#       vsftpd-ftpes     vsftpd, AUTH TLS required, require_ssl_reuse=YES;
#                        anonymous, as it runs as the launching user
#       pure-ftpd        pure-ftpd, TLS optional (plain and AUTH TLS); root only
#       pyftpdlib        pyftpdlib, plain FTP (tools/pyftpdlib-server.py)
#       pyftpdlib-ftpes  pyftpdlib, AUTH TLS required
# The TLS kinds have a self-signed certificate for 127.0.0.1, made for DIR.
# vsftpd and pure-ftpd come unpacked from Debian's packages into
# build/ftp-servers (`unpack`, run by `make deps`, or by `start` when they are
# missing, as in a copy of the tree): they conflict with ProFTPD.
#
#   tools/ftp-server.sh start KIND DIR SERVE [ARG...]
#       starts it in the background on a free port; once it listens, prints
#       host=, port=, home=, user= and, for TLS, pin= (sha256//BASE64, as
#       curl's --pinnedpubkey takes it) and cert=
#   tools/ftp-server.sh stop DIR
#       ends it and every session of it
#   tools/ftp-server.sh exec KIND DIR SERVE PORT [ARG...]
#       becomes the server, in the foreground on PORT, for a program that
#       watches it itself
#   tools/ftp-server.sh unpack
#       unpacks vsftpd and pure-ftpd unless they are there
# ARGs go to the pyftpdlib server, e.g. --module FILE --mode MODE.
set -euo pipefail

tools=$(cd "$(dirname "$0")" && pwd -P)
# shellcheck source=tools/server-common.sh
. "$tools/server-common.sh"
proftpd=/usr/sbin/proftpd
python=/usr/bin/python3
unpacked=$(dirname "$tools")/build/ftp-servers
vsftpd=$unpacked/usr/sbin/vsftpd
pureftpd=$unpacked/usr/sbin/pure-ftpd
purepw=$unpacked/usr/bin/pure-pw
user=velmora
inner_id=4242  # pure-ftpd's user in its namespace

usage() {
    echo "usage: $0 start KIND DIR SERVE [ARG...] | stop DIR | exec KIND DIR SERVE PORT [ARG...] | unpack" >&2
    exit 2
}

unpack() {
    [ -x "$vsftpd" ] && [ -x "$pureftpd" ] && [ -x "$purepw" ] && return 0
    mkdir -p "$(dirname "$unpacked")"
    # One at a time: tests started side by side may all find them missing.
    (
        flock 9
        [ -x "$vsftpd" ] && [ -x "$pureftpd" ] && [ -x "$purepw" ] && exit 0
        work=$unpacked.tmp
        rm -rf "$work"
        mkdir -p "$work/debs"
        # As root apt would hand the download to its own user, who may not write here.
        download=(apt-get -q -o APT::Sandbox::User="$(id -un)" download vsftpd pure-ftpd)
        if ! (cd "$work/debs" && "${download[@]}"); then
            [ "$(id -u)" -eq 0 ] || fail "vsftpd und pure-ftpd nicht herunterladbar; als root: apt-get update"
            apt-get -q update
            (cd "$work/debs" && "${download[@]}")
        fi
        for deb in "$work"/debs/*.deb; do
            dpkg-deb -x "$deb" "$work/root"
        done
        rm -rf "$unpacked"
        mv "$work/root" "$unpacked"
        rm -rf "$work"
    ) 9>"$unpacked.lock"
}

# A self-signed certificate for 127.0.0.1, unless there is one. The pin is the
# SHA-256 of its public key (the DER SubjectPublicKeyInfo).
certificate() {
    local dir=$1 pin
    [ -f "$dir/cert.pem" ] || openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 \
        -nodes -days 3650 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
        -keyout "$dir/key.pem" -out "$dir/cert.pem" 2>/dev/null
    pin=$(openssl pkey -in "$dir/key.pem" -pubout -outform der |
        openssl dgst -sha256 -binary | openssl base64 -A)
    printf '%s\n' "pin=sha256//$pin" "cert=$dir/cert.pem" >>"$dir/server.txt"
}

proftpd_config() {
    local kind=$1 dir=$2 serve=$3 port=$4
    [ -x "$proftpd" ] && [ -f /usr/lib/proftpd/mod_tls.so ] ||
        fail "ProFTPD fehlt (Pakete proftpd-core, proftpd-mod-crypto)"
    # A user of its own, mapped to this one: root logs in only with
    # RootLogin, and past /etc/ftpusers only without UseFtpUsers.
    echo "$user:$(openssl passwd -6 -in "$dir/password"):$(id -u):$(id -g)::$serve:/bin/sh" >"$dir/passwd"
    proftpd_base_config "$dir" "$port" >"$dir/proftpd.conf"
    cat >>"$dir/proftpd.conf" <<EOF
AuthUserFile $dir/passwd
AuthOrder mod_auth_file.c
RequireValidShell off
RootLogin on
UseFtpUsers off
EOF
    # As root the session is locked into SERVE; else it starts there.
    [ "$(id -u)" -ne 0 ] || echo "DefaultRoot ~" >>"$dir/proftpd.conf"
    [ "$kind" = proftpd-ftp ] && return
    cat >>"$dir/proftpd.conf" <<EOF
ModulePath /usr/lib/proftpd
LoadModule mod_tls.c
TLSEngine on
TLSLog $dir/tls.log
TLSProtocol TLSv1.2 TLSv1.3
TLSRequired on
TLSECCertificateFile $dir/cert.pem
TLSECCertificateKeyFile $dir/key.pem
TLSVerifyClient off
EOF
    [ "$kind" = proftpd-ftpes ] || echo "TLSOptions UseImplicitSSL" >>"$dir/proftpd.conf"
}

# Without root, vsftpd serves anonymous logins only and chroots nobody; as
# root, an anonymous login inside a folder root may write to is refused. So
# it runs as the launching user in either case, and the login directory is
# SERVE by its full path. Its default ciphers leave TLS 1.2 without any.
vsftpd_config() {
    local dir=$1 serve=$2 port=$3
    cat >"$dir/vsftpd.conf" <<EOF
listen=YES
listen_address=127.0.0.1
listen_port=$port
background=NO
run_as_launching_user=YES
anonymous_enable=YES
local_enable=NO
write_enable=NO
anon_root=$serve
anon_world_readable_only=NO
xferlog_enable=NO
syslog_enable=NO
dirmessage_enable=NO
ssl_enable=YES
allow_anon_ssl=YES
force_anon_logins_ssl=YES
force_anon_data_ssl=YES
require_ssl_reuse=YES
ssl_ciphers=HIGH
rsa_cert_file=$dir/cert.pem
rsa_private_key_file=$dir/key.pem
EOF
}

# Configuration, certificate and client home for KIND on PORT.
prepare() {
    local kind=$1 dir=$2 serve=$3 port=$4
    command -v openssl >/dev/null || fail "openssl fehlt (Paket openssl)"
    umask 077  # ProFTPD refuses a password file others may read
    mkdir -p "$dir/home"
    [ -f "$dir/password" ] || openssl rand -hex 12 >"$dir/password"
    local login=$user
    [[ $kind != vsftpd-* ]] || login=anonymous
    echo "machine 127.0.0.1 login $login password $(cat "$dir/password")" >"$dir/home/.netrc"
    printf '%s\n' "home=$dir/home" "user=$login" >"$dir/server.txt"
    case $kind in
    proftpd-ftp | pyftpdlib) ;;
    proftpd-ftpes | proftpd-ftps | vsftpd-ftpes | pure-ftpd | pyftpdlib-ftpes) certificate "$dir" ;;
    *) usage ;;
    esac
    case $kind in
    proftpd-*) proftpd_config "$kind" "$dir" "$serve" "$port" ;;
    vsftpd-ftpes)
        [ -x "$vsftpd" ] || unpack
        vsftpd_config "$dir" "$serve" "$port" ;;
    pure-ftpd)
        [ -x "$pureftpd" ] || unpack
        [ "$(id -u)" -eq 0 ] || fail "pure-ftpd braucht root (setgroups für jede Sitzung)"
        # "/./" locks the session into SERVE.
        echo "$user:$(openssl passwd -6 -in "$dir/password"):$inner_id:$inner_id::$serve/./::::::::::::" \
            >"$dir/pureftpd.passwd"
        "$purepw" mkdb "$dir/pureftpd.pdb" -f "$dir/pureftpd.passwd" ;;
    pyftpdlib*)
        "$python" -c 'import pyftpdlib, OpenSSL' 2>/dev/null ||
            fail "pyftpdlib fehlt (Pakete python3-pyftpdlib, python3-openssl)" ;;
    esac
}

# Maps uid and gid $inner_id in the user namespace of the process whose pid
# appears in the file $1 to this user's own.
map_ids() {
    local pid=
    for _ in $(seq 500); do
        read -r pid <"$1" || true
        if [ -n "$pid" ]; then
            echo "$inner_id $(id -u) 1" >"/proc/$pid/uid_map"
            echo "$inner_id $(id -g) 1" >"/proc/$pid/gid_map"
            return
        fi
        sleep 0.01
    done
}

# Replaces this shell with the server, in the foreground. The server leads a
# process group of its own: a connection's process that it has just forked
# still holds the listening socket, and ends with the group.
exec_server() {
    local kind=$1 dir=$2 serve=$3 port=$4
    shift 4
    case $kind in
    proftpd-*) exec setsid "$proftpd" -n -q -c "$dir/proftpd.conf" </dev/null ;;
    # vsftpd says why it does not start on descriptor 0 only.
    vsftpd-*) exec setsid "$vsftpd" "$dir/vsftpd.conf" 0>>"$dir/server.log" ;;
    pure-ftpd)
        # Its virtual users need a uid above 0, and it keeps a file for each
        # session in /run/pure-ftpd: it runs in a user namespace of its own,
        # where $inner_id is this user, with a /run of its own. Before the
        # mapping the namespace can open nothing of ours: the pid goes out
        # on a descriptor opened here.
        : >"$dir/userns.pid"
        (map_ids "$dir/userns.pid" &)
        exec 3>"$dir/userns.pid"
        exec setsid unshare --user --keep-caps --mount --propagation private -- sh -c '
            echo $$ >&3 && exec 3>&-
            until grep -q . /proc/self/gid_map; do sleep 0.01; done
            mount -n -t tmpfs -o size=1m,mode=0755 velmora /run && exec "$@"' sh \
            "$pureftpd" -S "127.0.0.1,$port" -l "puredb:$dir/pureftpd.pdb" -E -H -A -f none \
            -g "$dir/pure-ftpd.pid" -Y 1 -2 "$dir/cert.pem,$dir/key.pem" </dev/null ;;
    pyftpdlib*)
        local tls=()
        [ "$kind" = pyftpdlib ] || tls=(--cert "$dir/cert.pem" --key "$dir/key.pem")
        exec setsid "$python" -B -W ignore "$tools/pyftpdlib-server.py" --port "$port" \
            --root "$serve" --user "$user" --password-file "$dir/password" "${tls[@]}" "$@" </dev/null ;;
    esac
}

ready() { :; }

case ${1:-} in
unpack) [ $# -eq 1 ] || usage; unpack ;;
*) server_main "$@" ;;
esac
