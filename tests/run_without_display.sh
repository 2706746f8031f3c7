#!/usr/bin/env bash
# `make run` without a display: one line saying so, then the whole demo run in
# the terminal, exit status 0 once it reached "Fertig!".
set -uo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
out=$(env -u DISPLAY -u WAYLAND_DISPLAY VELMORA_SIM_TIMESCALE=0.001 VELMORA_LOCAL_ROOT="$root/C" \
      XDG_RUNTIME_DIR="$root" "$(dirname "$0")/../tools/run.sh" "$build" 2>&1)
status=$?
fail() { echo "$1"; echo "$out"; exit 1; }
[ $status -eq 0 ] || fail "exit status $status"
[ "$(echo "$out" | grep -c 'Keine Anzeige gefunden')" -eq 1 ] || fail "no single no-display line"
echo "$out" | grep -q '| >  Fertig!$' || fail "no Fertig!"
[ -f "$root/C/TRANVIK7.EXE" ] || fail "nothing downloaded"
echo "$out" | grep -q -i 'abort\|core dumped' && fail "abort trace"
exit 0
