#!/usr/bin/env bash
# Takes the built package apart: the files it holds and their modes, its
# control fields against the changelog and the metainfo, the two validators,
# lintian, and the unpacked program starting (and its headless driver running
# the demo) with nothing but what the package depends on.
#   packaging/check-package.sh <folder with the .deb> <source tree>
set -uo pipefail
shopt -s nullglob
dir=$1
source=$2

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

debs=("$dir"/velmora-demo_*.deb)
if [ ${#debs[@]} -ne 1 ]; then
    echo "FAIL: ${#debs[@]} packages in $dir, expected one"
    exit 1
fi
deb=${debs[0]}
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
pkg=$work/pkg
dpkg-deb -x "$deb" "$pkg" || { echo "FAIL: dpkg-deb -x $deb"; exit 1; }
echo "package: $deb"

# --- the files it holds, nothing more, owned by root with the usual modes
expected="usr/bin/velmora-demo
usr/bin/velmora-demo-headless
usr/share/applications/velmora-demo.desktop
usr/share/doc/velmora-demo/changelog.Debian.gz
usr/share/doc/velmora-demo/copyright
usr/share/icons/hicolor/128x128/apps/velmora-demo.png
usr/share/icons/hicolor/16x16/apps/velmora-demo.png
usr/share/icons/hicolor/32x32/apps/velmora-demo.png
usr/share/icons/hicolor/48x48/apps/velmora-demo.png
usr/share/icons/hicolor/64x64/apps/velmora-demo.png
usr/share/man/man1/velmora-demo-headless.1.gz
usr/share/man/man1/velmora-demo.1.gz
usr/share/metainfo/org.example.velmora_demo.metainfo.xml"
listing=$(dpkg-deb -c "$deb")
files=$(echo "$listing" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | LC_ALL=C sort)
[ "$files" = "$expected" ] || fail "files differ from the expected list:
$(diff <(echo "$expected") <(echo "$files"))"
while read -r mode owner _ _ _ path; do
    case $path in
    */) want=drwxr-xr-x ;;
    *" -> "*) want=lrwxrwxrwx ;;
    ./usr/bin/*) want=-rwxr-xr-x ;;
    *) want=-rw-r--r-- ;;
    esac
    [ "$mode" = "$want" ] || fail "$path has mode $mode, expected $want"
    [ "$owner" = root/root ] || fail "$path is owned by $owner"
done <<<"$listing"
# The headless driver shares the program's manual page.
link=$(readlink "$pkg/usr/share/man/man1/velmora-demo-headless.1.gz")
[ "$link" = velmora-demo.1.gz ] || fail "velmora-demo-headless.1.gz leads to '$link', not velmora-demo.1.gz"

# --- control fields, the changelog and the metainfo tell one version
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = velmora-demo ] || fail "Package is $(field Package)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is $(field Architecture)"
version=$(field Version)
changelog=$pkg/usr/share/doc/velmora-demo/changelog.Debian.gz
top=$(zcat "$changelog" | head -n 1)
[[ $top == "velmora-demo ($version) "* ]] || fail "changelog starts with '$top', package is $version"
metainfo=$pkg/usr/share/metainfo/org.example.velmora_demo.metainfo.xml
release=$(grep -o -m 1 '<release version="[^"]*"' "$metainfo" | cut -d'"' -f2)
[ "${version%-*}" = "$release" ] || fail "metainfo's newest release is $release, package is $version"

# Compressed as Debian wants: gzip -9n keeps neither a file name nor a time.
for gz in "$changelog" "$pkg/usr/share/man/man1/velmora-demo.1.gz"; do
    gzip -t "$gz" || fail "$gz is no gzip file"
    header=$(od -An -tx1 -N8 "$gz" | tr -d ' \n')
    [ "${header:6:10}" = 0000000000 ] || fail "$gz keeps a name or a time stamp (header $header)"
done
head -n 1 "$pkg/usr/share/doc/velmora-demo/copyright" |
    grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "copyright is not in the machine-readable format"

# --- icons: each size what its folder says; the 32-pixel one is our drawing's PNG
for size in 16 32 48 64 128; do
    png=$pkg/usr/share/icons/hicolor/${size}x$size/apps/velmora-demo.png
    [ -f "$png" ] || continue  # reported with the file list
    read -r w h < <(od -An -tu1 -j16 -N8 "$png" |
        awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4, $5 * 16777216 + $6 * 65536 + $7 * 256 + $8 }')
    [ "$w x $h" = "$size x $size" ] || fail "icon in ${size}x$size is $w x $h"
done
cmp -s "$pkg/usr/share/icons/hicolor/32x32/apps/velmora-demo.png" "$source/src/app/resources/velmora-demo.png" ||
    fail "the 32-pixel icon is not the program's own"

# --- validators, on the files as installed
desktop=$pkg/usr/share/applications/velmora-demo.desktop
out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ] || fail "desktop-file-validate: $out"
echo "desktop-file-validate: ${out:-no findings}"
out=$(appstreamcli validate --no-net "$metainfo" 2>&1) || fail "appstreamcli validate"
echo "appstreamcli validate --no-net: $out"
# The tree check also sees whether the launchable desktop entry is there.
out=$(appstreamcli validate-tree --no-net "$pkg" 2>&1) || fail "appstreamcli validate-tree"
echo "appstreamcli validate-tree --no-net: $out"
launchable=$(grep -o '<launchable type="desktop-id">[^<]*' "$metainfo" | cut -d'>' -f2)
[ -f "$pkg/usr/share/applications/$launchable" ] || fail "launchable $launchable is not in the package"
# The screenshot's address ends in the name of an image the repository holds.
for url in $(grep -o '<image>[^<]*' "$metainfo" | cut -d'>' -f2); do
    [ -f "$source/packaging/screenshots/${url##*/}" ] || fail "no image in packaging/screenshots for $url"
