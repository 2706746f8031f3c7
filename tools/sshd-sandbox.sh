#!/usr/bin/env bash
# A throw-away OpenSSH server on a free loopback port, serving SERVE as the
# login directory: tools/sftp-server.sh with sshd and internal-sftp, which
# keeps its configuration, keys and a client home (DIR/home) in DIR.
#
#   tools/sshd-sandbox.sh start DIR SERVE   prints the port once sshd listens
#   tools/sshd-sandbox.sh stop DIR          ends sshd and every session of it
set -euo pipefail
server=$(dirname "$0")/sftp-server.sh
case ${1:-}/$# in
start/3) "$server" start sshd-internal "$2" "$3" | sed -n 's/^port=//p' ;;
stop/2) exec "$server" stop "$2" ;;
*) echo "usage: $0 start DIR SERVE | stop DIR" >&2; exit 2 ;;
esac
