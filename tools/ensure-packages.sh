#!/usr/bin/env bash
# Installs the Debian packages given as arguments that are not installed yet.
set -euo pipefail

missing=()
for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
    sudo=()
elif command -v sudo >/dev/null 2>&1; then
    sudo=(sudo)
else
    echo "error: packages missing (${missing[*]}) and neither root nor sudo is available" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive

# openssh-server is wanted only for its sshd program: the tests and demos start
# their own on loopback. Installing it would also start and enable the system's
# SSH service; the machine's SSH set-up stays as it was instead.
new_sshd=false
[[ " ${missing[*]} " == *" openssh-server "* ]] && new_sshd=true
held_back=false
if $new_sshd && [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee /usr/sbin/policy-rc.d >/dev/null
    "${sudo[@]}" chmod 755 /usr/sbin/policy-rc.d
    held_back=true
fi
status=0
"${sudo[@]}" apt-get update && "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}" || status=$?
if $held_back; then
    "${sudo[@]}" rm -f /usr/sbin/policy-rc.d
fi
if $new_sshd && [ -d /run/systemd/system ]; then
    "${sudo[@]}" systemctl disable --now --quiet ssh.service ssh.socket 2>/dev/null || true
    echo "openssh-server installed for its sshd program only; the system's SSH service is left off."
fi
exit "$status"
