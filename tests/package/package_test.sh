#!/bin/sh
# Usage: package_test.sh CPACK BUILD_DIR VERSION MAIN_DIALOG_UI
# Builds the .deb from the build tree into a scratch directory (the build's own package/ is left alone),
# checks what it holds and declares, runs both programs from an extracted copy and has lintian judge it.
set -eu
cpack=$1 build=$2 version=$3 ui=$4

tmp=$(mktemp -d)
pid=""
cleanup() {
    if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null || true; fi
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1; then
    cat "$tmp/cpack.log" >&2
    fail "cpack"
fi
deb=$(ls "$tmp"/out/*.deb)

# Content: the programs and their desktop files, none of the test equipment, nothing outside /usr.
dpkg-deb -c "$deb" | awk '{ print $6 }' >"$tmp/list"
for f in usr/bin/qan640-bootloader usr/bin/qan640-provision usr/bin/qan640-line \
    usr/share/applications/qan640-bootloader.desktop \
    usr/share/icons/hicolor/scalable/apps/qan640-bootloader.svg \
    usr/share/icons/hicolor/48x48/apps/qan640-bootloader.png \
    usr/share/man/man1/qan640-bootloader.1.gz usr/share/man/man1/qan640-provision.1.gz usr/share/man/man1/qan640-line.1.gz \
    usr/share/man/pt_BR/man1/qan640-bootloader.1.gz usr/share/man/pt_BR/man1/qan640-provision.1.gz \
    usr/share/doc/qan640-bootloader/copyright usr/share/doc/qan640-bootloader/changelog.gz \
    usr/libexec/qan640-bootloader/station usr/lib/systemd/system/qan640-station.service; do
    grep -qx "\./$f" "$tmp/list" || fail "$f missing from the package"
done
if grep -E 'sim|standin|bfin-uclinux-ldr|/test_|bench_|probe' "$tmp/list"; then fail "test equipment packaged"; fi
if grep -vE '^\./(usr/.*)?$' "$tmp/list"; then fail "files outside /usr"; fi

# Control data.
[ "$(dpkg-deb -f "$deb" Package)" = qan640-bootloader ] || fail "Package"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture"
depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in *libqt6widgets6*libcap2-bin* | *libcap2-bin*libqt6widgets6*) ;;
*) fail "Depends lacks the libraries or setcap: '$depends'" ;; esac
dpkg-deb -I "$deb" | grep -Eq '[[:space:]]postinst[[:space:]]' || fail "no postinst"
dpkg-deb -I "$deb" | grep -Eq '[[:space:]]postrm[[:space:]]' || fail "no postrm"

# The menu entry carries the window's caption.
dpkg-deb -x "$deb" "$tmp/root"
# The station's unit calls the script where the package puts it, and the script runs.
for program in $(sed -n 's/^Exec\(Start\|Stop\)=\([^ ]*\).*/\2/p' "$tmp/root/usr/lib/systemd/system/qan640-station.service"); do
    [ -x "$tmp/root$program" ] || fail "the station unit calls $program, which the package lacks"
done
"$tmp/root/usr/libexec/qan640-bootloader/station" --help 2>&1 | grep -q 'up FILE' || fail "station --help"
caption=$(sed -n 's:.*<string>\(QAN 640 Bootloader V[^<]*\)</string>.*:\1:p' "$ui")
grep -qx "Name=$caption" "$tmp/root/usr/share/applications/qan640-bootloader.desktop" ||
    fail "menu entry name is not the caption '$caption'"

# Every manual page renders without a warning from man or groff.
for page in "$tmp"/root/usr/share/man/*/qan640-*.1.gz "$tmp"/root/usr/share/man/*/man1/qan640-*.1.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man $page: $warnings"
    [ -z "$warnings" ] || fail "${page#"$tmp/root/"}: $warnings"
done

# The installed programs run from the extracted tree (no path into the build tree).
mkdir "$tmp/work"
cd "$tmp/work"
"$tmp/root/usr/bin/qan640-provision" --help >"$tmp/help" || fail "qan640-provision --help"
grep -q -- '--port' "$tmp/help" || fail "qan640-provision --help prints no usage"
"$tmp/root/usr/bin/qan640-line" --help >"$tmp/help" || fail "qan640-line --help"
grep -q -- '--listen' "$tmp/help" || fail "qan640-line --help prints no usage"

QT_QPA_PLATFORM=offscreen "$tmp/root/usr/bin/qan640-bootloader" >"$tmp/window.log" 2>&1 &
pid=$!
sleep 2
kill -0 "$pid" 2>/dev/null || { cat "$tmp/window.log" >&2; fail "the window program ended by itself"; }
kill -TERM "$pid"
for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$pid" 2>/dev/null && fail "the window program did not close on SIGTERM"
rc=0
wait "$pid" || rc=$?
pid=""
[ "$rc" -eq 0 ] || { cat "$tmp/window.log" >&2; fail "the window program exited with $rc"; }

# The maintainer script on the extracted tree (chown needs root): the programs end up executable by root and
# the operators (group dialout) only, with the raw-packet capability where the file system holds it.
if [ "$(id -u)" -eq 0 ]; then
    dpkg-deb -e "$deb" "$tmp/control"
    mkdir -p "$tmp/root/var/lib"
    DPKG_ROOT="$tmp/root" sh "$tmp/control/postinst" configure 2>"$tmp/postinst.log" ||
        { cat "$tmp/postinst.log" >&2; fail "postinst"; }
    for p in qan640-bootloader qan640-provision; do
        mode=$(stat -c '%U:%G %a' "$tmp/root/usr/bin/$p")
        [ "$mode" = "root:dialout 750" ] || fail "$p is $mode after postinst"
        if ! grep -q "cap_net_raw to /usr/bin/$p" "$tmp/postinst.log"; then
            getcap "$tmp/root/usr/bin/$p" | grep -q 'cap_net_raw=ep' || fail "$p has no cap_net_raw"
        fi
    done
    mode=$(stat -c '%U:%G %a' "$tmp/root/var/lib/qan640")
    [ "$mode" = "root:dialout 2775" ] || fail "the working directory is $mode"
else
    echo "postinst not tried: it needs root"
fi

# lintian: errors fail the test, the rest is shown.
lintian --fail-on error "$deb" || fail "lintian"
echo "package OK: $(basename "$deb")"
