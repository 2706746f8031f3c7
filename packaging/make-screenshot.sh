#!/usr/bin/env bash
# Makes screenshots/window-after-run.png: the window under Xvfb after a
# complete demo run. Needs xvfb, xauth, xdotool and imagemagick.
#   packaging/make-screenshot.sh [build-dir]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
out=$here/screenshots/window-after-run.png

if [ -z "${VELMORA_IN_XVFB:-}" ]; then
    VELMORA_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$build"
fi

pid=
work=$(mktemp -d)
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -m 700 "$work/run"
# A quicker run than a real one, yet long enough that the elapsed time reads
# like one; German dates, as a user of the program sees them; a drive C: of its own.
LANG=de_DE.UTF-8 LC_ALL= VELMORA_SIM_TIMESCALE=${VELMORA_SIM_TIMESCALE:-0.25} \
    VELMORA_LOCAL_ROOT="$work/C" XDG_RUNTIME_DIR="$work/run" "$build/app/velmora-demo" &
pid=$!

window=$(xdotool search --sync --onlyvisible --name '^Velmora Demo$' | head -n 1)
sleep 1
# Start sits at 304,272 and is 133 x 33 pixels.
xdotool mousemove --window "$window" 370 288 click 1

# The run is over once the download is there and the elapsed time has stopped:
# two captures a second and a half apart that are the same.
for _ in $(seq 600); do
    [ -f "$work/C/TRANVIK7.EXE" ] && break
    sleep 0.5
done
[ -f "$work/C/TRANVIK7.EXE" ] || { echo "no download after five minutes" >&2; exit 1; }
import -window "$window" "$work/a.png"
for _ in $(seq 40); do
    sleep 1.5
    import -window "$window" "$work/b.png"
    if [ "$(compare -metric AE "$work/a.png" "$work/b.png" null: 2>&1)" = 0 ]; then
        # Strip the time stamps so that a new capture of the same picture is the same file.
        convert "$work/b.png" -strip "$out"
        echo "written: $out"
        exit 0
    fi
    mv "$work/b.png" "$work/a.png"
done
echo "the window never settled" >&2
exit 1
