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

# openssh-server and proftpd-core are wanted only for their server programs:
# the tests, demos and benchmarks start their own on loopback. Installing them
# would also start and enable the system's SSH or FTP service; the machine's
# set-up stays as it was instead.
services=()
[[ " ${missing[*]} " == *" openssh-server "* ]] && services+=(ssh)
[[ " ${missing[*]} " == *" proftpd-core "* ]] && services+=(proftpd)
held_back=false
if [ ${#services[@]} -gt 0 ] && [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee /usr/sbin/policy-rc.d >/dev/null
    "${sudo[@]}" chmod 755 /usr/sbin/policy-rc.d
    held_back=true
fi
status=0
"${sudo[@]}" apt-get update && "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}" || status=$?
if $held_back; then
    "${sudo[@]}" rm -f /usr/sbin/policy-rc.d
fi
for service in "${services[@]}"; do
    if [ -d /run/systemd/system ]; then
        units=("$service.service")
        [ "$service" = ssh ] && units+=(ssh.socket)
        "${sudo[@]}" systemctl disable --now --quiet "${units[@]}" 2>/dev/null || true
    elif [ -x "/etc/init.d/$service" ] && command -v update-rc.d >/dev/null; then
        "${sudo[@]}" update-rc.d "$service" disable >/dev/null 2>&1 || true
    fi
    echo "$service installed for its server program only; the system's service is left off."
done
exit "$status"
