#!/usr/bin/env bash
# Runs a test program on a virtual X display with a window manager, where
# windows get real frames: usage under_window_manager.sh PROGRAM [ARGS...]
set -euo pipefail
if [ -z "${UNDER_WM_INNER:-}" ]; then
    UNDER_WM_INNER=1 exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi
openbox --sm-disable >/dev/null 2>&1 &
wm=$!
trap 'kill $wm 2>/dev/null || true' EXIT
# The window manager has taken over once it has set its check window.
for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.05
done
QT_QPA_PLATFORM=xcb "$@"