done

# --- lintian: no error, and no warning beyond the one that concerns only
# uploads to the Debian archive (an initial upload there closes its ITP bug).
out=$(lintian --fail-on error,warning --suppress-tags initial-upload-closes-no-bugs "$deb" 2>&1)
status=$?
out=$(grep -v 'running with root privileges' <<<"$out")
[ $status -eq 0 ] || fail "lintian:
$out"
echo "lintian: ${out:-no findings}"

# --- the unpacked program, with only what the package depends on
depends=$(field Depends | tr ',|' '\n\n' | sed 's/(.*//; s/[[:space:]]//g; /^$/d')
[ -n "$depends" ] || fail "Depends is empty"
# The package that holds a file, with or without the /usr of a merged /usr.
owner() {
    local found candidate
    for found in "$1" "$(readlink -f "$1")"; do
        for candidate in "$found" "${found#/usr}" "/usr$found"; do
            dpkg -S "$candidate" 2>/dev/null | grep -v '^diversion' | head -n 1 | cut -d: -f1 | grep . &&
                return 0
        done
    done
    return 1
}
needs() {
    local lib=$1 package
    package=$(owner "$lib") || { fail "no package holds $lib"; return; }
    grep -qx "$package" <<<"$depends" || fail "$lib comes from $package, which Depends lacks"
}
needed=
for program in "$pkg/usr/bin/velmora-demo" "$pkg/usr/bin/velmora-demo-headless"; do
    [ -f "$program" ] || continue  # reported with the file list
    readelf -d "$program" | grep -q 'R(UN)\?PATH' && fail "${program##*/} carries a library search path"
    libraries=$(env -i ldd "$program" 2>&1) || fail "ldd: $libraries"
    grep -q 'not found' <<<"$libraries" && fail "libraries not found:
$libraries"
    linked=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    needed="$needed $linked"
    for soname in $linked; do
        # "libx.so.1 => /path (...)", or the dynamic loader's "/path/ld-linux... (...)".
        path=$(awk -v so="$soname" '$1 == so && $2 == "=>" { print $3 }
            substr($1, length($1) - length(so)) == "/" so { print $1 }' <<<"$libraries")
        [ -n "$path" ] || { fail "$soname is not resolved"; continue; }
        needs "$path"
    done
done
needed=$(tr ' ' '\n' <<<"$needed" | sort -u)
program=$pkg/usr/bin/velmora-demo

# It takes no command line: it should open its window on the offscreen
# platform and keep running until it is closed. Qt's own log says when the
# window's first picture is flushed out, and which libraries it loaded.
mkdir -m 700 "$work/run" "$work/home"
log=$work/program.log
env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/run" \
    QT_QPA_PLATFORM=offscreen VELMORA_LOCAL_ROOT="$work/C" VELMORA_SIM_TIMESCALE=0 \
    QT_LOGGING_RULES='qt.qpa.plugin=true;qt.widgets.painting=true;qt.core.library=true' \
    "$program" >"$log" 2>&1 &
pid=$!
shown=
for _ in $(seq 300); do
    grep -q 'Flushing QRegion.*name="frmMain"' "$log" && { shown=yes; break; }
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
sleep 1
if kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    wait "$pid" 2>/dev/null
    pid=
    echo "program: still running after its window was shown; ended by the check"
else
    wait "$pid"
    status=$?
    pid=
    fail "the program ended by itself with status $status:
$(tail -n 20 "$log")"
fi
[ -n "$shown" ] || fail "no window shown within 30 s"
grep -q 'Successfully loaded Qt platform plugin "offscreen"' "$log" || fail "no offscreen platform"

# The headless driver needs no display and says how the run ended: with the
# simulated engine, the whole demo run and exit status 0.
headless=$work/headless.log
env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/run" \
    VELMORA_LOCAL_ROOT="$work/C-headless" VELMORA_SIM_TIMESCALE=0 QT_LOGGING_RULES='qt.core.library=true' \
    timeout 120 "$pkg/usr/bin/velmora-demo-headless" >"$headless" 2>&1
status=$?
if [ $status -eq 0 ] && grep -qx '       | >  Fertig!' "$headless" && [ -f "$work/C-headless/TRANVIK7.EXE" ]; then
    echo "velmora-demo-headless: demo run complete, exit status 0"
else
    fail "velmora-demo-headless ended with status $status:
$(tail -n 20 "$headless")"
fi

# Plugins Qt loaded at run time come from packages the program depends on, too.
plugins=$(sed -n 's/^qt\.core\.library: "\(.*\)" loaded library$/\1/p' "$log" "$headless" | sort -u)
for lib in $plugins; do
    needs "$lib"
done
echo "Depends: $(field Depends)"
echo "checked against it: $(wc -w <<<"$needed") linked libraries, $(wc -w <<<"$plugins") plugins"

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "package checks passed"
