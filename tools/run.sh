#!/usr/bin/env bash
# Opens the window when there is a display to open it on; otherwise runs the
# same demo run headless and prints it to the terminal.
set -uo pipefail
build=${1:-build}

has_display() {
    if [ -n "${WAYLAND_DISPLAY:-}" ]; then
        local sock=$WAYLAND_DISPLAY
        [[ $sock == /* ]] || sock=${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/$sock
        [ -S "$sock" ] && return 0
    fi
    if [ -n "${DISPLAY:-}" ]; then
        case $DISPLAY in
        :*)
            local n=${DISPLAY#:}
            n=${n%%.*}
            [ -S "/tmp/.X11-unix/X$n" ] && return 0
            ;;
        *) return 0 ;;  # a remote display: let the toolkit try it
        esac
    fi
    return 1
}

if has_display && "$build/app/velmora-demo-headless" --can-open-display 2>/dev/null; then
    exec "$build/app/velmora-demo"
fi
echo "Keine Anzeige gefunden (DISPLAY/WAYLAND_DISPLAY nicht gesetzt oder nicht erreichbar):" \
     "der Demo-Lauf läuft ohne Fenster im Terminal. Für das Fenster 'make run' in einer grafischen Sitzung starten."
exec "$build/app/velmora-demo-headless"
