#!/usr/bin/env bash
# Builds the Debian package from a complete build (cpack -G DEB), unpacks it into a clean folder and checks what it
# installs: the files in their places, the dependencies dpkg-shlibdeps found and those named by hand, the desktop
# entry (desktop-file-validate), the AppStream metadata (appstreamcli validate), the manual page (no troff warning)
# and that the manual page and the bash completion know every option of `vexa-quorvex-rksv --help`.
#
#   packaging/check-package.sh <build-dir>
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "Paket: $*" >&2
    exit 1
}

if ! (cd "$build" && cpack -G DEB -B "$work/cpack" >"$work/cpack.log" 2>&1); then
    cat "$work/cpack.log" >&2
    fail "cpack ist gescheitert."
fi
deb=$(ls "$work"/cpack/*.deb)
dpkg-deb -x "$deb" "$work/root"
root=$work/root

app=at.vexaquorvex.VexaQuorvex
for file in usr/bin/vexa-quorvex usr/bin/vexa-quorvex-rksv usr/bin/vexa-quorvex-starten \
    usr/share/vexa-quorvex/Quorvex.CHM usr/share/vexa-quorvex/Statusbeleg.rtf \
    usr/share/vexa-quorvex/schema/sqlite.sql usr/share/vexa-quorvex/schema/mariadb.sql \
    usr/share/icons/hicolor/{16x16,24x24,32x32,48x48,64x64}/apps/vexa-quorvex.png \
    usr/share/icons/hicolor/scalable/apps/vexa-quorvex.svg \
    usr/share/applications/$app.desktop usr/share/metainfo/$app.metainfo.xml \
    usr/share/man/man1/vexa-quorvex-rksv.1 usr/share/bash-completion/completions/vexa-quorvex-rksv; do
    [[ -s "$root/$file" ]] || fail "/$file fehlt."
done
[[ -x "$root/usr/bin/vexa-quorvex-starten" ]] || fail "vexa-quorvex-starten ist nicht ausführbar."

# Found by dpkg-shlibdeps (Qt, ODBC, the C library) and named by hand (opened late).
depends=$(dpkg-deb -f "$deb" Depends)
for package in libc6 libqt6widgets6 libodbc2 libssl3 libcurl4 qt6-qpa-plugins; do
    [[ ",$depends," == *[\ ,]"$package"[\ ,\(]* ]] || fail "$package fehlt in Depends: $depends"
done

desktop-file-validate "$root/usr/share/applications/$app.desktop" || fail "Der Desktop-Eintrag ist ungültig."
appstreamcli validate --no-net "$root/usr/share/metainfo/$app.metainfo.xml" >"$work/appstream.log" 2>&1 ||
    { cat "$work/appstream.log" >&2; fail "Die AppStream-Daten sind ungültig."; }
man_warnings=$(LC_ALL=C.UTF-8 MANWIDTH=100 man --warnings -E UTF-8 -l "$root/usr/share/man/man1/vexa-quorvex-rksv.1" \
    2>&1 >/dev/null)
[[ -z "$man_warnings" ]] || fail "Handbuchseite: $man_warnings"

# Every option the command line's help names is in the manual page and in the completion.
options=$("$root/usr/bin/vexa-quorvex-rksv" --help | grep -o -- '--[a-z]*' | sort -u)
for option in $options; do
    grep -q -- "\\\\-\\\\-${option#--}" "$root/usr/share/man/man1/vexa-quorvex-rksv.1" ||
        fail "Die Handbuchseite kennt $option nicht."
    grep -q -- "$option" "$root/usr/share/bash-completion/completions/vexa-quorvex-rksv" ||
        fail "Die Vervollständigung kennt $option nicht."
done
echo "Paket $(basename "$deb") geprüft: $(find "$root" -type f | wc -l) Dateien, Depends: $depends"
