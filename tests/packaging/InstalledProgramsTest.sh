#!/usr/bin/env bash
# The installed programs as a user of the package starts them, without a display: `cmake --install` into a clean
# folder (DESTDIR), then the command line's --version, the windowed program's German --help and --version, and the
# launcher of the desktop entry in the folder given, chosen or made by default.
#
#   InstalledProgramsTest.sh <build-dir> <version>
set -euo pipefail
build=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
DESTDIR="$work/root" cmake --install "$build" --prefix /usr >/dev/null
bin=$work/root/usr/bin
unset DISPLAY WAYLAND_DISPLAY VEXA_QUORVEX_ORDNER XDG_CONFIG_HOME XDG_DATA_HOME
export HOME=$work/home QT_QPA_PLATFORM=xcb
mkdir -p "$HOME" "$work/kassa"
# The folder's own help file, named in another case, is kept; the status-receipt texts are linked in.
touch "$work/kassa/quorvex.chm"
failed=0
# <exit code> <text in the output> <command ...>
expect() {
    local want=$1 text=$2 out exit=0
    shift 2
    out=$("$@" 2>&1) || exit=$?
    if [[ $exit != "$want" || "$out" != *"$text"* ]]; then
        echo "FEHLER: $* gab $exit (erwartet $want) und:"$'\n'"$out"$'\n'"(erwartet: $text)"
        failed=1
    fi
}
expect 0 "vexa-quorvex-rksv V$version (" "$bin/vexa-quorvex-rksv" --version
expect 0 "Rückgabewerte:" "$bin/vexa-quorvex-rksv" --help
expect 0 "Aufruf im Installationsordner (dem Ordner mit INSTALLATION.INI)" "$bin/vexa-quorvex" --help
expect 0 "Die Version des Programms." "$bin/vexa-quorvex" -platform xcb -h
expect 0 "vexa-quorvex V$version (" "$bin/vexa-quorvex" --version
expect 2 "Keine grafische Anzeige" "$bin/vexa-quorvex"
expect 0 "vexa-quorvex-starten --merken <Ordner>" "$bin/vexa-quorvex-starten" --help
expect 0 "vexa-quorvex V$version" "$bin/vexa-quorvex-starten" "$work/kassa" --version
[[ -L "$work/kassa/StatusbelegA.rtf" && -s "$work/kassa/StatusbelegA.rtf" ]] ||
    { echo "FEHLER: StatusbelegA.rtf nicht verknüpft"; failed=1; }
[[ -f "$work/kassa/quorvex.chm" && ! -L "$work/kassa/quorvex.chm" && ! -e "$work/kassa/Quorvex.CHM" ]] ||
    { echo "FEHLER: die eigene Hilfedatei des Ordners ist ersetzt"; failed=1; }
# Without a folder: the default one is made and the program starts there (and finds no display).
expect 2 "Keine grafische Anzeige" "$bin/vexa-quorvex-starten"
[[ -L "$HOME/.local/share/vexa-quorvex/Quorvex.CHM" ]] || { echo "FEHLER: Standardordner nicht angelegt"; failed=1; }
# A folder chosen before is used; one that is gone is not made anew.
expect 0 "Installationsordner: $work/kassa" "$bin/vexa-quorvex-starten" --merken "$work/kassa"
expect 2 "Keine grafische Anzeige" "$bin/vexa-quorvex-starten"
rm -rf "$work/kassa"
expect 1 "Den Installationsordner $work/kassa gibt es nicht" "$bin/vexa-quorvex-starten"
[[ ! -e "$work/kassa" ]] || { echo "FEHLER: der gewählte Ordner ist neu angelegt"; failed=1; }
exit $failed
